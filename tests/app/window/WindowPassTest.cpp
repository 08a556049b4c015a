// The program's window on a display (Xvfb in CI), started from the working
// folder's settings and Emulator.ini as the program starts: whole passes on
// emulated slots to the totals and a screenshot, the window's cost after a
// pass (no cell repainted while nothing changes), closing during a run, and
// what Start and an empty pass tell the operator.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "device/PortDevice.h"
#include "emulator/Drive.h"
#include "emulator/Site.h"
#include "platform/Clock.h"
#include "platform/DeviceIo.h"
#include "platform/DeviceNotify.h"
#include "platform/FileFaults.h"
#include "platform/Files.h"
#include "platform/LoadedSymbol.h"
#include "platform/MessageBox.h"
#include "tests/support/MpStation.h"
#include "tests/support/ScratchFolder.h"

#include "app/MainApp.h"
#include "app/PropertyPageKxmp.h"
#include "app/WxMessageBox.h"

#include "tools/DemoSite.h"
#include "tools/WindowDriver.h"

#include <wx/modalhook.h>
#include <wx/msgdlg.h>
#include <wx/timer.h>
#include <wx/weakref.h>

namespace {

using kx::Rgb;
using kxtest::Has;

constexpr char kToolIni[] = ".\\Configuration\\System\\MPToolSetting.ini";
// MpDrive() in Emulator.ini, without its flash code; slot 3 refuses the vendor
// access key, slot 6 has more bad blocks in one plane than MP accepts.
constexpr char kMpSite[] =
    "[Drive]\r\nCode = rdt\r\nRdtDone = 1\r\nCapacitySectors = 1974672\r\nBlocksPerPlane = 64\r\nDramMb = 4\r\n"
    "FuseWord2 = 0x45123456\r\nFuseWord3 = 0x15\r\nEraseMs = 200\r\n"
    "[Slot.3]\r\nKeyRefused = -1\r\n"
    "[Slot.6]\r\nFactoryBadBlocks = 2:0:0:1, 2:0:0:2, 2:0:0:3, 2:0:0:4\r\n";
// Drives whose RDT run is done, with 16 CEs: the RDT result's pass text is the longest.
constexpr char kRdtSite[] = "[Drive]\r\nCode = rdt\r\nRdtDone = 1\r\nCesPerChannel = 8\r\nBlocksPerPlane = 64\r\nDramMb = 4\r\n"
    "MarkedBadBlocks = rdt:9:0:0:7:r\r\n";

class WindowPass : public kxtest::DeviceTestEnv {
 protected:
  static void SetUpTestSuite() {
    app_ = new CMainApp;
    wxApp::SetInstance(app_);
    int argc = 1;
    char name[] = "kxmp";
    char* argv[] = {name, nullptr};
    ASSERT_TRUE(wxEntryStart(argc, argv));
    wxInitAllImageHandlers();
  }
  static void TearDownTestSuite() { wxEntryCleanup(); }

  ~WindowPass() override {
    if (sheet_) sheet_->Destroy();
    kxtools::RunEventsUntil([this] { return !sheet_; }, 10000);
    app_->Shut();
    platform::ClearDeviceBackends();
  }

