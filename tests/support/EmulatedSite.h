// One emulated site of several slots for tests that run many ports at once:
// slots 1..count, each with its own front end and drive, installed, with the
// send mode, the device listing and a virtual clock set as the program would
// have them; everything is put back when the site goes. Slot N is drive
// number N: tester board N ("\\.\PhysicalDriveN") serves it in tester-direct
// mode, and it is listing entry N behind a bridge or a SATA port.
//
//   kxtest::EmulatedSite site(24);
//   site.Site().SetTesterFaults(7, {.cardAbsent = true});
//   CPortDevice d(site.DriveNo(7), 1, 7, "D:\\Log", nullptr, nullptr);
//   EXPECT_EQ(d.DetectCard(2), 4);
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "emulator/Drive.h"
#include "emulator/Site.h"
#include "platform/Clock.h"
#include "tests/support/SendMode.h"

namespace kxtest {

// The front end that serves `slot` in the mode (tester-direct: the board on
// "\\.\PhysicalDrive<testerDrive>"); nullptr when the site refuses it.
emu::FrontEnd* AddFrontEnd(emu::Site& site, Mode mode, int slot, int testerDrive, const emu::TesterInfo& tester);
// For an installed site: the send mode, the ATA pass-through flags cleared and
// the device listing holding the site's bridges or SATA ports in slot order
// (empty in tester-direct mode).
void ApplySendMode(Mode mode, const emu::Site& site);

class EmulatedSite {
 public:
  // count: 1..emu::kMaxSlots; every drive is powered and past its boot.
  explicit EmulatedSite(int count, Mode mode = Mode::TesterDirect, const emu::DriveConfig& drive = {});
  ~EmulatedSite();
  EmulatedSite(const EmulatedSite&) = delete;
  EmulatedSite& operator=(const EmulatedSite&) = delete;

  int Count() const { return count_; }
  Mode GetMode() const { return mode_; }
  int DriveNo(int slot) const { return slot; }
  // Slots 1..Count().
  emu::Drive& Drive(int slot) { return *drives_.at(static_cast<std::size_t>(slot - 1)); }
  emu::FrontEnd& FrontEnd(int slot) { return *frontEnds_.at(static_cast<std::size_t>(slot - 1)); }
  emu::Site& Site() { return *site_; }
  std::uint64_t Now() const { return platform::Clock().NowMs(); }

 private:
  SavedGlobals saved_;
  platform::ScopedClock clock_{platform::MakeVirtualClock(1780000000000)};  // 2026-05-28
  Mode mode_;
  int count_;
  std::shared_ptr<emu::Site> site_;
  std::vector<std::shared_ptr<emu::Drive>> drives_;
  std::vector<emu::FrontEnd*> frontEnds_;
};

}  // namespace kxtest
