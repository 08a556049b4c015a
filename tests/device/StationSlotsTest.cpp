// A station on a slot other than 1 reaches its own drive in every send mode: the
// access key goes to the drive of that slot.
#include <gtest/gtest.h>

#include <tuple>

#include "device/PortDevice.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Mode;

class StationSlots : public kxtest::DeviceTestEnv, public ::testing::WithParamInterface<std::tuple<Mode, int>> {};

TEST_P(StationSlots, AccessKeyReachesTheSlotsDrive) {
  EmulatedStation s(std::get<0>(GetParam()), std::get<1>(GetParam()));
  EXPECT_TRUE(s.Device().SetApKeyWithRetry(true, 300));
}

TEST_P(StationSlots, DriveNumberOpensTheSlotsPort) {
  EmulatedStation s(std::get<0>(GetParam()), std::get<1>(GetParam()));
  std::uint8_t id[512];
  EXPECT_TRUE(s.Command().GetIdentify(id));
}

const char* const kModeNames[] = {"TesterDirect", "Bridge", "SataPort", "TesterSataPort"};
INSTANTIATE_TEST_SUITE_P(
    ModesAndSlots, StationSlots,
    ::testing::Combine(::testing::Values(Mode::TesterDirect, Mode::Bridge, Mode::SataPort, Mode::TesterSataPort),
                       ::testing::Values(1, 2, 7)),
    [](const ::testing::TestParamInfo<std::tuple<Mode, int>>& info) {
      return std::string(kModeNames[static_cast<int>(std::get<0>(info.param))]) + "Slot" +
             std::to_string(std::get<1>(info.param));
    });

}  // namespace
