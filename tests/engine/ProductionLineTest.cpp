// Drives taken through the stations in order on the same emulated drive, every
// job real: the block MP leaves on the drive, QC after each way into MP, the
// sorting and update stations, and a drive whose RDT failed.
#include "tests/support/ProductionLine.h"
#include "tests/support/RecordChecks.h"
#include "tests/support/ScratchFolder.h"

namespace {
using kxtest::Has;
using kxtest::Mode;
using C = emu::RunningCode;
using Line = kxtest::ProductionLine;
const char kParam[] = ".\\param.ini";
const Mode kModes[] = {Mode::TesterDirect, Mode::Bridge, Mode::SataPort};
constexpr std::uint8_t kMpMark = 0x01, kBurnInMark = 0x04, kQcMark = 0x02;

struct ProductionLineTest : kxtest::DeviceTestEnv {
  // Runs the stations in order; each must pass. The last one's outcome.
  static Line::Outcome ExpectPasses(Line& line, std::initializer_list<const char*> stations) {
    Line::Outcome o;
    for (const char* station : stations) {
      SCOPED_TRACE(station);
      if (std::string(station) == "RDTResult") line.PassRdtRun();
      o = line.Run(station);
      EXPECT_EQ(o.code, "0_00") << o.cell << o.report;
      EXPECT_EQ(o.state, "Pass");
    }
    return o;
  }
  // The drive's info block is the one MP built (the pre-format's) and then
  // verified, with `mark` in byte 511.
  static void ExpectMpBlock(Line& line, std::uint8_t mark) {
    const std::vector<std::uint8_t> block = line.Drive().InfoBlockPage(0);
    const std::array<std::uint8_t, 512> built = line.Drive().PreFormatInfoBlock();
    EXPECT_TRUE(std::equal(block.begin(), block.begin() + 511, built.begin())) << "the block MP built";
    EXPECT_EQ(std::string(block.begin(), block.begin() + 6), "Tavlin");
    EXPECT_EQ(built[511], 0) << "a new block carries no mark";
    EXPECT_EQ(block[511], mark);
  }
};

// A fresh drive in boot code through the whole line, every station passing.
TEST_F(ProductionLineTest, AFreshDrivePassesEveryStationInEachSendMode) {
  for (Mode mode : kModes) {
    SCOPED_TRACE(static_cast<int>(mode));
    Line line(mode, kxtest::LineDrive(C::Boot));
    const Line::Outcome mp = ExpectPasses(line, {"EraseAll", "RDT", "RDTResult", "MP"});
    ExpectMpBlock(line, kMpMark | kBurnInMark);  // the RDT results were read
    // The pass text's serial number is the one MP wrote, from IDENTIFY; a
    // tester reads the firmware name instead, which carries no serial number.
    const std::vector<std::uint8_t> block = line.Drive().InfoBlockPage(0);
    std::string serial;
    for (int i = 18; i < 38; i += 2) serial += {static_cast<char>(block[i + 1]), static_cast<char>(block[i])};
    EXPECT_EQ(Has(mp.cell, "*" + serial.insert(10, "*") + "*"), mode != Mode::TesterDirect) << mp.cell;
    ExpectPasses(line, {"QC"});
    ExpectMpBlock(line, kMpMark | kBurnInMark | kQcMark);
  }
}

// MP from each code a drive may run, then QC; the drives carry the tables of
// an earlier RDT run (MP erases nothing, so it needs them).
TEST_F(ProductionLineTest, MpFromEachStartingCodeThenQc) {
  const struct {
    const char* name;
    C code;
    bool powerCycled;  // code in RAM lost: the boot code with the tables kept
    const char* checkBbt;
    std::uint8_t mark;
  } rows[] = {
      // The pre-format after a load from boot code drops the RDT info that
      // the rescan's table check wants: these paths pass only without it.
      {"code in RAM", C::Mcode, false, "0", kMpMark},
      {"boot code", C::Mcode, true, "0", kMpMark},
      {"flash firmware", C::RomMp, false, "1", kMpMark},  // its old block's mark 01 kept
      {"RDT firmware", C::RomRdt, false, "1", kMpMark | kBurnInMark},
  };
  for (Mode mode : kModes) {
    for (const auto& r : rows) {
      SCOPED_TRACE(testing::Message() << r.name << " mode " << static_cast<int>(mode));
      Line line(mode, kxtest::LineDrive(r.code));
      SetIni(kParam, "Options", "CheckBBT", r.checkBbt);
      if (r.powerCycled) {
        line.Drive().PowerOff(), line.Drive().PowerOn();
        line.Station().Sleep(line.Drive().Config().bootDelayMs);
      }
      ExpectPasses(line, {"MP"});
      ExpectMpBlock(line, r.mark);
      ExpectPasses(line, {"QC"});
      ExpectMpBlock(line, r.mark | kQcMark);
    }
  }
}

// Stations run again or after MP on drives that had RDT.
TEST_F(ProductionLineTest, StationsAfterMpAndTheSortingStations) {
  const struct {
    const char* name;
    std::function<void(Line&)> prepare;
    std::vector<const char*> stations;
    std::uint8_t mark;  // byte 511 at the end
  } rows[] = {
      {"MP twice", {}, {"MP", "MP", "QC"}, kMpMark | kBurnInMark | kQcMark},
      {"EraseMP then QC", [](Line&) { SetIni(kParam, "Options", "EraseMPChkBBT", "0"); }, {"EraseMP", "QC"},
       kMpMark | kQcMark},
      {"UpdateFW after MP", {}, {"MP", "UpdateFW", "QC"}, kMpMark | kBurnInMark | kQcMark},
      {"SortMP, its 3rd BBT check skipped", [](Line&) { SetIni(kParam, "Options", "SkipSortBBT", "1"); },
       {"SortMP", "QC"}, kMpMark | kBurnInMark | kQcMark},
      {"SortRDT, again through RDT", [](Line&) { SetIni(kParam, "Options", "SkipSortBBT", "1"); },
       {"SortRDT", "RDTResult", "MP", "QC"}, kMpMark | kBurnInMark | kQcMark},
  };
  // The send modes in turn, row by row.
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const auto& r = rows[i];
    const Mode mode = kModes[i % std::size(kModes)];
    SCOPED_TRACE(testing::Message() << r.name << " mode " << static_cast<int>(mode));
    // A fresh drive that went through RDT and its read-out.
    Line line(mode, kxtest::LineDrive(C::Boot));
    ExpectPasses(line, {"EraseAll", "RDT", "RDTResult"});
    if (r.prepare) r.prepare(line);
    for (const char* station : r.stations) ExpectPasses(line, {station});
    ExpectMpBlock(line, r.mark);
  }
}

