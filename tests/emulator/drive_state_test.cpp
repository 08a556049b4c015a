#include <cstring>

#include "drive_test_util.h"

namespace emu::test {
namespace {

class DriveStates : public DriveTest {
 protected:
  static std::string Name(const Drive& d) {
    const auto n = d.FirmwareName();
    return AtaText(n.data(), 8);
  }
  static std::vector<std::uint8_t> Descriptor(std::uint32_t addr, std::uint32_t len) {
    std::vector<std::uint8_t> s(512, 0);
    std::memcpy(s.data(), &addr, 4);
    std::memcpy(s.data() + 4, &len, 4);
    return s;
  }
  static std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 9));
    return v;
  }
  // Loads one 64 KiB section into RAM, checks it and jumps: BOOT -> MCODE.
  static void LoadRamAndJump(Drive& d) {
    ASSERT_TRUE(Ok(VWrite(d, 0x80, 32, Bytes(16384, 1))));
    ASSERT_TRUE(Ok(VWrite(d, 0x24, 1, Descriptor(0x20000000, 65536))));
    ASSERT_TRUE(Ok(VWrite(d, 0x40, 128, Bytes(65536, 2), 0, 1)));
    ASSERT_TRUE(Ok(VWrite(d, 0x24, 1, Descriptor(0x20000000, 65536))));
    const std::vector<std::uint8_t> crc = VRead(d, 0x30, 1);
    ASSERT_EQ(Le32(crc, 8), 0x55AA55AAu);
    ASSERT_TRUE(Ok(VWrite(d, 0x0F, 1, Sector(0), 0, 0x20)));
    Ready(d);
  }
  // Seed + binfile chunks + program flash, then wait for ready.
  static std::vector<std::uint8_t> ProgramFlash(Drive& d, const std::vector<std::uint8_t>& normal) {
    const std::vector<std::uint8_t> seed(normal.begin(), normal.begin() + 16384);
    EXPECT_TRUE(Ok(VWrite(d, 0x80, 32, seed)));
    const std::size_t rest = normal.size() - 16384;
    for (std::size_t off = 0, chunk = 0; off < rest; off += 65536, ++chunk) {
      const std::size_t n = std::min<std::size_t>(65536, rest - off);
      std::vector<std::uint8_t> part(normal.begin() + 16384 + off, normal.begin() + 16384 + off + n);
      part.resize((n + 511) / 512 * 512, 0);
      EXPECT_TRUE(Ok(VWrite(d, 0x82, static_cast<std::uint8_t>(part.size() / 512), part, 0,
                            static_cast<std::uint8_t>(chunk), 1)));
      EXPECT_EQ(d.VerdictLbaHigh(), 0xBB);
    }
    EXPECT_TRUE(Ok(VWrite(d, 0x41, 1, Sector(0), 0, 0x20)));
    return seed;
  }
};

TEST_F(DriveStates, PowerOffLosesVolatileStateAndPowerOnBootsOnTheClock) {
  Drive d(SmallConfig());
  EXPECT_EQ(d.CardState(), 0x50);  // a new drive stands ready
  ASSERT_TRUE(Ok(Key(d)));
  d.PowerOff();
  EXPECT_EQ(d.CardState(), 0x00);
  EXPECT_EQ(NonData(d, Reg(0xE5)).transport, TransportError::TimeOut);
  d.PowerOn();
  EXPECT_EQ(d.CardState(), 0x80);
  EXPECT_EQ(NonData(d, Reg(0xE5)).transport, TransportError::TimeOut);
  Advance(999);
  EXPECT_EQ(d.CardState(), 0x80);
  Advance(1);
  EXPECT_EQ(d.CardState(), 0x50);
  EXPECT_FALSE(d.KeyAccepted());
  AtaResponse r;
  VRead(d, 0x13, 1, 0, 0, 0, &r);
  EXPECT_TRUE(Aborted(r));
  EXPECT_EQ(d.Code(), RunningCode::RomMp);
}

TEST_F(DriveStates, CardStateReportsTheLastCommandsError) {
  Drive d(SmallConfig());
  EXPECT_TRUE(Aborted(NonData(d, Reg(0x99))));
  EXPECT_EQ(d.CardState(), 0x51);
  EXPECT_TRUE(Ok(NonData(d, Reg(0xE5))));
  EXPECT_EQ(d.CardState(), 0x50);
}

