// The demo's helper, run in the demo's working folder:
//   kxmp_demo files [--keep]   writes the demo's site (tools/DemoSite.h): settings,
//                              Emulator.ini, parameter files and firmware; --keep
//                              leaves the files already there as they are
//   kxmp_demo run <png> [station ...]
//                              starts the program's window, presses Start, waits
//                              for the pass and saves a screenshot of the window;
//                              with stations, sets TestStation to each in turn
//                              and runs a pass at it in the same window, then
//                              puts back the TestStation it found. Boxes go to
//                              standard error; one that is not a plain notice
//                              ends and fails the run there (at Start: no pass
//                              starts). SIGTERM, SIGINT or SIGHUP ends it as it
//                              ends the program: the pass going finishes, no
//                              further pass starts, and the status is 0.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MessageBox.h"
#include "platform/Profile.h"
#include "platform/Termination.h"

#include "app/AppShell.h"
#include "app/MainApp.h"
#include "app/PropertyPageKxmp.h"
#include "tools/DemoSite.h"
#include "tools/WindowDriver.h"

#include <wx/log.h>
#include <wx/modalhook.h>
#include <wx/weakref.h>

namespace {

// The boxes of a run that nobody answers: each text goes to standard error at
// once and gets the safe answer; any but a plain notice fails the run, which
// ends there as on a termination signal (a box at Start: no pass starts).
class CHeadlessBoxes final : public platform::IMessageBox {
 public:
  explicit CHeadlessBoxes(CMainApp& app) : m_App(app) {}
  int Show(const std::string& text, const std::string& caption, win::UINT type) override {
    Shown(caption.empty() ? "kxmp" : platform::BoxDisplayText(caption), platform::BoxDisplayText(text),
          (type & 0xF) != win::MB_OK || (type & 0xF0) != win::MB_ICONINFORMATION);
    return platform::SafeAnswer(type);
  }
  void Shown(const std::string& caption, const std::string& text, bool fails) {
    std::fprintf(stderr, "kxmp_demo: box [%s] %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    {
      std::lock_guard guard(m_Lock);
      if (!fails || !m_Failing.empty()) return;
      m_Failing = text;
    }
    m_App.RequestEnd();  // before the box returns: its caller goes no further
  }
  // The first box that was not a plain notice; empty when none was.
  std::string Failing() const {
    std::lock_guard guard(m_Lock);
    return m_Failing;
  }

 private:
  CMainApp& m_App;
  mutable std::mutex m_Lock;
  std::string m_Failing;
};

// Any other modal window (a dialog that asks) is cancelled without showing.
class CNoDialogs final : public wxModalDialogHook {
 public:
  explicit CNoDialogs(CHeadlessBoxes& boxes) : m_Boxes(boxes) { Register(); }

 protected:
  int Enter(wxDialog* dialog) override {
    m_Boxes.Shown(dialog->GetTitle().utf8_string(), "a dialog: cancelled", true);
    return wxID_CANCEL;
  }

