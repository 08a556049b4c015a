#include "app/PortMapping.h"

#include <algorithm>
#include <utility>

#include "app/AppShell.h"
#include "command/CommandGlobals.h"
#include "command/GetDevLibrary.h"
#include "command/TesterScanner.h"
#include "device/Folders.h"
#include "device/Format.h"
#include "device/Settings.h"
#include "platform/Debug.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/Profile.h"

namespace {

std::string Section(int port) { return kx::StrFormat("Port%d", port - 1); }

// The node a port was given by a guess, kept beside its PortNode: without the
// lock, and by the lock.
constexpr const char* kGuessedNode = "GuessedNode";
constexpr const char* kLockGuessedNode = "LockGuessedNode";

std::string ReadMapping(int port, const char* key) {
  char buffer[260] = {};
  win::GetPrivateProfileString(Section(port).c_str(), key, "", buffer, sizeof buffer, CPortMapping::kMappingIni);
  return kx::TrimBlanks(buffer);
}

// 0, or why the system refused the write (a null value takes the key out).
win::DWORD WriteMapping(int port, const char* key, const char* value) {
  return win::WritePrivateProfileString(Section(port).c_str(), key, value, CPortMapping::kMappingIni)
             ? 0
             : win::GetLastError();
}

// The ports whose drive number differs between two mappings.
std::vector<int> ChangedPorts(const std::array<int, CPortMapping::kPorts>& before,
                              const std::array<int, CPortMapping::kPorts>& after) {
  std::vector<int> changed;
  for (int port = 1; port <= CPortMapping::kPorts; ++port)
    if (before[port - 1] != after[port - 1]) changed.push_back(port);
  return changed;
}

}  // namespace

CPortMapping::CPortMapping(std::function<void()> refreshListing, bool realPorts)
    : m_Refresh(std::move(refreshListing)), m_RealPorts(realPorts) {
  if (!m_Refresh)
    m_Refresh = [] {
      if (CGetDevLibrary* lib = CGetDevLibrary::GetInstance()) lib->ListKxDevice();
    };
}

bool CPortMapping::MappingLocked() {
  return win::GetPrivateProfileInt("OP Setting", "MappingLock", 0, app::kToolSettingIni) != 0;
}

void CPortMapping::MapPorts(int slots) { Map(slots, Occasion::Start); }

void CPortMapping::Remap(int slots) { Map(slots, Occasion::StartUpOrScan); }

void CPortMapping::Map(int slots, Occasion occasion) {
  m_MapDeferred = false;
  m_Slots = std::clamp(slots, 0, kPorts);
  m_DriveNumbers.fill(0);
  m_TesterScanFailed = false;
  m_Warning.clear();
  if (kx::IsTesterDirectMode())
    MapTesters();
  else
    MapListing(occasion);
}

void CPortMapping::Warn(const std::string& line) {
  if (!m_Warning.empty()) m_Warning += "\n";
  m_Warning += line;
}

void CPortMapping::MapTesters() {
  CTesterScanner scanner;
  const bool ran = scanner.ScanTesters();
  for (int port = 1; port <= m_Slots; ++port) m_DriveNumbers[port - 1] = std::max(0, scanner.m_SlotMap[port]);
  m_TesterScanFailed = !ran || std::all_of(m_DriveNumbers.begin(), m_DriveNumbers.end(), [](int d) { return d == 0; });
}

