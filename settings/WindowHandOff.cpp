#include "settings/WindowHandOff.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace kx {

namespace {
struct Waiter {
  int closedAnswer = 0;
  bool answered = false;
  int answer = 0;
};
}  // namespace

// Held by the hand-off and by every queued call, which may outlive both the
// caller and the hand-off.
struct WindowHandOff::Shared {
  std::mutex lock;
  std::condition_variable answered;
  bool open = true;
  std::vector<std::shared_ptr<Waiter>> waiting;

  void Answer(Waiter& w, int answer) {
    if (w.answered) return;
    w.answered = true;
    w.answer = answer;
  }
};

WindowHandOff::WindowHandOff(Post post, std::function<bool()> onWindowThread)
    : post_(std::move(post)), onWindowThread_(std::move(onWindowThread)), shared_(std::make_shared<Shared>()) {}

WindowHandOff::~WindowHandOff() { Close(); }

int WindowHandOff::Call(std::function<int()> ask, int closedAnswer) {
  if (onWindowThread_()) return IsOpen() ? ask() : closedAnswer;
  auto waiter = std::make_shared<Waiter>();
  waiter->closedAnswer = closedAnswer;
  {
    std::lock_guard g(shared_->lock);
    if (!shared_->open) return closedAnswer;
    shared_->waiting.push_back(waiter);
  }
  const bool posted = post_([shared = shared_, waiter, ask = std::move(ask)] {
    {
      std::lock_guard g(shared->lock);
      if (waiter->answered) return;  // closed before its turn: not shown
    }
    const int answer = ask();
    {
      std::lock_guard g(shared->lock);
      shared->Answer(*waiter, answer);
    }
    shared->answered.notify_all();
  });
  std::unique_lock g(shared_->lock);
  if (!posted) shared_->Answer(*waiter, closedAnswer);
  shared_->answered.wait(g, [&] { return waiter->answered; });
  std::erase(shared_->waiting, waiter);
  return waiter->answer;
}

void WindowHandOff::Close() {
  {
    std::lock_guard g(shared_->lock);
    shared_->open = false;
    for (auto& w : shared_->waiting) shared_->Answer(*w, w->closedAnswer);
  }
  shared_->answered.notify_all();
}

void WindowHandOff::Open() {
  std::lock_guard g(shared_->lock);
  shared_->open = true;
}

bool WindowHandOff::IsOpen() const {
  std::lock_guard g(shared_->lock);
  return shared_->open;
}

}  // namespace kx
