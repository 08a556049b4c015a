// A recording device back end for the command layer's tests: it claims every
// physical-drive, fake listing and volume path, records every open and request
// (with copies of the request blocks and of out-data) and answers by a script.
#pragma once
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "command/CommandGlobals.h"
#include "command/GetDevLibrary.h"
#include "platform/Clock.h"
#include "platform/DeviceIo.h"

namespace kxtest {

struct Call {
  std::string path;
  win::DWORD code = 0;
  win::SCSI_PASS_THROUGH_DIRECT sptd{};  // IOCTL_SCSI_PASS_THROUGH_DIRECT
  win::SCSI_PASS_THROUGH spt{};          // IOCTL_SCSI_PASS_THROUGH
  win::ATA_PASS_THROUGH_DIRECT apt{};    // IOCTL_ATA_PASS_THROUGH_DIRECT
  std::vector<std::uint8_t> dataOut;     // out-data as the device saw it
  std::vector<std::uint8_t> Cdb() const {
    const auto* c = code == win::IOCTL_SCSI_PASS_THROUGH ? spt.Cdb : sptd.Cdb;
    return std::vector<std::uint8_t>(c, c + 16);
  }
  bool IsScsi() const { return code == win::IOCTL_SCSI_PASS_THROUGH_DIRECT; }
  bool IsAta() const { return code == win::IOCTL_ATA_PASS_THROUGH_DIRECT; }
};

class FakeBackend;

class FakeHandle : public platform::IDeviceHandle {
 public:
  FakeHandle(FakeBackend& owner, std::string path) : owner_(owner), path_(std::move(path)) {}
  ~FakeHandle() override;
  win::DWORD IoControl(win::DWORD code, void* in, win::DWORD inSize, void* out, win::DWORD outSize,
                       win::DWORD* returned) override;

 private:
  FakeBackend& owner_;
  std::string path_;
};

// Answers requests; the default fills data-in with 0xA5 and reports success
// (SCSI status 0, ATA status 50h). A script returns an OS error (0 for success)
// and may change the reply.
using Script = std::function<win::DWORD(const Call&, void* reply)>;

class FakeBackend : public platform::IDeviceBackend, public std::enable_shared_from_this<FakeBackend> {
 public:
  bool Claims(const std::string& path) const override {
    return path.rfind("\\\\.\\", 0) == 0 || path.rfind("\\\\?\\fake#", 0) == 0;
  }
  win::DWORD Open(const std::string& path, win::DWORD, win::DWORD,
                  std::shared_ptr<platform::IDeviceHandle>& handle) override {
    std::lock_guard lock(mutex);
    opens.push_back(path);
    if (openFailures > 0) {
      --openFailures;
      return win::ERROR_FILE_NOT_FOUND;
    }
    if (missing.count(path)) return win::ERROR_FILE_NOT_FOUND;
    handle = std::make_shared<FakeHandle>(*this, path);
    ++openHandles;
    return 0;
  }
  win::DWORD LogicalDrives() const override { return logicalDrives; }
  win::UINT DriveType(char letter) const override {
    auto it = driveTypes.find(letter);
    return it == driveTypes.end() ? win::DRIVE_FIXED : it->second;
  }

  // Requests other than dismounts, in order.
  std::vector<Call> Requests() const {
    std::lock_guard lock(mutex);
    std::vector<Call> r;
    for (const auto& c : calls) {
      if (c.code != win::FSCTL_DISMOUNT_VOLUME) r.push_back(c);
    }
    return r;
  }
  int CountCode(win::DWORD code) const {
    std::lock_guard lock(mutex);
    int n = 0;
    for (const auto& c : calls) n += c.code == code;
    return n;
  }

