#include "protocol/Sense.h"

#include <algorithm>
#include <cstring>

namespace protocol {
namespace {

bool isFixed(std::uint8_t code) { return code == kSenseFixed || code == kSenseFixedDeferred; }
bool isDescriptor(std::uint8_t code) { return code == kSenseDescriptor || code == kSenseDescriptorDeferred; }

// The end of the sense bytes its additional length (byte 7) covers.
std::size_t senseEnd(const std::uint8_t* s, std::size_t len) { return std::min<std::size_t>(len, 8u + s[7]); }

}  // namespace

// Fixed format
//  byte  bits  field
//    0   7     VALID (INFORMATION holds an address)
//    0   6:0   RESPONSE CODE (70h current, 71h deferred)
//    2   3:0   SENSE KEY
//   3-6        INFORMATION
//    7         ADDITIONAL SENSE LENGTH (n - 8)
//  8-11        COMMAND-SPECIFIC INFORMATION
//   12         ADDITIONAL SENSE CODE
//   13         ADDITIONAL SENSE CODE QUALIFIER
//   15   7     SKSV (sense-key specific valid)
//   15   6     C/D (1: the field is in the CDB)
//   15   3     BPV (bit pointer valid)
//   15   2:0   BIT POINTER
//  16-17       FIELD POINTER (byte, big-endian)
//
// Descriptor format
//  byte  bits  field
//    0   6:0   RESPONSE CODE (72h current, 73h deferred)
//    1   3:0   SENSE KEY
//    2         ADDITIONAL SENSE CODE
//    3         ADDITIONAL SENSE CODE QUALIFIER
//    7         ADDITIONAL SENSE LENGTH (n - 8)
//    8-        descriptors: type, additional length (m - 2), m - 2 bytes
bool ParseSense(const std::uint8_t* s, std::size_t len, SenseData& out) {
  out = SenseData{};
  if (s == nullptr || len < 2) return false;
  const std::uint8_t code = s[0] & 0x7F;
  if (isDescriptor(code)) {
    out.descriptor = true;
    out.key = s[1] & 0x0F;
    out.asc = len > 2 ? s[2] : 0;
    out.ascq = len > 3 ? s[3] : 0;
    return true;
  }
  if (isFixed(code) && len >= 3) {
    out.key = s[2] & 0x0F;
    out.asc = len > 12 ? s[12] : 0;
    out.ascq = len > 13 ? s[13] : 0;
    return true;
  }
  return false;
}

void WriteFixedSense(std::uint8_t out[kFixedSenseLength], std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  std::memset(out, 0, kFixedSenseLength);
  out[0] = kSenseFixed;
  out[2] = key & 0x0F;
  out[7] = kFixedSenseLength - 8;
  out[12] = asc;
  out[13] = ascq;
}

void SetFieldPointer(std::uint8_t fixed[kFixedSenseLength], bool inCdb, std::uint16_t byte, int bit) {
  constexpr std::uint8_t kSksv = 0x80, kCd = 0x40, kBpv = 0x08;
  fixed[15] = static_cast<std::uint8_t>(kSksv | (inCdb ? kCd : 0) | (bit >= 0 ? kBpv | (bit & 7) : 0));
  fixed[16] = static_cast<std::uint8_t>(byte >> 8);
  fixed[17] = static_cast<std::uint8_t>(byte);
}

void WriteDescriptorSenseHeader(std::uint8_t out[kDescriptorSenseHeader], std::uint8_t key, std::uint8_t asc,
                                std::uint8_t ascq, std::uint8_t additional) {
  std::memset(out, 0, kDescriptorSenseHeader);
  out[0] = kSenseDescriptor;
  out[1] = key & 0x0F;
  out[2] = asc;
  out[3] = ascq;
  out[7] = additional;
}

// ATA status return descriptor
//  byte  bits  field
//    0         DESCRIPTOR CODE (09h)
//    1         ADDITIONAL LENGTH (0Ch)
//    2   0     EXTEND
//    3         ERROR
//    4         COUNT (15:8)
//    5         COUNT (7:0)
//    6         LBA (31:24)
//    7         LBA (7:0)
//    8         LBA (39:32)
//    9         LBA (15:8)
//   10         LBA (47:40)
//   11         LBA (23:16)
//   12         DEVICE
//   13         STATUS
void WriteAtaReturnDescriptor(const AtaReturn& r, std::uint8_t d[kAtaReturnDescriptorLength]) {
  std::memset(d, 0, kAtaReturnDescriptorLength);
  d[0] = kAtaReturnDescriptor;
  d[1] = kAtaReturnDescriptorLength - 2;
  d[2] = r.extend ? 0x01 : 0x00;
  d[3] = r.error;
  d[4] = r.extend ? r.countExp : 0;
  d[5] = r.count;
  d[6] = r.extend ? r.lbaLowExp : 0;
  d[7] = r.lbaLow;
  d[8] = r.extend ? r.lbaMidExp : 0;
  d[9] = r.lbaMid;
  d[10] = r.extend ? r.lbaHighExp : 0;
  d[11] = r.lbaHigh;
  d[12] = r.device;
  d[13] = r.status;
}

bool ParseAtaReturnDescriptor(const std::uint8_t* d, std::size_t len, AtaReturn& r) {
  if (d == nullptr || len < kAtaReturnDescriptorLength || d[0] != kAtaReturnDescriptor) return false;
  if (2u + d[1] < kAtaReturnDescriptorLength) return false;
  r = AtaReturn{};
  r.extend = (d[2] & 0x01) != 0;
  r.error = d[3];
  r.countExp = d[4];
  r.count = d[5];
  r.lbaLowExp = d[6];
  r.lbaLow = d[7];
  r.lbaMidExp = d[8];
  r.lbaMid = d[9];
  r.lbaHighExp = d[10];
  r.lbaHigh = d[11];
  r.device = d[12];
  r.status = d[13];
  return true;
}

namespace {

bool findInDescriptors(const std::uint8_t* s, std::size_t len, AtaReturn& r) {
  const std::size_t end = senseEnd(s, len);
  std::size_t i = kDescriptorSenseHeader;
  while (i + 2 <= end) {
    const std::size_t total = 2u + s[i + 1];
    if (i + total > end) return false;
    if (ParseAtaReturnDescriptor(s + i, total, r)) return true;  // a short 09h is stepped over
    i += total;
  }
  return false;
}

// Fixed format has no field saying "these are ATA registers", and two layouts are
// in use:
//
// SAT (bridges, newer libata)            Linux 6.1 libata
//  byte  bits  field                      byte  bits  field
//    3         ERROR                        8         ERROR
//    4         STATUS                       9         STATUS
//    5         DEVICE                      10         DEVICE
//    6         COUNT (7:0)                 11         COUNT (7:0)
//    8   7     EXTEND                      16   7     EXTEND
//    8   6     COUNT UPPER NONZERO         16   6     COUNT UPPER NONZERO
//    8   5     LBA UPPER NONZERO           16   5     LBA UPPER NONZERO
//    9         LBA (7:0)                   17         LBA (7:0)
//   10         LBA (15:8)                  18         LBA (15:8)
//   11         LBA (23:16)                 19         LBA (23:16)
//
// Linux 6.1 reports 18 bytes, so its LBA (15:8) and (23:16) are lost. A layout is
// trusted when the additional sense code says so (00/1D) or when its status is
// plausible (not busy; ready or error) and INFORMATION is not flagged as an
// address.
bool plausibleStatus(std::uint8_t st) {
  return (st & kAtaStatusBsy) == 0 && (st & (kAtaStatusDrdy | kAtaStatusErr)) != 0;
}

bool findInFixed(const std::uint8_t* s, std::size_t len, AtaReturn& r) {
  if (len < 12 || s[7] < 4) return false;
  const bool address = (s[0] & kSenseValid) != 0;
  const bool passThroughInfo = len >= 14 && s[12] == kAscNone && s[13] == kAscqAtaInfoAvailable;
  const bool infoEmpty = s[3] == 0 && s[4] == 0 && s[5] == 0 && s[6] == 0;
  if (!infoEmpty && (passThroughInfo || (!address && plausibleStatus(s[4])))) {
    r = AtaReturn{};
    r.error = s[3];
    r.status = s[4];
    r.device = s[5];
    r.count = s[6];
    r.extend = (s[8] & 0x80) != 0;
    r.lbaLow = s[9];
    r.lbaMid = s[10];
    r.lbaHigh = s[11];
    return true;
  }
  if (infoEmpty && !address && plausibleStatus(s[9])) {
    r = AtaReturn{};
    r.error = s[8];
    r.status = s[9];
    r.device = s[10];
    r.count = s[11];
    const std::size_t end = senseEnd(s, len);
    if (end > 16) r.extend = (s[16] & 0x80) != 0;
    if (end > 17) r.lbaLow = s[17];
    if (end > 18) r.lbaMid = s[18];
    if (end > 19) r.lbaHigh = s[19];
    return true;
  }
  return false;
}

}  // namespace

bool FindAtaRegisters(const std::uint8_t* s, std::size_t len, AtaReturn& r) {
  if (s == nullptr || len < 8) return false;
  const std::uint8_t code = s[0] & 0x7F;
  if (isDescriptor(code)) return findInDescriptors(s, len, r);
  if (isFixed(code)) return findInFixed(s, len, r);
  return false;
}

bool FindCkCondSuccess(const std::uint8_t* s, std::size_t len, AtaReturn& r) {
  SenseData d;
  if (!ParseSense(s, len, d) || d.key != kRecoveredError || d.asc != kAscNone || d.ascq != kAscqAtaInfoAvailable)
    return false;
  AtaReturn found;
  if (!FindAtaRegisters(s, len, found) || (found.status & (kAtaStatusBsy | kAtaStatusErr)) != 0) return false;
  r = found;
  return true;
}

}  // namespace protocol
