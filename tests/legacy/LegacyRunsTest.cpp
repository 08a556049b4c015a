// The legacy run procedures on two emulated tester slots whose cards the
// tester reports absent, so each QC job ends at once with "P_A01" (not
// counted) and each finish-pass job watches until the run button is pressed.
#include "command/CommandGlobals.h"
#include "platform/Profile.h"
#include "tests/legacy/FakePage.h"
#include "tests/support/EmulatedSite.h"

namespace {

using legacy::kIdInitial;
using legacy::kIdQc;
using legacy::KeyEvent;

class Runs : public kxtest::PageTest {
 protected:
  Runs() {
    MakeDirs(".\\Configuration\\System");
    SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "TestStation", "QC");
    for (int slot = 1; slot <= 2; ++slot) {
      site_.FrontEnd(slot).Info().fwMinor = 0x09;
      site_.Site().SetTesterFaults(slot, {.cardAbsent = true});
    }
    page_.OnInitDialog();
    // A finish pass lasts until the operator presses the run's button.
    services_.duringWait = [this](int) {
      if (g_CardWatch == 1) {
        ++finishWaits_;
        if (pressInFinish_) pressInFinish_();
      } else if (duringPass_) {
        duringPass_();
      }
      return quit_;
    };
    pressInFinish_ = [this] { page_.PreTranslateKey({KeyEvent::KeyUp, legacy::kKeyF8}); };
  }
  static void Param(const char* section, const char* key, const char* value) {
    SetIni(".\\param.ini", section, key, value);
  }
  std::string Total(const char* key) {
    return win::GetPrivateProfileString("Total Results", key, "", ".\\W01_PC7\\Total_QC.log");
  }

  kxtest::EmulatedSite site_{2};
  legacy::CFirstPropertyPage page_{view_, services_};
  std::function<void()> pressInFinish_, duringPass_;
  int finishWaits_ = 0;
  bool quit_ = false;
};

TEST_F(Runs, QcRunsOnePassThenTheFinishPassUntilThePress) {
  page_.OnQc();
  EXPECT_EQ(services_.poolSizes, (std::vector<unsigned>{2, 2}));
  EXPECT_EQ(finishWaits_, 1);
  EXPECT_EQ(view_.captionHistory.at(kIdQc), (std::vector<std::string>{"Finish", "QC"}));
  EXPECT_EQ(view_.icons.at(kIdQc), 141);
  EXPECT_TRUE(view_.enabled.at(kIdQc));  // the press disabled it, the run's end enabled it
  EXPECT_EQ(Total("Total"), "0");       // "P_A01" is not counted
  EXPECT_EQ(g_CardWatch, 0);
  EXPECT_EQ(g_RunActive, 0);
  EXPECT_EQ(view_.timers.count(legacy::kTimerRunClock), 0u);
  EXPECT_TRUE(services_.boxes.empty());
}

TEST_F(Runs, PassCountsAndLoopMode) {
  const struct {
    const char *testLoop;
    std::vector<unsigned> pools;
  } rows[] = {{"0", {}}, {"3", {2, 2, 2}}, {"1", {2}}};  // a written TestLoop is loop mode: no finish pass
  for (const auto& r : rows) {
    SCOPED_TRACE(r.testLoop);
    Param("RD Debug", "TestLoop", r.testLoop);
    services_.poolSizes.clear();
    page_.OnQc();
    EXPECT_EQ(services_.poolSizes, r.pools);
    EXPECT_EQ(finishWaits_, 0);
    EXPECT_TRUE(view_.enabled.at(legacy::kIdReloadParam));
    EXPECT_EQ(g_RunActive, 0);
  }
}

TEST_F(Runs, InfiniteRunRepeatsUntilTheKeyIsCleared) {
  Param("RD Debug", "TestInFinity", "1");
  int passes = 0;
  duringPass_ = [&] {
    if (++passes == 3) Param("RD Debug", "TestInFinity", "0");
  };
  page_.OnInitial();
  // The repetition that reads 0 at its restart still runs its pass.
  EXPECT_EQ(services_.poolSizes.size(), 4u);
  EXPECT_EQ(view_.timerStarts.at(legacy::kTimerRunClock), 4);
  EXPECT_EQ(finishWaits_, 0);
}

