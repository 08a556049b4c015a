// Firmware-name derivation, running-code tags and MP-version bytes from literal
// texts, then the running-code and firmware-identity checks against the
// emulated station.
#include "bringup/RunningCode.h"

#include <gtest/gtest.h>

#include <array>

#include "bringup/IdentifyChecks.h"
#include "device/PortDevice.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kx::RunningTag;
using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;
using Bytes5 = std::array<std::uint8_t, 5>;
const emu::CommandFilter kFailIdentify = {.opcode = 0xEC, .subCommand = {}};
const char kParam[] = ".\\param.ini";

TEST(FirmwareName, TestNumberAndNameFromTheFileName) {
  const std::pair<const char*, int> numbers[] = {{"V1.02(T3)", 3}, {"V2(T15", 15}, {"_T5", 0}, {"V1_TAB", 0}};
  for (const auto& [version, number] : numbers) {
    SCOPED_TRACE(version);
    EXPECT_EQ(kx::ToolTestNumber(version), number);
  }
  EXPECT_EQ(kx::FirmwareNameFromBaseName("ABCDEFGHIJKLMNOP", 0), "0IKLMNOP");
  EXPECT_EQ(kx::FirmwareNameFromBaseName("ABCDEFGHIJKLMNOP", 26), "0IKLM1OP");  // the first hex digit
}

TEST(RunningCodeTags, FirstThreeCharactersWithoutRegardToCase) {
  const struct {
    const char *name, *fileName, *expected;
    RunningTag tag;
  } rows[] = {{"qvbM 0.6", "", "", RunningTag::Mcode},         {"QVS00101", "", "", RunningTag::Rdt},
              {"rbs00101", "", "", RunningTag::Rdt},           {"RDT00101", "", "", RunningTag::Rdt},
              {"0IKLMNOP", "0ikLMcOP", "", RunningTag::Flash}, {"XY", "XY", "XY", RunningTag::None}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(kx::MatchRunningTag(r.name, r.fileName, r.expected), r.tag);
  }
  EXPECT_EQ(kx::McodeVersionOf("QVB"), "");
  EXPECT_FALSE(kx::IsControllerModel("KX0"));
}

TEST(MpVersion, FiveBytes) {
  const struct {
    const char *project, *version, *mpBin;
    Bytes5 bytes;
  } rows[] = {{"", "V1.02_T3_IM", "", {0x24, 1, 2, 3, 0xFF}},
              {" kx7410l ", "1.05", "", {0x01, 0, 0, 0, 0xFF}},
              {"QM6620", "V7.01", "", {0x03, 7, 1, 0, 0xFF}},
              {"", "xV", ".\\FW\\AB15002_07.bin  ", {0, 0, 0, 0, 7}},
              {"", "", ".\\FW\\AB15003_07.bin", {0, 0, 0, 0, 0xFF}},
              {"", "", "a\\bin", {0, 0, 0, 0, 0xFF}}};  // a name shorter than ".bin"
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.project << "|" << r.version << "|" << r.mpBin);
    EXPECT_EQ(kx::MpVersionBytes(r.project, r.version, r.mpBin), r.bytes);
  }
}

class RunningCode : public kxtest::DeviceTestEnv {
 protected:
  void SetUp() override { MakeDirs(".\\Configuration\\System"); }
  static void ExpectFailed(const CPortDevice& d, bool result, const std::string& code, const std::string& message) {
    EXPECT_FALSE(result);
    EXPECT_EQ(d.m_ErrorCode, code);
    EXPECT_EQ(d.m_ErrorMessage, message);
  }
  static emu::DriveConfig Running(emu::RunningCode code, const char* flashName = "QVF10001") {
    emu::DriveConfig cfg;
    cfg.initialCode = code;
    cfg.firmwareRevision = flashName;
    return cfg;
  }
  // The next 08 F2 50 command (the firmware-name read here) ends in CHECK CONDITION.
  static void FailNameRead(EmulatedStation& s) {
    emu::FaultRule rule;
    rule.match.subcode = 0x50;
    rule.action = emu::FaultAction::CheckCondition;
    s.FrontEnd().GetFaults().Add(rule);
  }
};

