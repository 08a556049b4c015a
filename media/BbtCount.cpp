// Bad-block table decoding and counting: the walkers of media/BbtCount.h and the
// CPortDevice methods that run them over the device's table (m_BbtBuffer) with
// the device's CE map, dies and channels. They send no command, so no emulator
// file answers them; the table they read comes from media/BbtTable.cpp.
#include "media/BbtCount.h"

#include <algorithm>
#include <limits>
#include <type_traits>

#include "device/PortDevice.h"

namespace kx {
namespace {

using bbtparam::kAbsentCe;

// A record read from a drive has nonzero divisors; one that does not is empty.
bool UsableShape(const BbtParameter& p) {
  if (p.ChannelModulus() == 0 || p.DiesPerGroup() == 0 || p.ColumnCount() == 0 || p.PlaneCount() == 0) return false;
  if (p.DieFold() == 0) return true;
  return p.FoldDivisor() != 0 && p.ColumnCount() / p.FoldDivisor() != 0;
}

// Rows whose visited entries all lie within the table.
std::uint32_t RowsInTable(const DieEntries& d, std::size_t size) {
  const std::uint64_t last = d.firstIndex + d.planes - 1;
  if (d.planes == 0 || last >= size) return 0;
  const std::uint64_t fit = (size - 1 - last) / d.rowStride + 1;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(d.rows, fit));
}

// f(index, block number, plane) for each row and plane of the die, rows first.
template <class F>
void ForEachEntry(const DieEntries& d, std::size_t size, F&& f) {
  const std::uint32_t rows = RowsInTable(d, size);
  std::uint64_t index = d.firstIndex;
  std::uint64_t block = d.firstBlock;
  for (std::uint32_t r = 0; r < rows; ++r, index += d.rowStride, block += d.planeStride)
    for (std::uint32_t p = 0; p < d.planes; ++p) f(index + p, block + p, p);
}

// f(ce, die, entries) for each CE below ceCount that passes every CE filter
// (only `onlyCe` when it is not -1) and each of its dies.
template <class F>
void ForEachCeDie(const BbtScope& scope, std::uint32_t ceCount, int onlyCe, const BbtParameter& param, F&& f) {
  const std::uint32_t ces = std::min<std::uint32_t>(ceCount, kCountCes);
  const std::uint32_t dies = std::min<std::uint32_t>(scope.diesPerCe, kCountDies);
  for (std::uint32_t ce = 0; ce < ces; ++ce) {
    if (onlyCe >= 0 && ce != static_cast<std::uint32_t>(onlyCe)) continue;
    if (!CePassesFilters(scope, ce)) continue;
    for (std::uint32_t die = 0; die < dies; ++die) {
      DieEntries d;
      if (LocateDie(param, scope, ce, die, d)) f(ce, die, d);
    }
  }
}

bool Selected(std::uint8_t e, KindSelection s) {
  return (e & s.match) != 0 && !(s.exclude != 0 && (e & s.exclude) != 0);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The entry of the die whose block number is `block`; false when there is none.
bool FindBlock(const DieEntries& d, std::size_t size, std::uint64_t block, std::uint64_t& index) {
  if (block < d.firstBlock) return false;
  const std::uint64_t off = block - d.firstBlock;
  const std::uint64_t row = off / d.planeStride;
  const std::uint64_t plane = off % d.planeStride;
  if (plane >= d.planes || row >= RowsInTable(d, size)) return false;
  index = d.firstIndex + row * d.rowStride + plane;
  return true;
}

}  // namespace

bool ReadHexNumber(const std::string& piece, std::uint32_t& value) {
  if (piece.empty() || piece.size() > 8) return false;
  value = 0;
  for (char c : piece) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return true;
}

KindSelection SelectKinds(std::uint32_t kinds, std::uint8_t cause, bool forList) {
  KindSelection s;
  if (kinds & 1) s.match = forList ? (cause == 255 ? 0xC0 : 0x80) : static_cast<std::uint8_t>(s.match | 0xC0);
  if (!(kinds & 2)) return s;
  // Causes 1-4 exclude early and RDT bad, 6-8 early and later bad, 9-12 RDT and later bad.
  struct Row {
    std::uint8_t countMatch, listMatch, exclude;
  };
  static constexpr Row kRows[13] = {{0, 0, 0},          {0x04, 0x04, 0xC0}, {0x02, 0x02, 0xC0}, {0x01, 0x01, 0xC0},
                                    {0x08, 0x08, 0xC0}, {0x40, 0x40, 0},    {0x44, 0x04, 0xB0}, {0x42, 0x02, 0xB0},
                                    {0x41, 0x01, 0xB0}, {0x04, 0x04, 0x70}, {0x02, 0x02, 0x70}, {0x01, 0x01, 0x70},
                                    {0x08, 0x08, 0x70}};
  if (cause >= 1 && cause <= 12) {
    s.match = forList ? kRows[cause].listMatch : kRows[cause].countMatch;
    s.exclude = kRows[cause].exclude;  // cause 5 has none
  } else {
    s.match = static_cast<std::uint8_t>(s.match | 0x30);
  }
  return s;
}

bool CePassesFilters(const BbtScope& scope, std::uint32_t ce) {
  if (scope.ceMap != 0 && (ce >= 16 || !((scope.ceMap >> ce) & 1u))) return false;
  if (scope.ceMask64Enable && (ce >= 64 || !((scope.ceMask64 >> ce) & 1u))) return false;
  return true;
}

bool LocateDie(const BbtParameter& param, const BbtScope& scope, std::uint32_t ce, std::uint32_t die, DieEntries& out) {
  if (ce >= bbtparam::kCeCodeCount || die >= kCountDies || !UsableShape(param)) return false;
  const std::uint32_t code = param.CeCode(ce);
  if (code == kAbsentCe) return false;
  const std::uint32_t columns = param.ColumnCount();
  const std::uint32_t group = param.DiesPerGroup();
  const std::uint32_t planes = param.PlaneCount();
  const bool fold = param.DieFold() != 0;
  const std::uint32_t groupColumns = fold ? columns / param.FoldDivisor() : 0;

  std::uint32_t selector = scope.channelCount == 2 ? (code >> 3) + 2 * (code & 7) : code;
  std::uint32_t groupDie = die;
  if (fold && die >= group) {
    selector = (selector + (die / group) * groupColumns) & 0xFF;
    groupDie = die % group;
  }
  const std::uint32_t column = selector % param.ChannelModulus();
  const std::uint32_t page = fold ? column / groupColumns : groupDie;

  out.rowStride = static_cast<std::uint64_t>(columns) * group * planes;
  out.firstIndex =
      static_cast<std::uint64_t>(groupDie) * columns * planes + static_cast<std::uint64_t>(column) * planes;
  out.firstBlock = param.DieBlockStride() * page * planes;
  out.planeStride = planes;
  out.planes = std::min<std::uint32_t>(planes, kCountPlanes);
  out.rows = param.RowCount();
  return true;
}

void CountBadBlocksPerPlane(PlaneCounts& counts, std::span<const std::uint8_t> bbt, const BbtScope& scope,
                            std::uint32_t ceCount, const BbtParameter& param, std::uint32_t kinds, std::uint8_t cause) {
  for (auto& ce : counts)
    for (auto& die : ce) die.fill(0);
  const KindSelection s = SelectKinds(kinds, cause, false);
  ForEachCeDie(scope, ceCount, -1, param, [&](std::uint32_t ce, std::uint32_t die, const DieEntries& d) {
    auto& planes = counts[ce][die];
    ForEachEntry(d, bbt.size(), [&](std::uint64_t index, std::uint64_t, std::uint32_t plane) {
      if (Selected(bbt[index], s)) ++planes[plane];
    });
  });
}

void CountBadBlocksByKind(KindCounts& counts, std::span<const std::uint8_t> bbt, const BbtScope& scope,
                          std::uint32_t ceCount, const BbtParameter& param) {
  counts.fill(0);
  if (!UsableShape(param)) return;
  ForEachCeDie(scope, ceCount, -1, param, [&](std::uint32_t, std::uint32_t, const DieEntries& d) {
    ForEachEntry(d, bbt.size(), [&](std::uint64_t index, std::uint64_t, std::uint32_t) {
      const std::uint8_t e = bbt[index];
      if (e & bbtflag::kEarlyBad) ++counts[0];
      if (e & bbtflag::kRdtBad) ++counts[1];
      if ((e & bbtflag::kCauseMask) && !(e & bbtflag::kEarlyOrRdt)) ++counts[2];
    });
  });
  const std::uint64_t total =
      static_cast<std::uint64_t>(param.RowCount()) * param.PlaneCount() * param.DiesPerGroup() * param.ColumnCount();
  const std::uint64_t bad = static_cast<std::uint64_t>(counts[0]) + counts[1] + counts[2];
  counts[3] = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(total > bad ? total - bad : 0, std::numeric_limits<std::uint32_t>::max()));
}

