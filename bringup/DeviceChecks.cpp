// Device checks of the station procedures: CheckIoState (the tester's I/O state
// up to the drive's identity), CheckFlashNumber (the flash devices that answer
// GetFlashID) and VerifyParamWithDevice (the parameter files against the drive,
// with the RDT information for the caller). The tester page, card detection and
// power commands are answered by emulator/Tester.cpp and emulator/Transport.cpp;
// the vendor reads (14h flash ID, 28h info block, 7Fh bad-block table) by
// emulator/DriveVendor.cpp.
#include "bringup/DeviceChecks.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "bringup/FlashIdentity.h"
#include "bringup/IdentifyChecks.h"
#include "bringup/InfoBlock.h"
#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/FileWrites.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/SettingNumbers.h"
#include "device/Settings.h"
#include "platform/Clock.h"
#include "protocol/MediaRecords.h"

using kx::StrFormat;

namespace kx {
namespace {

std::string WithLetter(std::string code, char letter) {
  std::replace(code.begin(), code.end(), 'x', letter);
  return code;
}

// Leading decimal digits; none gives 0 (as the drive's dash version is read).
std::uint32_t DecimalPrefix(const std::string& text) {
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}

// The cell family a text names ("TLC", "3D TLC", ...); empty when it names none.
std::string CellFamilyOf(const std::string& text) {
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const char* family : {"SLC", "MLC", "TLC"})
    if (upper.find(family) != std::string::npos) return family;
  return {};
}

// A whole hexadecimal byte ("2C", "0x2c"); none otherwise.
std::optional<std::uint8_t> HexByte(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const unsigned long v = std::strtoul(text.c_str(), &end, 16);
  if (*end != '\0' || v > 0xFF) return std::nullopt;
  return static_cast<std::uint8_t>(v);
}

}  // namespace

std::optional<StepFailure> JudgeCardDetection(int detectResult, bool powerOnFailed, std::uint8_t cardState,
                                              const std::string& powerOnCode) {
  switch (detectResult) {
    case 1:
      if (!powerOnFailed) return std::nullopt;
      return StepFailure{WithLetter(powerOnCode, 'A'),
                         StrFormat("Power On fail , Card State Is 0x%02x(Have detected Device)", cardState)};
    case 4:
      return StepFailure{"P_A01", StrFormat("Power Off fail , Card State Is 0x%02x(Not detected Device)", cardState)};
    case 5: return StepFailure{"T_A07", "Detect_Device Command-Polling Status Timeout"};
    default: return StepFailure{"T_A07", "UnKnown Card Detect State"};
  }
}

std::optional<StepFailure> CompareParamWithDrive(const ParamFigures& ini, const DriveFigures& drive, bool qcMode) {
  if (qcMode && !ini.dashVersion.empty() && DecimalPrefix(ini.dashVersion) != drive.dashVersion)
    return StepFailure{"P_x06", StrFormat("Dash Version is not match(Device:%02u, INI:%s)", drive.dashVersion,
                                          ini.dashVersion.c_str())};
  const std::string wanted = CellFamilyOf(ini.flashType);
  if (!wanted.empty()) {
    const char* found = drive.slc ? "SLC" : drive.mlc ? "MLC" : drive.tlc ? "TLC" : "none";
    if (wanted != found)
      return StepFailure{"P_x07",
                         StrFormat("Flash Type is not match(Device:%s, INI:%s)", found, ini.flashType.c_str())};
  }
  const std::optional<std::uint8_t> maker = HexByte(ini.makerCode);
  if (maker && drive.flashIds) {
    for (int flashNo = 0; flashNo < kFlashNumbers; ++flashNo) {
      const std::string& id = (*drive.flashIds)[static_cast<std::size_t>(flashNo)];
      if (id.size() < 2 || id == "00 00 00 00 00 00 00") continue;
      const auto code = static_cast<std::uint8_t>(std::strtoul(id.substr(0, 2).c_str(), nullptr, 16));
      if (code != *maker)
        return StepFailure{"P_x09", StrFormat("Flash Maker is not match on Flash_Num-%d(Device:%02X, INI:%s)", flashNo,
                                              code, ini.makerCode.c_str())};
    }
  }
  if (ini.capacityMb != 0 && drive.physicalSizeMb < ini.capacityMb)
    return StepFailure{"P_x10", StrFormat("Flash Capacity is small than param.ini setting(Device:%u MB, INI:%u MB)",
                                          drive.physicalSizeMb, ini.capacityMb)};
  if (ini.ddrSizeMb != 0 && drive.ddrSizeMb != ini.ddrSizeMb)
    return StepFailure{"P_x11",
                       StrFormat("DRAM Size is not match(Device:%u MB, INI:%u MB)", drive.ddrSizeMb, ini.ddrSizeMb)};
  if (ini.sataSpeed != 0 && drive.sataGen != ini.sataSpeed)
    return StepFailure{"P_x16",
                       StrFormat("SATA Speed is not match(Device:Gen%d, INI:Gen%d)", drive.sataGen, ini.sataSpeed)};
  return std::nullopt;
}

