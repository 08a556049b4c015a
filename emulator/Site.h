// An emulated production site: tester boards, USB-to-SATA bridges and SATA ports
// serving numbered slots (1..48), each slot holding a drive or nothing, and the
// volumes that the drives carry. Tests build a site in code; the program reads
// one from Configuration/System/Emulator.ini (EmulatorIni.h). Install() routes
// the device I/O seam (platform/DeviceIo.h) to it:
//
//   "\\.\PhysicalDriveN"       tester board N (SCSI pass-through: INQUIRY, 08 F2 family, SAT A1/85)
//   "\\?\kxemu#bridge#SS"      bridge of slot SS (two digits): the same commands as a tester board
//   "\\?\kxemu#sata#SS"        SATA port of slot SS: ATA pass-through task files, and SAT A1/85
//   "\\.\X:"                   a drive's volume, or a CD-ROM letter
//
// Typical test:
//   auto site = emu::Site::Create();
//   site->SetDrive(1, std::make_shared<emu::Drive>(...));
//   emu::FrontEnd* tester = site->AddTester(3, 1);   // PhysicalDrive3 serves slot 1
//   site->Install();                                   // the seam now reaches the site
//   ... CreateFileA("\\\\.\\PhysicalDrive3", ...), DeviceIoControl(...) ...
//   tester->GetFaults().FailNext(2, 31);               // next two requests fail with 31
//   tester->Log().Records();                           // what the board saw and answered
//
// Faults, by where they live:
//   transport (per front end)  fe->GetFaults(): FailNext with an OS error, or a FaultRule
//                              (every n-th, CHECK CONDITION with chosen sense, short transfer, CK_COND ignored,
//                              busy past the time-out, device gone, hot removal), matched by
//                              control code, opcode, 08 F2 sub-code, ATA command or features
//   tester / card (per slot)   SetTesterFaults(): card absent, detect time-out, power commands
//                              failing k times, 5 V / 3.3 V shorts, current FFFFh, adjust-voltage reply
//   drive                      drive->Faults(): never ready, 00h/FFh or 51h states, access key refused
//                              or not enabled, wrong verdict, medium errors, drive time-outs, ...
//   volumes (per letter)       SetVolumeFaults(): open, lock, unlock, dismount, device number,
//                              delete layout refused n times or always; a volume in use
// Logs: fe->Log() holds what the device saw and answered (CDB or task file,
// lengths, SCSI status, sense, ATA status, OS error, which fault fired);
// drive->Trace() holds the ATA commands that reached the drive.
//
// Topology (front ends, volumes) is fixed once Install() has run; drives may be
// inserted and removed at any time; faults and logs are thread-safe. An installed
// site stays alive until Uninstall() (or until another site is installed), and
// an open handle keeps it alive after that until the handle is closed.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/Faults.h"
#include "platform/WinTypes.h"

