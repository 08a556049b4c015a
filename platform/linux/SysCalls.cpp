#include "platform/linux/SysCalls.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace platform {
namespace {

int fail() { return errno != 0 ? -errno : -EIO; }

class RealCalls final : public ISysCalls {
 public:
  int Open(const std::string& path, int flags) override {
    int fd;
    do {
      fd = ::open(path.c_str(), flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd >= 0 ? fd : fail();
  }
  int Close(int fd) override { return ::close(fd) == 0 ? 0 : fail(); }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    int rc;
    do {
      rc = ::ioctl(fd, request, arg);
    } while (rc < 0 && errno == EINTR);
    return rc >= 0 ? rc : fail();
  }
  long PWrite(int fd, const void* buf, std::size_t len, std::uint64_t offset) override {
    if (offset > static_cast<std::uint64_t>(LLONG_MAX)) return -EINVAL;
    ssize_t n;
    do {
      n = ::pwrite(fd, buf, len, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return n >= 0 ? static_cast<long>(n) : fail();
  }
  int Fsync(int fd) override { return ::fsync(fd) == 0 ? 0 : fail(); }
  int Umount(const std::string& target) override { return ::umount2(target.c_str(), 0) == 0 ? 0 : fail(); }
  int Flock(int fd, int operation) override {
    int rc;
    do {
      rc = ::flock(fd, operation);
    } while (rc < 0 && errno == EINTR);
    return rc == 0 ? 0 : fail();
  }

  bool ReadText(const std::string& path, std::string& text) override {
    text.clear();
    const int fd = Open(path, O_RDONLY);
    if (fd < 0) return false;
    char buf[4096];
    bool ok = true;
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      text.append(buf, static_cast<std::size_t>(n));
      if (text.size() > (8u << 20)) {  // no file the back end reads is this large
        ok = false;
        break;
      }
    }
    ::close(fd);
    return ok;
  }
  int WriteText(const std::string& path, const std::string& text) override {
    const int fd = Open(path, O_WRONLY | O_TRUNC);
    if (fd < 0) return fd;
    int rc = 0;
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        rc = n < 0 ? fail() : -EIO;
        break;
      }
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return rc;
  }
  bool ListDir(const std::string& path, std::vector<std::string>& names) override {
    names.clear();
    DIR* d = ::opendir(path.c_str());
    if (!d) return false;
    while (const dirent* e = ::readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    return true;
  }
  bool ReadLink(const std::string& path, std::string& target) override {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof buf) return false;
    target.assign(buf, static_cast<std::size_t>(n));
    return true;
  }
  bool RealPath(const std::string& path, std::string& resolved) override {
    char* p = ::realpath(path.c_str(), nullptr);
    if (!p) return false;
    resolved = p;
    std::free(p);
    return true;
  }
};

}  // namespace

bool SysCallsUnder::RealPath(const std::string& path, std::string& resolved) {
  std::string full;
  if (!below_.RealPath(root_ + path, full)) return false;
  std::string root;
  if (!below_.RealPath(root_.empty() ? "/" : root_, root)) return false;
  if (root == "/") root.clear();
  if (full.compare(0, root.size(), root) != 0 || (full.size() > root.size() && full[root.size()] != '/')) return false;
  resolved = full.size() == root.size() ? "/" : full.substr(root.size());
  return true;
}

ISysCalls& RealSysCalls() {
  static RealCalls calls;
  return calls;
}

}  // namespace platform