void CPortMapping::MapListing(Occasion occasion) {
  m_Refresh();
  const std::vector<Entry> entries = ReadListing();
  int listedPorts = 0;
  for (const Entry& e : entries)
    if (!e.node.empty()) m_EverListed.insert(e.node), ++listedPorts;
  const Listing listing = JudgeListing(entries, m_Slots);
  const bool locked = MappingLocked();
  kx::MakeDirectoryPath("C:\\MP_SSD_NODE");
  Nodes stored{};
  std::array<Marks, kPorts> storedMarks{};
  Ports guesses{};  // the ports whose node is a guess now
  for (int port = 1; port <= m_Slots; ++port) {
    stored[port - 1] = ReadMapping(port, "PortNode");
    storedMarks[port - 1] = {ReadMapping(port, kGuessedNode), ReadMapping(port, kLockGuessedNode)};
    guesses[port - 1] = IsGuess(JudgePort(stored[port - 1], storedMarks[port - 1], false, listing, locked), locked);
  }
  Nodes nodes = stored;
  const Ports learnt = Learn(nodes, guesses, entries, listing == Listing::Bays, occasion, locked);
  Ports guessedNow{}, kept{};
  std::vector<std::array<std::string, 3>> writes;
  for (int port = 1; port <= m_Slots; ++port) {
    const std::string& node = nodes[port - 1];
    const Learnt what = JudgePort(node, storedMarks[port - 1], learnt[port - 1], listing, locked);
    guessedNow[port - 1] = learnt[port - 1] && what != Learnt::Record;
    kept[port - 1] = !learnt[port - 1] && IsGuess(what, locked);
    if (node != stored[port - 1]) writes.push_back({Section(port), "PortNode", node});
    const Marks marks{what == Learnt::Guess ? node : "", what == Learnt::LockedGuess ? node : ""};
    if (marks.guessed != storedMarks[port - 1].guessed)
      writes.push_back({Section(port), kGuessedNode, marks.guessed});
    if (marks.lockGuessed != storedMarks[port - 1].lockGuessed)
      writes.push_back({Section(port), kLockGuessedNode, marks.lockGuessed});
  }
  WarnOfGuess(listing, listedPorts, nodes, guessedNow, locked);
  WarnOfKeptGuesses(nodes, kept);
  MapNodes(nodes, entries, occasion, writes);
  if (writes.empty()) return;
  // The file's changes, written in one replacement of it. A mark that goes
  // leaves no key, so a file without a guess is as it always was.
  NoteRefusedWrite(platform::EditProfileFile(kMappingIni, [&writes](std::string& text) {
    for (const auto& [section, key, value] : writes) {
      const bool mark = key == kGuessedNode || key == kLockGuessedNode;
      const win::DWORD error = mark && value.empty() ? platform::DeleteProfileKey(text, section, key)
                                                     : platform::SetProfileKey(text, section, key, value);
      if (error) return error;
    }
    return win::DWORD{0};
  }));
}

void CPortMapping::NoteRefusedWrite(win::DWORD error) {
  if (error == 0) {
    m_Refused.clear();
    return;
  }
  std::string text = kx::StrFormat("%s not written: %s", kMappingIni, kx::OsErrorText(error).c_str());
  if (error == win::ERROR_LOCK_FAILED) {
    if (const std::string reason = platform::LockRefusalReason(kMappingIni); !reason.empty())
      text += " (the folder cannot be locked: " + reason + ")";
  }
  platform::DebugAlert(text);
  // A full disk refuses every mapping's write: the window says it once.
  if (text != std::exchange(m_Refused, text)) Warn(text);
}

CPortMapping::Listing CPortMapping::JudgeListing(const std::vector<Entry>& entries, int slots) {
  int listed = 0;
  bool rootPort = false;
  bool hubPort = false;
  bool emptyRootPort = false;
  for (const Entry& e : entries) {
    if (e.node.empty()) continue;
    ++listed;
    // "pci-0000:00:14.0-usb-0:3" is root port 3, "...-usb-0:2.1" port 1 of the hub in root port 2.
    const std::size_t usb = e.node.rfind("usb-");
    if (usb == std::string::npos || (usb > 0 && e.node[usb - 1] != '-')) continue;
    const std::size_t path = e.node.find(':', usb);
    if (path == std::string::npos) continue;
    const bool root = e.node.find('.', path) == std::string::npos;
    (root ? rootPort : hubPort) = true;
    // A root port holding a hub without a disk is listed empty, as an empty one is.
    emptyRootPort = emptyRootPort || (root && !e.HasDevice());
  }
  if (rootPort && hubPort) return Listing::RootPortBesideHubs;
  if (listed != slots) return Listing::OtherCount;
  return emptyRootPort ? Listing::RootPortsNotAllFull : Listing::Bays;
}

