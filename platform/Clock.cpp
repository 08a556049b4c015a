#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {
namespace {

using steady = std::chrono::steady_clock;

std::int64_t realWallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class RealClock final : public IClock {
 public:
  std::uint64_t NowMs() override {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start_).count());
  }
  void SleepMs(std::uint64_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  std::int64_t WallMs() override { return realWallMs(); }

 private:
  steady::time_point start_ = steady::now();
};

class VirtualClock final : public IClock {
 public:
  explicit VirtualClock(std::int64_t wallStart) : wallStart_(wallStart ? wallStart : realWallMs()) {}
  std::uint64_t NowMs() override { return now_.load(); }
  void SleepMs(std::uint64_t ms) override {
    now_.fetch_add(ms);
    std::this_thread::yield();  // let other threads see the time move
  }
  std::int64_t WallMs() override { return wallStart_ + static_cast<std::int64_t>(now_.load()); }

 private:
  std::atomic<std::uint64_t> now_{0};
  std::int64_t wallStart_;
};

class ScaledClock final : public IClock {
 public:
  explicit ScaledClock(double factor) : factor_(factor > 0 ? factor : 1.0), wallStart_(realWallMs()) {}
  std::uint64_t NowMs() override {
    const double real = std::chrono::duration<double, std::milli>(steady::now() - start_).count();
    return static_cast<std::uint64_t>(real * factor_);
  }
  void SleepMs(std::uint64_t ms) override {
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(static_cast<double>(ms) / factor_));
  }
  std::int64_t WallMs() override { return wallStart_ + static_cast<std::int64_t>(NowMs()); }

 private:
  double factor_;
  steady::time_point start_ = steady::now();
  std::int64_t wallStart_;
};

std::mutex g_clockMutex;
std::shared_ptr<IClock> g_clock;  // guarded by g_clockMutex
std::atomic<IClock*> g_current{nullptr};

IClock* defaultClock() {
  static std::shared_ptr<IClock> real = MakeRealClock();
  return real.get();
}

}  // namespace

std::shared_ptr<IClock> MakeRealClock() { return std::make_shared<RealClock>(); }
std::shared_ptr<IClock> MakeVirtualClock(std::int64_t wallStartMs) {
  return std::make_shared<VirtualClock>(wallStartMs);
}
std::shared_ptr<IClock> MakeScaledClock(double factor) { return std::make_shared<ScaledClock>(factor); }

IClock& Clock() {
  IClock* c = g_current.load(std::memory_order_acquire);
  return c ? *c : *defaultClock();
}

void SetClock(std::shared_ptr<IClock> clock) {
  std::lock_guard lock(g_clockMutex);
  // Keep the previous clock alive: threads may still be inside one of its calls.
  static std::vector<std::shared_ptr<IClock>> retired;
  if (g_clock) retired.push_back(g_clock);
  g_clock = std::move(clock);
  g_current.store(g_clock.get(), std::memory_order_release);
}

ScopedClock::ScopedClock(std::shared_ptr<IClock> clock) {
  {
    std::lock_guard lock(g_clockMutex);
    previous_ = g_clock;
  }
  SetClock(std::move(clock));
}
ScopedClock::~ScopedClock() { SetClock(previous_); }

win::SYSTEMTIME ToLocalTime(std::int64_t wallMs) {
  std::time_t secs = static_cast<std::time_t>(wallMs / 1000);
  std::tm tm{};
  localtime_r(&secs, &tm);
  win::SYSTEMTIME st;
  st.wYear = static_cast<win::WORD>(tm.tm_year + 1900);
  st.wMonth = static_cast<win::WORD>(tm.tm_mon + 1);
  st.wDayOfWeek = static_cast<win::WORD>(tm.tm_wday);
  st.wDay = static_cast<win::WORD>(tm.tm_mday);
  st.wHour = static_cast<win::WORD>(tm.tm_hour);
  st.wMinute = static_cast<win::WORD>(tm.tm_min);
  st.wSecond = static_cast<win::WORD>(tm.tm_sec);
  st.wMilliseconds = static_cast<win::WORD>(wallMs % 1000);
  return st;
}

}  // namespace platform

namespace win {

void Sleep(DWORD ms) { platform::Clock().SleepMs(ms); }
DWORD GetTickCount() { return static_cast<DWORD>(platform::Clock().NowMs()); }
void GetLocalTime(SYSTEMTIME* st) {
  if (st) *st = platform::ToLocalTime(platform::Clock().WallMs());
}

}  // namespace win
