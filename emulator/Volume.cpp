// Volume controls on an emulated drive's volume letter (and CD-ROM letters):
// lock, unlock, dismount, device number and layout deletion, each refusable.
#include <cstring>
#include <string>

#include "emulator/Transport.h"
#include "platform/DeviceIo.h"

namespace emu {
namespace transport {

namespace {

constexpr win::DWORD kErrorNotLocked = 158;

// Consumes one refusal: -1 always refuses, n > 0 refuses n more times.
bool refuse(int& counter) {
  if (counter == 0) return false;
  if (counter > 0) --counter;
  return true;
}

// A file system with files open on it: it stays mounted, at the volume's root.
win::DWORD inUse(char letter) {
  platform::SetBusyMountPoint(std::string(1, letter) + ":\\");
  return win::ERROR_BUSY;
}

}  // namespace

win::DWORD VolumeControl(Site& site, char letter, const void* owner, win::DWORD code, void* out,
                         win::DWORD outSize, win::DWORD* returned) {
  win::DWORD dummy = 0;
  if (!returned) returned = &dummy;
  *returned = 0;
  Site::VolumeState* v = site.VolumeAt(letter);
  if (!v) return win::ERROR_INVALID_HANDLE;
  const int slot = [&] {
    std::lock_guard lock(v->mutex);
    return v->desc.slot;
  }();
  if (slot != 0) {
    const auto drive = site.GetDrive(slot);
    if (!drive || drive->Removed()) return win::ERROR_DEVICE_NOT_CONNECTED;
  }
  const win::DWORD diskNumber = slot != 0 ? site.SlotDiskNumber(slot) : 0;
  std::lock_guard lock(v->mutex);
  VolumeSpec& s = v->desc;
  switch (code) {
    case win::FSCTL_LOCK_VOLUME:
      if (refuse(s.faults.inUse)) return inUse(letter);
      if (refuse(s.faults.lock)) return win::ERROR_ACCESS_DENIED;
      if (s.locked && v->lockOwner != owner) return win::ERROR_ACCESS_DENIED;
      s.locked = true;
      v->lockOwner = owner;
      return 0;
    case win::FSCTL_UNLOCK_VOLUME:
      if (refuse(s.faults.unlock)) return win::ERROR_ACCESS_DENIED;
      if (!s.locked || v->lockOwner != owner) return kErrorNotLocked;
      s.locked = false;
      v->lockOwner = nullptr;
      return 0;
    case win::FSCTL_DISMOUNT_VOLUME:
      if (refuse(s.faults.dismount)) return win::ERROR_ACCESS_DENIED;
      s.mounted = false;
      return 0;
    case win::IOCTL_STORAGE_GET_DEVICE_NUMBER: {
      if (!out || outSize < sizeof(win::STORAGE_DEVICE_NUMBER)) return win::ERROR_INSUFFICIENT_BUFFER;
      if (refuse(s.faults.deviceNumber)) return win::ERROR_INVALID_FUNCTION;
      win::STORAGE_DEVICE_NUMBER n;
      n.DeviceType = slot != 0 ? 7 : 2;  // disk, or CD-ROM
      n.DeviceNumber = diskNumber;
      n.PartitionNumber = slot != 0 ? 1 : 0;
      std::memcpy(out, &n, sizeof n);
      *returned = sizeof n;
      return 0;
    }
    case win::IOCTL_DISK_DELETE_DRIVE_LAYOUT:
      if (slot == 0) return win::ERROR_INVALID_FUNCTION;
      if (refuse(s.faults.inUse)) return inUse(letter);
      if (refuse(s.faults.deleteLayout)) return win::ERROR_ACCESS_DENIED;
      s.layoutDeleted = true;
      return 0;
    default:
      return win::ERROR_INVALID_FUNCTION;
  }
}

void VolumeHandleClosed(Site& site, char letter, const void* owner) {
  Site::VolumeState* v = site.VolumeAt(letter);
  if (!v) return;
  std::lock_guard lock(v->mutex);
  if (v->desc.locked && v->lockOwner == owner) {  // closing the handle releases its lock
    v->desc.locked = false;
    v->lockOwner = nullptr;
  }
}

}  // namespace transport
}  // namespace emu
