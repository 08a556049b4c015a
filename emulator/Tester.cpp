// The tester board's command family (08 F2 xx): its information page, firmware
// version, card detect, card power and resets, the short test, supply voltage and
// current readings, the device-sleep line, and the two forms (71 and 48) that
// carry an ATA command to the card. Bridges answer the same family.
#include <algorithm>
#include <cstring>

#include "emulator/Transport.h"
#include "platform/Clock.h"
#include "protocol/TesterForms.h"

namespace emu {
namespace transport {

namespace {

constexpr std::uint32_t kPageSize = 528;

void putText(std::uint8_t* dst, const std::string& s, std::size_t width, char pad = ' ') {
  for (std::size_t i = 0; i < width; ++i) dst[i] = static_cast<std::uint8_t>(i < s.size() ? s[i] : pad);
}

char hexDigit(int v) { return "0123456789ABCDEF"[v & 15]; }

void buildPage(const FrontEnd& fe, const TesterInfo& info, bool noCard, std::uint8_t* p) {
  std::memset(p, 0, kPageSize);
  p[8] = static_cast<std::uint8_t>(info.id1);
  p[9] = static_cast<std::uint8_t>(info.id1 >> 8);
  p[10] = static_cast<std::uint8_t>(info.id2);
  p[11] = static_cast<std::uint8_t>(info.id2 >> 8);
  // Name: 12 characters in every second byte; the last two are the slot in hex.
  const int slot = info.pageSlot != 0 ? info.pageSlot : fe.Slot();
  std::string name = info.name.substr(0, 10);
  name.resize(10, ' ');
  name += hexDigit(slot >> 4);
  name += hexDigit(slot);
  for (int i = 0; i < 12; ++i) p[98 + 2 * i] = static_cast<std::uint8_t>(name[static_cast<std::size_t>(i)]);
  putText(p + 196, info.vendorTag, 6, '\0');
  p[256] = info.usbGen;
  p[257] = info.sataGen;
  p[258] = info.sataPowerOn;
  if (info.calibrated) {
    std::memcpy(p + 458, "TUCR", 4);
    p[462] = static_cast<std::uint8_t>(info.calibration >> 8);
    p[463] = static_cast<std::uint8_t>(info.calibration);
  }
  p[484] = info.kind;
  // Output voltage: old firmware (0) reports nothing; otherwise "no card" (3) for an empty slot.
  p[486] = info.outputVoltage != 0 && noCard ? 3 : info.outputVoltage;
}

// A power command (84, 85, 90) refused by an injected fault.
bool powerCommandRefused(Site::SlotState& s, ScsiExchange& x) {
  std::lock_guard lock(s.mutex);
  if (s.faults.powerCommandFailures <= 0) return false;
  --s.faults.powerCommandFailures;
  FixedSense(x, kHardwareError, 0x44, 0x00);
  x.note = "fault: power command refused";
  return true;
}

void startDetecting(Site::SlotState& s, const TesterInfo& info) {
  s.detectUntilMs = platform::Clock().NowMs() + info.detectMs;
}

void cardPower(Site::SlotState& s, const TesterInfo& info, bool on) {
  std::shared_ptr<Drive> drive;
  {
    std::lock_guard lock(s.mutex);
    drive = s.drive;
    if (on) {
      ++s.powerCycles;
      startDetecting(s, info);
    } else {
      s.shortTests = 0;  // the host's short check starts with a power-off
    }
  }
  if (!drive) return;
  if (on) {
    if (!drive->Powered()) drive->PowerOn();
  } else {
    drive->PowerOff();
  }
}

void subCommand(Site& site, FrontEnd& fe, Site::SlotState& s, ScsiExchange& x) {
  const std::uint8_t sub = x.cdb[protocol::kTesterSubCommandByte];
  const std::uint8_t param = x.cdb[protocol::kTesterParameterByte];
  std::uint8_t reply[16] = {};
  const TesterInfo& info = fe.Info();
  switch (sub) {
    case 0x00:  // card detect
      CardDetectReply(site, fe.Slot(), true, reply);
      x.Reply(reply, 16);
      return;
    case 0x30:  // tester firmware version
      reply[8] = info.fwMajor;
      reply[9] = info.fwMinor;
      x.Reply(reply, 16);
      return;
    case 0x18: {  // adjust card voltage
      std::lock_guard lock(s.mutex);
      s.voltageLevel = param;
      reply[12] = s.faults.adjustVoltageReply;
      break;
    }
    case 0x20: {  // card current
      std::lock_guard lock(s.mutex);
      const bool powered = s.drive && s.drive->Powered();
      const std::uint16_t v = s.faults.currentInvalid ? 0xFFFF : powered ? info.cardCurrent : 0;
      reply[10] = static_cast<std::uint8_t>(v >> 8);
      reply[11] = static_cast<std::uint8_t>(v);
      break;
    }
    case 0x24: {  // max current; sub-parameter 1 clears the record
      std::lock_guard lock(s.mutex);
      if (param == 0x01) {
        s.maxCurrentCleared = true;
      } else if (param == 0x00) {
        const std::uint16_t v =
            s.faults.currentInvalid ? 0xFFFF : s.maxCurrentCleared ? info.cardCurrent : info.maxCurrent;
        reply[0] = static_cast<std::uint8_t>(v >> 8);
        reply[1] = static_cast<std::uint8_t>(v);
      } else {
        InvalidField(x, protocol::kTesterParameterByte);
        return;
      }
      break;
    }
    case kTesterFirmwareName: {  // the controller's firmware name
      auto drive = s.GetDrive();
      if (!drive || drive->Removed() || !drive->Powered()) {
        FixedSense(x, kNotReady, kAscMediumNotPresent, 0);
        x.note = "no card";
        return;
      }
      const auto name = drive->FirmwareName();
      std::memcpy(reply, name.data(), 16);
      break;
    }
    case kTesterDevSleepLine:  // device-sleep line: 1 asserts it, anything else releases it
      SetDevSleepLine(site, fe.Slot(), param == 0x01);
      break;
    case kTesterDevSleepFeature: {  // device-sleep feature: the tester sends SET FEATURES (enable/disable DEVSLP)
      AtaRequest req;
      req.command = protocol::kAtaSetFeatures;
      req.features = param == 0x01 ? 0x10 : 0x90;
      req.count = 0x09;
      req.device = 0xA0;
      AtaResponse resp;
      if (!RunOnDrive(site, fe.Slot(), req, x, resp)) return;
      if (resp.status & kStatusErr) AtaSense(x, kAbortedCommand, 0x00, 0x1D, resp, false);
      return;
    }
    default:
      InvalidField(x, protocol::kTesterSubCommandByte);
      return;
  }
  x.Reply(reply, 16);
}

// 08 F2 71: a 28-bit ATA command for the card.
void ataForm28(Site& site, FrontEnd& fe, ScsiExchange& x) {
  protocol::Tester71 form;
  if (!protocol::ParseTester71(x.cdb, sizeof x.cdb, form)) {  // the family dispatch sends only 71
    InvalidField(x, 2);
    return;
  }
  AtaRequest req = LoadRegisters(form.regs, false);
  switch (form.protocol) {
    case protocol::kTesterNonData: req.protocol = AtaProtocol::NonData; break;
    case protocol::kTesterPioIn: req.protocol = AtaProtocol::PioIn; break;
    case protocol::kTesterPioOut:
    case protocol::kTesterPioOutLong: req.protocol = AtaProtocol::PioOut; break;
    case protocol::kTesterDmaIn: req.protocol = AtaProtocol::DmaIn; break;
    case protocol::kTesterDmaOut: req.protocol = AtaProtocol::DmaOut; break;
    default:
      InvalidField(x, 3);
      return;
  }
  AtaResponse resp;
  if (!RunOnDrive(site, fe.Slot(), req, x, resp)) return;
  // The error register means something only with ERR (a diagnostic's code does not fail it).
  if (resp.status & kStatusErr) {
    AtaSense(x, (resp.error & kErrorUnc) ? kMediumError : kAbortedCommand, 0x00, 0x1D, resp, false);
    return;
  }
  // A no-data command with the transfer byte set returns the registers.
  if (req.protocol == AtaProtocol::NonData && form.transfer != 0) {
    std::uint8_t regs[protocol::kTesterReplyLength];
    protocol::BuildTester71Reply(ReturnOf(resp, false), regs);
    x.Reply(regs, sizeof regs);
  }
}

// 08 F2 48: a 48-bit ATA command; the command byte implies the protocol.
void ataForm48(Site& site, FrontEnd& fe, ScsiExchange& x) {
  protocol::AtaTaskFile regs;
  protocol::ParseTester48(x.cdb, sizeof x.cdb, regs);
  regs.device = protocol::kAtaDeviceLba;  // LBA addressing
  AtaRequest req = LoadRegisters(regs, true);
  switch (regs.command) {
    case protocol::kAtaNop: req.protocol = AtaProtocol::NonData; break;
    case protocol::kAtaReadSectorsExt: req.protocol = AtaProtocol::PioIn; break;
    case protocol::kAtaWriteSectorsExt: req.protocol = AtaProtocol::PioOut; break;
    case protocol::kAtaReadDmaExt: req.protocol = AtaProtocol::DmaIn; break;
    case protocol::kAtaWriteDmaExt: req.protocol = AtaProtocol::DmaOut; break;
    default:
      InvalidField(x, 3);
      return;
  }
  AtaResponse resp;
  if (!RunOnDrive(site, fe.Slot(), req, x, resp)) return;
  if (resp.status & kStatusErr)
    AtaSense(x, (resp.error & kErrorUnc) ? kMediumError : kAbortedCommand, 0x00, 0x1D, resp, true);
}

}  // namespace

void TesterCommand(Site& site, FrontEnd& fe, ScsiExchange& x) {
  Site::SlotState* s = site.SlotAt(fe.Slot());
  if (!s) {
    InvalidOpcode(x);
    return;
  }
  const std::uint8_t* c = x.cdb;
  const TesterInfo& info = fe.Info();
  switch (c[2]) {
    case 0xA0: {  // information page
      std::uint8_t page[kPageSize];
      const auto drive = s->GetDrive();
      bool noCard = !drive || drive->Removed();
      {
        std::lock_guard lock(s->mutex);
        noCard = noCard || s->faults.cardAbsent;
      }
      buildPage(fe, info, noCard, page);
      x.Reply(page, kPageSize);
      return;
    }
    case protocol::kTesterSubCommand:
      subCommand(site, fe, *s, x);
      return;
    case protocol::kTesterAta28:
      ataForm28(site, fe, x);
      return;
    case protocol::kTesterAta48:
      ataForm48(site, fe, x);
      return;
    case 0x99: {  // power-ground short test: byte 7 5 V, byte 8 3.3 V
      std::uint8_t reply[16] = {};
      {
        std::lock_guard lock(s->mutex);
        const bool first = s->shortTests++ == 0;
        auto shorted = [first](ShortFault f) {
          return f == ShortFault::BothTests || (f == ShortFault::FirstTest && first);
        };
        reply[7] = shorted(s->faults.short5V) ? 1 : 0;
        reply[8] = shorted(s->faults.short33V) ? 1 : 0;
      }
      x.Reply(reply, 16);
      return;
    }
    case 0x90: {  // tester reset; the card keeps its power
      if (powerCommandRefused(*s, x)) return;
      std::lock_guard lock(s->mutex);
      ++s->testerResets;
      s->maxCurrentCleared = false;
      startDetecting(*s, info);
      return;
    }
    case 0x85: {  // card power reset
      if (powerCommandRefused(*s, x)) return;
      cardPower(*s, info, false);
      cardPower(*s, info, true);
      return;
    }
    case 0x84: {  // card power: 0 off, 1 on, 2 and 3 power-on tests (5 V, 3.3 V)
      if (c[3] > 3) {
        InvalidField(x, 3);
        return;
      }
      if (powerCommandRefused(*s, x)) return;
      cardPower(*s, info, c[3] != 0);
      return;
    }
    default:
      InvalidField(x, 2);
      return;
  }
}

void Inquiry(Site& site, FrontEnd& fe, ScsiExchange& x) {
  const std::uint8_t* c = x.cdb;
  if (c[1] & 0x03) {  // EVPD / CmdDt pages are not offered
    InvalidField(x, 1, (c[1] & 0x01) ? 0 : 1);
    return;
  }
  if (c[2] != 0) {
    InvalidField(x, 2);
    return;
  }
  const std::uint32_t alloc = static_cast<std::uint32_t>(c[3]) << 8 | c[4];
  std::uint8_t d[96] = {};
  d[0] = 0x00;  // direct-access block device
  d[2] = 0x06;
  d[3] = 0x02;
  d[4] = sizeof d - 5;
  if (fe.Kind() == FrontEndKind::SataPort) {
    // A SATA port shows the drive the way a SATA disk shows itself.
    Site::SlotState* s = site.SlotAt(fe.Slot());
    auto drive = s ? s->GetDrive() : nullptr;
    const std::string model = drive ? drive->Config().model : std::string();
    const std::string rev = drive ? drive->Config().firmwareRevision.substr(0, 4) : std::string();
    putText(d + 8, "ATA", 8);
    putText(d + 16, model, 16);
    putText(d + 32, rev, 4);
  } else {
    const TesterInfo& info = fe.Info();
    putText(d + 8, info.vendorId, 8);
    putText(d + 16, info.productId, 16);
    const char rev[4] = {hexDigit(info.fwMajor >> 4), hexDigit(info.fwMajor), hexDigit(info.fwMinor >> 4),
                         hexDigit(info.fwMinor)};
    std::memcpy(d + 32, rev, 4);
  }
  x.Reply(d, std::min<std::uint32_t>(alloc, sizeof d));
}

}  // namespace transport
}  // namespace emu
