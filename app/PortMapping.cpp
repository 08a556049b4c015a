#include "app/PortMapping.h"

#include <algorithm>
#include <set>

#include "app/AppShell.h"
#include "command/CommandGlobals.h"
#include "command/GetDevLibrary.h"
#include "command/TesterScanner.h"
#include "device/Folders.h"
#include "device/Format.h"
#include "device/Settings.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/linux/DeviceListing.h"

namespace {

struct Entry {
  std::string node;
  std::string path;
};

std::string Section(int port) { return kx::StrFormat("Port%d", port - 1); }

std::string ReadMapping(int port, const char* key) {
  char buffer[260] = {};
  win::GetPrivateProfileString(Section(port).c_str(), key, "", buffer, sizeof buffer, CPortMapping::kMappingIni);
  return kx::TrimBlanks(buffer);
}

void WriteMapping(int port, const char* key, const std::string& value) {
  win::WritePrivateProfileString(Section(port).c_str(), key, value.c_str(), CPortMapping::kMappingIni);
}

bool HasDevice(const Entry& e) { return !e.path.empty() && e.path != "NULL"; }

// The kind of port a listing node names. A real disk's node is its udev port
// path, whose USB or ATA link tells a bridge from a SATA port; other nodes are
// numbered by their port, so nodes that differ only in their trailing number
// are of one kind. One listing holds one kind of node: a node of another kind
// is another mode's or another site's and cannot come back in this process.
std::string NodeKind(const std::string& node) {
  platform::DiskPort port;
  if (platform::PortOfIdPath(node, port)) return port == platform::DiskPort::Usb ? "-usb-" : "-ata-";
  return node.substr(0, node.find_last_not_of("0123456789") + 1);
}

}  // namespace

CPortMapping::CPortMapping(std::function<void()> refreshListing) : m_Refresh(std::move(refreshListing)) {
  if (!m_Refresh)
    m_Refresh = [] {
      if (CGetDevLibrary* lib = CGetDevLibrary::GetInstance()) lib->ListKxDevice();
    };
}

bool CPortMapping::MappingLocked() {
  return win::GetPrivateProfileInt("OP Setting", "MappingLock", 0, app::kToolSettingIni) != 0;
}

void CPortMapping::MapPorts(int slots) { Map(slots, false); }

void CPortMapping::Remap(int slots) { Map(slots, true); }

void CPortMapping::Map(int slots, bool relearn) {
  m_MapDeferred = false;
  m_Slots = std::clamp(slots, 0, kPorts);
  m_DriveNumbers.fill(0);
  m_TesterScanFailed = false;
  m_DuplicateWarning.clear();
  if (kx::IsTesterDirectMode())
    MapTesters();
  else
    MapListing(relearn);
}

void CPortMapping::MapTesters() {
  CTesterScanner scanner;
  const bool ran = scanner.ScanTesters();
  for (int port = 1; port <= m_Slots; ++port) m_DriveNumbers[port - 1] = std::max(0, scanner.m_SlotMap[port]);
  m_TesterScanFailed = !ran || std::all_of(m_DriveNumbers.begin(), m_DriveNumbers.end(), [](int d) { return d == 0; });
}

