// Capacity selection: `SelectCapacity`, `GetAutoCapacityMaxBadPercent` and
// `GetAutoCapacitySize`. They send no command; they read the flash-maker
// parameter file and MPToolSetting.ini and the geometry that the
// system-information check left in the device (emulator/DriveStores.cpp builds
// the record it comes from).
#include "bringup/Capacity.h"

#include <algorithm>
#include <functional>
#include <limits>

#include "bringup/SystemInfo.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/Settings.h"

using kx::StrFormat;

namespace kx {

std::int32_t ReadSignedDecimal(const std::string& token) {
  std::size_t i = 0;
  const bool negative = i < token.size() && token[i] == '-';
  if (i < token.size() && (token[i] == '-' || token[i] == '+')) ++i;
  std::int64_t n = 0;
  for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i)
    n = std::min<std::int64_t>(n * 10 + (token[i] - '0'), std::int64_t{1} << 32);
  if (negative) n = -n;
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(n, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

std::vector<std::int32_t> ParseNumberList(const std::string& text) {
  std::vector<std::int32_t> numbers;
  const char* separators = " \t,";
  for (std::size_t at = text.find_first_not_of(separators); at != std::string::npos;) {
    const std::size_t end = text.find_first_of(separators, at);
    numbers.push_back(ReadSignedDecimal(text.substr(at, end == std::string::npos ? std::string::npos : end - at)));
    at = end == std::string::npos ? end : text.find_first_not_of(separators, end);
  }
  return numbers;
}

std::vector<std::int32_t> SortedSizeList(const std::string& text) {
  std::vector<std::int32_t> sizes = ParseNumberList(text);
  std::sort(sizes.begin(), sizes.end(), std::greater<>());
  return sizes;
}

std::vector<std::uint8_t> SortedPercentList(const std::string& text) {
  std::vector<std::uint8_t> percents;
  for (std::int32_t n : ParseNumberList(text)) percents.push_back(static_cast<std::uint8_t>(n & 0xFF));
  std::sort(percents.begin(), percents.end());
  return percents;
}

std::uint64_t RawFlashMb(std::uint32_t singleCeMb, std::int32_t flashCount) {
  return std::uint64_t{singleCeMb} * static_cast<std::uint64_t>(std::max(flashCount, 0));
}

std::uint64_t CapacityLimit(const std::string& capacityText, std::uint64_t rawMb) {
  const std::uint64_t rawGb = rawMb >> 10;
  if (capacityText == "MaxSize") return rawGb;
  if (capacityText.empty() || capacityText == "default") {
    for (std::uint32_t size : kBuiltInCapacities)
      if (size < rawGb) return size;
    return 0;
  }
  const std::int32_t limit = ReadSignedDecimal(capacityText);
  return limit > 0 ? static_cast<std::uint64_t>(limit) : 0;
}

std::uint32_t ChooseCapacity(const std::vector<std::int32_t>& sizes, const std::vector<std::uint8_t>& percents,
                             std::uint64_t rawGb, std::uint64_t limitGb) {
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    // A negative size is no capacity (it would come back as a negative result).
    if (sizes[i] < 0) continue;
    const auto size = static_cast<std::uint32_t>(sizes[i]);
    if (size > rawGb) continue;
    if (limitGb != 0 && (size > limitGb || i >= percents.size() || percents[i] == 0)) continue;
    return size;
  }
  return 0;
}

std::uint8_t MaxBadPercentFor(const std::vector<std::int32_t>& sizes, const std::vector<std::uint8_t>& percents,
                              std::uint32_t capacityGb) {
  const std::size_t n = std::min(sizes.size(), percents.size());
  std::uint8_t result = 0;
  for (std::size_t i = 0; i < n; ++i) {
    result = percents[i];
    if (static_cast<std::uint32_t>(sizes[i]) <= capacityGb) break;
  }
  return result;
}

std::uint64_t IdemaSectors(std::uint32_t gb) {
  return static_cast<std::uint64_t>(97696368 + 1953504 * (static_cast<std::int64_t>(gb) - 50));
}

std::uint64_t IdemaMegabytes(std::uint32_t gb) { return IdemaSectors(gb) >> 11; }

}  // namespace kx

namespace {

const char kToolSettingIni[] = ".\\Configuration\\System\\MPToolSetting.ini";

std::vector<std::int32_t> ReadSizeList() {
  return kx::SortedSizeList(
      kx::TrimBlanks(kx::ReadProfileText("Options", "AutoCapacity_SizeArray", kx::ParamFdbIniPath().c_str(), 512)));
}

std::string PercentKey(std::int32_t flashCount) { return StrFormat("AutoCapacity_MaxBadPercent_%dCE", flashCount); }

std::vector<std::uint8_t> ReadPercentList(const std::string& key) {
  return kx::SortedPercentList(
      kx::TrimBlanks(kx::ReadProfileText("Options", key.c_str(), kx::ParamFdbIniPath().c_str(), 512)));
}

}  // namespace

std::int32_t CPortDevice::SelectCapacity() {
  const std::uint32_t singleCeMb = kx::SettingCapacityValue(
      kx::ReadProfileText("Flash Info", "Flh_SingleCE_Capacity", kx::ParamFdbIniPath().c_str(), 40));
  const std::uint64_t rawMb = kx::RawFlashMb(singleCeMb, m_FlashCount);
  if (m_PhysicalSize != rawMb)
    WriteReport(StrFormat("PhysicalSize %u != %llu", m_PhysicalSize, static_cast<unsigned long long>(rawMb)), true);

  const std::uint64_t limit =
      kx::CapacityLimit(kx::TrimBlanks(kx::ReadProfileText("General Info", "Capacity", kToolSettingIni, 40)), rawMb);
  const std::vector<std::int32_t> sizes = ReadSizeList();
  const std::vector<std::uint8_t> percents = ReadPercentList(PercentKey(m_FlashCount));
  return static_cast<std::int32_t>(kx::ChooseCapacity(sizes, percents, rawMb >> 10, limit));
}

std::int32_t CPortDevice::GetAutoCapacityMaxBadPercent(std::uint32_t capacityGb) {
  const std::vector<std::int32_t> sizes = ReadSizeList();
  const std::string key = PercentKey(m_FlashCount);
  WriteReport("Select " + key, true);
  return kx::MaxBadPercentFor(sizes, ReadPercentList(key), capacityGb);
}

std::uint32_t CPortDevice::GetAutoCapacitySize() const { return m_AutoCapacitySize; }
