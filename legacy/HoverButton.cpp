#include "legacy/HoverButton.h"

#include <wx/app.h>
#include <wx/dcbuffer.h>
#include <wx/settings.h>
#include <wx/toplevel.h>

CHoverButton::CHoverButton(wxWindow* parent, wxWindowID id, const wxString& caption, const wxPoint& pos,
                           const wxSize& size)
    : wxControl(parent, id, pos, size, wxBORDER_NONE) {
  SetLabel(caption);
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  Bind(wxEVT_PAINT, &CHoverButton::OnPaint, this);
  Bind(wxEVT_MOTION, &CHoverButton::OnMotion, this);
  Bind(wxEVT_LEFT_DOWN, &CHoverButton::OnLeftDown, this);
  Bind(wxEVT_LEFT_DCLICK, &CHoverButton::OnLeftDown, this);
  Bind(wxEVT_LEFT_UP, &CHoverButton::OnLeftUp, this);
  Bind(wxEVT_LEAVE_WINDOW, [this](wxMouseEvent& event) {
    EndHover();
    event.Skip();
  });
  Bind(wxEVT_KILL_FOCUS, [this](wxFocusEvent& event) {
    EndHover();
    event.Skip();
  });
  Bind(wxEVT_MOUSE_CAPTURE_LOST, [this](wxMouseCaptureLostEvent&) {
    m_bPressed = false;
    EndHover();
  });
  if (size == wxDefaultSize) SetInitialSize(GetTextExtent(caption) + wxSize(16, 10));
  // Activation goes to the top-level window, not to the button.
  m_TopLevel = wxGetTopLevelParent(this);
  if (m_TopLevel == this) m_TopLevel = nullptr;
  if (m_TopLevel != nullptr) m_TopLevel->Bind(wxEVT_ACTIVATE, &CHoverButton::OnTopLevelActivate, this);
}

CHoverButton::~CHoverButton() {
  if (m_TopLevel != nullptr) m_TopLevel->Unbind(wxEVT_ACTIVATE, &CHoverButton::OnTopLevelActivate, this);
}

void CHoverButton::OnTopLevelActivate(wxActivateEvent& event) {
  if (!event.GetActive()) EndHover();
  event.Skip();
}

void CHoverButton::LoadBitmaps(const wxBitmap& normal, const wxBitmap& hover, const wxBitmap& pressed) {
  FreeBitmaps();
  if (!normal.IsOk() || !hover.IsOk() || !pressed.IsOk()) return;
  m_Normal = normal;
  m_Hover = hover;
  m_PressedBitmap = pressed;
  m_bBitmapsLoaded = true;
  Refresh();
}

void CHoverButton::FreeBitmaps() {
  m_Normal = m_Hover = m_PressedBitmap = wxBitmap();
  m_bBitmapsLoaded = false;
}

void CHoverButton::EndHover() {
  if (m_State.EndHover()) Refresh();
}

bool CHoverButton::Enable(bool enable) {
  if (!enable && HasFocus() && GetParent() != nullptr) {
    // The focus goes on to the next tab stop, or to the parent when there is none.
    wxWindow* next = nullptr;
    const wxWindowList& siblings = GetParent()->GetChildren();
    for (auto it = siblings.Find(this); it != nullptr && next == nullptr; it = it->GetNext()) {
      wxWindow* w = it->GetData();
      if (w != this && w->IsShown() && w->IsEnabled() && w->AcceptsFocusFromKeyboard()) next = w;
    }
    if (next != nullptr)
      next->SetFocus();
    else
      GetParent()->SetFocus();
  }
  const bool changed = wxControl::Enable(enable);
  if (!enable) EndHover();
  return changed;
}

void CHoverButton::OnPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  Render(dc);
}

void CHoverButton::Render(wxDC& dc) {
  const wxSize client = GetClientSize();
  dc.SetBackground(wxBrush(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE)));
  dc.Clear();
  if (m_bBitmapsLoaded) {
    const wxBitmap& picture = Look() == kx::CHoverButtonState::Picture::Pressed ? m_PressedBitmap
                              : Look() == kx::CHoverButtonState::Picture::Hover ? m_Hover
                                                                                 : m_Normal;
    dc.DrawBitmap(wxBitmap(picture.ConvertToImage().Scale(std::max(client.x, 1), std::max(client.y, 1))), 0, 0);
  }
  const wxString text = GetLabel();
  if (text.empty()) return;
  dc.SetFont(GetFont());
  const wxSize extent = dc.GetTextExtent(text);
  wxPoint corner(client.x / 2 - extent.x / 2, client.y / 2 - extent.y / 2);
  if (m_bPressed) corner += wxPoint(1, 1);
  if (!IsEnabled()) {
    dc.SetTextForeground(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNHIGHLIGHT));
    dc.DrawText(text, corner + wxPoint(1, 1));
    dc.SetTextForeground(wxSystemSettings::GetColour(wxSYS_COLOUR_GRAYTEXT));
  } else {
    dc.SetTextForeground(GetForegroundColour());
  }
  dc.DrawText(text, corner);
}

void CHoverButton::OnMotion(wxMouseEvent& event) {
  const bool over = wxRect(GetClientSize()).Contains(event.GetPosition());
  const bool active = wxTheApp != nullptr && wxTheApp->IsActive();
  if (m_bPressed && HasCapture()) {
    event.Skip();
    return;
  }
  if (m_State.MouseMove(over, event.LeftIsDown(), active)) Refresh();
  event.Skip();
}

void CHoverButton::OnLeftDown(wxMouseEvent&) {
  SetFocus();
  if (!HasCapture()) CaptureMouse();
  m_bPressed = true;
  Refresh();
}

void CHoverButton::OnLeftUp(wxMouseEvent& event) {
  if (!m_bPressed) return;
  if (HasCapture()) ReleaseMouse();
  m_bPressed = false;
  Refresh();
  if (wxRect(GetClientSize()).Contains(event.GetPosition())) {
    wxCommandEvent click(wxEVT_BUTTON, GetId());
    click.SetEventObject(this);
    ProcessWindowEvent(click);
  }
}
