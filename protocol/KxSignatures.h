// Six-byte register signatures that the controller firmware and the program agree
// on. The values are ours; the command layer sends them and the emulated
// controller recognises them, so both include this one header.
#pragma once
#include <array>
#include <cstdint>

namespace kx {

// Access key: a non-data command whose count, LBA low, LBA mid, LBA high, device
// and command registers carry these bytes (features 0). The controller answers
// an accepted key with count 01, LBA low 01 and status 50h.
inline constexpr std::array<std::uint8_t, 6> kApKeySignature = {0x4B, 0x58, 0x37, 0x34, 0xA0, 0xFA};

// Vendor-mode entry, sent the same way (card detect on SATA ports).
inline constexpr std::array<std::uint8_t, 6> kVendorModeSignature = {0x4B, 0x58, 0x56, 0x4D, 0xA0, 0xFB};

// First six bytes of the 512-byte data sector of vendor write 00h.
inline constexpr std::array<std::uint8_t, 6> kVendorWrite00Marker = {'K', 'X', 'V', 'W', '0', '0'};

}  // namespace kx
