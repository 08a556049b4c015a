// The bad-block scan, ScanBadBlocks: its settings and per-plane limits, the
// checks of the drive's RDT information and bad-block table, the scan mode's
// early-bad counting and the verdict with auto capacity. The read-out mode's
// counting and report are in media/BadBlockScanReadOut.cpp. The emulated drive
// answers the scan's commands in emulator/DriveVendor.cpp (Vender_MaxBad_PerPlane,
// DirectWriteSRAM, ReadBBT, SetCEMap, GetSystemInfo) from the tables that
// emulator/DriveStores.cpp builds out of its factory and marked bad blocks.
#include "media/BadBlockScan.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "bringup/Capacity.h"
#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/SettingNumbers.h"
#include "device/Settings.h"
#include "platform/Clock.h"

using kx::StrFormat;

std::atomic<std::uint8_t> g_LaterBadReadOut{0};
kx::SharedText g_LaterBadLimitText;

namespace kx {

std::uint32_t SubtractFloor(std::uint32_t value, std::uint32_t offset) { return value > offset ? value - offset : 0; }

std::uint32_t PercentPlaneLimit(std::uint32_t maxBlockPerCe, std::uint32_t percent, std::uint32_t dies,
                                std::uint32_t planes, std::uint32_t offset) {
  const std::uint64_t bad = static_cast<std::uint64_t>(maxBlockPerCe) * percent / 100;
  const std::uint64_t limit = bad / std::max<std::uint32_t>(dies, 1) / std::max<std::uint32_t>(planes, 1);
  return SubtractFloor(static_cast<std::uint32_t>(std::min<std::uint64_t>(limit, 0xFFFFFFFFu)), offset);
}

std::uint32_t PartialSizeGb(std::uint32_t flhCapacity) {
  struct Row {
    std::uint32_t capacity, gb;
  };
  static constexpr Row kRows[] = {
      {0x2000, 7},     {0x4000, 15},    {0x6000, 20},    {0x8000, 30},    {0xC000, 44},    {0x10000, 60},
      {0x18000, 90},   {0x20000, 120},  {0x24000, 120},  {0x30000, 180},  {0x3C000, 220},  {0x40000, 240},
      {0x48000, 240},  {0x50000, 300},  {0x54000, 320},  {0x60000, 360},  {0x6C000, 384},  {0x70000, 420},
      {0x78000, 420},  {0x84000, 480},  {0x90000, 480},  {0xA0000, 600},  {0xC0000, 720},  {0xD8000, 840},
      {0xE0000, 840},  {0xF0000, 896},  {0x100000, 960}, {0x108000, 960}, {0x120000, 1024}};
  for (const Row& r : kRows)
    if (r.capacity == flhCapacity) return r.gb;
  return 0;
}

std::int64_t ScanTargetLba(double gb) {
  const double lba = (gb - 50.0) * 1953504.0 + 97696368.0;
  if (!(lba > 0.0)) return 0;
  return lba >= 9.0e18 ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(lba);
}

std::uint32_t DieSizeGb(std::uint32_t log2Size, std::uint32_t dies) {
  if (log2Size >= 32) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>((std::uint64_t{1} << log2Size) / std::max<std::uint32_t>(dies, 1));
}

std::uint32_t FirmwareLimitCap(const FlashShape& s) {
  if (s.dpsTable && s.mlc && s.dieSizeGb == 8 && s.twoPlane) return 65;
  if (s.dpsTable && s.mlc && s.dieSizeGb == 16 && s.fourPlane) return 60;
  if (s.dpsTable && s.mlc && s.dieSizeGb == 16 && s.twoPlane) return 88;
  if (s.dpsTable && !s.mlc && s.tlc && s.dieSizeGb == 16 && s.twoPlane) return 77;
  if (!s.dpsTable && s.toggleAEx && s.dieSizeGb == 32 && s.fourPlane) return 37;
  return 0;
}

std::string BinPlaneDigit(const std::string& binType) {
  auto has = [&](const char* part) { return binType.find(part) != std::string::npos; };
  if (has(".2") || has("312") || has("362")) return "2";
  if (has("311")) return "1";
  if (has(".4") || has("374")) return "4";
  if (has("315")) return "5";
  if (has("316")) return "6";
  return binType;
}

std::string RdtPlaneDigit(const RdtInfoRecord& info) {
  for (std::size_t i = 0; i < 2; ++i)
    if (info.U8(rdtinfo::kFwVersion + i) == 0) return {};
  const char c = static_cast<char>(info.U8(rdtinfo::kFwVersion + 2));
  return c == '\0' ? std::string() : std::string(1, c);
}

std::uint32_t PositionOfCe(std::uint32_t index, std::uint64_t positionMask) {
  std::uint32_t seen = 0;
  for (std::uint32_t n = 0; n < 64; ++n) {
    if (!((positionMask >> n) & 1u)) continue;
    if (seen++ == index) return n;
  }
  return index;
}

std::string PlaneCountText(const std::uint32_t* counts, std::uint32_t planes, const char* separator) {
  std::string text;
  for (std::uint32_t p = 0; p < std::min<std::uint32_t>(planes, 4); ++p)
    text += StrFormat("%sPlane%u=%u", p == 0 ? "" : separator, p, counts[p]);
  return text;
}

void AddReplaceName(std::string& list, const std::string& name) {
  if (list.empty()) {
    list = "[" + name;
    return;
  }
  // Whole entries are compared: "U1" is not listed by "U12".
  std::size_t at = 1;
  while (true) {
    const std::size_t end = list.find(',', at);
    if (list.compare(at, end == std::string::npos ? std::string::npos : end - at, name) == 0) return;
    if (end == std::string::npos) break;
    at = end + 1;
  }
  list += "," + name;
}

int FirstCeAtOrOverLimit(const PlaneCounts& early, std::uint32_t ceBound, std::uint16_t ceMap, std::uint32_t dies,
                         std::uint32_t planes, std::uint32_t limit) {
  for (std::uint32_t i = 0; i < std::min<std::uint32_t>(ceBound, kCountCes); ++i) {
    if (ceMap != 0 && (i >= 16 || !((ceMap >> i) & 1u))) continue;
    for (std::uint32_t d = 0; d < std::min<std::uint32_t>(dies, kCountDies); ++d)
      for (std::uint32_t p = 0; p < std::min<std::uint32_t>(planes, kCountPlanes); ++p)
        if (early[i][d][p] >= limit) return static_cast<int>(i);
  }
  return -1;
}

int FirstSizeAtOrBelow(const std::vector<std::int32_t>& sizes, std::int32_t target) {
  for (std::size_t k = 0; k < sizes.size(); ++k)
    if (sizes[k] <= target) return static_cast<int>(k);
  return -1;
}

}  // namespace kx

