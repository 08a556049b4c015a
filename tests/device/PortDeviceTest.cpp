// The device object as the constructors leave it, and its file, text and
// status-cell utilities.
#include "device/PortDevice.h"

#include "platform/Memory.h"
#include "platform/MessageBox.h"
#include "tests/support/ScratchFolder.h"

namespace {

class PortDevice : public kxtest::DeviceTestEnv {
 protected:
  void SetUp() override {
    SetIni(".\\PC_MAC_Address.txt", "PC Info", "MAC_Address", "  00-11-22-33-44-55  ");
  }
  static std::unique_ptr<CPortDevice> Production(int runMode = 1) {
    return std::make_unique<CPortDevice>(7, runMode, 3, "D:\\Log", nullptr, nullptr);
  }
};

TEST_F(PortDevice, ProductionPathsFollowTheLogAndProgramFolders) {
  auto d = Production();
  EXPECT_EQ(d->m_PcId, "00-11-22-33-44-55");
  EXPECT_EQ(d->m_SnSettingPath, "C:\\SATA_Setting.ini");
  EXPECT_EQ(d->m_ReportFolder, "D:\\Log\\D_Reports\\");
  EXPECT_EQ(d->m_RecordSnPath, "D:\\Log\\SATA_RecordSN.ini");
  EXPECT_EQ(d->m_BinInfoFolder, "D:\\Log\\BINInfo\\");
  const std::pair<int, const char*> logs[] = {{1, "Init"}, {4, "QC"}, {7, "Debug"}};
  for (const auto& [runMode, name] : logs) {
    SCOPED_TRACE(name);
    d = Production(runMode);
    EXPECT_EQ(d->m_ErrorLogPath, std::string("D:\\Log\\Error_") + name + ".log");
    EXPECT_EQ(d->m_TotalLogPath, std::string("D:\\Log\\Total_") + name + ".log");
  }

  SetIni(".\\PC_MAC_Address.txt", "PC Info", "MAC_Address", "\"   \"");
  d = Production();
  EXPECT_FALSE(d->m_PcId.empty());  // blanks only: the computer name
  EXPECT_EQ(d->m_PcId.find(' '), std::string::npos);
}

TEST_F(PortDevice, ProductionReadsItsOptions) {
  SetIni(".\\param.ini", "Options", "PowerOnDelayTime", "35");
  SetIni(".\\param.ini", "Options", "DEVSLP_Control", "1");
  SetIni(".\\param.ini", "Current Check", "Statistics_StandBy", "2");
  auto d = Production();
  EXPECT_EQ(d->m_PowerOnDelay, 3u);  // in tens of milliseconds
  EXPECT_EQ(d->m_DevSlpEnable, 1);
  EXPECT_EQ(d->m_StatStandBy, 1);
  EXPECT_EQ(d->m_StatStandByText, "0000");
  EXPECT_EQ(d->m_StatWR, 0);
  EXPECT_EQ(d->m_StatWRText, "NoRecord");
  for (const std::uint8_t* buffer : {d->m_IoBufferA, d->m_IoBufferB, d->m_IoBufferC}) EXPECT_NE(buffer, nullptr);
  SetIni(".\\param.ini", "Options", "PowerOnDelayTime", "9");
  EXPECT_EQ(Production()->m_PowerOnDelay, 0u);
}

TEST_F(PortDevice, ToolDeviceWritesNoFiles) {
  CPortDevice tool(7, 11, "fw\\detect.bin", true, false);
  EXPECT_EQ(tool.m_IsProduction, 1);  // job mode 11 only
  EXPECT_EQ(CPortDevice(7, 3, "", false, true).m_IsProduction, 0);
  tool.WriteReport("START", true);
  tool.WriteReport("line", true);
  tool.m_ErrorCode = "M_x04";
  tool.WriteFailReport();
  tool.WriteSettingsReport();
  // Nothing lands at a drive root or in the working folder.
  for (const char* dir : {"drives/C", "drives/D", "work"})
    for (const auto& e : std::filesystem::directory_iterator(root_ / dir))
      EXPECT_TRUE(e.is_directory() || e.path().filename() == "PC_MAC_Address.txt") << e.path();
}

TEST_F(PortDevice, MissingPageMemoryFailsConstruction) {
  auto box = std::make_shared<platform::RecordingMessageBox>();
  platform::ScopedMessageBox scoped(box);
  platform::FailNextPageAllocations(1);
  auto d = Production();
  EXPECT_FALSE(d->IsConstructed());
  EXPECT_EQ(d->m_ErrorMessage, "Cannot allocate page memory !");
  EXPECT_EQ(d->m_IoBufferA, nullptr);
  EXPECT_NE(d->m_IoBufferB, nullptr);  // the others are still reserved, and released by the destructor
  EXPECT_EQ(box->Texts(), std::vector<std::string>{"Cannot allocate page memory !"});

  auto* owned = new CPortDevice(7, 1, 3, "D:\\Log", nullptr, nullptr);
  owned->m_BbtBuffer.resize(64);
  owned->DeletingDestructor(1);  // the sanitizer run reports any leak
}

TEST_F(PortDevice, SaveBufferAndTextReportFailures) {
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

TEST(PortDeviceText, SplitStringNumbersFieldsFromZeroAndTrims) {
  const std::pair<int, const char*> cases[] = {{0, "a"}, {1, "b"}, {2, ""}, {3, "c"}, {4, ""}, {-1, ""}};
  for (const auto& [index, field] : cases) EXPECT_EQ(CPortDevice::SplitString("a, b ,,c", ",", index), field) << index;
  EXPECT_EQ(CPortDevice::SplitString("no separator", ",", 0), "");
}

TEST_F(PortDevice, ShowPortStatusSetsTheCell) {
  kx::StatusCellModel cell;
  CPortDevice d(1, 1, 9, "D:\\Log", &cell, nullptr);
  d.ShowPortStatus("Erasing", false);
  kx::StatusCellState shown = cell.Snapshot();
  EXPECT_EQ(shown.text, "9*Erasing");
  EXPECT_EQ(shown.fontHeight, 20);
  EXPECT_EQ(shown.fontWidth, 10);
  EXPECT_EQ(shown.textColor, 0u);
  EXPECT_EQ(shown.backColor, 0x00FFFFu);  // yellow
  EXPECT_EQ(shown.redraws, 1u);
  d.ShowPortStatus("ignored", true);
  EXPECT_EQ(cell.GetWindowText(), "9");
}

}  // namespace
