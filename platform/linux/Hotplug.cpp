#include "platform/linux/Hotplug.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/linux/Disks.h"

namespace platform {

bool DiskNotificationFromUevent(const std::string& action, const std::string& sysName, const std::string& devNode,
                                const std::string& diskSeq, DiskNotification& out) {
  if (linuxdisk::DiskIndexFromName(sysName) < 0) return false;
  if (action == "add") {
    out.change = DiskChange::Arrival;
  } else if (action == "remove") {
    out.change = DiskChange::Removal;
  } else {
    return false;
  }
  std::uint64_t seq = 0;
  if (linuxdisk::ParseDiskSeq(diskSeq, seq)) {
    out.devicePath = linuxdisk::DiskSeqPath(seq);
  } else {
    out.devicePath = devNode.empty() ? "/dev/" + sysName : devNode;
  }
  return true;
}

namespace {

const char* orEmpty(const char* s) { return s ? s : ""; }

class Monitor {
 public:
  bool Start() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) return true;
    udev_ = udev_new();
    if (!udev_) return false;
    mon_ = udev_monitor_new_from_netlink(udev_, "udev");
    stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!mon_ || stop_ < 0 || udev_monitor_filter_add_match_subsystem_devtype(mon_, "block", "disk") < 0 ||
        udev_monitor_enable_receiving(mon_) < 0) {
      release();
      return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
  }

  void Stop() {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) return;
    const std::uint64_t one = 1;
    if (write(stop_, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
      // The eventfd cannot be full after one write; nothing else to do.
    }
    thread_.join();
    release();
  }

  ~Monitor() { Stop(); }

 private:
  void run() {
    pollfd fds[2] = {{udev_monitor_get_fd(mon_), POLLIN, 0}, {stop_, POLLIN, 0}};
    for (;;) {
      const int n = poll(fds, 2, -1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || (fds[1].revents & POLLIN)) return;
      if (!(fds[0].revents & POLLIN)) continue;
      udev_device* dev = udev_monitor_receive_device(mon_);
      if (!dev) continue;
      DiskNotification note;
      const bool wanted =
          DiskNotificationFromUevent(orEmpty(udev_device_get_action(dev)), orEmpty(udev_device_get_sysname(dev)),
                                     orEmpty(udev_device_get_devnode(dev)),
                                     orEmpty(udev_device_get_property_value(dev, "DISKSEQ")), note);
      udev_device_unref(dev);
      if (wanted) RaiseDiskNotification(note);
    }
  }

  void release() {
    if (mon_) udev_monitor_unref(mon_);
    if (udev_) udev_unref(udev_);
    if (stop_ >= 0) close(stop_);
    mon_ = nullptr;
    udev_ = nullptr;
    stop_ = -1;
  }

  std::mutex mutex_;
  std::thread thread_;
  udev* udev_ = nullptr;
  udev_monitor* mon_ = nullptr;
  int stop_ = -1;
};

Monitor& monitor() {
  static Monitor m;
  return m;
}

}  // namespace

bool StartDiskMonitor() { return monitor().Start(); }
void StopDiskMonitor() { monitor().Stop(); }

}  // namespace platform