CPortMapping::Learnt CPortMapping::JudgePort(const std::string& node, const Marks& marks, bool learntNow,
                                             Listing listing, bool locked) const {
  if (node.empty()) return Learnt::Record;
  if (learntNow) {
    if (!m_RealPorts || listing == Listing::Bays) return Learnt::Record;
    return locked ? Learnt::LockedGuess : Learnt::Guess;
  }
  if (marks.guessed == node) return Learnt::Guess;
  if (marks.lockGuessed == node) return Learnt::LockedGuess;
  return Learnt::Record;
}

CPortMapping::Ports CPortMapping::Learn(Nodes& nodes, const Ports& guesses, const std::vector<Entry>& entries,
                                        bool bays, Occasion occasion, bool locked) const {
  if (LearnsAfresh(nodes, entries, occasion, locked)) nodes.fill(std::string());
  bool mayLearn = MayLearnFreePorts(nodes, occasion, locked);
  // A listing of the bays learns guessed ports again. Under the lock (at a
  // start-up or Scan) a file that held a guess was not yet learnt: the ports
  // a guess left without a node learn too.
  if (bays && (!locked || occasion == Occasion::StartUpOrScan)) {
    for (int port = 1; port <= m_Slots; ++port) {
      if (!guesses[port - 1]) continue;
      nodes[port - 1].clear();
      mayLearn = true;
    }
  }
  return mayLearn ? AssignFreePorts(nodes, entries) : Ports{};
}

std::vector<CPortMapping::Entry> CPortMapping::ReadListing() {
  std::vector<Entry> entries;
  kx::WithRootDevice([&entries](kx::RootDeviceRecord& r) {
    const std::size_t n = std::min<std::size_t>(r.Count(), kx::kRootDeviceMaxEntries);
    for (std::size_t i = 0; i < n; ++i) entries.push_back({r.Node(i), r.Path(i)});
  });
  return entries;
}

// Without the lock, a file none of whose nodes any mapping of this run has
// listed is another mode's or site's, or the station's cabling changed: it is
// learnt afresh at start-up, Scan or an arrival. A file whose ports this run
// has seen keeps every node, listed now or not: a pulled drive's port, or one
// whose hub is emptied between batches, waits for it, and a stick or the next
// batch's first drive elsewhere never takes the station over. A locked file is
// the station's own and is never thrown away.
bool CPortMapping::LearnsAfresh(const Nodes& nodes, const std::vector<Entry>& entries, Occasion occasion,
                                bool locked) const {
  const bool anyListed = std::any_of(entries.begin(), entries.end(), [](const Entry& e) { return !e.node.empty(); });
  return occasion != Occasion::Start && !locked && anyListed &&
         std::none_of(nodes.begin(), nodes.begin() + m_Slots,
                      [this](const std::string& node) { return !node.empty() && m_EverListed.count(node) > 0; });
}

// Without the lock every mapping fills the ports without a node. Under it the
// file is learnt once, at a start-up or Scan while it names no port at all (a
// station's first start, or after the file was deleted); once it names a port
// it stands as it is, so a spare port stays closed and a disk plugged in later
// (a stick, a card reader, another hub) never becomes a port.
bool CPortMapping::MayLearnFreePorts(const Nodes& nodes, Occasion occasion, bool locked) const {
  if (!locked) return true;
  if (occasion != Occasion::StartUpOrScan) return false;
  // Ports past the slots count too: a station run with fewer slots for a
  // while keeps the bays it learnt.
  for (int port = 1; port <= kPorts; ++port)
    if (!(port <= m_Slots ? nodes[port - 1] : ReadMapping(port, "PortNode")).empty()) return false;
  return true;
}

