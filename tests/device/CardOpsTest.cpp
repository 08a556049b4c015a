// Tester power, card-state polling, the access key and the supply checks against
// the emulated tester board and drive, under virtual time.
#include <algorithm>

#include "FakeTester.h"
#include "TestEnv.h"
#include "command/DriveCommand.h"
#include "command/GetDevLibrary.h"
#include "device/ErrorCode.h"
#include "device/PortDevice.h"
#include "emulator/Drive.h"
#include "emulator/Site.h"
#include "platform/Clock.h"
#include "protocol/KxSignatures.h"

namespace {

constexpr int kSlot = 1;
constexpr int kTesterDrive = 3;
using Head = std::initializer_list<int>;

class CardOps : public DeviceTestEnv {
 protected:
  void SetUp() override {
    DeviceTestEnv::SetUp();
    SetIni(".\\PC_MAC_Address.txt", "PC Info", "MAC_Address", "PC");
    MakeDirs("D:\\Log\\D_Reports");
    MakeDirs("D:\\Log\\Fail_Log");
    kx::FillErrorCodeMap();
  }
  void TearDown() override {
    device_.reset();
    if (site_) site_->Uninstall();
    g_KX_U2A = 1;
    g_SataPortMode = 0;
    kx::ClearAtaPassThroughOk();
    kx::WithRootDevice([](kx::RootDeviceRecord& r) { r = kx::RootDeviceRecord{}; });
    kx::ClearErrorCodeMap();
    DeviceTestEnv::TearDown();
  }

  enum Front { kTester, kBridge, kSataPort };
  // A drive in slot 1 behind a tester board (tester-direct), a bridge or on a SATA port.
  void Build(Front front, std::uint8_t testerKind = 4) {
    emu::DriveConfig cfg;
    cfg.capacitySectors = 1 << 21;
    cfg.blocksPerPlane = 64;
    cfg.bootDelayMs = 1000;
    drive_ = std::make_shared<emu::Drive>(cfg);
    site_ = emu::Site::Create();
    const emu::TesterInfo info{.kind = testerKind};
    frontEnd_ = front == kBridge   ? site_->AddBridge(kSlot, info)
                : front == kTester ? site_->AddTester(kTesterDrive, kSlot, info)
                                   : site_->AddSataPort(kSlot);
    ASSERT_TRUE(frontEnd_ && site_->SetDrive(kSlot, drive_));
    site_->Install();
    drive_->PowerOn();
    g_KX_U2A = front == kTester ? 0 : 1;
    g_SataPortMode = front == kSataPort ? 1 : 0;
    kx::ClearAtaPassThroughOk();
    const auto listing = site_->Listing(front == kSataPort);
    kx::WithRootDevice([&listing](kx::RootDeviceRecord& r) {
      r = kx::RootDeviceRecord{};
      r.SetCount(static_cast<std::uint32_t>(listing.size()));
      for (std::size_t i = 0; i < listing.size(); ++i) r.SetEntry(i, listing[i].node, listing[i].path);
    });
    device_ = std::make_unique<CPortDevice>(front == kTester ? kTesterDrive : 1, 1, kSlot, "D:\\Log", nullptr, nullptr);
    device_->m_TesterKind = testerKind;
    device_->WriteReport("START", true);
    platform::Clock().SleepMs(5000);  // past the boot of the drive
    frontEnd_->Log().Clear();
  }

  // The requests sent since the log was last cleared whose command bytes begin with head.
  std::vector<emu::TraceRecord> Sent(Head head) {
    std::vector<emu::TraceRecord> out;
    for (const auto& r : frontEnd_->Log().Records())
      if (r.ioctl != 0 && std::equal(head.begin(), head.end(), r.cdb)) out.push_back(r);
    return out;
  }
  std::vector<emu::TraceRecord> Detects() { return Sent({0x08, 0xF2, 0x50, 0x00, 0x01}); }
  void Clear() { frontEnd_->Log().Clear(); }
  std::uint64_t Now() { return platform::Clock().NowMs(); }
  bool Reported(const std::string& part) {
    return ReadAll("D:\\Log\\D_Reports\\PC_1_Report.txt").find(part) != std::string::npos;
  }
  void Faults(const emu::TesterFaults& f) { site_->SetTesterFaults(kSlot, f); }
  // A step that failed with this code and message.
  void ExpectFailed(bool result, const char* code, const std::string& message) {
    EXPECT_FALSE(result);
    EXPECT_EQ(device_->m_ErrorCode, code);
    EXPECT_EQ(device_->m_ErrorMessage, message);
  }

