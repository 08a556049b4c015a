// A fake machine for the real-disk back end: files, folders and links of /proc
// and /sys, device nodes that open, and scripted ioctl answers. Records every
// call the code under test makes.
#pragma once
#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/SysCalls.h"

namespace kxtest {

class FakeSys : public platform::ISysCalls {
 public:
  struct SgCall {
    sg_io_hdr_t hdr;
    std::vector<unsigned char> cdb;
  };
  struct Write {
    std::string path;
    std::uint64_t offset;
    std::size_t length;
    bool zeros;
  };

  std::map<std::string, std::string> files;
  std::map<std::string, std::vector<std::string>> dirs;
  std::map<std::string, std::string> links;
  std::map<std::string, std::string> realPaths;  // absent: a node path resolves to itself
  std::set<std::string> nodes;                    // openable device nodes
  std::map<std::string, int> openErrno;           // node -> errno for every open
  std::set<std::string> exclusiveBusy;            // O_EXCL opens fail with EBUSY
  std::map<std::string, std::uint64_t> sizes;     // BLKGETSIZE64 per node
  std::map<std::string, int> sectorSizes;         // BLKSSZGET per node (512 when absent)
  std::map<std::string, int> umountErrno;
  std::map<std::string, int> writeErrno;  // WriteText fails with this errno
  // Called after a WriteText stored its text, so that a test can play the
  // kernel's side (one attribute changing others).
  std::function<void(const std::string& path, const std::string& text)> onWriteText;

  // SG_IO: the answer is written into the header by this function; its result
  // is the ioctl result (0 or -errno).
  std::function<int(sg_io_hdr_t&)> onSgIo = [](sg_io_hdr_t&) { return 0; };

  std::vector<std::pair<std::string, int>> opens;  // path, flags
  std::vector<SgCall> sgCalls;
  std::vector<Write> writes;
  std::vector<std::string> umounts;
  std::vector<std::string> rereads;
  std::vector<std::pair<std::string, std::string>> textWrites;  // path, text (also the refused ones)
  int fsyncs = 0;
  std::map<int, std::string> openFds;

  int Open(const std::string& path, int flags) override {
    opens.emplace_back(path, flags);
    if (auto it = openErrno.find(path); it != openErrno.end()) return -it->second;
    if (!nodes.count(path)) return -ENOENT;
    if ((flags & O_EXCL) && exclusiveBusy.count(path)) return -EBUSY;
    const int fd = nextFd_++;
    openFds[fd] = path;
    return fd;
  }
  int Close(int fd) override { return openFds.erase(fd) ? 0 : -EBADF; }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    const auto it = openFds.find(fd);
    if (it == openFds.end()) return -EBADF;
    if (request == SG_IO) {
      auto* h = static_cast<sg_io_hdr_t*>(arg);
      SgCall c;
      c.hdr = *h;
      c.cdb.assign(h->cmdp, h->cmdp + h->cmd_len);
      sgCalls.push_back(c);
      return onSgIo(*h);
    }
    if (request == BLKSSZGET) {
      const auto s = sectorSizes.find(it->second);
      *static_cast<int*>(arg) = s == sectorSizes.end() ? 512 : s->second;
      return 0;
    }
    if (request == BLKGETSIZE64) {
      const auto s = sizes.find(it->second);
      if (s == sizes.end()) return -ENOTTY;
      *static_cast<std::uint64_t*>(arg) = s->second;
      return 0;
    }
    if (request == BLKRRPART) {
      rereads.push_back(it->second);
      return 0;
    }
    return -ENOTTY;
  }
  long PWrite(int fd, const void* buf, std::size_t len, std::uint64_t offset) override {
    const auto it = openFds.find(fd);
    if (it == openFds.end()) return -EBADF;
    const auto* p = static_cast<const unsigned char*>(buf);
    writes.push_back(Write{it->second, offset, len, std::all_of(p, p + len, [](unsigned char b) { return b == 0; })});
    return static_cast<long>(len);
  }
  int Fsync(int) override {
    ++fsyncs;
    return 0;
  }
  int Umount(const std::string& target) override {
    umounts.push_back(target);
    if (auto it = umountErrno.find(target); it != umountErrno.end()) return -it->second;
    return 0;
  }
  bool ReadText(const std::string& path, std::string& text) override {
    const auto it = files.find(path);
    if (it == files.end()) return false;
    text = it->second;
    return true;
  }
  int WriteText(const std::string& path, const std::string& text) override {
    textWrites.emplace_back(path, text);
    if (auto it = writeErrno.find(path); it != writeErrno.end()) return -it->second;
    if (!files.count(path)) return -ENOENT;
    files[path] = text;
    if (onWriteText) onWriteText(path, text);
    return 0;
  }
  bool ListDir(const std::string& path, std::vector<std::string>& names) override {
    const auto it = dirs.find(path);
    if (it == dirs.end()) return false;
    names = it->second;
    return true;
  }
  bool ReadLink(const std::string& path, std::string& target) override {
    const auto it = links.find(path);
    if (it == links.end()) return false;
    target = it->second;
    return true;
  }
  bool RealPath(const std::string& path, std::string& resolved) override {
    if (auto it = realPaths.find(path); it != realPaths.end()) {
      resolved = it->second;
      return true;
    }
    if (!nodes.count(path)) return false;
    resolved = path;
    return true;
  }

  // Conveniences for building a machine.
  // A SCSI disk (and its partitions) known to sysfs, with a device number.
  void AddDisk(const std::string& disk, int major, int minor, std::uint64_t bytes, std::vector<int> partitions = {}) {
    nodes.insert("/dev/" + disk);
    sizes["/dev/" + disk] = bytes;
    links["/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor)] =
        "../../devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/" + disk;
    std::vector<std::string> entries{"dev", "holders", "slaves", "removable"};
    for (int p : partitions) {
      const std::string part = disk + std::to_string(p);
      entries.push_back(part);
      nodes.insert("/dev/" + part);
      links["/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor + p)] =
          "../../devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/" + disk + "/" + part;
    }
    dirs["/sys/class/block/" + disk] = entries;
  }
  // One mountinfo line per call; device given as major:minor.
  void AddMount(const std::string& majorMinor, const std::string& mountPoint, const std::string& source,
                const std::string& type = "ext4") {
    files["/proc/self/mountinfo"] += std::to_string(++mountId_) + " 1 " + majorMinor + " / " + mountPoint +
                                     " rw,relatime shared:1 - " + type + " " + source + " rw\n";
  }

 private:
  int nextFd_ = 100;
  int mountId_ = 20;
};

}  // namespace kxtest
