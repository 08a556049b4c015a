#include "device/Settings.h"

#include <cstdlib>

#include "TestEnv.h"

namespace {

const char kTool[] = ".\\Configuration\\System\\MPToolSetting.ini";

class SettingsReaders : public DeviceTestEnv {
 protected:
  void SetUp() override {
    DeviceTestEnv::SetUp();
    MakeDirs(".\\Configuration\\System");
    MakeDirs(".\\Configuration\\Flash Map Cfg");
  }
  void Station(const std::string& name) { SetIni(kTool, "General Info", "TestStation", name); }
};

TEST_F(SettingsReaders, StationNamesMatchExactlyInTableOrder) {
  EXPECT_EQ(GetTestStation(), 1);  // nothing set
  const std::pair<const char*, int> cases[] = {
      {"RDTResult", 2}, {"CSB", 2},     {"0MB", 2},    {"MP", 3},     {"EraseAll", 0}, {"ReRDT", 7},
      {"RDT", 1},       {"QC", 5},      {"FQC", 5},    {"EraseMP", 4}, {"UpdateFW", 6}, {"SortMP", 8},
      {"SortRDT", 9},   {"RMADBG", 10}, {"rdt", 1},    {"mp", 1},     {"Unknown", 1}};
  for (const auto& [name, station] : cases) {
    Station(name);
    EXPECT_EQ(GetTestStation(), station) << name;
  }
  Station("\" MP \"");  // quoted blanks survive the profile read; the reader trims them
  EXPECT_EQ(GetTestStation(), 3);
  Station("RMADBG0123");  // at most 9 characters are read: "RMADBG012"
  EXPECT_EQ(GetTestStation(), 1);
}

TEST_F(SettingsReaders, ModuleFolderIsTheProgramsFolder) {
  const std::string folder = GetModuleFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), '/');
  EXPECT_NE(folder.back(), '\\');
  EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST_F(SettingsReaders, StationFolderNames) {
  EXPECT_EQ(GetStationFolderName(0), "01_EraseAll");
  EXPECT_EQ(GetStationFolderName(3), "04_MP");
  EXPECT_EQ(GetStationFolderName(10), "11_RMADBG");
  EXPECT_EQ(GetStationFolderName(11), "04_MP");
  EXPECT_EQ(GetStationFolderName(-1), "04_MP");
}

TEST_F(SettingsReaders, LanguageFileBySetting) {
  SetIni(kTool, "General Info", "Language", "2");
  EXPECT_EQ(GetLanguageIniPath(), ".\\Configuration\\System\\CHS.ini");
  SetIni(kTool, "General Info", "Language", "3");
  EXPECT_EQ(GetLanguageIniPath(), ".\\Configuration\\System\\CHT.ini");
  SetIni(kTool, "General Info", "Language", "1");
  EXPECT_EQ(GetLanguageIniPath(), ".\\Configuration\\System\\ENG.ini");
}

TEST_F(SettingsReaders, LanguageFileBySystemLanguageWhenNotSet) {
  const char* old = std::getenv("LANG");
  const std::string saved = old ? old : "";
  SetIni(kTool, "General Info", "Language", "0");
  ::setenv("LANG", "zh_CN.UTF-8", 1);
  EXPECT_EQ(GetLanguageIniPath(), ".\\Configuration\\System\\CHS.ini");
  ::setenv("LANG", "zh_TW.UTF-8", 1);
  EXPECT_EQ(GetLanguageIniPath(), ".\\Configuration\\System\\CHT.ini");
  ::setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(GetLanguageIniPath(), ".\\Configuration\\System\\ENG.ini");
  if (old) ::setenv("LANG", saved.c_str(), 1); else ::unsetenv("LANG");
}

TEST_F(SettingsReaders, FlashMapCeNeedsBoardAndFlashNumber) {
  SetIni(".\\Configuration\\Flash Map Cfg\\B1.ini", "F2", "CE3", "  0x0F ");
  EXPECT_EQ(GetFlashMapCe(3), "");
  SetIni(kTool, "General Info", "BoardType", "B1");
  EXPECT_EQ(GetFlashMapCe(3), "");  // FlashNo empty
  SetIni(kTool, "General Info", "FlashNo", "F2");
  EXPECT_EQ(GetFlashMapCe(3), "0x0F");
  EXPECT_EQ(GetFlashMapCe(4), "");
}

TEST_F(SettingsReaders, CeTypeMaskScansInCeOrderAndStopsAtSemicolon) {
  const char* file = ".\\Configuration\\Flash Map Cfg\\types.ini";
  SetIni(kTool, "General Info", "FlashTypeFile", "types.ini");
  EXPECT_EQ(GetFlashCeTypeMask(), 0);  // no FlashCEType
  SetIni(kTool, "General Info", "FlashCEType", "T");
  SetIni(file, "T", "CE0", "CE0,CE1,CE2;");
  EXPECT_EQ(GetFlashCeTypeMask(), 0x0007);
  SetIni(file, "T", "CE0", "CE4;CE5,");
  EXPECT_EQ(GetFlashCeTypeMask(), 0x0010);
  SetIni(file, "T", "CE0", "CE1");
  EXPECT_EQ(GetFlashCeTypeMask(), 0);
  SetIni(file, "T", "CE0", "CE15,");
  SetIni(file, "T", "CE3", "CE8;");
  EXPECT_EQ(GetFlashCeTypeMask(), 0x8100);  // masks of the four types are ORed
}

TEST_F(SettingsReaders, EraseTypeFromPretestStationAndDebugOverride) {
  Station("QC");
  EXPECT_EQ(GetEraseType(), 0);
  Station("MP");
  EXPECT_EQ(GetEraseType(), 1);
  Station("SortRDT");
  EXPECT_EQ(GetEraseType(), 5);
  Station("EraseAll");
  EXPECT_EQ(GetEraseType(), 9);
  SetIni(".\\param.ini", "Options", "Pretest", "1");
  EXPECT_EQ(GetEraseType(), 5);
  SetIni(".\\param.ini", "Options", "Pretest", "3");
  EXPECT_EQ(GetEraseType(), 1);
  SetIni(".\\Configuration\\System\\Debug.ini", "DEBUG", "EraseType", "3");
  Station("QC");
  SetIni(".\\param.ini", "Options", "Pretest", "0");
  EXPECT_EQ(GetEraseType(), 3);
}

TEST_F(SettingsReaders, BinFilePathsByKind) {
  const char* paths = ".\\Configuration\\System\\STRBinPath.ini";
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_MPBinType", "MPB");
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_RDTBinType", "RDB");
  SetIni(paths, "RUN_FW", "MPB", " fw\\mp.bin ");
  SetIni(paths, "RDT_FW", "RDB", "fw\\rdt.bin");
  SetIni(paths, "RDT_FW", "XYZ", "fw\\xyz.bin");
  EXPECT_EQ(GetBinFilePaths("", 0), "fw\\mp.bin");
  EXPECT_EQ(GetBinFilePaths("", 1), "fw\\rdt.bin");
  EXPECT_EQ(GetBinFilePaths("", 2), "");  // Flash2ndMPBinType not set
  EXPECT_EQ(GetBinFilePaths("", 7), "");
  EXPECT_EQ(GetBinFilePaths("XYZ", 7), "fw\\xyz.bin");
}

}  // namespace