  platform::ScopedClock clock_{platform::MakeVirtualClock(1780000000000)};
  std::shared_ptr<emu::Drive> drive_;
  std::shared_ptr<emu::Site> site_;
  emu::FrontEnd* frontEnd_ = nullptr;
  std::unique_ptr<CPortDevice> device_;
  std::uint8_t state_ = 0;
};

using Ints = std::vector<int>;
const Head kPower = {0x08, 0xF2, 0x84}, kCardReset = {0x08, 0xF2, 0x85}, kTesterReset = {0x08, 0xF2, 0x90};

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
  Build(kTester);
  ASSERT_TRUE(device_->SwitchCardPower(0, true, 0, false));
  EXPECT_FALSE(site_->Card(kSlot).powered);
  EXPECT_TRUE(Detects().empty());  // power off does not poll
  ASSERT_TRUE(device_->SwitchCardPower(1, true, 0, false));
  // Production: PowerOn_Delay_3111 = 0 gives 60.
  ExpectCdb(Sent(kPower), 0, {{3, "mode", 0}, {4, "delay", 60}, {5, "voltage", 0}, {6, "switch board", 1}});
  ExpectCdb(Sent(kPower), 1, {{3, "mode", 1}, {4, "delay", 60}});

  SetIni(".\\param.ini", "Options", "PowerOnDelayTime", "500");
  SetIni(".\\param.ini", "Options", "PowerOn_5V", "1");
  SetIni(".\\param.ini", "Options", "PowerOn_Delay_3111", "300");  // clamped, not wrapped
  device_ = std::make_unique<CPortDevice>(kTesterDrive, 1, kSlot, "D:\\Log", nullptr, nullptr);
  Clear();
  ASSERT_TRUE(device_->SwitchCardPower(0, false, 0, false));
  ASSERT_TRUE(device_->SwitchCardPower(3, false, 0, false));
  ExpectCdb(Sent(kPower), 0, {{4, "PowerOn_Delay_3111", 255}});
  ExpectCdb(Sent(kPower), 1, {{3, "mode", 3}, {4, "PowerOnDelayTime / 10", 50}, {5, "PowerOn_5V", 1}});
  EXPECT_TRUE(Reported("[ Success ] Power On test for Micron test(3V3) OK. \r\n"));

  Faults({.powerCommandFailures = 1});
  ExpectFailed(device_->SwitchCardPower(2, true, 0, false), "T_x06", "Power on Test for Micron 5V Failed");
  EXPECT_TRUE(Reported("[ Fail ]  Error Message : Power on Test for Micron 5V Failed \r\n"
                       "             Error Code : 0x605 \r\n"));
  device_->SwitchCardPower(0, false, 0, false);
  Faults({.cardAbsent = true});
  ExpectFailed(device_->SwitchCardPower(1, false, 0, false),
               "I_x24", "Power On fail , Card State Is 0x00(Not detected Device)");
}

// ---- Card reset and tester reset ----------------------------------------------------

TEST_F(CardOps, PowerResetCardRetriesThenPolls) {
  Build(kTester);
  Faults({.powerCommandFailures = 2});
  const std::uint64_t start = Now();
  ASSERT_TRUE(device_->PowerResetCard(true));
  const auto resets = Sent(kCardReset);
  ASSERT_EQ(resets.size(), 3u);
  EXPECT_EQ(resets[2].timeMs - start, 2000u);                   // 1000 ms after each failure
  EXPECT_EQ(Detects().at(0).timeMs - resets[2].timeMs, 1300u);  // 1000 ms, then the poll's 300 ms
  ExpectCdb(resets, 2, {{3, "delay (35 for 0)", 35}, {8, "production", 1}});
  Faults({.powerCommandFailures = 3});
  ExpectFailed(device_->PowerResetCard(false), "T_x02", "Issue Power Reset Card Command Failed");
  EXPECT_FALSE(Reported("[ Fail ]"));  // not asked to report

  device_ = std::make_unique<CPortDevice>(kTesterDrive, 0, "", false, false);  // a tool device
  for (const auto& [kind, delay] : {std::pair{4, 96}, std::pair{1, 32}}) {
    SCOPED_TRACE(kind);
    device_->m_TesterKind = kind;
    Clear();
    ASSERT_TRUE(device_->PowerResetCard(false));
    ExpectCdb(Sent(kCardReset), 0, {{3, "delay", delay}, {8, "production", 0}});
  }
}

