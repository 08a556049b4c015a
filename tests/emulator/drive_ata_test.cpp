// The standard ATA commands the command set sends.
#include <cstring>

#include "drive_test_util.h"

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
  static Bytes Password(const char* pw, bool master = false) {
    Bytes s(512, 0);
    s[0] = master ? 1 : 0;
    std::memcpy(s.data() + 2, pw, std::strlen(pw));
    return s;
  }
};

TEST_F(DriveAta, IdentifyCarriesIdentityCapacityWwnAndChecksum) {
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
  EXPECT_EQ(Pick(id, {0, 512}), (Ints{0x40, 0xEE}));
  EXPECT_EQ(AtaText(id.data() + 20, 20), "SN12345");
  EXPECT_EQ(AtaText(id.data() + 46, 8), "QVF2.01A");
  EXPECT_EQ(AtaText(id.data() + 54, 40), "OTHER VENDOR SSD");  // the flash firmware's own model
  EXPECT_EQ(Le32(id, 120), 0x0FFFFFFFu);                        // words 60-61 saturate
  std::uint64_t cap = 0, wwn = 0;
  for (int i = 0; i < 4; ++i) {
    cap |= static_cast<std::uint64_t>(Le16(id, 200 + 2 * i)) << (16 * i);
    wwn = (wwn << 16) | Le16(id, 216 + 2 * i);
  }
  EXPECT_EQ(cap, 1000215216u);
  EXPECT_EQ(wwn, cfg.wwn);
  // SATA Gen3, current speed Gen3, device sleep supported; checksum.
  EXPECT_EQ((Ints{id[76 * 2], (Le16(id, 77 * 2) >> 1) & 7, Le16(id, 78 * 2) & 0x0100, id[510], Sum(id)}),
            (Ints{0x0E, 3, 0x0100, 0xA5, 0}));
  // Forced to boot code the drive answers with the controller's own model.
  ASSERT_TRUE(Ok(Key(d)));
  ASSERT_TRUE(WriteReg(d, 0x04000044, 2, 1));
  ASSERT_TRUE(Ok(JumpToBoot(d)));
  Advance(cfg.bootDelayMs);
  EXPECT_EQ(AtaText(Identify(d).data() + 54, 40), cfg.model);
}

TEST_F(DriveAta, MediaReadWriteIn28And48BitCountZeroAndRange) {
  Drive d(SmallConfig());
  const Bytes data = Pattern(3 * 512, 13);
  // 28-bit: LBA 0x0012345 with bits 27:24 in the device register.
  ASSERT_TRUE(Ok(Out(d, Reg(0x30, 0, 3, 0x45, 0x23, 0x01, 0xE0), data)));
  Bytes back(3 * 512);
  ASSERT_TRUE(Ok(In(d, Reg(0x20, 0, 3, 0x45, 0x23, 0x01, 0xE0), back)));
  EXPECT_EQ(back, data);
  EXPECT_EQ(d.ReadMedia(0x12345 + 1, 1), Bytes(data.begin() + 512, data.begin() + 1024));

  // Count 0 (256 sectors) with only one sector of data: the rest is zeros.
  ASSERT_TRUE(Ok(Out(d, Reg(0x30, 0, 1, 10, 0, 0, 0xE0), Sector(0x77))));
  ASSERT_TRUE(Ok(Out(d, Reg(0x30, 0, 0, 0, 0, 0, 0xE0), Sector(0x11))));
  EXPECT_EQ(d.ReadMedia(0, 1), Sector(0x11));
  EXPECT_EQ(d.ReadMedia(10, 1), Sector(0x00));

  // Past the end: IDNF.
  const std::uint64_t last = d.Config().capacitySectors - 1;
  AtaRequest r = Reg(0x24, 0, 2, static_cast<std::uint8_t>(last), static_cast<std::uint8_t>(last >> 8),
                     static_cast<std::uint8_t>(last >> 16), 0x40);
  r.is48 = true;
  Bytes buf(1024);
  const AtaResponse rsp = In(d, r, buf);
  EXPECT_TRUE(Aborted(rsp));
  EXPECT_TRUE(rsp.error & kErrorIdnf);
  r.count = 1;
  EXPECT_TRUE(Ok(In(d, r, buf)));
}

