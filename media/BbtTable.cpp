// The bad-block table on the drive: ReadBbt, FindBbtParameter, ReadRdtInfo,
// WriteBbt, Read3rdBbt, Write3rdBbt and their raw forms, ReadDebugInfo, and the
// release of the table buffers the device holds. The emulated drive answers
// their commands in emulator/DriveVendor.cpp (ReadBBT, WriteBBT, Read3rdBBT,
// Write3rdBBT, ReadDebugInfo) from the stores of emulator/DriveStores.cpp.
#include "media/BbtTable.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "command/DriveCommand.h"
#include "device/Checksum.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"

using kx::StrFormat;

namespace kx {

std::uint32_t BbtSelector(std::uint8_t ceCode, std::uint32_t channelCount) {
  if (channelCount != 2) return ceCode;
  return static_cast<std::uint32_t>((ceCode >> 3) + 2 * (ceCode & 7));
}

std::uint32_t BbtDieColumn(const DieEntries& entries, const BbtParameter& param) {
  // Row 0 of a die starts at groupDie x columns x planes + column x planes.
  return static_cast<std::uint32_t>((entries.firstIndex / entries.planeStride) % param.ColumnCount());
}

std::uint16_t BbtCrc16(const std::uint8_t* bytes, std::size_t length) {
  std::uint16_t crc = 0;
  CCrc16Ccitt::Init(crc);
  CCrc16Ccitt::Update(crc, bytes, static_cast<std::uint32_t>(length));
  CCrc16Ccitt::Final(crc);
  return crc;
}

std::size_t BbtCrcLength(std::uint32_t blocksPerPlane, std::int32_t flashCount, std::uint32_t planeCount,
                         std::size_t available) {
  if (flashCount <= 0) return 0;
  const std::uint64_t covered = static_cast<std::uint64_t>(blocksPerPlane) * static_cast<std::uint32_t>(flashCount) *
                                planeCount;
  return static_cast<std::size_t>(std::min<std::uint64_t>(covered, available));
}

std::uint32_t Bbt3rdSectorsPerCe(std::uint32_t maxBlockPerCe) {
  const std::uint32_t perSector = bbt3rd::kEntriesPerSector;
  return maxBlockPerCe / perSector + (maxBlockPerCe % perSector != 0 ? 1 : 0);
}

std::uint8_t Bbt3rdEntry(std::uint8_t existing, std::uint8_t flags) {
  std::uint8_t entry = static_cast<std::uint8_t>((existing & ~bbt3rd::kStateMask) | bbt3rd::kGood);
  bool bad = (flags & bbtflag::kKindMask) != 0 && (flags & bbtflag::kCauseMask) == 0;
  auto take = [&](std::uint8_t cause) {
    entry = static_cast<std::uint8_t>(entry | cause);
    bad = true;
  };
  if (flags & bbtflag::kReadFail) take(bbt3rd::kCauseRead);
  if (flags & bbtflag::kProgramFail) take(bbt3rd::kCauseProgram);
  if (flags & bbtflag::kEraseFail) take(bbt3rd::kCauseErase);
  if ((flags & bbtflag::kRaidBad) && !(entry & (bbt3rd::kCauseRead | bbt3rd::kCauseProgram))) take(bbt3rd::kCauseRead);
  if (bad) entry = static_cast<std::uint8_t>((entry & ~bbt3rd::kStateMask) | bbt3rd::kBad);
  return entry;
}

std::uint8_t BbtFlagsFrom3rdEntry(std::uint8_t entry) {
  if ((entry & bbt3rd::kStateMask) != bbt3rd::kBad) return 0;
  std::uint8_t flags = bbtflag::kEarlyBad;
  if (entry & 0x01) flags |= bbtflag::kEraseFail;
  if (entry & 0x02) flags |= bbtflag::kProgramFail;
  if (entry & 0x04) flags |= bbtflag::kReadFail;
  return flags;
}

void Seal3rdBbtSector(std::uint8_t* sector, bool sortMark, std::uint32_t maxBlockPerCe, std::uint16_t badCount) {
  std::memcpy(sector, sortMark ? bbt3rd::kSortSignature : bbt3rd::kSignature, 4);
  StoreLe16(sector + bbt3rd::kMaxBlockPerCe, static_cast<std::uint16_t>(maxBlockPerCe));
  StoreLe16(sector + bbt3rd::kZeroWord, 0);
  StoreLe16(sector + bbt3rd::kBadCount, badCount);
  StoreLe16(sector + bbt3rd::kByteSum, ByteSum16(sector, bbt3rd::kByteSum));
}

}  // namespace kx

