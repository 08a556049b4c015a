// What the device core asks of its surroundings, in one place: settings files,
// the paths of the parameter files, identity, debug output and message box.
// Thin forwards to the platform and command layers.
#pragma once
#include <cstddef>
#include <string>

namespace kx {

// Profile value read into a buffer of `bufferSize` characters (so at most
// bufferSize-1 characters), default empty; not trimmed.
std::string ReadProfileText(const char* section, const char* key, const char* file, std::size_t bufferSize);
int ReadProfileInt(const char* section, const char* key, int defaultValue, const char* file);
bool WriteProfileText(const char* section, const char* key, const std::string& value, const std::string& file);

// The parameter file and the flash-maker parameter copy.
std::string SettingIniPath();
std::string ParamFdbIniPath();
// The program folder with its trailing backslash (empty until the production page sets it).
std::string ModuleFolderText();

std::string ModuleFileName();
int SystemDefaultLangId();
// Computer name, at most 15 characters.
std::string ComputerNameText();
void DebugOutput(const std::string& text);
void ShowMessageBox(const std::string& text);

}  // namespace kx
