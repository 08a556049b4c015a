// Flash identity: the flash-ID rules as plain functions, and the steps that
// find the reference flash ID, check the scan-all table against it and the CE
// maps, and read unique IDs, against the emulated drive.
#include "bringup/FlashIdentity.h"

#include "device/AppHolders.h"
#include "device/PortDevice.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;
using Bytes8 = std::array<std::uint8_t, 8>;
using Id = std::array<std::uint8_t, 7>;

const Id kRef = {0x2C, 0x84, 0x64, 0x3C, 0xA5, 0x08, 0x04};
const Id kOther = {0x89, 0xCC, 0xF9, 0x32, 0xAA, 0x01, 0x00};
const kx::FlashId kRefValues = {0x2C, 0x84, 0x64, 0x3C, 0xA5, 0x08, 0x04};

// ---- Plain rules -------------------------------------------------------------------

TEST(FlashIdRules, NoFlashReplies) {
  const struct {
    Bytes8 reply;
    bool noFlash;
  } rows[] = {
      {{0x00, 0x84, 0x64, 0x3C}, true},   // byte 0 zero
      {{0x2C, 0x00, 0x00, 0x00}, true},   // bytes 1-3 zero
      {{0xFF, 0x00, 0xFF, 0xFF}, true},   // bytes 0, 2, 3 all FF
      {{0xFF, 0x84, 0xFF, 0xFF}, true},   // byte 1 not looked at
      {{0x55, 0x55, 0x55, 0x01}, true},   // bytes 0-2 equal
      {{0xFF, 0x01, 0x02, 0x03}, false},
      {{0x2C, 0x84, 0x64, 0x3C}, false},
      {{0x2C, 0x00, 0x00, 0x01}, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(kx::FormatFlashId(row.reply.data()));
    EXPECT_EQ(kx::IsNoFlashReply(row.reply.data()), row.noFlash);
  }
}

TEST(FlashIdRules, BuiltInPatterns) {
  using F = kx::IdPatternForm;
  const struct {
    Id id;
    F form;
    bool matched;
    std::uint8_t byte1;
  } rows[] = {
      {{0x98, 0xDE, 0x95, 0x32, 0x7A, 0x55, 0x0A}, F::Full, true, 0xEE},
      {{0x98, 0xDE, 0x95, 0x32, 0x7A, 0x55, 0x0B}, F::Full, false, 0xDE},
      {{0x98, 0xDE, 0x95, 0x32, 0x7A, 0x55, 0x0B}, F::Short, true, 0xEE},
      {{0x98, 0xD7, 0x94, 0x32, 0x76, 0x55, 0x0C}, F::Full, true, 0xE7},
      {{0x98, 0xD7, 0x94, 0x32, 0x76, 0x55, 0x0E}, F::Full, false, 0xD7},
      {{0x98, 0xD7, 0x94, 0x32, 0x76, 0x55, 0x0E}, F::Short, true, 0xE7},
      {{0x98, 0xD7, 0x95, 0x32, 0x7A, 0x55, 0x0A}, F::Short, false, 0xD7},  // device code of the other pattern
      {{0x2C, 0x84, 0x64, 0x3C, 0xA5, 0x08, 0x04}, F::Short, false, 0x84},
  };
  for (auto row : rows) {
    SCOPED_TRACE(kx::FormatFlashId(row.id.data()) + (row.form == F::Full ? " full" : " short"));
    EXPECT_EQ(kx::NormalizeFlashId(row.id.data(), row.form), row.matched);
    EXPECT_EQ(row.id[1], row.byte1);
  }
}

TEST(FlashIdRules, MaskedComparison) {
  const std::string def = "FF036F000F3200";
  const struct {
    const char* wanted;
    const char* read;
    std::string mask;
    bool match;
  } rows[] = {
      {"2c 84 64 3c a5 08 04", "2C 84 64 3C A5 08 04", def, true},   // case does not count
      {"2c 84 64 3c a5 08 04", "2c 84 64 3c a5 08 05", def, true},   // byte 6 masked off
      {"2c 84 64 3c a5 08 04", "2c 87 64 3c a5 08 04", def, false},  // 03 of byte 1 kept
      {"89 cc f9 32 aa 01 00", "89 cc f9 32 aa 04 00", def, true},   // 01 and 04 both outside 32
      {"89 cc f9 32 aa 01 00", "2c cc f9 32 aa 04 00", def, false},  // maker differs
      {"2c cc f9 32 aa 04 00", "2c 84 64 3c a5 08 04", def, false},
      {"2ccc f932aa0400", "2c cc f9 32 aa 04 00", def, true},        // blanks removed anywhere
      {"", "2c 84 64 3c a5 08 04", def, false},                      // no Flh_ID
      {"2c 84 64 3c a5 08 04", "2c 84 64 3c 00 00 00", "FFFFFFFF000000", true},
      {"2c 84 64 3c a5 08 04", "2c 84 64 3d a5 08 04", "FFFFFFFF000000", false},
      {"2c 84 64 3c a5 08 04", "89 cc f9 32 aa 01 00", "", true},    // empty mask
      // A mask with blanks is used as it stands: "FF 03 6F" reads FF, "0 0F 3" reads 0.
      {"2c 84 64 3c a5 08 04", "89 cc f9 3c aa 01 00", "FF 03 6F 00 0F 32 00", true},
      {"2c 84 64 3c a5 08 04", "2c 84 64 3d a5 08 04", "FF 03 6F 00 0F 32 00", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.wanted) + " / " + row.read + " / " + row.mask);
    EXPECT_EQ(kx::MaskedFlashIdMatch(row.wanted, row.read, row.mask), row.match);
  }
}

