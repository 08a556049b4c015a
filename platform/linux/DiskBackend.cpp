#include "platform/linux/DiskBackend.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/ErrorText.h"
#include "platform/linux/SgIo.h"

#ifndef BLKGETDISKSEQ
#define BLKGETDISKSEQ _IOR(0x12, 128, __u64)
#endif

namespace platform {

namespace linuxdisk {
struct Descriptor {
  Descriptor(ISysCalls& sys, int fd) : sys(sys), fd(fd) {}
  ~Descriptor() { sys.Close(fd); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ISysCalls& sys;
  const int fd;
  std::atomic<bool> held{false};  // a job's hold keeps it; opens of its disk may take it
};
}  // namespace linuxdisk

namespace {

using linuxdisk::Descriptor;
using linuxdisk::DiskIndexFromName;
using linuxdisk::SplitSdName;

constexpr win::DWORD kErrorNotLocked = 158;     // ERROR_NOT_LOCKED
constexpr win::DWORD kFileDeviceDisk = 7;       // FILE_DEVICE_DISK
constexpr win::DWORD kFixedMedia = 12;          // MEDIA_TYPE FixedMedia
constexpr std::uint64_t kLayoutSectors = 34;    // MBR + GPT header + 32 sectors of entries
constexpr int kCapSysRawio = 17;
// A job's hold waits this long for a probe that holds the disk to end.
constexpr int kHoldTries = 50;
constexpr std::uint64_t kHoldRetryMs = 100;

bool startsWithNoCase(const std::string& s, const char* prefix) {
  const std::size_t n = std::strlen(prefix);
  if (s.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(s[i])) != std::tolower(static_cast<unsigned char>(prefix[i]))) return false;
  }
  return true;
}

bool parsePhysicalDrive(const std::string& path, int& index) {
  static const char kPrefix[] = "\\\\.\\PhysicalDrive";
  if (!startsWithNoCase(path, kPrefix)) return false;
  const std::string digits = path.substr(sizeof kPrefix - 1);
  if (digits.empty() || digits.size() > 6) return false;
  for (const char c : digits) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  index = std::stoi(digits);
  return true;
}

bool parseVolume(const std::string& path, char& letter) {
  if (path.size() != 6 || path.compare(0, 4, "\\\\.\\") != 0 || path[5] != ':') return false;
  if (!std::isalpha(static_cast<unsigned char>(path[4]))) return false;
  letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[4])));
  return true;
}

