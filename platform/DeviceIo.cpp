#include "platform/DeviceIo.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

namespace win {

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

}  // namespace win

namespace platform {
namespace {

struct Registry {
  std::shared_mutex mutex;
  std::vector<std::shared_ptr<IDeviceBackend>> backends;
};
Registry& registry() {
  static Registry r;
  return r;
}

// Open handles. Values start well above 0 and never reach -1 (the invalid handle).
struct HandleTable {
  std::shared_mutex mutex;
  std::unordered_map<std::uintptr_t, std::shared_ptr<IDeviceHandle>> open;
  std::atomic<std::uintptr_t> next{0x1000};
};
HandleTable& handles() {
  static HandleTable t;
  return t;
}

std::vector<std::shared_ptr<IDeviceBackend>> snapshot() {
  auto& r = registry();
  std::shared_lock lock(r.mutex);
  return r.backends;
}

std::shared_ptr<IDeviceHandle> lookup(win::HANDLE h) {
  auto& t = handles();
  std::shared_lock lock(t.mutex);
  auto it = t.open.find(reinterpret_cast<std::uintptr_t>(h));
  return it == t.open.end() ? nullptr : it->second;
}

}  // namespace

void RegisterDeviceBackend(const std::shared_ptr<IDeviceBackend>& backend) {
  if (!backend) return;
  auto& r = registry();
  std::unique_lock lock(r.mutex);
  if (std::find(r.backends.begin(), r.backends.end(), backend) == r.backends.end()) r.backends.push_back(backend);
}

void UnregisterDeviceBackend(const std::shared_ptr<IDeviceBackend>& backend) {
  auto& r = registry();
  std::unique_lock lock(r.mutex);
  r.backends.erase(std::remove(r.backends.begin(), r.backends.end(), backend), r.backends.end());
}

void ClearDeviceBackends() {
  auto& r = registry();
  std::unique_lock lock(r.mutex);
  r.backends.clear();
}

}  // namespace platform

namespace win {

HANDLE CreateFileA(const char* path, DWORD access, DWORD share, void*, DWORD, DWORD, HANDLE) {
  if (path == nullptr || *path == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string p(path);
  for (const auto& backend : platform::snapshot()) {
    if (!backend->Claims(p)) continue;
    std::shared_ptr<platform::IDeviceHandle> dev;
    DWORD err = ERROR_GEN_FAILURE;
    try {
      err = backend->Open(p, access, share, dev);
    } catch (...) {
      err = ERROR_NOACCESS;
    }
    if (err != 0 || !dev) {
      SetLastError(err != 0 ? err : ERROR_GEN_FAILURE);
      return INVALID_HANDLE_VALUE;
    }
    auto& t = platform::handles();
    const std::uintptr_t id = t.next.fetch_add(1);
    {
      std::unique_lock lock(t.mutex);
      t.open.emplace(id, std::move(dev));
    }
    SetLastError(0);
    return reinterpret_cast<HANDLE>(id);
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

BOOL CloseHandle(HANDLE h) {
  std::shared_ptr<platform::IDeviceHandle> dev;
  {
    auto& t = platform::handles();
    std::unique_lock lock(t.mutex);
    auto it = t.open.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == t.open.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    dev = std::move(it->second);
    t.open.erase(it);
  }
  dev.reset();  // the back end's handle closes outside the table lock
  return TRUE;
}

BOOL DeviceIoControl(HANDLE h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                     void*) {
  DWORD got = 0;
  if (returned) *returned = 0;
  auto dev = platform::lookup(h);
  if (!dev) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD err;
  try {
    err = dev->IoControl(code, in, inSize, out, outSize, &got);
  } catch (...) {
    err = ERROR_NOACCESS;
  }
  if (returned) *returned = got;
  SetLastError(err);
  return err == 0 ? TRUE : FALSE;
}

DWORD GetLogicalDrives() {
  DWORD mask = 0;
  for (const auto& backend : platform::snapshot()) mask |= backend->LogicalDrives();
  return mask;
}

UINT GetDriveTypeA(const char* rootPath) {
  if (rootPath == nullptr || !std::isalpha(static_cast<unsigned char>(rootPath[0]))) return DRIVE_NO_ROOT_DIR;
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(rootPath[0])));
  for (const auto& backend : platform::snapshot()) {
    if (backend->LogicalDrives() & (1u << (letter - 'A'))) return backend->DriveType(letter);
  }
  return DRIVE_NO_ROOT_DIR;
}

}  // namespace win
