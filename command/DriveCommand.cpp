#include "command/DriveCommand.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "command/GetDevLibrary.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "protocol/KxSignatures.h"
#include "protocol/SatCdb.h"
#include "protocol/Sense.h"
#include "protocol/TaskFiles.h"
#include "protocol/TesterForms.h"

using kx::Regs71;
using kx::SendPath;
using namespace protocol;

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

// The status of a command that went well: ready, with or without seek complete.
bool isReady(std::uint8_t status) { return status == (kAtaStatusDrdy | kAtaStatusDsc) || status == kAtaStatusDrdy; }

int directionOf(std::uint8_t testerProtocol) {
  switch (testerProtocol) {
    case kTesterPioIn:
    case kTesterDmaIn:
      return kx::kDirIn;
    case kTesterPioOut:
    case kTesterPioOutLong:
    case kTesterDmaOut:
      return kx::kDirOut;
    default:
      return kx::kDirNone;
  }
}

// Commands that move their data by DMA; the ATA pass-through request must say so.
bool isDmaCommand(std::uint8_t command) {
  return command == kAtaReadDma || command == kAtaWriteDma || command == kAtaReadDmaExt || command == kAtaWriteDmaExt;
}

// A signature (count, LBA low, mid, high, device, command) as a non-data ATA
// PASS-THROUGH (12).
void signatureCdb(const std::array<std::uint8_t, 6>& s, std::uint8_t cdb[16]) {
  SatCdb c;
  c.protocol = kSatNonData;
  c.regs.count = s[0];
  c.regs.lbaLow = s[1];
  c.regs.lbaMid = s[2];
  c.regs.lbaHigh = s[3];
  c.regs.device = s[4];
  c.regs.command = s[5];
  std::memset(cdb, 0, 16);
  BuildSat12(c, cdb);
}

// The send loop of SendCdb and SendAtaPassThrough: open the drive (ten tries),
// build the request block, send it, close; a send failing with error 31 goes
// again 50 ms later, ten sends in all. True when a send succeeded; otherwise
// `result` is what the sender returns: kOpenFailed, faultResult for a fault
// inside the request, the OS error, or kRetriesExhausted. Result 1 thus means two
// things by design, ten error-31 results in a row and a fault inside a SCSI
// request (kScsiFault); m_LastError tells them apart (31 or 998).
template <class Block, class Build>
bool sendWithRetry(CDriveCommand& cmd, int driveNo, win::DWORD ioctl, Block& block, int faultResult, Build build,
                   int& result) {
  for (int attempt = 0; attempt < kSendTries; ++attempt) {
    win::HANDLE h = cmd.OpenDrive(driveNo);
    if (h == win::INVALID_HANDLE_VALUE) {
      cmd.m_LastError = win::GetLastError();
      result = kx::kOpenFailed;
      return false;
    }
    build();
    win::DWORD returned = 0;
    const win::BOOL ok = win::DeviceIoControl(h, ioctl, &block, sizeof block, &block, sizeof block, &returned, nullptr);
    // The OS error means something only after a failed request.
    cmd.m_LastError = ok ? 0 : win::GetLastError();
    if (!ok && cmd.m_LastError == 0) cmd.m_LastError = win::ERROR_GEN_FAILURE;
    cmd.CloseDrive(h);
    if (cmd.m_LastError == 0) return true;
    if (cmd.m_LastError == win::ERROR_NOACCESS) {
      result = faultResult;
      return false;
    }
    if (cmd.m_LastError != win::ERROR_GEN_FAILURE) {
      result = static_cast<int>(cmd.m_LastError);
      return false;
    }
    if (attempt + 1 < kSendTries) win::Sleep(kGenFailureRetryMs);
  }
  result = kx::kRetriesExhausted;
  return false;
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
  win::ScsiPassThroughDirectBlock block;
  auto build = [&] {
    BuildScsiPassThrough(&block, 16, cdb, direction, length, timeOutSec);
    block.Sptd.DataBuffer = length != 0 ? buffer : nullptr;
  };
  int result = 0;
  if (!sendWithRetry(*this, driveNo, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, block, kx::kScsiFault, build, result)) {
    return result;
  }
  // A SAT layer answers a CK_COND request that went well with CHECK CONDITION and
  // the registers: a success that returned them.
  AtaReturn regs;
  if (block.Sptd.ScsiStatus == kScsiCheckCondition &&
      FindCkCondSuccess(block.Sense, std::min<std::size_t>(block.Sptd.SenseInfoLength, sizeof block.Sense), regs)) {
    WriteReturnTaskFiles(regs, m_RetTaskFile, m_RetPrevTaskFile);
    return 0;
  }
  return block.Sptd.ScsiStatus;
}

