// The read-out mode of the bad-block scan (ScanBadBlocks with scanMode false):
// the drive-information block, the kind totals with the RDT summary, the early
// and later counts by cause per CE, die and plane, and the block address
// listing with each block's cause. The emulated drive answers its commands in
// emulator/DriveVendor.cpp (ReadBBT, DirectReadInfoBlock, GetSystemInfo) and
// emulator/DriveAta.cpp (IDENTIFY, SMART READ DATA).
#include <algorithm>
#include <cstring>

#include "bringup/Capacity.h"
#include "command/DriveCommand.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "media/BadBlockScan.h"

using kx::StrFormat;

namespace kx {

std::uint32_t RoundedLaterTotal(std::uint32_t later) { return later == 0 ? 0 : (later - 1) / 5 * 5; }

void CapLaterCounts(LaterCounts& later, std::uint32_t rounded) {
  std::uint64_t sum = 0;
  for (std::size_t c = 0; c < 5; ++c) {
    if (c <= 1) sum = 0;  // filter 0 alone, then filters 1 to 4 together
    for (auto& ce : later[c])
      for (auto& die : ce)
        for (std::uint32_t& count : die) {
          sum += count;
          if (sum > rounded) {
            count -= static_cast<std::uint32_t>(sum - rounded);
            sum = rounded;
          }
        }
  }
}

bool ParsePageLimit(const std::string& text, PageLimit& out) {
  if (text.empty() || text == "0") return false;
  std::string number = text;
  out.percent = number.find('%') != std::string::npos;
  number.erase(std::remove(number.begin(), number.end(), '%'), number.end());
  const std::int32_t v = ReadSignedDecimal(number);
  out.value = v > 0 ? static_cast<std::uint32_t>(v) : 0;
  return true;
}

bool RowHasReadText(std::uint32_t row) { return row == 2 || row == 7 || row == 10; }

ListingText LaterListingText(std::uint32_t row, std::uint32_t planes, std::uint32_t group, bool readText) {
  struct Row {
    const char* kind;
    const char* text;      // the only text, or the "(P)" read text
    const char* program;   // the program text of rows 2, 7 and 10
  };
  static constexpr Row kRows[13] = {
      {"Later", "Raid Read Bad", nullptr},       {"Later", "Erase Bad-Run", nullptr},
      {"Later", "Read Bad-Run(P)", "Program Bad-Run"}, {"Later", "Read Bad-Run", nullptr},
      {"Later", "Raid Read Bad-Run", nullptr},   {"Early", "RDT_Bad", nullptr},
      {"Early", "Erase Bad-RDT", nullptr},       {"Early", "Read Bad-RDT(P)", "Program Bad-RDT"},
      {"Early", "Read Bad-RDT", nullptr},        {"Early", "Erase-OLB", nullptr},
      {"Early", "Read Bad-OLB(P)", "Program-OLB"}, {"Early", "Read-OLB", nullptr},
      {"Early", "Raid-OLB", nullptr}};
  const Row& r = kRows[std::min<std::uint32_t>(row, 12)];
  ListingText t;
  t.kind = r.kind;
  if (r.program != nullptr && !readText) {
    t.suffix = r.program;
    return t;
  }
  t.suffix = r.text;
  if (planes == 2 && group == 1) {
    t.fiveBlanks = row == 3;
    if (row == 10) t.suffix = "Read-OLB(P)";
  } else if (planes == 4) {
    t.fiveBlanks = row == 8 && group == 1;
    if (row == 2) t.suffix = "Read-Run(P)";
    if (row == 7) t.suffix = "Read-RDT(P)";
    if (row == 10) t.suffix = group == 3 ? "Read-RDT(P)" : "Read-OLB(P)";
  }
  return t;
}

std::string LaterListingLine(std::uint32_t row, std::uint32_t planes, std::uint32_t group, bool readText,
                             std::uint32_t channel, std::uint32_t ce, std::uint32_t die, std::uint32_t block) {
  const ListingText t = LaterListingText(row, planes, group, readText);
  std::string line = planes <= 1 ? StrFormat("     Channel:%u,CE:%u,Die:%u,Plane:0;", channel, ce, die)
                                 : StrFormat("     Channel:%u,CE:%u,Die:%u,Plane:%u;", channel, ce, die, block % planes);
  line += t.fiveBlanks ? "     " : "    ";
  return line + t.kind + StrFormat(" Bad Block_%u (0x%04x)", block, block) + t.suffix;
}

std::vector<std::string> RdtSummaryLines(const RdtInfoRecord& info) {
  const std::uint8_t flags23 = info.U8(rdtinfo::kSkipFlags);
  const std::uint8_t flags18 = info.U8(rdtinfo::kRetestByte);
  const int doubled = (flags23 & 0x80) ? 2 : 1;
  auto disabledIf = [](bool bit) { return bit ? "Disable" : "Enable"; };
  auto enabledIf = [](bool bit) { return bit ? "Enable" : "Disable"; };
  const std::uint32_t s = info.U32(rdtinfo::kTestSeconds);
  const std::uint32_t h = s / 3600;
  const std::uint32_t m = (s - h * 3600) / 60;
  std::string version;
  for (std::size_t i = 0; i < rdtinfo::kFwVersionBytes && info.U8(rdtinfo::kFwVersion + i) != 0; ++i)
    version += static_cast<char>(info.U8(rdtinfo::kFwVersion + i));
  return {
      "[RDT Setting]",
      StrFormat("RDT Info_RDT Loop(XLC/SLC) = %d/%d", info.U8(rdtinfo::kXlcLoops) * doubled,
                info.U8(rdtinfo::kSlcLoops) * doubled),
      StrFormat("RDT Info_RDT ECC (XLC/SLC) = %d/%d", info.U8(rdtinfo::kXlcEcc), info.U8(rdtinfo::kSlcEcc)),
      StrFormat("RDT Info_RDT Test Unit Num = %d", info.U16(rdtinfo::kTestUnits)),
      StrFormat("RDT Info_CE Map = %04X", info.CeMap()),
      StrFormat("RDT Info_Erase Mode   = %s", disabledIf(flags23 & 0x04)),
      StrFormat("RDT Info_Program Mode = %s", disabledIf(flags23 & 0x08)),
      StrFormat("RDT Info_Read Mode    = %s", disabledIf(flags23 & 0x10)),
      StrFormat("RDT Info_Read Retry   = %s", enabledIf(flags23 & 0x40)),
      StrFormat("RDT Info_ReTest       = %s", enabledIf(flags18 & 0x40)),
      StrFormat("RDT Info_MultiPlane   = %s", enabledIf(flags23 & 0x20)),
      StrFormat("RDT Info_CacheTest    = %s", enabledIf(flags18 & 0x80)),
      StrFormat("RDT Info_BBSource     = %s", (info.U8(rdtinfo::kBuildFlags) & 0x03) ? "Other" : "Orginal"),
      StrFormat("RDT EvenLoop_Test  = %d", info.U8(rdtinfo::kTestCounts) & 0x0F),
      StrFormat("RDT OddLoop_Test   = %d", info.U8(rdtinfo::kTestCounts) >> 4),
      StrFormat("RDT_MaxTemperature = %d", info.U8(rdtinfo::kMaxTemperature)),
      StrFormat("RDT_MinTemperature = %d", info.U8(rdtinfo::kMinTemperature)),
      StrFormat("RDT_Temperature    = %d", info.U8(rdtinfo::kTemperature)),
      StrFormat("RDT_TotalTime      = %u:%02u:%02u", h, m, s - m * 60 - h * 3600),
      StrFormat("RDT_FWVersion      %s", version.c_str())};
}

std::string RdtRawText(const RdtInfoRecord& info) {
  std::string text = "RAW = ";
  for (std::size_t k = 0; k < kMediaRecordBytes; ++k)
    text += StrFormat(k % 16 == 0 ? "\r\n          %02X" : " %02X", info.U8(k));
  return text;
}

std::string IdentifyFirmwareLine(const std::uint8_t* identify512) {
  std::string line = "Identify_FW Version = ";
  for (std::size_t offset = 46; offset <= 52; offset += 2) {
    line += static_cast<char>(identify512[offset + 1]);
    line += static_cast<char>(identify512[offset]);
  }
  return line;
}

std::vector<std::string> SmartSpareLines(const std::uint8_t* smart512, const std::uint8_t* entries512,
                                         std::int32_t flashCount) {
  std::vector<std::string> lines;
  for (std::size_t o = 2, e = 0; o < 362 || e < 480; o += 12, e += 16) {
    if (entries512[e] == 0) continue;
    const std::uint16_t type = LoadLe16(entries512 + e + 8);
    if (type == 0x305 || type == 0x306)
      lines.push_back(StrFormat("%s = %d", "SMART_Spare Block",
                                static_cast<int>(LoadLe32(smart512 + o + 5) * static_cast<std::uint32_t>(flashCount))));
  }
  return lines;
}

}  // namespace kx

