// In-system programming of flash and its verification: IspProgramFlash and
// VerifyFlashCode. The emulated drive answers their commands in
// emulator/DriveVendor.cpp (Vender_Send_Seed 80h, Vender_Send_Binfile 82h,
// ISPProgramFlash 41h, ISPVerifyFlash 31h and the jump 0Fh); the transfer and
// header verdicts come back in the card-detect reply of emulator/Transport.cpp.
// The image comes from media/BinImage.cpp's loader; the normal code is cut into
// commands as media/IspRam.h cuts a RAM section.
#include "media/IspFlash.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "command/CommandGlobals.h"
#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/SharedDump.h"
#include "media/BinImage.h"
#include "media/IspRam.h"
#include "platform/Clock.h"

using kx::StrFormat;

namespace kx {

std::uint32_t FlashCodeAfterSeed(std::uint32_t normalSize) {
  const std::uint32_t sectors = normalSize / 512;
  return sectors > kBinSeedSectors ? (sectors - kBinSeedSectors) * 512 : 0;
}

bool ChecksFlashVersion(bool rdtImage, int station) {
  constexpr int kWithoutCompare[] = {1, 3, 4, 7, 8, 9};
  return !rdtImage ||
         std::find(std::begin(kWithoutCompare), std::end(kWithoutCompare), station) == std::end(kWithoutCompare);
}

}  // namespace kx

namespace {

constexpr int kApKeyDelayMs = 300;
constexpr double kProgramReadyLimitSec = 30.0;
constexpr int kDefaultFlashCodeDelayMs = 1500;
constexpr std::uint8_t kProgramHeaderSectors = 8;
constexpr std::uint8_t kVerifyHeaderSectors = 32;
constexpr int kRunningFlashCode = 2;  // ChkRC mode: the flash code must run
constexpr int kJumpKeyTries = 3;
constexpr win::DWORD kJumpKeyPauseMs = 100;
// The card-detect reply's LBA High byte: the controller's verdict on an ISP transfer.
constexpr std::size_t kVerdictByte = 14;
constexpr std::uint8_t kVerdictGood = 0xBB;
const char kDumpSent[] = ".\\ISPVerify-W.txt";
const char kDumpRead[] = ".\\ISPVerify-R.txt";

kx::BinLoadOptions FlashLoadOptions(bool rdtImage, bool programming, const std::string& binType) {
  kx::BinLoadOptions o;
  o.family = 'F';
  o.rdtImage = rdtImage;
  o.requireRdt = rdtImage;
  o.codeKind = 1;
  o.use = kx::BinCodeUse::FlashCode;
  o.trimLeading = false;
  o.binType = binType;
  if (programming) {
    o.retryLine = "ISPFlash, retry Create BIN File handle!!";
    o.reportBinType = true;
    return o;
  }
  o.reportPath = false;
  o.attempts = 1;
  o.retryLine.clear();
  o.detailedOpenMessage = false;
  o.sumFailMessage = "MP Bin Code Fail!";
  o.sumFailBox = false;
  o.typeFrom = kx::BinTypeFrom::ParamFileNoSecond;
  return o;
}

}  // namespace

bool CPortDevice::IspProgramFlash(bool rdtImage, bool skipRunningCodeCheck, const std::string& binType) {
  // The ready waits restart the device's start clock, so the step keeps its own.
  const win::DWORD start = win::GetTickCount();
  m_ClockStart = static_cast<std::int32_t>(start);
  kx::BinImage image;
  if (!LoadBinImage(FlashLoadOptions(rdtImage, true, binType), image)) return FailWithFamily('F');
  if (!SendFlashSeed() || !SendFlashChunks() ||
      !CheckIspVerdict("I_F0C", "CRC fail after Send_Binfile (LBA Hi=0x%x) !!"))
    return false;

  if (!TableApKey(true, 'F')) return false;
  if (!m_Command->ISPProgramFlash()) {
    Fail("I_F28", "Issue ISPProgramFlash Command failed !!", true);
    return false;
  }
  std::uint8_t state = 0;
  const int ready = WaitCardReady(state, kProgramReadyLimitSec);
  if (ready == 0) {
    Fail("I_F24", StrFormat("After issue ISPProgramFlash, Device status(%02x) failed !!", state), true);
    return false;
  }
  if (ready == 2) {
    Fail("I_F87", StrFormat("After issue ISPProgramFlash, polling Device status(%02x) TimeOut(30sec) !!", state), true);
    return false;
  }
  if (!VerifyFlashPass(kProgramHeaderSectors)) return false;

  const int delay =
      kx::ReadProfileInt("Options", "LoadFCodeDelayTime", kDefaultFlashCodeDelayMs, kx::SettingIniPath().c_str());
  if (!JumpToBoot(static_cast<std::uint32_t>(std::max(delay, 0)))) return FailWithFamily('F');
  bool keyed = false;
  for (int attempt = 0; attempt < kJumpKeyTries && !keyed; ++attempt) {
    if (attempt > 0) win::Sleep(kJumpKeyPauseMs);
    keyed = SetApKeyWithRetry(true, kApKeyDelayMs);
  }
  if (!keyed) {
    m_ErrorMessage = "ISP-Flash, after ISPJump, AP-Key Failed !!";
    return FailWithFamily('F');
  }
  if (skipRunningCodeCheck) {
    WriteReport("Short, skip check running code!!", true);
  } else {
    const std::uint8_t compareVersion = kx::ChecksFlashVersion(rdtImage, m_Station) ? 1 : 0;
    if (!ChkRC(kRunningFlashCode, compareVersion, false, std::string(), nullptr)) return FailWithFamily('F');
    if (!TableApKey(true, 'F')) return false;
  }

  FinishFirmwareTiming(start);
  WriteReport(
      StrFormat(rdtImage ? "ISP RDT Firmware OK- Total take %.3f sec." : "ISP Normal Firmware OK- Total take %.3f sec.",
                m_ElapsedSec),
      false);
  return true;
}

