// Firmware image files for tests: the images, their stored form and files
// (tools/BinImages.h, which the demo shares), and a container of such images
// with its flash table.
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

#include "tools/BinImages.h"

namespace kxtest {

using kxtools::BinImageSpec;
using kxtools::BinSectionSpec;
using kxtools::BuildBinImage;
using kxtools::FixBinSums;
using kxtools::kNormalCodeAt;
using kxtools::NamedImage;
using kxtools::PatternByte;
using kxtools::PutBe32;
using kxtools::PutLe32;
using kxtools::StoreBin;
using kxtools::WriteBinFile;

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

}  // namespace kxtest
