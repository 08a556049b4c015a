// What the production window costs, driven through the program's own start-up
// on emulated bridges and the real clock: an RDT-result pass at 8 slots (the
// longest pass texts: the counts of 16 CEs), an MP pass at 24 slots (texts
// ending in each drive's serial number) and an RDT-result pass at 24 slots.
// Counters: the window thread's CPU during the pass as a share of the jobs'
// host CPU (every other thread of the process), the window thread's CPU while
// idle for 10 s from 1 s after the pass as a share of one core, and the real time from a
// close request to the window's destruction. Targets: under 10 % of the jobs,
// under 1 % of a core idle, and a close answered within 1000 ms.
//
//   xvfb-run -a -s "-screen 0 1280x1024x24" build/bench/app/kx_window_bench
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include <benchmark/benchmark.h>

#include "platform/DeviceIo.h"
#include "platform/MessageBox.h"
#include "platform/Profile.h"
#include "tests/support/MpStation.h"
#include "tests/support/ScratchFolder.h"

#include "app/MainApp.h"
#include "app/PropertyPageKxmp.h"
#include "tools/WindowDriver.h"

#include <wx/weakref.h>

namespace {

constexpr char kToolIni[] = ".\\Configuration\\System\\MPToolSetting.ini";

double CpuSeconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Cpu {
  double window = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);  // taken on the window thread
  double process = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  double wall = CpuSeconds(CLOCK_MONOTONIC);
};

// MP on drives that finished their RDT run (its pass texts end in each drive's
// serial number), or the RDT result of drives with 16 CEs (the longest texts).
void WriteSite(bool mp, int slots) {
  std::filesystem::create_directories("Configuration/System");
  std::filesystem::create_directories("drives/C");
  if (mp) kxtest::InstallMpStation();
  win::WritePrivateProfileString("General Info", "TestStation", mp ? "MP" : "RDTResult", kToolIni);
  win::WritePrivateProfileString("General Info", "SlotNumber", std::to_string(slots).c_str(), kToolIni);
  win::WritePrivateProfileString("General Info", "WorkingNo", "BENCH", ".\\param.ini");
  std::ofstream("Configuration/System/Emulator.ini", std::ios::binary)
      << "[Site]\r\nMode = bridge\r\nSlots = " << slots << "\r\n[Drive]\r\nCode = rdt\r\nRdtDone = 1\r\nDramMb = 4\r\n"
      << (mp ? "CapacitySectors = 1974672\r\nBlocksPerPlane = 64\r\nFuseWord2 = 0x45123456\r\nFuseWord3 = 0x15\r\n"
             : "CesPerChannel = 8\r\nMarkedBadBlocks = rdt:9:0:0:7:r\r\n");
  std::filesystem::copy_file(KX_GETDEV_LIBRARY, "Configuration/System/libGetDev.so");
}

CMainApp* StartWindowSystem() {
  static CMainApp* app = [] {
    auto* a = new CMainApp;
    wxApp::SetInstance(a);
    int argc = 1;
    static char name[] = "kx_window_bench";
    char* argv[] = {name, nullptr};
    return wxEntryStart(argc, argv) ? a : nullptr;
  }();
  return app;
}

// Arguments: 1 for MP, 0 for the RDT result; the slot count.
void BM_WindowDuringAndAfterPass(benchmark::State& state) {
  const bool mp = state.range(0) != 0;
  const int slots = static_cast<int>(state.range(1));
  CMainApp* app = StartWindowSystem();
  if (!app) {
    state.SkipWithError("no window system (no display?)");
    return;
  }
  kxtest::ScratchFolder folder("window_bench");
  WriteSite(mp, slots);
  if (!app->Open()) {
    state.SkipWithError("the window did not start");
    return;
  }
  platform::SetMessageBox(nullptr);
  wxWeakRef<wxWindow> shown(app->Sheet());
  CPropertyPage_KXMP* page = app->Sheet()->ProductionPage();
  kxtools::RunEventsUntil([] { return false; }, 1000);
  const auto paints = [page, slots] {
    int n = 0;
    for (int port = 1; port <= slots; ++port) n += page->Cell(port)->Paints();
    return n;
  };
  for (auto _ : state) {
    const int paintsBefore = paints();
    const Cpu start;
    page->OnStart();
    // Asked seldom: the window's own timers are what is measured.
    kxtools::RunEventsUntil([page] { return page->RunShown(); }, 600000, 1000);
    const Cpu passEnd;
    state.counters["cell_paints"] = paints() - paintsBefore;

    kxtools::RunEventsFor(1000);  // the pass's last repaints
    const Cpu idleStart;
    kxtools::RunEventsFor(10000);
    const Cpu idleEnd;
    wxQueueEvent(shown, new wxCloseEvent(wxEVT_CLOSE_WINDOW, shown->GetId()));
    kxtools::RunEventsUntil([&shown] { return !shown; }, 10000);
    const Cpu closed;

    const double window = passEnd.window - start.window;
    const double jobs = (passEnd.process - start.process) - window;
    state.SetIterationTime(passEnd.wall - start.wall);
    state.counters["good"] = std::atoi(page->Logic().CountLabel(1).Text().c_str());
    state.counters["window_cpu_s"] = window;
    state.counters["jobs_cpu_s"] = jobs;
    state.counters["window_per_jobs_pct"] = 100.0 * window / jobs;
    state.counters["idle_core_pct"] = 100.0 * (idleEnd.window - idleStart.window) / (idleEnd.wall - idleStart.wall);
    state.counters["close_ms"] = 1000.0 * (closed.wall - idleEnd.wall);
  }
  app->Shut();
  platform::ClearDeviceBackends();
}
BENCHMARK(BM_WindowDuringAndAfterPass)
    ->ArgNames({"mp", "slots"})
    ->Args({0, 8})
    ->Args({1, 24})
    ->Args({0, 24})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
