// The bad-block map check (CheckBadBlockMap) and the bad-block list file
// (SaveBadBlockFile, LoadBadBlockFile, LoadRdtInfoRaw, LoadBbtParameterRaw).
// The map check's commands (ReadBBT selectors 1 and 2 through media/BbtTable.cpp,
// SetCEMap, ScanAllFlashID) are answered by emulator/DriveVendor.cpp; the file
// steps send nothing.
#include "media/BadBlockFile.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "bringup/FlashIdentity.h"
#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/SettingNumbers.h"
#include "device/Settings.h"
#include "platform/Files.h"

using kx::StrFormat;

namespace kx {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsSpace(s[b])) ++b;
  while (e > b && IsSpace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool Has(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

std::string RemoveAll(std::string s, const std::string& part) {
  for (std::size_t at; (at = s.find(part)) != std::string::npos;) s.erase(at, part.size());
  return s;
}

// A CE or die number of an entry: one to three decimal digits, below 256.
bool ReadSmallDecimal(const std::string& text, std::uint32_t& value) {
  if (text.empty() || text.size() > 3) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value < 256;
}

// "CE_%d/Die_%d = <list>; ..." of one section into the table.
void ApplyEntry(const std::string& entry, const BlockListSection& section, std::span<std::uint8_t> bbt,
                const BbtScope& scope, const BbtParameter& param) {
  const std::size_t slash = entry.find('/');
  if (slash == 0 || slash == std::string::npos) return;
  const std::size_t eq = entry.find('=', slash + 1);
  if (eq == std::string::npos || eq == slash + 1) return;
  std::uint32_t ce = 0, die = 0;
  if (!ReadSmallDecimal(Trim(RemoveAll(entry.substr(0, slash), "CE_")), ce) ||
      !ReadSmallDecimal(Trim(RemoveAll(entry.substr(slash + 1, eq - slash - 1), "Die_")), die))
    return;
  ParseBadBlockList(bbt, scope, entry, ce, die, param, section.kindMask, section.causeBit);
}

}  // namespace

const std::array<BlockListSection, 14> kBlockListSections = {{
    {"[Early Bad]", 0x80, 0},
    {"[Early Bad | Read Fail]", 0x80, 0x01},
    {"[Early Bad | Program Fail]", 0x80, 0x02},
    {"[Early Bad | Erase Fail]", 0x80, 0x04},
    {"[Early Bad | Raid Bad]", 0x80, 0x08},
    {"[Later Bad]", 0x30, 0},
    {"[Later Bad | Read Fail]", 0x30, 0x01},
    {"[Later Bad | Program Fail]", 0x30, 0x02},
    {"[Later Bad | Erase Fail]", 0x30, 0x04},
    {"[Later Bad | Raid Bad]", 0x30, 0x08},
    {"[RDT Bad]", 0x40, 0},
    {"[RDT Bad | Read Fail]", 0x40, 0x01},
    {"[RDT Bad | Program Fail]", 0x40, 0x02},
    {"[RDT Bad | Erase Fail]", 0x40, 0x04},
}};

std::string FormatBlockListLines(const std::string& line, std::uint32_t width, std::uint32_t indent) {
  const std::size_t semi = line.find(';');
  const std::size_t headLength = semi == std::string::npos ? line.size() : semi + 1;
  const std::string head = line.substr(0, headLength);
  const std::string tail = line.substr(headLength);
  if (head.size() <= width || width <= indent) return head + tail + "\r\n";
  const std::size_t step = width - indent;
  const std::string blanks(indent, ' ');
  std::string out = head.substr(0, width) + "\r\n";
  for (std::size_t at = width; at < head.size(); at += step) out += blanks + head.substr(at, step) + "\r\n";
  return out + blanks + tail + "\r\n";
}

std::string BlockListEntryLine(std::uint32_t ce, std::uint32_t die, const BlockList& list, std::uint32_t count) {
  std::string blocks;
  const std::uint32_t n = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(list.size()));
  for (std::uint32_t i = 0; i < n; ++i) {
    if (list[i] == kBlockListEnd) continue;
    blocks += StrFormat(blocks.empty() ? "%04x" : ", %04x", list[i]);
  }
  return StrFormat("        CE_%02u/Die_%02u = %s; // Count = %u", ce, die, blocks.c_str(), count);
}

