#include "legacy/FlagComboBox.h"

#include <wx/dc.h>
#include <wx/renderer.h>
#include <wx/settings.h>

#include <algorithm>

wxDEFINE_EVENT(EVT_FLAGCOMBO_CHECK, wxCommandEvent);

namespace {

void DrawFlagItem(wxWindow* window, wxDC& dc, const wxRect& rect, const wxString& text, bool checked, bool selected,
                  bool focused, int checkWidth) {
  const wxRect check(rect.x, rect.y + 1, checkWidth, rect.height - 2);
  int flags = checked ? static_cast<int>(wxCONTROL_CHECKED) : 0;
  if (!window->IsEnabled()) flags |= wxCONTROL_DISABLED;
  const wxSize box = wxRendererNative::Get().GetCheckBoxSize(window);
  wxRendererNative::Get().DrawCheckBox(
      window, dc, wxRect(check.x + (check.width - box.x) / 2, check.y + (check.height - box.y) / 2, box.x, box.y),
      flags);
  const wxRect textRect(rect.x + checkWidth, rect.y, rect.width - checkWidth, rect.height);
  dc.SetTextForeground(selected              ? wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHTTEXT)
                       : window->IsEnabled() ? wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT)
                                             : wxSystemSettings::GetColour(wxSYS_COLOUR_GRAYTEXT));
  dc.DrawLabel(" " + wxControl::Ellipsize(text, dc, wxELLIPSIZE_END, textRect.width), textRect,
               wxALIGN_LEFT | wxALIGN_CENTER_VERTICAL);
  if (selected && focused) {
    // A dotted frame in the text's colour, as a focus rectangle is drawn.
    dc.SetPen(wxPen(dc.GetTextForeground(), 1, wxPENSTYLE_DOT));
    dc.SetBrush(*wxTRANSPARENT_BRUSH);
    dc.DrawRectangle(textRect);
  }
}

}  // namespace

bool CFlagListPopup::Create(wxWindow* parent) {
  if (!wxVListBox::Create(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxBORDER_SIMPLE)) return false;
  SetItemCount(m_Owner->GetCount());
  Bind(wxEVT_LEFT_DOWN, &CFlagListPopup::OnLeftDown, this);
  Bind(wxEVT_LEFT_DCLICK, &CFlagListPopup::OnLeftDown, this);
  Bind(wxEVT_KEY_DOWN, &CFlagListPopup::OnChar, this);
  return true;
}

void CFlagListPopup::SetStringValue(const wxString& value) {
  for (unsigned i = 0; i < m_Owner->GetCount(); ++i)
    if (m_Owner->GetString(i) == value) SetSelection(static_cast<int>(i));
}

wxString CFlagListPopup::GetStringValue() const {
  const int selection = m_Owner->GetSelection();
  return selection >= 0 ? m_Owner->GetString(static_cast<unsigned>(selection)) : wxString();
}

wxSize CFlagListPopup::GetAdjustedSize(int minWidth, int, int maxHeight) {
  const int rows = static_cast<int>(m_Owner->GetCount());
  const int height = std::min(maxHeight, std::max(rows, 1) * OnMeasureItem(0) + 4);
  return wxSize(minWidth, height);
}

void CFlagListPopup::PaintComboControl(wxDC& dc, const wxRect& rect) {
  const int selection = m_Owner->GetSelection();
  if (selection < 0) {
    // The field never shows "no item" while there are items.
    if (m_Owner->GetCount() > 0) m_Owner->CallAfter([owner = m_Owner] { owner->SetSelection(0); });
    wxComboPopup::PaintComboControl(dc, rect);
    return;
  }
  // The field of a focused control shows its item selected and focused.
  const bool focused = m_Owner->ShouldDrawFocus();
  m_Owner->PrepareBackground(dc, rect, 0);
  m_Owner->DrawItem(dc, rect, static_cast<unsigned>(selection), focused, focused);
}

void CFlagListPopup::OnDrawItem(wxDC& dc, const wxRect& rect, size_t n) const {
  // The open list has the focus; its selected item is the focused one.
  m_Owner->DrawItem(dc, rect, static_cast<unsigned>(n), IsSelected(n), IsSelected(n));
}

wxCoord CFlagListPopup::OnMeasureItem(size_t) const { return m_Owner->ItemHeight(); }

CFlagListPopup::Press CFlagListPopup::PressAt(const wxPoint& point) {
  const int index = kx::ListItemAt(static_cast<int>(GetVisibleRowsBegin()), point.y, OnMeasureItem(0),
                                   static_cast<int>(m_Owner->GetCount()));
  if (index < 0 || point.x < 0 || point.x >= GetClientSize().x) return Press::Nothing;
  RefreshRow(static_cast<size_t>(index));
  if (point.x < m_Owner->CheckWidth()) {
    m_Owner->ToggleAndNotify(static_cast<unsigned>(index));
    return Press::Toggled;  // the list stays open
  }
  m_Owner->SetSelection(index);
  m_Owner->NotifySelect();
  Dismiss();
  return Press::Selected;
}

