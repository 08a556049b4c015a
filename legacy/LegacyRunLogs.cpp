// The legacy page's run logs (Total and Error logs by run kind, _Summary.log)
// and the log folder with its headers, serial-number record and work-order file.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include "device/Environment.h"
#include "device/ErrorLog.h"
#include "device/Folders.h"
#include "device/Format.h"
#include "device/ModuleFolder.h"
#include "device/Settings.h"
#include "engine/RunLogHeaders.h"
#include "engine/RunTotals.h"
#include "legacy/FirstPropertyPage.h"
#include "legacy/LegacyShared.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/Paths.h"

namespace legacy {

namespace {

std::string ParamText(const char* section, const char* key, std::size_t size) {
  return kx::TrimBlanks(kx::ReadProfileText(section, key, kParamIni, size));
}

void Write(const char* section, const char* key, const std::string& value, const std::string& file) {
  kx::WriteProfileText(section, key, value, file);
}

std::string CurrentWorkingNumber() {
  const std::string shared = WorkingNumber();
  return shared.empty() ? ParamText("General Info", "WorkingNo", 250) : shared;
}

}  // namespace

void CFirstPropertyPage::WriteRunTotals(const ResultCodes& codes) {
  const kx::RunLogPaths logs = kx::RunLogPathsOf(m_LogFolder, m_RunKind);
  m_TotalLogPath = logs.total;
  m_ErrorLogPath = logs.error;
  const auto ports = static_cast<std::size_t>(std::clamp(m_SlotNumber, 0, static_cast<int>(codes.size())));
  kx::PassTotals t;
  const kx::RunSummarySources sources = RunSummarySources();
  const bool written = kx::AddPassTotals(codes.data(), ports, m_TotalLogPath, kx::SummaryLogPath(m_LogFolder),
                                         TimeStamp(), t, &sources);
  const int totals[3] = {t.total, t.good, t.bad};
  for (int i = 0; i < 3; ++i) {
    m_CountModels[static_cast<std::size_t>(i)].SetWindowText(kx::StrFormat("%d", totals[i]));
    m_CountModels[static_cast<std::size_t>(i)].Redraw();
  }
  if (written) return;
  // Told once a run, not again for each pass the same refusal costs.
  const std::string refusal = kx::PassNotCountedText(t);
  if (!m_TotalsRefusalsTold.insert(refusal).second) return;
  m_Services.MessageBox(refusal, kMbOk | kMbIconError);
}

// The station is the parameter file's, the working number the shared one when set.
kx::RunSummarySources CFirstPropertyPage::RunSummarySources() { return {kParamIni, WorkingNumber()}; }

win::DWORD CFirstPropertyPage::WriteRunSummary(const std::string& totalLogPath) {
  return kx::WriteRunSummary(totalLogPath, RunSummarySources(), TimeStamp());
}

void CFirstPropertyPage::PrepareLogFolders() {
  const std::string pc = m_Services.System().ComputerName();

  // Without a program folder there is no drive to hold the serial-number settings.
  std::string lastSn;
  if (!g_ModuleFolder.empty()) {
    const char first = g_ModuleFolder[0];
    const char drive = std::isalpha(static_cast<unsigned char>(first)) ? first : 'C';
    m_SnSettingsPath = kx::StrFormat("%c:\\%s", drive, "SATA_Setting.ini");
    if (!platform::FileExists(m_SnSettingsPath)) Write("Global_Setting", "SN_Log_Path", "", m_SnSettingsPath);
    lastSn = kx::TrimBlanks(kx::ReadProfileText("Global_Setting", "Last SN", m_SnSettingsPath.c_str(), 250));
  } else {
    m_SnSettingsPath.clear();
  }

  if (!WorkingNumber().empty()) Write("General Info", "WorkingNo", WorkingNumber(), kParamIni);
  const std::string configured = ParamText("Log Path", "SetLogFolderPath", 250);
  const std::string workingNo = CurrentWorkingNumber();
  m_LogFolder = kx::LogFolderOf(configured, workingNo, pc);
  kx::MakeDirectoryPath(kx::StrFormat("%s\\D_Reports\\", m_LogFolder.c_str()));
  kx::MakeDirectoryPath(kx::StrFormat("%s\\Fail_Log\\", m_LogFolder.c_str()));

  // What is written only into a missing file is checked and written as one
  // step for every process sharing the folder, so none resets another's
  // counts or records. The last run's logs may lie in another folder: one
  // folder lock at a time.
  if (!m_TotalLogPath.empty()) {
    platform::ProfileWriteLock lock(m_TotalLogPath);
    if (!platform::FileExists(m_TotalLogPath)) WriteRunSummary(m_TotalLogPath);
    if (!m_ErrorLogPath.empty() && !platform::FileExists(m_ErrorLogPath))
      kx::WriteErrorLogHeader(m_ErrorLogPath);
  }

  const std::string summary = kx::SummaryLogPath(m_LogFolder);
  platform::ProfileWriteLock lock(summary);
  if (!platform::FileExists(summary)) kx::WriteSummaryLogHeader(summary, TimeStamp());
  if (kx::ReadProfileInt("Log", "save_current", 0, kParamIni) == 1)
    kx::MakeDirectoryPath(kx::StrFormat("%s\\Current\\", m_LogFolder.c_str()));

  const std::string record = kx::StrFormat("%s\\%s", m_LogFolder.c_str(), "SATA_RecordSN.ini");
  const std::string start = !lastSn.empty() ? lastSn.substr(lastSn.size() > 8 ? lastSn.size() - 8 : 0)
                                            : kx::StrFormat("%08d", kx::ReadProfileInt("General Info", "SerialNum", 0,
                                                                                       kParamIni));
  const bool newRecord = !platform::FileExists(record);
  Write("Serial Number", "Start Serial Number", start, record);
  Write("Serial Number", "Last Serial Number", "", record);
  if (newRecord) {
    for (int t = 1; t <= kPortCount; ++t) {
      for (const char* form : {"Tester-%d PASS", "Tester-%d Error"})
        Write(kx::StrFormat(form, t).c_str(), "[Year-Month-Day-Hour-Minute-Second]", "xxxxxxxxxxxxxxxxxxxx", record);
    }
  }

  const std::string mac = kx::TrimBlanks(kx::ReadProfileText("PC Info", "MAC_Address", kMacFile, 250));
  const std::string workOrderNo = CurrentWorkingNumber();
  const std::string workOrder =
      kx::StrFormat("%s\\WO_%s_%s.txt", m_LogFolder.c_str(), workOrderNo.c_str(), pc.c_str());
  if (!platform::FileExists(workOrder)) {
    const std::string native = platform::MapPath(workOrder);
    std::FILE* f = native.empty() ? nullptr : std::fopen(native.c_str(), "wb");
    if (f == nullptr) return;
    m_WorkOrderText = kx::StrFormat("%s\\%s\\%s\\", workOrderNo.c_str(), "",
                                    mac.substr(mac.size() > 4 ? mac.size() - 4 : 0).c_str());
    std::fwrite(m_WorkOrderText.data(), 1, m_WorkOrderText.size(), f);
    std::fclose(f);
    Write("Base Info", "WorkOrder", workOrderNo, workOrder);
  }
  lock.Release();
  kx::SetWorkOrderPath(workOrder);
  kx::MakeDirectoryPath(kx::StrFormat("%s\\Pass_Log\\", m_LogFolder.c_str()));
}

}  // namespace legacy
