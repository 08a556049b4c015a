#include "platform/ProgramFolders.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <mutex>

#include "platform/Paths.h"

namespace platform {
namespace {

std::mutex g_mutex;
ProgramFolderSource g_source;  // guarded by g_mutex

std::vector<std::string> ownFolders() {
  std::vector<std::string> named{".\\"};
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    std::string native;
    struct stat st;
    const std::string root = std::string(1, letter) + ":\\";
    if (MapPath(root, native) && ::stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) named.push_back(root);
  }
  ProgramFolderSource source;
  {
    std::lock_guard lock(g_mutex);
    source = g_source;
  }
  if (source) {
    for (const std::string& folder : source())
      if (!folder.empty()) named.push_back(folder);
  }
  std::vector<std::string> folders;
  for (const std::string& folder : named) {
    std::string resolved;
    if (ResolvePath(folder, resolved) && std::find(folders.begin(), folders.end(), resolved) == folders.end())
      folders.push_back(resolved);
  }
  return folders;
}

using Each = void (*)(const char* folder, void* context);
using EachFolderFn = void (*)(Each each, void* context);

}  // namespace

void SetProgramFolderSource(ProgramFolderSource source) {
  std::lock_guard lock(g_mutex);
  g_source = std::move(source);
}

}  // namespace platform

// Exported by the program (its symbols are exported for the loaded libraries),
// found by name from the copy of this layer that a library carries privately.
extern "C" void kxplatform_EachProgramFolder(platform::Each each, void* context) {
  for (const std::string& folder : platform::ownFolders()) each(folder.c_str(), context);
}

namespace platform {

std::vector<std::string> ProgramFolders() {
  const auto program = reinterpret_cast<EachFolderFn>(::dlsym(RTLD_DEFAULT, "kxplatform_EachProgramFolder"));
  if (program == nullptr || program == &kxplatform_EachProgramFolder) return ownFolders();
  std::vector<std::string> folders;
  program([](const char* folder, void* context) { static_cast<std::vector<std::string>*>(context)->push_back(folder); },
          &folders);
  return folders;
}

}  // namespace platform
