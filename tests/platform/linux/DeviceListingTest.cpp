// The real-disk listing (which ports, in which order, how the record is filled)
// and disk notifications.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/DeviceNotify.h"
#include "platform/RootDevice.h"
#include "platform/linux/DeviceListing.h"
#include "platform/linux/Hotplug.h"
#include "platform/linux/Disks.h"
#include "tests/platform/TempDir.h"
#include "tests/platform/linux/FakeSys.h"

using namespace platform;
using kxtest::FakeSys;
namespace fs = std::filesystem;

namespace {

// A machine's /sys and /proc built in a scratch folder: controllers, hubs and
// the disks on them, as the kernel lays them out.
class SysTree {
 public:
  SysTree() : machine_(RealSysCalls(), dir_.path()) {}
  ISysCalls& Machine() { return machine_; }

  // An AHCI controller whose ports ata<first>... are numbered 1 up on it.
  std::string Ahci(const std::string& pci, int firstAta, int ports) {
    const std::string folder = "/sys/devices/pci0000:00/" + pci;
    for (int i = 0; i < ports; ++i) {
      const std::string ata = "ata" + std::to_string(firstAta + i);
      fs::create_directories(dir_ / (folder + "/" + ata).substr(1));
      Put("/sys/class/ata_port/" + ata + "/port_no", std::to_string(i + 1) + "\n");
    }
    return folder;
  }
  // A hub (or a USB device without ports) in a port of the hub at that folder.
  std::string Hub(const std::string& parent, const std::string& device, int ports) {
    const std::string folder = parent + "/" + device;
    Put(folder + "/maxchild", std::to_string(ports) + "\n");
    return folder;
  }
  // A SuperSpeed root hub whose port k is one connector with port peers[k-1]
  // of the high-speed root hub beside it.
  std::string SuperSpeedRoot(const std::string& controller, int bus, int highSpeedBus, std::vector<int> peers) {
    const std::string root = Hub(controller, "usb" + std::to_string(bus), static_cast<int>(peers.size()));
    Put(root + "/speed", "5000\n");
    const std::string b = std::to_string(bus), hs = std::to_string(highSpeedBus);
    for (std::size_t k = 1; k <= peers.size(); ++k) {
      const fs::path port = dir_ / (root + "/" + b + "-0:1.0/usb" + b + "-port" + std::to_string(k)).substr(1);
      fs::create_directories(port);
      fs::create_symlink("../../../usb" + hs + "/" + hs + "-0:1.0/usb" + hs + "-port" + std::to_string(peers[k - 1]),
                         port / "peer");
    }
    return root;
  }
  // The high-speed root hub beside a SuperSpeed one, as a real kernel shows it:
  // with its own speed (480), and its port peers[k-1] linked back to the
  // SuperSpeed root hub's port k.
  std::string HighSpeedRoot(const std::string& controller, int bus, int superSpeedBus, std::vector<int> peers) {
    const std::string root = Hub(controller, "usb" + std::to_string(bus), static_cast<int>(peers.size()));
    Put(root + "/speed", "480\n");
    const std::string b = std::to_string(bus), ss = std::to_string(superSpeedBus);
    for (std::size_t k = 1; k <= peers.size(); ++k) {
      const fs::path port =
          dir_ / (root + "/" + b + "-0:1.0/usb" + b + "-port" + std::to_string(peers[k - 1])).substr(1);
      fs::create_directories(port);
      fs::create_symlink("../../../usb" + ss + "/" + ss + "-0:1.0/usb" + ss + "-port" + std::to_string(k),
                         port / "peer");
    }
    return root;
  }
  // A disk at SCSI address H:0:0:<lun> of an ATA port or a USB device.
  void Disk(const std::string& port, const std::string& name, int seq, int lun = 0) {
    const std::string h = std::to_string(++host_);
    std::string under = port;
    if (port.find("/ata") == std::string::npos) under += port.substr(port.rfind('/')) + ":1.0";
    const std::string folder =
        under + "/host" + h + "/target" + h + ":0:0/" + h + ":0:0:" + std::to_string(lun) + "/block/" + name;
    Put(folder + "/diskseq", std::to_string(seq) + "\n");
    fs::create_directories(dir_ / "sys/block");
    fs::create_symlink(".." + folder.substr(4), dir_ / ("sys/block/" + name));
  }
  // A system file system on the disk's first partition.
  void CarriesSystem(const std::string& name, const std::string& mountPoint = "/") {
    const std::string number = "8:" + std::to_string(++mounts_);
    fs::create_directories(dir_ / "sys/dev/block");
    fs::create_symlink("../../devices/x/block/" + name + "/" + name + "1", dir_ / ("sys/dev/block/" + number));
    mountinfo_ += "2" + std::to_string(mounts_) + " 1 " + number + " / " + mountPoint + " rw - ext4 /dev/" + name + "1 rw\n";
    Put("/proc/self/mountinfo", mountinfo_);
  }
  // The program's folders as the listing is given them (none unless a test says).
  std::vector<std::string> programFolders;
  std::vector<std::string> Nodes(DiskPort kind) { return column(kind, &PortEntry::node); }
  std::vector<std::string> Paths(DiskPort kind) { return column(kind, &PortEntry::path); }

