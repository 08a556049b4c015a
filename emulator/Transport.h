// Internal plumbing shared by the front ends: slot and volume state, one SCSI
// exchange as a front end sees it, sense building and the hand-over to the drive.
// Not for domain code; tests may include it.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>

#include "emulator/AtaTypes.h"
#include "emulator/Drive.h"
#include "emulator/Site.h"
#include "platform/DeviceIo.h"
#include "protocol/Sense.h"

namespace emu {

struct alignas(64) Site::SlotState {  // own cache line: slots are served from different threads
  int number = 0;
  mutable std::mutex mutex;  // guards everything below
  std::shared_ptr<Drive> drive;
  TesterFaults faults;
  std::uint8_t voltageLevel = 0;
  bool devSleep = false;
  std::uint32_t powerCycles = 0;
  std::uint32_t testerResets = 0;
  std::uint64_t detectUntilMs = 0;  // the tester reports "detecting" until then
  std::uint32_t shortTests = 0;     // short tests since the faults were set
  bool maxCurrentCleared = false;

  std::shared_ptr<Drive> GetDrive() const {
    std::lock_guard lock(mutex);
    return drive;
  }
};

struct Site::VolumeState {
  mutable std::mutex mutex;
  VolumeSpec desc;
  const void* lockOwner = nullptr;  // the handle holding the lock
};

namespace transport {

constexpr std::uint8_t kGood = protocol::kScsiGood;
constexpr std::uint8_t kCheckCondition = protocol::kScsiCheckCondition;

// Sense keys and additional sense codes (protocol/Sense.h).
using protocol::kAbortedCommand;
using protocol::kAscInvalidField;
using protocol::kAscInvalidOpcode;
using protocol::kAscMediumNotPresent;
using protocol::kHardwareError;
using protocol::kIllegalRequest;
using protocol::kMediumError;
using protocol::kNotReady;
using protocol::kRecoveredError;

// One SCSI request on its way through a front end.
struct ScsiExchange {
  std::uint8_t cdb[16] = {};
  std::uint8_t hostDir = win::SCSI_IOCTL_DATA_UNSPECIFIED;  // as the host set DataIn
  std::uint8_t* data = nullptr;
  std::uint32_t length = 0;
  std::uint32_t timeoutSec = 0;
  // Fault modifiers.
  std::uint32_t transferCap = 0xFFFFFFFFu;
  bool ignoreCkCond = false;
  // Results.
  std::uint8_t status = kGood;
  std::uint8_t sense[win::kSenseLength] = {};
  std::uint8_t senseLength = 0;
  std::uint32_t transferred = 0;
  win::DWORD osError = 0;
  std::uint8_t ataStatus = 0, ataError = 0;
  const char* note = "";

  bool HostReads() const { return hostDir == win::SCSI_IOCTL_DATA_IN && data != nullptr && length != 0; }
  bool HostWrites() const { return hostDir == win::SCSI_IOCTL_DATA_OUT && data != nullptr && length != 0; }
  // Copies a reply to the host (data-in only), bounded by the host's length and the cap.
  void Reply(const std::uint8_t* bytes, std::uint32_t n);
};

// Sense helpers (they set status CHECK CONDITION).
void FixedSense(ScsiExchange& x, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);
// ILLEGAL REQUEST, invalid field in CDB, field pointer at byte (and bit, or -1).
void InvalidField(ScsiExchange& x, std::uint16_t byte, int bit = -1);
void InvalidOpcode(ScsiExchange& x);
// Descriptor sense carrying the ATA status return descriptor of a response.
void AtaSense(ScsiExchange& x, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, const AtaResponse& r,
              bool extend);

// Applies a fired rule before the command runs (sets x.osError, x.status and
// sense, the transfer cap, ...). True when the request ends here.
bool ApplyFault(Site& site, FrontEnd& fe, const FaultRule& rule, ScsiExchange& x);

// What the fault rules see of a CDB.
FaultProbe ProbeCdb(const std::uint8_t* cdb, win::DWORD ioctl);

// Hands a decoded command to the slot's drive: fills req.data/length from the
// exchange (direction mismatches give the drive no data, which it reads as zeros),
// applies the transfer cap, waits for a busy card up to the request's time-out and
// maps transport errors to OS errors (121 only once the time-out has passed).
// Returns false when the command did not complete at the ATA level (x.osError or
// x.status set).
bool RunOnDrive(Site& site, int slot, AtaRequest& req, ScsiExchange& x, AtaResponse& resp);

// The vendor-mode entry (card detect on SATA ports): a non-data command whose six
// registers carry the signature.
bool IsVendorModeEntry(const AtaRequest& req);
// Waits on the platform clock, as a host adapter waits for BSY to clear, until the
// slot's card reads ready (50h/51h) or timeoutSec (0: 30 s) runs out. True when
// ready, or when there is no powered drive to wait for.
bool WaitCardReady(Site& site, int slot, std::uint32_t timeoutSec);

// The tester's device-sleep line of a slot (recorded, and passed to its drive).
void SetDevSleepLine(Site& site, int slot, bool asserted);

// The card-detect reply (16 bytes, tester layout; the first 14 are the SAT
// response-information layout).
void CardDetectReply(Site& site, int slot, bool testerForm, std::uint8_t out[16]);

// Front-end decoders.
void TesterCommand(Site& site, FrontEnd& fe, ScsiExchange& x);  // 08 F2 family
void SatCommand(Site& site, FrontEnd& fe, ScsiExchange& x);     // A1 / 85
void Inquiry(Site& site, FrontEnd& fe, ScsiExchange& x);
win::DWORD SataTaskFile(Site& site, FrontEnd& fe, win::ATA_PASS_THROUGH_DIRECT& apt, TraceRecord& rec);
// Volume controls on an open volume handle.
win::DWORD VolumeControl(Site& site, char letter, const void* owner, win::DWORD code, void* out,
                         win::DWORD outSize, win::DWORD* returned);
void VolumeHandleClosed(Site& site, char letter, const void* owner);

}  // namespace transport
}  // namespace emu
