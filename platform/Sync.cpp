#include "platform/Sync.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>

namespace platform {
namespace {

// One lock and one condition for every waitable object: waits on several
// objects stay simple and exact, and signals are rare enough for this.
std::mutex& waitMutex() {
  static std::mutex m;
  return m;
}
std::condition_variable& waitCondition() {
  static std::condition_variable c;
  return c;
}

void signalAll() { waitCondition().notify_all(); }

// Thread starts left before the faked failure; -1 when disarmed.
std::atomic<int> g_startsBeforeFailure{-1};

bool takeStartFault() {
  int left = g_startsBeforeFailure.load();
  while (left >= 0) {
    if (g_startsBeforeFailure.compare_exchange_weak(left, left - 1)) return left == 0;
  }
  return false;
}

void* threadMain(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

}  // namespace

Semaphore::Semaphore(long initial, long maximum)
    : count_(initial < 0 ? 0 : initial), maximum_(maximum < 1 ? 1 : maximum) {
  if (count_ > maximum_) count_ = maximum_;
}

bool Semaphore::Release(long count, long* previous) {
  {
    std::lock_guard lock(waitMutex());
    if (previous) *previous = count_;
    if (count < 1 || count > maximum_ - count_) return false;
    count_ += count;
  }
  signalAll();
  return true;
}

bool Semaphore::TryTakeLocked() {
  if (count_ == 0) return false;
  --count_;
  return true;
}

bool Semaphore::Wait(std::uint32_t timeoutMs) { return WaitForAny({this}, timeoutMs) == 0; }

Event::Event(bool manualReset, bool initiallySet) : manual_(manualReset), set_(initiallySet) {}

void Event::Set() {
  {
    std::lock_guard lock(waitMutex());
    set_ = true;
  }
  signalAll();
}

void Event::Reset() {
  std::lock_guard lock(waitMutex());
  set_ = false;
}

bool Event::IsSet() const {
  std::lock_guard lock(waitMutex());
  return set_;
}

bool Event::TryTakeLocked() {
  if (!set_) return false;
  if (!manual_) set_ = false;
  return true;
}

bool Event::Wait(std::uint32_t timeoutMs) { return WaitForAny({this}, timeoutMs) == 0; }

int WaitForAny(std::initializer_list<Waitable*> objects, std::uint32_t timeoutMs) {
  std::unique_lock lock(waitMutex());
  auto first = [&]() -> int {
    int i = 0;
    for (Waitable* w : objects) {
      if (w && w->TryTakeLocked()) return i;
      ++i;
    }
    return kWaitTimeout;
  };
  int got = first();
  if (got != kWaitTimeout || timeoutMs == 0) return got;
  if (timeoutMs == kInfinite) {
    waitCondition().wait(lock, [&] { return (got = first()) != kWaitTimeout; });
    return got;
  }
  waitCondition().wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return (got = first()) != kWaitTimeout; });
  return got;
}

Thread::~Thread() { Join(); }

bool Thread::Start(std::function<void()> body, std::size_t stackSize) {
  if (started_ || !body) return false;
  if (takeStartFault()) return false;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  if (stackSize > 0) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::size_t size = (stackSize + page - 1) / page * page;
    if (size < static_cast<std::size_t>(PTHREAD_STACK_MIN)) size = PTHREAD_STACK_MIN;
    if (pthread_attr_setstacksize(&attr, size) != 0) {
      pthread_attr_destroy(&attr);
      return false;
    }
  }
  std::size_t actual = 0;
  pthread_attr_getstacksize(&attr, &actual);
  auto* arg = new std::function<void()>(std::move(body));
  pthread_t tid;
  const int rc = pthread_create(&tid, &attr, threadMain, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete arg;
    return false;
  }
  handle_ = static_cast<unsigned long>(tid);
  stackSize_ = actual;
  started_ = true;
  return true;
}

void Thread::Join() {
  if (!started_) return;
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
  started_ = false;
}

bool RaiseCurrentThreadPriority(int steps) {
  // Linux keeps a nice value per thread, reached through the thread id.
  const id_t tid = static_cast<id_t>(::gettid());
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, tid);
  if (nice == -1 && errno != 0) return false;
  int target = nice - steps;
  if (target < -20) target = -20;
  if (target > 19) target = 19;
  return ::setpriority(PRIO_PROCESS, tid, target) == 0;
}

void FailThreadStartsAfter(int starts) { g_startsBeforeFailure.store(starts < 0 ? -1 : starts); }

}  // namespace platform
