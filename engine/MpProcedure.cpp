// The MP station: takes one drive from whatever code its controller runs
// through the whole production: serial number and info block, identity checks,
// the MP firmware into controller RAM (engine/MpRunningCode.cpp), bad-block
// scan, info block and pre-format, the firmware into flash, post-format tests,
// capacity and identity checks, and the pass text. Stops at the first failing
// step; [RD Debug] TestInFinity repeats it from the running-code check until
// the setting is cleared or the program is asked to end.
#include "engine/MpProcedure.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "bringup/Capacity.h"
#include "bringup/FlashIdentity.h"
#include "command/CommandGlobals.h"
#include "command/VolumeUtils.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/SettingNumbers.h"
#include "device/Settings.h"
#include "engine/ProcedureSupport.h"
#include "media/RdtProgress.h"
#include "platform/Clock.h"
#include "platform/Termination.h"

using kx::proc::FdbInt;
using kx::proc::kToolSetting;
using kx::proc::OptionInt;
using kx::proc::ParamInt;
using kx::proc::ReadText;
using kx::proc::ToolInt;

namespace {

// Megabytes of a capacity in GB by the IDEMA rule (LBA count 97,696,368 +
// 1,953,504 x (GB - 50)), in 64 bits so that large drives do not wrap.
std::uint64_t IdemaMb(std::int64_t gb) {
  const std::int64_t sectors = 97696368 + 1953504 * (gb - 50);
  return sectors > 0 ? static_cast<std::uint64_t>(sectors) >> 11 : 0;
}

// The bounds scaled by [General Info] SSDSizePercent, when it is set; false,
// with the setting's message, for a factor that is no number.
bool ApplySizePercent(std::string& scratch, std::uint64_t& value, std::string& message) {
  const std::string& percent = ReadText(scratch, "General Info", "SSDSizePercent", kToolSetting, 20);
  if (percent.empty() || percent == "0") return true;
  double factor = 0;
  if (!kx::ReadSettingReal(kToolSetting, "General Info", "SSDSizePercent", 0, 0, kx::kSizeFactorMax, factor, message))
    return false;
  value = static_cast<std::uint64_t>(static_cast<double>(value) * factor);
  return true;
}

// IDENTIFY text of bytes [from, from+count) with the bytes of each pair swapped,
// ending at the first NUL; "*" goes before each character index in `marks`.
std::string SwappedText(const std::uint8_t* identify, int from, int count, std::initializer_list<int> marks) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    const char c = static_cast<char>(identify[from + (i ^ 1)]);
    if (c == '\0') break;
    if (std::find(marks.begin(), marks.end(), i) != marks.end()) text += '*';
    text += c;
  }
  return text;
}

}  // namespace

std::uint8_t CPortJob::RunMP() { return std::make_unique<CMpRun>(*this)->Run(); }

CMpRun::CMpRun(CPortJob& job) : job_(job), d_(*job.m_Device), sorting_(job.m_Station == 8 || job.m_Station == 9) {}

// ---- endings ----------------------------------------------------------------

bool CMpRun::Fail(bool withSerial, int state) {
  job_.m_FailCode = d_.m_ErrorCode;
  if (job_.m_ResultCode) *job_.m_ResultCode = job_.m_FailCode;
  job_.JoinResultFields(withSerial, state, job_.m_FailCode, d_.m_ErrorMessage, "");
  return false;
}

bool CMpRun::FailWith(const char* code, const std::string& message, bool withSerial) {
  d_.m_ErrorCode = code;
  d_.m_ErrorMessage = message;
  d_.WriteFailReport();
  return Fail(withSerial);
}

bool CMpRun::FailReset() {
  std::replace(d_.m_ErrorCode.begin(), d_.m_ErrorCode.end(), 'x', 'I');
  return Fail();
}

// ---- the run ----------------------------------------------------------------

