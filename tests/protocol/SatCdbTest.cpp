// The SAT ATA PASS-THROUGH (12) and (16) layouts: every field at its byte, both
// ways.
#include "protocol/SatCdb.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Every field a value of its own.
protocol::SatCdb Fields() {
  protocol::SatCdb c;
  c.multipleCount = 5;
  c.protocol = protocol::kSatUdmaIn;
  c.extend = true;
  c.flags = 0x2E;
  c.regs.features = 0x11;
  c.regs.count = 0x22;
  c.regs.lbaLow = 0x33;
  c.regs.lbaMid = 0x44;
  c.regs.lbaHigh = 0x55;
  c.regs.device = 0x66;
  c.regs.command = 0x77;
  c.regs.featuresExp = 0x81;
  c.regs.countExp = 0x82;
  c.regs.lbaLowExp = 0x83;
  c.regs.lbaMidExp = 0x84;
  c.regs.lbaHighExp = 0x85;
  c.control = 0x99;
  return c;
}

const Bytes kSat16 = {0x85, 0xB5, 0x2E, 0x81, 0x11, 0x82, 0x22, 0x83, 0x33, 0x84, 0x44, 0x85, 0x55, 0x66, 0x77, 0x99};
const Bytes kSat12 = {0xA1, 0xB4, 0x2E, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x00, 0x99};

TEST(SatCdb, BuildsEachFieldAtItsByte) {
  std::uint8_t cdb[16];
  protocol::BuildSat16(Fields(), cdb);
  EXPECT_EQ(kSat16, Bytes(cdb, cdb + 16));
  protocol::BuildSat12(Fields(), cdb);  // no EXTEND, no high-order bytes
  EXPECT_EQ(kSat12, Bytes(cdb, cdb + 12));
}

void CheckFields(const protocol::SatCdb& c, bool is16) {
  EXPECT_EQ(5, c.multipleCount);
  EXPECT_EQ(protocol::kSatUdmaIn, c.protocol);
  EXPECT_EQ(is16, c.extend);
  EXPECT_EQ(0x2E, c.flags);
  EXPECT_EQ(0x11, c.regs.features);
  EXPECT_EQ(0x22, c.regs.count);
  EXPECT_EQ(0x33, c.regs.lbaLow);
  EXPECT_EQ(0x44, c.regs.lbaMid);
  EXPECT_EQ(0x55, c.regs.lbaHigh);
  EXPECT_EQ(0x66, c.regs.device);
  EXPECT_EQ(0x77, c.regs.command);
  EXPECT_EQ(is16 ? 0x81 : 0, c.regs.featuresExp);
  EXPECT_EQ(is16 ? 0x82 : 0, c.regs.countExp);
  EXPECT_EQ(is16 ? 0x83 : 0, c.regs.lbaLowExp);
  EXPECT_EQ(is16 ? 0x84 : 0, c.regs.lbaMidExp);
  EXPECT_EQ(is16 ? 0x85 : 0, c.regs.lbaHighExp);
  EXPECT_EQ(0x99, c.control);
}

TEST(SatCdb, ParsesEachFieldFromItsByte) {
  protocol::SatCdb c;
  {
    SCOPED_TRACE("(16)");
    ASSERT_TRUE(protocol::ParseSatCdb(kSat16.data(), kSat16.size(), c));
    CheckFields(c, true);
  }
  {
    SCOPED_TRACE("(12)");
    Bytes cdb = kSat12;
    cdb[1] |= 0x01;  // reserved in (12): no EXTEND
    ASSERT_TRUE(protocol::ParseSatCdb(cdb.data(), cdb.size(), c));
    CheckFields(c, false);
  }
}

TEST(SatCdb, OtherCommandsAndShortCdbsAreNone) {
  struct Row {
    const char* what;
    Bytes cdb;
  };
  const Row rows[] = {
      {"(16) cut to 15 bytes", Bytes(kSat16.begin(), kSat16.end() - 1)},
      {"(12) cut to 11 bytes", Bytes(kSat12.begin(), kSat12.end() - 1)},
      {"the tester's 71 form", {0x08, 0xF2, 0x71, 0x01, 0xEC, 0, 1, 0, 0, 0, 0, 1}},
      {"INQUIRY", {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0}},
      {"nothing", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    protocol::SatCdb c;
    EXPECT_FALSE(protocol::ParseSatCdb(row.cdb.data(), row.cdb.size(), c));
  }
}

TEST(SatCdb, TwelveByteRegistersWhateverTheOperationCode) {
  const std::uint8_t cdb[16] = {0x08, 0xF2, 0x71, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  const protocol::AtaTaskFile r = protocol::Sat12Registers(cdb);
  EXPECT_EQ(0x11, r.features);
  EXPECT_EQ(0x22, r.count);
  EXPECT_EQ(0x33, r.lbaLow);
  EXPECT_EQ(0x44, r.lbaMid);
  EXPECT_EQ(0x55, r.lbaHigh);
  EXPECT_EQ(0x66, r.device);
  EXPECT_EQ(0x77, r.command);
}

TEST(SatCdb, DataProtocols) {
  for (int p = 0; p < 16; ++p) {
    SCOPED_TRACE(p);
    const bool data = p == 4 || p == 5 || p == 6 || p == 10 || p == 11;
    EXPECT_EQ(data, protocol::IsSatDataProtocol(static_cast<std::uint8_t>(p)));
  }
}

}  // namespace
