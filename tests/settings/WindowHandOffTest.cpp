// A worker's question asked on a scripted window thread: the worker waits for
// its answer, and closing answers every waiting worker with Cancel.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "settings/SnScanForm.h"
#include "settings/WindowHandOff.h"

namespace {

using kx::SnScanForm;
using kx::WindowHandOff;

// A window thread that runs queued calls in order; Hold() keeps them queued.
class ScriptedWindowThread {
 public:
  ScriptedWindowThread() : thread_([this] { Loop(); }) {}
  ~ScriptedWindowThread() {
    {
      std::lock_guard g(lock_);
      ending_ = true, held_ = false;
    }
    wake_.notify_all();
    thread_.join();
  }
  WindowHandOff::Post Poster() {
    return [this](std::function<void()> call) {
      std::lock_guard g(lock_);
      queue_.push_back(std::move(call));
      ++posted_;
      wake_.notify_all();
      return true;
    };
  }
  std::thread::id Id() const { return thread_.get_id(); }
  std::function<bool()> IsThisThread() {
    return [this] { return std::this_thread::get_id() == thread_.get_id(); };
  }
  void Hold(bool held) {
    {
      std::lock_guard g(lock_);
      held_ = held;
    }
    wake_.notify_all();
  }
  // Blocks until n calls were posted.
  void WaitPosted(int n) {
    std::unique_lock g(lock_);
    wake_.wait(g, [&] { return posted_ >= n; });
  }
  // Blocks until the queue is empty and its last call has ended.
  void Drain() {
    std::unique_lock g(lock_);
    wake_.wait(g, [&] { return queue_.empty() && !running_; });
  }

 private:
  void Loop() {
    std::unique_lock g(lock_);
    for (;;) {
      wake_.wait(g, [&] { return ending_ || (!held_ && !queue_.empty()); });
      if (queue_.empty()) return;
      auto call = std::move(queue_.front());
      queue_.pop_front();
      running_ = true;
      g.unlock();
      call();
      g.lock();
      running_ = false;
      wake_.notify_all();
    }
  }
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  int posted_ = 0;
  bool held_ = false, ending_ = false, running_ = false;
  std::thread thread_;
};

struct HandOff : ::testing::Test {
  ScriptedWindowThread window_;
  WindowHandOff calls_{window_.Poster(), window_.IsThisThread()};
};

TEST_F(HandOff, AWorkersScanDialogIsAnsweredOnTheWindowThread) {
  const struct Row {
    const char* name;
    const char* scanned;  // null: the operator cancels
    int answer;
    const char* serial;
  } rows[] = {{"ok", " SN0003 \r\n", 1, "SN0003"}, {"cancel", nullptr, 2, ""}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::thread::id shownOn;
    int shownPort = 0;
    kx::HandedOffSnScanDlg dialog(calls_, [&](SnScanForm& form) {
      shownOn = std::this_thread::get_id();
      shownPort = form.PortNumber();
      if (!r.scanned) return form.Cancel();
      form.SetText(SnScanForm::Box::Serial, r.scanned);
      return form.Confirm();
    });
    dialog.SetPortNumber(3);
    int answer = 0;
    std::thread worker([&] { answer = dialog.DoModal(); });
    worker.join();
    EXPECT_EQ(answer, r.answer);
    EXPECT_EQ(dialog.GetSerialNumber(), r.serial);
    EXPECT_EQ(shownPort, 3);
    EXPECT_EQ(shownOn, window_.Id());
  }
}

TEST_F(HandOff, ClosingAnswersAWaitingWorkerCancelAndShowsNothingAfter) {
  window_.Hold(true);
  bool asked = false;
  auto answer = std::async(std::launch::async, [&] {
    return calls_.Call([&] { return asked = true, 1; }, 2);
  });
  window_.WaitPosted(1);
  calls_.Close();
  EXPECT_EQ(answer.get(), 2);
  EXPECT_EQ(calls_.Call([] { return 1; }, 2), 2);  // after closing: answered at once
  window_.Hold(false);
  window_.Drain();
  EXPECT_FALSE(asked);
}

TEST_F(HandOff, ClosingWhileTheQuestionShowsReleasesTheWorker) {
  std::promise<void> shown, closed;
  auto answer = std::async(std::launch::async, [&] {
    return calls_.Call([&] {
      shown.set_value();
      closed.get_future().wait();  // the operator has not answered yet
      return 1;
    }, 2);
  });
  shown.get_future().wait();
  calls_.Close();
  EXPECT_EQ(answer.get(), 2);
  closed.set_value();
  window_.Drain();
}

TEST(HandOffEdges, OnTheWindowThreadAsksAtOnceAndAFailedPostAnswersClosed) {
  WindowHandOff here([](std::function<void()>) { return false; }, [] { return true; });
  EXPECT_EQ(here.Call([] { return 1; }, 2), 1);
  WindowHandOff nowhere([](std::function<void()>) { return false; }, [] { return false; });
  EXPECT_EQ(nowhere.Call([] { return 1; }, 2), 2);
}

}  // namespace