TEST_F(RunningCode, FirmwareNameAndVersionBytesFromSettings) {
  const char tool[] = ".\\Configuration\\System\\MPToolSetting.ini";
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  EXPECT_EQ(d.GetFirmwareNameFromBin(""), "");
  EXPECT_TRUE(Has(PortReport(), "   File Name is not empty! \r\n"));
  EXPECT_EQ(d.GetFirmwareNameFromBin("x\\ABCDEFGHIJKLMNOPQ.bin"), "");
  EXPECT_TRUE(Has(PortReport(), "   The format of file Name is not correct! \r\n"));
  SetIni(kParam, "Options", "Set Firmware Name", "ABC");
  EXPECT_EQ(d.GetFirmwareNameFromBin(""), "ABC");
  EXPECT_EQ(d.GetFirmwareNameFromBin(".\\FW\\ABCDEFGHIJKLMNOPQRSTU.bin"), "000PRSTU");
  SetIni(kParam, "Device Info", "ISP_MPBINCode", ".\\FW\\ABCD15002JKLMNOP.bin");
  SetIni(tool, "General Info", "BuildVersion", "V4.10_T12_X");
  EXPECT_EQ(d.GetFirmwareNameFromBin(".\\FW\\ABCDEFGHIJKLMNOPQRSTU.bin"), "02KLMcOP");
  SetIni(tool, "General Info", "MPVerProjectName", "QM6620");
  Bytes5 out{};
  d.BuildMpVersionBytes(out.data());
  EXPECT_EQ(out, Bytes5({0x12, 4, 10, 12, 0}));  // B4 from "OP": not a number
}

TEST_F(RunningCode, CheckPerRunningCodeAndMode) {
  const struct {
    emu::RunningCode code;
    int passingMode, failingMode;
    const char *failCode, *failMessage, *bootVersion, *mcodeVersion;
    bool flash;
  } rows[] = {{emu::RunningCode::Boot, 0, 1, "I_B66", "[ChkRC]Not Running on mCode now", "1.00", "0.0", false},
              {emu::RunningCode::Mcode, 1, 0, "I_B65", "[ChkRC]Not Running on Boot Code now", "0.0", "0.6", false},
              {emu::RunningCode::RomMp, 2, 1, "I_B66", "[ChkRC]Not Running on mCode now", "0.0", "0.0", true},
              {emu::RunningCode::Boot, 3, 2, "I_B67", "[ChkRC]Not Running on Flash Code now", "1.00", "0.0", false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(r.code) << " mode " << r.passingMode);
    EmulatedStation s(Mode::TesterDirect, 1, Running(r.code));
    CPortDevice& d = s.Device();
    EXPECT_TRUE(d.ChkRC(r.passingMode, 0, true, "", nullptr));
    EXPECT_EQ(d.m_BootVersion, r.bootVersion);
    EXPECT_EQ(d.m_McodeVersion, r.mcodeVersion);
    EXPECT_EQ(d.IsRunningFlashCode(), r.flash);
    ExpectFailed(d, d.ChkRC(r.failingMode, 0, false, "", nullptr), r.failCode, r.failMessage);
  }
}

TEST_F(RunningCode, IdentifyDataOnlyFromMpFirmware) {
  emu::DriveConfig rdt = Running(emu::RunningCode::RomRdt);
  rdt.rdtFirmwareName = "SBS00101";
  const struct {
    Mode mode;
    emu::DriveConfig drive;
    const char* serial;  // IDENTIFY words 10-19 in the caller's buffer
  } rows[] = {{Mode::TesterDirect, {}, "KX0000000000000001  "},
              {Mode::Bridge, {}, "KX0000000000000001  "},
              {Mode::TesterDirect, rdt, ""}};
  for (const auto& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.mode));
    EmulatedStation s(r.mode, 1, r.drive);
    std::uint8_t buffer[512] = {};
    ASSERT_TRUE(s.Device().ChkRC(2, 0, true, "", buffer));
    EXPECT_EQ(kx::AtaWordText(buffer, 10, 10), r.serial);
  }
}

