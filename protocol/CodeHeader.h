// The header a firmware code carries inside the seed area the controller
// receives first: the PRAM code's seed (after its 56-byte section table) for a
// load into RAM, the first 16 KiB of the normal code for flash. It names the
// code as the controller reports it while the code runs (IDENTIFY words 23-26
// and the firmware-name read) and says whether the code is the RDT firmware.
// The program only moves these bytes; the controller (the emulator) and the
// image builders (tools/BinImages) read and write them.
//
//   0x100  4  signature "KXCH"
//   0x104  8  firmware name, ASCII, blank padded
//   0x10C  1  flags: bit 0 the RDT firmware
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace kx::codeheader {

inline constexpr std::size_t kOffset = 0x100;
inline constexpr char kSignature[4] = {'K', 'X', 'C', 'H'};
inline constexpr std::size_t kNameOffset = kOffset + 4;
inline constexpr std::size_t kNameBytes = 8;
inline constexpr std::size_t kFlagsOffset = kNameOffset + kNameBytes;
inline constexpr std::uint8_t kFlagRdt = 0x01;
inline constexpr std::size_t kEnd = kFlagsOffset + 1;

struct CodeHeader {
  std::string name;  // as stored, at most 8 characters, trailing blanks kept
  bool rdt = false;
};

// Writes the header into a seed area of at least kEnd bytes (shorter: nothing).
inline void Write(std::uint8_t* seed, std::size_t length, const std::string& name, bool rdt) {
  if (length < kEnd) return;
  std::memcpy(seed + kOffset, kSignature, sizeof kSignature);
  for (std::size_t i = 0; i < kNameBytes; ++i)
    seed[kNameOffset + i] = static_cast<std::uint8_t>(i < name.size() ? name[i] : ' ');
  seed[kFlagsOffset] = rdt ? kFlagRdt : 0;
}

// The header of a seed area; none when it is too short or lacks the signature.
inline std::optional<CodeHeader> Read(const std::uint8_t* seed, std::size_t length) {
  if (length < kEnd || std::memcmp(seed + kOffset, kSignature, sizeof kSignature) != 0) return std::nullopt;
  CodeHeader h;
  h.name.assign(reinterpret_cast<const char*>(seed + kNameOffset), kNameBytes);
  h.rdt = (seed[kFlagsOffset] & kFlagRdt) != 0;
  return h;
}

}  // namespace kx::codeheader
