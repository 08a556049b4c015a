// The INI profile calls, with the Windows behaviour the program relies on.
//
// - Section and key names match without regard to ASCII case; values keep theirs.
// - Names and values are trimmed of blanks; one pair of matching surrounding
//   quotes ("..." or '...') is removed from a value read by key.
// - A missing file, section or key gives the default. Integers are decimal, or
//   hexadecimal after "0x".
// - Results are cut to size-1 characters (lists: size-2 plus two NULs) and the
//   count returned is the one Windows returns.
// - A null key lists the section's keys, a null section lists the sections, each
//   name NUL-terminated and the list ending in a second NUL. Listing the
//   sections of a missing file gives a single NUL.
// - Writing a null value deletes the key, a null key deletes the section; a
//   write creates the file and the section when they are missing.
// - A line beginning with '[' is a section header named up to its first ']'
//   (anything after that ']' is ignored) unless an '=' follows the ']': then it
//   is a key line, so keys such as "[2024-05-06 08:09:10]   SlotNo:03" work.
// - Lines starting with ';' are comments; lines that are neither header, key
//   nor comment are kept as they are and listed by GetPrivateProfileSection.
//   Both survive every rewrite. A line starting with '#' is an ordinary line.
// - Lines end in LF, CR LF or a lone CR. Files are bytes: nothing is
//   transcoded. Lines are written with CR LF.
//
// Reads see the program's own writes (these calls and the file layer's) at
// once. A parsed copy is kept while the kernel reports no change to the file
// or to the folders on its path (inotify, read by a watcher thread), so another
// process's change is seen as soon as that thread has taken the kernel's report,
// normally well within a millisecond. A file changed in the last 50 ms, and a
// missing file, are read afresh every time.
// Writes to one file are serialised across threads and, by the lock on the
// file's folder (platform/FolderLock.h), across processes; each replaces the
// file atomically (temporary file in the same folder, flushed, renamed, folder
// flushed), so a reader never sees a half-written file and no writer's key is
// lost.
//
// File names are Windows-style paths, mapped by platform/Paths.h.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

namespace win {

DWORD GetPrivateProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                              DWORD size, const char* fileName);
UINT GetPrivateProfileInt(const char* section, const char* key, int defaultValue, const char* fileName);
// "key=value" entries of a section, each NUL-terminated, then a second NUL.
// Values are given as they stand in the file (trimmed, quotes kept).
DWORD GetPrivateProfileSection(const char* section, char* buffer, DWORD size, const char* fileName);
DWORD GetPrivateProfileSectionNames(char* buffer, DWORD size, const char* fileName);
// FALSE with GetLastError() on failure: missing folder (ERROR_PATH_NOT_FOUND),
// names or values that cannot be stored on one line (ERROR_INVALID_PARAMETER),
// full disk (ERROR_DISK_FULL); the file is then left as it was.
BOOL WritePrivateProfileString(const char* section, const char* key, const char* value, const char* fileName);
// Replaces the whole body of a section with the "key=value" entries of a
// double-NUL-terminated list; a null list deletes the section.
BOOL WritePrivateProfileSection(const char* section, const char* entries, const char* fileName);

// Conveniences for std::string callers.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& fileName);
UINT GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                          const std::string& fileName);
BOOL WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& fileName);
// Key names of a section, in file order.
std::vector<std::string> GetPrivateProfileKeyNames(const std::string& section, const std::string& fileName);
// "key=value" entries of a section, in file order.
std::vector<std::string> GetPrivateProfileSection(const std::string& section, const std::string& fileName);
std::vector<std::string> GetPrivateProfileSectionNames(const std::string& fileName);

}  // namespace win

namespace platform {

// Drops every parsed copy (tests and the benchmark use it; reads never need it).
void ClearProfileCache();
// Drops the parsed copy of a file (a native path) this process has just
// changed; the file layer calls it after every change it makes.
void ForgetProfileFile(const std::string& nativePath);
// Under the locks of a profile write: reads the file afresh (a missing file is
// empty text), lets `edit` change the text, and replaces the file atomically
// with it when `edit` returns 0 and changed it. Returns 0, `edit`'s error, or
// the Windows error number of the read or write; the file is then as it was.
win::DWORD EditProfileFile(const std::string& fileName, const std::function<win::DWORD(std::string& text)>& edit);
// One key written into an INI text as WritePrivateProfileString writes it.
// 0, or ERROR_INVALID_PARAMETER for a name or value that cannot be stored.
win::DWORD SetProfileKey(std::string& text, const std::string& section, const std::string& key,
                         const std::string& value);
// As SetProfileKey, but only where the section does not hold the key yet:
// ERROR_ALREADY_EXISTS (and the text unchanged) where it does. Its check and
// its write are one pass over the text.
win::DWORD AddProfileKey(std::string& text, const std::string& section, const std::string& key,
                         const std::string& value);
// One key taken out of an INI text as WritePrivateProfileString with no value
// takes it (nothing changes where the key is missing).
win::DWORD DeleteProfileKey(std::string& text, const std::string& section, const std::string& key);
// An integer key of an INI text as GetPrivateProfileInt reads it.
win::UINT FindProfileInt(const std::string& text, const std::string& section, const std::string& key,
                         int defaultValue);

// Parses and looks up without any cache: the reference the benchmark compares with.
std::string ReadProfileStringUncached(const std::string& section, const std::string& key,
                                      const std::string& defaultValue, const std::string& fileName);

}  // namespace platform