namespace emu {

class Drive;
class SiteBackend;

constexpr int kMaxSlots = 48;
// Disk numbers (IOCTL_STORAGE_GET_DEVICE_NUMBER) of bridges and SATA ports: base +
// slot. A tester board's disk number is its physical-drive number.
constexpr int kBridgeDiskBase = 100;
constexpr int kSataDiskBase = 200;

// A tester board's identity and readings: the INQUIRY data and the 528-byte
// information page (08 F2 A0), the firmware version (08 F2 50 30) and the
// current readings. Bridges carry one too: they answer the same tester commands.
struct TesterInfo {
  std::string vendorId = "KXEMU";           // inquiry bytes 8..15
  std::string productId = "SATA TESTER-S";  // inquiry bytes 16..31 ("SATA3-TESTER" also matches)
  std::string vendorTag = "TAVLIN";         // page bytes 196..201
  std::string name = "KXTEST-S..";          // page name, 10 characters; the slot digits follow
  std::uint16_t id1 = 0x0D7D;               // page bytes 8, 9 (LE)
  std::uint16_t id2 = 0x144F;               // page bytes 10, 11 (LE)
  std::uint8_t kind = 4;                    // 1 2.5" 5 V, 2 1.8" 3.3 V, 3 SATA V2.5, 4 SATA III V3.x
  std::uint8_t outputVoltage = 1;           // 0 old FW, 1 5 V, 2 3.3 V, 3 no card
  bool calibrated = true;                   // "TUCR" mark present
  std::uint16_t calibration = 0x0011;       // calibration reading (page 462..463, big-endian)
  std::uint8_t usbGen = 3, sataGen = 3, sataPowerOn = 1;
  std::uint8_t fwMajor = 3, fwMinor = 0x05;
  std::uint16_t cardCurrent = 1000;  // raw card current reading
  std::uint16_t maxCurrent = 1500;   // raw max-current reading (cleared to 0 by 08 F2 50 24 01)
  std::uint32_t detectMs = 0;        // after power-on the tester reports "detecting" for this long
  int pageSlot = 0;                  // slot written in the page; 0: the slot served (others test the finder)
};

enum class ShortFault : std::uint8_t { None, FirstTest, BothTests };

// Card-side faults of a slot as the tester reports them.
struct TesterFaults {
  bool cardAbsent = false;       // detect reports absent (4) although a drive may be there
  bool detectTimesOut = false;   // detect reports 5 (the tester's detect timed out)
  int powerCommandFailures = 0;  // next k power commands (84/85/90) fail with CHECK CONDITION
  ShortFault short5V = ShortFault::None;   // FirstTest: only the first test after each power-off
  ShortFault short33V = ShortFault::None;
  bool currentInvalid = false;             // card and max current read FFFFh
  std::uint8_t adjustVoltageReply = 0;     // non-zero: reply byte 12 of adjust-voltage
  // A card that never becomes ready, 00h/FFh or 51h states once: the drive's own
  // knobs (Drive::Faults(): SetNeverReady, NoAnswer, ErrorStateOnce, BusyFor).
};

// Volume controls that may be refused: 0 never, n > 0 the next n, -1 always.
struct VolumeFaults {
  int open = 0;
  int lock = 0;
  int unlock = 0;
  int dismount = 0;
  int deviceNumber = 0;
  int deleteLayout = 0;
  // Lock and delete layout fail with ERROR_BUSY naming the volume's root as the
  // mount point, as a file system with files open on it will not unmount.
  int inUse = 0;
};

// What the slot's card looks like from the tester's side (for assertions).
struct CardStatus {
  bool hasDrive = false;
  bool powered = false;
  std::uint8_t voltageLevel = 0;  // last adjust-voltage level
  bool devSleep = false;          // DEVSLP line
  std::uint32_t powerCycles = 0;  // power-ons, card resets included
  std::uint32_t testerResets = 0;
};

enum class FrontEndKind : std::uint8_t { Tester, Bridge, SataPort };

class Site;

// One device the host can open: a tester board, a bridge or a SATA port.
class FrontEnd {
 public:
  FrontEndKind Kind() const { return kind_; }
  const std::string& Path() const { return path_; }
  int Slot() const { return slot_; }
  // Disk number reported by IOCTL_STORAGE_GET_DEVICE_NUMBER (and by the slot's volume).
  win::DWORD DiskNumber() const { return diskNumber_; }

  Faults& GetFaults() { return faults_; }
  CommandLog& Log() { return log_; }
  TesterInfo& Info() { return info_; }  // tester boards and bridges

  // SATA ports: whether IOCTL_ATA_PASS_THROUGH_DIRECT works (else it fails with
  // error 1 and the host falls back to SAT).
  bool ataPassThrough = true;
  // SATA ports: tester-capable, a port on a tester's switch board that decodes
  // the tester's 08 F2 commands. A plain port (the default), like an AHCI port
  // through the operating system, refuses them as an invalid opcode.
  bool testerCapable = false;
  // Bridges: whether the bridge stays visible with no drive in its slot.
  bool presentWithoutDrive = true;

  FrontEnd(Site& site, FrontEndKind kind, std::string path, int slot, win::DWORD diskNumber);

  // Holds a port's job keeps on the device now (platform::HoldDevice); for assertions.
  int Holds() const { return holds_.load(); }
  void AddHold(int delta) { holds_ += delta; }
  // Another program keeps the device locked for `ms` of the platform clock from
  // now (kHeldForGood: until let go with 0); a job's hold waits for it as the
  // real disks' hold does, and is refused when it outlasts the wait.
  static constexpr std::uint64_t kHeldForGood = UINT64_MAX;
  void HoldElsewhere(std::uint64_t ms);
  bool HeldElsewhere() const;

  // The device vanished (Gone / HotRemove fault, or set by a test); opens fail with 2.
  bool IsGone() const { return gone_.load(std::memory_order_relaxed); }
  void SetGone(bool gone) { gone_.store(gone, std::memory_order_relaxed); }

  // Carries out one request on an open handle (Backend.cpp routes here).
  win::DWORD IoControl(win::DWORD code, void* in, win::DWORD inSize, void* out, win::DWORD outSize,
                       win::DWORD* returned);

  // What an open handle holds to keep the site alive: one per front end, so that
  // opens on different ports never touch a shared reference count. Null while
  // the site is not installed.
  std::shared_ptr<const void> Lease() const;
  void SetLease(std::shared_ptr<const void> lease);

