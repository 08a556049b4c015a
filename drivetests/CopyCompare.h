// Plain helpers of the surface tests (drivetests/CopyCompare.cpp) and the DRAM
// test (drivetests/DramTest.cpp): the stamped test pattern and its comparison,
// the burn-in amount in sectors, the copy-compare areas, the user capacity from
// IDENTIFY data and the progress of a long test.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

class IProgressBar;

namespace kx {

constexpr std::uint32_t kTestSectorBytes = 512;

// Sectors per command of the surface tests (128 KiB), and of the DRAM test,
// whose 28-bit DMA moves at most 256; both well inside the 2 MiB buffers.
constexpr std::uint32_t kSurfaceChunkSectors = 256;
constexpr std::uint32_t kDramChunkSectors = 256;
// The copy-compare test covers three areas of 32 MiB: the start, the middle
// and the end of the drive.
constexpr std::uint64_t kCopyCompareAreaSectors = 65536;
// One burn-in GB is 1024 MB, as the capacity texts count it.
constexpr std::uint64_t kSectorsPerGb = 2097152;

// The test pattern of one pass. Each 512-byte sector carries a stamp: its
// address (LBA or DRAM address, 64-bit little-endian) at bytes 0-7, the pass
// number at 8-11 and its complement at 12-15; the body after it depends on the
// pass alone and holds every value of every bit. A sector written to the wrong
// address, or left from an earlier pass, fails the compare as surely as a
// flipped bit.
class TestPattern {
 public:
  static constexpr std::uint32_t kStampBytes = 16;

  explicit TestPattern(std::uint32_t pass);
  std::uint32_t Pass() const { return pass_; }
  // Fills `sectors` sectors for the addresses first, first + 1, ...
  void Fill(std::uint8_t* buffer, std::uint32_t sectors, std::uint64_t first) const;
  // Index of the first sector that differs from what Fill gives; `sectors` when none does.
  std::uint32_t FirstMismatch(const std::uint8_t* buffer, std::uint32_t sectors, std::uint64_t first) const;
  // Why the sector read at `address` differs: the data of another address, of
  // another pass, or the first differing byte.
  std::string Describe(const std::uint8_t* sector, std::uint64_t address) const;

 private:
  std::uint32_t pass_;
  std::array<std::uint8_t, kTestSectorBytes> model_;  // stamp address 0
};

// User-addressable sectors of IDENTIFY data: words 100-103 when the drive has
// the 48-bit feature set (word 83 bit 10), else words 60-61.
std::uint64_t IdentifyUserSectors(const std::uint8_t* identify);

// The sectors a burn-in covers: `amount` percent of the capacity (byCapacity
// false) or `amount` GB, from LBA 0. Above 100 % or beyond the capacity the
// whole drive (clamped set); NaN, zero or negative amounts and amounts below
// one sector give 0.
struct BurnInSpan {
  std::uint64_t sectors = 0;
  bool clamped = false;
};
BurnInSpan BurnInSectors(double amount, bool byCapacity, std::uint64_t capacitySectors);

struct LbaRange {
  std::uint64_t first = 0;
  std::uint64_t sectors = 0;
};
// The copy-compare areas: start, middle (on a 4 KiB boundary) and end; a drive
// smaller than three areas is one area.
std::vector<LbaRange> CopyCompareAreas(std::uint64_t capacitySectors);

// Moves a progress bar (may be null) from its position when made to `end` as
// `total` units of work are done.
class ProgressRun {
 public:
  ProgressRun(IProgressBar* bar, int end, std::uint64_t total);
  void Add(std::uint64_t done);
  // The position after `done` of `total` between start and end.
  static int PositionAt(int start, int end, std::uint64_t done, std::uint64_t total);

 private:
  IProgressBar* bar_;
  int start_ = 0;
  int end_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
};

// What a surface test calls itself in its lines and the codes of its failures.
struct SurfaceTest {
  const char* name;  // "Copy Compare Test(PIO)"
  bool dma;
  const char* writeCode;
  const char* readCode;
  const char* compareCode;
};

}  // namespace kx
