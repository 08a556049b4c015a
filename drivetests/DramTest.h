// Plain helpers of the DRAM test (drivetests/DramTest.cpp); the pattern and
// the progress are those of drivetests/CopyCompare.h.
#pragma once
#include <cstdint>

namespace kx {

// DMA_Read_DDR and DMA_Write_DDR address the DRAM in 512-byte units with 28 bits.
constexpr std::uint64_t kDramAddressLimit = 1ULL << 28;

// DRAM sectors the test covers: all of `dramMb`, up to the address limit.
std::uint64_t DramTestSectors(std::uint32_t dramMb);

}  // namespace kx
