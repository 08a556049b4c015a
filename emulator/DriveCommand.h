// The context one command handler works in, the command tables and the gates
// their rows declare. Internal to the emulator.
#pragma once
#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "emulator/DriveFaults.h"
#include "emulator/DriveState.h"
#include "protocol/Ata.h"

namespace emu {

// ATA opcodes the drive answers: those the command layer sends too are named in
// protocol/Ata.h, the rest here (the tester line commands are in AtaTypes.h).
using protocol::kAtaDeviceConfiguration;
using protocol::kAtaDownloadMicrocode;
using protocol::kAtaFlushCache;
using protocol::kAtaIdentifyDevice;
using protocol::kAtaReadDma;
using protocol::kAtaReadDmaExt;
using protocol::kAtaReadNativeMax;
using protocol::kAtaReadSectors;
using protocol::kAtaReadSectorsExt;
using protocol::kAtaSecurityDisablePassword;
using protocol::kAtaSecurityErasePrepare;
using protocol::kAtaSecurityEraseUnit;
using protocol::kAtaSecurityFreezeLock;
using protocol::kAtaSecuritySetPassword;
using protocol::kAtaSecurityUnlock;
using protocol::kAtaSetFeatures;
using protocol::kAtaSetMax;
using protocol::kAtaSmart;
using protocol::kAtaStandbyImmediate;
using protocol::kAtaWriteBuffer;
using protocol::kAtaWriteDma;
using protocol::kAtaWriteDmaExt;
using protocol::kAtaWriteSectors;
using protocol::kAtaWriteSectorsExt;
using protocol::kVendorRead;
using protocol::kVendorWrite;
constexpr std::uint8_t kAtaReadNativeMaxExt = 0x27;
constexpr std::uint8_t kAtaReadMultipleExt = 0x29;
constexpr std::uint8_t kAtaSetMaxExt = 0x37;
constexpr std::uint8_t kAtaWriteMultipleExt = 0x39;
constexpr std::uint8_t kAtaReadVerify = 0x40;
constexpr std::uint8_t kAtaReadVerifyExt = 0x42;
constexpr std::uint8_t kAtaExecuteDeviceDiagnostic = 0x90;
constexpr std::uint8_t kAtaReadMultiple = 0xC4;
constexpr std::uint8_t kAtaWriteMultiple = 0xC5;
constexpr std::uint8_t kAtaSetMultipleMode = 0xC6;
constexpr std::uint8_t kAtaIdleImmediate = 0xE1;
constexpr std::uint8_t kAtaStandby = 0xE2;
constexpr std::uint8_t kAtaIdle = 0xE3;
constexpr std::uint8_t kAtaReadBuffer = 0xE4;
constexpr std::uint8_t kAtaCheckPowerMode = 0xE5;
constexpr std::uint8_t kAtaSleep = 0xE6;
constexpr std::uint8_t kAtaFlushCacheExt = 0xEA;

constexpr std::uint8_t kDeviceLbaBit = 0x40;  // device register bit 6: the address is an LBA

// What a row says about its command. Drive::Execute checks the gates, in this
// order, before the handler runs: a command the controller does not take now
// times out (the busy and sleep gates), one it takes but refuses is aborted.
using Flags = std::uint32_t;
constexpr Flags kLba48 = 1u << 0;            // 48-bit address and count (the EXT forms)
constexpr Flags kTakenWhileBusy = 1u << 1;   // answered while the card is busy (status polling)
constexpr Flags kHeardInDevSleep = 1u << 2;  // answered while the device-sleep line holds the drive
constexpr Flags kNeedsKey = 1u << 3;         // aborted until the access key is accepted
// Aborted without the LBA bit (device bit 6): stricter than ATA, which expects
// it of the host, so that CHS-flagged addresses fail here rather than in the field.
constexpr Flags kLbaBit = 1u << 4;
constexpr Flags kNotWhenLocked = 1u << 5;  // aborted while security locks the drive
// The running codes the command is taken in (aborted in the others). A row
// naming none is never taken.
constexpr Flags kInBoot = 1u << 8;     // boot (ISP) code
constexpr Flags kInMcode = 1u << 9;    // code loaded into RAM (the burner)
constexpr Flags kInRomMp = 1u << 10;   // MP firmware from flash
constexpr Flags kInRomRdt = 1u << 11;  // RDT firmware from flash
constexpr Flags kAnyCode = kInBoot | kInMcode | kInRomMp | kInRomRdt;

constexpr Flags CodeFlag(RunningCode code) {
  switch (code) {
    case RunningCode::Boot: return kInBoot;
    case RunningCode::Mcode: return kInMcode;
    case RunningCode::RomMp: return kInRomMp;
    case RunningCode::RomRdt: return kInRomRdt;
  }
  return 0;
}

struct Cmd {
  DriveState& s;
  DriveFaults& faults;
  const AtaRequest& req;
  AtaResponse& rsp;
  std::uint64_t nowMs;
  Flags flags;  // the command's row
  void Abort(std::uint8_t error = kErrorAbrt) {
    rsp.error = error;
    rsp.status = static_cast<std::uint8_t>(kStatusDrdy | 0x10 | kStatusErr);
  }
  // The count register as a plain number (vendor commands).
  std::uint32_t Count() const { return req.is48 ? (req.count | (req.countExp << 8)) : req.count; }
  // Sectors and LBA of a media command. The opcode says whether the command is
  // 48-bit, as on the wire: a 28-bit command ignores the high-order bytes, a
  // 48-bit one reads them whatever form the host's request took.
  bool Ext() const { return (flags & kLba48) != 0; }
  std::uint32_t Sectors() const {
    const std::uint32_t n = Ext() ? (req.count | (req.countExp << 8)) : req.count;
    return n != 0 ? n : (Ext() ? 65536u : 256u);
  }
  std::uint64_t Lba() const;
  // Moves up to `bytes` of in-data to the host (never more than it asked for).
  void SendIn(const std::uint8_t* src, std::size_t bytes);
  // The command's out-data, `bytes` long: what the host sent, zeros for the rest.
  std::vector<std::uint8_t> TakeOut(std::size_t bytes);
  // Where in-data may be written directly: the host buffer when it holds all
  // `bytes`, else nullptr.
  std::uint8_t* DirectIn(std::size_t bytes);
};

using Handler = void (*)(Cmd&);

void HandleAbort(Cmd& c);

struct CommandRow {
  Handler handler = &HandleAbort;
  Flags flags = 0;
};
using CommandTable = std::array<CommandRow, 256>;

// A row as a table lists it: opcode (or sub-command), handler, flags.
struct CommandEntry {
  std::uint8_t code;
  Handler handler;
  Flags flags;
};

void RowListedTwice();  // not constexpr: naming it stops the build

// A table from its rows; codes not listed abort (they name no running code).
consteval CommandTable MakeCommandTable(std::initializer_list<CommandEntry> rows) {
  // Filled element by element: g++ 12 loses value-initialised elements of a
  // large array assigned to during constant evaluation.
  CommandTable t;
  std::array<bool, 256> listed;
  for (std::size_t i = 0; i < t.size(); ++i) {
    t[i] = CommandRow{};
    listed[i] = false;
  }
  for (const CommandEntry& r : rows) {
    if (listed[r.code]) RowListedTwice();
    listed[r.code] = true;
    t[r.code] = CommandRow{r.handler, r.flags};
  }
  return t;
}

// The ATA table by opcode, and the vendor tables (21h read, 31h write) by FEATURES.
const CommandTable& AtaTable();
const CommandTable& VendorReadTable();
const CommandTable& VendorWriteTable();
// The row that answers a request: the vendor rows for 21h and 31h.
const CommandRow& RowFor(const AtaRequest& req);

}  // namespace emu
