// Controller vendor commands beyond the round trips tests/command pins
// (EmulatorMembersTest.VendorMembersOnFlashFirmware): the key gate, refused
// ranges, eFuse rules, what persists, and the layouts of the stores the host
// parses (info pages, system information, flash IDs, bad-block tables, RDT logs,
// timing scan).
#include <algorithm>

#include "tests/emulator/DriveTestUtil.h"

namespace emu::test {
namespace {

class DriveVendor : public DriveTest {};

// CRC-16/GENIBUS, as the host checks the bad-block table.
std::uint16_t Crc16(const std::uint8_t* p, std::size_t n) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= static_cast<std::uint16_t>(p[i] << 8);
    for (int b = 0; b < 8; ++b) crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return static_cast<std::uint16_t>(~crc);
}

TEST_F(DriveVendor, VendorCommandsWaitForTheAccessKey) {
  EXPECT_EQ(Crc16(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0xD64E);  // published check value
  Drive d(SmallConfig());
  AtaResponse r;
  VRead(d, 0x13, 1, 0, 0, 0, &r);
  EXPECT_TRUE(Aborted(r));
  AtaRequest k = KeyRequest();
  k.lbaMid ^= 1;  // a near miss of the signature is not a key
  EXPECT_TRUE(Aborted(NonData(d, k)));
  for (const auto& sig : {kx::kApKeySignature, kx::kVendorModeSignature}) {
    SCOPED_TRACE(sig == kx::kApKeySignature ? "access key" : "vendor-mode entry");
    const AtaResponse key = NonData(d, KeyRequest(sig));
    EXPECT_EQ(key.count, 0x01);
    EXPECT_EQ(key.lbaLow, 0x01);
    EXPECT_EQ(key.status, 0x50);
    EXPECT_EQ(key.error, 0);
  }
  VRead(d, 0x13, 1, 0, 0, 0, &r);
  EXPECT_TRUE(Ok(r));
  EXPECT_TRUE(Aborted(VWrite(d, 0xEE, 1, Sector(0))));  // unknown sub-command
}

TEST_F(DriveVendor, SramRegistersAndFuses) {
  Drive d(SmallConfig());
  Ready(d);
  EXPECT_TRUE(Aborted(VWrite(d, 0x24, 2, Pattern(1024, 0x5A), 0, 0x00, 0xFF)));  // out of SRAM: refused, not clipped
  ASSERT_TRUE(WriteReg(d, 0x04002180, 0x1234));
  EXPECT_EQ(ReadReg(d, 0x04002180, 1), 0x34u);  // one byte wide
  EXPECT_EQ(Le32(VRead(d, 0x61, 1), 0), 0x04002180u);  // the reply repeats the address first
  // Fuse words read 0 until access control is 3; cuts set their bits; fuses are not writable.
  EXPECT_EQ(ReadReg(d, 0x04002440), 0u);
  ASSERT_TRUE(WriteReg(d, 0x04002400, 3));
  EXPECT_EQ(ReadReg(d, 0x04002440) & 0x3, 0u);
  ASSERT_TRUE(Ok(VWrite(d, 0x27, 1, Sector(0), 0, 0x01)));  // UART
  EXPECT_EQ(ReadReg(d, 0x04002440) & 0x3, 0x2u);
  ASSERT_TRUE(Ok(VWrite(d, 0x27, 1, Sector(0), 1, 0x01)));  // JTAG
  ASSERT_TRUE(WriteReg(d, 0x04002440, 0));
  EXPECT_EQ(ReadReg(d, 0x04002440) & 0x3, 0x3u);
  // Registers are volatile; fuses are not.
  PowerCycle(d);
  EXPECT_EQ(d.Register(0x04002180), 0u);
  ASSERT_TRUE(WriteReg(d, 0x04002400, 3));
  EXPECT_EQ(ReadReg(d, 0x04002440) & 0x3, 0x3u);
  EXPECT_EQ(ReadReg(d, 0x0400303E), 1u);
}

TEST_F(DriveVendor, InfoPagesInfoCodeAndDebugInfoPersist) {
  Drive d(SmallConfig());
  Ready(d);
  Bytes page0 = VRead(d, 0x28, 1, 0);
  EXPECT_EQ(AtaText(page0.data() + 38, 40), "KX00 SATA SSD 512GB");  // the default model
  page0[511] |= 0x02;
  ASSERT_TRUE(Ok(VWrite(d, 0x25, 1, page0, 0)));
  Bytes code(512, 0);
  code[506] = 0x65;
  ASSERT_TRUE(Ok(VWrite(d, 0x29, 1, code, 1)));
  EXPECT_TRUE(Aborted(VWrite(d, 0x29, 1, code, 0)));  // the write form carries LBA low 1
  EXPECT_TRUE(Aborted(VWrite(d, 0x25, 1, page0, 7)));
  // Half a sector of out-data: the half and zeros.
  ASSERT_TRUE(Ok(VWrite(d, 0x25, 1, Bytes(256, 0x31), 2)));
  PowerCycle(d);
  EXPECT_EQ(VRead(d, 0x28, 1, 0), page0);
  const Bytes page2 = VRead(d, 0x28, 1, 2);
  EXPECT_EQ(page2[255], 0x31);
  EXPECT_EQ(page2[256], 0x00);
  EXPECT_EQ(VRead(d, 0x29, 1), code);
  const Bytes ids = VRead(d, 0x83, 1, 0);  // debug information, selector 0: the SMART id table
  std::size_t entries = 0;
  while (entries < 56 && ids[entries * 9] != 0) ++entries;
  EXPECT_GT(entries, 0u);
  EXPECT_LT(entries, 56u);
}

TEST_F(DriveVendor, SystemInformationAndFlashIdsDescribeTheGeometry) {
  DriveConfig cfg = SmallConfig();
  cfg.cesPerChannel = 4;
  cfg.blocksPerPlane = 1000;
  cfg.capacitySectors = 1000215216;
  cfg.missingCes = {2};
  cfg.flashIdPerCe[1] = {0x89, 0xCC, 0xF9, 0x32, 0xAA, 0x01, 0x00};
  cfg.maxBadPerPlane = 33;
  Drive d(cfg);
  Ready(d);
  const Bytes s = VRead(d, 0x13, 1);
  ExpectBytes(s, {{"CEs", 0x00, 7}, {"channels", 0x02, 2}, {"dies per CE", 0x06, 1}, {"bank map 0", 0x148, 0x0B},
                  {"bank map 1", 0x149, 0x0F}});
  EXPECT_EQ(Le32(s, 0x1C), 2000u);
  EXPECT_EQ(Le32(s, 0xD0), 1000u);
  const std::uint64_t physMb = (static_cast<std::uint64_t>(Le32(s, 0xD0)) * Le32(s, 0xD4)) >> 11;
  EXPECT_GE(physMb, 488386u * 4 / 5);
  EXPECT_LE(physMb, 488386u * 6 / 5 * 2);
  EXPECT_EQ(s[0xE4] & 0x02, 0x02);
  EXPECT_EQ(Le16(s, 0x100), 0);
  d.PatchSystemInfo(0x100, {0x01, 0x10});  // an injected controller error
  EXPECT_EQ(Le16(VRead(d, 0x13, 1), 0x100), 0x1001);

  const Bytes t = VRead(d, 0x15, 1);
  for (int k = 0; k < 64; ++k) {
    const bool populated = (k >> 3) < 2 && (k & 7) < 4 && k != 2;
    EXPECT_EQ(std::any_of(t.begin() + k * 8, t.begin() + k * 8 + 7, [](std::uint8_t b) { return b != 0; }), populated)
        << k;
  }
  EXPECT_EQ(t[0], 0x2C);  // the configured ID
  EXPECT_EQ(t[8], 0x89);  // CE 1's own
  EXPECT_EQ(VRead(d, 0x14, 1, 0, 0, 2)[0], 0);
  EXPECT_EQ(VRead(d, 0x7F, 1, 1)[4 + 2], '?');  // the parameter record marks the missing CE
  EXPECT_EQ(Le32(VRead(d, 0xA8, 1), 0), 33u);
}

TEST_F(DriveVendor, BbtParameterBodyAndRdtInfoRoundTripWithCrc) {
  DriveConfig cfg = SmallConfig();
  cfg.factoryBadBlocks = {{0, 0, 1, 5}, {8, 0, 0, 7}};
  Drive d(cfg);
  Ready(d);
  const Bytes param = VRead(d, 0x7F, 1, 1);
  ASSERT_EQ(Text(param, 0, 4), "DBTP");
  const std::uint8_t cols = param[43], planes = param[45];
  const std::uint16_t sectors = Le16(param, 46);
  EXPECT_EQ(Le32(param, 36), 256u);  // blocks per plane
  EXPECT_EQ(cols, 8);
  EXPECT_EQ(planes, 2);
  EXPECT_EQ(sectors, 8);
  const auto n = static_cast<std::uint8_t>(sectors);
  Bytes body = VRead(d, 0x7F, n, 0);
  // CE 0 (selector 0) plane 1 block 5; CE 8 = channel 1 bank 0 (selector 1) plane 0 block 7.
  EXPECT_EQ(body[5 * cols * planes + 0 * planes + 1], 0x80);
  EXPECT_EQ(body[7 * cols * planes + 1 * planes + 0], 0x80);
  EXPECT_EQ(std::count(body.begin(), body.end(), 0x80), 2);
  const Bytes rdt = VRead(d, 0x7F, 1, 2);
  ASSERT_EQ(Text(rdt, 0, 4), "KXRT");
  EXPECT_EQ(Le16(rdt, 21), Crc16(body.data(), 256u * 8 * 2));
  EXPECT_EQ(Text(rdt, 50, 4), "R12A");  // 4-character version; its third character is the plane digit
  EXPECT_EQ(Text(VRead(d, 0x28, 1, 0), 451, 4), "R12A");  // and the info block's copy of the record
  EXPECT_EQ(VRead(d, 0x7F, 1, 0, n)[0], 0xFF);  // beyond the body
  body[0] = 0x44;
  ASSERT_TRUE(Ok(VWrite(d, 0x81, n, body, 0)));
  Bytes rec(512, 0);
  rec[27] = 0x03;
  ASSERT_TRUE(Ok(VWrite(d, 0x81, 1, rec, 1, 0x10)));
  EXPECT_EQ(VRead(d, 0x7F, n, 0), body);
  EXPECT_EQ(VRead(d, 0x7F, 1, 2), rec);
  EXPECT_TRUE(Aborted(VWrite(d, 0x81, 1, Sector(0), 0, 0xFF, 0xFF)));  // far past the table
  EXPECT_TRUE(Aborted(VWrite(d, 0x81, 1, Sector(0), 5)));
  // The 3rd bad-block table: a selector without one refuses its read, writes stay inside.
  AtaResponse r;
  VRead(d, 0x47, 1, 4, 0, 0, &r);
  EXPECT_TRUE(Aborted(r));
  EXPECT_TRUE(Aborted(VWrite(d, 0x48, 8, Pattern(4096, 1), 3, 0xFF, 0xFF)));
  ASSERT_TRUE(Ok(VWrite(d, 0x48, 1, Pattern(512, 2), 4)));
  EXPECT_EQ(VRead(d, 0x47, 1, 4, 0), Pattern(512, 2));
}

TEST_F(DriveVendor, DieFoldGeometryPutsUpperDiesIntoFurtherColumns) {
  DriveConfig cfg = SmallConfig();
  cfg.channels = 1;
  cfg.cesPerChannel = 2;
  cfg.diesPerCe = 2;
  cfg.diesPerGroup = 1;
  cfg.factoryBadBlocks = {{1, 1, 1, 3}};
  Drive d(cfg);
  Ready(d);
  const Bytes p = VRead(d, 0x7F, 1, 1);
  // Channel modulus, die fold, fold divisor, columns, dies per group.
  EXPECT_EQ(Bytes(p.begin() + 40, p.begin() + 45), (Bytes{4, 1, 2, 4, 1}));
  const std::uint16_t sectors = Le16(p, 46);
  EXPECT_EQ(sectors, (256u * 4 * 1 * 2 + 511) / 512);
  const Bytes body = VRead(d, 0x7F, static_cast<std::uint8_t>(sectors), 0);
  // CE 1 die 1: selector 1 + 1 x (4 / 2) = 3 -> column 3; row 3, plane 1.
  EXPECT_EQ(body[3 * 4 * 2 + 3 * 2 + 1], 0x80);
  EXPECT_EQ(std::count(body.begin(), body.end(), 0x80), 1);
}

TEST_F(DriveVendor, GeometryBeyondTheControllerIsClampedToItsLargestShape) {
  // 16 CEs x 16 folded dies would need 256 table columns: more than one byte holds.
  DriveConfig cfg = SmallConfig();
  cfg.channels = 2;
  cfg.cesPerChannel = 8;
  cfg.diesPerCe = 16;
  cfg.diesPerGroup = 1;
  cfg.planesPerDie = 4;
  cfg.blocksPerPlane = 65536;
  cfg.factoryBadBlocks = {{9, 0, 1, 3}};
  Drive d(cfg);
  EXPECT_EQ(d.Config().channels * d.Config().cesPerChannel * d.Config().diesPerCe, 128u);
  EXPECT_EQ(d.Config().blocksPerPlane * d.Config().planesPerDie, 32768u);
  Ready(d);
  const Bytes p = VRead(d, 0x7F, 1, 1);
  EXPECT_EQ(Bytes(p.begin() + 43, p.begin() + 46), (Bytes{128, 1, 4}));  // columns, dies per group, planes
  EXPECT_NE(Le16(p, 46), 0);

  DriveConfig odd = SmallConfig();
  odd.channels = 0;
  odd.cesPerChannel = 0;
  odd.diesPerCe = 0;
  odd.planesPerDie = 3;
  odd.blocksPerPlane = 0;
  odd.pageSizeKb = 12;
  const Drive oddDrive(odd);
  const DriveConfig& e = oddDrive.Config();
  EXPECT_EQ(e.channels, 1u);
  EXPECT_EQ(e.cesPerChannel, 1u);
  EXPECT_EQ(e.diesPerCe, 1u);
  EXPECT_EQ(e.planesPerDie, 2u);
  EXPECT_EQ(e.blocksPerPlane, 1u);
  EXPECT_EQ(e.pageSizeKb, 8u);
}

TEST_F(DriveVendor, PreFormatResultRdtLogsAndBadBlockLists) {
  DriveConfig cfg = SmallConfig(RunningCode::RomRdt);
  cfg.factoryBadBlocks = {{1, 0, 0, 3}, {1, 0, 1, 9}, {8, 0, 0, 2}};
  cfg.preFormatMs = 500;
  Drive d(cfg);
  Ready(d);
  ASSERT_TRUE(Ok(VWrite(d, 0x08, 2, Bytes(1024, 0), 1, 0x10, 0x01)));
  EXPECT_EQ(d.CardState(), 0x80);
  Advance(600);
  EXPECT_EQ(d.CardState(), 0x50);
  EXPECT_EQ(VRead(d, 0x07, 1, 0, 1)[0], 0);
  const Bytes log = VRead(d, 0x50, 1), early = VRead(d, 0x7A, 1);
  EXPECT_EQ(log[0], 1);              // RDT bad-block log: first entry's CE
  EXPECT_EQ(Le32(log, 4), 3u);       // and block
  EXPECT_EQ(Le16(early, 2), 2);      // early bad blocks of CE 1
  EXPECT_EQ(Le16(early, 16), 1);     // and of CE 8
  EXPECT_EQ(VRead(d, 0x51, 1)[2], 40);  // the temperature log
}

TEST_F(DriveVendor, WindowScanCacheWritePadSettingsAndScanFaults) {
  DriveConfig cfg = SmallConfig();
  cfg.channels = 1;
  cfg.scanFaults = {{1, ScanFault::NoEdge}, {2, ScanFault::Inverted}, {3, ScanFault::CommandFails},
                    {4, ScanFault::OutOfRange}};
  Drive d(cfg);
  Ready(d);
  ASSERT_TRUE(Ok(VWrite(d, 0xAA, 2, Bytes(1024, 0))));  // COUNT 2 carries 1024 bytes
  EXPECT_TRUE(Aborted(VWrite(d, 0x21, 32, Bytes(32 * 512, 0x6D), 0, 1, 1)));  // a cache write to no channel 1
  auto scanAt = [&](std::uint32_t duty) {
    EXPECT_TRUE(WriteReg(d, 0x04002180, duty << 8));
    const AtaResponse r = VWrite(d, 0xAB, 1, Sector(0), 0, 0xFF, 0);
    return std::make_pair(r, VRead(d, 0x12, 1));
  };
  // A window around 0x100 on channel 0, edges not found on the missing channel.
  const auto [ok0, r0] = scanAt(0);
  EXPECT_TRUE(Ok(ok0));
  EXPECT_LT(Le16(r0, 0), 0x100);
  EXPECT_GT(Le16(r0, 2), 0x100);
  EXPECT_GE(Le16(r0, 2) - Le16(r0, 0), 50);
  EXPECT_EQ(Le16(r0, 8), 0xAAAA);
  EXPECT_EQ(Le16(scanAt(1).second, 0), 0xAAAA);
  const Bytes r2 = scanAt(2).second;
  EXPECT_GT(Le16(r2, 0), Le16(r2, 2));
  EXPECT_TRUE(Aborted(scanAt(3).first));
  EXPECT_GT(Le16(scanAt(4).second, 2), 0x200);
}

TEST_F(DriveVendor, OutCommandsSentWithoutDataTakeZeros) {
  DriveConfig cfg = SmallConfig();
  cfg.fuseWord3 = 0x00020000;  // chip id 2
  Drive d(cfg);
  Ready(d);
  // Thermal sensor detect: PIO out with COUNT 1 but no data.
  const AtaResponse rsp = Run(d, Reg(0x31, 0x52, 1, 0, 0x20, 0, 0xA1), AtaProtocol::PioOut, nullptr, 0);
  EXPECT_TRUE(Ok(rsp));
  EXPECT_EQ(rsp.transferred, 0u);
  ASSERT_TRUE(WriteReg(d, 0x04002400, 3));
  EXPECT_EQ(d.Register(0x040024BC), 0x00020000u);
}

}  // namespace
}  // namespace emu::test
