// Binding of the device-listing library: which library loads, the messages when
// it or its export is missing, and the guarded record.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "command/GetDevLibrary.h"
#include "platform/Library.h"
#include "platform/MessageBox.h"
#include "platform/Profile.h"
#include "tests/support/ScratchFolder.h"

namespace {

class GetDevLibraryTest : public ::testing::Test {
 protected:
  GetDevLibraryTest() { std::filesystem::create_directories("Configuration/System"); }
  void Install(const char* from, const char* name) {
    std::filesystem::copy_file(from, std::string("Configuration/System/") + name);
  }
  void SetPortType(const char* value) {
    win::WritePrivateProfileString("General Info", "PortType", value, ".\\Configuration\\System\\MPToolSetting.ini");
  }
  kxtest::ScratchFolder folder_{"GetDevLibrary"};
  std::shared_ptr<platform::RecordingMessageBox> box_ = std::make_shared<platform::RecordingMessageBox>();
  platform::ScopedMessageBox scoped_{box_};
};

std::atomic<bool> g_listingStarted{false};
std::atomic<bool> g_readerDone{false};
void SlowListing(unsigned char* record) {
  // Holds the listing open until a reader got through (bounded, so that a reader
  // kept out fails the test instead of hanging it).
  g_listingStarted = true;
  for (int i = 0; i < 10000 && !g_readerDone; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  kx::RootDeviceRecord filled;
  filled.SetCount(1);
  filled.SetEntry(0, "node", "\\\\?\\slow#1");
  std::memcpy(record + 8, filled.bytes.data() + 8, kx::kRootDeviceSize - 8);
}

TEST_F(GetDevLibraryTest, ASlowListingDoesNotHoldUpDriveOpens) {
  kx::WithRootDevice([](kx::RootDeviceRecord& r) {
    r.SetCount(1);
    r.SetEntry(0, "node", "old");
  });
  CGetDevLibrary* lib = CGetDevLibrary::GetInstance();
  lib->m_pfnListKxDevice = &SlowListing;
  g_listingStarted = false;
  g_readerDone = false;
  std::string seen;
  std::thread reader([&] {
    while (!g_listingStarted) std::this_thread::yield();
    kx::GetRootDevicePath(1, seen);
    g_readerDone = true;
  });
  EXPECT_TRUE(lib->ListKxDevice());
  reader.join();
  EXPECT_EQ(seen, "old");  // the reader saw the previous listing, whole
  std::string path;
  EXPECT_TRUE(kx::GetRootDevicePath(1, path));
  EXPECT_EQ(path, "\\\\?\\slow#1");
  lib->m_pfnListKxDevice = nullptr;
  delete lib;
}

TEST_F(GetDevLibraryTest, LoadsByPortTypeAndListsUnderTheLock) {
  const std::pair<const char*, const char*> rows[] = {
      {"0", "libGetDev.so"}, {"2", "libGetDev.so"}, {nullptr, "libGetDev.so"}, {"1", "libGetDevSata.so"}};
  for (const auto& [portType, file] : rows) {  // portType nullptr: key missing
    SCOPED_TRACE(file);
    SetPortType(portType);
    Install(KX_TEST_LISTING_LIB, file);
    CGetDevLibrary* lib = CGetDevLibrary::GetInstance();
    EXPECT_EQ(CGetDevLibrary::GetInstance(), lib);
    ASSERT_NE(lib->m_pfnListKxDevice, nullptr);
    EXPECT_TRUE(lib->ListKxDevice());
    kx::WithRootDevice([](kx::RootDeviceRecord& r) { EXPECT_EQ(r.bytes[3], 1); });  // request byte set first
    std::string path;
    EXPECT_TRUE(kx::GetRootDevicePath(1, path));
    EXPECT_EQ(path, "\\\\?\\fake#a");
    EXPECT_TRUE(kx::GetRootDevicePath(2, path));
    EXPECT_EQ(path, "NULL");
    EXPECT_FALSE(kx::GetRootDevicePath(3, path));
    delete lib;
    std::filesystem::remove(std::string("Configuration/System/") + file);
  }
  EXPECT_TRUE(box_->Texts().empty());
}

// PortType 1 wants libGetDevSata.so, not there; a file that is no library; a
// library without the export. A library that does not load is named with the
// loader's reason.
TEST_F(GetDevLibraryTest, AMissingLibraryOrExportIsReportedAndTheRecordLeftAlone) {
  const std::string sata = platform::LibraryFileFor(".\\Configuration\\System\\GetDevSata.dll");
  const std::string usb = platform::LibraryFileFor(".\\Configuration\\System\\GetDev.dll");
  const char* const notElf = "not a library";
  struct Row {
    const char* portType;
    const char* library;  // copied to libGetDev.so, or notElf written there
    bool loads;
    std::string message;
  };
  const Row rows[] = {
      {"1", nullptr, false,
       "ghDLL_GetDev is NULL\r\n" + sata + ": cannot open shared object file: No such file or directory"},
      {"0", notElf, false, "ghDLL_GetDev is NULL\r\n" + usb + ": file too short"},
      {"0", KX_TEST_NOEXPORT_LIB, true, "gLib_ListKxDevice is NULL"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    SetPortType(row.portType);
    std::filesystem::remove("Configuration/System/libGetDev.so");
    if (row.library == notElf)
      std::ofstream("Configuration/System/libGetDev.so") << notElf;
    else if (row.library)
      Install(row.library, "libGetDev.so");
    auto box = std::make_shared<platform::RecordingMessageBox>();
    platform::ScopedMessageBox scoped{box};
    CGetDevLibrary* lib = CGetDevLibrary::GetInstance();
    EXPECT_EQ(lib->m_hModule != nullptr, row.loads);
    EXPECT_EQ(lib->m_pfnListKxDevice, nullptr);
    EXPECT_EQ(box->Texts(), std::vector<std::string>({row.message}));
    EXPECT_FALSE(lib->ListKxDevice());
    kx::WithRootDevice([](kx::RootDeviceRecord& r) { EXPECT_EQ(r.Count(), 0u); });
    delete lib;
  }
}

TEST_F(GetDevLibraryTest, RefreshesAndPathReadsDoNotTear) {
  std::atomic<bool> stop{false};
  auto refresh = [](int i) {
    kx::WithRootDevice([i](kx::RootDeviceRecord& r) {
      r.SetCount(1);
      r.SetEntry(0, "n", std::string(i % 2 ? 200 : 120, i % 2 ? 'x' : 'y'));
    });
  };
  refresh(0);
  std::thread writer([&] {
    for (int i = 1; !stop; ++i) refresh(i);
  });
  int torn = 0;
  for (int i = 0; i < 200000; ++i) {
    std::string path;
    torn += !kx::GetRootDevicePath(1, path) || (path != std::string(200, 'x') && path != std::string(120, 'y'));
  }
  stop = true;
  writer.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
