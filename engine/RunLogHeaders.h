// The run logs and the work-order file of a log folder by name, what a
// working number may hold to be part of those names, and the headers written
// into the logs that are missing: the Total log's run summary and
// _Summary.log's zero counts (the Error log's column line is in
// device/ErrorLog.h, as the device writes that log too). Each header is
// written in one atomic replacement of the file, so that a log is either
// missing or whole; a log found missing as counts are added gets its header
// in the replacement that writes the counts, checked under that write's lock.
#pragma once
#include <string>
#include <vector>

#include "device/FileWrites.h"
#include "platform/WinTypes.h"

namespace kx {

// A page's log folder: "<configured>\<working number>", or without a
// configured folder ".\<working number>_<computer name>". A configured folder
// ending in "\" or "/" gives no doubled separator.
std::string LogFolderOf(const std::string& configured, const std::string& workingNo, const std::string& computerName);

// "<folder>\Total_<kind>.log" and "<folder>\Error_<kind>.log", the kind by
// the run's job mode: 1 "Init", 4 "QC", any other "Debug".
struct RunLogPaths {
  std::string total, error;
};
RunLogPaths RunLogPathsOf(const std::string& folder, int runKind);
// "<folder>\_Summary.log".
std::string SummaryLogPath(const std::string& folder);

// "WO_<working number>_<computer name>.txt": a log folder's work-order file (its result list).
std::string WorkOrderFileName(const std::string& workingNo, const std::string& computerName);
// Why a working number cannot be part of the pass's file names, the log
// folder's "<working number>_<computer name>" (or "<path>\<working number>")
// and the work-order file's WorkOrderFileName; empty when it can. Refused: "\"
// or "/" (the paths map both to a folder separator: the names would be folders
// that nothing makes), a control character (NUL included), "." or ".." whole
// (this folder, the folder above), and a working number whose work-order file
// name, the longest of them, is longer than a file name may be (255 bytes).
// Letters, digits, spaces, dots, '-', '_' and any other character pass.
std::string WorkingNoFault(const std::string& workingNo, const std::string& computerName);
// Why the computer name cannot be part of those names: it holds "\" or "/";
// empty when it can.
std::string ComputerNameFault(const std::string& computerName);

// Where a page's run summary takes what is not in the parameter file.
struct RunSummarySources {
  const char* stationFile;  // the file whose [General Info] TestStation is copied
  std::string workingNo;    // the page's shared working number; empty: the parameter file's
};

// The header of a new Total log, read from .\param.ini: Start and End Time
// `now`, zero totals, the station, the parameter-file settings (the
// KX7410-only ones for that family only, the flash capacity again as
// [Card Info] Capacity), the PC's MAC address and the program version.
// Each header's writer returns 0, or the Windows error number with the file as
// it was.
win::DWORD WriteRunSummary(const std::string& totalLog, const RunSummarySources& sources, const std::string& now);
// The header of a new _Summary.log: Start Time `now`, no End Time, zero counts
// and the [ErrorList] column line.
win::DWORD WriteSummaryLogHeader(const std::string& summaryLog, const std::string& now);
// Applies a pass's `counts` to _Summary.log. A log found missing (removed
// during the run, also just before the write) gets its header first, in the
// same replacement, Start Time `now`: counts alone would make a log without it
// that no later Start completes. A header the disk
// refuses leaves the log missing and refuses the counts with its error.
// 0 or the Windows error number.
win::DWORD AddSummaryCounts(const std::string& summaryLog, const std::vector<KeyUpdate>& counts,
                            const std::string& now);
// Applies a pass's `counts` to the Total log, `raised` as UpdateProfileKeys
// gives it. A log found missing (removed during the run) gets its run summary
// first, in the same replacement, from `sources`, Start Time `now`. Without sources (a job that no page
// started) there is no run summary to write: the log stays missing and the
// counts are refused with ERROR_FILE_NOT_FOUND. A header the disk refuses
// leaves the log missing and refuses the counts with its error.
win::DWORD AddTotalCounts(const std::string& totalLog, const RunSummarySources* sources,
                          const std::vector<KeyUpdate>& counts, const std::string& now, std::vector<int>* raised);

}  // namespace kx
