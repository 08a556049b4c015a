// CFirstPropertyPage: the earlier production page for up to 48 slots, as plain
// logic. It drives an IFirstPageView (the named controls, the timers) and asks
// IFirstPageServices for everything outside the page: message boxes, the file
// dialog, the tester finder and probes, the pool waiter with its message pump,
// the clock and the PC's identity. The slot cells, bars and count boxes are the
// thread-safe models the jobs write; the window shows them.
//
// Files: FirstPropertyPage.cpp (members, first display, activation, device
// information, tester detection), LegacyRuns.cpp (the four run procedures),
// LegacyRunLogs.cpp (run logs and log folders), PageControls.cpp (keys, run
// controls, parameter-file choice, serial range, tester probes),
// SystemInfo.cpp (run clock and system information).
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "device/StatusCell.h"
#include "engine/EngineGlobals.h"
#include "engine/RunLogHeaders.h"
#include "engine/ThreadPool.h"
#include "legacy/SlotLayout.h"
#include "legacy/SystemInfo.h"
#include "platform/WinTypes.h"

// 1 from the start of a legacy pass until its run ends.
extern std::atomic<std::int32_t> g_RunActive;

namespace legacy {

// Control identifiers of the page's template.
enum ControlId : int {
  kIdClearRecord = 1063,
  kIdBadBlock = 1137,
  kIdPretest = 1147,
  kIdQc = 1157,
  kIdAutoDetect = 1198,
  kIdTotal = 1215,
  kIdGood = 1216,
  kIdBad = 1217,
  kIdInitial = 1306,
  kIdTesterDetect = 1307,
  kIdReloadParam = 1341,
  kIdBanner = 1430,
  kIdExtraCell = 1506,
  kIdInfoList = 1516,
  kIdParamCombo = 1519,
  kIdLoop = 1523,
  kIdLock = 1527,
  kIdTime = 1528,
  kIdSerialLabel = 1530,
  kIdSerialRange = 1531,
  kIdBottomEdit1565 = 1565,
  kIdStatic1579 = 1579,
  kIdPortNumberLabel = 1650,
};

constexpr int kTimerRunClock = 2;
constexpr int kSlotCount = 48;
constexpr int kPortCount = kx::kPortCount;  // ports detection and runs cover

// Message-box types as the page uses them.
constexpr unsigned kMbOk = 0x0;
constexpr unsigned kMbIconError = 0x10;
constexpr unsigned kMbIconInformation = 0x40;

// The controls of the page as the logic sees them.
class IFirstPageView {
 public:
  virtual ~IFirstPageView() = default;
  virtual void EnableControl(int id, bool enable) = 0;
  virtual void ShowControl(int id, bool show) = 0;
  virtual void SetCaption(int id, const std::string& text) = 0;
  // An image button's icon (resource number) and alignment, repainted.
  virtual void SetButtonIcon(int id, int icon, int align) = 0;
  // A skin button's bitmap for normal, down and over.
  virtual void SetSkin(int id, int bitmap) = 0;
  virtual bool IsChecked(int id) const = 0;
  // The parameter-file combo: its entries and its selected text.
  virtual void SetComboEntries(const std::vector<std::string>& names) = 0;
  virtual std::string ComboSelection() const = 0;
  virtual void SetTimer(int id, unsigned periodMs) = 0;
  virtual void KillTimer(int id) = 0;
  // Moves, shows and hides the 48 slot control sets.
  virtual void PlaceSlots(const SlotLayout& layout) = 0;
  // Moves the page's texts (information lines, markers, serial range, counts)
  // into the controls and repaints.
  virtual void Refresh() = 0;
};

// What one tester probe read through its device object.
struct TesterProbe {
  bool ok = false;
  int kind = 0;
  std::string fwVersion;   // "%d.%02x"
  int pageByte256 = 0;     // kept by the device for new testers
};

// How a wait with the message pump ended.
enum class WaitEnd { Done, Quit };

class IFirstPageServices {
 public:
  virtual ~IFirstPageServices() = default;
  virtual int MessageBox(const std::string& text, unsigned type) = 0;
  // The open-file dialog (file must exist); false when cancelled.
  virtual bool ChooseFile(std::string& path) = 0;
  // Fills the drive number of each port 1 to 24 (entry 0 unused); false when
  // no tester board was found.
  virtual bool ScanTesters(std::array<std::int32_t, kPortCount + 1>& driveOfPort) = 0;
  virtual TesterProbe CheckTesterFirmware(int driveNo, int port, const std::string& logFolder) = 0;
  virtual TesterProbe ReadTesterInfo(int driveNo, int port, const std::string& logFolder) = 0;
  virtual bool CreatePool(CThreadPool& pool, unsigned workers) = 0;
  // Dispatches the page's messages until `done` holds; Quit when it met the
  // program's quit request (then `done` may not hold yet).
  virtual WaitEnd PumpUntil(const std::function<bool()>& done) = 0;
  // Called from another thread once `done` holds, so that a pump sleeping on
  // the window system's events wakes up to see it.
  virtual void WakePump() {}
  // Pauses for `ms` while dispatching the page's messages; Quit as PumpUntil.
  // Here the pause comes first: a pump without a window system has nothing to dispatch.
  virtual WaitEnd PauseDispatching(unsigned ms) {
    Pause(ms);
    return PumpUntil([] { return true; });
  }
  // Puts the quit request back for the outer message loop.
  virtual void PostQuit() = 0;
  virtual std::uint64_t NowMs() = 0;
  virtual void Pause(unsigned ms) = 0;
  virtual ISystemInfo& System() = 0;
};

// Services of the program: platform message box, the tester finder and
// CPortDevice probes, the page's pool, the platform clock. The pump polls
// `done` on the clock; the window layer replaces it with its event loop.
class DefaultFirstPageServices : public IFirstPageServices {
 public:
  DefaultFirstPageServices();
  ~DefaultFirstPageServices() override;
  int MessageBox(const std::string& text, unsigned type) override;
  bool ChooseFile(std::string& path) override;
  bool ScanTesters(std::array<std::int32_t, kPortCount + 1>& driveOfPort) override;
  TesterProbe CheckTesterFirmware(int driveNo, int port, const std::string& logFolder) override;
  TesterProbe ReadTesterInfo(int driveNo, int port, const std::string& logFolder) override;
  bool CreatePool(CThreadPool& pool, unsigned workers) override;
  WaitEnd PumpUntil(const std::function<bool()>& done) override;
  void PostQuit() override {}
  std::uint64_t NowMs() override;
  void Pause(unsigned ms) override;
  ISystemInfo& System() override { return *m_System; }

