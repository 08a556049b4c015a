// The run logs of a log folder by name, and the headers a page writes into
// the ones that are missing: the Total log's run summary, the Error log's
// column line and _Summary.log's zero counts. Each header is written key by
// key through the profile calls; the caller holds the folder's profile write
// lock, so that finding a log missing and writing its header are one step for
// every process sharing the folder.
#pragma once
#include <string>

namespace kx {

// "<folder>\Total_<kind>.log" and "<folder>\Error_<kind>.log", the kind by
// the run's job mode: 1 "Init", 4 "QC", any other "Debug".
struct RunLogPaths {
  std::string total, error;
};
RunLogPaths RunLogPathsOf(const std::string& folder, int runKind);
// "<folder>\_Summary.log".
std::string SummaryLogPath(const std::string& folder);

// Where a page's run summary takes what is not in the parameter file.
struct RunSummarySources {
  const char* stationFile;  // the file whose [General Info] TestStation is copied
  std::string workingNo;    // the page's shared working number; empty: the parameter file's
};

// The header of a new Total log, read from .\param.ini: Start and End Time
// `now`, zero totals, the station, the parameter-file settings (the
// KX7410-only ones for that family only, the flash capacity again as
// [Card Info] Capacity), the PC's MAC address and the program version. The
// program version is the last write, so the thread's last error is that
// write's.
void WriteRunSummary(const std::string& totalLog, const RunSummarySources& sources, const std::string& now);
// The column line of a new Error log.
void WriteErrorLogHeader(const std::string& errorLog);
// The header of a new _Summary.log: Start Time `now`, no End Time, zero counts
// and the [ErrorList] column line.
void WriteSummaryLogHeader(const std::string& summaryLog, const std::string& now);

}  // namespace kx
