// The legacy production page on a display (run under Xvfb): its slot sets for
// 24 and 48 slots, its key filter, and a QC run started by F8 whose waits run
// in nested event loops while two emulated testers report no card.
#include <gtest/gtest.h>

// Before the window headers, whose TRUE and FALSE are macros.
#include "command/CommandGlobals.h"
#include "platform/Profile.h"
#include "tests/legacy/FakePage.h"
#include "tests/support/EmulatedSite.h"

#include <atomic>
#include <fstream>
#include <thread>

#include <wx/app.h>
#include <wx/checkbox.h>
#include <wx/dialog.h>
#include <wx/evtloop.h>
#include <wx/frame.h>
#include <wx/gauge.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/timer.h>

#include "controls/ColorEdit.h"
#include "legacy/ResultMessageDlg.h"
#include "legacy/FirstPageWindow.h"
#include "tools/WindowDriver.h"

namespace {

using legacy::kIdQc;

// The window's own services, with message boxes and the PC's identity answered by the test.
class TestServices : public CFirstPageServicesWx {
 public:
  using CFirstPageServicesWx::CFirstPageServicesWx;
  int MessageBox(const std::string& text, unsigned) override {
    boxes.push_back(text);
    return 1;
  }
  bool CreatePool(CThreadPool& pool, unsigned workers) override {
    ++pools;
    return CFirstPageServicesWx::CreatePool(pool, workers);
  }
  bool ScanTesters(std::array<std::int32_t, legacy::kPortCount + 1>& driveOfPort) override {
    if (onScan) onScan(++scans);
    return CFirstPageServicesWx::ScanTesters(driveOfPort);
  }
  legacy::WaitEnd PumpUntil(const std::function<bool()>& done) override {
    ++pumps;
    return CFirstPageServicesWx::PumpUntil(done);
  }
  legacy::ISystemInfo& System() override { return system; }
  std::vector<std::string> boxes;
  int pools = 0, scans = 0, pumps = 0;
  std::function<void(int)> onScan;  // at each pass's tester detection
  kxtest::FakeSystem system;
};

bool SendKey(wxWindow* target, wxEventType type, int code) {
  wxKeyEvent event(type);
  event.m_keyCode = code;
  event.SetEventObject(target);
  return target->GetEventHandler()->ProcessEvent(event);
}

class FirstPageWindow : public kxtest::DeviceTestEnv {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(kxtools::StartWindowSystem("kx_legacy_page_window_tests")); }
  static void TearDownTestSuite() { kxtools::StopWindowSystem(); }

  FirstPageWindow() { SetIni(".\\param.ini", "Device Info", "ControllerType", "KX7410"); }
  ~FirstPageWindow() override {
    if (frame_ != nullptr) frame_->Destroy();
    kxtools::RunEventsUntil([] { return false; }, 50);
  }
  // The page in a frame, shown.
  CFirstPageWindow* Open() {
    frame_ = new wxFrame(nullptr, wxID_ANY, "legacy page");
    auto* page = static_cast<CFirstPageWindow*>(wxCreateDynamicObject("CFirstPageWindow"));
    auto services = std::make_unique<TestServices>(frame_);
    services_ = services.get();
    EXPECT_TRUE(page->Create(frame_, std::move(services)));
    frame_->SetClientSize(page->GetSize());
    frame_->Show();
    kxtools::RunEventsUntil([] { return false; }, 100);
    return page;
  }
  static void SaveArtifact(wxWindow* window, const char* name) {
    std::filesystem::create_directories(KX_ARTIFACT_DIR);
    EXPECT_TRUE(kxtools::Screenshot(window).SaveFile(std::string(KX_ARTIFACT_DIR "/") + name, wxBITMAP_TYPE_PNG));
  }

  kxtest::LegacyGlobalsGuard globals_;
  wxFrame* frame_ = nullptr;
  TestServices* services_ = nullptr;
};

