// The scan dialog on a display (Xvfb in CI): a serial-number scan job (mode 8)
// on port 3 shows the real dialog from its worker thread and takes the number
// a scripted operator scans; the program's close answers a waiting job Cancel.
// And the production window sets the parameter-file paths as it is built.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/AppShell.h"
#include "app/ProductionPage.h"
#include "command/CommandGlobals.h"
#include "engine/PortJob.h"
#include "engine/SnScan.h"
#include "platform/MessageBox.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

#include "app/MainApp.h"
#include "settings/SnScanDlg.h"
#include "tools/WindowDriver.h"

#include <wx/notebook.h>

namespace {

constexpr int kPort = 3;

CSnScanWindow* ShownScanWindow() {
  for (wxWindow* w : wxTopLevelWindows)
    if (auto* scan = dynamic_cast<CSnScanWindow*>(w); scan && scan->IsModal()) return scan;
  return nullptr;
}

class ScanJob : public kxtest::DeviceTestEnv {
 protected:
  ScanJob() {
    MakeDirs(".\\Configuration\\System");
    SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "TestStation", "MP");
    for (auto& s : runStates_) s = -1;
    runStates_[kPort - 1] = 1;
    g_SnScanState.allScanned = 0;
    g_SnScanState.question = 0;
    g_SnScanState.wwnScanEnabled = false;
    g_SnScanState.SetSerialNumber(kPort, "OLD");
    g_PortState[kPort] = 1;
    EXPECT_TRUE(station_.Device().SwitchCardPower(1, false, 0, false));
    kx::InstallScanDialog();
  }
  ~ScanJob() override {
    kx::RemoveScanDialog();
    g_SnScanState.SetSerialNumber(kPort, "");
    g_SnScanState.question = 0;
    g_PortState[kPort] = 1;
  }
  // Runs a mode-8 job of port 3 on a worker while the window thread handles
  // events and `operate` plays the operator; whether the job ended.
  bool RunJob(const std::function<void(CSnScanWindow&)>& operate) {
    std::atomic<bool> ended{false};
    auto* job = new CPortJob(8, &locks_, &cell_, &progress_, station_.DriveNo(), kPort, nullptr, nullptr, "D:\\Log",
                             &resultCode_, nullptr, &runStates_);
    std::thread worker([&] {
      job->Run(0);
      ended = true;
    });
    bool operated = false;
    int quietTicks = 0;
    const bool done = kxtools::RunEventsUntil(
        [&] {
          if (CSnScanWindow* scan = ShownScanWindow(); scan && !operated) {
            operated = true;
            operate(*scan);
          }
          // Two quiet ticks: the first may still run inside the ending dialog's loop.
          quietTicks = ended.load() && ShownScanWindow() == nullptr ? quietTicks + 1 : 0;
          return quietTicks >= 2;
        },
        60000);
    worker.join();
    return done;
  }
  bool Powered() { return station_.Site().Card(kPort).powered; }

  kxtest::EmulatedStation station_{kxtest::Mode::TesterDirect, kPort};
  std::shared_ptr<platform::RecordingMessageBox> box_ = std::make_shared<platform::RecordingMessageBox>();
  platform::ScopedMessageBox scopedBox_{box_};
  kx::PageLocks locks_;
  kx::StatusCellModel cell_;
  kx::ProgressModel progress_;
  std::string resultCode_ = "H_F8";
  std::array<std::atomic<int>, kx::kPortCount> runStates_;
};

TEST_F(ScanJob, Port3TakesTheSerialNumberScannedIntoTheRealDialog) {
  box_->QueueAnswer(win::IDOK);  // "All Serial Number have scan?"
  std::string portText, title;
  ASSERT_TRUE(RunJob([&](CSnScanWindow& scan) {
    title = scan.GetTitle().utf8_string();
    portText = scan.Form().PortText();
    EXPECT_EQ(scan.WwnBox(), nullptr);  // WWN scanning is off
    scan.SerialBox()->SetValue("  SN0003 ");
    wxCommandEvent enter(wxEVT_TEXT_ENTER, scan.SerialBox()->GetId());  // the scanner's Enter
    enter.SetEventObject(scan.SerialBox());
    scan.SerialBox()->ProcessWindowEvent(enter);
  }));
  EXPECT_EQ(title, "Serial Number Scan");
  EXPECT_EQ(portText, "Port 3");
  EXPECT_EQ(g_SnScanState.SerialNumber(kPort), "SN0003");
  EXPECT_EQ(g_PortState[kPort], 9);
  EXPECT_EQ(runStates_[kPort - 1], 2);
  EXPECT_EQ(g_SnScanState.question, 1);
  ASSERT_EQ(box_->History().size(), 1u);
  EXPECT_EQ(box_->History()[0].caption, "Confirm");
  EXPECT_FALSE(Powered());
}

TEST_F(ScanJob, ClosingTheProgramAnswersAWaitingJobCancel) {
  ASSERT_TRUE(RunJob([](CSnScanWindow& scan) {
    kx::RemoveScanDialog();  // the program closes while the dialog shows
    scan.EndModal(wxID_CANCEL);
  }));
  EXPECT_EQ(g_SnScanState.SerialNumber(kPort), "");
  EXPECT_EQ(g_PortState[kPort], 10);
  EXPECT_EQ(runStates_[kPort - 1], 3);
  EXPECT_TRUE(box_->History().empty());
}

struct ProductionWindow : kxtest::DeviceTestEnv {};

TEST_F(ProductionWindow, SetsBothParameterPathsWhenBuiltAndHasOnlyTheProductionPage) {
  g_SettingIniPath.clear();
  g_ParamFdbIniPath.clear();
  CProductionPage logic(std::make_unique<CPortMapping>([] {}));
  auto* sheet = new CPropertySheetWithLogoDlg("kxmp", 0x3F, logic);  // every page bit
  // Built and shown: nothing pressed yet.
  EXPECT_EQ(g_SettingIniPath, ".\\param.ini");
  EXPECT_EQ(g_ParamFdbIniPath, ".\\paramFDB.ini");
  wxNotebook* pages = nullptr;
  for (wxWindow* child : sheet->GetChildren())
    if (auto* n = dynamic_cast<wxNotebook*>(child)) pages = n;
  ASSERT_NE(pages, nullptr);
  EXPECT_EQ(pages->GetPageCount(), 1u);
  sheet->Destroy();
  kxtools::RunEventsUntil([] { return false; }, 100);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  wxApp::SetInstance(new wxApp);
  if (!wxEntryStart(argc, argv)) return 1;
  const int result = RUN_ALL_TESTS();
  wxEntryCleanup();
  return result;
}