TEST(FlashIdRules, EmptyScanEntries) {
  const struct {
    Bytes8 entry;
    bool empty;
  } rows[] = {
      {{0x00, 0x00, 0x00, 0x00, 0x11}, true}, {{0x20, 0x20, 0x20, 0x20}, true},
      {{0xFF, 0xFF, 0xFF, 0xFF}, true},       {{0x11, 0x11, 0x11, 0x11, 0x22}, true},
      {{0x00, 0x00, 0x00, 0x01}, false},      {{0x2C, 0x84, 0x64, 0x3C}, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(kx::FormatFlashId(row.entry.data()));
    EXPECT_EQ(kx::IsEmptyScanEntry(row.entry.data()), row.empty);
  }
}

TEST(FlashIdRules, CeMapText) {
  const struct {
    const char* text;
    std::uint16_t map;
  } rows[] = {{"1f", 0x001F}, {"0x1F", 0x001F}, {"", 0}, {"1FFFF", 0xFFFF}, {"F0 1", 0x00F0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(kx::ParseCeMapText(row.text), row.map);
  }
}

// A scan-all table with the given IDs on the given CEs (byte 7 is the CE).
std::array<std::uint8_t, 512> ScanTable(std::initializer_list<std::pair<int, Id>> entries) {
  std::array<std::uint8_t, 512> table{};
  for (const auto& [ce, id] : entries) {
    std::copy(id.begin(), id.end(), table.begin() + ce * 8);
    table[ce * 8 + 7] = static_cast<std::uint8_t>(ce);
  }
  return table;
}

TEST(CeMapScan, CountsTheReferenceInsideTheMap) {
  const auto table = ScanTable({{0, kRef}, {1, kRef}, {2, kRef}, {3, kRef}, {5, kRef}, {6, kOther}});
  const kx::CeMapScan scan = kx::CompareScanTable(table.data(), kRefValues, 0x0F, false, "FF036F000F3200");
  EXPECT_EQ(scan.matched, 4);                  // CE 5 is outside the map
  EXPECT_EQ(scan.foundMask, 0x0F);
  EXPECT_TRUE(scan.different.empty());         // CE 6 is outside the map
}

TEST(CeMapScan, CesFrom16UpCountWithoutABit) {
  const auto table = ScanTable({{20, kRef}, {63, kRef}});
  const kx::CeMapScan noMap = kx::CompareScanTable(table.data(), kRefValues, 0, false, "");
  EXPECT_EQ(noMap.matched, 2);
  EXPECT_EQ(noMap.foundMask, 0);
  const kx::CeMapScan fullMap = kx::CompareScanTable(table.data(), kRefValues, 0xFFFF, false, "");
  EXPECT_EQ(fullMap.matched, 0);  // a 16-bit map has no bit for them
  EXPECT_TRUE(fullMap.different.empty());
}

TEST(CeMapScan, DynamicCeComparesUnderTheMask) {
  const Id masked = {0x2C, 0x84, 0x64, 0x3C, 0xA5, 0x08, 0x05};  // differs in byte 6 only
  const auto table = ScanTable({{0, kRef}, {1, masked}});
  const kx::CeMapScan dynamic = kx::CompareScanTable(table.data(), kRefValues, 0, true, "FF036F000F3200");
  EXPECT_EQ(dynamic.matched, 2);
  EXPECT_EQ(dynamic.foundMask, 0x0003);
  const kx::CeMapScan plain = kx::CompareScanTable(table.data(), kRefValues, 0, false, "FF036F000F3200");
  EXPECT_EQ(plain.different, (std::vector<int>{1}));
  const kx::CeMapScan noMask = kx::CompareScanTable(table.data(), kRefValues, 0, true, "");
  EXPECT_EQ(noMask.different, (std::vector<int>{1}));
}

// ---- Steps against the emulated drive -----------------------------------------------

// Vendor reads with this sub-command that reached the drive.
std::vector<emu::AtaRequest> VendorReads(emu::Drive& drive, std::uint8_t sub) {
  std::vector<emu::AtaRequest> out;
  for (const emu::TraceEntry& e : drive.Trace())
    if (e.request.command == 0x21 && e.request.features == sub) out.push_back(e.request);
  return out;
}

emu::DriveConfig Drive(std::uint32_t channels, std::uint32_t cesPerChannel) {
  emu::DriveConfig cfg;
  cfg.channels = channels;
  cfg.cesPerChannel = cesPerChannel;
  return cfg;
}

emu::CommandFilter Sub(std::uint8_t sub, std::uint32_t skip = 0) {
  return {.opcode = 0x21, .subCommand = sub, .skip = skip};
}

class FlashIdentity : public kxtest::DeviceTestEnv {
 protected:
  ~FlashIdentity() override { kx::SetFlashIdMask(savedMask_); }
  static void ExpectFailed(CPortDevice& d, bool result, const char* code, const std::string& message) {
    EXPECT_FALSE(result);
    EXPECT_EQ(d.m_ErrorCode, code);
    EXPECT_EQ(d.m_ErrorMessage, message);
  }
  static void ExpectReference(const CPortDevice& d, const kx::FlashId& id) {
    EXPECT_EQ(d.m_ExpectedFlashId, id);
  }
  const std::string savedMask_ = kx::GetFlashIdMask();
};

TEST_F(FlashIdentity, FirstRealIdIsTheDrivesIdInEveryMode) {
  emu::DriveConfig cfg;
  cfg.missingCes = {0};
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge, Mode::SataPort}) {
    SCOPED_TRACE(static_cast<int>(mode));
    EmulatedStation s(mode, 1, cfg);
    CPortDevice& d = s.Device();
    ASSERT_TRUE(d.VerifyFlashIdWithParam(false, false));
    EXPECT_EQ(d.m_FlashIdText, "2c 84 64 3c a5 08 04");
    EXPECT_EQ(d.m_FlashMakerCode, 0x2C);
    EXPECT_EQ(d.m_FlashDeviceCode, 0x84);
    ExpectReference(d, kRefValues);
    EXPECT_EQ(VendorReads(s.Drive(), 0x14).size(), 2u);  // flash 0 was empty
    EXPECT_TRUE(Has(PortReport(), "   2c 84 64 3c a5 08 04 \r\n"));
  }
}

