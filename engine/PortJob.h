// One port's job in a production pass. The page posts it to the worker pool; on
// a worker it builds the port's CPortDevice, marks the port testing, runs the
// station procedure that its job mode and the configured station select,
// records the outcome (status cell, result tables, result list, Summary.csv),
// switches the card off and deletes the device and itself. Modes 6 to 9 are
// short card-watch and serial-number-scan jobs that run no procedure.
//
// The station procedures are virtual members, each defined in its own file of
// engine/.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "device/BlockRecord.h"
#include "device/StatusCell.h"
#include "engine/EngineGlobals.h"
#include "engine/RunLogHeaders.h"
#include "engine/ThreadPool.h"

class CPortDevice;
namespace platform {
class IDeviceHold;
}

class CPortJob : public CWorkItem {
 public:
  // A run whose records could not be written; outside the catalogue (no
  // category "W"), so it prints as 0xFFF and collides with no step's code.
  static constexpr const char* kRecordLostCode = "W_F01";
  // A failed procedure that named no code, neither on the job nor on the
  // device: outside the catalogue as well, so it prints as 0xFFF.
  static constexpr const char* kUnnamedFailureCode = "W_F02";
  // A file system of the drive that would not unmount for the volume lock
  // (files open on it): outside the catalogue as well, so it prints as 0xFFF.
  static constexpr const char* kVolumeInUseCode = "W_F03";
  // A drive that another program kept locked past the hold's wait: the job
  // sends it nothing. Outside the catalogue as well, so it prints as 0xFFF.
  static constexpr const char* kDriveHeldCode = "W_F04";

  // The procedure that a job mode, station and [Options] OnlyDoISP select.
  enum class Procedure {
    None, MP, QC, EraseAll, RDT, ZeroMBCheck, ISPOnly, RDTResult, UpdateFW, RMADebug
  };
  static Procedure SelectProcedure(int mode, int station, bool onlyDoIsp);

  // repeatCheck: the page's repeat box (null or false: the single-run path).
  // countLabels: the page's total, good and bad count labels (may be null).
  // resultCode: the port's entry of the page's result-code table.
  // portStates: the page's per-port run states, index slot-1.
  // runSummary: where the page's run summary takes its station and working
  // number, for a Total log the job finds missing. Only a repeat-mode job
  // (the legacy page's) counts its passes into the run logs (WriteSummaryLogs);
  // a job without sources leaves a missing Total log missing.
  CPortJob(int mode, kx::PageLocks* locks, IStatusCell* statusCell, IProgressBar* progress, int driveNumber, int slot,
           const std::atomic<bool>* repeatCheck, std::array<ITextWindow*, 3>* countLabels, std::string logFolder,
           std::string* resultCode, void* clockButton, std::array<std::atomic<int>, kx::kPortCount>* portStates,
           std::optional<kx::RunSummarySources> runSummary = std::nullopt);
  virtual ~CPortJob();
  CPortJob(const CPortJob&) = delete;
  CPortJob& operator=(const CPortJob&) = delete;

  // ---- engine/PortJob.cpp: the job's life and its dispatch ----

  void Run(std::uint32_t param) override;
  // Shows the port idle (state 4), then deletes the job.
  void Abandon() override;
  // Runs the destructor; frees the object as well when bit 0 of flags is set.
  virtual void DeletingDestructor(unsigned flags);

  // ---- the station procedures, one file each (1 pass, 0 fail) ----

  virtual std::uint8_t RunMP();
  virtual std::uint8_t RunQC();
  virtual std::uint8_t RunEraseAll();
  virtual std::uint8_t RunRDT();
  virtual std::uint8_t Run0MBCheck();
  virtual std::uint8_t RunISPOnly();
  virtual std::uint8_t RunRDTResult();
  virtual std::uint8_t RunUpdateFW();
  virtual std::uint8_t RunRMADebug();

