// The drive checks: decoding helpers on literal bytes, pass and failure paths on the emulated drive.
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "command/DriveCommand.h"
#include "device/PortDevice.h"
#include "drivetests/DriveChecks.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;
using Bytes = std::vector<std::uint8_t>;

emu::CommandFilter Op(std::uint8_t opcode, int sub = -1) {
  emu::CommandFilter f;
  f.opcode = opcode;
  if (sub >= 0) f.subCommand = static_cast<std::uint8_t>(sub);
  return f;
}

// A SATA port whose ATA pass-through works, so that registers come back.
kxtest::StationSetup AtaPassThrough() {
  kxtest::StationSetup s;
  s.identify = true;
  return s;
}

class DriveChecks : public kxtest::DeviceTestEnv {};

TEST_F(DriveChecks, DecodingHelpers) {
  Bytes smart(512, 0);
  EXPECT_FALSE(kx::SmartTemperature(smart.data()).has_value());
  smart[2 + 3 * 12] = 0xC2, smart[2 + 3 * 12 + 5] = 37;
  EXPECT_EQ(kx::SmartTemperature(smart.data()), 37);
  EXPECT_EQ(kx::SmartReturnStatus(0x4F, 0xC2, 0x50), kx::SmartStatus::Good);
  EXPECT_EQ(kx::SmartReturnStatus(0xF4, 0x2C, 0x50), kx::SmartStatus::ThresholdExceeded);
  EXPECT_EQ(kx::SmartReturnStatus(0x4F, 0x2C, 0x50), kx::SmartStatus::Unknown);
  EXPECT_EQ(kx::SmartReturnStatus(0x00, 0x00, 0x50), kx::SmartStatus::NotReturned);  // ready, registers lost
  EXPECT_EQ(kx::SmartReturnStatus(0x4F, 0xC2, 0x00), kx::SmartStatus::NotReturned);
  Bytes id(512, 0);
  id[256] = 0x0D;  // word 128: supported, locked, frozen
  EXPECT_FALSE(kx::SecurityOf(id.data()).enabled);
  EXPECT_TRUE(kx::SecurityOf(id.data()).locked);
  EXPECT_EQ(kx::SecurityEraseLimitSec(id.data()), 600u);
  id[178] = 3;  // word 89: 6 minutes
  EXPECT_EQ(kx::SecurityEraseLimitSec(id.data()), 360u);
}

TEST_F(DriveChecks, PassPaths) {
  EmulatedStation t(Mode::TesterDirect);
  t.Device().m_DevSlpEnable = 1;
  SetIni(".\\param.ini", "General Info", "MaxCurrent", "500");
  for (auto check : {&CPortDevice::CheckThermalSensor, &CPortDevice::ResetSmart, &CPortDevice::StandbyImmediate,
                     &CPortDevice::CheckDevSleep, &CPortDevice::CheckNormalCurrent})
    EXPECT_TRUE((t.Device().*check)());
  EXPECT_TRUE(Has(ReadAll(".\\1_IdleCurrent.txt"), "Idle Current: 38.80 mA\r\n"));
  EXPECT_TRUE(Has(ReadAll(".\\1_WRCurrent.txt"), "Write/Read Current: 38.75 mA\r\n"));
  EXPECT_TRUE(Has(ReadAll(".\\1_BurnIn.txt"), "MaxCurrent: 500 mA  Pass\r\n"));
  kxtest::ExpectParts(PortReport(), {"[ Success ] Got Thermal Sensor, and temperature= 40 degree C",
                                     "[ Success ] Reset SMART OK- Total take ", "[ Success ] StandBy. \r\n",
                                     "[ Success ] Check DevSLP OK(Try=1)- Total take "});
  EmulatedStation b(Mode::Bridge);
  b.Device().m_DevSlpEnable = 1;
  EXPECT_TRUE(b.Device().CheckDevSleep());
  EXPECT_FALSE(b.Drive().InDevSleep());
  ASSERT_TRUE(b.Command().SecurityFreezeLock());
  ASSERT_TRUE(b.Command().WriteSectors(Bytes(512, 0x77).data(), 512, 100));
  EXPECT_TRUE(b.Device().SecurityErase());
  EXPECT_EQ(b.Drive().ReadMedia(100, 1), Bytes(512, 0));
  EXPECT_TRUE(Has(PortReport(), "[ Success ] Security Erase OK- Total take "));
}

// A SMART page sealed by its checksum, entries {id, byte 1, byte 3}: flags and
// value for READ DATA, threshold (and 0) for READ THRESHOLDS.
Bytes Page(std::initializer_list<std::array<std::uint8_t, 3>> entries) {
  Bytes p(512, 0);
  std::size_t o = 2;
  for (const auto& e : entries) p[o] = e[0], p[o + 1] = e[1], p[o + 3] = e[2], o += 12;
  std::uint8_t sum = 0;
  for (int i = 0; i < 511; ++i) sum = static_cast<std::uint8_t>(sum + p[i]);
  p[511] = static_cast<std::uint8_t>(-sum);
  return p;
}

