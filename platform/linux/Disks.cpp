#include "platform/linux/Disks.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace platform::linuxdisk {
namespace {

std::string baseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// mountinfo writes blanks, tabs, newlines and backslashes as \ooo.
std::string unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && isOctal(s[i + 1]) && isOctal(s[i + 2]) && isOctal(s[i + 3])) {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Kernel name of the block device behind a mount: by its device number, or by
// its source for file systems that report an anonymous number (btrfs).
std::string blockNameOf(ISysCalls& sys, const std::string& majorMinor, const std::string& source) {
  std::string target;
  if (majorMinor.rfind("0:", 0) != 0 && sys.ReadLink("/sys/dev/block/" + majorMinor, target)) return baseName(target);
  if (source.rfind("/dev/", 0) == 0) {
    std::string resolved;
    if (sys.RealPath(source, resolved)) return baseName(resolved);
  }
  return {};
}

}  // namespace

int DiskIndexFromName(const std::string& name) {
  if (name.size() < 3 || name.size() > 6 || name.compare(0, 2, "sd") != 0) return -1;
  long index = 0;
  for (std::size_t i = 2; i < name.size(); ++i) {
    const char c = name[i];
    if (c < 'a' || c > 'z') return -1;
    index = index * 26 + (c - 'a' + 1);
  }
  return static_cast<int>(index - 1);
}

int DiskNumberFromName(const std::string& name) {
  const int index = DiskIndexFromName(name);
  return index < 0 ? -1 : index + 1;
}

std::string DiskNameFromNumber(int number) {
  if (number < 1) return {};
  std::string letters;
  long n = number;
  while (n > 0) {
    --n;
    letters.insert(letters.begin(), static_cast<char>('a' + n % 26));
    n /= 26;
  }
  return "sd" + letters;
}

bool SplitSdName(const std::string& name, std::string& disk, int& partition) {
  std::size_t end = name.size();
  while (end > 0 && std::isdigit(static_cast<unsigned char>(name[end - 1]))) --end;
  const std::string base = name.substr(0, end);
  if (DiskIndexFromName(base) < 0) return false;
  const std::string digits = name.substr(end);
  if (digits.size() > 4 || (!digits.empty() && digits[0] == '0')) return false;
  disk = base;
  partition = digits.empty() ? 0 : std::stoi(digits);
  return true;
}

std::vector<Mount> ReadMounts(ISysCalls& sys) {
  std::vector<Mount> mounts;
  std::string text;
  if (!sys.ReadText("/proc/self/mountinfo", text)) return mounts;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    std::istringstream f(line);
    std::vector<std::string> fields;
    std::string w;
    while (f >> w) fields.push_back(w);
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || dash == fields.end() || dash - fields.begin() < 5) continue;
    const std::size_t after = static_cast<std::size_t>(dash - fields.begin()) + 1;
    const std::string source = after + 1 < fields.size() ? unescape(fields[after + 1]) : std::string();
    mounts.push_back(Mount{blockNameOf(sys, fields[2], source), unescape(fields[4])});
  }
  return mounts;
}

std::vector<std::string> ReadSwapDevices(ISysCalls& sys) {
  std::vector<std::string> names;
  std::string text;
  if (!sys.ReadText("/proc/swaps", text)) return names;
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);  // heading
  while (std::getline(lines, line)) {
    std::istringstream f(line);
    std::string file, type;
    if (!(f >> file >> type) || type != "partition") continue;
    std::string resolved;
    file = unescape(file);
    names.push_back(baseName(sys.RealPath(file, resolved) ? resolved : file));
  }
  return names;
}

namespace {
void disksUnder(ISysCalls& sys, const std::string& name, std::set<std::string>& disks, int depth) {
  std::string disk;
  int part = 0;
  if (SplitSdName(name, disk, part)) {
    disks.insert(disk);
    return;
  }
  if (depth > 8 || name.empty() || name.find('/') != std::string::npos) return;
  std::vector<std::string> slaves;
  if (!sys.ListDir("/sys/class/block/" + name + "/slaves", slaves)) return;
  for (const auto& s : slaves) disksUnder(sys, s, disks, depth + 1);
}
}  // namespace

void DisksUnder(ISysCalls& sys, const std::string& blockName, std::set<std::string>& disks) {
  disksUnder(sys, blockName, disks, 0);
}

