// The drive checks: CheckThermalSensor, CheckDevSleep, CheckSmartStatus,
// ResetSmart, SecurityErase, StandbyImmediate and CheckNormalCurrent. The
// emulated drive answers SMART, security, STANDBY IMMEDIATE and SET FEATURES in
// emulator/DriveAta.cpp and the SMART reset in emulator/DriveVendor.cpp; the
// device-sleep line, card state and current readings come from the tester or
// bridge (emulator/Tester.cpp, emulator/Bridge.cpp).
#include "drivetests/DriveChecks.h"

#include <algorithm>
#include <cstring>

#include "bringup/IdentifyChecks.h"
#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "drivetests/CopyCompare.h"
#include "platform/Clock.h"

using kx::StrFormat;

namespace kx {

std::optional<int> SmartTemperature(const std::uint8_t* smart512) {
  constexpr int kAttributes = 30, kEntryBytes = 12, kFirst = 2;
  for (int i = 0; i < kAttributes; ++i) {
    const std::uint8_t* a = smart512 + kFirst + i * kEntryBytes;
    if (a[0] == 0xC2) return a[5];
  }
  return std::nullopt;
}

SmartStatus SmartReturnStatus(std::uint8_t lbaMid, std::uint8_t lbaHigh, std::uint8_t status) {
  if (status == 0 || (lbaMid == 0 && lbaHigh == 0)) return SmartStatus::NotReturned;
  if (lbaMid == 0x4F && lbaHigh == 0xC2) return SmartStatus::Good;
  if (lbaMid == 0xF4 && lbaHigh == 0x2C) return SmartStatus::ThresholdExceeded;
  return SmartStatus::Unknown;
}

namespace {

constexpr int kSmartEntries = 30, kSmartEntryBytes = 12, kSmartFirstEntry = 2;

bool pageSumsToZero(const std::uint8_t* page) {
  std::uint8_t sum = 0;
  for (int i = 0; i < 512; ++i) sum = static_cast<std::uint8_t>(sum + page[i]);
  return sum == 0;
}

const std::uint8_t* smartEntry(const std::uint8_t* page, int i) {
  return page + kSmartFirstEntry + i * kSmartEntryBytes;
}

// Threshold entry of an attribute: id, threshold, 10 reserved bytes.
const std::uint8_t* thresholdOf(const std::uint8_t* thresholds, std::uint8_t id) {
  for (int i = 0; i < kSmartEntries; ++i) {
    if (smartEntry(thresholds, i)[0] == id) return smartEntry(thresholds, i);
  }
  return nullptr;
}

}  // namespace

SmartJudgement JudgeSmartThresholds(const std::uint8_t* data, const std::uint8_t* thresholds) {
  const SmartJudgement unknown;
  if (!pageSumsToZero(data) || !pageSumsToZero(thresholds)) return unknown;
  bool anyAttribute = false, anyThreshold = false, allJudged = true;
  for (int i = 0; i < kSmartEntries; ++i) anyThreshold = anyThreshold || smartEntry(thresholds, i)[0] != 0;
  // Attribute entry: id, flags (16-bit), value, worst, raw (6), reserved.
  for (int i = 0; i < kSmartEntries; ++i) {
    const std::uint8_t* a = smartEntry(data, i);
    if (a[0] == 0) continue;
    anyAttribute = true;
    if ((a[1] & 0x01) == 0) continue;
    const std::uint8_t* t = thresholdOf(thresholds, a[0]);
    if (t == nullptr) {
      allJudged = false;
    } else if (t[1] != 0 && a[3] <= t[1]) {
      return {SmartStatus::ThresholdExceeded, a[0], a[3], t[1]};
    }
  }
  if (!anyAttribute || !anyThreshold || !allJudged) return unknown;
  return {SmartStatus::Good};
}

SecurityState SecurityOf(const std::uint8_t* identify) {
  const std::uint16_t w = IdentifyWord(identify, 128);
  return {(w & 0x0001) != 0, (w & 0x0002) != 0, (w & 0x0004) != 0, (w & 0x0008) != 0};
}

std::uint32_t SecurityEraseLimitSec(const std::uint8_t* identify) {
  const std::uint32_t units = IdentifyWord(identify, 89) & 0xFF;
  return units == 0 ? 600 : units * 120;
}

}  // namespace kx

