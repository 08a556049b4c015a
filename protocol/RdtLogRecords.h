// Record layouts of what the RDT firmware leaves on a drive besides the bad-block
// table: its four logs, read with the vendor reads 50h (bad-block log), 51h
// (temperature and time log), 52h (DRAM log) and 54h (special log: the blocks
// whose corrected bits stood out), and the run summary in the RDT info record
// (protocol/MediaRecords.h holds the record's other fields). Layouts only.
//
// A log is a run of 8-byte entries from byte 0 of its sector 0 (the command's
// address is the sector offset), closed by an end entry: the log's four-character
// mark, then the number of entries before it (u32). A log without its end entry
// was not written to its end. No entry is all zeros.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/MediaRecords.h"

namespace kx {

namespace rdtlog {

enum class Log : std::uint8_t { BadBlock, TemperatureTime, Dram, Special };
inline constexpr std::size_t kLogCount = 4;
inline constexpr char kMarks[kLogCount][5] = {"RBBL", "RTTL", "RDRL", "RECL"};
inline constexpr std::uint8_t kSubCommands[kLogCount] = {0x50, 0x51, 0x52, 0x54};

inline constexpr std::size_t kEntryBytes = 8;
inline constexpr std::size_t kEndMark = 0;   // 4 characters
inline constexpr std::size_t kEndCount = 4;  // u32

// Bad-block log: a factory bad block, or a block the flash test found bad.
inline constexpr std::size_t kBbCe = 0;  // channel * 8 + bank
inline constexpr std::size_t kBbDie = 1;
inline constexpr std::size_t kBbPlane = 2;
inline constexpr std::size_t kBbFlags = 3;  // bbtflag::kEarlyBad, or bbtflag::kRdtBad with the cause bits
inline constexpr std::size_t kBbBlock = 4;  // u32, block within the plane
// Temperature and time log: one reading.
inline constexpr std::size_t kTtMinute = 0;  // u16, minutes since the run started
inline constexpr std::size_t kTtCelsius = 2;
inline constexpr std::size_t kTtLoop = 3;
// DRAM log: one failing word.
inline constexpr std::size_t kDrAddress = 0;  // u32
inline constexpr std::size_t kDrBits = 4;     // u16, the data bits that failed
inline constexpr std::size_t kDrLoop = 6;
// Special log: a block and the most bits corrected in one of its pages.
inline constexpr std::size_t kEcCe = 0;
inline constexpr std::size_t kEcDie = 1;
inline constexpr std::size_t kEcPlane = 2;
inline constexpr std::size_t kEcFlags = 3;  // kEcSlc: read in SLC mode
inline constexpr std::uint8_t kEcSlc = 0x01;
inline constexpr std::size_t kEcBlock = 4;  // u16
inline constexpr std::size_t kEcBits = 6;
inline constexpr std::size_t kEcLoop = 7;

inline const char* Mark(Log log) { return kMarks[static_cast<std::size_t>(log)]; }

inline bool IsEndEntry(const std::uint8_t* entry, Log log, std::uint32_t index) {
  return std::memcmp(entry + kEndMark, Mark(log), 4) == 0 && LoadLe32(entry + kEndCount) == index;
}
inline void PutEndEntry(std::uint8_t* entry, Log log, std::uint32_t count) {
  std::memcpy(entry + kEndMark, Mark(log), 4);
  StoreLe32(entry + kEndCount, count);
}

}  // namespace rdtlog

// The RDT's run summary in the RDT info record.
namespace rdtrun {
inline constexpr std::size_t kResultCode = 4;  // the RDT's verdict (below)
inline constexpr std::size_t kBadBlocks = 9;   // u24, entries of the bad-block log the RDT found bad

inline constexpr std::uint8_t kNotFinished = 0x00;
inline constexpr std::uint8_t kPassed = 0x01;
inline constexpr std::uint8_t kTestTimeOut = 0x11;
inline constexpr std::uint8_t kBadBlocksOver = 0x12;
inline constexpr std::uint8_t kFlashIdError = 0x13;
inline constexpr std::uint8_t kFlashIdMissing = 0x14;
inline constexpr std::uint8_t kSystemBlockError = 0x15;
}  // namespace rdtrun

}  // namespace kx