namespace {

constexpr int kApKeyDelayMs = 300;
constexpr std::uint32_t kReadChunkSectors = 128;
constexpr std::uint32_t kWrite3rdChunkSectors = 8;
constexpr std::size_t kChunkBytes = kReadChunkSectors * kx::kMediaSectorBytes;
constexpr std::size_t kRecordSectorClear = 16384;
constexpr std::size_t kSector = kx::kMediaSectorBytes;

constexpr std::uint8_t kSelectorBody = 0;
constexpr std::uint8_t kSelectorParameter = 1;
constexpr std::uint8_t kSelectorRdtInfo = 2;
constexpr std::uint8_t kSelectorRdtInfoWrite = 1;

const char kReadBbtFailed[] = "Issue Read BBT Command Failed !!!";

}  // namespace

// ---- release of the table buffers ----

void CPortDevice::ReleaseBbt() { std::vector<std::uint8_t>().swap(m_BbtBuffer); }
void CPortDevice::ReleaseBbt3rd() { std::vector<std::uint8_t>().swap(m_Bbt3rd); }
void CPortDevice::ReleaseBlockTable() { std::vector<std::vector<std::uint32_t>>().swap(m_BlockTable); }

// ---- shared pieces ----

bool CPortDevice::TableApKey(bool checkEnabled, char family) {
  if (SetApKeyWithRetry(checkEnabled, kApKeyDelayMs)) return true;
  return FailWithFamily(family);
}

bool CPortDevice::ReadRecordSector(std::uint8_t selector, std::uint8_t* out64, const char* failMessage) {
  std::memset(m_IoBufferA, 0, kRecordSectorClear);
  if (!TableApKey(false, 'J')) return false;
  if (!m_Command->ReadBBT(m_IoBufferA, 1, selector, 0)) {
    m_ErrorMessage = failMessage;
    WriteReport(failMessage, true);
    return false;
  }
  std::memcpy(out64, m_IoBufferA, kx::kMediaRecordBytes);
  return true;
}

bool CPortDevice::Check3rdBbtSize(std::uint32_t sectors) {
  if (sectors <= kx::kMax3rdBbtSectors) return true;
  Fail("F_T34", StrFormat("3rd BBT of %u sectors exceeds the staging buffer !!!", sectors), true);
  return false;
}

// ---- parameter record, RDT info record and table body ----

bool CPortDevice::FindBbtParameter(kx::BbtParameter* out) {
  kx::BbtParameter local;
  kx::BbtParameter& record = out != nullptr ? *out : local;
  if (!ReadRecordSector(kSelectorParameter, record.data(), kReadBbtFailed)) return false;
  if (!record.HasSignature()) return false;
  WriteReport("Find BBT parameter", true);
  return true;
}

bool CPortDevice::ReadRdtInfo(kx::RdtInfoRecord* out, std::uint16_t* checksumOut) {
  kx::RdtInfoRecord local;
  kx::RdtInfoRecord& record = out != nullptr ? *out : local;
  if (!ReadRecordSector(kSelectorRdtInfo, record.data(), "Issue ReadRDTInfo Command Failed !!!")) return false;
  if (!record.HasSignature()) return false;
  WriteReport("Find RDT Info", true);
  if (checksumOut != nullptr) *checksumOut = record.BbtChecksum();
  WriteReport(StrFormat("BBT check sum from RDT:%x", record.BbtChecksum()), true);
  WriteReport(StrFormat("RDT_BuildBBT:%x", record.BuiltBbt() ? 1 : 0), true);
  return true;
}

