// ATA registers as the wire formats carry them (the task file a command is sent
// with, the registers a device returns), status bits, and the command opcodes
// that the senders and the emulated drive share. Values only; each format's file
// tables where they sit.
#pragma once
#include <cstdint>

namespace protocol {

// Status register bits.
inline constexpr std::uint8_t kAtaStatusErr = 0x01;
inline constexpr std::uint8_t kAtaStatusDrq = 0x08;
inline constexpr std::uint8_t kAtaStatusDsc = 0x10;  // seek complete: obsolete, still set by drives
inline constexpr std::uint8_t kAtaStatusDf = 0x20;
inline constexpr std::uint8_t kAtaStatusDrdy = 0x40;
inline constexpr std::uint8_t kAtaStatusBsy = 0x80;

// Device register: the LBA bit. Without it the address reads as cylinder, head
// and sector; a 28-bit command keeps LBA bits 27:24 in bits 3:0.
inline constexpr std::uint8_t kAtaDeviceLba = 0x40;

// Commands the command layer sends and the emulator answers.
inline constexpr std::uint8_t kAtaNop = 0x00;
inline constexpr std::uint8_t kAtaDeviceReset = 0x08;
inline constexpr std::uint8_t kAtaReadSectors = 0x20;
inline constexpr std::uint8_t kVendorRead = 0x21;  // sub-command in FEATURES
inline constexpr std::uint8_t kAtaReadSectorsExt = 0x24;
inline constexpr std::uint8_t kAtaReadDmaExt = 0x25;
inline constexpr std::uint8_t kAtaWriteSectors = 0x30;
inline constexpr std::uint8_t kVendorWrite = 0x31;  // sub-command in FEATURES
inline constexpr std::uint8_t kAtaWriteSectorsExt = 0x34;
inline constexpr std::uint8_t kAtaWriteDmaExt = 0x35;
inline constexpr std::uint8_t kAtaDownloadMicrocode = 0x92;
inline constexpr std::uint8_t kAtaSmart = 0xB0;
inline constexpr std::uint8_t kAtaDeviceConfiguration = 0xB1;
inline constexpr std::uint8_t kAtaReadDma = 0xC8;
inline constexpr std::uint8_t kAtaWriteDma = 0xCA;
inline constexpr std::uint8_t kAtaStandbyImmediate = 0xE0;
inline constexpr std::uint8_t kAtaFlushCache = 0xE7;
inline constexpr std::uint8_t kAtaWriteBuffer = 0xE8;
inline constexpr std::uint8_t kAtaIdentifyDevice = 0xEC;
inline constexpr std::uint8_t kAtaSetFeatures = 0xEF;
inline constexpr std::uint8_t kAtaSecuritySetPassword = 0xF1;
inline constexpr std::uint8_t kAtaSecurityUnlock = 0xF2;
inline constexpr std::uint8_t kAtaSecurityErasePrepare = 0xF3;
inline constexpr std::uint8_t kAtaSecurityEraseUnit = 0xF4;
inline constexpr std::uint8_t kAtaSecurityFreezeLock = 0xF5;
inline constexpr std::uint8_t kAtaSecurityDisablePassword = 0xF6;
inline constexpr std::uint8_t kAtaReadNativeMax = 0xF8;
inline constexpr std::uint8_t kAtaSetMax = 0xF9;

// Registers a command is sent with. The *Exp fields are the previous
// (high-order) bytes of a 48-bit command.
struct AtaTaskFile {
  std::uint8_t features = 0, count = 0, lbaLow = 0, lbaMid = 0, lbaHigh = 0, device = 0, command = 0;
  std::uint8_t featuresExp = 0, countExp = 0, lbaLowExp = 0, lbaMidExp = 0, lbaHighExp = 0;
};

// Registers a device returned. The *Exp fields count only with extend.
struct AtaReturn {
  bool extend = false;
  std::uint8_t error = 0, count = 0, lbaLow = 0, lbaMid = 0, lbaHigh = 0, device = 0, status = 0;
  std::uint8_t countExp = 0, lbaLowExp = 0, lbaMidExp = 0, lbaHighExp = 0;
};

}  // namespace protocol
