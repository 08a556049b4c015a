// The result-kind table and parameter sector from literal bytes, then the pre-format on the emulated station.
#include "bringup/PreFormat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <utility>

#include "device/StatusCell.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::Mode;

TEST(PreFormatRecords, ResultKindsAndParameterSector) {
  const struct { std::uint8_t code, kind; const char* message; } rows[] = {
      {0x00, 0, "PreFormat Fail: Pass, Fail Address=0x01000123"},
      {0x05, 11, "PreFormat Fail: Build System Table Fail, Fail Address=0x01000123"},
      {0x7E, 11, "PreFormat Fail: Unknown Fail(7E), Fail Address=0x01000123"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.code);
    std::uint8_t sector[512] = {r.code, 0, 0, 0, 0x23, 0x01, 0x00, 0x01};
    const kx::PreFormatResult result = kx::DecodePreFormatResult(sector);
    EXPECT_EQ(result.kind, r.kind);
    EXPECT_EQ(kx::PreFormatFailMessage(result), r.message);
  }
  const auto param = kx::BuildPreFormatParam(0x0F0E, true);
  EXPECT_EQ(std::vector<std::uint8_t>(param.begin(), param.begin() + 4), (std::vector<std::uint8_t>{0x0E, 0x0F, 1, 0}));
}

class PreFormatStep : public kxtest::DeviceTestEnv {};

TEST_F(PreFormatStep, SendsParametersBlockAndSmartTableThenWaits) {
  for (const auto& [mode, polling] : {std::pair{Mode::TesterDirect, true}, std::pair{Mode::TesterDirect, false},
                                      std::pair{Mode::Bridge, true}, std::pair{Mode::SataPort, false}}) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(mode) << " " << polling);
    kxtest::EmulatedStation s(mode, 1, {}, {.identify = true});
    CPortDevice& d = s.Device();
    for (std::size_t i = 0; i < 512; ++i) d.m_InfoBlockBuilt[i] = static_cast<std::uint8_t>(i * 7);
    kx::ProgressModel bar;
    bar.SetPos(20);
    ASSERT_TRUE(d.PreFormat(1, &bar, 10, false, polling, 0x0F0F));
    EXPECT_EQ(s.Drive().InfoBlockPage(0), std::vector(d.m_InfoBlockBuilt.begin(), d.m_InfoBlockBuilt.end()));
    EXPECT_EQ(bar.GetPos(), 30);
    const auto trace = s.Drive().Trace();  // the last pre-format command: the one that starts it
    const auto last = std::find_if(trace.rbegin(), trace.rend(), [](auto& e) { return e.request.features == 0x08; });
    EXPECT_EQ(last->request.lbaHigh, 0x02);  // for the MP firmware
    EXPECT_EQ(last->request.lbaLow, polling ? 1 : 0);
    EXPECT_TRUE(kxtest::Has(PortReport(), "   Do PreFormat: \r\n   PreFormat-WriteInfoBlock \r\n"));
    EXPECT_TRUE(kxtest::Has(PortReport(), "[ Success ] PreFormat OK- Total take "));
  }
}

TEST_F(PreFormatStep, Failures) {
  const struct { std::function<void(emu::Drive&)> fault; const char* code; int kind; const char* message; } rows[] = {
      {[](auto& d) { d.Faults().FailPreFormat(0x02, 0x0300004D); }, "F_H07", 12,
       "PreFormat Fail: Program Fail, Fail Address=0x0300004D"},
      {[](auto& d) { d.Faults().FailNext(1, {.opcode = 0x31, .subCommand = 0x08}); }, "F_H08", 0,
       "Issue PreFormat Command Failed."},
      {[](auto& d) { d.Faults().FailNext(1, {.opcode = 0x31, .subCommand = 0x08, .skip = 1}); }, "I_H10", 0,
       "Issue Write Info Block Command Failed."}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.message);
    kxtest::EmulatedStation s(Mode::TesterDirect);
    CPortDevice& d = s.Device();
    r.fault(s.Drive());
    EXPECT_FALSE(d.PreFormat(0, nullptr, 5, true, true, 0));
    EXPECT_EQ(d.m_ErrorCode, r.code);
    EXPECT_EQ(d.m_PreFormatResultKind, r.kind);
    EXPECT_EQ(d.m_ErrorMessage, r.message);
    EXPECT_TRUE(kxtest::Has(PortReport(), std::string("[ Fail ]  Error Message : ") + r.message + " \r\n"));
  }
  emu::DriveConfig slow;
  slow.preFormatMs = 610000;  // busy past the time limit
  kxtest::EmulatedStation s(Mode::TesterDirect, 1, slow);
  EXPECT_FALSE(s.Device().PreFormat(0, nullptr, 5, true, true, 0));
  EXPECT_EQ(s.Device().m_ErrorMessage, "Polling PreFormat Status Timeout, Status=0x80");
}

}  // namespace
