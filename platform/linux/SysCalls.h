// The few operating-system calls the real-disk back end makes, behind one
// interface so that tests can put a fake machine (disks, mounts, sysfs, ioctl
// answers) in place of the real one. Every call returns 0 or a count on
// success and -errno on failure; nothing here sets errno for the caller.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace platform {

class ISysCalls {
 public:
  virtual ~ISysCalls() = default;
  // open(2); returns the descriptor or -errno. O_CLOEXEC is added by the caller.
  virtual int Open(const std::string& path, int flags) = 0;
  virtual int Close(int fd) = 0;
  // ioctl(2) with a pointer argument (SG_IO, BLKGETSIZE64, BLKSSZGET, BLKRRPART).
  virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
  virtual long PWrite(int fd, const void* buf, std::size_t len, std::uint64_t offset) = 0;
  virtual int Fsync(int fd) = 0;
  virtual int Umount(const std::string& target) = 0;
  // flock(2) on an open descriptor (LOCK_EX, LOCK_NB, LOCK_UN).
  virtual int Flock(int fd, int operation) = 0;
  // Whole small text files (/proc, /sys); false when unreadable.
  virtual bool ReadText(const std::string& path, std::string& text) = 0;
  // Replaces the text of a small file (sysfs attributes); 0 or -errno.
  virtual int WriteText(const std::string& path, const std::string& text) = 0;
  // Names in a folder, without "." and ".."; false when it cannot be listed.
  virtual bool ListDir(const std::string& path, std::vector<std::string>& names) = 0;
  // The target of a symbolic link, as stored; false when the path is no link.
  virtual bool ReadLink(const std::string& path, std::string& target) = 0;
  // The path with every symbolic link resolved; false when it does not exist.
  virtual bool RealPath(const std::string& path, std::string& resolved) = 0;
};

// The machine the program runs on.
ISysCalls& RealSysCalls();

// Another machine's /proc, /sys and /dev kept in a folder (a copy, or a tree
// built by a test): every path is taken under the folder, and resolved paths
// come back without it. Descriptor calls go to the machine below unchanged.
class SysCallsUnder final : public ISysCalls {
 public:
  SysCallsUnder(ISysCalls& below, std::string root) : below_(below), root_(std::move(root)) {}
  int Open(const std::string& path, int flags) override { return below_.Open(root_ + path, flags); }
  int Close(int fd) override { return below_.Close(fd); }
  int Ioctl(int fd, unsigned long request, void* arg) override { return below_.Ioctl(fd, request, arg); }
  long PWrite(int fd, const void* buf, std::size_t len, std::uint64_t offset) override {
    return below_.PWrite(fd, buf, len, offset);
  }
  int Fsync(int fd) override { return below_.Fsync(fd); }
  int Umount(const std::string& target) override { return below_.Umount(root_ + target); }
  int Flock(int fd, int operation) override { return below_.Flock(fd, operation); }
  bool ReadText(const std::string& path, std::string& text) override { return below_.ReadText(root_ + path, text); }
  int WriteText(const std::string& path, const std::string& text) override {
    return below_.WriteText(root_ + path, text);
  }
  bool ListDir(const std::string& path, std::vector<std::string>& names) override {
    return below_.ListDir(root_ + path, names);
  }
  bool ReadLink(const std::string& path, std::string& target) override { return below_.ReadLink(root_ + path, target); }
  // False for a path that leads out of the folder.
  bool RealPath(const std::string& path, std::string& resolved) override;

 private:
  ISysCalls& below_;
  const std::string root_;
};

}  // namespace platform
