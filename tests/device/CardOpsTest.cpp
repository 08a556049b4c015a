// Tester power, card-state polling, the access key and the supply checks against
// the emulated tester board and drive, under virtual time.
#include <functional>

#include "command/DriveCommand.h"
#include "device/PortDevice.h"
#include "protocol/KxSignatures.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;
using Head = std::initializer_list<int>;
const Head kPower = {0x08, 0xF2, 0x84}, kCardReset = {0x08, 0xF2, 0x85}, kTesterReset = {0x08, 0xF2, 0x90},
           kDetect = {0x08, 0xF2, 0x50, 0x00, 0x01};

emu::DriveConfig RunningTheBurner() {
  emu::DriveConfig cfg;
  cfg.initialCode = emu::RunningCode::Mcode;
  return cfg;
}

class CardOps : public kxtest::DeviceTestEnv {
 protected:
  // A step that failed with this code and message.
  static void ExpectFailed(CPortDevice& d, bool result, const char* code, const std::string& message) {
    EXPECT_FALSE(result);
    EXPECT_EQ(d.m_ErrorCode, code);
    EXPECT_EQ(d.m_ErrorMessage, message);
  }
  std::uint8_t state_ = 0;
};

struct Field {
  int at;
  const char* name;
  int value;
};
// One check per named byte of the n-th request sent.
void ExpectCdb(const std::vector<emu::TraceRecord>& sent, std::size_t n, std::initializer_list<Field> fields) {
  ASSERT_LT(n, sent.size());
  for (const Field& f : fields) EXPECT_EQ(sent[n].cdb[f.at], f.value) << f.name << " of request " << n;
}

// ---- Power switching -----------------------------------------------------------

TEST_F(CardOps, PowerSwitching) {
  EmulatedStation s(Mode::TesterDirect);
  ASSERT_TRUE(s.Device().SwitchCardPower(0, true, 0, false));
  EXPECT_FALSE(s.Site().Card(1).powered);
  EXPECT_TRUE(s.Sent(kDetect).empty());  // power off does not poll
  ASSERT_TRUE(s.Device().SwitchCardPower(1, true, 0, false));
  // Production: PowerOn_Delay_3111 = 0 gives 60.
  ExpectCdb(s.Sent(kPower), 0, {{3, "mode", 0}, {4, "delay", 60}, {5, "voltage", 0}, {6, "switch board", 1}});
  ExpectCdb(s.Sent(kPower), 1, {{3, "mode", 1}, {4, "delay", 60}});

  SetIni(".\\param.ini", "Options", "PowerOnDelayTime", "500");
  SetIni(".\\param.ini", "Options", "PowerOn_5V", "1");
  SetIni(".\\param.ini", "Options", "PowerOn_Delay_3111", "300");  // clamped, not wrapped
  CPortDevice& d = s.NewDevice();
  s.ClearSent();
  ASSERT_TRUE(d.SwitchCardPower(0, false, 0, false));
  ASSERT_TRUE(d.SwitchCardPower(3, false, 0, false));
  ExpectCdb(s.Sent(kPower), 0, {{4, "PowerOn_Delay_3111", 255}});
  ExpectCdb(s.Sent(kPower), 1, {{3, "mode", 3}, {4, "PowerOnDelayTime / 10", 50}, {5, "PowerOn_5V", 1}});
  EXPECT_TRUE(Has(PortReport(), "[ Success ] Power On test for Micron test(3V3) OK. \r\n"));

  s.Site().SetTesterFaults(1, {.powerCommandFailures = 1});
  ExpectFailed(d, d.SwitchCardPower(2, true, 0, false), "T_x06", "Power on Test for Micron 5V Failed");
  EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : Power on Test for Micron 5V Failed \r\n"
                                "             Error Code : 0x605 \r\n"));
  d.SwitchCardPower(0, false, 0, false);
  s.Site().SetTesterFaults(1, {.cardAbsent = true});
  ExpectFailed(d, d.SwitchCardPower(1, false, 0, false), "I_x24",
               "Power On fail , Card State Is 0x00(Not detected Device)");
}

// ---- Card reset and tester reset ----------------------------------------------------

