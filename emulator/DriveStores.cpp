// Builders of the drive's stores from its configuration: system information,
// flash IDs, info block, bad-block table, RDT records, IDENTIFY and SMART data.
#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "emulator/DriveState.h"
#include "protocol/MediaRecords.h"
#include "protocol/RdtLogRecords.h"

namespace emu {

void PutAtaString(std::uint8_t* p, const std::string& text, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    p[i ^ 1] = static_cast<std::uint8_t>(c);
  }
}

void PutText(std::uint8_t* p, const std::string& text, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
}

std::uint16_t Crc16Genibus(const std::uint8_t* p, std::size_t n) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= static_cast<std::uint16_t>(p[i] << 8);
    for (int b = 0; b < 8; ++b) crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021) : static_cast<std::uint16_t>(crc << 1);
  }
  return static_cast<std::uint16_t>(~crc);
}

void RangeSet::Add(std::uint32_t start, std::uint32_t length) {
  if (length == 0) return;
  std::uint64_t s = start;
  std::uint64_t e = s + length;
  auto it = ranges_.upper_bound(s);
  if (it != ranges_.begin() && std::prev(it)->second >= s) {
    --it;
    s = it->first;
  }
  while (it != ranges_.end() && it->first <= e) {
    e = std::max(e, it->second);
    it = ranges_.erase(it);
  }
  ranges_[s] = e;
}

bool RangeSet::Covers(std::uint32_t start, std::uint32_t length) const {
  if (length == 0) return true;
  auto it = ranges_.upper_bound(start);
  if (it == ranges_.begin()) return false;
  --it;
  return it->first <= start && it->second >= static_cast<std::uint64_t>(start) + length;
}

namespace {

// The vendor mark that opens the info block and the info-code sector.
const char kVendorMark[] = "Tavlin";

// The nearest shape the controller has: every count at least 1, planes 1, 2 or 4,
// page sizes a power of two, and the die and block totals within the host's tables.
DriveConfig ControllerShape(DriveConfig c) {
  c.channels = std::clamp<std::uint32_t>(c.channels, 1, kMaxChannels);
  c.cesPerChannel = std::clamp<std::uint32_t>(c.cesPerChannel, 1, kMaxCesPerChannel);
  c.diesPerCe = std::clamp<std::uint32_t>(c.diesPerCe, 1, std::min(kMaxDiesPerCe, kMaxDies / (c.channels * c.cesPerChannel)));
  c.planesPerDie = std::bit_floor(std::clamp<std::uint32_t>(c.planesPerDie, 1, 4));
  c.blocksPerPlane = std::clamp<std::uint32_t>(c.blocksPerPlane, 1, kMaxBlocksPerDie / c.planesPerDie);
  c.pagesPerBlock = std::clamp<std::uint32_t>(c.pagesPerBlock, 1, 4096);
  c.pageSizeKb = std::bit_floor(std::clamp<std::uint32_t>(c.pageSizeKb, 2, 16));
  c.capacitySectors = std::clamp<std::uint64_t>(c.capacitySectors, 1, 0xFFFFFFFFFFFFull);
  return c;
}

// The DRAM the system information announces (1 << log2 MB) in 512-byte
// sectors, at most the 128 GB a 28-bit DMA address reaches.
std::uint64_t DramSectors(std::uint8_t log2Mb) { return (1ULL << std::min<std::uint8_t>(log2Mb, 17)) << 11; }

// The checksum byte 511 of a 512-byte page (IDENTIFY, SMART) makes it sum to 0.
void SealPage(std::uint8_t* out) {
  std::uint8_t sum = 0;
  for (int i = 0; i < 511; ++i) sum = static_cast<std::uint8_t>(sum + out[i]);
  out[511] = static_cast<std::uint8_t>(-sum);
}

}  // namespace