  // ---- engine/PortStatus.cpp: the port's status cell and result tables ----

  void SetPortStatus(int state, std::string code, std::string message);
  void AppendStatusTextRed(std::string extra);
  void AppendStatusTextGreen(std::string extra);
  // The common ending of a procedure: status, the volume released when a step
  // left it locked, and the serial number appended to the extra status text.
  void JoinResultFields(bool withSerialText, int state, std::string code, std::string message, std::string extra);

  // ---- engine/RunLogs.cpp: result list, run logs, scan records, log copies ----

  void WriteResultList(int result);
  // CRC-16 (table form, from 0xFFFF, no final complement) over the file's lines
  // that are neither empty nor comments; 1, after a 100 ms pause, when the file
  // cannot be read.
  static std::uint16_t UpdateFileChecksum(const std::string& path);
  // The same over a file's text.
  static std::uint16_t TextChecksum(const std::string& text);
  // A run log found missing (removed during the run) gets its whole header
  // before the pass: the Total log its run summary from m_RunSummary (no
  // sources: it stays missing and the pass is refused there), the Error log
  // its column line. A refused header refuses the pass in that log, noted as
  // the device's write failure like any refused record.
  // pageLock, when given, is the page's lock 0 the caller holds for the counts:
  // it is released before a failure's Error-log entry waits for a second of
  // its own, so that other ports' records do not wait behind it.
  void WriteSummaryLogs(std::uint8_t pass, std::unique_lock<std::mutex>* pageLock = nullptr);
  // Appends one record to Configuration\Temp\#<slot>.bin; false (and a report
  // line) when it could not be written whole.
  bool WriteBlockInfoToFile(const kx::BlockRecord& record);
  bool MakeStationLogName(const std::string& sourcePath, int station);
  void WriteFailSNRecord();
  void WriteSummaryCsv(CPortDevice* device, int result);

  // ---- fields ----

  kx::PageLocks* m_Locks = nullptr;
  std::unique_ptr<CPortDevice> m_Device;
  IStatusCell* m_StatusCell = nullptr;
  IProgressBar* m_Progress = nullptr;
  std::array<ITextWindow*, 3>* m_CountLabels = nullptr;
  std::string m_FailCode;
  std::string m_SlotText;
  std::string m_VersionText;
  std::string m_LogFolder;
  std::string m_TotalLogPath;
  std::string m_ErrorLogPath;
  std::optional<kx::RunSummarySources> m_RunSummary;
  std::string* m_ResultCode = nullptr;
  const std::atomic<bool>* m_RepeatCheck = nullptr;
  void* m_ClockButton = nullptr;
  int m_Slot = 0;
  int m_Mode = 0;
  int m_ShownState = -1;
  int m_DriveNumber = 0;
  // The drive's path, when another program holds it (HoldDrive); empty otherwise.
  std::string m_HeldDrivePath;
  std::array<std::atomic<int>, kx::kPortCount>* m_PortStates = nullptr;
  std::uint8_t m_DevSleep = 0;
  std::uint8_t m_VolumeLocked = 0;
  std::uint8_t m_StopIfFail = 0;
  std::uint8_t m_OnlyDoIsp = 0;
  std::string m_TextBuffer;
  std::string m_StartTime;
  std::string m_EndTime;
  // Platform monotonic milliseconds at the start and end of the procedure.
  std::uint64_t m_StartClock = 0;
  std::uint64_t m_EndClock = 0;
  int m_Station = 0;

