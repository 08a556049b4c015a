// Controller vendor commands (21h read, 31h write; sub-command in FEATURES):
// SRAM and registers, stores, ISP loading and the running-code transitions.
#include <algorithm>
#include <bit>
#include <cstring>

#include "emulator/DriveCommand.h"
#include "protocol/KxSignatures.h"
#include "protocol/PreFormatRecords.h"

namespace emu {

// ---- registers and running code ---------------------------------------------

std::uint32_t DriveState::ReadRegister(std::uint32_t address) const {
  const bool fuseOpen = [&] {
    auto it = registers.find(reg::kFuseAccess);
    return it != registers.end() && it->second == 3;
  }();
  switch (address) {
    case reg::kFuseWord1: return fuseOpen ? fuse1 : 0;
    case reg::kFuseWord2: return fuseOpen ? fuse2 : 0;
    case reg::kFuseWord3: return fuseOpen ? fuse3 : 0;
    case reg::kControllerVersion: return cfg.controllerVersion;
    default: break;
  }
  auto it = registers.find(address);
  return it == registers.end() ? 0 : it->second;
}

void DriveState::WriteRegister(std::uint32_t address, std::uint32_t value, std::uint8_t width) {
  if (address == reg::kFuseWord1 || address == reg::kFuseWord2 || address == reg::kFuseWord3 ||
      address == reg::kControllerVersion)
    return;  // read-only
  if (width == 1) value = (registers[address] & ~0xFFu) | (value & 0xFF);
  registers[address] = value;
}

void DriveState::Restart(std::uint64_t nowMs, RunningCode next) {
  keyAccepted = false;
  seed.clear();
  seedReceived = false;
  pramWritten = false;
  ramLoaded = false;
  flashProgrammed = false;
  binfile.clear();
  code = next;
  StartBusy(nowMs, cfg.bootDelayMs, Pending::Boot);
  StartRdtRun(nowMs);
}

namespace {

std::uint16_t MidHigh(const Cmd& c) { return static_cast<std::uint16_t>(c.req.lbaMid | (c.req.lbaHigh << 8)); }
std::size_t Bytes(const Cmd& c) { return static_cast<std::size_t>(c.Count()) * kSectorSize; }

// Sends n x 512 bytes taken from `src` at `offset`, zeros where it ends.
void SendFrom(Cmd& c, const std::vector<std::uint8_t>& src, std::size_t offset, std::size_t bytes) {
  std::vector<std::uint8_t> out(bytes, 0);
  if (offset < src.size()) std::copy_n(src.begin() + static_cast<std::ptrdiff_t>(offset), std::min(bytes, src.size() - offset), out.begin());
  c.SendIn(out.data(), out.size());
}

template <std::size_t N>
void SendArray(Cmd& c, const std::array<std::uint8_t, N>& a, std::size_t bytes) {
  std::vector<std::uint8_t> out(bytes, 0);
  std::copy_n(a.begin(), std::min(bytes, N), out.begin());
  c.SendIn(out.data(), out.size());
}

// ---- SRAM ----

// SRAM byte address: LBA mid is the low byte, LBA high the high byte.
std::uint32_t SramAddress(const Cmd& c) { return MidHigh(c); }

void ReadSram(Cmd& c) {
  const std::uint32_t addr = SramAddress(c);
  const std::size_t n = Bytes(c);
  if (addr + n > c.s.sram.size()) return c.Abort(kErrorAbrt | kErrorIdnf);
  c.SendIn(c.s.sram.data() + addr, n);
}

void WriteSram(Cmd& c) {
  const std::uint32_t addr = SramAddress(c);
  const std::size_t n = Bytes(c);
  if (addr + n > c.s.sram.size()) return c.Abort(kErrorAbrt | kErrorIdnf);
  const std::vector<std::uint8_t> d = c.TakeOut(n);
  std::copy(d.begin(), d.end(), c.s.sram.begin() + addr);
}

void Read4ByteReg(Cmd& c) {
  const std::uint32_t addr = GetLe32(c.s.sram.data() + kSramRegPointer);
  std::uint32_t v = c.s.ReadRegister(addr);
  if (c.req.lbaMid == 1) v &= 0xFF;
  std::uint8_t buf[512] = {};
  PutLe32(buf, addr);
  PutLe32(buf + 4, v);
  c.SendIn(buf, sizeof buf);
}

void Write4ByteReg(Cmd& c) {
  const std::vector<std::uint8_t> d = c.TakeOut(512);
  c.s.WriteRegister(GetLe32(d.data()), GetLe32(d.data() + 4), c.req.lbaMid == 1 ? 1 : 4);
}

// ---- identity stores ----

void GetSystemInfo(Cmd& c) {
  std::array<std::uint8_t, 512> record = c.s.sysInfo;
  if (const auto error = c.faults.ControllerErrorNow()) {
    PutLe32(record.data() + 0xFC, error->info);
    PutLe16(record.data() + 0x100, error->id);
  }
  SendArray(c, record, Bytes(c));
}

void GetFlashId(Cmd& c) {
  std::uint8_t buf[512] = {};
  const std::uint8_t n = c.req.lbaHigh;
  if (n < 64) std::copy_n(c.s.flashIdTable.begin() + n * 8, 8, buf);
  c.SendIn(buf, sizeof buf);
}

void ScanAllFlashId(Cmd& c) { SendArray(c, c.s.flashIdTable, 512); }

void ReadUniqueId(Cmd& c) {
  std::uint8_t buf[512];
  std::uint32_t x = 0x9E3779B9u ^ (c.req.lbaHigh * 0x01000193u) ^ (MidHigh(c) << 8) ^ c.req.lbaLow;
  for (char ch : c.s.cfg.serial) x = (x ^ static_cast<std::uint8_t>(ch)) * 0x01000193u;
  for (std::uint8_t& b : buf) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  c.SendIn(buf, sizeof buf);
}

std::size_t PageBytes(std::uint8_t page, bool write) {
  if (page == 3) return write ? 2048 : 1024;
  return 512;
}

void ReadInfoBlock(Cmd& c) {
  const std::uint8_t page = c.req.lbaLow;
  if (page >= c.s.infoPages.size()) return c.Abort();
  SendFrom(c, c.s.infoPages[page], 0, PageBytes(page, false));
}

void WriteInfoBlock(Cmd& c) {
  const std::uint8_t page = c.req.lbaLow;
  if (page >= c.s.infoPages.size()) return c.Abort();
  const std::vector<std::uint8_t> d = c.TakeOut(PageBytes(page, true));
  std::copy(d.begin(), d.end(), c.s.infoPages[page].begin());
}

void InfoCodeRead(Cmd& c) { SendArray(c, c.s.infoCode, 512); }

void InfoCodeWrite(Cmd& c) {
  if (c.req.lbaLow != 0x01) return c.Abort();
  const std::vector<std::uint8_t> d = c.TakeOut(512);
  std::copy(d.begin(), d.end(), c.s.infoCode.begin());
}

void EraseIspCode(Cmd& c) {
  std::uint8_t buf[512] = {};
  c.SendIn(buf, sizeof buf);
  c.s.ispCodeValid = false;
}

void DebugInfo(Cmd& c) {
  std::uint8_t buf[512] = {};
  std::vector<std::uint8_t> out(Bytes(c), 0);
  if (MidHigh(c) == 0 && !out.empty()) {
    if (c.req.lbaLow == 0) c.s.BuildSmartIdTable(buf);
    if (c.req.lbaLow == 1) std::copy_n(c.s.infoPages[0].begin(), 512, buf);
    std::copy_n(buf, 512, out.begin());
  }
  c.SendIn(out.data(), out.size());
}

void ReadVendor72(Cmd& c) { SendFrom(c, {}, 0, Bytes(c)); }

// ---- bad blocks ----

std::vector<FlashBlockAddress> BadSet(const DriveState& s, bool early, bool later) {
  std::vector<FlashBlockAddress> v;
  if (early) v = s.cfg.factoryBadBlocks;
  if (later) v.insert(v.end(), s.laterBad.begin(), s.laterBad.end());
  return v;
}

void SendBadCounts(Cmd& c, bool early, bool later) {
  std::uint8_t buf[512] = {};
  for (const FlashBlockAddress& b : BadSet(c.s, early, later)) {
    if (b.ce < 64) PutLe16(buf + b.ce * 2, static_cast<std::uint16_t>(GetLe16(buf + b.ce * 2) + 1));
  }
  c.SendIn(buf, sizeof buf);
}

void SendBadAddresses(Cmd& c, bool early, bool later) {
  std::vector<FlashBlockAddress> v = BadSet(c.s, early, later);
  std::sort(v.begin(), v.end(), [](const FlashBlockAddress& a, const FlashBlockAddress& b) {
    return std::tie(a.ce, a.die, a.block, a.plane) < std::tie(b.ce, b.die, b.block, b.plane);
  });
  std::vector<std::uint8_t> out(Bytes(c), 0);
  for (std::size_t i = 0; i < v.size() && (i + 1) * 8 <= out.size(); ++i) {
    out[i * 8] = static_cast<std::uint8_t>(v[i].ce);
    out[i * 8 + 1] = static_cast<std::uint8_t>(v[i].die);
    out[i * 8 + 2] = static_cast<std::uint8_t>(v[i].plane);
    PutLe32(out.data() + i * 8 + 4, v[i].block);
  }
  c.SendIn(out.data(), out.size());
}

void AllBadCount(Cmd& c) { SendBadCounts(c, true, true); }
void AllBadAddress(Cmd& c) { SendBadAddresses(c, true, true); }
void LaterBadCount(Cmd& c) { SendBadCounts(c, false, true); }
void LaterBadAddress(Cmd& c) { SendBadAddresses(c, false, true); }
void EarlyBadCount(Cmd& c) { SendBadCounts(c, true, false); }
void EarlyBadAddress(Cmd& c) { SendBadAddresses(c, true, false); }

void MaxBadPerPlane(Cmd& c) {
  std::uint8_t buf[512] = {};
  const std::uint32_t limit = c.s.cfg.maxBadPerPlane;
  PutLe32(buf, limit != 0 ? limit : std::max<std::uint32_t>(1, c.s.cfg.blocksPerPlane / 50));
  if (c.faults.TakeWrongVerdict()) {
    buf[4] = 0xAA;  // no usable system unit
    buf[5] = 0;
  }
  c.SendIn(buf, sizeof buf);
}

std::size_t BbtBodyLimit(const DriveState& s) {
  // Writes come in page units: allow the table rounded up to 16 KiB.
  return (static_cast<std::size_t>(s.Layout().bbtSectors) * 512 + 16383) / 16384 * 16384;
}

void ReadBbt(Cmd& c) {
  const std::size_t n = Bytes(c);
  switch (c.req.lbaLow) {
    case 0: {
      if (!c.s.bbtPresent) return SendFrom(c, {}, 0, n);
      std::vector<std::uint8_t> out(n, 0xFF);
      const std::size_t off = static_cast<std::size_t>(MidHigh(c)) * kSectorSize;
      if (off < c.s.bbtBody.size()) std::copy_n(c.s.bbtBody.begin() + static_cast<std::ptrdiff_t>(off), std::min(n, c.s.bbtBody.size() - off), out.begin());
      return c.SendIn(out.data(), out.size());
    }
    case 1:
      if (!c.s.bbtPresent) return SendFrom(c, {}, 0, n);
      return SendArray(c, c.s.bbtParam, n);
    case 2:
      return SendArray(c, c.s.rdtInfoSector, n);
    default:
      return c.Abort();
  }
}

void WriteBbt(Cmd& c) {
  const std::size_t n = Bytes(c);
  const std::size_t off = static_cast<std::size_t>(MidHigh(c)) * kSectorSize;
  const std::vector<std::uint8_t> d = c.TakeOut(n);
  switch (c.req.lbaLow) {
    case 0: {
      if (off + n > BbtBodyLimit(c.s)) return c.Abort(kErrorAbrt | kErrorIdnf);
      if (c.s.bbtBody.size() < off + n) c.s.bbtBody.resize(off + n, 0);
      std::copy(d.begin(), d.end(), c.s.bbtBody.begin() + static_cast<std::ptrdiff_t>(off));
      return;
    }
    case 1:
      // The RDT info sector; the address bytes carry the table length.
      if (n < 512) return c.Abort();
      std::copy_n(d.begin(), 512, c.s.rdtInfoSector.begin());
      return;
    default:
      return c.Abort();
  }
}

std::size_t Bbt3rdLimit(const DriveState& s) {
  return 2 * static_cast<std::size_t>((s.BlocksPerCe() + 499) / 500) * kSectorSize;
}

// A CE without a 3rd BBT has nothing to read: the controller refuses.
void Read3rdBbt(Cmd& c) {
  const std::size_t off = static_cast<std::size_t>(MidHigh(c)) * kSectorSize;
  auto it = c.s.bbt3rd.find(c.req.lbaLow);
  if (it == c.s.bbt3rd.end()) return c.Abort();
  SendFrom(c, it->second, off, Bytes(c));
}

void Write3rdBbt(Cmd& c) {
  const std::size_t n = Bytes(c);
  const std::size_t off = static_cast<std::size_t>(MidHigh(c)) * kSectorSize;
  if (c.req.lbaLow >= 64 || off + n > Bbt3rdLimit(c.s)) return c.Abort(kErrorAbrt | kErrorIdnf);
  const std::vector<std::uint8_t> d = c.TakeOut(n);
  std::vector<std::uint8_t>& t = c.s.bbt3rd[c.req.lbaLow];
  if (t.size() < off + n) t.resize(off + n, 0);
  std::copy(d.begin(), d.end(), t.begin() + static_cast<std::ptrdiff_t>(off));
}

// ---- RDT logs ----

template <int kLog>
void RdtLog(Cmd& c) {
  SendFrom(c, c.s.rdtLogs[kLog], static_cast<std::size_t>(MidHigh(c)) * kSectorSize, Bytes(c));
}

// ---- flash timing and cache ----

std::uint32_t CacheKey(const Cmd& c) { return (c.req.lbaMid << 16) | (c.req.lbaHigh << 8) | c.req.lbaLow; }

// Channel in LBA mid, bank in LBA high, die in LBA low; only flash that exists.
bool CacheTargetExists(const Cmd& c) {
  return c.req.lbaMid < c.s.cfg.channels && c.req.lbaHigh < c.s.cfg.cesPerChannel && c.req.lbaLow < c.s.cfg.diesPerCe;
}

void CacheWriteFlash(Cmd& c) {
  const std::size_t n = Bytes(c);
  if (!CacheTargetExists(c)) return c.Abort(kErrorAbrt | kErrorIdnf);
  c.s.cacheFlash[CacheKey(c)] = c.TakeOut(n);
}

void CacheReadFlash(Cmd& c) {
  auto it = c.s.cacheFlash.find(CacheKey(c));
  SendFrom(c, it == c.s.cacheFlash.end() ? std::vector<std::uint8_t>{} : it->second, 0, Bytes(c));
}

// The four edges (read min, read max, write min, write max) one channel reports
// at a duty: a clean window centres on 0x100 and widens with the duty; a fault
// changes it.
std::array<std::uint16_t, 4> ScanEdges(std::uint32_t duty, const ScanFault* fault) {
  const auto lo = static_cast<std::uint16_t>(0x100 - (0x20 + duty * 6));
  const auto hi = static_cast<std::uint16_t>(0x100 + (0x20 + duty * 6));
  std::array<std::uint16_t, 4> e = {lo, hi, lo, hi};
  constexpr std::uint16_t kNarrowLo = 0x100 - 20, kNarrowHi = 0x100 + 20;
  if (fault == nullptr) return e;
  switch (*fault) {
    case ScanFault::NoEdge: e.fill(0xAAAA); break;
    case ScanFault::OutOfRange: e[1] = e[3] = 0x300; break;
    case ScanFault::Inverted: std::swap(e[0], e[1]); std::swap(e[2], e[3]); break;
    case ScanFault::NoWriteEdge: e[2] = e[3] = 0xAAAA; break;
    case ScanFault::InvertedWrite: std::swap(e[2], e[3]); break;
    case ScanFault::NarrowRead: e[0] = kNarrowLo; e[1] = kNarrowHi; break;
    case ScanFault::NarrowWrite: e[2] = kNarrowLo; e[3] = kNarrowHi; break;
    case ScanFault::CommandFails: break;
  }
  return e;
}

// The scan reply at SRAM 0: per channel read min/max, write min/max, then the
// read/write references. Bank in LBA high, die in LBA low, duty from its register;
// a die's own fault wins over its duty's.
void ScanSdll(Cmd& c) {
  c.TakeOut(Bytes(c));
  const DriveConfig& cfg = c.s.cfg;
  const std::uint32_t duty = (c.s.ReadRegister(reg::kDuty0) >> 8) & 0x0F;
  auto faultOf = [&](std::uint32_t ch) -> const ScanFault* {
    if (auto it = cfg.scanDieFaults.find({duty, ch, c.req.lbaHigh, c.req.lbaLow}); it != cfg.scanDieFaults.end())
      return &it->second;
    if (auto it = cfg.scanFaults.find(duty); it != cfg.scanFaults.end()) return &it->second;
    return nullptr;
  };
  for (std::uint32_t ch = 0; ch < 2; ++ch)
    if (const ScanFault* f = faultOf(ch); f && *f == ScanFault::CommandFails) return c.Abort();
  std::uint8_t* r = c.s.sram.data();
  std::fill(r, r + 24, 0);
  for (std::uint32_t ch = 0; ch < 2; ++ch) {
    const bool present = ch < cfg.channels;
    const std::array<std::uint16_t, 4> e = ScanEdges(duty, faultOf(ch));
    for (int k = 0; k < 4; ++k) PutLe16(r + ch * 8 + k * 2, present ? e[k] : 0xAAAA);
    PutLe16(r + 16 + ch * 4, present ? 0x100 : 0xAAAA);
    PutLe16(r + 18 + ch * 4, present ? 0x100 : 0xAAAA);
  }
}

void InitialPadAndDrive(Cmd& c) {
  // COUNT says 2 sectors although the tester's transfer byte says 1.
  const std::vector<std::uint8_t> d = c.TakeOut(std::max<std::size_t>(Bytes(c), c.s.padAndDrive.size()));
  std::copy_n(d.begin(), c.s.padAndDrive.size(), c.s.padAndDrive.begin());
}

// ---- plain writes ----

void ConsumeOut(Cmd& c) { c.TakeOut(Bytes(c)); }

void VendorWrite00(Cmd& c) {
  const std::vector<std::uint8_t> d = c.TakeOut(512);
  if (!std::equal(kx::kVendorWrite00Marker.begin(), kx::kVendorWrite00Marker.end(), d.begin())) c.Abort();
}

void ResetCard(Cmd& c) {
  c.TakeOut(512);
  c.s.LoseVolatile();
  c.s.Boot(c.nowMs);
}

void ResetSmart(Cmd& c) {
  c.TakeOut(512);
  c.s.powerCycles = 0;
  c.s.laterBad.clear();
}

void UnlockFrozen(Cmd& c) {
  c.TakeOut(512);
  c.s.secFrozen = false;
}

void SetCeMap(Cmd& c) {
  const std::vector<std::uint8_t> d = c.TakeOut(512);
  c.s.ceMap = GetLe16(d.data());
  c.s.BuildSystemInfo();
}

void ScanBadParameter(Cmd& c) {
  const std::vector<std::uint8_t> d = c.TakeOut(512);
  std::copy_n(d.begin(), 512, c.s.scanBadParam.begin());
}

void DoCutEfuse(Cmd& c) {
  c.TakeOut(512);
  switch (c.req.lbaLow) {
    case 0: c.s.fuse1 |= 0x2; break;  // UART
    case 1: c.s.fuse1 |= 0x1; break;  // JTAG
    case 9: break;                    // AES: no visible bit
    default: c.Abort();
  }
}

void DetectThermalSensor(Cmd& c) { c.TakeOut(Bytes(c)); }

// ---- erase and pre-format ----

void EraseAllBlock(Cmd& c) {
  c.TakeOut(512);
  const std::uint8_t type = c.req.lbaHigh;
  const bool polling = c.req.lbaLow != 0;
  DriveState& s = c.s;
  s.media.Clear();
  s.laterBad.clear();
  // Temperature scans (4, 13) only scan; every other type wipes the stored code.
  if (type != 0x04 && type != 0x0D) s.flash.valid = false;
  if (type & 0x10) {
    s.BuildBbt();
    if (std::memcmp(s.rdtInfoSector.data(), "KXRT", 4) != 0) s.BuildRdtInfo();
  }
  s.eraseErrorByte = 0;
  if (c.faults.TakeWrongVerdict()) {
    if (polling) s.eraseErrorByte = 0x01;
    else s.failAfterBusy = true;
  }
  s.StartBusy(c.nowMs, s.cfg.eraseMs, DriveState::Pending::Erase);
}

// One sector (mode 2): the parameters of the next pre-format. Two sectors
// (modes 0 and 1): the info block and the SMART table, kept as info pages 0 and
// 1, then the pre-format itself: busy, and the result sector says how it ended
// (layouts: protocol/PreFormatRecords.h).
void PreFormat(Cmd& c) {
  namespace pf = kx::preformat;
  const std::vector<std::uint8_t> d = c.TakeOut(Bytes(c));
  DriveState& s = c.s;
  if (c.Count() == 1) {
    s.preFormatKeepRdtInfo = d[pf::kParamKeepRdtInfo] != 0;
    return;
  }
  for (std::size_t page : {pf::kInfoBlockSector, pf::kSmartTableSector}) {
    if (d.size() >= (page + 1) * kSectorSize)
      std::copy_n(d.begin() + static_cast<std::ptrdiff_t>(page * kSectorSize), kSectorSize, s.infoPages[page].begin());
  }
  std::copy_n(s.infoPages[pf::kInfoBlockSector].begin(), kSectorSize, s.preFormatInfoBlock.begin());
  if (!s.preFormatKeepRdtInfo) s.rdtInfoSector.fill(0);
  s.preFormatKeepRdtInfo = true;  // the parameters hold for one pre-format
  s.preFormatResult.fill(0);
  s.preFormatResult[pf::kResultModeEcho] = c.req.lbaHigh;
  s.preFormatResult[pf::kResultFlagEcho] = c.req.lbaLow;
  if (const auto failure = c.faults.TakePreFormatFailure()) {
    s.preFormatResult[pf::kResultCode] = failure->code;
    PutLe32(s.preFormatResult.data() + pf::kResultFailAddress, failure->failAddress);
  } else if (c.faults.TakeWrongVerdict()) {
    s.preFormatResult[pf::kResultCode] = 0x01;  // an erase failure at address 0
  }
  s.StartBusy(c.nowMs, s.cfg.preFormatMs, DriveState::Pending::PreFormat);
}

void ReadPreFormatResult(Cmd& c) { SendArray(c, c.s.preFormatResult, 512); }

void StartStatusPolling(Cmd& c) { c.TakeOut(512); }

// ---- ISP into RAM ----

void SendSeed(Cmd& c) {
  DriveState& s = c.s;
  s.seed = c.TakeOut(Bytes(c));
  s.seedReceived = true;
  s.pramWritten = false;
  s.ramLoaded = false;
  s.ramWritten.Clear();
  s.ram.clear();
  s.binfile.clear();
  s.binfileBad = false;
  // A normal code of only its seed is a whole transfer: its verdict stands
  // without any binfile chunk.
  s.verdictLbaHigh = kVerdictGood;
}

constexpr std::size_t kRamPage = 65536;
constexpr std::size_t kMaxRamPages = 512;  // 32 MiB of controller RAM held at most

void ProgramPram(Cmd& c) {
  DriveState& s = c.s;
  const std::size_t n = Bytes(c);
  const std::uint32_t addr = GetLe32(s.sram.data() + kSramDescriptor);
  if (!s.seedReceived || n == 0 || static_cast<std::uint64_t>(addr) + n > 0x100000000ULL) return c.Abort();
  const std::vector<std::uint8_t> d = c.TakeOut(n);
  for (std::size_t i = 0; i < n;) {
    const std::uint64_t a = static_cast<std::uint64_t>(addr) + i;
    const std::uint32_t page = static_cast<std::uint32_t>(a / kRamPage);
    auto it = s.ram.find(page);
    if (it == s.ram.end()) {
      if (s.ram.size() >= kMaxRamPages) return c.Abort();
      it = s.ram.emplace(page, std::vector<std::uint8_t>(kRamPage, 0)).first;
    }
    const std::size_t in = static_cast<std::size_t>(a % kRamPage);
    const std::size_t take = std::min(kRamPage - in, n - i);
    std::copy_n(d.begin() + static_cast<std::ptrdiff_t>(i), take, it->second.begin() + static_cast<std::ptrdiff_t>(in));
    i += take;
  }
  s.ramWritten.Add(addr, static_cast<std::uint32_t>(n));
  s.pramWritten = true;
}

void CheckCrc(Cmd& c) {
  DriveState& s = c.s;
  const std::uint32_t addr = GetLe32(s.sram.data() + kSramDescriptor);
  const std::uint32_t len = GetLe32(s.sram.data() + kSramDescriptor + 4);
  std::uint8_t buf[512] = {};
  PutLe32(buf, addr);
  PutLe32(buf + 4, len);
  const bool intact = s.pramWritten && len != 0 && s.ramWritten.Covers(addr, len);
  if (intact && !c.faults.TakeWrongVerdict()) {
    PutLe32(buf + 8, kCrcGood);
    s.ramLoaded = true;
  }
  std::vector<std::uint8_t> out(Bytes(c), 0);
  std::copy_n(buf, std::min<std::size_t>(512, out.size()), out.begin());
  c.SendIn(out.data(), out.size());
}

void ProgramIcode(Cmd& c) {
  c.s.icode[c.req.lbaHigh] = c.TakeOut(Bytes(c));
}

void VerifyIcode(Cmd& c) {
  const std::vector<std::uint8_t> d = c.TakeOut(Bytes(c));
  auto it = c.s.icode.find(c.req.lbaHigh);
  const bool same = it != c.s.icode.end() && it->second == d;
  if (!same || c.faults.TakeWrongVerdict()) c.Abort();
}

// ---- ISP into flash ----

void SendBinfile(Cmd& c) {
  DriveState& s = c.s;
  const std::size_t n = Bytes(c);
  const std::size_t off = static_cast<std::size_t>(c.req.lbaMid) * kBinChunkBytes;
  if (n == 0 || off + n > kMaxImageBytes) return c.Abort();
  const std::vector<std::uint8_t> d = c.TakeOut(n);
  if (s.binfile.size() < off + n) s.binfile.resize(off + n, 0);
  std::copy(d.begin(), d.end(), s.binfile.begin() + static_cast<std::ptrdiff_t>(off));
  // The verdict is on the whole transfer: one bad chunk spoils it until the next seed.
  if (c.faults.TakeWrongVerdict()) s.binfileBad = true;
  s.verdictLbaHigh = s.binfileBad ? 0x00 : kVerdictGood;
}

bool Contains(const std::vector<std::uint8_t>& hay, const std::string& needle) {
  if (needle.empty()) return false;
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

void ProgramFlash(Cmd& c) {
  c.TakeOut(512);
  DriveState& s = c.s;
  // A normal code of only the seed area comes without binfile chunks.
  if (!s.seedReceived || s.seed.size() < kSeedBytes) return c.Abort();
  s.flash.normalCode.assign(s.seed.begin(), s.seed.begin() + kSeedBytes);
  s.flash.normalCode.insert(s.flash.normalCode.end(), s.binfile.begin(), s.binfile.end());
  s.flash.valid = true;
  const LoadedIdentity id = IdentityOfLoadedCode(s.flash.normalCode, Contains(s.flash.normalCode, s.cfg.rdtFirmwareName));
  s.flash.rdt = id.rdt;
  s.flash.name = id.name;
  if (s.flash.rdt) s.rdtFinished = false;  // a new RDT firmware has its run ahead
  s.ispCodeValid = true;
  s.flashProgrammed = true;
  if (c.faults.TakeWrongVerdict()) {
    s.flash.valid = false;
    s.failAfterBusy = true;
  }
  s.StartBusy(c.nowMs, s.cfg.programFlashMs, DriveState::Pending::ProgramFlash);
}

void VerifyFlash(Cmd& c) {
  DriveState& s = c.s;
  const std::size_t n = Bytes(c);
  const std::uint8_t index = c.req.lbaMid;
  const std::uint8_t mode = c.req.lbaHigh;
  if (mode == 0) {
    // Header check: the seed just sent against the code in flash.
    const std::size_t h = std::min(n, s.seed.size());
    const bool good = s.flash.valid && s.flash.normalCode.size() >= h && h != 0 &&
                      std::equal(s.seed.begin(), s.seed.begin() + static_cast<std::ptrdiff_t>(h), s.flash.normalCode.begin());
    s.verdictLbaHigh = good && !c.faults.TakeWrongVerdict() ? kVerdictGood : 0x00;
    return SendFrom(c, {}, 0, n);
  }
  if (!s.flash.valid) return c.Abort();
  const std::size_t off = kSeedBytes + static_cast<std::size_t>(index) * kBinChunkBytes;
  std::vector<std::uint8_t> out(n, 0);
  if (off < s.flash.normalCode.size())
    std::copy_n(s.flash.normalCode.begin() + static_cast<std::ptrdiff_t>(off), std::min(n, s.flash.normalCode.size() - off), out.begin());
  if (!out.empty() && c.faults.TakeWrongVerdict()) out[0] ^= 0xFF;
  c.SendIn(out.data(), out.size());
}

void JumpToBoot(Cmd& c) {
  c.TakeOut(512);
  DriveState& s = c.s;
  RunningCode next = s.code;
  if ((s.ReadRegister(reg::kBootSwitch) & 0xFF) == 2) {
    next = RunningCode::Boot;
  } else if (s.ramLoaded) {
    next = RunningCode::Mcode;
    s.ramCodeName = IdentityOfLoadedCode(s.seed, false).name;  // the seed goes with the restart
  } else if (s.flashProgrammed || s.code == RunningCode::RomMp || s.code == RunningCode::RomRdt) {
    next = s.StartupCode();
  }
  s.Restart(c.nowMs, next);
}

// The vendor tables, one row per sub-command (FEATURES): handler, then the gates
// Drive::Execute checks first (DriveCommand.h): the access key, the running codes
// it is taken in, status polling while busy. A vendor command a production step
// adds is one row here, its gates declared in it; a sub-command not listed is
// aborted.
constexpr CommandTable kReadTable = MakeCommandTable({
    {0x07, &ReadPreFormatResult, kNeedsKey | kAnyCode},
    {0x11, &CacheReadFlash, kNeedsKey | kAnyCode},
    {0x12, &ReadSram, kNeedsKey | kAnyCode},
    {0x13, &GetSystemInfo, kNeedsKey | kAnyCode},
    {0x14, &GetFlashId, kNeedsKey | kAnyCode},
    {0x15, &ScanAllFlashId, kNeedsKey | kAnyCode},
    {0x16, &ReadUniqueId, kNeedsKey | kAnyCode},
    {0x28, &ReadInfoBlock, kNeedsKey | kAnyCode},
    {0x29, &InfoCodeRead, kNeedsKey | kAnyCode},
    {0x30, &CheckCrc, kNeedsKey | kAnyCode},
    {0x31, &VerifyFlash, kNeedsKey | kAnyCode},
    {0x46, &EraseIspCode, kNeedsKey | kAnyCode},
    {0x47, &Read3rdBbt, kNeedsKey | kAnyCode},
    {0x50, &RdtLog<0>, kNeedsKey | kAnyCode},
    {0x51, &RdtLog<1>, kNeedsKey | kAnyCode},
    {0x52, &RdtLog<2>, kNeedsKey | kAnyCode},
    {0x54, &RdtLog<3>, kNeedsKey | kAnyCode},
    {0x61, &Read4ByteReg, kNeedsKey | kAnyCode},
    {0x72, &ReadVendor72, kNeedsKey | kAnyCode},
    {0x76, &AllBadCount, kNeedsKey | kAnyCode},
    {0x77, &AllBadAddress, kNeedsKey | kAnyCode},
    {0x78, &LaterBadCount, kNeedsKey | kAnyCode},
    {0x79, &LaterBadAddress, kNeedsKey | kAnyCode},
    {0x7A, &EarlyBadCount, kNeedsKey | kAnyCode},
    {0x7B, &EarlyBadAddress, kNeedsKey | kAnyCode},
    {0x7C, &EarlyBadCount, kNeedsKey | kAnyCode},  // burner early bad: the factory marks
    {0x7D, &EarlyBadAddress, kNeedsKey | kAnyCode},
    {0x7F, &ReadBbt, kNeedsKey | kAnyCode},
    {0x83, &DebugInfo, kNeedsKey | kAnyCode},
    {0xA8, &MaxBadPerPlane, kNeedsKey | kAnyCode},
});

constexpr CommandTable kWriteTable = MakeCommandTable({
    {0x00, &VendorWrite00, kNeedsKey | kAnyCode},
    {0x01, &ResetCard, kNeedsKey | kAnyCode},
    {0x02, &ResetSmart, kNeedsKey | kAnyCode},
    {0x05, &UnlockFrozen, kNeedsKey | kAnyCode},
    {0x06, &SetCeMap, kNeedsKey | kAnyCode},
    {0x08, &PreFormat, kNeedsKey | kAnyCode},
    {0x0F, &JumpToBoot, kNeedsKey | kAnyCode},
    {0x21, &CacheWriteFlash, kNeedsKey | kAnyCode},
    {0x24, &WriteSram, kNeedsKey | kAnyCode},
    {0x25, &WriteInfoBlock, kNeedsKey | kAnyCode},
    {0x26, &EraseAllBlock, kNeedsKey | kAnyCode},
    {0x27, &DoCutEfuse, kNeedsKey | kAnyCode},
    {0x29, &InfoCodeWrite, kNeedsKey | kAnyCode},
    {0x40, &ProgramPram, kNeedsKey | kInBoot | kInMcode},
    {0x41, &ProgramFlash, kNeedsKey | kInMcode},
    {0x48, &Write3rdBbt, kNeedsKey | kAnyCode},
    {0x52, &DetectThermalSensor, kNeedsKey | kAnyCode},
    {0x60, &Write4ByteReg, kNeedsKey | kAnyCode},
    {0x70, &ScanBadParameter, kNeedsKey | kAnyCode},
    {0x80, &SendSeed, kNeedsKey | kAnyCode},
    {0x81, &WriteBbt, kNeedsKey | kAnyCode},
    {0x82, &SendBinfile, kNeedsKey | kInMcode},
    {0xA3, &ConsumeOut, kNeedsKey | kAnyCode},
    {0xAA, &InitialPadAndDrive, kNeedsKey | kAnyCode},
    {0xAB, &ScanSdll, kNeedsKey | kAnyCode},
    {0xBD, &ProgramIcode, kNeedsKey | kInMcode},
    {0xBE, &VerifyIcode, kNeedsKey | kAnyCode},
    {0xCC, &StartStatusPolling, kNeedsKey | kTakenWhileBusy | kAnyCode},
});

}  // namespace

const CommandTable& VendorReadTable() { return kReadTable; }
const CommandTable& VendorWriteTable() { return kWriteTable; }

}  // namespace emu
