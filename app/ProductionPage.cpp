#include "app/ProductionPage.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <utility>

#include "app/AppShell.h"
#include "app/NetAdapterInfo.h"
#include "command/CommandGlobals.h"
#include "device/AppHolders.h"
#include "device/Environment.h"
#include "device/ErrorCode.h"
#include "device/ErrorLog.h"
#include "device/Folders.h"
#include "device/Format.h"
#include "device/ModuleFolder.h"
#include "device/Settings.h"
#include "engine/PortJob.h"
#include "engine/RunLogHeaders.h"
#include "engine/RunTotals.h"
#include "engine/SnScan.h"
#include "media/BadBlockScan.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace {

constexpr char kParamIni[] = ".\\param.ini";
constexpr char kParamFdbIni[] = ".\\paramFDB.ini";
constexpr char kMacFile[] = ".\\PC_MAC_Address.txt";
constexpr char kTesterScanFailedText[] = "Detect SATA Testers failed !!!";

std::string ReadText(const char* section, const char* key, const char* file, std::size_t size = 260) {
  return kx::TrimBlanks(kx::ReadProfileText(section, key, file, size));
}

int ReadInt(const char* section, const char* key, int defaultValue, const char* file) {
  return win::GetPrivateProfileInt(section, key, defaultValue, file);
}

void WriteText(const char* section, const char* key, const std::string& value, const std::string& file) {
  win::WritePrivateProfileString(section, key, value.c_str(), file.c_str());
}

std::string TimeStamp() {
  win::SYSTEMTIME t;
  win::GetLocalTime(&t);
  return kx::StrFormat("%02d-%02d-%02d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

// Stations that take bar-code serial numbers: RDT, MP, EraseMP, ReRDT, SortMP, SortRDT.
bool StationUsesBarCode(int station) {
  return station == 1 || station == 3 || station == 4 || station == 7 || station == 8 || station == 9;
}

// [Options] FlhIDMask: the default when the key is missing; a key present but
// empty leaves the mask empty.
std::string FlashIdMaskSetting() {
  constexpr char kMissing[] = "\x01";
  char buffer[260] = {};
  win::GetPrivateProfileString("Options", "FlhIDMask", kMissing, buffer, sizeof buffer, kParamIni);
  return std::string(buffer) == kMissing ? std::string(kx::kDefaultFlashIdMask) : kx::TrimBlanks(buffer);
}

// A setting's text for a message: each control character as "\xNN".
std::string ShownText(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    shown += byte < 0x20 || byte == 0x7F ? kx::StrFormat("\\x%02X", byte) : std::string(1, c);
  }
  return shown;
}

// The log folder the settings name, and what its files' names are made of;
// `fault` says why the WorkingNo cannot be part of them (no folder then).
struct LogSettings {
  std::string workingNo, pc, folder, fault, pcFault;  // the faults of the WorkingNo and of the computer name
};
LogSettings ReadLogSettings() {
  LogSettings s;
  s.workingNo = ReadText("General Info", "WorkingNo", kParamIni, 250);
  s.pc = kx::ComputerNameText();
  s.fault = kx::WorkingNoFault(s.workingNo, s.pc);
  s.pcFault = kx::ComputerNameFault(s.pc);
  if (s.fault.empty() && s.pcFault.empty())
    s.folder = kx::LogFolderOf(ReadText("Log Path", "SetLogFolderPath", kParamIni, 250), s.workingNo, s.pc);
  return s;
}

// Where the page's run summary takes its station (the tool's settings) and
// working number (the product's parameters). Its jobs run once and write no
// run logs (only a repeat-mode job counts a pass there): they get none.
kx::RunSummarySources RunSummarySources() { return {app::kToolSettingIni, {}}; }

void PaintCell(kx::StatusCellModel& cell, std::uint32_t text, std::uint32_t back, const std::string& shown) {
  cell.SetColor(text, back);
  cell.Clear();
  cell.SetWindowText(shown);
  cell.SetKeptTexts("", "", "");
  cell.Redraw();
}

}  // namespace

CProductionPage::CProductionPage(std::unique_ptr<CPortMapping> mapping)
    : m_Mapping(mapping ? std::move(mapping) : std::make_unique<CPortMapping>()) {
  for (std::size_t i = 0; i < m_Labels.size(); ++i) m_LabelViews[i] = &m_Labels[i];
  for (auto& s : m_PortStates) s = -1;
  m_ResultCodes.fill("H_F8");
}