void CDriveCommand::GetLastCommand(std::uint8_t* cdbOut16, std::uint32_t* lastError) const {
  if (cdbOut16) std::memcpy(cdbOut16, m_Cdb, sizeof m_Cdb);
  if (lastError) *lastError = m_LastError;
}

// ------------------------------------------------ translation and ATA pass-through

// The rewrite of the tester's forms (protocol/TesterForms.h) into SAT ATA
// PASS-THROUGH (protocol/SatCdb.h):
//   71  (12), PROTOCOL and the transfer flags from the tester's protocol
//   48  (16) with EXTEND, PROTOCOL implied by the command, DEVICE the LBA bit
//   50  (12) asking for the response information (the card detect); a
//       sub-command adds its parameter as FEATURES and SET FEATURES
// Where ATA pass-through works, 48 and 50 stay: they go as task files.
void CDriveCommand::TranslateToSat(std::uint8_t* c) {
  if (c[0] != kTesterOpcode || c[1] != kTesterFamily) return;
  constexpr std::uint8_t kBlocksIn = kSatTDirIn | kSatBytBlok | kSatTLengthCount;
  constexpr std::uint8_t kBlocksOut = kSatBytBlok | kSatTLengthCount;
  const bool ataPtOk = kx::AtaPassThroughOk(m_DriveNo);
  std::uint8_t out[16] = {};
  SatCdb sat;
  switch (c[2]) {
    case kTesterAta28: {
      Tester71 form;
      ParseTester71(c, kTesterFormLength, form);
      sat.regs = form.regs;
      switch (form.protocol) {
        case kTesterNonData:
          sat.protocol = kSatNonData;
          // A transfer byte asks for the register reply, counted in place of COUNT.
          if (form.transfer != 0) {
            sat.flags = kBlocksIn;
            sat.regs.count = form.transfer;
          }
          break;
        case kTesterPioIn: sat.protocol = kSatPioIn; sat.flags = kBlocksIn; break;
        case kTesterPioOut:
        case kTesterPioOutLong: sat.protocol = kSatPioOut; sat.flags = kBlocksOut; break;
        case kTesterDmaIn: sat.protocol = kSatUdmaIn; sat.flags = kBlocksIn; break;
        case kTesterDmaOut: sat.protocol = kSatUdmaOut; sat.flags = kBlocksOut; break;
        default: sat.protocol = kSatHardReset; break;  // an unknown protocol: PROTOCOL 0, no transfer
      }
      BuildSat12(sat, out);
      break;
    }
    case kTesterSubCommand:
      if (ataPtOk) return;
      sat.protocol = kSatResponseInfo;
      sat.flags = kSatCkCond | kBlocksIn;
      sat.regs.count = 1;
      if (c[kTesterSubCommandByte] != 0) {
        sat.regs.features = c[kTesterParameterByte];
        sat.regs.command = kAtaSetFeatures;
      }
      BuildSat12(sat, out);
      break;
    case kTesterAta48:
      if (ataPtOk) return;
      ParseTester48(c, kTesterFormLength, sat.regs);
      // Without the LBA bit a drive (or a SAT layer that passes the register on)
      // takes the address for cylinder/head/sector.
      sat.regs.device = kAtaDeviceLba;
      sat.extend = true;
      switch (sat.regs.command) {
        case kAtaNop: sat.protocol = kSatNonData; break;
        case kAtaReadSectorsExt: sat.protocol = kSatPioIn; sat.flags = kBlocksIn; break;
        case kAtaWriteSectorsExt: sat.protocol = kSatPioOut; sat.flags = kBlocksOut; break;
        case kAtaReadDmaExt: sat.protocol = kSatUdmaIn; sat.flags = kBlocksIn; break;
        case kAtaWriteDmaExt: sat.protocol = kSatUdmaOut; sat.flags = kBlocksOut; break;
        default:  // an unknown command: PROTOCOL 0, no EXTEND, no transfer
          sat.protocol = kSatHardReset;
          sat.extend = false;
          break;
      }
      BuildSat16(sat, out);
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
  // A 48-bit command comes in the tester's 48 form (or a 50 form read as one) and
  // gets the LBA bit; a 28-bit one as rewritten, with the (12) form's registers.
  AtaTaskFile regs;
  if (is48) {
    ParseTester48(c, kTesterFormLength, regs);
    regs.device = kAtaDeviceLba;
  } else {
    regs = Sat12Registers(c);
  }
  // Task files: features, count, LBA low, mid, high, device, command, reserved;
  // the previous one repeats the command.
  const std::uint8_t cur[8] = {regs.features, regs.count,  regs.lbaLow,  regs.lbaMid,
                               regs.lbaHigh,  regs.device, regs.command, 0};
  std::uint8_t prev[8] = {};
  if (is48) {
    const std::uint8_t p48[8] = {
        regs.featuresExp, regs.countExp, regs.lbaLowExp, regs.lbaMidExp, regs.lbaHighExp, 0, regs.command, 0};
    std::memcpy(prev, p48, 8);
  }
  if (timeOutSec == 0) timeOutSec = kx::ReadScsiTimeOut();
  std::memset(m_RetTaskFile, 0, sizeof m_RetTaskFile);
  std::memset(m_RetPrevTaskFile, 0, sizeof m_RetPrevTaskFile);

  std::uint16_t flags = win::ATA_FLAGS_DRDY_REQUIRED;
  if (direction == kx::kDirIn) flags |= win::ATA_FLAGS_DATA_IN;
  if (direction == kx::kDirOut) flags |= win::ATA_FLAGS_DATA_OUT;
  if (dma && direction != kx::kDirNone) flags |= win::ATA_FLAGS_USE_DMA;
  if (is48) flags |= win::ATA_FLAGS_48BIT_COMMAND;

  auto build = [&] {
    BuildAtaPassThrough(prev, cur, flags, length, timeOutSec, is48);
    m_AtaPt.DataBuffer = length != 0 ? buffer : nullptr;
  };
  int result = 0;
  if (!sendWithRetry(*this, driveNo, win::IOCTL_ATA_PASS_THROUGH_DIRECT, m_AtaPt, kx::kAtaFault, build, result)) {
    return result;
  }
  std::memcpy(m_RetTaskFile, m_AtaPt.CurrentTaskFile, 7);
  if (is48) std::memcpy(m_RetPrevTaskFile, m_AtaPt.PreviousTaskFile, 7);
  const std::uint8_t status = m_RetTaskFile[6];
  if (isReady(status)) return 0;
  // Status 00h means nobody answered; it must not read as success.
  return status == 0 ? kx::kAtaNoStatus : status;
}

int CDriveCommand::ProbeVendorMode(bool checkRegisters) {
  const auto& sig = kx::kVendorModeSignature;
  // A 71 form whose bytes 3-9 are the (12) form's registers, as the sender reads them.
  SetCdb({kTesterOpcode, kTesterFamily, kTesterAta28, 0x00, sig[0], sig[1], sig[2], sig[3], sig[4], sig[5]});
  if (SendAtaPassThrough(m_DriveNo, 1, m_Cdb, kx::kDirNone, nullptr, 0, true, false, false, 0) != 0) return 0;
  if (!isReady(m_RetTaskFile[6])) return 0;
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
  Tester71 form;
  form.protocol = r.protocol;
  form.regs.command = r.command;
  form.regs.features = r.features;
  form.regs.count = r.count;
  form.regs.lbaLow = r.lbaLow;
  form.regs.lbaMid = r.lbaMid;
  form.regs.lbaHigh = r.lbaHigh;
  form.regs.device = r.device;
  form.transfer = r.transfer;
  std::memset(m_Cdb, 0, sizeof m_Cdb);
  BuildTester71(form, m_Cdb);
}

void CDriveCommand::Build48(std::uint8_t command, std::uint32_t sectors, std::uint64_t lba) {
  AtaTaskFile regs;
  regs.command = command;
  regs.count = static_cast<std::uint8_t>(sectors);  // 65536 travels as 0
  regs.countExp = static_cast<std::uint8_t>(sectors >> 8);
  regs.lbaLow = static_cast<std::uint8_t>(lba);
  regs.lbaMid = static_cast<std::uint8_t>(lba >> 8);
  regs.lbaHigh = static_cast<std::uint8_t>(lba >> 16);
  regs.lbaLowExp = static_cast<std::uint8_t>(lba >> 24);
  regs.lbaMidExp = static_cast<std::uint8_t>(lba >> 32);
  regs.lbaHighExp = static_cast<std::uint8_t>(lba >> 40);
  std::memset(m_Cdb, 0, sizeof m_Cdb);
  BuildTester48(regs, m_Cdb);
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
  r.direction = (command == kAtaReadSectorsExt || command == kAtaReadDmaExt) ? kx::kDirIn : kx::kDirOut;
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
    SetCdb({kTesterOpcode, kTesterFamily, kTesterAta28, 0x00, s[0], s[1], s[2], s[3], s[4], s[5]});
    return SendAtaPassThrough(m_DriveNo, 1, m_Cdb, kx::kDirNone, nullptr, 0, true, false, false, 0) == 0;
  }
  signatureCdb(s, m_Cdb);
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
  return Run({.protocol = kTesterPioIn, .command = kVendorRead, .features = 0x46, .count = 1, .transfer = 1}, buffer512,
             512, SendPath::ThreePath);
}

