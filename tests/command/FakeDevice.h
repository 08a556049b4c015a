// A recording device back end for the command layer's tests: it claims every
// "\\.\" path and the fake listing paths "\\?\fake#N", records every open and
// request (with copies of the request blocks and of out-data) and answers by a
// script. Used from the test thread only.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "command/CommandGlobals.h"
#include "command/GetDevLibrary.h"
#include "platform/Clock.h"
#include "platform/DeviceIo.h"
#include "tests/support/SendMode.h"

namespace kxtest {

using B = std::vector<std::uint8_t>;
inline B V(const std::uint8_t* p, std::size_t n) { return B(p, p + n); }
// Bytes padded with zeros to 16.
inline B Bytes(std::initializer_list<int> v) {
  B r;
  for (int b : v) r.push_back(static_cast<std::uint8_t>(b));
  r.resize(16, 0);
  return r;
}

struct Call {
  std::string path;
  win::DWORD code = 0;
  win::SCSI_PASS_THROUGH_DIRECT sptd{};  // IOCTL_SCSI_PASS_THROUGH_DIRECT
  win::ATA_PASS_THROUGH_DIRECT apt{};    // IOCTL_ATA_PASS_THROUGH_DIRECT
  B dataOut;                             // out-data as the device saw it
  B Cdb() const { return V(sptd.Cdb, 16); }
  B Cur() const { return V(apt.CurrentTaskFile, 8); }
  B Prev() const { return V(apt.PreviousTaskFile, 8); }
  bool IsScsi() const { return code == win::IOCTL_SCSI_PASS_THROUGH_DIRECT; }
  bool IsAta() const { return code == win::IOCTL_ATA_PASS_THROUGH_DIRECT; }
};

// Returns the OS error of a request (0 for success) and may change the reply.
// Without a script data-in is filled with 0xA5 and the ATA status is 50h.
using Script = std::function<win::DWORD(const Call&, void* reply)>;
inline Script Fail(win::DWORD error) {
  return [error](const Call&, void*) { return error; };
}
// Fails the first `n` requests with `error`, then succeeds.
inline Script FailFirst(int n, win::DWORD error) {
  return [n, error](const Call&, void*) mutable { return n-- > 0 ? error : win::DWORD{0}; };
}

class FakeBackend : public platform::IDeviceBackend {
 public:
  bool Claims(const std::string& path) const override {
    return path.rfind("\\\\.\\", 0) == 0 || path.rfind("\\\\?\\fake#", 0) == 0;
  }
  win::DWORD Open(const std::string& path, win::DWORD, win::DWORD,
                  std::shared_ptr<platform::IDeviceHandle>& handle) override;
  win::DWORD LogicalDrives() const override { return logicalDrives; }
  win::UINT DriveType(char letter) const override { return cdroms.count(letter) ? win::DRIVE_CDROM : win::DRIVE_FIXED; }
  // Requests other than the dismounts that close every command.
  std::vector<Call> Requests() const {
    std::vector<Call> r;
    for (const auto& c : calls) {
      if (c.code != win::FSCTL_DISMOUNT_VOLUME) r.push_back(c);
    }
    return r;
  }
  int Count(win::DWORD code) const {
    int n = 0;
    for (const auto& c : calls) n += c.code == code;
    return n;
  }

