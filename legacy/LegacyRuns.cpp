// The four run procedures of the legacy page: QC and Initial (production pass,
// then the finish pass in which each port's card-watch job waits for its drive
// to be changed) and Bad Block and Pretest (production passes only). Each runs
// on the window thread and pumps messages while its pass's jobs run.
#include "command/CommandGlobals.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/Settings.h"
#include "engine/PortJob.h"
#include "engine/SnScan.h"
#include "legacy/FirstPropertyPage.h"
#include "legacy/LegacyShared.h"
#include "platform/Files.h"

namespace legacy {

struct CFirstPropertyPage::RunSpec {
  RunButton button;
  int id;
  int icon;
  const char* caption;
  int jobMode;
  int runKind;
  unsigned pauseMs;
};

const CFirstPropertyPage::RunSpec& CFirstPropertyPage::SpecOf(RunButton button) {
  static const RunSpec kSpecs[] = {
      {RunButton::Qc, kIdQc, 141, "QC", 4, 4, 1000},
      {RunButton::Initial, kIdInitial, 150, "Initial", 1, 1, 500},
      {RunButton::BadBlock, kIdBadBlock, 139, "Bad Block", 11, 4, 1000},
      {RunButton::Pretest, kIdPretest, 194, "Pretest", 10, 4, 1000},
  };
  return kSpecs[static_cast<int>(button)];
}

namespace {

int ParamInt(const char* section, const char* key, int defaultValue) {
  return kx::ReadProfileInt(section, key, defaultValue, kParamIni);
}

}  // namespace

void CFirstPropertyPage::OnQc() { RunProduction(RunButton::Qc); }
void CFirstPropertyPage::OnInitial() { RunProduction(RunButton::Initial); }
void CFirstPropertyPage::OnBadBlock() { RunPlain(RunButton::BadBlock); }
void CFirstPropertyPage::OnPretest() { RunPlain(RunButton::Pretest); }

void CFirstPropertyPage::SetButton(int id, int icon, const char* caption) {
  m_View->SetButtonIcon(id, icon, 1);
  m_View->SetCaption(id, caption);
}

bool CFirstPropertyPage::PressCheck(const RunSpec& spec, bool loopMode) {
  if (g_CardWatch == 1 && !(spec.button == RunButton::Initial && loopMode)) {
    m_View->EnableControl(spec.id, false);
    g_CardWatch = 0;
    if (spec.button != RunButton::Qc) SetButton(spec.id, spec.icon, spec.caption);
    return true;
  }
  // A second run inside a running production pass would rebuild the pool and
  // the locks its jobs use.
  return g_RunActive == 1;
}

void CFirstPropertyPage::StartRunClock() {
  m_RunStartMs = m_Services.NowMs();
  m_View->SetTimer(kTimerRunClock, 1000);
}

void CFirstPropertyPage::StopRunClock() { m_View->KillTimer(kTimerRunClock); }

void CFirstPropertyPage::EndRun() {
  EnableRunControls();
  g_RunActive = 0;
  m_TotalsRefusalsTold.clear();  // the next run tells a refusal again
  StopRunClock();
  if (m_QuitMet) {
    m_QuitMet = false;
    m_Services.PostQuit();
  }
}

bool CFirstPropertyPage::CheckRunFiles() {
  if (!platform::FileExists(kParamIni)) {
    m_Services.MessageBox("Don't found param.ini file !!!", kMbOk);
    return false;
  }
  if (!platform::FileExists(kMacFile))
    kx::WriteProfileText("PC Info", "MAC_Address", GetMacAddress(m_Services.System()), kMacFile);
  const std::string controller = kx::TrimBlanks(kx::ReadProfileText("Device Info", "ControllerType", kParamIni, 20));
  if (!IsKx7410(controller)) {
    m_Services.MessageBox(
        kx::StrFormat("[Device Info]\r\nControllerType=%s\r\non param.ini file NOT correctly !!!", controller.c_str()),
        kMbOk);
    return false;
  }
  return true;
}

int CFirstPropertyPage::CountEligible(bool useEnableFlags) const {
  int count = 0;
  for (int port = 1; port <= kPortCount; ++port)
    if ((!useEnableFlags || m_PortEnabled[static_cast<std::size_t>(port - 1)]) &&
        m_DriveOfPort[static_cast<std::size_t>(port)] != 0)
      ++count;
  return count;
}

bool CFirstPropertyPage::RunPool(int jobMode, bool useEnableFlags, ResultCodes& codes) {
  const int count = CountEligible(useEnableFlags);
  m_Locks = std::make_unique<kx::PageLocks>();
  if (!m_Services.CreatePool(m_Pool, static_cast<unsigned>(count))) {
    m_Locks.reset();
    m_Services.MessageBox("Create thread pool failed !!!", kMbOk | kMbIconError);
    return false;
  }
  m_Unposted = 0;
  for (int port = 1; port <= kPortCount; ++port) {
    const auto i = static_cast<std::size_t>(port - 1);
    if (useEnableFlags && !m_PortEnabled[i]) continue;
    const int drive = m_DriveOfPort[static_cast<std::size_t>(port)];
    if (drive == 0) {
      m_PortStates[i] = -1;
      codes[i] = "H_AF";
      continue;
    }
    if (jobMode != 7) m_PortStates[i] = 1;  // a finish pass keeps the states its production pass left
    if (!m_Pool.Post(new CPortJob(jobMode, m_Locks.get(), &Cell(port), &Progress(port), drive, port, &m_AutoDetectBox,
                                  &m_CountBoxes, m_LogFolder, &codes[i], nullptr, &m_PortStates, RunSummarySources())))
      ++m_Unposted;
  }
  m_View->Refresh();
  WaitWithMessagePump();
  m_Locks.reset();
  return true;
}

void CFirstPropertyPage::FinishPass(const RunSpec& spec, ResultCodes& codes) {
  g_CardWatch = 1;
  EnableRunControls();
  m_View->EnableControl(kIdClearRecord, false);
  SetButton(spec.id, 283, "Finish");
  RunPool(7, true, codes);
  g_CardWatch = 0;
  SetButton(spec.id, spec.icon, spec.caption);
}

bool CFirstPropertyPage::StartPass(bool checkReadyInBridgeMode) {
  g_RunActive = 1;
  DisableRunControls();
  DetectTesters();
  // No cell keeps the last pass's result while this one runs.
  ResetSlotCells();
  RefreshBanner();
  ShowDeviceInfo();
  m_View->Refresh();
  // The window went during the detection's messages.
  if (m_Detached) {
    EndRun();
    return false;
  }
  if ((checkReadyInBridgeMode || g_KX_U2A == 0) && m_TesterReady == 0) {
    m_TesterReady = 1;
    EndRun();
    return false;
  }
  g_SnScanState.question = 0;
  return true;
}

bool CFirstPropertyPage::DispatchBetweenRestarts() {
  // Restarts without a pass must not starve the page's messages.
  if (m_Services.PauseDispatching(500) == WaitEnd::Quit) m_QuitMet = true;
  return !RunCut();
}

namespace {

struct RunScope {
  explicit RunScope(int& depth) : m_Depth(depth) { ++m_Depth; }
  ~RunScope() { --m_Depth; }
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;
  int& m_Depth;
};

}  // namespace

void CFirstPropertyPage::RunProduction(RunButton button) {
  const RunScope scope(m_RunDepth);
  const RunSpec& spec = SpecOf(button);
  const bool qc = button == RunButton::Qc;
  const bool loopMode = ParamInt("RD Debug", "TestInFinity", 0) == 1 || ParamInt("RD Debug", "TestLoop", 0) != 0;
  if (qc && PressCheck(spec, loopMode)) return;
  m_View->Refresh();
  if (!qc && PressCheck(spec, loopMode)) return;

  ResultCodes codes;
  codes.fill("H_F8");
  m_PortCount = kPortCount;
  m_RunKind = spec.runKind;
  if (!CheckRunFiles()) return;
  g_StopAfterFail = 0;
  int passes = ParamInt("RD Debug", "TestLoop", 1);

  for (;;) {  // restart point
    m_View->SetCaption(kIdTime, "00:00");
    StartRunClock();
    const bool infinite = ParamInt("RD Debug", "TestInFinity", 0) == 1;
    if (infinite) passes = 1;
    bool waited = false, stop = false;
    for (int pass = 0; pass < passes && !stop; ++pass) {
      m_View->SetCaption(kIdTime, "");
      if (!StartPass(!qc)) return;
      if (qc && g_KX_U2A != 0) m_DriveOfPort[1] = 1;
      if (m_View->IsChecked(kIdLoop) && CountEligible(true) == 0) break;
      if (!RunPool(spec.jobMode, true, codes)) {
        stop = true;
        break;
      }
      waited = true;
      m_Services.Pause(spec.pauseMs);
      if (!m_AutoDetect) WriteRunTotals(codes);
      StopRunClock();
      if (!m_AutoDetect && !loopMode && !RunCut()) FinishPass(spec, codes);
      if (g_StopAfterFail || RunCut()) stop = true;
    }
    if (stop || g_StopAfterFail || !infinite || (!waited && !DispatchBetweenRestarts())) break;
  }
  EndRun();
}

void CFirstPropertyPage::RunPlain(RunButton button) {
  const RunScope scope(m_RunDepth);
  const RunSpec& spec = SpecOf(button);
  m_View->Refresh();
  if (PressCheck(spec, false)) return;
  m_View->SetCaption(kIdTime, "00:00");
  StartRunClock();

  ResultCodes codes;
  codes.fill("H_F8");
  m_PortCount = kPortCount;
  m_RunKind = spec.runKind;
  if (!CheckRunFiles()) {
    StopRunClock();
    return;
  }
  g_StopAfterFail = 0;
  int passes = ParamInt("RD Debug", "TestLoop", 1);

  for (;;) {
    const bool infinite = ParamInt("RD Debug", "TestInFinity", 0) == 1;
    if (infinite) passes = 1;
    bool waited = false, stop = false;
    for (int pass = 0; pass < passes && !stop; ++pass) {
      m_View->SetCaption(kIdTime, "");
      const std::uint64_t passStart = m_Services.NowMs();
      if (!StartPass(false)) return;
      if (!RunPool(spec.jobMode, false, codes)) {
        stop = true;
        break;
      }
      waited = true;
      m_Services.Pause(spec.pauseMs);
      WriteRunTotals(codes);
      const std::uint64_t s = (m_Services.NowMs() - passStart) / 1000;
      m_View->SetCaption(kIdTime, kx::StrFormat("%02d:%02d", static_cast<int>(s / 60), static_cast<int>(s % 60)));
      if (g_StopAfterFail || RunCut()) stop = true;
    }
    if (stop || g_StopAfterFail || !infinite || (!waited && !DispatchBetweenRestarts())) break;
  }
  EndRun();
}

}  // namespace legacy