CProductionPage::~CProductionPage() {
  m_StopRequested = true;
  WaitForRunEnd();
  kx::ClearErrorCodeMap();
}

// ---- first display ----------------------------------------------------------

void CProductionPage::OnInitDialog() {
  g_SettingIniPath = kParamIni;
  g_ParamFdbIniPath = kParamFdbIni;
  g_SataPortMode = ReadInt("General Info", "PortType", 0, app::kToolSettingIni) == 1 ? 1 : 0;
  kx::ClearAtaPassThroughOk();

  // Parameter files: the holders the jobs read, and the flash-maker copy.
  g_ModuleFolder = ".\\";
  OnSetActive();
  g_TesterNumber = 0;
  const std::string makerFile = ReadText("General Info", "IniFilePath", app::kToolSettingIni);
  if (makerFile.find_first_of("\\/") != std::string::npos) {
    if (!platform::FileExists(makerFile))
      win::AfxMessageBox(kx::StrFormat("Don't found %s file !!!", makerFile.c_str()).c_str());
    else
      win::CopyFile(makerFile.c_str(), kParamFdbIni, win::FALSE);
  }
  kx::SetFlashIdMask(FlashIdMaskSetting());
  kx::FillErrorCodeMap();

  m_SlotNumber = SlotCountOf(ReadInt("General Info", "SlotNumber", 8, app::kToolSettingIni));
  // The work order's counts so far, before this process's first pass adds to them.
  if (const LogSettings logs = ReadLogSettings(); logs.fault.empty() && logs.pcFault.empty())
    ShowTotalCounts(kx::RunLogPathsOf(logs.folder, JobModeOf(kx::GetTestStation())).total);
  MapAndWarn([this] {
    m_Mapping->Remap(m_SlotNumber);
    m_Initialised = true;
  });
}

void CProductionPage::OnSetActive() { g_WorkFolder.Set(".\\"); }

int CProductionPage::SlotCountOf(int setting) { return setting == 16 || setting == 24 ? setting : 8; }

CProductionPage::GridLayout CProductionPage::LayoutOf(int slots) {
  switch (SlotCountOf(slots)) {
    case 16: return {4, 4};
    case 24: return {6, 4};
    default: return {4, 2};
  }
}

// ---- Start --------------------------------------------------------------------

bool CProductionPage::CheckStart(std::string& message) {
  // The read-out's flag and limit are process-wide: a pass's scans would take them.
  if (g_LaterBadReadOut.load() != 0) {
    message = "A later bad block read-out is going: start the run when it has ended.";
    return false;
  }
  if (!platform::FileExists(kParamIni)) {
    message = "Don't found param.ini file !!!";
    return false;
  }
  if (!platform::FileExists(kMacFile)) WriteText("PC Info", "MAC_Address", CNetAdapterInfo().GetMac(), kMacFile);
  m_Station = kx::GetTestStation();
  bool testersFailed = false;
  MapAndWarn([this, &testersFailed] {
    m_Mapping->MapPorts(m_SlotNumber);
    testersFailed = m_Mapping->TesterScanFailed();
  });
  if (testersFailed) {
    message = kTesterScanFailedText;
    return false;
  }
  if (ReadInt("OP Setting", "UseBarCode", 0, app::kToolSettingIni) == 1 && StationUsesBarCode(m_Station)) {
    for (int port = 1; port <= m_SlotNumber; ++port) {
      if (DriveNumber(port) != 0 && g_SnScanState.SerialNumber(port).empty()) {
        message = kx::StrFormat("Serial Numbers Empty \r\n Port:%d", port);
        return false;
      }
    }
  }
  return true;
}

