// Flash identity: the flash-ID rules as plain functions, and the steps that
// find the reference flash ID, check the scan-all table against it and the CE
// maps, and read unique IDs, against the emulated drive.
#include "bringup/FlashIdentity.h"

#include <functional>

#include "device/AppHolders.h"
#include "device/PortDevice.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;
using Id = std::array<std::uint8_t, 7>;
using Table = std::array<std::uint8_t, 512>;

const Id kRef = {0x2C, 0x84, 0x64, 0x3C, 0xA5, 0x08, 0x04};
const Id kOther = {0x89, 0xCC, 0xF9, 0x32, 0xAA, 0x01, 0x00};
const Id kRepeated = {0x45, 0x11, 0x11, 0x11, 0x11, 0x22, 0x33};  // bytes 1-4 alike
const Id kByte6 = {0x2C, 0x84, 0x64, 0x3C, 0xA5, 0x08, 0x05};     // differs from kRef in byte 6 only
const kx::FlashId kRefValues = {0x2C, 0x84, 0x64, 0x3C, 0xA5, 0x08, 0x04};
const char kMask[] = "FF036F000F3200";
const char kFdb[] = ".\\paramFDB.ini";
const char kParam[] = ".\\param.ini";
const char kDump[] = ".\\ScanAllID-1.txt";

// A scan-all table with the given IDs on the given CEs (byte 7 is the CE).
Table ScanTable(std::initializer_list<std::pair<int, Id>> entries) {
  Table table{};
  for (const auto& [ce, id] : entries) {
    std::copy(id.begin(), id.end(), table.begin() + ce * 8);
    table[ce * 8 + 7] = static_cast<std::uint8_t>(ce);
  }
  return table;
}

// ---- Plain rules -------------------------------------------------------------------

TEST(FlashIdRules, NoFlashRepliesAndEmptyScanEntries) {
  const struct {
    std::array<std::uint8_t, 8> bytes;
    bool noFlash, emptyEntry;
  } rows[] = {{{0x00, 0x84, 0x64, 0x3C}, true, false},     {{0x2C, 0x00, 0x00, 0x00}, true, false},
              {{0xFF, 0x84, 0xFF, 0xFF}, true, false},     {{0x55, 0x55, 0x55, 0x01}, true, false},
              {{0xFF, 0x01, 0x02, 0x03}, false, false},    {{0x2C, 0x00, 0x00, 0x01}, false, false},
              {{0x20, 0x20, 0x20, 0x20, 0x11}, true, true}};
  for (const auto& r : rows) {
    SCOPED_TRACE(kx::FormatFlashId(r.bytes.data()));
    EXPECT_EQ(kx::IsNoFlashReply(r.bytes.data()), r.noFlash);
    EXPECT_EQ(kx::IsEmptyScanEntry(r.bytes.data()), r.emptyEntry);
  }
}

TEST(FlashIdRules, BuiltInPatterns) {
  using F = kx::IdPatternForm;
  const struct {
    Id id;
    F form;
    bool matched;
    std::uint8_t byte1;
  } rows[] = {{{0x98, 0xDE, 0x95, 0x32, 0x7A, 0x55, 0x0A}, F::Full, true, 0xEE},
              {{0x98, 0xDE, 0x95, 0x32, 0x7A, 0x55, 0x0B}, F::Full, false, 0xDE},
              {{0x98, 0xD7, 0x94, 0x32, 0x76, 0x55, 0x0C}, F::Full, true, 0xE7},
              {{0x98, 0xD7, 0x95, 0x32, 0x7A, 0x55, 0x0A}, F::Short, false, 0xD7}};  // the other pattern's code
  for (auto r : rows) {
    SCOPED_TRACE(kx::FormatFlashId(r.id.data()) + (r.form == F::Full ? " full" : " short"));
    EXPECT_EQ(kx::NormalizeFlashId(r.id.data(), r.form), r.matched);
    EXPECT_EQ(r.id[1], r.byte1);
  }
}

