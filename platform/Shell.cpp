#include "platform/Shell.h"

#include <spawn.h>
#include <sys/wait.h>

#include <mutex>
#include <thread>

#include "platform/Paths.h"

extern char** environ;

namespace platform {
namespace {

std::mutex g_OpenerLock;
ShellOpener g_Opener;

bool OpenWithDesktop(const std::string& nativePath) {
  char program[] = "xdg-open";
  std::string arg = nativePath;
  char* argv[] = {program, arg.data(), nullptr};
  pid_t pid = 0;
  if (::posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) != 0) return false;
  // The handler may outlive the call; only its exit status is collected.
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
  return true;
}

}  // namespace

bool ShellOpen(const std::string& path) {
  const std::string native = MapPath(path);
  if (native.empty()) return false;
  ShellOpener opener;
  {
    std::lock_guard lock(g_OpenerLock);
    opener = g_Opener;
  }
  return opener ? opener(native) : OpenWithDesktop(native);
}

ShellOpener SetShellOpener(ShellOpener opener) {
  std::lock_guard lock(g_OpenerLock);
  std::swap(g_Opener, opener);
  return opener;
}

}  // namespace platform
