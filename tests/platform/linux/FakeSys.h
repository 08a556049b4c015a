// A fake machine for the real-disk back end: files, folders and links of /proc
// and /sys, device nodes that open, and scripted ioctl answers. Records every
// call the code under test makes. Below it, request blocks and a fixture for the
// pass-through tests.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <scsi/sg.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/DeviceIo.h"
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
  std::map<std::string, std::uint64_t> sizes;     // BLKGETSIZE64 per node
  std::map<std::string, int> sectorSizes;         // BLKSSZGET per node (512 when absent)
  std::map<std::string, std::uint64_t> diskSeqs;  // BLKGETDISKSEQ per node (ENOTTY when absent)
  std::map<std::string, int> umountErrno;
  std::map<std::string, std::vector<int>> flockErrnos;  // node -> errno of each flock in turn (then 0)
  std::map<std::string, int> writeErrno;  // WriteText fails with this errno
  // Called after a WriteText stored its text: the kernel's side (one attribute changing others).
  std::function<void(const std::string& path, const std::string& text)> onWriteText;
  // SG_IO: writes the answer into the header; returns the ioctl result (0 or -errno).
  std::function<int(sg_io_hdr_t&)> onSgIo = [](sg_io_hdr_t&) { return 0; };

  std::vector<std::pair<std::string, int>> opens;  // path, flags
  std::vector<SgCall> sgCalls;
  std::vector<Write> writes;
  std::vector<std::string> umounts;
  std::map<int, int> flocks;  // fd -> the last flock operation that succeeded on it
  std::vector<std::string> rereads;
  std::vector<std::pair<std::string, std::string>> textWrites;  // path, text (also the refused ones)
  int fsyncs = 0;
  std::map<int, std::string> openFds;

  int Open(const std::string& path, int flags) override {
    opens.emplace_back(path, flags);
    if (auto it = openErrno.find(path); it != openErrno.end()) return -it->second;
    if (!nodes.count(path)) return -ENOENT;
    openFds[nextFd_] = path;
    return nextFd_++;
  }
  int Close(int fd) override {
    flocks.erase(fd);
    return openFds.erase(fd) ? 0 : -EBADF;
  }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    const auto it = openFds.find(fd);
    if (it == openFds.end()) return -EBADF;
    if (request == SG_IO) {
      auto* h = static_cast<sg_io_hdr_t*>(arg);
      sgCalls.push_back(SgCall{*h, std::vector<unsigned char>(h->cmdp, h->cmdp + h->cmd_len)});
      return onSgIo(*h);
    }
    if (request == BLKSSZGET) {
      *static_cast<int*>(arg) = sectorSizes.count(it->second) ? sectorSizes[it->second] : 512;
      return 0;
    }
    if (request == BLKGETSIZE64) {
      const auto s = sizes.find(it->second);
      if (s == sizes.end()) return -ENOTTY;
      *static_cast<std::uint64_t*>(arg) = s->second;
      return 0;
    }
    if (request == BLKGETDISKSEQ) {
      const auto q = diskSeqs.find(it->second);
      if (q == diskSeqs.end()) return -ENOTTY;
      *static_cast<std::uint64_t*>(arg) = q->second;
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
  // A mount that goes leaves mountinfo.
  int Umount(const std::string& target) override {
    umounts.push_back(target);
    if (const auto it = umountErrno.find(target); it != umountErrno.end()) return -it->second;
    std::string& info = files["/proc/self/mountinfo"];
    const std::string field = " " + target + " ";
    for (std::size_t at = 0; at < info.size();) {
      const std::size_t end = std::min(info.find('\n', at), info.size() - 1) + 1;
      const std::string line = info.substr(at, end - at);
      const std::size_t root = line.find(" / ");  // mount point follows the root field
      if (root != std::string::npos && line.compare(root + 2, field.size(), field) == 0) {
        info.erase(at, end - at);
        return 0;
      }
      at = end;
    }
    return -EINVAL;
  }
  int Flock(int fd, int operation) override {
    const auto it = openFds.find(fd);
    if (it == openFds.end()) return -EBADF;
    if (auto& errs = flockErrnos[it->second]; !errs.empty()) {
      const int err = errs.front();
      errs.erase(errs.begin());
      if (err != 0) return -err;
    }
    flocks[fd] = operation;
    return 0;
  }
  bool ReadText(const std::string& path, std::string& text) override { return find(files, path, text); }
  int WriteText(const std::string& path, const std::string& text) override {
    textWrites.emplace_back(path, text);
    if (auto it = writeErrno.find(path); it != writeErrno.end()) return -it->second;
    if (!files.count(path)) return -ENOENT;
    files[path] = text;
    if (onWriteText) onWriteText(path, text);
    return 0;
  }
  bool ListDir(const std::string& path, std::vector<std::string>& names) override { return find(dirs, path, names); }
  bool ReadLink(const std::string& path, std::string& target) override { return find(links, path, target); }
  bool RealPath(const std::string& path, std::string& resolved) override {
    if (find(realPaths, path, resolved)) return true;
    resolved = path;
    return nodes.count(path) != 0;
  }

  // A SCSI disk (and its partitions) known to sysfs, with a device number.
  void AddDisk(const std::string& disk, int major, int minor, std::uint64_t bytes, std::vector<int> partitions = {}) {
    const std::string sysfs = "../../devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/" + disk;
    nodes.insert("/dev/" + disk);
    sizes["/dev/" + disk] = bytes;
    links["/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor)] = sysfs;
    std::vector<std::string> entries{"dev", "holders", "slaves", "removable"};
    for (int p : partitions) {
      const std::string part = disk + std::to_string(p);
      entries.push_back(part);
      nodes.insert("/dev/" + part);
      links["/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor + p)] = sysfs + "/" + part;
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
  template <class Map, class Value>
  static bool find(const Map& map, const std::string& key, Value& value) {
    const auto it = map.find(key);
    if (it == map.end()) return false;
    value = it->second;
    return true;
  }
  int nextFd_ = 100;
  int mountId_ = 20;
};

using Bytes = std::vector<unsigned char>;

// A 16-byte CDB from its leading bytes.
inline Bytes Cdb(std::initializer_list<int> bytes) {
  Bytes v(bytes.begin(), bytes.end());
  v.resize(16, 0);
  return v;
}

// Task files as bytes 0-6: features, count, LBA low, mid, high, device, command.
inline win::ATA_PASS_THROUGH_DIRECT Ata(win::USHORT flags, std::array<int, 7> cur, std::array<int, 7> prev = {},
                                        void* data = nullptr, win::ULONG length = 0) {
  win::ATA_PASS_THROUGH_DIRECT a;
  a.AtaFlags = static_cast<win::USHORT>(flags | win::ATA_FLAGS_DRDY_REQUIRED);
  std::copy(cur.begin(), cur.end(), a.CurrentTaskFile);
  std::copy(prev.begin(), prev.end(), a.PreviousTaskFile);
  a.DataBuffer = data;
  a.DataTransferLength = length;
  a.TimeOutValue = 10;
  return a;
}

inline win::ScsiPassThroughDirectBlock Scsi(const Bytes& cdb, win::UCHAR dataIn, void* data, win::ULONG length) {
  win::ScsiPassThroughDirectBlock b;
  b.Sptd.CdbLength = 16;
  b.Sptd.SenseInfoLength = 24;
  b.Sptd.DataIn = dataIn;
  b.Sptd.DataTransferLength = length;
  b.Sptd.TimeOutValue = 30;
  b.Sptd.DataBuffer = data;
  std::copy(cdb.begin(), cdb.end(), b.Sptd.Cdb);
  return b;
}

// Pass-through on one open disk node.
struct SgTest : ::testing::Test {
  static constexpr int kFd = 7;
  FakeSys sys;
  Bytes buf = Bytes(1u << 20);
  void SetUp() override {
    sys.nodes.insert("/dev/sdb");
    sys.openFds[kFd] = "/dev/sdb";
  }
  // Every request is answered with this SCSI status and sense (or fails with errno).
  void Answer(unsigned char status, Bytes sense, int err = 0) {
    sys.onSgIo = [=](sg_io_hdr_t& h) {
      h.status = status;
      std::copy(sense.begin(), sense.end(), h.sbp);
      h.sb_len_wr = static_cast<unsigned char>(sense.size());
      return -err;
    };
  }
};

}  // namespace kxtest
