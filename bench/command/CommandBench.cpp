// The whole send path (open, request, dismount, close) for IDENTIFY DEVICE
// against the emulated site, in each send mode, next to the same seam calls made
// directly and to the bare round trip (the request alone on a handle kept open).
// The command layer's own cost is the send path minus the seam calls: building
// and rewriting the block, the listing lookup, the parameter-file read of the
// default time-out, the result handling. After the run it prints the figures and
// fails when a target is missed (100,000 commands/s; own cost at most 2x the bare
// round trip).
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/RateCollector.h"

#include "command/DriveCommand.h"
#include "command/GetDevLibrary.h"
#include "emulator/Drive.h"
#include "emulator/Site.h"

namespace {

enum Mode { kBridge, kSataPort, kTesterDirect };
const char* const kModeNames[] = {"bridge", "sata", "tester"};

struct Bench {
  std::shared_ptr<emu::Site> site;
  std::shared_ptr<emu::Drive> drive;
  std::string path[3];
  int driveNo[3] = {1, 2, 3};
};

Bench& bench() {
  static Bench b = [] {
    Bench x;
    emu::DriveConfig cfg;
    cfg.capacitySectors = 1 << 21;
    cfg.blocksPerPlane = 128;
    cfg.bootDelayMs = 0;
    x.site = emu::Site::Create();
    x.site->AddBridge(1);
    x.site->AddSataPort(2);
    x.site->AddTester(3, 3);
    for (int slot = 1; slot <= 3; ++slot) {
      auto d = std::make_shared<emu::Drive>(cfg);
      d->SetTraceLimit(16);
      x.site->SetDrive(slot, d);
      d->PowerOn();
    }
    x.site->Install();
    // Listing: entry 1 the bridge of slot 1, entry 2 the SATA port of slot 2.
    kx::WithRootDevice([](kx::RootDeviceRecord& r) {
      r.SetCount(2);
      r.SetEntry(0, "bridge-01", emu::Site::BridgePath(1));
      r.SetEntry(1, "sata-02", emu::Site::SataPath(2));
    });
    x.path[kBridge] = emu::Site::BridgePath(1);
    x.path[kSataPort] = emu::Site::SataPath(2);
    x.path[kTesterDirect] = "\\\\.\\PhysicalDrive3";
    return x;
  }();
  return b;
}

void setMode(Mode m) {
  g_KX_U2A = m == kTesterDirect ? 0 : 1;
  g_SataPortMode = m == kSataPort ? 1 : 0;
  kx::SetAtaPassThroughOk(2, m == kSataPort);
}

void BM_SendPathIdentify(benchmark::State& state) {
  const Mode m = static_cast<Mode>(state.range(0));
  bench();
  setMode(m);
  CDriveCommand cmd(bench().driveNo[m]);
  std::uint8_t id[512];
  for (auto _ : state) {
    if (!cmd.GetIdentify(id)) state.SkipWithError("identify failed");
    benchmark::DoNotOptimize(id);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(kModeNames[m]);
}
BENCHMARK(BM_SendPathIdentify)->Arg(kBridge)->Arg(kSataPort)->Arg(kTesterDirect);

// One IDENTIFY request on an open handle, in the form the mode's drive takes.
bool identifyRequest(win::HANDLE h, Mode m, std::uint8_t* id) {
  win::DWORD got = 0;
  if (m == kSataPort) {
    win::ATA_PASS_THROUGH_DIRECT a;
    a.Length = 40;
    a.AtaFlags = win::ATA_FLAGS_DRDY_REQUIRED | win::ATA_FLAGS_DATA_IN;
    a.DataTransferLength = 512;
    a.TimeOutValue = 30;
    a.DataBuffer = id;
    a.CurrentTaskFile[1] = 1;
    a.CurrentTaskFile[6] = 0xEC;
    return win::DeviceIoControl(h, win::IOCTL_ATA_PASS_THROUGH_DIRECT, &a, sizeof a, &a, sizeof a, &got, nullptr) &&
           a.CurrentTaskFile[6] == 0x50;
  }
  win::ScsiPassThroughDirectBlock b;
  b.Sptd.Length = 44;
  b.Sptd.CdbLength = 16;
  b.Sptd.SenseInfoLength = 24;
  b.Sptd.DataIn = win::SCSI_IOCTL_DATA_IN;
  b.Sptd.DataTransferLength = 512;
  b.Sptd.TimeOutValue = 30;
  b.Sptd.DataBuffer = id;
  const std::uint8_t sat[16] = {0xA1, 0x08, 0x0E, 0x00, 0x01, 0, 0, 0, 0, 0xEC};
  const std::uint8_t tester[16] = {0x08, 0xF2, 0x71, 0x01, 0xEC, 0x00, 0x01, 0, 0, 0, 0, 0x01};
  std::memcpy(b.Sptd.Cdb, m == kBridge ? sat : tester, 16);
  return win::DeviceIoControl(h, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &b, sizeof b, &b, sizeof b, &got, nullptr) &&
         b.Sptd.ScsiStatus == 0;
}

win::HANDLE openDevice(Mode m) {
  return win::CreateFileA(bench().path[m].c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                          win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr, win::OPEN_EXISTING,
                          win::FILE_FLAG_OVERLAPPED | win::FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The same request on a handle kept open: the emulator's own round trip.
void BM_BareRoundTrip(benchmark::State& state) {
  const Mode m = static_cast<Mode>(state.range(0));
  bench();
  win::HANDLE h = openDevice(m);
  if (h == win::INVALID_HANDLE_VALUE) {
    state.SkipWithError("open failed");
    return;
  }
  std::uint8_t id[512];
  for (auto _ : state) {
    if (!identifyRequest(h, m, id)) state.SkipWithError("request failed");
    benchmark::DoNotOptimize(id);
  }
  win::CloseHandle(h);
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(kModeNames[m]);
}
BENCHMARK(BM_BareRoundTrip)->Arg(kBridge)->Arg(kSataPort)->Arg(kTesterDirect);

// The seam calls the send path makes (open, request, dismount, close), made
// directly: what the send path costs without the command layer's own work.
void BM_SeamCalls(benchmark::State& state) {
  const Mode m = static_cast<Mode>(state.range(0));
  bench();
  std::uint8_t id[512];
  win::DWORD got = 0;
  for (auto _ : state) {
    win::HANDLE h = openDevice(m);
    if (h == win::INVALID_HANDLE_VALUE || !identifyRequest(h, m, id)) state.SkipWithError("request failed");
    win::DeviceIoControl(h, win::FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr);
    win::CloseHandle(h);
    benchmark::DoNotOptimize(id);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(kModeNames[m]);
}
BENCHMARK(BM_SeamCalls)->Arg(kBridge)->Arg(kSataPort)->Arg(kTesterDirect);

using Collector = kxbench::RateCollector;

}  // namespace

int main(int argc, char** argv) {
  // A parameter file without ScsiTimeOut: every command reads it for its default,
  // as production does.
  char tmpl[] = "/tmp/kxmp-cmdbench-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr || ::chdir(tmpl) != 0) return 2;
  {
    std::ofstream f("param.ini", std::ios::binary);
    f << "[General Info]\r\nKX_U2A=1\r\nScsiTimeOutMax=360\r\n";
  }
  g_SettingIniPath = ".\\param.ini";

  benchmark::Initialize(&argc, argv);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
  bench().site->Uninstall();
  std::filesystem::remove_all(tmpl);

  bool ok = true;
  bool any = false;
  for (int m = 0; m < 3; ++m) {
    const std::string arg = "/" + std::to_string(m);
    const double send = collector.rates["BM_SendPathIdentify" + arg];
    const double bare = collector.rates["BM_BareRoundTrip" + arg];
    const double seam = collector.rates["BM_SeamCalls" + arg];
    if (send <= 0 || bare <= 0 || seam <= 0) continue;
    any = true;
    const double sendUs = 1e6 / send, bareUs = 1e6 / bare, seamUs = 1e6 / seam;
    const double ownUs = sendUs - seamUs;
    const bool met = send >= 100000 && ownUs <= 2.0 * bareUs;
    ok = ok && met;
    std::printf(
        "%-6s send path %.0f commands/s (%.2f us); seam calls alone %.2f us; bare round trip %.2f us; "
        "command layer's own cost %.2f us = %.2fx the bare round trip: %s\n",
        kModeNames[m], send, sendUs, seamUs, bareUs, ownUs, ownUs / bareUs, met ? "met" : "MISSED");
  }
  if (any) {
    std::printf("targets: >= 100,000 commands/s, own cost <= 2x the bare round trip: %s\n", ok ? "met" : "MISSED");
  }
  return ok ? 0 : 1;
}
