// IDENTIFY decoding and the tester version rules from literal bytes, then the
// identify and tester steps and the power off-on cycle against the emulated
// station in the modes whose commands differ.
#include "bringup/IdentifyChecks.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "device/PortDevice.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;
const emu::CommandFilter kFailIdentify = {.opcode = 0xEC, .subCommand = {}};

std::array<std::uint8_t, 512> IdentifyData(std::initializer_list<std::pair<int, std::uint16_t>> words) {
  std::array<std::uint8_t, 512> id{};
  for (const auto& [word, value] : words) {
    id[2 * word] = static_cast<std::uint8_t>(value);
    id[2 * word + 1] = static_cast<std::uint8_t>(value >> 8);
  }
  return id;
}

// The next tester command of this 08 F2 sub-code (after `skip` of them) ends in CHECK CONDITION.
void FailCdb(EmulatedStation& s, int subcode, std::uint32_t skip = 0) {
  emu::FaultRule rule;
  rule.match.subcode = subcode;
  rule.action = emu::FaultAction::CheckCondition;
  rule.skip = skip;
  s.FrontEnd().GetFaults().Add(rule);
}

void ExpectFailed(const CPortDevice& d, bool result, const std::string& code, const std::string& message) {
  EXPECT_FALSE(result);
  EXPECT_EQ(d.m_ErrorCode, code);
  EXPECT_EQ(d.m_ErrorMessage, message);
}

TEST(IdentifyDecode, TextSizeGenerationAndDeviceSleep) {
  EXPECT_EQ(kx::AtaWordText(IdentifyData({{0, 0x4B58}, {1, 0x0041}, {2, 0x4300}}).data(), 0, 3), "KXC");
  // The 28-bit count up to 0x0FFFFFFE, else the low 32 bits of the 48-bit one.
  EXPECT_EQ(kx::IdentifyLogicalSize(IdentifyData({{60, 0xFFFE}, {61, 0x0FFF}, {100, 1}}).data()), 0x0FFFFFFEu);
  EXPECT_EQ(
      kx::IdentifyLogicalSize(IdentifyData({{60, 0xFFFF}, {61, 0x0FFF}, {100, 0x1234}, {101, 1}, {102, 1}}).data()),
      0x00011234u);
  EXPECT_EQ(kx::IdentifySataGen(IdentifyData({{76, 0x0E}, {77, 2 << 1}}).data(), false), 2);  // word 77 wins
  EXPECT_EQ(kx::IdentifySataGen(IdentifyData({{76, 0x0102}}).data(), false), 1);              // the low byte
  EXPECT_EQ(kx::IdentifySataGen(IdentifyData({{76, 0x0F}}).data(), false), 0);
  EXPECT_EQ(kx::IdentifySataGen(IdentifyData({{76, 0x0F}}).data(), true), 3);  // behind a bridge or on a port
  const auto id = IdentifyData({{78, 0x0100}, {79, 0x0080}});
  EXPECT_TRUE(kx::IdentifyDevSleepSupported(id.data()));
  EXPECT_FALSE(kx::IdentifyDevSleepEnabled(id.data()));
}

TEST(TesterVersion, ThresholdsAsNumbersAndUsbGeneration) {
  const struct {
    int kind;
    const char* version;
    bool recentEnough, usbGen;
  } rows[] = {{4, "3.08", false, true},  {4, "3.09", true, true},  {4, "10.00", true, false}, {4, "0.00", false, false},
              {1, "1.32", false, false}, {1, "1.33", true, false}, {2, "3.09", true, false},  {3, "3.03", true, true},
              {4, " 3.09 ", true, true}, {4, "3.0x", false, false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.kind << " " << r.version);
    EXPECT_EQ(kx::TesterFwRecentEnough(r.kind, r.version), r.recentEnough);
    EXPECT_EQ(kx::TesterReportsUsbGen(r.kind, r.version), r.usbGen);
  }
  std::uint8_t page[528] = {};
  for (int i = 0; i < 12; ++i) page[98 + 2 * i] = static_cast<std::uint8_t>(" KXT\0ST-S..01"[i]);
  EXPECT_EQ(kx::TesterNameFromPage(page), "KXT");  // ends at a zero byte, trimmed
}

class IdentifyChecks : public kxtest::DeviceTestEnv {};

TEST_F(IdentifyChecks, SerialNumberReadingAndDeviceFigures) {
  emu::DriveConfig cfg;
  cfg.firmwareRevision = " QVF1";
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.CheckIdentify(true));
  EXPECT_EQ(d.m_SerialNumBase, "KX0000000000000001");
  EXPECT_EQ(d.m_FwRevision, "QVF1");
  EXPECT_TRUE(Has(PortReport(), "   Get SN: KX0000000000000001 \r\n"));
  ASSERT_TRUE(d.CheckIdentify(false));
  EXPECT_EQ(d.m_FwRevision, "QVF1   ");  // trailing blanks stay
  EXPECT_EQ(d.m_DeviceCapacityMB, 488386u);
  EXPECT_EQ(d.m_SataGen, 3);
  EXPECT_EQ(d.m_DevSleepSupported, 1);
}

