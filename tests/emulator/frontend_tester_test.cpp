// The tester board's front end, driven through the device I/O seam as the
// command layer and the tester finder drive it.
#include <algorithm>

#include "site_test_util.h"

namespace emu::test {
namespace {

const std::string kTester = "\\\\.\\PhysicalDrive3";

class TesterTest : public SiteTest {
 protected:
  void SetUp() override {
    SiteTest::SetUp();
    TesterInfo info;
    info.detectMs = 300;
    ASSERT_NE(site_->AddTester(3, 10, info), nullptr);
    site_->SetDrive(10, drive_);
    site_->Install();
  }
  // A 16-byte reply of 08 F2 xx (bytes 3.. as given, byte 11 = 1).
  static std::vector<std::uint8_t> In16(std::initializer_list<int> tail, std::uint8_t sub = 0x50) {
    std::vector<int> c = {0x08, 0xF2, sub};
    c.insert(c.end(), tail);
    c.resize(11, 0);
    c.push_back(1);
    std::vector<std::uint8_t> cdb(16, 0), r(16, 0xEE);
    std::copy(c.begin(), c.end(), cdb.begin());
    const auto res = ScsiIn(kTester, cdb, r);
    EXPECT_EQ(res.error, 0u);
    EXPECT_EQ(res.status, 0);
    return r;
  }
  static std::vector<std::uint8_t> Detect() { return In16({0x00, 0x01}); }
  static int Short() {
    const auto r = In16({}, 0x99);
    return r[7] * 16 + r[8];
  }
  static std::uint8_t Raw(std::initializer_list<int> cdb) { return ScsiNone(kTester, Cdb(cdb)).status; }
};

TEST_F(TesterTest, InquiryMatchesTheFinderThroughBothPassThroughForms) {
  std::vector<std::uint8_t> inq(36);
  auto r = ScsiIn(kTester, Cdb({0x12, 0, 0, 0, 0x24}), inq);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.transferred, 36u);
  EXPECT_EQ(inq[0], 0x00);  // disk
  EXPECT_EQ(std::string(inq.begin() + 16, inq.begin() + 29), "SATA TESTER-S");

  // The finder's buffered form with TargetId 1 and data inside the block.
  auto b = std::make_unique<win::ScsiPassThroughBlock>();
  b->Spt.TargetId = 1;
  b->Spt.CdbLength = 16;
  b->Spt.SenseInfoLength = 24;
  b->Spt.DataIn = win::SCSI_IOCTL_DATA_IN;
  b->Spt.DataTransferLength = 528;
  b->Spt.TimeOutValue = 10;
  std::memcpy(b->Spt.Cdb, "\x08\xF2\xA0", 3);
  win::DWORD err = 0;
  ASSERT_TRUE(Control(kTester, win::IOCTL_SCSI_PASS_THROUGH, *b, err));
  EXPECT_EQ(b->Spt.ScsiStatus, 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b->Data + 196), 6), "TAVLIN");
  // A transfer longer than the block's data area is refused, not overrun.
  b->Spt.DataTransferLength = sizeof(b->Data) + 1;
  EXPECT_FALSE(Control(kTester, win::IOCTL_SCSI_PASS_THROUGH, *b, err));
  EXPECT_EQ(err, win::ERROR_INVALID_PARAMETER);

  // Vital product data is not offered: invalid field at byte 1, bit 0.
  EXPECT_EQ(FieldPointer(ScsiIn(kTester, Cdb({0x12, 0x01, 0x80, 0, 0x24}), inq).sense), Field(1, 0));
  // Physical drives without a tester, and "NULL", do not open.
  EXPECT_EQ(OpenDevice("\\\\.\\PhysicalDrive4"), win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenDevice("NULL"), win::INVALID_HANDLE_VALUE);
}

TEST_F(TesterTest, InformationPageAndFirmwareVersion) {
  std::vector<std::uint8_t> p(528, 0xEE);
  const auto r = ScsiIn(kTester, Cdb({0x08, 0xF2, 0xA0}), p);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.transferred, 528u);
  EXPECT_EQ(Pick(p, {8, 9, 10, 11}), (Ints{0x7D, 0x0D, 0x4F, 0x14}));
  std::string name;
  for (int i = 98; i <= 120; i += 2) name += static_cast<char>(p[static_cast<std::size_t>(i)]);
  EXPECT_EQ(name, "KXTEST-S..0A");  // slot 10 as two hex digits
  EXPECT_EQ(p[119], 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&p[458]), 4), "TUCR");
  // Calibration (big-endian), USB generation, tester kind, output voltage.
  EXPECT_EQ(Pick(p, {462, 463, 256, 484, 486}), (Ints{0x00, 0x11, 3, 4, 1}));
  EXPECT_EQ(Pick(In16({0x30, 0xFF}), {8, 9}), (Ints{3, 0x05}));
}

