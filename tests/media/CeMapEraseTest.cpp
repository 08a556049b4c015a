// CE map choice and erase-all helpers on literal values, and both steps against
// the emulated drive under virtual time.
#include <gtest/gtest.h>

#include "device/PortDevice.h"
#include "device/StatusCell.h"
#include "media/CeMapErase.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;

TEST(CeMapEraseHelpers, MapChoiceLimitsAndLines) {
  struct Map { std::uint16_t device, ui; bool compare; std::uint16_t chosen; } maps[] = {
      {0x00FF, 0x0F0F, true, 0x000F}, {0x0000, 0x0F0F, true, 0x0F0F}, {0x00FF, 0x0000, true, 0x00FF},
      {0x00FF, 0x0000, false, 0x0000}};
  for (const Map& m : maps) {
    SCOPED_TRACE(testing::Message() << std::hex << m.device << " " << m.ui << " " << m.compare);
    EXPECT_EQ(kx::ChooseCeMap(m.device, m.ui, m.compare), m.chosen);
  }
  struct Limit { std::uint32_t mb, channels; int station; std::uint32_t seconds; } limits[] = {
      {65536, 2, 3, 300}, {65536, 2, 0, 3200}, {32768, 1, 3, 180}, {32769, 4, 3, 240}, {2000000, 3, 3, 5760}};
  for (const Limit& l : limits) {
    SCOPED_TRACE(testing::Message() << l.mb << " MB, " << l.channels << " channels, station " << l.station);
    EXPECT_EQ(kx::EraseTimeLimitSec(l.mb, l.channels, l.station), l.seconds);
  }
  EXPECT_EQ(kx::EraseProgressInterval(300, 2), 150u);
  struct Line { std::uint8_t type; const char* text; } lines[] = {
      {0x11, "Build Bad Block Table OK(11)- Total take 1.500 sec."}, {0x09, "Full Erase All Block OK(09)- Total take 1.500 sec."},
      {0x0D, "Temp Scan OK(0d)- Total take 1.500 sec."}, {0x01, "Keep RUT OK(01)- Total take 1.500 sec."},
      {0x21, "Erase All Block OK(21)- Total take 1.500 sec."}};
  for (const Line& l : lines) EXPECT_EQ(kx::EraseSuccessText(l.type, 1.5), l.text);
}

class CeMapErase : public kxtest::DeviceTestEnv {
 protected:
  static void ExpectFailed(CPortDevice& d, bool result, const char* code, const std::string& message) {
    EXPECT_FALSE(result);
    EXPECT_EQ(d.m_ErrorCode, code);
    EXPECT_EQ(d.m_ErrorMessage, message);
    EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : " + message + " \r\n"));
  }
  static constexpr emu::CommandFilter kErase = {.opcode = 0x31, .subCommand = 0x26};
};

TEST_F(CeMapErase, SelectsTheCommonMapWithTheDynamicFlag) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  SetIni(".\\paramFDB.ini", "RDT", "RDT_DynamicCE_En", "1");
  d.m_Station = 7;
  d.m_CeMap = 0x00FF;
  ASSERT_TRUE(d.SelectCeMap(0x0F0F, true));
  EXPECT_EQ(d.m_CeMap, 0x000F);
  EXPECT_EQ(d.m_FlashCount, 4);
  const auto sent = s.DriveSent(0x31, 0x06);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].dataHead[0], 0x0F);
  EXPECT_EQ(sent[0].dataHead[2], 0x01);
  kxtest::ExpectParts(PortReport(), {"   Original CE Map=ff, UI CE Map=f0f, Compare=1 \r\n", "   Set CE Map=f \r\n"});
  EXPECT_TRUE(d.SelectCeMap(0, false));  // map 0: nothing is sent
  EXPECT_EQ(s.DriveSent(0x31, 0x06).size(), 1u);
  s.Drive().Faults().FailNext(1, {.opcode = 0x31, .subCommand = 0x06});
  EXPECT_FALSE(d.SelectCeMap(0x0003, false));
}

class EraseModes : public CeMapErase, public ::testing::WithParamInterface<Mode> {};

