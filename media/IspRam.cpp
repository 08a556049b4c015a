// In-system programming of controller RAM: IspProgramPram, and the load that it
// shares with the settings page's detect variant (media/DetectLoad.cpp): seed,
// section data in 64 KiB chunks behind load descriptors, the controller's CRC
// verdicts, the jump into the loaded code, the mCode check, the ICode and the
// system information. The emulated drive answers their commands in
// emulator/DriveVendor.cpp (vendor writes 80h, 24h, 40h, 0Fh, BDh, BEh and the
// CRC read 30h); the image comes from media/BinImage.cpp's loader.
#include "media/IspRam.h"

#include <algorithm>
#include <cstring>

#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "media/BinImage.h"
#include "media/BootJumps.h"
#include "platform/Clock.h"
#include "protocol/MediaRecords.h"

using kx::StrFormat;

namespace kx {

std::vector<PramChunk> SplitPramChunks(std::uint32_t length) {
  const std::uint32_t sectors = length / 512;
  const std::uint32_t full = sectors / kPramChunkSectors;
  const std::uint32_t rest = sectors % kPramChunkSectors;
  std::vector<PramChunk> chunks;
  for (std::uint32_t c = 0; c < full; ++c) chunks.push_back({c, kPramChunkSectors, c * kPramChunkBytes, false, false});
  if (rest != 0) chunks.push_back({full, rest, full * kPramChunkBytes, true, false});
  if (!chunks.empty()) chunks.back().last = true;
  return chunks;
}

std::uint32_t CrcAnswerVerdict(const std::uint8_t* answer512) { return LoadLe32(answer512 + 8); }

PramFailRule PramFailureRule(PramStep step, bool detect) {
  if (!detect) return {.familyLetter = true, .keepCode = false, .messageBox = false, .failReport = true};
  PramFailRule rule;
  switch (step) {
    case PramStep::Load:  // the loader gave the code its letter already
    case PramStep::FirstKey:
      rule.familyLetter = true;
      rule.messageBox = true;
      break;
    case PramStep::Seed:
    case PramStep::SectionLength:
    case PramStep::RunningCode: rule.messageBox = true; break;
    case PramStep::LoopKey: rule.familyLetter = true; break;
    case PramStep::ICode: rule.keepCode = true; break;
    case PramStep::Sram:
    case PramStep::Program:
    case PramStep::Crc:
    case PramStep::CrcAnswer:
    case PramStep::Jump:
    case PramStep::SystemInfo: break;
  }
  return rule;
}

}  // namespace kx

namespace {

constexpr int kApKeyDelayMs = 300;
constexpr int kDefaultLoadDelayMs = 1500;
constexpr std::uint32_t kDetectJumpDelayMs = 5000;
constexpr int kRunningMcode = 1;  // ChkRC mode: the loaded code must run

}  // namespace

bool CPortDevice::PramFailed(kx::PramStep step, bool detect, const char* code, const std::string& message) {
  const kx::PramFailRule rule = kx::PramFailureRule(step, detect);
  if (code) {
    // The step's own codes stand as written ("M_Cxx" keeps its x's).
    if (!rule.keepCode) m_ErrorCode = code;
    m_ErrorMessage = message;
  } else if (rule.familyLetter) {
    std::replace(m_ErrorCode.begin(), m_ErrorCode.end(), 'x', 'C');
  }
  if (rule.messageBox) kx::ShowMessageBox(m_ErrorMessage);
  if (rule.failReport) WriteFailReport();
  return false;
}

bool CPortDevice::IspProgramPram(bool useRdtImage, const std::string& /*name*/) {
  // The jump's ready wait restarts the device's start clock, so the step keeps its own.
  const win::DWORD start = win::GetTickCount();
  m_ClockStart = static_cast<std::int32_t>(start);
  kx::BinLoadOptions options;  // its defaults are this step's
  options.rdtImage = useRdtImage;
  options.requireRdt = useRdtImage;
  kx::BinImage image;
  if (!LoadBinImage(options, image)) return PramFailed(kx::PramStep::Load, false, nullptr, {});
  if (!SendPramImage(image, false)) return false;
  const win::DWORD end = win::GetTickCount();
  m_ClockStart = static_cast<std::int32_t>(start);
  m_ClockNow = static_cast<std::int32_t>(end);
  m_ElapsedSec = static_cast<double>(end - start) / 1000.0;
  WriteReport(StrFormat("ISP Program PRAM OK- Total take %2.3f sec.", m_ElapsedSec), false);
  return true;
}

