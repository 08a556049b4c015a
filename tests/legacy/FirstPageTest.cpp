// The legacy page's first display and activation, its product information and
// its tester detection, headless.
#include "command/CommandGlobals.h"
#include "device/ModuleFolder.h"
#include "legacy/LegacyShared.h"
#include "platform/Profile.h"
#include "tests/legacy/FakePage.h"
#include "tests/support/EmulatedSite.h"

namespace {

using legacy::CFirstPropertyPage;
using legacy::TesterProbe;

class FirstDisplay : public kxtest::PageTest {
 protected:
  CFirstPropertyPage page_{view_, services_};
  std::string Counts() {
    return page_.CountBox(0).Text() + "/" + page_.CountBox(1).Text() + "/" + page_.CountBox(2).Text();
  }
};

TEST_F(FirstDisplay, CountsComeFromTheFirstTotalLogThatExists) {
  // Log folder .\W01_PC7: working number and computer name.
  MakeDirs(".\\W01_PC7");
  SetIni(".\\W01_PC7\\Total_QC.log", "Total Results", "Total", "9");
  SetIni(".\\W01_PC7\\Total_QC.log", "Total Results", "Good", "7");
  SetIni(".\\W01_PC7\\Total_QC.log", "Total Results", "Bad", "2");
  SetIni(".\\W01_PC7\\Total_Debug.log", "Total Results", "Total", "100");
  page_.OnInitDialog();
  EXPECT_EQ(page_.m_LogFolder, ".\\W01_PC7");
  EXPECT_EQ(Counts(), "9/7/2");
}

TEST_F(FirstDisplay, NoTotalLogShowsZeroCounts) {
  page_.OnInitDialog();
  EXPECT_EQ(Counts(), "0/0/0");
}

TEST_F(FirstDisplay, ControlsAndFlagsAfterTheFirstDisplay) {
  SetIni(".\\param.ini", "Options", "AutoIncreseSerialNum", "1");
  page_.OnInitDialog();
  for (int id : {legacy::kIdInitial, legacy::kIdQc, legacy::kIdLoop, legacy::kIdAutoDetect, legacy::kIdSerialLabel,
                 legacy::kIdSerialRange, legacy::kIdStatic1579, legacy::kIdExtraCell}) {
    EXPECT_FALSE(view_.shown.at(id)) << id;
  }
  // Only param.ini in the folder: nothing to choose, so no Lock either.
  EXPECT_FALSE(view_.shown.at(legacy::kIdLock));
  EXPECT_FALSE(view_.shown.at(legacy::kIdParamCombo));
  EXPECT_TRUE(view_.shown.at(legacy::kIdTesterDetect));
  EXPECT_EQ(view_.icons.at(legacy::kIdQc), 141);
  EXPECT_EQ(view_.aligns.at(legacy::kIdQc), 1);
  EXPECT_EQ(view_.aligns.at(legacy::kIdTime), 0);
  EXPECT_EQ(page_.m_TesterReady, 1);
  EXPECT_EQ(page_.m_RunKind, 0);
  EXPECT_EQ(page_.Cell(24).GetWindowText(), " 24 ");
  EXPECT_EQ(page_.Cell(24).Snapshot().backColor, kx::Rgb(0, 0, 0));
  EXPECT_EQ(page_.Cell(24).Snapshot().textColor, kx::Rgb(255, 0, 0));
}

TEST_F(FirstDisplay, AnotherIniFileShowsTheLockAndTheCombo) {
  SetIni(".\\other.ini", "General Info", "ModelName", "M2");
  page_.OnInitDialog();
  EXPECT_EQ(view_.shown.count(legacy::kIdLock), 0u);
  EXPECT_EQ(view_.combo, std::vector<std::string>{"other.ini"});
}

TEST_F(FirstDisplay, MacFileIsRewrittenAndThePcTextsShared) {
  SetIni(".\\PC_MAC_Address.txt", "PC Info", "MAC_Address", "OLD");
  page_.OnInitDialog();
  EXPECT_EQ(win::GetPrivateProfileString("PC Info", "MAC_Address", "", ".\\PC_MAC_Address.txt"), "001A2B3C4D5E");
  EXPECT_EQ(legacy::SharedPcText(legacy::PcText::Mac), "001A2B3C4D5E");
  EXPECT_EQ(legacy::SharedPcText(legacy::PcText::Ip), "10.0.0.7");
  EXPECT_EQ(legacy::SharedPcText(legacy::PcText::Name), "PC7");
  EXPECT_EQ(legacy::SharedPcText(legacy::PcText::CpuName), "Emulated CPU");
  EXPECT_EQ(legacy::SharedPcText(legacy::PcText::OsName), "");  // no version query here
}

TEST_F(FirstDisplay, ActivationMakesTheStartFolderCurrentAgain) {
  page_.OnInitDialog();
  const auto start = std::filesystem::current_path();
  std::filesystem::create_directories(start / "elsewhere");
  std::filesystem::current_path(start / "elsewhere");
  page_.OnSetActive();
  EXPECT_EQ(std::filesystem::current_path(), start);
  EXPECT_EQ(page_.m_ParamPath, start.string() + "/param.INI");
  EXPECT_EQ(g_ModuleFolder, start.string() + "/");
  EXPECT_EQ(view_.skins.at(legacy::kIdBanner), 268);
}

TEST_F(FirstDisplay, ActivationKeepsDotsEndingTheFolderName) {
  const auto folder = std::filesystem::current_path() / "v2.";
  std::filesystem::create_directories(folder);
  std::filesystem::current_path(folder);
  page_.OnInitDialog();
  page_.OnSetActive();
  EXPECT_EQ(page_.m_ParamPath, folder.string() + "/param.INI");
  EXPECT_EQ(g_ModuleFolder, folder.string() + "/");
}

TEST_F(FirstDisplay, AWorkOrderFileThatCannotBeCreatedEndsTheLogFolderStep) {
  MakeDirs(".\\W01_PC7");
  // A link into a folder that is not there: no file, and none can be made.
  std::filesystem::create_symlink("missing/WO.txt", Native(".\\W01_PC7\\WO_W01_PC7.txt"));
  page_.OnInitDialog();
  EXPECT_EQ(kx::WorkOrderPath(), "");
  EXPECT_FALSE(Exists(".\\W01_PC7\\Pass_Log"));
  EXPECT_EQ(page_.m_WorkOrderText, "");
}

TEST_F(FirstDisplay, ChoosingAParameterFileRebuildsTheLogFolders) {
  page_.OnInitDialog();
  SetIni(".\\other.ini", "General Info", "WorkingNo", "W02");
  SetIni(".\\other.ini", "Device Info", "ControllerType", "KX7410");
  view_.selection = "other.ini";
  page_.OnSelchangeParamFile();
  EXPECT_EQ(page_.m_LogFolder, ".\\W02_PC7");
  EXPECT_TRUE(Exists(".\\W02_PC7\\D_Reports"));
}

TEST_F(FirstDisplay, SlotsAreLaidOutAtFirstDisplayAndAgainAtEachActivation) {
  page_.OnInitDialog();
  ASSERT_EQ(view_.layouts.size(), 1u);
  EXPECT_EQ(view_.layouts[0].slotCount, 24);  // no SlotNumber key
  EXPECT_EQ(page_.m_SlotNumber, 24);
  SetIni(".\\param.ini", "General Info", "SlotNumber", "8");
  page_.OnSetActive();
  ASSERT_EQ(view_.layouts.size(), 2u);
  EXPECT_EQ(page_.m_SlotNumber, 8);
  EXPECT_TRUE(view_.layouts[1].slots[7].shown);
  EXPECT_FALSE(view_.layouts[1].slots[8].shown);
}

// ---- product information ----

class DeviceInfo : public FirstDisplay {
 protected:
  std::string Line(std::size_t i) {
    page_.ShowDeviceInfo();
    return page_.InfoLines().at(i);
  }
};

TEST_F(DeviceInfo, CapacityInMegabytesBelow1024ElseWholeGigabytes) {
  const struct {
    const char* value;
    const char* line;
  } rows[] = {{"1023", "(5) SSD Total Capacity : 1023 MB\n"},
              {"1024", "(5) SSD Total Capacity : 1 GB\n"},
              {"2047", "(5) SSD Total Capacity : 1 GB\n"},
              {"0", "(5) SSD Total Capacity : 0 MB\n"}};
  for (const auto& r : rows) {
    SetIni(".\\param.ini", "Flash Info", "Flh_Capacity", r.value);
    EXPECT_EQ(Line(5), r.line) << r.value;
  }
}

TEST_F(DeviceInfo, IspCodeOnlyForAKx7410) {
  SetIni(".\\param.ini", "Device Info", "ISP_MPBINCode", " D:\\Bin\\MP_01.bin ");
  SetIni(".\\param.ini", "Flash Info", "Flh_Type", "TLC");
  const struct {
    const char *controller, *line;
  } rows[] = {{"kx7410abc", "(4) ISP_FW Code : MP_01.bin\n"},
              {"KX741", "(4) ISP_FW Code : \n"},
              {"KX9000", "(4) ISP_FW Code : \n"}};
  for (const auto& r : rows) {
    SetIni(".\\param.ini", "Device Info", "ControllerType", r.controller);
    EXPECT_EQ(Line(4), r.line) << r.controller;
  }
}

TEST_F(DeviceInfo, LinesInOrderWithTheSharedWorkingNumber) {
  SetIni(".\\param.ini", "General Info", "ModelName", "SSD-A");
  SetIni(".\\param.ini", "Options", "DDRSize", "512");
  legacy::SetWorkingNumber("W99");
  page_.ShowDeviceInfo();
  legacy::SetWorkingNumber("");
  const std::vector<std::string> expected = {
      "Info Source : param.INI \n",      "(1) Working Order : W99\n",      "(2) Controller Type : KX7410\n",
      "(3) Model Name : SSD-A\n",        "(4) ISP_FW Code : \n",           "(5) SSD Total Capacity : 0 MB\n",
      "      DDR Size : 512 MB\n",       "(6) Flash MakeCode : \n",        "(7) Flash Type : \n",
      "(8) Flash Number : \n",           "(9) Flash ID : \n"};
  EXPECT_EQ(page_.InfoLines(), expected);
  EXPECT_EQ(legacy::SharedModelName(), "SSD-A");
}

// ---- tester detection ----

class Detection : public FirstDisplay {
 protected:
  Detection() {
    g_KX_U2A = 0;
    services_.testers = &testers_;
    services_.firmwareProbe = [this](int, int port) {
      TesterProbe p;
      p.ok = !oldFirmware_.count(port);
      p.kind = 4;
      p.fwVersion = p.ok ? "3.09" : "3.05";
      return p;
    };
    services_.infoProbe = [this](int, int port) {
      TesterProbe p;
      p.ok = !infoFails_.count(port);
      p.kind = 4;
      return p;
    };
  }
  std::array<std::int32_t, legacy::kPortCount + 1> testers_{};
  std::set<int> oldFirmware_, infoFails_;
};

TEST_F(Detection, TwoOutdatedPortsGiveTwoMessagesInPortOrder) {
  testers_[3] = 3;
  testers_[5] = 5;
  testers_[9] = 9;
  oldFirmware_ = {9, 3};
  infoFails_ = {5};
  page_.m_TesterReady = 1;
  page_.DetectTesters();
  ASSERT_EQ(services_.boxes.size(), 2u);
  EXPECT_EQ(services_.boxes[0].text, "Error: T_x08 !\nTesters_3, need update new firmware after V3.09\n");
  EXPECT_EQ(services_.boxes[1].text, "Error: T_x08 !\nTesters_9, need update new firmware after V3.09\n");
  EXPECT_EQ(page_.m_TesterReady, 0);
  EXPECT_EQ(page_.m_TesterCount, 3);
  EXPECT_EQ(page_.m_InfoMarks[5], 0xF0);
  EXPECT_EQ(page_.Marker(5), "5");
  EXPECT_EQ(page_.Marker(4), "");
}

TEST_F(Detection, MessageNamesTheVersionThePortsKindNeeds) {
  testers_[2] = 2;
  services_.firmwareProbe = [](int, int) { return TesterProbe{false, 3, "1.20", 0}; };
  services_.infoProbe = [](int, int) { return TesterProbe{true, 3, "1.20", 0}; };
  page_.DetectTesters();
  ASSERT_EQ(services_.boxes.size(), 1u);
  EXPECT_EQ(services_.boxes[0].text, "Error: T_x08 !\nTesters_2, need update new firmware after V1.33\n");
}

TEST_F(Detection, MarksOfAnEarlierDetectionAreClearedFirst) {
  testers_[3] = 3;
  oldFirmware_ = {3};
  page_.DetectTesters();
  oldFirmware_.clear();
  services_.boxes.clear();
  page_.m_TesterReady = 1;
  page_.DetectTesters();
  EXPECT_EQ(page_.m_FwMarks[3], 0);
  EXPECT_TRUE(services_.boxes.empty());
  EXPECT_EQ(page_.m_TesterReady, 1);
}

TEST_F(Detection, NoTesterBoardOrNoPortWithADriveSaysDetectionFailedOnce) {
  for (const bool scanFails : {true, false}) {
    SCOPED_TRACE(scanFails ? "no board" : "no drive");
    services_.boxes.clear();
    services_.scanFails = scanFails;
    page_.DetectTesters();
    ASSERT_EQ(services_.boxes.size(), 1u);
    EXPECT_EQ(services_.boxes[0].text, "Detect SATA Testers failed !!!");
    EXPECT_EQ(page_.m_TesterFound, 0);
  }
}

TEST_F(Detection, APortThatLostItsDriveLosesItsMarker) {
  testers_[3] = 3;
  testers_[4] = 4;
  page_.DetectTesters();
  testers_[4] = 0;
  page_.DetectTesters();
  EXPECT_EQ(page_.Marker(3), "3");
  EXPECT_EQ(page_.Marker(4), "");
}

TEST_F(Detection, BridgeModeIsSilentAndLeavesTheMarks) {
  g_KX_U2A = 1;
  page_.m_FwMarks[4] = 0xF0;
  page_.DetectTesters();
  EXPECT_TRUE(services_.boxes.empty());
  EXPECT_EQ(services_.scans, 0);
  EXPECT_EQ(page_.m_FwMarks[4], 0xF0);
}

TEST(DetectionOnSite, TheEmulatedTestersAreFoundAndProbed) {
  kxtest::ScratchFolder scratch("DetectionOnSite");
  kxtest::LegacyGlobalsGuard globals;
  kxtest::EmulatedSite site(4);
  site.FrontEnd(2).Info().fwMinor = 0x09;
  site.FrontEnd(3).Info().fwMinor = 0x09;
  site.FrontEnd(4).Info().fwMinor = 0x09;
  kxtest::FakeView view;
  kxtest::FakeServices services;
  CFirstPropertyPage page(view, services);
  page.DetectTesters();
  EXPECT_EQ(page.m_TesterCount, 4);
  EXPECT_EQ(page.m_DriveOfPort[3], 3);
  EXPECT_EQ(page.m_FwMarks[1], 0xF0);  // 3.05 is older than kind 4 needs
  EXPECT_EQ(page.m_FwMarks[2], 0);
  EXPECT_EQ(page.m_TesterFwText, "3.09");
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].text, "Error: T_x08 !\nTesters_1, need update new firmware after V3.09\n");
}

