#include "legacy/SystemInfo.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/NetAdapterInfo.h"
#include "device/Format.h"
#include "device/OsVersion.h"
#include "platform/Files.h"
#include "platform/Identity.h"

namespace legacy {

std::string HostSystemInfo::MacWithColons() { return CNetAdapterInfo().GetMac(); }
std::string HostSystemInfo::IpList() { return CNetAdapterInfo().GetIpList(); }
std::string HostSystemInfo::ComputerName() { return platform::ComputerName(); }
// Linux has no Windows version to report.
bool HostSystemInfo::QueryOsVersion(OsVersionRecord&) { return false; }
std::string HostSystemInfo::CpuBrand() { return GetCpuBrand(); }

std::string GetMacAddress(ISystemInfo& system) {
  std::string mac = system.MacWithColons();
  mac.erase(std::remove(mac.begin(), mac.end(), ':'), mac.end());
  return mac;
}

std::string GetIpAddress(ISystemInfo& system) { return system.IpList(); }

std::string OsNameOf(const OsVersionRecord& r, int& code) {
  const bool workstation = r.productType == OsVersionRecord::kProductWorkstation;
  if (r.major == 4 && r.minor == 0) {
    code = 1;
    if (r.platform == OsVersionRecord::kPlatformNt) return "Microsoft Windows NT 4.0";
    if (r.platform == OsVersionRecord::kPlatformWin9x) return "Microsoft Windows 95";
    return "";
  }
  struct Row {
    int major, minor, code;
    const char *workstationName, *serverName;
  };
  static constexpr Row kRows[] = {
      {4, 10, 2, "Microsoft Windows 98", "Microsoft Windows 98"},
      {4, 90, 3, "Microsoft Windows Me", "Microsoft Windows Me"},
      {5, 0, 4, "Microsoft Windows 2000", "Microsoft Windows 2000"},
      {5, 1, 5, "Microsoft Windows XP", "Microsoft Windows XP"},
      {6, 0, 7, "Microsoft Windows Vista", "Microsoft Windows Server 2008"},
      {6, 1, 8, "Microsoft Windows 7", "Microsoft Windows Server 2008 R2"},
      {6, 2, 9, "Microsoft Windows 8", "Microsoft Windows Server 2012"},
  };
  if (r.major == 5 && r.minor == 2) {
    code = 6;
    if (workstation && r.processorArchitecture == OsVersionRecord::kArchAmd64)
      return "Microsoft Windows XP Professional x64 Edition";
    return r.serverR2Metric == 0 ? "Microsoft Windows Server 2003" : "Microsoft Windows Server 2003 R2";
  }
  for (const Row& row : kRows) {
    if (row.major != r.major || row.minor != r.minor) continue;
    code = row.code;
    return workstation ? row.workstationName : row.serverName;
  }
  return r.major >= 4 && r.major <= 6 ? "" : "Unknow";
}

std::string GetOsName(ISystemInfo& system) {
  OsVersionRecord record;
  if (!system.QueryOsVersion(record)) return "";
  int code = g_OsVersionCode.load();
  const std::string name = OsNameOf(record, code);
  g_OsVersionCode = code;
  return name;
}

void ReadCpuid(std::uint32_t leaf, std::uint32_t* regs) {
  if (regs == nullptr) return;
#if defined(__i386__) || defined(__x86_64__)
  __cpuid_count(leaf, 0, regs[0], regs[1], regs[2], regs[3]);
#else
  regs[0] = regs[1] = regs[2] = regs[3] = 0;
#endif
}

std::string BrandFromLeaves(const std::uint32_t (&words)[12]) {
  char bytes[48];
  for (int i = 0; i < 12; ++i)
    for (int b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<char>(words[i] >> (8 * b) & 0xFF);
  return std::string(bytes, strnlen(bytes, sizeof bytes));
}

std::string GetCpuBrand() {
#if defined(__i386__) || defined(__x86_64__)
  std::uint32_t top[4] = {};
  ReadCpuid(0x80000000u, top);
  if (top[0] < 0x80000004u) return "";
  std::uint32_t words[12] = {};
  for (std::uint32_t i = 0; i < 3; ++i) ReadCpuid(0x80000002u + i, words + 4 * i);
  return BrandFromLeaves(words);
#else
  return "";
#endif
}

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::uint32_t FindProcessIdIn(const std::string& procFolder, const std::string& exeName) {
  if (exeName.size() > 255) return 0;
  const std::string wanted = Upper(exeName);
  std::error_code ec;
  std::filesystem::directory_iterator it(procFolder, ec), end;
  if (ec) return 0;
  std::uint32_t found = 0;
  for (; it != end && found == 0; it.increment(ec)) {
    const std::string pid = it->path().filename().string();
    if (pid.empty() || !std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    // The executable's name as the system records it (comm is cut to 15 characters,
    // so the command line's first word is taken when it is there).
    std::ifstream cmdline(it->path() / "cmdline", std::ios::binary);
    std::string first;
    std::getline(cmdline, first, '\0');
    std::string name = std::filesystem::path(first).filename().string();
    if (name.empty()) {
      std::ifstream comm(it->path() / "comm");
      std::getline(comm, name);
    }
    if (!name.empty() && Upper(name) == wanted) found = static_cast<std::uint32_t>(std::stoul(pid));
    if (ec) break;
  }
  return found;
}

std::uint32_t FindProcessId(const std::string& exeName) { return FindProcessIdIn("/proc", exeName); }

bool IsDirectory(const std::string& path) {
  std::string pattern = path;
  if (pattern.rfind("\\\\", 0) == 0) pattern += !pattern.empty() && pattern.back() == '\\' ? "*" : "\\*";
  win::WIN32_FIND_DATA data;
  const win::HANDLE find = win::FindFirstFile(pattern.c_str(), &data);
  if (find == win::INVALID_HANDLE_VALUE) return false;
  const bool folder = (data.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0;
  win::FindClose(find);
  return folder;
}

std::string RunClockText(std::uint64_t elapsedMs) {
  const std::uint64_t s = elapsedMs / 1000;
  return kx::StrFormat("%02d:%02d", static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
}

}  // namespace legacy
