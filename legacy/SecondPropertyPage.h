// The summary page: card totals and error codes of a run's _Summary.log in two
// report lists, the production firmware header, and the controls to choose
// another summary and save a text report. Its logic is CSummaryPageLogic.
#pragma once
#include <wx/panel.h>

#include "legacy/SummaryPageLogic.h"

class CReportListCtrl;
class wxButton;
class wxCheckBox;
class wxComboBox;
class wxStaticText;
class wxTextCtrl;

class CSecondPropertyPage : public wxPanel {
 public:
  explicit CSecondPropertyPage(wxWindow* parent);

  void OnInitDialog();
  void OnGenerate();
  void OnSaveAsText();
  void OnGenerateAnother();
  void ShowMpBinHeader();

  kx::CSummaryPageLogic& Logic() { return m_Logic; }
  CReportListCtrl* ErrorList() const { return m_ErrorList; }
  CReportListCtrl* CardList() const { return m_CardList; }
  wxTextCtrl* HeaderView() const { return m_HeaderView; }
  wxButton* SaveButton() const { return m_Save; }
  wxComboBox* Choice() const { return m_Choice; }

 private:
  void ShowChoice(bool show);

  kx::CSummaryPageLogic m_Logic;
  CReportListCtrl* m_ErrorList = nullptr;
  CReportListCtrl* m_CardList = nullptr;
  wxTextCtrl* m_HeaderView = nullptr;
  wxComboBox* m_Choice = nullptr;
  wxStaticText* m_ChoiceLabel = nullptr;
  wxButton* m_Generate = nullptr;
  wxButton* m_Save = nullptr;
  wxCheckBox* m_Another = nullptr;
  wxWindow* m_ChoiceGroup = nullptr;
  bool m_GenerateAnother = false;
};
