// The tester's 08 F2 71 and 48 forms and the register reply: every field at its
// byte, both ways.
#include "protocol/TesterForms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes k71 = {0x08, 0xF2, 0x71, 0x88, 0xC8, 0x11, 0x22, 0x33, 0x44, 0x55, 0xE6, 0x22};
const Bytes k48 = {0x08, 0xF2, 0x48, 0x25, 0x22, 0x82, 0x33, 0x44, 0x55, 0x83, 0x84, 0x85};

// Built from fields, then parsed and built again: the same bytes both times.
TEST(TesterForms, Form71FieldsAtTheirBytes) {
  const protocol::Tester71 t{protocol::kTesterDmaIn, {0x11, 0x22, 0x33, 0x44, 0x55, 0xE6, 0xC8}, 0x22};
  std::uint8_t cdb[protocol::kTesterFormLength];
  protocol::BuildTester71(t, cdb);
  EXPECT_EQ(k71, Bytes(cdb, cdb + 12));

  protocol::Tester71 back;
  ASSERT_TRUE(protocol::ParseTester71(k71.data(), k71.size(), back));
  protocol::BuildTester71(back, cdb);
  EXPECT_EQ(k71, Bytes(cdb, cdb + 12));
}

TEST(TesterForms, Form48FieldsAtTheirBytes) {
  // features and device have no byte in this form
  const protocol::AtaTaskFile r{0x00, 0x22, 0x33, 0x44, 0x55, 0x00, 0x25, 0x00, 0x82, 0x83, 0x84, 0x85};
  std::uint8_t cdb[protocol::kTesterFormLength];
  protocol::BuildTester48(r, cdb);
  EXPECT_EQ(k48, Bytes(cdb, cdb + 12));

  protocol::AtaTaskFile back;
  ASSERT_TRUE(protocol::ParseTester48(k48.data(), k48.size(), back));
  protocol::BuildTester48(back, cdb);
  EXPECT_EQ(k48, Bytes(cdb, cdb + 12));
}

TEST(TesterForms, WhichFormACdbIs) {
  const std::pair<const char*, Bytes> notForm71[] = {
      {"48", k48},
      {"71 cut to 11 bytes", Bytes(k71.begin(), k71.end() - 1)},
      {"ATA PASS-THROUGH (12)", {0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0, 0xEC, 0, 0}},
  };
  protocol::Tester71 t;
  EXPECT_TRUE(protocol::ParseTester71(k71.data(), k71.size(), t));
  for (const auto& [what, cdb] : notForm71) {
    SCOPED_TRACE(what);
    EXPECT_FALSE(protocol::ParseTester71(cdb.data(), cdb.size(), t));
  }
  EXPECT_TRUE(protocol::IsTesterForm(k48.data(), k48.size(), protocol::kTesterAta48));
  EXPECT_FALSE(protocol::IsTesterForm(k48.data(), 2, protocol::kTesterAta48));
}

// Built from registers, then parsed and built again: the same bytes both times.
TEST(TesterForms, RegisterReplyOfANonDataCommand) {
  const Bytes reply = {0x04, 0x01, 0x02, 0x03, 0x14, 0xA0, 0x51, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  // error, count, LBA low, mid, high, device, status; the high-order bytes have no place
  const protocol::AtaReturn r{true, 0x04, 0x01, 0x02, 0x03, 0x14, 0xA0, 0x51, 0x55, 0x66, 0x77, 0x88};
  std::uint8_t out[protocol::kTesterReplyLength];
  std::fill(out, out + 16, 0xFF);
  protocol::BuildTester71Reply(r, out);
  EXPECT_EQ(reply, Bytes(out, out + 16));

  protocol::AtaReturn back;
  ASSERT_TRUE(protocol::ParseTester71Reply(reply.data(), reply.size(), back));
  protocol::BuildTester71Reply(back, out);
  EXPECT_EQ(reply, Bytes(out, out + 16));
  EXPECT_FALSE(protocol::ParseTester71Reply(reply.data(), 6, back));
}

}  // namespace
