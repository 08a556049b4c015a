// The production page's logic, without windows: first display, the slot grid's
// shape, Start and Scan with their checks, the log folders and run logs, the
// pass loop on its run thread, the end of a pass, the totals and yield, and the
// port mapping with hot-plug. The workers write the per-port models below; the
// window shows them on its own thread from its timers.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/PortMapping.h"
#include "device/StatusCell.h"
#include "engine/EngineGlobals.h"
#include "engine/RunTotals.h"
#include "engine/ThreadPool.h"
#include "platform/WinTypes.h"

class CProductionPage {
 public:
  static constexpr int kMaxSlots = 24;
  static constexpr int kResultCodes = 48;

  explicit CProductionPage(std::unique_ptr<CPortMapping> mapping = nullptr);
  // Lets a run still going end its pass and waits for it, then empties the
  // error-code catalogue.
  ~CProductionPage();
  CProductionPage(const CProductionPage&) = delete;
  CProductionPage& operator=(const CProductionPage&) = delete;

  // ---- first display and activation ----

  // Parameter-file paths, send mode, ATA pass-through flags, holders, the
  // flash-maker copy, the error-code catalogue, the slot count, the count
  // labels (what the station's Total log holds) and the mapping (naming any
  // port left unmapped because an earlier port names its node).
  void OnInitDialog();
  // The working folder, each time the page becomes the active one.
  void OnSetActive();

  // [General Info] SlotNumber: 8, 16 or 24; anything else 8.
  static int SlotCountOf(int setting);
  struct GridLayout {
    int columns = 0;
    int rows = 0;
  };
  static GridLayout LayoutOf(int slots);
  int SlotCount() const { return m_SlotNumber; }

  // ---- Start, Scan and the run ----

  // The checks in order; false with the operator's message when the run may
  // not start. The mapping's warning of ports it learnt is shown on the way.
  bool CheckStart(std::string& message);
  // Checks, prepares and starts the pass loop on the run thread; false (message
  // shown) when refused, when a run is going, or once a stop was requested
  // (before or during its boxes).
  bool OnStart();
  // Maps the ports again from the drives present, whatever mapping a killed
  // process left, and shows which reach a drive; tells the operator when none
  // does, when the tester scan failed, or which ports name another's node.
  // Nothing once a stop was requested.
  void OnScan();
  // No pass after the one going, and no Start or Scan any more (the program
  // ends: the window is to close when the run has ended). Any thread.
  void RequestStop() { m_StopRequested = true; }
  bool StopRequested() const { return m_StopRequested.load(); }
  // True from Start until the run thread has ended (its last join included).
  bool Running() const { return m_Running.load(); }
  // Blocks until the run thread has ended; for shut-down and tests.
  void WaitForRunEnd();

  // Job mode the page posts for a station.
  static int JobModeOf(int station);
  // Ports counted as finished by the run timer: from port 1 upward, stopping
  // at the first port still testing, those in state 0, 1 or 4.
  static int CountFinishedPorts();
  // The 1-second timer: true once every posted job of the pass has finished.
  bool PassFinished() const;
  // "%02d:%02d" minutes and seconds since Start.
  std::string RunClockText() const;

  // ---- logs and totals ----

  // False, with the operator's message naming the folder or file and the OS
  // error, when a log folder cannot be created or a missing log's header
  // written (nothing of that header is then left); and,
  // before anything is made, naming the WorkingNo or the computer name and why,
  // when it cannot be part of the log folder's and work-order file's names
  // (kx::WorkingNoFault, kx::ComputerNameFault).
  bool PrepareLogFolders(std::string& message);
  // The header of a new Total log: 0 or the Windows error number.
  win::DWORD WriteRunSummary(const std::string& totalLogPath);
  // Adds a pass's result codes (index port-1) to the Total log, _Summary.log,
  // the count labels and the yield: "0_00" passed; "H_F8", "H_AF", "T_01",
  // "P_A01" and "P_x01" (no job or no drive) not counted; any other failed.
  // A log that refuses the pass is named in the run's notice, once, and the
  // labels show what the Total log holds.
  void WriteRunTotals(const std::array<std::string, kResultCodes>& codes);
  std::string LogFolder() const { return m_LogFolder; }
  std::string TotalLogPath() const { return m_TotalLogPath; }
  std::string ErrorLogPath() const { return m_ErrorLogPath; }

