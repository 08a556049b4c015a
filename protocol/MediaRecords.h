// Record layouts of the flash media that the controller firmware and the program
// share: the bad-block table's flag byte, its 64-byte parameter record, the
// 64-byte RDT info record, the 3rd BBT sector, and the 229,392-byte scan record.
// Layouts only: byte offsets and little-endian accessors over owned bytes; what
// the fields mean to a step lives with the step.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kx {

// Little-endian reads and writes at a byte pointer.
inline std::uint16_t LoadLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t LoadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void StoreLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void StoreLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// ---- BBT flag byte: one per block and plane; 0x00 is a good block ----
namespace bbtflag {
inline constexpr std::uint8_t kReadFail = 0x01;
inline constexpr std::uint8_t kProgramFail = 0x02;
inline constexpr std::uint8_t kEraseFail = 0x04;
inline constexpr std::uint8_t kRaidBad = 0x08;
inline constexpr std::uint8_t kLaterBad = 0x30;  // either bit counts; always tested together
inline constexpr std::uint8_t kRdtBad = 0x40;
inline constexpr std::uint8_t kEarlyBad = 0x80;
inline constexpr std::uint8_t kCauseMask = 0x0F;
inline constexpr std::uint8_t kKindMask = 0xF0;
inline constexpr std::uint8_t kEarlyOrRdt = 0xC0;
}  // namespace bbtflag

inline constexpr std::size_t kMediaSectorBytes = 512;
inline constexpr std::size_t kMediaRecordBytes = 64;  // BbtParameter and RdtInfoRecord

// A 64-byte record held as bytes, with bounds-safe field access.
struct MediaRecordBytes {
  std::array<std::uint8_t, kMediaRecordBytes> bytes{};

  std::uint8_t* data() { return bytes.data(); }
  const std::uint8_t* data() const { return bytes.data(); }
  bool Begins(const char (&sig)[5]) const { return std::memcmp(bytes.data(), sig, 4) == 0; }
  void SetSignature(const char (&sig)[5]) { std::memcpy(bytes.data(), sig, 4); }
  std::uint8_t U8(std::size_t off) const { return bytes[off]; }
  std::uint16_t U16(std::size_t off) const { return LoadLe16(bytes.data() + off); }
  std::uint32_t U32(std::size_t off) const { return LoadLe32(bytes.data() + off); }
  void SetU8(std::size_t off, std::uint8_t v) { bytes[off] = v; }
  void SetU16(std::size_t off, std::uint16_t v) { StoreLe16(bytes.data() + off, v); }
  void SetU32(std::size_t off, std::uint32_t v) { StoreLe32(bytes.data() + off, v); }
};

// ---- BBT parameter record (the first sector of the parameter area, selector 1) ----
namespace bbtparam {
inline constexpr char kSignature[5] = "DBTP";
inline constexpr std::size_t kSignatureOffset = 0;
inline constexpr std::size_t kCeCodeOffset = 4;  // u8[32]
inline constexpr std::size_t kCeCodeCount = 32;
inline constexpr std::uint8_t kAbsentCe = '?';
inline constexpr std::size_t kRowCount = 36;        // u32
inline constexpr std::size_t kChannelModulus = 40;  // u8
inline constexpr std::size_t kDieFold = 41;         // u8
inline constexpr std::size_t kFoldDivisor = 42;     // u8
inline constexpr std::size_t kColumnCount = 43;     // u8
inline constexpr std::size_t kDiesPerGroup = 44;    // u8
inline constexpr std::size_t kPlaneCount = 45;      // u8
inline constexpr std::size_t kBbtSectors = 46;      // u16
inline constexpr std::size_t kDieBlockStride = 48;  // u16
inline constexpr std::size_t kCarriedOffset = 50;   // 14 bytes carried unchanged
inline constexpr std::size_t kCarriedBytes = 14;
}  // namespace bbtparam

