#include "engine/RunLogHeaders.h"

#include <cstddef>
#include <string_view>

#include "device/Environment.h"
#include "device/Format.h"
#include "device/Settings.h"
#include "platform/Paths.h"

namespace kx {

namespace {

constexpr char kParamIni[] = ".\\param.ini";
constexpr char kMacFile[] = ".\\PC_MAC_Address.txt";

// The parameter-file settings a new Total log copies, in order, after its
// TestStation: section, key, the buffer they are read into (so at most size-1
// characters) and whether only the KX7410 family has them.
struct RunSummaryKey {
  const char* section;
  const char* key;
  std::size_t size;
  bool kx7410Only;
};

constexpr RunSummaryKey kRunSummaryKeys[] = {
    {"General Info", "WorkingNo", 100, false},     {"General Info", "ModelName", 100, false},
    {"General Info", "MaxCurrent", 100, false},    {"General Info", "SlotNumber", 100, false},
    {"Flash Info", "Flh_Type", 100, false},        {"Flash Info", "Flh_MakeCode", 100, false},
    {"Flash Info", "Flh_DeviceCode", 100, false},  {"Flash Info", "Flh_Number", 100, false},
    {"Flash Info", "Flh_Capacity", 100, false},    {"Flash Info", "Flh_LogicalSize", 100, false},
    {"Flash Info", "Flh_ID", 100, false},          {"Device Info", "ControllerType", 100, false},
    {"Device Info", "ICFWVersion", 100, false},    {"Device Info", "ISP_CodeVersion", 100, true},
    {"Device Info", "ISP_MPBINCode", 100, true},   {"Device Info", "SATASpeed", 100, false},
    {"Options", "OnlyDoISP", 100, false},          {"Options", "SkipBuildFAT", 10, false},
    {"Options", "AutoIncreseSerialNum", 10, false}, {"Options", "DDRSize", 10, false}};

std::string ReadText(const char* section, const char* key, const char* file, std::size_t size) {
  return TrimBlanks(ReadProfileText(section, key, file, size));
}

void Write(const char* section, const char* key, const std::string& value, const std::string& file) {
  WriteProfileText(section, key, value, file);
}

}  // namespace

RunLogPaths RunLogPathsOf(const std::string& folder, int runKind) {
  const char* kind = runKind == 1 ? "Init" : runKind == 4 ? "QC" : "Debug";
  return {StrFormat("%s\\Total_%s.log", folder.c_str(), kind), StrFormat("%s\\Error_%s.log", folder.c_str(), kind)};
}

std::string SummaryLogPath(const std::string& folder) { return StrFormat("%s\\_Summary.log", folder.c_str()); }

std::string WorkOrderFileName(const std::string& workingNo, const std::string& computerName) {
  return "WO_" + workingNo + "_" + computerName + ".txt";
}

std::string WorkingNoFault(const std::string& workingNo, const std::string& computerName) {
  constexpr std::size_t kNameMax = 255;  // bytes of one file name (NAME_MAX; Windows' limit too)
  for (const char c : workingNo) {
    if (c == '\\' || c == '/') return StrFormat("it holds \"%c\", which the paths take for a folder separator", c);
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return StrFormat("it holds the control character 0x%02X", byte);
  }
  if (workingNo == ".") return "\".\" names the folder it stands in, not a name of its own";
  if (workingNo == "..") return "\"..\" names the folder above, not a name of its own";
  const std::string workOrder = WorkOrderFileName(workingNo, computerName);
  if (workOrder.size() > kNameMax)
    return StrFormat("the work-order file's name, WO_<WorkingNo>_%s.txt, would be %zu bytes long, more than the %zu "
                     "a file name may have",
                     computerName.c_str(), workOrder.size(), kNameMax);
  return {};
}

void WriteRunSummary(const std::string& totalLog, const RunSummarySources& sources, const std::string& now) {
  const std::string controller = ReadText("Device Info", "ControllerType", kParamIni, 255);
  const bool kx7410 = controller.size() >= 6 && platform::EqualsNoCase(controller.substr(0, 6), "KX7410");
  Write("Time", "Start Time", now, totalLog);
  Write("Time", "End Time", now, totalLog);
  for (const char* key : {"Total", "Good", "Bad"}) Write("Total Results", key, "0", totalLog);

  Write("General Info", "TestStation", ReadText("General Info", "TestStation", sources.stationFile, 100), totalLog);
  for (const auto& c : kRunSummaryKeys) {
    if (c.kx7410Only && !kx7410) continue;
    const bool shared = std::string_view(c.key) == "WorkingNo" && !sources.workingNo.empty();
    const std::string value = shared ? sources.workingNo : ReadText(c.section, c.key, kParamIni, c.size);
    Write(c.section, c.key, value, totalLog);
    if (std::string_view(c.key) == "Flh_Capacity") Write("Card Info", "Capacity", value, totalLog);
  }
  Write("General Info", "NetCardID", ReadText("PC Info", "MAC_Address", kMacFile, 20), totalLog);
  Write("General Info", "MPVersion", StrFormat("%x.%02x", 2, 0x0A), totalLog);
}

void WriteErrorLogHeader(const std::string& errorLog) {
  Write("Error List", "[Year-Month-Day Hour:Min:Sec]   SlotNo:No   SN:xxxxx", "--Error_Code:Error_Msg", errorLog);
}

void WriteSummaryLogHeader(const std::string& summaryLog, const std::string& now) {
  Write("Time", "Start Time", now, summaryLog);
  Write("Time", "End Time", "", summaryLog);
  Write("Results", "Pass", "0", summaryLog);
  Write("Results", "TotalErrorCount", "0", summaryLog);
  Write("ErrorList", "ErrorCode", "count", summaryLog);
}

}  // namespace kx
