// The RDT-result station: reads back what the drive's own reliability test left
// on it. A drive still running the RDT firmware from flash has its RDT log read,
// judged and written out; on 8- and 16-slot testers a drive on other flash
// firmware only has its RDT information and bad-block table shown. The port's
// report is copied into the station's log folder at every ending.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "command/CommandGlobals.h"
#include "device/BlockRecord.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/SettingNumbers.h"
#include "engine/PortJob.h"
#include "engine/ProcedureSupport.h"
#include "media/RdtProgress.h"
#include "platform/Clock.h"
#include "protocol/MediaRecords.h"

namespace {

constexpr const char* kToolSettingPath = ".\\Configuration\\System\\MPToolSetting.ini";

// Per-CE columns with the P/E/R sums and firmware pieces (8 slots), or without
// the per-CE columns (16 slots).
constexpr std::uint8_t kEightSlotColumns = kx::kRdtPerCe | kx::kRdtSums | kx::kRdtFirmware;
constexpr std::uint8_t kSixteenSlotColumns = kx::kRdtSums | kx::kRdtFirmware;

struct RdtFailure {
  std::uint8_t result;
  const char* code;
  const char* message;
};
constexpr RdtFailure kRdtFailures[] = {{0x11, "I_T52", "RDT_RESULT_FLH_TEST_TIME_OUT"},
                                       {0x12, "I_T53", "RDT_RESULT_FLH_TEST_BB_OVER"},
                                       {0x15, "I_T54", "RDT_RESULT_SYS_BlK_ERROR"},
                                       {0x13, "I_T55", "RDT_RESULT_FLH_ID_ERROR"},
                                       {0x14, "I_T55", "RDT_RESULT_FLH_ID_MISS_ERROR"}};

double SecondsSince(std::uint64_t startMs) {
  return static_cast<double>(platform::Clock().NowMs() - startMs) / 1000.0;
}

}  // namespace

