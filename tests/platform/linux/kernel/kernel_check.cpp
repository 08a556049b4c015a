// Runs inside a throw-away virtual machine (tools/kernel-test.sh) holding a
// station: AHCI disks on ports 1, 2 and 4 of 6, USB disks in ports 1 and 3 of
// each of two hubs. Checks the real-disk back end against the Linux kernel: the
// listing of ports, SCSI and ATA pass-through, geometry, volume controls, the
// command layer's members on the disk in AHCI port 1 (where their addresses
// land, what a failed command returns, transfers beyond the kernel's limit),
// disks pulled and added through QEMU's monitor (a line "KX-MONITOR <command>"
// asks the host script to give QEMU that command), the ports learnt from a full
// listing keeping their disks as others come and go, handles held across a
// pull reaching no other disk, a job's hold keeping udev's probes out of its
// command sequence (udevd runs with Debian's storage rules), a disk that
// another process keeps locked refusing the hold with nothing sent to it, and
// on a disk that reports a removable medium the kernel's own medium checks out
// of a held job.
// Prints one line per check and "KERNEL-CHECK PASS" or "KERNEL-CHECK FAIL".
//
//   kernel_check <sata serial> <sata model> <sata image bytes> <usb image bytes> <mount point> <spare usb bytes>
//                <mount point of AHCI port 2's partition>
#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <unistd.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "command/CommandGlobals.h"
#include "command/DriveCommand.h"
#include "command/GetDevLibrary.h"
#include "command/VolumeUtils.h"
#include "platform/Clock.h"
#include "platform/DeviceIo.h"
#include "platform/DeviceNotify.h"
#include "platform/RootDevice.h"
#include "platform/linux/DeviceListing.h"
#include "platform/linux/DiskBackend.h"
#include "platform/linux/Disks.h"
#include "platform/linux/Hotplug.h"
#include "protocol/Sense.h"

