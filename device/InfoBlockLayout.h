// Where a named field of the 512-byte info block lies, looked up in the dump's
// row table (device/InfoDump.cpp), so that whatever builds a block and the dump
// that prints it cannot disagree.
#pragma once
#include <string_view>

namespace kx {

struct InfoBlockField {
  int offset = 0;
  int width = 0;  // bytes; 0 when the table has no such field
};

// The first row of that name ("ubSerialNumber", "ulSSDSize_LBA", ...).
InfoBlockField FindInfoBlockField(std::string_view name);

}  // namespace kx