TEST_F(DriveChecks, ThresholdJudgementFromSmartPages) {
  using S = kx::SmartStatus;
  const Bytes limits = Page({{0x01, 50, 0}, {0x05, 10, 0}});
  Bytes badSum = limits;
  badSum[100] ^= 1;
  const struct {
    const char* what;
    Bytes data, limits;
    S status;
    std::uint8_t id = 0;
  } rows[] = {
      {"healthy", Page({{0x01, 0x0B, 100}, {0x05, 0x33, 11}, {0x09, 0x32, 1}}), limits, S::Good},
      {"pre-failure value at its threshold", Page({{0x01, 0x0B, 100}, {0x05, 0x33, 10}}), limits, S::ThresholdExceeded,
       0x05},
      {"below it, found by id", Page({{0x05, 0x33, 100}, {0x01, 0x0B, 3}}), limits, S::ThresholdExceeded, 0x01},
      {"advisory attribute below its threshold", Page({{0x05, 0x32, 1}}), limits, S::Good},
      {"zero threshold never fails", Page({{0x05, 0x33, 0}}), Page({{0x05, 0, 0}}), S::Good},
      {"pre-failure attribute without a threshold", Page({{0xC7, 0x33, 100}}), limits, S::Unknown},
      {"a page failing its checksum", Page({{0x05, 0x33, 100}}), badSum, S::Unknown},
      {"no thresholds (zeros)", Page({{0x05, 0x32, 100}}), Bytes(512, 0), S::Unknown},
      {"no attributes", Page({}), limits, S::Unknown},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const kx::SmartJudgement j = kx::JudgeSmartThresholds(r.data.data(), r.limits.data());
    EXPECT_EQ(j.status, r.status);
    EXPECT_EQ(j.id, r.id);
  }
}

// SMART RETURN STATUS brings its registers back on every path; where a bridge
// drops them, the attribute thresholds decide, and nothing passes unjudged.
TEST_F(DriveChecks, SmartStatusInEverySendMode) {
  const std::string exceeded = "Device can't be used, reserved block not enough, Replace Flash.";
  enum Fallback { None, IgnoreCkCond, RefuseThresholds };
  struct Row {
    Mode mode;
    kxtest::StationSetup setup;  // SATA port: IDENTIFY first chooses ATA pass-through, else SAT
    bool exceeded;
    Fallback fallback;
    std::string message, line;  // message empty: passes
  };
  std::vector<Row> rows;
  for (bool bad : {false, true}) {
    for (auto [mode, setup] : {std::pair{Mode::TesterDirect, kxtest::StationSetup{}}, {Mode::Bridge, {}},
                               {Mode::SataPort, AtaPassThrough()}, {Mode::SataPort, {}}})
      rows.push_back({mode, setup, bad, None, bad ? exceeded : "", bad ? "Error Code" : "Check SMART Status OK."});
  }
  rows.push_back({Mode::Bridge, {}, false, IgnoreCkCond, "", "Check SMART Status OK(judged by attribute thresholds)."});
  rows.push_back({Mode::Bridge, {}, true, IgnoreCkCond, exceeded, "attribute 05h value 10 at or below its threshold 10."});
  rows.push_back({Mode::Bridge, {}, false, RefuseThresholds,
                  "SMART status could not be judged: no registers returned, SMART data or thresholds unreadable !!!",
                  "Error Code"});
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(r.mode) << r.setup.identify << r.exceeded << r.fallback);
    EmulatedStation s(r.mode, 1, {}, r.setup);
    s.Drive().Faults().SetSmartThresholdExceeded(r.exceeded);
    emu::FaultRule refuse, ignore;  // the first rule that fires wins
    refuse.match = {.ataCommand = 0xB0, .features = 0xD1};
    refuse.action = emu::FaultAction::CheckCondition;
    if (r.fallback == RefuseThresholds) s.FrontEnd().GetFaults().Add(refuse);
    ignore.count = 0;
    ignore.action = emu::FaultAction::IgnoreCkCond;
    if (r.fallback != None) s.FrontEnd().GetFaults().Add(ignore);
    CPortDevice& d = s.Device();
    bool passed = false;
    const std::string report = Appended("D:\\Log\\D_Reports\\PC_1_Report.txt", [&] { passed = d.CheckSmartStatus(); });
    EXPECT_EQ(passed, r.message.empty());
    EXPECT_EQ(d.m_ErrorCode, r.message.empty() ? "" : "F_x26");
    EXPECT_EQ(d.m_ErrorMessage, r.message);
    EXPECT_TRUE(Has(report, r.line)) << report;
  }
}

