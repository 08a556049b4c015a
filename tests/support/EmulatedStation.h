// One emulated station: a drive in a slot, reached through a tester board
// (tester-direct), a USB bridge or a SATA port, with the send mode, the device
// listing and a virtual clock set as the program would have them; everything is
// put back when the station goes. A step test, with the scratch folder of
// tests/support/ScratchFolder.h holding the port report:
//
//   TEST_F(CardOps, TesterReset) {
//     kxtest::EmulatedStation s(kxtest::Mode::TesterDirect);
//     CPortDevice& d = s.Device();
//     ASSERT_TRUE(d.PowerResetTester(true, false));
//     EXPECT_EQ(s.Sent({0x08, 0xF2, 0x90}).size(), 1u);
//     s.Site().SetTesterFaults(s.Slot(), {.powerCommandFailures = 4});
//     EXPECT_FALSE(d.PowerResetTester(true, false));
//     EXPECT_EQ(d.m_ErrorCode, "T_x03");
//     EXPECT_EQ(d.m_ErrorMessage, "Issue Power Reset Tester Command Fail");
//     EXPECT_TRUE(Has(PortReport(), "   Error Code : 0x602 \r\n"));
//   }
#pragma once
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "command/DriveCommand.h"
#include "device/PortDevice.h"
#include "emulator/Drive.h"
#include "emulator/Site.h"
#include "platform/Clock.h"
#include "tests/support/SendMode.h"

namespace kxtest {

struct StationSetup {
  emu::TesterInfo tester = {};  // the tester board's (or bridge's) identity and readings
  int testerDrive = 3;         // tester-direct: the board's "\\.\PhysicalDriveN"
  bool ataPassThrough = true;  // SATA ports: whether ATA pass-through works
  char volume = 0;             // a volume letter on the drive; 0 none
  bool powerOn = true;
  bool pastBoot = true;        // wait out the drive's boot on the virtual clock
  bool identify = false;       // send IDENTIFY first, which decides a SATA port's path
};

class EmulatedStation {
 public:
  explicit EmulatedStation(Mode mode, int slot = 1, const emu::DriveConfig& drive = {},
                           const StationSetup& setup = {});
  ~EmulatedStation();
  EmulatedStation(const EmulatedStation&) = delete;
  EmulatedStation& operator=(const EmulatedStation&) = delete;

  Mode GetMode() const { return mode_; }
  int Slot() const { return slot_; }
  // The program's number for the drive: the tester's physical drive, else its listing entry (the slot).
  int DriveNo() const { return driveNo_; }
  emu::Drive& Drive() { return *drive_; }
  emu::FrontEnd& FrontEnd() { return *frontEnd_; }
  emu::Site& Site() { return *site_; }
  CDriveCommand& Command();
  // A production device of the port (log folder D:\Log), its report started;
  // NewDevice() replaces it, for settings read at construction.
  CPortDevice& Device();
  CPortDevice& NewDevice();

  // Requests the front end took since set-up or ClearSent() whose CDB begins with head.
  std::vector<emu::TraceRecord> Sent(std::initializer_list<int> head = {}) const;
  void ClearSent() { frontEnd_->Log().Clear(); }
  // ATA commands (a vendor command by its FEATURES sub-command) that reached the drive.
  std::vector<emu::TraceEntry> DriveSent(std::uint8_t command, std::uint8_t features) const;
  std::uint64_t Now() const { return platform::Clock().NowMs(); }
  void Sleep(std::uint64_t ms) const { platform::Clock().SleepMs(ms); }

 private:
  SavedGlobals saved_;
  platform::ScopedClock clock_{platform::MakeVirtualClock(1780000000000)};  // 2026-05-28
  Mode mode_;
  int slot_;
  int driveNo_;
  std::uint8_t testerKind_;
  std::shared_ptr<emu::Drive> drive_;
  std::shared_ptr<emu::Site> site_;
  emu::FrontEnd* frontEnd_ = nullptr;
  std::unique_ptr<CDriveCommand> command_;
  std::unique_ptr<CPortDevice> device_;
};

}  // namespace kxtest
