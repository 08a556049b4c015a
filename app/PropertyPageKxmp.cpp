// Domain headers before the window system's, whose C headers define TRUE and FALSE.
#include "device/Settings.h"
#include "platform/DeviceNotify.h"
#include "platform/MessageBox.h"

#include "app/PropertyPageKxmp.h"

#include <wx/artprov.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>

namespace {

constexpr char kSection[] = "CPropertyPage_KXMP";
constexpr int kTimerBlink = 6;
constexpr int kTimerRun = 2;
constexpr char kRunningText[] = "A production run is going: the window closes when it has ended.";

}  // namespace

CNoticeWindow::CNoticeWindow(wxWindow* parent, const wxString& text)
    : wxDialog(parent, wxID_ANY, "kxmp"), m_Text(text) {
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  auto* row = new wxBoxSizer(wxHORIZONTAL);
  row->Add(new wxStaticBitmap(this, wxID_ANY, wxArtProvider::GetBitmapBundle(wxART_WARNING, wxART_MESSAGE_BOX)), 0,
           wxRIGHT, 12);
  row->Add(CreateTextSizer(text), 1, wxALIGN_CENTER_VERTICAL);
  sizer->Add(row, 1, wxEXPAND | wxALL, 12);
  if (wxSizer* buttons = CreateSeparatedButtonSizer(wxOK)) sizer->Add(buttons, 0, wxEXPAND | wxALL, 8);
  SetSizerAndFit(sizer);
  CentreOnParent();
}

CPropertyPage_KXMP::CPropertyPage_KXMP(wxWindow* parent, CProductionPage& logic)
    : wxPanel(parent, wxID_ANY), m_Logic(logic), m_BlinkTimer(this, kTimerBlink), m_RunTimer(this, kTimerRun) {
  auto text = [this](const char* key, const char* fallback) {
    return wxString::FromUTF8(m_Texts.Text(kSection, key, fallback));
  };
  m_Start = new CImageButton(this, wxID_ANY, text("IDC_BTN_START", "Start"));
  m_Start->SetIcon(wxArtProvider::GetBitmapBundle(wxART_GO_FORWARD, wxART_BUTTON));
  m_Start->SetAlign(0, false);
  m_Scan = new CImageButton(this, wxID_ANY, text("IDC_BTN_SCAN", "Scan"));
  m_Scan->SetIcon(wxArtProvider::GetBitmapBundle(wxART_FIND, wxART_BUTTON));
  m_Scan->SetAlign(0, false);
  m_Time = new CTextLabel(this, "00:00");
  m_Station = new CTextLabel(this);
  m_Yield = new CTextLabel(this, wxString::FromUTF8(m_Logic.YieldText()));
  m_Start->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnStart(); });
  m_Scan->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnScan(); });
  Bind(wxEVT_TIMER, &CPropertyPage_KXMP::OnBlinkTimer, this, kTimerBlink);
  Bind(wxEVT_TIMER, &CPropertyPage_KXMP::OnRunTimer, this, kTimerRun);

  auto* top = new wxBoxSizer(wxHORIZONTAL);
  top->Add(m_Start, 0, wxALL, 4);
  top->Add(m_Scan, 0, wxALL, 4);
  top->Add(new wxStaticText(this, wxID_ANY, text("IDC_STATIC_TIME", "Time")), 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 12);
  top->Add(m_Time, 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 4);
  const char* keys[] = {"IDC_STATIC_TOTAL", "IDC_STATIC_GOOD", "IDC_STATIC_BAD"};
  const char* names[] = {"Total", "Good", "Bad"};
  for (std::size_t i = 0; i < 3; ++i) {
    top->Add(new wxStaticText(this, wxID_ANY, text(keys[i], names[i])), 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 12);
    m_Counts[i] = new CTextLabel(this, "0");
    m_Counts[i]->SetMinSize(wxSize(40, m_Counts[i]->GetMinSize().y));
    top->Add(m_Counts[i], 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 4);
  }
  top->Add(m_Yield, 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 12);
  top->AddStretchSpacer();
  top->Add(m_Station, 0, wxALIGN_CENTER_VERTICAL | wxALL, 8);

  m_Grid = new wxPanel(this, wxID_ANY);
  // The theme's background without an erase event, whose drawing context asks
  // the theme for the page's font and colours at every repaint of a control.
  SetBackgroundStyle(wxBG_STYLE_SYSTEM);
  m_Grid->SetBackgroundStyle(wxBG_STYLE_SYSTEM);
  auto* page = new wxBoxSizer(wxVERTICAL);
  page->Add(top, 0, wxEXPAND);
  page->Add(m_Grid, 1, wxEXPAND | wxALL, 4);
  SetSizer(page);
}

CPropertyPage_KXMP::~CPropertyPage_KXMP() {
  if (m_NotifyId != 0) platform::UnregisterDiskNotification(m_NotifyId);
  m_BlinkTimer.Stop();
  m_RunTimer.Stop();
  m_Logic.OnDestroy();
}

