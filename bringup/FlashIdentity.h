// Flash-ID rules of the flash identity steps (bringup/FlashIdentity.cpp) and of
// the flash clock choice: when a reply is no flash, the built-in ID patterns
// whose device code is normalised, the masked comparison of two IDs, and the
// walk of the scan-all flash-ID table against the reference ID and a CE map.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

constexpr int kFlashNumbers = 64;             // flash numbers 0 to 63, and CEs of the scan-all table
constexpr std::size_t kFlashIdBytes = 7;
constexpr std::size_t kScanEntryBytes = 8;
constexpr std::size_t kScanTableBytes = 512;  // 64 entries of 8 bytes

using FlashId = std::array<std::uint32_t, kFlashIdBytes>;

// "%02x %02x %02x %02x %02x %02x %02x" of the first seven bytes.
std::string FormatFlashId(const std::uint8_t* id);

// A GetFlashID reply that names no flash: byte 0 zero; bytes 1-3 zero; bytes 0,
// 2 and 3 all 0xFF; or bytes 0, 1 and 2 equal.
bool IsNoFlashReply(const std::uint8_t* reply);

// Built-in patterns 98 EE/DE 95 32 7A 55 0A (byte 1 becomes EE) and
// 98 E7/D7 94 32 76 55 0A/0C/0D (byte 1 becomes E7). The full form demands the
// seventh byte, the short form does not look at it. True when the ID matched;
// byte 1 is then replaced.
enum class IdPatternForm { Short, Full };
bool NormalizeFlashId(std::uint8_t* id, IdPatternForm form);

// The wanted and the read ID (texts; blanks removed) are split into bytes 0-3
// and 4-6, each piece read as hexadecimal up to its first other character and
// ANDed with the same piece of the mask (used as it stands). Equal pieces
// match; an empty mask matches every pair.
bool MaskedFlashIdMatch(const std::string& wanted, const std::string& read, const std::string& mask);

// An entry of the scan-all table whose bytes 0-3 are all 0x00, all 0x20, all
// 0xFF, or all equal.
bool IsEmptyScanEntry(const std::uint8_t* entry);

// Byte 1 of every entry: 0xDE becomes 0xEE, 0xD7 becomes 0xE7.
void NormalizeScanTable(std::uint8_t* table);

// [Options] CHCEMap of the parameter file: a hexadecimal number of 16 bits (an
// optional 0x before it); 0 when missing or empty. False, with the setting's
// message, for a value that is no such number.
bool ReadUiCeMap(std::uint16_t& map, std::string& message);

// [Flash Info] Flh_Number of the flash-maker file: the flash count a drive must
// have, a whole decimal number from 0 to kFlashNumbers; 0 when missing or
// empty. False, with the setting's message, for any other value.
bool ReadFlashNumberSetting(int& count, std::string& message);

// Outcome of holding every CE of the scan-all table against the reference ID.
struct CeMapScan {
  int matched = 0;              // CEs (0-63) that carry the reference ID
  std::uint16_t foundMask = 0;  // bit n for a matching CE n below 16
  std::vector<int> different;   // CEs carrying another ID, rising
};
// CEs outside a set CE map (ceMap != 0; CEs from 16 up are outside every set
// map) are passed over. With dynamic CE and a non-empty mask, an entry that
// matches the reference ID under the mask counts as matching.
CeMapScan CompareScanTable(const std::uint8_t* table, const FlashId& reference, std::uint16_t ceMap, bool dynamicCe,
                           const std::string& mask);

// A scan-all entry whose unique ID is read: bytes 0 to 4 all non-zero.
bool HasUniqueId(const std::uint8_t* entry);

// The "M_D09" message of a flash count that differs from the parameter file's.
std::string FlashNumberMismatchMessage(int found, int expected);

}  // namespace kx
