// A drive on a SATA port, reached by IOCTL_ATA_PASS_THROUGH_DIRECT task files
// (28- and 48-bit). The port's SCSI side (SAT and, on a tester's switch board,
// the 08 F2 family) is the common SCSI path.
#include <cstring>

#include "emulator/Transport.h"
#include "platform/Clock.h"
#include "protocol/TaskFiles.h"

namespace emu {
namespace transport {

namespace {

static_assert(sizeof win::ATA_PASS_THROUGH_DIRECT::CurrentTaskFile == protocol::kTaskFileLength &&
              sizeof win::ATA_PASS_THROUGH_DIRECT::PreviousTaskFile == protocol::kTaskFileLength);

// Commands the port answers itself rather than the drive: the firmware-name read
// (60h, 16 bytes in) and the device-sleep line (05h, count 1 asserts it, any
// other count releases it). The card detect (the vendor-mode entry) first waits,
// as the adapter waits for DRDY, until the card is ready; a card that stays busy
// fails it with 121 (x.osError). True when answered here.
bool portCommand(Site& site, FrontEnd& fe, const AtaRequest& req, ScsiExchange& x, AtaResponse& resp) {
  Site::SlotState* s = site.SlotAt(fe.Slot());
  std::shared_ptr<Drive> drive = s ? s->GetDrive() : nullptr;
  if (!drive || drive->Removed() || !drive->Powered()) return false;
  resp = AtaResponse{};
  resp.count = req.count;
  resp.lbaLow = req.lbaLow;
  resp.lbaMid = req.lbaMid;
  resp.lbaHigh = req.lbaHigh;
  resp.device = req.device;
  if (IsVendorModeEntry(req)) {
    if (WaitCardReady(site, fe.Slot(), x.timeoutSec)) return false;  // the drive answers the key itself
    x.osError = win::ERROR_SEM_TIMEOUT;
    x.note = "card never became ready";
    return true;
  }
  if (req.command == kTesterFirmwareName && req.protocol != AtaProtocol::NonData && IsDataIn(req.protocol)) {
    const auto name = drive->FirmwareName();
    x.Reply(name.data(), static_cast<std::uint32_t>(name.size()));
    x.note = "firmware name";
    return true;
  }
  if (req.command == kTesterDevSleepLine && req.protocol == AtaProtocol::NonData) {
    SetDevSleepLine(site, fe.Slot(), req.count == 0x01);
    x.note = "device-sleep line";
    return true;
  }
  return false;
}

}  // namespace

win::DWORD SataTaskFile(Site& site, FrontEnd& fe, win::ATA_PASS_THROUGH_DIRECT& a, TraceRecord& rec) {
  rec.timeMs = platform::Clock().NowMs();
  rec.ioctl = win::IOCTL_ATA_PASS_THROUGH_DIRECT;
  std::memcpy(rec.taskFile, a.CurrentTaskFile, 8);
  std::memcpy(rec.prevTaskFile, a.PreviousTaskFile, 8);
  rec.dataIn = static_cast<std::uint8_t>(a.AtaFlags);
  rec.length = a.DataTransferLength;
  auto finish = [&rec](win::DWORD err, const char* note) {
    rec.osError = err;
    if (note) rec.note = note;
    return err;
  };

  if (fe.Kind() != FrontEndKind::SataPort || !fe.ataPassThrough)
    return finish(win::ERROR_INVALID_FUNCTION, "ATA pass-through not supported");
  const bool in = a.AtaFlags & win::ATA_FLAGS_DATA_IN;
  const bool out = a.AtaFlags & win::ATA_FLAGS_DATA_OUT;
  const bool dma = a.AtaFlags & win::ATA_FLAGS_USE_DMA;
  const bool is48 = a.AtaFlags & win::ATA_FLAGS_48BIT_COMMAND;
  if (in && out) return finish(win::ERROR_INVALID_PARAMETER, "both directions");
  if (a.DataTransferLength != 0 && a.DataBuffer == nullptr) return finish(win::ERROR_INVALID_PARAMETER, "no buffer");

  AtaRequest req = LoadRegisters(protocol::ParseTaskFiles(a.CurrentTaskFile, a.PreviousTaskFile, is48), is48);
  req.protocol = in    ? (dma ? AtaProtocol::DmaIn : AtaProtocol::PioIn)
                 : out ? (dma ? AtaProtocol::DmaOut : AtaProtocol::PioOut)
                       : AtaProtocol::NonData;

  ScsiExchange x;
  x.hostDir = in ? win::SCSI_IOCTL_DATA_IN : out ? win::SCSI_IOCTL_DATA_OUT : win::SCSI_IOCTL_DATA_UNSPECIFIED;
  x.data = static_cast<std::uint8_t*>(a.DataBuffer);
  x.length = a.DataTransferLength;
  if (x.length == 0) x.data = nullptr;
  x.timeoutSec = a.TimeOutValue;

  FaultProbe probe;
  probe.ioctl = win::IOCTL_ATA_PASS_THROUGH_DIRECT;
  probe.ataCommand = req.command;
  probe.features = req.features;
  const FaultHit hit = fe.GetFaults().Check(probe);
  AtaResponse resp;
  bool ran = false;
  if (hit.fired && hit.rule.action == FaultAction::CheckCondition) {
    // The task-file form of a failed command: ERR, with the rule's key as the error register.
    resp.status = kStatusDrdy | 0x10 | kStatusErr;
    resp.error = hit.rule.senseKey ? hit.rule.senseKey : kErrorAbrt;
    rec.note = "fault: command failed";
    ran = true;
  } else if (hit.fired && ApplyFault(site, fe, hit.rule, x)) {
    return finish(x.osError, x.note);
  }
  if (!ran) ran = portCommand(site, fe, req, x, resp);
  if (x.osError != 0) return finish(x.osError, x.note);
  if (!ran) {
    if (!RunOnDrive(site, fe.Slot(), req, x, resp)) {
      if (x.osError != 0) return finish(x.osError, x.note);
      return finish(win::ERROR_NOT_READY, x.note);
    }
  }
  if (*x.note && !*rec.note) rec.note = x.note;

  protocol::WriteReturnTaskFiles(ReturnOf(resp, is48), a.CurrentTaskFile, a.PreviousTaskFile);
  a.DataTransferLength = x.transferred;
  rec.transferred = x.transferred;
  rec.ataStatus = resp.status;
  rec.ataError = resp.error;
  return 0;
}

}  // namespace transport
}  // namespace emu
