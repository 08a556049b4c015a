// The send path (open per command, SCSI pass-through, retries, dismount and
// close), the SAT rewrite and the ATA pass-through sender.
#include <gtest/gtest.h>

#include "command/DriveCommand.h"
#include "platform/Profile.h"
#include "protocol/KxSignatures.h"
#include "tests/command/FakeDevice.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

using kxtest::B;
using kxtest::Bytes;
using kxtest::Call;
using kxtest::Fail;
using kxtest::V;

namespace {

// Each OS error the front end gives, on a bridge: 31 goes again 50 ms later, ten
// sends in all; any other error ends the command at once.
TEST(SendRetryTest, OsErrorTable) {
  struct Row {
    std::uint32_t failures;
    win::DWORD error;
    int result;
    std::uint32_t lastError;
    std::size_t sends;
    std::uint64_t ms;
  };
  const Row rows[] = {
      {10, win::ERROR_GEN_FAILURE, kx::kRetriesExhausted, 31, 10, 450},
      {1, win::ERROR_GEN_FAILURE, 0, 0, 2, 50},
      {1, win::ERROR_SEM_TIMEOUT, 121, 121, 1, 0},
      {1, win::ERROR_NOACCESS, kx::kScsiFault, 998, 1, 0},  // a fault inside the request
  };
  std::uint8_t buf[512];
  const std::uint8_t identify[16] = {0x08, 0xF2, 0x71, 0x01, 0xEC, 0x00, 0x01, 0, 0, 0, 0, 0x01};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.error);
    kxtest::EmulatedStation s(kxtest::Mode::Bridge);
    s.FrontEnd().GetFaults().FailNext(row.failures, row.error);
    CDriveCommand& cmd = s.Command();
    const auto t0 = s.Now();
    EXPECT_EQ(cmd.SendCdb(s.DriveNo(), identify, true, buf, 512, 0), row.result);
    EXPECT_EQ(cmd.m_LastError, row.lastError);
    EXPECT_EQ(s.Sent({0x08, 0xF2, 0x71}).size(), row.sends);
    EXPECT_EQ(s.Now() - t0, row.ms);
  }
}

class SendPathTest : public ::testing::Test, public kxtest::Fixture {
 protected:
  int Send(int driveNo, std::uint32_t length = 512, std::uint32_t timeOut = 0, bool in = true) {
    CDriveCommand cmd(driveNo);
    const int r = cmd.SendCdb(driveNo, identify_, in, buf_, length, timeOut);
    lastError_ = cmd.m_LastError;
    return r;
  }
  const std::uint8_t identify_[16] = {0x08, 0xF2, 0x71, 0x01, 0xEC, 0x00, 0x01, 0, 0, 0, 0, 0x01};
  std::uint8_t buf_[4096] = {};
  std::uint32_t lastError_ = 0;
};

TEST_F(SendPathTest, OpensPhysicalDriveOrListingEntryAndDismountsBeforeClose) {
  kxtest::SetSendMode(kxtest::Mode::TesterDirect);
  EXPECT_EQ(Send(3, 512, 7), 0);
  kxtest::SetSendMode(kxtest::Mode::Bridge);
  EXPECT_EQ(Send(3, 512, 7), 0);
  EXPECT_EQ(backend->opens, std::vector<std::string>({"\\\\.\\PhysicalDrive3", "\\\\?\\fake#3"}));
  ASSERT_EQ(backend->calls.size(), 4u);  // each command: request, dismount, close
  EXPECT_EQ(backend->calls[1].code, win::FSCTL_DISMOUNT_VOLUME);
  EXPECT_EQ(backend->closes, 2);
  const auto& s = backend->calls[0].sptd;
  EXPECT_EQ(s.Length, 44);
  EXPECT_EQ(s.CdbLength, 16);
  EXPECT_EQ(s.SenseInfoLength, 24);
  EXPECT_EQ(s.SenseInfoOffset, 48u);
  EXPECT_EQ(s.TimeOutValue, 7u);
  EXPECT_EQ(s.DataBuffer, static_cast<void*>(buf_));
  ExpectSent(V(identify_, 16), 512);
  win::ScsiPassThroughDirectBlock block;
  EXPECT_EQ(CDriveCommand(1).BuildScsiPassThrough(&block, 17, identify_, 1, 0, 0), -1);
}

TEST_F(SendPathTest, DefaultTimeOutComesFromTheParameterFileAtEachCall) {
  kxtest::ScratchFolder folder("SendPathTimeOut");
  EXPECT_EQ(Send(1), 0);  // file missing: 30
  win::WritePrivateProfileString("General Info", "ScsiTimeOut", "45", g_SettingIniPath.c_str());
  win::WritePrivateProfileString("General Info", "ScsiTimeOutMax", "700", g_SettingIniPath.c_str());
  EXPECT_EQ(Send(1), 0);
  EXPECT_EQ(Send(1, 512, 9), 0);  // its own time-out
  EXPECT_TRUE(CDriveCommand(1).ReadBBT(buf_, 1, 0, 0));  // the long one
  const auto r = backend->Requests();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].sptd.TimeOutValue, 30u);
  EXPECT_EQ(r[1].sptd.TimeOutValue, 45u);
  EXPECT_EQ(r[2].sptd.TimeOutValue, 9u);
  EXPECT_EQ(r[3].sptd.TimeOutValue, 700u);
}

