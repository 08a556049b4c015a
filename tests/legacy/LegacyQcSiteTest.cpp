// A QC run of the legacy page on eight emulated tester slots, every step real:
// two drives fail, the logs count them, and the finish pass lasts until the
// operator has changed every drive.
#include <chrono>
#include <mutex>
#include <thread>

#include "device/Format.h"
#include "device/PortDevice.h"
#include "platform/Clock.h"
#include "platform/Profile.h"
#include "tests/legacy/FakePage.h"
#include "tests/engine/QcStation.h"
#include "tests/support/EmulatedSite.h"

namespace {

constexpr int kSlots = 8;

emu::DriveConfig QcDrive() {
  emu::DriveConfig c;
  c.capacitySectors = 1974672;
  c.flashCode.assign(kxtest::QcImage().begin() + kxtest::kNormalCodeAt, kxtest::QcImage().end());
  return c;
}

// The site's clock with a step after every sleep of any thread.
class HookedClock final : public platform::IClock {
 public:
  HookedClock(platform::IClock& base, std::function<void()> afterSleep)
      : base_(base), afterSleep_(std::move(afterSleep)) {}
  std::uint64_t NowMs() override { return base_.NowMs(); }
  void SleepMs(std::uint64_t ms) override {
    base_.SleepMs(ms);
    afterSleep_();
  }
  std::int64_t WallMs() override { return base_.WallMs(); }