TEST_F(CardOps, TesterResets) {
  Build(kTester, 3);
  ExpectFailed(device_->ResetCardAndTester(true, 0, true),
               "P_x15", "DevSLP control only support by SATAIII tester !!!");
  device_->m_TesterKind = 4;
  Clear();
  ASSERT_TRUE(device_->ResetCardAndTester(true, 0, true));
  Ints order;  // device sleep off, card reset, tester reset, device sleep off
  for (const auto& r : Sent({0x08, 0xF2}))
    if (r.cdb[2] != 0x50 || r.cdb[3] == 0x05) order.push_back(r.cdb[2] == 0x50 ? 0x05 : r.cdb[2]);
  EXPECT_EQ(order, (Ints{0x05, 0x85, 0x90, 0x05}));
  ExpectCdb(Sent(kCardReset), 0, {{3, "card reset delay", 35}});
  ExpectCdb(Sent(kTesterReset), 0, {{5, "tester reset delay", 48}});
  Faults({.powerCommandFailures = 3});
  ExpectFailed(device_->ResetCardAndTester(false, 0, false), "T_x02", "Issue Power Reset Card Command Fail");

  Faults({.powerCommandFailures = 4});
  Clear();
  const std::uint64_t start = Now();
  ExpectFailed(device_->PowerResetTester(false, false), "T_x03", "Issue Power Reset Tester Command Fail");
  EXPECT_EQ(Sent(kTesterReset).size(), 4u);
  EXPECT_EQ(Now() - start, 3000u);
  ExpectCdb(Sent(kTesterReset), 0, {{5, "tester reset delay", 32}});
  ASSERT_TRUE(device_->PowerResetTester(false, true));
}

// ---- Card polling -----------------------------------------------------------------

TEST_F(CardOps, BusyCardTimesOutAfterPollingEvery300Ms) {
  Build(kTester);
  drive_->Faults().SetNeverReady(true);
  EXPECT_EQ(device_->WaitCardReady(state_, 10.0), 2);
  EXPECT_EQ(state_, 0x80);
  const auto polls = Detects();
  EXPECT_EQ(polls.size(), 34u);
  for (std::size_t i = 1; i < polls.size(); ++i) EXPECT_EQ(polls[i].timeMs - polls[i - 1].timeMs, 300u);
  EXPECT_GT(device_->m_ElapsedSec, 10.0);
  ExpectFailed(device_->PollDeviceStatus(5), "I_x87", "Polling Device Status Timeout, Status=0x80");
  EXPECT_TRUE(Reported("Error Code : 0x457"));  // always reported
}

