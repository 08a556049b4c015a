#include "tools/BinImages.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/Paths.h"
#include "protocol/CodeHeader.h"

namespace kxtools {
namespace {

constexpr std::size_t kHeader = 512;
constexpr std::size_t kSeed = 16384;

std::uint32_t Be32(const std::vector<std::uint8_t>& b, std::size_t o) {
  return (std::uint32_t{b[o]} << 24) | (std::uint32_t{b[o + 1]} << 16) | (std::uint32_t{b[o + 2]} << 8) | b[o + 3];
}
void PutBe16(std::vector<std::uint8_t>& b, std::size_t o, std::uint16_t v) {
  b[o] = static_cast<std::uint8_t>(v >> 8);
  b[o + 1] = static_cast<std::uint8_t>(v);
}
std::uint16_t Sum16(const std::vector<std::uint8_t>& b, std::size_t from, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t i = from; i < from + length && i < b.size(); ++i) sum += b[i];
  return static_cast<std::uint16_t>(sum);
}

}  // namespace

std::uint8_t PatternByte(std::size_t offset, std::uint8_t salt) {
  return static_cast<std::uint8_t>((offset ^ (offset >> 8) ^ (offset >> 16)) * 0x1D + salt);
}

void PutBe32(std::vector<std::uint8_t>& b, std::size_t o, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[o + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
void PutLe32(std::vector<std::uint8_t>& b, std::size_t o, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::vector<std::uint8_t> BuildBinImage(const BinImageSpec& spec) {
  std::size_t sections = 0;
  for (const auto& s : spec.sections) sections += s.length;
  const std::size_t pram = kSeed + sections;
  std::vector<std::uint8_t> image(kHeader + pram + spec.normalSize);
  for (std::size_t i = kHeader; i < image.size(); ++i) image[i] = PatternByte(i, spec.salt);
  for (std::size_t i = 0; i < spec.sections.size(); ++i) {
    PutLe32(image, kHeader + 8 * i, spec.sections[i].address);
    PutLe32(image, kHeader + 8 * i + 4, spec.sections[i].length);
  }
  image[0] = 'P';
  image[1] = 'S';
  PutBe16(image, 2, spec.icType);
  image[4] = static_cast<std::uint8_t>(spec.kind);
  PutBe32(image, 7, static_cast<std::uint32_t>(pram));
  PutBe32(image, 14, spec.normalSize);
  for (std::size_t i = 0; i < 2 && i < spec.dash.size(); ++i) image[21 + i] = static_cast<std::uint8_t>(spec.dash[i]);
  if (spec.rdt) {
    image[97] = 'R';
    image[98] = 'D';
    image[99] = 'T';
  }
  if (spec.mark55AA) {
    image[510] = 0x55;
    image[511] = 0xAA;
  }
  FixBinSums(image);
  return image;
}

void FixBinSums(std::vector<std::uint8_t>& image) {
  const std::uint32_t pram = Be32(image, 7);
  const std::uint32_t normal = Be32(image, 14);
  PutBe16(image, 11, Sum16(image, kHeader, pram));
  PutBe16(image, 18, Sum16(image, kHeader + pram, normal));
}

std::vector<std::uint8_t> NamedImage(const std::string& name, std::uint32_t normalSize, bool rdt) {
  BinImageSpec spec;
  spec.normalSize = normalSize;
  spec.rdt = rdt;
  std::vector<std::uint8_t> image = BuildBinImage(spec);
  kx::codeheader::Write(image.data() + kNormalCodeAt, 16384, name, rdt);
  FixBinSums(image);
  return image;
}

const std::vector<std::uint8_t>& MpImage() {
  static const std::vector<std::uint8_t> image = NamedImage("QVF10001", 16384 + 1024);
  return image;
}

std::vector<std::uint8_t> StoreBin(std::vector<std::uint8_t> content, bool transform, bool frame,
                                   std::uint8_t inner) {
  if (transform) {
    if (content.size() < 48) throw std::invalid_argument("content too short for its sum");
    std::uint32_t sum = 0;  // wraps at 2^32
    for (std::size_t i = 0; i < content.size(); ++i)
      if (i < 35 || i >= 48) sum += content[i];
    char digits[32];
    std::snprintf(digits, sizeof digits, "%013llu", static_cast<unsigned long long>(sum));
    for (std::size_t i = 0; i < 13; ++i) content[35 + i] = static_cast<std::uint8_t>(digits[i]);
    for (std::size_t i = 0; i < content.size(); ++i)
      content[i] = static_cast<std::uint8_t>(~content[i] ^ static_cast<std::uint8_t>(i));
  }
  if (frame) {
    content.insert(content.begin(), {0x22, inner});
    content.insert(content.end(), {inner, 0x58});
  }
  return content;
}

void WriteBinFile(const std::string& winPath, const std::vector<std::uint8_t>& bytes) {
  const std::filesystem::path native = platform::MapPath(winPath);
  if (native.has_parent_path()) std::filesystem::create_directories(native.parent_path());
  std::ofstream out(native, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + winPath);
}

}  // namespace kxtools
