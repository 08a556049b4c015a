#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/Debug.h"
#include "platform/Identity.h"
#include "platform/Library.h"
#include "platform/Memory.h"
#include "platform/MessageBox.h"
#include "platform/RootDevice.h"
#include "platform/Shell.h"
#include "platform/Sync.h"
#include "tests/platform/TempDir.h"

using namespace win;

namespace {

// ---------------------------------------------------------------- threads and locks

TEST(Sync, StopEventWinsOverQueuedWorkWhenBothAreSignalled) {
  platform::Event stop(true, false);
  platform::Semaphore work(0);
  ASSERT_TRUE(work.Release(3));
  EXPECT_EQ(platform::WaitForAny({&stop, &work}), 1);
  stop.Set();
  // Stop stays set (manual reset) and keeps winning; the work count is untouched.
  EXPECT_EQ(platform::WaitForAny({&stop, &work}), 0);
  EXPECT_EQ(platform::WaitForAny({&stop, &work}), 0);
  stop.Reset();
  EXPECT_EQ(platform::WaitForAny({&stop, &work}, 0), 1);
  EXPECT_EQ(platform::WaitForAny({&stop, &work}, 0), 1);
  EXPECT_EQ(platform::WaitForAny({&stop, &work}, 0), platform::kWaitTimeout);
  EXPECT_EQ(platform::WaitForAny({&stop, &work}, 20), platform::kWaitTimeout);
}

TEST(Sync, SemaphoreRespectsItsMaximumAndHandsEachUnitToOneWaiter) {
  platform::Semaphore s(0, 2);
  long previous = -1;
  EXPECT_TRUE(s.Release(2, &previous));
  EXPECT_EQ(previous, 0);
  EXPECT_FALSE(s.Release(1, &previous));
  EXPECT_EQ(previous, 2);

  platform::Semaphore items(0);
  platform::Event stop;
  std::atomic<int> taken{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 8; ++i) {
    workers.emplace_back([&] {
      while (platform::WaitForAny({&stop, &items}) == 1) ++taken;
    });
  }
  for (int i = 0; i < 1000; ++i) items.Release();
  while (items.Wait(0)) ++taken;  // drain anything the workers have not reached
  while (taken.load() < 1000) std::this_thread::yield();
  stop.Set();
  for (auto& w : workers) w.join();
  EXPECT_EQ(taken.load(), 1000);
}

TEST(Sync, AutoResetEventReleasesOneWaitAtATime) {
  platform::Event e(false, true);
  EXPECT_TRUE(e.Wait(0));
  EXPECT_FALSE(e.Wait(0));
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    e.Set();
  });
  EXPECT_TRUE(e.Wait());
  setter.join();
}

TEST(Sync, ThreadsGetTheStackSizeAskedFor) {
  platform::Thread t;
  std::atomic<bool> ran{false};
  ASSERT_TRUE(t.Start(
      [&] {
        volatile char big[2 * 1024 * 1024];  // needs more than the smallest stacks
        big[0] = 1;
        big[sizeof big - 1] = 1;
        ran = big[0] == 1;
      },
      3145728));
  EXPECT_GE(t.StackSize(), 3145728u);
  t.Join();
  EXPECT_TRUE(ran);
  EXPECT_FALSE(t.Joinable());
  EXPECT_FALSE(t.Start(nullptr));
}

// ---------------------------------------------------------------- memory

TEST(Memory, PageBuffersAreAlignedZeroedAndFailuresAreReported) {
  platform::PageBuffer a;
  ASSERT_TRUE(a.Allocate(2 * 1024 * 1024));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.data()) % static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE)), 0u);
  EXPECT_EQ(a.data()[0], 0);
  EXPECT_EQ(a.data()[a.size() - 1], 0);
  platform::PageBuffer moved = std::move(a);
  EXPECT_FALSE(a);
  EXPECT_TRUE(moved);

  platform::FailNextPageAllocations(1);
  platform::PageBuffer b;
  EXPECT_FALSE(b.Allocate(256 * 1024));
  EXPECT_EQ(b.data(), nullptr);
  EXPECT_EQ(b.size(), 0u);
  EXPECT_TRUE(b.Allocate(256 * 1024));
  EXPECT_FALSE(b.Allocate(0));
  EXPECT_FALSE(b.Allocate(SIZE_MAX / 2));  // more than any machine has
}

// ---------------------------------------------------------------- libraries

