#include "device/Format.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "device/Environment.h"
#include "platform/ErrorText.h"

namespace kx {

std::string StrFormat(const char* format, ...) {
  char small[256];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  std::string out;
  if (n < 0) {
    va_end(again);
    return out;
  }
  if (static_cast<std::size_t>(n) < sizeof small) {
    out.assign(small, static_cast<std::size_t>(n));
  } else {
    std::vector<char> big(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), format, again);
    out.assign(big.data(), static_cast<std::size_t>(n));
  }
  va_end(again);
  return out;
}

void DebugTrace(const char* format, ...) {
  char line[260];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  DebugOutput(std::string(line) + "\r\n");
}

std::string OsErrorText(unsigned long error) {
  std::string text = win::FormatMessage(static_cast<win::DWORD>(error));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return StrFormat("OS error %lu, %s", error, text.c_str());
}

}  // namespace kx
