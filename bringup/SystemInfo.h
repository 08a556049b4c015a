// The controller's 512-byte system-information record as plain values: the
// field table, what the check derives from it (plane count, capacities, cell
// and page type, toggle flags) and the texts of a controller-reported error.
// Nothing here sends a command or touches a device.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

constexpr std::size_t kSystemInfoBytes = 512;

// Cell family and page size together; None when the family has no type for
// the page flags (TLC without 8K or 16K) or no family bit is set.
// clang-format off
enum class CellPageType : std::uint8_t {
  None,
  Slc, Slc2K, Slc4K, Slc8K, Slc16K,
  Mlc, Mlc2K, Mlc4K, Mlc8K, Mlc16K,
  Tlc8K, Tlc16K,
};
// clang-format on

// What the check reads at the moment of use and hands to the decoder.
struct SystemInfoSettings {
  std::uint16_t ceMap = 0;             // the device's CE map
  int dynamicCe = 0;                   // [Options] AutoCapacity_DynamicCE_En
  std::uint32_t singleCeCapacity = 0;  // [Flash Info] Flh_SingleCE_Capacity (read only for dynamic CE 1)
};

struct SystemInfo {
  // ---- as the record gives them ----
  std::uint32_t flashCount = 0;    // 0x00
  std::uint32_t channelCount = 0;  // 0x02
  std::uint32_t ddrShift = 0;      // 0x03: DRAM MB = 1 << this
  std::uint32_t diePerFlash = 0;   // 0x06
  std::uint32_t sysInfo10 = 0;
  std::uint32_t maxBlockPerCe = 0;  // 0x1C
  std::uint32_t sysInfo28 = 0;
  std::uint32_t dashVersion = 0;  // 0xC9-0xCA as decimal digits
  std::uint32_t sysInfoCC = 0;
  std::uint32_t blocksPerPlane = 0;    // 0xD0: B of the physical size
  std::uint32_t capacityUnit = 0;      // 0xD4: U of both capacities
  std::uint32_t secondBlockCount = 0;  // 0xD8
  std::uint32_t errorInfo = 0;         // 0xFC
  std::uint32_t errorId = 0;           // 0x100
  std::uint32_t sysInfo138 = 0;
  std::uint32_t ceMask64Low = 0;   // 0x148: CEs 0-31
  std::uint32_t ceMask64High = 0;  // 0x14C: CEs 32-63
  std::uint32_t sysInfo169 = 0;
  std::uint32_t ceMask64Enable = 0;    // 0x16A
  std::uint32_t rdtLoops = 0;          // 0x16D
  std::uint32_t rdtFastPageLoops = 0;  // 0x16E
  std::uint32_t sysInfo1D0 = 0;
  std::string fwVersion;           // four characters: version field bytes 2, 3, 0, 1
  std::string fwBuildDate;         // the nine characters after the version field
  bool toggleAExBit = false;       // 0xE1 bit 7
  bool notToggleBit = false;       // 0xDD bit 2
  bool toggleBBit = false;         // 0xDE bit 2
  bool roundBit2 = false;          // 0xE2 bit 2
  bool roundBit4 = false;          // 0xE2 bit 4
  bool noRoundBit6 = false;        // 0xE2 bit 6
  bool twoPlane = false;           // 0xE4 bit 1
  bool page4K = false;             // 0xE4 bit 2
  bool page8K = false;             // 0xE4 bit 3
  bool slcBit = false;             // 0xE5 bit 3
  bool mlcBit = false;             // 0xE5 bit 4
  bool tlcBit = false;             // 0xE5 bit 5
  bool page2K = false;             // 0xE5 bit 6
  bool flashNotSupported = false;  // 0xE6 bit 4
  bool page16K = false;            // 0xE7 bit 5
  bool fourPlane = false;          // 0xE8 bit 7
  bool dpsTableFlag = false;       // 0xE9 bit 0
  bool bit136 = false;             // 0x136 bit 0 (the device flag is its inverse)

  // ---- derived ----
  std::uint32_t planeCount = 1;      // 4 wins over 2
  std::uint32_t ddrSizeMB = 0;       // saturated at 0xFFFFFFFF
  std::uint32_t totalBlocks = 0;     // maxBlockPerCe x flashCount, saturated
  std::uint32_t physicalSize = 0;    // MB
  std::uint32_t secondCapacity = 0;  // MB, not snapped
  bool capacityNoRound = false;
  bool slcFamily = false;  // exactly one family, first of SLC, MLC, TLC
  bool mlcFamily = false;
  bool tlcFamily = false;
  CellPageType cellPageType = CellPageType::None;
  bool toggleFlagA = false;
  bool toggleFlagB = false;
  bool toggleFlagAEx = false;
  bool sysInfoFlag136 = false;
  std::uint32_t rdtTotalLoops = 0;
  // A zero count taken as one or an exponent clamped: one plain report line each.
  std::vector<std::string> guardNotes;
};

// The record's fields only (the row table), no derivation. `bytes` holds
// kSystemInfoBytes bytes.
SystemInfo ReadSystemInfoFields(const std::uint8_t* bytes);
// The fields and everything derived from them.
SystemInfo DecodeSystemInfo(const std::uint8_t* bytes, const SystemInfoSettings& settings);

// 1 << exponent in 32 bits, saturated at 0xFFFFFFFF for exponents of 32 and up.
std::uint32_t SaturatedPowerOfTwo(std::uint32_t exponent);
// A size in MB snapped to the first power of two p (2 to 2^21) with
// 0.8 p < size < 1.2 p; unchanged when none is that close.
std::uint32_t SnapToPowerOfTwoMb(std::uint32_t mb);
// (B x U) >> 11 in 64 bits, saturated to 32; with noRound, B of 512 or more is
// first rounded down to a multiple of 512 and the result is not snapped.
std::uint32_t PhysicalSizeMb(std::uint32_t blocks, std::uint32_t unit, bool noRound);
// A capacity setting's value: its leading decimal digits, 0 when it begins
// with none, saturated at 0xFFFFFFFF.
std::uint32_t SettingCapacityValue(const std::string& text);

// What the check makes of a controller-reported error.
struct ControllerErrorReport {
  bool fails = false;       // false: the error is ignored
  std::string errorLine;    // "ErrorID=0x%02x, ErrorInfo=0x%04x"
  std::string message;      // from the error table
  std::string failCeLine;   // "     Fail CE: 0,2," or empty for the IDs without a CE list
  bool statusFlag = false;  // the port cell shows statusText after the run
  std::string statusText;
};
// An error fails the check when the ID is not 0 and the CE map is not 0, and
// either its info shares a CE with the map or the ID is one whose info is no
// CE mask (hardware-initialisation and DRAM errors). The fail-CE line and the
// status text list only the CEs of the map.
ControllerErrorReport DescribeControllerError(std::uint32_t errorId, std::uint32_t errorInfo, std::uint16_t ceMap);

}  // namespace kx