std::uint8_t CMpRun::Run() {
  polling_ = OptionInt("use_polling", 0) == 1;
  start_ = platform::Clock().NowMs();
  d_.WriteReport("START", false);
  d_.WriteSettingsReport();

  if (!SerialAndInfoBlock() || !IdentityChecks()) return 0;

  for (;;) {
    if (!RunningCodeCheck()) return 0;
    // Each path tests its own running-code flag: a path may change them.
    if (d_.mCodeMode && !FromCodeInRam()) return 0;
    if (d_.m_BootMode && !FromBootCode()) return 0;
    if (d_.m_ROMMode && !d_.m_RdtFwFlag && !FromFlashFirmware()) return 0;
    if (!ParameterCheck()) return 0;
    if (d_.m_ROMMode && !BackToRam()) return 0;

    SelectCeMap();
    job_.SetProgress(45);
    if (OptionInt("SkipMPScan", 0) == 0) {
      slotCount_ = ToolInt("SlotNumber", 8);
      if (!Scan(true)) return 0;
    }
    if (!FormatAndProgram()) return 0;
    if (!short_ && (!Tests() || !CapacityAndIdentity())) return 0;
    // Repeated until the setting is cleared or the program is to end: the
    // round just run is on record like any pass.
    if (ParamInt("RD Debug", "TestInFinity", 0) == 0 || platform::TerminationRequested()) break;
  }

  const double seconds = static_cast<double>(platform::Clock().NowMs() - start_) / 1000.0;
  d_.WriteReport(kx::StrFormat("MP PreTest Process Total take(sec): %.3f sec.", seconds), false);
  return FirmwareChecks() ? Pass() : 0;
}

// ---- phase B: serial number and info block, under lock 2 -----------------------

bool CMpRun::SerialAndInfoBlock() {
  // These endings show the status without the serial-number suffix.
  auto showFailure = [this]() {
    job_.m_FailCode = d_.m_ErrorCode;
    if (job_.m_ResultCode) *job_.m_ResultCode = job_.m_FailCode;
    job_.SetPortStatus(0, job_.m_FailCode, d_.m_ErrorMessage);
    return false;
  };
  enum class Outcome { Ok, Shown, Fail };
  Outcome outcome = Outcome::Ok;
  {
    auto serialLock = job_.LockPage(2);
    if (ToolInt("KeepSN", 0) != 0) {
      buildInfoBlock_ = false;
      identify_.fill(0);
      if (!d_.ChkRC(3, 0, true, std::string(), identify_.data())) {
        outcome = Outcome::Shown;
      } else if (identify_[0] != 0) {
        d_.WriteReport("Keep SN is Enable", true);
        const std::string serial = kx::TrimBlanks(SwappedText(identify_.data(), 20, 20, {}));
        d_.m_SerialNumber = d_.m_SerialNumBase = serial;
        d_.WriteReport(kx::StrFormat("Serial Number write to infoblock: %s", serial.c_str()), true);
      } else {
        buildInfoBlock_ = true;
      }
    }
    if (outcome == Outcome::Ok) {
      const int skipBinClass = OptionInt("SkipCheckINIBinClass", 0);
      if (d_.CheckBinType(0) == 0) {
        d_.m_ErrorCode = "S_x30";
        kx::proc::ReportUnreadableSettings(d_, kx::ParamFdbIniPath());
        if (skipBinClass != 0) {
          d_.WriteReport("INI class & Bintype Fail !!", true);
        } else {
          d_.m_ErrorMessage = "INI class & Bintype Fail !!";
          d_.WriteFailReport();
          outcome = Outcome::Fail;
        }
      }
    }
    if (outcome == Outcome::Ok && buildInfoBlock_ && !d_.BuildInfoBlock(true, false, nullptr, false))
      outcome = Outcome::Shown;
  }
  if (outcome == Outcome::Shown) return showFailure();
  if (outcome == Outcome::Fail) return Fail();
  return true;
}

// ---- phase C: run options and controller identity ------------------------------

bool CMpRun::IdentityChecks() {
  keepDeviceInfo_ = ParamInt("Special", "Keep_Device_Info", 0) == 1;
  const std::string& ceMapText = ReadText(job_.m_TextBuffer, "Options", "CHCEMap", kx::SettingIniPath(), 10);
  if (!ceMapText.empty()) {
    if (std::string message; !kx::ReadUiCeMap(uiCeMap_, message))
      return FailWith(kx::kSettingNumberCode, message);
    d_.WriteReport(kx::StrFormat("UI CHCE Map : %X", uiCeMap_), true);
  }

  job_.SetProgress(5);
  if (g_KX_U2A == 0 && !d_.CheckIoState(1)) {
    // An empty port is shown idle, without the serial number.
    if (kx::proc::IsNoDriveCode(d_.m_ErrorCode)) return Fail(false, 4);
    return Fail();
  }
  job_.SetProgress(5);
  if (!d_.CheckIcVersion()) return FailWith("I_V01", "IC ver error!!");
  std::uint8_t table[512] = {};
  if (d_.ReadFlashIdTable(table)) d_.m_FlashCount = kx::proc::CountFlashIds(table);
  return true;
}

// ---- phase D: the running code --------------------------------------------------

