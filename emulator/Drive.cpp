#include "emulator/Drive.h"

#include <algorithm>
#include <cstring>

#include "emulator/DriveCommand.h"
#include "platform/Clock.h"
#include "protocol/CodeHeader.h"

namespace emu {

// ---- command context ------------------------------------------------------

std::uint64_t Cmd::Lba() const {
  if (Ext()) {
    return static_cast<std::uint64_t>(req.lbaLow) | (static_cast<std::uint64_t>(req.lbaMid) << 8) |
           (static_cast<std::uint64_t>(req.lbaHigh) << 16) | (static_cast<std::uint64_t>(req.lbaLowExp) << 24) |
           (static_cast<std::uint64_t>(req.lbaMidExp) << 32) | (static_cast<std::uint64_t>(req.lbaHighExp) << 40);
  }
  return static_cast<std::uint64_t>(req.lbaLow) | (static_cast<std::uint64_t>(req.lbaMid) << 8) |
         (static_cast<std::uint64_t>(req.lbaHigh) << 16) | (static_cast<std::uint64_t>(req.device & 0x0F) << 24);
}

void Cmd::SendIn(const std::uint8_t* src, std::size_t bytes) {
  if (!IsDataIn(req.protocol) || req.data == nullptr) return;
  const std::size_t n = std::min<std::size_t>(bytes, req.length);
  if (n != 0 && req.data != src) std::memcpy(req.data, src, n);
  rsp.transferred = static_cast<std::uint32_t>(n);
}

std::vector<std::uint8_t> Cmd::TakeOut(std::size_t bytes) {
  std::vector<std::uint8_t> out(bytes, 0);
  if (!IsDataOut(req.protocol) || req.data == nullptr) return out;
  const std::size_t n = std::min<std::size_t>(bytes, req.length);
  if (n != 0) std::memcpy(out.data(), req.data, n);
  rsp.transferred = static_cast<std::uint32_t>(n);
  return out;
}

std::uint8_t* Cmd::DirectIn(std::size_t bytes) {
  if (!IsDataIn(req.protocol) || req.data == nullptr || req.length < bytes) return nullptr;
  return req.data;
}

void HandleAbort(Cmd& c) { c.Abort(); }

const CommandRow& RowFor(const AtaRequest& req) {
  switch (req.command) {
    case kVendorRead: return VendorReadTable()[req.features];
    case kVendorWrite: return VendorWriteTable()[req.features];
    default: return AtaTable()[req.command];
  }
}

// ---- power and timing -----------------------------------------------------

void DriveState::StartBusy(std::uint64_t nowMs, std::uint32_t ms, Pending what) {
  busyUntilMs = std::max(busyUntilMs, nowMs + ms);
  pending = what;
}

void DriveState::Settle(std::uint64_t nowMs) {
  if (pending != Pending::None && !Busy(nowMs)) pending = Pending::None;
  if (rdtRunning && code == RunningCode::RomRdt && nowMs >= rdtRunEndMs) FinishRdtRun();
}

void DriveState::LoseVolatile() {
  keyAccepted = false;
  dram.Clear();
  std::fill(sram.begin(), sram.end(), 0);
  registers.clear();
  ramWritten.Clear();
  ram.clear();
  seedReceived = false;
  pramWritten = false;
  ramLoaded = false;
  flashProgrammed = false;
  seed.clear();
  binfile.clear();
  binfileBad = false;
  ramCodeName.clear();
  icode.clear();
  ceMap = 0;
  BuildSystemInfo();
  secFrozen = false;
  secErasePrepared = false;
  secLocked = secEnabled;
  secAttempts = 5;
  if (hpaVolatile) {
    currentMax = nativeMax;
    hpaVolatile = false;
  }
  dcoFrozen = false;
  multipleCount = kMaxMultiple;
  dmaMode = kDefaultDmaMode;
  nativeMaxReadBefore = 0;
  standby = false;
  asleep = false;
  devSleepEnabled = false;
  verdictLbaHigh = 0;
  eraseErrorByte = 0;
  failAfterBusy = false;
  lastStatus = 0x50;
  pending = Pending::None;
  busyUntilMs = 0;
  rdtRunning = false;  // a run cut short starts again with the firmware
}

RunningCode DriveState::StartupCode() const {
  if (flash.valid && ispCodeValid) return flash.rdt ? RunningCode::RomRdt : RunningCode::RomMp;
  return RunningCode::Boot;
}

// A downloaded image runs after the next power-on when its header holds up:
// IC type, "QV" dash version, 55 AA and sizes that fill the download.
void DriveState::ActivateDownload() {
  if (!downloadPending) return;
  downloadPending = false;
  std::vector<std::uint8_t> img;
  img.swap(download);
  if (img.size() < 512) return;
  const std::uint8_t* h = img.data();
  const bool icOk = h[2] == 0x0C && h[3] == 0x27;
  const bool qvOk = (h[21] | 0x20) == 'q' && (h[22] | 0x20) == 'v';
  const bool markOk = h[510] == 0x55 && h[511] == 0xAA;
  const std::uint64_t pram = GetBe32(h + 7);
  const std::uint64_t normal = GetBe32(h + 14);
  const std::uint64_t total = 512 + pram + normal;
  // The last sector may be zero-padded by the host.
  if (!icOk || !qvOk || !markOk || total > img.size() || total + 512 <= img.size()) return;
  flash.normalCode.assign(img.begin() + static_cast<std::ptrdiff_t>(512 + pram),
                          img.begin() + static_cast<std::ptrdiff_t>(total));
  flash.valid = true;
  const LoadedIdentity id = IdentityOfLoadedCode(flash.normalCode, h[97] == 'R' && h[98] == 'D' && h[99] == 'T');
  flash.rdt = id.rdt;
  flash.name = id.name;
  if (flash.rdt) rdtFinished = false;
  ispCodeValid = true;
}

LoadedIdentity IdentityOfLoadedCode(const std::vector<std::uint8_t>& seedArea, bool rdtWithoutHeader) {
  const auto header = kx::codeheader::Read(seedArea.data(), std::min<std::size_t>(seedArea.size(), kSeedBytes));
  if (!header) return {{}, rdtWithoutHeader};
  return {header->name, header->rdt};
}

void DriveState::Boot(std::uint64_t nowMs) {
  ActivateDownload();
  code = StartupCode();
  ++powerCycles;
  StartBusy(nowMs, cfg.bootDelayMs, Pending::Boot);
  StartRdtRun(nowMs);
}

// ---- Drive ----------------------------------------------------------------

Drive::Drive(DriveConfig cfg) : s_(std::make_unique<DriveState>(cfg)) { s_->StartRdtRun(platform::Clock().NowMs()); }

Drive::~Drive() = default;

namespace {

// How a step before the handler ends a command, if it does.
enum class Ending : std::uint8_t { None, Abort, TimeOut, GenFailure, Gone };

// The drive is there, and the fault knobs let the command reach the controller.
Ending FaultVerdict(DriveState& s, DriveFaults& faults, const AtaRequest& req, std::uint64_t now) {
  if (s.removed) return Ending::Gone;
  if (!s.powered) return Ending::TimeOut;
  s.Settle(now);
  switch (faults.Take(req)) {
    case DriveFaults::Verdict::None: return Ending::None;
    case DriveFaults::Verdict::Abort: return Ending::Abort;
    case DriveFaults::Verdict::TimeOut: return Ending::TimeOut;
    case DriveFaults::Verdict::Gone:
      s.removed = true;
      s.powered = false;
      s.LoseVolatile();
      return Ending::Gone;
    case DriveFaults::Verdict::PowerCycle:
      s.LoseVolatile();
      s.Boot(now);
      return Ending::GenFailure;
  }
  return Ending::None;
}

bool BusyNow(const DriveState& s, const DriveFaults& faults, std::uint64_t now) {
  return s.Busy(now) || faults.BusyNow(now);
}

// The gates the command's row declares, in the order DriveCommand.h lists them.
Ending Gate(const DriveState& s, const DriveFaults& faults, const AtaRequest& req, Flags flags, std::uint64_t now) {
  if (!(flags & kTakenWhileBusy) && BusyNow(s, faults, now)) return Ending::TimeOut;
  if (!(flags & kHeardInDevSleep) && s.devSleepLine && s.devSleepEnabled) return Ending::TimeOut;
  if (s.asleep) return Ending::TimeOut;
  if ((flags & kNeedsKey) && !s.keyAccepted) return Ending::Abort;
  if (!(flags & CodeFlag(s.code))) return Ending::Abort;
  if ((flags & kLbaBit) && !(req.device & kDeviceLbaBit)) return Ending::Abort;
  if ((flags & kNotWhenLocked) && s.secLocked) return Ending::Abort;
  return Ending::None;
}

TransportError TransportOf(Ending e) {
  switch (e) {
    case Ending::TimeOut: return TransportError::TimeOut;
    case Ending::GenFailure: return TransportError::GenFailure;
    case Ending::Gone: return TransportError::Gone;
    default: return TransportError::None;
  }
}

// Registers read back as loaded unless the command says otherwise.
AtaResponse RegistersAsLoaded(const AtaRequest& req) {
  AtaResponse rsp;
  rsp.count = req.count;
  rsp.lbaLow = req.lbaLow;
  rsp.lbaMid = req.lbaMid;
  rsp.lbaHigh = req.lbaHigh;
  rsp.device = req.device;
  rsp.countExp = req.countExp;
  rsp.lbaLowExp = req.lbaLowExp;
  rsp.lbaMidExp = req.lbaMidExp;
  rsp.lbaHighExp = req.lbaHighExp;
  return rsp;
}

// Invariant: ERR exactly when an error is reported. EXECUTE DEVICE DIAGNOSTIC
// alone puts its diagnostic code in the error register without ERR.
void CheckInvariant(DriveState& s, const AtaRequest& req, AtaResponse& rsp, bool ran) {
  const bool diagnostic = ran && req.command == kAtaExecuteDeviceDiagnostic && (rsp.status & kStatusErr) == 0;
  if (diagnostic || ((rsp.status & kStatusErr) != 0) == (rsp.error != 0)) return;
  ++s.invariantViolations;
  rsp.error = kErrorAbrt;
  rsp.status = static_cast<std::uint8_t>(kStatusDrdy | kStatusDf | kStatusErr);
}

// What the next command and the card state see of one the controller answered.
void Remember(DriveState& s, const AtaRequest& req, const AtaResponse& rsp) {
  s.lastStatus = rsp.status;
  s.lastCommand = req.command;
  const bool nativeMaxRead =
      (req.command == kAtaReadNativeMax || req.command == kAtaReadNativeMaxExt) && (rsp.status & kStatusErr) == 0;
  s.nativeMaxReadBefore = nativeMaxRead ? req.command : 0;
}

void RecordTrace(DriveState& s, const AtaRequest& req, const AtaResponse& rsp, std::uint64_t now) {
  TraceEntry t;
  t.request = req;
  t.request.data = nullptr;
  if (IsDataOut(req.protocol) && req.data != nullptr)
    std::memcpy(t.dataHead.data(), req.data, std::min<std::size_t>(req.length, t.dataHead.size()));
  t.response = rsp;
  t.atMs = now;
  s.Record(t);
}

}  // namespace

// One command in steps: fault verdict, the gates of its row, handler, invariant, trace.
AtaResponse Drive::Execute(const AtaRequest& req) {
  std::lock_guard lock(mutex_);
  DriveState& s = *s_;
  const std::uint64_t now = platform::Clock().NowMs();
  const CommandRow& row = RowFor(req);
  AtaResponse rsp = RegistersAsLoaded(req);
  Cmd c{s, faults_, req, rsp, now, row.flags};

  Ending ending = FaultVerdict(s, faults_, req, now);
  if (ending == Ending::None) ending = Gate(s, faults_, req, row.flags, now);
  if (ending == Ending::None) row.handler(c);
  if (ending == Ending::Abort) c.Abort();
  const bool ran = ending == Ending::None || ending == Ending::Abort;
  if (ran) {
    if (const std::uint32_t ms = faults_.TakeBusyAfter(req)) s.busyUntilMs = std::max(s.busyUntilMs, now + ms);
  }
  if (!ran) {
    rsp = AtaResponse{};
    rsp.status = 0;
    rsp.transport = TransportOf(ending);
  }
  CheckInvariant(s, req, rsp, ran);
  if (ran) Remember(s, req, rsp);
  RecordTrace(s, req, rsp, now);
  return rsp;
}

void Drive::PowerOff() {
  std::lock_guard lock(mutex_);
  if (!s_->powered) return;
  s_->Settle(platform::Clock().NowMs());  // what ran to its end before the power went
  s_->powered = false;
  s_->LoseVolatile();
}

void Drive::PowerOn() {
  std::lock_guard lock(mutex_);
  if (s_->powered || s_->removed) return;
  s_->powered = true;
  s_->Boot(platform::Clock().NowMs());
}

void Drive::HardReset() {
  std::lock_guard lock(mutex_);
  if (!s_->powered || s_->removed) return;
  s_->Settle(platform::Clock().NowMs());
  s_->LoseVolatile();
  s_->Boot(platform::Clock().NowMs());
}

bool Drive::Powered() const {
  std::lock_guard lock(mutex_);
  return s_->powered;
}

bool Drive::BusyFor(const AtaRequest& req) const {
  std::lock_guard lock(mutex_);
  const std::uint64_t now = platform::Clock().NowMs();
  return s_->powered && !s_->removed && BusyNow(*s_, faults_, now) && !(RowFor(req).flags & kTakenWhileBusy);
}

std::uint8_t Drive::CardState() {
  std::lock_guard lock(mutex_);
  DriveState& s = *s_;
  const std::uint64_t now = platform::Clock().NowMs();
  if (s.removed || !s.powered) return 0x00;
  if (auto forced = faults_.TakeCardStateOverride(now)) return *forced;
  if (s.devSleepLine && s.devSleepEnabled) return 0x00;  // link asleep: no answer
  if (s.Busy(now)) return 0x80;
  s.Settle(now);
  if (s.failAfterBusy) {
    s.failAfterBusy = false;
    return 0x51;
  }
  return (s.lastStatus & kStatusErr) ? 0x51 : 0x50;
}

std::uint8_t Drive::EraseErrorByte() const {
  std::lock_guard lock(mutex_);
  return s_->eraseErrorByte;
}

std::uint8_t Drive::VerdictLbaHigh() const {
  std::lock_guard lock(mutex_);
  return s_->verdictLbaHigh;
}

std::array<std::uint8_t, 16> Drive::FirmwareName() const {
  std::lock_guard lock(mutex_);
  std::array<std::uint8_t, 16> out{};
  PutAtaString(out.data(), s_->RunningName(), 8);
  return out;
}

bool Drive::Removed() const {
  std::lock_guard lock(mutex_);
  return s_->removed;
}

void Drive::Remove() {
  std::lock_guard lock(mutex_);
  if (s_->powered) s_->Settle(platform::Clock().NowMs());
  s_->removed = true;
  s_->powered = false;
  s_->LoseVolatile();
}

void Drive::Reinsert() {
  std::lock_guard lock(mutex_);
  if (!s_->removed) return;
  s_->removed = false;
  s_->powered = true;
  s_->LoseVolatile();
  s_->Boot(platform::Clock().NowMs());
}

void Drive::SetDevSleepLine(bool asserted) {
  std::lock_guard lock(mutex_);
  s_->devSleepLine = asserted;
}

bool Drive::InDevSleep() const {
  std::lock_guard lock(mutex_);
  return s_->devSleepLine && s_->devSleepEnabled;
}

DriveFaults& Drive::Faults() { return faults_; }

void DriveState::Record(const TraceEntry& e) {
  if (traceLimit == 0) return;
  if (trace.size() < traceLimit) {
    trace.push_back(e);
    return;
  }
  trace[traceNext] = e;
  traceNext = (traceNext + 1) % trace.size();
}

std::vector<TraceEntry> DriveState::TraceInOrder() const {
  std::vector<TraceEntry> out;
  out.reserve(trace.size());
  out.insert(out.end(), trace.begin() + static_cast<std::ptrdiff_t>(traceNext), trace.end());
  out.insert(out.end(), trace.begin(), trace.begin() + static_cast<std::ptrdiff_t>(traceNext));
  return out;
}

void DriveState::SetTraceLimit(std::size_t n) {
  std::vector<TraceEntry> keep = TraceInOrder();
  if (keep.size() > n) keep.erase(keep.begin(), keep.end() - static_cast<std::ptrdiff_t>(n));
  trace = std::move(keep);
  traceNext = 0;
  traceLimit = n;
}

std::vector<TraceEntry> Drive::Trace() const {
  std::lock_guard lock(mutex_);
  return s_->TraceInOrder();
}

void Drive::ClearTrace() {
  std::lock_guard lock(mutex_);
  s_->trace.clear();
  s_->traceNext = 0;
}

void Drive::SetTraceLimit(std::size_t entries) {
  std::lock_guard lock(mutex_);
  s_->SetTraceLimit(entries);
}

const DriveConfig& Drive::Config() const { return s_->cfg; }

RunningCode Drive::Code() const {
  std::lock_guard lock(mutex_);
  return s_->code;
}

bool Drive::KeyAccepted() const {
  std::lock_guard lock(mutex_);
  return s_->keyAccepted;
}

std::vector<std::uint8_t> Drive::ReadMedia(std::uint64_t lba, std::uint32_t sectors) const {
  std::lock_guard lock(mutex_);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(sectors) * kSectorSize, 0);
  if (!s_->media.Read(lba, sectors, out.data())) out.clear();
  return out;
}

