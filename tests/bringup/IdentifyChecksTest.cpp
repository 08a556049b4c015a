// IDENTIFY decoding and the tester version rules from literal bytes, then the
// identify and tester steps and the power off-on cycle against the emulated
// station in the modes whose commands differ.
#include "bringup/IdentifyChecks.h"

#include <gtest/gtest.h>

#include <array>
#include <utility>

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
emu::FaultRule FailCdb(int subcode, std::uint32_t skip = 0) {
  emu::FaultRule rule;
  rule.match.subcode = subcode;
  rule.action = emu::FaultAction::CheckCondition;
  rule.skip = skip;
  return rule;
}

TEST(IdentifyDecode, TextSizeGenerationAndDeviceSleep) {
  EXPECT_EQ(kx::AtaWordText(IdentifyData({{0, 0x4B58}, {1, 0x0041}, {2, 0x4300}}).data(), 0, 3), "KXC");
  const struct {
    std::uint16_t w60, w61, w100, w101, w102;
    std::uint32_t sectors;
  } sizes[] = {{0xFFFE, 0x0FFF, 1, 0, 0, 0x0FFFFFFE}, {0xFFFF, 0x0FFF, 0x1234, 1, 0, 0x00011234},
               {0xFFFF, 0xFFFF, 0x5678, 0x1234, 1, 0x12345678}};
  for (const auto& r : sizes) {
    SCOPED_TRACE(r.sectors);
    const auto id = IdentifyData({{60, r.w60}, {61, r.w61}, {100, r.w100}, {101, r.w101}, {102, r.w102}});
    EXPECT_EQ(kx::IdentifyLogicalSize(id.data()), r.sectors);
  }
  EXPECT_EQ(kx::SectorsToMb(1000215216), 488386u);
  const struct {
    std::uint16_t w76, w77;
    bool bridgeOrPort;
    int gen;
  } gens[] = {{0x0E, 2 << 1, false, 2}, {0x0F, 0, false, 0}, {0x0102, 0, false, 1},
              {0x06, 0, false, 2},      {0x0E, 0, false, 3}, {0x0F, 0, true, 3}};
  for (const auto& r : gens) {
    SCOPED_TRACE(testing::Message() << r.w76 << " " << r.w77 << " " << r.bridgeOrPort);
    EXPECT_EQ(kx::IdentifySataGen(IdentifyData({{76, r.w76}, {77, r.w77}}).data(), r.bridgeOrPort), r.gen);
  }
  const auto id = IdentifyData({{78, 0x0100}, {79, 0x0080}});
  EXPECT_TRUE(kx::IdentifyDevSleepSupported(id.data()));
  EXPECT_FALSE(kx::IdentifyDevSleepEnabled(id.data()));
}

TEST(TesterVersion, ThresholdsAsNumbersAndUsbGeneration) {
  const struct {
    int kind;
    const char* version;
    bool recentEnough, usbGen;
  } rows[] = {{4, "3.08", false, true}, {4, "3.09", true, true},   {4, "3.10", true, true},   {4, "10.00", true, false},
              {4, "0.00", false, false}, {1, "1.32", false, false}, {1, "1.33", true, false},  {4, "3.02", false, false},
              {4, "4.01", true, false},  {3, "3.03", true, true},   {4, " 3.09 ", true, true}, {4, "3.0x", false, false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.kind << " " << r.version);
    EXPECT_EQ(kx::TesterFwRecentEnough(r.kind, r.version), r.recentEnough);
    EXPECT_EQ(kx::TesterReportsUsbGen(r.kind, r.version), r.usbGen);
  }
  std::uint8_t page[528] = {};
  for (int i = 0; i < 12; ++i) page[98 + 2 * i] = static_cast<std::uint8_t>(" KXT\0ST-S..01"[i]);
  EXPECT_EQ(kx::TesterNameFromPage(page), "KXT");
}

class IdentifyChecks : public kxtest::DeviceTestEnv {
 protected:
  static void ExpectFailed(const CPortDevice& d, bool result, const char* code, const std::string& message) {
    EXPECT_FALSE(result);
    EXPECT_EQ(d.m_ErrorCode, code);
    EXPECT_EQ(d.m_ErrorMessage, message);
  }
};

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
  EXPECT_EQ(d.m_LogicalSizeSectors, 1000215216u);
  d.m_Station = 5;
  ExpectFailed(d, d.CheckIdentify(false), "S_x21", "Serial Number is empty !!!");
  EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));  // the caller reports
}

