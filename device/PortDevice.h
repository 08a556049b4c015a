// The per-port device object on which every production step works. It carries
// the port's identity, its error code and message, the paths of its report and
// logs, what the steps learn about the drive and the tester, three page-aligned
// I/O buffers, and the CDriveCommand through which every command passes.
//
// Failure convention of every method that can fail: set m_ErrorCode and
// m_ErrorMessage, write the fail report when its `report` argument asks for it,
// return false. A method that succeeds leaves both texts as they were.
//
// Members are grouped by the file that defines the methods and owns the fields;
// a step folder adds its own section. Every field starts initialised.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "command/VolumeUtils.h"
#include "device/LogFile.h"
#include "device/StatusCell.h"
#include "platform/Memory.h"
#include "platform/WinTypes.h"

class CDriveCommand;
namespace kx {
enum class CellPageType : std::uint8_t;  // bringup/SystemInfo.h
struct BbtParameter;                     // protocol/MediaRecords.h
struct RdtInfoRecord;                    // protocol/MediaRecords.h
namespace rdtlog { enum class Log : std::uint8_t; }  // protocol/RdtLogRecords.h
class EraseProgress;                     // media/CeMapErase.h
struct ScanRun;                          // media/BadBlockScan.h
struct ScanGeometry;                     // media/TimingWindow.h
struct ScanReply;                        // media/TimingWindow.h
struct BinLoadOptions;                   // media/BinImage.h
struct BinImage;                         // media/BinImage.h
enum class PramStep : std::uint8_t;      // media/IspRam.h
struct SurfaceTest;                      // drivetests/CopyCompare.h
struct LbaRange;                         // drivetests/CopyCompare.h
class TestPattern;                       // drivetests/CopyCompare.h
class ProgressRun;                       // drivetests/CopyCompare.h
}

class CPortDevice {
 public:
  // ---- device/PortDevice.cpp: construction, identity, buffers, failure, utilities ----

  static constexpr std::size_t kIoBufferASize = 2u * 1024 * 1024;
  static constexpr std::size_t kIoBufferBSize = 2u * 1024 * 1024;
  static constexpr std::size_t kIoBufferCSize = 256u * 1024;
  static constexpr std::size_t kTextCount = 128;

  // Production device of a port job.
  CPortDevice(int driveNo, int runMode, int slot, const std::string& logFolder, IStatusCell* statusCtrl,
              void* ownerData);
  // Tool device for one drive; writes no report.
  CPortDevice(int driveNo, int jobMode, const std::string& detectFwPath, bool keptFlag, bool switchBoard);
  ~CPortDevice();
  CPortDevice(const CPortDevice&) = delete;
  CPortDevice& operator=(const CPortDevice&) = delete;

  // Runs the destructor; frees the object as well when bit 0 of flags is set.
  void DeletingDestructor(unsigned flags);

  // False when a page buffer could not be reserved; m_ErrorMessage then holds
  // "Cannot allocate page memory !" and the device must not run a step.
  bool IsConstructed() const { return m_Constructed; }

  int GetDriveNumber() const { return m_DriveNo; }
  void SetLogPaths(int station);
  void InitBinMark();
  static std::string FormatErrorCode(std::string code);

  static std::uint16_t Sum16(const std::uint8_t* bytes, std::uint32_t length);
  static std::uint32_t Crc32Parallel(const std::uint32_t* words, std::uint32_t count, std::uint32_t seed);
  bool SaveBufferToFile(const std::string& path, const std::uint8_t* bytes, std::uint32_t length);
  bool SaveTextToFile(const std::string& path, const std::string& text);
  static std::string SplitString(const std::string& text, const std::string& separator, int index);
  void ShowPortStatus(const std::string& text, bool numberOnly);

  // Identity of the port and the job.
  std::int32_t m_DriveNo = 0;
  std::int32_t m_RunMode = 0;
  std::int32_t m_Slot = 0;
  std::int32_t m_Station = 0;
  std::uint8_t m_IsProduction = 0;
  std::uint8_t m_SwitchBoard = 0;
  std::uint8_t m_KeptFlag = 0;
  std::string m_PcId;
  IStatusCell* m_StatusCtrl = nullptr;
  void* m_OwnerData = nullptr;

  // Where the port's files go.
  std::string m_LogFolder;
  std::string m_ReportFolder;
  std::string m_CurrentLogFolder;
  std::string m_ErrorLogPath;
  std::string m_TotalLogPath;
  std::string m_RecordSnPath;
  std::string m_BinInfoFolder;
  std::string m_SnSettingPath;
  std::string m_DetectFwPath;

  // Options read when the device is made, and the values the steps start from.
  std::uint8_t m_DevSlpEnable = 0;
  std::uint32_t m_PowerOnDelay = 0;
  std::uint8_t m_StatStandBy = 0;
  std::string m_StatStandByText;
  std::uint8_t m_StatWR = 0;
  // A write/read current reading is owed: the tester I/O check sets it, the
  // station procedure that reads the current for a failed test clears it.
  std::uint8_t m_StatWRPending = 0;
  std::string m_StatWRText;
  std::string m_BootVersion;
  std::string m_McodeVersion;
  std::array<std::uint8_t, 4> m_BinMark{};
  std::uint32_t m_AutoCapacitySize = 0;
  std::uint8_t m_StatusExtraFlag = 0;

  // The last failure.
  std::string m_ErrorCode;
  std::string m_ErrorMessage;

  // Buffers. The three I/O buffers are page-aligned; m_IoBuffer* point into
  // the regions m_IoBase* own (null when the region could not be reserved).
  std::uint8_t* m_IoBufferA = nullptr;
  std::uint8_t* m_IoBufferB = nullptr;
  std::uint8_t* m_IoBufferC = nullptr;
  platform::PageBuffer m_IoBaseA;
  platform::PageBuffer m_IoBaseB;
  platform::PageBuffer m_IoBaseC;
  std::vector<std::uint8_t> m_RegBuffer;  // 1024 bytes for a production device, 512 for a tool device
  std::array<std::uint8_t, 2048> m_PageBuffer{};
  std::array<std::uint8_t, 512> m_InfoBlockRead{};
  std::array<std::uint8_t, 512> m_InfoBlockBuilt{};
  std::array<std::string, kTextCount> m_TextTable;
  std::array<std::string, kTextCount> m_TextArray;
  std::vector<std::uint8_t> m_BbtBuffer;

  std::unique_ptr<CDriveCommand> m_Command;
  // The port's volume while a step holds it locked or its layout deleted.
  CPortVolume m_Volume;
  CLogFile m_LogFile;

  // ---- device/Report.cpp: port report, fail block, temporary report, current logs ----

