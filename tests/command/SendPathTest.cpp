// The send path (open, request, dismount, close, retries, results), the SAT
// rewrite and the ATA pass-through sender.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "command/DriveCommand.h"
#include "platform/KxSignatures.h"
#include "platform/Profile.h"
#include "tests/command/FakeDevice.h"

using kxtest::Bytes;
using kxtest::Call;

namespace {

class SendPathTest : public ::testing::Test, public kxtest::Fixture {
 protected:
  const std::uint8_t identify_[16] = {0x08, 0xF2, 0x71, 0x01, 0xEC, 0x00, 0x01, 0, 0, 0, 0, 0x01};
};

TEST_F(SendPathTest, OpensPhysicalDriveOrListingEntryAndDismountsBeforeClose) {
  CDriveCommand cmd(3);
  std::uint8_t buf[512];
  g_KX_U2A = 0;
  EXPECT_EQ(cmd.SendCdb(3, identify_, true, buf, 512, 7), 0);
  g_KX_U2A = 1;
  EXPECT_EQ(cmd.SendCdb(3, identify_, true, buf, 512, 7), 0);
  ASSERT_EQ(backend->opens.size(), 2u);
  EXPECT_EQ(backend->opens[0], "\\\\.\\PhysicalDrive3");
  EXPECT_EQ(backend->opens[1], "\\\\?\\fake#3");
  // each command: request, dismount, close
  ASSERT_EQ(backend->calls.size(), 4u);
  EXPECT_EQ(backend->calls[0].code, win::IOCTL_SCSI_PASS_THROUGH_DIRECT);
  EXPECT_EQ(backend->calls[1].code, win::FSCTL_DISMOUNT_VOLUME);
  EXPECT_EQ(backend->closes, 2);
  EXPECT_EQ(backend->openHandles, 0);

  const auto& s = backend->calls[0].sptd;
  EXPECT_EQ(s.Length, 44);
  EXPECT_EQ(s.CdbLength, 16);
  EXPECT_EQ(s.SenseInfoLength, 24);
  EXPECT_EQ(s.SenseInfoOffset, 48u);
  EXPECT_EQ(s.DataIn, win::SCSI_IOCTL_DATA_IN);
  EXPECT_EQ(s.DataTransferLength, 512u);
  EXPECT_EQ(s.TimeOutValue, 7u);
  EXPECT_EQ(s.DataBuffer, buf);
  EXPECT_EQ(backend->calls[0].Cdb(), std::vector<std::uint8_t>(identify_, identify_ + 16));
}

TEST_F(SendPathTest, ZeroLengthIsNoDataWithNullBufferWhateverTheDirection) {
  CDriveCommand cmd(1);
  std::uint8_t buf[16];
  EXPECT_EQ(cmd.SendCdb(1, identify_, true, buf, 0, 1), 0);
  EXPECT_EQ(cmd.SendCdb(1, identify_, false, buf, 0, 1), 0);
  for (const auto& c : backend->Requests()) {
    EXPECT_EQ(c.sptd.DataIn, win::SCSI_IOCTL_DATA_UNSPECIFIED);
    EXPECT_EQ(c.sptd.DataBuffer, nullptr);
  }
  win::ScsiPassThroughDirectBlock block;
  EXPECT_EQ(cmd.BuildScsiPassThrough(&block, 17, identify_, 1, 0, 0), -1);
}

TEST_F(SendPathTest, RetryAndResultTable) {
  CDriveCommand cmd(2);
  std::uint8_t buf[512];

  // open failure: -256 after 10 tries 5 ms apart, no request
  backend->openFailures = 100;
  auto t0 = NowMs();
  EXPECT_EQ(cmd.SendCdb(2, identify_, true, buf, 512, 0), kx::kOpenFailed);
  EXPECT_EQ(backend->opens.size(), 10u);
  EXPECT_EQ(NowMs() - t0, 50u);
  EXPECT_TRUE(backend->Requests().empty());
  backend->openFailures = 0;
  backend->opens.clear();

  // ten error-31 results give 1 after 10 opens and 10 closes
  backend->script = [](const Call&, void*) { return win::ERROR_GEN_FAILURE; };
  EXPECT_EQ(cmd.SendCdb(2, identify_, true, buf, 512, 0), kx::kRetriesExhausted);
  EXPECT_EQ(backend->opens.size(), 10u);
  EXPECT_EQ(backend->closes, 10);
  EXPECT_EQ(cmd.m_LastError, 31u);

  // error 31 then success: the second request's SCSI status
  int n = 0;
  backend->script = [&n](const Call&, void* out) -> win::DWORD {
    if (n++ == 0) return win::ERROR_GEN_FAILURE;
    static_cast<win::ScsiPassThroughDirectBlock*>(out)->Sptd.ScsiStatus = 2;
    return 0;
  };
  EXPECT_EQ(cmd.SendCdb(2, identify_, true, buf, 512, 0), 2);
  EXPECT_EQ(cmd.m_LastError, 0u);

  // any other error is returned at once and kept
  backend->script = [](const Call&, void*) { return win::ERROR_SEM_TIMEOUT; };
  const auto before = backend->Requests().size();
  EXPECT_EQ(cmd.SendCdb(2, identify_, true, buf, 512, 0), 121);
  EXPECT_EQ(cmd.m_LastError, 121u);
  EXPECT_EQ(backend->Requests().size(), before + 1);

  // a fault inside the request: 1, and the handle is closed
  backend->script = [](const Call&, void*) -> win::DWORD { throw std::runtime_error("fault"); };
  EXPECT_EQ(cmd.SendCdb(2, identify_, true, buf, 512, 0), kx::kScsiFault);
  EXPECT_EQ(backend->openHandles, 0);
}

TEST_F(SendPathTest, StaleOsErrorAfterSuccessIsIgnored) {
  CDriveCommand cmd(1);
  backend->script = [](const Call&, void*) {
    win::SetLastError(31);  // a back end that leaves a stale value behind
    return win::DWORD{0};
  };
  std::uint8_t buf[512];
  EXPECT_EQ(cmd.SendCdb(1, identify_, true, buf, 512, 0), 0);
  EXPECT_EQ(cmd.m_LastError, 0u);
  EXPECT_EQ(backend->Requests().size(), 1u);
}

TEST_F(SendPathTest, DefaultTimeOutComesFromTheParameterFileAtEachCall) {
  CDriveCommand cmd(1);
  const auto dir = std::filesystem::temp_directory_path() / ("kxcmd_ini_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string ini = (dir / "param.ini").string();
  g_SettingIniPath = ini;
  std::uint8_t buf[512];
  EXPECT_EQ(cmd.SendCdb(1, identify_, true, buf, 512, 0), 0);  // file missing: 30
  win::WritePrivateProfileString("General Info", "ScsiTimeOut", "45", ini.c_str());
  win::WritePrivateProfileString("General Info", "ScsiTimeOutMax", "700", ini.c_str());
  EXPECT_EQ(cmd.SendCdb(1, identify_, true, buf, 512, 0), 0);
  EXPECT_EQ(cmd.SendCdb(1, identify_, true, buf, 512, 9), 0);  // its own time-out
  EXPECT_TRUE(cmd.ReadBBT(buf, 1, 0, 0));                      // long time-out
  auto r = backend->Requests();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].sptd.TimeOutValue, 30u);
  EXPECT_EQ(r[1].sptd.TimeOutValue, 45u);
  EXPECT_EQ(r[2].sptd.TimeOutValue, 9u);
  EXPECT_EQ(r[3].sptd.TimeOutValue, 700u);
  std::filesystem::remove_all(dir);
}

