// What a drive's records cost as the work order grows. The log folder is on
// disk (the temporary folder), as a station's is, with its record files
// pre-filled as 1,000 to 100,000 drives of an MP work order leave them: the
// result list (about 107 bytes a drive), SATA_RecordSN.ini (36 bytes a drive)
// and, for the one drive in 32 that failed, its Error-log entry.
//
// - BM_DriveRecords: one passing drive's records as its port job writes them
//   (its SATA_RecordSN.ini entry at the end of its report, then its
//   result-list record with the checksum), alone: the time the log folder's
//   lock is held for a drive.
// - BM_OneRewrite: side by side, one read, rewrite and flush of each file a
//   record writes: what whole-file replacement costs at the least.
// - BM_PortPass: 24 ports recording at once at the end of a pass; the time
//   until the last port's records are written, which is also the wait of the
//   last port in the queue.
//
// After the run it prints, for each size, a drive's records against one
// rewrite, and whether the ratio at 100,000 drives is within the target (2x).
// Local time runs on a virtual clock, a second a drive, so that no record key
// waits for the next second.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <latch>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "command/CommandGlobals.h"
#include "device/Format.h"
#include "device/ModuleFolder.h"
#include "device/PortDevice.h"
#include "device/StatusCell.h"
#include "engine/EngineGlobals.h"
#include "engine/PortJob.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace {

using steady = std::chrono::steady_clock;
using kx::StrFormat;

const char kLogFolder[] = "D:\\Log";
const char kWorkOrder[] = "D:\\Log\\WO_BENCH_PC.txt";
const char kRecordSn[] = "D:\\Log\\SATA_RecordSN.ini";
const char kErrorLog[] = "D:\\Log\\Error_Init.log";
constexpr int kSlots = kx::kPortCount;
constexpr int kFailEvery = 32;

// 2024-01-01 00:00:00 local: the work order's first pass.
std::int64_t OrderStartMs() {
  std::tm tm{};
  tm.tm_year = 124, tm.tm_mday = 1, tm.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&tm)) * 1000;
}

std::string Serial(int drive) { return StrFormat("KX%010d", drive); }

// The record files as `drives` drives leave them: a pass of 24 ports every
// three minutes, each port's records at 150 s into it.
void PrefillRecords(int drives) {
  std::string list = "[Base Info]\r\nWorkOrder=BENCH\r\nChecksum=0000\r\n[Results List]\r\n";
  std::vector<std::string> pass(kSlots + 1), error(kSlots + 1);
  std::string errors =
      "[Error List]\r\n[Year-Month-Day Hour:Min:Sec]   SlotNo:No   SN:xxxxx=--Error_Code:Error_Msg\r\n";
  const std::int64_t orderStartMs = OrderStartMs();
  for (int i = 0; i < drives; ++i) {
    const int slot = i % kSlots + 1;
    const std::int64_t startMs = orderStartMs + static_cast<std::int64_t>(i / kSlots) * 180000;
    const win::SYSTEMTIME s = platform::ToLocalTime(startMs), e = platform::ToLocalTime(startMs + 150000);
    const bool failed = i % kFailEvery == kFailEvery - 1;
    list += StrFormat(
        "[%04d/%02d/%02d_%02d:%02d:%02d~%02d:%02d:%02d,%02d]=0,Tester_%02d,3.03,V2.0a(Normal),mp_fw.bin,%s,0,"
        "NoRecord,NoRecord,",
        s.wYear, s.wMonth, s.wDay, s.wHour, s.wMinute, s.wSecond, e.wHour, e.wMinute, e.wSecond, slot, slot,
        Serial(i).c_str());
    list += failed ? "Fail,M_x04,Erase ISP Code fail!!!\r\n" : "Pass\r\n";
    const std::string key =
        StrFormat("[%04d-%02d-%02d %02d:%02d:%02d]", e.wYear, e.wMonth, e.wDay, e.wHour, e.wMinute, e.wSecond);
    (failed ? error : pass)[slot] += key + "=" + Serial(i) + "\r\n";
    if (failed)
      errors += key + StrFormat("   SlotNo:%02d   SN:%s= 0x309:Erase ISP Code fail!!!\r\n", slot, Serial(i).c_str());
  }
  std::string sn;
  for (int slot = 1; slot <= kSlots; ++slot) sn += StrFormat("[Port-%d PASS]\r\n", slot) + pass[slot];
  for (int slot = 1; slot <= kSlots; ++slot)
    if (!error[slot].empty()) sn += StrFormat("[Port-%d Error]\r\n", slot) + error[slot];
  for (const auto& [path, text] : {std::pair{kWorkOrder, &list}, {kRecordSn, &sn}, {kErrorLog, &errors}})
    std::ofstream(platform::MapPath(path), std::ios::binary | std::ios::trunc) << *text;
  platform::ClearProfileCache();
}

