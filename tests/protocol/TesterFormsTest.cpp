// The tester's 08 F2 71 and 48 forms and the register reply: every field at its
// byte, both ways.
#include "protocol/TesterForms.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes k71 = {0x08, 0xF2, 0x71, 0x88, 0xC8, 0x11, 0x22, 0x33, 0x44, 0x55, 0xE6, 0x22};
const Bytes k48 = {0x08, 0xF2, 0x48, 0x25, 0x22, 0x82, 0x33, 0x44, 0x55, 0x83, 0x84, 0x85};

TEST(TesterForms, Form71FieldsAtTheirBytes) {
  protocol::Tester71 t;
  t.protocol = protocol::kTesterDmaIn;
  t.regs.command = 0xC8;
  t.regs.features = 0x11;
  t.regs.count = 0x22;
  t.regs.lbaLow = 0x33;
  t.regs.lbaMid = 0x44;
  t.regs.lbaHigh = 0x55;
  t.regs.device = 0xE6;
  t.transfer = 0x22;
  std::uint8_t cdb[protocol::kTesterFormLength];
  protocol::BuildTester71(t, cdb);
  EXPECT_EQ(k71, Bytes(cdb, cdb + sizeof cdb));

  protocol::Tester71 back;
  ASSERT_TRUE(protocol::ParseTester71(k71.data(), k71.size(), back));
  EXPECT_EQ(0x88, back.protocol);
  EXPECT_EQ(0xC8, back.regs.command);
  EXPECT_EQ(0x11, back.regs.features);
  EXPECT_EQ(0x22, back.regs.count);
  EXPECT_EQ(0x33, back.regs.lbaLow);
  EXPECT_EQ(0x44, back.regs.lbaMid);
  EXPECT_EQ(0x55, back.regs.lbaHigh);
  EXPECT_EQ(0xE6, back.regs.device);
  EXPECT_EQ(0x22, back.transfer);
}

TEST(TesterForms, Form48FieldsAtTheirBytes) {
  protocol::AtaTaskFile r;
  r.command = 0x25;
  r.count = 0x22;
  r.countExp = 0x82;
  r.lbaLow = 0x33;
  r.lbaMid = 0x44;
  r.lbaHigh = 0x55;
  r.lbaLowExp = 0x83;
  r.lbaMidExp = 0x84;
  r.lbaHighExp = 0x85;
  std::uint8_t cdb[protocol::kTesterFormLength];
  protocol::BuildTester48(r, cdb);
  EXPECT_EQ(k48, Bytes(cdb, cdb + sizeof cdb));

  protocol::AtaTaskFile back;
  ASSERT_TRUE(protocol::ParseTester48(k48.data(), k48.size(), back));
  EXPECT_EQ(0x25, back.command);
  EXPECT_EQ(0x22, back.count);
  EXPECT_EQ(0x82, back.countExp);
  EXPECT_EQ(0x33, back.lbaLow);
  EXPECT_EQ(0x44, back.lbaMid);
  EXPECT_EQ(0x55, back.lbaHigh);
  EXPECT_EQ(0x83, back.lbaLowExp);
  EXPECT_EQ(0x84, back.lbaMidExp);
  EXPECT_EQ(0x85, back.lbaHighExp);
  EXPECT_EQ(0x00, back.features);
  EXPECT_EQ(0x00, back.device);
}

TEST(TesterForms, WhichFormACdbIs) {
  struct Row {
    const char* what;
    Bytes cdb;
    bool is71;
  };
  const Row rows[] = {
      {"71", k71, true},
      {"48", k48, false},
      {"71 cut to 11 bytes", Bytes(k71.begin(), k71.end() - 1), false},
      {"another family", {0x08, 0xF3, 0x71, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
      {"ATA PASS-THROUGH (12)", {0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0, 0xEC, 0, 0}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    protocol::Tester71 t;
    EXPECT_EQ(row.is71, protocol::ParseTester71(row.cdb.data(), row.cdb.size(), t));
  }
  EXPECT_TRUE(protocol::IsTesterForm(k48.data(), k48.size(), protocol::kTesterAta48));
  EXPECT_FALSE(protocol::IsTesterForm(k48.data(), 2, protocol::kTesterAta48));
}

TEST(TesterForms, RegisterReplyOfANonDataCommand) {
  const Bytes reply = {0x04, 0x01, 0x02, 0x03, 0x04, 0xA0, 0x51, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  protocol::AtaReturn r;
  ASSERT_TRUE(protocol::ParseTester71Reply(reply.data(), reply.size(), r));
  EXPECT_EQ(0x04, r.error);
  EXPECT_EQ(0x01, r.count);
  EXPECT_EQ(0x02, r.lbaLow);
  EXPECT_EQ(0x03, r.lbaMid);
  EXPECT_EQ(0x04, r.lbaHigh);
  EXPECT_EQ(0xA0, r.device);
  EXPECT_EQ(0x51, r.status);
  EXPECT_FALSE(protocol::ParseTester71Reply(reply.data(), 6, r));
}

}  // namespace
