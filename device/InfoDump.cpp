// Readable dumps of the drive's 512-byte info block and of the SMART id table
// into the port report.
#include <cstdio>
#include <cstring>

#include "device/Format.h"
#include "device/InfoBlockLayout.h"
#include "device/PortDevice.h"
#include "platform/Clock.h"

using kx::StrFormat;

namespace {

enum class Kind : std::uint8_t {
  Value,      // little-endian value of `width` bytes, printed by the row's format
  Bits,       // bits lo..hi of the little-endian value of `width` bytes
  Chars,      // characters printed by one format: a NUL ends the line there
  Swapped,    // ATA string: characters two at a time, the second byte first
  HexBytes,   // "%x," per byte
  HexWords,   // "%x," per 16-bit value
  CharComma,  // "%c," per character
  ApVersion,
  Date,
  GoodMark,
};

struct Row {
  int row;
  int offset;
  Kind kind;
  int width;
  int lo;
  int hi;
  const char* name;
  const char* format;
};

// The report layout service staff read: every row of the block, in order.
// clang-format off
constexpr Row kRows[] = {
  {1, 0, Kind::Chars, 6, 0, 0, "u8bTavlinInfoMark", "   u8bTavlinInfoMark : %c%c%c%c%c%c\r\n"},
  {2, 6, Kind::Value, 1, 0, 0, "ubReserved1", "   ubReserved1 : %x\r\n"},
  {3, 7, Kind::Value, 1, 0, 0, "ubSetFlashDrive", "   ubSetFlashDrive : %x\r\n"},
  {4, 8, Kind::Value, 1, 0, 0, "ubDrivingEnable", "   ubDrivingEnable : %x\r\n"},
  {5, 9, Kind::Value, 1, 0, 0, "ubALEPads", "   ubALEPads : %x\r\n"},
  {6, 10, Kind::Value, 1, 0, 0, "ubCLEPads", "   ubCLEPads : %x\r\n"},
  {7, 12, Kind::Value, 1, 0, 0, "ubnREPads", "   ubnREPads : %x\r\n"},
  {8, 13, Kind::Value, 1, 0, 0, "ubFRDYPads", "   ubFRDYPads : %x\r\n"},
  {9, 14, Kind::Value, 1, 0, 0, "ubnWPPads", "   ubnWPPads: %x\r\n"},
  {10, 15, Kind::Value, 1, 0, 0, "ubDQSPads", "   ubDQSPads : %x\r\n"},
  {11, 16, Kind::Value, 1, 0, 0, "ubDataPads", "   ubDataPads : %x\r\n"},
  {12, 17, Kind::Value, 1, 0, 0, "ubnCEPads", "   ubnCEPads : %x\r\n"},
  {13, 18, Kind::Swapped, 20, 0, 0, "ubSerialNumber", "   ubSerialNumber : %x\r\n"},
  {14, 38, Kind::Swapped, 40, 0, 0, "ubModelNumber", "   ubModelNumber : %x\r\n"},
  {15, 78, Kind::Value, 1, 0, 0, "ubFWVersionEnable", "   ubFWVersionEnable : %x\r\n"},
  {16, 79, Kind::Swapped, 8, 0, 0, "ubFWVersion", "   ubFWVersion : %x\r\n"},
  {17, 87, Kind::Value, 1, 0, 0, "ubCustomer", "   ubCustomer : %x\r\n"},
  {18, 88, Kind::Value, 1, 0, 0, "ubWWNSupport", "   ubWWNSupport : %x\r\n"},
  {19, 89, Kind::Value, 1, 0, 0, "ubCENumber", "   ubCENumber : %x\r\n"},
  {20, 90, Kind::Value, 2, 0, 0, "uwWWN[0]", "   uwWWN[0] : %x\r\n"},
  {21, 92, Kind::Value, 2, 0, 0, "uwWWN[1]", "   uwWWN[1] : %x\r\n"},
  {22, 94, Kind::Value, 2, 0, 0, "uwWWN[2]", "   uwWWN[2] : %x\r\n"},
  {23, 96, Kind::Value, 2, 0, 0, "uwWWN[3]", "   uwWWN[3] : %x\r\n"},
  {24, 98, Kind::Value, 1, 0, 0, "ubFormFactor", "   ubFormFactor : %x\r\n"},
  {25, 99, Kind::Value, 1, 0, 0, "ubDisableEnableMicronSLCMode", "   ubDisableEnableMicronSLCMode : %x\r\n"},
  {26, 100, Kind::Value, 4, 0, 0, "ulSSDSize_LBA", "   ulSSDSize_LBA : %x\r\n"},
  {27, 104, Kind::Value, 1, 0, 0, "ubILMode", "   ubILMode : %x\r\n"},
  {28, 105, Kind::Value, 1, 0, 0, "ubDisableEnableMultiPlaneMode", "   ubDisableEnableMultiPlaneMode : %x\r\n"},
  {29, 106, Kind::Value, 1, 0, 0, "ubDisableEnableA2Mode", "   ubDisableEnableA2Mode : %x\r\n"},
  {30, 107, Kind::Value, 1, 0, 0, "ubFlashInterface", "   ubFlashInterface : %x\r\n"},
  {31, 108, Kind::Value, 1, 0, 0, "ubFlashClk", "   ubFlashClk : %x\r\n"},
  {32, 109, Kind::Value, 1, 0, 0, "ubThermalSensorMode", "   ubThermalSensorMode : %x\r\n"},
  {33, 110, Kind::Value, 1, 0, 0, "ubDEVSLPSupport", "   ubDEVSLPSupport : %x\r\n"},
  {34, 111, Kind::Value, 1, 0, 0, "ubNCQSupport", "   ubNCQSupport : %x\r\n"},
  {35, 112, Kind::Value, 1, 0, 0, "ub48BitCmdSupport", "   ub48BitCmdSupport : %x\r\n"},
  {36, 113, Kind::Value, 1, 0, 0, "ubXferModeEnable", "   ubXferModeEnable : %x\r\n"},
  {37, 114, Kind::Value, 1, 0, 0, "ubMultiDMAMode[0]", "   ubMultiDMAMode[0]: %x\r\n"},
  {38, 115, Kind::Value, 1, 0, 0, "ubMultiDMAMode[1]", "   ubMultiDMAMode[1] : %x\r\n"},
  {39, 116, Kind::Value, 1, 0, 0, "ubUltraDMAMode[0]", "   ubUltraDMAMode[0] : %x\r\n"},
  {40, 117, Kind::Value, 1, 0, 0, "ubUltraDMAMode[1]", "   ubUltraDMAMode[1] : %x\r\n"},
  {41, 118, Kind::Value, 1, 0, 0, "ubUltraMLCEnable", "   ubUltraMLCEnable : %x\r\n"},
  {42, 119, Kind::Value, 1, 0, 0, "ubWriteCacheSupport", "   ubWriteCacheSupport : %x\r\n"},
  {43, 120, Kind::Value, 4, 0, 0, "ulMaxPECycle_D3", "   ulMaxPECycle_D3 : %x\r\n"},
  {44, 124, Kind::HexBytes, 12, 0, 0, "ubPMICSel", "   ubPMICSel : %x\r\n"},
  {45, 136, Kind::Value, 4, 0, 0, "ulSLCPoolSizeIn4KEntry", "   ulSLCPoolSizeIn4KEntry : %x\r\n"},
  {46, 140, Kind::HexWords, 62, 0, 0, "uwIDW129_159", "   uwIDW129_159 : %x\r\n"},
  {47, 202, Kind::Value, 1, 0, 0, "ubIDW129_159Enable", "   ubIDW129_159Enable : %x\r\n"},
  {48, 203, Kind::Value, 1, 0, 0, "ubSLCPoolEnable", "   ubSLCPoolEnable : %x\r\n"},
  {49, 204, Kind::Value, 1, 0, 0, "ubSSC_Enable", "   ubSSC_Enable : %x\r\n"},
  {50, 205, Kind::Value, 1, 0, 0, "ubHIPMSupport", "   ubHIPMSupport : %x\r\n"},
  {51, 206, Kind::Value, 1, 0, 0, "ubDIPMSupport", "   ubDIPMSupport : %x\r\n"},
  {52, 207, Kind::Value, 1, 0, 0, "ubAPSSupport", "   ubAPSSupport : %x\r\n"},
  {53, 208, Kind::Value, 4, 0, 0, "ulSmartStatusRuleMap", "   ulSmartStatusRuleMap : %x\r\n"},
  {54, 212, Kind::Value, 4, 0, 0, "ulSmartStatusRuleMap", "   ulSmartStatusRuleMap : %x\r\n"},
  {55, 216, Kind::Value, 4, 0, 0, "ulTimeToDoBG_Copy", "   ulTimeToDoBG_Copy : %x\r\n"},
  {56, 220, Kind::Value, 1, 0, 0, "ubTimeToDoBGEnable", "   ubTimeToDoBGEnable : %x\r\n"},
  {57, 221, Kind::Value, 1, 0, 0, "ubSwiftFlushEnable", "   ubSwiftFlushEnable : %x\r\n"},
  {58, 222, Kind::Value, 2, 0, 0, "uwPMASetting", "   uwPMASetting : %x\r\n"},
  {59, 224, Kind::Value, 1, 0, 0, "ubNoPWICEnable", "   ubNoPWICEnable : %x\r\n"},
  {60, 225, Kind::Value, 1, 0, 0, "ubBGMLCCopyThreshold", "   ubBGMLCCopyThreshold : %x\r\n"},
  {61, 226, Kind::Value, 1, 0, 0, "ubBGMLCCopyReleaseThreshold", "   ubBGMLCCopyReleaseThreshold : %x\r\n"},
  {62, 227, Kind::Value, 1, 0, 0, "ubSetBGThreshouldEnable", "   ubSetBGThreshouldEnable : %x\r\n"},
  {63, 228, Kind::Value, 4, 0, 0, "ulBGSLCPoolCopyThreshold", "   ulBGSLCPoolCopyThreshold : %x\r\n"},
  {64, 232, Kind::Value, 4, 0, 0, "ulBGSLCPoolReleaseThreshold", "   ulBGSLCPoolReleaseThreshold : %x\r\n"},
  {65, 236, Kind::Value, 1, 0, 0, "ubSpecialDataEnable", "   ubSpecialDataEnable : %x\r\n"},
  {66, 237, Kind::Value, 1, 0, 0, "ubPadODTEnable", "   ubPadODTEnable : %x\r\n"},
  {67, 238, Kind::Value, 1, 0, 0, "ubPadODT", "   ubPadODT : %x\r\n"},
  {68, 239, Kind::Value, 1, 0, 0, "ubSlewRateEnable", "   ubSlewRateEnable : %x\r\n"},
  {69, 240, Kind::Value, 4, 0, 0, "ulTotalUserUnitNumber", "   ulTotalUserUnitNumber : %x\r\n"},
  {70, 244, Kind::Value, 1, 0, 0, "ubSlewRate", "   ubSlewRate : %x\r\n"},
  {71, 245, Kind::Value, 1, 0, 0, "ubDDRDriveEnable", "   ubDDRDriveEnable : %x\r\n"},
  {72, 246, Kind::Value, 1, 0, 0, "ubDDRDrive", "   ubDDRDrive : %x\r\n"},
  {73, 247, Kind::Value, 1, 0, 0, "ubHBRetryEnable", "   ubHBRetryEnable : %x\r\n"},
  {74, 248, Kind::Value, 2, 0, 0, "uwDIPM_AUTOP2S_THRESHOLD", "   uwDIPM_AUTOP2S_THRESHOLD : %x\r\n"},
  {75, 250, Kind::Value, 1, 0, 0, "ubDIPM_THRESHOLD", "   ubDIPM_THRESHOLD : %x\r\n"},
  {76, 251, Kind::Value, 1, 0, 0, "ubDIPM_P2S_THRESHOLD", "   ubDIPM_P2S_THRESHOLD : %x\r\n"},
  {77, 252, Kind::Value, 1, 0, 0, "ubSetEnterBG_Time_Enable", "   ubSetEnterBG_Time_Enable : %x\r\n"},
  {78, 253, Kind::Value, 1, 0, 0, "ubDCOSupport", "   ubDCOSupport : %x\r\n"},
  {79, 254, Kind::Value, 1, 0, 0, "ubHPASupport", "   ubHPASupport : %x\r\n"},
  {80, 255, Kind::Value, 1, 0, 0, "ubAMAXSupport", "   ubAMAXSupport : %x\r\n"},
  {81, 256, Kind::Value, 4, 0, 0, "ulMaxPECycle_D1", "   ulMaxPECycle_D1 : %x\r\n"},
  {82, 260, Kind::Value, 1, 0, 0, "ubSanitizeSupport", "   ubSanitizeSupport : %x\r\n"},
  {83, 261, Kind::Value, 1, 0, 0, "ubWUNCSupport", "   ubWUNCSupport : %x\r\n"},
  {84, 262, Kind::Value, 1, 0, 0, "ubZeroSupport", "   ubZeroSupport : %x\r\n"},
  {85, 263, Kind::Value, 1, 0, 0, "ubSetFlashODT", "   ubSetFlashODT : %x\r\n"},
  {86, 264, Kind::Value, 1, 0, 0, "ubGuaranteeFlushEnable", "   ubGuaranteeFlushEnable : %x\r\n"},
  {87, 265, Kind::Value, 1, 0, 0, "ubENABLE_FW_DIPM", "   ubENABLE_FW_DIPM : %x\r\n"},
  {88, 266, Kind::Value, 1, 0, 0, "ubENABLE_HW_DIPM", "   ubENABLE_HW_DIPM : %x\r\n"},
  {89, 267, Kind::Value, 1, 0, 0, "ubAP2SWaitIdle2Time", "   ubAP2SWaitIdle2Time : %x\r\n"},
  {90, 268, Kind::Value, 2, 0, 0, "uwDataInOutThreshold", "   uwDataInOutThreshold : %x\r\n"},
  {91, 270, Kind::Swapped, 20, 0, 0, "ubTSB_SerialNumber_Customer", "   ubTSB_SerialNumber_Customer : %x\r\n"},
  {92, 290, Kind::Value, 2, 0, 0, "uwSLCPool_PE_Threshold", "   uwSLCPool_PE_Threshold : %x\r\n"},
  {93, 292, Kind::Value, 1, 0, 0, "ubSecuritySupport", "   ubSecuritySupport : %x\r\n"},
  {94, 293, Kind::Value, 1, 0, 0, "ubDLMCSupport", "   ubDLMCSupport : %x\r\n"},
  {95, 294, Kind::Value, 1, 0, 0, "ubTrimSupport", "   ubTrimSupport : %x\r\n"},
  {96, 295, Kind::Value, 1, 0, 0, "ubDLMCReturnDummyAbort", "   ubDLMCReturnDummyAbort : %x\r\n"},
  {97, 296, Kind::Value, 2, 0, 0, "uwWearlevelingRange_D1", "   uwWearlevelingRange_D1 : %x\r\n"},
  {98, 298, Kind::Value, 2, 0, 0, "uwWearlevelingRange_D3", "   uwWearlevelingRange_D3 : %x\r\n"},
  {99, 300, Kind::Value, 1, 0, 0, "ubRSEL_Enable", "   ubRSEL_Enable : %x\r\n"},
  {100, 301, Kind::Value, 1, 0, 0, "ubCustomersCustomerID", "   ubCustomersCustomerID : %x\r\n"},
  {101, 302, Kind::Value, 1, 0, 0, "ubKeepSMARTwhenKeepEC", "   ubKeepSMARTwhenKeepEC : %x\r\n"},
  {102, 303, Kind::Value, 1, 0, 0, "ubWLCheckRate", "   ubWLCheckRate : %x\r\n"},
  {103, 304, Kind::Value, 1, 0, 0, "ub_ENABLE_DPS", "   ub_ENABLE_DPS : %x\r\n"},
  {104, 305, Kind::Value, 1, 0, 0, "ubDPSEnableUseTimeOut", "   ubDPSEnableUseTimeOut : %x\r\n"},
  {105, 306, Kind::Value, 2, 0, 0, "uwDPSWaitTimeOutMiliSec", "   uwDPSWaitTimeOutMiliSec : %x\r\n"},
  {106, 308, Kind::Value, 2, 0, 0, "uwReadSDLLOffsetCH0", "   uwReadSDLLOffsetCH0 : %x\r\n"},
  {107, 310, Kind::Value, 2, 0, 0, "uwReadSDLLOffsetCH1", "   uwReadSDLLOffsetCH1 : %x\r\n"},
  {108, 312, Kind::Value, 2, 0, 0, "uwProgramSDLLOffsetCH0", "   uwProgramSDLLOffsetCH0 : %x\r\n"},
  {109, 314, Kind::Value, 2, 0, 0, "uwProgramSDLLOffsetCH1", "   uwProgramSDLLOffsetCH1 : %x\r\n"},
  {110, 316, Kind::Value, 1, 0, 0, "ubFlashInterface_Scan", "   ubFlashInterface_Scan : %x\r\n"},
  {111, 317, Kind::Value, 1, 0, 0, "ubFlashClock_Scan", "   ubFlashClock_Scan : %x\r\n"},
  {112, 318, Kind::Value, 1, 0, 0, "ubACTimingTableEnable", "   ubACTimingTableEnable : %x\r\n"},
  {113, 319, Kind::Value, 1, 0, 0, "ubACTimingClock", "   ubACTimingClock : %x\r\n"},
  {114, 320, Kind::HexBytes, 32, 0, 0, "ubACTimingTable", "   ubACTimingTable : %x\r\n"},
  {115, 352, Kind::Value, 1, 0, 0, "ubSMARTExecuteOfflineEnable", "   ubSMARTExecuteOfflineEnable : %x\r\n"},
  {116, 353, Kind::Value, 1, 0, 0, "ubWriteProtectWriteSupport", "   ubWriteProtectWriteSupport : %x\r\n"},
  {117, 354, Kind::Value, 1, 0, 0, "ubCustomerGPIOSelectMode", "   ubCustomerGPIOSelectMode : %x\r\n"},
  {118, 355, Kind::Value, 1, 0, 0, "ubSMARTExtendScanAllEnable", "   ubSMARTExtendScanAllEnable : %x\r\n"},
  {119, 356, Kind::Value, 1, 0, 0, "ubComWakeWorkaround", "   ubComWakeWorkaround : %x\r\n"},
  {120, 357, Kind::Value, 1, 0, 0, "ubWPVersionEnable", "   ubWPVersionEnable: %x\r\n"},
  {121, 358, Kind::HexWords, 8, 0, 0, "uwWPVerTable", "   uwWPVerTable : %x\r\n"},
  {122, 366, Kind::HexWords, 20, 0, 0, "uwWPModelTable", "   uwWPModelTable : %x\r\n"},
  {123, 386, Kind::Value, 1, 0, 0, "ubREBDuty[0]", "   ubREBDuty[0] : %x\r\n"},
  {124, 387, Kind::Value, 1, 0, 0, "ubREBDuty[1]", "   ubREBDuty[1] : %x\r\n"},
  {125, 388, Kind::Value, 1, 0, 0, "ubFlushD1VerifyMode", "   ubFlushD1VerifyMode : %x\r\n"},
  {126, 389, Kind::Value, 1, 0, 0, "ubD3UnitReadCheckThreshold", "   ubD3UnitReadCheckThreshold : %x\r\n"},
  {127, 390, Kind::Value, 1, 0, 0, "ubD3UnitForceReadMoveThreshold", "   ubD3UnitForceReadMoveThreshold : %x\r\n"},
  {128, 391, Kind::Value, 1, 0, 0, "ubSMARTBufferTimeSecond", "   ubSMARTBufferTimeSecond : %x\r\n"},
  {129, 392, Kind::Value, 1, 0, 0, "ubSMARTShortSelfTestTimeMin", "   ubSMARTShortSelfTestTimeMin : %x\r\n"},
  {130, 393, Kind::Value, 1, 0, 0, "ubSMARTConveyanceSelfTestTimeMin", "   ubSMARTConveyanceSelfTestTimeMin : %x\r\n"},
  {131, 394, Kind::Value, 2, 0, 0, "uwSMARTExtendedSelfTestTimeMin", "   uwSMARTExtendedSelfTestTimeMin : %x\r\n"},
  {132, 396, Kind::Value, 2, 0, 0, "uwSMARTOfflineTimeSecond", "   uwSMARTOfflineTimeSecond : %x\r\n"},
  {133, 398, Kind::Value, 1, 0, 0, "ubNoUse", "   ubNoUse : %x\r\n"},
  {134, 399, Kind::Value, 1, 0, 0, "ubGPIOEdgeMode", "   ubGPIOEdgeMode : %x\r\n"},
  {135, 400, Kind::Value, 1, 0, 0, "ubOEM_forceactiveGRSLC", "   ubOEM_forceactiveGRSLC : %x\r\n"},
  {136, 401, Kind::Chars, 4, 0, 0, "MpInfo.Signature", "   MpInfo.Signature : %c%c%c%c\r\n"},
  {137, 405, Kind::Value, 1, 0, 0, "MpInfo.Result_Code", "   MpInfo.Result_Code : %x\r\n"},
  {138, 406, Kind::Value, 2, 0, 0, "MpInfo.Result_Code", "   MpInfo.Result_Code : %x\r\n"},
  {139, 408, Kind::Value, 1, 0, 0, "MpInfo.Version", "   MpInfo.Version : %x\r\n"},
  {140, 409, Kind::Value, 1, 0, 0, "MpInfo.ErrPage_Number", "   MpInfo.ErrPage_Number : %x\r\n"},
  {141, 410, Kind::Value, 3, 0, 0, "MpInfo.BadBlk_Number", "   MpInfo.BadBlk_Number : %x\r\n"},
  {142, 413, Kind::Bits, 2, 0, 0, "MpInfo.RunInfo.MP_EraseCheckStatus", "   MpInfo.RunInfo.MP_EraseCheckStatus : %x\r\n"},
  {143, 413, Kind::Bits, 2, 1, 1, "MpInfo.RunInfo.AutoCap_DynamicCE_En", "   MpInfo.RunInfo.AutoCap_DynamicCE_En : %x\r\n"},
  {144, 413, Kind::Bits, 2, 2, 2, "MpInfo.RunInfo.TwoPassProgramType", "   MpInfo.RunInfo.TwoPassProgramType : %x\r\n"},
  {145, 413, Kind::Bits, 2, 3, 15, "MpInfo.RunInfo.bReserved", "   MpInfo.RunInfo.bReserved : %x\r\n"},
  {146, 415, Kind::Bits, 1, 0, 3, "MpInfo.RunInfo.FLH_EvenLoop_TestRule", "   MpInfo.RunInfo.FLH_EvenLoop_TestRule : %x\r\n"},
  {147, 415, Kind::Bits, 1, 4, 7, "MpInfo.RunInfo.FLH_OddLoop_TestRule", "   MpInfo.RunInfo.FLH_OddLoop_TestRule : %x\r\n"},
  {148, 416, Kind::Bits, 4, 0, 2, "MpInfo.RunInfo.MP_FtlWriteClock", "   MpInfo.RunInfo.MP_FtlWriteClock : %x\r\n"},
  {149, 416, Kind::Bits, 4, 3, 3, "MpInfo.RunInfo.MP_FtlClockEnable", "   MpInfo.RunInfo.MP_FtlClockEnable : %x\r\n"},
  {150, 416, Kind::Bits, 4, 4, 7, "MpInfo.RunInfo.MP_BoardType", "   MpInfo.RunInfo.MP_BoardType : %x\r\n"},
  {151, 416, Kind::Bits, 4, 8, 15, "MpInfo.RunInfo.MP_UserType", "   MpInfo.RunInfo.MP_UserType : %x\r\n"},
  {152, 416, Kind::Bits, 4, 16, 19, "MpInfo.RunInfo.MP_FlashBinType", "   MpInfo.RunInfo.MP_FlashBinType : %x\r\n"},
  {153, 416, Kind::Bits, 4, 20, 20, "MpInfo.RunInfo.RDT_BuildDBT", "   MpInfo.RunInfo.RDT_BuildDBT : %x\r\n"},
  {154, 416, Kind::Bits, 4, 21, 21, "MpInfo.RunInfo.MP_SmartC7Reset", "   MpInfo.RunInfo.MP_SmartC7Reset : %x\r\n"},
  {155, 416, Kind::Bits, 4, 22, 22, "MpInfo.RunInfo.MP_SmartC4Reset", "   MpInfo.RunInfo.MP_SmartC4Reset : %x\r\n"},
  {156, 416, Kind::Bits, 4, 23, 23, "MpInfo.RunInfo.MP_Smart01Reset", "   MpInfo.RunInfo.MP_Smart01Reset : %x\r\n"},
  {157, 416, Kind::Bits, 4, 24, 24, "MpInfo.RunInfo.MP_Performance1_EN", "   MpInfo.RunInfo.MP_Performance1_EN : %x\r\n"},
  {158, 416, Kind::Bits, 4, 25, 25, "MpInfo.RunInfo.MP_Performance2_EN", "   MpInfo.RunInfo.MP_Performance2_EN : %x\r\n"},
  {159, 416, Kind::Bits, 4, 27, 29, "RunInfo.bReserved1", "   RunInfo.bReserved1 : %x\r\n"},
  {160, 416, Kind::Bits, 4, 30, 30, "MpInfo.RunInfo.RDT_ReTest", "   MpInfo.RunInfo.RDT_ReTest : %x\r\n"},
  {161, 416, Kind::Bits, 4, 31, 31, "MpInfo.RunInfo.FLH_CacheTest", "   MpInfo.RunInfo.FLH_CacheTest : %x\r\n"},
  {162, 420, Kind::Value, 2, 0, 0, "MpInfo.RunInfo.CEBitMap", "   MpInfo.RunInfo.CEBitMap : %04x\r\n"},
  {163, 422, Kind::Value, 2, 0, 0, "MpInfo.RunInfo.DBTCheckSum", "   MpInfo.RunInfo.DBTCheckSum : %x\r\n"},
  {164, 424, Kind::Bits, 1, 0, 0, "MpInfo.RunInfo.SkipFLH_SortCheck", "   MpInfo.RunInfo.SkipFLH_SortCheck : %x\r\n"},
  {165, 424, Kind::Bits, 1, 1, 1, "MpInfo.RunInfo.SkipFLH_EarlyBadTest", "   MpInfo.RunInfo.SkipFLH_EarlyBadTest : %x\r\n"},
  {166, 424, Kind::Bits, 1, 2, 2, "MpInfo.RunInfo.SkipFLH_EraseTest", "   MpInfo.RunInfo.SkipFLH_EraseTest : %x\r\n"},
  {167, 424, Kind::Bits, 1, 3, 3, "MpInfo.RunInfo.SkipFLH_ProgramTest", "   MpInfo.RunInfo.SkipFLH_ProgramTest : %x\r\n"},
  {168, 424, Kind::Bits, 1, 4, 4, "MpInfo.RunInfo.SkipFLH_ReadTest", "   MpInfo.RunInfo.SkipFLH_ReadTest : %x\r\n"},
  {169, 424, Kind::Bits, 1, 5, 5, "MpInfo.RunInfo.FLH_MultiPlaneTest", "   MpInfo.RunInfo.FLH_MultiPlaneTest : %x\r\n"},
  {170, 424, Kind::Bits, 1, 6, 6, "MpInfo.RunInfo.FLH_ReadRetryTest", "   MpInfo.RunInfo.FLH_ReadRetryTest : %x\r\n"},
  {171, 424, Kind::Bits, 1, 7, 7, "MpInfo.RunInfo.RDT_Reverse_Test", "   MpInfo.RunInfo.RDT_Reverse_Test : %x\r\n"},
  {172, 425, Kind::Value, 1, 0, 0, "MpInfo.RunInfo.RUN_FixTemperature", "   MpInfo.RunInfo.RUN_FixTemperature : %x\r\n"},
  {173, 426, Kind::Value, 1, 0, 0, "MpInfo.RunInfo.RUN_MaxTemperature", "   MpInfo.RunInfo.RUN_MaxTemperature : %x\r\n"},
  {174, 427, Kind::Value, 1, 0, 0, "MpInfo.RunInfo.SortBB_Source", "   MpInfo.RunInfo.SortBB_Source : %x\r\n"},
  {175, 428, Kind::Bits, 1, 0, 1, "MpInfo.RunInfo.SortBB_Source", "   MpInfo.RunInfo.SortBB_Source : %x\r\n"},
  {176, 428, Kind::Bits, 1, 5, 7, "MpInfo.RunInfo.u8Reserved", "   MpInfo.RunInfo.u8Reserved : %x\r\n"},
  {177, 429, Kind::HexBytes, 8, 0, 0, "MpInfo.u8Reserved", "   MpInfo.u8Reserved : %x\r\n"},
  {178, 437, Kind::Value, 2, 0, 0, "MpInfo.MaxEraseBadBlkNumLimit", "   MpInfo.MaxEraseBadBlkNumLimit : %x\r\n"},
  {179, 439, Kind::Value, 2, 0, 0, "MpInfo.MaxProgBadBlkNumLimit", "   MpInfo.MaxProgBadBlkNumLimit : %x\r\n"},
  {180, 441, Kind::Value, 2, 0, 0, "MpInfo.MaxReadBadBlkNumLimit", "   MpInfo.MaxReadBadBlkNumLimit : %x\r\n"},
  {181, 443, Kind::Value, 2, 0, 0, "MpInfo.FLH_TestUnitNum", "   MpInfo.FLH_TestUnitNum : %x\r\n"},
  {182, 445, Kind::Value, 2, 0, 0, "MpInfo.CEBitMapForBBStatus", "   MpInfo.CEBitMapForBBStatus : %x\r\n"},
  {183, 447, Kind::Value, 1, 0, 0, "MpInfo.FactoryCode", "   MpInfo.FactoryCode : %x\r\n"},
  {184, 448, Kind::Value, 1, 0, 0, "MpInfo.MinTemperature", "   MpInfo.MinTemperature :%x\r\n"},
  {185, 449, Kind::Value, 1, 0, 0, "MpInfo.MaxTemperature", "   MpInfo.MaxTemperature :%x\r\n"},
  {186, 450, Kind::Value, 1, 0, 0, "MpInfo.Temperature", "   MpInfo.Temperature : %x\r\n"},
  {187, 451, Kind::Chars, 4, 0, 0, "MpInfo.FW_Version", "   MpInfo.FW_Version : %c%c%c%c\r\n"},
  {188, 455, Kind::Value, 1, 0, 0, "MpInfo.MaxBadBlkRatio_PerPlane", "   MpInfo.MaxBadBlkRatio_PerPlane : %x\r\n"},
  {189, 456, Kind::Value, 1, 0, 0, "MpInfo.RDT_SLC_BLK_Ratio", "   MpInfo.RDT_SLC_BLK_Ratio : %x\r\n"},
  {190, 457, Kind::Value, 1, 0, 0, "MpInfo.SLC_RDT_Loop", "   MpInfo.SLC_RDT_Loop : %x\r\n"},
  {191, 458, Kind::Value, 1, 0, 0, "MpInfo.TLC_RDT_Loop", "   MpInfo.TLC_RDT_Loop : %x\r\n"},
  {192, 459, Kind::Value, 1, 0, 0, "MpInfo.SLC_ECC_Threshold", "   MpInfo.SLC_ECC_Threshold : %x\r\n"},
  {193, 460, Kind::Value, 1, 0, 0, "MpInfo.TLC_ECC_Threshold", "   MpInfo.TLC_ECC_Threshold : %x\r\n"},
  {194, 461, Kind::Value, 4, 0, 0, "MpInfo.RDT_TotalTime", "   MpInfo.RDT_TotalTime : %x\r\n"},
  {195, 465, Kind::Value, 1, 0, 0, "ubAP_APVer1", "   ubAP_APVer1 : %02x\r\n"},
  {196, 466, Kind::Value, 1, 0, 0, "ubAP_APVer2", "   ubAP_APVer2 : %02x\r\n"},
  {197, 467, Kind::HexBytes, 8, 0, 0, "ubAP_Reserved1", "   ubAP_Reserved1 : %x\r\n"},
  {198, 475, Kind::Value, 1, 0, 0, "ubAP_ScanMaxBad", "   ubAP_ScanMaxBad : %d\r\n"},
  {199, 476, Kind::CharComma, 16, 0, 0, "ubAP_WO", "   ubAP_WO : %x\r\n"},
  {200, 492, Kind::Swapped, 8, 0, 0, "ubAP_RDTFWVer", "   ubAP_RDTFWVer : %x\r\n"},
  {201, 500, Kind::Value, 1, 0, 0, "ubAP_ToolID", "   ubAP_ToolID : %x\r\n"},
  {202, 501, Kind::ApVersion, 5, 0, 0, "ubAP_APVer", ""},
  {203, 506, Kind::Date, 3, 0, 0, "ubAP_CurrentDate", ""},
  {204, 509, Kind::Value, 1, 0, 0, "ubAP_Reserved2", "   ubAP_Reserved2 : %x\r\n"},
  {205, 510, Kind::Value, 1, 0, 0, "ubAP_IndustrialSpecification", "   ubAP_IndustrialSpecification : %x\r\n"},
  {206, 511, Kind::GoodMark, 1, 0, 0, "ubAP_GoodMark", ""},
};
// clang-format on

std::uint32_t ReadLe(const std::uint8_t* p, int width) {
  std::uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// printf of one value into a line; the row formats hold exactly one conversion.
std::string FormatValue(const char* format, unsigned value) {
  char line[128];
  const int n = std::snprintf(line, sizeof line, format, value);
  return n > 0 ? std::string(line) : std::string();
}

std::string Header(const char* name) { return std::string("   ") + name + " : "; }

// Texts formatted through "%c" stop at a NUL character, as the report always has.
void AppendChar(std::string& out, std::uint8_t c, bool& ended) {
  if (ended) return;
  if (c == 0) {
    ended = true;
    return;
  }
  out += static_cast<char>(c);
}

std::string ApVersionText(const std::uint8_t* b) {
  const std::uint8_t* v = b + 501;
  if (std::memcmp(v, "KXT", 3) == 0) return StrFormat("KXT%X.%X", v[3], v[4]);
  if (v[0] == 0x41 && v[1] == 0x50 && v[2] == 0x56) return StrFormat("APV%X.%X", v[3], v[4]);
  static const char* const kModels[] = {"KX7410", "KX7410L", "KX7410", "QM6620"};
  const char* model = kModels[v[0] & 0x03];
  const int stageNo = (v[0] >> 2) & 0x07;
  const std::string stage = (stageNo >= 1 && stageNo <= 5) ? StrFormat("S%d", stageNo) : std::string("00");
  const bool ic = (v[0] & 0x20) != 0;
  if (v[3] != 0) {
    const std::string build = StrFormat(ic ? "%sI%X%02d" : "%sS%X%02d", stage.c_str(), v[3], v[4]);
    return StrFormat("MP:%s V%02d%02d_T%d FW:%s", model, v[1], v[2], v[3], build.c_str());
  }
  const std::string build = StrFormat(ic ? "%sIM%02d" : "%sST%02d", stage.c_str(), v[4]);
  return StrFormat("MP:%s V%02d%02d FW:%s", model, v[1], v[2], build.c_str());
}

// The block keeps only the last digit of the year: take the latest year, not
// after this one, that ends in it (values above 9 count on from the decade).
int FullYear(int digit) {
  win::SYSTEMTIME now;
  win::GetLocalTime(&now);
  const int current = now.wYear;
  int year = current - current % 10 + digit;
  if (year > current) year -= 10;
  return year;
}

std::string DateLine(const std::uint8_t* b) {
  const unsigned d = b[506];
  const unsigned w = static_cast<unsigned>(b[507]) | static_cast<unsigned>(b[508]) << 8;
  return StrFormat("   ubAP_CurrentDate : %d/%d/%d %02d:%02d\r\n", FullYear(static_cast<int>(d & 0x0F)),
                   static_cast<int>(d >> 4), static_cast<int>(w & 0x1F), static_cast<int>((w >> 5) & 0x1F),
                   static_cast<int>(w >> 10));
}

std::string GoodMarkText(std::uint8_t m) {
  std::string t = (m & 0x01) ? "MP: OK" : "MP: none";
  t += (m & 0x02) ? "   QC: OK" : "   QC: none";
  t += (m & 0x04) ? "   BurnIn: OK" : "   BurnIn: none";
  if (m & 0x10) t += "   PC BurnIn: OK";
  if (m & 0x80) t += "   NTFS: OK";
  if (m & 0x20) t += "UpLoad: OK";
  return t;
}

std::string RowText(const Row& r, const std::uint8_t* b) {
  const std::uint8_t* p = b + r.offset;
  std::string out;
  bool ended = false;
  switch (r.kind) {
    case Kind::Value:
      return FormatValue(r.format, ReadLe(p, r.width));
    case Kind::Bits: {
      const int bits = r.hi - r.lo + 1;
      const std::uint32_t mask = bits >= 32 ? 0xFFFFFFFFu : ((1u << bits) - 1);
      return FormatValue(r.format, (ReadLe(p, r.width) >> r.lo) & mask);
    }
    case Kind::Chars:
      out = std::string(r.format, std::strcspn(r.format, "%"));
      for (int i = 0; i < r.width; ++i) AppendChar(out, p[i], ended);
      if (!ended) out += "\r\n";
      return out;
    case Kind::Swapped:
      out = Header(r.name);
      for (int i = 0; i + 1 < r.width; i += 2) {
        bool pairEnded = false;
        AppendChar(out, p[i + 1], pairEnded);
        AppendChar(out, p[i], pairEnded);
      }
      return out + "\r\n";
    case Kind::HexBytes:
      out = Header(r.name);
      for (int i = 0; i < r.width; ++i) out += StrFormat("%x,", p[i]);
      return out + "\r\n";
    case Kind::HexWords:
      out = Header(r.name);
      for (int i = 0; i + 1 < r.width; i += 2) out += StrFormat("%x,", static_cast<unsigned>(ReadLe(p + i, 2)));
      return out + "\r\n";
    case Kind::CharComma:
      out = Header(r.name);
      for (int i = 0; i < r.width; ++i)
        if (p[i] != 0) out += StrFormat("%c,", p[i]);
      return out + "\r\n";
    case Kind::ApVersion:
      return StrFormat("   ubAP_APVer : %s\r\n", ApVersionText(b).c_str());
    case Kind::Date:
      return DateLine(b);
    case Kind::GoodMark:
      return StrFormat("   ubAP_GoodMark : %s\r\n", GoodMarkText(b[511]).c_str());
  }
  return out;
}

}  // namespace

kx::InfoBlockField kx::FindInfoBlockField(std::string_view name) {
  for (const Row& r : kRows)
    if (name == r.name) return {r.offset, r.width};
  return {};
}

void CPortDevice::WriteInfoBlockReport(const std::uint8_t* block) {
  const std::string path = ReportPath();
  if (path.empty() || !block) return;
  std::uint8_t local[512];
  std::memcpy(local, block, sizeof local);
  std::string text;
  for (const Row& r : kRows) text += RowText(r, local);
  m_LogFile.AppendText(path, text);
}

std::string CPortDevice::WriteSmartIdReport(const std::uint8_t* table) {
  std::string summary = "Smart ID*";
  if (!table) return summary;
  std::string text;
  for (int offset = 0; offset + 9 <= 512; offset += 9) {
    const std::uint8_t* e = table + offset;
    if (e[0] == 0) break;
    const std::string value =
        StrFormat("%02x%02x%02x%02x%02x%02x%02x%02x", e[8], e[7], e[6], e[5], e[4], e[3], e[2], e[1]);
    text += StrFormat("   Smart ID - %02X : %s\r\n", e[0], value.c_str());
    summary += StrFormat("%02X : (%02X)*", e[0], static_cast<unsigned>(ReadLe(e + 1, 4)));
  }
  const std::string path = ReportPath();
  if (!path.empty()) m_LogFile.AppendText(path, text);
  return summary;
}
