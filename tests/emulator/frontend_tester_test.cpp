// The tester board's front end, driven through the device I/O seam as the
// command layer and the tester finder drive it.
#include <algorithm>

#include "site_test_util.h"

namespace emu::test {
namespace {

const std::string kTester = "\\\\.\\PhysicalDrive3";

class TesterTest : public SiteTest {
 protected:
  FrontEnd* tester_ = nullptr;
  void SetUp() override {
    SiteTest::SetUp();
    TesterInfo info;
    info.detectMs = 300;
    tester_ = site_->AddTester(3, 10, info);
    ASSERT_NE(tester_, nullptr);
    site_->SetDrive(10, drive_);
    site_->Install();
  }
  std::vector<std::uint8_t> Detect() {
    std::vector<std::uint8_t> r(16, 0xEE);
    const auto res = ScsiIn(kTester, Cdb({0x08, 0xF2, 0x50, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x01}), r);
    EXPECT_EQ(res.error, 0u);
    EXPECT_EQ(res.status, 0);
    return r;
  }
  void Power(int mode) {
    const auto res = ScsiNone(kTester, Cdb({0x08, 0xF2, 0x84, mode, 53, 1, 0, 0, 1}));
    ASSERT_EQ(res.error, 0u);
    ASSERT_EQ(res.status, 0);
  }
};

TEST_F(TesterTest, InquiryMatchesTheFinderThroughBothPassThroughForms) {
  std::vector<std::uint8_t> inq(36);
  auto r = ScsiIn(kTester, Cdb({0x12, 0, 0, 0, 0x24}), inq);
  ASSERT_EQ(r.error, 0u);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.transferred, 36u);
  EXPECT_EQ(std::string(inq.begin() + 16, inq.begin() + 29), "SATA TESTER-S");

  // The finder's buffered form with TargetId 1 and data inside the block.
  win::HANDLE h = win::CreateFileA(kTester.c_str(), win::GENERIC_READ | win::GENERIC_WRITE, 3, nullptr,
                                   win::OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, win::INVALID_HANDLE_VALUE);
  auto b = std::make_unique<win::ScsiPassThroughBlock>();
  b->Spt.TargetId = 1;
  b->Spt.CdbLength = 16;
  b->Spt.SenseInfoLength = 24;
  b->Spt.DataIn = win::SCSI_IOCTL_DATA_IN;
  b->Spt.DataTransferLength = 528;
  b->Spt.TimeOutValue = 10;
  b->Spt.Cdb[0] = 0x08;
  b->Spt.Cdb[1] = 0xF2;
  b->Spt.Cdb[2] = 0xA0;
  win::DWORD got = 0;
  ASSERT_TRUE(win::DeviceIoControl(h, win::IOCTL_SCSI_PASS_THROUGH, b.get(), sizeof *b, b.get(), sizeof *b, &got,
                                   nullptr));
  EXPECT_EQ(b->Spt.ScsiStatus, 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b->Data + 196), 6), "TAVLIN");
  // A transfer longer than the block's data area is refused, not overrun.
  b->Spt.DataTransferLength = sizeof(b->Data) + 1;
  EXPECT_FALSE(win::DeviceIoControl(h, win::IOCTL_SCSI_PASS_THROUGH, b.get(), sizeof *b, b.get(), sizeof *b, &got,
                                    nullptr));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  win::CloseHandle(h);

  // Vital product data is not offered: invalid field at byte 1, bit 0.
  r = ScsiIn(kTester, Cdb({0x12, 0x01, 0x80, 0, 0x24}), inq);
  EXPECT_EQ(r.status, 2);
  int byte = -1, bit = -1;
  ASSERT_TRUE(FieldPointer(r.sense, byte, bit));
  EXPECT_EQ(byte, 1);
  EXPECT_EQ(bit, 0);
}

TEST_F(TesterTest, InformationPageNamesTheSlotAndTheTester) {
  std::vector<std::uint8_t> p(528, 0xEE);
  const auto r = ScsiIn(kTester, Cdb({0x08, 0xF2, 0xA0}), p);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.transferred, 528u);
  EXPECT_EQ(p[8], 0x7D);
  EXPECT_EQ(p[9], 0x0D);
  EXPECT_EQ(p[10], 0x4F);
  EXPECT_EQ(p[11], 0x14);
  EXPECT_EQ(p[118], '0');  // slot 10 as two hex digits
  EXPECT_EQ(p[120], 'A');
  EXPECT_EQ(p[119], 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&p[458]), 4), "TUCR");
  EXPECT_EQ(p[462] << 8 | p[463], 0x0011);
  EXPECT_EQ(p[484], 4);
  EXPECT_EQ(p[486], 1);
  EXPECT_EQ(p[256], 3);

  std::vector<std::uint8_t> v(16);
  ASSERT_EQ(ScsiIn(kTester, Cdb({0x08, 0xF2, 0x50, 0x30, 0xFF, 0, 0, 0, 0, 0, 0, 1}), v).status, 0);
  EXPECT_EQ(v[8], 3);
  EXPECT_EQ(v[9], 0x05);
}