TEST(FlashIdRules, MaskedComparisonAndCeMapText) {
  const struct {
    const char *wanted, *read, *mask;
    bool match;
  } rows[] = {
      {"2c 84 64 3c a5 08 04", "2C 84 64 3C A5 08 04", kMask, true},   // case does not count
      {"2c 84 64 3c a5 08 04", "2c 84 64 3c a5 08 05", kMask, true},   // byte 6 masked off
      {"2c 84 64 3c a5 08 04", "2c 87 64 3c a5 08 04", kMask, false},  // 03 of byte 1 kept
      {"2c 84 64 3c a5 08 04", "2c 84 64 3c a4 08 04", kMask, false},  // 0F of byte 4 kept
      {"2ccc f932aa0400", "2c cc f9 32 aa 04 00", kMask, true},        // blanks removed anywhere
      {"2c 84 64 3c a5 08 04", "89 cc f9 32 aa 01 00", "", true},      // empty mask
      // A mask with blanks is used as it stands: "FF 03 6F" reads FF, "0 0F 3" reads 0.
      {"2c 84 64 3c a5 08 04", "89 cc f9 3c aa 01 00", "FF 03 6F 00 0F 32 00", true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.wanted) + " / " + r.read + " / " + r.mask);
    EXPECT_EQ(kx::MaskedFlashIdMatch(r.wanted, r.read, r.mask), r.match);
  }
}

TEST(FlashIdRules, ScanTableAgainstTheReference) {
  const Table inMap = ScanTable({{0, kRef}, {1, kRef}, {2, kRef}, {3, kRef}, {5, kRef}, {6, kOther}});
  const Table high = ScanTable({{20, kRef}, {32, kRef}, {63, kRef}});
  const Table two = ScanTable({{0, kRef}, {1, kByte6}});
  const struct {
    const char* name;
    const Table& table;
    std::uint16_t map;
    bool dynamic;
    const char* mask;
    int matched;
    std::uint16_t found;
    std::vector<int> different;
  } rows[] = {{"CEs 5 and 6 outside the map", inMap, 0x0F, false, kMask, 4, 0x0F, {}},
              {"from 16 up, no map: counted without a bit", high, 0, false, "", 3, 0, {}},
              {"from 16 up: outside every map", high, 0xFFFF, false, "", 0, 0, {}},
              {"dynamic CE: under the mask", two, 0, true, kMask, 2, 0x03, {}},
              {"no dynamic CE", two, 0, false, kMask, 1, 0x01, {1}},
              {"dynamic CE, empty mask", two, 0, true, "", 1, 0x01, {1}}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const kx::CeMapScan scan = kx::CompareScanTable(r.table.data(), kRefValues, r.map, r.dynamic, r.mask);
    EXPECT_EQ(scan.matched, r.matched);
    EXPECT_EQ(scan.foundMask, r.found);
    EXPECT_EQ(scan.different, r.different);
  }
}

// ---- Steps against the emulated drive -----------------------------------------------

emu::DriveConfig Drive(std::uint32_t cesPerChannel, std::initializer_list<std::pair<const std::uint32_t, Id>> ids) {
  emu::DriveConfig cfg;
  cfg.channels = 1;
  cfg.cesPerChannel = cesPerChannel;
  cfg.flashIdPerCe = ids;
  return cfg;
}

emu::CommandFilter Sub(std::uint8_t sub, std::uint32_t skip = 0) {
  return {.opcode = 0x21, .subCommand = sub, .skip = skip};
}

void ExpectFailed(const CPortDevice& d, bool result, const std::string& code, const std::string& message) {
  EXPECT_FALSE(result);
  EXPECT_EQ(d.m_ErrorCode, code);
  EXPECT_EQ(d.m_ErrorMessage, message);
}

class FlashIdentity : public kxtest::DeviceTestEnv {
 protected:
  ~FlashIdentity() override { kx::SetFlashIdMask(savedMask_); }
  static void SetFlashId(const char* id) { SetIni(kFdb, "Flash Info", "Flh_ID", id); }
  // The reference ID on `count` CEs, no CE map.
  static void Expect(int count) {
    SetFlashId("2c 84 64 3c a5 08 04");
    SetIni(kFdb, "Flash Info", "Flh_Number", std::to_string(count));
    SetIni(kParam, "Options", "CHCEMap", "");
  }
  const std::string savedMask_ = kx::GetFlashIdMask();
};