class Libraries : public ::testing::Test {
 protected:
  kxtest::TempDir dir;
  void SetUp() override {
    std::filesystem::create_directories(dir / "Configuration/System");
    std::filesystem::copy_file(KX_TESTDEV_LIB, dir / "Configuration/System/libGetDev.so");
  }
};

TEST_F(Libraries, WindowsLibraryNamesLoadTheLinuxLibraryBesideThem) {
  kxtest::ScopedCwd cwd(dir.path());
  HMODULE m = LoadLibrary(".\\Configuration\\System\\GetDev.dll");
  ASSERT_NE(m, nullptr);
  // The decorated name falls back to the identifier the library exports.
  auto list = reinterpret_cast<kx::ListKxDeviceFn>(GetProcAddress(m, kx::kListKxDeviceExport));
  ASSERT_NE(list, nullptr);
  kx::RootDeviceRecord rec;
  list(rec.bytes.data());
  EXPECT_EQ(rec.Count(), 2u);
  auto plain = reinterpret_cast<int (*)()>(GetProcAddress(m, "PlainExport"));
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain(), 42);
  EXPECT_EQ(GetProcAddress(m, "@Missing$qv"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(FreeLibrary(m));
}

TEST_F(Libraries, AMissingLibraryIsReportedNotFatal) {
  kxtest::ScopedCwd cwd(dir.path());
  platform::DebugCapture debug;
  EXPECT_EQ(LoadLibrary(".\\Configuration\\System\\GetDevSata.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_NE(debug.All().find("GetDevSata.dll"), std::string::npos);
  EXPECT_EQ(LoadLibrary("\\\\.\\PhysicalDrive0"), nullptr);
  EXPECT_EQ(GetProcAddress(nullptr, "x"), nullptr);
  EXPECT_EQ(platform::UndecoratedName("@ListKxDevice$qp11ROOT_Device"), "ListKxDevice");
  EXPECT_EQ(platform::UndecoratedName("ListKxDevice"), "");
}

// ---------------------------------------------------------------- identity

TEST(ModuleFile, NameIsTheRunningProgramAndTruncatesLikeWindows) {
  char full[4096] = {};
  const win::DWORD n = win::GetModuleFileName(nullptr, full, sizeof full);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(std::filesystem::path(full).filename(), "kx_platform_tests");
  char small[8] = {};
  EXPECT_EQ(win::GetModuleFileName(nullptr, small, sizeof small), 7u);
  EXPECT_EQ(std::string(small), std::string(full, 7));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(win::GetModuleFileName(nullptr, small, 0), 0u);
}

TEST(Identity, ComputerNameFollowsTheWindowsBufferContract) {
  const std::string name = platform::ComputerName();
  EXPECT_LE(name.size(), 15u);
  EXPECT_EQ(name.find('.'), std::string::npos);
  char buf[16];
  DWORD size = sizeof buf;
  ASSERT_TRUE(GetComputerName(buf, &size));
  EXPECT_EQ(size, name.size());
  EXPECT_EQ(std::string(buf), name);
  size = 1;
  EXPECT_FALSE(GetComputerName(buf, &size));
  EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(size, name.size() + 1);
}

// A long host name is cut at 15 bytes, or before, so that no UTF-8 character is cut in two.
TEST(Identity, ComputerNameIsCutOnACharacterBoundary) {
  const std::string station = "\xE5\xB7\xA5\xE4\xBD\x9C\xE7\xAB\x99";  // three 3-byte characters
  const struct {
    std::string host, name;
  } rows[] = {
      {"line-07.factory.example", "line-07"},
      {"station-0123456789", "station-0123456"},
      {station + station, station + "\xE5\xB7\xA5\xE4\xBD\x9C"},                      // 15 bytes whole
      {"ab" + station + station, "ab" + station + "\xE5\xB7\xA5"},                        // 14: the next ends at 17
      {"PC-0001-\xF0\x9F\x94\xA7\xF0\x9F\x94\xA7", "PC-0001-\xF0\x9F\x94\xA7"},  // 4-byte ones
      {"\xB2\xE2\xCA\xD4\xB2\xE2\xCA\xD4\xB2\xE2\xCA\xD4\xB2\xE2\xCA\xD4",
       "\xB2\xE2\xCA\xD4\xB2\xE2\xCA\xD4\xB2\xE2\xCA\xD4\xB2\xE2\xCA"},  // not UTF-8: bytes
  };
  struct RealHostName {
    ~RealHostName() { platform::SetHostNameSource(nullptr); }
  } realHostName;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.host);
    platform::SetHostNameSource([host = r.host] { return host; });
    EXPECT_EQ(platform::ComputerName(), r.name);
    char buf[16];
    DWORD size = sizeof buf;
    ASSERT_TRUE(GetComputerName(buf, &size));
    EXPECT_EQ(std::string(buf, size), r.name);
  }
}

TEST(Identity, LanguageIdComesFromTheLocale) {
  EXPECT_EQ(platform::LangIdForLocale("zh_CN.UTF-8"), 2052);
  EXPECT_EQ(platform::LangIdForLocale("zh_TW.Big5"), 1028);
  EXPECT_EQ(platform::LangIdForLocale("en_GB.UTF-8"), 1033);
  EXPECT_EQ(platform::LangIdForLocale(""), 1033);
  const char* old = std::getenv("LANG");
  const std::string saved = old ? old : "";
  ::setenv("LANG", "zh_CN.GBK", 1);
  EXPECT_EQ(GetSystemDefaultLangID(), 2052);
  old ? ::setenv("LANG", saved.c_str(), 1) : ::unsetenv("LANG");
}

TEST(Identity, MacAddressIsNonZeroWhenFound) {
  std::array<std::uint8_t, 6> mac{};
  if (!platform::GetMacAddress(mac)) GTEST_SKIP() << "no network adapter besides loopback";
  bool zero = true;
  for (auto b : mac) zero = zero && b == 0;
  EXPECT_FALSE(zero);
}

// ---------------------------------------------------------------- debug output and message boxes

TEST(Diagnostics, DebugTextIsCapturedInOrderAndDiscardedOtherwise) {
  {
    platform::DebugCapture capture;
    OutputDebugString("port-3 - 1\r\n");
    platform::DebugOutput("second");
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"port-3 - 1\r\n", "second"}));
  }
  OutputDebugString("nobody listens");  // no sink: must not crash
  platform::DebugCapture later;
  EXPECT_TRUE(later.Texts().empty());
}