TEST_F(IdentifyChecks, IdentifyAndFirmwareNameReads) {
  {
    EmulatedStation s(Mode::SataPort, 1, {}, {.identify = true});
    s.Drive().Faults().FailNext(2, kFailIdentify);  // ATA pass-through, then SAT
    ExpectFailed(s.Device(), s.Device().CheckIdentify(false), "I_x06", "Issue Identify Command Fail.");
  }
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  std::uint8_t buffer[512];
  ASSERT_TRUE(d.IssueIdentify(buffer, true));
  EXPECT_EQ(kx::AtaWordText(buffer, 27, 2), "KX00");
  ASSERT_TRUE(d.IssueIdentify(buffer, false));
  EXPECT_EQ(kx::AtaWordText(buffer, 0, 4), "QVF10001");
  s.FrontEnd().GetFaults().Add(FailCdb(0x50));
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
  s.FrontEnd().Info().fwMajor = 10;
  EXPECT_TRUE(d.CheckTesterFwVersion(false));
  s.FrontEnd().GetFaults().Add(FailCdb(0x50));  // the status read
  EXPECT_FALSE(d.CheckTesterFwVersion(false));
  EXPECT_EQ(d.m_TesterFwVersion, "0.00");
  s.FrontEnd().GetFaults().Add(FailCdb(0xA0));
  ExpectFailed(d, d.CheckTesterFwVersion(true), "T_A13", "issue ReadUSBPage command failed.");
  EXPECT_TRUE(Has(PortReport(), "             Error Code : 0x60C \r\n"));
}

TEST_F(IdentifyChecks, TesterInfoOnABridgeButNotOnAPlainSataPort) {
  {
    EmulatedStation s(Mode::SataPort, 1, {}, {.identify = true});
    ExpectFailed(s.Device(), s.Device().ReadTesterInfo(), "T_A13", "issue ReadUSBPage command failed.");
  }
  EmulatedStation s(Mode::Bridge, 1, {}, {.tester = {.kind = 4, .usbGen = 2}});
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.ReadTesterInfo());
  EXPECT_EQ(d.m_TesterUsbGen, 2);
  s.FrontEnd().Info().kind = 1;
  s.FrontEnd().Info().usbGen = 3;
  ASSERT_TRUE(d.ReadTesterInfo());
  EXPECT_EQ(d.m_TesterUsbGen, 2);  // kind 1: left as it was
}

TEST_F(IdentifyChecks, PowerCycleEndsWithTheDeviceFigures) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.PowerCycleDevice(true));
  EXPECT_EQ(d.m_DeviceCapacityMB, 488386u);
  EXPECT_TRUE(Has(PortReport(), "[ Success ] Power off-on Process OK- Total take "));
  EXPECT_EQ(s.Sent({0x08, 0xF2, 0x90}).at(1).cdb[5], 48);  // second tester reset
  EXPECT_EQ(s.Sent({0x08, 0xF2, 0x85}).at(0).cdb[3], 35);  // production: PowerOn_Delay_3111 0 gives 35
  EXPECT_EQ(s.Sent({0x08, 0xF2, 0x50, 0x05}).size(), 2u);
  for (const auto& [kind, delay] : {std::pair{4, 96}, std::pair{1, 48}}) {
    SCOPED_TRACE(kind);
    CPortDevice tool(s.DriveNo(), 0, "", false, false);
    tool.m_TesterKind = kind;
    s.ClearSent();
    ASSERT_TRUE(tool.PowerCycleDevice(false));
    EXPECT_EQ(s.Sent({0x08, 0xF2, 0x85}).at(0).cdb[3], delay);
  }
}

TEST_F(IdentifyChecks, PowerCycleFailuresAreReported) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  s.FrontEnd().GetFaults().Add(FailCdb(0x90, 1));
  ExpectFailed(d, d.PowerCycleDevice(false), "T_I03", "Issue Power Reset Tester Command Fail");
  EXPECT_TRUE(Has(PortReport(), "             Error Code : 0x602 \r\n"));
  s.FrontEnd().GetFaults().Add(FailCdb(0x85));
  ExpectFailed(d, d.PowerCycleDevice(false), "T_x02", "Issue Power Reset Card Command Failed");
  s.Drive().Faults().SetNeverReady(true);
  ExpectFailed(d, d.PowerCycleDevice(false), "I_I87", "Reset Timeout, Status=0x80");
  s.Drive().Faults().SetNeverReady(false);
  s.Drive().Faults().FailNext(1, kFailIdentify);
  ExpectFailed(d, d.PowerCycleDevice(false), "I_x06", "Issue Identify Command Fail.");
  EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : Issue Identify Command Fail. \r\n"));
}

}  // namespace