std::vector<std::uint8_t> Drive::InfoBlockPage(std::uint8_t page) const {
  std::lock_guard lock(mutex_);
  if (page >= s_->infoPages.size()) return {};
  return s_->infoPages[page];
}

void Drive::SetInfoBlockPage(std::uint8_t page, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  if (page >= s_->infoPages.size()) return;
  auto& p = s_->infoPages[page];
  std::fill(p.begin(), p.end(), 0);
  std::copy_n(bytes.begin(), std::min(bytes.size(), p.size()), p.begin());
}

std::array<std::uint8_t, 512> Drive::PreFormatInfoBlock() const {
  std::lock_guard lock(mutex_);
  return s_->preFormatInfoBlock;
}

std::array<std::uint8_t, 512> Drive::InfoCodeSector() const {
  std::lock_guard lock(mutex_);
  return s_->infoCode;
}

std::array<std::uint8_t, 512> Drive::SystemInfo() const {
  std::lock_guard lock(mutex_);
  return s_->sysInfo;
}

void Drive::PatchSystemInfo(std::uint32_t offset, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < bytes.size() && offset + i < s_->sysInfo.size(); ++i)
    s_->sysInfoPatches[static_cast<std::uint32_t>(offset + i)] = bytes[i];
  s_->BuildSystemInfo();
}

