// Loading a 1 MiB firmware image into an emulated drive through a tester board,
// on the virtual clock (the jump's pauses and ready waits cost no real time):
// the RAM load (IspProgramPram: 1 MiB of sections in 16 chunks behind their
// descriptors, CRC verdicts, jump, mCode check, system information) and the
// flash load (IspProgramFlash: 1 MiB of normal code after its seed, programmed,
// read back and compared, jump and flash-code check). Beside each, the bare
// transfer of the same bytes in the same run: the data commands alone sent
// through CDriveCommand, after one access key. It prints milliseconds per MiB
// and the host's ratio to the bare transfer, and fails when a ratio is over 1.5.
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "bench/RateCollector.h"
#include "command/CommandGlobals.h"
#include "command/DriveCommand.h"
#include "device/PortDevice.h"
#include "emulator/Drive.h"
#include "emulator/Site.h"
#include "media/BinImage.h"
#include "platform/Clock.h"
#include "platform/Profile.h"
#include "protocol/CodeHeader.h"
#include "tools/BinImages.h"

namespace {

constexpr std::uint32_t kMiB = 1u << 20;
constexpr std::uint32_t kChunk = 65536;
constexpr std::uint32_t kSeed = 16384;
constexpr double kTargetRatio = 1.5;

// A working folder of its own, one tester board with a drive on boot code, and
// the two images: "RAM.bin" (four 256 KiB sections) and "FLASH.bin" (1 MiB of
// normal code after its seed, a one-sector PRAM section).
struct Bench {
  kxbench::ScratchFolder folder{"firmware"};
  platform::ScopedClock clock{platform::MakeVirtualClock(1780000000000)};
  std::shared_ptr<emu::Site> site;
  std::shared_ptr<emu::Drive> drive;
  std::vector<std::uint8_t> ramImage, flashImage;
  std::unique_ptr<CPortDevice> device;

  Bench() {
    kxtools::BinImageSpec ram;
    for (std::uint32_t i = 0; i < 4; ++i) ram.sections[i] = {0x20000000 + i * 0x40000, kMiB / 4};
    ramImage = Named(kxtools::BuildBinImage(ram));
    kxtools::BinImageSpec flash;
    flash.normalSize = kSeed + kMiB;
    flashImage = Named(kxtools::BuildBinImage(flash));
    kxtools::WriteBinFile(".\\RAM.bin", kxtools::StoreBin(ramImage));
    kxtools::WriteBinFile(".\\FLASH.bin", kxtools::StoreBin(flashImage));

    emu::DriveConfig cfg;
    cfg.initialCode = emu::RunningCode::Boot;
    cfg.bootDelayMs = 0;
    cfg.programFlashMs = 0;
    drive = std::make_shared<emu::Drive>(cfg);
    drive->SetTraceLimit(64);
    site = kxbench::InstallTesterSite(1, 1, drive);
    device = std::make_unique<CPortDevice>(1, 1, 1, "D:\\Log", nullptr, nullptr);
  }
  ~Bench() {
    device.reset();
    site->Uninstall();
  }

  // The burner and the flash firmware name themselves, so the running-code checks pass.
  static std::vector<std::uint8_t> Named(std::vector<std::uint8_t> image) {
    const std::uint32_t pram = static_cast<std::uint32_t>(image[7]) << 24 | image[8] << 16 | image[9] << 8 | image[10];
    kx::codeheader::Write(image.data() + 512, kSeed, "QVBM 0.7", false);
    kx::codeheader::Write(image.data() + 512 + pram, kSeed, "QVF10002", false);
    kxtools::FixBinSums(image);
    return image;
  }
  static void UseFile(const char* file) {
    win::WritePrivateProfileString("Device Info", "ISP_MPBINCode", file, ".\\param.ini");
  }
  // The drive powered afresh on boot code (forced back when flash code starts).
  void OnBootCode() {
    drive->PowerOff();
    drive->PowerOn();
    if (drive->Code() != emu::RunningCode::Boot) device->ForceToBootCode();
  }
  // The burner of FLASH.bin running, ready for the flash load.
  bool OnBurner() {
    OnBootCode();
    UseFile(".\\FLASH.bin");
    return device->IspProgramPram(false, "");
  }
};

Bench& bench() {
  static Bench b;
  return b;
}

kx::BinLoadOptions FlashOptions() {
  kx::BinLoadOptions o;
  o.family = 'F';
  o.codeKind = 1;
  o.use = kx::BinCodeUse::FlashCode;
  return o;
}

// Milliseconds of the image load alone (file, transform, sums, header and
// layout checks) by load, timed after each host step under the same heap: the
// share of the host time that is not the step's own.
std::map<std::string, double> g_loaderMs;

// CPU time of this thread, as the benchmark's own figures are.
double ThreadCpuMs() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

double TimeLoader(benchmark::State& state, const kx::BinLoadOptions& options) {
  kx::BinImage image;
  const double start = ThreadCpuMs();
  if (!bench().device->LoadBinImage(options, image)) state.SkipWithError("image load refused");
  return ThreadCpuMs() - start;
}

void BM_RamHost(benchmark::State& state) {
  Bench& b = bench();
  double loaderMs = 0.0;
  Bench::UseFile(".\\RAM.bin");
  for (auto _ : state) {
    state.PauseTiming();
    b.OnBootCode();
    state.ResumeTiming();
    if (!b.device->IspProgramPram(false, "")) state.SkipWithError(b.device->m_ErrorMessage.c_str());
    state.PauseTiming();
    loaderMs += TimeLoader(state, {});
    state.ResumeTiming();
  }
  g_loaderMs["Ram"] = loaderMs / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations());
}

