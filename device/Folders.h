// Folder utilities shared by the job, the production page and the RDT read-out.
#pragma once
#include <cstdint>
#include <string>

namespace kx {

// Creates every missing folder of the path (any depth). 1 on success or when
// the folder exists, 0 when it cannot be created (a drive that does not exist,
// a file in the way, no permission).
int MakeDirectoryPath(const std::string& path);
// Bytes in all files below the folder (low 32 bits of each size, total wraps at
// 32 bits); 0 for a folder that cannot be opened.
std::uint32_t GetFolderSize(const std::string& folder);
// The same with whole 64-bit file sizes and a 64-bit total.
std::uint64_t GetFolderSize64(const std::string& folder);

}  // namespace kx
