// Writes on a file system that is really full: a small tmpfs, filled up.
// Mounting needs root (CI runs as root); elsewhere the test is skipped.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "platform/Files.h"
#include "platform/Profile.h"
#include "tests/platform/TempDir.h"

namespace {

class FullDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    if (::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "tmpfs cannot be mounted";
    mounted_ = true;
    ini_ = dir_ / "SATA_RecordSN.ini";
    ASSERT_TRUE(win::WritePrivateProfileString("Port-1 PASS", "[2026-05-28 08:00:00]", "SN1", ini_.c_str()));
    before_ = kxtest::readRaw(ini_);
    // Fill what is left, byte by byte at the end.
    std::FILE* f = std::fopen((dir_ / "filler").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const std::string block(4096, 'x');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
    }
    std::setvbuf(f, nullptr, _IONBF, 0);
    while (std::fputc('x', f) != EOF) {
    }
    std::fclose(f);
  }
  void TearDown() override {
    if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
  }

  kxtest::TempDir dir_;
  bool mounted_ = false;
  std::string ini_;
  std::string before_;
};

TEST_F(FullDisk, RecordWritesFailWithDiskFullAndLeaveTheFileWhole) {
  EXPECT_FALSE(win::WritePrivateProfileString("Port-1 PASS", "[2026-05-28 08:00:01]", "SN2", ini_.c_str()));
  EXPECT_EQ(win::GetLastError(), win::ERROR_DISK_FULL);
  EXPECT_EQ(platform::AppendFileBytes(ini_, std::string(8192, 'y'), false), win::ERROR_DISK_FULL);
  EXPECT_EQ(kxtest::readRaw(ini_), before_);
  const std::vector<std::string> left = {"SATA_RecordSN.ini", "filler"};
  std::vector<std::string> names;
  ASSERT_EQ(platform::ListFolder(dir_.path(), names), 0u);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, left);  // no temporary file stays behind
}

}  // namespace
