// The firmware BIN reader on arbitrary content: frame, transform, sum,
// container directory and flash table, and every image header and layout check.
#include <cstdint>
#include <vector>

#include "media/BinImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> content(data, data + size);
  std::array<std::uint8_t, 4> marks{};
  kx::CheckBinFrame(data, static_cast<std::uint32_t>(size), static_cast<std::uint32_t>(size), marks);
  kx::BinSumMatches(content);
  std::vector<std::uint8_t> plain = content;
  kx::UndoBinTransform(plain);
  kx::MpBinVendorProblem(content, "fuzz.bin");

  auto checkImage = [](const std::uint8_t* image, std::uint32_t length) {
    kx::ParseBinHeader(image, length);
    kx::UltraMlcProblem(image, length);
    for (int kind = 0; kind < 3; ++kind) {
      if (!kx::BinHeaderProblem(image, length, kind, kind == 2).empty()) continue;
      if (length >= 568) kx::ReadBinSections(image);
      for (kx::BinCodeUse use : {kx::BinCodeUse::RamCode, kx::BinCodeUse::FlashCode, kx::BinCodeUse::WholeImage})
        kx::BinLayoutProblem(image, length, use);
    }
  };
  if (kx::IsSingleBinImage(content)) {
    checkImage(content.data(), static_cast<std::uint32_t>(content.size()));
    return 0;
  }
  kx::BinContainer container;
  std::string message;
  if (!kx::ParseBinContainer(content, container, message)) return 0;
  kx::FindFlashTableBinType(container, "2c 84 64 3c a5 08 04");
  kx::FindBinEntry(container, "MP00", true);
  for (const kx::BinDirEntry& entry : container.entries) {
    std::size_t begin = 0, length = 0;
    if (kx::BinEntrySpan(entry, content.size(), begin, length, message))
      checkImage(content.data() + begin, static_cast<std::uint32_t>(length));
  }
  return 0;
}
