#include "legacy/SkinButtonRules.h"

#include <gtest/gtest.h>

#include <string>

namespace kx {
namespace {

TEST(SkinButtonRules, KindFromTheLowStyleByte) {
  struct Row {
    std::uint32_t style;
    int kind;
  } rows[] = {{0x0, 0}, {0xB, 2}, {0x3, 2}, {0x2, 0}, {0x9, 4}, {0x4, 0}, {0x109, 4}, {0x20003, 2}};
  for (const Row& row : rows) EXPECT_EQ(CSkinButtonState::KindFromStyle(row.style), row.kind) << row.style;
}

TEST(SkinButtonRules, DrawModeIsClampedAndANegativeMarginIsZero) {
  struct Row {
    std::int16_t mode, margin;
    int storedMode, storedMargin;
  } rows[] = {{5, 3, 2, 3}, {-1, -4, 0, 0}, {1, 0, 1, 0}};
  for (const Row& row : rows) {
    CSkinButtonState state;
    state.SetSkinArgs(row.mode, 1, row.margin);
    EXPECT_EQ(state.DrawMode(), row.storedMode) << row.mode;
    EXPECT_EQ(state.Margin(), row.storedMargin) << row.margin;
  }
}

TEST(SkinButtonRules, CheckBoxTogglesOnReleaseOverItAndOnSpaceOnly) {
  CSkinButtonState box(CSkinButtonState::kCheckBox);
  bool radio = false;
  box.LeftDown();
  EXPECT_TRUE(box.LeftUp(true, &radio));
  EXPECT_TRUE(box.Checked());
  box.LeftDown();
  EXPECT_FALSE(box.LeftUp(false, &radio));  // released outside
  EXPECT_TRUE(box.Checked());
  box.Space(&radio);
  EXPECT_FALSE(box.Checked());
  EXPECT_FALSE(radio);
}

TEST(SkinButtonRules, PushButtonIgnoresSetCheckAndRadioAsksForItsGroupOnce) {
  CSkinButtonState push;
  EXPECT_FALSE(push.SetCheck(1));
  EXPECT_FALSE(push.Checked());
  CSkinButtonState radio(CSkinButtonState::kRadio);
  bool radioOn = false;
  radio.LeftUp(true, &radioOn);
  EXPECT_TRUE(radioOn);
  radio.LeftUp(true, &radioOn);  // already on: nothing to uncheck
  EXPECT_FALSE(radioOn);
  EXPECT_TRUE(radio.Uncheck());
  EXPECT_FALSE(radio.Uncheck());
}

TEST(SkinButtonRules, PressedLookFollowsTheCursorWhileHeld) {
  CSkinButtonState state;
  state.LeftDown();
  EXPECT_TRUE(state.Pushed());
  EXPECT_TRUE(state.TrackPressed(false));
  EXPECT_FALSE(state.Pushed());
  EXPECT_FALSE(state.TrackPressed(false));
  EXPECT_TRUE(state.TrackPressed(true));
  EXPECT_TRUE(state.Pushed());
  state.ReleasePress();
  EXPECT_FALSE(state.TrackPressed(false));
}

TEST(SkinButtonRules, LookFallsBackAsTheBitmapsAllow) {
  const SkinBitmaps onlyNormal{true, false, false, true, false};  // disabled borrows the normal bitmap
  const SkinBitmaps all{true, true, true, true, true};
  struct Row {
    const char* name;
    SkinBitmaps has;
    bool hover, press, disabled, focused;
    SkinLook look;
    SkinEdge edge;
  } rows[] = {
      {"disabled with only normal", onlyNormal, false, false, true, false, SkinLook::Disabled, SkinEdge::Raised},
      {"disabled without any", SkinBitmaps{}, false, false, true, false, SkinLook::Face, SkinEdge::Raised},
      {"pressed without down", onlyNormal, false, true, false, false, SkinLook::Face, SkinEdge::Sunken},
      {"pressed", all, false, true, false, false, SkinLook::Down, SkinEdge::Sunken},
      {"over", all, true, false, false, true, SkinLook::Over, SkinEdge::Raised},
      {"over without over bitmap", onlyNormal, true, false, false, false, SkinLook::Normal, SkinEdge::Raised},
      {"focused", all, false, false, false, true, SkinLook::Focus, SkinEdge::Raised},
      {"no normal", SkinBitmaps{false, true, true, true, true}, true, false, false, true, SkinLook::Face,
       SkinEdge::Raised},
  };
  for (const Row& row : rows) {
    CSkinButtonState state;
    state.SetSkinArgs(0, 1, 2);
    if (row.hover) state.Enter();
    if (row.press) state.LeftDown();
    const SkinPaint plan = state.Plan(row.has, row.disabled, row.focused);
    EXPECT_EQ(plan.look, row.look) << row.name;
    EXPECT_EQ(plan.edge, row.edge) << row.name;
    EXPECT_EQ(plan.embossed, row.disabled) << row.name;
    EXPECT_EQ(plan.captionShifted, row.press) << row.name;
    EXPECT_EQ(plan.focusRect, row.focused && !row.disabled) << row.name;
  }
}

TEST(SkinButtonRules, CheckedLooksPressedWithoutABorderNoEdge) {
  CSkinButtonState box(CSkinButtonState::kCheckBox);
  box.SetSkinArgs(1, 0, 0);
  box.SetCheck(1);
  const SkinPaint plan = box.Plan({true, true, false, true, false}, false, true);
  EXPECT_EQ(plan.look, SkinLook::Down);
  EXPECT_EQ(plan.edge, SkinEdge::None);
  EXPECT_FALSE(plan.focusRect);  // margin 0
}

TEST(SkinButtonRules, GroupWalkWrapsInsideItsGroup) {
  //                  0     1      2      3     4      5
  const std::vector<bool> starts{true, false, false, true, false, false};
  EXPECT_EQ(GroupWalk(starts, 1), (std::vector<std::size_t>{2, 0}));
  EXPECT_EQ(GroupWalk(starts, 3), (std::vector<std::size_t>{4, 5}));
  EXPECT_EQ(GroupWalk(starts, 5), (std::vector<std::size_t>{3, 4}));
  EXPECT_EQ(GroupWalk({true}, 0), std::vector<std::size_t>{});
}

TEST(SkinButtonRules, MaskRowsBottomUpOneRectanglePerRun) {
  // '#' opaque. The last column's pixel of row 0 is a rectangle of its own and
  // does not run on into row 1.
  const std::string mask[] = {"..##.#", "#....."};
  const auto rects = RegionRectsFromMask(6, 2, [&](int x, int y) { return mask[y][x] == '#'; });
  EXPECT_EQ(rects, (std::vector<SkinRect>{{0, 1, 1, 2}, {2, 0, 4, 1}, {5, 0, 6, 1}}));
}

}  // namespace
}  // namespace kx
