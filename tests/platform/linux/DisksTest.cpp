// Disk numbering, mount reading, volume letters and the disk and volume controls
// of the real-disk back end, on a fake machine.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <sstream>

#include "platform/Debug.h"
#include "platform/linux/DiskBackend.h"
#include "platform/linux/Disks.h"
#include "tests/platform/linux/FakeSys.h"

using namespace platform;
using namespace platform::linuxdisk;
using kxtest::FakeSys;

namespace {

TEST(DiskNumbering, KernelIndexOfTheSdName) {
  EXPECT_EQ(0, DiskIndexFromName("sda"));
  EXPECT_EQ(25, DiskIndexFromName("sdz"));
  EXPECT_EQ(26, DiskIndexFromName("sdaa"));
  EXPECT_EQ(701, DiskIndexFromName("sdzz"));
  EXPECT_EQ(702, DiskIndexFromName("sdaaa"));
  for (int i = 0; i < 20000; ++i) ASSERT_EQ(i, DiskIndexFromName(DiskNameFromIndex(i))) << i;
  for (const char* bad : {"sd", "sd1", "hda", "sdA", "nvme0n1", "sda1", "sdb-", "sdaaaaa"}) {
    EXPECT_EQ(-1, DiskIndexFromName(bad)) << bad;
  }
  std::string disk;
  int part = -1;
  ASSERT_TRUE(SplitSdName("sdab12", disk, part));
  EXPECT_EQ("sdab", disk);
  EXPECT_EQ(12, part);
  ASSERT_TRUE(SplitSdName("sdc", disk, part));
  EXPECT_EQ(0, part);
  EXPECT_FALSE(SplitSdName("sdc0", disk, part));
  EXPECT_FALSE(SplitSdName("dm-0", disk, part));
  EXPECT_FALSE(SplitSdName("sdc123456", disk, part));
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

TEST_F(Machine, MountsAreReadByDeviceNumberAndEscapesUndone) {
  sys.AddMount("8:48", "/media/my\\040disk", "/dev/sdd");
  const auto mounts = ReadMounts(sys);
  ASSERT_EQ(6u, mounts.size());
  EXPECT_EQ("dm-0", mounts[0].device);
  EXPECT_EQ("/", mounts[0].mountPoint);
  EXPECT_EQ("", mounts[2].device);  // proc
  EXPECT_EQ("sdb2", mounts[4].device);
  EXPECT_EQ("sdd", mounts[5].device);
  EXPECT_EQ("/media/my disk", mounts[5].mountPoint);
  EXPECT_EQ(std::vector<std::string>{"sdc1"}, ReadSwapDevices(sys));
}

TEST_F(Machine, SystemDisksAreFoundThroughDeviceMapperAndSwap) {
  EXPECT_EQ("/", InspectDisk(sys, "sda").systemUse);
  EXPECT_TRUE(InspectDisk(sys, "sda").held);
  EXPECT_EQ("swap", InspectDisk(sys, "sdc").systemUse);
  const auto b = InspectDisk(sys, "sdb");
  EXPECT_EQ("", b.systemUse);
  EXPECT_EQ((std::vector<std::string>{"/media/data", "/media/data/inner"}), b.mountPoints);
  EXPECT_FALSE(b.held);
  const auto d = InspectDisk(sys, "sdd");
  EXPECT_EQ("", d.systemUse);
  EXPECT_TRUE(d.mountPoints.empty());

  for (const char* mp : {"/", "/boot", "/boot/efi", "/usr", "/var/lib", "/home"}) EXPECT_TRUE(IsSystemMountPoint(mp)) << mp;
  for (const char* mp : {"/media/x", "/mnt", "/variable", "/usrdata"}) EXPECT_FALSE(IsSystemMountPoint(mp)) << mp;
}

TEST_F(Machine, VolumeLettersStartAtDAndStayWhileMounted) {
  VolumeLetters letters;
  letters.Refresh(sys);
  // sda1 (/boot), sdb1, sdb2 are SCSI partitions; dm-0 and proc are not.
  VolumeLetters::Volume v;
  ASSERT_TRUE(letters.Find('D', v));
  EXPECT_EQ("sda1", v.device);
  ASSERT_TRUE(letters.Find('e', v));
  EXPECT_EQ("sdb1", v.device);
  EXPECT_EQ("sdb", v.disk);
  EXPECT_EQ(1, v.partition);
  ASSERT_TRUE(letters.Find('F', v));
  EXPECT_EQ("sdb2", v.device);
  EXPECT_EQ((1u << 3) | (1u << 4) | (1u << 5), letters.Mask());

  // sdb1 goes away: F keeps sdb2; a new mount takes the free E.
  const std::string all = sys.files["/proc/self/mountinfo"];
  std::string without;
  std::istringstream lines(all);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" 8:17 ") == std::string::npos) without += line + "\n";
  }
  sys.files["/proc/self/mountinfo"] = without;
  sys.AddMount("8:48", "/media/d", "/dev/sdd");
  letters.Refresh(sys);
  ASSERT_TRUE(letters.Find('F', v));
  EXPECT_EQ("sdb2", v.device);
  ASSERT_TRUE(letters.Find('E', v));
  EXPECT_EQ("sdd", v.device);
  EXPECT_EQ(0, v.partition);
  EXPECT_FALSE(letters.Find('G', v));
}

