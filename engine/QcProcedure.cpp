// The quality-check station: re-checks a drive that has been through MP and
// runs its firmware from flash, rebuilds and checks its info block under the
// serial-number lock, tests and scans it, sets the QC good-card mark and puts
// it to standby. Stops at the first failing step.
#include <strings.h>
#include <cstdint>
#include <string>

#include "command/CommandGlobals.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/Settings.h"
#include "engine/PortJob.h"
#include "engine/ProcedureSupport.h"
#include "platform/Clock.h"
#include "protocol/MediaRecords.h"

namespace {

int QcInt(const char* section, const char* key, int defaultValue) {
  return kx::proc::ParamInt(section, key, defaultValue);
}

const std::string& QcText(std::string& scratch, const char* section, const char* key, std::size_t bufferSize) {
  return kx::proc::ReadText(scratch, section, key, kx::SettingIniPath(), bufferSize);
}

}  // namespace

std::uint8_t CPortJob::RunQC() {
  CPortDevice& d = *m_Device;

  auto failEnding = [&]() -> std::uint8_t {
    m_FailCode = d.m_ErrorCode;
    if (m_ResultCode) *m_ResultCode = d.m_ErrorCode;
    SetPortStatus(0, d.m_ErrorCode, d.m_ErrorMessage);
    return 0;
  };

  const std::uint64_t start = platform::Clock().NowMs();
  d.WriteReport("START", false);
  SetProgress(5);

  if (g_KX_U2A != 0) {
    if (!d.CheckIdentify(true)) {
      d.WriteFailReport();  // the identify check leaves the report to its caller
      return failEnding();
    }
  } else if (!d.CheckIoState(4)) {
    if (kx::proc::IsNoDriveCode(d.m_ErrorCode)) {
      m_FailCode = d.m_ErrorCode;
      if (m_ResultCode) *m_ResultCode = d.m_ErrorCode;
      SetPortStatus(4, d.m_ErrorCode, "");
      return 0;
    }
    return failEnding();
  }

  SetProgress(10);
  const bool checkGoodMark = QcInt("Options", "SkipGoodMarkCheck", 0) == 0;

  if (!d.CheckIcVersion()) {
    d.m_ErrorCode = "I_V01";
    d.m_ErrorMessage = "IC ver error!!";
    d.WriteFailReport();
    return failEnding();
  }
  if (!d.ChkRC(2, 0, true, std::string(), nullptr)) return failEnding();
  if (!d.VerifyFlashCode()) return failEnding();
  if (QcInt("Options", "Skip_Check_eFuse", 0) == 0 && !d.CheckEfuse(0, true, false, false)) return failEnding();
  if (!d.VerifyParamWithDevice(4, checkGoodMark, nullptr)) return failEnding();
  if (QcInt("Options", "Put_Thermal_Sensor", 0) == 1 && !d.CheckThermalSensor()) return failEnding();

  {
    // Building the info block takes the next serial number, which all ports share.
    auto serialLock = LockPage(2);
    kx::RdtInfoRecord rdtInfo;
    if (!d.ReadRdtInfo(&rdtInfo, nullptr)) rdtInfo = kx::RdtInfoRecord{};
    if (!d.BuildInfoBlock(false, false, rdtInfo.data(), true)) return failEnding();
  }
  SetProgress(15);

  if (!d.CheckInfoBlock(false)) return failEnding();
  if (QcInt("Options", "DEVSLP_Enable", 0) == 1 && !d.CheckDevSleep()) return failEnding();
  SetProgress(30);

  bool tested = true;
  if (QcInt("Write_Read BurnIn", "Enable", 0) == 0) {
    tested = d.CopyCompareTestPio(m_Progress, 40);
  } else {
    bool byCapacity = false;
    tested = kx::proc::RunSetBurnIn(d, m_Progress, 40, byCapacity);
  }
  if (!tested) {
    kx::proc::TakeOwedCurrent(d, true);
    return failEnding();
  }
  win::Sleep(300);

  const std::string& ssdSize = QcText(m_TextBuffer, "Device Info", "SSD Size", 20);
  if (ssdSize.size() >= 13 && strncasecmp(ssdSize.c_str(), "BGA_NAND_uSSD", 13) == 0 &&
      QcInt("Options", "Skip_SecurityErase_QC", 0) == 0 && QcInt("Options", "SkipBuildFAT", 0) != 0 &&
      !d.SecurityErase())
    return failEnding();

  SetProgress(70);
  const int detail = QcInt("Options", "Save_BadBlock_Log", 0) == 1 ? 0 : 2;
  if (!d.ScanBadBlocks(false, detail, m_Progress, 15, false, nullptr, false)) return failEnding();
  SetProgress(95);

  if (!d.WriteGoodCardMark(2)) return failEnding();
  if (!d.CheckSmartStatus()) return failEnding();
  if (QcInt("Options", "DoResetSMART", 0) != 0 && !d.ResetSmart()) return failEnding();
  if (!d.StandbyImmediate()) return failEnding();

  const double seconds = static_cast<double>(platform::Clock().NowMs() - start) / 1000.0;
  d.WriteReport(kx::StrFormat("%s Process Total take(sec): %.3f sec.", "QC", seconds), false);
  SetPortStatus(1, "Pass", "");
  return RecordPass();
}
