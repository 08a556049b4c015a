// The port report, its fail block, the temporary report, the current logs and
// the records of SATA_RecordSN.ini and the Error log.
#include <cctype>
#include <cstring>

#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/ErrorLog.h"
#include "device/FileWrites.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/Settings.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/FolderLock.h"

using kx::StrFormat;

namespace {

const char kAsteriskLine[] = "************************************************************\r\n";
const char kToolSetting[] = ".\\Configuration\\System\\MPToolSetting.ini";

win::SYSTEMTIME Now() {
  win::SYSTEMTIME t;
  win::GetLocalTime(&t);
  return t;
}

std::string TimeKey(const win::SYSTEMTIME& t) {
  return StrFormat("[%02d-%02d-%02d %02d:%02d:%02d]", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

// The number stays as tools read it; a folder lock refused adds why.
std::string LastErrorText(std::uint32_t osError, const std::string& reason) {
  std::string text = StrFormat("OS LastError %u", osError);
  if (!reason.empty()) text += " (the folder cannot be locked: " + reason + ")";
  return text;
}

}  // namespace

std::string CPortDevice::ReportPath() const {
  if (m_ReportFolder.empty()) return {};
  return StrFormat("%s\\%s_%d_Report.txt", m_ReportFolder.c_str(), m_PcId.c_str(), m_Slot);
}

std::string CPortDevice::FailCopyPath() const {
  if (m_LogFolder.empty()) return {};
  return StrFormat("%s\\Fail_Log\\%s(fail)_%d.txt", m_LogFolder.c_str(), kx::SafeFileName(m_SerialNumber).c_str(),
                   m_Slot);
}

void CPortDevice::NoteWriteFailure(const std::string& path, std::uint32_t osError) {
  if (osError == 0) osError = win::ERROR_GEN_FAILURE;
  // Named as the operator would type it: "%s\%s" of a folder ending in '\' doubles the separator.
  std::string named = path;
  for (std::size_t at; (at = named.find("\\\\", 1)) != std::string::npos;) named.erase(at, 1);
  // Every line of a report on a full disk fails: each file is announced once a job.
  if (!m_AnnouncedWriteFailures.insert(named).second) return;
  const std::string reason = osError == win::ERROR_LOCK_FAILED ? platform::LockRefusalReason(path) : "";
  platform::DebugAlert(
      StrFormat("Port-%d: %s not written, ", m_Slot, named.c_str()) + LastErrorText(osError, reason));
  if (m_WriteFailError != 0) return;
  m_WriteFailPath = named;
  m_WriteFailError = osError;
  m_WriteFailReason = reason;
}

std::string CPortDevice::WriteFailureError() const { return LastErrorText(m_WriteFailError, m_WriteFailReason); }

namespace {
// A report that was never started loses its lines, as it always has; any
// other refusal (a full disk above all) is a failure of the run.
bool IsLostLine(win::DWORD error) { return error == win::ERROR_FILE_NOT_FOUND || error == win::ERROR_PATH_NOT_FOUND; }
}  // namespace

void CPortDevice::AppendReportText(const std::string& path, const std::string& text) {
  if (m_LogFile.AppendText(path, text) == 0) return;
  const win::DWORD err = win::GetLastError();
  if (!IsLostLine(err)) NoteWriteFailure(path, err);
}

void CPortDevice::WriteRecordSn(const char* sectionFormat) {
  if (m_RecordSnPath.empty()) return;
  const win::DWORD err = kx::WriteNewRecord(m_RecordSnPath, StrFormat(sectionFormat, m_Slot), TimeKey,
                                            kx::ProfileSafe(m_SerialNumber, false));
  if (err != 0) NoteWriteFailure(m_RecordSnPath, err);
}

void CPortDevice::AppendToReport(const std::string& text) {
  const std::string path = ReportPath();
  if (!path.empty()) AppendReportText(path, text);
}

void CPortDevice::WriteReportLine(const std::string& path, const std::string& line, bool plain, bool clearSerial) {
  if (path.empty()) return;
  if (line == "START") {
    if (clearSerial) {
      m_SerialNumber.clear();
      m_FailCopyTaken.clear();
    }
    const win::SYSTEMTIME t = Now();
    if (m_LogFile.WriteText(path, kAsteriskLine) != 0 && !IsLostLine(win::GetLastError()))
      NoteWriteFailure(path, win::GetLastError());
    AppendReportText(path, StrFormat("Day: (%4d\\%2d\\%2d) Time: (%2d:%2d:%2d)  SlotNo:%d\r\n", t.wYear, t.wMonth,
                                         t.wDay, t.wHour, t.wMinute, t.wSecond, m_Slot));
    const std::string fdb = kx::ParamFdbIniPath();
    const std::string version = kx::TrimBlanks(kx::ReadProfileText("General Info", "BuildVersion", kToolSetting, 255));
    const std::string mpBin = kx::TrimBlanks(kx::ReadProfileText("Flash Info", "Flh_MPBinType", fdb.c_str(), 255));
    const std::string rdtBin = kx::TrimBlanks(kx::ReadProfileText("Flash Info", "Flh_RDTBinType", fdb.c_str(), 255));
    AppendReportText(path, StrFormat("MP ver:%s    ", version.c_str()) +
                                   StrFormat("MPBinType:%s    ", mpBin.c_str()) +
                                   StrFormat("RDTBinType:%s\r\n", rdtBin.c_str()));
    const std::string station = kx::TrimBlanks(kx::ReadProfileText("General Info", "TestStation", kToolSetting, 255));
    AppendReportText(path, StrFormat("Test Station:%s \r\n", station.c_str()));
    std::string iniFile = kx::TrimBlanks(kx::ReadProfileText("General Info", "IniFilePath", kToolSetting, 255));
    if (iniFile.empty()) iniFile = "paramFDB.ini";
    AppendReportText(path, StrFormat("INI file:%s\r\n", iniFile.c_str()));
    AppendReportText(path, kAsteriskLine);
  } else if (line == "END") {
    const win::SYSTEMTIME t = Now();
    AppendReportText(path, StrFormat("[ End ] Time: (%2d:%2d:%2d) \r\n", t.wHour, t.wMinute, t.wSecond));
    if (!m_SerialNumber.empty()) WriteRecordSn("Port-%d PASS");
  } else {
    AppendReportText(path, plain ? StrFormat("   %s \r\n", line.c_str())
                                     : StrFormat("[ Success ] %s \r\n", line.c_str()));
    m_LastReportPath = path;
  }
}

void CPortDevice::WriteReport(const std::string& line, bool plain) {
  WriteReportLine(ReportPath(), line, plain, true);
}

void CPortDevice::WriteTempReport(const std::string& line, bool plain, const std::string& fileName) {
  std::string path = fileName;
  if (path.empty() && !m_ReportFolder.empty())
    path = StrFormat("%s\\%s_%d_Report_Temp.txt", m_ReportFolder.c_str(), m_PcId.c_str(), m_Slot);
  WriteReportLine(path, line, plain, false);
}

void CPortDevice::WriteFailReport() {
  m_Command->GetLastCommand(m_LastApCommand.data(), &m_OsLastError);
  AppendToReport(StrFormat("[ Fail ]  Error Message : %s \r\n", m_ErrorMessage.c_str()));
  const win::SYSTEMTIME t = Now();
  const std::string printedCode = FormatErrorCode(m_ErrorCode);
  m_FailBlockCode = printedCode;
  AppendToReport(StrFormat("             Error Code : %s \r\n", printedCode.c_str()));
  const auto& c = m_LastApCommand;
  AppendToReport(StrFormat("             AP Command : [%x]-[%x]-[%x]-[%x]-[%x]-[%x]-[%x]-[%x]-[%x]-[%x]-[%x]-[%x] \r\n",
                           c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9], c[10], c[11]));
  AppendToReport(StrFormat("             OS LastError : [ %d ] \r\n", static_cast<int>(m_OsLastError)));
  // A device without its buffers sends nothing, and one that another program
  // holds is sent nothing: no card state to print.
  if (m_Constructed && m_OsLastError != win::ERROR_SEM_TIMEOUT && m_OsLastError != win::ERROR_SHARING_VIOLATION) {
    std::uint8_t state = 0;
    std::uint32_t status = 0;
    GetCardState(state, status, false);
    const auto& r = m_CardReply;
    AppendToReport(StrFormat("             ATA Reg:[%x][%x][%x][%x][%x][%x]\r\n", r[10], r[11], r[12], r[13], r[14],
                             r[15]));
  }
  AppendToReport(StrFormat("[ Error End ] Time: (%2d:%2d:%2d) \r\n", t.wHour, t.wMinute, t.wSecond));

  if (m_Constructed && m_ErrorCode == "I_I24") {
    std::memset(m_PageBuffer.data(), 0, 528);
    if (m_Command->ReadUSBPage(m_PageBuffer.data(), 528)) {
      AppendToReport("[ Debug Message ] \r\n");
      switch (m_PageBuffer[484]) {
        case 1: AppendToReport("     2.5\" 5V Tester \r\n"); break;
        case 2: AppendToReport("     1.8\" 3.3V Tester \r\n"); break;
        case 3: AppendToReport("     SATA V2.5, 5V+3.3V Tester \r\n"); break;
        case 4: AppendToReport("     SATAIII V3.x, 5V+3.3V Tester \r\n"); break;
        default: break;
      }
      m_TesterFwVersion = kx::TrimBlanks(m_TesterFwVersion);
      const std::string& v = m_TesterFwVersion;
      if (v.size() >= 2 && std::isdigit(static_cast<unsigned char>(v[0])) &&
          std::isxdigit(static_cast<unsigned char>(v[v.size() - 2])) &&
          std::isxdigit(static_cast<unsigned char>(v[v.size() - 1]))) {
        const int major = v[0] - '0';
        const int minor = static_cast<int>(std::stoul(v.substr(v.size() - 2), nullptr, 16));
        if (major >= 3 && minor >= 3)
          AppendToReport(StrFormat("     USB Gen_%d, SATA Gen_%d, SATA Power_On: %d  \r\n", m_PageBuffer[256],
                                   m_PageBuffer[257], m_PageBuffer[258]));
      }
    }
  }

  if (!m_ErrorLogPath.empty()) {
    // Keyed by second, slot and serial number like the records of
    // SATA_RecordSN.ini, and as those never in place of an earlier entry; a
    // log removed during the run gets its column line back first.
    const std::string tail = StrFormat("   SlotNo:%02d   SN:%s", m_Slot, kx::ProfileSafe(m_SerialNumber, true).c_str());
    const win::DWORD err = kx::AddErrorLogEntry(
        m_ErrorLogPath, [&tail](const win::SYSTEMTIME& at) { return TimeKey(at) + tail; },
        StrFormat(" %s:%s", printedCode.c_str(), kx::ProfileSafe(m_ErrorMessage, false).c_str()));
    if (err != 0) NoteWriteFailure(m_ErrorLogPath, err);
  }
  m_LeadText.clear();
  const std::string report = ReportPath();
  const std::string copy = FailCopyPath();
  if (!report.empty() && !copy.empty()) {
    // A drive without a serial number shares its name with every such failure
    // of the slot: its report takes a free name, kept for its later blocks.
    std::string target = copy;
    bool copied;
    if (!m_SerialNumber.empty()) {
      copied = kx::CopyFileReplacing(report, copy);
    } else if (!m_FailCopyTaken.empty()) {
      target = m_FailCopyTaken;
      copied = kx::CopyFileReplacing(report, target);
    } else {
      m_FailCopyTaken = kx::CopyFileToFreeName(report, copy);
      copied = !m_FailCopyTaken.empty();
    }
    // Named as any record a full disk refuses; a report never started has nothing to copy.
    if (!copied && !IsLostLine(win::GetLastError())) NoteWriteFailure(target, win::GetLastError());
  }
  WriteRecordSn("Port-%d Error");
}

void CPortDevice::WriteCurrentLog(const std::string& line, int kind) {
  const char* name = kind == 0 ? "IdleCurrent" : kind == 1 ? "WRCurrent" : kind == 3 ? "BurnIn" : nullptr;
  if (!name) return;
  const std::string path = StrFormat("%s%d_%s.txt", m_CurrentLogFolder.c_str(), m_Slot, name);
  kx::AppendToFile(path, line.data(), line.size());
}
