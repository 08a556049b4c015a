// A bad chunk spoils the verdict of the whole binfile transfer, not only its own.
#include "tests/emulator/DriveTestUtil.h"

namespace emu::test {
namespace {

using FirmwareLoad = DriveTest;

TEST_F(FirmwareLoad, ABadFirstChunkSpoilsTheTransferVerdict) {
  for (const bool bad : {false, true}) {
    SCOPED_TRACE(bad);
    Drive d(SmallConfig(RunningCode::Mcode));
    Ready(d);
    if (bad) d.Faults().WrongVerdict(1, {.opcode = 0x31, .subCommand = 0x82, .lbaMid = 0});
    ASSERT_TRUE(Ok(Key(d)));
    ASSERT_TRUE(Ok(VWrite(d, 0x80, 32, Pattern(16384, 4))));
    for (std::uint8_t chunk = 0; chunk < 2; ++chunk) ASSERT_TRUE(Ok(VWrite(d, 0x82, 1, Sector(chunk), 0, chunk, 1)));
    EXPECT_EQ(d.VerdictLbaHigh(), bad ? 0x00 : 0xBB);
  }
}

}  // namespace
}  // namespace emu::test
