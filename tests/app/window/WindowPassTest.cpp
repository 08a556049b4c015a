// The program's window on a display (Xvfb in CI): start-up from the working
// folder's settings and Emulator.ini, Start pressed, a whole pass on 8 emulated
// slots (two with injected faults) to the totals, then the grid and a
// screenshot of the window, kept as a test artifact.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/Clock.h"
#include "platform/DeviceIo.h"
#include "platform/MessageBox.h"
#include "tests/media/FirmwareFiles.h"
#include "tests/support/ScratchFolder.h"

#include "app/MainApp.h"
#include "app/PropertyPageKxmp.h"

#include "tools/WindowDriver.h"

namespace {

using kx::Rgb;

struct WindowPass : kxtest::DeviceTestEnv {
  WindowPass() {
    MakeDirs(".\\Configuration\\System");
    for (auto [file, section, key, value] : std::initializer_list<std::array<const char*, 4>>{
             {".\\Configuration\\System\\MPToolSetting.ini", "General Info", "TestStation", "RDT"},
             {".\\Configuration\\System\\MPToolSetting.ini", "General Info", "SlotNumber", "8"},
             {".\\Configuration\\System\\MPToolSetting.ini", "General Info", "BuildVersion", "V1.0"},
             {".\\param.ini", "General Info", "WorkingNo", "W01"},
             {".\\param.ini", "Options", "DDRSize", "4"},
             {".\\paramFDB.ini", "Flash Info", "Flh_ID", "2c 84 64 3c a5 08 04"},
             {".\\paramFDB.ini", "Flash Info", "Flh_Number", "8"}})
      SetIni(file, section, key, value);
    kxtest::InstallBin(kxtest::NamedImage("RDT00202", 16384 + 100, true), "ISP_RDTBINCode");
    std::ofstream("Configuration/System/Emulator.ini", std::ios::binary)
        << "[Site]\r\nMode = bridge\r\nSlots = 8\r\n"
           "[Drive]\r\nCode = mp\r\nBlocksPerPlane = 64\r\nDramMb = 4\r\nEraseMs = 200\r\n"
           "[Slot.3]\r\nKeyRefused = -1\r\n"
           "[Slot.6]\r\nAbort = 99, Sub = 0x26\r\n";
    std::filesystem::copy_file(KX_GETDEV_LIBRARY, "Configuration/System/libGetDev.so");
  }
  ~WindowPass() override { platform::ClearDeviceBackends(); }

  platform::ScopedClock clock_{platform::MakeScaledClock(10)};
};

TEST_F(WindowPass, StartRunsAPassToTheTotalsAndTheGridShowsBothEndings) {
  auto* app = new CMainApp;
  wxApp::SetInstance(app);
  int argc = 1;
  char name[] = "kxmp";
  char* argv[] = {name, nullptr};
  ASSERT_TRUE(wxEntryStart(argc, argv));
  ASSERT_TRUE(app->CallOnInit());
  CPropertySheetWithLogoDlg* sheet = app->Sheet();
  ASSERT_NE(sheet, nullptr);
  EXPECT_EQ(sheet->GetTitle().utf8_string(), "KX  MP Tool V1.0");
  CPropertyPage_KXMP* page = sheet->ProductionPage();
  ASSERT_NE(page, nullptr);
  kxtools::RunEventsUntil([] { return false; }, 500);  // shown and laid out
  auto box = std::make_shared<platform::RecordingMessageBox>();
  platform::SetMessageBox(box);

  page->OnStart();
  ASSERT_TRUE(page->Logic().Running());
  sheet->Close();  // refused while the pass runs
  EXPECT_TRUE(sheet->IsShown());
  EXPECT_EQ(box->Texts(), std::vector<std::string>{"A production run is going: the window closes when it has ended."});
  ASSERT_TRUE(kxtools::RunEventsUntil([page] { return page->RunShown(); }, 120000));
  kxtools::RunEventsUntil([] { return false; }, 600);  // the last repaint

  int green = 0, red = 0;
  for (int port = 1; port <= 8; ++port) {
    const kx::StatusCellState& shown = page->Cell(port)->Shown();
    SCOPED_TRACE(port);
    if (shown.backColor == Rgb(0, 255, 0)) ++green;
    if (shown.backColor == Rgb(255, 0, 0)) {
      ++red;
      EXPECT_EQ(shown.text.rfind("0x", 0), 0u) << shown.text;
    }
    EXPECT_EQ(shown.backColor, port == 3 || port == 6 ? Rgb(255, 0, 0) : Rgb(0, 255, 0));
  }
  EXPECT_EQ(green, 6);
  EXPECT_EQ(red, 2);
  EXPECT_EQ(page->Logic().CountLabel(0).Text() + "/" + page->Logic().CountLabel(1).Text() + "/" +
                page->Logic().CountLabel(2).Text(),
            "8/6/2");

  const wxImage shot = kxtools::Screenshot(sheet);
  ASSERT_TRUE(shot.IsOk());
  std::filesystem::create_directories(KX_ARTIFACT_DIR);
  EXPECT_TRUE(shot.SaveFile(KX_ARTIFACT_DIR "/window-pass.png", wxBITMAP_TYPE_PNG));
  const kxtools::ColourCount colours = kxtools::CountColours(shot);
  EXPECT_GT(colours.distinct, 16u);
  // Six green cells and two red ones, each a good part of its slot.
  EXPECT_GT(colours.green, 6u * 2000);
  EXPECT_GT(colours.red, 2u * 2000);
  EXPECT_GT(colours.green, 2 * colours.red);

  sheet->Destroy();
  kxtools::RunEventsUntil([] { return false; }, 200);
  app->OnExit();
  wxEntryCleanup();
}

}  // namespace
