// ReadRdtLog, the RDT read-out: the system information, the RDT info record
// (ReadRdtInfo of media/BbtTable.cpp) and the RDT firmware's logs, judged against
// the limits of drivetests/RdtLog.h. The emulated drive answers the log reads in
// emulator/DriveVendor.cpp (50h, 51h, 52h, 54h) from the logs that
// emulator/DriveStores.cpp builds for a drive whose RDT run is complete.
#include "drivetests/RdtLog.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "bringup/IdentifyChecks.h"
#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/FileWrites.h"
#include "device/Folders.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/SettingNumbers.h"
#include "device/Settings.h"
#include "platform/Clock.h"

using kx::StrFormat;

namespace kx {

namespace {

constexpr const char* kToolSettingIni = ".\\Configuration\\System\\MPToolSetting.ini";
constexpr const char* kLogNames[rdtlog::kLogCount] = {"BadBlock", "Temperature/Time", "DRAM", "Special"};
constexpr const char* kLogFiles[rdtlog::kLogCount] = {"BadBlockLog", "TempTimeLog", "DramLog", "SpecialLog"};

std::string Causes(std::uint8_t flags) {
  if (flags & bbtflag::kEarlyBad) return "Early";
  std::string text = "Later";
  if (flags & bbtflag::kEraseFail) text += " E";
  if (flags & bbtflag::kProgramFail) text += " P";
  if (flags & (bbtflag::kReadFail | bbtflag::kRaidBad)) text += " R";
  return text;
}

std::string FwVersion(const RdtInfoRecord& info) {
  std::string fw;
  for (std::size_t i = 0; i < rdtinfo::kFwVersionBytes; ++i) {
    const char c = static_cast<char>(info.U8(rdtinfo::kFwVersion + i));
    if (c == '\0') break;
    fw += c;
  }
  return fw;
}

std::string Value(double v, bool percent) {
  return percent ? StrFormat("%.2f%%", v) : StrFormat("%llu", static_cast<unsigned long long>(v));
}

}  // namespace

std::string RdtResultName(std::uint8_t result) {
  if (result == rdtrun::kPassed) return "RDT_RESULT_PASS";
  if (result == rdtrun::kNotFinished) return "RDT_RESULT_NOT_FINISHED";
  for (const RdtResultRow& r : kRdtResultCodes)
    if (r.result == result) return r.message;
  return "RDT_RESULT_UNKNOWN";
}

std::optional<std::size_t> RdtLogEntryCount(std::span<const std::uint8_t> bytes, rdtlog::Log log, std::size_t from) {
  const std::size_t entries = bytes.size() / rdtlog::kEntryBytes;
  for (std::size_t i = from; i < entries; ++i)
    if (rdtlog::IsEndEntry(bytes.data() + i * rdtlog::kEntryBytes, log, static_cast<std::uint32_t>(i))) return i;
  return std::nullopt;
}

void DecodeRdtLog(std::span<const std::uint8_t> bytes, std::size_t count, rdtlog::Log log, RdtLogs& logs) {
  using namespace rdtlog;
  count = std::min(count, bytes.size() / kEntryBytes);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* e = bytes.data() + i * kEntryBytes;
    switch (log) {
      case Log::BadBlock:
        logs.badBlocks.push_back({e[kBbCe], e[kBbDie], e[kBbPlane], e[kBbFlags], LoadLe32(e + kBbBlock)});
        break;
      case Log::TemperatureTime:
        logs.temperatures.push_back({LoadLe16(e + kTtMinute), e[kTtCelsius], e[kTtLoop]});
        break;
      case Log::Dram: logs.dram.push_back({LoadLe32(e + kDrAddress), LoadLe16(e + kDrBits), e[kDrLoop]}); break;
      case Log::Special:
        logs.ecc.push_back({e[kEcCe], e[kEcDie], e[kEcPlane], (e[kEcFlags] & kEcSlc) != 0, LoadLe16(e + kEcBlock),
                            e[kEcBits], e[kEcLoop]});
        break;
    }
  }
}

