// The settings a drive was produced with, copied into its port report.
#include <cstdio>

#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"

using kx::StrFormat;

namespace {

// Values are copied as they stand, from a 250-character buffer.
constexpr std::size_t kValueBuffer = 250;

std::string ValueLine(const char* section, const char* key, const std::string& file) {
  return std::string(key) + "=" + kx::ReadProfileText(section, key, file.c_str(), kValueBuffer) + " \r\n";
}

}  // namespace

void CPortDevice::WriteSettingsReport() {
  const std::string path = ReportPath();
  if (path.empty()) return;

  const std::string tool = ".\\Configuration\\System\\MPToolSetting.ini";
  std::string block = "[MPToolSetting]\r\n";
  for (const char* key : {"BuildVersion", "MPVerProjectName", "TestStation", "Capacity", "Short", "RDTLimit", "Class",
                          "SmartC4ReInit", "IL2B"})
    block += ValueLine("General Info", key, tool);
  m_LogFile.AppendText(path, block);

  const std::string param = kx::SettingIniPath();
  block = "[Param]\r\n";
  block += ValueLine("Device Info", "ISP_MPBINCode", param);
  block += ValueLine("Device Info", "ISP_RDTBINCode", param);
  block += StrFormat("ControllerType=%s \r\n", "KX7410");
  block += ValueLine("Options", "Pretest", param);
  block += ValueLine("Device Info", "MP_BoardType", param);
  block += ValueLine("General Info", "ModelName", param);
  for (const char* key : {"Set Firmware Name", "SetSSDSize", "AutoIncreseSerialNum", "KeepModelFWSN", "SkipMPScan",
                          "Put_Thermal_Sensor"})
    block += ValueLine("Options", key, param);
  block += ValueLine("Other", "SATA_SSC_Enable", param);
  for (const char* key : {"DEVSLP_Enable", "Scan_MaxBadPercent", "MaxCapacity", "MinCapacity", "SkipRDTScan",
                          "AfterMpDoResetSMART", "DisableSmart01", "DisableSmartC2", "DisableSmartC3", "DisableSmartC4",
                          "DisableSmartC5", "DisableSmartC7", "Temperature_Fixed", "Temperature_Max", "CHCEMap"})
    block += ValueLine("Options", key, param);
  m_LogFile.AppendText(path, block);

  const std::string fdb = kx::ParamFdbIniPath();
  block = "[ParamFDB]\r\n";
  for (const char* key : {"Flh_Type", "Flh_MakeCode", "Flh_Capacity", "Flh_Number", "Flh_ID", "Flh_MPBinType",
                          "Flh_RDTBinType", "Flh_SingleCE_Capacity", "Flash2ndBinCELimit", "Flash2ndRDTBinType",
                          "Flash2ndMPBinType"})
    block += ValueLine("Flash Info", key, fdb);
  for (const char* key : {"FlhIDMask", "AutoCapacity_Enable", "AutoCapacity_SizeArray"})
    block += ValueLine("Options", key, fdb);
  for (int n = 1; n <= 16; ++n) {
    const std::string key = StrFormat("AutoCapacity_MaxBadPercent_%dCE", n);
    block += ValueLine("Options", key.c_str(), fdb);
  }
  for (const char* key : {"SetCacheSize", "MPPerformance2EN"}) block += ValueLine("Options", key, fdb);
  for (const char* key : {"only_do_Flash", "RDT_DynamicCE_En", "RDT_Plane_MaxBadBlkRatio_KX",
                          "RDT_En_AutoCap_MaxBadPercent", "RDT_MaxEraseBadBlkRatio", "RDT_MaxProgBadBlkRatio",
                          "RDT_MaxReadBadBlkRatio", "RDT_MaxEraseBadBlkCount", "RDT_MaxProgBadBlkCount",
                          "RDT_MaxReadBadBlkCount", "Enable_Set_Cycle", "Cycle", "Enable_Set_Cycle_SLC", "Cycle_SLC",
                          "ECC_threshold", "SLC_ECC_threshold"})
    block += ValueLine("RDT", key, fdb);
  m_LogFile.AppendText(path, block);

  m_LogFile.AppendText(path, "************************************************************ \r\n");
}