TEST_F(FirstPageWindow, TwentyFourSlotsMakeFourRowsOfSix) {
  CFirstPageWindow* page = Open();  // no SlotNumber: 24
  EXPECT_EQ(page->SlotCell(1)->GetRect(), wxRect(700, 200, 100, 60));
  EXPECT_EQ(page->SlotCell(24)->GetRect(), wxRect(50, 500, 100, 60));
  EXPECT_EQ(page->SlotBar(24)->GetRect(), wxRect(50, 561, 100, 10));
  EXPECT_TRUE(page->SlotCell(24)->IsShown());
  EXPECT_FALSE(page->SlotCell(25)->IsShown());
  EXPECT_EQ(page->SlotCell(9)->Shown().text, " 9 ");
  EXPECT_EQ(page->FindWindow(legacy::kIdTime)->GetLabel(), "");
  EXPECT_FALSE(page->FindWindow(kIdQc)->IsShown());
  SaveArtifact(frame_, "legacy-page-24.png");
}

TEST_F(FirstPageWindow, ActivationLaysOutACountChangedMeanwhile) {
  CFirstPageWindow* page = Open();
  SetIni(".\\param.ini", "General Info", "SlotNumber", "48");
  page->OnSetActive();
  kxtools::RunEventsUntil([] { return false; }, 200);
  EXPECT_EQ(page->SlotCell(1)->GetRect(), wxRect(785, 200, 70, 60));
  EXPECT_EQ(page->SlotCell(48)->GetRect(), wxRect(4, 500, 70, 60));
  EXPECT_TRUE(page->SlotCell(48)->IsShown());
  EXPECT_TRUE(page->FindWindow(legacy::kSlotViewerIds[47])->IsShown());
  SaveArtifact(frame_, "legacy-page-48.png");
}

TEST_F(FirstPageWindow, EscapeClosesNothing) {
  frame_ = new wxFrame(nullptr, wxID_ANY, "legacy page");
  auto* withPage = new wxDialog(frame_, wxID_ANY, "sheet");
  auto* page = new CFirstPageWindow();
  ASSERT_TRUE(page->Create(withPage, std::make_unique<TestServices>(withPage)));
  auto* plain = new wxDialog(frame_, wxID_ANY, "plain");
  // Both close on Escape, as a property sheet does.
  for (wxDialog* d : {withPage, plain})
    d->Bind(wxEVT_CHAR_HOOK, [d](wxKeyEvent& e) {
      if (e.GetKeyCode() == WXK_ESCAPE) d->Hide();
      e.Skip();
    });
  withPage->Show();
  plain->Show();
  kxtools::RunEventsUntil([] { return false; }, 100);  // mapped before the keys come
  SendKey(plain, wxEVT_CHAR_HOOK, WXK_ESCAPE);
  SendKey(page->FindWindow(legacy::kIdInfoList), wxEVT_CHAR_HOOK, WXK_ESCAPE);
  SendKey(page->FindWindow(legacy::kIdInfoList), wxEVT_KEY_DOWN, WXK_ESCAPE);
  kxtools::RunEventsUntil([] { return false; }, 100);
  EXPECT_FALSE(plain->IsShown());  // the key itself closes a dialog
  EXPECT_TRUE(withPage->IsShown());
}

TEST_F(FirstPageWindow, ViewerButtonOpensItsSlotsReportModally) {
  SetIni(".\\param.ini", "General Info", "WorkingNo", "W01");
  CFirstPageWindow* page = Open();
  const std::string log = page->Logic().m_LogFolder;
  MakeDirs(log + "\\D_Reports");
  std::ofstream(Native(log + "\\D_Reports\\001A2B3C4D5E_9_Report.txt")) << "slot nine\r\n";

  std::string title, line;
  wxTimer reader;
  reader.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    for (wxWindow* w : wxTopLevelWindows) {
      auto* dialog = dynamic_cast<CResultMessageDlg*>(w);
      if (dialog == nullptr || !dialog->IsModal() || dialog->LogList()->GetCount() == 0) continue;
      title = dialog->GetTitle().utf8_string();
      line = dialog->LogList()->GetString(0).utf8_string();
      wxCommandEvent close(wxEVT_BUTTON, wxID_CANCEL);
      dialog->GetEventHandler()->ProcessEvent(close);
    }
  });
  reader.Start(20);
  wxCommandEvent click(wxEVT_BUTTON, 1288);  // slot 9's viewer
  page->FindWindow(1288)->GetEventHandler()->ProcessEvent(click);  // returns when the dialog has closed
  reader.Stop();
  EXPECT_EQ(title, "Result :  Tester [ 9 ]");
  EXPECT_EQ(line, "slot nine");
}

