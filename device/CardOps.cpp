// Tester power, card-state polling, the access key with retries, and the
// card's supply and current checks.
#include <algorithm>
#include <cstring>

#include "command/CommandGlobals.h"
#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "platform/Clock.h"

using kx::StrFormat;

namespace {

constexpr std::uint8_t kReady = 0x50;
constexpr std::uint8_t kReadyWithError = 0x51;
constexpr std::uint32_t kPollMs = 300;

std::uint8_t ClampDelay(long value) {
  return static_cast<std::uint8_t>(std::clamp<long>(value, 0, 255));
}

int ParamInt(const char* section, const char* key) {
  return kx::ReadProfileInt(section, key, 0, kx::SettingIniPath().c_str());
}

}  // namespace

std::uint8_t CPortDevice::ProductionDelay(int whenZero) const {
  const int value = ParamInt("Options", "PowerOn_Delay_3111");
  return ClampDelay(value == 0 ? whenZero : value);
}

std::uint8_t CPortDevice::SwitchBoardFlag() const {
  if (m_SwitchBoard) return 1;
  return kx::ReadProfileInt("Options", "SATA_Tester_Switch_Board", 0, ".\\TesterSetting.ini") != 0 ? 1 : 0;
}

bool CPortDevice::SetApKeyWithRetry(bool checkEnabled, int retryDelayMs) {
  int result = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    result = m_Command->SetApKey(checkEnabled);
    if (result != 0) break;
    WriteReport(StrFormat("Set AP Key retry = %d", attempt), true);
    win::Sleep(static_cast<win::DWORD>(std::max(retryDelayMs, 0)));
  }
  if (result == 0) {
    Fail("I_x01", "Issue Set AP key command Fail.", false);
    return false;
  }
  if (checkEnabled && result == 2) {
    Fail("I_x02", "AP-key NOT Enable by Device.", false);
    return false;
  }
  return true;
}

bool CPortDevice::ResetCardWithRetries(std::uint8_t delay, const char* failMessage, bool report) {
  const std::uint8_t sw = SwitchBoardFlag();
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (m_Command->PowerResetCard(delay, 0, sw, m_IsProduction != 0)) return true;
    if (attempt < 2) win::Sleep(1000);
  }
  Fail("T_x02", failMessage, report);
  return false;
}

bool CPortDevice::PowerResetTesterWithRetries(std::uint8_t delay, bool report) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (m_Command->PowerResetTester(delay)) return true;
    if (attempt < 3) win::Sleep(1000);
  }
  Fail("T_x03", "Issue Power Reset Tester Command Fail", report);
  return false;
}

bool CPortDevice::DisableDevSleep(bool report) {
  if (!m_Command->DisableDEVSLP(2)) {
    Fail("T_x11", "Issue Disable DEVSLP command failed", report);
    return false;
  }
  win::Sleep(500);
  return true;
}

bool CPortDevice::WaitReadyAfterReset(double timeoutSec, bool report) {
  std::uint8_t state = 0;
  const int result = WaitCardReady(state, timeoutSec);
  if (result == 0) {
    Fail("I_x24", StrFormat("Reset status fail , Card State Is 0x%02x", state), report);
    return false;
  }
  if (result == 2) {
    Fail("I_x87", StrFormat("Reset Timeout, Status=0x%02x", state), report);
    return false;
  }
  return true;
}

bool CPortDevice::WaitReadyAfterPowerOn(double timeoutSec, const char* failCode, const char* timeoutCode,
                                        bool report) {
  std::uint8_t state = 0;
  const int result = WaitCardReady(state, timeoutSec);
  if (result == 0) {
    const bool detected = DetectCard(2) == 1;
    Fail(failCode,
         StrFormat(detected ? "Power On fail , Card State Is 0x%02x(Have detected Device)"
                            : "Power On fail , Card State Is 0x%02x(Not detected Device)",
                   state),
         report);
    return false;
  }
  if (result == 2) {
    Fail(timeoutCode, StrFormat("Power On Timeout, Status=0x%02x", state), report);
    return false;
  }
  return true;
}

