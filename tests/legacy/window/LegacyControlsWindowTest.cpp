// The legacy controls on a display (run under Xvfb).
#include <gtest/gtest.h>

// Before the window headers, whose TRUE and FALSE are macros.
#include "platform/Files.h"
#include "platform/Profile.h"
#include "tests/support/ScratchFolder.h"

#include <wx/app.h>
#include <wx/dcmemory.h>
#include <wx/frame.h>
#include <wx/button.h>
#include <wx/init.h>
#include <wx/settings.h>
#include <wx/textctrl.h>

#include "legacy/FlagComboBox.h"
#include "legacy/HoverButton.h"
#include "legacy/SecondPropertyPage.h"
#include "legacy/SkinButton.h"
#include "results/ReportListCtrl.h"
#include "tools/WindowDriver.h"

namespace {

wxBitmap Filled(int w, int h, const wxColour& colour) {
  wxBitmap bitmap(w, h, 24);
  wxMemoryDC dc(bitmap);
  dc.SetBackground(wxBrush(colour));
  dc.Clear();
  return bitmap;
}

class LegacyControlsWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(kxtools::StartWindowSystem("kx_legacy_window_tests")); }
  static void TearDownTestSuite() { kxtools::StopWindowSystem(); }

  void SetUp() override {
    frame_ = new wxFrame(nullptr, wxID_ANY, "legacy", wxDefaultPosition, wxSize(400, 300));
    frame_->Show();
  }
  void TearDown() override {
    frame_->Destroy();
    kxtools::RunEventsUntil([] { return false; }, 100);
  }

  wxFrame* frame_ = nullptr;
};

TEST_F(LegacyControlsWindow, SkinButtonTakesTheMaskShapeAndPaintsThroughIt) {
  auto* button = new CSkinButton(frame_, wxID_ANY, "", 0, wxPoint(10, 10), wxSize(100, 100));
  // Mask: black (image) in its left half, white (transparent) in its right half.
  wxBitmap mask = Filled(40, 20, *wxWHITE);
  {
    wxMemoryDC dc(mask);
    dc.SetBrush(*wxBLACK_BRUSH);
    dc.SetPen(*wxBLACK_PEN);
    dc.DrawRectangle(0, 0, 20, 20);
  }
  const wxBitmap red = Filled(40, 20, wxColour(255, 0, 0));
  button->SetSkin(red, red, red, wxBitmap(), wxBitmap(), mask, 0, 0, 0);
  EXPECT_EQ(button->GetSize(), wxSize(40, 20));
  EXPECT_TRUE(button->OnButton(wxPoint(5, 5)));
  EXPECT_FALSE(button->OnButton(wxPoint(30, 5)));
  kxtools::RunEventsUntil([] { return false; }, 300);
  const wxImage shot = kxtools::Screenshot(button);
  ASSERT_TRUE(shot.IsOk());
  EXPECT_EQ(kxtools::CountColours(shot).red, 20u * 20u);
}

TEST_F(LegacyControlsWindow, SkinRadioButtonsUncheckTheirGroupByPostedCall) {
  auto* first = new CSkinButton(frame_, wxID_ANY, "a", kx::BS_AUTORADIOBUTTON | kx::WS_GROUP, wxPoint(0, 0));
  auto* second = new CSkinButton(frame_, wxID_ANY, "b", kx::BS_AUTORADIOBUTTON, wxPoint(0, 40));
  auto* other = new CSkinButton(frame_, wxID_ANY, "c", kx::BS_AUTORADIOBUTTON | kx::WS_GROUP, wxPoint(0, 80));
  first->SetCheck(1);
  other->SetCheck(1);
  kxtools::RunEventsUntil([] { return false; }, 100);
  second->SetCheck(1);
  EXPECT_TRUE(first->GetCheck());  // until the posted call runs
  kxtools::RunEventsUntil([first] { return first->GetCheck() == 0; }, 1000);
  EXPECT_EQ(first->GetCheck(), 0);
  EXPECT_EQ(second->GetCheck(), 1);
  EXPECT_EQ(other->GetCheck(), 1);
}

