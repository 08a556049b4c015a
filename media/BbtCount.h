// Walkers over the in-memory bad-block table: one flag byte per block and plane,
// laid out by the table's parameter record. They count entries by kind and cause
// per CE, die and plane, list a die's bad blocks, look up one block and merge a
// text list of block numbers back into a table. None sends a command.
//
// Every walker is bounded: entries beyond the table's bytes are never read, dies
// beyond 16 and planes beyond 4 are not visited, CEs from 32 on have no code and
// count as absent, a record whose column modulus, dies per group or column
// counts are zero gives empty results, and lists stop at 32,767 entries.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "protocol/MediaRecords.h"

class CPortDevice;

namespace kx {

// What the walkers take from the device besides the table and its record.
struct BbtScope {
  std::uint32_t channelCount = 1;  // 2: the CE code is interleaved into the selector
  std::uint32_t diesPerCe = 1;
  std::uint16_t ceMap = 0;  // 0: every CE; else a CE whose bit is clear is skipped
  bool ceMask64Enable = false;
  std::uint64_t ceMask64 = 0;  // with ceMask64Enable: a CE whose bit is clear is skipped
};

// The device's channels, dies per CE, CE map and 64-bit CE mask.
BbtScope DeviceBbtScope(const CPortDevice& device);

inline constexpr std::size_t kCountCes = 64;
inline constexpr std::size_t kCountDies = 16;
inline constexpr std::size_t kCountPlanes = 4;
// counts[CE][die][plane]
using PlaneCounts = std::array<std::array<std::array<std::uint32_t, kCountPlanes>, kCountDies>, kCountCes>;
// Early bad, RDT bad, later bad, good.
using KindCounts = std::array<std::uint32_t, 4>;

// A list of 16-bit block numbers; unused slots read 0xFFFF.
inline constexpr std::size_t kBlockListSlots = 32768;
inline constexpr std::size_t kBlockListMax = 32767;
inline constexpr std::uint16_t kBlockListEnd = 0xFFFF;
using BlockList = std::array<std::uint16_t, kBlockListSlots>;

// Match and exclusion masks of a (kinds, cause) selection: bit 0 of kinds the
// early kind, bit 1 the later kind narrowed by cause 1..12 (5 RDT bad). The
// list walker selects a little differently from the count walker.
struct KindSelection {
  std::uint8_t match = 0;
  std::uint8_t exclude = 0;
};
KindSelection SelectKinds(std::uint32_t kinds, std::uint8_t cause, bool forList);

// Where one CE and die's entries lie in the table: entry (row r, plane p) is at
// firstIndex + r * rowStride + p and has block number firstBlock + r * planeStride + p.
struct DieEntries {
  std::uint64_t firstIndex = 0;
  std::uint64_t rowStride = 0;
  std::uint32_t firstBlock = 0;
  std::uint32_t planeStride = 0;  // the record's plane count
  std::uint32_t planes = 0;       // planes visited (at most 4)
  std::uint32_t rows = 0;
};
// False for an absent CE ("?" or 32 and above), a die from 16 on, or a record
// with zero divisors; no CE-map filter is applied here (the walkers of one CE
// and die apply none). Rows that reach beyond the table's bytes are not visited.
bool LocateDie(const BbtParameter& param, const BbtScope& scope, std::uint32_t ce, std::uint32_t die, DieEntries& out);
// Whether the CE passes the CE-map and 64-bit-mask filters (its code aside).
bool CePassesFilters(const BbtScope& scope, std::uint32_t ce);

void CountBadBlocksPerPlane(PlaneCounts& counts, std::span<const std::uint8_t> bbt, const BbtScope& scope,
                            std::uint32_t ceCount, const BbtParameter& param, std::uint32_t kinds, std::uint8_t cause);
// An entry with both the early and the RDT bit counts as both; good = all
// entries of the record's shape less the three bad counts, at least 0.
void CountBadBlocksByKind(KindCounts& counts, std::span<const std::uint8_t> bbt, const BbtScope& scope,
                          std::uint32_t ceCount, const BbtParameter& param);
// Entries with a bit of mask and, when exclude is not 0, none of exclude; ce -1 counts every CE.
std::uint32_t CountBbtBlocks(std::span<const std::uint8_t> bbt, const BbtScope& scope, std::uint32_t ceCount, int ce,
                             const BbtParameter& param, std::uint8_t mask, std::uint8_t exclude);
void ListBadBlocks(BlockList& list, std::span<const std::uint8_t> bbt, const BbtScope& scope, std::uint32_t ce,
                   std::uint32_t die, const BbtParameter& param, std::uint32_t kinds, std::uint8_t cause);
// Entries with a bit of mask (and of sub, when sub is not 0); returns how many were listed.
std::uint32_t ListBadBlocksOfDie(BlockList& list, std::span<const std::uint8_t> bbt, const BbtScope& scope,
                                 std::uint32_t ce, std::uint32_t die, const BbtParameter& param, std::uint8_t mask,
                                 std::uint8_t sub);
// The flag byte of the die's entry with that block number; 0 when there is none.
std::uint8_t IsBlockMarkedBad(std::span<const std::uint8_t> bbt, const BbtScope& scope, std::uint32_t block,
                              std::uint32_t ce, std::uint32_t die, const BbtParameter& param);
// Reads the hexadecimal block numbers of `text` (between "=" and ";" when it has
// an "=") and ORs both flag sets into those blocks of the CE and die. A list
// with a piece that is not a hexadecimal number changes nothing.
void ParseBadBlockList(std::span<std::uint8_t> bbt, const BbtScope& scope, const std::string& text, std::uint32_t ce,
                       std::uint32_t die, const BbtParameter& param, std::uint8_t flagsA, std::uint8_t flagsB);

// One to eight hexadecimal digits, no prefix.
bool ReadHexNumber(const std::string& text, std::uint32_t& value);
// The block numbers of a list text as ParseBadBlockList reads them; false when
// nothing is to be parsed or a piece is not a hexadecimal number.
bool ParseBlockNumbers(const std::string& text, std::vector<std::uint32_t>& values);

struct PageSizeFlags {
  bool page16K = false;
  bool page8K = false;
  bool page4K = false;
};
// Bytes of the page-size unit: 16, 8, 4 or 2 KiB, the first flag set winning.
std::uint32_t PageUnitBytes(const PageSizeFlags& flags);
// With a record: its sectors in bytes; without: the table's bytes for that
// geometry rounded up to a whole unit (saturated at the largest whole unit).
std::uint32_t GetUnitSize(const BbtParameter* param, const PageSizeFlags& flags, std::uint32_t blocksPerPlane,
                          std::uint32_t flashCount, std::uint32_t planeCount);

}  // namespace kx
