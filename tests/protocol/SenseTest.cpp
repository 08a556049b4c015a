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
    bool found, descriptor;
    int key, asc, ascq;
  };
  const Row rows[] = {
      {"fixed, current", {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x01}, true, false, 0x05, 0x24, 0x01},
      {"fixed, deferred, VALID set", {0xF1, 0, 0x13, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x11}, true, false, 0x03, 0x11, 0},
      {"fixed, cut before the ASC", {0x70, 0, 0x06}, true, false, 0x06, 0, 0},
      {"descriptor, deferred", {0x73, 0x02, 0x04, 0x02}, true, true, 0x02, 0x04, 0x02},
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

TEST(Sense, WrittenAsTheEmulatorReturnsIt) {
  std::uint8_t s[protocol::kFixedSenseLength];
  protocol::WriteFixedSense(s, protocol::kIllegalRequest, protocol::kAscInvalidField, 0x00);
  protocol::SetFieldPointer(s, true, 0x0102, 3);
  EXPECT_EQ(Bytes({0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00, 0, 0xCB, 0x01, 0x02}), Bytes(s, s + 18));
  protocol::SetFieldPointer(s, false, 7, -1);  // in the parameter data, no bit
  EXPECT_EQ(Bytes({0x80, 0x00, 0x07}), Bytes(s + 15, s + 18));
  protocol::WriteDescriptorSenseHeader(s, 0x1B, 0x00, 0x1D, 14);
  EXPECT_EQ(Bytes({0x72, 0x0B, 0x00, 0x1D, 0, 0, 0, 14}), Bytes(s, s + 8));

  // The ATA status return descriptor: high-order bytes only when extended.
  protocol::AtaReturn r{true, 0x04, 0x11, 0x22, 0x33, 0x44, 0xE0, 0x51, 0x55, 0x66, 0x77, 0x88};
  protocol::WriteAtaReturnDescriptor(r, s);
  EXPECT_EQ(Bytes({0x09, 0x0C, 0x01, 0x04, 0x55, 0x11, 0x66, 0x22, 0x77, 0x33, 0x88, 0x44, 0xE0, 0x51}),
            Bytes(s, s + 14));
  r.extend = false;
  protocol::WriteAtaReturnDescriptor(r, s);
  EXPECT_EQ(Bytes({0x09, 0x0C, 0x00, 0x04, 0x00, 0x11, 0x00, 0x22, 0x00, 0x33, 0x00, 0x44, 0xE0, 0x51}),
            Bytes(s, s + 14));
}

// An information descriptor and a 09h too short to hold STATUS come before the
// ATA status return descriptor: the walk steps over both.
const Bytes kDescriptorSense = {0x72, 0x0B, 0x00, 0x1D, 0, 0, 0, 38,                  // header
                                0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0,          // information
                                0x09, 0x0A, 0x00, 0x7E, 0, 0, 0, 0, 0, 0, 0, 0,       // short 09h
                                0x09, 0x0C, 0x01, 0x04, 0x01, 0x7F, 0x02, 0x11, 0x03, 0x22, 0x04, 0x33, 0xE0, 0x51};

// The registers found, written again, give back the descriptor they came from.
TEST(AtaRegisters, DescriptorFormatIsWalkedToTheStatusReturnDescriptor) {
  protocol::AtaReturn r;
  ASSERT_TRUE(protocol::FindAtaRegisters(kDescriptorSense.data(), kDescriptorSense.size(), r));
  std::uint8_t d[protocol::kAtaReturnDescriptorLength];
  protocol::WriteAtaReturnDescriptor(r, d);
  EXPECT_EQ(Bytes(kDescriptorSense.end() - 14, kDescriptorSense.end()), Bytes(d, d + 14));
}

TEST(AtaRegisters, NoneInSenseWithoutAWholeStatusReturnDescriptorOrPlausibleFixedLayout) {
  Bytes runsPast = kDescriptorSense, tooShort = kDescriptorSense;
  runsPast[9] = 0xF0;   // the first descriptor claims to run past the end
  tooShort[33] = 0x0B;  // 13 bytes: too short to hold STATUS
  const Bytes libataBusy = {0x70, 0, 0x0B, 0, 0, 0, 0, 0x0A, 0x04, 0xD0, 0xA0, 0x34, 0, 0, 0, 0, 0, 0x56};
  const std::pair<const char*, Bytes> rows[] = {
      {"descriptor cut inside the ATA descriptor", Bytes(kDescriptorSense.begin(), kDescriptorSense.end() - 1)},
      {"a descriptor running past the end", runsPast},
      {"an ATA descriptor too short", tooShort},
      {"no 09h descriptor", {0x72, 0x05, 0x20, 0x00, 0, 0, 0, 0}},
      {"fixed SAT layout cut before LBA (23:16)", {0x70, 0, 0x01, 0x00, 0x50, 0xA0, 0xFF, 10, 0x80, 0x11, 0x22}},
      {"fixed libata layout with a busy status", libataBusy},
      {"fixed libata layout cut before the status", Bytes(libataBusy.begin(), libataBusy.begin() + 9)},
      {"MEDIUM ERROR with an address in INFORMATION", {0xF0, 0, 0x03, 0, 0x41, 0x22, 0x10, 10, 0, 0, 0, 0, 0x11, 0}},
      {"ILLEGAL REQUEST from a target without SAT", {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0}},
  };
  for (const auto& [what, sense] : rows) {
    SCOPED_TRACE(what);
    protocol::AtaReturn r;
    EXPECT_FALSE(protocol::FindAtaRegisters(sense.data(), sense.size(), r));
  }
}

// Fixed format, in the SAT layout (registers from byte 3) or Linux 6.1 libata's
// (from byte 8, 18 bytes in all, as dumped under the QEMU kernel test).
TEST(AtaRegisters, FixedFormatInEitherLayout) {
  struct Row {
    const char* what;
    Bytes sense;
    int error, status, device, count, lbaLow, lbaMid, lbaHigh;
    bool extend;
  };
  const Row rows[] = {
      {"SAT: CK_COND, 00/1D", {0x70, 0, 0x01, 0x00, 0x50, 0xA0, 0xFF, 10, 0x80, 0x11, 0x22, 0x33, 0x00, 0x1D},
       0x00, 0x50, 0xA0, 0xFF, 0x11, 0x22, 0x33, true},
      {"SAT: ABORTED COMMAND with ERR", {0x70, 0, 0x0B, 0x04, 0x51, 0xA0, 0, 10, 0, 0, 0, 0, 0, 0},
       0x04, 0x51, 0xA0, 0, 0, 0, 0, false},
      {"SAT: 00/1D vouches for an implausible status", {0x70, 0, 0x01, 0, 0x80, 0xA0, 0x01, 10, 0, 0, 0, 0, 0, 0x1D},
       0x00, 0x80, 0xA0, 0x01, 0, 0, 0, false},
      {"libata 28-bit: LBA (15:8) and (23:16) not delivered",
       {0x70, 0, 0x0B, 0, 0, 0, 0, 0x0A, 0x04, 0x41, 0xA0, 0x34, 0, 0, 0, 0, 0x00, 0x56},
       0x04, 0x41, 0xA0, 0x34, 0x56, 0, 0, false},
      {"libata 48-bit", {0x70, 0, 0x0B, 0, 0, 0, 0, 0x0A, 0x04, 0x41, 0x40, 0x01, 0, 0, 0, 0, 0xE0, 0x00},
       0x04, 0x41, 0x40, 0x01, 0x00, 0, 0, true},
      {"libata, twenty bytes",
       {0x70, 0, 0x0B, 0, 0, 0, 0, 0x0C, 0x04, 0x41, 0xA0, 0x34, 0, 0, 0, 0, 0, 0x56, 0x78, 0x9A},
       0x04, 0x41, 0xA0, 0x34, 0x56, 0x78, 0x9A, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    protocol::AtaReturn r;
    const bool found = protocol::FindAtaRegisters(row.sense.data(), row.sense.size(), r);
    EXPECT_TRUE(found);
    if (!found) continue;
    EXPECT_EQ(row.error, r.error);
    EXPECT_EQ(row.status, r.status);
    EXPECT_EQ(row.device, r.device);
    EXPECT_EQ(row.count, r.count);
    EXPECT_EQ(row.lbaLow, r.lbaLow);
    EXPECT_EQ(row.lbaMid, r.lbaMid);
    EXPECT_EQ(row.lbaHigh, r.lbaHigh);
    EXPECT_EQ(row.extend, r.extend);
  }
}

// A CK_COND success: RECOVERED ERROR, 00/1D and registers free of ERR and BSY;
// the first row as libata answered SMART RETURN STATUS under the QEMU kernel test.
TEST(AtaRegisters, CkCondSuccess) {
  const Bytes libata = {0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 0x0E, 0x09, 0x0C, 0, 0,    0,
                        0,    0,    0,    0,    0x4F, 0, 0xC2, 0xA0, 0x50};
  Bytes withErr = libata, aborted = libata, otherAscq = libata;
  withErr[21] = 0x51, aborted[1] = 0x0B, otherAscq[3] = 0x00;
  const struct {
    const char* what;
    Bytes sense;
    bool success;
  } rows[] = {
      {"libata, descriptor", libata, true},
      {"fixed, SAT layout", {0x70, 0, 0x01, 0x00, 0x50, 0xA0, 0x00, 10, 0, 0x00, 0x4F, 0xC2, 0x00, 0x1D}, true},
      {"status with ERR", withErr, false},
      {"ABORTED COMMAND", aborted, false},
      {"another ASCQ", otherAscq, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    protocol::AtaReturn r;
    EXPECT_EQ(protocol::FindCkCondSuccess(row.sense.data(), row.sense.size(), r), row.success);
    EXPECT_EQ(r.lbaMid, row.success ? 0x4F : 0);
  }
}

}  // namespace
