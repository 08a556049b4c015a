// The job's life: construction, Run on a worker (single run, repeat mode and
// the short card-watch and serial-number-scan jobs), Abandon, deletion, and
// the dispatch of a job mode and station to a station procedure.
#include "engine/PortJob.h"

#include "command/CommandGlobals.h"
#include "command/DriveCommand.h"
#include "command/GetDevLibrary.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/Settings.h"
#include "engine/SnScan.h"
#include "platform/Clock.h"
#include "platform/DeviceIo.h"
#include "platform/MessageBox.h"

using kx::Rgb;

namespace {

constexpr std::uint32_t kBlack = Rgb(0, 0, 0);
constexpr std::uint32_t kWhite = Rgb(255, 255, 255);
constexpr std::uint32_t kRed = Rgb(255, 0, 0);
constexpr std::uint32_t kBlue = Rgb(0, 100, 255);
constexpr std::uint32_t kOrange = Rgb(255, 165, 0);

constexpr int kFound = 1;  // DetectCard: card present
constexpr int kNoCard = 4;

bool IsAbsentState(int state) { return state == 4 || state == 5 || state == 255; }

int ParamInt(const char* section, const char* key) {
  return kx::ReadProfileInt(section, key, 0, kx::SettingIniPath().c_str());
}

}  // namespace

CPortJob::CPortJob(int mode, kx::PageLocks* locks, IStatusCell* statusCell, IProgressBar* progress, int driveNumber,
                   int slot, const std::atomic<bool>* repeatCheck, std::array<ITextWindow*, 3>* countLabels,
                   std::string logFolder, std::string* resultCode, void* clockButton,
                   std::array<std::atomic<int>, kx::kPortCount>* portStates,
                   std::optional<kx::RunSummarySources> runSummary)
    : m_Locks(locks),
      m_StatusCell(statusCell),
      m_Progress(progress),
      m_CountLabels(countLabels),
      m_SlotText(kx::StrFormat("%d", slot)),
      m_VersionText(kx::StrFormat("V%d.%02x%s", 2, 0x0A, "")),
      m_LogFolder(std::move(logFolder)),
      m_RunSummary(std::move(runSummary)),
      m_ResultCode(resultCode),
      m_RepeatCheck(repeatCheck),
      m_ClockButton(clockButton),
      m_Slot(slot),
      m_Mode(mode),
      m_DriveNumber(driveNumber),
      m_PortStates(portStates) {
  m_VolumeLocked = 0;
  m_DevSleep = ParamInt("Options", "DEVSLP_Control") == 1 ? 1 : 0;
  m_Station = kx::GetTestStation();
}

// Texts only; Run has released the device before it deletes the job.
CPortJob::~CPortJob() = default;

void CPortJob::DeletingDestructor(unsigned flags) {
  if (flags & 1u) {
    delete this;
  } else {
    this->~CPortJob();
  }
}

void CPortJob::Abandon() {
  // Shown idle, so that the page's end-of-pass count never waits for this port.
  SetPortStatus(4, "", "");
  DeletingDestructor(1);
}

CPortJob::Procedure CPortJob::SelectProcedure(int mode, int station, bool onlyDoIsp) {
  switch (mode) {
    case 1:
      if (station == 0) return Procedure::EraseAll;
      if (station == 1 || station == 2 || station == 7 || station == 9) return Procedure::RDT;
      return onlyDoIsp ? Procedure::ISPOnly : Procedure::MP;
    case 4:
      if (station == 2) return Procedure::ZeroMBCheck;
      if (station == 6) return Procedure::UpdateFW;
      if (station == 10) return Procedure::RMADebug;
      return Procedure::QC;
    case 10: return station == 2 ? Procedure::RDTResult : Procedure::None;
    default: return Procedure::None;
  }
}

std::uint8_t CPortJob::Dispatch() {
  switch (SelectProcedure(m_Mode, m_Station, m_OnlyDoIsp != 0)) {
    case Procedure::MP: return RunMP();
    case Procedure::QC: return RunQC();
    case Procedure::EraseAll: return RunEraseAll();
    case Procedure::RDT: return RunRDT();
    case Procedure::ZeroMBCheck: return Run0MBCheck();
    case Procedure::ISPOnly: return RunISPOnly();
    case Procedure::RDTResult: return RunRDTResult();
    case Procedure::UpdateFW: return RunUpdateFW();
    case Procedure::RMADebug: return RunRMADebug();
    case Procedure::None: break;
  }
  return 0;
}

