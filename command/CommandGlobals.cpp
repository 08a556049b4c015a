#include "command/CommandGlobals.h"

#include <cstring>

#include "platform/Profile.h"

std::uint8_t g_KX_U2A = 1;
std::uint8_t g_SataPortMode = 0;
std::uint8_t g_AtaPassThroughOk[kAtaPassThroughOkEntries] = {};
std::string g_SettingIniPath;
std::string g_ParamFdbIniPath;

namespace kx {

bool AtaPassThroughOk(int driveNo) {
  if (driveNo < 0 || static_cast<std::size_t>(driveNo) >= kAtaPassThroughOkEntries) return false;
  return g_AtaPassThroughOk[driveNo] != 0;
}

void SetAtaPassThroughOk(int driveNo, bool ok) {
  if (driveNo < 0 || static_cast<std::size_t>(driveNo) >= kAtaPassThroughOkEntries) return;
  g_AtaPassThroughOk[driveNo] = ok ? 1 : 0;
}

void ClearAtaPassThroughOk() { std::memset(g_AtaPassThroughOk, 0, sizeof g_AtaPassThroughOk); }

namespace {
std::uint32_t readGeneralInt(const char* key, int defaultValue) {
  // Before the production page names the parameter file there is nothing to read.
  if (g_SettingIniPath.empty()) return static_cast<std::uint32_t>(defaultValue);
  return win::GetPrivateProfileInt("General Info", key, defaultValue, g_SettingIniPath.c_str());
}
}  // namespace

std::uint32_t ReadScsiTimeOut() { return readGeneralInt("ScsiTimeOut", 30); }
std::uint32_t ReadScsiTimeOutMax() { return readGeneralInt("ScsiTimeOutMax", 360); }

}  // namespace kx
