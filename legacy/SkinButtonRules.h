// The state rules of the skin button, without a window: its kind, check,
// pressed and mouse-over states, which look it paints, the dialog-group walk
// of its radio buttons and the rectangles of the shape a mask bitmap cuts.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

namespace kx {

// Windows button style bits the kind is read from.
constexpr std::uint32_t BS_AUTOCHECKBOX = 0x3;
constexpr std::uint32_t BS_AUTORADIOBUTTON = 0x9;
constexpr std::uint32_t WS_GROUP = 0x00020000;

enum class SkinLook { Face, Normal, Down, Over, Disabled, Focus };
enum class SkinEdge { None, Raised, Sunken };

// Which bitmaps a skin holds.
struct SkinBitmaps {
  bool normal = false;
  bool down = false;
  bool over = false;
  bool disabled = false;
  bool focus = false;
};

// What one paint draws, in order: the look (or the button face), the edge,
// the focus rectangle and the caption.
struct SkinPaint {
  SkinLook look = SkinLook::Face;
  SkinEdge edge = SkinEdge::None;
  bool captionShifted = false;  // one pixel right and down (pressed look)
  bool embossed = false;        // disabled: highlight caption, grey one pixel up-left
  bool focusRect = false;
};

struct SkinRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  bool operator==(const SkinRect&) const = default;
};

class CSkinButtonState {
 public:
  static constexpr int kPush = 0;
  static constexpr int kCheckBox = 2;
  static constexpr int kRadio = 4;

  // The kind from the low byte of the Windows button style.
  static int KindFromStyle(std::uint32_t style);

  explicit CSkinButtonState(int kind = kPush) : m_Kind(kind) {}

  int Kind() const { return m_Kind; }
  bool Checked() const { return m_Check; }
  bool Pressed() const { return m_Pressed; }
  bool Pushed() const { return m_Pushed; }
  bool MouseOver() const { return m_MouseOver; }
  int DrawMode() const { return m_DrawMode; }
  int Border() const { return m_Border; }
  int Margin() const { return m_Margin; }

  // The draw mode is limited to 0..2, a negative margin counts as 0.
  void SetSkinArgs(std::int16_t drawMode, int border, std::int16_t margin);

  // BM_SETCHECK: true when a radio button has just been switched on, so the
  // caller unchecks the rest of its group. A push button stays unchecked.
  bool SetCheck(int state);
  // Another radio button of the group was switched on; true when this one changed.
  bool Uncheck();

  void LeftDown();
  // Release of the left button; `over` tells whether it came up over the
  // button. True when the release clicks it; a check box toggles and a radio
  // button checks (then *radioOn is set so the caller unchecks its group).
  bool LeftUp(bool over, bool* radioOn);
  // Space bar: as a release over the button.
  bool Space(bool* radioOn) { return LeftUp(true, radioOn); }
  // Mouse move while pressed: the pushed look follows the cursor. True when it changed.
  bool TrackPressed(bool over);
  // First move over the button: true when mouse over has just been set.
  bool Enter();
  // Leave notification: true when mouse over was set.
  bool Leave();
  // Focus lost or the press released from outside.
  void ReleasePress();

  SkinPaint Plan(const SkinBitmaps& has, bool disabled, bool focused) const;

 private:
  int m_Kind;
  bool m_Check = false;
  bool m_MouseOver = false;
  bool m_Pressed = false;
  bool m_Pushed = false;  // the pushed state the button shows (BM_GETSTATE 0x0004)
  int m_Border = 0;
  int m_DrawMode = 1;
  int m_Margin = 0;
};

// Forward walk of a dialog group: `groupStart` flags each sibling window in
// order (true where a new group begins); the items met from `self` on, wrapping
// at the group's end, until the walk comes back to `self`.
std::vector<std::size_t> GroupWalk(const std::vector<bool>& groupStart, std::size_t self);

// The shape a mask cuts: rows from the bottom up, left to right, one rectangle
// per run of opaque pixels, never continued into the next row.
std::vector<SkinRect> RegionRectsFromMask(int width, int height, const std::function<bool(int x, int y)>& opaque);

}  // namespace kx
