// The system's message text for the Windows error numbers the platform layer
// reports, as FormatMessage gives them (ending in CR LF), and the number the
// layer reports for an errno value.
#pragma once
#include <string>

#include "platform/WinTypes.h"

namespace win {

// "Unknown error <n>." for a number the layer never reports.
std::string FormatMessage(DWORD code);

}  // namespace win

namespace platform {

// Windows error number for an errno value.
win::DWORD ErrorFromErrno(int err);

}  // namespace platform
