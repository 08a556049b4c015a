// Helpers for the site and front-end tests: a site on virtual time and short ways
// to send SCSI and ATA pass-through requests through the device I/O seam.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "emulator/Drive.h"
#include "emulator/Site.h"
#include "platform/Clock.h"
#include "platform/DeviceIo.h"
#include "protocol/KxSignatures.h"
#include "tests/emulator/DriveTestUtil.h"

namespace emu::test {

inline DriveConfig SiteDriveConfig() {
  DriveConfig c;
  c.capacitySectors = 1 << 21;  // 1 GiB
  c.bootDelayMs = 800;
  c.blocksPerPlane = 128;
  return c;
}

struct ScsiResult {
  win::DWORD error = 0;  // 0 when the request went through
  std::uint8_t status = 0xFF;
  std::vector<std::uint8_t> sense;
  std::uint32_t transferred = 0;
};

struct AtaResult {
  win::DWORD error = 0;
  std::uint8_t regs[8] = {};  // error, count, LBA low, mid, high, device, status
  std::uint32_t transferred = 0;
};

inline std::vector<std::uint8_t> Cdb(std::initializer_list<int> bytes) {
  std::vector<std::uint8_t> c(16, 0);
  std::size_t i = 0;
  for (int b : bytes) c[i++] = static_cast<std::uint8_t>(b);
  return c;
}

inline win::HANDLE OpenDevice(const std::string& path) {
  return win::CreateFileA(path.c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                          win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr, win::OPEN_EXISTING, 0, nullptr);
}

// One request on its own open and close, as the command layer sends it; false
// (and *error set) when the open or the control failed.
template <class Block>
bool Control(const std::string& path, win::DWORD code, Block& b, win::DWORD& error) {
  win::HANDLE h = OpenDevice(path);
  if (h == win::INVALID_HANDLE_VALUE) {
    error = win::GetLastError();
    return false;
  }
  win::DWORD got = 0;
  const bool ok = win::DeviceIoControl(h, code, &b, sizeof b, &b, sizeof b, &got, nullptr);
  error = ok ? 0 : win::GetLastError();
  win::CloseHandle(h);
  return ok;
}

inline ScsiResult SendScsi(const std::string& path, const std::vector<std::uint8_t>& cdb, std::uint8_t dir,
                           void* buf, std::uint32_t len, std::uint32_t timeoutSec = 30) {
  ScsiResult r;
  win::ScsiPassThroughDirectBlock b;
  b.Sptd.Length = sizeof(win::SCSI_PASS_THROUGH_DIRECT);
  b.Sptd.CdbLength = 16;
  b.Sptd.SenseInfoLength = win::kSenseLength;
  b.Sptd.DataIn = len ? dir : win::SCSI_IOCTL_DATA_UNSPECIFIED;
  b.Sptd.DataTransferLength = len;
  b.Sptd.TimeOutValue = timeoutSec;
  b.Sptd.DataBuffer = len ? buf : nullptr;
  std::memcpy(b.Sptd.Cdb, cdb.data(), std::min<std::size_t>(16, cdb.size()));
  if (Control(path, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, b, r.error)) {
    r.status = b.Sptd.ScsiStatus;
    r.sense.assign(b.Sense, b.Sense + b.Sptd.SenseInfoLength);
    r.transferred = b.Sptd.DataTransferLength;
  }
  return r;
}

inline ScsiResult ScsiIn(const std::string& path, const std::vector<std::uint8_t>& cdb, std::vector<std::uint8_t>& buf) {
  return SendScsi(path, cdb, win::SCSI_IOCTL_DATA_IN, buf.data(), static_cast<std::uint32_t>(buf.size()));
}
inline ScsiResult ScsiOut(const std::string& path, const std::vector<std::uint8_t>& cdb,
                          std::vector<std::uint8_t>& buf) {
  return SendScsi(path, cdb, win::SCSI_IOCTL_DATA_OUT, buf.data(), static_cast<std::uint32_t>(buf.size()));
}
inline ScsiResult ScsiNone(const std::string& path, const std::vector<std::uint8_t>& cdb) {
  return SendScsi(path, cdb, win::SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0);
}

// One ATA pass-through (direct). cur/prev: features, count, LBA low, mid, high, device, command.
inline AtaResult SendAta(const std::string& path, std::initializer_list<int> cur, std::uint16_t flags, void* buf,
                         std::uint32_t len, std::initializer_list<int> prev = {}) {
  AtaResult r;
  win::ATA_PASS_THROUGH_DIRECT a;
  a.Length = sizeof a;
  a.AtaFlags = static_cast<win::USHORT>(flags | win::ATA_FLAGS_DRDY_REQUIRED);
  a.DataTransferLength = len;
  a.TimeOutValue = 30;
  a.DataBuffer = len ? buf : nullptr;
  std::size_t i = 0;
  for (int v : cur) a.CurrentTaskFile[i++] = static_cast<std::uint8_t>(v);
  i = 0;
  for (int v : prev) a.PreviousTaskFile[i++] = static_cast<std::uint8_t>(v);
  if (Control(path, win::IOCTL_ATA_PASS_THROUGH_DIRECT, a, r.error)) {
    std::memcpy(r.regs, a.CurrentTaskFile, 8);
    r.transferred = a.DataTransferLength;
  }
  return r;
}
inline AtaResult AtaIdentify(const std::string& path, std::vector<std::uint8_t>& id) {
  return SendAta(path, {0, 1, 0, 0, 0, 0xA0, 0xEC}, win::ATA_FLAGS_DATA_IN, id.data(), 512);
}

// A site on virtual time with one powered, ready drive in slot 1.
class SiteTest : public ::testing::Test {
 protected:
  platform::ScopedClock clock_{platform::MakeVirtualClock()};
  std::shared_ptr<Site> site_ = Site::Create();
  std::shared_ptr<Drive> drive_ = std::make_shared<Drive>(SiteDriveConfig());

