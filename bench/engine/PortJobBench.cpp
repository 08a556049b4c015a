// A production pass of port jobs on the worker pool against 24 emulated tester
// boards, on the real clock: each job sleeps its 1.5 s start, builds its
// device, runs one procedure step (a card detect, whose tester settle is a
// fixed 100 ms on the platform clock), writes the result list and Summary.csv
// under lock 0, switches the card off and deletes itself. Jobs are posted
// without the page's 300 ms spacing. One job alone is measured first, then 24
// at once; the counters give the pass's wall time, its ratio to one job's, and
// the host overhead beyond the 1.6 s each job asks for: of the pass, and per
// job as measured from each job's own start to its deletion.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <latch>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "command/CommandGlobals.h"
#include "device/ErrorCode.h"
#include "device/ModuleFolder.h"
#include "device/PortDevice.h"
#include "emulator/Drive.h"
#include "emulator/Site.h"
#include "engine/PortJob.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace {

using steady = std::chrono::steady_clock;
constexpr double kAskedMs = 1500.0 + 100.0;  // start sleep and the step's settle

// A working folder of its own, a site of 24 tester boards (board N serves
// slot N) in tester-direct mode, and a work order, as the page leaves them.
struct Bench {
  kxbench::ScratchFolder folder{"portjob"};
  std::shared_ptr<emu::Site> site;

  Bench() {
    g_ModuleFolder = "C:\\KXMP\\";
    win::WritePrivateProfileString("General Info", "TestStation", "MP", ".\\Configuration\\System\\MPToolSetting.ini");
    win::WritePrivateProfileString("PC Info", "MAC_Address", "PC", ".\\PC_MAC_Address.txt");
    kx::SetWorkOrderPath("D:\\Log\\WO_BENCH_1.txt");

    emu::DriveConfig cfg;
    cfg.bootDelayMs = 0;
    site = kxbench::InstallTesterSite(kx::kPortCount, cfg);
  }
  ~Bench() { site->Uninstall(); }
};

struct JobTimes {
  steady::time_point start, end;
  std::latch* done = nullptr;
};

class TimedJob final : public CPortJob {
 public:
  TimedJob(JobTimes& t, int slot, kx::PageLocks* locks, IStatusCell* cell, std::string* code,
           std::array<std::atomic<int>, kx::kPortCount>* states)
      : CPortJob(1, locks, cell, nullptr, slot, slot, nullptr, nullptr, "D:\\Log", code, nullptr, states), t_(t) {}
  ~TimedJob() override {
    t_.end = steady::now();
    t_.done->count_down();
  }
  void Run(std::uint32_t param) override {
    t_.start = steady::now();
    CPortJob::Run(param);  // deletes the job
  }
  std::uint8_t RunMP() override {
    const bool found = m_Device->DetectCard(1) == 1;
    SetPortStatus(found ? 1 : 0, found ? "PASS" : "T_x07", "");
    return found ? 1 : 0;
  }

 private:
  JobTimes& t_;
};

double g_oneJobMs = 0.0;

void BM_PortJobPass(benchmark::State& state) {
  static Bench bench;
  const int jobs = static_cast<int>(state.range(0));
  kx::PageLocks locks;
  std::array<kx::StatusCellModel, kx::kPortCount> cells;
  std::array<std::string, kx::kPortCount> codes;
  std::array<std::atomic<int>, kx::kPortCount> runStates{};
  double wallMs = 0.0, jobOverheadMs = 0.0;
  for (auto _ : state) {
    for (int slot = 1; slot <= jobs; ++slot) bench.site->GetDrive(slot)->PowerOn();  // the last pass left them off
    std::array<JobTimes, kx::kPortCount> times;
    std::latch done(jobs);
    const steady::time_point begin = steady::now();
    CThreadPool pool;
    if (!pool.Create(static_cast<unsigned>(jobs), nullptr)) state.SkipWithError("pool not created");
    for (int slot = 1; slot <= jobs; ++slot) {
      times[slot - 1].done = &done;
      pool.Post(new TimedJob(times[slot - 1], slot, &locks, &cells[slot - 1], &codes[slot - 1], &runStates));
    }
    done.wait();
    pool.Destroy();
    const double ms = std::chrono::duration<double, std::milli>(steady::now() - begin).count();
    state.SetIterationTime(ms / 1000.0);
    wallMs += ms;
    for (int i = 0; i < jobs; ++i)
      jobOverheadMs += std::chrono::duration<double, std::milli>(times[i].end - times[i].start).count() - kAskedMs;
    for (int slot = 1; slot <= jobs; ++slot)
      if (g_PortResult[slot - 1] != 1) state.SkipWithError("a port did not pass");
  }
  const double n = static_cast<double>(state.iterations());
  const double meanWallMs = wallMs / n;
  if (jobs == 1) g_oneJobMs = meanWallMs;
  state.counters["wall_ms"] = meanWallMs;
  state.counters["vs_one_job"] = g_oneJobMs > 0 ? meanWallMs / g_oneJobMs : 0.0;
  state.counters["pass_overhead_us"] = (meanWallMs - kAskedMs) * 1000.0;
  state.counters["job_overhead_us"] = jobOverheadMs / (n * jobs) * 1000.0;
}
BENCHMARK(BM_PortJobPass)->Arg(1)->Arg(kx::kPortCount)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
