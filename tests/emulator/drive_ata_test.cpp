#include <cstring>

#include "drive_test_util.h"

namespace emu::test {
namespace {

class DriveAta : public DriveTest {};

TEST_F(DriveAta, IdentifyCarriesIdentityCapacityWwnAndChecksum) {
  DriveConfig cfg = SmallConfig();
  cfg.capacitySectors = 1000215216;
  cfg.serial = "SN12345";
  cfg.model = "KX00 Test Model";
  cfg.firmwareRevision = "QVF2.01A";
  cfg.wwn = 0x5001122334455667ULL;
  Drive d(cfg);
  std::vector<std::uint8_t> id(512);
  ASSERT_TRUE(Ok(In(d, Reg(0xEC, 0, 1, 0, 0, 0, 0x00), id)));
  EXPECT_NE(id[0] | id[1], 0);
  EXPECT_EQ(AtaText(id.data() + 20, 20), "SN12345");
  EXPECT_EQ(AtaText(id.data() + 46, 8), "QVF2.01A");
  EXPECT_EQ(AtaText(id.data() + 54, 40), "KX00 Test Model");
  EXPECT_EQ(Le32(id, 120), 0x0FFFFFFFu);  // words 60-61 saturate
  std::uint64_t cap = 0;
  for (int i = 0; i < 4; ++i) cap |= static_cast<std::uint64_t>(Le16(id, 200 + 2 * i)) << (16 * i);
  EXPECT_EQ(cap, 1000215216u);
  std::uint64_t wwn = 0;
  for (int i = 0; i < 4; ++i) wwn = (wwn << 16) | Le16(id, 216 + 2 * i);
  EXPECT_EQ(wwn, cfg.wwn);
  EXPECT_EQ(id[510], 0xA5);
  std::uint8_t sum = 0;
  for (std::uint8_t b : id) sum = static_cast<std::uint8_t>(sum + b);
  EXPECT_EQ(sum, 0);
  EXPECT_EQ(Le16(id, 78 * 2) & 0x0100, 0x0100);  // device sleep supported
}

TEST_F(DriveAta, IdentifyNamesTheRunningCode) {
  Drive boot(SmallConfig(RunningCode::Boot));
  std::vector<std::uint8_t> id(512);
  ASSERT_TRUE(Ok(In(boot, Reg(0xEC), id)));
  EXPECT_EQ(AtaText(id.data() + 46, 8), "QVR 1.00");
  Drive rdt(SmallConfig(RunningCode::RomRdt));
  ASSERT_TRUE(Ok(In(rdt, Reg(0xEC), id)));
  EXPECT_EQ(AtaText(id.data() + 46, 8), "RDT00101");
}

TEST_F(DriveAta, FlashFirmwareMayReportAnotherModelThanTheBootCode) {
  DriveConfig cfg = SmallConfig(RunningCode::RomMp);
  cfg.flashFirmwareModel = "OTHER VENDOR SSD";
  Drive d(cfg);
  std::vector<std::uint8_t> id(512);
  ASSERT_TRUE(Ok(In(d, Reg(0xEC), id)));
  EXPECT_EQ(AtaText(id.data() + 54, 40), "OTHER VENDOR SSD");
  // Forced to boot code it answers with the controller's own model.
  ASSERT_TRUE(Ok(Key(d)));
  std::vector<std::uint8_t> w(512, 0);
  w[0] = 0x44;
  w[3] = 0x04;
  w[4] = 2;
  ASSERT_TRUE(Ok(VWrite(d, 0x60, 1, w, 0, 1)));
  ASSERT_TRUE(Ok(VWrite(d, 0x0F, 1, Sector(0), 0, 0x20)));
  Advance(cfg.bootDelayMs);
  ASSERT_TRUE(Ok(In(d, Reg(0xEC), id)));
  EXPECT_EQ(AtaText(id.data() + 54, 40), cfg.model);
}

TEST_F(DriveAta, ShortAndLongHostBuffersMoveOnlyWhatFits) {
  Drive d(SmallConfig());
  std::vector<std::uint8_t> small(100, 0xEE);
  const AtaResponse r = In(d, Reg(0xEC), small);
  EXPECT_TRUE(Ok(r));
  EXPECT_EQ(r.transferred, 100u);
  std::vector<std::uint8_t> big(2048, 0xEE);
  EXPECT_EQ(In(d, Reg(0xEC), big).transferred, 512u);
  EXPECT_EQ(big[512], 0xEE);  // beyond the sector the host buffer is untouched
}

TEST_F(DriveAta, ReadWrite28And48BitAndDmaShareTheMedia) {
  Drive d(SmallConfig());
  std::vector<std::uint8_t> data(3 * 512);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13);
  // 28-bit: LBA 0x0012345 with bits 27:24 in the device register.
  ASSERT_TRUE(Ok(Out(d, Reg(0x30, 0, 3, 0x45, 0x23, 0x01, 0xE0), data)));
  std::vector<std::uint8_t> back(3 * 512);
  ASSERT_TRUE(Ok(In(d, Reg(0x20, 0, 3, 0x45, 0x23, 0x01, 0xE0), back)));
  EXPECT_EQ(back, data);
  AtaRequest r48 = Reg(0x25, 0, 3, 0x45, 0x23, 0x01, 0x40);
  r48.is48 = true;
  r48.protocol = AtaProtocol::DmaIn;
  std::vector<std::uint8_t> back48(3 * 512);
  r48.data = back48.data();
  r48.length = static_cast<std::uint32_t>(back48.size());
  ASSERT_TRUE(Ok(d.Execute(r48)));
  EXPECT_EQ(back48, data);
  EXPECT_EQ(d.ReadMedia(0x12345 + 1, 1), std::vector<std::uint8_t>(data.begin() + 512, data.begin() + 1024));
}

TEST_F(DriveAta, SectorCountZeroMeans256AndMissingOutDataIsZeros) {
  Drive d(SmallConfig());
  ASSERT_TRUE(Ok(Out(d, Reg(0x30, 0, 1, 10, 0, 0, 0xE0), Sector(0x77))));
  // Count 0 (256 sectors) with only one sector of data: the rest is zeros.
  ASSERT_TRUE(Ok(Out(d, Reg(0x30, 0, 0, 0, 0, 0, 0xE0), Sector(0x11))));
  EXPECT_EQ(d.ReadMedia(0, 1), Sector(0x11));
  EXPECT_EQ(d.ReadMedia(10, 1), Sector(0x00));
}

TEST_F(DriveAta, AccessBeyondTheEndIsIdnf) {
  Drive d(SmallConfig());
  const std::uint64_t last = d.Config().capacitySectors - 1;
  std::vector<std::uint8_t> buf(1024);
  AtaRequest r = Reg(0x24, 0, 2, static_cast<std::uint8_t>(last), static_cast<std::uint8_t>(last >> 8),
                     static_cast<std::uint8_t>(last >> 16), 0x40);
  r.is48 = true;
  const AtaResponse rsp = In(d, r, buf);
  EXPECT_TRUE(Aborted(rsp));
  EXPECT_TRUE(rsp.error & kErrorIdnf);
  r.count = 1;
  EXPECT_TRUE(Ok(In(d, r, buf)));
}

TEST_F(DriveAta, SmartReadDataAndReturnStatus) {
  DriveConfig cfg = SmallConfig();
  cfg.temperatureC = 47;
  Drive d(cfg);
  std::vector<std::uint8_t> s(512);
  ASSERT_TRUE(Ok(In(d, Reg(0xB0, 0xD0, 1, 0, 0x4F, 0xC2), s)));
  bool found = false;
  for (int o = 2; o + 12 <= 362; o += 12)
    if (s[o] == 0xC2) found = s[o + 5] == 47;
  EXPECT_TRUE(found);
  std::uint8_t sum = 0;
  for (std::uint8_t b : s) sum = static_cast<std::uint8_t>(sum + b);
  EXPECT_EQ(sum, 0);
  AtaResponse r = NonData(d, Reg(0xB0, 0xDA, 0, 0, 0x4F, 0xC2));
  EXPECT_TRUE(Ok(r));
  EXPECT_EQ(r.lbaMid, 0x4F);
  EXPECT_EQ(r.lbaHigh, 0xC2);
  d.Faults().SetSmartThresholdExceeded(true);
  r = NonData(d, Reg(0xB0, 0xDA, 0, 0, 0x4F, 0xC2));
  EXPECT_TRUE(Ok(r));
  EXPECT_EQ(r.lbaMid, 0xF4);
  EXPECT_EQ(r.lbaHigh, 0x2C);
  EXPECT_TRUE(Aborted(NonData(d, Reg(0xB0, 0xDA, 0, 0, 0x00, 0x00))));  // no SMART signature
}

std::vector<std::uint8_t> PasswordSector(const char* pw, bool master = false) {
  std::vector<std::uint8_t> s(512, 0);
  s[0] = master ? 1 : 0;
  std::memcpy(s.data() + 2, pw, std::strlen(pw));
  return s;
}

TEST_F(DriveAta, SecurityPasswordLockUnlockAndErase) {
  Drive d(SmallConfig());
  ASSERT_TRUE(Ok(Out(d, Reg(0x30, 0, 1, 5, 0, 0, 0xE0), Sector(0x42))));
  ASSERT_TRUE(Ok(Out(d, Reg(0xF1, 0, 1), PasswordSector("secret"))));
  EXPECT_TRUE(d.SecurityEnabled());
  // The lock takes effect at the next power-on.
  d.PowerOff();
  d.PowerOn();
  Advance(2000);
  EXPECT_TRUE(d.SecurityLocked());
  std::vector<std::uint8_t> buf(512);
  EXPECT_TRUE(Aborted(In(d, Reg(0x20, 0, 1, 5, 0, 0, 0xE0), buf)));
  EXPECT_TRUE(Aborted(Out(d, Reg(0xF2, 0, 1), PasswordSector("wrong"))));
  ASSERT_TRUE(Ok(Out(d, Reg(0xF2, 0, 1), PasswordSector("secret"))));
  EXPECT_FALSE(d.SecurityLocked());
  ASSERT_TRUE(Ok(In(d, Reg(0x20, 0, 1, 5, 0, 0, 0xE0), buf)));
  EXPECT_EQ(buf, Sector(0x42));
  // Erase unit needs erase prepare immediately before it.
  EXPECT_TRUE(Aborted(Out(d, Reg(0xF4, 0, 1, 0, 0x10), PasswordSector("secret"))));
  ASSERT_TRUE(Ok(NonData(d, Reg(0xF3))));
  ASSERT_TRUE(Ok(Out(d, Reg(0xF4, 0, 1, 0, 0x10), PasswordSector("secret"))));
  EXPECT_FALSE(d.SecurityEnabled());
  EXPECT_EQ(d.ReadMedia(5, 1), Sector(0));
}

TEST_F(DriveAta, SecurityFreezeBlocksChangesUntilPowerCycleOrVendorUnlock) {
  Drive d(SmallConfig());
  ASSERT_TRUE(Ok(NonData(d, Reg(0xF5))));
  EXPECT_TRUE(d.SecurityFrozen());
  EXPECT_TRUE(Aborted(Out(d, Reg(0xF1, 0, 1), PasswordSector("x"))));
  EXPECT_TRUE(Aborted(NonData(d, Reg(0xF3))));
  ASSERT_TRUE(Ok(Key(d)));
  ASSERT_TRUE(Ok(VWrite(d, 0x05, 1, Sector(0))));
  EXPECT_FALSE(d.SecurityFrozen());
  ASSERT_TRUE(Ok(Out(d, Reg(0xF1, 0, 1), PasswordSector("x"))));
  ASSERT_TRUE(Ok(Out(d, Reg(0xF6, 0, 1), PasswordSector("x"))));
  EXPECT_FALSE(d.SecurityEnabled());
}

TEST_F(DriveAta, PowerModesAndSetFeatures) {
  Drive d(SmallConfig());
  EXPECT_EQ(NonData(d, Reg(0xE5)).count, 0xFF);
  ASSERT_TRUE(Ok(NonData(d, Reg(0xE0))));
  EXPECT_EQ(NonData(d, Reg(0xE5)).count, 0x00);
  std::vector<std::uint8_t> buf(512);
  ASSERT_TRUE(Ok(In(d, Reg(0x20, 0, 1, 0, 0, 0, 0xE0), buf)));
  EXPECT_EQ(NonData(d, Reg(0xE5)).count, 0xFF);  // media access wakes it
  // Device sleep: enable through SET FEATURES, then the tester's line puts it to sleep.
  ASSERT_TRUE(Ok(NonData(d, Reg(0xEF, 0x10, 0x09))));
  std::vector<std::uint8_t> id(512);
  ASSERT_TRUE(Ok(In(d, Reg(0xEC), id)));
  EXPECT_EQ(Le16(id, 79 * 2) & 0x0100, 0x0100);
  d.SetDevSleepLine(true);
  EXPECT_TRUE(d.InDevSleep());
  EXPECT_EQ(NonData(d, Reg(0xE5)).transport, TransportError::TimeOut);
  d.SetDevSleepLine(false);
  EXPECT_TRUE(Ok(NonData(d, Reg(0xE5))));
  ASSERT_TRUE(Ok(NonData(d, Reg(0xEF, 0x90, 0x09))));
  d.SetDevSleepLine(true);
  EXPECT_FALSE(d.InDevSleep());
  EXPECT_TRUE(Aborted(NonData(d, Reg(0xEF, 0x77))));
}

TEST_F(DriveAta, NativeMaxSetMaxAndDco) {
  Drive d(SmallConfig());
  const std::uint64_t cap = d.Config().capacitySectors;
  AtaResponse r = NonData(d, Reg(0xF8, 0, 0, 0, 0, 0, 0xE0));
  ASSERT_TRUE(Ok(r));
  const std::uint64_t native = r.lbaLow | (r.lbaMid << 8) | (r.lbaHigh << 16) | ((r.device & 0x0Fu) << 24);
  EXPECT_EQ(native, cap - 1);
  // Volatile HPA at 0x1000 sectors: IDENTIFY shows it, a power cycle undoes it.
  ASSERT_TRUE(Ok(NonData(d, Reg(0xF9, 0, 0, 0xFF, 0x0F, 0x00, 0xE0))));
  std::vector<std::uint8_t> id(512);
  ASSERT_TRUE(Ok(In(d, Reg(0xEC), id)));
  EXPECT_EQ(Le32(id, 120), 0x1000u);
  std::vector<std::uint8_t> buf(512);
  EXPECT_TRUE(Aborted(In(d, Reg(0x20, 0, 1, 0x00, 0x10, 0, 0xE0), buf)));
  d.HardReset();
  Advance(2000);
  ASSERT_TRUE(Ok(In(d, Reg(0xEC), id)));
  EXPECT_EQ(Le32(id, 120), cap);
  EXPECT_TRUE(Aborted(NonData(d, Reg(0xF9, 0, 1, 0xFF, 0xFF, 0xFF, 0xEF))));  // beyond native
  // DCO: identify, then set a smaller native maximum with a valid checksum.
  std::vector<std::uint8_t> dco(512);
  ASSERT_TRUE(Ok(In(d, Reg(0xB1, 0xC2, 1), dco)));
  EXPECT_EQ(Le32(dco, 6), cap - 1);
  dco[6] = 0xFF;
  dco[7] = 0x7F;
  dco[8] = 0;
  dco[9] = 0;
  std::uint8_t sum = 0;
  for (int i = 0; i < 511; ++i) sum = static_cast<std::uint8_t>(sum + dco[i]);
  std::vector<std::uint8_t> bad = dco;
  bad[511] = static_cast<std::uint8_t>(-sum + 1);
  EXPECT_TRUE(Aborted(Out(d, Reg(0xB1, 0xC3, 1), bad)));
  dco[511] = static_cast<std::uint8_t>(-sum);
  ASSERT_TRUE(Ok(Out(d, Reg(0xB1, 0xC3, 1), dco)));
  EXPECT_EQ(d.NativeMaxLba(), 0x8000u);
}

TEST_F(DriveAta, WriteBufferFlushNopAndUnknownOpcodes) {
  Drive d(SmallConfig());
  ASSERT_TRUE(Ok(Out(d, Reg(0xE8, 0, 1), Sector(0x3C))));
  std::vector<std::uint8_t> b(512);
  ASSERT_TRUE(Ok(In(d, Reg(0xE4, 0, 1), b)));
  EXPECT_EQ(b, Sector(0x3C));
  EXPECT_TRUE(Ok(NonData(d, Reg(0xE7))));
  EXPECT_TRUE(Aborted(NonData(d, Reg(0x00, 0, 0, 0, 0, 0, 0x00))));
  EXPECT_TRUE(Aborted(NonData(d, Reg(0x99))));
}

TEST_F(DriveAta, TesterLineCommandsAsASataPortCarriesThem) {
  Drive d(SmallConfig(RunningCode::Boot));
  AtaRequest name = Reg(0x60, 0, 1, 0, 0, 0, 0);
  name.is48 = true;
  name.protocol = AtaProtocol::DmaIn;
  std::vector<std::uint8_t> buf(16, 0xEE);
  name.data = buf.data();
  name.length = 16;
  ASSERT_TRUE(Ok(d.Execute(name)));
  const auto expected = d.FirmwareName();
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), expected.begin()));
  // Device sleep: feature on (06h, 1), line asserted (05h, 1): the drive sleeps
  // and hears only the line command, which releases it (DisableDEVSLP sends 2).
  ASSERT_TRUE(Ok(NonData(d, Reg(0x06, 0, 1))));
  ASSERT_TRUE(Ok(NonData(d, Reg(0x05, 0, 1))));
  EXPECT_TRUE(d.InDevSleep());
  EXPECT_EQ(NonData(d, Reg(0xE5)).transport, TransportError::TimeOut);
  ASSERT_TRUE(Ok(NonData(d, Reg(0x05, 0, 2))));
  EXPECT_FALSE(d.InDevSleep());
  EXPECT_TRUE(Ok(NonData(d, Reg(0xE5))));
  EXPECT_TRUE(Aborted(NonData(d, Reg(0x06, 0, 7))));
}

