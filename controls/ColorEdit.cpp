#include "controls/ColorEdit.h"

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
  const wxSize extent = dc.GetTextExtent(text);
  dc.DrawText(text, std::max(2, (size.x - extent.x) / 2), std::max(0, (size.y - extent.y) / 2));
}
