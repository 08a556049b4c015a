// CE map selection and erase-all blocks: SelectCeMap and EraseAllBlocks. The
// emulated drive answers their commands (SetCEMap, EraseAllBlock,
// StartStatusPolling and the card state while it erases) in
// emulator/DriveVendor.cpp and emulator/Drive.cpp.
#include "media/CeMapErase.h"

#include <bit>
#include <cstring>

#include "command/CommandGlobals.h"
#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "platform/Clock.h"

using kx::StrFormat;

namespace kx {

std::uint16_t ChooseCeMap(std::uint16_t deviceMap, std::uint16_t uiMap, bool compare) {
  if (!compare) return uiMap;
  if (uiMap == 0) return deviceMap;
  if (deviceMap == 0) return uiMap;
  return static_cast<std::uint16_t>(deviceMap & uiMap);
}

void BuildCeMapRecord(std::uint8_t* sector512, std::uint16_t map, std::uint8_t dynamicCe) {
  std::memset(sector512, 0, 512);
  sector512[0] = static_cast<std::uint8_t>(map);
  sector512[1] = static_cast<std::uint8_t>(map >> 8);
  sector512[2] = dynamicCe;
}

ProfileKey DynamicCeKey(int station) {
  if (station == 1 || station == 7 || station == 9) return {"RDT", "RDT_DynamicCE_En"};
  return {"Options", "AutoCapacity_DynamicCE_En"};
}

std::uint32_t EraseMultiplier(std::uint32_t channelCount) {
  switch (channelCount) {
    case 1: return 6;
    case 2: return 5;
    case 4: return 4;
    default: return 3;
  }
}

std::uint32_t EraseBaseSeconds(std::uint32_t physicalMb) {
  std::uint32_t base = 30;
  for (std::uint32_t limit = 32768; physicalMb > limit && base < 1920; limit *= 2) base *= 2;
  return base;
}

std::uint32_t EraseTimeLimitSec(std::uint32_t physicalMb, std::uint32_t channelCount, int station) {
  if (station == 0) return 3200;
  return EraseMultiplier(channelCount) * EraseBaseSeconds(physicalMb);
}

std::uint32_t EraseProgressInterval(std::uint32_t multiplierTimesBase, int span) {
  const std::uint32_t parts = span < 5 ? 1 : static_cast<std::uint32_t>(span / 5);
  const std::uint32_t interval = (multiplierTimesBase / 2) / parts;
  return interval < 1 ? 1 : interval;
}

bool EraseRenewsApKey(std::uint8_t eraseType) { return (eraseType & 0x10) == 0 && eraseType != 0x21; }

std::string EraseSuccessText(std::uint8_t eraseType, double seconds) {
  const char* format = "Erase All Block OK(%02x)- Total take %.3f sec.";
  if (eraseType & 0x10)
    format = "Build Bad Block Table OK(%02x)- Total take %.3f sec.";
  else if (eraseType == 9)
    format = "Full Erase All Block OK(%02x)- Total take %.3f sec.";
  else if (eraseType == 4 || eraseType == 13)
    format = "Temp Scan OK(%02x)- Total take %.3f sec.";
  else if (eraseType == 1)
    format = "Keep RUT OK(%02x)- Total take %.3f sec.";
  return StrFormat(format, eraseType, seconds);
}

void EraseProgress::Advance(std::uint32_t wholeSeconds) {
  if (wholeSeconds < interval_ * step_) return;
  ++step_;
  added_ += 5;
  if (bar_ != nullptr && added_ < span_) bar_->SetPos(bar_->GetPos() + 5);
}

}  // namespace kx

namespace {

constexpr int kApKeyDelayMs = 300;
constexpr int kApKeyTries = 5;
constexpr int kEraseAttempts = 5;
constexpr std::uint32_t kPollingPauseMs = 1000;
constexpr std::uint32_t kWaitPauseMs = 300;
constexpr std::uint32_t kFinalPauseMs = 200;
constexpr std::uint8_t kStateReady = 0x50;
constexpr std::uint8_t kStateError = 0x51;

double SecondsSince(win::DWORD start) { return static_cast<double>(win::GetTickCount() - start) / 1000.0; }

}  // namespace

bool CPortDevice::SelectCeMap(std::uint16_t uiCeMap, bool compare) {
  WriteReport(StrFormat("Original CE Map=%x, UI CE Map=%x, Compare=%d", m_CeMap, uiCeMap, compare ? 1 : 0), true);
  m_CeMap = kx::ChooseCeMap(m_CeMap, uiCeMap, compare);
  WriteReport(StrFormat("Set CE Map=%x", m_CeMap), true);
  if (m_CeMap == 0) return true;
  m_FlashCount = std::popcount(m_CeMap);
  const kx::ProfileKey key = kx::DynamicCeKey(m_Station);
  const int dynamicCe = kx::ReadProfileInt(key.section, key.key, 0, kx::ParamFdbIniPath().c_str());
  std::uint8_t record[512];
  kx::BuildCeMapRecord(record, m_CeMap, static_cast<std::uint8_t>(dynamicCe));
  if (!SetApKeyWithRetry(true, kApKeyDelayMs)) return false;
  return m_Command->SetCEMap(record);
}

