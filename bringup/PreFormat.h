// The pre-format's decisions (bringup/PreFormat.cpp): what each result code the
// controller leaves in its result sector means, which of them make the MP
// procedure rescan the drive, and the sectors the step sends. The record
// layouts are protocol/PreFormatRecords.h. Nothing here sends a command.
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "protocol/PreFormatRecords.h"

namespace kx {

// m_PreFormatResultKind: 0 when the drive passed or no result was read.
constexpr std::uint8_t kPreFormatNoResult = 0;
constexpr std::uint8_t kPreFormatControllerFailure = 11;  // the flash blocks do not explain it
constexpr std::uint8_t kPreFormatFlashFailure = 12;       // flash blocks failed: the MP procedure rescans

struct PreFormatResultRow {
  std::uint8_t code;
  std::uint8_t kind;
  const char* text;
};

// The controller's result codes. A code not listed is a controller failure.
inline constexpr PreFormatResultRow kPreFormatResults[] = {
    {0x00, kPreFormatNoResult, "Pass"},
    {0x01, kPreFormatFlashFailure, "Erase Fail"},
    {0x02, kPreFormatFlashFailure, "Program Fail"},
    {0x03, kPreFormatFlashFailure, "Read ECC Fail"},
    {0x04, kPreFormatFlashFailure, "Bad Block Over Spare"},
    {0x05, kPreFormatControllerFailure, "Build System Table Fail"},
};

// How long the drive may stay busy after the pre-format has started.
constexpr double kPreFormatTimeLimitSec = 600.0;
// Poll interval when the caller asks for status polling.
constexpr std::uint32_t kPreFormatPollMs = 1000;

struct PreFormatResult {
  std::uint8_t code = 0;
  std::uint32_t failAddress = 0;
  std::uint8_t kind = kPreFormatNoResult;
  std::string text;  // the row's text, or "Unknown Fail(%02X)"
};
PreFormatResult DecodePreFormatResult(const std::uint8_t* sector512);

// "PreFormat Fail: <text>, Fail Address=0x%08X"
std::string PreFormatFailMessage(const PreFormatResult& result);

std::array<std::uint8_t, 512> BuildPreFormatParam(std::uint16_t ceMap, bool keepRdtInfo);

// The info block and the SMART table as the two sectors that start the pre-format.
std::array<std::uint8_t, 1024> BuildPreFormatData(const std::uint8_t* infoBlock512, const std::uint8_t* smartTable512);

}  // namespace kx