TEST_F(SendPathTest, DriveNumbersOutsideTheListingFailTheOpen) {
  SetListing(2);
  std::uint8_t buf[512];
  for (int n : {0, -1, 3, 128, 129, 100000}) {
    CDriveCommand cmd(n);
    EXPECT_EQ(cmd.SendCdb(n, identify_, true, buf, 512, 0), kx::kOpenFailed) << n;
  }
  EXPECT_TRUE(backend->opens.empty());
  // a listing that claims more than 128 entries is capped at the table
  kx::WithRootDevice([](kx::RootDeviceRecord& r) { r.SetCount(100000); });
  CDriveCommand big(129);
  EXPECT_EQ(big.SendCdb(129, identify_, true, buf, 512, 0), kx::kOpenFailed);
  CDriveCommand last(128);
  EXPECT_EQ(last.SendCdb(128, identify_, true, buf, 512, 0), kx::kOpenFailed);  // empty path
  EXPECT_TRUE(backend->opens.empty());
}

TEST_F(SendPathTest, GetLastCommandReturnsTheRewrittenForm) {
  CDriveCommand cmd(1);
  std::uint8_t buf[512];
  ASSERT_TRUE(cmd.GetIdentify(buf));
  std::uint8_t last[16];
  std::uint32_t err = 99;
  cmd.GetLastCommand(last, &err);
  EXPECT_EQ(std::vector<std::uint8_t>(last, last + 16),
            Bytes({0xA1, 0x08, 0x0E, 0x00, 0x01, 0, 0, 0, 0, 0xEC}));
  EXPECT_EQ(err, 0u);
}

