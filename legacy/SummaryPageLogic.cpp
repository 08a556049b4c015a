#include "legacy/SummaryPageLogic.h"

#include <cstdio>

#include "device/Settings.h"
#include "platform/Files.h"
#include "platform/Identity.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace kx {
namespace {

constexpr const char* kParam = ".\\param.ini";

std::string Trim(const std::string& text, bool left = true) {
  const auto last = text.find_last_not_of(" \t");
  if (last == std::string::npos) return {};
  const auto first = left ? text.find_first_not_of(" \t") : 0;
  return text.substr(first, last - first + 1);
}

std::string Format(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

std::int64_t Count(const char* section, const std::string& key, const std::string& path) {
  const auto value = static_cast<std::int32_t>(win::GetPrivateProfileInt(section, key.c_str(), 0, path.c_str()));
  return value < 0 ? 0 : value;
}

int Bcd(std::uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); }

std::string Hex(const std::vector<std::uint8_t>& image, std::size_t from, std::size_t count) {
  std::string text;
  char digits[3];
  for (std::size_t i = from; i < from + count; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", image[i]);
    text += digits;
  }
  return text;
}

std::string Chars(std::uint8_t a, std::uint8_t b) {
  std::string text;
  // A zero byte ends the text, as it would in a formatted C string.
  if (a != 0) {
    text += static_cast<char>(a);
    if (b != 0) text += static_cast<char>(b);
  }
  return text;
}

}  // namespace

std::string CSummaryPageLogic::SummaryPathFor(int station, const std::string& computer, const std::string& logPath,
                                              const std::string& workingNo) {
  const std::string base =
      !logPath.empty() ? logPath : ".\\" + workingNo + "_" + computer + "\\" + (station == 5 ? "QC" : "MP") + "\\";
  return base + "_Summary.log";
}

void CSummaryPageLogic::Start() {
  m_Station = GetTestStation();
  const std::string logPath = Trim(win::GetPrivateProfileString("Log Path", "SetLogFolderPath", "", kParam));
  const std::string workingNo = Trim(win::GetPrivateProfileString("General Info", "WorkingNo", "", kParam));
  m_SummaryPath = SummaryPathFor(m_Station, platform::ComputerName(), logPath, workingNo);
  const std::string controller =
      Trim(win::GetPrivateProfileString("Device Info", "ControllerType", "", kParam)).substr(0, 19);
  m_Kx7410 = controller.size() >= 6 && platform::EqualsNoCase(controller.substr(0, 6), "KX7410");
}

bool CSummaryPageLogic::Generate() {
  if (!platform::FileExists(m_SummaryPath)) {
    win::AfxMessageBox("Don't found _Summary.log file !!!");
    return false;
  }
  // A count below 0 is no count; the total is taken wide enough for any two.
  const std::int64_t fail = Count("Results", "TotalErrorCount", m_SummaryPath);
  const std::int64_t pass = Count("Results", "Pass", m_SummaryPath);
  const std::int64_t total = fail + pass;
  const double failRate =
      fail != 0 && total != 0 ? 100.0 * static_cast<double>(fail) / static_cast<double>(total) : 0.0;
  const double passRate = pass != 0 && total != 0 ? 100.0 - failRate : 0.0;
  m_Cards = {{"Total Card", std::to_string(total), "100%"},
             {"Total Pass Card", std::to_string(pass), Format("%2.2f%%", passRate)},
             {"Total Fail Card", std::to_string(fail), Format("%2.2f%%", failRate)}};
  m_Errors.clear();
  std::string data;
  if (platform::ReadFileBytes(m_SummaryPath, data) != 0) {
    win::AfxMessageBox("Open _Summary.log file Failed!!!");
    return true;
  }
  // The keys of [ErrorList] but its "ErrorCode" header, each inserted at the top.
  for (const std::string& key : win::GetPrivateProfileKeyNames("ErrorList", m_SummaryPath)) {
    if (platform::EqualsNoCase(key, "ErrorCode")) continue;
    const std::int64_t count = Count("ErrorList", key, m_SummaryPath);
    const double rate = fail != 0 ? 100.0 * static_cast<double>(count) / static_cast<double>(fail) : 0.0;
    m_Errors.insert(m_Errors.begin(), {key, std::to_string(count), Format("%3.2f%%", rate)});
  }
  return true;
}