bool CDriveCommand::UpdateInfoCode(void* buffer512, bool read) {
  if (read) {
    return Run({.protocol = kTesterPioIn, .command = kVendorRead, .features = 0x29, .count = 1, .transfer = 1},
               buffer512, 512, SendPath::ThreePath);
  }
  return Run(
      {.protocol = kTesterPioOut, .command = kVendorWrite, .features = 0x29, .count = 1, .lbaLow = 1, .transfer = 1},
      buffer512, 512, SendPath::ThreePath);
}

// ---------------------------------------------------------------- ATA command set

bool CDriveCommand::GetIdentify(void* buffer512) {
  Build71({.protocol = kTesterPioIn, .command = kAtaIdentifyDevice, .count = 1, .device = 0x00, .transfer = 1});
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
  return Ata28(kAtaReadSectors, kTesterPioIn, sectorsOf(length), lba, 0xE0, buffer);
}
bool CDriveCommand::WriteSectors(const void* buffer, std::uint32_t length, std::uint32_t lba) {
  return Ata28(kAtaWriteSectors, kTesterPioOut, sectorsOf(length), lba, 0xE0, buffer);
}
bool CDriveCommand::ReadDma(void* buffer, std::uint32_t length, std::uint32_t lba) {
  return Ata28(kAtaReadDma, kTesterDmaIn, sectorsOf(length), lba, 0xE0, buffer);
}
bool CDriveCommand::WriteDma(const void* buffer, std::uint32_t length, std::uint32_t lba) {
  return Ata28(kAtaWriteDma, kTesterDmaOut, sectorsOf(length), lba, 0xE0, buffer);
}
bool CDriveCommand::DMA_Read_DDR(void* buffer, std::uint32_t sectors, std::uint32_t address) {
  return Ata28(kAtaReadDma, kTesterDmaIn, sectors, address, 0xE0, buffer);
}
bool CDriveCommand::DMA_Write_DDR(const void* buffer, std::uint32_t sectors, std::uint32_t address) {
  return Ata28(kAtaWriteDma, kTesterDmaOut, sectors, address, 0xE0, buffer);
}
bool CDriveCommand::ReadSectorsDma(void* buffer, std::uint32_t sectors, std::uint32_t lba) {
  return Ata28(kAtaReadSectors, kTesterDmaIn, sectors, lba, 0xE0, buffer);
}
bool CDriveCommand::WriteSectorsDma(const void* buffer, std::uint32_t sectors, std::uint32_t lba) {
  return Ata28(kAtaWriteSectors, kTesterDmaOut, sectors, lba, 0xE0, buffer);
}

