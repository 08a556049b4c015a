// Register access, the jump to the loaded code and the forced return to boot
// code against the emulated drive under virtual time.
#include <gtest/gtest.h>

#include <algorithm>

#include "device/PortDevice.h"
#include "media/BootJumps.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;

TEST(BootJumpHelpers, RegisterDescriptorAndRetryPauses) {
  std::uint8_t sector[512];
  std::fill(std::begin(sector), std::end(sector), 0xEE);
  kx::BuildRegisterDescriptor(sector, 0x04000044, 0xA1B2C3D4);
  const std::uint8_t head[8] = {0x44, 0x00, 0x00, 0x04, 0xD4, 0xC3, 0xB2, 0xA1};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(sector[i], head[i]) << "byte " << i;
  EXPECT_EQ(std::count(sector + 8, sector + 512, 0), 504);
  EXPECT_EQ(kx::JumpRetryPauseMs(1), 5000u);
  EXPECT_EQ(kx::JumpRetryPauseMs(10), 1000u);
}

class BootJumps : public kxtest::DeviceTestEnv {
 protected:
  static void ExpectFailed(CPortDevice& d, bool result, const char* code, const std::string& message) {
    EXPECT_FALSE(result);
    EXPECT_EQ(d.m_ErrorCode, code);
    EXPECT_EQ(d.m_ErrorMessage, message);
  }
  // The vendor commands the drive saw with this command (31h write, 21h read) and sub-command.
  static std::vector<emu::TraceEntry> Vendor(EmulatedStation& s, std::uint8_t command, std::uint8_t sub) {
    std::vector<emu::TraceEntry> out;
    for (const auto& e : s.Drive().Trace())
      if (e.request.command == command && e.request.features == sub) out.push_back(e);
    return out;
  }
  static constexpr emu::CommandFilter kJump = {.opcode = 0x31, .subCommand = 0x0F};
  static constexpr emu::CommandFilter kRegWrite = {.opcode = 0x31, .subCommand = 0x60};
};

TEST_F(BootJumps, WriteReg4) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.WriteReg4(0x04002180, 0x00000512, 1));
  EXPECT_EQ(s.Drive().Register(0x04002180), 0x12u);  // one byte wide
  s.Drive().Faults().FailNext(1, kRegWrite);
  ExpectFailed(d, d.WriteReg4(0x04002180, 1, 4), "I_x33", "Issue Write4ByteReg command Failed !!");
  EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));
}

TEST_F(BootJumps, ReadReg4) {
  EmulatedStation s(Mode::Bridge);
  CPortDevice& d = s.Device();
  s.Drive().SetRegister(0x04009800, 0x87654321);
  ASSERT_TRUE(d.ReadReg4(0x04009800, 4));
  EXPECT_EQ(d.m_RegBuffer[7], 0x87);
  EXPECT_EQ(Vendor(s, 0x31, 0x24).at(0).request.lbaHigh, 0x33);  // the address goes to SRAM 0x3300
  s.Drive().Faults().FailNext(1, {.opcode = 0x31, .subCommand = 0x24});
  ExpectFailed(d, d.ReadReg4(0x04009800, 4), "I_x20", "Issue DirectWriteSRAM command Failed !!");
  s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x61});
  ExpectFailed(d, d.ReadReg4(0x04009800, 4), "I_x34", "Read4ByteReg command Failed !!");
  EXPECT_EQ(d.m_RegBuffer[3], 0x00);  // the descriptor was cleared before the read
}

TEST_F(BootJumps, FailedJumpsPauseFiveSecondsThenOne) {
  EmulatedStation s(Mode::TesterDirect);
  s.Drive().Faults().FailNext(2, kJump);
  ASSERT_TRUE(s.Device().JumpToBoot(5000));
  const auto jumps = Vendor(s, 0x31, 0x0F);
  ASSERT_EQ(jumps.size(), 3u);
  EXPECT_EQ(jumps[1].atMs - jumps[0].atMs, 5000u);
  EXPECT_EQ(jumps[2].atMs - jumps[1].atMs, 1000u);
  EXPECT_EQ(s.Now() - jumps[2].atMs, 5300u);  // the delay, then one 300 ms poll
}

