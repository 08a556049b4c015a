// The whole state of one emulated drive, and the little-endian and ATA-string
// helpers its command handlers share. Internal to the emulator.
#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "emulator/AtaTypes.h"
#include "emulator/Drive.h"
#include "emulator/DriveConfig.h"
#include "emulator/SparseStore.h"

namespace emu {

// Controller registers with a meaning to the host.
namespace reg {
constexpr std::uint32_t kBootSwitch = 0x04000044;
constexpr std::uint32_t kFuseAccess = 0x04002400;
constexpr std::uint32_t kFuseWord1 = 0x04002440;
constexpr std::uint32_t kFuseWord2 = 0x0400247C;
constexpr std::uint32_t kFuseWord3 = 0x040024BC;
constexpr std::uint32_t kControllerVersion = 0x0400303E;
constexpr std::uint32_t kDuty0 = 0x04002180;
}  // namespace reg

// SRAM addresses the host uses: the load descriptor and the register pointer.
constexpr std::uint32_t kSramDescriptor = 0x0000;
constexpr std::uint32_t kSramRegPointer = 0x3300;
constexpr std::uint32_t kSramSize = 0x10000;
constexpr std::uint32_t kSeedBytes = 16384;
constexpr std::uint32_t kBinChunkBytes = 65536;
constexpr std::uint32_t kCrcGood = 0x55AA55AA;
constexpr std::uint8_t kVerdictGood = 0xBB;
constexpr std::uint32_t kMaxImageBytes = 32u << 20;  // largest firmware image accepted
constexpr std::uint8_t kMaxMultiple = 16;             // sectors per READ/WRITE MULTIPLE block
constexpr std::uint8_t kDefaultDmaMode = 0x46;        // Ultra DMA mode 6

// Little-endian helpers over byte buffers.
inline void PutLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t GetLe16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t GetLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint32_t GetBe32(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}
// Text padded with blanks to `bytes`, each character pair swapped (ATA string order).
void PutAtaString(std::uint8_t* p, const std::string& text, std::size_t bytes);
// Text padded with blanks to `bytes`, in order.
void PutText(std::uint8_t* p, const std::string& text, std::size_t bytes);

// CRC-16/GENIBUS (poly 1021, init FFFF, final complement, not reflected).
std::uint16_t Crc16Genibus(const std::uint8_t* p, std::size_t n);

// A 64-byte BBT parameter record as the controller lays it out.
struct BbtLayout {
  std::uint32_t rowCount = 0;
  std::uint8_t folds = 1;  // die groups folded into columns (1: no fold)
  std::uint8_t columnCount = 0;
  std::uint8_t diesPerGroup = 0;
  std::uint8_t planeCount = 0;
  std::uint16_t bbtSectors = 0;
};

// Byte ranges of controller RAM written since the last seed, merged.
class RangeSet {
 public:
  void Add(std::uint32_t start, std::uint32_t length);
  bool Covers(std::uint32_t start, std::uint32_t length) const;
  void Clear() { ranges_.clear(); }

 private:
  std::map<std::uint64_t, std::uint64_t> ranges_;  // start -> end
};

struct FlashCode {
  bool valid = false;
  bool rdt = false;
  std::vector<std::uint8_t> normalCode;  // seed followed by the binfile chunks
  std::string name;  // from the code's header; empty: the site description's name
};

// What a code loaded into RAM or flash reports of itself while it runs: the
// name and RDT flag of the code header in its seed area (protocol/CodeHeader.h);
// without a header the site description's names (an empty name) and
// `rdtWithoutHeader`. Every load (RAM, ISP flash, microcode download) takes
// the identity of its code here.
struct LoadedIdentity {
  std::string name;
  bool rdt = false;
};
LoadedIdentity IdentityOfLoadedCode(const std::vector<std::uint8_t>& seedArea, bool rdtWithoutHeader);

struct DriveState {
  explicit DriveState(const DriveConfig& c);

  DriveConfig cfg;

