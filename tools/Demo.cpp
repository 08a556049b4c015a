// The demo's helper, run in the demo's working folder:
//   kxmp_demo files [--keep]   writes the demo's site (tools/DemoSite.h): settings,
//                              Emulator.ini, parameter files and firmware; --keep
//                              leaves the files already there as they are
//   kxmp_demo run <png>        starts the program's window, presses Start, waits
//                              for the pass and saves a screenshot of the window
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/MessageBox.h"

#include "app/MainApp.h"
#include "app/PropertyPageKxmp.h"
#include "tools/DemoSite.h"
#include "tools/WindowDriver.h"

namespace {

int RunHeadless(const char* png, char* program) {
  auto* app = new CMainApp;
  wxApp::SetInstance(app);
  int argc = 1;
  char* argv[] = {program, nullptr};
  if (!wxEntryStart(argc, argv) || !app->CallOnInit()) {
    std::fprintf(stderr, "kxmp_demo: the window did not start\n");
    return 1;
  }
  platform::SetMessageBox(nullptr);  // nobody answers boxes here: they go to standard error
  CPropertyPage_KXMP* page = app->Sheet()->ProductionPage();
  kxtools::RunEventsUntil([] { return false; }, 1000);
  page->OnStart();
  const bool ended = page->Logic().Running() && kxtools::RunEventsUntil([page] { return page->RunShown(); }, 1800000);
  kxtools::RunEventsUntil([] { return false; }, 1000);
  const bool saved = kxtools::Screenshot(app->Sheet()).SaveFile(png, wxBITMAP_TYPE_PNG);
  CProductionPage& logic = page->Logic();
  std::printf("kxmp_demo: pass %s; Total %s, Good %s, Bad %s; screenshot %s\n", ended ? "ended" : "did not end",
              logic.CountLabel(0).Text().c_str(), logic.CountLabel(1).Text().c_str(),
              logic.CountLabel(2).Text().c_str(), saved ? png : "not saved");
  app->Sheet()->Destroy();
  kxtools::RunEventsUntil([] { return false; }, 200);
  app->OnExit();
  wxEntryCleanup();
  return ended && saved ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && argc <= 3 && std::strcmp(argv[1], "files") == 0) {
    const bool keep = argc == 3 && std::strcmp(argv[2], "--keep") == 0;
    if (argc == 3 && !keep) return 2;
    if (kxtools::WriteDemoSite(keep)) return 0;
    std::fprintf(stderr, "kxmp_demo: the demo's files could not be written in this folder\n");
    return 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "run") == 0) return RunHeadless(argv[2], argv[0]);
  std::fprintf(stderr, "usage: kxmp_demo files [--keep] | kxmp_demo run <screenshot.png>\n");
  return 2;
}
