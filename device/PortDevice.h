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

  // ---- bringup/SystemInfo.cpp: system information check ----

  // ---- bringup/IdentifyChecks.cpp: identify checks and tester information ----

  // ---- bringup/RunningCode.cpp: firmware name and running-code identity ----

  // ---- bringup/Efuse.cpp: eFuse and controller version checks ----

  // ---- media/BootJumps.cpp: boot-code jumps and register access ----

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

  // ---- bringup/SystemInfo.cpp ----

  // ---- bringup/IdentifyChecks.cpp ----

  // ---- bringup/RunningCode.cpp ----

  // ---- bringup/Efuse.cpp ----

  // ---- media/BootJumps.cpp ----

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