namespace {

constexpr kx::SurfaceTest kCurrentLoad = {"Normal Current Check", true, "F_K11", "F_K12", "F_K13"};

double SecondsSince(win::DWORD start) { return static_cast<double>(win::GetTickCount() - start) / 1000.0; }

}  // namespace

bool CPortDevice::CheckThermalSensor() {
  std::uint8_t smart[512] = {};
  if (!m_Command->SMART_READ_DATA(smart)) {
    Fail("M_x28", "Issue SMART READ DATA Command Failed !!!", true);
    return false;
  }
  const std::optional<int> t = kx::SmartTemperature(smart);
  if (!t) {
    Fail("M_S05", "Thermal Sensor not found, no temperature in SMART data !!!", true);
    return false;
  }
  if (*t < kx::kThermalMinC || *t > kx::kThermalMaxC) {
    Fail("M_S05",
         StrFormat("Thermal Sensor temperature= %d degree C, out of range(%d~%d) !!!", *t, kx::kThermalMinC,
                   kx::kThermalMaxC),
         true);
    return false;
  }
  WriteReport(StrFormat("Got Thermal Sensor, and temperature= %d degree C", *t), false);
  return true;
}

bool CPortDevice::CheckDevSleep() {
  const win::DWORD start = win::GetTickCount();
  if (m_DevSlpEnable == 0) {
    Fail("P_W19", "DevSLP test needs DEVSLP_Control enabled in param.ini !!!", true);
    return false;
  }
  if (m_TesterKind != 4) {
    Fail("P_W19", "DevSLP control only support by SATAIII tester !!!", true);
    return false;
  }
  int tries = 0;
  bool slept = false;
  while (!slept && tries < kx::kDevSleepTries) {
    ++tries;
    if (tries > 1) win::Sleep(kx::kDevSleepRetryMs);
    if (!m_Command->DEVSLP_SET_Feature(true)) {
      Fail("T_W10", "Issue DEVSLP SET FEATURE Command Failed !!!", true);
      return false;
    }
    if (!m_Command->DEVSLP_IO_Control(true)) {
      Fail("T_W11", "Issue DEVSLP IO Control Command Failed !!!", true);
      return false;
    }
    win::Sleep(kx::kDevSleepSettleMs);
    std::uint8_t state = 0xFF;
    std::uint32_t status = 0;
    const bool answered = GetCardState(state, status, true);
    // The line is released whatever the card said.
    if (!m_Command->DEVSLP_IO_Control(false)) {
      Fail("T_W11", "Issue DEVSLP IO Control Command Failed !!!", true);
      return false;
    }
    if (!answered) {
      WriteFailReport();
      return false;
    }
    slept = state == kx::kCardStateAsleep;
    WriteReport(StrFormat("DevSLP Try=%d, Card State Is 0x%02x%s", tries, state, slept ? "" : ", not asleep"), true);
  }
  if (!slept) {
    Fail("P_W19", StrFormat("Device did not enter DevSLP in %d tries !!!", tries), true);
    return false;
  }
  std::uint8_t state = 0;
  const int woke = WaitCardReady(state, kx::kDevSleepWakeSec);
  if (woke != 1) {
    Fail("P_W19", StrFormat("Device did not wake up from DevSLP, Card State Is 0x%02x !!!", state), true);
    return false;
  }
  if (!m_Command->DEVSLP_SET_Feature(false)) {
    Fail("T_W10", "Issue DEVSLP SET FEATURE Command Failed !!!", true);
    return false;
  }
  m_ElapsedSec = SecondsSince(start);
  WriteReport(StrFormat("Check DevSLP OK(Try=%d)- Total take %.3f sec.", tries, m_ElapsedSec), false);
  return true;
}