TEST_F(TesterTest, CardDetectFollowsPowerDetectionAndBoot) {
  auto d = Detect();
  EXPECT_EQ(d[5], 1);
  EXPECT_EQ(d[7], 0);
  EXPECT_EQ(d[13], 0x50);

  Power(0);
  EXPECT_FALSE(drive_->Powered());
  d = Detect();
  EXPECT_EQ(d[5], 4);  // absent: busy byte stays non-zero
  EXPECT_NE(d[7], 0);

  Power(1);
  EXPECT_TRUE(drive_->Powered());
  d = Detect();
  EXPECT_NE(d[7], 0);  // the tester is still detecting
  EXPECT_EQ(d[5], 0);
  Advance(300);
  d = Detect();
  EXPECT_EQ(d[7], 0);
  EXPECT_EQ(d[5], 1);
  EXPECT_EQ(d[13], 0x80);  // booting
  Advance(800);
  EXPECT_EQ(Detect()[13], 0x50);
  EXPECT_EQ(site_->Card(10).powerCycles, 1u);

  // Card reset: the card boots again; a tester reset leaves its power alone.
  ASSERT_EQ(ScsiNone(kTester, Cdb({0x08, 0xF2, 0x85, 32})).status, 0);
  Advance(300);
  EXPECT_EQ(Detect()[13], 0x80);
  Advance(800);
  ASSERT_EQ(ScsiNone(kTester, Cdb({0x08, 0xF2, 0x90, 0x80, 0, 48})).status, 0);
  Advance(300);
  EXPECT_EQ(Detect()[13], 0x50);
  EXPECT_EQ(site_->Card(10).testerResets, 1u);
  EXPECT_TRUE(site_->Card(10).powered);
}

TEST_F(TesterTest, EraseErrorTravelsInByte12AndLeavesTheDetectBusyByteClear) {
  const auto& k = kx::kApKeySignature;
  ASSERT_EQ(ScsiNone(kTester, Cdb({0x08, 0xF2, 0x71, 0, k[5], 0, k[0], k[1], k[2], k[3], k[4]})).status, 0);
  drive_->Faults().WrongVerdict(1);
  // Polled erase (A1 0A 06 form, no data), failing with an erase error.
  ASSERT_EQ(ScsiNone(kTester, Cdb({0xA1, 0x0A, 0x06, 0x26, 1, 1, 0x20, 0x09, 0xA0, 0x31})).status, 0);
  Advance(drive_->Config().eraseMs);
  const auto d = Detect();
  EXPECT_EQ(d[13], 0x50);
  EXPECT_EQ(d[5], 1);
  EXPECT_EQ(d[7], 0);  // a detected card, not "still detecting"
  EXPECT_NE(d[12], 0);
}