std::vector<std::string> CSummaryPageLogic::FormatMpBinHeader(const std::vector<std::uint8_t>& image) {
  std::vector<std::uint8_t> b(image);
  b.resize(512, 0);
  char line[160];
  std::vector<std::string> lines;
  std::snprintf(line, sizeof line, "BIN Build Time: %04d-%02d%02d-%02d:%02d:%02d\r", Bcd(b[503]) * 100 + Bcd(b[504]),
                Bcd(b[505]), Bcd(b[506]), Bcd(b[507]), Bcd(b[508]), Bcd(b[509]));
  lines.emplace_back(line);
  lines.push_back("Header Mark: " + Chars(b[0], b[1]) + "\r");
  const unsigned version = static_cast<unsigned>(b[2]) << 8 | b[3];
  lines.push_back("IC Version: " + std::to_string(version) + Chars(b[21], b[22]) + "\r");
  std::snprintf(line, sizeof line, "IC Firmware Version: %x\r", version);
  lines.emplace_back(line);
  lines.push_back("PRAM Code Size= 0x" + Hex(b, 7, 4) + "\r");
  lines.push_back("PRAM Code CHKSUM= " + Hex(b, 11, 2) + "\r");
  lines.push_back("Flash Code Size= 0x" + Hex(b, 14, 4) + "\r");
  lines.push_back("Flash Code CHKSUM= " + Hex(b, 18, 2) + "\r");
  lines.push_back("Header Mark: " + Hex(b, 510, 2) + "\r");
  return lines;
}

std::vector<std::string> CSummaryPageLogic::ReadMpBinHeader() const {
  if (!m_Kx7410) return {};
  const std::string name = Trim(win::GetPrivateProfileString("Device Info", "ISP_MPBINCode", "", kParam), false);
  std::string data;
  std::uint64_t size = 0;
  std::string path = name;
  if (!platform::FileExists(path) || platform::DirectoryExists(path)) {
    const auto sep = name.rfind('\\');
    path = ".\\" + (sep == std::string::npos ? name : name.substr(sep + 1));
    if (!platform::FileExists(path) || platform::DirectoryExists(path)) return {};
  }
  if (platform::GetFileSize(path, size) != 0) {
    win::AfxMessageBox("Failed !! MP BIN Code Filesize(0) =0 ");
    return {};
  }
  if (platform::ReadFileStart(path, data, 512) != 0 || data.empty()) {
    win::AfxMessageBox("Read MP BIN Code Failed !!!");
    return {};
  }
  return FormatMpBinHeader(std::vector<std::uint8_t>(data.begin(), data.end()));
}

std::vector<std::string> CSummaryPageLogic::Choices() const {
  std::vector<std::string> choices{m_SummaryPath};
  if (m_ReportFolder.empty()) return choices;
  win::WIN32_FIND_DATA found;
  const std::string pattern = m_ReportFolder + "\\*_Summary.xls";
  win::HANDLE find = win::FindFirstFile(pattern.c_str(), &found);
  if (find == win::INVALID_HANDLE_VALUE) return choices;
  do choices.push_back(m_ReportFolder + "\\" + found.cFileName);
  while (win::FindNextFile(find, &found));
  win::FindClose(find);
  return choices;
}

void CSummaryPageLogic::Choose(const std::string& path) {
  const auto sep = path.rfind('\\');
  m_ReportFolder = sep == std::string::npos ? "." : path.substr(0, sep);
  const std::string file = sep == std::string::npos ? path : path.substr(sep + 1);
  const auto stem = file.rfind("_Summary.");
  m_ReportName = stem == std::string::npos ? std::string() : file.substr(0, stem);
}

std::string CSummaryPageLogic::ReportText() const {
  std::string text;
  for (const auto* rows : {&m_Cards, &m_Errors})
    for (const SummaryRow& row : *rows) text += row.name + "\t" + row.count + "\t" + row.rate + "\r\n";
  return text;
}

bool CSummaryPageLogic::SaveAsText() {
  if (!CanSave()) return false;
  return platform::WriteFileBytes(m_ReportFolder + "\\" + m_ReportName + "_Summary.log", ReportText()) == 0;
}

}  // namespace kx
