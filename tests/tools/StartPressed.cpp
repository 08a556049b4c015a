// The program with its Start pressed once the window is up, for the signal
// tests: it says on standard output when the run has started (or was
// refused) and when a box opens, so that a script can signal it then. With a
// station argument, TestStation is set to it after start-up, before Start;
// with --signalled, it sends itself SIGTERM before the window system starts.
// Start-up, main loop, shut-down and exit status are the program's own.
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "platform/Profile.h"

#include "app/AppShell.h"
#include "app/MainApp.h"
#include "app/PropertyPageKxmp.h"

#include <wx/dialog.h>
#include <wx/modalhook.h>

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
  CStartPressedApp(bool signalled, std::string station) : m_Station(std::move(station)) {
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
      page->OnStart();
      Say(page->Logic().Running() ? "run started" : "run refused");
    });
    return true;
  }

 private:
  std::string m_Station;
  std::unique_ptr<CBoxesSaid> m_Said = std::make_unique<CBoxesSaid>();
};

}  // namespace

// kx_start_pressed [--signalled] [station]
int main(int argc, char** argv) {
  const bool signalled = argc > 1 && std::string(argv[1]) == "--signalled";
  const int station = signalled ? 2 : 1;
  wxApp::SetInstance(new CStartPressedApp(signalled, argc > station ? argv[station] : ""));
  int programOnly = 1;
  return wxEntry(programOnly, argv);
}