std::uint64_t FileSize(const char* path) {
  std::uint64_t size = 0;
  platform::GetFileSize(path, size);
  return size;
}

// The working folder on disk, the MP station, the work order and a clock past
// the pre-filled records.
struct Bench {
  kxbench::ScratchFolder folder{"workorder", true};
  platform::ScopedClock clock{platform::MakeVirtualClock(OrderStartMs() + 400LL * 86400 * 1000)};

  Bench() {
    g_ModuleFolder = "C:\\KXMP\\";
    win::WritePrivateProfileString("General Info", "TestStation", "MP", ".\\Configuration\\System\\MPToolSetting.ini");
    win::WritePrivateProfileString("Device Info", "ISP_MPBINCode", ".\\FW\\MP\\mp_fw.bin", ".\\param.ini");
    kx::SetWorkOrderPath(kWorkOrder);
  }
  ~Bench() { kx::SetWorkOrderPath(""); }
};

Bench& TheBench() {
  static Bench bench;
  return bench;
}

// One port: its job and device, as a passing MP run leaves them.
struct Port {
  kx::PageLocks* locks;
  kx::StatusCellModel cell;
  std::string code;
  std::array<std::atomic<int>, kx::kPortCount> states{};
  CPortJob job;
  int drive = 0;

  Port(int slot, kx::PageLocks* pageLocks)
      : locks(pageLocks),
        job(1, pageLocks, &cell, nullptr, slot, slot, nullptr, nullptr, kLogFolder, &code, nullptr, &states) {
    job.m_Device = std::make_unique<CPortDevice>(slot, 1, slot, kLogFolder, &cell, nullptr);
    job.m_Device->WriteReport("START", false);
    job.m_Device->m_TesterFwVersion = "3.03";
    job.m_Device->m_StatStandByText = job.m_Device->m_StatWRText = "NoRecord";
  }

