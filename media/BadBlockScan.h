// Plain pieces of the bad-block scan (media/BadBlockScan.cpp and
// media/BadBlockScanReadOut.cpp): the per-plane limits, the target size, the
// firmware cap, the plane digits, the CE numbers, the later-count capping, the
// report texts of the count lines, of the read-out listing and of the RDT
// summary, and the auto-capacity search; also the working values of one scan
// and the later-bad result page's read-out flag and limit text.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/AppHolders.h"
#include "media/BbtCount.h"
#include "platform/WinTypes.h"
#include "protocol/MediaRecords.h"

class IProgressBar;

namespace kx {

// value - offset, never below 0.
std::uint32_t SubtractFloor(std::uint32_t value, std::uint32_t offset);
// ((maxBlockPerCe x percent) / 100) / dies / planes, each division unsigned and
// whole (a zero divisor counts as 1), then less offset with floor 0.
std::uint32_t PercentPlaneLimit(std::uint32_t maxBlockPerCe, std::uint32_t percent, std::uint32_t dies,
                                std::uint32_t planes, std::uint32_t offset);
// Partial size in GB of a [Flash Info] Flh_Capacity value (MB); 0 when it is not listed.
std::uint32_t PartialSizeGb(std::uint32_t flhCapacity);
// IDEMA rule on a size in GB in floating point, truncated: (GB - 50) x 1953504 + 97696368.
std::int64_t ScanTargetLba(double gb);
// Die size in GB: 2^log2Size / dies, truncated; saturated for sizes beyond 32 bits.
std::uint32_t DieSizeGb(std::uint32_t log2Size, std::uint32_t dies);

// What the settings cap of the controller's per-plane limit depends on.
struct FlashShape {
  bool dpsTable = false;
  bool mlc = false;
  bool tlc = false;
  bool twoPlane = false;
  bool fourPlane = false;
  bool toggleAEx = false;
  std::uint32_t dieSizeGb = 0;
};
// The first matching cap of the known flash shapes; 0 for none.
std::uint32_t FirmwareLimitCap(const FlashShape& shape);

// Plane digit of a BIN type: ".2", "312", "362" -> "2"; "311" -> "1"; ".4", "374"
// -> "4"; "315" -> "5"; "316" -> "6" (first rule that matches); else the text itself.
std::string BinPlaneDigit(const std::string& binType);
// The third character of the RDT firmware version (bytes 50-53, zero-terminated); empty when shorter.
std::string RdtPlaneDigit(const RdtInfoRecord& info);

// The later-bad result page's limit text: "" or "0" is none (false); a text with
// '%' is a percentage of the blocks (the number before it), else a per-plane count.
struct PageLimit {
  bool percent = false;
  std::uint32_t value = 0;
};
bool ParsePageLimit(const std::string& text, PageLimit& out);

// Printed CE number of CE index i: the position of the (i + 1)-th set bit of
// the CE position mask; i itself when the mask has fewer bits set.
std::uint32_t PositionOfCe(std::uint32_t index, std::uint64_t positionMask);

// Later total shown with the SMART re-init rounding: ((later - 1) / 5) x 5.
std::uint32_t RoundedLaterTotal(std::uint32_t later);

// Later counts by cause filter (0 all causes, 1..12), each [CE][die][plane].
using LaterCounts = std::array<PlaneCounts, 13>;
// Trims the counts of cause filter 0, and of filters 1 to 4 taken together, so
// that each adds up to at most `rounded` over the whole drive (CE, die, plane order).
void CapLaterCounts(LaterCounts& later, std::uint32_t rounded);

// "Plane0=%d<sep>Plane1=%d..." over the first `planes` counts (at most 4).
std::string PlaneCountText(const std::uint32_t* counts, std::uint32_t planes, const char* separator);

// One line of the read-out's later listing (cause row 0..12 of a plane group):
// its kind word, the blank count before it and its suffix. `readText` picks the
// "(P)" read text of rows 2, 7 and 10.
struct ListingText {
  const char* kind = "Later";
  bool fiveBlanks = false;
  std::string suffix;
};
ListingText LaterListingText(std::uint32_t row, std::uint32_t planes, std::uint32_t group, bool readText);
// Rows whose text may be relabelled as a read failure.
bool RowHasReadText(std::uint32_t row);
// The whole listing line of one block.
std::string LaterListingLine(std::uint32_t row, std::uint32_t planes, std::uint32_t group, bool readText,
                             std::uint32_t channel, std::uint32_t ce, std::uint32_t die, std::uint32_t block);

// The RDT summary lines from "[RDT Setting]" to "RDT_FWVersion      %s".
std::vector<std::string> RdtSummaryLines(const RdtInfoRecord& info);
// "RAW = " and the 64 bytes, 16 to a row.
std::string RdtRawText(const RdtInfoRecord& info);
// "Identify_FW Version = " and IDENTIFY words 23 to 26, each word's high byte first.
std::string IdentifyFirmwareLine(const std::uint8_t* identify512);
// "SMART_Spare Block = %d" for each spare-block entry of the SMART entry page,
// with the paired attribute's raw value times the flash count.
std::vector<std::string> SmartSpareLines(const std::uint8_t* smart512, const std::uint8_t* entries512,
                                         std::int32_t flashCount);

// Adds a flash position name to a replacement list "[a,b": the first name opens
// it, a name already listed (as a whole entry) is not added again.
void AddReplaceName(std::string& list, const std::string& name);

// Auto capacity: the first CE index below ceBound (CEs outside a non-zero map
// skipped) with a plane of its dies at or above the limit; -1 when none.
int FirstCeAtOrOverLimit(const PlaneCounts& early, std::uint32_t ceBound, std::uint16_t ceMap, std::uint32_t dies,
                         std::uint32_t planes, std::uint32_t limit);
// The first position whose size is at or below the target; -1 when none.
int FirstSizeAtOrBelow(const std::vector<std::int32_t>& sizes, std::int32_t target);

constexpr std::uint8_t kCeOverSpec = 0x7D;

// The working values of one bad-block scan.
struct ScanRun {
  // Arguments.
  bool scanMode = true;
  bool addressArgument = false;
  bool withDriveInfo = false;
  IProgressBar* progress = nullptr;
  int progressSpan = 0;
  std::uint8_t* record = nullptr;
  // The later-bad result page's read-out, taken at entry.
  bool pageReadOut = false;
  // Settings.
  bool autoCapacity = false;
  bool dynamicCe = false;
  bool showAddresses = false;
  bool smartC4ReInit = false;
  bool programToRead = false;
  std::uint32_t perPlaneLimit = 0;
  std::uint32_t laterSpec = 1;
  std::uint32_t maxBBOffset = 0;
  // Verdict inputs.
  std::array<std::uint8_t, 64> ceMark{};
  bool overSpec = false;
  bool laterOverSpec = false;
  std::uint32_t ceBound = 0;
  // Progress and timing.
  int progressStep = 1;
  int progressDone = 0;
  win::DWORD start = 0;
  // The table and its counts.
  bool tableTouched = false;
  BbtParameter param;
  PlaneCounts early{};
  std::unique_ptr<LaterCounts> later;  // read-out mode only
  std::uint32_t laterRounded = 0xFFFFFFFFu;
  int programToReadLines = 0;
  std::unique_ptr<BlockList> list;  // with the address listings only
};

}  // namespace kx

// Set by the later-bad result page just before it starts its read-out thread;
// the read-out scan takes (and clears) it. While it is set the scan chooses no
// auto capacity and allows no later-bad block per CE unless LaterBad_Spec says so.
extern std::atomic<std::uint8_t> g_LaterBadReadOut;
// The page's limit box, read by that scan: "3%" a percentage, "12" a per-plane count.
extern kx::SharedText g_LaterBadLimitText;