TEST_F(RunningCode, UnknownNameCountsAsFlashCodeOnlyInModes3And4) {
  EmulatedStation s(Mode::TesterDirect, 1, Running(emu::RunningCode::RomMp, "ABU00001"));
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.ChkRC(4, 0, true, "", nullptr));
  EXPECT_EQ(d.m_ROMMode, 1);
  EXPECT_EQ(d.m_UltraMlc, 1);
  d.m_Station = 5;
  ExpectFailed(d, d.ChkRC(2, 0, false, "", nullptr), "P_B09",
               "[ChkRC]Device don't do initial.Not Running on Flash Code now");
  EXPECT_TRUE(d.ChkRC(2, 0, false, "abu", nullptr));  // the caller's expected name
  CPortDevice tool(s.DriveNo(), 0, "", false, false);
  ASSERT_TRUE(tool.ChkRC(3, 0, false, "", nullptr));
  EXPECT_EQ(tool.m_UltraMlc, 0);  // production devices only
}

TEST_F(RunningCode, VersionComparedWithTheParameterFile) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  SetIni(kParam, "Options", "Set Firmware Name", "QVF10001");
  EXPECT_TRUE(d.ChkRC(2, 1, true, "", nullptr));
  SetIni(kParam, "Options", "Set Firmware Name", "QVF10002");
  EXPECT_TRUE(d.ChkRC(2, 0, true, "", nullptr));
  ExpectFailed(d, d.ChkRC(2, 1, true, "", nullptr), "P_B05",
               "[ChkRC]Flash Code Version Is Not Matched param.ini Setting");
  EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : [ChkRC]Flash Code Version Is Not Matched param.ini"));
}

TEST_F(RunningCode, NameReadFailures) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  FailNameRead(s);
  ExpectFailed(d, d.ChkRC(3, 0, false, "", nullptr), "I_B06", "GetICFWName Command Fail");
  EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));
  FailNameRead(s);
  EXPECT_FALSE(d.IsRunningFlashCode());
  EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : GetICFWName Command Fail \r\n"));
  d.m_ErrorCode = "earlier";  // the identity check sets no code
  FailNameRead(s);
  ExpectFailed(d, d.CheckFirmwareIdentity(4, "", nullptr), "earlier", "GetICFWName Command Fail");
  CPortDevice tool(s.DriveNo(), 0, "", false, false);
  ExpectFailed(tool, tool.CheckFirmwareIdentity(4, "", nullptr), "", "Controller Type NOT supported by AP.");
}

TEST_F(RunningCode, IdentityForcesBootCodeOnceForAnotherModel) {
  emu::DriveConfig cfg;
  cfg.flashFirmwareModel = "OTHER SSD";
  {
    EmulatedStation s(Mode::Bridge, 1, cfg);
    CPortDevice& d = s.Device();
    ASSERT_TRUE(d.CheckFirmwareIdentity(4, "", nullptr));
    EXPECT_EQ(d.m_BootMode, 1);
    EXPECT_EQ(d.m_ROMMode, 0);
    EXPECT_EQ(s.Drive().Code(), emu::RunningCode::Boot);
  }
  cfg.model = "XY00 SSD";  // the boot code's own model
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  ExpectFailed(s.Device(), s.Device().CheckFirmwareIdentity(4, "", nullptr), "",
               "Model Name NOT correct on Boot Code !!! ");
}

TEST_F(RunningCode, IdentityFailuresOnTheBridge) {
  EmulatedStation s(Mode::Bridge, 1, Running(emu::RunningCode::RomMp, "XYZ00001"));
  CPortDevice& d = s.Device();
  ExpectFailed(d, d.CheckFirmwareIdentity(0, "", nullptr), "", "Got FW-Name not correctly !!! ");
  s.Drive().Faults().FailNext(1, kFailIdentify);
  ExpectFailed(d, d.CheckFirmwareIdentity(4, "", nullptr), "", "GetIdentify Command Fail");
  s.Drive().Faults().FailNext(1, kFailIdentify);
  ExpectFailed(d, d.ChkRC(3, 0, false, "", nullptr), "I_x06", "Issue Identify Command Fail.");
}

}  // namespace
