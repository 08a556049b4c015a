// The MP station's paths to the MP firmware in controller RAM: from the MP code
// already in RAM, from boot code (load, window scan, load again), from flash
// firmware (its RDT results read when it is the RDT firmware, then back to boot
// code and load), and the parameter check all paths share; with the sub-steps
// they repeat: RDT checks, CE map selection, erase and window scan.
#include <algorithm>
#include <string>

#include "command/CommandGlobals.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/Settings.h"
#include "engine/MpProcedure.h"
#include "engine/ProcedureSupport.h"

using kx::proc::FdbInt;
using kx::proc::OptionInt;

namespace {

// A setting's character, NUL past its end.
char CharAt(const std::string& text, std::size_t i) { return i < text.size() ? text[i] : '\0'; }

}  // namespace

// ---- phase E: the MP code runs in RAM --------------------------------------------

bool CMpRun::FromCodeInRam() {
  if (sorting_ && !job_.RestoreSortedBbt(thirdBbt_, true)) return false;
  ReadEraseType();
  if (!RdtInfoChecks()) return false;
  SelectCeMap();
  return EraseAll(10);
}

// ---- phase F: boot code ---------------------------------------------------------------

bool CMpRun::FromBootCode() {
  if (!d_.IspProgramPram(false, std::string())) return Fail();
  if (!RdtInfoChecks() || !WindowScan(false)) return false;
  if (OptionInt("Skip_Check_eFuse", 0) == 0 && !d_.CheckEfuse(0, false, false, false)) return Fail();
  pramLoaded_ = true;
  keepRdtInfo_ = false;
  return true;
}

// ---- phase G: firmware in flash that is not the RDT firmware ------------------------------

bool CMpRun::FromFlashFirmware() {
  if (!d_.ReadRdtInfo(&rdtInfo_, nullptr)) return true;
  return RdtVersionCheck() && EraseMpCheck();
}

// ---- phase H: the parameter files against the drive, every running code ---------------------

bool CMpRun::ParameterCheck() {
  if (!d_.VerifyParamWithDevice(1, false, rdtInfo_.data())) return Fail();
  if (d_.m_ROMMode && !d_.m_RdtFwFlag) {
    runInfoTaken_ = false;
    const std::uint16_t map = rdtInfo_.CeMap();
    if (map != 0) {
      d_.m_CeMap = runInfoCeMap_ = map;
      runInfoTaken_ = true;
    }
    d_.WriteReport(kx::StrFormat("Run info CE map=%x", map), true);
  }
  job_.SetProgress(10);
  if (!pramLoaded_) return true;

  // After the boot-code path: DRAM test and erase.
  if (OptionInt("Skip_SDR_WriteRead_Test", 0) == 0 && !d_.TestSdrByDma(job_.m_Progress, 10, 0)) return Fail();
  if (sorting_ && !job_.RestoreSortedBbt(thirdBbt_, true)) return false;
  eraseType_ = static_cast<std::uint8_t>(kx::GetEraseType());
  SelectCeMap();
  return EraseAll(2);
}

// ---- phase I: firmware in flash, back to the MP firmware in RAM --------------------------------

bool CMpRun::BackToRam() {
  if (!d_.m_RdtFwFlag && !d_.IssueReadInfoPage()) return Fail();
  if (romRdt_) {
    const bool saveLog = OptionInt("save_RDT_log", 0) == 1;
    const bool onlyDram = OptionInt("only_do_DRAM", 0) == 1;
    const bool read =
        d_.ReadRdtLog(saveLog, false, job_.m_Progress, 5, onlyDram, 0, rdtInfo_.data(), &blockInfo_, 1);
    job_.WriteBlockInfoToFile(blockInfo_);
    if (!read) {
      if (d_.m_StatusExtraFlag) {
        d_.m_StatusExtraText += "*RDT Fail";
      } else {
        d_.m_StatusExtraFlag = 1;
        d_.m_StatusExtraText = "RDT Fail";
      }
      return Fail();
    }
    selfBurnInLog_ = true;
    RetakeRunInfoCeMap();
    if (!RdtVersionCheck()) return false;
  }
  if (OptionInt("Skip_Check_SelfBurnIn_Log", 0) == 1) selfBurnInLog_ = true;

  if (!d_.ForceToBootCode() || !d_.ChkRC(0, 0, true, std::string(), nullptr) ||
      !d_.IspProgramPram(false, std::string()))
    return Fail();
  if (romRdt_ || rdtFwCopy_) {
    // Result not checked: a failed read keeps the record read before, a sector
    // without the RDT mark replaces it as read; a set CE map is then retaken from it.
    d_.ReadRdtInfo(&rdtInfo_, nullptr);
    RetakeRunInfoCeMap();
  }
  SelectCeMap();
  if (!WindowScan(true)) return false;
  if (OptionInt("Skip_Check_eFuse", 0) == 0 && !d_.CheckEfuse(0, false, false, false)) return Fail();
  if (!d_.TestSdrByDma(job_.m_Progress, 10, 0)) return Fail();
  if (sorting_ && !job_.RestoreSortedBbt(thirdBbt_, true)) return false;
  ReadEraseType();
  SelectCeMap();
  return EraseAll(10);
}

