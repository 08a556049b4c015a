// The SAT ATA PASS-THROUGH (12) and (16) layouts: every field at its byte, both ways.
#include "protocol/SatCdb.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Every field a value of its own.
const Bytes kSat16 = {0x85, 0xB5, 0x2E, 0x81, 0x11, 0x82, 0x22, 0x83, 0x33, 0x84, 0x44, 0x85, 0x55, 0x66, 0x77, 0x99};
const Bytes kSat12 = {0xA1, 0xB4, 0x2E, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x00, 0x99};

TEST(SatCdb, BuildsEachFieldAtItsByte) {
  // protocol, extend, multiple count, byte 2, registers, control
  const protocol::SatCdb c{protocol::kSatUdmaIn, true, 5, 0x2E,
                           {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x81, 0x82, 0x83, 0x84, 0x85}, 0x99};
  std::uint8_t cdb[16];
  protocol::BuildSat16(c, cdb);
  EXPECT_EQ(kSat16, Bytes(cdb, cdb + 16));
  protocol::BuildSat12(c, cdb);  // no EXTEND, no high-order bytes
  EXPECT_EQ(kSat12, Bytes(cdb, cdb + 12));
}

// Parsed fields, built again, give back the bytes they were read from.
TEST(SatCdb, ParsesEachFieldFromItsByte) {
  protocol::SatCdb c;
  std::uint8_t cdb[16] = {};
  ASSERT_TRUE(protocol::ParseSatCdb(kSat16.data(), kSat16.size(), c));
  protocol::BuildSat16(c, cdb);
  EXPECT_EQ(kSat16, Bytes(cdb, cdb + 16));

  Bytes twelve = kSat12;
  twelve[1] |= 0x01;  // reserved in (12): no EXTEND
  ASSERT_TRUE(protocol::ParseSatCdb(twelve.data(), twelve.size(), c));
  EXPECT_FALSE(c.extend);
  protocol::BuildSat16(c, cdb);  // the high-order bytes stay zero
  EXPECT_EQ(Bytes({0x85, 0xB4, 0x2E, 0, 0x11, 0, 0x22, 0, 0x33, 0, 0x44, 0, 0x55, 0x66, 0x77, 0x99}),
            Bytes(cdb, cdb + 16));
}

TEST(SatCdb, OtherCommandsAndShortCdbsAreNone) {
  const std::pair<const char*, Bytes> rows[] = {
      {"(16) cut to 15 bytes", Bytes(kSat16.begin(), kSat16.end() - 1)},
      {"(12) cut to 11 bytes", Bytes(kSat12.begin(), kSat12.end() - 1)},
      {"the tester's 71 form", {0x08, 0xF2, 0x71, 0x01, 0xEC, 0, 1, 0, 0, 0, 0, 1}},
      {"nothing", {}},
  };
  for (const auto& [what, cdb] : rows) {
    SCOPED_TRACE(what);
    protocol::SatCdb c;
    EXPECT_FALSE(protocol::ParseSatCdb(cdb.data(), cdb.size(), c));
  }
}

TEST(SatCdb, DataProtocolsArePioDmaAndUdma) {
  const bool data[16] = {0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 1, 1, 0, 0, 0, 0};
  for (int p = 0; p < 16; ++p) {
    SCOPED_TRACE(p);
    EXPECT_EQ(data[p], protocol::IsSatDataProtocol(static_cast<std::uint8_t>(p)));
  }
}

}  // namespace
