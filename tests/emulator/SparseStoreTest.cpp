// Sparse media: round trips against a reference model, range checks, shared
// contents, and what a large drive costs.
#include <gtest/gtest.h>

#include <malloc.h>

#include <memory>
#include <random>
#include <vector>

#include "emulator/Drive.h"
#include "emulator/SparseStore.h"

namespace emu {
namespace {

TEST(SparseStore, RangesLeavingTheStoreAreRefused) {
  SparseStore s(100);
  std::vector<std::uint8_t> buf(2 * kSectorSize, 1);
  EXPECT_FALSE(s.Write(99, 2, buf.data()));
  EXPECT_FALSE(s.Read(99, 2, buf.data()));
  EXPECT_FALSE(s.Read(~0ULL, 2, buf.data()));
  EXPECT_TRUE(s.Write(98, 2, buf.data()));
  EXPECT_TRUE(s.Read(100, 0, buf.data()));
}

TEST(SparseStore, OverwritesSplitAndMergeRunsAgainstAReferenceModel) {
  constexpr std::uint64_t kSectors = 300;
  SparseStore s(kSectors);
  std::vector<std::uint8_t> model(kSectors * kSectorSize, 0), all(kSectors * kSectorSize, 0xAA);
  ASSERT_TRUE(s.Read(0, kSectors, all.data()));
  EXPECT_EQ(all, model);  // unwritten reads as zeros
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    const std::uint64_t lba = rng() % kSectors;
    const std::uint64_t n = 1 + rng() % std::min<std::uint64_t>(20, kSectors - lba);
    // Few distinct contents, so that runs merge and contents are shared.
    std::vector<std::uint8_t> data(n * kSectorSize);
    for (std::uint64_t i = 0; i < n; ++i) std::fill_n(data.begin() + i * kSectorSize, kSectorSize, rng() % 4);
    ASSERT_TRUE(s.Write(lba, n, data.data()));
    std::copy(data.begin(), data.end(), model.begin() + lba * kSectorSize);
  }
  ASSERT_TRUE(s.Read(0, kSectors, all.data()));
  EXPECT_EQ(all, model);
  EXPECT_LE(s.UniqueSectors(), 3u);  // fills 1, 2, 3; zeros are not stored
  // Adjacent runs of equal content were merged: one run per stretch of equal non-zero sectors.
  std::size_t nonZeroRuns = 0;
  for (std::uint64_t i = 0; i < kSectors; ++i) {
    const std::uint8_t v = model[i * kSectorSize];
    if (v != 0 && (i == 0 || model[(i - 1) * kSectorSize] != v)) ++nonZeroRuns;
  }
  EXPECT_EQ(s.Runs(), nonZeroRuns);
  // Zeros written over everything release every content.
  const std::vector<std::uint8_t> zeros(kSectors * kSectorSize, 0);
  ASSERT_TRUE(s.Write(0, kSectors, zeros.data()));
  EXPECT_EQ(s.UniqueSectors(), 0u);
  EXPECT_EQ(s.Runs(), 0u);
}

// A 1 GB zero fill followed by a 1 GB repeated-pattern fill costs next to
// nothing, so 24 such drives stay far below 1 GB; an empty 512 GB drive costs
// little, on the books and on the heap.
TEST(SparseStore, FillsAndLargeEmptyDrivesAreCheap) {
  SparseStore s(4ULL << 21);  // 4 GB
  constexpr std::uint64_t kChunk = 256, kGbSectors = 1ULL << 21;
  std::vector<std::uint8_t> zeros(kChunk * kSectorSize, 0), pattern(kChunk * kSectorSize);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(0x5A ^ (i % kSectorSize));
  for (std::uint64_t lba = 0; lba < kGbSectors; lba += kChunk) ASSERT_TRUE(s.Write(lba, kChunk, zeros.data()));
  for (std::uint64_t lba = kGbSectors; lba < 2 * kGbSectors; lba += kChunk)
    ASSERT_TRUE(s.Write(lba, kChunk, pattern.data()));
  EXPECT_EQ(s.UniqueSectors(), 1u);
  EXPECT_EQ(s.Runs(), 1u);
  EXPECT_LT(s.MemoryBytes() * 24, 1u << 20);
  std::vector<std::uint8_t> back(kSectorSize);
  ASSERT_TRUE(s.Read(kGbSectors + 12345, 1, back.data()));
  EXPECT_TRUE(std::equal(back.begin(), back.end(), pattern.begin()));

  DriveConfig cfg;
  cfg.capacitySectors = 512ULL * 1000 * 1000 * 1000 / 512;
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's allocator keeps its own books
  const std::size_t before = mallinfo2().uordblks;
#endif
  std::vector<std::unique_ptr<Drive>> drives;
  for (int i = 0; i < 24; ++i) drives.push_back(std::make_unique<Drive>(cfg));
  EXPECT_LT(drives[0]->MemoryBytes(), 16u << 20);
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT((mallinfo2().uordblks - before) / 24, 1u << 20);
#endif
}

}  // namespace
}  // namespace emu
