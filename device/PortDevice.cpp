#include "device/PortDevice.h"

#include <cctype>

#include "command/DriveCommand.h"
#include "device/Checksum.h"
#include "device/Environment.h"
#include "device/ErrorCode.h"
#include "device/FileWrites.h"
#include "device/Format.h"
#include "device/Settings.h"

using kx::StrFormat;

namespace {

const char kPageMemoryMessage[] = "Cannot allocate page memory !";

}  // namespace

CPortDevice::CPortDevice(int driveNo, int runMode, int slot, const std::string& logFolder, IStatusCell* statusCtrl,
                         void* ownerData)
    : m_DriveNo(driveNo),
      m_RunMode(runMode),
      m_Slot(slot),
      m_StatusCtrl(statusCtrl),
      m_OwnerData(ownerData),
      m_Volume(driveNo) {
  m_Station = kx::GetTestStation();

  const std::string programFolder = kx::ModuleFolderText();
  // A program folder given relative to the working folder (".\\") lies on drive C:.
  if (!programFolder.empty()) {
    const char drive = std::isalpha(static_cast<unsigned char>(programFolder[0])) ? programFolder[0] : 'C';
    m_SnSettingPath = StrFormat("%c:\\%s", drive, "SATA_Setting.ini");
  }
  m_LogFolder = logFolder;
  if (!logFolder.empty()) {  // without a log folder the paths would point at a drive root
    m_ReportFolder = StrFormat("%s\\D_Reports\\", logFolder.c_str());
    m_RecordSnPath = StrFormat("%s\\%s", logFolder.c_str(), "SATA_RecordSN.ini");
    m_BinInfoFolder = StrFormat("%s\\BINInfo\\", logFolder.c_str());
  }

  m_PcId = kx::TrimBlanks(kx::ReadProfileText("PC Info", "MAC_Address", ".\\PC_MAC_Address.txt", 20));
  if (m_PcId.empty()) m_PcId = kx::ComputerNameText();

  SetLogPaths(m_Station);

  const std::string param = kx::SettingIniPath();
  m_DevSlpEnable = kx::ReadProfileInt("Options", "DEVSLP_Control", 0, param.c_str()) == 1 ? 1 : 0;
  m_IsProduction = 1;
  m_SwitchBoard = 1;

  AllocateBuffers(1024);
  m_Command = std::make_unique<CDriveCommand>(driveNo);

  m_BootVersion = "0.0";
  m_McodeVersion = "0.0";
  m_StatStandBy = kx::ReadProfileInt("Current Check", "Statistics_StandBy", 0, param.c_str()) != 0 ? 1 : 0;
  m_StatStandByText = m_StatStandBy ? "0000" : "NoRecord";
  m_StatWR = kx::ReadProfileInt("Current Check", "Statistics_WR", 0, param.c_str()) != 0 ? 1 : 0;
  m_StatWRText = m_StatWR ? "0000" : "NoRecord";
  const int powerOnDelay = kx::ReadProfileInt("Options", "PowerOnDelayTime", 0, param.c_str());
  m_PowerOnDelay = powerOnDelay > 0 ? static_cast<std::uint32_t>(powerOnDelay / 10) : 0;
  m_AutoCapacitySize = 0;
  InitBinMark();
  m_StatusExtraFlag = 0;
}

CPortDevice::CPortDevice(int driveNo, int jobMode, const std::string& detectFwPath, bool keptFlag, bool switchBoard)
    : m_DriveNo(driveNo), m_KeptFlag(keptFlag ? 1 : 0), m_DetectFwPath(detectFwPath), m_Volume(driveNo) {
  m_Station = kx::GetTestStation();
  m_IsProduction = jobMode == 11 ? 1 : 0;
  m_SwitchBoard = switchBoard ? 1 : 0;
  AllocateBuffers(512);
  m_Command = std::make_unique<CDriveCommand>(driveNo);
  InitBinMark();
}

CPortDevice::~CPortDevice() = default;

void CPortDevice::DeletingDestructor(unsigned flags) {
  if (flags & 1u) {
    delete this;
  } else {
    this->~CPortDevice();
  }
}

void CPortDevice::AllocateBuffers(std::size_t regBufferSize) {
  m_RegBuffer.assign(regBufferSize, 0);
  AllocatePageBuffers();
}

void CPortDevice::AllocatePageBuffers() {
  struct Region {
    platform::PageBuffer* base;
    std::uint8_t** work;
    std::size_t size;
  } regions[] = {{&m_IoBaseA, &m_IoBufferA, kIoBufferASize},
                 {&m_IoBaseB, &m_IoBufferB, kIoBufferBSize},
                 {&m_IoBaseC, &m_IoBufferC, kIoBufferCSize}};
  for (Region& r : regions) {
    r.base->Allocate(r.size);
    *r.work = r.base->data();
    if (!*r.base) {
      kx::ShowMessageBox(kPageMemoryMessage);
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

std::string CPortDevice::FormatErrorCode(std::string code) { return kx::FormatErrorCodeText(code); }

void CPortDevice::Fail(const char* code, const std::string& message, bool report) {
  m_ErrorCode = code;
  m_ErrorMessage = message;
  if (report) WriteFailReport();
}

// ---- File, checksum and status utilities ------------------------------------

std::uint16_t CPortDevice::Sum16(const std::uint8_t* bytes, std::uint32_t length) {
  return kx::ByteSum16(bytes, length);
}

std::uint32_t CPortDevice::Crc32Parallel(const std::uint32_t* words, std::uint32_t count, std::uint32_t seed) {
  return kx::WordCrc32(words, count, seed);
}

bool CPortDevice::SaveBufferToFile(const std::string& path, const std::uint8_t* bytes, std::uint32_t length) {
  switch (kx::WriteWholeFile(path, bytes, length)) {
    case kx::WriteResult::Ok:
      return true;
    case kx::WriteResult::OpenFailed:
      Fail("A_x08", StrFormat("Open saving file-%s Failed", path.c_str()), false);
      return false;
    case kx::WriteResult::WriteFailed:
      break;
  }
  Fail("A_x08", StrFormat("Write saving file-%s Failed", path.c_str()), false);
  return false;
}

bool CPortDevice::SaveTextToFile(const std::string& path, const std::string& text) {
  switch (kx::AppendToFile(path, text.data(), text.size())) {
    case kx::WriteResult::Ok:
      return true;
    case kx::WriteResult::OpenFailed:
      Fail("A_x08", "Open save file Failed.", false);
      return false;
    case kx::WriteResult::WriteFailed:
      break;
  }
  Fail("A_x08", "Write save file Failed.", false);
  return false;
}

std::string CPortDevice::SplitString(const std::string& text, const std::string& separator, int index) {
  if (separator.size() != 1 || index < 0 || text.find(separator[0]) == std::string::npos) return {};
  std::size_t start = 0;
  for (int field = 0;; ++field) {
    const std::size_t end = text.find(separator[0], start);
    if (field == index) {
      const std::size_t length = end == std::string::npos ? std::string::npos : end - start;
      return kx::TrimBlanks(text.substr(start, length));
    }
    if (end == std::string::npos) return {};
    start = end + 1;
  }
}

void CPortDevice::ShowPortStatus(const std::string& text, bool numberOnly) {
  if (!m_StatusCtrl) return;
  m_StatusCtrl->SetFontSize(20, 10);
  m_StatusCtrl->SetColor(0, 65535);
  m_StatusCtrl->SetWindowText(numberOnly ? StrFormat("%d", m_Slot) : StrFormat("%d*%s", m_Slot, text.c_str()));
  m_StatusCtrl->Redraw();
}
