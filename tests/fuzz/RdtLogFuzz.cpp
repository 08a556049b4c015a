// RDT log decoding on arbitrary bytes read from a drive: each log's end entry
// search, its entries, and the bad-block counts and lines built from them.
#include <cstdint>
#include <span>

#include "drivetests/RdtLog.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  kx::RdtLogs logs;
  for (auto log : {kx::rdtlog::Log::BadBlock, kx::rdtlog::Log::TemperatureTime, kx::rdtlog::Log::Dram, kx::rdtlog::Log::Special}) {
    if (const auto count = kx::RdtLogEntryCount(bytes, log)) kx::DecodeRdtLog(bytes, *count, log, logs);
  }
  kx::SumRdtPlanes(kx::CountRdtBadBlocks(logs.badBlocks));
  return 0;
}