TEST_F(CardOps, PowerResetCardRetriesThenPolls) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  s.Site().SetTesterFaults(1, {.powerCommandFailures = 2});
  const std::uint64_t start = s.Now();
  ASSERT_TRUE(d.PowerResetCard(true));
  const auto resets = s.Sent(kCardReset);
  ASSERT_EQ(resets.size(), 3u);
  EXPECT_EQ(resets[2].timeMs - start, 2000u);                     // 1000 ms after each failure
  EXPECT_EQ(s.Sent(kDetect).at(0).timeMs - resets[2].timeMs, 1300u);  // 1000 ms, then the poll's 300 ms
  ExpectCdb(resets, 2, {{3, "delay (35 for 0)", 35}, {8, "production", 1}});
  s.Site().SetTesterFaults(1, {.powerCommandFailures = 3});
  ExpectFailed(d, d.PowerResetCard(false), "T_x02", "Issue Power Reset Card Command Failed");
  EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));  // not asked to report

  CPortDevice tool(s.DriveNo(), 0, "", false, false);
  for (const auto& [kind, delay] : {std::pair{4, 96}, std::pair{1, 32}}) {
    SCOPED_TRACE(kind);
    tool.m_TesterKind = kind;
    s.ClearSent();
    ASSERT_TRUE(tool.PowerResetCard(false));
    ExpectCdb(s.Sent(kCardReset), 0, {{3, "delay", delay}, {8, "production", 0}});
  }
}

TEST_F(CardOps, ResetCardAndTesterNeedsASataIIITesterForDeviceSleep) {
  EmulatedStation s(Mode::TesterDirect, 1, {}, {.tester = {.kind = 3}});
  CPortDevice& d = s.Device();
  ExpectFailed(d, d.ResetCardAndTester(true, 0, true), "P_x15", "DevSLP control only support by SATAIII tester !!!");
  d.m_TesterKind = 4;
  s.ClearSent();
  ASSERT_TRUE(d.ResetCardAndTester(true, 0, true));
  std::string order;
  for (const auto& r : s.Sent({0x08, 0xF2})) {
    if (r.cdb[2] == 0x50 && r.cdb[3] == 0x05) order += "DEVSLP off, ";
    if (r.cdb[2] == 0x85) order += "card reset, ";
    if (r.cdb[2] == 0x90) order += "tester reset, ";
  }
  EXPECT_EQ(order, "DEVSLP off, card reset, tester reset, DEVSLP off, ");
  ExpectCdb(s.Sent(kCardReset), 0, {{3, "card reset delay", 35}});
  ExpectCdb(s.Sent(kTesterReset), 0, {{5, "tester reset delay", 48}});
  s.Site().SetTesterFaults(1, {.powerCommandFailures = 3});
  ExpectFailed(d, d.ResetCardAndTester(false, 0, false), "T_x02", "Issue Power Reset Card Command Fail");
}

TEST_F(CardOps, TesterResetRetriesFourTimesASecondApart) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.PowerResetTester(true, true));
  ExpectCdb(s.Sent(kTesterReset), 0, {{5, "tester reset delay", 32}});
  s.Site().SetTesterFaults(1, {.powerCommandFailures = 4});
  s.ClearSent();
  const std::uint64_t start = s.Now();
  ExpectFailed(d, d.PowerResetTester(true, false), "T_x03", "Issue Power Reset Tester Command Fail");
  EXPECT_EQ(s.Sent(kTesterReset).size(), 4u);
  EXPECT_EQ(s.Now() - start, 3000u);
  EXPECT_TRUE(Has(PortReport(), "             Error Code : 0x602 \r\n"));
}