bool IsSystemMountPoint(const std::string& mp) {
  if (mp == "/") return true;
  static const char* const kSystemFolders[] = {"/boot", "/usr", "/var", "/home", "/opt", "/srv", "/etc", "/root"};
  for (const char* folder : kSystemFolders) {
    const std::string f(folder);
    if (mp == f || (mp.size() > f.size() && mp.compare(0, f.size(), f) == 0 && mp[f.size()] == '/')) return true;
  }
  return false;
}

namespace {
bool isAtOrBelow(const std::string& path, const std::string& folder) {
  return folder == "/" || path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}
}  // namespace

DiskUse InspectDisk(ISysCalls& sys, const std::string& disk, const std::vector<std::string>& programFolders) {
  DiskUse use;
  const std::vector<Mount> mounts = ReadMounts(sys);
  // The mounts holding the program's folders: for each, the last of the longest mount points above it.
  std::set<std::size_t> programMounts;
  for (const std::string& folder : programFolders) {
    std::size_t found = mounts.size();
    for (std::size_t i = 0; i < mounts.size(); ++i) {
      if (isAtOrBelow(folder, mounts[i].mountPoint) &&
          (found == mounts.size() || mounts[i].mountPoint.size() >= mounts[found].mountPoint.size()))
        found = i;
    }
    programMounts.insert(found);
  }
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    const Mount& m = mounts[i];
    std::set<std::string> under;
    DisksUnder(sys, m.device, under);
    if (!under.count(disk)) continue;
    if (use.systemUse.empty() && (IsSystemMountPoint(m.mountPoint) || programMounts.count(i)))
      use.systemUse = m.mountPoint;
    std::string d;
    int part = 0;
    if (SplitSdName(m.device, d, part) && d == disk) {
      use.mountPoints.push_back(m.mountPoint);
    } else {
      use.held = true;
    }
  }
  for (const auto& s : ReadSwapDevices(sys)) {
    std::set<std::string> under;
    DisksUnder(sys, s, under);
    if (under.count(disk) && use.systemUse.empty()) use.systemUse = "swap";
  }
  // Partitions (and the disk) that device mapper or md have taken.
  std::vector<std::string> names{disk};
  std::vector<std::string> entries;
  if (sys.ListDir("/sys/class/block/" + disk, entries)) {
    for (const auto& e : entries) {
      std::string d;
      int part = 0;
      if (SplitSdName(e, d, part) && d == disk && part > 0) names.push_back(e);
    }
  }
  for (const auto& n : names) {
    std::vector<std::string> holders;
    if (sys.ListDir("/sys/class/block/" + n + "/holders", holders) && !holders.empty()) use.held = true;
  }
  return use;
}