std::string baseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isSgName(const std::string& name) {
  if (name.size() < 3 || name.compare(0, 2, "sg") != 0) return false;
  return std::all_of(name.begin() + 2, name.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// What an opened path stands for.
struct Target {
  std::string node;       // the node the handle's descriptor is open on
  std::string disk;       // the whole disk (sdb); empty for an sg node without one
  int partition = 0;      // partition of the node, 0 for a whole disk
  bool volume = false;    // opened by volume letter
  bool nodeIsDisk = false;
  std::uint64_t seq = 0;  // the disk instance the path named, 0 when it named none
};

// Opens the disk node and makes sure it is still the disk instance wanted: a
// kernel name is given again to whichever disk arrives after this one left.
int openDisk(ISysCalls& sys, const std::string& node, std::uint64_t seq, int flags) {
  const int fd = sys.Open(node, flags);
  if (fd < 0 || seq == 0) return fd;
  std::uint64_t got = 0;
  if (sys.Ioctl(fd, BLKGETDISKSEQ, &got) >= 0 && got == seq) return fd;
  sys.Close(fd);
  return -ENOENT;
}

template <class Block>
Block* requestBlock(void* in, win::DWORD inSize, void* out, win::DWORD outSize) {
  if (in == nullptr || inSize < sizeof(Block)) return nullptr;
  if (out != nullptr && out != in) {
    if (outSize < sizeof(Block)) return nullptr;
    std::memmove(out, in, sizeof(Block));
    return static_cast<Block*>(out);
  }
  return static_cast<Block*>(in);
}

// Beside the command trace, where a failed step's log is looked for.
void refuse(const char* control, const std::string& disk, const std::string& why) {
  DebugOutput(std::string(control) + " refused on /dev/" + disk + ": " + why);
}

class LinuxDiskHandle final : public IDeviceHandle {
 public:
  LinuxDiskHandle(ISysCalls& sys, std::shared_ptr<Descriptor> descriptor, Target target, std::uint32_t limit)
      : sys_(sys), descriptor_(std::move(descriptor)), fd_(descriptor_->fd), t_(std::move(target)), limit_(limit) {}
  ~LinuxDiskHandle() override {
    std::lock_guard lock(mutex_);
    if (claimFd_ >= 0) sys_.Close(claimFd_);
  }

  win::DWORD IoControl(win::DWORD code, void* in, win::DWORD inSize, void* out, win::DWORD outSize,
                       win::DWORD* returned) override {
    *returned = 0;
    switch (code) {
      case win::IOCTL_SCSI_PASS_THROUGH_DIRECT: {
        auto* blk = requestBlock<win::ScsiPassThroughDirectBlock>(in, inSize, out, outSize);
        if (!blk) return win::ERROR_INVALID_PARAMETER;
        const win::DWORD err = sgio::ScsiPassThroughDirect(sys_, fd_, *blk, limit_);
        if (err == 0) *returned = sizeof *blk;
        return err;
      }
      case win::IOCTL_SCSI_PASS_THROUGH: {
        auto* blk = requestBlock<win::ScsiPassThroughBlock>(in, inSize, out, outSize);
        if (!blk) return win::ERROR_INVALID_PARAMETER;
        const win::DWORD err = sgio::ScsiPassThroughBuffered(sys_, fd_, *blk, limit_);
        if (err == 0) *returned = sizeof *blk;
        return err;
      }
      case win::IOCTL_ATA_PASS_THROUGH_DIRECT: {
        auto* apt = requestBlock<win::ATA_PASS_THROUGH_DIRECT>(in, inSize, out, outSize);
        if (!apt) return win::ERROR_INVALID_PARAMETER;
        const win::DWORD err = sgio::AtaPassThrough(sys_, fd_, *apt, limit_);
        if (err == 0) *returned = sizeof *apt;
        return err;
      }
      case win::FSCTL_LOCK_VOLUME:
        return lock();
      case win::FSCTL_UNLOCK_VOLUME:
        return unlock();
      case win::FSCTL_DISMOUNT_VOLUME:
        return t_.volume ? takeOffline("dismount") : 0;
      case win::IOCTL_STORAGE_GET_DEVICE_NUMBER:
        return deviceNumber(out, outSize, returned);
      case win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
        return geometry(out, outSize, returned);
      case win::IOCTL_DISK_DELETE_DRIVE_LAYOUT:
        return deleteLayout();
      default:
        return win::ERROR_INVALID_FUNCTION;
    }
  }

 private:
  std::string diskNode() const { return "/dev/" + t_.disk; }

  win::DWORD lock() {
    if (t_.disk.empty()) return win::ERROR_INVALID_FUNCTION;
    std::lock_guard lock(mutex_);
    if (claimFd_ >= 0) return 0;
    if (t_.volume) {
      if (const win::DWORD err = takeOffline("lock")) return err;
    }
    const int fd = openDisk(sys_, diskNode(), t_.seq, O_RDWR | O_EXCL | O_NONBLOCK);
    // The kernel refuses the claim while a partition is mounted or claimed.
    if (fd == -EBUSY) return win::ERROR_ACCESS_DENIED;
    if (fd < 0) return DeviceErrorFromErrno(-fd);
    claimFd_ = fd;
    return 0;
  }

  win::DWORD unlock() {
    std::lock_guard lock(mutex_);
    if (claimFd_ < 0) return kErrorNotLocked;
    sys_.Close(claimFd_);
    claimFd_ = -1;
    return 0;
  }

  // ERROR_ACCESS_DENIED when the disk carries the running system.
  win::DWORD guardSystem(const char* control, linuxdisk::DiskUse& use) {
    use = linuxdisk::InspectDisk(sys_, t_.disk);
    if (use.systemUse.empty()) return 0;
    refuse(control, t_.disk, "the disk holds the system (" + use.systemUse + ")");
    return win::ERROR_ACCESS_DENIED;
  }

  // Unmounts the disk's mounted partitions, deepest first so that a file system
  // mounted inside another goes before it. One that will not go (files open on
  // it) fails with ERROR_BUSY and its mount point named.
  win::DWORD unmountAll(const char* control, std::vector<std::string> mountPoints) {
    std::sort(mountPoints.begin(), mountPoints.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const auto& mp : mountPoints) {
      const int rc = sys_.Umount(mp);
      if (rc == -EBUSY) {
        refuse(control, t_.disk, "files are open on " + mp);
        SetBusyMountPoint(mp);
        return win::ERROR_BUSY;
      }
      if (rc < 0 && rc != -EINVAL) return DeviceErrorFromErrno(-rc);  // EINVAL: already gone
    }
    return 0;
  }

  // A volume's dismount, and its lock and layout deletion first, as the lock
  // and dismount do on Windows: nothing is written under a mount.
  win::DWORD takeOffline(const char* control) {
    linuxdisk::DiskUse use;
    if (const win::DWORD err = guardSystem(control, use)) return err;
    return unmountAll(control, use.mountPoints);
  }

  win::DWORD deviceNumber(void* out, win::DWORD outSize, win::DWORD* returned) {
    if (t_.disk.empty()) return win::ERROR_INVALID_FUNCTION;
    if (out == nullptr || outSize < sizeof(win::STORAGE_DEVICE_NUMBER)) return win::ERROR_INSUFFICIENT_BUFFER;
    auto* n = static_cast<win::STORAGE_DEVICE_NUMBER*>(out);
    n->DeviceType = kFileDeviceDisk;
    n->DeviceNumber = static_cast<win::DWORD>(linuxdisk::DiskNumberFromName(t_.disk));
    n->PartitionNumber = static_cast<win::DWORD>(t_.partition);
    *returned = sizeof *n;
    return 0;
  }

  // Runs fn on a descriptor of the whole disk: the handle's own when it is open
  // on the disk, else a short-lived one.
  template <class Fn>
  win::DWORD onDisk(Fn fn) {
    if (t_.disk.empty()) return win::ERROR_INVALID_FUNCTION;
    if (t_.nodeIsDisk) return fn(fd_);
    const int fd = openDisk(sys_, diskNode(), t_.seq, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return DeviceErrorFromErrno(-fd);
    const win::DWORD err = fn(fd);
    sys_.Close(fd);
    return err;
  }

  win::DWORD sizes(int fd, std::uint64_t& bytes, std::uint32_t& sector) {
    int ss = 0;
    int rc = sys_.Ioctl(fd, BLKSSZGET, &ss);
    if (rc < 0) return DeviceErrorFromErrno(-rc);
    rc = sys_.Ioctl(fd, BLKGETSIZE64, &bytes);
    if (rc < 0) return DeviceErrorFromErrno(-rc);
    if (ss < 512 || ss > 65536 || (ss & (ss - 1)) != 0) return win::ERROR_GEN_FAILURE;
    sector = static_cast<std::uint32_t>(ss);
    return 0;
  }

  win::DWORD geometry(void* out, win::DWORD outSize, win::DWORD* returned) {
    if (out == nullptr || outSize < sizeof(win::DISK_GEOMETRY_EX)) return win::ERROR_INSUFFICIENT_BUFFER;
    return onDisk([&](int fd) -> win::DWORD {
      std::uint64_t bytes = 0;
      std::uint32_t sector = 0;
      if (const win::DWORD err = sizes(fd, bytes, sector)) return err;
      auto* g = static_cast<win::DISK_GEOMETRY_EX*>(out);
      *g = win::DISK_GEOMETRY_EX{};
      // The usual made-up CHS of a large disk: 255 heads, 63 sectors per track.
      g->Geometry.MediaType = kFixedMedia;
      g->Geometry.TracksPerCylinder = 255;
      g->Geometry.SectorsPerTrack = 63;
      g->Geometry.BytesPerSector = sector;
      g->Geometry.Cylinders = static_cast<std::int64_t>(bytes / (255ull * 63ull * sector));
      g->DiskSize = static_cast<std::int64_t>(bytes);
      *returned = sizeof *g;
      return 0;
    });
  }

  win::DWORD zero(int fd, std::uint64_t from, std::uint64_t to) {
    static const std::vector<unsigned char> zeros(64 * 1024, 0);
    while (from < to) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(to - from, zeros.size()));
      const long w = sys_.PWrite(fd, zeros.data(), n, from);
      if (w < 0) return DeviceErrorFromErrno(static_cast<int>(-w));
      if (w == 0) return win::ERROR_IO_DEVICE;
      from += static_cast<std::uint64_t>(w);
    }
    return 0;
  }

  win::DWORD deleteLayout() {
    if (t_.disk.empty() || (!t_.volume && t_.partition != 0)) return win::ERROR_INVALID_FUNCTION;
    if (t_.volume) {
      if (const win::DWORD err = takeOffline("delete layout")) return err;
    }
    linuxdisk::DiskUse use;
    if (const win::DWORD err = guardSystem("delete layout", use)) return err;
    if (!use.mountPoints.empty() || use.held) {
      refuse("delete layout", t_.disk,
             use.mountPoints.empty() ? "a partition is in use" : "a partition is mounted at " + use.mountPoints[0]);
      return win::ERROR_BUSY;
    }
    std::lock_guard lock(mutex_);
    int fd = claimFd_;
    const bool own = fd < 0;
    if (own) {
      fd = openDisk(sys_, diskNode(), t_.seq, O_RDWR | O_EXCL | O_NONBLOCK);
      if (fd == -EBUSY) return win::ERROR_ACCESS_DENIED;
      if (fd < 0) return DeviceErrorFromErrno(-fd);
    }
    win::DWORD err = 0;
    std::uint64_t bytes = 0;
    std::uint32_t sector = 0;
    err = sizes(fd, bytes, sector);
    if (err == 0) {
      const std::uint64_t area = kLayoutSectors * sector;
      const std::uint64_t headEnd = std::min(area, bytes);
      const std::uint64_t tailStart = std::max(headEnd, bytes > area ? bytes - area : 0);
      err = zero(fd, 0, headEnd);
      if (err == 0) err = zero(fd, tailStart, bytes);
      if (err == 0) {
        const int rc = sys_.Fsync(fd);
        if (rc < 0) err = DeviceErrorFromErrno(-rc);
      }
      if (err == 0) {
        const int rc = sys_.Ioctl(fd, BLKRRPART, nullptr);
        if (rc < 0) err = DeviceErrorFromErrno(-rc);
      }
    }
    if (own) sys_.Close(fd);
    return err;
  }

  ISysCalls& sys_;
  const std::shared_ptr<Descriptor> descriptor_;  // its own, or a hold's
  const int fd_;
  const Target t_;
  const std::uint32_t limit_;  // most data per SG_IO request, 0 when not known
  std::mutex mutex_;
  int claimFd_ = -1;
};

}  // namespace