// Every failure, with its code and message in the fail report; a security
// erase that fails never leaves the drive locked or its password set.
TEST_F(DriveChecks, Failures) {
  using Fault = std::function<void(emu::DriveFaults&)>;
  const Fault none = [](auto&) {};
  const Fault refuseDevSleep = [](auto& f) { f.FailNext(emu::DriveFaults::kForever, Op(0xEF)); };
  const struct {
    Mode mode;
    Fault fault;
    bool (CPortDevice::*check)();
    const char *code, *message;
    int kind = 4;
    std::uint8_t devSlp = 1, temperature = 40;
  } rows[] = {
      {Mode::Bridge, [](auto& f) { f.FailNext(1, Op(0xB0)); }, &CPortDevice::CheckThermalSensor, "M_x28",
       "Issue SMART READ DATA Command Failed !!!"},
      {Mode::TesterDirect, none, &CPortDevice::CheckThermalSensor, "M_S05",
       "Thermal Sensor temperature= 90 degree C, out of range(5~85) !!!", 4, 1, 90},
      {Mode::SataPort, [](auto& f) { f.SetSmartThresholdExceeded(true); }, &CPortDevice::CheckSmartStatus, "F_x26",
       "Device can't be used, reserved block not enough, Replace Flash."},
      {Mode::TesterDirect, [](auto& f) { f.FailNext(1, Op(0x31, 0x02)); }, &CPortDevice::ResetSmart, "I_U77",
       "Issue Reset SMART Command Failed !!!"},
      {Mode::TesterDirect, [](auto& f) { f.BusyAfterNext(60000, Op(0x31, 0x02)); }, &CPortDevice::ResetSmart, "I_U77",
       "Reset SMART Timeout, Status=0x80"},
      {Mode::Bridge, [](auto& f) { f.RefuseAccessKey(3); }, &CPortDevice::ResetSmart, "I_U01",
       "Issue Set AP key command Fail."},
      {Mode::Bridge, [](auto& f) { f.FailNext(1, Op(0xE0)); }, &CPortDevice::StandbyImmediate, "I_x88",
       "Issue StandBy Immediate Command Failed !!!"},
      {Mode::TesterDirect, refuseDevSleep, &CPortDevice::CheckDevSleep, "T_W10",
       "Issue DEVSLP SET FEATURE Command Failed !!!"},
      {Mode::Bridge, refuseDevSleep, &CPortDevice::CheckDevSleep, "P_W19",
       "Device did not enter DevSLP in 10 tries !!!"},
      {Mode::Bridge, none, &CPortDevice::CheckDevSleep, "P_W19", "DevSLP control only support by SATAIII tester !!!",
       3},
      {Mode::Bridge, none, &CPortDevice::CheckDevSleep, "P_W19",
       "DevSLP test needs DEVSLP_Control enabled in param.ini !!!", 4, 0},
      {Mode::TesterDirect, [](auto&) { SetIni(".\\param.ini", "General Info", "MaxCurrent", "38"); },
       &CPortDevice::CheckNormalCurrent, "M_x03",
       "Current is over spec(Idle:38.80 mA, Write/Read:38.75 mA, MaxCurrent:38 mA) !!!"},
      {Mode::TesterDirect, [](auto& f) { f.FailNext(1, Op(0x31, 0x05)); }, &CPortDevice::SecurityErase, "I_U73",
       "Issue Vendor_UnLock_Forzen Command Failed !!!"},
      {Mode::TesterDirect, [](auto& f) { f.FailNext(1, Op(0xF3)); }, &CPortDevice::SecurityErase, "I_U75",
       "Issue SECURITY_ERASE_PREPARE Command Failed !!!"},
      {Mode::TesterDirect, [](auto& f) { f.TimeOutNext(1, Op(0xF4)); }, &CPortDevice::SecurityErase, "I_U76",
       "Issue SECURITY_ERASE_UNIT Command Failed !!!"},
      // Power lost in the erase: the drive comes up locked and is unlocked first.
      {Mode::Bridge, [](auto& f) { f.PowerCycleOnNext(Op(0xF4)); }, &CPortDevice::SecurityErase, "I_U76",
       "Issue SECURITY_ERASE_UNIT Command Failed !!!"},
      {Mode::TesterDirect, [](auto& f) { f.BusyAfterNext(200000, Op(0xF4)); }, &CPortDevice::SecurityErase, "I_U76",
       "Security Erase Unit Timeout(120 sec), Status=0x80"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.message);
    emu::DriveConfig cfg;
    cfg.temperatureC = r.temperature;
    EmulatedStation s(r.mode, 1, cfg, r.mode == Mode::SataPort ? AtaPassThrough() : kxtest::StationSetup{});
    s.Device().m_TesterKind = r.kind;
    s.Device().m_DevSlpEnable = r.devSlp;
    r.fault(s.Drive().Faults());
    EXPECT_FALSE((s.Device().*r.check)());
    EXPECT_EQ(s.Device().m_ErrorCode, r.code);
    EXPECT_EQ(s.Device().m_ErrorMessage, r.message);
    EXPECT_TRUE(Has(PortReport(), std::string("Error Message : ") + r.message));
    EXPECT_FALSE(s.Drive().SecurityLocked());
    EXPECT_FALSE(s.Drive().SecurityEnabled());
  }
  EXPECT_TRUE(Has(PortReport(), "   Security Erase failed, the zero password is disabled: the drive stays unlocked."));
}

}  // namespace
