// The RAM load of the station steps against the emulated drive, and its failure rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "device/PortDevice.h"
#include "media/IspRam.h"
#include "protocol/CodeHeader.h"
#include "protocol/MediaRecords.h"
#include "tests/media/FirmwareFiles.h"
#include "tests/support/EmulatedStation.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Mode;
using Cmd = std::tuple<int, int, int, int>;  // sub-command, sectors, LBA mid, LBA high

emu::DriveConfig BootDrive() {
  emu::DriveConfig c;
  c.initialCode = emu::RunningCode::Boot;
  return c;
}

// Section 0 a full chunk and one sector, section 1 one full chunk, an ICode of 130 sectors.
kxtest::BinImageSpec ChunkedSpec() {
  kxtest::BinImageSpec spec;
  spec.sections[0] = {0x20000000, 66048};
  spec.sections[1] = {0x20100000, 65536};
  spec.sections[6] = {0, 130 * 512};
  return spec;
}

// The vendor writes `subs` the drive took; `data`: a descriptor's address and length for the LBA registers.
std::vector<Cmd> Writes(EmulatedStation& s, std::initializer_list<int> subs, bool data = false) {
  std::vector<Cmd> out;
  for (const auto& e : s.Drive().Trace()) {
    const auto& r = e.request;
    const auto word = [&e](int at) { return static_cast<int>(kx::LoadLe32(e.dataHead.data() + at)); };
    if (r.command == 0x31 && std::find(subs.begin(), subs.end(), r.features) != subs.end())
      out.emplace_back(r.features, r.count, data ? word(0) : r.lbaMid, data ? word(4) : r.lbaHigh);
  }
  return out;
}

// The image as param.ini's MP BIN file; its burner calls itself "QVBM 0.7".
void Install(const kxtest::BinImageSpec& spec) {
  auto image = kxtest::BuildBinImage(spec);
  kx::codeheader::Write(image.data() + 512, 16384, "QVBM 0.7", false);
  kxtest::FixBinSums(image);
  kxtest::InstallBin(image);
}

class IspRam : public kxtest::DeviceTestEnv {};

TEST(IspRamRules, HowTheDetectVariantHandsFailuresOn) {
  const kx::PramFailRule icode = kx::PramFailureRule(kx::PramStep::ICode, true);
  EXPECT_TRUE(icode.keepCode && !icode.messageBox && !icode.failReport);  // the detect variant: message only
  const kx::PramFailRule jump = kx::PramFailureRule(kx::PramStep::Jump, true);
  EXPECT_FALSE(jump.familyLetter || jump.messageBox);  // the jump's own code, no box
  EXPECT_TRUE(kx::PramFailureRule(kx::PramStep::Jump, false).familyLetter);
}

TEST_F(IspRam, LoadsInChunksAndTheDriveRunsTheNewBurner) {
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge}) {
    SCOPED_TRACE(mode == Mode::Bridge ? "bridge" : "tester-direct");
    EmulatedStation s(mode, 1, BootDrive());
    Install(ChunkedSpec());
    CPortDevice& d = s.Device();
    ASSERT_TRUE(d.IspProgramPram(false, ""));
    EXPECT_EQ(s.Drive().Code(), emu::RunningCode::Mcode);
    EXPECT_EQ(d.m_McodeVersion, "0.7");  // the mCode check read the loaded burner's name
    // Descriptors: section 0's chunk and its remainder at +65,536, section 1, then one per section for its CRC.
    const std::vector<Cmd> descriptors = {{0x24, 1, 0x20000000, 65536},
                                          {0x24, 1, 0x20010000, 512},
                                          {0x24, 1, 0x20100000, 65536},
                                          {0x24, 1, 0x20000000, 66048},
                                          {0x24, 1, 0x20100000, 65536}};
    EXPECT_EQ(Writes(s, {0x24}, true), descriptors);
    EXPECT_EQ(Writes(s, {0x40}), (std::vector<Cmd>{{0x40, 128, 1, 0}, {0x40, 1, 1, 0}, {0x40, 128, 1, 0}}));
    EXPECT_EQ(Writes(s, {0xBD, 0xBE}),
              (std::vector<Cmd>{{0xBD, 128, 0, 0}, {0xBD, 2, 1, 1}, {0xBE, 128, 0, 0}, {0xBE, 2, 0, 1}}));
    const auto trace = s.Drive().Trace();
    for (std::size_t i = 1; i < trace.size(); ++i) {
      const bool vendor = trace[i].request.command == 0x31 || trace[i].request.command == 0x21;
      EXPECT_TRUE(!vendor || trace[i - 1].request.command == 0xFA) << "no access key before command " << i;
    }
    kxtest::ExpectParts(PortReport(), {"   Load Code done. \r\n", "[ Success ] ISP Program PRAM OK- Total take "});
    ASSERT_TRUE(d.ChkRC(3, 0, false, "", nullptr));
    EXPECT_EQ(d.m_FwRevision, "QVBM 0.7");
  }
}

