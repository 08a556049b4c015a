// An owner-drawn push button, check box or radio button painted from bitmaps:
// normal, pressed, disabled, mouse-over and focused looks, and a mask that is
// white where the button is transparent. The mask also gives the button its
// shape: the pointer counts as over the button only inside the mask's region.
// Radio buttons of one group (siblings from one with WS_GROUP up to the next)
// uncheck each other by a posted call.
#pragma once
#include <cstdint>

#include <wx/bitmap.h>
#include <wx/control.h>
#include <wx/region.h>

#include "legacy/SkinButtonRules.h"

class CSkinButton : public wxControl {
 public:
  // `buttonStyle`: the Windows button style the kind is read from
  // (BS_AUTOCHECKBOX, BS_AUTORADIOBUTTON, else a push button; WS_GROUP starts a group).
  CSkinButton(wxWindow* parent, wxWindowID id, const wxString& caption, std::uint32_t buttonStyle = 0,
              const wxPoint& pos = wxDefaultPosition, const wxSize& size = wxDefaultSize);

  // Invalid bitmaps mean none; without a disabled bitmap the normal one serves.
  void SetSkin(const wxBitmap& normal, const wxBitmap& down, const wxBitmap& over, const wxBitmap& disabled,
               const wxBitmap& focus, const wxBitmap& mask, std::int16_t drawMode, std::int16_t border,
               std::int16_t margin);
  // Returns the previous caption colour.
  wxColour SetTextColor(const wxColour& colour);
  void SetToolTipText(const wxString& text) { SetToolTip(text); }
  int ReleasePress();
  void SetCheck(int state);
  int GetCheck() const { return m_State.Checked() ? 1 : 0; }

  // The region of the pixels that differ from `transparent`; empty without a bitmap.
  static wxRegion CreateRgnFromBitmap(const wxBitmap& bitmap, const wxColour& transparent);
  static int GetBitmapWidth(const wxBitmap& bitmap) { return bitmap.IsOk() ? bitmap.GetWidth() : 0; }
  static int GetBitmapHeight(const wxBitmap& bitmap) { return bitmap.IsOk() ? bitmap.GetHeight() : 0; }

  const kx::CSkinButtonState& State() const { return m_State; }
  const wxRegion& Shape() const { return m_Region; }
  bool GroupStart() const { return m_GroupStart; }
  // Whether a client point lies on the button (inside its shape when it has one).
  bool OnButton(const wxPoint& client) const;

 protected:
  wxSize DoGetBestSize() const override;

 private:
  void OnPaint(wxPaintEvent& event);
  void OnLeftDown(wxMouseEvent& event);
  void OnLeftUp(wxMouseEvent& event);
  void OnMotion(wxMouseEvent& event);
  void OnLeave(wxMouseEvent& event);
  void OnKillFocus(wxFocusEvent& event);
  void OnCaptureLost(wxMouseCaptureLostEvent& event);
  void OnKeyDown(wxKeyEvent& event);
  void Click(bool radioOn);
  void UncheckGroup();
  void DrawBitmap(wxDC& dc, const wxBitmap& bitmap, const wxRect& rect, int mode);
  void TileBitmap(wxDC& dc, const wxBitmap& bitmap, const wxRect& rect);
  const wxBitmap& LookBitmap(kx::SkinLook look) const;

  kx::CSkinButtonState m_State;
  bool m_GroupStart;
  wxBitmap m_Normal, m_Down, m_Disabled, m_Mask, m_Over, m_Focus;
  wxColour m_TextColor;
  // The shape last set; the window keeps it for hit tests, so it is only
  // replaced, never released while set.
  wxRegion m_Region;
};