  // The program's start-up in the working folder: the station, the slot count
  // and the emulated site of the given mode and drive sections.
  CPropertyPage_KXMP* Open(const char* station, int slots, const char* mode, const char* drives) {
    MakeDirs(".\\Configuration\\System");
    if (std::string(station) == "MP") kxtest::InstallMpStation();
    SetIni(kToolIni, "General Info", "TestStation", station);
    SetIni(kToolIni, "General Info", "SlotNumber", std::to_string(slots));
    SetIni(kToolIni, "General Info", "BuildVersion", "V1.0");
    SetIni(".\\param.ini", "General Info", "WorkingNo", "W01");
    std::ofstream("Configuration/System/Emulator.ini", std::ios::binary)
        << "[Site]\r\nMode = " << mode << "\r\nSlots = " << slots << "\r\n" << drives;
    return Start();
  }
  // The program's start-up on the working folder's files.
  CPropertyPage_KXMP* Start() {
    MakeDirs("C:\\MP_SSD_NODE");
    std::filesystem::copy_file(KX_GETDEV_LIBRARY, "Configuration/System/libGetDev.so");
    EXPECT_TRUE(app_->Open());
    sheet_ = app_->Sheet();
    EXPECT_TRUE(sheet_);
    if (!sheet_) return nullptr;
    kxtools::RunEventsUntil([] { return false; }, 500);  // shown and laid out
    platform::SetMessageBox(box_);
    return sheet_->ProductionPage();
  }
  bool RunUntilShown(CPropertyPage_KXMP* page) {
    const bool shown = kxtools::RunEventsUntil([page] { return page->RunShown(); }, 120000);
    kxtools::RunEventsUntil([] { return false; }, 600);  // the last repaint
    return shown;
  }
  static int Paints(CPropertyPage_KXMP* page, int slots) {
    int paints = 0;
    for (int port = 1; port <= slots; ++port) paints += page->Cell(port)->Paints();
    return paints;
  }
  // After a pass: several blinks of the station label repaint no cell.
  static void ExpectIdle(CPropertyPage_KXMP* page, int slots) {
    const int before = Paints(page, slots);
    kxtools::RunEventsUntil([] { return false; }, 1600);
    EXPECT_EQ(Paints(page, slots), before);
  }
  // A close request as the window system sends it; true once the window is gone.
  bool CloseAnswered() {
    wxQueueEvent(sheet_, new wxCloseEvent(wxEVT_CLOSE_WINDOW, sheet_->GetId()));
    return kxtools::RunEventsUntil([this] { return !sheet_; }, 10000);
  }

