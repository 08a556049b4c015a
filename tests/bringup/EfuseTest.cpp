// Fuse-word decoding, controller family and die-identity rules as plain values;
// CheckIcVersion, CheckEfuse and CutEfuse against the emulated drive's fuses.
#include <gtest/gtest.h>

#include "bringup/Efuse.h"
#include "device/PortDevice.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;

// Y 15, X 4A, wafer 13, lot 4 2C, lot 3 31, lot 2 2E (10 low, 1011 high), lot 1 25.
constexpr std::uint32_t kWord2 = 0xB1B27295, kWord3 = 0x0000025B;

TEST(EfuseRules, DieIdentityAndItsPlausibility) {
  const kx::EfuseIdentity good = kx::DecodeEfuseIdentity(0x00010003, kWord2, kWord3);
  EXPECT_EQ(kx::ControllerIdLine(good), "Get Controller ID : 15_4A_13_2C_31_2E_25");
  const kx::EfuseIdentity bare = kx::DecodeEfuseIdentity(0xFFFEFFFF, 0, 0xFFFFFC00);  // state and chip bits only
  EXPECT_EQ(kx::ControllerIdLine(bare), "Get Controller ID : 00_00_00_00_00_00_00");
  EXPECT_EQ(bare.trimGoodDie, 0u);
  kx::EfuseIdentity noTrim = good, noX = good, noLot1 = good;
  noTrim.trimGoodDie = 0;
  noX.x = noX.lotId1 = 0;
  noLot1.lotId1 = 0;
  const struct {
    kx::EfuseIdentity id;
    std::uint32_t version;
    const char* message;
  } rows[] = {{good, 2, ""},
              {noTrim, 1, ""},
              {noTrim, 2, "Trim good die Must be one 00"},
              {noX, 1, "X Coordination Must not be zero 00"},  // the first of two
              {noLot1, 1, "Lot ID 1 Must not be zero 00"},
              {kx::EfuseIdentity{}, 1, "Y Coordination Must not be zero 00"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.message);
    EXPECT_EQ(kx::ImplausibleIdentity(r.id, r.version), r.message);
  }
}

TEST(EfuseRules, IcFamilyByChipIdAndModelComparison) {
  const struct {
    std::uint32_t word3;
    bool kx7410, qm6620;
    const char *line, *model;
  } rows[] = {{0x00020000, true, true, "IC Ver: QM6620", "QM6620"},
              {0x00430000, false, false, "IC Ver: unKnown-0x43", "JW5184"},
              {0x00FC0000, true, false, "IC Ver: KX7410", "KX7410"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.word3);
    const kx::IcFamily f = kx::DecodeIcFamily(r.word3);
    EXPECT_EQ(f.kx7410, r.kx7410);
    EXPECT_EQ(f.qm6620, r.qm6620);
    EXPECT_EQ(f.reportLine, r.line);
    EXPECT_EQ(f.modelName, r.model);
  }
  const std::pair<const char*, bool> names[] = {
      {"kx7410", true}, {"KX7410-B", true}, {"KX741", false}, {"KX7411", false}};
  for (const auto& [name, matches] : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(kx::IcModelMatches(name, "KX7410"), matches);
  }
}

class Efuse : public kxtest::DeviceTestEnv {
 protected:
  static emu::DriveConfig Fuses(std::uint32_t word1, std::uint32_t word3 = kWord3, std::uint8_t version = 1) {
    emu::DriveConfig cfg;
    cfg.fuseWord1 = word1;
    cfg.fuseWord2 = kWord2;
    cfg.fuseWord3 = word3;
    cfg.controllerVersion = version;
    return cfg;
  }
  static void ExpectFailed(CPortDevice& d, bool result, const char* code, const std::string& message) {
    EXPECT_FALSE(result);
    EXPECT_EQ(d.m_ErrorCode, code);
    EXPECT_EQ(d.m_ErrorMessage, message);
  }
  static std::uint32_t FuseAccess(EmulatedStation& s) { return s.Drive().Register(0x04002400); }
  static std::vector<std::uint8_t> CutSelectors(EmulatedStation& s) {
    std::vector<std::uint8_t> out;
    for (const auto& e : s.Drive().Trace())
      if (e.request.command == 0x31 && e.request.features == 0x27) out.push_back(e.request.lbaLow);
    return out;
  }
  static constexpr emu::CommandFilter kCut = {.opcode = 0x31, .subCommand = 0x27};
};

TEST_F(Efuse, IcVersion) {
  EmulatedStation s(Mode::TesterDirect, 1, Fuses(0x00010000, 0x0001025B));
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.CheckIcVersion());
  EXPECT_TRUE(Has(PortReport(), "   IC Ver: KX7410 \r\n[ Success ] Check ICVer. OK, Total take 0.000 sec. \r\n"));
  EXPECT_EQ(FuseAccess(s), 0u);
  s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x61});
  ExpectFailed(d, d.CheckIcVersion(), "I_S34", "Read4ByteReg command Failed !!");
  EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : Read4ByteReg command Failed !! \r\n"));
}