TEST_F(FlashIdentity, CompareFindsTheParameterFilesId) {
  emu::DriveConfig cfg;
  cfg.flashIdPerCe[0] = kOther;
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_ID", "  2C 84 64 3C A5 08 04 ");
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.VerifyFlashIdWithParam(true, false));
  EXPECT_EQ(d.m_FlashIdText, "2c 84 64 3c a5 08 04");  // flash 1, after flash 0's other ID
  EXPECT_EQ(VendorReads(s.Drive(), 0x14).size(), 2u);
  s.Drive().ClearTrace();
  ASSERT_TRUE(d.VerifyFlashIdWithParam(true, true));  // no mask comparison: the first real ID
  EXPECT_EQ(d.m_FlashIdText, "89 cc f9 32 aa 01 00");
}

TEST_F(FlashIdentity, CompareWithoutTheIdFailsUnlessSkipped) {
  EmulatedStation s(Mode::TesterDirect);
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_ID", "89 cc f9 32 aa 01 00");
  CPortDevice& d = s.Device();
  d.m_ExpectedFlashId = {1, 2, 3, 4, 5, 6, 7};
  ExpectFailed(d, d.VerifyFlashIdWithParam(true, false), "I_x09", "Don't get corrected FlashID.");
  EXPECT_EQ(VendorReads(s.Drive(), 0x14).size(), 64u);
  ExpectReference(d, {1, 2, 3, 4, 5, 6, 7});  // kept from before
  SetIni(".\\param.ini", "Options", "skip_check_Flash", "1");
  ASSERT_TRUE(d.VerifyFlashIdWithParam(true, false));
  EXPECT_EQ(d.m_FlashIdText, "00 00 00 00 00 00 00");  // flash number 63
}