LinuxDiskBackend::LinuxDiskBackend(ISysCalls& sys) : sys_(sys), rawIo_(HasRawIoCapability(sys)) {}

bool LinuxDiskBackend::Claims(const std::string& path) const {
  int index = 0;
  char letter = 0;
  return parsePhysicalDrive(path, index) || parseVolume(path, letter) || path.rfind("/dev/", 0) == 0;
}

namespace {

// The node and disk a path names; 0 or ERROR_FILE_NOT_FOUND.
win::DWORD resolve(ISysCalls& sys, linuxdisk::VolumeLetters& letters, const std::string& path, Target& t) {
  int index = 0;
  char letter = 0;
  if (parsePhysicalDrive(path, index)) {
    t.disk = linuxdisk::DiskNameFromNumber(index);  // none for 0
    t.node = "/dev/" + t.disk;
  } else if (parseVolume(path, letter)) {
    letters.Refresh(sys);
    linuxdisk::VolumeLetters::Volume v;
    if (!letters.Find(letter, v)) return win::ERROR_FILE_NOT_FOUND;
    // The descriptor goes on the whole disk: an open partition would keep the
    // kernel from re-reading the table after a layout deletion.
    t.disk = v.disk;
    t.node = "/dev/" + v.disk;
    t.partition = v.partition;
    t.volume = true;
  } else if (linuxdisk::ParseDiskSeqPath(path, t.seq)) {
    t.disk = linuxdisk::DiskOfSeq(sys, t.seq);
    if (t.disk.empty()) return win::ERROR_FILE_NOT_FOUND;
    t.node = "/dev/" + t.disk;
  } else if (path.rfind("/dev/", 0) == 0) {
    std::string resolved;
    if (!sys.RealPath(path, resolved)) return win::ERROR_FILE_NOT_FOUND;
    const std::string name = baseName(resolved);
    if (isSgName(name)) {
      std::vector<std::string> blocks;
      if (sys.ListDir("/sys/class/scsi_generic/" + name + "/device/block", blocks) && blocks.size() == 1 &&
          DiskIndexFromName(blocks[0]) >= 0) {
        t.disk = blocks[0];
      }
    } else if (!SplitSdName(name, t.disk, t.partition)) {
      return win::ERROR_FILE_NOT_FOUND;
    }
    t.node = resolved;
  } else {
    return win::ERROR_FILE_NOT_FOUND;
  }
  if (t.disk.empty() && !isSgName(baseName(t.node))) return win::ERROR_FILE_NOT_FOUND;
  t.nodeIsDisk = !t.disk.empty() && t.node == "/dev/" + t.disk;
  return 0;
}

// The lock udev asks for before it probes a disk (udisks learns of a disk
// through that probe), kept on a read-only descriptor of its own: closing it
// raises no "change" event, and the job's other descriptors (commands, the
// O_EXCL claim) are no part of it.
class DiskHold final : public IDeviceHold {
 public:
  explicit DiskHold(std::shared_ptr<Descriptor> descriptor) : descriptor_(std::move(descriptor)) {}
  // A handle may keep the descriptor open a while longer: the lock goes now.
  ~DiskHold() override {
    descriptor_->held = false;
    descriptor_->sys.Flock(descriptor_->fd, LOCK_UN);
  }

