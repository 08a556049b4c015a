// A scratch working folder for device tests: the process works in a fresh
// temporary folder, drive letters map below it, the parameter files are the
// usual relative ones, and files are read back byte for byte.
#pragma once
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "command/CommandGlobals.h"
#include "device/ModuleFolder.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
inline bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
inline std::size_t CountLines(const std::string& text) {
  std::size_t lines = 0;
  for (std::size_t p = 0; (p = text.find("\r\n", p)) != std::string::npos; p += 2) ++lines;
  return lines;
}
inline void ExpectParts(const std::string& text, std::initializer_list<std::string> parts) {
  for (const auto& part : parts) EXPECT_TRUE(Has(text, part)) << part;
}

class DeviceTestEnv : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // A memory file system when there is one: the shared logs are flushed to
    // disk on every record, which a stress test would otherwise wait for.
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    root_ = base /
            ("kxdev_" + std::string(info->test_suite_name()) + "_" + info->name() + "_" + std::to_string(::getpid()));
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "work");
    std::filesystem::current_path(root_ / "work");
    platform::SetDrivesRoot((root_ / "drives").string());
    std::filesystem::create_directories(root_ / "drives" / "C");
    std::filesystem::create_directories(root_ / "drives" / "D");
    g_SettingIniPath = ".\\param.ini";
    g_ParamFdbIniPath = ".\\paramFDB.ini";
    g_ModuleFolder = "C:\\KXMP\\";
    platform::ClearProfileCache();
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    platform::ResetDriveRoots();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  static void SetIni(const char* file, const char* section, const char* key, const std::string& value) {
    ASSERT_TRUE(win::WritePrivateProfileString(section, key, value.c_str(), file));
  }
  // Native path of a Windows-style path.
  static std::string Native(const std::string& winPath) { return platform::MapPath(winPath); }
  static std::string ReadAll(const std::string& winPath) {
    std::ifstream in(Native(winPath), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static bool Exists(const std::string& winPath) {
    const std::string n = Native(winPath);
    return !n.empty() && std::filesystem::exists(n);
  }
  // What `write` appends to a file.
  template <class Write>
  static std::string Appended(const std::string& winPath, Write write) {
    const std::size_t before = ReadAll(winPath).size();
    write();
    return ReadAll(winPath).substr(before);
  }
  static void MakeDirs(const std::string& winPath) { std::filesystem::create_directories(Native(winPath)); }

  std::filesystem::path root_;
  std::filesystem::path previous_;
};
