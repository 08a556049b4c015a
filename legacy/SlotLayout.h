// Where the legacy page's 48 slot control sets go for a slot count, which
// viewer button opens which slot, and the names of a slot's report.
#pragma once
#include <array>
#include <string>

namespace legacy {

constexpr int kSlotSets = 48;

// Control identifiers of slot n at index n - 1.
extern const std::array<int, kSlotSets> kSlotCellIds;
extern const std::array<int, kSlotSets> kSlotBarIds;
extern const std::array<int, kSlotSets> kSlotMarkerIds;
extern const std::array<int, kSlotSets> kSlotViewerIds;

struct PixelRect {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const PixelRect&) const = default;
};

// One slot's controls in page client pixels. `placed` is false for a set the
// layout leaves where it was; `shown` says whether the set is visible.
struct SlotPlacement {
  bool placed = false;
  bool shown = false;
  PixelRect cell, bar, marker, viewer;
};

struct SlotLayout {
  int slotCount = 0;  // what the page stores as its slot count
  std::array<SlotPlacement, kSlotSets> slots{};
};

// Slot 1 top right, columns right to left. Counts above 48 lay out 48; 0 or
// less hides every set.
SlotLayout LayoutSlots(int slotCount);
// Two rows of four 140 x 130 cells, whatever the parameter file says.
SlotLayout LayoutEightSlots();
// Slot 1 in the leftmost column; 15 slots take the eight-column values.
SlotLayout LayoutSlotsLeftToRight(int slotCount);

// The slot a viewer button opens, 0 for any other identifier.
int SlotOfViewerButton(int id);

struct SlotReport {
  std::string file;    // <log folder>\D_Reports\<PC>_<slot>_Report.txt
  std::string folder;  // the D_Reports folder as an absolute path
};

// The PC identity of report names: the trimmed MAC_Address value (cut to 19
// characters), or the computer name when that is empty.
std::string ReportPcIdentity(const std::string& macValue, const std::string& computerName);
// `programFolder` ends with its separator. A relative log folder is taken
// from the program folder; "." parts and doubled separators are dropped.
SlotReport MakeSlotReport(const std::string& logFolder, const std::string& pcId, const std::string& programFolder,
                          int slot);
// The same from the program's own files: .\PC_MAC_Address.txt, the computer
// name and the running program's folder.
SlotReport ReadSlotReport(const std::string& logFolder, int slot);

}  // namespace legacy
