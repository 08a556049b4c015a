#include "emulator/Faults.h"

namespace emu {

namespace {
bool matches(int want, int got) { return want < 0 || want == got; }
}  // namespace

void Faults::Add(const FaultRule& rule) {
  std::lock_guard lock(mutex_);
  rules_.push_back(Entry{rule});
  any_.store(true, std::memory_order_release);
}

void Faults::Clear() {
  std::lock_guard lock(mutex_);
  rules_.clear();
  any_.store(false, std::memory_order_release);
}

std::size_t Faults::Pending() const {
  std::lock_guard lock(mutex_);
  return rules_.size();
}

FaultHit Faults::Check(const FaultProbe& probe) {
  FaultHit hit;
  if (!any_.load(std::memory_order_acquire)) return hit;
  std::lock_guard lock(mutex_);
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    const FaultMatch& m = it->rule.match;
    if (!matches(m.ioctl, static_cast<int>(probe.ioctl)) || !matches(m.opcode, probe.opcode) ||
        !matches(m.subcode, probe.subcode) || !matches(m.ataCommand, probe.ataCommand) ||
        !matches(m.features, probe.features))
      continue;
    ++it->seen;
    if (it->seen <= it->rule.skip) continue;
    const std::uint32_t nth = it->seen - it->rule.skip;
    if (it->rule.every > 1 && nth % it->rule.every != 0) continue;
    hit.fired = true;
    hit.rule = it->rule;
    ++it->fired;
    if (it->rule.count != 0 && it->fired >= it->rule.count) rules_.erase(it);
    break;
  }
  any_.store(!rules_.empty(), std::memory_order_release);
  return hit;
}

void Faults::FailNext(std::uint32_t n, win::DWORD osError) {
  if (n == 0) return;
  FaultRule r;
  r.action = FaultAction::OsError;
  r.osError = osError;
  r.count = n;
  Add(r);
}

void CommandLog::Append(const TraceRecord& r) {
  std::lock_guard lock(mutex_);
  ++total_;
  if (capacity_ == 0) return;
  if (records_.size() >= capacity_) records_.pop_front();
  records_.push_back(r);
}

std::vector<TraceRecord> CommandLog::Records() const {
  std::lock_guard lock(mutex_);
  return {records_.begin(), records_.end()};
}

std::size_t CommandLog::Size() const {
  std::lock_guard lock(mutex_);
  return records_.size();
}

std::uint64_t CommandLog::Total() const {
  std::lock_guard lock(mutex_);
  return total_;
}

void CommandLog::Clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

}  // namespace emu