bool CProductionPage::OnStart() {
  if (Running() || m_StopRequested.load()) return false;
  std::string message;
  if (!CheckStart(message)) {
    win::AfxMessageBox(message.c_str(), win::MB_OK);
    return false;
  }
  if (m_StopRequested.load()) return false;  // asked while the mapping's warning was up
  m_RunKind = JobModeOf(m_Station);
  if (!PrepareLogFolders(message)) {
    win::AfxMessageBox(message.c_str(), win::MB_OK | win::MB_ICONERROR);
    return false;
  }
  // The run goes ahead at the station the reader gave; the operator is told which.
  if (const std::string warning = StationWarning(); !warning.empty() && !m_StopRequested.load())
    win::AfxMessageBox(warning.c_str(), win::MB_OK | win::MB_ICONWARNING);
  // The program was asked to end meanwhile (while a box was up): no pass starts.
  if (m_StopRequested.load()) return false;
  g_SnScanState.question = 0;
  kx::SetFlashIdMask(FlashIdMaskSetting());
  g_TesterNumber = 0;
  m_ResultCodes.fill("H_F8");
  if (m_RunThread.joinable()) m_RunThread.join();
  m_StartMs = platform::Clock().NowMs();
  m_JobsPosted = 0;
  m_Posting = true;
  m_Running = true;
  m_RunThread = std::thread(&CProductionPage::RunPasses, this);
  return true;
}

void CProductionPage::WaitForRunEnd() {
  if (m_RunThread.joinable()) m_RunThread.join();
}

int CProductionPage::JobModeOf(int station) {
  if (station == 5 || station == 6 || station == 10) return 4;
  return station == 2 ? 10 : 1;
}

void CProductionPage::RunPasses() {
  const int passes = ReadInt("RD Debug", "TestLoop", 1, kParamIni);
  bool stop = false;
  for (bool first = true; !stop; first = false) {
    const bool infinite = ReadInt("RD Debug", "TestInFinity", 0, kParamIni) != 0;
    if (!first && !infinite) break;
    for (int pass = 0; pass < (infinite ? 1 : passes) && !stop; ++pass) {
      if (pass > 0 || !first) {
        // Warns of an arrival during the last pass, whose mapping this makes;
        // a stop asked while that box was up starts no further pass.
        MapAndWarn([this] { m_Mapping->MapPorts(m_SlotNumber); });
        stop = m_StopRequested.load();
        if (stop) break;
      }
      RunOnePass(m_RunKind);
      WriteRunTotals(m_ResultCodes);
      const bool empty = m_JobsPosted.load() == 0;
      if (empty || ReadInt("OP Setting", "PopoutNotice", 0, app::kToolSettingIni) != 0) {
        std::lock_guard lock(m_NoticeLock);
        m_Notice = empty ? NoDriveText(m_SlotNumber) : NextStationNotice(m_Station);
        m_NoticeWarns = empty;
      }
      stop = empty || g_StopAfterFail.load() != 0 || m_StopRequested.load();
    }
    if (!infinite) break;
  }
  // A disk that came or went during the run is mapped now, and drawn on the
  // ports it changed, the other cells keeping the run's results. The run ends
  // under the mapping's lock once a mapping has nothing to warn of, so that no
  // change is put off after this; a change put off while a warning was up is
  // mapped after it.
  const auto mapPutOff = [this] {
    for (int port : m_Mapping->MapDeferred())
      if (port <= m_SlotNumber) ShowPortPresence(port, m_Mapping->DriveNumber(port) != 0);
  };
  while (MapAndWarn(mapPutOff, [this] {
    m_Posting = false;
    m_Running = false;
  })) {
  }
}

bool CProductionPage::MapAndWarn(const std::function<void()>& map, const std::function<void()>& quiet) {
  std::string warning;
  {
    std::lock_guard lock(m_MappingLock);
    map();
    warning = m_Mapping->Warning();
    if (warning.empty() && quiet) quiet();
  }
  if (warning.empty()) return false;
  win::AfxMessageBox(warning.c_str(), win::MB_OK | win::MB_ICONWARNING);
  return true;
}

void CProductionPage::ResetSlots() {
  for (int port = 1; port <= kMaxSlots; ++port) {
    PaintCell(Cell(port), kx::Rgb(0, 0, 0), kx::Rgb(255, 255, 255), "");
    Progress(port).SetPos(0);
  }
}

