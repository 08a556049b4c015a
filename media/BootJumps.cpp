// Boot-code jumps and register access: WriteReg4, ReadReg4, JumpToBoot and
// ForceToBootCode. The emulated drive answers their commands in
// emulator/DriveVendor.cpp (Write4ByteReg, DirectWriteSRAM, Read4ByteReg,
// JumpToBoot and the boot-code switch register).
#include "media/BootJumps.h"

#include <algorithm>
#include <cstring>

#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "platform/Clock.h"

using kx::StrFormat;

namespace kx {

void BuildRegisterDescriptor(std::uint8_t* sector512, std::uint32_t address, std::uint32_t value) {
  std::memset(sector512, 0, 512);
  for (int i = 0; i < 4; ++i) {
    sector512[i] = static_cast<std::uint8_t>(address >> (8 * i));
    sector512[4 + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

std::uint32_t JumpRetryPauseMs(int failedTry) { return failedTry <= 1 ? 5000 : 1000; }

}  // namespace kx

namespace {

constexpr int kApKeyDelayMs = 300;
constexpr double kJumpReadyLimitSec = 20.0;
constexpr int kDefaultBootCodeDelayMs = 1500;
// SRAM address bytes where Read4ByteReg finds the register address.
constexpr std::uint8_t kRegPointerLow = 0x00;
constexpr std::uint8_t kRegPointerHigh = 0x33;

}  // namespace

bool CPortDevice::WriteReg4(std::uint32_t address, std::uint32_t value, std::uint8_t width) {
  kx::BuildRegisterDescriptor(m_RegBuffer.data(), address, value);
  if (!SetApKeyWithRetry(true, kApKeyDelayMs)) return false;
  if (!m_Command->Write4ByteReg(m_RegBuffer.data(), width)) {
    Fail("I_x33", "Issue Write4ByteReg command Failed !!", false);
    return false;
  }
  return true;
}

bool CPortDevice::ReadReg4(std::uint32_t address, std::uint8_t width) {
  kx::BuildRegisterDescriptor(m_RegBuffer.data(), address, 0);
  if (!SetApKeyWithRetry(true, kApKeyDelayMs)) return false;
  if (!m_Command->DirectWriteSRAM(m_RegBuffer.data(), 1, kRegPointerLow, kRegPointerHigh)) {
    Fail("I_x20", "Issue DirectWriteSRAM command Failed !!", false);
    return false;
  }
  if (!SetApKeyWithRetry(true, kApKeyDelayMs)) return false;
  std::memset(m_RegBuffer.data(), 0, 512);
  if (!m_Command->Read4ByteReg(m_RegBuffer.data(), width)) {
    Fail("I_x34", "Read4ByteReg command Failed !!", false);
    return false;
  }
  return true;
}

bool CPortDevice::JumpToBoot(std::uint32_t delayMs) {
  if (!SetApKeyWithRetry(false, kApKeyDelayMs)) return false;
  bool jumped = false;
  for (int attempt = 1; attempt <= kx::kJumpTries && !jumped; ++attempt) {
    jumped = m_Command->JumpToBoot();
    if (!jumped) win::Sleep(kx::JumpRetryPauseMs(attempt));
  }
  if (!jumped) {
    Fail("I_x05", "Failed! Jump to Boot Fail !!", false);
    return false;
  }
  win::Sleep(delayMs);
  std::uint8_t state = 0;
  const int ready = WaitCardReady(state, kJumpReadyLimitSec);
  if (ready == 0) {
    Fail("I_x24", StrFormat("After ISP Jump, Device status(%02x) failed !!", state), false);
    return false;
  }
  if (ready == 2) {
    Fail("I_x87", StrFormat("After ISP Jump, polling Device status(%02x) TimeOut(20 sec) !!", state), false);
    return false;
  }
  return true;
}

bool CPortDevice::WriteBootSwitch(std::uint32_t value) {
  kx::BuildRegisterDescriptor(m_RegBuffer.data(), kx::kRegBootSwitch, value);
  // The forced return is a station step: every way it fails ends in the fail report.
  if (!SetApKeyWithRetry(true, kApKeyDelayMs)) {
    WriteFailReport();
    return false;
  }
  if (!m_Command->Write4ByteReg(m_RegBuffer.data(), 1)) {
    Fail("I_x33", "Failed! Write4ByteReg command Failed-1 !!", true);
    return false;
  }
  return true;
}

bool CPortDevice::ForceToBootCode() {
  // The ready wait restarts the device's start clock, so the step keeps its own.
  const win::DWORD start = win::GetTickCount();
  m_ClockStart = static_cast<std::int32_t>(start);
  if (!WriteBootSwitch(2)) return false;
  const int delay = kx::ReadProfileInt("Options", "LoadBootCodeDelayTime", kDefaultBootCodeDelayMs,
                                       kx::SettingIniPath().c_str());
  if (!JumpToBoot(static_cast<std::uint32_t>(std::max(delay, 0)))) {
    WriteFailReport();
    return false;
  }
  if (!WriteBootSwitch(0)) return false;
  const win::DWORD end = win::GetTickCount();
  m_ClockStart = static_cast<std::int32_t>(start);
  m_ClockNow = static_cast<std::int32_t>(end);
  m_ElapsedSec = static_cast<double>(end - start) / 1000.0;
  WriteReport(StrFormat("Force To Boot Code OK.- Total take %.3f sec.", m_ElapsedSec), false);
  return true;
}