  std::vector<std::string> opens;
  std::vector<Call> calls;
  int openFailures = 0;
  std::set<std::string> missing;
  int openHandles = 0;
  int closes = 0;
  Script script;
  win::DWORD logicalDrives = 0;
  std::set<char> cdroms;
  std::map<std::string, int> deviceNumbers;  // IOCTL_STORAGE_GET_DEVICE_NUMBER answers
};

class FakeHandle : public platform::IDeviceHandle {
 public:
  FakeHandle(FakeBackend& owner, std::string path) : owner_(owner), path_(std::move(path)) { ++owner_.openHandles; }
  ~FakeHandle() override {
    ++owner_.closes;
    --owner_.openHandles;
  }
  win::DWORD IoControl(win::DWORD code, void* in, win::DWORD, void* out, win::DWORD, win::DWORD*) override {
    Call c;
    c.path = path_;
    c.code = code;
    void* data = nullptr;
    std::uint32_t length = 0;
    bool dataIn = true;
    if (c.IsScsi()) {
      c.sptd = static_cast<win::ScsiPassThroughDirectBlock*>(in)->Sptd;
      data = c.sptd.DataBuffer;
      length = c.sptd.DataTransferLength;
      dataIn = c.sptd.DataIn == win::SCSI_IOCTL_DATA_IN;
    } else if (c.IsAta()) {
      c.apt = *static_cast<win::ATA_PASS_THROUGH_DIRECT*>(in);
      data = c.apt.DataBuffer;
      length = c.apt.DataTransferLength;
      dataIn = (c.apt.AtaFlags & win::ATA_FLAGS_DATA_IN) != 0;
      static_cast<win::ATA_PASS_THROUGH_DIRECT*>(out)->CurrentTaskFile[6] = 0x50;
    }
    auto* bytes = static_cast<std::uint8_t*>(data);
    if (data && length && !dataIn) c.dataOut = V(bytes, length);
    owner_.calls.push_back(c);
    if (code == win::FSCTL_DISMOUNT_VOLUME) return 0;
    const B original = data && length && dataIn ? V(bytes, length) : B();  // a failed request moves no data
    if (!original.empty()) std::memset(data, 0xA5, length);
    if (code == win::IOCTL_STORAGE_GET_DEVICE_NUMBER) {
      auto it = owner_.deviceNumbers.find(path_);
      if (it == owner_.deviceNumbers.end()) return win::ERROR_INVALID_FUNCTION;
      static_cast<win::STORAGE_DEVICE_NUMBER*>(out)->DeviceNumber = static_cast<win::DWORD>(it->second);
    }
    const win::DWORD result = owner_.script ? owner_.script(c, out) : 0;
    if (result != 0 && !original.empty()) std::memcpy(data, original.data(), original.size());
    return result;
  }

 private:
  FakeBackend& owner_;
  std::string path_;
};

inline win::DWORD FakeBackend::Open(const std::string& path, win::DWORD, win::DWORD,
                                    std::shared_ptr<platform::IDeviceHandle>& handle) {
  opens.push_back(path);
  if (openFailures > 0 || missing.count(path)) {
    openFailures -= openFailures > 0;
    return win::ERROR_FILE_NOT_FOUND;
  }
  handle = std::make_shared<FakeHandle>(*this, path);
  return 0;
}

// Installs a fresh fake back end, a virtual clock, bridge mode and a listing of
// entries "\\?\fake#1" .. "\\?\fake#3"; puts everything back afterwards.
class Fixture {
 public:
  Fixture() : clock_(platform::MakeVirtualClock(1)) {
    platform::ClearDeviceBackends();
    platform::RegisterDeviceBackend(backend);
    SetSendMode(Mode::Bridge);
    kx::ClearAtaPassThroughOk();
    g_SettingIniPath.clear();
    SetListing(3);
  }
  ~Fixture() { platform::ClearDeviceBackends(); }
  static void SetListing(std::uint32_t n) {
    kx::WithRootDevice([n](kx::RootDeviceRecord& r) {
      r = kx::RootDeviceRecord{};
      r.SetCount(n);
      for (std::uint32_t i = 0; i < n; ++i) r.SetEntry(i, "node", "\\\\?\\fake#" + std::to_string(i + 1));
    });
  }
  std::uint64_t NowMs() { return platform::Clock().NowMs(); }
  Call LastRequest() const { return backend->Requests().back(); }
  // The last request was SCSI with these bytes and length, data in unless there is none.
  void ExpectSent(const B& cdb, std::uint32_t length, int dataIn = win::SCSI_IOCTL_DATA_IN) const {
    const Call c = LastRequest();
    EXPECT_EQ(c.Cdb(), cdb);
    EXPECT_EQ(c.sptd.DataTransferLength, length);
    EXPECT_EQ(c.sptd.DataIn, length == 0 ? win::SCSI_IOCTL_DATA_UNSPECIFIED : dataIn);
  }

  std::shared_ptr<FakeBackend> backend = std::make_shared<FakeBackend>();

 private:
  SavedGlobals saved_;
  platform::ScopedClock clock_;
};

}  // namespace kxtest