TEST_F(FlashIdentity, PatternFormDependsOnCompare) {
  emu::DriveConfig cfg;
  cfg.flashId = {0x98, 0xD7, 0x94, 0x32, 0x76, 0x55, 0x0E};
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_ID", "98 e7 94 32 76 55 0e");
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.VerifyFlashIdWithParam(true, false));  // short form
  EXPECT_EQ(d.m_FlashIdText, "98 e7 94 32 76 55 0e");
  EXPECT_EQ(d.m_FlashIdNormalized, 1);
  ASSERT_TRUE(d.VerifyFlashIdWithParam(false, false));  // full form
  EXPECT_EQ(d.m_FlashIdText, "98 d7 94 32 76 55 0e");
  EXPECT_EQ(d.m_FlashIdNormalized, 0);
}

TEST_F(FlashIdentity, NormalizedFlagSpeaksOfTheReferenceOnly) {
  emu::DriveConfig cfg;
  cfg.flashId = {0x98, 0xD7, 0x94, 0x32, 0x76, 0x55, 0x0A};
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_ID", "89 cc f9 32 aa 01 00");
  SetIni(".\\param.ini", "Options", "skip_check_Flash", "1");
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.VerifyFlashIdWithParam(true, false));
  EXPECT_EQ(d.m_FlashIdText, "00 00 00 00 00 00 00");  // the empty flash 63, after normalised CEs
  EXPECT_EQ(d.m_FlashIdNormalized, 0);
}

TEST_F(FlashIdentity, GetFlashIdAndAccessKeyFailures) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  s.Drive().Faults().FailNext(1, Sub(0x14));
  ExpectFailed(d, d.VerifyFlashIdWithParam(false, false), "I_x09", "Issue GetFlashID Command Failed.");
  s.Drive().Faults().FailNext(1, Sub(0x14, 3));
  ExpectFailed(d, d.CheckFlashId(), "I_x09", "Issue GetFlashID Command Failed.");
  s.Drive().Faults().RefuseAccessKey(3);
  ExpectFailed(d, d.CheckFlashId(), "I_x01", "Issue Set AP key command Fail.");
  EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));  // the callers report
}

TEST_F(FlashIdentity, CheckFlashIdStopsAtTheMaskedMatchOrKeepsFlash63) {
  emu::DriveConfig cfg;
  cfg.flashIdPerCe[0] = kOther;
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_ID", "2c 84 64 3c a5 08 05");
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.CheckFlashId());
  ExpectReference(d, kRefValues);
  EXPECT_EQ(VendorReads(s.Drive(), 0x14).size(), 2u);
  EXPECT_EQ(d.m_FlashIdText, "");  // not this step's field
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_ID", "11 22 33 44 55 66 77");
  ASSERT_TRUE(d.CheckFlashId());
  ExpectReference(d, {0, 0, 0, 0, 0, 0, 0});
}