bool CDriveCommand::FLUSH_CACHE() { return Run({.command = kAtaFlushCache}, nullptr, 0, SendPath::ThreePath); }
bool CDriveCommand::StandBy_Imd() { return Run({.command = kAtaStandbyImmediate}, nullptr, 0, SendPath::ThreePath); }

namespace {
// A SMART sub-command that reads one 512-byte page.
Regs71 smartRead(std::uint8_t feature) {
  return {.protocol = kTesterPioIn,
          .command = kAtaSmart,
          .features = feature,
          .count = 1,
          .lbaMid = 0x4F,
          .lbaHigh = 0xC2,
          .transfer = 1};
}
}  // namespace

bool CDriveCommand::SMART_READ_DATA(void* buffer512) {
  return Run(smartRead(0xD0), buffer512, 512, SendPath::ThreePath);
}
bool CDriveCommand::SMART_READ_THRESHOLDS(void* buffer512) {
  return Run(smartRead(0xD1), buffer512, 512, SendPath::ThreePath);
}
// The verdict comes back in LBA mid/high, so every path asks for the registers:
// the tester's register reply (transfer byte 1), CK_COND in the SAT rewrite, the
// task file through ATA pass-through.
bool CDriveCommand::SMART_Return_Status() {
  std::memset(m_RetTaskFile, 0, sizeof m_RetTaskFile);
  std::memset(m_RetPrevTaskFile, 0, sizeof m_RetPrevTaskFile);
  const Regs71 regs{.command = kAtaSmart, .features = 0xDA, .lbaMid = 0x4F, .lbaHigh = 0xC2};
  if (kx::IsTesterDirectMode()) {
    Regs71 withReply = regs;
    withReply.transfer = 1;
    Build71(withReply);
    std::uint8_t reply[kTesterReplyLength] = {};
    if (SendCdb(m_DriveNo, m_Cdb, true, reply, sizeof reply, 0) != 0) return false;
    AtaReturn r;
    ParseTester71Reply(reply, sizeof reply, r);
    WriteReturnTaskFiles(r, m_RetTaskFile, m_RetPrevTaskFile);
    return true;
  }
  Build71(regs);
  TranslateToSat(m_Cdb);
  if (kx::IsSataPortMode() && kx::AtaPassThroughOk(m_DriveNo))
    return SendAtaPassThrough(m_DriveNo, 1, m_Cdb, kx::kDirNone, nullptr, 0, true, false, false, 0) == 0;
  m_Cdb[2] |= kSatCkCond;
  return SendCdb(m_DriveNo, m_Cdb, false, nullptr, 0, 0) == 0;
}
bool CDriveCommand::WriteBuffer(const void* buffer512) {
  return Run({.protocol = kTesterPioOut, .command = kAtaWriteBuffer, .count = 1, .transfer = 1}, buffer512, 512,
             SendPath::ThreePath);
}
bool CDriveCommand::WriteBufferZero() {
  const std::uint8_t zeros[512] = {};
  return WriteBuffer(zeros);
}

