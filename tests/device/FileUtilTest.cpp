#include <vector>

#include "TestEnv.h"
#include "device/FileUtil.h"
#include "device/PortDevice.h"
#include "platform/Debug.h"

namespace {

class FileUtilities : public DeviceTestEnv {};

TEST_F(FileUtilities, MakeDirectoryPathCreatesEveryLevelOrRefuses) {
  EXPECT_EQ(MakeDirectoryPath("D:\\a\\b\\c"), 1);
  EXPECT_TRUE(std::filesystem::is_directory(Native("D:\\a\\b\\c")));
  EXPECT_EQ(MakeDirectoryPath("D:\\a\\b\\c"), 1);  // exists
  // Deeper than ten levels and longer than 259 characters.
  std::string deep = "D:\\deep";
  for (int i = 0; i < 12; ++i) deep += "\\level_" + std::string(20, static_cast<char>('a' + i));
  EXPECT_EQ(MakeDirectoryPath(deep + "\\"), 1);
  EXPECT_TRUE(std::filesystem::is_directory(Native(deep)));
  EXPECT_EQ(MakeDirectoryPath(".\\Log\\x"), 1);
  EXPECT_TRUE(std::filesystem::is_directory("Log/x"));

  EXPECT_EQ(MakeDirectoryPath("Q:\\x\\y"), 0);  // no such drive, and none is made
  EXPECT_FALSE(std::filesystem::exists(root_ / "drives" / "Q"));
  std::ofstream(Native("D:\\file")) << "x";
  EXPECT_EQ(MakeDirectoryPath("D:\\file\\sub"), 0);
  EXPECT_EQ(MakeDirectoryPath(""), 0);
}

TEST_F(FileUtilities, FolderSizeAndDebugTrace) {
  EXPECT_EQ(GetFolderSize("D:\\missing"), 0u);
  MakeDirs("D:\\f\\sub\\deeper");
  std::ofstream(Native("D:\\f\\a.bin")) << std::string(100, 'a');
  std::ofstream(Native("D:\\f\\sub\\deeper\\c")) << std::string(23, 'c');
  EXPECT_EQ(GetFolderSize("D:\\f"), 123u);

  platform::DebugCapture capture;
  DebugTrace("port-%d - %s", 3, "ok");
  DebugTrace("%s", std::string(400, 'x').c_str());
  EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"port-3 - ok\r\n", std::string(259, 'x') + "\r\n"}));
}

TEST_F(FileUtilities, SaveBufferAndTextReportFailures) {
  CPortDevice d(1, 0, "", false, false);
  const std::uint8_t bytes[] = {0, 1, 2, 0xFF};
  EXPECT_TRUE(d.SaveBufferToFile("D:\\raw.bin", bytes, 4));
  EXPECT_TRUE(d.SaveBufferToFile("D:\\raw.bin", bytes, 2));  // truncates
  EXPECT_EQ(ReadAll("D:\\raw.bin"), std::string("\x00\x01", 2));
  EXPECT_TRUE(d.SaveTextToFile("D:\\t.txt", "one\r\n"));
  EXPECT_TRUE(d.SaveTextToFile("D:\\t.txt", "two"));
  EXPECT_EQ(ReadAll("D:\\t.txt"), "one\r\ntwo");
  EXPECT_TRUE(d.m_ErrorCode.empty());

  EXPECT_FALSE(d.SaveBufferToFile("D:\\no\\such\\raw.bin", bytes, 4));
  EXPECT_EQ(d.m_ErrorCode, "A_x08");
  EXPECT_EQ(d.m_ErrorMessage, "Open saving file-D:\\no\\such\\raw.bin Failed");
  d.m_ErrorCode.clear();
  EXPECT_FALSE(d.SaveTextToFile("D:\\no\\t.txt", "x"));
  EXPECT_EQ(d.m_ErrorCode, "A_x08");
  EXPECT_EQ(d.m_ErrorMessage, "Open save file Failed.");
}

class RecordingCell : public IStatusCell {
 public:
  void SetFontSize(int h, int w) override { log += "font " + std::to_string(h) + "," + std::to_string(w) + ";"; }
  void SetColor(std::uint32_t t, std::uint32_t b) override {
    log += "color " + std::to_string(t) + "," + std::to_string(b) + ";";
  }
  void SetWindowText(const std::string& text) override { log += "text " + text + ";"; }
  void Redraw() override { log += "redraw;"; }
  std::string log;
};

TEST_F(FileUtilities, ShowPortStatusSetsTheCell) {
  RecordingCell cell;
  CPortDevice d(1, 1, 9, "D:\\Log", &cell, nullptr);
  d.ShowPortStatus("Erasing", false);
  d.ShowPortStatus("ignored", true);
  EXPECT_EQ(cell.log, "font 20,10;color 0,65535;text 9*Erasing;redraw;font 20,10;color 0,65535;text 9;redraw;");
}

}  // namespace
