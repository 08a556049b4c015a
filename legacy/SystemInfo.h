// What the legacy page shows of the production PC: MAC and IP addresses,
// computer name, the system's version name and the processor brand; and the
// run clock's text. The queries sit behind ISystemInfo so tests can give any
// adapter or version.
#pragma once
#include <cstdint>
#include <string>

namespace legacy {

// The system's version as the Windows version query gives it.
struct OsVersionRecord {
  static constexpr int kPlatformWin9x = 1;
  static constexpr int kPlatformNt = 2;
  static constexpr int kProductWorkstation = 1;
  static constexpr int kArchAmd64 = 9;
  int major = 0;
  int minor = 0;
  int platform = 0;
  int productType = 0;
  int processorArchitecture = 0;
  int serverR2Metric = 0;
};

class ISystemInfo {
 public:
  virtual ~ISystemInfo() = default;
  // "%02X:..." of the first adapter, or empty.
  virtual std::string MacWithColons() = 0;
  // The first adapter's IP addresses separated by CR LF, or empty.
  virtual std::string IpList() = 0;
  virtual std::string ComputerName() = 0;
  // False when the system has no such query (Linux).
  virtual bool QueryOsVersion(OsVersionRecord& record) = 0;
  virtual std::string CpuBrand() = 0;
};

// CNetAdapterInfo, the platform's computer name, no version query, CPUID.
class HostSystemInfo final : public ISystemInfo {
 public:
  std::string MacWithColons() override;
  std::string IpList() override;
  std::string ComputerName() override;
  bool QueryOsVersion(OsVersionRecord& record) override;
  std::string CpuBrand() override;
};

// Twelve hexadecimal digits: the MAC address without its colons.
std::string GetMacAddress(ISystemInfo& system);
std::string GetIpAddress(ISystemInfo& system);
// The version's name; sets g_OsVersionCode where the version is known. A
// failed query gives an empty name and leaves the code.
std::string GetOsName(ISystemInfo& system);
std::string OsNameOf(const OsVersionRecord& record, int& code);
// Leaf `leaf`, sub-leaf 0, into a, b, c, d; nothing when `regs` is null or off x86.
void ReadCpuid(std::uint32_t leaf, std::uint32_t* regs);
// The extended brand text (at most 48 characters), empty without the leaves.
std::string GetCpuBrand();
// The brand text of the three brand leaves' 48 bytes.
std::string BrandFromLeaves(const std::uint32_t (&words)[12]);
// Process id of the first process whose executable name matches (any case);
// 0 when none, or for names over 255 characters.
std::uint32_t FindProcessId(const std::string& exeName);
// As FindProcessId over a /proc-like folder.
std::uint32_t FindProcessIdIn(const std::string& procFolder, const std::string& exeName);
bool IsDirectory(const std::string& path);
// "%02d:%02d" of minutes (mod 60) and seconds of a run of `elapsedMs`.
std::string RunClockText(std::uint64_t elapsedMs);

}  // namespace legacy