TEST_F(FlashIdentity, MaskFromTheHolderIsReadAtEachComparison) {
  emu::DriveConfig cfg;
  cfg.flashIdPerCe[0] = kOther;
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_ID", "2c 84 64 3c 00 00 00");
  CPortDevice& d = s.Device();
  kx::SetFlashIdMask("FFFFFFFF000000");
  ASSERT_TRUE(d.CheckFlashId());
  ExpectReference(d, kRefValues);
  kx::SetFlashIdMask("");  // every ID matches: flash 0
  ASSERT_TRUE(d.CheckFlashId());
  ExpectReference(d, {0x89, 0xCC, 0xF9, 0x32, 0xAA, 0x01, 0x00});
}

// ---- Flash-ID table and CE map check --------------------------------------------

class CeMapCheck : public FlashIdentity {
 protected:
  // Parameter files of a drive with the reference ID on `count` CEs.
  void Expect(int count, const char* ceMap) {
    SetIni(".\\paramFDB.ini", "Flash Info", "Flh_ID", "2c 84 64 3c a5 08 04");
    SetIni(".\\paramFDB.ini", "Flash Info", "Flh_Number", std::to_string(count));
    if (ceMap) SetIni(".\\param.ini", "Options", "CHCEMap", ceMap);
  }
};

TEST_F(CeMapCheck, PassesOnTheMapAndCount) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(1, 4));
  Expect(4, "0F");
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.CheckFlashIdCeMap(false, true, false));
  EXPECT_EQ(d.m_PerFlashIdText[3], "2c 84 64 3c a5 08 04");
  EXPECT_EQ(d.m_PerFlashIdText[4], "00 00 00 00 00 00 00");
  EXPECT_EQ(d.m_ScanAllFlashIdTable[3 * 8 + 7], 3);
  EXPECT_EQ(VendorReads(s.Drive(), 0x14).size(), 65u);  // the reference, then every flash number
  EXPECT_EQ(VendorReads(s.Drive(), 0x15).size(), 1u);
  EXPECT_TRUE(Has(PortReport(), "   Scan all ID :  \r\n   CE_00: 2C 84 64 3C A5 08 04 00 \r\n"));
  EXPECT_TRUE(Has(PortReport(), "   CE_15: 00 00 00 00 00 00 00 00 \r\n"));
  EXPECT_FALSE(Has(PortReport(), "CE_16"));
  EXPECT_FALSE(Exists(".\\ScanAllID-1.txt"));
}

TEST_F(CeMapCheck, MapWithAnEmptyCeFails) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(1, 4));
  Expect(4, "1F");
  CPortDevice& d = s.Device();
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "F_x02", "Got Different Flash ID CE Map (1F != f)");
}

TEST_F(CeMapCheck, BoardCeTypeMapMustMatch) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(1, 4));
  Expect(4, nullptr);
  MakeDirs(".\\Configuration\\System");
  MakeDirs(".\\Configuration\\Flash Map Cfg");
  SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "FlashTypeFile", "Board.ini");
  SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "FlashCEType", "Type4");
  SetIni(".\\Configuration\\Flash Map Cfg\\Board.ini", "Type4", "CE0", "CE4,CE5,CE6,CE7;");
  CPortDevice& d = s.Device();
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "F_x02",
               "Got Different Flash ID CE Map from CE Map file(F0 != f)");
}