RdtPlaneMap CountRdtBadBlocks(const std::vector<RdtBadBlockEntry>& entries) {
  RdtPlaneMap planes;
  for (const RdtBadBlockEntry& e : entries) {
    RdtPlaneCounts& n = planes[{e.ce, e.die, e.plane}];
    if (e.flags & bbtflag::kEarlyBad) {
      ++n.early;
      continue;
    }
    ++n.later;
    if (e.flags & bbtflag::kEraseFail) ++n.erase;
    if (e.flags & bbtflag::kProgramFail) ++n.program;
    if (e.flags & (bbtflag::kReadFail | bbtflag::kRaidBad)) ++n.read;
  }
  return planes;
}

RdtPlaneCounts SumRdtPlanes(const RdtPlaneMap& planes) {
  RdtPlaneCounts sum;
  for (const auto& [key, n] : planes) {
    sum.early += n.early, sum.later += n.later;
    sum.erase += n.erase, sum.program += n.program, sum.read += n.read;
  }
  return sum;
}

RdtFindings MakeRdtFindings(const RdtInfoRecord& info, const RdtLogs& logs, bool flashRead, bool dramRead,
                            std::uint32_t blocksPerPlane, std::uint64_t totalBlocks) {
  RdtFindings f;
  f.result = info.U8(rdtrun::kResultCode);
  f.flashRead = flashRead;
  f.dramRead = dramRead;
  f.planes = CountRdtBadBlocks(logs.badBlocks);
  f.blocksPerPlane = blocksPerPlane;
  f.totalBlocks = totalBlocks;
  for (const RdtEccEntry& e : logs.ecc) (e.slc ? f.slcEcc : f.tlcEcc) = std::max(e.slc ? f.slcEcc : f.tlcEcc, e.bits);
  f.slcLoops = info.U8(rdtinfo::kSlcLoops);
  f.tlcLoops = info.U8(rdtinfo::kXlcLoops);
  f.dramErrors = static_cast<std::uint32_t>(logs.dram.size());
  return f;
}

bool ReadRdtLimits(const std::string& flashParamFile, RdtLimitValues& limits, std::string& message) {
  limits.fill(0);
  for (std::size_t i = 0; i < kRdtLimitCount; ++i) {
    const RdtLimitRow& row = kRdtLimits[i];
    const std::string file = row.file == RdtIni::FlashParam ? flashParamFile : kToolSettingIni;
    if (row.enableKey != nullptr && ReadProfileInt(row.section, row.enableKey, 0, file.c_str()) != 1) continue;
    if (row.percent) {
      if (!ReadSettingReal(file, row.section, row.key, 0, -100, 100, limits[i], message)) return false;
    } else {
      std::int32_t whole = 0;
      if (!ReadSettingInt<std::int32_t>(file, row.section, row.key, 0, whole, message)) return false;
      limits[i] = whole;
    }
  }
  return true;
}

