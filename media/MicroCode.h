// Firmware download by microcode (media/MicroCode.cpp): how an image is cut
// into DOWNLOAD MICROCODE commands.
#pragma once
#include <cstdint>
#include <vector>

namespace kx {

// One command: `sectors` sectors of the image from sector `offset` on.
struct MicroCodePiece {
  std::uint16_t offset = 0;
  std::uint16_t sectors = 0;
  bool operator==(const MicroCodePiece&) const = default;
};

// The image's sectors, a partial last one counted whole (it goes out padded
// with zeros), in pieces of 128 at offsets 0, 128, ... and one shorter piece
// for what is left. Images over 2 MiB are refused by the loader before this.
std::vector<MicroCodePiece> SplitMicroCode(std::uint32_t imageLength);

}  // namespace kx
