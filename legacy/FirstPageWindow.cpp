// Domain headers before the window system's, whose C headers define TRUE and FALSE.
#include "legacy/FirstPageWindow.h"

#include <algorithm>

#include <wx/app.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/combobox.h>
#include <wx/eventfilter.h>
#include <wx/filedlg.h>
#include <wx/gauge.h>
#include <wx/listbox.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/toplevel.h>

#include "controls/ColorEdit.h"
#include "controls/ImageButton.h"
#include "legacy/PageResources.h"
#include "legacy/ResultMessageDlg.h"
#include "legacy/SkinButton.h"

using namespace legacy;

// ---- services ---------------------------------------------------------------------

bool CFirstPageServicesWx::ChooseFile(std::string& path) {
  wxFileDialog dialog(m_Owner, wxFileSelectorPromptStr, "", "", wxFileSelectorDefaultWildcardStr,
                      wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  if (dialog.ShowModal() != wxID_OK) return false;
  path = dialog.GetPath().utf8_string();
  return true;
}

WaitEnd CFirstPageServicesWx::PumpUntil(const std::function<bool()>& done) {
  if (done()) return WaitEnd::Done;
  wxGUIEventLoop loop;
  wxGUIEventLoop* const outerLoop = m_Loop;
  const std::function<bool()>* const outerDone = m_Done;
  m_Loop = &loop;
  m_Done = &done;
  loop.Run();
  m_Loop = outerLoop;
  m_Done = outerDone;
  return done() ? WaitEnd::Done : WaitEnd::Quit;
}

void CFirstPageServicesWx::WakePump() {
  // A wake-up that arrives after its wait has ended finds another wait's
  // condition, or none, and ends nothing early. One that arrives under a modal
  // dialog opened during the wait ends the wait once the dialog has closed.
  m_Waker.CallAfter([this] {
    if (m_Loop != nullptr && m_Done != nullptr && (*m_Done)()) m_Loop->ScheduleExit(0);
  });
}

WaitEnd CFirstPageServicesWx::PauseDispatching(unsigned ms) {
  bool elapsed = false;
  wxTimer timer;
  timer.Bind(wxEVT_TIMER, [this, &elapsed](wxTimerEvent&) {
    elapsed = true;
    WakePump();
  });
  timer.StartOnce(static_cast<int>(ms));
  return PumpUntil([&elapsed] { return elapsed; });
}

void CFirstPageServicesWx::PostQuit() {
  if (wxTheApp != nullptr) wxTheApp->ExitMainLoop();
}

// ---- keys ---------------------------------------------------------------------------

// Sees every key event of the program before its window does, and hands those
// of the page's windows to the page logic: Escape pressed is swallowed, F8 and
// F4 released run QC and Initial and then go on to their window.
class CFirstPageWindow::KeyFilter : public wxEventFilter {
 public:
  explicit KeyFilter(CFirstPageWindow& page) : m_Page(page) { wxEvtHandler::AddFilter(this); }
  ~KeyFilter() override { wxEvtHandler::RemoveFilter(this); }

  int FilterEvent(wxEvent& event) override {
    const wxEventType type = event.GetEventType();
    if (type != wxEVT_CHAR_HOOK && type != wxEVT_KEY_DOWN && type != wxEVT_KEY_UP) return Event_Skip;
    auto* target = wxDynamicCast(event.GetEventObject(), wxWindow);
    if (target == nullptr || (target != &m_Page && !m_Page.IsDescendant(target))) return Event_Skip;
    int key = 0;
    switch (static_cast<wxKeyEvent&>(event).GetKeyCode()) {
      case WXK_ESCAPE: key = kKeyEscape; break;
      case WXK_F4: key = kKeyF4; break;
      case WXK_F8: key = kKeyF8; break;
      default: return Event_Skip;
    }
    const KeyEvent key_event{type == wxEVT_KEY_UP ? KeyEvent::KeyUp : KeyEvent::KeyDown, key};
    if (key_event.type == KeyEvent::KeyUp) {
      // A run started here would outlive this filter and the key's window
      // if the page closed during it: it starts once the key has gone its way.
      m_Page.CallAfter([core = m_Page.m_Core, key_event] { core->logic->PreTranslateKey(key_event); });
      return Event_Skip;
    }
    return m_Page.Logic().PreTranslateKey(key_event) ? Event_Processed : Event_Skip;
  }

 private:
  CFirstPageWindow& m_Page;
};

// ---- construction -------------------------------------------------------------------

wxIMPLEMENT_DYNAMIC_CLASS(CFirstPageWindow, wxPanel);

namespace {

// The controls that are not slot sets, in page pixels. The slot sets fill the
// page from y 168 down; these stand above them, the hidden ones below.
constexpr int kIdAutoHandle = 1504;
constexpr int kIdBottomEdits[] = {1557, 1558, 1559, 1560, 1561, 1562, 1563, 1564, 1565};
constexpr int kIdBottomLabels[] = {1655, 1652, 1653, 1654, 1657};
constexpr int kDisplayPeriodMs = 200;

wxRect R(int x, int y, int w, int h) { return wxRect(x, y, w, h); }

}  // namespace

CFirstPageWindow::CFirstPageWindow() = default;

CFirstPageWindow::~CFirstPageWindow() {
  m_KeyFilter.reset();
  m_Display.Stop();
  if (m_Core) {
    // A run waiting further down the stack ends there once its jobs have.
    m_Core->logic->DetachView();
    m_Core.reset();
  }
  m_Timer1.Stop();
  m_RunClock.Stop();
}

void CFirstPageWindow::Call(void (CFirstPropertyPage::*handler)()) {
  // This window may be gone when the call returns; the logic is not.
  const std::shared_ptr<Core> core = m_Core;
  ((*core->logic).*handler)();
}

bool CFirstPageWindow::Create(wxWindow* parent, std::unique_ptr<IFirstPageServices> services) {
  if (!wxPanel::Create(parent, wxID_ANY)) return false;
  m_Core = std::make_shared<Core>();
  m_Core->services = services ? std::move(services) : std::make_unique<CFirstPageServicesWx>(this);
  m_Core->logic = std::make_unique<CFirstPropertyPage>(*this, *m_Core->services);
  BuildControls();
  BuildSlotSets();
  BindCommands();
  const wxSize dialog = ConvertDialogToPixels(wxSize(575, 415));
  const wxSize size(std::max(dialog.x, 1000), std::max(dialog.y, 690));
  SetMinSize(size);
  SetSize(size);
  if (auto* top = wxDynamicCast(wxGetTopLevelParent(this), wxTopLevelWindow); top != nullptr && !top->GetIcon().IsOk()) {
    wxIcon icon;
    icon.CopyFromBitmap(PageBitmap(283));
    top->SetIcon(icon);
  }
  m_KeyFilter = std::make_unique<KeyFilter>(*this);
  m_Core->logic->OnInitDialog();
  m_Display.Start(kDisplayPeriodMs);
  return true;
}

void CFirstPageWindow::BuildControls() {
  auto* info = new wxStaticBox(this, wxID_ANY, "Product Informations", wxPoint(4, 2), wxSize(300, 160));
  m_InfoList = new wxListBox(this, kIdInfoList, wxPoint(10, 22), wxSize(288, 134), 0, nullptr, wxLB_HSCROLL);
  info->Lower();

  auto* banner = new CSkinButton(this, kIdBanner, "", 0, wxPoint(310, 2), wxSize(250, 52));
  banner->SetSkin(PageBitmap(268), PageBitmap(268), PageBitmap(268), wxNullBitmap, wxNullBitmap, wxNullBitmap, 0, 1, 0);
  auto* counts = new wxStaticBox(this, wxID_ANY, "Product Result Count", wxPoint(310, 58), wxSize(250, 104));
  counts->Lower();
  const char* labels[] = {"Total Card Count :", "Good Card Count :", "Bad Card Count :"};
  const int countIds[] = {kIdTotal, kIdGood, kIdBad};
  for (std::size_t i = 0; i < 3; ++i) {
    const int y = 78 + static_cast<int>(i) * 26;
    new wxStaticText(this, wxID_ANY, labels[i], wxPoint(318, y + 4));
    m_Counts[i] = new wxTextCtrl(this, countIds[i], "0", wxPoint(450, y), wxSize(100, 24), wxTE_READONLY | wxTE_RIGHT);
  }

  new CSkinButton(this, kIdTesterDetect, "", 0, wxPoint(566, 2), wxSize(149, 130));
  new wxCheckBox(this, kIdAutoDetect, "Auto Detect", wxPoint(566, 140));
  new wxCheckBox(this, kIdLoop, "Loop", wxPoint(660, 140));

  const struct {
    int id;
    const char* caption;
    wxRect rect;
  } buttons[] = {{kIdReloadParam, "Reload Param", R(722, 2, 150, 30)}, {kIdClearRecord, "Clear Record", R(722, 36, 150, 30)},
                 {kIdTime, "Time", R(722, 70, 150, 40)},           {kIdInitial, "Initial", R(878, 2, 110, 30)},
                 {kIdQc, "QC", R(878, 36, 110, 30)},               {kIdPretest, "Pretest", R(4, 596, 110, 30)},
                 {kIdBadBlock, "Bad Block", R(120, 596, 110, 30)}};
  for (const auto& b : buttons) {
    auto* button = new CImageButton(this, b.id, b.caption);
    button->SetSize(b.rect);
  }
  // The run clock's digits: 20 pixels high, heavy.
  FindWindow(kIdTime)->SetFont(wxFont(wxFontInfo(wxSize(10, 20)).Weight(900)));
  FindWindow(kIdPretest)->Hide();
  FindWindow(kIdPretest)->Disable();
  FindWindow(kIdBadBlock)->Hide();
  FindWindow(kIdBadBlock)->Disable();

  m_ParamCombo = new wxComboBox(this, kIdParamCombo, "", wxPoint(722, 118), wxSize(150, -1), 0, nullptr, wxCB_DROPDOWN);
  new wxCheckBox(this, kIdLock, "Lock", wxPoint(878, 122));

  // Hidden in the template (or at first display).
  auto* serialLabel = new wxStaticText(this, kIdSerialLabel, "Serial Number", wxPoint(240, 602));
  m_SerialRange = new wxTextCtrl(this, kIdSerialRange, "", wxPoint(330, 598), wxSize(220, 24), wxTE_READONLY);
  serialLabel->Disable();
  m_SerialRange->Disable();
  new wxStaticText(this, kIdStatic1579, "Static", wxPoint(560, 602));
  new wxStaticText(this, kIdPortNumberLabel, "Port Number", wxPoint(610, 602));
  new wxButton(this, kIdAutoHandle, "Link AutoHandle Server", wxPoint(700, 596));
  auto* extra = new CColorEdit(this, &m_ExtraCellModel);
  extra->SetId(kIdExtraCell);
  extra->SetSize(R(4, 630, 60, 24));
  extra->Disable();
  int x = 70;
  for (int id : kIdBottomEdits) {
    new wxTextCtrl(this, id, "", wxPoint(x, 630), wxSize(60, 24));
    x += 64;
  }
  for (int id : kIdBottomLabels) {
    new wxStaticText(this, id, "Static", wxPoint(x, 634));
    x += 50;
  }
  for (int id : {int{kIdStatic1579}, int{kIdPortNumberLabel}, kIdAutoHandle, 1557, 1558, 1559, 1560, 1561, 1562, 1563, 1564, 1565,
                 1655, 1652, 1653, 1654, 1657})
    FindWindow(id)->Hide();
}

void CFirstPageWindow::BuildSlotSets() {
  for (std::size_t i = 0; i < kSlotSets; ++i) {
    const int slot = static_cast<int>(i) + 1;
    m_Cells[i] = new CColorEdit(this, &Logic().Cell(slot));
    m_Cells[i]->SetId(kSlotCellIds[i]);
    m_Bars[i] = new wxGauge(this, kSlotBarIds[i], 100, wxDefaultPosition, wxSize(100, 10));
    m_Markers[i] = new wxTextCtrl(this, kSlotMarkerIds[i], "", wxDefaultPosition, wxSize(20, 20), wxTE_READONLY);
    auto* viewer = new wxButton(this, kSlotViewerIds[i], "...", wxDefaultPosition, wxSize(20, 20), wxBU_EXACTFIT);
    viewer->Bind(wxEVT_BUTTON, [this](wxCommandEvent& e) { ShowSlotReport(SlotOfViewerButton(e.GetId())); });
  }
}

void CFirstPageWindow::BindCommands() {
  const struct {
    int id;
    void (CFirstPropertyPage::*handler)();
  } commands[] = {{kIdInitial, &CFirstPropertyPage::OnInitial},     {kIdPretest, &CFirstPropertyPage::OnPretest},
                  {kIdBadBlock, &CFirstPropertyPage::OnBadBlock},    {kIdQc, &CFirstPropertyPage::OnQc},
                  {kIdClearRecord, &CFirstPropertyPage::OnClearRecord}, {kIdTesterDetect, &CFirstPropertyPage::DetectTesters},
                  {kIdReloadParam, &CFirstPropertyPage::OnReloadParam}};
  for (const auto& c : commands)
    Bind(wxEVT_BUTTON, [this, handler = c.handler](wxCommandEvent&) { Call(handler); }, c.id);
  Bind(wxEVT_CHECKBOX, [this](wxCommandEvent&) { Call(&CFirstPropertyPage::OnAutoDetect); }, kIdAutoDetect);
  Bind(wxEVT_CHECKBOX, [this](wxCommandEvent&) { Call(&CFirstPropertyPage::OnLoop); }, kIdLoop);
  Bind(wxEVT_CHECKBOX, [this](wxCommandEvent&) { Call(&CFirstPropertyPage::OnLock); }, kIdLock);
  m_ParamCombo->Bind(wxEVT_COMBOBOX, [this](wxCommandEvent&) { Call(&CFirstPropertyPage::OnSelchangeParamFile); });
  m_ParamCombo->Bind(wxEVT_COMBOBOX_DROPDOWN, [this](wxCommandEvent& e) {
    Call(&CFirstPropertyPage::OnDropdownParamFile);
    e.Skip();
  });
  Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Logic().OnTimer(1); }, 1);
  Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Logic().OnTimer(kTimerRunClock); }, kTimerRunClock);
  Bind(wxEVT_TIMER, [this](wxTimerEvent&) { ShowModels(); }, kDisplayTimer);
}

