// Transport fault rules as the front ends carry them out, and the per-device
// command log. Which requests a rule matches (skip, every, count, opcode,
// sub-code, ATA command, features) is pinned by EmulatorIniTest's probes and the
// FaultProbe table below.
#include "emulator/Transport.h"
#include "tests/emulator/SiteTestUtil.h"

namespace emu::test {
namespace {

const std::vector<std::uint8_t> kIdentify12 = Cdb({0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0, 0xEC});

class FaultsTest : public SiteTest {
 protected:
  std::string bridge_ = Site::BridgePath(1);
  std::string sata_ = Site::SataPath(2);
  FrontEnd* fe_ = nullptr;
  std::vector<std::uint8_t> id_ = std::vector<std::uint8_t>(512);
  void SetUp() override {
    SiteTest::SetUp();
    fe_ = site_->AddBridge(1);
    site_->AddSataPort(2);
    site_->SetDrive(2, std::make_shared<Drive>(SiteDriveConfig()));
    site_->GetDrive(2)->PowerOn();
    Advance(1000);
    site_->Install();
  }
  win::DWORD Identify() { return ScsiIn(bridge_, kIdentify12, id_).error; }
  static FaultRule Rule(FaultAction action) {
    FaultRule r;
    r.action = action;
    return r;
  }
};

// What a rule can match in each form: its opcode, the tester's sub-code, and the
// ATA command and features wherever the form carries them.
TEST(FaultProbe, CommandAndFeaturesOfEveryForm) {
  struct Row {
    const char* what;
    std::vector<std::uint8_t> cdb;
    int opcode, subcode, ataCommand, features;
  };
  const Row rows[] = {
      {"ATA PASS-THROUGH (12)", Cdb({0xA1, 0x08, 0x0E, 0xD0, 1, 0, 0x4F, 0xC2, 0xA0, 0xB0}), 0xA1, -1, 0xB0, 0xD0},
      {"ATA PASS-THROUGH (16)", Cdb({0x85, 0x09, 0x0E, 0x12, 0xD0, 0, 1, 0, 0, 0, 0x4F, 0, 0xC2, 0xA0, 0xB0}), 0x85,
       -1, 0xB0, 0xD0},
      {"tester 71", Cdb({0x08, 0xF2, 0x71, 0x01, 0xEC, 0x05, 1, 0, 0, 0, 0xA0, 1}), 0x08, 0x71, 0xEC, 0x05},
      {"tester 48", Cdb({0x08, 0xF2, 0x48, 0x25, 8, 0, 1, 2, 3, 4, 5, 6}), 0x08, 0x48, 0x25, -1},
      {"tester 50", Cdb({0x08, 0xF2, 0x50, 0x05, 0x01}), 0x08, 0x50, -1, -1},
      {"INQUIRY", Cdb({0x12, 0, 0, 0, 0x24}), 0x12, -1, -1, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const FaultProbe p = transport::ProbeCdb(row.cdb.data(), win::IOCTL_SCSI_PASS_THROUGH_DIRECT);
    EXPECT_EQ(win::IOCTL_SCSI_PASS_THROUGH_DIRECT, p.ioctl);
    EXPECT_EQ(row.opcode, p.opcode);
    EXPECT_EQ(row.subcode, p.subcode);
    EXPECT_EQ(row.ataCommand, p.ataCommand);
    EXPECT_EQ(row.features, p.features);
  }
}

TEST_F(FaultsTest, CheckConditionWithChosenSenseInEitherFormat) {
  FaultRule r = Rule(FaultAction::CheckCondition);
  r.senseKey = 0x03;
  r.asc = 0x11;
  r.ascq = 0x04;
  for (bool descriptor : {false, true}) {
    r.descriptorSense = descriptor;
    fe_->GetFaults().Add(r);
    const auto res = ScsiIn(bridge_, kIdentify12, id_);
    ASSERT_EQ(res.status, 2);
    EXPECT_EQ(res.sense[0], descriptor ? 0x72 : 0x70);
    EXPECT_EQ(SenseKey(res.sense), 0x03);
    EXPECT_EQ(SenseAsc(res.sense), 0x11);
    EXPECT_EQ(res.sense[descriptor ? 3 : 13], 0x04);
  }
  for (const auto& t : drive_->Trace()) EXPECT_NE(t.request.command, 0xEC);  // the drive never saw them

  // On the ATA path the same rule fails the command with ERR set.
  site_->SataPort(2)->GetFaults().Add(r);
  const auto a = AtaIdentify(sata_, id_);
  ASSERT_EQ(a.error, 0u);
  EXPECT_EQ(a.regs[6], 0x51);
  EXPECT_NE(a.regs[0], 0);
}

TEST_F(FaultsTest, ShortTransferAndBusyPastTheTimeOut) {
  FaultRule s = Rule(FaultAction::ShortTransfer);
  s.transferBytes = 100;
  fe_->GetFaults().Add(s);
  std::fill(id_.begin(), id_.end(), 0xEE);
  const auto res = ScsiIn(bridge_, kIdentify12, id_);
  ASSERT_EQ(res.status, 0);
  EXPECT_EQ(res.transferred, 100u);
  EXPECT_NE(id_[0], 0xEE);
  EXPECT_EQ(id_[100], 0xEE);

  FaultRule d = Rule(FaultAction::Delay);
  d.delayMs = 40000;
  d.count = 2;
  fe_->GetFaults().Add(d);
  std::uint64_t t0 = platform::Clock().NowMs();
  EXPECT_EQ(SendScsi(bridge_, kIdentify12, 1, id_.data(), 512, 30).error, win::ERROR_SEM_TIMEOUT);
  EXPECT_EQ(platform::Clock().NowMs() - t0, 30000u);
  t0 = platform::Clock().NowMs();
  EXPECT_EQ(SendScsi(bridge_, kIdentify12, 1, id_.data(), 512, 60).error, 0u);  // long enough
  EXPECT_EQ(platform::Clock().NowMs() - t0, 40000u);
  // A booting card is waited for, as a host adapter waits for BSY to clear; a
  // command nobody answers fails with 121 once its time-out has passed.
  drive_->HardReset();
  t0 = platform::Clock().NowMs();
  EXPECT_EQ(Identify(), 0u);
  EXPECT_GE(platform::Clock().NowMs() - t0, 800u);
  drive_->Faults().TimeOutNext(1);
  t0 = platform::Clock().NowMs();
  EXPECT_EQ(SendScsi(bridge_, kIdentify12, 1, id_.data(), 512, 20).error, win::ERROR_SEM_TIMEOUT);
  EXPECT_EQ(platform::Clock().NowMs() - t0, 20000u);
  drive_->PowerOff();
  EXPECT_EQ(SendScsi(bridge_, kIdentify12, 1, id_.data(), 512, 20).error, win::ERROR_SEM_TIMEOUT);
  EXPECT_EQ(platform::Clock().NowMs() - t0, 40000u);
}

TEST_F(FaultsTest, DeviceGoneAndHotRemoval) {
  fe_->GetFaults().Add(Rule(FaultAction::Gone));
  EXPECT_EQ(Identify(), win::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Identify(), win::ERROR_FILE_NOT_FOUND);  // opens fail from now on
  EXPECT_EQ(site_->Listing(false)[0].path, "NULL");
  fe_->SetGone(false);
  EXPECT_EQ(Identify(), 0u);

  // Hot removal mid-command: the command fails, the bridge stays and reports no card;
  // so also when the request never reaches the drive (here a card detect).
  fe_->GetFaults().Add(Rule(FaultAction::HotRemove));
  EXPECT_EQ(Identify(), win::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(drive_->Removed());
  std::vector<std::uint8_t> reply(16);
  ASSERT_EQ(ScsiIn(bridge_, Cdb({0xA1, 0x1E, 0x2E, 0, 1}), reply).status, 0);
  EXPECT_EQ(reply[5], 4);
  drive_->Reinsert();
  fe_->GetFaults().Add(Rule(FaultAction::HotRemove));
  EXPECT_EQ(ScsiIn(bridge_, Cdb({0xA1, 0x1E, 0x2E, 0, 1}), reply).error, win::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(drive_->Removed());

  // On a SATA port the port goes with its drive, and comes back with it.
  site_->SataPort(2)->GetFaults().Add(Rule(FaultAction::HotRemove));
  EXPECT_EQ(AtaIdentify(sata_, id_).error, win::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(AtaIdentify(sata_, id_).error, win::ERROR_FILE_NOT_FOUND);
  site_->GetDrive(2)->Reinsert();
  Advance(1000);
  EXPECT_EQ(AtaIdentify(sata_, id_).error, 0u);
}

TEST_F(FaultsTest, TheLogRecordsWhatEachDeviceSawAndAnswered) {
  fe_->GetFaults().FailNext(1);
  Identify();
  Identify();
  ScsiNone(bridge_, Cdb({0x3B}));
  const auto log = fe_->Log().Records();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].ioctl, win::IOCTL_SCSI_PASS_THROUGH_DIRECT);
  EXPECT_EQ(log[0].osError, win::ERROR_GEN_FAILURE);
  EXPECT_STREQ(log[0].note, "fault: os error");
  EXPECT_EQ(log[1].cdb[9], 0xEC);
  EXPECT_EQ(log[1].length, 512u);
  EXPECT_EQ(log[1].transferred, 512u);
  EXPECT_EQ(log[1].ataStatus, 0x50);
  EXPECT_EQ(log[1].scsiStatus, 0);
  EXPECT_EQ(log[2].scsiStatus, 2);
  EXPECT_EQ(log[2].senseKey, 0x05);
  EXPECT_EQ(log[2].asc, 0x20);
  // Bounded: the oldest records go first.
  CommandLog small(2);
  for (std::uint32_t i = 0; i < 5; ++i) {
    TraceRecord t;
    t.length = i;
    small.Append(t);
  }
  ASSERT_EQ(small.Size(), 2u);
  EXPECT_EQ(small.Records()[0].length, 3u);
  EXPECT_EQ(small.Total(), 5u);
}

TEST_F(FaultsTest, BadRequestBlocksAreRefusedNotFollowed) {
  win::HANDLE h = OpenDevice(bridge_);
  ASSERT_NE(h, win::INVALID_HANDLE_VALUE);
  win::ScsiPassThroughDirectBlock b;
  b.Sptd.CdbLength = 16;
  b.Sptd.DataIn = 1;
  b.Sptd.DataTransferLength = 512;  // no buffer
  win::DWORD got = 0;
  auto refused = [&](win::DWORD code, void* p, win::DWORD size) {
    return win::DeviceIoControl(h, code, p, size, p, size, &got, nullptr) ? 0u : win::GetLastError();
  };
  EXPECT_EQ(refused(win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &b, sizeof b), win::ERROR_INVALID_PARAMETER);
  b.Sptd.DataTransferLength = 0;
  b.Sptd.CdbLength = 17;
  EXPECT_EQ(refused(win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &b, sizeof b), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(refused(win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &b, 10), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(refused(0x12345, &b, sizeof b), win::ERROR_INVALID_FUNCTION);
  win::ATA_PASS_THROUGH_DIRECT a;  // not a bridge's
  EXPECT_EQ(refused(win::IOCTL_ATA_PASS_THROUGH_DIRECT, &a, sizeof a), win::ERROR_INVALID_FUNCTION);
  win::CloseHandle(h);
}

}  // namespace
}  // namespace emu::test