TEST_F(LegacyControlsWindow, SkinCheckBoxClickReleasedOutsideLeavesItUnchanged) {
  auto* box = new CSkinButton(frame_, wxID_ANY, "box", kx::BS_AUTOCHECKBOX, wxPoint(0, 0), wxSize(60, 30));
  int clicks = 0;
  box->Bind(wxEVT_BUTTON, [&clicks](wxCommandEvent&) { ++clicks; });
  kxtools::RunEventsUntil([] { return false; }, 200);
  auto send = [box](wxEventType type, int x) {
    wxMouseEvent event(type);
    event.SetPosition(wxPoint(x, 10));
    event.SetEventObject(box);
    box->GetEventHandler()->ProcessEvent(event);
  };
  send(wxEVT_LEFT_DOWN, 10);
  send(wxEVT_LEFT_UP, 10);
  EXPECT_EQ(box->GetCheck(), 1);
  send(wxEVT_LEFT_DOWN, 10);
  send(wxEVT_MOTION, 200);
  EXPECT_FALSE(box->State().Pushed());
  send(wxEVT_LEFT_UP, 200);
  EXPECT_EQ(box->GetCheck(), 1);
  EXPECT_EQ(clicks, 1);
}

TEST_F(LegacyControlsWindow, FlagComboTogglesInTheListAndSelectsOnText) {
  auto* combo = new CFlagComboBox(frame_, 77, wxPoint(0, 0), wxSize(200, -1));
  for (const char* text : {"one", "two", "three"}) combo->Append(text);
  std::vector<int> checks;
  int selects = 0;
  frame_->Bind(EVT_FLAGCOMBO_CHECK, [&checks](wxCommandEvent& event) { checks.push_back(event.GetInt()); });
  frame_->Bind(wxEVT_COMBOBOX, [&selects](wxCommandEvent&) { ++selects; });
  kxtools::RunEventsUntil([] { return false; }, 200);
  EXPECT_EQ(combo->GetSelection(), 0);  // the field selects item 0 when it paints
  EXPECT_EQ(combo->SetFlag(0, false), 0);
  combo->ShowPopup();
  kxtools::RunEventsUntil([combo] { return combo->IsPopupShown(); }, 1000);
  auto* list = static_cast<CFlagListPopup*>(combo->GetPopupControl());
  const int row = combo->GetCharHeight() + 2;
  EXPECT_EQ(list->PressAt(wxPoint(2, row + 1)), CFlagListPopup::Press::Toggled);
  EXPECT_TRUE(combo->GetFlag(1));
  EXPECT_TRUE(combo->IsPopupShown());
  EXPECT_EQ(list->PressAt(wxPoint(2, 3 * row + 1)), CFlagListPopup::Press::Nothing);  // below the last item
  EXPECT_EQ(list->PressAt(wxPoint(combo->CheckWidth() + 10, 2 * row + 1)), CFlagListPopup::Press::Selected);
  EXPECT_EQ(combo->GetSelection(), 2);
  EXPECT_FALSE(combo->GetFlag(2));
  EXPECT_EQ(checks, std::vector<int>{1});
  EXPECT_EQ(selects, 1);
  combo->Insert("zero", 0);
  EXPECT_TRUE(combo->GetFlag(2));
  EXPECT_EQ(combo->GetSelection(), 3);
}

TEST_F(LegacyControlsWindow, HoverButtonLightsAndDrawsOnlyTextWithoutAllBitmaps) {
  auto* button = new CHoverButton(frame_, wxID_ANY, "Go", wxPoint(10, 10), wxSize(60, 30));
  auto* next = new wxButton(frame_, wxID_ANY, "next", wxPoint(10, 60));
  const wxBitmap blue = Filled(8, 8, *wxBLUE);
  button->LoadBitmaps(blue, wxBitmap(), blue);
  EXPECT_FALSE(button->BitmapsLoaded());
  button->LoadBitmaps(Filled(8, 8, *wxGREEN), blue, blue);
  ASSERT_TRUE(button->BitmapsLoaded());
  // The normal picture stretched over the whole button once it has painted.
  wxBitmap canvas(60, 30, 24);
  {
    wxMemoryDC dc(canvas);
    button->Render(dc);
  }
  EXPECT_GT(kxtools::CountColours(canvas.ConvertToImage()).green, 60u * 30u / 2);
  wxMouseEvent move(wxEVT_MOTION);
  move.SetPosition(wxPoint(5, 5));
  button->GetEventHandler()->ProcessEvent(move);
  EXPECT_EQ(button->Look(), kx::CHoverButtonState::Picture::Hover);
  button->SetFocus();
  kxtools::RunEventsUntil([button] { return button->HasFocus(); }, 500);
  if (button->HasFocus()) {
    button->Disable();
    EXPECT_EQ(wxWindow::FindFocus(), next);
  }
  EXPECT_FALSE(button->State().Hovering());
}