TEST_F(DriveStates, FirmwareNamesCarryTheTagsTheHostMatches) {
  Drive boot(SmallConfig(RunningCode::Boot));
  const auto raw = boot.FirmwareName();
  EXPECT_EQ(raw[0], 'V');  // pairs swapped: "QV" travels as "VQ"
  EXPECT_EQ(raw[1], 'Q');
  for (int i = 8; i < 16; ++i) EXPECT_EQ(raw[i], 0);
  EXPECT_EQ(Name(boot).substr(0, 3), "QVR");
  EXPECT_EQ(Name(boot).substr(4), "1.00");  // boot-code version from the 5th character
  Drive mcode(SmallConfig(RunningCode::Mcode));
  EXPECT_EQ(Name(mcode).substr(0, 3), "QVB");
  EXPECT_EQ(Name(mcode).substr(5), "0.6");  // burner version from the 6th character
  Drive rdt(SmallConfig(RunningCode::RomRdt));
  EXPECT_EQ(Name(rdt).substr(0, 3), "RDT");
  Drive mp(SmallConfig(RunningCode::RomMp));
  EXPECT_EQ(Name(mp), mp.Config().firmwareRevision);
}

TEST_F(DriveStates, RamLoadAndJumpStartsTheBurner) {
  Drive d(SmallConfig(RunningCode::Boot));
  Ready(d);
  LoadRamAndJump(d);
  EXPECT_EQ(d.Code(), RunningCode::Mcode);
  EXPECT_EQ(Name(d).substr(0, 3), "QVB");
}

TEST_F(DriveStates, IncompleteRamLoadFailsTheCrcAndTheJumpStaysInBoot) {
  Drive d(SmallConfig(RunningCode::Boot));
  Ready(d);
  ASSERT_TRUE(Ok(VWrite(d, 0x80, 32, Bytes(16384, 1))));
  ASSERT_TRUE(Ok(VWrite(d, 0x24, 1, Descriptor(0x1000, 65536))));
  ASSERT_TRUE(Ok(VWrite(d, 0x40, 64, Bytes(32768, 2), 0, 1)));  // half the section
  ASSERT_TRUE(Ok(VWrite(d, 0x24, 1, Descriptor(0x1000, 65536))));
  EXPECT_NE(Le32(VRead(d, 0x30, 1), 8), 0x55AA55AAu);
  ASSERT_TRUE(Ok(VWrite(d, 0x0F, 1, Sector(0), 0, 0x20)));
  Ready(d);
  EXPECT_EQ(d.Code(), RunningCode::Boot);
  // PRAM programming needs a seed first, and is refused by flash firmware.
  EXPECT_TRUE(Aborted(VWrite(d, 0x40, 1, Sector(0), 0, 1)));
  Drive rom(SmallConfig(RunningCode::RomMp));
  Ready(rom);
  ASSERT_TRUE(Ok(VWrite(rom, 0x80, 32, Bytes(16384, 1))));
  EXPECT_TRUE(Aborted(VWrite(rom, 0x40, 1, Sector(0), 0, 1)));
}

TEST_F(DriveStates, IcodeVerifyComparesWithWhatWasProgrammed) {
  Drive d(SmallConfig(RunningCode::Mcode));
  Ready(d);
  const auto chunk0 = Bytes(128 * 512, 5);
  const auto chunk1 = Bytes(2 * 512, 6);
  ASSERT_TRUE(Ok(VWrite(d, 0xBD, 128, chunk0, 0, 0, 0)));
  ASSERT_TRUE(Ok(VWrite(d, 0xBD, 2, chunk1, 0, 1, 1)));
  EXPECT_TRUE(Ok(VWrite(d, 0xBE, 128, chunk0, 0, 0, 0)));
  EXPECT_TRUE(Ok(VWrite(d, 0xBE, 2, chunk1, 0, 0, 1)));
  auto changed = chunk1;
  changed[700] ^= 1;
  EXPECT_TRUE(Aborted(VWrite(d, 0xBE, 2, changed, 0, 0, 1)));
  EXPECT_TRUE(Aborted(VWrite(d, 0xBE, 2, chunk1, 0, 0, 9)));
}