bool CPortDevice::VerifyFlashCode() {
  const win::DWORD start = win::GetTickCount();
  m_ClockStart = static_cast<std::int32_t>(start);
  kx::BinImage image;
  if (!LoadBinImage(FlashLoadOptions(false, false, std::string()), image)) return FailWithFamily('F');
  if (!SendFlashSeed() || !VerifyFlashPass(kVerifyHeaderSectors)) return false;
  FinishFirmwareTiming(start);
  WriteReport(StrFormat("Verify Firmware code on Flash OK- Total take %.3f sec.", m_ElapsedSec), false);
  return true;
}

bool CPortDevice::SendFlashSeed() {
  if (!TableApKey(true, 'F')) return false;
  if (!m_Command->Vender_Send_Seed(m_IoBufferA + kx::FlashCodeOffset(m_PramCodeSize), kx::kBinSeedSectors)) {
    Fail("I_F0A", "issue Vender_Send_Seed command Failed !!", true);
    return false;
  }
  return true;
}

bool CPortDevice::SendFlashChunks() {
  const std::uint8_t* rest = m_IoBufferA + kx::FlashCodeOffset(m_PramCodeSize) + kx::kBinSeedBytes;
  for (const kx::PramChunk& chunk : kx::SplitPramChunks(kx::FlashCodeAfterSeed(m_NormalCodeSize))) {
    if (!TableApKey(true, 'F')) return false;
    const auto index = static_cast<std::uint8_t>(chunk.index);
    if (!m_Command->Vender_Send_Binfile(rest + chunk.offset, static_cast<std::uint8_t>(chunk.sectors), index, true)) {
      Fail("I_F0C",
           chunk.remainder ? std::string("issue Vender_Send_Binfile_remainder Failed !!")
                           : StrFormat("issue Vender_Send_Binfile_loop:%d Failed !!", index),
           true);
      return false;
    }
  }
  return true;
}

bool CPortDevice::CheckIspVerdict(const char* code, const char* format) {
  std::uint8_t state = 0;
  std::uint32_t status = 0;
  if (!GetCardState(state, status, true)) return FailWithFamily('F');
  // Behind a bridge or on a SATA port the byte carries no verdict.
  const std::uint8_t verdict = m_CardReply[kVerdictByte];
  if (g_KX_U2A != 0 || verdict == kVerdictGood) return true;
  Fail(code, StrFormat(format, verdict), true);
  return false;
}

bool CPortDevice::VerifyFlashPass(std::uint8_t headerSectors) {
  if (!TableApKey(true, 'F')) return false;
  if (!m_Command->ISPVerifyFlash(m_IoBufferB, headerSectors, 0, 0)) {
    Fail("I_F29", "issue ISPVerifyFlash_Header failed !!!", true);
    return false;
  }
  if (!CheckIspVerdict("I_F29", "ISPVerifyFlash_compare Header Failed (0x%02x)!!")) return false;

  const std::uint8_t* rest = m_IoBufferA + kx::FlashCodeOffset(m_PramCodeSize) + kx::kBinSeedBytes;
  for (const kx::PramChunk& chunk : kx::SplitPramChunks(kx::FlashCodeAfterSeed(m_NormalCodeSize))) {
    if (!TableApKey(true, 'F')) return false;
    const auto index = static_cast<std::uint8_t>(chunk.index);
    const std::uint32_t bytes = chunk.sectors * 512;
    std::memset(m_IoBufferB, 0, bytes);
    if (!m_Command->ISPVerifyFlash(m_IoBufferB, static_cast<std::uint8_t>(chunk.sectors), index, 1)) {
      Fail("I_F29",
           chunk.remainder ? std::string("issue ISPVerifyFlash_remainder Failed !!")
                           : StrFormat("issue ISPVerifyFlash_loop:%d Failed !!", index),
           true);
      return false;
    }
    if (std::memcmp(m_IoBufferB, rest + chunk.offset, bytes) != 0) {
      Fail("I_F29",
           chunk.remainder ? std::string("Compare Flash Code_remainder Failed !")
                           : StrFormat("Compare Flash Code_loop:%d Failed !", index),
           true);
      DumpFlashCompare(rest + chunk.offset, bytes);
      return false;
    }
  }
  return true;
}

void CPortDevice::DumpFlashCompare(const std::uint8_t* sent, std::uint32_t bytes) {
  // A dump that cannot be written is noted in the report; the compare failure
  // keeps its code and message.
  const std::pair<const char*, const std::uint8_t*> dumps[] = {{kDumpSent, sent}, {kDumpRead, m_IoBufferB}};
  for (const auto& [path, data] : dumps) {
    const kx::WriteResult result = kx::WriteSharedDump(path, data, bytes);
    if (result == kx::WriteResult::OpenFailed) WriteReport(StrFormat("Open saving file-%s Failed", path), true);
    if (result == kx::WriteResult::WriteFailed) WriteReport(StrFormat("Write saving file-%s Failed", path), true);
  }
}

void CPortDevice::FinishFirmwareTiming(win::DWORD start) {
  const win::DWORD end = win::GetTickCount();
  m_ClockStart = static_cast<std::int32_t>(start);
  m_ClockNow = static_cast<std::int32_t>(end);
  m_ElapsedSec = static_cast<double>(end - start) / 1000.0;
}