TEST_F(FlashIdentity, FirstRealIdIsTheDrivesId) {
  emu::DriveConfig cfg;
  cfg.missingCes = {0};
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.VerifyFlashIdWithParam(false, false));
  EXPECT_EQ(d.m_FlashIdText, "2c 84 64 3c a5 08 04");  // flash 0 is empty
  EXPECT_EQ(d.m_FlashMakerCode, 0x2C);
  EXPECT_EQ(d.m_FlashDeviceCode, 0x84);
  EXPECT_TRUE(Has(PortReport(), "   2c 84 64 3c a5 08 04 \r\n"));
}

TEST_F(FlashIdentity, PatternFormDependsOnCompareAndTheFlagOnTheLastReply) {
  emu::DriveConfig cfg;
  cfg.flashId = {0x98, 0xD7, 0x94, 0x32, 0x76, 0x55, 0x0E};
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  SetFlashId("98 e7 94 32 76 55 0e");
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.VerifyFlashIdWithParam(true, false));  // short form
  EXPECT_EQ(d.m_FlashIdText, "98 e7 94 32 76 55 0e");
  EXPECT_EQ(d.m_FlashIdNormalized, 1);
  ASSERT_TRUE(d.VerifyFlashIdWithParam(false, false));  // full form
  EXPECT_EQ(d.m_FlashIdText, "98 d7 94 32 76 55 0e");
  EXPECT_EQ(d.m_FlashIdNormalized, 0);
  SetFlashId("89 cc f9 32 aa 01 00");
  SetIni(kParam, "Options", "skip_check_Flash", "1");
  ASSERT_TRUE(d.VerifyFlashIdWithParam(true, false));  // no match, passed over: flash 63
  EXPECT_EQ(d.m_FlashIdText, "00 00 00 00 00 00 00");
  EXPECT_EQ(d.m_FlashIdNormalized, 0);  // normalised CEs before the empty flash 63 do not count
}

TEST_F(FlashIdentity, ComparisonsTakeTheHoldersMask) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(4, {{0, kOther}}));
  CPortDevice& d = s.Device();
  const struct {
    const char *mask, *wanted;
    kx::FlashId reference;
  } rows[] = {{kMask, "2c 84 64 3c a5 08 05", kRefValues},                               // byte 6 off: flash 1
              {"", "2c 84 64 3c a5 08 05", {0x89, 0xCC, 0xF9, 0x32, 0xAA, 0x01, 0x00}},  // any ID: flash 0
              {kMask, "11 22 33 44 55 66 77", {0, 0, 0, 0, 0, 0, 0}}};                   // none: flash 63
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.mask) + " / " + r.wanted);
    kx::SetFlashIdMask(r.mask);
    SetFlashId(r.wanted);
    ASSERT_TRUE(d.CheckFlashId());
    EXPECT_EQ(d.m_ExpectedFlashId, r.reference);
  }
  ASSERT_TRUE(d.VerifyFlashIdWithParam(true, true));  // no mask comparison: the first real ID
  EXPECT_EQ(d.m_FlashIdText, "89 cc f9 32 aa 01 00");
}

// ---- Flash-ID table and CE map check --------------------------------------------

TEST_F(FlashIdentity, CeMapCheckPassesOnTheMapAndCount) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(4, {}));
  Expect(4);
  SetIni(kParam, "Options", "CHCEMap", "0F");
  const std::vector<std::uint8_t> block(512, 0x5A);
  s.Drive().SetInfoBlockPage(0, block);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.CheckFlashIdCeMap(true, true, false));  // the info block instead of the scan
  EXPECT_EQ(std::vector<std::uint8_t>(d.m_InfoBlockRead.begin(), d.m_InfoBlockRead.end()), block);
  EXPECT_FALSE(Has(PortReport(), "Scan all ID"));
  ASSERT_TRUE(d.CheckFlashIdCeMap(false, true, false));
  EXPECT_EQ(d.m_PerFlashIdText[3], "2c 84 64 3c a5 08 04");
  EXPECT_TRUE(Has(PortReport(), "   Scan all ID :  \r\n   CE_00: 2C 84 64 3C A5 08 04 00 \r\n"));
  EXPECT_TRUE(Has(PortReport(), "   CE_15: 00 00 00 00 00 00 00 00 \r\n"));
  EXPECT_FALSE(Has(PortReport(), "CE_16"));
  EXPECT_FALSE(Exists(kDump));
}

