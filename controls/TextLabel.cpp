#include "controls/TextLabel.h"

#include <algorithm>

#include <wx/dcclient.h>

CTextLabel::CTextLabel(wxWindow* parent, const wxString& text) : wxWindow(parent, wxID_ANY) {
  // The background is the window system's, as under a native label, drawn
  // without an erase event. Its own font and colour: a paint then does not ask
  // the theme for them.
  SetBackgroundStyle(wxBG_STYLE_SYSTEM);
  SetOwnFont(GetFont());
  SetOwnForegroundColour(GetForegroundColour());
  Bind(wxEVT_PAINT, &CTextLabel::OnPaint, this);
  SetText(text);
}

void CTextLabel::SetText(const wxString& text) {
  if (text == m_Text && GetMinSize().IsFullySpecified()) return;
  m_Text = text;
  const wxSize extent = GetTextExtent(text.empty() ? wxString(" ") : text);
  m_TextHeight = extent.y;
  const wxSize size(std::max(GetMinSize().x, extent.x + 4), std::max(GetMinSize().y, extent.y + 2));
  if (size != GetMinSize()) {
    SetMinSize(size);
    if (GetParent()) GetParent()->Layout();
  }
  Refresh();
}

void CTextLabel::SetTextColour(const wxColour& colour) {
  if (colour == m_Colour) return;
  m_Colour = colour;
  Refresh();
}

void CTextLabel::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  dc.SetTextForeground(m_Colour);
  dc.DrawText(m_Text, 2, (GetClientSize().y - m_TextHeight) / 2);
}
