// The SAT ATA PASS-THROUGH commands, (12) A1h and (16) 85h: an ATA task file
// carried in a SCSI CDB. Byte tables in SatCdb.cpp.
#pragma once
#include <cstddef>
#include <cstdint>

#include "protocol/Ata.h"

namespace protocol {

inline constexpr std::uint8_t kAtaPassThrough12 = 0xA1;
inline constexpr std::uint8_t kAtaPassThrough16 = 0x85;

// PROTOCOL field values.
inline constexpr std::uint8_t kSatHardReset = 0;
inline constexpr std::uint8_t kSatSoftReset = 1;
inline constexpr std::uint8_t kSatNonData = 3;
inline constexpr std::uint8_t kSatPioIn = 4;
inline constexpr std::uint8_t kSatPioOut = 5;
inline constexpr std::uint8_t kSatDma = 6;
inline constexpr std::uint8_t kSatDiagnostic = 8;
inline constexpr std::uint8_t kSatDeviceReset = 9;
inline constexpr std::uint8_t kSatUdmaIn = 10;
inline constexpr std::uint8_t kSatUdmaOut = 11;
inline constexpr std::uint8_t kSatResponseInfo = 15;  // return the status return descriptor as data

// Byte 2 bits.
inline constexpr std::uint8_t kSatCkCond = 0x20;       // return the registers in sense, even on success
inline constexpr std::uint8_t kSatTType = 0x10;        // blocks are logical sectors, not 512 bytes
inline constexpr std::uint8_t kSatTDirIn = 0x08;       // data from the device
inline constexpr std::uint8_t kSatBytBlok = 0x04;      // the length counts blocks, not bytes
inline constexpr std::uint8_t kSatTLengthMask = 0x03;  // where the length is:
inline constexpr std::uint8_t kSatTLengthNone = 0;
inline constexpr std::uint8_t kSatTLengthFeatures = 1;
inline constexpr std::uint8_t kSatTLengthCount = 2;
inline constexpr std::uint8_t kSatTLengthTpsiu = 3;

// Whether a PROTOCOL value moves data (PIO, DMA, UDMA).
bool IsSatDataProtocol(std::uint8_t protocol);

// Both forms as fields. The (12) form has no EXTEND and no high-order bytes.
struct SatCdb {
  std::uint8_t protocol = kSatNonData;
  bool extend = false;
  std::uint8_t multipleCount = 0;
  std::uint8_t flags = 0;  // byte 2 as a whole: OFF_LINE, CK_COND, T_TYPE, T_DIR, BYT_BLOK, T_LENGTH
  AtaTaskFile regs;
  std::uint8_t control = 0;
};

void BuildSat16(const SatCdb& c, std::uint8_t cdb[16]);
void BuildSat12(const SatCdb& c, std::uint8_t cdb[12]);
// Either form; false for another operation code or a CDB shorter than its form.
bool ParseSatCdb(const std::uint8_t* cdb, std::size_t len, SatCdb& out);

// The task file of the (12) form (bytes 3-9), whatever byte 0 holds.
AtaTaskFile Sat12Registers(const std::uint8_t* cdb);

}  // namespace protocol