bool CPortDevice::CheckSmartStatus() {
  static constexpr char kExceeded[] = "Device can't be used, reserved block not enough, Replace Flash.";
  if (!m_Command->SMART_Return_Status()) {
    Fail("F_x26", "Issue SMART RETURN STATUS Command Failed !!!", true);
    return false;
  }
  const std::uint8_t mid = m_Command->m_RetTaskFile[3];
  const std::uint8_t high = m_Command->m_RetTaskFile[4];
  switch (kx::SmartReturnStatus(mid, high, m_Command->m_RetTaskFile[6])) {
    case kx::SmartStatus::Good: WriteReport("Check SMART Status OK.", false); return true;
    case kx::SmartStatus::ThresholdExceeded: Fail("F_x26", kExceeded, true); return false;
    case kx::SmartStatus::Unknown:
      Fail("F_x26", StrFormat("SMART RETURN STATUS unreadable(LBA Mid=0x%02X, LBA High=0x%02X) !!!", mid, high),
           true);
      return false;
    case kx::SmartStatus::NotReturned: break;
  }
  // A bridge that ignores CK_COND returns no registers: judge by the attribute thresholds.
  std::uint8_t data[512] = {}, thresholds[512] = {};
  const bool read = m_Command->SMART_READ_DATA(data) && m_Command->SMART_READ_THRESHOLDS(thresholds);
  const kx::SmartJudgement j = read ? kx::JudgeSmartThresholds(data, thresholds) : kx::SmartJudgement{};
  switch (j.status) {
    case kx::SmartStatus::Good: WriteReport("Check SMART Status OK(judged by attribute thresholds).", false); return true;
    case kx::SmartStatus::ThresholdExceeded:
      WriteReport(StrFormat("SMART attribute %02Xh value %u at or below its threshold %u.", j.id, j.value, j.threshold),
                  true);
      Fail("F_x26", kExceeded, true);
      return false;
    default: break;
  }
  Fail("F_x26",
       read ? "SMART status could not be judged: no registers returned, SMART data or thresholds invalid !!!"
            : "SMART status could not be judged: no registers returned, SMART data or thresholds unreadable !!!",
       true);
  return false;
}

bool CPortDevice::ResetSmart() {
  const win::DWORD start = win::GetTickCount();
  if (!SetApKeyWithRetry(true, 300)) {
    std::replace(m_ErrorCode.begin(), m_ErrorCode.end(), 'x', 'U');
    WriteFailReport();
    return false;
  }
  if (!m_Command->Reset_Smart()) {
    Fail("I_U77", "Issue Reset SMART Command Failed !!!", true);
    return false;
  }
  std::uint8_t state = 0;
  switch (WaitCardReady(state, kx::kResetSmartLimitSec)) {
    case 1: break;
    case 2: Fail("I_U77", StrFormat("Reset SMART Timeout, Status=0x%02x", state), true); return false;
    default: Fail("I_U77", StrFormat("Reset SMART Failed, Card State Is 0x%02x", state), true); return false;
  }
  m_ElapsedSec = SecondsSince(start);
  WriteReport(StrFormat("Reset SMART OK- Total take %.3f sec.", m_ElapsedSec), false);
  return true;
}

bool CPortDevice::FailSecurityErase(const char* code, const std::string& message) {
  // The drive may still be busy with the erase, or rebooting.
  std::uint8_t state = 0;
  WaitCardReady(state, kx::kSecurityCleanupWaitSec);
  const std::uint8_t password[512] = {};
  bool cleared = m_Command->SecurityDisablePassword(password);
  if (!cleared) cleared = m_Command->SecurityUnlock(password) && m_Command->SecurityDisablePassword(password);
  WriteReport(cleared ? "Security Erase failed, the zero password is disabled: the drive stays unlocked."
                      : "Security Erase failed, the zero password could NOT be disabled: the drive may lock "
                        "at the next power-on !!!",
              true);
  Fail(code, message, true);
  return false;
}