// ---- SAT rewrite

std::vector<std::uint8_t> translate(CDriveCommand& cmd, std::vector<std::uint8_t> in) {
  in.resize(16, 0);
  cmd.TranslateToSat(in.data());
  return in;
}

TEST_F(SendPathTest, RewriteKnownVectors) {
  CDriveCommand cmd(1);
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x71, 0x01, 0xEC, 0x00, 0x01, 0, 0, 0, 0, 0x01})),
            Bytes({0xA1, 0x08, 0x0E, 0x00, 0x01, 0, 0, 0, 0, 0xEC}));
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x48, 0x25, 0x08, 0x00, 0x78, 0x56, 0x34, 0x12, 0x00, 0x00})),
            Bytes({0x85, 0x15, 0x0E, 0x00, 0x00, 0x00, 0x08, 0x12, 0x78, 0x00, 0x56, 0x00, 0x34, 0x00, 0x25, 0x00}));
  // no-data with byte 11: count becomes byte 11, flags 0E
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x71, 0x00, 0xE7, 0x00, 0x00, 0, 0, 0, 0xA0, 0x01})),
            Bytes({0xA1, 0x06, 0x0E, 0x00, 0x01, 0, 0, 0, 0xA0, 0xE7}));
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x71, 0x00, 0xE7, 0x00, 0x00, 0, 0, 0, 0xA0, 0x00})),
            Bytes({0xA1, 0x06, 0x00, 0x00, 0x00, 0, 0, 0, 0xA0, 0xE7}));
  // protocols
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x71, 0x03, 0x30, 1, 2, 3, 4, 5, 0xE6, 2})),
            Bytes({0xA1, 0x0A, 0x06, 1, 2, 3, 4, 5, 0xE6, 0x30}));
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x71, 0x09, 0x31})), Bytes({0xA1, 0x0A, 0x06, 0, 0, 0, 0, 0, 0, 0x31}));
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x71, 0x88, 0xC8})), Bytes({0xA1, 0x14, 0x0E, 0, 0, 0, 0, 0, 0, 0xC8}));
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x71, 0x89, 0xCA})), Bytes({0xA1, 0x16, 0x06, 0, 0, 0, 0, 0, 0, 0xCA}));
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x71, 0x42, 0xCA})), Bytes({0xA1, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0xCA}));
  // 48-bit protocols
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x48, 0x34, 0x00, 0x01}))[1], 0x0B);
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x48, 0x35}))[1], 0x17);
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x48, 0x24}))[1], 0x09);
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x48, 0x00}))[1], 0x07);
  // tester sub-commands: response information
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x50, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x01})),
            Bytes({0xA1, 0x1E, 0x2E, 0x00, 0x01}));
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x50, 0x05, 0x02})),
            Bytes({0xA1, 0x1E, 0x2E, 0x02, 0x01, 0, 0, 0, 0, 0xEF}));
  // anything else stays
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0xA0})), Bytes({0x08, 0xF2, 0xA0}));
  EXPECT_EQ(translate(cmd, Bytes({0x12, 0, 0, 0, 0x32})), Bytes({0x12, 0, 0, 0, 0x32}));
  // with ATA pass-through known to work, 48 and 50 stay and 71 is still rewritten
  kx::SetAtaPassThroughOk(1, true);
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x48, 0x25, 0x08})), Bytes({0x08, 0xF2, 0x48, 0x25, 0x08}));
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x50, 0x05, 0x02})), Bytes({0x08, 0xF2, 0x50, 0x05, 0x02}));
  EXPECT_EQ(translate(cmd, Bytes({0x08, 0xF2, 0x71, 0x01, 0xEC, 0, 1, 0, 0, 0, 0, 1}))[0], 0xA1);
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

