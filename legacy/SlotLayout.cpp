#include "legacy/SlotLayout.h"

#include <algorithm>
#include <vector>

#include "device/Environment.h"
#include "device/Settings.h"

namespace legacy {

namespace {

template <std::size_t N>
std::array<int, kSlotSets> Ids(const int (&runs)[N][2]) {
  std::array<int, kSlotSets> ids{};
  std::size_t i = 0;
  for (const auto& run : runs)
    for (int id = run[0]; id <= run[1]; ++id) ids.at(i++) = id;
  return ids;
}

}  // namespace

const std::array<int, kSlotSets> kSlotCellIds = {
    1488, 1489, 1490, 1491, 1492, 1493, 1494, 1495, 1496, 1134, 1160, 1161, 1162, 1163, 1164, 1165,
    1166, 1497, 1498, 1167, 1168, 1169, 1170, 1171, 1172, 1173, 1174, 1499, 1500, 1175, 1176, 1177,
    1178, 1179, 1180, 1181, 1182, 1501, 1502, 1183, 1184, 1185, 1186, 1187, 1188, 1189, 1190, 1503};
const std::array<int, kSlotSets> kSlotBarIds =
    Ids({{1235, 1235}, {1237, 1237}, {1239, 1239}, {1241, 1241}, {1243, 1243}, {1245, 1287}});
const std::array<int, kSlotSets> kSlotMarkerIds =
    Ids({{1415, 1422}, {1412, 1412}, {1423, 1423}, {1413, 1414}, {1424, 1429}, {1431, 1460}});
const std::array<int, kSlotSets> kSlotViewerIds =
    Ids({{1399, 1402}, {1408, 1411}, {1288, 1291}, {1461, 1462}, {1292, 1295}, {1403, 1406}, {1463, 1464},
         {1407, 1407}, {1465, 1487}});

namespace {

// One row of slot sets: the cell's top and height, the bar's top, the marker line.
struct Row {
  int cellY, cellHeight, barY, markerY;
};

// A column's x, the cell (and bar) width and the viewer button's offset.
struct Column {
  int x, width, bx;
};

void Place(SlotLayout& layout, int slot, const Column& c, const Row& r) {
  SlotPlacement& p = layout.slots.at(static_cast<std::size_t>(slot - 1));
  p.placed = true;
  p.cell = {c.x, r.cellY, c.width, r.cellHeight};
  p.bar = {c.x, r.barY, c.width, 10};
  p.marker = {c.x, r.markerY, 20, 20};
  p.viewer = {c.x + c.bx, r.markerY, 20, 20};
}

void ShowFirst(SlotLayout& layout, int shown) {
  for (int i = 0; i < shown; ++i) layout.slots.at(static_cast<std::size_t>(i)).shown = true;
}

constexpr Row kFourRows[] = {{200, 60, 261, 178}, {300, 60, 361, 277}, {400, 60, 461, 378}, {500, 60, 561, 478}};
constexpr Row kTwoRows[] = {{210, 130, 340, 188}, {380, 130, 510, 360}};
constexpr Row kSingleRow = {250, 140, 390, 227};
constexpr Row kSingleTwoRows[] = {{210, 140, 350, 188}, {390, 140, 530, 370}};

// Four-row columns by column count 4 to 12: X0, DX, width, BX.
struct Columns {
  int x0, dx, width, bx;
};
constexpr Columns kFourRowColumns[] = {{665, 200, 140, 120}, {690, 160, 120, 100}, {700, 130, 100, 80},
                                       {735, 115, 90, 70},   {735, 100, 80, 60},   {750, 90, 80, 60},
                                       {745, 78, 70, 40},    {765, 73, 70, 40},    {785, 71, 70, 40}};
// Two-row columns by column count 5 to 8.
constexpr Columns kTwoRowColumns[] = {{690, 160, 120, 100}, {700, 130, 100, 80}, {735, 115, 90, 70}, {740, 100, 80, 60}};

int Clamp(int slotCount) { return std::min(slotCount, kSlotSets); }

int CeilDiv(int n, int d) { return (n + d - 1) / d; }

// Right-to-left single-row family: `perRow` slots a row, `rows` rows.
void PlaceRowsRightToLeft(SlotLayout& layout, int perRow, const Row* rows, int rowCount, int x0, int dx, int height) {
  for (int r = 0; r < rowCount; ++r) {
    Row row = rows[r];
    row.cellHeight = height;
    for (int k = 0; k < perRow; ++k) Place(layout, r * perRow + k + 1, {x0 - k * dx, 140, 120}, row);
  }
}

}  // namespace

SlotLayout LayoutSlots(int slotCount) {
  SlotLayout layout;
  layout.slotCount = slotCount;
  const int n = Clamp(slotCount);
  if (n <= 0) return layout;
  if (n <= 8) {
    if (n <= 4) {
      PlaceRowsRightToLeft(layout, 4, &kSingleRow, 1, 665, 200, 140);
      ShowFirst(layout, 4);
    } else if (n <= 6) {
      PlaceRowsRightToLeft(layout, 3, kSingleTwoRows, 2, 650, 290, 140);
      ShowFirst(layout, 6);
    } else {
      PlaceRowsRightToLeft(layout, 4, kSingleTwoRows, 2, 680, 210, 140);
      ShowFirst(layout, 8);
    }
    return layout;
  }
  if (n <= 15) {
    const int c = CeilDiv(n, 2);
    const Columns& cols = kTwoRowColumns[c - 5];
    for (int slot = 1; slot <= 24; ++slot) {
      const int k = (slot - 1) / 2;
      Place(layout, slot, {cols.x0 - k * cols.dx, cols.width, cols.bx}, kTwoRows[(slot - 1) % 2]);
    }
    ShowFirst(layout, 2 * c);
    return layout;
  }
  const int c = CeilDiv(n, 4);
  const Columns& cols = kFourRowColumns[c - 4];
  for (int slot = 1; slot <= kSlotSets; ++slot) {
    const int k = (slot - 1) / 4;
    Place(layout, slot, {cols.x0 - k * cols.dx, cols.width, cols.bx}, kFourRows[(slot - 1) % 4]);
  }
  ShowFirst(layout, 4 * c);
  return layout;
}

SlotLayout LayoutEightSlots() {
  SlotLayout layout;
  layout.slotCount = 8;
  constexpr Row rows[] = {{190, 130, 320, 168}, {380, 130, 510, 360}};
  PlaceRowsRightToLeft(layout, 4, rows, 2, 665, 200, 130);
  ShowFirst(layout, 8);
  return layout;
}

SlotLayout LayoutSlotsLeftToRight(int slotCount) {
  SlotLayout layout;
  layout.slotCount = slotCount;
  const int n = Clamp(slotCount);
  if (n <= 0) return layout;
  // DX, width and BX by column count 3 to 12; leftmost x by family.
  auto columns = [](int c) { return c == 3 ? Columns{0, 200, 140, 120} : kFourRowColumns[c - 4]; };
  if (n <= 4) {
    for (int k = 0; k < 4; ++k) Place(layout, k + 1, {60 + k * 200, 140, 120}, kSingleRow);
    ShowFirst(layout, 4);
    return layout;
  }
  if (n <= 15) {
    // Two rows of eight columns have no leftmost x of their own: the eight-column one is used.
    constexpr int kTwoRowLeft[] = {155, 55, 53, 57, 40, 43};
    const int c = CeilDiv(n, 2);
    const Columns cols = columns(c);
    const int xl = kTwoRowLeft[c - 3];
    for (int slot = 1; slot <= 2 * c; ++slot) {
      const int k = (slot - 1) / 2;
      Place(layout, slot, {xl + k * cols.dx, cols.width, cols.bx}, kTwoRows[(slot - 1) % 2]);
    }
    ShowFirst(layout, 2 * c);
    return layout;
  }
  constexpr int kFourRowLeft[] = {60, 52, 55, 45, 43, 33, 47, 33, 7};
  const int c = CeilDiv(n, 4);
  const Columns cols = columns(c);
  for (int slot = 1; slot <= 4 * c; ++slot) {
    const int k = (slot - 1) / 4;
    Place(layout, slot, {kFourRowLeft[c - 4] + k * cols.dx, cols.width, cols.bx}, kFourRows[(slot - 1) % 4]);
  }
  ShowFirst(layout, 4 * c);
  return layout;
}

int SlotOfViewerButton(int id) {
  const auto it = std::find(kSlotViewerIds.begin(), kSlotViewerIds.end(), id);
  return it == kSlotViewerIds.end() ? 0 : static_cast<int>(it - kSlotViewerIds.begin()) + 1;
}

// ---- report names -------------------------------------------------------------------

std::string ReportPcIdentity(const std::string& macValue, const std::string& computerName) {
  const std::string mac = kx::TrimBlanks(macValue.substr(0, 19));
  return mac.empty() ? computerName.substr(0, 15) : mac;
}

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsAbsolute(const std::string& path) {
  return (path.size() >= 2 && path[1] == ':') || (!path.empty() && IsSeparator(path[0]));
}

// Appends the parts of `path` to `out`, dropping "." parts and empty ones.
void AppendParts(std::string& out, const std::string& path) {
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t j = i;
    while (j < path.size() && !IsSeparator(path[j])) ++j;
    const std::string part = path.substr(i, j - i);
    if (!part.empty() && part != ".") {
      if (!out.empty() && !IsSeparator(out.back())) out += '\\';
      out += part;
    }
    i = j + 1;
  }
}

