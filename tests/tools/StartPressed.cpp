// The program with its Start pressed once the window is up, for the signal
// tests: it says on standard output when the run has started and when a box
// opens, so that a script can signal it then. Start-up, main loop, shut-down
// and exit status are the program's own.
#include <cstdio>
#include <memory>

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
  bool OnInit() override {
    if (!CMainApp::OnInit()) return false;
    m_Said->Register();  // after the program's own hook: asked first, and lets every box show
    CallAfter([this] {
      CPropertyPage_KXMP* page = Sheet() ? Sheet()->ProductionPage() : nullptr;
      if (!page) return;
      page->OnStart();
      Say(page->Logic().Running() ? "run started" : "run refused");
    });
    return true;
  }

 private:
  std::unique_ptr<CBoxesSaid> m_Said = std::make_unique<CBoxesSaid>();
};

}  // namespace

int main(int argc, char** argv) {
  wxApp::SetInstance(new CStartPressedApp);
  return wxEntry(argc, argv);
}
