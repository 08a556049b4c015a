#include "legacy/SecondPropertyPage.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/combobox.h>
#include <wx/sizer.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "results/ReportListCtrl.h"

namespace {
constexpr int ID_ERROR_LIST = 1509;
constexpr int ID_CARD_LIST = 1510;
constexpr int ID_CHOICE = 1511;
constexpr int ID_ANOTHER = 1512;
constexpr int ID_HEADER = 1521;
constexpr int ID_GENERATE = 1272;
constexpr int ID_SAVE = 1273;
}  // namespace

CSecondPropertyPage::CSecondPropertyPage(wxWindow* parent) : wxPanel(parent, wxID_ANY) {
  auto* cards = new wxStaticBoxSizer(wxVERTICAL, this, "Total Card Product");
  m_CardList = new CReportListCtrl(cards->GetStaticBox(), ID_CARD_LIST, wxDefaultPosition, wxSize(280, 110));
  cards->Add(m_CardList, 1, wxEXPAND);
  auto* errors = new wxStaticBoxSizer(wxVERTICAL, this, "Error Code Summary");
  m_ErrorList = new CReportListCtrl(errors->GetStaticBox(), ID_ERROR_LIST, wxDefaultPosition, wxSize(280, 200));
  errors->Add(m_ErrorList, 1, wxEXPAND);
  auto* other = new wxStaticBoxSizer(wxVERTICAL, this, "Other Information");
  other->Add(new wxStaticText(other->GetStaticBox(), wxID_ANY, "ISP Firmware - Header Info."));
  m_HeaderView = new wxTextCtrl(other->GetStaticBox(), ID_HEADER, "", wxDefaultPosition, wxSize(300, 200),
                                wxTE_MULTILINE | wxTE_READONLY);
  m_HeaderView->SetFont(wxFont(wxFontInfo(9).Family(wxFONTFAMILY_TELETYPE)));
  other->Add(m_HeaderView, 1, wxEXPAND);
  auto* choice = new wxStaticBoxSizer(wxHORIZONTAL, this, "Static");
  m_ChoiceGroup = choice->GetStaticBox();
  m_ChoiceLabel =
      new wxStaticText(choice->GetStaticBox(), wxID_ANY, "Please select _summary.xls for generate report  :");
  m_Choice = new wxComboBox(choice->GetStaticBox(), ID_CHOICE, "", wxDefaultPosition, wxSize(260, -1), 0, nullptr,
                            wxCB_READONLY);
  m_Generate = new wxButton(choice->GetStaticBox(), ID_GENERATE, "Generate ");
  choice->Add(m_ChoiceLabel, 0, wxALIGN_CENTER_VERTICAL);
  choice->Add(m_Choice, 1, wxLEFT, 4);
  choice->Add(m_Generate, 0, wxLEFT, 4);
  m_Save = new wxButton(this, ID_SAVE, "Save as Text file");
  m_Another = new wxCheckBox(this, ID_ANOTHER, "Generate another _summary.xls ");

  auto* left = new wxBoxSizer(wxVERTICAL);
  left->Add(cards, 0, wxEXPAND | wxALL, 4);
  left->Add(errors, 1, wxEXPAND | wxALL, 4);
  auto* top = new wxBoxSizer(wxHORIZONTAL);
  top->Add(left, 1, wxEXPAND);
  top->Add(other, 1, wxEXPAND | wxALL, 4);
  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  buttons->Add(m_Another, 0, wxALIGN_CENTER_VERTICAL | wxALL, 4);
  buttons->Add(m_Save, 0, wxALL, 4);
  auto* page = new wxBoxSizer(wxVERTICAL);
  page->Add(top, 1, wxEXPAND);
  page->Add(choice, 0, wxEXPAND | wxALL, 4);
  page->Add(buttons, 0, wxEXPAND);
  SetSizer(page);

  m_Generate->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnGenerate(); });
  m_Save->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnSaveAsText(); });
  m_Another->Bind(wxEVT_CHECKBOX, [this](wxCommandEvent&) { OnGenerateAnother(); });
  m_Choice->Bind(wxEVT_COMBOBOX, [this](wxCommandEvent&) {
    m_Logic.Choose(m_Choice->GetStringSelection().utf8_string());
    m_Save->Enable(m_Logic.CanSave());
  });
  OnInitDialog();
}

void CSecondPropertyPage::OnInitDialog() {
  m_ErrorList->Hide();
  m_CardList->Hide();
  ShowChoice(false);
  m_Logic.Start();
  m_Another->Hide();
  m_Save->Hide();
  m_ChoiceGroup->Hide();
  m_Save->Enable(m_Logic.CanSave());
  OnGenerate();
  ShowMpBinHeader();
  Layout();
}

void CSecondPropertyPage::ShowChoice(bool show) {
  m_Generate->Show(show);
  m_Choice->Show(show);
  m_ChoiceLabel->Show(show);
}

void CSecondPropertyPage::OnGenerate() {
  m_Generate->Hide();
  m_Save->Hide();
  if (!m_Logic.Generate()) return;
  m_ErrorList->SetColumnHeader("Error Code, 100; Counter, 80; Rate , 80");
  m_CardList->SetColumnHeader("Item , 100; Counter , 80; Rate , 80");
  m_ErrorList->Show();
  m_CardList->Show();
  const auto fill = [](CReportListCtrl* list, const std::vector<kx::SummaryRow>& rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const long row = list->InsertItem(static_cast<long>(i), rows[i].name);
      list->SetItemText(row, 1, rows[i].count);
      list->SetItemText(row, 2, rows[i].rate);
    }
  };
  fill(m_CardList, m_Logic.Cards());
  m_CardList->SetGridLines(true);
  m_CardList->SetEditable(false);
  fill(m_ErrorList, m_Logic.Errors());
  m_ErrorList->SortItems(1, false);
  m_ErrorList->SetGridLines(true);
  m_ErrorList->SetEditable(false);
  Layout();
}

void CSecondPropertyPage::OnSaveAsText() {
  m_Save->Hide();
  m_Logic.SaveAsText();
  m_Save->Show();
  Layout();
}

void CSecondPropertyPage::OnGenerateAnother() {
  m_GenerateAnother = !m_GenerateAnother;
  if (!m_GenerateAnother) {
    ShowChoice(false);
    Layout();
    return;
  }
  ShowChoice(true);
  m_ChoiceGroup->Show();
  m_Choice->Clear();
  const std::vector<std::string> choices = m_Logic.Choices();
  for (const std::string& path : choices) m_Choice->Append(wxString::FromUTF8(path));
  if (choices.size() > 1) {
    m_Another->SetValue(true);
    m_Choice->SetSelection(0);
  }
  Layout();
}

void CSecondPropertyPage::ShowMpBinHeader() {
  for (const std::string& line : m_Logic.ReadMpBinHeader()) m_HeaderView->AppendText(wxString::From8BitData(line.c_str()) + "\n");
}
