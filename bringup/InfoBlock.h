// The info block as the builder and the post-format check (bringup/InfoBlock.cpp)
// see it, as plain values: where its fields lie (taken from the dump's row
// table, device/InfoBlockLayout.h), how a block is put together from its
// content, and which fields the check compares.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "device/InfoBlockLayout.h"
#include "platform/Clock.h"

namespace kx {

// RDT information that begins with this signature carries a temperature log.
inline constexpr char kTemperatureLogSignature[] = "KXRT";
inline constexpr std::size_t kTemperatureLogBytes = 64;
// ubFWVersionEnable when the block names the firmware.
inline constexpr std::uint8_t kFirmwareNameEnabled = 1;

struct InfoBlockLayout {
  InfoBlockField mark, serial, model, firmwareEnable, firmwareName, ceNumber, wwn, capacity, flashInterface,
      flashClock, temperatureLog, scanMaxBad, mpVersion, date;
};
// Looked up once in the dump's table; the temperature log runs from
// MpInfo.Signature up to the first field after the MpInfo area, and the WWN
// over its four words.
const InfoBlockLayout& GetInfoBlockLayout();

struct InfoBlockContent {
  std::string serialNumber;
  std::string modelName;
  std::string firmwareName;  // empty: the block names no firmware
  std::uint8_t ceNumber = 0;
  std::uint32_t capacitySectors = 0;
  std::uint8_t flashInterface = 0;
  std::uint8_t flashClock = 0;
  std::uint8_t scanMaxBadPercent = 0;
  std::array<std::uint8_t, 5> mpVersion{};
  win::SYSTEMTIME date{};
  const std::uint8_t* temperatureLog = nullptr;  // 64 bytes; null leaves the log cleared
};

// The 512 bytes of a block: the vendor mark, the content's fields (texts in ATA
// string order, blank-filled and cut to their fields), zeros elsewhere.
void BuildInfoBlockBytes(const InfoBlockContent& content, std::uint8_t* block);

// The 64 bytes are given and begin with "KXRT".
bool HasTemperatureLog(const std::uint8_t* rdtInfo64);
// The block begins with the vendor mark.
bool HasInfoBlockMark(const std::uint8_t* block);

// A text field in ATA string order, trimmed of blanks and NULs.
std::string InfoBlockText(const std::uint8_t* block, InfoBlockField field);
// A little-endian field of up to 4 bytes.
std::uint32_t InfoBlockValue(const std::uint8_t* block, InfoBlockField field);

// The drive's identity that Keep_Device_Info carries over: serial number,
// model, firmware name with its enable byte, and WWN.
void CopyDeviceIdentity(const std::uint8_t* from, std::uint8_t* to);

struct InfoBlockMismatch {
  std::string field;  // the dump's name of the field
  std::string device;
  std::string built;
};
// The first compared field whose bytes differ, in the order: vendor mark,
// serial number, model, firmware-name enable and name, capacity, flash
// interface, flash clock. Other bytes (marks, logs, dates) the drive may change.
std::optional<InfoBlockMismatch> FirstInfoBlockMismatch(const std::uint8_t* device, const std::uint8_t* built);

// Sectors of a capacity in GB by the IDEMA rule, 0 for 0 GB; none when they do
// not fit the block's 32-bit field.
std::optional<std::uint32_t> InfoBlockCapacitySectors(std::uint32_t gb);

}  // namespace kx