int CPortDevice::PollEraseAttempt(std::uint32_t limitSec, kx::EraseProgress& progress) {
  const win::DWORD start = win::GetTickCount();
  progress.StartWait();
  for (;;) {
    win::Sleep(kPollingPauseMs);
    m_Command->StartStatusPolling();  // its result is not used
    std::uint8_t state = 0;
    std::uint32_t status = 0;
    if (!GetCardState(state, status, true)) {
      WriteFailReport();
      return -1;
    }
    if (state == kStateReady) {
      const std::uint8_t eraseError = kx::IsTesterDirectMode() ? m_CardReply[12] : m_CardReply[7];
      return eraseError == 0 ? 1 : 0;
    }
    m_ElapsedSec = SecondsSince(start);
    progress.Advance(static_cast<std::uint32_t>(m_ElapsedSec));
    WriteReport(StrFormat("     %.3f sec. status:0x%02x", m_ElapsedSec, state), true);
    if (m_ElapsedSec > limitSec) {
      Fail("F_E04", "EraseAllBlock Timeout", true);
      return -1;
    }
  }
}

bool CPortDevice::WaitEraseEnd(std::uint8_t eraseType, std::uint32_t limitSec, kx::EraseProgress& progress) {
  const win::DWORD start = win::GetTickCount();
  progress.StartWait();
  for (;;) {
    win::Sleep(kWaitPauseMs);
    std::uint8_t state = 0;
    std::uint32_t status = 0;
    if (!GetCardState(state, status, true)) return FailWithFamily('E');
    switch (state) {
      case kStateReady:
        return true;
      case kStateError:
        Fail("F_E03",
             (eraseType & 0x10) ? "Build Bad Block Table Failed , Card State Is 0x51"
                                : "EraseAllBlock Failed , Card State Is 0x51",
             true);
        return false;
      case 0x00:
        Fail("F_E03", "EraseAllBlock Fail , Card State Is 0x00", true);
        return false;
      case 0xFF:
        Fail("F_E03", "EraseAllBlock Fail , Card State Is 0xFF", true);
        return false;
      default:
        break;
    }
    m_ElapsedSec = SecondsSince(start);
    progress.Advance(static_cast<std::uint32_t>(m_ElapsedSec));
    if (m_ElapsedSec > limitSec) {
      Fail("F_E04", "EraseAllBlock Timeout", true);
      return false;
    }
  }
}

bool CPortDevice::EraseAllBlocks(std::uint8_t eraseType, bool /*keepRunningCode*/, IProgressBar* progressBar,
                                 int progressSpan, bool polling) {
  WriteReport(StrFormat("Do EraseAll Block, Type=0x%02x", eraseType), true);
  const win::DWORD start = win::GetTickCount();
  m_ClockStart = static_cast<std::int32_t>(start);
  const std::uint32_t fullTime = kx::EraseMultiplier(m_ChannelCount) * kx::EraseBaseSeconds(m_PhysicalSize);
  const std::uint32_t limitSec = kx::EraseTimeLimitSec(m_PhysicalSize, m_ChannelCount, m_Station);
  kx::EraseProgress progress(progressBar, progressSpan, kx::EraseProgressInterval(fullTime, progressSpan));

  bool keyed = false;
  for (int i = 0; i < kApKeyTries && !keyed; ++i) {
    keyed = SetApKeyWithRetry(true, kApKeyDelayMs);
    if (!keyed) win::Sleep(kApKeyDelayMs);
  }
  if (!keyed) {
    m_ErrorMessage = "Issue AP_Key Command Failed, before EraseAllBlock Command.";
    return FailWithFamily('E');
  }

  bool erased = false;
  for (int attempt = 1; attempt <= kEraseAttempts && !erased; ++attempt) {
    if (attempt > 1) WriteReport("Erase all block - Retry!!", true);
    erased = m_Command->EraseAllBlock(eraseType, polling);
    if (erased && polling) {
      const int result = PollEraseAttempt(limitSec, progress);
      if (result < 0) return false;
      erased = result == 1;
    }
  }
  if (!erased) {
    Fail("F_E03", StrFormat("Issue EraseAllBlock Command Failed, Mode=0x%02x", eraseType), true);
    return false;
  }
  if (!polling && !WaitEraseEnd(eraseType, limitSec, progress)) return false;

  if (kx::EraseRenewsApKey(eraseType) && !SetApKeyWithRetry(false, kApKeyDelayMs)) {
    win::Sleep(kApKeyDelayMs);
    if (!SetApKeyWithRetry(false, kApKeyDelayMs)) {
      m_ErrorMessage = "AP-Key Failed, after EarseAll-ISPJump.";
      return FailWithFamily('E');
    }
  }
  win::Sleep(kFinalPauseMs);
  const win::DWORD end = win::GetTickCount();
  m_ClockNow = static_cast<std::int32_t>(end);
  m_ElapsedSec = static_cast<double>(end - start) / 1000.0;
  WriteReport(kx::EraseSuccessText(eraseType, m_ElapsedSec), false);
  return true;
}