namespace {

// A sysfs number: digits with an optional line end; false for anything else.
bool readNumber(ISysCalls& sys, const std::string& path, std::uint64_t& value) {
  std::string text;
  if (!sys.ReadText(path, text)) return false;
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  if (text.empty() || text.size() > 12) return false;
  value = 0;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

constexpr std::uint64_t kPageBytes = 4096;  // the smallest page Linux uses

constexpr char kDiskSeqFolder[] = "/dev/disk/by-diskseq/";

bool diskSeq(ISysCalls& sys, const std::string& disk, std::uint64_t& seq) {
  return readNumber(sys, "/sys/block/" + disk + "/diskseq", seq) && seq != 0;
}

}  // namespace

std::string DiskSeqPath(std::uint64_t seq) { return kDiskSeqFolder + std::to_string(seq); }

std::string DiskPath(ISysCalls& sys, const std::string& disk) {
  std::uint64_t seq = 0;
  return diskSeq(sys, disk, seq) ? DiskSeqPath(seq) : "/dev/" + disk;
}

bool ParseDiskSeqPath(const std::string& path, std::uint64_t& seq) {
  constexpr std::size_t n = sizeof kDiskSeqFolder - 1;
  return path.compare(0, n, kDiskSeqFolder) == 0 && ParseDiskSeq(path.substr(n), seq);
}

bool ParseDiskSeq(const std::string& digits, std::uint64_t& seq) {
  if (digits.empty() || digits.size() > 19 || digits[0] == '0') return false;
  seq = 0;
  for (const char c : digits) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    seq = seq * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

int HighestDiskNumber(ISysCalls& sys) {
  std::vector<std::string> names;
  int highest = -1;
  if (sys.ListDir("/sys/block", names))
    for (const auto& n : names) highest = std::max(highest, DiskNumberFromName(n));
  return highest;
}

std::string DiskOfSeq(ISysCalls& sys, std::uint64_t seq) {
  // udev's link first; a stale or missing link falls back to the kernel's own list.
  std::string resolved;
  const std::string name = sys.RealPath(DiskSeqPath(seq), resolved) ? baseName(resolved) : std::string();
  std::uint64_t found = 0;
  if (DiskIndexFromName(name) >= 0 && diskSeq(sys, name, found) && found == seq) return name;
  std::vector<std::string> names;
  if (!sys.ListDir("/sys/block", names)) return {};
  for (const auto& n : names) {
    if (DiskIndexFromName(n) >= 0 && diskSeq(sys, n, found) && found == seq) return n;
  }
  return {};
}

std::uint64_t SeqOfDisk(ISysCalls& sys, const std::string& disk) {
  std::uint64_t seq = 0;
  return diskSeq(sys, disk, seq) ? seq : 0;
}

std::uint32_t TransferLimit(ISysCalls& sys, const std::string& disk) {
  const std::string queue = "/sys/block/" + disk + "/queue/";
  std::uint64_t limit = 0;
  auto tighten = [&limit](std::uint64_t bytes) {
    if (bytes != 0 && (limit == 0 || bytes < limit)) limit = bytes;
  };
  std::uint64_t kb = 0;
  if (readNumber(sys, queue + "max_sectors_kb", kb)) tighten(kb * 1024);
  if (readNumber(sys, queue + "max_hw_sectors_kb", kb)) tighten(kb * 1024);
  if (limit == 0) return 0;
  std::uint64_t segments = 0, segmentBytes = 0;
  if (readNumber(sys, queue + "max_segments", segments)) {
    std::uint64_t perSegment = kPageBytes;
    if (readNumber(sys, queue + "max_segment_size", segmentBytes) && segmentBytes != 0 && segmentBytes < kPageBytes) {
      perSegment = segmentBytes;
    }
    tighten(segments * perSegment);
  }
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(limit, 0xFFFFFE00u));
}

void RaiseUsbTransferLimit(ISysCalls& sys, const std::string& disk) {
  const std::string block = "/sys/block/" + disk;
  std::uint64_t maxSectors = 0;
  if (!readNumber(sys, block + "/device/max_sectors", maxSectors)) return;
  constexpr std::uint64_t kWantedKb = kWantedTransferBytes / 1024;
  constexpr std::uint64_t kWantedSectors = kWantedTransferBytes / 512;
  std::uint64_t hwKb = 0;
  if (!readNumber(sys, block + "/queue/max_hw_sectors_kb", hwKb)) return;
  if (hwKb < kWantedKb && maxSectors < kWantedSectors &&
      sys.WriteText(block + "/device/max_sectors", std::to_string(kWantedSectors)) == 0 &&
      !readNumber(sys, block + "/queue/max_hw_sectors_kb", hwKb)) {
    return;
  }
  std::uint64_t kb = 0;
  if (!readNumber(sys, block + "/queue/max_sectors_kb", kb)) return;
  const std::uint64_t target = std::min(kWantedKb, hwKb);
  if (kb < target) sys.WriteText(block + "/queue/max_sectors_kb", std::to_string(target));
}

void VolumeLetters::Refresh(ISysCalls& sys) {
  std::set<std::string> mounted;
  for (const auto& m : ReadMounts(sys)) {
    std::string disk;
    int part = 0;
    if (SplitSdName(m.device, disk, part)) mounted.insert(m.device);
  }
  std::lock_guard lock(mutex_);
  std::set<std::string> lettered;
  for (auto it = byLetter_.begin(); it != byLetter_.end();) {
    if (mounted.count(it->second.device)) {
      lettered.insert(it->second.device);
      ++it;
    } else {
      it = byLetter_.erase(it);
    }
  }
  for (const auto& device : mounted) {  // set order: sdb1 before sdc1, stable run to run
    if (lettered.count(device)) continue;
    char letter = 'D';
    while (letter <= 'Z' && byLetter_.count(letter)) ++letter;
    if (letter > 'Z') break;
    Volume v;
    v.device = device;
    SplitSdName(device, v.disk, v.partition);
    byLetter_.emplace(letter, v);
  }
}

win::DWORD VolumeLetters::Mask() const {
  std::lock_guard lock(mutex_);
  win::DWORD mask = 0;
  for (const auto& [letter, v] : byLetter_) mask |= 1u << (letter - 'A');
  return mask;
}

bool VolumeLetters::Find(char letter, Volume& volume) const {
  std::lock_guard lock(mutex_);
  const auto it = byLetter_.find(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
  if (it == byLetter_.end()) return false;
  volume = it->second;
  return true;
}

}  // namespace platform::linuxdisk