bool CPortDevice::ScanReadOut(kx::ScanRun& run) {
  WriteReport(StrFormat("FlashNumber=%d, MaxBad_perPlane/Die=%u, Max.Later Bad=%u/CE", m_FlashCount,
                        run.perPlaneLimit, run.laterSpec),
              true);
  if (run.addressArgument && run.withDriveInfo && !ScanDriveInfo()) return false;
  kx::RdtInfoRecord info;
  const bool rdtOk = ReadRdtInfo(&info, nullptr);
  if (!ReadBbt(&run.param, nullptr)) {
    Fail("F_T34", "Issue Read BBT Command Failed !!!", true);
    return false;
  }
  if (!ScanKindTotals(run, rdtOk, info)) return false;

  kx::LaterCounts& later = *run.later;
  for (std::uint8_t c = 0; c <= 12; ++c)
    if (c == 0 || run.showAddresses) CountBadBlocksPerPlane(later[c], run.ceBound, run.param, 2, c == 0 ? 0xFF : c);
  CountBadBlocksPerPlane(run.early, run.ceBound, run.param, 1, 0xFF);
  if (run.smartC4ReInit) kx::CapLaterCounts(later, run.laterRounded);

  kx::PageLimit limit;
  const std::string limitText = run.pageReadOut ? g_LaterBadLimitText.Get() : std::string();
  if (run.pageReadOut && kx::ParsePageLimit(limitText, limit)) {
    WriteReport("Later Bad Result Bad Block limit = " + limitText, true);
    run.perPlaneLimit = limit.percent ? kx::PercentPlaneLimit(m_MaxBlockPerCe, limit.value, m_DiePerFlash,
                                                              m_PlaneCount, run.maxBBOffset)
                                      : limit.value;
    WriteReport(StrFormat("Later Bad Result max bad pre plane = %u", run.perPlaneLimit), true);
  }

  const std::uint32_t dies = ScanDies();
  const std::uint32_t planes = ScanPlanes();
  const std::uint32_t sectors = ScanListSectors();
  for (std::uint32_t i = 0; i < run.ceBound; ++i) {
    std::uint32_t ce = 0;
    if (!ScanCeNumber(i, ce)) continue;
    const std::uint32_t channel = ce / 8;
    std::uint32_t earlyTotal = 0;
    std::uint32_t laterTotal = 0;
    for (std::uint32_t d = 0; d < dies; ++d) {
      if (run.showAddresses) ScanBuildLists(run, i, d, sectors);
      const auto& early = run.early[i][d];
      const auto& all = later[0][i][d];
      const std::string head = StrFormat("     CENo_%u/Die_%u-> Channel:%u,", ce, d, channel);
      WriteReport(head + "EarlyBad:" + kx::PlaneCountText(early.data(), planes, ","), true);
      WriteReport(head + "LaterBad:" + kx::PlaneCountText(all.data(), planes, ","), true);
      for (std::uint32_t p = 0; run.showAddresses && p < planes; ++p)
        WriteReport(ScanCauseLine(run, i, d, p, planes), true);
      for (std::uint32_t p = 0; p < planes; ++p) {
        earlyTotal += early[p];
        laterTotal += all[p];
        if (static_cast<std::uint64_t>(early[p]) + all[p] > run.perPlaneLimit) {
          run.ceMark[i] = kx::kCeOverSpec;
          run.overSpec = true;
        }
      }
      ScanRecordDie(run, i, d);
      if (run.showAddresses) ScanWriteListing(run, i, d, ce, sectors);
      ScanProgress(run);
    }
    if (run.laterSpec != 0 && laterTotal > run.laterSpec) {
      run.ceMark[i] = kx::kCeOverSpec;
      run.overSpec = true;
      run.laterOverSpec = true;
    }
    m_BadCountText += StrFormat(",%u/%u", earlyTotal, laterTotal);
    m_EarlyBadTotal += earlyTotal;
    m_LaterBadTotal += laterTotal;
  }
  return true;
}