 private:
  Site& site_;
  FrontEndKind kind_;
  std::string path_;
  int slot_;
  win::DWORD diskNumber_;
  Faults faults_;
  CommandLog log_;
  TesterInfo info_;
  std::atomic<bool> gone_{false};
  std::atomic<int> holds_{0};
  std::atomic<std::uint64_t> heldElsewhereUntil_{0};  // platform clock
  mutable std::mutex leaseMutex_;
  std::shared_ptr<const void> lease_;
};

// A drive's volume with a letter, or a CD-ROM letter (no slot).
struct VolumeSpec {
  char letter = 0;
  int slot = 0;  // 0: CD-ROM
  VolumeFaults faults;
  // Live state, for assertions.
  bool locked = false;
  bool mounted = true;
  bool layoutDeleted = false;  // the letter is no longer listed; open handles still answer
};

// One listing-entry (node name, device path) as the listing library writes it.
struct ListingEntry {
  std::string node;
  std::string path;  // "NULL" when the port has no device
};

class Site : public std::enable_shared_from_this<Site> {
 public:
  static std::shared_ptr<Site> Create();
  ~Site();

  // Slots 1..kMaxSlots. A null drive empties the slot (hot removal).
  bool SetDrive(int slot, std::shared_ptr<Drive> drive);
  std::shared_ptr<Drive> GetDrive(int slot) const;

  // Front ends; nullptr for a bad number, a clash, or after Install().
  // Tester boards on "\\.\PhysicalDriveN" (N 1..99: 0 is the boot disk, which
  // the program takes for no board); the page names the slot.
  FrontEnd* AddTester(int physicalDrive, int slot, const TesterInfo& info = {});
  FrontEnd* AddBridge(int slot, const TesterInfo& info = {});
  FrontEnd* AddSataPort(int slot);
  static std::string BridgePath(int slot);
  static std::string SataPath(int slot);

  FrontEnd* Tester(int physicalDrive);
  // The highest physical drive with a tester board; -1 none.
  int HighestTester() const;
  FrontEnd* Bridge(int slot);
  FrontEnd* SataPort(int slot);
  FrontEnd* Find(const std::string& path);  // any front end by its path

  // Volumes: letters D..Z; false for a bad letter, a clash or after Install().
  bool AddVolume(int slot, char letter);
  bool AddCdRom(char letter);
  // Volume state and faults (thread-safe copies / updates).
  VolumeSpec Volume(char letter) const;
  void SetVolumeFaults(char letter, const VolumeFaults& faults);

  // Card side of a slot.
  void SetTesterFaults(int slot, const TesterFaults& faults);
  TesterFaults GetTesterFaults(int slot) const;
  CardStatus Card(int slot) const;
  // Disk number the slot's volume reports: its bridge's, else its SATA port's,
  // else its tester board's; FFFFFFFFh when nothing serves the slot.
  win::DWORD SlotDiskNumber(int slot);
  // Whether a front end can be opened now (not gone; a SATA port needs a drive).
  bool PortPresent(const FrontEnd& fe) const;

  // Listing of the bridges (GetDev) or the SATA ports (GetDevSata): every slot
  // from 1 to the last with such a port, in slot order, node "kxemu-bridge-SS" /
  // "kxemu-sata-SS" and the port's path, "NULL" when it cannot be opened now (no
  // port in the slot, a SATA port without a drive, a bridge gone or pulled with
  // its drive). A bridge present without a drive keeps its path.
  std::vector<ListingEntry> Listing(bool sataPorts) const;

  // Routes the device I/O seam to this site (one installed site per process;
  // installing another uninstalls this one) and makes it the site the listing
  // library reaches. Uninstall() undoes both; the destructor uninstalls.
  void Install();
  void Uninstall();
  bool Installed() const;
  static std::shared_ptr<Site> Current();

  // Internal: used by the front ends and the back end.
  struct SlotState;
  SlotState* SlotAt(int slot);
  struct VolumeState;
  VolumeState* VolumeAt(char letter);
  bool Frozen() const { return frozen_; }

 private:
  Site();
  std::array<std::unique_ptr<SlotState>, kMaxSlots + 1> slots_;
  std::array<std::unique_ptr<FrontEnd>, 100> testers_;
  std::array<std::unique_ptr<FrontEnd>, kMaxSlots + 1> bridges_;
  std::array<std::unique_ptr<FrontEnd>, kMaxSlots + 1> sataPorts_;
  std::array<std::unique_ptr<VolumeState>, 26> volumes_;
  void uninstallLocked();
  void forEachFrontEnd(const std::function<void(FrontEnd&)>& fn);
  std::shared_ptr<SiteBackend> backend_;
  bool frozen_ = false;
  mutable std::mutex installMutex_;
};

}  // namespace emu

// The listing library (getdev/) finds this with dlsym(RTLD_DEFAULT, ...) in the
// process that loaded it, so the executable must export its symbols (CMake
// ENABLE_EXPORTS). Fills the device-listing record (platform/RootDevice.h) from
// the installed site: bridges when sataPorts is 0, SATA ports otherwise. Returns
// the number of entries written, or -1 when no site is installed (the record is
// then left unchanged).
extern "C" int kxemu_ListDevices(int sataPorts, unsigned char* rootDevice);
