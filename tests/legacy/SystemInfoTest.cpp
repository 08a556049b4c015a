// The run clock and the system information of the legacy page.
#include <fstream>

#include "device/OsVersion.h"
#include "legacy/SystemInfo.h"
#include "tests/legacy/FakePage.h"

namespace {

using legacy::OsVersionRecord;

TEST(RunClock, MinutesAndSecondsWithoutHours) {
  const struct {
    std::uint64_t ms;
    const char* text;
  } rows[] = {{75000, "01:15"}, {3605000, "00:05"}, {999, "00:00"}, {59999, "00:59"}};
  for (const auto& r : rows) EXPECT_EQ(legacy::RunClockText(r.ms), r.text) << r.ms;
}

TEST(RunClock, TimerTwoCaptionsTheTimeButton) {
  kxtest::FakeView view;
  kxtest::FakeServices services;
  legacy::CFirstPropertyPage page(view, services);
  page.m_RunStartMs = services.NowMs() - 75000;
  page.OnTimer(1);
  EXPECT_EQ(view.captions.count(legacy::kIdTime), 0u);
  page.OnTimer(2);
  EXPECT_EQ(view.captions.at(legacy::kIdTime), "01:15");
}

TEST(SystemInfo, MacWithoutColonsAndTheIpList) {
  kxtest::FakeSystem system;
  system.ip = "10.0.0.7\r\n192.168.1.2";
  EXPECT_EQ(legacy::GetMacAddress(system), "001A2B3C4D5E");
  EXPECT_EQ(legacy::GetIpAddress(system), "10.0.0.7\r\n192.168.1.2");
  system.mac.clear();
  EXPECT_EQ(legacy::GetMacAddress(system), "");
}

TEST(SystemInfo, OsNames) {
  constexpr int nt = OsVersionRecord::kPlatformNt, ws = OsVersionRecord::kProductWorkstation;
  const struct {
    OsVersionRecord record;
    const char* name;
    int code;
  } rows[] = {{{6, 1, nt, ws, 0, 0}, "Microsoft Windows 7", 8},
              {{6, 1, nt, 3, 0, 0}, "Microsoft Windows Server 2008 R2", 8},
              {{6, 2, nt, ws, 0, 0}, "Microsoft Windows 8", 9},
              {{5, 2, nt, ws, OsVersionRecord::kArchAmd64, 0}, "Microsoft Windows XP Professional x64 Edition", 6},
              {{5, 2, nt, 3, 0, 1}, "Microsoft Windows Server 2003 R2", 6},
              {{4, 0, OsVersionRecord::kPlatformWin9x, 0, 0, 0}, "Microsoft Windows 95", 1},
              {{4, 0, 0, 0, 0, 0}, "", 1},
              {{6, 3, nt, ws, 0, 0}, "", -1},
              {{10, 0, nt, ws, 0, 0}, "Unknow", -1}};
  for (const auto& r : rows) {
    int code = -1;
    EXPECT_EQ(legacy::OsNameOf(r.record, code), r.name) << r.record.major << "." << r.record.minor;
    EXPECT_EQ(code, r.code) << r.record.major << "." << r.record.minor;
  }
}

TEST(SystemInfo, AFailedVersionQueryLeavesTheCode) {
  kxtest::FakeSystem system;
  g_OsVersionCode = 0;
  EXPECT_EQ(legacy::GetOsName(system), "");
  EXPECT_EQ(g_OsVersionCode, 0);
  system.hasVersion = true;
  system.version = {6, 2, OsVersionRecord::kPlatformNt, OsVersionRecord::kProductWorkstation, 0, 0};
  EXPECT_EQ(legacy::GetOsName(system), "Microsoft Windows 8");
  EXPECT_EQ(g_OsVersionCode, 9);
  g_OsVersionCode = 0;
}

TEST(SystemInfo, BrandEndsAtTheFirstZeroOrAfter48Bytes) {
  std::uint32_t words[12] = {};
  std::memcpy(words, "  Emulated CPU @ 1GHz", 21);
  EXPECT_EQ(legacy::BrandFromLeaves(words), "  Emulated CPU @ 1GHz");
  std::memset(words, 'x', sizeof words);
  EXPECT_EQ(legacy::BrandFromLeaves(words), std::string(48, 'x'));
}

TEST(SystemInfo, FindProcessIdIgnoresCaseAndRefusesLongNames) {
  kxtest::ScratchFolder scratch("FindProcessId");
  const auto proc = scratch.Root() / "proc";
  std::filesystem::create_directories(proc / "41");
  std::filesystem::create_directories(proc / "self");
  std::ofstream(proc / "41" / "cmdline", std::ios::binary) << std::string("/usr/bin/MPTool.exe\0-x\0", 23);
  EXPECT_EQ(legacy::FindProcessIdIn(proc.string(), "mptool.EXE"), 41u);
  EXPECT_EQ(legacy::FindProcessIdIn(proc.string(), "other"), 0u);
  EXPECT_EQ(legacy::FindProcessIdIn((proc / "none").string(), "mptool.exe"), 0u);
  EXPECT_EQ(legacy::FindProcessId(std::string(256, 'a')), 0u);
  // This program is running (other instances may be found first).
  EXPECT_NE(legacy::FindProcessId(std::filesystem::path(program_invocation_name).filename().string()), 0u);
}

TEST(SystemInfo, IsDirectory) {
  kxtest::ScratchFolder scratch("IsDirectory");
  std::filesystem::create_directories("sub");
  std::ofstream("file.txt") << "x";
  EXPECT_TRUE(legacy::IsDirectory(".\\sub"));
  EXPECT_FALSE(legacy::IsDirectory(".\\file.txt"));
  EXPECT_FALSE(legacy::IsDirectory(".\\missing"));
}

}  // namespace