std::uint32_t CountBbtBlocks(std::span<const std::uint8_t> bbt, const BbtScope& scope, std::uint32_t ceCount, int ce,
                             const BbtParameter& param, std::uint8_t mask, std::uint8_t exclude) {
  std::uint32_t n = 0;
  const KindSelection s{mask, exclude};
  ForEachCeDie(scope, ceCount, ce, param, [&](std::uint32_t, std::uint32_t, const DieEntries& d) {
    ForEachEntry(d, bbt.size(),
                 [&](std::uint64_t index, std::uint64_t, std::uint32_t) { n += Selected(bbt[index], s) ? 1 : 0; });
  });
  return n;
}

void ListBadBlocks(BlockList& list, std::span<const std::uint8_t> bbt, const BbtScope& scope, std::uint32_t ce,
                   std::uint32_t die, const BbtParameter& param, std::uint32_t kinds, std::uint8_t cause) {
  list.fill(kBlockListEnd);
  DieEntries d;
  if (!LocateDie(param, scope, ce, die, d)) return;
  const KindSelection s = SelectKinds(kinds, cause, true);
  const bool later = (kinds & 2) != 0;
  std::size_t n = 0;
  ForEachEntry(d, bbt.size(), [&](std::uint64_t index, std::uint64_t block, std::uint32_t) {
    const std::uint8_t e = bbt[index];
    if (n >= kBlockListMax || (e & s.match) == 0) return;
    if (later && (cause == 255 || cause == 5) && (e & bbtflag::kCauseMask)) return;
    if (later && cause == 4 && e != 0x38 && (e & bbtflag::kRaidBad)) return;
    if (later && cause == 12 && e != 0x88 && (e & bbtflag::kRaidBad)) return;
    if (s.exclude != 0 && (e & s.exclude)) return;
    list[n++] = static_cast<std::uint16_t>(block);
  });
}