TEST_F(Runs, InfiniteRunWithoutPortsDispatchesBetweenRestarts) {
  Param("RD Debug", "TestInFinity", "1");
  view_.checked.insert(legacy::kIdLoop);
  page_.m_PortEnabled.fill(0);
  services_.duringWait = [](int pump) {
    if (pump == 5) Param("RD Debug", "TestInFinity", "0");
    return false;
  };
  page_.OnQc();
  EXPECT_TRUE(services_.poolSizes.empty());
  EXPECT_EQ(services_.pumps, 5);
  EXPECT_EQ(g_RunActive, 0);
}

TEST_F(Runs, AutoDetectWritesNoTotalsAndRunsNoFinishPass) {
  view_.checked.insert(legacy::kIdAutoDetect);
  page_.OnAutoDetect();
  page_.m_PortEnabled.fill(0);  // no job: a repeating job would run while the box stays ticked
  page_.OnQc();
  EXPECT_EQ(services_.poolSizes, (std::vector<unsigned>{0}));
  EXPECT_FALSE(Exists(".\\W01_PC7\\Total_QC.log"));
}

TEST_F(Runs, PortsWithoutADriveAndDisabledPorts) {
  page_.m_PortEnabled[1] = 0;  // port 2
  page_.m_PortStates[1] = 7;
  pressInFinish_ = [this] { page_.OnQc(); };
  page_.OnQc();
  EXPECT_EQ(services_.poolSizes, (std::vector<unsigned>{1, 1}));
  EXPECT_EQ(page_.m_PortStates[1], 7);   // disabled: untouched
  EXPECT_EQ(page_.m_PortStates[2], -1);  // enabled, no drive
  EXPECT_EQ(page_.m_PortStates[0], 1);
}

TEST_F(Runs, InitialPressedDuringTheQcFinishPassEndsIt) {
  pressInFinish_ = [this] { page_.PreTranslateKey({KeyEvent::KeyUp, legacy::kKeyF4}); };
  page_.OnQc();
  EXPECT_EQ(view_.captionHistory.at(kIdInitial), std::vector<std::string>{"Initial"});
  EXPECT_EQ(view_.icons.at(kIdInitial), 150);
  EXPECT_EQ(view_.captions.at(kIdQc), "QC");
  EXPECT_TRUE(view_.enabled.at(kIdInitial));
  EXPECT_EQ(services_.poolSizes, (std::vector<unsigned>{2, 2}));  // no Initial run started
}

TEST_F(Runs, KeysAndButtonsDuringAProductionPassDoNothing) {
  duringPass_ = [this] {
    page_.PreTranslateKey({KeyEvent::KeyUp, legacy::kKeyF8});
    page_.PreTranslateKey({KeyEvent::KeyUp, legacy::kKeyF4});
    page_.OnBadBlock();
  };
  page_.OnQc();
  EXPECT_EQ(services_.poolSizes, (std::vector<unsigned>{2, 2}));
  EXPECT_EQ(services_.scans, 1);
}

TEST_F(Runs, StopIfFailEndsTheRunAfterThePass) {
  Param("RD Debug", "TestLoop", "3");
  duringPass_ = [] { g_StopAfterFail = 1; };  // a failing job with StopIfFail set
  page_.OnQc();
  EXPECT_EQ(services_.poolSizes, (std::vector<unsigned>{2}));
  EXPECT_EQ(g_RunActive, 0);
}

