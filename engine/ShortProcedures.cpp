// The three short station procedures: erase-all (every flash block erased after
// the identity checks), the 0 MB check (a drive without capacity still boots,
// takes the firmware into RAM and passes the DRAM test) and the firmware
// upgrade alone. Each is a fixed sequence of device steps that stops at the
// first failure.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "bringup/FlashIdentity.h"
#include "command/CommandGlobals.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/SettingNumbers.h"
#include "device/Settings.h"
#include "engine/PortJob.h"
#include "engine/ProcedureSupport.h"
#include "platform/Clock.h"
#include "platform/Profile.h"

namespace {

// How a procedure shows its failure.
enum class Ending { Direct, Joined };

double SecondsSince(std::uint64_t startMs) {
  return static_cast<double>(platform::Clock().NowMs() - startMs) / 1000.0;
}

int ParamInt(const char* key, int defaultValue) { return kx::proc::OptionInt(key, defaultValue); }

// The failure ending; `ioCheck` marks a failed I/O-state check, whose no-drive
// codes show the port as empty.
std::uint8_t Fail(CPortJob& job, Ending ending, bool ioCheck = false) {
  CPortDevice& d = *job.m_Device;
  job.m_FailCode = d.m_ErrorCode;
  if (job.m_ResultCode) *job.m_ResultCode = job.m_FailCode;
  const bool noDrive = ioCheck && (job.m_FailCode == "P_A01" || job.m_FailCode == "P_x01");
  const int state = noDrive ? 4 : 0;
  const std::string message = noDrive ? std::string() : d.m_ErrorMessage;
  if (ending == Ending::Joined)
    job.JoinResultFields(false, state, job.m_FailCode, message, "");
  else
    job.SetPortStatus(state, job.m_FailCode, message);
  return 0;
}

// A failure that the procedure names itself, with its fail report.
std::uint8_t FailWith(CPortJob& job, Ending ending, const char* code, const char* message) {
  job.m_Device->m_ErrorCode = code;
  job.m_Device->m_ErrorMessage = message;
  job.m_Device->WriteFailReport();
  return Fail(job, ending);
}

bool ChkRCMode(CPortDevice& d, int mode) { return d.ChkRC(mode, 0, true, "", nullptr); }

}  // namespace

std::uint8_t CPortJob::RunEraseAll() {
  CPortDevice& d = *m_Device;
  constexpr Ending kEnd = Ending::Joined;
  const bool polling = ParamInt("use_polling", 0) == 1;
  const std::uint64_t start = platform::Clock().NowMs();

  d.WriteReport("START", false);
  SetProgress(5);
  if (g_KX_U2A == 0 && !d.CheckIoState(1)) return Fail(*this, kEnd, true);

  SetProgress(15);
  if (!d.CheckIcVersion()) return FailWith(*this, kEnd, "I_V01", "IC ver error!!");
  if (!ChkRCMode(d, 3)) return Fail(*this, kEnd);

  if (d.m_ROMMode) {
    if (d.m_Volume.DeletePortDriveLayout()) {
      m_VolumeLocked = 1;
      d.WriteReport("Delete Disk.", true);
    }
    if (!LockVolumeForRun()) return Fail(*this, kEnd);
    d.WriteReport("ROM mode", true);
  } else if (d.m_BootMode) {
    d.WriteReport("Boot mode", true);
    if (!d.CheckFlashId()) return FailWith(*this, kEnd, "I_V02", "Controller version is not correct!!");
  }

  // The step writes its own fail report on every failure.
  if ((d.m_ROMMode || d.mCodeMode) && !d.ForceToBootCode()) return Fail(*this, kEnd);
  if (!ChkRCMode(d, 0)) return Fail(*this, kEnd);

  std::uint8_t table[512] = {};
  if (d.ReadFlashIdTable(table)) d.m_FlashCount = kx::proc::CountFlashIds(table);

  if (!d.IspProgramPram(false, "")) return Fail(*this, kEnd);
  SetProgress(20);
  const auto eraseType = static_cast<std::uint8_t>(kx::GetEraseType());

  if (ParamInt("SkipCEMapAtEraseAll", 0) == 0) {
    std::uint16_t ceMap = 0;
    if (std::string message; !kx::ReadUiCeMap(ceMap, message)) {
      d.m_ErrorCode = kx::kSettingNumberCode;
      d.m_ErrorMessage = message;
      d.WriteFailReport();
      return Fail(*this, kEnd);
    }
    if (ceMap != 0) d.SelectCeMap(ceMap, false);
  }
  if (!d.EraseAllBlocks(eraseType, true, m_Progress, 70, polling)) return Fail(*this, kEnd);

  // The erase leaves the controller in the code it ran; only a tester's card
  // power reset returns it to boot code, so elsewhere it is sent there.
  if (g_KX_U2A == 0) {
    if (!d.PowerResetCard(true)) {
      std::replace(d.m_ErrorCode.begin(), d.m_ErrorCode.end(), 'x', 'I');
      return Fail(*this, kEnd);
    }
  } else if (!d.ForceToBootCode()) {
    return Fail(*this, kEnd);
  }
  if (!ChkRCMode(d, 0)) return Fail(*this, kEnd);

  SetProgress(90);
  d.WriteReport(kx::StrFormat("Erase Progress OK, Total take(sec): %.3f sec.", SecondsSince(start)), false);
  SetPortStatus(1, "Pass", "");
  return RecordPass();
}

std::uint8_t CPortJob::Run0MBCheck() {
  CPortDevice& d = *m_Device;
  constexpr Ending kEnd = Ending::Direct;
  const std::uint64_t start = platform::Clock().NowMs();
  d.WriteReport("START", false);
  SetProgress(5);
  if (!d.CheckIoState(1)) return Fail(*this, kEnd, true);
  SetProgress(10);
  if (!ChkRCMode(d, 0)) return Fail(*this, kEnd);
  SetProgress(50);
  if (!d.IspProgramPram(false, "")) return Fail(*this, kEnd);
  SetProgress(60);
  if (!d.TestSdrByDma(m_Progress, 30, 0)) return Fail(*this, kEnd);
  SetProgress(95);
  d.WriteReport(kx::StrFormat("0MB Check Process Total take(sec): %.3f sec.", SecondsSince(start)), false);
  SetPortStatus(1, "Pass", "");
  return RecordPass();
}

std::uint8_t CPortJob::RunISPOnly() {
  CPortDevice& d = *m_Device;
  constexpr Ending kEnd = Ending::Direct;
  const std::uint64_t start = platform::Clock().NowMs();
  d.WriteReport("START", false);
  SetProgress(5);
  if (g_KX_U2A == 0 && !d.CheckIoState(1)) return Fail(*this, kEnd, true);
  SetProgress(50);
  if (!ChkRCMode(d, 2)) return Fail(*this, kEnd);
  SetProgress(60);
  if (!d.DownloadMicroCode()) return Fail(*this, kEnd);
  SetProgress(90);
  d.WriteReport(kx::StrFormat("Upgrade  Firmware Total take(sec): %.3f sec.", SecondsSince(start)), false);
  SetPortStatus(1, "Pass", "");
  return RecordPass();
}
