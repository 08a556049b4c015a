#include "legacy/SkinButton.h"

#include <wx/dcbuffer.h>
#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/settings.h>
#include <wx/weakref.h>

namespace {

// A 3-D edge of two lines each side, as the raised and sunken button edges.
void DrawEdge(wxDC& dc, const wxRect& r, bool raised) {
  const wxColour light = wxSystemSettings::GetColour(wxSYS_COLOUR_BTNHIGHLIGHT);
  const wxColour lightInner = wxSystemSettings::GetColour(wxSYS_COLOUR_3DLIGHT);
  const wxColour dark = wxSystemSettings::GetColour(wxSYS_COLOUR_3DDKSHADOW);
  const wxColour darkInner = wxSystemSettings::GetColour(wxSYS_COLOUR_BTNSHADOW);
  auto frame = [&dc](const wxRect& f, const wxColour& topLeft, const wxColour& bottomRight) {
    dc.SetPen(wxPen(topLeft));
    dc.DrawLine(f.GetLeft(), f.GetBottom(), f.GetLeft(), f.GetTop());
    dc.DrawLine(f.GetLeft(), f.GetTop(), f.GetRight(), f.GetTop());
    dc.SetPen(wxPen(bottomRight));
    dc.DrawLine(f.GetRight(), f.GetTop(), f.GetRight(), f.GetBottom());
    dc.DrawLine(f.GetRight(), f.GetBottom(), f.GetLeft() - 1, f.GetBottom());
  };
  if (raised) {
    frame(r, light, dark);
    frame(wxRect(r).Deflate(1), lightInner, darkInner);
  } else {
    frame(r, darkInner, light);
    frame(wxRect(r).Deflate(1), dark, lightInner);
  }
}

// The image with the mask bitmap as its transparency (white = transparent).
wxBitmap Masked(const wxBitmap& image, const wxBitmap& mask) {
  wxBitmap copy = image.GetSubBitmap(wxRect(0, 0, image.GetWidth(), image.GetHeight()));
  wxBitmap fitted = mask;
  if (mask.GetWidth() != image.GetWidth() || mask.GetHeight() != image.GetHeight()) {
    wxBitmap sized(image.GetWidth(), image.GetHeight());
    wxMemoryDC dc(sized);
    dc.SetBackground(*wxWHITE_BRUSH);
    dc.Clear();
    dc.DrawBitmap(mask, 0, 0);
    dc.SelectObject(wxNullBitmap);
    fitted = sized;
  }
  copy.SetMask(new wxMask(fitted, *wxWHITE));
  return copy;
}

wxBitmap Scaled(const wxBitmap& bitmap, int w, int h) {
  return wxBitmap(bitmap.ConvertToImage().Scale(std::max(w, 1), std::max(h, 1)));
}

}  // namespace

CSkinButton::CSkinButton(wxWindow* parent, wxWindowID id, const wxString& caption, std::uint32_t buttonStyle,
                         const wxPoint& pos, const wxSize& size)
    : wxControl(parent, id, pos, size, wxBORDER_NONE | wxWANTS_CHARS),
      m_State(kx::CSkinButtonState::KindFromStyle(buttonStyle)),
      m_GroupStart((buttonStyle & kx::WS_GROUP) != 0),
      m_TextColor(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNTEXT)) {
  SetLabel(caption);
  SetBackgroundStyle(wxBG_STYLE_PAINT);  // painted whole, never erased
  Bind(wxEVT_PAINT, &CSkinButton::OnPaint, this);
  Bind(wxEVT_LEFT_DOWN, &CSkinButton::OnLeftDown, this);
  Bind(wxEVT_LEFT_DCLICK, &CSkinButton::OnLeftDown, this);  // a double click is a second press
  Bind(wxEVT_LEFT_UP, &CSkinButton::OnLeftUp, this);
  Bind(wxEVT_MOTION, &CSkinButton::OnMotion, this);
  Bind(wxEVT_LEAVE_WINDOW, &CSkinButton::OnLeave, this);
  Bind(wxEVT_KILL_FOCUS, &CSkinButton::OnKillFocus, this);
  Bind(wxEVT_MOUSE_CAPTURE_LOST, &CSkinButton::OnCaptureLost, this);
  Bind(wxEVT_KEY_DOWN, &CSkinButton::OnKeyDown, this);
  if (size == wxDefaultSize) SetInitialSize();
}

wxSize CSkinButton::DoGetBestSize() const {
  if (m_Normal.IsOk()) return m_Normal.GetSize();
  return GetTextExtent(GetLabel()) + wxSize(16, 10);
}