bool CDriveCommand::DownLoadMicroCode(const void* buffer, std::uint16_t sectors, std::uint16_t offset) {
  return Run({.protocol = kTesterPioOut,
              .command = kAtaDownloadMicrocode,
              .features = 0x03,
              .count = static_cast<std::uint8_t>(sectors),
              .lbaLow = static_cast<std::uint8_t>(sectors >> 8),
              .lbaMid = static_cast<std::uint8_t>(offset),
              .lbaHigh = static_cast<std::uint8_t>(offset >> 8),
              .transfer = static_cast<std::uint8_t>(sectors)},
             buffer, static_cast<std::uint32_t>(sectors) * 512, SendPath::DirectOnly);
}

bool CDriveCommand::SECURITY_SET_PASSWORD(const void* buffer512) {
  return Run({.protocol = kTesterPioOut, .command = kAtaSecuritySetPassword, .count = 1, .transfer = 1}, buffer512, 512,
             SendPath::DirectOnly);
}
bool CDriveCommand::SecurityUnlock(const void* buffer512) {
  return Run({.protocol = kTesterPioOut, .command = kAtaSecurityUnlock, .count = 1, .transfer = 1}, buffer512, 512,
             SendPath::DirectOnly);
}
bool CDriveCommand::SECURITY_ERASE_PREPARE() {
  return Run({.command = kAtaSecurityErasePrepare}, nullptr, 0, SendPath::DirectOnly);
}
bool CDriveCommand::SECURITY_ERASE_UNIT(const void* buffer512) {
  return Run(
      {.protocol = kTesterPioOutLong, .command = kAtaSecurityEraseUnit, .count = 1, .lbaMid = 0x10, .transfer = 1},
      buffer512, 512, SendPath::DirectOnly);
}
bool CDriveCommand::SecurityFreezeLock() {
  return Run({.command = kAtaSecurityFreezeLock}, nullptr, 0, SendPath::DirectOnly);
}
bool CDriveCommand::SecurityDisablePassword(const void* buffer512) {
  return Run({.protocol = kTesterPioOut, .command = kAtaSecurityDisablePassword, .count = 1, .transfer = 1}, buffer512,
             512, SendPath::DirectOnly);
}
bool CDriveCommand::DeviceConfigurationIdentify(void* buffer512) {
  return Run(
      {.protocol = kTesterPioIn, .command = kAtaDeviceConfiguration, .features = 0xC2, .count = 1, .transfer = 1},
      buffer512, 512, SendPath::DirectOnly);
}
bool CDriveCommand::DeviceConfigurationSet(const void* buffer512) {
  return Run(
      {.protocol = kTesterPioOut, .command = kAtaDeviceConfiguration, .features = 0xC3, .count = 1, .transfer = 1},
      buffer512, 512, SendPath::DirectOnly);
}

bool CDriveCommand::READ_NATIVE_MAX_ADDRESS() { return Run({.command = kAtaReadNativeMax}, nullptr, 0, SendPath::Raw); }