struct Backend : Machine {
  std::unique_ptr<LinuxDiskBackend> backend;
  void SetUp() override {
    Machine::SetUp();
    backend = std::make_unique<LinuxDiskBackend>(sys);
  }
  std::shared_ptr<IDeviceHandle> Open(const std::string& path, win::DWORD access = win::GENERIC_READ | win::GENERIC_WRITE) {
    std::shared_ptr<IDeviceHandle> h;
    EXPECT_TRUE(backend->Claims(path)) << path;
    const win::DWORD err = backend->Open(path, access, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, h);
    EXPECT_EQ(0u, err) << path;
    return h;
  }
  win::DWORD Control(IDeviceHandle& h, win::DWORD code) {
    win::DWORD got = 0;
    return h.IoControl(code, nullptr, 0, nullptr, 0, &got);
  }
  win::STORAGE_DEVICE_NUMBER Number(IDeviceHandle& h) {
    win::STORAGE_DEVICE_NUMBER n;
    win::DWORD got = 0;
    EXPECT_EQ(0u, h.IoControl(win::IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &got));
    EXPECT_EQ(sizeof n, got);
    return n;
  }
};

TEST_F(Backend, PathsOpenTheRightNodeWithTheRightAccess) {
  auto h = Open("\\\\.\\PhysicalDrive1");
  EXPECT_EQ("/dev/sdb", sys.opens.back().first);
  EXPECT_EQ(O_RDWR, sys.opens.back().second & O_ACCMODE);
  EXPECT_EQ(1u, Number(*h).DeviceNumber);
  EXPECT_EQ(0u, Number(*h).PartitionNumber);

  Open("\\\\.\\physicaldrive3", 0);  // a query-only open reads
  EXPECT_EQ("/dev/sdd", sys.opens.back().first);
  EXPECT_EQ(O_RDONLY, sys.opens.back().second & O_ACCMODE);
  // With CAP_SYS_RAWIO every command passes a read-only descriptor: no write
  // open, so no udev re-probe after each command.
  sys.files["/proc/self/status"] = "CapEff:\t0000000000020000\n";
  LinuxDiskBackend privileged(sys);
  std::shared_ptr<IDeviceHandle> p;
  ASSERT_EQ(0u, privileged.Open("\\\\.\\PhysicalDrive3", win::GENERIC_READ | win::GENERIC_WRITE, 0, p));
  EXPECT_EQ("/dev/sdd", sys.opens.back().first);
  EXPECT_EQ(O_RDONLY, sys.opens.back().second & O_ACCMODE);

  // A udev link as the device listing may give it, and an sg node.
  sys.realPaths["/dev/disk/by-path/pci-0000:00:1f.2-ata-2"] = "/dev/sdb";
  EXPECT_EQ(1u, Number(*Open("/dev/disk/by-path/pci-0000:00:1f.2-ata-2")).DeviceNumber);
  sys.nodes.insert("/dev/sg3");
  sys.dirs["/sys/class/scsi_generic/sg3/device/block"] = {"sdd"};
  auto sg = Open("/dev/sg3");
  EXPECT_EQ("/dev/sg3", sys.opens.back().first);
  EXPECT_EQ(3u, Number(*sg).DeviceNumber);

  std::shared_ptr<IDeviceHandle> none;
  EXPECT_EQ(win::ERROR_FILE_NOT_FOUND, backend->Open("\\\\.\\PhysicalDrive9", 0, 0, none));
  EXPECT_EQ(win::ERROR_FILE_NOT_FOUND, backend->Open("/dev/nvme0n1", 0, 0, none));
  EXPECT_EQ(win::ERROR_FILE_NOT_FOUND, backend->Open("\\\\.\\Q:", 0, 0, none));
  sys.openErrno["/dev/sdc"] = EACCES;
  EXPECT_EQ(win::ERROR_ACCESS_DENIED, backend->Open("\\\\.\\PhysicalDrive2", 0, 0, none));
  EXPECT_FALSE(backend->Claims("C:\\MP_SSD_NODE\\AutoMapping.ini"));
  EXPECT_FALSE(backend->Claims("\\\\.\\PhysicalDrive"));
}

