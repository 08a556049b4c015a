// The tester board's front end through the device I/O seam: what the finder's
// and the command layer's tests (tests/command) do not reach - refusals, the
// card-detect bytes over power and boot, empty slots, errors in sense.
#include <algorithm>

#include "tests/emulator/SiteTestUtil.h"

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

TEST_F(TesterTest, RefusesWhatItCannotServe) {
  // A buffered transfer longer than the block's data area is refused, not overrun.
  auto b = std::make_unique<win::ScsiPassThroughBlock>();
  b->Spt.CdbLength = 16;
  b->Spt.DataIn = win::SCSI_IOCTL_DATA_IN;
  b->Spt.DataTransferLength = sizeof(b->Data) + 1;
  std::memcpy(b->Spt.Cdb, "\x08\xF2\xA0", 3);
  win::DWORD err = 0;
  EXPECT_FALSE(Control(kTester, win::IOCTL_SCSI_PASS_THROUGH, *b, err));
  EXPECT_EQ(err, win::ERROR_INVALID_PARAMETER);
  // Physical drives without a tester, and "NULL", do not open.
  EXPECT_EQ(OpenDevice("\\\\.\\PhysicalDrive4"), win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenDevice("NULL"), win::INVALID_HANDLE_VALUE);
  const struct {
    const char* what;
    std::vector<std::uint8_t> cdb;
    std::uint8_t asc;
    int field;
  } bad[] = {
      {"vital product data", Cdb({0x12, 0x01, 0x80, 0, 0x24}), 0x24, Field(1, 0)},
      {"unknown sub-command", Cdb({0x08, 0xF2, 0x50, 0x77}), 0x24, Field(3)},
      {"unknown tester command", Cdb({0x08, 0xF2, 0x33}), 0x24, Field(2)},
      {"unknown protocol", Cdb({0x08, 0xF2, 0x71, 0x05, 0xEC}), 0x24, Field(3)},
      {"unknown power mode", Cdb({0x08, 0xF2, 0x84, 7}), 0x24, Field(3)},
      {"invalid opcode", Cdb({0x28}), 0x20, Field(0)},
  };
  for (const auto& row : bad) {
    SCOPED_TRACE(row.what);
    const auto r = ScsiNone(kTester, row.cdb);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(SenseAsc(r.sense), row.asc);
    EXPECT_EQ(FieldPointer(r.sense), row.field);
  }
}

TEST_F(TesterTest, CardDetectFollowsPowerDetectionAndBoot) {
  ExpectBytes(Detect(), {{"detect code", 5, 1}, {"detect busy", 7, 0}, {"card state", 13, 0x50}});
  ASSERT_EQ(Raw({0x08, 0xF2, 0x84, 0, 48}), 0);
  EXPECT_FALSE(drive_->Powered());
  ExpectBytes(Detect(), {{"detect code: absent", 5, 4}, {"detect busy stays set", 7, 1}});
  ASSERT_EQ(Raw({0x08, 0xF2, 0x84, 1, 53, 1, 0, 0, 1}), 0);
  ExpectBytes(Detect(), {{"detect code: detecting", 5, 0}, {"detect busy", 7, 1}});
  Advance(300);
  ExpectBytes(Detect(), {{"detect code: found", 5, 1}, {"detect busy", 7, 0}, {"card state: booting", 13, 0x80}});
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
  ExpectBytes(Detect(),
              {{"detect code", 5, 1}, {"detect busy", 7, 0}, {"erase error", 12, 1}, {"card state", 13, 0x50}});
}

TEST_F(TesterTest, EmptySlotReportsNoCard) {
  site_->SetDrive(10, nullptr);
  ExpectBytes(Detect(), {{"detect code", 5, 4}, {"detect busy", 7, 1}, {"card state", 13, 0}});
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

// The supply checks themselves are exercised through the host's (tests/device
// CardOps); here a first-test short coming back after a power-off.
TEST_F(TesterTest, AFirstTestShortComesBackAfterAPowerOff) {
  TesterFaults f;
  f.short5V = ShortFault::FirstTest;
  site_->SetTesterFaults(10, f);
  EXPECT_EQ(Short(), 0x10);
  EXPECT_EQ(Short(), 0x00);
  ASSERT_EQ(Raw({0x08, 0xF2, 0x84, 0, 48}), 0);  // the next check starts with a power-off
  EXPECT_EQ(Short(), 0x10);
}

// The 71 form's register reply: a diagnostic's code in the error register is no
// failure; an aborted command comes back as CHECK CONDITION with the registers.
TEST_F(TesterTest, AtaFormRegistersAndErrors) {
  ExpectBytes(In16({0x00, 0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0}, 0x71),
              {{"error", 0, 0x01}, {"status", 6, 0x50}});
  std::vector<std::uint8_t> id(512);
  const auto r = ScsiIn(kTester, Cdb({0x08, 0xF2, 0x71, 0x01, 0x21, 0x13, 1, 0, 0, 0, 0xA0, 1}), id);  // no key
  ASSERT_EQ(r.status, 2);
  EXPECT_EQ(SenseKey(r.sense), 0x0B);
  const std::uint8_t* d = AtaDescriptor(r.sense);
  ASSERT_NE(d, nullptr);
  ExpectBytes(d, {{"error", 3, 0x04}, {"status", 13, 0x51}});
}

}  // namespace
}  // namespace emu::test