bool CDriveCommand::SET_MAX_ADDRESS(std::uint32_t lba, bool volatileFlag) {
  Build71({.command = kAtaSetMax,
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

bool CDriveCommand::AtaNop() { return Run({.command = kAtaNop, .device = 0x00}, nullptr, 0, SendPath::Raw); }

bool CDriveCommand::ReadSectorsExt16(void* buffer, std::uint32_t sectors, std::uint32_t lbaLow,
                                     std::uint32_t lbaHigh) {
  return Ata48(kAtaReadSectorsExt, sectors, lbaLow, lbaHigh, buffer);
}
bool CDriveCommand::WriteSectorsExt16(const void* buffer, std::uint32_t sectors, std::uint32_t lbaLow,
                                      std::uint32_t lbaHigh) {
  return Ata48(kAtaWriteSectorsExt, sectors, lbaLow, lbaHigh, buffer);
}
bool CDriveCommand::ReadDmaExt16(void* buffer, std::uint32_t sectors, std::uint32_t lbaLow, std::uint32_t lbaHigh) {
  return Ata48(kAtaReadDmaExt, sectors, lbaLow, lbaHigh, buffer);
}
bool CDriveCommand::WriteDmaExt16(const void* buffer, std::uint32_t sectors, std::uint32_t lbaLow,
                                  std::uint32_t lbaHigh) {
  return Ata48(kAtaWriteDmaExt, sectors, lbaLow, lbaHigh, buffer);
}
bool CDriveCommand::ReadSectorsExt(void* buffer, std::uint32_t length, std::uint32_t lbaLow, std::uint32_t lbaHigh) {
  return Ata48(kAtaReadSectorsExt, sectorsOf(length), lbaLow, lbaHigh, buffer);
}
bool CDriveCommand::WriteSectorsExt(const void* buffer, std::uint32_t length, std::uint32_t lbaLow,
                                    std::uint32_t lbaHigh) {
  return Ata48(kAtaWriteSectorsExt, sectorsOf(length), lbaLow, lbaHigh, buffer);
}
bool CDriveCommand::ReadDmaExt(void* buffer, std::uint32_t length, std::uint32_t lbaLow, std::uint32_t lbaHigh) {
  return Ata48(kAtaReadDmaExt, sectorsOf(length), lbaLow, lbaHigh, buffer);
}
bool CDriveCommand::WriteDmaExt(const void* buffer, std::uint32_t length, std::uint32_t lbaLow,
                                std::uint32_t lbaHigh) {
  return Ata48(kAtaWriteDmaExt, sectorsOf(length), lbaLow, lbaHigh, buffer);
}

bool CDriveCommand::Inquiry(void* buffer50) {
  SetCdb({0x12, 0x00, 0x00, 0x00, 0x32});
  return SendCdb(m_DriveNo, m_Cdb, true, buffer50, 50, 0) == 0;
}

bool CDriveCommand::SatDeviceReset() {
  SatCdb reset;
  reset.protocol = kSatDeviceReset;
  reset.regs.command = kAtaDeviceReset;
  std::memset(m_Cdb, 0, sizeof m_Cdb);
  BuildSat16(reset, m_Cdb);
  SendCdb(m_DriveNo, m_Cdb, false, nullptr, 0, 0);  // its result is not looked at
  std::uint8_t zeros[50] = {};
  SatCdb info;
  info.protocol = kSatResponseInfo;
  BuildSat16(info, m_Cdb);
  return SendCdb(m_DriveNo, m_Cdb, false, zeros, sizeof zeros, 0) == 0;
}

// ---------------------------------------------------------------- controller vendor commands

int CDriveCommand::SetApKey(bool wantReply) {
  const auto& s = kx::kApKeySignature;  // count, LBA low, mid, high, device, command
  if (kx::IsTesterDirectMode()) {
    Build71({.protocol = kTesterNonData, .command = s[5], .count = s[0], .lbaLow = s[1], .lbaMid = s[2],
             .lbaHigh = s[3], .device = s[4], .transfer = static_cast<std::uint8_t>(wantReply)});
    if (!wantReply) return SendCdb(m_DriveNo, m_Cdb, false, nullptr, 0, 0) == 0 ? 1 : 0;
    std::uint8_t reply[kTesterReplyLength] = {};
    AtaReturn r;
    if (SendCdb(m_DriveNo, m_Cdb, true, reply, sizeof reply, 0) != 0 || !ParseTester71Reply(reply, sizeof reply, r))
      return 0;
    return r.count == 0x01 && r.lbaLow == 0x01 && r.status == (kAtaStatusDrdy | kAtaStatusDsc) ? 1 : 2;
  }
  if (kx::IsSataPortMode() && kx::AtaPassThroughOk(m_DriveNo)) {
    SetCdb({kTesterOpcode, kTesterFamily, kTesterAta28, 0x00, s[0], s[1], s[2], s[3], s[4], s[5]});
    return SendAtaPassThrough(m_DriveNo, 1, m_Cdb, kx::kDirNone, nullptr, 0, true, false, false, 0) == 0 ? 1 : 0;
  }
  signatureCdb(s, m_Cdb);
  return SendCdb(m_DriveNo, m_Cdb, false, nullptr, 0, 0) == 0 ? 1 : 0;
}

namespace {
constexpr std::uint32_t kFlashIdTimeOut = 6;
constexpr std::uint32_t kJumpToBootTimeOut = 5;
std::uint8_t lo8(std::uint32_t v) { return static_cast<std::uint8_t>(v); }
std::uint8_t hi8(std::uint32_t v) { return static_cast<std::uint8_t>(v >> 8); }
std::uint32_t sectorsBytes(std::uint32_t n) { return n * 512; }
}  // namespace

// Vendor reads: PIO in.
#define KX_VREAD(sub, ...) Regs71{.protocol = kTesterPioIn, .command = kVendorRead, .features = sub, __VA_ARGS__}

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

// Vendor writes: PIO out (the long form for the long-running ones).
#define KX_VWRITE(sub, ...) Regs71{.protocol = kTesterPioOut, .command = kVendorWrite, .features = sub, __VA_ARGS__}
#define KX_VWRITE_LONG(sub, ...) \
  Regs71{.protocol = kTesterPioOutLong, .command = kVendorWrite, .features = sub, __VA_ARGS__}

bool CDriveCommand::VendorWrite00() {
  std::uint8_t sector[512] = {};
  std::memcpy(sector, kx::kVendorWrite00Marker.data(), kx::kVendorWrite00Marker.size());
  return Run(KX_VWRITE(0x00, .count = 1, .transfer = 1), sector, 512, SendPath::Raw);
}
bool CDriveCommand::ResetCard() {
  const std::uint8_t zeros[512] = {};
  return Run(KX_VWRITE_LONG(0x01, .count = 1, .lbaMid = 0x20, .transfer = 1), zeros, 512, SendPath::ThreePath);
}
bool CDriveCommand::Reset_Smart() {
  const std::uint8_t zeros[512] = {};
  return Run(KX_VWRITE_LONG(0x02, .count = 1, .lbaMid = 0x20, .transfer = 1), zeros, 512, SendPath::ThreePath);
}
bool CDriveCommand::Vendor_UnLock_Forzen() {
  const std::uint8_t zeros[512] = {};
  return Run(KX_VWRITE(0x05, .count = 1, .transfer = 1), zeros, 512, SendPath::DirectOnly);
}
bool CDriveCommand::SetCEMap(const void* buffer512) {
  return Run(KX_VWRITE(0x06, .count = 1, .lbaMid = 0x01, .transfer = 1), buffer512, 512, SendPath::ThreePath);
}
bool CDriveCommand::PreFormat(const void* buffer, int mode, bool flag) {
  const std::uint8_t n = mode == 2 ? 1 : 2;
  const std::uint8_t high = mode == 0 ? 0x01 : mode == 1 ? 0x02 : 0x00;
  return Run(KX_VWRITE_LONG(0x08, .count = n, .lbaLow = static_cast<std::uint8_t>(flag), .lbaMid = 0x10,
                       .lbaHigh = high, .transfer = n),
             buffer, sectorsBytes(n), SendPath::ThreePath, kx::kTimeOutLong);
}
bool CDriveCommand::JumpToBoot() {
  return FourPath(KX_VWRITE_LONG(0x0F, .count = 1, .lbaMid = 0x20, .transfer = 1), kJumpToBootTimeOut, false,
                  kx::kTimeOutDefault);
}
bool CDriveCommand::CACHE_WRITE_FLASH(const void* buffer, std::uint8_t a, std::uint8_t b, std::uint8_t c,
                                      std::uint8_t n) {
  return Run(KX_VWRITE(0x21, .count = n, .lbaLow = c, .lbaMid = a, .lbaHigh = b, .transfer = n), buffer,
             sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::DirectWriteSRAM(const void* buffer, std::uint8_t n, std::uint8_t addressLow,
                                    std::uint8_t addressHigh) {
  return Run(KX_VWRITE(0x24, .count = n, .lbaMid = addressLow, .lbaHigh = addressHigh, .transfer = n), buffer,
             sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::DirectWriteInfoBlock(const void* buffer, std::uint8_t page) {
  const std::uint8_t n = page == 3 ? 4 : 1;
  return Run(KX_VWRITE(0x25, .count = n, .lbaLow = page, .transfer = n), buffer, sectorsBytes(n),
             SendPath::ThreePath);
}
bool CDriveCommand::EraseAllBlock(std::uint8_t eraseType, bool flag) {
  return FourPath(KX_VWRITE_LONG(0x26, .count = 1, .lbaLow = static_cast<std::uint8_t>(flag), .lbaMid = 0x20,
                            .lbaHigh = eraseType, .transfer = 1),
                  kx::kTimeOutLong, false, kx::kTimeOutLong);
}
bool CDriveCommand::DoCut_EFuse(std::uint8_t valueA, std::uint8_t valueB) {
  const std::uint8_t zeros[512] = {};
  return Run(KX_VWRITE(0x27, .count = 1, .lbaLow = valueA, .lbaMid = valueB, .transfer = 1), zeros, 512,
             SendPath::Raw);
}
bool CDriveCommand::ISPProgramPRAM(const void* buffer, std::uint8_t n, bool flag) {
  return Run(KX_VWRITE(0x40, .count = n, .lbaMid = static_cast<std::uint8_t>(flag), .transfer = n), buffer,
             sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::ISPProgramFlash() {
  const std::uint8_t zeros[512] = {};
  return Run(KX_VWRITE_LONG(0x41, .count = 1, .lbaMid = 0x20, .transfer = 1), zeros, 512, SendPath::ThreePath);
}
bool CDriveCommand::Write3rdBBT(const void* buffer, std::uint8_t n, std::uint8_t selector, std::uint32_t byteOffset) {
  const std::uint32_t sector = byteOffset / 512;
  if (sector > 0xFFFF) {
    Build71(KX_VWRITE(0x48, .count = n, .lbaLow = selector, .transfer = n));
    return Refuse();
  }
  return Run(KX_VWRITE(0x48, .count = n, .lbaLow = selector, .lbaMid = lo8(sector), .lbaHigh = hi8(sector),
                       .transfer = n),
             buffer, sectorsBytes(n), SendPath::ThreePath, kx::kTimeOutLong);
}
bool CDriveCommand::DetectThermalSensor(std::uint8_t sensor) {
  return Run(KX_VWRITE_LONG(0x52, .count = 1, .lbaMid = 0x20,
                       .device = static_cast<std::uint8_t>(0xA0 | (sensor & 0x0F)), .transfer = 1),
             nullptr, 0, SendPath::DirectOnly);
}
bool CDriveCommand::Write4ByteReg(const void* buffer512, std::uint8_t value) {
  return Run(KX_VWRITE(0x60, .count = 1, .lbaMid = value, .transfer = 1), buffer512, 512, SendPath::ThreePath);
}
bool CDriveCommand::SendScanBadParameter(const void* buffer512) {
  return Run(KX_VWRITE(0x70, .count = 1, .transfer = 1), buffer512, 512, SendPath::ThreePath);
}
bool CDriveCommand::SetScanBadParameter(const void* buffer512) {
  constexpr int kAttempts = 10;
  constexpr win::DWORD kPauseMs = 100;
  win::Sleep(kPauseMs);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (Run(KX_VWRITE_LONG(0x70, .count = 1, .lbaMid = 0x10, .transfer = 1), buffer512, 512,
            SendPath::ThreePath)) {
      win::Sleep(kPauseMs);
      return true;
    }
    win::Sleep(kPauseMs);
  }
  return false;
}
bool CDriveCommand::Vender_Send_Seed(const void* buffer, std::uint8_t n) {
  return Run(KX_VWRITE(0x80, .count = n, .transfer = n), buffer, sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::WriteBBT(const void* buffer, std::uint8_t n, std::uint8_t selector, std::uint32_t byteOffset) {
  const std::uint32_t sector = byteOffset / 512;
  if (sector > 0xFFFF) {
    Build71(KX_VWRITE(0x81, .count = n, .lbaLow = selector, .transfer = n));
    return Refuse();
  }
  return Run(KX_VWRITE(0x81, .count = n, .lbaLow = selector, .lbaMid = lo8(sector), .lbaHigh = hi8(sector),
                       .transfer = n),
             buffer, sectorsBytes(n), SendPath::ThreePath, kx::kTimeOutLong, true);
}
bool CDriveCommand::Vender_Send_Binfile(const void* buffer, std::uint8_t n, std::uint8_t chunk, bool lastChunk) {
  return Run(KX_VWRITE(0x82, .count = n, .lbaMid = chunk, .lbaHigh = static_cast<std::uint8_t>(lastChunk),
                       .transfer = n),
             buffer, sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::VendorWriteA3() {
  const std::uint8_t zeros[512] = {};
  return Run(KX_VWRITE_LONG(0xA3, .count = 1, .lbaMid = 0x10, .transfer = 1), zeros, 512, SendPath::Raw);
}
bool CDriveCommand::Vender_InitialPadAndDrive(const void* buffer1024, std::uint8_t value) {
  return Run(KX_VWRITE(0xAA, .count = 2, .lbaHigh = value, .transfer = 1), buffer1024, 1024,
             SendPath::ThreePath);
}
bool CDriveCommand::Scan_SDLL(const void* buffer, std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t n) {
  return Run(KX_VWRITE(0xAB, .count = n, .lbaLow = c, .lbaMid = a, .lbaHigh = b, .transfer = n), buffer,
             sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::ISPProgramPRAM_ICode(const void* buffer, std::uint8_t n, std::uint8_t valueA,
                                         std::uint8_t valueB) {
  return Run(KX_VWRITE(0xBD, .count = n, .lbaMid = valueB, .lbaHigh = valueA, .transfer = n), buffer,
             sectorsBytes(n), SendPath::ThreePath);
}
bool CDriveCommand::ISPVerifyPRAM_ICode(const void* buffer, std::uint8_t n, std::uint8_t valueA) {
  return Run(KX_VWRITE(0xBE, .count = n, .lbaHigh = valueA, .transfer = n), buffer, sectorsBytes(n),
             SendPath::ThreePath);
}
bool CDriveCommand::StartStatusPolling() {
  return FourPath(KX_VWRITE(0xCC, .count = 1, .transfer = 1), kx::kTimeOutDefault, true, kx::kTimeOutDefault);
}
#undef KX_VWRITE
#undef KX_VWRITE_LONG
