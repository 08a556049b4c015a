// The Emulator.ini parser on arbitrary text, read from a file as the program
// reads it.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "emulator/EmulatorIni.h"
#include "emulator/Site.h"
#include "platform/Profile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = [] {
    std::string folder = "/tmp/kxmp-fuzz-emulator-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) std::abort();
    return folder + "/Emulator.ini";
  }();
  std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(reinterpret_cast<const char*>(data), size);
  platform::ClearProfileCache();
  std::string error;
  emu::LoadEmulatorIni(path, &error);
  return 0;
}