bool CPortDevice::ScanDriveInfo() {
  std::uint8_t identify[512] = {};
  if (!m_Command->GetIdentify(identify)) {
    Fail("I_x06", "Issue Identify Command Fail.", false);
    return false;
  }
  WriteReport(kx::IdentifyFirmwareLine(identify), true);
  // The optional reads below only write their line; the texts stay as they were.
  const std::string code = m_ErrorCode;
  const std::string message = m_ErrorMessage;
  std::uint8_t block[512] = {};
  if (!ReadWriteInfoBlock(block, false, 0))
    WriteReport("Read InfoBlock failed!!", true);
  else
    WriteReport(StrFormat("Info Block_Max Bad Percent = %d%%", block[475]), true);
  std::uint8_t smart[512] = {};
  std::uint8_t entries[512] = {};
  if (!ReadSmartData(smart) || !ReadSmartEntry(entries)) {
    WriteReport("Get SMART ID fail!!", true);
  } else {
    for (const std::string& line : kx::SmartSpareLines(smart, entries, m_FlashCount)) WriteReport(line, true);
  }
  m_ErrorCode = code;
  m_ErrorMessage = message;
  return true;
}

bool CPortDevice::ScanKindTotals(kx::ScanRun& run, bool rdtOk, const kx::RdtInfoRecord& info) {
  kx::KindCounts kinds;
  CountBadBlocksByKind(kinds, run.ceBound, run.param);
  WriteReport(StrFormat("OB + OLB     Count = %u", kinds[0]), true);
  WriteReport(StrFormat("RDT      Bad Count = %u", kinds[1]), true);
  if (run.smartC4ReInit && kinds[2] != 0) {
    run.laterRounded = kx::RoundedLaterTotal(kinds[2]);
    WriteReport(StrFormat("Later    Bad Count = %u", run.laterRounded), true);
  } else {
    run.smartC4ReInit = false;
    WriteReport(StrFormat("Later    Bad Count = %u", kinds[2]), true);
  }
  WriteReport(StrFormat("All Good Blk Count = %u", kinds[3]), true);
  if (!rdtOk) return true;
  for (const std::string& line : kx::RdtSummaryLines(info)) WriteReport(line, true);
  if (!SetApKeyWithRetry(true, 300)) return false;
  std::uint8_t system[1024] = {};
  if (!m_Command->GetSystemInfo(system, 1)) {
    Fail("I_T08", "Issue GetSystemInfo Command Failed.", true);
    return false;
  }
  std::string date = "RDT_FWDate         = ";
  for (std::size_t k = 0x160; k <= 0x168; ++k) date += static_cast<char>(system[k]);
  WriteReport(date, true);
  WriteReport(kx::RdtRawText(info), true);
  return true;
}

