// The USB-to-SATA bridge's own answers: the card-detect reply, sense for ATA
// errors and CK_COND, refused fields. Register loading is pinned by
// FrontEndRegistersTest, waiting for a booting card by FaultsTest, the members'
// round trips by tests/command.
#include "tests/emulator/SiteTestUtil.h"

namespace emu::test {
namespace {

const std::vector<std::uint8_t> kDetect = Cdb({0xA1, 0x1E, 0x2E, 0x00, 0x01});

class BridgeTest : public SiteTest {
 protected:
  std::string path_ = Site::BridgePath(1);
  FrontEnd* bridge_ = nullptr;
  void SetUp() override {
    SiteTest::SetUp();
    bridge_ = site_->AddBridge(1);
    ASSERT_NE(bridge_, nullptr);
    site_->Install();
  }
  std::vector<std::uint8_t> Detect() {
    std::vector<std::uint8_t> reply(16, 0xEE);
    EXPECT_EQ(ScsiIn(path_, kDetect, reply).status, 0);
    return reply;
  }
};

TEST_F(BridgeTest, Sat12SectorCountZeroMovesAllTwoHundredFiftySixSectors) {
  // WRITE/READ SECTORS of 256 sectors: the count travels as 0 and the data must move.
  std::vector<std::uint8_t> out(256 * 512), in(256 * 512);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i * 5 + 1);
  auto r = ScsiOut(path_, Cdb({0xA1, 0x0A, 0x06, 0, 0, 0, 0, 0, 0xE0, 0x30}), out);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.transferred, out.size());
  ASSERT_EQ(ScsiIn(path_, Cdb({0xA1, 0x08, 0x0E, 0, 0, 0, 0, 0, 0xE0, 0x20}), in).status, 0);
  EXPECT_EQ(in, out);
  EXPECT_EQ(drive_->ReadMedia(255, 1), std::vector<std::uint8_t>(out.end() - 512, out.end()));
}

TEST_F(BridgeTest, ResponseInformationIsTheCardDetectAndNeverCheckCondition) {
  std::vector<std::uint8_t> reply(16, 0xEE);
  const auto r = ScsiIn(path_, kDetect, reply);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.transferred, 14u);  // the descriptor, even into a 16-byte buffer
  ExpectBytes(reply, {{"descriptor code", 0, 0x09}, {"descriptor length", 1, 0x0C}, {"detect code", 5, 1},
                      {"erase result", 7, 0}, {"card state", 13, 0x50}, {"untouched", 14, 0xEE}});

  // Booting after a power cycle through the raw tester form.
  ASSERT_EQ(ScsiNone(path_, Cdb({0x08, 0xF2, 0x84, 0, 48})).status, 0);
  ASSERT_EQ(ScsiNone(path_, Cdb({0x08, 0xF2, 0x84, 1, 53})).status, 0);
  EXPECT_EQ(Detect()[13], 0x80);
  Advance(800);
  EXPECT_EQ(Detect()[13], 0x50);

  // A polled erase that failed: LBA low (byte 7) carries the erase error.
  ASSERT_EQ(ScsiNone(path_, SignatureCdb()).status, 0);
  drive_->Faults().WrongVerdict(1);
  ASSERT_EQ(ScsiNone(path_, Cdb({0xA1, 0x0A, 0x06, 0x26, 1, 1, 0x20, 0x09, 0xA0, 0x31})).status, 0);
  // Status polling is taken at once while the card erases.
  const std::uint64_t t0 = platform::Clock().NowMs();
  EXPECT_EQ(ScsiNone(path_, Cdb({0xA1, 0x0A, 0x06, 0xCC, 1, 0, 0, 0, 0xA0, 0x31})).status, 0);
  EXPECT_EQ(platform::Clock().NowMs(), t0);
  EXPECT_EQ(Detect()[13], 0x80);
  Advance(drive_->Config().eraseMs);
  EXPECT_NE(Detect()[7], 0);
}