DriveState::DriveState(const DriveConfig& c)
    : cfg(ControllerShape(c)),
      media(cfg.capacitySectors),
      dram(DramSectors(cfg.dramLog2Mb)),
      nativeMax(cfg.capacitySectors), currentMax(cfg.capacitySectors) {
  code = cfg.initialCode;
  fuse1 = cfg.fuseWord1;
  fuse2 = cfg.fuseWord2;
  fuse3 = cfg.fuseWord3;
  flash.valid = code == RunningCode::RomMp || code == RunningCode::RomRdt;
  flash.rdt = code == RunningCode::RomRdt;
  if (flash.valid) flash.normalCode = cfg.flashCode;
  sram.assign(kSramSize, 0);
  for (auto& p : infoPages) p.assign(512, 0);
  infoPages[3].assign(2048, 0);
  for (auto& l : rdtLogs) l.clear();
  BuildSystemInfo();
  BuildFlashIdTable();
  if (code != RunningCode::Boot) {
    BuildBbt();
    BuildRdtInfo();
    if (cfg.preset3rdBbt) Build3rdBbt();
    BuildInfoBlock();
    // A produced drive's info-code sector: the vendor mark, then '3' and the
    // firmware name in ATA string order at 78-86; no date stamped yet.
    PutText(infoCode.data(), kVendorMark, 6);
    infoCode[78] = '3';
    PutAtaString(infoCode.data() + 79, cfg.firmwareRevision, 8);
  }
  if (code == RunningCode::RomRdt && cfg.rdtDone) FinishRdtRun();
}

std::string DriveState::RunningName() const {
  switch (code) {
    case RunningCode::Boot: return cfg.bootCodeName;
    // A loaded code's own name (its code header) over the site description's.
    case RunningCode::Mcode: return ramCodeName.empty() ? cfg.mcodeName : ramCodeName;
    case RunningCode::RomMp: return flash.name.empty() ? cfg.firmwareRevision : flash.name;
    case RunningCode::RomRdt: return flash.name.empty() ? cfg.rdtFirmwareName : flash.name;
  }
  return cfg.bootCodeName;
}

BbtLayout DriveState::Layout() const {
  BbtLayout l;
  l.rowCount = cfg.blocksPerPlane;
  const std::uint32_t g = cfg.diesPerGroup;
  const bool fold = g != 0 && g < cfg.diesPerCe && cfg.diesPerCe % g == 0;
  l.folds = static_cast<std::uint8_t>(fold ? cfg.diesPerCe / g : 1);
  l.columnCount = static_cast<std::uint8_t>(CeCount() * l.folds);
  l.diesPerGroup = static_cast<std::uint8_t>(fold ? g : cfg.diesPerCe);
  l.planeCount = static_cast<std::uint8_t>(cfg.planesPerDie);
  const std::uint64_t entries = static_cast<std::uint64_t>(l.rowCount) * l.columnCount * l.diesPerGroup * l.planeCount;
  l.bbtSectors = static_cast<std::uint16_t>(std::min<std::uint64_t>((entries + 511) / 512, 0xFFFF));
  return l;
}

