// The bin-type check against the parameter files, and the flash database lookup.
#include <gtest/gtest.h>

#include "device/PortDevice.h"
#include "media/BinType.h"
#include "platform/Profile.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

class BinTypeCheck : public kxtest::DeviceTestEnv {};

TEST_F(BinTypeCheck, AgainstTableAndFlashDatabase) {
  kxtest::EmulatedStation s(kxtest::Mode::TesterDirect);
  CPortDevice& d = s.Device();
  MakeDirs(".\\Configuration\\System");
  SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "IniFilePath", "D:\\Ini\\Kx_B16A_S2_C2_.ini");
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_MPBinType", "8312");
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_RDTBinType", "7311");
  EXPECT_EQ(d.CheckBinType(0), 1);
  EXPECT_EQ(d.CheckBinType(1), 0);
  EXPECT_TRUE(kxtest::Has(PortReport(), "   INIBintype=7311, TableBintype=7312 \r\n"));
  EXPECT_EQ(d.m_ErrorCode, "");
  SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "IniFilePath", "Unknown.ini");
  EXPECT_EQ(d.CheckBinType(0), 0);
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_MPBinType", "");
  EXPECT_EQ(d.CheckBinType(0), 1);  // both empty

  const char* db = ".\\Configuration\\System\\FlashInfo.ini";
  SetIni(db, "General Info", "TotalCount", "2");
  SetIni(db, "Flh_1", "Flh_ID", "2c a4 64 54 a9 00 00");
  SetIni(db, "Flh_1", "Flh_MPBinType", "8312");
  SetIni(db, "Flh_2", "Flh_ID", "45 3c 98 b3 76 72 00");  // beyond TotalCount
  SetIni(db, "Flh_2", "Flh_MPBinType", "T312");
  EXPECT_EQ(d.LookupMpBinType("2C A4 64 54 A9 00 00"), "8312");
  EXPECT_EQ(d.LookupMpBinType("45 3c 98 b3 76 72 00"), "");
  EXPECT_TRUE(s.Sent().empty());
}

// A TotalCount beyond what the file holds walks only the entries it holds, in
// number order; a name that is no entry number ("Flh_03") is none.
TEST_F(BinTypeCheck, FlashDatabaseCountBeyondTheFile) {
  kxtest::EmulatedStation s(kxtest::Mode::TesterDirect);
  CPortDevice& d = s.Device();
  MakeDirs(".\\Configuration\\System");
  const char* db = ".\\Configuration\\System\\FlashInfo.ini";
  SetIni(db, "General Info", "TotalCount", "2147483647");
  SetIni(db, "Flh_40000", "Flh_ID", "2c a4 64 54 a9 00 00");
  SetIni(db, "Flh_40000", "Flh_MPBinType", "A312");
  SetIni(db, "flh_7", "Flh_ID", "2c a4 64 54 a9 00 00");  // a lower number comes first
  SetIni(db, "flh_7", "Flh_MPBinType", "8312");
  SetIni(db, "Flh_03", "Flh_ID", "45 3c 98 b3 76 72 00");
  SetIni(db, "Flh_03", "Flh_MPBinType", "T312");
  // The walk visits the file's entries, not two thousand million: cut off after a few.
  std::vector<int> visited;
  kx::ForEachFlashEntry(win::GetPrivateProfileSectionNames(db), 2147483647, [&visited](int n) {
    visited.push_back(n);
    return visited.size() < 5;
  });
  ASSERT_EQ(visited, (std::vector<int>{7, 40000}));
  EXPECT_EQ(d.LookupMpBinType("2c a4 64 54 a9 00 00"), "8312");
  EXPECT_EQ(d.LookupMpBinType("45 3c 98 b3 76 72 00"), "");
  EXPECT_EQ(d.LookupMpBinType("98 3c 98 b3 76 72 00"), "");
}

}  // namespace