  static CMainApp* app_;
  platform::ScopedClock clock_{platform::MakeScaledClock(10)};
  std::shared_ptr<platform::RecordingMessageBox> box_ = std::make_shared<platform::RecordingMessageBox>();
  wxWeakRef<CPropertySheetWithLogoDlg> sheet_;
};
CMainApp* WindowPass::app_ = nullptr;

TEST_F(WindowPass, StartRunsAPassToTheTotalsAndTheGridShowsBothEndings) {
  CPropertyPage_KXMP* page = Open("MP", 8, "bridge", kMpSite);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(sheet_->GetTitle().utf8_string(), "KX  MP Tool V1.0");
  // The run ends right after one of the timer's refreshes: the labels must
  // still come to show its end.
  bool waited = false;
  page->SetAfterRefresh([&waited, page] {
    if (std::exchange(waited, true)) return;
    for (int i = 0; i < 12000 && page->Logic().Running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  page->OnStart();
  ASSERT_TRUE(page->Logic().Running());
  ASSERT_TRUE(RunUntilShown(page));
  page->SetAfterRefresh({});
  ASSERT_TRUE(waited);

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
  // What the window's own labels show once the run has ended.
  EXPECT_EQ(page->CountShown(0) + "/" + page->CountShown(1) + "/" + page->CountShown(2), "8/6/2");
  EXPECT_EQ(page->YieldShown().utf8_string(), page->Logic().YieldText());
  // The tooltip holds the whole text and the failure's message.
  const kx::StatusCellState& failed = page->Cell(3)->Shown();
  ASSERT_FALSE(failed.errorMessage.empty());
  EXPECT_EQ(page->Cell(3)->GetToolTipText().utf8_string(), failed.text + "\n" + failed.errorMessage);
  EXPECT_EQ(box_->Texts(), std::vector<std::string>{});

  const wxImage shot = kxtools::Screenshot(sheet_);
  ASSERT_TRUE(shot.IsOk());
  std::filesystem::create_directories(KX_ARTIFACT_DIR);
  EXPECT_TRUE(shot.SaveFile(KX_ARTIFACT_DIR "/window-pass.png", wxBITMAP_TYPE_PNG));
  const kxtools::ColourCount colours = kxtools::CountColours(shot);
  EXPECT_GT(colours.distinct, 16u);
  // Six green cells and two red ones, each a good part of its slot.
  EXPECT_GT(colours.green, 6u * 2000);
  EXPECT_GT(colours.red, 2u * 2000);
  EXPECT_GT(colours.green, 2 * colours.red);
  ExpectIdle(page, 8);
  EXPECT_TRUE(CloseAnswered());
}

// 24 MP cells, each of whose pass texts ends in the drive's own serial number.
TEST_F(WindowPass, PassTextsAtTwentyFourSlotsAreShownWholeAndTheWindowStaysIdle) {
  CPropertyPage_KXMP* page = Open("MP", 24, "bridge", kMpSite);
  ASSERT_NE(page, nullptr);
  page->OnStart();
  ASSERT_TRUE(RunUntilShown(page));
  for (int port = 1; port <= 24; ++port) {
    SCOPED_TRACE(port);
    CColorEdit* cell = page->Cell(port);
    EXPECT_TRUE(cell->IsShownOnScreen());
    EXPECT_TRUE(cell->TextFits()) << cell->Shown().text;
  }
  EXPECT_EQ(page->Cell(24)->Shown().text.rfind("Pass*964(1) MB*", 0), 0u) << page->Cell(24)->Shown().text;
  std::filesystem::create_directories(KX_ARTIFACT_DIR);
  EXPECT_TRUE(kxtools::Screenshot(sheet_).SaveFile(KX_ARTIFACT_DIR "/window-pass-24.png", wxBITMAP_TYPE_PNG));
  ExpectIdle(page, 24);
  EXPECT_TRUE(CloseAnswered());
}

// The RDT result's per-CE counts of 16 CEs, the longest pass texts.
TEST_F(WindowPass, RdtResultTextsAtEightSlotsAreShownWhole) {
  CPropertyPage_KXMP* page = Open("RDTResult", 8, "bridge", kRdtSite);
  ASSERT_NE(page, nullptr);
  page->OnStart();
  ASSERT_TRUE(RunUntilShown(page));
  for (int port = 1; port <= 8; ++port) {
    SCOPED_TRACE(port);
    CColorEdit* cell = page->Cell(port);
    EXPECT_TRUE(Has(cell->Shown().text, "*15: 0/ 0 (P: 0)*")) << cell->Shown().text;
    EXPECT_TRUE(cell->TextFits()) << cell->Shown().text;
  }
  std::filesystem::create_directories(KX_ARTIFACT_DIR);
  EXPECT_TRUE(kxtools::Screenshot(sheet_).SaveFile(KX_ARTIFACT_DIR "/window-rdt-result.png", wxBITMAP_TYPE_PNG));
  ExpectIdle(page, 8);
  EXPECT_TRUE(CloseAnswered());
}

// No box after it either: the pass's notice (the next station) is not shown.
TEST_F(WindowPass, ClosingDuringARunClosesTheWindowWhenTheRunHasEnded) {
  CPropertyPage_KXMP* page = Open("RDTResult", 8, "bridge", kRdtSite);
  ASSERT_NE(page, nullptr);
  SetIni(kToolIni, "OP Setting", "PopoutNotice", "1");
  page->OnStart();
  ASSERT_TRUE(page->Logic().Running());
  sheet_->Close();
  sheet_->Close();  // told once
  EXPECT_TRUE(sheet_->IsShown());
  // Told by a notice that holds nothing, and that nobody answers here.
  EXPECT_EQ(box_->Texts(), std::vector<std::string>{});
  ASSERT_NE(page->CloseNotice(), nullptr);
  EXPECT_TRUE(page->CloseNotice()->IsShown());
  EXPECT_FALSE(page->CloseNotice()->IsModal());
  EXPECT_EQ(page->CloseNotice()->Text(), "A production run is going: the window closes when it has ended.");
  CProductionPage& logic = page->Logic();
  EXPECT_TRUE(kxtools::RunEventsUntil([this] { return !sheet_; }, 120000));
  EXPECT_FALSE(logic.Running());  // the page outlives its window: the application holds it
  EXPECT_EQ(logic.ResultCode(8), "0_00");
  kxtools::RunEventsUntil([] { return false; }, 600);
  EXPECT_EQ(box_->Texts(), std::vector<std::string>{});
}

// A close while the run goes, or once it has ended but before the window has
// shown its end: the pass that the Total log refused (a full disk) is told all
// the same, its box's whole text as a box that the ending program does not
// show (on standard error). A plain next-station notice is not (see above).
TEST_F(WindowPass, APassNotCountedIsToldWhenTheWindowClosesAtTheRunsEnd) {
  for (const bool ended : {false, true}) {
    SCOPED_TRACE(ended ? "closed once the run has ended, before its end is shown" : "closed during the run");
    box_ = std::make_shared<platform::RecordingMessageBox>();
    CPropertyPage_KXMP* page = Open("RDTResult", 8, "bridge", kRdtSite);
    ASSERT_NE(page, nullptr);
    SetIni(kToolIni, "OP Setting", "PopoutNotice", "1");
    page->OnStart();
    CProductionPage& logic = page->Logic();
    ASSERT_TRUE(logic.Running());
    platform::SetWriteFault([](const std::string& path) -> win::DWORD {
      return kxtest::EndsWith(path, "/Total_Debug.log") ? 112 : 0;  // ERROR_DISK_FULL
    });
    if (ended) logic.WaitForRunEnd();
    sheet_->Close();
    EXPECT_TRUE(kxtools::RunEventsUntil([this] { return !sheet_; }, 120000));
    platform::SetWriteFault({});
    EXPECT_FALSE(logic.Running());
    ASSERT_EQ(box_->Texts().size(), 1u);
    EXPECT_EQ(box_->Texts()[0].rfind("The pass is not counted in ", 0), 0u) << box_->Texts()[0];
    EXPECT_TRUE(Has(box_->Texts()[0], "Total_Debug.log: OS error 112, ")) << box_->Texts()[0];
    EXPECT_TRUE(kxtest::EndsWith(box_->Texts()[0], "There is not enough space on the disk.\r\nNext Station: MP"))
        << box_->Texts()[0];
    EXPECT_EQ(box_->History().at(0).type, win::MB_OK | win::MB_ICONWARNING);
    app_->Shut();
    platform::ClearDeviceBackends();
    std::filesystem::remove("Configuration/System/libGetDev.so");
  }
}

TEST_F(WindowPass, StartIsRefusedWhenTheLogFolderCannotBeCreated) {
  CPropertyPage_KXMP* page = Open("RDTResult", 8, "bridge", kRdtSite);
  ASSERT_NE(page, nullptr);
  SetIni(".\\param.ini", "Log Path", "SetLogFolderPath", "Q:\\Logs");  // no drive Q:
  page->OnStart();
  EXPECT_FALSE(page->Logic().Running());
  EXPECT_TRUE(page->RunShown());
  ASSERT_EQ(box_->Texts().size(), 1u);
  EXPECT_EQ(box_->Texts()[0].rfind("The log folder Q:\\Logs\\W01\\D_Reports\\ cannot be created: OS error 3, ", 0), 0u)
      << box_->Texts()[0];
  EXPECT_EQ(page->Logic().Cell(1).Snapshot().text, "");
}

TEST_F(WindowPass, APassThatFindsNoDriveSaysSoAndNamesNoNextStation) {
  // SATA ports, which only the SATA listing library lists, with PortType 0.
  CPropertyPage_KXMP* page = Open("MP", 8, "sata", kMpSite);
  ASSERT_NE(page, nullptr);
  SetIni(kToolIni, "OP Setting", "PopoutNotice", "1");
  page->OnStart();
  ASSERT_TRUE(RunUntilShown(page));
  EXPECT_EQ(box_->Texts(), std::vector<std::string>{"No drive was found on any of the 8 ports."});
  EXPECT_EQ(box_->History().at(0).type, win::MB_OK | win::MB_ICONWARNING);
  EXPECT_EQ(page->Logic().CountLabel(0).Text(), "0");
}

TEST_F(WindowPass, ATerminationSignalClosesTheWindowAsItsCloseBoxDoes) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    ASSERT_NE(Open("RDTResult", 8, "bridge", kRdtSite), nullptr);
    ASSERT_TRUE(Exists("C:\\MP_SSD_NODE\\AutoMapping.ini"));
    std::raise(signal);
    EXPECT_TRUE(kxtools::RunEventsUntil([this] { return !sheet_; }, 10000));
    EXPECT_FALSE(Exists("C:\\MP_SSD_NODE\\AutoMapping.ini"));  // tidied as at a close
    app_->Shut();
    platform::ClearDeviceBackends();
    std::filesystem::remove("Configuration/System/libGetDev.so");
  }
}

// Whether the window system has events not yet handed out.
bool WindowEventsPending() {
  const auto pending = reinterpret_cast<int (*)()>(platform::LoadedSymbol("gdk_events_pending"));
  return pending && pending() != 0;
}

// A close (the program's own or the window manager's), or a termination
// signal, while a box is up (the next station after the pass, or Start's
// station warning): no window goes under the box's loop. A close waits for the
// operator's answer; the signal takes the box down. Either way the window then
// closes, and Start answered after the close starts no pass.
TEST_F(WindowPass, AWindowClosesOnlyAfterTheBoxOpenOverItHasReturned) {
  enum class Way { Close, WindowManager, Signal };
  for (const bool atStart : {false, true})
  for (const Way way : {Way::Close, Way::WindowManager, Way::Signal}) {
    SCOPED_TRACE(way == Way::Close ? "close" : way == Way::WindowManager ? "window manager's close" : "signal");
    SCOPED_TRACE(atStart ? "the box at Start" : "the box after the pass");
    CPropertyPage_KXMP* page = Open("RDTResult", 8, "bridge", kRdtSite);
    ASSERT_NE(page, nullptr);
    SetIni(kToolIni, "OP Setting", "PopoutNotice", "1");
    platform::SetMessageBox(std::make_shared<CWxMessageBox>());
    bool started = false;
    if (atStart) {
      SetIni(kToolIni, "General Info", "TestStation", "MPP");  // no station name: Start warns
      wxTheApp->CallAfter([page, &started] {
        page->OnStart();
        started = page->Logic().Running();
      });
    } else {
      page->OnStart();
    }
    bool asked = false, answered = false, stayed = false;
    const auto openBox = [] {
      for (wxWindow* window : wxTopLevelWindows)
        if (auto* dialog = dynamic_cast<wxDialog*>(window); dialog && dialog->IsModal()) return dialog;
      return static_cast<wxDialog*>(nullptr);
    };
    // Runs under the box's loop once it is open.
    EXPECT_TRUE(kxtools::RunEventsUntil(
        [&] {
          wxDialog* box = openBox();
          if (box && !asked) {
            asked = true;
            if (way == Way::Signal) std::raise(SIGTERM);
            if (way == Way::Close) sheet_->Close();
            if (way == Way::WindowManager) {
              EXPECT_TRUE(kxtools::PutDeleteEvent(sheet_));
            }
          }
          // The operator's answer once the close has been handed out.
          if (box && asked && way != Way::Signal && !answered && !WindowEventsPending()) {
            answered = true;
            stayed = sheet_ && sheet_->IsShown();
            box->EndModal(wxID_OK);
          }
          return asked && !sheet_;
        },
        120000));
    EXPECT_TRUE(asked);
    EXPECT_EQ(stayed, way != Way::Signal);
    if (atStart) {
      EXPECT_FALSE(started);
    }
    EXPECT_EQ(openBox(), nullptr);
    EXPECT_FALSE(Exists("C:\\MP_SSD_NODE\\AutoMapping.ini"));
    app_->Shut();
    platform::ClearDeviceBackends();
    std::filesystem::remove("Configuration/System/libGetDev.so");
  }
}

// A box that the program's end takes down is told on standard error as taken
// down once it was drawn on the screen, where someone may have read it; one
// the end reached as it opened is told as not shown. Either way it gets the
// safe answer.
TEST_F(WindowPass, ABoxTheEndTakesDownIsToldAsTakenDownOnlyOnceItWasDrawn) {
  for (const bool drawn : {true, false}) {
    SCOPED_TRACE(drawn ? "taken down once drawn" : "the end came as it opened");
    CModalBoxes boxes;
    // Registered after the boxes, so told of a box opening before them.
    struct Opening final : wxModalDialogHook {
      std::function<void(wxDialog*)> opened;
      int Enter(wxDialog* dialog) override {
        opened(dialog);
        return wxID_NONE;
      }
    } opening;
    bool painted = false;
    opening.opened = [&](wxDialog* dialog) {
      if (!drawn) boxes.End();
      dialog->Bind(wxEVT_PAINT, [&painted](wxPaintEvent& event) {
        painted = true;
        event.Skip();
      });
    };
    opening.Register();
    int answer = 0;
    bool returned = false;
    testing::internal::CaptureStderr();
    wxTheApp->CallAfter([&] {
      answer = CWxMessageBox().Show("Next Station: MP", "", win::MB_OKCANCEL);
      returned = true;
    });
    const bool ended = kxtools::RunEventsUntil(
        [&] {
          if (painted && !boxes.Ended()) boxes.End();
          return returned;
        },
        60000);
    const std::string told = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ended);
    EXPECT_EQ(painted, drawn);
    EXPECT_EQ(answer, win::IDCANCEL);
    std::string line;
    for (std::istringstream lines(told); std::getline(lines, line);)
      if (Has(line, "Next Station: MP")) break;
    EXPECT_EQ(Has(line, "taken down"), drawn) << told;
    EXPECT_EQ(Has(line, "not shown"), !drawn) << told;
  }
}

// Calls tick on the window thread every 50 ms, also under a modal box's loop.
class EveryTick final : public wxTimer {
 public:
  explicit EveryTick(std::function<void()> tick) : m_Tick(std::move(tick)) { Start(50); }
  void Notify() override { m_Tick(); }