  void WriteReport(const std::string& line, bool plain);
  void WriteTempReport(const std::string& line, bool plain, const std::string& fileName);
  void WriteFailReport();
  // The printed code of the last fail block this device wrote; empty before the
  // first. The job compares it with its result code at a failed ending.
  std::string m_FailBlockCode;
  void WriteCurrentLog(const std::string& line, int kind);
  std::string ReportPath() const;
  // Fail_Log\<serial number>(fail)_<slot>.txt, replaced by each failure of that
  // drive. Without a serial number "(fail)_<slot>.txt": a failure's copy then
  // takes the first free name of that form (WriteFailReport), never an earlier one's.
  std::string FailCopyPath() const;
  // The name the report's copy took without a serial number; START clears it.
  std::string m_FailCopyTaken;
  // A record or report write that failed: named on the debug output (and
  // standard error) the first time each file fails; the first one of the run
  // is kept, so that the job does not show a pass whose records are missing.
  // A folder lock refused (ERROR_LOCK_FAILED) is told with why, above all
  // whether another process keeps the folder.
  void NoteWriteFailure(const std::string& path, std::uint32_t osError);
  bool HasWriteFailure() const { return m_WriteFailError != 0; }
  // "OS LastError <n>" of the failure kept, with why for a folder lock refused.
  std::string WriteFailureError() const;
  std::string m_WriteFailPath;
  std::uint32_t m_WriteFailError = 0;
  std::string m_WriteFailReason;  // why the folder's lock was refused, for ERROR_LOCK_FAILED
  std::set<std::string> m_AnnouncedWriteFailures;

  // START clears it; END and the fail block record it.
  std::string m_SerialNumber;
  std::string m_LastReportPath;
  // What the fail block prints of the last command.
  std::array<std::uint8_t, 16> m_LastApCommand{};
  std::uint32_t m_OsLastError = 0;
  // The fail block trims it and, from tester firmware 3.03 on, prints the tester's link generations.
  std::string m_TesterFwVersion;
  // Text that opens the object; the fail report empties it.
  std::string m_LeadText;

  // ---- device/SettingsDump.cpp: the settings copied into the report ----

  void WriteSettingsReport();

  // ---- device/InfoDump.cpp: info block and SMART id table dumps ----

  void WriteInfoBlockReport(const std::uint8_t* block);
  std::string WriteSmartIdReport(const std::uint8_t* table);

  // ---- device/CardOps.cpp: tester power, card state, access key, supply and current ----

  bool SetApKeyWithRetry(bool checkEnabled, int retryDelayMs);
  bool PowerResetCard(bool report);
  bool PowerResetTester(bool report, bool disableDevSleep);
  bool ResetCardAndTester(bool report, int unused, bool devSleep);
  bool SwitchCardPower(int mode, bool report, int voltage, bool devSleep);
  int DetectCard(unsigned tries);
  int WaitCardReady(std::uint8_t& state, double timeoutSec);
  bool PollDeviceStatus(unsigned timeoutSec);
  bool SwitchCardPowerNoTest(int on, bool report, int voltage, bool devSleep);
  bool PowerResetCardAndWait(bool report);
  bool WaitCardExist();
  bool GetCardState(std::uint8_t& state, std::uint32_t& status, bool setError);

  bool CheckPowerGroundShort();
  bool ReadCardCurrent(double& milliamperes);
  bool ReadMaxCurrent(double& milliamperes, int unused = 0);
  bool ClearCurrentBuffer();
  bool AdjustCardVoltage(int level);

  std::int32_t m_TesterKind = 0;
  std::int32_t m_TesterOutputVoltage = 0;
  // The last card-detect reply; the fail block prints its ATA registers.
  std::array<std::uint8_t, 16> m_CardReply{};
  // Timing of the last wait for the card.
  double m_ElapsedSec = 0.0;
  std::int32_t m_ClockStart = 0;
  std::int32_t m_ClockNow = 0;

  // ---- bringup/FlashIdentity.cpp: flash IDs, the scan-all flash-ID table, CE map check, unique IDs ----

  bool VerifyFlashIdWithParam(bool compareWithParam, bool skipMaskCompare);
  bool CheckFlashId();
  bool CheckFlashIdCeMap(bool readInfoBlock, bool compareWithParam, bool useSystemCount);
  // Copies the scanned 512-byte table to `table`; sets no error of its own.
  bool ReadFlashIdTable(std::uint8_t* table);
  bool ReadAllUniqueIds();
  // One 512-byte unique-ID sector of the CE into m_IoBufferA; sends nothing
  // unless a toggle flag of the system information is set.
  bool ReadUniqueId(std::uint8_t ce, std::uint16_t address);
  void PrintFlashIdTable();
  // The system information's flash count against [Flash Info] Flh_Number; fail report written.
  bool CheckFlashCount();

  // The drive's reference flash ID, one value per ID byte.
  std::array<std::uint32_t, 7> m_ExpectedFlashId{};
  std::string m_FlashIdText;
  std::uint8_t m_FlashMakerCode = 0;
  std::uint8_t m_FlashDeviceCode = 0;
  // The reference ID matched a built-in pattern whose device code is normalised.
  std::uint8_t m_FlashIdNormalized = 0;
  std::array<std::uint8_t, 512> m_ScanAllFlashIdTable{};
  // "%02x %02x %02x %02x %02x %02x %02x" of each flash number.
  std::array<std::string, 64> m_PerFlashIdText;

  // ---- bringup/SystemInfo.cpp: system information check ----

  // GetSystemInfo and its decoding into the fields below; a controller error on
  // a CE of m_CeMap fails it. Sets code and message; writes no fail report.
  bool CheckSystemInfo();

  // The record's fields; a failed check leaves them as they were, except the
  // error ID and info (and m_FlashCount under dynamic CE), which every check sets.
  // Counts read as 0 are kept as 1 (the steps divide by them).
  std::uint32_t m_ChannelCount = 0;
  std::uint32_t m_DdrSizeMB = 0;  // 1 << byte 3, saturated
  std::uint32_t m_DiePerFlash = 0;
  std::uint32_t m_SysInfo10 = 0;
  std::uint32_t m_MaxBlockPerCe = 0;
  std::uint32_t m_TotalBlocks = 0;  // m_MaxBlockPerCe x m_FlashCount, saturated
  std::uint32_t m_SysInfo28 = 0;
  std::uint32_t m_DashVersion = 0;
  std::uint32_t m_SysInfoCC = 0;
  std::uint32_t m_BlocksPerPlane = 0;
  bool m_CapacityNoRound = false;
  std::uint32_t m_SecondCapacity = 0;  // MB
  bool m_FourPlane = false;
  std::uint32_t m_PlaneCount = 1;  // 1, 2 or 4
  bool m_Page2K = false;
  bool m_Page4K = false;
  bool m_Page8K = false;
  bool m_Page16K = false;
  // Cell family (at most one is set) and the cell-and-page type.
  bool m_IsSlcFlash = false;
  bool m_IsMlcFlash = false;
  bool m_IsTlcFlash = false;
  kx::CellPageType m_CellPageType{};
  bool m_FlashNotSupported = false;
  bool m_DpsTableFlag = false;
  std::uint32_t m_ErrorInfo = 0;  // failing CEs (bit n = CE n) or a DRAM sub-code
  std::uint32_t m_ErrorID = 0;    // 0: no controller error
  bool m_SysInfoFlag136 = false;
  std::uint32_t m_SysInfo138 = 0;
  // CEs in use when m_CeMask64Enable is not 0: bit n of the 64-bit mask is CE n.
  std::uint32_t m_CeMask64Low = 0;
  std::uint32_t m_CeMask64High = 0;
  std::uint32_t m_CeMask64Enable = 0;
  // Firmware version (four characters, in print order) and build date (nine).
  std::string m_FwVersion;
  std::string m_FwBuildDate;
  std::uint32_t m_SysInfo169 = 0;
  std::uint32_t m_RDT_Loops = 0;
  std::uint32_t m_RDTFastPageLoops = 0;
  std::uint32_t m_RdtTotalLoops = 0;
  std::uint32_t m_SysInfo1D0 = 0;
  // Toggle-mode flash kinds.
  bool m_ToggleFlagA = false;
  bool m_ToggleFlagB = false;
  bool m_ToggleFlagAEx = false;