  // Power and timing.
  bool powered = true;
  bool removed = false;
  std::uint64_t busyUntilMs = 0;
  enum class Pending : std::uint8_t { None, Boot, ProgramFlash, Erase, PreFormat } pending = Pending::None;
  std::uint8_t lastStatus = 0x50;
  std::uint8_t eraseErrorByte = 0;
  std::uint8_t verdictLbaHigh = 0;
  bool failAfterBusy = false;  // a failed erase or flash program reads 0x51 once when done

  // Running code.
  RunningCode code = RunningCode::Boot;
  // The RDT firmware's own run: done (its logs written), or under way until rdtRunEndMs.
  bool rdtFinished = false;
  bool rdtRunning = false;
  std::uint64_t rdtRunEndMs = 0;
  bool ispCodeValid = true;
  FlashCode flash;
  // Volatile (lost on power-off and reset).
  bool keyAccepted = false;
  std::vector<std::uint8_t> sram;
  std::map<std::uint32_t, std::uint32_t> registers;
  // eFuse words (persistent).
  std::uint32_t fuse1 = 0;
  std::uint32_t fuse2 = 0;
  std::uint32_t fuse3 = 0;
  RangeSet ramWritten;
  std::map<std::uint32_t, std::vector<std::uint8_t>> ram;  // 64 KiB pages of controller RAM
  bool seedReceived = false;
  bool pramWritten = false;
  bool ramLoaded = false;     // RAM image complete and checked: a jump starts it
  bool flashProgrammed = false;  // ISP flash done since the code started: a jump runs it
  std::vector<std::uint8_t> seed;
  // Name of the code started from RAM (empty: the site's burner name).
  std::string ramCodeName;
  // A binfile chunk of the transfer since the seed failed its CRC: the
  // transfer's LBA High verdict stays bad until the next seed.
  bool binfileBad = false;
  std::vector<std::uint8_t> binfile;  // normal code being received for ISP flash
  std::map<std::uint8_t, std::vector<std::uint8_t>> icode;  // chunk -> data
  std::uint16_t ceMap = 0;
  std::uint8_t lastCommand = 0;

  // Persistent stores.
  std::array<std::vector<std::uint8_t>, 4> infoPages;  // 0 info block, 1 SMART entry, 2, 3 (2048 bytes)
  std::array<std::uint8_t, 512> infoCode{};
  std::array<std::uint8_t, 512> sysInfo{};
  std::map<std::uint32_t, std::uint8_t> sysInfoPatches;  // kept across rebuilds
  std::array<std::uint8_t, 512> flashIdTable{};
  bool bbtPresent = false;
  std::vector<std::uint8_t> bbtBody;
  std::array<std::uint8_t, 512> bbtParam{};
  std::array<std::uint8_t, 512> rdtInfoSector{};
  std::map<std::uint8_t, std::vector<std::uint8_t>> bbt3rd;  // selector -> doubled sectors
  std::array<std::uint8_t, 512> preFormatResult{};
  bool preFormatKeepRdtInfo = true;  // parameter of the next pre-format (mode 2 sets it)
  std::array<std::uint8_t, 512> preFormatInfoBlock{};  // the info block the last pre-format took
  std::array<std::vector<std::uint8_t>, 4> rdtLogs;  // 50, 51, 52, 54
  std::array<std::uint8_t, 512> scanBadParam{};
  std::array<std::uint8_t, 1024> padAndDrive{};
  std::map<std::uint32_t, std::vector<std::uint8_t>> cacheFlash;  // (bank,die,channel) -> data
  std::vector<FlashBlockAddress> laterBad;
  std::vector<std::uint8_t> download;  // DOWNLOAD MICROCODE assembly
  bool downloadPending = false;

