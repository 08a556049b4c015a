#include "tests/support/BinFixture.h"

namespace kxtest {

std::vector<std::uint8_t> BuildBinContainer(const std::vector<BinEntrySpec>& entries,
                                            const std::vector<FlashRecordSpec>& flashTable,
                                            const std::string& vendorMark) {
  const std::size_t directory = 48 + 64 * flashTable.size();
  std::size_t position = directory + 16 * entries.size();
  std::vector<std::uint8_t> content(position);
  PutBe32(content, 0, static_cast<std::uint32_t>(entries.size()));
  PutBe32(content, 4, static_cast<std::uint32_t>(flashTable.size()));
  for (std::size_t i = 0; i < 6 && i < vendorMark.size(); ++i)
    content[8 + i] = static_cast<std::uint8_t>(vendorMark[i]);
  for (std::size_t r = 0; r < flashTable.size(); ++r) {
    const std::size_t at = 48 + 64 * r;
    for (std::size_t i = 0; i < 4 && i < flashTable[r].mpBinType.size(); ++i)
      content[at + 4 + i] = static_cast<std::uint8_t>(flashTable[r].mpBinType[i]);
    for (std::size_t i = 0; i < 7; ++i) content[at + 8 + i] = flashTable[r].flashId[i];
  }
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const std::size_t at = directory + 16 * e;
    for (std::size_t i = 0; i < 4 && i < entries[e].type.size(); ++i)
      content[at + i] = static_cast<std::uint8_t>(entries[e].type[i]);
    PutBe32(content, at + 8, static_cast<std::uint32_t>(entries[e].image.size() + 48));
    PutBe32(content, at + 12, static_cast<std::uint32_t>(position - 48));
    content.insert(content.end(), entries[e].image.begin(), entries[e].image.end());
    position += entries[e].image.size();
  }
  return content;
}

}  // namespace kxtest
