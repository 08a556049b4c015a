// Before the window headers, whose TRUE and FALSE are macros.
#include "app/LanguageText.h"
#include "device/Environment.h"
#include "device/Settings.h"
#include "platform/Shell.h"

#include <chrono>

#include <wx/button.h>
#include <wx/evtloop.h>
#include <wx/sizer.h>
#include <wx/statbox.h>

#include "legacy/ResultMessageDlg.h"

CResultMessageDlg::CResultMessageDlg(wxWindow* parent) { Build(parent); }

CResultMessageDlg::~CResultMessageDlg() { StopTail(false); }

bool CResultMessageDlg::Create(wxWindow* parent) {
  if (GetParent() != parent) Reparent(parent);
  return true;
}

void CResultMessageDlg::Build(wxWindow* parent) {
  wxDialog::Create(parent, wxID_ANY, "Result Message", wxDefaultPosition, wxDefaultSize,
                   wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER);
  SetSize(ConvertDialogToPixels(wxSize(462, 236)));
  auto* group = new wxStaticBoxSizer(wxVERTICAL, this, "Result");
  m_LogList = new wxListBox(group->GetStaticBox(), kIdList, wxDefaultPosition, wxDefaultSize, 0, nullptr,
                            wxLB_SINGLE | wxLB_HSCROLL);
  group->Add(m_LogList, 1, wxEXPAND | wxALL, 4);
  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  buttons->Add(new wxButton(this, kIdOpenFolder, "Open the File folder"), 0, wxALL, 4);
  buttons->AddStretchSpacer();
  buttons->Add(new wxButton(this, wxID_CANCEL, "Close"), 0, wxALL, 4);
  auto* top = new wxBoxSizer(wxVERTICAL);
  top->Add(group, 1, wxEXPAND | wxALL, 6);
  top->Add(buttons, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 6);
  SetSizer(top);
  Layout();

  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnCancel(); }, wxID_CANCEL);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnOpenFolder(); }, kIdOpenFolder);
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { OnCancel(); });
  Bind(wxEVT_CHAR_HOOK, &CResultMessageDlg::OnCharHook, this);
}

int CResultMessageDlg::ShowModal() {
  OnInitDialog();
  return wxDialog::ShowModal();
}

bool CResultMessageDlg::Show(bool show) {
  if (show && !IsModal()) OnInitDialog();
  return wxDialog::Show(show);
}

void CResultMessageDlg::OnInitDialog() {
  if (m_Started) return;
  m_Started = true;
  SetTitle(wxString::Format("Result :  Tester [ %d ]", m_TesterNumber));
  m_Stop = false;
  m_LogList->Clear();
  LoadCaption(kIdOpenFolder, 0);
  m_ThreadEnded = false;
  m_Thread = std::thread([this] { ResultLogThread(); });
}

std::string CResultMessageDlg::LoadCaption(int id, int /*unused*/) {
  const char* key = id == kIdOpenFolder ? "IDC_BUTTON_Open" : "Unknown";
  const std::string path = kx::GetLanguageIniPath();
  const std::string text = kx::TrimBlanks(kx::ReadProfileText("Result Dialog", key, path.c_str(), 260));
  if (id != 0) {
    // The file holds its language's code page (CHS.ini is GBK), not UTF-8.
    const std::string shown = app::ToDisplayText(text, app::CodePageOfLanguageFile(path));
    if (wxWindow* control = FindWindow(id)) control->SetLabel(wxString::FromUTF8(shown));
  }
  return text;
}

void CResultMessageDlg::ResultLogThread() {
  legacy::CResultLogTail tail;
  // Only this thread's batches change the list, so it knows the count without asking the window.
  int count = 0;
  while (!m_Stop) {
    legacy::TailUpdate update = tail.PollFile(m_ReportFile, count);
    if (update.clear || !update.append.empty()) {
      if (update.clear) count = 0;
      count += static_cast<int>(update.append.size());
      CallAfter([this, update = std::move(update)] { Apply(update); });
    }
    std::unique_lock lock(m_WakeLock);
    m_Wake.wait_for(lock, std::chrono::milliseconds(100), [this] { return m_Stop.load(); });
  }
  m_ThreadEnded = true;
}

void CResultMessageDlg::Apply(const legacy::TailUpdate& update) {
  if (update.clear) m_LogList->Clear();
  wxArrayString lines;
  for (const auto& line : update.append) lines.Add(wxString::From8BitData(line.c_str(), line.size()));
  if (!lines.empty()) m_LogList->Append(lines);
  const auto entries = static_cast<int>(m_LogList->GetCount());
  if (update.selectLast && entries > 0) {
    m_LogList->SetSelection(entries - 1);
    m_LogList->EnsureVisible(entries - 1);
  }
}

void CResultMessageDlg::StopTail(bool dispatch) {
  if (!m_Thread.joinable()) return;
  {
    std::lock_guard lock(m_WakeLock);
    m_Stop = true;
  }
  m_Wake.notify_all();
  // Keep the window thread dispatching while the tail finishes its poll.
  while (dispatch && !m_ThreadEnded) {
    if (wxEventLoopBase* loop = wxEventLoopBase::GetActive()) loop->YieldFor(wxEVT_CATEGORY_ALL & ~wxEVT_CATEGORY_USER_INPUT);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  m_Thread.join();
}

void CResultMessageDlg::OnCancel() {
  // A second close (the window manager's) can arrive while the first waits
  // for the tail; the first one ends the dialog.
  if (m_Closing) return;
  m_Closing = true;
  StopTail(true);
  if (IsModal()) {
    EndModal(wxID_CANCEL);
  } else {
    Destroy();
  }
}

void CResultMessageDlg::OnOpenFolder() {
  // The shell's failure to open the folder is not reported.
  platform::ShellOpen(m_ReportFolder);
}

void CResultMessageDlg::OnCharHook(wxKeyEvent& event) {
  if (event.GetKeyCode() != WXK_SPACE) {
    event.Skip();
    return;
  }
  if (kx::GetTestStation() == 2) OnCancel();
}