void DriveState::BuildSystemInfo() {
  sysInfo.fill(0);
  std::uint8_t* s = sysInfo.data();
  std::uint32_t populated = 0;
  // Bit k = CE k (channel * 8 + bank) in use: byte 0x148 is channel 0's bank
  // map, byte 0x149 channel 1's.
  std::uint64_t ceMask = 0;
  for (std::uint32_t ch = 0; ch < cfg.channels; ++ch) {
    for (std::uint32_t b = 0; b < cfg.cesPerChannel; ++b) {
      const std::uint32_t k = ch * 8 + b;
      if (!CePopulated(k) || (ceMap != 0 && !(ceMap & (1u << (k & 15))))) continue;
      ++populated;
      ceMask |= std::uint64_t{1} << k;
    }
  }
  s[0x00] = static_cast<std::uint8_t>(populated);
  s[0x02] = static_cast<std::uint8_t>(cfg.channels);
  s[0x03] = cfg.dramLog2Mb;
  s[0x06] = static_cast<std::uint8_t>(cfg.diesPerCe);
  PutLe32(s + 0x10, 0x200);
  PutLe32(s + 0x1C, BlocksPerCe());
  PutLe32(s + 0x28, cfg.cacheWriteSectors);
  s[0xC9] = '0';
  s[0xCA] = '1';
  PutLe32(s + 0xD0, cfg.blocksPerPlane);
  // Physical MB = (B x U) >> 11: pick U from the capacity, rounded up to a power of two.
  const std::uint64_t mb = std::max<std::uint64_t>(1, (cfg.capacitySectors * 512 + (1u << 20) - 1) >> 20);
  const std::uint64_t physMb = std::bit_ceil(mb);
  const std::uint64_t unit = cfg.blocksPerPlane ? (physMb << 11) / cfg.blocksPerPlane : 0;
  PutLe32(s + 0xD4, static_cast<std::uint32_t>(std::min<std::uint64_t>(unit, 0xFFFFFFFFu)));
  if (cfg.planesPerDie == 2) s[0xE4] |= 0x02;
  if (cfg.planesPerDie == 4) s[0xE8] |= 0x80;
  switch (cfg.pageSizeKb) {
    case 2: s[0xE5] |= 0x40; break;
    case 4: s[0xE4] |= 0x04; break;
    case 8: s[0xE4] |= 0x08; break;
    default: s[0xE7] |= 0x20; break;
  }
  s[0xE5] |= 0x20;  // TLC
  if (cfg.notToggleBit) s[0xDD] |= 0x04;
  if (cfg.toggleBBit) s[0xDE] |= 0x04;
  if (cfg.toggleAExBit) s[0xE1] |= 0x80;
  s[0x136] = 0x01;
  PutLe32(s + 0x148, static_cast<std::uint32_t>(ceMask));
  PutLe32(s + 0x14C, static_cast<std::uint32_t>(ceMask >> 32));
  const std::string version = (cfg.sysInfoFwVersion + "    ").substr(0, 4);
  const char field[4] = {version[2], version[3], version[0], version[1]};
  std::copy(field, field + 4, s + 0x15C);
  PutText(s + 0x160, cfg.sysInfoFwDate, 9);
  const std::uint64_t gbPerCe = std::max<std::uint64_t>(1, (physMb >> 10) / std::max<std::uint32_t>(1, populated));
  s[0x169] = static_cast<std::uint8_t>(std::bit_width(gbPerCe) - 1);
  s[0x16A] = cfg.ceMask64Enable;
  s[0x16D] = cfg.rdtLoops;
  s[0x16E] = cfg.rdtFastPageLoops;
  for (const auto& [off, v] : sysInfoPatches)
    if (off < sysInfo.size()) sysInfo[off] = v;
}

void DriveState::BuildFlashIdTable() {
  flashIdTable.fill(0);
  for (std::uint32_t k = 0; k < 64; ++k) {
    if (!CePopulated(k)) continue;
    auto own = cfg.flashIdPerCe.find(k);
    const auto& id = own != cfg.flashIdPerCe.end() ? own->second : cfg.flashId;
    std::copy(id.begin(), id.end(), flashIdTable.begin() + k * 8);
    flashIdTable[k * 8 + 7] = static_cast<std::uint8_t>(k);
  }
}

std::uint16_t DriveState::BbtChecksum() const {
  const std::size_t n = std::min<std::size_t>(
      bbtBody.size(), static_cast<std::size_t>(cfg.blocksPerPlane) * CeCount() * cfg.planesPerDie);
  return Crc16Genibus(bbtBody.data(), n);
}