// ---- records and counts ----

TEST_F(FirstDisplay, ClearRecordZeroesTheCountsAndTheTotalLog) {
  page_.OnInitDialog();
  page_.OnClearRecord();  // before any run: no Total log is written
  EXPECT_EQ(Counts(), "0/0/0");
  EXPECT_FALSE(Exists(".\\W01_PC7\\Total_QC.log"));
  page_.m_TotalLogPath = ".\\W01_PC7\\Total_QC.log";
  page_.OnClearRecord();  // a log removed since: zeros alone would be a log without its header
  EXPECT_FALSE(Exists(".\\W01_PC7\\Total_QC.log"));
  SetIni(".\\W01_PC7\\Total_QC.log", "Total Results", "Good", "5");
  page_.OnClearRecord();
  EXPECT_EQ(win::GetPrivateProfileString("Total Results", "Good", "", ".\\W01_PC7\\Total_QC.log"), "0");
}

TEST_F(FirstDisplay, CardCountsReplaceTheWholeFile) {
  page_.m_CountFilePath = ".\\count.txt";
  page_.WriteCardCounts("1", "1", "0");  // no file: nothing made
  EXPECT_FALSE(Exists(".\\count.txt"));
  std::ofstream(Native(".\\count.txt")) << std::string(200, 'z');
  page_.WriteCardCounts("12", "10", "2");
  EXPECT_EQ(ReadAll(".\\count.txt"), "Total Card :: 12\r\nGood Card  :: 10\r\nBad Card   :: 2\r\n");
}