// ---- the page's operations ------------------------------------------------------------

void CFirstPageWindow::OnSetActive() { Call(&CFirstPropertyPage::OnSetActive); }

void CFirstPageWindow::ShowSlotReport(int slot) {
  if (slot < 1 || slot > kSlotSets) return;
  const SlotReport report = ReadSlotReport(Logic().m_LogFolder, slot);
  CResultMessageDlg dialog(nullptr);
  dialog.m_TesterNumber = slot;
  dialog.m_ReportFile = report.file;
  dialog.m_ReportFolder = report.folder;
  dialog.ShowModal();
}

void CFirstPageWindow::ShowModels() {
  for (std::size_t i = 0; i < kSlotSets; ++i) {
    m_Cells[i]->ShowModel();
    kx::ProgressModel& bar = Logic().Progress(static_cast<int>(i) + 1);
    const int range = std::max(1, bar.Upper() - bar.Lower());
    const int value = std::clamp((bar.GetPos() - bar.Lower()) * 100 / range, 0, 100);
    if (m_Bars[i]->GetValue() != value) m_Bars[i]->SetValue(value);
  }
  for (std::size_t i = 0; i < 3; ++i) {
    const wxString text = wxString::FromUTF8(Logic().CountBox(static_cast<int>(i)).Text());
    if (m_Counts[i]->GetValue() != text) m_Counts[i]->ChangeValue(text);
  }
}

