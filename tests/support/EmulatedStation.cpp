#include "tests/support/EmulatedStation.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "device/ModuleFolder.h"
#include "tests/support/EmulatedSite.h"

namespace kxtest {

SavedGlobals::SavedGlobals()
    : u2a_(g_KX_U2A),
      sataPortMode_(g_SataPortMode),
      settingIni_(g_SettingIniPath),
      paramFdbIni_(g_ParamFdbIniPath),
      moduleFolder_(g_ModuleFolder) {
  std::memcpy(ataPassThroughOk_.data(), g_AtaPassThroughOk, sizeof g_AtaPassThroughOk);
  kx::WithRootDevice([this](kx::RootDeviceRecord& r) { listing_ = r; });
}

SavedGlobals::~SavedGlobals() {
  g_KX_U2A = u2a_;
  g_SataPortMode = sataPortMode_;
  std::memcpy(g_AtaPassThroughOk, ataPassThroughOk_.data(), sizeof g_AtaPassThroughOk);
  kx::WithRootDevice([this](kx::RootDeviceRecord& r) { r = listing_; });
  g_SettingIniPath = settingIni_;
  g_ParamFdbIniPath = paramFdbIni_;
  g_ModuleFolder = moduleFolder_;
}

EmulatedStation::EmulatedStation(Mode mode, int slot, const emu::DriveConfig& drive, const StationSetup& setup)
    : mode_(mode),
      slot_(slot),
      driveNo_(mode == Mode::TesterDirect ? setup.testerDrive : slot),
      testerKind_(setup.tester.kind),
      drive_(std::make_shared<emu::Drive>(drive)),
      site_(emu::Site::Create()) {
  frontEnd_ = AddFrontEnd(*site_, mode, slot, setup.testerDrive, setup.tester);
  // Thrown from a constructor: the test fails with the reason instead of crashing on a null front end.
  if (!frontEnd_ || !site_->SetDrive(slot, drive_)) throw std::invalid_argument("no such station");
  frontEnd_->ataPassThrough = setup.ataPassThrough;
  frontEnd_->testerCapable = mode == Mode::TesterSataPort;
  if (setup.volume != 0 && !site_->AddVolume(slot, setup.volume)) throw std::invalid_argument("no such volume");
  site_->Install();

  // The listing runs in slot order from slot 1 ("NULL" where no port is), so the port is entry `slot`.
  ApplySendMode(mode, *site_);

  if (setup.powerOn) drive_->PowerOn();
  if (setup.powerOn && setup.pastBoot) Sleep(drive.bootDelayMs);
  if (setup.identify) {
    std::uint8_t id[512];
    if (!Command().GetIdentify(id)) throw std::runtime_error("IDENTIFY failed");
  }
  ClearSent();
}

EmulatedStation::~EmulatedStation() {
  device_.reset();
  command_.reset();
  site_->Uninstall();
}

CDriveCommand& EmulatedStation::Command() {
  if (!command_) command_ = std::make_unique<CDriveCommand>(driveNo_);
  return *command_;
}

CPortDevice& EmulatedStation::Device() { return device_ ? *device_ : NewDevice(); }

CPortDevice& EmulatedStation::NewDevice() {
  device_.reset();
  device_ = std::make_unique<CPortDevice>(driveNo_, 1, slot_, "D:\\Log", nullptr, nullptr);
  device_->m_TesterKind = testerKind_;
  device_->WriteReport("START", true);
  return *device_;
}

std::vector<emu::TraceRecord> EmulatedStation::Sent(std::initializer_list<int> head) const {
  std::vector<emu::TraceRecord> out;
  for (const auto& r : frontEnd_->Log().Records()) {
    if (r.ioctl != 0 && std::equal(head.begin(), head.end(), r.cdb)) out.push_back(r);
  }
  return out;
}

std::vector<emu::TraceEntry> EmulatedStation::DriveSent(std::uint8_t command, std::uint8_t features) const {
  std::vector<emu::TraceEntry> out;
  for (const auto& e : drive_->Trace())
    if (e.request.command == command && e.request.features == features) out.push_back(e);
  return out;
}

}  // namespace kxtest