// Builds a firmware image: header, PRAM code, normal code.
std::vector<std::uint8_t> Image(std::uint32_t pram, std::uint32_t normal, bool rdt) {
  std::vector<std::uint8_t> img(512 + pram + normal, 0);
  img[0] = 'P';
  img[1] = 'S';
  img[2] = 0x0C;
  img[3] = 0x27;
  auto be32 = [&](std::size_t o, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) img[o + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
  };
  be32(7, pram);
  be32(14, normal);
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
  std::vector<std::uint8_t> img = Image(1000, 65000, true);  // 66,512 bytes: 129 whole + partial
  img.resize((img.size() + 511) / 512 * 512, 0);
  const std::uint32_t sectors = static_cast<std::uint32_t>(img.size() / 512);
  for (std::uint32_t off = 0; off < sectors; off += 128) {
    const std::uint32_t n = std::min<std::uint32_t>(128, sectors - off);
    std::vector<std::uint8_t> piece(img.begin() + off * 512, img.begin() + (off + n) * 512);
    ASSERT_TRUE(Ok(Out(d, Reg(0x92, 0x03, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                              static_cast<std::uint8_t>(off), static_cast<std::uint8_t>(off >> 8)),
                       piece)));
  }
  EXPECT_EQ(d.Code(), RunningCode::Boot);  // nothing changes before the power cycle
  d.PowerOff();
  d.PowerOn();
  Advance(2000);
  EXPECT_EQ(d.Code(), RunningCode::RomRdt);

  // A download with a broken header is ignored.
  Drive e(SmallConfig(RunningCode::Boot));
  std::vector<std::uint8_t> broken = Image(512, 512, false);
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