void CPortJob::Run(std::uint32_t /*param*/) {
  win::Sleep(1500);
  m_Station = kx::GetTestStation();
  m_StopIfFail = ParamInt("RD Debug", "StopIfFail") == 1 ? 1 : 0;
  switch (m_Mode) {
    case 8: RunSnScan(); break;
    case 7: RunWaitRemoveAndNew(); break;
    case 6: RunCardCheck(); break;
    case 9: RunWaitRemove(); break;
    default: RunSingle(); break;
  }
  m_Device.reset();
  DeletingDestructor(1);  // the job is gone: nothing may follow
}

// ---- main path ----

void CPortJob::RunSingle() {
  m_ShownState = -1;
  m_OnlyDoIsp = ParamInt("Options", "OnlyDoISP") != 0 ? 1 : 0;
  // A job that selects no procedure leaves its port idle: no device, no card
  // command, no record, its result code as it was.
  if (SelectProcedure(m_Mode, m_Station, m_OnlyDoIsp != 0) == Procedure::None) {
    SetPortStatus(4, "", "");
    SetPortPhase(1);
    return;
  }
  if (RepeatChecked()) {
    RunRepeat();
    return;
  }

  std::unique_ptr<platform::IDeviceHold> hold;
  const bool alone = HoldDrive(hold);
  const bool built = BuildRunDevice();
  if (built) {
    StartTest();
  } else {
    StampStart();  // the result list keys the failure by its time
  }
  std::uint8_t result = !built ? 0 : alone ? Dispatch() : FailHeldDrive();
  if (built && result == 0) RecordFailure();
  if (result != 0 && FailLostRecords()) result = 0;

  if (result == 0) {
    AppendExtraStatus();
    if (m_StopIfFail) g_StopAfterFail = 1;
    SetPortPhase(m_ShownState == 4 ? 1 : 5);
  } else {
    SetPortPhase(4);
  }
  m_EndClock = platform::Clock().NowMs();

  if (m_Station != 0) {
    auto lock = LockPage(0);
    WriteResultList(result);
    if (result != 0 && FailLostRecords()) {
      result = 0;
      if (m_StopIfFail) g_StopAfterFail = 1;
      SetPortPhase(5);
    }
    if (m_Station == 3 && m_Mode == 1) WriteSummaryCsv(m_Device.get(), result);
  }
  SwitchCardOffAfterRun();
}

void CPortJob::RunRepeat() {
  if (!BuildRunDevice()) {
    SetPortPhase(5);
    return;
  }
  do {
    win::Sleep(200);
    const int state = m_Device->DetectCard(2);
    if (state == kFound) {
      if (m_ShownState != 4 && m_ShownState != -1) continue;  // this card's result is on show
      SetPortRunState(2);
      SetPortPhase(2);
      if (!RepeatCycle()) break;
    } else {
      if (IsAbsentState(state)) SetPortStatus(4, "", "");
      SetPortPhase(1);
    }
  } while (RepeatChecked());
}

bool CPortJob::RepeatCycle() {
  std::unique_ptr<platform::IDeviceHold> hold;
  const bool alone = HoldDrive(hold);
  StartTest();
  std::uint8_t result = alone ? Dispatch() : FailHeldDrive();
  if (result == 0) RecordFailure();
  if (result != 0 && FailLostRecords()) result = 0;
  if (result != 0) {
    {
      auto lock = LockPage(0);
      WriteSummaryLogs(1);
    }
    // Logs that did not take the pass fail it, as a lost record does.
    if (FailLostRecords()) {
      if (m_StopIfFail) g_StopAfterFail = 1;
      SetPortPhase(5);
    } else {
      SetPortPhase(4);
    }
  } else {
    if (m_StopIfFail) g_StopAfterFail = 1;
    if (m_ShownState == 4) {
      SetPortPhase(1);
    } else {
      SetPortPhase(5);
      {
        auto lock = LockPage(0);
        WriteSummaryLogs(0, &lock);
      }
      AppendExtraStatus();
    }
  }
  m_EndClock = platform::Clock().NowMs();
  if (g_StopAfterFail) return false;
  SwitchCardOffAfterRun();
  m_Device.reset();
  if (BuildRunDevice()) return true;
  SetPortPhase(5);
  return false;
}

