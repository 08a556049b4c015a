// A worker's question put to the window thread (here the test's own thread,
// running what is posted when the script says): the worker waits for its
// answer, and closing answers every waiting worker with Cancel.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "settings/SnScanForm.h"
#include "settings/WindowHandOff.h"

namespace {

using kx::SnScanForm;

struct HandOff : ::testing::Test {
  // Waits for the worker's posted call.
  std::function<void()> Posted() {
    std::unique_lock g(lock_);
    wake_.wait(g, [&] { return posted_ != nullptr; });
    return std::exchange(posted_, nullptr);
  }
  std::mutex lock_;
  std::condition_variable wake_;
  std::function<void()> posted_;
  const std::thread::id window_ = std::this_thread::get_id();
  kx::WindowHandOff calls_{[this](std::function<void()> call) {
                             std::lock_guard g(lock_);
                             posted_ = std::move(call);
                             wake_.notify_all();
                             return true;
                           },
                           [this] { return std::this_thread::get_id() == window_; }};
};

TEST_F(HandOff, AWorkersScanDialogIsAnsweredOnTheWindowThread) {
  const struct Row {
    const char* scanned;  // null: the operator cancels
    int answer;
    const char* serial;
  } rows[] = {{" SN0003 \r\n", 1, "SN0003"}, {nullptr, 2, ""}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.answer);
    std::thread::id shownOn;
    int shownPort = 0;
    kx::HandedOffSnScanDlg dialog(calls_, [&](SnScanForm& form) {
      shownOn = std::this_thread::get_id(), shownPort = form.PortNumber();
      if (!r.scanned) return form.Cancel();
      form.SetText(SnScanForm::Box::Serial, r.scanned);
      return form.Confirm();
    });
    dialog.SetPortNumber(3);
    auto answer = std::async(std::launch::async, [&] { return dialog.DoModal(); });
    Posted()();
    EXPECT_EQ(answer.get(), r.answer);
    EXPECT_EQ(dialog.GetSerialNumber(), r.serial);
    EXPECT_EQ(shownPort, 3);
    EXPECT_EQ(shownOn, window_);
  }
}

TEST_F(HandOff, ClosingAnswersAWaitingWorkerCancelAndAsksNothingAfter) {
  bool asked = false;
  auto answer = std::async(std::launch::async, [&] { return calls_.Call([&] { return asked = true, 1; }, 2); });
  const std::function<void()> queued = Posted();
  calls_.Close();
  EXPECT_EQ(answer.get(), 2);
  queued();  // its turn comes after the close
  EXPECT_FALSE(asked);
  EXPECT_EQ(std::async(std::launch::async, [&] { return calls_.Call([] { return 1; }, 2); }).get(), 2);
}

TEST_F(HandOff, ClosingWhileTheQuestionShowsAnswersCancel) {
  // The program closes from inside the question's own event loop; the
  // operator's later OK is dropped.
  auto answer = std::async(std::launch::async, [&] { return calls_.Call([&] { return calls_.Close(), 1; }, 2); });
  Posted()();
  EXPECT_EQ(answer.get(), 2);
}

TEST(HandOffEdges, OnTheWindowThreadAsksAtOnceAndAFailedPostAnswersClosed) {
  kx::WindowHandOff here([](std::function<void()>) { return false; }, [] { return true; });
  EXPECT_EQ(here.Call([] { return 1; }, 2), 1);
  kx::WindowHandOff nowhere([](std::function<void()>) { return false; }, [] { return false; });
  EXPECT_EQ(nowhere.Call([] { return 1; }, 2), 2);
}

}  // namespace
