#include "controls/ColorEdit.h"

#include <vector>

#include <wx/dcbuffer.h>

#include "device/Environment.h"

namespace {
constexpr char kToolSetting[] = ".\\Configuration\\System\\MPToolSetting.ini";
}

CColorEdit::CColorEdit(wxWindow* parent, kx::StatusCellModel* model,
                       std::function<std::string(const std::string&)> display)
    : wxWindow(parent, wxID_ANY, wxDefaultPosition, wxSize(120, 40), wxBORDER_SUNKEN | wxFULL_REPAINT_ON_RESIZE),
      m_Model(model),
      m_Display(std::move(display)),
      m_FontHeight(kx::ReadProfileInt("General Info", "ColorEditTextH", 20, kToolSetting)),
      m_FontWidth(kx::ReadProfileInt("General Info", "ColorEditTextW", 9, kToolSetting)) {
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  Bind(wxEVT_PAINT, &CColorEdit::OnPaint, this);
  ShowModel();
}

bool CColorEdit::ShowModel() {
  kx::StatusCellState state = m_Model->Snapshot();
  if (m_HasShown && state.redraws == m_Shown.redraws && state.text == m_Shown.text &&
      state.backColor == m_Shown.backColor && state.textColor == m_Shown.textColor)
    return false;
  m_Shown = std::move(state);
  m_HasShown = true;
  m_Colors.SetColor(m_Shown.textColor, m_Shown.backColor);
  SetToolTip(m_Display ? m_Display(m_Shown.errorMessage) : m_Shown.errorMessage);
  Refresh();
  return true;
}

void CColorEdit::OnPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  const wxSize size = GetClientSize();
  dc.SetBrush(wxBrush(CColorPair::ToColour(m_Colors.BackColor())));
  dc.SetPen(*wxTRANSPARENT_PEN);
  dc.DrawRectangle(0, 0, size.x, size.y);
  // The requested size as the cell's settings allow: never above its own.
  const int requested = m_Shown.fontHeight > 0 ? m_Shown.fontHeight : m_FontHeight;
  const int height = std::max(8, std::min(requested, m_FontHeight));
  wxFont font(wxFontInfo(wxSize(0, height)).Family(wxFONTFAMILY_SWISS).Bold());
  dc.SetFont(font);
  dc.SetTextForeground(CColorPair::ToColour(m_Colors.TextColor()));
  const wxString text = wxString::FromUTF8(m_Display ? m_Display(m_Shown.text) : m_Shown.text);
  // Long texts (pass texts joined by '*') wrap, preferably after a '*' or a blank.
  std::vector<wxString> lines;
  wxString rest = text;
  while (!rest.empty()) {
    std::size_t fit = rest.size();
    while (fit > 1 && dc.GetTextExtent(rest.Left(fit)).x > size.x - 4) --fit;
    if (fit < rest.size()) {
      const std::size_t cut = rest.Left(fit).find_last_of("* ");
      if (cut != wxString::npos && cut > 0) fit = cut + 1;
    }
    lines.push_back(rest.Left(fit));
    rest = rest.Mid(fit);
  }
  const int lineHeight = dc.GetCharHeight();
  int y = std::max(0, (size.y - lineHeight * static_cast<int>(lines.size())) / 2);
  for (const wxString& line : lines) {
    dc.DrawText(line, std::max(2, (size.x - dc.GetTextExtent(line).x) / 2), y);
    y += lineHeight;
  }
}