TEST_F(LegacyControlsWindow, HoverEndsWhenTheWindowIsDeactivated) {
  auto* button = new CHoverButton(frame_, wxID_ANY, "Go", wxPoint(10, 10), wxSize(60, 30));
  wxMouseEvent move(wxEVT_MOTION);
  move.SetPosition(wxPoint(5, 5));
  button->GetEventHandler()->ProcessEvent(move);
  ASSERT_TRUE(button->State().Hovering());
  wxActivateEvent active(wxEVT_ACTIVATE, true);
  frame_->GetEventHandler()->ProcessEvent(active);
  EXPECT_TRUE(button->State().Hovering());
  wxActivateEvent inactive(wxEVT_ACTIVATE, false);
  frame_->GetEventHandler()->ProcessEvent(inactive);
  EXPECT_FALSE(button->State().Hovering());
}

TEST_F(LegacyControlsWindow, FlagComboFieldIsOneItemHighAndSwallowsSpace) {
  auto* combo = new CFlagComboBox(frame_, wxID_ANY, wxPoint(0, 0), wxSize(200, -1));
  kxtools::RunEventsUntil([] { return false; }, 100);
  EXPECT_EQ(combo->GetTextRect().height, combo->ItemHeight());
  // Without an item to toggle, Space is still not passed on.
  wxKeyEvent space(wxEVT_KEY_DOWN);
  space.m_keyCode = WXK_SPACE;
  combo->GetEventHandler()->ProcessEvent(space);
  EXPECT_FALSE(space.GetSkipped());
  EXPECT_FALSE(combo->IsPopupShown());
}

// The selected item with the focus carries a focus rectangle around its text.
TEST_F(LegacyControlsWindow, FlagComboDrawsAFocusRectangleOnTheFocusedItem) {
  auto* combo = new CFlagComboBox(frame_, wxID_ANY, wxPoint(0, 0), wxSize(200, -1));
  combo->Append("item");
  const wxRect rect(0, 0, 120, combo->ItemHeight());
  auto render = [&](bool focused) {
    wxBitmap bitmap(rect.width, rect.height, 24);
    {
      wxMemoryDC dc(bitmap);
      dc.SetBackground(wxBrush(wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHT)));
      dc.Clear();
      combo->DrawItem(dc, rect, 0, true, focused);
    }
    return bitmap.ConvertToImage();
  };
  const wxImage plain = render(false);
  const wxImage framed = render(true);
  int changed = 0;  // pixels of the text rectangle's top edge
  for (int x = combo->CheckWidth(); x < rect.width; ++x)
    if (plain.GetRed(x, 0) != framed.GetRed(x, 0) || plain.GetGreen(x, 0) != framed.GetGreen(x, 0) ||
        plain.GetBlue(x, 0) != framed.GetBlue(x, 0))
      ++changed;
  EXPECT_GT(changed, (rect.width - combo->CheckWidth()) / 4);
}

TEST_F(LegacyControlsWindow, SummaryPageListsErrorCodesLargestFirst) {
  kxtest::ScratchFolder scratch("summarypage");
  ASSERT_TRUE(win::WritePrivateProfileString("Log Path", "SetLogFolderPath", "C:\\", ".\\param.ini"));
  ASSERT_EQ(platform::WriteFileBytes("C:\\_Summary.log",
                                     "[Results]\r\nPass=6\r\nTotalErrorCount=4\r\n"
                                     "[ErrorList]\r\nErrorCode=count\r\nA_001=1\r\nB_002=3\r\n"),
            0u);
  auto* page = new CSecondPropertyPage(frame_);
  frame_->Layout();
  kxtools::RunEventsUntil([] { return false; }, 200);
  CReportListCtrl* errors = page->ErrorList();
  ASSERT_EQ(errors->GetItemCount(), 2);
  EXPECT_EQ(errors->CellText(0, 0), "B_002");
  EXPECT_EQ(errors->CellText(0, 2), "75.00%");
  EXPECT_EQ(errors->CellText(1, 0), "A_001");
  EXPECT_EQ(errors->SortColumn(), 1);
  CReportListCtrl* cards = page->CardList();
  ASSERT_EQ(cards->GetItemCount(), 3);
  EXPECT_EQ(cards->CellText(0, 0) + "/" + cards->CellText(0, 1), "Total Card/10");
  EXPECT_TRUE(errors->IsShown());
  EXPECT_FALSE(page->SaveButton()->IsEnabled());
  EXPECT_EQ(page->HeaderView()->GetValue(), "");
}

}  // namespace
