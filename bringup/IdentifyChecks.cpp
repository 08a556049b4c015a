// Identify checks and tester information: CheckIdentify, IssueIdentify,
// CheckTesterFwVersion, GetTesterFwVersion, ReadTesterInfo, and the power
// off-on cycle PowerCycleDevice that ends in the identify check. IDENTIFY and
// the firmware-name read are answered by emulator/DriveAta.cpp and
// emulator/DriveStores.cpp; the tester page, the tester firmware version and the
// power commands by emulator/Tester.cpp.
#include "bringup/IdentifyChecks.h"

#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "command/CommandGlobals.h"
#include "command/DriveCommand.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/Settings.h"
#include "platform/Clock.h"

using kx::StrFormat;

namespace kx {

std::uint16_t IdentifyWord(const std::uint8_t* identify, int word) {
  return static_cast<std::uint16_t>(identify[2 * word] | identify[2 * word + 1] << 8);
}

std::string AtaWordText(const std::uint8_t* data, int firstWord, int words) {
  std::string text;
  for (int w = firstWord; w < firstWord + words; ++w) {
    const std::uint16_t v = IdentifyWord(data, w);
    const char high = static_cast<char>(v >> 8);
    const char low = static_cast<char>(v & 0xFF);
    if (high == 0) continue;
    text += high;
    if (low != 0) text += low;
  }
  return text;
}

std::uint32_t IdentifyLogicalSize(const std::uint8_t* identify) {
  const std::uint32_t size28 =
      static_cast<std::uint32_t>(IdentifyWord(identify, 61)) << 16 | IdentifyWord(identify, 60);
  if (size28 < 0x0FFFFFFF) return size28;
  return static_cast<std::uint32_t>(IdentifyWord(identify, 101)) << 16 | IdentifyWord(identify, 100);
}

int IdentifySataGen(const std::uint8_t* identify, bool bridgeOrPort) {
  int gen = 0;
  switch (IdentifyWord(identify, 76) & 0xFF) {
    case 0x02: gen = 1; break;
    case 0x06: gen = 2; break;
    case 0x0E: gen = 3; break;
    default: break;
  }
  const int current = (IdentifyWord(identify, 77) >> 1) & 0x7;
  if (current != 0) gen = current;
  if (bridgeOrPort) gen = 3;
  return gen;
}

bool IdentifyDevSleepSupported(const std::uint8_t* identify) { return (IdentifyWord(identify, 78) & 0x100) != 0; }
bool IdentifyDevSleepEnabled(const std::uint8_t* identify) { return (IdentifyWord(identify, 79) & 0x100) != 0; }

std::string FormatTesterFwVersion(std::uint8_t major, std::uint8_t minor) {
  return StrFormat("%d.%02x", major, minor);
}

bool ParseTesterFwVersion(const std::string& text, TesterFwVersion& out) {
  const std::string v = TrimBlanks(text);
  const std::size_t point = v.find('.');
  if (point == 0 || point == std::string::npos || point + 1 >= v.size()) return false;
  for (std::size_t i = 0; i < point; ++i)
    if (v[i] < '0' || v[i] > '9') return false;
  for (std::size_t i = point + 1; i < v.size(); ++i)
    if (!std::isxdigit(static_cast<unsigned char>(v[i]))) return false;
  if (point > 3 || v.size() - point - 1 > 2) return false;  // a byte each
  out.major = std::atoi(v.substr(0, point).c_str());
  out.minor = static_cast<int>(std::strtol(v.substr(point + 1).c_str(), nullptr, 16));
  return true;
}

TesterFwVersion MinimumTesterFw(int testerKind) { return testerKind == 4 ? TesterFwVersion{3, 0x09} : TesterFwVersion{1, 0x33}; }

bool TesterFwRecentEnough(int testerKind, const std::string& version) {
  TesterFwVersion v;
  if (!ParseTesterFwVersion(version, v)) v = {};
  const TesterFwVersion min = MinimumTesterFw(testerKind);
  if (v.major != min.major) return v.major > min.major;
  return v.minor >= min.minor;
}

bool TesterReportsUsbGen(int testerKind, const std::string& version) {
  if (testerKind != 3 && testerKind != 4) return false;
  TesterFwVersion v;
  return ParseTesterFwVersion(version, v) && v.major >= 3 && v.minor >= 3;
}

std::string TesterNameFromPage(const std::uint8_t* page) {
  std::string name;
  for (int i = 0; i < 12; ++i) {
    const char c = static_cast<char>(page[98 + 2 * i]);
    if (c == '\0') break;
    name += c;
  }
  return TrimBlanks(name);
}

}  // namespace kx

namespace {

// Leading blanks only.
std::string TrimLeft(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  return first == std::string::npos ? std::string() : text.substr(first);
}

constexpr int kQcStation = 5;

}  // namespace

