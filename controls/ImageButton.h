// A button with an icon beside its caption; the hover icon, when given, shows
// while the pointer is over the button.
#pragma once
#include <wx/bmpbndl.h>
#include <wx/button.h>

class CImageButton : public wxButton {
 public:
  CImageButton(wxWindow* parent, wxWindowID id, const wxString& caption);

  // Loads the icons and shows the normal one; an empty hover icon means none.
  void SetIcon(const wxBitmapBundle& normal, const wxBitmapBundle& hover = wxBitmapBundle());
  // Where the icon sits beside the caption: 0 left, 1 right, 2 above, 3 below.
  // Any other alignment changes nothing and returns 4; else 0.
  int SetAlign(int align, bool repaint);
  int GetAlign() const { return m_Align; }

 private:
  int m_Align = 0;
};
