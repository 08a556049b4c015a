#include "tests/support/ProductionLine.h"

#include <filesystem>

#include "engine/PortJob.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "tests/support/MpStation.h"

namespace kxtest {

namespace {

const char kTool[] = ".\\Configuration\\System\\MPToolSetting.ini";
const char kWorkOrder[] = "D:\\Log\\WO_T_1.txt";
const char kRecordSn[] = "D:\\Log\\SATA_RecordSN.ini";

std::string ReadText(const char* winPath) {
  std::string text;
  platform::ReadFileBytes(winPath, text);
  return text;
}

// The page's job mode for a station: the RDT read-out has its own, QC and the
// firmware update run in the QC mode, the others in the MP mode.
int JobMode(const std::string& station) {
  if (station == "RDTResult") return 10;
  return station == "QC" || station == "UpdateFW" ? 4 : 1;
}

// The Error log the device keeps for a job mode.
std::string ErrorLog(int jobMode) {
  return jobMode == 1 ? "D:\\Log\\Error_Init.log" : jobMode == 4 ? "D:\\Log\\Error_QC.log" : "D:\\Log\\Error_Debug.log";
}

}  // namespace

const std::vector<std::uint8_t>& LineRdtImage() {
  static const std::vector<std::uint8_t> image = NamedImage("RDT00202", 16384 + 100, true);
  return image;
}

emu::DriveConfig LineDrive(emu::RunningCode code) {
  emu::DriveConfig c = MpDrive();
  c.initialCode = code;
  c.rdtRunMs = 3600000;
  return c;
}

ProductionLine::ProductionLine(Mode mode, const emu::DriveConfig& drive) : station_(mode, 1, drive) {
  std::filesystem::create_directories(platform::MapPath(".\\Configuration\\System"));
  // One product for every station: MP's settings and image, and the RDT image
  // of the same BIN type (the table's 7312, whose plane digit the RDT
  // firmware's version carries).
  InstallMpStation();
  win::WritePrivateProfileString("Flash Info", "Flh_RDTBinType", "7312", ".\\paramFDB.ini");
  win::WritePrivateProfileString("Device Info", "ISP_RDTBINCode", "C:\\fw\\RDT.bin", ".\\param.ini");
  WriteBinFile("C:\\fw\\RDT.bin", StoreBin(LineRdtImage()));
  kx::SetWorkOrderPath(kWorkOrder);
}

ProductionLine::~ProductionLine() { kx::SetWorkOrderPath(""); }

ProductionLine::Outcome ProductionLine::Run(const std::string& station) {
  win::WritePrivateProfileString("General Info", "TestStation", station.c_str(), kTool);
  const std::string errorLog = ErrorLog(JobMode(station));
  for (const std::string& f : {std::string(kWorkOrder), std::string(kRecordSn), errorLog})
    std::filesystem::remove(platform::MapPath(f));
  Outcome o;
  o.code = "H_F8";
  (new CPortJob(JobMode(station), &locks_, &cell_, &progress_, station_.DriveNo(), 1, nullptr, nullptr, "D:\\Log",
                &o.code, nullptr, nullptr))
      ->Run(0);
  o.cell = cell_.GetWindowText();
  o.state = cell_.GetStateText();
  o.message = cell_.GetErrorMessage();
  o.report = ReadText("D:\\Log\\D_Reports\\PC_1_Report.txt");
  o.recordSn = ReadText(kRecordSn);
  o.records = ReadText(kWorkOrder) + o.recordSn;
  o.errorLog = ReadText(errorLog.c_str());
  return o;
}

void ProductionLine::PassRdtRun() {
  if (!Drive().Powered()) Drive().PowerOn();
  station_.Sleep(Drive().Config().rdtRunMs + Drive().Config().bootDelayMs);
}

}  // namespace kxtest
