// The ATA pass-through task files: the registers sent and the registers returned,
// every field at its byte.
#include "protocol/TaskFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "protocol/SatCdb.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The registers read, shown in an ATA PASS-THROUGH (16) CDB (tests/protocol/SatCdbTest.cpp).
Bytes Sent(bool ext) {
  const std::uint8_t current[8] = {0x11, 0x12, 0x13, 0x14, 0x15, 0xE6, 0x25, 0x99};
  const std::uint8_t previous[8] = {0x21, 0x22, 0x23, 0x24, 0x25, 0x98, 0x97, 0x96};
  protocol::SatCdb c;
  c.regs = protocol::ParseTaskFiles(current, previous, ext);
  std::uint8_t cdb[16];
  protocol::BuildSat16(c, cdb);
  return Bytes(cdb, cdb + 16);
}

TEST(TaskFiles, RegistersSentAtTheirBytes) {
  EXPECT_EQ(Bytes({0x85, 0x06, 0, 0x21, 0x11, 0x22, 0x12, 0x23, 0x13, 0x24, 0x14, 0x25, 0x15, 0xE6, 0x25, 0}),
            Sent(true));
  // A 28-bit request leaves the previous task file unread.
  EXPECT_EQ(Bytes({0x85, 0x06, 0, 0, 0x11, 0, 0x12, 0, 0x13, 0, 0x14, 0, 0x15, 0xE6, 0x25, 0}), Sent(false));
}

TEST(TaskFiles, RegistersReturnedAtTheirBytes) {
  protocol::AtaReturn r{true, 0x04, 0x01, 0x02, 0x03, 0x14, 0xA0, 0x51, 0x81, 0x82, 0x83, 0x84};
  std::uint8_t current[8], previous[8];
  std::fill(current, current + 8, 0xFF);
  std::fill(previous, previous + 8, 0xFF);
  protocol::WriteReturnTaskFiles(r, current, previous);
  EXPECT_EQ(Bytes({0x04, 0x01, 0x02, 0x03, 0x14, 0xA0, 0x51, 0x00}), Bytes(current, current + 8));
  EXPECT_EQ(Bytes({0x00, 0x81, 0x82, 0x83, 0x84, 0x00, 0x00, 0x00}), Bytes(previous, previous + 8));
  r.extend = false;  // the previous task file is zero
  protocol::WriteReturnTaskFiles(r, current, previous);
  EXPECT_EQ(Bytes(8, 0), Bytes(previous, previous + 8));
}

}  // namespace