// A port without a node takes the next listed port that no port holds, with a
// device or not: on a fresh mapping port k is the k-th listed port.
CPortMapping::Ports CPortMapping::AssignFreePorts(Nodes& nodes, const std::vector<Entry>& entries) const {
  Ports learnt{};
  std::size_t next = 0;
  for (int port = 1; port <= m_Slots; ++port) {
    if (!nodes[port - 1].empty()) continue;
    while (next < entries.size() && (entries[next].node.empty() ||
                                     std::find(nodes.begin(), nodes.end(), entries[next].node) != nodes.end()))
      ++next;
    if (next == entries.size()) break;
    nodes[port - 1] = entries[next].node;
    learnt[port - 1] = true;
  }
  return learnt;
}

namespace {

// "port 3" or "ports 1-4, 6", capitalised or not.
std::string PortsPhrase(const std::vector<int>& ports, bool capital) {
  std::string runs;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    std::size_t last = i;
    while (last + 1 < ports.size() && ports[last + 1] == ports[last] + 1) ++last;
    runs += (runs.empty() ? "" : ", ") + std::to_string(ports[i]);
    if (last > i) runs += "-" + std::to_string(ports[last]);
    i = last;
  }
  return (capital ? "P" : "p") + std::string(ports.size() == 1 ? "ort " : "orts ") + runs;
}

}  // namespace

// The listing's order is the station's bays only when its ports are the bays.
// Every port that real ports are learnt for from another listing is named in
// the mapping that learnt it, once in a run (a stick plugged in first on a
// station started empty gives the first ports to its root hub's ports; the
// next batch in another hub alone gives the free ports to that hub's bays).
void CPortMapping::WarnOfGuess(Listing listing, int listedPorts, const Nodes& nodes, const Ports& guessedNow,
                               bool locked) {
  std::vector<int> ports;
  for (int port = 1; port <= m_Slots; ++port)
    if (guessedNow[port - 1] && m_GuessesTold.insert({port, nodes[port - 1]}).second) ports.push_back(port);
  if (ports.empty()) return;
  const char* why = "";
  if (listing == Listing::RootPortBesideHubs)
    why = ", and a disk on the computer's own USB port is listed beside the station's hubs (take sticks and card "
          "readers out)";
  else if (listing == Listing::RootPortsNotAllFull)
    why = ", all of them the computer's own USB ports and not each holding a disk, as a stick or a card reader "
          "alone lists them (take sticks and card readers out)";
  const bool one = ports.size() == 1;
  Warn(kx::StrFormat(
      "The device listing holds %d ports for the %d slots%s: %s in listing order, which need not be %s. Check each "
      "drive on its cell. %s",
      listedPorts, m_Slots, why,
      (PortsPhrase(ports, false) + (one ? " was given a listed port" : " were given listed ports")).c_str(),
      one ? "its bay" : "the station's bays",
      (locked ? kx::StrFormat("[OP Setting] MappingLock keeps what was learnt: to learn again, "
                              "delete %s and start with every bay full.",
                              kMappingIni)
              : kx::StrFormat("To keep a station's bays, set [OP Setting] MappingLock = 1 in %s "
                              "and start once with every bay full.",
                              app::kToolSettingIni))
          .c_str()));
}

// Guessed ports kept from an earlier run (a kill or power cut left the file,
// or the lock kept it at the end) are said once in a run, whatever mapping
// kept them: nothing else would tell that a drive may run on another bay's port.
void CPortMapping::WarnOfKeptGuesses(const Nodes& nodes, const Ports& kept) {
  std::vector<int> ports;
  for (int port = 1; port <= m_Slots; ++port)
    if (kept[port - 1] && m_GuessesTold.insert({port, nodes[port - 1]}).second) ports.push_back(port);
  if (ports.empty()) return;
  const bool one = ports.size() == 1;
  Warn(kx::StrFormat("%s of %s %s by a guess and need not be %s. Check each drive on its cell. To learn %s again, "
                     "delete %s and start with every bay full.",
                     PortsPhrase(ports, true).c_str(), kMappingIni,
                     one ? "was given a listed port" : "were given listed ports", one ? "its bay" : "the station's bays",
                     one ? "it" : "them", kMappingIni));
}