 private:
  std::unique_ptr<ISystemInfo> m_System;
};

// A key event as PreTranslateMessage sees it.
struct KeyEvent {
  enum Type { KeyDown, KeyUp } type = KeyDown;
  int key = 0;
};
constexpr int kKeyEscape = 0x1B;
constexpr int kKeyF4 = 0x73;
constexpr int kKeyF8 = 0x77;

class CFirstPropertyPage {
 public:
  using ResultCodes = std::array<std::string, kx::kPortTableSize>;

  CFirstPropertyPage(IFirstPageView& view, IFirstPageServices& services);
  // Stops the run clock. A run is never on the stack here: its caller holds the page.
  ~CFirstPropertyPage();
  CFirstPropertyPage(const CFirstPropertyPage&) = delete;
  CFirstPropertyPage& operator=(const CFirstPropertyPage&) = delete;

  // ---- FirstPropertyPage.cpp: first display and activation ----

  bool OnInitDialog();
  void OnSetActive();

  // ---- FirstPropertyPage.cpp: device information and tester detection ----

  void ShowDeviceInfo();
  void DetectTesters();
  int ResetSlotCells();
  void RefreshBanner();
  void OnClearRecord();
  void WriteCardCounts(const std::string& total, const std::string& good, const std::string& bad);
  void OnReloadParam();
  void OnAutoDetect();
  void OnLoop();
  // Joins the pool on a thread of its own while the services pump messages.
  void WaitWithMessagePump();
  // The window is going: from now on the page shows nothing, and a run on the
  // stack ends once its pass's jobs have (no further pass, no finish pass).
  void DetachView();

  // ---- LegacyRuns.cpp: the run procedures ----

  void OnQc();
  void OnInitial();
  void OnBadBlock();
  void OnPretest();

  // ---- LegacyRunLogs.cpp: run logs and log folders ----

  // A log that refuses a pass is named in a box, once a run; the count boxes
  // show what the Total log holds.
  void WriteRunTotals(const ResultCodes& codes);
  win::DWORD WriteRunSummary(const std::string& totalLogPath);
  // Where the run summary takes its station and working number, at the
  // page's run logs and in its jobs.
  static kx::RunSummarySources RunSummarySources();
  void PrepareLogFolders();

  // ---- PageControls.cpp: keys, run controls, parameter files, probes ----

  // True when the key is consumed; F8 and F4 released run QC and Initial.
  bool PreTranslateKey(const KeyEvent& event);
  void EnableRunControls();
  void DisableRunControls();
  void OnLock();
  void FillParamFileList();
  void OnSelchangeParamFile();
  void OnDropdownParamFile() { FillParamFileList(); }
  void ShowSerialRange();
  bool ProbeTesterFirmware(int driveNo, int port);
  bool ProbeTesterInfo(int driveNo, int port);

  // ---- SystemInfo.cpp: the run clock ----

  void OnTimer(int id);

  // ---- state the window shows and tests read ----

