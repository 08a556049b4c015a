// Plain rules of the device checks (bringup/DeviceChecks.cpp): what the IO-state
// check makes of the tester's card detection, the parameter files' figures held
// against the drive's, and the name of the recorded info block.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kx {

// Tester page byte 486: 0 old tester firmware, 1 5 V, 2 3.3 V, 3 no card.
constexpr std::size_t kTesterPageOutputVoltage = 486;
constexpr int kOutputVoltageNoCard = 3;
// DetectCard's tries in the IO-state check.
constexpr unsigned kIoStateDetectTries = 10;

struct StepFailure {
  std::string code;
  std::string message;
};

// The IO-state check's verdict on a card detection (DetectCard 1, 4 or 5) after
// the power-on, whose card state it names; none when the drive may go on.
std::optional<StepFailure> JudgeCardDetection(int detectResult, bool powerOnFailed, std::uint8_t cardState,
                                              const std::string& powerOnCode);

// What the parameter files ask of the drive; an empty text or 0 is not checked.
struct ParamFigures {
  std::string dashVersion;       // [Device Info] DashVersion of param.ini (QC mode only)
  std::string flashType;         // [Flash Info] Flh_Type: checked when it names SLC, MLC or TLC
  std::string makerCode;         // [Flash Info] Flh_MakeCode, hexadecimal
  std::uint32_t capacityMb = 0;  // [Flash Info] Flh_Capacity: the least physical size
  std::uint32_t ddrSizeMb = 0;   // [Options] DDRSize of param.ini
  int sataSpeed = 0;             // [Device Info] SATASpeed of param.ini: the SATA generation
};

// What the drive reported.
struct DriveFigures {
  std::uint32_t dashVersion = 0;
  bool slc = false, mlc = false, tlc = false;
  const std::array<std::string, 64>* flashIds = nullptr;  // "%02x ..." per flash number
  std::uint32_t physicalSizeMb = 0;
  std::uint32_t ddrSizeMb = 0;
  int sataGen = 0;
};

// The first figure that differs, in the order above, with its code and message.
std::optional<StepFailure> CompareParamWithDrive(const ParamFigures& ini, const DriveFigures& drive, bool qcMode);

// ".\RecordSystemInfoBlock_<serial>.Bin", the serial made safe for a file name.
std::string RecordSystemInfoPath(const std::string& serial);

}  // namespace kx
