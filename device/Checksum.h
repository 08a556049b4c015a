// 16-bit CRCs and the byte sum shared by the result list, the bad-block-table
// steps and the firmware header check.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// Reflected CRC-16, polynomial 0x8005 (0xA001 reflected), initial 0xFFFF:
// Init + Update gives CRC-16/MODBUS, adding Final gives CRC-16/USB.
class CCrc16Table {
 public:
  static void Init(std::uint16_t& crc) { crc = 0xFFFF; }
  static void Update(std::uint16_t& crc, const std::uint8_t* bytes, std::uint32_t length);
  static void UpdateString(std::uint16_t& crc, std::string_view text);
  static void Final(std::uint16_t& crc) { crc = static_cast<std::uint16_t>(~crc); }
};

// CRC-16, polynomial 0x1021 MSB first, initial 0xFFFF, complemented at the end
// (CRC-16/GENIBUS); processed a byte at a time without a table.
class CCrc16Ccitt {
 public:
  static void Init(std::uint16_t& crc) { crc = 0xFFFF; }
  static void Update(std::uint16_t& crc, const std::uint8_t* bytes, std::uint32_t length);
  static void Final(std::uint16_t& crc) { crc = static_cast<std::uint16_t>(~crc); }
};

namespace kx {

// Bit-wise CRC-16, polynomial 0x1021 MSB first, from the caller's initial value;
// complemented at the end when asked.
std::uint16_t Crc16Buffer(const std::uint8_t* bytes, std::uint32_t length, std::uint16_t initial, bool complement);
// One byte of Crc16Buffer.
std::uint16_t Crc16Byte(std::uint16_t crc, std::uint8_t byte);

// Sum of the bytes modulo 65536.
std::uint16_t ByteSum16(const std::uint8_t* bytes, std::uint32_t length);
// CRC over 32-bit words: each word is XORed in whole and then 32 steps of
// polynomial 0x04C11DB7 (MSB first) run; no final complement.
std::uint32_t WordCrc32(const std::uint32_t* words, std::uint32_t count, std::uint32_t seed);

}  // namespace kx
