// The folders that hold the program's own files: the working folder (its
// settings and parameter files), the folders of the drive letters (C:\ and the
// like), and the folders the program names through its folder source (its log
// folder, which the settings may put anywhere). A disk holding any of them is
// the program's own: never a station's bay, never dismounted nor cleared.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace platform {

// Windows-style or native paths, asked for each time the folders are wanted, so
// that a changed setting counts at once.
using ProgramFolderSource = std::function<std::vector<std::string>()>;
void SetProgramFolderSource(ProgramFolderSource source);

// Every folder as the system resolves it now (ResolvePath): a folder that does
// not exist yet is kept as given. A copy of this layer inside a loaded library
// (the device listing) asks the program's own copy, whose source and drive
// letters these are.
std::vector<std::string> ProgramFolders();

}  // namespace platform
