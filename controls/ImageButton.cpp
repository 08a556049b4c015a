#include "controls/ImageButton.h"

CImageButton::CImageButton(wxWindow* parent, wxWindowID id, const wxString& caption)
    : wxButton(parent, id, caption) {
#ifdef __WXGTK3__
  // The theme fades a button's state changes over a dozen frames, and each
  // frame lays the whole page out again and repaints every slot cell: Start
  // and Scan change state with each run, so they change at once.
  GTKApplyCssStyle("* { transition: none; }");
#endif
}

void CImageButton::SetIcon(const wxBitmapBundle& normal, const wxBitmapBundle& hover) {
  SetBitmap(normal);
  if (hover.IsOk()) SetBitmapCurrent(hover);
}

int CImageButton::SetAlign(int align, bool repaint) {
  static constexpr wxDirection kDirections[] = {wxLEFT, wxRIGHT, wxTOP, wxBOTTOM};
  if (align < 0 || align > 3) return 4;
  m_Align = align;
  SetBitmapPosition(kDirections[align]);
  if (repaint) Refresh();
  return 0;
}