void CSkinButton::SetSkin(const wxBitmap& normal, const wxBitmap& down, const wxBitmap& over,
                          const wxBitmap& disabled, const wxBitmap& focus, const wxBitmap& mask,
                          std::int16_t drawMode, std::int16_t border, std::int16_t margin) {
  m_Normal = normal;
  m_Down = down;
  m_Over = over;
  m_Focus = focus;
  m_Disabled = disabled.IsOk() ? disabled : normal;
  m_Mask = wxBitmap();
  m_State.SetSkinArgs(drawMode, border, margin);
  if (mask.IsOk()) {
    m_Mask = mask;
    const wxRegion region = CreateRgnFromBitmap(m_Mask, *wxWHITE);
    if (!region.IsEmpty()) m_Region = region;
    if (m_State.DrawMode() == 0) SetSize(m_Mask.GetSize());
  }
  Refresh();
}

wxColour CSkinButton::SetTextColor(const wxColour& colour) {
  const wxColour previous = m_TextColor;
  m_TextColor = colour;
  return previous;
}

int CSkinButton::ReleasePress() {
  if (HasCapture()) ReleaseMouse();
  m_State.ReleasePress();
  return 0;
}

void CSkinButton::SetCheck(int state) {
  if (m_State.SetCheck(state)) UncheckGroup();
  Refresh();
}

bool CSkinButton::OnButton(const wxPoint& client) const {
  if (!wxRect(GetClientSize()).Contains(client)) return false;
  return m_Region.IsEmpty() || m_Region.Contains(client) == wxInRegion;
}

wxRegion CSkinButton::CreateRgnFromBitmap(const wxBitmap& bitmap, const wxColour& transparent) {
  wxRegion region;
  if (!bitmap.IsOk()) return region;
  const wxImage image = bitmap.ConvertToImage();
  const unsigned char r = transparent.Red(), g = transparent.Green(), b = transparent.Blue();
  const auto rects = kx::RegionRectsFromMask(image.GetWidth(), image.GetHeight(), [&](int x, int y) {
    return image.GetRed(x, y) != r || image.GetGreen(x, y) != g || image.GetBlue(x, y) != b;
  });
  for (const kx::SkinRect& rect : rects)
    region.Union(wxRect(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top));
  return region;
}

const wxBitmap& CSkinButton::LookBitmap(kx::SkinLook look) const {
  switch (look) {
    case kx::SkinLook::Normal: return m_Normal;
    case kx::SkinLook::Down: return m_Down;
    case kx::SkinLook::Over: return m_Over;
    case kx::SkinLook::Disabled: return m_Disabled;
    case kx::SkinLook::Focus: return m_Focus;
    case kx::SkinLook::Face: break;
  }
  return wxNullBitmap;
}

void CSkinButton::OnPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  const wxRect item(GetClientSize());
  const bool focused = HasFocus();
  const kx::SkinPaint plan = m_State.Plan(
      {m_Normal.IsOk(), m_Down.IsOk(), m_Over.IsOk(), m_Disabled.IsOk(), m_Focus.IsOk()}, !IsEnabled(), focused);

  const wxBitmap& bitmap = LookBitmap(plan.look);
  if (bitmap.IsOk()) {
    DrawBitmap(dc, bitmap, item, m_State.DrawMode());
  } else {
    dc.SetBrush(wxBrush(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE)));
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.DrawRectangle(item);
  }
  if (plan.edge != kx::SkinEdge::None) DrawEdge(dc, item, plan.edge == kx::SkinEdge::Raised);

  wxRect caption = item;
  const int inset = m_State.Margin() + 2;
  caption.x += inset;
  caption.width -= 2 * inset;
  dc.SetFont(GetFont());
  dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
  if (plan.embossed) {
    dc.SetTextForeground(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNHIGHLIGHT));
    dc.DrawLabel(GetLabel(), caption, wxALIGN_CENTER);
    dc.SetTextForeground(wxSystemSettings::GetColour(wxSYS_COLOUR_GRAYTEXT));
    wxRect grey = caption;
    grey.Offset(-1, -1);
    dc.DrawLabel(GetLabel(), grey, wxALIGN_CENTER);
    return;
  }
  if (plan.captionShifted) caption.Offset(1, 1);
  if (plan.focusRect) {
    const int m = m_State.Margin();
    dc.SetPen(wxPen(m_TextColor, 1, wxPENSTYLE_DOT));
    dc.SetBrush(*wxTRANSPARENT_BRUSH);
    dc.DrawRectangle(wxRect(item).Deflate(m, m));
  }
  dc.SetTextForeground(m_TextColor);
  dc.DrawLabel(GetLabel(), caption, wxALIGN_CENTER);
}

