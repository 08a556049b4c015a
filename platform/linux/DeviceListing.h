// The real-disk provider of the device-listing library: the station's ports,
// each an entry whose node names the port and whose path names the disk in it,
// "NULL" for an empty port. Read from sysfs only.
//
// Which ports: every port of each SATA controller (GetDevSata) or USB hub
// (GetDev) on which a disk the program may take hangs directly, that is a disk
// at SCSI address H:0:0:0 of the ATA port or of the USB device in the hub port
// and not carrying the running system nor the program's folders. A port holding
// a disk that carries either is left out; a port holding anything but a disk (nothing, another
// device, a hub without such a disk) is an empty port.
//
// Node names, in the style of udev's ID_PATH, the same whatever is in the port:
//   SATA  "pci-<controller>-ata-<n>", n the port's number on its controller
//         (port_no of /sys/class/ata_port/ataK, 1 up): "pci-0000:00:1f.2-ata-3"
//   USB   "pci-<controller>-usb-0:<port path>", the port path being the dotted
//         port numbers from the root port down (the USB device name without its
//         bus): "pci-0000:00:14.0-usb-0:2.1" is port 1 of the hub in root port 2
// where <controller> is the nearest PCI device above the port. The two halves of
// a USB 3 hub or controller give one connector one node: a port of a SuperSpeed
// root hub is numbered as its high-speed peer (sysfs "peer" link), so a USB 3 and
// a USB 2 bridge in one bay get the same node, which is listed once, with the
// disk if either half holds one.
//
// Order: by controller, then by port numbers compared as numbers (ata-2 before
// ata-10, 2.9 before 2.10); a listed hub's ports take the place of the port the
// hub hangs on, which is not listed itself (2.2, 2.3.1, 2.3.2, 2.4).
//
// Paths: the disk instance, "/dev/disk/by-diskseq/<n>" (linuxdisk::DiskPath),
// so that a path never opens a disk that arrived after its own left.
#pragma once
#include <string>
#include <vector>

#include "platform/ProgramFolders.h"
#include "platform/linux/SysCalls.h"

namespace platform {

enum class DiskPort { Usb, Sata };

struct PortEntry {
  std::string node;
  std::string path;  // "NULL" for an empty port
};

// The ports of that kind, in order. A disk holding one of the program's folders
// is left out as a system disk is (see linuxdisk::InspectDisk).
std::vector<PortEntry> ListPorts(ISysCalls& sys, DiskPort kind,
                                 const std::vector<std::string>& programFolders = ProgramFolders());

// Writes the entry count and the entries into a listing record (the layout of
// platform/RootDevice.h); entries past the count are cleared. At most 128.
void FillRootDevice(unsigned char* record, const std::vector<PortEntry>& entries);

// One listing of this machine: list, fill.
void ListRealPorts(unsigned char* record, DiskPort kind);

}  // namespace platform
