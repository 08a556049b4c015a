#include <cstring>

#include "drive_test_util.h"

namespace emu::test {
namespace {

class DriveVendor : public DriveTest {};

std::uint16_t Crc16(const std::uint8_t* p, std::size_t n) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= static_cast<std::uint16_t>(p[i] << 8);
    for (int b = 0; b < 8; ++b) crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return static_cast<std::uint16_t>(~crc);
}

TEST_F(DriveVendor, Crc16GenibusCheckValue) {
  const char* check = "123456789";
  EXPECT_EQ(Crc16(reinterpret_cast<const std::uint8_t*>(check), 9), 0xD64E);
}

TEST_F(DriveVendor, VendorCommandsWaitForTheAccessKey) {
  Drive d(SmallConfig());
  AtaResponse r;
  VRead(d, 0x13, 1, 0, 0, 0, &r);
  EXPECT_TRUE(Aborted(r));
  // A near miss of the signature is not a key.
  AtaRequest k = KeyRequest();
  k.lbaMid ^= 1;
  EXPECT_TRUE(Aborted(NonData(d, k)));
  const AtaResponse key = Key(d);
  ASSERT_TRUE(Ok(key));
  EXPECT_EQ(key.count, 0x01);
  EXPECT_EQ(key.lbaLow, 0x01);
  EXPECT_EQ(key.status, 0x50);
  VRead(d, 0x13, 1, 0, 0, 0, &r);
  EXPECT_TRUE(Ok(r));
  EXPECT_TRUE(Aborted(VWrite(d, 0xEE, 1, Sector(0))));  // unknown sub-command
  // The vendor-mode signature is answered the same way.
  Drive e(SmallConfig());
  const AtaResponse vm = NonData(e, KeyRequest(kx::kVendorModeSignature));
  EXPECT_TRUE(Ok(vm));
  EXPECT_EQ(vm.count, 0x01);
  EXPECT_EQ(vm.lbaLow, 0x01);
}

TEST_F(DriveVendor, SramAndRegisterRoundTrips) {
  Drive d(SmallConfig());
  Ready(d);
  std::vector<std::uint8_t> data(1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i ^ 0x5A);
  ASSERT_TRUE(Ok(VWrite(d, 0x24, 2, data, 0, 0x00, 0x12)));
  EXPECT_EQ(VRead(d, 0x12, 2, 0, 0x00, 0x12), data);
  // Out of SRAM: refused, not clipped.
  EXPECT_TRUE(Aborted(VWrite(d, 0x24, 2, data, 0, 0x00, 0xFF)));
  // Register write {addr, value}; read through the pointer at SRAM 0x3300.
  std::vector<std::uint8_t> w(512, 0);
  const std::uint32_t addr = 0x04002180;
  std::memcpy(w.data(), &addr, 4);
  w[4] = 0x34;
  w[5] = 0x12;
  ASSERT_TRUE(Ok(VWrite(d, 0x60, 1, w, 0, 4)));
  std::vector<std::uint8_t> ptr(512, 0);
  std::memcpy(ptr.data(), &addr, 4);
  ASSERT_TRUE(Ok(VWrite(d, 0x24, 1, ptr, 0, 0x00, 0x33)));
  std::vector<std::uint8_t> r = VRead(d, 0x61, 1, 0, 4);
  EXPECT_EQ(Le32(r, 4), 0x1234u);
  r = VRead(d, 0x61, 1, 0, 1);
  EXPECT_EQ(Le32(r, 4), 0x34u);
  // Registers and SRAM are volatile.
  d.PowerOff();
  d.PowerOn();
  EXPECT_EQ(d.Register(addr), 0u);
}

TEST_F(DriveVendor, FuseWordsNeedAccessControlAndEfuseCutsSetTheirBits) {
  Drive d(SmallConfig());
  Ready(d);
  auto readReg = [&](std::uint32_t a) {
    std::vector<std::uint8_t> ptr(512, 0);
    std::memcpy(ptr.data(), &a, 4);
    EXPECT_TRUE(Ok(VWrite(d, 0x24, 1, ptr, 0, 0x00, 0x33)));
    return Le32(VRead(d, 0x61, 1, 0, 4), 4);
  };
  auto writeReg = [&](std::uint32_t a, std::uint32_t v) {
    std::vector<std::uint8_t> w(512, 0);
    std::memcpy(w.data(), &a, 4);
    std::memcpy(w.data() + 4, &v, 4);
    EXPECT_TRUE(Ok(VWrite(d, 0x60, 1, w, 0, 4)));
  };
  EXPECT_EQ(readReg(0x04002440), 0u);
  writeReg(0x04002400, 3);
  EXPECT_EQ(readReg(0x04002440) & 0x3, 0u);
  ASSERT_TRUE(Ok(VWrite(d, 0x27, 1, Sector(0), 0, 0x01)));  // UART
  EXPECT_EQ(readReg(0x04002440) & 0x3, 0x2u);
  ASSERT_TRUE(Ok(VWrite(d, 0x27, 1, Sector(0), 1, 0x01)));  // JTAG
  EXPECT_EQ(readReg(0x04002440) & 0x3, 0x3u);
  writeReg(0x04002440, 0);  // fuses cannot be written back
  EXPECT_EQ(readReg(0x04002440) & 0x3, 0x3u);
  // eFuse survives a power cycle.
  d.PowerOff();
  d.PowerOn();
  Ready(d);
  writeReg(0x04002400, 3);
  EXPECT_EQ(readReg(0x04002440) & 0x3, 0x3u);
  EXPECT_EQ(readReg(0x0400303E), 1u);
}

TEST_F(DriveVendor, InfoPagesAndInfoCodePersist) {
  Drive d(SmallConfig());
  Ready(d);
  std::vector<std::uint8_t> page0 = VRead(d, 0x28, 1, 0);
  EXPECT_EQ(std::string(page0.begin(), page0.begin() + 6), "Tavlin");
  EXPECT_EQ(AtaText(page0.data() + 38, 40), d.Config().model);
  page0[511] |= 0x02;
  ASSERT_TRUE(Ok(VWrite(d, 0x25, 1, page0, 0)));
  std::vector<std::uint8_t> page3(2048);
  for (std::size_t i = 0; i < page3.size(); ++i) page3[i] = static_cast<std::uint8_t>(i * 3);
  ASSERT_TRUE(Ok(VWrite(d, 0x25, 4, page3, 3)));
  std::vector<std::uint8_t> code(512, 0);
  std::memcpy(code.data(), "Tavlin", 6);
  code[506] = 0x65;
  ASSERT_TRUE(Ok(VWrite(d, 0x29, 1, code, 1)));
  EXPECT_TRUE(Aborted(VWrite(d, 0x29, 1, code, 0)));  // write form carries LBA low 1
  EXPECT_TRUE(Aborted(VWrite(d, 0x25, 1, page0, 7)));
  d.PowerOff();
  d.PowerOn();
  Ready(d);
  EXPECT_EQ(VRead(d, 0x28, 1, 0), page0);
  const std::vector<std::uint8_t> back3 = VRead(d, 0x28, 2, 3);
  EXPECT_TRUE(std::equal(back3.begin(), back3.end(), page3.begin()));
  EXPECT_EQ(VRead(d, 0x29, 1), code);
  // Debug information selector 1 is the info block, selector 0 the SMART id table.
  EXPECT_EQ(VRead(d, 0x83, 1, 1), page0);
  const std::vector<std::uint8_t> ids = VRead(d, 0x83, 1, 0);
  EXPECT_NE(ids[0], 0);
  std::size_t entries = 0;
  while (entries < 56 && ids[entries * 9] != 0) ++entries;
  EXPECT_GT(entries, 0u);
  EXPECT_LE(entries, 56u);
}

TEST_F(DriveVendor, SystemInformationDescribesTheGeometry) {
  DriveConfig cfg = SmallConfig();
  cfg.channels = 2;
  cfg.cesPerChannel = 2;
  cfg.planesPerDie = 2;
  cfg.blocksPerPlane = 1000;
  cfg.capacitySectors = 1000215216;
  Drive d(cfg);
  Ready(d);
  const std::vector<std::uint8_t> s = VRead(d, 0x13, 1);
  EXPECT_EQ(s[0], 4);
  EXPECT_EQ(s[2], 2);
  EXPECT_EQ(s[6], 1);
  EXPECT_EQ(Le32(s, 0x1C), 2000u);
  EXPECT_EQ(Le32(s, 0xD0), 1000u);
  const std::uint32_t physMb = static_cast<std::uint32_t>((static_cast<std::uint64_t>(Le32(s, 0xD0)) * Le32(s, 0xD4)) >> 11);
  EXPECT_GE(physMb, 488386u * 4 / 5);
  EXPECT_LE(physMb, 488386u * 6 / 5 * 2);
  EXPECT_EQ(s[0xE4] & 0x02, 0x02);
  EXPECT_EQ(s[0x148], 0x03);
  EXPECT_EQ(s[0x149], 0x03);
  EXPECT_EQ(Le16(s, 0x100), 0);
  // A controller error injected by the test shows in the record.
  d.PatchSystemInfo(0x100, {0x01, 0x10});
  EXPECT_EQ(Le16(VRead(d, 0x13, 1), 0x100), 0x1001);
  // SetCEMap restricts the flash count.
  std::vector<std::uint8_t> map(512, 0);
  map[0] = 0x01;
  ASSERT_TRUE(Ok(VWrite(d, 0x06, 1, map, 0, 1)));
  EXPECT_EQ(VRead(d, 0x13, 1)[0], 1);
}

TEST_F(DriveVendor, FlashIdTableHasOneEntryPerPopulatedCe) {
  DriveConfig cfg = SmallConfig();
  cfg.channels = 2;
  cfg.cesPerChannel = 2;
  Drive d(cfg);
  Ready(d);
  const std::vector<std::uint8_t> t = VRead(d, 0x15, 1);
  for (int k = 0; k < 64; ++k) {
    const bool populated = (k >> 3) < 2 && (k & 7) < 2;
    bool any = false;
    for (int b = 0; b < 7; ++b) any = any || t[k * 8 + b] != 0;
    EXPECT_EQ(any, populated) << k;
  }
  const std::vector<std::uint8_t> one = VRead(d, 0x14, 1, 0, 0, 9);
  EXPECT_TRUE(std::equal(one.begin(), one.begin() + 7, cfg.flashId.begin()));
  EXPECT_EQ(VRead(d, 0x14, 1, 0, 0, 2)[0], 0);
}

TEST_F(DriveVendor, BbtParameterBodyAndRdtInfoRoundTripWithCrc) {
  DriveConfig cfg = SmallConfig();
  cfg.factoryBadBlocks = {{0, 0, 1, 5}, {8, 0, 0, 7}};
  Drive d(cfg);
  Ready(d);
  const std::vector<std::uint8_t> param = VRead(d, 0x7F, 1, 1);
  ASSERT_EQ(std::string(param.begin(), param.begin() + 4), "DBTP");
  const std::uint32_t rows = Le32(param, 36);
  const std::uint8_t cols = param[43];
  const std::uint8_t planes = param[45];
  const std::uint16_t sectors = Le16(param, 46);
  EXPECT_EQ(rows, 256u);
  EXPECT_EQ(cols, 8);
  EXPECT_EQ(sectors, (256u * 8 * 2 + 511) / 512);
  std::vector<std::uint8_t> body = VRead(d, 0x7F, static_cast<std::uint8_t>(sectors), 0);
  // CE 0 (selector 0) plane 1 block 5; CE 8 = channel 1 bank 0 (selector 1) plane 0 block 7.
  EXPECT_EQ(body[5 * cols * planes + 0 * planes + 1], 0x80);
  EXPECT_EQ(body[7 * cols * planes + 1 * planes + 0], 0x80);
  EXPECT_EQ(std::count(body.begin(), body.end(), 0x80), 2);
  const std::vector<std::uint8_t> rdt = VRead(d, 0x7F, 1, 2);
  ASSERT_EQ(std::string(rdt.begin(), rdt.begin() + 4), "KXRT");
  EXPECT_EQ(Le16(rdt, 21), Crc16(body.data(), 256u * 8 * 2));
  // Beyond the body the table reads as 0xFF.
  EXPECT_EQ(VRead(d, 0x7F, 1, 0, static_cast<std::uint8_t>(sectors))[0], 0xFF);
  // Write a new body and record; they read back unchanged.
  body[0] = 0x44;
  ASSERT_TRUE(Ok(VWrite(d, 0x81, static_cast<std::uint8_t>(sectors), body, 0)));
  std::vector<std::uint8_t> rec(512, 0);
  std::memcpy(rec.data(), "KXRT", 4);
  rec[27] = 0x03;
  ASSERT_TRUE(Ok(VWrite(d, 0x81, 1, rec, 1, 0x10)));
  EXPECT_EQ(VRead(d, 0x7F, static_cast<std::uint8_t>(sectors), 0), body);
  EXPECT_EQ(VRead(d, 0x7F, 1, 2), rec);
  // Writes far past the table are refused.
  EXPECT_TRUE(Aborted(VWrite(d, 0x81, 1, Sector(0), 0, 0xFF, 0xFF)));
  EXPECT_TRUE(Aborted(VWrite(d, 0x81, 1, Sector(0), 5)));
}

TEST_F(DriveVendor, DieFoldGeometryPutsUpperDiesIntoFurtherColumns) {
  DriveConfig cfg = SmallConfig();
  cfg.channels = 1;
  cfg.cesPerChannel = 2;
  cfg.diesPerCe = 2;
  cfg.diesPerGroup = 1;
  cfg.planesPerDie = 2;
  cfg.factoryBadBlocks = {{1, 1, 1, 3}};
  Drive d(cfg);
  Ready(d);
  const std::vector<std::uint8_t> p = VRead(d, 0x7F, 1, 1);
  EXPECT_EQ(p[40], 4);  // channel modulus
  EXPECT_EQ(p[41], 1);  // die fold
  EXPECT_EQ(p[42], 2);  // fold divisor
  EXPECT_EQ(p[43], 4);  // columns
  EXPECT_EQ(p[44], 1);  // dies per group
  const std::uint16_t sectors = Le16(p, 46);
  EXPECT_EQ(sectors, (256u * 4 * 1 * 2 + 511) / 512);
  const std::vector<std::uint8_t> body = VRead(d, 0x7F, static_cast<std::uint8_t>(sectors), 0);
  // CE 1 die 1: selector 1 + 1 x (4 / 2) = 3 -> column 3; row 3, plane 1.
  EXPECT_EQ(body[3 * 4 * 2 + 3 * 2 + 1], 0x80);
  EXPECT_EQ(std::count(body.begin(), body.end(), 0x80), 1);
}

TEST_F(DriveVendor, PerCeFlashIdAndMaxBadLimitFromTheConfig) {
  DriveConfig cfg = SmallConfig();
  cfg.flashIdPerCe[1] = {0x89, 0xCC, 0xF9, 0x32, 0xAA, 0x01, 0x00};
  cfg.maxBadPerPlane = 33;
  Drive d(cfg);
  Ready(d);
  const std::vector<std::uint8_t> t = VRead(d, 0x15, 1);
  EXPECT_EQ(t[8], 0x89);
  EXPECT_EQ(t[0], 0x2C);
  EXPECT_EQ(Le32(VRead(d, 0xA8, 1), 0), 33u);
}

TEST_F(DriveVendor, ThirdBbtRoundTripPerSelector) {
  Drive d(SmallConfig());
  Ready(d);
  std::vector<std::uint8_t> chunk(8 * 512);
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<std::uint8_t>(i / 512 + 1);
  ASSERT_TRUE(Ok(VWrite(d, 0x48, 2, std::vector<std::uint8_t>(chunk.begin(), chunk.begin() + 1024), 3, 0)));
  EXPECT_EQ(VRead(d, 0x47, 2, 3, 0), std::vector<std::uint8_t>(chunk.begin(), chunk.begin() + 1024));
  EXPECT_EQ(VRead(d, 0x47, 1, 4, 0), Sector(0));
  EXPECT_TRUE(Aborted(VWrite(d, 0x48, 8, chunk, 3, 0xFF, 0xFF)));
}

TEST_F(DriveVendor, PreFormatResultRdtLogsAndBadBlockLists) {
  DriveConfig cfg = SmallConfig(RunningCode::RomRdt);
  cfg.factoryBadBlocks = {{1, 0, 0, 3}, {1, 0, 1, 9}, {8, 0, 0, 2}};
  cfg.preFormatMs = 500;
  Drive d(cfg);
  Ready(d);
  ASSERT_TRUE(Ok(VWrite(d, 0x08, 2, std::vector<std::uint8_t>(1024, 0), 1, 0x10, 0x01)));
  EXPECT_EQ(d.CardState(), 0x80);
  Advance(600);
  EXPECT_EQ(d.CardState(), 0x50);
  const std::vector<std::uint8_t> pf = VRead(d, 0x07, 1, 0, 1);
  EXPECT_EQ(pf[0], 0);
  const std::vector<std::uint8_t> log = VRead(d, 0x50, 1);
  EXPECT_EQ(log[0], 1);
  EXPECT_EQ(Le32(log, 4), 3u);
  const std::vector<std::uint8_t> counts = VRead(d, 0x7A, 1);
  EXPECT_EQ(Le16(counts, 2), 2);
  EXPECT_EQ(Le16(counts, 16), 1);
  EXPECT_EQ(Le16(VRead(d, 0x78, 1), 2), 0);
  EXPECT_EQ(VRead(d, 0x51, 1)[2], cfg.temperatureC);
}

TEST_F(DriveVendor, WindowScanCacheWriteAndPadSettings) {
  DriveConfig cfg = SmallConfig();
  cfg.channels = 1;
  Drive d(cfg);
  Ready(d);
  std::vector<std::uint8_t> pad(1024, 0);
  pad[18] = 0xFF;
  pad[19] = 0x03;
  // COUNT 2 carries 1024 bytes.
  ASSERT_TRUE(Ok(VWrite(d, 0xAA, 2, pad)));
  const std::vector<std::uint8_t> data(32 * 512, 0x6D);
  ASSERT_TRUE(Ok(VWrite(d, 0x21, 32, data, 0, 0, 1)));  // die 0, channel 0, bank 1
  EXPECT_EQ(VRead(d, 0x11, 32, 0, 0, 1), data);
  EXPECT_TRUE(Aborted(VWrite(d, 0x21, 32, data, 0, 1, 1)));  // no channel 1
  // The scan result lands in SRAM 0: a window around 0x100 on channel 0,
  // edges not found on the missing channel.
  ASSERT_TRUE(Ok(VWrite(d, 0xAB, 32, data, 0, 0xFF, 0)));
  const std::vector<std::uint8_t> r = VRead(d, 0x12, 1);
  EXPECT_LT(Le16(r, 0), 0x100);
  EXPECT_GT(Le16(r, 2), 0x100);
  EXPECT_GE(Le16(r, 2) - Le16(r, 0), 50);
  EXPECT_EQ(Le16(r, 8), 0xAAAA);
}

TEST_F(DriveVendor, ScanFaultsByDuty) {
  DriveConfig cfg = SmallConfig();
  cfg.scanFaults[1] = ScanFault::NoEdge;
  cfg.scanFaults[2] = ScanFault::Inverted;
  cfg.scanFaults[3] = ScanFault::CommandFails;
  cfg.scanFaults[4] = ScanFault::OutOfRange;
  Drive d(cfg);
  Ready(d);
  auto scanAt = [&](std::uint32_t duty) {
    std::vector<std::uint8_t> w(512, 0);
    const std::uint32_t addr = 0x04002180;
    const std::uint32_t v = duty << 8;
    std::memcpy(w.data(), &addr, 4);
    std::memcpy(w.data() + 4, &v, 4);
    EXPECT_TRUE(Ok(VWrite(d, 0x60, 1, w, 0, 4)));
    const AtaResponse r = VWrite(d, 0xAB, 1, Sector(0), 0, 0xFF, 0);
    return std::make_pair(r, VRead(d, 0x12, 1));
  };
  auto [ok0, r0] = scanAt(0);
  EXPECT_TRUE(Ok(ok0));
  EXPECT_LT(Le16(r0, 0), Le16(r0, 2));
  EXPECT_EQ(Le16(scanAt(1).second, 0), 0xAAAA);
  auto r2 = scanAt(2).second;
  EXPECT_GT(Le16(r2, 0), Le16(r2, 2));
  EXPECT_TRUE(Aborted(scanAt(3).first));
  EXPECT_GT(Le16(scanAt(4).second, 2), 0x200);
}

TEST_F(DriveVendor, MissingCeAndFactoryFuses) {
  DriveConfig cfg = SmallConfig();
  cfg.channels = 1;
  cfg.cesPerChannel = 4;
  cfg.missingCes = {2};
  cfg.fuseWord3 = 0x00020000;  // chip id 2
  Drive d(cfg);
  Ready(d);
  const std::vector<std::uint8_t> s = VRead(d, 0x13, 1);
  EXPECT_EQ(s[0], 3);
  EXPECT_EQ(s[0x148], 0x0B);
  EXPECT_EQ(VRead(d, 0x15, 1)[2 * 8], 0);
  EXPECT_EQ(VRead(d, 0x7F, 1, 1)[4 + 2], '?');
  std::vector<std::uint8_t> w(512, 0);
  const std::uint32_t access = 0x04002400;
  std::memcpy(w.data(), &access, 4);
  w[4] = 3;
  ASSERT_TRUE(Ok(VWrite(d, 0x60, 1, w, 0, 4)));
  EXPECT_EQ(d.Register(0x040024BC), 0x00020000u);
}

TEST_F(DriveVendor, OutCommandsSentWithoutDataTakeZeros) {
  Drive d(SmallConfig());
  Ready(d);
  // Thermal sensor detect: PIO out with COUNT 1 but no data.
  AtaRequest r = Reg(0x31, 0x52, 1, 0, 0x20, 0, 0xA1);
  r.protocol = AtaProtocol::PioOut;
  const AtaResponse rsp = d.Execute(r);
  EXPECT_TRUE(Ok(rsp));
  EXPECT_EQ(rsp.transferred, 0u);
  // An info-block write with half a sector stores the half and zeros.
  std::vector<std::uint8_t> half(256, 0x31);
  ASSERT_TRUE(Ok(VWrite(d, 0x25, 1, half, 2)));
  const std::vector<std::uint8_t> page = VRead(d, 0x28, 1, 2);
  EXPECT_EQ(page[255], 0x31);
  EXPECT_EQ(page[256], 0x00);
}

}  // namespace
}  // namespace emu::test
