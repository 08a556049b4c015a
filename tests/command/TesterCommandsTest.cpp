// Tester vendor commands (08 F2 family): bytes, data, mode rules and replies.
#include <gtest/gtest.h>

#include "platform/KxSignatures.h"
#include "command/DriveCommand.h"
#include "tests/command/FakeDevice.h"

using kxtest::Bytes;
using kxtest::Call;

namespace {

class TesterCommandsTest : public ::testing::Test, public kxtest::Fixture {
 protected:
  // Sends one member in bridge and tester-direct mode and checks it went raw.
  void ExpectRaw(const std::function<bool(CDriveCommand&)>& call, const std::vector<std::uint8_t>& cdb,
                 std::uint32_t length) {
    for (int u2a : {1, 0}) {
      g_KX_U2A = static_cast<std::uint8_t>(u2a);
      CDriveCommand cmd(2);
      backend->calls.clear();
      EXPECT_TRUE(call(cmd));
      auto r = backend->Requests();
      ASSERT_EQ(r.size(), 1u);
      EXPECT_EQ(r[0].Cdb(), cdb);
      EXPECT_EQ(r[0].sptd.DataTransferLength, length);
      EXPECT_EQ(r[0].sptd.DataIn, length ? win::SCSI_IOCTL_DATA_IN : win::SCSI_IOCTL_DATA_UNSPECIFIED);
      EXPECT_EQ(r[0].sptd.TimeOutValue, 30u);
      EXPECT_EQ(r[0].path, u2a ? "\\\\?\\fake#2" : "\\\\.\\PhysicalDrive2");
    }
  }
  std::uint8_t buf_[528] = {};
};

TEST_F(TesterCommandsTest, RawMembersGoldenBytes) {
  ExpectRaw([&](CDriveCommand& c) { return c.ReadUSBPage(buf_, 528); }, Bytes({0x08, 0xF2, 0xA0}), 528);
  ExpectRaw([&](CDriveCommand& c) { return c.GetTesterFWVersion(buf_, 99); },
            Bytes({0x08, 0xF2, 0x50, 0x30, 0xFF, 0, 0, 0, 0, 0, 0, 0x01}), 16);
  ExpectRaw([&](CDriveCommand& c) { return c.Power_Ground_Short(buf_, 16); },
            Bytes({0x08, 0xF2, 0x99, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}), 16);
  ExpectRaw([&](CDriveCommand& c) { return c.PowerResetTester(48); }, Bytes({0x08, 0xF2, 0x90, 0x80, 0x00, 48}), 0);
  ExpectRaw([&](CDriveCommand& c) { return c.SetCardPower(1, 53, 1, 2, 77); },
            Bytes({0x08, 0xF2, 0x84, 1, 53, 1, 2, 0x00, 0x01}), 0);
  ExpectRaw([&](CDriveCommand& c) { return c.GetMaxCurrent(buf_, 16); },
            Bytes({0x08, 0xF2, 0x50, 0x24, 0x00, 0, 0, 0, 0, 0, 0, 0x01}), 16);
  ExpectRaw([&](CDriveCommand& c) { return c.GetCardCurrent(buf_, 16); },
            Bytes({0x08, 0xF2, 0x50, 0x20, 0x00, 0, 0, 0, 0, 0, 0, 0x01}), 16);
  ExpectRaw([&](CDriveCommand& c) { return c.TestUnitReady(); }, Bytes({}), 0);
}

TEST_F(TesterCommandsTest, CardPowerAndCurrentRecordOnlyOnATesterBoard) {
  CDriveCommand cmd(2);
  EXPECT_TRUE(cmd.PowerResetCard(32, 0, 1, true));
  EXPECT_TRUE(cmd.ClearCurrentBuffer());
  EXPECT_TRUE(backend->Requests().empty());
  g_KX_U2A = 0;
  EXPECT_TRUE(cmd.PowerResetCard(32, 5, 1, true));
  EXPECT_EQ(backend->Requests().back().Cdb(), Bytes({0x08, 0xF2, 0x85, 32, 0x00, 5, 1, 0x00, 1}));
  EXPECT_EQ(backend->Requests().back().sptd.DataIn, win::SCSI_IOCTL_DATA_UNSPECIFIED);
  EXPECT_TRUE(cmd.PowerResetCard(35, 0, 0, false));
  EXPECT_EQ(backend->Requests().back().Cdb()[8], 0);
  EXPECT_TRUE(cmd.ClearCurrentBuffer());
  EXPECT_EQ(backend->Requests().back().Cdb(), Bytes({0x08, 0xF2, 0x50, 0x24, 0x01, 0, 0, 0, 0, 0, 0, 0x01}));
  EXPECT_EQ(backend->Requests().back().sptd.DataTransferLength, 16u);
}

TEST_F(TesterCommandsTest, PowerResetTesterWaitsOnlyAfterSuccess) {
  CDriveCommand cmd(1);
  auto t0 = NowMs();
  EXPECT_TRUE(cmd.PowerResetTester(32));
  EXPECT_EQ(NowMs() - t0, 100u);
  backend->script = [](const Call&, void*) { return win::ERROR_IO_DEVICE; };
  t0 = NowMs();
  EXPECT_FALSE(cmd.PowerResetTester(32));
  EXPECT_EQ(NowMs() - t0, 0u);
}

TEST_F(TesterCommandsTest, AdjustCardVoltageChecksItsReply) {
  CDriveCommand cmd(1);
  std::uint8_t b10 = 0, b11 = 0, b12 = 0;
  backend->script = [&](const Call&, void* out) {
    auto* b = static_cast<win::ScsiPassThroughDirectBlock*>(out);
    auto* d = static_cast<std::uint8_t*>(b->Sptd.DataBuffer);
    std::memset(d, 0x77, 16);
    d[10] = b10;
    d[11] = b11;
    d[12] = b12;
    return win::DWORD{0};
  };
  EXPECT_TRUE(cmd.AdjustCardVoltage(53));
  EXPECT_EQ(backend->Requests().back().Cdb(), Bytes({0x08, 0xF2, 0x50, 0x18, 53, 0, 0, 0, 0, 0, 0, 0x01}));
  EXPECT_EQ(backend->Requests().back().sptd.DataTransferLength, 16u);
  b12 = 1;
  EXPECT_FALSE(cmd.AdjustCardVoltage(53));
  b12 = 0;
  b10 = 2;
  EXPECT_FALSE(cmd.AdjustCardVoltage(53));
  b10 = 0;
  backend->script = [](const Call&, void*) { return win::ERROR_IO_DEVICE; };
  EXPECT_FALSE(cmd.AdjustCardVoltage(53));
}

TEST_F(TesterCommandsTest, ReadUSBPageClearsTheBufferFirst) {
  CDriveCommand cmd(1);
  std::memset(buf_, 0x33, sizeof buf_);
  backend->script = [](const Call&, void*) { return win::ERROR_IO_DEVICE; };
  EXPECT_FALSE(cmd.ReadUSBPage(buf_, sizeof buf_));
  EXPECT_TRUE(std::all_of(std::begin(buf_), std::end(buf_), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(TesterCommandsTest, CardDetectByMode) {
  CDriveCommand cmd(2);
  // bridge: response information, 14 bytes even for a 16-byte buffer
  std::memset(buf_, 0, sizeof buf_);
  EXPECT_TRUE(cmd.CardDetect(buf_, 16));
  auto c = backend->Requests().back();
  EXPECT_EQ(c.Cdb(), Bytes({0xA1, 0x1E, 0x2E, 0x00, 0x01}));
  EXPECT_EQ(c.sptd.DataTransferLength, 14u);
  EXPECT_EQ(c.sptd.DataIn, win::SCSI_IOCTL_DATA_IN);
  EXPECT_EQ(buf_[13], 0xA5);
  EXPECT_EQ(buf_[14], 0x00);
  EXPECT_FALSE(cmd.CardDetect(buf_, 8));  // too small for the reply

  // tester-direct: the card-detect bytes themselves, 16 bytes read
  g_KX_U2A = 0;
  EXPECT_TRUE(cmd.CardDetect(buf_, 16));
  c = backend->Requests().back();
  EXPECT_EQ(c.Cdb(), Bytes({0x08, 0xF2, 0x50, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x01}));
  EXPECT_EQ(c.sptd.DataTransferLength, 16u);
  EXPECT_EQ(c.path, "\\\\.\\PhysicalDrive2");

  // SATA port: vendor-mode entry instead, buffer untouched
  const auto& s = kx::kVendorModeSignature;
  g_KX_U2A = 1;
  g_SataPortMode = 1;
  std::memset(buf_, 0x11, 16);
  EXPECT_TRUE(cmd.CardDetect(buf_, 16));
  c = backend->Requests().back();
  EXPECT_EQ(c.Cdb(), Bytes({0xA1, 0x06, 0x00, 0x00, s[0], s[1], s[2], s[3], s[4], s[5]}));
  EXPECT_EQ(c.sptd.DataIn, win::SCSI_IOCTL_DATA_UNSPECIFIED);
  std::uint8_t last[16];
  cmd.GetLastCommand(last, nullptr);
  EXPECT_EQ(std::vector<std::uint8_t>(last, last + 16), c.Cdb());
  kx::SetAtaPassThroughOk(2, true);
  EXPECT_TRUE(cmd.CardDetect(buf_, 16));
  c = backend->Requests().back();
  ASSERT_TRUE(c.IsAta());
  EXPECT_EQ(std::vector<std::uint8_t>(c.apt.CurrentTaskFile, c.apt.CurrentTaskFile + 8),
            std::vector<std::uint8_t>({0x00, s[0], s[1], s[2], s[3], s[4], s[5], 0x00}));
  EXPECT_EQ(cmd.m_RetTaskFile[6], 0x50);
  EXPECT_EQ(buf_[0], 0x11);
}

TEST_F(TesterCommandsTest, FirmwareNameAndDeviceSleepLines) {
  CDriveCommand cmd(2);
  std::uint8_t name[16];
  const auto fwName = Bytes({0x08, 0xF2, 0x50, 0x60, 0x01});
  // GetICFWName: never rewritten; ATA pass-through as a 48-bit DMA read when it works
  for (int u2a : {1, 0}) {
    g_KX_U2A = static_cast<std::uint8_t>(u2a);
    EXPECT_TRUE(cmd.GetICFWName(name));
    EXPECT_EQ(backend->Requests().back().Cdb(), fwName);
    EXPECT_EQ(backend->Requests().back().sptd.DataTransferLength, 16u);
  }
  g_KX_U2A = 1;
  g_SataPortMode = 1;
  EXPECT_TRUE(cmd.GetICFWName(name));
  EXPECT_TRUE(backend->Requests().back().IsScsi());
  kx::SetAtaPassThroughOk(2, true);
  EXPECT_TRUE(cmd.GetICFWName(name));
  auto a = backend->Requests().back().apt;
  EXPECT_EQ(a.AtaFlags, 0x01 | 0x02 | 0x08 | 0x10);
  EXPECT_EQ(a.CurrentTaskFile[6], 0x60);
  EXPECT_EQ(a.CurrentTaskFile[1], 0x01);
  EXPECT_EQ(a.DataTransferLength, 16u);

  // DisableDEVSLP: ATA pass-through command 05h count 2, no data
  EXPECT_TRUE(cmd.DisableDEVSLP(2));
  a = backend->Requests().back().apt;
  EXPECT_EQ(a.AtaFlags, 0x01 | 0x08);
  EXPECT_EQ(a.CurrentTaskFile[6], 0x05);
  EXPECT_EQ(a.CurrentTaskFile[1], 0x02);
  kx::SetAtaPassThroughOk(2, false);
  EXPECT_TRUE(cmd.DisableDEVSLP(2));
  EXPECT_EQ(backend->Requests().back().Cdb(), Bytes({0xA1, 0x1E, 0x2E, 0x02, 0x01, 0, 0, 0, 0, 0xEF}));
  EXPECT_EQ(backend->Requests().back().sptd.DataIn, win::SCSI_IOCTL_DATA_UNSPECIFIED);
  g_SataPortMode = 0;
  EXPECT_TRUE(cmd.DisableDEVSLP(2));
  EXPECT_EQ(backend->Requests().back().Cdb()[0], 0xA1);
  g_KX_U2A = 0;  // tester-direct: sent as built
  EXPECT_TRUE(cmd.DisableDEVSLP(2));
  EXPECT_EQ(backend->Requests().back().Cdb(), Bytes({0x08, 0xF2, 0x50, 0x05, 0x02}));

  // DEVSLP lines: rewritten and 14 bytes read behind a bridge, raw without data on a tester
  for (auto member : {&CDriveCommand::DEVSLP_IO_Control, &CDriveCommand::DEVSLP_SET_Feature}) {
    g_KX_U2A = 1;
    EXPECT_TRUE((cmd.*member)(true));
    EXPECT_EQ(backend->Requests().back().Cdb(), Bytes({0xA1, 0x1E, 0x2E, 0x01, 0x01, 0, 0, 0, 0, 0xEF}));
    EXPECT_EQ(backend->Requests().back().sptd.DataTransferLength, 14u);
    g_KX_U2A = 0;
    EXPECT_TRUE((cmd.*member)(false));
    const std::uint8_t code = member == &CDriveCommand::DEVSLP_IO_Control ? 0x05 : 0x06;
    EXPECT_EQ(backend->Requests().back().Cdb(), Bytes({0x08, 0xF2, 0x50, code, 0x00}));
    EXPECT_EQ(backend->Requests().back().sptd.DataIn, win::SCSI_IOCTL_DATA_UNSPECIFIED);
  }
}

}  // namespace