namespace {

const char kToolSettingIni[] = ".\\Configuration\\System\\MPToolSetting.ini";
constexpr int kApKeyDelayMs = 300;
constexpr std::uint8_t kNoSystemUnit = 0xAA;

int Option(const char* key, int defaultValue, const std::string& file) {
  return kx::ReadProfileInt("Options", key, defaultValue, file.c_str());
}
std::string OptionText(const char* key, std::size_t maxChars, const std::string& file) {
  return kx::ReadProfileText("Options", key, file.c_str(), maxChars + 1);
}
std::uint32_t NonNegative(std::int32_t v) { return v > 0 ? static_cast<std::uint32_t>(v) : 0; }
bool IsNoneText(const std::string& text) { return text.empty() || text == "0"; }

}  // namespace

bool CPortDevice::ScanBadBlocks(bool scanMode, int /*kindFilter*/, IProgressBar* progress, int progressSpan,
                                bool showAddresses, RdtScanRecord* record, bool withDriveInfo) {
  // Early and later kinds are always counted: every caller means that, the QC
  // procedure's kind filter 2 included (taken as 0).
  kx::ScanRun run;
  run.scanMode = scanMode;
  run.addressArgument = showAddresses;
  run.withDriveInfo = withDriveInfo;
  run.progress = progress;
  run.progressSpan = progressSpan;
  run.record = record != nullptr ? record->data() : nullptr;
  // Only a read-out takes the page's flag, so that a station's scan on another
  // port never sees it; taking it at entry clears it on every path.
  run.pageReadOut = !scanMode && g_LaterBadReadOut.exchange(0) != 0;
  const bool passed = ScanSteps(run);
  if (run.tableTouched) ReleaseBbt();
  return passed;
}

