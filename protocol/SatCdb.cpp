#include "protocol/SatCdb.h"

namespace protocol {

bool IsSatDataProtocol(std::uint8_t p) {
  return p == kSatPioIn || p == kSatPioOut || p == kSatDma || p == kSatUdmaIn || p == kSatUdmaOut;
}

// ATA PASS-THROUGH (16)                  ATA PASS-THROUGH (12)
//  byte  bits  field                      byte  bits  field
//    0         OPERATION CODE (85h)         0         OPERATION CODE (A1h)
//    1   7:5   MULTIPLE_COUNT               1   7:5   MULTIPLE_COUNT
//    1   4:1   PROTOCOL                     1   4:1   PROTOCOL
//    1   0     EXTEND                       2         as in (16)
//    2   7:6   OFF_LINE                     3         FEATURES
//    2   5     CK_COND                      4         COUNT
//    2   4     T_TYPE                       5         LBA LOW
//    2   3     T_DIR                        6         LBA MID
//    2   2     BYT_BLOK                     7         LBA HIGH
//    2   1:0   T_LENGTH                     8         DEVICE
//    3         FEATURES (15:8)              9         COMMAND
//    4         FEATURES (7:0)              10         reserved
//    5         COUNT (15:8)                11         CONTROL
//    6         COUNT (7:0)
//    7         LBA LOW (15:8)
//    8         LBA LOW (7:0)
//    9         LBA MID (15:8)
//   10         LBA MID (7:0)
//   11         LBA HIGH (15:8)
//   12         LBA HIGH (7:0)
//   13         DEVICE
//   14         COMMAND
//   15         CONTROL
namespace {

std::uint8_t byte1(const SatCdb& c, bool extendBit) {
  return static_cast<std::uint8_t>((c.multipleCount & 0x07) << 5 | (c.protocol & 0x0F) << 1 |
                                   (extendBit && c.extend ? 0x01 : 0x00));
}

}  // namespace

void BuildSat16(const SatCdb& c, std::uint8_t cdb[16]) {
  const AtaTaskFile& r = c.regs;
  cdb[0] = kAtaPassThrough16;
  cdb[1] = byte1(c, true);
  cdb[2] = c.flags;
  cdb[3] = r.featuresExp;
  cdb[4] = r.features;
  cdb[5] = r.countExp;
  cdb[6] = r.count;
  cdb[7] = r.lbaLowExp;
  cdb[8] = r.lbaLow;
  cdb[9] = r.lbaMidExp;
  cdb[10] = r.lbaMid;
  cdb[11] = r.lbaHighExp;
  cdb[12] = r.lbaHigh;
  cdb[13] = r.device;
  cdb[14] = r.command;
  cdb[15] = c.control;
}

void BuildSat12(const SatCdb& c, std::uint8_t cdb[12]) {
  const AtaTaskFile& r = c.regs;
  cdb[0] = kAtaPassThrough12;
  cdb[1] = byte1(c, false);
  cdb[2] = c.flags;
  cdb[3] = r.features;
  cdb[4] = r.count;
  cdb[5] = r.lbaLow;
  cdb[6] = r.lbaMid;
  cdb[7] = r.lbaHigh;
  cdb[8] = r.device;
  cdb[9] = r.command;
  cdb[10] = 0;
  cdb[11] = c.control;
}

AtaTaskFile Sat12Registers(const std::uint8_t* cdb) {
  AtaTaskFile r;
  r.features = cdb[3];
  r.count = cdb[4];
  r.lbaLow = cdb[5];
  r.lbaMid = cdb[6];
  r.lbaHigh = cdb[7];
  r.device = cdb[8];
  r.command = cdb[9];
  return r;
}

bool ParseSatCdb(const std::uint8_t* cdb, std::size_t len, SatCdb& out) {
  if (cdb == nullptr || len == 0) return false;
  const bool is16 = cdb[0] == kAtaPassThrough16;
  if (!is16 && cdb[0] != kAtaPassThrough12) return false;
  if (len < (is16 ? 16u : 12u)) return false;
  out = SatCdb{};
  out.multipleCount = cdb[1] >> 5;
  out.protocol = (cdb[1] >> 1) & 0x0F;
  out.flags = cdb[2];
  if (!is16) {
    out.regs = Sat12Registers(cdb);
    out.control = cdb[11];
    return true;
  }
  AtaTaskFile& r = out.regs;
  out.extend = (cdb[1] & 0x01) != 0;
  r.featuresExp = cdb[3];
  r.features = cdb[4];
  r.countExp = cdb[5];
  r.count = cdb[6];
  r.lbaLowExp = cdb[7];
  r.lbaLow = cdb[8];
  r.lbaMidExp = cdb[9];
  r.lbaMid = cdb[10];
  r.lbaHighExp = cdb[11];
  r.lbaHigh = cdb[12];
  r.device = cdb[13];
  r.command = cdb[14];
  out.control = cdb[15];
  return true;
}

}  // namespace protocol
