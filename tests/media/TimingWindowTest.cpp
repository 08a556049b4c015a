// Timing-window rules on literal values, and the scan against the emulated drive
// (2 channels x 4 banks x 1 die; a clean window of duty v spans 0x100 -/+ (32 + 6v)).
#include <gtest/gtest.h>

#include <functional>

#include "device/PortDevice.h"
#include "emulator/DriveConfig.h"
#include "media/TimingWindow.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using emu::ScanFault;
using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;

TEST(TimingWindowRules, DutyChoiceEncodingAndRange) {
  EXPECT_EQ(kx::ChooseWidestDuty({{0, 64}, {8, 160}, {1, 76}}), 8u);
  EXPECT_EQ(kx::ChooseWidestDuty({{8, 160}, {9, 160}}), 8u);  // a tie keeps the first
  EXPECT_EQ(kx::ChooseWidestDuty({{8, 0}, {9, 0}}), 0u);
  struct Sm {
    std::int64_t d;
    std::uint32_t stored;
  } sms[] = {{0, 0x8000}, {-3, 0x8003}, {3, 3}, {-70000, 0xFFFF}};
  for (const Sm& s : sms) EXPECT_EQ(kx::SignMagnitude(s.d), s.stored) << s.d;
  struct Range {
    int start, end, first, last;
  } ranges[] = {{0, 0, 0, 1}, {1, 2, 1, 2}, {-3, 20, 0, 16}, {3, 2, 3, 2}};
  for (const Range& r : ranges) {
    SCOPED_TRACE(testing::Message() << r.start << ".." << r.end);
    EXPECT_EQ(kx::ClampDutyRange(r.start, r.end).first, r.first);
    EXPECT_EQ(kx::ClampDutyRange(r.start, r.end).end, r.last);
  }
  EXPECT_EQ(kx::WindowWidth(0x110, 0x100), 0u);
  EXPECT_EQ(kx::WindowSpan(0x110, 0x100), 0u);
  EXPECT_EQ(kx::WindowSpan(170, 342), 173u);
}

TEST(TimingWindowRules, GeometryAndWriteLength) {
  EXPECT_EQ(kx::MakeScanGeometry(8, 2, 1)->cesPerChannel, 4u);
  EXPECT_TRUE(kx::MakeScanGeometry(8, 1, 16).has_value());  // 128 dies
  EXPECT_FALSE(kx::MakeScanGeometry(16, 2, 16).has_value());
  EXPECT_FALSE(kx::MakeScanGeometry(18, 2, 1).has_value());  // 9 banks
  EXPECT_FALSE(kx::MakeScanGeometry(12, 3, 1).has_value());
  EXPECT_EQ(kx::EdgeIndex({2, 4, 2}, 1, 3, 1, 2), 62u);
  EXPECT_EQ(kx::ScanWriteSectors(32, 2097152), 32);
  EXPECT_EQ(kx::ScanWriteSectors(300, 2097152), 255);
  EXPECT_EQ(kx::ScanWriteSectors(0xFFFFFFFF, 1024), 2);
}

TEST(TimingWindowRules, PadBlockPatternAndHexSettings) {
  std::uint8_t b[1024];
  kx::BuildPadAndDriveBlock(b, 3, 7);
  const std::vector<std::uint8_t> head(b, b + 20), k0(b + 512, b + 524), k7(b + 596, b + 608),
      blockK0(b + 608, b + 632);
  EXPECT_EQ(head, (std::vector<std::uint8_t>{3, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0x03}));
  EXPECT_EQ(k0, (std::vector<std::uint8_t>{0, 0xFF, 0, 0xFF, 0, 0xFF, 0xFE, 1, 0xFE, 1, 0xFE, 1}));
  EXPECT_EQ(k7, (std::vector<std::uint8_t>{0, 0xFF, 0, 0xFF, 0, 0xFF, 0x7F, 0x80, 0x7F, 0x80, 0x7F, 0x80}));
  EXPECT_EQ(blockK0, (std::vector<std::uint8_t>{1,    0xFF, 0xFF, 1,    0, 0xFE, 0xFE, 0,    1,    0xFF, 0xFE, 0,
                                                0xFF, 1,    0,    0xFE, 1, 0xFF, 0,    0xFE, 0xFF, 1,    0xFE, 0}));
  const std::vector<std::uint8_t> tail(b + 799, b + 803);  // pattern 287..290: B's end, 00, B's start shifted
  EXPECT_EQ(tail, (std::vector<std::uint8_t>{0x00, 0x00, 0x01, 0xFF}));
  EXPECT_EQ(b[512 + 479], 0x7F);
  EXPECT_EQ(std::count(b + 992, b + 1024, 0), 32);
  struct Hex {
    const char* text;
    int digits;
    std::optional<std::uint32_t> value;
  } hex[] = {{"3F", 2, 0x3F},   {"0x1f", 2, 0x1F},       {"1FF", 2, 0x1F},
             {"3FF", 8, 0x3FF}, {"zz", 2, std::nullopt}, {"", 2, std::nullopt}};
  for (const Hex& h : hex) EXPECT_EQ(kx::ParseHexSetting(h.text, h.digits), h.value) << h.text;
}

