// Firmware image files for tests: an image with a consistent header (sizes and
// sums right, 55 AA, IC type 3111, dash "QV"), its PRAM code (the 16 KiB seed
// area with the section table, then the sections' data) and its normal code;
// a container of such images with its flash table; the stored form (frame,
// transform and 13-digit sum) and the file itself. Every body byte is a
// pattern of its image offset, so a test can tell which bytes went out:
// PatternByte(offset) for the image builder's own bytes.
//
//   kxtest::BinImageSpec spec;
//   spec.sections[0] = {0x20000000, 129 * 512};   // one full chunk and a 1-sector remainder
//   auto image = kxtest::BuildBinImage(spec);
//   kxtest::WriteBinFile("C:\\fw\\MP.bin", kxtest::StoreBin(image));
//   SetIni(".\\param.ini", "Device Info", "ISP_MPBINCode", "C:\\fw\\MP.bin");
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kxtest {

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
// Recomputes the header's two code sums after a test changed the image's code bytes.
void FixBinSums(std::vector<std::uint8_t>& image);
// Big-endian and little-endian field writers for corrupting an image.
void PutBe32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value);
void PutLe32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value);

struct BinEntrySpec {
  std::string type;                 // 4 characters
  std::vector<std::uint8_t> image;  // the image the entry names
};
struct FlashRecordSpec {
  std::string mpBinType;                    // 4 characters at record bytes 4-7
  std::array<std::uint8_t, 7> flashId{};    // record bytes 8-14
};
// Container content: counts, vendor mark, flash table, directory, then the
// images one after the other (offset field = position - 48, size field = length + 48).
std::vector<std::uint8_t> BuildBinContainer(const std::vector<BinEntrySpec>& entries,
                                            const std::vector<FlashRecordSpec>& flashTable = {},
                                            const std::string& vendorMark = "Tavlin");

// Stored form of content: with transform (the `STR_Bin_En` 0 form) the 13-digit
// sum is written at 35-47 and every byte i becomes (NOT byte) XOR (i mod 256);
// with frame the bytes are wrapped as '"', inner, ..., inner, 'X'.
std::vector<std::uint8_t> StoreBin(std::vector<std::uint8_t> content, bool transform = true, bool frame = false,
                                   std::uint8_t inner = 0x31);
// Writes the bytes to a Windows-style path (creating its folder).
void WriteBinFile(const std::string& winPath, const std::vector<std::uint8_t>& bytes);

}  // namespace kxtest
