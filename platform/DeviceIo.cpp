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

thread_local std::string t_busyMountPoint;

// Back ends change rarely (start-up, tests); every open reads the list. Each
// thread keeps its own copy and refreshes it when the version moves, so opens
// on many threads never meet on a lock.
struct Registry {
  std::shared_mutex mutex;
  std::vector<std::shared_ptr<IDeviceBackend>> backends;
  std::atomic<std::uint64_t> version{1};
};
Registry& registry() {
  static Registry r;
  return r;
}

// Open handles, split over shards so that threads opening and closing their own
// devices do not contend. Each thread takes handle values in blocks; a block
// maps to one shard. Values start well above 0 and never reach -1.
constexpr std::size_t kShards = 64;
constexpr std::uintptr_t kBlock = 4096;
struct alignas(64) HandleShard {
  std::shared_mutex mutex;
  std::unordered_map<std::uintptr_t, std::shared_ptr<IDeviceHandle>> open;
};
struct HandleTable {
  HandleShard shards[kShards];
  std::atomic<std::uintptr_t> nextBlock{1};
};
HandleTable& handles() {
  static HandleTable t;
  return t;
}
HandleShard& shardOf(std::uintptr_t id) { return handles().shards[(id / kBlock) % kShards]; }

std::uintptr_t newHandleId() {
  thread_local std::uintptr_t next = 0, end = 0;
  if (next == end) {
    next = handles().nextBlock.fetch_add(1) * kBlock;
    end = next + kBlock;
  }
  return next++;
}

using BackendList = std::vector<std::shared_ptr<IDeviceBackend>>;

// The calling thread's copy of the list. The copy and its control block belong
// to this thread alone, so holding it costs no shared cache line; holding it
// also keeps the list intact should a back end register another mid-call.
std::shared_ptr<const BackendList> snapshot() {
  thread_local std::uint64_t seen = 0;
  thread_local std::shared_ptr<const BackendList> copy;
  auto& r = registry();
  const std::uint64_t now = r.version.load(std::memory_order_acquire);
  if (seen != now || !copy) {
    std::shared_lock lock(r.mutex);
    copy = std::make_shared<const BackendList>(r.backends);
    seen = r.version.load(std::memory_order_relaxed);
  }
  return copy;
}

// Back-end queries outside a request: a back end that throws answers "no".
bool claims(const std::shared_ptr<IDeviceBackend>& b, const std::string& path) {
  try {
    return b->Claims(path);
  } catch (...) {
    return false;
  }
}
win::DWORD logicalDrives(const std::shared_ptr<IDeviceBackend>& b) {
  try {
    return b->LogicalDrives();
  } catch (...) {
    return 0;
  }
}

std::shared_ptr<IDeviceHandle> lookup(win::HANDLE h) {
  const auto id = reinterpret_cast<std::uintptr_t>(h);
  auto& shard = shardOf(id);
  std::shared_lock lock(shard.mutex);
  auto it = shard.open.find(id);
  return it == shard.open.end() ? nullptr : it->second;
}

}  // namespace

void RegisterDeviceBackend(const std::shared_ptr<IDeviceBackend>& backend) {
  if (!backend) return;
  auto& r = registry();
  std::unique_lock lock(r.mutex);
  if (std::find(r.backends.begin(), r.backends.end(), backend) == r.backends.end()) r.backends.push_back(backend);
  r.version.fetch_add(1, std::memory_order_release);
}

void UnregisterDeviceBackend(const std::shared_ptr<IDeviceBackend>& backend) {
  auto& r = registry();
  std::unique_lock lock(r.mutex);
  r.backends.erase(std::remove(r.backends.begin(), r.backends.end(), backend), r.backends.end());
  r.version.fetch_add(1, std::memory_order_release);
}

void ClearDeviceBackends() {
  auto& r = registry();
  std::unique_lock lock(r.mutex);
  r.backends.clear();
  r.version.fetch_add(1, std::memory_order_release);
}

std::unique_ptr<IDeviceHold> HoldDevice(const std::string& path) {
  win::SetLastError(0);
  const auto backends = snapshot();
  for (const auto& backend : *backends) {
    if (!claims(backend, path)) continue;
    try {
      return backend->Hold(path);
    } catch (...) {
      return nullptr;
    }
  }
  return nullptr;
}

int HighestPhysicalDrive() {
  int highest = -1;
  for (const auto& backend : *snapshot()) highest = std::max(highest, backend->HighestPhysicalDrive());
  return highest;
}

std::string LastBusyMountPoint() { return t_busyMountPoint; }
void SetBusyMountPoint(const std::string& mountPoint) { t_busyMountPoint = mountPoint; }

}  // namespace platform

namespace win {

HANDLE CreateFileA(const char* path, DWORD access, DWORD share, void*, DWORD, DWORD, HANDLE) {
  if (path == nullptr || *path == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string p(path);
  const auto backends = platform::snapshot();
  for (const auto& backend : *backends) {
    if (!platform::claims(backend, p)) continue;
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
    const std::uintptr_t id = platform::newHandleId();
    {
      auto& shard = platform::shardOf(id);
      std::unique_lock lock(shard.mutex);
      shard.open.emplace(id, std::move(dev));
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
    const auto id = reinterpret_cast<std::uintptr_t>(h);
    auto& shard = platform::shardOf(id);
    std::unique_lock lock(shard.mutex);
    auto it = shard.open.find(id);
    if (it == shard.open.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    dev = std::move(it->second);
    shard.open.erase(it);
  }
  dev.reset();  // the back end's handle closes outside the table lock
  return TRUE;
}

BOOL DeviceIoControl(HANDLE h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                     void*) {
  DWORD got = 0;
  if (returned) *returned = 0;
  // Back ends name a mount point only along with ERROR_BUSY.
  platform::SetBusyMountPoint({});
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
  const auto backends = platform::snapshot();
  for (const auto& backend : *backends) mask |= platform::logicalDrives(backend);
  return mask;
}

UINT GetDriveTypeA(const char* rootPath) {
  if (rootPath == nullptr || !std::isalpha(static_cast<unsigned char>(rootPath[0]))) return DRIVE_NO_ROOT_DIR;
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(rootPath[0])));
  const auto backends = platform::snapshot();
  for (const auto& backend : *backends) {
    if (!(platform::logicalDrives(backend) & (1u << (letter - 'A')))) continue;
    try {
      return backend->DriveType(letter);
    } catch (...) {
      return DRIVE_UNKNOWN;
    }
  }
  return DRIVE_NO_ROOT_DIR;
}

}  // namespace win