TEST_F(Efuse, IcVersionOtherModelFailsWithoutACode) {
  EmulatedStation s(Mode::Bridge, 1, Fuses(0x00010000, 0x00020000));
  CPortDevice& d = s.Device();
  EXPECT_FALSE(d.CheckIcVersion());
  EXPECT_EQ(d.m_bQM6620, 1);
  EXPECT_TRUE(d.m_ErrorCode.empty());
  EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));
}

TEST_F(Efuse, IdentityCheckVerbose) {
  EmulatedStation s(Mode::TesterDirect, 1, Fuses(0x00010000));
  ASSERT_TRUE(s.Device().CheckEfuse(0, false, false, false));
  EXPECT_TRUE(Has(PortReport(), "[ Success ] eFuse Info \r\n       UART : Enable \r\n       JTAG : Enable \r\n"));
  EXPECT_TRUE(Has(PortReport(), "   Get Controller ID : 15_4A_13_2C_31_2E_25 \r\n       Trim good die : 01 \r\n"));
  EXPECT_TRUE(Has(PortReport(), "       CTL Version : 01 \r\n[ Success ] Check eFuse OK, Total take 0.000 sec. \r\n"));
  EXPECT_EQ(FuseAccess(s), 0u);
}

TEST_F(Efuse, IdentityCheckQuietNeverJudges) {
  EmulatedStation s(Mode::TesterDirect);  // the default fuses: lot ids 1 and 2 zero
  ASSERT_TRUE(s.Device().CheckEfuse(0, true, false, false));
  EXPECT_FALSE(Has(PortReport(), "CTL Version"));
  EXPECT_EQ(FuseAccess(s), 3u);  // left open
}

TEST_F(Efuse, IdentityCheckNeedsTheTrimMarkFromVersion2) {
  EmulatedStation s(Mode::TesterDirect, 1, Fuses(0x00000000, kWord3, 2));
  ExpectFailed(s.Device(), s.Device().CheckEfuse(0, false, false, false), "M_D52", "Trim good die Must be one 00");
  EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : Trim good die Must be one 00 \r\n"));
}

TEST_F(Efuse, StateCheck) {
  EmulatedStation s(Mode::TesterDirect, 1, Fuses(0x00010002));  // UART disabled, JTAG enabled
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.CheckEfuse(1, false, true, false));
  EXPECT_TRUE(Has(PortReport(), "        Check UART information Pass. \r\n        Check JTAG information Pass. \r\n"));
  EXPECT_EQ(FuseAccess(s), 3u);
  ExpectFailed(d, d.CheckEfuse(1, false, true, true), "M_D53", "JTAG Must be Disable");
  ExpectFailed(d, d.CheckEfuse(1, false, false, false), "M_D53", "UART Must be Enable");
  s.Drive().Faults().RefuseAccessKey(3);
  ExpectFailed(d, d.CheckEfuse(1, false, false, false), "I_S01", "Issue Set AP key command Fail.");
}

TEST_F(Efuse, CutsTheFusesThatAreNotBlown) {
  {
    EmulatedStation s(Mode::Bridge, 1, Fuses(0x00010000));
    ASSERT_TRUE(s.Device().CutEfuse(true, true, false));
    EXPECT_EQ(CutSelectors(s), (std::vector<std::uint8_t>{0, 1}));
    EXPECT_TRUE(Has(PortReport(), "[ Success ] Do Cut_EFuse Pass. \r\n"));
  }
  EmulatedStation s(Mode::TesterDirect, 1, Fuses(0x00010003));
  ASSERT_TRUE(s.Device().CutEfuse(true, true, true));
  EXPECT_EQ(CutSelectors(s), (std::vector<std::uint8_t>{9}));  // AES whenever asked
  CPortDevice tool(s.DriveNo(), 0, "", false, false);
  s.Drive().ClearTrace();
  ASSERT_TRUE(tool.CutEfuse(true, true, true));
  EXPECT_TRUE(s.Drive().Trace().empty());  // no tester flag: nothing read, nothing cut
}

TEST_F(Efuse, ThreeRetriesForAllFusesTogether) {
  EmulatedStation s(Mode::TesterDirect, 1, Fuses(0x00010000));
  s.Drive().Faults().FailNext(2, kCut);                                                 // UART fails twice
  s.Drive().Faults().FailEveryNth(1, {.opcode = 0x31, .subCommand = 0x27, .skip = 1});  // then every cut fails
  ExpectFailed(s.Device(), s.Device().CutEfuse(true, true, false), "T_x18",
               "issue DoCut_EFuse command failed_JTAG DISABLE !");
  EXPECT_EQ(CutSelectors(s), (std::vector<std::uint8_t>{0, 0, 0, 1, 1}));
  EXPECT_EQ(s.Sent({0x08, 0xF2, 0x85}).size(), 3u);  // a power reset before each retry
  EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : issue DoCut_EFuse command failed_JTAG DISABLE ! \r\n"));
}

}  // namespace
