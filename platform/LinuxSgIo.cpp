#include "platform/LinuxSgIo.h"

#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace platform::sgio {
namespace {

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;

// Host status codes of the SCSI midlayer (DID_*).
constexpr unsigned kDidNoConnect = 0x01;
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDidBadTarget = 0x04;
// Driver status, low nibble (DRIVER_*); DRIVER_SENSE (0x08) is no failure.
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;

// ATA PASS-THROUGH protocols.
constexpr std::uint8_t kProtoNonData = 3;
constexpr std::uint8_t kProtoPioIn = 4;
constexpr std::uint8_t kProtoPioOut = 5;
constexpr std::uint8_t kProtoDma = 6;
// Byte 2 bits.
constexpr std::uint8_t kCkCond = 0x20;
constexpr std::uint8_t kTDirIn = 0x08;
constexpr std::uint8_t kBytBlok = 0x04;
constexpr std::uint8_t kTLengthInCount = 0x02;

constexpr std::uint8_t kAtaStatusDrdy = 0x40;
constexpr std::uint8_t kAtaStatusDsc = 0x10;
constexpr std::uint8_t kAtaStatusErr = 0x01;
constexpr std::uint8_t kAtaStatusBsy = 0x80;
constexpr std::uint8_t kAtaStatusDf = 0x20;
constexpr std::uint8_t kAtaStatusDrq = 0x08;
constexpr std::uint8_t kDeviceLba = 0x40;
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
  if (rc < 0) return MapErrno(-rc);
  if (const win::DWORD err = TransportError(hdr.host_status, hdr.driver_status)) return err;
  x.status = hdr.status;
  x.senseLength = std::min<std::size_t>(hdr.sb_len_wr, sizeof x.sense);
  const int resid = hdr.resid;
  x.transferred = resid <= 0 ? x.length : (static_cast<unsigned>(resid) >= x.length ? 0 : x.length - resid);
  return 0;
}

std::uint8_t senseKey(const std::uint8_t* s, std::size_t len) {
  if (len < 2) return 0;
  const std::uint8_t code = s[0] & 0x7F;
  if (code == 0x72 || code == 0x73) return s[1] & 0x0F;
  if ((code == 0x70 || code == 0x71) && len >= 3) return s[2] & 0x0F;
  return 0;
}

