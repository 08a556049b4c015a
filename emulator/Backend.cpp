#include "emulator/Backend.h"

#include <cctype>
#include <cstring>

#include "emulator/Transport.h"
#include "platform/Clock.h"

namespace emu {

namespace {

// A job's hold waits for another program's lock as the real-disk back end does.
constexpr int kHoldTries = 50;
constexpr std::uint64_t kHoldRetryMs = 100;

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Every open passes here, so it stays cheap: ASCII folding, no locale.
bool startsWithNoCase(const std::string& s, const char* prefix, std::size_t& pos) {
  const std::size_t n = std::strlen(prefix);
  if (s.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (asciiLower(s[i]) != asciiLower(prefix[i])) return false;
  pos = n;
  return true;
}

// A decimal number filling the rest of the path (1 to 3 digits).
int numberAt(const std::string& s, std::size_t pos) {
  if (pos >= s.size() || s.size() - pos > 3) return -1;
  int v = 0;
  for (std::size_t i = pos; i < s.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v;
}

class DeviceHandle final : public platform::IDeviceHandle {
 public:
  DeviceHandle(std::shared_ptr<const void> lease, FrontEnd* fe) : lease_(std::move(lease)), fe_(fe) {}
  win::DWORD IoControl(win::DWORD code, void* in, win::DWORD inSize, void* out, win::DWORD outSize,
                       win::DWORD* returned) override {
    return fe_->IoControl(code, in, inSize, out, outSize, returned);
  }

 private:
  std::shared_ptr<const void> lease_;  // keeps the site, and so the front end, alive
  FrontEnd* fe_;
};

class VolumeHandle final : public platform::IDeviceHandle {
 public:
  VolumeHandle(std::shared_ptr<Site> site, char letter) : site_(std::move(site)), letter_(letter) {}
  ~VolumeHandle() override { transport::VolumeHandleClosed(*site_, letter_, this); }
  win::DWORD IoControl(win::DWORD code, void*, win::DWORD, void* out, win::DWORD outSize,
                       win::DWORD* returned) override {
    return transport::VolumeControl(*site_, letter_, this, code, out, outSize, returned);
  }

 private:
  std::shared_ptr<Site> site_;
  char letter_;
};

class FrontEndHold final : public platform::IDeviceHold {
 public:
  FrontEndHold(std::shared_ptr<const void> lease, FrontEnd* fe) : lease_(std::move(lease)), fe_(fe) {
    fe_->AddHold(1);
  }
  ~FrontEndHold() override { fe_->AddHold(-1); }

 private:
  std::shared_ptr<const void> lease_;  // keeps the site, and so the front end, alive
  FrontEnd* fe_;
};

}  // namespace

DevicePath ParseDevicePath(const std::string& path) {
  DevicePath p;
  std::size_t pos = 0;
  if (startsWithNoCase(path, "\\\\.\\PhysicalDrive", pos)) {
    p.number = numberAt(path, pos);
    if (p.number >= 0) p.kind = DevicePath::Kind::PhysicalDrive;
  } else if (startsWithNoCase(path, "\\\\?\\kxemu#bridge#", pos)) {
    p.number = numberAt(path, pos);
    if (p.number >= 0) p.kind = DevicePath::Kind::Bridge;
  } else if (startsWithNoCase(path, "\\\\?\\kxemu#sata#", pos)) {
    p.number = numberAt(path, pos);
    if (p.number >= 0) p.kind = DevicePath::Kind::Sata;
  } else if (path.size() == 6 && startsWithNoCase(path, "\\\\.\\", pos) && path[5] == ':' &&
             std::isalpha(static_cast<unsigned char>(path[4]))) {
    p.kind = DevicePath::Kind::Volume;
    p.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[4])));
  }
  return p;
}

