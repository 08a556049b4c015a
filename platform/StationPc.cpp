#include "platform/StationPc.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/ErrorText.h"
#include "platform/Paths.h"

namespace platform {
namespace {

const char* const kDefaultFolder = "/var/lib/kxmp";

std::mutex g_mutex;
std::string g_folder;  // guarded by g_mutex; "" = the default

// "<pid>\n<working folder>\n" as the holder wrote it; false while it is not
// whole or names no live process (a crashed holder's, not yet replaced).
bool readHolder(int fd, StationPcHolder& holder) {
  char buf[PATH_MAX + 32];
  const ssize_t n = ::pread(fd, buf, sizeof buf, 0);
  if (n <= 0) return false;
  const std::string text(buf, static_cast<std::size_t>(n));
  const auto lineEnd = text.find('\n');
  if (lineEnd == std::string::npos || lineEnd == 0 || lineEnd > 18 || text.size() < lineEnd + 2 || text.back() != '\n')
    return false;
  long pid = 0;
  for (std::size_t i = 0; i < lineEnd; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    pid = pid * 10 + (text[i] - '0');
  }
  if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) return false;
  holder.pid = pid;
  holder.folder = text.substr(lineEnd + 1, text.size() - lineEnd - 2);
  return true;
}

void writeHolder(int fd) {
  char cwd[PATH_MAX];
  const std::string text = std::to_string(::getpid()) + "\n" + (::getcwd(cwd, sizeof cwd) != nullptr ? cwd : "") + "\n";
  // Best effort: the lock holds whether or not the holder could be written down.
  if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, text.data(), text.size(), 0);
}

}  // namespace

std::string StationPcFolder() {
  std::lock_guard lock(g_mutex);
  return g_folder.empty() ? kDefaultFolder : g_folder;
}

void SetStationPcFolder(const std::string& folder) {
  std::lock_guard lock(g_mutex);
  g_folder = folder;
}

void UseStationPcDrives() { SetDrivesRoot(StationPcFolder() + "/drives"); }

std::string StationPcLock::File() { return StationPcFolder() + "/kxmp.lock"; }

StationPcLock::~StationPcLock() { Release(); }

void StationPcLock::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

StationPcLock::Result StationPcLock::Take(StationPcHolder* holder, win::DWORD* error) {
  if (fd_ >= 0) return Result::Taken;
  auto fail = [&](int err) {
    if (error) *error = ErrorFromErrno(err);
    return Result::Failed;
  };
  std::error_code ec;
  std::filesystem::create_directories(StationPcFolder(), ec);
  if (ec) return fail(ec.value());
  const int fd = ::open(File().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return fail(errno);
  // A holder writes itself down just after it took the lock: a start at the
  // same moment waits a little for the name rather than name nobody.
  StationPcHolder found;
  for (int tries = 0; tries < 100; ++tries) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      writeHolder(fd);
      fd_ = fd;
      return Result::Taken;
    }
    const int err = errno;
    if (err == EINTR) continue;
    if (err != EWOULDBLOCK) {
      ::close(fd);
      return fail(err);
    }
    if (readHolder(fd, found)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::close(fd);
  if (holder) *holder = found;
  return Result::Held;
}

}  // namespace platform