void CPortDevice::ScanBuildLists(kx::ScanRun& run, std::uint32_t ce, std::uint32_t die, std::uint32_t sectors) {
  // Slice c of buffer A holds the later list of cause filter c; at most 128
  // sectors a slice, 13 of them fit the buffer.
  const std::size_t entries = static_cast<std::size_t>(sectors) * 256;
  for (std::uint8_t c = 0; c <= 12; ++c) {
    ListBadBlocks(*run.list, ce, die, run.param, 0x0A, c == 0 ? 0xFF : c);
    std::uint8_t* slice = m_IoBufferA + c * entries * 2;
    for (std::size_t j = 0; j < entries; ++j) kx::StoreLe16(slice + 2 * j, (*run.list)[j]);
  }
  // The early list stays in the scratch list for the listing.
  ListBadBlocks(*run.list, ce, die, run.param, 9, 0xFF);
}

std::string CPortDevice::ScanCauseLine(const kx::ScanRun& run, std::uint32_t ce, std::uint32_t die,
                                       std::uint32_t plane, std::uint32_t planes) const {
  const kx::LaterCounts& later = *run.later;
  const std::uint32_t erase = later[1][ce][die][plane];
  const std::uint32_t program = later[2][ce][die][plane];
  const std::uint32_t read = later[3][ce][die][plane];
  if (planes == 1) return StrFormat("          <Erase= %u; Program= %u; Read= %u>", erase, program, read);
  return StrFormat("          <Plane%u><Erase= %u; Program= %u; Read= %u>", plane, erase, program, read);
}