TEST_F(SendPathTest, DriveNumbersOutsideTheListingFailTheOpenAfterTenTries) {
  SetListing(2);
  for (int n : {0, -1, 3, 128, 129, 100000}) {
    SCOPED_TRACE(n);
    const auto t0 = NowMs();
    EXPECT_EQ(Send(n), kx::kOpenFailed);
    EXPECT_EQ(NowMs() - t0, 50u);  // 10 tries 5 ms apart
  }
  // a listing that claims more than 128 entries is capped at the table
  kx::WithRootDevice([](kx::RootDeviceRecord& r) { r.SetCount(100000); });
  EXPECT_EQ(Send(129), kx::kOpenFailed);
  EXPECT_EQ(Send(128), kx::kOpenFailed);  // inside the table, but an empty path
  EXPECT_TRUE(backend->opens.empty());
}

TEST_F(SendPathTest, RewriteKnownVectors) {
  CDriveCommand cmd(1);
  auto rw = [&cmd](B in) {
    cmd.TranslateToSat(in.data());
    return in;
  };
  const std::vector<std::pair<B, B>> vectors = {
      {Bytes({0x08, 0xF2, 0x71, 0x01, 0xEC, 0x00, 0x01, 0, 0, 0, 0, 0x01}),
       Bytes({0xA1, 0x08, 0x0E, 0x00, 0x01, 0, 0, 0, 0, 0xEC})},
      // the 48-bit members' own commands are given literally in GoldenBytesTest
      {Bytes({0x08, 0xF2, 0x48, 0x00}), Bytes({0x85, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40})},
      {Bytes({0x08, 0xF2, 0x48, 0x99}), Bytes({0x85, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x99})},
      // no data: a transfer byte takes the place of the count, flags 0E
      {Bytes({0x08, 0xF2, 0x71, 0x00, 0xE7, 0, 0, 0, 0, 0, 0xA0, 0x01}), Bytes({0xA1, 0x06, 0x0E, 0, 1, 0, 0, 0, 0xA0, 0xE7})},
      {Bytes({0x08, 0xF2, 0x71, 0x00, 0xE7, 0, 0, 0, 0, 0, 0xA0, 0x00}), Bytes({0xA1, 0x06, 0x00, 0, 0, 0, 0, 0, 0xA0, 0xE7})},
      {Bytes({0x08, 0xF2, 0x71, 0x03, 0x30, 1, 2, 3, 4, 5, 0xE6, 2}), Bytes({0xA1, 0x0A, 0x06, 1, 2, 3, 4, 5, 0xE6, 0x30})},
      {Bytes({0x08, 0xF2, 0x71, 0x09, 0x31}), Bytes({0xA1, 0x0A, 0x06, 0, 0, 0, 0, 0, 0, 0x31})},
      {Bytes({0x08, 0xF2, 0x71, 0x88, 0xC8}), Bytes({0xA1, 0x14, 0x0E, 0, 0, 0, 0, 0, 0, 0xC8})},
      {Bytes({0x08, 0xF2, 0x71, 0x89, 0xCA}), Bytes({0xA1, 0x16, 0x06, 0, 0, 0, 0, 0, 0, 0xCA})},
      {Bytes({0x08, 0xF2, 0x71, 0x42, 0xCA}), Bytes({0xA1, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0xCA})},
      // tester sub-commands: the response information, features and EFh for a sub-code
      {Bytes({0x08, 0xF2, 0x50, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x01}), Bytes({0xA1, 0x1E, 0x2E, 0x00, 0x01})},
      // anything else stays
      {Bytes({0x08, 0xF2, 0xA0}), Bytes({0x08, 0xF2, 0xA0})},
      {Bytes({0x12, 0, 0, 0, 0x32}), Bytes({0x12, 0, 0, 0, 0x32})},
  };
  for (const auto& [in, out] : vectors) EXPECT_EQ(rw(in), out);
  // with ATA pass-through known to work, 48 and 50 stay and 71 is still rewritten
  kx::SetAtaPassThroughOk(1, true);
  for (const auto& [in, out] : vectors) EXPECT_EQ(rw(in), in[2] == 0x71 ? out : in);
}

TEST_F(SendPathTest, AtaPassThroughFlagCoversEveryListedDriveNumber) {
  for (int n : {0, 24, 25, 128}) {
    EXPECT_FALSE(kx::AtaPassThroughOk(n));
    kx::SetAtaPassThroughOk(n, true);
    EXPECT_TRUE(kx::AtaPassThroughOk(n));
  }
  kx::SetAtaPassThroughOk(129, true);  // outside: ignored, reads as not known
  EXPECT_FALSE(kx::AtaPassThroughOk(129));
  EXPECT_FALSE(kx::AtaPassThroughOk(-1));
}

