// The device I/O seam: the only way the program reaches a tester board, a bridge,
// a drive or a volume. Domain code uses the Windows-shaped calls below; back ends
// (the emulator, Linux SG_IO) plug in through IDeviceBackend and claim paths.
//
// Request blocks are typed structs with the fields of the Windows storage
// interface; they are host-side values, never wire bytes, so pointers keep their
// native width. Each back end documents how it maps them to its transport.
#pragma once
#include <cstddef>
#include <memory>
#include <string>

#include "platform/WinTypes.h"

namespace win {

// Control codes (Windows values, so that traces and logs match the originals).
constexpr DWORD IOCTL_SCSI_PASS_THROUGH = 0x4D004;
constexpr DWORD IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x4D014;
constexpr DWORD IOCTL_ATA_PASS_THROUGH_DIRECT = 0x4D030;
constexpr DWORD FSCTL_LOCK_VOLUME = 0x90018;
constexpr DWORD FSCTL_UNLOCK_VOLUME = 0x9001C;
constexpr DWORD FSCTL_DISMOUNT_VOLUME = 0x90020;
constexpr DWORD IOCTL_STORAGE_GET_DEVICE_NUMBER = 0x2D1080;
constexpr DWORD IOCTL_DISK_DELETE_DRIVE_LAYOUT = 0x7C100;
constexpr DWORD IOCTL_DISK_GET_DRIVE_GEOMETRY_EX = 0x700A0;

// CreateFile arguments the program uses.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

// SCSI pass-through data direction.
constexpr UCHAR SCSI_IOCTL_DATA_OUT = 0;
constexpr UCHAR SCSI_IOCTL_DATA_IN = 1;
constexpr UCHAR SCSI_IOCTL_DATA_UNSPECIFIED = 2;

// ATA pass-through flags.
constexpr USHORT ATA_FLAGS_DRDY_REQUIRED = 0x01;
constexpr USHORT ATA_FLAGS_DATA_IN = 0x02;
constexpr USHORT ATA_FLAGS_DATA_OUT = 0x04;
constexpr USHORT ATA_FLAGS_48BIT_COMMAND = 0x08;
constexpr USHORT ATA_FLAGS_USE_DMA = 0x10;

// Drive types reported for volume letters.
constexpr UINT DRIVE_UNKNOWN = 0;
constexpr UINT DRIVE_NO_ROOT_DIR = 1;
constexpr UINT DRIVE_REMOVABLE = 2;
constexpr UINT DRIVE_FIXED = 3;
constexpr UINT DRIVE_REMOTE = 4;
constexpr UINT DRIVE_CDROM = 5;

constexpr std::size_t kSenseLength = 24;

// IOCTL_SCSI_PASS_THROUGH_DIRECT: in and out are one ScsiPassThroughDirectBlock.
// Sense data (when the device returns any) lands in Sense; SenseInfoLength says
// how much room there is and is set to the number of bytes returned.
struct SCSI_PASS_THROUGH_DIRECT {
  USHORT Length = 0;
  UCHAR ScsiStatus = 0;
  UCHAR PathId = 0;
  UCHAR TargetId = 0;
  UCHAR Lun = 0;
  UCHAR CdbLength = 0;
  UCHAR SenseInfoLength = 0;
  UCHAR DataIn = 0;
  ULONG DataTransferLength = 0;
  ULONG TimeOutValue = 0;  // seconds
  void* DataBuffer = nullptr;
  ULONG SenseInfoOffset = 0;
  UCHAR Cdb[16] = {};
};
struct ScsiPassThroughDirectBlock {
  SCSI_PASS_THROUGH_DIRECT Sptd;
  UCHAR Sense[kSenseLength] = {};
};

// IOCTL_SCSI_PASS_THROUGH (buffered): in and out are one ScsiPassThroughBlock;
// the data travels inside the block's Data area, of which DataTransferLength
// bytes are used (at most sizeof(Data)).
struct SCSI_PASS_THROUGH {
  USHORT Length = 0;
  UCHAR ScsiStatus = 0;
  UCHAR PathId = 0;
  UCHAR TargetId = 0;
  UCHAR Lun = 0;
  UCHAR CdbLength = 0;
  UCHAR SenseInfoLength = 0;
  UCHAR DataIn = 0;
  ULONG DataTransferLength = 0;
  ULONG TimeOutValue = 0;
  std::size_t DataBufferOffset = 0;
  ULONG SenseInfoOffset = 0;
  UCHAR Cdb[16] = {};
};
struct ScsiPassThroughBlock {
  SCSI_PASS_THROUGH Spt;
  UCHAR Sense[kSenseLength] = {};
  UCHAR Data[1024] = {};
};

// IOCTL_ATA_PASS_THROUGH_DIRECT: in and out are one ATA_PASS_THROUGH_DIRECT.
// Task files are features, count, LBA low, LBA mid, LBA high, device, command,
// reserved; on return CurrentTaskFile holds error, count, LBA low/mid/high,
// device, status, and PreviousTaskFile the high-order registers of 48-bit commands.
struct ATA_PASS_THROUGH_DIRECT {
  USHORT Length = 0;
  USHORT AtaFlags = 0;
  UCHAR PathId = 0;
  UCHAR TargetId = 0;
  UCHAR Lun = 0;
  UCHAR ReservedAsUchar = 0;
  ULONG DataTransferLength = 0;
  ULONG TimeOutValue = 0;  // seconds
  ULONG ReservedAsUlong = 0;
  void* DataBuffer = nullptr;
  UCHAR PreviousTaskFile[8] = {};
  UCHAR CurrentTaskFile[8] = {};
};

// IOCTL_STORAGE_GET_DEVICE_NUMBER output.
struct STORAGE_DEVICE_NUMBER {
  DWORD DeviceType = 0;
  DWORD DeviceNumber = 0;
  DWORD PartitionNumber = 0;
};

// IOCTL_DISK_GET_DRIVE_GEOMETRY_EX output (the program reads DiskSize).
struct DISK_GEOMETRY {
  std::int64_t Cylinders = 0;
  DWORD MediaType = 0;
  DWORD TracksPerCylinder = 0;
  DWORD SectorsPerTrack = 0;
  DWORD BytesPerSector = 0;
};
struct DISK_GEOMETRY_EX {
  DISK_GEOMETRY Geometry;
  std::int64_t DiskSize = 0;
  UCHAR Data[8] = {};
};

// Opens a device path: "\\.\PhysicalDriveN", "\\.\X:" or a device-listing
// entry's path. Paths no back end claims fail with ERROR_FILE_NOT_FOUND.
HANDLE CreateFileA(const char* path, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE templ);
BOOL CloseHandle(HANDLE h);
// Carries out one request; FALSE with GetLastError() set on failure. A fault
// raised inside a back end is reported as FALSE with ERROR_NOACCESS.
BOOL DeviceIoControl(HANDLE h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                     void* overlapped);
// Bit 0 = A:. The union of every back end's volumes.
DWORD GetLogicalDrives();
// Root path like "E:\"; DRIVE_NO_ROOT_DIR when no back end has that letter.
UINT GetDriveTypeA(const char* rootPath);

}  // namespace win