TEST_F(FlashIdentity, CeMapCheckFailuresLeaveTheReportToTheCaller) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(4, {}));
  Expect(4);
  CPortDevice& d = s.Device();
  emu::DriveFaults& faults = s.Drive().Faults();
  faults.FailNext(1, Sub(0x14));
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "I_x09", "Issue GetFlashID Command Failed.");
  faults.FailNext(1, Sub(0x14, 1 + 5));  // after the reference's read
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "I_x09", "Issue GetFlashID Command Failed on Flash_Num-5");
  faults.FailNext(1, Sub(0x15));
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "I_x07", "Issue Scan all Flash ID command Failed!!!");
  faults.FailNext(1, Sub(0x28));
  ExpectFailed(d, d.CheckFlashIdCeMap(true, true, false), "I_x45", "Issue DirectReadInfoBlock Command Failed!!!");
  faults.RefuseAccessKey(3);
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "I_x01", "GetCardInfomation APKey failed !!!");
  SetIni(kParam, "Options", "CHCEMap", "1F");
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "F_x02", "Got Different Flash ID CE Map (1F != f)");
  Expect(4);
  MakeDirs(".\\Configuration\\System");
  MakeDirs(".\\Configuration\\Flash Map Cfg");
  SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "FlashTypeFile", "Board.ini");
  SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "FlashCEType", "Type4");
  SetIni(".\\Configuration\\Flash Map Cfg\\Board.ini", "Type4", "CE0", "CE4,CE5,CE6,CE7;");
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "F_x02",
               "Got Different Flash ID CE Map from CE Map file(F0 != f)");
  SetFlashId("89 cc f9 32 aa 01 00");
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "I_x09", "Don't get corrected FlashID.");
  EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));
}

TEST_F(FlashIdentity, CeMapCheckListsAndDumpsDifferentIdsAndLostCes) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(8, {{2, kOther}, {5, kRepeated}}));
  Expect(6);
  CPortDevice& d = s.Device();
  ExpectFailed(d, d.CheckFlashIdCeMap(false, false, true), "F_x02",
               "Found CE lost on SSD sample(System:8,Scan:6) !!!- (Check ScanAllID.txt file)");
  EXPECT_FALSE(Has(PortReport(), "Print ScanAllFlashID Table"));  // not against the system count
  EXPECT_EQ(d.m_StatusExtraText, "CE:2, 5, ");
  EXPECT_EQ(d.m_StatusExtraFlag, 1);
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "F_x02",
               "Got Different Flash ID on SSD sample !!!- (ScanAllID.txt file)");
  EXPECT_TRUE(Has(PortReport(),
                  "      Check Following Flash- Have got Different Flash ID !!! \r\n"
                  "         CENo: 2 - 89 cc f9 32 aa 01 00 \r\n"
                  "         CENo: 5 - 45 11 11 11 11 22 33 \r\n"));
  EXPECT_EQ(d.m_PerFlashIdText[5], "00 00 00 00 00 00 00");  // bytes 1-4 alike: no flash
  const Table table =
      ScanTable({{0, kRef}, {1, kRef}, {2, kOther}, {3, kRef}, {4, kRef}, {5, kRepeated}, {6, kRef}, {7, kRef}});
  EXPECT_EQ(ReadAll(kDump), std::string(table.begin(), table.end()));
  EXPECT_TRUE(
      Has(PortReport(), "   Print ScanAllFlashID Table as following: \r\n    CE_0: 2c_84_64_3c_a5_08_04_00 \r\n"));
  Expect(7);
  ExpectFailed(d, d.CheckFlashIdCeMap(false, true, false), "F_x02",
               "Found CE lost on SSD sample(System:8,Scan:6,INI:7) !!!- (Check ScanAllID.txt file)");
  SetIni(kParam, "Options", "skip_check_Flash", "1");
  EXPECT_TRUE(d.CheckFlashIdCeMap(false, true, false));
  EXPECT_EQ(d.m_StatusExtraText, "CE:2, 5, *CE:2, 5, *CE:2, 5, *CE:2, 5, ");
}