void DriveState::BuildBbt() {
  const BbtLayout l = Layout();
  bbtParam.fill(0);
  std::uint8_t* p = bbtParam.data();
  PutText(p, "DBTP", 4);
  for (std::uint32_t c = 0; c < 32; ++c) p[4 + c] = CePopulated(c) ? static_cast<std::uint8_t>(c) : '?';
  PutLe32(p + 36, l.rowCount);
  p[40] = l.columnCount;  // channel modulus
  p[41] = l.folds > 1 ? 1 : 0;
  p[42] = l.folds;        // fold divisor: ColumnCount / folds = columns of one die group
  p[43] = l.columnCount;
  p[44] = l.diesPerGroup;
  p[45] = l.planeCount;
  PutLe16(p + 46, l.bbtSectors);
  PutLe16(p + 48, static_cast<std::uint16_t>(l.rowCount));
  bbtBody.assign(static_cast<std::size_t>(l.bbtSectors) * 512, 0);
  auto mark = [&](const FlashBlockAddress& b, std::uint8_t flags) {
    if (!CePopulated(b.ce) || b.die >= cfg.diesPerCe || b.plane >= cfg.planesPerDie || b.block >= cfg.blocksPerPlane) return;
    std::uint32_t sel = cfg.channels == 1 ? b.ce : (b.ce >> 3) + 2 * (b.ce & 7);
    std::uint32_t groupDie = b.die;
    if (l.folds > 1 && b.die >= l.diesPerGroup) {
      sel += (b.die / l.diesPerGroup) * (l.columnCount / l.folds);
      groupDie = b.die % l.diesPerGroup;
    }
    const std::uint32_t col = sel % l.columnCount;
    const std::uint64_t idx = static_cast<std::uint64_t>(b.block) * l.columnCount * l.diesPerGroup * l.planeCount +
                              static_cast<std::uint64_t>(groupDie) * l.columnCount * l.planeCount +
                              col * l.planeCount + b.plane;
    if (idx < bbtBody.size()) bbtBody[idx] |= flags;
  };
  for (const FlashBlockAddress& b : cfg.factoryBadBlocks) mark(b, kx::bbtflag::kEarlyBad);
  for (const MarkedBadBlock& m : cfg.markedBadBlocks)
    mark(m.at, static_cast<std::uint8_t>((m.kind == MarkKind::Rdt ? kx::bbtflag::kRdtBad : kx::bbtflag::kLaterBad) |
                                         (m.causes & kx::bbtflag::kCauseMask)));
  bbtPresent = true;
}

// One 3rd BBT per populated CE 0-15, kept under the CE's selector: 500 entries a
// sector (01 good, 10 bad with causes 04 read, 02 program, 01 erase), each
// sector followed by its complement.
void DriveState::Build3rdBbt() {
  bbt3rd.clear();
  const std::uint32_t blocks = BlocksPerCe();
  const std::uint32_t sectors = (blocks + 499) / 500;
  const std::uint32_t blocksPerDie = cfg.blocksPerPlane * cfg.planesPerDie;
  for (std::uint32_t k = 0; k < 16; ++k) {
    if (!CePopulated(k)) continue;
    std::vector<std::uint8_t> logical(static_cast<std::size_t>(sectors) * 512, 0);
    for (std::uint32_t b = 0; b < blocks; ++b) logical[(b / 500) * 512 + 4 + b % 500] = 0x40;
    auto mark = [&](const FlashBlockAddress& a, std::uint8_t causes) {
      if (a.ce != k || a.die >= cfg.diesPerCe || a.plane >= cfg.planesPerDie || a.block >= cfg.blocksPerPlane) return;
      const std::uint32_t b = a.die * blocksPerDie + a.block * cfg.planesPerDie + a.plane;
      std::uint8_t& e = logical[(b / 500) * 512 + 4 + b % 500];
      std::uint8_t entry = static_cast<std::uint8_t>((e & 0x3F) | 0x80);
      if (causes & kx::bbtflag::kReadFail) entry |= 0x04;
      if (causes & kx::bbtflag::kProgramFail) entry |= 0x02;
      if (causes & kx::bbtflag::kEraseFail) entry |= 0x01;
      if ((causes & kx::bbtflag::kRaidBad) && !(entry & 0x06)) entry |= 0x04;
      e = entry;
    };
    for (const FlashBlockAddress& a : cfg.factoryBadBlocks) mark(a, 0);
    for (const MarkedBadBlock& m : cfg.markedBadBlocks) mark(m.at, m.causes);
    std::vector<std::uint8_t>& stored = bbt3rd[static_cast<std::uint8_t>(cfg.channels == 1 ? k : (k >> 3) + 2 * (k & 7))];
    stored.assign(logical.size() * 2, 0);
    for (std::uint32_t j = 0; j < sectors; ++j) {
      std::uint8_t* sector = logical.data() + j * 512;
      PutText(sector, "KXBT", 4);
      PutLe16(sector + 504, static_cast<std::uint16_t>(blocks));
      PutLe16(sector + 508, static_cast<std::uint16_t>(std::count_if(sector + 4, sector + 504, [](std::uint8_t e) { return (e & 0xC0) == 0x80; })));
      std::uint16_t sum = 0;
      for (int i = 0; i < 510; ++i) sum = static_cast<std::uint16_t>(sum + sector[i]);
      PutLe16(sector + 510, sum);
      std::copy_n(sector, 512, stored.begin() + j * 1024);
      std::transform(sector, sector + 512, stored.begin() + j * 1024 + 512, [](std::uint8_t v) { return static_cast<std::uint8_t>(0xFF - v); });
    }
  }
}

