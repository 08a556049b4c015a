// The per-port scan record: what the bad-block scan and the RDT read-out fill
// and the job appends to the port's "#%d.bin" file, one fixed-size record per
// call; the readers of that file step through it in records of the same size.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace kx {

constexpr std::size_t kBlockRecordSize = 229392;
using BlockRecord = std::array<std::uint8_t, kBlockRecordSize>;

}  // namespace kx