TEST_F(FlashIdentity, CeMapCheckWithDynamicCeSkipsTheCountAndMasksIds) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(4, {{1, kByte6}}));
  Expect(9);
  SetIni(kFdb, "Options", "AutoCapacity_DynamicCE_En", "1");
  EXPECT_TRUE(s.Device().CheckFlashIdCeMap(false, true, false));
}

TEST_F(FlashIdentity, CeMapCheckNormalizesTheTableAfterANormalizedReference) {
  emu::DriveConfig cfg = Drive(4, {});
  cfg.flashId = {0x98, 0xD7, 0x94, 0x32, 0x76, 0x55, 0x0E};
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  Expect(4);
  SetFlashId("98 e7 94 32 76 55 0e");
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.CheckFlashIdCeMap(false, true, false));
  EXPECT_EQ(d.m_ScanAllFlashIdTable[1], 0xE7);
  EXPECT_EQ(d.m_PerFlashIdText[0], "98 d7 94 32 76 55 0e");  // the full form leaves 0E alone
}

// ---- Table read-outs and unique IDs -------------------------------------------------

// Unique-ID reads that reached the drive, by CE.
std::vector<int> UniqueIdReads(emu::Drive& drive) {
  std::vector<int> ces;
  for (const emu::TraceEntry& e : drive.Trace())
    if (e.request.command == 0x21 && e.request.features == 0x16) ces.push_back(e.request.lbaHigh);
  return ces;
}

TEST_F(FlashIdentity, ReadFlashIdTable) {
  EmulatedStation s(Mode::Bridge);
  CPortDevice& d = s.Device();
  Table table{};
  ASSERT_TRUE(d.ReadFlashIdTable(table.data()));
  EXPECT_EQ(table,
            ScanTable({{0, kRef}, {1, kRef}, {2, kRef}, {3, kRef}, {8, kRef}, {9, kRef}, {10, kRef}, {11, kRef}}));
  s.Drive().Faults().FailNext(1, Sub(0x15));
  EXPECT_FALSE(d.ReadFlashIdTable(table.data()));
}

TEST_F(FlashIdentity, FlashCountAgainstTheParameterFile) {
  const struct {
    const char *number, *skip;
    std::function<void(emu::DriveFaults&)> fault;
    const char *code, *message;
  } rows[] = {
      {" 4 ", "0", {}, "", ""},
      {" 4 CEs", "0", {}, "S_x29", "Setting [Flash Info] Flh_Number = 4 CEs in .\\paramFDB.ini is not a valid number"},
      {"6", "1", {}, "", ""},
      {"6", "0", {}, "M_D09", "Flash Number(4) < param.ini setting(6) have CE open or put number is uncorrectly!"},
      {"3", "0", {}, "M_D09", "Flash Number(4) > param.ini setting(3),check ini file setting & sample data."},
      {"6", "0", [](auto& f) { f.FailNext(1, Sub(0x15)); }, "I_D07", "Issue Scan all Flash ID command Failed!!!"},
      {"4", "0", [](auto& f) { f.FailNext(1, Sub(0x13)); }, "I_D08", "Issue GetSystemInfo Command Failed."}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.number) + " skip " + r.skip + " " + r.code);
    EmulatedStation s(Mode::TesterDirect, 1, Drive(4, {}));
    SetIni(kFdb, "Flash Info", "Flh_Number", r.number);
    SetIni(kParam, "Options", "skip_check_Flash", r.skip);
    if (r.fault) r.fault(s.Drive().Faults());
    CPortDevice& d = s.NewDevice();
    EXPECT_EQ(d.CheckFlashCount(), *r.code == '\0');
    EXPECT_EQ(d.m_ErrorCode, r.code);
    EXPECT_EQ(d.m_ErrorMessage, r.message);
    EXPECT_EQ(Has(PortReport(), std::string("[ Fail ]  Error Message : ") + r.message + " \r\n"), *r.code != '\0');
    EXPECT_EQ(Has(PortReport(), "Print ScanAllFlashID Table as following:"), std::string(r.code) == "M_D09");
  }
}

