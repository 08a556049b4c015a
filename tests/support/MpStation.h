// The MP station as the tests that run MP passes set it up: the tool's, the
// product's and the flash maker's keys, the MP image, and a small drive that
// finished its RDT run.
#pragma once
#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "emulator/DriveConfig.h"
#include "tests/media/FirmwareFiles.h"

namespace kxtest {

using kxtools::MpImage;  // the image the demo's site loads too

// The station, the keys an MP pass on MpDrive() needs, and the image installed.
inline void InstallMpStation() {
  const char tool[] = ".\\Configuration\\System\\MPToolSetting.ini";
  for (auto [file, section, key, value] : std::initializer_list<std::array<const char*, 4>>{
           {tool, "General Info", "TestStation", "MP"},
           {tool, "General Info", "IniFilePath", "FT_B0KB_S2_C2_.ini"},  // the table's MP BIN type 7312
           {".\\param.ini", "Options", "DDRSize", "4"},
           {".\\param.ini", "Options", "Set Firmware Name", "QVF10001"},
           {".\\param.ini", "Options", "SetSSDSize", "1"},
           {".\\paramFDB.ini", "Flash Info", "Flh_ID", "2c 84 64 3c a5 08 04"},
           {".\\paramFDB.ini", "Flash Info", "Flh_Number", "8"},
           {".\\paramFDB.ini", "Flash Info", "Flh_MPBinType", "7312"},
           {".\\paramFDB.ini", "Options", "SetSSDSize", "1"}})
    ASSERT_TRUE(win::WritePrivateProfileString(section, key, value, file));
  InstallBin(MpImage());
}

// A 1 GB drive running its RDT firmware after a complete RDT run (bad-block
// table and RDT info on it), with a small flash and DRAM.
inline emu::DriveConfig MpDrive() {
  emu::DriveConfig c;
  c.initialCode = emu::RunningCode::RomRdt;
  c.blocksPerPlane = 64, c.dramLog2Mb = 2, c.eraseMs = 200, c.capacitySectors = 1974672;  // 1 GB by IDEMA
  c.fuseWord2 = 0x45123456, c.fuseWord3 = 0x15;  // a factory die identity: no field zero
  c.flashCode.assign(MpImage().begin() + kNormalCodeAt, MpImage().end());
  return c;
}

}  // namespace kxtest