RdtVerdict JudgeRdt(const RdtFindings& f, const RdtLimitValues& limits) {
  RdtVerdict v;
  if (f.result != rdtrun::kPassed) {
    v.code = f.result == rdtrun::kNotFinished ? kRdtNotFinishedCode : kRdtFailedCode;
    v.message = f.result == rdtrun::kNotFinished ? "[end]RDT Not Finished !!!"
                                                 : "[end]RDT Testing failed!!! Replace above abnormal Flash.";
    for (const RdtResultRow& r : kRdtResultCodes)
      if (r.result == f.result) v.code = r.code, v.message = r.message;
    return v;
  }
  if (f.dramRead && f.dramErrors != 0) {
    v.code = kRdtDramCode;
    v.message = StrFormat("[end]RDT DRAM Test Failed, Error Count(%u)", f.dramErrors);
    return v;
  }
  const RdtPlaneCounts sum = SumRdtPlanes(f.planes);
  for (std::size_t i = 0; i < kRdtLimitCount && v.Passed(); ++i) {
    const RdtLimitRow& row = kRdtLimits[i];
    const double limit = limits[i];
    const bool flashMeasure = row.measure != RdtMeasure::TlcLoops && row.measure != RdtMeasure::SlcLoops;
    if (limit <= 0 || (flashMeasure && !f.flashRead)) continue;
    auto ratio = [&](std::uint32_t n) { return f.totalBlocks ? 100.0 * n / static_cast<double>(f.totalBlocks) : 0.0; };
    double measure = 0;
    std::string label = row.label;
    double shownLimit = limit;
    switch (row.measure) {
      case RdtMeasure::PlaneBad: {
        v.planeLimit = static_cast<std::uint32_t>(f.blocksPerPlane * limit / 100.0);
        shownLimit = v.planeLimit;
        for (const auto& [key, n] : f.planes)
          if (n.early + n.later > v.planeLimit) {
            measure = n.early + n.later;
            label = StrFormat("CE%d Die%d Plane%d ", key[0], key[1], key[2]) + row.label;
            break;
          }
        break;
      }
      case RdtMeasure::EraseBad: measure = sum.erase; break;
      case RdtMeasure::ProgramBad: measure = sum.program; break;
      case RdtMeasure::ReadBad: measure = sum.read; break;
      case RdtMeasure::EraseRatio: measure = ratio(sum.erase); break;
      case RdtMeasure::ProgramRatio: measure = ratio(sum.program); break;
      case RdtMeasure::ReadRatio: measure = ratio(sum.read); break;
      case RdtMeasure::TotalLater: measure = sum.later; break;
      case RdtMeasure::TlcEcc: measure = f.tlcEcc; break;
      case RdtMeasure::SlcEcc: measure = f.slcEcc; break;
      case RdtMeasure::TlcLoops: measure = f.tlcLoops; break;
      case RdtMeasure::SlcLoops: measure = f.slcLoops; break;
    }
    const bool percentShown = row.percent && row.measure != RdtMeasure::PlaneBad;
    if (row.minimum ? measure < limit : measure > shownLimit) {
      v.code = row.code;
      v.message = StrFormat("[end]RDT Test Failed, %s(%s) %c Setting Spec.(%s)", label.c_str(),
                            Value(measure, percentShown).c_str(), row.minimum ? '<' : '>',
                            Value(shownLimit, percentShown).c_str());
    }
  }
  return v;
}

std::vector<std::string> RdtSummaryLines(const RdtInfoRecord& info, const RdtLogs& logs, const RdtFindings& f,
                                         std::uint32_t physicalSizeMb) {
  std::vector<std::string> lines;
  const std::uint32_t t = info.U32(rdtinfo::kTestSeconds);
  lines.push_back(StrFormat("RDT FW Version: %s", FwVersion(info).c_str()));
  lines.push_back(StrFormat("RDT Result Code: 0x%02X (%s)", f.result, RdtResultName(f.result).c_str()));
  lines.push_back(StrFormat("RDT CE Map: %04X", info.CeMap()));
  lines.push_back(StrFormat("RDT Loop(SLC/TLC): %u/%u", f.slcLoops, f.tlcLoops));
  lines.push_back(StrFormat("RDT Time: %02u:%02u:%02u (%u sec)", t / 3600, t / 60 % 60, t % 60, t));
  lines.push_back(StrFormat("RDT Temperature(Min/Max): %u/%u", info.U8(rdtinfo::kMinTemperature),
                            info.U8(rdtinfo::kMaxTemperature)));
  lines.push_back(StrFormat("Flash Physical Size: %u MB", physicalSizeMb));
  if (!logs.temperatures.empty()) {
    unsigned lo = 255, hi = 0, total = 0;
    for (const RdtTemperatureEntry& e : logs.temperatures)
      lo = std::min<unsigned>(lo, e.celsius), hi = std::max<unsigned>(hi, e.celsius), total += e.celsius;
    lines.push_back(StrFormat("Temperature Log: %zu readings, Min=%u, Max=%u, Avg=%u", logs.temperatures.size(), lo, hi,
                              static_cast<unsigned>(total / logs.temperatures.size())));
  }
  if (f.flashRead) {
    const RdtPlaneCounts sum = SumRdtPlanes(f.planes);
    lines.push_back(StrFormat("RDT Bad Block: Early=%u, Later=%u (Erase=%u, Program=%u, Read=%u)", sum.early, sum.later,
                              sum.erase, sum.program, sum.read));
    lines.push_back(StrFormat("ECC Log: %zu blocks, Max ECC(SLC/TLC)=%u/%u", logs.ecc.size(), f.slcEcc, f.tlcEcc));
  }
  if (f.dramRead) lines.push_back(StrFormat("DRAM Log: %u errors", f.dramErrors));
  return lines;
}

