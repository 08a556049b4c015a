#include "device/Settings.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "device/Environment.h"

namespace kx {
namespace {

const char kToolSetting[] = ".\\Configuration\\System\\MPToolSetting.ini";
const char kFlashMapFolder[] = ".\\Configuration\\Flash Map Cfg\\";

}  // namespace

std::string TrimBlanks(const std::string& text) {
  const char* blanks = " \t";
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

namespace {

// The stations by number: the name the program shows and writes, and the other
// TestStation texts that select the same station.
const struct {
  const char* name;
  const char* aliases[2];
} kStations[] = {{"EraseAll", {}}, {"RDT", {}},     {"RDTResult", {"CSB", "0MB"}},
                 {"MP", {}},       {"EraseMP", {}}, {"QC", {"FQC"}},
                 {"UpdateFW", {}}, {"ReRDT", {}},   {"SortMP", {}},
                 {"SortRDT", {}},  {"RMADBG", {}}};

// The station a TestStation text names; -1 for a text that names none.
int StationOfName(const std::string& name) {
  for (int station = 0; station < static_cast<int>(std::size(kStations)); ++station) {
    const auto& s = kStations[station];
    if (name == s.name) return station;
    for (const char* alias : s.aliases)
      if (alias != nullptr && name == alias) return station;
  }
  return -1;
}

// TestStation as the reader sees it: what a 10-character buffer holds, trimmed.
std::string TestStationText() {
  return TrimBlanks(ReadProfileText("General Info", "TestStation", kToolSetting, 10));
}

}  // namespace

int GetTestStation() {
  const int station = StationOfName(TestStationText());
  return station < 0 ? 1 : station;
}

bool TestStationNamed() {
  // A longer text is cut by the read and may then match ("RDTResult2" reads as
  // "RDTResult"): it names no station, though the cut one runs.
  const std::string read = TestStationText();
  return StationOfName(read) >= 0 &&
         read == TrimBlanks(ReadProfileText("General Info", "TestStation", kToolSetting, 260));
}

const char* StationName(int station) {
  return station >= 0 && station < static_cast<int>(std::size(kStations)) ? kStations[station].name : "unKnown";
}

std::string GetModuleFolder() {
  const std::string file = ModuleFileName();
  const auto cut = file.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : file.substr(0, cut);
}

std::string GetLanguageIniPath() {
  const char* eng = ".\\Configuration\\System\\ENG.ini";
  const char* chs = ".\\Configuration\\System\\CHS.ini";
  const char* cht = ".\\Configuration\\System\\CHT.ini";
  switch (ReadProfileInt("General Info", "Language", 0, kToolSetting)) {
    case 1: return eng;
    case 2: return chs;
    case 3: return cht;
    default: break;
  }
  switch (SystemDefaultLangId()) {
    case 1028: return cht;
    case 2052: return chs;
    default: return eng;
  }
}

std::string GetFlashMapCe(std::uint16_t ce) {
  const std::string board = TrimBlanks(ReadProfileText("General Info", "BoardType", kToolSetting, 260));
  if (board.empty()) return {};
  const std::string file = std::string(kFlashMapFolder) + board + ".ini";
  const std::string flashNo = TrimBlanks(ReadProfileText("General Info", "FlashNo", kToolSetting, 260));
  if (flashNo.empty()) return {};
  char key[16];
  std::snprintf(key, sizeof key, "CE%d", ce);
  return TrimBlanks(ReadProfileText(flashNo.c_str(), key, file.c_str(), 260));
}

std::uint16_t GetFlashCeTypeMask() {
  const std::string typeFile = TrimBlanks(ReadProfileText("General Info", "FlashTypeFile", kToolSetting, 260));
  if (typeFile.empty()) return 0;
  const std::string file = std::string(kFlashMapFolder) + typeFile;
  const std::string section = TrimBlanks(ReadProfileText("General Info", "FlashCEType", kToolSetting, 260));
  if (section.empty()) return 0;
  std::uint16_t result = 0;
  for (int t = 0; t < 4; ++t) {
    char key[16];
    std::snprintf(key, sizeof key, "CE%d", t);
    const std::string value = TrimBlanks(ReadProfileText(section.c_str(), key, file.c_str(), 260));
    std::uint16_t mask = 0;
    for (int c = 0; c < 16 && !value.empty(); ++c) {
      char item[16];
      std::snprintf(item, sizeof item, "CE%d,", c);
      if (value.find(item) != std::string::npos) {
        mask |= static_cast<std::uint16_t>(1u << c);
        continue;
      }
      std::snprintf(item, sizeof item, "CE%d;", c);
      if (value.find(item) != std::string::npos) {
        mask |= static_cast<std::uint16_t>(1u << c);
        break;  // a semicolon closes the list
      }
    }
    result |= mask;
  }
  return result;
}

std::string GetStationFolderName(int station) {
  static const char* const kFolders[] = {"01_EraseAll", "02_RDT",    "03_RDTResult", "04_MP",
                                         "05_EraseMP",  "06_QC",     "07_UpdateFW",  "08_ReRDT",
                                         "09_SortMP",   "10_SortRDT", "11_RMADBG"};
  if (station < 0 || station > 10) return "04_MP";
  return kFolders[station];
}

int GetEraseType() {
  int type = -1;
  switch (ReadProfileInt("Options", "Pretest", 0, SettingIniPath().c_str())) {
    case 1: type = 5; break;
    case 2: type = 9; break;
    case 3: type = 1; break;
    case 4: type = 9; break;
    default: break;
  }
  if (type < 0) {
    switch (GetTestStation()) {
      case 0: case 1: case 4: type = 9; break;
      case 3: case 7: type = 1; break;
      case 8: case 9: type = 5; break;
      default: type = 0; break;
    }
  }
  const int debugType = ReadProfileInt("DEBUG", "EraseType", 0, ".\\Configuration\\System\\Debug.ini");
  return debugType != 0 ? debugType : type;
}

std::string GetBinFilePaths(const std::string& binType, int kind) {
  std::string type = binType;
  if (type.empty()) {
    static const char* const kKeys[] = {"Flh_MPBinType", "Flh_RDTBinType", "Flash2ndMPBinType",
                                        "Flash2ndRDTBinType"};
    if (kind < 0 || kind > 3) return {};
    type = TrimBlanks(ReadProfileText("Flash Info", kKeys[kind], ParamFdbIniPath().c_str(), 260));
  }
  if (type.empty()) return {};
  const char* section = (kind == 0 || kind == 2) ? "RUN_FW" : "RDT_FW";
  return TrimBlanks(
      ReadProfileText(section, type.c_str(), ".\\Configuration\\System\\STRBinPath.ini", 260));
}

}  // namespace kx
