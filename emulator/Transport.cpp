// Request plumbing common to every front end: buffer checks, fault rules, sense
// data, the hand-over to the drive and the command log.
#include "emulator/Transport.h"

#include <algorithm>
#include <cstring>

#include "platform/Clock.h"
#include "platform/KxSignatures.h"

namespace emu {
namespace transport {

void ScsiExchange::Reply(const std::uint8_t* bytes, std::uint32_t n) {
  if (!HostReads()) return;
  const std::uint32_t m = std::min({n, length, transferCap});
  std::memcpy(data, bytes, m);
  transferred = m;
}

void FixedSense(ScsiExchange& x, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  std::memset(x.sense, 0, sizeof x.sense);
  x.sense[0] = 0x70;
  x.sense[2] = key & 0x0F;
  x.sense[7] = 10;  // additional length
  x.sense[12] = asc;
  x.sense[13] = ascq;
  x.senseLength = 18;
  x.status = kCheckCondition;
}

void InvalidField(ScsiExchange& x, std::uint16_t byte, int bit) {
  FixedSense(x, kIllegalRequest, kAscInvalidField, 0);
  // Sense-key specific: SKSV, C/D = 1 (the field is in the CDB), bit pointer when valid.
  x.sense[15] = static_cast<std::uint8_t>(0x80 | 0x40 | (bit >= 0 ? 0x08 | (bit & 7) : 0));
  x.sense[16] = static_cast<std::uint8_t>(byte >> 8);
  x.sense[17] = static_cast<std::uint8_t>(byte);
  x.note = "invalid field in CDB";
}

void InvalidOpcode(ScsiExchange& x) {
  FixedSense(x, kIllegalRequest, kAscInvalidOpcode, 0);
  x.sense[15] = 0x80 | 0x40;  // field pointer: byte 0
  x.note = "invalid opcode";
}

void AtaReturnDescriptor(const AtaResponse& r, bool extend, std::uint8_t d[14]) {
  std::memset(d, 0, 14);
  d[0] = 0x09;
  d[1] = 0x0C;
  d[2] = extend ? 0x01 : 0x00;
  d[3] = r.error;
  d[4] = extend ? r.countExp : 0;
  d[5] = r.count;
  d[6] = extend ? r.lbaLowExp : 0;
  d[7] = r.lbaLow;
  d[8] = extend ? r.lbaMidExp : 0;
  d[9] = r.lbaMid;
  d[10] = extend ? r.lbaHighExp : 0;
  d[11] = r.lbaHigh;
  d[12] = r.device;
  d[13] = r.status;
}

void AtaSense(ScsiExchange& x, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, const AtaResponse& r,
              bool extend) {
  std::memset(x.sense, 0, sizeof x.sense);
  x.sense[0] = 0x72;
  x.sense[1] = key & 0x0F;
  x.sense[2] = asc;
  x.sense[3] = ascq;
  x.sense[7] = 14;  // one descriptor
  AtaReturnDescriptor(r, extend, x.sense + 8);
  x.senseLength = 22;
  x.status = kCheckCondition;
}

FaultProbe ProbeCdb(const std::uint8_t* c, win::DWORD ioctl) {
  FaultProbe p;
  p.ioctl = ioctl;
  p.opcode = c[0];
  if (c[0] == 0x08 && c[1] == 0xF2) {
    p.subcode = c[2];
    if (c[2] == 0x71) {
      p.ataCommand = c[4];
      p.features = c[5];
    } else if (c[2] == 0x48) {
      p.ataCommand = c[3];
    }
  } else if (c[0] == 0xA1) {
    p.ataCommand = c[9];
    p.features = c[3];
  } else if (c[0] == 0x85) {
    p.ataCommand = c[14];
    p.features = c[4];
  }
  return p;
}

bool RunOnDrive(Site& site, int slot, AtaRequest& req, ScsiExchange& x, AtaResponse& resp) {
  Site::SlotState* s = site.SlotAt(slot);
  std::shared_ptr<Drive> drive = s ? s->GetDrive() : nullptr;
  if (!drive || drive->Removed()) {
    FixedSense(x, kNotReady, kAscMediumNotPresent, 0);
    x.note = "no drive in the slot";
    return false;
  }
  const bool wantIn = IsDataIn(req.protocol);
  const bool wantOut = IsDataOut(req.protocol);
  if ((wantIn && x.HostReads()) || (wantOut && x.HostWrites())) {
    req.data = x.data;
    req.length = std::min(x.length, x.transferCap);
  } else {
    req.data = nullptr;  // the host offers no data this way: out-data reads as zeros
    req.length = 0;
  }
  req.timeoutSec = x.timeoutSec;
  // As a host adapter does: wait for a busy card up to the request's time-out,
  // and report a command nobody answers only once that time has passed.
  auto& clock = platform::Clock();
  const std::uint64_t deadline = clock.NowMs() + static_cast<std::uint64_t>(x.timeoutSec) * 1000;
  while (x.timeoutSec != 0 && drive->BusyFor(req) && clock.NowMs() < deadline)
    clock.SleepMs(std::min<std::uint64_t>(100, deadline - clock.NowMs()));
  resp = drive->Execute(req);
  if (resp.transport == TransportError::TimeOut && clock.NowMs() < deadline) clock.SleepMs(deadline - clock.NowMs());
  x.ataStatus = resp.status;
  x.ataError = resp.error;
  x.transferred = std::min(resp.transferred, req.length);
  switch (resp.transport) {
    case TransportError::None:
      return true;
    case TransportError::GenFailure:
      x.osError = win::ERROR_GEN_FAILURE;
      x.note = "drive: transport failure";
      return false;
    case TransportError::TimeOut:
      x.osError = win::ERROR_SEM_TIMEOUT;
      x.note = "drive: time-out";
      return false;
    case TransportError::Gone:
      x.osError = win::ERROR_DEVICE_NOT_CONNECTED;
      x.note = "drive: removed";
      return false;
  }
  return false;
}

bool IsVendorModeEntry(const AtaRequest& r) {
  const auto& sig = kx::kVendorModeSignature;
  return r.protocol == AtaProtocol::NonData && !r.is48 && r.features == 0 && r.count == sig[0] &&
         r.lbaLow == sig[1] && r.lbaMid == sig[2] && r.lbaHigh == sig[3] && r.device == sig[4] &&
         r.command == sig[5];
}

bool WaitCardReady(Site& site, int slot, std::uint32_t timeoutSec) {
  Site::SlotState* s = site.SlotAt(slot);
  std::shared_ptr<Drive> drive = s ? s->GetDrive() : nullptr;
  if (!drive) return true;
  auto& clock = platform::Clock();
  const std::uint64_t deadline = clock.NowMs() + (timeoutSec ? timeoutSec : 30) * 1000ull;
  for (;;) {
    if (drive->Removed() || !drive->Powered()) return true;
    const std::uint8_t state = drive->CardState();
    if (state == 0x50 || state == 0x51) return true;
    if (clock.NowMs() >= deadline) return false;
    clock.SleepMs(100);
  }
}

void SetDevSleepLine(Site& site, int slot, bool asserted) {
  Site::SlotState* s = site.SlotAt(slot);
  if (!s) return;
  std::shared_ptr<Drive> drive;
  {
    std::lock_guard lock(s->mutex);
    s->devSleep = asserted;
    drive = s->drive;
  }
  if (drive) drive->SetDevSleepLine(asserted);
}

void CardDetectReply(Site& site, int slot, bool testerForm, std::uint8_t out[16]) {
  std::memset(out, 0, 16);
  out[0] = 0x09;
  out[1] = 0x0C;
  Site::SlotState* s = site.SlotAt(slot);
  if (!s) {
    out[5] = 4;
    out[7] = 1;
    return;
  }
  std::shared_ptr<Drive> drive;
  TesterFaults faults;
  std::uint64_t detectUntil;
  {
    std::lock_guard lock(s->mutex);
    drive = s->drive;
    faults = s->faults;
    detectUntil = s->detectUntilMs;
  }
  const bool present = drive && !drive->Removed() && drive->Powered() && !faults.cardAbsent;
  if (!present) {
    out[5] = 4;  // no device
    out[7] = 1;
    return;
  }
  const std::uint8_t state = drive->CardState();
  out[13] = state;
  out[3] = (state & kStatusErr) ? kErrorAbrt : 0;
  if (faults.detectTimesOut) {
    out[5] = 5;
    out[7] = 1;
    return;
  }
  if (platform::Clock().NowMs() < detectUntil) {
    out[5] = 0;  // still detecting
    out[7] = 1;
    return;
  }
  const std::uint8_t eraseError = drive->EraseErrorByte();
  const std::uint8_t verdict = drive->VerdictLbaHigh();
  out[5] = 1;
  out[11] = verdict;
  if (testerForm) {
    // Byte 7 stays the detect-busy byte; the erase result has its own byte.
    out[12] = eraseError;
    out[14] = verdict;
  } else {
    out[7] = eraseError;  // the bridge's descriptor carries it as LBA low
  }
}

}  // namespace transport

using namespace transport;

FrontEnd::FrontEnd(Site& site, FrontEndKind kind, std::string path, int slot, win::DWORD diskNumber)
    : site_(site), kind_(kind), path_(std::move(path)), slot_(slot), diskNumber_(diskNumber) {}

namespace transport {

bool ApplyFault(Site& site, FrontEnd& fe, const FaultRule& rule, ScsiExchange& x) {
  switch (rule.action) {
    case FaultAction::OsError:
      x.osError = rule.osError;
      x.note = "fault: os error";
      return true;
    case FaultAction::CheckCondition:
      if (rule.descriptorSense) {
        std::memset(x.sense, 0, sizeof x.sense);
        x.sense[0] = 0x72;
        x.sense[1] = rule.senseKey & 0x0F;
        x.sense[2] = rule.asc;
        x.sense[3] = rule.ascq;
        x.senseLength = 8;
        x.status = kCheckCondition;
      } else {
        FixedSense(x, rule.senseKey, rule.asc, rule.ascq);
      }
      x.note = "fault: check condition";
      return true;
    case FaultAction::ShortTransfer:
      x.transferCap = rule.transferBytes;
      x.note = "fault: short transfer";
      return false;
    case FaultAction::IgnoreCkCond:
      x.ignoreCkCond = true;
      x.note = "fault: CK_COND ignored";
      return false;
    case FaultAction::Delay: {
      const std::uint64_t limitMs = static_cast<std::uint64_t>(x.timeoutSec) * 1000;
      if (x.timeoutSec != 0 && rule.delayMs > limitMs) {
        platform::Clock().SleepMs(limitMs);
        x.osError = win::ERROR_SEM_TIMEOUT;
        x.note = "fault: busy past the time-out";
        return true;
      }
      platform::Clock().SleepMs(rule.delayMs);
      x.note = "fault: delayed";
      return false;
    }
    case FaultAction::Gone:
      fe.SetGone(true);
      x.osError = win::ERROR_DEVICE_NOT_CONNECTED;
      x.note = "fault: device gone";
      return true;
    case FaultAction::HotRemove: {
      // Pulled before the command lands, whether or not it was meant for the drive.
      Site::SlotState* s = site.SlotAt(fe.Slot());
      if (auto drive = s ? s->GetDrive() : nullptr) drive->Remove();
      x.osError = win::ERROR_DEVICE_NOT_CONNECTED;
      x.note = "fault: hot removal";
      return true;
    }
  }
  return false;
}

}  // namespace transport

namespace {

void fillTrace(TraceRecord& rec, const ScsiExchange& x) {
  std::memcpy(rec.cdb, x.cdb, 16);
  rec.dataIn = x.hostDir;
  rec.length = x.length;
  rec.transferred = x.transferred;
  rec.scsiStatus = x.status;
  if (x.senseLength >= 4) {
    if ((x.sense[0] & 0x7F) >= 0x72) {
      rec.senseKey = x.sense[1] & 0x0F;
      rec.asc = x.sense[2];
      rec.ascq = x.sense[3];
    } else if (x.senseLength >= 14) {
      rec.senseKey = x.sense[2] & 0x0F;
      rec.asc = x.sense[12];
      rec.ascq = x.sense[13];
    }
  }
  rec.ataStatus = x.ataStatus;
  rec.ataError = x.ataError;
  rec.osError = x.osError;
  rec.note = x.note;
}

// Runs one SCSI request through faults, the decoders and the log.
void runScsi(Site& site, FrontEnd& fe, win::DWORD ioctl, ScsiExchange& x) {
  TraceRecord rec;
  rec.timeMs = platform::Clock().NowMs();
  rec.ioctl = ioctl;
  const FaultHit hit = fe.GetFaults().Check(ProbeCdb(x.cdb, ioctl));
  if (!hit.fired || !ApplyFault(site, fe, hit.rule, x)) {
    const std::uint8_t op = x.cdb[0];
    const bool testerForms = fe.Kind() != FrontEndKind::SataPort || fe.testerCapable;
    if (op == 0x12) {
      Inquiry(site, fe, x);
    } else if (op == 0x00) {
      if (fe.Kind() == FrontEndKind::SataPort) {
        Site::SlotState* s = site.SlotAt(fe.Slot());
        auto drive = s ? s->GetDrive() : nullptr;
        if (!drive || !drive->Powered()) FixedSense(x, kNotReady, 0x04, 0x02);
      }
    } else if (op == 0x08 && x.cdb[1] == 0xF2 && testerForms) {
      TesterCommand(site, fe, x);
    } else if (op == 0xA1 || op == 0x85) {
      SatCommand(site, fe, x);
    } else {
      InvalidOpcode(x);
    }
  }
  fillTrace(rec, x);
  fe.Log().Append(rec);
}

template <class Header>
bool validHeader(const Header& h) {
  return h.CdbLength >= 1 && h.CdbLength <= 16 && h.DataIn <= win::SCSI_IOCTL_DATA_UNSPECIFIED;
}

template <class Header>
void loadExchange(const Header& h, std::uint8_t* data, ScsiExchange& x) {
  std::memcpy(x.cdb, h.Cdb, h.CdbLength);  // bytes past CdbLength stay 0
  x.length = h.DataTransferLength;
  x.data = x.length ? data : nullptr;
  x.hostDir = x.length ? h.DataIn : win::SCSI_IOCTL_DATA_UNSPECIFIED;
  x.timeoutSec = h.TimeOutValue;
}

template <class Header>
void storeExchange(const ScsiExchange& x, Header& h, std::uint8_t* senseArea) {
  h.ScsiStatus = x.status;
  const std::uint8_t n = std::min<std::uint8_t>(x.senseLength, std::min<std::uint8_t>(h.SenseInfoLength,
                                                                                       win::kSenseLength));
  std::memcpy(senseArea, x.sense, n);
  h.SenseInfoLength = n;
  h.DataTransferLength = x.transferred;
}

}  // namespace

win::DWORD FrontEnd::IoControl(win::DWORD code, void* in, win::DWORD inSize, void* out, win::DWORD outSize,
                               win::DWORD* returned) {
  win::DWORD dummy = 0;
  if (!returned) returned = &dummy;
  *returned = 0;
  if (IsGone()) return win::ERROR_DEVICE_NOT_CONNECTED;
  switch (code) {
    case win::IOCTL_SCSI_PASS_THROUGH_DIRECT: {
      using Block = win::ScsiPassThroughDirectBlock;
      if (!in || !out || inSize < sizeof(Block) || outSize < sizeof(Block)) return win::ERROR_INVALID_PARAMETER;
      Block b;
      std::memcpy(&b, in, sizeof b);
      if (!validHeader(b.Sptd)) return win::ERROR_INVALID_PARAMETER;
      if (b.Sptd.DataTransferLength != 0 && b.Sptd.DataBuffer == nullptr) return win::ERROR_INVALID_PARAMETER;
      ScsiExchange x;
      loadExchange(b.Sptd, static_cast<std::uint8_t*>(b.Sptd.DataBuffer), x);
      runScsi(site_, *this, code, x);
      if (x.osError != 0) return x.osError;
      storeExchange(x, b.Sptd, b.Sense);
      std::memcpy(out, &b, sizeof b);
      *returned = sizeof b;
      return 0;
    }
    case win::IOCTL_SCSI_PASS_THROUGH: {
      using Block = win::ScsiPassThroughBlock;
      if (!in || !out || inSize < sizeof(Block) || outSize < sizeof(Block)) return win::ERROR_INVALID_PARAMETER;
      auto b = std::make_unique<Block>();
      std::memcpy(b.get(), in, sizeof(Block));
      if (!validHeader(b->Spt) || b->Spt.DataTransferLength > sizeof(b->Data)) return win::ERROR_INVALID_PARAMETER;
      ScsiExchange x;
      loadExchange(b->Spt, b->Data, x);
      runScsi(site_, *this, code, x);
      if (x.osError != 0) return x.osError;
      storeExchange(x, b->Spt, b->Sense);
      std::memcpy(out, b.get(), sizeof(Block));
      *returned = sizeof(Block);
      return 0;
    }
    case win::IOCTL_ATA_PASS_THROUGH_DIRECT: {
      using Block = win::ATA_PASS_THROUGH_DIRECT;
      if (!in || !out || inSize < sizeof(Block) || outSize < sizeof(Block)) return win::ERROR_INVALID_PARAMETER;
      Block a;
      std::memcpy(&a, in, sizeof a);
      TraceRecord rec;
      const win::DWORD err = SataTaskFile(site_, *this, a, rec);
      Log().Append(rec);
      if (err != 0) return err;
      std::memcpy(out, &a, sizeof a);
      *returned = sizeof a;
      return 0;
    }
    case win::IOCTL_STORAGE_GET_DEVICE_NUMBER: {
      if (!out || outSize < sizeof(win::STORAGE_DEVICE_NUMBER)) return win::ERROR_INSUFFICIENT_BUFFER;
      win::STORAGE_DEVICE_NUMBER n;
      n.DeviceType = 7;  // disk
      n.DeviceNumber = diskNumber_;
      n.PartitionNumber = 0;
      std::memcpy(out, &n, sizeof n);
      *returned = sizeof n;
      return 0;
    }
    case win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: {
      if (!out || outSize < sizeof(win::DISK_GEOMETRY_EX)) return win::ERROR_INSUFFICIENT_BUFFER;
      Site::SlotState* s = site_.SlotAt(slot_);
      auto drive = s ? s->GetDrive() : nullptr;
      if (!drive || drive->Removed()) return win::ERROR_NOT_READY;
      win::DISK_GEOMETRY_EX g;
      const std::uint64_t sectors = drive->Config().capacitySectors;
      g.Geometry.MediaType = 12;  // fixed media
      g.Geometry.TracksPerCylinder = 255;
      g.Geometry.SectorsPerTrack = 63;
      g.Geometry.BytesPerSector = 512;
      g.Geometry.Cylinders = static_cast<std::int64_t>(sectors / (255 * 63));
      g.DiskSize = static_cast<std::int64_t>(sectors * 512);
      std::memcpy(out, &g, sizeof g);
      *returned = sizeof g;
      return 0;
    }
    case win::FSCTL_DISMOUNT_VOLUME:
    case win::FSCTL_LOCK_VOLUME:
    case win::FSCTL_UNLOCK_VOLUME:
      return 0;  // a disk handle has no file system; the command layer's close sends a dismount
    default:
      return win::ERROR_INVALID_FUNCTION;
  }
}

}  // namespace emu
