#include "device/Checksum.h"

#include <array>

namespace {

constexpr std::array<std::uint16_t, 256> MakeTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t v = static_cast<std::uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) v = (v & 1) ? static_cast<std::uint16_t>((v >> 1) ^ 0xA001) : (v >> 1);
    table[i] = v;
  }
  return table;
}
constexpr std::array<std::uint16_t, 256> kTable = MakeTable();

inline void TableStep(std::uint16_t& crc, std::uint8_t byte) {
  crc = static_cast<std::uint16_t>((crc >> 8) ^ kTable[(crc ^ byte) & 0xFF]);
}

// One word step as a 32x32 XOR matrix applied at once: column b of the matrix
// is where bit b ends up after 32 shift-and-reduce steps.
constexpr std::array<std::uint32_t, 32> MakeColumns() {
  std::array<std::uint32_t, 32> cols{};
  for (int b = 0; b < 32; ++b) {
    std::uint32_t v = 1u << b;
    for (int step = 0; step < 32; ++step) v = (v & 0x80000000u) ? (v << 1) ^ 0x04C11DB7u : (v << 1);
    cols[b] = v;
  }
  return cols;
}
constexpr std::array<std::uint32_t, 32> kColumns = MakeColumns();

}  // namespace

void CCrc16Table::Update(std::uint16_t& crc, const std::uint8_t* bytes, std::uint32_t length) {
  for (std::uint32_t i = 0; i < length; ++i) TableStep(crc, bytes[i]);
}

void CCrc16Table::UpdateString(std::uint16_t& crc, const std::string& text) {
  for (char c : text) TableStep(crc, static_cast<std::uint8_t>(c));
}

void CCrc16Ccitt::Update(std::uint16_t& crc, const std::uint8_t* bytes, std::uint32_t length) {
  for (std::uint32_t i = 0; i < length; ++i) {
    std::uint16_t v = static_cast<std::uint16_t>((crc >> 8) | (crc << 8));
    v ^= bytes[i];
    v ^= static_cast<std::uint16_t>((v & 0xFF) >> 4);
    v ^= static_cast<std::uint16_t>(v << 12);
    v ^= static_cast<std::uint16_t>((v & 0xFF) << 5);
    crc = v;
  }
}

namespace kx {

std::uint16_t Crc16Byte(std::uint16_t crc, std::uint8_t byte) {
  crc ^= static_cast<std::uint16_t>(byte << 8);
  for (int bit = 0; bit < 8; ++bit)
    crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021) : static_cast<std::uint16_t>(crc << 1);
  return crc;
}

std::uint16_t Crc16Buffer(const std::uint8_t* bytes, std::uint32_t length, std::uint16_t initial, bool complement) {
  std::uint16_t crc = initial;
  for (std::uint32_t i = 0; i < length; ++i) crc = Crc16Byte(crc, bytes[i]);
  return complement ? static_cast<std::uint16_t>(~crc) : crc;
}

std::uint16_t ByteSum16(const std::uint8_t* bytes, std::uint32_t length) {
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i < length; ++i) sum += bytes[i];
  return static_cast<std::uint16_t>(sum);
}

std::uint32_t WordCrc32(const std::uint32_t* words, std::uint32_t count, std::uint32_t seed) {
  std::uint32_t crc = seed;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t in = crc ^ words[i];
    std::uint32_t out = 0;
    for (int b = 0; b < 32; ++b)
      if (in & (1u << b)) out ^= kColumns[b];
    crc = out;
  }
  return crc;
}

}  // namespace kx