namespace {

int g_failed = 0;

void check(bool ok, const std::string& what) {
  std::printf("%s - %s\n", ok ? "ok" : "not ok", what.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failed;
}

struct Handle {
  win::HANDLE h = win::INVALID_HANDLE_VALUE;
  explicit Handle(const std::string& path) {
    h = win::CreateFileA(path.c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                         win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr, win::OPEN_EXISTING,
                         win::FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  ~Handle() {
    if (ok()) win::CloseHandle(h);
  }
  bool ok() const { return h != win::INVALID_HANDLE_VALUE; }
  // 0 or the Windows error.
  win::DWORD control(win::DWORD code, void* in = nullptr, win::DWORD inSize = 0, void* out = nullptr,
                     win::DWORD outSize = 0) {
    win::DWORD got = 0;
    return win::DeviceIoControl(h, code, in, inSize, out, outSize, &got, nullptr) ? 0 : win::GetLastError();
  }
};

// SCSI INQUIRY the way the program sends it: a 16-byte command field.
bool inquiry(Handle& d, std::string& vendor, std::string& product) {
  unsigned char data[36] = {};
  win::ScsiPassThroughDirectBlock b;
  b.Sptd.CdbLength = 16;
  b.Sptd.SenseInfoLength = 24;
  b.Sptd.DataIn = win::SCSI_IOCTL_DATA_IN;
  b.Sptd.DataTransferLength = sizeof data;
  b.Sptd.TimeOutValue = 10;
  b.Sptd.DataBuffer = data;
  b.Sptd.Cdb[0] = 0x12;
  b.Sptd.Cdb[4] = sizeof data;
  if (d.control(win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &b, sizeof b, &b, sizeof b) != 0 || b.Sptd.ScsiStatus != 0) {
    return false;
  }
  vendor.assign(reinterpret_cast<char*>(data + 8), 8);
  product.assign(reinterpret_cast<char*>(data + 16), 16);
  return true;
}

// One ATA command; returns the Windows error, the task files hold the result.
win::DWORD ata(Handle& d, win::USHORT flags, std::vector<int> cur, std::vector<int> prev, void* buf, win::ULONG len,
               win::ATA_PASS_THROUGH_DIRECT& a) {
  a = win::ATA_PASS_THROUGH_DIRECT{};
  a.Length = 40;
  a.AtaFlags = static_cast<win::USHORT>(flags | win::ATA_FLAGS_DRDY_REQUIRED);
  a.DataTransferLength = len;
  a.TimeOutValue = 10;
  a.DataBuffer = len ? buf : nullptr;
  for (std::size_t i = 0; i < cur.size() && i < 8; ++i) a.CurrentTaskFile[i] = static_cast<win::UCHAR>(cur[i]);
  for (std::size_t i = 0; i < prev.size() && i < 8; ++i) a.PreviousTaskFile[i] = static_cast<win::UCHAR>(prev[i]);
  return d.control(win::IOCTL_ATA_PASS_THROUGH_DIRECT, &a, sizeof a, &a, sizeof a);
}

bool statusGood(const win::ATA_PASS_THROUGH_DIRECT& a) {
  return a.CurrentTaskFile[6] == 0x50 || a.CurrentTaskFile[6] == 0x40;
}

// ATA strings: words with the first character in the high byte, blank padded.
std::string ataString(const unsigned char* id, int firstWord, int words) {
  std::string s;
  for (int w = firstWord; w < firstWord + words; ++w) {
    s += static_cast<char>(id[2 * w + 1]);
    s += static_cast<char>(id[2 * w]);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  const auto first = s.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : s.substr(first);
}

std::string trim(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

bool mounted(const std::string& mountPoint) {
  std::ifstream f("/proc/self/mountinfo");
  std::string line;
  while (std::getline(f, line)) {
    if (line.find(" " + mountPoint + " ") != std::string::npos) return true;
  }
  return false;
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::int64_t diskSize(Handle& d, win::DWORD& bytesPerSector) {
  win::DISK_GEOMETRY_EX g;
  if (d.control(win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &g, sizeof g) != 0) return -1;
  bytesPerSector = g.Geometry.BytesPerSector;
  return g.DiskSize;
}

// A buffer fit for O_DIRECT.
struct Aligned {
  unsigned char* p = nullptr;
  std::size_t n = 0;
  explicit Aligned(std::size_t size) : n(size) {
    void* v = nullptr;
    if (posix_memalign(&v, 4096, size) == 0) p = static_cast<unsigned char*>(v);
  }
  ~Aligned() { std::free(p); }
  Aligned(const Aligned&) = delete;
  Aligned& operator=(const Aligned&) = delete;
  // Different in every sector and for every seed.
  void fill(unsigned seed) {
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(i * 131 + (i >> 9) * 17 + seed * 29 + 1);
  }
  bool same(const Aligned& o) const { return n == o.n && std::memcmp(p, o.p, n) == 0; }
};

// What the disk holds at an LBA, past the page cache (SG_IO writes bypass it).
bool diskIo(const std::string& node, bool write, std::uint64_t lba, Aligned& buf) {
  const int fd = open(node.c_str(), (write ? O_WRONLY : O_RDONLY) | O_DIRECT);
  if (fd < 0) return false;
  const off_t at = static_cast<off_t>(lba * 512);
  const ssize_t n = write ? pwrite(fd, buf.p, buf.n, at) : pread(fd, buf.p, buf.n, at);
  close(fd);
  return n == static_cast<ssize_t>(buf.n);
}

std::string hex(const unsigned char* p, std::size_t n) {
  std::string s;
  char b[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", p[i]);
    s += b;
  }
  return s;
}

std::string readSys(const std::string& path) {
  std::ifstream f(path);
  std::string s;
  std::getline(f, s);
  return s;
}

void checkSata(const std::string& path, const std::string& name, const std::string& serial, const std::string& model,
               std::int64_t bytes, const std::string& mountPoint) {
  Handle d(path);
  check(d.ok(), "open " + path);
  if (!d.ok()) return;

  std::string vendor, product;
  const bool answered = inquiry(d, vendor, product);
  check(answered && vendor == "ATA     " && trim(product) == model.substr(0, 16),
        "SATA INQUIRY through libata: vendor '" + vendor + "' product '" + product + "'");

  unsigned char id[512] = {};
  win::ATA_PASS_THROUGH_DIRECT a;
  win::DWORD err = ata(d, win::ATA_FLAGS_DATA_IN, {0, 1, 0, 0, 0, 0xA0, 0xEC}, {}, id, sizeof id, a);
  const std::string gotSerial = ataString(id, 10, 10), gotModel = ataString(id, 27, 20);
  check(err == 0 && statusGood(a) && gotSerial == serial && gotModel == model,
        "IDENTIFY DEVICE via SAT: serial '" + gotSerial + "' model '" + gotModel + "'");

  unsigned char smart[512] = {};
  err = ata(d, win::ATA_FLAGS_DATA_IN, {0xD0, 1, 0, 0x4F, 0xC2, 0xA0, 0xB0}, {}, smart, sizeof smart, a);
  unsigned sum = 0;
  for (unsigned char c : smart) sum += c;
  check(err == 0 && statusGood(a) && (sum & 0xFF) == 0 && (smart[0] | smart[1]) != 0,
        "SMART READ DATA: revision " + std::to_string(smart[0] | smart[1] << 8) + ", checksum " +
            std::to_string(sum & 0xFF));

  err = ata(d, 0, {0, 0, 0, 0, 0, 0xA0, 0xE0}, {}, nullptr, 0, a);
  const bool standby = err == 0 && statusGood(a);
  err = ata(d, 0, {0, 0, 0, 0, 0, 0xA0, 0xE5}, {}, nullptr, 0, a);
  char mode[64];
  std::snprintf(mode, sizeof mode, "status %02X count %02X", a.CurrentTaskFile[6], a.CurrentTaskFile[1]);
  // QEMU's IDE model answers "active or idle" (FFh) whatever came before; the
  // point is that the count register comes back at all (CK_COND sense).
  check(standby && err == 0 && statusGood(a) && a.CurrentTaskFile[1] == 0xFF,
        std::string("STANDBY IMMEDIATE, then CHECK POWER MODE returns the count register: ") + mode);

  win::DWORD sector = 0;
  const std::int64_t size = diskSize(d, sector);
  check(size == bytes && sector == 512,
        "geometry: size " + std::to_string(size) + " bytes, " + std::to_string(sector) + " per sector");

  win::STORAGE_DEVICE_NUMBER number;
  check(d.control(win::IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number) == 0,
        "device number " + std::to_string(number.DeviceNumber));
  {
    // The tester finder's way: buffered pass-through on "\\.\PhysicalDriveN".
    Handle pd("\\\\.\\PhysicalDrive" + std::to_string(number.DeviceNumber));
    win::ScsiPassThroughBlock b;
    b.Spt.Length = 44;
    b.Spt.TargetId = 1;
    b.Spt.CdbLength = 16;
    b.Spt.SenseInfoLength = 24;
    b.Spt.DataIn = win::SCSI_IOCTL_DATA_IN;
    b.Spt.DataTransferLength = 36;
    b.Spt.TimeOutValue = 10;
    b.Spt.Cdb[0] = 0x12;
    b.Spt.Cdb[4] = 36;
    const win::DWORD err = pd.ok() ? pd.control(win::IOCTL_SCSI_PASS_THROUGH, &b, sizeof b, &b, sizeof b) : 2;
    const std::string product(reinterpret_cast<char*>(b.Data + 16), 16);
    check(err == 0 && b.Spt.ScsiStatus == 0 && trim(product) == model.substr(0, 16),
          "buffered INQUIRY on PhysicalDrive" + std::to_string(number.DeviceNumber) + ": product '" + product + "'");
  }
  check(d.control(win::FSCTL_DISMOUNT_VOLUME) == 0 && mounted(mountPoint),
        "dismount on a disk handle is accepted and unmounts nothing");

  // The volume on its first partition.
  const win::DWORD drives = win::GetLogicalDrives();
  char letter = 0;
  for (char c = 'D'; c <= 'Z' && !letter; ++c) {
    if (!(drives >> (c - 'A') & 1)) continue;
    Handle v(std::string("\\\\.\\") + c + ":");
    win::STORAGE_DEVICE_NUMBER vn;
    if (v.ok() && v.control(win::IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &vn, sizeof vn) == 0 &&
        vn.DeviceNumber == number.DeviceNumber) {
      letter = c;
    }
  }
  check(letter != 0, std::string("the mounted partition has a letter: ") + (letter ? letter : '-'));
  if (!letter) return;
  const char root[] = {letter, ':', '\\', 0};
  check(win::GetDriveTypeA(root) == win::DRIVE_FIXED, "its drive type is fixed");
  Handle v(std::string("\\\\.\\") + letter + ":");
  const std::string partition = "/dev/" + name + "1";
  {
    const int busy = ::open((mountPoint + "/open").c_str(), O_CREAT | O_RDWR, 0600);
    const win::DWORD err = v.control(win::FSCTL_LOCK_VOLUME);
    check(busy >= 0 && err == win::ERROR_BUSY && platform::LastBusyMountPoint() == mountPoint && mounted(mountPoint),
          "the lock leaves a partition with a file open on it mounted and names it: error " + std::to_string(err) +
              " at '" + platform::LastBusyMountPoint() + "'");
    if (busy >= 0) close(busy);
  }
  check(v.control(win::FSCTL_LOCK_VOLUME) == 0 && !mounted(mountPoint),
        "the lock unmounts the partition and takes the O_EXCL claim");
  check(v.control(win::FSCTL_UNLOCK_VOLUME) == 0, "unlock releases it");
  check(::mount(partition.c_str(), mountPoint.c_str(), "ext4", 0, nullptr) == 0 &&
            v.control(win::FSCTL_DISMOUNT_VOLUME) == 0 && !mounted(mountPoint),
        "dismount unmounts the partition mounted again");
  const std::string part1 = "/sys/class/block/" + name + "1";
  check(exists(part1), "partition 1 is there before the layout is deleted");
  check(v.control(win::IOCTL_DISK_DELETE_DRIVE_LAYOUT) == 0 && !exists(part1),
        "delete layout clears the table and the kernel drops the partition");
}

// READ(10) or WRITE(10) through a handle: 0 or the error it failed with.
win::DWORD rw10(Handle& d, bool write, std::uint32_t lba, std::uint32_t sectors, void* data) {
  win::ScsiPassThroughDirectBlock b;
  b.Sptd.CdbLength = 16;
  b.Sptd.SenseInfoLength = 24;
  b.Sptd.DataIn = write ? win::SCSI_IOCTL_DATA_OUT : win::SCSI_IOCTL_DATA_IN;
  b.Sptd.DataTransferLength = sectors * 512;
  b.Sptd.TimeOutValue = 20;
  b.Sptd.DataBuffer = data;
  const unsigned char cdb[10] = {static_cast<unsigned char>(write ? 0x2A : 0x28), 0, static_cast<unsigned char>(lba >> 24),
                                 static_cast<unsigned char>(lba >> 16), static_cast<unsigned char>(lba >> 8),
                                 static_cast<unsigned char>(lba), 0, static_cast<unsigned char>(sectors >> 8),
                                 static_cast<unsigned char>(sectors), 0};
  std::memcpy(b.Sptd.Cdb, cdb, sizeof cdb);
  const win::DWORD err = d.control(win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &b, sizeof b, &b, sizeof b);
  return err != 0 ? err : b.Sptd.ScsiStatus != 0 ? win::ERROR_IO_DEVICE : 0;
}

void checkUsb(const std::string& path, const std::string& name, std::int64_t bytes) {
  Handle d(path);
  check(d.ok(), "open " + path);
  if (!d.ok()) return;
  std::string vendor, product;
  const bool answered = inquiry(d, vendor, product);
  check(answered && trim(vendor) == "QEMU",
        "USB INQUIRY: vendor '" + vendor + "' product '" + product + "'");
  // QEMU's USB disk knows no ATA PASS-THROUGH: a refusal, never a success.
  unsigned char id[512];
  win::ATA_PASS_THROUGH_DIRECT a;
  const win::DWORD err = ata(d, win::ATA_FLAGS_DATA_IN, {0, 1, 0, 0, 0, 0xA0, 0xEC}, {}, id, sizeof id, a);
  check(err != 0, "ATA pass-through to a target without SAT fails with error " + std::to_string(err));
  win::DWORD sector = 0;
  const std::int64_t size = diskSize(d, sector);
  check(size == bytes, "USB geometry: size " + std::to_string(size));

  // The open raised the bridge's limit so that 2 MiB go in one request.
  const std::string queue = "/sys/block/" + name + "/queue/";
  const std::string kb = readSys(queue + "max_sectors_kb"), hwKb = readSys(queue + "max_hw_sectors_kb");
  check(std::atoi(kb.c_str()) >= 2048 && std::atoi(hwKb.c_str()) >= 2048,
        "USB limit raised: max_sectors_kb " + kb + ", max_hw_sectors_kb " + hwKb);
  Aligned put(2u << 20), got(2u << 20);
  put.fill(9);
  auto read10 = [&](std::uint32_t lba, std::uint32_t sectors, void* data) {
    return rw10(d, false, lba, sectors, data);
  };
  const bool read = diskIo("/dev/" + name, true, 4096, put) && read10(4096, 4096, got.p) == 0 && got.same(put);
  check(read, "2 MiB SCSI READ(10) from the USB disk in one request");
  std::vector<unsigned char> more(4u << 20);
  const win::DWORD refused = read10(0, 8192, more.data());
  check(refused == win::ERROR_INVALID_PARAMETER,
        "4 MiB READ(10) from it is refused with error " + std::to_string(refused));
}

// A non-data ATA PASS-THROUGH (16) sent straight through SG_IO; the sense bytes
// the kernel wrote, or -1 when the request did not go.
int rawSense(const std::string& node, unsigned char (&cdb)[16], unsigned char (&sense)[64]) {
  const int fd = open(node.c_str(), O_RDONLY | O_NONBLOCK);
  sg_io_hdr_t h;
  std::memset(&h, 0, sizeof h);
  h.interface_id = 'S';
  h.cmd_len = 16;
  h.cmdp = cdb;
  h.dxfer_direction = SG_DXFER_NONE;
  h.mx_sb_len = sizeof sense;
  h.sbp = sense;
  h.timeout = 10000;
  const bool sent = fd >= 0 && ioctl(fd, SG_IO, &h) == 0;
  if (fd >= 0) close(fd);
  return sent ? h.sb_len_wr : -1;
}

// The sense of a failed command and of a CK_COND success as the kernel returns
// them, for the log; then what the back end's parsers find in them.
void checkSense(const std::string& node) {
  unsigned char cdb[16] = {0x85, 0x06, 0x20, 0, 0, 0, 0x34, 0, 0x56, 0, 0x78, 0, 0x9A, 0xA0, 0xFE, 0};
  unsigned char sense[64] = {};
  const int n = rawSense(node, cdb, sense);
  protocol::AtaReturn r;
  const bool found = n > 0 && protocol::FindAtaRegisters(sense, n, r);
  check(found && r.error == 0x04 && r.status == 0x41,
        "sense of an unknown opcode (" + std::to_string(n) + " bytes): " + hex(sense, n > 0 ? n : 0));
  // SMART RETURN STATUS with CK_COND: libata answers a success with RECOVERED
  // ERROR, 00/1D and the registers, which the send path takes as success.
  unsigned char smart[16] = {0x85, 0x06, 0x20, 0, 0xDA, 0, 0, 0, 0, 0, 0x4F, 0, 0xC2, 0xA0, 0xB0, 0};
  std::memset(sense, 0, sizeof sense);
  const int m = rawSense(node, smart, sense);
  const bool success = m > 0 && protocol::FindCkCondSuccess(sense, m, r);
  check(success && r.lbaMid == 0x4F && r.lbaHigh == 0xC2,
        "sense of SMART RETURN STATUS with CK_COND (" + std::to_string(m) + " bytes): " + hex(sense, m > 0 ? m : 0));
}

// The command layer's members on the SATA disk, in SATA-port mode: through ATA
// pass-through, and as SAT commands where ATA pass-through is not known to work.
void checkMembers(const std::string& path, const std::string& node, std::int64_t bytes) {
  g_KX_U2A = 1;
  g_SataPortMode = 1;
  kx::WithRootDevice([&](kx::RootDeviceRecord& r) {
    r = kx::RootDeviceRecord{};
    r.SetCount(1);
    r.SetEntry(0, "sata", path);
  });
  CDriveCommand cmd(1);
  Aligned id(512);
  check(cmd.GetIdentify(id.p) && kx::AtaPassThroughOk(1), "IDENTIFY through the command layer takes ATA pass-through");
  const std::uint64_t last = static_cast<std::uint64_t>(bytes / 512) - 1;
  auto lo = [](std::uint64_t lba) { return static_cast<std::uint32_t>(lba); };
  auto hi = [](std::uint64_t lba) { return static_cast<std::uint32_t>(lba >> 32); };
  char text[160];

  // Every LBA byte but the top one differs from zero and from the others.
  const std::uint64_t high = 0x105234560ull;
  for (const bool ataPt : {true, false}) {
    kx::SetAtaPassThroughOk(1, ataPt);
    const char* how = ataPt ? "ATA pass-through" : "SAT";
    const std::uint64_t base = high + (ataPt ? 0 : 64);
    Aligned out(4096), got(4096);
    out.fill(1);
    bool ok = cmd.WriteDmaExt16(out.p, 8, lo(base), hi(base)) && diskIo(node, false, base, got) && got.same(out);
    std::snprintf(text, sizeof text, "WriteDmaExt16 (%s) at LBA %llXh lands at byte %llXh", how,
                  static_cast<unsigned long long>(base), static_cast<unsigned long long>(base * 512));
    check(ok, text);
    out.fill(2);
    ok = cmd.WriteSectorsExt(out.p, 4096, lo(base + 8), hi(base + 8)) && diskIo(node, false, base + 8, got) &&
         got.same(out);
    std::snprintf(text, sizeof text, "WriteSectorsExt (%s) at LBA %llXh", how, static_cast<unsigned long long>(base + 8));
    check(ok, text);
    out.fill(3);
    ok = diskIo(node, true, base + 16, out) && cmd.ReadDmaExt16(got.p, 8, lo(base + 16), hi(base + 16)) &&
         got.same(out);
    std::memset(got.p, 0, got.n);
    ok = ok && cmd.ReadSectorsExt(got.p, 4096, lo(base + 16), hi(base + 16)) && got.same(out);
    std::snprintf(text, sizeof text, "ReadDmaExt16 and ReadSectorsExt (%s) at LBA %llXh read what pwrite put there",
                  how, static_cast<unsigned long long>(base + 16));
    check(ok, text);

    // 2 MiB in one member call, beyond what one request may carry here.
    Aligned big(2u << 20), back(2u << 20);
    const std::uint64_t at = high + 0x10000;
    big.fill(ataPt ? 4 : 5);
    ok = cmd.WriteDmaExt(big.p, 2u << 20, lo(at), hi(at)) && diskIo(node, false, at, back) && back.same(big);
    big.fill(ataPt ? 6 : 7);
    ok = ok && diskIo(node, true, at, big) && cmd.ReadDmaExt(back.p, 2u << 20, lo(at), hi(at)) && back.same(big);
    std::snprintf(text, sizeof text, "2 MiB WriteDmaExt and ReadDmaExt (%s); one request may carry %u bytes", how,
                  platform::linuxdisk::TransferLimit(platform::RealSysCalls(), node.substr(node.rfind('/') + 1)));
    check(ok, text);
  }

  kx::SetAtaPassThroughOk(1, true);
  Aligned out(512), got(512);
  out.fill(8);
  bool ok = diskIo(node, true, last, out) && cmd.ReadDmaExt16(got.p, 1, lo(last), hi(last)) && got.same(out);
  std::snprintf(text, sizeof text, "the last LBA (%llXh) reads", static_cast<unsigned long long>(last));
  check(ok, text);

  // Failed commands: the registers the drive returned, not the ones sent.
  ok = !cmd.ReadDmaExt16(got.p, 1, lo(last + 1), hi(last + 1));
  std::snprintf(text, sizeof text, "a read past the last LBA fails with the drive's registers: error %02X status %02X, OS error %u",
                cmd.m_RetTaskFile[0], cmd.m_RetTaskFile[6], cmd.m_LastError);
  check(ok && cmd.m_LastError == 0 && (cmd.m_RetTaskFile[6] & 0x01) != 0 && cmd.m_RetTaskFile[0] != 0, text);
  const std::uint8_t unknown[16] = {0xA1, 0x06, 0x00, 0x00, 0x34, 0x56, 0x78, 0x9A, 0xA0, 0xFE};
  const int result = cmd.SendAtaPassThrough(1, 1, unknown, kx::kDirNone, nullptr, 0, true, false, false, 0);
  std::snprintf(text, sizeof text, "an unknown opcode returns error %02X status %02X (result %02X)", cmd.m_RetTaskFile[0],
                cmd.m_RetTaskFile[6], result);
  check(result == 0x41 && cmd.m_RetTaskFile[0] == 0x04 && cmd.m_RetTaskFile[6] == 0x41, text);

  // SMART RETURN STATUS returns its verdict in LBA mid/high on both paths (QEMU's
  // disk is healthy: 4Fh/C2h).
  for (const bool ataPt : {true, false}) {
    kx::SetAtaPassThroughOk(1, ataPt);
    const bool sent = cmd.SMART_Return_Status();
    std::snprintf(text, sizeof text, "SMART RETURN STATUS (%s) returns LBA mid %02X high %02X status %02X",
                  ataPt ? "ATA pass-through" : "SAT, CK_COND", cmd.m_RetTaskFile[3], cmd.m_RetTaskFile[4],
                  cmd.m_RetTaskFile[6]);
    check(sent && cmd.m_RetTaskFile[3] == 0x4F && cmd.m_RetTaskFile[4] == 0xC2 && (cmd.m_RetTaskFile[6] & 0x01) == 0,
          text);
  }
  kx::SetAtaPassThroughOk(1, true);

  // A command that cannot be cut, above the limit: refused before it is sent.
  const std::uint32_t limit =
      platform::linuxdisk::TransferLimit(platform::RealSysCalls(), node.substr(node.rfind('/') + 1));
  if (limit != 0 && limit < (32u << 20)) {
    const std::uint16_t sectors = static_cast<std::uint16_t>(limit / 512 + 8);
    std::vector<unsigned char> firmware(sectors * 512u, 0);
    ok = !cmd.DownLoadMicroCode(firmware.data(), sectors, 0);
    check(ok && cmd.m_LastError == win::ERROR_INVALID_PARAMETER,
          "DOWNLOAD MICROCODE of " + std::to_string(sectors) + " sectors is refused with error " +
              std::to_string(cmd.m_LastError));
  }
}

// Notifications seen by the hot-plug checks.
struct Seen {
  std::mutex m;
  std::condition_variable cv;
  std::vector<platform::DiskNotification> list;
  // The first notification since `from` that matches, waiting for it a while.
  bool waitFor(std::size_t from, const std::function<bool(const platform::DiskNotification&)>& match,
               platform::DiskNotification& got) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, std::chrono::seconds(40), [&] {
      for (std::size_t i = from; i < list.size(); ++i) {
        if (match(list[i])) {
          got = list[i];
          return true;
        }
      }
      return false;
    });
  }
  std::size_t count() {
    std::lock_guard lock(m);
    return list.size();
  }
};

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream f(path);
  f << text;
  f.flush();
  return static_cast<bool>(f);
}

// The kernel name of the disk a listing path names now; empty when none.
std::string kernelName(const std::string& path) {
  std::uint64_t seq = 0;
  if (!platform::linuxdisk::ParseDiskSeqPath(path, seq)) return {};
  return platform::linuxdisk::DiskOfSeq(platform::RealSysCalls(), seq);
}

kx::RootDeviceRecord listing(platform::DiskPort kind) {
  kx::RootDeviceRecord r;
  platform::ListRealPorts(r.bytes.data(), kind);
  return r;
}

std::string describe(const kx::RootDeviceRecord& r) {
  std::string s = std::to_string(r.Count()) + " entries:";
  for (std::uint32_t i = 0; i < r.Count(); ++i) s += " [" + r.Node(i) + " " + r.Path(i) + "]";
  return s;
}

// Entries first to first+ports-1 name ports 1 up ("<stem><k>") of one controller
// or hub, their paths a disk instance exactly in the ports that hold a disk.
bool stationListed(const kx::RootDeviceRecord& r, std::uint32_t first, const std::string& stem, std::uint32_t ports,
                   const std::set<std::uint32_t>& full) {
  if (r.Count() < first + ports) return false;
  for (std::uint32_t k = 1; k <= ports; ++k) {
    const std::string node = r.Node(first + k - 1), path = r.Path(first + k - 1);
    const bool ends = node.size() > stem.size() + 4 && node.compare(0, 4, "pci-") == 0 &&
                      node.compare(node.size() - stem.size() - std::to_string(k).size(), std::string::npos,
                                   stem + std::to_string(k)) == 0;
    if (!ends || full.count(k) != (kernelName(path).empty() ? 0u : 1u)) return false;
  }
  return true;
}

bool arrival(const platform::DiskNotification& e) { return e.change == platform::DiskChange::Arrival; }

// The size a listing path's disk gives through the back end; -1 when it does not open.
std::int64_t sizeThrough(const std::string& path) {
  Handle d(path);
  win::DWORD sector = 0;
  return d.ok() ? diskSize(d, sector) : -1;
}

// The disk in hub port 3 taken away through sysfs and brought back with a host
// rescan: both notified with the paths the listing gives it, its port's entry kept.
void checkRescan(Seen& seen, std::uint32_t bay) {
  const kx::RootDeviceRecord before = listing(platform::DiskPort::Usb);
  const std::string path = before.Path(bay), node = before.Node(bay), name = kernelName(path);
  char target[256] = {};
  const ssize_t n = readlink(("/sys/block/" + name + "/device").c_str(), target, sizeof target - 1);
  // The link ends in the SCSI address host:channel:target:lun.
  std::string hctl = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
  hctl = hctl.substr(hctl.rfind('/') + 1);
  const std::string hostNumber = hctl.substr(0, hctl.find(':'));
  platform::DiskNotification got;
  std::size_t from = seen.count();
  const bool removed = writeFile("/sys/block/" + name + "/device/delete", "1") &&
                       seen.waitFor(from, [&](const auto& e) {
                         return e.change == platform::DiskChange::Removal && e.devicePath == path;
                       }, got);
  kx::RootDeviceRecord now = listing(platform::DiskPort::Usb);
  check(removed && now.Node(bay) == node && now.Path(bay) == "NULL",
        "removal of " + name + " notified with its listing path " + path + "; its port's entry stays, NULL");
  from = seen.count();
  const bool back = writeFile("/sys/class/scsi_host/host" + hostNumber + "/scan", "- - -") &&
                    seen.waitFor(from, arrival, got);
  now = listing(platform::DiskPort::Usb);
  check(back && now.Node(bay) == node && got.devicePath == now.Path(bay) && got.devicePath != path,
        "its return notified with the path its port's entry now gives: " + got.devicePath);
}

// ---- a job's drive is its own ----

// The ATA commands libata issues (its ata_qc_issue trace event), with the
// check's own marks between them, in the order the kernel saw them.
namespace ataTrace {

const std::string kTracing = "/sys/kernel/tracing/";

bool start() {
  return writeFile(kTracing + "events/libata/ata_qc_issue/enable", "1") && writeFile(kTracing + "trace", "");
}

void mark(const std::string& text) { writeFile(kTracing + "trace_marker", text); }

// One command on an ATA port, or a mark (port 0).
struct Entry {
  unsigned port = 0;
  int command = -1;
  std::string mark;
};

std::vector<Entry> read() {
  std::vector<Entry> entries;
  std::ifstream f(kTracing + "trace");
  std::string line;
  while (std::getline(f, line)) {
    Entry e;
    const auto marked = line.find("tracing_mark_write: ");
    const auto issued = line.find("ata_qc_issue: ata_port=");
    const auto tf = line.find("tf=(");
    if (marked != std::string::npos) {
      e.mark = line.substr(marked + 20);
    } else if (issued != std::string::npos && tf != std::string::npos) {
      e.port = static_cast<unsigned>(std::strtoul(line.c_str() + issued + 23, nullptr, 10));
      e.command = static_cast<int>(std::strtol(line.c_str() + tf + 4, nullptr, 16));
    } else {
      continue;
    }
    entries.push_back(e);
  }
  return entries;
}

}  // namespace ataTrace

// The ATA port number of a disk ("ataN" in its sysfs path); 0 when none.
unsigned ataPort(const std::string& disk) {
  char target[512] = {};
  const ssize_t n = readlink(("/sys/block/" + disk).c_str(), target, sizeof target - 1);
  const std::string path = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
  const auto at = path.find("/ata");
  return at == std::string::npos ? 0 : static_cast<unsigned>(std::strtoul(path.c_str() + at + 4, nullptr, 10));
}

bool isWrite(int command) {
  static const std::set<int> writes = {0x30, 0x34, 0x35, 0x39, 0x3D, 0xC5, 0xCA, 0xCE, 0x61, 0xE7, 0xEA};
  return writes.count(command) != 0;
}

// What reached the disk's port from the job's first mark to its last: its own
// CHECK POWER MODE commands, the unmount's writes while it locks the volume,
// and any other command (a probe's IDENTIFY or reads); then the IDENTIFY
// commands that came after the job.
struct JobSequence {
  int own = 0, unmountWrites = 0, foreign = 0, identifiesAfter = 0;
  std::string foreignText;  // the first few foreign commands' opcodes
};

JobSequence jobSequence(unsigned port) {
  JobSequence s;
  enum { Before, Job, Lock, After } at = Before;
  for (const ataTrace::Entry& e : ataTrace::read()) {
    if (!e.mark.empty()) {
      if (e.mark == "kx-job-begin" || e.mark == "kx-lock-end") at = Job;
      if (e.mark == "kx-lock-begin") at = Lock;
      if (e.mark == "kx-job-end") at = After;
      continue;
    }
    if (e.port != port || at == Before) continue;
    if (at == After) {
      s.identifiesAfter += e.command == 0xEC ? 1 : 0;
    } else if (e.command == 0xE5) {
      ++s.own;
    } else if (at == Lock && isWrite(e.command)) {
      ++s.unmountWrites;
    } else {
      if (++s.foreign <= 12) {
        char text[8];
        std::snprintf(text, sizeof text, " %02X", e.command);
        s.foreignText += text;
      }
    }
  }
  return s;
}

// Runs a shell command line; true when it exited 0.
bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

// A job's sequence on the disk in AHCI port 2, the way a port's job runs it:
// commands, the volume lock (which unmounts the partition the desktop would
// have mounted), commands under the lock, the unlock (a close after writing,
// which udev's watch turns into a change event), then a change event from
// `udevadm trigger` while commands go on. Without the hold the probes of udev's
// storage rules (ata_id's IDENTIFY, blkid's reads) land inside the sequence;
// held, none does, and they come once the job has let the disk go.
void checkJobHold(const std::string& path, const std::string& name, const std::string& mountPoint) {
  const unsigned port = ataPort(name);
  check(port != 0 && ataTrace::start(), "libata's command trace runs for ata" + std::to_string(port));
  g_KX_U2A = 1;
  kx::WithRootDevice([&](kx::RootDeviceRecord& r) {
    r = kx::RootDeviceRecord{};
    r.SetCount(1);
    r.SetEntry(0, "sata2", path);
  });
  // Some 100 a second, so that the trace buffer keeps the whole sequence.
  auto commands = [&](int n) {
    for (int i = 0; i < n; ++i) {
      Handle d(path);
      win::ATA_PASS_THROUGH_DIRECT a;
      ata(d, 0, {0, 0, 0, 0, 0, 0xA0, 0xE5}, {}, nullptr, 0, a);
      usleep(10 * 1000);
    }
  };
  const std::string trigger = "udevadm trigger --action=change /sys/block/" + name;
  run("udevadm settle --timeout=30");

  // Unheld: commands go on until udev has handled the change event.
  writeFile(ataTrace::kTracing + "trace", "");
  ataTrace::mark("kx-job-begin");
  commands(3);
  run(trigger);
  const pid_t settle = fork();
  if (settle == 0) {
    execlp("udevadm", "udevadm", "settle", "--timeout=30", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int status = 0; settle > 0 && waitpid(settle, &status, WNOHANG) == 0;) commands(1);
  commands(3);
  ataTrace::mark("kx-job-end");
  JobSequence s = jobSequence(port);
  check(s.own > 6 && s.foreign > 0,
        "unheld, udev's probe of a change event lands inside the job's " + std::to_string(s.own) + " commands: " +
            std::to_string(s.foreign) + " others," + s.foreignText);

  // Held, with the partition mounted.
  check(mounted(mountPoint), "the disk's partition is mounted at " + mountPoint);
  writeFile(ataTrace::kTracing + "trace", "");
  auto hold = platform::HoldDevice(path);
  ataTrace::mark("kx-job-begin");
  commands(5);
  CPortVolume volume(1);
  ataTrace::mark("kx-lock-begin");
  const int locked = volume.LockPortVolume();
  ataTrace::mark("kx-lock-end");
  check(hold && locked == 1 && !mounted(mountPoint), "held, the volume lock unmounts the partition and claims the disk");
  commands(5);
  check(volume.DismountPortVolume() == 1, "the volume is dismounted and unlocked under the hold");
  commands(5);
  run(trigger);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < until) commands(1);
  ataTrace::mark("kx-job-end");
  hold.reset();
  run("udevadm settle --timeout=30");
  s = jobSequence(port);
  check(s.own > 15 && s.foreign == 0,
        "held, the job's " + std::to_string(s.own) + " commands and its unmount's " + std::to_string(s.unmountWrites) +
            " writes have no other command among them (" + std::to_string(s.foreign) + ")" + s.foreignText);
  check(s.identifiesAfter > 0,
        "the disk let go, udev's probe comes: " + std::to_string(s.identifiesAfter) + " IDENTIFY DEVICE");
}

// ---- a drive another program holds ----

// Another process keeps an exclusive flock on the disk in AHCI port 2 (a second
// copy of the program on that drive, a partitioner): the job's hold gives up
// after its wait (on a clock 50 times faster here) with the drive named as held
// elsewhere, and nothing reaches the disk meanwhile; once that process has let
// go, the hold is taken.
void checkHeldElsewhere(const std::string& path, const std::string& name) {
  const unsigned port = ataPort(name);
  int ready[2], release[2];
  if (pipe(ready) != 0 || pipe(release) != 0) {
    check(false, "pipes for the holding process");
    return;
  }
  const std::string node = "/dev/" + name;
  const pid_t holder = fork();
  if (holder == 0) {
    const int fd = open(node.c_str(), O_RDONLY | O_NONBLOCK);
    char c = fd >= 0 && flock(fd, LOCK_EX) == 0 ? '1' : '0';
    if (write(ready[1], &c, 1) != 1 || read(release[0], &c, 1) < 0) _exit(1);
    _exit(0);
  }
  char locked = '0';
  check(holder > 0 && read(ready[0], &locked, 1) == 1 && locked == '1', "another process flocks " + node);
  writeFile(ataTrace::kTracing + "trace", "");
  ataTrace::mark("kx-job-begin");
  win::DWORD error = 0;
  {
    platform::ScopedClock fast(platform::MakeScaledClock(50));
    const auto hold = platform::HoldDevice(path);
    error = hold ? 0 : win::GetLastError();
  }
  ataTrace::mark("kx-job-end");
  const JobSequence s = jobSequence(port);
  check(error == win::ERROR_SHARING_VIOLATION && s.own + s.foreign == 0,
        "held elsewhere, the job's hold is refused (error " + std::to_string(error) + ") and the disk is sent nothing (" +
            std::to_string(s.own + s.foreign) + ")" + s.foreignText);
  if (holder > 0) {
    if (write(release[1], "x", 1) != 1) kill(holder, SIGKILL);
    int status = 0;
    waitpid(holder, &status, 0);
  }
  for (const int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
  check(platform::HoldDevice(path) != nullptr, "that process gone, the job holds the disk");
}

// Says a monitor command to the host script.
void monitor(const std::string& command) {
  std::printf("KX-MONITOR %s\n", command.c_str());
  std::fflush(stdout);
}

// Handles opened on a disk before it is pulled, used once another disk has
// taken its kernel name: a write and a layout deletion through each must fail
// and leave the new disk's first, last and written sectors as they were.
struct HeldHandles {
  std::string what;
  Handle write, layout;
  HeldHandles(const std::string& what, const std::string& path) : what(what), write(path), layout(path) {}

  void check(const std::string& newNode, std::uint64_t newSectors) {
    const std::uint64_t marks[] = {0, 2048, newSectors - 1};
    std::vector<std::string> before;
    bool marked = write.ok() && layout.ok();
    for (const std::uint64_t lba : marks) {
      Aligned mark(512), back(512);
      mark.fill(static_cast<unsigned>(lba % 251) + 20);
      marked = marked && diskIo(newNode, true, lba, mark) && diskIo(newNode, false, lba, back) && back.same(mark);
      before.emplace_back(reinterpret_cast<char*>(back.p), back.n);
    }
    auto unchanged = [&] {
      for (std::size_t i = 0; i < before.size(); ++i) {
        Aligned now(512);
        if (!diskIo(newNode, false, marks[i], now) || std::memcmp(now.p, before[i].data(), 512) != 0) return false;
      }
      return true;
    };
    Aligned data(4096);
    data.fill(77);
    const win::DWORD written = marked ? rw10(write, true, 2048, static_cast<std::uint32_t>(data.n / 512), data.p) : 0;
    ::check(marked && written != 0 && unchanged(),
            "a write through a " + what + " handle held across the pull fails (error " + std::to_string(written) +
                ") and leaves the disk now named " + newNode + " as it was");
    const win::DWORD deleted = marked ? layout.control(win::IOCTL_DISK_DELETE_DRIVE_LAYOUT) : 0;
    ::check(marked && deleted != 0 && unchanged(),
            "a layout deletion through a " + what + " handle held across the pull fails (error " +
                std::to_string(deleted) + ") and leaves that disk's first and last sectors as they were");
  }
};

// The disk in hub port 1 pulled, another added in port 2 that takes its kernel
// name, then the first put back in port 1.
void checkPull(Seen& seen, std::int64_t usbBytes, std::int64_t spareBytes) {
  const kx::RootDeviceRecord before = listing(platform::DiskPort::Usb);
  const std::string path = before.Path(0), node = before.Node(0), name = kernelName(path);
  platform::DiskNotification got;
  std::size_t from = seen.count();
  monitor("device_del usbdisk1");
  const bool removed = seen.waitFor(from, [&](const auto& e) {
    return e.change == platform::DiskChange::Removal && e.devicePath == path;
  }, got);
  kx::RootDeviceRecord now = listing(platform::DiskPort::Usb);
  check(removed && now.Node(0) == node && now.Path(0) == "NULL",
        "the disk pulled from hub port 1 is notified with its path " + path + "; the port's entry stays, NULL");

  from = seen.count();
  monitor("device_add usb-storage,bus=xhci.0,port=1.2,drive=spare,id=spare");
  const bool added = seen.waitFor(from, arrival, got);
  now = listing(platform::DiskPort::Usb);
  const std::string spare = now.Path(1);
  check(added && now.Node(1) == before.Node(1) && got.devicePath == spare && kernelName(spare) == name &&
            spare != path,
        "a disk added in hub port 2 takes the kernel name " + name + " under its own path " + spare);
  Handle old(path);
  const win::DWORD error = old.ok() ? 0 : win::GetLastError();
  check(!old.ok() && error == win::ERROR_FILE_NOT_FOUND,
        "the pulled disk's path opens nothing (error " + std::to_string(error) + ")");
  check(sizeThrough(spare) == spareBytes, "the added disk's path opens it: " + std::to_string(sizeThrough(spare)));

  from = seen.count();
  monitor("device_add usb-storage,bus=xhci.0,port=1.1,drive=usb1,id=usbdisk1");
  const bool back = seen.waitFor(from, arrival, got);
  now = listing(platform::DiskPort::Usb);
  check(back && now.Node(0) == node && now.Path(0) == got.devicePath && sizeThrough(now.Path(0)) == usbBytes,
        "the pulled disk put back in hub port 1 is that port's entry again: " + now.Path(0));
}

bool inHub(const std::string& node, int hub) {
  const std::string stem = "-usb-0:" + std::to_string(hub) + ".";
  return node.find(stem) != std::string::npos;
}

// Two hubs full, as a station learns its ports once: every port's node keeps its
// disk when a USB disk arrives on another root port of the controller and when
// hub 1 is emptied, whichever entry numbers the listing then gives.
void checkTwoHubs(Seen& seen) {
  const kx::RootDeviceRecord full = listing(platform::DiskPort::Usb);
  std::map<std::string, std::int64_t> learnt;  // node -> size of its disk
  std::set<std::int64_t> sizes;
  for (std::uint32_t i = 0; i < full.Count(); ++i) {
    if (full.Path(i) == "NULL") continue;
    learnt[full.Node(i)] = sizeThrough(full.Path(i));
    sizes.insert(learnt[full.Node(i)]);
  }
  std::size_t inHub2 = 0;
  for (const auto& [node, size] : learnt) inHub2 += inHub(node, 2) ? 1 : 0;
  check(learnt.size() == 5 && sizes.size() == 5 && !sizes.count(-1) && inHub2 == 2,
        "both hubs listed, each disk of a size of its own: " + describe(full));
  // Where each learnt node finds a disk now, and that no other node has one of theirs.
  auto kept = [&](const kx::RootDeviceRecord& r, bool hub1, std::string& text) {
    bool ok = true;
    for (const auto& [node, size] : learnt) {
      if (inHub(node, 1) && !hub1) continue;
      std::uint32_t i = 0;
      while (i < r.Count() && r.Node(i) != node) ++i;
      const bool found = i < r.Count() && sizeThrough(r.Path(i)) == size;
      text += " " + node.substr(node.rfind(':') + 1) + (found ? "=entry " + std::to_string(i + 1) : "=lost");
      ok = ok && found;
    }
    for (std::uint32_t i = 0; i < r.Count(); ++i) {
      const auto own = learnt.find(r.Node(i));
      const std::int64_t size = r.Path(i) == "NULL" ? -1 : sizeThrough(r.Path(i));
      if (size != -1 && sizes.count(size) && (own == learnt.end() || own->second != size)) ok = false;
      if (!hub1 && inHub(r.Node(i), 1)) ok = false;
    }
    return ok;
  };

  std::size_t from = seen.count();
  platform::DiskNotification got;
  monitor("device_add usb-storage,bus=xhci.0,port=3,drive=stick,id=stick");
  const bool added = seen.waitFor(from, arrival, got);
  kx::RootDeviceRecord now = listing(platform::DiskPort::Usb);
  std::string where;
  std::uint32_t stick = 0;
  while (stick < now.Count() && now.Path(stick) != got.devicePath) ++stick;
  const bool stickListed = stick < now.Count() && now.Node(stick).size() > 8 &&
                           now.Node(stick).compare(now.Node(stick).size() - 8, 8, "-usb-0:3") == 0;
  const bool stickKept = kept(now, true, where);
  check(added && stickListed && stickKept,
        "a USB disk on root port 3 leaves every hub port's node and disk where it was:" + where);

  // Handles held while hub 1 is emptied. One open on a disk keeps the disk's
  // kernel name from being given again until it is closed, so the handles by
  // listing path and by number hold hub 1's first disk, and the one on a SCSI
  // generic node (which keeps no name) hub 1's disk of the lowest name after
  // it, whose name the next disk takes.
  const std::string pulledName = kernelName(full.Path(0));
  HeldHandles byPath("listing path", full.Path(0)),
      byNumber("PhysicalDrive",
               "\\\\.\\PhysicalDrive" + std::to_string(platform::linuxdisk::DiskNumberFromName(pulledName)));
  std::string sgName = kernelName(full.Path(1)), other = kernelName(full.Path(2));
  if (platform::linuxdisk::DiskIndexFromName(other) < platform::linuxdisk::DiskIndexFromName(sgName)) sgName = other;
  std::vector<std::string> sgNodes;
  platform::RealSysCalls().ListDir("/sys/block/" + sgName + "/device/scsi_generic", sgNodes);
  HeldHandles bySg("SCSI generic", sgNodes.size() == 1 ? "/dev/" + sgNodes[0] : std::string("/dev/none"));
  for (const char* id : {"usbdisk1", "spare", "usbdisk3"}) monitor(std::string("device_del ") + id);
  // Hub 1 is listed while any of its disks is: wait until none is.
  bool emptied = false;
  for (int tries = 0; tries < 200 && !emptied; ++tries) {
    if (tries) usleep(100 * 1000);
    now = listing(platform::DiskPort::Usb);
    emptied = true;
    for (std::uint32_t i = 0; i < now.Count(); ++i) emptied = emptied && !inHub(now.Node(i), 1);
  }
  where.clear();
  const bool hub2Kept = kept(now, false, where);
  check(emptied && hub2Kept,
        "hub 1 emptied: hub 2's nodes find their own disks, hub 1's nodes are listed for none:" + where + "; " +
            describe(now));

  // A disk arriving after the pull: the handles held on the pulled one must not reach it.
  from = seen.count();
  monitor("device_add usb-storage,bus=xhci.0,port=2.2,drive=spare,id=late");
  const bool late = seen.waitFor(from, arrival, got);
  const std::string lateName = kernelName(got.devicePath);
  const std::int64_t lateBytes = sizeThrough(got.devicePath);
  check(late && !lateName.empty() && lateBytes > 0 && lateName == sgName,
        "a disk added in hub 2 port 2 after hub 1 is emptied takes the name " + lateName +
            " of the disk an sg handle was held on (" + sgName + ")");
  if (late && lateBytes > 0) {
    byPath.check("/dev/" + lateName, static_cast<std::uint64_t>(lateBytes / 512));
    byNumber.check("/dev/" + lateName, static_cast<std::uint64_t>(lateBytes / 512));
    bySg.check("/dev/" + lateName, static_cast<std::uint64_t>(lateBytes / 512));
  }
}

// ---- a removable disk's job ----

// The SCSI commands the kernel dispatches (its scsi_dispatch_cmd_start trace
// event) to one device, with the check's marks between them.
namespace scsiTrace {

bool start() {
  return writeFile(ataTrace::kTracing + "events/scsi/scsi_dispatch_cmd_start/enable", "1") &&
         writeFile(ataTrace::kTracing + "trace", "");
}

struct Entry {
  std::string address;  // "host:channel:id:lun"
  std::string cdb;      // hex bytes as the event prints them
  std::string mark;
};

std::string field(const std::string& line, const std::string& name) {
  const auto at = line.find(name + "=");
  if (at == std::string::npos) return {};
  const auto from = at + name.size() + 1;
  return line.substr(from, line.find_first_of(" )", from) - from);
}

std::vector<Entry> read() {
  std::vector<Entry> entries;
  std::ifstream f(ataTrace::kTracing + "trace");
  std::string line;
  while (std::getline(f, line)) {
    Entry e;
    const auto marked = line.find("tracing_mark_write: ");
    const auto raw = line.find("raw=");
    if (marked != std::string::npos) {
      e.mark = line.substr(marked + 20);
    } else if (line.find("scsi_dispatch_cmd_start:") != std::string::npos && raw != std::string::npos) {
      e.address = field(line, "host_no") + ":" + field(line, "channel") + ":" + field(line, "id") + ":" +
                  field(line, "lun");
      e.cdb = line.substr(raw + 4, line.find(')', raw) - raw - 4);
    } else {
      continue;
    }
    entries.push_back(e);
  }
  return entries;
}

}  // namespace scsiTrace

// The command layer's drive 1 is the listed disk at `path`.
void listAsDrive1(const std::string& path) {
  g_KX_U2A = 1;
  kx::WithRootDevice([&](kx::RootDeviceRecord& r) {
    r = kx::RootDeviceRecord{};
    r.SetCount(1);
    r.SetEntry(0, "removable", path);
  });
}

// A job-like sequence through the command layer on the disk at `path`: INQUIRY,
// READ CAPACITY and READ(10) at an LBA of its own, each followed by a look at
// the disk's size, as a port's job asks for it. Returns the CDBs sent, as the
// trace prints them.
std::set<std::string> removableJob(const std::string& path, int rounds) {
  listAsDrive1(path);
  CDriveCommand cmd(1);
  std::set<std::string> sent;
  unsigned char data[512];
  for (int i = 0; i < rounds; ++i) {
    const std::uint8_t lba = static_cast<std::uint8_t>(0x40 + i);
    const std::vector<std::vector<std::uint8_t>> cdbs = {
        {0x12, 0, 0, 0, 0x61, 0}, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {0x28, 0, 0, 0, 0x01, lba, 0, 0, 1, 0}};
    for (const auto& c : cdbs) {
      std::uint8_t cdb[16] = {};
      std::memcpy(cdb, c.data(), c.size());
      const std::uint32_t length = c[0] == 0x12 ? 0x61 : c[0] == 0x25 ? 8 : 512;
      if (cmd.SendCdb(1, cdb, true, data, length, 10) != 0) return {};
      sent.insert(hex(cdb, sizeof cdb));  // the send path's CDBs are 16 bytes long
      win::DISK_GEOMETRY_EX g;
      GetPortDiskGeometryEx(1, &g);
    }
  }
  return sent;
}

// What reached the device from the first of the job's commands to its last.
struct RemovableSequence {
  int own = 0, foreign = 0;
  std::string foreignText;  // the first few foreign CDBs
};

RemovableSequence removableSequence(const std::string& address, const std::set<std::string>& sent) {
  RemovableSequence s;
  std::vector<std::string> between;  // foreign commands since the last own one
  bool in = false;
  for (const scsiTrace::Entry& e : scsiTrace::read()) {
    if (!e.mark.empty()) {
      if (e.mark == "kx-job-begin") in = true;
      if (e.mark == "kx-job-end") in = false;
      continue;
    }
    if (!in || e.address != address) continue;
    // The event prints a CDB's bytes up to its length, upper or lower case.
    std::string cdb = e.cdb;
    for (char& c : cdb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (sent.count(cdb)) {
      if (s.own++ > 0) {
        s.foreign += static_cast<int>(between.size());
        for (const auto& f : between) {
          if (s.foreignText.size() < 120) s.foreignText += " [" + f + "]";
        }
      }
      between.clear();
    } else {
      between.push_back(cdb);
    }
  }
  return s;
}

// Erase-all's volume steps on a disk whose partition is mounted, as a held job
// runs them: the layout deletion unmounts the partition, which takes its letter
// away; the lock after it and the dismount at the end still succeed, so a
// passing drive's report says neither "Not Locked" nor "UN Lock Drive Fail".
void checkEraseAllVolume(const std::string& name, const std::string& path) {
  const std::string node = "/dev/" + name, partition = node + "1", mountPoint = "/mnt/kxr";
  Aligned mbr(512);
  std::memset(mbr.p, 0, mbr.n);
  const unsigned char entry[16] = {0, 0, 0, 0, 0x83, 0, 0, 0, 0x00, 0x08, 0, 0, 0x00, 0x00, 0x01, 0};  // 1 MiB on, 32 MiB
  std::memcpy(mbr.p + 446, entry, sizeof entry);
  mbr.p[510] = 0x55;
  mbr.p[511] = 0xAA;
  bool ready = diskIo(node, true, 0, mbr);
  const int fd = open(node.c_str(), O_RDONLY);
  ready = ready && fd >= 0 && ioctl(fd, BLKRRPART) == 0;
  if (fd >= 0) close(fd);
  for (int tries = 0; tries < 100 && ready && !exists(partition); ++tries) usleep(100 * 1000);
  mkdir(mountPoint.c_str(), 0755);
  ready = ready && run("mke2fs -q " + partition + " >/dev/null 2>&1") &&
          ::mount(partition.c_str(), mountPoint.c_str(), "ext4", 0, nullptr) == 0;
  check(ready, "a partition on the removable disk, mounted at " + mountPoint);
  if (!ready) return;
  auto hold = platform::HoldDevice(path);
  listAsDrive1(path);
  CPortVolume volume(1);
  const bool deleted = volume.DeletePortDriveLayout();
  check(deleted && !mounted(mountPoint) && !exists("/sys/class/block/" + name + "1"),
        "erase-all's layout deletion unmounts the partition and the kernel drops it");
  const int locked = volume.LockPortVolume();
  check(locked == 1, "the lock after it succeeds (" + std::to_string(locked) + "): no 'Drive Letter are Not Locked.'");
  const int unlocked = volume.DismountPortVolume();
  check(unlocked == 1, "the dismount and unlock at the end succeed (" + std::to_string(unlocked) +
                           "): no 'UN Lock Drive Fail'");
}

// A USB disk that reports a removable medium, added through QEMU's monitor:
// each open of its node makes the kernel send it TEST UNIT READY. A job's
// commands sent while the disk is held have nothing of the kernel's among them.
void checkRemovableJob() {
  std::set<std::string> before;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/block")) before.insert(entry.path().filename());
  monitor("device_add usb-storage,bus=xhci.0,port=4,drive=removable,id=removable,removable=on");
  std::string name;
  for (int tries = 0; tries < 400 && name.empty(); ++tries) {
    if (tries) usleep(100 * 1000);
    for (const auto& entry : std::filesystem::directory_iterator("/sys/block")) {
      const std::string n = entry.path().filename();
      if (!before.count(n) && n.rfind("sd", 0) == 0 && readSys(entry.path().string() + "/removable") == "1") name = n;
    }
  }
  run("udevadm settle --timeout=30");
  check(!name.empty(), "a USB disk added with a removable medium: " + name + ", removable 1");
  if (name.empty()) return;
  char target[256] = {};
  const ssize_t n = readlink(("/sys/block/" + name + "/device").c_str(), target, sizeof target - 1);
  std::string address = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
  address = address.substr(address.rfind('/') + 1);
  const std::string path = platform::linuxdisk::DiskPath(platform::RealSysCalls(), name);
  check(scsiTrace::start(), "the kernel's SCSI trace runs for " + address);
  constexpr int kRounds = 8;

  // Unheld, as a baseline: the kernel's medium checks come with the opens.
  ataTrace::mark("kx-job-begin");
  std::set<std::string> sent = removableJob(path, kRounds);
  ataTrace::mark("kx-job-end");
  RemovableSequence s = removableSequence(address, sent);
  check(!sent.empty() && s.foreign > 0,
        "unheld, the kernel's commands come among the job's " + std::to_string(s.own) + ": " +
            std::to_string(s.foreign) + " others," + s.foreignText);

  writeFile(ataTrace::kTracing + "trace", "");
  auto hold = platform::HoldDevice(path);
  ataTrace::mark("kx-job-begin");
  sent = removableJob(path, kRounds);
  ataTrace::mark("kx-job-end");
  const bool held = hold != nullptr;
  hold.reset();
  s = removableSequence(address, sent);
  check(held && !sent.empty() && s.own == 3 * kRounds && s.foreign == 0,
        "held, the job's " + std::to_string(s.own) + " commands have no other command among them (" +
            std::to_string(s.foreign) + ")" + s.foreignText);
  writeFile(ataTrace::kTracing + "events/scsi/scsi_dispatch_cmd_start/enable", "0");
  checkEraseAllVolume(name, path);

  monitor("device_del removable");
  for (int tries = 0; tries < 400 && exists("/sys/block/" + name); ++tries) usleep(100 * 1000);
  check(!exists("/sys/block/" + name), "the removable disk is taken away again");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 8) {
    std::fprintf(stderr,
                 "usage: kernel_check serial model sata-bytes usb-bytes mount-point spare-usb-bytes "
                 "port-2-mount-point\n");
    return 2;
  }
  const std::string serial = argv[1], model = argv[2], mountPoint = argv[5], port2MountPoint = argv[7];
  const std::int64_t sataBytes = std::atoll(argv[3]), usbBytes = std::atoll(argv[4]), spareBytes = std::atoll(argv[6]);

  check(platform::CheckRawIoCapability(), "CAP_SYS_RAWIO is held");
  platform::RegisterLinuxDiskBackend();

  const kx::RootDeviceRecord sata = listing(platform::DiskPort::Sata), usb = listing(platform::DiskPort::Usb);
  check(sata.Count() == 6 && stationListed(sata, 0, "-ata-", 6, {1, 2, 4}),
        "SATA listing, AHCI ports 1 to 6 in order: " + describe(sata));
  // QEMU's hubs have 8 ports; hub 1's disks are in ports 1 and 3, hub 2's in 1 and 3.
  check(usb.Count() == 16 && stationListed(usb, 0, "-usb-0:1.", 8, {1, 3}) &&
            stationListed(usb, 8, "-usb-0:2.", 8, {1, 3}),
        "USB listing, both hubs' ports in order: " + describe(usb));

  // The listing numbers a SuperSpeed root port as its high-speed peer, read
  // where the kernel puts them: the root hub's speed and its port's peer link.
  std::string speed, peer;
  {
    std::ifstream("/sys/bus/usb/devices/usb2/speed") >> speed;
    char target[256] = {};
    const ssize_t n = readlink("/sys/bus/usb/devices/usb2/2-0:1.0/usb2-port3/peer", target, sizeof target - 1);
    if (n > 0) peer = target;
  }
  check(speed == "5000" && peer.size() >= 10 && peer.compare(peer.size() - 10, 10, "usb1-port3") == 0,
        "xHCI's SuperSpeed root hub (speed " + speed + ") names its port 3's high-speed peer: " + peer);

  const std::string sataName = kernelName(sata.Path(0)), usbName = kernelName(usb.Path(0));
  if (!sataName.empty()) {
    checkSata(sata.Path(0), sataName, serial, model, sataBytes, mountPoint);
    checkSense("/dev/" + sataName);
    checkMembers(sata.Path(0), "/dev/" + sataName, sataBytes);
  }
  if (const std::string port2 = kernelName(sata.Path(1)); !port2.empty()) {
    checkJobHold(sata.Path(1), port2, port2MountPoint);
    checkHeldElsewhere(sata.Path(1), port2);
  }
  if (!usbName.empty()) checkUsb(usb.Path(0), usbName, usbBytes);
  if (!usbName.empty() && !kernelName(usb.Path(2)).empty()) {
    check(platform::StartDiskMonitor(), "udev disk monitor started");
    Seen seen;
    const int id = platform::RegisterDiskNotification([&](const platform::DiskNotification& note) {
      std::lock_guard lock(seen.m);
      seen.list.push_back(note);
      seen.cv.notify_all();
    });
    checkRescan(seen, 2);
    checkPull(seen, usbBytes, spareBytes);
    checkTwoHubs(seen);
    platform::UnregisterDiskNotification(id);
    platform::StopDiskMonitor();
  }
  checkRemovableJob();

  std::printf("KERNEL-CHECK %s (%d failed)\n", g_failed ? "FAIL" : "PASS", g_failed);
  return g_failed ? 1 : 0;
}
