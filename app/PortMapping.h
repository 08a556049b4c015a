// Which drive number each port of the production page reaches. Behind bridges
// and SATA ports, C:\MP_SSD_NODE\AutoMapping.ini ties each port (section
// "Port%d", 0-based) to a listing node (PortNode), the bay; a port's drive
// number is the 1-based index of that node's entry in the device listing, 0
// while the entry has no device, and the entry's path is kept as the port's
// SymbolicLink. The listing lists bays, empty ones too, so a fresh mapping
// gives port k the k-th entry, and a drive runs on its own bay's port whichever
// bays were empty. Ports without a node take, in listing order, the entries no
// port holds. A port keeps its node while the listing lacks it (a pulled
// drive's port waits for that drive), and a node named by two ports stays with
// the first. In tester-direct mode the tester boards' slot map gives the drive
// numbers.
//
// With [OP Setting] MappingLock set the file is the station's record of its
// bays, learnt once: at a start-up or Scan while it names no port at all.
// From then on it stands as it is and outlives the program: a port without a
// node reaches no drive, and nothing plugged in later becomes a port.
//
// A listing lists the station's bays when it holds as many ports as slots, no
// port of a computer's own USB root hub (a disk straight on the PC, such as a
// stick or a card reader) beside ports of hubs, and, when it holds such root
// ports alone, a disk in each of them (a lone stick lists its root hub's
// ports, hubs without a disk among them). A port learnt from any other listing
// of real ports was given its node by a guess; the file marks it (GuessedNode,
// or LockGuessedNode when the lock learnt it, the node guessed), so that the
// guess outlives neither the warning nor the run: a mapping whose listing lists
// the bays (unlocked, any; locked, a start-up or Scan) learns such ports again,
// and one that keeps them says so once in a run. What the lock learnt so is
// the station's record while the lock stands, and a guess once it is cleared.
// A node written over the mark (by hand, or learnt from a listing of the bays)
// is no guess.
#pragma once
#include <array>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/DeviceNotify.h"
#include "platform/WinTypes.h"

class CPortMapping {
 public:
  static constexpr int kPorts = 24;
  static constexpr const char* kMappingIni = "C:\\MP_SSD_NODE\\AutoMapping.ini";

  // refreshListing renews the device listing before each mapping (the listing
  // library by default; tests fill the listing themselves).
  // `realPorts`: the listing lists the machine's own controllers and hubs,
  // whose order need not be the station's bays, so learnt ports are warned of.
  explicit CPortMapping(std::function<void()> refreshListing = {}, bool realPorts = false);

  // Maps ports 1..slots afresh (Start); the others get 0.
  void MapPorts(int slots);
  // The same at start-up and Scan, and, unless the mapping is locked, a file
  // none of whose nodes any mapping of this run has listed is learnt afresh:
  // one that a killed process left for another mode or site, or before the
  // station was cabled again. A file naming a node listed in this run keeps
  // every node, listed now or not.
  void Remap(int slots);
  // Port 1..24; 0 when the port reaches no drive.
  int DriveNumber(int port) const;
  std::array<int, kPorts> DriveNumbers() const { return m_DriveNumbers; }

  // A disk arrived: maps again, as Remap does. A disk left: blanks the port's SymbolicLink (or
  // Symbolic_temp) that names it and unmaps the port. Both return the ports
  // whose drive number changed. With `running` (a pass is going) nothing is
  // mapped again: the jobs open their drives through the listing by number,
  // and a new listing would renumber them under the jobs. That mapping waits
  // for MapDeferred().
  std::vector<int> OnDiskChange(const platform::DiskNotification& notification, bool running = false);
  // The mapping a change during a pass put off, made now (nothing when none
  // was, or the ports were mapped since); returns the ports whose drive number
  // changed. Its Warning() is the arrival's.
  std::vector<int> MapDeferred();

  // Shut-down: removes the Symbolic_temp keys and deletes the file unless
  // MappingLock is set; what the system refuses is named on standard error.
  void Close();