bool CPortDevice::PowerResetCard(bool report) {
  const std::uint8_t delay = m_IsProduction ? ProductionDelay(35) : (m_TesterKind >= 4 ? 96 : 32);
  if (!ResetCardWithRetries(delay, "Issue Power Reset Card Command Failed", report)) return false;
  win::Sleep(1000);
  return WaitReadyAfterReset(60.0, report);
}

bool CPortDevice::PowerResetTester(bool report, bool disableDevSleep) {
  if (!PowerResetTesterWithRetries(32, report)) return false;
  win::Sleep(500);
  if (disableDevSleep && !DisableDevSleep(report)) return false;
  return true;
}

bool CPortDevice::ResetCardAndTester(bool report, int /*unused*/, bool devSleep) {
  const std::uint8_t delay = m_IsProduction ? ProductionDelay(35) : 101;
  if (devSleep) {
    if (m_TesterKind != 4) {
      Fail("P_x15", "DevSLP control only support by SATAIII tester !!!", report);
      return false;
    }
    if (!DisableDevSleep(report)) return false;
  }
  if (!ResetCardWithRetries(delay, "Issue Power Reset Card Command Fail", report)) return false;
  win::Sleep(1500);
  if (!WaitReadyAfterReset(60.0, report)) return false;
  if (!PowerResetTesterWithRetries(48, report)) return false;
  win::Sleep(200);
  if (devSleep && !DisableDevSleep(report)) return false;
  return WaitReadyAfterReset(10.0, report);
}

bool CPortDevice::SwitchCardPower(int mode, bool report, int voltage, bool devSleep) {
  const std::uint8_t sw = SwitchBoardFlag();
  std::uint8_t delay = m_IsProduction ? ProductionDelay(60) : (m_TesterKind >= 4 ? 96 : 48);
  const std::uint8_t selector = ParamInt("Options", "PowerOn_5V") != 0 ? 1 : ClampDelay(voltage);
  const bool powerOn = mode >= 1 && mode <= 3;
  if (powerOn) {
    delay = m_IsProduction ? ProductionDelay(60) : 53;
    if (m_PowerOnDelay != 0) delay = ClampDelay(static_cast<long>(std::min<std::uint32_t>(m_PowerOnDelay, 255)));
    if (devSleep && !DisableDevSleep(report)) return false;
  }
  if (!m_Command->SetCardPower(static_cast<std::uint8_t>(mode), delay, selector, sw)) {
    static const char* const kMessages[] = {"Power off Failed", "Power on Failed", "Power on Test for Micron 5V Failed",
                                            "Power on Test for Micron 3.3V Failed"};
    Fail("T_x06", (mode >= 0 && mode <= 3) ? kMessages[mode] : "Power on Failed", report);
    return false;
  }
  if (!powerOn) return true;  // power off does not wait for the card

  if (!WaitReadyAfterPowerOn(10.0, "I_x24", "I_x87", report)) return false;
  if (mode == 2) WriteReport("Power On test for Micron test(5V) OK.", false);
  if (mode == 3) WriteReport("Power On test for Micron test(3V3) OK.", false);
  return true;
}

int CPortDevice::WaitCardReady(std::uint8_t& state, double timeoutSec) {
  const std::uint8_t recoveryDelay = m_IsProduction ? ProductionDelay(35) : 48;
  const bool production = m_IsProduction != 0;
  bool recovered = false;
  const win::DWORD start = win::GetTickCount();
  m_ClockStart = static_cast<std::int32_t>(start);
  for (;;) {
    win::Sleep(kPollMs);
    std::uint32_t status = 0;
    if (!GetCardState(state, status, true)) return 0;
    const bool ready = g_KX_U2A != 0 ? (state == kReady || state == kReadyWithError) : state == kReady;
    if (ready) return 1;
    if (state == kReadyWithError) {
      if (recovered) return 0;
      if (!SetApKeyWithRetry(true, 300)) return 0;
      recovered = true;
    } else if (state == 0x00 || state == 0xFF) {
      if (recovered) return 0;
      if (g_KX_U2A == 0) {
        if (!m_Command->PowerResetCard(recoveryDelay, 0, 0, production)) {
          Fail("T_x02", "Issue Power Reset Card Command Failed", false);
          return 0;
        }
        win::Sleep(2000);
      }
      recovered = true;
    }
    const win::DWORD now = win::GetTickCount();
    m_ClockNow = static_cast<std::int32_t>(now);
    m_ElapsedSec = static_cast<double>(now - start) / 1000.0;
    if (m_ElapsedSec > timeoutSec) return 2;
  }
}

