// The demo's helper, run in the demo's working folder:
//   kxmp_demo files            writes the firmware the stations load and the drives
//                              hold: the MP image FW\MP\QVF10001.bin and the RDT
//                              image FW\RDT\RDT00202.bin (named in param.ini), the
//                              RDT image's bin type (paramFDB.ini), and the MP
//                              image's normal code FW\MP\QVF10001.code that
//                              Emulator.ini's FlashCodeFile puts in the drives' flash
//   kxmp_demo run <png>        starts the program's window, presses Start, waits
//                              for the pass and saves a screenshot of the window
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/MessageBox.h"
#include "platform/Profile.h"
#include "tests/support/MpStation.h"

#include "app/MainApp.h"
#include "app/PropertyPageKxmp.h"
#include "tools/WindowDriver.h"

namespace {

int WriteFiles() {
  const char* mp = ".\\FW\\MP\\QVF10001.bin";
  const char* rdt = ".\\FW\\RDT\\RDT00202.bin";
  kxtest::WriteBinFile(mp, kxtest::StoreBin(kxtest::MpImage()));
  kxtest::WriteBinFile(rdt, kxtest::StoreBin(kxtest::NamedImage("RDT00202", 16384 + 100, true)));
  const std::vector<std::uint8_t>& image = kxtest::MpImage();
  kxtest::WriteBinFile(".\\FW\\MP\\QVF10001.code",
                       std::vector<std::uint8_t>(image.begin() + kxtest::kNormalCodeAt, image.end()));
  // The RDT bin type of the flash-type table's row that IniFilePath (FT_B0KB_S2) selects.
  const bool written = win::WritePrivateProfileString("Device Info", "ISP_MPBINCode", mp, ".\\param.ini") &&
                       win::WritePrivateProfileString("Device Info", "ISP_RDTBINCode", rdt, ".\\param.ini") &&
                       win::WritePrivateProfileString("Flash Info", "Flh_RDTBinType", "7312", ".\\paramFDB.ini");
  return written ? 0 : 1;
}

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
  if (argc == 2 && std::strcmp(argv[1], "files") == 0) return WriteFiles();
  if (argc == 3 && std::strcmp(argv[1], "run") == 0) return RunHeadless(argv[2], argv[0]);
  std::fprintf(stderr, "usage: kxmp_demo files | kxmp_demo run <screenshot.png>\n");
  return 2;
}