  // The records of the port's next drive: its SATA_RecordSN.ini entry as the
  // report ends, its result-list record under the page's lock 0. False when
  // one was not written.
  bool Record() {
    CPortDevice& d = *job.m_Device;
    d.m_SerialNumber = Serial(1000000 + job.m_Slot * 10000 + ++drive);
    win::SYSTEMTIME t;
    win::GetLocalTime(&t);
    job.m_StartTime =
        StrFormat("%04d/%02d/%02d_%02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    d.WriteReport("END", false);
    {
      std::unique_lock lock((*locks)[0]);
      job.WriteResultList(1);
    }
    return !d.HasWriteFailure();
  }
};

double Ms(steady::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void SizeCounters(benchmark::State& state) {
  state.counters["list_MB"] = static_cast<double>(FileSize(kWorkOrder)) / 1e6;
  state.counters["recordsn_MB"] = static_cast<double>(FileSize(kRecordSn)) / 1e6;
}

// The record files as the benchmark's number of drives leave them, and the 24
// ports that record next.
std::vector<std::unique_ptr<Port>> StationAt(const benchmark::State& state, kx::PageLocks& locks) {
  TheBench();
  PrefillRecords(static_cast<int>(state.range(0)));
  std::vector<std::unique_ptr<Port>> ports;
  for (int slot = 1; slot <= kSlots; ++slot) ports.push_back(std::make_unique<Port>(slot, &locks));
  return ports;
}

void BM_DriveRecords(benchmark::State& state) {
  kx::PageLocks locks;
  const std::vector<std::unique_ptr<Port>> ports = StationAt(state, locks);
  int next = 0;
  for (auto _ : state) {
    platform::Clock().SleepMs(1000);
    const steady::time_point begin = steady::now();
    if (!ports[static_cast<std::size_t>(next++ % kSlots)]->Record()) state.SkipWithError("a record was not written");
    state.SetIterationTime(Ms(steady::now() - begin) / 1000.0);
  }
  SizeCounters(state);
}

// The whole file in one buffer of its size, with room for a line.
bool ReadWhole(const std::string& path, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  bool ok = fd >= 0 && ::fstat(fd, &st) == 0;
  if (ok) {
    text.reserve(static_cast<std::size_t>(st.st_size) + 256);
    text.resize(static_cast<std::size_t>(st.st_size));
    ok = ::read(fd, text.data(), text.size()) == st.st_size;
  }
  if (fd >= 0) ::close(fd);
  return ok;
}

// Read whole, one line added, replaced whole through a flushed temporary file:
// the result list and SATA_RecordSN.ini, as a drive's records replace them.
void BM_OneRewrite(benchmark::State& state) {
  TheBench();
  PrefillRecords(static_cast<int>(state.range(0)));
  const std::string line = "[2025-02-04 00:00:00]=KX0000000000\r\n";
  for (auto _ : state) {
    const steady::time_point begin = steady::now();
    for (const char* path : {kRecordSn, kWorkOrder}) {
      std::string text;
      if (!ReadWhole(platform::MapPath(path), text)) state.SkipWithError("not read");
      text += line;
      if (platform::ReplaceFileAtomically(platform::MapPath(path), text) != 0) state.SkipWithError("not written");
    }
    state.SetIterationTime(Ms(steady::now() - begin) / 1000.0);
  }
  SizeCounters(state);
}

void BM_PortPass(benchmark::State& state) {
  kx::PageLocks locks;
  const std::vector<std::unique_ptr<Port>> ports = StationAt(state, locks);
  for (auto _ : state) {
    platform::Clock().SleepMs(1000);
    std::latch start(kSlots + 1);
    std::atomic<bool> lost{false};
    std::vector<std::thread> threads;
    for (auto& port : ports)
      threads.emplace_back([&start, &lost, p = port.get()] {
        start.arrive_and_wait();
        if (!p->Record()) lost = true;
      });
    const steady::time_point begin = steady::now();
    start.arrive_and_wait();
    for (auto& t : threads) t.join();
    state.SetIterationTime(Ms(steady::now() - begin) / 1000.0);
    if (lost) state.SkipWithError("a record was not written");
  }
  SizeCounters(state);
}

constexpr int kSizes[] = {1000, 10000, 50000, 100000};

void Sizes(benchmark::internal::Benchmark* b) {
  for (int n : kSizes) b->Arg(n);
  b->UseManualTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_OneRewrite)->Apply(Sizes)->Iterations(24);
BENCHMARK(BM_DriveRecords)->Apply(Sizes)->Iterations(24);
BENCHMARK(BM_PortPass)->Apply(Sizes)->Iterations(3);

// Keeps each run's mean time per iteration (milliseconds).
class TimeCollector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs)
      if (!r.error_occurred && r.run_type == Run::RT_Iteration) ms[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> ms;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TimeCollector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  bool any = false, met = true;
  for (int n : kSizes) {
    const auto at = [&](const char* name) {
      const auto it = collector.ms.find(
          StrFormat("%s/%d/iterations:%d/manual_time", name, n, std::string(name) == "BM_PortPass" ? 3 : 24));
      return it == collector.ms.end() ? 0.0 : it->second;
    };
    const double record = at("BM_DriveRecords"), rewrite = at("BM_OneRewrite"), pass = at("BM_PortPass");
    if (record <= 0 || rewrite <= 0) continue;  // filtered run: no verdict
    any = true;
    std::printf(
        "%6d drives: a drive's records %7.2f ms, one rewrite of their files %7.2f ms (%.2fx); "
        "24 ports' records %8.1f ms\n",
        n, record, rewrite, record / rewrite, pass);
    if (n == 100000) met = record <= 2.0 * rewrite;
  }
  if (any) std::printf("a drive's records within twice one rewrite at 100,000 drives: %s\n", met ? "met" : "MISSED");
  return met ? 0 : 1;
}
