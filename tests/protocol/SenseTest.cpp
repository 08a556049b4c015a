// Sense data: key and additional sense code of both formats, the sense the
// emulator writes, and the ATA registers found in what bridges and libata return.
#include "protocol/Sense.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Sense, KeyAndAdditionalSenseCodeOfEitherFormat) {
  struct Row {
    const char* what;
    Bytes sense;
    bool found;
    bool descriptor;
    int key, asc, ascq;
  };
  const Row rows[] = {
      {"fixed, current", {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x01}, true, false, 0x05, 0x24, 0x01},
      {"fixed, deferred, VALID set", {0xF1, 0, 0x13, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x11}, true, false, 0x03, 0x11, 0},
      {"fixed, cut before the ASC", {0x70, 0, 0x06}, true, false, 0x06, 0, 0},
      {"descriptor, current", {0x72, 0x0B, 0x00, 0x1D, 0, 0, 0, 0}, true, true, 0x0B, 0x00, 0x1D},
      {"descriptor, deferred", {0x73, 0x02, 0x04, 0x02}, true, true, 0x02, 0x04, 0x02},
      {"fixed, too short for the key", {0x70, 0}, false, false, 0, 0, 0},
      {"vendor response code", {0x7F, 0x05, 0x24, 0x00, 0, 0, 0, 0}, false, false, 0, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    protocol::SenseData d;
    EXPECT_EQ(row.found, protocol::ParseSense(row.sense.data(), row.sense.size(), d));
    EXPECT_EQ(row.descriptor, d.descriptor);
    EXPECT_EQ(row.key, d.key);
    EXPECT_EQ(row.asc, d.asc);
    EXPECT_EQ(row.ascq, d.ascq);
  }
}

TEST(Sense, FixedSenseWithAFieldPointer) {
  std::uint8_t s[protocol::kFixedSenseLength];
  protocol::WriteFixedSense(s, protocol::kIllegalRequest, protocol::kAscInvalidField, 0x00);
  protocol::SetFieldPointer(s, true, 0x0102, 3);
  EXPECT_EQ(Bytes({0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00, 0, 0xCB, 0x01, 0x02}),
            Bytes(s, s + sizeof s));
  protocol::SetFieldPointer(s, false, 7, -1);  // in the parameter data, no bit
  EXPECT_EQ(Bytes({0x80, 0x00, 0x07}), Bytes(s + 15, s + 18));
}

TEST(Sense, DescriptorSenseHeader) {
  std::uint8_t s[protocol::kDescriptorSenseHeader];
  protocol::WriteDescriptorSenseHeader(s, 0x1B, 0x00, 0x1D, 14);
  EXPECT_EQ(Bytes({0x72, 0x0B, 0x00, 0x1D, 0, 0, 0, 14}), Bytes(s, s + sizeof s));
}

protocol::AtaReturn Registers(bool extend) {
  protocol::AtaReturn r;
  r.extend = extend;
  r.error = 0x04;
  r.count = 0x11;
  r.lbaLow = 0x22;
  r.lbaMid = 0x33;
  r.lbaHigh = 0x44;
  r.device = 0xE0;
  r.status = 0x51;
  r.countExp = 0x55;
  r.lbaLowExp = 0x66;
  r.lbaMidExp = 0x77;
  r.lbaHighExp = 0x88;
  return r;
}

TEST(AtaReturnDescriptor, WrittenWithTheHighOrderBytesOnlyWhenExtended) {
  std::uint8_t d[protocol::kAtaReturnDescriptorLength];
  protocol::WriteAtaReturnDescriptor(Registers(true), d);
  EXPECT_EQ(Bytes({0x09, 0x0C, 0x01, 0x04, 0x55, 0x11, 0x66, 0x22, 0x77, 0x33, 0x88, 0x44, 0xE0, 0x51}),
            Bytes(d, d + sizeof d));
  protocol::WriteAtaReturnDescriptor(Registers(false), d);
  EXPECT_EQ(Bytes({0x09, 0x0C, 0x00, 0x04, 0x00, 0x11, 0x00, 0x22, 0x00, 0x33, 0x00, 0x44, 0xE0, 0x51}),
            Bytes(d, d + sizeof d));
}

// Descriptor-format sense with an information descriptor before the ATA status
// return descriptor, so that the walk has to step over it.
Bytes DescriptorSense() {
  return {0x72, 0x0B, 0x00, 0x1D, 0, 0, 0, 26,
          0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0,
          0x09, 0x0C, 0x01, 0x04, 0x01, 0x7F, 0x02, 0x11, 0x03, 0x22, 0x04, 0x33, 0xE0, 0x51};
}

TEST(AtaRegisters, DescriptorFormatIsWalkedToTheStatusReturnDescriptor) {
  const Bytes s = DescriptorSense();
  protocol::AtaReturn r;
  ASSERT_TRUE(protocol::FindAtaRegisters(s.data(), s.size(), r));
  EXPECT_TRUE(r.extend);
  EXPECT_EQ(0x04, r.error);
  EXPECT_EQ(0x7F, r.count);
  EXPECT_EQ(0x11, r.lbaLow);
  EXPECT_EQ(0x22, r.lbaMid);
  EXPECT_EQ(0x33, r.lbaHigh);
  EXPECT_EQ(0xE0, r.device);
  EXPECT_EQ(0x51, r.status);
  EXPECT_EQ(0x01, r.countExp);
  EXPECT_EQ(0x02, r.lbaLowExp);
  EXPECT_EQ(0x03, r.lbaMidExp);
  EXPECT_EQ(0x04, r.lbaHighExp);
}

