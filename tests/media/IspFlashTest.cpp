// Programming and verifying the flash code against the emulated drive under virtual time.
#include <gtest/gtest.h>

#include <filesystem>

#include "device/AppHolders.h"
#include "media/IspFlash.h"
#include "tests/media/FirmwareFiles.h"
#include "tests/support/EmulatedStation.h"

namespace {

using emu::RunningCode;
using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;
constexpr std::uint32_t kNormal = 16384 + 2 * 65536 + 1024 + 100;  // two chunks, two sectors, a partial one
const std::vector<std::uint8_t> kImage = kxtest::NamedImage("QVF20002", kNormal);

// A drive running `code` with kImage's normal code in flash.
emu::DriveConfig Running(RunningCode code, std::uint32_t programMs = 2000) {
  emu::DriveConfig c;
  c.initialCode = code;
  c.programFlashMs = programMs;
  c.flashCode.assign(kImage.begin() + kxtest::kNormalCodeAt, kImage.end());
  return c;
}
// "sectors/index" of each command with this opcode and sub-command.
std::string Chunks(EmulatedStation& s, std::uint8_t command, std::uint8_t sub) {
  std::string out;
  for (const auto& e : s.Drive().Trace())
    if (e.request.command == command && e.request.features == sub)
      out += std::to_string(e.request.count) + "/" + std::to_string(e.request.lbaMid) + " ";
  return out;
}

class IspFlash : public kxtest::DeviceTestEnv {
  void SetUp() override {
    SetIni(".\\param.ini", "Options", "Set Firmware Name", "QVF20002");
    g_WorkFolder.Set("C:\\fw\\");
  }
  void TearDown() override { g_WorkFolder.Set(""); }
};

TEST(IspFlashHelpers, VersionCheckAfterProgramming) {
  const std::tuple<bool, int, bool> rows[] = {{false, 3, true}, {true, 3, false}, {true, 9, false}, {true, 5, true}};
  for (const auto& [rdt, station, checks] : rows) EXPECT_EQ(kx::ChecksFlashVersion(rdt, station), checks) << station;
}

TEST_F(IspFlash, LoadsRamThenFlashRunsAndVerifiesTheNewCode) {
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge}) {
    SCOPED_TRACE(static_cast<int>(mode));
    EmulatedStation s(mode, 1, Running(RunningCode::Boot));
    kxtest::InstallBin(kImage);
    ASSERT_TRUE(s.Device().IspProgramPram(false));
    s.Drive().ClearTrace();
    // Behind a bridge a bad transfer verdict is not judged.
    if (mode == Mode::Bridge) s.Drive().Faults().WrongVerdict(1, {0x31, 0x82, 0, 2, {}});
    ASSERT_TRUE(s.Device().IspProgramFlash(false, false, ""));
    EXPECT_EQ(Chunks(s, 0x31, 0x82), "128/0 128/1 2/2 ");
    ASSERT_TRUE(s.Device().ChkRC(2, 1, false, "", nullptr));
    EXPECT_EQ(s.Device().m_FwRevision, "QVF20002");
    ASSERT_TRUE(s.Device().VerifyFlashCode());
    EXPECT_EQ(Chunks(s, 0x21, 0x31), "8/0 128/0 128/1 2/2 32/0 128/0 128/1 2/2 ");
    kxtest::ExpectParts(PortReport(), {"[ Success ] ISP Normal Firmware OK- Total take ",
                                       "[ Success ] Verify Firmware code on Flash OK- Total take "});
  }
}

TEST_F(IspFlash, SeedOnlyRdtImageInShortMode) {
  EmulatedStation s(Mode::TesterDirect, 1, Running(RunningCode::Mcode));
  kxtest::InstallBin(kxtest::NamedImage("RDT00202", 16384 + 100, true), "ISP_RDTBINCode");
  SetIni(".\\param.ini", "Device Info", "ISP_RDTBINCode", "C:\\gone\\MP.bin");  // found in the working folder
  ASSERT_TRUE(s.Device().IspProgramFlash(true, true, ""));
  EXPECT_EQ(Chunks(s, 0x21, 0x31), "8/0 ");
  EXPECT_EQ(s.Drive().Code(), RunningCode::RomRdt);
  EXPECT_TRUE(
      Has(PortReport(), "   Short, skip check running code!! \r\n[ Success ] ISP RDT Firmware OK- Total take "));
}