bool SiteBackend::Claims(const std::string& path) const {
  std::size_t pos = 0;
  if (startsWithNoCase(path, "\\\\.\\PhysicalDrive", pos) || startsWithNoCase(path, "\\\\?\\kxemu#", pos)) return true;
  const DevicePath p = ParseDevicePath(path);
  if (p.kind != DevicePath::Kind::Volume) return false;
  return site_->VolumeAt(p.letter) != nullptr;
}

win::DWORD SiteBackend::Open(const std::string& path, win::DWORD, win::DWORD,
                             std::shared_ptr<platform::IDeviceHandle>& handle) {
  Site* site = site_.get();
  const DevicePath p = ParseDevicePath(path);
  if (p.kind == DevicePath::Kind::Volume) {
    Site::VolumeState* v = site->VolumeAt(p.letter);
    if (!v) return win::ERROR_FILE_NOT_FOUND;
    {
      std::lock_guard lock(v->mutex);
      if (v->desc.slot != 0) {
        const auto drive = site->GetDrive(v->desc.slot);
        if (!drive || drive->Removed()) return win::ERROR_FILE_NOT_FOUND;
      }
      int& f = v->desc.faults.open;
      if (f != 0) {
        if (f > 0) --f;
        return win::ERROR_ACCESS_DENIED;
      }
    }
    handle = std::make_shared<VolumeHandle>(site_, p.letter);
    return 0;
  }
  FrontEnd* fe = p.kind == DevicePath::Kind::PhysicalDrive ? site->Tester(p.number)
                 : p.kind == DevicePath::Kind::Bridge      ? site->Bridge(p.number)
                 : p.kind == DevicePath::Kind::Sata        ? site->SataPort(p.number)
                                                           : nullptr;
  if (!fe || !site->PortPresent(*fe)) return win::ERROR_FILE_NOT_FOUND;
  auto lease = fe->Lease();
  if (!lease) return win::ERROR_FILE_NOT_FOUND;  // uninstalled meanwhile
  handle = std::make_shared<DeviceHandle>(std::move(lease), fe);
  return 0;
}

int SiteBackend::HighestPhysicalDrive() const { return site_->HighestTester(); }

std::unique_ptr<platform::IDeviceHold> SiteBackend::Hold(const std::string& path) {
  const DevicePath p = ParseDevicePath(path);
  FrontEnd* fe = p.kind == DevicePath::Kind::PhysicalDrive ? site_->Tester(p.number)
                 : p.kind == DevicePath::Kind::Bridge      ? site_->Bridge(p.number)
                 : p.kind == DevicePath::Kind::Sata        ? site_->SataPort(p.number)
                                                           : nullptr;
  auto lease = fe ? fe->Lease() : nullptr;
  if (!lease) return nullptr;
  for (int tries = 1; fe->HeldElsewhere(); ++tries) {
    if (tries == kHoldTries) {
      win::SetLastError(win::ERROR_SHARING_VIOLATION);
      return nullptr;
    }
    platform::Clock().SleepMs(kHoldRetryMs);
  }
  return std::make_unique<FrontEndHold>(std::move(lease), fe);
}

win::DWORD SiteBackend::LogicalDrives() const {
  const Site* site = site_.get();
  win::DWORD mask = 0;
  for (char c = 'D'; c <= 'Z'; ++c) {
    const VolumeSpec v = site->Volume(c);
    // A deleted layout took the volume's partition, and its letter, away.
    if (v.letter == 0 || v.layoutDeleted) continue;
    if (v.slot != 0) {
      const auto drive = site->GetDrive(v.slot);
      if (!drive || drive->Removed()) continue;
    }
    mask |= 1u << (c - 'A');
  }
  return mask;
}

win::UINT SiteBackend::DriveType(char letter) const {
  const VolumeSpec v = site_->Volume(letter);
  if (v.letter == 0) return win::DRIVE_NO_ROOT_DIR;
  return v.slot == 0 ? win::DRIVE_CDROM : win::DRIVE_FIXED;
}

}  // namespace emu