TEST(AtaRegisters, AShortStatusReturnDescriptorIsSteppedOver) {
  const Bytes s = {0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 26,
                   0x09, 0x0A, 0x00, 0x7E, 0, 0, 0, 0, 0, 0, 0, 0,
                   0x09, 0x0C, 0x00, 0x00, 0, 0x05, 0, 0, 0, 0, 0, 0, 0xA0, 0x50};
  protocol::AtaReturn r;
  ASSERT_TRUE(protocol::FindAtaRegisters(s.data(), s.size(), r));
  EXPECT_EQ(0x05, r.count);
  EXPECT_EQ(0x50, r.status);
}

TEST(AtaRegisters, DescriptorFormatWithoutAWholeStatusReturnDescriptor) {
  struct Row {
    const char* what;
    Bytes sense;
  };
  const Bytes whole = DescriptorSense();
  Bytes runsPast = whole;
  runsPast[9] = 0xF0;  // the first descriptor claims to run past the end
  Bytes shortDescriptor = whole;
  shortDescriptor[21] = 0x0B;  // 13 bytes: too short to hold STATUS
  const Row rows[] = {
      {"cut inside the ATA descriptor", Bytes(whole.begin(), whole.end() - 1)},
      {"a descriptor running past the end", runsPast},
      {"an ATA descriptor too short", shortDescriptor},
      {"no 09h descriptor", {0x72, 0x05, 0x20, 0x00, 0, 0, 0, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    protocol::AtaReturn r;
    EXPECT_FALSE(protocol::FindAtaRegisters(row.sense.data(), row.sense.size(), r));
  }
}

// Fixed format: rows of sense and the registers found, or none.
struct FixedRow {
  const char* what;
  Bytes sense;
  bool found;
  int error = 0, status = 0, device = 0, count = 0, lbaLow = 0, lbaMid = 0, lbaHigh = 0;
  bool extend = false;
};

void CheckFixed(const FixedRow& row) {
  SCOPED_TRACE(row.what);
  protocol::AtaReturn r;
  ASSERT_EQ(row.found, protocol::FindAtaRegisters(row.sense.data(), row.sense.size(), r));
  if (!row.found) return;
  EXPECT_EQ(row.error, r.error);
  EXPECT_EQ(row.status, r.status);
  EXPECT_EQ(row.device, r.device);
  EXPECT_EQ(row.count, r.count);
  EXPECT_EQ(row.lbaLow, r.lbaLow);
  EXPECT_EQ(row.lbaMid, r.lbaMid);
  EXPECT_EQ(row.lbaHigh, r.lbaHigh);
  EXPECT_EQ(row.extend, r.extend);
}

TEST(AtaRegisters, FixedFormatInTheSatLayoutOnlyWhenItCarriesRegisters) {
  const Bytes ck = {0x70, 0, 0x01, 0x00, 0x50, 0xA0, 0xFF, 10, 0x80, 0x11, 0x22, 0x33, 0x00, 0x1D};
  const FixedRow rows[] = {
      {"CK_COND: RECOVERED ERROR, 00/1D", ck, true, 0x00, 0x50, 0xA0, 0xFF, 0x11, 0x22, 0x33, true},
      {"a device error: ABORTED COMMAND with ERR in the status",
       {0x70, 0, 0x0B, 0x04, 0x51, 0xA0, 0x00, 10, 0, 0, 0, 0, 0x00, 0x00}, true, 0x04, 0x51, 0xA0, 0, 0, 0, 0,
       false},
      {"00/1D vouches for a status that is not plausible",
       {0x70, 0, 0x01, 0x00, 0x80, 0xA0, 0x01, 10, 0, 0, 0, 0, 0x00, 0x1D}, true, 0x00, 0x80, 0xA0, 0x01, 0, 0, 0,
       false},
      {"MEDIUM ERROR with an address in INFORMATION",
       {0xF0, 0, 0x03, 0x00, 0x41, 0x22, 0x10, 10, 0, 0, 0, 0, 0x11, 0x00}, false},
      {"ILLEGAL REQUEST from a target without ATA pass-through",
       {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00}, false},
      {"too short to hold LBA (23:16)", Bytes(ck.begin(), ck.begin() + 11), false},
      {"an additional length below the command-specific information",
       {0x70, 0, 0x01, 0x00, 0x50, 0xA0, 0xFF, 3, 0, 0, 0, 0}, false},
  };
  for (const FixedRow& row : rows) CheckFixed(row);
}

// Linux 6.1's libata after a failed command: ABORTED COMMAND 00/00, registers
// from byte 8, 18 bytes in all (as dumped under the QEMU kernel test).
TEST(AtaRegisters, FixedFormatInLinux61LibataLayout) {
  const Bytes unknown28 = {0x70, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x04,
                           0x41, 0xA0, 0x34, 0x00, 0x00, 0x00, 0x00, 0x00, 0x56};
  Bytes longer = unknown28;  // twenty bytes, should a kernel report them
  longer[7] = 0x0C;
  longer.push_back(0x78);
  longer.push_back(0x9A);
  Bytes busy = unknown28;
  busy[9] = 0xD0;
  const FixedRow rows[] = {
      {"28-bit: LBA (15:8) and (23:16) not delivered", unknown28, true, 0x04, 0x41, 0xA0, 0x34, 0x56, 0, 0, false},
      {"48-bit", {0x70, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x04, 0x41, 0x40, 0x01, 0, 0, 0, 0, 0xE0, 0x00},
       true, 0x04, 0x41, 0x40, 0x01, 0x00, 0, 0, true},
      {"twenty bytes", longer, true, 0x04, 0x41, 0xA0, 0x34, 0x56, 0x78, 0x9A, false},
      {"cut before the status", Bytes(unknown28.begin(), unknown28.begin() + 9), false},
      {"a busy status", busy, false},
  };
  for (const FixedRow& row : rows) CheckFixed(row);
}

}  // namespace
