#include "platform/linux/DeviceListing.h"

#include <libudev.h>

#include <algorithm>
#include <cstring>

#include "platform/RootDevice.h"
#include "platform/linux/Disks.h"

namespace platform {

bool PortOfIdPath(const std::string& idPath, DiskPort& port) {
  // A bridge's path names its USB port; a SATA disk's names its ATA link.
  if (idPath.find("-usb-") != std::string::npos) {
    port = DiskPort::Usb;
    return true;
  }
  if (idPath.find("-ata-") != std::string::npos) {
    port = DiskPort::Sata;
    return true;
  }
  return false;
}

std::vector<RealDisk> SelectDisks(ISysCalls& sys, const std::vector<RealDisk>& all, DiskPort port) {
  std::vector<RealDisk> chosen;
  for (const auto& d : all) {
    DiskPort p;
    if (d.idPath.empty() || !PortOfIdPath(d.idPath, p) || p != port) continue;
    if (!linuxdisk::InspectDisk(sys, d.name).systemUse.empty()) continue;
    chosen.push_back(d);
  }
  std::sort(chosen.begin(), chosen.end(), [](const RealDisk& a, const RealDisk& b) { return a.idPath < b.idPath; });
  return chosen;
}

void FillRootDevice(unsigned char* record, const std::vector<RealDisk>& disks) {
  const std::size_t count = std::min(disks.size(), kx::kRootDeviceMaxEntries);
  const auto n = static_cast<std::uint32_t>(count);
  for (int i = 0; i < 4; ++i) record[kx::kRootDeviceCountOffset + i] = static_cast<unsigned char>(n >> (8 * i));
  unsigned char* entries = record + kx::kRootDeviceEntriesOffset;
  std::memset(entries, 0, kx::kRootDeviceMaxEntries * kx::kRootDeviceEntrySize);
  auto put = [](unsigned char* field, const std::string& text) {
    std::memcpy(field, text.data(), std::min(text.size(), kx::kRootDeviceTextSize - 1));
  };
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char* e = entries + i * kx::kRootDeviceEntrySize;
    put(e, disks[i].idPath);
    put(e + kx::kRootDeviceTextSize, disks[i].node);
  }
}

std::vector<RealDisk> EnumerateRealDisks() {
  std::vector<RealDisk> disks;
  udev* u = udev_new();
  if (!u) return disks;
  udev_enumerate* en = udev_enumerate_new(u);
  if (en) {
    udev_enumerate_add_match_subsystem(en, "block");
    udev_enumerate_add_match_property(en, "DEVTYPE", "disk");
    udev_enumerate_scan_devices(en);
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en)) {
      udev_device* dev = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
      if (!dev) continue;
      const char* name = udev_device_get_sysname(dev);
      const char* node = udev_device_get_devnode(dev);
      const char* idPath = udev_device_get_property_value(dev, "ID_PATH");
      if (name && node && linuxdisk::DiskIndexFromName(name) >= 0) {
        disks.push_back(RealDisk{name, node, idPath ? idPath : ""});
      }
      udev_device_unref(dev);
    }
    udev_enumerate_unref(en);
  }
  udev_unref(u);
  return disks;
}

void ListRealDisks(unsigned char* record, DiskPort port) {
  if (record == nullptr) return;
  FillRootDevice(record, SelectDisks(RealSysCalls(), EnumerateRealDisks(), port));
}

}  // namespace platform
