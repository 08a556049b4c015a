// The settings and firmware a QC run needs on an emulated drive that has been
// through MP: the station, the firmware name, the flash and its image. For
// tests in a scratch folder (DeviceTestEnv).
#pragma once
#include <array>
#include <initializer_list>
#include <vector>

#include "platform/Profile.h"
#include "tests/media/FirmwareFiles.h"

namespace kxtest {

inline const std::vector<std::uint8_t>& QcImage() {
  static const std::vector<std::uint8_t> image = NamedImage("QVF10001", 16384 + 1024);
  return image;
}

// MPToolSetting's station, param.ini and paramFDB.ini for QC, and the MP image.
inline void PrepareQcStation() {
  std::filesystem::create_directories(platform::MapPath(".\\Configuration\\System"));
  for (auto [file, section, key, value] : std::initializer_list<std::array<const char*, 4>>{
           {".\\Configuration\\System\\MPToolSetting.ini", "General Info", "TestStation", "QC"},
           {".\\param.ini", "Options", "Set Firmware Name", "QVF10001"},
           {".\\paramFDB.ini", "Flash Info", "Flh_ID", "2c 84 64 3c a5 08 04"},
           {".\\paramFDB.ini", "Flash Info", "Flh_Number", "8"},
           {".\\paramFDB.ini", "Flash Info", "Flh_MPBinType", "B312"},  // the RDT firmware's plane digit
           {".\\paramFDB.ini", "Options", "SetSSDSize", "1"}})
    win::WritePrivateProfileString(section, key, value, file);
  InstallBin(QcImage());
}

}  // namespace kxtest
