// Plain helpers and limits of the drive checks (drivetests/DriveChecks.cpp):
// the SMART temperature and status, the security state and erase time of
// IDENTIFY data, and the waits and limits of each check, in one place.
#pragma once
#include <cstdint>
#include <optional>

namespace kx {

// A working thermal sensor on a drive in a factory reads within these, °C.
constexpr int kThermalMinC = 5;
constexpr int kThermalMaxC = 85;
// Temperature of SMART READ DATA: raw byte 0 of attribute C2h; none without it.
std::optional<int> SmartTemperature(const std::uint8_t* smart512);

// SMART RETURN STATUS by the registers it returned. Status 0, or LBA mid and
// high both 0 (a drive never answers so), means none came back.
enum class SmartStatus : std::uint8_t { Good, ThresholdExceeded, Unknown, NotReturned };
SmartStatus SmartReturnStatus(std::uint8_t lbaMid, std::uint8_t lbaHigh, std::uint8_t status);

// The threshold verdict from SMART READ DATA and READ THRESHOLDS, for a path
// that returned no registers: a pre-failure attribute (flags bit 0) whose value
// is at or below its non-zero threshold exceeds it (the first such is named).
// Unknown when a page fails its checksum, either holds no attribute, or a
// pre-failure attribute has no threshold entry.
struct SmartJudgement {
  SmartStatus status = SmartStatus::Unknown;
  std::uint8_t id = 0, value = 0, threshold = 0;
};
SmartJudgement JudgeSmartThresholds(const std::uint8_t* data512, const std::uint8_t* thresholds512);

// IDENTIFY word 128.
struct SecurityState {
  bool supported = false;
  bool enabled = false;
  bool locked = false;
  bool frozen = false;
};
SecurityState SecurityOf(const std::uint8_t* identify);
// Seconds the card may stay busy after SECURITY ERASE UNIT: IDENTIFY word 89
// (bits 7:0) in 2-minute units, 10 minutes when the drive gives none.
std::uint32_t SecurityEraseLimitSec(const std::uint8_t* identify);
// Wait for a drive that a failed erase left busy or rebooting, before its
// password is disabled.
constexpr double kSecurityCleanupWaitSec = 60.0;

// Device sleep: tries, the pause before the card state is read with the line
// asserted, the state of a sleeping card, and the wait for it to wake.
constexpr int kDevSleepTries = 10;
constexpr std::uint32_t kDevSleepSettleMs = 100;
constexpr std::uint32_t kDevSleepRetryMs = 500;
constexpr std::uint8_t kCardStateAsleep = 0x00;
constexpr double kDevSleepWakeSec = 10.0;

// Time the card may stay busy after the controller's SMART reset.
constexpr double kResetSmartLimitSec = 10.0;

// The normal-current check loads the drive with 32 MiB written and read at LBA 0.
constexpr std::uint64_t kCurrentLoadSectors = 65536;

}  // namespace kx