bool CPortDevice::ScanSteps(kx::ScanRun& run) {
  if (!ScanSettingsAndLimit(run) || !ScanTableChecks(run)) return false;
  if (!run.scanMode) run.later = std::make_unique<kx::LaterCounts>();
  if (run.showAddresses) run.list = std::make_unique<kx::BlockList>();
  if (run.scanMode)
    ScanEarlyCounts(run);
  else if (!ScanReadOut(run))
    return false;
  ReleaseBbt();
  return ScanVerdict(run);
}

std::int32_t CPortDevice::ScanSizeSettingGb() {
  const std::string size = OptionText("SetSSDSize", 20, kx::SettingIniPath());
  return IsNoneText(size) ? SelectCapacity() : kx::ReadSignedDecimal(size);
}

bool CPortDevice::ScanSpec(const char* key, std::int32_t& value) {
  std::string message;
  if (kx::ReadSettingInt<std::int32_t>(kx::SettingIniPath(), "Options", key, 0, value, message)) return true;
  Fail(kx::kSettingNumberCode, message, true);
  return false;
}

std::uint32_t CPortDevice::ScanDies() const { return std::clamp<std::uint32_t>(m_DiePerFlash, 1, 16); }
std::uint32_t CPortDevice::ScanPlanes() const { return std::clamp<std::uint32_t>(m_PlaneCount, 1, 4); }

