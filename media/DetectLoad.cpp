// Firmware load for the settings page's detect: LoadPramAndGetCardInfo (power
// cycle in tester-direct mode, running-code check, the MP image into RAM when
// the drive needs it, card information) and IspProgramPramForDetect, the RAM
// load of media/IspRam.cpp for one chosen BIN file. They report to the operator
// in message boxes. The tester's card detect and power commands are answered
// in emulator/Tester.cpp and emulator/Transport.cpp, the load in
// emulator/DriveVendor.cpp.
#include "media/DetectLoad.h"

#include <algorithm>

#include "bringup/IdentifyChecks.h"
#include "command/CommandGlobals.h"
#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/Settings.h"
#include "media/BinImage.h"
#include "media/IspRam.h"
#include "platform/Clock.h"
#include "platform/Files.h"

using kx::StrFormat;

namespace kx {

bool DetectReloadsFlashCode(int station) {
  constexpr int kStations[] = {1, 3, 4, 7, 8, 9};
  return std::find(std::begin(kStations), std::end(kStations), station) != std::end(kStations);
}

bool IsSelfBurnInReply(const std::uint8_t* reply16) { return reply16[12] == 0xAB && reply16[13] == 0xCD; }

}  // namespace kx

namespace {

constexpr std::uint8_t kReady = 0x50;  // 'P'
constexpr int kApKeyDelayMs = 300;
constexpr int kApKeyRounds = 30;
constexpr std::uint32_t kApKeyRoundPauseMs = 200;
constexpr std::uint32_t kForcedReturnPauseMs = 200;
constexpr std::size_t kTesterPageVoltage = 486;
constexpr int kAnyCode = 3;  // ChkRC modes
constexpr int kBootCode = 0;

// The settings page's detect: a message box with the text, then false.
bool Box(const std::string& text) {
  kx::ShowMessageBox(text);
  return false;
}

}  // namespace

bool CPortDevice::DetectPowerCycle(bool devSleep) {
  if (!SwitchCardPower(0, true, 0, devSleep)) return false;
  std::fill(m_PageBuffer.begin(), m_PageBuffer.end(), 0);
  if (!m_Command->ReadUSBPage(m_PageBuffer.data(), kx::kTesterPageBytes)) {
    Fail("T_A13", "issue ReadUSBPage command failed.", true);
    return false;
  }
  m_TesterKind = m_PageBuffer[kx::kTesterPageKind];
  if (m_TesterKind == 3 || m_TesterKind == 4) m_TesterOutputVoltage = m_PageBuffer[kTesterPageVoltage];

  // A drive on its self burn-in code shows its mark where the card state
  // stands, so it never reads ready and the reset's wait gives up: the mark in
  // the last reply still tells why.
  m_CardReply.fill(0);
  const bool reset = ResetCardAndTester(false, 0, devSleep);
  if (!reset && !kx::IsSelfBurnInReply(m_CardReply.data())) return false;
  std::uint8_t state = 0;
  std::uint32_t status = 0;
  if (reset && !GetCardState(state, status, true)) {
    std::replace(m_ErrorCode.begin(), m_ErrorCode.end(), 'x', 'A');
    WriteFailReport();
    return false;
  }
  if (kx::IsSelfBurnInReply(m_CardReply.data())) {
    SwitchCardPower(0, false, 0, devSleep);
    Fail("M_A31", "Device run on Self Burnin Code", false);
    return false;
  }
  if (state != kReady) return false;

  for (int round = 0; round < kApKeyRounds; ++round) {
    if (SetApKeyWithRetry(true, kApKeyDelayMs)) return true;
    win::Sleep(kApKeyRoundPauseMs);
  }
  return Box("Issue AP-Key 30 times failed !!!\r\nSSD NOT ready !!!");
}