void CPortMapping::MapListing(bool relearn) {
  m_Refresh();
  std::vector<Entry> entries;
  kx::WithRootDevice([&entries](kx::RootDeviceRecord& r) {
    const std::size_t n = std::min<std::size_t>(r.Count(), kx::kRootDeviceMaxEntries);
    for (std::size_t i = 0; i < n; ++i) entries.push_back({r.Node(i), r.Path(i)});
  });
  kx::MakeDirectoryPath("C:\\MP_SSD_NODE");
  std::array<std::string, kPorts> nodes;
  for (int port = 1; port <= m_Slots; ++port) nodes[port - 1] = ReadMapping(port, "PortNode");
  // The file's changes, written in one replacement of it.
  std::vector<std::array<std::string, 3>> writes;
  if (!MappingLocked()) {
    // Only a node that cannot belong to this listing gives way: a pulled
    // drive's port keeps its node, so no other bay's disk takes the port.
    std::set<std::string> kinds;
    for (const Entry& e : entries)
      if (!e.node.empty()) kinds.insert(NodeKind(e.node));
    for (int port = 1; relearn && !kinds.empty() && port <= m_Slots; ++port)
      if (!nodes[port - 1].empty() && kinds.count(NodeKind(nodes[port - 1])) == 0) nodes[port - 1].clear();
    std::size_t next = 0;
    for (int port = 1; port <= m_Slots; ++port) {
      if (!nodes[port - 1].empty()) continue;
      while (next < entries.size() && (entries[next].node.empty() ||
                                       std::find(nodes.begin(), nodes.end(), entries[next].node) != nodes.end()))
        ++next;
      if (next == entries.size()) break;
      nodes[port - 1] = entries[next].node;
      writes.push_back({Section(port), "PortNode", nodes[port - 1]});
    }
  }
  for (int port = 1; port <= m_Slots; ++port) {
    const std::string& node = nodes[port - 1];
    const auto first = std::find(nodes.begin(), nodes.begin() + (port - 1), node) - nodes.begin();
    // Two ports on one drive would run two jobs on it at once: the later reaches none.
    const bool duplicate = !node.empty() && first < port - 1;
    if (duplicate) {
      if (!m_DuplicateWarning.empty()) m_DuplicateWarning += "\n";
      m_DuplicateWarning += kx::StrFormat("[%s] PortNode %s in %s is port %d's node too: port %d is not mapped.",
                                          Section(port).c_str(), node.c_str(), kMappingIni,
                                          static_cast<int>(first) + 1, port);
    }
    std::string link;
    for (std::size_t i = 0; !node.empty() && !duplicate && i < entries.size(); ++i) {
      if (entries[i].node != node || !HasDevice(entries[i])) continue;
      m_DriveNumbers[port - 1] = static_cast<int>(i) + 1;
      link = entries[i].path;
      break;
    }
    if (link != ReadMapping(port, "SymbolicLink")) writes.push_back({Section(port), "SymbolicLink", link});
  }
  if (writes.empty()) return;
  platform::EditProfileFile(kMappingIni, [&writes](std::string& text) {
    for (const auto& [section, key, value] : writes)
      if (const win::DWORD error = platform::SetProfileKey(text, section, key, value)) return error;
    return win::DWORD{0};
  });
}

int CPortMapping::DriveNumber(int port) const {
  return port >= 1 && port <= kPorts ? m_DriveNumbers[port - 1] : 0;
}

std::vector<int> CPortMapping::OnDiskChange(const platform::DiskNotification& notification, bool running) {
  const std::array<int, kPorts> before = m_DriveNumbers;
  const bool blanks = notification.change != platform::DiskChange::Arrival && !kx::IsTesterDirectMode() &&
                      !notification.devicePath.empty();
  if (!blanks && running) {
    m_MapDeferred = true;
  } else if (!blanks) {
    MapPorts(m_Slots);
  } else {
    for (int port = 1; port <= m_Slots; ++port) {
      for (const char* key : {"SymbolicLink", "Symbolic_temp"}) {
        if (ReadMapping(port, key) != notification.devicePath) continue;
        WriteMapping(port, key, "");
        m_DriveNumbers[port - 1] = 0;
      }
    }
  }
  std::vector<int> changed;
  for (int port = 1; port <= kPorts; ++port)
    if (before[port - 1] != m_DriveNumbers[port - 1]) changed.push_back(port);
  return changed;
}

void CPortMapping::MapDeferred() {
  if (m_MapDeferred) MapPorts(m_Slots);
}

void CPortMapping::Close() {
  if (MappingLocked()) {
    for (int port = 1; port <= kPorts; ++port)
      if (!ReadMapping(port, "Symbolic_temp").empty())
        win::WritePrivateProfileString(Section(port).c_str(), "Symbolic_temp", nullptr, kMappingIni);
    return;
  }
  win::DeleteFile(kMappingIni);
}
