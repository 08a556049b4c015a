// The standard ATA commands beyond what AtaStandardTest's sequence and the
// command tables' tests pin: the configured identity, count 0, the power
// states, SMART, security, HPA and DCO edges, and the firmware download.
#include <cstring>

#include "tests/emulator/DriveTestUtil.h"

namespace emu::test {
namespace {

class DriveAta : public DriveTest {
 protected:
  static std::uint8_t Sum(const Bytes& b, std::size_t n = 512) {
    std::uint8_t s = 0;
    for (std::size_t i = 0; i < n; ++i) s = static_cast<std::uint8_t>(s + b[i]);
    return s;
  }
  static Bytes Identify(Drive& d) {
    Bytes id(512);
    EXPECT_TRUE(Ok(In(d, Reg(0xEC), id)));
    return id;
  }
};

TEST_F(DriveAta, IdentifyCarriesTheConfiguredIdentity) {
  DriveConfig cfg = SmallConfig();
  cfg.capacitySectors = 1000215216;
  cfg.serial = "SN12345";
  cfg.model = "KX00 Test Model";
  cfg.firmwareRevision = "QVF2.01A";
  cfg.wwn = 0x5001122334455667ULL;
  cfg.flashFirmwareModel = "OTHER VENDOR SSD";
  Drive d(cfg);
  Bytes id(100, 0xEE);
  EXPECT_EQ(In(d, Reg(0xEC, 0, 1, 0, 0, 0, 0x00), id).transferred, 100u);  // only what the host's buffer holds
  id.assign(600, 0xEE);
  EXPECT_EQ(In(d, Reg(0xEC), id).transferred, 512u);
  EXPECT_EQ(id[512], 0xEE);
  EXPECT_EQ(AtaText(id.data() + 20, 20), "SN12345");
  EXPECT_EQ(AtaText(id.data() + 46, 8), "QVF2.01A");
  EXPECT_EQ(AtaText(id.data() + 54, 40), "OTHER VENDOR SSD");  // the flash firmware's own model
  EXPECT_EQ(Le32(id, 120), 0x0FFFFFFFu);                        // words 60-61 saturate
  EXPECT_EQ(Le32(id, 200), 1000215216u);                        // words 100-103
  EXPECT_EQ(Le32(id, 204), 0u);
  const std::uint16_t wwn[] = {0x5001, 0x1223, 0x3445, 0x5667};  // words 108-111, most significant first
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Le16(id, 216 + 2 * i), wwn[i]) << "WWN word " << 108 + i;
  // Forced to boot code the drive answers with the controller's own model.
  ASSERT_TRUE(Ok(Key(d)));
  ASSERT_TRUE(WriteReg(d, 0x04000044, 2, 1));
  ASSERT_TRUE(Ok(JumpToBoot(d)));
  Advance(cfg.bootDelayMs);
  EXPECT_EQ(AtaText(Identify(d).data() + 54, 40), "KX00 Test Model");
}

// The flash firmware reports the serial number its info block holds (as MP
// wrote it); a block without the vendor mark, or the boot code, the factory's.
TEST_F(DriveAta, FlashFirmwareReportsTheInfoBlocksSerialNumber) {
  DriveConfig cfg = SmallConfig();
  cfg.serial = "FACTORY1";
  Drive d(cfg);
  Bytes block = d.InfoBlockPage(0);
  const char written[] = "PKNU0M9B";  // "KPUNM0B9" in ATA order
  std::copy(written, written + 8, block.begin() + 18);
  std::fill(block.begin() + 26, block.begin() + 38, ' ');
  d.SetInfoBlockPage(0, block);
  EXPECT_EQ(AtaText(Identify(d).data() + 20, 20), "KPUNM0B9");
  block[0] = 0;
  d.SetInfoBlockPage(0, block);
  EXPECT_EQ(AtaText(Identify(d).data() + 20, 20), "FACTORY1");
  block[0] = 'T';
  d.SetInfoBlockPage(0, block);
  ASSERT_TRUE(Ok(Key(d)));
  ASSERT_TRUE(WriteReg(d, 0x04000044, 2, 1));
  ASSERT_TRUE(Ok(JumpToBoot(d)));
  Advance(cfg.bootDelayMs);
  EXPECT_EQ(AtaText(Identify(d).data() + 20, 20), "FACTORY1");
}

// Count 0 is 256 sectors: with one sector of data the rest are zeros.
TEST_F(DriveAta, CountZeroWritesTwoHundredFiftySixSectors) {
  Drive d(SmallConfig());
  ASSERT_TRUE(Ok(Out(d, Reg(0x30, 0, 1, 255, 0, 0, 0xE0), Sector(0x77))));
  ASSERT_TRUE(Ok(Out(d, Reg(0x30, 0, 0, 0, 0, 0, 0xE0), Sector(0x11))));
  EXPECT_EQ(d.ReadMedia(0, 1), Sector(0x11));
  EXPECT_EQ(d.ReadMedia(255, 1), Sector(0x00));
}

// Asleep the drive takes nothing (AtaStandardTest); a reset wakes it.
TEST_F(DriveAta, SleepHoldsUntilAReset) {
  Drive d(SmallConfig());
  ASSERT_TRUE(Ok(NonData(d, Reg(0xE6))));
  d.HardReset();
  Advance(d.Config().bootDelayMs);
  EXPECT_TRUE(Ok(NonData(d, Reg(0xE5))));
}

TEST_F(DriveAta, SmartReadDataAndAnExceededThreshold) {
  DriveConfig cfg = SmallConfig();
  cfg.temperatureC = 47;
  Drive d(cfg);
  Bytes s(512);
  ASSERT_TRUE(Ok(In(d, Reg(0xB0, 0xD0, 1, 0, 0x4F, 0xC2), s)));
  int temperature = -1;  // attribute C2h's current raw value
  for (int o = 2; o + 12 <= 362; o += 12)
    if (s[o] == 0xC2) temperature = s[o + 5];
  EXPECT_EQ(temperature, 47);
  EXPECT_EQ(Sum(s), 0);
  Bytes t(512);
  ASSERT_TRUE(Ok(In(d, Reg(0xB0, 0xD1, 1, 0, 0x4F, 0xC2), t)));
  EXPECT_EQ(Sum(t), 0);
  // Pre-failure attributes at or below their non-zero thresholds; the thresholds
  // list the attributes' ids entry by entry.
  auto overThreshold = [&t](const Bytes& data) {
    int n = 0;
    for (int o = 2; o + 12 <= 362; o += 12)
      n += (data[o + 1] & 1) && t[o + 1] != 0 && data[o + 3] <= t[o + 1] && data[o] == t[o];
    return n;
  };
  EXPECT_EQ(overThreshold(s), 0);
  d.Faults().SetSmartThresholdExceeded(true);
  ASSERT_TRUE(Ok(In(d, Reg(0xB0, 0xD0, 1, 0, 0x4F, 0xC2), s)));
  EXPECT_EQ(overThreshold(s), 1);
  const AtaResponse r = NonData(d, Reg(0xB0, 0xDA, 0, 0, 0x4F, 0xC2));
  EXPECT_TRUE(Ok(r));
  EXPECT_EQ(r.lbaMid, 0xF4);
  EXPECT_EQ(r.lbaHigh, 0x2C);
  EXPECT_TRUE(Aborted(NonData(d, Reg(0xB0, 0xDA))));  // no SMART signature
}

TEST_F(DriveAta, SecurityPasswordLockUnlockEraseAndFreeze) {
  Drive d(SmallConfig());
  ASSERT_TRUE(Ok(Out(d, Reg(0x30, 0, 1, 5, 0, 0, 0xE0), Sector(0x42))));
  ASSERT_TRUE(Ok(Out(d, Reg(0xF1, 0, 1), Password("secret"))));
  EXPECT_FALSE(d.SecurityLocked());  // the lock takes effect at the next power-on
  d.PowerOff();
  d.PowerOn();
  Advance(2000);
  EXPECT_TRUE(d.SecurityLocked());
  EXPECT_TRUE(Aborted(Out(d, Reg(0xF2, 0, 1), Password("wrong"))));
  ASSERT_TRUE(Ok(Out(d, Reg(0xF2, 0, 1), Password("secret"))));
  EXPECT_FALSE(d.SecurityLocked());
  // Erase unit needs erase prepare immediately before it.
  EXPECT_TRUE(Aborted(Out(d, Reg(0xF4, 0, 1, 0, 0x10), Password("secret"))));
  ASSERT_TRUE(Ok(NonData(d, Reg(0xF3))));
  ASSERT_TRUE(Ok(Out(d, Reg(0xF4, 0, 1, 0, 0x10), Password("secret"))));
  EXPECT_FALSE(d.SecurityEnabled());
  EXPECT_EQ(d.ReadMedia(5, 1), Sector(0));
  // Freeze blocks changes until the vendor unlock.
  ASSERT_TRUE(Ok(NonData(d, Reg(0xF5))));
  EXPECT_TRUE(Aborted(Out(d, Reg(0xF1, 0, 1), Password("x"))));
  EXPECT_TRUE(Aborted(NonData(d, Reg(0xF3))));
  ASSERT_TRUE(Ok(Key(d)));
  ASSERT_TRUE(Ok(VWrite(d, 0x05, 1, Sector(0))));
  EXPECT_TRUE(Ok(Out(d, Reg(0xF1, 0, 1), Password("x"))));
}

TEST_F(DriveAta, MediaAccessWakesFromStandbyAndDeviceSleepHearsOnlyItsLine) {
  Drive d(SmallConfig(RunningCode::Boot));
  Bytes buf(512);
  ASSERT_TRUE(Ok(NonData(d, Reg(0xE0))));
  ASSERT_TRUE(Ok(In(d, Reg(0x20, 0, 1, 0, 0, 0, 0xE0), buf)));
  EXPECT_EQ(NonData(d, Reg(0xE5)).count, 0xFF);
  // Enabled through SET FEATURES, the tester's line command (05h, count 1) puts
  // the drive to sleep; asleep it hears only 05h.
  ASSERT_TRUE(Ok(NonData(d, Reg(0xEF, 0x10, 0x09))));
  EXPECT_EQ(Le16(Identify(d), 79 * 2) & 0x0100, 0x0100);
  ASSERT_TRUE(Ok(NonData(d, Reg(0x05, 0, 1))));
  EXPECT_TRUE(d.InDevSleep());
  EXPECT_EQ(NonData(d, Reg(0xE5)).transport, TransportError::TimeOut);
  ASSERT_TRUE(Ok(NonData(d, Reg(0x05, 0, 2))));  // DisableDEVSLP
  EXPECT_TRUE(Ok(NonData(d, Reg(0xE5))));
  // Disabled, the line does nothing; the 06h command enables it too.
  ASSERT_TRUE(Ok(NonData(d, Reg(0xEF, 0x90, 0x09))));
  d.SetDevSleepLine(true);
  EXPECT_FALSE(d.InDevSleep());
  ASSERT_TRUE(Ok(NonData(d, Reg(0x06, 0, 1))));
  EXPECT_TRUE(d.InDevSleep());
  d.SetDevSleepLine(false);
  EXPECT_TRUE(Aborted(NonData(d, Reg(0x06, 0, 7))));
}

TEST_F(DriveAta, HostProtectedAreaAndDcoEdges) {
  Drive d(SmallConfig());  // 100000h sectors
  // A volatile maximum hides the sectors above it until a reset.
  ASSERT_TRUE(Ok(NonData(d, Reg(0xF8, 0, 0, 0, 0, 0, 0xE0))));
  ASSERT_TRUE(Ok(NonData(d, Reg(0xF9, 0, 0, 0xFF, 0x0F, 0x00, 0xE0))));
  Bytes buf(512);
  EXPECT_TRUE(Aborted(In(d, Reg(0x20, 0, 1, 0x00, 0x10, 0, 0xE0), buf)));
  d.HardReset();
  Advance(2000);
  EXPECT_EQ(Le32(Identify(d), 120), 0x100000u);
  ASSERT_TRUE(Ok(NonData(d, Reg(0xF8, 0, 0, 0, 0, 0, 0xE0))));
  EXPECT_EQ(NonData(d, Reg(0xF9, 0, 1, 0xFF, 0xFF, 0xFF, 0xEF)).error, kErrorAbrt | kErrorIdnf);  // beyond native
  // DCO SET takes only a page whose checksum holds.
  Bytes dco(512);
  ASSERT_TRUE(Ok(In(d, Reg(0xB1, 0xC2, 1), dco)));
  EXPECT_EQ(Le32(dco, 6), 0x0FFFFFu);
  dco[6] = 0xFF;
  dco[7] = 0x7F;
  dco[8] = 0;
  dco[511] = static_cast<std::uint8_t>(-Sum(dco, 511) + 1);
  EXPECT_TRUE(Aborted(Out(d, Reg(0xB1, 0xC3, 1), dco)));
  EXPECT_EQ(d.NativeMaxLba(), 0x100000u);
  // WRITE BUFFER then READ BUFFER.
  ASSERT_TRUE(Ok(Out(d, Reg(0xE8, 0, 1), Sector(0x3C))));
  ASSERT_TRUE(Ok(In(d, Reg(0xE4, 0, 1), buf)));
  EXPECT_EQ(buf, Sector(0x3C));
}

// A firmware image: header, PRAM code, normal code.
Bytes Image(std::uint32_t pram, std::uint32_t normal, bool rdt) {
  Bytes img(512 + pram + normal, 0);
  std::memcpy(img.data(), "PS\x0C\x27", 4);
  for (int i = 0; i < 4; ++i) {
    img[7 + i] = static_cast<std::uint8_t>(pram >> (24 - 8 * i));
    img[14 + i] = static_cast<std::uint8_t>(normal >> (24 - 8 * i));
  }
  img[21] = 'Q';
  img[22] = 'V';
  if (rdt) std::memcpy(img.data() + 97, "RDT", 3);
  img[510] = 0x55;
  img[511] = 0xAA;
  for (std::size_t i = 512; i < img.size(); ++i) img[i] = static_cast<std::uint8_t>(i);
  return img;
}

TEST_F(DriveAta, DownloadMicrocodeRunsAfterPowerCycleWhenTheHeaderHoldsUp) {
  Drive d(SmallConfig(RunningCode::Boot));
  Bytes img = Image(1000, 65000, true);  // 66,512 bytes: 129 whole sectors + a partial one
  img.resize((img.size() + 511) / 512 * 512, 0);
  const std::uint32_t sectors = static_cast<std::uint32_t>(img.size() / 512);
  for (std::uint32_t off = 0; off < sectors; off += 128) {
    const std::uint32_t n = std::min<std::uint32_t>(128, sectors - off);
    ASSERT_TRUE(Ok(Out(d, Reg(0x92, 0x03, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                              static_cast<std::uint8_t>(off), static_cast<std::uint8_t>(off >> 8)),
                       Bytes(img.begin() + off * 512, img.begin() + (off + n) * 512))));
  }
  EXPECT_EQ(d.Code(), RunningCode::Boot);  // nothing changes before the power cycle
  d.PowerOff();
  d.PowerOn();
  Advance(2000);
  EXPECT_EQ(d.Code(), RunningCode::RomRdt);

  // A download with a broken header is ignored; no sectors or another mode abort.
  Drive e(SmallConfig(RunningCode::Boot));
  Bytes broken = Image(512, 512, false);
  broken[22] = 'X';
  ASSERT_TRUE(Ok(Out(e, Reg(0x92, 0x03, 3), broken)));
  e.PowerOff();
  e.PowerOn();
  Advance(2000);
  EXPECT_EQ(e.Code(), RunningCode::Boot);
  EXPECT_TRUE(Aborted(Out(e, Reg(0x92, 0x03, 0), {})));
  EXPECT_TRUE(Aborted(Out(e, Reg(0x92, 0x0E, 1), Sector(0))));
}

}  // namespace
}  // namespace emu::test
