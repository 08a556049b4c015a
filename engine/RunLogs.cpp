// What a job leaves on disk besides the port report: the work-order result
// list and its checksum, the run logs and _Summary.log with the page's count
// labels, the per-port scan record file, the station log copies, the fail
// serial-number record and the Summary.csv row. INI-form files go through the
// profile calls; counts are raised under the log folder's profile write lock,
// each file in one replacement, and record keys never replace earlier ones.
//
// The RDT time value that the records name is the device's m_RdtTime (seconds,
// left by the RDT read-out; 0 when none ran); the capacity text of Summary.csv
// has no source and stays an empty field.
#include <cctype>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "device/Checksum.h"
#include "device/Environment.h"
#include "device/ErrorLog.h"
#include "device/FileWrites.h"
#include "device/Folders.h"
#include "device/Format.h"
#include "device/ModuleFolder.h"
#include "device/PortDevice.h"
#include "device/Settings.h"
#include "engine/PortJob.h"
#include "engine/RunLogHeaders.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

using kx::StrFormat;

namespace {

win::SYSTEMTIME Now() {
  win::SYSTEMTIME t;
  win::GetLocalTime(&t);
  return t;
}

std::string DateTimeText(const win::SYSTEMTIME& t) {
  return StrFormat("%02d-%02d-%02d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

// The program folder with its trailing backslash; the working folder while the
// page has not set one, so that nothing lands on the root of a drive.
std::string ProgramFolder() {
  std::string folder = g_ModuleFolder.empty() ? std::string(".\\") : g_ModuleFolder;
  if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
  return folder;
}

bool WriteKey(const std::string& section, const std::string& key, const std::string& value,
              const std::string& file) {
  return kx::WriteProfileText(section.c_str(), kx::ProfileSafe(key, true).c_str(), kx::ProfileSafe(value, false), file);
}

int ReadInt(const char* section, const std::string& key, const std::string& file) {
  return kx::ReadProfileInt(section, key.c_str(), 0, file.c_str());
}

// The device texts the records print; empty when the job has no device.
struct DeviceTexts {
  std::string serial;
  std::string configuredSerial;
  std::string errorCode;
  std::string errorMessage;
  std::string testerFw;
  std::string standBy;
  std::string writeRead;
  int rdtTime = 0;
};

DeviceTexts TextsOf(const CPortDevice* d) {
  DeviceTexts t;
  if (d == nullptr) return t;
  t.serial = d->m_SerialNumber;
  t.configuredSerial = d->m_ConfiguredSerialNumber;
  t.errorCode = d->m_ErrorCode;
  t.errorMessage = d->m_ErrorMessage;
  t.testerFw = d->m_TesterFwVersion;
  t.standBy = d->m_StatStandByText;
  t.writeRead = d->m_StatWRText;
  t.rdtTime = d->m_RdtTime;
  return t;
}

std::string TrimTrailingSpace(std::string text) {
  const auto last = text.find_last_not_of(" \t\r\n\v\f");
  text.erase(last == std::string::npos ? 0 : last + 1);
  return text;
}

}  // namespace

// ---- result list --------------------------------------------------------------

void CPortJob::WriteResultList(int result) {
  const std::string workOrder = kx::WorkOrderPath();
  if (workOrder.empty()) {
    if (m_Device) m_Device->WriteReport("No work order file, result list not written", true);
    return;
  }
  const char* binKey = (m_Station == 1 || m_Station == 7 || m_Station == 9) ? "ISP_RDTBINCode" : "ISP_MPBINCode";
  m_TextBuffer = kx::ReadProfileText("Device Info", binKey, kx::SettingIniPath().c_str(), 256);
  std::string firmware = TrimTrailingSpace(m_TextBuffer);
  const auto slash = firmware.find_last_of('\\');
  if (slash != std::string::npos) firmware.erase(0, slash + 1);

  const DeviceTexts d = TextsOf(m_Device.get());
  const int tester = g_TesterNumber.load();
  std::string record;
  if (result != 0) {
    record = StrFormat("%d,Tester_%02d,%s,%s(%s),%s,%s,%d,%s,%s,%s", tester, m_Slot, d.testerFw.c_str(),
                       m_VersionText.c_str(), "Normal", firmware.c_str(), d.serial.c_str(), d.rdtTime,
                       d.standBy.c_str(), d.writeRead.c_str(), "Pass");
  } else {
    record = StrFormat("%d,Tester_%02d,%s,%s(%s),%s,%s,%d,%s,%s,%s,%s,%s", tester, m_Slot, d.testerFw.c_str(),
                       m_VersionText.c_str(), "Normal", firmware.c_str(), d.serial.c_str(), d.rdtTime,
                       d.standBy.c_str(), d.writeRead.c_str(), "Fail", d.errorCode.c_str(), d.errorMessage.c_str());
  }
  // The record and the checksum over the lines it joins replace the file in
  // one step, under the lock of every profile write: after a kill, or beside
  // another process, the file is one whole version and its checksum fits it.
  const auto key = [this](const win::SYSTEMTIME& t) {
    m_EndTime = StrFormat("%02d:%02d:%02d", t.wHour, t.wMinute, t.wSecond);
    return kx::ProfileSafe(StrFormat("[%s~%s,%02d]", m_StartTime.c_str(), m_EndTime.c_str(), m_Slot), true);
  };
  const auto checksum = [](std::string& text) {
    return platform::SetProfileKey(text, "Base Info", "Checksum", StrFormat("%04x", TextChecksum(text)));
  };
  const win::DWORD err =
      kx::WriteNewRecord(workOrder, "Results List", key, kx::ProfileSafe(record, false), checksum);
  if (err == 0 || !m_Device) return;
  m_Device->NoteWriteFailure(workOrder, err);
  m_Device->WriteReport("Result list record not written", true);
}

std::uint16_t CPortJob::TextChecksum(const std::string& data) {
  std::uint16_t crc = 0;
  CCrc16Table::Init(crc);
  const std::string_view text(data);
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    const std::size_t next = end == std::string::npos ? text.size() : end + 1;
    if (end == std::string::npos) end = text.size();
    // A line ends at LF; a CR right before it belongs to the line end.
    else if (end > begin && text[end - 1] == '\r')
      --end;
    const std::string_view line = text.substr(begin, end - begin);
    if (!line.empty() && !line.starts_with("//")) CCrc16Table::UpdateString(crc, line);
    begin = next;
  }
  return crc;
}

std::uint16_t CPortJob::UpdateFileChecksum(const std::string& path) {
  std::string data;
  if (platform::ReadFileBytes(path, data) != 0) {
    win::Sleep(100);
    return 1;
  }
  return TextChecksum(data);
}

// ---- run logs -----------------------------------------------------------------

void CPortJob::WriteSummaryLogs(std::uint8_t pass, std::unique_lock<std::mutex>* pageLock) {
  const kx::RunLogPaths logs = kx::RunLogPathsOf(m_LogFolder, m_Mode);
  m_TotalLogPath = logs.total;
  m_ErrorLogPath = logs.error;
  // The counts are read, raised and written back as one step for every
  // process writing into this log folder, each file in one replacement.
  platform::ProfileWriteLock lock(m_TotalLogPath);
  const DeviceTexts d = TextsOf(m_Device.get());
  const std::string now = DateTimeText(Now());
  std::vector<kx::KeyUpdate> totals{{"Total Results", "Total", "", 1},
                                    {"Total Results", pass != 0 ? "Good" : "Bad", "", 1},
                                    {"Time", "End Time", now, {}}};
  if (pass != 0) totals.push_back({"Serial Number", "Last Serial Number", kx::ProfileSafe(d.configuredSerial, false), {}});
  std::vector<int> raised;
  const win::DWORD totalError =
      kx::AddTotalCounts(m_TotalLogPath, m_RunSummary ? &*m_RunSummary : nullptr, totals, now, &raised);
  if (totalError != 0 && m_Device) m_Device->NoteWriteFailure(m_TotalLogPath, totalError);
  // The labels show what the Total log holds, also when it refused the run.
  if (totalError != 0) raised = {ReadInt("Total Results", "Total", m_TotalLogPath),
                                 ReadInt("Total Results", pass != 0 ? "Good" : "Bad", m_TotalLogPath)};
  const int other = ReadInt("Total Results", pass != 0 ? "Bad" : "Good", m_TotalLogPath);
  const int total = raised[0];
  const int good = pass != 0 ? raised[1] : other;
  const int bad = pass != 0 ? other : raised[1];

  const std::string summary = kx::SummaryLogPath(m_LogFolder);
  std::vector<kx::KeyUpdate> results{{"Time", "End Time", now, {}},
                                     {"Results", pass != 0 ? "Pass" : "TotalErrorCount", "", 1}};
  // A key with no name would be a corrupt line; a failure without a code is
  // counted in TotalErrorCount only.
  if (pass == 0 && !m_FailCode.empty()) results.push_back({"ErrorList", kx::ProfileSafe(m_FailCode, true), "", 1});
  if (const win::DWORD err = kx::AddSummaryCounts(summary, results, now); err != 0 && m_Device)
    m_Device->NoteWriteFailure(summary, err);
  lock.Release();

  if (m_CountLabels != nullptr) {
    const int counts[3] = {total, good, bad};
    for (int i = 0; i < 3; ++i) {
      ITextWindow* label = (*m_CountLabels)[static_cast<std::size_t>(i)];
      if (label == nullptr) continue;
      label->SetWindowText(StrFormat("%d", counts[i]));
      label->Redraw();
    }
  }
  if (pageLock != nullptr && pageLock->owns_lock()) pageLock->unlock();

  // Never in place of an earlier entry, as the port's fail report may have
  // written one in this second; waited for outside the lock.
  if (pass == 0) {
    const std::string tail = StrFormat("   SlotNo:%02d   SN:", m_Slot) + d.configuredSerial;
    const win::DWORD err = kx::AddErrorLogEntry(
        m_ErrorLogPath,
        [&tail](const win::SYSTEMTIME& t) { return kx::ProfileSafe("[" + DateTimeText(t) + "]" + tail, true); },
        kx::ProfileSafe("--" + d.errorCode, false));
    if (err != 0 && m_Device) m_Device->NoteWriteFailure(m_ErrorLogPath, err);
  }

}

// ---- scan record file ---------------------------------------------------------

bool CPortJob::WriteBlockInfoToFile(const kx::BlockRecord& record) {
  const std::string folder = ProgramFolder() + "Configuration\\Temp";
  const std::string path = StrFormat("%s\\#%d.bin", folder.c_str(), m_Slot);
  auto report = [this](const char* line) {
    if (m_Device) m_Device->WriteReport(line, true);
  };
  // The file stays a sequence of whole records: a short write is cut back to
  // the old size, and half a record that a killed writer left is cut off first.
  const auto append = [&] { return kx::AppendToFile(path, record.data(), record.size(), record.size()); };
  kx::WriteResult r = append();
  if (r == kx::WriteResult::OpenFailed) {
    if (kx::MakeDirectoryPath(folder) == 0) {
      report("WriteBlockInfoToFile create folder fail!!");
      return false;
    }
    r = append();
    if (r == kx::WriteResult::OpenFailed) {
      report("WriteBlockInfoToFile create file fail!!");
      return false;
    }
  }
  if (r != kx::WriteResult::Ok) {
    const win::DWORD error = win::GetLastError();
    report("WriteBlockInfoToFile write file fail!!");
    if (m_Device) m_Device->NoteWriteFailure(path, error);
    return false;
  }
  return true;
}

// ---- station log copy ---------------------------------------------------------

bool CPortJob::MakeStationLogName(const std::string& sourcePath, int station) {
  const std::string folder = ProgramFolder() + "Log";
  if (kx::MakeDirectoryPath(folder) == 0) return false;
  const char* name = kx::StationName(station);
  const win::SYSTEMTIME t = Now();
  const std::string logName =
      StrFormat("#%d_%s_%04d%02d%02d", m_DriveNumber, name, t.wYear, t.wMonth, t.wDay) +
      StrFormat(" %02dh%02dm%02ds%03dms", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  return kx::CopyFileReplacing(sourcePath, StrFormat("%s\\%s.txt", folder.c_str(), logName.c_str()));
}

// ---- fail serial-number record ------------------------------------------------

// Upload: every waiting record is copied, as its own mapping-table entry, into
// "<drive>:\FailSNLog\<work number>_<fail serial>_<drive serial>.log" on the
// drive that [Options] SetServerPath names (P when empty); its WaitForUpload
// key goes only once that copy is written, so a record whose upload fails
// stays waiting for the next call.
void CPortJob::WriteFailSNRecord() {
  if (!m_Device) return;
  const char* kind = m_Mode == 1 ? "F1" : m_Mode == 4 ? "QC" : "";
  const std::string file = StrFormat("%s\\%s_FailSNRecord.log", m_LogFolder.c_str(), kind);
  platform::ProfileWriteLock lock(file);  // the counter is read and raised as one step
  if (!platform::FileExists(file)) WriteKey("Serial Number", "Last Serial Number", "0000", file);

  int counter = ReadInt("Serial Number", "Last Serial Number", file);
  if (counter < 0 || counter > 9999) counter = 0;
  // The last four characters of the stem "xxxxxxxxxxxx", then the counter.
  const std::string failSn = "xxxx" + StrFormat("%04d", counter);
  // The entry, the raised counter and the upload mark in one replacement: a
  // kill between them would hand the same fail serial number out again.
  std::vector<kx::KeyUpdate> keys{
      {"Fail_SN_Mapping_Table", kx::ProfileSafe(failSn, true),
       kx::ProfileSafe(StrFormat("%s,%s", m_Device->m_SerialNumber.c_str(), m_Device->m_ErrorCode.c_str()), false), {}},
      {"Serial Number", "Last Serial Number", StrFormat("%04d", counter >= 9999 ? 0 : counter + 1), {}}};

  auto folded = [](std::string text) {
    for (char& c : text) c = static_cast<char>(platform::FoldCase(c));
    return text;
  };
  std::set<std::string> used;
  for (const auto& k : win::GetPrivateProfileKeyNames("WaitForUpload", file)) used.insert(folded(k));
  for (int i = 0; i <= 9999; ++i) {
    const std::string key = StrFormat("Wait_%04d", i);
    if (used.count(folded(key)) == 0) {
      keys.push_back({"WaitForUpload", key, failSn, {}});
      break;
    }
  }
  // A fail serial that is not on record is neither shown nor uploaded.
  if (const win::DWORD err = kx::UpdateProfileKeys(file, keys); err != 0) {
    m_Device->NoteWriteFailure(file, err);
    return;
  }
  AppendStatusTextRed(failSn);

  lock.Release();

  const std::string setting = kx::SettingIniPath();
  const std::string server = kx::TrimBlanks(kx::ReadProfileText("Options", "SetServerPath", setting.c_str(), 256));
  const char drive = server.empty() ? 'P' : server[0];
  if (std::isalpha(static_cast<unsigned char>(drive)) == 0) return;
  const std::string workNo =
      kx::SafeFileName(kx::TrimBlanks(kx::ReadProfileText("General Info", "WorkingNo", setting.c_str(), 256)));
  const std::string uploadFolder = StrFormat("%c:\\FailSNLog", drive);
  if (kx::MakeDirectoryPath(uploadFolder) == 0) return;
  for (const auto& key : win::GetPrivateProfileKeyNames("WaitForUpload", file)) {
    const std::string waitingSn = win::GetPrivateProfileString("WaitForUpload", key, "", file);
    const std::string entry = win::GetPrivateProfileString("Fail_SN_Mapping_Table", waitingSn, "", file);
    const auto comma = entry.find_last_of(',');
    const std::string driveSn = comma == std::string::npos ? entry : entry.substr(0, comma);
    const std::string target = StrFormat("%s\\%s_%s_%s.log", uploadFolder.c_str(), workNo.c_str(),
                                         kx::SafeFileName(waitingSn).c_str(), kx::SafeFileName(driveSn).c_str());
    if (!WriteKey("Fail_SN_Mapping_Table", waitingSn, entry, target)) continue;
    // Another process may have uploaded this record too and a new record taken
    // the key meanwhile: only the mark uploaded here goes.
    platform::ProfileWriteLock mark(file);
    if (win::GetPrivateProfileString("WaitForUpload", key, "", file) == waitingSn)
      win::WritePrivateProfileString("WaitForUpload", key.c_str(), nullptr, file.c_str());
  }
}

// ---- Summary.csv --------------------------------------------------------------

void CPortJob::WriteSummaryCsv(CPortDevice* device, int result) {
  if (device == nullptr) return;
  const win::SYSTEMTIME t = Now();
  const std::string capacity;  // no capacity text is kept on the device
  const std::string outcome = result != 0 ? std::string("Pass") : CPortDevice::FormatErrorCode(device->m_ErrorCode);
  const std::string row = StrFormat("%s,%s,%s,%s\n", StrFormat("%04d%02d%02d", t.wYear, t.wMonth, t.wDay).c_str(),
                                    capacity.c_str(), device->m_SerialNumber.c_str(), outcome.c_str());
  const std::string folder = StrFormat("%sMPTestSummary", ProgramFolder().c_str());
  const std::string path = StrFormat("%s\\Summary.csv", folder.c_str());
  // Under the folder's write lock, so that of two processes only one writes the header.
  const bool haveFolder = platform::DirectoryExists(folder) || kx::MakeDirectoryPath(folder) != 0;
  platform::ProfileWriteLock lock(path);
  bool ok = false;
  if (lock.Error() != 0) {
    // Not written: another process could write a second header meanwhile.
  } else if (platform::FileExists(path)) {
    ok = kx::AppendToExistingFile(path, row.data(), row.size());
  } else {
    const std::string created = "Date,Cap,SN,TestResult\n" + row;
    ok = haveFolder && kx::AppendToFile(path, created.data(), created.size()) == kx::WriteResult::Ok;
  }
  lock.Release();
  if (!ok) win::AfxMessageBox("Create file fail (Summary.csv)");
}
