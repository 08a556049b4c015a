// The demo's helper, run in the demo's working folder:
//   kxmp_demo files [--keep]   writes the demo's site (tools/DemoSite.h): settings,
//                              Emulator.ini, parameter files and firmware; --keep
//                              leaves the files already there as they are
//   kxmp_demo run <png> [station ...]
//                              starts the program's window, presses Start, waits
//                              for the pass and saves a screenshot of the window;
//                              with stations, sets TestStation to each in turn
//                              and runs a pass at it in the same window
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/MessageBox.h"
#include "platform/Profile.h"

#include "app/AppShell.h"
#include "app/MainApp.h"
#include "app/PropertyPageKxmp.h"
#include "tools/DemoSite.h"
#include "tools/WindowDriver.h"

namespace {

int RunHeadless(const char* png, char* program, const std::vector<std::string>& stations) {
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
  CProductionPage& logic = page->Logic();
  kxtools::RunEventsUntil([] { return false; }, 1000);
  bool ended = true;
  // One pass at the station set, or one pass at each station named, in turn.
  for (std::size_t i = 0; ended && i < std::max<std::size_t>(stations.size(), 1); ++i) {
    if (!stations.empty() &&
        !win::WritePrivateProfileString("General Info", "TestStation", stations[i].c_str(), app::kToolSettingIni)) {
      std::fprintf(stderr, "kxmp_demo: cannot set the station in %s\n", app::kToolSettingIni);
      ended = false;
      break;
    }
    page->OnStart();
    ended = logic.Running() && kxtools::RunEventsUntil([page] { return page->RunShown(); }, 1800000);
    std::string codes;
    for (int port = 1; port <= logic.SlotCount(); ++port) codes += " " + logic.ResultCode(port);
    std::printf("kxmp_demo: %s pass %s; Total %s, Good %s, Bad %s; slots%s\n",
                stations.empty() ? "the" : stations[i].c_str(), ended ? "ended" : "did not end",
                logic.CountLabel(0).Text().c_str(), logic.CountLabel(1).Text().c_str(),
                logic.CountLabel(2).Text().c_str(), codes.c_str());
  }
  kxtools::RunEventsUntil([] { return false; }, 1000);
  const bool saved = kxtools::Screenshot(app->Sheet()).SaveFile(png, wxBITMAP_TYPE_PNG);
  std::printf("kxmp_demo: screenshot %s\n", saved ? png : "not saved");
  app->Sheet()->Destroy();
  kxtools::RunEventsUntil([] { return false; }, 200);
  app->OnExit();
  wxEntryCleanup();
  return ended && saved ? 0 : 1;
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
