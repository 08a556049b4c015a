// The per-port device object on which every production step works. It carries
// the port's identity, its error code and message, the paths of its report and
// logs, what the steps learn about the drive and the tester, three page-aligned
// I/O buffers, and the CDriveCommand through which every command passes.
//
// Failure convention of every method that can fail: set m_ErrorCode and
// m_ErrorMessage, write the fail report when its `report` argument asks for it,
// return false. A method that succeeds leaves both texts as they were.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "device/LogFile.h"
#include "device/StatusCell.h"
#include "platform/WinTypes.h"

class CDriveCommand;

class CPortDevice {
 public:
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

  // Port report and logs.
  void WriteReport(const std::string& line, bool plain);
  void WriteTempReport(const std::string& line, bool plain, const std::string& fileName);
  void WriteFailReport();
  void WriteCurrentLog(const std::string& line, int kind);
  void WriteSettingsReport();
  void WriteInfoBlockReport(const std::uint8_t* block);
  std::string WriteSmartIdReport(const std::uint8_t* table);
  std::string ReportPath() const;
  std::string FailCopyPath() const;

  // Error codes.
  static std::string FormatErrorCode(std::string code);

  // File and checksum utilities.
  static std::uint16_t Sum16(const std::uint8_t* bytes, std::uint32_t length);
  static std::uint32_t Crc32Parallel(const std::uint32_t* words, std::uint32_t count, std::uint32_t seed);
  bool SaveBufferToFile(const std::string& path, const std::uint8_t* bytes, std::uint32_t length);
  bool SaveTextToFile(const std::string& path, const std::string& text);
  static std::string SplitString(const std::string& text, const std::string& separator, int index);
  void ShowPortStatus(const std::string& text, bool numberOnly);

  // Tester power and card state.
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

  // Card supply and current.
  bool CheckPowerGroundShort();
  bool ReadCardCurrent(double& milliamperes);
  bool ReadMaxCurrent(double& milliamperes, int unused = 0);
  bool ClearCurrentBuffer();
  bool AdjustCardVoltage(int level);

  // Fields, in the order the steps know them. Every one starts initialised.
  std::uint8_t m_DevSlpEnable = 0;
  std::array<std::uint8_t, 4> m_BinMark{};
  std::uint8_t* m_IoBufferA = nullptr;
  std::uint8_t* m_IoBufferB = nullptr;
  std::uint8_t* m_IoBufferC = nullptr;
  std::uint8_t* m_IoBaseA = nullptr;
  std::uint8_t* m_IoBaseB = nullptr;
  std::uint8_t* m_IoBaseC = nullptr;
  std::string m_ErrorCode;
  std::string m_ErrorMessage;
  std::uint32_t m_OsLastError = 0;
  std::uint8_t m_IsProduction = 0;
  std::string m_LastReportPath;
  std::int32_t m_TesterKind = 0;
  std::uint8_t m_SwitchBoard = 0;
  std::string m_McodeVersion;
  std::string m_DetectFwPath;
  std::string m_SnSettingPath;
  std::string m_LogFolder;
  std::string m_ReportFolder;
  std::string m_CurrentLogFolder;
  std::string m_ErrorLogPath;
  std::string m_TotalLogPath;
  std::string m_RecordSnPath;
  std::string m_BinInfoFolder;
  std::string m_SerialNumber;
  std::string m_PcId;
  std::string m_TesterFwVersion;
  std::string m_BootVersion;
  std::uint8_t m_BootMode = 0;
  std::uint8_t mCodeMode = 0;
  std::uint8_t m_ROMMode = 0;
  std::int32_t m_FlashCount = 0;
  std::uint8_t m_StatusExtraFlag = 0;
  std::string m_StatusExtraText;
  std::uint8_t m_StatStandBy = 0;
  std::string m_StatStandByText;
  std::uint8_t m_StatWR = 0;
  std::string m_StatWRText;
  std::uint32_t m_PowerOnDelay = 0;
  std::uint8_t* m_InfoBlockRead = nullptr;
  std::uint8_t* m_InfoBlockBuilt = nullptr;
  std::int32_t m_Station = 0;
  win::HANDLE m_VolumeHandle = win::INVALID_HANDLE_VALUE;
  std::array<std::uint8_t, 16> m_LastApCommand{};
  std::uint8_t* m_RegBuffer = nullptr;
  std::size_t m_RegBufferSize = 0;
  std::uint8_t* m_PageBuffer = nullptr;
  std::string* m_TextTable = nullptr;
  std::array<std::string, kTextCount> m_TextArray;
  std::array<std::uint8_t, 16> m_CardReply{};
  std::int32_t m_DriveNo = 0;
  std::int32_t m_RunMode = 0;
  std::int32_t m_Slot = 0;
  CLogFile* m_LogFile = nullptr;
  IStatusCell* m_StatusCtrl = nullptr;
  void* m_OwnerData = nullptr;
  CDriveCommand* m_Command = nullptr;
  double m_ElapsedSec = 0.0;
  std::int32_t m_ClockStart = 0;
  std::int32_t m_ClockNow = 0;
  std::uint32_t m_AutoCapacitySize = 0;
  std::int32_t m_TesterOutputVoltage = 0;
  std::uint8_t m_RdtFwFlag = 0;
  std::uint32_t m_LogicalSizeSectors = 0;
  std::uint8_t m_TwoPlaneMode = 0;
  std::uint32_t m_RdtState = 0;
  std::uint16_t m_CeMap = 0;
  void* m_BbtBuffer = nullptr;
  std::string m_ExtraResultText;
  std::uint8_t m_PreFormatResultKind = 0;
  std::uint32_t m_PhysicalSize = 0;
  std::uint8_t m_KeptFlag = 0;
  // Text that opens the object; the fail report empties it.
  std::string m_LeadText;

 private:
  void Fail(const char* code, const std::string& message, bool report);
  void AllocateBuffers(std::size_t regBufferSize);
  void AllocatePageBuffers();
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
  void AppendToReport(const std::string& text);
  void WriteReportLine(const std::string& path, const std::string& line, bool plain, bool clearSerial);

  bool m_Constructed = true;
};
