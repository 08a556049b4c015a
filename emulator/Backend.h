// The device I/O back end of an installed site: which paths it claims and the
// handles it opens.
#pragma once
#include <memory>
#include <string>

#include "emulator/Site.h"
#include "platform/DeviceIo.h"

namespace emu {

struct DevicePath {
  enum class Kind : std::uint8_t { None, PhysicalDrive, Bridge, Sata, Volume };
  Kind kind = Kind::None;
  int number = -1;  // physical-drive number or slot
  char letter = 0;  // volumes
};

// "\\.\PhysicalDriveN", "\\?\kxemu#bridge#SS", "\\?\kxemu#sata#SS", "\\.\X:"
// (the family names without regard to case, as Windows matches them).
DevicePath ParseDevicePath(const std::string& path);

class SiteBackend final : public platform::IDeviceBackend {
 public:
  // Holds the site while registered; Site::Uninstall() lets both go.
  explicit SiteBackend(std::shared_ptr<Site> site) : site_(std::move(site)) {}
  // Claims every physical-drive path (so that no real disk is reached while a
  // site is installed), every kxemu path and the site's own letters.
  bool Claims(const std::string& path) const override;
  win::DWORD Open(const std::string& path, win::DWORD access, win::DWORD share,
                  std::shared_ptr<platform::IDeviceHandle>& handle) override;
  win::DWORD LogicalDrives() const override;
  win::UINT DriveType(char letter) const override;
  // The site's highest tester board.
  int HighestPhysicalDrive() const override;
  // Counts the hold on the front end the path names (FrontEnd::Holds).
  std::unique_ptr<platform::IDeviceHold> Hold(const std::string& path) override;

 private:
  std::shared_ptr<Site> site_;
};

}  // namespace emu
