// SAT ATA PASS-THROUGH (12) A1h and (16) 85h, as a USB-to-SATA bridge decodes
// them: protocol, transfer direction and length fields, CK_COND and the ATA
// status return descriptor, the response-information request (protocol 15) that
// the host uses as its card detect, and the reset protocols.
#include <algorithm>

#include "emulator/Transport.h"
#include "protocol/SatCdb.h"

namespace emu {
namespace transport {

void SatCommand(Site& site, FrontEnd& fe, ScsiExchange& x) {
  protocol::SatCdb sat;
  if (!protocol::ParseSatCdb(x.cdb, sizeof x.cdb, sat)) {  // the dispatcher sends only A1h and 85h
    InvalidOpcode(x);
    return;
  }
  const bool extend = sat.extend;
  const bool ckCond = sat.flags & protocol::kSatCkCond;
  const bool fromDevice = sat.flags & protocol::kSatTDirIn;
  const bool inBlocks = sat.flags & protocol::kSatBytBlok;
  const std::uint8_t lengthField = sat.flags & protocol::kSatTLengthMask;

  AtaRequest req = LoadRegisters(sat.regs, extend);

  bool dataProtocol = true;
  switch (sat.protocol) {
    case protocol::kSatHardReset:
    case protocol::kSatSoftReset:
    case protocol::kSatDeviceReset: {
      Site::SlotState* s = site.SlotAt(fe.Slot());
      auto drive = s ? s->GetDrive() : nullptr;
      if (!drive || drive->Removed()) {
        FixedSense(x, kNotReady, kAscMediumNotPresent, 0);
        return;
      }
      drive->HardReset();
      x.note = "reset";
      return;
    }
    case protocol::kSatResponseInfo: {
      // The host's card detect, and its device-sleep requests rewritten from
      // the tester's sub-commands: command EFh with the level in FEATURES drives
      // the slot's device-sleep line (1 asserts it, anything else releases it).
      // The answer is always the status return descriptor, with GOOD status
      // whatever CK_COND says. The tester's line and feature requests look
      // alike once rewritten, so level 1 first enables the feature on the drive
      // (SET FEATURES 10h, count 09h), as the tester's feature request does.
      if (req.command == protocol::kAtaSetFeatures) {
        Site::SlotState* s = site.SlotAt(fe.Slot());
        auto drive = s ? s->GetDrive() : nullptr;
        if (req.features == 0x01 && drive && !drive->Removed()) {
          AtaRequest enable;
          enable.command = protocol::kAtaSetFeatures;
          enable.features = 0x10;
          enable.count = 0x09;
          enable.device = 0xA0;
          drive->Execute(enable);
        }
        SetDevSleepLine(site, fe.Slot(), req.features == 0x01);
      }
      std::uint8_t reply[16];
      CardDetectReply(site, fe.Slot(), false, reply);
      x.Reply(reply, 14);
      return;
    }
    case protocol::kSatNonData:
    case protocol::kSatDiagnostic:
      req.protocol = AtaProtocol::NonData;
      dataProtocol = false;
      break;
    case protocol::kSatPioIn:
      req.protocol = AtaProtocol::PioIn;
      break;
    case protocol::kSatPioOut:
      req.protocol = AtaProtocol::PioOut;
      break;
    case protocol::kSatUdmaIn:
      req.protocol = AtaProtocol::DmaIn;
      break;
    case protocol::kSatUdmaOut:
      req.protocol = AtaProtocol::DmaOut;
      break;
    case protocol::kSatDma:
      req.protocol = fromDevice ? AtaProtocol::DmaIn : AtaProtocol::DmaOut;
      break;
    default:
      InvalidField(x, 1, 4);
      return;
  }

  if (dataProtocol) {
    if (IsDataIn(req.protocol) != fromDevice) {
      InvalidField(x, 2, 3);  // T_DIR contradicts the protocol
      return;
    }
    std::uint32_t units;
    if (lengthField == protocol::kSatTLengthFeatures) {
      units = req.features | (extend ? static_cast<std::uint32_t>(req.featuresExp) << 8 : 0);
    } else if (lengthField == protocol::kSatTLengthCount) {
      // A count of 0 is 256 sectors (65536 extended), as the drive reads it.
      units = req.count | (extend ? static_cast<std::uint32_t>(req.countExp) << 8 : 0);
      if (units == 0 && inBlocks) units = extend ? 65536u : 256u;
    } else {
      InvalidField(x, 2, 1);  // no length, or a length in a field this bridge lacks
      return;
    }
    const std::uint32_t implied = inBlocks ? units * 512u : units;
    x.transferCap = std::min(x.transferCap, implied);
  }

  if (IsVendorModeEntry(req) && !WaitCardReady(site, fe.Slot(), x.timeoutSec)) {
    x.osError = win::ERROR_SEM_TIMEOUT;
    x.note = "card never became ready";
    return;
  }
  AtaResponse resp;
  if (!RunOnDrive(site, fe.Slot(), req, x, resp)) return;
  // The error register means something only with ERR (a diagnostic's code does not fail it).
  if (resp.status & kStatusErr) {
    AtaSense(x, (resp.error & kErrorUnc) ? kMediumError : kAbortedCommand, 0x00, 0x1D, resp, extend);
  } else if (ckCond && !x.ignoreCkCond) {
    AtaSense(x, kRecoveredError, 0x00, 0x1D, resp, extend);
  }
}

}  // namespace transport
}  // namespace emu
