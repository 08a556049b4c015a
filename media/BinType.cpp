// Bin-type check: CheckBinType (the flash-maker parameter file's BIN type
// against the flash-type table) and LookupMpBinType (the flash database's MP
// BIN type of a flash ID). They read settings files only; no command is sent,
// so no emulator file answers them.
#include "media/BinType.h"

#include <algorithm>
#include <vector>

#include "device/Environment.h"
#include "device/PortDevice.h"
#include "device/Settings.h"
#include "media/FlashTypes.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace kx {

const char* const kBinTypeMarkers[kBinTypeMarkerCount] = {"_S0_",     "_S1_",     "_S2_C2_", "_S3_C1_", "_S3_C1S_",
                                                          "_S3_C2S_", "_S4_",     "_S5_",    "_S6_",    "_S7_"};

int GetBinTypeIndex(const std::string& text) {
  for (int i = 0; i < kBinTypeMarkerCount; ++i)
    if (text.find(kBinTypeMarkers[i]) != std::string::npos) return i;
  return 0;
}

void ForEachFlashEntry(const std::vector<std::string>& sections, int count, const std::function<bool(int)>& visit) {
  std::vector<int> entries;
  for (const std::string& name : sections) {
    if (name.size() < 5 || !platform::EqualsNoCase(name.substr(0, 4), "Flh_")) continue;
    const std::string digits = name.substr(4);
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const int n = std::stoi(digits);
    if (n < count && std::to_string(n) == digits) entries.push_back(n);
  }
  std::sort(entries.begin(), entries.end());
  for (const int n : entries)
    if (!visit(n)) return;
}

}  // namespace kx

namespace {

constexpr char kToolSettingIni[] = ".\\Configuration\\System\\MPToolSetting.ini";
constexpr char kFlashInfoIni[] = ".\\Configuration\\System\\FlashInfo.ini";
constexpr std::size_t kTextBuffer = 261;  // 260 characters

std::string ReadTrimmed(const char* section, const char* key, const char* file) {
  return kx::TrimBlanks(kx::ReadProfileText(section, key, file, kTextBuffer));
}

}  // namespace

std::uint8_t CPortDevice::CheckBinType(std::uint8_t rdt) {
  const int column = rdt != 0 ? 1 : 2;
  const std::string iniPath = ReadTrimmed("General Info", "IniFilePath", kToolSettingIni);
  const auto cut = iniPath.find_last_of('\\');
  const std::string fileName = cut == std::string::npos ? iniPath : iniPath.substr(cut + 1);
  const std::string indexText = std::to_string(kx::GetBinTypeIndex(fileName));
  const std::string declared =
      ReadTrimmed("Flash Info", rdt != 0 ? "Flh_RDTBinType" : "Flh_MPBinType", kx::ParamFdbIniPath().c_str());
  const std::string table = kx::FlashTypeBinType(kx::FindFlashTypeBlock(fileName), indexText, column);
  if (declared == table) return 1;
  WriteReport("INIBintype=" + declared + ", TableBintype=" + table, true);
  return 0;
}

std::string CPortDevice::LookupMpBinType(const std::string& flashIdText) {
  const int count = kx::ReadProfileInt("General Info", "TotalCount", 0, kFlashInfoIni);
  // A missing entry matches nothing.
  std::string found;
  kx::ForEachFlashEntry(win::GetPrivateProfileSectionNames(kFlashInfoIni), count, [&](int i) {
    const std::string section = "Flh_" + std::to_string(i);
    if (!platform::EqualsNoCase(ReadTrimmed(section.c_str(), "Flh_ID", kFlashInfoIni), flashIdText)) return true;
    found = ReadTrimmed(section.c_str(), "Flh_MPBinType", kFlashInfoIni);
    return false;
  });
  return found;
}
