// What the identify and tester steps (bringup/IdentifyChecks.cpp) read out of
// IDENTIFY DEVICE data, the tester's information page and its firmware version.
#pragma once
#include <cstdint>
#include <string>

namespace kx {

constexpr std::size_t kIdentifyBytes = 512;
constexpr std::size_t kTesterPageBytes = 528;
constexpr std::size_t kTesterPageKind = 484;
constexpr std::size_t kTesterPageUsbGen = 256;

// Little-endian word n of IDENTIFY data.
std::uint16_t IdentifyWord(const std::uint8_t* identify, int word);

// Text of `words` words from `firstWord`, each word giving its high byte, then
// its low byte (ATA string order); a zero high byte makes the word give
// nothing and a zero low byte is dropped. Not trimmed.
std::string AtaWordText(const std::uint8_t* data, int firstWord, int words);

// Logical size in sectors: the 28-bit count of words 60-61, or, when that is
// 0x0FFFFFFF or more, the low 32 bits of the 48-bit count of words 100-103.
std::uint32_t IdentifyLogicalSize(const std::uint8_t* identify);
// Megabytes of 2048 sectors.
inline std::uint32_t SectorsToMb(std::uint32_t sectors) { return sectors >> 11; }

// SATA generation: word 76's low byte 0x02/0x06/0x0E gives 1/2/3, else 0;
// bits 3:1 of word 77, when not 0, replace it; behind a bridge or on a SATA
// port (bridgeOrPort) always 3.
int IdentifySataGen(const std::uint8_t* identify, bool bridgeOrPort);

// Word 78 bit 8 (Device Sleep supported) and word 79 bit 8 (enabled).
bool IdentifyDevSleepSupported(const std::uint8_t* identify);
bool IdentifyDevSleepEnabled(const std::uint8_t* identify);

// Tester firmware version text: "%d.%02x" of the major (decimal) and minor
// (two lowercase hexadecimal digits).
std::string FormatTesterFwVersion(std::uint8_t major, std::uint8_t minor);

struct TesterFwVersion {
  int major = 0;
  int minor = 0;
};
// Reads a version text made by FormatTesterFwVersion (blanks around it
// allowed): the decimal number before the point and the hexadecimal number
// after it. False for any other text.
bool ParseTesterFwVersion(const std::string& text, TesterFwVersion& out);

// Oldest tester firmware accepted: 3.09 for tester kind 4, 1.33 for any other.
TesterFwVersion MinimumTesterFw(int testerKind);
// The version is at least the minimum for the kind, comparing major, then
// minor, as numbers; an unreadable text counts as 0.00.
bool TesterFwRecentEnough(int testerKind, const std::string& version);

// The tester reports its USB generation (page byte 256) for kinds 3 and 4
// whose firmware's major and minor numbers are both 3 or more.
bool TesterReportsUsbGen(int testerKind, const std::string& version);

// The tester name: page bytes 98, 100, ..., 120, ended by a zero byte, blanks
// trimmed at both ends.
std::string TesterNameFromPage(const std::uint8_t* page);

}  // namespace kx
