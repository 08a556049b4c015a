// Helpers for the command layer's tests against an emulated site: publish the
// site's listing as the device-listing record, and put the command layer's
// globals back as a test found them.
#pragma once
#include "command/CommandGlobals.h"
#include "command/GetDevLibrary.h"
#include "emulator/Site.h"

namespace kx::test {

// The listing of the site's bridges (or SATA ports) in the record OpenDrive reads.
inline void PublishListing(const emu::Site& site, bool sataPorts) {
  const auto listing = site.Listing(sataPorts);
  WithRootDevice([&listing](RootDeviceRecord& r) {
    r = RootDeviceRecord{};
    r.SetCount(static_cast<std::uint32_t>(listing.size()));
    for (std::size_t i = 0; i < listing.size(); ++i) r.SetEntry(i, listing[i].node, listing[i].path);
  });
}

// Bridge mode, no pass-through flags, an empty listing.
inline void ResetCommandGlobals() {
  g_KX_U2A = 1;
  g_SataPortMode = 0;
  ClearAtaPassThroughOk();
  WithRootDevice([](RootDeviceRecord& r) { r = RootDeviceRecord{}; });
}

}  // namespace kx::test
