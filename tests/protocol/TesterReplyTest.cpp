// The register reply of a non-data 08 F2 71, as the tester builds it.
#include "protocol/TesterForms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(TesterReply, BuiltWithEveryRegisterAtItsByte) {
  protocol::AtaReturn r;
  r.error = 0x04;
  r.count = 0x01;
  r.lbaLow = 0x02;
  r.lbaMid = 0x03;
  r.lbaHigh = 0x14;
  r.device = 0xA0;
  r.status = 0x51;
  std::uint8_t reply[protocol::kTesterReplyLength];
  std::fill(std::begin(reply), std::end(reply), 0xFF);
  protocol::BuildTester71Reply(r, reply);
  EXPECT_EQ(Bytes(reply, reply + sizeof reply),
            Bytes({0x04, 0x01, 0x02, 0x03, 0x14, 0xA0, 0x51, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

}  // namespace
