// Parameter records of hand-built bad-block tables for the walker and list-file tests.
#pragma once
#include <initializer_list>
#include "protocol/MediaRecords.h"

namespace kxtest {

// CE c has code codes[c] (the others absent), DieBlockStride = rows, sectors for the whole table.
inline kx::BbtParameter BbtParam(std::uint32_t rows, std::uint8_t columns, std::uint8_t planes,
                                 std::initializer_list<std::uint8_t> codes, std::uint8_t groupDies = 1,
                                 std::uint8_t fold = 0, std::uint8_t foldDivisor = 1) {
  kx::BbtParameter p;
  for (std::size_t c = 0; c < 32; ++c) p.SetCeCode(c, c < codes.size() ? codes.begin()[c] : '?');
  p.SetRowCount(rows), p.SetDieBlockStride(static_cast<std::uint16_t>(rows));
  p.SetChannelModulus(columns), p.SetColumnCount(columns), p.SetPlaneCount(planes);
  p.SetDiesPerGroup(groupDies), p.SetDieFold(fold), p.SetFoldDivisor(foldDivisor);
  p.SetBbtSectors(static_cast<std::uint16_t>((rows * columns * groupDies * planes + 511) / 512));
  return p;
}

}  // namespace kxtest