void Drive::PatchBbtParameter(std::uint32_t offset, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < bytes.size() && offset + i < s_->bbtParam.size(); ++i) s_->bbtParam[offset + i] = bytes[i];
}

std::vector<std::uint8_t> Drive::BbtBody() const {
  std::lock_guard lock(mutex_);
  return s_->bbtBody;
}

std::array<std::uint8_t, 64> Drive::RdtInfo() const {
  std::lock_guard lock(mutex_);
  std::array<std::uint8_t, 64> out{};
  std::copy_n(s_->rdtInfoSector.begin(), out.size(), out.begin());
  return out;
}

std::vector<std::uint8_t> Drive::Bbt3rd(std::uint8_t selector) const {
  std::lock_guard lock(mutex_);
  auto it = s_->bbt3rd.find(selector);
  return it == s_->bbt3rd.end() ? std::vector<std::uint8_t>{} : it->second;
}

std::uint32_t Drive::Register(std::uint32_t address) const {
  std::lock_guard lock(mutex_);
  return s_->ReadRegister(address);
}

void Drive::SetRegister(std::uint32_t address, std::uint32_t value) {
  std::lock_guard lock(mutex_);
  s_->WriteRegister(address, value, 4);
}

std::uint64_t Drive::NativeMaxLba() const {
  std::lock_guard lock(mutex_);
  return s_->nativeMax;
}

