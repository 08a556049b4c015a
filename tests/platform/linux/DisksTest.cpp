// Disk numbering, mount reading, volume letters and the disk and volume controls
// of the real-disk back end, on a fake machine.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>

#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/linux/DiskBackend.h"
#include "platform/linux/Disks.h"
#include "tests/platform/linux/FakeSys.h"

using namespace platform;
using namespace platform::linuxdisk;
using kxtest::FakeSys;
using Names = std::vector<std::string>;

namespace {

// The kernel's index of an sd name, and the disk's number: one more, so that
// no disk is number 0, which the tester slot map reads as "no board".
TEST(DiskNumbering, KernelIndexAndNumberOfTheSdName) {
  const std::pair<const char*, int> rows[] = {
      {"sda", 0},  {"sdz", 25},  {"sdaa", 26}, {"sdzz", 701}, {"sdaaa", 702},   {"sd", -1},      {"sd1", -1},
      {"sdA", -1}, {"sda1", -1}, {"hda", -1},  {"sdb-", -1},  {"nvme0n1", -1}, {"sdaaaaa", -1},
  };
  for (const auto& [name, index] : rows) {
    EXPECT_EQ(index, DiskIndexFromName(name)) << name;
    EXPECT_EQ(index < 0 ? -1 : index + 1, DiskNumberFromName(name)) << name;
  }
  EXPECT_EQ("sda", DiskNameFromNumber(1));
  for (int n : {0, -1}) EXPECT_EQ("", DiskNameFromNumber(n)) << n;
  for (int n = 1; n <= 20000; ++n) ASSERT_EQ(n, DiskNumberFromName(DiskNameFromNumber(n))) << n;
  FakeSys sys;  // the highest number attached, which a tester scan goes up to
  EXPECT_EQ(-1, HighestDiskNumber(sys));
  sys.dirs["/sys/block"] = {"sdc", "sdab", "nvme0n1", "sdz", "loop0"};
  EXPECT_EQ(28, HighestDiskNumber(sys));

  std::string disk;
  int part = -1;
  ASSERT_TRUE(SplitSdName("sdab12", disk, part));
  EXPECT_EQ("sdab", disk);
  EXPECT_EQ(12, part);
  for (const char* bad : {"sdc0", "dm-0", "sdc123456"}) EXPECT_FALSE(SplitSdName(bad, disk, part)) << bad;
}

// A machine: system on sda (root through device mapper on sda2, /boot on sda1),
// a data disk sdb with two mounted partitions (one inside the other), swap on
// sdc1, and an unused disk sdd.
struct Machine : ::testing::Test {
  FakeSys sys;
  void SetUp() override {
    sys.AddDisk("sda", 8, 0, 500ull << 30, {1, 2});
    sys.AddDisk("sdb", 8, 16, 64ull << 30, {1, 2});
    sys.AddDisk("sdc", 8, 32, 32ull << 30, {1});
    sys.AddDisk("sdd", 8, 48, 128ull << 30);
    sys.links["/sys/dev/block/254:0"] = "../../devices/virtual/block/dm-0";
    sys.dirs["/sys/class/block/dm-0/slaves"] = {"sda2"};
    sys.dirs["/sys/class/block/sda2/holders"] = {"dm-0"};
    sys.AddMount("254:0", "/", "/dev/mapper/vg-root");
    sys.AddMount("8:1", "/boot", "/dev/sda1");
    sys.AddMount("0:22", "/proc", "proc", "proc");
    sys.AddMount("8:17", "/media/data", "/dev/sdb1");
    sys.AddMount("8:18", "/media/data/inner", "/dev/sdb2");
    sys.files["/proc/swaps"] =
        "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n"
        "/dev/sdc1                               partition\t1000\t\t0\t\t-2\n"
        "/swapfile                               file\t\t1000\t\t0\t\t-3\n";
  }
};

TEST_F(Machine, EachDisksUseIsFoundThroughMountsDeviceMapperAndSwap) {
  sys.AddMount("8:48", "/media/my\\040disk", "/dev/sdd");
  struct Row {
    const char* disk;
    const char* systemUse;
    Names mountPoints;
    bool held;
  };
  const Row rows[] = {
      {"sda", "/", {"/boot"}, true},
      {"sdb", "", {"/media/data", "/media/data/inner"}, false},
      {"sdc", "swap", {}, false},
      {"sdd", "", {"/media/my disk"}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.disk);
    const DiskUse use = InspectDisk(sys, row.disk);
    EXPECT_EQ(row.systemUse, use.systemUse);
    EXPECT_EQ(row.mountPoints, use.mountPoints);
    EXPECT_EQ(row.held, use.held);
  }
  for (const char* mp : {"/", "/boot/efi", "/usr", "/var/lib", "/home"}) EXPECT_TRUE(IsSystemMountPoint(mp)) << mp;
  for (const char* mp : {"/media/x", "/mnt", "/variable", "/usrdata"}) EXPECT_FALSE(IsSystemMountPoint(mp)) << mp;
}

TEST_F(Machine, VolumeLettersStartAtDAndStayWhileMounted) {
  VolumeLetters letters;
  letters.Refresh(sys);
  auto device = [&](char letter) {
    VolumeLetters::Volume v;
    return letters.Find(letter, v) ? v.device : "-";
  };
  // SCSI partitions only: sda1 (/boot), sdb1, sdb2; not dm-0 nor proc.
  EXPECT_EQ("sda1", device('D'));
  EXPECT_EQ("sdb1", device('e'));
  EXPECT_EQ("sdb2", device('F'));
  EXPECT_EQ("-", device('G'));
  EXPECT_EQ((1u << 3) | (1u << 4) | (1u << 5), letters.Mask());

  // sdb1 goes away: F keeps sdb2; a new mount takes the free E.
  auto& info = sys.files["/proc/self/mountinfo"];
  const auto at = info.rfind('\n', info.find(" 8:17 ")) + 1;
  info.erase(at, info.find('\n', at) + 1 - at);
  sys.AddMount("8:48", "/media/d", "/dev/sdd");
  letters.Refresh(sys);
  EXPECT_EQ("sdd", device('E'));
  EXPECT_EQ("sdb2", device('F'));
}

struct Backend : Machine {
  std::unique_ptr<LinuxDiskBackend> backend;
  void SetUp() override {
    Machine::SetUp();
    backend = std::make_unique<LinuxDiskBackend>(sys);
  }
  std::shared_ptr<IDeviceHandle> Open(const std::string& path, win::DWORD access = win::GENERIC_WRITE) {
    std::shared_ptr<IDeviceHandle> h;
    EXPECT_EQ(0u, backend->Open(path, access, 0, h)) << path;
    return h;
  }
  win::DWORD Control(IDeviceHandle& h, win::DWORD code, void* out = nullptr, win::DWORD outSize = 0) {
    win::DWORD got = 0;
    return h.IoControl(code, nullptr, 0, out, outSize, &got);
  }
};

TEST_F(Backend, PathsOpenTheirDiskWithTheRightAccessAndNumber) {
  sys.realPaths["/dev/disk/by-path/pci-0000:00:1f.2-ata-2"] = "/dev/sdb";
  // Disk instances: sdb found through the kernel's list, sdd through udev's link.
  sys.dirs["/sys/block"] = {"sda", "sdb", "sdd"};
  for (const auto& [disk, seq] : {std::pair{"sdb", 41}, std::pair{"sdd", 43}}) {
    sys.files["/sys/block/" + std::string(disk) + "/diskseq"] = std::to_string(seq) + "\n";
    sys.diskSeqs["/dev/" + std::string(disk)] = seq;
  }
  sys.realPaths["/dev/disk/by-diskseq/43"] = "/dev/sdd";
  sys.nodes.insert("/dev/sg3");
  sys.dirs["/sys/class/scsi_generic/sg3/device/block"] = {"sdd"};
  struct Row {
    const char* path;
    win::DWORD access;
    const char* node;
    int mode;
    win::DWORD disk, partition;
  };
  const Row rows[] = {
      {"\\\\.\\PhysicalDrive1", win::GENERIC_WRITE, "/dev/sda", O_RDWR, 1, 0},
      {"\\\\.\\PhysicalDrive2", win::GENERIC_WRITE, "/dev/sdb", O_RDWR, 2, 0},
      {"\\\\.\\physicaldrive4", 0, "/dev/sdd", O_RDONLY, 4, 0},
      {"/dev/disk/by-path/pci-0000:00:1f.2-ata-2", win::GENERIC_WRITE, "/dev/sdb", O_RDWR, 2, 0},
      {"/dev/disk/by-diskseq/41", win::GENERIC_WRITE, "/dev/sdb", O_RDWR, 2, 0},
      {"/dev/disk/by-diskseq/43", 0, "/dev/sdd", O_RDONLY, 4, 0},
      {"/dev/sg3", win::GENERIC_WRITE, "/dev/sg3", O_RDWR, 4, 0},
      {"\\\\.\\F:", win::GENERIC_WRITE, "/dev/sdb", O_RDWR, 2, 2},  // the disk, never the partition
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_TRUE(backend->Claims(row.path));
    auto h = Open(row.path, row.access);
    ASSERT_TRUE(h);
    EXPECT_EQ(row.node, sys.opens.back().first);
    EXPECT_EQ(row.mode, sys.opens.back().second & O_ACCMODE);
    win::STORAGE_DEVICE_NUMBER n;
    ASSERT_EQ(0u, Control(*h, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, &n, sizeof n));
    EXPECT_EQ(row.disk, n.DeviceNumber);
    EXPECT_EQ(row.partition, n.PartitionNumber);
  }
  // With CAP_SYS_RAWIO every command passes a read-only descriptor: no write
  // open, so no udev re-probe after each command.
  sys.files["/proc/self/status"] = "CapEff:\t0000000000020000\n";
  LinuxDiskBackend privileged(sys);
  std::shared_ptr<IDeviceHandle> h;
  ASSERT_EQ(0u, privileged.Open("\\\\.\\PhysicalDrive4", win::GENERIC_WRITE, 0, h));
  EXPECT_EQ(O_RDONLY, sys.opens.back().second & O_ACCMODE);

  sys.openErrno["/dev/sdc"] = EACCES;
  EXPECT_EQ(win::ERROR_ACCESS_DENIED, backend->Open("\\\\.\\PhysicalDrive3", 0, 0, h));
  for (const char* none : {"\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive10", "/dev/nvme0n1", "\\\\.\\Q:"}) {
    EXPECT_EQ(win::ERROR_FILE_NOT_FOUND, backend->Open(none, 0, 0, h)) << none;
  }
  EXPECT_FALSE(backend->Claims("C:\\MP_SSD_NODE\\AutoMapping.ini"));
  EXPECT_FALSE(backend->Claims("\\\\.\\PhysicalDrive"));
}

// A disk pulled and another given its kernel name: the first one's path opens
// nothing, whether the name is looked up before or after the change, and a
// handle still open on the first, by whatever path, reaches no other disk
// through its controls.
TEST_F(Backend, ADiskInstancesPathNeverOpensTheDiskThatTookItsName) {
  sys.dirs["/sys/block"] = {"sdb"};
  sys.files["/sys/block/sdb/diskseq"] = "41\n";
  sys.diskSeqs["/dev/sdb"] = 41;
  auto held = Open("/dev/disk/by-diskseq/41");
  ASSERT_TRUE(held);
  // sdd (nothing mounted) held through paths that name no instance.
  sys.files["/sys/block/sdd/diskseq"] = "43\n";
  sys.diskSeqs["/dev/sdd"] = 43;
  sys.nodes.insert("/dev/sg3");
  sys.dirs["/sys/class/scsi_generic/sg3/device/block"] = {"sdd"};
  std::vector<std::shared_ptr<IDeviceHandle>> heldBy;
  for (const char* path : {"/dev/sg3", "\\\\.\\PhysicalDrive4"}) heldBy.push_back(Open(path));
  sys.diskSeqs["/dev/sdb"] = 57;  // the new disk's node, sysfs not yet read again
  std::shared_ptr<IDeviceHandle> h;
  EXPECT_EQ(win::ERROR_FILE_NOT_FOUND, backend->Open("/dev/disk/by-diskseq/41", win::GENERIC_WRITE, 0, h));
  EXPECT_EQ(1u + heldBy.size(), sys.openFds.size());  // the mismatched descriptor is closed
  EXPECT_EQ(win::ERROR_FILE_NOT_FOUND, Control(*held, win::FSCTL_LOCK_VOLUME));
  sys.files["/sys/block/sdb/diskseq"] = "57\n";
  sys.realPaths["/dev/disk/by-diskseq/41"] = "/dev/sdb";  // udev's link not yet removed
  EXPECT_EQ(win::ERROR_FILE_NOT_FOUND, backend->Open("/dev/disk/by-diskseq/41", win::GENERIC_WRITE, 0, h));
  sys.files["/sys/block/sdd/diskseq"] = "58\n";
  sys.diskSeqs["/dev/sdd"] = 58;
  for (auto& other : heldBy) {
    ASSERT_TRUE(other);
    EXPECT_EQ(win::ERROR_FILE_NOT_FOUND, Control(*other, win::IOCTL_DISK_DELETE_DRIVE_LAYOUT));
  }
  EXPECT_TRUE(sys.writes.empty());
}

TEST_F(Backend, VolumesShowAsLettersOfTheirDisksType) {
  EXPECT_EQ((1u << 3) | (1u << 4) | (1u << 5), backend->LogicalDrives());
  sys.files["/sys/block/sdb/removable"] = "1\n";
  EXPECT_EQ(win::DRIVE_REMOVABLE, backend->DriveType('E'));
  EXPECT_EQ(win::DRIVE_FIXED, backend->DriveType('D'));
  EXPECT_EQ(win::DRIVE_NO_ROOT_DIR, backend->DriveType('K'));
}

TEST_F(Backend, LockIsAnExclusiveClaimHeldUntilUnlockOrClose) {
  auto h = Open("\\\\.\\PhysicalDrive4");
  EXPECT_EQ(158u, Control(*h, win::FSCTL_UNLOCK_VOLUME));
  ASSERT_EQ(0u, Control(*h, win::FSCTL_LOCK_VOLUME));
  EXPECT_EQ(O_EXCL, sys.opens.back().second & O_EXCL);
  EXPECT_EQ(0u, Control(*h, win::FSCTL_UNLOCK_VOLUME));
  EXPECT_EQ(1u, sys.openFds.size());
  ASSERT_EQ(0u, Control(*h, win::FSCTL_LOCK_VOLUME));
  h.reset();
  EXPECT_TRUE(sys.openFds.empty());  // closing releases the claim too
}

TEST_F(Backend, DismountUnmountsTheVolumesDiskDeepestFirst) {
  auto v = Open("\\\\.\\E:");
  sys.umountErrno["/media/data/inner"] = EBUSY;
  EXPECT_EQ(win::ERROR_BUSY, Control(*v, win::FSCTL_DISMOUNT_VOLUME));
  sys.umountErrno.clear();
  sys.umounts.clear();
  ASSERT_EQ(0u, Control(*v, win::FSCTL_DISMOUNT_VOLUME));
  EXPECT_EQ((Names{"/media/data/inner", "/media/data"}), sys.umounts);
}

// A volume's lock and layout deletion take its disk off line before they claim
// or write it; a file system with files open on it stays, and the control
// fails naming it, before anything is claimed or written.
TEST_F(Backend, AVolumesLockAndLayoutDeletionUnmountItsDiskFirst) {
  const win::DWORD controls[] = {win::FSCTL_LOCK_VOLUME, win::IOCTL_DISK_DELETE_DRIVE_LAYOUT};
  for (const win::DWORD control : controls) {
    for (const bool busy : {true, false}) {
      SCOPED_TRACE(std::to_string(control) + (busy ? " busy" : ""));
      sys = FakeSys();
      SetUp();
      if (busy) sys.umountErrno["/media/data"] = EBUSY;
      auto v = Open("\\\\.\\E:");
      const std::size_t opensBefore = sys.opens.size();
      platform::DebugCapture debug;
      platform::SetBusyMountPoint({});
      const win::DWORD err = Control(*v, control);
      EXPECT_EQ((Names{"/media/data/inner", "/media/data"}), sys.umounts);
      if (busy) {
        EXPECT_EQ(win::ERROR_BUSY, err);
        EXPECT_EQ("/media/data", platform::LastBusyMountPoint());
        EXPECT_EQ(opensBefore, sys.opens.size());  // no claim
        EXPECT_TRUE(sys.writes.empty());
        EXPECT_EQ(1u, debug.Texts().size());
      } else {
        EXPECT_EQ(0u, err);
        EXPECT_EQ(O_EXCL, sys.opens.back().second & O_EXCL);
        EXPECT_EQ(control == win::IOCTL_DISK_DELETE_DRIVE_LAYOUT, !sys.writes.empty());
        EXPECT_TRUE(InspectDisk(sys, "sdb").mountPoints.empty());
      }
    }
  }
}

// A job's hold: one read-only descriptor on the whole disk, whatever path names
// it, flocked exclusively; the job's own opens and claim take no lock and still
// work; the descriptor closes when the hold goes. A probe that holds the disk
// for a moment is waited for, a program that keeps it refuses the hold.
TEST_F(Backend, AJobHoldsItsWholeDiskWithAnExclusiveFlock) {
  platform::ScopedClock clock(platform::MakeVirtualClock());
  sys.files["/sys/block/sdb/diskseq"] = "41\n";
  sys.diskSeqs["/dev/sdb"] = 41;
  sys.dirs["/sys/block"] = {"sdb"};
  const std::pair<const char*, const char*> rows[] = {
      {"/dev/disk/by-diskseq/41", "/dev/sdb"}, {"\\\\.\\PhysicalDrive4", "/dev/sdd"}, {"/dev/sdb2", "/dev/sdb"}};
  for (const auto& [path, node] : rows) {
    SCOPED_TRACE(path);
    auto hold = backend->Hold(path);
    ASSERT_TRUE(hold);
    EXPECT_EQ(node, sys.opens.back().first);
    EXPECT_EQ(O_RDONLY, sys.opens.back().second & O_ACCMODE);
    ASSERT_EQ(1u, sys.flocks.size());
    const int fd = sys.flocks.begin()->first;
    EXPECT_EQ(LOCK_EX | LOCK_NB, sys.flocks.begin()->second);
    auto h = Open(path);
    EXPECT_EQ(0u, Control(*h, win::FSCTL_LOCK_VOLUME));
    EXPECT_EQ(0u, Control(*h, win::FSCTL_UNLOCK_VOLUME));
    h.reset();
    EXPECT_EQ(1u, sys.flocks.size());
    EXPECT_EQ(1u, sys.openFds.count(fd));
    hold.reset();
    EXPECT_TRUE(sys.openFds.empty());
  }
  sys.flockErrnos["/dev/sdd"] = std::vector<int>(3, EWOULDBLOCK);
  EXPECT_TRUE(backend->Hold("\\\\.\\PhysicalDrive4"));
  sys.flockErrnos["/dev/sdd"] = std::vector<int>(1000, EWOULDBLOCK);
  platform::DebugCapture debug;
  EXPECT_FALSE(backend->Hold("\\\\.\\PhysicalDrive4"));
  EXPECT_EQ(win::ERROR_SHARING_VIOLATION, win::GetLastError());
  EXPECT_TRUE(sys.openFds.empty());
  EXPECT_EQ(Names{"hold refused on /dev/sdd: another program keeps it locked"}, debug.Texts());
  EXPECT_FALSE(backend->Hold("\\\\.\\PhysicalDrive10"));
  // A flock the system cannot give at all is nobody's lock: not refused as held.
  sys.flockErrnos["/dev/sdd"] = {ENOLCK};
  win::SetLastError(0);
  EXPECT_FALSE(backend->Hold("\\\\.\\PhysicalDrive4"));
  EXPECT_NE(win::ERROR_SHARING_VIOLATION, win::GetLastError());
}

// Held, the job's opens of its disk take the hold's descriptor, by whatever
// path they name the disk, so the kernel's open-time medium check stays out of
// the job; a disk that has since taken the name, and the end of the hold, bring
// their own opens back.
TEST_F(Backend, AHeldDisksOpensTakeTheHoldsDescriptor) {
  sys.files["/proc/self/status"] = "CapEff:\t0000000000020000\n";
  backend = std::make_unique<LinuxDiskBackend>(sys);
  sys.dirs["/sys/block"] = {"sdb"};
  sys.files["/sys/block/sdb/dev"] = "8:16\n";
  sys.files["/sys/block/sdb/diskseq"] = "41\n";
  sys.diskSeqs["/dev/sdb"] = 41;
  auto hold = backend->Hold("/dev/disk/by-diskseq/41");
  ASSERT_TRUE(hold);
  const int held = sys.flocks.begin()->first;
  const std::size_t opens = sys.opens.size();
  std::vector<std::shared_ptr<IDeviceHandle>> handles;
  for (const char* path : {"/dev/disk/by-diskseq/41", "\\\\.\\PhysicalDrive2", "\\\\.\\E:"}) {
    SCOPED_TRACE(path);
    handles.push_back(Open(path));
    ASSERT_TRUE(handles.back());
    auto b = kxtest::Scsi(kxtest::Cdb({0x12}), win::SCSI_IOCTL_DATA_IN, nullptr, 0);
    win::DWORD got = 0;
    ASSERT_EQ(0u, handles.back()->IoControl(win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &b, sizeof b, &b, sizeof b, &got));
  }
  EXPECT_EQ(opens, sys.opens.size());
  EXPECT_EQ(3u, sys.sgCalls.size());

  sys.files["/sys/block/sdb/diskseq"] = "57\n";  // another disk named sdb
  Open("\\\\.\\PhysicalDrive2");
  EXPECT_EQ(opens + 1, sys.opens.size());
  sys.files["/sys/block/sdb/diskseq"] = "41\n";

  hold.reset();
  EXPECT_EQ(LOCK_UN, sys.flocks[held]);  // the lock goes with the hold, the descriptor with its last handle
  EXPECT_EQ(1u, sys.openFds.count(held));
  handles.clear();
  EXPECT_EQ(0u, sys.openFds.count(held));
  Open("\\\\.\\PhysicalDrive2");
  EXPECT_EQ(opens + 2, sys.opens.size());
}

TEST_F(Backend, DestructiveControlsRefuseDisksInUseAndSaySo) {
  sys.dirs["/sys/class/block/sdd/holders"] = {"dm-3"};
  struct Row {
    const char* path;
    win::DWORD control, error;
    const char* text;
  };
  const Row rows[] = {
      {"\\\\.\\D:", win::FSCTL_DISMOUNT_VOLUME, 5, "dismount refused on /dev/sda: the disk holds the system (/)"},
      {"\\\\.\\D:", win::FSCTL_LOCK_VOLUME, 5, "lock refused on /dev/sda: the disk holds the system (/)"},
      {"\\\\.\\PhysicalDrive1", win::IOCTL_DISK_DELETE_DRIVE_LAYOUT, 5,
       "delete layout refused on /dev/sda: the disk holds the system (/)"},
      {"/dev/sdc", win::IOCTL_DISK_DELETE_DRIVE_LAYOUT, 5,
       "delete layout refused on /dev/sdc: the disk holds the system (swap)"},
      {"\\\\.\\PhysicalDrive2", win::IOCTL_DISK_DELETE_DRIVE_LAYOUT, win::ERROR_BUSY,
       "delete layout refused on /dev/sdb: a partition is mounted at /media/data"},
      {"\\\\.\\PhysicalDrive4", win::IOCTL_DISK_DELETE_DRIVE_LAYOUT, win::ERROR_BUSY,
       "delete layout refused on /dev/sdd: a partition is in use"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    platform::DebugCapture debug;
    EXPECT_EQ(row.error, Control(*Open(row.path), row.control));
    EXPECT_EQ(Names{row.text}, debug.Texts());
  }
  EXPECT_TRUE(sys.umounts.empty());
  EXPECT_TRUE(sys.writes.empty());
  EXPECT_TRUE(sys.rereads.empty());
}

TEST_F(Backend, DeleteLayoutZeroesTheFirstAndLast34SectorsUnderAnExclusiveClaim) {
  const std::uint64_t size = 128ull << 30;
  ASSERT_EQ(0u, Control(*Open("\\\\.\\PhysicalDrive4"), win::IOCTL_DISK_DELETE_DRIVE_LAYOUT));
  ASSERT_EQ(2u, sys.writes.size());
  for (const FakeSys::Write& w : sys.writes) {
    EXPECT_EQ("/dev/sdd", w.path);
    EXPECT_TRUE(w.zeros);
    EXPECT_EQ(17408u, w.length);
  }
  EXPECT_EQ(0u, sys.writes[0].offset);
  EXPECT_EQ(size - 17408, sys.writes[1].offset);
  EXPECT_EQ(1, sys.fsyncs);
  EXPECT_EQ(Names{"/dev/sdd"}, sys.rereads);
  EXPECT_EQ(O_EXCL, sys.opens.back().second & O_EXCL);
  EXPECT_TRUE(sys.openFds.empty());

  // 4 KiB sectors: 34 of them at each end, here more than the whole disk holds.
  sys.writes.clear();
  sys.sectorSizes["/dev/sdd"] = 4096;
  sys.sizes["/dev/sdd"] = 40 * 4096;
  ASSERT_EQ(0u, Control(*Open("\\\\.\\PhysicalDrive4"), win::IOCTL_DISK_DELETE_DRIVE_LAYOUT));
  std::uint64_t cleared = 0;
  for (const FakeSys::Write& w : sys.writes) cleared += w.length;
  EXPECT_EQ(40u * 4096, cleared);
}

TEST(RawIoCapability, ReadFromTheEffectiveSet) {
  FakeSys sys;
  EXPECT_FALSE(HasRawIoCapability(sys));  // no status file
  sys.files["/proc/self/status"] = "Name:\tkxmp\nCapPrm:\t0000000000020000\nCapEff:\t0000000000000000\n";
  EXPECT_FALSE(HasRawIoCapability(sys));
  sys.files["/proc/self/status"] = "Name:\tkxmp\nCapEff:\t000001ffffffffff\n";
  EXPECT_TRUE(HasRawIoCapability(sys));
}

}  // namespace
