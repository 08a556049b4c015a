// SCSI sense data, fixed and descriptor format, and the ATA registers that SAT
// layers (USB bridges, libata) return in it. Byte tables in Sense.cpp.
#pragma once
#include <cstddef>
#include <cstdint>

#include "protocol/Ata.h"

namespace protocol {

// SCSI status byte.
inline constexpr std::uint8_t kScsiGood = 0x00;
inline constexpr std::uint8_t kScsiCheckCondition = 0x02;

// Response code (byte 0, bits 6:0).
inline constexpr std::uint8_t kSenseFixed = 0x70;
inline constexpr std::uint8_t kSenseFixedDeferred = 0x71;
inline constexpr std::uint8_t kSenseDescriptor = 0x72;
inline constexpr std::uint8_t kSenseDescriptorDeferred = 0x73;
// Fixed format, byte 0 bit 7: INFORMATION holds an address.
inline constexpr std::uint8_t kSenseValid = 0x80;

// Sense keys.
inline constexpr std::uint8_t kNoSense = 0x00;
inline constexpr std::uint8_t kRecoveredError = 0x01;
inline constexpr std::uint8_t kNotReady = 0x02;
inline constexpr std::uint8_t kMediumError = 0x03;
inline constexpr std::uint8_t kHardwareError = 0x04;
inline constexpr std::uint8_t kIllegalRequest = 0x05;
inline constexpr std::uint8_t kUnitAttention = 0x06;
inline constexpr std::uint8_t kAbortedCommand = 0x0B;

// Additional sense codes (ASC, ASCQ) named here.
inline constexpr std::uint8_t kAscNone = 0x00;
inline constexpr std::uint8_t kAscqAtaInfoAvailable = 0x1D;  // 00/1D ATA PASS-THROUGH INFORMATION AVAILABLE
inline constexpr std::uint8_t kAscNotReady = 0x04;
inline constexpr std::uint8_t kAscqInitRequired = 0x02;  // 04/02 initializing command required
inline constexpr std::uint8_t kAscInvalidOpcode = 0x20;
inline constexpr std::uint8_t kAscInvalidField = 0x24;
inline constexpr std::uint8_t kAscMediumNotPresent = 0x3A;
inline constexpr std::uint8_t kAscInternalFailure = 0x44;

inline constexpr std::size_t kFixedSenseLength = 18;
inline constexpr std::size_t kDescriptorSenseHeader = 8;
// The ATA status return descriptor: type 09h, 14 bytes in all.
inline constexpr std::uint8_t kAtaReturnDescriptor = 0x09;
inline constexpr std::size_t kAtaReturnDescriptorLength = 14;

// Key and additional sense code of either format.
struct SenseData {
  bool descriptor = false;
  std::uint8_t key = 0, asc = 0, ascq = 0;
};
// False for an unknown response code or sense too short to hold the key; ASC
// and ASCQ read 0 when cut off.
bool ParseSense(const std::uint8_t* sense, std::size_t len, SenseData& out);

// 18 bytes of current fixed-format sense.
void WriteFixedSense(std::uint8_t out[kFixedSenseLength], std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);
// The sense-key specific field pointer of fixed sense: the byte (and bit, -1 for
// none) of the CDB, or of the parameter data, that is in error.
void SetFieldPointer(std::uint8_t fixed[kFixedSenseLength], bool inCdb, std::uint16_t byte, int bit);
// The 8-byte header of current descriptor-format sense; `additional` bytes of
// descriptors follow it.
void WriteDescriptorSenseHeader(std::uint8_t out[kDescriptorSenseHeader], std::uint8_t key, std::uint8_t asc,
                                std::uint8_t ascq, std::uint8_t additional);

// The ATA status return descriptor. Written with the high-order bytes zero
// unless r.extend; read from a descriptor of at least 14 bytes (false otherwise).
void WriteAtaReturnDescriptor(const AtaReturn& r, std::uint8_t out[kAtaReturnDescriptorLength]);
bool ParseAtaReturnDescriptor(const std::uint8_t* d, std::size_t len, AtaReturn& r);

// Finds the returned ATA registers in sense data: the ATA status return
// descriptor of descriptor-format sense, or fixed-format sense in the SAT layout
// or in Linux 6.1 libata's own. False when the sense carries none.
bool FindAtaRegisters(const std::uint8_t* sense, std::size_t len, AtaReturn& r);

// The answer of a SAT layer to an ATA PASS-THROUGH with CK_COND that went well:
// RECOVERED ERROR, 00/1D and the returned registers, in either format. False
// for any other sense, and for registers that report an error or a busy device.
bool FindCkCondSuccess(const std::uint8_t* sense, std::size_t len, AtaReturn& r);

}  // namespace protocol
