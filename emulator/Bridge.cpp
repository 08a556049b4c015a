// SAT ATA PASS-THROUGH (12) A1h and (16) 85h, as a USB-to-SATA bridge decodes
// them: protocol, transfer direction and length fields, CK_COND and the ATA
// status return descriptor, the response-information request (protocol 15) that
// the host uses as its card detect, and the reset protocols.
#include <algorithm>
#include <array>

#include "emulator/Transport.h"

namespace emu {
namespace transport {

namespace {

enum : std::uint8_t {
  kProtoHardReset = 0,
  kProtoSoftReset = 1,
  kProtoNonData = 3,
  kProtoPioIn = 4,
  kProtoPioOut = 5,
  kProtoDma = 6,
  kProtoDiagnostic = 8,
  kProtoDeviceReset = 9,
  kProtoUdmaIn = 10,
  kProtoUdmaOut = 11,
  kProtoResponseInfo = 15,
};

// CDB byte of each register, in TaskRegisters order (AtaTypes.h).
//             features count LBA low mid high device command | previous: features count LBA low mid high
//   (16) 85h     4      6      8      10  12    13     14     |             3       5      7      9   11
//   (12) A1h     3      4      5      6   7     8      9      |   none
constexpr std::array<std::uint8_t, 12> kSat16Register = {4, 6, 8, 10, 12, 13, 14, 3, 5, 7, 9, 11};
constexpr std::array<std::uint8_t, 7> kSat12Register = {3, 4, 5, 6, 7, 8, 9};

AtaRequest LoadCdbRegisters(const std::uint8_t* c, bool is16, bool extend) {
  TaskRegisters r{};
  if (is16) {
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = c[kSat16Register[i]];
  } else {
    for (std::size_t i = 0; i < kSat12Register.size(); ++i) r[i] = c[kSat12Register[i]];
  }
  return LoadRegisters(r, extend);
}

}  // namespace

void SatCommand(Site& site, FrontEnd& fe, ScsiExchange& x) {
  const std::uint8_t* c = x.cdb;
  const bool is16 = c[0] == 0x85;
  const std::uint8_t protocol = (c[1] >> 1) & 0x0F;
  const bool extend = is16 && (c[1] & 0x01);
  const std::uint8_t flags = c[2];
  const bool ckCond = flags & 0x20;
  const bool fromDevice = flags & 0x08;
  const bool inBlocks = flags & 0x04;
  const std::uint8_t lengthField = flags & 0x03;

  AtaRequest req = LoadCdbRegisters(c, is16, extend);

  bool dataProtocol = true;
  switch (protocol) {
    case kProtoHardReset:
    case kProtoSoftReset:
    case kProtoDeviceReset: {
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
    case kProtoResponseInfo: {
      // The host's card detect, and its device-sleep requests rewritten from
      // the tester's sub-commands: command EFh with the level in FEATURES drives
      // the slot's device-sleep line (1 asserts it, anything else releases it).
      // The answer is always the status return descriptor, with GOOD status
      // whatever CK_COND says.
      if (req.command == 0xEF) SetDevSleepLine(site, fe.Slot(), req.features == 0x01);
      std::uint8_t reply[16];
      CardDetectReply(site, fe.Slot(), false, reply);
      x.Reply(reply, 14);
      return;
    }
    case kProtoNonData:
    case kProtoDiagnostic:
      req.protocol = AtaProtocol::NonData;
      dataProtocol = false;
      break;
    case kProtoPioIn:
      req.protocol = AtaProtocol::PioIn;
      break;
    case kProtoPioOut:
      req.protocol = AtaProtocol::PioOut;
      break;
    case kProtoUdmaIn:
      req.protocol = AtaProtocol::DmaIn;
      break;
    case kProtoUdmaOut:
      req.protocol = AtaProtocol::DmaOut;
      break;
    case kProtoDma:
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
    if (lengthField == 1) {
      units = req.features | (extend ? static_cast<std::uint32_t>(req.featuresExp) << 8 : 0);
    } else if (lengthField == 2) {
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
