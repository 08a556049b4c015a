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
    if (len < 14 || s[7] < 6) return false;
    // Fixed format has no field saying "these are ATA registers". Trust them when
    // the additional sense code says so (00/1D, ATA PASS-THROUGH INFORMATION
    // AVAILABLE), or when the INFORMATION field is not flagged as an address and
    // holds a plausible status (not busy, ready or error).
    const bool passThroughInfo = s[12] == 0x00 && s[13] == 0x1D;
    const std::uint8_t st = s[4];
    const bool plausible =
        (s[0] & 0x80) == 0 && (st & kAtaStatusBsy) == 0 && (st & (kAtaStatusDrdy | kAtaStatusErr)) != 0;
    if (!passThroughInfo && !plausible) return false;
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

win::DWORD ScsiPassThroughDirect(ISysCalls& sys, int fd, win::ScsiPassThroughDirectBlock& blk) {
  if (blk.Sptd.DataTransferLength != 0 && blk.Sptd.DataBuffer == nullptr) return win::ERROR_INVALID_PARAMETER;
  return scsiPassThrough(sys, fd, blk.Sptd, blk.Sptd.DataBuffer, blk.Sense);
}

win::DWORD ScsiPassThroughBuffered(ISysCalls& sys, int fd, win::ScsiPassThroughBlock& blk) {
  if (blk.Spt.DataTransferLength > sizeof blk.Data) return win::ERROR_INVALID_PARAMETER;
  return scsiPassThrough(sys, fd, blk.Spt, blk.Data, blk.Sense);
}

win::DWORD AtaPassThrough(ISysCalls& sys, int fd, win::ATA_PASS_THROUGH_DIRECT& apt) {
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
  if (const win::DWORD err = execute(sys, fd, x)) return err;

  AtaRegisters r;
  if (!FindAtaRegisters(x.sense, x.senseLength, r)) {
    if (const win::DWORD err = errorWithoutRegisters(x)) return err;
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

}  // namespace platform::sgio
