#include "platform/Library.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include <dlfcn.h>

#include "platform/Debug.h"
#include "platform/Paths.h"

namespace platform {
namespace {
thread_local std::string t_loadError;
}  // namespace

std::string LastLoadLibraryError() { return t_loadError; }

std::string LibraryFileFor(const std::string& winPath) {
  std::string p = winPath;
  if (p.size() > 4 && EqualsNoCase(std::string_view(p).substr(p.size() - 4), ".dll")) {
    const auto sep = p.find_last_of("\\/:");
    const std::string folder = sep == std::string::npos ? "" : p.substr(0, sep + 1);
    const std::string stem = p.substr(folder.size(), p.size() - 4 - folder.size());
    p = folder + "lib" + stem + ".so";
  }
  std::string native;
  if (!MapPath(p, native)) return {};
  // dlopen searches the system folders for a bare name; this one is local.
  if (native.find('/') == std::string::npos) native = "./" + native;
  return native;
}

std::string UndecoratedName(const std::string& name) {
  // "@Name$q<args>": the identifier runs from after the '@' to the '$'.
  if (name.size() > 1 && name[0] == '@') {
    const auto dollar = name.find('$');
    return name.substr(1, dollar == std::string::npos ? std::string::npos : dollar - 1);
  }
  return {};
}

}  // namespace platform

namespace win {

HMODULE LoadLibrary(const char* path) {
  if (path == nullptr || *path == '\0') {
    platform::t_loadError = "no library named";
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string file = platform::LibraryFileFor(path);
  void* h = file.empty() ? nullptr : ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    std::string reason = std::string(path) + ": the path cannot be mapped";
    if (!file.empty()) {
      const char* why = ::dlerror();
      reason = why ? why : "cannot be loaded";
      // The loader's text mostly starts with the file already.
      if (!reason.starts_with(file + ": ")) reason = file + ": " + reason;
    }
    platform::DebugOutput(std::string("LoadLibrary ") + path + ": " + reason);
    platform::t_loadError = reason;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  platform::t_loadError.clear();
  SetLastError(0);
  return h;
}

void* GetProcAddress(HMODULE module, const char* name) {
  if (module == nullptr || name == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* sym = ::dlsym(module, name);
  if (sym == nullptr) {
    const std::string plain = platform::UndecoratedName(name);
    if (!plain.empty()) sym = ::dlsym(module, plain.c_str());
  }
  SetLastError(sym ? 0 : ERROR_PROC_NOT_FOUND);
  return sym;
}

BOOL FreeLibrary(HMODULE module) {
  if (module == nullptr || ::dlclose(module) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  SetLastError(0);
  return TRUE;
}

}  // namespace win

namespace win {

DWORD GetModuleFileName(HMODULE module, char* buffer, DWORD size) {
  if (module != nullptr || buffer == nullptr || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::error_code ec;
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  if (ec || exe.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  const std::size_t n = exe.size() < size ? exe.size() : size - 1;
  std::memcpy(buffer, exe.data(), n);
  buffer[n] = '\0';
  SetLastError(n < exe.size() ? ERROR_INSUFFICIENT_BUFFER : 0);
  return static_cast<DWORD>(n);
}

}  // namespace win