  kx::StatusCellModel& Cell(int slot) { return m_Cells.at(static_cast<std::size_t>(slot - 1)); }
  kx::ProgressModel& Progress(int slot) { return m_Bars.at(static_cast<std::size_t>(slot - 1)); }
  // 0 Total, 1 Good, 2 Bad.
  kx::TextWindowModel& CountBox(int i) { return m_CountModels.at(static_cast<std::size_t>(i)); }
  const std::vector<std::string>& InfoLines() const { return m_InfoLines; }
  const std::string& Marker(int slot) const { return m_Markers.at(static_cast<std::size_t>(slot - 1)); }
  const std::string& SerialRangeText() const { return m_SerialRange; }
  const std::vector<std::string>& ParamFiles() const { return m_ParamFiles; }
  // Whether the jobs of a pass go on testing the drives put in (the Auto Detect box as the jobs see it).
  bool JobsRepeat() const { return m_AutoDetectBox; }

  // ---- members ----

  std::array<std::int32_t, kPortCount + 1> m_DriveOfPort{};  // the tester finder's slot map
  std::string m_StartFolder;
  std::array<std::int32_t, kPortCount + 1> m_FwMarks{};
  std::array<std::int32_t, kPortCount + 1> m_TesterKinds{};
  std::array<std::int32_t, kPortCount + 1> m_InfoMarks{};
  std::array<std::int32_t, kPortCount + 1> m_TesterPageBytes{};
  std::array<std::atomic<int>, kx::kPortCount> m_PortStates{};
  int m_SlotNumber = 24;
  std::string m_ParamPath;
  int m_TesterReady = 0;
  std::string m_TesterFwText;
  int m_PortCount = kPortCount;
  std::string m_SnSettingsPath;
  std::string m_LogFolder = " ";
  std::string m_TotalLogPath;
  std::string m_ErrorLogPath;
  std::set<std::string> m_TotalsRefusalsTold;  // in this run
  int m_RunKind = 0;
  std::string m_InfoSource = "param.INI";
  std::uint8_t m_LockHold = 0;
  std::uint8_t m_ShowSerialRange = 0;
  std::uint8_t m_AutoDetect = 0;
  int m_TesterCount = 0;
  std::uint8_t m_TesterFound = 0;
  std::array<std::uint8_t, kSlotCount + 1> m_PortEnabled{};
  std::uint64_t m_RunStartMs = 0;
  std::string m_WorkOrderText;
  std::string m_CountFilePath;

 private:
  enum class RunButton { Qc, Initial, BadBlock, Pretest };
  struct RunSpec;
  static const RunSpec& SpecOf(RunButton button);

  // The press check of a run button; true when the press is used up by it.
  bool PressCheck(const RunSpec& spec, bool loopMode);
  // The production runs (QC, Initial) and the plain runs (Bad Block, Pretest).
  void RunProduction(RunButton button);
  void RunPlain(RunButton button);
  // Checks of param.ini and the controller; false (message shown) to refuse the run.
  bool CheckRunFiles();
  // Posts one job per eligible port on a new pool and waits for them; false
  // when the pool could not be created (nothing posted, the operator told).
  bool RunPool(int jobMode, bool useEnableFlags, ResultCodes& codes);
  void FinishPass(const RunSpec& spec, ResultCodes& codes);
  // The start of a production pass up to the tester-ready check; false when
  // that check ended the run.
  bool StartPass(bool checkReadyInBridgeMode);
  // Pause and dispatch before an infinite run restarts without having waited;
  // false when the dispatch met the quit request or the window went.
  bool DispatchBetweenRestarts();
  // A quit met, or the window gone: the run ends after the current pass.
  bool RunCut() const { return m_QuitMet || m_Detached; }
  // The finish pass's watch and the jobs' repeat end, so that the pool can be joined.
  void EndJobWaits();
  int CountEligible(bool useEnableFlags) const;
  void StopRunClock();
  void StartRunClock();
  // The run ends: controls back, g_RunActive 0, the clock stopped, a quit met
  // during the run passed on.
  void EndRun();
  void ReadInfoFolder();
  // [General Info] SlotNumber of the parameter file (default 24), then the slot sets placed for it.
  void LayoutSlots();
  void SetButton(int id, int icon, const char* caption);

  IFirstPageView* m_View;  // a view that shows nothing once detached
  IFirstPageServices& m_Services;
  std::array<kx::StatusCellModel, kSlotCount> m_Cells;
  std::array<kx::ProgressModel, kSlotCount> m_Bars;
  std::array<kx::TextWindowModel, 3> m_CountModels;
  std::array<ITextWindow*, 3> m_CountBoxes{};
  std::array<std::string, kSlotCount> m_Markers;
  std::vector<std::string> m_InfoLines;
  std::vector<std::string> m_ParamFiles;
  std::string m_SerialRange;
  std::atomic<bool> m_AutoDetectBox{false};  // the job's repeat box
  std::unique_ptr<kx::PageLocks> m_Locks;
  CThreadPool m_Pool;
  std::size_t m_Unposted = 0;  // jobs of the pass whose Post failed: they stay queued
  bool m_QuitMet = false;  // a wait met the quit request: the run ends, then passes it on
  bool m_Detached = false;
  int m_RunDepth = 0;  // run procedures on the stack (a press inside a wait adds one)
};

}  // namespace legacy
