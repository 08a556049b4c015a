// The few operating-system calls the real-disk back end makes, behind one
// interface so that tests can put a fake machine (disks, mounts, sysfs, ioctl
// answers) in place of the real one. Every call returns 0 or a count on
// success and -errno on failure; nothing here sets errno for the caller.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
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

}  // namespace platform
