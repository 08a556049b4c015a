#include <gtest/gtest.h>

#include <malloc.h>

#include <memory>
#include <random>
#include <vector>

#include "emulator/Drive.h"
#include "emulator/SparseStore.h"

namespace emu {
namespace {

std::vector<std::uint8_t> Pattern(std::size_t sectors, std::uint8_t seed) {
  std::vector<std::uint8_t> v(sectors * kSectorSize);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

TEST(DriveSparseStore, UnwrittenReadsZeroAndWritesRoundTrip) {
  SparseStore s(1000);
  std::vector<std::uint8_t> buf(4 * kSectorSize, 0xAA);
  ASSERT_TRUE(s.Read(10, 4, buf.data()));
  EXPECT_EQ(buf, std::vector<std::uint8_t>(4 * kSectorSize, 0));
  const auto data = Pattern(4, 3);
  ASSERT_TRUE(s.Write(10, 4, data.data()));
  ASSERT_TRUE(s.Read(10, 4, buf.data()));
  EXPECT_EQ(buf, data);
}

TEST(DriveSparseStore, RangesLeavingTheStoreAreRefused) {
  SparseStore s(100);
  std::vector<std::uint8_t> buf(2 * kSectorSize, 1);
  EXPECT_FALSE(s.Write(99, 2, buf.data()));
  EXPECT_FALSE(s.Read(99, 2, buf.data()));
  EXPECT_FALSE(s.Read(~0ULL, 2, buf.data()));
  EXPECT_TRUE(s.Write(98, 2, buf.data()));
  EXPECT_TRUE(s.Read(100, 0, buf.data()));
}

TEST(DriveSparseStore, OverwritesSplitAndMergeRunsAgainstAReferenceModel) {
  constexpr std::uint64_t kSectors = 300;
  SparseStore s(kSectors);
  std::vector<std::uint8_t> model(kSectors * kSectorSize, 0);
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    const std::uint64_t lba = rng() % kSectors;
    const std::uint64_t n = 1 + rng() % std::min<std::uint64_t>(20, kSectors - lba);
    // Few distinct contents, so that runs merge and contents are shared.
    std::vector<std::uint8_t> data(n * kSectorSize);
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint8_t v = static_cast<std::uint8_t>(rng() % 4);
      std::fill_n(data.begin() + i * kSectorSize, kSectorSize, v);
    }
    ASSERT_TRUE(s.Write(lba, n, data.data()));
    std::copy(data.begin(), data.end(), model.begin() + lba * kSectorSize);
  }
  std::vector<std::uint8_t> all(kSectors * kSectorSize);
  ASSERT_TRUE(s.Read(0, kSectors, all.data()));
  EXPECT_EQ(all, model);
  EXPECT_LE(s.UniqueSectors(), 3u);  // fills 1, 2, 3; zeros are not stored
  // Adjacent runs of equal content were merged: fewer runs than non-zero sectors.
  std::size_t nonZeroRuns = 0;
  for (std::uint64_t i = 0; i < kSectors; ++i) {
    const bool nz = model[i * kSectorSize] != 0;
    if (nz && (i == 0 || model[(i - 1) * kSectorSize] != model[i * kSectorSize])) ++nonZeroRuns;
  }
  EXPECT_EQ(s.Runs(), nonZeroRuns);
}

TEST(DriveSparseStore, IdenticalSectorsAreStoredOnceAndReleasedWhenOverwritten) {
  SparseStore s(1 << 20);
  const auto one = Pattern(1, 9);
  std::vector<std::uint8_t> many;
  for (int i = 0; i < 64; ++i) many.insert(many.end(), one.begin(), one.end());
  for (std::uint64_t lba = 0; lba < 4096; lba += 128) ASSERT_TRUE(s.Write(lba * 3, 64, many.data()));
  EXPECT_EQ(s.UniqueSectors(), 1u);
  const std::vector<std::uint8_t> zeros(64 * kSectorSize, 0);
  for (std::uint64_t lba = 0; lba < 4096; lba += 128) ASSERT_TRUE(s.Write(lba * 3, 64, zeros.data()));
  EXPECT_EQ(s.UniqueSectors(), 0u);
  EXPECT_EQ(s.Runs(), 0u);
}

TEST(DriveSparseStore, EmptyLargeDriveCostsLittle) {
  DriveConfig cfg;
  cfg.capacitySectors = 512ULL * 1000 * 1000 * 1000 / 512;  // 512 GB
  Drive d(cfg);
  EXPECT_LT(d.MemoryBytes(), 16u << 20);
}

// A 1 GB zero fill followed by a 1 GB repeated-pattern fill costs next to
// nothing, so 24 such drives stay far below 1 GB.
TEST(DriveSparseStore, ZeroAndPatternFillIsCheap) {
  SparseStore s(4ULL << 21);  // 4 GB
  constexpr std::uint64_t kChunk = 256;
  std::vector<std::uint8_t> zeros(kChunk * kSectorSize, 0);
  std::vector<std::uint8_t> pattern(kChunk * kSectorSize);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(0x5A ^ (i % kSectorSize));
  constexpr std::uint64_t kGbSectors = 1ULL << 21;
  for (std::uint64_t lba = 0; lba < kGbSectors; lba += kChunk) ASSERT_TRUE(s.Write(lba, kChunk, zeros.data()));
  for (std::uint64_t lba = kGbSectors; lba < 2 * kGbSectors; lba += kChunk) ASSERT_TRUE(s.Write(lba, kChunk, pattern.data()));
  EXPECT_EQ(s.UniqueSectors(), 1u);
  EXPECT_EQ(s.Runs(), 1u);
  EXPECT_LT(s.MemoryBytes() * 24, 1u << 20);
  std::vector<std::uint8_t> back(kSectorSize);
  ASSERT_TRUE(s.Read(kGbSectors + 12345, 1, back.data()));
  EXPECT_TRUE(std::equal(back.begin(), back.end(), pattern.begin()));
}

#if !defined(__SANITIZE_ADDRESS__)
// The heap really holds what the accounting says (not under sanitizers, whose
// allocator keeps its own books).
TEST(DriveSparseStore, HeapGrowthOfTwentyFourEmptyLargeDrives) {
  const std::size_t before = mallinfo2().uordblks;
  std::vector<std::unique_ptr<Drive>> drives;
  DriveConfig cfg;
  cfg.capacitySectors = 1000215216;
  for (int i = 0; i < 24; ++i) drives.push_back(std::make_unique<Drive>(cfg));
  const std::size_t grown = mallinfo2().uordblks - before;
  EXPECT_LT(grown, 24u * (16u << 20));
  EXPECT_LT(grown / 24, 1u << 20);
}
#endif

}  // namespace
}  // namespace emu