TEST_F(CeMapCheck, DifferentIdsAreListedAndDumped) {
  emu::DriveConfig cfg = Drive(1, 8);
  cfg.flashIdPerCe[2] = kOther;
  cfg.flashIdPerCe[5] = kOther;
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  Expect(6, nullptr);
  CPortDevice& d = s.Device();
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "F_x02",
               "Got Different Flash ID on SSD sample !!!- (ScanAllID.txt file)");
  EXPECT_TRUE(Has(PortReport(), "      Check Following Flash- Have got Different Flash ID !!! \r\n"
                                "         CENo: 2 - 89 cc f9 32 aa 01 00 \r\n"
                                "         CENo: 5 - 89 cc f9 32 aa 01 00 \r\n"));
  EXPECT_EQ(d.m_StatusExtraText, "CE:2, 5, ");
  EXPECT_EQ(d.m_StatusExtraFlag, 1);
  const std::string dump = ReadAll(".\\ScanAllID-1.txt");
  EXPECT_EQ(dump, std::string(d.m_ScanAllFlashIdTable.begin(), d.m_ScanAllFlashIdTable.end()));
  EXPECT_TRUE(Has(PortReport(), "    \r\n   Print ScanAllFlashID Table as following: \r\n"
                                "    CE_0: 2c_84_64_3c_a5_08_04_00 \r\n"));
  EXPECT_TRUE(Has(PortReport(), "    CE_63: 00_00_00_00_00_00_00_00 \r\n"));

  SetIni(".\\param.ini", "Options", "skip_check_Flash", "1");
  EXPECT_TRUE(d.CheckFlashIdCeMap(false, true, false));
  EXPECT_EQ(d.m_StatusExtraText, "CE:2, 5, *CE:2, 5, ");
  EXPECT_EQ(d.m_ErrorCode, "F_x02");  // left behind
}

TEST_F(CeMapCheck, LostCeAgainstTheParameterFile) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(1, 4));
  Expect(5, nullptr);
  CPortDevice& d = s.Device();
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "F_x02",
               "Found CE lost on SSD sample(System:4,Scan:4,INI:5) !!!- (Check ScanAllID.txt file)");
  EXPECT_TRUE(Exists(".\\ScanAllID-1.txt"));
}

TEST_F(CeMapCheck, LostCeAgainstTheSystemCountLeavesOutThePrint) {
  emu::DriveConfig cfg = Drive(1, 4);
  cfg.flashIdPerCe[2] = {0x45, 0x11, 0x11, 0x11, 0x11, 0x22, 0x33};
  cfg.flashIdPerCe[3] = kOther;
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  Expect(0, nullptr);
  CPortDevice& d = s.Device();
  ExpectFailed(d, d.CheckFlashIdCeMap(false, false, true), "F_x02",
               "Found CE lost on SSD sample(System:4,Scan:2) !!!- (Check ScanAllID.txt file)");
  EXPECT_EQ(d.m_PerFlashIdText[2], "00 00 00 00 00 00 00");  // bytes 1-4 repeated
  EXPECT_FALSE(Has(PortReport(), "Print ScanAllFlashID Table"));
}

TEST_F(CeMapCheck, DynamicCeSkipsTheCountAndMasksIds) {
  emu::DriveConfig cfg = Drive(1, 4);
  cfg.flashIdPerCe[1] = {0x2C, 0x84, 0x64, 0x3C, 0xA5, 0x08, 0x05};
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  Expect(9, nullptr);
  SetIni(".\\paramFDB.ini", "Options", "AutoCapacity_DynamicCE_En", "1");
  CPortDevice& d = s.Device();
  EXPECT_TRUE(d.CheckFlashIdCeMap(false, true, false));
}

TEST_F(CeMapCheck, NormalizedReferenceNormalizesTheTable) {
  emu::DriveConfig cfg = Drive(1, 4);
  cfg.flashId = {0x98, 0xD7, 0x94, 0x32, 0x76, 0x55, 0x0E};
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  Expect(4, nullptr);
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_ID", "98 e7 94 32 76 55 0e");
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.CheckFlashIdCeMap(false, true, false));
  EXPECT_EQ(d.m_ScanAllFlashIdTable[1], 0xE7);
  EXPECT_EQ(d.m_PerFlashIdText[0], "98 d7 94 32 76 55 0e");  // the full form leaves 0E alone
}

