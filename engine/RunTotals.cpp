#include "engine/RunTotals.h"

#include <vector>

#include "device/FileWrites.h"
#include "platform/Profile.h"

namespace kx {

bool IsUncountedResult(const std::string& code) {
  return code == "H_F8" || code == "H_AF" || code == "T_01" || code == "P_A01" || code == "P_x01";
}

PassTotals AddPassTotals(const std::string* codes, std::size_t ports, const std::string& totalLog,
                         const std::string& summaryLog, const std::string& now) {
  PassTotals t;
  std::vector<KeyUpdate> summary{{"Time", "End Time", now, {}}, {"Results", "Pass", "", 0},
                                 {"Results", "TotalErrorCount", "", 0}};
  for (std::size_t i = 0; i < ports; ++i) {
    if (IsUncountedResult(codes[i])) continue;
    if (codes[i] == "0_00") {
      ++t.passed;
    } else {
      ++t.failed;
      summary.push_back({"ErrorList", codes[i], "", 1});  // a code failed on two ports counts twice
    }
  }
  summary[1].add = t.passed;
  summary[2].add = t.failed;

  platform::ProfileWriteLock lock(totalLog);
  std::vector<int> totals;
  UpdateProfileKeys(totalLog,
                    {{"Total Results", "Total", "", t.passed + t.failed},
                     {"Total Results", "Good", "", t.passed},
                     {"Total Results", "Bad", "", t.failed},
                     {"Time", "End Time", now, {}}},
                    &totals);
  t.total = totals[0], t.good = totals[1], t.bad = totals[2];
  UpdateProfileKeys(summaryLog, summary);
  return t;
}

}  // namespace kx