bool CPortDevice::ScanSettingsAndLimit(kx::ScanRun& run) {
  const std::string param = kx::SettingIniPath();
  const std::string fdb = kx::ParamFdbIniPath();
  run.autoCapacity = Option("AutoCapacity_Enable", 0, fdb) != 0 && !run.pageReadOut;
  run.dynamicCe = Option("AutoCapacity_DynamicCE_En", 0, fdb) != 0;
  run.showAddresses =
      run.addressArgument || kx::ReadProfileInt("General Info", "Show_ScanBadBlkAddr", 0, kToolSettingIni) != 0;
  run.smartC4ReInit = kx::ReadProfileInt("General Info", "SmartC4ReInit", 0, kToolSettingIni) != 0;
  run.programToRead = kx::ReadProfileInt("General Info", "ProgramtoRead", 0, kToolSettingIni) != 0;
  run.maxBBOffset = NonNegative(Option("MaxBBOffset", 0, param));
  run.ceMark.fill(0xFF);
  WriteReport("Start Scan Bad Block Progress ...", true);
  const std::int64_t rounds = static_cast<std::int64_t>(std::max(m_FlashCount, 0)) * m_DiePerFlash;
  run.progressStep = static_cast<int>(std::max<std::int64_t>(run.progressSpan / std::max<std::int64_t>(rounds, 1), 1));
  run.start = win::GetTickCount();

  if (kx::ReadProfileInt("Device Info", "Industrial Specification", 0, param.c_str()) == 1)
    WriteReport(StrFormat("Set Industrial Specification, ScanBad Spec. 2 Percent. (%u)", m_MaxBlockPerCe / 50), true);
  std::int32_t spec = 0;
  if (!IsNoneText(OptionText("EarlyBad_Spec", 10, param))) {
    if (!ScanSpec("EarlyBad_Spec", spec)) return false;
    WriteReport(StrFormat("Set EarlyBad_Spec= %d per CE", spec), true);
  }
  run.laterSpec = run.pageReadOut ? 0 : 1;
  if (!run.scanMode) {
    if (!IsNoneText(OptionText("LaterBad_Spec", 10, param))) {
      if (!ScanSpec("LaterBad_Spec", spec)) return false;
      run.laterSpec = NonNegative(spec);
      WriteReport(StrFormat("Set LaterBad_Spec= %u per CE", run.laterSpec), true);
    }
  }
  m_LaterBadTotal = 0;
  m_EarlyBadTotal = 0;

  std::uint32_t percent = NonNegative(Option("Scan_MaxBadPercent", 0, param));
  if (percent == 0) {
    const std::int32_t capacity = run.scanMode ? ScanSizeSettingGb() : SelectCapacity();
    const std::int32_t p = GetAutoCapacityMaxBadPercent(NonNegative(capacity));
    if (p != 0) {
      percent = NonNegative(p);
      WriteReport(StrFormat("Get %dCE %d GB, Max Bad block number Percent= %d ", m_FlashCount, capacity, p), true);
    }
  }
  WriteReport(StrFormat("Die Per Flash= %u;", m_DiePerFlash), true);
  WriteReport(StrFormat("Plane Number = %u;", m_PlaneCount), true);
  WriteReport(StrFormat(run.scanMode ? "Max Block Per CE= %u;" : "Max Block Per CE= %u; ", m_MaxBlockPerCe), true);
  WriteReport(StrFormat("Get Max Bad block number Percent= %u ", percent), true);
  run.perPlaneLimit = kx::PercentPlaneLimit(m_MaxBlockPerCe, percent, m_DiePerFlash, m_PlaneCount, run.maxBBOffset);
  WriteReport(StrFormat("Get Max Bad block number per Plane= %u", run.perPlaneLimit), true);

  if (run.scanMode) {
    std::int64_t lba = 0;
    if (!ScanTargetSectors(lba) || !ScanFirmwareLimit(run, lba)) return false;
    if (!OptionText("MaxBad_Spec_PerPlane", 10, param).empty()) {
      std::int32_t limit = 0;
      if (!ScanSpec("MaxBad_Spec_PerPlane", limit)) return false;
      run.perPlaneLimit = kx::SubtractFloor(NonNegative(limit), run.maxBBOffset);
      WriteReport(StrFormat("Set MaxBad Spec. per plane= %u", run.perPlaneLimit), true);
    }
  } else {
    if (!OptionText("max_badblock_perplane", 10, param).empty()) {
      std::int32_t limit = 0;
      if (!ScanSpec("max_badblock_perplane", limit)) return false;
      run.perPlaneLimit = kx::SubtractFloor(NonNegative(limit), run.maxBBOffset);
      WriteReport(StrFormat("Set Max Bad Block Perplane= %u", run.perPlaneLimit), true);
    }
  }

  if (m_KeepBlockTable) {
    // Released first, so that the procedures' repeated scans keep one table.
    ReleaseBlockTable();
    const auto rows = static_cast<std::size_t>(std::clamp(m_FlashCount, 0, 64));
    const std::size_t blocks = std::min<std::size_t>(m_MaxBlockPerCe, kx::kCountDies * kx::kBlockListSlots);
    m_BlockTable.assign(rows, std::vector<std::uint32_t>(blocks, 0));
  }
  m_BadCountText.clear();
  if (run.scanMode) {
    WriteReport(StrFormat("FlashNumber=%d, MaxBad_perPlane/Die=%u", m_FlashCount, run.perPlaneLimit), true);
    m_ErrorMessage = StrFormat("Get CE Map=%x", m_CeMap);
    WriteReport(m_ErrorMessage, true);
  }
  return true;
}