TEST_F(CardOps, OneRecoveryPerWait) {
  Build(kTester);
  drive_->Faults().NoAnswer(1, 0xFF);
  EXPECT_EQ(device_->WaitCardReady(state_, 60.0), 1);
  EXPECT_EQ(Sent(kCardReset).size(), 1u);
  ExpectCdb(Sent(kCardReset), 0, {{3, "delay", 35}, {6, "switch board", 0}});
  Clear();
  drive_->Faults().NoAnswer(2, 0x00);
  EXPECT_EQ(device_->WaitCardReady(state_, 60.0), 0);
  EXPECT_EQ(Sent(kCardReset).size(), 1u);
  const auto polls = Detects();
  ASSERT_EQ(polls.size(), 2u);
  EXPECT_EQ(polls[1].timeMs - polls[0].timeMs, 2300u);  // 2 s after the reset, then the poll
  Clear();
  drive_->Faults().ErrorStateOnce();
  EXPECT_EQ(device_->WaitCardReady(state_, 10.0), 1);
  EXPECT_EQ(Sent({0x08, 0xF2, 0x71, 0x00, kx::kApKeySignature[5]}).size(), 1u);

  // Behind a bridge 0x51 is ready, and nothing is sent between two readings of no answer.
  Build(kBridge);
  drive_->Faults().ErrorStateOnce();
  EXPECT_EQ(device_->WaitCardReady(state_, 10.0), 1);
  EXPECT_EQ(state_, 0x51);
  Clear();
  drive_->Faults().NoAnswer(2, 0x00);
  EXPECT_EQ(device_->WaitCardReady(state_, 10.0), 0);
  EXPECT_LE(frontEnd_->Log().Records().size(), 4u);  // two card reads (each an open and a request)
}

TEST_F(CardOps, AccessKeyAndCardDetect) {
  Build(kTester);
  drive_->Faults().RefuseAccessKey(3);
  const std::uint64_t start = Now();
  ExpectFailed(device_->SetApKeyWithRetry(true, 300), "I_x01", "Issue Set AP key command Fail.");
  EXPECT_EQ(Now() - start, 900u);
  EXPECT_TRUE(Reported("   Set AP Key retry = 0 \r\n   Set AP Key retry = 1 \r\n   Set AP Key retry = 2 \r\n"));
  EXPECT_FALSE(Reported("[ Fail ]"));
  drive_->Faults().RefuseAccessKey(1);
  device_->m_ErrorCode.clear();
  EXPECT_TRUE(device_->SetApKeyWithRetry(true, 300));  // second try accepted
  EXPECT_TRUE(device_->m_ErrorCode.empty());
  drive_->Faults().SetAccessKeyNotEnabled(true);
  EXPECT_TRUE(device_->SetApKeyWithRetry(false, 300));
  ExpectFailed(device_->SetApKeyWithRetry(true, 300), "I_x02", "AP-key NOT Enable by Device.");

  Clear();
  EXPECT_EQ(device_->DetectCard(10), 1);
  EXPECT_EQ(Detects().size(), 1u);
  Faults({.cardAbsent = true});
  Clear();
  const std::uint64_t detectStart = Now();
  EXPECT_EQ(device_->DetectCard(3), 4);
  EXPECT_EQ(Detects().size(), 3u);
  EXPECT_EQ(Now() - detectStart, 1200u);
  Faults({.detectTimesOut = true});
  EXPECT_EQ(device_->DetectCard(2), 5);
  Clear();
  ExpectFailed(device_->DetectCard(0) != 0, "T_x07", "UnKnown Card Detect State");
  EXPECT_TRUE(Detects().empty());
}

// ---- Card-state read --------------------------------------------------------------

TEST_F(CardOps, CardStateByMode) {
  g_KX_U2A = 0;
  auto tester = std::make_shared<FakeTester>(9);
  platform::RegisterDeviceBackend(tester);
  tester->cardReply[10] = 0x34;
  tester->cardReply[11] = 0x12;
  tester->cardReply[13] = 0x50;
  CPortDevice d(9, 1, kSlot, "D:\\Log", nullptr, nullptr);
  std::uint32_t status = 0;
  ASSERT_TRUE(d.GetCardState(state_, status, true));
  EXPECT_EQ(state_, 0x50);
  EXPECT_EQ(status, 0x1234u);
  d.m_ErrorCode = "keep";
  tester->failNext = 1;
  EXPECT_FALSE(d.GetCardState(state_, status, false));
  EXPECT_EQ(d.m_ErrorCode, "keep");
  tester->failNext = 1;
  EXPECT_FALSE(d.GetCardState(state_, status, true));
  EXPECT_EQ(d.m_ErrorCode, "T_x07");
  EXPECT_EQ(d.m_ErrorMessage, "Issue Card Detect command Fail");
  platform::UnregisterDeviceBackend(tester);

  Build(kSataPort);
  status = 0x9999;
  ASSERT_TRUE(device_->GetCardState(state_, status, true));
  EXPECT_EQ(state_, 0x50);  // without working ATA pass-through the cleared reply reads as ready
  EXPECT_EQ(status, 0u);
  kx::SetAtaPassThroughOk(1, true);
  state_ = 0;
  status = 0x9999;
  ASSERT_TRUE(device_->GetCardState(state_, status, true));
  EXPECT_EQ(state_, 0x50);     // the status register the entry returned
  EXPECT_EQ(status, 0x9999u);  // not written on that path
}

