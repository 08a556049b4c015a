// printf-style formatting into a std::string or onto the debug output.
#pragma once
#include <string>

namespace kx {

std::string StrFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Formats at most 259 characters, appends CR LF and passes the line to the
// debug output.
void DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "OS error <n>, <the system's message>" for a Windows error number, on one line.
std::string OsErrorText(unsigned long error);

}  // namespace kx
