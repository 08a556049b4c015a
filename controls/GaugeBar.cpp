#include "controls/GaugeBar.h"

#include <algorithm>
#include <memory>

#include <wx/dcclient.h>
#include <wx/graphics.h>

namespace {
constexpr double kBarHeight = 4;
}  // namespace

CGaugeBar::CGaugeBar(wxWindow* parent) : wxWindow(parent, wxID_ANY, wxDefaultPosition, wxSize(-1, 12)) {
  // The background is the window system's, as under a native bar.
  SetBackgroundStyle(wxBG_STYLE_SYSTEM);
  SetOwnFont(GetFont());
  SetOwnForegroundColour(GetForegroundColour());
  SetMinSize(wxSize(-1, 12));
  Bind(wxEVT_PAINT, &CGaugeBar::OnPaint, this);
}

void CGaugeBar::SetValue(int value) {
  if (value == m_Value) return;
  m_Value = value;
  Refresh();
}

void CGaugeBar::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(dc));
  if (!gc) return;
  // The default theme's bar: a trough four pixels high across the whole
  // width at the bottom, with rounded ends, and the progress over it from the left.
  const wxSize size = GetClientSize();
  const double top = size.y - kBarHeight;  // the context puts one-pixel lines on pixel centres itself
  const auto bar = [&](double width, const wxColour& border, const wxColour& fill) {
    gc->SetPen(wxPen(border));
    gc->SetBrush(wxBrush(fill));
    gc->DrawRoundedRectangle(0, top, width - 1, kBarHeight - 1, 1);
  };
  bar(size.x, wxColour(0xcd, 0xc7, 0xc2), wxColour(0xe1, 0xde, 0xdb));
  if (m_Value > 0) bar(std::max(kBarHeight, size.x * m_Value / 100.0), wxColour(0x18, 0x5f, 0xb4), wxColour(0x35, 0x84, 0xe4));
}
