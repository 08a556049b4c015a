// The system-information record's fields that come from the drive's knobs:
// controller error, 64-bit CE mask and its enable flag, toggle-chain bits, RDT
// loop counts, firmware version and build date.
#include "tests/emulator/DriveTestUtil.h"

namespace emu::test {
namespace {

class DriveSystemInfo : public DriveTest {
 protected:
  static Bytes Record(Drive& d) { return VRead(d, 0x13, 1); }
};

TEST_F(DriveSystemInfo, KnobsReachTheirFields) {
  DriveConfig cfg = SmallConfig();
  cfg.toggleAExBit = cfg.notToggleBit = cfg.toggleBBit = true;
  cfg.ceMask64Enable = 1;
  cfg.rdtLoops = 7;
  cfg.rdtFastPageLoops = 5;
  cfg.sysInfoFwVersion = "R311";
  cfg.sysInfoFwDate = "20250607B";
  Drive d(cfg);
  Ready(d);
  const Bytes s = Record(d);
  ExpectBytes(s, {{"0xDD", 0xDD, 0x04},
                  {"0xDE", 0xDE, 0x04},
                  {"0xE1", 0xE1, 0x80},
                  {"CE mask enable", 0x16A, 1},
                  {"RDT loops", 0x16D, 7},
                  {"RDT fast-page loops", 0x16E, 5}});
  EXPECT_EQ(Text(s, 0x15C, 13), "11R320250607B");  // "R311" from bytes 2, 3, 0, 1; the date
}

TEST_F(DriveSystemInfo, CeMaskHasOneBitPerCeInUse) {
  DriveConfig cfg = SmallConfig();
  cfg.cesPerChannel = 3;
  cfg.missingCes = {1};
  Drive d(cfg);
  Ready(d);
  EXPECT_EQ(Le32(Record(d), 0x148), 0x0705u);  // CEs 0, 2, 8, 9, 10
  EXPECT_EQ(Le32(Record(d), 0x14C), 0u);
  Bytes map(512, 0);
  map[0] = 0x04;
  map[1] = 0x01;
  ASSERT_TRUE(Ok(VWrite(d, 0x06, 1, map, 0, 0x01)));  // CE map: CEs 2 and 8
  EXPECT_EQ(Le32(Record(d), 0x148), 0x0104u);
}

TEST_F(DriveSystemInfo, ControllerErrorStaysUntilClearedOrSetToZero) {
  Drive d(SmallConfig());
  Ready(d);
  d.Faults().SetControllerError(0x1001, 0x80000005);
  EXPECT_EQ(Le32(Record(d), 0xFC), 0x80000005u);
  EXPECT_EQ(Le16(Record(d), 0x100), 0x1001u);  // a second read: still there
  d.Faults().SetControllerError(0, 0);
  EXPECT_EQ(Le16(Record(d), 0x100), 0u);
  d.Faults().SetControllerError(0x4, 0x3);
  d.Faults().Clear();
  EXPECT_EQ(Le32(Record(d), 0xFC), 0u);
}

}  // namespace
}  // namespace emu::test