 private:
  CHeadlessBoxes& m_Boxes;
};

void Say(const std::string& line) {
  std::printf("kxmp_demo: %s\n", line.c_str());
  std::fflush(stdout);  // a signal may end the run: every line is out by then
}

int RunHeadless(const char* png, char* program, const std::vector<std::string>& stations) {
  auto* app = new CMainApp;
  wxApp::SetInstance(app);
  // Replaced before start-up, which may show a box (a site it cannot use).
  auto boxes = std::make_shared<CHeadlessBoxes>(*app);
  app->UseMessageBox(boxes);
  int argc = 1;
  char* argv[] = {program, nullptr};
  if (!wxEntryStart(argc, argv)) {
    std::fprintf(stderr, "kxmp_demo: the window system did not start\n");
    platform::StopWatchingTerminationSignals();  // the program watches from its making on
    return 1;
  }
  delete wxLog::SetActiveTarget(new wxLogStderr);  // no log window either
  if (!app->CallOnInit()) {
    std::fprintf(stderr, "kxmp_demo: the window did not start: %s\n",
                 boxes->Failing().empty() ? "no reason given" : boxes->Failing().c_str());
    return 1;
  }
  CNoDialogs dialogs(*boxes);
  // A termination signal closes the window as its close box does: it may go at any wait.
  wxWeakRef<CPropertySheetWithLogoDlg> sheet(app->Sheet());
  CPropertyPage_KXMP* page = sheet->ProductionPage();
  CProductionPage& logic = page->Logic();
  kxtools::RunEventsUntil([] { return false; }, 1000);
  // The station the settings name, put back at the end: the next start of the program is where this one was.
  constexpr char kNoStation[] = "\x01";
  const std::string foundStation =
      win::GetPrivateProfileString("General Info", "TestStation", kNoStation, app::kToolSettingIni);
  bool ended = true;
  // One pass at the station set, or one pass at each station named, in turn.
  for (std::size_t i = 0; ended && sheet && boxes->Failing().empty() && i < std::max<std::size_t>(stations.size(), 1);
       ++i) {
    const std::string station = stations.empty() ? "the" : stations[i];
    // Asked to end (a signal) during the last pass or at Start: the run ends here, as the program does.
    const auto endedByStop = [&] {
      if (logic.Running() || !logic.StopRequested()) return false;
      Say(station + " pass not started: the program ends");
      return true;
    };
    if (endedByStop()) break;
    if (!stations.empty() &&
        !win::WritePrivateProfileString("General Info", "TestStation", stations[i].c_str(), app::kToolSettingIni)) {
      std::fprintf(stderr, "kxmp_demo: cannot set the station in %s\n", app::kToolSettingIni);
      ended = false;
      break;
    }
    page->OnStart();
    if (endedByStop()) break;
    ended = logic.Running();
    if (ended) Say(station + " pass started");
    ended = ended && kxtools::RunEventsUntil([&] { return sheet ? page->RunShown() : !logic.Running(); }, 1800000);
    std::string codes;
    for (int port = 1; port <= logic.SlotCount(); ++port) codes += " " + logic.ResultCode(port);
    Say(station + " pass " + (ended ? "ended" : "did not end") + "; Total " + logic.CountLabel(0).Text() + ", Good " +
        logic.CountLabel(1).Text() + ", Bad " + logic.CountLabel(2).Text() + "; slots" + codes);
  }
  if (!stations.empty())
    win::WritePrivateProfileString("General Info", "TestStation",
                                   foundStation == kNoStation ? nullptr : foundStation.c_str(), app::kToolSettingIni);
  if (sheet) kxtools::RunEventsUntil([] { return false; }, 1000);
  bool saved = false;
  if (sheet) {
    saved = kxtools::Screenshot(sheet).SaveFile(png, wxBITMAP_TYPE_PNG);
    Say(std::string("screenshot ") + (saved ? png : "not saved"));
    sheet->Destroy();
  } else {
    Say("the window was closed: no screenshot");
    saved = true;  // closed on a signal, as the program ends on one
  }
  kxtools::RunEventsUntil([] { return false; }, 200);
  app->OnExit();
  wxEntryCleanup();
  const std::string failing = boxes->Failing();
  if (!failing.empty()) std::fprintf(stderr, "kxmp_demo: the run ended on a box nobody answers: %s\n", failing.c_str());
  return ended && saved && failing.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool files = argc == 2 || (argc == 3 && std::strcmp(argv[2], "--keep") == 0);
  if (files && std::strcmp(argv[1], "files") == 0) {
    const bool keep = argc == 3;
    if (kxtools::WriteDemoSite(keep)) return 0;
    std::fprintf(stderr, "kxmp_demo: the demo's files could not be written in this folder\n");
    return 1;
  }
  if (argc >= 3 && std::strcmp(argv[1], "run") == 0) return RunHeadless(argv[2], argv[0], {argv + 3, argv + argc});
  std::fprintf(stderr, "usage: kxmp_demo files [--keep] | kxmp_demo run <screenshot.png> [station ...]\n");
  return 2;
}
