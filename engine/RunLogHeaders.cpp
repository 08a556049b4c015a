#include "engine/RunLogHeaders.h"

#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

#include "device/Environment.h"
#include "device/Format.h"
#include "device/Settings.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

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

struct HeaderKey {
  const char* section;
  const char* key;
  std::string value;
};

// The keys set in a text in order, as the profile calls write them one by one.
void SetHeaderKeys(std::string& text, const std::vector<HeaderKey>& keys) {
  // A key the profile calls cannot store is left out, as a write of it alone would be.
  for (const HeaderKey& k : keys) platform::SetProfileKey(text, k.section, k.key, k.value);
}

// The header written and the file replaced once: a header is whole or not there.
win::DWORD WriteHeader(const std::string& file, const std::vector<HeaderKey>& keys) {
  return platform::EditProfileFile(file, [&keys](std::string& text) -> win::DWORD {
    SetHeaderKeys(text, keys);
    return 0;
  });
}

// Counts into a log, its header first when it is missing: checked in the
// replacement that writes the counts, so that a log removed meanwhile, by
// anything, comes back whole. `header` gives the header's keys, or an error.
win::DWORD AddCounts(const std::string& log, const std::function<win::DWORD(std::vector<HeaderKey>&)>& header,
                     const std::vector<KeyUpdate>& counts, std::vector<int>* raised) {
  return UpdateProfileKeys(log, counts, raised, [&](std::string& text) -> win::DWORD {
    if (platform::FileExists(log)) return 0;
    std::vector<HeaderKey> keys;
    if (const win::DWORD error = header(keys); error != 0) return error;
    text.clear();
    SetHeaderKeys(text, keys);
    return 0;
  });
}

}  // namespace

std::string LogFolderOf(const std::string& configured, const std::string& workingNo, const std::string& computerName) {
  if (configured.empty()) return StrFormat(".\\%s_%s", workingNo.c_str(), computerName.c_str());
  const std::size_t end = configured.find_last_not_of("\\/");
  // A configured folder of separators alone is the root.
  const std::string base = end == std::string::npos ? std::string() : configured.substr(0, end + 1);
  return StrFormat("%s\\%s", base.c_str(), workingNo.c_str());
}

RunLogPaths RunLogPathsOf(const std::string& folder, int runKind) {
  const char* kind = runKind == 1 ? "Init" : runKind == 4 ? "QC" : "Debug";
  return {StrFormat("%s\\Total_%s.log", folder.c_str(), kind), StrFormat("%s\\Error_%s.log", folder.c_str(), kind)};
}

std::string SummaryLogPath(const std::string& folder) { return StrFormat("%s\\_Summary.log", folder.c_str()); }

std::string WorkOrderFileName(const std::string& workingNo, const std::string& computerName) {
  return "WO_" + workingNo + "_" + computerName + ".txt";
}

namespace {

// Why a part of a file name would be read as folders; empty when it would not.
std::string SeparatorFault(const std::string& part) {
  const std::size_t at = part.find_first_of("\\/");
  if (at == std::string::npos) return {};
  return StrFormat("it holds \"%c\", which the paths take for a folder separator", part[at]);
}

}  // namespace

std::string WorkingNoFault(const std::string& workingNo, const std::string& computerName) {
  constexpr std::size_t kNameMax = 255;  // bytes of one file name (NAME_MAX; Windows' limit too)
  if (std::string why = SeparatorFault(workingNo); !why.empty()) return why;
  for (const char c : workingNo) {
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

std::string ComputerNameFault(const std::string& computerName) { return SeparatorFault(computerName); }

namespace {

std::vector<HeaderKey> RunSummaryKeys(const RunSummarySources& sources, const std::string& now) {
  const std::string controller = ReadText("Device Info", "ControllerType", kParamIni, 255);
  const bool kx7410 = controller.size() >= 6 && platform::EqualsNoCase(controller.substr(0, 6), "KX7410");
  std::vector<HeaderKey> keys = {{"Time", "Start Time", now}, {"Time", "End Time", now}};
  for (const char* key : {"Total", "Good", "Bad"}) keys.push_back({"Total Results", key, "0"});

  keys.push_back({"General Info", "TestStation", ReadText("General Info", "TestStation", sources.stationFile, 100)});
  for (const auto& c : kRunSummaryKeys) {
    if (c.kx7410Only && !kx7410) continue;
    const bool shared = std::string_view(c.key) == "WorkingNo" && !sources.workingNo.empty();
    const std::string value = shared ? sources.workingNo : ReadText(c.section, c.key, kParamIni, c.size);
    keys.push_back({c.section, c.key, value});
    if (std::string_view(c.key) == "Flh_Capacity") keys.push_back({"Card Info", "Capacity", value});
  }
  keys.push_back({"General Info", "NetCardID", ReadText("PC Info", "MAC_Address", kMacFile, 20)});
  keys.push_back({"General Info", "MPVersion", StrFormat("%x.%02x", 2, 0x0A)});
  return keys;
}

std::vector<HeaderKey> SummaryLogHeaderKeys(const std::string& now) {
  return {{"Time", "Start Time", now},
          {"Time", "End Time", ""},
          {"Results", "Pass", "0"},
          {"Results", "TotalErrorCount", "0"},
          {"ErrorList", "ErrorCode", "count"}};
}

}  // namespace

win::DWORD WriteRunSummary(const std::string& totalLog, const RunSummarySources& sources, const std::string& now) {
  return WriteHeader(totalLog, RunSummaryKeys(sources, now));
}

win::DWORD WriteSummaryLogHeader(const std::string& summaryLog, const std::string& now) {
  return WriteHeader(summaryLog, SummaryLogHeaderKeys(now));
}

win::DWORD AddSummaryCounts(const std::string& summaryLog, const std::vector<KeyUpdate>& counts,
                            const std::string& now) {
  const auto header = [&](std::vector<HeaderKey>& keys) -> win::DWORD {
    keys = SummaryLogHeaderKeys(now);
    return 0;
  };
  return AddCounts(summaryLog, header, counts, nullptr);
}

win::DWORD AddTotalCounts(const std::string& totalLog, const RunSummarySources* sources,
                          const std::vector<KeyUpdate>& counts, const std::string& now, std::vector<int>* raised) {
  const auto header = [&](std::vector<HeaderKey>& keys) -> win::DWORD {
    if (sources == nullptr) return win::ERROR_FILE_NOT_FOUND;
    keys = RunSummaryKeys(*sources, now);
    return 0;
  };
  return AddCounts(totalLog, header, counts, raised);
}

}  // namespace kx