  // Media and ATA state.
  SparseStore media;
  // The DRAM (512-byte units), volatile: the burner's READ/WRITE DMA address it.
  SparseStore dram;
  std::uint64_t nativeMax;   // sectors
  std::uint64_t currentMax;  // sectors (HPA)
  bool hpaVolatile = false;
  bool dcoFrozen = false;
  std::array<std::uint8_t, 512> writeBuffer{};
  bool standby = false;
  bool asleep = false;  // SLEEP: nothing is taken until a reset or power cycle
  bool devSleepEnabled = false;
  bool devSleepLine = false;
  bool writeCache = true;
  bool lookAhead = true;
  bool smartEnabled = true;
  // READ/WRITE MULTIPLE block size (0: disabled) and the DMA mode SET FEATURES 03h
  // selected (20h+n multiword n, 40h+n Ultra n); both revert at power-on and reset.
  std::uint8_t multipleCount = kMaxMultiple;
  std::uint8_t dmaMode = kDefaultDmaMode;
  // The READ NATIVE MAX ADDRESS (F8h or 27h) the previous command was, else 0:
  // SET MAX ADDRESS must follow its own form immediately.
  std::uint8_t nativeMaxReadBefore = 0;
  std::uint32_t powerCycles = 0;

  // Security.
  bool secEnabled = false;
  bool secLocked = false;
  bool secFrozen = false;
  bool secMaxLevel = false;
  bool secErasePrepared = false;
  std::uint8_t secAttempts = 5;
  std::array<std::uint8_t, 32> userPassword{};
  std::array<std::uint8_t, 32> masterPassword{};

  // Trace.
  // Ring of the most recent commands: grows to traceLimit, then overwrites the
  // oldest (at traceNext), so a long run costs no allocation per command.
  std::vector<TraceEntry> trace;
  std::size_t traceNext = 0;
  std::size_t traceLimit = 16384;
  void Record(const TraceEntry& e);
  std::vector<TraceEntry> TraceInOrder() const;
  void SetTraceLimit(std::size_t n);
  std::uint64_t invariantViolations = 0;

  // Geometry helpers.
  std::uint32_t CeCount() const { return cfg.channels * cfg.cesPerChannel; }
  std::uint32_t BlocksPerCe() const { return cfg.blocksPerPlane * cfg.planesPerDie * cfg.diesPerCe; }
  bool CePopulated(std::uint32_t ceCode) const {
    return (ceCode >> 3) < cfg.channels && (ceCode & 7) < cfg.cesPerChannel &&
           std::find(cfg.missingCes.begin(), cfg.missingCes.end(), ceCode) == cfg.missingCes.end();
  }
  BbtLayout Layout() const;

  // Builders of the stores (DriveStores.cpp).
  void BuildSystemInfo();
  void BuildFlashIdTable();
  void BuildInfoBlock();
  void BuildBbt();
  void Build3rdBbt();
  void BuildRdtInfo();
  void BuildRdtLogs();
  // What a completed RDT run leaves: its bad-block table, info record and logs.
  void FinishRdtRun();
  void BuildIdentify(std::uint8_t* out) const;
  // SMART READ DATA and READ THRESHOLDS; `exceeded` puts the retired-block
  // attribute (05h, pre-failure) at its threshold.
  void BuildSmartData(std::uint8_t* out, bool exceeded) const;
  void BuildSmartThresholds(std::uint8_t* out) const;
  void BuildSmartIdTable(std::uint8_t* out) const;
  std::string RunningName() const;
  std::uint16_t BbtChecksum() const;

  // Power (Drive.cpp).
  void LoseVolatile();
  void Boot(std::uint64_t nowMs);
  // The code the controller starts after power-on or reset.
  RunningCode StartupCode() const;
  void ActivateDownload();
  // The RDT firmware starts its run when it starts from flash with no run done.
  void StartRdtRun(std::uint64_t nowMs);
  void Settle(std::uint64_t nowMs);
  bool Busy(std::uint64_t nowMs) const { return nowMs < busyUntilMs; }
  std::uint32_t ReadRegister(std::uint32_t address) const;
  void WriteRegister(std::uint32_t address, std::uint32_t value, std::uint8_t width);
  // Starts the code a jump or reset selects: key, RAM load and verdicts are lost.
  void Restart(std::uint64_t nowMs, RunningCode next);
  void StartBusy(std::uint64_t nowMs, std::uint32_t ms, Pending what);
};

}  // namespace emu