TEST_F(IdentifyChecks, BlankSerialNumberFailsOnlyTheReadingAndQc) {
  emu::DriveConfig cfg;
  cfg.serial = "    ";
  EmulatedStation s(Mode::Bridge, 1, cfg);
  CPortDevice& d = s.Device();
  ExpectFailed(d, d.CheckIdentify(true), "S_x21", "Serial Number is empty !!!");
  EXPECT_TRUE(d.CheckIdentify(false));
  d.m_Station = 5;
  ExpectFailed(d, d.CheckIdentify(false), "S_x21", "Serial Number is empty !!!");
  EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));  // the caller reports
}

TEST_F(IdentifyChecks, IdentifyAndFirmwareNameReads) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  std::uint8_t buffer[512];
  ASSERT_TRUE(d.IssueIdentify(buffer, true));
  EXPECT_EQ(kx::AtaWordText(buffer, 27, 2), "KX00");
  ASSERT_TRUE(d.IssueIdentify(buffer, false));
  EXPECT_EQ(kx::AtaWordText(buffer, 0, 4), "QVF10001");
  FailCdb(s, 0x50);
  ExpectFailed(d, d.IssueIdentify(buffer, false), "I_B06", "GetICFWName Command Fail");
}

TEST_F(IdentifyChecks, TesterFirmwareVersionCheck) {
  EmulatedStation s(Mode::TesterDirect);  // kind 4, firmware 3.05
  CPortDevice& d = s.Device();
  d.m_ErrorCode = "earlier";
  EXPECT_FALSE(d.CheckTesterFwVersion(false));
  EXPECT_EQ(d.m_ErrorCode, "earlier");  // refused without a code
  EXPECT_EQ(d.m_TesterFwVersion, "3.05");
  EXPECT_EQ(d.m_TesterName, "KXTEST-S..01");
  EXPECT_TRUE(d.CheckTesterFwVersion(true));
  FailCdb(s, 0x50);  // the status read
  EXPECT_FALSE(d.CheckTesterFwVersion(false));
  EXPECT_EQ(d.m_TesterFwVersion, "0.00");
  FailCdb(s, 0xA0);
  ExpectFailed(d, d.CheckTesterFwVersion(true), "T_A13", "issue ReadUSBPage command failed.");
  EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : issue ReadUSBPage command failed. \r\n"));
}

TEST_F(IdentifyChecks, TesterInformationOnABridge) {
  EmulatedStation s(Mode::Bridge, 1, {}, {.tester = {.kind = 4, .usbGen = 2}});
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.ReadTesterInfo());
  EXPECT_EQ(d.m_TesterUsbGen, 2);
  s.FrontEnd().Info().kind = 1;
  s.FrontEnd().Info().usbGen = 3;
  ASSERT_TRUE(d.ReadTesterInfo());
  EXPECT_EQ(d.m_TesterUsbGen, 2);  // kind 1: left as it was
}

TEST_F(IdentifyChecks, PowerCycleDelayByStationAndTesterKind) {
  EmulatedStation s(Mode::TesterDirect);
  ASSERT_TRUE(s.Device().PowerCycleDevice(true));
  EXPECT_TRUE(Has(PortReport(), "[ Success ] Power off-on Process OK- Total take "));
  EXPECT_EQ(s.Sent({0x08, 0xF2, 0x85}).at(0).cdb[3], 35);  // production: PowerOn_Delay_3111 0 gives 35
  for (const auto& [kind, delay] : {std::pair{4, 96}, std::pair{3, 48}}) {
    SCOPED_TRACE(kind);
    CPortDevice tool(s.DriveNo(), 0, "", false, false);
    tool.m_TesterKind = kind;
    s.ClearSent();
    ASSERT_TRUE(tool.PowerCycleDevice(false));
    EXPECT_EQ(s.Sent({0x08, 0xF2, 0x85}).at(0).cdb[3], delay);
  }
}

TEST_F(IdentifyChecks, PowerCycleFailuresAreReported) {
  const struct {
    const char* name;
    std::function<void(EmulatedStation&)> prepare;
    const char *code, *message;
  } rows[] = {
      {"second tester reset", [](auto& s) { FailCdb(s, 0x90, 1); }, "T_I03", "Issue Power Reset Tester Command Fail"},
      {"card reset", [](auto& s) { FailCdb(s, 0x85); }, "T_x02", "Issue Power Reset Card Command Failed"},
      {"never ready", [](auto& s) { s.Drive().Faults().SetNeverReady(true); }, "I_I87", "Reset Timeout, Status=0x80"},
      {"identify", [](auto& s) { s.Drive().Faults().FailNext(1, kFailIdentify); }, "I_x06",
       "Issue Identify Command Fail."}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EmulatedStation s(Mode::TesterDirect);
    CPortDevice& d = s.Device();
    r.prepare(s);
    ExpectFailed(d, d.PowerCycleDevice(false), r.code, r.message);
    EXPECT_TRUE(Has(PortReport(), std::string("[ Fail ]  Error Message : ") + r.message + " \r\n"));
  }
}

}  // namespace
