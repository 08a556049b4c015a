// The serial-number source (bringup/SerialNumber.cpp) as plain values: which
// settings file holds the counter, how a serial number advances, and the
// process-wide take that hands each number to exactly one caller.
//
// The settings: section [Global_Setting] of SATA_Setting.ini on the program's
// drive root, or of .\Configuration\System\MPToolSetting.ini when its
// [General Info] UseLocalSN is not 0. Its key `Last SN` holds the next serial
// number to hand out, whole: a fixed leading part and an 8-digit decimal
// counter, at most 20 characters (the drive's serial-number field). While the
// key is empty the first number is "%08d" of [General Info] SerialNum of the
// parameter file.
#pragma once
#include <cstddef>
#include <string>

namespace kx {

inline constexpr char kSnSettingSection[] = "Global_Setting";
inline constexpr char kSnNextKey[] = "Last SN";
inline constexpr char kUseLocalSnKey[] = "UseLocalSN";
inline constexpr char kToolSettingIniPath[] = ".\\Configuration\\System\\MPToolSetting.ini";
inline constexpr std::size_t kSnCounterDigits = 8;
inline constexpr std::size_t kSnMaxChars = 20;

enum class SnStatus {
  Ok,
  NoSettingsFile,  // no path to read (the program folder is not known)
  Invalid,         // empty, longer than 20 characters, or not ending in 8 decimal digits
  UsedUp,          // the counter stands at 99999999: it never wraps to a number already given
  WriteFailed,     // the advanced counter could not be stored, or the settings folder not locked; no number is handed out
};

// The serial number after `serial`: the counter one up, the leading part kept.
SnStatus AdvanceSerialNumber(const std::string& serial, std::string& next);

// The file that holds the counter: MPToolSetting.ini with UseLocalSN, else
// the device's SATA_Setting.ini path.
std::string SerialSettingsPath(const std::string& snSettingPath);

struct TakenSerial {
  SnStatus status = SnStatus::Invalid;
  std::string serial;  // the number handed out (Ok only)
  std::string next;    // the counter as written back (Ok only)
  std::string why;     // WriteFailed because the settings folder cannot be locked: the folder and the reason
};

// Reads the counter, writes the advanced counter back and only then hands out
// the number read; one caller at a time among all threads and processes (the
// settings folder's profile write lock), so no two callers (and no crash after
// the write) can share a number.
TakenSerial TakeNextSerialNumber(const std::string& settingsPath);

}  // namespace kx
