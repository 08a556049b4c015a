// The report list control: a report-style list with columns from a text
// description, sorting by date, number or text, grid lines and optional
// in-place editing of the first column.
#pragma once
#include <string>

#include <wx/listctrl.h>

// Sent to the parent after a sort; GetInt() is the column.
wxDECLARE_EVENT(EVT_REPORTLIST_SORTED, wxCommandEvent);

class CReportListCtrl : public wxListCtrl {
 public:
  CReportListCtrl(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition,
                  const wxSize& size = wxDefaultSize);

  // Deletes all rows and columns and adds the columns of `spec`.
  bool SetColumnHeader(const std::string& spec);
  // Returns the row's index, negative on failure.
  long InsertItem(long row, const std::string& text);
  bool SetItemText(long row, int column, const std::string& text);
  bool SetItemTextULong(long row, int column, unsigned long value);
  // Sorts on the column, largest first when `ascending` is false, and tells the parent.
  bool SortItems(int column, bool ascending);
  void SetGridLines(bool on);
  void SetEditable(bool on);

  std::string CellText(long row, int column) const;
  int SortColumn() const { return m_SortColumn; }
  bool SortAscending() const { return m_SortAscending; }

 private:
  void EndEdit();

  int m_SortColumn = -1;
  bool m_SortAscending = true;
  bool m_Editable = false;
};