TEST_F(FirstPageWindow, ARunWaitEndsOnlyWhenAWakeFindsItsConditionHolding) {
  Open();
  std::atomic<bool> joined{false};
  std::thread joiner([this, &joined] {
    services_->WakePump();  // a wake before the pool has ended
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    joined = true;
    services_->WakePump();
  });
  int ticks = 0;
  wxTimer other;
  other.Bind(wxEVT_TIMER, [&](wxTimerEvent&) { ++ticks; });
  other.Start(10);
  EXPECT_EQ(services_->PumpUntil([&] { return joined.load(); }), legacy::WaitEnd::Done);
  other.Stop();
  joiner.join();
  EXPECT_GT(ticks, 0);  // the page's events went on during the wait
}

TEST_F(FirstPageWindow, ARunWaitEndsAfterAModalDialogItsPoolEndedUnder) {
  Open();
  std::atomic<bool> joined{false};
  std::thread joiner;
  bool watchdog = false;
  wxTimer opener, watch;
  // The operator opens a dialog during the wait; the pool ends while it is open.
  opener.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    wxDialog dialog(frame_, wxID_ANY, "report");
    wxTimer closer;
    closer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
      if (joined) dialog.EndModal(wxID_CANCEL);
    });
    closer.Start(300);
    joiner = std::thread([this, &joined] {
      joined = true;
      services_->WakePump();
    });
    dialog.ShowModal();
  });
  watch.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    watchdog = true;
    wxEventLoopBase::GetActive()->ScheduleExit();
  });
  opener.StartOnce(20);
  watch.StartOnce(5000);
  EXPECT_EQ(services_->PumpUntil([&] { return joined.load(); }), legacy::WaitEnd::Done);
  watch.Stop();
  joiner.join();
  EXPECT_FALSE(watchdog);  // the wake that came under the dialog ended the wait
}

// QC on two tester slots without cards: each job ends at once with "P_A01";
// the finish pass lasts until F8 is released again.
class QcRunOnTheWindow : public FirstPageWindow {
 protected:
  QcRunOnTheWindow() {
    MakeDirs(".\\Configuration\\System");
    SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "TestStation", "QC");
    SetIni(".\\param.ini", "General Info", "WorkingNo", "W01");
    for (int slot = 1; slot <= 2; ++slot) {
      site_.FrontEnd(slot).Info().fwMinor = 0x09;
      site_.Site().SetTesterFaults(slot, {.cardAbsent = true});
    }
  }
  kxtest::EmulatedSite site_{2};
};

TEST_F(QcRunOnTheWindow, F8ReleasedRunsQcAndEndsItsFinishPass) {
  CFirstPageWindow* page = Open();
  wxWindow* focus = page->FindWindow(legacy::kIdInfoList);
  SendKey(focus, wxEVT_KEY_DOWN, WXK_F8);
  EXPECT_EQ(services_->pools, 0);  // pressed, not yet released

  int finishPresses = 0;
  wxTimer operatorTimer;
  operatorTimer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    if (g_CardWatch == 1 && finishPresses == 0 && page->FindWindow(kIdQc)->GetLabel() == "Finish") {
      ++finishPresses;
      SendKey(focus, wxEVT_KEY_UP, WXK_F8);
    }
  });
  operatorTimer.Start(20);
  SendKey(focus, wxEVT_KEY_UP, WXK_F8);  // the run starts once the key has gone its way
  EXPECT_TRUE(kxtools::RunEventsUntil([this] { return services_->pools == 2 && g_RunActive == 0; }, 20000));
  operatorTimer.Stop();

  EXPECT_EQ(services_->pools, 2);  // the production pass and the finish pass
  EXPECT_EQ(finishPresses, 1);
  EXPECT_TRUE(services_->boxes.empty());
  EXPECT_EQ(page->FindWindow(kIdQc)->GetLabel(), "QC");
  EXPECT_EQ(g_RunActive, 0);
  EXPECT_EQ(win::GetPrivateProfileString("Total Results", "Total", "", ".\\W01_PC7\\Total_QC.log"), "0");
}

