// Whole-file writes of the report writers and the device's file savers, on the
// program's Windows-style paths. A write either lands whole or leaves the file
// as it was.
#pragma once
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace kx {

// Appends to an existing file (never creates it); a short write is truncated back.
bool AppendToExistingFile(const std::string& path, const void* data, std::size_t size);
enum class WriteResult { Ok, OpenFailed, WriteFailed };
// Opens or creates the file without truncating and appends; a short write is
// undone. With a `recordSize` the file holds whole records of that size for
// every process that appends to it (platform::AppendFileBytes).
WriteResult AppendToFile(const std::string& path, const void* data, std::size_t size, std::size_t recordSize = 0);
// Creates or truncates the file and writes the data; on a short write the file
// is left empty.
WriteResult WriteWholeFile(const std::string& path, const void* data, std::size_t size);
// Copies a file over the destination (replacing it); no half copy is ever seen.
bool CopyFileReplacing(const std::string& from, const std::string& to);
// Copies a file under `to`, or, where that name is taken, under the first free
// of "<name> (1).<ext>", "<name> (2).<ext>", ...: never over a file, not even
// one that another process puts there meanwhile. The name taken; empty when
// the copy failed.
std::string CopyFileToFreeName(const std::string& from, const std::string& to);

// Writes a record key into an INI file without ever replacing an earlier
// record: `makeKey` builds the key from the local time; when the section holds
// that key already, waits on the platform clock for the next second and builds
// it again. `finish` may change the text further in the same replacement of
// the file. The read, the check and the write hold the profile write locks.
// 0 or the Windows error number (the file is then as it was).
win::DWORD WriteNewRecord(const std::string& file, const std::string& section,
                          const std::function<std::string(const win::SYSTEMTIME&)>& makeKey, const std::string& value,
                          const std::function<win::DWORD(std::string& text)>& finish = {});

// One key of an INI file: set to `text`, or, when `add` is given, a counter
// raised by it (the stored number read as GetPrivateProfileInt reads it, 0
// when missing) and written as "%d".
struct KeyUpdate {
  std::string section;
  std::string key;
  std::string text;
  std::optional<int> add;
};
// Applies the updates in order to the file's text and replaces the file once,
// under the profile write locks: no other process's update falls between the
// read and the write, and a kill leaves the file all old or all new. A key or
// value the profile writer refuses is left out. `counts` (when given) gets
// each counter's new value, in order. A count stops at the end of int's range
// (2147483647), and the write then says so once on the debug alert channel.
// `start` may change the text before the updates, in the same replacement;
// its error refuses the write. 0 or the Windows error number.
win::DWORD UpdateProfileKeys(const std::string& file, const std::vector<KeyUpdate>& updates,
                             std::vector<int>* counts = nullptr,
                             const std::function<win::DWORD(std::string& text)>& start = {});

// A text from a drive or an operator as part of a file name: path separators,
// reserved characters, line breaks and ".." become '_', so nothing leaves the folder.
std::string SafeFileName(const std::string& text);
// A text as an INI value, or a key: line breaks (and '=' in a key) become '_'.
// The profile writer refuses them, and the whole record would be lost.
std::string ProfileSafe(const std::string& text, bool key);

}  // namespace kx
