// State rules of the hover button and the flag combo box, without windows.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kx {

class CHoverButtonState {
 public:
  enum class Picture { Normal, Hover, Pressed };

  bool Hovering() const { return m_bHovering; }
  void SetHoverEnabled(bool on) { m_bHoverEnabled = on; }
  void SetHoverWhenInactive(bool on) { m_bHoverWhenInactive = on; }

  // A pointer move: `over` the button, the left button `held`, a window of the
  // program `active`. True when the look changed.
  bool MouseMove(bool over, bool held, bool active);
  // Leave, focus lost, deactivation, cancel or disabling. True when the look changed.
  bool EndHover();
  Picture Look(bool pressed) const;

 private:
  bool m_bHoverEnabled = true;
  bool m_bHovering = false;
  bool m_bHoverWhenInactive = true;
};

// One check flag per item, kept in step with the items.
class CFlagList {
 public:
  void Insert(std::size_t index);  // an unchecked flag
  void Erase(std::size_t index);
  void Reset() { m_aFlags.clear(); }
  std::size_t Size() const { return m_aFlags.size(); }
  bool GetFlag(std::size_t index) const { return m_aFlags.at(index) != 0; }
  // The previous flag; `*changed` tells whether a repaint is due.
  int SetFlag(std::size_t index, bool value, bool* changed = nullptr);
  void Toggle(std::size_t index) { SetFlag(index, !GetFlag(index)); }

 private:
  std::vector<std::uint8_t> m_aFlags;
};

// The item a press at `y` in the open list falls on, or -1: item height 0
// means no item.
int ListItemAt(int topIndex, int y, int itemHeight, int itemCount);
// Width of the check area in front of an item's text.
inline int CheckAreaWidth(int textHeight, int externalLeading) { return textHeight + externalLeading + 6; }

}  // namespace kx