// MP erases nothing at its station and takes the bad-block table the RDT run
// built: a drive that skipped RDT has none and fails MP's scan.
TEST_F(ProductionLineTest, ADriveThatSkippedRdtFailsMp) {
  const std::pair<const char*, const char*> rows[] = {{"1", "Bad blocks map is not match!!!"},
                                                      {"0", "Issue Read BBT Command Failed !!!"}};
  for (const auto& [checkBbt, message] : rows) {
    SCOPED_TRACE(checkBbt);
    Line line(Mode::Bridge, kxtest::LineDrive(C::Boot));
    ExpectPasses(line, {"EraseAll"});
    SetIni(kParam, "Options", "CheckBBT", checkBbt);
    const Line::Outcome mp = line.Run("MP");
    EXPECT_EQ(mp.code + " " + mp.message, std::string("F_T34 ") + message);
    EXPECT_TRUE(kxtest::FailureOnRecord(mp.code, 1, mp.report, mp.errorLog, mp.recordSn));
  }
}

// The RDT found more bad blocks than the product allows: the read-out fails
// the drive, and so does MP at its reading of the RDT results.
TEST_F(ProductionLineTest, ADriveWhoseRdtExceedsTheLimitsFailsTheReadOutAndMp) {
  const std::string over = "[end]RDT Test Failed, CE9 Die0 Plane0 Bad(1) > Setting Spec.(0)";
  for (Mode mode : kModes) {
    SCOPED_TRACE(static_cast<int>(mode));
    emu::DriveConfig c = kxtest::LineDrive(C::Boot);
    c.markedBadBlocks = {{{.ce = 9, .die = 0, .plane = 0, .block = 7}, emu::MarkKind::Rdt, 0x04}};
    Line line(mode, c);
    ExpectPasses(line, {"EraseAll", "RDT"});
    SetIni(".\\paramFDB.ini", "RDT", "RDT_Plane_MaxBadBlkRatio_KX", "0.1");
    line.PassRdtRun();
    const Line::Outcome readOut = line.Run("RDTResult");
    EXPECT_EQ(readOut.code, "F_T31");
    EXPECT_EQ(readOut.cell.rfind(CPortDevice::FormatErrorCode("F_T31") + "*CE:OB/RB*", 0), 0u) << readOut.cell;
    EXPECT_TRUE(Has(readOut.cell, "*09: 0/ 1 (P: 0)*")) << "the CE over its limit";
    EXPECT_TRUE(Has(readOut.report, "[ Fail ]  Error Message : " + over)) << readOut.report;
    EXPECT_TRUE(Has(readOut.records, ",Fail,F_T31,")) << readOut.records;
    EXPECT_TRUE(kxtest::FailureOnRecord(readOut.code, 1, readOut.report, readOut.errorLog, readOut.recordSn));
    const Line::Outcome mp = line.Run("MP");
    EXPECT_EQ(mp.code, "F_T31");
    EXPECT_EQ(mp.state + " " + mp.message, "Error " + over);
    EXPECT_EQ(mp.cell.rfind(CPortDevice::FormatErrorCode("F_T31") + "*", 0), 0u) << mp.cell;
    EXPECT_TRUE(Has(mp.records, ",Fail,F_T31," + over)) << mp.records;
    EXPECT_TRUE(kxtest::FailureOnRecord(mp.code, 1, mp.report, mp.errorLog, mp.recordSn));
    EXPECT_EQ(line.Drive().Code(), C::RomRdt) << "nothing written to the drive";
  }
}

}  // namespace
