// The colour set of a status cell: text and background as 0x00BBGGRR values,
// both white until set. Setting them does not repaint.
#pragma once
#include <cstdint>

#include <wx/colour.h>

class CColorPair {
 public:
  CColorPair() = default;
  virtual ~CColorPair() = default;

  void SetColor(std::uint32_t textColor, std::uint32_t backColor) {
    m_TextColor = textColor;
    m_BackColor = backColor;
  }
  std::uint32_t TextColor() const { return m_TextColor; }
  std::uint32_t BackColor() const { return m_BackColor; }
  static wxColour ToColour(std::uint32_t bgr) { return wxColour(bgr & 0xFF, bgr >> 8 & 0xFF, bgr >> 16 & 0xFF); }

 private:
  std::uint32_t m_TextColor = 0x00FFFFFF;
  std::uint32_t m_BackColor = 0x00FFFFFF;
};