bool CPortDevice::ReadBbt(kx::BbtParameter* out, std::uint16_t* checksumOut) {
  ReleaseBbt();
  kx::BbtParameter local;
  kx::BbtParameter& param = out != nullptr ? *out : local;
  if (!FindBbtParameter(&param)) return false;
  const std::uint32_t sectors = param.BbtSectors();
  m_BbtBuffer.assign(static_cast<std::size_t>(sectors) * kSector, 0xFF);
  const std::uint32_t whole = sectors / kReadChunkSectors;
  const std::uint32_t rest = sectors % kReadChunkSectors;
  for (std::uint32_t i = 0; i <= whole; ++i) {
    const std::uint32_t count = i < whole ? kReadChunkSectors : rest;
    if (count == 0) break;
    if (!TableApKey(true, 'T')) {
      ReleaseBbt();
      return false;
    }
    // Whole chunks start from zeros, the last one from 0xFF.
    std::memset(m_IoBufferA, i < whole ? 0x00 : 0xFF, kChunkBytes);
    const auto offset = static_cast<std::uint16_t>(i * kReadChunkSectors);
    if (!m_Command->ReadBBT(m_IoBufferA, static_cast<std::uint8_t>(count), kSelectorBody, offset)) {
      ReleaseBbt();
      m_ErrorMessage = kReadBbtFailed;
      WriteReport(kReadBbtFailed, true);
      return false;
    }
    std::memcpy(m_BbtBuffer.data() + static_cast<std::size_t>(offset) * kSector, m_IoBufferA, count * kSector);
  }
  if (checksumOut != nullptr) {
    const std::size_t length = kx::BbtCrcLength(m_BlocksPerPlane, m_FlashCount, m_PlaneCount, m_BbtBuffer.size());
    *checksumOut = kx::BbtCrc16(m_BbtBuffer.data(), length);
    WriteReport(StrFormat("Read BBT checksum:%x", *checksumOut), true);
  }
  return true;
}

bool CPortDevice::WriteBbt(const std::uint8_t* bbt, kx::RdtInfoRecord* info, const kx::BbtParameter* param,
                           std::uint16_t* checksumOut, std::uint8_t buildFlags) {
  if (bbt == nullptr || param == nullptr) {
    Fail("F_T34", "No BBT to write !!!", true);
    return false;
  }
  const std::uint32_t unit = kx::PageUnitBytes({m_Page16K, m_Page8K, m_Page4K});
  const std::uint32_t unitSectors = unit / kSector;
  const std::uint32_t sectors = param->BbtSectors();
  const std::uint32_t whole = sectors / unitSectors;
  const std::uint32_t rest = sectors % unitSectors;
  const std::uint32_t length = (whole + (rest != 0 ? 1 : 0)) * unit;
  for (std::uint32_t i = 0; i <= whole; ++i) {
    const std::uint32_t count = i < whole ? unitSectors : rest;
    if (count == 0) break;
    if (!TableApKey(true, 'T')) return false;
    if (!m_Command->WriteBBT(bbt + static_cast<std::size_t>(i) * unit, static_cast<std::uint8_t>(count), kSelectorBody,
                             i * unit)) {
      Fail("F_T32", "Issue Write BBT Command Failed !!!", true);
      return false;
    }
  }
  kx::RdtInfoRecord made;
  kx::RdtInfoRecord& record = info != nullptr ? *info : made;
  if (!record.HasSignature()) record.bytes.fill(0);
  record.SetSignature(kx::rdtinfo::kSignature);
  const std::uint8_t kept = record.U8(kx::rdtinfo::kBuildFlags) & ~kx::rdtinfo::kBuildFlagMask;
  record.SetU8(kx::rdtinfo::kBuildFlags, static_cast<std::uint8_t>(kept | (buildFlags & kx::rdtinfo::kBuildFlagMask)));
  if (checksumOut != nullptr) {
    const std::size_t covered =
        kx::BbtCrcLength(m_BlocksPerPlane, m_FlashCount, m_PlaneCount, static_cast<std::size_t>(sectors) * kSector);
    *checksumOut = kx::BbtCrc16(bbt, covered);
    WriteReport(StrFormat("Write BBT checksum:%x", *checksumOut), true);
    record.SetBbtChecksum(*checksumOut);
  }
  if (!TableApKey(true, 'T')) return false;
  std::memset(m_IoBufferA, 0, kSector);
  std::memcpy(m_IoBufferA, record.data(), kx::kMediaRecordBytes);
  if (!m_Command->WriteBBT(m_IoBufferA, 1, kSelectorRdtInfoWrite, length)) {
    Fail("F_T32", "Issue Write BBT Command Failed !!!", true);
    return false;
  }
  return true;
}

