// The legacy page's keys, run controls, parameter-file choice, serial range
// and tester probes.
#include "platform/Profile.h"
#include "tests/legacy/FakePage.h"

namespace {

using legacy::KeyEvent;
using legacy::TesterProbe;

class Controls : public kxtest::PageTest {
 protected:
  legacy::CFirstPropertyPage page_{view_, services_};
};

TEST_F(Controls, KeyRules) {
  const struct {
    KeyEvent event;
    bool consumed;
    int runs;  // run procedures entered (each refreshes the page before its checks)
  } rows[] = {{{KeyEvent::KeyDown, legacy::kKeyEscape}, true, 0},
              {{KeyEvent::KeyUp, legacy::kKeyEscape}, false, 0},
              {{KeyEvent::KeyDown, legacy::kKeyF8}, false, 0},
              {{KeyEvent::KeyUp, legacy::kKeyF8}, false, 1},
              {{KeyEvent::KeyUp, legacy::kKeyF4}, false, 1},
              {{KeyEvent::KeyUp, 'A'}, false, 0}};
  std::filesystem::remove(Native(".\\param.ini"));  // a run stops at its first check
  for (const auto& r : rows) {
    services_.boxes.clear();
    EXPECT_EQ(page_.PreTranslateKey(r.event), r.consumed) << r.event.key;
    EXPECT_EQ(static_cast<int>(services_.boxes.size()), r.runs) << r.event.key;
  }
}

TEST_F(Controls, EnableLeavesTheComboDisabledWhileLocked) {
  view_.checked.insert(legacy::kIdLock);
  page_.EnableRunControls();
  EXPECT_FALSE(view_.enabled.at(legacy::kIdParamCombo));
  EXPECT_TRUE(view_.enabled.at(legacy::kIdLock));
  EXPECT_TRUE(view_.enabled.at(legacy::kIdBadBlock));
  page_.m_LockHold = 1;
  page_.DisableRunControls();
  page_.EnableRunControls();
  EXPECT_FALSE(view_.enabled.at(legacy::kIdLock));
}

TEST_F(Controls, ParameterFileList) {
  SetIni(".\\PARAM.ini", "A", "B", "C");  // param.ini in another case: one file
  SetIni(".\\b.INI", "A", "B", "C");
  page_.FillParamFileList();
  EXPECT_EQ(view_.combo, std::vector<std::string>{"b.INI"});
  std::filesystem::remove(Native(".\\b.INI"));
  page_.FillParamFileList();
  EXPECT_TRUE(view_.combo.empty());
}

TEST_F(Controls, AFolderWithoutIniFilesKeepsTheCombo) {
  std::filesystem::remove(Native(".\\param.ini"));
  view_.combo = {"old.ini"};
  page_.FillParamFileList();
  EXPECT_EQ(view_.combo, std::vector<std::string>{"old.ini"});
  EXPECT_TRUE(page_.ParamFiles().empty());
}

TEST_F(Controls, ChoosingAFileReplacesTheParameterFile) {
  page_.OnInitDialog();
  SetIni(".\\p2.ini", "General Info", "ModelName", "M2");
  view_.selection = " p2.ini ";
  page_.OnSelchangeParamFile();
  EXPECT_EQ(win::GetPrivateProfileString("General Info", "ModelName", "", ".\\param.ini"), "M2");
  EXPECT_EQ(page_.InfoLines().at(3), "(3) Model Name : M2\n");
  view_.selection = "gone.ini";
  page_.OnSelchangeParamFile();
  EXPECT_EQ(win::GetPrivateProfileString("General Info", "ModelName", "", ".\\param.ini"), "M2");
  ASSERT_EQ(services_.boxes.size(), 1u);
  EXPECT_EQ(services_.boxes[0].text, "Load file Fail !!!");
}

TEST_F(Controls, SerialRange) {
  MakeDirs(".\\L");
  page_.m_LogFolder = ".\\L";
  const struct {
    const char *start, *last, *range;
  } rows[] = {{"ABCDEFGHIJKL00000001", "ABCDEFGHIJKL00000100", "ABCDEFGHIJKLABCDEFGHIJKL00000001 ~ 00000099"},
              {"S1", "ABCDEFGHIJKL00000000", "ABCDEFGHIJKLS1 ~ -0000001"},
              {"", "", " ~ "}};
  for (const auto& r : rows) {
    SetIni(".\\L\\SATA_RecordSN.ini", "Serial Number", "Start Serial Number", r.start);
    SetIni(".\\L\\SATA_RecordSN.ini", "Serial Number", "Last Serial Number", r.last);
    page_.ShowSerialRange();
    EXPECT_EQ(page_.SerialRangeText(), r.range);
  }
}

TEST_F(Controls, ProbesKeepTheKindAndThePageByteOfNewTesters) {
  const struct {
    int kind;
    const char* version;
    bool stored;
  } rows[] = {{4, "3.02", false}, {4, "3.03", true}, {3, "3.03", false}, {4, "10.03", true}, {4, "2.10", false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.version);
    page_.m_TesterPageBytes[5] = 0;
    services_.infoProbe = [&](int, int) { return TesterProbe{true, r.kind, r.version, 0x77}; };
    EXPECT_TRUE(page_.ProbeTesterInfo(5, 5));
    EXPECT_EQ(page_.m_TesterKinds[5], r.kind);
    EXPECT_EQ(page_.m_TesterPageBytes[5], r.stored ? 0x77 : 0);
  }
}

TEST_F(Controls, AFailedFirmwareProbeKeepsTheKindButNotTheVersion) {
  page_.m_TesterFwText = "3.09";
  services_.firmwareProbe = [](int, int) { return TesterProbe{false, 4, "3.01", 0}; };
  EXPECT_FALSE(page_.ProbeTesterFirmware(2, 2));
  EXPECT_EQ(page_.m_TesterKinds[2], 4);
  EXPECT_EQ(page_.m_TesterFwText, "3.09");
}

}  // namespace