  // ---- what the window shows ----

  kx::StatusCellModel& Cell(int port) { return m_Cells.at(static_cast<std::size_t>(port - 1)); }
  kx::ProgressModel& Progress(int port) { return m_Progress.at(static_cast<std::size_t>(port - 1)); }
  // 0 total, 1 good, 2 bad.
  kx::TextWindowModel& CountLabel(int i) { return m_Labels.at(static_cast<std::size_t>(i)); }
  std::string ResultCode(int port) const;
  int DriveNumber(int port) const;
  // Session yield: passed and failed ports of every pass since start-up.
  int YieldPass() const { return m_YieldPass.load(); }
  int YieldFail() const { return m_YieldFail.load(); }
  std::string YieldText() const;
  // The next-station notice of the last pass, once, after the run's totals a
  // log refused; empty when none is due. *warning: it tells of something that
  // went wrong (totals refused, no drive found), not only what comes next.
  std::string TakeNotice(bool* warning = nullptr);
  static std::string NextStationNotice(int station);
  // The notice of a pass that found no drive, and of a Scan that mapped none.
  static std::string NoDriveText(int slots);
  // The tool-settings file or its TestStation missing, or a TestStation the
  // station table does not hold (the station then is RDT); start-up and each
  // Start tell it. Empty when the station is named.
  static std::string StationWarning();
  // [General Info] SlotNumber set to anything but 8, 16 or 24 (the page shows 8).
  static std::string SlotNumberWarning();
  // What start-up tells the operator once: both of the above and a missing
  // drive C:, a line each.
  static std::string StartUpWarning();

  // ---- hot-plug ----

  // Ports whose mapping changed; their cells are reset unless a run is going.
  // An arrival that learns ports by guess warns as start-up does (one during
  // a run when its mapping is made: at the next pass of a loop, or after the
  // run). Nothing before OnInitDialog has mapped the ports: its mapping lists
  // after the change.
  std::vector<int> OnDiskChange(const platform::DiskNotification& notification);
  // Shut-down of the window: the mapping file is tidied.
  void OnDestroy();

 private:
  // Runs `map` on the mapping under its lock, and `quiet` too when the mapping
  // then warns of nothing; shows the warning with the lock let go (a box waits
  // for the window thread, which may be waiting for the lock). True when a
  // warning was told.
  bool MapAndWarn(const std::function<void()>& map, const std::function<void()>& quiet = {});
  // The count labels: Total, Good and Bad as the Total log holds them.
  void ShowCounts(const kx::PassTotals& totals);
  void ShowTotalCounts(const std::string& totalLogPath);
  void RunPasses();
  void RunOnePass(int jobMode);
  void ResetSlots();
  void ShowPortPresence(int port, bool present);

  std::unique_ptr<CPortMapping> m_Mapping;
  mutable std::mutex m_MappingLock;  // the mapping: window thread and run thread
  int m_SlotNumber = 8;
  bool m_Initialised = false;

  std::array<kx::StatusCellModel, kMaxSlots> m_Cells;
  std::array<kx::ProgressModel, kMaxSlots> m_Progress;
  std::array<kx::TextWindowModel, 3> m_Labels;
  std::array<ITextWindow*, 3> m_LabelViews{};
  std::array<std::string, kResultCodes> m_ResultCodes;
  std::array<std::atomic<int>, kx::kPortCount> m_PortStates{};
  std::unique_ptr<kx::PageLocks> m_Locks;
  CThreadPool m_Pool;

  std::string m_LogFolder;
  std::string m_TotalLogPath;
  std::string m_ErrorLogPath;
  int m_Station = 0;
  int m_RunKind = 1;

  std::thread m_RunThread;
  std::atomic<bool> m_Running{false};
  std::atomic<bool> m_StopRequested{false};  // the page goes: no further pass
  std::atomic<int> m_JobsPosted{0};
  std::atomic<bool> m_Posting{false};
  std::uint64_t m_StartMs = 0;
  std::atomic<int> m_YieldPass{0};
  std::atomic<int> m_YieldFail{0};
  mutable std::mutex m_NoticeLock;
  std::string m_Notice;
  bool m_NoticeWarns = false;  // m_Notice is the no-drive text
  std::string m_TotalsNotice;  // the run's passes that logs refused, until taken
};
