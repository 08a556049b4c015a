// The bad-block scan of an emulated 16-CE, 4-plane drive of 2,048 blocks per
// plane (131,072 table entries, about 3% bad of every kind and cause) through a
// tester board, on one core, with the drive's busy time taken to zero by the
// virtual clock: the scan mode (firmware limit, table checks, early counts,
// verdict) and the read-out of the mass-production procedure's third scan
// (kind totals, RDT summary, early and later counts, scan record). Beside each,
// the decoding of the same table by the walkers that scan runs, and the full
// decoding that BbtCountBench's Count measures (kind totals, early, later for
// every cause filter). After the run it prints the figures and fails when a
// scan's host time exceeds 3x the full decoding of the table.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "bench/RateCollector.h"
#include "command/CommandGlobals.h"
#include "device/ErrorCode.h"
#include "device/ModuleFolder.h"
#include "device/PortDevice.h"
#include "emulator/Drive.h"
#include "emulator/Site.h"
#include "media/BbtCount.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace {

constexpr int kSlot = 1;
constexpr int kTesterDrive = 3;

emu::DriveConfig SixteenCeDrive() {
  emu::DriveConfig c;
  c.channels = 2, c.cesPerChannel = 8, c.planesPerDie = 4, c.blocksPerPlane = 2048;
  c.maxBadPerPlane = 1000;
  c.bootDelayMs = 0;
  // A fixed spread over every kind and cause.
  const emu::MarkKind kinds[] = {emu::MarkKind::Later, emu::MarkKind::Rdt};
  std::uint32_t x = 12345;
  for (std::uint32_t ce = 0; ce < 16; ++ce)
    for (std::uint32_t plane = 0; plane < 4; ++plane)
      for (std::uint32_t block = 0; block < 2048; ++block) {
        x = x * 1103515245u + 12345u;
        if ((x >> 16) % 32 != 0) continue;
        const std::uint32_t pick = (x >> 8) % 12;
        if (pick < 4)
          c.factoryBadBlocks.push_back({ce, 0, plane, block});
        else
          c.markedBadBlocks.push_back({{ce, 0, plane, block}, kinds[pick % 2], static_cast<std::uint8_t>(1u << (pick % 4))});
      }
  return c;
}

struct Bench {
  kxbench::ScratchFolder folder{"scan"};
  platform::ScopedClock clock{platform::MakeVirtualClock(1780000000000)};
  std::shared_ptr<emu::Site> site;
  std::unique_ptr<CPortDevice> device;
  std::vector<std::uint8_t> bbt;
  kx::BbtParameter param;
  kx::BbtScope scope;

  Bench() {
    g_ModuleFolder = "C:\\KXMP\\";
    win::WritePrivateProfileString("PC Info", "MAC_Address", "PC", ".\\PC_MAC_Address.txt");
    win::WritePrivateProfileString("Flash Info", "Flh_MPBinType", "7312", ".\\paramFDB.ini");
    win::WritePrivateProfileString("Options", "LaterBad_Spec", "100000", ".\\param.ini");
    win::WritePrivateProfileString("Options", "max_badblock_perplane", "100000", ".\\param.ini");

    auto drive = std::make_shared<emu::Drive>(SixteenCeDrive());
    site = kxbench::InstallTesterSite(kTesterDrive, kSlot, drive);
    drive->PowerOn();
    device = std::make_unique<CPortDevice>(kTesterDrive, 1, kSlot, "D:\\Log", nullptr, nullptr);
    device->WriteReport("START", true);
    device->CheckSystemInfo();
    device->m_FlashCount = 16;
    device->ReadBbt(&param, nullptr);
    bbt = device->m_BbtBuffer;
    device->ReleaseBbt();
    scope = kx::DeviceBbtScope(*device);
  }
  ~Bench() {
    device.reset();
    site->Uninstall();
  }
};

Bench& bench() {
  static Bench b;
  return b;
}

