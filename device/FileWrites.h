// Whole-file writes of the report writers and the device's file savers, on the
// program's Windows-style paths. A write either lands whole or leaves the file
// as it was.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

#include "platform/Clock.h"

namespace kx {

// Appends to an existing file (never creates it); a short write is truncated back.
bool AppendToExistingFile(const std::string& path, const void* data, std::size_t size);
enum class WriteResult { Ok, OpenFailed, WriteFailed };
// Opens or creates the file without truncating and appends; a short write is undone.
WriteResult AppendToFile(const std::string& path, const void* data, std::size_t size);
// Creates or truncates the file and writes the data; on a short write the file
// is left empty.
WriteResult WriteWholeFile(const std::string& path, const void* data, std::size_t size);
// Copies a file over the destination (replacing it); no half copy is ever seen.
bool CopyFileReplacing(const std::string& from, const std::string& to);

// Writes a record key into an INI file without ever replacing an earlier
// record: `makeKey` builds the key from the local time; when the section holds
// that key already, waits on the platform clock for the next second and builds
// it again. `finish` may change the text further in the same replacement of
// the file. The read, the check and the write hold the profile write locks.
// 0 or the Windows error number (the file is then as it was).
win::DWORD WriteNewRecord(const std::string& file, const std::string& section,
                          const std::function<std::string(const win::SYSTEMTIME&)>& makeKey, const std::string& value,
                          const std::function<win::DWORD(std::string& text)>& finish = {});

// A text from a drive or an operator as part of a file name: path separators,
// reserved characters, line breaks and ".." become '_', so nothing leaves the folder.
std::string SafeFileName(const std::string& text);
// A text as an INI value, or a key: line breaks (and '=' in a key) become '_'.
// The profile writer refuses them, and the whole record would be lost.
std::string ProfileSafe(const std::string& text, bool key);

}  // namespace kx