bool CPortDevice::ScanTargetSectors(std::int64_t& lba) {
  const std::string param = kx::SettingIniPath();
  lba = 0;
  if (Option("Use Partial Size", 0, param) == 1) {
    const std::uint32_t gb = kx::PartialSizeGb(
        NonNegative(kx::ReadProfileInt("Flash Info", "Flh_Capacity", 0, kx::ParamFdbIniPath().c_str())));
    if (gb > 0) lba = kx::ScanTargetLba(gb);
  }
  const auto refuse = [&](const std::string& message) {
    Fail(kx::kSettingNumberCode, message, true);
    return false;
  };
  std::string message;
  const std::string size = OptionText("SetSSDSize", 20, param);
  double gb = 0;
  if (!IsNoneText(size)) {
    if (!kx::ReadSettingReal(param, "Options", "SetSSDSize", 0, kx::kSizeGbMin, kx::kSizeGbMax, gb, message))
      return refuse(message);
  } else {
    gb = SelectCapacity();
  }
  if (gb > 0) {
    lba = kx::ScanTargetLba(gb);
    std::int32_t setLba = 0;
    if (!ScanSpec("SetSSDSizeLBA", setLba)) return false;
    if (setLba > 0) lba = setLba;
    const std::string factor = kx::ReadProfileText("General Info", "SSDSizePercent", kToolSettingIni, 21);
    if (!IsNoneText(factor)) {
      double scale = 0;
      if (!kx::ReadSettingReal(kToolSettingIni, "General Info", "SSDSizePercent", 0, 0, kx::kSizeFactorMax, scale,
                               message))
        return refuse(message);
      const double sectors = gb * scale * 1024.0 * 2048.0;
      lba = sectors > 0 && sectors < 9.0e18 ? static_cast<std::int64_t>(sectors) : 0;
    }
  }
  WriteReport(StrFormat("ScanBad: set_SSDSize= %lld", static_cast<long long>(lba)), true);
  return true;
}

bool CPortDevice::ScanFirmwareLimit(kx::ScanRun& run, std::int64_t lba) {
  std::uint8_t* buffer = m_IoBufferC;
  bool sizeSent = false;
  if (lba > 0) {
    if (!SetApKeyWithRetry(false, kApKeyDelayMs)) return FailWithFamily('J');
    std::memset(buffer, 0, 512);
    // The controller takes a 32-bit sector count.
    kx::StoreLe32(buffer, static_cast<std::uint32_t>(std::min<std::int64_t>(lba, 0xFFFFFFFF)));
    if (!m_Command->DirectWriteSRAM(buffer, 1, 0, 0)) {
      Fail("I_J20", "Issue DirectWriteSRAM command Failed !!", true);
      return false;
    }
    WriteReport(StrFormat("     Vender_MaxBad_PerPlane with LBA= %lld", static_cast<long long>(lba)), true);
    sizeSent = true;
  }
  if (!SetApKeyWithRetry(false, kApKeyDelayMs)) return FailWithFamily('J');
  std::memset(buffer, 0, 512);
  if (!m_Command->Vender_MaxBad_PerPlane(buffer, sizeSent)) {
    Fail("I_Jxx", "Issue Vender_MaxBad_PerPlane command Failed !!", true);
    return false;
  }
  const std::uint32_t firmware = kx::LoadLe32(buffer);
  run.perPlaneLimit = firmware;
  if (Option("skip_BadSpec_byFW", 0, kx::SettingIniPath()) == 0) {
    kx::FlashShape shape;
    shape.dpsTable = m_DpsTableFlag;
    shape.mlc = m_IsMlcFlash;
    shape.tlc = m_IsTlcFlash;
    shape.twoPlane = m_TwoPlaneMode != 0;
    shape.fourPlane = m_FourPlane;
    shape.toggleAEx = m_ToggleFlagAEx;
    shape.dieSizeGb = kx::DieSizeGb(m_SysInfo169, m_DiePerFlash);
    WriteReport(StrFormat("Die Size = %u GB", shape.dieSizeGb), true);
    const std::uint32_t cap = kx::FirmwareLimitCap(shape);
    WriteReport(StrFormat("(FW)Max_badblock_perplane = %u (Setting)Max_badblock_perplane = %u", firmware, cap), true);
    if (cap > 0 && firmware > cap) run.perPlaneLimit = cap;
  }
  WriteReport(StrFormat("Get Max Bad block number per Plane= %u", run.perPlaneLimit), true);
  if (buffer[4] == kNoSystemUnit) {
    const std::uint8_t ce = buffer[5];
    Fail("I_Jxx", StrFormat("Find System Unit Failed !!, Bad CE Index=%d", ce) + "[" + kx::GetFlashMapCe(ce) + "]",
         true);
    return false;
  }
  return true;
}

