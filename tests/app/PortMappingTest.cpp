// Ports mapped to listing entries through AutoMapping.ini, and hot-plug.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>

#include "app/AppShell.h"
#include "app/PortMapping.h"
#include "command/GetDevLibrary.h"
#include "platform/Debug.h"
#include "platform/FileFaults.h"
#include "platform/Files.h"
#include "tests/support/ScratchFolder.h"

namespace {

struct PortMapping : kxtest::DeviceTestEnv {
  PortMapping() {
    MakeDirs(".\\Configuration\\System");
    SetSendMode(kxtest::Mode::Bridge);
    List({{"n1", "/dev/a"}, {"n2", "NULL"}, {"n3", "/dev/c"}});
  }
  static void List(const std::vector<std::pair<std::string, std::string>>& entries) {
    kx::WithRootDevice([&entries](kx::RootDeviceRecord& r) {
      r = kx::RootDeviceRecord{};
      r.SetCount(static_cast<std::uint32_t>(entries.size()));
      for (std::size_t i = 0; i < entries.size(); ++i) r.SetEntry(i, entries[i].first, entries[i].second);
    });
  }
  static std::string Key(int port0, const char* key) {
    char b[64] = {};
    win::GetPrivateProfileString(("Port" + std::to_string(port0)).c_str(), key, "", b, sizeof b,
                                 CPortMapping::kMappingIni);
    return b;
  }
  CPortMapping mapping_{[] {}};
};

// Replacements of AutoMapping.ini that `map` makes, seen by the kernel (with the
// moves from the temporary names between them, no two are merged into one).
template <class Map>
int Replacements(const std::string& folder, Map map) {
  const int fd = inotify_init1(IN_NONBLOCK);
  inotify_add_watch(fd, folder.c_str(), IN_MOVED_FROM | IN_MOVED_TO);
  map();
  int count = 0;
  alignas(inotify_event) char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
    for (char* p = buffer; p < buffer + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
      count += (reinterpret_cast<inotify_event*>(p)->mask & IN_MOVED_TO) != 0 &&
               std::string(reinterpret_cast<inotify_event*>(p)->name) == "AutoMapping.ini";
  close(fd);
  return count;
}

TEST_F(PortMapping, TheFileIsWrittenOnceForAllItsChangesAndNotAtAllWithoutOne) {
  MakeDirs("C:\\MP_SSD_NODE");
  const std::string folder = Native("C:\\MP_SSD_NODE");
  EXPECT_EQ(Replacements(folder, [this] { mapping_.MapPorts(24); }), 1);
  EXPECT_EQ(Key(2, "PortNode"), "n3");
  EXPECT_EQ(Replacements(folder, [this] { mapping_.MapPorts(24); }), 0);
}

// A write of the file the system refuses (a full disk) is named on standard
// error and in the mapping's warning, the window once while it lasts.
TEST_F(PortMapping, ARefusedWriteOfTheFileIsNamed) {
  platform::DebugCapture debug;
  platform::SetWriteFault([](const std::string& path) -> win::DWORD {
    return path.find("AutoMapping.ini") != std::string::npos ? win::ERROR_DISK_FULL : 0;
  });
  mapping_.Remap(8);
  const std::string warning = mapping_.Warning();
  mapping_.OnDiskChange({platform::DiskChange::Arrival, "/dev/c"});
  const std::string again = mapping_.Warning();
  platform::SetWriteFault({});
  EXPECT_NE(warning.find("AutoMapping.ini"), std::string::npos) << warning;
  EXPECT_NE(debug.All().find(warning), std::string::npos) << debug.All();
  EXPECT_EQ(again, "");
  EXPECT_FALSE(Exists(CPortMapping::kMappingIni));
}

TEST_F(PortMapping, UnmappedPortsLearnEntriesInListingOrder) {
  mapping_.MapPorts(8);
  const int drives[] = {1, 0, 3, 0};
  for (int port = 1; port <= 4; ++port) EXPECT_EQ(mapping_.DriveNumber(port), drives[port - 1]) << port;
  EXPECT_EQ(Key(2, "PortNode"), "n3");
  EXPECT_EQ(Key(2, "SymbolicLink"), "/dev/c");
  EXPECT_EQ(Key(1, "SymbolicLink"), "");  // the entry has no device
}

// Nodes the listing does not hold, beside one it holds: a Start's mapping and a
// remapping keep them all (a pulled drive's port, or one whose hub is away for
// a moment, waits for it), whatever mode or site they name.
TEST_F(PortMapping, ARemappingKeepsEveryNodeWhileTheListingHoldsOneOfThem) {
  MakeDirs("C:\\MP_SSD_NODE");
  const char* left[] = {"n7", "n1", "kxemu-bridge-03", "pci-0000:00:17.0-ata-3"};
  for (int port0 = 0; port0 < 4; ++port0)
    SetIni(CPortMapping::kMappingIni, ("Port" + std::to_string(port0)).c_str(), "PortNode", left[port0]);
  mapping_.MapPorts(4);
  EXPECT_EQ(mapping_.DriveNumber(3), 0);
  mapping_.Remap(4);
  const int drives[] = {0, 1, 0, 0};
  for (int port = 1; port <= 4; ++port) EXPECT_EQ(mapping_.DriveNumber(port), drives[port - 1]) << port;
  for (int port0 = 0; port0 < 4; ++port0) EXPECT_EQ(Key(port0, "PortNode"), left[port0]) << port0;
}

// A file that names no listed node (a station cabled again after an unclean
// end, another site of the same mode, another mode) is learnt afresh by a
// remapping: port k takes entry k, with a device or not.
TEST_F(PortMapping, ARemappingLearnsAfreshAFileThatNamesNoListedNode) {
  const struct {
    const char* why;
    std::vector<std::pair<std::string, std::string>> listing;
    std::vector<std::string> left;
  } rows[] = {
      {"the listing's kind, another hub socket",
       {{"pci-0000:00:14.0-usb-0:2.1", "/dev/a"}, {"pci-0000:00:14.0-usb-0:2.2", "NULL"},
        {"pci-0000:00:14.0-usb-0:2.3", "/dev/c"}},
       {"pci-0000:00:14.0-usb-0:3.1", "pci-0000:00:14.0-usb-0:3.2", "pci-0000:00:14.0-usb-0:3.3"}},
      {"another emulated site of the same mode",
       {{"kxemu-sata-01", "/dev/a"}, {"kxemu-sata-02", "NULL"}, {"kxemu-sata-03", "/dev/c"}},
       {"kxemu-sata-04", "kxemu-sata-05", "kxemu-sata-06"}},
      {"bridge nodes on a SATA listing",
       {{"pci-0000:00:1f.2-ata-1", "/dev/a"}, {"pci-0000:00:1f.2-ata-2", "NULL"},
        {"pci-0000:00:1f.2-ata-3", "/dev/c"}},
       {"pci-0000:00:14.0-usb-0:2.1", "pci-0000:00:14.0-usb-0:2.2", "pci-0000:00:14.0-usb-0:2.3"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.why);
    List(r.listing);
    win::DeleteFile(CPortMapping::kMappingIni);
    MakeDirs("C:\\MP_SSD_NODE");
    for (int port0 = 0; port0 < 3; ++port0)
      SetIni(CPortMapping::kMappingIni, ("Port" + std::to_string(port0)).c_str(), "PortNode", r.left[port0]);
    CPortMapping started{[] {}};  // a new process: none of the file's nodes was listed in it
    started.Remap(8);
    const int drives[] = {1, 0, 3, 0};
    for (int port = 1; port <= 4; ++port) EXPECT_EQ(started.DriveNumber(port), drives[port - 1]) << port;
    for (int port0 = 0; port0 < 3; ++port0) EXPECT_EQ(Key(port0, "PortNode"), r.listing[port0].first) << port0;
  }
}

// A listing lists a station's bays when it holds as many ports as slots, no
// port of the computer's own USB root hub beside ports of hubs, and a disk in
// each of its root ports where it lists them alone.
TEST(PortMappingListing, ListsTheBaysOnlyWithTheirCountAndNoRootPortBesideHubs) {
  using L = CPortMapping::Listing;
  const std::string usb = "pci-0000:00:14.0-usb-0:", other = "pci-0000:03:00.0-usb-0:";
  const struct {
    const char* why;
    std::vector<std::string> nodes;
    L listing;
    std::set<std::size_t> empty = {};  // the entries listed without a disk
  } rows[] = {
      {"hubs' ports", {usb + "1.1", usb + "1.2", usb + "2.1", usb + "2.2"}, L::Bays},
      {"hubs' ports, some empty", {usb + "1.1", usb + "1.2", usb + "2.1", usb + "2.2"}, L::Bays, {0, 3}},
      {"cascaded hubs' ports", {usb + "1.1.1", usb + "1.1.2", usb + "1.2.1", usb + "2.10"}, L::Bays},
      {"the computer's own ports on two controllers", {usb + "1", usb + "2", other + "1", other + "2"}, L::Bays},
      {"SATA ports", {"pci-0000:00:17.0-ata-1", "pci-0000:00:17.0-ata-2", "pci-0000:00:1f.2-ata-1",
                      "pci-0000:00:1f.2-ata-2"}, L::Bays, {1}},
      {"the emulated site", {"kxemu-bridge-01", "kxemu-bridge-02", "kxemu-bridge-03", "kxemu-bridge-04"}, L::Bays,
       {2}},
      {"fewer ports", {usb + "1.1", usb + "1.2", usb + "1.3"}, L::OtherCount},
      {"more ports", {usb + "1", usb + "2", usb + "3", usb + "4", usb + "5"}, L::OtherCount},
      {"a root port beside a hub's ports", {usb + "1", usb + "2.1", usb + "2.2", usb + "3"}, L::RootPortBesideHubs},
      {"a root port of another controller", {usb + "2.1", usb + "2.2", usb + "2.3", other + "1"},
       L::RootPortBesideHubs},
      {"and another count", {usb + "2.1", usb + "2.2", usb + "2.3", usb + "2.4", usb + "3"},
       L::RootPortBesideHubs},
      {"a lone stick: its root hub's ports, the hubs' among them", {usb + "1", usb + "2", usb + "3", usb + "4"},
       L::RootPortsNotAllFull, {0, 1, 3}},
      {"the computer's own ports, one empty", {usb + "1", usb + "2", other + "1", other + "2"},
       L::RootPortsNotAllFull, {2}},
  };
  for (const auto& r : rows) {
    std::vector<CPortMapping::Entry> entries;
    for (std::size_t i = 0; i < r.nodes.size(); ++i)
      entries.push_back({r.nodes[i], r.empty.count(i) ? "NULL" : "/dev/disk/by-diskseq/" + std::to_string(i)});
    EXPECT_EQ(CPortMapping::JudgeListing(entries, 4), r.listing) << r.why;
  }
}

// A station of two hubs, A (bays 1-4) and B (bays 5-8), its bays learnt once
// under the lock with every bay full. Restarted with hub A empty, so that the
// listing holds hub B alone: no port takes another's bay, and a drive put into
// hub A's bay 1 reaches port 1.
TEST_F(PortMapping, ALockedStationKeepsTheBaysLearntWithEveryBayFull) {
  SetIni(app::kToolSettingIni, "OP Setting", "MappingLock", "1");
  const auto bay = [](char hub, int n) { return std::string("usb-0:") + hub + "." + std::to_string(n); };
  std::vector<std::pair<std::string, std::string>> full;
  for (const char hub : {'A', 'B'})
    for (int n = 1; n <= 4; ++n) full.push_back({bay(hub, n), "/dev/" + bay(hub, n)});
  List(full);
  mapping_.Remap(8);
  mapping_.Close();
  CPortMapping restarted{[] {}};
  List({full.begin() + 4, full.end()});
  restarted.Remap(8);
  for (int port = 1; port <= 8; ++port) EXPECT_EQ(restarted.DriveNumber(port), port <= 4 ? 0 : port - 4) << port;
  List({full[0], full[4], full[5], full[6], full[7]});
  restarted.OnDiskChange({platform::DiskChange::Arrival, full[0].second}, true);
  EXPECT_EQ(restarted.DriveNumber(1), 0);  // during a pass
  restarted.MapDeferred();
  EXPECT_EQ(restarted.DriveNumber(1), 1);
  EXPECT_EQ(restarted.DriveNumber(5), 2);
  EXPECT_EQ(restarted.Warning(), "");
}

// A USB stick on another port of the tester hub's controller lists that root
// hub's ports among the bays. A station learnt under the lock keeps its bays,
// and neither start-up nor Start gives the stick a port.
TEST_F(PortMapping, AStickBesideALockedStationTakesNoPort) {
  SetIni(app::kToolSettingIni, "OP Setting", "MappingLock", "1");
  std::vector<std::pair<std::string, std::string>> bays;
  for (int n = 1; n <= 8; ++n) bays.push_back({"usb-0:2." + std::to_string(n), "/dev/bay" + std::to_string(n)});
  List(bays);
  mapping_.Remap(8);
  mapping_.Close();
  auto withStick = bays;
  withStick.insert(withStick.begin(), {"usb-0:1", "NULL"});
  withStick.insert(withStick.end(), {{"usb-0:3", "NULL"}, {"usb-0:5", "/dev/stick"}});
  List(withStick);
  CPortMapping restarted{[] {}, true};
  restarted.Remap(8);
  EXPECT_EQ(restarted.Warning(), "");  // nothing was learnt
  restarted.MapPorts(8);
  for (int port = 1; port <= 8; ++port) EXPECT_EQ(restarted.DriveNumber(port), port + 1) << port;
}

// A file a kill left for another site meets a station with no drive in at
// start-up: the first arrival learns it afresh, without Scan. A Start never
// does, and a remapping with every hub away keeps every node.
TEST_F(PortMapping, AStaleFileIsLearntAfreshAtTheFirstArrivalButNeverAtStart) {
  MakeDirs("C:\\MP_SSD_NODE");
  for (int port0 = 0; port0 < 3; ++port0)
    SetIni(CPortMapping::kMappingIni, ("Port" + std::to_string(port0)).c_str(), "PortNode",
           "kxemu-bridge-0" + std::to_string(port0 + 4));
  List({});
  mapping_.Remap(3);
  EXPECT_EQ(Key(0, "PortNode"), "kxemu-bridge-04");
  List({{"n1", "/dev/a"}, {"n2", "NULL"}, {"n3", "/dev/c"}});
  mapping_.MapPorts(3);
  EXPECT_EQ(mapping_.DriveNumber(1), 0);
  EXPECT_EQ(Key(2, "PortNode"), "kxemu-bridge-06");
  mapping_.OnDiskChange({platform::DiskChange::Arrival, "/dev/c"});
  const int drives[] = {1, 0, 3};
  for (int port = 1; port <= 3; ++port) EXPECT_EQ(mapping_.DriveNumber(port), drives[port - 1]) << port;
}

// The root port `root` of the computer's USB controller, with a disk or not.
std::pair<std::string, std::string> RootPort(int root, const std::string& controller = "0000:00:14.0",
                                             bool disk = false) {
  const std::string node = "pci-" + controller + "-usb-0:" + std::to_string(root);
  return {node, disk ? "/dev/" + node : "NULL"};
}

// Bays 1..count of the hub in root port `root`, with a drive in those of `full`.
std::vector<std::pair<std::string, std::string>> Hub(int root, int count, std::set<int> full = {}) {
  std::vector<std::pair<std::string, std::string>> bays;
  for (int n = 1; n <= count; ++n) {
    const std::string node = RootPort(root).first + "." + std::to_string(n);
    bays.push_back({node, full.count(n) || full.count(0) ? "/dev/" + node : "NULL"});
  }
  return bays;
}
std::vector<std::pair<std::string, std::string>> operator+(std::vector<std::pair<std::string, std::string>> a,
                                                          const std::vector<std::pair<std::string, std::string>>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
constexpr int kAll = 0;

// Without the lock, a file whose bays this run has listed keeps them when the
// station's hubs are emptied between batches, whatever is listed next: the
// next batch's drives in the other hub, or a stick on another controller.
TEST_F(PortMapping, AnArrivalNeverRewritesTheBaysThisRunListed) {
  const std::vector<std::pair<std::string, std::string>> stick = {RootPort(1, "0000:03:00.0"),
                                                                  RootPort(2, "0000:03:00.0", true)};
  const struct {
    const char* why;
    std::vector<std::pair<std::string, std::string>> atStartUp;
    std::vector<std::vector<std::pair<std::string, std::string>>> arrivals;  // each arrival's listing
    std::vector<int> drives;                                                 // ports 1-8 after the last
  } rows[] = {
      {"hub A full at start-up, emptied; drives into hub B's bay 1, then hub A's bay 1",
       Hub(1, 4, {kAll}),
       {Hub(2, 4, {1}), Hub(1, 4, {1}) + Hub(2, 4, {1})},
       {1, 0, 0, 0, 5, 0, 0, 0}},
      {"one hub emptied; a stick on another controller, then the next batch's bay 1",
       Hub(2, 8, {kAll}),
       {stick, Hub(2, 8, {1}) + stick},
       {1, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.why);
    win::DeleteFile(CPortMapping::kMappingIni);
    CPortMapping mapping{[] {}};
    List(r.atStartUp);
    mapping.Remap(8);
    for (const auto& listing : r.arrivals) {
      List(listing);
      mapping.OnDiskChange({platform::DiskChange::Arrival, "/dev/any"});
    }
    for (int port = 1; port <= 8; ++port) EXPECT_EQ(mapping.DriveNumber(port), r.drives[port - 1]) << port;
  }
}

// A locked station of 8 bays on 16 slots keeps its spare ports closed: a stick
// plugged in (an arrival), a Scan with it in, a restart and a Start give it no port.
TEST_F(PortMapping, ALockedStationsSparePortsStayClosed) {
  SetIni(app::kToolSettingIni, "OP Setting", "MappingLock", "1");
  List(Hub(2, 8, {kAll}));
  mapping_.Remap(16);
  const auto withStick = Hub(1, 2, {2}) + Hub(2, 8, {kAll});  // the stick is entry 2
  List(withStick);
  const auto noPortReachesTheStick = [](const CPortMapping& m, const char* when) {
    for (int port = 1; port <= 16; ++port) EXPECT_NE(m.DriveNumber(port), 2) << when << ", port " << port;
    for (int port0 = 8; port0 < 16; ++port0) EXPECT_EQ(Key(port0, "PortNode"), "") << when << ", port " << port0 + 1;
  };
  mapping_.OnDiskChange({platform::DiskChange::Arrival, "/dev/stick"});
  noPortReachesTheStick(mapping_, "arrival");
  mapping_.Remap(16);
  noPortReachesTheStick(mapping_, "Scan");
  mapping_.Close();
  CPortMapping restarted{[] {}, true};
  restarted.Remap(16);
  noPortReachesTheStick(restarted, "restart");
  restarted.MapPorts(16);
  noPortReachesTheStick(restarted, "Start");
  EXPECT_EQ(restarted.DriveNumber(1), 3);
}

// A locked station started empty learns nothing while its bays fill (hub B
// first), and its bays in order at the Scan pressed once every bay is full.
TEST_F(PortMapping, ALockedStationStartedEmptyLearnsAtTheScanWithEveryBayFull) {
  SetIni(app::kToolSettingIni, "OP Setting", "MappingLock", "1");
  List({});
  mapping_.Remap(8);
  List(Hub(2, 4, {kAll}));
  mapping_.OnDiskChange({platform::DiskChange::Arrival, "/dev/b"});
  EXPECT_EQ(Key(0, "PortNode"), "");
  List(Hub(1, 4, {kAll}) + Hub(2, 4, {kAll}));
  mapping_.OnDiskChange({platform::DiskChange::Arrival, "/dev/a"});
  EXPECT_EQ(Key(0, "PortNode"), "");
  mapping_.Remap(8);
  for (int port = 1; port <= 8; ++port) EXPECT_EQ(mapping_.DriveNumber(port), port) << port;
}

// A written node holds. A locked file that names a port stands as it is at
// every mapping: a node no longer listed is kept, and a port without one
// learns nothing.
TEST_F(PortMapping, AWrittenNodeHoldsAndALockedFileLearnsNothing) {
  SetIni(app::kToolSettingIni, "OP Setting", "MappingLock", "1");
  const struct {
    const char* why;
    const char* node;
    std::function<void(CPortMapping&)> map;
  } rows[] = {
      {"Scan, its node not listed", "gone", [](CPortMapping& m) { m.Remap(8); }},
      {"an arrival, its node not listed", "gone",
       [](CPortMapping& m) { m.OnDiskChange({platform::DiskChange::Arrival, "/dev/c"}); }},
      {"Scan, its node listed", "n3", [](CPortMapping& m) { m.Remap(8); }},
      {"Start", "n3", [](CPortMapping& m) { m.MapPorts(8); }},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.why);
    win::DeleteFile(CPortMapping::kMappingIni);
    MakeDirs("C:\\MP_SSD_NODE");
    SetIni(CPortMapping::kMappingIni, "Port0", "PortNode", r.node);
    CPortMapping mapping{[] {}};
    r.map(mapping);
    EXPECT_EQ(Key(0, "PortNode"), r.node);
    EXPECT_EQ(mapping.DriveNumber(1), std::string(r.node) == "n3" ? 3 : 0);
    EXPECT_EQ(Key(1, "PortNode"), "");
    EXPECT_EQ(mapping.DriveNumber(2), 0);
  }
  // A file naming only ports past the slots (a station run with fewer for a while) names ports too.
  win::DeleteFile(CPortMapping::kMappingIni);
  SetIni(CPortMapping::kMappingIni, "Port15", "PortNode", "n3");
  mapping_.Remap(8);
  EXPECT_EQ(Key(0, "PortNode"), "");
}

// Ports learnt from a listing of real ports whose count is not the slots'
// are said to be a guess by the mapping that learnt them, each port once in a
// run (a count warned of already too), and only where ports were learnt on
// real ports, by any mapping (an arrival during a pass when its mapping is
// made after it), never under the lock at an arrival or a Start.
TEST_F(PortMapping, PortsLearntFromAListingOfAnotherCountAreWarnedOfOnce) {
  // Listed ports first..first+count-1 of hub 2, all holding a disk; with
  // first 0, the root hub's ports: a stick in port 1, hub 2 emptied in port 2.
  const auto listing = [](std::pair<int, int> ports) {
    std::vector<std::pair<std::string, std::string>> l;
    for (int i = std::max(ports.first, 1); i < std::max(ports.first, 1) + ports.second; ++i) {
      if (ports.first == 0)
        l.push_back({"usb-0:" + std::to_string(i), i == 1 ? "/dev/stick" : "NULL"});
      else
        l.push_back({"usb-0:2." + std::to_string(i), "/dev/d" + std::to_string(i)});
    }
    return l;
  };
  const struct {
    const char* why;
    bool real;
    bool locked;
    std::vector<std::pair<int, int>> listed;  // the listing at start-up and at each mapping after it
    std::vector<bool> warns;
    int slots = 8;
    // Each mapping after start-up: S a Scan, A an arrival, P an arrival during
    // a pass mapped after it, L one during a pass of a loop, mapped at the
    // next pass's Start, T a Start. Scans where not given.
    std::string after = "";
  } rows[] = {
      {"nine for eight, then the same nine", true, false, {{1, 9}, {1, 9}}, {true, false}},
      {"four for eight, then eight", true, false, {{1, 4}, {1, 8}}, {true, false}},
      {"four, then five: ports learnt from a new count", true, false, {{1, 4}, {1, 5}}, {true, true}},
      {"four, then four others: the same count, other ports", true, false, {{1, 4}, {5, 4}}, {true, true}},
      {"four, five, then four again", true, false, {{1, 4}, {5, 5}, {10, 4}}, {true, true, true}, 16},
      {"locked: four, then five: the file learnt once is kept", true, true, {{1, 4}, {1, 5}}, {true, false}},
      {"eight for eight", true, false, {{1, 8}}, {false}},
      {"the emulated site", false, false, {{1, 9}}, {false}},
      {"no drive at start-up; a stick's arrival lists four, an arrival of four others, then one of five", true,
       false, {{1, 0}, {1, 4}, {5, 4}, {9, 5}}, {false, true, true, true}, 16, "AAA"},
      {"four at start-up, then an arrival of four others", true, false, {{1, 4}, {5, 4}}, {true, true}, 16, "A"},
      {"an arrival of four, then a Scan of four others", true, false, {{1, 0}, {1, 4}, {5, 4}},
       {false, true, true}, 16, "AS"},
      {"locked: no drive at start-up; arrivals and Start learn nothing and say nothing", true, true,
       {{1, 0}, {1, 4}, {5, 5}, {1, 9}, {1, 6}}, {false, false, false, false, false}, 8, "APLT"},
      {"no drive at start-up; Start learns nine", true, false, {{1, 0}, {1, 9}}, {false, true}, 8, "T"},
      {"four at start-up; hub 2's last drive pulled beside a stick: Start learns the hub's own port", true, false,
       {{1, 4}, {0, 3}}, {true, true}, 8, "T"},
      {"Start learns four, then an arrival four others", true, false, {{1, 0}, {1, 4}, {5, 4}},
       {false, true, true}, 16, "TA"},
      {"an arrival learns four, then Start four others", true, false, {{1, 0}, {1, 4}, {5, 4}},
       {false, true, true}, 16, "AT"},
      {"the emulated site: Start", false, false, {{1, 0}, {1, 9}}, {false, false}, 8, "T"},
      {"an arrival during a pass: warned once mapped after it", true, false, {{1, 0}, {1, 4}}, {false, true}, 8, "P"},
      {"an arrival during a pass of a loop: warned at the next pass's Start", true, false, {{1, 0}, {1, 4}},
       {false, true}, 8, "L"},
      {"the emulated site: an arrival", false, false, {{1, 0}, {1, 9}}, {false, false}, 8, "A"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.why);
    win::DeleteFile(CPortMapping::kMappingIni);
    SetIni(app::kToolSettingIni, "OP Setting", "MappingLock", r.locked ? "1" : "0");
    CPortMapping mapping{[] {}, r.real};
    for (std::size_t i = 0; i < r.listed.size(); ++i) {
      List(listing(r.listed[i]));
      const char at = i == 0 || i > r.after.size() ? 'S' : r.after[i - 1];
      if (at == 'S') {
        mapping.Remap(r.slots);
      } else if (at == 'T') {
        mapping.MapPorts(r.slots);
      } else {
        mapping.OnDiskChange({platform::DiskChange::Arrival, "/dev/d1"}, at != 'A');
        if (at != 'A') {
          EXPECT_EQ(mapping.Warning(), "") << i << ", during the pass";
          at == 'P' ? (void)mapping.MapDeferred() : mapping.MapPorts(r.slots);
        }
      }
      EXPECT_EQ(!mapping.Warning().empty(), r.warns[i]) << i;
      if (r.warns[i]) {
        EXPECT_NE(mapping.Warning().find(std::to_string(r.listed[i].second)), std::string::npos) << i;
      }
    }
  }
}

// Hubs of a station, each of `bays` bays, on root ports 1.. of a root hub of
// three more ports (or of `roots`): the last hub alone (B) or the first alone
// (A) holds drives as a batch, every hub (F) or none (E); a stick or card
// reader beside them in the root port after the hubs (S) or in root port 1 of
// a second controller of 4 ports (or of `roots`, X); hub A's bay 2 empty (e).
// Ports learnt from any
// listing but the bays without the lock are a guess, said in the mapping that
// makes it, that neither the lock, an orderly end nor a kill makes the
// station's record: a mapping with every bay full learns them again, and one
// that keeps them says so once in a run. What the lock learns so stands while
// it is set, and is a guess once it is cleared. Steps: B, A, F, E, S or X the
// listing; u a start-up or Scan, a an arrival, p an arrival during a pass
// mapped after it, t a Start; L the lock set, U cleared; C an orderly end and
// a start of the program, K a kill and a start; H ports 1.. written by hand
// with hub B, h port 1 with hub A's bay 1, c port 4 closed by hand.
TEST_F(PortMapping, AGuessNeverOutlivesItsWarningSilently) {
  const struct {
    const char* why;
    const char* steps;
    std::string warns;        // each mapping step: 1 when it warns
    std::vector<int> drives;  // after the last step; empty: port k on entry k
    const char* names = "";   // the ports the last warning names
    int hubs = 2;
    int bays = 4;
    int roots = 0;
  } rows[] = {
      {"the lock set under the warning, bays filled, an orderly end, a start full", "BuLFaCFu", "1000", {}},
      {"the same with a Scan under the lock", "BuLFuCFu", "1000", {}},
      {"bays filled first, then the lock, an orderly end, a start with hub B alone", "BuFaLCBu", "100",
       {0, 0, 0, 0, 1, 2, 3, 4}},
      {"a kill after hub B, a start full", "BuKFu", "10", {}},
      {"hub A during a pass, a kill, a start full", "BuFpKFu", "100", {}},
      {"24 slots of three hubs, hub C first, a kill, a start full", "BuKFu", "10", {}, "", 3, 8},
      {"a kill, a start with hub B alone: said once, learnt again at the arrival full", "BuKBuuFa", "1100", {}},
      {"the lock set, an orderly end, a start with hub B alone: said at start-up, not at Start", "BuLCBut", "110",
       {1, 2, 3, 4, 0, 0, 0, 0}, "ports 1-4"},
      {"learnt full, a kill, a start with hub B alone: kept, nothing said", "FuKBu", "00", {0, 0, 0, 0, 1, 2, 3, 4}},
      {"learnt full under the lock set meanwhile, an orderly end, hub B alone", "FuLCBu", "00",
       {0, 0, 0, 0, 1, 2, 3, 4}},
      {"written by hand: no guess", "HFu", "0", {5, 6, 7, 8, 1, 2, 3, 4}},
      {"port 1 written by hand over its guess, a kill: the others are named", "BuKhBuFu", "110", {}, "ports 2-4"},
      {"hub B's batch, then hub A's alone: each guess said", "BuAa", "11", {0, 0, 0, 0, 1, 2, 3, 4}, "ports 5-8"},
      {"hub A empty, a stick in a root port: as many ports as slots, a guess", "BSuFu", "10", {}},
      {"hub B alone, a stick arriving: its root hub's ports guessed, not the bays", "BuSaFa", "110", {},
       "ports 5-8"},
      {"hub B alone, a stick on another controller", "BuXaFa", "110", {}},
      {"more ports than slots, hub B's guess kept", "BuFXaKFu", "110", {}},
      {"locked: a start with hub B and a stick learns for good, said once", "LBSuuCBSu", "100",
       {0, 2, 3, 4, 5, 6, 0, 0}, "ports 1-8"},
      {"one port guessed", "Bu", "1", {1, 0}, "port 1 was", 2, 1},
      {"one guessed port kept", "BuKBu", "11", {1, 0}, "automapping.ini was", 2, 1},
      {"every hub empty, a stick alone on their root hub of as many ports as slots", "ESuFa", "10", {}, "", 2, 4, 8},
      {"every hub empty, a card reader alone on a second controller of as many ports", "EXuFu", "10", {}, "", 2, 4,
       8},
      {"16 slots, a card reader alone on a root hub of 16 ports", "ESuFu", "10", {}, "", 2, 8, 16},
      {"learnt full, a kill, a start with no drive in, the stick's arrival", "FuKEuSaFa", "0010", {}, "", 2, 4, 8},
      {"locked: a stick alone learnt, said once; the lock cleared, a kill, a start full", "LESuCESuUKFu", "100", {},
       "", 2, 4, 8},
      {"locked: hub B learnt, silent at a restart", "LBuCBu", "10", {1, 2, 3, 4, 0, 0, 0, 0}},
      {"locked: hub B learnt; the lock cleared, a kill, a start full", "LBuUKFu", "10", {}},
      {"locked: hub B learnt; the lock cleared while it runs, hub A filled, a Start", "LBuUFat", "100", {}},
      {"locked: hub B learnt; the lock cleared, a kill, a start with hub B alone: named", "LBuUKBu", "11",
       {1, 2, 3, 4, 0, 0, 0, 0}, "ports 1-4"},
      {"locked: learnt full, a bay closed by hand stays closed at a Scan and a Start full", "LFucFut", "000",
       {1, 2, 3, 0, 5, 6, 7, 8}},
      {"started with a bay empty: its hub listed, nothing said", "Feu", "0", {1, 0, 3, 4, 5, 6, 7, 8}},
      {"locked: started with a bay empty, then a restart full", "LFeuCFu", "00", {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.why);
    win::DeleteFile(CPortMapping::kMappingIni);
    SetIni(app::kToolSettingIni, "OP Setting", "MappingLock", "0");
    const int slots = r.hubs * r.bays;
    // The listing as the kernel gives it: ports in root port order, a hub's bays in its port.
    const auto station = [&r](int firstHub, int lastHub, char stick, bool emptyBay) {
      std::vector<std::pair<std::string, std::string>> l;
      for (int root = 1; root <= (r.roots ? r.roots : r.hubs + 3); ++root) {
        if (root >= firstHub && root <= lastHub)
          l = l + Hub(root, r.bays, {kAll});
        else if (stick == 'S')
          l.push_back(RootPort(root, "0000:00:14.0", root == r.hubs + 1));
      }
      for (int root = 1; stick == 'X' && root <= (r.roots ? r.roots : 4); ++root)
        l.push_back(RootPort(root, "0000:03:00.0", root == 1));
      if (emptyBay && firstHub == 1) l[1].second = "NULL";
      return l;
    };
    int firstHub = 1, lastHub = r.hubs;
    char stick = ' ';
    bool emptyBay = false;
    auto mapping = std::make_unique<CPortMapping>([] {}, true);
    std::size_t mapped = 0;
    std::string lastWarning;
    bool restarted = false;
    for (const char* step = r.steps; *step != '\0'; ++step) {
      switch (*step) {
        case 'B': firstHub = lastHub = r.hubs, stick = ' '; continue;
        case 'A': firstHub = lastHub = 1, stick = ' '; continue;
        case 'F': firstHub = 1, lastHub = r.hubs, stick = ' ', emptyBay = false; continue;
        case 'e': emptyBay = true; continue;
        case 'E': firstHub = r.hubs + 1, lastHub = r.hubs, stick = ' '; continue;
        case 'S':
        case 'X': stick = *step; continue;
        case 'L':
        case 'U': SetIni(app::kToolSettingIni, "OP Setting", "MappingLock", *step == 'L' ? "1" : "0"); continue;
        case 'c': SetIni(CPortMapping::kMappingIni, "Port3", "PortNode", ""); continue;
        case 'C': mapping->Close(); [[fallthrough]];
        case 'K':
          mapping = std::make_unique<CPortMapping>([] {}, true);
          restarted = true;
          continue;
        case 'H':
        case 'h':
          MakeDirs("C:\\MP_SSD_NODE");
          for (int port0 = 0; port0 < (*step == 'H' ? r.bays : 1); ++port0)
            SetIni(CPortMapping::kMappingIni, ("Port" + std::to_string(port0)).c_str(), "PortNode",
                   Hub(*step == 'H' ? r.hubs : 1, r.bays)[port0].first);
          continue;
      }
      List(station(firstHub, lastHub, stick, emptyBay));
      switch (*step) {
        case 'u': mapping->Remap(slots); break;
        case 't': mapping->MapPorts(slots); break;
        case 'a': mapping->OnDiskChange({platform::DiskChange::Arrival, "/dev/any"}); break;
        case 'p':
          mapping->OnDiskChange({platform::DiskChange::Arrival, "/dev/any"}, true);
          mapping->MapDeferred();
          break;
      }
      ASSERT_LT(mapped, r.warns.size());
      EXPECT_EQ(!mapping->Warning().empty(), r.warns[mapped] == '1') << "step " << step - r.steps;
      if (r.warns[mapped] == '1') {
        lastWarning = mapping->Warning();
        if (restarted) {  // the kept guesses
          EXPECT_NE(lastWarning.find("AutoMapping.ini"), std::string::npos) << "step " << step - r.steps;
        }
      }
      restarted = false;
      ++mapped;
    }
    std::transform(lastWarning.begin(), lastWarning.end(), lastWarning.begin(), ::tolower);
    if (*r.names != '\0') {
      EXPECT_NE(lastWarning.find(r.names + std::string(" ")), std::string::npos) << lastWarning;
    }
    for (int port = 1; port <= slots; ++port)
      EXPECT_EQ(mapping->DriveNumber(port), r.drives.empty() ? port : r.drives[port - 1]) << port;
    if (r.drives.empty()) {
      EXPECT_EQ(ReadAll(CPortMapping::kMappingIni).find("GuessedNode"), std::string::npos);
    }
  }
}

TEST_F(PortMapping, RemovalBlanksThePortsLinkAndArrivalMapsAgain) {
  mapping_.MapPorts(8);
  SetIni(CPortMapping::kMappingIni, "Port0", "Symbolic_temp", "/dev/t");
  EXPECT_EQ(mapping_.OnDiskChange({platform::DiskChange::Removal, "/dev/c"}), std::vector<int>{3});
  EXPECT_EQ(Key(2, "SymbolicLink"), "");
  EXPECT_EQ(mapping_.OnDiskChange({platform::DiskChange::Removal, "/dev/t"}), std::vector<int>{1});
  EXPECT_EQ(Key(0, "Symbolic_temp"), "");
  List({{"n1", "/dev/a"}, {"n2", "/dev/b"}, {"n3", "/dev/c"}});
  EXPECT_EQ(mapping_.OnDiskChange({platform::DiskChange::Arrival, "/dev/b"}), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(mapping_.DriveNumber(2), 2);
}

TEST_F(PortMapping, ShutDownDeletesTheFileUnlessTheMappingIsLocked) {
  mapping_.MapPorts(8);
  mapping_.Close();
  EXPECT_FALSE(Exists(CPortMapping::kMappingIni));
  mapping_.MapPorts(8);
  SetIni(CPortMapping::kMappingIni, "Port0", "Symbolic_temp", "/dev/t");
  SetIni(app::kToolSettingIni, "OP Setting", "MappingLock", "1");
  mapping_.Close();
  EXPECT_EQ(Key(0, "PortNode"), "n1");
  EXPECT_EQ(Key(0, "Symbolic_temp"), "");
}

}  // namespace