// ---- the shared sub-steps ---------------------------------------------------------------------

bool CMpRun::RdtInfoChecks() {
  if (!d_.ReadRdtInfo(&rdtInfo_, nullptr)) {
    rdtInfo_ = kx::RdtInfoRecord{};
    d_.m_CeMap = 0;
    return true;
  }
  if (!RdtVersionCheck() || !EraseMpCheck()) return false;
  TakeRunInfoCeMap();
  return true;
}

bool CMpRun::RdtVersionCheck() {
  const std::string wanted =
      kx::proc::ReadText(job_.m_TextBuffer, "Options", "ChkRDTver", kx::ParamFdbIniPath(), 10);
  if (wanted.empty() || wanted == "0") return true;
  const auto v0 = static_cast<char>(rdtInfo_.U8(51));
  const auto v1 = static_cast<char>(rdtInfo_.U8(52));
  const auto v2 = static_cast<char>(rdtInfo_.U8(53));
  const char any = CharAt(wanted, 1);
  if (v0 == CharAt(wanted, 0) && (any == 'X' || any == 'x' || any == v1) && v2 == CharAt(wanted, 2)) return true;
  const std::string version = kx::StrFormat("%c%c%c", v0, v1, v2);
  return FailWith("P_x17", kx::StrFormat("RDT version(%s) is not equel to ini(%s)!", version.c_str(), wanted.c_str()),
                  false);
}

bool CMpRun::EraseMpCheck() {
  if (job_.m_Station != 4 || OptionInt("EraseMPChkBBT", 1) == 0) return true;
  return FailWith("P_x18", "BBT exists, not recommended to Erase MP !", false);
}

void CMpRun::TakeRunInfoCeMap() {
  d_.m_CeMap = runInfoCeMap_ = rdtInfo_.CeMap();
  if (runInfoCeMap_ == 0) return;
  runInfoTaken_ = true;
  d_.WriteReport(kx::StrFormat("Run Info CHCE Map : %X", runInfoCeMap_), true);
}

void CMpRun::RetakeRunInfoCeMap() {
  runInfoTaken_ = false;
  if (d_.m_CeMap == 0) return;
  d_.m_CeMap = runInfoCeMap_ = rdtInfo_.CeMap();
  runInfoTaken_ = true;
  d_.WriteReport(kx::StrFormat("Run Info CHCE Map : %X", runInfoCeMap_), true);
}

void CMpRun::SelectCeMap() {
  if (uiCeMap_ == 0 && FdbInt("Options", "AutoCapacity_DynamicCE_En", 0) == 0) return;
  bool selected = false;
  if (runInfoCeMap_ != 0 && runInfoTaken_) {
    d_.m_CeMap = runInfoCeMap_;
    selected = d_.SelectCeMap(0, true);
  } else {
    selected = d_.SelectCeMap(uiCeMap_, runInfoTaken_);
  }
  if (!selected) d_.WriteReport("Set CE bitmap fail.", true);
}

void CMpRun::ReadEraseType() {
  eraseType_ = static_cast<std::uint8_t>(kx::GetEraseType());
  if (eraseType_ == 9) keepRdtInfo_ = false;
  if (eraseType_ != 1 && eraseType_ != 17) d_.m_RdtState = 0;
}

bool CMpRun::EraseAll(int progressSpan) {
  if (eraseType_ == 1) return true;  // this erase type leaves the flash as it is
  if ((d_.m_ToggleFlagA || d_.m_ToggleFlagB) && !d_.ReadAllUniqueIds()) d_.WriteReport("Read UID fail", true);
  return d_.EraseAllBlocks(eraseType_, true, job_.m_Progress, progressSpan, polling_) || Fail();
}

bool CMpRun::WindowScan(bool fromFlash) {
  if (OptionInt("Skip_Scan_Window_Test", 0) != 0) return true;
  // A version text too short to hold "x.y" reads as the oldest.
  const std::string& mcode = d_.m_McodeVersion;
  const std::string version = mcode.size() < 3 ? "0.0" : kx::StrFormat("%c.%c", mcode[0], mcode[2]);
  if (version < "0.6" && OptionInt("Do_Scan_Window_Test", 0) == 0) return true;

  if (!fromFlash && uiCeMap_ != 0) {
    if (runInfoCeMap_ != 0 && runInfoTaken_) {
      d_.m_CeMap = runInfoCeMap_;
      d_.SelectCeMap(0, true);
    } else {
      d_.SelectCeMap(uiCeMap_, runInfoTaken_);
    }
  }
  if (!d_.ScanWindow()) return Fail();
  if (g_KX_U2A == 0 && !d_.ResetCardAndTester(true, 0, job_.m_DevSleep != 0)) return FailReset();
  // From boot code a tester reset already brought the boot code back.
  if ((fromFlash || g_KX_U2A != 0) && !d_.ForceToBootCode()) return Fail();
  if (!d_.ChkRC(0, 0, true, std::string(), nullptr) || !d_.IspProgramPram(false, std::string())) return Fail();
  return true;
}