TEST_F(Runs, APoolThatCannotBeCreatedPostsNothingAndSaysSo) {
  services_.poolFails = true;
  page_.OnQc();
  ASSERT_EQ(services_.boxes.size(), 1u);
  EXPECT_EQ(services_.boxes[0].text, "Create thread pool failed !!!");
  EXPECT_EQ(services_.pumps, 0);
  EXPECT_FALSE(Exists(".\\W01_PC7\\Total_QC.log"));
  EXPECT_TRUE(view_.enabled.at(kIdQc));
  EXPECT_EQ(g_RunActive, 0);
  EXPECT_EQ(view_.timers.count(legacy::kTimerRunClock), 0u);
}

TEST_F(Runs, AQuitDuringAPassEndsTheRunAfterItsJobsAndIsPassedOn) {
  quit_ = true;
  page_.OnQc();
  EXPECT_EQ(services_.poolSizes, (std::vector<unsigned>{2}));  // no finish pass
  EXPECT_EQ(services_.quitsPosted, 1);
  EXPECT_EQ(Total("Total"), "0");  // the pass's totals were still written
  EXPECT_EQ(g_RunActive, 0);
}

TEST_F(Runs, RefusedRuns) {
  SetIni(".\\param.ini", "Device Info", "ControllerType", " KX741 ");
  page_.OnQc();
  std::filesystem::remove(Native(".\\param.ini"));
  page_.OnBadBlock();
  ASSERT_EQ(services_.boxes.size(), 2u);
  EXPECT_EQ(services_.boxes[0].text, "[Device Info]\r\nControllerType=KX741\r\non param.ini file NOT correctly !!!");
  EXPECT_EQ(services_.boxes[1].text, "Don't found param.ini file !!!");
  EXPECT_TRUE(services_.poolSizes.empty());
  EXPECT_EQ(view_.timers.count(legacy::kTimerRunClock), 0u);
}

TEST_F(Runs, OutdatedTesterFirmwareEndsTheRunAtItsFirstPass) {
  site_.FrontEnd(2).Info().fwMinor = 0x05;
  page_.OnInitial();
  EXPECT_TRUE(services_.poolSizes.empty());
  EXPECT_EQ(page_.m_TesterReady, 1);  // the next run's detection decides anew
  EXPECT_TRUE(view_.enabled.at(kIdInitial));
  EXPECT_EQ(g_RunActive, 0);
  EXPECT_EQ(view_.timers.count(legacy::kTimerRunClock), 0u);
}

TEST_F(Runs, BadBlockGivesEveryDriveAJobAndShowsThePassDuration) {
  page_.m_PortEnabled.fill(0);
  page_.OnBadBlock();
  EXPECT_EQ(services_.poolSizes, (std::vector<unsigned>{2}));
  EXPECT_EQ(Total("Total"), "0");  // the jobs leave "H_F8"
  // Each job's 1.5 s start on the shared virtual clock and the 1 s pause after the wait.
  EXPECT_EQ(view_.captions.at(legacy::kIdTime), "00:04");
  EXPECT_EQ(view_.timers.count(legacy::kTimerRunClock), 0u);
}

TEST(RunsInBridgeMode, QcTestsPortOneOnDriveOne) {
  kxtest::ScratchFolder scratch("RunsInBridgeMode");
  kxtest::LegacyGlobalsGuard globals;
  win::WritePrivateProfileString("Device Info", "ControllerType", "KX7410", ".\\param.ini");
  kxtest::EmulatedSite site(1, kxtest::Mode::Bridge);
  site.Site().SetTesterFaults(1, {.cardAbsent = true});
  kxtest::FakeView view;
  kxtest::FakeServices services;
  legacy::CFirstPropertyPage page(view, services);
  page.OnInitDialog();
  services.duringWait = [&](int) {
    if (g_CardWatch == 1) page.OnQc();
    return false;
  };
  page.OnInitial();  // no drive known yet: no job
  page.OnQc();
  EXPECT_EQ(services.poolSizes, (std::vector<unsigned>{0, 0, 1, 1}));
  EXPECT_EQ(page.m_DriveOfPort[1], 1);
  EXPECT_EQ(services.scans, 0);
}

}  // namespace
