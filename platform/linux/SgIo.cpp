#include "platform/linux/SgIo.h"

#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/ErrorText.h"
#include "protocol/SatCdb.h"
#include "protocol/Sense.h"
#include "protocol/TaskFiles.h"

namespace platform::sgio {
namespace {

using namespace protocol;

// Host status codes of the SCSI midlayer (DID_*).
constexpr unsigned kDidNoConnect = 0x01;
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDidBadTarget = 0x04;
// Driver status, low nibble (DRIVER_*); DRIVER_SENSE (0x08) is no failure.
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;

constexpr std::uint32_t kSectorBytes = 512;

constexpr std::size_t kSenseRoom = 64;

struct Exchange {
  int direction = SG_DXFER_NONE;
  void* data = nullptr;
  unsigned length = 0;
  const std::uint8_t* cdb = nullptr;
  unsigned char cdbLength = 0;
  unsigned timeoutSeconds = 0;
  // results
  std::uint8_t status = 0;
  std::uint8_t sense[kSenseRoom] = {};
  std::size_t senseLength = 0;
  unsigned transferred = 0;
};

unsigned toMilliseconds(unsigned seconds) {
  return seconds > UINT_MAX / 1000u ? UINT_MAX : seconds * 1000u;
}

win::DWORD execute(ISysCalls& sys, int fd, Exchange& x) {
  sg_io_hdr_t hdr;
  std::memset(&hdr, 0, sizeof hdr);
  hdr.interface_id = 'S';
  hdr.dxfer_direction = x.length == 0 ? SG_DXFER_NONE : x.direction;
  hdr.cmd_len = x.cdbLength;
  hdr.mx_sb_len = static_cast<unsigned char>(sizeof x.sense);
  hdr.dxfer_len = x.length;
  hdr.dxferp = x.length == 0 ? nullptr : x.data;
  hdr.cmdp = const_cast<unsigned char*>(x.cdb);
  hdr.sbp = x.sense;
  hdr.timeout = toMilliseconds(x.timeoutSeconds);
  const int rc = sys.Ioctl(fd, SG_IO, &hdr);
  if (rc < 0) return DeviceErrorFromErrno(-rc);
  if (const win::DWORD err = TransportError(hdr.host_status, hdr.driver_status)) return err;
  x.status = hdr.status;
  x.senseLength = std::min<std::size_t>(hdr.sb_len_wr, sizeof x.sense);
  const int resid = hdr.resid;
  x.transferred = resid <= 0 ? x.length : (static_cast<unsigned>(resid) >= x.length ? 0 : x.length - resid);
  return 0;
}

// A completed SCSI command that carried no ATA registers back.
win::DWORD errorWithoutRegisters(const Exchange& x) {
  if (x.status == kScsiGood) return 0;
  if (x.status != kScsiCheckCondition || x.senseLength == 0) return win::ERROR_GEN_FAILURE;
  SenseData sense;
  ParseSense(x.sense, x.senseLength, sense);  // unknown sense reads as key 0
  switch (sense.key) {
    case kNotReady:
      return win::ERROR_NOT_READY;
    case kIllegalRequest:  // the target does not know ATA PASS-THROUGH (or the fields)
      return win::ERROR_NOT_SUPPORTED;
    case kUnitAttention:  // worth another try
      return win::ERROR_GEN_FAILURE;
    default:
      return win::ERROR_IO_DEVICE;
  }
}

int scsiDirection(win::UCHAR dataIn) {
  if (dataIn == win::SCSI_IOCTL_DATA_IN) return SG_DXFER_FROM_DEV;
  if (dataIn == win::SCSI_IOCTL_DATA_OUT) return SG_DXFER_TO_DEV;
  return SG_DXFER_NONE;
}

// Both SCSI forms: the header fields are the same, only where the data lives differs.
template <class Header>
win::DWORD scsiPassThrough(ISysCalls& sys, int fd, Header& h, void* data, std::uint8_t* sense) {
  if (h.CdbLength == 0 || h.CdbLength > 16) return win::ERROR_INVALID_PARAMETER;
  if (h.DataIn > win::SCSI_IOCTL_DATA_UNSPECIFIED) return win::ERROR_INVALID_PARAMETER;
  Exchange x;
  // The finder asks for data in even for commands without data; no length means none.
  x.direction = scsiDirection(h.DataIn);
  if (x.direction == SG_DXFER_NONE && h.DataTransferLength != 0) return win::ERROR_INVALID_PARAMETER;
  x.data = data;
  x.length = h.DataTransferLength;
  x.cdb = h.Cdb;
  x.cdbLength = h.CdbLength;
  x.timeoutSeconds = h.TimeOutValue;
  if (const win::DWORD err = execute(sys, fd, x)) return err;
  h.ScsiStatus = x.status;
  h.DataTransferLength = x.transferred;
  const std::size_t n = std::min({static_cast<std::size_t>(h.SenseInfoLength), win::kSenseLength, x.senseLength});
  std::memcpy(sense, x.sense, n);
  h.SenseInfoLength = static_cast<win::UCHAR>(n);
  return 0;
}

}  // namespace

win::DWORD TransportError(unsigned hostStatus, unsigned driverStatus) {
  if (hostStatus == kDidTimeOut) return win::ERROR_SEM_TIMEOUT;
  if (hostStatus == kDidNoConnect || hostStatus == kDidBadTarget) return win::ERROR_FILE_NOT_FOUND;
  if (hostStatus != 0) return win::ERROR_GEN_FAILURE;
  const unsigned driver = driverStatus & 0x0F;
  if (driver == kDriverTimeout) return win::ERROR_SEM_TIMEOUT;
  if (driver != 0 && driver != kDriverSense) return win::ERROR_GEN_FAILURE;
  return 0;
}

namespace {

// ATA_PASS_THROUGH_DIRECT task files, laid out in protocol/TaskFiles.cpp.
AtaTaskFile taskFileOf(const win::ATA_PASS_THROUGH_DIRECT& apt, bool ext) {
  return protocol::ParseTaskFiles(apt.CurrentTaskFile, apt.PreviousTaskFile, ext);
}

void putTaskFile(win::ATA_PASS_THROUGH_DIRECT& apt, const AtaTaskFile& r, bool ext) {
  protocol::WriteTaskFiles(r, ext, apt.CurrentTaskFile, apt.PreviousTaskFile);
}

void putReturned(win::ATA_PASS_THROUGH_DIRECT& apt, const AtaReturn& r) {
  protocol::WriteReturnTaskFiles(r, apt.CurrentTaskFile, apt.PreviousTaskFile);
}

}  // namespace

win::DWORD BuildAtaPassThrough16(const win::ATA_PASS_THROUGH_DIRECT& apt, std::uint8_t cdb[16], bool& wantRegisters) {
  const bool in = (apt.AtaFlags & win::ATA_FLAGS_DATA_IN) != 0;
  const bool out = (apt.AtaFlags & win::ATA_FLAGS_DATA_OUT) != 0;
  const bool ext = (apt.AtaFlags & win::ATA_FLAGS_48BIT_COMMAND) != 0;
  const bool dma = (apt.AtaFlags & win::ATA_FLAGS_USE_DMA) != 0;
  if (in && out) return win::ERROR_INVALID_PARAMETER;
  const bool data = in || out;
  if (data != (apt.DataTransferLength != 0)) return win::ERROR_INVALID_PARAMETER;
  if (data && apt.DataBuffer == nullptr) return win::ERROR_INVALID_PARAMETER;

  SatCdb c;
  c.protocol = kSatNonData;
  if (data) c.protocol = dma ? kSatDma : (in ? kSatPioIn : kSatPioOut);
  c.extend = ext;
  // Output registers matter to the callers of non-data commands (power mode in
  // the count, vendor replies in count and LBA); data commands are judged by
  // status only, and several bridges mishandle CK_COND with data.
  wantRegisters = !data;
  c.flags = data ? static_cast<std::uint8_t>((in ? kSatTDirIn : 0) | kSatBytBlok | kSatTLengthCount) : kSatCkCond;
  c.regs = taskFileOf(apt, ext);
  BuildSat16(c, cdb);
  return 0;
}

namespace {

void clearTaskFiles(win::ATA_PASS_THROUGH_DIRECT& apt) {
  std::memset(apt.CurrentTaskFile, 0, sizeof apt.CurrentTaskFile);
  std::memset(apt.PreviousTaskFile, 0, sizeof apt.PreviousTaskFile);
}

// One ATA PASS-THROUGH (16) exchange. After a failure the task files hold
// nothing: the registers sent must not pass for the device's answer.
win::DWORD ataOnce(ISysCalls& sys, int fd, win::ATA_PASS_THROUGH_DIRECT& apt) {
  std::uint8_t cdb[16];
  bool wantRegisters = false;
  if (const win::DWORD err = BuildAtaPassThrough16(apt, cdb, wantRegisters)) return err;
  Exchange x;
  x.direction = (apt.AtaFlags & win::ATA_FLAGS_DATA_IN) ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
  x.data = apt.DataBuffer;
  x.length = apt.DataTransferLength;
  x.cdb = cdb;
  x.cdbLength = 16;
  x.timeoutSeconds = apt.TimeOutValue;
  if (const win::DWORD err = execute(sys, fd, x)) {
    clearTaskFiles(apt);
    return err;
  }

  AtaReturn r;
  if (!FindAtaRegisters(x.sense, x.senseLength, r)) {
    if (const win::DWORD err = errorWithoutRegisters(x)) {
      clearTaskFiles(apt);
      return err;
    }
    // Completed with good status and no registers (no CK_COND asked, or a
    // bridge that ignored it): report a ready device and nothing else.
    r = AtaReturn{};
    r.status = kAtaStatusDrdy | kAtaStatusDsc;
  }
  putReturned(apt, r);
  return 0;
}

// A standard ATA read or write addressed by LBA, as found in a request.
struct Transfer {
  bool ext = false;
  std::uint64_t lba = 0;
  std::uint32_t sectors = 0;
};

bool isReadWrite(std::uint8_t command, bool ext) {
  if (ext) {
    return command == kAtaReadSectorsExt || command == kAtaReadDmaExt || command == kAtaWriteSectorsExt ||
           command == kAtaWriteDmaExt;
  }
  return command == kAtaReadSectors || command == kAtaWriteSectors || command == kAtaReadDma || command == kAtaWriteDma;
}

std::uint32_t sectorsOf(std::uint32_t count, bool ext) {
  if (count != 0) return count;
  return ext ? 65536u : 256u;
}

// Sectors per piece when a transfer is cut to the limit: whole 4 KiB where
// possible, so that no piece splits a physical sector of a 4Kn-emulating drive.
std::uint32_t piecesOf(std::uint32_t limit, bool ext) {
  std::uint32_t n = limit / kSectorBytes;
  if (n >= 8) n &= ~7u;
  return std::min(n, ext ? 65536u : 256u);
}

// The transfer a task file asks for, when it is one and moves `length` bytes.
bool transferOf(const AtaTaskFile& r, bool ext, std::uint32_t length, Transfer& t) {
  t.ext = ext;
  if (!isReadWrite(r.command, ext) || (r.device & kAtaDeviceLba) == 0) return false;
  t.lba = std::uint64_t{r.lbaLow} | std::uint64_t{r.lbaMid} << 8 | std::uint64_t{r.lbaHigh} << 16;
  if (ext) {
    t.lba |= std::uint64_t{r.lbaLowExp} << 24 | std::uint64_t{r.lbaMidExp} << 32 | std::uint64_t{r.lbaHighExp} << 40;
    t.sectors = sectorsOf(std::uint32_t{r.countExp} << 8 | r.count, true);
  } else {
    t.lba |= std::uint64_t{r.device & 0x0Fu} << 24;
    t.sectors = sectorsOf(r.count, false);
  }
  return std::uint64_t{length} == std::uint64_t{t.sectors} * kSectorBytes;
}

void setTransfer(AtaTaskFile& r, const Transfer& t) {
  r.count = static_cast<std::uint8_t>(t.sectors);
  r.lbaLow = static_cast<std::uint8_t>(t.lba);
  r.lbaMid = static_cast<std::uint8_t>(t.lba >> 8);
  r.lbaHigh = static_cast<std::uint8_t>(t.lba >> 16);
  if (t.ext) {
    r.countExp = static_cast<std::uint8_t>(t.sectors >> 8);
    r.lbaLowExp = static_cast<std::uint8_t>(t.lba >> 24);
    r.lbaMidExp = static_cast<std::uint8_t>(t.lba >> 32);
    r.lbaHighExp = static_cast<std::uint8_t>(t.lba >> 40);
  } else {
    r.device = static_cast<std::uint8_t>((r.device & 0xF0) | ((t.lba >> 24) & 0x0F));
  }
}

// A SAT ATA PASS-THROUGH that a split may cut: a data protocol whose length is
// the count in 512-byte blocks.
bool satTransferOf(const std::uint8_t* cdb, unsigned cdbLength, std::uint32_t length, SatCdb& c, Transfer& t) {
  if (!ParseSatCdb(cdb, cdbLength, c)) return false;
  const bool blocksInCount =
      (c.flags & kSatTLengthMask) == kSatTLengthCount && (c.flags & kSatBytBlok) != 0 && (c.flags & kSatTType) == 0;
  return IsSatDataProtocol(c.protocol) && blocksInCount && transferOf(c.regs, c.extend, length, t);
}

void setSatTransfer(std::uint8_t* cdb, SatCdb c, const Transfer& t) {
  setTransfer(c.regs, t);
  if (cdb[0] == kAtaPassThrough16) {
    BuildSat16(c, cdb);
  } else {
    BuildSat12(c, cdb);
  }
}

// Whether a piece left the device fit for the next one.
bool statusClean(std::uint8_t status) {
  return status != 0 && (status & (kAtaStatusBsy | kAtaStatusDf | kAtaStatusDrq | kAtaStatusErr)) == 0;
}

bool scsiPieceClean(const win::SCSI_PASS_THROUGH_DIRECT& h, const std::uint8_t* sense) {
  if (h.ScsiStatus == kScsiGood) return true;
  // Some bridges answer every ATA command with CHECK CONDITION and its registers.
  AtaReturn r;
  return h.ScsiStatus == kScsiCheckCondition && FindAtaRegisters(sense, h.SenseInfoLength, r) &&
         statusClean(r.status);
}

win::DWORD splitScsi(ISysCalls& sys, int fd, win::ScsiPassThroughDirectBlock& blk, std::uint32_t limit) {
  auto& h = blk.Sptd;
  SatCdb sat;
  Transfer all;
  if (!satTransferOf(h.Cdb, h.CdbLength, h.DataTransferLength, sat, all)) return win::ERROR_INVALID_PARAMETER;
  const std::uint32_t per = piecesOf(limit, all.ext);
  if (per == 0) return win::ERROR_INVALID_PARAMETER;
  auto* base = static_cast<std::uint8_t*>(h.DataBuffer);
  std::uint32_t moved = 0;
  win::ScsiPassThroughDirectBlock piece;
  for (std::uint32_t done = 0; done < all.sectors;) {
    const std::uint32_t n = std::min(per, all.sectors - done);
    piece = blk;
    setSatTransfer(piece.Sptd.Cdb, sat, Transfer{all.ext, all.lba + done, n});
    piece.Sptd.DataBuffer = base + std::size_t{done} * kSectorBytes;
    piece.Sptd.DataTransferLength = n * kSectorBytes;
    if (const win::DWORD err = scsiPassThrough(sys, fd, piece.Sptd, piece.Sptd.DataBuffer, piece.Sense)) return err;
    moved += piece.Sptd.DataTransferLength;
    done += n;
    if (!scsiPieceClean(piece.Sptd, piece.Sense)) break;
  }
  // The caller sees one request: the CDB it sent, the bytes moved and the last piece's outcome.
  h.ScsiStatus = piece.Sptd.ScsiStatus;
  h.SenseInfoLength = piece.Sptd.SenseInfoLength;
  h.DataTransferLength = moved;
  std::memcpy(blk.Sense, piece.Sense, sizeof blk.Sense);
  return 0;
}

win::DWORD splitAta(ISysCalls& sys, int fd, win::ATA_PASS_THROUGH_DIRECT& apt, std::uint32_t limit) {
  const bool ext = (apt.AtaFlags & win::ATA_FLAGS_48BIT_COMMAND) != 0;
  const AtaTaskFile regs = taskFileOf(apt, ext);
  Transfer all;
  if (!transferOf(regs, ext, apt.DataTransferLength, all)) return win::ERROR_INVALID_PARAMETER;
  const std::uint32_t per = piecesOf(limit, all.ext);
  if (per == 0) return win::ERROR_INVALID_PARAMETER;
  // Pieces come from the request as sent; its task files take each answer.
  const win::ATA_PASS_THROUGH_DIRECT request = apt;
  auto* base = static_cast<std::uint8_t*>(apt.DataBuffer);
  for (std::uint32_t done = 0; done < all.sectors;) {
    const std::uint32_t n = std::min(per, all.sectors - done);
    win::ATA_PASS_THROUGH_DIRECT piece = request;
    AtaTaskFile pieceRegs = regs;
    setTransfer(pieceRegs, Transfer{all.ext, all.lba + done, n});
    putTaskFile(piece, pieceRegs, ext);
    piece.DataBuffer = base + std::size_t{done} * kSectorBytes;
    piece.DataTransferLength = n * kSectorBytes;
    const win::DWORD err = ataOnce(sys, fd, piece);
    // The registers of the last piece sent, which is the failing one after an error.
    std::memcpy(apt.CurrentTaskFile, piece.CurrentTaskFile, sizeof apt.CurrentTaskFile);
    std::memcpy(apt.PreviousTaskFile, piece.PreviousTaskFile, sizeof apt.PreviousTaskFile);
    if (err) return err;
    done += n;
    if (!statusClean(piece.CurrentTaskFile[6])) break;
  }
  return 0;
}

}  // namespace

win::DWORD ScsiPassThroughDirect(ISysCalls& sys, int fd, win::ScsiPassThroughDirectBlock& blk, std::uint32_t limit) {
  if (blk.Sptd.DataTransferLength != 0 && blk.Sptd.DataBuffer == nullptr) return win::ERROR_INVALID_PARAMETER;
  if (limit != 0 && blk.Sptd.DataTransferLength > limit) {
    if (blk.Sptd.CdbLength == 0 || blk.Sptd.CdbLength > 16) return win::ERROR_INVALID_PARAMETER;
    return splitScsi(sys, fd, blk, limit);
  }
  return scsiPassThrough(sys, fd, blk.Sptd, blk.Sptd.DataBuffer, blk.Sense);
}

win::DWORD ScsiPassThroughBuffered(ISysCalls& sys, int fd, win::ScsiPassThroughBlock& blk, std::uint32_t limit) {
  if (blk.Spt.DataTransferLength > sizeof blk.Data) return win::ERROR_INVALID_PARAMETER;
  if (limit != 0 && blk.Spt.DataTransferLength > limit) return win::ERROR_INVALID_PARAMETER;
  return scsiPassThrough(sys, fd, blk.Spt, blk.Data, blk.Sense);
}

win::DWORD AtaPassThrough(ISysCalls& sys, int fd, win::ATA_PASS_THROUGH_DIRECT& apt, std::uint32_t limit) {
  if (limit != 0 && apt.DataTransferLength > limit) {
    // Judge the request as a whole first: a split must not hide contradictory flags.
    std::uint8_t cdb[16];
    bool wantRegisters = false;
    if (const win::DWORD err = BuildAtaPassThrough16(apt, cdb, wantRegisters)) return err;
    return splitAta(sys, fd, apt, limit);
  }
  return ataOnce(sys, fd, apt);
}

}  // namespace platform::sgio
