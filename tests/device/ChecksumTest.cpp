#include "device/Checksum.h"

#include <gtest/gtest.h>

#include <vector>

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
  // Every byte value, many at a time, as one bit at a time gives them.
  std::vector<std::uint8_t> bytes(1000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + i / 256);
  std::uint16_t bitwise = 0xFFFF;
  for (std::uint8_t b : bytes) {
    bitwise ^= b;
    for (int bit = 0; bit < 8; ++bit) bitwise = (bitwise & 1) ? (bitwise >> 1) ^ 0xA001 : bitwise >> 1;
  }
  CCrc16Table::Init(crc);
  CCrc16Table::Update(crc, bytes.data(), 999);
  CCrc16Table::Update(crc, bytes.data() + 999, 1);
  EXPECT_EQ(crc, bitwise);

  CCrc16Ccitt::Init(crc);
  CCrc16Ccitt::Update(crc, kCheck, 9);
  CCrc16Ccitt::Final(crc);
  EXPECT_EQ(crc, 0xD64E);  // CRC-16/GENIBUS

  EXPECT_EQ(kx::Crc16Buffer(kCheck, 9, 0x0000, false), 0x31C3);  // CRC-16/XMODEM
  EXPECT_EQ(kx::Crc16Buffer(kCheck, 9, 0xFFFF, false), 0x29B1);  // CRC-16/IBM-3740
  EXPECT_EQ(kx::Crc16Buffer(kCheck, 9, 0xFFFF, true), 0xD64E);
}

TEST(Checksums, Sum16WrapsAt16Bits) {
  const std::vector<std::uint8_t> ff(300, 0xFF);
  EXPECT_EQ(CPortDevice::Sum16(ff.data(), 300), 0x2AD4);
  EXPECT_EQ(CPortDevice::Sum16(kCheck, 9), 0x1DD);
}

TEST(Checksums, Crc32ParallelIsMpeg2OverWordsMostSignificantByteFirst) {
  // CRC-32/MPEG-2 of the bytes 31 32 33 34 35 36 37 38 A5 00 FF 3C.
  const std::uint32_t words[] = {0x31323334, 0x35363738, 0xA500FF3C};
  EXPECT_EQ(CPortDevice::Crc32Parallel(words, 3, 0xFFFFFFFFu), 0xD548F611u);
  EXPECT_EQ(CPortDevice::Crc32Parallel(words, 0, 0x12345678u), 0x12345678u);
}

}  // namespace
