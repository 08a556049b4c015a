#include "protocol/TesterForms.h"

#include <cstring>

namespace protocol {

bool IsTesterForm(const std::uint8_t* cdb, std::size_t len, std::uint8_t form) {
  return cdb != nullptr && len >= 3 && cdb[0] == kTesterOpcode && cdb[1] == kTesterFamily && cdb[2] == form;
}

// 08 F2 71: 28-bit ATA command         08 F2 48: 48-bit ATA command
//  byte  field                         byte  field
//    0   08h                             0   08h
//    1   F2h                             1   F2h
//    2   71h                             2   48h
//    3   PROTOCOL (kTester*)             3   COMMAND (implies the protocol)
//    4   COMMAND                         4   COUNT (7:0)
//    5   FEATURES                        5   COUNT (15:8)
//    6   COUNT                           6   LBA (7:0)
//    7   LBA LOW                         7   LBA (15:8)
//    8   LBA MID                         8   LBA (23:16)
//    9   LBA HIGH                        9   LBA (31:24)
//   10   DEVICE                         10   LBA (39:32)
//   11   TRANSFER: sectors moved; on    11   LBA (47:40)
//        a non-data command, nonzero
//        asks for the register reply
void BuildTester71(const Tester71& t, std::uint8_t cdb[kTesterFormLength]) {
  cdb[0] = kTesterOpcode;
  cdb[1] = kTesterFamily;
  cdb[2] = kTesterAta28;
  cdb[3] = t.protocol;
  cdb[4] = t.regs.command;
  cdb[5] = t.regs.features;
  cdb[6] = t.regs.count;
  cdb[7] = t.regs.lbaLow;
  cdb[8] = t.regs.lbaMid;
  cdb[9] = t.regs.lbaHigh;
  cdb[10] = t.regs.device;
  cdb[11] = t.transfer;
}

bool ParseTester71(const std::uint8_t* cdb, std::size_t len, Tester71& out) {
  if (!IsTesterForm(cdb, len, kTesterAta28) || len < kTesterFormLength) return false;
  out = Tester71{};
  out.protocol = cdb[3];
  out.regs.command = cdb[4];
  out.regs.features = cdb[5];
  out.regs.count = cdb[6];
  out.regs.lbaLow = cdb[7];
  out.regs.lbaMid = cdb[8];
  out.regs.lbaHigh = cdb[9];
  out.regs.device = cdb[10];
  out.transfer = cdb[11];
  return true;
}

void BuildTester48(const AtaTaskFile& r, std::uint8_t cdb[kTesterFormLength]) {
  cdb[0] = kTesterOpcode;
  cdb[1] = kTesterFamily;
  cdb[2] = kTesterAta48;
  cdb[3] = r.command;
  cdb[4] = r.count;
  cdb[5] = r.countExp;
  cdb[6] = r.lbaLow;
  cdb[7] = r.lbaMid;
  cdb[8] = r.lbaHigh;
  cdb[9] = r.lbaLowExp;
  cdb[10] = r.lbaMidExp;
  cdb[11] = r.lbaHighExp;
}

bool ParseTester48(const std::uint8_t* cdb, std::size_t len, AtaTaskFile& out) {
  if (cdb == nullptr || len < kTesterFormLength) return false;
  out = AtaTaskFile{};
  out.command = cdb[3];
  out.count = cdb[4];
  out.countExp = cdb[5];
  out.lbaLow = cdb[6];
  out.lbaMid = cdb[7];
  out.lbaHigh = cdb[8];
  out.lbaLowExp = cdb[9];
  out.lbaMidExp = cdb[10];
  out.lbaHighExp = cdb[11];
  return true;
}

// Register reply of a non-data 71 (16 bytes)
//  byte  field
//    0   ERROR
//    1   COUNT
//    2   LBA LOW
//    3   LBA MID
//    4   LBA HIGH
//    5   DEVICE
//    6   STATUS
//  7-15  0
void BuildTester71Reply(const AtaReturn& r, std::uint8_t reply[kTesterReplyLength]) {
  std::memset(reply, 0, kTesterReplyLength);
  reply[0] = r.error;
  reply[1] = r.count;
  reply[2] = r.lbaLow;
  reply[3] = r.lbaMid;
  reply[4] = r.lbaHigh;
  reply[5] = r.device;
  reply[6] = r.status;
}

bool ParseTester71Reply(const std::uint8_t* reply, std::size_t len, AtaReturn& out) {
  if (reply == nullptr || len < 7) return false;
  out = AtaReturn{};
  out.error = reply[0];
  out.count = reply[1];
  out.lbaLow = reply[2];
  out.lbaMid = reply[3];
  out.lbaHigh = reply[4];
  out.device = reply[5];
  out.status = reply[6];
  return true;
}

}  // namespace protocol
