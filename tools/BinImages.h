// Firmware image files for the demo's site and the tests: an image with a
// consistent header (sizes and sums right, 55 AA, IC type 3111, dash "QV"), its
// PRAM code (the 16 KiB seed area with the section table, then the sections'
// data) and its normal code; the stored form (transform, 13-digit sum, frame)
// and the file itself. Every body byte is a pattern of its image offset, so a
// reader can tell which bytes went out: PatternByte(offset) for the builder's
// own bytes.
//
//   kxtools::BinImageSpec spec;
//   spec.sections[0] = {0x20000000, 129 * 512};   // one full chunk and a 1-sector remainder
//   auto image = kxtools::BuildBinImage(spec);
//   kxtools::WriteBinFile("C:\\fw\\MP.bin", kxtools::StoreBin(image));
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kxtools {

struct BinSectionSpec {
  std::uint32_t address = 0;
  std::uint32_t length = 0;  // bytes; 0 = absent
};

struct BinImageSpec {
  // Sections 0-5 RAM code, 6 the ICode; their data follow the seed area in this
  // order, so the PRAM code size is 16,384 + the sum of the lengths.
  std::array<BinSectionSpec, 7> sections{{{0x20000000, 512}}};
  std::uint32_t normalSize = 16384 + 512;  // bytes of normal code
  char kind = 'M';                         // header byte 4 ('U' an UltraMLC firmware)
  bool rdt = false;                        // "RDT" at 97-99
  std::uint16_t icType = 3111;
  std::string dash = "QV";
  bool mark55AA = true;
  std::uint8_t salt = 0;                   // varies the body pattern between images
};

// The pattern byte of body offset `offset` with `salt`.
std::uint8_t PatternByte(std::size_t offset, std::uint8_t salt = 0);
// "PS" image: header (sizes and both 16-bit sums filled in) + PRAM code + normal code.
std::vector<std::uint8_t> BuildBinImage(const BinImageSpec& spec);
// Recomputes the header's two code sums after the image's code bytes changed.
void FixBinSums(std::vector<std::uint8_t>& image);
// Big-endian and little-endian field writers.
void PutBe32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value);
void PutLe32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value);

// Where the normal code starts in an image of BinImageSpec's default PRAM code.
constexpr std::size_t kNormalCodeAt = 512 + 16384 + 512;

// An image whose normal code names itself in its code header: the drive reports that name while it runs it.
std::vector<std::uint8_t> NamedImage(const std::string& name, std::uint32_t normalSize, bool rdt = false);
// The MP image; its firmware name is the one the drives carry.
const std::vector<std::uint8_t>& MpImage();

// Stored form of content: with transform (the `STR_Bin_En` 0 form) the 13-digit
// sum is written at 35-47 and every byte i becomes (NOT byte) XOR (i mod 256);
// with frame the bytes are wrapped as '"', inner, ..., inner, 'X'.
std::vector<std::uint8_t> StoreBin(std::vector<std::uint8_t> content, bool transform = true, bool frame = false,
                                   std::uint8_t inner = 0x31);
// Writes the bytes to a Windows-style path (creating its folder).
void WriteBinFile(const std::string& winPath, const std::vector<std::uint8_t>& bytes);

}  // namespace kxtools
