// The RDT read-out's decoding and judgement: the logs of protocol/RdtLogRecords.h
// as entries, their counts per plane, the limits the read-out judges by (all of
// them here, in one table), the verdict, the report lines and the block record.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/MediaRecords.h"
#include "protocol/RdtLogRecords.h"

namespace kx {

// ---- limits ----------------------------------------------------------------

// What a limit is held against.
enum class RdtMeasure : std::uint8_t {
  PlaneBad,  // early plus later bad blocks of the worst plane of one die, in blocks
  EraseBad,  // later bad blocks by cause, over the drive
  ProgramBad,
  ReadBad,
  EraseRatio,  // the same in percent of the tested CEs' blocks
  ProgramRatio,
  ReadRatio,
  TotalLater,
  TlcEcc,  // most bits corrected in one page, from the special log
  SlcEcc,
  TlcLoops,  // loops the RDT ran, from the RDT info record
  SlcLoops,
};
enum class RdtIni : std::uint8_t { FlashParam, ToolSetting };

struct RdtLimitRow {
  RdtMeasure measure;
  RdtIni file;  // the flash-maker parameter file or MPToolSetting.ini
  const char* section;
  const char* key;
  const char* enableKey;  // when set, the limit counts only while this key is 1
  bool percent;           // a percentage (decimals allowed); else a whole number
  bool minimum;           // the measure must reach the limit; else not exceed it
  const char* code;
  const char* label;  // "%s(...)" of the message; the plane row's is preceded by "CE%d Die%d Plane%d "
};

// A limit of 0, or a missing key, is not checked. The plane ratio is a
// percentage of one plane's blocks in one die.
inline constexpr RdtLimitRow kRdtLimits[] = {
    {RdtMeasure::PlaneBad, RdtIni::FlashParam, "RDT", "RDT_Plane_MaxBadBlkRatio_KX", nullptr, true, false, "F_T31",
     "Bad"},
    {RdtMeasure::EraseBad, RdtIni::FlashParam, "RDT", "RDT_MaxEraseBadBlkCount", nullptr, false, false, "F_T36",
     "Erase Bad"},
    {RdtMeasure::ProgramBad, RdtIni::FlashParam, "RDT", "RDT_MaxProgBadBlkCount", nullptr, false, false, "F_T36",
     "Program Bad"},
    {RdtMeasure::ReadBad, RdtIni::FlashParam, "RDT", "RDT_MaxReadBadBlkCount", nullptr, false, false, "F_T36",
     "Read Bad"},
    {RdtMeasure::EraseRatio, RdtIni::FlashParam, "RDT", "RDT_MaxEraseBadBlkRatio", nullptr, true, false, "F_T37",
     "Erase Bad Ratio"},
    {RdtMeasure::ProgramRatio, RdtIni::FlashParam, "RDT", "RDT_MaxProgBadBlkRatio", nullptr, true, false, "F_T37",
     "Program Bad Ratio"},
    {RdtMeasure::ReadRatio, RdtIni::FlashParam, "RDT", "RDT_MaxReadBadBlkRatio", nullptr, true, false, "F_T37",
     "Read Bad Ratio"},
    {RdtMeasure::TotalLater, RdtIni::ToolSetting, "General Info", "RDTLimit", nullptr, false, false, "F_T27",
     "Total Later Bad"},
    {RdtMeasure::TlcEcc, RdtIni::FlashParam, "RDT", "ECC_threshold", nullptr, false, false, "F_T38", "ECC"},
    {RdtMeasure::SlcEcc, RdtIni::FlashParam, "RDT", "SLC_ECC_threshold", nullptr, false, false, "F_T38", "SLC ECC"},
    {RdtMeasure::TlcLoops, RdtIni::FlashParam, "RDT", "Cycle", "Enable_Set_Cycle", false, true, "F_T39", "Loop"},
    {RdtMeasure::SlcLoops, RdtIni::FlashParam, "RDT", "Cycle_SLC", "Enable_Set_Cycle_SLC", false, true, "F_T39",
     "SLC Loop"},
};
inline constexpr std::size_t kRdtLimitCount = std::size(kRdtLimits);
using RdtLimitValues = std::array<double, kRdtLimitCount>;

// Raw logs are not saved while the RDT folder holds more than this.
inline constexpr std::uint64_t kRdtFolderMaxBytes = 1ull << 30;
// Logs are read in chunks; a log that runs past the maximum, or into a blank
// chunk, has lost its end.
inline constexpr std::uint32_t kRdtLogChunkSectors = 8;
inline constexpr std::uint32_t kRdtLogMaxSectors = 2048;

// The read-out's own failures besides the limits.
inline constexpr const char* kRdtInfoMissingCode = "F_T28";  // no RDT info record
inline constexpr const char* kRdtLogReadCode = "F_T29";      // a log command failed
inline constexpr const char* kRdtLogMarkCode = "F_T30";      // a log without its end entry
inline constexpr const char* kRdtNotFinishedCode = "F_T33";  // result code 0
inline constexpr const char* kRdtFailedCode = "F_T10";       // a result code with no row below
inline constexpr const char* kRdtDramCode = "F_T40";         // DRAM log entries

// The RDT's own failing verdicts, as the RDT result station reports them.
struct RdtResultRow {
  std::uint8_t result;
  const char* code;
  const char* message;
};
inline constexpr RdtResultRow kRdtResultCodes[] = {
    {rdtrun::kTestTimeOut, "I_T52", "RDT_RESULT_FLH_TEST_TIME_OUT"},
    {rdtrun::kBadBlocksOver, "I_T53", "RDT_RESULT_FLH_TEST_BB_OVER"},
    {rdtrun::kSystemBlockError, "I_T54", "RDT_RESULT_SYS_BlK_ERROR"},
    {rdtrun::kFlashIdError, "I_T55", "RDT_RESULT_FLH_ID_ERROR"},
    {rdtrun::kFlashIdMissing, "I_T55", "RDT_RESULT_FLH_ID_MISS_ERROR"},
};
// "RDT_RESULT_PASS", "RDT_RESULT_NOT_FINISHED", a row's message, or "RDT_RESULT_UNKNOWN".
std::string RdtResultName(std::uint8_t result);

// ---- logs ------------------------------------------------------------------

struct RdtBadBlockEntry {
  std::uint8_t ce = 0, die = 0, plane = 0, flags = 0;
  std::uint32_t block = 0;
};
struct RdtTemperatureEntry {
  std::uint16_t minute = 0;
  std::uint8_t celsius = 0, loop = 0;
};
struct RdtDramEntry {
  std::uint32_t address = 0;
  std::uint16_t bits = 0;
  std::uint8_t loop = 0;
};
struct RdtEccEntry {
  std::uint8_t ce = 0, die = 0, plane = 0;
  bool slc = false;
  std::uint16_t block = 0;
  std::uint8_t bits = 0, loop = 0;
};

// Entries before the log's end entry, looking from entry `from` on; nullopt when
// the bytes hold no end entry.
std::optional<std::size_t> RdtLogEntryCount(std::span<const std::uint8_t> bytes, rdtlog::Log log, std::size_t from = 0);

// Every log's entries; a log that was not read is empty.
struct RdtLogs {
  std::vector<RdtBadBlockEntry> badBlocks;
  std::vector<RdtTemperatureEntry> temperatures;
  std::vector<RdtDramEntry> dram;
  std::vector<RdtEccEntry> ecc;
};
// Decodes the `count` entries of one log into its list in `logs`.
void DecodeRdtLog(std::span<const std::uint8_t> bytes, std::size_t count, rdtlog::Log log, RdtLogs& logs);

// Bad blocks of one plane of one die: factory (early) and found by the RDT
// (later), the later ones by cause (an entry may carry several causes).
struct RdtPlaneCounts {
  std::uint32_t early = 0, later = 0, erase = 0, program = 0, read = 0;
};
using RdtPlaneKey = std::array<std::uint8_t, 3>;  // CE, die, plane
using RdtPlaneMap = std::map<RdtPlaneKey, RdtPlaneCounts>;
RdtPlaneMap CountRdtBadBlocks(const std::vector<RdtBadBlockEntry>& entries);
RdtPlaneCounts SumRdtPlanes(const RdtPlaneMap& planes);

// ---- judgement ---------------------------------------------------------------

struct RdtFindings {
  std::uint8_t result = rdtrun::kNotFinished;
  bool flashRead = true;  // the bad-block and special logs were read
  bool dramRead = true;   // the DRAM log was read
  RdtPlaneMap planes;
  std::uint32_t blocksPerPlane = 0;  // of one die
  std::uint64_t totalBlocks = 0;     // of the tested CEs
  std::uint8_t tlcEcc = 0, slcEcc = 0, tlcLoops = 0, slcLoops = 0;
  std::uint32_t dramErrors = 0;
};
// The findings' measures and worst plane from the RDT info record and the logs.
RdtFindings MakeRdtFindings(const RdtInfoRecord& info, const RdtLogs& logs, bool flashRead, bool dramRead,
                            std::uint32_t blocksPerPlane, std::uint64_t totalBlocks);

struct RdtVerdict {
  std::string code;  // empty: passed
  std::string message;
  std::uint32_t planeLimit = 0;  // blocks per plane of one die; 0 when not checked
  bool Passed() const { return code.empty(); }
};
// The RDT's own result code first, then the DRAM log, then the limits in table order.
// The limits of kRdtLimits (0 for one not set or not enabled): percentages
// from -100 to 100, whole numbers in 32 bits. False, with the setting's
// message, for a value that is not such a number.
bool ReadRdtLimits(const std::string& flashParamFile, RdtLimitValues& limits, std::string& message);
RdtVerdict JudgeRdt(const RdtFindings& f, const RdtLimitValues& limits);

// ---- output ------------------------------------------------------------------

std::vector<std::string> RdtSummaryLines(const RdtInfoRecord& info, const RdtLogs& logs, const RdtFindings& f,
                                         std::uint32_t physicalSizeMb);
// Every entry of every log, and the counts of each plane.
std::vector<std::string> RdtDetailLines(const RdtLogs& logs, const RdtFindings& f);

// The saved RDT record the progress line and the over-bad mask read: "RDT", the
// plane limit, and for CE c (0 to 15) at die slot 1 from CE 8 on (else 0) the
// counts of every plane summed over the CE's dies; CEs outside a non-zero run
// CE map are skipped. `record` holds scanrec::kSize bytes, zeroed here.
void FillRdtBlockRecord(std::uint8_t* record, const RdtPlaneMap& planes, std::uint32_t planeLimit,
                        std::uint16_t runCeMap);

}  // namespace kx
