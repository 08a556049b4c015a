// Which drive number each port of the production page reaches. Behind bridges
// and SATA ports, C:\MP_SSD_NODE\AutoMapping.ini ties each port (section
// "Port%d", 0-based) to a listing node (PortNode), the bay; a port's drive
// number is the 1-based index of that node's entry in the device listing, 0
// while the entry has no device, and the entry's path is kept as the port's
// SymbolicLink. The listing lists bays, empty ones too, so a fresh mapping
// gives port k the k-th entry, and a drive runs on its own bay's port whichever
// bays were empty. Ports without a node take, in listing order, the entries no
// port holds, unless [OP Setting] MappingLock is set. A port keeps its node
// while the listing lacks it (a pulled drive's port waits for that drive), and
// a node named by two ports stays with the first. In tester-direct mode the
// tester boards' slot map gives the drive numbers.
#pragma once
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "platform/DeviceNotify.h"

class CPortMapping {
 public:
  static constexpr int kPorts = 24;
  static constexpr const char* kMappingIni = "C:\\MP_SSD_NODE\\AutoMapping.ini";

  // refreshListing renews the device listing before each mapping (the listing
  // library by default; tests fill the listing themselves).
  explicit CPortMapping(std::function<void()> refreshListing = {});

  // Maps ports 1..slots afresh; the others get 0.
  void MapPorts(int slots);
  // The same (start-up and Scan), and a file none of whose nodes the listing
  // holds is learnt afresh: one that a killed process left for another mode or
  // site, or before the station was cabled again. A file naming a listed node
  // keeps every node, listed or not.
  void Remap(int slots);
  // Port 1..24; 0 when the port reaches no drive.
  int DriveNumber(int port) const;
  std::array<int, kPorts> DriveNumbers() const { return m_DriveNumbers; }

  // A disk arrived: maps again. A disk left: blanks the port's SymbolicLink (or
  // Symbolic_temp) that names it and unmaps the port. Both return the ports
  // whose drive number changed. With `running` (a pass is going) nothing is
  // mapped again: the jobs open their drives through the listing by number,
  // and a new listing would renumber them under the jobs. That mapping waits
  // for MapDeferred().
  std::vector<int> OnDiskChange(const platform::DiskNotification& notification, bool running = false);
  // The mapping a change during a pass put off, made now (nothing when none
  // was, or the ports were mapped since); returns the ports whose drive number
  // changed.
  std::vector<int> MapDeferred();

  // Shut-down: removes the Symbolic_temp keys and deletes the file unless
  // MappingLock is set.
  void Close();

  static bool MappingLocked();
  // Tester-direct mode: the last mapping's tester scan failed or found no
  // tester board for any of the slots.
  bool TesterScanFailed() const { return m_TesterScanFailed; }
  // The last mapping's ports left unmapped because an earlier port names the
  // same node, a line each naming the file's entry; empty when none.
  std::string DuplicateWarning() const { return m_DuplicateWarning; }

 private:
  void Map(int slots, bool relearn);
  void MapListing(bool relearn);
  void MapTesters();
  std::function<void()> m_Refresh;
  std::array<int, kPorts> m_DriveNumbers{};
  int m_Slots = 0;
  bool m_TesterScanFailed = false;
  std::string m_DuplicateWarning;
  bool m_MapDeferred = false;
};
