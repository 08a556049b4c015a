// Who and where the program runs: computer name, network adapter address and
// the system language.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

namespace win {

using LANGID = WORD;
constexpr DWORD MAX_COMPUTERNAME_LENGTH = 15;

// Windows contract: *size is the buffer size on entry; on success the length
// copied (without NUL), else ERROR_BUFFER_OVERFLOW with the size needed.
BOOL GetComputerName(char* buffer, DWORD* size);
// 2052 for zh_CN, 1028 for zh_TW, otherwise 1033 (English, US); from LANG.
LANGID GetSystemDefaultLangID();

}  // namespace win

namespace platform {

// The host name up to its first '.', cut to at most 15 bytes. The host name is
// bytes, normally UTF-8: the cut never falls inside a UTF-8 character (a byte
// that starts none counts as one of its own).
std::string ComputerName();
using HostNameSource = std::function<std::string()>;
// Test seam: replaces the system's host name (an empty function restores it).
void SetHostNameSource(HostNameSource source);
// Hardware address of the first network adapter that is not a loopback and
// has a non-zero address; false when there is none.
bool GetMacAddress(std::array<std::uint8_t, 6>& mac);
// IPv4 addresses (dotted) of the adapter GetMacAddress picks, in the system's
// order; false when there is no such adapter.
bool GetAdapterIpAddresses(std::vector<std::string>& addresses);
// Language id for a locale text such as "zh_CN.UTF-8".
win::LANGID LangIdForLocale(const std::string& locale);

}  // namespace platform