TEST_F(Backend, VolumesAnswerWithTheirDisksNumberAndShowAsLetters) {
  const win::DWORD mask = backend->LogicalDrives();
  EXPECT_EQ((1u << 3) | (1u << 4) | (1u << 5), mask);
  sys.files["/sys/block/sdb/removable"] = "1\n";
  EXPECT_EQ(win::DRIVE_REMOVABLE, backend->DriveType('E'));
  EXPECT_EQ(win::DRIVE_FIXED, backend->DriveType('D'));
  EXPECT_EQ(win::DRIVE_NO_ROOT_DIR, backend->DriveType('K'));
  auto v = Open("\\\\.\\F:");
  EXPECT_EQ("/dev/sdb", sys.opens.back().first);  // the disk, never the partition
  const auto n = Number(*v);
  EXPECT_EQ(1u, n.DeviceNumber);
  EXPECT_EQ(2u, n.PartitionNumber);
}

TEST_F(Backend, LockIsAnExclusiveClaimHeldUntilUnlockOrClose) {
  auto h = Open("\\\\.\\PhysicalDrive3");
  EXPECT_EQ(158u, Control(*h, win::FSCTL_UNLOCK_VOLUME));
  ASSERT_EQ(0u, Control(*h, win::FSCTL_LOCK_VOLUME));
  EXPECT_EQ("/dev/sdd", sys.opens.back().first);
  EXPECT_TRUE(sys.opens.back().second & O_EXCL);
  EXPECT_EQ(2u, sys.openFds.size());
  EXPECT_EQ(0u, Control(*h, win::FSCTL_UNLOCK_VOLUME));
  EXPECT_EQ(1u, sys.openFds.size());
  ASSERT_EQ(0u, Control(*h, win::FSCTL_LOCK_VOLUME));
  h.reset();
  EXPECT_TRUE(sys.openFds.empty());  // closing releases the claim too

  // The kernel refuses the claim while a partition is mounted.
  sys.exclusiveBusy.insert("/dev/sdb");
  auto v = Open("\\\\.\\E:");
  EXPECT_EQ(win::ERROR_ACCESS_DENIED, Control(*v, win::FSCTL_LOCK_VOLUME));
}

TEST_F(Backend, DismountUnmountsTheVolumesDiskAndIsIgnoredOnDiskHandles) {
  auto disk = Open("\\\\.\\PhysicalDrive1");
  EXPECT_EQ(0u, Control(*disk, win::FSCTL_DISMOUNT_VOLUME));
  EXPECT_TRUE(sys.umounts.empty());

  auto v = Open("\\\\.\\E:");
  ASSERT_EQ(0u, Control(*v, win::FSCTL_DISMOUNT_VOLUME));
  EXPECT_EQ((std::vector<std::string>{"/media/data/inner", "/media/data"}), sys.umounts);

  sys.umounts.clear();
  sys.umountErrno["/media/data/inner"] = EBUSY;
  EXPECT_EQ(win::ERROR_BUSY, Control(*v, win::FSCTL_DISMOUNT_VOLUME));
}

TEST_F(Backend, DestructiveControlsRefuseTheSystemDisks) {
  auto boot = Open("\\\\.\\D:");  // /boot on sda
  EXPECT_EQ(win::ERROR_ACCESS_DENIED, Control(*boot, win::FSCTL_DISMOUNT_VOLUME));
  EXPECT_EQ(win::ERROR_ACCESS_DENIED, Control(*boot, win::IOCTL_DISK_DELETE_DRIVE_LAYOUT));
  auto sda = Open("\\\\.\\PhysicalDrive0");
  EXPECT_EQ(win::ERROR_ACCESS_DENIED, Control(*sda, win::IOCTL_DISK_DELETE_DRIVE_LAYOUT));
  auto swapDisk = Open("/dev/sdc");
  EXPECT_EQ(win::ERROR_ACCESS_DENIED, Control(*swapDisk, win::IOCTL_DISK_DELETE_DRIVE_LAYOUT));
  // A data disk with a mounted partition is refused too, as busy.
  auto sdb = Open("\\\\.\\PhysicalDrive1");
  EXPECT_EQ(win::ERROR_BUSY, Control(*sdb, win::IOCTL_DISK_DELETE_DRIVE_LAYOUT));
  // A partition held by device mapper, without any mount.
  sys.dirs["/sys/class/block/sdd/holders"] = {"dm-3"};
  auto sdd = Open("\\\\.\\PhysicalDrive3");
  EXPECT_EQ(win::ERROR_BUSY, Control(*sdd, win::IOCTL_DISK_DELETE_DRIVE_LAYOUT));
  EXPECT_TRUE(sys.umounts.empty());
  EXPECT_TRUE(sys.writes.empty());
  EXPECT_TRUE(sys.rereads.empty());
}

