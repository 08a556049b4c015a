#include "emulator/Site.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>

#include "emulator/Backend.h"
#include "emulator/Transport.h"
#include "platform/Clock.h"
#include "platform/RootDevice.h"

namespace emu {

namespace {

std::mutex g_installMutex;
std::weak_ptr<Site> g_current;  // guarded by g_installMutex

bool validSlot(int slot) { return slot >= 1 && slot <= kMaxSlots; }

int letterIndex(char letter) {
  const int c = std::toupper(static_cast<unsigned char>(letter));
  return c >= 'A' && c <= 'Z' ? c - 'A' : -1;
}

std::string slotPath(const char* family, int slot) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "\\\\?\\kxemu#%s#%02d", family, slot);
  return buf;
}

}  // namespace

std::shared_ptr<Site> Site::Create() { return std::shared_ptr<Site>(new Site()); }

Site::Site() {
  for (int i = 1; i <= kMaxSlots; ++i) {
    slots_[static_cast<std::size_t>(i)] = std::make_unique<SlotState>();
    slots_[static_cast<std::size_t>(i)]->number = i;
  }
}

// The back end and the leases hold the site while it is installed, so by the
// time it is destroyed it is no longer installed.
Site::~Site() = default;

void FrontEnd::HoldElsewhere(std::uint64_t ms) {
  const std::uint64_t now = platform::Clock().NowMs();
  heldElsewhereUntil_ = ms > UINT64_MAX - now ? UINT64_MAX : now + ms;
}

bool FrontEnd::HeldElsewhere() const { return platform::Clock().NowMs() < heldElsewhereUntil_.load(); }

std::shared_ptr<const void> FrontEnd::Lease() const {
  std::lock_guard lock(leaseMutex_);
  return lease_;
}

void FrontEnd::SetLease(std::shared_ptr<const void> lease) {
  std::lock_guard lock(leaseMutex_);
  lease_ = std::move(lease);
}

Site::SlotState* Site::SlotAt(int slot) { return validSlot(slot) ? slots_[static_cast<std::size_t>(slot)].get() : nullptr; }

Site::VolumeState* Site::VolumeAt(char letter) {
  const int i = letterIndex(letter);
  return i < 0 ? nullptr : volumes_[static_cast<std::size_t>(i)].get();
}

bool Site::SetDrive(int slot, std::shared_ptr<Drive> drive) {
  SlotState* s = SlotAt(slot);
  if (!s) return false;
  std::lock_guard lock(s->mutex);
  s->drive = std::move(drive);
  return true;
}

std::shared_ptr<Drive> Site::GetDrive(int slot) const {
  if (!validSlot(slot)) return nullptr;
  return slots_[static_cast<std::size_t>(slot)]->GetDrive();
}

FrontEnd* Site::AddTester(int physicalDrive, int slot, const TesterInfo& info) {
  if (frozen_ || physicalDrive < 1 || physicalDrive >= static_cast<int>(testers_.size()) || !validSlot(slot))
    return nullptr;
  auto& fe = testers_[static_cast<std::size_t>(physicalDrive)];
  if (fe) return nullptr;
  fe = std::make_unique<FrontEnd>(*this, FrontEndKind::Tester, "\\\\.\\PhysicalDrive" + std::to_string(physicalDrive),
                                  slot, static_cast<win::DWORD>(physicalDrive));
  fe->Info() = info;
  return fe.get();
}

FrontEnd* Site::AddBridge(int slot, const TesterInfo& info) {
  if (frozen_ || !validSlot(slot)) return nullptr;
  auto& fe = bridges_[static_cast<std::size_t>(slot)];
  if (fe) return nullptr;
  fe = std::make_unique<FrontEnd>(*this, FrontEndKind::Bridge, BridgePath(slot), slot,
                                  static_cast<win::DWORD>(kBridgeDiskBase + slot));
  fe->Info() = info;
  return fe.get();
}

FrontEnd* Site::AddSataPort(int slot) {
  if (frozen_ || !validSlot(slot)) return nullptr;
  auto& fe = sataPorts_[static_cast<std::size_t>(slot)];
  if (fe) return nullptr;
  fe = std::make_unique<FrontEnd>(*this, FrontEndKind::SataPort, SataPath(slot), slot,
                                  static_cast<win::DWORD>(kSataDiskBase + slot));
  return fe.get();
}