void CFlagListPopup::OnLeftDown(wxMouseEvent& event) { PressAt(event.GetPosition()); }

void CFlagListPopup::OnChar(wxKeyEvent& event) {
  if (event.GetKeyCode() != WXK_SPACE) {
    event.Skip();
    return;
  }
  const int selection = GetSelection();
  if (!event.IsAutoRepeat() && selection != wxNOT_FOUND) {
    RefreshRow(static_cast<size_t>(selection));
    m_Owner->ToggleAndNotify(static_cast<unsigned>(selection));
  }
}

CFlagComboBox::CFlagComboBox(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size)
    : wxComboCtrl(parent, id, "", pos, size, wxCB_READONLY) {
  m_Popup = new CFlagListPopup(this);
  SetPopupControl(m_Popup);
  Bind(wxEVT_KEY_DOWN, &CFlagComboBox::OnChar, this);
  Bind(wxEVT_LEFT_DOWN, &CFlagComboBox::OnLeftDown, this);
  Bind(wxEVT_LEFT_DCLICK, &CFlagComboBox::OnLeftDown, this);
  // The selection field is one item high.
  const int frame = GetSize().y - GetTextRect().height;
  SetInitialSize(wxSize(size.x, ItemHeight() + std::max(frame, 0)));
}

int CFlagComboBox::CheckWidth() const { return kx::CheckAreaWidth(GetCharHeight(), 0); }

int CFlagComboBox::ItemHeight() const { return GetCharHeight() + 2; }

void CFlagComboBox::DrawItem(wxDC& dc, const wxRect& rect, unsigned index, bool selected, bool focused) {
  DrawFlagItem(this, dc, rect, GetString(index), GetFlag(index), selected, focused, CheckWidth());
}

int CFlagComboBox::Append(const wxString& text) { return Insert(text, GetCount()); }

int CFlagComboBox::Insert(const wxString& text, unsigned index) {
  if (index > GetCount()) index = GetCount();
  m_Items.insert(m_Items.begin() + index, text);
  m_Flags.Insert(index);
  if (m_Selection >= static_cast<int>(index)) ++m_Selection;
  if (m_Popup->GetControl()->GetHandle() != nullptr) m_Popup->SetItemCount(GetCount());
  return static_cast<int>(index);
}

bool CFlagComboBox::Delete(unsigned index) {
  if (index >= GetCount()) return false;
  m_Items.erase(m_Items.begin() + index);
  m_Flags.Erase(index);
  if (m_Selection == static_cast<int>(index)) m_Selection = -1;
  else if (m_Selection > static_cast<int>(index)) --m_Selection;
  if (m_Popup->GetControl()->GetHandle() != nullptr) m_Popup->SetItemCount(GetCount());
  Refresh(false);
  return true;
}

void CFlagComboBox::Clear() {
  m_Flags.Reset();
  m_Items.clear();
  m_Selection = -1;
  if (m_Popup->GetControl()->GetHandle() != nullptr) m_Popup->SetItemCount(0);
  Refresh(false);
}

void CFlagComboBox::SetSelection(int index) {
  m_Selection = index >= 0 && static_cast<unsigned>(index) < GetCount() ? index : -1;
  if (m_Popup->GetControl()->GetHandle() != nullptr) m_Popup->wxVListBox::SetSelection(m_Selection);
  Refresh(false);
}

int CFlagComboBox::SetFlag(unsigned index, bool value) {
  bool changed = false;
  const int previous = m_Flags.SetFlag(index, value, &changed);
  if (changed) {
    Refresh(false);
    if (IsPopupShown()) m_Popup->RefreshAll();
  }
  return previous;
}

void CFlagComboBox::SetAllFlags(bool value) {
  for (unsigned i = 0; i < GetCount(); ++i) SetFlag(i, value);
}

void CFlagComboBox::ToggleAndNotify(unsigned index) {
  SetFlag(index, !GetFlag(index));
  wxCommandEvent check(EVT_FLAGCOMBO_CHECK, GetId());
  check.SetEventObject(this);
  check.SetInt(static_cast<int>(index));
  ProcessWindowEvent(check);
}

void CFlagComboBox::NotifySelect() {
  wxCommandEvent select(wxEVT_COMBOBOX, GetId());
  select.SetEventObject(this);
  select.SetInt(m_Selection);
  ProcessWindowEvent(select);
}

void CFlagComboBox::OnChar(wxKeyEvent& event) {
  if (event.GetKeyCode() != WXK_SPACE) {
    event.Skip();
    return;
  }
  // Space is never passed on; held down, it toggles once.
  if (!IsPopupShown() && m_Selection >= 0 && !event.IsAutoRepeat())
    ToggleAndNotify(static_cast<unsigned>(m_Selection));
}

void CFlagComboBox::OnLeftDown(wxMouseEvent& event) {
  if (IsPopupShown() || m_Selection < 0 || event.GetX() >= CheckWidth()) {
    event.Skip();
    return;
  }
  if (!HasFocus()) SetFocus();
  ToggleAndNotify(static_cast<unsigned>(m_Selection));
}
