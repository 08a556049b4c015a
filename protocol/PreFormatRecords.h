// The pre-format's records that the controller firmware and the program share:
// the parameter sector sent before the pre-format, the two sectors that start
// it, and the result sector read back afterwards (vendor read 07h). Layouts
// only; which results the program treats how lives with the step
// (bringup/PreFormat.h).
#pragma once
#include <cstddef>
#include <cstdint>

namespace kx::preformat {

// PreFormat command modes (LBA high 01h, 02h, 00h on the wire).
inline constexpr int kModeRdt = 0;    // info block + SMART table, for the RDT firmware
inline constexpr int kModeMp = 1;     // info block + SMART table, for the MP firmware
inline constexpr int kModeParam = 2;  // one parameter sector; nothing is formatted yet

// Parameter sector (mode 2), 512 bytes, zero but for:
inline constexpr std::size_t kParamCeMap = 0;        // u16 LE: CEs to format; 0 keeps the drive's map
inline constexpr std::size_t kParamKeepRdtInfo = 2;  // u8: 1 keeps the RDT information record

// Data of modes 0 and 1: the info block in the first sector, the SMART table in the second.
inline constexpr std::size_t kInfoBlockSector = 0;
inline constexpr std::size_t kSmartTableSector = 1;

// Result sector, 512 bytes, zero but for:
inline constexpr std::size_t kResultCode = 0;         // u8: 0 passed, else the controller's failure code
inline constexpr std::size_t kResultModeEcho = 1;     // u8: LBA high of the pre-format command
inline constexpr std::size_t kResultFlagEcho = 2;     // u8: LBA low of the pre-format command
inline constexpr std::size_t kResultFailAddress = 4;  // u32 LE: flash address of the failure (CE in bits 24-31)

}  // namespace kx::preformat
