// Decoding and counting the bad-block table of a 16-CE, 4-plane drive of 2,048
// blocks per plane (131,072 entries, about 3% bad of every kind and cause), and
// writing its list file, on one core. "Count" is what the scan read-out and the
// RDT line take of a table: the kind totals, the per-plane counts of the early
// kind and of the later kind for each cause filter 0 to 12, and the RDT line's
// counts. "List file" builds the file's text; "Whole" adds the write of the file
// into a memory file system when there is one. After the run it prints the
// figures and fails when the whole step takes 20 ms or more.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/RateCollector.h"
#include "media/RdtProgress.h"
#include "media/BadBlockFile.h"
#include "media/BbtCount.h"
#include "platform/Files.h"

namespace {

constexpr std::uint32_t kCes = 16;
constexpr std::uint32_t kPlanes = 4;
constexpr std::uint32_t kRows = 2048;

struct Drive {
  kx::BbtParameter param;
  kx::BbtScope scope;
  kx::RdtInfoRecord info;
  std::vector<std::uint8_t> bbt;

  Drive() {
    param.SetSignature(kx::bbtparam::kSignature);
    for (std::uint32_t c = 0; c < 32; ++c) param.SetCeCode(c, c < kCes ? static_cast<std::uint8_t>(c) : '?');
    param.SetRowCount(kRows);
    param.SetChannelModulus(kCes);
    param.SetColumnCount(kCes);
    param.SetDiesPerGroup(1);
    param.SetPlaneCount(kPlanes);
    param.SetFoldDivisor(1);
    param.SetDieBlockStride(kRows);
    param.SetBbtSectors(kRows * kCes * kPlanes / 512);
    scope.channelCount = 2;
    info.SetSignature(kx::rdtinfo::kSignature);
    bbt.assign(static_cast<std::size_t>(param.BbtSectors()) * 512, 0);
    // A fixed spread of flag bytes over every kind and cause.
    const std::uint8_t kinds[] = {0x80, 0x81, 0x82, 0x84, 0x88, 0x10, 0x11, 0x12, 0x14, 0x38, 0x40, 0x41, 0x44};
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i < bbt.size(); ++i) {
      x = x * 1103515245u + 12345u;
      if ((x >> 16) % 32 == 0) bbt[i] = kinds[(x >> 8) % std::size(kinds)];
    }
  }
};

Drive& drive() {
  static Drive d;
  return d;
}

std::uint64_t CountTable(const Drive& d) {
  std::uint64_t sum = 0;
  kx::KindCounts kinds;
  kx::CountBadBlocksByKind(kinds, d.bbt, d.scope, kCes, d.param);
  sum += kinds[0];
  static kx::PlaneCounts planes;
  kx::CountBadBlocksPerPlane(planes, d.bbt, d.scope, kCes, d.param, 1, 0xFF);
  sum += planes[0][0][0];
  for (std::uint8_t cause = 0; cause <= 12; ++cause) {
    kx::CountBadBlocksPerPlane(planes, d.bbt, d.scope, kCes, d.param, 2, cause == 0 ? 0xFF : cause);
    sum += planes[15][0][3];
  }
  sum += kx::RdtCountsFromTable(d.bbt, d.scope, kCes, d.param).olbOnly;
  return sum;
}

void BM_Count(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(CountTable(drive()));
  state.SetItemsProcessed(state.iterations());
}

void BM_ListFile(benchmark::State& state) {
  const Drive& d = drive();
  for (auto _ : state) benchmark::DoNotOptimize(kx::BuildBadBlockFileText(d.bbt, d.scope, kCes, d.param, d.info));
  state.SetItemsProcessed(state.iterations());
}

void BM_Whole(benchmark::State& state) {
  const Drive& d = drive();
  for (auto _ : state) {
    benchmark::DoNotOptimize(CountTable(d));
    if (platform::WriteFileBytes(".\\BBT.txt", kx::BuildBadBlockFileText(d.bbt, d.scope, kCes, d.param, d.info)) != 0)
      state.SkipWithError("the list file could not be written");
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Count)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Whole)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  std::error_code ec;
  const std::filesystem::path base =
      std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : std::filesystem::temp_directory_path();
  const std::filesystem::path folder = base / ("kxbench_bbt_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  std::filesystem::current_path(folder);

  benchmark::Initialize(&argc, argv);
  kxbench::RateCollector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
  std::filesystem::current_path("/");
  std::filesystem::remove_all(folder, ec);

  const double whole = collector.rates["BM_Whole"];
  if (whole <= 0) return 0;  // filtered out
  const double ms = 1000.0 / whole;
  const bool met = ms < 20.0;
  std::printf("count %.2f ms, list file text %.2f ms, whole step with the write %.2f ms (target < 20 ms): %s\n",
              1000.0 / collector.rates["BM_Count"], 1000.0 / collector.rates["BM_ListFile"], ms,
              met ? "met" : "MISSED");
  return met ? 0 : 1;
}