// A completed SCSI command that carried no ATA registers back.
win::DWORD errorWithoutRegisters(const Exchange& x) {
  if (x.status == kStatusGood) return 0;
  if (x.status != kStatusCheckCondition || x.senseLength == 0) return win::ERROR_GEN_FAILURE;
  switch (senseKey(x.sense, x.senseLength)) {
    case 0x02:
      return win::ERROR_NOT_READY;
    case 0x05:  // the target does not know ATA PASS-THROUGH (or the fields)
      return win::ERROR_NOT_SUPPORTED;
    case 0x06:  // unit attention: worth another try
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

win::DWORD MapErrno(int err) {
  switch (err) {
    case 0:
      return 0;
    case EPERM:
    case EACCES:
    case EROFS:
      return win::ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return win::ERROR_FILE_NOT_FOUND;
    case ETIMEDOUT:
      return win::ERROR_SEM_TIMEOUT;
    case ENOMEDIUM:
      return win::ERROR_NOT_READY;
    case EBUSY:
      return win::ERROR_BUSY;
    case EINVAL:
    case EFAULT:
    case EOVERFLOW:
      return win::ERROR_INVALID_PARAMETER;
    case ENOMEM:
      return win::ERROR_NOT_ENOUGH_MEMORY;
    case ENOTTY:
    case EOPNOTSUPP:
      return win::ERROR_NOT_SUPPORTED;
    default:
      return win::ERROR_GEN_FAILURE;
  }
}

win::DWORD TransportError(unsigned hostStatus, unsigned driverStatus) {
  if (hostStatus == kDidTimeOut) return win::ERROR_SEM_TIMEOUT;
  if (hostStatus == kDidNoConnect || hostStatus == kDidBadTarget) return win::ERROR_FILE_NOT_FOUND;
  if (hostStatus != 0) return win::ERROR_GEN_FAILURE;
  const unsigned driver = driverStatus & 0x0F;
  if (driver == kDriverTimeout) return win::ERROR_SEM_TIMEOUT;
  if (driver != 0 && driver != kDriverSense) return win::ERROR_GEN_FAILURE;
  return 0;
}

bool FindAtaRegisters(const std::uint8_t* s, std::size_t len, AtaRegisters& r) {
  if (s == nullptr || len < 8) return false;
  const std::uint8_t code = s[0] & 0x7F;
  if (code == 0x72 || code == 0x73) {
    const std::size_t end = std::min<std::size_t>(len, 8u + s[7]);
    std::size_t i = 8;
    while (i + 2 <= end) {
      const std::size_t total = 2u + s[i + 1];
      if (i + total > end) break;
      if (s[i] == 0x09 && total >= 14) {
        const std::uint8_t* d = s + i;
        r = AtaRegisters{};
        r.extend = (d[2] & 0x01) != 0;
        r.error = d[3];
        r.hobCount = d[4];
        r.count = d[5];
        r.hobLbaLow = d[6];
        r.lbaLow = d[7];
        r.hobLbaMid = d[8];
        r.lbaMid = d[9];
        r.hobLbaHigh = d[10];
        r.lbaHigh = d[11];
        r.device = d[12];
        r.status = d[13];
        return true;
      }
      i += total;
    }
    return false;
  }
  if (code == 0x70 || code == 0x71) {
    // Fixed format has no field saying "these are ATA registers", and two layouts
    // are in use. The SAT one (bridges, newer libata): error, status, device and
    // count in INFORMATION (bytes 3-6), extend and LBA in COMMAND-SPECIFIC
    // INFORMATION (bytes 8-11). Older libata (Linux 6.1, for one) puts error,
    // status, device and count at bytes 8-11, the extend flag at byte 16 and LBA
    // low, mid, high from byte 17, but reports only 18 bytes, so mid and high are
    // lost. A layout is trusted when the additional sense code says so (00/1D,
    // ATA PASS-THROUGH INFORMATION AVAILABLE) or when its status is plausible (not
    // busy, ready or error) and the INFORMATION field is not flagged as an address.
    if (len < 12 || s[7] < 4) return false;
    const bool address = (s[0] & 0x80) != 0;
    const bool passThroughInfo = len >= 14 && s[12] == 0x00 && s[13] == 0x1D;
    auto plausible = [](std::uint8_t st) {
      return (st & kAtaStatusBsy) == 0 && (st & (kAtaStatusDrdy | kAtaStatusErr)) != 0;
    };
    const bool infoEmpty = s[3] == 0 && s[4] == 0 && s[5] == 0 && s[6] == 0;
    if (!infoEmpty && (passThroughInfo || (!address && plausible(s[4])))) {
      r = AtaRegisters{};
      r.error = s[3];
      r.status = s[4];
      r.device = s[5];
      r.count = s[6];
      r.extend = (s[8] & 0x80) != 0;
      r.lbaLow = s[9];
      r.lbaMid = s[10];
      r.lbaHigh = s[11];
      return true;
    }
    if (infoEmpty && !address && plausible(s[9])) {
      r = AtaRegisters{};
      r.error = s[8];
      r.status = s[9];
      r.device = s[10];
      r.count = s[11];
      const std::size_t end = std::min<std::size_t>(len, 8u + s[7]);
      if (end > 16) r.extend = (s[16] & 0x80) != 0;
      if (end > 17) r.lbaLow = s[17];
      if (end > 18) r.lbaMid = s[18];
      if (end > 19) r.lbaHigh = s[19];
      return true;
    }
    return false;
  }
  return false;
}

win::DWORD BuildAtaPassThrough16(const win::ATA_PASS_THROUGH_DIRECT& apt, std::uint8_t cdb[16], bool& wantRegisters) {
  const bool in = (apt.AtaFlags & win::ATA_FLAGS_DATA_IN) != 0;
  const bool out = (apt.AtaFlags & win::ATA_FLAGS_DATA_OUT) != 0;
  const bool ext = (apt.AtaFlags & win::ATA_FLAGS_48BIT_COMMAND) != 0;
  const bool dma = (apt.AtaFlags & win::ATA_FLAGS_USE_DMA) != 0;
  if (in && out) return win::ERROR_INVALID_PARAMETER;
  const bool data = in || out;
  if (data != (apt.DataTransferLength != 0)) return win::ERROR_INVALID_PARAMETER;
  if (data && apt.DataBuffer == nullptr) return win::ERROR_INVALID_PARAMETER;

  std::uint8_t protocol = kProtoNonData;
  if (data) protocol = dma ? kProtoDma : (in ? kProtoPioIn : kProtoPioOut);
  std::memset(cdb, 0, 16);
  const std::uint8_t* cur = apt.CurrentTaskFile;
  const std::uint8_t* prev = apt.PreviousTaskFile;
  cdb[0] = 0x85;
  cdb[1] = static_cast<std::uint8_t>(protocol << 1 | (ext ? 1 : 0));
  // Output registers matter to the callers of non-data commands (power mode in
  // the count, vendor replies in count and LBA); data commands are judged by
  // status only, and several bridges mishandle CK_COND with data.
  wantRegisters = !data;
  if (data) {
    cdb[2] = static_cast<std::uint8_t>((in ? kTDirIn : 0) | kBytBlok | kTLengthInCount);
  } else {
    cdb[2] = kCkCond;
  }
  if (ext) {
    cdb[3] = prev[0];
    cdb[5] = prev[1];
    cdb[7] = prev[2];
    cdb[9] = prev[3];
    cdb[11] = prev[4];
  }
  cdb[4] = cur[0];
  cdb[6] = cur[1];
  cdb[8] = cur[2];
  cdb[10] = cur[3];
  cdb[12] = cur[4];
  cdb[13] = cur[5];
  cdb[14] = cur[6];
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

  AtaRegisters r;
  if (!FindAtaRegisters(x.sense, x.senseLength, r)) {
    if (const win::DWORD err = errorWithoutRegisters(x)) {
      clearTaskFiles(apt);
      return err;
    }
    // Completed with good status and no registers (no CK_COND asked, or a
    // bridge that ignored it): report a ready device and nothing else.
    r = AtaRegisters{};
    r.status = kAtaStatusDrdy | kAtaStatusDsc;
  }
  std::uint8_t* tf = apt.CurrentTaskFile;
  tf[0] = r.error;
  tf[1] = r.count;
  tf[2] = r.lbaLow;
  tf[3] = r.lbaMid;
  tf[4] = r.lbaHigh;
  tf[5] = r.device;
  tf[6] = r.status;
  tf[7] = 0;
  std::uint8_t* ptf = apt.PreviousTaskFile;
  std::memset(ptf, 0, 8);
  if (r.extend) {
    ptf[1] = r.hobCount;
    ptf[2] = r.hobLbaLow;
    ptf[3] = r.hobLbaMid;
    ptf[4] = r.hobLbaHigh;
  }
  return 0;
}

// A standard ATA read or write addressed by LBA, as found in a request.
struct Transfer {
  bool ext = false;
  std::uint64_t lba = 0;
  std::uint32_t sectors = 0;
};

bool isReadWrite(std::uint8_t command, bool ext) {
  if (ext) return command == 0x24 || command == 0x25 || command == 0x34 || command == 0x35;
  return command == 0x20 || command == 0x30 || command == 0xC8 || command == 0xCA;
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

bool transferOf(const win::ATA_PASS_THROUGH_DIRECT& apt, Transfer& t) {
  const std::uint8_t* cur = apt.CurrentTaskFile;
  const std::uint8_t* prev = apt.PreviousTaskFile;
  t.ext = (apt.AtaFlags & win::ATA_FLAGS_48BIT_COMMAND) != 0;
  if (!isReadWrite(cur[6], t.ext) || (cur[5] & kDeviceLba) == 0) return false;
  t.lba = std::uint64_t{cur[2]} | std::uint64_t{cur[3]} << 8 | std::uint64_t{cur[4]} << 16;
  if (t.ext) {
    t.lba |= std::uint64_t{prev[2]} << 24 | std::uint64_t{prev[3]} << 32 | std::uint64_t{prev[4]} << 40;
    t.sectors = sectorsOf(std::uint32_t{prev[1]} << 8 | cur[1], true);
  } else {
    t.lba |= std::uint64_t{cur[5] & 0x0Fu} << 24;
    t.sectors = sectorsOf(cur[1], false);
  }
  return std::uint64_t{apt.DataTransferLength} == std::uint64_t{t.sectors} * kSectorBytes;
}

void setTransfer(win::ATA_PASS_THROUGH_DIRECT& apt, const Transfer& t) {
  std::uint8_t* cur = apt.CurrentTaskFile;
  std::uint8_t* prev = apt.PreviousTaskFile;
  cur[1] = static_cast<std::uint8_t>(t.sectors);
  cur[2] = static_cast<std::uint8_t>(t.lba);
  cur[3] = static_cast<std::uint8_t>(t.lba >> 8);
  cur[4] = static_cast<std::uint8_t>(t.lba >> 16);
  if (t.ext) {
    prev[1] = static_cast<std::uint8_t>(t.sectors >> 8);
    prev[2] = static_cast<std::uint8_t>(t.lba >> 24);
    prev[3] = static_cast<std::uint8_t>(t.lba >> 32);
    prev[4] = static_cast<std::uint8_t>(t.lba >> 40);
  } else {
    cur[5] = static_cast<std::uint8_t>((cur[5] & 0xF0) | ((t.lba >> 24) & 0x0F));
  }
}

// Where a SAT ATA PASS-THROUGH CDB keeps the fields a split rewrites.
bool satTransferOf(const std::uint8_t* cdb, unsigned cdbLength, std::uint32_t length, Transfer& t) {
  std::uint8_t flags = 0, device = 0, command = 0, protocol = 0;
  std::uint32_t count = 0;
  if (cdb[0] == 0x85 && cdbLength >= 16) {
    t.ext = (cdb[1] & 0x01) != 0;
    protocol = (cdb[1] >> 1) & 0x0F;
    flags = cdb[2];
    count = t.ext ? (std::uint32_t{cdb[5]} << 8 | cdb[6]) : cdb[6];
    t.lba = std::uint64_t{cdb[8]} | std::uint64_t{cdb[10]} << 8 | std::uint64_t{cdb[12]} << 16;
    if (t.ext) t.lba |= std::uint64_t{cdb[7]} << 24 | std::uint64_t{cdb[9]} << 32 | std::uint64_t{cdb[11]} << 40;
    device = cdb[13];
    command = cdb[14];
  } else if (cdb[0] == 0xA1 && cdbLength >= 12) {
    t.ext = false;
    protocol = (cdb[1] >> 1) & 0x0F;
    flags = cdb[2];
    count = cdb[4];
    t.lba = std::uint64_t{cdb[5]} | std::uint64_t{cdb[6]} << 8 | std::uint64_t{cdb[7]} << 16;
    device = cdb[8];
    command = cdb[9];
  } else {
    return false;
  }
  if (!t.ext) t.lba |= std::uint64_t{device & 0x0Fu} << 24;
  // Data protocols (PIO in/out, DMA, UDMA in/out), length in blocks of 512 bytes
  // taken from the count field.
  const bool dataProtocol = protocol == 4 || protocol == 5 || protocol == 6 || protocol == 10 || protocol == 11;
  const bool blocksInCount = (flags & 0x03) == kTLengthInCount && (flags & kBytBlok) != 0 && (flags & 0x10) == 0;
  if (!dataProtocol || !blocksInCount || !isReadWrite(command, t.ext) || (device & kDeviceLba) == 0) return false;
  t.sectors = sectorsOf(count, t.ext);
  return std::uint64_t{length} == std::uint64_t{t.sectors} * kSectorBytes;
}

void setSatTransfer(std::uint8_t* cdb, const Transfer& t) {
  if (cdb[0] == 0x85) {
    cdb[6] = static_cast<std::uint8_t>(t.sectors);
    cdb[8] = static_cast<std::uint8_t>(t.lba);
    cdb[10] = static_cast<std::uint8_t>(t.lba >> 8);
    cdb[12] = static_cast<std::uint8_t>(t.lba >> 16);
    if (t.ext) {
      cdb[5] = static_cast<std::uint8_t>(t.sectors >> 8);
      cdb[7] = static_cast<std::uint8_t>(t.lba >> 24);
      cdb[9] = static_cast<std::uint8_t>(t.lba >> 32);
      cdb[11] = static_cast<std::uint8_t>(t.lba >> 40);
    } else {
      cdb[13] = static_cast<std::uint8_t>((cdb[13] & 0xF0) | ((t.lba >> 24) & 0x0F));
    }
  } else {
    cdb[4] = static_cast<std::uint8_t>(t.sectors);
    cdb[5] = static_cast<std::uint8_t>(t.lba);
    cdb[6] = static_cast<std::uint8_t>(t.lba >> 8);
    cdb[7] = static_cast<std::uint8_t>(t.lba >> 16);
    cdb[8] = static_cast<std::uint8_t>((cdb[8] & 0xF0) | ((t.lba >> 24) & 0x0F));
  }
}

// Whether a piece left the device fit for the next one.
bool statusClean(std::uint8_t status) {
  return status != 0 && (status & (kAtaStatusBsy | kAtaStatusDf | kAtaStatusDrq | kAtaStatusErr)) == 0;
}

bool scsiPieceClean(const win::SCSI_PASS_THROUGH_DIRECT& h, const std::uint8_t* sense) {
  if (h.ScsiStatus == kStatusGood) return true;
  // Some bridges answer every ATA command with CHECK CONDITION and its registers.
  AtaRegisters r;
  return h.ScsiStatus == kStatusCheckCondition && FindAtaRegisters(sense, h.SenseInfoLength, r) &&
         statusClean(r.status);
}

win::DWORD splitScsi(ISysCalls& sys, int fd, win::ScsiPassThroughDirectBlock& blk, std::uint32_t limit) {
  auto& h = blk.Sptd;
  Transfer all;
  if (!satTransferOf(h.Cdb, h.CdbLength, h.DataTransferLength, all)) return win::ERROR_INVALID_PARAMETER;
  const std::uint32_t per = piecesOf(limit, all.ext);
  if (per == 0) return win::ERROR_INVALID_PARAMETER;
  auto* base = static_cast<std::uint8_t*>(h.DataBuffer);
  std::uint32_t moved = 0;
  win::ScsiPassThroughDirectBlock piece;
  for (std::uint32_t done = 0; done < all.sectors;) {
    const std::uint32_t n = std::min(per, all.sectors - done);
    piece = blk;
    setSatTransfer(piece.Sptd.Cdb, Transfer{all.ext, all.lba + done, n});
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
  Transfer all;
  if (!transferOf(apt, all)) return win::ERROR_INVALID_PARAMETER;
  const std::uint32_t per = piecesOf(limit, all.ext);
  if (per == 0) return win::ERROR_INVALID_PARAMETER;
  // Pieces come from the request as sent; its task files take each answer.
  const win::ATA_PASS_THROUGH_DIRECT request = apt;
  auto* base = static_cast<std::uint8_t*>(apt.DataBuffer);
  for (std::uint32_t done = 0; done < all.sectors;) {
    const std::uint32_t n = std::min(per, all.sectors - done);
    win::ATA_PASS_THROUGH_DIRECT piece = request;
    setTransfer(piece, Transfer{all.ext, all.lba + done, n});
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
