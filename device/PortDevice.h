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
  void WriteCurrentLog(const std::string& line, int kind);
  std::string ReportPath() const;
  std::string FailCopyPath() const;

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

  // ---- media/BootJumps.cpp: boot-code jumps and register access ----

  // Each takes the access key itself; the read leaves the register's value in
  // bytes 4 to 7 of m_RegBuffer. Neither writes the fail report.
  bool WriteReg4(std::uint32_t address, std::uint32_t value, std::uint8_t width);
  bool ReadReg4(std::uint32_t address, std::uint8_t width);
  // Starts the code just loaded (or the boot code, after ForceToBootCode's switch)
  // and waits for the card; writes no fail report.
  bool JumpToBoot(std::uint32_t delayMs);
  bool ForceToBootCode();

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

 private:
  // ---- device/PortDevice.cpp ----
  void Fail(const char* code, const std::string& message, bool report);
  void AllocateBuffers(std::size_t regBufferSize);
  void AllocatePageBuffers();

  bool m_Constructed = true;

  // ---- device/Report.cpp ----
  void AppendToReport(const std::string& text);
  void WriteReportLine(const std::string& path, const std::string& line, bool plain, bool clearSerial);

  // ---- bringup/FlashIdentity.cpp ----
  // The search of VerifyFlashIdWithParam and CheckFlashId over flash numbers
  // 0 to 63; `found` is false when it ended on the last number without a stop.
  bool FindFlashIdReply(bool compareWithParam, bool skipMaskCompare, const std::string& wanted, std::uint8_t* reply,
                        bool& found);

  // ---- bringup/SystemInfo.cpp ----

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

  // ---- media/BootJumps.cpp ----
  // ForceToBootCode's write of the boot-code switch register; fails with the report.
  bool WriteBootSwitch(std::uint32_t value);

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
