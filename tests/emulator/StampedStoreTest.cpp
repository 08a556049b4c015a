// Stamped sectors (an address counter over a shared body) in the sparse store.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "emulator/SparseStore.h"

namespace emu {
namespace {

// Sector i of the fill: counter base + i in bytes 0-7 over a body of `body`.
std::vector<std::uint8_t> Stamped(std::uint64_t sectors, std::uint64_t base, std::uint8_t body) {
  std::vector<std::uint8_t> out(sectors * kSectorSize, body);
  for (std::uint64_t i = 0; i < sectors; ++i)
    for (int b = 0; b < 8; ++b) out[i * kSectorSize + b] = static_cast<std::uint8_t>((base + i) >> (8 * b));
  return out;
}

// Random overwrites against a reference model: counters that follow the LBA,
// restart elsewhere, or stop at the top of their range; then a stamped GB.
TEST(StampedStore, OverwritesAgainstAModelAndAStampedGigabyteIsOneRun) {
  constexpr std::uint64_t kSectors = 400;
  SparseStore s(kSectors);
  std::vector<std::uint8_t> model(kSectors * kSectorSize, 0), all(kSectors * kSectorSize);
  std::mt19937 rng(11);
  for (int round = 0; round < 3000; ++round) {
    const std::uint64_t lba = rng() % kSectors;
    const std::uint64_t n = 1 + rng() % std::min<std::uint64_t>(40, kSectors - lba);
    const std::uint64_t base = rng() % 3 == 0 ? ~0ULL - 2 : (rng() % 2 ? lba : rng() % 1000);
    const auto data = Stamped(n, base, static_cast<std::uint8_t>(rng() % 3));
    ASSERT_TRUE(s.Write(lba, n, data.data()));
    std::copy(data.begin(), data.end(), model.begin() + static_cast<std::ptrdiff_t>(lba * kSectorSize));
  }
  ASSERT_TRUE(s.Read(0, kSectors, all.data()));
  EXPECT_EQ(all, model);

  SparseStore gb(4ULL << 21);
  for (std::uint64_t lba = 0; lba < (1ULL << 21); lba += 256)
    ASSERT_TRUE(gb.Write(lba, 256, Stamped(256, lba, 0x5A).data()));
  EXPECT_EQ(gb.Runs(), 1u);
  EXPECT_EQ(gb.UniqueSectors(), 1u);
}

}  // namespace
}  // namespace emu
