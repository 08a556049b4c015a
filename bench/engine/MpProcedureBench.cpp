// One MP pass (RunMP from the RDT firmware in flash to the MP firmware in
// flash) of port jobs on the worker pool against emulated 64 GB drives behind
// USB bridges, on the real clock with the drives' busy times scaled down and
// the write/read burn-in off. One job alone is measured first, then 24 at
// once; the counters give the pass's wall time, its ratio to one job's (the
// target is at most 1.2) and the host CPU time per slot.
#include <ctime>

#include <chrono>
#include <latch>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "device/ModuleFolder.h"
#include "device/PortDevice.h"
#include "emulator/Drive.h"
#include "emulator/Site.h"
#include "engine/PortJob.h"
#include "platform/Profile.h"
#include "tools/BinImages.h"

namespace {

using steady = std::chrono::steady_clock;
using kxtools::kNormalCodeAt;
using kxtools::MpImage;

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

emu::DriveConfig Drive64Gb(const std::vector<std::uint8_t>& image) {
  emu::DriveConfig c;
  c.initialCode = emu::RunningCode::RomRdt;
  c.capacitySectors = 125045424;  // 64 GB by IDEMA
  c.dramLog2Mb = 6;
  c.fuseWord2 = 0x45123456, c.fuseWord3 = 0x15;
  c.flashCode.assign(image.begin() + kNormalCodeAt, image.end());
  c.bootDelayMs = 5, c.programFlashMs = 20, c.eraseMs = 20, c.preFormatMs = 10;
  return c;
}

struct Bench {
  kxbench::ScratchFolder folder{"mp"};
  std::vector<std::uint8_t> image = MpImage();
  std::shared_ptr<emu::Site> site;

  Bench() {
    g_ModuleFolder = "C:\\KXMP\\";
    const char* tool = ".\\Configuration\\System\\MPToolSetting.ini";
    for (auto [file, section, key, value] : std::initializer_list<std::array<const char*, 4>>{
             {tool, "General Info", "TestStation", "MP"},
             {tool, "General Info", "IniFilePath", "FT_B0KB_S2_C2_.ini"},
             {".\\PC_MAC_Address.txt", "PC Info", "MAC_Address", "PC"},
             {".\\param.ini", "Options", "DDRSize", "64"},
             {".\\param.ini", "Options", "Set Firmware Name", "QVF10001"},
             {".\\param.ini", "Options", "SetSSDSize", "64"},
             {".\\param.ini", "Device Info", "ISP_MPBINCode", "C:\\fw\\MP.bin"},
             {".\\paramFDB.ini", "Flash Info", "Flh_ID", "2c 84 64 3c a5 08 04"},
             {".\\paramFDB.ini", "Flash Info", "Flh_Number", "8"},
             {".\\paramFDB.ini", "Flash Info", "Flh_MPBinType", "7312"},
             {".\\paramFDB.ini", "Options", "SetSSDSize", "64"}})
      win::WritePrivateProfileString(section, key, value, file);
    kxtools::WriteBinFile("C:\\fw\\MP.bin", kxtools::StoreBin(image));
    kx::SetWorkOrderPath("D:\\Log\\WO_BENCH_1.txt");
  }
  ~Bench() {
    if (site) site->Uninstall();
  }
  // Fresh drives for a pass: each pass leaves them on the MP firmware.
  void NewSite(int slots) {
    if (site) site->Uninstall();
    site = kxbench::InstallBridgeSite(slots, Drive64Gb(image));
    for (int slot = 1; slot <= slots; ++slot) site->GetDrive(slot)->PowerOn();
  }
};

class WatchedJob final : public CPortJob {
 public:
  WatchedJob(std::latch& gone, int slot, kx::PageLocks* locks, IStatusCell* cell, std::string* code)
      : CPortJob(1, locks, cell, nullptr, slot, slot, nullptr, nullptr, "D:\\Log", code, nullptr, nullptr),
        gone_(gone) {}
  ~WatchedJob() override { gone_.count_down(); }

 private:
  std::latch& gone_;
};

double g_oneSlotMs = 0.0;

void BM_MpPass(benchmark::State& state) {
  static Bench bench;
  const int slots = static_cast<int>(state.range(0));
  kx::PageLocks locks;
  std::array<kx::StatusCellModel, kx::kPortCount> cells;
  std::array<std::string, kx::kPortCount> codes;
  double wallMs = 0.0, cpuSec = 0.0;
  for (auto _ : state) {
    state.PauseTiming();
    bench.NewSite(slots);
    state.ResumeTiming();
    std::latch gone(slots);
    const double cpu0 = CpuSeconds();
    const steady::time_point begin = steady::now();
    CThreadPool pool;
    if (!pool.Create(static_cast<unsigned>(slots), nullptr)) state.SkipWithError("pool not created");
    for (int slot = 1; slot <= slots; ++slot)
      pool.Post(new WatchedJob(gone, slot, &locks, &cells[slot - 1], &codes[slot - 1]));
    gone.wait();
    pool.Destroy();
    const double ms = std::chrono::duration<double, std::milli>(steady::now() - begin).count();
    cpuSec += CpuSeconds() - cpu0;
    state.SetIterationTime(ms / 1000.0);
    wallMs += ms;
    for (int slot = 1; slot <= slots; ++slot)
      if (codes[slot - 1] != "0_00") state.SkipWithError(("slot " + std::to_string(slot) + ": " + codes[slot - 1]).c_str());
  }
  const double n = static_cast<double>(state.iterations());
  const double meanWallMs = wallMs / n;
  if (slots == 1) g_oneSlotMs = meanWallMs;
  state.counters["wall_ms"] = meanWallMs;
  state.counters["vs_one_slot"] = g_oneSlotMs > 0 ? meanWallMs / g_oneSlotMs : 0.0;
  state.counters["cpu_ms_per_slot"] = cpuSec / (n * slots) * 1000.0;
}
BENCHMARK(BM_MpPass)->Arg(1)->Arg(kx::kPortCount)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
