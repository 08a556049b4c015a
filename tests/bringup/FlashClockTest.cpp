// The clock level table and interface value as plain values; SelectFlashClock
// and SelectFlashInterface against settings on an emulated station.
#include <gtest/gtest.h>

#include "bringup/FlashClock.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using Keys = std::vector<std::pair<const char*, const char*>>;

TEST(FlashClockRules, LevelsAndInterface) {
  const int mhz[] = {50, 83, 100, 133, 166, 200, 266, 0, 120}, level[] = {3, 4, 5, 9, 6, 7, 8, -1, -1};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(kx::ClockLevel(mhz[i]).value_or(-1), level[i]) << mhz[i] << " MHz";
  const int toggle2[] = {3, 3, 2, 2, 0, 0, 7}, flag[] = {0, 1, 0, 1, 0, 1, 1}, value[] = {1, 1, 2, 4, 3, 5, 5};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(kx::FlashInterfaceValue(toggle2[i], flag[i]), value[i]) << "row " << i;
}

using FlashClock = kxtest::DeviceTestEnv;

// Per row a fresh [Options] (capacity settings give 240 GB); 8 CEs of the first exception flash.
TEST_F(FlashClock, LevelsByFamilyExceptionAndTables) {
  const struct {
    Keys keys; int rdt, level; const char* line; bool tlc = true; int ces = 8; const char* id = "89 cc f9 32 aa 01 00";
  } rows[] = {
      {{}, 1, 5, ""}, {{{"MPClock", "100"}}, 0, 5, ""}, {{}, 0, 6, "   B0KB 8CE up, Change Clock to 6 \r\n"},
      {{{"RDTClock", "120"}, {"Level_1_CERDTClock", "100"}, {"Level_1_RDTCE", "4"}, {"Level_2_CERDTClock", "266"},
        {"Level_2_RDTCE", "2, 8"}}, 1, 8, "   Level_2_CERDTClock=266, Level_2_RDTCE=8 \r\n"},
      {{{"Level_1_CERDTClock", "9"}, {"Level_3_CERDTClock", "50"}, {"Level_3_RDTCE", "8"}}, 1, 5, ""},
      {{{"MPClock", "266"}}, 0, 6, "B0KB", true, 8, "2c cc f9 32 aa 04 00"},
      {{}, 0, 7, "", false}, {{}, 0, 7, "", true, 7}, {{}, 0, 7, "", true, 8, "98 3a 98 a3 76 51 00"},
      {{{"Level_1_Clock", "133"}, {"Level_1_Cap", "120 240"}}, 0, 9, "   Level_1_Clock=133, Level_1_Cap=240 \r\n"},
      {{{"Level_1_Clock", "133"}, {"Level_1_Cap", "240"}, {"SetSSDSize", "480"}}, 0, 6, "B0KB"},
      {{{"Level_1_Clock", "133"}, {"Level_1_Cap", "240"}, {"Level_1_CEClock", "50"}, {"Level_1_CE", "8"}}, 0, 3,
       "Level_1_CEClock=50, Level_1_CE=8"}};
  const Keys kCapacity = {{"AutoCapacity_SizeArray", "240"}, {"AutoCapacity_MaxBadPercent_8CE", "5"}};
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_SingleCE_Capacity", "32768");
  kxtest::EmulatedStation station(kxtest::Mode::TesterDirect);
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "row " << (&r - rows));
    win::WritePrivateProfileString("Options", nullptr, nullptr, ".\\paramFDB.ini");
    for (const Keys& keys : {r.keys, kCapacity})
      for (const auto& [key, value] : keys) SetIni(".\\paramFDB.ini", "Options", key, value);
    CPortDevice& d = station.NewDevice();
    d.m_IsTlcFlash = r.tlc, d.m_FlashCount = r.ces, d.m_FlashIdText = r.id, d.m_PhysicalSize = 262144;
    const std::string lines = Appended("D:\\Log\\D_Reports\\PC_1_Report.txt", [&] {
      EXPECT_EQ(d.SelectFlashClock(static_cast<std::uint8_t>(r.rdt)), r.level);
    });
    EXPECT_EQ(*r.line ? kxtest::Has(lines, r.line) : lines.empty(), true) << lines;
  }
  SetIni(".\\paramFDB.ini", "Options", "EnableToggle2", "2");
  EXPECT_EQ(station.Device().SelectFlashInterface(0), 2);
  station.Device().m_ToggleFlagB = true;
  EXPECT_EQ(station.Device().SelectFlashInterface(1), 4);
}

}  // namespace