bool CMpRun::RunningCodeCheck() {
  if (!d_.ChkRC(3, 0, true, std::string(), nullptr)) return Fail();
  if (d_.m_ROMMode) {
    if (!job_.LockVolumeForRun()) return Fail();
    romRdt_ = rdtFwCopy_ = d_.m_RdtFwFlag != 0;
    d_.WriteReport(romRdt_ ? "ROM mode - RDTFW, Should output RDT result" : "ROM mode", true);
    if (job_.m_Station == 4 && d_.m_RdtFwFlag) {
      if (OptionInt("EraseMPChkBBT", 1) != 0)
        return FailWith("P_x18", "BBT exists, not recommended to Erase MP !", false);
      romRdt_ = rdtFwCopy_ = false;  // erased without reading the RDT results
    }
  } else if (d_.m_BootMode) {
    d_.WriteReport("Boot mode", true);
    if (!d_.CheckFlashId()) return FailWith("I_V02", "Controller version is not correct!!", false);
  }
  if (keepDeviceInfo_ && !d_.m_ROMMode)
    return FailWith("S_T20", "Keep_Device_Info must running on Normal Code.");
  if (romRdt_) {
    const bool saveLog = OptionInt("save_RDT_log", 0) == 1;
    if (!d_.ReadRdtLog(saveLog, false, job_.m_Progress, 0, false, 1, nullptr, nullptr, 0)) return Fail();
  }
  return true;
}

// ---- phase J: scan, info block, pre-format, firmware into flash -------------------

bool CMpRun::Scan(bool mpScan) {
  if (slotCount_ == 8 || slotCount_ == 16) {
    kx::RdtInfoRecord info;
    if (d_.ReadRdtInfo(&info, nullptr)) {
      const std::uint8_t columns = slotCount_ == 8 ? kx::kRdtPairs | kx::kRdtFirmware : kx::kRdtPairs;
      rdtProgressText_ = d_.FormatRdtProgress(columns, 0, nullptr, &info);
    }
  }
  blockInfo_.fill(0);
  const bool scanned = d_.ScanBadBlocks(mpScan, 0, job_.m_Progress, mpScan ? 10 : 5, false, &blockInfo_, false);
  job_.WriteBlockInfoToFile(blockInfo_);
  return scanned || Fail();
}

bool CMpRun::FormatAndProgram() {
  bool built = false;
  {
    auto serialLock = job_.LockPage(2);
    built = d_.BuildInfoBlock(false, keepDeviceInfo_, rdtInfo_.data(), true);
  }
  if (!built) return Fail();

  if (!d_.PreFormat(1, job_.m_Progress, 10, keepRdtInfo_, polling_, 0)) {
    if (d_.m_PreFormatResultKind == 12) {
      // The drive is scanned again for the record; the pre-format's failure
      // stays the port's. A failed scan keeps its own fail block in the
      // report; the job's failed ending writes the pre-format's after it, so
      // that the report's last verdict, the Error log and the records name the
      // port's failure. The scan's mark does not reach the cell.
      const std::string code = d_.m_ErrorCode;
      const std::string message = d_.m_ErrorMessage;
      const std::string extraText = d_.m_StatusExtraText;
      const std::uint8_t extraFlag = d_.m_StatusExtraFlag;
      blockInfo_.fill(0);
      d_.ScanBadBlocks(true, 0, job_.m_Progress, 10, false, &blockInfo_, false);
      job_.WriteBlockInfoToFile(blockInfo_);
      d_.m_ErrorCode = code;
      d_.m_ErrorMessage = message;
      d_.m_StatusExtraText = extraText;
      d_.m_StatusExtraFlag = extraFlag;
    }
    return Fail();
  }
  short_ = ToolInt("Short", 0) == 1;
  return d_.IspProgramFlash(false, short_, std::string()) || Fail();
}

// ---- phase K: post-format tests ------------------------------------------------------