std::uint32_t ListBadBlocksOfDie(BlockList& list, std::span<const std::uint8_t> bbt, const BbtScope& scope,
                                 std::uint32_t ce, std::uint32_t die, const BbtParameter& param, std::uint8_t mask,
                                 std::uint8_t sub) {
  list.fill(kBlockListEnd);
  DieEntries d;
  if (!LocateDie(param, scope, ce, die, d)) return 0;
  std::uint32_t n = 0;
  ForEachEntry(d, bbt.size(), [&](std::uint64_t index, std::uint64_t block, std::uint32_t) {
    const std::uint8_t e = bbt[index];
    std::uint8_t t = e & mask;
    if (t && sub) t = e & sub;
    if (t && n < kBlockListMax) list[n++] = static_cast<std::uint16_t>(block);
  });
  return n;
}

std::uint8_t IsBlockMarkedBad(std::span<const std::uint8_t> bbt, const BbtScope& scope, std::uint32_t block,
                              std::uint32_t ce, std::uint32_t die, const BbtParameter& param) {
  DieEntries d;
  std::uint64_t index = 0;
  if (!LocateDie(param, scope, ce, die, d) || !FindBlock(d, bbt.size(), block, index)) return 0;
  return bbt[index];
}

bool ParseBlockNumbers(const std::string& text, std::vector<std::uint32_t>& values) {
  values.clear();
  std::string body = text;
  const std::size_t eq = text.find('=');
  if (eq != std::string::npos) {
    const std::size_t semi = text.find(';');
    if (semi == std::string::npos || semi < eq || semi - eq < 4) return false;
    body = text.substr(eq + 1, semi - eq - 1);
  }
  std::string piece;
  for (std::size_t i = 0; i <= body.size(); ++i) {
    const char c = i < body.size() ? body[i] : ' ';
    if (!IsBlank(c) && c != ',') {
      piece += c;
      continue;
    }
    if (piece.empty()) continue;
    std::uint32_t v = 0;
    if (!ReadHexNumber(piece, v)) return false;
    values.push_back(v);
    piece.clear();
  }
  return !values.empty();
}

void ParseBadBlockList(std::span<std::uint8_t> bbt, const BbtScope& scope, const std::string& text, std::uint32_t ce,
                       std::uint32_t die, const BbtParameter& param, std::uint8_t flagsA, std::uint8_t flagsB) {
  std::vector<std::uint32_t> values;
  DieEntries d;
  if (!ParseBlockNumbers(text, values) || !LocateDie(param, scope, ce, die, d)) return;
  for (std::uint32_t v : values) {
    std::uint64_t index = 0;
    if (FindBlock(d, bbt.size(), v, index)) bbt[index] = static_cast<std::uint8_t>(bbt[index] | flagsA | flagsB);
  }
}

std::uint32_t PageUnitBytes(const PageSizeFlags& flags) {
  if (flags.page16K) return 16384;
  if (flags.page8K) return 8192;
  if (flags.page4K) return 4096;
  return 2048;
}

