// Runs inside the virtual machine of tools/kernel-test.sh after kernel_check,
// which leaves hub 1 (xHCI root port 1) emptied, disks in some ports of hub 2
// (root port 2) and a stick (QEMU id "stick") in root port 3 of a root hub of
// 9 ports. The station's bays are the hubs' ports: hub 1's ports 1-8 are bays
// 1-8, hub 2's bays 9-16. Runs the port mapping on the kernel's own listing as
// the program does on real disks:
//   - start-up with that listing (the root hub's ports 1 and 3-9 beside hub
//     2's eight, as many as the slots): a guess, said and marked;
//   - the stick pulled and every empty bay given a disk through QEMU's monitor,
//     each notification handled as the page handles it, then a Start: bay k on
//     port k, nothing said, no mark left;
//   - both hubs taken off (deauthorised: their bays leave the listing) and the
//     stick put back: the listing is the root hub's 9 ports alone, the stick
//     in one of them, as many as the slots of a 9-bay station. Learnt without
//     the lock, and under it, that is a guess, said and marked; the lock's
//     stands silent at a restart, and once the lock is cleared a start after a
//     kill names it.
// Prints one line per check and "MAPPING-CHECK PASS" or "MAPPING-CHECK FAIL".
//
//   mapping_check <MiB>   (the disk the check adds in bay k is <MiB> + k MiB,
//                          QEMU drive "bay<k>")
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "app/AppShell.h"
#include "app/PortMapping.h"
#include "command/GetDevLibrary.h"
#include "device/Folders.h"
#include "platform/DeviceIo.h"
#include "platform/DeviceNotify.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "platform/RootDevice.h"
#include "platform/linux/DeviceListing.h"
#include "platform/linux/DiskBackend.h"
#include "platform/linux/Hotplug.h"

namespace {

constexpr int kSlots = 16;
constexpr int kHubPorts = 8;
int g_failed = 0;

void check(bool ok, const std::string& what) {
  std::printf("%s - %s\n", ok ? "ok" : "not ok", what.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failed;
}

// Bay k's node ends in "-usb-0:<hub>.<port>".
std::string bayTail(int bay) {
  return "-usb-0:" + std::to_string((bay - 1) / kHubPorts + 1) + "." + std::to_string((bay - 1) % kHubPorts + 1);
}

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A port of the root hub: no dot after "-usb-0:".
bool rootPort(const std::string& node) {
  const auto at = node.find("-usb-0:");
  return at != std::string::npos && node.find('.', at) == std::string::npos;
}

// The listing refresh the program's device-listing library makes on real USB
// ports: filled aside, then swapped into the shared record.
void refreshListing() {
  auto scratch = std::make_unique<kx::RootDeviceRecord>();
  platform::ListRealPorts(scratch->bytes.data(), platform::DiskPort::Usb);
  kx::WithRootDevice([&](kx::RootDeviceRecord& r) { r = *scratch; });
}

struct Entry {
  std::string node, path;
};

std::vector<Entry> shared() {
  std::vector<Entry> entries;
  kx::WithRootDevice([&](kx::RootDeviceRecord& r) {
    for (std::uint32_t i = 0; i < r.Count() && i < kx::kRootDeviceMaxEntries; ++i)
      entries.push_back({r.Node(i), r.Path(i)});
  });
  return entries;
}

std::vector<Entry> listNow() {
  refreshListing();
  return shared();
}

std::string describe(const std::vector<Entry>& entries) {
  std::string s = std::to_string(entries.size()) + " entries:";
  for (const Entry& e : entries) s += " [" + e.node.substr(e.node.rfind(':') + 1) + " " + e.path + "]";
  return s;
}

// The size of the disk a path opens through the device I/O seam, as a job opens it; -1 when none.
std::int64_t diskBytes(const std::string& path) {
  const win::HANDLE h = win::CreateFileA(path.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                                         nullptr, win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == win::INVALID_HANDLE_VALUE) return -1;
  win::DISK_GEOMETRY_EX g;
  win::DWORD got = 0;
  const bool ok =
      win::DeviceIoControl(h, win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &g, sizeof g, &got, nullptr);
  win::CloseHandle(h);
  return ok ? g.DiskSize : -1;
}

std::string readMapping(int port, const char* key) {
  return win::GetPrivateProfileString("Port" + std::to_string(port - 1), key, "", CPortMapping::kMappingIni);
}

void monitor(const std::string& command) {
  std::printf("KX-MONITOR %s\n", command.c_str());
  std::fflush(stdout);
}

// Disk notifications, handed to the mapping on this thread as the page hands them to its own.
struct Notes {
  std::mutex m;
  std::condition_variable cv;
  std::deque<platform::DiskNotification> queue;
  // The next one, waiting up to a second; false when none came.
  bool next(platform::DiskNotification& note) {
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(1), [&] { return !queue.empty(); })) return false;
    note = queue.front();
    queue.pop_front();
    return true;
  }
};

