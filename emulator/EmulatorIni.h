// Builds a site from an Emulator.ini file (keys documented at the top of
// EmulatorIni.cpp).
#pragma once
#include <memory>
#include <string>

#include "emulator/Site.h"

namespace emu {

// Returns the site, or nullptr with a one-line reason in *error (missing file,
// unknown section or key, bad value; each named with its section and key, the
// file left for the caller to name). The site is not installed.
std::shared_ptr<Site> LoadEmulatorIni(const std::string& path, std::string* error);

// Reads the file the program uses (".\Configuration\System\Emulator.ini", taken
// against the working folder) and installs the site it describes. False when the
// file is missing or wrong; nothing is installed then.
bool InstallSiteFromEmulatorIni(std::string* error);

}  // namespace emu
