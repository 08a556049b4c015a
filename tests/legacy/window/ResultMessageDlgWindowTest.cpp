// The result dialog following a report on a display (run under Xvfb).
#include <gtest/gtest.h>

// Before the window headers, whose TRUE and FALSE are macros.
#include "tests/support/ScratchFolder.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <tuple>
#include <vector>

#include <wx/app.h>
#include <wx/frame.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/timer.h>
#include <wx/weakref.h>

#include "legacy/ResultMessageDlg.h"
#include "platform/Shell.h"
#include "tools/WindowDriver.h"

namespace {

class ResultMessageDlgWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(kxtools::StartWindowSystem("kx_legacy_dialog_window_tests")); }
  static void TearDownTestSuite() { kxtools::StopWindowSystem(); }

  void Append(const std::string& text) { std::ofstream(report_, std::ios::binary | std::ios::app) << text; }
  static void Ini(const char* file, const char* section, const char* key, const char* value) {
    std::filesystem::create_directories("Configuration/System");
    ASSERT_TRUE(win::WritePrivateProfileString(section, key, value, file));
  }
  static void Tool(const char* key, const char* value) {
    Ini(".\\Configuration\\System\\MPToolSetting.ini", "General Info", key, value);
  }
  // A modeless dialog on the report, started.
  CResultMessageDlg* Started() {
    auto* dlg = new CResultMessageDlg();
    dlg->m_TesterNumber = 3;
    dlg->m_ReportFile = report_.string();
    dlg->Show();
    return dlg;
  }
  static void Press(wxWindow* dlg, int id) {
    wxCommandEvent press(wxEVT_BUTTON, id);
    dlg->GetEventHandler()->ProcessEvent(press);
  }

  kxtest::ScratchFolder scratch_{"ResultMessageDlgWindow"};
  std::filesystem::path report_ = scratch_.Root() / "PC_7_Report.txt";
};

TEST_F(ResultMessageDlgWindow, FollowsAGrowingReportAndClosesWhileItIsWritten) {
  auto* frame = new wxFrame(nullptr, wxID_ANY, "legacy");
  frame->Show();
  auto* dlg = new CResultMessageDlg();
  dlg->m_TesterNumber = 7;
  dlg->m_ReportFile = report_.string();
  dlg->m_ReportFolder = scratch_.Root().string();
  ASSERT_TRUE(dlg->Create(frame));
  dlg->Show();
  EXPECT_EQ(dlg->GetTitle(), "Result :  Tester [ 7 ]");
  wxListBox* list = dlg->LogList();

  // Created after the dialog started: found at a later poll.
  Append("step 1\r\nstep 2\r\nstep 3\r\n");
  EXPECT_TRUE(kxtools::RunEventsUntil([&] { return list->GetCount() == 3; }, 3000));
  Append("step 4\r\n\r\nstep 5\r\n");
  EXPECT_TRUE(kxtools::RunEventsUntil([&] { return list->GetCount() == 6; }, 3000));
  EXPECT_EQ(list->GetString(5), "step 5");
  EXPECT_EQ(list->GetSelection(), 5);
  std::filesystem::create_directories(KX_ARTIFACT_DIR);
  EXPECT_TRUE(kxtools::Screenshot(dlg).SaveFile(KX_ARTIFACT_DIR "/result-dialog.png", wxBITMAP_TYPE_PNG));

  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; writing; ++i) {
      Append("more " + std::to_string(i) + "\r\n");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  EXPECT_TRUE(kxtools::RunEventsUntil([&] { return list->GetCount() > 6; }, 3000));
  wxWeakRef<wxDialog> alive(dlg);
  wxCommandEvent close(wxEVT_BUTTON, wxID_CANCEL);
  dlg->GetEventHandler()->ProcessEvent(close);
  EXPECT_TRUE(kxtools::RunEventsUntil([&] { return !alive; }, 3000));
  writing = false;
  writer.join();
  frame->Destroy();
  kxtools::RunEventsUntil([] { return false; }, 100);
}

