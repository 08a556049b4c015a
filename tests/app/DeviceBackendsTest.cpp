#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/DeviceBackends.h"
#include "emulator/Site.h"
#include "platform/DeviceIo.h"
#include "platform/Profile.h"
#include "platform/ProgramFolders.h"
#include "tests/support/ScratchFolder.h"

namespace {

class DeviceBackends : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories("Configuration/System"); }
  void TearDown() override {
    platform::ClearDeviceBackends();
    platform::SetProgramFolderSource(nullptr);
  }
  static void WriteEmulatorIni(const std::string& text) {
    std::ofstream("Configuration/System/Emulator.ini", std::ios::binary) << text;
  }
  kxtest::ScratchFolder folder_{"DeviceBackends"};
};

TEST_F(DeviceBackends, AnEmulatorIniRoutesThePortPathsToTheEmulatedSite) {
  WriteEmulatorIni("[Site]\r\nMode = bridge\r\nSlots = 2\r\n");
  std::string error;
  ASSERT_EQ(app::SelectDeviceBackends(&error), app::DeviceBackendChoice::Emulator) << error;
  win::HANDLE h = win::CreateFileA(emu::Site::BridgePath(2).c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                                   win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr, win::OPEN_EXISTING, 0,
                                   nullptr);
  ASSERT_NE(h, win::INVALID_HANDLE_VALUE);
  win::CloseHandle(h);
}

// The log folder that param.ini names when the disks are listed is one of the
// program's folders, whose disks are never taken for bays.
TEST_F(DeviceBackends, TheLogFolderOfTheSettingsIsOneOfTheProgramsFolders) {
  WriteEmulatorIni("[Site]\r\nMode = bridge\r\nSlots = 2\r\n");
  std::string error;
  ASSERT_EQ(app::SelectDeviceBackends(&error), app::DeviceBackendChoice::Emulator) << error;
  const std::string here = std::filesystem::canonical(folder_.Root()).string();
  for (const std::string& logs : {here + "/data/Logs", here + "/srv/Logs"}) {
    ASSERT_TRUE(win::WritePrivateProfileString("Log Path", "SetLogFolderPath", logs.c_str(), ".\\param.ini"));
    const std::vector<std::string> folders = platform::ProgramFolders();
    EXPECT_NE(std::find(folders.begin(), folders.end(), logs), folders.end()) << logs;
  }
}

TEST_F(DeviceBackends, ABrokenEmulatorIniNeverFallsThroughToRealDisks) {
  // The file is named once, in the program's own spelling, before the reason.
  for (const char* text : {"[Site]\r\nMode = nonsense\r\n", ""}) {
    WriteEmulatorIni(text);
    std::string error;
    EXPECT_EQ(app::SelectDeviceBackends(&error), app::DeviceBackendChoice::None);
    EXPECT_EQ(error.rfind(".\\Configuration\\System\\Emulator.ini: ", 0), 0u) << error;
    EXPECT_EQ(error.find("Emulator.ini"), error.rfind("Emulator.ini")) << error;
  }
  // Nothing answers for a physical drive: no back end was installed.
  EXPECT_EQ(win::CreateFileA("\\\\.\\PhysicalDrive0", win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                             win::OPEN_EXISTING, 0, nullptr),
            win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
}

}  // namespace
