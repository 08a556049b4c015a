// The register descriptor that carries a register write or a register address
// to the controller, and the pauses between jump-command retries.
#pragma once
#include <cstdint>

namespace kx {

// Boot-code switch register: 2 before a forced jump to boot code, 0 after.
constexpr std::uint32_t kRegBootSwitch = 0x04000044;
constexpr int kJumpTries = 10;

// Fills a 512-byte sector: all zero but the address in bytes 0-3 and the value
// in bytes 4-7, low byte first.
void BuildRegisterDescriptor(std::uint8_t* sector512, std::uint32_t address, std::uint32_t value);

// The pause after failed jump command number `failedTry` (1 for the first):
// 5 s after the first, 1 s after any later one.
std::uint32_t JumpRetryPauseMs(int failedTry);

}  // namespace kx
