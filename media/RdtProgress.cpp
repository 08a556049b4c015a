// The RDT progress line (FormatRdtProgress) and the over-bad CE mask
// (GetOverBadCeMask). The line's live counts come from the bad-block table that
// ReadBbt (media/BbtTable.cpp) reads, answered by emulator/DriveVendor.cpp
// (ReadBBT); the mask reads the port's saved scan records, which the job appends
// to "Configuration\Temp\#<slot>.bin". The counting walkers are media/BbtCount's.
#include "media/RdtProgress.h"

#include <algorithm>
#include <type_traits>

#include "device/BlockRecord.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "platform/Files.h"

using kx::StrFormat;

namespace kx {

static_assert(kBlockRecordSize == scanrec::kSize, "the saved scan record is the scan record");
static_assert(std::is_same_v<BlockRecord, CPortDevice::RdtScanRecord>);

namespace {

// (P, R) of one pair when program fails are shown as read fails.
void MovePair(std::uint16_t& p, std::uint16_t& r) {
  if (p < 10) {
    r = static_cast<std::uint16_t>(p + r);
    p = 0;
  } else {
    r = static_cast<std::uint16_t>(r + 10);
    p = static_cast<std::uint16_t>(p - 10);
  }
}

std::uint8_t LoopCount(const RdtInfoRecord& info, std::size_t offset) {
  const std::uint8_t v = info.U8(offset);
  return (info.U8(rdtinfo::kSkipFlags) & 0x80) ? static_cast<std::uint8_t>(v * 2) : v;
}

// Die of CE c that a saved record is read at.
std::size_t RecordDie(std::size_t ce) { return ce >= 8 ? 1 : 0; }

}  // namespace

RdtCounts RdtCountsFromTable(std::span<const std::uint8_t> bbt, const BbtScope& scope, std::uint32_t ceCount,
                             const BbtParameter& param) {
  RdtCounts n;
  auto count = [&](int ce, std::uint8_t mask, std::uint8_t exclude) {
    return CountBbtBlocks(bbt, scope, ceCount, ce, param, mask, exclude);
  };
  auto add16 = [](std::uint16_t& sum, std::uint32_t v) { sum = static_cast<std::uint16_t>(sum + v); };
  for (int c = 0; c < 16; ++c) {
    n.ob[c] = static_cast<std::uint16_t>(count(c, 0x80, 0x40));
    n.rb[c] = static_cast<std::uint16_t>(count(c, 0x40, 0xB0));
    n.pc[c] = count(c, 0x02, 0x70);
    add16(n.pOlb, n.pc[c]);
    add16(n.pRb, count(c, 0x02, 0xB0));
    add16(n.eOlb, count(c, 0x04, 0x70));
    add16(n.eRb, count(c, 0x04, 0xB0));
    add16(n.rOlb, count(c, 0x01, 0x70));
    add16(n.rRb, count(c, 0x01, 0xB0));
    n.olbOnly += count(c, 0x80, 0x7F);
  }
  return n;
}

RdtCounts RdtCountsFromRecord(const std::uint8_t* record) {
  RdtCounts n;
  for (std::size_t c = 0; c < 16; ++c) {
    const std::size_t die = RecordDie(c);
    for (std::size_t p = 0; p < scanrec::kPlanes; ++p) {
      const std::uint8_t* later = record + scanrec::LaterOffset(c, die, p);
      n.ob[c] = static_cast<std::uint16_t>(n.ob[c] + LoadLe32(record + scanrec::EarlyOffset(c, die, p)));
      n.rb[c] = static_cast<std::uint16_t>(n.rb[c] + LoadLe32(later));
      n.eRb = static_cast<std::uint16_t>(n.eRb + LoadLe32(later + 4));
      n.pc[c] += LoadLe32(later + 8);
      n.pRb = static_cast<std::uint16_t>(n.pRb + LoadLe32(later + 8));
      n.rRb = static_cast<std::uint16_t>(n.rRb + LoadLe32(later + 12));
    }
  }
  return n;
}

void ApplyProgramToRead(RdtCounts& counts, bool olbPair) {
  if (olbPair) MovePair(counts.pOlb, counts.rOlb);
  MovePair(counts.pRb, counts.rRb);
}

std::string FormatRdtProgressLine(const RdtCounts& n, std::uint8_t flags, bool savedRecord, const RdtInfoRecord& info) {
  std::string line;
  std::uint32_t obSum = 0, rbSum = 0;
  for (int c = 0; c < 16; ++c) {
    obSum += n.ob[c];
    rbSum += n.rb[c];
    if (flags & kRdtPerCe) line += StrFormat("%02d: %d/ %d (P: %u)*", c, n.ob[c], n.rb[c], n.pc[c]);
  }
  if (savedRecord)
    line += StrFormat("OB/RB:%u/%u*", obSum, rbSum);
  else
    line += StrFormat("OB+OLB/RB:%u+%d/%u*", n.olbOnly, static_cast<int>(obSum - n.olbOnly), rbSum);
  if (flags & kRdtSums) {
    line += StrFormat("P OLB+RB:%d*", n.pOlb + n.pRb);
    line += StrFormat("E OLB+RB:%d*", n.eOlb + n.eRb);
    line += StrFormat("R OLB+RB:%d*", n.rOlb + n.rRb);
  } else if (flags & kRdtPairs) {
    line += StrFormat("P OLB/RB:%d/%d*", n.pOlb, n.pRb);
    line += StrFormat("E OLB/RB:%d/%d*", n.eOlb, n.eRb);
    line += StrFormat("R OLB/RB:%d/%d*", n.rOlb, n.rRb);
  }
  // The degree sign is the two bytes A2 58 of code page 950.
  line += StrFormat(
      "T(\xA2"
      "XC):%d*",
      info.U8(rdtinfo::kTemperature));
  if (flags & kRdtFirmware) {
    std::string fw = ":";
    for (std::size_t i = 1; i < rdtinfo::kFwVersionBytes; ++i) {
      const char ch = static_cast<char>(info.U8(rdtinfo::kFwVersion + i));
      if (ch == '\0') break;
      fw += ch;
    }
    line += StrFormat("FW%s*", fw.c_str());
    line += StrFormat("ECC(T/S):%d/%d*", info.U8(rdtinfo::kXlcEcc), info.U8(rdtinfo::kSlcEcc));
    line += StrFormat("Loop(T/S):%d/%d*", LoopCount(info, rdtinfo::kXlcLoops), LoopCount(info, rdtinfo::kSlcLoops));
    const auto t = static_cast<std::int32_t>(info.U32(rdtinfo::kTestSeconds));
    const std::int32_t hours = t / 3600;
    const std::int32_t minutes = (t - 3600 * hours) / 60;
    line += StrFormat("Time:%02d:%02d:%02d", hours, minutes, t - 3600 * hours - 60 * minutes);
  }
  return line;
}

bool FindRdtRecord(std::span<const std::uint8_t> file, std::size_t& offset) {
  for (std::size_t at = 0; at < file.size(); at += kBlockRecordSize) {
    if (file.size() - at < kBlockRecordSize) return false;
    if (file[at] == 'R' && file[at + 1] == 'D' && file[at + 2] == 'T') {
      offset = at;
      return true;
    }
  }
  return false;
}

bool OverBadLimit(std::uint32_t maxBlockPerCe, std::uint32_t diePerFlash, std::uint32_t planeCount,
                  std::uint32_t& limit) {
  if (diePerFlash == 0 || planeCount == 0) return false;
  limit = static_cast<std::uint32_t>(static_cast<std::uint64_t>(maxBlockPerCe) * 50 / 100 / diePerFlash / planeCount);
  return true;
}

std::uint16_t OverBadCeMask(const std::uint8_t* record, std::uint32_t limit) {
  const std::uint16_t skip = LoadLe16(record + scanrec::kCeSkipMask);
  std::uint16_t mask = 0;
  for (std::size_t c = 0; c < 16; ++c) {
    if ((skip >> c) & 1u) continue;
    for (std::size_t p = 0; p < scanrec::kPlanes; ++p) {
      const std::uint64_t early = LoadLe32(record + scanrec::EarlyOffset(c, RecordDie(c), p));
      const std::uint64_t later = LoadLe32(record + scanrec::LaterOffset(c, RecordDie(c), p));
      if (later > limit || early + later > limit) mask = static_cast<std::uint16_t>(mask | (1u << c));
    }
  }
  return mask;
}

}  // namespace kx