  static bool MappingLocked();
  // A listed port: its node, and the path of the disk in it.
  struct Entry {
    std::string node;
    std::string path;  // "NULL" for an empty port
    bool HasDevice() const { return !path.empty() && path != "NULL"; }
  };
  // Whether a listing lists the bays of a station of `slots` bays, and if not,
  // the sign that says so.
  enum class Listing { Bays, OtherCount, RootPortBesideHubs, RootPortsNotAllFull };
  static Listing JudgeListing(const std::vector<Entry>& entries, int slots);
  // Tester-direct mode: the last mapping's tester scan failed or found no
  // tester board for any of the slots.
  bool TesterScanFailed() const { return m_TesterScanFailed; }
  // What the last call that may map (Remap, MapPorts, OnDiskChange,
  // MapDeferred) has to tell, a line each; empty when nothing, and after a
  // change put off. At start-up and Scan: the ports left unmapped because an
  // earlier port names the same node. At every mapping on real ports: the
  // ports it learnt from a listing that is not the bays, each port and node
  // once in a run; ports kept that are guesses, once in a run. At any call: a
  // write of the file refused, unless the last write was refused so.
  std::string Warning() const { return m_Warning; }

 private:
  // What a mapping may learn: a Start keeps the file as it is, start-up, Scan
  // and arrivals fill it.
  enum class Occasion { Start, StartUpOrScan, Arrival };
  using Nodes = std::array<std::string, kPorts>;
  using Ports = std::array<bool, kPorts>;
  // What a port's node is: its bay's (learnt from a listing of the bays, or
  // written), a guess, or a guess the lock learnt.
  enum class Learnt { Record, Guess, LockedGuess };
  struct Marks {
    std::string guessed, lockGuessed;
  };
  // A port learnt by this mapping is what the listing makes it; any other what
  // its marks say.
  Learnt JudgePort(const std::string& node, const Marks& marks, bool learntNow, Listing listing, bool locked) const;
  // Whether such a port is learnt again from a listing of the bays, and named
  // while it is kept: a guess the lock learnt only once the lock is cleared.
  static bool IsGuess(Learnt learnt, bool locked) {
    return learnt == Learnt::Guess || (learnt == Learnt::LockedGuess && !locked);
  }
  void Map(int slots, Occasion occasion);
  // List, decide whether the listing is the bays, learn, mark the guesses,
  // warn, map the nodes and write what changed.
  void MapListing(Occasion occasion);
  static std::vector<Entry> ReadListing();
  // Gives nodes to the ports that may learn; returns the ports that took one.
  Ports Learn(Nodes& nodes, const Ports& guesses, const std::vector<Entry>& entries, bool bays, Occasion occasion,
              bool locked) const;
  bool LearnsAfresh(const Nodes& nodes, const std::vector<Entry>& entries, Occasion occasion, bool locked) const;
  bool MayLearnFreePorts(const Nodes& nodes, Occasion occasion, bool locked) const;
  // Gives the ports that have no node listed ports; returns the ports that took one.
  Ports AssignFreePorts(Nodes& nodes, const std::vector<Entry>& entries) const;
  void WarnOfGuess(Listing listing, int listedPorts, const Nodes& nodes, const Ports& guessedNow, bool locked);
  void WarnOfKeptGuesses(const Nodes& nodes, const Ports& kept);
  // A write of the file the system refused: on standard error, and in Warning()
  // unless the last write was refused so.
  void NoteRefusedWrite(win::DWORD error);
  void MapNodes(const Nodes& nodes, const std::vector<Entry>& entries, Occasion occasion,
                std::vector<std::array<std::string, 3>>& writes);
  void MapTesters();
  void Warn(const std::string& line);
  std::function<void()> m_Refresh;
  bool m_RealPorts = false;
  std::array<int, kPorts> m_DriveNumbers{};
  int m_Slots = 0;
  bool m_TesterScanFailed = false;
  std::string m_Warning;
  std::set<std::string> m_EverListed;  // every node a mapping of this run has listed
  std::set<std::pair<int, std::string>> m_GuessesTold;  // ports (port, node) said to be guessed in this run
  bool m_MapDeferred = false;
  std::string m_Refused;  // the last write's refusal, empty once a write went through
};