// Every reader of Flh_Number refuses a value that is not one whole count,
// naming the setting, before it reads a flash ID: never a count that Windows'
// parsing would make of it, never a lost CE.
TEST_F(FlashIdentity, EveryFlashNumberReaderRefusesAValueThatIsNoCount) {
  const struct {
    const char *value, *problem;
  } values[] = {{"4294967304", "is out of range"}, {"65", "is out of range"},   {"-1", "is out of range"},
                {"8abc", "is not a valid number"},   {"8.9", "is not a whole number"}, {"0x8", "is not a valid number"},
                {"8 CEs", "is not a valid number"},  {"nan", "is not a valid number"}};
  const std::pair<const char*, std::function<bool(CPortDevice&)>> readers[] = {
      {"flash-ID scan", [](CPortDevice& d) { return d.CheckFlashIdCeMap(false, true, false); }},
      {"flash number", [](CPortDevice& d) { return d.CheckFlashNumber(0, 0, 1, 0); }},
      {"flash count", [](CPortDevice& d) { return d.CheckFlashCount(); }}};
  Expect(8);
  EmulatedStation s(Mode::TesterDirect, 1, Drive(8, {}));
  for (const auto& [value, problem] : values) {
    SetIni(kFdb, "Flash Info", "Flh_Number", value);
    for (const auto& [name, read] : readers) {
      SCOPED_TRACE(std::string(value) + " " + name);
      CPortDevice& d = s.NewDevice();
      s.Drive().ClearTrace();
      ExpectFailed(d, read(d), "S_x29",
                   std::string("Setting [Flash Info] Flh_Number = ") + value + " in .\\paramFDB.ini " + problem);
      EXPECT_TRUE(s.DriveSent(0x21, 0x14).empty() && s.DriveSent(0x21, 0x15).empty()) << "flash IDs were read";
    }
  }
  SetIni(kFdb, "Flash Info", "Flh_Number", " 8 ");
  for (const auto& [name, read] : readers) EXPECT_TRUE(read(s.NewDevice())) << name;
}

TEST_F(FlashIdentity, FlashCountOfAToolDeviceKeepsItsSystemCount) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(4, {}));
  SetIni(kFdb, "Flash Info", "Flh_Number", "2");
  CPortDevice& d = s.Device();
  d.m_IsProduction = 0;
  d.m_FlashCount = 2;
  EXPECT_TRUE(d.CheckFlashCount());
  EXPECT_TRUE(s.DriveSent(0x21, 0x13).empty());  // no system information read
}

TEST_F(FlashIdentity, UniqueIdsOfPresentCes) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(4, {{1, {0x2C, 0x84, 0x64, 0x3C, 0x00, 0x08, 0x04}}}));
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.ReadAllUniqueIds());
  EXPECT_TRUE(UniqueIdReads(s.Drive()).empty());  // no toggle flag
  d.m_ToggleFlagA = 1;
  d.m_ErrorCode = "M_x04";
  s.Drive().Faults().FailNext(1, Sub(0x16));
  ExpectFailed(d, d.ReadAllUniqueIds(), "M_x04", "Issue ReadUniqueID Command Failed !!!");  // code left as it was
  EXPECT_EQ(UniqueIdReads(s.Drive()), (std::vector<int>{0, 2, 3}));  // on after CE 0; CE 1's byte 4 is zero
  EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : Issue ReadUniqueID Command Failed !!! \r\n"));
  s.Drive().Faults().RefuseAccessKey(3);
  ExpectFailed(d, d.ReadUniqueId(0, 0), "I_J01", "Issue Set AP key command Fail.");
  EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : Issue Set AP key command Fail. \r\n"));
}

}  // namespace