TEST_F(IspFlash, ChunkMismatchWritesTheDumpsAndKeepsItsFailure) {
  EmulatedStation s(Mode::TesterDirect, 1, Running(RunningCode::Mcode));
  CPortDevice& d = s.Device();
  kxtest::InstallBin(kImage);
  s.Drive().Faults().WrongVerdict(1, {0x21, 0x31, 0, 1, 1});  // chunk 1 reads back with byte 0 flipped
  kxtest::ExpectFailed(d, d.IspProgramFlash(false, false, ""), "I_F29", "Compare Flash Code_loop:1 Failed !");
  const std::string sent(kImage.begin() + kxtest::kNormalCodeAt + 81920,
                         kImage.begin() + kxtest::kNormalCodeAt + 147456);
  EXPECT_EQ(ReadAll(".\\ISPVerify-W.txt"), sent);
  EXPECT_EQ(ReadAll(".\\ISPVerify-R.txt"), static_cast<char>(sent[0] ^ 0xFF) + sent.substr(1));
  std::filesystem::remove(Native(".\\ISPVerify-R.txt"));
  MakeDirs(".\\ISPVerify-R.txt");  // now the read dump cannot be written
  s.Drive().Faults().WrongVerdict(1, {0x21, 0x31, 0, 2, 1});
  kxtest::ExpectFailed(d, d.VerifyFlashCode(), "I_F29", "Compare Flash Code_remainder Failed !");
  EXPECT_EQ(ReadAll(".\\ISPVerify-W.txt").size(), 1024u);
  EXPECT_TRUE(Has(PortReport(), "   Open saving file-.\\ISPVerify-R.txt Failed \r\n"));
}

TEST_F(IspFlash, EachFailureHasItsCodeMessageAndReport) {
  enum Knob { kFail, kWrong, kNoAnswer, kSlow, kVersion, kMissing, kPlain };
  // verify: VerifyFlashCode on a drive running its flash code, else IspProgramFlash on mCode.
  // clang-format off
  const struct { bool verify; Knob knob; emu::CommandFilter on; std::uint32_t count; const char *code, *message; }
  rows[] = {
      {false, kFail, {0x31, 0x80, 0, {}, {}}, 1, "I_F0A", "issue Vender_Send_Seed command Failed !!"},
      {false, kFail, {0x31, 0x82, 0, 1, {}}, 1, "I_F0C", "issue Vender_Send_Binfile_loop:1 Failed !!"},
      {false, kFail, {0x31, 0x82, 0, 2, {}}, 1, "I_F0C", "issue Vender_Send_Binfile_remainder Failed !!"},
      {false, kWrong, {0x31, 0x82, 0, 2, {}}, 1, "I_F0C", "CRC fail after Send_Binfile (LBA Hi=0x0) !!"},
      {false, kFail, {0x31, 0x41, 0, {}, {}}, 1, "I_F28", "Issue ISPProgramFlash Command failed !!"},
      {false, kNoAnswer, {}, 3, "I_F24", "After issue ISPProgramFlash, Device status(ff) failed !!"},
      {false, kSlow, {}, 0, "I_F87", "After issue ISPProgramFlash, polling Device status(80) TimeOut(30sec) !!"},
      {false, kFail, {0x21, 0x31, 0, 0, 0}, 1, "I_F29", "issue ISPVerifyFlash_Header failed !!!"},
      {false, kWrong, {0x21, 0x31, 0, 0, 0}, 1, "I_F29", "ISPVerifyFlash_compare Header Failed (0x00)!!"},
      {false, kFail, {0x21, 0x31, 0, 0, 1}, 1, "I_F29", "issue ISPVerifyFlash_loop:0 Failed !!"},
      {true, kFail, {0x21, 0x31, 0, 2, 1}, 1, "I_F29", "issue ISPVerifyFlash_remainder Failed !!"},
      {false, kFail, {0x31, 0x0F, 0, {}, {}}, 10, "I_F05", "Failed! Jump to Boot Fail !!"},
      {false, kFail, {0xFA, {}, 10, {}, {}}, 9, "I_F01", "ISP-Flash, after ISPJump, AP-Key Failed !!"},
      {false, kVersion, {}, 0, "P_B05", "[ChkRC]Flash Code Version Is Not Matched param.ini Setting"},
      {true, kMissing, {}, 0, "S_F01", "Create MP BIN File handle Failed: INVALID_HANDLE_VALUE."},
      {true, kPlain, {}, 0, "S_F04", "MP Bin Code Fail!"}};
  // clang-format on
  for (const auto& r : rows) {
    SCOPED_TRACE(r.message);
    EmulatedStation s(Mode::TesterDirect, 1,
                      Running(r.verify ? RunningCode::RomMp : RunningCode::Mcode, r.knob == kSlow ? 40000 : 2000));
    kxtest::InstallBin(kImage, "ISP_MPBINCode", r.knob == kPlain);
    if (r.knob == kFail) s.Drive().Faults().FailNext(r.count, r.on);
    if (r.knob == kWrong) s.Drive().Faults().WrongVerdict(r.count, r.on);
    if (r.knob == kNoAnswer) s.Drive().Faults().NoAnswer(r.count, 0xFF);
    if (r.knob == kVersion) SetIni(".\\param.ini", "Options", "Set Firmware Name", "QVF99999");
    if (r.knob == kMissing) SetIni(".\\param.ini", "Device Info", "ISP_MPBINCode", "C:\\none.bin");
    CPortDevice& d = s.Device();
    kxtest::ExpectFailed(d, r.verify ? d.VerifyFlashCode() : d.IspProgramFlash(false, false, ""), r.code, r.message);
  }
}

}  // namespace