  void SetUp() override {
    drive_->PowerOn();
    Advance(1000);
    site_->SetDrive(1, drive_);
  }
  void TearDown() override { site_->Uninstall(); }

  static void Advance(std::uint64_t ms) { platform::Clock().SleepMs(ms); }
};

// The key and the vendor-mode entry as SAT non-data commands.
inline std::vector<std::uint8_t> SignatureCdb(const std::array<std::uint8_t, 6>& k = kx::kApKeySignature) {
  return Cdb({0xA1, 0x06, 0x00, 0x00, k[0], k[1], k[2], k[3], k[4], k[5]});
}

// Sense helpers (fixed or descriptor format).
inline std::uint8_t SenseKey(const std::vector<std::uint8_t>& s) {
  if (s.size() < 3) return 0;
  return (s[0] & 0x7F) >= 0x72 ? (s[1] & 0x0F) : s[2] & 0x0F;
}
inline std::uint8_t SenseAsc(const std::vector<std::uint8_t>& s) {
  if (s.empty()) return 0;
  return (s[0] & 0x7F) >= 0x72 ? s[2] : (s.size() > 12 ? s[12] : 0);
}
// The ATA status return descriptor inside descriptor sense, or nullptr.
inline const std::uint8_t* AtaDescriptor(const std::vector<std::uint8_t>& s) {
  if (s.size() < 22 || (s[0] & 0x7F) != 0x72 || s[8] != 0x09) return nullptr;
  return s.data() + 8;
}
// ILLEGAL REQUEST, invalid field in CDB: the fixed-format field pointer as
// Field(byte, bit), or -1 when the sense carries none.
constexpr int Field(int byte, int bit = -1) { return byte * 16 + (bit < 0 ? 8 : bit); }
inline int FieldPointer(const std::vector<std::uint8_t>& s) {
  if (s.size() < 18 || s[0] != 0x70 || (s[2] & 0x0F) != 0x05 || (s[15] & 0xC0) != 0xC0) return -1;
  return Field(s[16] << 8 | s[17], (s[15] & 0x08) ? (s[15] & 7) : -1);
}

}  // namespace emu::test