  // ---- bringup/IdentifyChecks.cpp: identify checks and tester information ----

  // IDENTIFY DEVICE: the serial-number reading (readSerialNumber) or the device
  // figures. Sets code and message on failure; the caller writes the fail report.
  bool CheckIdentify(bool readSerialNumber);
  // IDENTIFY DEVICE (identify) or the controller's firmware-name read into the
  // caller's 512 bytes (zero-filled before the command).
  bool IssueIdentify(std::uint8_t* buffer512, bool identify);
  // Reads the tester page (fail report on failure), keeps kind and firmware
  // version; false without a code for firmware older than the kind's minimum.
  bool CheckTesterFwVersion(bool skipVersionCheck);
  // "%d.%02x" of the tester firmware ("0.00" when unanswered); sets m_TesterName.
  std::string GetTesterFwVersion();
  bool ReadTesterInfo();
  // Tester and card power reset, ready wait, access key and the device figures,
  // timed; every failure writes the fail report.
  bool PowerCycleDevice(bool devSleep);

  std::string m_SerialNumBase;
  // Firmware revision (IDENTIFY words 23-26) or the running code's name.
  std::string m_FwRevision;
  std::uint32_t m_DeviceCapacitySectors = 0;
  std::uint32_t m_DeviceCapacityMB = 0;
  std::int32_t m_SataGen = 0;
  std::uint8_t m_DevSleepEnabled = 0;
  std::uint8_t m_DevSleepSupported = 0;
  std::string m_TesterName;
  std::int32_t m_TesterUsbGen = 0;

  // ---- bringup/RunningCode.cpp: firmware name and running-code identity ----

  // The firmware name the MP firmware gives a drive (parameter file or file
  // name); empty, after a report line, when none can be made.
  std::string GetFirmwareNameFromBin(const std::string& binPath);
  // Quiet running-code check of the flash ID dialog: sets the message only.
  bool CheckFirmwareIdentity(int mode, const std::string& expectedName, std::uint8_t* buffer512);
  void BuildMpVersionBytes(std::uint8_t* out5);
  bool IsRunningFlashCode();
  // Running-code check: sets m_BootMode, mCodeMode, m_ROMMode and m_RdtFwFlag
  // (RDT firmware from flash), then demands by mode: 0 boot code, 1 mCode, 2
  // flash code, 3 and 4 any (an unknown name counts as flash code); flag compares the firmware name
  // with the parameter file's. The buffer, when given, receives IDENTIFY data
  // while MP firmware runs from flash.
  bool ChkRC(int mode, std::uint8_t flag, bool writeFailReport, const std::string& expectedName,
             std::uint8_t* buffer512);

  // Set by ChkRC for a production device whose firmware name has 'U' third.
  std::uint8_t m_UltraMlc = 0;

  // ---- bringup/Efuse.cpp: eFuse and controller version checks ----

  bool CheckIcVersion();
  // Mode 1 checks the UART and JTAG state; any other mode reads and checks the die identity.
  bool CheckEfuse(int mode, bool quiet, bool uartMustBeDisabled, bool jtagMustBeDisabled);
  bool CutEfuse(bool cutUart, bool cutJtag, bool cutAes);

  // Controller family flags; CheckIcVersion sets them afresh on every call.
  std::uint8_t m_bKX7410 = 0;
  std::uint8_t m_bQM6620 = 0;
  std::uint8_t m_bIcFamily2 = 0;
  // Die identity from the fuse words (CheckEfuse's identity check).
  std::uint32_t m_EfuseTrimGoodDie = 0;
  std::uint32_t m_EfuseY = 0;
  std::uint32_t m_EfuseX = 0;
  std::uint32_t m_EfuseWaferId = 0;
  std::uint32_t m_EfuseLotId4 = 0;
  std::uint32_t m_EfuseLotId3 = 0;
  std::uint32_t m_EfuseLotId2 = 0;
  std::uint32_t m_EfuseLotId1 = 0;

  // ---- bringup/InfoPages.cpp: info-block pages, good-card mark, ISP-code erase and info-code update ----

  // Reads the info block into m_InfoBlockRead and keeps its good-card mark,
  // masked by station, for WriteGoodCardMark.
  bool IssueReadInfoPage();
  // Checks the drive's block (CheckInfoBlock without capacity), adds the
  // stage's bits (1..4) and the kept mark to its byte 511 and writes it back.
  bool WriteGoodCardMark(int stage);
  // Whether m_InfoBlockRead's mark has every demanded stage (and, at the QC
  // station, no UpLoad or RMA mark the parameter file does not allow); sets
  // code and message, writes no fail report.
  bool CheckGoodCardMark(bool needsPreTestInit, bool needsQc, bool needsBurnIn, bool needsPcBurnIn);
  // One 512-byte page to or from the drive; page 3, which moves more, is refused.
  bool ReadWriteInfoBlock(std::uint8_t* buffer512, bool write, std::uint8_t page);
  // The info block into m_InfoBlockRead (zeros when the read fails).
  bool GetInfoBlock();
  // GetInfoBlock's read, then SMART READ DATA into the caller's buffer.
  bool ReadSmartData(std::uint8_t* buffer512);
  // The SMART entry page into the caller's buffer.
  bool ReadSmartEntry(std::uint8_t* buffer512);
  // Creates or truncates the file and writes the bytes; false when that fails.
  bool DumpBufferToFile(const std::uint8_t* buffer, std::uint32_t length, const std::string& path);
  bool EraseISPCode();
  // Stamps the vendor mark, the firmware name and the date into the drive's
  // info-code sector; the sector as sent stays in m_InfoBlockBuilt.
  bool UpdateInfoCode();

  std::uint32_t m_SavedGoodCardMark = 0;

  // ---- bringup/Capacity.cpp: capacity selection ----
  // Capacity in GB the drive can be given from its flash and the settings; 0 = none.
  std::int32_t SelectCapacity();
  // Tolerated bad-block percentage (0..255) for a capacity in GB; 0 when a list is empty.
  std::int32_t GetAutoCapacityMaxBadPercent(std::uint32_t capacityGb);
  // Capacity in GB that the last bad-block scan chose by auto capacity; 0 = none.
  std::uint32_t GetAutoCapacitySize() const;

  // ---- bringup/FlashClock.cpp: flash clock and interface levels ----
  // Flash clock level for the RDT firmware (rdt != 0) or the MP firmware (rdt == 0).
  std::int32_t SelectFlashClock(std::uint8_t rdt);
  // Flash interface value 1..5; the argument does not affect the result.
  std::int32_t SelectFlashInterface(std::uint8_t rdt);