// ---- the view ---------------------------------------------------------------------------

void CFirstPageWindow::EnableControl(int id, bool enable) {
  if (wxWindow* w = FindWindow(id)) w->Enable(enable);
}

void CFirstPageWindow::ShowControl(int id, bool show) {
  if (wxWindow* w = FindWindow(id)) w->Show(show);
}

void CFirstPageWindow::SetCaption(int id, const std::string& text) {
  if (wxWindow* w = FindWindow(id)) w->SetLabel(wxString::FromUTF8(text));
}

void CFirstPageWindow::SetButtonIcon(int id, int icon, int align) {
  auto* button = dynamic_cast<CImageButton*>(FindWindow(id));
  if (button == nullptr) return;
  button->SetIcon(wxBitmapBundle(PageBitmap(icon)));
  button->SetAlign(align, true);
}

void CFirstPageWindow::SetSkin(int id, int bitmap) {
  auto* button = dynamic_cast<CSkinButton*>(FindWindow(id));
  if (button == nullptr) return;
  const wxBitmap skin = PageBitmap(bitmap);
  button->SetSkin(skin, skin, skin, wxNullBitmap, wxNullBitmap, wxNullBitmap, 0, 1, 0);
}

bool CFirstPageWindow::IsChecked(int id) const {
  const auto* box = dynamic_cast<const wxCheckBox*>(FindWindow(id));
  return box != nullptr && box->GetValue();
}

