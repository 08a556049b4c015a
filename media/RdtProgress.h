// The RDT summary line of a port's cell and the over-bad CE mask: their counts
// from a bad-block table or from a saved scan record, and the line's pieces.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "media/BbtCount.h"
#include "protocol/MediaRecords.h"

namespace kx {

// Per-CE and total counts of the line. OB early bad, RB RDT bad (table) or
// later bad (record), PC the program-fail count; OLB the later-bad causes.
struct RdtCounts {
  std::array<std::uint16_t, 16> ob{};
  std::array<std::uint16_t, 16> rb{};
  std::array<std::uint32_t, 16> pc{};
  std::uint16_t pOlb = 0, pRb = 0;
  std::uint16_t eOlb = 0, eRb = 0;
  std::uint16_t rOlb = 0, rRb = 0;
  std::uint32_t olbOnly = 0;  // early bad with no other bit (table only)
};

// Line flags: per-CE pieces, P/E/R sums, P/E/R pairs (without sums), firmware pieces.
inline constexpr std::uint8_t kRdtPerCe = 0x01;
inline constexpr std::uint8_t kRdtSums = 0x02;
inline constexpr std::uint8_t kRdtPairs = 0x04;
inline constexpr std::uint8_t kRdtFirmware = 0x08;

RdtCounts RdtCountsFromTable(std::span<const std::uint8_t> bbt, const BbtScope& scope, std::uint32_t ceCount,
                             const BbtParameter& param);
// CE c's die (1 from CE 8 on, else 0), its four planes; `record` holds kBlockRecordSize bytes.
RdtCounts RdtCountsFromRecord(const std::uint8_t* record);
// Moves program-fail counts into read-fail counts: the OLB pair (when asked) and the RB pair.
void ApplyProgramToRead(RdtCounts& counts, bool olbPair);
std::string FormatRdtProgressLine(const RdtCounts& counts, std::uint8_t flags, bool savedRecord,
                                  const RdtInfoRecord& info);

// Offset of the first whole record of the file that begins "RDT"; false when none.
bool FindRdtRecord(std::span<const std::uint8_t> file, std::size_t& offset);
// Half the blocks of one plane of one die; false when a divisor is 0.
bool OverBadLimit(std::uint32_t maxBlockPerCe, std::uint32_t diePerFlash, std::uint32_t planeCount,
                  std::uint32_t& limit);
// Bit c set for each CE c (0..15) not skipped by the record whose later-bad, or
// early- plus later-bad, count of a plane exceeds the limit.
std::uint16_t OverBadCeMask(const std::uint8_t* record, std::uint32_t limit);

}  // namespace kx
