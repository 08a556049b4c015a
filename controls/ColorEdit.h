// The port's colour status cell: shows what the port's StatusCellModel holds
// (text, colours, text size). Workers write the model; the window thread calls
// ShowModel(), which repaints only when the model changed.
#pragma once
#include <functional>
#include <string>

// Domain headers before the window system's, whose C headers define TRUE and FALSE.
#include "device/StatusCell.h"

#include <wx/window.h>

#include "controls/ColorPair.h"

class CColorEdit : public wxWindow {
 public:
  // display turns the model's bytes into display text (the language's code page).
  CColorEdit(wxWindow* parent, kx::StatusCellModel* model, std::function<std::string(const std::string&)> display = {});

  // Takes the model's state; true when it changed since the last call.
  bool ShowModel();
  const kx::StatusCellState& Shown() const { return m_Shown; }
  CColorPair& Colors() { return m_Colors; }

  // The texts the per-port result dialog shows.
  std::string GetStateText() const { return m_Model->GetStateText(); }
  std::string GetErrorCode() const { return m_Model->GetErrorCode(); }
  std::string GetErrorMessage() const { return m_Model->GetErrorMessage(); }

 private:
  void OnPaint(wxPaintEvent& event);
  kx::StatusCellModel* m_Model;
  std::function<std::string(const std::string&)> m_Display;
  CColorPair m_Colors;
  kx::StatusCellState m_Shown;
  bool m_HasShown = false;
  int m_FontHeight;  // [General Info] ColorEditTextH, default 20
  int m_FontWidth;   // [General Info] ColorEditTextW, default 9
};