// Power switching without the short tests: off with delay 37, on with the
// production delay, then a 60 s wait whose failures are always reported.
TEST_F(CardOps, SwitchCardPowerNoTest) {
  struct Row {
    const char* name;
    int on;
    std::function<void(EmulatedStation&)> fault;
    int delay;
    const char *code, *message;
  } rows[] = {
      {"off", 0, {}, 37, "", ""},
      {"on", 1, {}, 35, "", ""},
      {"off refused", 0, [](EmulatedStation& s) { s.Site().SetTesterFaults(1, {.powerCommandFailures = 1}); }, 37,
       "T_x06", "Power off Failed"},
      {"on refused", 1, [](EmulatedStation& s) { s.Site().SetTesterFaults(1, {.powerCommandFailures = 1}); }, 35,
       "T_x06", "Power on Failed"},
      {"no card", 1, [](EmulatedStation& s) { s.Site().SetTesterFaults(1, {.cardAbsent = true}); }, 35, "I_I24",
       "Power On fail , Card State Is 0x00(Not detected Device)"},
      {"never ready", 1, [](EmulatedStation& s) { s.Drive().Faults().SetNeverReady(true); }, 35, "I_I87",
       "Power On Timeout, Status=0x80"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EmulatedStation s(Mode::TesterDirect);
    if (r.on) s.Drive().PowerOff();
    if (r.fault) r.fault(s);
    CPortDevice& d = s.NewDevice();
    const std::uint64_t start = s.Now();
    EXPECT_EQ(d.SwitchCardPowerNoTest(r.on, false, 0, false), *r.code == 0);
    EXPECT_EQ(d.m_ErrorCode, r.code);
    EXPECT_EQ(d.m_ErrorMessage, r.message);
    ExpectCdb(s.Sent(kPower), 0, {{3, "on", r.on}, {4, "delay", r.delay}});
    const bool switched = std::string(r.code) != "T_x06";
    EXPECT_EQ(s.Site().Card(1).powered, switched == (r.on == 1));
    // Only a failed wait writes the fail report, asked for or not.
    EXPECT_EQ(Has(PortReport(), "[ Fail ]  Error Message : " + std::string(r.message)), r.code[0] == 'I');
    EXPECT_EQ(s.Now() - start > 60000u, std::string(r.code) == "I_I87");  // the wait's 60 s
  }
}

TEST_F(CardOps, PowerResetCardAndWaitWaitsTwice) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.PowerResetCardAndWait(false));
  EXPECT_EQ(s.Sent(kCardReset).size(), 1u);
  EXPECT_EQ(s.Sent(kDetect).size(), 2u);  // one ready poll for each wait
  s.Drive().Faults().SetNeverReady(true);
  ExpectFailed(d, d.PowerResetCardAndWait(true), "I_x87", "Reset Timeout, Status=0x80");
  EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : Reset Timeout, Status=0x80"));
}

// The ready mark is looked for in reply byte 8, where neither the tester's nor
// a bridge's card-detect reply carries it, so the wait only ever ends failed.
TEST_F(CardOps, WaitCardExistGivesUpAfter301Reads) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  const std::uint64_t start = s.Now();
  ExpectFailed(d, d.WaitCardExist(), "P_x01", "Card Not Exist or detect Failed(check 300 times).");
  EXPECT_EQ(s.Sent(kDetect).size(), 301u);
  EXPECT_EQ(s.Now() - start, 30000u);
  s.FrontEnd().GetFaults().FailNext(1, win::ERROR_SEM_TIMEOUT);
  ExpectFailed(d, d.WaitCardExist(), "T_x07", "Issue Card Detect command Fail");
  EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));
}

// ---- Card polling -----------------------------------------------------------------

TEST_F(CardOps, BusyCardTimesOutAfterPollingEvery300Ms) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  s.Drive().Faults().SetNeverReady(true);
  EXPECT_EQ(d.WaitCardReady(state_, 10.0), 2);
  EXPECT_EQ(state_, 0x80);
  const auto polls = s.Sent(kDetect);
  EXPECT_EQ(polls.size(), 34u);
  for (std::size_t i = 1; i < polls.size(); ++i) EXPECT_EQ(polls[i].timeMs - polls[i - 1].timeMs, 300u);
  EXPECT_GT(d.m_ElapsedSec, 10.0);
  ExpectFailed(d, d.PollDeviceStatus(5), "I_x87", "Polling Device Status Timeout, Status=0x80");
  EXPECT_TRUE(Has(PortReport(), "Error Code : 0x457"));  // always reported
}

TEST_F(CardOps, OneRecoveryPerWait) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  s.Drive().Faults().NoAnswer(1, 0xFF);
  EXPECT_EQ(d.WaitCardReady(state_, 60.0), 1);
  ExpectCdb(s.Sent(kCardReset), 0, {{3, "delay", 35}, {6, "switch board", 0}});
  s.ClearSent();
  s.Drive().Faults().NoAnswer(2, 0x00);
  EXPECT_EQ(d.WaitCardReady(state_, 60.0), 0);
  EXPECT_EQ(s.Sent(kCardReset).size(), 1u);
  const auto polls = s.Sent(kDetect);
  ASSERT_EQ(polls.size(), 2u);
  EXPECT_EQ(polls[1].timeMs - polls[0].timeMs, 2300u);  // 2 s after the reset, then the poll
  s.ClearSent();
  s.Drive().Faults().ErrorStateOnce();
  EXPECT_EQ(d.WaitCardReady(state_, 10.0), 1);
  EXPECT_EQ(s.Sent({0x08, 0xF2, 0x71, 0x00, kx::kApKeySignature[5]}).size(), 1u);
}

