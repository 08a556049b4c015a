// The real-disk listing (which disks, in which order, how the record is filled)
// and disk notifications.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/DeviceNotify.h"
#include "platform/RootDevice.h"
#include "platform/linux/DeviceListing.h"
#include "platform/linux/Hotplug.h"
#include "tests/platform/linux/FakeSys.h"

using namespace platform;
using kxtest::FakeSys;

namespace {

// One port kind, by ID_PATH, in port order, never the system disk.
TEST(RealDiskListing, SelectsOnePortKindInPortOrderWithoutTheSystemDisk) {
  FakeSys sys;
  sys.AddDisk("sda", 8, 0, 1ull << 30, {1});
  sys.AddMount("8:1", "/", "/dev/sda1");
  const std::vector<RealDisk> all = {
      {"sda", "/dev/sda", "pci-0000:00:17.0-ata-1"},  // the system disk
      {"sdc", "/dev/sdc", "pci-0000:00:17.0-ata-4"},
      {"sdb", "/dev/sdb", "pci-0000:00:1f.2-ata-1.0"},
      {"sdd", "/dev/sdd", "pci-0000:00:14.0-usb-0:3:1.0-scsi-0:0:0:0"},
      {"sde", "/dev/sde", "pci-0000:00:14.0-usb-0:1:1.0-scsi-0:0:0:0"},
      {"sdf", "/dev/sdf", "pci-0000:03:00.0-sas-phy2-lun-0"},
      {"sdg", "/dev/sdg", ""},  // no port path: cannot be mapped to a port
  };
  auto nodes = [&](DiskPort port) {
    std::vector<std::string> n;
    for (const RealDisk& d : SelectDisks(sys, all, port)) n.push_back(d.node);
    return n;
  };
  EXPECT_EQ((std::vector<std::string>{"/dev/sdc", "/dev/sdb"}), nodes(DiskPort::Sata));
  EXPECT_EQ((std::vector<std::string>{"/dev/sde", "/dev/sdd"}), nodes(DiskPort::Usb));
}

TEST(RealDiskListing, RecordHoldsCountAndEntriesAndNothingStale) {
  kx::RootDeviceRecord rec;
  rec.SetRequest(1);
  for (std::size_t i = 0; i < 5; ++i) rec.SetEntry(i, "old", "/dev/old");
  FillRootDevice(rec.bytes.data(),
                 {{"sdb", "/dev/sdb", "pci-0000:00:17.0-ata-2"}, {"sdc", "/dev/sdc", std::string(300, 'x')}});
  EXPECT_EQ(2u, rec.Count());
  EXPECT_EQ(1, rec.Request());
  EXPECT_EQ("pci-0000:00:17.0-ata-2", rec.Node(0));
  EXPECT_EQ("/dev/sdb", rec.Path(0));
  EXPECT_EQ(std::string(259, 'x'), rec.Node(1));  // cut to fit, still terminated
  EXPECT_EQ("/dev/sdc", rec.Path(1));
  EXPECT_EQ("", rec.Node(2));
  EXPECT_EQ("", rec.Path(4));

  std::vector<RealDisk> many(140, RealDisk{"sdz", "/dev/sdz", "pci-x-ata-1"});
  FillRootDevice(rec.bytes.data(), many);
  EXPECT_EQ(128u, rec.Count());
  EXPECT_EQ("/dev/sdz", rec.Path(127));
}

TEST(DiskNotifications, UeventsOfWholeScsiDisksOnly) {
  DiskNotification n;
  ASSERT_TRUE(DiskNotificationFromUevent("remove", "sdab", "", "pci-0000:00:17.0-ata-2", n));
  EXPECT_EQ(DiskChange::Removal, n.change);
  EXPECT_EQ("/dev/sdab", n.devicePath);  // a removal may come without its node
  EXPECT_EQ("pci-0000:00:17.0-ata-2", n.nodeName);
  const std::pair<const char*, const char*> ignored[] = {{"change", "sdb"}, {"add", "sdb1"}, {"add", "nvme0n1"}};
  for (const auto& [action, name] : ignored) {
    EXPECT_FALSE(DiskNotificationFromUevent(action, name, std::string("/dev/") + name, "", n)) << action << " " << name;
  }
}

TEST(DiskNotifications, DeliveredInOrderAndUnregisteringIsSafe) {
  std::vector<std::string> seen;
  int second = 0;
  const int a = RegisterDiskNotification([&](const DiskNotification& n) {
    seen.push_back("a:" + n.devicePath);
    throw 1;  // a failing receiver does not stop the others
  });
  second = RegisterDiskNotification([&](const DiskNotification& n) {
    seen.push_back("b:" + n.devicePath);
    UnregisterDiskNotification(second);  // from inside its own call
  });
  RaiseDiskNotification({DiskChange::Arrival, "/dev/sdb", ""});
  RaiseDiskNotification({DiskChange::Removal, "/dev/sdc", ""});
  UnregisterDiskNotification(a);
  RaiseDiskNotification({DiskChange::Removal, "/dev/sdd", ""});
  EXPECT_EQ((std::vector<std::string>{"a:/dev/sdb", "b:/dev/sdb", "a:/dev/sdc"}), seen);
}

TEST(DiskNotifications, UnregisterWaitsForACallbackInProgress) {
  std::atomic<bool> entered{false}, done{false};
  const int id = RegisterDiskNotification([&](const DiskNotification&) {
    entered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    done = true;
  });
  std::thread raiser([] { RaiseDiskNotification({DiskChange::Arrival, "/dev/sdb", ""}); });
  while (!entered) std::this_thread::yield();
  UnregisterDiskNotification(id);
  EXPECT_TRUE(done);
  raiser.join();
}

}  // namespace