TEST_F(TesterTest, EmptySlotAndCardFaultsReportAbsentOrTimedOut) {
  TesterFaults f;
  f.cardAbsent = true;
  site_->SetTesterFaults(10, f);
  EXPECT_EQ(Detect()[5], 4);
  f = {};
  f.detectTimesOut = true;
  site_->SetTesterFaults(10, f);
  auto d = Detect();
  EXPECT_EQ(d[5], 5);
  EXPECT_NE(d[7], 0);
  site_->SetTesterFaults(10, {});
  site_->SetDrive(10, nullptr);
  d = Detect();
  EXPECT_EQ(d[5], 4);
  EXPECT_EQ(d[13], 0);
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

TEST_F(TesterTest, ShortTestsCurrentsAndVoltageFaults) {
  auto shortTest = [&] {
    std::vector<std::uint8_t> r(16);
    EXPECT_EQ(ScsiIn(kTester, Cdb({0x08, 0xF2, 0x99, 0, 0, 0, 0, 0, 0, 0, 0, 1}), r).status, 0);
    return r[7] * 16 + r[8];
  };
  EXPECT_EQ(shortTest(), 0x00);
  TesterFaults f;
  f.short5V = ShortFault::FirstTest;
  f.short33V = ShortFault::BothTests;
  site_->SetTesterFaults(10, f);
  EXPECT_EQ(shortTest(), 0x11);
  EXPECT_EQ(shortTest(), 0x01);
  // The next check starts with a power-off, and sees the first-test short again.
  ASSERT_EQ(ScsiNone(kTester, Cdb({0x08, 0xF2, 0x84, 0, 48})).status, 0);
  EXPECT_EQ(shortTest(), 0x11);
  EXPECT_EQ(shortTest(), 0x01);
  Power(1);

  std::vector<std::uint8_t> r(16);
  ASSERT_EQ(ScsiIn(kTester, Cdb({0x08, 0xF2, 0x50, 0x20, 0, 0, 0, 0, 0, 0, 0, 1}), r).status, 0);
  EXPECT_EQ(r[10] << 8 | r[11], 1000);
  ASSERT_EQ(ScsiIn(kTester, Cdb({0x08, 0xF2, 0x50, 0x24, 0, 0, 0, 0, 0, 0, 0, 1}), r).status, 0);
  EXPECT_EQ(r[0] << 8 | r[1], 1500);
  ASSERT_EQ(ScsiIn(kTester, Cdb({0x08, 0xF2, 0x50, 0x24, 1, 0, 0, 0, 0, 0, 0, 1}), r).status, 0);
  ASSERT_EQ(ScsiIn(kTester, Cdb({0x08, 0xF2, 0x50, 0x24, 0, 0, 0, 0, 0, 0, 0, 1}), r).status, 0);
  EXPECT_EQ(r[0] << 8 | r[1], 1000);  // cleared: the record restarts from the present current

  ASSERT_EQ(ScsiIn(kTester, Cdb({0x08, 0xF2, 0x50, 0x18, 3, 0, 0, 0, 0, 0, 0, 1}), r).status, 0);
  EXPECT_EQ(r[10] | r[11] | r[12], 0);
  EXPECT_EQ(site_->Card(10).voltageLevel, 3);

  f = {};
  f.currentInvalid = true;
  f.adjustVoltageReply = 1;
  site_->SetTesterFaults(10, f);
  ASSERT_EQ(ScsiIn(kTester, Cdb({0x08, 0xF2, 0x50, 0x20, 0, 0, 0, 0, 0, 0, 0, 1}), r).status, 0);
  EXPECT_EQ(r[10] << 8 | r[11], 0xFFFF);
  ASSERT_EQ(ScsiIn(kTester, Cdb({0x08, 0xF2, 0x50, 0x24, 0, 0, 0, 0, 0, 0, 0, 1}), r).status, 0);
  EXPECT_EQ(r[0] << 8 | r[1], 0xFFFF);
  ASSERT_EQ(ScsiIn(kTester, Cdb({0x08, 0xF2, 0x50, 0x18, 53, 0, 0, 0, 0, 0, 0, 1}), r).status, 0);
  EXPECT_EQ(r[12], 1);
}

TEST_F(TesterTest, PowerCommandsFailKTimesThenWork) {
  TesterFaults f;
  f.powerCommandFailures = 2;
  site_->SetTesterFaults(10, f);
  EXPECT_EQ(ScsiNone(kTester, Cdb({0x08, 0xF2, 0x84, 0, 48})).status, 2);
  EXPECT_EQ(ScsiNone(kTester, Cdb({0x08, 0xF2, 0x85, 32})).status, 2);
  EXPECT_TRUE(drive_->Powered());
  EXPECT_EQ(ScsiNone(kTester, Cdb({0x08, 0xF2, 0x84, 0, 48})).status, 0);
  EXPECT_FALSE(drive_->Powered());
  // A power mode the tester does not know is refused, pointing at byte 3.
  const auto r = ScsiNone(kTester, Cdb({0x08, 0xF2, 0x84, 7}));
  int byte = -1, bit = -1;
  ASSERT_TRUE(FieldPointer(r.sense, byte, bit));
  EXPECT_EQ(byte, 3);
}

TEST_F(TesterTest, AtaFormsReachTheDrive) {
  // IDENTIFY in the 71 form.
  std::vector<std::uint8_t> id(512);
  auto r = ScsiIn(kTester, Cdb({0x08, 0xF2, 0x71, 0x01, 0xEC, 0, 1, 0, 0, 0, 0, 1}), id);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.transferred, 512u);
  EXPECT_NE(id[0] | id[1], 0);

  // Access key with a register reply: count 01, LBA low 01, status 50.
  const auto& k = kx::kApKeySignature;
  std::vector<std::uint8_t> regs(16, 0xEE);
  r = ScsiIn(kTester, Cdb({0x08, 0xF2, 0x71, 0x00, k[5], 0x00, k[0], k[1], k[2], k[3], k[4], 1}), regs);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(regs[1], 0x01);
  EXPECT_EQ(regs[2], 0x01);
  EXPECT_EQ(regs[6], 0x50);
  EXPECT_TRUE(drive_->KeyAccepted());

  // 48-bit write then read with a count of 2 at LBA 0x1F0405.
  std::vector<std::uint8_t> out(1024), in(1024);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i * 7);
  const auto lbaCdb = [](int cmd) { return Cdb({0x08, 0xF2, 0x48, cmd, 2, 0, 0x05, 0x04, 0x1F, 0, 0, 0}); };
  ASSERT_EQ(ScsiOut(kTester, lbaCdb(0x35), out).status, 0);
  ASSERT_EQ(ScsiIn(kTester, lbaCdb(0x25), in).status, 0);
  EXPECT_EQ(in, out);
  EXPECT_EQ(drive_->ReadMedia(0x1F0405ull, 2), out);

  // GetICFWName: the running code's name.
  std::vector<std::uint8_t> name(16);
  ASSERT_EQ(ScsiIn(kTester, Cdb({0x08, 0xF2, 0x50, 0x60, 0x01}), name).status, 0);
  const auto want = drive_->FirmwareName();
  EXPECT_TRUE(std::equal(want.begin(), want.end(), name.begin()));

  // Errors come back as CHECK CONDITION with the ATA registers in descriptor sense.
  drive_->PowerOff();
  drive_->PowerOn();
  Advance(1000);
  r = ScsiIn(kTester, Cdb({0x08, 0xF2, 0x71, 0x01, 0x21, 0x13, 1, 0, 0, 0, 0xA0, 1}), id);  // no key after power cycle
  ASSERT_EQ(r.status, 2);
  const std::uint8_t* d = AtaDescriptor(r.sense);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d[13], 0x51);
  EXPECT_EQ(d[3], 0x04);
}

