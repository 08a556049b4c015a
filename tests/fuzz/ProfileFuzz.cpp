// The INI profile reader and writer on arbitrary text: the parse and lookup of
// a file read from disk, every listing, and a key written back in place.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/Profile.h"

namespace {

// One file in a private folder for the whole run.
const std::string& FilePath() {
  static const std::string path = [] {
    std::string folder = "/tmp/kxmp-fuzz-profile-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) std::abort();
    return folder + "/fuzz.ini";
  }();
  return path;
}

std::string Trimmed(const std::string& s) {
  constexpr const char* kBlanks = " \t\r\v\f";
  const auto b = s.find_first_not_of(kBlanks);
  return b == std::string::npos ? std::string() : s.substr(b, s.find_last_not_of(kBlanks) - b + 1);
}

// The key's value as a read of the file holding `bytes` finds it, by the names
// as the text calls trim them; "\n", which no value holds, when it is missing.
std::string ReadKey(const std::string& bytes, const std::string& section, const std::string& key) {
  std::ofstream(FilePath(), std::ios::binary | std::ios::trunc) << bytes;
  platform::ClearProfileCache();
  return win::GetPrivateProfileString(Trimmed(section), Trimmed(key), "\n", FilePath());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  // Names come from the input's first line, so that lookups can hit.
  const std::string first = text.substr(0, text.find_first_of("\r\n"));
  const std::string section = first.size() > 2 && first[0] == '[' ? first.substr(1, first.find(']') - 1) : "General Info";
  const std::string key = first.size() > 2 ? first.substr(first.size() / 2) : "Key";
  std::ofstream(FilePath(), std::ios::binary | std::ios::trunc) << text;
  platform::ClearProfileCache();

  const std::string& file = FilePath();
  char buffer[300];
  win::GetPrivateProfileString(section.c_str(), key.c_str(), "", buffer, sizeof buffer, file.c_str());
  win::GetPrivateProfileString(section.c_str(), nullptr, "", buffer, sizeof buffer, file.c_str());
  win::GetPrivateProfileString(nullptr, nullptr, "", buffer, sizeof buffer, file.c_str());
  win::GetPrivateProfileSection(section.c_str(), buffer, 10, file.c_str());
  win::GetPrivateProfileInt(section.c_str(), key.c_str(), 7, file.c_str());
  win::GetPrivateProfileSection(section, file);
  win::GetPrivateProfileSectionNames(file);
  platform::ReadProfileStringUncached(section, key, "", file);

  const bool there = ReadKey(text, section, key) != "\n";
  std::string added = text;
  const win::DWORD addError = platform::AddProfileKey(added, section, key, "v");
  const std::string before = text;
  if (platform::SetProfileKey(text, section, key, "v") == 0) {
    // An added key goes only where the key was missing.
    if (there ? addError != win::ERROR_ALREADY_EXISTS || added != before : addError != 0 || added != text) std::abort();
    // The text gets the bytes a write of the file gets (which takes names up to a NUL).
    if ((section + key).find('\0') == std::string::npos) {
      if (!win::WritePrivateProfileString(section, key, "v", file)) std::abort();
      std::ifstream in(file, std::ios::binary);
      if (std::string((std::istreambuf_iterator<char>(in)), {}) != text) std::abort();
    }
    if (ReadKey(text, section, key) != "v") std::abort();  // a key just written must read back
  }
  return 0;
}