// Takes the station's hubs (a hub in a root port) off the bus: their ports and
// disks leave, the hubs stay in their root ports as devices without a disk.
int deauthoriseHubs() {
  int done = 0;
  DIR* dir = opendir("/sys/bus/usb/devices");
  if (dir == nullptr) return 0;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    const auto dash = name.find('-');
    if (dash == std::string::npos || name.find_first_of(".:", dash) != std::string::npos) continue;
    const std::string dev = "/sys/bus/usb/devices/" + name;
    std::string cls;
    std::ifstream(dev + "/bDeviceClass") >> cls;
    if (cls != "09") continue;
    std::ofstream(dev + "/authorized") << "0\n";
    ++done;
  }
  closedir(dir);
  return done;
}

// The guessed ports of 1..slots: those whose mark `key` names their node.
int markedPorts(int slots, const char* key) {
  int marked = 0;
  for (int port = 1; port <= slots; ++port) {
    const std::string node = readMapping(port, "PortNode");
    marked += !node.empty() && readMapping(port, key) == node ? 1 : 0;
  }
  return marked;
}

int finish(int notifyId) {
  platform::UnregisterDiskNotification(notifyId);
  platform::StopDiskMonitor();
  std::printf("MAPPING-CHECK %s (%d failed)\n", g_failed ? "FAIL" : "PASS", g_failed);
  return g_failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mapping_check bay-disk-MiB\n");
    return 2;
  }
  const std::int64_t bayMiB = std::atoll(argv[1]);
  // The program's files on the guest's tmpfs: the working folder and drive C.
  const std::string home = "/run/kxmap";
  mkdir(home.c_str(), 0755);
  mkdir((home + "/drives").c_str(), 0755);
  mkdir((home + "/drives/C").c_str(), 0755);
  check(chdir(home.c_str()) == 0, "working folder " + home);
  platform::SetDrivesRoot(home + "/drives");
  platform::RegisterLinuxDiskBackend();
  check(platform::StartDiskMonitor(), "udev disk monitor started");
  Notes notes;
  const int id = platform::RegisterDiskNotification([&](const platform::DiskNotification& n) {
    std::lock_guard lock(notes.m);
    notes.queue.push_back(n);
    notes.cv.notify_all();
  });

  // (1) Hub 1 emptied, the stick in root port 3: start-up.
  const std::vector<Entry> before = listNow();
  std::string stickPath;
  int rootPorts = 0, hub1 = 0;
  std::map<std::string, std::int64_t> present;  // bay node -> size of the disk in it
  for (const Entry& e : before) {
    rootPorts += rootPort(e.node) ? 1 : 0;
    hub1 += e.node.find("-usb-0:1.") != std::string::npos ? 1 : 0;
    if (endsWith(e.node, "-usb-0:3") && e.path != "NULL") stickPath = e.path;
    if (!rootPort(e.node) && e.path != "NULL") present[e.node] = diskBytes(e.path);
  }
  const bool ready = before.size() == kSlots && rootPorts == 8 && hub1 == 0 && !stickPath.empty() && !present.empty();
  check(ready, "hub 1 emptied, a stick in root port 3: root ports 1 and 3-9 beside hub 2's, one per slot: " +
                   describe(before));
  if (!ready) return finish(id);

  CPortMapping mapping(refreshListing, true);
  mapping.Remap(kSlots);
  check(!mapping.Warning().empty(), "start-up says the mapping is a guess: '" + mapping.Warning() + "'");
  int marked = 0;
  for (int port = 1; port <= kSlots; ++port) {
    const std::string node = readMapping(port, "PortNode");
    marked += !node.empty() && readMapping(port, "GuessedNode") == node ? 1 : 0;
  }
  check(marked == kSlots, "AutoMapping.ini marks every port learnt as a guess: " + std::to_string(marked) + " of " +
                              std::to_string(kSlots));

  // (2) The stick out, then every empty bay given a disk. Each notification
  // is mapped as it comes; whatever a mapping says is kept.
  std::string said;
  platform::DiskNotification note;
  // Maps the notifications until `done` holds for one of them, for a while at most.
  auto mapUntil = [&](const std::function<bool(const platform::DiskNotification&)>& done) {
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
         std::chrono::steady_clock::now() < end;) {
      if (!notes.next(note)) continue;
      mapping.OnDiskChange(note);
      said += mapping.Warning();
      if (done(note)) return true;
    }
    return false;
  };
  monitor("device_del stick");
  check(mapUntil([&](const auto& n) { return n.change == platform::DiskChange::Removal && n.devicePath == stickPath; }),
        "the stick's removal is notified: " + stickPath);
  std::map<int, std::int64_t> expected;  // bay -> size of its disk
  int added = 0;
  for (int bay = 1; bay <= kSlots; ++bay) {
    for (const auto& [node, bytes] : present)
      if (endsWith(node, bayTail(bay))) expected[bay] = bytes;
    if (expected.count(bay)) continue;
    const std::string tail = bayTail(bay);
    monitor("device_add usb-storage,bus=xhci.0,port=" + tail.substr(tail.find(':') + 1) + ",drive=bay" +
            std::to_string(bay) + ",id=bay" + std::to_string(bay));
    expected[bay] = (bayMiB + bay) << 20;
    ++added;
  }
  int arrivals = 0;
  mapUntil([&](const auto& n) {
    arrivals += n.change == platform::DiskChange::Arrival ? 1 : 0;
    return arrivals == added;
  });
  check(arrivals == added && said.empty(), std::to_string(arrivals) + " of " + std::to_string(added) +
                                               " disks added in the empty bays, every change mapped without a word: '" +
                                               said + "'");

  // A Start with every bay full.
  mapping.MapPorts(kSlots);
  const std::vector<Entry> full = shared();
  std::string wrong;
  for (int bay = 1; bay <= kSlots; ++bay) {
    const int drive = mapping.DriveNumber(bay);
    std::string path;
    const bool reached = drive > 0 && static_cast<std::size_t>(drive) <= full.size() &&
                         endsWith(full[drive - 1].node, bayTail(bay)) && kx::GetRootDevicePath(drive, path) &&
                         diskBytes(path) == expected[bay];
    if (!reached || !readMapping(bay, "GuessedNode").empty())
      wrong += " port " + std::to_string(bay) + " drive " + std::to_string(drive);
  }
  check(wrong.empty(), "every bay full, then a Start: port k reaches bay k's disk, no mark left:" +
                           (wrong.empty() ? std::string(" all ") + std::to_string(kSlots) : wrong) + "; " +
                           describe(full));
  check(mapping.Warning().empty(), "the Start says nothing: '" + mapping.Warning() + "'");
  mapping.Close();

  // (3) The hubs off, the stick back in root port 3: a lone stick on a root
  // hub of as many ports as the slots of a 9-bay station.
  check(deauthoriseHubs() == 2, "both hubs taken off");
  monitor("device_add usb-storage,bus=xhci.0,port=3,drive=stick,id=stick");
  std::vector<Entry> lone;
  bool alone = false;
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
       !alone && std::chrono::steady_clock::now() < end;) {
    while (notes.next(note)) {
    }
    lone = listNow();
    int empty = 0;
    alone = true;
    for (const Entry& e : lone) {
      alone = alone && rootPort(e.node);
      empty += e.path == "NULL" ? 1 : 0;
    }
    alone = alone && lone.size() > 2 && empty == static_cast<int>(lone.size()) - 1;
  }
  const int rootSlots = static_cast<int>(lone.size());
  check(alone && rootSlots == 9, "the root hub's ports alone, the stick in one of them: " + describe(lone));
  if (!alone) return finish(id);

  CPortMapping unlocked(refreshListing, true);
  unlocked.Remap(rootSlots);
  check(!unlocked.Warning().empty(), "without the lock the start says the mapping is a guess: '" +
                                         unlocked.Warning() + "'");
  check(markedPorts(rootSlots, "GuessedNode") == rootSlots, "and marks every port");
  unlocked.Close();

  kx::MakeDirectoryPath(".\\Configuration\\System");
  win::WritePrivateProfileString("OP Setting", "MappingLock", "1", app::kToolSettingIni);
  {
    CPortMapping locked(refreshListing, true);
    locked.Remap(rootSlots);
    check(!locked.Warning().empty(), "under the lock the start says so: '" + locked.Warning() + "'");
    check(markedPorts(rootSlots, "LockGuessedNode") == rootSlots, "and marks every port as the lock's guess");
    locked.Close();
  }
  CPortMapping restarted(refreshListing, true);
  restarted.Remap(rootSlots);
  check(restarted.Warning().empty(), "a restart under the lock keeps it silently: '" + restarted.Warning() + "'");
  win::WritePrivateProfileString("OP Setting", "MappingLock", "0", app::kToolSettingIni);
  CPortMapping afterKill(refreshListing, true);  // the restarted one killed, the lock cleared
  afterKill.Remap(rootSlots);
  check(afterKill.Warning().find("AutoMapping.ini") != std::string::npos,
        "the lock cleared, a start after a kill names the guess: '" + afterKill.Warning() + "'");

  return finish(id);
}