std::string Site::BridgePath(int slot) { return slotPath("bridge", slot); }
std::string Site::SataPath(int slot) { return slotPath("sata", slot); }

int Site::HighestTester() const {
  for (int n = static_cast<int>(testers_.size()) - 1; n >= 0; --n)
    if (testers_[static_cast<std::size_t>(n)]) return n;
  return -1;
}

FrontEnd* Site::Tester(int physicalDrive) {
  if (physicalDrive < 0 || physicalDrive >= static_cast<int>(testers_.size())) return nullptr;
  return testers_[static_cast<std::size_t>(physicalDrive)].get();
}
FrontEnd* Site::Bridge(int slot) { return validSlot(slot) ? bridges_[static_cast<std::size_t>(slot)].get() : nullptr; }
FrontEnd* Site::SataPort(int slot) {
  return validSlot(slot) ? sataPorts_[static_cast<std::size_t>(slot)].get() : nullptr;
}

FrontEnd* Site::Find(const std::string& path) {
  const DevicePath p = ParseDevicePath(path);
  switch (p.kind) {
    case DevicePath::Kind::PhysicalDrive: return Tester(p.number);
    case DevicePath::Kind::Bridge: return Bridge(p.number);
    case DevicePath::Kind::Sata: return SataPort(p.number);
    default: return nullptr;
  }
}

win::DWORD Site::SlotDiskNumber(int slot) {
  if (FrontEnd* b = Bridge(slot)) return b->DiskNumber();
  if (FrontEnd* s = SataPort(slot)) return s->DiskNumber();
  for (auto& t : testers_)
    if (t && t->Slot() == slot) return t->DiskNumber();
  return 0xFFFFFFFFu;
}

bool Site::AddVolume(int slot, char letter) {
  const int i = letterIndex(letter);
  if (frozen_ || !validSlot(slot) || i < 3 || volumes_[static_cast<std::size_t>(i)]) return false;
  auto v = std::make_unique<VolumeState>();
  v->desc.letter = static_cast<char>('A' + i);
  v->desc.slot = slot;
  volumes_[static_cast<std::size_t>(i)] = std::move(v);
  return true;
}

bool Site::AddCdRom(char letter) {
  const int i = letterIndex(letter);
  if (frozen_ || i < 3 || volumes_[static_cast<std::size_t>(i)]) return false;
  auto v = std::make_unique<VolumeState>();
  v->desc.letter = static_cast<char>('A' + i);
  v->desc.slot = 0;
  volumes_[static_cast<std::size_t>(i)] = std::move(v);
  return true;
}

VolumeSpec Site::Volume(char letter) const {
  const int i = letterIndex(letter);
  if (i < 0 || !volumes_[static_cast<std::size_t>(i)]) return {};
  const VolumeState& v = *volumes_[static_cast<std::size_t>(i)];
  std::lock_guard lock(v.mutex);
  return v.desc;
}

void Site::SetVolumeFaults(char letter, const VolumeFaults& faults) {
  if (VolumeState* v = VolumeAt(letter)) {
    std::lock_guard lock(v->mutex);
    v->desc.faults = faults;
  }
}

void Site::SetTesterFaults(int slot, const TesterFaults& faults) {
  if (SlotState* s = SlotAt(slot)) {
    std::lock_guard lock(s->mutex);
    s->faults = faults;
    s->shortTests = 0;
  }
}

TesterFaults Site::GetTesterFaults(int slot) const {
  if (!validSlot(slot)) return {};
  const SlotState& s = *slots_[static_cast<std::size_t>(slot)];
  std::lock_guard lock(s.mutex);
  return s.faults;
}

CardStatus Site::Card(int slot) const {
  CardStatus c;
  if (!validSlot(slot)) return c;
  const SlotState& s = *slots_[static_cast<std::size_t>(slot)];
  std::shared_ptr<Drive> drive;
  {
    std::lock_guard lock(s.mutex);
    drive = s.drive;
    c.voltageLevel = s.voltageLevel;
    c.devSleep = s.devSleep;
    c.powerCycles = s.powerCycles;
    c.testerResets = s.testerResets;
  }
  c.hasDrive = drive && !drive->Removed();
  c.powered = c.hasDrive && drive->Powered();
  return c;
}

