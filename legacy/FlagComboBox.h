// A drop-down list whose items each carry a check flag drawn as a check box in
// front of the text. Space or a click on the check box toggles the flag of the
// selected item (closed) or of the item under the pointer (open list, which
// then stays open); a click on the text selects the item and closes the list.
// Each toggle is sent to the parent as EVT_FLAGCOMBO_CHECK (GetInt(): item).
#pragma once
#include <wx/combo.h>
#include <wx/vlbox.h>

#include "legacy/ControlRules.h"

wxDECLARE_EVENT(EVT_FLAGCOMBO_CHECK, wxCommandEvent);

class CFlagComboBox;

// The open list.
class CFlagListPopup : public wxVListBox, public wxComboPopup {
 public:
  explicit CFlagListPopup(CFlagComboBox* owner) : m_Owner(owner) {}
  bool Create(wxWindow* parent) override;
  wxWindow* GetControl() override { return this; }
  void SetStringValue(const wxString& value) override;
  wxString GetStringValue() const override;
  void PaintComboControl(wxDC& dc, const wxRect& rect) override;
  wxSize GetAdjustedSize(int minWidth, int prefHeight, int maxHeight) override;
  // A press at a point of the list: toggles or selects; what it did.
  enum class Press { Nothing, Toggled, Selected };
  Press PressAt(const wxPoint& point);

 protected:
  void OnDrawItem(wxDC& dc, const wxRect& rect, size_t n) const override;
  wxCoord OnMeasureItem(size_t n) const override;

 private:
  void OnLeftDown(wxMouseEvent& event);
  void OnChar(wxKeyEvent& event);

  CFlagComboBox* m_Owner;
};

class CFlagComboBox : public wxComboCtrl {
 public:
  CFlagComboBox(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition,
                const wxSize& size = wxDefaultSize);

  int Append(const wxString& text);
  int Insert(const wxString& text, unsigned index);
  bool Delete(unsigned index);
  void Clear() override;
  unsigned GetCount() const { return static_cast<unsigned>(m_Items.size()); }
  const wxString& GetString(unsigned index) const { return m_Items.at(index); }
  int GetSelection() const { return m_Selection; }
  void SetSelection(int index);

  bool GetFlag(unsigned index) const { return m_Flags.GetFlag(index); }
  int SetFlag(unsigned index, bool value);
  void SetAllFlags(bool value);
  // Toggles and tells the parent.
  void ToggleAndNotify(unsigned index);
  void NotifySelect();
  int CheckWidth() const;
  int ItemHeight() const;
  // Draws item `index` as the list and the selection field show it: check box,
  // text, highlight when selected and a focus rectangle when also focused.
  void DrawItem(wxDC& dc, const wxRect& rect, unsigned index, bool selected, bool focused);

 private:
  void OnChar(wxKeyEvent& event);
  void OnLeftDown(wxMouseEvent& event);

  friend class CFlagListPopup;
  CFlagListPopup* m_Popup = nullptr;
  std::vector<wxString> m_Items;
  kx::CFlagList m_Flags;
  int m_Selection = -1;
};
