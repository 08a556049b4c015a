// The program with its Start pressed once the window is up, for the signal
// tests: it says on standard output when the run has started (or was
// refused) and when a box opens, so that a script can signal it then. With a
// station argument, TestStation is set to it after start-up, before Start;
// with --signalled, it sends itself SIGTERM before the window system starts;
// with --close-after, it closes its window (as its close button does) that many
// milliseconds after the run started; with --close-at-start, the window manager
// closes it that many milliseconds after Start was pressed, whatever Start is
// doing then. Start-up, main loop, shut-down and exit status are the program's
// own.
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "platform/Profile.h"

#include "app/AppShell.h"
#include "app/MainApp.h"
#include "app/PropertyPageKxmp.h"
#include "tools/WindowDriver.h"

#include <wx/dialog.h>
#include <wx/modalhook.h>
#include <wx/timer.h>

namespace {

void Say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

class CBoxesSaid final : public wxModalDialogHook {
 protected:
  int Enter(wxDialog*) override {
    Say("box open");
    return wxID_NONE;
  }
};

class CStartPressedApp final : public CMainApp {
 public:
  CStartPressedApp(bool signalled, int closeAfterMs, bool atStart, std::string station)
      : m_Station(std::move(station)), m_CloseAfterMs(closeAfterMs), m_CloseAtStart(atStart) {
    if (signalled) std::raise(SIGTERM);
  }
  bool OnInit() override {
    m_Said->Register();  // before start-up, whose boxes are said too
    if (!CMainApp::OnInit()) return false;
    CallAfter([this] {
      CPropertyPage_KXMP* page = Sheet() ? Sheet()->ProductionPage() : nullptr;
      if (!page) return;
      if (!m_Station.empty())
        win::WritePrivateProfileString("General Info", "TestStation", m_Station.c_str(), app::kToolSettingIni);
      if (m_CloseAtStart) CloseLater();
      Say("start pressed");
      page->OnStart();
      Say(page->Logic().Running() ? "run started" : "run refused");
      if (m_CloseAfterMs >= 0 && !m_CloseAtStart && page->Logic().Running()) CloseLater();
    });
    return true;
  }

 private:
  void CloseLater() {
    m_Close = std::make_unique<wxTimer>();
    m_Close->Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
      if (!Sheet()) return;
      if (!m_CloseAtStart)
        Sheet()->Close();
      else if (!kxtools::PutDeleteEvent(Sheet()))
        Say("no close");
    });
    m_Close->StartOnce(m_CloseAfterMs);
  }

  std::string m_Station;
  int m_CloseAfterMs;
  bool m_CloseAtStart;
  std::unique_ptr<wxTimer> m_Close;
  std::unique_ptr<CBoxesSaid> m_Said = std::make_unique<CBoxesSaid>();
};

}  // namespace

// kx_start_pressed [--signalled | --close-after <ms> | --close-at-start <ms>] [station]
int main(int argc, char** argv) {
  const std::string option = argc > 1 ? argv[1] : "";
  const bool signalled = option == "--signalled";
  const bool atStart = argc > 2 && option == "--close-at-start";
  const bool closes = argc > 2 && (option == "--close-after" || atStart);
  const int closeAfterMs = closes ? std::stoi(argv[2]) : -1;
  const int station = signalled ? 2 : closes ? 3 : 1;
  wxApp::SetInstance(new CStartPressedApp(signalled, closeAfterMs, atStart, argc > station ? argv[station] : ""));
  int programOnly = 1;
  return wxEntry(programOnly, argv);
}