int CPortDevice::DetectCard(unsigned tries) {
  std::uint8_t reply[16] = {};
  for (unsigned i = 0; i < tries; ++i) {
    if (!m_Command->CardDetect(reply, sizeof reply)) {
      Fail("T_x07", "Issue Card Detect command Fail", false);
      return 0;
    }
    win::Sleep(100);
    if (reply[7] == 0) break;
    win::Sleep(300);
  }
  if (reply[7] == 0) {
    if (reply[5] == 1) return 1;
  } else if (reply[5] == 4 || reply[5] == 5) {
    return reply[5];
  }
  Fail("T_x07", "UnKnown Card Detect State", false);
  return 0;
}

bool CPortDevice::PollDeviceStatus(unsigned timeoutSec) {
  std::uint8_t state = 0;
  const int result = WaitCardReady(state, static_cast<double>(timeoutSec));
  if (result == 0) {
    Fail("I_x24", StrFormat("Polling Device Status failed, State Is 0x%02x", state), true);
    return false;
  }
  if (result == 2) {
    Fail("I_x87", StrFormat("Polling Device Status Timeout, Status=0x%02x", state), true);
    return false;
  }
  return true;
}

bool CPortDevice::SwitchCardPowerNoTest(int on, bool report, int voltage, bool devSleep) {
  const std::uint8_t sw = SwitchBoardFlag();
  std::uint8_t delay = 37;
  if (on) {
    delay = m_IsProduction ? ProductionDelay(35) : 53;
    if (m_PowerOnDelay != 0) delay = ClampDelay(static_cast<long>(std::min<std::uint32_t>(m_PowerOnDelay, 255)));
    if (devSleep && !DisableDevSleep(report)) return false;
  }
  if (!m_Command->SetCardPower(on ? 1 : 0, delay, ClampDelay(voltage), sw)) {
    Fail("T_x06", on ? "Power on Failed" : "Power off Failed", report);
    return false;
  }
  if (!on) return true;
  return WaitReadyAfterPowerOn(60.0, "I_I24", "I_I87", true);
}

bool CPortDevice::PowerResetCardAndWait(bool report) {
  if (!PowerResetCard(report)) return false;
  return WaitReadyAfterReset(60.0, report);
}

bool CPortDevice::WaitCardExist() {
  std::uint8_t reply[16] = {};
  for (int read = 0; read <= 300; ++read) {
    if (read > 0) win::Sleep(100);
    if (!m_Command->CardDetect(reply, sizeof reply)) {
      Fail("T_x07", "Issue Card Detect command Fail", false);
      return false;
    }
    if (reply[8] == kReady) return true;
  }
  Fail("P_x01", "Card Not Exist or detect Failed(check 300 times).", false);
  return false;
}

bool CPortDevice::GetCardState(std::uint8_t& state, std::uint32_t& status, bool setError) {
  m_CardReply.fill(0);
  if (!m_Command->CardDetect(m_CardReply.data(), static_cast<std::uint32_t>(m_CardReply.size()))) {
    if (setError) Fail("T_x07", "Issue Card Detect command Fail", false);
    return false;
  }
  const std::uint32_t word = static_cast<std::uint32_t>(m_CardReply[11]) << 8 | m_CardReply[10];
  if (kx::IsSataPortMode()) {
    if (kx::AtaPassThroughOk(m_DriveNo)) {
      state = m_Command->m_RetTaskFile[6];
      return true;
    }
    state = m_CardReply[13] == 0 ? kReady : m_CardReply[13];
    status = word;
    return true;
  }
  // Bridge mode, and tester-direct mode, where the tester answers card detect
  // with the same reply layout.
  state = m_CardReply[13];
  status = word;
  return true;
}

// ---- Card supply and current -------------------------------------------------

