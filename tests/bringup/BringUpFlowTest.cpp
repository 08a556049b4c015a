// One emulated drive through the bring-up steps in the stations' order.
#include <gtest/gtest.h>

#include "device/PortDevice.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

class BringUpFlow : public kxtest::DeviceTestEnv {};

TEST_F(BringUpFlow, IdentityInfoBlockPreFormatAndTheFormattedInfoBlock) {
  SetIni("C:\\SATA_Setting.ini", "Global_Setting", "Last SN", "KXA2405000000000001");
  SetIni(".\\paramFDB.ini", "Options", "SetSSDSize", "512");  // the drive's size
  kxtest::EmulatedStation s(kxtest::Mode::TesterDirect);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.CheckIoState(1));
  ASSERT_TRUE(d.BuildInfoBlock(true, false, nullptr, false));
  ASSERT_TRUE(d.PreFormat(1, nullptr, 10, true, true, 0));
  EXPECT_TRUE(d.CheckInfoBlock(false));
}

}  // namespace