TEST_F(DriveStates, IspFlashProgramsVerifiesAndRunsAfterTheJump) {
  DriveConfig cfg = SmallConfig(RunningCode::Boot);
  cfg.programFlashMs = 3000;
  Drive d(cfg);
  Ready(d);
  LoadRamAndJump(d);
  const std::vector<std::uint8_t> normal = Bytes(16384 + 65536 + 4096, 9);
  const std::vector<std::uint8_t> seed = ProgramFlash(d, normal);
  EXPECT_EQ(d.CardState(), 0x80);
  Advance(3000);
  EXPECT_EQ(d.CardState(), 0x50);
  EXPECT_EQ(d.Code(), RunningCode::Mcode);  // runs on until the jump
  // Header check: seed again, then verify mode 0.
  ASSERT_TRUE(Ok(VWrite(d, 0x80, 32, seed)));
  AtaResponse r;
  VRead(d, 0x31, 32, 0, 0, 0, &r);
  ASSERT_TRUE(Ok(r));
  EXPECT_EQ(d.VerdictLbaHigh(), 0xBB);
  const std::vector<std::uint8_t> c0 = VRead(d, 0x31, 128, 0, 0, 1);
  EXPECT_TRUE(std::equal(c0.begin(), c0.end(), normal.begin() + 16384));
  const std::vector<std::uint8_t> c1 = VRead(d, 0x31, 8, 0, 1, 1);
  EXPECT_TRUE(std::equal(c1.begin(), c1.end(), normal.begin() + 16384 + 65536));
  ASSERT_TRUE(Ok(VWrite(d, 0x0F, 1, Sector(0), 0, 0x20)));
  Ready(d);
  EXPECT_EQ(d.Code(), RunningCode::RomMp);
  EXPECT_EQ(Name(d), cfg.firmwareRevision);
  // A seed that differs from the stored code fails the header check.
  ASSERT_TRUE(Ok(VWrite(d, 0x80, 32, Bytes(16384, 77))));
  VRead(d, 0x31, 8, 0, 0, 0, &r);
  EXPECT_EQ(d.VerdictLbaHigh(), 0x00);
  // After a power cycle the flash firmware still runs.
  d.PowerOff();
  d.PowerOn();
  Ready(d);
  EXPECT_EQ(d.Code(), RunningCode::RomMp);
}

TEST_F(DriveStates, AnImageCarryingTheRdtNameBecomesTheRdtFirmware) {
  Drive d(SmallConfig(RunningCode::Mcode));
  Ready(d);
  std::vector<std::uint8_t> normal = Bytes(16384 + 8192, 3);
  std::memcpy(normal.data() + 20000, d.Config().rdtFirmwareName.data(), 8);
  ProgramFlash(d, normal);
  Advance(d.Config().programFlashMs);
  ASSERT_TRUE(Ok(VWrite(d, 0x0F, 1, Sector(0), 0, 0x20)));
  Ready(d);
  EXPECT_EQ(d.Code(), RunningCode::RomRdt);
}

TEST_F(DriveStates, ConfiguredFlashCodePassesVerificationOnAFlashFirmwareDrive) {
  DriveConfig cfg = SmallConfig(RunningCode::RomMp);
  cfg.flashCode = Bytes(16384 + 65536, 4);
  Drive d(cfg);
  Ready(d);
  ASSERT_TRUE(Ok(VWrite(d, 0x80, 32, std::vector<std::uint8_t>(cfg.flashCode.begin(), cfg.flashCode.begin() + 16384))));
  AtaResponse r;
  VRead(d, 0x31, 32, 0, 0, 0, &r);
  ASSERT_TRUE(Ok(r));
  EXPECT_EQ(d.VerdictLbaHigh(), 0xBB);
  const auto c0 = VRead(d, 0x31, 128, 0, 0, 1);
  EXPECT_TRUE(std::equal(c0.begin(), c0.end(), cfg.flashCode.begin() + 16384));
}

TEST_F(DriveStates, ANormalCodeOfOnlyTheSeedAreaProgramsWithoutChunks) {
  Drive d(SmallConfig(RunningCode::Mcode));
  Ready(d);
  const std::vector<std::uint8_t> normal = Bytes(16384, 8);
  ProgramFlash(d, normal);
  Advance(d.Config().programFlashMs);
  ASSERT_TRUE(Ok(VWrite(d, 0x80, 32, normal)));
  VRead(d, 0x31, 32, 0, 0, 0);
  EXPECT_EQ(d.VerdictLbaHigh(), 0xBB);
}

