// Process-wide send-mode settings and parameter-file paths that the command layer
// reads. They are written once before a run (start-up and the production page's
// first display) and only read while jobs run.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// 1: drives are reached through their device-listing entry path (bridge or SATA
// port); 0: tester-direct mode on "\\.\PhysicalDrive%d".
extern std::uint8_t g_KX_U2A;
// 1 when the drives sit on SATA ports ([General Info] PortType 1).
extern std::uint8_t g_SataPortMode;

// One flag per drive number the device listing can give (0 to 128): 1 when ATA
// pass-through works for that drive. Only IDENTIFY DEVICE writes an entry.
constexpr std::size_t kAtaPassThroughOkEntries = 129;
extern std::uint8_t g_AtaPassThroughOk[kAtaPassThroughOkEntries];

// The parameter file (".\param.ini") and its flash-maker copy (".\paramFDB.ini").
extern std::string g_SettingIniPath;
extern std::string g_ParamFdbIniPath;

namespace kx {

// A drive number outside the table reads as "not known to work".
bool AtaPassThroughOk(int driveNo);
void SetAtaPassThroughOk(int driveNo, bool ok);
void ClearAtaPassThroughOk();

// Send modes named by the settings above.
inline bool IsTesterDirectMode() { return g_KX_U2A == 0; }
inline bool IsBridgeMode() { return g_KX_U2A != 0 && g_SataPortMode == 0; }
inline bool IsSataPortMode() { return g_KX_U2A != 0 && g_SataPortMode != 0; }

// [General Info] ScsiTimeOut (default 30) and ScsiTimeOutMax (default 360) of the
// parameter file, read at the moment of the call.
std::uint32_t ReadScsiTimeOut();
std::uint32_t ReadScsiTimeOutMax();

}  // namespace kx
