// The legacy run procedures on two emulated tester slots whose cards the
// tester reports absent, so each QC job ends at once with "P_A01" (not
// counted) and each finish-pass job watches until the run button is pressed.
#include <map>
#include <utility>

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
      return std::exchange(quit_, false);  // the quit request is met once
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

using RunProcedure = void (legacy::CFirstPropertyPage::*)();
using legacy::CFirstPropertyPage;

TEST_F(Runs, BadBlockAndPretestGiveEveryDriveAJobAndShowThePassDuration) {
  const struct {
    const char* name;
    RunProcedure run;
    bool autoDetect;
    std::uint64_t extraMs;  // how much longer the pass seems to last
    const char* time;
  } rows[] = {{"Bad Block", &CFirstPropertyPage::OnBadBlock, false, 0, "00:04"},
              {"Pretest", &CFirstPropertyPage::OnPretest, true, 0, "00:04"},  // totals whatever the box says
              {"an hour", &CFirstPropertyPage::OnBadBlock, false, 3600000, "60:04"}};  // minutes go past 59
  page_.m_PortEnabled.fill(0);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::filesystem::remove_all(Native(".\\W01_PC7\\Total_QC.log"));
    services_.poolSizes.clear();
    services_.clockOffsetMs = 0;
    duringPass_ = [&] { services_.clockOffsetMs = r.extraMs; };
    if (r.autoDetect) view_.checked.insert(legacy::kIdAutoDetect);
    else view_.checked.erase(legacy::kIdAutoDetect);
    page_.OnAutoDetect();
    (page_.*r.run)();
    EXPECT_EQ(services_.poolSizes, (std::vector<unsigned>{2}));
    EXPECT_EQ(Total("Total"), "0");  // the jobs leave "H_F8"
    // Each job's 1.5 s start on the shared virtual clock and the 1 s pause after the wait.
    EXPECT_EQ(view_.captions.at(legacy::kIdTime), r.time);
    EXPECT_EQ(view_.timers.count(legacy::kTimerRunClock), 0u);
  }
}

TEST_F(Runs, EachRunPausesAfterItsWait) {
  Param("RD Debug", "TestLoop", "1");  // one pass, no finish pass
  const struct {
    const char* name;
    RunProcedure run;
    unsigned ms;
  } rows[] = {{"QC", &CFirstPropertyPage::OnQc, 1000},
              {"Initial", &CFirstPropertyPage::OnInitial, 500},
              {"Bad Block", &CFirstPropertyPage::OnBadBlock, 1000},
              {"Pretest", &CFirstPropertyPage::OnPretest, 1000}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    services_.pauses.clear();
    (page_.*r.run)();
    EXPECT_EQ(services_.pauses, std::vector<unsigned>{r.ms});
  }
}