std::string RecordSystemInfoPath(const std::string& serial) {
  return StrFormat(".\\RecordSystemInfoBlock_%s.Bin", SafeFileName(serial).c_str());
}

}  // namespace kx

namespace {

constexpr int kQcMode = 4;

int ParamInt(const char* section, const char* key, const std::string& file) {
  return std::max(kx::ReadProfileInt(section, key, 0, file.c_str()), 0);
}

std::string ParamText(const char* section, const char* key, const std::string& file) {
  return kx::TrimBlanks(kx::ReadProfileText(section, key, file.c_str(), 100));
}

}  // namespace

// ---- I/O state ------------------------------------------------------------------

bool CPortDevice::FailIoState() {
  std::replace(m_ErrorCode.begin(), m_ErrorCode.end(), 'x', 'A');
  WriteFailReport();
  return false;
}

bool CPortDevice::CheckIoState(int mode) {
  const win::DWORD start = win::GetTickCount();
  const bool devSleep = m_DevSlpEnable != 0;
  if (!PowerResetTester(false, devSleep)) return FailIoState();
  if (!ReadTesterPageInto()) return false;  // "T_A13", reported
  m_TesterOutputVoltage = m_PageBuffer[kx::kTesterPageOutputVoltage];
  if (m_TesterOutputVoltage == kx::kOutputVoltageNoCard) {
    Fail("P_A01", "Tester output voltage: Don't detect card", true);
    return false;
  }
  if (!CheckPowerGroundShort()) return FailIoState();

  const bool poweredOn = SwitchCardPower(1, false, 0, devSleep);
  const std::string powerOnCode = m_ErrorCode;
  std::uint8_t state = 0;
  std::uint32_t status = 0;
  if (!GetCardState(state, status, true)) return FailIoState();
  const int detected = DetectCard(kx::kIoStateDetectTries);
  if (detected == 0) return FailIoState();
  if (const auto failure = kx::JudgeCardDetection(detected, !poweredOn, state, powerOnCode)) {
    Fail(failure->code.c_str(), failure->message, true);
    return false;
  }

  // A controller that refuses the key gets one reset of card and tester.
  if (!SetApKeyWithRetry(true, 300) && (!ResetCardAndTester(false, 0, devSleep) || !SetApKeyWithRetry(true, 300)))
    return FailIoState();
  if (!CheckIdentify(mode == kQcMode)) return FailIoState();
  m_StatWRPending = m_StatWR;
  m_ElapsedSec = static_cast<double>(win::GetTickCount() - start) / 1000.0;
  WriteReport(StrFormat("Check IO State OK- Total take %.3f sec.", m_ElapsedSec), false);
  return true;
}

// ---- Flash number -----------------------------------------------------------------

bool CPortDevice::CheckFlashNumber(int /*unused1*/, int /*unused2*/, int compareWithParam, int /*unused4*/) {
  int expected = 0;
  if (std::string message; compareWithParam && !kx::ReadFlashNumberSetting(expected, message)) {
    Fail(kx::kSettingNumberCode, message, false);
    return false;
  }
  int found = 0;
  std::uint8_t reply[512];
  for (int flashNo = 0; flashNo < kx::kFlashNumbers; ++flashNo) {
    if (!SetApKeyWithRetry(true, 300)) return false;
    std::memset(reply, 0, sizeof reply);
    if (!m_Command->GetFlashID(reply, static_cast<std::uint8_t>(flashNo))) {
      Fail("I_x09", StrFormat("Issue GetFlashID Command Failed on Flash_Num-%d", flashNo), false);
      return false;
    }
    if (!kx::IsNoFlashReply(reply)) ++found;
  }
  m_FlashCount = found;
  if (!compareWithParam || expected == found) return true;
  Fail("M_D09", kx::FlashNumberMismatchMessage(found, expected), false);
  return false;
}

