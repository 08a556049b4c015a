// A drive on a SATA port: what the command layer's tests (tests/command) and the
// register test do not reach - inquiry, errors and refused flags, waiting for
// the card, tester forms on a plain port, an empty port.
#include "tests/emulator/SiteTestUtil.h"

namespace emu::test {
namespace {

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

TEST_F(SataTest, InquiryShowsTheDrivesModel) {
  std::vector<std::uint8_t> inq(36);
  ASSERT_EQ(ScsiIn(path_, Cdb({0x12, 0, 0, 0, 36}), inq).status, 0);
  EXPECT_EQ(std::string(inq.begin() + 8, inq.begin() + 11), "ATA");
  EXPECT_EQ(std::string(inq.begin() + 16, inq.begin() + 20), "KX00");  // the configured model's start
}

TEST_F(SataTest, ErrorsReturnStatus51AndBadBlocksAreRefused) {
  std::vector<std::uint8_t> buf(512);
  // Vendor read before the key: aborted.
  const auto r = SendAta(path_, {0x13, 1, 0, 0, 0, 0xA0, 0x21}, win::ATA_FLAGS_DATA_IN, buf.data(), 512);
  ASSERT_EQ(r.error, 0u);
  ExpectBytes(r.regs, {{"error", 0, 0x04}, {"status", 6, 0x51}});
  EXPECT_EQ(SendAta(path_, {0, 1, 0, 0, 0, 0xA0, 0xEC}, win::ATA_FLAGS_DATA_IN | win::ATA_FLAGS_DATA_OUT, buf.data(), 512).error,
            win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SendAta(path_, {0, 1, 0, 0, 0, 0xA0, 0xEC}, win::ATA_FLAGS_DATA_IN, nullptr, 512).error,
            win::ERROR_INVALID_PARAMETER);
}

// The vendor-mode entry while the card boots: the adapter waits for DRDY (the
// host's flags ask for it) and the task file comes back ready, never busy.
TEST_F(SataTest, VendorModeEntryWaitsForTheCard) {
  const auto& s = kx::kVendorModeSignature;
  drive_->HardReset();
  const std::uint64_t t0 = platform::Clock().NowMs();
  const auto r = SendAta(path_, {0, s[0], s[1], s[2], s[3], s[4], s[5]}, 0, nullptr, 0);
  ASSERT_EQ(r.error, 0u);
  ExpectBytes(r.regs, {{"count", 1, 0x01}, {"LBA low", 2, 0x01}, {"status", 6, 0x50}});
  EXPECT_GE(platform::Clock().NowMs() - t0, 800u);
  drive_->Faults().SetNeverReady(true);  // a card that never comes: time-out
  EXPECT_EQ(SendAta(path_, {0, s[0], s[1], s[2], s[3], s[4], s[5]}, 0, nullptr, 0).error, win::ERROR_SEM_TIMEOUT);
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
