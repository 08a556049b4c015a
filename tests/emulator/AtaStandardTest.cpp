// The emulated drive held to the ATA command set: one standard sequence, each
// row a command and the answer the standard gives for it (status, error, the
// registers that carry a result, IDENTIFY words). The drive is stricter than the
// standard in one place on purpose: an LBA-addressed command without the LBA bit
// is aborted (one row here; DriveCommandTableTest holds every such command to it).
#include <string>
#include <utility>
#include <vector>

#include "tests/emulator/DriveTestUtil.h"

namespace emu::test {
namespace {

enum class RegOut { Count, LbaLow, LbaMid, LbaHigh, Device, LbaLowExp, LbaMidExp, LbaHighExp };

struct Row {
  const char* what;
  AtaRequest req;
  std::uint8_t status;
  std::uint8_t error;
  std::vector<std::pair<RegOut, std::uint8_t>> regs = {};
  std::vector<std::pair<int, std::uint16_t>> words = {};  // IDENTIFY rows
  TransportError transport = TransportError::None;
};

AtaRequest Regs(std::uint8_t command, AtaProtocol p, std::uint8_t features, std::uint8_t count, std::uint8_t low,
                std::uint8_t mid, std::uint8_t high, std::uint8_t device) {
  AtaRequest r = Reg(command, features, count, low, mid, high, device);
  r.protocol = p;
  return r;
}
AtaRequest NoData(std::uint8_t command, std::uint8_t features = 0, std::uint8_t count = 0) {
  return Regs(command, AtaProtocol::NonData, features, count, 0, 0, 0, 0xA0);
}
AtaRequest Smart(std::uint8_t features, AtaProtocol p = AtaProtocol::NonData, std::uint8_t count = 0,
                 std::uint8_t low = 0) {
  return Regs(0xB0, p, features, count, low, 0x4F, 0xC2, 0xA0);
}
// 28-bit LBA command: bits 27:24 of the address travel in the device register.
AtaRequest Lba28(std::uint8_t command, AtaProtocol p, std::uint8_t count, std::uint32_t lba, std::uint8_t device) {
  return Regs(command, p, 0, count, static_cast<std::uint8_t>(lba), static_cast<std::uint8_t>(lba >> 8),
              static_cast<std::uint8_t>(lba >> 16), static_cast<std::uint8_t>(device | ((lba >> 24) & 0x0F)));
}
AtaRequest Lba48(std::uint8_t command, AtaProtocol p, std::uint8_t count, std::uint64_t lba, std::uint8_t device) {
  AtaRequest r = Regs(command, p, 0, count, static_cast<std::uint8_t>(lba), static_cast<std::uint8_t>(lba >> 8),
                      static_cast<std::uint8_t>(lba >> 16), device);
  r.is48 = true;
  r.lbaLowExp = static_cast<std::uint8_t>(lba >> 24);
  r.lbaMidExp = static_cast<std::uint8_t>(lba >> 32);
  r.lbaHighExp = static_cast<std::uint8_t>(lba >> 40);
  return r;
}
AtaRequest Identify() { return Regs(0xEC, AtaProtocol::PioIn, 0, 1, 0, 0, 0, 0xA0); }

std::uint8_t Read(const AtaResponse& r, RegOut o) {
  switch (o) {
    case RegOut::Count: return r.count;
    case RegOut::LbaLow: return r.lbaLow;
    case RegOut::LbaMid: return r.lbaMid;
    case RegOut::LbaHigh: return r.lbaHigh;
    case RegOut::Device: return r.device;
    case RegOut::LbaLowExp: return r.lbaLowExp;
    case RegOut::LbaMidExp: return r.lbaMidExp;
    case RegOut::LbaHighExp: return r.lbaHighExp;
  }
  return 0;
}
const char* Name(RegOut o) {
  const char* names[] = {"count", "LBA low", "LBA mid", "LBA high", "device", "LBA low (exp)", "LBA mid (exp)",
                         "LBA high (exp)"};
  return names[static_cast<int>(o)];
}

class AtaStandard : public DriveTest {};

constexpr auto kIn = AtaProtocol::PioIn;
constexpr auto kOut = AtaProtocol::PioOut;
constexpr auto kDmaIn = AtaProtocol::DmaIn;
constexpr auto kDmaOut = AtaProtocol::DmaOut;
constexpr auto kNone = AtaProtocol::NonData;
constexpr std::uint8_t kOk = 0x50, kErr = 0x51, kAbrt = 0x04;

TEST_F(AtaStandard, StandardSequenceGetsTheStandardsAnswers) {
  Drive d(SmallConfig());  // 100000h sectors: last LBA 0FFFFFh
  using O = RegOut;
  const Row rows[] = {
      {"EXECUTE DEVICE DIAGNOSTIC", NoData(0x90), kOk, 0x01,
       {{O::Count, 0x01}, {O::LbaLow, 0x01}, {O::LbaMid, 0x00}, {O::LbaHigh, 0x00}, {O::Device, 0x00}}},
      {"IDENTIFY DEVICE", Identify(), kOk, 0x00, {},
       {{0, 0x0040},   {47, 0x8010},  {49, 0x0F00},  {53, 0x0006},  {59, 0x0110},  {60, 0x0000},
        {61, 0x0010},  {63, 0x0007},  {64, 0x0003},  {75, 0x0000},  {76, 0x000E},  {78, 0x0100},
        {79, 0x0000},  {82, 0x746B},  {83, 0x7C01},  {84, 0x4100},  {85, 0x7469},  {86, 0xBC01},
        {87, 0x4100},  {88, 0x407F},  {100, 0x0000}, {101, 0x0010}, {102, 0x0000}, {103, 0x0000},
        {119, 0x4010}, {120, 0x4010}}},
      {"SET FEATURES disable write cache", NoData(0xEF, 0x82), kOk, 0x00},
      {"SET FEATURES disable read look-ahead", NoData(0xEF, 0x55), kOk, 0x00},
      {"SMART DISABLE OPERATIONS", Smart(0xD9), kOk, 0x00},
      {"IDENTIFY DEVICE: write cache, look-ahead and SMART off", Identify(), kOk, 0x00, {}, {{85, 0x7408}}},
      {"SMART RETURN STATUS while SMART is off", Smart(0xDA), kErr, kAbrt},
      {"SMART ENABLE OPERATIONS", Smart(0xD8), kOk, 0x00},
      {"SMART RETURN STATUS", Smart(0xDA), kOk, 0x00, {{O::LbaMid, 0x4F}, {O::LbaHigh, 0xC2}}},
      {"SET FEATURES enable write cache", NoData(0xEF, 0x02), kOk, 0x00},
      {"SET FEATURES enable read look-ahead", NoData(0xEF, 0xAA), kOk, 0x00},
      {"SMART READ LOG: no error logging offered", Smart(0xD5, kIn, 1, 0x01), kErr, kAbrt},
      {"SMART EXECUTE OFF-LINE IMMEDIATE: no self-test offered", Smart(0xD4, kNone, 0, 0x01), kErr, kAbrt},
      {"READ LOG EXT: no general-purpose logging offered", Lba48(0x2F, kIn, 1, 0x10, 0x40), kErr, kAbrt},
      {"WRITE DMA FUA EXT: not offered", Lba48(0x3D, kDmaOut, 1, 0, 0x40), kErr, kAbrt},
      {"SET FEATURES enable APM: not offered", NoData(0xEF, 0x05, 0x80), kErr, kAbrt},
      {"SET FEATURES enable SATA DIPM: not offered", NoData(0xEF, 0x10, 0x03), kErr, kAbrt},
      {"SET FEATURES Ultra DMA mode 5", NoData(0xEF, 0x03, 0x45), kOk, 0x00},
      {"SET FEATURES Ultra DMA mode 7: none", NoData(0xEF, 0x03, 0x47), kErr, kAbrt},
      {"SET MULTIPLE MODE 3: not a power of two", NoData(0xC6, 0, 3), kErr, kAbrt},
      {"READ MULTIPLE while multiple mode is off", Lba28(0xC4, kIn, 1, 0x10, 0xE0), kErr, kAbrt},
      {"SET MULTIPLE MODE 8", NoData(0xC6, 0, 8), kOk, 0x00},
      {"IDENTIFY DEVICE: 8 sectors per block, Ultra DMA 5, caches on", Identify(), kOk, 0x00, {},
       {{59, 0x0108}, {63, 0x0007}, {85, 0x7469}, {88, 0x207F}}},
      {"WRITE MULTIPLE", Lba28(0xC5, kOut, 2, 0x10, 0xE0), kOk, 0x00},
      {"READ MULTIPLE EXT", Lba48(0x29, kIn, 2, 0x10, 0x40), kOk, 0x00},
      {"READ SECTORS without the LBA bit", Lba28(0x20, kIn, 1, 0x20, 0xA0), kErr, kAbrt},
      {"READ SECTORS", Lba28(0x20, kIn, 1, 0x20, 0xE0), kOk, 0x00},
      {"READ DMA EXT", Lba48(0x25, kDmaIn, 1, 0x20, 0x40), kOk, 0x00},
      {"READ VERIFY SECTORS EXT", Lba48(0x42, kNone, 1, 0x20, 0x40), kOk, 0x00},
      {"READ SECTORS past the last LBA", Lba28(0x20, kIn, 2, 0x0FFFFF, 0xE0), kErr, 0x14},
      {"SET MAX ADDRESS not after READ NATIVE MAX ADDRESS", Lba28(0xF9, kNone, 0, 0x07FFFF, 0xE0), kErr, kAbrt},
      {"READ NATIVE MAX ADDRESS", Lba28(0xF8, kNone, 0, 0, 0xE0), kOk, 0x00,
       {{O::LbaLow, 0xFF}, {O::LbaMid, 0xFF}, {O::LbaHigh, 0x0F}, {O::Device, 0xE0}}},
      {"SET MAX ADDRESS, volatile", Lba28(0xF9, kNone, 0, 0x07FFFF, 0xE0), kOk, 0x00,
       {{O::LbaLow, 0xFF}, {O::LbaMid, 0xFF}, {O::LbaHigh, 0x07}}},
      {"READ NATIVE MAX ADDRESS EXT", Lba48(0x27, kNone, 0, 0, 0x40), kOk, 0x00,
       {{O::LbaLow, 0xFF}, {O::LbaMid, 0xFF}, {O::LbaHigh, 0x0F}, {O::LbaLowExp, 0x00}, {O::LbaMidExp, 0x00},
        {O::LbaHighExp, 0x00}}},
      {"CHECK POWER MODE", NoData(0xE5), kOk, 0x00, {{O::Count, 0xFF}}},
      {"SET MAX ADDRESS EXT not straight after READ NATIVE MAX ADDRESS EXT", Lba48(0x37, kNone, 0, 0x0BFFFF, 0x40),
       kErr, kAbrt},
      {"READ NATIVE MAX ADDRESS (28-bit) before SET MAX ADDRESS EXT", Lba28(0xF8, kNone, 0, 0, 0xE0), kOk, 0x00},
      {"SET MAX ADDRESS EXT after the 28-bit read", Lba48(0x37, kNone, 0, 0x0BFFFF, 0x40), kErr, kAbrt},
      {"READ NATIVE MAX ADDRESS EXT again", Lba48(0x27, kNone, 0, 0, 0x40), kOk, 0x00},
      {"SET MAX ADDRESS EXT", Lba48(0x37, kNone, 0, 0x0BFFFF, 0x40), kOk, 0x00,
       {{O::LbaLow, 0xFF}, {O::LbaMid, 0xFF}, {O::LbaHigh, 0x0B}}},
      {"IDENTIFY DEVICE: the new maximum", Identify(), kOk, 0x00, {},
       {{60, 0x0000}, {61, 0x000C}, {100, 0x0000}, {101, 0x000C}}},
      {"NOP", Regs(0x00, kNone, 0, 0, 0, 0, 0, 0x00), kErr, kAbrt},
      {"FLUSH CACHE", NoData(0xE7), kOk, 0x00},
      {"FLUSH CACHE EXT", NoData(0xEA), kOk, 0x00},
      {"STANDBY IMMEDIATE", NoData(0xE0), kOk, 0x00},
      {"CHECK POWER MODE in standby", NoData(0xE5), kOk, 0x00, {{O::Count, 0x00}}},
      {"SLEEP", NoData(0xE6), kOk, 0x00},
      {"IDENTIFY DEVICE asleep: not taken until a reset", Identify(), 0x00, 0x00, {}, {}, TransportError::TimeOut},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    AtaRequest req = row.req;
    const std::uint32_t count = req.count | (req.is48 ? req.countExp << 8 : 0);
    Bytes data(req.protocol == kNone ? 0 : count * 512, 0x6B);
    req.data = data.empty() ? nullptr : data.data();
    req.length = static_cast<std::uint32_t>(data.size());
    const AtaResponse rsp = d.Execute(req);
    EXPECT_EQ(rsp.transport, row.transport);
    EXPECT_EQ(rsp.status, row.status);
    EXPECT_EQ(rsp.error, row.error);
    for (const auto& [reg, value] : row.regs) EXPECT_EQ(Read(rsp, reg), value) << Name(reg);
    if (row.words.empty()) continue;
    for (const auto& [word, value] : row.words) EXPECT_EQ(Le16(data, 2 * word), value) << "word " << word;
    // Word 255: signature A5h, and every byte of the page sums to zero.
    EXPECT_EQ(data[510], 0xA5);
    std::uint8_t sum = 0;
    for (std::uint8_t b : data) sum = static_cast<std::uint8_t>(sum + b);
    EXPECT_EQ(sum, 0);
  }
  EXPECT_EQ(d.InvariantViolations(), 0u);
}

}  // namespace
}  // namespace emu::test