bool CPortDevice::CheckIdentify(bool readSerialNumber) {
  std::array<std::uint8_t, kx::kIdentifyBytes> id{};
  if (!m_Command->GetIdentify(id.data())) {
    Fail("I_x06", "Issue Identify Command Fail.", false);
    return false;
  }
  const std::string serial = kx::TrimBlanks(kx::AtaWordText(id.data(), 10, 10));
  const std::string revision = kx::AtaWordText(id.data(), 23, 4);
  if (readSerialNumber) {
    m_SerialNumber = serial;
    m_SerialNumBase = serial;
    WriteReport(StrFormat("Get SN: %s", serial.c_str()), true);
    if (serial.empty()) {
      Fail("S_x21", "Serial Number is empty !!!", false);
      return false;
    }
    m_FwRevision = kx::TrimBlanks(revision);
    return true;
  }

  if (m_Station == kQcStation && serial.empty()) {
    Fail("S_x21", "Serial Number is empty !!!", false);
    return false;
  }
  m_LogicalSizeSectors = kx::IdentifyLogicalSize(id.data());
  m_DeviceCapacitySectors = m_LogicalSizeSectors;
  m_DeviceCapacityMB = kx::SectorsToMb(m_LogicalSizeSectors);
  m_FwRevision = TrimLeft(revision);
  m_SataGen = kx::IdentifySataGen(id.data(), g_KX_U2A != 0);
  m_DevSleepEnabled = kx::IdentifyDevSleepEnabled(id.data()) ? 1 : 0;
  m_DevSleepSupported = kx::IdentifyDevSleepSupported(id.data()) ? 1 : 0;
  return true;
}

bool CPortDevice::IssueIdentify(std::uint8_t* buffer512, bool identify) {
  std::array<std::uint8_t, kx::kIdentifyBytes> data{};
  if (identify) {
    if (!m_Command->GetIdentify(data.data())) {
      Fail("I_x06", "Issue Identify Command Fail.", false);
      return false;
    }
  } else if (!m_Command->GetICFWName(data.data())) {
    Fail("I_B06", "GetICFWName Command Fail", false);
    return false;
  }
  std::memcpy(buffer512, data.data(), data.size());
  return true;
}

bool CPortDevice::ReadTesterPageInto() {
  std::memset(m_PageBuffer.data(), 0, kx::kTesterPageBytes);
  if (!m_Command->ReadUSBPage(m_PageBuffer.data(), kx::kTesterPageBytes)) {
    Fail("T_A13", "issue ReadUSBPage command failed.", true);
    return false;
  }
  m_TesterKind = m_PageBuffer[kx::kTesterPageKind];
  m_TesterFwVersion = GetTesterFwVersion();
  return true;
}

bool CPortDevice::CheckTesterFwVersion(bool skipVersionCheck) {
  if (!ReadTesterPageInto()) return false;
  // Compared as numbers: as text "10.00" would sort below "3.09".
  return skipVersionCheck || kx::TesterFwRecentEnough(m_TesterKind, m_TesterFwVersion);
}

std::string CPortDevice::GetTesterFwVersion() {
  std::array<std::uint8_t, kx::kTesterPageBytes> page{};
  const std::string version =
      m_Command->GetTesterFWVersion(page.data()) ? kx::FormatTesterFwVersion(page[8], page[9]) : "0.00";
  page.fill(0);
  m_Command->ReadUSBPage(page.data(), kx::kTesterPageBytes);  // a failed read leaves an empty name
  m_TesterName = kx::TesterNameFromPage(page.data());
  return version;
}

bool CPortDevice::ReadTesterInfo() {
  if (!ReadTesterPageInto()) return false;
  if (m_TesterKind == 3 || m_TesterKind == 4) {
    m_TesterFwVersion = kx::TrimBlanks(m_TesterFwVersion);
    if (kx::TesterReportsUsbGen(m_TesterKind, m_TesterFwVersion)) m_TesterUsbGen = m_PageBuffer[kx::kTesterPageUsbGen];
  }
  return true;
}

bool CPortDevice::PowerCycleDevice(bool devSleep) {
  const win::DWORD start = win::GetTickCount();
  auto testerReset = [this] {
    if (m_Command->PowerResetTester(48)) return true;
    Fail("T_I03", "Issue Power Reset Tester Command Fail", true);
    return false;
  };
  if (!testerReset()) return false;
  if (devSleep && !DisableDevSleep(true)) return false;
  const std::uint8_t delay = m_IsProduction ? ProductionDelay(35) : (m_TesterKind >= 4 ? 96 : 48);
  if (!m_Command->PowerResetCard(delay, 0, SwitchBoardFlag(), m_IsProduction != 0)) {
    Fail("T_x02", "Issue Power Reset Card Command Failed", true);
    return false;
  }
  if (!testerReset()) return false;
  if (devSleep && !DisableDevSleep(true)) return false;

  std::uint8_t state = 0;
  const int ready = WaitCardReady(state, 60.0);
  if (ready == 0) {
    Fail("I_I24", StrFormat("Reset status fail , Status=0x%02x", state), true);
    return false;
  }
  if (ready == 2) {
    Fail("I_I87", StrFormat("Reset Timeout, Status=0x%02x", state), true);
    return false;
  }
  if (!SetApKeyWithRetry(true, 300) || !CheckIdentify(false)) {
    WriteFailReport();
    return false;
  }
  m_ElapsedSec = static_cast<double>(win::GetTickCount() - start) / 1000.0;
  WriteReport(StrFormat("Power off-on Process OK- Total take %.3f sec.", m_ElapsedSec), false);
  return true;
}