TEST(Diagnostics, MessageBoxesAreRecordedAndAnsweredFromTheScript) {
  auto box = std::make_shared<platform::RecordingMessageBox>();
  {
    platform::ScopedMessageBox scoped(box);
    box->QueueAnswer(IDOK);
    EXPECT_EQ(MessageBox(nullptr, "All Serial Number have scan?", "Confirm",
                         MB_OKCANCEL | MB_ICONQUESTION | MB_TOPMOST),
              IDOK);
    EXPECT_EQ(AfxMessageBox("Cannot allocate page memory !"), IDOK);
    EXPECT_EQ(MessageBox(nullptr, "Again?", "Confirm", MB_OKCANCEL), IDCANCEL);  // script used up
  }
  EXPECT_EQ(platform::GetMessageBox(), nullptr);
  const auto shown = box->History();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].caption, "Confirm");
  EXPECT_EQ(shown[0].type, MB_OKCANCEL | MB_ICONQUESTION | MB_TOPMOST);
  EXPECT_EQ(shown[1].text, "Cannot allocate page memory !");
  EXPECT_EQ(platform::SafeAnswer(MB_YESNO), IDNO);
}

// ---------------------------------------------------------------- shell

// A stand-in xdg-open on PATH records its argument once the test lets it go.
TEST(Shell, OpensWithXdgOpenWithoutWaitingForIt) {
  kxtest::TempDir dir;
  std::filesystem::create_directory(dir / "bin");
  const std::string script = dir / "bin/xdg-open";
  kxtest::writeRaw(script, "#!/bin/sh\ncd \"$(dirname \"$0\")\"\nfor i in $(seq 100); do [ -e go ] && break; sleep 0.05; done\n"
                           "printf %s \"$1\" > opened.tmp && mv opened.tmp opened\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", (dir / "bin:" + path).c_str(), 1);
  const bool started = platform::ShellOpen(dir.path());
  const bool returnedFirst = !std::filesystem::exists(dir / "bin/opened");
  kxtest::writeRaw(dir / "bin/go", "");
  for (int i = 0; i < 500 && !std::filesystem::exists(dir / "bin/opened"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ::setenv("PATH", dir.path().c_str(), 1);  // no handler at all
  const bool startedWithout = platform::ShellOpen(dir.path());
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_TRUE(started);
  EXPECT_TRUE(returnedFirst);
  EXPECT_EQ(kxtest::readRaw(dir / "bin/opened"), dir.path());
  EXPECT_FALSE(startedWithout);
  EXPECT_FALSE(platform::ShellOpen("\\\\.\\PhysicalDrive0"));  // not a file: nothing runs
}

}  // namespace
