// The write-read burn-in through the command layer on emulated drives behind
// tester boards (tester-direct mode), on the real clock.
//   BM_BurnInOneDrive: one 1 GB burn-in (write, read and compare, clear) on one
//     core; the figure is the emulated transfer it moves per second (3 GB per
//     run), target at least 2 GB/s.
//   BM_TwentyFourDrives: 24 burn-ins of 1 GB at once, one thread per port as a
//     production pass runs them, then the 1 GB stamped pattern written again
//     to each drive and left there; the figure is the process's resident
//     memory with all 24 drives holding it, target at most 256 MB. The peak
//     during the burn-ins and the drives' own books are printed beside it.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "command/CommandGlobals.h"
#include "command/DriveCommand.h"
#include "device/ErrorCode.h"
#include "device/PortDevice.h"
#include "drivetests/CopyCompare.h"
#include "emulator/Drive.h"
#include "emulator/Site.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace {

constexpr int kDrives = 24;
constexpr double kMiB = 1024.0 * 1024.0;

// Resident set now, from /proc/self/statm, and its peak (ru_maxrss).
double ResidentMb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / kMiB;
}
double PeakResidentMb() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

// A working folder of its own and a site of 24 tester boards (board N serves slot N).
struct Bench {
  kxbench::ScratchFolder folder{"burnin"};
  std::shared_ptr<emu::Site> site;

  Bench() {
    win::WritePrivateProfileString("General Info", "TestStation", "QC", ".\\Configuration\\System\\MPToolSetting.ini");
    win::WritePrivateProfileString("PC Info", "MAC_Address", "PC", ".\\PC_MAC_Address.txt");

    emu::DriveConfig cfg;
    cfg.bootDelayMs = 0;
    site = kxbench::InstallTesterSite(kDrives, cfg);
  }
  ~Bench() { site->Uninstall(); }
};

Bench& bench() {
  static Bench b;
  return b;
}

bool BurnIn(int slot) {
  CPortDevice device(slot, 1, slot, "D:\\Log", nullptr, nullptr);
  return device.WriteReadBurnIn(nullptr, 100, 1.0f, 1, 1);
}

double g_gbPerSecond = 0.0;
double g_heldMb = 0.0, g_peakMb = 0.0, g_baseMb = 0.0, g_drivesMb = 0.0;

void BM_BurnInOneDrive(benchmark::State& state) {
  bench();
  double seconds = 0.0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (!BurnIn(1)) state.SkipWithError("the burn-in failed");
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  g_gbPerSecond = 3.0 * static_cast<double>(state.iterations()) / seconds;
  state.counters["GB_per_s"] = g_gbPerSecond;
}
BENCHMARK(BM_BurnInOneDrive)->Iterations(3)->Unit(benchmark::kMillisecond);

// The stamped pattern of one burn-in loop written over the first GB and left there.
bool WriteStampedGb(int slot) {
  CDriveCommand command(slot);
  std::vector<std::uint8_t> buffer(std::size_t{kx::kSurfaceChunkSectors} * kx::kTestSectorBytes);
  const kx::TestPattern pattern(7);
  for (std::uint64_t lba = 0; lba < kx::kSectorsPerGb; lba += kx::kSurfaceChunkSectors) {
    pattern.Fill(buffer.data(), kx::kSurfaceChunkSectors, lba);
    if (!command.WriteDmaExt16(buffer.data(), kx::kSurfaceChunkSectors, static_cast<std::uint32_t>(lba), 0))
      return false;
  }
  return true;
}

void BM_TwentyFourDrives(benchmark::State& state) {
  Bench& b = bench();
  g_baseMb = ResidentMb();
  for (auto _ : state) {
    std::vector<std::thread> ports;
    std::vector<char> passed(kDrives, 0);
    for (int slot = 1; slot <= kDrives; ++slot)
      ports.emplace_back([slot, &passed] { passed[slot - 1] = BurnIn(slot) ? 1 : 0; });
    for (auto& t : ports) t.join();
    for (char p : passed)
      if (!p) state.SkipWithError("a burn-in failed");
    g_peakMb = PeakResidentMb();
    for (int slot = 1; slot <= kDrives; ++slot)
      if (!WriteStampedGb(slot)) state.SkipWithError("the stamped write failed");
  }
  g_heldMb = ResidentMb();
  double drives = 0.0;
  for (int slot = 1; slot <= kDrives; ++slot) drives += static_cast<double>(b.site->GetDrive(slot)->MemoryBytes());
  g_drivesMb = drives / kMiB;
  state.counters["resident_MB"] = g_heldMb;
  state.counters["peak_MB"] = g_peakMb;
  state.counters["drives_MB"] = g_drivesMb;
}
BENCHMARK(BM_TwentyFourDrives)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  bool met = true;
  if (g_gbPerSecond > 0) {
    const bool ok = g_gbPerSecond >= 2.0;
    met = met && ok;
    std::printf("burn-in on one core: %.2f GB/s of emulated transfer (target >= 2 GB/s): %s\n", g_gbPerSecond,
                ok ? "met" : "MISSED");
  }
  if (g_heldMb > 0) {
    const bool ok = g_heldMb <= 256.0;
    met = met && ok;
    std::printf(
        "24 drives holding a 1 GB stamped pattern each: resident %.1f MB (target <= 256 MB): %s; "
        "peak during the 24 burn-ins %.1f MB, before them %.1f MB, the drives' own books %.1f MB\n",
        g_heldMb, ok ? "met" : "MISSED", g_peakMb, g_baseMb, g_drivesMb);
  }
  return met ? 0 : 1;
}
