// An emulated KX7410-family drive: the controller's ATA and vendor command set,
// its stores, its running-code state machine and its timed states. Front ends
// (tester board, USB bridge, SATA port) decode their transport into AtaRequests
// and hand them to Execute.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "emulator/AtaTypes.h"
#include "emulator/DriveConfig.h"
#include "emulator/DriveFaults.h"

namespace emu {

// One command as the drive saw it and answered it.
struct TraceEntry {
  AtaRequest request;          // registers, protocol, length (data pointer cleared)
  std::array<std::uint8_t, 16> dataHead{};  // first bytes of the out-data (data-out commands)
  AtaResponse response;
  std::uint64_t atMs = 0;      // platform clock when the command arrived
};

struct DriveState;

class Drive {
 public:
  // A new drive is inserted, powered and ready, running cfg.initialCode.
  explicit Drive(DriveConfig cfg);
  ~Drive();
  Drive(const Drive&) = delete;
  Drive& operator=(const Drive&) = delete;

  // Runs one command. Thread-safe. After every command the response satisfies:
  // status ERR set exactly when error is non-zero, but for EXECUTE DEVICE
  // DIAGNOSTIC, whose error register holds the diagnostic code. While the drive
  // is busy (booting, erasing, programming flash), in device sleep, after SLEEP
  // (until a reset) or powered off the command is not taken (transport TimeOut);
  // vendor 31h/CCh status polling is taken while busy. An LBA-addressed command
  // without the LBA bit (device bit 6) is aborted, stricter than the standard.
  // Besides the ATA set the drive answers the access key and vendor-mode
  // signatures, vendor 21h/31h by FEATURES, and the tester line commands a SATA
  // port passes on: 60h firmware name (16 bytes in), 05h device-sleep line
  // (COUNT 1 asserts, else releases), 06h device-sleep feature.
  AtaResponse Execute(const AtaRequest& req);

  // Power and reset. Power-on and reset make the card busy for bootDelayMs on the
  // platform clock, then ready, running the flash firmware when one is stored and
  // the boot code otherwise. Power-off loses RAM code, key acceptance and SRAM.
  void PowerOff();
  void PowerOn();
  void HardReset();
  bool Powered() const;
  // Powered and busy (booting, erasing, programming, or a busy fault) for this
  // command: sent now, it would not be taken until that ends.
  bool BusyFor(const AtaRequest& req) const;

  // Card state as a tester reads it: 0x00 powered off, in device sleep or no answer, 0x80 busy,
  // 0x50 ready, 0x51 ready with error (the last command failed).
  std::uint8_t CardState();
  // Registers the tester-direct card detect reports besides the state: the
  // erase error byte (0 = erase good) and the controller's LBA High verdict
  // (0xBB after a good binfile transfer or flash header check).
  std::uint8_t EraseErrorByte() const;
  std::uint8_t VerdictLbaHigh() const;

  // The 16-byte answer to GetICFWName: bytes 0-7 the running code's name in ATA
  // string order (each character pair swapped), bytes 8-15 zero.
  std::array<std::uint8_t, 16> FirmwareName() const;

  // Hot removal: a removed drive answers nothing (transport Gone, card state 0)
  // until reinserted (which powers it on).
  bool Removed() const;
  void Remove();
  void Reinsert();

  // The tester's device-sleep line.
  void SetDevSleepLine(bool asserted);
  bool InDevSleep() const;

  DriveFaults& Faults();

  std::vector<TraceEntry> Trace() const;
  void ClearTrace();
  // The trace keeps the most recent `entries` commands (default 16384, oldest first).
  void SetTraceLimit(std::size_t entries);

  // Accessors for tests and scenario set-up.
  const DriveConfig& Config() const;
  RunningCode Code() const;
  bool KeyAccepted() const;
  std::vector<std::uint8_t> ReadMedia(std::uint64_t lba, std::uint32_t sectors) const;
  std::vector<std::uint8_t> InfoBlockPage(std::uint8_t page) const;
  void SetInfoBlockPage(std::uint8_t page, const std::vector<std::uint8_t>& bytes);
  // The info block the last pre-format carried (zeros before any).
  std::array<std::uint8_t, 512> PreFormatInfoBlock() const;
  std::array<std::uint8_t, 512> InfoCodeSector() const;
  std::array<std::uint8_t, 512> SystemInfo() const;
  // Patch bytes of the system information record (for controller error IDs etc.).
  void PatchSystemInfo(std::uint32_t offset, const std::vector<std::uint8_t>& bytes);
  // Patch bytes of the bad-block table's parameter record, as a damaged drive
  // holds it (until the drive builds its table again).
  void PatchBbtParameter(std::uint32_t offset, const std::vector<std::uint8_t>& bytes);
  std::vector<std::uint8_t> BbtBody() const;
  std::array<std::uint8_t, 64> RdtInfo() const;
  // The 3rd BBT kept under a selector (each sector followed by its complement); empty when none.
  std::vector<std::uint8_t> Bbt3rd(std::uint8_t selector) const;
  std::uint32_t Register(std::uint32_t address) const;
  void SetRegister(std::uint32_t address, std::uint32_t value);
  std::uint64_t NativeMaxLba() const;
  bool SecurityFrozen() const;
  bool SecurityLocked() const;
  bool SecurityEnabled() const;
  // Bytes of memory the drive holds (stores, media, trace).
  std::size_t MemoryBytes() const;
  std::size_t MediaMemoryBytes() const;
  // Commands whose answer broke the invariant (always 0 unless the drive has a bug).
  std::uint64_t InvariantViolations() const;

 private:
  mutable std::mutex mutex_;
  std::unique_ptr<DriveState> s_;
  DriveFaults faults_;
};

}  // namespace emu