  // ---- bringup/SerialNumber.cpp: the serial-number source ----

  // The next serial number of the serial-number settings (bringup/SerialNumber.h)
  // into m_SerialNumber, m_SerialNumBase and m_ConfiguredSerialNumber; the
  // advanced counter is stored first. Code and message on failure, no fail report.
  bool TakeSerialNumber();

  // The serial number the settings gave this drive, for the run logs; empty
  // until TakeSerialNumber gives one.
  std::string m_ConfiguredSerialNumber;

  // ---- bringup/InfoBlock.cpp: building and checking the info block ----

  // Builds m_InfoBlockBuilt from the settings. The serial number: the drive's
  // own with keepDeviceInfo (from m_InfoBlockRead, with model and firmware
  // name), a new one with takeNewSerial or when m_SerialNumBase is empty, else
  // m_SerialNumBase. With useRdtInfo, 64 bytes of RDT information beginning
  // "KXRT" become the temperature log, else it is cleared. Fail report on failure.
  bool BuildInfoBlock(bool takeNewSerial, bool keepDeviceInfo, const std::uint8_t* rdtInfo64, bool useRdtInfo);
  // The drive's info block against m_InfoBlockBuilt (a matching block becomes
  // m_InfoBlockRead) and, unless skipCapacity, the drive's logical size
  // against the block's. Code ('x' form) and message
  // on failure; the fail report only when the capacity was checked too (with
  // skipCapacity the caller adds its family letter and writes it).
  bool CheckInfoBlock(bool skipCapacity);

  // ---- bringup/DeviceChecks.cpp: I/O state, flash number and parameter checks ----

  // The tester's I/O state, timed: tester reset, tester page (m_TesterKind,
  // m_TesterOutputVoltage), short test, power-on and drive detection, access
  // key, identify (mode 4, the QC mode: the serial number; else the drive's
  // figures). A called step's code gets 'A' for 'x'; "P_A01" means no drive.
  // Every failure writes the fail report.
  bool CheckIoState(int mode);
  // GetFlashID of every flash number; the flash devices found become
  // m_FlashCount and, with compareWithParam, must equal [Flash Info]
  // Flh_Number. The other arguments have no effect. No fail report.
  bool CheckFlashNumber(int unused1, int unused2, int compareWithParam, int unused4);
  // The parameter files against the drive (flash IDs, CE map and count through
  // CheckFlashIdCeMap; maker, type, capacity, DRAM size, SATA speed; the dash
  // version in mode 4); sets m_PhysicalSize. readInfoBlock first reads the info
  // block and, in mode 4, checks its good-card mark and records it. rdtInfo64,
  // when given, receives the RDT information. Every failure writes the fail report.
  bool VerifyParamWithDevice(int mode, bool readInfoBlock, std::uint8_t* rdtInfo64);

  // ---- bringup/PreFormat.cpp: pre-format ----

  // Sends the pre-format parameters (CE map, keep-RDT-info), then
  // m_InfoBlockBuilt with the drive's SMART table, which starts the pre-format
  // for the MP (first != 0) or the RDT firmware; waits for the drive (status
  // polling or card state) and reads the result. A controller-reported
  // failure is "F_H07" with its fail address, and leaves its kind in
  // m_PreFormatResultKind (bringup/PreFormat.h). Fail report on every failure.
  bool PreFormat(int first, IProgressBar* progress, int progressSpan, bool keepRdtInfo, bool polling,
                 std::uint16_t ceMap);

  // ---- media/BootJumps.cpp: boot-code jumps and register access ----

  // Each takes the access key itself; the read leaves the register's value in
  // bytes 4 to 7 of m_RegBuffer. Neither writes the fail report.
  bool WriteReg4(std::uint32_t address, std::uint32_t value, std::uint8_t width);
  bool ReadReg4(std::uint32_t address, std::uint8_t width);
  // Starts the code just loaded (or the boot code, after ForceToBootCode's switch)
  // and waits for the card; writes no fail report.
  bool JumpToBoot(std::uint32_t delayMs);
  bool ForceToBootCode();

  // ---- media/CeMapErase.cpp: CE map selection and erase-all blocks ----

  // Chooses the CE map from the device's and the UI's, sets m_CeMap and (for a
  // non-zero map) m_FlashCount, and hands it to the controller. Sets no error of
  // its own and writes no fail report.
  bool SelectCeMap(std::uint16_t uiCeMap, bool compare);
  // Erases every block in the erase mode `eraseType` (bit 0x10 builds the
  // bad-block table), following the card state under a size-dependent limit;
  // moves `progress` (may be null) by at most `progressSpan`. Every failure
  // writes the fail report. `keepRunningCode` has no effect.
  bool EraseAllBlocks(std::uint8_t eraseType, bool keepRunningCode, IProgressBar* progress, int progressSpan,
                      bool polling);

  // ---- media/BbtTable.cpp: bad-block tables, RDT information and debug information on the drive ----

  // The parameter record, then the table body into m_BbtBuffer (released first,
  // and on every failure); with checksumOut, the CRC-16 of the covered bytes.
  bool ReadBbt(kx::BbtParameter* out, std::uint16_t* checksumOut);
  // False without a message when the record lacks "DBTP".
  bool FindBbtParameter(kx::BbtParameter* out);
  // False without a message when the record lacks "KXRT".
  bool ReadRdtInfo(kx::RdtInfoRecord* out, std::uint16_t* checksumOut);
  // Writes param->BbtSectors() x 512 bytes of `bbt` in page units, then the RDT
  // info sector (info, when given, is updated in place).
  bool WriteBbt(const std::uint8_t* bbt, kx::RdtInfoRecord* info, const kx::BbtParameter* param,
                std::uint16_t* checksumOut, std::uint8_t buildFlags);
  // Reads every CE's 3rd BBT into m_Bbt3rd and merges its bad blocks into `bbt`
  // (param->BbtSectors() x 512 bytes) as early bad; *bytesOut = m_Bbt3rd's size.
  bool Read3rdBbt(std::uint8_t* bbt, const kx::BbtParameter* param, std::uint32_t* bytesOut);
  // Builds every CE's 3rd BBT from m_BbtBuffer and writes it.
  bool Write3rdBbt(const kx::BbtParameter* param);
  // `sectors` logical 3rd-BBT sectors; the drive keeps each with its complement.
  bool Read3rdBbtRaw(std::uint8_t* out, std::uint32_t sectors, std::uint8_t selector);
  bool Write3rdBbtRaw(const std::uint8_t* in, std::uint32_t sectors, std::uint8_t selector);
  bool ReadDebugInfo(std::uint8_t* out, std::uint32_t sectors, std::uint8_t selector);
  // Release the table buffers the device holds.
  void ReleaseBbt();
  void ReleaseBbt3rd();
  void ReleaseBlockTable();

  // The 3rd BBT image of the last Read3rdBbt: 16 CEs of equal size.
  std::vector<std::uint8_t> m_Bbt3rd;
  // Whether the bad-block scan keeps its per-block table, and that table:
  // m_FlashCount rows of m_MaxBlockPerCe entries.
  std::uint8_t m_KeepBlockTable = 0;
  std::vector<std::vector<std::uint32_t>> m_BlockTable;