// ---- 3rd BBT ----

bool CPortDevice::Read3rdBbtRaw(std::uint8_t* out, std::uint32_t sectors, std::uint8_t selector) {
  if (!Check3rdBbtSize(sectors)) return false;
  std::memset(out, 0, static_cast<std::size_t>(sectors) * kSector);
  const std::uint32_t physical = 2 * sectors;
  for (std::uint32_t offset = 0; offset < physical; offset += kReadChunkSectors) {
    const std::uint32_t count = std::min(kReadChunkSectors, physical - offset);
    if (!TableApKey(false, 'J')) return false;
    std::memset(m_IoBufferA, 0, kChunkBytes);
    if (!m_Command->Read3rdBBT(m_IoBufferA, static_cast<std::uint8_t>(count), selector,
                               static_cast<std::uint16_t>(offset))) {
      Fail("F_x50", "Issue Read 3rd BBT Command Failed !!!", false);
      WriteReport(m_ErrorMessage, true);
      if (count == kReadChunkSectors) WriteFailReport();
      return false;
    }
    // Only the even physical sectors hold the table; the odd ones its complement.
    for (std::uint32_t i = 0; i < count; i += 2)
      std::memcpy(out + static_cast<std::size_t>((offset + i) / 2) * kSector, m_IoBufferA + i * kSector, kSector);
  }
  return true;
}

bool CPortDevice::Write3rdBbtRaw(const std::uint8_t* in, std::uint32_t sectors, std::uint8_t selector) {
  if (!Check3rdBbtSize(sectors)) return false;
  const std::uint32_t physical = 2 * sectors;
  for (std::uint32_t offset = 0; offset < physical; offset += kWrite3rdChunkSectors) {
    const std::uint32_t count = std::min(kWrite3rdChunkSectors, physical - offset);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* logical = in + static_cast<std::size_t>((offset + i) / 2) * kSector;
      std::uint8_t* dest = m_IoBufferA + i * kSector;
      if ((offset + i) % 2 == 0)
        std::memcpy(dest, logical, kSector);
      else
        for (std::size_t b = 0; b < kSector; ++b) dest[b] = static_cast<std::uint8_t>(0xFF - logical[b]);
    }
    if (!TableApKey(true, 'T')) return false;
    if (!m_Command->Write3rdBBT(m_IoBufferA, static_cast<std::uint8_t>(count), selector,
                                offset * static_cast<std::uint32_t>(kSector))) {
      Fail("F_T32", "Issue Write 3rd party BBT Command Failed !!!", true);
      return false;
    }
  }
  return true;
}