bool Drive::SecurityFrozen() const {
  std::lock_guard lock(mutex_);
  return s_->secFrozen;
}

bool Drive::SecurityLocked() const {
  std::lock_guard lock(mutex_);
  return s_->secLocked;
}

bool Drive::SecurityEnabled() const {
  std::lock_guard lock(mutex_);
  return s_->secEnabled;
}

std::size_t Drive::MemoryBytes() const {
  std::lock_guard lock(mutex_);
  const DriveState& s = *s_;
  std::size_t n = sizeof(Drive) + sizeof(DriveState) + s.media.MemoryBytes() + s.sram.capacity() +
                  s.bbtBody.capacity() + s.seed.capacity() + s.binfile.capacity() + s.download.capacity() +
                  s.flash.normalCode.capacity() + s.trace.capacity() * sizeof(TraceEntry);
  for (const auto& p : s.infoPages) n += p.capacity();
  for (const auto& l : s.rdtLogs) n += l.capacity();
  for (const auto& [k, v] : s.ram) n += v.capacity();
  for (const auto& [k, v] : s.icode) n += v.capacity();
  for (const auto& [k, v] : s.bbt3rd) n += v.capacity();
  for (const auto& [k, v] : s.cacheFlash) n += v.capacity();
  return n;
}

std::size_t Drive::MediaMemoryBytes() const {
  std::lock_guard lock(mutex_);
  return s_->media.MemoryBytes();
}

std::uint64_t Drive::InvariantViolations() const {
  std::lock_guard lock(mutex_);
  return s_->invariantViolations;
}

}  // namespace emu