 private:
  void Put(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(dir_ / path.substr(1)).parent_path());
    kxtest::writeRaw(dir_ / path.substr(1), text);
  }
  std::vector<std::string> column(DiskPort kind, std::string PortEntry::*field) {
    std::vector<std::string> v;
    for (const PortEntry& e : ListPorts(machine_, kind, programFolders)) v.push_back(e.*field);
    return v;
  }
  kxtest::TempDir dir_;
  SysCallsUnder machine_;
  int host_ = 0, mounts_ = 0;
  std::string mountinfo_;
};

// Every port of a controller with a disk to take, in number order (ata-2 before
// ata-10), empty ones as NULL, the system disk's port left out, and so the
// port of a disk holding one of the program's folders (a log disk at /data),
// but not a station drive mounted elsewhere (also at a mount point whose name
// begins as a program folder's); neither a controller with only a system disk
// nor other kinds of port. A controller on an add-in card is named by itself,
// not by the bridge it sits behind.
TEST(RealPortListing, SataPortsInNumberOrderWithoutTheSystemsOrTheProgramsDisksPorts) {
  SysTree tree;
  const std::string ahci = tree.Ahci("0000:00:1f.2", 1, 12);
  tree.Disk(ahci + "/ata1", "sda", 3);
  tree.CarriesSystem("sda");
  tree.Disk(ahci + "/ata2", "sdb", 5);
  tree.Disk(ahci + "/ata3", "sdj", 7);
  tree.CarriesSystem("sdj", "/data");
  tree.Disk(ahci + "/ata10", "sdc", 9);
  tree.CarriesSystem("sdc", "/media/op/KX");
  tree.programFolders = {"/home/op/kxmp", "/data/Logs/W01", "/media/op/KXdata"};
  tree.Disk(tree.Ahci("0000:03:00.0", 13, 2) + "/ata13", "sdh", 4);
  tree.CarriesSystem("sdh", "/boot");
  tree.Disk(tree.Ahci("0000:00:1c.0/0000:05:00.0", 15, 2) + "/ata16", "sdi", 6);
  tree.Disk("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1", "sdd", 11);
  tree.Hub("/sys/devices/pci0000:00/0000:00:14.0/usb1", "1-1", 0);
  tree.Disk("/sys/devices/pci0000:00/0000:02:00.0/host9/port-9:0/end_device-9:0", "sde", 12);  // SAS

  std::vector<std::string> nodes, paths;
  for (int port = 2; port <= 12; ++port) {
    if (port == 3) continue;
    nodes.push_back("pci-0000:00:1f.2-ata-" + std::to_string(port));
    paths.push_back(port == 2 ? "/dev/disk/by-diskseq/5" : port == 10 ? "/dev/disk/by-diskseq/9" : "NULL");
  }
  nodes.insert(nodes.end(), {"pci-0000:05:00.0-ata-1", "pci-0000:05:00.0-ata-2"});
  paths.insert(paths.end(), {"NULL", "/dev/disk/by-diskseq/6"});
  EXPECT_EQ(nodes, tree.Nodes(DiskPort::Sata));
  EXPECT_EQ(paths, tree.Paths(DiskPort::Sata));
}