bool CPortDevice::ScanTableChecks(kx::ScanRun& run) {
  const std::string param = kx::SettingIniPath();
  const std::string fdb = kx::ParamFdbIniPath();
  std::uint16_t tableSum = 0xFFFF;
  std::uint16_t rdtSum = 0xFFFF;
  kx::RdtInfoRecord info;
  const bool rdtOk = ReadRdtInfo(&info, &rdtSum);
  if (rdtOk && (info.Flags() & kx::rdtinfo::kFlagDynamicCeMap)) {
    m_CeMap = info.CeMap();
    SelectCeMap(0, true);
  }
  const bool skipPlaneCheck = Option("SkipCheckRDTBinType", 0, param) != 0 || m_Station == 8;
  if (rdtOk && !skipPlaneCheck) {
    const int limit2 = kx::ReadProfileInt("Flash Info", "Flash2ndBinCELimit", 0, fdb.c_str());
    std::string binType = kx::ReadProfileText("Flash Info", "Flh_MPBinType", fdb.c_str(), 256);
    if (limit2 >= 1 && limit2 <= 16 && m_FlashCount > limit2)
      binType = kx::ReadProfileText("Flash Info", "Flash2ndMPBinType", fdb.c_str(), 261);
    const std::string bin = kx::BinPlaneDigit(binType);
    const std::string rdt = kx::RdtPlaneDigit(info);
    if (bin != rdt) {
      Fail("S_x28", StrFormat("RDT Plane num fail !!(Bin:%s) (RDT:%s)", bin.c_str(), rdt.c_str()), true);
      return false;
    }
  }

  run.tableTouched = true;
  const bool tableOk = ReadBbt(&run.param, &tableSum);
  if (Option("ChkFirst4Blk", 0, param) == 1 && !CheckBadBlockMap(&run.param)) {
    // Its "F_T34" failures carry their fail report already.
    if (m_ErrorCode != "F_T34") WriteFailReport();
    return false;
  }
  if (Option("CheckBBT", 1, param) != 0 && m_Station == 3 && !run.addressArgument &&
      (!tableOk || !rdtOk || !info.BuiltBbt() || tableSum != rdtSum)) {
    if (m_StatusExtraFlag != 0) {
      m_StatusExtraText += "*RDT Fail";
    } else {
      m_StatusExtraText = "RDT Fail";
      m_StatusExtraFlag = 1;
    }
    Fail("F_T34", "Bad blocks map is not match!!!", true);
    return false;
  }
  if (!tableOk) {
    Fail("F_T34", "Issue Read BBT Command Failed !!!", true);
    return false;
  }
  run.ceBound = m_CeMask64Enable != 0 ? 64 : static_cast<std::uint32_t>(std::clamp(m_FlashCount, 0, 64));
  return true;
}

bool CPortDevice::ScanCeNumber(std::uint32_t index, std::uint32_t& number) const {
  if (m_CeMap != 0 && (index >= 16 || !((m_CeMap >> index) & 1u))) return false;
  const std::uint64_t mask = (static_cast<std::uint64_t>(m_CeMask64High) << 32) | m_CeMask64Low;
  if (m_CeMask64Enable != 0) {
    number = index;
    return ((mask >> index) & 1u) != 0;
  }
  number = kx::PositionOfCe(index, mask);
  return true;
}

