// A production pass's result codes added to the run logs of its log folder:
// [Total Results] of the Total log and the counts of _Summary.log. Several
// processes may share the folder; each file is changed in one replacement
// under the folder's profile write lock, so no process's pass is lost and
// Total stays Good + Bad, also after a kill.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/RunLogHeaders.h"
#include "platform/WinTypes.h"

namespace kx {

// A port without a job or a drive ("H_F8", "H_AF", "T_01", "P_A01", "P_x01")
// counts neither as passed nor as failed.
bool IsUncountedResult(const std::string& code);

struct PassTotals {
  int passed = 0, failed = 0;        // this pass
  int total = 0, good = 0, bad = 0;  // the totals the Total log holds afterwards
  // Each log that did not take the pass, with the Windows error number.
  std::vector<std::pair<std::string, std::uint32_t>> refused;
};

// [Total Results] Total, Good and Bad of the Total log (0 where missing) into
// `totals`.
void ReadTotalCounts(const std::string& totalLog, PassTotals& totals);

// Counts the first `ports` codes ("0_00" passed, any other counted code
// failed) and adds them: Total, Good and Bad and [Time] End Time = `now` to the
// Total log; End Time, Pass, TotalErrorCount and one for each failed port to
// its code's [ErrorList] key to `summaryLog` (a missing one given its header
// first, AddSummaryCounts). True when both files took the pass; otherwise
// `totals.refused` names the files that did not.
// `sources`: the page's run summary, for a Total log found missing
// (AddTotalCounts: without them, or with a header the disk refuses, the log
// stays missing and takes no counts).
bool AddPassTotals(const std::string* codes, std::size_t ports, const std::string& totalLog,
                   const std::string& summaryLog, const std::string& now, PassTotals& totals,
                   const RunSummarySources* sources = nullptr);

// What the operator is told of a pass that logs refused: one line per file,
// naming it and the operating-system error.
std::string PassNotCountedText(const PassTotals& totals);

}  // namespace kx