// ---- ATA pass-through sender

TEST_F(SendPathTest, AtaPassThroughBlockAndRegisters) {
  CDriveCommand cmd(1);
  std::uint8_t buf[4096];
  // 48-bit: registers from the 08 F2 48 positions
  const auto c48 = Bytes({0x08, 0xF2, 0x48, 0x25, 0x08, 0x01, 0x78, 0x56, 0x34, 0x12, 0x9A, 0xBC});
  backend->script = [](const Call&, void* out) {
    auto* a = static_cast<win::ATA_PASS_THROUGH_DIRECT*>(out);
    const std::uint8_t cur[8] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x50, 0x77};
    const std::uint8_t prev[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    std::memcpy(a->CurrentTaskFile, cur, 8);
    std::memcpy(a->PreviousTaskFile, prev, 8);
    return win::DWORD{0};
  };
  EXPECT_EQ(cmd.SendAtaPassThrough(1, 1, c48.data(), kx::kDirIn, buf, 4096, true, true, true, 0), 0);
  auto r = backend->Requests();
  ASSERT_EQ(r.size(), 1u);
  const auto& a = r[0].apt;
  EXPECT_EQ(a.Length, 40);
  EXPECT_EQ(a.AtaFlags, 0x01 | 0x02 | 0x08 | 0x10);
  EXPECT_EQ(a.DataTransferLength, 4096u);
  EXPECT_EQ(a.TimeOutValue, 30u);
  EXPECT_EQ(a.DataBuffer, buf);
  EXPECT_EQ(std::vector<std::uint8_t>(a.CurrentTaskFile, a.CurrentTaskFile + 8),
            std::vector<std::uint8_t>({0, 0x08, 0x78, 0x56, 0x34, 0, 0x25, 0}));
  EXPECT_EQ(std::vector<std::uint8_t>(a.PreviousTaskFile, a.PreviousTaskFile + 8),
            std::vector<std::uint8_t>({0, 0x01, 0x12, 0x9A, 0xBC, 0, 0x25, 0}));
  EXPECT_EQ(std::vector<std::uint8_t>(cmd.m_RetTaskFile, cmd.m_RetTaskFile + 8),
            std::vector<std::uint8_t>({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x50, 0x00}));
  EXPECT_EQ(std::vector<std::uint8_t>(cmd.m_RetPrevTaskFile, cmd.m_RetPrevTaskFile + 8),
            std::vector<std::uint8_t>({1, 2, 3, 4, 5, 6, 7, 0}));

  // 28-bit: bytes 3..10 of the rewritten form; previous task file zero; out without DMA
  const auto c28 = Bytes({0xA1, 0x0A, 0x06, 0x12, 0x01, 0x02, 0x03, 0x04, 0xE5, 0x30});
  EXPECT_EQ(cmd.SendAtaPassThrough(1, 1, c28.data(), kx::kDirOut, buf, 512, true, false, false, 4), 0);
  const auto b = backend->Requests().back().apt;
  EXPECT_EQ(b.AtaFlags, 0x01 | 0x04);
  EXPECT_EQ(std::vector<std::uint8_t>(b.CurrentTaskFile, b.CurrentTaskFile + 8),
            std::vector<std::uint8_t>({0x12, 0x01, 0x02, 0x03, 0x04, 0xE5, 0x30, 0}));
  EXPECT_EQ(std::vector<std::uint8_t>(b.PreviousTaskFile, b.PreviousTaskFile + 8), std::vector<std::uint8_t>(8, 0));
  EXPECT_EQ(b.TimeOutValue, 4u);
  // no data: DRDY only, null buffer
  EXPECT_EQ(cmd.SendAtaPassThrough(1, 1, c28.data(), kx::kDirNone, buf, 0, true, false, true, 0), 0);
  EXPECT_EQ(backend->Requests().back().apt.AtaFlags, 0x01);
  EXPECT_EQ(backend->Requests().back().apt.DataBuffer, nullptr);
}

