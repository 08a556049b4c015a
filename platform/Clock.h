// One clock for the whole program: sleeps, the millisecond tick and local time.
// Tests switch it to virtual time (sleeps return at once and advance the clock)
// or scaled time (a 30 s wait takes 30 s / factor), so long device polls run in
// milliseconds while the code still asks for the real durations. The emulator's
// timed states read the same clock.
#pragma once
#include <cstdint>
#include <memory>

#include "platform/WinTypes.h"

namespace win {

struct SYSTEMTIME {
  WORD wYear = 0;
  WORD wMonth = 0;
  WORD wDayOfWeek = 0;
  WORD wDay = 0;
  WORD wHour = 0;
  WORD wMinute = 0;
  WORD wSecond = 0;
  WORD wMilliseconds = 0;
};

void Sleep(DWORD ms);
// Milliseconds since an arbitrary start, monotonic (also stands in for clock()).
DWORD GetTickCount();
void GetLocalTime(SYSTEMTIME* st);

}  // namespace win

namespace platform {

class IClock {
 public:
  virtual ~IClock() = default;
  // Monotonic milliseconds.
  virtual std::uint64_t NowMs() = 0;
  virtual void SleepMs(std::uint64_t ms) = 0;
  // Wall-clock time in milliseconds since the Unix epoch (local time derives from it).
  virtual std::int64_t WallMs() = 0;
};

std::shared_ptr<IClock> MakeRealClock();
// Sleeps return at once and move the clock forward by the requested time.
std::shared_ptr<IClock> MakeVirtualClock(std::int64_t wallStartMs = 0);
// Real time runs `factor` times faster.
std::shared_ptr<IClock> MakeScaledClock(double factor);

// The clock in force; the real clock unless a test replaced it.
IClock& Clock();
void SetClock(std::shared_ptr<IClock> clock);

// Installs a clock for the life of the object and restores the previous one.
class ScopedClock {
 public:
  explicit ScopedClock(std::shared_ptr<IClock> clock);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  std::shared_ptr<IClock> previous_;
};

// Local time broken down, with milliseconds, for a wall-clock value.
win::SYSTEMTIME ToLocalTime(std::int64_t wallMs);

}  // namespace platform
