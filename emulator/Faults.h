// Transport-level fault rules and the command log of one emulated device (tester
// board, bridge or SATA port). Rules follow the manner of scsi_debug's options and
// blkdebug's rules: a rule matches requests by what they carry, lets `skip`
// matching requests pass, then fires `count` times (0 = for ever), either on
// consecutive matches or on every `every`-th one.
//
// The drive's own faults (medium errors, access key refused, volatile state lost)
// belong to the drive; the tester's card faults to the slot (Site.h).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/WinTypes.h"

namespace emu {

enum class FaultAction : std::uint8_t {
  OsError,          // the request fails with osError (31, 121, 1117, ...); nothing reaches the drive
  CheckCondition,   // SCSI status 2 with the rule's sense; ATA PT: status 51h, error = senseKey
  ShortTransfer,    // the command runs but only transferBytes of its data move
  IgnoreCkCond,     // a bridge that drops CK_COND: no ATA status return sense on success
  Delay,            // the command takes delayMs of platform time; past TimeOutValue it fails with 121
  Gone,             // the device vanishes: this request fails with 2 and so does every later open
  HotRemove,        // the drive is pulled mid-command: this request fails with 1167, later opens with 2
};

// What a rule matches. -1 matches anything.
struct FaultMatch {
  int ioctl = -1;       // control code (IOCTL_SCSI_PASS_THROUGH_DIRECT, IOCTL_ATA_PASS_THROUGH_DIRECT, ...)
  int opcode = -1;      // CDB byte 0 (SCSI requests only)
  int subcode = -1;     // CDB byte 2 of an 08 F2 command (A0, 50, 71, 48, 84, ...)
  int ataCommand = -1;  // the ATA command carried (08 F2 71/48, A1, 85 or a task file)
  int features = -1;    // the ATA features register carried (vendor sub-command)
};

struct FaultRule {
  FaultMatch match;
  FaultAction action = FaultAction::OsError;
  std::uint32_t skip = 0;   // matching requests let through before the rule starts
  std::uint32_t count = 1;  // times it fires; 0 = every time
  std::uint32_t every = 0;  // when > 1, fire on every every-th matching request only
  win::DWORD osError = win::ERROR_GEN_FAILURE;
  // CHECK CONDITION sense.
  std::uint8_t senseKey = 0x04;  // HARDWARE ERROR
  std::uint8_t asc = 0x44;
  std::uint8_t ascq = 0x00;
  bool descriptorSense = true;  // descriptor (72h) or fixed (70h) format
  std::uint32_t transferBytes = 0;  // ShortTransfer: bytes actually moved
  std::uint32_t delayMs = 0;        // Delay
};

// What the rule set decided for one request.
struct FaultHit {
  bool fired = false;
  FaultRule rule;
};

// A request as the rules see it.
struct FaultProbe {
  win::DWORD ioctl = 0;
  int opcode = -1;
  int subcode = -1;
  int ataCommand = -1;
  int features = -1;
};

// Thread-safe rule set. The first rule that fires wins; a spent rule is dropped.
class Faults {
 public:
  void Add(const FaultRule& rule);
  void Clear();
  std::size_t Pending() const;
  FaultHit Check(const FaultProbe& probe);

  // Shorthand for the common knob.
  void FailNext(std::uint32_t n, win::DWORD osError = win::ERROR_GEN_FAILURE);

 private:
  struct Entry {
    FaultRule rule;
    std::uint32_t seen = 0;
    std::uint32_t fired = 0;
  };
  mutable std::mutex mutex_;
  std::vector<Entry> rules_;
  std::atomic<bool> any_{false};  // lets requests skip the lock while no rule is set
};

// One request as the device saw and answered it.
struct TraceRecord {
  std::uint64_t timeMs = 0;       // platform clock
  win::DWORD ioctl = 0;           // control code, or 0 for an open
  std::uint8_t cdb[16] = {};      // SCSI requests
  std::uint8_t taskFile[8] = {};  // ATA PT: current task file as sent
  std::uint8_t prevTaskFile[8] = {};
  std::uint8_t dataIn = 0;        // SCSI direction, or ATA PT flags low byte
  std::uint32_t length = 0;       // bytes the host offered
  std::uint32_t transferred = 0;  // bytes moved
  std::uint8_t scsiStatus = 0;
  std::uint8_t senseKey = 0, asc = 0, ascq = 0;
  std::uint8_t ataStatus = 0, ataError = 0;  // registers returned to the host (when any)
  win::DWORD osError = 0;
  const char* note = "";  // static text: which fault fired, why a request was refused
};

// Bounded per-device log (oldest records dropped past the capacity).
class CommandLog {
 public:
  explicit CommandLog(std::size_t capacity = 4096) : capacity_(capacity) {}
  void Append(const TraceRecord& r);
  std::vector<TraceRecord> Records() const;
  std::size_t Size() const;
  std::uint64_t Total() const;  // every record ever appended, dropped ones included
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::deque<TraceRecord> records_;
  std::size_t capacity_;
  std::uint64_t total_ = 0;
};

}  // namespace emu