std::string RawRecordLine(const MediaRecordBytes& record) {
  std::string bytes;
  for (std::uint8_t b : record.bytes) bytes += StrFormat(" %02X", b);
  return "        RAW =" + bytes + ";";
}

std::string BuildBadBlockFileText(std::span<const std::uint8_t> bbt, const BbtScope& scope, std::uint32_t ceCount,
                                  const BbtParameter& param, const RdtInfoRecord& info) {
  const std::uint32_t ces = std::min<std::uint32_t>(ceCount, kCountCes);
  const std::uint32_t dies = std::min<std::uint32_t>(scope.diesPerCe, kCountDies);
  auto list = std::make_unique<BlockList>();
  std::string out;
  for (const BlockListSection& section : kBlockListSections) {
    out += section.header;
    out += "\r\n";
    for (std::uint32_t ce = 0; ce < ces; ++ce) {
      if (!CePassesFilters(scope, ce)) continue;
      for (std::uint32_t die = 0; die < dies; ++die) {
        const std::uint32_t n =
            ListBadBlocksOfDie(*list, bbt, scope, ce, die, param, section.kindMask, section.causeBit);
        out += FormatBlockListLines(BlockListEntryLine(ce, die, *list, n), kEntryWrapWidth, kEntryWrapIndent);
      }
    }
  }
  out += "[RDT Info]\r\n" + FormatBlockListLines(RawRecordLine(info), kRawWrapWidth, kRawWrapIndent);
  out += "[BBT Parameter]\r\n" + FormatBlockListLines(RawRecordLine(param), kRawWrapWidth, kRawWrapIndent);
  return out + "// Done\r\n";
}

std::vector<std::string> SplitFileLines(const std::string& text) {
  constexpr std::size_t kLineMax = 511;
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t n = std::min(kLineMax, text.size() - at);
    const std::size_t newline = text.find('\n', at);
    if (newline != std::string::npos && newline - at < n) n = newline - at + 1;
    lines.push_back(text.substr(at, n));
    at += n;
  }
  return lines;
}

void ApplyBadBlockFileText(const std::string& text, std::span<std::uint8_t> bbt, const BbtScope& scope,
                           const BbtParameter& param) {
  const BlockListSection* section = nullptr;
  bool entryOpen = false;
  bool entryTooLong = false;
  std::string entry;
  for (const std::string& raw : SplitFileLines(text)) {
    const std::string line = Trim(raw);
    if (!raw.empty() && raw[0] == '[') {
      section = nullptr;
      entryOpen = false;
    }
    if (section == nullptr) {
      for (const BlockListSection& s : kBlockListSections)
        if (line.rfind(s.header, 0) == 0) {
          section = &s;
          break;
        }
      continue;
    }
    if (Has(line, "CE_")) {
      entryOpen = true;
      entryTooLong = false;
      entry.clear();
    }
    if (!entryOpen) continue;
    if (entry.size() + line.size() + 1 > kMaxEntryText) entryTooLong = true;
    if (!entryTooLong) entry += line + " ";
    if (Has(line, ";")) {
      if (!entryTooLong) ApplyEntry(entry, *section, bbt, scope, param);
      entryOpen = false;
    }
  }
}

bool ReadRawRecord(const std::string& text, const char* header, MediaRecordBytes& out) {
  enum { kSeekHeader, kSeekBlock, kInBlock } state = kSeekHeader;
  std::string block;
  for (const std::string& raw : SplitFileLines(text)) {
    const std::string line = Trim(raw);
    if (state == kSeekHeader) {
      if (line.rfind(header, 0) == 0) state = kSeekBlock;
      continue;
    }
    if (state == kSeekBlock) {
      if (!line.empty() && line[0] == '[') return false;  // the next section: this one has no block
      if (!Has(line, "RAW = ")) continue;
      state = kInBlock;
    }
    if (block.size() + line.size() + 1 > kMaxEntryText) return false;
    block += line + " ";
    if (Has(line, ";")) break;
  }
  if (state != kInBlock) return false;
  block = RemoveAll(RemoveAll(block, "RAW = "), ";");
  MediaRecordBytes record;
  std::size_t n = 0;
  std::string piece;
  for (std::size_t i = 0; i <= block.size(); ++i) {
    const char c = i < block.size() ? block[i] : ' ';
    if (!IsSpace(c)) {
      piece += c;
      continue;
    }
    if (piece.empty()) continue;
    std::uint32_t value = 0;
    if (!ReadHexNumber(piece, value)) return false;
    if (n < record.bytes.size()) record.bytes[n++] = static_cast<std::uint8_t>(value);
    piece.clear();
  }
  out = record;
  return true;
}

}  // namespace kx