// ---- Supply and current -----------------------------------------------------------

TEST_F(CardOps, ShortTestNeedsTheShortInBothTests) {
  Build(kTester);
  Faults({.short5V = emu::ShortFault::FirstTest});
  EXPECT_TRUE(device_->CheckPowerGroundShort());
  EXPECT_EQ(Sent({0x08, 0xF2, 0x99}).size(), 2u);
  Faults({.short5V = emu::ShortFault::BothTests, .short33V = emu::ShortFault::BothTests});
  ExpectFailed(device_->CheckPowerGroundShort(), "M_x01", "Detect Card have Power-Ground Short on 5V & 3.3V.");
  Faults({.short33V = emu::ShortFault::BothTests});
  ExpectFailed(device_->CheckPowerGroundShort(), "M_x01", "Detect Card have Power-Ground Short on 3.3V");
  EXPECT_FALSE(Reported("[ Fail ]"));

  // Skipped on a 3.3 V tester: the voltage is still adjusted.
  Faults({});
  device_->m_TesterKind = 2;
  SetIni(".\\param.ini", "Options", "SkipPowerGroundShortTest", "1");
  Clear();
  const std::uint64_t start = Now();
  EXPECT_TRUE(device_->CheckPowerGroundShort());
  EXPECT_TRUE(Sent({0x08, 0xF2, 0x99}).empty());
  EXPECT_EQ(site_->Card(kSlot).voltageLevel, 3);
  EXPECT_GE(Now() - start, 1000u);
  Faults({.adjustVoltageReply = 1});
  ExpectFailed(device_->CheckPowerGroundShort(), "T_x05", "Issue Adjust Card Voltage command Fail");
}

TEST_F(CardOps, CurrentReadings) {
  Build(kTester, 1);
  frontEnd_->Info().calibrated = false;
  frontEnd_->Info().cardCurrent = 1000;
  double mA = -1;
  ASSERT_TRUE(device_->ReadCardCurrent(mA));
  EXPECT_NEAR(mA, 19.075, 1e-9);  // R = 200 for a kind-1 tester
  EXPECT_EQ(Sent({0x08, 0xF2, 0x50, 0x20}).size(), 10u);
  // R = 100; the calibration reading of 100 is 3.815 mA, less the offset (1.3 mA, 1.25 mA for the maximum).
  frontEnd_->Info().kind = 4;
  frontEnd_->Info().calibrated = true;
  frontEnd_->Info().calibration = 100;
  frontEnd_->Info().maxCurrent = 2000;
  ASSERT_TRUE(device_->ReadCardCurrent(mA));
  EXPECT_NEAR(mA, 35.635, 1e-9);
  ASSERT_TRUE(device_->ReadMaxCurrent(mA, 0));
  EXPECT_NEAR(mA, 73.735, 1e-9);

  // A reading of 0xFFFF fails both reads, but only the card read writes the fail report.
  Faults({.currentInvalid = true});
  ExpectFailed(device_->ReadMaxCurrent(mA), "T_x15", "Don't Get correct Current value from A/D circuit.");
  EXPECT_FALSE(Reported("[ Fail ]"));
  ExpectFailed(device_->ReadCardCurrent(mA), "T_I11", "un-correct Current value (0xFF)");
  EXPECT_TRUE(Reported("[ Fail ]  Error Message : un-correct Current value (0xFF) \r\n"));
  EXPECT_NEAR(mA, 73.735, 1e-9);  // written only on success
  EXPECT_TRUE(device_->ClearCurrentBuffer());
  EXPECT_EQ(Sent({0x08, 0xF2, 0x50, 0x24, 0x01}).size(), 1u);
}

}  // namespace
