#include "device/Checksum.h"

#include <algorithm>
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

// Slicing by 16: kSlices[k][b] is the CRC of byte b followed by k zero bytes,
// so that sixteen bytes take sixteen independent look-ups instead of a chain
// of sixteen (a result list of 100,000 drives is 11 MB, checked at every record).
using Slices = std::array<std::array<std::uint16_t, 256>, 16>;
constexpr Slices MakeSlices() {
  Slices t{};
  t[0] = MakeTable();
  for (std::size_t k = 1; k < t.size(); ++k)
    for (unsigned i = 0; i < 256; ++i)
      t[k][i] = static_cast<std::uint16_t>((t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF]);
  return t;
}
constexpr Slices kSlices = MakeSlices();

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
  std::uint32_t i = 0;
  for (; i + 16 <= length; i += 16) {
    const std::uint8_t* b = bytes + i;
    crc = static_cast<std::uint16_t>(kSlices[15][(crc ^ b[0]) & 0xFF] ^ kSlices[14][((crc >> 8) ^ b[1]) & 0xFF] ^
                                     kSlices[13][b[2]] ^ kSlices[12][b[3]] ^ kSlices[11][b[4]] ^ kSlices[10][b[5]] ^
                                     kSlices[9][b[6]] ^ kSlices[8][b[7]] ^ kSlices[7][b[8]] ^ kSlices[6][b[9]] ^
                                     kSlices[5][b[10]] ^ kSlices[4][b[11]] ^ kSlices[3][b[12]] ^ kSlices[2][b[13]] ^
                                     kSlices[1][b[14]] ^ kSlices[0][b[15]]);
  }
  // A line's last bytes four at a time, as sixteen are taken above.
  for (; i + 4 <= length; i += 4) {
    const std::uint8_t* b = bytes + i;
    crc = static_cast<std::uint16_t>(kSlices[3][(crc ^ b[0]) & 0xFF] ^ kSlices[2][((crc >> 8) ^ b[1]) & 0xFF] ^
                                     kSlices[1][b[2]] ^ kSlices[0][b[3]]);
  }
  for (; i < length; ++i) TableStep(crc, bytes[i]);
}

void CCrc16Table::UpdateString(std::uint16_t& crc, std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  for (std::size_t done = 0; done < text.size();) {
    const std::size_t n = std::min<std::size_t>(text.size() - done, 0x80000000u);
    Update(crc, bytes + done, static_cast<std::uint32_t>(n));
    done += n;
  }
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