TEST(TimingWindowRules, DieVerdictsAndFailedCeTexts) {
  const std::uint32_t exactlyWide[4] = {200, 250, 200, 250};
  EXPECT_FALSE(kx::JudgeDie(9, 1, 2, 3, exactlyWide, 50).has_value());  // the emulated rows below fail each check
  std::array<std::array<std::uint8_t, 8>, 2> failCe{};
  failCe[0][1] = failCe[1][0] = failCe[1][3] = 1;
  EXPECT_EQ(kx::FailCeText(failCe, 0x0F, 0x05), " CE_1 CE_8 CE_?");
  EXPECT_EQ(kx::FailCeList(0x9), " Fail CE: 0,3,");
  EXPECT_EQ(kx::FailCeList(0), "");
  const char* names[] = {"U1", "U10", "", "U1", ""};
  const std::pair<std::uint32_t, const char*> lists[] = {{0xF, "[U1,U10,]"}, {0x14, "[]"}, {0, ""}};
  for (const auto& [bits, list] : lists)
    EXPECT_EQ(kx::FailCeNames(bits, [&](std::uint16_t ce) { return std::string(names[ce]); }), list) << bits;
  EXPECT_EQ(kx::EdgeNotFoundText(1, 2, 3, 0), "Issue Can Not Find CH1-Write-Min : 3 Die : 0 Data : 0xAAAA!!!");
  EXPECT_EQ(kx::EdgeNotFoundText(0, 0, 1, 1), "Issue Can Not Find CH0-Read-Min Bank : 1 Die : 1  Data : 0xAAAA!!!");
}

emu::CommandFilter Filter(std::optional<std::uint8_t> op, std::optional<std::uint8_t> sub, std::uint32_t skip) {
  emu::CommandFilter f;
  f.opcode = op;
  f.subCommand = sub;
  f.skip = skip;
  return f;
}

class TimingWindow : public kxtest::DeviceTestEnv {
 protected:
  void SetRange(const char* start, const char* end) {
    SetIni(".\\param.ini", "Options", "Start_REB_Duty", start);
    SetIni(".\\param.ini", "Options", "End_REB_Duty", end);
  }
};

TEST_F(TimingWindow, ChoosesTheWidestDutyPerChannelAndJudgesEveryDie) {
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge}) {
    SCOPED_TRACE(static_cast<int>(mode));
    emu::DriveConfig cfg;
    cfg.scanFaults = {{0, ScanFault::CommandFails}};
    cfg.scanDieFaults = {{{9, 1, 2, 0}, ScanFault::NarrowRead}};  // one CH1 die narrows duty 9 there
    EmulatedStation s(mode, 1, cfg);
    CPortDevice& d = s.Device();
    d.m_CeMap = 0x0F0F;
    SetRange("0", "4");  // duty values 0, 8, 1, 9
    ASSERT_TRUE(d.ScanWindow()) << d.m_ErrorMessage;
    EXPECT_EQ(d.m_WindowDuty, (std::array<std::uint32_t, 2>{9, 8}));
    EXPECT_EQ(d.m_ReadWindowOffset, (std::array<std::uint32_t, 2>{0x8000, 0x8000}));
    EXPECT_EQ(d.m_ExtraResultText, "CH0sw:R=173/W=173*CH1sw:R=41/W=173");
    EXPECT_EQ(d.m_Mapping0, 0x0Fu);
    EXPECT_EQ(s.DriveSent(0x31, 0x21).size(), 8u);   // one cache write per populated die
    EXPECT_EQ(s.DriveSent(0x31, 0xAB).size(), 16u);  // 4 duties x 4 banks
    kxtest::ExpectParts(
        PortReport(), {"   FLH_IF=3 \r\n", "   Flh_Clk=7 \r\n", "   LDPC Error Bit : 0x03FF  \r\n",
                       "   Scan_SDLL Command Abort!!.Duty:0 Bank:3  Die:0 \r\n", "   Duty : 9 Bank : 2  Die : 0 \r\n",
                       "   CH 1 Read-Min : 236 Read-Max : 276 Write-Min : 170 Write-Max : 342 (Range R=40/W=172) \r\n",
                       "   Fail Duty : 0 \r\n", "[ Success ] Scan Window Process OK- Total take 0.000 sec. \r\n"});
  }
}

