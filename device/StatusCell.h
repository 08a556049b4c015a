// The port's status cell as the device sees it. The production page's colour
// cell implements it; the device only sets its look and text.
#pragma once
#include <cstdint>
#include <string>

class IStatusCell {
 public:
  virtual ~IStatusCell() = default;
  virtual void SetFontSize(int height, int width) = 0;
  // Colours as 0x00BBGGRR values.
  virtual void SetColor(std::uint32_t textColor, std::uint32_t backColor) = 0;
  virtual void SetWindowText(const std::string& text) = 0;
  // Redraw with background erase.
  virtual void Redraw() = 0;
};
