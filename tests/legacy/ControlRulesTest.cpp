#include "legacy/ControlRules.h"

#include <gtest/gtest.h>

namespace kx {
namespace {

TEST(HoverButtonRules, LightsOnceAndFallsBack) {
  CHoverButtonState state;
  EXPECT_TRUE(state.MouseMove(true, false, true));
  EXPECT_FALSE(state.MouseMove(true, false, true));  // no second repaint
  EXPECT_EQ(state.Look(false), CHoverButtonState::Picture::Hover);
  EXPECT_EQ(state.Look(true), CHoverButtonState::Picture::Pressed);
  EXPECT_TRUE(state.MouseMove(false, false, true));
  EXPECT_EQ(state.Look(false), CHoverButtonState::Picture::Normal);
  EXPECT_FALSE(state.EndHover());
}

TEST(HoverButtonRules, PressFromElsewhereAndInactiveRules) {
  CHoverButtonState state;
  EXPECT_FALSE(state.MouseMove(true, true, true));  // dragged onto it
  EXPECT_FALSE(state.Hovering());
  state.SetHoverWhenInactive(false);
  EXPECT_FALSE(state.MouseMove(true, false, false));
  EXPECT_TRUE(state.MouseMove(true, false, true));
  state.SetHoverEnabled(false);
  EXPECT_FALSE(state.EndHover());  // tracking off: nothing changes
}

TEST(FlagListRules, FlagsFollowTheItems) {
  CFlagList flags;
  for (int i = 0; i < 3; ++i) flags.Insert(flags.Size());
  flags.SetFlag(1, true);
  flags.SetFlag(2, true);
  flags.Insert(1);
  EXPECT_EQ(flags.Size(), 4u);
  EXPECT_FALSE(flags.GetFlag(1));
  EXPECT_TRUE(flags.GetFlag(2));
  EXPECT_TRUE(flags.GetFlag(3));
  flags.Erase(0);
  EXPECT_FALSE(flags.GetFlag(0));
  EXPECT_TRUE(flags.GetFlag(1));
  flags.Reset();
  EXPECT_EQ(flags.Size(), 0u);
}

TEST(FlagListRules, SetFlagReportsTheChange) {
  CFlagList flags;
  flags.Insert(0);
  bool changed = true;
  EXPECT_EQ(flags.SetFlag(0, false, &changed), 0);
  EXPECT_FALSE(changed);
  EXPECT_EQ(flags.SetFlag(0, true, &changed), 0);
  EXPECT_TRUE(changed);
  EXPECT_EQ(flags.SetFlag(0, true, &changed), 1);
  EXPECT_FALSE(changed);
}

TEST(FlagListRules, ListItemAt) {
  struct Row {
    int top, y, height, count, item;
  } rows[] = {{0, 0, 15, 3, 0}, {0, 44, 15, 3, 2}, {0, 45, 15, 3, -1}, {2, 16, 15, 5, 3}, {0, 10, 0, 3, -1}};
  for (const Row& row : rows) EXPECT_EQ(ListItemAt(row.top, row.y, row.height, row.count), row.item) << row.y;
}

}  // namespace
}  // namespace kx
