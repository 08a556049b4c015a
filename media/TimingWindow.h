// Plain rules of the flash timing-window scan: the duty table and the scanned
// range, the shape of the edge table, the pad-and-drive block with its data
// pattern, the scan reply, the common window of a duty and channel, the duty
// choice, the offset encoding, the verdict on one die and the failed-CE texts.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bringup/DeviceChecks.h"

namespace kx {

// Duty values the duty indexes 0 to 15 select.
inline constexpr std::array<std::uint8_t, 16> kDutyTable = {0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15};
inline constexpr std::uint32_t kDutyCount = 16;
// One duty's edge entries: 4 edges of at most 128 dies.
inline constexpr std::size_t kEdgesPerDuty = 512;
inline constexpr std::uint32_t kClearedEdge = 0xFF;
inline constexpr std::uint32_t kScanChannels = 2;
inline constexpr std::uint32_t kScanBanks = 8;
// A read edge above this fails the scan.
inline constexpr std::uint32_t kReadEdgeLimit = 0x200;
inline constexpr int kDefaultWindowCriteria = 50;
// Start values of the common window: the largest minimum, the smallest maximum.
inline constexpr std::uint32_t kWindowStartFloor = 0;
inline constexpr std::uint32_t kWindowEndCeiling = 0x1FF;

// Edges in reply order within a channel.
enum ScanEdge : int { kReadMin = 0, kReadMax = 1, kWriteMin = 2, kWriteMax = 3 };

// The duty indexes scanned, [first, end): End_REB_Duty 0 means 1, and both
// ends are clamped to 0..16 so that only indexes 0 to 15 are used.
struct DutyRange {
  int first = 0;
  int end = 0;
};
DutyRange ClampDutyRange(int startSetting, int endSetting);

// The edge table's shape: CEs per channel = flash count / channels.
struct ScanGeometry {
  std::uint32_t channels = 1;
  std::uint32_t cesPerChannel = 0;
  std::uint32_t diesPerCe = 1;
};
// None when the shape does not fit the tables: no channel or more than two,
// more than 8 banks per channel, more than 128 dies.
std::optional<ScanGeometry> MakeScanGeometry(std::int32_t flashCount, std::uint32_t channels, std::uint32_t diesPerCe);
// Entry of edge k of (channel, bank, die) within one duty's entries.
std::size_t EdgeIndex(const ScanGeometry& g, std::uint32_t channel, std::uint32_t bank, std::uint32_t die, int k);

// Sectors written per die and sent with each Scan_SDLL: the system
// information's write length, at most what the one-byte count and the buffer hold.
std::uint8_t ScanWriteSectors(std::uint32_t sysInfo28, std::size_t bufferBytes);

// The 482-byte data pattern of the pad-and-drive block.
inline constexpr std::size_t kScanPatternSize = 482;
void BuildScanPattern(std::uint8_t* out482);
// The 1024-byte pad-and-drive block before any setting: interface, clock level,
// the LDPC error bits 0x03FF at 18-19 and the pattern at 512.
inline constexpr std::size_t kPadBlockSize = 1024;
inline constexpr std::uint16_t kDefaultLdpcErrorBits = 0x03FF;
void BuildPadAndDriveBlock(std::uint8_t* out1024, std::uint8_t flashInterface, std::uint8_t clockLevel);
// [Options] keys that replace bytes 0 to 17 of the block when not 0.
extern const std::array<const char*, 18> kPadOptionKeys;
// The value of a hexadecimal setting: an optional "0x", then at most maxDigits
// digits; none when the text does not start with a digit.
std::optional<std::uint32_t> ParseHexSetting(const std::string& text, int maxDigits);

// The first 24 bytes of the scan reply.
struct ScanReply {
  std::array<std::array<std::uint16_t, 4>, kScanChannels> edges{};
  std::array<std::array<bool, 4>, kScanChannels> missing{};  // both bytes 0xAA
  std::array<std::uint16_t, kScanChannels> readRef{};
  std::array<std::uint16_t, kScanChannels> writeRef{};
};
ScanReply DecodeScanReply(const std::uint8_t* reply);
// The message of an edge the controller did not find.
std::string EdgeNotFoundText(std::uint32_t channel, int k, std::uint32_t bank, std::uint32_t die);

// The window every bank and die of a channel share at one duty.
struct CommonWindow {
  std::uint32_t readStart = kWindowStartFloor;
  std::uint32_t readEnd = kWindowEndCeiling;
  std::uint32_t writeStart = kWindowStartFloor;
  std::uint32_t writeEnd = kWindowEndCeiling;
};
CommonWindow FindCommonWindow(const std::uint32_t* dutyEdges, const ScanGeometry& g, std::uint32_t channel);
// end - start; 0 for an empty window (start after end).
std::uint32_t WindowWidth(std::uint32_t start, std::uint32_t end);
// The summary's figure: end - start + 1; 0 for an empty window.
std::uint32_t WindowSpan(std::uint32_t start, std::uint32_t end);

// The duty with the strictly widest read window, in scan order (ties keep the
// first); 0 when none is wider than 0.
struct DutyWidth {
  std::uint32_t duty = 0;
  std::uint32_t width = 0;
};
std::uint32_t ChooseWidestDuty(const std::vector<DutyWidth>& inScanOrder);

// centre - reference as 16-bit sign and magnitude: positive as is, zero or
// negative as the magnitude with 0x8000; magnitudes above 0x7FFF saturate.
std::uint32_t SignMagnitude(std::int64_t difference);

// The verdict on one die of a chosen duty: inverted read pair, inverted write
// pair, read window below the minimum, write window below it; none when it passes.
std::optional<StepFailure> JudgeDie(std::uint32_t duty, std::uint32_t channel, std::uint32_t bank, std::uint32_t die,
                                    const std::uint32_t* edges4, int minWidth);

// " CE_n" for each set FailCE[channel][bank]: the (bank+1)-th set bit of the
// channel's mapping, +8 on CH1; " CE_?" when the mapping has too few bits.
std::string FailCeText(const std::array<std::array<std::uint8_t, kScanBanks>, kScanChannels>& failCe,
                       std::uint32_t mapping0, std::uint32_t mapping1);
// " Fail CE: " and "n," for each set bit, empty for 0.
std::string FailCeList(std::uint32_t errorInfo);
// "[a,b]" of the board names of the set bits, each name once, an empty one too
// ("[]" for CEs without names); empty for 0.
std::string FailCeNames(std::uint32_t errorInfo, const std::function<std::string(std::uint16_t)>& nameOf);

}  // namespace kx
