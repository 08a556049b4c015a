// What the golden rows cannot show: members whose sends depend on the mode in
// their own way, reply checks, waits and retries, IDENTIFY's path decision, the
// access key's forms and the refusal of arguments that do not fit the registers.
#include <gtest/gtest.h>

#include "command/DriveCommand.h"
#include "platform/Debug.h"
#include "protocol/KxSignatures.h"
#include "tests/command/FakeDevice.h"
#include "tests/support/SendMode.h"

using kxtest::B;
using kxtest::Bytes;
using kxtest::Call;
using kxtest::Fail;
using kxtest::FailFirst;
using kxtest::Mode;
using kxtest::SetSendMode;

namespace {

class MemberRulesTest : public ::testing::Test, public kxtest::Fixture {
 protected:
  // Answers every SCSI data-in request with `reply_`.
  void Reply() {
    backend->script = [this](const Call&, void* out) {
      std::memcpy(static_cast<win::ScsiPassThroughDirectBlock*>(out)->Sptd.DataBuffer, reply_.data(), 16);
      return win::DWORD{0};
    };
  }
  CDriveCommand cmd_{2};
  std::uint8_t buf_[528] = {};
  B reply_ = B(16, 0);
};

TEST_F(MemberRulesTest, TesterPowerAndCurrentRules) {
  // card reset and current record exist only on a tester board
  EXPECT_TRUE(cmd_.PowerResetCard(32, 0, 1, true));
  EXPECT_TRUE(cmd_.ClearCurrentBuffer());
  EXPECT_TRUE(backend->Requests().empty());
  SetSendMode(Mode::TesterDirect);
  EXPECT_TRUE(cmd_.PowerResetCard(32, 5, 1, true));
  ExpectSent(Bytes({0x08, 0xF2, 0x85, 32, 0x00, 5, 1, 0x00, 1}), 0);
  EXPECT_TRUE(cmd_.ClearCurrentBuffer());
  ExpectSent(Bytes({0x08, 0xF2, 0x50, 0x24, 0x01, 0, 0, 0, 0, 0, 0, 0x01}), 16);

  // the tester reset waits 100 ms after a success only
  auto t0 = NowMs();
  EXPECT_TRUE(cmd_.PowerResetTester(32));
  EXPECT_EQ(NowMs() - t0, 100u);
  backend->script = Fail(win::ERROR_IO_DEVICE);
  t0 = NowMs();
  EXPECT_FALSE(cmd_.PowerResetTester(32));
  EXPECT_EQ(NowMs() - t0, 0u);

  // the page buffer is cleared first, so a failed read leaves zeros
  std::memset(buf_, 0x33, sizeof buf_);
  EXPECT_FALSE(cmd_.ReadUSBPage(buf_, sizeof buf_));
  EXPECT_EQ(B(buf_, buf_ + sizeof buf_), B(sizeof buf_, 0));

  // the voltage adjustment succeeds only with reply bytes 10 to 12 all zero
  EXPECT_FALSE(cmd_.AdjustCardVoltage(53));
  Reply();
  std::fill(reply_.begin(), reply_.end(), 0x77);
  reply_[10] = reply_[11] = reply_[12] = 0;
  EXPECT_TRUE(cmd_.AdjustCardVoltage(53));
  ExpectSent(Bytes({0x08, 0xF2, 0x50, 0x18, 53, 0, 0, 0, 0, 0, 0, 0x01}), 16);
  for (int i : {10, 11, 12}) {
    reply_[i] = 1;
    EXPECT_FALSE(cmd_.AdjustCardVoltage(53)) << i;
    reply_[i] = 0;
  }
}

TEST_F(MemberRulesTest, CardDetectByMode) {
  // bridge: the response information, 14 bytes even into a 16-byte buffer
  EXPECT_TRUE(cmd_.CardDetect(buf_, 16));
  ExpectSent(Bytes({0xA1, 0x1E, 0x2E, 0x00, 0x01}), 14);
  EXPECT_EQ(buf_[13], 0xA5);
  EXPECT_EQ(buf_[14], 0x00);
  EXPECT_FALSE(cmd_.CardDetect(buf_, 8));  // too small for the reply: refused
  // tester-direct: the card-detect bytes themselves, 16 bytes read
  SetSendMode(Mode::TesterDirect);
  EXPECT_TRUE(cmd_.CardDetect(buf_, 16));
  ExpectSent(Bytes({0x08, 0xF2, 0x50, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x01}), 16);
  EXPECT_FALSE(cmd_.CardDetect(buf_, 15));
  // SATA port: the vendor-mode entry instead, the buffer untouched
  const auto& s = kx::kVendorModeSignature;
  SetSendMode(Mode::SataPort);
  std::memset(buf_, 0x11, 16);
  EXPECT_TRUE(cmd_.CardDetect(buf_, 16));
  ExpectSent(Bytes({0xA1, 0x06, 0x00, 0x00, s[0], s[1], s[2], s[3], s[4], s[5]}), 0);
  EXPECT_EQ(kxtest::V(cmd_.m_Cdb, 16), LastRequest().Cdb());
  kx::SetAtaPassThroughOk(2, true);
  EXPECT_TRUE(cmd_.CardDetect(buf_, 16));
  ASSERT_TRUE(LastRequest().IsAta());
  EXPECT_EQ(LastRequest().Cur(), B({0x00, s[0], s[1], s[2], s[3], s[4], s[5], 0x00}));
  EXPECT_EQ(cmd_.m_RetTaskFile[6], 0x50);
  EXPECT_EQ(buf_[0], 0x11);
}

TEST_F(MemberRulesTest, DeviceSleepLinesReadFourteenBytesBehindABridge) {
  // DEVSLP lines: rewritten with 14 bytes read behind a bridge, raw without data on a tester
  for (auto member : {&CDriveCommand::DEVSLP_IO_Control, &CDriveCommand::DEVSLP_SET_Feature}) {
    SetSendMode(Mode::Bridge);
    EXPECT_TRUE((cmd_.*member)(true));
    ExpectSent(Bytes({0xA1, 0x1E, 0x2E, 0x01, 0x01, 0, 0, 0, 0, 0xEF}), 14);
    SetSendMode(Mode::TesterDirect);
    EXPECT_TRUE((cmd_.*member)(false));
    ExpectSent(Bytes({0x08, 0xF2, 0x50, member == &CDriveCommand::DEVSLP_IO_Control ? 0x05 : 0x06, 0x00}), 0);
  }
}

TEST_F(MemberRulesTest, IdentifyDecidesTheAtaPassThroughFlag) {
  platform::DebugCapture debug;
  std::uint8_t id[512];
  const auto sat = Bytes({0xA1, 0x08, 0x0E, 0x00, 0x01, 0, 0, 0, 0, 0xEC});
  // SATA port, ATA pass-through works: flag 1 (a bridge's IDENTIFY is the SCSI one below)
  SetSendMode(Mode::SataPort);
  EXPECT_TRUE(cmd_.GetIdentify(id));
  ASSERT_EQ(backend->Requests().size(), 1u);
  EXPECT_EQ(LastRequest().Cur(), B({0, 1, 0, 0, 0, 0, 0xEC, 0}));
  EXPECT_TRUE(kx::AtaPassThroughOk(2));
  // ATA pass-through refused: SCSI once, flag 0
  backend->script = [](const Call& c, void*) { return c.IsAta() ? win::ERROR_INVALID_FUNCTION : win::DWORD{0}; };
  backend->calls.clear();
  EXPECT_TRUE(cmd_.GetIdentify(id));
  auto r = backend->Requests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_TRUE(r[0].IsAta());
  EXPECT_EQ(r[1].Cdb(), sat);
  EXPECT_FALSE(kx::AtaPassThroughOk(2));
  // both refused: FALSE, and the flag keeps its value
  kx::SetAtaPassThroughOk(2, true);
  backend->script = Fail(win::ERROR_INVALID_FUNCTION);
  EXPECT_FALSE(cmd_.GetIdentify(id));
  EXPECT_TRUE(kx::AtaPassThroughOk(2));
  // tester-direct: the tester form itself goes to the board, and its failure counts
  SetSendMode(Mode::TesterDirect);
  backend->script = nullptr;
  EXPECT_TRUE(cmd_.GetIdentify(id));
  ExpectSent(Bytes({0x08, 0xF2, 0x71, 0x01, 0xEC, 0x00, 0x01, 0, 0, 0, 0, 0x01}), 512);
  EXPECT_EQ(LastRequest().path, "\\\\.\\PhysicalDrive2");
  backend->script = Fail(win::ERROR_SEM_TIMEOUT);
  EXPECT_FALSE(cmd_.GetIdentify(id));
  EXPECT_EQ(cmd_.m_LastError, 121u);
  // one debugger line per successful IDENTIFY, with the flag it leaves
  EXPECT_EQ(debug.Texts(), std::vector<std::string>({"port-2 - 1", "port-2 - 0", "port-2 - 1"}));
}

TEST_F(MemberRulesTest, AccessKeyInEachForm) {
  const auto& s = kx::kApKeySignature;
  // bridge, and SATA port with flag 0: SAT ATA PASS-THROUGH (12), no data
  for (Mode m : {Mode::Bridge, Mode::SataPort}) {
    SetSendMode(m);
    EXPECT_EQ(cmd_.SetApKey(false), 1);
    ExpectSent(Bytes({0xA1, 0x06, 0x00, 0x00, s[0], s[1], s[2], s[3], s[4], s[5]}), 0);
  }
  // SATA port, flag 1: the task file carries features 0 and the signature
  kx::SetAtaPassThroughOk(2, true);
  EXPECT_EQ(cmd_.SetApKey(true), 1);
  EXPECT_EQ(LastRequest().Cur(), B({0x00, s[0], s[1], s[2], s[3], s[4], s[5], 0x00}));
  EXPECT_EQ(LastRequest().apt.AtaFlags, 0x01);
  backend->script = Fail(win::ERROR_IO_DEVICE);
  EXPECT_EQ(cmd_.SetApKey(false), 0);
  // tester-direct: the tester's own register order; a wanted reply must show 01 01 .. 50
  SetSendMode(Mode::TesterDirect);
  backend->script = nullptr;
  EXPECT_EQ(cmd_.SetApKey(false), 1);
  ExpectSent(Bytes({0x08, 0xF2, 0x71, 0x00, s[5], 0x00, s[0], s[1], s[2], s[3], s[4], 0x00}), 0);
  Reply();
  reply_[1] = reply_[2] = 0x01;
  reply_[6] = 0x50;
  EXPECT_EQ(cmd_.SetApKey(true), 1);
  ExpectSent(Bytes({0x08, 0xF2, 0x71, 0x00, s[5], 0x00, s[0], s[1], s[2], s[3], s[4], 0x01}), 16);
  for (int i : {1, 2, 6}) {
    const auto keep = reply_[i];
    reply_[i] = 0x51;
    EXPECT_EQ(cmd_.SetApKey(true), 2) << i;
    reply_[i] = keep;
  }
  backend->script = Fail(win::ERROR_SEM_TIMEOUT);
  EXPECT_EQ(cmd_.SetApKey(true), 0);
}

TEST_F(MemberRulesTest, SetScanBadParameterRetriesTenTimes100msApart) {
  auto t0 = NowMs();
  EXPECT_TRUE(cmd_.SetScanBadParameter(buf_));
  EXPECT_EQ(NowMs() - t0, 200u);  // at least 200 ms even on the first success
  EXPECT_EQ(backend->Requests().size(), 1u);
  backend->script = FailFirst(3, win::ERROR_IO_DEVICE);
  EXPECT_TRUE(cmd_.SetScanBadParameter(buf_));
  EXPECT_EQ(backend->Requests().size(), 5u);
  backend->script = Fail(win::ERROR_IO_DEVICE);
  t0 = NowMs();
  EXPECT_FALSE(cmd_.SetScanBadParameter(buf_));
  EXPECT_EQ(backend->Requests().size(), 15u);
  EXPECT_EQ(NowMs() - t0, 1100u);
}

TEST_F(MemberRulesTest, SatDeviceResetLooksOnlyAtTheSecondSend) {
  backend->script = FailFirst(1, win::ERROR_INVALID_FUNCTION);
  EXPECT_TRUE(cmd_.SatDeviceReset());
  const auto r = backend->Requests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].Cdb(), Bytes({0x85, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x08}));
  EXPECT_EQ(r[0].sptd.DataIn, win::SCSI_IOCTL_DATA_UNSPECIFIED);
  ExpectSent(Bytes({0x85, 0x1E}), 50, win::SCSI_IOCTL_DATA_OUT);
  EXPECT_EQ(r[1].dataOut, B(50, 0));
  backend->script = [](const Call& c, void*) { return c.Cdb()[1] == 0x1E ? win::ERROR_IO_DEVICE : win::DWORD{0}; };
  EXPECT_FALSE(cmd_.SatDeviceReset());
}