std::uint32_t GetUnitSize(const BbtParameter* param, const PageSizeFlags& flags, std::uint32_t blocksPerPlane,
                          std::uint32_t flashCount, std::uint32_t planeCount) {
  if (param) return static_cast<std::uint32_t>(param->BbtSectors()) * 512;
  const std::uint64_t unit = PageUnitBytes(flags);
  const std::uint64_t bytes = static_cast<std::uint64_t>(blocksPerPlane) * flashCount * planeCount;
  const std::uint64_t rounded = (bytes + unit - 1) / unit * unit;
  const std::uint64_t largest = std::numeric_limits<std::uint32_t>::max() / unit * unit;
  return static_cast<std::uint32_t>(std::min(rounded, largest));
}

}  // namespace kx

static_assert(std::is_same_v<CPortDevice::BbtPlaneCounts, kx::PlaneCounts>);
static_assert(std::is_same_v<CPortDevice::BbtBlockList, kx::BlockList>);

namespace kx {

BbtScope DeviceBbtScope(const CPortDevice& d) {
  BbtScope s;
  s.channelCount = d.m_ChannelCount;
  s.diesPerCe = d.m_DiePerFlash;
  s.ceMap = d.m_CeMap;
  s.ceMask64Enable = d.m_CeMask64Enable != 0;
  s.ceMask64 = (static_cast<std::uint64_t>(d.m_CeMask64High) << 32) | d.m_CeMask64Low;
  return s;
}

}  // namespace kx

void CPortDevice::CountBadBlocksPerPlane(BbtPlaneCounts& counts, std::uint32_t ceCount, const kx::BbtParameter& param,
                                         std::uint32_t kinds, std::uint8_t cause) const {
  kx::CountBadBlocksPerPlane(counts, m_BbtBuffer, kx::DeviceBbtScope(*this), ceCount, param, kinds, cause);
}

void CPortDevice::CountBadBlocksByKind(std::array<std::uint32_t, 4>& counts, std::uint32_t ceCount,
                                       const kx::BbtParameter& param) const {
  kx::CountBadBlocksByKind(counts, m_BbtBuffer, kx::DeviceBbtScope(*this), ceCount, param);
}

std::uint32_t CPortDevice::CountBbtBlocks(std::uint32_t ceCount, int ce, const kx::BbtParameter& param,
                                          std::uint8_t mask, std::uint8_t exclude) const {
  return kx::CountBbtBlocks(m_BbtBuffer, kx::DeviceBbtScope(*this), ceCount, ce, param, mask, exclude);
}

void CPortDevice::ListBadBlocks(BbtBlockList& list, std::uint32_t ce, std::uint32_t die, const kx::BbtParameter& param,
                                std::uint32_t kinds, std::uint8_t cause) const {
  kx::ListBadBlocks(list, m_BbtBuffer, kx::DeviceBbtScope(*this), ce, die, param, kinds, cause);
}

std::uint32_t CPortDevice::ListBadBlocksOfDie(BbtBlockList& list, std::uint32_t ce, std::uint32_t die,
                                              const kx::BbtParameter& param, std::uint8_t mask,
                                              std::uint8_t sub) const {
  return kx::ListBadBlocksOfDie(list, m_BbtBuffer, kx::DeviceBbtScope(*this), ce, die, param, mask, sub);
}

std::uint8_t CPortDevice::IsBlockMarkedBad(std::uint32_t block, std::uint32_t ce, std::uint32_t die,
                                           const kx::BbtParameter& param) const {
  return kx::IsBlockMarkedBad(m_BbtBuffer, kx::DeviceBbtScope(*this), block, ce, die, param);
}

void CPortDevice::ParseBadBlockList(std::uint8_t* bbt, std::size_t bbtSize, const std::string& text, std::uint8_t ce,
                                    std::uint8_t die, const kx::BbtParameter& param, std::uint8_t flagsA,
                                    std::uint8_t flagsB) const {
  if (bbt == nullptr) return;
  kx::ParseBadBlockList({bbt, bbtSize}, kx::DeviceBbtScope(*this), text, ce, die, param, flagsA, flagsB);
}

std::uint32_t CPortDevice::GetUnitSize(const kx::BbtParameter* param) const {
  const std::uint32_t flashCount = m_FlashCount > 0 ? static_cast<std::uint32_t>(m_FlashCount) : 0;
  return kx::GetUnitSize(param, {m_Page16K, m_Page8K, m_Page4K}, m_BlocksPerPlane, flashCount, m_PlaneCount);
}
