// The device I/O back end for real disks on Linux: SCSI and ATA pass-through
// over SG_IO, and the volume and disk controls mapped to Linux means.
//
// Paths it answers for:
//   "\\.\PhysicalDriveN"  the SCSI disk numbered N, sda being 1 (see Disks.h)
//   "\\.\X:"              a mounted partition that holds volume letter X
//   "/dev/disk/by-diskseq/N"  the disk instance with sequence number N, as the
//                         device listing gives them: every open of the handle
//                         checks the number on the opened descriptor, so a disk
//                         gone fails as a missing one (2), whichever disk has
//                         since taken its kernel name
//   "/dev/..."            any other disk or partition node (sdX, sdXN, sgN, or
//                         a udev link to one)
// A handle keeps to the disk instance it opened, whatever path named it: the
// controls that open the disk again (lock, delete layout, geometry through a
// partition or sg node) fail as a missing disk (2) once another has its name.
//
// Each open learns the disk's transfer limit (see linuxdisk::TransferLimit),
// raising a usb-storage disk's first; pass-through requests above it are split
// or refused as SgIo.h says.
//
// Controls:
//   lock      an exclusive claim (O_EXCL) on the handle's disk, held until
//             unlock or close; on a volume handle the disk's mounted partitions
//             are unmounted first (the lock and dismount take a volume off line
//             on Windows), on other handles it is refused (5) while anything on
//             the disk is mounted
//   dismount  on a volume handle, unmounts the mounted partitions of its disk;
//             on disk and node handles it is accepted and does nothing (the
//             send path asks for it after every command)
//   delete layout  zeroes the partition-table areas (first and last 34 sectors:
//             MBR, both GPT headers and tables) of the handle's disk and has
//             the kernel re-read it; on a volume handle after unmounting as the
//             lock does
// Lock, dismount and delete layout refuse a disk that holds the running system
// ("/", /boot, /usr, /var, ... or swap) or the program's folders
// (ProgramFolders.h) with ERROR_ACCESS_DENIED. A file system
// that will not unmount (files open on it) fails them with ERROR_BUSY, its
// mount point named through LastBusyMountPoint (platform/DeviceIo.h); delete
// layout on a disk handle refuses a mounted or otherwise held partition with
// ERROR_BUSY. Each refusal is also written to the debug output (platform/Debug.h).
//
// Hold (a port's job): flock(LOCK_EX) on the whole disk's node, on a read-only
// descriptor kept for the job, so that udev and udisks put their probes off
// until it ends (systemd's block-device locking); the job's own descriptors
// take no lock, so its commands, claim and writes go on as before. A lock that
// another program keeps beyond five seconds refuses the hold
// (ERROR_SHARING_VIOLATION): the job must not run beside that program.
// While the hold lasts, every read-only open of that disk instance's whole-disk
// node (by number, listing path or volume letter) takes the hold's descriptor
// instead of opening the node again: on a disk that reports removable media each
// open makes the kernel check the medium (TEST UNIT READY), which would land in
// the middle of the job's command sequence. The disk is told by its device
// number and sequence number, never by its name. The exclusive claim (lock,
// delete layout) still opens a descriptor of its own.
#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/DeviceIo.h"
#include "platform/linux/Disks.h"
#include "platform/linux/SysCalls.h"

namespace platform {

namespace linuxdisk {
// An open descriptor of a disk node, closed when its last user lets it go.
struct Descriptor;
}  // namespace linuxdisk

class LinuxDiskBackend final : public IDeviceBackend {
 public:
  explicit LinuxDiskBackend(ISysCalls& sys = RealSysCalls());
  bool Claims(const std::string& path) const override;
  win::DWORD Open(const std::string& path, win::DWORD access, win::DWORD share,
                  std::shared_ptr<IDeviceHandle>& handle) override;
  win::DWORD LogicalDrives() const override;
  win::UINT DriveType(char letter) const override;
  int HighestPhysicalDrive() const override;
  // A flock(LOCK_EX) on the whole disk the path names, on a read-only
  // descriptor of its own (see the file comment).
  std::unique_ptr<IDeviceHold> Hold(const std::string& path) override;

 private:
  // The hold's descriptor of the disk now named `disk`, when that disk is held.
  std::shared_ptr<linuxdisk::Descriptor> heldDescriptor(const std::string& disk, std::uint64_t seq);

  ISysCalls& sys_;
  const bool rawIo_;
  mutable linuxdisk::VolumeLetters letters_;
  std::mutex heldMutex_;
  // Held disks by identity ("major:minor seq").
  std::map<std::string, std::weak_ptr<linuxdisk::Descriptor>> held_;
};

// Registers the real-disk back end (once; later calls do nothing) and runs the
// raw-I/O capability check. The program calls this when no emulated site is
// configured.
void RegisterLinuxDiskBackend();

// True when the process may send vendor CDBs and ATA pass-through (CAP_SYS_RAWIO
// in its effective set, read from /proc/self/status).
bool HasRawIoCapability(ISysCalls& sys);
// Without the capability, says so on standard error, once per process; returns
// whether the capability is there.
bool CheckRawIoCapability(ISysCalls& sys = RealSysCalls());
// The text of that warning.
extern const char* const kNoRawIoMessage;

}  // namespace platform