void CPortDevice::ScanWriteListing(kx::ScanRun& run, std::uint32_t index, std::uint32_t die, std::uint32_t ce,
                                   std::uint32_t sectors) {
  const kx::LaterCounts& later = *run.later;
  const std::uint32_t planes = ScanPlanes();
  const std::uint32_t channel = ce / 8;
  const std::size_t entries = static_cast<std::size_t>(sectors) * 256;
  std::uint64_t all = 0;
  for (std::uint32_t p = 0; p < planes; ++p)
    all += static_cast<std::uint64_t>(run.early[index][die][p]) + later[0][index][die][p];
  WriteReport(StrFormat("     CENo_%u/Die_%u-> All Bad Block Count= %llu (%f%s)", ce, die,
                        static_cast<unsigned long long>(all),
                        static_cast<double>(all) / std::max<std::uint32_t>(m_MaxBlockPerCe, 1) * 100.0, "%"),
              true);
  for (std::size_t j = 0; j < entries; ++j) {
    const std::uint16_t block = (*run.list)[j];
    if (block == kx::kBlockListEnd) continue;
    WriteReport(StrFormat("     Channel:%u,CE:%u,Die:%u,Plane:%u;    Early Bad Block_%u (0x%04x)", channel, ce, die,
                          planes == 1 ? 0u : block % planes, block, block),
                true);
  }
  std::uint32_t lines = 0;
  for (std::uint32_t c = 0; c <= 12; ++c) {
    if (c == 1) lines = 0;
    const std::uint8_t* slice = m_IoBufferA + c * entries * 2;
    std::size_t position = 0;
    for (std::uint32_t g = 0; g < planes; ++g) {
      for (std::uint32_t e = 0; e < later[c][index][die][g] && position < entries; ++e) {
        const std::uint16_t block = kx::LoadLe16(slice + 2 * position++);
        if (block == kx::kBlockListEnd) continue;
        if (run.smartC4ReInit && c < 5 && ++lines > run.laterRounded) {
          lines = run.laterRounded;
          continue;
        }
        const bool readText = kx::RowHasReadText(c) && run.programToRead && run.programToReadLines < 10;
        if (readText) ++run.programToReadLines;
        WriteReport(kx::LaterListingLine(c, planes, g, readText, channel, ce, die, block), true);
      }
    }
  }
}