std::string CPortDevice::FormatRdtProgress(std::uint8_t flags, std::uint8_t source, const RdtScanRecord* record,
                                           const kx::RdtInfoRecord* info) {
  if (info == nullptr || (source != 0 && record == nullptr)) return {};
  kx::RdtCounts counts;
  if (source != 0) {
    counts = kx::RdtCountsFromRecord(record->data());
  } else {
    // A table that cannot be read shows zero counts.
    kx::BbtParameter param;
    const std::uint32_t ceCount = m_CeMask64Enable != 0 ? 64 : static_cast<std::uint32_t>(std::max(m_FlashCount, 0));
    if (ReadBbt(&param, nullptr))
      counts = kx::RdtCountsFromTable(m_BbtBuffer, kx::DeviceBbtScope(*this), ceCount, param);
  }
  if (kx::ReadProfileInt("General Info", "ProgramtoRead", 0, ".\\Configuration\\System\\MPToolSetting.ini") != 0)
    kx::ApplyProgramToRead(counts, source == 0);
  if (source == 0) ReleaseBbt();
  return kx::FormatRdtProgressLine(counts, flags, source != 0, *info);
}

bool CPortDevice::GetOverBadCeMask(std::uint16_t* mask) {
  std::string folder = kx::ModuleFolderText();
  if (folder.empty()) folder = ".\\";
  if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
  const std::string path = StrFormat("%sConfiguration\\Temp\\#%d.bin", folder.c_str(), m_Slot);
  std::string bytes;
  if (mask == nullptr || !platform::FileExists(path) || platform::ReadFileBytes(path, bytes) != 0) return false;
  const std::span<const std::uint8_t> file(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  std::size_t offset = 0;
  std::uint32_t limit = 0;
  if (!kx::FindRdtRecord(file, offset) || !kx::OverBadLimit(m_MaxBlockPerCe, m_DiePerFlash, m_PlaneCount, limit))
    return false;
  const std::uint16_t over = kx::OverBadCeMask(file.data() + offset, limit);
  if (over == 0) return false;
  *mask = over;
  return true;
}