TEST_F(CardOps, BehindABridge51hIsReadyAndNoAnswerSendsNothingElse) {
  EmulatedStation s(Mode::Bridge);
  CPortDevice& d = s.Device();
  s.Drive().Faults().ErrorStateOnce();
  EXPECT_EQ(d.WaitCardReady(state_, 10.0), 1);
  EXPECT_EQ(state_, 0x51);
  s.ClearSent();
  s.Drive().Faults().NoAnswer(2, 0x00);
  EXPECT_EQ(d.WaitCardReady(state_, 10.0), 0);
  EXPECT_EQ(s.Sent().size(), 2u);  // the two card reads
}

TEST_F(CardOps, AccessKeyAndCardDetect) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  s.Drive().Faults().RefuseAccessKey(3);
  const std::uint64_t start = s.Now();
  ExpectFailed(d, d.SetApKeyWithRetry(true, 300), "I_x01", "Issue Set AP key command Fail.");
  EXPECT_EQ(s.Now() - start, 900u);
  EXPECT_TRUE(Has(PortReport(), "   Set AP Key retry = 0 \r\n   Set AP Key retry = 1 \r\n   Set AP Key retry = 2 \r\n"));
  EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));
  s.Drive().Faults().RefuseAccessKey(1);
  d.m_ErrorCode.clear();
  EXPECT_TRUE(d.SetApKeyWithRetry(true, 300));  // second try accepted
  EXPECT_TRUE(d.m_ErrorCode.empty());
  s.Drive().Faults().SetAccessKeyNotEnabled(true);
  EXPECT_TRUE(d.SetApKeyWithRetry(false, 300));
  ExpectFailed(d, d.SetApKeyWithRetry(true, 300), "I_x02", "AP-key NOT Enable by Device.");

  s.ClearSent();
  EXPECT_EQ(d.DetectCard(10), 1);
  EXPECT_EQ(s.Sent(kDetect).size(), 1u);
  s.Site().SetTesterFaults(1, {.cardAbsent = true});
  s.ClearSent();
  const std::uint64_t detectStart = s.Now();
  EXPECT_EQ(d.DetectCard(3), 4);
  EXPECT_EQ(s.Sent(kDetect).size(), 3u);
  EXPECT_EQ(s.Now() - detectStart, 1200u);
  s.Site().SetTesterFaults(1, {.detectTimesOut = true});
  EXPECT_EQ(d.DetectCard(2), 5);
  s.ClearSent();
  ExpectFailed(d, d.DetectCard(0) != 0, "T_x07", "UnKnown Card Detect State");
  EXPECT_TRUE(s.Sent(kDetect).empty());
}

// ---- Card-state read --------------------------------------------------------------

TEST_F(CardOps, TesterCardStateIsByte13AndTheWordBytes10And11) {
  EmulatedStation s(Mode::TesterDirect, 1, RunningTheBurner());
  CPortDevice& d = s.Device();
  std::uint8_t bin[512] = {};
  ASSERT_EQ(s.Command().SetApKey(false), 1);
  ASSERT_TRUE(s.Command().Vender_Send_Binfile(bin, 1, 0, true));  // the drive's verdict BBh in LBA high
  std::uint32_t status = 0;
  ASSERT_TRUE(d.GetCardState(state_, status, true));
  EXPECT_EQ(state_, 0x50);
  EXPECT_EQ(status, 0xBB00u);
  d.m_ErrorCode = "keep";
  s.FrontEnd().GetFaults().FailNext(1, win::ERROR_SEM_TIMEOUT);
  EXPECT_FALSE(d.GetCardState(state_, status, false));
  EXPECT_EQ(d.m_ErrorCode, "keep");
  s.FrontEnd().GetFaults().FailNext(1, win::ERROR_SEM_TIMEOUT);
  ExpectFailed(d, d.GetCardState(state_, status, true), "T_x07", "Issue Card Detect command Fail");
}

