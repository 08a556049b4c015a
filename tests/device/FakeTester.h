// A scripted tester board on "\\.\PhysicalDrive<n>" for report tests: it
// answers card detect and the tester page with set bytes and fails chosen
// requests with a chosen operating-system error.
#pragma once
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "platform/DeviceIo.h"

class FakeTester : public platform::IDeviceBackend, public std::enable_shared_from_this<FakeTester> {
 public:
  explicit FakeTester(int physicalDrive) : path_("\\\\.\\PhysicalDrive" + std::to_string(physicalDrive)) {}

  std::array<std::uint8_t, 16> cardReply{};
  std::array<std::uint8_t, 528> page{};
  bool pageFails = false;
  int failNext = 0;
  win::DWORD failError = win::ERROR_SEM_TIMEOUT;

  bool Claims(const std::string& path) const override { return path == path_; }
  win::DWORD Open(const std::string&, win::DWORD, win::DWORD, std::shared_ptr<platform::IDeviceHandle>& h) override {
    h = std::make_shared<Handle>(shared_from_this());
    return 0;
  }

 private:
  struct Handle : platform::IDeviceHandle {
    explicit Handle(std::shared_ptr<FakeTester> t) : tester(std::move(t)) {}
    win::DWORD IoControl(win::DWORD code, void* in, win::DWORD, void*, win::DWORD, win::DWORD* returned) override {
      if (returned) *returned = 0;
      if (code != win::IOCTL_SCSI_PASS_THROUGH_DIRECT) return 0;  // dismount and the like
      auto* block = static_cast<win::ScsiPassThroughDirectBlock*>(in);
      auto& spt = block->Sptd;
      std::array<std::uint8_t, 16> cdb;
      std::memcpy(cdb.data(), spt.Cdb, 16);
      if (tester->failNext > 0) {
        --tester->failNext;
        return tester->failError;
      }
      spt.ScsiStatus = 0;
      if (cdb[0] == 0x08 && cdb[1] == 0xF2 && cdb[2] == 0x50 && cdb[3] == 0x00 && spt.DataBuffer)
        std::memcpy(spt.DataBuffer, tester->cardReply.data(), std::min<std::size_t>(16, spt.DataTransferLength));
      if (cdb[0] == 0x08 && cdb[1] == 0xF2 && cdb[2] == 0xA0 && spt.DataBuffer) {
        if (tester->pageFails) return win::ERROR_GEN_FAILURE;
        std::memcpy(spt.DataBuffer, tester->page.data(), std::min<std::size_t>(528, spt.DataTransferLength));
      }
      return 0;
    }
    std::shared_ptr<FakeTester> tester;
  };
  std::string path_;
};