void CPropertyPage_KXMP::OnInitDialog() {
  // Before the start-up's listing, so that no disk change from it on is lost.
  // Each is handled on this thread: under a start-up box still up (whose loop
  // hands it out) or once first display has returned; one handled before the
  // page's mapping exists is left to that mapping, which lists after it.
  m_NotifyId = platform::RegisterDiskNotification([this](const platform::DiskNotification& n) {
    CallAfter([this, n] {
      m_Logic.OnDiskChange(n);
      RefreshSlots();  // no cell yet under the mapping's box: the grid is built from the models
    });
  });
  m_Logic.OnInitDialog();
  BuildGrid();
  RefreshSlots();  // the counts the Total log holds
  m_Station->SetText(kx::StationName(kx::GetTestStation()));
  const std::string warning = CProductionPage::StartUpWarning();
  if (!warning.empty()) win::MessageBox(nullptr, warning.c_str(), "kxmp", win::MB_OK | win::MB_ICONWARNING);
  m_BlinkTimer.Start(500);
}

void CPropertyPage_KXMP::BuildGrid() {
  const CProductionPage::GridLayout layout = CProductionPage::LayoutOf(m_Logic.SlotCount());
  auto* grid = new wxGridSizer(layout.rows, layout.columns, 6, 6);
  auto display = [this](const std::string& bytes) { return m_Texts.Display(bytes); };
  for (int port = 1; port <= m_Logic.SlotCount(); ++port) {
    auto* box = new wxBoxSizer(wxVERTICAL);
    box->Add(new wxStaticText(m_Grid, wxID_ANY, wxString::Format("Port %d", port)), 0, wxLEFT, 2);
    auto* cell = new CColorEdit(m_Grid, &m_Logic.Cell(port), display);
    box->Add(cell, 1, wxEXPAND | wxTOP, 2);
    auto* gauge = new CGaugeBar(m_Grid);
    box->Add(gauge, 0, wxEXPAND | wxTOP, 2);
    grid->Add(box, 1, wxEXPAND);
    m_Cells.push_back(cell);
    m_Gauges.push_back(gauge);
  }
  m_Grid->SetSizer(grid);
  Layout();
}

// Touches only what changed: an unchanged label or bar costs no layout or paint.
void CPropertyPage_KXMP::RefreshSlots() {
  for (std::size_t i = 0; i < m_Cells.size(); ++i) {
    m_Cells[i]->ShowModel();
    kx::ProgressModel& progress = m_Logic.Progress(static_cast<int>(i) + 1);
    const int range = std::max(1, progress.Upper() - progress.Lower());
    const int value = std::clamp((progress.GetPos() - progress.Lower()) * 100 / range, 0, 100);
    m_Gauges[i]->SetValue(value);
  }
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string count = m_Logic.CountLabel(static_cast<int>(i)).Text();
    m_Counts[i]->SetText(count.empty() ? wxString("0") : wxString::FromUTF8(count));
  }
  m_Yield->SetText(wxString::FromUTF8(m_Logic.YieldText()));
}

void CPropertyPage_KXMP::EnableRunControls(bool enable) {
  m_Start->Enable(enable);
  m_Scan->Enable(enable);
}

void CPropertyPage_KXMP::OnStart() {
  if (!m_Logic.OnStart()) return;
  m_Station->SetText(kx::StationName(kx::GetTestStation()));
  EnableRunControls(false);
  m_Time->SetText("00:00");
  m_RunTimer.Start(1000);
  RefreshSlots();
}

void CPropertyPage_KXMP::OnScan() {
  m_Logic.OnScan();
  RefreshSlots();
}

void CPropertyPage_KXMP::OnBlinkTimer(wxTimerEvent&) {
  m_BlinkOn = !m_BlinkOn;
  m_Station->SetTextColour(m_BlinkOn ? *wxRED : *wxBLACK);
}

void CPropertyPage_KXMP::OnRunTimer(wxTimerEvent&) {
  // Asked before the refresh: a run that ends during it is refreshed at the next tick.
  const bool running = m_Logic.Running();
  m_Time->SetText(wxString::FromUTF8(m_Logic.RunClockText()));
  RefreshSlots();
  if (m_AfterRefresh) m_AfterRefresh();
  if (running) return;
  m_RunTimer.Stop();
  EnableRunControls(true);
  bool warning = false;
  const std::string notice = m_Logic.TakeNotice(&warning);
  // The program ends (a close or a signal came): a warning (totals a log
  // refused, no drive found) is told all the same, its whole text as a box
  // that is not shown (on standard error); a plain next-station notice is not.
  if (!notice.empty() && (warning || !m_CloseWhenRunEnds))
    win::MessageBox(nullptr, notice.c_str(), "kxmp",
                    win::MB_OK | (warning ? win::MB_ICONWARNING : win::MB_ICONINFORMATION));
  if (m_CloseWhenRunEnds)
    if (wxWindow* top = wxGetTopLevelParent(this)) top->Close();
}

bool CPropertyPage_KXMP::CanClose() {
  // A run going, or one whose end the run timer has not shown yet: its notice is told first.
  if (!m_Logic.Running() && !m_RunTimer.IsRunning()) return true;
  m_Logic.RequestStop();
  if (!m_CloseWhenRunEnds) {
    m_CloseWhenRunEnds = true;
    if (m_Logic.Running()) {
      m_CloseNotice = new CNoticeWindow(wxGetTopLevelParent(this), kRunningText);
      m_CloseNotice->Show();
    }
  }
  return false;
}
