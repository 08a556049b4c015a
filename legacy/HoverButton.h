// A push button painted from three bitmaps stretched over it (normal, pointer
// over it, pressed) with its caption centred on top. It lights up while the
// pointer is over it.
#pragma once
#include <wx/bitmap.h>
#include <wx/control.h>

#include "legacy/ControlRules.h"

class CHoverButton : public wxControl {
 public:
  CHoverButton(wxWindow* parent, wxWindowID id, const wxString& caption, const wxPoint& pos = wxDefaultPosition,
               const wxSize& size = wxDefaultSize);
  ~CHoverButton() override;

  // All three or none: when one is missing the button draws only its caption.
  void LoadBitmaps(const wxBitmap& normal, const wxBitmap& hover, const wxBitmap& pressed);
  void FreeBitmaps();
  void EndHover();
  bool Enable(bool enable = true) override;

  bool BitmapsLoaded() const { return m_bBitmapsLoaded; }
  bool Pressed() const { return m_bPressed; }
  const kx::CHoverButtonState& State() const { return m_State; }
  // The picture the next paint draws.
  kx::CHoverButtonState::Picture Look() const { return m_State.Look(m_bPressed); }
  // Paints the button as it shows now.
  void Render(wxDC& dc);

 private:
  void OnPaint(wxPaintEvent& event);
  void OnMotion(wxMouseEvent& event);
  void OnLeftDown(wxMouseEvent& event);
  void OnLeftUp(wxMouseEvent& event);
  void OnTopLevelActivate(wxActivateEvent& event);

  kx::CHoverButtonState m_State;
  bool m_bPressed = false;
  bool m_bBitmapsLoaded = false;
  wxBitmap m_Normal, m_Hover, m_PressedBitmap;
  wxWindow* m_TopLevel = nullptr;  // its deactivation ends the hover
};
