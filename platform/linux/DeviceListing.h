// The real-disk provider of the device-listing library: the SCSI disks behind
// USB bridges (GetDev) or on SATA ports (GetDevSata), each listed with its
// physical port path as node name (udev ID_PATH, the same for whatever disk is
// put on that port) and its device node as path.
#pragma once
#include <string>
#include <vector>

#include "platform/linux/SysCalls.h"

namespace platform {

enum class DiskPort { Usb, Sata };

struct RealDisk {
  std::string name;    // sdb
  std::string node;    // /dev/sdb
  std::string idPath;  // pci-0000:00:14.0-usb-0:2:1.0-scsi-0:0:0:0, pci-0000:00:17.0-ata-3
};

// Which port a disk sits on, from its ID_PATH; false for neither (SAS, NVMe, virtual).
bool PortOfIdPath(const std::string& idPath, DiskPort& port);

// The disks on that kind of port, ordered by node name. Disks carrying the running
// system never appear: a production step must not be able to reach them.
std::vector<RealDisk> SelectDisks(ISysCalls& sys, const std::vector<RealDisk>& all, DiskPort port);

// Writes the device count and the entries into a listing record (the layout of
// platform/RootDevice.h); entries past the count are cleared. At most 128.
void FillRootDevice(unsigned char* record, const std::vector<RealDisk>& disks);

// The whole-disk SCSI block devices udev knows, with their ID_PATH.
std::vector<RealDisk> EnumerateRealDisks();

// One listing: enumerate, select, fill.
void ListRealDisks(unsigned char* record, DiskPort port);

}  // namespace platform