  mutable std::mutex mutex;
  std::vector<std::string> opens;
  std::vector<Call> calls;
  int openFailures = 0;
  std::map<std::string, int> missing;
  int openHandles = 0;
  int closes = 0;
  Script script;
  win::DWORD logicalDrives = 0;
  std::map<char, win::UINT> driveTypes;
  std::map<std::string, int> deviceNumbers;  // path -> IOCTL_STORAGE_GET_DEVICE_NUMBER answer
  std::map<std::string, win::DWORD> refuse;  // "path#code" -> error for volume controls
};

inline FakeHandle::~FakeHandle() {
  std::lock_guard lock(owner_.mutex);
  ++owner_.closes;
  --owner_.openHandles;
}

inline win::DWORD FakeHandle::IoControl(win::DWORD code, void* in, win::DWORD, void* out, win::DWORD,
                                        win::DWORD* returned) {
  Call c;
  c.path = path_;
  c.code = code;
  void* data = nullptr;
  std::uint32_t length = 0;
  bool dataIn = false;
  if (code == win::IOCTL_SCSI_PASS_THROUGH_DIRECT) {
    auto* b = static_cast<win::ScsiPassThroughDirectBlock*>(in);
    c.sptd = b->Sptd;
    data = b->Sptd.DataBuffer;
    length = b->Sptd.DataTransferLength;
    dataIn = b->Sptd.DataIn == win::SCSI_IOCTL_DATA_IN;
  } else if (code == win::IOCTL_SCSI_PASS_THROUGH) {
    auto* b = static_cast<win::ScsiPassThroughBlock*>(in);
    c.spt = b->Spt;
    data = b->Data;
    length = b->Spt.DataTransferLength;
    dataIn = b->Spt.DataIn == win::SCSI_IOCTL_DATA_IN;
  } else if (code == win::IOCTL_ATA_PASS_THROUGH_DIRECT) {
    auto* b = static_cast<win::ATA_PASS_THROUGH_DIRECT*>(in);
    c.apt = *b;
    data = b->DataBuffer;
    length = b->DataTransferLength;
    dataIn = (b->AtaFlags & win::ATA_FLAGS_DATA_IN) != 0;
  }
  if (data && length && !dataIn) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    c.dataOut.assign(p, p + length);
  }
  Script script;
  {
    std::lock_guard lock(owner_.mutex);
    owner_.calls.push_back(c);
    script = owner_.script;
  }
  if (code == win::IOCTL_ATA_PASS_THROUGH_DIRECT) static_cast<win::ATA_PASS_THROUGH_DIRECT*>(out)->CurrentTaskFile[6] = 0x50;
  // A failed request moves no data: keep what was there to restore it.
  std::vector<std::uint8_t> original;
  if (data && length && dataIn) {
    original.assign(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + length);
    std::memset(data, 0xA5, length);
  }
  if (code == win::IOCTL_STORAGE_GET_DEVICE_NUMBER) {
    std::lock_guard lock(owner_.mutex);
    auto it = owner_.deviceNumbers.find(path_);
    if (it == owner_.deviceNumbers.end()) return win::ERROR_INVALID_FUNCTION;
    auto* n = static_cast<win::STORAGE_DEVICE_NUMBER*>(out);
    n->DeviceNumber = static_cast<win::DWORD>(it->second);
    if (returned) *returned = sizeof *n;
  }
  if (code == win::FSCTL_LOCK_VOLUME || code == win::FSCTL_UNLOCK_VOLUME || code == win::FSCTL_DISMOUNT_VOLUME ||
      code == win::IOCTL_DISK_DELETE_DRIVE_LAYOUT || code == win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX) {
    std::lock_guard lock(owner_.mutex);
    auto it = owner_.refuse.find(path_ + "#" + std::to_string(code));
    if (it != owner_.refuse.end()) return it->second;
  }
  if (code == win::FSCTL_DISMOUNT_VOLUME) return 0;  // accepted and ignored on every handle
  const win::DWORD result = script ? script(c, out) : 0;
  if (result != 0 && !original.empty()) std::memcpy(data, original.data(), original.size());
  return result;
}

// Installs a fresh fake back end, a virtual clock and default mode settings.
class Fixture {
 public:
  Fixture() : clock_(platform::MakeVirtualClock(1)) {
    platform::ClearDeviceBackends();
    backend = std::make_shared<FakeBackend>();
    platform::RegisterDeviceBackend(backend);
    g_KX_U2A = 1;
    g_SataPortMode = 0;
    kx::ClearAtaPassThroughOk();
    g_SettingIniPath.clear();
    SetListing(3);
  }
  ~Fixture() {
    platform::ClearDeviceBackends();
    g_KX_U2A = 1;
    g_SataPortMode = 0;
    kx::ClearAtaPassThroughOk();
    g_SettingIniPath.clear();
    SetListing(0);
  }
  // Entries "\\?\fake#1" .. "\\?\fake#n".
  static void SetListing(std::uint32_t n) {
    kx::WithRootDevice([n](kx::RootDeviceRecord& r) {
      r = kx::RootDeviceRecord{};
      r.SetCount(n);
      for (std::uint32_t i = 0; i < n && i < kx::kRootDeviceMaxEntries; ++i) {
        r.SetEntry(i, "node" + std::to_string(i + 1), "\\\\?\\fake#" + std::to_string(i + 1));
      }
    });
  }
  std::uint64_t NowMs() { return platform::Clock().NowMs(); }

  std::shared_ptr<FakeBackend> backend;

 private:
  platform::ScopedClock clock_;
};

inline std::vector<std::uint8_t> Bytes(std::initializer_list<int> v) {
  std::vector<std::uint8_t> r;
  for (int b : v) r.push_back(static_cast<std::uint8_t>(b));
  r.resize(16, 0);
  return r;
}

}  // namespace kxtest
