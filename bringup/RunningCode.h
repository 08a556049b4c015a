// Firmware names and running-code tags (bringup/RunningCode.cpp): the name a
// drive carries once its MP firmware is on it, worked out from the firmware
// file's name; the tag that tells which code the controller runs; and the five
// MP-version bytes of the info block.
#pragma once
#include <array>
#include <cstdint>
#include <string>

namespace kx {

// The part of a path after its last backslash, cut at its last '.'.
std::string BinBaseName(const std::string& path);

// The tool's test number in its build version: the digits after "_T" (found
// after the first character) up to a following "_", else after "(T" up to ")";
// 0 when neither is found or no digits follow.
int ToolTestNumber(const std::string& buildVersion);

// Firmware name of an MP firmware file's base name: 21 characters give "000"
// and characters 15, 17, 18, 19, 20; 16 characters give "0" and characters 8,
// 10 to 15, where a test number other than 0 puts the first digit of its
// lowercase hexadecimal form in place of character 13. Any other length gives
// the empty text.
std::string FirmwareNameFromBaseName(const std::string& baseName, int testNumber);

// The code the controller runs, by the first three characters of its
// firmware name (without regard to case).
enum class RunningTag : std::uint8_t { None, Boot, Mcode, Flash, Rdt };
// "QVR" boot code; "QVB" burner code; "QVF" flash firmware; "QVS", "SBS",
// "RBS", "RDT" RDT firmware from flash; then the first three characters of the
// name from the firmware file, then those of the caller's expected name, each
// flash firmware. A name or tag shorter than three characters matches nothing.
RunningTag MatchRunningTag(const std::string& name, const std::string& fileFirmwareName,
                           const std::string& expectedName);

// Version texts the boot code and the burner code carry in their names: from
// the fifth and from the sixth character on (empty when shorter).
std::string BootCodeVersionOf(const std::string& name);
std::string McodeVersionOf(const std::string& name);

// The model name (IDENTIFY words 27-44, trimmed) begins with "KX00", without
// regard to case.
bool IsControllerModel(const std::string& model);

// The five MP-version bytes from MPVerProjectName, BuildVersion and the MP
// firmware path (ISP_MPBINCode).
std::array<std::uint8_t, 5> MpVersionBytes(const std::string& projectName, const std::string& buildVersion,
                                           const std::string& mpBinPath);

}  // namespace kx
