// The port's colour status cell: shows what the port's StatusCellModel holds
// (text, colours, text size). Workers write the model; the window thread calls
// ShowModel(), which repaints only when something the cell shows changed.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Domain headers before the window system's, whose C headers define TRUE and FALSE.
#include "device/StatusCell.h"

#include <wx/dc.h>
#include <wx/font.h>
#include <wx/window.h>

#include "controls/ColorPair.h"

// Where a cell's text breaks into lines: at each line feed, and where a line
// grows wider than `width`, preferably after a '*' or a blank. extents(line)
// gives the width of each prefix of the line (element i: its first i+1
// characters), as wxDC::GetPartialTextExtents does.
std::vector<wxString> WrapCellText(const wxString& text, int width,
                                   const std::function<std::vector<int>(const wxString&)>& extents);

class CColorEdit : public wxWindow {
 public:
  // display turns the model's bytes into display text (the language's code page).
  CColorEdit(wxWindow* parent, kx::StatusCellModel* model, std::function<std::string(const std::string&)> display = {});

  // Takes the model's state; true when the cell's look changed since the last call.
  bool ShowModel();
  const kx::StatusCellState& Shown() const { return m_Shown; }
  CColorPair& Colors() { return m_Colors; }
  // Paints and changes of look so far; for the tests that check a cell is not
  // repainted needlessly.
  int Paints() const { return m_Paints; }
  int Looks() const { return m_Looks; }
  // Whether the last paint had room for every line of the text.
  bool TextFits() const { return m_Fits; }

  // The texts the per-port result dialog shows.
  std::string GetStateText() const { return m_Model->GetStateText(); }
  std::string GetErrorCode() const { return m_Model->GetErrorCode(); }
  std::string GetErrorMessage() const { return m_Model->GetErrorMessage(); }

 private:
  void OnPaint(wxPaintEvent& event);
  void Wrap(wxDC& dc, const wxSize& size, int height);
  std::string Display(const std::string& bytes) const { return m_Display ? m_Display(bytes) : bytes; }
  kx::StatusCellModel* m_Model;
  std::function<std::string(const std::string&)> m_Display;
  CColorPair m_Colors;
  kx::StatusCellState m_Shown;
  bool m_HasShown = false;
  int m_FontHeight;  // [General Info] ColorEditTextH, default 20
  int m_FontWidth;   // [General Info] ColorEditTextW, default 9
  // What the last paint drew, kept while text, width and font stay.
  wxString m_Text;
  wxFont m_Font;
  int m_FontAsked = 0;
  int m_FontHeightShown = 0;
  int m_LineHeight = 0;
  int m_WrapWidth = -1;
  int m_WrapHeight = -1;
  std::vector<wxString> m_Lines;
  std::vector<int> m_LineWidths;
  int m_Paints = 0;
  int m_Looks = 0;
  bool m_Fits = true;
};
