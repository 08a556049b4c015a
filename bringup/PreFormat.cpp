// PreFormat: the pre-format parameters, then the built info block with the
// drive's SMART table, which start the controller's pre-format; the wait for
// the drive and its result sector. The emulated drive answers the pre-format
// (31h/08h), its result (21h/07h) and the status polling (31h/CCh) in
// emulator/DriveVendor.cpp.
#include "bringup/PreFormat.h"

#include <algorithm>
#include <cstring>

#include "command/CommandGlobals.h"
#include "command/DriveCommand.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "platform/Clock.h"

using kx::StrFormat;

namespace kx {

PreFormatResult DecodePreFormatResult(const std::uint8_t* sector512) {
  PreFormatResult r;
  r.code = sector512[preformat::kResultCode];
  const std::uint8_t* a = sector512 + preformat::kResultFailAddress;
  r.failAddress = static_cast<std::uint32_t>(a[0]) | static_cast<std::uint32_t>(a[1]) << 8 |
                  static_cast<std::uint32_t>(a[2]) << 16 | static_cast<std::uint32_t>(a[3]) << 24;
  for (const PreFormatResultRow& row : kPreFormatResults) {
    if (row.code != r.code) continue;
    r.kind = row.kind;
    r.text = row.text;
    return r;
  }
  r.kind = kPreFormatControllerFailure;
  r.text = StrFormat("Unknown Fail(%02X)", r.code);
  return r;
}

std::string PreFormatFailMessage(const PreFormatResult& result) {
  return StrFormat("PreFormat Fail: %s, Fail Address=0x%08X", result.text.c_str(), result.failAddress);
}

std::array<std::uint8_t, 512> BuildPreFormatParam(std::uint16_t ceMap, bool keepRdtInfo) {
  std::array<std::uint8_t, 512> sector{};
  sector[preformat::kParamCeMap] = static_cast<std::uint8_t>(ceMap);
  sector[preformat::kParamCeMap + 1] = static_cast<std::uint8_t>(ceMap >> 8);
  sector[preformat::kParamKeepRdtInfo] = keepRdtInfo ? 1 : 0;
  return sector;
}

std::array<std::uint8_t, 1024> BuildPreFormatData(const std::uint8_t* infoBlock512, const std::uint8_t* smartTable512) {
  std::array<std::uint8_t, 1024> data{};
  std::memcpy(data.data() + preformat::kInfoBlockSector * 512, infoBlock512, 512);
  std::memcpy(data.data() + preformat::kSmartTableSector * 512, smartTable512, 512);
  return data;
}

}  // namespace kx

bool CPortDevice::FailPreFormatStep() {
  std::replace(m_ErrorCode.begin(), m_ErrorCode.end(), 'x', 'H');
  WriteFailReport();
  return false;
}

int CPortDevice::WaitPreFormatDone(bool polling, std::uint8_t& state) {
  if (!polling) return WaitCardReady(state, kx::kPreFormatTimeLimitSec);
  const win::DWORD start = win::GetTickCount();
  for (;;) {
    win::Sleep(kx::kPreFormatPollMs);
    std::uint32_t status = 0;
    if (!m_Command->StartStatusPolling() || !GetCardState(state, status, false)) return 0;
    if (state == 0x50 || (g_KX_U2A != 0 && state == 0x51)) return 1;
    // An error state or no answer ends the wait; busy goes on.
    if (state == 0x51 || state == 0x00 || state == 0xFF) return 0;
    m_ElapsedSec = static_cast<double>(win::GetTickCount() - start) / 1000.0;
    if (m_ElapsedSec > kx::kPreFormatTimeLimitSec) return 2;
  }
}

bool CPortDevice::PreFormat(int first, IProgressBar* progress, int progressSpan, bool keepRdtInfo, bool polling,
                            std::uint16_t ceMap) {
  m_PreFormatResultKind = kx::kPreFormatNoResult;
  const win::DWORD start = win::GetTickCount();
  const int base = progress != nullptr ? progress->GetPos() : 0;
  auto advance = [&](int quarters) {
    if (progress != nullptr) progress->SetPos(base + progressSpan * quarters / 4);
  };
  WriteReport("Do PreFormat:", true);

  // The SMART table goes back with the info block, so that it outlives the pre-format.
  std::array<std::uint8_t, 512> smart{};
  if (!SetApKeyWithRetry(true, 300)) return FailPreFormatStep();
  if (!m_Command->DirectReadInfoBlock(smart.data(), 1)) {
    Fail("I_H45", "Issue DirectReadInfoBlock Smart Entry Command Failed", true);
    return false;
  }
  const auto param = kx::BuildPreFormatParam(ceMap, keepRdtInfo);
  if (!SetApKeyWithRetry(true, 300)) return FailPreFormatStep();
  if (!m_Command->PreFormat(param.data(), kx::preformat::kModeParam, false)) {
    Fail("F_H08", "Issue PreFormat Command Failed.", true);
    return false;
  }

  WriteReport("PreFormat-WriteInfoBlock", true);
  const auto data = kx::BuildPreFormatData(m_InfoBlockBuilt.data(), smart.data());
  if (!SetApKeyWithRetry(true, 300)) return FailPreFormatStep();
  if (!m_Command->PreFormat(data.data(), first != 0 ? kx::preformat::kModeMp : kx::preformat::kModeRdt, polling)) {
    Fail("I_H10", "Issue Write Info Block Command Failed.", true);
    return false;
  }
  advance(1);

  std::uint8_t state = 0;
  const int done = WaitPreFormatDone(polling, state);
  if (done == 0) {
    Fail("I_H24", StrFormat("Polling PreFormat Status failed, State Is 0x%02x", state), true);
    return false;
  }
  if (done == 2) {
    Fail("I_H87", StrFormat("Polling PreFormat Status Timeout, Status=0x%02x", state), true);
    return false;
  }
  advance(3);

  std::array<std::uint8_t, 512> sector{};
  if (!SetApKeyWithRetry(true, 300)) return FailPreFormatStep();
  if (!m_Command->ReadPreFormatResult(sector.data())) {
    Fail("F_H08", "Issue Read PreFormat Result Command Failed.", true);
    return false;
  }
  const kx::PreFormatResult result = kx::DecodePreFormatResult(sector.data());
  if (result.code != 0) {
    m_PreFormatResultKind = result.kind;
    Fail("F_H07", kx::PreFormatFailMessage(result), true);
    return false;
  }
  advance(4);
  m_ElapsedSec = static_cast<double>(win::GetTickCount() - start) / 1000.0;
  WriteReport(StrFormat("PreFormat OK- Total take %.3f sec.", m_ElapsedSec), false);
  return true;
}
