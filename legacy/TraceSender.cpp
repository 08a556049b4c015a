#include "legacy/TraceSender.h"

#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
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
  sockaddr_un address{};
  const std::string name = TraceViewerName();
  // An abstract name fills the path after its leading zero byte, no further.
  if (name.size() > sizeof address.sun_path - 1) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // The whole exchange, the connection included, takes at most the receipt
  // time: a viewer that stops accepting must not hold the sender.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReceiptMs);
  const timeval limit{kReceiptMs / 1000, (kReceiptMs % 1000) * 1000};
  bool delivered = false;
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0 &&
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
      ::send(fd, block, kBlock, MSG_NOSIGNAL) == static_cast<ssize_t>(kBlock)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd wait{fd, POLLIN, 0};
    char receipt = 0;
    delivered = left.count() > 0 && ::poll(&wait, 1, static_cast<int>(left.count())) == 1 &&
                ::recv(fd, &receipt, 1, 0) == 1;
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
  // As UTF-8, the system's 8-bit text; a lone surrogate shows as '?'. A
  // character that does not fit whole is left out with all after it.
  char buffer[kBuffer] = {};
  std::size_t n = 0;
  for (std::size_t i = 0; text != nullptr && text[i] != 0; ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = '?';
    }
    char bytes[4];
    std::size_t size = 0;
    if (c < 0x80) {
      bytes[size++] = static_cast<char>(c);
    } else if (c < 0x800) {
      bytes[size++] = static_cast<char>(0xC0 | (c >> 6));
      bytes[size++] = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      bytes[size++] = static_cast<char>(0xE0 | (c >> 12));
      bytes[size++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes[size++] = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      bytes[size++] = static_cast<char>(0xF0 | (c >> 18));
      bytes[size++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      bytes[size++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes[size++] = static_cast<char>(0x80 | (c & 0x3F));
    }
    if (n + size >= kBlock) break;  // the block keeps its terminator
    std::memcpy(buffer + n, bytes, size);
    n += size;
  }
  SendTraceBlock(buffer);
}

void SendTraceString(const std::string& text) { SendTraceBlock(text.c_str()); }

void SendTrace(std::string text) { SendTraceBlock(text.c_str()); }
