#include "tests/support/EmulatedSite.h"

#include <stdexcept>

#include "command/GetDevLibrary.h"

namespace kxtest {

emu::FrontEnd* AddFrontEnd(emu::Site& site, Mode mode, int slot, int testerDrive, const emu::TesterInfo& tester) {
  switch (mode) {
    case Mode::TesterDirect: return site.AddTester(testerDrive, slot, tester);
    case Mode::Bridge: return site.AddBridge(slot, tester);
    case Mode::SataPort:
    case Mode::TesterSataPort: return site.AddSataPort(slot);
  }
  return nullptr;
}

void ApplySendMode(Mode mode, const emu::Site& site) {
  SetSendMode(mode);
  kx::ClearAtaPassThroughOk();
  const auto listing = mode == Mode::TesterDirect ? std::vector<emu::ListingEntry>{} : site.Listing(IsSata(mode));
  kx::WithRootDevice([&listing](kx::RootDeviceRecord& r) {
    r = kx::RootDeviceRecord{};
    r.SetCount(static_cast<std::uint32_t>(listing.size()));
    for (std::size_t i = 0; i < listing.size(); ++i) r.SetEntry(i, listing[i].node, listing[i].path);
  });
}

EmulatedSite::EmulatedSite(int count, Mode mode, const emu::DriveConfig& drive)
    : mode_(mode), count_(count), site_(emu::Site::Create()) {
  if (count < 1 || count > emu::kMaxSlots) throw std::invalid_argument("no such site");
  for (int slot = 1; slot <= count; ++slot) {
    auto d = std::make_shared<emu::Drive>(drive);
    emu::FrontEnd* fe = AddFrontEnd(*site_, mode, slot, slot, {});
    // Thrown from a constructor: the test fails with the reason instead of crashing on a null front end.
    if (!fe || !site_->SetDrive(slot, d)) throw std::invalid_argument("no such slot");
    fe->testerCapable = mode == Mode::TesterSataPort;
    drives_.push_back(std::move(d));
    frontEnds_.push_back(fe);
  }
  site_->Install();
  ApplySendMode(mode, *site_);
  for (auto& d : drives_) d->PowerOn();
  platform::Clock().SleepMs(drive.bootDelayMs);
}

EmulatedSite::~EmulatedSite() { site_->Uninstall(); }

}  // namespace kxtest
