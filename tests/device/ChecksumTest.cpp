#include <gtest/gtest.h>

#include <vector>

#include "device/Checksum.h"
#include "device/PortDevice.h"

namespace {

const auto* kCheck = reinterpret_cast<const std::uint8_t*>("123456789");

TEST(Checksums, SixteenBitCrcsGiveTheirPublishedCheckValues) {
  std::uint16_t crc = 0;
  CCrc16Table::Init(crc);
  CCrc16Table::UpdateString(crc, "123456789");
  EXPECT_EQ(crc, 0x4B37);  // CRC-16/MODBUS
  CCrc16Table::Final(crc);
  EXPECT_EQ(crc, 0xB4C8);  // CRC-16/USB
  CCrc16Table::Init(crc);
  CCrc16Table::Update(crc, kCheck, 4);
  CCrc16Table::Update(crc, kCheck + 4, 5);  // in pieces gives the same
  EXPECT_EQ(crc, 0x4B37);

  CCrc16Ccitt::Init(crc);
  CCrc16Ccitt::Update(crc, kCheck, 9);
  CCrc16Ccitt::Final(crc);
  EXPECT_EQ(crc, 0xD64E);  // CRC-16/GENIBUS

  EXPECT_EQ(Crc16Buffer(kCheck, 9, 0x0000, false), 0x31C3);  // CRC-16/XMODEM
  EXPECT_EQ(Crc16Buffer(kCheck, 9, 0xFFFF, false), 0x29B1);  // CRC-16/IBM-3740
  EXPECT_EQ(Crc16Buffer(kCheck, 9, 0xFFFF, true), 0xD64E);
  crc = 0xFFFF;
  for (int i = 0; i < 9; ++i) crc = Crc16Byte(crc, kCheck[i]);
  EXPECT_EQ(crc, 0x29B1);
}

TEST(Checksums, Sum16WrapsAt16Bits) {
  std::vector<std::uint8_t> ff(300, 0xFF);
  EXPECT_EQ(CPortDevice::Sum16(ff.data(), 300), 0x2AD4);
  EXPECT_EQ(CPortDevice::Sum16(kCheck, 9), 0x1DD);
}

// Reference: bytewise CRC-32/MPEG-2 (poly 0x04C11DB7, MSB first, init all ones, no final XOR).
std::uint32_t Mpeg2(const std::uint8_t* p, std::size_t n) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= static_cast<std::uint32_t>(p[i]) << 24;
    for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

TEST(Checksums, Crc32ParallelIsMpeg2OverWordsMostSignificantByteFirst) {
  EXPECT_EQ(Mpeg2(kCheck, 9), 0x0376E6E7u);  // the reference's published check value
  const std::uint8_t bytes[12] = {'1', '2', '3', '4', '5', '6', '7', '8', 0xA5, 0x00, 0xFF, 0x3C};
  std::uint32_t words[3];
  for (int w = 0; w < 3; ++w)
    words[w] = static_cast<std::uint32_t>(bytes[4 * w]) << 24 | bytes[4 * w + 1] << 16 | bytes[4 * w + 2] << 8 |
               bytes[4 * w + 3];
  EXPECT_EQ(CPortDevice::Crc32Parallel(words, 3, 0xFFFFFFFFu), Mpeg2(bytes, 12));
  EXPECT_EQ(CPortDevice::Crc32Parallel(words, 0, 0x12345678u), 0x12345678u);
}

TEST(Checksums, SplitStringNumbersFieldsFromZeroAndTrims) {
  const std::pair<int, const char*> cases[] = {{0, "a"}, {1, "b"}, {2, ""}, {3, "c"}, {4, ""}, {-1, ""}};
  for (const auto& [index, field] : cases) EXPECT_EQ(CPortDevice::SplitString("a, b ,,c", ",", index), field) << index;
  EXPECT_EQ(CPortDevice::SplitString("no separator", ",", 0), "");
}

}  // namespace
