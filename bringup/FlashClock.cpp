// Flash clock and interface levels: `SelectFlashClock` and
// `SelectFlashInterface`. They send no command; they read the flash-maker
// parameter file, the production page's flash-ID mask and what the flash-ID
// read and the system-information check left in the device (the emulated
// drive's answers to those come from emulator/DriveVendor.cpp).
#include "bringup/FlashClock.h"

#include "bringup/Capacity.h"
#include "bringup/FlashIdentity.h"
#include "device/AppHolders.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/Settings.h"

using kx::StrFormat;

namespace kx {

std::optional<int> ClockLevel(int mhz) {
  static constexpr struct {
    int mhz, level;
  } kLevels[] = {{50, 3}, {83, 4}, {100, 5}, {133, 9}, {166, 6}, {200, 7}, {266, 8}};
  for (const auto& row : kLevels)
    if (row.mhz == mhz) return row.level;
  return std::nullopt;
}

bool ListHasValue(const std::string& list, std::int64_t value) {
  for (std::int32_t n : ParseNumberList(list))
    if (n == value) return true;
  return false;
}

int FlashInterfaceValue(int enableToggle2, bool toggleFlag) {
  if (enableToggle2 == 3) return 1;
  if (enableToggle2 == 2) return toggleFlag ? 4 : 2;
  return toggleFlag ? 5 : 3;
}

}  // namespace kx

namespace {

int ReadOption(const char* key) { return kx::ReadProfileInt("Options", key, 0, kx::ParamFdbIniPath().c_str()); }

// Walks levels 1 to 4 of a table ("Level_%d_..." clock and list keys) up to
// the first clock of 0; the first level whose list holds `value` sets the
// level through the clock table and writes its report line.
void SearchClockTable(CPortDevice& device, const char* clockKeyFormat, const char* listKeyFormat, std::int64_t value,
                      int& level) {
  for (int n = 1; n <= kx::kClockTableLevels; ++n) {
    const std::string clockKey = StrFormat(clockKeyFormat, n);
    const int clock = ReadOption(clockKey.c_str());
    if (clock == 0) return;
    const std::string listKey = StrFormat(listKeyFormat, n);
    const std::string list =
        kx::TrimBlanks(kx::ReadProfileText("Options", listKey.c_str(), kx::ParamFdbIniPath().c_str(), 260));
    if (!kx::ListHasValue(list, value)) continue;
    device.WriteReport(
        StrFormat("%s=%d, %s=%lld", clockKey.c_str(), clock, listKey.c_str(), static_cast<long long>(value)), true);
    if (const std::optional<int> mapped = kx::ClockLevel(clock)) level = *mapped;
    return;
  }
}

}  // namespace

std::int32_t CPortDevice::SelectFlashClock(std::uint8_t rdt) {
  if (rdt != 0) {
    int level = kx::ClockLevel(ReadOption("RDTClock")).value_or(kx::kDefaultRdtClockLevel);
    if (ReadOption("Level_1_CERDTClock") != 0)
      SearchClockTable(*this, "Level_%d_CERDTClock", "Level_%d_RDTCE", m_FlashCount, level);
    return level;
  }

  int level = kx::ClockLevel(ReadOption("MPClock")).value_or(kx::kDefaultMpClockLevel);
  if (m_FlashCount >= kx::kClockExceptionMinCes) {
    const std::string mask = kx::GetFlashIdMask();
    for (const char* id : kx::kClockExceptionIds) {
      if (kx::MaskedFlashIdMatch(id, m_FlashIdText, mask) && m_IsTlcFlash && (level == 7 || level == 8)) {
        level = kx::kClockExceptionLevel;
        WriteReport("B0KB 8CE up, Change Clock to 6", true);
        break;
      }
    }
  }
  if (ReadOption("Level_1_Clock") != 0) {
    const std::string sizeText =
        kx::TrimBlanks(kx::ReadProfileText("Options", "SetSSDSize", kx::ParamFdbIniPath().c_str(), 20));
    const std::int64_t capacity =
        sizeText.empty() || sizeText == "0" ? SelectCapacity() : kx::ReadSignedDecimal(sizeText);
    SearchClockTable(*this, "Level_%d_Clock", "Level_%d_Cap", capacity, level);
  }
  if (ReadOption("Level_1_CEClock") != 0)
    SearchClockTable(*this, "Level_%d_CEClock", "Level_%d_CE", m_FlashCount, level);
  return level;
}

std::int32_t CPortDevice::SelectFlashInterface(std::uint8_t /*rdt*/) {
  return kx::FlashInterfaceValue(ReadOption("EnableToggle2"), m_ToggleFlagA || m_ToggleFlagB);
}
