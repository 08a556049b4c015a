// Standard ATA commands of the emulated drive, the access key and the opcode
// table that dispatches them with each command's gates.
#include <algorithm>
#include <cstring>

#include "emulator/DriveCommand.h"
#include "protocol/KxSignatures.h"

namespace emu {

namespace {

constexpr std::uint8_t kSmartMid = 0x4F;
constexpr std::uint8_t kSmartHigh = 0xC2;

void Identify(Cmd& c) {
  std::uint8_t buf[512];
  c.s.BuildIdentify(buf);
  c.SendIn(buf, sizeof buf);
}

// Checks a media transfer's range; false (and the error set) when it cannot run.
// The LBA bit and the security lock are gates of the media rows.
bool MediaCheck(Cmd& c, std::uint64_t lba, std::uint64_t sectors) {
  if (lba > c.s.currentMax || sectors > c.s.currentMax - lba) {
    c.Abort(kErrorAbrt | kErrorIdnf);
    return false;
  }
  c.s.standby = false;
  return true;
}

// Moves `n` sectors of a store from `first` to the host, with any silent
// corruption (dram: bad DRAM sectors) applied to what it gets.
void SendStored(Cmd& c, const SparseStore& store, bool dram, std::uint64_t first, std::uint32_t n) {
  const std::size_t bytes = static_cast<std::size_t>(n) * kSectorSize;
  if (std::uint8_t* direct = c.DirectIn(bytes)) {
    store.Read(first, n, direct);
    c.faults.CorruptRead(dram, first, n, direct);
    c.rsp.transferred = static_cast<std::uint32_t>(bytes);
    return;
  }
  if (!IsDataIn(c.req.protocol) || c.req.data == nullptr) return;
  // The host asked for less than the command implies: read only what it takes.
  const std::uint32_t whole = (c.req.length + kSectorSize - 1) / kSectorSize;
  std::vector<std::uint8_t> tmp(static_cast<std::size_t>(whole) * kSectorSize);
  store.Read(first, whole, tmp.data());
  c.faults.CorruptRead(dram, first, whole, tmp.data());
  c.SendIn(tmp.data(), c.req.length);
}

void ReadMedia(Cmd& c) {
  const std::uint64_t lba = c.Lba();
  const std::uint32_t n = c.Sectors();
  if (!MediaCheck(c, lba, n)) return;
  if (c.faults.MediumErrorIn(lba, n)) {
    c.Abort(kErrorUnc);
    return;
  }
  SendStored(c, c.s.media, false, lba, n);
}

// The burner (code in RAM) maps no media yet: its READ DMA and WRITE DMA move
// data to and from the DRAM, the address counting 512-byte units. An address
// beyond the DRAM the system information announces is refused.
bool DramCheck(Cmd& c, std::uint64_t address, std::uint64_t sectors) {
  if (address > c.s.dram.Sectors() || sectors > c.s.dram.Sectors() - address) {
    c.Abort(kErrorAbrt | kErrorIdnf);
    return false;
  }
  return true;
}

void ReadDma(Cmd& c) {
  if (c.s.code != RunningCode::Mcode) return ReadMedia(c);
  if (!DramCheck(c, c.Lba(), c.Sectors())) return;
  SendStored(c, c.s.dram, true, c.Lba(), c.Sectors());
}

void ReadVerify(Cmd& c) {
  const std::uint64_t lba = c.Lba();
  const std::uint32_t n = c.Sectors();
  if (!MediaCheck(c, lba, n)) return;
  if (c.faults.MediumErrorIn(lba, n)) c.Abort(kErrorUnc);
}

void WriteMedia(Cmd& c) {
  const std::uint64_t lba = c.Lba();
  const std::uint32_t n = c.Sectors();
  if (!MediaCheck(c, lba, n)) return;
  const std::vector<std::uint8_t> data = c.TakeOut(static_cast<std::size_t>(n) * kSectorSize);
  c.s.media.Write(lba, n, data.data());
}

void WriteDma(Cmd& c) {
  if (c.s.code != RunningCode::Mcode) return WriteMedia(c);
  if (!DramCheck(c, c.Lba(), c.Sectors())) return;
  const std::vector<std::uint8_t> data = c.TakeOut(static_cast<std::size_t>(c.Sectors()) * kSectorSize);
  c.s.dram.Write(c.Lba(), c.Sectors(), data.data());
}

// READ/WRITE MULTIPLE (EXT): the media transfer in blocks, refused while
// multiple mode is off. The block size only paces the host's interrupts, so the
// data moves as for the single-sector forms.
void ReadMultiple(Cmd& c) {
  if (c.s.multipleCount == 0) return c.Abort();
  ReadMedia(c);
}

void WriteMultiple(Cmd& c) {
  if (c.s.multipleCount == 0) return c.Abort();
  WriteMedia(c);
}

// Block sizes 1 to 16 in powers of two; 0 turns multiple mode off; any other
// count is refused and turns it off too.
void SetMultipleMode(Cmd& c) {
  const std::uint8_t n = c.req.count;
  const bool valid = n <= kMaxMultiple && (n & (n - 1)) == 0;
  c.s.multipleCount = valid ? n : 0;
  if (!valid) c.Abort();
}

// Device 0 passed, no device 1; the registers carry the ATA device signature.
void ExecuteDeviceDiagnostic(Cmd& c) {
  c.rsp.error = 0x01;
  c.rsp.count = 0x01;
  c.rsp.lbaLow = 0x01;
  c.rsp.lbaMid = 0x00;
  c.rsp.lbaHigh = 0x00;
  c.rsp.device = 0x00;
  c.rsp.countExp = c.rsp.lbaLowExp = c.rsp.lbaMidExp = c.rsp.lbaHighExp = 0;
}

// SMART without error logging or self-tests (IDENTIFY does not offer them, so
// READ LOG and EXECUTE OFF-LINE abort). Disabled, only ENABLE OPERATIONS is taken.
void Smart(Cmd& c) {
  if (c.req.lbaMid != kSmartMid || c.req.lbaHigh != kSmartHigh) return c.Abort();
  if (!c.s.smartEnabled && c.req.features != 0xD8) return c.Abort();
  std::uint8_t buf[512];
  switch (c.req.features) {
    case 0xD0:  // READ DATA
      c.s.BuildSmartData(buf, c.faults.SmartThresholdExceeded());
      c.SendIn(buf, sizeof buf);
      return;
    case 0xD1:  // READ THRESHOLDS
      c.s.BuildSmartThresholds(buf);
      c.SendIn(buf, sizeof buf);
      return;
    case 0xD8:
      c.s.smartEnabled = true;
      return;
    case 0xD9:
      c.s.smartEnabled = false;
      return;
    case 0xDA:  // RETURN STATUS
      if (c.faults.SmartThresholdExceeded()) {
        c.rsp.lbaMid = 0xF4;
        c.rsp.lbaHigh = 0x2C;
      } else {
        c.rsp.lbaMid = kSmartMid;
        c.rsp.lbaHigh = kSmartHigh;
      }
      return;
    default:
      c.Abort();
  }
}

// ---- security ----

struct Password {
  bool master;
  bool maxLevel;
  std::array<std::uint8_t, 32> bytes;
};

Password TakePassword(Cmd& c) {
  const std::vector<std::uint8_t> d = c.TakeOut(512);
  Password p{};
  p.master = (d[0] & 0x01) != 0;
  p.maxLevel = (d[1] & 0x01) != 0;
  std::copy_n(d.begin() + 2, 32, p.bytes.begin());
  return p;
}

bool PasswordMatches(const DriveState& s, const Password& p) {
  return p.master ? p.bytes == s.masterPassword : p.bytes == s.userPassword;
}

void SecuritySetPassword(Cmd& c) {
  const Password p = TakePassword(c);
  if (c.s.secFrozen || c.s.secLocked) return c.Abort();
  if (p.master) {
    c.s.masterPassword = p.bytes;
    return;
  }
  c.s.userPassword = p.bytes;
  c.s.secEnabled = true;
  c.s.secMaxLevel = p.maxLevel;
}

void SecurityUnlock(Cmd& c) {
  const Password p = TakePassword(c);
  if (c.s.secFrozen || c.s.secAttempts == 0) return c.Abort();
  if (p.master && c.s.secMaxLevel) return c.Abort();
  if (!PasswordMatches(c.s, p)) {
    --c.s.secAttempts;
    return c.Abort();
  }
  c.s.secLocked = false;
  c.s.secAttempts = 5;
}

void SecurityErasePrepare(Cmd& c) {
  if (c.s.secFrozen) return c.Abort();
  c.s.secErasePrepared = true;
}

void SecurityEraseUnit(Cmd& c) {
  const Password p = TakePassword(c);
  const bool prepared = c.s.secErasePrepared && c.s.lastCommand == kAtaSecurityErasePrepare;
  c.s.secErasePrepared = false;
  if (!prepared || c.s.secFrozen || !c.s.secEnabled) return c.Abort();
  if (!PasswordMatches(c.s, p)) {
    if (c.s.secAttempts > 0) --c.s.secAttempts;
    return c.Abort();
  }
  c.s.media.Clear();
  c.s.secEnabled = false;
  c.s.secLocked = false;
  c.s.secMaxLevel = false;
  c.s.userPassword.fill(0);
  c.s.secAttempts = 5;
}

void SecurityFreezeLock(Cmd& c) { c.s.secFrozen = true; }

void SecurityDisablePassword(Cmd& c) {
  const Password p = TakePassword(c);
  if (c.s.secFrozen || c.s.secLocked || !PasswordMatches(c.s, p)) return c.Abort();
  c.s.secEnabled = false;
  c.s.secMaxLevel = false;
  c.s.userPassword.fill(0);
}

// ---- power, features ----

void StandbyNow(Cmd& c) { c.s.standby = true; }
void Sleep(Cmd& c) {
  c.s.standby = true;
  c.s.asleep = true;
}
void IdleNow(Cmd& c) { c.s.standby = false; }
void CheckPowerMode(Cmd& c) { c.rsp.count = c.s.standby ? 0x00 : 0xFF; }
void Succeed(Cmd&) {}

// Transfer modes of SET FEATURES 03h: PIO default (00h, 01h), PIO 0-4, multiword
// DMA 0-2, Ultra DMA 0-6, as IDENTIFY words 63, 64 and 88 offer them.
void SetTransferMode(Cmd& c) {
  const std::uint8_t m = c.req.count;
  if (m == 0x00 || m == 0x01 || (m >= 0x08 && m <= 0x0C)) return;  // PIO: nothing to record
  if ((m >= 0x20 && m <= 0x22) || (m >= 0x40 && m <= 0x46)) {
    c.s.dmaMode = m;
    return;
  }
  c.Abort();
}

void SetFeatures(Cmd& c) {
  switch (c.req.features) {
    case 0x02: c.s.writeCache = true; return;
    case 0x82: c.s.writeCache = false; return;
    case 0xAA: c.s.lookAhead = true; return;
    case 0x55: c.s.lookAhead = false; return;
    case 0x03: return SetTransferMode(c);
    case 0x66: case 0xCC: return;  // reverting to defaults after a soft reset: nothing to revert
    case 0x10:
    case 0x90:
      // Enable / disable a SATA feature: device sleep (09h) is the only one offered.
      if (c.req.count != 0x09) return c.Abort();
      c.s.devSleepEnabled = c.req.features == 0x10;
      return;
    default:  // advanced power management (05h/85h) and the rest are not offered
      c.Abort();
  }
}

void DownloadMicrocode(Cmd& c) {
  const std::uint8_t mode = c.req.features;
  if (mode != 0x03 && mode != 0x07) return c.Abort();
  const std::uint32_t sectors = c.req.count | (c.req.lbaLow << 8);
  const std::uint32_t offset = mode == 0x03 ? (c.req.lbaMid | (c.req.lbaHigh << 8)) : 0;
  const std::uint64_t end = (static_cast<std::uint64_t>(offset) + sectors) * kSectorSize;
  if (sectors == 0 || end > kMaxImageBytes) return c.Abort();
  const std::vector<std::uint8_t> data = c.TakeOut(static_cast<std::size_t>(sectors) * kSectorSize);
  if (offset == 0) c.s.download.clear();
  if (c.s.download.size() < end) c.s.download.resize(end, 0);
  std::copy(data.begin(), data.end(), c.s.download.begin() + static_cast<std::ptrdiff_t>(offset) * kSectorSize);
  c.s.downloadPending = true;
}

void PutLba(Cmd& c, std::uint64_t lba) {
  c.rsp.lbaLow = static_cast<std::uint8_t>(lba);
  c.rsp.lbaMid = static_cast<std::uint8_t>(lba >> 8);
  c.rsp.lbaHigh = static_cast<std::uint8_t>(lba >> 16);
  if (c.Ext()) {
    c.rsp.lbaLowExp = static_cast<std::uint8_t>(lba >> 24);
    c.rsp.lbaMidExp = static_cast<std::uint8_t>(lba >> 32);
    c.rsp.lbaHighExp = static_cast<std::uint8_t>(lba >> 40);
  } else {
    c.rsp.device = static_cast<std::uint8_t>((c.req.device & 0xF0) | ((lba >> 24) & 0x0F));
  }
}

void ReadNativeMax(Cmd& c) {
  const std::uint64_t last = c.s.nativeMax - 1;
  PutLba(c, c.Ext() ? last : std::min<std::uint64_t>(last, 0x0FFFFFFF));
}

// Taken only straight after the READ NATIVE MAX ADDRESS of the same width.
void SetMax(Cmd& c) {
  const std::uint8_t readFirst = c.Ext() ? kAtaReadNativeMaxExt : kAtaReadNativeMax;
  if (c.s.nativeMaxReadBefore != readFirst || c.req.features != 0) return c.Abort();
  const std::uint64_t last = c.Lba();
  if (last >= c.s.nativeMax) return c.Abort(kErrorAbrt | kErrorIdnf);
  c.s.currentMax = last + 1;
  c.s.hpaVolatile = (c.req.count & 0x01) == 0;
  PutLba(c, last);
}

void Dco(Cmd& c) {
  std::uint8_t buf[512] = {};
  switch (c.req.features) {
    case 0xC0:  // RESTORE
      if (c.s.dcoFrozen) return c.Abort();
      c.s.nativeMax = c.s.cfg.capacitySectors;
      c.s.currentMax = c.s.nativeMax;
      return;
    case 0xC1:  // FREEZE LOCK
      c.s.dcoFrozen = true;
      return;
    case 0xC2: {  // IDENTIFY
      PutLe16(buf, 0x0002);
      PutLe16(buf + 2, 0x0007);
      PutLe16(buf + 4, 0x003F);
      const std::uint64_t last = c.s.cfg.capacitySectors - 1;
      for (int i = 0; i < 4; ++i) PutLe16(buf + 6 + 2 * i, static_cast<std::uint16_t>(last >> (16 * i)));
      PutLe16(buf + 14, 0x01FF);
      PutLe16(buf + 18, 0x71FF);
      PutLe16(buf + 20, 0x01FF);
      buf[510] = 0xA5;
      std::uint8_t sum = 0;
      for (int i = 0; i < 511; ++i) sum = static_cast<std::uint8_t>(sum + buf[i]);
      buf[511] = static_cast<std::uint8_t>(-sum);
      c.SendIn(buf, sizeof buf);
      return;
    }
    case 0xC3: {  // SET
      const std::vector<std::uint8_t> d = c.TakeOut(512);
      if (c.s.dcoFrozen) return c.Abort();
      std::uint8_t sum = 0;
      for (std::uint8_t b : d) sum = static_cast<std::uint8_t>(sum + b);
      if (d[510] != 0xA5 || sum != 0) return c.Abort();
      std::uint64_t last = 0;
      for (int i = 0; i < 4; ++i) last |= static_cast<std::uint64_t>(GetLe16(d.data() + 6 + 2 * i)) << (16 * i);
      if (last == 0 || last >= c.s.cfg.capacitySectors) return c.Abort();
      c.s.nativeMax = last + 1;
      c.s.currentMax = c.s.nativeMax;
      return;
    }
    default:
      c.Abort();
  }
}

void WriteBuffer(Cmd& c) {
  const std::vector<std::uint8_t> d = c.TakeOut(512);
  std::copy(d.begin(), d.end(), c.s.writeBuffer.begin());
}

void ReadBuffer(Cmd& c) { c.SendIn(c.s.writeBuffer.data(), c.s.writeBuffer.size()); }

// ---- access key ----

bool IsSignature(const AtaRequest& r, const std::array<std::uint8_t, 6>& sig) {
  return !r.is48 && r.features == 0 && r.count == sig[0] && r.lbaLow == sig[1] && r.lbaMid == sig[2] &&
         r.lbaHigh == sig[3] && r.device == sig[4] && r.command == sig[5];
}

void AccessKey(Cmd& c) {
  if (!IsSignature(c.req, kx::kApKeySignature) && !IsSignature(c.req, kx::kVendorModeSignature)) return c.Abort();
  switch (c.faults.TakeKeyVerdict()) {
    case 1:
      return c.Abort();
    case 2:
      // Completes, but the controller does not open: registers as loaded.
      c.s.keyAccepted = false;
      return;
    default:
      c.s.keyAccepted = true;
      c.rsp.count = 0x01;
      c.rsp.lbaLow = 0x01;
      return;
  }
}

// Tester line commands as a SATA port hands them to the drive (48-bit task
// files read from the tester block): 60h firmware name, 05h device-sleep line,
// 06h device-sleep feature. The program never sends the standard commands that
// share these opcodes.
void FirmwareNameCommand(Cmd& c) {
  std::uint8_t buf[16] = {};
  PutAtaString(buf, c.s.RunningName(), 8);
  c.SendIn(buf, sizeof buf);
}

void DevSleepLine(Cmd& c) { c.s.devSleepLine = c.req.count == 1; }

void DevSleepFeature(Cmd& c) {
  if (c.req.count > 1) return c.Abort();
  c.s.devSleepEnabled = c.req.count == 1;
}

// The ATA table, one row per opcode: handler, then the address form and the
// gates Drive::Execute checks first (DriveCommand.h). 21h and 31h are answered by
// the vendor tables (DriveVendor.cpp); an opcode not listed is aborted.
constexpr CommandTable kAtaTable = MakeCommandTable({
    {kAtaIdentifyDevice, &Identify, kAnyCode},
    {kAtaReadSectors, &ReadMedia, kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaReadSectorsExt, &ReadMedia, kLba48 | kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaReadDma, &ReadDma, kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaReadDmaExt, &ReadMedia, kLba48 | kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaWriteSectors, &WriteMedia, kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaWriteSectorsExt, &WriteMedia, kLba48 | kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaWriteDma, &WriteDma, kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaWriteDmaExt, &WriteMedia, kLba48 | kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaReadVerify, &ReadVerify, kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaReadVerifyExt, &ReadVerify, kLba48 | kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaReadMultiple, &ReadMultiple, kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaReadMultipleExt, &ReadMultiple, kLba48 | kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaWriteMultiple, &WriteMultiple, kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaWriteMultipleExt, &WriteMultiple, kLba48 | kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaSetMultipleMode, &SetMultipleMode, kAnyCode},
    {kAtaExecuteDeviceDiagnostic, &ExecuteDeviceDiagnostic, kAnyCode},
    {kAtaSmart, &Smart, kAnyCode},
    {kAtaSecuritySetPassword, &SecuritySetPassword, kAnyCode},  // refused while locked, after its data
    {kAtaSecurityUnlock, &SecurityUnlock, kAnyCode},
    {kAtaSecurityErasePrepare, &SecurityErasePrepare, kAnyCode},
    {kAtaSecurityEraseUnit, &SecurityEraseUnit, kAnyCode},
    {kAtaSecurityFreezeLock, &SecurityFreezeLock, kNotWhenLocked | kAnyCode},
    {kAtaSecurityDisablePassword, &SecurityDisablePassword, kAnyCode},  // as SET PASSWORD
    {kAtaStandbyImmediate, &StandbyNow, kAnyCode},
    {kAtaStandby, &StandbyNow, kAnyCode},
    {kAtaIdleImmediate, &IdleNow, kAnyCode},
    {kAtaIdle, &IdleNow, kAnyCode},
    {kAtaCheckPowerMode, &CheckPowerMode, kAnyCode},
    {kAtaSleep, &Sleep, kAnyCode},
    {kAtaSetFeatures, &SetFeatures, kAnyCode},
    {kAtaDownloadMicrocode, &DownloadMicrocode, kAnyCode},
    {kAtaReadNativeMax, &ReadNativeMax, kAnyCode},
    {kAtaReadNativeMaxExt, &ReadNativeMax, kLba48 | kAnyCode},
    {kAtaSetMax, &SetMax, kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaSetMaxExt, &SetMax, kLba48 | kLbaBit | kNotWhenLocked | kAnyCode},
    {kAtaDeviceConfiguration, &Dco, kAnyCode},
    {kAtaFlushCache, &Succeed, kAnyCode},
    {kAtaFlushCacheExt, &Succeed, kAnyCode},
    {kAtaWriteBuffer, &WriteBuffer, kAnyCode},
    {kAtaReadBuffer, &ReadBuffer, kAnyCode},
    {kTesterFirmwareName, &FirmwareNameCommand, kAnyCode},
    {kTesterDevSleepLine, &DevSleepLine, kHeardInDevSleep | kAnyCode},
    {kTesterDevSleepFeature, &DevSleepFeature, kAnyCode},
    {kx::kApKeySignature[5], &AccessKey, kAnyCode},
    {kx::kVendorModeSignature[5], &AccessKey, kAnyCode},
    // 00h NOP with sub-command 00h aborts, as ATA defines it.
});

}  // namespace

const CommandTable& AtaTable() { return kAtaTable; }

}  // namespace emu
