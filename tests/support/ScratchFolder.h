// A scratch working folder for one test: the process works in a fresh temporary
// folder, drive letters map below it (C: and D: exist), the parameter files are
// the usual relative ones and the error-code catalogue is loaded; the port
// reports of PC "PC" have their folders. DeviceTestEnv is the same as a gtest
// fixture, with helpers that read files back byte for byte.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/Paths.h"
#include "platform/Profile.h"
#include "tests/support/SendMode.h"

namespace kxtest {

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
inline bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
// Occurrences of `part` in `text`, not overlapping.
inline std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t p = 0; (p = text.find(part, p)) != std::string::npos; p += part.size()) ++n;
  return n;
}
inline std::size_t CountLines(const std::string& text) { return CountOf(text, "\r\n"); }
inline void ExpectParts(const std::string& text, std::initializer_list<std::string> parts) {
  for (const auto& part : parts) EXPECT_TRUE(Has(text, part)) << part;
}

class ScratchFolder {
 public:
  // `name` keeps folders of tests running at once apart.
  explicit ScratchFolder(const std::string& name);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::filesystem::path& Root() const { return root_; }

 private:
  SavedGlobals saved_;
  std::filesystem::path root_;
  std::filesystem::path previous_;
};

class DeviceTestEnv : public ::testing::Test {
 protected:
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
  // The report of a production device on this slot.
  static std::string PortReport(int slot = 1) {
    return ReadAll("D:\\Log\\D_Reports\\PC_" + std::to_string(slot) + "_Report.txt");
  }

  ScratchFolder scratch_{TestName()};
  const std::filesystem::path& root_ = scratch_.Root();

 private:
  static std::string TestName();
};

}  // namespace kxtest
