#include "results/ReportListCtrl.h"

#include <algorithm>
#include <numeric>
#include <vector>

#include "results/ReportListRules.h"

wxDEFINE_EVENT(EVT_REPORTLIST_SORTED, wxCommandEvent);

CReportListCtrl::CReportListCtrl(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size)
    : wxListCtrl(parent, id, pos, size, wxLC_REPORT | wxLC_SINGLE_SEL) {
  Bind(wxEVT_LIST_BEGIN_LABEL_EDIT, [this](wxListEvent& event) {
    if (!m_Editable) event.Veto();
  });
}

void CReportListCtrl::EndEdit() {
  if (GetEditControl() != nullptr) EndEditLabel(false);
}

bool CReportListCtrl::SetColumnHeader(const std::string& spec) {
  EndEdit();
  ClearAll();
  static constexpr wxListColumnFormat kFormats[] = {wxLIST_FORMAT_LEFT, wxLIST_FORMAT_CENTRE, wxLIST_FORMAT_RIGHT};
  int index = 0;
  for (const kx::ReportColumn& column : kx::ParseColumnHeader(spec))
    if (InsertColumn(index++, wxString::FromUTF8(column.name), kFormats[column.format], column.width) < 0) return false;
  m_SortColumn = -1;
  return true;
}

long CReportListCtrl::InsertItem(long row, const std::string& text) {
  EndEdit();
  m_SortColumn = -1;
  return wxListCtrl::InsertItem(row, wxString::FromUTF8(text));
}

bool CReportListCtrl::SetItemText(long row, int column, const std::string& text) {
  EndEdit();
  m_SortColumn = -1;
  return SetItem(row, column, wxString::FromUTF8(text));
}

bool CReportListCtrl::SetItemTextULong(long row, int column, unsigned long value) {
  return SetItemText(row, column, std::to_string(static_cast<unsigned>(value)));
}

std::string CReportListCtrl::CellText(long row, int column) const {
  return GetItemText(row, column).utf8_string();
}

bool CReportListCtrl::SortItems(int column, bool ascending) {
  EndEdit();
  if (column < 0 || column >= GetColumnCount()) return false;
  // Rows are rewritten in their new order; equal cells keep their order.
  const long rows = GetItemCount();
  const int columns = GetColumnCount();
  std::vector<std::vector<std::string>> cells(static_cast<std::size_t>(rows));
  for (long r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c) cells[static_cast<std::size_t>(r)].push_back(CellText(r, c));
  std::vector<std::size_t> order(cells.size());
  std::iota(order.begin(), order.end(), 0);
  const auto col = static_cast<std::size_t>(column);
  std::vector<std::string> columnCells;
  for (const auto& row : cells) columnCells.push_back(row[col]);
  const kx::CellKind kind = kx::ColumnKind(columnCells);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const int cmp = kx::CompareCells(cells[a][col], cells[b][col], kind);
    return ascending ? cmp < 0 : cmp > 0;
  });
  for (long r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c)
      SetItem(r, c, wxString::FromUTF8(cells[order[static_cast<std::size_t>(r)]][static_cast<std::size_t>(c)]));
  m_SortColumn = column;
  m_SortAscending = ascending;
  wxCommandEvent sorted(EVT_REPORTLIST_SORTED, GetId());
  sorted.SetEventObject(this);
  sorted.SetInt(column);
  if (GetParent() != nullptr) GetParent()->GetEventHandler()->ProcessEvent(sorted);
  return true;
}

void CReportListCtrl::SetGridLines(bool on) {
  long style = GetWindowStyleFlag();
  style = on ? (style | wxLC_HRULES | wxLC_VRULES) : (style & ~(wxLC_HRULES | wxLC_VRULES));
  SetWindowStyleFlag(style);
}

void CReportListCtrl::SetEditable(bool on) {
  if (!on) EndEdit();
  m_Editable = on;
  long style = GetWindowStyleFlag();
  SetWindowStyleFlag(on ? (style | wxLC_EDIT_LABELS) : (style & ~wxLC_EDIT_LABELS));
}
