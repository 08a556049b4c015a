#include "engine/RunTotals.h"

#include <vector>

#include "device/Environment.h"
#include "device/FileWrites.h"
#include "device/Format.h"
#include "engine/RunLogHeaders.h"
#include "platform/FolderLock.h"

namespace kx {

bool IsUncountedResult(const std::string& code) {
  return code == "H_F8" || code == "H_AF" || code == "T_01" || code == "P_A01" || code == "P_x01";
}

void ReadTotalCounts(const std::string& totalLog, PassTotals& t) {
  t.total = ReadProfileInt("Total Results", "Total", 0, totalLog.c_str());
  t.good = ReadProfileInt("Total Results", "Good", 0, totalLog.c_str());
  t.bad = ReadProfileInt("Total Results", "Bad", 0, totalLog.c_str());
}

bool AddPassTotals(const std::string* codes, std::size_t ports, const std::string& totalLog,
                   const std::string& summaryLog, const std::string& now, PassTotals& t,
                   const RunSummarySources* sources) {
  t = PassTotals{};
  std::vector<KeyUpdate> summary{
      {"Time", "End Time", now, {}}, {"Results", "Pass", "", 0}, {"Results", "TotalErrorCount", "", 0}};
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
  const win::DWORD totalError = AddTotalCounts(totalLog, sources,
                                                {{"Total Results", "Total", "", t.passed + t.failed},
                                                 {"Total Results", "Good", "", t.passed},
                                                 {"Total Results", "Bad", "", t.failed},
                                                 {"Time", "End Time", now, {}}},
                                                now, &totals);
  if (totalError == 0) {
    t.total = totals[0], t.good = totals[1], t.bad = totals[2];
  } else {
    // The counts shown are the ones on disk.
    t.refused.emplace_back(totalLog, totalError);
    ReadTotalCounts(totalLog, t);
  }
  if (const win::DWORD err = AddSummaryCounts(summaryLog, summary, now); err != 0)
    t.refused.emplace_back(summaryLog, err);
  return t.refused.empty();
}

std::string PassNotCountedText(const PassTotals& totals) {
  std::string text;
  for (const auto& [file, error] : totals.refused) {
    if (!text.empty()) text += "\r\n";
    text += StrFormat("The pass is not counted in %s: %s", file.c_str(), OsErrorText(error).c_str());
  }
  return text;
}

}  // namespace kx