// The opcode decides the addressing, not the form the request came in: a 28-bit
// command ignores the high-order bytes, a 48-bit one ignores the device nibble.
TEST_F(DriveAta, AddressWidthFollowsTheOpcode) {
  struct Case {
    const char* what;
    std::uint8_t command;
    bool is48;
    std::uint8_t lowExp;
    std::uint8_t deviceNibble;
    std::uint64_t lba;  // where the sector lands
  };
  const Case cases[] = {
      {"WRITE SECTORS in a 48-bit request", 0x30, true, 0x01, 0x02, 0x02000077},
      {"WRITE SECTORS EXT in a 28-bit request", 0x34, false, 0x00, 0x03, 0x00000088},
  };
  DriveConfig cfg = SmallConfig();
  cfg.capacitySectors = 0x04000000;
  Drive d(cfg);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AtaRequest r = Reg(c.command, 0, 1, static_cast<std::uint8_t>(c.lba), 0, 0,
                       static_cast<std::uint8_t>(0xE0 | c.deviceNibble));
    r.is48 = c.is48;
    r.lbaLowExp = c.lowExp;
    ASSERT_TRUE(Ok(Out(d, r, Sector(0x5A))));
    EXPECT_EQ(d.ReadMedia(c.lba, 1), Sector(0x5A));
  }
}

// SLEEP: the drive takes nothing more until a reset.
TEST_F(DriveAta, SleepHoldsUntilAReset) {
  Drive d(SmallConfig());
  ASSERT_TRUE(Ok(NonData(d, Reg(0xE6))));
  EXPECT_EQ(NonData(d, Reg(0xE5)).transport, TransportError::TimeOut);
  d.HardReset();
  Advance(d.Config().bootDelayMs);
  EXPECT_TRUE(Ok(NonData(d, Reg(0xE5))));
}

TEST_F(DriveAta, SmartReadDataAndReturnStatus) {
  DriveConfig cfg = SmallConfig();
  cfg.temperatureC = 47;
  Drive d(cfg);
  Bytes s(512);
  ASSERT_TRUE(Ok(In(d, Reg(0xB0, 0xD0, 1, 0, 0x4F, 0xC2), s)));
  bool found = false;
  for (int o = 2; o + 12 <= 362; o += 12)
    if (s[o] == 0xC2) found = s[o + 5] == 47;
  EXPECT_TRUE(found);
  EXPECT_EQ(Sum(s), 0);
  for (bool exceeded : {false, true}) {
    d.Faults().SetSmartThresholdExceeded(exceeded);
    const AtaResponse r = NonData(d, Reg(0xB0, 0xDA, 0, 0, 0x4F, 0xC2));
    EXPECT_TRUE(Ok(r));
    EXPECT_EQ((Ints{r.lbaMid, r.lbaHigh}), exceeded ? (Ints{0xF4, 0x2C}) : (Ints{0x4F, 0xC2}));
  }
  EXPECT_TRUE(Aborted(NonData(d, Reg(0xB0, 0xDA))));  // no SMART signature
}

TEST_F(DriveAta, SecurityPasswordLockUnlockEraseAndFreeze) {
  Drive d(SmallConfig());
  ASSERT_TRUE(Ok(Out(d, Reg(0x30, 0, 1, 5, 0, 0, 0xE0), Sector(0x42))));
  ASSERT_TRUE(Ok(Out(d, Reg(0xF1, 0, 1), Password("secret"))));
  EXPECT_TRUE(d.SecurityEnabled());
  d.PowerOff();  // the lock takes effect at the next power-on
  d.PowerOn();
  Advance(2000);
  EXPECT_TRUE(d.SecurityLocked());
  Bytes buf(512);
  EXPECT_TRUE(Aborted(In(d, Reg(0x20, 0, 1, 5, 0, 0, 0xE0), buf)));
  EXPECT_TRUE(Aborted(Out(d, Reg(0xF2, 0, 1), Password("wrong"))));
  ASSERT_TRUE(Ok(Out(d, Reg(0xF2, 0, 1), Password("secret"))));
  ASSERT_TRUE(Ok(In(d, Reg(0x20, 0, 1, 5, 0, 0, 0xE0), buf)));
  EXPECT_EQ(buf, Sector(0x42));
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
  EXPECT_FALSE(d.SecurityFrozen());
  ASSERT_TRUE(Ok(Out(d, Reg(0xF1, 0, 1), Password("x"))));
  ASSERT_TRUE(Ok(Out(d, Reg(0xF6, 0, 1), Password("x"))));
  EXPECT_FALSE(d.SecurityEnabled());
}