// The root kept as given ("D:\\", "\\", "\\\\" of a share), then the parts.
std::string Normalised(const std::string& path) {
  const std::size_t drive = path.size() >= 2 && path[1] == ':' ? 2 : 0;
  std::size_t end = drive;
  while (end < path.size() && IsSeparator(path[end])) ++end;
  std::string out = path.substr(0, drive);
  if (end > drive) out += drive == 0 && end - drive >= 2 ? "\\\\" : "\\";
  AppendParts(out, path.substr(end));
  return out;
}

}  // namespace

SlotReport MakeSlotReport(const std::string& logFolder, const std::string& pcId, const std::string& programFolder,
                          int slot) {
  const std::string reportFolder = logFolder + "\\D_Reports\\";
  SlotReport report;
  report.file = reportFolder + pcId + "_" + std::to_string(slot) + "_Report.txt";
  std::string folder =
      Normalised(IsAbsolute(logFolder) ? reportFolder : programFolder + "\\" + reportFolder);
  if (folder.empty() || !IsSeparator(folder.back())) folder += '\\';
  report.folder = folder;
  return report;
}

SlotReport ReadSlotReport(const std::string& logFolder, int slot) {
  const std::string mac = kx::ReadProfileText("PC Info", "MAC_Address", ".\\PC_MAC_Address.txt", 20);
  const std::string program = kx::ModuleFileName();
  const std::size_t cut = program.find_last_of("\\/");
  const std::string programFolder = cut == std::string::npos ? std::string() : program.substr(0, cut + 1);
  return MakeSlotReport(logFolder, ReportPcIdentity(mac, kx::ComputerNameText()), programFolder, slot);
}

}  // namespace legacy
