// The legacy page's run logs (Total and Error logs by run kind, _Summary.log)
// and the log folder with its headers, serial-number record and work-order file.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include "device/Environment.h"
#include "device/Folders.h"
#include "device/Format.h"
#include "device/ModuleFolder.h"
#include "device/Settings.h"
#include "engine/RunSummaryKeys.h"
#include "legacy/FirstPropertyPage.h"
#include "legacy/LegacyShared.h"
#include "platform/Files.h"
#include "platform/Paths.h"

namespace legacy {

namespace {

std::string ParamText(const char* section, const char* key, std::size_t size) {
  return kx::TrimBlanks(kx::ReadProfileText(section, key, kParamIni, size));
}

void Write(const char* section, const char* key, const std::string& value, const std::string& file) {
  kx::WriteProfileText(section, key, value, file);
}

int ReadInt(const char* section, const char* key, const std::string& file) {
  return kx::ReadProfileInt(section, key, 0, file.c_str());
}

std::string CurrentWorkingNumber() {
  const std::string shared = WorkingNumber();
  return shared.empty() ? ParamText("General Info", "WorkingNo", 250) : shared;
}

bool Skipped(const std::string& code) {
  return code == "H_F8" || code == "H_AF" || code == "T_01" || code == "P_A01" || code == "P_x01";
}

}  // namespace

void CFirstPropertyPage::WriteRunTotals(const ResultCodes& codes) {
  const char* kind = m_RunKind == 1 ? "Init" : m_RunKind == 4 ? "QC" : "Debug";
  m_TotalLogPath = kx::StrFormat("%s\\Total_%s.log", m_LogFolder.c_str(), kind);
  m_ErrorLogPath = kx::StrFormat("%s\\Error_%s.log", m_LogFolder.c_str(), kind);
  if (!platform::FileExists(m_TotalLogPath)) WriteRunSummary(m_TotalLogPath);

  int good = 0;
  std::vector<std::string> errors;
  const int entries = std::clamp(m_SlotNumber, 0, static_cast<int>(codes.size()));
  for (int i = 0; i < entries; ++i) {
    const std::string& code = codes[static_cast<std::size_t>(i)];
    if (Skipped(code)) continue;
    if (code == "0_00")
      ++good;
    else
      errors.push_back(code);
  }
  const int bad = static_cast<int>(errors.size());

  const int added[3] = {good + bad, good, bad};
  const char* keys[3] = {"Total", "Good", "Bad"};
  int totals[3];
  for (int i = 0; i < 3; ++i)
    totals[i] = static_cast<int>(static_cast<unsigned>(ReadInt("Total Results", keys[i], m_TotalLogPath))) + added[i];
  for (int i = 0; i < 3; ++i) {
    const std::string text = kx::StrFormat("%d", totals[i]);
    Write("Total Results", keys[i], text, m_TotalLogPath);
    m_CountModels[static_cast<std::size_t>(i)].SetWindowText(text);
    m_CountModels[static_cast<std::size_t>(i)].Redraw();
  }

  const std::string now = TimeStamp();
  Write("Time", "End Time", now, m_TotalLogPath);
  const std::string summary = kx::StrFormat("%s\\_Summary.log", m_LogFolder.c_str());
  Write("Time", "End Time", now, summary);
  Write("Results", "Pass", kx::StrFormat("%d", ReadInt("Results", "Pass", summary) + good), summary);
  Write("Results", "TotalErrorCount", kx::StrFormat("%d", ReadInt("Results", "TotalErrorCount", summary) + bad),
        summary);
  for (const std::string& code : errors)
    Write("ErrorList", code.c_str(), kx::StrFormat("%d", ReadInt("ErrorList", code.c_str(), summary) + 1), summary);
}

void CFirstPropertyPage::WriteRunSummary(const std::string& totalLogPath) {
  const bool kx7410 = IsKx7410(ParamText("Device Info", "ControllerType", 255));
  const std::string now = TimeStamp();
  Write("Time", "Start Time", now, totalLogPath);
  Write("Time", "End Time", now, totalLogPath);
  for (const char* key : {"Total", "Good", "Bad"}) Write("Total Results", key, "0", totalLogPath);

  Write("General Info", "TestStation", ParamText("General Info", "TestStation", 100), totalLogPath);
  const std::string shared = WorkingNumber();
  for (const auto& c : kx::kRunSummaryKeys) {
    if (c.kx7410Only && !kx7410) continue;
    const bool sharedNumber = std::string_view(c.key) == "WorkingNo" && !shared.empty();
    const std::string value = sharedNumber ? shared : ParamText(c.section, c.key, c.size);
    Write(c.section, c.key, value, totalLogPath);
    if (std::string_view(c.key) == "Flh_Capacity") Write("Card Info", "Capacity", value, totalLogPath);
  }
  Write("General Info", "NetCardID", kx::TrimBlanks(kx::ReadProfileText("PC Info", "MAC_Address", kMacFile, 20)),
        totalLogPath);
  Write("General Info", "MPVersion", kx::StrFormat("%x.%02x", 2, 0x0A), totalLogPath);
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
  m_LogFolder = configured.empty() ? kx::StrFormat(".\\%s_%s", workingNo.c_str(), pc.c_str())
                                   : kx::StrFormat("%s\\%s", configured.c_str(), workingNo.c_str());
  kx::MakeDirectoryPath(kx::StrFormat("%s\\D_Reports\\", m_LogFolder.c_str()));
  kx::MakeDirectoryPath(kx::StrFormat("%s\\Fail_Log\\", m_LogFolder.c_str()));

  if (!m_TotalLogPath.empty() && !platform::FileExists(m_TotalLogPath)) WriteRunSummary(m_TotalLogPath);
  if (!m_ErrorLogPath.empty() && !platform::FileExists(m_ErrorLogPath))
    Write("Error List", "[Year-Month-Day Hour:Min:Sec]   SlotNo:No   SN:xxxxx", "--Error_Code:Error_Msg",
          m_ErrorLogPath);

  const std::string summary = kx::StrFormat("%s\\_Summary.log", m_LogFolder.c_str());
  if (!platform::FileExists(summary)) {
    Write("Time", "Start Time", TimeStamp(), summary);
    Write("Time", "End Time", "", summary);
    Write("Results", "Pass", "0", summary);
    Write("Results", "TotalErrorCount", "0", summary);
    Write("ErrorList", "ErrorCode", "count", summary);
  }
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
  kx::SetWorkOrderPath(workOrder);
  kx::MakeDirectoryPath(kx::StrFormat("%s\\Pass_Log\\", m_LogFolder.c_str()));
}

}  // namespace legacy