  // ---- media/BbtCount.cpp: bad-block table decoding and counting ----

  // The walkers of media/BbtCount.h over m_BbtBuffer (ParseBadBlockList over the
  // table given) with the device's channels, dies, CE map and 64-bit CE mask.
  using BbtPlaneCounts = std::array<std::array<std::array<std::uint32_t, 4>, 16>, 64>;
  using BbtBlockList = std::array<std::uint16_t, 32768>;
  void CountBadBlocksPerPlane(BbtPlaneCounts& counts, std::uint32_t ceCount, const kx::BbtParameter& param,
                              std::uint32_t kinds, std::uint8_t cause) const;
  // Early bad, RDT bad, later bad, good.
  void CountBadBlocksByKind(std::array<std::uint32_t, 4>& counts, std::uint32_t ceCount,
                            const kx::BbtParameter& param) const;
  std::uint32_t CountBbtBlocks(std::uint32_t ceCount, int ce, const kx::BbtParameter& param, std::uint8_t mask,
                               std::uint8_t exclude) const;
  void ListBadBlocks(BbtBlockList& list, std::uint32_t ce, std::uint32_t die, const kx::BbtParameter& param,
                     std::uint32_t kinds, std::uint8_t cause) const;
  // Returns how many blocks were listed.
  std::uint32_t ListBadBlocksOfDie(BbtBlockList& list, std::uint32_t ce, std::uint32_t die,
                                   const kx::BbtParameter& param, std::uint8_t mask, std::uint8_t sub) const;
  std::uint8_t IsBlockMarkedBad(std::uint32_t block, std::uint32_t ce, std::uint32_t die,
                                const kx::BbtParameter& param) const;
  void ParseBadBlockList(std::uint8_t* bbt, std::size_t bbtSize, const std::string& text, std::uint8_t ce,
                         std::uint8_t die, const kx::BbtParameter& param, std::uint8_t flagsA,
                         std::uint8_t flagsB) const;
  // Bytes of the table: the record's sectors, or (param null) the geometry's rounded up to a page unit.
  std::uint32_t GetUnitSize(const kx::BbtParameter* param) const;

  // ---- media/BadBlockFile.cpp: bad-block list file and bad-block map check ----

  // A table must be present (param given with the table in m_BbtBuffer, else
  // read from the drive) and block 0 of the first CE below 8 in use must not be
  // early bad ("F_T34", fail report); a failed flash-ID scan is "I_x07" unreported.
  bool CheckBadBlockMap(const kx::BbtParameter* param);
  // Writes the list file of m_BbtBuffer; "A_x08" and a message box when the file cannot be written.
  bool SaveBadBlockFile(const std::string& path, std::uint32_t ceCount, const kx::BbtParameter& param,
                        const kx::RdtInfoRecord& info);
  // The readers never fail: a missing or malformed file leaves table and records as they were.
  bool LoadBadBlockFile(const std::string& path, std::uint8_t* bbt, std::size_t bbtSize,
                        const kx::BbtParameter& param);
  bool LoadRdtInfoRaw(const std::string& path, kx::RdtInfoRecord& out);
  bool LoadBbtParameterRaw(const std::string& path, kx::BbtParameter& out);

  // ---- media/RdtProgress.cpp: RDT progress line and over-bad CE mask ----

  // The same type as kx::BlockRecord (device/BlockRecord.h).
  using RdtScanRecord = std::array<std::uint8_t, 229392>;
  // The cell's RDT line from the drive's table (source 0; read, counted and
  // released here) or a saved record; flags 1 per-CE, 2 P/E/R sums, 4 P/E/R
  // pairs, 8 firmware pieces. Empty for a missing record or info.
  std::string FormatRdtProgress(std::uint8_t flags, std::uint8_t source, const RdtScanRecord* record,
                                const kx::RdtInfoRecord* info);
  // True, with *mask set, when the port's saved RDT record has a CE over half
  // of one plane's blocks; false otherwise, setting nothing.
  bool GetOverBadCeMask(std::uint16_t* mask);

  // ---- media/BinImage.cpp: firmware image files ----

  // kx::CheckBinFrame with the device's marks (records the inner bytes).
  bool CheckBinMark(const std::uint8_t* buffer, std::uint32_t length, std::uint32_t expectedLength);
  // Sets "S_x06" and the message on failure; writes no report. Keeps the code
  // sizes and the RDT flag below. An image under 512 bytes has no 55 AA.
  bool BINHeaderCheck(const std::uint8_t* image, std::uint32_t imageLength, int codeKind, bool requireRdt);
  // Reads, unframes, untransforms and picks the image into m_IoBufferA, then
  // checks its header and its layout for options.use. On failure the code
  // carries options.family for 'x' ("S_C01", "S_C04", "S_C06"), the message is
  // set, and no fail report is written: the caller writes it.
  bool LoadBinImage(const kx::BinLoadOptions& options, kx::BinImage& image);

  // Of the last header examined.
  std::uint32_t m_PramCodeSize = 0;
  std::uint32_t m_NormalCodeSize = 0;
  std::uint8_t m_BinIsRdt = 0;

  // ---- media/FlashTypes.cpp: flash-type table ----

  // Plain constant data (media/FlashTypes.h); no device members.

  // ---- media/BinType.cpp: bin-type check ----

  // 1 when the flash-maker parameter file's BIN type (RDT when rdt is not 0,
  // else MP) equals the flash-type table's for its file name; 0 after the
  // report line "INIBintype=%s, TableBintype=%s". Sets no error code.
  std::uint8_t CheckBinType(std::uint8_t rdt);
  // The MP BIN type of the first FlashInfo.ini record whose Flh_ID equals
  // flashIdText without regard to case; empty for none.
  std::string LookupMpBinType(const std::string& flashIdText);

  // ---- media/IspRam.cpp: in-system programming of controller RAM ----

  // The MP image (with useRdtImage the RDT image, which must carry "RDT") into
  // controller RAM, started and checked: seed, sections in 64 KiB chunks, CRC
  // verdicts, jump, mCode check, ICode, system information; timed. `name` is
  // not used (the callers pass an empty one). A called operation's code gets
  // 'C' for 'x'; every failure writes the fail report.
  bool IspProgramPram(bool useRdtImage, const std::string& name = std::string());

  // ---- media/DetectLoad.cpp: firmware load for the settings page's detect ----

  // The settings page's detect: in tester-direct mode with powerCycle a power
  // cycle, tester page and access key; the running-code check against
  // firmwareName; the MP image of m_DetectFwPath into RAM when the drive runs
  // boot code or (at the RDT and MP stations) flash code; then the card
  // information. Failures go to message boxes; only the tester steps, the
  // forced return and the system information write the fail report.
  bool LoadPramAndGetCardInfo(bool powerCycle, bool devSleep, const std::string& firmwareName, bool selectByFlash);
  // IspProgramPram for the detect: binPath only, one attempt, no code sum, the
  // MP image of Flh_MPBinType or (selectByFlash) of the drive's flash ID, a
  // fixed 5 s after the jump, no timing. Never writes the fail report.
  bool IspProgramPramForDetect(const std::string& binPath, bool selectByFlash);

