// Slot layout geometry, viewer buttons and report names of the legacy page.
#include <gtest/gtest.h>

#include <set>

#include "legacy/SlotLayout.h"

namespace {

using legacy::PixelRect;
using legacy::SlotLayout;

int ShownCount(const SlotLayout& layout) {
  int shown = 0;
  for (const auto& s : layout.slots) shown += s.shown ? 1 : 0;
  return shown;
}

const legacy::SlotPlacement& Slot(const SlotLayout& layout, int slot) {
  return layout.slots.at(static_cast<std::size_t>(slot - 1));
}

TEST(SlotLayout, ShownSetsBySlotCount) {
  const struct {
    int count, shown, stored;
  } rows[] = {{3, 4, 3},   {7, 8, 7},   {8, 8, 8},   {9, 10, 9},  {16, 16, 16}, {17, 20, 17},
              {24, 24, 24}, {48, 48, 48}, {0, 0, 0},  {-1, 0, -1}, {60, 48, 60}};
  for (const auto& r : rows) {
    const SlotLayout layout = legacy::LayoutSlots(r.count);
    EXPECT_EQ(ShownCount(layout), r.shown) << r.count;
    EXPECT_EQ(layout.slotCount, r.stored) << r.count;
    // Shown sets are always slots 1 to S.
    if (r.shown > 0) {
      EXPECT_TRUE(Slot(layout, r.shown).shown) << r.count;
    }
  }
}

TEST(SlotLayout, CellsOfSelectedSlots) {
  const struct {
    int count, slot;
    PixelRect cell;
  } rows[] = {
      {3, 1, {665, 250, 140, 140}},  {3, 4, {65, 250, 140, 140}},   {8, 1, {680, 210, 140, 140}},
      {8, 5, {680, 390, 140, 140}},  {8, 8, {50, 390, 140, 140}},   {6, 4, {650, 390, 140, 140}},
      {9, 2, {690, 380, 120, 130}},  {9, 9, {50, 210, 120, 130}},   {15, 16, {40, 380, 80, 130}},
      {16, 16, {65, 500, 140, 60}},  {24, 1, {700, 200, 100, 60}},  {24, 24, {50, 500, 100, 60}},
      {48, 48, {4, 500, 70, 60}},    {48, 1, {785, 200, 70, 60}},   {17, 6, {530, 300, 120, 60}},
  };
  for (const auto& r : rows)
    EXPECT_EQ(Slot(legacy::LayoutSlots(r.count), r.slot).cell, r.cell) << r.count << " slot " << r.slot;
}

TEST(SlotLayout, BarMarkerAndViewerFollowTheCell) {
  const SlotLayout layout = legacy::LayoutSlots(24);
  const auto& s = Slot(layout, 6);  // column 1, row 2
  EXPECT_EQ(s.bar, (PixelRect{570, 361, 100, 10}));
  EXPECT_EQ(s.marker, (PixelRect{570, 277, 20, 20}));
  EXPECT_EQ(s.viewer, (PixelRect{650, 277, 20, 20}));
}

TEST(SlotLayout, WhichSetsArePlaced) {
  // Four rows place all 48 (the unshown ones off the page), two rows 24,
  // one row only the shown ones.
  const struct {
    int count, slot;
    bool placed, shown;
  } rows[] = {{16, 48, true, false}, {9, 24, true, false}, {9, 25, false, false}, {3, 5, false, false}, {0, 1, false, false}};
  for (const auto& r : rows) {
    const SlotLayout layout = legacy::LayoutSlots(r.count);
    EXPECT_EQ(Slot(layout, r.slot).placed, r.placed) << r.count << " slot " << r.slot;
    EXPECT_EQ(Slot(layout, r.slot).shown, r.shown) << r.count << " slot " << r.slot;
  }
}

TEST(SlotLayout, EightSlotsVariant) {
  const SlotLayout layout = legacy::LayoutEightSlots();
  EXPECT_EQ(layout.slotCount, 8);
  EXPECT_EQ(ShownCount(layout), 8);
  EXPECT_EQ(Slot(layout, 1).cell, (PixelRect{665, 190, 140, 130}));
  EXPECT_EQ(Slot(layout, 8).cell, (PixelRect{65, 380, 140, 130}));
  EXPECT_EQ(Slot(layout, 8).bar, (PixelRect{65, 510, 140, 10}));
  EXPECT_EQ(Slot(layout, 5).marker, (PixelRect{665, 360, 20, 20}));
}

TEST(SlotLayout, LeftToRightVariant) {
  const struct {
    int count, slot, shown;
    PixelRect cell;
  } rows[] = {
      {2, 1, 4, {60, 250, 140, 140}},   {2, 4, 4, {660, 250, 140, 140}},  {5, 1, 6, {155, 210, 140, 130}},
      {5, 2, 6, {155, 380, 140, 130}},  {8, 3, 8, {255, 210, 140, 130}},  {15, 15, 16, {743, 210, 80, 130}},
      {14, 1, 14, {40, 210, 90, 130}},  {16, 5, 16, {260, 200, 140, 60}}, {48, 48, 48, {788, 500, 70, 60}},
      {60, 1, 48, {7, 200, 70, 60}},
  };
  for (const auto& r : rows) {
    const SlotLayout layout = legacy::LayoutSlotsLeftToRight(r.count);
    EXPECT_EQ(Slot(layout, r.slot).cell, r.cell) << r.count << " slot " << r.slot;
    EXPECT_EQ(ShownCount(layout), r.shown) << r.count;
  }
  EXPECT_EQ(ShownCount(legacy::LayoutSlotsLeftToRight(-3)), 0);
}

TEST(SlotLayout, ViewerButtonsOpenTheirSlot) {
  const struct {
    int id, slot;
  } rows[] = {{1399, 1}, {1288, 9}, {1461, 13}, {1407, 25}, {1465, 26}, {1487, 48}, {1296, 0}, {1398, 0}};
  for (const auto& r : rows) EXPECT_EQ(legacy::SlotOfViewerButton(r.id), r.slot) << r.id;
}

TEST(SlotLayout, ControlTablesHoldFortyEightDistinctIds) {
  std::set<int> all;
  for (const auto* ids : {&legacy::kSlotCellIds, &legacy::kSlotBarIds, &legacy::kSlotMarkerIds, &legacy::kSlotViewerIds})
    all.insert(ids->begin(), ids->end());
  EXPECT_EQ(all.size(), 4u * 48u);
  EXPECT_EQ(all.count(0), 0u);
  EXPECT_EQ(legacy::kSlotMarkerIds[8], 1412);
  EXPECT_EQ(legacy::kSlotMarkerIds.back(), 1460);
  EXPECT_EQ(legacy::kSlotBarIds[5], 1245);
}

TEST(SlotReport, PcIdentity) {
  EXPECT_EQ(legacy::ReportPcIdentity("  00-11-22-33-44-55 ", "BENCH"), "00-11-22-33-44-55");
  EXPECT_EQ(legacy::ReportPcIdentity("   ", "BENCH"), "BENCH");
  EXPECT_EQ(legacy::ReportPcIdentity("", "A-VERY-LONG-COMPUTER"), "A-VERY-LONG-COM");
}

TEST(SlotReport, FileAndFolder) {
  const struct {
    const char *log, *file, *folder;
  } rows[] = {
      {".\\Logs\\01", ".\\Logs\\01\\D_Reports\\BENCH_5_Report.txt", "C:\\kx\\Logs\\01\\D_Reports\\"},
      {"Logs", "Logs\\D_Reports\\BENCH_5_Report.txt", "C:\\kx\\Logs\\D_Reports\\"},
      {"D:\\Log\\\\W01", "D:\\Log\\\\W01\\D_Reports\\BENCH_5_Report.txt", "D:\\Log\\W01\\D_Reports\\"},
      {"\\\\srv\\logs", "\\\\srv\\logs\\D_Reports\\BENCH_5_Report.txt", "\\\\srv\\logs\\D_Reports\\"},
  };
  for (const auto& r : rows) {
    const legacy::SlotReport report = legacy::MakeSlotReport(r.log, "BENCH", "C:\\kx\\", 5);
    EXPECT_EQ(report.file, r.file) << r.log;
    EXPECT_EQ(report.folder, r.folder) << r.log;
  }
}

}  // namespace
