// The bad-block list file: fourteen sections of per-CE, per-die block lists by
// kind and cause, then the RDT info and BBT parameter records as RAW blocks and
// "// Done"; CR LF line ends, long lines wrapped at fixed widths. Builders and
// bounded readers of its text.
#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "media/BbtCount.h"
#include "protocol/MediaRecords.h"

namespace kx {

struct BlockListSection {
  const char* header;
  std::uint8_t kindMask;
  std::uint8_t causeBit;  // 0: every block of the kind
};
extern const std::array<BlockListSection, 14> kBlockListSections;

inline constexpr std::uint32_t kEntryWrapWidth = 83;
inline constexpr std::uint32_t kEntryWrapIndent = 23;
inline constexpr std::uint32_t kRawWrapWidth = 62;
inline constexpr std::uint32_t kRawWrapIndent = 14;

// The physical lines (each ending CR LF) of one logical line: the part up to
// and including its first ";" is cut into `width` characters, then `indent`
// blanks and width - indent characters a line, and the rest of the line follows
// on a line of its own. A line that fits, or a width not above the indent, stays whole.
std::string FormatBlockListLines(const std::string& line, std::uint32_t width, std::uint32_t indent);
// "        CE_%02d/Die_%02d = <list>; // Count = %d" of the first `count` list
// entries ("%04x", joined by ", "; 0xFFFF is not printed), not wrapped.
std::string BlockListEntryLine(std::uint32_t ce, std::uint32_t die, const BlockList& list, std::uint32_t count);
// "        RAW = XX XX ...;" of a 64-byte record, not wrapped.
std::string RawRecordLine(const MediaRecordBytes& record);

// The whole file for the table, its record and the RDT info record.
std::string BuildBadBlockFileText(std::span<const std::uint8_t> bbt, const BbtScope& scope, std::uint32_t ceCount,
                                  const BbtParameter& param, const RdtInfoRecord& info);
// ORs the kind and cause of every section that lists a block into that block
// of `bbt`. Lines are read as at most 511 characters; an entry longer than
// kMaxEntryText characters, or one that cannot be parsed, marks nothing.
inline constexpr std::size_t kMaxEntryText = 262144;
void ApplyBadBlockFileText(const std::string& text, std::span<std::uint8_t> bbt, const BbtScope& scope,
                           const BbtParameter& param);
// The RAW block that follows `header` ("[RDT Info]" or "[BBT Parameter]") into
// `out`: the first 64 values, each kept to a byte, missing ones 0. False, and
// `out` unchanged, when the header or its block is missing or a value is not a
// hexadecimal number.
bool ReadRawRecord(const std::string& text, const char* header, MediaRecordBytes& out);

// The file's text cut into lines as a reader with a 512-byte line buffer sees
// them: at most 511 characters each, a line end kept with its line.
std::vector<std::string> SplitFileLines(const std::string& text);

}  // namespace kx