std::vector<std::string> RdtDetailLines(const RdtLogs& logs, const RdtFindings& f) {
  std::vector<std::string> lines;
  for (const auto& [key, n] : f.planes)
    lines.push_back(StrFormat("CE%02d/Die%d/Plane%d-> Early Bad=%u, Later Bad=%u <Erase= %u; Program= %u; Read= %u>",
                              key[0], key[1], key[2], n.early, n.later, n.erase, n.program, n.read));
  for (const RdtBadBlockEntry& e : logs.badBlocks)
    lines.push_back(StrFormat("CE%02d/Die%d/Plane%d Block_%u (0x%04x) %s", e.ce, e.die, e.plane, e.block, e.block,
                              Causes(e.flags).c_str()));
  for (const RdtTemperatureEntry& e : logs.temperatures)
    lines.push_back(
        StrFormat("Time %02d:%02d Loop %u Temperature %u", e.minute / 60, e.minute % 60, e.loop, e.celsius));
  for (const RdtEccEntry& e : logs.ecc)
    lines.push_back(StrFormat("CE%02d/Die%d/Plane%d Block_%u %s ECC=%u Loop=%u", e.ce, e.die, e.plane, e.block,
                              e.slc ? "SLC" : "TLC", e.bits, e.loop));
  for (const RdtDramEntry& e : logs.dram)
    lines.push_back(StrFormat("DRAM Address=0x%08X Bits=0x%04X Loop=%u", e.address, e.bits, e.loop));
  return lines;
}

void FillRdtBlockRecord(std::uint8_t* record, const RdtPlaneMap& planes, std::uint32_t planeLimit,
                        std::uint16_t runCeMap) {
  std::memset(record, 0, scanrec::kSize);
  std::memcpy(record + scanrec::kMarker, "RDT", 3);
  StoreLe32(record + scanrec::kPerPlaneLimit, planeLimit);
  auto add = [record](std::size_t offset, std::uint32_t n) {
    StoreLe32(record + offset, LoadLe32(record + offset) + n);
  };
  for (const auto& [key, n] : planes) {
    const std::size_t ce = key[0], plane = key[2], die = ce >= 8 ? 1 : 0;
    if (ce >= 16 || plane >= scanrec::kPlanes) continue;
    add(scanrec::EarlyOffset(ce, die, plane), n.early);
    add(scanrec::LaterOffset(ce, die, plane, 0), n.later);
    add(scanrec::LaterOffset(ce, die, plane, 1), n.erase);
    add(scanrec::LaterOffset(ce, die, plane, 2), n.program);
    add(scanrec::LaterOffset(ce, die, plane, 3), n.read);
  }
  StoreLe16(record + scanrec::kCeSkipMask, static_cast<std::uint16_t>(runCeMap != 0 ? ~runCeMap : 0));
}

}  // namespace kx

// ---- the step ------------------------------------------------------------------

bool CPortDevice::FailRdtStep(bool report) {
  std::replace(m_ErrorCode.begin(), m_ErrorCode.end(), 'x', 'T');
  if (report) WriteFailReport();
  return false;
}