namespace {

constexpr int kApKeyDelayMs = 300;

// The file's bytes; false when it is missing or cannot be read.
bool ReadListFile(const std::string& path, std::string& text) {
  return platform::FileExists(path) && platform::ReadFileBytes(path, text) == 0;
}

}  // namespace

bool CPortDevice::CheckBadBlockMap(const kx::BbtParameter* param) {
  kx::BbtParameter layout;
  bool present = false;
  if (param != nullptr) {
    layout = *param;
    present = !m_BbtBuffer.empty();  // the caller loaded the table
  } else {
    kx::RdtInfoRecord info;
    if (ReadRdtInfo(&info, nullptr) && (info.Flags() & kx::rdtinfo::kFlagDynamicCeMap)) {
      m_CeMap = info.CeMap();
      SelectCeMap(0, true);
    }
    present = ReadBbt(&layout, nullptr);
  }
  if (!present) {
    Fail("F_T34", "Bad blocks map is not exist!!!", true);
    return false;
  }
  if (!SetApKeyWithRetry(true, kApKeyDelayMs)) return false;
  std::uint8_t sector[512] = {};
  if (!m_Command->ScanAllFlashID(sector)) {
    Fail("I_x07", "Issue Scan all Flash ID command Failed!!!", false);
    return false;
  }
  std::memcpy(m_ScanAllFlashIdTable.data(), sector, m_ScanAllFlashIdTable.size());

  std::uint16_t mask = 0;
  if (std::string message; !kx::ReadUiCeMap(mask, message)) {
    Fail(kx::kSettingNumberCode, message, true);
    return false;
  }
  int ce = -1;
  for (int c = 0; c < 8 && ce < 0; ++c)
    if (sector[c * 8] != 0 && (mask == 0 || (mask >> c) & 1u)) ce = c;
  if (ce < 0) {  // no CE to test: nothing says the map is usable
    Fail("F_T34", "Bad blocks map is not exist!!!", true);
    return false;
  }
  m_StatusExtraFlag = 0;
  m_StatusExtraText.clear();
  if (IsBlockMarkedBad(0, static_cast<std::uint32_t>(ce), 0, layout) & kx::bbtflag::kEarlyBad) {
    m_StatusExtraFlag = 1;
    m_StatusExtraText = "CE0 Blk 0";
    Fail("F_T34", "CE0 Blk 0 is bad!!", true);
    return false;
  }
  return true;
}

bool CPortDevice::SaveBadBlockFile(const std::string& path, std::uint32_t ceCount, const kx::BbtParameter& param,
                                   const kx::RdtInfoRecord& info) {
  const std::string text = kx::BuildBadBlockFileText(m_BbtBuffer, kx::DeviceBbtScope(*this), ceCount, param, info);
  // The file is replaced whole: a failed write leaves the old one.
  const win::DWORD error = platform::WriteFileBytes(path, text);
  if (error != 0) {
    Fail("A_x08", StrFormat("Open save file Failed.%u", static_cast<unsigned>(error)), false);
    kx::ShowMessageBox(m_ErrorMessage);
    return false;
  }
  return true;
}

bool CPortDevice::LoadBadBlockFile(const std::string& path, std::uint8_t* bbt, std::size_t bbtSize,
                                   const kx::BbtParameter& param) {
  std::string text;
  if (bbt != nullptr && ReadListFile(path, text))
    kx::ApplyBadBlockFileText(text, {bbt, bbtSize}, kx::DeviceBbtScope(*this), param);
  return true;
}

bool CPortDevice::LoadRdtInfoRaw(const std::string& path, kx::RdtInfoRecord& out) {
  std::string text;
  if (ReadListFile(path, text)) kx::ReadRawRecord(text, "[RDT Info]", out);
  return true;
}

bool CPortDevice::LoadBbtParameterRaw(const std::string& path, kx::BbtParameter& out) {
  std::string text;
  if (ReadListFile(path, text)) kx::ReadRawRecord(text, "[BBT Parameter]", out);
  return true;
}
