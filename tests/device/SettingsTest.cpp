#include "device/Settings.h"

#include <cstdlib>

#include "tests/support/ScratchFolder.h"

namespace {

const char kTool[] = ".\\Configuration\\System\\MPToolSetting.ini";
const char kSys[] = ".\\Configuration\\System\\";

class SettingsReaders : public kxtest::DeviceTestEnv {
 protected:
  void SetUp() override {
    MakeDirs(".\\Configuration\\System");
    MakeDirs(".\\Configuration\\Flash Map Cfg");
  }
  void Tool(const char* key, const std::string& value) { SetIni(kTool, "General Info", key, value); }
};

TEST_F(SettingsReaders, StationNamesMatchExactlyInTableOrder) {
  EXPECT_EQ(kx::GetTestStation(), 1);  // nothing set
  const std::pair<const char*, int> cases[] = {
      {"RDTResult", 2}, {"CSB", 2},     {"0MB", 2},       {"MP", 3},      {"EraseAll", 0},  {"ReRDT", 7},
      {"RDT", 1},       {"QC", 5},      {"FQC", 5},       {"EraseMP", 4}, {"UpdateFW", 6},  {"SortMP", 8},
      {"SortRDT", 9},   {"RMADBG", 10}, {"rdt", 1},       {"Unknown", 1}, {"\" MP \"", 3},  // trimmed after the read
      {"RMADBG0123", 1},  // at most 9 characters are read: "RMADBG012"
      {"RDTResult2", 2}, {"MP       X", 3}};
  for (const auto& [name, station] : cases) {
    Tool("TestStation", name);
    EXPECT_EQ(kx::GetTestStation(), station) << name;
  }
  EXPECT_EQ(kx::GetStationFolderName(0), "01_EraseAll");
  EXPECT_EQ(kx::GetStationFolderName(10), "11_RMADBG");
  EXPECT_EQ(kx::GetStationFolderName(11), "04_MP");
  EXPECT_EQ(kx::GetStationFolderName(-1), "04_MP");
}

TEST_F(SettingsReaders, ModuleFolderIsTheProgramsFolder) {
  const std::string folder = kx::GetModuleFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), '/');
  EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST_F(SettingsReaders, LanguageFileBySettingElseBySystemLanguage) {
  const char* old = std::getenv("LANG");
  const std::string saved = old ? old : "";
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"2", "de_DE.UTF-8", "CHS"}, {"3", "de_DE.UTF-8", "CHT"}, {"1", "zh_CN.UTF-8", "ENG"},
      {"0", "zh_CN.UTF-8", "CHS"}, {"0", "zh_TW.UTF-8", "CHT"}, {"0", "de_DE.UTF-8", "ENG"}};
  for (const auto& [language, lang, file] : cases) {
    Tool("Language", language);
    ::setenv("LANG", lang, 1);
    EXPECT_EQ(kx::GetLanguageIniPath(), std::string(kSys) + file + ".ini") << language << " " << lang;
  }
  if (old) ::setenv("LANG", saved.c_str(), 1); else ::unsetenv("LANG");
}

TEST_F(SettingsReaders, FlashMapCeAndCeTypeMask) {
  SetIni(".\\Configuration\\Flash Map Cfg\\B1.ini", "F2", "CE3", "  0x0F ");
  Tool("BoardType", "B1");
  EXPECT_EQ(kx::GetFlashMapCe(3), "");  // FlashNo empty
  Tool("FlashNo", "F2");
  EXPECT_EQ(kx::GetFlashMapCe(3), "0x0F");
  EXPECT_EQ(kx::GetFlashMapCe(4), "");

  const char* file = ".\\Configuration\\Flash Map Cfg\\types.ini";
  Tool("FlashTypeFile", "types.ini");
  EXPECT_EQ(kx::GetFlashCeTypeMask(), 0);  // no FlashCEType
  Tool("FlashCEType", "T");
  // The scan goes in CE-number order and ends at the first item closed by ';'.
  const std::pair<const char*, int> cases[] = {{"CE0,CE1,CE2;", 0x7}, {"CE4;CE5,", 0x10}, {"CE1", 0}};
  for (const auto& [value, mask] : cases) {
    SetIni(file, "T", "CE0", value);
    EXPECT_EQ(kx::GetFlashCeTypeMask(), mask) << value;
  }
  SetIni(file, "T", "CE0", "CE15,");
  SetIni(file, "T", "CE3", "CE8;");
  EXPECT_EQ(kx::GetFlashCeTypeMask(), 0x8100);  // the four types are ORed
}

TEST_F(SettingsReaders, EraseTypeFromPretestStationAndDebugOverride) {
  const std::tuple<const char*, const char*, int> cases[] = {
      {"0", "QC", 0}, {"0", "MP", 1}, {"0", "SortRDT", 5}, {"0", "EraseAll", 9}, {"1", "QC", 5}, {"3", "EraseAll", 1}};
  for (const auto& [pretest, station, type] : cases) {
    SetIni(".\\param.ini", "Options", "Pretest", pretest);
    Tool("TestStation", station);
    EXPECT_EQ(kx::GetEraseType(), type) << pretest << " " << station;
  }
  SetIni(".\\Configuration\\System\\Debug.ini", "DEBUG", "EraseType", "3");
  SetIni(".\\param.ini", "Options", "Pretest", "2");
  EXPECT_EQ(kx::GetEraseType(), 3);
}

TEST_F(SettingsReaders, BinFilePathsByKind) {
  const char* paths = ".\\Configuration\\System\\STRBinPath.ini";
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_MPBinType", "MPB");
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_RDTBinType", "RDB");
  SetIni(paths, "RUN_FW", "MPB", " fw\\mp.bin ");
  SetIni(paths, "RDT_FW", "RDB", "fw\\rdt.bin");
  SetIni(paths, "RDT_FW", "XYZ", "fw\\xyz.bin");
  EXPECT_EQ(kx::GetBinFilePaths("", 0), "fw\\mp.bin");
  EXPECT_EQ(kx::GetBinFilePaths("", 1), "fw\\rdt.bin");
  EXPECT_EQ(kx::GetBinFilePaths("", 2), "");  // Flash2ndMPBinType not set
  EXPECT_EQ(kx::GetBinFilePaths("", 7), "");
  EXPECT_EQ(kx::GetBinFilePaths("XYZ", 7), "fw\\xyz.bin");
}

}  // namespace