bool CPortDevice::Read3rdBbt(std::uint8_t* bbt, const kx::BbtParameter* param, std::uint32_t* bytesOut) {
  if (!CheckSystemInfo()) return FailWithFamily('T');
  if (param == nullptr) {
    Fail("F_T34", "No BBT parameter !!!", true);
    return false;
  }
  const std::uint32_t n = kx::Bbt3rdSectorsPerCe(m_MaxBlockPerCe);
  if (!Check3rdBbtSize(n)) return false;
  const kx::BbtScope scope = kx::DeviceBbtScope(*this);
  const std::uint32_t dies = std::min(m_DiePerFlash, kx::kBbtMaxDies);
  const std::uint32_t blocksPerDie = m_MaxBlockPerCe / std::max<std::uint32_t>(m_DiePerFlash, 1);
  const std::size_t ceBytes = static_cast<std::size_t>(n) * kSector;
  const std::uint32_t planes = param->PlaneCount();
  std::vector<std::uint8_t> staging(ceBytes);
  m_Bbt3rd.assign(kx::k3rdBbtCes * ceBytes, 0xFF);
  for (std::uint32_t ce = 0; ce < kx::k3rdBbtCes; ++ce) {
    const std::uint8_t code = param->CeCode(ce);
    if ((m_CeMap != 0 && !((m_CeMap >> ce) & 1)) || code == kx::bbtparam::kAbsentCe) continue;
    if (!Read3rdBbtRaw(staging.data(), n, static_cast<std::uint8_t>(kx::BbtSelector(code, m_ChannelCount)))) {
      m_ErrorMessage = "Read 3rd BBT Failed !!!";
      WriteReport(m_ErrorMessage, true);
      return false;
    }
    std::copy(staging.begin(), staging.end(), m_Bbt3rd.begin() + static_cast<std::ptrdiff_t>(ce * ceBytes));
    // Without blocks per die no die of the CE has a block.
    if (bbt == nullptr || blocksPerDie == 0 || !kx::CePassesFilters(scope, ce)) continue;
    for (std::uint32_t d = 0; d < dies; ++d) {
      for (std::uint32_t b = 0; b < n * kx::bbt3rd::kEntriesPerSector; ++b) {
        const std::uint32_t j = b / kx::bbt3rd::kEntriesPerSector;
        const std::uint8_t flags =
            kx::BbtFlagsFrom3rdEntry(staging[j * kSector + kx::bbt3rd::kEntriesOffset + b % kx::bbt3rd::kEntriesPerSector]);
        if (flags == 0) continue;  // not bad: nothing to merge
        const std::uint32_t block = b % blocksPerDie + param->DieBlockStride() * (b / blocksPerDie) * planes;
        ParseBadBlockList(bbt, static_cast<std::size_t>(param->BbtSectors()) * kSector, StrFormat("%x", block),
                          static_cast<std::uint8_t>(ce), static_cast<std::uint8_t>(d), *param,
                          flags & kx::bbtflag::kCauseMask, kx::bbtflag::kEarlyBad);
      }
    }
  }
  if (bytesOut != nullptr) *bytesOut = static_cast<std::uint32_t>(m_Bbt3rd.size());
  return true;
}

