// The RDT pre-test station: checks the drive, brings its controller to the RDT
// firmware in RAM from whatever code it runs, erases the flash (rebuilding the
// bad-block table from the third-party table first at the sorting stations),
// tests the DRAM, optionally scans, pre-formats and programs the RDT firmware
// into flash so that the drive runs its reliability test after a power cycle.
// Stops at the first failing step.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bringup/FlashIdentity.h"
#include "command/CommandGlobals.h"
#include "device/BlockRecord.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/SettingNumbers.h"
#include "device/Settings.h"
#include "engine/PortJob.h"
#include "engine/ProcedureSupport.h"
#include "platform/Clock.h"
#include "protocol/MediaRecords.h"

namespace {

using kx::proc::CountFlashIds;
using kx::proc::IsNoDriveCode;
using kx::proc::kToolSetting;
using kx::proc::ReadText;

int ParamInt(const char* key, int defaultValue) { return kx::proc::OptionInt(key, defaultValue); }

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

}  // namespace

std::uint8_t CPortJob::RunRDT() {
  CPortDevice& d = *m_Device;
  const std::string fdb = kx::ParamFdbIniPath();

  auto failEnding = [&]() -> std::uint8_t {
    m_FailCode = d.m_ErrorCode;
    if (m_ResultCode) *m_ResultCode = m_FailCode;
    JoinResultFields(false, 0, m_FailCode, d.m_ErrorMessage, "");
    return 0;
  };
  auto failWith = [&](const char* code, const std::string& message) -> std::uint8_t {
    d.m_ErrorCode = code;
    d.m_ErrorMessage = message;
    d.WriteFailReport();
    return failEnding();
  };
  // 1-3: start, bin class, image choice and the UI CE map.
  const bool polling = ParamInt("use_polling", 0) == 1;
  const std::uint64_t start = platform::Clock().NowMs();
  d.WriteReport("START", false);
  d.WriteSettingsReport();

  const int skipBinClass = ParamInt("SkipCheckINIBinClass", 0);
  if (d.CheckBinType(1) == 0) {
    d.m_ErrorCode = "S_x30";
    kx::proc::ReportUnreadableSettings(d, fdb);
    m_FailCode = d.m_ErrorCode;
    if (skipBinClass != 0) {
      d.WriteReport("INI class & Bintype Fail !!", true);
    } else {
      d.m_ErrorMessage = "INI class & Bintype Fail !!";
      d.WriteFailReport();
      return failEnding();
    }
  }

  const bool useRdtImage = kx::ReadProfileInt("General Info", "RDTUseMPBin", 0, kToolSetting) != 1;
  std::uint16_t uiCeMap = 0;
  if (!ReadText(m_TextBuffer, "Options", "CHCEMap", kx::SettingIniPath(), 10).empty()) {
    if (std::string message; !kx::ReadUiCeMap(uiCeMap, message)) return failWith(kx::kSettingNumberCode, message);
    d.WriteReport(kx::StrFormat("UI CHCE Map : %X", uiCeMap), true);
  }

  // 4: the serial number is shared by all ports.
  {
    auto serialLock = LockPage(2);
    if (!d.BuildInfoBlock(true, false, nullptr, false)) return failEnding();
  }
  SetProgress(5);

  // 5-9: the drive and the code it runs.
  if (g_KX_U2A == 0 && !d.CheckIoState(1)) {
    if (IsNoDriveCode(d.m_ErrorCode)) {
      m_FailCode = d.m_ErrorCode;
      if (m_ResultCode) *m_ResultCode = m_FailCode;
      JoinResultFields(false, 4, m_FailCode, "", "");
      return 0;
    }
    return failEnding();
  }
  if (!d.CheckIcVersion()) return failWith("I_V01", "IC ver error!!");
  if (!d.ChkRC(3, 0, true, std::string(), nullptr)) return failEnding();

  if (d.m_ROMMode) {
    if (!LockVolumeForRun()) return failEnding();
    d.WriteReport("ROM mode", true);
  } else if (d.m_BootMode) {
    d.WriteReport("Boot mode", true);
    if (!d.CheckFlashId()) return failWith("I_V02", "Controller version is not correct!!");
  }

  SetProgress(10);
  {
    std::uint8_t table[512] = {};
    if (d.ReadFlashIdTable(table)) d.m_FlashCount = CountFlashIds(table);
  }

  // Run information the RDT firmware left (station 7) goes to the device; the
  // CE map is also kept here, where an erase of type 9 drops it.
  kx::RdtInfoRecord rdtInfo;
  std::uint16_t runInfoCeMap = 0;
  bool keepRdtInfo = true;
  bool thirdBbtRead = false;
  const bool sorting = m_Station == 8 || m_Station == 9;

  auto selectCeMap = [&]() {
    if (runInfoCeMap != 0)
      d.SelectCeMap(runInfoCeMap, false);
    else if (uiCeMap != 0)
      d.SelectCeMap(uiCeMap, false);
  };

  // The preparation before the erase and the erase itself; false after the failure ending.
  auto prepare = [&](bool romPath) -> bool {
    if (m_Station == 7) {
      rdtInfo = kx::RdtInfoRecord{};
      if (!d.ReadRdtInfo(&rdtInfo, nullptr)) {
        rdtInfo = kx::RdtInfoRecord{};
        d.m_RunInfoCeMap = 0;
        d.m_RunInfoTwoPass = 0;
        d.m_RunInfoTaken = 0;
        runInfoCeMap = 0;
      } else {
        d.m_RunInfoTwoPass = static_cast<std::uint8_t>((rdtInfo.U16(kx::rdtinfo::kFlags) >> 2) & 1);
        d.m_RunInfoTaken = 1;
        d.m_RunInfoCeMap = rdtInfo.U16(kx::rdtinfo::kCeMap);
        runInfoCeMap = d.m_RunInfoCeMap;
        if (runInfoCeMap != 0) d.WriteReport(kx::StrFormat("Run Info CHCE Map : %X", runInfoCeMap), true);
        if ((rdtInfo.U8(kx::rdtinfo::kTestCounts) & 0x0F) == 4) d.m_NoEraseType = 1;
      }
    }
    if (sorting && !RestoreSortedBbt(thirdBbtRead, false)) return false;

    auto eraseType = static_cast<std::uint8_t>(kx::GetEraseType());
    if (romPath) {
      if (eraseType == 9) keepRdtInfo = false;
      if (eraseType != 17 && eraseType != 1) d.m_RdtState = 0;  // the scan's counter
    }
    if (ParamInt("SkipCEMapAtEraseAll", 0) == 0) {
      if (eraseType == 9) runInfoCeMap = 0;
      selectCeMap();
    }
    if (d.m_NoEraseType != 0) eraseType = 0;
    if (!d.EraseAllBlocks(eraseType, true, m_Progress, 10, polling)) {
      failEnding();
      return false;
    }
    return true;
  };

  // 10-11: from code in RAM or boot code.
  if (d.mCodeMode) {
    if (!prepare(false)) return 0;
    keepRdtInfo = m_Station == 7;
  }
  if (d.m_BootMode) {
    if (!d.IspProgramPram(useRdtImage, "")) return failEnding();
    if (!prepare(false)) return 0;
    keepRdtInfo = m_Station == 7;
  }

  // 12.
  if (!d.VerifyParamWithDevice(1, false, nullptr)) return failEnding();
  SetProgress(20);

  // 13: from flash code, loaded twice around a power cycle.
  if (d.m_ROMMode) {
    if (!d.ForceToBootCode()) return failEnding();
    if (!d.ChkRC(0, 0, true, std::string(), nullptr)) return failEnding();
    if (!d.IspProgramPram(useRdtImage, "")) return failEnding();
    if (!prepare(true)) return 0;
    if (g_KX_U2A == 0) {
      if (!d.ResetCardAndTester(true, 0, m_DevSleep != 0)) {
        std::replace(d.m_ErrorCode.begin(), d.m_ErrorCode.end(), 'x', 'I');
        return failEnding();
      }
      if (!d.ChkRC(0, 0, true, std::string(), nullptr)) return failEnding();
      if (!d.IspProgramPram(useRdtImage, "")) return failEnding();
    } else {
      if (!d.ForceToBootCode()) return failEnding();
      if (!d.IspProgramPram(useRdtImage, "")) return failEnding();
    }
  }

  // 14.
  if (!d.ChkRC(1, 0, true, std::string(), nullptr)) return failEnding();
  SetProgress(35);

  // 15-16: DRAM test and scan.
  if (!d.TestSdrByDma(m_Progress, 15, 0)) return failEnding();
  if (ParamInt("SkipRDTScan", 1) == 0) {
    selectCeMap();
    kx::BlockRecord record{};
    const bool scanned = d.ScanBadBlocks(true, 0, m_Progress, 15, false, &record, false);
    WriteBlockInfoToFile(record);
    if (!scanned) return failEnding();
  } else if (ParamInt("ChkFirst4Blk", 0) == 1) {
    selectCeMap();
    if (!d.CheckBadBlockMap(nullptr)) {
      d.ReleaseBbt();
      return failEnding();
    }
  }

  // 17: pre-format and the RDT firmware into flash.
  const std::uint16_t formatCeMap = runInfoCeMap != 0 ? runInfoCeMap : uiCeMap;
  d.CheckSystemInfo();
  if (!d.PreFormat(0, m_Progress, 5, keepRdtInfo, polling, formatCeMap)) return failEnding();
  const bool shortRun = kx::ReadProfileInt("General Info", "Short", 0, kToolSetting) == 1;
  if (!d.IspProgramFlash(true, shortRun, "")) return failEnding();

  // 18: the capacity asked for must fit the flash found.
  if (kx::ReadProfileInt("Options", "AutoCapacity_Enable", 0, fdb.c_str()) == 0) {
    const std::string capacityText = ReadText(m_TextBuffer, "General Info", "Capacity", kToolSetting, 40);
    if (!capacityText.empty() && capacityText != "default" && capacityText != "MaxSize") {
      std::int32_t capacity = 0;
      std::uint32_t singleCe = 0;
      std::string message;
      if (!kx::ReadSettingInt<std::int32_t>(kToolSetting, "General Info", "Capacity", 0, capacity, message) ||
          !kx::ReadSettingInt<std::uint32_t>(fdb, "Flash Info", "Flh_SingleCE_Capacity", 0, singleCe, message))
        return failWith(kx::kSettingNumberCode, message);
      const std::uint64_t product = static_cast<std::uint64_t>(std::max(d.m_FlashCount, 0)) * singleCe;
      const auto maximum = static_cast<long long>(product >> 10);
      if (capacity > maximum)
        return failWith("M_T54", kx::StrFormat("Capacity is not match!!(size:%d, max:%lld)", capacity, maximum));
    }
  }

  // 19-20: timing and the firmware's bin type.
  SetProgress(95);
  const double seconds = static_cast<double>(platform::Clock().NowMs() - start) / 1000.0;
  d.WriteReport(kx::StrFormat("RDT PreTest OK, Total take(sec): %.3f sec.", seconds), false);

  std::string dateText;
  if (d.CheckSystemInfo()) {
    const std::string& fwVersion = d.m_FwVersion;
    dateText = "FW Date: " + d.m_FwBuildDate.substr(0, 9);
    const int skipFwBin = ParamInt("SkipCheckFWBinHeader", 0);
    const int ceLimit = kx::ReadProfileInt("Flash Info", "Flash2ndBinCELimit", 0, fdb.c_str());
    const char* binKey = ceLimit >= 1 && ceLimit <= 16 && d.m_FlashCount > ceLimit ? "Flash2ndRDTBinType"
                                                                                      : "Flh_RDTBinType";
    std::string binType = ReadText(m_TextBuffer, "Flash Info", binKey, fdb, 256);
    ReplaceAll(binType, "8311", "311");
    if (fwVersion.find(binType) == std::string::npos) {
      d.m_ErrorCode = "S_x30";
      m_FailCode = d.m_ErrorCode;
      if (skipFwBin != 0)
        d.WriteReport(kx::StrFormat("Bin file fail, FW do not equal to ini(%s)", binType.c_str()), true);
      else
        return failWith("S_x30", kx::StrFormat("Bin file fail!! FW do not equal to ini(%s)", binType.c_str()));
    }
    if (d.m_FlashCount == 1) {
      if (binType.find("311") != std::string::npos || binType.find("315") != std::string::npos)
        return failWith("S_x31", "1CE do not support 1P mode!");
      if (binType.find("7312") != std::string::npos && d.m_TwoPlaneMode)
        return failWith("S_x31", "B0KB 1CE do not support 2P mode!");
    }
  }

  // 21-22: pass.
  if (shortRun)
    SetPortStatus(1, "Pass*Short*Enabled", "");
  else
    SetPortStatus(sorting && !thirdBbtRead ? 9 : 1, "Pass*" + dateText, "");
  return RecordPass();
}