TEST_F(IspRam, AnEmptySectionTableSendsTheSeedAndJumps) {
  EmulatedStation s(Mode::TesterDirect, 1, BootDrive());
  kxtest::BinImageSpec spec;
  spec.sections = {};
  Install(spec);
  CPortDevice& d = s.Device();
  // Nothing was loaded, so the boot code runs on.
  kxtest::ExpectFailed(d, d.IspProgramPram(false, ""), "I_B66", "[ChkRC]Not Running on mCode now");
  EXPECT_EQ(Writes(s, {0x80, 0x24, 0x40, 0x0F, 0xBD}), (std::vector<Cmd>{{0x80, 32, 0, 0}, {0x0F, 1, 0x20, 0}}));
}

TEST_F(IspRam, FailuresCarryTheirCodeMessageAndFailReport) {
  using On = emu::CommandFilter;
  const struct {
    Mode mode;
    char fault;  // F: fail `count` commands, V: wrong verdicts, K: refuse the key, L: section 1 `count` bytes long
    On on;
    std::uint32_t count;
    const char *code, *message;
  } rows[] = {
      {Mode::TesterDirect, 'V', {0x21, 0x30, 1}, 1, "I_C0Ba", "CRC for Section_1 failed (0x0) !!"},
      {Mode::Bridge, 'V', {0x21, 0x30, 1}, 1, "I_C0Ba", "CRC for Section_1 failed (0x0) !!"},
      {Mode::Bridge, 'F', {0x31, 0x80}, 1, "I_C0A", "issue Vender_Send_Seed command Failed !!"},
      {Mode::Bridge, 'F', {0x31, 0x24}, 1, "I_C20", "Issue DirectWriteSRAM cmd. Failed !!"},
      {Mode::Bridge, 'F', {0x31, 0x40, 1}, 1, "I_C13", "ISPProgramPRAM_lasted failed on Section_0"},
      {Mode::Bridge, 'F', {0x31, 0x40, 2}, 1, "I_C13", "ISPProgramPRAM failed on Section_1, Loop_0"},
      {Mode::Bridge, 'F', {0x21, 0x30}, 1, "I_C0B", "Issue Vender_Check_CRC cmd. failed on Section_0."},
      {Mode::Bridge, 'K', {}, 3, "I_C01", "Issue Set AP key command Fail."},
      {Mode::TesterDirect, 'F', {0x31, 0x0F}, 10, "I_C05", "Failed! Jump to Boot Fail !!"},
      {Mode::Bridge, 'F', {0x31, 0xBD}, 1, "I_CA5", "Issue ISPProgramPRAM_ICode, Loop_0 Failed !!"},
      {Mode::TesterDirect, 'V', {0x31, 0xBE, 0, {}, 1}, 1, "I_CA6", "Issue ISPVerifyPRAM_ICode, lasted Failed !!"},
      {Mode::Bridge, 'L', {}, 1000, "M_Cxx", "Byte_Length must multiple of 512 bytes._Section_1 !!!"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.message);
    EmulatedStation s(r.mode, 1, BootDrive());
    kxtest::BinImageSpec spec = ChunkedSpec();
    if (r.fault == 'L') spec.sections[1].length = r.count;
    Install(spec);
    emu::DriveFaults& f = s.Drive().Faults();
    if (r.fault == 'F') f.FailNext(r.count, r.on);
    if (r.fault == 'V') f.WrongVerdict(r.count, r.on);
    if (r.fault == 'K') f.RefuseAccessKey(r.count);
    kxtest::ExpectFailed(s.Device(), s.Device().IspProgramPram(false, ""), r.code, r.message);
  }
}

}  // namespace
