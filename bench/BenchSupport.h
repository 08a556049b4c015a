// Set-up shared by the benches that run against emulated drives: a scratch
// working folder with the globals pointed into it, and an installed site of
// tester boards.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "emulator/Drive.h"
#include "emulator/Site.h"

namespace kxbench {

// <memory file system or temp>/kxbench_<name>_<pid>: work/ (made the current
// folder, with Configuration/System) and the drives root (C:, D:\Log\D_Reports).
// The setting paths point at .\param.ini and .\paramFDB.ini, tester-direct mode,
// the error-code map filled. All undone, and the folder removed, on destruction.
// `onDisk` puts it in the temporary folder even where a memory file system is
// there, for benches whose figures include the disk's flushes.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& name, bool onDisk = false);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& Root() const { return root_; }

 private:
  std::filesystem::path root_;
};

// Tester boards 1..count, board N serving slot N with a drive of its own made from cfg; installed.
std::shared_ptr<emu::Site> InstallTesterSite(int count, const emu::DriveConfig& cfg);
// Bridges 1..count, bridge N serving slot N (listing entry N) with a drive of
// its own made from cfg; installed, with the send mode and the listing set.
std::shared_ptr<emu::Site> InstallBridgeSite(int count, const emu::DriveConfig& cfg);
// One tester board serving slot with the given drive; installed.
std::shared_ptr<emu::Site> InstallTesterSite(int tester, int slot, std::shared_ptr<emu::Drive> drive);

}  // namespace kxbench
