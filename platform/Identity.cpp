#include "platform/Identity.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

namespace platform {

namespace {

std::mutex g_HostNameMutex;
HostNameSource g_HostNameSource;

std::string HostName() {
  HostNameSource source;
  {
    std::lock_guard lock(g_HostNameMutex);
    source = g_HostNameSource;
  }
  if (source) return source();
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return {};
  return host;
}

// Bytes of the UTF-8 character that `s` (not empty) starts with; 1 for a byte
// that starts none or a sequence cut short.
std::size_t Utf8CharLength(std::string_view s) {
  const auto lead = static_cast<unsigned char>(s[0]);
  const std::size_t n = lead < 0xC2 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 1;
  if (n > s.size()) return 1;
  for (std::size_t i = 1; i < n; ++i)
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 1;
  return n;
}

}  // namespace

std::string ComputerName() {
  std::string name = HostName();
  name.resize(std::min(name.find('.'), name.size()));
  std::size_t cut = 0;
  while (cut < name.size()) {
    const std::size_t n = Utf8CharLength(std::string_view(name).substr(cut));
    if (cut + n > win::MAX_COMPUTERNAME_LENGTH) break;
    cut += n;
  }
  name.resize(cut);
  return name;
}

void SetHostNameSource(HostNameSource source) {
  std::lock_guard lock(g_HostNameMutex);
  g_HostNameSource = std::move(source);
}

namespace {

// The first adapter that is not a loopback and has a non-zero hardware address.
const ifaddrs* FirstAdapter(const ifaddrs* list) {
  for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_PACKET || (a->ifa_flags & IFF_LOOPBACK)) continue;
    const auto* ll = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
    if (ll->sll_halen != 6) continue;
    bool zero = true;
    for (int i = 0; i < 6; ++i) zero = zero && ll->sll_addr[i] == 0;
    if (!zero) return a;
  }
  return nullptr;
}

}  // namespace

bool GetMacAddress(std::array<std::uint8_t, 6>& mac) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  const ifaddrs* a = FirstAdapter(list);
  if (a != nullptr) std::memcpy(mac.data(), reinterpret_cast<const sockaddr_ll*>(a->ifa_addr)->sll_addr, 6);
  ::freeifaddrs(list);
  return a != nullptr;
}

bool GetAdapterIpAddresses(std::vector<std::string>& addresses) {
  addresses.clear();
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  const ifaddrs* adapter = FirstAdapter(list);
  if (adapter != nullptr) {
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
      if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || a->ifa_name == nullptr ||
          std::strcmp(a->ifa_name, adapter->ifa_name) != 0)
        continue;
      char text[INET_ADDRSTRLEN] = {};
      if (::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text))
        addresses.emplace_back(text);
    }
  }
  ::freeifaddrs(list);
  return adapter != nullptr;
}

win::LANGID LangIdForLocale(const std::string& locale) {
  if (locale.rfind("zh_CN", 0) == 0) return 2052;
  if (locale.rfind("zh_TW", 0) == 0) return 1028;
  return 1033;
}

}  // namespace platform

namespace win {

BOOL GetComputerName(char* buffer, DWORD* size) {
  if (size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string name = platform::ComputerName();
  if (buffer == nullptr || *size < name.size() + 1) {
    *size = static_cast<DWORD>(name.size() + 1);
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return FALSE;
  }
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *size = static_cast<DWORD>(name.size());
  SetLastError(0);
  return TRUE;
}

LANGID GetSystemDefaultLangID() {
  const char* lang = std::getenv("LANG");
  return platform::LangIdForLocale(lang ? lang : "");
}

}  // namespace win