void CFirstPageWindow::SetComboEntries(const std::vector<std::string>& names) {
  wxArrayString items;
  for (const std::string& name : names) items.Add(wxString::FromUTF8(name));
  m_ParamCombo->Set(items);
}

std::string CFirstPageWindow::ComboSelection() const { return m_ParamCombo->GetStringSelection().utf8_string(); }

wxTimer* CFirstPageWindow::TimerOf(int id) {
  if (id == 1) return &m_Timer1;
  if (id == kTimerRunClock) return &m_RunClock;
  return nullptr;
}

void CFirstPageWindow::SetTimer(int id, unsigned periodMs) {
  if (wxTimer* timer = TimerOf(id)) timer->Start(static_cast<int>(periodMs));
}

void CFirstPageWindow::KillTimer(int id) {
  if (wxTimer* timer = TimerOf(id)) timer->Stop();
}

void CFirstPageWindow::PlaceSlots(const SlotLayout& layout) {
  for (std::size_t i = 0; i < kSlotSets; ++i) {
    const SlotPlacement& p = layout.slots[i];
    wxWindow* controls[] = {m_Cells[i], m_Bars[i], m_Markers[i], FindWindow(kSlotViewerIds[i])};
    if (p.placed) {
      const PixelRect rects[] = {p.cell, p.bar, p.marker, p.viewer};
      for (std::size_t c = 0; c < 4; ++c) controls[c]->SetSize(rects[c].x, rects[c].y, rects[c].width, rects[c].height);
    }
    for (wxWindow* w : controls) w->Show(p.shown);
  }
}

void CFirstPageWindow::Refresh() {
  wxArrayString lines;
  for (std::string line : Logic().InfoLines()) {
    // The logic keeps each line's "\n"; a list entry shows without it.
    if (!line.empty() && line.back() == '\n') line.pop_back();
    lines.Add(wxString::FromUTF8(line));
  }
  if (m_InfoList->GetStrings() != lines) m_InfoList->Set(lines);
  for (std::size_t i = 0; i < kSlotSets; ++i) {
    const wxString marker = wxString::FromUTF8(Logic().Marker(static_cast<int>(i) + 1));
    if (m_Markers[i]->GetValue() != marker) m_Markers[i]->ChangeValue(marker);
  }
  m_SerialRange->ChangeValue(wxString::FromUTF8(Logic().SerialRangeText()));
  ShowModels();
  wxPanel::Refresh();
  Update();
}
