// What the summary page shows, without its window: card totals with pass and
// fail rates and the error codes of a run's _Summary.log, the header of the
// production firmware image, and the text report it saves.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

struct SummaryRow {
  std::string name;
  std::string count;
  std::string rate;
};

class CSummaryPageLogic {
 public:
  // Page start: reads the station, the computer name and .\param.ini.
  void Start();
  // "<base>_Summary.log": the configured log path as it stands, else
  // ".\<working no>_<computer>\QC\" at station 5 and "...\MP\" otherwise.
  static std::string SummaryPathFor(int station, const std::string& computer, const std::string& logPath,
                                    const std::string& workingNo);

  // Rebuilds both lists from the summary path; false (after a message box)
  // when there is no summary, in which case the lists stay as they were.
  bool Generate();
  // Card rows top to bottom: Total, Total Pass, Total Fail.
  const std::vector<SummaryRow>& Cards() const { return m_Cards; }
  // Error rows as inserted (each at the top), before the list's sort.
  const std::vector<SummaryRow>& Errors() const { return m_Errors; }

  // Lines of the firmware header read-out (each ending in CR); empty unless
  // the controller type is KX7410 and the image can be read.
  std::vector<std::string> ReadMpBinHeader() const;
  static std::vector<std::string> FormatMpBinHeader(const std::vector<std::uint8_t>& image);

  // The spreadsheet choices: the summary path, then each "*_Summary.xls" of the report folder.
  std::vector<std::string> Choices() const;
  // A chosen summary names the saved report: its folder and the stem before "_Summary.".
  void Choose(const std::string& path);
  // Saving needs a folder and a name, so it never replaces a run's own _Summary.log.
  bool CanSave() const { return !m_ReportFolder.empty() && !m_ReportName.empty(); }
  std::string ReportText() const;
  // Writes "<folder>\<name>_Summary.log" anew with the report text.
  bool SaveAsText();

  const std::string& SummaryPath() const { return m_SummaryPath; }
  bool Kx7410() const { return m_Kx7410; }
  int Station() const { return m_Station; }

 private:
  std::string m_SummaryPath;
  std::string m_ReportFolder;
  std::string m_ReportName;
  bool m_Kx7410 = false;
  int m_Station = 0;
  std::vector<SummaryRow> m_Cards;
  std::vector<SummaryRow> m_Errors;
};

}  // namespace kx
