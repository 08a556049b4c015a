// The flash clock and interface rules as plain values: the clock level table,
// the default levels of the two firmware families, the flash IDs of the clock
// exception, the membership of a value in a level's list, and the interface
// value that EnableToggle2 and the flash-kind flags give.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace kx {

// Base level when the base clock is not in the table (an absent key reads 0).
inline constexpr int kDefaultRdtClockLevel = 5;
inline constexpr int kDefaultMpClockLevel = 7;

// Levels 1 to 4 of a per-CE or per-capacity table; a fifth is never read.
inline constexpr int kClockTableLevels = 4;

// Flash IDs whose 8-CE-and-up TLC drives run at level 6 instead of 7 or 8, in order of trial.
inline constexpr std::array<const char*, 2> kClockExceptionIds = {"89 cc f9 32 aa 01 00", "2c cc f9 32 aa 04 00"};
inline constexpr int kClockExceptionMinCes = 8;
inline constexpr int kClockExceptionLevel = 6;

// Level of a clock in MHz: 50 3, 83 4, 100 5, 133 9, 166 6, 200 7, 266 8; none for any other.
std::optional<int> ClockLevel(int mhz);

// Whether a list of numbers separated by blanks or commas holds the value.
bool ListHasValue(const std::string& list, std::int64_t value);

// Interface value: EnableToggle2 3 gives 1; 2 gives 2, or 4 with a toggle flag;
// anything else 3, or 5 with a toggle flag.
int FlashInterfaceValue(int enableToggle2, bool toggleFlag);

}  // namespace kx