// A timer that counts the page's events going on.
struct Ticker {
  Ticker() {
    timer.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { ++ticks; });
    timer.Start(10);
  }
  wxTimer timer;
  int ticks = 0;
};

TEST_F(QcRunOnTheWindow, AnInfiniteRunWithoutPortsDispatchesBetweenItsRestarts) {
  SetIni(".\\param.ini", "RD Debug", "TestInFinity", "1");
  CFirstPageWindow* page = Open();
  static_cast<wxCheckBox*>(page->FindWindow(legacy::kIdLoop))->SetValue(true);
  page->Logic().m_PortEnabled.fill(0);
  services_->onScan = [](int scan) {
    if (scan == 3) SetIni(".\\param.ini", "RD Debug", "TestInFinity", "0");
  };
  Ticker ticker;
  page->Logic().OnQc();
  EXPECT_EQ(services_->scans, 4);  // the repetition that reads 0 at its restart still runs
  EXPECT_GT(ticker.ticks, 0);  // during the pauses between the restarts
  EXPECT_EQ(services_->pools, 0);
}

TEST_F(QcRunOnTheWindow, AQuitDuringAnAutoDetectPassEndsTheRepeatAndTheWaitDispatches) {
  CFirstPageWindow* page = Open();
  auto* autoDetect = static_cast<wxCheckBox*>(page->FindWindow(legacy::kIdAutoDetect));
  autoDetect->SetValue(true);
  page->Logic().OnAutoDetect();
  int pumpsAtQuit = -1;
  wxTimer quit;  // the program's end, while the repeating jobs wait for cards
  quit.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    pumpsAtQuit = services_->pumps;
    wxEventLoopBase::GetActive()->ScheduleExit();
  });
  quit.StartOnce(300);
  page->Logic().OnQc();  // returns once the repeat has ended
  EXPECT_GE(pumpsAtQuit, 1);
  EXPECT_GT(services_->pumps, pumpsAtQuit);  // the wait for the jobs' end went on pumping
  EXPECT_EQ(services_->pools, 1);        // no finish pass
  EXPECT_TRUE(page->Logic().JobsRepeat());  // the box is still ticked
  EXPECT_EQ(g_RunActive, 0);
}

// The operator closes the page's window during the finish pass of a QC run
// started by the key or the button: the run ends, and the window goes.
TEST_F(QcRunOnTheWindow, ClosingThePageDuringARunEndsTheRun) {
  for (const bool byKey : {true, false}) {
    SCOPED_TRACE(byKey ? "F8" : "QC button");
    g_CardWatch = 0;
    CFirstPageWindow* page = Open();
    services_->pools = 0;
    wxFrame* const frame = frame_;
    TestServices* const services = services_;  // lives until the run has returned
    bool closed = false;
    int poolsAtClose = 0;
    wxTimer closer;
    closer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
      if (closed || g_CardWatch != 1) return;
      closed = true;
      poolsAtClose = services->pools;
      frame->Close(true);
    });
    closer.Start(20);
    const auto gone = [frame] { return !wxTopLevelWindows.Member(frame); };
    if (byKey) {
      SendKey(page->FindWindow(legacy::kIdInfoList), wxEVT_KEY_UP, WXK_F8);
    } else {
      wxCommandEvent click(wxEVT_BUTTON, kIdQc);
      click.SetEventObject(page->FindWindow(kIdQc));
      page->FindWindow(kIdQc)->GetEventHandler()->ProcessEvent(click);  // returns when the run has ended
    }
    // The window, the page and (once the run has returned) its services go.
    frame_ = nullptr;
    services_ = nullptr;
    EXPECT_TRUE(kxtools::RunEventsUntil([&] { return gone() && g_RunActive == 0; }, 20000));
    closer.Stop();
    EXPECT_TRUE(closed);
    EXPECT_EQ(poolsAtClose, 2);  // the production pass and the finish pass the close ended
    EXPECT_EQ(g_CardWatch, 0);
    EXPECT_EQ(win::GetPrivateProfileString("Total Results", "Total", "", ".\\W01_PC7\\Total_QC.log"), "0");
  }
}

}  // namespace
