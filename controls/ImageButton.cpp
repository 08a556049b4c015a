#include "controls/ImageButton.h"

CImageButton::CImageButton(wxWindow* parent, wxWindowID id, const wxString& caption)
    : wxButton(parent, id, caption) {}

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