// Hub ports by their port path as numbers; a hub with a disk on it in the place
// of its port; an empty hub's port, an empty port, and both halves of a USB 3
// hub as one port each. A card reader's units past the first are no disk to take.
TEST(RealPortListing, UsbHubPortsInPathOrderWithDownstreamHubsInPlace) {
  SysTree tree;
  const std::string xhci = "/sys/devices/pci0000:00/0000:00:14.0";
  const std::string root = tree.Hub(xhci, "usb1", 4);
  tree.Hub(xhci, "usb2", 4);
  tree.Disk(tree.Hub(root, "1-1", 0), "sdb", 10);
  const std::string hub = tree.Hub(root, "1-2", 10);
  tree.Disk(tree.Hub(hub, "1-2.1", 0), "sdc", 11);
  tree.Disk(tree.Hub(hub, "1-2.10", 0), "sdd", 12);
  tree.Disk(tree.Hub(tree.Hub(hub, "1-2.3", 4), "1-2.3.2", 0), "sde", 13);
  tree.Hub(hub, "1-2.5", 4);  // a hub without disks: an empty port
  tree.Disk(tree.Hub(hub, "1-2.7", 0), "sdf", 14);
  tree.CarriesSystem("sdf");
  const std::string superSpeed = tree.Hub(xhci + "/usb2", "2-2", 4);
  tree.Disk(tree.Hub(superSpeed, "2-2.4", 0), "sdg", 15);
  tree.Disk(tree.Hub(root, "1-4", 0), "sdh", 16, 1);

  std::vector<std::string> nodes;
  for (const char* port : {"1", "2.1", "2.2", "2.3.1", "2.3.2", "2.3.3", "2.3.4", "2.4", "2.5", "2.6", "2.8", "2.9",
                           "2.10", "3", "4"}) {
    nodes.push_back(std::string("pci-0000:00:14.0-usb-0:") + port);
  }
  EXPECT_EQ(nodes, tree.Nodes(DiskPort::Usb));
  const std::string seq = "/dev/disk/by-diskseq/", none = "NULL";
  EXPECT_EQ((std::vector<std::string>{seq + "10", seq + "11", none, none, seq + "13", none, none, seq + "15", none, none,
                                      none, none, seq + "12", none, none}),
            tree.Paths(DiskPort::Usb));
  EXPECT_TRUE(tree.Nodes(DiskPort::Sata).empty());
}

// Two USB 3 hubs on root ports paired crosswise (hub A on high-speed 1 and
// SuperSpeed 3, hub B on high-speed 3 and SuperSpeed 1), a USB 3 bridge and a
// USB 2 bridge in each: every disk is listed, and a bay has one node whichever
// bridge is in it. Also where the high-speed root hub has its own speed and
// its ports link back to their SuperSpeed halves, as on a real kernel: only a
// SuperSpeed root port takes its peer's number (numbered by their peers, the
// high-speed ports would swap the two hubs' USB 2 bridges).
TEST(RealPortListing, AUsbBayHasOneNodeAtEitherSpeed) {
  const auto listing = [](int usb3Bay, bool peersBack) {
    SysTree tree;
    const std::string xhci = "/sys/devices/pci0000:00/0000:00:14.0";
    const std::string high = peersBack ? tree.HighSpeedRoot(xhci, 1, 2, {3, 4, 1, 2}) : tree.Hub(xhci, "usb1", 4);
    const std::string super = tree.SuperSpeedRoot(xhci, 2, 1, {3, 4, 1, 2});
    const std::string hubs[2][2] = {{tree.Hub(high, "1-1", 4), tree.Hub(super, "2-3", 4)},
                                    {tree.Hub(high, "1-3", 4), tree.Hub(super, "2-1", 4)}};
    int seq = 10;
    for (const auto& hub : hubs) {
      for (int bay : {1, 2}) {
        const std::string& half = hub[bay == usb3Bay];
        const std::string device = half.substr(half.rfind('/') + 1) + "." + std::to_string(bay);
        tree.Disk(tree.Hub(half, device, 0), "sd" + std::string(1, static_cast<char>('a' + seq - 10)), seq);
        ++seq;
      }
    }
    return std::pair{tree.Nodes(DiskPort::Usb), tree.Paths(DiskPort::Usb)};
  };
  std::vector<std::string> nodes;
  for (const char* port : {"1.1", "1.2", "1.3", "1.4", "3.1", "3.2", "3.3", "3.4"})
    nodes.push_back(std::string("pci-0000:00:14.0-usb-0:") + port);
  const std::string seq = "/dev/disk/by-diskseq/", none = "NULL";
  const std::vector<std::string> paths = {seq + "10", seq + "11", none, none, seq + "12", seq + "13", none, none};
  for (const bool peersBack : {false, true}) {
    for (int usb3Bay : {1, 2}) {
      SCOPED_TRACE("the USB 3 bridge in bay " + std::to_string(usb3Bay) +
                   (peersBack ? ", high-speed ports linked back" : ""));
      const auto [listedNodes, listedPaths] = listing(usb3Bay, peersBack);
      EXPECT_EQ(listedNodes, nodes);
      EXPECT_EQ(listedPaths, paths);
    }
  }
}