void DriveState::BuildRdtInfo() {
  rdtInfoSector.fill(0);
  std::uint8_t* r = rdtInfoSector.data();
  PutText(r, "KXRT", 4);
  std::uint16_t map = 0;
  for (std::uint32_t k = 0; k < 16; ++k)
    if (CePopulated(k)) map = static_cast<std::uint16_t>(map | (1u << k));
  PutLe16(r + 12, 0x0002);  // CE map valid
  r[17] = 0x10;             // the RDT built the table
  PutLe16(r + 19, map);
  PutLe16(r + 21, static_cast<std::uint16_t>(BbtChecksum() ^ (cfg.badBbtChecksum ? 0xFFFF : 0)));
  PutText(r + 50, cfg.rdtFwVersion, 4);
}

void DriveState::BuildInfoBlock() {
  std::uint8_t* b = infoPages[0].data();
  std::fill(b, b + 512, 0);
  PutText(b, kVendorMark, 6);
  PutAtaString(b + 18, cfg.serial, 20);
  PutAtaString(b + 38, cfg.model, 40);
  PutAtaString(b + 79, cfg.firmwareRevision, 8);
  b[89] = sysInfo[0];
  for (int i = 0; i < 8; ++i) b[90 + i] = static_cast<std::uint8_t>(cfg.wwn >> (8 * i));
  PutLe32(b + 100, static_cast<std::uint32_t>(std::min<std::uint64_t>(cfg.capacitySectors, 0xFFFFFFFFu)));
  std::copy(rdtInfoSector.begin(), rdtInfoSector.begin() + 64, b + 401);
  b[511] = code == RunningCode::RomMp ? 0x01 : 0x00;
  // SMART entry page: 16-byte entries, id at +0, type at +8.
  std::uint8_t* e = infoPages[1].data();
  std::fill(e, e + 512, 0);
  const std::uint8_t ids[] = {0x05, 0x09, 0x0C, 0xA5, 0xC2};
  const std::uint16_t types[] = {0x0305, 0x0001, 0x0001, 0x0306, 0x0002};
  for (std::size_t i = 0; i < std::size(ids); ++i) {
    e[i * 16] = ids[i];
    PutLe16(e + i * 16 + 8, types[i]);
  }
}

// The firmware marks its run as under way in the RDT info record; its logs
// come at the end.
void DriveState::StartRdtRun(std::uint64_t nowMs) {
  rdtRunning = code == RunningCode::RomRdt && !rdtFinished;
  if (!rdtRunning) return;
  for (auto& l : rdtLogs) l.clear();
  if (std::memcmp(rdtInfoSector.data(), "KXRT", 4) != 0) BuildRdtInfo();
  rdtInfoSector[kx::rdtrun::kResultCode] = 0x00;
  rdtRunEndMs = nowMs + cfg.rdtRunMs;
}

// The RDT firmware builds the bad-block table from what its run found and
// records that (and the table's checksum) in its info record.
void DriveState::FinishRdtRun() {
  BuildBbt();
  BuildRdtInfo();
  BuildRdtLogs();
  rdtFinished = true;
  rdtRunning = false;
}