  // Set by the settings page before a detect: a drive on flash code is neither
  // forced back to boot code nor loaded.
  std::uint8_t m_SkipForceToBoot = 0;

  // ---- media/IspFlash.cpp: in-system programming of flash and its verification ----

  // The MP image (rdtImage: the RDT image, which must carry "RDT") into flash:
  // seed and normal code in 64 KiB chunks, program with a 30 s ready wait, read
  // back and compare, jump and check that the flash code runs (left out with
  // skipRunningCodeCheck). A non-empty binType replaces the parameter file's.
  // A called operation's code gets 'F' for 'x'; every failure writes the fail
  // report, a compare failure also the two ISPVerify dumps. Timed.
  bool IspProgramFlash(bool rdtImage, bool skipRunningCodeCheck, const std::string& binType);
  // The MP image's seed, then the same read-back comparison against the code
  // on flash; nothing is programmed. Failures as IspProgramFlash's. Timed.
  bool VerifyFlashCode();

  // ---- media/MicroCode.cpp: firmware download by microcode ----

  // The MP image (in a container the last entry of the BIN type) through
  // DOWNLOAD MICROCODE in 128-sector pieces, then in tester-direct mode a power
  // cycle that starts it. Every failure writes the fail report. Timed.
  bool DownloadMicroCode();

  // ---- media/BadBlockScan.cpp: bad-block scan: settings, checks, read-out report, verdict and auto capacity ----

  // Judges the flash by the bad blocks of the drive's table, read afresh:
  // scanMode counts early bad blocks against the controller's per-plane limit
  // and may choose an auto capacity (m_AutoCapacitySize); read-out mode counts
  // early and later bad blocks by cause and writes the read-out report
  // (showAddresses forces the address listings, with withDriveInfo the drive
  // information). kindFilter has no effect: both kinds are always counted.
  // `record`, when given, receives the scan record. Fail report on every
  // failure except a failed IDENTIFY ("I_x06") or access key of the read-out.
  bool ScanBadBlocks(bool scanMode, int kindFilter, IProgressBar* progress, int progressSpan, bool showAddresses,
                     RdtScanRecord* record, bool withDriveInfo);

  // ",early/later" per CE of the last scan (",early/NA" in scan mode), and the
  // read-out's sums over the CEs.
  std::string m_BadCountText;
  std::uint32_t m_EarlyBadTotal = 0;
  std::uint32_t m_LaterBadTotal = 0;

  // ---- media/TimingWindow.cpp: flash interface timing-window scan ----

  // Measures the flash timing window per duty, bank and die; keeps the chosen
  // duty of each channel, the offsets of their window centres, four system
  // information bytes and the summary (m_ExtraResultText). Every failure after
  // the system-information check writes the fail report, but those of the
  // access key before a command.
  bool ScanWindow();
  // Mode 0 writes `value`, mode 1 reads the register into bytes 4-7 of
  // m_RegBuffer, any other mode does nothing. A failed command is "I_x33" with
  // the fail report; a failed access key is not reported.
  bool AccessRegister(int mode, std::uint32_t address, std::uint32_t value, std::uint8_t width);
  // System information bytes 244, 245, 328 and 329 into the fields below; no fail report.
  bool ReadSystemInfoBytes();

  // CH0 and CH1: chosen duty value, centre offsets in 16-bit sign and magnitude.
  std::array<std::uint32_t, 2> m_WindowDuty{};
  std::array<std::uint32_t, 2> m_ReadWindowOffset{};
  std::array<std::uint32_t, 2> m_WriteWindowOffset{};
  std::uint32_t m_SysInfo244 = 0;
  std::uint32_t m_SysInfo245 = 0;
  // Populated-bank bitmaps of CH0 and CH1 (system information 328, 329).
  std::uint32_t m_Mapping0 = 0;
  std::uint32_t m_Mapping1 = 0;
  // Seed of the scan's random data; 0 seeds from the clock and the slot.
  std::uint32_t m_ScanRandomSeed = 0;
  // Working tables, cleared by each scan: 4 edges per die (16 duties x 512),
  // window centres by duty and channel, failed duties, FailCE by channel and bank.
  std::vector<std::uint32_t> m_WindowEdges;
  std::array<std::array<std::uint32_t, 4>, 16> m_WindowReadCentre{};
  std::array<std::array<std::uint32_t, 4>, 16> m_WindowWriteCentre{};
  std::array<std::uint8_t, 16> m_WindowFailedDuty{};
  std::array<std::array<std::uint8_t, 8>, 2> m_WindowFailCe{};

  // ---- drivetests/RdtLog.cpp: RDT log read-out and judgement ----

  // "Read RDT Log": the system information (m_PhysicalSize), the RDT info record
  // and the RDT logs, judged by the limits of drivetests/RdtLog.h; the summary
  // goes to the port report, every log entry as well with `detail`, and both to
  // the drive's RDT result file in the log folder's RDT folder (with `saveLog`
  // the raw logs beside it). onlyDram skips the flash logs, [RDT] only_do_Flash
  // the DRAM log. rdtInfo64 and record, when given, receive the RDT info record
  // and the saved RDT block record. reportOnly (not 0): a failure writes no fail
  // report. The ninth argument has no effect.
  bool ReadRdtLog(bool saveLog, bool detail, IProgressBar* progress, int progressSpan, bool onlyDram, int reportOnly,
                  std::uint8_t* rdtInfo64, RdtScanRecord* record, int ninth);

  // The RDT's own verdict (kx::rdtrun) and run time in seconds, from the last read-out.
  std::uint8_t m_RdtResultCode = 0;
  std::int32_t m_RdtTime = 0;

  // ---- drivetests/DramTest.cpp: DRAM test ----

  // The DRAM size of the system information against [Options] DDRSize
  // ("D_S01"), then the stamped pattern DMA-written to every DRAM address,
  // read back and compared ("D_S02"); moves `progress` by at most
  // progressSpan. The third argument has no effect. Fail report on failure.
  bool TestSdrByDma(IProgressBar* progress, int progressSpan, int unused);

  // ---- drivetests/CopyCompare.cpp: copy-compare tests and write-read burn-in ----

  // The stamped pattern written over three areas of the drive, read back,
  // compared and cleared, by 48-bit DMA or PIO commands; `progress` moves to
  // endPosition. "F_K11" write or clear, "F_K12" read, "F_K13" compare (a
  // report line tells why the sector differs). Fail report on failure.
  bool CopyCompareTestDma(IProgressBar* progress, int endPosition);
  bool CopyCompareTestPio(IProgressBar* progress, int endPosition);
  // `loops` times over `amount` percent of the drive (byCapacity 0) or
  // `amount` GB from LBA 0: write, read and compare, clear; codes as the
  // copy-compare tests, "F_K17" for an amount that covers no sector.
  bool WriteReadBurnIn(IProgressBar* progress, int endPosition, float amount, int byCapacity, int loops);

  // ---- drivetests/DriveChecks.cpp: thermal sensor, device sleep, SMART, security erase, standby, current ----

