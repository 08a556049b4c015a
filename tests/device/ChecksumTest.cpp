#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device/Checksum.h"
#include "device/PortDevice.h"

namespace {

const std::string kCheck = "123456789";
const auto* kCheckBytes = reinterpret_cast<const std::uint8_t*>("123456789");

TEST(Crc16, TableCrcGivesModbusAndUsbCheckValues) {
  std::uint16_t crc = 0;
  CCrc16Table::Init(crc);
  CCrc16Table::UpdateString(crc, kCheck);
  EXPECT_EQ(crc, 0x4B37);
  CCrc16Table::Final(crc);
  EXPECT_EQ(crc, 0xB4C8);

  std::uint16_t byBytes = 0;
  CCrc16Table::Init(byBytes);
  CCrc16Table::Update(byBytes, kCheckBytes, 4);
  CCrc16Table::Update(byBytes, kCheckBytes + 4, 5);  // in pieces gives the same
  EXPECT_EQ(byBytes, 0x4B37);
}

TEST(Crc16, CcittGivesGenibusCheckValue) {
  std::uint16_t crc = 0;
  CCrc16Ccitt::Init(crc);
  CCrc16Ccitt::Update(crc, kCheckBytes, 9);
  CCrc16Ccitt::Final(crc);
  EXPECT_EQ(crc, 0xD64E);
}

TEST(Crc16, BitwiseBufferGivesXmodemAndIbm3740) {
  EXPECT_EQ(Crc16Buffer(kCheckBytes, 9, 0x0000, false), 0x31C3);
  EXPECT_EQ(Crc16Buffer(kCheckBytes, 9, 0xFFFF, false), 0x29B1);
  EXPECT_EQ(Crc16Buffer(kCheckBytes, 9, 0xFFFF, true), 0xD64E);
  std::uint16_t crc = 0xFFFF;
  for (int i = 0; i < 9; ++i) crc = Crc16Byte(crc, kCheckBytes[i]);
  EXPECT_EQ(crc, 0x29B1);
  EXPECT_EQ(Crc16Buffer(nullptr, 0, 0x1234, false), 0x1234);
}

TEST(Sum16Test, WrapsAt16Bits) {
  std::vector<std::uint8_t> ff(300, 0xFF);
  EXPECT_EQ(CPortDevice::Sum16(ff.data(), 300), 0x2AD4);
  EXPECT_EQ(CPortDevice::Sum16(kCheckBytes, 9), 0x1DD);
  EXPECT_EQ(CPortDevice::Sum16(ff.data(), 0), 0);
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

TEST(Crc32ParallelTest, EqualsMpeg2OverWordsMostSignificantByteFirst) {
  // Published check value of CRC-32/MPEG-2 over "123456789".
  EXPECT_EQ(Mpeg2(kCheckBytes, 9), 0x0376E6E7u);
  const std::uint8_t bytes[12] = {'1', '2', '3', '4', '5', '6', '7', '8', 0xA5, 0x00, 0xFF, 0x3C};
  std::uint32_t words[3];
  for (int w = 0; w < 3; ++w)
    words[w] = static_cast<std::uint32_t>(bytes[4 * w]) << 24 | bytes[4 * w + 1] << 16 | bytes[4 * w + 2] << 8 |
               bytes[4 * w + 3];
  EXPECT_EQ(CPortDevice::Crc32Parallel(words, 3, 0xFFFFFFFFu), Mpeg2(bytes, 12));
  EXPECT_EQ(CPortDevice::Crc32Parallel(words, 0, 0x12345678u), 0x12345678u);
  // A zero seed and a zero word stay zero (no final complement).
  const std::uint32_t zero = 0;
  EXPECT_EQ(CPortDevice::Crc32Parallel(&zero, 1, 0), 0u);
}

TEST(SplitStringTest, FieldsAreNumberedFromZeroAndTrimmed) {
  EXPECT_EQ(CPortDevice::SplitString("a,b,,c", ",", 0), "a");
  EXPECT_EQ(CPortDevice::SplitString("a,b,,c", ",", 1), "b");
  EXPECT_EQ(CPortDevice::SplitString("a,b,,c", ",", 2), "");
  EXPECT_EQ(CPortDevice::SplitString("a,b,,c", ",", 3), "c");
  EXPECT_EQ(CPortDevice::SplitString("a,b,,c", ",", 4), "");
  EXPECT_EQ(CPortDevice::SplitString(" x , y ", ",", 1), "y");
  EXPECT_EQ(CPortDevice::SplitString("no separator", ",", 0), "");
  EXPECT_EQ(CPortDevice::SplitString("a,b", ",", -1), "");
}

}  // namespace
