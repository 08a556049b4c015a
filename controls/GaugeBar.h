#pragma once
#include <wx/window.h>

// A progress bar in the theme's look that paints itself: a new value repaints
// the bar alone (a native bar's new value lays the whole page out again, and
// repaints every cell).
class CGaugeBar : public wxWindow {
 public:
  explicit CGaugeBar(wxWindow* parent);
  // Percent, 0 to 100.
  void SetValue(int value);
  int GetValue() const { return m_Value; }

 private:
  void OnPaint(wxPaintEvent& event);
  int m_Value = 0;
};