 private:
  std::function<void()> m_Tick;
};

// A drive put into an empty bay while a start-up box waits for the operator
// (the mapping's, naming a node two ports name, or the page's, naming a
// station that is no station name), with and without MappingLock: the
// arrival is mapped while the box is up, and its cell is lit.
TEST_F(WindowPass, ADrivePutInWhileAStartUpBoxIsUpIsMappedAndItsCellLit) {
  for (const bool locked : {false, true})
  for (const bool mappingBox : {true, false}) {
    SCOPED_TRACE(locked ? "MappingLock" : "no MappingLock");
    SCOPED_TRACE(mappingBox ? "the mapping's box" : "the page's start-up box");
    MakeDirs(".\\Configuration\\System");
    MakeDirs("C:\\MP_SSD_NODE");
    SetIni(kToolIni, "OP Setting", "MappingLock", locked ? "1" : "0");
    if (mappingBox)
      for (int port = 1; port <= 8; ++port)
        SetIni(CPortMapping::kMappingIni, ("Port" + std::to_string(port - 1)).c_str(), "PortNode",
               "kxemu-bridge-0" + std::to_string(port == 8 ? 1 : port));
    std::string boxText;
    bool mappedUnderBox = false;
    int waits = 0;
    EveryTick tick([&] {
      wxDialog* box = nullptr;
      for (wxWindow* window : wxTopLevelWindows)
        if (auto* dialog = dynamic_cast<wxDialog*>(window); dialog && dialog->IsModal()) box = dialog;
      if (!box) return;
      if (boxText.empty()) {
        auto* message = dynamic_cast<wxMessageDialogBase*>(box);
        boxText = message ? message->GetMessage().utf8_string() : "?";
        emu::Site::Current()->SetDrive(5, std::make_shared<emu::Drive>(emu::DriveConfig{}));
        std::thread([] {
          platform::RaiseDiskNotification({platform::DiskChange::Arrival, emu::Site::BridgePath(5)});
        }).join();
        return;
      }
      // The page the start-up is building, its window not yet the application's.
      for (wxWindow* window : wxTopLevelWindows)
        if (auto* sheet = dynamic_cast<CPropertySheetWithLogoDlg*>(window))
          mappedUnderBox = sheet->ProductionPage()->Logic().DriveNumber(5) != 0;
      if (mappedUnderBox || ++waits > 100) box->EndModal(wxID_OK);
    });
    const std::string drives = std::string(kRdtSite) + "[Slot.5]\r\nEmpty = 1\r\nPresentWithoutDrive = 0\r\n";
    CPropertyPage_KXMP* page = Open(mappingBox ? "RDTResult" : "MPP", 8, "bridge", drives.c_str());
    tick.Stop();
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(Has(boxText, mappingBox ? "is port 1's node too" : "TestStation MPP")) << boxText;
    EXPECT_TRUE(mappedUnderBox);
    EXPECT_EQ(page->Logic().DriveNumber(5), 5);
    EXPECT_EQ(page->Cell(5)->Shown().backColor, Rgb(0, 100, 255));
    EXPECT_TRUE(CloseAnswered());
    app_->Shut();
    platform::ClearDeviceBackends();
    std::filesystem::remove("Configuration/System/libGetDev.so");
    win::DeleteFile(CPortMapping::kMappingIni);
  }
}

// The demo's own site (what kxmp_demo writes), run as an operator runs it: Start
// at MP, then the station changed to QC and Start again on the same drives,
// which keep what MP wrote while the program runs. Slot 3 refuses the vendor
// access key at both stations; slot 6 fails MP on its bad blocks and so still
// runs its RDT firmware at QC.
TEST_F(WindowPass, OnTheDemoSiteQcPassesTheDrivesThatMpPassedInTheSameSession) {
  ASSERT_TRUE(kxtools::WriteDemoSite(false));
  CPropertyPage_KXMP* page = Start();
  ASSERT_NE(page, nullptr);
  CProductionPage& logic = page->Logic();
  const struct {
    const char* station;
    const char* passText;  // how a pass cell's text begins
    const char* code3;
    const char* code6;
    const char* totalLog;
  } rows[] = {{"MP", "Pass*964(1) MB*", "I_V01", "F_J10", "\\Total_Init.log"},
              {"QC", "Pass", "I_V01", "P_B09", "\\Total_QC.log"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.station);
    SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "TestStation", r.station);
    page->OnStart();
    ASSERT_TRUE(logic.Running());
    ASSERT_TRUE(RunUntilShown(page));
    for (int port = 1; port <= 8; ++port) {
      SCOPED_TRACE(port);
      const kx::StatusCellState& shown = page->Cell(port)->Shown();
      const std::string code = port == 3 ? r.code3 : port == 6 ? r.code6 : "0_00";
      EXPECT_EQ(logic.ResultCode(port), code);
      EXPECT_EQ(shown.backColor, code == "0_00" ? Rgb(0, 255, 0) : Rgb(255, 0, 0));
      const std::string begins = code == "0_00" ? r.passText : CPortDevice::FormatErrorCode(code);
      EXPECT_EQ(shown.text.rfind(begins, 0), 0u) << shown.text;
    }
    const std::string totals = logic.TotalLogPath();
    EXPECT_TRUE(kxtest::EndsWith(totals, r.totalLog)) << totals;
    std::string counts;
    for (const char* key : {"Total", "Good", "Bad"})
      counts += std::to_string(win::GetPrivateProfileInt("Total Results", key, -1, totals.c_str())) + "/";
    EXPECT_EQ(counts, "8/6/2/");
    EXPECT_EQ(logic.CountLabel(0).Text() + "/" + logic.CountLabel(1).Text() + "/" + logic.CountLabel(2).Text(),
              "8/6/2");
  }
  EXPECT_EQ(box_->Texts(), std::vector<std::string>{"Next Station: QC"});
}