bool CPortJob::BuildDevice(bool withClockButton) {
  m_Device = std::make_unique<CPortDevice>(m_DriveNumber, m_Mode, m_Slot, m_LogFolder, m_StatusCell,
                                           withClockButton ? m_ClockButton : nullptr);
  if (m_Device->IsConstructed()) return true;
  // Without its buffers the device must not run a step: the port fails now.
  m_FailCode = m_Device->m_ErrorCode = kUnnamedFailureCode;
  if (m_ResultCode) *m_ResultCode = m_FailCode;
  SetPortStatus(0, m_FailCode, m_Device->m_ErrorMessage);
  return false;
}

bool CPortJob::BuildRunDevice() {
  if (BuildDevice(true)) return true;
  // On record in what needs no drive: a report of its own, the logs and records.
  m_Device->WriteReport("START", false);
  RecordFailure();
  return false;
}

void CPortJob::StartTest() {
  m_FailCode.clear();  // a repeat cycle's failure is its own
  SetPortStatus(2, "Testing", "");
  if (m_Progress) m_Progress->SetRange(0, 100);
  StampStart();
}

void CPortJob::StampStart() {
  win::SYSTEMTIME t;
  win::GetLocalTime(&t);
  m_StartTime =
      kx::StrFormat("%04d/%02d/%02d_%02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
  m_StartClock = platform::Clock().NowMs();
}

bool CPortJob::FailLostRecords() {
  if (!m_Device || !m_Device->HasWriteFailure()) return false;
  CPortDevice& d = *m_Device;
  const std::string& path = d.m_WriteFailPath;
  const std::size_t slash = path.find_last_of("\\/");
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  d.m_ErrorCode = kRecordLostCode;
  d.m_ErrorMessage = kx::StrFormat("Record not written: %s, %s", path.c_str(), d.WriteFailureError().c_str());
  m_FailCode = d.m_ErrorCode;
  if (m_ResultCode) *m_ResultCode = m_FailCode;
  SetPortStatus(0, d.m_ErrorCode, d.m_ErrorMessage);
  AppendStatusTextRed(kx::StrFormat("%s OS error %u", name.c_str(), d.m_WriteFailError));
  // On record like any other failure, in whichever of the files can still be written.
  d.WriteFailReport();
  return true;
}

void CPortJob::RecordFailure() {
  CPortDevice& d = *m_Device;
  if (m_FailCode.empty()) {
    m_FailCode = d.m_ErrorCode.empty() ? kUnnamedFailureCode : d.m_ErrorCode;
    if (m_ResultCode) *m_ResultCode = m_FailCode;
    // The cell showed the failure without a number.
    SetPortStatus(m_ShownState == 4 ? 4 : 0, m_FailCode, m_ShownState == 4 ? "" : d.m_ErrorMessage);
  }
  if (d.m_FailBlockCode == CPortDevice::FormatErrorCode(m_FailCode)) return;
  d.m_ErrorCode = m_FailCode;
  d.WriteFailReport();
}

std::uint8_t CPortJob::RecordPass(const std::string* stationLogSource) {
  SetProgress(100);
  UnlockVolumeAfterPass();
  m_Device->WriteReport("END", false);
  if (stationLogSource) MakeStationLogName(*stationLogSource, m_Station);
  platform::Clock().SleepMs(100);
  SetProgress(0);
  if (m_ResultCode) *m_ResultCode = "0_00";
  return 1;
}

void CPortJob::AppendExtraStatus() {
  if (m_Device && m_Device->m_StatusExtraFlag) AppendStatusTextRed(m_Device->m_StatusExtraText);
}

// ---- short jobs ----

void CPortJob::RunCardCheck() {
  if (!BuildDevice(false)) return;
  const int state = m_Device->DetectCard(2);
  if (state == kFound && PortResult() == 4) {
    PaintCell(kWhite, kBlue);
    ShowCellText(m_SlotText);
    SetProgress(0);
    SetPortResult(2);
  } else if (state == kNoCard && PortResult() == 2) {
    PaintCell(kRed, kBlack);
    SetPortResult(4);
  }
  SwitchCardOff();
}

void CPortJob::RunWaitRemoveAndNew() {
  if (!BuildDevice(false)) return;
  if (WaitForRemoval() == kNoCard) {
    const int result = PortResult();
    if (result == 0) PaintCell(kBlack, Rgb(255, 100, 100));
    if (result == 1) PaintCell(kBlack, Rgb(0, 128, 0));
  }
  while (g_CardWatch == 1) {
    const int state = m_Device->DetectCard(2);
    const int result = PortResult();
    if (state == kFound && (result == 0 || result == 1)) {
      PaintCell(kWhite, kBlue);
      ShowCellText(kx::StrFormat(" %d ", m_Slot));
      SetProgress(0);
      break;
    }
    win::Sleep(500);
  }
  if (!m_StopIfFail) SwitchCardOff();
}

void CPortJob::RunWaitRemove() {
  if (!BuildDevice(false)) return;
  if (WaitForRemoval() == kNoCard) {
    const int result = PortResult();
    if (result == 0 || result == 1) PaintCell(kBlack, Rgb(128, 128, 128));
  }
  SwitchCardOff();
}

int CPortJob::WaitForRemoval() {
  for (;;) {
    const int state = m_Device->DetectCard(2);
    if (state == kNoCard || g_CardWatch == 0) return state;
    win::Sleep(500);
  }
}

void CPortJob::RunSnScan() {
  if (!BuildDevice(false)) return;
  for (;;) {
    const int state = m_Device->DetectCard(2);
    if (state == kFound) {
      PaintCell(kWhite, kBlue);
      ShowCellText(m_SlotText);
      SetProgress(0);
      break;
    }
    if (PortResult() == 4 && IsAbsentState(state)) SetPortStatus(4, "", "");
    if (PortRunState() == 3) {
      SwitchCardOffAfterRun();
      return;
    }
    if (AllSerialsIn()) break;
    win::Sleep(500);
  }

  if (AllSerialsIn()) {
    if (PortRunState() == 4) {
      SetPortRunState(2);
      PaintCell(kBlack, kOrange);
    } else {
      SetPortRunState(3);
      SetPortStatus(4, "", "");
    }
    SwitchCardOffAfterRun();
    return;
  }

  g_SnScanState.SetSerialNumber(m_Slot, "");
  {
    auto lock = LockPage(3);
    PaintCell(kBlack, kOrange);
    std::unique_ptr<CSnScanDlg> dialog = g_SnScanState.MakeDialog();
    if (dialog) dialog->SetPortNumber(m_Slot);
    if (dialog && dialog->DoModal() == 1) {
      g_SnScanState.SetSerialNumber(m_Slot, dialog->GetSerialNumber());
      if (g_SnScanState.wwnScanEnabled) g_SnScanState.SetWwn(m_Slot, dialog->GetWwn());
      SetPortPhase(9);
    } else {
      SetPortPhase(10);
      SetPortRunState(3);
      SetPortStatus(4, "", "");
      lock = {};
      SwitchCardOffAfterRun();
      return;
    }
  }

  SetPortRunState(2);
  SetPortStatus(-1, "Wait...", "");
  for (;;) {
    win::Sleep(200);
    if (AllSerialsIn()) return;  // the card stays powered
    if (!AnyPortWaiting()) break;
  }
  {
    auto lock = LockPage(3);
    if (g_SnScanState.question == 0) {
      g_SnScanState.question = 1;
      const int answer = win::MessageBox(nullptr, "All Serial Number have scan?", "Confirm",
                                         win::MB_OKCANCEL | win::MB_ICONQUESTION | win::MB_TOPMOST);
      if (answer == win::IDCANCEL) g_SnScanState.question = 2;
    }
  }
  if (g_SnScanState.question == 2) return;
  SwitchCardOffAfterRun();
}

bool CPortJob::AllSerialsIn() const { return g_SnScanState.allScanned == kx::SnScanState::kAllIn; }

bool CPortJob::AnyPortWaiting() const {
  if (!m_PortStates) return false;
  for (const auto& state : *m_PortStates)
    if (state == 1) return true;
  return false;
}

// ---- helpers ----

void CPortJob::SwitchCardOffAfterRun() {
  if (g_StopAfterFail == 0) SwitchCardOff();
}

void CPortJob::SwitchCardOff() {
  // A card another program holds is its run's, powered or not.
  if (!m_Device || !m_Device->IsConstructed() || g_KX_U2A != 0 || !m_HeldDrivePath.empty()) return;
  m_Device->SwitchCardPower(0, false, 0, m_DevSleep != 0);
}

bool CPortJob::RepeatChecked() const { return m_RepeatCheck && m_RepeatCheck->load(); }

std::unique_lock<std::mutex> CPortJob::LockPage(int index) {
  if (!m_Locks) return {};
  return std::unique_lock<std::mutex>((*m_Locks)[static_cast<std::size_t>(index)]);
}

void CPortJob::SetPortRunState(int state) {
  if (m_PortStates && m_Slot >= 1 && m_Slot <= kx::kPortCount) (*m_PortStates)[m_Slot - 1] = state;
}

int CPortJob::PortRunState() const {
  if (m_PortStates && m_Slot >= 1 && m_Slot <= kx::kPortCount) return (*m_PortStates)[m_Slot - 1];
  return -1;
}

void CPortJob::SetPortPhase(int phase) {
  if (m_Slot >= 0 && m_Slot < kx::kPortTableSize) g_PortState[m_Slot] = phase;
}

int CPortJob::PortResult() const {
  if (m_Slot >= 1 && m_Slot <= kx::kPortTableSize) return g_PortResult[m_Slot - 1];
  return -1;
}

void CPortJob::SetPortResult(int result) {
  if (m_Slot >= 1 && m_Slot <= kx::kPortTableSize) g_PortResult[m_Slot - 1] = result;
}

void CPortJob::SetProgress(int pos) {
  if (m_Progress) m_Progress->SetPos(pos);
}

void CPortJob::PaintCell(std::uint32_t textColor, std::uint32_t backColor) {
  if (m_StatusCell) m_StatusCell->SetColor(textColor, backColor);
}

void CPortJob::ShowCellText(const std::string& text) {
  if (!m_StatusCell) return;
  m_StatusCell->SetWindowText(text);
  m_StatusCell->Redraw();
}

// ---- the port's volume during a procedure ----

bool CPortJob::HoldDrive(std::unique_ptr<platform::IDeviceHold>& hold) {
  m_HeldDrivePath.clear();
  std::string path;
  if (!kx::GetPortDevicePath(m_DriveNumber, path)) return true;
  hold = platform::HoldDevice(path);
  if (hold || win::GetLastError() != win::ERROR_SHARING_VIOLATION) return true;
  m_HeldDrivePath = path;
  return false;
}

std::uint8_t CPortJob::FailHeldDrive() {
  CPortDevice& d = *m_Device;
  d.WriteReport("START", false);
  d.m_ErrorCode = kDriveHeldCode;
  d.m_ErrorMessage = kx::StrFormat("Drive is Held by Another Program: %s !", m_HeldDrivePath.c_str());
  // The refused hold is the job's last request; its fail block asks the drive nothing.
  d.m_Command->m_LastError = win::ERROR_SHARING_VIOLATION;
  return 0;
}

// Reached only once the IC version check has known the drive as one of the
// family: a stick on the port never gets here and keeps its mount.
bool CPortJob::LockVolumeForRun() {
  CPortDevice& d = *m_Device;
  if (d.m_Volume.LockPortVolume() == 1) {
    m_VolumeLocked = 1;
    d.WriteReport("Drive Letter are Locked.", true);
    return true;
  }
  d.WriteReport("Drive Letter are Not Locked.", true);
  const std::string& mountPoint = d.m_Volume.m_BusyMountPoint;
  if (mountPoint.empty()) return true;
  d.m_ErrorCode = kVolumeInUseCode;
  d.m_ErrorMessage = kx::StrFormat("Drive Letter are Not Locked, files open on %s !", mountPoint.c_str());
  d.WriteFailReport();
  return false;
}

void CPortJob::UnlockVolumeAfterPass() {
  if (!m_VolumeLocked) return;
  if (m_Device->m_Volume.DismountPortVolume())
    m_VolumeLocked = 0;
  else
    m_Device->WriteReport("UN Lock Drive Fail", true);
}
