// Drive-level fault knobs. Tests (and the site read from Emulator.ini) set them;
// the drive consults them on every command and on every card-state read. All
// members are thread-safe.
#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>

#include "emulator/AtaTypes.h"

namespace emu {

// Which commands a knob applies to: any, one opcode, or one vendor sub-command
// (opcode 21h/31h with FEATURES = sub); the first `skip` of them pass untouched.
// lbaMid and lbaHigh, when given, must match too: they pick one chunk of a
// transfer (its index is in LBA mid for Vender_Send_Binfile and ISPVerifyFlash,
// in LBA high for the ICode commands).
struct CommandFilter {
  std::optional<std::uint8_t> opcode = std::nullopt;
  std::optional<std::uint8_t> subCommand = std::nullopt;
  std::uint32_t skip = 0;
  std::optional<std::uint8_t> lbaMid = std::nullopt;
  std::optional<std::uint8_t> lbaHigh = std::nullopt;
  bool Matches(const AtaRequest& req) const;
};

class DriveFaults {
 public:
  // ATA error ABRT on the next `count` matching commands.
  void FailNext(std::uint32_t count, CommandFilter filter = {});
  // ATA error ABRT on every `nth` matching command (0 turns it off).
  void FailEveryNth(std::uint32_t nth, CommandFilter filter = {});
  // UNC on any read that touches the LBA.
  void AddMediumError(std::uint64_t lba);
  void ClearMediumErrors();
  // Silent corruption: reads that touch the LBA succeed but return its data
  // with one bit inverted (kCorruptByte, bit 0).
  void AddSilentCorruption(std::uint64_t lba);
  // A bad DRAM sector (address in 512-byte units): DRAM reads of it return
  // its data with the same bit inverted.
  void AddDramError(std::uint64_t address);
  static constexpr std::uint32_t kCorruptByte = 64;
  // The access key is answered with ABRT `count` times (count 0: never again;
  // kForever: always).
  void RefuseAccessKey(std::uint32_t count);
  // The access key completes but is not enabled (count/LBA low not 01), and the
  // gate stays shut.
  void SetAccessKeyNotEnabled(bool on);
  // The next `count` verify-type commands give the wrong verdict (CRC word,
  // LBA High 0xBB, ICode compare, erase error byte); with a filter, only those
  // that match it, its skip counted in verify-type commands.
  void WrongVerdict(std::uint32_t count, CommandFilter filter = {});
  // SMART RETURN STATUS reports the threshold exceeded (F4/2C), and SMART READ
  // DATA puts the retired-block attribute (05h) at its threshold.
  void SetSmartThresholdExceeded(bool on);
  // The card reads busy (0x80) for `ms` from now on the platform clock.
  void BusyFor(std::uint32_t ms);
  // The next matching command completes, then leaves the card busy (0x80,
  // commands not taken) for `ms`, as a long erase or reset would.
  void BusyAfterNext(std::uint32_t ms, CommandFilter filter = {});
  // The card never becomes ready (busy for ever).
  void SetNeverReady(bool on);
  // The next `times` card-state reads give `value` (0x00 or 0xFF: no answer).
  void NoAnswer(std::uint32_t times, std::uint8_t value = 0x00);
  // The next card-state read gives 0x51.
  void ErrorStateOnce();
  // The drive disappears during the next matching command (transport Gone).
  void HotRemoveOnNext(CommandFilter filter = {});
  // The next `count` matching commands time out (transport TimeOut).
  void TimeOutNext(std::uint32_t count, CommandFilter filter = {});
  // The next matching command loses power half-way: it fails (transport
  // GenFailure), volatile state is lost and the drive boots again.
  void PowerCycleOnNext(CommandFilter filter = {});
  // GetSystemInfo reports a controller error: `id` at 0x100 and `info` (failing
  // CEs, bit n = CE n, or a DRAM sub-code) at 0xFC, until set to 0, 0 or cleared.
  void SetControllerError(std::uint16_t id, std::uint32_t info);
  // The next pre-format ends with this result code and fail address in its
  // result sector (protocol/PreFormatRecords.h); code 0 passes.
  void FailPreFormat(std::uint8_t resultCode, std::uint32_t failAddress);
  // The disk's geometry query (IOCTL_DISK_GET_DRIVE_GEOMETRY_EX) is refused.
  void RefuseGeometry(bool on);
  bool GeometryRefused() const;
  // Everything back to healthy.
  void Clear();

