// What the real-disk back end knows about the machine's disks: their numbering,
// the mounted file systems on them, the volume letters handed out for mounted
// partitions, and whether a disk carries the running system or the program's
// own folders.
//
// Disk numbering: "\\.\PhysicalDriveN" is the SCSI disk the kernel names sdX,
// N being one more than the kernel's own index of that name (sda 1, sdb 2, ...
// sdz 26, sdaa 27, ...). No disk is number 0: the program reads 0 as "no disk"
// (a tester slot without a board), as Windows keeps 0 for its boot disk, so a
// board that the kernel names sda, the first SCSI disk of a PC booting from
// NVMe, is number 1 like any other. The number stays with the disk while it is
// attached, whatever other disks come and go. NVMe, virtio and other non-SCSI
// disks get no number; the program only talks SCSI and ATA pass-through.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/ProgramFolders.h"
#include "platform/WinTypes.h"
#include "platform/linux/SysCalls.h"

namespace platform::linuxdisk {

// The kernel's index: "sda" -> 0, "sdz" -> 25, "sdaa" -> 26; -1 for anything else.
int DiskIndexFromName(const std::string& name);
// The disk's number: "sda" -> 1, "sdaa" -> 27; -1 for anything else.
int DiskNumberFromName(const std::string& name);
// The inverse; empty for a number below 1.
std::string DiskNameFromNumber(int number);
// The highest number of the SCSI disks attached now; -1 none.
int HighestDiskNumber(ISysCalls& sys);
// "sdb12" -> disk "sdb", partition 12; "sdb" -> partition 0. False when the
// name is no SCSI disk or partition.
bool SplitSdName(const std::string& name, std::string& disk, int& partition);

struct Mount {
  std::string device;  // kernel block name (sdb1, dm-0), empty when not a block device
  std::string mountPoint;
};
std::vector<Mount> ReadMounts(ISysCalls& sys);
// Kernel names of the block devices in use as swap.
std::vector<std::string> ReadSwapDevices(ISysCalls& sys);
// The SCSI disks beneath a block device: itself or its disk when it is a SCSI
// partition, else whatever its slaves (device mapper, md) rest on.
void DisksUnder(ISysCalls& sys, const std::string& blockName, std::set<std::string>& disks);
// "/" and the folders the running system lives in.
bool IsSystemMountPoint(const std::string& mountPoint);

struct DiskUse {
  // Non-empty when the disk is the system's or the program's: the mount point of
  // the system file system it holds, or of the file system holding one of the
  // program's folders, or "swap".
  std::string systemUse;
  std::vector<std::string> mountPoints;  // mounted partitions of this disk (direct mounts)
  bool held = false;                     // a partition or the disk is used by dm/md or mounted through them
};
// programFolders: resolved native paths (platform::ProgramFolders); each is on
// the mounted file system whose mount point is the longest one above it.
DiskUse InspectDisk(ISysCalls& sys, const std::string& disk,
                    const std::vector<std::string>& programFolders = ProgramFolders());

// Most data the program moves with one command (2 MiB).
constexpr std::uint32_t kWantedTransferBytes = 2u << 20;

// The most data one SG_IO request to the disk may carry, in bytes, from its
// queue in sysfs: the smaller of max_sectors_kb and max_hw_sectors_kb (SG_IO
// refuses more than max_hw_sectors_kb with EIO), and no more than max_segments
// pages of 4 KiB (a buffer whose every page is a segment of its own; more
// segments are refused with EINVAL). 0 when sysfs gives neither size.
std::uint32_t TransferLimit(ISysCalls& sys, const std::string& disk);

// On a usb-storage disk (the one driver with a device/max_sectors attribute),
// raises that attribute (which sets max_hw_sectors_kb) and then the queue's
// max_sectors_kb towards kWantedTransferBytes, as far as the kernel allows.
// Never lowers either; does nothing on other disks or without the permission.
void RaiseUsbTransferLimit(ISysCalls& sys, const std::string& disk);

// The path that names one disk instance for as long as the system runs:
// "/dev/disk/by-diskseq/<n>", n the kernel's sequence number of the disk
// (/sys/block/<name>/diskseq, Linux 5.15 on), which no other disk is ever given
// (udev makes the same link). "/dev/<name>" on a kernel without sequence numbers.
std::string DiskPath(ISysCalls& sys, const std::string& disk);
std::string DiskSeqPath(std::uint64_t seq);
// The sequence number a "/dev/disk/by-diskseq/<n>" path names; false for other paths.
bool ParseDiskSeqPath(const std::string& path, std::uint64_t& seq);
// A sequence number in decimal (udev's DISKSEQ); false for anything else.
bool ParseDiskSeq(const std::string& digits, std::uint64_t& seq);
// The kernel name of the disk with that sequence number now; empty when it is gone.
std::string DiskOfSeq(ISysCalls& sys, std::uint64_t seq);
// The sequence number of the disk with that kernel name now; 0 when none is known.
std::uint64_t SeqOfDisk(ISysCalls& sys, const std::string& disk);

// Volume letters, D: upward, for the mounted SCSI disks and partitions. A volume
// keeps its letter for as long as it stays mounted.
class VolumeLetters {
 public:
  struct Volume {
    std::string device;  // sdb1 (or sdb for a file system on the whole disk)
    std::string disk;    // sdb
    int partition = 0;
  };
  // Re-reads the mounts; drops letters of volumes gone, gives new ones the lowest free letter.
  void Refresh(ISysCalls& sys);
  win::DWORD Mask() const;
  bool Find(char letter, Volume& volume) const;

 private:
  mutable std::mutex mutex_;
  std::map<char, Volume> byLetter_;
};

}  // namespace platform::linuxdisk
