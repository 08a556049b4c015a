// Request plumbing common to every front end: buffer checks, fault rules, sense
// data, the hand-over to the drive and the command log.
#include "emulator/Transport.h"

#include <algorithm>
#include <cstring>

#include "platform/Clock.h"
#include "protocol/KxSignatures.h"
#include "protocol/SatCdb.h"
#include "protocol/TesterForms.h"

namespace emu {
namespace transport {

void ScsiExchange::Reply(const std::uint8_t* bytes, std::uint32_t n) {
  if (!HostReads()) return;
  const std::uint32_t m = std::min({n, length, transferCap});
  std::memcpy(data, bytes, m);
  transferred = m;
}

static_assert(sizeof ScsiExchange::sense >= protocol::kDescriptorSenseHeader + protocol::kAtaReturnDescriptorLength);

void FixedSense(ScsiExchange& x, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  std::memset(x.sense, 0, sizeof x.sense);
  protocol::WriteFixedSense(x.sense, key, asc, ascq);
  x.senseLength = protocol::kFixedSenseLength;
  x.status = kCheckCondition;
}

void InvalidField(ScsiExchange& x, std::uint16_t byte, int bit) {
  FixedSense(x, kIllegalRequest, kAscInvalidField, 0);
  protocol::SetFieldPointer(x.sense, true, byte, bit);
  x.note = "invalid field in CDB";
}

void InvalidOpcode(ScsiExchange& x) {
  FixedSense(x, kIllegalRequest, kAscInvalidOpcode, 0);
  protocol::SetFieldPointer(x.sense, true, 0, -1);
  x.note = "invalid opcode";
}

void AtaSense(ScsiExchange& x, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, const AtaResponse& r,
              bool extend) {
  const protocol::AtaReturn ret = ReturnOf(r, extend);
  std::memset(x.sense, 0, sizeof x.sense);
  protocol::WriteDescriptorSenseHeader(x.sense, key, asc, ascq, protocol::kAtaReturnDescriptorLength);
  protocol::WriteAtaReturnDescriptor(ret, x.sense + protocol::kDescriptorSenseHeader);
  x.senseLength = protocol::kDescriptorSenseHeader + protocol::kAtaReturnDescriptorLength;
  x.status = kCheckCondition;
}

FaultProbe ProbeCdb(const std::uint8_t* c, win::DWORD ioctl) {
  constexpr std::size_t kLength = 16;
  FaultProbe p;
  p.ioctl = ioctl;
  p.opcode = c[0];
  protocol::Tester71 form71;
  protocol::AtaTaskFile form48;
  protocol::SatCdb sat;
  if (c[0] == protocol::kTesterOpcode && c[1] == protocol::kTesterFamily) {
    p.subcode = c[2];
    if (protocol::ParseTester71(c, kLength, form71)) {
      p.ataCommand = form71.regs.command;
      p.features = form71.regs.features;
    } else if (c[2] == protocol::kTesterAta48 && protocol::ParseTester48(c, kLength, form48)) {
      p.ataCommand = form48.command;
    }
  } else if (protocol::ParseSatCdb(c, kLength, sat)) {
    p.ataCommand = sat.regs.command;
    p.features = sat.regs.features;
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

// The card-detect reply: the layout of the ATA status return descriptor, its
// registers standing for the detection; the tester's form adds two bytes.
//  byte  field        here
//    0   09h
//    1   0Ch
//    3   ERROR        ABRT when the card's state has ERR
//    5   COUNT        0 detecting, 1 found, 4 no card, 5 detection timed out
//    7   LBA (7:0)    1 until found; then 0, or in the bridge form the erase result
//   11   LBA (23:16)  the verdict byte
//   12   DEVICE       tester form: the erase result
//   13   STATUS       the card's state
//   14   -            tester form: the verdict byte
//   15   -            0
void CardDetectReply(Site& site, int slot, bool testerForm, std::uint8_t out[16]) {
  constexpr std::uint8_t kDetecting = 0, kFound = 1, kNoCard = 4, kDetectTimedOut = 5;
  std::memset(out, 0, 16);
  protocol::AtaReturn r;
  r.count = kNoCard;
  r.lbaLow = 1;
  auto reply = [&r, out] { protocol::WriteAtaReturnDescriptor(r, out); };
  Site::SlotState* s = site.SlotAt(slot);
  if (!s) return reply();
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
  if (!present) return reply();
  const std::uint8_t state = drive->CardState();
  r.status = state;
  r.error = (state & kStatusErr) ? kErrorAbrt : 0;
  if (faults.detectTimesOut) {
    r.count = kDetectTimedOut;
    return reply();
  }
  if (platform::Clock().NowMs() < detectUntil) {
    r.count = kDetecting;
    return reply();
  }
  const std::uint8_t eraseError = drive->EraseErrorByte();
  const std::uint8_t verdict = drive->VerdictLbaHigh();
  r.count = kFound;
  r.lbaHigh = verdict;
  // The tester form keeps byte 7 as the (now clear) detect-busy byte.
  r.lbaLow = testerForm ? 0 : eraseError;
  r.device = testerForm ? eraseError : 0;
  reply();
  if (testerForm) out[14] = verdict;
  if (testerForm && drive->Config().selfBurnIn) {
    out[12] = 0xAB;
    out[13] = 0xCD;
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
        protocol::WriteDescriptorSenseHeader(x.sense, rule.senseKey, rule.asc, rule.ascq, 0);
        x.senseLength = protocol::kDescriptorSenseHeader;
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
  protocol::SenseData sense;
  if (protocol::ParseSense(x.sense, x.senseLength, sense)) {
    rec.senseKey = sense.key;
    rec.asc = sense.asc;
    rec.ascq = sense.ascq;
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
    constexpr std::uint8_t kTestUnitReady = 0x00, kInquiry = 0x12;
    const std::uint8_t op = x.cdb[0];
    const bool testerForms = fe.Kind() != FrontEndKind::SataPort || fe.testerCapable;
    if (op == kInquiry) {
      Inquiry(site, fe, x);
    } else if (op == kTestUnitReady) {
      if (fe.Kind() == FrontEndKind::SataPort) {
        Site::SlotState* s = site.SlotAt(fe.Slot());
        auto drive = s ? s->GetDrive() : nullptr;
        if (!drive || !drive->Powered()) FixedSense(x, kNotReady, protocol::kAscNotReady, protocol::kAscqInitRequired);
      }
    } else if (op == protocol::kTesterOpcode && x.cdb[1] == protocol::kTesterFamily && testerForms) {
      TesterCommand(site, fe, x);
    } else if (op == protocol::kAtaPassThrough12 || op == protocol::kAtaPassThrough16) {
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
      if (drive->Faults().GeometryRefused()) return win::ERROR_INVALID_FUNCTION;
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
