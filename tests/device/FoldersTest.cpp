#include "device/Folders.h"

#include "tests/support/ScratchFolder.h"

namespace {

class Folders : public kxtest::DeviceTestEnv {};

TEST_F(Folders, MakeDirectoryPathCreatesEveryLevelOrRefuses) {
  // Deeper than ten levels and longer than 259 characters.
  std::string deep = "D:\\deep";
  for (int i = 0; i < 12; ++i) deep += "\\level_" + std::string(20, static_cast<char>('a' + i));
  EXPECT_EQ(kx::MakeDirectoryPath(deep + "\\"), 1);
  EXPECT_TRUE(std::filesystem::is_directory(Native(deep)));
  EXPECT_EQ(kx::MakeDirectoryPath(deep), 1);  // exists
  EXPECT_EQ(kx::MakeDirectoryPath(".\\Log\\x"), 1);
  EXPECT_TRUE(std::filesystem::is_directory("Log/x"));

  EXPECT_EQ(kx::MakeDirectoryPath("Q:\\x\\y"), 0);  // no such drive, and none is made
  EXPECT_FALSE(std::filesystem::exists(root_ / "drives" / "Q"));
  std::ofstream(Native("D:\\file")) << "x";
  EXPECT_EQ(kx::MakeDirectoryPath("D:\\file\\sub"), 0);
  EXPECT_EQ(kx::MakeDirectoryPath(""), 0);
}

TEST_F(Folders, FolderSizeCountsEveryLevel) {
  EXPECT_EQ(kx::GetFolderSize("D:\\missing"), 0u);
  MakeDirs("D:\\f\\sub\\deeper");
  std::ofstream(Native("D:\\f\\a.bin")) << std::string(100, 'a');
  std::ofstream(Native("D:\\f\\sub\\deeper\\c")) << std::string(23, 'c');
  EXPECT_EQ(kx::GetFolderSize("D:\\f"), 123u);
}

}  // namespace