 protected:
  // ---- engine/PortJob.cpp ----
  // Builds the device; false when its buffers could not be reserved: the port
  // then shows kUnnamedFailureCode, and no step may run.
  bool BuildDevice(bool withClockButton);
  // The device of a procedure run; without it the failure is also on record
  // (report, Error log, [Port-N Error]).
  bool BuildRunDevice();
  std::uint8_t Dispatch();
  void RunSingle();
  void RunRepeat();
  // One test of an inserted card in repeat mode; false ends the repeat.
  bool RepeatCycle();
  void RunCardCheck();          // mode 6
  void RunWaitRemoveAndNew();   // mode 7
  void RunSnScan();             // mode 8
  void RunWaitRemove();         // mode 9
  // Polls every 500 ms until the card is gone or the card watch ends; the last state.
  int WaitForRemoval();
  // Shows "Testing", sets the progress range and stamps the start.
  void StartTest();
  void StampStart();
  // The device's extra status text appended in red, when it has one.
  void AppendExtraStatus();
  // A pass whose report, serial-number record or result record could not be
  // written (a full disk) becomes a failure: code kRecordLostCode, the message
  // naming the file and the operating-system error, and the file's name with
  // the error appended to the cell. False when every record was written.
  bool FailLostRecords();
  // The ending of every failed procedure: the job's result code is never empty
  // (the device's code, or kUnnamedFailureCode), and the last fail block of the
  // report prints it, so that the failure has its block, its Error-log entry and
  // its [Port-N Error] record. A block is written here only when the procedure's
  // steps left none that prints the result code.
  void RecordFailure();
  // The ending of every passed procedure once its status shows the pass: the
  // full bar, the volume a step locked released, the END line, a 100 ms pause
  // with the bar full, the bar cleared and the result code "0_00". Returns 1.
  // stationLogSource, when given, is the report that is copied into the
  // station's log folder once it has its END line.
  std::uint8_t RecordPass(const std::string* stationLogSource = nullptr);
  bool AllSerialsIn() const;
  // Whether a port of the page still waits for its serial number (run state 1).
  bool AnyPortWaiting() const;
  // Card off, unless a stop-if-fail stop is pending or the send mode keeps power.
  void SwitchCardOffAfterRun();
  // Card off unless the send mode keeps power.
  void SwitchCardOff();
  bool RepeatChecked() const;
  // Holds the page's lock `index`; holds nothing when the job has no locks.
  std::unique_lock<std::mutex> LockPage(int index);
  // The page's run state (index slot-1), the job phase in g_PortState (index
  // slot) and the result in g_PortResult (index slot-1); out-of-range slots and
  // missing tables are ignored.
  void SetPortRunState(int state);
  int PortRunState() const;
  void SetPortPhase(int phase);
  int PortResult() const;
  void SetPortResult(int result);
  void SetProgress(int pos);
  void PaintCell(std::uint32_t textColor, std::uint32_t backColor);
  void ShowCellText(const std::string& text);

  // The job's drive held against the system's probes until `hold` goes
  // (platform::HoldDevice): a run holds it from its first command to its last;
  // no hold when the drive's path is not known. False when another program
  // keeps the drive locked: the job must then send it nothing (FailHeldDrive).
  bool HoldDrive(std::unique_ptr<platform::IDeviceHold>& hold);
  // The procedure's ending for a drive that HoldDrive found held: the report
  // started, the device's code and message set, no command sent. Returns 0.
  std::uint8_t FailHeldDrive();

  // Locks the port's volume for the run and says so in the report. A file
  // system of the drive that would not unmount (files open on it) stays
  // mounted and must not be written under: false, the device's code and
  // message set and its fail report written, and the procedure fails.
  bool LockVolumeForRun();
  // Dismounts the volume a passing run locked; "UN Lock Drive Fail" when it stays locked.
  void UnlockVolumeAfterPass();

  // engine/ProcedureSupport.cpp: the sorting stations' bad-block table, rebuilt
  // from the drive's third-party table (the MP and RDT procedures). False after
  // the failure ending; thirdBbtRead tells whether that table was read. With
  // keepStepMessage a missing table keeps the read's message.
  bool RestoreSortedBbt(bool& thirdBbtRead, bool keepStepMessage);

  // engine/MpProcedure.h: the MP procedure's phases, run over the job.
  friend class CMpRun;
};
