#include "platform/DeviceNotify.h"

#include <map>
#include <mutex>
#include <vector>

namespace platform {
namespace {

struct Registry {
  // Held while callbacks run, so that unregistering waits for a callback in
  // progress on another thread; recursive so that a callback may unregister.
  std::recursive_mutex mutex;
  std::map<int, DiskNotifyCallback> callbacks;
  int next = 1;
};
Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

int RegisterDiskNotification(DiskNotifyCallback callback) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  const int id = r.next++;
  if (callback) r.callbacks.emplace(id, std::move(callback));
  return id;
}

void UnregisterDiskNotification(int id) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.callbacks.erase(id);
}

void RaiseDiskNotification(const DiskNotification& notification) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<int> ids;
  for (const auto& [id, cb] : r.callbacks) ids.push_back(id);
  for (const int id : ids) {
    const auto it = r.callbacks.find(id);  // an earlier callback may have removed it
    if (it == r.callbacks.end()) continue;
    const DiskNotifyCallback cb = it->second;
    try {
      cb(notification);
    } catch (...) {
      // A failing receiver must not stop the others or the notifying thread.
    }
  }
}

}  // namespace platform
