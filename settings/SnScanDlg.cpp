#include "settings/SnScanDlg.h"

#include <memory>

#include <wx/app.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/thread.h>

using kx::SnScanForm;

CSnScanWindow::CSnScanWindow(const SnScanForm& form)
    : wxDialog(nullptr, wxID_ANY, wxString::FromUTF8(form.Title())), m_Form(form) {
  auto* grid = new wxFlexGridSizer(2, 6, 6);
  grid->AddGrowableCol(1);
  m_Serial = new wxTextCtrl(this, wxID_ANY, "", wxDefaultPosition, wxSize(260, -1), wxTE_PROCESS_ENTER);
  grid->Add(new wxStaticText(this, wxID_ANY, "Serial number"), 0, wxALIGN_CENTER_VERTICAL);
  grid->Add(m_Serial, 1, wxEXPAND);
  if (m_Form.WwnScanning()) {
    m_Wwn = new wxTextCtrl(this, wxID_ANY, "", wxDefaultPosition, wxSize(260, -1), wxTE_PROCESS_ENTER);
    grid->Add(new wxStaticText(this, wxID_ANY, "WWN"), 0, wxALIGN_CENTER_VERTICAL);
    grid->Add(m_Wwn, 1, wxEXPAND);
    m_Wwn->Bind(wxEVT_TEXT, [this](wxCommandEvent&) { OnText(); });
    m_Wwn->Bind(wxEVT_TEXT_ENTER, [this](wxCommandEvent&) { OnEnter(SnScanForm::Box::Wwn); });
  }
  m_Serial->Bind(wxEVT_TEXT, [this](wxCommandEvent&) { OnText(); });
  m_Serial->Bind(wxEVT_TEXT_ENTER, [this](wxCommandEvent&) { OnEnter(SnScanForm::Box::Serial); });

  auto* buttons = new wxStdDialogButtonSizer;
  m_Ok = new wxButton(this, wxID_OK);
  buttons->AddButton(m_Ok);
  buttons->AddButton(new wxButton(this, wxID_CANCEL));
  buttons->Realize();
  m_Ok->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnOk(); });
  Bind(
      wxEVT_BUTTON,
      [this](wxCommandEvent&) {
        m_Form.Cancel();
        EndModal(wxID_CANCEL);
      },
      wxID_CANCEL);

  auto* page = new wxBoxSizer(wxVERTICAL);
  page->Add(new wxStaticText(this, wxID_ANY, wxString::FromUTF8(m_Form.PortText())), 0, wxALL, 8);
  page->Add(grid, 0, wxEXPAND | wxLEFT | wxRIGHT, 8);
  page->Add(buttons, 0, wxEXPAND | wxALL, 8);
  SetSizerAndFit(page);
  m_Ok->Enable(false);
  m_Serial->SetFocus();
}

void CSnScanWindow::OnText() {
  m_Form.SetText(SnScanForm::Box::Serial, m_Serial->GetValue().utf8_string());
  if (m_Wwn) m_Form.SetText(SnScanForm::Box::Wwn, m_Wwn->GetValue().utf8_string());
  m_Ok->Enable(m_Form.CanConfirm());
}

void CSnScanWindow::OnEnter(SnScanForm::Box box) {
  OnText();
  switch (m_Form.Enter(box)) {
    case SnScanForm::EnterGoes::Confirm: OnOk(); break;
    case SnScanForm::EnterGoes::WwnBox: m_Wwn->SetFocus(); break;
    case SnScanForm::EnterGoes::SerialBox: m_Serial->SetFocus(); break;
    case SnScanForm::EnterGoes::Stay: break;
  }
}

void CSnScanWindow::OnOk() {
  OnText();
  if (m_Form.Confirm() == SnScanForm::kOk) EndModal(wxID_OK);
}

namespace kx {

WindowHandOff& WindowCalls() {
  static WindowHandOff calls(
      [](std::function<void()> call) {
        if (wxTheApp == nullptr) return false;
        wxTheApp->CallAfter(std::move(call));
        return true;
      },
      [] { return wxIsMainThread(); });
  return calls;
}

int ShowScanWindow(SnScanForm& form) {
  CSnScanWindow window(form);
  if (window.ShowModal() != wxID_OK) return form.Cancel();
  form = window.Form();
  return form.Result();
}

void InstallScanDialog() {
  WindowCalls().Open();
  g_SnScanState.SetDialogFactory([] { return std::make_unique<HandedOffSnScanDlg>(WindowCalls(), ShowScanWindow); });
}

void RemoveScanDialog() {
  g_SnScanState.SetDialogFactory(nullptr);
  WindowCalls().Close();
}

}  // namespace kx