TEST_F(BootJumps, TenFailedJumps) {
  EmulatedStation s(Mode::Bridge);
  s.Drive().Faults().FailNext(10, kJump);
  const std::uint64_t start = s.Now();
  ExpectFailed(s.Device(), s.Device().JumpToBoot(1500), "I_x05", "Failed! Jump to Boot Fail !!");
  EXPECT_EQ(s.Now() - start, 14000u);
}

TEST_F(BootJumps, CardNotReadyAfterTheJump) {
  emu::DriveConfig slowBoot;
  slowBoot.bootDelayMs = 30000;
  EmulatedStation s(Mode::TesterDirect, 1, slowBoot);
  ExpectFailed(s.Device(), s.Device().JumpToBoot(0), "I_x87",
               "After ISP Jump, polling Device status(80) TimeOut(20 sec) !!");
}

TEST_F(BootJumps, CardFailingAfterTheJump) {
  EmulatedStation s(Mode::Bridge);
  s.Drive().Faults().NoAnswer(2, 0xFF);
  ExpectFailed(s.Device(), s.Device().JumpToBoot(0), "I_x24", "After ISP Jump, Device status(ff) failed !!");
}

class ForceToBoot : public BootJumps, public ::testing::WithParamInterface<Mode> {};

TEST_P(ForceToBoot, RunsBootCodeWithTheSwitchBackAtZero) {
  EmulatedStation s(GetParam());
  ASSERT_TRUE(s.Device().ForceToBootCode());
  EXPECT_EQ(s.Drive().Code(), emu::RunningCode::Boot);
  EXPECT_EQ(s.Drive().Register(0x04000044), 0u);
  EXPECT_EQ(Vendor(s, 0x31, 0x60).at(0).dataHead[4], 2);
}

const char* const kModeNames[] = {"TesterDirect", "Bridge", "SataPort"};
INSTANTIATE_TEST_SUITE_P(Modes, ForceToBoot, ::testing::Values(Mode::TesterDirect, Mode::Bridge, Mode::SataPort),
                         [](const auto& info) { return kModeNames[static_cast<int>(info.param)]; });

TEST_F(BootJumps, ForceToBootCodeTimingFollowsLoadBootCodeDelayTime) {
  EmulatedStation s(Mode::TesterDirect);
  ASSERT_TRUE(s.Device().ForceToBootCode());  // absent: 1.5 s, then one poll
  EXPECT_TRUE(Has(PortReport(), "[ Success ] Force To Boot Code OK.- Total take 1.800 sec. \r\n"));
  SetIni(".\\param.ini", "Options", "LoadBootCodeDelayTime", "3000");
  ASSERT_TRUE(s.Device().ForceToBootCode());
  EXPECT_TRUE(Has(PortReport(), "[ Success ] Force To Boot Code OK.- Total take 3.300 sec. \r\n"));
}

TEST_F(BootJumps, ForceToBootCodeFailuresAreReported) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  s.Drive().Faults().FailNext(1, kRegWrite);
  ExpectFailed(d, d.ForceToBootCode(), "I_x33", "Failed! Write4ByteReg command Failed-1 !!");
  EXPECT_EQ(s.Drive().Code(), emu::RunningCode::RomMp);
  EXPECT_TRUE(Has(PortReport(), "             Error Code : 0x420 \r\n"));
  s.Drive().Faults().FailNext(10, kJump);
  ExpectFailed(d, d.ForceToBootCode(), "I_x05", "Failed! Jump to Boot Fail !!");
  EXPECT_TRUE(Has(PortReport(), "             Error Code : 0x404 \r\n"));
  s.Drive().Faults().RefuseAccessKey(3);
  ExpectFailed(d, d.ForceToBootCode(), "I_x01", "Issue Set AP key command Fail.");
  EXPECT_TRUE(Has(PortReport(), "             Error Code : 0x400 \r\n"));
}

TEST_F(BootJumps, SecondSwitchWriteFailsOnBootCode) {
  EmulatedStation s(Mode::TesterDirect);
  s.Drive().Faults().FailNext(1, {.opcode = 0x31, .subCommand = 0x60, .skip = 1});
  ExpectFailed(s.Device(), s.Device().ForceToBootCode(), "I_x33", "Failed! Write4ByteReg command Failed-1 !!");
  EXPECT_EQ(s.Drive().Code(), emu::RunningCode::Boot);
  EXPECT_EQ(s.Drive().Register(0x04000044), 2u);
}

}  // namespace