TEST_F(CeMapCheck, ReadInfoBlockInsteadOfTheScan) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(1, 4));
  Expect(4, nullptr);
  std::vector<std::uint8_t> block(512, 0x5A);
  block[511] = 0x02;
  s.Drive().SetInfoBlockPage(0, block);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.CheckFlashIdCeMap(true, true, false));
  EXPECT_EQ(std::vector<std::uint8_t>(d.m_InfoBlockRead.begin(), d.m_InfoBlockRead.end()), block);
  EXPECT_TRUE(VendorReads(s.Drive(), 0x15).empty());
  s.Drive().Faults().FailNext(1, Sub(0x28));
  ExpectFailed(d, d.CheckFlashIdCeMap(true, true, false), "I_x45", "Issue DirectReadInfoBlock Command Failed!!!");
}

TEST_F(CeMapCheck, CommandFailures) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(1, 4));
  Expect(4, nullptr);
  CPortDevice& d = s.Device();
  s.Drive().Faults().FailNext(1, Sub(0x14, 1 + 5));  // after the reference search's one read
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "I_x09", "Issue GetFlashID Command Failed on Flash_Num-5");
  s.Drive().Faults().FailNext(1, Sub(0x15));
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "I_x07", "Issue Scan all Flash ID command Failed!!!");
  s.Drive().Faults().RefuseAccessKey(3);
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "I_x01", "GetCardInfomation APKey failed !!!");
  EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));
}

// ---- Table read-outs and unique IDs -------------------------------------------------

TEST_F(FlashIdentity, ReadFlashIdTableLeavesTheDevicesCopy) {
  EmulatedStation s(Mode::Bridge);
  CPortDevice& d = s.Device();
  std::array<std::uint8_t, 512> table{};
  ASSERT_TRUE(d.ReadFlashIdTable(table.data()));
  EXPECT_EQ(table, ScanTable({{0, kRef}, {1, kRef}, {2, kRef}, {3, kRef}, {8, kRef}, {9, kRef}, {10, kRef},
                              {11, kRef}}));
  EXPECT_EQ(d.m_ScanAllFlashIdTable, (std::array<std::uint8_t, 512>{}));
  s.Drive().Faults().FailNext(1, Sub(0x15));
  EXPECT_FALSE(d.ReadFlashIdTable(table.data()));
}

TEST_F(FlashIdentity, UniqueIdsOfPresentCes) {
  emu::DriveConfig cfg = Drive(1, 4);
  cfg.flashIdPerCe[1] = {0x2C, 0x84, 0x64, 0x3C, 0x00, 0x08, 0x04};  // byte 4 zero
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.ReadAllUniqueIds());
  EXPECT_TRUE(VendorReads(s.Drive(), 0x16).empty());  // no toggle flag
  d.m_ToggleFlagA = 1;
  ASSERT_TRUE(d.ReadAllUniqueIds());
  std::vector<int> ces;
  for (const emu::AtaRequest& r : VendorReads(s.Drive(), 0x16)) ces.push_back(r.lbaHigh);
  EXPECT_EQ(ces, (std::vector<int>{0, 2, 3}));
  EXPECT_EQ(d.m_ScanAllFlashIdTable[2 * 8 + 7], 2);
}

TEST_F(FlashIdentity, FailedUniqueIdGoesOnWithTheNextCe) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(1, 4));
  CPortDevice& d = s.Device();
  d.m_ToggleFlagB = 1;
  d.m_ErrorCode = "M_x04";
  s.Drive().Faults().FailNext(1, Sub(0x16, 1));
  EXPECT_FALSE(d.ReadAllUniqueIds());
  EXPECT_EQ(VendorReads(s.Drive(), 0x16).size(), 4u);
  EXPECT_EQ(d.m_ErrorCode, "M_x04");  // left as it was
  EXPECT_EQ(d.m_ErrorMessage, "Issue ReadUniqueID Command Failed !!!");
  EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : Issue ReadUniqueID Command Failed !!! \r\n"));
}

TEST_F(FlashIdentity, UniqueIdAccessKeyFailureTakesLetterJ) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(1, 4));
  CPortDevice& d = s.Device();
  d.m_ToggleFlagA = 1;
  s.Drive().Faults().RefuseAccessKey(3);
  ExpectFailed(d, d.ReadUniqueId(0, 0), "I_J01", "Issue Set AP key command Fail.");
  EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : Issue Set AP key command Fail. \r\n"));
}

}  // namespace