TEST_F(DriveStates, ProgramFlashNeedsTheBurnerAndAReceivedImage) {
  Drive rom(SmallConfig(RunningCode::RomMp));
  Ready(rom);
  EXPECT_TRUE(Aborted(VWrite(rom, 0x41, 1, Sector(0), 0, 0x20)));
  EXPECT_TRUE(Aborted(VWrite(rom, 0x82, 1, Sector(1), 0, 0, 1)));
  Drive m(SmallConfig(RunningCode::Mcode));
  Ready(m);
  EXPECT_TRUE(Aborted(VWrite(m, 0x41, 1, Sector(0), 0, 0x20)));
}

TEST_F(DriveStates, ForceToBootThroughTheBootSwitchRegister) {
  Drive d(SmallConfig(RunningCode::RomMp));
  Ready(d);
  std::vector<std::uint8_t> w(512, 0);
  const std::uint32_t addr = 0x04000044;
  std::memcpy(w.data(), &addr, 4);
  w[4] = 2;
  ASSERT_TRUE(Ok(VWrite(d, 0x60, 1, w, 0, 1)));
  ASSERT_TRUE(Ok(VWrite(d, 0x0F, 1, Sector(0), 0, 0x20)));
  EXPECT_EQ(d.CardState(), 0x80);
  Ready(d);
  EXPECT_EQ(d.Code(), RunningCode::Boot);
  EXPECT_EQ(Name(d).substr(0, 3), "QVR");
  // A plain jump from flash firmware restarts it.
  Drive e(SmallConfig(RunningCode::RomMp));
  Ready(e);
  ASSERT_TRUE(Ok(VWrite(e, 0x0F, 1, Sector(0), 0, 0x20)));
  Ready(e);
  EXPECT_EQ(e.Code(), RunningCode::RomMp);
}

TEST_F(DriveStates, ErasedIspCodeBootsIntoBootCodeAtTheNextPowerOn) {
  Drive d(SmallConfig(RunningCode::RomMp));
  Ready(d);
  AtaResponse r;
  VRead(d, 0x46, 1, 0, 0, 0, &r);
  ASSERT_TRUE(Ok(r));
  EXPECT_EQ(d.Code(), RunningCode::RomMp);
  d.HardReset();
  Ready(d);
  EXPECT_EQ(d.Code(), RunningCode::Boot);
}

TEST_F(DriveStates, EraseAllBlocksBuildsTheBbtAndWipesCodeAndMedia) {
  DriveConfig cfg = SmallConfig(RunningCode::Boot);
  cfg.eraseMs = 5000;
  cfg.factoryBadBlocks = {{0, 0, 0, 1}};
  Drive d(cfg);
  Ready(d);
  const auto before = VRead(d, 0x7F, 1, 1);
  EXPECT_NE(std::string(before.begin(), before.begin() + 4), "DBTP");
  ASSERT_TRUE(Ok(Out(d, Reg(0x30, 0, 1, 0, 0, 0, 0xE0), Sector(0x99))));
  ASSERT_TRUE(Ok(VWrite(d, 0x26, 1, Sector(0), 1, 0x20, 0x19)));
  EXPECT_EQ(d.CardState(), 0x80);
  // Status polling is taken while busy; other commands are not.
  EXPECT_TRUE(Ok(VWrite(d, 0xCC, 1, Sector(0))));
  EXPECT_EQ(NonData(d, Reg(0xE5)).transport, TransportError::TimeOut);
  Advance(5000);
  EXPECT_EQ(d.CardState(), 0x50);
  EXPECT_EQ(d.EraseErrorByte(), 0);
  const auto p = VRead(d, 0x7F, 1, 1);
  EXPECT_EQ(std::string(p.begin(), p.begin() + 4), "DBTP");
  EXPECT_EQ(VRead(d, 0x7F, 1, 0)[1 * 8 * 2], 0x80);
  const auto rdt = VRead(d, 0x7F, 1, 2);
  EXPECT_EQ(std::string(rdt.begin(), rdt.begin() + 4), "KXRT");
  EXPECT_EQ(d.ReadMedia(0, 1), Sector(0));
}

}  // namespace
}  // namespace emu::test