// The ATA answer as SCSI status and sense: GOOD, or with CK_COND the status
// return descriptor under RECOVERED ERROR; an ATA error under ABORTED COMMAND.
// A diagnostic's code (01h) in the error register is no failure.
TEST_F(BridgeTest, AtaAnswersBecomeStatusAndSense) {
  const struct {
    const char* what;
    std::vector<std::uint8_t> cdb;
    std::uint8_t status;
    std::uint8_t senseKey;
    int ascq;  // -1: not checked
    int ataError;  // descriptor byte 3, -1: no descriptor
    int ataStatus;  // descriptor byte 13
  } rows[] = {
      {"FLUSH CACHE", Cdb({0xA1, 0x06, 0x00, 0, 0, 0, 0, 0, 0xA0, 0xE7}), 0, 0x00, -1, -1, -1},
      {"FLUSH CACHE, CK_COND", Cdb({0xA1, 0x06, 0x20, 0, 0, 0, 0, 0, 0xA0, 0xE7}), 2, 0x01, 0x1D, 0x00, 0x50},
      {"diagnostic", Cdb({0xA1, 0x10, 0x00, 0, 0, 0, 0, 0, 0xA0, 0x90}), 0, 0x00, -1, -1, -1},
      {"diagnostic, CK_COND", Cdb({0xA1, 0x10, 0x20, 0, 0, 0, 0, 0, 0xA0, 0x90}), 2, 0x01, 0x1D, 0x01, 0x50},
      {"vendor read without the key", Cdb({0xA1, 0x08, 0x0E, 0x13, 0x01, 0, 0, 0, 0xA0, 0x21}), 2, 0x0B, -1, 0x04,
       0x51},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::uint8_t> buf(512);
    const bool in = row.cdb[1] == 0x08;
    const auto r = in ? ScsiIn(path_, row.cdb, buf) : ScsiNone(path_, row.cdb);
    ASSERT_EQ(r.error, 0u);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(SenseKey(r.sense), row.senseKey);
    if (row.ataError < 0) {
      EXPECT_TRUE(r.sense.empty());
      continue;
    }
    if (row.ascq >= 0) {
      EXPECT_EQ(r.sense[3], row.ascq);
    }
    const std::uint8_t* d = AtaDescriptor(r.sense);
    ASSERT_NE(d, nullptr);
    ExpectBytes(d, {{"error", 3, row.ataError}, {"status", 13, row.ataStatus}});
  }
  // A bridge that ignores CK_COND answers GOOD without sense.
  FaultRule ignore;
  ignore.action = FaultAction::IgnoreCkCond;
  bridge_->GetFaults().Add(ignore);
  const auto r = ScsiNone(path_, rows[1].cdb);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.sense.empty());
}

TEST_F(BridgeTest, UndecodableFieldsAreRefusedAndAShorterLengthMovesOnlyItself) {
  const struct {
    const char* what;
    std::vector<std::uint8_t> cdb;
    int field;
  } bad[] = {
      {"reserved protocol 2", Cdb({0xA1, 0x04, 0x0E, 0, 1, 0, 0, 0, 0, 0xEC}), Field(1, 4)},
      {"PIO data-in with T_DIR to the device", Cdb({0xA1, 0x08, 0x06, 0, 1, 0, 0, 0, 0, 0xEC}), Field(2, 3)},
      {"no length field", Cdb({0xA1, 0x08, 0x08, 0, 1, 0, 0, 0, 0, 0xEC}), Field(2, 1)},
  };
  std::vector<std::uint8_t> buf(2048, 0xEE);
  for (const auto& row : bad) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(FieldPointer(ScsiIn(path_, row.cdb, buf).sense), row.field);
  }
  // One sector asked for by the CDB into a 2048-byte buffer.
  const auto r = ScsiIn(path_, Cdb({0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0, 0xEC}), buf);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.transferred, 512u);
  EXPECT_EQ(buf[600], 0xEE);
}

TEST_F(BridgeTest, ListingAndPresenceWithoutADrive) {
  site_->SetDrive(1, nullptr);
  auto list = site_->Listing(false);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].path, path_);
  EXPECT_EQ(Detect()[5], 4);
  bridge_->presentWithoutDrive = false;  // pulled with its drive: the bay stays listed without a device
  EXPECT_EQ(site_->Listing(false)[0].path, "NULL");
  EXPECT_EQ(ScsiNone(path_, Cdb({0})).error, win::ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace emu::test
