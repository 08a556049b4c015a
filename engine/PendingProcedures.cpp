// The station procedures that are not built yet. Each fails its port openly
// with code "N_A00"; a procedure's own file replaces its definition here when
// the procedure is built.
#include "device/Format.h"
#include "device/PortDevice.h"
#include "engine/PortJob.h"

std::uint8_t CPortJob::RunMP() { return FailUnbuilt("RunMP"); }

std::uint8_t CPortJob::FailUnbuilt(const char* name) {
  const std::string code = "N_A00";
  const std::string message = kx::StrFormat("%s is not available in this build", name);
  if (m_Device) {
    m_Device->m_ErrorCode = code;
    m_Device->m_ErrorMessage = message;
  }
  m_FailCode = code;
  if (m_ResultCode) *m_ResultCode = code;
  SetPortStatus(0, code, message);
  return 0;
}
