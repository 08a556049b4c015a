// The capacity rules as plain values: the built-in capacity list, the number
// lists of the flash-maker parameter file, the operator's capacity limit, the
// choice of a capacity, the tolerated bad-block percentage of a capacity and
// the IDEMA rule that turns a capacity in GB into sectors. All sizes that can
// grow with the flash are 64-bit.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

// Capacities in GB that a drive is given when the operator names none, largest first.
inline constexpr std::array<std::uint32_t, 23> kBuiltInCapacities = {
    1024, 960, 896, 840, 720, 600, 480, 420, 384, 360, 320, 300, 240, 220, 180, 120, 90, 60, 44, 30, 20, 15, 7};

// Sizes in GB read as decimals from the settings (SetSSDSize) lie in the
// 32-bit range the capacity choice gives; the SSDSizePercent factor that
// scales a size lies from 0 to kSizeFactorMax.
inline constexpr double kSizeGbMin = -2147483648.0, kSizeGbMax = 2147483647.0;
inline constexpr double kSizeFactorMax = 100.0;

// A signed decimal from the start of the text (optional sign, then digits; 0
// when none), held to the 32-bit range.
std::int32_t ReadSignedDecimal(const std::string& text);

// Tokens of a list separated by blanks or commas (empty tokens skipped), each
// read as a signed decimal from its start (0 when it does not begin with one),
// held to the 32-bit range.
std::vector<std::int32_t> ParseNumberList(const std::string& text);

// The size list (GB), largest first, compared as signed numbers.
std::vector<std::int32_t> SortedSizeList(const std::string& text);
// The percentage list: the low byte of each number, smallest first.
std::vector<std::uint8_t> SortedPercentList(const std::string& text);

// Raw flash size in MB: one CE's capacity times the CEs in use (none when negative).
std::uint64_t RawFlashMb(std::uint32_t singleCeMb, std::int32_t flashCount);

// The operator's limit in GB from the trimmed `Capacity` text: "MaxSize" gives
// the raw size in GB; empty or "default" the first built-in capacity below the
// raw size in GB (0 when none is); otherwise the text as a decimal number (0
// when it is none or negative). Case-sensitive.
std::uint64_t CapacityLimit(const std::string& capacityText, std::uint64_t rawMb);

// The largest size (lists sorted and paired by position) that fits in rawGb
// and, with a limit, fits in the limit and has a non-zero percentage at its
// position. 0 when none qualifies.
std::uint32_t ChooseCapacity(const std::vector<std::int32_t>& sizes, const std::vector<std::uint8_t>& percents,
                             std::uint64_t rawGb, std::uint64_t limitGb);

// The percentage paired with the first size not above the capacity; the last
// paired percentage when every size is above it; 0 when a list is empty.
std::uint8_t MaxBadPercentFor(const std::vector<std::int32_t>& sizes, const std::vector<std::uint8_t>& percents,
                              std::uint32_t capacityGb);

// IDEMA rule: sectors = 97,696,368 + 1,953,504 x (GB - 50); MB = sectors >> 11.
std::uint64_t IdemaSectors(std::uint32_t gb);
std::uint64_t IdemaMegabytes(std::uint32_t gb);

}  // namespace kx
