// IDENTIFY round trips through the device I/O seam into the emulated site (open,
// SCSI pass-through, close, as the command layer sends every command), on one
// thread and on 24 threads with a drive each; and the memory an emulated drive
// and a filled 24-slot site cost.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "emulator/Drive.h"
#include "emulator/Site.h"
#include "platform/Clock.h"
#include "platform/DeviceIo.h"

namespace {

constexpr int kSlots = 24;

std::shared_ptr<emu::Site> BenchSite() {
  static std::shared_ptr<emu::Site> site = [] {
    auto s = emu::Site::Create();
    for (int slot = 1; slot <= kSlots; ++slot) {
      emu::DriveConfig cfg;
      cfg.bootDelayMs = 0;
      auto d = std::make_shared<emu::Drive>(cfg);
      d->SetTraceLimit(1024);
      d->PowerOn();
      s->SetDrive(slot, d);
      s->AddBridge(slot)->Log();
    }
    s->Install();
    return s;
  }();
  return site;
}

bool SendCdb(const std::string& path, const std::uint8_t* cdb, std::uint8_t dir, void* buf, std::uint32_t len) {
  win::HANDLE h = win::CreateFileA(path.c_str(), win::GENERIC_READ | win::GENERIC_WRITE, 3, nullptr,
                                   win::OPEN_EXISTING, 0, nullptr);
  if (h == win::INVALID_HANDLE_VALUE) return false;
  win::ScsiPassThroughDirectBlock b;
  b.Sptd.Length = sizeof(win::SCSI_PASS_THROUGH_DIRECT);
  b.Sptd.CdbLength = 16;
  b.Sptd.SenseInfoLength = win::kSenseLength;
  b.Sptd.DataIn = dir;
  b.Sptd.DataTransferLength = len;
  b.Sptd.TimeOutValue = 30;
  b.Sptd.DataBuffer = buf;
  std::memcpy(b.Sptd.Cdb, cdb, 16);
  win::DWORD got = 0;
  const bool ok = win::DeviceIoControl(h, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &b, sizeof b, &b, sizeof b, &got,
                                       nullptr) &&
                  b.Sptd.ScsiStatus == 0;
  win::CloseHandle(h);
  return ok;
}

void BM_IdentifyRoundTrip(benchmark::State& state) {
  auto site = BenchSite();
  const std::string path = emu::Site::BridgePath(state.thread_index() % kSlots + 1);
  const std::uint8_t cdb[16] = {0xA1, 0x08, 0x0E, 0x00, 0x01, 0, 0, 0, 0, 0xEC, 0, 0, 0, 0, 0, 0};
  std::uint8_t id[512];
  for (auto _ : state) {
    if (!SendCdb(path, cdb, win::SCSI_IOCTL_DATA_IN, id, sizeof id)) state.SkipWithError("IDENTIFY failed");
    benchmark::DoNotOptimize(id);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IdentifyRoundTrip)->Threads(1)->Threads(24)->UseRealTime();

std::size_t ResidentBytes() {
  std::ifstream f("/proc/self/statm");
  std::size_t size = 0, resident = 0;
  f >> size >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

void BM_Memory512GbDriveEmpty(benchmark::State& state) {
  for (auto _ : state) {
    const std::size_t before = ResidentBytes();
    emu::DriveConfig cfg;  // 1,000,215,216 sectors: 512 GB
    auto d = std::make_unique<emu::Drive>(cfg);
    d->PowerOn();
    state.counters["drive_MB"] = static_cast<double>(d->MemoryBytes()) / 1e6;
    state.counters["rss_growth_MB"] = static_cast<double>(ResidentBytes() - before) / 1e6;
  }
}
BENCHMARK(BM_Memory512GbDriveEmpty)->Iterations(1);

// Each of 24 drives gets 1 GiB through its bridge: 512 MiB of zeros, then 512 MiB
// of one repeated test-pattern sector, in 64 KiB WRITE DMA EXT commands.
void BM_Memory24SlotsAfter1GbFill(benchmark::State& state) {
  for (auto _ : state) {
    platform::ScopedClock clock(platform::MakeVirtualClock());
    const std::size_t before = ResidentBytes();
    auto site = emu::Site::Create();
    for (int slot = 1; slot <= kSlots; ++slot) {
      emu::DriveConfig cfg;
      cfg.bootDelayMs = 0;
      auto d = std::make_shared<emu::Drive>(cfg);
      d->SetTraceLimit(1024);
      d->PowerOn();
      site->SetDrive(slot, d);
      site->AddBridge(slot);
    }
    site->Install();
    std::vector<std::thread> workers;
    std::atomic<int> failures{0};
    for (int slot = 1; slot <= kSlots; ++slot) {
      workers.emplace_back([slot, &failures] {
        const std::string path = emu::Site::BridgePath(slot);
        constexpr std::uint32_t kChunkSectors = 128;
        std::vector<std::uint8_t> zero(kChunkSectors * 512, 0), pattern(kChunkSectors * 512);
        for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(0xA5 ^ (i % 512));
        const std::uint64_t total = (1ull << 30) / 512;
        for (std::uint64_t lba = 0; lba < total; lba += kChunkSectors) {
          std::uint8_t cdb[16] = {0x85, 0x17, 0x06, 0, 0, 0, static_cast<std::uint8_t>(kChunkSectors),
                                  static_cast<std::uint8_t>(lba >> 24), static_cast<std::uint8_t>(lba), 0,
                                  static_cast<std::uint8_t>(lba >> 8), 0, static_cast<std::uint8_t>(lba >> 16), 0x40,
                                  0x35, 0};
          auto& data = lba < total / 2 ? zero : pattern;
          if (!SendCdb(path, cdb, win::SCSI_IOCTL_DATA_OUT, data.data(), static_cast<std::uint32_t>(data.size())))
            ++failures;
        }
      });
    }
    for (auto& t : workers) t.join();
    if (failures) state.SkipWithError("writes failed");
    std::size_t drives = 0;
    for (int slot = 1; slot <= kSlots; ++slot) drives += site->GetDrive(slot)->MemoryBytes();
    state.counters["site_drives_MB"] = static_cast<double>(drives) / 1e6;
    state.counters["rss_growth_MB"] = static_cast<double>(ResidentBytes() - before) / 1e6;
    site->Uninstall();
  }
}
BENCHMARK(BM_Memory24SlotsAfter1GbFill)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

namespace {

// The same round trip with the seam's own cost taken out: the back end's open,
// the request and the handle's release, called directly.
void BM_IdentifyRoundTripBackendOnly(benchmark::State& state) {
  auto site = BenchSite();
  emu::FrontEnd* fe = site->Bridge(state.thread_index() % kSlots + 1);
  std::uint8_t id[512];
  for (auto _ : state) {
    win::ScsiPassThroughDirectBlock b;
    b.Sptd.CdbLength = 16;
    b.Sptd.SenseInfoLength = win::kSenseLength;
    b.Sptd.DataIn = win::SCSI_IOCTL_DATA_IN;
    b.Sptd.DataTransferLength = sizeof id;
    b.Sptd.TimeOutValue = 30;
    b.Sptd.DataBuffer = id;
    const std::uint8_t cdb[16] = {0xA1, 0x08, 0x0E, 0x00, 0x01, 0, 0, 0, 0, 0xEC, 0, 0, 0, 0, 0, 0};
    std::memcpy(b.Sptd.Cdb, cdb, 16);
    win::DWORD got = 0;
    if (fe->IoControl(win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &b, sizeof b, &b, sizeof b, &got) != 0)
      state.SkipWithError("IDENTIFY failed");
    benchmark::DoNotOptimize(id);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IdentifyRoundTripBackendOnly)->Threads(1)->Threads(24)->UseRealTime();

}  // namespace