// Where a cell's text breaks, each character 10 wide.
TEST(CellText, BreaksAtLineFeedsAndAfterStarsOrBlanksWhereALineIsTooWide) {
  const auto extents = [](const wxString& line) {
    std::vector<int> widths;
    for (std::size_t i = 1; i <= line.size(); ++i) widths.push_back(static_cast<int>(i) * 10);
    return widths;
  };
  const struct {
    const char* text;
    int width;
    std::vector<std::string> lines;
  } rows[] = {{"Pass*964(1) MB*KX01", 100, {"Pass*", "964(1) MB*", "KX01"}},
              {"0x42B*00000002*", 200, {"0x42B*00000002*"}},
              {"ABCDEFGHIJKL", 50, {"ABCDE", "FGHIJ", "KL"}},  // no break point: cut at the width
              {"Serial Numbers Empty \n Port:2", 300, {"Serial Numbers Empty ", " Port:2"}},
              {"WIDE", 5, {"W", "I", "D", "E"}},  // narrower than one character: one each
              {"", 100, {}}};
  for (const auto& r : rows) {
    std::vector<std::string> lines;
    for (const wxString& line : WrapCellText(wxString::FromUTF8(r.text), r.width, extents))
      lines.push_back(line.utf8_string());
    EXPECT_EQ(lines, r.lines) << r.text;
  }
}

}  // namespace