namespace platform {

// One open device. IoControl returns 0 or a Windows error number and sets
// *returned to the bytes of output produced.
class IDeviceHandle {
 public:
  virtual ~IDeviceHandle() = default;
  virtual win::DWORD IoControl(win::DWORD code, void* in, win::DWORD inSize, void* out, win::DWORD outSize,
                               win::DWORD* returned) = 0;
};

// A device held for a port's job: while the object lives, the operating
// system's own probes of the device (udev, udisks) wait; destroying it lets
// them go. The job's own opens and controls work as before.
class IDeviceHold {
 public:
  virtual ~IDeviceHold() = default;
};

// A back end owns a family of device paths and volume letters.
class IDeviceBackend {
 public:
  virtual ~IDeviceBackend() = default;
  // True when this back end answers for the path (it may still fail to open it).
  virtual bool Claims(const std::string& path) const = 0;
  // Returns 0 and sets handle, or a Windows error number.
  virtual win::DWORD Open(const std::string& path, win::DWORD access, win::DWORD share,
                          std::shared_ptr<IDeviceHandle>& handle) = 0;
  virtual win::DWORD LogicalDrives() const { return 0; }
  virtual win::UINT DriveType(char /*letter*/) const { return win::DRIVE_NO_ROOT_DIR; }
  // The highest N of "\\.\PhysicalDriveN" the back end has a device for now; -1 none.
  virtual int HighestPhysicalDrive() const { return -1; }
  // Holds the device a path names for a job; null when there is nothing to hold,
  // or, with the last error ERROR_SHARING_VIOLATION, when another program keeps it.
  virtual std::unique_ptr<IDeviceHold> Hold(const std::string& /*path*/) { return nullptr; }
};

// Back ends are asked in registration order; the first that claims a path opens
// it. Thread-safe. Unregistering does not invalidate handles already open.
void RegisterDeviceBackend(const std::shared_ptr<IDeviceBackend>& backend);
void UnregisterDeviceBackend(const std::shared_ptr<IDeviceBackend>& backend);
void ClearDeviceBackends();

// The device of a port's job, held by the back end that claims its path until
// the returned object goes. Null when none holds it: the job runs all the same,
// unless GetLastError() is ERROR_SHARING_VIOLATION, which says that another
// program kept the device locked past the hold's wait (a back end's Hold sets
// it so when it gives up).
std::unique_ptr<IDeviceHold> HoldDevice(const std::string& path);

// The highest "\\.\PhysicalDriveN" number any back end has a device for now; -1 none.
int HighestPhysicalDrive();

// The mount point of a file system that would not unmount (files are open on
// it) and so made the calling thread's last DeviceIoControl fail with
// ERROR_BUSY; empty after any other outcome. A back end names it while it carries
// out the request, and only when it fails that request with ERROR_BUSY.
std::string LastBusyMountPoint();
void SetBusyMountPoint(const std::string& mountPoint);

}  // namespace platform
