// Settings reads and small decisions that several station procedures share.
// Engine-internal: only engine/*.cpp include it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

class CPortDevice;
class IProgressBar;
namespace kx {
struct BbtParameter;  // protocol/MediaRecords.h
}

namespace kx::proc {

inline constexpr const char* kToolSetting = ".\\Configuration\\System\\MPToolSetting.ini";

// An integer of the parameter file, the flash-maker file or the tool's settings.
int ParamInt(const char* section, const char* key, int defaultValue);
int OptionInt(const char* key, int defaultValue);  // param.ini [Options]
int FdbInt(const char* section, const char* key, int defaultValue);
int ToolInt(const char* key, int defaultValue);  // MPToolSetting.ini [General Info]

// The report line naming a settings file that cannot be read (missing, or a
// folder in its place) with the system's reason: "Setting file <path> cannot
// be read: OS error <n>, <text>". Nothing when it can be read, empty or not.
void ReportUnreadableSettings(CPortDevice& d, const std::string& path);

// A text key into the job's scratch text (at most bufferSize-1 characters), trimmed.
const std::string& ReadText(std::string& scratch, const char* section, const char* key, const std::string& file,
                            std::size_t bufferSize);

// What the sorted-BBT restore fills from the drive's BBT header: the table's
// bytes with 0xFF, then its first bytes with 0. The header's fields multiply in
// 64 bits; the caller checks both against the table it holds.
struct SortedBbtFill {
  std::uint64_t tableBytes = 0;
  std::uint64_t clearBytes = 0;
};
SortedBbtFill SortedBbtFillOf(const BbtParameter& header);

// The codes of a port without a drive.
bool IsNoDriveCode(const std::string& code);
// Entries of the 512-byte scanned flash-ID table whose first seven bytes are not all zero.
int CountFlashIds(const std::uint8_t* table512);

// The write/read burn-in that [Write_Read BurnIn] chooses (Loop; Percent with
// SetPercent 1, else Capacity with SetCapacity 1); true when neither is chosen.
// byCapacity tells whether the capacity form ran.
bool RunSetBurnIn(CPortDevice& d, IProgressBar* progress, int endPosition, bool& byCapacity);

// After a failed write/read test: when a current reading is owed (and `read`),
// the maximum current as "%.2f" into m_StatWRText, the test's failure kept; the
// owed mark is cleared in any case.
void TakeOwedCurrent(CPortDevice& d, bool read);

}  // namespace kx::proc
