// The contract between the emulated drive and the front ends that carry commands
// to it (tester board, USB bridge, SATA port). Front ends decode their transport
// into an AtaRequest; the drive answers with an AtaResponse.
#pragma once
#include <cstdint>

#include "protocol/Ata.h"

namespace emu {

enum class AtaProtocol : std::uint8_t { NonData, PioIn, PioOut, DmaIn, DmaOut };

inline bool IsDataIn(AtaProtocol p) { return p == AtaProtocol::PioIn || p == AtaProtocol::DmaIn; }
inline bool IsDataOut(AtaProtocol p) { return p == AtaProtocol::PioOut || p == AtaProtocol::DmaOut; }

// Tester line commands: sub-commands of the 08 F2 50 form that a SATA port
// carries as the command register.
constexpr std::uint8_t kTesterDevSleepLine = 0x05;
constexpr std::uint8_t kTesterDevSleepFeature = 0x06;
constexpr std::uint8_t kTesterFirmwareName = 0x60;

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

// A request from the registers a front end decoded from its wire form; the
// high-order bytes count only for a 48-bit command.
inline AtaRequest LoadRegisters(const protocol::AtaTaskFile& r, bool is48) {
  AtaRequest req;
  req.features = r.features;
  req.count = r.count;
  req.lbaLow = r.lbaLow;
  req.lbaMid = r.lbaMid;
  req.lbaHigh = r.lbaHigh;
  req.device = r.device;
  req.command = r.command;
  if (is48) {
    req.is48 = true;
    req.featuresExp = r.featuresExp;
    req.countExp = r.countExp;
    req.lbaLowExp = r.lbaLowExp;
    req.lbaMidExp = r.lbaMidExp;
    req.lbaHighExp = r.lbaHighExp;
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

// A response as the wire formats return it; the high-order bytes count only with extend.
inline protocol::AtaReturn ReturnOf(const AtaResponse& r, bool extend) {
  protocol::AtaReturn ret;
  ret.extend = extend;
  ret.error = r.error;
  ret.count = r.count;
  ret.lbaLow = r.lbaLow;
  ret.lbaMid = r.lbaMid;
  ret.lbaHigh = r.lbaHigh;
  ret.device = r.device;
  ret.status = r.status;
  ret.countExp = r.countExp;
  ret.lbaLowExp = r.lbaLowExp;
  ret.lbaMidExp = r.lbaMidExp;
  ret.lbaHighExp = r.lbaHighExp;
  return ret;
}

}  // namespace emu
