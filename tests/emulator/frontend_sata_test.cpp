// A drive on a SATA port: ATA pass-through task files, 28- and 48-bit, and the
// SAT fallback on the same path.
#include <algorithm>

#include "site_test_util.h"

namespace emu::test {
namespace {

using win::ATA_FLAGS_48BIT_COMMAND;
using win::ATA_FLAGS_DATA_IN;
using win::ATA_FLAGS_DATA_OUT;
using win::ATA_FLAGS_USE_DMA;

class SataTest : public SiteTest {
 protected:
  std::string path_ = Site::SataPath(2);
  FrontEnd* port_ = nullptr;
  void SetUp() override {
    SiteTest::SetUp();
    site_->SetDrive(1, nullptr);
    site_->SetDrive(2, drive_);
    port_ = site_->AddSataPort(2);
    ASSERT_NE(port_, nullptr);
    site_->Install();
  }
};

TEST_F(SataTest, IdentifyRegistersAndInquiry) {
  std::vector<std::uint8_t> id(512);
  const auto r = AtaIdentify(path_, id);
  ASSERT_EQ(r.error, 0u);
  EXPECT_EQ(Pick(r.regs, {0, 6}), (Ints{0, 0x50}));
  EXPECT_EQ(r.transferred, 512u);
  // The port shows the drive's own model in its inquiry data.
  std::vector<std::uint8_t> inq(36);
  ASSERT_EQ(ScsiIn(path_, Cdb({0x12, 0, 0, 0, 36}), inq).status, 0);
  EXPECT_EQ(std::string(inq.begin() + 8, inq.begin() + 11), "ATA");
  EXPECT_EQ(std::string(inq.begin() + 16, inq.begin() + 20), drive_->Config().model.substr(0, 4));
}

TEST_F(SataTest, FortyEightBitRoundTripUsesThePreviousTaskFile) {
  std::vector<std::uint8_t> out(3 * 512), in(3 * 512);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i * 13 + 1);
  // LBA 0x1A2B3C: current = count 3, LBA low/mid/high; previous = the high-order bytes.
  const auto w = SendAta(path_, {0, 3, 0x3C, 0x2B, 0x1A, 0x40, 0x35},
                         ATA_FLAGS_DATA_OUT | ATA_FLAGS_48BIT_COMMAND | ATA_FLAGS_USE_DMA, out.data(), 1536,
                         {0, 0, 0, 0, 0, 0, 0x35});
  ASSERT_EQ(w.error, 0u);
  EXPECT_EQ(w.regs[6], 0x50);
  const auto r = SendAta(path_, {0, 3, 0x3C, 0x2B, 0x1A, 0x40, 0x24}, ATA_FLAGS_DATA_IN | ATA_FLAGS_48BIT_COMMAND,
                         in.data(), 1536, {0, 0, 0, 0, 0, 0, 0x24});
  ASSERT_EQ(r.error, 0u);
  EXPECT_EQ(in, out);
  EXPECT_EQ(drive_->ReadMedia(0x1A2B3C, 3), out);
  const AtaRequest q = drive_->Trace().back().request;
  EXPECT_TRUE(q.is48);
  EXPECT_EQ(q.protocol, AtaProtocol::PioIn);
}

TEST_F(SataTest, ErrorsReturnStatus51AndBadBlocksAreRefused) {
  std::vector<std::uint8_t> buf(512);
  // Vendor read before the key: aborted.
  const auto r = SendAta(path_, {0x13, 1, 0, 0, 0, 0xA0, 0x21}, ATA_FLAGS_DATA_IN, buf.data(), 512);
  ASSERT_EQ(r.error, 0u);
  EXPECT_EQ(Pick(r.regs, {0, 6}), (Ints{0x04, 0x51}));
  EXPECT_EQ(SendAta(path_, {0, 1, 0, 0, 0, 0xA0, 0xEC}, ATA_FLAGS_DATA_IN | ATA_FLAGS_DATA_OUT, buf.data(), 512).error,
            win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SendAta(path_, {0, 1, 0, 0, 0, 0xA0, 0xEC}, ATA_FLAGS_DATA_IN, nullptr, 512).error,
            win::ERROR_INVALID_PARAMETER);
}

TEST_F(SataTest, CardDetectAndTesterSubCommandsAsTaskFiles) {
  // The vendor-mode entry while the card boots: the adapter waits for DRDY (the
  // host's flags ask for it) and the task file comes back ready, never busy.
  const auto& s = kx::kVendorModeSignature;
  drive_->HardReset();
  const std::uint64_t t0 = platform::Clock().NowMs();
  auto r = SendAta(path_, {0, s[0], s[1], s[2], s[3], s[4], s[5]}, 0, nullptr, 0);
  ASSERT_EQ(r.error, 0u);
  EXPECT_EQ(Pick(r.regs, {1, 2, 6}), (Ints{0x01, 0x01, 0x50}));
  EXPECT_GE(platform::Clock().NowMs() - t0, 800u);
  drive_->Faults().SetNeverReady(true);  // a card that never comes: time-out
  EXPECT_EQ(SendAta(path_, {0, s[0], s[1], s[2], s[3], s[4], s[5]}, 0, nullptr, 0).error, win::ERROR_SEM_TIMEOUT);
  drive_->Faults().SetNeverReady(false);

  std::vector<std::uint8_t> name(16, 0xEE);
  r = SendAta(path_, {0, 1, 0, 0, 0, 0, 0x60}, ATA_FLAGS_DATA_IN | ATA_FLAGS_48BIT_COMMAND | ATA_FLAGS_USE_DMA,
              name.data(), 16);
  ASSERT_EQ(r.error, 0u);
  EXPECT_EQ(r.regs[6], 0x50);
  const auto want = drive_->FirmwareName();
  EXPECT_TRUE(std::equal(want.begin(), want.end(), name.begin()));
  ASSERT_EQ(SendAta(path_, {0, 1, 0, 0, 0, 0, 0x05}, 0, nullptr, 0).error, 0u);
  EXPECT_TRUE(site_->Card(2).devSleep);
  ASSERT_EQ(SendAta(path_, {0, 2, 0, 0, 0, 0, 0x05}, 0, nullptr, 0).error, 0u);  // DisableDEVSLP
  EXPECT_FALSE(site_->Card(2).devSleep);
}

TEST_F(SataTest, WithoutAtaPassThroughTheHostFallsBackToSat) {
  port_->ataPassThrough = false;
  std::vector<std::uint8_t> id(512);
  EXPECT_EQ(AtaIdentify(path_, id).error, win::ERROR_INVALID_FUNCTION);
  EXPECT_EQ(ScsiIn(path_, Cdb({0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0, 0xEC}), id).status, 0);
}

// A plain port, like an AHCI port through the operating system, refuses the
// tester's 08 F2 forms as an invalid opcode; a port on a tester's switch board
// decodes them.
TEST_F(SataTest, TesterFormsOnlyOnATesterCapablePort) {
  struct Case {
    bool testerCapable;
    std::uint8_t status;
    std::uint8_t senseKey;
    std::uint8_t asc;
    std::uint8_t firmwareMajor;  // reply byte 8 of 08 F2 50 30
  };
  const Case cases[] = {{false, 2, 0x05, 0x20, 0x00}, {true, 0, 0x00, 0x00, 0x03}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.testerCapable ? "tester-capable port" : "plain port");
    port_->testerCapable = c.testerCapable;
    std::vector<std::uint8_t> reply(16, 0);
    const auto r = ScsiIn(path_, Cdb({0x08, 0xF2, 0x50, 0x30, 0xFF}), reply);
    ASSERT_EQ(r.error, 0u);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(SenseKey(r.sense), c.senseKey);
    EXPECT_EQ(SenseAsc(r.sense), c.asc);
    EXPECT_EQ(reply[8], c.firmwareMajor);
  }
}

TEST_F(SataTest, NoDriveNoDevice) {
  const auto list = site_->Listing(true);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].path, "NULL");  // slot 1 has no port
  EXPECT_EQ(list[1].path, path_);
  site_->SetDrive(2, nullptr);
  EXPECT_EQ(site_->Listing(true)[1].path, "NULL");
  EXPECT_EQ(SendAta(path_, {0, 1, 0, 0, 0, 0xA0, 0xEC}, 0, nullptr, 0).error, win::ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace emu::test
