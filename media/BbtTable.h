// Plain helpers of the bad-block table on the drive: the CE selector and die
// column of the 3rd BBT, the CRC-16 and its covered length, and the 3rd BBT's
// entry and sector forms. The table's entry addressing is media/BbtCount.h's.
#pragma once
#include <cstddef>
#include <cstdint>

#include "device/BlockRecord.h"
#include "media/BbtCount.h"
#include "protocol/MediaRecords.h"

static_assert(kx::scanrec::kSize == kx::kBlockRecordSize, "the scan record and the block record are one size");

namespace kx {

// The 3rd BBT covers CEs 0..15 and dies 0..15 at most.
constexpr std::uint32_t kBbtMaxDies = 16;
constexpr std::uint32_t k3rdBbtCes = 16;
// Largest 3rd BBT of one CE, in logical sectors: its staging table fits the
// device's 2 MiB I/O buffer, and its doubled sector offsets fit 16 bits.
constexpr std::uint32_t kMax3rdBbtSectors = 4096;
// Raw chunked reads address sectors with 16 bits.
constexpr std::uint32_t kMaxRawSectors = 0x10000;

// The CE's selector: the code itself with one channel (and any count but 2),
// channel + 2 x bank with two. The 3rd BBT is read by it.
std::uint32_t BbtSelector(std::uint8_t ceCode, std::uint32_t channelCount);
// The column of a located die (media/BbtCount.h), which the 3rd BBT is written to.
std::uint32_t BbtDieColumn(const DieEntries& entries, const BbtParameter& param);

// CRC-16/GENIBUS (CCrc16Ccitt) of the bytes.
std::uint16_t BbtCrc16(const std::uint8_t* bytes, std::size_t length);
// Bytes the checksum covers: blocks per plane x flash count x planes, clamped to
// the table's `available` bytes (a negative count covers nothing).
std::size_t BbtCrcLength(std::uint32_t blocksPerPlane, std::int32_t flashCount, std::uint32_t planeCount,
                         std::size_t available);

// 3rd BBT: sectors per CE (500 blocks each) for a CE of `maxBlockPerCe` blocks.
std::uint32_t Bbt3rdSectorsPerCe(std::uint32_t maxBlockPerCe);
// The 3rd BBT entry for a BBT flag byte, keeping the cause bits `existing`
// already has: 01 good, 10 bad, with the causes.
std::uint8_t Bbt3rdEntry(std::uint8_t existing, std::uint8_t flags);
// What a 3rd BBT entry adds to the BBT: early bad with its causes; 0 when the
// entry is not bad.
std::uint8_t BbtFlagsFrom3rdEntry(std::uint8_t entry);
// Header and trailer of one 512-byte 3rd BBT sector whose entries are filled.
void Seal3rdBbtSector(std::uint8_t* sector, bool sortMark, std::uint32_t maxBlockPerCe, std::uint16_t badCount);

}  // namespace kx
