// Shared libraries by their Windows names: "X.dll" is loaded as "libX.so" from
// the same folder (".\Configuration\System\GetDev.dll" ->
// Configuration/System/libGetDev.so). Errors: ERROR_MOD_NOT_FOUND,
// ERROR_PROC_NOT_FOUND.
#pragma once
#include <string>

#include "platform/WinTypes.h"

namespace win {

HMODULE LoadLibrary(const char* path);
// Looks the export up by the name given. A C++-decorated name such as
// "@ListKxDevice$qp11ROOT_Device" (the Windows compiler's form) cannot be
// produced by a Linux compiler, so a library built here exports the plain
// identifier "ListKxDevice" with C linkage; when the decorated name is not
// found, that identifier is tried.
void* GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);
// Full path of the running program (module must be null); returns the length
// copied, truncated to size-1, or 0 with the error set.
DWORD GetModuleFileName(HMODULE module, char* buffer, DWORD size);

}  // namespace win

namespace platform {

// The native file a Windows library path stands for ("" when it cannot map).
std::string LibraryFileFor(const std::string& winPath);
// The plain identifier inside a decorated export name ("" when not decorated).
std::string UndecoratedName(const std::string& name);
// Why this thread's last win::LoadLibrary failed, for the operator: the file
// and the loader's reason ("./Configuration/System/libGetDev.so: cannot open
// shared object file: No such file or directory"); empty after a success.
std::string LastLoadLibraryError();

}  // namespace platform