// ---- Parameters against the drive ---------------------------------------------------

bool CPortDevice::ReadRdtInfoFromBbt(std::uint8_t* out64) {
  // The caller goes on without the record: a failure here leaves no error behind.
  const std::string code = m_ErrorCode;
  const std::string message = m_ErrorMessage;
  std::array<std::uint8_t, 512> sector{};
  const bool read = SetApKeyWithRetry(true, 300) && m_Command->ReadBBT(sector.data(), 1, 2, 0);
  m_ErrorCode = code;
  m_ErrorMessage = message;
  if (!read || !kx::HasTemperatureLog(sector.data())) return false;
  std::memcpy(out64, sector.data(), kx::kTemperatureLogBytes);
  return true;
}

void CPortDevice::TakeRdtInfo(std::uint8_t* rdtInfo64) {
  const auto at = static_cast<std::size_t>(kx::GetInfoBlockLayout().temperatureLog.offset);
  std::memcpy(rdtInfo64, m_InfoBlockRead.data() + at, kx::kTemperatureLogBytes);
  if (kx::HasTemperatureLog(rdtInfo64)) {
    WriteReport("Copy Temperature log 64 bytes", true);
    m_CeMap = kx::LoadLe16(rdtInfo64 + kx::rdtinfo::kCeMap);
  } else if (ReadRdtInfoFromBbt(rdtInfo64)) {
    WriteReport("Read RDT Info from BBT", true);
  } else {
    std::memset(rdtInfo64, 0, kx::kTemperatureLogBytes);
    WriteReport("Reset Temperature log 64 bytes", true);
  }
}

bool CPortDevice::VerifyParamWithDevice(int mode, bool readInfoBlock, std::uint8_t* rdtInfo64) {
  const bool qc = mode == kQcMode;
  const std::string param = kx::SettingIniPath();
  const std::string fdb = kx::ParamFdbIniPath();
  if (readInfoBlock) {
    if (!SetApKeyWithRetry(true, 300)) {
      std::replace(m_ErrorCode.begin(), m_ErrorCode.end(), 'x', 'D');
      WriteFailReport();
      return false;
    }
    std::array<std::uint8_t, 512> block{};
    if (!m_Command->DirectReadInfoBlock(block.data(), 0)) {
      Fail("I_D45", "Issue DirectReadInfoBlock Command Failed!!!", true);
      return false;
    }
    std::memcpy(m_InfoBlockRead.data(), block.data(), block.size());
    if (qc) {
      if (!SaveBufferToFile(kx::RecordSystemInfoPath(m_SerialNumber), block.data(),
                            static_cast<std::uint32_t>(block.size()))) {
        WriteFailReport();
        return false;
      }
      const bool burnIn = kx::ReadProfileInt("Options", "DoBurnInTest", 0, param.c_str()) != 0;
      if (!CheckGoodCardMark(true, false, burnIn, false)) {
        WriteFailReport();
        return false;
      }
    }
  }
  if (!CheckFlashIdCeMap(false, true, false)) {
    WriteFailReport();
    return false;
  }

  kx::ParamFigures ini;
  ini.dashVersion = ParamText("Device Info", "DashVersion", param);
  ini.flashType = ParamText("Flash Info", "Flh_Type", fdb);
  ini.makerCode = ParamText("Flash Info", "Flh_MakeCode", fdb);
  ini.capacityMb = static_cast<std::uint32_t>(ParamInt("Flash Info", "Flh_Capacity", fdb));
  ini.ddrSizeMb = static_cast<std::uint32_t>(ParamInt("Options", "DDRSize", param));
  ini.sataSpeed = ParamInt("Device Info", "SATASpeed", param);
  kx::DriveFigures drive;
  drive.dashVersion = m_DashVersion;
  drive.slc = m_IsSlcFlash;
  drive.mlc = m_IsMlcFlash;
  drive.tlc = m_IsTlcFlash;
  drive.flashIds = &m_PerFlashIdText;
  drive.physicalSizeMb = m_PhysicalSize;
  drive.ddrSizeMb = m_DdrSizeMB;
  drive.sataGen = m_SataGen;
  if (const auto failure = kx::CompareParamWithDrive(ini, drive, qc)) {
    Fail(failure->code.c_str(), failure->message, true);
    return false;
  }
  if (rdtInfo64 != nullptr) TakeRdtInfo(rdtInfo64);
  return true;
}