void CProductionPage::RunOnePass(int jobMode) {
  m_Posting = true;
  m_JobsPosted = 0;
  for (auto& r : g_PortResult) r = -1;
  for (auto& s : g_PortState) s = 1;
  g_StopAfterFail = 0;
  ResetSlots();
  m_Locks = std::make_unique<kx::PageLocks>();

  std::array<int, kMaxSlots> drives{};
  for (int port = 1; port <= m_SlotNumber; ++port) drives[port - 1] = DriveNumber(port);
  const auto eligible =
      static_cast<unsigned>(std::count_if(drives.begin(), drives.end(), [](int d) { return d != 0; }));
  const bool created = m_Pool.Create(eligible, nullptr);
  for (int port = 1; port <= m_SlotNumber; ++port) {
    if (drives[port - 1] == 0) {
      m_PortStates[port - 1] = -1;
      m_ResultCodes[port - 1] = "H_AF";
      continue;
    }
    if (!created) continue;  // no job goes to a pool that does not exist
    m_PortStates[port - 1] = 1;
    auto* job =
        new CPortJob(jobMode, m_Locks.get(), &Cell(port), &Progress(port), drives[port - 1], port, nullptr,
                     &m_LabelViews, m_LogFolder, &m_ResultCodes[port - 1], nullptr, &m_PortStates);
    m_Pool.Post(job);
    ++m_JobsPosted;
    win::Sleep(300);
  }
  m_Posting = false;
  // This thread is the pass's join thread: the window thread keeps running.
  // Destroy abandons what no worker has taken yet, so it waits for every
  // posted port to end first (an abandoned job ends its port in state 4).
  while (CountFinishedPorts() < m_JobsPosted.load()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (created) m_Pool.Destroy();
  m_Locks.reset();
}

int CProductionPage::CountFinishedPorts() {
  int finished = 0;
  for (int port = 1; port <= kMaxSlots; ++port) {
    const int state = g_PortResult[static_cast<std::size_t>(port - 1)];
    if (state == 2) break;
    if (state == 0 || state == 1 || state == 4) ++finished;
  }
  return finished;
}

bool CProductionPage::PassFinished() const { return !m_Posting.load() && CountFinishedPorts() >= m_JobsPosted.load(); }

std::string CProductionPage::RunClockText() const {
  const std::uint64_t seconds = (platform::Clock().NowMs() - m_StartMs) / 1000;
  return kx::StrFormat("%02d:%02d", static_cast<int>(seconds / 60), static_cast<int>(seconds % 60));
}

// ---- Scan and hot-plug ---------------------------------------------------------

void CProductionPage::ShowPortPresence(int port, bool present) {
  if (present)
    PaintCell(Cell(port), kx::Rgb(255, 255, 255), kx::Rgb(0, 100, 255), kx::StrFormat("%d", port));
  else
    PaintCell(Cell(port), kx::Rgb(0, 0, 0), kx::Rgb(255, 255, 255), "");
  Progress(port).SetPos(0);
}

void CProductionPage::OnScan() {
  if (Running() || m_StopRequested.load()) return;
  bool testersFailed = false;
  std::string text;
  {
    std::lock_guard lock(m_MappingLock);
    m_Mapping->Remap(m_SlotNumber);
    testersFailed = m_Mapping->TesterScanFailed();
    text = m_Mapping->Warning();
  }
  int found = 0;
  for (int port = 1; port <= m_SlotNumber; ++port) {
    const bool present = DriveNumber(port) != 0;
    ShowPortPresence(port, present);
    found += present;
  }
  const std::string more = testersFailed ? kTesterScanFailedText : found == 0 ? NoDriveText(m_SlotNumber) : "";
  if (!more.empty()) text += text.empty() ? more : "\n" + more;
  if (!text.empty()) win::AfxMessageBox(text.c_str(), win::MB_OK | win::MB_ICONWARNING);
}

std::string CProductionPage::NoDriveText(int slots) {
  return kx::StrFormat("No drive was found on any of the %d ports.", slots);
}

std::string CProductionPage::StationWarning() {
  const char* file = app::kToolSettingIni;
  const char* station = kx::StationName(kx::GetTestStation());
  if (!platform::FileExists(file)) return kx::StrFormat("%s is missing: the station is %s.", file, station);
  const std::string name = ReadText("General Info", "TestStation", file);
  if (name.empty())
    return kx::StrFormat("[General Info] TestStation is not set in %s: the station is %s.", file, station);
  if (!kx::TestStationNamed())
    return kx::StrFormat("[General Info] TestStation %s in %s is no station name: the %s station runs.", name.c_str(),
                         file, station);
  return {};
}

std::string CProductionPage::SlotNumberWarning() {
  const char* file = app::kToolSettingIni;
  const std::string text = ReadText("General Info", "SlotNumber", file);
  const int setting = ReadInt("General Info", "SlotNumber", 8, file);
  if (text.empty() || SlotCountOf(setting) == setting) return {};
  return kx::StrFormat("[General Info] SlotNumber %s in %s is not 8, 16 or 24: the page shows %d ports.", text.c_str(),
                       file, SlotCountOf(setting));
}

namespace {

// The mapping file and the serial-number settings live on C:, which is a folder
// that must exist and take files; without it every serial-number take fails.
std::string DriveCWarning() {
  if (!platform::DirectoryExists("C:\\")) {
    return kx::StrFormat(
        "C:\\ is missing (no folder %s): C:\\MP_SSD_NODE\\AutoMapping.ini and C:\\SATA_Setting.ini "
        "cannot be written.",
        platform::MapPath("C:\\").c_str());
  }
  const win::DWORD error = platform::FolderWriteError("C:\\");
  if (error == 0) return {};
  return kx::StrFormat(
      "C:\\ cannot be written (folder %s: %s): C:\\MP_SSD_NODE\\AutoMapping.ini and C:\\SATA_Setting.ini "
      "cannot be written.",
      platform::MapPath("C:\\").c_str(), kx::OsErrorText(error).c_str());
}

}  // namespace

std::string CProductionPage::StartUpWarning() {
  std::string text;
  for (const std::string& part : {StationWarning(), SlotNumberWarning(), DriveCWarning()})
    if (!part.empty()) text += (text.empty() ? "" : "\n") + part;
  return text;
}

std::vector<int> CProductionPage::OnDiskChange(const platform::DiskNotification& notification) {
  std::vector<int> changed;
  // An arrival that learnt ports by guess is warned of as start-up and Scan warn.
  MapAndWarn([&] {
    // Before the start-up's mapping (under a box of first display): that
    // mapping, which reads the listing after this change, maps it.
    if (!m_Initialised) return;
    const bool running = Running();
    changed = m_Mapping->OnDiskChange(notification, running);
    if (!running)
      for (int port : changed)
        if (port <= m_SlotNumber) ShowPortPresence(port, m_Mapping->DriveNumber(port) != 0);
  });
  return changed;
}

void CProductionPage::OnDestroy() {
  std::lock_guard lock(m_MappingLock);
  if (m_Initialised) m_Mapping->Close();
}

int CProductionPage::DriveNumber(int port) const {
  std::lock_guard lock(m_MappingLock);
  return m_Mapping->DriveNumber(port);
}

std::string CProductionPage::ResultCode(int port) const {
  return port >= 1 && port <= kResultCodes ? m_ResultCodes[static_cast<std::size_t>(port - 1)] : std::string();
}

// ---- log folders and run logs ---------------------------------------------------

bool CProductionPage::PrepareLogFolders(std::string& message) {
  const LogSettings settings = ReadLogSettings();
  const std::string& workingNo = settings.workingNo;
  // Refused before anything is made: the log folder and the work-order file carry it in their names.
  if (!settings.fault.empty()) {
    message = kx::StrFormat("[General Info] WorkingNo %s in %s cannot be part of the log files' names: %s.",
                            ShownText(workingNo).c_str(), kParamIni, settings.fault.c_str());
    return false;
  }
  if (!settings.pcFault.empty()) {
    message = kx::StrFormat("The computer name %s cannot be part of the log files' names: %s.",
                            ShownText(settings.pc).c_str(), settings.pcFault.c_str());
    return false;
  }
  m_LogFolder = settings.folder;
  for (const char* sub : {"%s\\D_Reports\\", "%s\\Fail_Log\\", "%s\\Current\\"}) {
    const std::string folder = kx::StrFormat(sub, m_LogFolder.c_str());
    win::SetLastError(0);
    if (kx::MakeDirectoryPath(folder) != 0) continue;
    // A drive that is not there fails before any call that sets the error.
    const win::DWORD error = win::GetLastError() != 0 ? win::GetLastError() : win::ERROR_PATH_NOT_FOUND;
    message = kx::StrFormat("The log folder %s cannot be created: %s", folder.c_str(), kx::OsErrorText(error).c_str());
    return false;
  }

  const kx::RunLogPaths logs = kx::RunLogPathsOf(m_LogFolder, m_RunKind);
  m_TotalLogPath = logs.total;
  m_ErrorLogPath = logs.error;
  // Each header only into a missing log: checked and written as one step for
  // every process sharing the folder, so none resets another's counts. A
  // header is written whole or not at all, so a log that exists is whole.
  platform::ProfileWriteLock lock(m_TotalLogPath);
  if (lock.Error() != 0) {
    message = kx::StrFormat("The log file %s cannot be written: %s (%s)", m_TotalLogPath.c_str(),
                            kx::OsErrorText(lock.Error()).c_str(), lock.ErrorText().c_str());
    return false;
  }
  const std::string summary = kx::SummaryLogPath(m_LogFolder);
  const struct {
    const std::string& log;
    std::function<win::DWORD()> write;
  } headers[] = {{m_TotalLogPath, [this] { return WriteRunSummary(m_TotalLogPath); }},
                 {m_ErrorLogPath, [this] { return kx::WriteErrorLogHeader(m_ErrorLogPath); }},
                 {summary, [&summary] { return kx::WriteSummaryLogHeader(summary, TimeStamp()); }}};
  for (const auto& h : headers) {
    if (platform::FileExists(h.log)) continue;
    if (const win::DWORD error = h.write(); error != 0) {
      message = kx::StrFormat("The log file %s cannot be written: %s", h.log.c_str(), kx::OsErrorText(error).c_str());
      return false;
    }
  }
  lock.Release();
  const std::string workOrder = m_LogFolder + "\\" + kx::WorkOrderFileName(workingNo, settings.pc);
  if (!platform::FileExists(workOrder)) WriteText("Base Info", "WorkOrder", workingNo, workOrder);
  kx::SetWorkOrderPath(workOrder);
  return true;
}

win::DWORD CProductionPage::WriteRunSummary(const std::string& totalLogPath) {
  return kx::WriteRunSummary(totalLogPath, RunSummarySources(), TimeStamp());
}

void CProductionPage::WriteRunTotals(const std::array<std::string, kResultCodes>& codes) {
  const auto ports = static_cast<std::size_t>(std::clamp(m_SlotNumber, 0, kResultCodes));
  kx::PassTotals t;
  const kx::RunSummarySources sources = RunSummarySources();
  const bool written = kx::AddPassTotals(codes.data(), ports, m_TotalLogPath, kx::SummaryLogPath(m_LogFolder),
                                         TimeStamp(), t, &sources);
  ShowCounts(t);
  m_YieldPass += t.passed;
  m_YieldFail += t.failed;
  if (written) return;
  // Told once with the run's notice, not again for each pass the same refusal costs.
  const std::string refusal = kx::PassNotCountedText(t);
  std::lock_guard noticeLock(m_NoticeLock);
  if (m_TotalsNotice.find(refusal) != std::string::npos) return;
  if (!m_TotalsNotice.empty()) m_TotalsNotice += "\r\n";
  m_TotalsNotice += refusal;
}

void CProductionPage::ShowCounts(const kx::PassTotals& totals) {
  const int counts[] = {totals.total, totals.good, totals.bad};
  for (std::size_t i = 0; i < 3; ++i) {
    m_Labels[i].SetWindowText(kx::StrFormat("%d", counts[i]));
    m_Labels[i].Redraw();
  }
}

void CProductionPage::ShowTotalCounts(const std::string& totalLogPath) {
  kx::PassTotals totals;
  kx::ReadTotalCounts(totalLogPath, totals);
  ShowCounts(totals);
}

std::string CProductionPage::YieldText() const {
  const int pass = m_YieldPass.load(), fail = m_YieldFail.load();
  const double yield = pass + fail == 0 ? 0.0 : 100.0 * pass / (pass + fail);
  return kx::StrFormat("Pass: %d  Fail: %d  Yield: %.2f%%", pass, fail, yield);
}

std::string CProductionPage::NextStationNotice(int station) {
  int next = -1;
  switch (station) {
    case 0: next = 1; break;
    case 1:
    case 7:
    case 9: next = 2; break;
    case 2: next = 3; break;
    case 3:
    case 4:
    case 8: next = 5; break;
    default: break;
  }
  return next < 0 ? std::string() : kx::StrFormat("Next Station: %s", kx::StationName(next));
}

std::string CProductionPage::TakeNotice(bool* warning) {
  std::lock_guard lock(m_NoticeLock);
  std::string notice = std::exchange(m_TotalsNotice, std::string());
  const std::string next = std::exchange(m_Notice, std::string());
  if (warning) *warning = !notice.empty() || m_NoticeWarns;
  m_NoticeWarns = false;
  if (!notice.empty() && !next.empty()) notice += "\r\n";
  return notice + next;
}