void DriveState::BuildRdtLogs() {
  // The four logs of protocol/RdtLogRecords.h and the run summary of the RDT
  // info record (also in the info block's copy), from cfg.rdtRun.
  using namespace kx::rdtlog;
  const RdtRunConfig& run = cfg.rdtRun;
  auto entries = [this](Log log, std::size_t count) {
    std::vector<std::uint8_t>& l = rdtLogs[static_cast<std::size_t>(log)];
    l.assign(((count + 1) * kEntryBytes + 511) / 512 * 512, 0);
    PutEndEntry(l.data() + count * kEntryBytes, log, static_cast<std::uint32_t>(count));
    return l.data();
  };
  auto putBlock = [](std::uint8_t* e, const FlashBlockAddress& a, std::uint8_t flags) {
    e[kBbCe] = static_cast<std::uint8_t>(a.ce), e[kBbDie] = static_cast<std::uint8_t>(a.die);
    e[kBbPlane] = static_cast<std::uint8_t>(a.plane), e[kBbFlags] = flags;
    PutLe32(e + kBbBlock, a.block);
  };
  std::vector<const MarkedBadBlock*> found;
  for (const MarkedBadBlock& m : cfg.markedBadBlocks)
    if (m.kind == MarkKind::Rdt) found.push_back(&m);
  std::uint8_t* e = entries(Log::BadBlock, cfg.factoryBadBlocks.size() + found.size());
  for (const FlashBlockAddress& f : cfg.factoryBadBlocks) putBlock(e, f, kx::bbtflag::kEarlyBad), e += kEntryBytes;
  for (const MarkedBadBlock* m : found)
    putBlock(e, m->at, static_cast<std::uint8_t>(kx::bbtflag::kRdtBad | m->causes)), e += kEntryBytes;

  std::vector<std::uint8_t> temps = run.temperatures;
  if (temps.empty())
    for (std::uint32_t h = 0; h < 24; ++h) temps.push_back(static_cast<std::uint8_t>(cfg.temperatureC + h % 5));
  e = entries(Log::TemperatureTime, temps.size());
  for (std::size_t h = 0; h < temps.size(); ++h, e += kEntryBytes) {
    PutLe16(e + kTtMinute, static_cast<std::uint16_t>(h * 60));
    e[kTtCelsius] = temps[h];
    e[kTtLoop] = static_cast<std::uint8_t>(1 + h * run.tlcLoops / temps.size());
  }
  e = entries(Log::Dram, run.dramErrors.size());
  for (std::uint32_t address : run.dramErrors) {
    PutLe32(e + kDrAddress, address), PutLe16(e + kDrBits, 0x0001), e[kDrLoop] = 1;
    e += kEntryBytes;
  }
  e = entries(Log::Special, run.eccBlocks.size());
  std::uint8_t slcEcc = 0, tlcEcc = 0;
  for (const RdtEccBlock& b : run.eccBlocks) {
    e[kEcCe] = static_cast<std::uint8_t>(b.at.ce), e[kEcDie] = static_cast<std::uint8_t>(b.at.die);
    e[kEcPlane] = static_cast<std::uint8_t>(b.at.plane), e[kEcFlags] = b.slc ? kEcSlc : 0;
    PutLe16(e + kEcBlock, static_cast<std::uint16_t>(b.at.block));
    e[kEcBits] = b.bits, e[kEcLoop] = run.tlcLoops;
    (b.slc ? slcEcc : tlcEcc) = std::max(b.slc ? slcEcc : tlcEcc, b.bits);
    e += kEntryBytes;
  }

  std::uint8_t* r = rdtInfoSector.data();
  r[kx::rdtrun::kResultCode] = run.resultCode;
  r[kx::rdtrun::kBadBlocks] = static_cast<std::uint8_t>(found.size());
  r[kx::rdtrun::kBadBlocks + 1] = static_cast<std::uint8_t>(found.size() >> 8);
  r[kx::rdtrun::kBadBlocks + 2] = static_cast<std::uint8_t>(found.size() >> 16);
  r[kx::rdtinfo::kMinTemperature] = *std::min_element(temps.begin(), temps.end());
  r[kx::rdtinfo::kMaxTemperature] = *std::max_element(temps.begin(), temps.end());
  r[kx::rdtinfo::kTemperature] = temps.back();
  r[kx::rdtinfo::kSlcLoops] = run.slcLoops, r[kx::rdtinfo::kXlcLoops] = run.tlcLoops;
  r[kx::rdtinfo::kSlcEcc] = slcEcc, r[kx::rdtinfo::kXlcEcc] = tlcEcc;
  PutLe32(r + kx::rdtinfo::kTestSeconds, run.seconds);
  std::copy_n(rdtInfoSector.begin(), 64, infoPages[0].begin() + 401);
}