TEST_P(EraseModes, PollsUntilReadyAndRetriesAnEraseError) {
  EmulatedStation s(GetParam());
  CPortDevice& d = s.Device();
  s.Drive().Faults().WrongVerdict(1, kErase);
  ASSERT_TRUE(d.EraseAllBlocks(9, true, nullptr, 10, true));
  EXPECT_EQ(s.DriveSent(0x31, 0x26).size(), 2u);
  EXPECT_EQ(s.DriveSent(0x31, 0xCC).size(), 6u);  // three polls per attempt
  kxtest::ExpectParts(PortReport(), {"   Do EraseAll Block, Type=0x09 \r\n", "   Erase all block - Retry!! \r\n",
                                     "        2.000 sec. status:0x80 \r\n",
                                     "[ Success ] Full Erase All Block OK(09)- Total take 6.200 sec. \r\n"});
}

INSTANTIATE_TEST_SUITE_P(TesterDirectAndBridge, EraseModes, ::testing::Values(Mode::TesterDirect, Mode::Bridge));

TEST_F(CeMapErase, RefusedErasesAndTimeOut) {
  emu::DriveConfig slow;
  slow.eraseMs = 1000000;
  EmulatedStation s(Mode::TesterDirect, 1, slow);
  CPortDevice& d = s.Device();
  s.Drive().Faults().FailNext(5, kErase);
  ExpectFailed(d, d.EraseAllBlocks(9, true, nullptr, 10, true), "F_E03", "Issue EraseAllBlock Command Failed, Mode=0x09");
  const std::string r = PortReport();
  std::size_t retries = 0;
  for (auto p = r.find("Retry!!"); p != std::string::npos; p = r.find("Retry!!", p + 1)) ++retries;
  EXPECT_EQ(retries, 4u);
  d.m_Station = 3;
  d.m_ChannelCount = 2;
  d.m_PhysicalSize = 65536;  // 300 s; interval 150 / (10 / 5) = 75 s
  kx::ProgressModel bar;
  ExpectFailed(d, d.EraseAllBlocks(9, true, &bar, 10, true), "F_E04", "EraseAllBlock Timeout");
  EXPECT_EQ(bar.GetPos(), 5);
  EXPECT_TRUE(Has(PortReport(), "     301.000 sec. status:0x80 \r\n"));
}

TEST_F(CeMapErase, WaitingModeFailsAtOnceOnABadState) {
  struct Row { std::uint8_t type, state; const char* message; } rows[] = {
      {0x19, 0x51, "Build Bad Block Table Failed , Card State Is 0x51"},
      {0x09, 0x51, "EraseAllBlock Failed , Card State Is 0x51"},
      {0x09, 0xFF, "EraseAllBlock Fail , Card State Is 0xFF"},
      {0x09, 0x00, "EraseAllBlock Fail , Card State Is 0x00"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.message);
    EmulatedStation s(Mode::TesterDirect);
    s.Drive().Faults().NoAnswer(1, r.state);
    ExpectFailed(s.Device(), s.Device().EraseAllBlocks(r.type, true, nullptr, 10, false), "F_E03", r.message);
    EXPECT_EQ(s.DriveSent(0x31, 0x26).size(), 1u);
  }
}

TEST_F(CeMapErase, AccessKeyBeforeAndAfter) {
  EmulatedStation s(Mode::Bridge);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.EraseAllBlocks(0x11, true, nullptr, 70, false));
  EXPECT_TRUE(Has(PortReport(), "[ Success ] Build Bad Block Table OK(11)- Total take 3.200 sec. \r\n"));
  EXPECT_EQ(s.Drive().Trace().back().request.features, 0x26);  // no access key after a table build
  s.Drive().Faults().FailNext(6, {.opcode = 0xFA, .subCommand = std::nullopt, .skip = 1});
  ExpectFailed(d, d.EraseAllBlocks(0x09, true, nullptr, 10, false), "I_E01", "AP-Key Failed, after EarseAll-ISPJump.");
  s.Drive().Faults().RefuseAccessKey(emu::DriveFaults::kForever);
  ExpectFailed(d, d.EraseAllBlocks(0x09, true, nullptr, 10, false), "I_E01",
               "Issue AP_Key Command Failed, before EraseAllBlock Command.");
}

}  // namespace
