// The device-listing record that the listing library fills: a flat byte record
// shared with a separately built library, so it is handled as bytes at fixed
// offsets, never as a C++ struct.
//
//   offset 2       u8   request byte, set to 1 by the caller before every listing
//   offset 8       u32  device count (little-endian)
//   offset 66,832  128 entries of 520 bytes: node name (260, NUL-terminated),
//                  device path (260, NUL-terminated, "NULL" when absent)
// Every other byte belongs to the library.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace kx {

constexpr std::size_t kRootDeviceSize = 133392;
constexpr std::size_t kRootDeviceRequestOffset = 2;
constexpr std::size_t kRootDeviceCountOffset = 8;
constexpr std::size_t kRootDeviceEntriesOffset = 66832;
constexpr std::size_t kRootDeviceEntrySize = 520;
constexpr std::size_t kRootDeviceTextSize = 260;
constexpr std::size_t kRootDeviceMaxEntries = 128;

// The listing library's one export: fills the record at the given address.
using ListKxDeviceFn = void (*)(unsigned char* rootDevice);
// Name the program resolves the export by.
inline constexpr const char* kListKxDeviceExport = "@ListKxDevice$qp11ROOT_Device";

struct RootDeviceRecord {
  std::array<unsigned char, kRootDeviceSize> bytes{};

  void SetRequest(std::uint8_t v) { bytes[kRootDeviceRequestOffset] = v; }
  std::uint8_t Request() const { return bytes[kRootDeviceRequestOffset]; }

  std::uint32_t Count() const {
    const unsigned char* p = &bytes[kRootDeviceCountOffset];
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
  }
  void SetCount(std::uint32_t n) {
    unsigned char* p = &bytes[kRootDeviceCountOffset];
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(n >> (8 * i));
  }

  // Text fields are read up to their NUL or their 260-byte end, whichever is first.
  std::string Node(std::size_t i) const { return text(i, 0); }
  std::string Path(std::size_t i) const { return text(i, kRootDeviceTextSize); }
  void SetEntry(std::size_t i, const std::string& node, const std::string& path) {
    if (i >= kRootDeviceMaxEntries) return;
    setText(i, 0, node);
    setText(i, kRootDeviceTextSize, path);
  }

 private:
  std::string text(std::size_t i, std::size_t field) const {
    if (i >= kRootDeviceMaxEntries) return {};
    const char* p = reinterpret_cast<const char*>(&bytes[kRootDeviceEntriesOffset + i * kRootDeviceEntrySize + field]);
    return std::string(p, strnlen(p, kRootDeviceTextSize));
  }
  void setText(std::size_t i, std::size_t field, const std::string& s) {
    unsigned char* p = &bytes[kRootDeviceEntriesOffset + i * kRootDeviceEntrySize + field];
    std::memset(p, 0, kRootDeviceTextSize);
    std::memcpy(p, s.data(), s.size() < kRootDeviceTextSize ? s.size() : kRootDeviceTextSize - 1);
  }
};

}  // namespace kx
