// Texts the legacy page shares with the other windows, and small helpers of
// its files.
#pragma once
#include <string>

#include "bringup/IdentifyChecks.h"

namespace legacy {

inline constexpr char kParamIni[] = ".\\param.ini";
inline constexpr char kMacFile[] = ".\\PC_MAC_Address.txt";

// The shared working number (empty when unset) and model name.
std::string WorkingNumber();
void SetWorkingNumber(const std::string& number);
std::string SharedModelName();
void SetSharedModelName(const std::string& name);

enum class PcText { Mac, Ip, Name, OsName, CpuName };
std::string SharedPcText(PcText which);
void SetSharedPcText(PcText which, const std::string& text);

// The first six characters are "KX7410", in any case (blanks already trimmed).
bool IsKx7410(const std::string& controllerType);
// The oldest tester firmware a tester kind accepts.
inline kx::TesterFwVersion MinimumFwOf(int testerKind) { return kx::MinimumTesterFw(testerKind); }
// Replaces `target` by a copy of `source` through a temporary file in the
// target's folder; false, with the target untouched, when the copy fails.
bool ReplaceByCopy(const std::string& source, const std::string& target);
// Both paths name one existing file, as the platform resolves them (letter
// case, either separator, "." and "..", links).
bool IsSameFile(const std::string& a, const std::string& b);
// "%02d-%02d-%02d %02d:%02d:%02d" of the local time now.
std::string TimeStamp();

}  // namespace legacy