struct BbtParameter : MediaRecordBytes {
  bool HasSignature() const { return Begins(bbtparam::kSignature); }
  // CE code of CE `ce`; CEs beyond the record's 32 read as absent.
  std::uint8_t CeCode(std::size_t ce) const {
    return ce < bbtparam::kCeCodeCount ? bytes[bbtparam::kCeCodeOffset + ce] : bbtparam::kAbsentCe;
  }
  void SetCeCode(std::size_t ce, std::uint8_t code) {
    if (ce < bbtparam::kCeCodeCount) bytes[bbtparam::kCeCodeOffset + ce] = code;
  }
  std::uint32_t RowCount() const { return U32(bbtparam::kRowCount); }
  std::uint8_t ChannelModulus() const { return U8(bbtparam::kChannelModulus); }
  std::uint8_t DieFold() const { return U8(bbtparam::kDieFold); }
  std::uint8_t FoldDivisor() const { return U8(bbtparam::kFoldDivisor); }
  std::uint8_t ColumnCount() const { return U8(bbtparam::kColumnCount); }
  std::uint8_t DiesPerGroup() const { return U8(bbtparam::kDiesPerGroup); }
  std::uint8_t PlaneCount() const { return U8(bbtparam::kPlaneCount); }
  std::uint16_t BbtSectors() const { return U16(bbtparam::kBbtSectors); }
  std::uint16_t DieBlockStride() const { return U16(bbtparam::kDieBlockStride); }
  void SetRowCount(std::uint32_t v) { SetU32(bbtparam::kRowCount, v); }
  void SetChannelModulus(std::uint8_t v) { SetU8(bbtparam::kChannelModulus, v); }
  void SetDieFold(std::uint8_t v) { SetU8(bbtparam::kDieFold, v); }
  void SetFoldDivisor(std::uint8_t v) { SetU8(bbtparam::kFoldDivisor, v); }
  void SetColumnCount(std::uint8_t v) { SetU8(bbtparam::kColumnCount, v); }
  void SetDiesPerGroup(std::uint8_t v) { SetU8(bbtparam::kDiesPerGroup, v); }
  void SetPlaneCount(std::uint8_t v) { SetU8(bbtparam::kPlaneCount, v); }
  void SetBbtSectors(std::uint16_t v) { SetU16(bbtparam::kBbtSectors, v); }
  void SetDieBlockStride(std::uint16_t v) { SetU16(bbtparam::kDieBlockStride, v); }
};

// ---- RDT info record (selector 2 reads it; selector 1 writes it after the body) ----
namespace rdtinfo {
inline constexpr char kSignature[5] = "KXRT";
inline constexpr std::size_t kFlags = 12;  // u16; bit 1: kCeMap holds the run's CE map
inline constexpr std::uint16_t kFlagDynamicCeMap = 0x0002;
inline constexpr std::size_t kTestCounts = 14;  // low nibble even-loop, high nibble odd-loop tests
inline constexpr std::size_t kRunFlags = 15;    // u32; bit 20 (byte 17 bit 4): the RDT built the BBT
inline constexpr std::size_t kBuiltBbtByte = 17;
inline constexpr std::uint8_t kBuiltBbtBit = 0x10;
inline constexpr std::size_t kRetestByte = 18;  // bit 6 re-test, bit 7 cache test
inline constexpr std::size_t kCeMap = 19;         // u16
inline constexpr std::size_t kBbtChecksum = 21;   // u16, CRC-16 of the body at the last write
inline constexpr std::size_t kSkipFlags = 23;     // bits 2-4 skipped tests, 5 multi-plane, 6 retry, 7 doubled loops
inline constexpr std::size_t kBuildFlags = 27;    // bits 0-1 build flags; bits 2-7 kept
inline constexpr std::uint8_t kBuildFlagMask = 0x03;
inline constexpr std::size_t kTestUnits = 42;     // u16
inline constexpr std::size_t kMinTemperature = 47;
inline constexpr std::size_t kMaxTemperature = 48;
inline constexpr std::size_t kTemperature = 49;
inline constexpr std::size_t kFwVersion = 50;     // 4 characters (zero-terminated when shorter)
inline constexpr std::size_t kFwVersionBytes = 4;
inline constexpr std::size_t kSlcLoops = 56;
inline constexpr std::size_t kXlcLoops = 57;
inline constexpr std::size_t kSlcEcc = 58;
inline constexpr std::size_t kXlcEcc = 59;
inline constexpr std::size_t kTestSeconds = 60;   // u32
}  // namespace rdtinfo

