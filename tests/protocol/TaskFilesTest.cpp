// The ATA pass-through task files: the registers sent and the registers returned,
// every field at its byte.
#include "protocol/TaskFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(TaskFiles, RegistersSentAtTheirBytes) {
  const std::uint8_t current[8] = {0x11, 0x12, 0x13, 0x14, 0x15, 0xE6, 0x25, 0x99};
  const std::uint8_t previous[8] = {0x21, 0x22, 0x23, 0x24, 0x25, 0x98, 0x97, 0x96};
  const protocol::AtaTaskFile r = protocol::ParseTaskFiles(current, previous, true);
  EXPECT_EQ(Bytes({r.features, r.count, r.lbaLow, r.lbaMid, r.lbaHigh, r.device, r.command}),
            Bytes({0x11, 0x12, 0x13, 0x14, 0x15, 0xE6, 0x25}));
  EXPECT_EQ(Bytes({r.featuresExp, r.countExp, r.lbaLowExp, r.lbaMidExp, r.lbaHighExp}),
            Bytes({0x21, 0x22, 0x23, 0x24, 0x25}));

  // A 28-bit request leaves the previous task file unread.
  const protocol::AtaTaskFile r28 = protocol::ParseTaskFiles(current, previous, false);
  EXPECT_EQ(r28.lbaHigh, 0x15);
  EXPECT_EQ(Bytes({r28.featuresExp, r28.countExp, r28.lbaLowExp, r28.lbaMidExp, r28.lbaHighExp}), Bytes(5, 0));
}

TEST(TaskFiles, RegistersReturnedAtTheirBytes) {
  protocol::AtaReturn r;
  r.extend = true;
  r.error = 0x04;
  r.count = 0x01;
  r.lbaLow = 0x02;
  r.lbaMid = 0x03;
  r.lbaHigh = 0x14;
  r.device = 0xA0;
  r.status = 0x51;
  r.countExp = 0x81;
  r.lbaLowExp = 0x82;
  r.lbaMidExp = 0x83;
  r.lbaHighExp = 0x84;
  std::uint8_t current[8];
  std::uint8_t previous[8];
  std::fill(std::begin(current), std::end(current), 0xFF);
  std::fill(std::begin(previous), std::end(previous), 0xFF);
  protocol::WriteReturnTaskFiles(r, current, previous);
  EXPECT_EQ(Bytes(current, current + 8), Bytes({0x04, 0x01, 0x02, 0x03, 0x14, 0xA0, 0x51, 0x00}));
  EXPECT_EQ(Bytes(previous, previous + 8), Bytes({0x00, 0x81, 0x82, 0x83, 0x84, 0x00, 0x00, 0x00}));

  // Without extend the previous task file is zero.
  r.extend = false;
  protocol::WriteReturnTaskFiles(r, current, previous);
  EXPECT_EQ(Bytes(previous, previous + 8), Bytes(8, 0));
}

}  // namespace