bool CPortDevice::CheckPowerGroundShort() {
  SwitchCardPower(0, false, m_SwitchBoard, m_DevSlpEnable != 0);
  if (ParamInt("Options", "SkipPowerGroundShortTest") == 0) {
    bool shorted = false;
    for (int test = 0; test < 2; ++test) {
      std::memset(m_RegBuffer.data(), 0, 16);
      if (!m_Command->Power_Ground_Short(m_RegBuffer.data(), 16)) {
        Fail("T_A04", "Issue Power_Ground_Short Command Fail.", false);
        return false;
      }
      shorted = m_RegBuffer[7] != 0 || m_RegBuffer[8] != 0;
      if (!shorted) break;
      win::Sleep(100);
    }
    if (shorted) {
      const bool on5V = m_RegBuffer[7] != 0;
      const bool on33V = m_RegBuffer[8] != 0;
      Fail("M_x01",
           on5V && on33V ? "Detect Card have Power-Ground Short on 5V & 3.3V."
           : on5V        ? "Detect Card have Power-Ground Short on 5V"
                         : "Detect Card have Power-Ground Short on 3.3V",
           false);
      return false;
    }
  }
  if (m_TesterKind == 2 || ((m_TesterKind == 3 || m_TesterKind == 4) && m_TesterOutputVoltage == 2)) {
    if (!AdjustCardVoltage(3)) return false;
    win::Sleep(1000);
  }
  return true;
}

bool CPortDevice::ReadTesterPage(std::uint8_t* page) {
  std::memset(page, 0, 528);
  if (!m_Command->ReadUSBPage(page, 528)) {
    Fail("T_I13", "Issue Read USB-Page Command Fail", true);
    return false;
  }
  return true;
}

double CPortDevice::ConvertCurrent(std::uint16_t raw, const std::uint8_t* page) const {
  const std::uint8_t kind = page[484];
  const double shunt = (kind == 2 || kind == 3 || kind == 4) ? 100.0 : 200.0;
  return raw * 0.0763 / shunt / 20.0 * 1000.0;
}

double CPortDevice::Calibrate(double milliamperes, const std::uint8_t* page, double offset) const {
  if (std::memcmp(page + 458, "TUCR", 4) != 0) return milliamperes;
  const std::uint16_t raw = static_cast<std::uint16_t>(page[462] << 8 | page[463]);
  return milliamperes - (ConvertCurrent(raw, page) - offset);
}

bool CPortDevice::ReadCardCurrent(double& milliamperes) {
  std::uint8_t page[528];
  if (!ReadTesterPage(page)) return false;
  double reading = 0.0;
  for (int i = 0; i < 10; ++i) {
    std::uint8_t reply[16] = {};
    if (!m_Command->GetCardCurrent(reply, sizeof reply)) {
      Fail("T_I12", "Issue Get Card Current Command Fail", true);
      return false;
    }
    if (reply[10] == 0xFF && reply[11] == 0xFF) {
      Fail("T_I11", "un-correct Current value (0xFF)", true);
      return false;
    }
    reading = ConvertCurrent(static_cast<std::uint16_t>(reply[10] << 8 | reply[11]), page);
    win::Sleep(200);
  }
  milliamperes = Calibrate(reading, page, 1.3);
  return true;
}

bool CPortDevice::ReadMaxCurrent(double& milliamperes, int /*unused*/) {
  std::uint8_t page[528];
  if (!ReadTesterPage(page)) return false;
  std::uint8_t reply[16] = {};
  if (!m_Command->GetMaxCurrent(reply, sizeof reply)) {
    Fail("T_x14", "Issue Get Max Current Command Fail", false);
    return false;
  }
  if (reply[0] == 0xFF && reply[1] == 0xFF) {
    Fail("T_x15", "Don't Get correct Current value from A/D circuit.", false);
    return false;
  }
  milliamperes = Calibrate(ConvertCurrent(static_cast<std::uint16_t>(reply[0] << 8 | reply[1]), page), page, 1.25);
  return true;
}

bool CPortDevice::ClearCurrentBuffer() {
  if (!m_Command->ClearCurrentBuffer()) {
    Fail("T_x16", "Issue Clear Current Buffer command Fail", false);
    return false;
  }
  win::Sleep(100);
  return true;
}

bool CPortDevice::AdjustCardVoltage(int level) {
  if (!m_Command->AdjustCardVoltage(static_cast<std::uint8_t>(level))) {
    Fail("T_x05", "Issue Adjust Card Voltage command Fail", false);
    return false;
  }
  return true;
}
