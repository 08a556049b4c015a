// The firmware-update station: a finished drive gets the MP firmware anew
// without erasing its flash. The controller is brought to the MP firmware in
// RAM, the flash is checked, the info code is restamped under the serial-number
// lock, the old ISP code is erased and the new firmware is written to flash.
#include <cstdint>

#include "command/CommandGlobals.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "engine/PortJob.h"
#include "platform/Clock.h"

std::uint8_t CPortJob::RunUpdateFW() {
  CPortDevice& d = *m_Device;
  auto fail = [&]() -> std::uint8_t {
    m_FailCode = d.m_ErrorCode;
    if (m_ResultCode) *m_ResultCode = d.m_ErrorCode;
    JoinResultFields(false, 0, d.m_ErrorCode, d.m_ErrorMessage, "");
    return 0;
  };
  // A failure the step left unreported: code and message set here, then the fail block.
  auto failWith = [&](const char* code, const char* message) -> std::uint8_t {
    d.m_ErrorCode = code;
    d.m_ErrorMessage = message;
    d.WriteFailReport();
    return fail();
  };

  const std::uint64_t start = platform::Clock().NowMs();
  d.WriteReport("START", false);
  SetProgress(5);

  if (g_KX_U2A == 0 && !d.CheckIoState(1)) {
    if (d.m_ErrorCode != "P_A01" && d.m_ErrorCode != "P_x01") return fail();
    m_FailCode = d.m_ErrorCode;
    if (m_ResultCode) *m_ResultCode = d.m_ErrorCode;
    JoinResultFields(false, 4, d.m_ErrorCode, "", "");
    return 0;
  }

  SetProgress(10);
  if (!d.CheckIcVersion()) return failWith("I_V01", "IC ver error!!");

  // The check's own fail block keeps its cause; the port and the result list show I_B67.
  if (!d.ChkRC(3, 0, true, "", nullptr)) {
    d.m_ErrorCode = "I_B67";
    d.m_ErrorMessage = "[ChkRC]Not Running on Flash Code now";
    return fail();
  }

  if (d.m_BootMode && !d.CheckFlashId()) return failWith("I_V02", "Controller version is not correct!!");

  // The RDT firmware is never overwritten here.
  if (d.m_RdtFwFlag) return failWith("P_x19", "Drive runs RDT firmware, Update FW refused !");

  SetProgress(20);
  if (d.m_ROMMode) {
    if (!LockVolumeForRun()) return fail();
    if (!d.ForceToBootCode()) return fail();
    if (!d.ChkRC(0, 0, true, "", nullptr)) return fail();
  }

  if (!d.IspProgramPram(false, "")) return fail();
  SetProgress(40);

  d.WriteReport("Check Card info", true);
  if (!d.CheckFlashNumber(0, 0, 1, 0)) {
    d.WriteFailReport();
    return fail();
  }

  {
    auto serialLock = LockPage(2);
    d.WriteReport("Check Info Block", true);
    if (!d.UpdateInfoCode()) return fail();
  }

  d.WriteReport("Do Erase ISP Code", true);
  if (!d.EraseISPCode()) return fail();
  SetProgress(70);

  d.WriteReport("Do Write Run Code", true);
  if (!d.IspProgramFlash(false, true, "")) return fail();
  SetProgress(90);

  const double seconds = static_cast<double>(platform::Clock().NowMs() - start) / 1000.0;
  d.WriteReport(kx::StrFormat("Upgrade  Firmware Total take(sec): %.3f sec.", seconds), false);

  SetPortStatus(1, "Pass", "");
  return RecordPass();
}