void BM_RamBare(benchmark::State& state) {
  Bench& b = bench();
  const std::uint8_t* img = b.ramImage.data();
  CDriveCommand cmd(1);
  std::uint8_t sector[512];
  auto describe = [&](std::uint32_t address, std::uint32_t length) {
    std::fill(std::begin(sector), std::end(sector), 0);
    for (int i = 0; i < 4; ++i) {
      sector[i] = static_cast<std::uint8_t>(address >> (8 * i));
      sector[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    return cmd.DirectWriteSRAM(sector, 1, 0, 0);
  };
  kx::BinImage loaded;
  for (auto _ : state) {
    state.PauseTiming();
    b.OnBootCode();
    b.device->LoadBinImage({}, loaded);  // the heap as the host step leaves it
    state.ResumeTiming();
    bool ok = cmd.SetApKey(true) == 1 && cmd.Vender_Send_Seed(img + 512, 32);
    for (std::uint32_t s = 0; s < 4; ++s) {
      const std::uint32_t address = 0x20000000 + s * 0x40000;
      for (std::uint32_t c = 0; c < kMiB / 4 / kChunk; ++c)
        ok = ok && describe(address + c * kChunk, kChunk) &&
             cmd.ISPProgramPRAM(img + 512 + kSeed + s * (kMiB / 4) + c * kChunk, 128, true);
    }
    for (std::uint32_t s = 0; s < 4; ++s)
      ok = ok && describe(0x20000000 + s * 0x40000, kMiB / 4) && cmd.Vender_Check_CRC(sector, 1);
    if (!ok) state.SkipWithError("bare RAM transfer refused");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_FlashHost(benchmark::State& state) {
  Bench& b = bench();
  double loaderMs = 0.0;
  for (auto _ : state) {
    state.PauseTiming();
    const bool ready = b.OnBurner();
    state.ResumeTiming();
    if (!ready || !b.device->IspProgramFlash(false, false, "")) state.SkipWithError(b.device->m_ErrorMessage.c_str());
    state.PauseTiming();
    loaderMs += TimeLoader(state, FlashOptions());
    state.ResumeTiming();
  }
  g_loaderMs["Flash"] = loaderMs / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations());
}

void BM_FlashBare(benchmark::State& state) {
  Bench& b = bench();
  const std::uint8_t* normal = b.flashImage.data() + 512 + kSeed + 512;  // after the header and the PRAM code
  CDriveCommand cmd(1);
  std::vector<std::uint8_t> back(kChunk);
  kx::BinImage loaded;
  for (auto _ : state) {
    state.PauseTiming();
    const bool ready = b.OnBurner();
    b.device->LoadBinImage(FlashOptions(), loaded);
    state.ResumeTiming();
    bool ok = ready && cmd.SetApKey(true) == 1 && cmd.Vender_Send_Seed(normal, 32);
    for (std::uint32_t c = 0; c < kMiB / kChunk; ++c)
      ok = ok && cmd.Vender_Send_Binfile(normal + kSeed + c * kChunk, 128, static_cast<std::uint8_t>(c), true);
    ok = ok && cmd.ISPProgramFlash() && cmd.ISPVerifyFlash(back.data(), 8, 0, 0);
    for (std::uint32_t c = 0; c < kMiB / kChunk; ++c)
      ok = ok && cmd.ISPVerifyFlash(back.data(), 128, static_cast<std::uint8_t>(c), 1);
    if (!ok) state.SkipWithError("bare flash transfer refused");
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RamHost)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RamBare)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlashHost)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlashBare)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  kxbench::RateCollector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  // Milliseconds per MiB of each measurement; the step's own share is the host's less the image load's.
  auto ms = [&](const std::string& name) {
    const double rate = collector.rates["BM_" + name];
    return rate > 0 ? 1000.0 / rate : 0.0;
  };
  bool met = true;
  for (const std::string load : {"Ram", "Flash"}) {
    const double host = ms(load + "Host"), loader = g_loaderMs[load], bare = ms(load + "Bare");
    if (host <= 0 || bare <= 0) continue;  // filtered out or refused
    const double ratio = host / bare;
    met = met && ratio <= kTargetRatio;
    std::printf(
        "%s load per MiB: host %.2f ms (image load %.2f ms, step %.2f ms), bare transfer %.2f ms; "
        "host/bare %.2f, step/bare %.2f (target <= %.1f): %s\n",
        load.c_str(), host, loader, host - loader, bare, ratio, (host - loader) / bare, kTargetRatio,
        ratio <= kTargetRatio ? "met" : "MISSED");
  }
  return met ? 0 : 1;
}
