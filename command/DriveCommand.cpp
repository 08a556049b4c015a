#include "command/DriveCommand.h"

#include <cstdio>
#include <cstring>

#include "command/GetDevLibrary.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/KxSignatures.h"

using kx::Regs71;
using kx::SendPath;

namespace {

constexpr int kSendTries = 10;
constexpr int kOpenTries = 10;
constexpr win::DWORD kOpenRetryMs = 5;
constexpr win::DWORD kGenFailureRetryMs = 50;

// Wire values of the 32-bit request layouts, kept in the typed blocks so that
// traces show what the original interface would carry.
constexpr win::USHORT kSptLength = 44;
constexpr win::UCHAR kSenseInfoLength = 24;
constexpr win::ULONG kSenseInfoOffset = 48;
constexpr win::USHORT kAptLength = 40;

// Device register of every 48-bit request: the LBA bit. Without it a drive (or a
// SAT layer that passes the register on) takes the address for cylinder/head/sector.
constexpr std::uint8_t kLbaMode = 0x40;

int directionOf(std::uint8_t protocol) {
  switch (protocol) {
    case kx::kProtoPioIn:
    case kx::kProtoDmaIn:
      return kx::kDirIn;
    case kx::kProtoPioOut:
    case kx::kProtoPioOutLong:
    case kx::kProtoDmaOut:
      return kx::kDirOut;
    default:
      return kx::kDirNone;
  }
}

// Commands that move their data by DMA; the ATA pass-through request must say so.
bool isDmaCommand(std::uint8_t command) {
  return command == 0xC8 || command == 0xCA || command == 0x25 || command == 0x35;
}

void debugOutput(int driveNo, int flag) {
  char text[32];
  std::snprintf(text, sizeof text, "port-%d - %d", driveNo, flag);
  win::OutputDebugString(text);
}

}  // namespace

CDriveCommand::CDriveCommand(int driveNo) : m_DriveNo(driveNo) {}
CDriveCommand::~CDriveCommand() = default;

// ---------------------------------------------------------------- send path

win::HANDLE CDriveCommand::OpenDrive(int driveNo) {
  // Reused between commands of this thread: every command opens its drive.
  thread_local std::string path;
  for (int i = 0; i < kOpenTries; ++i) {
    bool known = true;
    if (g_KX_U2A != 0) {
      known = kx::GetRootDevicePath(driveNo, path);
    } else {
      char physical[48];
      std::snprintf(physical, sizeof physical, "\\\\.\\PhysicalDrive%d", driveNo);
      path = physical;
    }
    if (known) {
      win::HANDLE h = win::CreateFileA(path.c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                                       win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr, win::OPEN_EXISTING,
                                       win::FILE_FLAG_OVERLAPPED | win::FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h != win::INVALID_HANDLE_VALUE) return h;
    } else {
      win::SetLastError(win::ERROR_INVALID_PARAMETER);
    }
    win::Sleep(kOpenRetryMs);
  }
  return win::INVALID_HANDLE_VALUE;
}

