// The program's window on a display (Xvfb in CI): start-up from the working
// folder's settings and Emulator.ini, Start pressed, a whole pass on 8 emulated
// slots (two with injected faults) to the totals, then the grid and a
// screenshot of the window, kept as a test artifact.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "device/PortDevice.h"
#include "platform/Clock.h"
#include "platform/DeviceIo.h"
#include "platform/MessageBox.h"
#include "tests/support/MpStation.h"
#include "tests/support/ScratchFolder.h"

#include "app/MainApp.h"
#include "app/PropertyPageKxmp.h"

#include "tools/WindowDriver.h"

namespace {

using kx::Rgb;

struct WindowPass : kxtest::DeviceTestEnv {
  WindowPass() {
    MakeDirs(".\\Configuration\\System");
    kxtest::InstallMpStation();
    for (auto [file, section, key, value] : std::initializer_list<std::array<const char*, 4>>{
             {".\\Configuration\\System\\MPToolSetting.ini", "General Info", "SlotNumber", "8"},
             {".\\Configuration\\System\\MPToolSetting.ini", "General Info", "BuildVersion", "V1.0"},
             {".\\param.ini", "General Info", "WorkingNo", "W01"}})
      SetIni(file, section, key, value);
    // MpDrive() in Emulator.ini, without its flash code; slot 3 refuses the
    // vendor access key, slot 6 has more bad blocks in one plane than MP accepts.
    std::ofstream("Configuration/System/Emulator.ini", std::ios::binary)
        << "[Site]\r\nMode = bridge\r\nSlots = 8\r\n"
           "[Drive]\r\nCode = rdt\r\nRdtDone = 1\r\nCapacitySectors = 1974672\r\nBlocksPerPlane = 64\r\nDramMb = 4\r\n"
           "FuseWord2 = 0x45123456\r\nFuseWord3 = 0x15\r\nEraseMs = 200\r\n"
           "[Slot.3]\r\nKeyRefused = -1\r\n"
           "[Slot.6]\r\nFactoryBadBlocks = 2:0:0:1, 2:0:0:2, 2:0:0:3, 2:0:0:4\r\n";
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
    const std::string code = port == 3 ? "I_V01" : port == 6 ? "F_J10" : "0_00";
    SCOPED_TRACE(port);
    if (shown.backColor == Rgb(0, 255, 0)) ++green;
    if (shown.backColor == Rgb(255, 0, 0)) ++red;
    EXPECT_EQ(page->Logic().ResultCode(port), code);
    EXPECT_EQ(shown.backColor, code == "0_00" ? Rgb(0, 255, 0) : Rgb(255, 0, 0));
    if (code == "0_00")
      EXPECT_EQ(shown.text.rfind("Pass*964(1) MB*", 0), 0u) << shown.text;
    else
      EXPECT_EQ(shown.text.rfind(CPortDevice::FormatErrorCode(code) + "*", 0), 0u) << shown.text;
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

  sheet->Destroy();  // its deletion still pending: shut-down deletes it before the page it shows
  app->OnExit();
  wxEntryCleanup();
}

}  // namespace