// The block, and what comes back for each ATA status or OS error: the registers
// (byte 7 cleared) only from a request that went through.
TEST_F(SendPathTest, AtaPassThroughResultTable) {
  CDriveCommand cmd(1);
  std::uint8_t status = 0;
  win::DWORD error = 0;
  backend->script = [&](const Call&, void* out) {
    auto* a = static_cast<win::ATA_PASS_THROUGH_DIRECT*>(out);
    const std::uint8_t cur[8] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, status, 0x77};
    const std::uint8_t prev[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(a->CurrentTaskFile, cur, 8);
    std::memcpy(a->PreviousTaskFile, prev, 8);
    return error;
  };
  const auto c48 = Bytes({0x08, 0xF2, 0x48, 0x25, 0x08, 0x01, 0x78, 0x56, 0x34, 0x12, 0x9A, 0xBC});
  auto send = [&] { return cmd.SendAtaPassThrough(1, 1, c48.data(), kx::kDirIn, buf_, 4096, true, true, true, 0); };
  struct Row {
    std::uint8_t status;
    win::DWORD error;
    int result;
    bool registers;
  };
  const Row rows[] = {
      {0x50, 0, 0, true},
      {0x40, 0, 0, true},
      {0x41, 0, 0x41, true},
      {0x58, 0, 0x58, true},
      {0x51, 0, 0x51, true},
      {0x00, 0, kx::kAtaNoStatus, true},  // nobody answered: a failure, not success
      {0x50, win::ERROR_IO_DEVICE, 1117, false},
      {0x50, win::ERROR_INVALID_PARAMETER, 87, false},
      {0x50, win::ERROR_SEM_TIMEOUT, 121, false},
      {0x50, win::ERROR_NOACCESS, kx::kAtaFault, false},  // a fault inside the request
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << int{row.status} << " " << row.error);
    status = row.status;
    error = row.error;
    EXPECT_EQ(send(), row.result);
    EXPECT_EQ(V(cmd.m_RetTaskFile, 8), row.registers ? B({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, row.status, 0x00}) : B(8, 0));
    EXPECT_EQ(V(cmd.m_RetPrevTaskFile, 8), row.registers ? B({1, 2, 3, 4, 5, 6, 7, 0}) : B(8, 0));
  }
  const auto a = backend->Requests().back().apt;
  EXPECT_EQ(a.Length, 40);
  EXPECT_EQ(a.DataBuffer, static_cast<void*>(buf_));
  EXPECT_EQ(backend->openHandles, 0);
  // no data: DRDY only and no buffer, even when DMA is asked for
  error = 0;
  const auto c28 = Bytes({0xA1, 0x06, 0, 0, 0, 0, 0, 0, 0xA0, 0xE7});
  EXPECT_EQ(cmd.SendAtaPassThrough(1, 1, c28.data(), kx::kDirNone, buf_, 0, true, false, true, 0), 0);
  EXPECT_EQ(backend->Requests().back().apt.AtaFlags, win::ATA_FLAGS_DRDY_REQUIRED);
  EXPECT_EQ(backend->Requests().back().apt.DataBuffer, nullptr);
  // the buffered form
  EXPECT_EQ(cmd.SendAtaPassThrough(1, 1, c48.data(), kx::kDirNone, nullptr, 0, false, false, false, 0),
            static_cast<int>(win::ERROR_NOT_SUPPORTED));
  backend->openFailures = 100;
  EXPECT_EQ(send(), kx::kOpenFailed);
}

TEST_F(SendPathTest, ProbeVendorMode) {
  CDriveCommand cmd(1);
  std::uint8_t low = 1, status = 0x50;
  backend->script = [&](const Call&, void* out) {
    auto* a = static_cast<win::ATA_PASS_THROUGH_DIRECT*>(out);
    a->CurrentTaskFile[1] = 1;
    a->CurrentTaskFile[2] = low;
    a->CurrentTaskFile[6] = status;
    return win::DWORD{0};
  };
  EXPECT_EQ(cmd.ProbeVendorMode(true), 1);
  const auto& s = kx::kVendorModeSignature;
  EXPECT_EQ(backend->Requests().back().Cur(), B({0, s[0], s[1], s[2], s[3], s[4], s[5], 0}));
  low = 0;
  EXPECT_EQ(cmd.ProbeVendorMode(true), 2);
  EXPECT_EQ(cmd.ProbeVendorMode(false), 1);
  status = 0x51;
  EXPECT_EQ(cmd.ProbeVendorMode(false), 0);
  status = 0x50;
  backend->script = Fail(win::ERROR_IO_DEVICE);
  EXPECT_EQ(cmd.ProbeVendorMode(false), 0);
}

}  // namespace