void CDriveCommand::CloseDrive(win::HANDLE h) {
  win::DWORD returned = 0;
  win::DeviceIoControl(h, win::FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
  win::CloseHandle(h);
}

int CDriveCommand::BuildScsiPassThrough(win::ScsiPassThroughDirectBlock* block, std::uint8_t cdbLength,
                                        const std::uint8_t* cdb, std::uint8_t direction, std::uint32_t length,
                                        std::uint32_t timeOutSec) {
  if (cdbLength > 16) return -1;
  *block = win::ScsiPassThroughDirectBlock{};
  auto& s = block->Sptd;
  s.Length = kSptLength;
  s.CdbLength = cdbLength;
  s.SenseInfoLength = kSenseInfoLength;
  s.DataIn = length == 0 ? win::SCSI_IOCTL_DATA_UNSPECIFIED : direction;
  s.DataTransferLength = length;
  s.TimeOutValue = timeOutSec;
  s.SenseInfoOffset = kSenseInfoOffset;
  std::memcpy(s.Cdb, cdb, cdbLength);
  return 0;
}

int CDriveCommand::SendCdb(int driveNo, const std::uint8_t* cdb, bool dataIn, void* buffer, std::uint32_t length,
                           std::uint32_t timeOutSec) {
  if (timeOutSec == 0) timeOutSec = kx::ReadScsiTimeOut();
  const std::uint8_t direction = dataIn ? win::SCSI_IOCTL_DATA_IN : win::SCSI_IOCTL_DATA_OUT;
  for (int attempt = 0; attempt < kSendTries; ++attempt) {
    win::HANDLE h = OpenDrive(driveNo);
    if (h == win::INVALID_HANDLE_VALUE) {
      m_LastError = win::GetLastError();
      return kx::kOpenFailed;
    }
    win::ScsiPassThroughDirectBlock block;
    BuildScsiPassThrough(&block, 16, cdb, direction, length, timeOutSec);
    block.Sptd.DataBuffer = length != 0 ? buffer : nullptr;
    win::DWORD returned = 0;
    const win::BOOL ok = win::DeviceIoControl(h, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block,
                                              sizeof block, &returned, nullptr);
    // The OS error means something only after a failed request.
    m_LastError = ok ? 0 : win::GetLastError();
    if (!ok && m_LastError == 0) m_LastError = win::ERROR_GEN_FAILURE;
    CloseDrive(h);
    if (m_LastError == 0) return block.Sptd.ScsiStatus;
    if (m_LastError == win::ERROR_NOACCESS) return kx::kScsiFault;
    if (m_LastError != win::ERROR_GEN_FAILURE) return static_cast<int>(m_LastError);
    if (attempt + 1 < kSendTries) win::Sleep(kGenFailureRetryMs);
  }
  return kx::kRetriesExhausted;
}

void CDriveCommand::GetLastCommand(std::uint8_t* cdbOut16, std::uint32_t* lastError) const {
  if (cdbOut16) std::memcpy(cdbOut16, m_Cdb, sizeof m_Cdb);
  if (lastError) *lastError = m_LastError;
}

// ------------------------------------------------ translation and ATA pass-through

void CDriveCommand::TranslateToSat(std::uint8_t* c) {
  if (c[0] != 0x08 || c[1] != 0xF2) return;
  const bool ataPtOk = kx::AtaPassThroughOk(m_DriveNo);
  std::uint8_t out[16] = {};
  switch (c[2]) {
    case 0x71: {
      out[0] = 0xA1;
      out[3] = c[5];
      out[4] = c[6];
      out[5] = c[7];
      out[6] = c[8];
      out[7] = c[9];
      out[8] = c[10];
      out[9] = c[4];
      switch (c[3]) {
        case kx::kProtoNone:
          out[1] = 0x06;
          if (c[11] != 0) {
            out[2] = 0x0E;
            out[4] = c[11];
          }
          break;
        case kx::kProtoPioIn: out[1] = 0x08; out[2] = 0x0E; break;
        case kx::kProtoPioOut:
        case kx::kProtoPioOutLong: out[1] = 0x0A; out[2] = 0x06; break;
        case kx::kProtoDmaIn: out[1] = 0x14; out[2] = 0x0E; break;
        case kx::kProtoDmaOut: out[1] = 0x16; out[2] = 0x06; break;
        default: break;
      }
      break;
    }
    case 0x50:
      if (ataPtOk) return;
      out[0] = 0xA1;
      out[1] = 0x1E;
      out[2] = 0x2E;
      out[4] = 1;
      if (c[3] != 0) {
        out[3] = c[4];
        out[9] = 0xEF;
      }
      break;
    case 0x48:
      if (ataPtOk) return;
      out[0] = 0x85;
      out[5] = c[5];
      out[6] = c[4];
      out[7] = c[9];
      out[8] = c[6];
      out[9] = c[10];
      out[10] = c[7];
      out[11] = c[11];
      out[12] = c[8];
      out[13] = kLbaMode;
      out[14] = c[3];
      switch (c[3]) {
        case 0x00: out[1] = 0x07; break;
        case 0x24: out[1] = 0x09; out[2] = 0x0E; break;
        case 0x34: out[1] = 0x0B; out[2] = 0x06; break;
        case 0x25: out[1] = 0x15; out[2] = 0x0E; break;
        case 0x35: out[1] = 0x17; out[2] = 0x06; break;
        default: break;
      }
      break;
    default:
      return;
  }
  std::memcpy(c, out, sizeof out);
}

void CDriveCommand::BuildAtaPassThrough(const std::uint8_t* prevTaskFile, const std::uint8_t* curTaskFile,
                                        std::uint16_t flags, std::uint32_t length, std::uint32_t timeOutSec,
                                        bool is48) {
  m_AtaPt = win::ATA_PASS_THROUGH_DIRECT{};
  m_AtaPt.Length = kAptLength;
  m_AtaPt.AtaFlags = static_cast<win::USHORT>(flags | win::ATA_FLAGS_DRDY_REQUIRED);
  m_AtaPt.DataTransferLength = length;
  m_AtaPt.TimeOutValue = timeOutSec;
  if (is48) std::memcpy(m_AtaPt.PreviousTaskFile, prevTaskFile, 8);
  std::memcpy(m_AtaPt.CurrentTaskFile, curTaskFile, 8);
}

int CDriveCommand::SendAtaPassThrough(int driveNo, std::uint16_t, const std::uint8_t* c, int direction,
                                      void* buffer, std::uint32_t length, bool direct, bool is48, bool dma,
                                      std::uint32_t timeOutSec) {
  if (!direct) {
    m_LastError = win::ERROR_NOT_SUPPORTED;
    return static_cast<int>(m_LastError);
  }
  std::uint8_t cur[8] = {};
  std::uint8_t prev[8] = {};
  if (is48) {
    const std::uint8_t c48[8] = {0, c[4], c[6], c[7], c[8], kLbaMode, c[3], 0};
    const std::uint8_t p48[8] = {0, c[5], c[9], c[10], c[11], 0, c[3], 0};
    std::memcpy(cur, c48, 8);
    std::memcpy(prev, p48, 8);
  } else {
    std::memcpy(cur, c + 3, 8);
  }
  if (timeOutSec == 0) timeOutSec = kx::ReadScsiTimeOut();
  std::memset(m_RetTaskFile, 0, sizeof m_RetTaskFile);
  std::memset(m_RetPrevTaskFile, 0, sizeof m_RetPrevTaskFile);

  std::uint16_t flags = win::ATA_FLAGS_DRDY_REQUIRED;
  if (direction == kx::kDirIn) flags |= win::ATA_FLAGS_DATA_IN;
  if (direction == kx::kDirOut) flags |= win::ATA_FLAGS_DATA_OUT;
  if (dma && direction != kx::kDirNone) flags |= win::ATA_FLAGS_USE_DMA;
  if (is48) flags |= win::ATA_FLAGS_48BIT_COMMAND;

  for (int attempt = 0; attempt < kSendTries; ++attempt) {
    win::HANDLE h = OpenDrive(driveNo);
    if (h == win::INVALID_HANDLE_VALUE) {
      m_LastError = win::GetLastError();
      return kx::kOpenFailed;
    }
    BuildAtaPassThrough(prev, cur, flags, length, timeOutSec, is48);
    m_AtaPt.DataBuffer = length != 0 ? buffer : nullptr;
    win::DWORD returned = 0;
    const win::BOOL ok = win::DeviceIoControl(h, win::IOCTL_ATA_PASS_THROUGH_DIRECT, &m_AtaPt, sizeof m_AtaPt,
                                              &m_AtaPt, sizeof m_AtaPt, &returned, nullptr);
    m_LastError = ok ? 0 : win::GetLastError();
    if (!ok && m_LastError == 0) m_LastError = win::ERROR_GEN_FAILURE;
    CloseDrive(h);
    if (m_LastError == win::ERROR_NOACCESS) return kx::kAtaFault;
    if (m_LastError == 0) {
      std::memcpy(m_RetTaskFile, m_AtaPt.CurrentTaskFile, 7);
      if (is48) std::memcpy(m_RetPrevTaskFile, m_AtaPt.PreviousTaskFile, 7);
      const std::uint8_t status = m_RetTaskFile[6];
      if (status == 0x50 || status == 0x40) return 0;
      // Status 00h means nobody answered; it must not read as success.
      return status == 0 ? kx::kAtaNoStatus : status;
    }
    if (m_LastError != win::ERROR_GEN_FAILURE) return static_cast<int>(m_LastError);
    if (attempt + 1 < kSendTries) win::Sleep(kGenFailureRetryMs);
  }
  return kx::kRetriesExhausted;
}

int CDriveCommand::ProbeVendorMode(bool checkRegisters) {
  const auto& sig = kx::kVendorModeSignature;
  SetCdb({0x08, 0xF2, 0x71, 0x00, sig[0], sig[1], sig[2], sig[3], sig[4], sig[5]});
  if (SendAtaPassThrough(m_DriveNo, 1, m_Cdb, kx::kDirNone, nullptr, 0, true, false, false, 0) != 0) return 0;
  const std::uint8_t status = m_RetTaskFile[6];
  if (status != 0x50 && status != 0x40) return 0;
  if (!checkRegisters) return 1;
  return m_RetTaskFile[1] == 1 && m_RetTaskFile[2] == 1 ? 1 : 2;
}

// ---------------------------------------------------------------- builders

void CDriveCommand::SetCdb(std::initializer_list<std::uint8_t> bytes) {
  std::memset(m_Cdb, 0, sizeof m_Cdb);
  std::size_t i = 0;
  for (std::uint8_t b : bytes) {
    if (i < sizeof m_Cdb) m_Cdb[i++] = b;
  }
}

void CDriveCommand::Build71(const Regs71& r) {
  SetCdb({0x08, 0xF2, 0x71, r.protocol, r.command, r.features, r.count, r.lbaLow, r.lbaMid, r.lbaHigh, r.device,
          r.transfer});
}

void CDriveCommand::Build48(std::uint8_t command, std::uint32_t sectors, std::uint64_t lba) {
  SetCdb({0x08, 0xF2, 0x48, command, static_cast<std::uint8_t>(sectors), static_cast<std::uint8_t>(sectors >> 8)});
  for (int i = 0; i < 6; ++i) m_Cdb[6 + i] = static_cast<std::uint8_t>(lba >> (8 * i));
}

bool CDriveCommand::Refuse() {
  m_LastError = win::ERROR_INVALID_PARAMETER;
  return false;
}

// Carries m_Cdb (a tester form) by the path class and the send mode.
int CDriveCommand::Send(const Request& r) {
  std::uint32_t timeOut = r.timeOut == kx::kTimeOutLong ? kx::ReadScsiTimeOutMax() : r.timeOut;
  const bool tester = kx::IsTesterDirectMode();
  switch (r.path) {
    case SendPath::Raw:
      break;
    case SendPath::DirectOnly:
      if (!tester) TranslateToSat(m_Cdb);
      break;
    case SendPath::ThreePath:
      // A tester board takes the block in its own form.
      if (tester) break;
      TranslateToSat(m_Cdb);
      if (kx::IsSataPortMode() && kx::AtaPassThroughOk(m_DriveNo)) {
        return SendAtaPassThrough(m_DriveNo, 1, m_Cdb, r.direction, r.buffer, r.length, true, r.is48, r.dma,
                                  timeOut);
      }
      break;
  }
  return SendCdb(m_DriveNo, m_Cdb, r.direction == kx::kDirIn, r.buffer, r.length, timeOut);
}

bool CDriveCommand::Run(const Regs71& regs, const void* buffer, std::uint32_t length, SendPath path,
                        std::uint32_t timeOut, bool dma) {
  Build71(regs);
  Request r;
  r.path = path;
  r.direction = directionOf(regs.protocol);
  r.buffer = const_cast<void*>(buffer);
  r.length = length;
  r.timeOut = timeOut;
  r.dma = dma;
  return Send(r) == 0;
}

bool CDriveCommand::Ata28(std::uint8_t command, std::uint8_t protocol, std::uint32_t sectors, std::uint32_t lba,
                          std::uint8_t deviceBase, const void* buffer) {
  const auto count = static_cast<std::uint8_t>(sectors);  // 256 travels as 0
  Build71({.protocol = protocol,
           .command = command,
           .count = count,
           .lbaLow = static_cast<std::uint8_t>(lba),
           .lbaMid = static_cast<std::uint8_t>(lba >> 8),
           .lbaHigh = static_cast<std::uint8_t>(lba >> 16),
           .device = static_cast<std::uint8_t>(deviceBase | ((lba >> 24) & 0x0F)),
           .transfer = count});
  if (sectors == 0 || sectors > 256 || lba >= (1u << 28)) return Refuse();
  Request r;
  r.direction = directionOf(protocol);
  r.buffer = const_cast<void*>(buffer);
  r.length = sectors * 512;
  r.dma = isDmaCommand(command);
  return Send(r) == 0;
}

bool CDriveCommand::Ata48(std::uint8_t command, std::uint32_t sectors, std::uint32_t lbaLow, std::uint32_t lbaHigh,
                          const void* buffer) {
  Build48(command, sectors, static_cast<std::uint64_t>(lbaHigh & 0xFFFF) << 32 | lbaLow);
  if (sectors == 0 || sectors > 65536 || lbaHigh > 0xFFFF) return Refuse();
  Request r;
  r.direction = (command == 0x24 || command == 0x25) ? kx::kDirIn : kx::kDirOut;
  r.buffer = const_cast<void*>(buffer);
  r.length = sectors * 512;
  r.dma = isDmaCommand(command);
  r.is48 = true;
  return Send(r) == 0;
}

bool CDriveCommand::Tester(std::initializer_list<std::uint8_t> bytes, void* buffer, std::uint32_t length) {
  SetCdb(bytes);
  return SendCdb(m_DriveNo, m_Cdb, true, buffer, length, 0) == 0;
}

// JumpToBoot, EraseAllBlock and StartStatusPolling: three-path, and in tester-direct
// mode the rewritten block, with or without its zero sector.
bool CDriveCommand::FourPath(const Regs71& regs, std::uint32_t timeOut, bool testerData,
                             std::uint32_t testerTimeOut) {
  std::uint8_t zeros[512] = {};
  if (!kx::IsTesterDirectMode()) return Run(regs, zeros, sizeof zeros, SendPath::ThreePath, timeOut);
  Build71(regs);
  TranslateToSat(m_Cdb);
  if (testerTimeOut == kx::kTimeOutLong) testerTimeOut = kx::ReadScsiTimeOutMax();
  return SendCdb(m_DriveNo, m_Cdb, false, testerData ? zeros : nullptr, testerData ? sizeof zeros : 0,
                 testerTimeOut) == 0;
}

// ---------------------------------------------------------------- tester vendor commands

bool CDriveCommand::ReadUSBPage(void* buffer, std::uint32_t length) {
  if (buffer && length) std::memset(buffer, 0, length);
  return Tester({0x08, 0xF2, 0xA0}, buffer, length);
}

bool CDriveCommand::GetTesterFWVersion(void* buffer16, int) {
  return Tester({0x08, 0xF2, 0x50, 0x30, 0xFF, 0, 0, 0, 0, 0, 0, 0x01}, buffer16, 16);
}

bool CDriveCommand::Power_Ground_Short(void* buffer, std::uint32_t length) {
  return Tester({0x08, 0xF2, 0x99, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}, buffer, length);
}

bool CDriveCommand::CardDetect(void* buffer, std::uint32_t length) {
  SetCdb({0x08, 0xF2, 0x50, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x01});
  if (kx::IsBridgeMode()) {
    // The bridge answers with its 14-byte ATA status return descriptor.
    if (length < 14) return Refuse();
    TranslateToSat(m_Cdb);
    return SendCdb(m_DriveNo, m_Cdb, true, buffer, 14, 0) == 0;
  }
  if (kx::IsTesterDirectMode()) {
    if (length < 16) return Refuse();
    return SendCdb(m_DriveNo, m_Cdb, true, buffer, 16, 0) == 0;
  }
  // SATA port: there is no tester, so the drive is asked to enter vendor mode.
  const auto& s = kx::kVendorModeSignature;
  if (kx::AtaPassThroughOk(m_DriveNo)) {
    SetCdb({0x08, 0xF2, 0x71, 0x00, s[0], s[1], s[2], s[3], s[4], s[5]});
    return SendAtaPassThrough(m_DriveNo, 1, m_Cdb, kx::kDirNone, nullptr, 0, true, false, false, 0) == 0;
  }
  SetCdb({0xA1, 0x06, 0x00, 0x00, s[0], s[1], s[2], s[3], s[4], s[5]});
  return SendCdb(m_DriveNo, m_Cdb, false, nullptr, 0, 0) == 0;
}

bool CDriveCommand::PowerResetTester(std::uint8_t delay) {
  if (!Tester({0x08, 0xF2, 0x90, 0x80, 0x00, delay}, nullptr, 0)) return false;
  win::Sleep(100);
  return true;
}

bool CDriveCommand::PowerResetCard(std::uint8_t delay, std::uint8_t second, std::uint8_t switchBoard,
                                   bool production) {
  // Only a tester board can power-cycle the card.
  if (g_KX_U2A != 0) return true;
  return Tester({0x08, 0xF2, 0x85, delay, 0x00, second, switchBoard, 0x00, static_cast<std::uint8_t>(production)},
                nullptr, 0);
}

bool CDriveCommand::SetCardPower(std::uint8_t mode, std::uint8_t delay, std::uint8_t voltage,
                                 std::uint8_t switchBoard, int) {
  return Tester({0x08, 0xF2, 0x84, mode, delay, voltage, switchBoard, 0x00, 0x01}, nullptr, 0);
}

bool CDriveCommand::AdjustCardVoltage(std::uint8_t level) {
  std::uint8_t reply[16] = {};
  if (!Tester({0x08, 0xF2, 0x50, 0x18, level, 0, 0, 0, 0, 0, 0, 0x01}, reply, sizeof reply)) return false;
  return reply[10] == 0 && reply[11] == 0 && reply[12] == 0;
}

bool CDriveCommand::GetMaxCurrent(void* buffer, std::uint32_t length) {
  return Tester({0x08, 0xF2, 0x50, 0x24, 0x00, 0, 0, 0, 0, 0, 0, 0x01}, buffer, length);
}

bool CDriveCommand::GetCardCurrent(void* buffer, std::uint32_t length) {
  return Tester({0x08, 0xF2, 0x50, 0x20, 0x00, 0, 0, 0, 0, 0, 0, 0x01}, buffer, length);
}

bool CDriveCommand::ClearCurrentBuffer() {
  if (g_KX_U2A != 0) return true;  // the current record lives on the tester board
  std::uint8_t reply[16] = {};
  return Tester({0x08, 0xF2, 0x50, 0x24, 0x01, 0, 0, 0, 0, 0, 0, 0x01}, reply, sizeof reply);
}

bool CDriveCommand::GetICFWName(void* buffer16) {
  SetCdb({0x08, 0xF2, 0x50, 0x60, 0x01});
  if (kx::IsSataPortMode() && kx::AtaPassThroughOk(m_DriveNo)) {
    return SendAtaPassThrough(m_DriveNo, 1, m_Cdb, kx::kDirIn, buffer16, 16, true, true, true, 0) == 0;
  }
  return SendCdb(m_DriveNo, m_Cdb, true, buffer16, 16, 0) == 0;
}

bool CDriveCommand::DisableDEVSLP(std::uint8_t level) {
  SetCdb({0x08, 0xF2, 0x50, 0x05, level});
  Request r;
  r.is48 = true;
  return Send(r) == 0;
}

bool CDriveCommand::DEVSLP_IO_Control(bool on) {
  SetCdb({0x08, 0xF2, 0x50, 0x05, static_cast<std::uint8_t>(on)});
  if (g_KX_U2A == 0) return SendCdb(m_DriveNo, m_Cdb, true, nullptr, 0, 0) == 0;
  std::uint8_t reply[512] = {};
  TranslateToSat(m_Cdb);
  return SendCdb(m_DriveNo, m_Cdb, true, reply, 14, 0) == 0;
}

bool CDriveCommand::DEVSLP_SET_Feature(bool on) {
  SetCdb({0x08, 0xF2, 0x50, 0x06, static_cast<std::uint8_t>(on)});
  if (g_KX_U2A == 0) return SendCdb(m_DriveNo, m_Cdb, true, nullptr, 0, 0) == 0;
  std::uint8_t reply[512] = {};
  TranslateToSat(m_Cdb);
  return SendCdb(m_DriveNo, m_Cdb, true, reply, 14, 0) == 0;
}

bool CDriveCommand::TestUnitReady() { return Tester({}, nullptr, 0); }

// ---------------------------------------------------------------- ISP code and info code

bool CDriveCommand::EraseISPCode(void* buffer512) {
  return Run({.protocol = 0x01, .command = 0x21, .features = 0x46, .count = 1, .transfer = 1}, buffer512, 512,
             SendPath::ThreePath);
}

bool CDriveCommand::UpdateInfoCode(void* buffer512, bool read) {
  if (read) {
    return Run({.protocol = 0x01, .command = 0x21, .features = 0x29, .count = 1, .transfer = 1}, buffer512, 512,
               SendPath::ThreePath);
  }
  return Run({.protocol = 0x03, .command = 0x31, .features = 0x29, .count = 1, .lbaLow = 1, .transfer = 1},
             buffer512, 512, SendPath::ThreePath);
}

// ---------------------------------------------------------------- ATA command set

bool CDriveCommand::GetIdentify(void* buffer512) {
  Build71({.protocol = 0x01, .command = 0xEC, .count = 1, .device = 0x00, .transfer = 1});
  if (kx::IsTesterDirectMode()) {
    if (SendCdb(m_DriveNo, m_Cdb, true, buffer512, 512, 0) != 0) return false;
  } else {
    TranslateToSat(m_Cdb);
    if (kx::IsBridgeMode()) {
      if (SendCdb(m_DriveNo, m_Cdb, true, buffer512, 512, 0) != 0) return false;
    } else if (SendAtaPassThrough(m_DriveNo, 1, m_Cdb, kx::kDirIn, buffer512, 512, true, false, false, 0) == 0) {
      kx::SetAtaPassThroughOk(m_DriveNo, true);
    } else {
      if (SendCdb(m_DriveNo, m_Cdb, true, buffer512, 512, 0) != 0) return false;
      kx::SetAtaPassThroughOk(m_DriveNo, false);
    }
  }
  debugOutput(m_DriveNo, kx::AtaPassThroughOk(m_DriveNo) ? 1 : 0);
  return true;
}

namespace {
// Byte lengths become whole sectors; anything else is refused (sectors 0).
std::uint32_t sectorsOf(std::uint32_t length) { return length % 512 == 0 ? length / 512 : 0; }
}  // namespace

bool CDriveCommand::ReadSectors(void* buffer, std::uint32_t length, std::uint32_t lba) {
  return Ata28(0x20, kx::kProtoPioIn, sectorsOf(length), lba, 0xE0, buffer);
}
bool CDriveCommand::WriteSectors(const void* buffer, std::uint32_t length, std::uint32_t lba) {
  return Ata28(0x30, kx::kProtoPioOut, sectorsOf(length), lba, 0xE0, buffer);
}
bool CDriveCommand::ReadDma(void* buffer, std::uint32_t length, std::uint32_t lba) {
  return Ata28(0xC8, kx::kProtoDmaIn, sectorsOf(length), lba, 0xE0, buffer);
}
bool CDriveCommand::WriteDma(const void* buffer, std::uint32_t length, std::uint32_t lba) {
  return Ata28(0xCA, kx::kProtoDmaOut, sectorsOf(length), lba, 0xE0, buffer);
}
bool CDriveCommand::DMA_Read_DDR(void* buffer, std::uint32_t sectors, std::uint32_t address) {
  return Ata28(0xC8, kx::kProtoDmaIn, sectors, address, 0xE0, buffer);
}
bool CDriveCommand::DMA_Write_DDR(const void* buffer, std::uint32_t sectors, std::uint32_t address) {
  return Ata28(0xCA, kx::kProtoDmaOut, sectors, address, 0xE0, buffer);
}
bool CDriveCommand::ReadSectorsDma(void* buffer, std::uint32_t sectors, std::uint32_t lba) {
  return Ata28(0x20, kx::kProtoDmaIn, sectors, lba, 0xE0, buffer);
}
bool CDriveCommand::WriteSectorsDma(const void* buffer, std::uint32_t sectors, std::uint32_t lba) {
  return Ata28(0x30, kx::kProtoDmaOut, sectors, lba, 0xE0, buffer);
}

bool CDriveCommand::FLUSH_CACHE() { return Run({.command = 0xE7}, nullptr, 0, SendPath::ThreePath); }
bool CDriveCommand::StandBy_Imd() { return Run({.command = 0xE0}, nullptr, 0, SendPath::ThreePath); }

bool CDriveCommand::SMART_READ_DATA(void* buffer512) {
  return Run({.protocol = 0x01, .command = 0xB0, .features = 0xD0, .count = 1, .lbaMid = 0x4F, .lbaHigh = 0xC2,
              .transfer = 1},
             buffer512, 512, SendPath::ThreePath);
}
bool CDriveCommand::SMART_Return_Status() {
  return Run({.command = 0xB0, .features = 0xDA, .lbaMid = 0x4F, .lbaHigh = 0xC2}, nullptr, 0, SendPath::ThreePath);
}
bool CDriveCommand::WriteBuffer(const void* buffer512) {
  return Run({.protocol = 0x03, .command = 0xE8, .count = 1, .transfer = 1}, buffer512, 512, SendPath::ThreePath);
}
bool CDriveCommand::WriteBufferZero() {
  const std::uint8_t zeros[512] = {};
  return WriteBuffer(zeros);
}

bool CDriveCommand::DownLoadMicroCode(const void* buffer, std::uint16_t sectors, std::uint16_t offset) {
  return Run({.protocol = 0x03,
              .command = 0x92,
              .features = 0x03,
              .count = static_cast<std::uint8_t>(sectors),
              .lbaLow = static_cast<std::uint8_t>(sectors >> 8),
              .lbaMid = static_cast<std::uint8_t>(offset),
              .lbaHigh = static_cast<std::uint8_t>(offset >> 8),
              .transfer = static_cast<std::uint8_t>(sectors)},
             buffer, static_cast<std::uint32_t>(sectors) * 512, SendPath::DirectOnly);
}

bool CDriveCommand::SECURITY_SET_PASSWORD(const void* buffer512) {
  return Run({.protocol = 0x03, .command = 0xF1, .count = 1, .transfer = 1}, buffer512, 512, SendPath::DirectOnly);
}
bool CDriveCommand::SecurityUnlock(const void* buffer512) {
  return Run({.protocol = 0x03, .command = 0xF2, .count = 1, .transfer = 1}, buffer512, 512, SendPath::DirectOnly);
}
bool CDriveCommand::SECURITY_ERASE_PREPARE() { return Run({.command = 0xF3}, nullptr, 0, SendPath::DirectOnly); }
bool CDriveCommand::SECURITY_ERASE_UNIT(const void* buffer512) {
  return Run({.protocol = 0x09, .command = 0xF4, .count = 1, .lbaMid = 0x10, .transfer = 1}, buffer512, 512,
             SendPath::DirectOnly);
}
bool CDriveCommand::SecurityFreezeLock() { return Run({.command = 0xF5}, nullptr, 0, SendPath::DirectOnly); }
bool CDriveCommand::SecurityDisablePassword(const void* buffer512) {
  return Run({.protocol = 0x03, .command = 0xF6, .count = 1, .transfer = 1}, buffer512, 512, SendPath::DirectOnly);
}
bool CDriveCommand::DeviceConfigurationIdentify(void* buffer512) {
  return Run({.protocol = 0x01, .command = 0xB1, .features = 0xC2, .count = 1, .transfer = 1}, buffer512, 512,
             SendPath::DirectOnly);
}
bool CDriveCommand::DeviceConfigurationSet(const void* buffer512) {
  return Run({.protocol = 0x03, .command = 0xB1, .features = 0xC3, .count = 1, .transfer = 1}, buffer512, 512,
             SendPath::DirectOnly);
}

bool CDriveCommand::READ_NATIVE_MAX_ADDRESS() { return Run({.command = 0xF8}, nullptr, 0, SendPath::Raw); }

bool CDriveCommand::SET_MAX_ADDRESS(std::uint32_t lba, bool volatileFlag) {
  Build71({.command = 0xF9,
           .count = static_cast<std::uint8_t>(volatileFlag ? 0x00 : 0x01),
           .lbaLow = static_cast<std::uint8_t>(lba),
           .lbaMid = static_cast<std::uint8_t>(lba >> 8),
           .lbaHigh = static_cast<std::uint8_t>(lba >> 16),
           .device = static_cast<std::uint8_t>(0xE0 | ((lba >> 24) & 0x0F))});
  if (lba >= (1u << 28)) return Refuse();
  Request r;
  r.path = SendPath::Raw;
  return Send(r) == 0;
}

bool CDriveCommand::AtaNop() { return Run({.command = 0x00, .device = 0x00}, nullptr, 0, SendPath::Raw); }

bool CDriveCommand::ReadSectorsExt16(void* buffer, std::uint32_t sectors, std::uint32_t lbaLow,
                                     std::uint32_t lbaHigh) {
  return Ata48(0x24, sectors, lbaLow, lbaHigh, buffer);
}
bool CDriveCommand::WriteSectorsExt16(const void* buffer, std::uint32_t sectors, std::uint32_t lbaLow,
                                      std::uint32_t lbaHigh) {
  return Ata48(0x34, sectors, lbaLow, lbaHigh, buffer);
}
bool CDriveCommand::ReadDmaExt16(void* buffer, std::uint32_t sectors, std::uint32_t lbaLow, std::uint32_t lbaHigh) {
  return Ata48(0x25, sectors, lbaLow, lbaHigh, buffer);
}
bool CDriveCommand::WriteDmaExt16(const void* buffer, std::uint32_t sectors, std::uint32_t lbaLow,
                                  std::uint32_t lbaHigh) {
  return Ata48(0x35, sectors, lbaLow, lbaHigh, buffer);
}
bool CDriveCommand::ReadSectorsExt(void* buffer, std::uint32_t length, std::uint32_t lbaLow, std::uint32_t lbaHigh) {
  return Ata48(0x24, sectorsOf(length), lbaLow, lbaHigh, buffer);
}
bool CDriveCommand::WriteSectorsExt(const void* buffer, std::uint32_t length, std::uint32_t lbaLow,
                                    std::uint32_t lbaHigh) {
  return Ata48(0x34, sectorsOf(length), lbaLow, lbaHigh, buffer);
}
bool CDriveCommand::ReadDmaExt(void* buffer, std::uint32_t length, std::uint32_t lbaLow, std::uint32_t lbaHigh) {
  return Ata48(0x25, sectorsOf(length), lbaLow, lbaHigh, buffer);
}
bool CDriveCommand::WriteDmaExt(const void* buffer, std::uint32_t length, std::uint32_t lbaLow,
                                std::uint32_t lbaHigh) {
  return Ata48(0x35, sectorsOf(length), lbaLow, lbaHigh, buffer);
}

bool CDriveCommand::Inquiry(void* buffer50) {
  SetCdb({0x12, 0x00, 0x00, 0x00, 0x32});
  return SendCdb(m_DriveNo, m_Cdb, true, buffer50, 50, 0) == 0;
}

bool CDriveCommand::SatDeviceReset() {
  SetCdb({0x85, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x08});
  SendCdb(m_DriveNo, m_Cdb, false, nullptr, 0, 0);  // its result is not looked at
  std::uint8_t zeros[50] = {};
  SetCdb({0x85, 0x1E});
  return SendCdb(m_DriveNo, m_Cdb, false, zeros, sizeof zeros, 0) == 0;
}

// ---------------------------------------------------------------- controller vendor commands

int CDriveCommand::SetApKey(bool wantReply) {
  const auto& s = kx::kApKeySignature;  // count, LBA low, mid, high, device, command
  if (kx::IsTesterDirectMode()) {
    SetCdb({0x08, 0xF2, 0x71, 0x00, s[5], 0x00, s[0], s[1], s[2], s[3], s[4], static_cast<std::uint8_t>(wantReply)});
    if (!wantReply) return SendCdb(m_DriveNo, m_Cdb, false, nullptr, 0, 0) == 0 ? 1 : 0;
    std::uint8_t reply[16] = {};
    if (SendCdb(m_DriveNo, m_Cdb, true, reply, sizeof reply, 0) != 0) return 0;
    return reply[1] == 0x01 && reply[2] == 0x01 && reply[6] == 0x50 ? 1 : 2;
  }
  if (kx::IsSataPortMode() && kx::AtaPassThroughOk(m_DriveNo)) {
    SetCdb({0x08, 0xF2, 0x71, 0x00, s[0], s[1], s[2], s[3], s[4], s[5]});
    return SendAtaPassThrough(m_DriveNo, 1, m_Cdb, kx::kDirNone, nullptr, 0, true, false, false, 0) == 0 ? 1 : 0;
  }
  SetCdb({0xA1, 0x06, 0x00, 0x00, s[0], s[1], s[2], s[3], s[4], s[5]});
  return SendCdb(m_DriveNo, m_Cdb, false, nullptr, 0, 0) == 0 ? 1 : 0;
}

namespace {
constexpr std::uint8_t kVendorRead = 0x21;
constexpr std::uint8_t kVendorWrite = 0x31;
constexpr std::uint32_t kFlashIdTimeOut = 6;
constexpr std::uint32_t kJumpToBootTimeOut = 5;
std::uint8_t lo8(std::uint32_t v) { return static_cast<std::uint8_t>(v); }
std::uint8_t hi8(std::uint32_t v) { return static_cast<std::uint8_t>(v >> 8); }
std::uint32_t sectorsBytes(std::uint32_t n) { return n * 512; }
}  // namespace

// Vendor reads: protocol 01h, data in.
#define KX_VREAD(sub, ...) Regs71{.protocol = 0x01, .command = kVendorRead, .features = sub, __VA_ARGS__}

bool CDriveCommand::DirectReadSRAM(void* buffer, std::uint8_t n, std::uint8_t addressLow, std::uint8_t addressHigh) {
  return Run(KX_VREAD(0x12, .count = n, .lbaMid = addressLow, .lbaHigh = addressHigh, .transfer = n), buffer,
             sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::ISPReadPRAM_DDR(void* buffer, std::uint8_t n, std::uint8_t address) {
  return Run(KX_VREAD(0x12, .count = n, .lbaHigh = address, .transfer = n), buffer, sectorsBytes(n),
             SendPath::ThreePath);
}
bool CDriveCommand::GetSystemInfo(void* buffer, std::uint8_t n) {
  return Run(KX_VREAD(0x13, .count = n, .transfer = n), buffer, sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::GetFlashID(void* buffer512, std::uint8_t flashNo) {
  return Run(KX_VREAD(0x14, .count = 1, .lbaHigh = flashNo, .transfer = 1), buffer512, 512, SendPath::ThreePath,
             kFlashIdTimeOut);
}
bool CDriveCommand::ScanAllFlashID(void* buffer512) {
  return Run(KX_VREAD(0x15, .count = 1, .transfer = 1), buffer512, 512, SendPath::ThreePath, kFlashIdTimeOut);
}
bool CDriveCommand::ReadUniqueID(void* buffer512, std::uint8_t valueA, std::uint16_t valueB) {
  return Run(KX_VREAD(0x16, .count = 1, .lbaLow = lo8(valueB), .lbaMid = hi8(valueB), .lbaHigh = valueA,
                      .transfer = 1),
             buffer512, 512, SendPath::ThreePath);
}
bool CDriveCommand::DirectReadInfoBlock(void* buffer, std::uint8_t page) {
  const std::uint8_t n = page == 3 ? 2 : 1;
  return Run(KX_VREAD(0x28, .count = n, .lbaLow = page, .transfer = n), buffer, sectorsBytes(n),
             SendPath::ThreePath);
}
bool CDriveCommand::Vender_Check_CRC(void* buffer, std::uint8_t n) {
  return Run(KX_VREAD(0x30, .count = n, .transfer = n), buffer, sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::ISPVerifyFlash(void* buffer, std::uint8_t n, std::uint8_t valueA, std::uint8_t valueB) {
  return Run(KX_VREAD(0x31, .count = n, .lbaMid = valueA, .lbaHigh = valueB, .transfer = n), buffer,
             sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::ReadPreFormatResult(void* buffer512) {
  return Run(KX_VREAD(0x07, .count = 1, .lbaMid = 0x01, .transfer = 1), buffer512, 512, SendPath::ThreePath);
}
bool CDriveCommand::CacheReadFlash(void* buffer, std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t n) {
  return Run(KX_VREAD(0x11, .count = n, .lbaLow = c, .lbaMid = a, .lbaHigh = b, .transfer = n), buffer,
             sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::Get_RDT_BadBlock_Log(void* buffer, std::uint8_t b, std::uint16_t address, std::uint8_t n) {
  return Run(KX_VREAD(0x50, .count = n, .lbaLow = b, .lbaMid = lo8(address), .lbaHigh = hi8(address),
                      .transfer = n),
             buffer, sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::Get_RDT_Temperature_Time_Log(void* buffer, std::uint8_t b, std::uint16_t address,
                                                 std::uint8_t n) {
  return Run(KX_VREAD(0x51, .count = n, .lbaLow = b, .lbaMid = lo8(address), .lbaHigh = hi8(address),
                      .transfer = n),
             buffer, sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::Get_RDT_SDR_Log(void* buffer, std::uint8_t b, std::uint16_t address, std::uint8_t n) {
  return Run(KX_VREAD(0x52, .count = n, .lbaLow = b, .lbaMid = lo8(address), .lbaHigh = hi8(address),
                      .transfer = n),
             buffer, sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::Get_RDT_BadBlock_SpecialLog(void* buffer, std::uint8_t n, std::uint16_t address) {
  return Run(KX_VREAD(0x54, .count = n, .lbaMid = lo8(address), .lbaHigh = hi8(address), .transfer = 0x80), buffer,
             sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::Read4ByteReg(void* buffer512, std::uint8_t value) {
  return Run(KX_VREAD(0x61, .count = 1, .lbaMid = value, .transfer = 1), buffer512, 512, SendPath::ThreePath);
}
bool CDriveCommand::VendorRead72(void* buffer, std::uint8_t n) {
  return Run(KX_VREAD(0x72, .count = n, .transfer = n), buffer, sectorsBytes(n), SendPath::DirectOnly);
}
bool CDriveCommand::Get_ALLBadBlockCount_perCE(void* buffer512) {
  return Run(KX_VREAD(0x76, .count = 1, .transfer = 1), buffer512, 512, SendPath::ThreePath);
}
bool CDriveCommand::Get_ALLBadBlockAddress_perCE(void* buffer, std::uint8_t n) {
  return Run(KX_VREAD(0x77, .count = n, .transfer = n), buffer, sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::Get_LaterBadBlockCount_perCE(void* buffer512) {
  return Run(KX_VREAD(0x78, .count = 1, .transfer = 1), buffer512, 512, SendPath::ThreePath);
}
bool CDriveCommand::Get_LaterBadBlockAddress_perCE(void* buffer, std::uint8_t n) {
  return Run(KX_VREAD(0x79, .count = n, .transfer = n), buffer, sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::Get_EarlyBadBlockCount_perCE(void* buffer512) {
  return Run(KX_VREAD(0x7A, .count = 1, .transfer = 1), buffer512, 512, SendPath::DirectOnly);
}
bool CDriveCommand::Get_EarlyBadBlockAddress_perCE(void* buffer, std::uint8_t n) {
  return Run(KX_VREAD(0x7B, .count = n, .transfer = n), buffer, sectorsBytes(n), SendPath::DirectOnly);
}
bool CDriveCommand::Get_BurnerEarlyBadCount_perCE(void* buffer512) {
  return Run(KX_VREAD(0x7C, .count = 1, .transfer = 1), buffer512, 512, SendPath::DirectOnly);
}
bool CDriveCommand::Get_BurnerEarlyBadAddress_perCE(void* buffer, std::uint8_t n) {
  return Run(KX_VREAD(0x7D, .count = n, .transfer = n), buffer, sectorsBytes(n), SendPath::DirectOnly);
}
bool CDriveCommand::ReadBBT(void* buffer, std::uint8_t n, std::uint8_t selector, std::uint16_t value) {
  const std::uint16_t v = selector == 0 ? value : 0;
  return Run(KX_VREAD(0x7F, .count = n, .lbaLow = selector, .lbaMid = lo8(v), .lbaHigh = hi8(v), .transfer = n),
             buffer, sectorsBytes(n), SendPath::ThreePath, kx::kTimeOutLong, true);
}
bool CDriveCommand::Read3rdBBT(void* buffer, std::uint8_t n, std::uint8_t selector, std::uint16_t value) {
  return Run(KX_VREAD(0x47, .count = n, .lbaLow = selector, .lbaMid = lo8(value), .lbaHigh = hi8(value),
                      .transfer = n),
             buffer, sectorsBytes(n), SendPath::ThreePath, kx::kTimeOutLong);
}
bool CDriveCommand::ReadDebugInfo(void* buffer, std::uint8_t selector, std::uint8_t n, std::uint16_t value) {
  return Run(KX_VREAD(0x83, .count = n, .lbaLow = selector, .lbaMid = lo8(value), .lbaHigh = hi8(value),
                      .transfer = n),
             buffer, sectorsBytes(n), SendPath::ThreePath, kx::kTimeOutLong);
}
bool CDriveCommand::Vender_MaxBad_PerPlane(void* buffer512, bool flag) {
  return Run(KX_VREAD(0xA8, .count = 1, .lbaMid = static_cast<std::uint8_t>(flag), .transfer = 1), buffer512, 512,
             SendPath::ThreePath);
}
#undef KX_VREAD

// Vendor writes: data out, protocol 03h (09h for the long-running ones).
#define KX_VWRITE(proto, sub, ...) Regs71{.protocol = proto, .command = kVendorWrite, .features = sub, __VA_ARGS__}

bool CDriveCommand::VendorWrite00() {
  std::uint8_t sector[512] = {};
  std::memcpy(sector, kx::kVendorWrite00Marker.data(), kx::kVendorWrite00Marker.size());
  return Run(KX_VWRITE(0x03, 0x00, .count = 1, .transfer = 1), sector, 512, SendPath::Raw);
}
bool CDriveCommand::ResetCard() {
  const std::uint8_t zeros[512] = {};
  return Run(KX_VWRITE(0x09, 0x01, .count = 1, .lbaMid = 0x20, .transfer = 1), zeros, 512, SendPath::ThreePath);
}
bool CDriveCommand::Reset_Smart() {
  const std::uint8_t zeros[512] = {};
  return Run(KX_VWRITE(0x09, 0x02, .count = 1, .lbaMid = 0x20, .transfer = 1), zeros, 512, SendPath::ThreePath);
}
bool CDriveCommand::Vendor_UnLock_Forzen() {
  const std::uint8_t zeros[512] = {};
  return Run(KX_VWRITE(0x03, 0x05, .count = 1, .transfer = 1), zeros, 512, SendPath::DirectOnly);
}
bool CDriveCommand::SetCEMap(const void* buffer512) {
  return Run(KX_VWRITE(0x03, 0x06, .count = 1, .lbaMid = 0x01, .transfer = 1), buffer512, 512, SendPath::ThreePath);
}
bool CDriveCommand::PreFormat(const void* buffer, int mode, bool flag) {
  const std::uint8_t n = mode == 2 ? 1 : 2;
  const std::uint8_t high = mode == 0 ? 0x01 : mode == 1 ? 0x02 : 0x00;
  return Run(KX_VWRITE(0x09, 0x08, .count = n, .lbaLow = static_cast<std::uint8_t>(flag), .lbaMid = 0x10,
                       .lbaHigh = high, .transfer = n),
             buffer, sectorsBytes(n), SendPath::ThreePath, kx::kTimeOutLong);
}
bool CDriveCommand::JumpToBoot() {
  return FourPath(KX_VWRITE(0x09, 0x0F, .count = 1, .lbaMid = 0x20, .transfer = 1), kJumpToBootTimeOut, false,
                  kx::kTimeOutDefault);
}
bool CDriveCommand::CACHE_WRITE_FLASH(const void* buffer, std::uint8_t a, std::uint8_t b, std::uint8_t c,
                                      std::uint8_t n) {
  return Run(KX_VWRITE(0x03, 0x21, .count = n, .lbaLow = c, .lbaMid = a, .lbaHigh = b, .transfer = n), buffer,
             sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::DirectWriteSRAM(const void* buffer, std::uint8_t n, std::uint8_t addressLow,
                                    std::uint8_t addressHigh) {
  return Run(KX_VWRITE(0x03, 0x24, .count = n, .lbaMid = addressLow, .lbaHigh = addressHigh, .transfer = n), buffer,
             sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::DirectWriteInfoBlock(const void* buffer, std::uint8_t page) {
  const std::uint8_t n = page == 3 ? 4 : 1;
  return Run(KX_VWRITE(0x03, 0x25, .count = n, .lbaLow = page, .transfer = n), buffer, sectorsBytes(n),
             SendPath::ThreePath);
}
bool CDriveCommand::EraseAllBlock(std::uint8_t eraseType, bool flag) {
  return FourPath(KX_VWRITE(0x09, 0x26, .count = 1, .lbaLow = static_cast<std::uint8_t>(flag), .lbaMid = 0x20,
                            .lbaHigh = eraseType, .transfer = 1),
                  kx::kTimeOutLong, false, kx::kTimeOutLong);
}
bool CDriveCommand::DoCut_EFuse(std::uint8_t valueA, std::uint8_t valueB) {
  const std::uint8_t zeros[512] = {};
  return Run(KX_VWRITE(0x03, 0x27, .count = 1, .lbaLow = valueA, .lbaMid = valueB, .transfer = 1), zeros, 512,
             SendPath::Raw);
}
bool CDriveCommand::ISPProgramPRAM(const void* buffer, std::uint8_t n, bool flag) {
  return Run(KX_VWRITE(0x03, 0x40, .count = n, .lbaMid = static_cast<std::uint8_t>(flag), .transfer = n), buffer,
             sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::ISPProgramFlash() {
  const std::uint8_t zeros[512] = {};
  return Run(KX_VWRITE(0x09, 0x41, .count = 1, .lbaMid = 0x20, .transfer = 1), zeros, 512, SendPath::ThreePath);
}
bool CDriveCommand::Write3rdBBT(const void* buffer, std::uint8_t n, std::uint8_t selector, std::uint32_t byteOffset) {
  const std::uint32_t sector = byteOffset / 512;
  if (sector > 0xFFFF) {
    Build71(KX_VWRITE(0x03, 0x48, .count = n, .lbaLow = selector, .transfer = n));
    return Refuse();
  }
  return Run(KX_VWRITE(0x03, 0x48, .count = n, .lbaLow = selector, .lbaMid = lo8(sector), .lbaHigh = hi8(sector),
                       .transfer = n),
             buffer, sectorsBytes(n), SendPath::ThreePath, kx::kTimeOutLong);
}
bool CDriveCommand::DetectThermalSensor(std::uint8_t sensor) {
  return Run(KX_VWRITE(0x09, 0x52, .count = 1, .lbaMid = 0x20,
                       .device = static_cast<std::uint8_t>(0xA0 | (sensor & 0x0F)), .transfer = 1),
             nullptr, 0, SendPath::DirectOnly);
}
bool CDriveCommand::Write4ByteReg(const void* buffer512, std::uint8_t value) {
  return Run(KX_VWRITE(0x03, 0x60, .count = 1, .lbaMid = value, .transfer = 1), buffer512, 512, SendPath::ThreePath);
}
bool CDriveCommand::SendScanBadParameter(const void* buffer512) {
  return Run(KX_VWRITE(0x03, 0x70, .count = 1, .transfer = 1), buffer512, 512, SendPath::ThreePath);
}
bool CDriveCommand::SetScanBadParameter(const void* buffer512) {
  constexpr int kAttempts = 10;
  constexpr win::DWORD kPauseMs = 100;
  win::Sleep(kPauseMs);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (Run(KX_VWRITE(0x09, 0x70, .count = 1, .lbaMid = 0x10, .transfer = 1), buffer512, 512,
            SendPath::ThreePath)) {
      win::Sleep(kPauseMs);
      return true;
    }
    win::Sleep(kPauseMs);
  }
  return false;
}
bool CDriveCommand::Vender_Send_Seed(const void* buffer, std::uint8_t n) {
  return Run(KX_VWRITE(0x03, 0x80, .count = n, .transfer = n), buffer, sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::WriteBBT(const void* buffer, std::uint8_t n, std::uint8_t selector, std::uint32_t byteOffset) {
  const std::uint32_t sector = byteOffset / 512;
  if (sector > 0xFFFF) {
    Build71(KX_VWRITE(0x03, 0x81, .count = n, .lbaLow = selector, .transfer = n));
    return Refuse();
  }
  return Run(KX_VWRITE(0x03, 0x81, .count = n, .lbaLow = selector, .lbaMid = lo8(sector), .lbaHigh = hi8(sector),
                       .transfer = n),
             buffer, sectorsBytes(n), SendPath::ThreePath, kx::kTimeOutLong, true);
}
bool CDriveCommand::Vender_Send_Binfile(const void* buffer, std::uint8_t n, std::uint8_t chunk, bool lastChunk) {
  return Run(KX_VWRITE(0x03, 0x82, .count = n, .lbaMid = chunk, .lbaHigh = static_cast<std::uint8_t>(lastChunk),
                       .transfer = n),
             buffer, sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::VendorWriteA3() {
  const std::uint8_t zeros[512] = {};
  return Run(KX_VWRITE(0x09, 0xA3, .count = 1, .lbaMid = 0x10, .transfer = 1), zeros, 512, SendPath::Raw);
}
bool CDriveCommand::Vender_InitialPadAndDrive(const void* buffer1024, std::uint8_t value) {
  return Run(KX_VWRITE(0x03, 0xAA, .count = 2, .lbaHigh = value, .transfer = 1), buffer1024, 1024,
             SendPath::ThreePath);
}
bool CDriveCommand::Scan_SDLL(const void* buffer, std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t n) {
  return Run(KX_VWRITE(0x03, 0xAB, .count = n, .lbaLow = c, .lbaMid = a, .lbaHigh = b, .transfer = n), buffer,
             sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::ISPProgramPRAM_ICode(const void* buffer, std::uint8_t n, std::uint8_t valueA,
                                         std::uint8_t valueB) {
  return Run(KX_VWRITE(0x03, 0xBD, .count = n, .lbaMid = valueB, .lbaHigh = valueA, .transfer = n), buffer,
             sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::ISPVerifyPRAM_ICode(const void* buffer, std::uint8_t n, std::uint8_t valueA) {
  return Run(KX_VWRITE(0x03, 0xBE, .count = n, .lbaHigh = valueA, .transfer = n), buffer, sectorsBytes(n),
             SendPath::ThreePath);
}
bool CDriveCommand::StartStatusPolling() {
  return FourPath(KX_VWRITE(0x03, 0xCC, .count = 1, .transfer = 1), kx::kTimeOutDefault, true, kx::kTimeOutDefault);
}
#undef KX_VWRITE