struct Row {
  std::map<emu::ScanDieKey, ScanFault> dieFaults;
  const char* end;  // End_REB_Duty, Start_REB_Duty being 0
  std::function<void(EmulatedStation&)> setup;
  const char* code;
  const char* message;
  const char* line;
};
Row Die(emu::ScanDieKey at, ScanFault f, const char* code, const char* message, const char* line = nullptr) {
  return {{{at, f}}, "0", {}, code, message, line};
}
Row Refused(std::uint8_t op, std::optional<std::uint8_t> sub, std::uint32_t skip, std::uint32_t times, const char* code,
            const char* message, const char* line = nullptr) {
  auto setup = [=](EmulatedStation& s) { s.Drive().Faults().FailNext(times, Filter(op, sub, skip)); };
  return {{}, "0", setup, code, message, line};
}

TEST_F(TimingWindow, EachVerdictAndFailure) {
  Row rows[] = {
      Die({0, 0, 1, 0}, ScanFault::Inverted, "D_S15",
          "     Duty_0 CH_0 Bank_1 Die_0 : Read_Min : 288  > Read_Max : 224 !!", "Range R=-64/W=-64"),
      Die({0, 1, 2, 0}, ScanFault::InvertedWrite, "D_S15",
          "     Duty_0CH_1 Bank_2 Die_0 : Write_Min : 288  > Write_Max : 224 !!"),
      Die({0, 0, 3, 0}, ScanFault::NarrowRead, "D_S14", "     Duty_0 CH_0 Bank_3 Die_0 : Read Win = 40  < 50 !!"),
      Die({0, 1, 0, 0}, ScanFault::NarrowWrite, "D_S14", "     Duty_0 CH_1 Bank_0 Die_0 : Write Win = 40  < 50 !!"),
      Die({0, 1, 3, 0}, ScanFault::NoEdge, "F_x09", "Scan Window - Flash Timing fail!!!",
          "   Issue Can Not Find CH1-Read-Min Bank : 3 Die : 0 Data : 0xAAAA!!! \r\n"),
      {{}, "16", {}, "I_x96", "Issue Can Not Find Window!!!  CE_10", "   FailCE[1][2]= 1 \r\n"},
      {{}, "-1", {}, "D_S14", "     Duty_0 CH_0 Bank_0 Die_0 : Read Win = 0  < 50 !!", nullptr},  // nothing scanned
      {{},
       "0",
       [](EmulatedStation& s) { s.Drive().PatchSystemInfo(0x02, {3}); },
       "F_x09",
       "Scan Window - Flash geometry beyond the scan tables (CE=8 CH=3 Die=1, at most 2 CH, 8 CE per CH, 128 dies) !!!",
       nullptr},
      {{},
       "0",
       [](EmulatedStation&) { SetIni(".\\paramFDB.ini", "Options", "EnableToggle2", "3"); },
       "S_xMC",
       "Flash Clock > 100MHz, Must use Toggle2 to run !!!, set FLH_Interface=1",
       "   FLH_IF=1 \r\n"},
      Refused(0x31, 0xAA, 0, 1, "I_x101", "Issue Vender_InitialPadAndDrive Command Failed !!!"),
      Refused(0x21, 0x61, 0, 1, "I_x33", "Failed! Read4ByteReg command Failed !!"),
      Refused(0x31, 0x60, 0, 1, "I_x33", "Failed! Write4ByteReg command Failed !!"),
      Refused(0x31, 0x21, 0, 1, "T_x17", "Issue CACHE_WRITE_FLASH Command Failed !!!"),
      Refused(0x21, 0x12, 0, 1, "I_S21", "Issue DirectReadSRAM Command Failed !!!"),
      Refused(0x21, 0x13, 1, 1, "I_x08", "Issue GetSystemInfo Command Failed."),
      Refused(0xFA, std::nullopt, 28, 3, "I_x01", "Issue Set AP key command Fail.", "   Scan Window APKey Fail \r\n")};
  for (Row& r : rows) {
    SCOPED_TRACE(r.message);
    emu::DriveConfig cfg;
    cfg.scanDieFaults = r.dieFaults;
    if (std::string(r.end) == "16")  // every duty loses CH1 bank 2's write edges
      for (std::uint32_t v = 0; v < 16; ++v) cfg.scanDieFaults[{v, 1, 2, 0}] = ScanFault::NoWriteEdge;
    EmulatedStation s(Mode::TesterDirect, 1, cfg);
    CPortDevice& d = s.Device();
    d.m_CeMap = 0x0F0F;
    SetRange("0", r.end);
    SetIni(".\\paramFDB.ini", "Options", "EnableToggle2", "0");
    if (r.setup) r.setup(s);
    const std::string before = PortReport();
    EXPECT_FALSE(d.ScanWindow());
    EXPECT_EQ(d.m_ErrorCode, r.code);
    EXPECT_EQ(d.m_ErrorMessage, r.message);
    const std::string report = PortReport().substr(before.size());
    EXPECT_TRUE(Has(report, std::string("[ Fail ]  Error Message : ") + r.message + " \r\n"));
    if (r.line) {
      EXPECT_TRUE(Has(report, r.line)) << r.line;
    }
  }
}

}  // namespace
