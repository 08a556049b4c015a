// Semaphores, events and a wait on several of them, with the Windows behaviour
// the worker pool relies on: a wait on a list returns the lowest index that is
// signalled, so a stop event placed first wins over queued work. Threads can be
// started with a requested stack size.
//
// Time-outs are real time (the pool only waits without one).
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>

namespace platform {

constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
constexpr int kWaitTimeout = -1;

class Waitable {
 public:
  virtual ~Waitable() = default;

 protected:
  friend int WaitForAny(std::initializer_list<Waitable*> objects, std::uint32_t timeoutMs);
  // Called with the wait lock held: true when signalled, consuming the signal
  // where the object's kind says so.
  virtual bool TryTakeLocked() = 0;
};

// Counting semaphore (initial count, maximum count).
class Semaphore final : public Waitable {
 public:
  explicit Semaphore(long initial = 0, long maximum = 0x7FFFFFFF);
  // False (count unchanged) when the count would pass the maximum.
  bool Release(long count = 1, long* previous = nullptr);
  // True when taken, false on time-out.
  bool Wait(std::uint32_t timeoutMs = kInfinite);

 private:
  bool TryTakeLocked() override;
  long count_;
  long maximum_;
};

// Event, manual-reset (stays set until Reset) or auto-reset (one waiter takes it).
class Event final : public Waitable {
 public:
  explicit Event(bool manualReset = true, bool initiallySet = false);
  void Set();
  void Reset();
  bool IsSet() const;
  bool Wait(std::uint32_t timeoutMs = kInfinite);

 private:
  bool TryTakeLocked() override;
  bool manual_;
  bool set_;
};

// Index of the first signalled object in list order (taking it), or
// kWaitTimeout. Null entries are never signalled.
int WaitForAny(std::initializer_list<Waitable*> objects, std::uint32_t timeoutMs = kInfinite);

// A joinable thread with a chosen stack size. Joins on destruction.
class Thread {
 public:
  Thread() = default;
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // stackSize 0 = the system default; other sizes are rounded up to whole pages.
  // False when the thread could not be created (or one is still running).
  bool Start(std::function<void()> body, std::size_t stackSize = 0);
  void Join();
  bool Joinable() const { return started_; }
  // Stack size the running thread actually got (0 if unknown).
  std::size_t StackSize() const { return stackSize_; }

 private:
  unsigned long handle_ = 0;
  bool started_ = false;
  std::size_t stackSize_ = 0;
};

// Best effort: raises the calling thread's priority by `steps` levels (one nice
// step each; Windows' "highest" normal level is 2). False, with nothing changed,
// where the system refuses, as it does for an ordinary user.
bool RaiseCurrentThreadPriority(int steps);

// Test hook, a fake system call: of the Thread::Start calls from now on, the one
// after the next `starts` fails, once, as if the system refused the thread.
// Negative disarms. Process-wide and thread-safe.
void FailThreadStartsAfter(int starts);

}  // namespace platform
