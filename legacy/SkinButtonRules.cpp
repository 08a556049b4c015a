#include "legacy/SkinButtonRules.h"

#include <algorithm>

namespace kx {

int CSkinButtonState::KindFromStyle(std::uint32_t style) {
  const std::uint32_t low = style & 0xFF;
  if ((low & 0x3) == 0x3) return kCheckBox;
  if ((low & 0x9) == 0x9) return kRadio;
  return kPush;
}

void CSkinButtonState::SetSkinArgs(std::int16_t drawMode, int border, std::int16_t margin) {
  m_DrawMode = std::clamp<int>(drawMode, 0, 2);
  m_Border = border;
  m_Margin = std::max<int>(margin, 0);
}

bool CSkinButtonState::SetCheck(int state) {
  const bool was = m_Check;
  m_Check = m_Kind != kPush && state != 0;
  return m_Kind == kRadio && m_Check && !was;
}

bool CSkinButtonState::Uncheck() {
  if (!m_Check) return false;
  m_Check = false;
  return true;
}

void CSkinButtonState::LeftDown() {
  m_MouseOver = false;
  m_Pressed = true;
  m_Pushed = true;
}

bool CSkinButtonState::LeftUp(bool over, bool* radioOn) {
  *radioOn = false;
  if (over && m_Kind == kCheckBox) SetCheck(!m_Check);
  if (over && m_Kind == kRadio) *radioOn = SetCheck(1);
  m_Pressed = false;
  m_Pushed = false;
  return over;
}

bool CSkinButtonState::TrackPressed(bool over) {
  if (!m_Pressed || over == m_Pushed) return false;
  m_Pushed = over;
  return true;
}

bool CSkinButtonState::Enter() {
  if (m_MouseOver || m_Pressed) return false;
  m_MouseOver = true;
  return true;
}

bool CSkinButtonState::Leave() {
  const bool was = m_MouseOver;
  m_MouseOver = false;
  return was;
}

void CSkinButtonState::ReleasePress() {
  m_Pressed = false;
  m_Pushed = false;
}

SkinPaint CSkinButtonState::Plan(const SkinBitmaps& has, bool disabled, bool focused) const {
  SkinPaint paint;
  const SkinEdge edge = m_Border != 0 ? SkinEdge::Raised : SkinEdge::None;
  if (disabled) {
    paint.look = has.disabled ? SkinLook::Disabled : SkinLook::Face;
    paint.edge = edge;
    paint.embossed = true;
    return paint;
  }
  if (m_Pushed || m_Check) {
    paint.look = has.down ? SkinLook::Down : SkinLook::Face;
    paint.captionShifted = true;
    paint.edge = m_Border != 0 ? SkinEdge::Sunken : SkinEdge::None;
  } else {
    if (!has.normal)
      paint.look = SkinLook::Face;
    else if (m_MouseOver && has.over)
      paint.look = SkinLook::Over;
    else if (focused && has.focus)
      paint.look = SkinLook::Focus;
    else
      paint.look = SkinLook::Normal;
    paint.edge = edge;
  }
  paint.focusRect = focused && m_Margin > 0;
  return paint;
}

std::vector<std::size_t> GroupWalk(const std::vector<bool>& groupStart, std::size_t self) {
  std::vector<std::size_t> met;
  if (self >= groupStart.size()) return met;
  std::size_t first = self;
  while (first > 0 && !groupStart[first]) --first;
  std::size_t end = self + 1;
  while (end < groupStart.size() && !groupStart[end]) ++end;
  for (std::size_t i = self + 1; i < end; ++i) met.push_back(i);
  for (std::size_t i = first; i < self; ++i) met.push_back(i);
  return met;
}

std::vector<SkinRect> RegionRectsFromMask(int width, int height, const std::function<bool(int x, int y)>& opaque) {
  std::vector<SkinRect> rects;
  for (int y = height - 1; y >= 0; --y) {
    int x = 0;
    while (x < width) {
      if (!opaque(x, y)) {
        ++x;
        continue;
      }
      const int start = x;
      while (x < width && opaque(x, y)) ++x;
      rects.push_back({start, y, x, y + 1});
    }
  }
  return rects;
}

}  // namespace kx