bool CPortDevice::ReadRdtLogBytes(kx::rdtlog::Log log, std::vector<std::uint8_t>& out, bool report) {
  const auto index = static_cast<std::size_t>(log);
  out.clear();
  for (std::uint32_t sector = 0; sector < kx::kRdtLogMaxSectors; sector += kx::kRdtLogChunkSectors) {
    if (!SetApKeyWithRetry(true, 300)) return FailRdtStep(report);
    const std::size_t from = out.size() / kx::rdtlog::kEntryBytes;
    out.resize(out.size() + kx::kRdtLogChunkSectors * 512, 0);
    std::uint8_t* at = out.data() + static_cast<std::size_t>(sector) * 512;
    const auto n = static_cast<std::uint8_t>(kx::kRdtLogChunkSectors);
    const auto address = static_cast<std::uint16_t>(sector);
    bool sent = false;
    switch (log) {
      case kx::rdtlog::Log::BadBlock: sent = m_Command->Get_RDT_BadBlock_Log(at, 0, address, n); break;
      case kx::rdtlog::Log::TemperatureTime: sent = m_Command->Get_RDT_Temperature_Time_Log(at, 0, address, n); break;
      case kx::rdtlog::Log::Dram: sent = m_Command->Get_RDT_SDR_Log(at, 0, address, n); break;
      case kx::rdtlog::Log::Special: sent = m_Command->Get_RDT_BadBlock_SpecialLog(at, n, address); break;
    }
    if (!sent) {
      Fail(kx::kRdtLogReadCode, StrFormat("Issue Get RDT %s Log Command Failed !!!", kx::kLogNames[index]), report);
      return false;
    }
    if (const auto count = kx::RdtLogEntryCount(out, log, from)) {
      out.resize((*count + 1) * kx::rdtlog::kEntryBytes);
      return true;
    }
    // No entry is all zeros: past a blank chunk the RDT wrote nothing.
    if (std::all_of(out.begin() + static_cast<std::ptrdiff_t>(sector) * 512, out.end(),
                    [](std::uint8_t b) { return b == 0; }))
      break;
  }
  Fail(kx::kRdtLogMarkCode, StrFormat("RDT %s Log Mark Not Found !!!", kx::kLogNames[index]), report);
  return false;
}

std::string CPortDevice::RdtFileStem() {
  std::string serial = kx::TrimBlanks(m_SerialNumber);
  std::array<std::uint8_t, kx::kIdentifyBytes> id{};
  if (serial.empty() && m_Command->GetIdentify(id.data())) serial = kx::TrimBlanks(kx::AtaWordText(id.data(), 10, 10));
  return serial.empty() ? StrFormat("Slot%02d", m_Slot) : kx::SafeFileName(serial);
}

void CPortDevice::WriteRdtResultFiles(const std::string& text, bool saveLog, const kx::RdtInfoRecord& info,
                                      const std::vector<std::uint8_t>* rawLogs, std::size_t logCount) {
  const std::string folder = (m_LogFolder.empty() ? std::string(".") : m_LogFolder) + "\\RDT";
  if (!kx::MakeDirectoryPath(folder)) {
    WriteReport(StrFormat("Create RDT folder fail!! (%s)", folder.c_str()), true);
    return;
  }
  const std::string stem = folder + "\\" + RdtFileStem();
  const std::string resultPath = stem + "_RDT.txt";
  WriteTempReport("START", false, resultPath);
  if (m_LogFile.AppendText(resultPath, text) != 0) WriteReport("Write RDT result file fail!!", true);
  if (!saveLog) return;
  const std::uint64_t used = kx::GetFolderSize64(folder);
  if (used > kx::kRdtFolderMaxBytes) {
    WriteReport(StrFormat("RDT folder holds %llu MB, RDT logs not saved", static_cast<unsigned long long>(used >> 20)),
                true);
    return;
  }
  bool saved = kx::WriteWholeFile(stem + "_RDTInfo.bin", info.data(), kx::kMediaRecordBytes) == kx::WriteResult::Ok;
  for (std::size_t i = 0; i < std::min(logCount, kx::rdtlog::kLogCount); ++i)
    if (!rawLogs[i].empty())
      saved = kx::WriteWholeFile(StrFormat("%s_%s.bin", stem.c_str(), kx::kLogFiles[i]), rawLogs[i].data(),
                                 rawLogs[i].size()) == kx::WriteResult::Ok &&
              saved;
  if (!saved) WriteReport("Save RDT log fail!!", true);
}

