#include "legacy/ControlRules.h"

namespace kx {

bool CHoverButtonState::MouseMove(bool over, bool held, bool active) {
  if (held && !m_bHovering) return false;  // a press that started elsewhere
  if (!m_bHoverEnabled) return false;
  if (over && (m_bHoverWhenInactive || active)) {
    if (m_bHovering) return false;
    m_bHovering = true;
    return true;
  }
  return EndHover();
}

bool CHoverButtonState::EndHover() {
  if (!m_bHoverEnabled || !m_bHovering) return false;
  m_bHovering = false;
  return true;
}

CHoverButtonState::Picture CHoverButtonState::Look(bool pressed) const {
  if (pressed) return Picture::Pressed;
  return m_bHovering ? Picture::Hover : Picture::Normal;
}

void CFlagList::Insert(std::size_t index) {
  if (index > m_aFlags.size()) index = m_aFlags.size();
  m_aFlags.insert(m_aFlags.begin() + static_cast<std::ptrdiff_t>(index), 0);
}

void CFlagList::Erase(std::size_t index) {
  if (index < m_aFlags.size()) m_aFlags.erase(m_aFlags.begin() + static_cast<std::ptrdiff_t>(index));
}

int CFlagList::SetFlag(std::size_t index, bool value, bool* changed) {
  const int previous = m_aFlags.at(index);
  const bool differs = (previous != 0) != value;
  if (differs) m_aFlags[index] = value ? 1 : 0;
  if (changed != nullptr) *changed = differs;
  return previous;
}

int ListItemAt(int topIndex, int y, int itemHeight, int itemCount) {
  if (itemHeight <= 0 || y < 0) return -1;
  const int index = topIndex + y / itemHeight;
  return index < itemCount ? index : -1;
}

}  // namespace kx
