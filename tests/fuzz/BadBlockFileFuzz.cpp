// The bad-block list file reader on arbitrary text: block lists into a table
// of two dies per CE, and the RAW records.
#include <cstdint>
#include <string>
#include <vector>

#include "media/BadBlockFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kx::BbtParameter param;
  for (std::size_t ce = 0; ce < 4; ++ce) param.SetCeCode(ce, static_cast<std::uint8_t>(ce));
  kx::BbtScope scope;
  scope.diesPerCe = 2;
  std::vector<std::uint8_t> bbt(4096, 0);
  kx::ApplyBadBlockFileText(text, bbt, scope, param);
  kx::MediaRecordBytes record;
  kx::ReadRawRecord(text, "[RDT Info]", record);
  kx::ReadRawRecord(text, "[BBT Parameter]", record);
  kx::SplitFileLines(text);
  return 0;
}