TEST_F(TesterTest, CardDetectFollowsPowerDetectionAndBoot) {
  // Detect code (5), detect-busy byte (7), card state (13).
  EXPECT_EQ(Pick(Detect(), {5, 7, 13}), (Ints{1, 0, 0x50}));
  ASSERT_EQ(Raw({0x08, 0xF2, 0x84, 0, 48}), 0);
  EXPECT_FALSE(drive_->Powered());
  EXPECT_EQ(Pick(Detect(), {5, 7}), (Ints{4, 1}));  // absent: the busy byte stays non-zero
  ASSERT_EQ(Raw({0x08, 0xF2, 0x84, 1, 53, 1, 0, 0, 1}), 0);
  EXPECT_EQ(Pick(Detect(), {5, 7}), (Ints{0, 1}));  // the tester is still detecting
  Advance(300);
  EXPECT_EQ(Pick(Detect(), {5, 7, 13}), (Ints{1, 0, 0x80}));  // booting
  Advance(800);
  EXPECT_EQ(Detect()[13], 0x50);
  EXPECT_EQ(site_->Card(10).powerCycles, 1u);

  // Card reset: the card boots again; a tester reset leaves its power alone.
  ASSERT_EQ(Raw({0x08, 0xF2, 0x85, 32}), 0);
  Advance(300);
  EXPECT_EQ(Detect()[13], 0x80);
  Advance(800);
  ASSERT_EQ(Raw({0x08, 0xF2, 0x90, 0x80, 0, 48}), 0);
  Advance(300);
  EXPECT_EQ(Detect()[13], 0x50);
  EXPECT_EQ(site_->Card(10).testerResets, 1u);
  EXPECT_TRUE(site_->Card(10).powered);
}

TEST_F(TesterTest, EraseErrorTravelsInByte12AndLeavesTheDetectBusyByteClear) {
  const auto& k = kx::kApKeySignature;
  ASSERT_EQ(Raw({0x08, 0xF2, 0x71, 0, k[5], 0, k[0], k[1], k[2], k[3], k[4]}), 0);
  drive_->Faults().WrongVerdict(1);
  // Polled erase (A1 0A 06 form, no data), failing with an erase error.
  ASSERT_EQ(Raw({0xA1, 0x0A, 0x06, 0x26, 1, 1, 0x20, 0x09, 0xA0, 0x31}), 0);
  Advance(drive_->Config().eraseMs);
  // A detected card (7 = 0, not "still detecting") with the erase error in byte 12.
  EXPECT_EQ(Pick(Detect(), {5, 7, 12, 13}), (Ints{1, 0, 1, 0x50}));
}

TEST_F(TesterTest, EmptySlotReportsNoCard) {
  site_->SetDrive(10, nullptr);
  EXPECT_EQ(Pick(Detect(), {5, 7, 13}), (Ints{4, 1, 0}));
  // An ATA command for an empty slot: NOT READY, medium not present.
  std::vector<std::uint8_t> id(512);
  const auto r = ScsiIn(kTester, Cdb({0x08, 0xF2, 0x71, 0x01, 0xEC, 0, 1, 0, 0, 0, 0, 1}), id);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(SenseKey(r.sense), 0x02);
  EXPECT_EQ(SenseAsc(r.sense), 0x3A);
  // The page reports the output voltage as "no card".
  std::vector<std::uint8_t> p(528);
  ASSERT_EQ(ScsiIn(kTester, Cdb({0x08, 0xF2, 0xA0}), p).status, 0);
  EXPECT_EQ(p[486], 3);
}

// The supply faults themselves are exercised through the host's checks
// (device card-operation tests); here the tester's own records.
TEST_F(TesterTest, ShortTestRestartsAfterPowerOffAndClearingTheMaxCurrentRecord) {
  TesterFaults f;
  f.short5V = ShortFault::FirstTest;
  site_->SetTesterFaults(10, f);
  EXPECT_EQ(Short(), 0x10);
  EXPECT_EQ(Short(), 0x00);
  ASSERT_EQ(Raw({0x08, 0xF2, 0x84, 0, 48}), 0);  // the next check starts with a power-off
  EXPECT_EQ(Short(), 0x10);
  ASSERT_EQ(Raw({0x08, 0xF2, 0x84, 1, 53}), 0);
  auto maxCurrent = [] { const auto r = In16({0x24}); return r[0] << 8 | r[1]; };
  EXPECT_EQ(maxCurrent(), 1500);
  In16({0x24, 0x01});
  EXPECT_EQ(maxCurrent(), 1000);  // cleared: the record restarts from the present current
  const auto current = In16({0x20});
  EXPECT_EQ(current[10] << 8 | current[11], 1000);
}

