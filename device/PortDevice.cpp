#include "device/PortDevice.h"

#include <cstring>

#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/ErrorCode.h"
#include "device/Format.h"
#include "device/Settings.h"

namespace {

const char kPageMemoryMessage[] = "Cannot allocate page memory !";

}  // namespace

CPortDevice::CPortDevice(int driveNo, int runMode, int slot, const std::string& logFolder, IStatusCell* statusCtrl,
                         void* ownerData)
    : m_DriveNo(driveNo), m_RunMode(runMode), m_Slot(slot), m_StatusCtrl(statusCtrl), m_OwnerData(ownerData) {
  m_Station = GetTestStation();

  const std::string programFolder = ModuleFolderText();
  if (!programFolder.empty()) m_SnSettingPath = StrFormat("%c:\\%s", programFolder[0], "SATA_Setting.ini");
  m_LogFolder = logFolder;
  if (!logFolder.empty()) {  // without a log folder the paths would point at a drive root
    m_ReportFolder = StrFormat("%s\\D_Reports\\", logFolder.c_str());
    m_RecordSnPath = StrFormat("%s\\%s", logFolder.c_str(), "SATA_RecordSN.ini");
    m_BinInfoFolder = StrFormat("%s\\BINInfo\\", logFolder.c_str());
  }

  m_PcId = TrimBlanks(ReadProfileText("PC Info", "MAC_Address", ".\\PC_MAC_Address.txt", 20));
  if (m_PcId.empty()) m_PcId = ComputerNameText();

  SetLogPaths(m_Station);

  const std::string param = SettingIniPath();
  m_DevSlpEnable = ReadProfileInt("Options", "DEVSLP_Control", 0, param.c_str()) == 1 ? 1 : 0;
  m_IsProduction = 1;
  m_SwitchBoard = 1;

  AllocateBuffers(1024);
  m_LogFile = new CLogFile;
  m_Command = new CDriveCommand(driveNo);

  m_BootVersion = "0.0";
  m_McodeVersion = "0.0";
  m_StatStandBy = ReadProfileInt("Current Check", "Statistics_StandBy", 0, param.c_str()) != 0 ? 1 : 0;
  m_StatStandByText = m_StatStandBy ? "0000" : "NoRecord";
  m_StatWR = ReadProfileInt("Current Check", "Statistics_WR", 0, param.c_str()) != 0 ? 1 : 0;
  m_StatWRText = m_StatWR ? "0000" : "NoRecord";
  const int powerOnDelay = ReadProfileInt("Options", "PowerOnDelayTime", 0, param.c_str());
  m_PowerOnDelay = powerOnDelay > 0 ? static_cast<std::uint32_t>(powerOnDelay / 10) : 0;
  m_AutoCapacitySize = 0;
  InitBinMark();
  m_StatusExtraFlag = 0;
}

CPortDevice::CPortDevice(int driveNo, int jobMode, const std::string& detectFwPath, bool keptFlag, bool switchBoard)
    : m_DetectFwPath(detectFwPath), m_DriveNo(driveNo), m_KeptFlag(keptFlag ? 1 : 0) {
  m_Station = GetTestStation();
  m_IsProduction = jobMode == 11 ? 1 : 0;
  m_SwitchBoard = switchBoard ? 1 : 0;
  AllocateBuffers(512);
  m_LogFile = new CLogFile;
  m_Command = new CDriveCommand(driveNo);
  InitBinMark();
}

CPortDevice::~CPortDevice() {
  delete[] m_RegBuffer;
  delete[] m_PageBuffer;
  delete[] m_TextTable;
  delete[] m_InfoBlockRead;
  delete[] m_InfoBlockBuilt;
  ReleasePages(m_IoBaseA, kIoBufferASize);
  ReleasePages(m_IoBaseB, kIoBufferBSize);
  ReleasePages(m_IoBaseC, kIoBufferCSize);
  delete m_LogFile;
  delete m_Command;
  if (m_BbtBuffer) {
    std::free(m_BbtBuffer);
    m_BbtBuffer = nullptr;
  }
}

void CPortDevice::DeletingDestructor(unsigned flags) {
  if (flags & 1u) {
    delete this;
  } else {
    this->~CPortDevice();
  }
}

void CPortDevice::AllocateBuffers(std::size_t regBufferSize) {
  m_RegBuffer = new std::uint8_t[regBufferSize]();
  m_RegBufferSize = regBufferSize;
  m_PageBuffer = new std::uint8_t[2048]();
  m_TextTable = new std::string[kTextCount];
  m_InfoBlockRead = new std::uint8_t[512]();
  m_InfoBlockBuilt = new std::uint8_t[512]();
  AllocatePageBuffers();
}

void CPortDevice::AllocatePageBuffers() {
  struct Region {
    std::uint8_t** base;
    std::uint8_t** work;
    std::size_t size;
  } regions[] = {{&m_IoBaseA, &m_IoBufferA, kIoBufferASize},
                 {&m_IoBaseB, &m_IoBufferB, kIoBufferBSize},
                 {&m_IoBaseC, &m_IoBufferC, kIoBufferCSize}};
  for (Region& r : regions) {
    *r.base = ReservePages(r.size);
    *r.work = *r.base;
    if (!*r.base) {
      ShowMessageBox(kPageMemoryMessage);
      m_Constructed = false;
      m_ErrorMessage = kPageMemoryMessage;
    }
  }
}

void CPortDevice::SetLogPaths(int station) {
  m_Station = station;
  if (m_LogFolder.empty()) return;  // tool devices keep no logs
  const char* name = m_RunMode == 1 ? "Init" : m_RunMode == 4 ? "QC" : "Debug";
  m_TotalLogPath = StrFormat("%s\\Total_%s.log", m_LogFolder.c_str(), name);
  m_ErrorLogPath = StrFormat("%s\\Error_%s.log", m_LogFolder.c_str(), name);
}

void CPortDevice::InitBinMark() {
  m_BinMark[0] = 0x22;
  m_BinMark[1] = 0;
  m_BinMark[3] = 0x58;
}

std::string CPortDevice::FormatErrorCode(std::string code) { return FormatErrorCodeText(code); }

void CPortDevice::Fail(const char* code, const std::string& message, bool report) {
  m_ErrorCode = code;
  m_ErrorMessage = message;
  if (report) WriteFailReport();
}