 private:
  const std::shared_ptr<Descriptor> descriptor_;
};

// A disk's identity, "major:minor seq" from sysfs; empty when its number is not known.
std::string identityOf(ISysCalls& sys, const std::string& disk) {
  std::string dev;
  if (!sys.ReadText("/sys/block/" + disk + "/dev", dev)) return {};
  while (!dev.empty() && std::isspace(static_cast<unsigned char>(dev.back()))) dev.pop_back();
  if (dev.empty()) return {};
  return dev + " " + std::to_string(linuxdisk::SeqOfDisk(sys, disk));
}

}  // namespace

int LinuxDiskBackend::HighestPhysicalDrive() const { return linuxdisk::HighestDiskNumber(sys_); }

std::unique_ptr<IDeviceHold> LinuxDiskBackend::Hold(const std::string& path) {
  Target t;
  if (resolve(sys_, letters_, path, t) != 0 || t.disk.empty()) return nullptr;
  const int fd = openDisk(sys_, "/dev/" + t.disk, t.seq, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return nullptr;
  auto descriptor = std::make_shared<Descriptor>(sys_, fd);
  // A probe under way holds the disk shared for a moment; a program that keeps
  // it longer keeps the job from the disk.
  for (int tries = 1;; ++tries) {
    const int rc = sys_.Flock(fd, LOCK_EX | LOCK_NB);
    if (rc == 0) break;
    // Only a lock kept by another is a refusal; a flock the system cannot
    // give at all holds nothing back from the job.
    if (rc != -EWOULDBLOCK) return nullptr;
    if (tries == kHoldTries) {
      refuse("hold", t.disk, "another program keeps it locked");
      win::SetLastError(win::ERROR_SHARING_VIOLATION);
      return nullptr;
    }
    Clock().SleepMs(kHoldRetryMs);
  }
  // The open keeps the disk's name and number from passing to another disk, so
  // what sysfs says of the name now is the opened disk, when the sequence
  // numbers agree.
  std::uint64_t seq = 0;
  if (sys_.Ioctl(fd, BLKGETDISKSEQ, &seq) < 0) seq = 0;
  const std::string id = identityOf(sys_, t.disk);
  if (!id.empty() && linuxdisk::SeqOfDisk(sys_, t.disk) == seq) {
    descriptor->held = true;
    std::lock_guard lock(heldMutex_);
    held_[id] = descriptor;
  }
  return std::make_unique<DiskHold>(std::move(descriptor));
}

std::shared_ptr<Descriptor> LinuxDiskBackend::heldDescriptor(const std::string& disk, std::uint64_t seq) {
  {
    std::lock_guard lock(heldMutex_);
    for (auto it = held_.begin(); it != held_.end();) {
      const auto descriptor = it->second.lock();
      it = descriptor && descriptor->held ? std::next(it) : held_.erase(it);
    }
    if (held_.empty()) return nullptr;  // no sysfs reads while nothing is held
  }
  const std::string id = identityOf(sys_, disk);
  if (id.empty() || (seq != 0 && linuxdisk::SeqOfDisk(sys_, disk) != seq)) return nullptr;
  std::lock_guard lock(heldMutex_);
  const auto it = held_.find(id);
  if (it == held_.end()) return nullptr;
  auto descriptor = it->second.lock();
  return descriptor && descriptor->held ? descriptor : nullptr;
}

win::DWORD LinuxDiskBackend::Open(const std::string& path, win::DWORD access, win::DWORD,
                                  std::shared_ptr<IDeviceHandle>& handle) {
  Target t;
  if (const win::DWORD err = resolve(sys_, letters_, path, t)) return err;

  // The program opens every device for writing, once per command. Closing a
  // disk opened for writing makes udev re-probe it (its "watch" rule), which
  // would flood the system with change events and briefly claim the disk. With
  // CAP_SYS_RAWIO the kernel lets any command through a read-only descriptor,
  // so write access is asked for only when the kernel's command filter needs it.
  const int mode = (access & win::GENERIC_WRITE) && !rawIo_ ? O_RDWR : O_RDONLY;
  std::shared_ptr<Descriptor> descriptor;
  if (mode == O_RDONLY && t.nodeIsDisk) descriptor = heldDescriptor(t.disk, t.seq);
  if (!descriptor) {
    const int fd = openDisk(sys_, t.node, t.seq, mode | O_NONBLOCK);
    if (fd < 0) return DeviceErrorFromErrno(-fd);
    descriptor = std::make_shared<Descriptor>(sys_, fd);
  }
  const int fd = descriptor->fd;
  // The handle keeps to the disk it opened: its controls open the disk again by
  // name, and a descriptor on an sg node or a partition does not keep the kernel
  // from giving that name to the next disk once this one is gone.
  if (t.seq == 0 && !t.disk.empty()) {
    std::uint64_t seq = 0;
    t.seq = t.nodeIsDisk && sys_.Ioctl(fd, BLKGETDISKSEQ, &seq) >= 0 ? seq : linuxdisk::SeqOfDisk(sys_, t.disk);
  }
  // Learnt at every open: a disk unplugged and plugged in again may come back
  // under the same name behind another bridge.
  std::uint32_t limit = 0;
  if (!t.disk.empty()) {
    linuxdisk::RaiseUsbTransferLimit(sys_, t.disk);
    limit = linuxdisk::TransferLimit(sys_, t.disk);
  }
  handle = std::make_shared<LinuxDiskHandle>(sys_, std::move(descriptor), std::move(t), limit);
  return 0;
}

win::DWORD LinuxDiskBackend::LogicalDrives() const {
  letters_.Refresh(sys_);
  return letters_.Mask();
}

win::UINT LinuxDiskBackend::DriveType(char letter) const {
  linuxdisk::VolumeLetters::Volume v;
  if (!letters_.Find(letter, v)) return win::DRIVE_NO_ROOT_DIR;
  std::string removable;
  if (sys_.ReadText("/sys/block/" + v.disk + "/removable", removable) && removable.rfind('1', 0) == 0) {
    return win::DRIVE_REMOVABLE;
  }
  return win::DRIVE_FIXED;
}

const char* const kNoRawIoMessage =
    "kxmp: this process lacks CAP_SYS_RAWIO, so the kernel will refuse vendor commands and ATA "
    "pass-through to the drives (every such command fails with error 5). Run kxmp as root, or grant it "
    "with: setcap cap_sys_rawio,cap_sys_admin+ep <path to kxmp>";

bool HasRawIoCapability(ISysCalls& sys) {
  std::string status;
  if (!sys.ReadText("/proc/self/status", status)) return false;
  std::istringstream lines(status);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    const std::string hex = line.substr(7);
    unsigned long long caps = 0;
    if (std::sscanf(hex.c_str(), "%llx", &caps) != 1) return false;
    return (caps >> kCapSysRawio) & 1u;
  }
  return false;
}

// On standard error rather than the debug output: it is for whoever starts the program.
bool CheckRawIoCapability(ISysCalls& sys) {
  static std::atomic<bool> told{false};
  const bool ok = HasRawIoCapability(sys);
  if (!ok && !told.exchange(true)) std::fprintf(stderr, "%s\n", kNoRawIoMessage);
  return ok;
}

void RegisterLinuxDiskBackend() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterDeviceBackend(std::make_shared<LinuxDiskBackend>());
    CheckRawIoCapability();
  });
}

}  // namespace platform