TEST_F(TesterTest, AtaFormsReachTheDrive) {
  // Access key with a register reply: count 01, LBA low 01, status 50.
  const auto& k = kx::kApKeySignature;
  EXPECT_EQ(Pick(In16({0x00, k[5], 0x00, k[0], k[1], k[2], k[3], k[4]}, 0x71), {1, 2, 6}), (Ints{0x01, 0x01, 0x50}));
  EXPECT_TRUE(drive_->KeyAccepted());

  // 48-bit write then read with a count of 2 at LBA 0x1F0405.
  std::vector<std::uint8_t> out(1024), in(1024);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i * 7);
  const auto lbaCdb = [](int cmd) { return Cdb({0x08, 0xF2, 0x48, cmd, 2, 0, 0x05, 0x04, 0x1F, 0, 0, 0}); };
  ASSERT_EQ(ScsiOut(kTester, lbaCdb(0x35), out).status, 0);
  ASSERT_EQ(ScsiIn(kTester, lbaCdb(0x25), in).status, 0);
  EXPECT_EQ(in, out);
  EXPECT_EQ(drive_->ReadMedia(0x1F0405ull, 2), out);
  EXPECT_EQ(drive_->Trace().back().request.device, 0x40);  // the form has no device byte: the board sets LBA

  // EXECUTE DEVICE DIAGNOSTIC: its code in the error register is no failure; the
  // registers come back with the ATA signature.
  const auto diag = In16({0x00, 0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0}, 0x71);
  const char* const names[] = {"error", "count", "LBA low", "LBA mid", "LBA high", "device", "status"};
  const std::uint8_t signature[] = {0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x50};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(diag[static_cast<std::size_t>(i)], signature[i]) << names[i];

  // GetICFWName: the running code's name.
  std::vector<std::uint8_t> name(16);
  ASSERT_EQ(ScsiIn(kTester, Cdb({0x08, 0xF2, 0x50, 0x60, 0x01}), name).status, 0);
  const auto want = drive_->FirmwareName();
  EXPECT_TRUE(std::equal(want.begin(), want.end(), name.begin()));

  // Errors come back as CHECK CONDITION with the ATA registers in descriptor sense.
  drive_->PowerOff();
  drive_->PowerOn();
  Advance(1000);
  std::vector<std::uint8_t> id(512);
  const auto r = ScsiIn(kTester, Cdb({0x08, 0xF2, 0x71, 0x01, 0x21, 0x13, 1, 0, 0, 0, 0xA0, 1}), id);  // no key
  ASSERT_EQ(r.status, 2);
  const std::uint8_t* d = AtaDescriptor(r.sense);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(Pick(d, {3, 13}), (Ints{0x04, 0x51}));
}

TEST_F(TesterTest, DeviceSleepLineAndUndecodableCommands) {
  ASSERT_EQ(Raw({0x08, 0xF2, 0x50, 0x05, 0x01}), 0);
  EXPECT_TRUE(site_->Card(10).devSleep);
  ASSERT_EQ(Raw({0x08, 0xF2, 0x50, 0x05, 0x02}), 0);  // DisableDEVSLP(2)
  EXPECT_FALSE(site_->Card(10).devSleep);

  const struct {
    std::vector<std::uint8_t> cdb;
    int field;
  } bad[] = {
      {Cdb({0x08, 0xF2, 0x50, 0x77}), Field(3)},        // unknown sub-command
      {Cdb({0x08, 0xF2, 0x33}), Field(2)},              // unknown tester command
      {Cdb({0x08, 0xF2, 0x71, 0x05, 0xEC}), Field(3)},  // unknown protocol
      {Cdb({0x08, 0xF2, 0x84, 7}), Field(3)},           // unknown power mode
      {Cdb({0x28}), Field(0)},                          // invalid opcode
  };
  for (const auto& b : bad) {
    const auto r = ScsiNone(kTester, b.cdb);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(FieldPointer(r.sense), b.field) << int(b.cdb[2]);
  }
  EXPECT_EQ(SenseAsc(ScsiNone(kTester, Cdb({0x28})).sense), 0x20);
}

}  // namespace
}  // namespace emu::test
