// The service read-out station: the drive's SMART id table and its info block,
// read through the controller's debug-information command, are printed into
// the port report; the SMART summary is appended to the port's pass status.
#include <array>
#include <cstdint>

#include "command/CommandGlobals.h"
#include "device/PortDevice.h"
#include "engine/PortJob.h"

std::uint8_t CPortJob::RunRMADebug() {
  CPortDevice& d = *m_Device;
  auto fail = [&](int state) -> std::uint8_t {
    m_FailCode = d.m_ErrorCode;
    if (m_ResultCode) *m_ResultCode = d.m_ErrorCode;
    if (state == 4)
      JoinResultFields(false, 4, d.m_ErrorCode, "", "");
    else
      JoinResultFields(false, 0, d.m_ErrorCode, d.m_ErrorMessage, "");
    return 0;
  };
  // A one-sector read that the command refuses leaves the fail block to its caller.
  auto readFailed = [&]() -> std::uint8_t {
    if (d.m_ErrorCode == "F_x50") d.WriteFailReport();
    return fail(0);
  };

  d.WriteReport("START", false);
  SetProgress(5);
  if (g_KX_U2A == 0 && !d.CheckIoState(1)) {
    const bool noDrive = d.m_ErrorCode == "P_A01" || d.m_ErrorCode == "P_x01";
    return fail(noDrive ? 4 : 0);
  }
  SetProgress(10);

  std::array<std::uint8_t, 512> buffer{};
  d.WriteReport("SMART Information", true);
  if (!d.ReadDebugInfo(buffer.data(), 1, 0)) return readFailed();
  const std::string summary = d.WriteSmartIdReport(buffer.data());
  SetProgress(50);

  d.WriteReport("Info Block Information", true);
  buffer.fill(0);
  if (!d.ReadDebugInfo(buffer.data(), 1, 1)) return readFailed();
  d.WriteInfoBlockReport(buffer.data());

  SetProgress(100);
  d.WriteReport("END", false);
  if (m_ResultCode) *m_ResultCode = "0_00";
  SetPortStatus(1, "Pass", "");
  AppendStatusTextGreen(summary);
  return 1;
}