bool CMpRun::Tests() {
  if (ParamInt("RD Debug", "TestInFinity", 0) != 0) {
    if (!d_.JumpToBoot(5000)) {
      d_.WriteFailReport();
      return Fail();
    }
    platform::Clock().SleepMs(1000);
  }
  if (g_KX_U2A == 0 && !d_.ResetCardAndTester(true, 0, job_.m_DevSleep != 0)) return FailReset();
  if (!d_.PollDeviceStatus(20) || !d_.CheckInfoBlock(false)) return Fail();
  job_.SetProgress(85);
  if (OptionInt("Put_Thermal_Sensor", 0) == 1 && !d_.CheckThermalSensor()) return Fail();
  if (OptionInt("DEVSLP_Enable", 0) == 1 && !d_.CheckDevSleep()) return Fail();
  if (!BurnIn()) return false;

  job_.SetProgress(90);
  if (OptionInt("SkipMPScan", 0) == 0 && !Scan(false)) return false;
  if (!CutEfuse()) return false;
  if (!d_.WriteGoodCardMark(selfBurnInLog_ ? 3 : 1) || !d_.CheckSmartStatus()) return Fail();
  if (OptionInt("AfterMpDoResetSMART", 0) != 0 && !d_.ResetSmart()) return Fail();
  return true;
}

bool CMpRun::BurnIn() {
  bool tested = true;
  bool byCapacity = false;
  if (ParamInt("Write_Read BurnIn", "Enable", 0) == 0) {
    if (OptionInt("SkipCopyCompare", 0) == 0) tested = d_.CopyCompareTestDma(job_.m_Progress, 5);
  } else {
    tested = kx::proc::RunSetBurnIn(d_, job_.m_Progress, 5, byCapacity);
  }
  if (tested) return true;
  kx::proc::TakeOwedCurrent(d_, !byCapacity || g_KX_U2A == 0);
  return Fail();
}

bool CMpRun::CutEfuse() {
  const bool uart = OptionInt("Cut_UART", 0) != 0;
  const bool jtag = OptionInt("Cut_JTAG", 0) != 0;
  if (OptionInt("Cut_eFuse", 0) != 1) return true;
  if (!d_.CutEfuse(uart, jtag, false)) return Fail();
  if (g_KX_U2A == 0 && !d_.ResetCardAndTester(true, 0, job_.m_DevSleep != 0)) return FailReset();
  win::Sleep(300);
  if (!d_.PollDeviceStatus(5) || !d_.CheckEfuse(1, false, uart, jtag)) return Fail();
  return true;
}

// ---- phase L: capacity, identity and standby -----------------------------------------

bool CMpRun::CapacityAndIdentity() {
  modelText_.clear();
  serialText_.clear();
  driveSizeMb_ = d_.m_LogicalSizeSectors >> 11;
  if (driveSizeMb_ == 0) {
    // A failed query leaves the size 0.
    win::DISK_GEOMETRY_EX geometry{};
    if (GetPortDiskGeometryEx(d_.GetDriveNumber(), &geometry) && geometry.DiskSize > 0)
      driveSizeMb_ = static_cast<std::uint64_t>(geometry.DiskSize) / 1024 / 1024;
  }
  const auto size = static_cast<unsigned long long>(driveSizeMb_);
  const int maxGb = OptionInt("MaxCapacity", 0);
  const int minGb = OptionInt("MinCapacity", 0);
  if (maxGb != 0 && maxGb >= minGb) {
    std::uint64_t maxMb = IdemaMb(maxGb);
    std::uint64_t minMb = IdemaMb(minGb);
    if (std::string message;
        !ApplySizePercent(job_.m_TextBuffer, maxMb, message) || !ApplySizePercent(job_.m_TextBuffer, minMb, message))
      return FailWith(kx::kSettingNumberCode, message);
    if (driveSizeMb_ > maxMb || driveSizeMb_ < minMb)
      return FailWith("M_T54", kx::StrFormat("Capacity is not match!!(size:%llu, max:%llu, min%llu)", size,
                                             static_cast<unsigned long long>(maxMb),
                                             static_cast<unsigned long long>(minMb)));
  }
  if (FdbInt("Options", "AutoCapacity_Enable", 0) == 0) {
    const std::string capacity = ReadText(job_.m_TextBuffer, "General Info", "Capacity", kToolSetting, 40);
    if (!capacity.empty() && capacity != "default" && capacity != "MaxSize") {
      std::int32_t gb = 0;
      std::string message;
      if (!kx::ReadSettingInt<std::int32_t>(kToolSetting, "General Info", "Capacity", 0, gb, message))
        return FailWith(kx::kSettingNumberCode, message);
      std::uint64_t expected = IdemaMb(gb);
      if (!ApplySizePercent(job_.m_TextBuffer, expected, message)) return FailWith(kx::kSettingNumberCode, message);
      if (expected != driveSizeMb_)
        return FailWith("M_T54", kx::StrFormat("Capacity is not match!!(size:%llu, Cap:%llu)", size,
                                               static_cast<unsigned long long>(expected)));
    }
  }

  identify_.fill(0);
  if (!d_.IssueIdentify(identify_.data(), g_KX_U2A != 0)) {
    d_.WriteFailReport();  // the step leaves the report to its caller
    return Fail();
  }
  if (ToolInt("SlotNumber", 8) == 8)
    modelText_ = SwappedText(identify_.data(), 54, 40, {10, 20, 30});
  else
    modelText_ = SwappedText(identify_.data(), 54, 20, {10});
  serialText_ = SwappedText(identify_.data(), 20, 20, {10});
  return d_.StandbyImmediate() || Fail();
}