TEST_F(MemberRulesTest, ArgumentsOutsideTheRegistersAreRefusedWithoutSending) {
  std::vector<std::uint8_t> b(300 * 512);
  auto* p = b.data();
  for (Mode m : {Mode::Bridge, Mode::TesterDirect}) {
    SetSendMode(m);
    EXPECT_FALSE(cmd_.ReadSectors(p, 512, 1u << 28));  // beyond 28 bits
    EXPECT_EQ(cmd_.m_LastError, win::ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(cmd_.WriteDma(p, 512, 0xF0000000));
    EXPECT_FALSE(cmd_.DMA_Read_DDR(p, 1, 0x10000000));
    EXPECT_FALSE(cmd_.SET_MAX_ADDRESS(0x10000000, false));
    EXPECT_FALSE(cmd_.ReadSectors(p, 257 * 512, 0));  // more than the count byte holds
    EXPECT_FALSE(cmd_.ReadSectors(p, 0, 0));
    EXPECT_FALSE(cmd_.ReadSectors(p, 100, 0));  // not whole sectors
    EXPECT_FALSE(cmd_.ReadSectorsDma(p, 0, 0));
    EXPECT_FALSE(cmd_.ReadSectorsExt(p, 65537u * 512, 0, 0));
    EXPECT_FALSE(cmd_.ReadSectorsExt16(p, 0, 0, 0));
    EXPECT_FALSE(cmd_.ReadDmaExt16(p, 1, 0, 0x10000));  // LBA beyond 48 bits
    EXPECT_FALSE(cmd_.WriteBBT(p, 1, 0, 0x10000u * 512));  // offset beyond 16 bits of sectors
    EXPECT_FALSE(cmd_.Write3rdBBT(p, 1, 0, 0x10000u * 512));
  }
  EXPECT_TRUE(backend->Requests().empty());
  // the refused block stays for the fail report, with LBA bits 27:24 only
  EXPECT_FALSE(cmd_.ReadSectors(p, 512, 0x1F000000));
  EXPECT_EQ(cmd_.m_Cdb[10], 0xEF);
}

}  // namespace
