#pragma once
#include <wx/colour.h>
#include <wx/string.h>
#include <wx/window.h>

// A label that paints itself: a new text or colour repaints it alone (a native
// label's new text lays the whole window out again, and repaints every cell).
// It grows to its longest text and never shrinks.
class CTextLabel : public wxWindow {
 public:
  explicit CTextLabel(wxWindow* parent, const wxString& text = wxString());
  void SetText(const wxString& text);
  void SetTextColour(const wxColour& colour);
  const wxString& Text() const { return m_Text; }

 private:
  void OnPaint(wxPaintEvent& event);
  wxString m_Text;
  int m_TextHeight = 0;
  wxColour m_Colour = *wxBLACK;
};