std::uint8_t CPortJob::RunRDTResult() {
  CPortDevice& d = *m_Device;

  const std::uint64_t start = platform::Clock().NowMs();
  d.WriteReport("START", false);
  const std::string reportPath =
      kx::StrFormat("%s%s_%d_Report.txt", d.m_ReportFolder.c_str(), d.m_PcId.c_str(), d.m_Slot);
  SetProgress(5);

  // The ending after the station log has been copied.
  auto failShown = [&]() -> std::uint8_t {
    m_FailCode = d.m_ErrorCode;
    if (m_ResultCode) *m_ResultCode = d.m_ErrorCode;
    SetPortStatus(0, d.m_ErrorCode, d.m_ErrorMessage);
    return 0;
  };
  auto failEnding = [&]() -> std::uint8_t {
    MakeStationLogName(reportPath, m_Station);
    return failShown();
  };
  auto failReported = [&](const char* code, const std::string& message) -> std::uint8_t {
    d.m_ErrorCode = code;
    d.m_ErrorMessage = message;
    d.WriteFailReport();
    return failEnding();
  };

  if (g_KX_U2A == 0 && !d.CheckIoState(1)) {
    if (!kx::proc::IsNoDriveCode(d.m_ErrorCode)) return failEnding();
    MakeStationLogName(reportPath, m_Station);
    m_FailCode = d.m_ErrorCode;
    if (m_ResultCode) *m_ResultCode = d.m_ErrorCode;
    SetPortStatus(4, d.m_ErrorCode, "");
    return 0;
  }

  SetProgress(10);
  if (!d.CheckIcVersion()) return failReported("I_V01", "IC ver error!!");
  if (!d.ChkRC(3, 0, true, std::string(), nullptr)) return failEnding();

  const int slots = kx::ReadProfileInt("General Info", "SlotNumber", 8, kToolSettingPath);
  const bool compactSlots = slots == 8 || slots == 16;
  if (!d.m_ROMMode || (!compactSlots && !d.m_RdtFwFlag))
    return failReported("I_B67", "[ChkRC]Not Running on Flash Code now");

  kx::RdtInfoRecord rdtInfo;
  auto record = std::make_unique<kx::BlockRecord>();  // cleared

  if (d.m_RdtFwFlag) {
    const std::string paramPath = kx::SettingIniPath();
    const bool saveLog = kx::ReadProfileInt("Options", "save_RDT_log", 0, paramPath.c_str()) == 1;
    const bool onlyDram = kx::ReadProfileInt("Options", "only_do_DRAM", 0, paramPath.c_str()) == 1;
    if (!d.ReadRdtLog(saveLog, true, m_Progress, 70, onlyDram, 0, rdtInfo.data(), record.get(), 0)) {
      WriteBlockInfoToFile(*record);
      for (const RdtFailure& f : kRdtFailures) {
        if (f.result != d.m_RdtResultCode) continue;
        // The read-out has reported its own verdict already; a second block only for a changed one.
        if (d.m_ErrorCode != f.code || d.m_ErrorMessage != f.message) {
          d.m_ErrorCode = f.code;
          d.m_ErrorMessage = f.message;
          d.WriteFailReport();
        }
        break;
      }
      MakeStationLogName(reportPath, m_Station);
      const bool binOneCap =
          slots == 8 && kx::ReadProfileInt("Options", "RDTResult_Bin1Cap", 0, kx::ParamFdbIniPath().c_str()) != 0;
      if (compactSlots && d.m_ErrorCode == "F_T31" && !binOneCap) {
        d.m_StatusExtraFlag = 0;
        d.m_StatusExtraText = slots == 8
                                  ? "CE:OB/RB*" + d.FormatRdtProgress(kEightSlotColumns, 1, record.get(), &rdtInfo)
                                  : d.FormatRdtProgress(kSixteenSlotColumns, 1, record.get(), &rdtInfo);
        d.m_StatusExtraFlag = 1;
      }
      return failShown();
    }
    WriteBlockInfoToFile(*record);
    SetProgress(95);

    const std::string capacity = kx::ReadProfileText("General Info", "Capacity", kToolSettingPath, 40);
    if (!capacity.empty() && capacity != "default" && capacity != "MaxSize") {
      std::int32_t gigabytes = 0;
      if (std::string message;
          !kx::ReadSettingInt<std::int32_t>(kToolSettingPath, "General Info", "Capacity", 0, gigabytes, message))
        return failReported(kx::kSettingNumberCode, message);
      if (static_cast<std::int64_t>(d.m_PhysicalSize) < std::int64_t{gigabytes} * 1024)
        return failReported("F_x01", kx::StrFormat("Flash Physical Size is samll than %s", capacity.c_str()));
    }

    std::string text = "Pass";
    if (slots == 8)
      text = "Pass*CE:OB/RB*" + d.FormatRdtProgress(kEightSlotColumns, 1, record.get(), &rdtInfo);
    else if (slots == 16)
      text = "Pass*" + d.FormatRdtProgress(kSixteenSlotColumns, 1, record.get(), &rdtInfo);
    SetPortStatus(1, text, "");
    d.WriteReport(kx::StrFormat("Read RDT Log, Total take(sec): %.3f sec.", SecondsSince(start)), false);
  } else {
    if (!d.CheckSystemInfo()) {
      for (char& c : d.m_ErrorCode)
        if (c == 'x') c = 'S';
      d.WriteFailReport();
      return failEnding();
    }
    // A failed read leaves its record cleared; the status then shows what that holds.
    kx::BbtParameter bbtHeader;
    if (!d.ReadRdtInfo(&rdtInfo, nullptr)) rdtInfo = kx::RdtInfoRecord{};
    d.ReadBbt(&bbtHeader, nullptr);
    d.ReleaseBbt();
    const std::string text =
        slots == 8 ? "Pass*CE:OB+OLB/RB*" + d.FormatRdtProgress(kEightSlotColumns, 0, nullptr, &rdtInfo)
                   : "Pass*" + d.FormatRdtProgress(kSixteenSlotColumns, 0, nullptr, &rdtInfo);
    SetPortStatus(7, text, "");
    SetProgress(95);
    d.WriteReport(kx::StrFormat("Read BBT Info, Total take(sec): %.3f sec.", SecondsSince(start)), false);
  }

  return RecordPass(&reportPath);
}