std::uint32_t CPortDevice::ScanListSectors() const {
  const std::uint64_t bytes = static_cast<std::uint64_t>(m_MaxBlockPerCe / ScanDies()) * 2;
  // A list holds at most 32,768 block numbers (128 sectors).
  return static_cast<std::uint32_t>(std::min<std::uint64_t>((bytes + 511) / 512, kx::kBlockListSlots * 2 / 512));
}

void CPortDevice::ScanProgress(kx::ScanRun& run) {
  run.progressDone += run.progressStep;
  if (run.progress != nullptr && run.progressDone < run.progressSpan)
    run.progress->SetPos(run.progress->GetPos() + run.progressStep);
}

void CPortDevice::ScanRecordDie(const kx::ScanRun& run, std::uint32_t ce, std::uint32_t die) {
  if (run.record == nullptr) return;
  std::memcpy(run.record + kx::scanrec::kMarker, run.scanMode ? "SCA1" : "SCA2", 4);
  kx::StoreLe32(run.record + kx::scanrec::kPerPlaneLimit, run.perPlaneLimit);
  for (std::uint32_t p = 0; p < kx::kCountPlanes; ++p) {
    kx::StoreLe32(run.record + kx::scanrec::EarlyOffset(ce, die, p), run.early[ce][die][p]);
    if (!run.scanMode) kx::StoreLe32(run.record + kx::scanrec::LaterOffset(ce, die, p), (*run.later)[0][ce][die][p]);
  }
}

void CPortDevice::ScanEarlyCounts(kx::ScanRun& run) {
  CountBadBlocksPerPlane(run.early, run.ceBound, run.param, 1, 0xFF);
  const std::uint32_t dies = ScanDies();
  const std::uint32_t planes = ScanPlanes();
  const std::uint32_t sectors = ScanListSectors();
  for (std::uint32_t i = 0; i < run.ceBound; ++i) {
    std::uint32_t ce = 0;
    if (!ScanCeNumber(i, ce)) continue;
    std::uint32_t ceTotal = 0;
    for (std::uint32_t d = 0; d < dies; ++d) {
      const auto& counts = run.early[i][d];
      WriteReport(StrFormat("     CENo_%u/Die_%u-> Early Bad Count: ", ce, d) +
                      kx::PlaneCountText(counts.data(), planes, ", "),
                  true);
      std::uint32_t sum = 0;
      for (std::uint32_t p = 0; p < planes; ++p) {
        sum += counts[p];
        if (counts[p] > run.perPlaneLimit) {
          run.ceMark[i] = kx::kCeOverSpec;
          run.overSpec = true;
        }
      }
      ceTotal += sum;
      ScanRecordDie(run, i, d);
      if (run.showAddresses) {
        ListBadBlocks(*run.list, i, d, run.param, 1, 0xFF);
        WriteReport(StrFormat("               All Early Bad Block Count= %u (%f%s)", sum,
                              sum / static_cast<double>(std::max<std::uint32_t>(m_MaxBlockPerCe, 1)) * 100.0, "%"),
                    true);
        const std::uint32_t entries = std::min<std::uint32_t>(sum, sectors * 256);
        for (std::uint32_t j = 0; j < entries; ++j) {
          const std::uint16_t block = (*run.list)[j];
          if (block != kx::kBlockListEnd)
            WriteReport(StrFormat("               Early  Bad Block_%d (0x%04x)", block, block), true);
        }
      }
      ScanProgress(run);
    }
    m_BadCountText += StrFormat(",%u/NA", ceTotal);
  }
}