  // Each writes the fail report on failure; limits in drivetests/DriveChecks.h.
  // SMART temperature within limits ("M_x28" read, "M_S05" range).
  bool CheckThermalSensor();
  // Needs DEVSLP_Control and a kind-4 tester ("P_W19"); up to 10 tries of
  // feature on ("T_W10"), line asserted ("T_W11"), the card silent, line
  // released, card ready again ("P_W19").
  bool CheckDevSleep();
  // SMART RETURN STATUS; threshold exceeded or unreadable registers: "F_x26".
  // A path that returns no registers (tester, bridge) is reported, not judged.
  bool CheckSmartStatus();
  // The controller's SMART reset, then the card ready in time ("I_U77").
  bool ResetSmart();
  // Identify, frozen unlock, zero user password, erase prepare and unit, card
  // ready within IDENTIFY word 89's time, identify again ("I_U06" to "I_U76").
  // A failure after the password was sent first disables it (unlocking
  // when needed), so that the drive is never left locked.
  bool SecurityErase();
  // "StandBy."; "I_x88".
  bool StandbyImmediate();
  // Idle current, then the maximum under a short write and read load, against
  // [General Info] MaxCurrent ("M_x03"); current log kinds 0, 1 and 3.
  bool CheckNormalCurrent();

  // ---- drive state the production steps share (no step defines them yet) ----

  std::uint8_t m_BootMode = 0;
  std::uint8_t mCodeMode = 0;
  std::uint8_t m_ROMMode = 0;
  std::int32_t m_FlashCount = 0;
  std::string m_StatusExtraText;
  std::uint8_t m_RdtFwFlag = 0;
  std::uint32_t m_LogicalSizeSectors = 0;
  std::uint8_t m_TwoPlaneMode = 0;
  std::uint32_t m_RdtState = 0;
  std::uint16_t m_CeMap = 0;
  std::string m_ExtraResultText;
  std::uint8_t m_PreFormatResultKind = 0;
  std::uint32_t m_PhysicalSize = 0;
  // What the RDT pre-test took from the RDT information at ReRDT: bit 2 of its
  // flags word, a mark that it was taken, its CE map, and a mark that its
  // even-loop test count is 4 (the pre-test's erase then runs as type 0).
  std::uint8_t m_RunInfoTwoPass = 0;
  std::uint8_t m_RunInfoTaken = 0;
  std::uint16_t m_RunInfoCeMap = 0;
  std::uint8_t m_NoEraseType = 0;

 private:
  // ---- device/PortDevice.cpp ----
  void Fail(const char* code, const std::string& message, bool report);
  void AllocateBuffers(std::size_t regBufferSize);
  void AllocatePageBuffers();

  bool m_Constructed = true;

  // ---- device/Report.cpp ----
  void AppendToReport(const std::string& text);
  void WriteReportLine(const std::string& path, const std::string& line, bool plain, bool clearSerial);
  // CLogFile writes of the report; a failure other than a report that was never started is noted.
  void AppendReportText(const std::string& path, const std::string& text);
  // The pass or fail entry of SATA_RecordSN.ini, under a key no earlier entry holds.
  void WriteRecordSn(const char* sectionFormat);

  // ---- bringup/FlashIdentity.cpp ----
  // The search of VerifyFlashIdWithParam and CheckFlashId over flash numbers
  // 0 to 63; `found` is false when it ended on the last number without a stop.
  bool FindFlashIdReply(bool compareWithParam, bool skipMaskCompare, const std::string& wanted, std::uint8_t* reply,
                        bool& found);

  // ---- bringup/IdentifyChecks.cpp ----
  // Tester page into m_PageBuffer, tester kind and firmware version; "T_A13" with the fail report.
  bool ReadTesterPageInto();

  // ---- bringup/RunningCode.cpp ----
  enum class NameRead { Ok, IdentifyFailed, NameFailed };
  // The running code's name into m_FwRevision: IDENTIFY words 23-26 behind a
  // bridge or on a SATA port, else the firmware-name read; the reply stays in reply512.
  NameRead ReadRunningName(std::uint8_t* reply512);
  // GetFirmwareNameFromBin, dropped when SetCustomFwName is 0.
  std::string FileFirmwareName(const std::string& pathArgument);
  // Running-code flags and version texts from the name's tag; false when none matched.
  bool ApplyRunningTag(const std::string& fileFirmwareName, const std::string& expectedName);
  bool FillIdentifyBuffer(std::uint8_t* out512, const std::uint8_t* nameReply);

  // ---- bringup/Efuse.cpp ----
  // A register access of an eFuse step failed: 'x' becomes 'S' in the code, fail report, false.
  bool FailRegisterAccess();
  bool ReadRegValue(std::uint32_t address, std::uint8_t width, std::uint32_t& value);

  // ---- bringup/InfoPages.cpp ----
  // The failing step's code gets the family letter in place of 'x'; fail report; false.
  bool FailWithFamily(char family);
  // Page 0 through m_PageBuffer into m_InfoBlockRead, copied whatever the result;
  // a failed read sets the message and writes the fail report.
  bool ReadInfoBlockIntoCopy();

  // ---- bringup/DeviceChecks.cpp ----
  // The called step's failure as the IO-state check's: 'x' becomes 'A', fail report.
  bool FailIoState();
  // The RDT information into rdtInfo64: the info block's temperature log, else
  // the bad-block table's record, else zeros.
  void TakeRdtInfo(std::uint8_t* rdtInfo64);
  bool ReadRdtInfoFromBbt(std::uint8_t* out64);

  // ---- bringup/PreFormat.cpp ----
  // A called step's failure as the pre-format's: 'x' becomes 'H', fail report.
  bool FailPreFormatStep();
  // 1 ready, 0 failed (code set), 2 the time limit passed; state is the last card state.
  int WaitPreFormatDone(bool polling, std::uint8_t& state);

  // ---- media/BootJumps.cpp ----
  // ForceToBootCode's write of the boot-code switch register; fails with the report.
  bool WriteBootSwitch(std::uint32_t value);

  // ---- media/CeMapErase.cpp ----
  // The wait for the end of one polled erase attempt: 1 erased, 0 the erase
  // failed, -1 failed for good (reported).
  int PollEraseAttempt(std::uint32_t limitSec, kx::EraseProgress& progress);
  // The wait for the end of an erase started without polling; false reported.
  bool WaitEraseEnd(std::uint8_t eraseType, std::uint32_t limitSec, kx::EraseProgress& progress);

  // ---- media/BbtTable.cpp ----
  // SetApKeyWithRetry(checkEnabled, 300); on failure 'x' becomes `family`, fail report.
  bool TableApKey(bool checkEnabled, char family);
  // One 64-byte record sector of ReadBBT (selector 1 or 2) into out64.
  bool ReadRecordSector(std::uint8_t selector, std::uint8_t* out64, const char* failMessage);
  // Whether a CE's 3rd BBT of `sectors` fits the staging buffer; else "F_T34" reported.
  bool Check3rdBbtSize(std::uint32_t sectors);

  // ---- media/BinImage.cpp ----

  // ---- media/FlashTypes.cpp ----

  // ---- media/BinType.cpp ----

  // ---- media/IspRam.cpp ----
  // The load after the image is in m_IoBufferA: seed to system information;
  // `detect` is the settings page's variant.
  bool SendPramImage(const kx::BinImage& image, bool detect);
  // Hands a failure at `step` on (kx::PramFailureRule); a null code keeps the
  // called operation's code and message. Returns false.
  bool PramFailed(kx::PramStep step, bool detect, const char* code, const std::string& message);

