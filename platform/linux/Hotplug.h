// Disk arrival and removal on a real machine: a udev monitor on block disks that
// raises the platform's disk notifications (platform/DeviceNotify.h) for SCSI
// disks from its own thread.
#pragma once
#include <string>

#include "platform/DeviceNotify.h"

namespace platform {

// Turns one udev event into a notification; false for events that are none
// (other actions, partitions, non-SCSI disks). The device path is the one the
// device listing gives the disk (by its sequence number, the event's DISKSEQ).
bool DiskNotificationFromUevent(const std::string& action, const std::string& sysName, const std::string& devNode,
                                const std::string& diskSeq, DiskNotification& out);

// Starts the process-wide monitor; true when it runs (a second call does
// nothing). False when udev cannot be reached: the program then runs without
// hot-plug and has to refresh its listing itself.
bool StartDiskMonitor();
// Stops it and waits for its thread; not to be called from inside a notification.
void StopDiskMonitor();

}  // namespace platform
