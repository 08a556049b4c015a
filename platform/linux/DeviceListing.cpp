#include "platform/linux/DeviceListing.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "platform/RootDevice.h"
#include "platform/linux/Disks.h"

namespace platform {
namespace {

using Parts = std::vector<std::string>;

Parts split(const std::string& path) {
  Parts parts;
  std::size_t at = 0;
  while (at <= path.size()) {
    const std::size_t end = std::min(path.find('/', at), path.size());
    if (end > at) parts.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

std::string join(const Parts& parts, std::size_t count) {
  std::string path;
  for (std::size_t i = 0; i < count && i < parts.size(); ++i) path += "/" + parts[i];
  return path;
}

bool allDigits(const std::string& s) {
  return !s.empty() && s.size() <= 9 &&
         std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// A small sysfs number: digits and a line end.
bool readCount(ISysCalls& sys, const std::string& path, unsigned& value) {
  std::string text;
  if (!sys.ReadText(path, text)) return false;
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  if (!allDigits(text)) return false;
  value = static_cast<unsigned>(std::stoul(text));
  return true;
}

// "0000:00:1f.2": domain, bus, device and function in hex.
bool isPciName(const std::string& s) {
  const auto colon = s.find(':');
  if (colon == std::string::npos || colon < 4 || s.size() != colon + 8) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool sep = i == colon || i == colon + 3 || i == colon + 6;
    const char want = i == colon + 6 ? '.' : ':';
    if (sep ? s[i] != want : !std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

// The nearest PCI device among the first count parts.
std::string pciAbove(const Parts& parts, std::size_t count) {
  for (std::size_t i = std::min(count, parts.size()); i-- > 0;) {
    if (isPciName(parts[i])) return parts[i];
  }
  return {};
}

// "2.10.3" -> {2, 10, 3}; false unless dotted numbers.
bool portNumbers(const std::string& text, std::vector<unsigned>& numbers) {
  numbers.clear();
  for (std::size_t at = 0;;) {
    const std::size_t dot = std::min(text.find('.', at), text.size());
    const std::string n = text.substr(at, dot - at);
    if (!allDigits(n)) return false;
    numbers.push_back(static_cast<unsigned>(std::stoul(n)));
    if (dot == text.size()) return true;
    at = dot + 1;
  }
}

bool isRootHub(const std::string& name) { return name.compare(0, 3, "usb") == 0 && allDigits(name.substr(3)); }

// A listed port: where it sorts and what it is called.
struct Port {
  std::string pci;
  std::vector<unsigned> order;
  std::string node;
  bool operator<(const Port& o) const { return std::tie(pci, order) < std::tie(o.pci, o.order); }
};

// Port ataK of the controller whose folder has these parts.
bool sataPort(ISysCalls& sys, const Parts& controller, const std::string& ata, Port& port) {
  if (ata.size() < 4 || ata.compare(0, 3, "ata") != 0 || !allDigits(ata.substr(3))) return false;
  unsigned number = 0;
  port.pci = pciAbove(controller, controller.size());
  if (port.pci.empty() || !readCount(sys, "/sys/class/ata_port/" + ata + "/port_no", number)) return false;
  port.order = {number};
  port.node = "pci-" + port.pci + "-ata-" + std::to_string(port.order[0]);
  return true;
}

// A SuperSpeed root hub's port k is one connector with a high-speed port of
// the same controller, which need not be its port k: the port's "peer" link
// names it ("usb1-port3"). Returns the high-speed port's number, or k where
// the root hub is not SuperSpeed or the port has no peer.
unsigned connectorOf(ISysCalls& sys, const std::string& rootHub, const std::string& bus, unsigned k) {
  unsigned speed = 0;
  std::string peer;
  if (!readCount(sys, rootHub + "/speed", speed) || speed < 5000 ||
      !sys.ReadLink(rootHub + "/" + bus + "-0:1.0/usb" + bus + "-port" + std::to_string(k) + "/peer", peer)) {
    return k;
  }
  const std::string name = peer.substr(peer.rfind('/') + 1);
  const auto at = name.find("-port");
  unsigned number = 0;
  if (at == std::string::npos || !isRootHub(name.substr(0, at)) || !allDigits(name.substr(at + 5)) ||
      (number = static_cast<unsigned>(std::stoul(name.substr(at + 5)))) == 0) {
    return k;
  }
  return number;
}

// The port of the hub whose folder has these parts that holds USB device
// "<bus>-<port path>" (its name whether or not it is there). Both halves of a
// USB 3 connector give one port: a SuperSpeed root port is numbered as its
// high-speed peer, the ports below it keep their numbers.
bool usbPort(ISysCalls& sys, const Parts& hub, const std::string& device, Port& port) {
  const auto dash = device.find('-');
  if (dash == std::string::npos || !allDigits(device.substr(0, dash)) ||
      !portNumbers(device.substr(dash + 1), port.order)) {
    return false;
  }
  std::size_t root = hub.size();
  while (root > 0 && !isRootHub(hub[root - 1])) --root;
  port.pci = root > 0 ? pciAbove(hub, root - 1) : std::string();
  if (port.pci.empty()) return false;
  port.order[0] = connectorOf(sys, join(hub, root), device.substr(0, dash), port.order[0]);
  port.node = "pci-" + port.pci + "-usb-0:";
  for (std::size_t i = 0; i < port.order.size(); ++i) port.node += (i ? "." : "") + std::to_string(port.order[i]);
  return true;
}

// The USB device name in port k of a hub: "2-3" in root hub usb2, "2-3.4" in hub 2-3.
std::string usbDeviceInPort(const std::string& hub, unsigned k) {
  if (isRootHub(hub)) return hub.substr(3) + "-" + std::to_string(k);
  return hub + "." + std::to_string(k);
}

// The port a disk hangs on directly, from the disk's folder in sysfs
// ("/sys/devices/.../block/sdb"); false when it hangs on none.
struct PortPlace {
  DiskPort kind = DiskPort::Usb;
  std::string parent;  // the controller's or hub's folder
  std::string node;
};

bool placeOf(ISysCalls& sys, const std::string& folder, PortPlace& place, Port& port) {
  const Parts parts = split(folder);
  // .../<port>/hostH/targetH:0:0/H:0:0:0/block/<disk>
  const std::size_t n = parts.size();
  if (n < 8 || parts[n - 2] != "block") return false;
  const std::string& scsi = parts[n - 3];
  const std::string host = scsi.substr(0, scsi.find(':'));
  if (!allDigits(host) || scsi != host + ":0:0:0" || parts[n - 4] != "target" + host + ":0:0" ||
      parts[n - 5] != "host" + host) {
    return false;
  }
  const std::size_t up = n - 6;  // the ATA port, or the USB device's interface
  const Parts above(parts.begin(), parts.begin() + static_cast<long>(up));
  if (sataPort(sys, above, parts[up], port)) {
    place.kind = DiskPort::Sata;
    place.parent = join(parts, up);
  } else {
    // <hub>/<device>/<device>:<configuration>.<interface>
    const std::string& device = parts[up - 1];
    if (parts[up].compare(0, device.size() + 1, device + ":") != 0) return false;
    const Parts hub(parts.begin(), parts.begin() + static_cast<long>(up - 1));
    if (!usbPort(sys, hub, device, port)) return false;
    place.kind = DiskPort::Usb;
    place.parent = join(parts, up - 1);
  }
  place.node = port.node;
  return true;
}

// Every port of a controller or hub.
std::vector<Port> portsOf(ISysCalls& sys, const std::string& parent, DiskPort kind) {
  std::vector<Port> ports;
  const Parts parts = split(parent);
  if (parts.empty()) return ports;
  Port port;
  if (kind == DiskPort::Sata) {
    std::vector<std::string> names;
    if (!sys.ListDir(parent, names)) return ports;
    for (const auto& name : names) {
      if (sataPort(sys, parts, name, port)) ports.push_back(port);
    }
    return ports;
  }
  unsigned count = 0;
  if (!readCount(sys, parent + "/maxchild", count)) return ports;
  for (unsigned k = 1; k <= count && k <= 255; ++k) {
    if (usbPort(sys, parts, usbDeviceInPort(parts.back(), k), port)) ports.push_back(port);
  }
  return ports;
}

}  // namespace

std::vector<PortEntry> ListPorts(ISysCalls& sys, DiskPort kind, const std::vector<std::string>& programFolders) {
  struct Disk {
    std::string path;
    bool system = false;
  };
  std::map<std::string, Disk> disks;  // by port node
  std::set<std::string> parents;      // controllers and hubs to list
  std::vector<std::string> names;
  sys.ListDir("/sys/block", names);
  for (const auto& name : names) {
    std::string folder;
    PortPlace place;
    Port port;
    if (linuxdisk::DiskIndexFromName(name) < 0 || !sys.RealPath("/sys/block/" + name, folder) ||
        !placeOf(sys, folder, place, port) || place.kind != kind) {
      continue;
    }
    Disk& d = disks[place.node];
    d.system = d.system || !linuxdisk::InspectDisk(sys, name, programFolders).systemUse.empty();
    if (d.system) continue;
    d.path = linuxdisk::DiskPath(sys, name);
    parents.insert(place.parent);
  }
  // The ports listed hubs hang on, in either half of a USB 3 hub: their ports stand for them.
  std::set<std::string> standIns;
  for (const auto& parent : parents) {
    const Parts parts = split(parent);
    Port port;
    if (kind == DiskPort::Usb && !parts.empty() && !isRootHub(parts.back()) &&
        usbPort(sys, Parts(parts.begin(), parts.end() - 1), parts.back(), port)) {
      standIns.insert(port.node);
    }
  }
  std::map<Port, std::string> listed;  // port -> path
  for (const auto& parent : parents) {
    for (const Port& port : portsOf(sys, parent, kind)) {
      if (standIns.count(port.node)) continue;
      const auto d = disks.find(port.node);
      if (d != disks.end() && d->second.system) continue;
      const std::string path = d != disks.end() ? d->second.path : "NULL";
      auto [at, fresh] = listed.emplace(port, path);
      if (!fresh && at->second == "NULL") at->second = path;  // the other half of a USB 3 hub
    }
  }
  std::vector<PortEntry> entries;
  for (const auto& [port, path] : listed) entries.push_back(PortEntry{port.node, path});
  return entries;
}

void FillRootDevice(unsigned char* record, const std::vector<PortEntry>& entries) {
  const std::size_t count = std::min(entries.size(), kx::kRootDeviceMaxEntries);
  const auto n = static_cast<std::uint32_t>(count);
  for (int i = 0; i < 4; ++i) record[kx::kRootDeviceCountOffset + i] = static_cast<unsigned char>(n >> (8 * i));
  unsigned char* out = record + kx::kRootDeviceEntriesOffset;
  std::memset(out, 0, kx::kRootDeviceMaxEntries * kx::kRootDeviceEntrySize);
  auto put = [](unsigned char* field, const std::string& text) {
    std::memcpy(field, text.data(), std::min(text.size(), kx::kRootDeviceTextSize - 1));
  };
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char* e = out + i * kx::kRootDeviceEntrySize;
    put(e, entries[i].node);
    put(e + kx::kRootDeviceTextSize, entries[i].path);
  }
}

void ListRealPorts(unsigned char* record, DiskPort kind) {
  if (record == nullptr) return;
  FillRootDevice(record, ListPorts(RealSysCalls(), kind));
}

}  // namespace platform
