#include "tests/support/ScratchFolder.h"

#include <unistd.h>

#include <algorithm>

#include "command/CommandGlobals.h"
#include "device/ErrorCode.h"
#include "device/ModuleFolder.h"

namespace kxtest {

ScratchFolder::ScratchFolder(const std::string& name) : previous_(std::filesystem::current_path()) {
  // A memory file system when there is one: the shared logs are flushed to disk
  // on every record, which a stress test would otherwise wait for.
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
  std::string leaf = "kxtest_" + name + "_" + std::to_string(::getpid());
  std::replace(leaf.begin(), leaf.end(), '/', '_');  // parameterised test names
  root_ = base / leaf;
  std::filesystem::remove_all(root_);
  std::filesystem::create_directories(root_ / "work");
  std::filesystem::current_path(root_ / "work");
  platform::SetDrivesRoot((root_ / "drives").string());
  std::filesystem::create_directories(root_ / "drives" / "C");
  std::filesystem::create_directories(root_ / "drives" / "D" / "Log" / "D_Reports");
  std::filesystem::create_directories(root_ / "drives" / "D" / "Log" / "Fail_Log");
  g_SettingIniPath = ".\\param.ini";
  g_ParamFdbIniPath = ".\\paramFDB.ini";
  g_ModuleFolder = "C:\\KXMP\\";
  platform::ClearProfileCache();
  win::WritePrivateProfileString("PC Info", "MAC_Address", "PC", ".\\PC_MAC_Address.txt");
  kx::FillErrorCodeMap();
}

ScratchFolder::~ScratchFolder() {
  kx::ClearErrorCodeMap();
  std::filesystem::current_path(previous_);
  platform::ResetDriveRoots();
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::string DeviceTestEnv::TestName() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info ? std::string(info->test_suite_name()) + "_" + info->name() : "outside_a_test";
}

}  // namespace kxtest