TEST_F(FirstDisplay, ReloadCopiesTheChosenFileAndResetsTheLastSerialNumber) {
  page_.OnInitDialog();
  SetIni(".\\W01_PC7\\SATA_RecordSN.ini", "Serial Number", "Last Serial Number", "SN00000009");
  MakeDirs(".\\new");
  SetIni(".\\new\\p2.ini", "General Info", "ModelName", "M2");
  services_.chosen = Native(".\\new\\p2.ini");
  page_.OnReloadParam();
  EXPECT_EQ(services_.boxes.back().text, "Load file Success !!!");
  EXPECT_EQ(win::GetPrivateProfileString("General Info", "ModelName", "", ".\\param.ini"), "M2");
  EXPECT_EQ(page_.InfoLines().at(3), "(3) Model Name : M2\n");
  EXPECT_EQ(win::GetPrivateProfileString("Serial Number", "Last Serial Number", "?", ".\\W01_PC7\\SATA_RecordSN.ini"),
            "");
}

TEST_F(FirstDisplay, AFailedReloadKeepsTheParameterFile) {
  page_.OnInitDialog();
  services_.chosen = Native(".\\missing.ini");
  page_.OnReloadParam();
  ASSERT_EQ(services_.boxes.size(), 1u);
  EXPECT_EQ(services_.boxes[0].text, "Load file Fail !!!");
  EXPECT_EQ(win::GetPrivateProfileString("Device Info", "ControllerType", "", ".\\param.ini"), "KX7410");
}

TEST_F(FirstDisplay, ReloadOfTheParameterFileItselfCopiesNothing) {
  page_.OnInitDialog();
  MakeDirs(".\\sub");
  const std::string folder = std::filesystem::current_path().string();
  // However the file dialog spells it: as Windows compares file names.
  const std::string spellings[] = {page_.m_ParamPath, folder + "/param.ini", folder + "/PARAM.INI",
                                   folder + "/sub/../param.ini", folder + "/./param.ini", folder + "\\param.ini"};
  for (const std::string& chosen : spellings) {
    SCOPED_TRACE(chosen);
    services_.boxes.clear();
    services_.chosen = chosen;
    page_.OnReloadParam();
    EXPECT_TRUE(services_.boxes.empty());
    EXPECT_EQ(page_.InfoLines().at(2), "(2) Controller Type : KX7410\n");
  }
}

}  // namespace
