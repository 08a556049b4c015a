#include "legacy/TraceSender.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kBlock = 255;
constexpr std::size_t kBuffer = 256;
constexpr int kReceiptMs = 2000;
std::string g_NameOverride;

}  // namespace

std::string TraceViewerName() { return g_NameOverride.empty() ? "TMainFrame/TRACE Window" : g_NameOverride; }

void SetTraceViewerName(const std::string& name) { g_NameOverride = name; }

bool SendTraceBlock(const char* text) {
  char block[kBlock] = {};
  // The block always carries the terminator.
  std::strncpy(block, text, kBlock - 1);
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string name = TraceViewerName();
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  bool delivered = false;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
      ::send(fd, block, kBlock, MSG_NOSIGNAL) == static_cast<ssize_t>(kBlock)) {
    pollfd wait{fd, POLLIN, 0};
    char receipt = 0;
    delivered = ::poll(&wait, 1, kReceiptMs) == 1 && ::recv(fd, &receipt, 1, 0) == 1;
  }
  ::close(fd);
  return delivered;
}

void SendTraceHex(std::uint32_t value) {
  char buffer[kBuffer];
  std::snprintf(buffer, sizeof buffer, "0x%x", value);
  SendTraceBlock(buffer);
}

void SendTraceText(const char* text) {
  char buffer[kBuffer];
  std::snprintf(buffer, sizeof buffer, "%s", text != nullptr ? text : "");
  SendTraceBlock(buffer);
}

void SendTraceWide(const char16_t* text) {
  // 8-bit text as the C locale converts it: what has no 8-bit form shows as '?'.
  char buffer[kBuffer] = {};
  std::size_t n = 0;
  for (; text != nullptr && text[n] != 0 && n + 1 < sizeof buffer; ++n)
    buffer[n] = text[n] < 0x80 ? static_cast<char>(text[n]) : '?';
  buffer[n] = 0;
  SendTraceBlock(buffer);
}

void SendTraceString(const std::string& text) { SendTraceBlock(text.c_str()); }

void SendTrace(std::string text) { SendTraceBlock(text.c_str()); }