  static constexpr std::uint32_t kForever = 0xFFFFFFFFu;

  // What the drive asks, once per command (consumes one-shot knobs).
  enum class Verdict : std::uint8_t { None, Abort, TimeOut, Gone, PowerCycle };
  Verdict Take(const AtaRequest& req);
  bool MediumErrorIn(std::uint64_t lba, std::uint64_t count) const;
  // Inverts the corrupted bit of every silently corrupted sector (dram: the
  // bad DRAM sectors) among `count` sectors read from `first` into `data`.
  void CorruptRead(bool dram, std::uint64_t first, std::uint64_t count, std::uint8_t* data) const;
  // Milliseconds the card stays busy after this command (0: none); consumes the knob.
  std::uint32_t TakeBusyAfter(const AtaRequest& req);
  // Access key: 0 accept, 1 abort, 2 not enabled.
  int TakeKeyVerdict();
  bool TakeWrongVerdict();
  bool SmartThresholdExceeded() const;
  struct ControllerError {
    std::uint16_t id = 0;
    std::uint32_t info = 0;
  };
  // The controller error GetSystemInfo reports, if one is set.
  std::optional<ControllerError> ControllerErrorNow() const;
  struct PreFormatFailure {
    std::uint8_t code = 0;
    std::uint32_t failAddress = 0;
  };
  // The pre-format result to report, if one is set (consumes it).
  std::optional<PreFormatFailure> TakePreFormatFailure();
  // Card-state overrides: returns the forced state, if any (consumes one-shots).
  std::optional<std::uint8_t> TakeCardStateOverride(std::uint64_t nowMs);
  // Busy or never ready: commands are not taken.
  bool BusyNow(std::uint64_t nowMs) const;

 private:
  mutable std::mutex mutex_;
  // Whether a knob's filter takes this command, counting off its skips.
  static bool Takes(const CommandFilter& filter, std::uint32_t& skipped, const AtaRequest& req);

  std::uint32_t failNext_ = 0;
  CommandFilter failNextFilter_;
  std::uint32_t failNextSkipped_ = 0;
  std::uint32_t failEvery_ = 0;
  std::uint32_t failEveryCounter_ = 0;
  CommandFilter failEveryFilter_;
  std::uint32_t failEverySkipped_ = 0;
  std::set<std::uint64_t> mediumErrors_;
  std::set<std::uint64_t> silentCorruptions_;
  std::set<std::uint64_t> dramErrors_;
  std::uint32_t busyAfterMs_ = 0;
  CommandFilter busyAfterFilter_;
  std::uint32_t busyAfterSkipped_ = 0;
  std::uint32_t keyRefusals_ = 0;
  bool keyNotEnabled_ = false;
  std::uint32_t wrongVerdicts_ = 0;
  CommandFilter wrongVerdictFilter_;
  std::uint32_t wrongVerdictSkipped_ = 0;
  // The command being run matches the wrong-verdict filter; it was counted as a skip.
  bool verdictMatch_ = true;
  bool verdictSkipCounted_ = false;
  bool smartExceeded_ = false;
  bool geometryRefused_ = false;
  std::uint64_t busyUntilMs_ = 0;
  bool neverReady_ = false;
  std::uint32_t noAnswer_ = 0;
  std::uint8_t noAnswerValue_ = 0;
  bool errorOnce_ = false;
  bool hotRemove_ = false;
  CommandFilter hotRemoveFilter_;
  std::uint32_t hotRemoveSkipped_ = 0;
  std::uint32_t timeOuts_ = 0;
  CommandFilter timeOutFilter_;
  std::uint32_t timeOutSkipped_ = 0;
  bool powerCycle_ = false;
  CommandFilter powerCycleFilter_;
  std::uint32_t powerCycleSkipped_ = 0;
  std::optional<ControllerError> controllerError_;
  std::optional<PreFormatFailure> preFormatFailure_;
};

}  // namespace emu