TEST_F(SendPathTest, AtaPassThroughStatusAndRetryTable) {
  CDriveCommand cmd(1);
  const auto c = Bytes({0xA1, 0x06, 0, 0, 0, 0, 0, 0, 0xA0, 0xE7});
  std::uint8_t status = 0;
  backend->script = [&status](const Call&, void* out) {
    static_cast<win::ATA_PASS_THROUGH_DIRECT*>(out)->CurrentTaskFile[6] = status;
    return win::DWORD{0};
  };
  auto send = [&] { return cmd.SendAtaPassThrough(1, 1, c.data(), kx::kDirNone, nullptr, 0, true, false, false, 0); };
  status = 0x50;
  EXPECT_EQ(send(), 0);
  status = 0x40;
  EXPECT_EQ(send(), 0);
  status = 0x41;
  EXPECT_EQ(send(), 0x41);
  status = 0x58;
  EXPECT_EQ(send(), 0x58);
  status = 0x00;  // nobody answered: a failure, not success
  EXPECT_NE(send(), 0);
  EXPECT_EQ(cmd.m_RetTaskFile[6], 0);

  backend->script = [](const Call&, void*) { return win::ERROR_GEN_FAILURE; };
  auto before = backend->Requests().size();
  EXPECT_EQ(send(), kx::kRetriesExhausted);
  EXPECT_EQ(backend->Requests().size(), before + 10);

  int n = 0;
  backend->script = [&n](const Call&, void* out) -> win::DWORD {
    if (n++ == 0) return win::ERROR_GEN_FAILURE;
    static_cast<win::ATA_PASS_THROUGH_DIRECT*>(out)->CurrentTaskFile[6] = 0x51;
    return 0;
  };
  EXPECT_EQ(send(), 0x51);

  backend->script = [](const Call&, void*) -> win::DWORD { throw std::runtime_error("fault"); };
  EXPECT_EQ(send(), kx::kAtaFault);
  EXPECT_EQ(backend->openHandles, 0);

  backend->openFailures = 100;
  EXPECT_EQ(send(), kx::kOpenFailed);
}

TEST_F(SendPathTest, ProbeVendorMode) {
  CDriveCommand cmd(1);
  std::uint8_t count = 1, low = 1, status = 0x50;
  backend->script = [&](const Call&, void* out) {
    auto* a = static_cast<win::ATA_PASS_THROUGH_DIRECT*>(out);
    a->CurrentTaskFile[1] = count;
    a->CurrentTaskFile[2] = low;
    a->CurrentTaskFile[6] = status;
    return win::DWORD{0};
  };
  EXPECT_EQ(cmd.ProbeVendorMode(true), 1);
  const auto& sig = kx::kVendorModeSignature;
  EXPECT_EQ(std::vector<std::uint8_t>(cmd.m_Cdb, cmd.m_Cdb + 16),
            Bytes({0x08, 0xF2, 0x71, 0x00, sig[0], sig[1], sig[2], sig[3], sig[4], sig[5]}));
  const auto a = backend->Requests().back().apt;
  EXPECT_EQ(std::vector<std::uint8_t>(a.CurrentTaskFile, a.CurrentTaskFile + 8),
            std::vector<std::uint8_t>({0, sig[0], sig[1], sig[2], sig[3], sig[4], sig[5], 0}));
  low = 0;
  EXPECT_EQ(cmd.ProbeVendorMode(true), 2);
  EXPECT_EQ(cmd.ProbeVendorMode(false), 1);
  status = 0x51;
  EXPECT_EQ(cmd.ProbeVendorMode(false), 0);
}

}  // namespace