// A cell repaints when its own look changes, not when another control of the
// page does: a progress step, or Start and Scan turned off and on by a run.
TEST_F(WindowPass, ACellRepaintsOnlyForItsOwnChanges) {
  CPropertyPage_KXMP* page = Open("RDTResult", 8, "bridge", kRdtSite);
  ASSERT_NE(page, nullptr);
  kxtools::RunEventsUntil([] { return false; }, 1000);  // the start-up's repaints
  int before = Paints(page, 8);
  for (int port = 1; port <= 8; ++port) page->Gauge(port)->SetValue(10 * port);
  kxtools::RunEventsUntil([] { return false; }, 500);
  EXPECT_EQ(Paints(page, 8), before) << "a progress step repainted the cells";

  std::vector<int> paints, looks;
  for (int port = 1; port <= 8; ++port) {
    paints.push_back(page->Cell(port)->Paints());
    looks.push_back(page->Cell(port)->Looks());
  }
  page->OnStart();
  ASSERT_TRUE(RunUntilShown(page));
  for (int port = 1; port <= 8; ++port) {
    SCOPED_TRACE(port);
    CColorEdit* cell = page->Cell(port);
    const int looked = cell->Looks() - looks[static_cast<std::size_t>(port - 1)];
    EXPECT_GT(looked, 0);
    // Beside its own changes, one whole-page layout each when the run starts and ends.
    EXPECT_LE(cell->Paints() - paints[static_cast<std::size_t>(port - 1)], looked + 2);
  }
  EXPECT_TRUE(CloseAnswered());
}
