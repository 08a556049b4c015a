// The running-code state machine, power and busy timing, and the edges of the
// ISP loads. The load sequence itself (boot code -> burner -> flash firmware) is
// pinned by tests/command (EmulatorMembersTest.IspMembersFromBootCode).
#include <cstring>

#include "tests/emulator/DriveTestUtil.h"

namespace emu::test {
namespace {

class DriveStates : public DriveTest {
 protected:
  static std::string Name(const Drive& d) {
    const auto n = d.FirmwareName();
    return AtaText(n.data(), 8);
  }
  // Seed, then `sectors` of one section at 0x20000000, then its CRC verdict.
  static std::uint32_t LoadRam(Drive& d, std::uint8_t sectors) {
    SeedAndDescriptor(d, 0x20000000, 65536);
    EXPECT_TRUE(Ok(VWrite(d, 0x40, sectors, Pattern(sectors * 512u, 2), 0, 1)));
    EXPECT_TRUE(Ok(VWrite(d, 0x24, 1, LoadDescriptor(0x20000000, 65536))));
    return Le32(VRead(d, 0x30, 1), 8);
  }
  // Seed + binfile chunks + program flash.
  static Bytes ProgramFlash(Drive& d, const Bytes& normal) {
    const Bytes seed(normal.begin(), normal.begin() + 16384);
    EXPECT_TRUE(Ok(VWrite(d, 0x80, 32, seed)));
    for (std::size_t off = 16384, chunk = 0; off < normal.size(); off += 65536, ++chunk) {
      Bytes part(normal.begin() + off, normal.begin() + std::min(normal.size(), off + 65536));
      EXPECT_TRUE(Ok(VWrite(d, 0x82, static_cast<std::uint8_t>(part.size() / 512), part, 0,
                            static_cast<std::uint8_t>(chunk), 1)));
      EXPECT_EQ(d.VerdictLbaHigh(), 0xBB);
    }
    EXPECT_TRUE(Ok(VWrite(d, 0x41, 1, Sector(0), 0, 0x20)));
    return seed;
  }
  // Header check of a seed against the code in flash: the LBA High verdict.
  static std::uint8_t HeaderCheck(Drive& d, const Bytes& seed) {
    EXPECT_TRUE(Ok(VWrite(d, 0x80, 32, seed)));
    AtaResponse r;
    VRead(d, 0x31, 32, 0, 0, 0, &r);
    EXPECT_TRUE(Ok(r));
    return d.VerdictLbaHigh();
  }
};

TEST_F(DriveStates, PowerOffLosesVolatileStateAndPowerOnBootsOnTheClock) {
  Drive d(SmallConfig());
  EXPECT_EQ(d.CardState(), 0x50);  // a new drive stands ready
  ASSERT_TRUE(Ok(Key(d)));
  d.PowerOff();
  std::vector<int> states = {d.CardState()};  // off, on, booting, ready
  EXPECT_EQ(NonData(d, Reg(0xE5)).transport, TransportError::TimeOut);
  d.PowerOn();
  states.push_back(d.CardState());
  EXPECT_EQ(NonData(d, Reg(0xE5)).transport, TransportError::TimeOut);
  Advance(999);
  states.push_back(d.CardState());
  Advance(1);
  states.push_back(d.CardState());
  EXPECT_EQ(states, (std::vector<int>{0x00, 0x80, 0x80, 0x50}));
  EXPECT_FALSE(d.KeyAccepted());
  EXPECT_EQ(d.Code(), RunningCode::RomMp);
  // The card state reports the last command's error.
  EXPECT_TRUE(Aborted(NonData(d, Reg(0x99))));
  EXPECT_EQ(d.CardState(), 0x51);
  EXPECT_TRUE(Ok(NonData(d, Reg(0xE5))));
  EXPECT_EQ(d.CardState(), 0x50);
}

TEST_F(DriveStates, FirmwareNamesCarryTheTagsTheHostMatchesInBothReads) {
  const struct {
    RunningCode code;
    std::string name;
  } cases[] = {{RunningCode::Boot, "QVR 1.00"},  // boot-code version from the 5th character
               {RunningCode::Mcode, "QVBM 0.6"},  // burner version from the 6th
               {RunningCode::RomRdt, "RDT00101"},
               {RunningCode::RomMp, "QVF10001"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Drive d(SmallConfig(c.code));
    EXPECT_EQ(Name(d), c.name);
    Bytes id(512);
    ASSERT_TRUE(Ok(In(d, Reg(0xEC), id)));
    EXPECT_EQ(AtaText(id.data() + 46, 8), c.name);  // IDENTIFY words 23-26
  }
  const auto raw = Drive(SmallConfig(RunningCode::Boot)).FirmwareName();
  EXPECT_EQ(raw[0], 'V');  // pairs swapped: "QV" travels as "VQ"
  EXPECT_EQ(raw[1], 'Q');
  for (int i = 8; i < 16; ++i) EXPECT_EQ(raw[i], 0);
}

TEST_F(DriveStates, RamLoadAndJumpStartTheBurnerOnlyWhenTheLoadIsComplete) {
  Drive half(SmallConfig(RunningCode::Boot));
  Ready(half);
  EXPECT_NE(LoadRam(half, 64), 0x55AA55AAu);  // half the section
  ASSERT_TRUE(Ok(JumpToBoot(half)));
  Ready(half);
  EXPECT_EQ(half.Code(), RunningCode::Boot);
  EXPECT_TRUE(Aborted(VWrite(half, 0x40, 1, Sector(0), 0, 1)));  // PRAM wants a seed first

  Drive d(SmallConfig(RunningCode::Boot));
  Ready(d);
  EXPECT_EQ(LoadRam(d, 128), 0x55AA55AAu);
  ASSERT_TRUE(Ok(JumpToBoot(d)));
  Ready(d);
  EXPECT_EQ(d.Code(), RunningCode::Mcode);

  // ICode: verify compares with what was programmed, chunk by chunk.
  const Bytes c0 = Pattern(128 * 512, 5), c1 = Pattern(2 * 512, 6);
  ASSERT_TRUE(Ok(VWrite(d, 0xBD, 128, c0, 0, 0, 0)));
  ASSERT_TRUE(Ok(VWrite(d, 0xBD, 2, c1, 0, 1, 1)));
  EXPECT_TRUE(Ok(VWrite(d, 0xBE, 128, c0, 0, 0, 0)));
  EXPECT_TRUE(Ok(VWrite(d, 0xBE, 2, c1, 0, 0, 1)));
  Bytes changed = c1;
  changed[700] ^= 1;
  EXPECT_TRUE(Aborted(VWrite(d, 0xBE, 2, changed, 0, 0, 1)));
  EXPECT_TRUE(Aborted(VWrite(d, 0xBE, 2, c1, 0, 0, 9)));
}

TEST_F(DriveStates, IspFlashProgramsVerifiesAndRunsAfterTheJump) {
  DriveConfig cfg = SmallConfig(RunningCode::Mcode);
  cfg.programFlashMs = 3000;
  Drive d(cfg);
  Ready(d);
  EXPECT_TRUE(Aborted(VWrite(d, 0x41, 1, Sector(0), 0, 0x20)));  // nothing received yet
  const Bytes normal = Pattern(16384 + 65536 + 4096, 9);
  const Bytes seed = ProgramFlash(d, normal);
  EXPECT_EQ(d.CardState(), 0x80);
  Advance(3000);
  EXPECT_EQ(d.CardState(), 0x50);
  EXPECT_EQ(d.Code(), RunningCode::Mcode);  // runs on until the jump
  EXPECT_EQ(HeaderCheck(d, seed), 0xBB);
  const Bytes c1 = VRead(d, 0x31, 8, 0, 1, 1);  // the second chunk
  EXPECT_TRUE(std::equal(c1.begin(), c1.end(), normal.begin() + 16384 + 65536));
  ASSERT_TRUE(Ok(JumpToBoot(d)));
  Ready(d);
  EXPECT_EQ(d.Code(), RunningCode::RomMp);
  EXPECT_EQ(HeaderCheck(d, Pattern(16384, 77)), 0x00);  // a seed that differs
  PowerCycle(d);
  EXPECT_EQ(d.Code(), RunningCode::RomMp);

  // An image carrying the RDT firmware's name becomes the RDT firmware; one of
  // only the seed area programs without chunks.
  Drive rdt(SmallConfig(RunningCode::Mcode));
  Ready(rdt);
  Bytes image = Pattern(16384 + 8192, 3);
  std::memcpy(image.data() + 20000, rdt.Config().rdtFirmwareName.data(), 8);
  ProgramFlash(rdt, image);
  Advance(rdt.Config().programFlashMs);
  ASSERT_TRUE(Ok(JumpToBoot(rdt)));
  Ready(rdt);
  EXPECT_EQ(rdt.Code(), RunningCode::RomRdt);
  Drive small(SmallConfig(RunningCode::Mcode));
  Ready(small);
  ProgramFlash(small, Pattern(16384, 8));
  Advance(small.Config().programFlashMs);
  EXPECT_EQ(HeaderCheck(small, Pattern(16384, 8)), 0xBB);
}

TEST_F(DriveStates, ConfiguredFlashCodePassesVerificationOnAFlashFirmwareDrive) {
  DriveConfig cfg = SmallConfig(RunningCode::RomMp);
  cfg.flashCode = Pattern(16384 + 65536, 4);
  Drive d(cfg);
  Ready(d);
  EXPECT_EQ(HeaderCheck(d, Bytes(cfg.flashCode.begin(), cfg.flashCode.begin() + 16384)), 0xBB);
}

TEST_F(DriveStates, BootSwitchJumpAndErasedIspCodeLeadToBootCode) {
  Drive d(SmallConfig(RunningCode::RomMp));
  Ready(d);
  ASSERT_TRUE(WriteReg(d, 0x04000044, 2, 1));
  ASSERT_TRUE(Ok(JumpToBoot(d)));
  EXPECT_EQ(d.CardState(), 0x80);
  Ready(d);
  EXPECT_EQ(d.Code(), RunningCode::Boot);

  Drive e(SmallConfig(RunningCode::RomMp));
  Ready(e);
  AtaResponse r;
  VRead(e, 0x46, 1, 0, 0, 0, &r);
  ASSERT_TRUE(Ok(r));
  EXPECT_EQ(e.Code(), RunningCode::RomMp);  // until the next power-on
  e.HardReset();
  Ready(e);
  EXPECT_EQ(e.Code(), RunningCode::Boot);
}

TEST_F(DriveStates, EraseAllBlocksBuildsTheBbtAndWipesCodeAndMedia) {
  DriveConfig cfg = SmallConfig(RunningCode::Boot);
  cfg.eraseMs = 5000;
  cfg.factoryBadBlocks = {{0, 0, 0, 1}};
  Drive d(cfg);
  Ready(d);
  EXPECT_NE(Text(VRead(d, 0x7F, 1, 1), 0, 4), "DBTP");
  ASSERT_TRUE(Ok(Out(d, Reg(0x30, 0, 1, 0, 0, 0, 0xE0), Sector(0x99))));
  ASSERT_TRUE(Ok(VWrite(d, 0x26, 1, Sector(0), 1, 0x20, 0x19)));
  EXPECT_EQ(d.CardState(), 0x80);
  // Status polling is taken while busy; other commands are not.
  EXPECT_TRUE(Ok(VWrite(d, 0xCC, 1, Sector(0))));
  EXPECT_EQ(NonData(d, Reg(0xE5)).transport, TransportError::TimeOut);
  Advance(5000);
  EXPECT_EQ(d.CardState(), 0x50);
  EXPECT_EQ(d.EraseErrorByte(), 0);
  EXPECT_EQ(Text(VRead(d, 0x7F, 1, 1), 0, 4), "DBTP");
  EXPECT_EQ(VRead(d, 0x7F, 1, 0)[1 * 8 * 2], 0x80);
  EXPECT_EQ(Text(VRead(d, 0x7F, 1, 2), 0, 4), "KXRT");
  EXPECT_EQ(d.ReadMedia(0, 1), Sector(0));
}

}  // namespace
}  // namespace emu::test
