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

// Windows error number for the errno value of a file or folder call.
win::DWORD ErrorFromErrno(int err);
// Windows error number for the errno value of a call on a disk device (its
// open, ioctl, read or write): a node that is gone is ERROR_FILE_NOT_FOUND, a
// disk without medium ERROR_NOT_READY, a request the device does not know
// ERROR_NOT_SUPPORTED; what only files and folders meet is ERROR_GEN_FAILURE.
win::DWORD DeviceErrorFromErrno(int err);

}  // namespace platform