TEST_F(Backend, RefusalsAreWrittenToTheDebugOutput) {
  struct Row {
    const char* path;
    win::DWORD control;
    const char* text;
  };
  const Row rows[] = {
      {"\\\\.\\D:", win::FSCTL_DISMOUNT_VOLUME, "dismount refused on /dev/sda: the disk holds the system (/)"},
      {"\\\\.\\PhysicalDrive1", win::IOCTL_DISK_DELETE_DRIVE_LAYOUT,
       "delete layout refused on /dev/sdb: a partition is mounted at /media/data"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    platform::DebugCapture debug;
    auto h = Open(row.path);
    Control(*h, row.control);
    EXPECT_EQ(std::vector<std::string>{row.text}, debug.Texts());
  }
}

TEST_F(Backend, DeleteLayoutClearsBothTableAreasOfThatDiskOnly) {
  auto sdd = Open("\\\\.\\PhysicalDrive3");
  const std::uint64_t size = 128ull << 30;
  ASSERT_EQ(0u, Control(*sdd, win::IOCTL_DISK_DELETE_DRIVE_LAYOUT));
  std::uint64_t head = 0, tail = 0;
  for (const auto& w : sys.writes) {
    EXPECT_EQ("/dev/sdd", w.path);
    EXPECT_TRUE(w.zeros);
    if (w.offset < size / 2) {
      EXPECT_EQ(head, w.offset);
      head += w.length;
    } else {
      EXPECT_EQ(size - 34 * 512 + tail, w.offset);
      tail += w.length;
    }
  }
  EXPECT_EQ(34u * 512, head);
  EXPECT_EQ(34u * 512, tail);
  EXPECT_EQ(1, sys.fsyncs);
  EXPECT_EQ(std::vector<std::string>{"/dev/sdd"}, sys.rereads);
  // The writing descriptor was an exclusive one, and it is gone.
  EXPECT_TRUE(std::any_of(sys.opens.begin(), sys.opens.end(),
                          [](const auto& o) { return o.first == "/dev/sdd" && (o.second & O_EXCL); }));
  EXPECT_EQ(1u, sys.openFds.size());

  // 4 KiB sectors: the same 34 sectors, of the larger size; a tiny disk is cleared whole.
  sys.writes.clear();
  sys.sectorSizes["/dev/sdd"] = 4096;
  sys.sizes["/dev/sdd"] = 40 * 4096;
  ASSERT_EQ(0u, Control(*sdd, win::IOCTL_DISK_DELETE_DRIVE_LAYOUT));
  std::uint64_t total = 0;
  for (const auto& w : sys.writes) total += w.length;
  EXPECT_EQ(40u * 4096, total);
}

TEST_F(Backend, GeometryFromTheDisk) {
  auto v = Open("\\\\.\\E:");
  win::DISK_GEOMETRY_EX g;
  win::DWORD got = 0;
  ASSERT_EQ(0u, v->IoControl(win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &g, sizeof g, &got));
  EXPECT_EQ(static_cast<std::int64_t>(64ull << 30), g.DiskSize);
  EXPECT_EQ(512u, g.Geometry.BytesPerSector);
  EXPECT_EQ(sizeof g, got);
  EXPECT_EQ(win::ERROR_INSUFFICIENT_BUFFER, v->IoControl(win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &g, 24, &got));
  // A short request block is refused before anything is sent.
  win::ScsiPassThroughDirectBlock b;
  EXPECT_EQ(win::ERROR_INVALID_PARAMETER, v->IoControl(win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &b, 80, &b, 80, &got));
  EXPECT_TRUE(sys.sgCalls.empty());
}

TEST(RawIoCapability, ReadFromTheEffectiveSet) {
  FakeSys sys;
  sys.files["/proc/self/status"] = "Name:\tkxmp\nCapPrm:\t0000000000020000\nCapEff:\t0000000000000000\n";
  EXPECT_FALSE(HasRawIoCapability(sys));
  sys.files["/proc/self/status"] = "Name:\tkxmp\nCapEff:\t0000000000020000\n";
  EXPECT_TRUE(HasRawIoCapability(sys));
  sys.files["/proc/self/status"] = "Name:\tkxmp\nCapEff:\t000001ffffffffff\n";
  EXPECT_TRUE(HasRawIoCapability(sys));
  sys.files.clear();
  EXPECT_FALSE(HasRawIoCapability(sys));
}

}  // namespace
