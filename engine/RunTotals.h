// A production pass's result codes added to the run logs of its log folder:
// [Total Results] of the Total log and the counts of _Summary.log. Several
// processes may share the folder; each file is changed in one replacement
// under the folder's profile write lock, so no process's pass is lost and
// Total stays Good + Bad, also after a kill.
#pragma once
#include <cstddef>
#include <string>

namespace kx {

// A port without a job or a drive ("H_F8", "H_AF", "T_01", "P_A01", "P_x01")
// counts neither as passed nor as failed.
bool IsUncountedResult(const std::string& code);

struct PassTotals {
  int passed = 0, failed = 0;        // this pass
  int total = 0, good = 0, bad = 0;  // the Total log's new totals
};

// Counts the first `ports` codes ("0_00" passed, any other counted code
// failed) and adds them: Total, Good and Bad and [Time] End Time = `now` to the
// Total log; End Time, Pass, TotalErrorCount and one for each failed port to
// its code's [ErrorList] key to `summaryLog`.
PassTotals AddPassTotals(const std::string* codes, std::size_t ports, const std::string& totalLog,
                         const std::string& summaryLog, const std::string& now);

}  // namespace kx