void DriveState::BuildIdentify(std::uint8_t* out) const {
  std::fill(out, out + 512, 0);
  auto w = [out](int word, std::uint16_t v) { PutLe16(out + word * 2, v); };
  w(0, 0x0040);
  w(1, 16383);
  w(3, 16);
  w(6, 63);
  const bool onFlash = code == RunningCode::RomMp || code == RunningCode::RomRdt;
  // The flash firmware reports the serial number its info block holds (MP
  // writes it there); other codes, or a block without one, the factory's.
  const std::uint8_t* block = infoPages[0].data();
  const bool ownSerial = onFlash && std::memcmp(block, kVendorMark, 6) == 0 &&
                         std::any_of(block + 18, block + 38, [](std::uint8_t c) { return c != 0 && c != ' '; });
  if (ownSerial) std::copy(block + 18, block + 38, out + 20);
  else PutAtaString(out + 20, cfg.serial, 20);
  PutAtaString(out + 46, RunningName(), 8);
  PutAtaString(out + 54, onFlash && !cfg.flashFirmwareModel.empty() ? cfg.flashFirmwareModel : cfg.model, 40);
  // IDENTIFY offers only what the drive answers: no NCQ, link power management or
  // phy counters (they need READ LOG EXT), no SMART logs or self-tests, no FUA,
  // no APM, no head unload.
  w(47, 0x8000 | kMaxMultiple);
  w(49, 0x0F00);  // LBA, DMA, IORDY
  w(53, 0x0006);  // words 64-70 and 88 valid
  w(59, 0x0100 | multipleCount);
  const std::uint64_t cap28 = std::min<std::uint64_t>(currentMax, 0x0FFFFFFF);
  w(60, static_cast<std::uint16_t>(cap28));
  w(61, static_cast<std::uint16_t>(cap28 >> 16));
  // The selected DMA mode shows in word 63 (multiword) or word 88 (Ultra), never both.
  const bool ultra = dmaMode >= 0x40;
  const int mode = dmaMode & 0x07;
  w(63, static_cast<std::uint16_t>(0x0007 | (ultra ? 0 : 0x0100 << mode)));
  w(64, 0x0003);
  w(65, 120);
  w(66, 120);
  w(67, 120);
  w(68, 120);
  w(76, 0x000E);  // SATA Gen1-3
  w(77, 0x0006);  // current speed Gen3
  w(78, 0x0100);  // device sleep supported
  w(79, devSleepEnabled ? 0x0100 : 0x0000);
  w(80, 0x03F0);
  w(82, 0x746B);  // SMART, security, power management, write cache, look-ahead, HPA, buffers, NOP
  w(83, 0x7C01);  // download microcode, 48-bit, DCO, flush cache (ext)
  w(84, 0x4100);  // WWN
  w(85, static_cast<std::uint16_t>(0x7408 | (smartEnabled ? 0x0001 : 0) | (secEnabled ? 0x0002 : 0) |
                                   (writeCache ? 0x0020 : 0) | (lookAhead ? 0x0040 : 0)));
  w(86, 0xBC01);  // bit 15: words 119-120 valid
  w(87, 0x4100);
  w(88, static_cast<std::uint16_t>(0x007F | (ultra ? 0x0100 << mode : 0)));
  w(89, 1);
  w(90, 1);
  w(93, 0);
  for (int i = 0; i < 4; ++i) w(100 + i, static_cast<std::uint16_t>(currentMax >> (16 * i)));
  w(106, 0x4000);
  w(119, 0x4010);  // DOWNLOAD MICROCODE with offsets (mode 03h)
  w(120, 0x4010);
  for (int i = 0; i < 4; ++i) w(108 + i, static_cast<std::uint16_t>(cfg.wwn >> (48 - 16 * i)));
  std::uint16_t sec = 0x0001;
  if (secEnabled) sec |= 0x0002;
  if (secLocked) sec |= 0x0004;
  if (secFrozen) sec |= 0x0008;
  if (secAttempts == 0) sec |= 0x0010;
  sec |= 0x0020;  // enhanced erase supported
  if (secMaxLevel) sec |= 0x0100;
  w(128, sec);
  w(217, 0x0001);  // non-rotating
  out[510] = 0xA5;
  SealPage(out);
}