TEST_F(DriveAta, PowerModesAndDeviceSleep) {
  Drive d(SmallConfig(RunningCode::Boot));
  // Standby, and media access waking the drive, as CHECK POWER MODE reports them.
  Bytes buf(512);
  Ints modes = {NonData(d, Reg(0xE5)).count};
  ASSERT_TRUE(Ok(NonData(d, Reg(0xE0))));
  modes.push_back(NonData(d, Reg(0xE5)).count);
  ASSERT_TRUE(Ok(In(d, Reg(0x20, 0, 1, 0, 0, 0, 0xE0), buf)));
  modes.push_back(NonData(d, Reg(0xE5)).count);
  EXPECT_EQ(modes, (Ints{0xFF, 0x00, 0xFF}));
  EXPECT_TRUE(Aborted(NonData(d, Reg(0xEF, 0x77))));

  // Device sleep: enabled through SET FEATURES or the 06h line command, then the
  // tester's line (05h, count 1) puts it to sleep; asleep it hears only 05h.
  ASSERT_TRUE(Ok(NonData(d, Reg(0xEF, 0x10, 0x09))));
  EXPECT_EQ(Le16(Identify(d), 79 * 2) & 0x0100, 0x0100);
  ASSERT_TRUE(Ok(NonData(d, Reg(0x05, 0, 1))));
  EXPECT_TRUE(d.InDevSleep());
  EXPECT_EQ(NonData(d, Reg(0xE5)).transport, TransportError::TimeOut);
  ASSERT_TRUE(Ok(NonData(d, Reg(0x05, 0, 2))));  // DisableDEVSLP
  EXPECT_TRUE(Ok(NonData(d, Reg(0xE5))));
  ASSERT_TRUE(Ok(NonData(d, Reg(0xEF, 0x90, 0x09))));
  d.SetDevSleepLine(true);
  EXPECT_FALSE(d.InDevSleep());
  ASSERT_TRUE(Ok(NonData(d, Reg(0x06, 0, 1))));
  EXPECT_TRUE(d.InDevSleep());
  d.SetDevSleepLine(false);
  EXPECT_TRUE(Aborted(NonData(d, Reg(0x06, 0, 7))));
}

TEST_F(DriveAta, NativeMaxSetMaxAndDco) {
  Drive d(SmallConfig());
  const std::uint64_t cap = d.Config().capacitySectors;
  AtaResponse r = NonData(d, Reg(0xF8, 0, 0, 0, 0, 0, 0xE0));
  ASSERT_TRUE(Ok(r));
  EXPECT_EQ(r.lbaLow | (r.lbaMid << 8) | (r.lbaHigh << 16) | ((r.device & 0x0Fu) << 24), cap - 1);
  // Volatile HPA at 0x1000 sectors: IDENTIFY shows it, a reset undoes it.
  ASSERT_TRUE(Ok(NonData(d, Reg(0xF9, 0, 0, 0xFF, 0x0F, 0x00, 0xE0))));
  EXPECT_EQ(Le32(Identify(d), 120), 0x1000u);
  Bytes buf(512);
  EXPECT_TRUE(Aborted(In(d, Reg(0x20, 0, 1, 0x00, 0x10, 0, 0xE0), buf)));
  d.HardReset();
  Advance(2000);
  EXPECT_EQ(Le32(Identify(d), 120), cap);
  ASSERT_TRUE(Ok(NonData(d, Reg(0xF8, 0, 0, 0, 0, 0, 0xE0))));
  const AtaResponse beyond = NonData(d, Reg(0xF9, 0, 1, 0xFF, 0xFF, 0xFF, 0xEF));
  EXPECT_EQ(beyond.error, kErrorAbrt | kErrorIdnf);  // beyond native
  // DCO: identify, then set a smaller native maximum with a valid checksum only.
  Bytes dco(512);
  ASSERT_TRUE(Ok(In(d, Reg(0xB1, 0xC2, 1), dco)));
  EXPECT_EQ(Le32(dco, 6), cap - 1);
  dco[6] = 0xFF;
  dco[7] = 0x7F;
  dco[8] = dco[9] = 0;
  dco[511] = static_cast<std::uint8_t>(-Sum(dco, 511) + 1);
  EXPECT_TRUE(Aborted(Out(d, Reg(0xB1, 0xC3, 1), dco)));
  dco[511] = static_cast<std::uint8_t>(-Sum(dco, 511));
  ASSERT_TRUE(Ok(Out(d, Reg(0xB1, 0xC3, 1), dco)));
  EXPECT_EQ(d.NativeMaxLba(), 0x8000u);
  // Write buffer round trip, flush; NOP and unknown opcodes abort.
  ASSERT_TRUE(Ok(Out(d, Reg(0xE8, 0, 1), Sector(0x3C))));
  ASSERT_TRUE(Ok(In(d, Reg(0xE4, 0, 1), buf)));
  EXPECT_EQ(buf, Sector(0x3C));
  EXPECT_TRUE(Ok(NonData(d, Reg(0xE7))));
  EXPECT_TRUE(Aborted(NonData(d, Reg(0x00, 0, 0, 0, 0, 0, 0x00))));
  EXPECT_TRUE(Aborted(NonData(d, Reg(0x99))));
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
