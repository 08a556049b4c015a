// The process-wide settings the command layer reads (send mode, ATA pass-through
// flags, device listing, parameter-file paths, program folder): the only place
// tests set the send mode, and a guard that puts every one back.
#pragma once
#include <array>
#include <string>

#include "command/CommandGlobals.h"
#include "command/GetDevLibrary.h"

namespace kxtest {

// TesterSataPort: a SATA port on a tester's switch board, which also decodes the
// tester's own 08 F2 forms; a plain SataPort (as an AHCI port) refuses them.
enum class Mode { TesterDirect, Bridge, SataPort, TesterSataPort };

inline bool IsSata(Mode m) { return m == Mode::SataPort || m == Mode::TesterSataPort; }

// g_KX_U2A and g_SataPortMode for the mode.
inline void SetSendMode(Mode m) {
  g_KX_U2A = m == Mode::TesterDirect ? 0 : 1;
  g_SataPortMode = IsSata(m) ? 1 : 0;
}

// Saves the settings when made, restores them when destroyed.
class SavedGlobals {
 public:
  SavedGlobals();
  ~SavedGlobals();
  SavedGlobals(const SavedGlobals&) = delete;
  SavedGlobals& operator=(const SavedGlobals&) = delete;

 private:
  std::uint8_t u2a_, sataPortMode_;
  std::array<std::uint8_t, kAtaPassThroughOkEntries> ataPassThroughOk_;
  kx::RootDeviceRecord listing_;
  std::string settingIni_, paramFdbIni_, moduleFolder_;
};

}  // namespace kxtest
