#include "emulator/DriveFaults.h"

#include <utility>

#include "emulator/SparseStore.h"
#include "platform/Clock.h"

namespace emu {

bool CommandFilter::Matches(const AtaRequest& req) const {
  if (opcode && req.command != *opcode) return false;
  if (subCommand && !((req.command == 0x21 || req.command == 0x31) && req.features == *subCommand)) return false;
  if (lbaMid && req.lbaMid != *lbaMid) return false;
  if (lbaHigh && req.lbaHigh != *lbaHigh) return false;
  return true;
}

bool DriveFaults::Takes(const CommandFilter& filter, std::uint32_t& skipped, const AtaRequest& req) {
  if (!filter.Matches(req)) return false;
  if (skipped < filter.skip) {
    ++skipped;
    return false;
  }
  return true;
}

void DriveFaults::FailNext(std::uint32_t count, CommandFilter filter) {
  std::lock_guard lock(mutex_);
  failNext_ = count;
  failNextFilter_ = filter;
  failNextSkipped_ = 0;
}

void DriveFaults::FailEveryNth(std::uint32_t nth, CommandFilter filter) {
  std::lock_guard lock(mutex_);
  failEvery_ = nth;
  failEveryCounter_ = 0;
  failEveryFilter_ = filter;
  failEverySkipped_ = 0;
}

void DriveFaults::AddMediumError(std::uint64_t lba) {
  std::lock_guard lock(mutex_);
  mediumErrors_.insert(lba);
}

void DriveFaults::ClearMediumErrors() {
  std::lock_guard lock(mutex_);
  mediumErrors_.clear();
}

void DriveFaults::AddSilentCorruption(std::uint64_t lba) {
  std::lock_guard lock(mutex_);
  silentCorruptions_.insert(lba);
}

void DriveFaults::AddDramError(std::uint64_t address) {
  std::lock_guard lock(mutex_);
  dramErrors_.insert(address);
}

void DriveFaults::BusyAfterNext(std::uint32_t ms, CommandFilter filter) {
  std::lock_guard lock(mutex_);
  busyAfterMs_ = ms;
  busyAfterFilter_ = filter;
  busyAfterSkipped_ = 0;
}

void DriveFaults::RefuseAccessKey(std::uint32_t count) {
  std::lock_guard lock(mutex_);
  keyRefusals_ = count;
}

void DriveFaults::SetAccessKeyNotEnabled(bool on) {
  std::lock_guard lock(mutex_);
  keyNotEnabled_ = on;
}

void DriveFaults::WrongVerdict(std::uint32_t count, CommandFilter filter) {
  std::lock_guard lock(mutex_);
  wrongVerdicts_ = count;
  wrongVerdictFilter_ = filter;
  wrongVerdictSkipped_ = 0;
}

void DriveFaults::SetSmartThresholdExceeded(bool on) {
  std::lock_guard lock(mutex_);
  smartExceeded_ = on;
}

void DriveFaults::BusyFor(std::uint32_t ms) {
  const std::uint64_t now = platform::Clock().NowMs();
  std::lock_guard lock(mutex_);
  busyUntilMs_ = now + ms;
}

void DriveFaults::SetNeverReady(bool on) {
  std::lock_guard lock(mutex_);
  neverReady_ = on;
}

void DriveFaults::NoAnswer(std::uint32_t times, std::uint8_t value) {
  std::lock_guard lock(mutex_);
  noAnswer_ = times;
  noAnswerValue_ = value;
}

void DriveFaults::ErrorStateOnce() {
  std::lock_guard lock(mutex_);
  errorOnce_ = true;
}

void DriveFaults::HotRemoveOnNext(CommandFilter filter) {
  std::lock_guard lock(mutex_);
  hotRemove_ = true;
  hotRemoveFilter_ = filter;
  hotRemoveSkipped_ = 0;
}

void DriveFaults::TimeOutNext(std::uint32_t count, CommandFilter filter) {
  std::lock_guard lock(mutex_);
  timeOuts_ = count;
  timeOutFilter_ = filter;
  timeOutSkipped_ = 0;
}

void DriveFaults::PowerCycleOnNext(CommandFilter filter) {
  std::lock_guard lock(mutex_);
  powerCycle_ = true;
  powerCycleFilter_ = filter;
  powerCycleSkipped_ = 0;
}

void DriveFaults::SetControllerError(std::uint16_t id, std::uint32_t info) {
  std::lock_guard lock(mutex_);
  if (id == 0 && info == 0)
    controllerError_.reset();
  else
    controllerError_ = ControllerError{id, info};
}

std::optional<DriveFaults::ControllerError> DriveFaults::ControllerErrorNow() const {
  std::lock_guard lock(mutex_);
  return controllerError_;
}

void DriveFaults::FailPreFormat(std::uint8_t resultCode, std::uint32_t failAddress) {
  std::lock_guard lock(mutex_);
  preFormatFailure_ = PreFormatFailure{resultCode, failAddress};
}

std::optional<DriveFaults::PreFormatFailure> DriveFaults::TakePreFormatFailure() {
  std::lock_guard lock(mutex_);
  return std::exchange(preFormatFailure_, std::nullopt);
}

void DriveFaults::RefuseGeometry(bool on) {
  std::lock_guard lock(mutex_);
  geometryRefused_ = on;
}

bool DriveFaults::GeometryRefused() const {
  std::lock_guard lock(mutex_);
  return geometryRefused_;
}

void DriveFaults::Clear() {
  std::lock_guard lock(mutex_);
  geometryRefused_ = false;
  controllerError_.reset();
  preFormatFailure_.reset();
  failNext_ = 0;
  failNextFilter_ = {};
  failEvery_ = 0;
  failEveryCounter_ = 0;
  failEveryFilter_ = {};
  mediumErrors_.clear();
  silentCorruptions_.clear();
  dramErrors_.clear();
  busyAfterMs_ = 0;
  keyRefusals_ = 0;
  keyNotEnabled_ = false;
  wrongVerdicts_ = 0;
  wrongVerdictFilter_ = {};
  smartExceeded_ = false;
  busyUntilMs_ = 0;
  neverReady_ = false;
  noAnswer_ = 0;
  errorOnce_ = false;
  hotRemove_ = false;
  timeOuts_ = 0;
  powerCycle_ = false;
}

DriveFaults::Verdict DriveFaults::Take(const AtaRequest& req) {
  std::lock_guard lock(mutex_);
  // The verify-type handlers ask for their verdict while this command runs.
  verdictMatch_ = wrongVerdictFilter_.Matches(req);
  verdictSkipCounted_ = false;
  if (hotRemove_ && Takes(hotRemoveFilter_, hotRemoveSkipped_, req)) {
    hotRemove_ = false;
    return Verdict::Gone;
  }
  if (powerCycle_ && Takes(powerCycleFilter_, powerCycleSkipped_, req)) {
    powerCycle_ = false;
    return Verdict::PowerCycle;
  }
  if (timeOuts_ > 0 && Takes(timeOutFilter_, timeOutSkipped_, req)) {
    if (timeOuts_ != kForever) --timeOuts_;
    return Verdict::TimeOut;
  }
  if (failNext_ > 0 && Takes(failNextFilter_, failNextSkipped_, req)) {
    if (failNext_ != kForever) --failNext_;
    return Verdict::Abort;
  }
  if (failEvery_ > 0 && Takes(failEveryFilter_, failEverySkipped_, req) && ++failEveryCounter_ % failEvery_ == 0)
    return Verdict::Abort;
  return Verdict::None;
}

bool DriveFaults::MediumErrorIn(std::uint64_t lba, std::uint64_t count) const {
  std::lock_guard lock(mutex_);
  auto it = mediumErrors_.lower_bound(lba);
  return it != mediumErrors_.end() && *it - lba < count;
}

void DriveFaults::CorruptRead(bool dram, std::uint64_t first, std::uint64_t count, std::uint8_t* data) const {
  std::lock_guard lock(mutex_);
  const std::set<std::uint64_t>& bad = dram ? dramErrors_ : silentCorruptions_;
  for (auto it = bad.lower_bound(first); it != bad.end() && *it - first < count; ++it)
    data[(*it - first) * kSectorSize + kCorruptByte] ^= 0x01;
}

std::uint32_t DriveFaults::TakeBusyAfter(const AtaRequest& req) {
  std::lock_guard lock(mutex_);
  if (busyAfterMs_ == 0 || !Takes(busyAfterFilter_, busyAfterSkipped_, req)) return 0;
  return std::exchange(busyAfterMs_, 0);
}

int DriveFaults::TakeKeyVerdict() {
  std::lock_guard lock(mutex_);
  if (keyRefusals_ > 0) {
    if (keyRefusals_ != kForever) --keyRefusals_;
    return 1;
  }
  return keyNotEnabled_ ? 2 : 0;
}

bool DriveFaults::TakeWrongVerdict() {
  std::lock_guard lock(mutex_);
  if (wrongVerdicts_ == 0 || !verdictMatch_ || verdictSkipCounted_) return false;
  if (wrongVerdictSkipped_ < wrongVerdictFilter_.skip) {
    // One skip per command, however often its handler asks.
    ++wrongVerdictSkipped_;
    verdictSkipCounted_ = true;
    return false;
  }
  if (wrongVerdicts_ != kForever) --wrongVerdicts_;
  return true;
}

bool DriveFaults::SmartThresholdExceeded() const {
  std::lock_guard lock(mutex_);
  return smartExceeded_;
}

std::optional<std::uint8_t> DriveFaults::TakeCardStateOverride(std::uint64_t nowMs) {
  std::lock_guard lock(mutex_);
  if (neverReady_ || nowMs < busyUntilMs_) return std::uint8_t{0x80};
  if (noAnswer_ > 0) {
    if (noAnswer_ != kForever) --noAnswer_;
    return noAnswerValue_;
  }
  if (errorOnce_) {
    errorOnce_ = false;
    return std::uint8_t{0x51};
  }
  return std::nullopt;
}

bool DriveFaults::BusyNow(std::uint64_t nowMs) const {
  std::lock_guard lock(mutex_);
  return neverReady_ || nowMs < busyUntilMs_;
}

}  // namespace emu