void CSkinButton::DrawBitmap(wxDC& dc, const wxBitmap& bitmap, const wxRect& rect, int mode) {
  if (mode == 2) {
    TileBitmap(dc, bitmap, rect);
    return;
  }
  if (!bitmap.IsOk()) return;
  wxBitmap shown = mode == 1 ? Scaled(bitmap, rect.width, rect.height) : bitmap;
  if (m_Mask.IsOk()) {
    const wxBitmap mask = mode == 1 ? Scaled(m_Mask, rect.width, rect.height) : m_Mask;
    shown = Masked(shown, mask);
  }
  wxDCClipper clip(dc, rect);
  dc.DrawBitmap(shown, rect.GetTopLeft(), m_Mask.IsOk());
}

void CSkinButton::TileBitmap(wxDC& dc, const wxBitmap& bitmap, const wxRect& rect) {
  if (!bitmap.IsOk()) return;
  wxDCClipper clip(dc, rect);
  for (int y = rect.GetTop(); y <= rect.GetBottom(); y += bitmap.GetHeight())
    for (int x = rect.GetLeft(); x <= rect.GetRight(); x += bitmap.GetWidth()) dc.DrawBitmap(bitmap, x, y);
}

void CSkinButton::OnLeftDown(wxMouseEvent& event) {
  if (!OnButton(event.GetPosition())) return;  // outside the shape
  SetFocus();
  if (!HasCapture()) CaptureMouse();
  m_State.LeftDown();
  Refresh();
}

void CSkinButton::OnLeftUp(wxMouseEvent& event) {
  if (!m_State.Pressed()) return;
  const bool over = OnButton(event.GetPosition());
  if (HasCapture()) ReleaseMouse();
  bool radioOn = false;
  if (m_State.LeftUp(over, &radioOn)) Click(radioOn);
  Refresh();
}

void CSkinButton::OnMotion(wxMouseEvent& event) {
  const bool over = OnButton(event.GetPosition());
  if (m_State.Pressed() && HasCapture()) {
    if (m_State.TrackPressed(over)) Refresh();
    return;
  }
  if (over && m_State.Enter()) Refresh();
  if (!over && m_State.Leave()) Refresh();
  event.Skip();
}

void CSkinButton::OnLeave(wxMouseEvent& event) {
  if (m_State.Leave()) Refresh();
  event.Skip();
}

void CSkinButton::OnKillFocus(wxFocusEvent& event) {
  if (HasCapture()) {
    ReleaseMouse();
    m_State.ReleasePress();
  }
  Refresh();
  event.Skip();
}

void CSkinButton::OnCaptureLost(wxMouseCaptureLostEvent&) {
  m_State.ReleasePress();
  Refresh();
}

void CSkinButton::OnKeyDown(wxKeyEvent& event) {
  if (event.GetKeyCode() != WXK_SPACE) {
    event.Skip();
    return;
  }
  bool radioOn = false;
  m_State.Space(&radioOn);
  Click(radioOn);
  Refresh();
}

void CSkinButton::Click(bool radioOn) {
  if (radioOn) UncheckGroup();
  wxCommandEvent click(wxEVT_BUTTON, GetId());
  click.SetEventObject(this);
  click.SetInt(GetCheck());
  ProcessWindowEvent(click);
}

void CSkinButton::UncheckGroup() {
  wxWindow* parent = GetParent();
  if (parent == nullptr) return;
  std::vector<wxWindow*> siblings;
  std::vector<bool> starts;
  std::size_t self = 0;
  for (wxWindow* child : parent->GetChildren()) {
    if (child == this) self = siblings.size();
    auto* skin = dynamic_cast<CSkinButton*>(child);
    // Any other control closes a group of skin buttons.
    starts.push_back(skin == nullptr || skin->GroupStart());
    siblings.push_back(child);
  }
  for (std::size_t i : kx::GroupWalk(starts, self)) {
    auto* skin = dynamic_cast<CSkinButton*>(siblings[i]);
    if (skin == nullptr) continue;
    wxWeakRef<CSkinButton> target(skin);
    skin->CallAfter([target] {
      if (target && target->m_State.Uncheck()) target->Refresh();
    });
  }
}