// The walkers each scan runs over the table.
std::uint64_t DecodeScan(const Bench& b) {
  static kx::PlaneCounts planes;
  kx::CountBadBlocksPerPlane(planes, b.bbt, b.scope, 16, b.param, 1, 0xFF);
  return planes[15][0][3];
}
std::uint64_t DecodeReadOut(const Bench& b) {
  static kx::PlaneCounts planes;
  kx::KindCounts kinds;
  kx::CountBadBlocksByKind(kinds, b.bbt, b.scope, 16, b.param);
  kx::CountBadBlocksPerPlane(planes, b.bbt, b.scope, 16, b.param, 2, 0xFF);
  const std::uint64_t later = planes[15][0][3];
  kx::CountBadBlocksPerPlane(planes, b.bbt, b.scope, 16, b.param, 1, 0xFF);
  return kinds[0] + later + planes[15][0][3];
}
// BbtCountBench's Count: kind totals, early, and later for every cause filter.
std::uint64_t DecodeAll(const Bench& b) {
  static kx::PlaneCounts planes;
  kx::KindCounts kinds;
  kx::CountBadBlocksByKind(kinds, b.bbt, b.scope, 16, b.param);
  std::uint64_t sum = kinds[0];
  kx::CountBadBlocksPerPlane(planes, b.bbt, b.scope, 16, b.param, 1, 0xFF);
  for (std::uint8_t cause = 0; cause <= 12; ++cause) {
    kx::CountBadBlocksPerPlane(planes, b.bbt, b.scope, 16, b.param, 2, cause == 0 ? 0xFF : cause);
    sum += planes[15][0][3];
  }
  return sum;
}

void BM_ScanMode(benchmark::State& state) {
  Bench& b = bench();
  for (auto _ : state)
    if (!b.device->ScanBadBlocks(true, 0, nullptr, 10, false, nullptr, false))
      state.SkipWithError(b.device->m_ErrorMessage.c_str());
  state.SetItemsProcessed(state.iterations());
}

void BM_ReadOut(benchmark::State& state) {
  Bench& b = bench();
  auto record = std::make_unique<CPortDevice::RdtScanRecord>();
  for (auto _ : state)
    if (!b.device->ScanBadBlocks(false, 0, nullptr, 5, false, record.get(), false))
      state.SkipWithError(b.device->m_ErrorMessage.c_str());
  state.SetItemsProcessed(state.iterations());
}

void BM_DecodeScan(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(DecodeScan(bench()));
  state.SetItemsProcessed(state.iterations());
}
void BM_DecodeReadOut(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(DecodeReadOut(bench()));
  state.SetItemsProcessed(state.iterations());
}
void BM_DecodeAll(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(DecodeAll(bench()));
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_ScanMode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeScan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadOut)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeReadOut)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeAll)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  kxbench::RateCollector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
  auto ms = [&](const char* name) {
    const double rate = collector.rates[name];
    return rate > 0 ? 1000.0 / rate : 0.0;
  };
  const double scan = ms("BM_ScanMode"), decodeScan = ms("BM_DecodeScan");
  const double readOut = ms("BM_ReadOut"), decodeReadOut = ms("BM_DecodeReadOut"), decodeAll = ms("BM_DecodeAll");
  if (scan <= 0 || readOut <= 0 || decodeScan <= 0 || decodeReadOut <= 0 || decodeAll <= 0) return 0;  // filtered out
  const bool met = scan <= 3 * decodeAll && readOut <= 3 * decodeAll;
  std::printf(
      "scan mode %.2f ms (x%.1f its own walkers' %.2f ms), read-out %.2f ms (x%.1f its own walkers' %.2f ms); "
      "full decoding of the table %.2f ms: scan x%.2f, read-out x%.2f (target: at most x3): %s\n",
      scan, scan / decodeScan, decodeScan, readOut, readOut / decodeReadOut, decodeReadOut, decodeAll,
      scan / decodeAll, readOut / decodeAll, met ? "met" : "MISSED");
  return met ? 0 : 1;
}