 private:
  platform::IClock& base_;
  std::function<void()> afterSleep_;
};

class LegacyQcSite : public kxtest::PageTest {
 protected:
  LegacyQcSite() {
    kxtest::PrepareQcStation();
    SetIni(".\\param.ini", "General Info", "SlotNumber", "8");
    for (int slot = 1; slot <= kSlots; ++slot) {
      site_.FrontEnd(slot).Info().fwMinor = 0x09;
      CPortDevice d(site_.DriveNo(slot), 1, slot, "D:\\Log", nullptr, nullptr);
      d.m_SerialNumBase = QcDrive().serial;
      EXPECT_TRUE(d.BuildInfoBlock(false, false, nullptr, false));
      std::vector<std::uint8_t> block(d.m_InfoBlockBuilt.begin(), d.m_InfoBlockBuilt.end());
      block[511] = 0x01;  // MP done
      site_.Drive(slot).SetInfoBlockPage(0, block);
    }
  }
  kxtest::EmulatedSite site_{kSlots, kxtest::Mode::TesterDirect, QcDrive()};
  legacy::CFirstPropertyPage page_{view_, services_};
};

TEST_F(LegacyQcSite, TwoFaultsOfEightGiveGoodSixBadTwoAndTheFinishPassEndsWithTheNewDrives) {
  page_.OnInitDialog();
  site_.Drive(3).Faults().SetSmartThresholdExceeded(true);
  site_.Drive(6).Faults().FailNext(1, {.opcode = 0xEC});

  // While the finish pass watches, the operator pulls every drive and, once each
  // cell shows the pulled drive's result dimmed, puts new ones in.
  std::mutex m;
  std::uint64_t pushedAt = 0;
  bool pulled = false, pushed = false, watchOverran = false;
  std::array<std::uint32_t, kSlots> dimmed{};
  platform::ScopedClock hooked(std::make_shared<HookedClock>(platform::Clock(), [&] {
    std::lock_guard lock(m);
    if (g_CardWatch != 1) return;
    if (!pulled) {
      pulled = true;
      for (int slot = 1; slot <= kSlots; ++slot) site_.Site().SetDrive(slot, nullptr);
    }
    if (pushed) {
      // A watch still going a minute after the new drives came would never end.
      if (platform::Clock().NowMs() - pushedAt >= 60000) {
        watchOverran = true;
        g_CardWatch = 0;
      }
      return;
    }
    for (int slot = 1; slot <= kSlots; ++slot) {
      dimmed[slot - 1] = page_.Cell(slot).Snapshot().backColor;
      if (dimmed[slot - 1] != kx::Rgb(255, 100, 100) && dimmed[slot - 1] != kx::Rgb(0, 128, 0)) return;
    }
    pushed = true;
    pushedAt = platform::Clock().NowMs();
    for (int slot = 1; slot <= kSlots; ++slot) {
      auto fresh = std::make_shared<emu::Drive>(QcDrive());
      fresh->PowerOn();
      site_.Site().SetDrive(slot, fresh);
    }
  }));

  page_.PreTranslateKey({legacy::KeyEvent::KeyUp, legacy::kKeyF8});

  EXPECT_TRUE(services_.boxes.empty()) << services_.boxes.front().text;
  const char kTotal[] = ".\\W01_PC7\\Total_QC.log", kSummary[] = ".\\W01_PC7\\_Summary.log";
  EXPECT_EQ(win::GetPrivateProfileString("Total Results", "Total", "", kTotal), "8");
  EXPECT_EQ(win::GetPrivateProfileString("Total Results", "Good", "", kTotal), "6");
  EXPECT_EQ(win::GetPrivateProfileString("Total Results", "Bad", "", kTotal), "2");
  EXPECT_EQ(win::GetPrivateProfileString("ErrorList", "F_x26", "", kSummary), "1");
  EXPECT_EQ(win::GetPrivateProfileString("ErrorList", "I_A06", "", kSummary), "1");
  EXPECT_EQ(win::GetPrivateProfileString("Results", "Pass", "", kSummary), "6");
  EXPECT_EQ(win::GetPrivateProfileString("Results", "TotalErrorCount", "", kSummary), "2");
  EXPECT_EQ(page_.CountBox(1).Text(), "6");

  // The finish pass: "Finish" on the QC button until the drives were changed.
  EXPECT_TRUE(pushed);
  EXPECT_FALSE(watchOverran);
  EXPECT_EQ(view_.captionHistory.at(legacy::kIdQc), (std::vector<std::string>{"Finish", "QC"}));
  EXPECT_EQ(view_.icons.at(legacy::kIdQc), 141);
  EXPECT_EQ(g_CardWatch, 0);
  EXPECT_EQ(g_RunActive, 0);
  for (int slot = 1; slot <= kSlots; ++slot) {
    SCOPED_TRACE(slot);
    // The pulled drive's result, dimmed, then the new drive.
    EXPECT_EQ(dimmed[slot - 1], slot == 3 || slot == 6 ? kx::Rgb(255, 100, 100) : kx::Rgb(0, 128, 0));
    EXPECT_EQ(page_.Cell(slot).GetWindowText(), kx::StrFormat(" %d ", slot));  // the new drive is shown
    EXPECT_EQ(page_.Cell(slot).Snapshot().backColor, kx::Rgb(0, 100, 255));
    EXPECT_EQ(page_.Progress(slot).GetPos(), 0);
  }
  EXPECT_EQ(services_.poolSizes, (std::vector<unsigned>{8, 8}));
  EXPECT_EQ(view_.enabled.at(legacy::kIdQc), true);
  EXPECT_EQ(view_.timers.count(legacy::kTimerRunClock), 0u);
}

// With Auto Detect the jobs repeat and count each pass into the Total log,
// which the page has not started on its first run: the job starts it whole,
// with the page's run summary (the station of its parameter file).
TEST_F(LegacyQcSite, RepeatingJobsStartTheTotalLogWithThePagesRunSummary) {
  SetIni(".\\param.ini", "General Info", "TestStation", "QC line 2");
  page_.OnInitDialog();
  page_.m_PortEnabled.fill(0);
  page_.m_PortEnabled[0] = 1;
  view_.checked.insert(legacy::kIdAutoDetect);
  page_.OnAutoDetect();
  // Once slot 1's pass is counted the operator quits, which ends the repeat.
  const auto counted = [] {
    const char kSummary[] = ".\\W01_PC7\\_Summary.log";
    return win::GetPrivateProfileInt("Results", "Pass", 0, kSummary) +
           win::GetPrivateProfileInt("Results", "TotalErrorCount", 0, kSummary);
  };
  bool quit = false, recorded = false;
  services_.duringWait = [&](int) {
    if (quit) return false;
    site_.Drive(1).PowerOn();  // the card the repeat waits for
    // As the page's pump waits: a worker's sleep takes no real time.
    for (int ms = 0; ms < 60000 && !recorded; ++ms) {
      recorded = counted() != 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return quit = true;
  };
  page_.PreTranslateKey({legacy::KeyEvent::KeyUp, legacy::kKeyF8});
  ASSERT_TRUE(recorded);
  const std::string total = ReadAll(".\\W01_PC7\\Total_QC.log");
  EXPECT_TRUE(total.starts_with("[Time]\r\nStart Time=")) << total;
  EXPECT_TRUE(kxtest::Has(total, "[Total Results]\r\nTotal=1\r\nGood=1\r\nBad=0\r\n")) << total;
  EXPECT_TRUE(kxtest::Has(total, "[General Info]\r\nTestStation=QC line 2\r\n")) << total;
}

}  // namespace