TEST_F(CardOps, SataPortCardState) {
  EmulatedStation s(Mode::SataPort);
  std::uint32_t status = 0x9999;
  ASSERT_TRUE(s.Device().GetCardState(state_, status, true));
  EXPECT_EQ(state_, 0x50);  // without working ATA pass-through the cleared reply reads as ready
  EXPECT_EQ(status, 0u);
  kx::SetAtaPassThroughOk(s.DriveNo(), true);
  state_ = 0;
  status = 0x9999;
  ASSERT_TRUE(s.Device().GetCardState(state_, status, true));
  EXPECT_EQ(state_, 0x50);     // the status register the entry returned
  EXPECT_EQ(status, 0x9999u);  // not written on that path
}

// ---- Supply and current -----------------------------------------------------------

TEST_F(CardOps, ShortTestNeedsTheShortInBothTests) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  s.Site().SetTesterFaults(1, {.short5V = emu::ShortFault::FirstTest});
  EXPECT_TRUE(d.CheckPowerGroundShort());
  EXPECT_EQ(s.Sent({0x08, 0xF2, 0x99}).size(), 2u);
  s.Site().SetTesterFaults(1, {.short5V = emu::ShortFault::BothTests, .short33V = emu::ShortFault::BothTests});
  ExpectFailed(d, d.CheckPowerGroundShort(), "M_x01", "Detect Card have Power-Ground Short on 5V & 3.3V.");
  s.Site().SetTesterFaults(1, {.short33V = emu::ShortFault::BothTests});
  ExpectFailed(d, d.CheckPowerGroundShort(), "M_x01", "Detect Card have Power-Ground Short on 3.3V");
  EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));

  // Skipped on a 3.3 V tester: the voltage is still adjusted.
  s.Site().SetTesterFaults(1, {});
  d.m_TesterKind = 2;
  SetIni(".\\param.ini", "Options", "SkipPowerGroundShortTest", "1");
  s.ClearSent();
  const std::uint64_t start = s.Now();
  EXPECT_TRUE(d.CheckPowerGroundShort());
  EXPECT_TRUE(s.Sent({0x08, 0xF2, 0x99}).empty());
  EXPECT_EQ(s.Site().Card(1).voltageLevel, 3);
  EXPECT_GE(s.Now() - start, 1000u);
  s.Site().SetTesterFaults(1, {.adjustVoltageReply = 1});
  ExpectFailed(d, d.CheckPowerGroundShort(), "T_x05", "Issue Adjust Card Voltage command Fail");
}

TEST_F(CardOps, CurrentReadings) {
  EmulatedStation s(Mode::TesterDirect, 1, {}, {.tester = {.kind = 1, .calibrated = false, .cardCurrent = 1000}});
  CPortDevice& d = s.Device();
  double mA = -1;
  ASSERT_TRUE(d.ReadCardCurrent(mA));
  EXPECT_NEAR(mA, 19.075, 1e-9);  // R = 200 for a kind-1 tester
  EXPECT_EQ(s.Sent({0x08, 0xF2, 0x50, 0x20}).size(), 10u);
  // R = 100; the calibration reading of 100 is 3.815 mA, less the offset (1.3 mA, 1.25 mA for the maximum).
  emu::TesterInfo& info = s.FrontEnd().Info();
  info.kind = 4;
  info.calibrated = true;
  info.calibration = 100;
  info.maxCurrent = 2000;
  ASSERT_TRUE(d.ReadCardCurrent(mA));
  EXPECT_NEAR(mA, 35.635, 1e-9);
  ASSERT_TRUE(d.ReadMaxCurrent(mA, 0));
  EXPECT_NEAR(mA, 73.735, 1e-9);

  // A reading of 0xFFFF fails both reads, but only the card read writes the fail report.
  s.Site().SetTesterFaults(1, {.currentInvalid = true});
  ExpectFailed(d, d.ReadMaxCurrent(mA), "T_x15", "Don't Get correct Current value from A/D circuit.");
  EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));
  ExpectFailed(d, d.ReadCardCurrent(mA), "T_I11", "un-correct Current value (0xFF)");
  EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : un-correct Current value (0xFF) \r\n"));
  EXPECT_NEAR(mA, 73.735, 1e-9);  // written only on success
  EXPECT_TRUE(d.ClearCurrentBuffer());
  EXPECT_EQ(s.Sent({0x08, 0xF2, 0x50, 0x24, 0x01}).size(), 1u);
}

}  // namespace