bool CPortDevice::Write3rdBbt(const kx::BbtParameter* param) {
  if (!CheckSystemInfo()) return FailWithFamily('T');
  if (param == nullptr) {
    Fail("F_T34", "No BBT parameter !!!", true);
    return false;
  }
  const std::uint32_t n = kx::Bbt3rdSectorsPerCe(m_MaxBlockPerCe);
  if (!Check3rdBbtSize(n)) return false;
  // The table must have been read for this record: a missing one would be
  // written as all good.
  const std::size_t tableBytes = static_cast<std::size_t>(param->BbtSectors()) * kSector;
  if (m_BbtBuffer.empty() || m_BbtBuffer.size() < tableBytes) {
    Fail("F_T34", "BBT is not read or smaller than its parameter !!!", true);
    return false;
  }
  const bool sortMark = kx::ReadProfileInt("Other", "SortBB_Mark", 0, kx::SettingIniPath().c_str()) != 0;
  const kx::BbtScope scope = kx::DeviceBbtScope(*this);
  const std::uint32_t dies = std::min(m_DiePerFlash, kx::kBbtMaxDies);
  const std::uint32_t blocksPerDie = m_MaxBlockPerCe / std::max<std::uint32_t>(m_DiePerFlash, 1);
  const std::uint32_t planes = param->PlaneCount();
  std::vector<std::uint8_t> staging(static_cast<std::size_t>(n) * kSector);
  std::vector<std::uint16_t> badCount(n);
  for (std::uint32_t ce = 0; ce < kx::k3rdBbtCes; ++ce) {
    const std::uint8_t code = param->CeCode(ce);
    if ((m_CeMap != 0 && !((m_CeMap >> ce) & 1)) || code == kx::bbtparam::kAbsentCe) continue;
    std::fill(staging.begin(), staging.end(), 0);
    std::fill(badCount.begin(), badCount.end(), 0);
    std::uint32_t column = 0;
    for (std::uint32_t d = 0; d < dies; ++d) {
      kx::DieEntries entries;
      if (!kx::LocateDie(*param, scope, ce, d, entries)) continue;
      column = kx::BbtDieColumn(entries, *param);
      if (!kx::CePassesFilters(scope, ce)) continue;
      for (std::uint32_t r = 0; r < entries.rows; ++r) {
        for (std::uint32_t p = 0; p < entries.planes; ++p) {
          const std::uint64_t b = static_cast<std::uint64_t>(r) * planes + p + static_cast<std::uint64_t>(blocksPerDie) * d;
          const std::uint64_t j = b / kx::bbt3rd::kEntriesPerSector;
          if (j >= n) continue;
          const std::uint64_t index = entries.firstIndex + r * entries.rowStride + p;
          const std::uint8_t f = index < m_BbtBuffer.size() ? m_BbtBuffer[index] : 0;
          if (f != 0) ++badCount[j];
          std::uint8_t& entry = staging[j * kSector + kx::bbt3rd::kEntriesOffset + b % kx::bbt3rd::kEntriesPerSector];
          entry = kx::Bbt3rdEntry(entry, f);
        }
      }
    }
    for (std::uint32_t j = 0; j < n; ++j)
      kx::Seal3rdBbtSector(staging.data() + j * kSector, sortMark, m_MaxBlockPerCe, badCount[j]);
    // Written to the column of the CE's last die, whereas the read asks by selector.
    if (!Write3rdBbtRaw(staging.data(), n, static_cast<std::uint8_t>(column))) {
      m_ErrorMessage = "Write 3rd BBT Failed !!!";
      WriteReport(m_ErrorMessage, true);
      WriteFailReport();
      return false;
    }
  }
  return true;
}

// ---- debug information ----

bool CPortDevice::ReadDebugInfo(std::uint8_t* out, std::uint32_t sectors, std::uint8_t selector) {
  if (sectors > kx::kMaxRawSectors) {
    Fail("F_T34", StrFormat("Debug information of %u sectors is out of range !!!", sectors), true);
    return false;
  }
  std::memset(out, 0, static_cast<std::size_t>(sectors) * kSector);
  for (std::uint32_t offset = 0; offset < sectors; offset += kReadChunkSectors) {
    const std::uint32_t count = std::min(kReadChunkSectors, sectors - offset);
    if (!TableApKey(false, 'J')) return false;
    std::memset(m_IoBufferA, 0, kChunkBytes);
    if (!m_Command->ReadDebugInfo(m_IoBufferA, selector, static_cast<std::uint8_t>(count),
                                  static_cast<std::uint16_t>(offset))) {
      Fail("F_x50", "Issue Read Debug Infomation Command Failed !!!", false);
      WriteReport(m_ErrorMessage, true);
      if (count == kReadChunkSectors) WriteFailReport();
      return false;
    }
    std::memcpy(out + static_cast<std::size_t>(offset) * kSector, m_IoBufferA, count * kSector);
  }
  return true;
}
