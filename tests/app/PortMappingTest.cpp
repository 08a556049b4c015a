// Ports mapped to listing entries through AutoMapping.ini, and hot-plug.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "app/AppShell.h"
#include "app/PortMapping.h"
#include "command/GetDevLibrary.h"
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

TEST_F(PortMapping, UnmappedPortsLearnEntriesInListingOrder) {
  mapping_.MapPorts(8);
  const int drives[] = {1, 0, 3, 0};
  for (int port = 1; port <= 4; ++port) EXPECT_EQ(mapping_.DriveNumber(port), drives[port - 1]) << port;
  EXPECT_EQ(Key(2, "PortNode"), "n3");
  EXPECT_EQ(Key(2, "SymbolicLink"), "/dev/c");
  EXPECT_EQ(Key(1, "SymbolicLink"), "");  // the entry has no device
}

TEST_F(PortMapping, AWrittenNodeHoldsAndALockedFileLearnsNothing) {
  MakeDirs("C:\\MP_SSD_NODE");
  SetIni(CPortMapping::kMappingIni, "Port0", "PortNode", "n3");
  SetIni(app::kToolSettingIni, "OP Setting", "MappingLock", "1");
  mapping_.MapPorts(8);
  EXPECT_EQ(mapping_.DriveNumber(1), 3);
  EXPECT_EQ(mapping_.DriveNumber(2), 0);
  EXPECT_EQ(Key(1, "PortNode"), "");
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
    mapping_.Remap(8);
    const int drives[] = {1, 0, 3, 0};
    for (int port = 1; port <= 4; ++port) EXPECT_EQ(mapping_.DriveNumber(port), drives[port - 1]) << port;
    for (int port0 = 0; port0 < 3; ++port0) EXPECT_EQ(Key(port0, "PortNode"), r.listing[port0].first) << port0;
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