namespace {

struct SmartAttr {
  std::uint8_t id;
  std::uint16_t flags;  // bit 0: pre-failure
  std::uint8_t value;
  std::uint8_t threshold;
  std::uint64_t raw;
};

constexpr std::uint16_t kSmartRevision = 0x0010;
constexpr std::uint8_t kRetiredBlocks = 0x05;

// Attributes in the order of both pages: 12-byte entries from byte 2.
std::vector<SmartAttr> SmartAttributes(const DriveState& s) {
  return {
      {0x01, 0x000B, 100, 50, 0},
      {kRetiredBlocks, 0x0033, 100, 10, s.laterBad.size()},
      {0x09, 0x0032, 100, 0, 12},
      {0x0C, 0x0032, 100, 0, s.powerCycles},
      {0xA5, 0x0032, 100, 0, s.cfg.factoryBadBlocks.size()},
      {0xC2, 0x0022, static_cast<std::uint8_t>(100 - std::min<int>(s.cfg.temperatureC, 100)), 0, s.cfg.temperatureC},
      {0xC7, 0x0032, 100, 0, 0},
  };
}

}  // namespace

void DriveState::BuildSmartData(std::uint8_t* out, bool exceeded) const {
  std::fill(out, out + 512, 0);
  PutLe16(out, kSmartRevision);
  const std::vector<SmartAttr> attrs = SmartAttributes(*this);
  for (std::size_t i = 0; i < attrs.size(); ++i) {
    std::uint8_t* a = out + 2 + i * 12;
    const std::uint8_t value = exceeded && attrs[i].id == kRetiredBlocks ? attrs[i].threshold : attrs[i].value;
    a[0] = attrs[i].id;
    PutLe16(a + 1, attrs[i].flags);
    a[3] = value;
    a[4] = value;
    for (int b = 0; b < 6; ++b) a[5 + b] = static_cast<std::uint8_t>(attrs[i].raw >> (8 * b));
  }
  out[362] = 0x02;  // off-line collection completed
  // Capabilities: SMART data saved before power saving; no attribute autosave
  // command, no off-line collection, self-tests or error log (all aborted).
  PutLe16(out + 368, 0x0001);
  SealPage(out);
}

void DriveState::BuildSmartThresholds(std::uint8_t* out) const {
  std::fill(out, out + 512, 0);
  PutLe16(out, kSmartRevision);
  const std::vector<SmartAttr> attrs = SmartAttributes(*this);
  for (std::size_t i = 0; i < attrs.size(); ++i) {
    out[2 + i * 12] = attrs[i].id;
    out[2 + i * 12 + 1] = attrs[i].threshold;
  }
  SealPage(out);
}

void DriveState::BuildSmartIdTable(std::uint8_t* out) const {
  std::fill(out, out + 512, 0);
  const std::pair<std::uint8_t, std::uint64_t> rows[] = {
      {0x05, laterBad.size()}, {0x09, 12}, {0x0C, powerCycles}, {0xA5, cfg.factoryBadBlocks.size()}, {0xC2, cfg.temperatureC}};
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    out[i * 9] = rows[i].first;
    for (int b = 0; b < 8; ++b) out[i * 9 + 1 + b] = static_cast<std::uint8_t>(rows[i].second >> (8 * b));
  }
}

}  // namespace emu
