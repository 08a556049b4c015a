// Dump files with fixed names that several ports write at once (".\GInfoB_w.txt",
// ".\ISPVerify-W.txt", the scan-all flash-ID file of a tool device and the
// like). Writers of one name take turns, and each write replaces the file
// whole (temporary file in the same folder, then a rename), so a reader or a
// crash never sees a mixed or partial file. Names stay as the callers give them.
#pragma once
#include <cstddef>
#include <string>

#include "device/FileWrites.h"

namespace kx {

// Creates or replaces the file with the bytes. OpenFailed when the file cannot
// be created (missing folder, no access), WriteFailed when the data could not
// be written; the old file is then left as it was.
WriteResult WriteSharedDump(const std::string& path, const void* bytes, std::size_t length);

}  // namespace kx
