// Disk arrival and removal notifications: the stand-in for registering a window
// for the disk interface class. The real-disk back end raises them from a udev
// monitor; the emulator raises them for its drives. Callbacks run on the thread
// that raises the notification (never the window thread): a window forwards the
// call to its own thread.
#pragma once
#include <functional>
#include <string>

namespace platform {

enum class DiskChange { Arrival, Removal };

struct DiskNotification {
  DiskChange change = DiskChange::Arrival;
  std::string devicePath;  // the path a device listing gives for the disk ("/dev/disk/by-diskseq/7")
};

using DiskNotifyCallback = std::function<void(const DiskNotification&)>;

// Returns a non-zero registration id.
int RegisterDiskNotification(DiskNotifyCallback callback);
// After this returns the callback is neither running (on another thread) nor
// called again. May be called from inside a callback.
void UnregisterDiskNotification(int id);
// Calls every registered callback, in registration order.
void RaiseDiskNotification(const DiskNotification& notification);

}  // namespace platform