bool CPortDevice::ReadRdtLog(bool saveLog, bool detail, IProgressBar* progress, int progressSpan, bool onlyDram,
                             int reportOnly, std::uint8_t* rdtInfo64, RdtScanRecord* record, int /*ninth*/) {
  using kx::rdtlog::Log;
  const win::DWORD start = win::GetTickCount();
  const bool report = reportOnly == 0;
  const int startPos = progress != nullptr ? progress->GetPos() : 0;
  auto advance = [&](int done) {
    if (progress != nullptr && progressSpan > 0) progress->SetPos(startPos + progressSpan * done / 6);
  };
  WriteReport("Read RDT Log", true);
  m_RdtResultCode = 0;
  m_RdtTime = 0;
  // A limit that is no number refuses the read-out before the drive is asked.
  kx::RdtLimitValues limits{};
  if (std::string message; !kx::ReadRdtLimits(kx::ParamFdbIniPath(), limits, message)) {
    Fail(kx::kSettingNumberCode, message, report);
    return false;
  }
  if (!CheckSystemInfo()) return FailRdtStep(report);
  advance(1);

  kx::RdtInfoRecord info;
  const std::string codeBefore = m_ErrorCode, messageBefore = m_ErrorMessage;
  if (!ReadRdtInfo(&info, nullptr)) {
    if (m_ErrorCode != codeBefore) return false;  // its access key failed, reported
    const bool readFailed = m_ErrorMessage != messageBefore;
    Fail(kx::kRdtInfoMissingCode, readFailed ? m_ErrorMessage : "Read RDT Info Fail, RDT Mark Not Found !!!", report);
    return false;
  }
  m_RdtResultCode = info.U8(kx::rdtrun::kResultCode);
  m_RdtTime = static_cast<std::int32_t>(std::min<std::uint32_t>(info.U32(kx::rdtinfo::kTestSeconds), INT_MAX));
  if (rdtInfo64 != nullptr) std::memcpy(rdtInfo64, info.data(), kx::kMediaRecordBytes);
  advance(2);

  const std::string fdb = kx::ParamFdbIniPath();
  const bool flashRead = !onlyDram;
  const bool dramRead = kx::ReadProfileInt("RDT", "only_do_Flash", 0, fdb.c_str()) != 1;
  std::array<std::vector<std::uint8_t>, kx::rdtlog::kLogCount> raw;
  kx::RdtLogs logs;
  for (std::size_t i = 0; i < kx::rdtlog::kLogCount; ++i) {
    const auto log = static_cast<Log>(i);
    const bool wanted = log == Log::TemperatureTime || (log == Log::Dram ? dramRead : flashRead);
    if (wanted) {
      if (!ReadRdtLogBytes(log, raw[i], report)) return false;
      kx::DecodeRdtLog(raw[i], raw[i].size() / kx::rdtlog::kEntryBytes - 1, log, logs);
    }
    advance(3 + static_cast<int>(i));
  }

  // Blocks of one plane of one die, and of the CEs the RDT ran on.
  const std::uint32_t dies = std::max<std::uint32_t>(m_DiePerFlash, 1),
                      planes = std::max<std::uint32_t>(m_PlaneCount, 1);
  const int ces = info.CeMap() != 0 ? std::popcount(info.CeMap()) : std::max(m_FlashCount, 0);
  const kx::RdtFindings findings = kx::MakeRdtFindings(info, logs, flashRead, dramRead, m_MaxBlockPerCe / dies / planes,
                                                       static_cast<std::uint64_t>(m_MaxBlockPerCe) * ces);
  const kx::RdtVerdict verdict = kx::JudgeRdt(findings, limits);
  if (record != nullptr) kx::FillRdtBlockRecord(record->data(), findings.planes, verdict.planeLimit, info.CeMap());

  std::vector<std::string> summary = kx::RdtSummaryLines(info, logs, findings, m_PhysicalSize);
  summary.push_back(verdict.Passed() ? "RDT Result: Pass" : "RDT Result: Fail, " + verdict.message);
  std::string text;
  for (const std::string& line : summary) text += StrFormat("   %s \r\n", line.c_str());
  std::string detailText;
  for (const std::string& line : kx::RdtDetailLines(logs, findings))
    detailText += StrFormat("   %s \r\n", line.c_str());
  WriteRdtResultFiles(text + detailText, saveLog, info, raw.data(), raw.size());
  for (const std::string& line : summary) WriteReport(line, true);
  if (detail && !m_LastReportPath.empty()) m_LogFile.AppendText(m_LastReportPath, detailText);

  if (!verdict.Passed()) {
    Fail(verdict.code.c_str(), verdict.message, report);
    return false;
  }
  m_ElapsedSec = static_cast<double>(win::GetTickCount() - start) / 1000.0;
  WriteReport(StrFormat("Read RDT Log OK- Total take %.3f sec.", m_ElapsedSec), false);
  return true;
}
