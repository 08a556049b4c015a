// The Error log of a log folder (Error_<kind>.log): its column line and its
// [Error List] entries. A log is whole or not there: the column line is
// written only into a missing log, in one replacement of the file, and an
// entry never makes a log without it.
#pragma once
#include <functional>
#include <string>

#include "platform/Clock.h"  // SYSTEMTIME

namespace kx {

// The column line of a new Error log. 0, or the Windows error number with the
// file as it was.
win::DWORD WriteErrorLogHeader(const std::string& errorLog);

// Adds an [Error List] entry, never in place of an earlier one (WriteNewRecord).
// A log found missing (removed during the run) gets its column line before the
// entry in the same replacement of the file, checked under the folder's lock
// of that write; a log the disk refuses stays missing, and the entry is
// refused with its error.
win::DWORD AddErrorLogEntry(const std::string& errorLog,
                            const std::function<std::string(const win::SYSTEMTIME&)>& makeKey,
                            const std::string& value);

}  // namespace kx
