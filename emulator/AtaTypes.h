// The contract between the emulated drive and the front ends that carry commands
// to it (tester board, USB bridge, SATA port). Front ends decode their transport
// into an AtaRequest; the drive answers with an AtaResponse.
#pragma once
#include <array>
#include <cstdint>

namespace emu {

enum class AtaProtocol : std::uint8_t { NonData, PioIn, PioOut, DmaIn, DmaOut };

inline bool IsDataIn(AtaProtocol p) { return p == AtaProtocol::PioIn || p == AtaProtocol::DmaIn; }
inline bool IsDataOut(AtaProtocol p) { return p == AtaProtocol::PioOut || p == AtaProtocol::DmaOut; }

// ATA status and error bits.
constexpr std::uint8_t kStatusErr = 0x01;
constexpr std::uint8_t kStatusDrq = 0x08;
constexpr std::uint8_t kStatusDf = 0x20;
constexpr std::uint8_t kStatusDrdy = 0x40;
constexpr std::uint8_t kStatusBsy = 0x80;
constexpr std::uint8_t kErrorAbrt = 0x04;
constexpr std::uint8_t kErrorIdnf = 0x10;
constexpr std::uint8_t kErrorUnc = 0x40;

// Register file as the host loaded it. For 48-bit commands the *Exp fields hold
// the previous (high-order) bytes.
struct AtaRequest {
  std::uint8_t features = 0;
  std::uint8_t count = 0;
  std::uint8_t lbaLow = 0;
  std::uint8_t lbaMid = 0;
  std::uint8_t lbaHigh = 0;
  std::uint8_t device = 0;
  std::uint8_t command = 0;
  bool is48 = false;
  std::uint8_t featuresExp = 0;
  std::uint8_t countExp = 0;
  std::uint8_t lbaLowExp = 0;
  std::uint8_t lbaMidExp = 0;
  std::uint8_t lbaHighExp = 0;
  AtaProtocol protocol = AtaProtocol::NonData;
  // The host's transfer: data in is written here, data out is read from here.
  // length may differ from what the command implies; the drive moves
  // min(length, implied) and treats missing out-data as zeros.
  std::uint8_t* data = nullptr;
  std::uint32_t length = 0;
  std::uint32_t timeoutSec = 0;  // 0: no limit
};

// The registers of a command as the front ends gather them from their wire
// form, in task-file order; the previous (high-order) bytes count only for a
// 48-bit command.
//   byte  0 features   1 count   2 LBA low   3 LBA mid   4 LBA high   5 device   6 command
//   byte  7 features   8 count   9 LBA low  10 LBA mid  11 LBA high   (previous)
using TaskRegisters = std::array<std::uint8_t, 12>;

inline AtaRequest LoadRegisters(const TaskRegisters& r, bool is48) {
  AtaRequest req;
  req.features = r[0];
  req.count = r[1];
  req.lbaLow = r[2];
  req.lbaMid = r[3];
  req.lbaHigh = r[4];
  req.device = r[5];
  req.command = r[6];
  if (is48) {
    req.is48 = true;
    req.featuresExp = r[7];
    req.countExp = r[8];
    req.lbaLowExp = r[9];
    req.lbaMidExp = r[10];
    req.lbaHighExp = r[11];
  }
  return req;
}

// What a host-side transport error should be, when the command did not complete
// at the ATA level (fault injection, time-out, device gone).
enum class TransportError : std::uint8_t { None, GenFailure /*31*/, TimeOut /*121*/, Gone /*open fails next*/ };

struct AtaResponse {
  std::uint8_t error = 0;
  std::uint8_t count = 0;
  std::uint8_t lbaLow = 0;
  std::uint8_t lbaMid = 0;
  std::uint8_t lbaHigh = 0;
  std::uint8_t device = 0;
  std::uint8_t status = kStatusDrdy | 0x10;  // 50h: ready, seek complete
  std::uint8_t countExp = 0;
  std::uint8_t lbaLowExp = 0;
  std::uint8_t lbaMidExp = 0;
  std::uint8_t lbaHighExp = 0;
  std::uint32_t transferred = 0;  // bytes actually moved
  TransportError transport = TransportError::None;
};

}  // namespace emu