TEST_F(ResultMessageDlgWindow, SpaceClosesOnlyAtStationTwo) {
  // Station names as MPToolSetting.ini gives them; RDTResult is station 2, "" reads as 1.
  const std::tuple<const char*, int, bool> cases[] = {
      {"RDTResult", WXK_SPACE, true}, {"MP", WXK_SPACE, false}, {"QC", WXK_SPACE, false},
      {"", WXK_SPACE, false},         {"RDTResult", 'A', false}};
  for (const auto& [station, key, closes] : cases) {
    Tool("TestStation", station);
    CResultMessageDlg* dlg = Started();
    wxWeakRef<wxDialog> alive(dlg);
    // From the focused list up to the dialog, as a key press travels.
    wxKeyEvent press(wxEVT_CHAR_HOOK);
    press.m_keyCode = key;
    dlg->LogList()->ProcessWindowEvent(press);
    kxtools::RunEventsUntil([&] { return !alive; }, closes ? 3000 : 200);
    EXPECT_EQ(!alive, closes) << station << " key " << key;
    if (alive) alive->Destroy();
    kxtools::RunEventsUntil([&] { return !alive; }, 3000);
  }
}

TEST_F(ResultMessageDlgWindow, FolderButtonCaptionComesFromTheLanguageFile) {
  const char* eng = ".\\Configuration\\System\\ENG.ini";
  // "\xB4\xF2\xBF\xAA" is the code page 936 spelling of the UTF-8 "\xE6\x89\x93\xE5\xBC\x80".
  const std::tuple<const char*, const char*, const char*, const char*, std::string> cases[] = {
      {"1", nullptr, nullptr, "no language file", ""},  // no text, no caption
      {"1", eng, "Other", "key missing", ""},
      {"1", eng, "IDC_BUTTON_Open", "  Explore \t", "Explore"},
      {"2", ".\\Configuration\\System\\CHS.ini", "IDC_BUTTON_Open", "\xB4\xF2\xBF\xAA", "\xE6\x89\x93\xE5\xBC\x80"}};
  for (const auto& [language, file, key, value, caption] : cases) {
    Tool("Language", language);
    if (file) Ini(file, "Result Dialog", key, value);
    CResultMessageDlg* dlg = Started();
    EXPECT_EQ(dlg->FindWindow(CResultMessageDlg::kIdOpenFolder)->GetLabel().utf8_string(), caption) << value;
    Press(dlg, wxID_CANCEL);
  }
}

TEST_F(ResultMessageDlgWindow, FolderButtonOpensTheReportFolder) {
  std::vector<std::string> opened;
  const platform::ShellOpener previous = platform::SetShellOpener([&](const std::string& path) {
    opened.push_back(path);
    return true;
  });
  CResultMessageDlg* dlg = Started();
  for (const char* folder : {"d:\\log\\d_reports\\", "\\\\host\\share\\"}) {  // the second does not map
    dlg->m_ReportFolder = folder;
    Press(dlg, CResultMessageDlg::kIdOpenFolder);
  }
  Press(dlg, wxID_CANCEL);
  platform::SetShellOpener(previous);
  EXPECT_EQ(opened, std::vector<std::string>{(scratch_.Root() / "drives/D/Log/D_Reports").string()});
}

TEST_F(ResultMessageDlgWindow, ModalRunFollowsTheReportUntilClosedFromItsLoop) {
  Append("line 1\r\nline 2\r\n");
  CResultMessageDlg dlg;
  dlg.m_TesterNumber = 12;
  dlg.m_ReportFile = report_.string();
  wxString title;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  wxTimer timer;
  timer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    if (title.empty()) {
      title = dlg.GetTitle();
      Append("line 3\r\n\r\nline 4\r\n");  // grows while the dialog runs
    }
    if (dlg.LogList()->GetCount() < 5 && std::chrono::steady_clock::now() < giveUp) return;
    timer.Stop();
    Press(&dlg, wxID_CANCEL);
  });
  timer.Start(20);
  EXPECT_EQ(dlg.ShowModal(), wxID_CANCEL);
  EXPECT_EQ(title, "Result :  Tester [ 12 ]");
  wxArrayString lines = dlg.LogList()->GetStrings();
  EXPECT_EQ(std::vector<wxString>(lines.begin(), lines.end()),
            (std::vector<wxString>{"line 1", "line 2", "line 3", "", "line 4"}));
}

}  // namespace