TEST_F(TesterTest, DeviceSleepLineAndUnknownCommands) {
  ASSERT_EQ(ScsiNone(kTester, Cdb({0x08, 0xF2, 0x50, 0x05, 0x01})).status, 0);
  EXPECT_TRUE(site_->Card(10).devSleep);
  ASSERT_EQ(ScsiNone(kTester, Cdb({0x08, 0xF2, 0x50, 0x05, 0x02})).status, 0);  // DisableDEVSLP(2)
  EXPECT_FALSE(site_->Card(10).devSleep);

  int byte = -1, bit = -1;
  auto r = ScsiNone(kTester, Cdb({0x08, 0xF2, 0x50, 0x77}));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(SenseKey(r.sense), 0x05);
  EXPECT_EQ(SenseAsc(r.sense), 0x24);
  ASSERT_TRUE(FieldPointer(r.sense, byte, bit));
  EXPECT_EQ(byte, 3);
  r = ScsiNone(kTester, Cdb({0x08, 0xF2, 0x33}));
  ASSERT_TRUE(FieldPointer(r.sense, byte, bit));
  EXPECT_EQ(byte, 2);
  r = ScsiNone(kTester, Cdb({0x08, 0xF2, 0x71, 0x05, 0xEC}));  // unknown protocol
  ASSERT_TRUE(FieldPointer(r.sense, byte, bit));
  EXPECT_EQ(byte, 3);
  r = ScsiNone(kTester, Cdb({0x28}));
  EXPECT_EQ(SenseAsc(r.sense), 0x20);  // invalid opcode
  ASSERT_TRUE(FieldPointer(r.sense, byte, bit));
  EXPECT_EQ(byte, 0);
}

TEST_F(TesterTest, PhysicalDrivesWithoutATesterDoNotOpen) {
  EXPECT_EQ(win::CreateFileA("\\\\.\\PhysicalDrive4", 0, 0, nullptr, win::OPEN_EXISTING, 0, nullptr),
            win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(win::CreateFileA("NULL", 0, 0, nullptr, win::OPEN_EXISTING, 0, nullptr), win::INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace emu::test