bool CPortDevice::SendPramImage(const kx::BinImage& image, bool detect) {
  using kx::PramStep;
  const std::uint8_t* img = m_IoBufferA;
  const kx::BinSections& table = image.sections;
  const auto key = [&](PramStep step) {
    return SetApKeyWithRetry(true, kApKeyDelayMs) || PramFailed(step, detect, nullptr, {});
  };
  // The load descriptor has the register descriptor's layout: address, then length.
  const auto describe = [&](std::uint32_t address, std::uint32_t length) {
    kx::BuildRegisterDescriptor(m_RegBuffer.data(), address, length);
    return key(PramStep::LoopKey) &&
           (m_Command->DirectWriteSRAM(m_RegBuffer.data(), 1, 0, 0) ||
            PramFailed(PramStep::Sram, detect, "I_C20", "Issue DirectWriteSRAM cmd. Failed !!"));
  };

  if (!key(PramStep::FirstKey)) return false;
  if (!m_Command->Vender_Send_Seed(img + kx::kBinHeaderSize, kx::kBinSeedSectors))
    return PramFailed(PramStep::Seed, detect, "I_C0A", "issue Vender_Send_Seed command Failed !!");

  // Sections 0-5 into RAM; the ICode (6) only has its length checked here.
  for (int i = 0; i < kx::kBinSectionCount; ++i) {
    const kx::BinSection& s = table.section[i];
    if (s.length == 0) continue;
    if (s.length % 512 != 0)
      return PramFailed(PramStep::SectionLength, detect, "M_Cxx",
                        StrFormat("Byte_Length must multiple of 512 bytes._Section_%d !!!", i));
    if (i == kx::kBinICodeSection) break;
    for (const kx::PramChunk& c : kx::SplitPramChunks(s.length)) {
      if (!describe(s.address + c.offset, c.sectors * 512)) return false;
      if (!key(PramStep::LoopKey)) return false;
      if (!m_Command->ISPProgramPRAM(img + s.dataOffset + c.offset, static_cast<std::uint8_t>(c.sectors), true))
        return PramFailed(
            PramStep::Program, detect, "I_C13",
            c.remainder ? StrFormat("ISPProgramPRAM_lasted failed on Section_%d", i)
                        : StrFormat("ISPProgramPRAM failed on Section_%d, Loop_%d", i, static_cast<int>(c.index)));
    }
  }

  for (int i = 0; i < kx::kBinICodeSection; ++i) {
    const kx::BinSection& s = table.section[i];
    if (s.length == 0) continue;
    if (!describe(s.address, s.length) || !key(PramStep::LoopKey)) return false;
    std::memset(m_RegBuffer.data(), 0, 512);
    if (!m_Command->Vender_Check_CRC(m_RegBuffer.data(), 1))
      return PramFailed(PramStep::Crc, detect, "I_C0B",
                        StrFormat("Issue Vender_Check_CRC cmd. failed on Section_%d.", i));
    const std::uint32_t verdict = kx::CrcAnswerVerdict(m_RegBuffer.data());
    if (verdict != kx::kCrcIntact)
      return PramFailed(PramStep::CrcAnswer, detect, "I_C0Ba",
                        StrFormat("CRC for Section_%d failed (0x%x) !!", i, verdict));
  }
  if (!detect) WriteReport("Load Code done.", true);

  const int delay =
      detect ? static_cast<int>(kDetectJumpDelayMs)
             : kx::ReadProfileInt("Options", "LoadBCodeDelayTime", kDefaultLoadDelayMs, kx::SettingIniPath().c_str());
  if (!JumpToBoot(static_cast<std::uint32_t>(std::max(delay, 0))))
    return PramFailed(PramStep::Jump, detect, nullptr, {});
  if (!ChkRC(kRunningMcode, 0, false, "", nullptr)) return PramFailed(PramStep::RunningCode, detect, nullptr, {});

  if (table.HasICode()) {
    const kx::BinSection& s = table.section[kx::kBinICodeSection];
    const std::vector<kx::PramChunk> chunks = kx::SplitPramChunks(s.length);
    for (const kx::PramChunk& c : chunks) {
      if (!key(PramStep::LoopKey)) return false;
      if (!m_Command->ISPProgramPRAM_ICode(img + s.dataOffset + c.offset, static_cast<std::uint8_t>(c.sectors),
                                           static_cast<std::uint8_t>(c.index), c.last))
        return PramFailed(PramStep::ICode, detect, "I_CA5",
                          c.remainder
                              ? std::string("Issue ISPProgramPRAM_ICode, lasted Failed !!")
                              : StrFormat("Issue ISPProgramPRAM_ICode, Loop_%d Failed !!", static_cast<int>(c.index)));
    }
    for (const kx::PramChunk& c : chunks) {
      if (!key(PramStep::LoopKey)) return false;
      if (!m_Command->ISPVerifyPRAM_ICode(img + s.dataOffset + c.offset, static_cast<std::uint8_t>(c.sectors),
                                          static_cast<std::uint8_t>(c.index)))
        return PramFailed(PramStep::ICode, detect, "I_CA6",
                          c.remainder
                              ? std::string("Issue ISPVerifyPRAM_ICode, lasted Failed !!")
                              : StrFormat("Issue ISVerifyPRAM_ICode, Loop_%d Failed !!", static_cast<int>(c.index)));
    }
  }
  if (!CheckSystemInfo()) return PramFailed(PramStep::SystemInfo, detect, nullptr, {});
  return true;
}