TEST_F(Runs, APressDuringAFinishPassEndsItAndRestoresItsButton) {
  const struct {
    const char* name;
    RunProcedure run;
    int id, icon;  // icon 0: the press leaves icon and caption alone
    const char* caption;
  } rows[] = {{"QC", &CFirstPropertyPage::OnQc, kIdQc, 0, ""},
              {"Initial", &CFirstPropertyPage::OnInitial, kIdInitial, 150, "Initial"},
              {"Bad Block", &CFirstPropertyPage::OnBadBlock, legacy::kIdBadBlock, 139, "Bad Block"},
              {"Pretest", &CFirstPropertyPage::OnPretest, legacy::kIdPretest, 194, "Pretest"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    view_.icons.clear();
    view_.captions.clear();
    g_CardWatch = 1;
    (page_.*r.run)();
    EXPECT_EQ(g_CardWatch, 0);
    EXPECT_FALSE(view_.enabled.at(r.id));
    if (r.icon == 0) {
      EXPECT_EQ(view_.icons.count(r.id), 0u);
      EXPECT_EQ(view_.captions.count(r.id), 0u);
    } else {
      EXPECT_EQ(view_.icons.at(r.id), r.icon);
      EXPECT_EQ(view_.captions.at(r.id), r.caption);
    }
  }
  EXPECT_TRUE(services_.poolSizes.empty());
  EXPECT_EQ(services_.scans, 0);
}

TEST_F(Runs, RunControlsAreDisabledInAProductionPassAndEnabledInTheFinishPass) {
  const int controls[] = {legacy::kIdBadBlock, legacy::kIdPretest,    kIdQc,          kIdInitial,
                          legacy::kIdReloadParam, legacy::kIdClearRecord, legacy::kIdParamCombo, legacy::kIdLock};
  std::map<int, bool> inPass, inFinish;
  duringPass_ = [&] { inPass = view_.enabled; };
  pressInFinish_ = [&] {
    inFinish = view_.enabled;
    page_.OnQc();
  };
  page_.OnQc();
  for (int id : controls) {
    SCOPED_TRACE(id);
    EXPECT_FALSE(inPass.at(id));
    // Every run button can end the finish pass; the counts stay.
    EXPECT_EQ(inFinish.at(id), id != legacy::kIdClearRecord);
    EXPECT_TRUE(view_.enabled.at(id)) << "after the run";
  }
}

TEST_F(Runs, TheFinishPassKeepsThePortStatesItsProductionPassLeft) {
  duringPass_ = [this] { page_.m_PortStates[0] = 3; };  // as a job writes its own entry
  int stateInFinish = 0;
  pressInFinish_ = [&] {
    stateInFinish = page_.m_PortStates[0];
    page_.OnQc();
  };
  page_.OnQc();
  EXPECT_EQ(stateInFinish, 3);
}

TEST_F(Runs, EveryPassStartsFromResetCells) {
  // Port 3 has no drive: no job writes its cell.
  page_.Cell(3).SetColor(kx::Rgb(0, 0, 0), kx::Rgb(0, 255, 0));
  page_.Cell(3).SetWindowText("PASS");
  page_.Progress(3).SetPos(100);
  Param("RD Debug", "TestLoop", "1");
  page_.OnQc();
  EXPECT_EQ(page_.Cell(3).GetWindowText(), " 3 ");
  EXPECT_EQ(page_.Cell(3).Snapshot().backColor, kx::Rgb(0, 0, 0));
  EXPECT_EQ(page_.Progress(3).GetPos(), 0);
  ASSERT_EQ(view_.skins.count(legacy::kIdBanner), 1u) << "the banner was not refreshed";
  EXPECT_EQ(view_.skins.at(legacy::kIdBanner), 268);
}

TEST_F(Runs, TheMacFileIsWrittenAtRunStartOnlyWhenMissing) {
  SetIni(".\\param.ini", "Device Info", "ControllerType", "KX9000");  // refused right after the MAC step
  const struct {
    const char *before, *after;
  } rows[] = {{nullptr, "001A2B3C4D5E"}, {"OLD", "OLD"}};
  for (const auto& r : rows) {
    std::filesystem::remove(Native(".\\PC_MAC_Address.txt"));
    if (r.before) SetIni(".\\PC_MAC_Address.txt", "PC Info", "MAC_Address", r.before);
    page_.OnQc();
    EXPECT_EQ(win::GetPrivateProfileString("PC Info", "MAC_Address", "", ".\\PC_MAC_Address.txt"), r.after);
  }
}

// A quit met during a pass ends the jobs' waits (the finish pass's watch, the
// Auto Detect repeat) and the wait goes on dispatching until the jobs have ended.
TEST_F(Runs, AQuitEndsTheJobsWaitsWhileTheWaitGoesOn) {
  const struct {
    const char* name;
    bool autoDetect, inFinish;
    std::vector<unsigned> pools;
  } rows[] = {{"repeat", true, false, {2}}, {"finish pass", false, true, {2, 2}}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    if (r.autoDetect) view_.checked.insert(legacy::kIdAutoDetect);
    else view_.checked.erase(legacy::kIdAutoDetect);
    page_.OnAutoDetect();
    services_.poolSizes.clear();
    services_.quitsPosted = 0;
    int pumpsAfterQuit = 0;
    bool repeatAfterQuit = true, watchAfterQuit = true, repeatRetickedAfterQuit = true;
    bool quitSent = false;
    services_.duringWait = [&](int) {
      if (quitSent) {
        if (++pumpsAfterQuit == 1) {
          repeatAfterQuit = page_.JobsRepeat();
          watchAfterQuit = g_CardWatch == 1;
          // The operator ticks the box again during the wait: the repeat stays ended.
          view_.checked.insert(legacy::kIdAutoDetect);
          page_.OnAutoDetect();
          repeatRetickedAfterQuit = page_.JobsRepeat();
        }
        // Left running, the jobs would keep the wait going: end them here.
        view_.checked.erase(legacy::kIdAutoDetect);
        page_.OnAutoDetect();
        g_CardWatch = 0;
        return false;
      }
      quitSent = !r.inFinish || g_CardWatch == 1;
      return quitSent;
    };
    page_.OnQc();
    EXPECT_EQ(pumpsAfterQuit, 1);
    EXPECT_FALSE(repeatAfterQuit);
    EXPECT_FALSE(repeatRetickedAfterQuit);
    EXPECT_FALSE(watchAfterQuit);
    EXPECT_EQ(services_.poolSizes, r.pools);
    EXPECT_EQ(services_.quitsPosted, 1);
  }
}

// The window goes while a run waits: the run ends once the pass's jobs have,
// writes that pass's totals and shows nothing more.
TEST_F(Runs, ClosingThePageDuringARunEndsIt) {
  const struct {
    const char* name;
    bool autoDetect, inFinish, infinite;
    std::vector<unsigned> pools;
  } rows[] = {{"production pass", false, false, false, {2}},
              {"finish pass", false, true, false, {2, 2}},
              {"repeat", true, false, false, {2}},
              {"infinite run", false, false, true, {2}}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    kxtest::FakeView view;
    legacy::CFirstPropertyPage page(view, services_);
    page.OnInitDialog();
    if (r.autoDetect) view.checked.insert(legacy::kIdAutoDetect);
    page.OnAutoDetect();
    Param("RD Debug", "TestInFinity", r.infinite ? "1" : "0");
    services_.poolSizes.clear();
    std::filesystem::remove(Native(".\\W01_PC7\\Total_QC.log"));
    int refreshesAtClose = -1, pumpsAfterClose = 0;
    services_.duringWait = [&](int) {
      if (refreshesAtClose >= 0) {
        ++pumpsAfterClose;
        g_CardWatch = 0;  // a finish pass after the close would watch for ever
        return false;
      }
      if (r.inFinish == (g_CardWatch == 1)) {
        page.DetachView();
        refreshesAtClose = view.refreshes;
      }
      return false;
    };
    page.OnQc();
    EXPECT_EQ(services_.poolSizes, r.pools);
    EXPECT_EQ(pumpsAfterClose, 0);  // the waits ended without another pump
    EXPECT_EQ(view.refreshes, refreshesAtClose);
    EXPECT_EQ(g_RunActive, 0);
    EXPECT_EQ(g_CardWatch, 0);
    if (!r.autoDetect) {
      EXPECT_EQ(Total("Total"), "0");
    }
  }
}

TEST_F(Runs, ClosingThePageUnderTheDetectionsMessageEndsTheRunBeforeItsPass) {
  services_.scanFails = true;
  services_.whileBoxShows = [this] { page_.DetachView(); };
  page_.OnQc();
  EXPECT_TRUE(services_.poolSizes.empty());
  EXPECT_EQ(g_RunActive, 0);
}

// One bridge device on port 1; its card is absent.
class RunsInBridgeMode : public ::testing::Test {
 protected:
  RunsInBridgeMode() {
    win::WritePrivateProfileString("Device Info", "ControllerType", "KX7410", ".\\param.ini");
    site_.Site().SetTesterFaults(1, {.cardAbsent = true});
    page_.OnInitDialog();
  }
  kxtest::ScratchFolder scratch_{"RunsInBridgeMode"};
  kxtest::LegacyGlobalsGuard globals_;
  kxtest::EmulatedSite site_{1, kxtest::Mode::Bridge};
  kxtest::FakeView view_;
  kxtest::FakeServices services_;
  legacy::CFirstPropertyPage page_{view_, services_};
};

TEST_F(RunsInBridgeMode, OnlyInitialStopsAtTheTesterReadyCheck) {
  win::WritePrivateProfileString("RD Debug", "TestLoop", "1", ".\\param.ini");
  const struct {
    const char* name;
    RunProcedure run;
    std::vector<unsigned> pools;
  } rows[] = {{"Initial", &CFirstPropertyPage::OnInitial, {}}, {"QC", &CFirstPropertyPage::OnQc, {1}}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    services_.poolSizes.clear();
    page_.m_TesterReady = 0;  // a firmware warning of an earlier detection
    (page_.*r.run)();
    EXPECT_EQ(services_.poolSizes, r.pools);
    EXPECT_EQ(page_.m_TesterReady, r.pools.empty() ? 1 : 0);
  }
}

TEST_F(RunsInBridgeMode, QcTestsPortOneOnDriveOne) {
  services_.duringWait = [&](int) {
    if (g_CardWatch == 1) page_.OnQc();
    return false;
  };
  page_.OnInitial();  // no drive known yet: no job
  page_.OnQc();
  EXPECT_EQ(services_.poolSizes, (std::vector<unsigned>{0, 0, 1, 1}));
  EXPECT_EQ(page_.m_DriveOfPort[1], 1);
  EXPECT_EQ(services_.scans, 0);
}

}  // namespace