bool CPortDevice::SecurityErase() {
  const win::DWORD start = win::GetTickCount();
  std::uint8_t identify[kx::kIdentifyBytes] = {};
  if (!m_Command->GetIdentify(identify)) {
    Fail("I_U06", "Issue Identify Command Fail.", true);
    return false;
  }
  const kx::SecurityState before = kx::SecurityOf(identify);
  if (!before.supported) {
    Fail("I_U06", "Device does not support the Security feature set !!!", true);
    return false;
  }
  if (before.locked) {
    Fail("I_U06", "Device is locked by a password, can't do Security Erase !!!", true);
    return false;
  }
  if (!SetApKeyWithRetry(true, 300)) {
    std::replace(m_ErrorCode.begin(), m_ErrorCode.end(), 'x', 'U');
    WriteFailReport();
    return false;
  }
  if (!m_Command->Vendor_UnLock_Forzen()) {
    Fail("I_U73", "Issue Vendor_UnLock_Forzen Command Failed !!!", true);
    return false;
  }
  // The user password, all zeros, at high security level.
  const std::uint8_t password[512] = {};
  if (!m_Command->SECURITY_SET_PASSWORD(password))
    return FailSecurityErase("I_U74", "Issue SECURITY_SET_PASSWORD Command Failed !!!");
  if (!m_Command->SECURITY_ERASE_PREPARE())
    return FailSecurityErase("I_U75", "Issue SECURITY_ERASE_PREPARE Command Failed !!!");
  if (!m_Command->SECURITY_ERASE_UNIT(password))
    return FailSecurityErase("I_U76", "Issue SECURITY_ERASE_UNIT Command Failed !!!");
  const std::uint32_t limit = kx::SecurityEraseLimitSec(identify);
  std::uint8_t state = 0;
  switch (WaitCardReady(state, limit)) {
    case 1: break;
    case 2:
      return FailSecurityErase("I_U76", StrFormat("Security Erase Unit Timeout(%u sec), Status=0x%02x", limit, state));
    default: return FailSecurityErase("I_U76", StrFormat("Security Erase Unit Failed, Card State Is 0x%02x", state));
  }
  std::memset(identify, 0, sizeof identify);
  if (!m_Command->GetIdentify(identify)) return FailSecurityErase("I_U06", "Issue Identify Command Fail.");
  if (kx::SecurityOf(identify).enabled)
    return FailSecurityErase("I_U76", "Security still enabled after Security Erase Unit !!!");
  m_ElapsedSec = SecondsSince(start);
  WriteReport(StrFormat("Security Erase OK- Total take %.3f sec.", m_ElapsedSec), false);
  return true;
}

bool CPortDevice::StandbyImmediate() {
  if (!m_Command->StandBy_Imd()) {
    Fail("I_x88", "Issue StandBy Immediate Command Failed !!!", true);
    return false;
  }
  WriteReport("StandBy.", false);
  return true;
}

bool CPortDevice::CheckNormalCurrent() {
  const int limit = kx::ReadProfileInt("General Info", "MaxCurrent", 0, kx::SettingIniPath().c_str());
  double idle = 0.0;
  if (!ReadCardCurrent(idle)) return false;
  WriteCurrentLog(StrFormat("Slot %d  SN: %s  Idle Current: %.2f mA\r\n", m_Slot, m_SerialNumber.c_str(), idle), 0);
  if (!ClearCurrentBuffer()) {
    WriteFailReport();
    return false;
  }
  const kx::LbaRange area{0, kx::kCurrentLoadSectors};
  kx::ProgressRun none(nullptr, 0, 0);
  const kx::TestPattern pattern(static_cast<std::uint32_t>(win::GetTickCount()));
  if (!WriteTestRange(kCurrentLoad, area, &pattern, none) || !VerifyTestRange(kCurrentLoad, area, pattern, none) ||
      !WriteTestRange(kCurrentLoad, area, nullptr, none))
    return false;
  double load = 0.0;
  if (!ReadMaxCurrent(load)) {
    WriteFailReport();
    return false;
  }
  WriteCurrentLog(StrFormat("Slot %d  SN: %s  Write/Read Current: %.2f mA\r\n", m_Slot, m_SerialNumber.c_str(), load),
                  1);
  const bool over = limit > 0 && std::max(idle, load) > limit;
  WriteCurrentLog(StrFormat("Slot %d  SN: %s  Idle: %.2f mA  Write/Read: %.2f mA  MaxCurrent: %d mA  %s\r\n", m_Slot,
                            m_SerialNumber.c_str(), idle, load, limit, over ? "Fail" : "Pass"),
                  3);
  if (over) {
    Fail("M_x03",
         StrFormat("Current is over spec(Idle:%.2f mA, Write/Read:%.2f mA, MaxCurrent:%d mA) !!!", idle, load, limit),
         true);
    return false;
  }
  WriteReport(StrFormat("Check Normal Current OK(Idle:%.2f mA, Write/Read:%.2f mA)", idle, load), false);
  return true;
}
