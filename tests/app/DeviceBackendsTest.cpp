#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/DeviceBackends.h"
#include "bringup/SerialNumber.h"
#include "emulator/Site.h"
#include "platform/DeviceIo.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "platform/ProgramFolders.h"
#include "platform/StationPc.h"
#include "platform/linux/Hotplug.h"
#include "tests/support/RecordChecks.h"
#include "tests/support/ScratchFolder.h"

namespace {

namespace fs = std::filesystem;

class DeviceBackends : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories("Configuration/System");
    // Never the machine's own station folder.
    platform::SetStationPcFolder((folder_.Root() / "pc").string());
  }
  void TearDown() override {
    platform::StopDiskMonitor();
    platform::ClearDeviceBackends();
    platform::SetProgramFolderSource(nullptr);
    platform::SetStationPcFolder("");
  }
  static void WriteEmulatorIni(const std::string& text) {
    std::ofstream("Configuration/System/Emulator.ini", std::ios::binary) << text;
  }
  // A copy of the program folder, made the working folder as a start there
  // finds it: its own drives/C, drive letters as a new process has them.
  fs::path StartIn(const std::string& name) {
    const fs::path work = folder_.Root() / name;
    fs::create_directories(work / "Configuration/System");
    fs::create_directories(work / "drives/C");
    fs::current_path(work);
    platform::ResetDriveRoots();
    platform::StopDiskMonitor();
    platform::ClearDeviceBackends();
    return fs::canonical(work);
  }
  kxtest::ScratchFolder folder_{"DeviceBackends"};
  platform::StationPcLock pcLock_;
};

TEST_F(DeviceBackends, AnEmulatorIniRoutesThePortPathsToTheEmulatedSite) {
  WriteEmulatorIni("[Site]\r\nMode = bridge\r\nSlots = 2\r\n");
  std::string error;
  ASSERT_EQ(app::SelectDeviceBackends(&error, pcLock_), app::DeviceBackendChoice::Emulator) << error;
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
  ASSERT_EQ(app::SelectDeviceBackends(&error, pcLock_), app::DeviceBackendChoice::Emulator) << error;
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
    EXPECT_EQ(app::SelectDeviceBackends(&error, pcLock_), app::DeviceBackendChoice::None);
    EXPECT_EQ(error.rfind(".\\Configuration\\System\\Emulator.ini: ", 0), 0u) << error;
    EXPECT_EQ(error.find("Emulator.ini"), error.rfind("Emulator.ini")) << error;
  }
  // Nothing answers for a physical drive: no back end was installed.
  EXPECT_EQ(win::CreateFileA("\\\\.\\PhysicalDrive0", win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                             win::OPEN_EXISTING, 0, nullptr),
            win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
}

// Copies of the program folder on the PC's disks, one after the other (a new
// version unpacked beside the old one), number from the PC's one C:\ and go on
// from each other's numbers; a copy with UseLocalSN and the emulated site keep
// their own.
TEST_F(DeviceBackends, WorkingFoldersOnRealDisksTakeOneDriveCAndOneSerialNumberSource) {
  fs::create_directories(folder_.Root() / "pc" / "drives" / "C");
  const struct {
    const char* folder;
    bool emulated;
    bool localSn;
    const char* serial;
  } rows[] = {{"old", false, false, "00000100"},
              {"new", false, false, "00000101"},
              {"local", false, true, "00000100"},
              {"emulated", true, false, "00000100"},
              {"newer", false, false, "00000102"}};
  for (const auto& r : rows) {
    StartIn(r.folder);
    // Each copy brings the same parameter file: numbering from it would give 100 twice.
    ASSERT_TRUE(win::WritePrivateProfileString("General Info", "SerialNum", "100", ".\\param.ini"));
    if (r.localSn) {
      ASSERT_TRUE(win::WritePrivateProfileString("General Info", "UseLocalSN", "1", kx::kToolSettingIniPath));
    }
    if (r.emulated) WriteEmulatorIni("[Site]\r\nMode = bridge\r\nSlots = 2\r\n");
    std::string error;
    platform::StationPcLock lock;
    ASSERT_EQ(app::SelectDeviceBackends(&error, lock),
              r.emulated ? app::DeviceBackendChoice::Emulator : app::DeviceBackendChoice::RealDisks)
        << r.folder << ": " << error;
    const kx::TakenSerial taken = kx::TakeNextSerialNumber(kx::SerialSettingsPath("C:\\SATA_Setting.ini"));
    EXPECT_EQ(taken.serial, r.serial) << r.folder;
  }
}

// A second process on the PC's disks is refused at its start-up, naming the
// first, while the first runs; once the first is gone, killed or not, the next
// starts. A PC folder that is missing is made; one that cannot be is named.
TEST_F(DeviceBackends, OneProcessAtATimeRunsOnThePcsDisks) {
  const fs::path first = StartIn("first");
  int started[2];
  ASSERT_EQ(::pipe(started), 0);
  kxtest::ForkedWriter holder([&started] {
    std::string error;
    platform::StationPcLock lock;
    if (app::SelectDeviceBackends(&error, lock) != app::DeviceBackendChoice::RealDisks) return false;
    if (::write(started[1], "s", 1) != 1) return false;
    for (;;) ::pause();
  });
  ::close(started[1]);
  ASSERT_TRUE(holder.Started());
  holder.Go();
  // Once the first has started, or ended without.
  char c = 0;
  const bool running = ::read(started[0], &c, 1) == 1;
  ::close(started[0]);
  ASSERT_TRUE(running);

  StartIn("second");
  std::string error;
  EXPECT_EQ(app::SelectDeviceBackends(&error, pcLock_), app::DeviceBackendChoice::None);
  EXPECT_NE(error.find(first.string()), std::string::npos) << error;
  EXPECT_FALSE(pcLock_.IsHeld());

  holder.Signal(SIGKILL);
  holder.Finish();
  error.clear();
  EXPECT_EQ(app::SelectDeviceBackends(&error, pcLock_), app::DeviceBackendChoice::RealDisks) << error;
  EXPECT_TRUE(pcLock_.IsHeld());
  pcLock_.Release();

  // Where no folder can be made the start is refused, naming the file.
  std::ofstream(folder_.Root() / "file") << "x";
  platform::SetStationPcFolder((folder_.Root() / "file" / "pc").string());
  EXPECT_EQ(app::SelectDeviceBackends(&error, pcLock_), app::DeviceBackendChoice::None);
  EXPECT_NE(error.find(platform::StationPcLock::File()), std::string::npos) << error;
}

}  // namespace