  // ---- media/DetectLoad.cpp ----
  // Power off, tester page, tester reset, card state and access key; false
  // when the detect cannot go on (self burn-in code: "M_A31").
  bool DetectPowerCycle(bool devSleep);
  // The container's BIN type for the drive's flash ID; sets options.typeFrom.
  std::string DetectBinType(kx::BinLoadOptions& options);

  // ---- media/IspFlash.cpp ----
  // Each false has set its code and message and written the fail report.
  bool SendFlashSeed();
  bool SendFlashChunks();
  // Card state, then (tester-direct only) the LBA High verdict 0xBB; else `code`
  // with `format` filled with the byte.
  bool CheckIspVerdict(const char* code, const char* format);
  // The header check with headerSectors, then every chunk read back and compared.
  bool VerifyFlashPass(std::uint8_t headerSectors);
  // The chunk as sent and as read back into the ISPVerify dumps.
  void DumpFlashCompare(const std::uint8_t* sent, std::uint32_t bytes);
  // Start and end clocks and elapsed seconds of a firmware step begun at `start`.
  void FinishFirmwareTiming(win::DWORD start);

  // ---- media/MicroCode.cpp ----

  // ---- media/BadBlockScan.cpp ----

  // The phases of ScanBadBlocks; the read-out ones (ScanReadOut to
  // ScanWriteListing) are defined in media/BadBlockScanReadOut.cpp.
  bool ScanSteps(kx::ScanRun& run);
  bool ScanSettingsAndLimit(kx::ScanRun& run);
  // The target size in sectors of the scan-mode settings; 0 for none.
  // False, failed with the setting's message, for a size or factor that is no number.
  bool ScanTargetSectors(std::int64_t& lba);
  // [Options] key of the parameter file as a whole number (0 when not set);
  // false, failed with the setting's message, for a value that is none.
  bool ScanSpec(const char* key, std::int32_t& value);
  // [Options] SetSSDSize in GB, or SelectCapacity when it is "0" or empty.
  std::int32_t ScanSizeSettingGb();
  bool ScanFirmwareLimit(kx::ScanRun& run, std::int64_t lba);
  bool ScanTableChecks(kx::ScanRun& run);
  // False when CE index `index` is skipped; else its printed number.
  bool ScanCeNumber(std::uint32_t index, std::uint32_t& number) const;
  std::uint32_t ScanDies() const;
  std::uint32_t ScanPlanes() const;
  // Sectors of one die's block list (at most 128).
  std::uint32_t ScanListSectors() const;
  void ScanProgress(kx::ScanRun& run);
  void ScanRecordDie(const kx::ScanRun& run, std::uint32_t ce, std::uint32_t die);
  void ScanEarlyCounts(kx::ScanRun& run);
  void ScanAutoCapacity(kx::ScanRun& run, bool& fail, std::string& replaceList);
  bool ScanVerdict(kx::ScanRun& run);
  bool ScanReadOut(kx::ScanRun& run);
  bool ScanDriveInfo();
  bool ScanKindTotals(kx::ScanRun& run, bool rdtOk, const kx::RdtInfoRecord& info);
  void ScanBuildLists(kx::ScanRun& run, std::uint32_t ce, std::uint32_t die, std::uint32_t sectors);
  std::string ScanCauseLine(const kx::ScanRun& run, std::uint32_t ce, std::uint32_t die, std::uint32_t plane,
                            std::uint32_t planes) const;
  void ScanWriteListing(kx::ScanRun& run, std::uint32_t index, std::uint32_t die, std::uint32_t ce,
                        std::uint32_t sectors);

  // ---- media/TimingWindow.cpp ----
  // Steps of ScanWindow; each false has set and reported its failure.
  bool BuildScanParameters(std::uint8_t* block1024);
  bool SendScanParameters(const std::uint8_t* block1024);
  bool ReadScanRegisters();
  bool WriteScanData(const kx::ScanGeometry& g, std::uint8_t sectors);
  bool SetDutyRegisters(std::uint32_t duty);
  // Every bank and die at one duty; `last` keeps the last reply read.
  bool ScanDuty(const kx::ScanGeometry& g, std::uint32_t duty, std::uint8_t sectors, bool& outOfRange,
                kx::ScanReply& last);
  bool FailNoWindow();
  void ChooseWindowDuties(const kx::ScanGeometry& g, int firstIndex, int endIndex);
  bool JudgeWindowDuties(const kx::ScanGeometry& g, const kx::ScanReply& last, int minWidth);

  // ---- drivetests/RdtLog.cpp ----
  // A called step's failure as the read-out's: 'x' becomes 'T', fail report when asked.
  bool FailRdtStep(bool report);
  // One log, up to and including its end entry; fails with its code.
  bool ReadRdtLogBytes(kx::rdtlog::Log log, std::vector<std::uint8_t>& out, bool report);
  // The drive's serial number as a file name (from IDENTIFY when none is known yet).
  std::string RdtFileStem();
  void WriteRdtResultFiles(const std::string& text, bool saveLog, const kx::RdtInfoRecord& info,
                           const std::vector<std::uint8_t>* rawLogs, std::size_t logCount);

  // ---- drivetests/DramTest.cpp ----

  // ---- drivetests/CopyCompare.cpp ----
  // User-addressable sectors from IDENTIFY; "I_x06" with the fail report.
  bool ReadUserSectors(std::uint64_t& sectors);
  // The pattern (zeros when null) written over the range, or read back and
  // compared; the first failure takes the test's code, with the fail report.
  bool WriteTestRange(const kx::SurfaceTest& test, const kx::LbaRange& range, const kx::TestPattern* pattern,
                      kx::ProgressRun& progress);
  bool VerifyTestRange(const kx::SurfaceTest& test, const kx::LbaRange& range, const kx::TestPattern& pattern,
                       kx::ProgressRun& progress);
  bool RunCopyCompare(const kx::SurfaceTest& test, IProgressBar* progress, int endPosition);

  // ---- drivetests/DriveChecks.cpp ----
  // The security erase's failure: the zero password disabled (after an
  // unlock when needed) and said so, then code, message and fail report.
  bool FailSecurityErase(const char* code, const std::string& message);

  // ---- device/CardOps.cpp ----
  // Tester delay parameter of a power command for a production device.
  std::uint8_t ProductionDelay(int whenZero) const;
  std::uint8_t SwitchBoardFlag() const;
  bool ResetCardWithRetries(std::uint8_t delay, const char* failMessage, bool report);
  bool PowerResetTesterWithRetries(std::uint8_t delay, bool report);
  bool DisableDevSleep(bool report);
  bool WaitReadyAfterReset(double timeoutSec, bool report);
  bool WaitReadyAfterPowerOn(double timeoutSec, const char* failCode, const char* timeoutCode, bool report);
  bool ReadTesterPage(std::uint8_t* page);
  double ConvertCurrent(std::uint16_t raw, const std::uint8_t* page) const;
  double Calibrate(double milliamperes, const std::uint8_t* page, double offset) const;
};
