#include "device/Environment.h"

#include <vector>

#include "command/CommandGlobals.h"
#include "device/ModuleFolder.h"
#include "platform/Debug.h"
#include "platform/Identity.h"
#include "platform/Library.h"
#include "platform/MessageBox.h"
#include "platform/Profile.h"

std::string g_ModuleFolder;

namespace kx {

std::string ReadProfileText(const char* section, const char* key, const char* file, std::size_t bufferSize) {
  if (bufferSize == 0) return {};
  std::vector<char> buffer(bufferSize, '\0');
  const win::DWORD n =
      win::GetPrivateProfileString(section, key, "", buffer.data(), static_cast<win::DWORD>(bufferSize), file);
  return std::string(buffer.data(), n < bufferSize ? n : bufferSize - 1);
}

int ReadProfileInt(const char* section, const char* key, int defaultValue, const char* file) {
  return static_cast<int>(win::GetPrivateProfileInt(section, key, defaultValue, file));
}

bool WriteProfileText(const char* section, const char* key, const std::string& value, const std::string& file) {
  return win::WritePrivateProfileString(section, key, value.c_str(), file.c_str()) != win::FALSE;
}

std::string SettingIniPath() { return g_SettingIniPath; }
std::string ParamFdbIniPath() { return g_ParamFdbIniPath; }
std::string ModuleFolderText() { return g_ModuleFolder; }

std::string ModuleFileName() {
  char path[4096] = {};
  const win::DWORD n = win::GetModuleFileName(nullptr, path, sizeof path);
  return std::string(path, n);
}

int SystemDefaultLangId() { return win::GetSystemDefaultLangID(); }

std::string ComputerNameText() {
  char name[win::MAX_COMPUTERNAME_LENGTH + 1] = {};
  win::DWORD size = sizeof name;
  if (!win::GetComputerName(name, &size)) return {};
  return std::string(name, size < sizeof name ? size : sizeof name - 1);
}

void DebugOutput(const std::string& text) { platform::DebugOutput(text); }

void ShowMessageBox(const std::string& text) { win::AfxMessageBox(text.c_str()); }

}  // namespace kx
