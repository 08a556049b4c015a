// Opening a file or folder with the desktop's handler (a folder opens in the
// file manager). Tests install an opener that records the path instead.
#pragma once
#include <functional>
#include <string>

namespace platform {

// Gets the native path; whether the handler could be started.
using ShellOpener = std::function<bool(const std::string& nativePath)>;

// Opens a Windows-style or native path without waiting for the handler; false
// when the path does not map or the handler cannot be started.
bool ShellOpen(const std::string& path);
// Installs an opener (empty = the desktop's, xdg-open) and returns the one it replaces.
ShellOpener SetShellOpener(ShellOpener opener);

}  // namespace platform
