// A question a worker thread puts to the operator: it is asked on the window
// thread while the worker waits for the answer. Closing (the program ends)
// answers every waiting worker, and every later one, with its closed answer,
// so that no worker waits forever.
#pragma once
#include <functional>
#include <memory>

namespace kx {

class WindowHandOff {
 public:
  // Queues a call for the window thread; false when it cannot.
  using Post = std::function<bool(std::function<void()>)>;

  WindowHandOff(Post post, std::function<bool()> onWindowThread);
  ~WindowHandOff();
  WindowHandOff(const WindowHandOff&) = delete;
  WindowHandOff& operator=(const WindowHandOff&) = delete;

  // ask's answer, or closedAnswer when closed before it answered. ask runs on
  // the window thread (at once when called there) and must keep everything it
  // touches: the caller may have gone when it ends.
  int Call(std::function<int()> ask, int closedAnswer);
  void Close();
  void Open();
  bool IsOpen() const;

 private:
  struct Shared;
  Post post_;
  std::function<bool()> onWindowThread_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace kx