// Each port's drive number: the entry of its node while that entry has a
// device. The SymbolicLink keys that change are added to `writes`. A node two
// ports name is said at start-up and Scan, not again at every Start or arrival.
void CPortMapping::MapNodes(const Nodes& nodes, const std::vector<Entry>& entries, Occasion occasion,
                            std::vector<std::array<std::string, 3>>& writes) {
  for (int port = 1; port <= m_Slots; ++port) {
    const std::string& node = nodes[port - 1];
    const auto first = std::find(nodes.begin(), nodes.begin() + (port - 1), node) - nodes.begin();
    // Two ports on one drive would run two jobs on it at once: the later reaches none.
    const bool duplicate = !node.empty() && first < port - 1;
    if (duplicate && occasion == Occasion::StartUpOrScan) {
      Warn(kx::StrFormat("[%s] PortNode %s in %s is port %d's node too: port %d is not mapped.",
                         Section(port).c_str(), node.c_str(), kMappingIni, static_cast<int>(first) + 1, port));
    }
    std::string link;
    for (std::size_t i = 0; !node.empty() && !duplicate && i < entries.size(); ++i) {
      if (entries[i].node != node || !entries[i].HasDevice()) continue;
      m_DriveNumbers[port - 1] = static_cast<int>(i) + 1;
      link = entries[i].path;
      break;
    }
    if (link != ReadMapping(port, "SymbolicLink")) writes.push_back({Section(port), "SymbolicLink", link});
  }
}

int CPortMapping::DriveNumber(int port) const {
  return port >= 1 && port <= kPorts ? m_DriveNumbers[port - 1] : 0;
}

std::vector<int> CPortMapping::OnDiskChange(const platform::DiskNotification& notification, bool running) {
  const std::array<int, kPorts> before = m_DriveNumbers;
  m_Warning.clear();
  const bool blanks = notification.change != platform::DiskChange::Arrival && !kx::IsTesterDirectMode() &&
                      !notification.devicePath.empty();
  if (!blanks && running) {
    m_MapDeferred = true;
  } else if (!blanks) {
    Map(m_Slots, Occasion::Arrival);
  } else {
    for (int port = 1; port <= m_Slots; ++port) {
      for (const char* key : {"SymbolicLink", "Symbolic_temp"}) {
        if (ReadMapping(port, key) != notification.devicePath) continue;
        NoteRefusedWrite(WriteMapping(port, key, ""));
        m_DriveNumbers[port - 1] = 0;
      }
    }
  }
  return ChangedPorts(before, m_DriveNumbers);
}

std::vector<int> CPortMapping::MapDeferred() {
  const std::array<int, kPorts> before = m_DriveNumbers;
  m_Warning.clear();
  if (m_MapDeferred) Map(m_Slots, Occasion::Arrival);
  return ChangedPorts(before, m_DriveNumbers);
}

void CPortMapping::Close() {
  if (MappingLocked()) {
    for (int port = 1; port <= kPorts; ++port)
      if (!ReadMapping(port, "Symbolic_temp").empty()) NoteRefusedWrite(WriteMapping(port, "Symbolic_temp", nullptr));
    return;
  }
  if (win::DeleteFile(kMappingIni)) return;
  const win::DWORD error = win::GetLastError();
  if (error != win::ERROR_FILE_NOT_FOUND && error != win::ERROR_PATH_NOT_FOUND) NoteRefusedWrite(error);
}
