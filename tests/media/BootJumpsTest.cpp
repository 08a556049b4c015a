// Register access, the jump to the loaded code and the forced return to boot
// code against the emulated drive under virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "device/PortDevice.h"
#include "media/BootJumps.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;
constexpr emu::CommandFilter kJump = {.opcode = 0x31, .subCommand = 0x0F};
constexpr emu::CommandFilter kRegWrite = {.opcode = 0x31, .subCommand = 0x60};

void ExpectFailed(const CPortDevice& d, bool result, const std::string& code, const std::string& message) {
  EXPECT_FALSE(result);
  EXPECT_EQ(d.m_ErrorCode, code);
  EXPECT_EQ(d.m_ErrorMessage, message);
}

// The vendor commands the drive saw with this command (31h write, 21h read) and sub-command.
class BootJumps : public kxtest::DeviceTestEnv {};

TEST_F(BootJumps, RegisterWriteAndRead) {
  EmulatedStation s(Mode::Bridge);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.WriteReg4(0x04002180, 0x00000512, 1));
  EXPECT_EQ(s.Drive().Register(0x04002180), 0x12u);  // one byte wide
  s.Drive().SetRegister(0x04009800, 0x87654321);
  ASSERT_TRUE(d.ReadReg4(0x04009800, 4));
  EXPECT_EQ(d.m_RegBuffer[7], 0x87);
  EXPECT_EQ(s.DriveSent(0x31, 0x24).at(0).request.lbaHigh, 0x33);  // the address goes to SRAM 0x3300
  const struct {
    emu::CommandFilter fail;
    bool read;
    const char *code, *message;
  } rows[] = {{kRegWrite, false, "I_x33", "Issue Write4ByteReg command Failed !!"},
              {{.opcode = 0x31, .subCommand = 0x24}, true, "I_x20", "Issue DirectWriteSRAM command Failed !!"},
              {{.opcode = 0x21, .subCommand = 0x61}, true, "I_x34", "Read4ByteReg command Failed !!"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.code);
    s.Drive().Faults().FailNext(1, r.fail);
    ExpectFailed(d, r.read ? d.ReadReg4(0x04009800, 4) : d.WriteReg4(0x04002180, 1, 4), r.code, r.message);
  }
  EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));  // the callers report
}

TEST_F(BootJumps, FailedJumpsPauseFiveSecondsThenOne) {
  EmulatedStation s(Mode::TesterDirect);
  s.Drive().Faults().FailNext(2, kJump);
  ASSERT_TRUE(s.Device().JumpToBoot(5000));
  const auto jumps = s.DriveSent(0x31, 0x0F);
  ASSERT_EQ(jumps.size(), 3u);
  EXPECT_EQ(jumps[1].atMs - jumps[0].atMs, 5000u);
  EXPECT_EQ(jumps[2].atMs - jumps[1].atMs, 1000u);
  EXPECT_EQ(s.Now() - jumps[2].atMs, 5300u);  // the delay, then one 300 ms poll
  s.Drive().Faults().FailNext(10, kJump);
  const std::uint64_t start = s.Now();
  ExpectFailed(s.Device(), s.Device().JumpToBoot(1500), "I_x05", "Failed! Jump to Boot Fail !!");
  EXPECT_EQ(s.Now() - start, 14000u);  // ten tries
}

TEST_F(BootJumps, DeviceNotReadyAfterTheJump) {
  emu::DriveConfig slowBoot;
  slowBoot.bootDelayMs = 30000;
  {
    EmulatedStation s(Mode::TesterDirect, 1, slowBoot);
    ExpectFailed(s.Device(), s.Device().JumpToBoot(0), "I_x87",
                 "After ISP Jump, polling Device status(80) TimeOut(20 sec) !!");
  }
  EmulatedStation s(Mode::Bridge);
  s.Drive().Faults().NoAnswer(2, 0xFF);
  ExpectFailed(s.Device(), s.Device().JumpToBoot(0), "I_x24", "After ISP Jump, Device status(ff) failed !!");
}

TEST_F(BootJumps, ForceToBootCodeLeavesTheSwitchAtZero) {
  EmulatedStation s(Mode::SataPort);
  ASSERT_TRUE(s.Device().ForceToBootCode());
  EXPECT_EQ(s.Drive().Code(), emu::RunningCode::Boot);
  EXPECT_EQ(s.Drive().Register(kx::kRegBootSwitch), 0u);
  EXPECT_EQ(s.DriveSent(0x31, 0x60).at(0).dataHead[4], 2);  // 2 before the jump
}

TEST_F(BootJumps, ForceToBootCodeTimingFollowsLoadBootCodeDelayTime) {
  EmulatedStation s(Mode::TesterDirect);
  const std::pair<const char*, const char*> rows[] = {
      {nullptr, "1.800"}, {"3000", "3.300"}, {"-1", "0.600"}};  // absent: 1.5 s; then the polls
  for (const auto& [delay, seconds] : rows) {
    SCOPED_TRACE(delay ? delay : "absent");
    if (delay) SetIni(".\\param.ini", "Options", "LoadBootCodeDelayTime", delay);
    ASSERT_TRUE(s.Device().ForceToBootCode());
    EXPECT_TRUE(Has(PortReport(), std::string("[ Success ] Force To Boot Code OK.- Total take ") + seconds + " sec."));
  }
}

TEST_F(BootJumps, ForceToBootCodeFailuresAreReported) {
  const struct {
    const char* name;
    std::function<void(emu::DriveFaults&)> fault;
    const char *code, *message;
    emu::RunningCode running;
    std::uint32_t bootSwitch;
  } rows[] = {{"first switch write", [](auto& f) { f.FailNext(1, kRegWrite); }, "I_x33",
               "Failed! Write4ByteReg command Failed-1 !!", emu::RunningCode::RomMp, 0},
              {"jump", [](auto& f) { f.FailNext(10, kJump); }, "I_x05", "Failed! Jump to Boot Fail !!",
               emu::RunningCode::RomMp, 2},
              {"access key", [](auto& f) { f.RefuseAccessKey(3); }, "I_x01", "Issue Set AP key command Fail.",
               emu::RunningCode::RomMp, 0},
              {"second switch write", [](auto& f) { f.FailNext(1, {.opcode = 0x31, .subCommand = 0x60, .skip = 1}); },
               "I_x33", "Failed! Write4ByteReg command Failed-1 !!", emu::RunningCode::Boot, 2}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EmulatedStation s(Mode::TesterDirect);
    CPortDevice& d = s.Device();
    r.fault(s.Drive().Faults());
    bool ok = true;
    const std::string report = Appended("D:\\Log\\D_Reports\\PC_1_Report.txt", [&] { ok = d.ForceToBootCode(); });
    ExpectFailed(d, ok, r.code, r.message);
    EXPECT_TRUE(Has(report, std::string("[ Fail ]  Error Message : ") + r.message + " \r\n"));
    EXPECT_EQ(s.Drive().Code(), r.running);
    EXPECT_EQ(s.Drive().Register(kx::kRegBootSwitch), r.bootSwitch);
  }
}

}  // namespace
