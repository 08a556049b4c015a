#include <gtest/gtest.h>

#include "device/PortDevice.h"
#include "engine/PortJob.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kx::Rgb;

class PortStatus : public kxtest::DeviceTestEnv {
 protected:
  PortStatus() {
    for (auto& s : runStates_) s = 1;
    g_PortResult[kSlot - 1] = -1;
  }
  ~PortStatus() override { g_PortResult[kSlot - 1] = -1; }

  static constexpr int kSlot = 5;
  kx::PageLocks locks_;
  kx::StatusCellModel cell_;
  kx::ProgressModel progress_;
  std::string resultCode_ = "H_F8";
  std::array<std::atomic<int>, kx::kPortCount> runStates_;
  CPortJob job_{1, &locks_, &cell_, &progress_, 2, kSlot, nullptr, nullptr, "D:\\Log", &resultCode_, nullptr,
                &runStates_};
};

struct StateCase {
  int state;
  std::uint32_t text, back;
  const char* cell;
  int shown;
  int runState;
  const char* kept[3];
};

// The cell starts showing "old" with run state 1; the code "M_x04" prints as 0x103.
TEST_F(PortStatus, EachStateShowsItsColoursTextAndTables) {
  const StateCase cases[] = {
      {-1, Rgb(255, 0, 0), 0, "old", -1, 1, {"0x103", "", ""}},
      {0, 0, Rgb(255, 0, 0), "0x103", 0, 4, {"Error", "0x103", "Write fail"}},
      {1, 0, Rgb(0, 255, 0), "0x103", 1, 4, {"Pass", "", ""}},
      {2, 0, Rgb(255, 255, 0), "0x103", 2, 1, {"0x103", "", ""}},
      {4, 0, Rgb(255, 255, 255), "", 4, 1, {"0x103", "", ""}},
      {5, Rgb(255, 255, 255), Rgb(0, 100, 255), "0x103", 4, 1, {"0x103", "", ""}},
      {6, Rgb(255, 255, 255), Rgb(0, 100, 255), "0x103", 0, 1, {"0x103", "", ""}},
      {7, 0, Rgb(255, 165, 0), "0x103", 1, 4, {"Pass", "", ""}},
      {8, Rgb(255, 215, 0), 0, "0x103", 1, 4, {"Pass", "", ""}},
      {9, 0, Rgb(148, 40, 255), "0x103", 1, 4, {"Pass", "", ""}},
  };
  for (const StateCase& c : cases) {
    SCOPED_TRACE(c.state);
    cell_.SetWindowText("old");
    cell_.SetColor(1, 2);
    runStates_[kSlot - 1] = 1;
    progress_.SetPos(50);
    job_.SetPortStatus(c.state, "M_x04", "Write fail");
    const kx::StatusCellState s = cell_.Snapshot();
    EXPECT_EQ(s.textColor, c.text);
    EXPECT_EQ(s.backColor, c.back);
    EXPECT_EQ(s.text, c.cell);
    EXPECT_EQ(s.fontHeight, 20);
    EXPECT_EQ(job_.m_ShownState, c.shown);
    EXPECT_EQ(g_PortResult[kSlot - 1], c.shown);
    EXPECT_EQ(runStates_[kSlot - 1], c.runState);
    EXPECT_EQ(s.stateText, c.kept[0]);
    EXPECT_EQ(s.errorCode, c.kept[1]);
    EXPECT_EQ(s.errorMessage, c.kept[2]);
    EXPECT_EQ(progress_.GetPos(), c.state == 4 ? 0 : 50);
  }
}

TEST_F(PortStatus, UnknownStatesChangeNothing) {
  cell_.SetWindowText("old");
  cell_.SetColor(1, 2);
  cell_.SetKeptTexts("a", "b", "c");
  job_.m_ShownState = 2;
  g_PortResult[kSlot - 1] = 2;
  for (int state : {3, 10, -2}) {
    SCOPED_TRACE(state);
    job_.SetPortStatus(state, "M_x04", "m");
    const kx::StatusCellState s = cell_.Snapshot();
    EXPECT_EQ(s.text, "old");
    EXPECT_EQ(s.textColor, 1u);
    EXPECT_EQ(s.backColor, 2u);
    EXPECT_EQ(s.stateText, "a");
    EXPECT_EQ(s.errorMessage, "c");
    EXPECT_EQ(job_.m_ShownState, 2);
    EXPECT_EQ(g_PortResult[kSlot - 1], 2);
    EXPECT_EQ(runStates_[kSlot - 1], 1);
  }
}

TEST_F(PortStatus, FailShowsTheBracketedPartOfTheMessage) {
  const std::pair<const char*, const char*> cases[] = {
      {"Compare fail [F12] at LBA 0", "0x103*[F12]"},
      {"Compare fail [F12 at LBA 0", "0x103"},
      {"Compare fail ] then [F3]", "0x103*[F3]"},
      {"", "0x103"},
  };
  for (const auto& [message, shown] : cases) {
    job_.SetPortStatus(0, "M_x04", message);
    EXPECT_EQ(cell_.GetWindowText(), shown) << message;
  }
  job_.SetPortStatus(2, "Testing", "");
  EXPECT_EQ(cell_.GetWindowText(), "Testing");  // texts that are no code stay as they are
}

TEST_F(PortStatus, AppendedTextDropsTrailingBlanks) {
  cell_.SetWindowText("0x103 \t ");
  job_.AppendStatusTextRed("SN123");
  kx::StatusCellState s = cell_.Snapshot();
  EXPECT_EQ(s.text, "0x103*SN123");
  EXPECT_EQ(s.backColor, Rgb(255, 0, 0));
  EXPECT_EQ(s.fontHeight, 18);
  job_.AppendStatusTextGreen("x");
  EXPECT_EQ(cell_.Snapshot().backColor, Rgb(0, 255, 0));
  EXPECT_EQ(g_PortResult[kSlot - 1], -1);
}

TEST_F(PortStatus, JoinAppendsTheSerialInTwoPartsAndReleasesTheVolume) {
  job_.m_Device = std::make_unique<CPortDevice>(2, 1, kSlot, "D:\\Log", &cell_, nullptr);
  CPortDevice& d = *job_.m_Device;
  d.m_SerialNumber = "ABCDEFGHIJKLMN";
  job_.m_VolumeLocked = 1;
  job_.JoinResultFields(true, 1, "Pass", "", "");
  EXPECT_EQ(job_.m_VolumeLocked, 0);
  EXPECT_EQ(cell_.GetWindowText(), "Pass");
  job_.JoinResultFields(true, 1, "Pass", "", "");
  job_.JoinResultFields(true, 1, "Pass", "", "X1");
  job_.JoinResultFields(false, 1, "Pass", "", "X2");
  EXPECT_EQ(d.m_StatusExtraText, "ABCDEFGHIJ*KLMN*ABCDEFGHIJ*KLMN*ABCDEFGHIJ*KLMN*X1");
  EXPECT_EQ(d.m_StatusExtraFlag, 1);
}

}  // namespace