// ---- phase M: firmware checks --------------------------------------------------------

bool CMpRun::FirmwareChecks() {
  const int skipFwBin = OptionInt("SkipCheckFWBinHeader", 0);
  if (!d_.CheckSystemInfo()) return true;  // no firmware checks without the system information
  const std::string version = d_.m_FwVersion.substr(0, 4);
  fwDateText_ = "FW Date: " + d_.m_FwBuildDate.substr(0, 9);

  const std::string fdb = kx::ParamFdbIniPath();
  const int ceLimit = FdbInt("Flash Info", "Flash2ndBinCELimit", 0);
  const char* key =
      ceLimit >= 1 && ceLimit <= 16 && d_.m_FlashCount > ceLimit ? "Flash2ndMPBinType" : "Flh_MPBinType";
  const std::string expected = ReadText(job_.m_TextBuffer, "Flash Info", key, fdb, 256);
  if (version.find(expected) == std::string::npos) {
    const std::string message = kx::StrFormat("Bin file fail!! FW do not equal to ini(%s)", version.c_str());
    d_.m_ErrorCode = "S_x30";
    if (skipFwBin == 0) return FailWith("S_x30", message, false);
    d_.WriteReport(message, true);
  }
  if (d_.m_FlashCount == 1) {
    if (version.find("311") != std::string::npos || version.find("315") != std::string::npos)
      return FailWith("S_x31", "1CE do not support 1P mode!", false);
    if (version.find("7312") != std::string::npos && d_.m_TwoPlaneMode)
      return FailWith("S_x31", "B0KB 1CE do not support 2P mode!", false);
  }
  return true;
}

// ---- phase N: the result --------------------------------------------------------------

std::uint8_t CMpRun::Pass() {
  std::string result = "Pass*Short*Enabled";
  if (!short_) {
    const bool autoCapacity = FdbInt("Options", "AutoCapacity_Enable", 0) != 0;
    const std::uint32_t autoSize = d_.GetAutoCapacitySize();
    const std::string& setText = ReadText(job_.m_TextBuffer, "Options", "SetSSDSize", kx::SettingIniPath(), 20);
    double setGb = 0;
    std::string message;
    if (!setText.empty() && setText != "0" &&
        !kx::ReadSettingReal(kx::SettingIniPath(), "Options", "SetSSDSize", 0, kx::kSizeGbMin, kx::kSizeGbMax, setGb,
                             message))
      return FailWith(kx::kSettingNumberCode, message) ? 1 : 0;
    const long long setSize = !setText.empty() && setText != "0" ? static_cast<long long>(setGb)
                                                                 : static_cast<long long>(d_.SelectCapacity());
    const long long bracket = autoCapacity && autoSize != 0 ? static_cast<long long>(autoSize) : setSize;
    const auto mb = static_cast<unsigned long long>(driveSizeMb_);
    std::string capacity;
    if (driveSizeMb_ <= 1024)
      capacity = kx::StrFormat("%llu(%lld) MB", mb, bracket);
    else if (ToolInt("SlotNumber", 8) < 24)
      capacity = kx::StrFormat("%llu MB*%llu(%lld) GB", mb, mb >> 10, bracket);
    else
      capacity = kx::StrFormat("%llu(%lld) GB", mb >> 10, bracket);
    // The marker of a drive that auto capacity made smaller than asked, in the factory's code page.
    result = "Pass";
    if (autoCapacity && autoSize != 0 && static_cast<long long>(autoSize) < setSize) result += "\xA1\xF5";
    const bool modelMarked = !modelText_.empty() && modelText_.back() == '*';
    result += "*" + capacity + "*" + modelText_ + (modelMarked ? "" : "*") + serialText_;
    result += "*" + rdtProgressText_ + "*" + fwDateText_;
  }
  if (!d_.m_ExtraResultText.empty() && slotCount_ == 8) result += " *" + d_.m_ExtraResultText;

  job_.SetPortStatus(sorting_ && !thirdBbt_ ? 9 : 1, result, "");
  return job_.RecordPass();
}
