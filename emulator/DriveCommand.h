// The context one command handler works in, and the dispatch tables. Internal to
// the emulator.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "emulator/DriveFaults.h"
#include "emulator/DriveState.h"

namespace emu {

// ATA commands that carry a 48-bit address and count (the EXT forms).
bool IsExtCommand(std::uint8_t command);

struct Cmd {
  DriveState& s;
  DriveFaults& faults;
  const AtaRequest& req;
  AtaResponse& rsp;
  std::uint64_t nowMs;
  void Abort(std::uint8_t error = kErrorAbrt) {
    rsp.error = error;
    rsp.status = static_cast<std::uint8_t>(kStatusDrdy | 0x10 | kStatusErr);
  }
  // The count register as a plain number (vendor commands).
  std::uint32_t Count() const { return req.is48 ? (req.count | (req.countExp << 8)) : req.count; }
  // Sectors and LBA of a media command. The opcode says whether the command is
  // 48-bit, as on the wire: a 28-bit command ignores the high-order bytes, a
  // 48-bit one reads them whatever form the host's request took.
  bool Ext() const { return IsExtCommand(req.command); }
  std::uint32_t Sectors() const {
    const std::uint32_t n = Ext() ? (req.count | (req.countExp << 8)) : req.count;
    return n != 0 ? n : (Ext() ? 65536u : 256u);
  }
  std::uint64_t Lba() const;
  // Device register bit 6: the address is an LBA.
  bool LbaBit() const { return (req.device & 0x40) != 0; }
  // Moves up to `bytes` of in-data to the host (never more than it asked for).
  void SendIn(const std::uint8_t* src, std::size_t bytes);
  // The command's out-data, `bytes` long: what the host sent, zeros for the rest.
  std::vector<std::uint8_t> TakeOut(std::size_t bytes);
  // Where in-data may be written directly: the host buffer when it holds all
  // `bytes`, else nullptr.
  std::uint8_t* DirectIn(std::size_t bytes);
};

using Handler = void (*)(Cmd&);

// Tables indexed by opcode (ATA) and by FEATURES (vendor 21h read, 31h write).
const std::array<Handler, 256>& AtaTable();
const std::array<Handler, 256>& VendorReadTable();
const std::array<Handler, 256>& VendorWriteTable();

void HandleAbort(Cmd& c);

}  // namespace emu