TEST(RealDiskListing, RecordHoldsCountAndEntriesAndNothingStale) {
  kx::RootDeviceRecord rec;
  rec.SetRequest(1);
  for (std::size_t i = 0; i < 5; ++i) rec.SetEntry(i, "old", "/dev/old");
  FillRootDevice(rec.bytes.data(), {{"pci-0000:00:17.0-ata-2", "/dev/sdb"}, {std::string(300, 'x'), "/dev/sdc"}});
  EXPECT_EQ(2u, rec.Count());
  EXPECT_EQ(1, rec.Request());
  EXPECT_EQ("pci-0000:00:17.0-ata-2", rec.Node(0));
  EXPECT_EQ("/dev/sdb", rec.Path(0));
  EXPECT_EQ(std::string(259, 'x'), rec.Node(1));  // cut to fit, still terminated
  EXPECT_EQ("/dev/sdc", rec.Path(1));
  EXPECT_EQ("", rec.Node(2));
  EXPECT_EQ("", rec.Path(4));

  std::vector<PortEntry> many(140, PortEntry{"pci-x-ata-1", "/dev/sdz"});
  FillRootDevice(rec.bytes.data(), many);
  EXPECT_EQ(128u, rec.Count());
  EXPECT_EQ("/dev/sdz", rec.Path(127));
}

TEST(DiskNotifications, UeventsOfWholeScsiDisksOnly) {
  DiskNotification n;
  ASSERT_TRUE(DiskNotificationFromUevent("remove", "sdab", "", "", n));
  EXPECT_EQ(DiskChange::Removal, n.change);
  EXPECT_EQ("/dev/sdab", n.devicePath);  // a removal may come without its node
  // With its sequence number, the path is the one the listing gave the disk.
  FakeSys sys;
  sys.files["/sys/block/sdab/diskseq"] = "17\n";
  ASSERT_TRUE(DiskNotificationFromUevent("remove", "sdab", "/dev/sdab", "17", n));
  EXPECT_EQ(linuxdisk::DiskPath(sys, "sdab"), n.devicePath);
  const std::pair<const char*, const char*> ignored[] = {{"change", "sdb"}, {"add", "sdb1"}, {"add", "nvme0n1"}};
  for (const auto& [action, name] : ignored) {
    EXPECT_FALSE(DiskNotificationFromUevent(action, name, std::string("/dev/") + name, "", n))
        << action << " " << name;
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
  RaiseDiskNotification({DiskChange::Arrival, "/dev/sdb"});
  RaiseDiskNotification({DiskChange::Removal, "/dev/sdc"});
  UnregisterDiskNotification(a);
  RaiseDiskNotification({DiskChange::Removal, "/dev/sdd"});
  EXPECT_EQ((std::vector<std::string>{"a:/dev/sdb", "b:/dev/sdb", "a:/dev/sdc"}), seen);
}

TEST(DiskNotifications, UnregisterWaitsForACallbackInProgress) {
  std::atomic<bool> entered{false}, done{false};
  const int id = RegisterDiskNotification([&](const DiskNotification&) {
    entered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    done = true;
  });
  std::thread raiser([] { RaiseDiskNotification({DiskChange::Arrival, "/dev/sdb"}); });
  while (!entered) std::this_thread::yield();
  UnregisterDiskNotification(id);
  EXPECT_TRUE(done);
  raiser.join();
}

}  // namespace
