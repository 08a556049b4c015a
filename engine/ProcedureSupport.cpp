// The shared settings reads of engine/ProcedureSupport.h, and the sorted-BBT
// restore of the MP and RDT procedures.
#include "engine/ProcedureSupport.h"

#include <algorithm>
#include <cstdio>

#include "bringup/Capacity.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/SettingNumbers.h"
#include "device/Settings.h"
#include "engine/PortJob.h"
#include "platform/Files.h"
#include "protocol/MediaRecords.h"

namespace kx::proc {

int ParamInt(const char* section, const char* key, int defaultValue) {
  return ReadProfileInt(section, key, defaultValue, SettingIniPath().c_str());
}

int OptionInt(const char* key, int defaultValue) { return ParamInt("Options", key, defaultValue); }

int FdbInt(const char* section, const char* key, int defaultValue) {
  return ReadProfileInt(section, key, defaultValue, ParamFdbIniPath().c_str());
}

int ToolInt(const char* key, int defaultValue) {
  return ReadProfileInt("General Info", key, defaultValue, kToolSetting);
}

void ReportUnreadableSettings(CPortDevice& d, const std::string& path) {
  std::string first;
  const win::DWORD error = platform::ReadFileStart(path, first, 1);
  if (error != 0)
    d.WriteReport(StrFormat("Setting file %s cannot be read: %s", path.c_str(), OsErrorText(error).c_str()), true);
}

const std::string& ReadText(std::string& scratch, const char* section, const char* key, const std::string& file,
                            std::size_t bufferSize) {
  scratch = TrimBlanks(ReadProfileText(section, key, file.c_str(), bufferSize));
  return scratch;
}

SortedBbtFill SortedBbtFillOf(const BbtParameter& header) {
  SortedBbtFill fill;
  fill.tableBytes = static_cast<std::uint64_t>(header.BbtSectors()) * 512u;
  fill.clearBytes = static_cast<std::uint64_t>(header.ColumnCount()) * header.DiesPerGroup() * header.PlaneCount() *
                    header.RowCount();
  return fill;
}

bool IsNoDriveCode(const std::string& code) { return code == "P_A01" || code == "P_x01"; }

int CountFlashIds(const std::uint8_t* table512) {
  int count = 0;
  for (int i = 0; i < 64; ++i) {
    const std::uint8_t* e = table512 + i * 8;
    if (std::any_of(e, e + 7, [](std::uint8_t b) { return b != 0; })) ++count;
  }
  return count;
}

bool RunSetBurnIn(CPortDevice& d, IProgressBar* progress, int endPosition, bool& byCapacity) {
  const char* section = "Write_Read BurnIn";
  const int loops = ParamInt(section, "Loop", 1);
  byCapacity = false;
  // The percentage or capacity (GB) to cover; a value that is no number fails the step.
  const auto amount = [&](const char* key, double max, double& value) {
    std::string message;
    if (ReadSettingReal(SettingIniPath(), section, key, 0, 0, max, value, message)) return true;
    d.m_ErrorCode = kSettingNumberCode;
    d.m_ErrorMessage = message;
    d.WriteFailReport();
    return false;
  };
  double value = 0;
  if (ParamInt(section, "SetPercent", 0) == 1) {
    if (!amount("Percent", 100, value)) return false;
    return d.WriteReadBurnIn(progress, endPosition, static_cast<float>(value), 0, loops);
  }
  if (ParamInt(section, "SetCapacity", 0) == 1) {
    byCapacity = true;
    if (!amount("Capacity", kSizeGbMax, value)) return false;
    return d.WriteReadBurnIn(progress, endPosition, static_cast<float>(value), 1, loops);
  }
  return true;
}

void TakeOwedCurrent(CPortDevice& d, bool read) {
  if (read && d.m_StatWR && d.m_StatWRPending) {
    const std::string code = d.m_ErrorCode;
    const std::string message = d.m_ErrorMessage;
    double milliamperes = 0.0;
    if (d.ReadMaxCurrent(milliamperes, 0)) d.m_StatWRText = StrFormat("%.2f", milliamperes);
    d.m_ErrorCode = code;
    d.m_ErrorMessage = message;
  }
  d.m_StatWRPending = 0;
}

}  // namespace kx::proc

bool CPortJob::RestoreSortedBbt(bool& thirdBbtRead, bool keepStepMessage) {
  CPortDevice& d = *m_Device;
  auto sortFailEnding = [&]() {
    m_FailCode = d.m_ErrorCode;
    if (m_ResultCode) *m_ResultCode = m_FailCode;
    SetPortStatus(0, m_FailCode, d.m_ErrorMessage);
    JoinResultFields(true, 0, m_FailCode, d.m_ErrorMessage, "");
    d.ReleaseBbt();
    d.ReleaseBbt3rd();
    return false;
  };

  const int skipSort = kx::proc::OptionInt("SkipSortBBT", 0);
  kx::BbtParameter header;
  const std::string codeBefore = d.m_ErrorCode, messageBefore = d.m_ErrorMessage;
  if (!d.ReadBbt(&header, nullptr)) {
    // The read names no code of its own: a failed command leaves its message, a
    // drive without the table nothing (a failed access key sets its own code).
    // The job's failed ending writes the block.
    if (d.m_ErrorCode == codeBefore) {
      d.m_ErrorCode = "F_T34";
      if (d.m_ErrorMessage == messageBefore) d.m_ErrorMessage = "Bad blocks map is not exist!!!";
    }
    return sortFailEnding();
  }

  // The drive's header sizes the fill and the clear; neither may pass the table read.
  std::vector<std::uint8_t>& bbt = d.m_BbtBuffer;
  const kx::proc::SortedBbtFill fill = kx::proc::SortedBbtFillOf(header);
  if (bbt.empty() || fill.tableBytes > bbt.size() || fill.clearBytes > bbt.size()) {
    d.m_ErrorCode = "F_T34";
    d.m_ErrorMessage = kx::StrFormat("BBT header size is beyond the table read (%llu, %llu > %zu bytes)!!!",
                                     static_cast<unsigned long long>(fill.tableBytes),
                                     static_cast<unsigned long long>(fill.clearBytes), bbt.size());
    d.WriteFailReport();
    return sortFailEnding();
  }
  std::fill_n(bbt.begin(), fill.tableBytes, 0xFF);
  std::fill_n(bbt.begin(), fill.clearBytes, 0x00);

  // Its length is kept apart from the setting, which alone decides the write-back.
  std::uint32_t thirdBytes = 0;
  thirdBbtRead = d.Read3rdBbt(bbt.data(), &header, &thirdBytes);
  if (thirdBbtRead && skipSort == 0) {
    kx::RdtInfoRecord cleared;
    std::uint16_t checksum = 0xFFFF;
    const bool written = d.WriteBbt(bbt.data(), &cleared, &header, &checksum, 1);
    d.ReleaseBbt3rd();
    if (!written) return sortFailEnding();
  } else if (!thirdBbtRead && skipSort == 0) {
    d.m_ErrorCode = "F_x50";
    if (!keepStepMessage) d.m_ErrorMessage = "Check Thrid Party BBT fail!";
    d.WriteReport("Check Thrid Party BBT fail!", true);
    d.WriteFailReport();
    return sortFailEnding();
  }
  d.ReleaseBbt();
  d.ReleaseBbt3rd();
  return true;
}