bool Site::PortPresent(const FrontEnd& fe) const {
  if (fe.IsGone()) return false;
  const auto drive = GetDrive(fe.Slot());
  const bool hasDrive = drive && !drive->Removed();
  switch (fe.Kind()) {
    case FrontEndKind::SataPort: return hasDrive;
    case FrontEndKind::Bridge: return hasDrive || fe.presentWithoutDrive;
    case FrontEndKind::Tester: return true;
  }
  return false;
}

std::vector<ListingEntry> Site::Listing(bool sataPorts) const {
  const auto& ports = sataPorts ? sataPorts_ : bridges_;
  int last = 0;
  for (int i = 1; i <= kMaxSlots; ++i)
    if (ports[static_cast<std::size_t>(i)]) last = i;
  std::vector<ListingEntry> out;
  // Entry n-1 is slot n whatever is plugged: a bay keeps its entry.
  for (int i = 1; i <= last; ++i) {
    char node[32];
    std::snprintf(node, sizeof node, "kxemu-%s-%02d", sataPorts ? "sata" : "bridge", i);
    const FrontEnd* fe = ports[static_cast<std::size_t>(i)].get();
    out.push_back({node, fe && PortPresent(*fe) ? fe->Path() : std::string("NULL")});
  }
  return out;
}

void Site::forEachFrontEnd(const std::function<void(FrontEnd&)>& fn) {
  for (auto& fe : testers_)
    if (fe) fn(*fe);
  for (auto& fe : bridges_)
    if (fe) fn(*fe);
  for (auto& fe : sataPorts_)
    if (fe) fn(*fe);
}

void Site::uninstallLocked() {
  if (!backend_) return;
  platform::UnregisterDeviceBackend(backend_);
  backend_.reset();
  forEachFrontEnd([](FrontEnd& fe) { fe.SetLease(nullptr); });
  if (g_current.lock().get() == this) g_current.reset();
}

void Site::Install() {
  auto self = shared_from_this();  // holds the site while the old one is let go
  std::lock_guard lock(g_installMutex);
  if (auto old = g_current.lock(); old && old != self) old->uninstallLocked();
  frozen_ = true;
  if (!backend_) {
    forEachFrontEnd([&self](FrontEnd& fe) { fe.SetLease(std::make_shared<std::shared_ptr<Site>>(self)); });
    backend_ = std::make_shared<SiteBackend>(self);
    platform::RegisterDeviceBackend(backend_);
  }
  g_current = self;
}

void Site::Uninstall() {
  auto self = shared_from_this();  // the last reference may be the back end's
  std::lock_guard lock(g_installMutex);
  uninstallLocked();
}

bool Site::Installed() const {
  std::lock_guard lock(g_installMutex);
  return backend_ != nullptr;
}

std::shared_ptr<Site> Site::Current() {
  std::lock_guard lock(g_installMutex);
  return g_current.lock();
}

}  // namespace emu

extern "C" int kxemu_ListDevices(int sataPorts, unsigned char* rootDevice) {
  if (!rootDevice) return -1;
  const auto site = emu::Site::Current();
  if (!site) return -1;
  const auto entries = site->Listing(sataPorts != 0);
  const std::size_t n = entries.size() < kx::kRootDeviceMaxEntries ? entries.size() : kx::kRootDeviceMaxEntries;
  // The record is the caller's: write only the count and the entries.
  for (std::size_t i = 0; i < kx::kRootDeviceMaxEntries; ++i) {
    unsigned char* e = rootDevice + kx::kRootDeviceEntriesOffset + i * kx::kRootDeviceEntrySize;
    std::memset(e, 0, kx::kRootDeviceEntrySize);
    if (i >= n) continue;
    const std::string& node = entries[i].node;
    const std::string& path = entries[i].path;
    std::memcpy(e, node.data(), std::min(node.size(), kx::kRootDeviceTextSize - 1));
    std::memcpy(e + kx::kRootDeviceTextSize, path.data(), std::min(path.size(), kx::kRootDeviceTextSize - 1));
  }
  unsigned char* c = rootDevice + kx::kRootDeviceCountOffset;
  for (int i = 0; i < 4; ++i) c[i] = static_cast<unsigned char>(n >> (8 * i));
  return static_cast<int>(n);
}
