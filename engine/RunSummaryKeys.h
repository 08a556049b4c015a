// The parameter-file settings a new Total log copies, in order, after its
// TestStation: section, key, the buffer they are read into (so at most size-1
// characters) and whether only the KX7410 family has them.
#pragma once
#include <cstddef>

namespace kx {

struct RunSummaryKey {
  const char* section;
  const char* key;
  std::size_t size;
  bool kx7410Only;
};

inline constexpr RunSummaryKey kRunSummaryKeys[] = {
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

}  // namespace kx