void CPortDevice::ScanAutoCapacity(kx::ScanRun& run, bool& fail, std::string& replaceList) {
  const std::string fdb = kx::ParamFdbIniPath();
  if (run.autoCapacity) WriteReport("Enable auto capacity", true);
  const std::vector<std::int32_t> sizes = kx::SortedSizeList(OptionText("AutoCapacity_SizeArray", 512, fdb));
  std::string key = "AutoCapacity_MaxBadPercent";
  if (run.dynamicCe) {
    key = StrFormat("AutoCapacity_MaxBadPercent_%dCE", m_FlashCount);
    WriteReport(StrFormat("Select %s", key.c_str()), true);
  }
  const std::vector<std::uint8_t> percents = kx::SortedPercentList(OptionText(key.c_str(), 512, fdb));
  const std::int32_t target = ScanSizeSettingGb();
  if (target == 0 || !run.autoCapacity || sizes.empty()) {
    fail = true;
    return;
  }
  const bool overFirstLimit = run.overSpec;
  bool tried = false;
  const int first = kx::FirstSizeAtOrBelow(sizes, target);
  // A size without a percentage at its position is not tried.
  for (std::size_t k = first < 0 ? sizes.size() : static_cast<std::size_t>(first);
       k < sizes.size() && k < percents.size(); ++k) {
    tried = true;
    run.perPlaneLimit = kx::PercentPlaneLimit(m_MaxBlockPerCe, percents[k], m_DiePerFlash, m_PlaneCount,
                                              run.maxBBOffset);
    WriteReport(StrFormat("Auto capacity size = %d, Max Bad Percent = %d, Max Bad = %u", sizes[k], percents[k],
                          run.perPlaneLimit),
                true);
    run.ceMark.fill(0xFF);
    run.overSpec = false;
    m_ErrorMessage = StrFormat("Get CE Map=%x", m_CeMap);
    WriteReport(m_ErrorMessage, true);
    const int ce = kx::FirstCeAtOrOverLimit(run.early, run.ceBound, m_CeMap, ScanDies(), ScanPlanes(),
                                            run.perPlaneLimit);
    if (ce >= 0) {
      run.ceMark[static_cast<std::size_t>(ce)] = kx::kCeOverSpec;
      run.overSpec = true;
      replaceList = "[" + kx::GetFlashMapCe(static_cast<std::uint16_t>(ce));
      fail = true;
      continue;
    }
    fail = false;
    m_AutoCapacitySize = static_cast<std::uint32_t>(sizes[k]);
    if (run.record != nullptr) kx::StoreLe32(run.record + kx::scanrec::kPerPlaneLimit, run.perPlaneLimit);
    WriteReport(StrFormat("Select capacity size = %u, Max Bad Percent = %d, Max Bad = %u", m_AutoCapacitySize,
                          percents[k], run.perPlaneLimit),
                true);
    return;
  }
  // A drive over the first limit does not pass because no size could be tried.
  if (!tried && overFirstLimit) fail = true;
}

bool CPortDevice::ScanVerdict(kx::ScanRun& run) {
  bool fail = false;
  std::string replaceList;
  if (run.overSpec || run.autoCapacity) {
    if (!run.autoCapacity) {
      WriteReport("Following Flash Bad Block Over Spec. Replace it:", true);
      int k = 0;
      for (std::uint32_t i = 0; i < run.ceBound; ++i) {
        if (run.ceMark[i] != kx::kCeOverSpec) continue;
        WriteReport(StrFormat("   %d. CENo= %u", ++k, i), true);
        fail = true;
        kx::AddReplaceName(replaceList, kx::GetFlashMapCe(static_cast<std::uint16_t>(i)));
      }
    }
    if (run.scanMode) {
      ScanAutoCapacity(run, fail, replaceList);
    } else if (run.laterOverSpec) {
      Fail("F_J27",
           "Flash Bad Block Too Much(Later), Ref. CENo-CHNo to replace corresponding Flash." +
               (replaceList.empty() ? std::string() : replaceList + "]"),
           true);
      return false;
    }
  }
  if (fail) {
    Fail("F_J10",
         "Flash Bad Block Too Much, Ref. CENo-CHNo to replace corresponding Flash." +
             (replaceList.empty() ? std::string() : replaceList + "]"),
         true);
    return false;
  }
  m_ElapsedSec = static_cast<double>(win::GetTickCount() - run.start) / 1000.0;
  WriteReport(StrFormat("Scan Bad Process OK- Total take %.3f sec.", m_ElapsedSec), false);
  return true;
}