bool CPortDevice::LoadPramAndGetCardInfo(bool powerCycle, bool devSleep, const std::string& firmwareName,
                                         bool selectByFlash) {
  m_BootMode = 0;
  mCodeMode = 0;
  m_ROMMode = 0;
  m_TesterKind = 0;
  m_TesterOutputVoltage = 0;
  const bool testerDirect = g_KX_U2A == 0;
  if (powerCycle && testerDirect && !DetectPowerCycle(devSleep)) return false;
  if (!ChkRC(kAnyCode, 0, false, firmwareName, nullptr)) return Box("Check FW version Failed !!!");

  const std::string ispFailed = StrFormat("ISP Failed.\r\n %s", m_DetectFwPath.c_str());
  if (m_BootMode) {
    if (m_IsProduction && !IspProgramPramForDetect(m_DetectFwPath, selectByFlash)) return Box(ispFailed);
  } else if (kx::DetectReloadsFlashCode(m_Station) && m_ROMMode && m_IsProduction) {
    CheckIdentify(false);  // for the firmware revision; its result does not count here
    if (m_FwRevision.size() > 4 && m_FwRevision[4] == 'A' && !CheckSystemInfo()) {
      std::replace(m_ErrorCode.begin(), m_ErrorCode.end(), 'x', 'D');
      WriteFailReport();
      return false;
    }
    if (!m_SkipForceToBoot) {
      if (!ForceToBootCode()) return Box("Force To Boot Code Failed !!!");
      win::Sleep(kForcedReturnPauseMs);
      if (!ChkRC(kBootCode, 0, false, firmwareName, nullptr)) return Box("NOT running on Boot Code !!!");
      if (!IspProgramPramForDetect(m_DetectFwPath, selectByFlash)) return Box(ispFailed);
    }
  }

  if (!m_IsProduction || !CheckFlashIdCeMap(false, false, true)) return Box("GetCardInfomation Failed !!!\r\n");
  if (testerDirect && !SwitchCardPower(0, false, 0, devSleep)) return false;
  return true;
}

std::string CPortDevice::DetectBinType(kx::BinLoadOptions& options) {
  // Without the drive's flash ID no image can be picked: the header check refuses the empty one.
  options.typeFrom = kx::BinTypeFrom::Given;
  if (!VerifyFlashIdWithParam(false, false)) return {};
  const std::string database = kx::GetModuleFolder() + "\\Configuration\\System\\FlashInfo.ini";
  const bool useDatabase =
      platform::FileExists(database) &&
      kx::ReadProfileInt("General Info", "UseFlashDBFile", 0, ".\\Configuration\\System\\MPToolSetting.ini") != 0;
  if (useDatabase) return LookupMpBinType(m_FlashIdText);
  options.typeFrom = kx::BinTypeFrom::FlashTable;
  options.flashIdText = m_FlashIdText;
  return {};
}

bool CPortDevice::IspProgramPramForDetect(const std::string& binPath, bool selectByFlash) {
  kx::BinLoadOptions options;
  options.path = binPath;
  options.attempts = 1;
  options.secondPath = kx::BinSecondPath::None;
  options.retryLine.clear();
  options.detailedOpenMessage = false;
  options.sumFailMessage = "MP Bin Code Fail!!!";
  options.sumFailBox = false;  // every load failure gets its box below
  options.codeKind = 4;        // no code sum is tested
  options.typeFrom = kx::BinTypeFrom::ParamFileNoSecond;
  if (kx::TrimBlanks(binPath).empty()) {
    // No file chosen: the loader would fall back to the parameter file's.
    Fail("S_C01", "Create MP BIN File handle Failed: INVALID_HANDLE_VALUE.", false);
    return PramFailed(kx::PramStep::Load, true, nullptr, {});
  }
  if (selectByFlash) options.binType = DetectBinType(options);
  kx::BinImage image;
  if (!LoadBinImage(options, image)) return PramFailed(kx::PramStep::Load, true, nullptr, {});
  return SendPramImage(image, true);
}