struct RdtInfoRecord : MediaRecordBytes {
  bool HasSignature() const { return Begins(rdtinfo::kSignature); }
  std::uint16_t Flags() const { return U16(rdtinfo::kFlags); }
  std::uint16_t CeMap() const { return U16(rdtinfo::kCeMap); }
  std::uint16_t BbtChecksum() const { return U16(rdtinfo::kBbtChecksum); }
  bool BuiltBbt() const { return (U8(rdtinfo::kBuiltBbtByte) & rdtinfo::kBuiltBbtBit) != 0; }
  std::uint8_t BuildFlags() const { return U8(rdtinfo::kBuildFlags) & rdtinfo::kBuildFlagMask; }
  void SetCeMap(std::uint16_t v) { SetU16(rdtinfo::kCeMap, v); }
  void SetBbtChecksum(std::uint16_t v) { SetU16(rdtinfo::kBbtChecksum, v); }
};

// ---- 3rd BBT sector: 500 entries for one CE's blocks 500n..500n+499 ----
namespace bbt3rd {
inline constexpr char kSignature[5] = "KXBT";
inline constexpr char kSortSignature[5] = "KXBS";  // [Other] SortBB_Mark nonzero
inline constexpr std::size_t kEntriesOffset = 4;
inline constexpr std::size_t kEntriesPerSector = 500;
inline constexpr std::size_t kMaxBlockPerCe = 504;  // u16, low 16 bits
inline constexpr std::size_t kZeroWord = 506;       // u16, 0
inline constexpr std::size_t kBadCount = 508;       // u16, entries whose BBT flag byte is nonzero
inline constexpr std::size_t kByteSum = 510;        // u16, wrapping sum of bytes 0-509
// Entry: bits 7-6 01 good, 10 bad; low bits the cause.
inline constexpr std::uint8_t kStateMask = 0xC0;
inline constexpr std::uint8_t kGood = 0x40;
inline constexpr std::uint8_t kBad = 0x80;
inline constexpr std::uint8_t kCauseRead = 0x04;  // also RAID read bad
inline constexpr std::uint8_t kCauseProgram = 0x02;
inline constexpr std::uint8_t kCauseErase = 0x01;
}  // namespace bbt3rd

// ---- Scan record (ScanBlockInfo), 229,392 bytes, u32 little-endian unless said ----
namespace scanrec {
inline constexpr std::size_t kSize = 229392;
inline constexpr std::size_t kMarker = 0;  // 'S','C','A' then '1' scan mode, '2' read-out ("RDT" when the RDT saved it)
inline constexpr std::size_t kPerPlaneLimit = 4;
inline constexpr std::size_t kReserved = 8;
inline constexpr std::size_t kCes = 64;
inline constexpr std::size_t kDies = 16;
inline constexpr std::size_t kPlanes = 4;
inline constexpr std::size_t kCauses = 13;  // 0 all causes, 1..12 by cause filter
inline constexpr std::size_t kEarlyBase = 12;
inline constexpr std::size_t kEarlyCeStride = 256;
inline constexpr std::size_t kEarlyDieStride = 16;
inline constexpr std::size_t kLaterBase = 16396;
inline constexpr std::size_t kLaterCeStride = 3328;
inline constexpr std::size_t kLaterDieStride = 208;
inline constexpr std::size_t kLaterPlaneStride = 52;
inline constexpr std::size_t kCeSkipMask = 229388;  // u16, read from a saved record

// Offsets of the count words; callers keep ce < 64, die < 16, plane < 4, cause < 13.
constexpr std::size_t EarlyOffset(std::size_t ce, std::size_t die, std::size_t plane) {
  return kEarlyBase + ce * kEarlyCeStride + die * kEarlyDieStride + plane * 4;
}
constexpr std::size_t LaterOffset(std::size_t ce, std::size_t die, std::size_t plane, std::size_t cause = 0) {
  return kLaterBase + ce * kLaterCeStride + die * kLaterDieStride + plane * kLaterPlaneStride + cause * 4;
}
static_assert(EarlyOffset(kCes, 0, 0) == kLaterBase, "early table ends where the later table starts");
static_assert(LaterOffset(kCes, 0, 0) == kCeSkipMask, "later table ends at the last word");
static_assert(kCeSkipMask + 4 == kSize, "record size");
}  // namespace scanrec

}  // namespace kx
