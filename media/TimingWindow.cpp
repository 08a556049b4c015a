// Flash interface timing-window scan: ScanWindow, with its register access
// AccessRegister and ReadSystemInfoBytes. The emulated drive answers their
// commands (Vender_InitialPadAndDrive, CACHE_WRITE_FLASH, Scan_SDLL and its
// reply in SRAM, the duty registers, GetSystemInfo) in emulator/DriveVendor.cpp.
#include "media/TimingWindow.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>

#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/Settings.h"
#include "media/BootJumps.h"
#include "platform/Clock.h"
#include "protocol/MediaRecords.h"

using kx::StrFormat;

namespace kx {

DutyRange ClampDutyRange(int startSetting, int endSetting) {
  if (endSetting == 0) endSetting = 1;
  const int count = static_cast<int>(kDutyCount);
  return {std::clamp(startSetting, 0, count), std::clamp(endSetting, 0, count)};
}

std::optional<ScanGeometry> MakeScanGeometry(std::int32_t flashCount, std::uint32_t channels, std::uint32_t diesPerCe) {
  if (channels == 0 || channels > kScanChannels || flashCount < 0) return std::nullopt;
  const ScanGeometry g{channels, static_cast<std::uint32_t>(flashCount) / channels, diesPerCe};
  if (g.cesPerChannel > kScanBanks) return std::nullopt;
  if (std::uint64_t{g.channels} * g.cesPerChannel * g.diesPerCe * 4 > kEdgesPerDuty) return std::nullopt;
  return g;
}

std::size_t EdgeIndex(const ScanGeometry& g, std::uint32_t channel, std::uint32_t bank, std::uint32_t die, int k) {
  return 4 * (std::size_t{channel} * g.cesPerChannel * g.diesPerCe + std::size_t{bank} * g.diesPerCe + die) +
         static_cast<std::size_t>(k);
}

std::uint8_t ScanWriteSectors(std::uint32_t sysInfo28, std::size_t bufferBytes) {
  const std::size_t limit = std::min<std::size_t>(0xFF, bufferBytes / 512);
  return static_cast<std::uint8_t>(std::min<std::size_t>(sysInfo28, limit));
}

void BuildScanPattern(std::uint8_t* out) {
  // M = m, N = ~m, F = FF, Z = 00 of each of the eight single-bit masks m.
  static constexpr char kHead[] = "ZFZFZFNMNMNM";
  static constexpr char kBlock[] = "MFFMZNNZMFNZFMZNMFZNFMNZ";
  auto put = [](const char* shape, std::uint8_t m, std::uint8_t* to) {
    for (std::size_t i = 0; shape[i] != '\0'; ++i) {
      switch (shape[i]) {
        case 'M': to[i] = m; break;
        case 'N': to[i] = static_cast<std::uint8_t>(~m); break;
        case 'F': to[i] = 0xFF; break;
        default: to[i] = 0x00; break;
      }
    }
  };
  std::uint8_t block[192];
  for (int k = 0; k < 8; ++k) {
    const auto m = static_cast<std::uint8_t>(1u << k);
    put(kHead, m, out + 12 * k);
    put(kBlock, m, block + 24 * k);
  }
  std::memcpy(out + 96, block, sizeof block);
  out[288] = 0x00;
  std::memcpy(out + 289, block, 191);
  out[480] = 0x00;
  out[481] = 0x00;
}

void BuildPadAndDriveBlock(std::uint8_t* out, std::uint8_t flashInterface, std::uint8_t clockLevel) {
  std::memset(out, 0, kPadBlockSize);
  out[0] = flashInterface;
  out[1] = clockLevel;
  StoreLe16(out + 18, kDefaultLdpcErrorBits);
  BuildScanPattern(out + 512);
}

const std::array<const char*, 18> kPadOptionKeys = {
    "FlashInterface", "FlashClock",   "FlashODT",      "FlashDrive",  "PadODTEnable", "PadODT",
    "PadDriveEnable", "PadDrive-ALE", "PadDrive-CLE",  "PadDrive-WE", "PadDrive-RE",  "PadDrive-FRDY",
    "PadDrive-WP",    "PadDrive-DQS", "PadDrive-DATA", "PadDrive-CE", "Round",        "Scan_Interval"};

std::optional<std::uint32_t> ParseHexSetting(const std::string& text, int maxDigits) {
  std::size_t at = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
      std::isxdigit(static_cast<unsigned char>(text[2])))
    at = 2;
  std::uint32_t value = 0;
  int digits = 0;
  for (; at < text.size() && digits < maxDigits && std::isxdigit(static_cast<unsigned char>(text[at]));
       ++at, ++digits) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[at])));
    value = value * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  if (digits == 0) return std::nullopt;
  return value;
}

ScanReply DecodeScanReply(const std::uint8_t* reply) {
  ScanReply r;
  for (std::uint32_t ch = 0; ch < kScanChannels; ++ch) {
    for (int k = 0; k < 4; ++k) {
      const std::uint8_t* p = reply + 8 * ch + 2 * k;
      r.edges[ch][k] = LoadLe16(p);
      r.missing[ch][k] = p[0] == 0xAA && p[1] == 0xAA;
    }
    r.readRef[ch] = LoadLe16(reply + 16 + 4 * ch);
    r.writeRef[ch] = LoadLe16(reply + 18 + 4 * ch);
  }
  return r;
}

std::string EdgeNotFoundText(std::uint32_t channel, int k, std::uint32_t bank, std::uint32_t die) {
  // The controller's texts, byte for byte (spacing and all).
  static constexpr const char* kTexts[2][4] = {
      {"Issue Can Not Find CH0-Read-Min Bank : %d Die : %d  Data : 0x%2X%2X!!!",
       "Issue Can Not Find CH0-Read-Max Bank : %d Die : %d Data : 0x%2X%2X!!!",
       "Issue Can Not Find CH0-Write-Min Bank : %d Die : %d Data : 0x%2X%2X!!!",
       "Issue Can Not Find CH0-Write-Max Bank : %d Die : %d Data : 0x%2X%2X!!!"},
      {"Issue Can Not Find CH1-Read-Min Bank : %d Die : %d Data : 0x%2X%2X!!!",
       "Issue Can Not Find CH1-Read-Max Bank : %d Die : %d Data : 0x%2X%2X!!!",
       "Issue Can Not Find CH1-Write-Min : %d Die : %d Data : 0x%2X%2X!!!",
       "Issue Can Not Find CH1-Write-Max Bank : %d Die : %d Data : 0x%2X%2X!!!"}};
  return StrFormat(kTexts[channel & 1][k & 3], static_cast<int>(bank), static_cast<int>(die), 0xAA, 0xAA);
}

CommonWindow FindCommonWindow(const std::uint32_t* dutyEdges, const ScanGeometry& g, std::uint32_t channel) {
  CommonWindow w;
  for (std::uint32_t b = 0; b < g.cesPerChannel; ++b) {
    for (std::uint32_t d = 0; d < g.diesPerCe; ++d) {
      const std::uint32_t* e = dutyEdges + EdgeIndex(g, channel, b, d, 0);
      w.readStart = std::max(w.readStart, e[kReadMin]);
      w.readEnd = std::min(w.readEnd, e[kReadMax]);
      w.writeStart = std::max(w.writeStart, e[kWriteMin]);
      w.writeEnd = std::min(w.writeEnd, e[kWriteMax]);
    }
  }
  return w;
}

std::uint32_t WindowWidth(std::uint32_t start, std::uint32_t end) { return end > start ? end - start : 0; }

std::uint32_t WindowSpan(std::uint32_t start, std::uint32_t end) { return end >= start ? end - start + 1 : 0; }

std::uint32_t ChooseWidestDuty(const std::vector<DutyWidth>& inScanOrder) {
  std::uint32_t chosen = 0;
  std::uint32_t best = 0;
  for (const DutyWidth& d : inScanOrder) {
    if (d.width > best) {
      best = d.width;
      chosen = d.duty;
    }
  }
  return chosen;
}

std::uint32_t SignMagnitude(std::int64_t difference) {
  if (difference > 0) return static_cast<std::uint32_t>(std::min<std::int64_t>(difference, 0x7FFF));
  return static_cast<std::uint32_t>(std::min<std::int64_t>(-difference, 0x7FFF)) | 0x8000u;
}

std::optional<StepFailure> JudgeDie(std::uint32_t duty, std::uint32_t channel, std::uint32_t bank, std::uint32_t die,
                                    const std::uint32_t* e, int minWidth) {
  const int v = static_cast<int>(duty), ch = static_cast<int>(channel), b = static_cast<int>(bank),
            d = static_cast<int>(die);
  if (e[kReadMin] > e[kReadMax])
    return StepFailure{"D_S15", StrFormat("     Duty_%d CH_%d Bank_%d Die_%d : Read_Min : %d  > Read_Max : %d !!", v,
                                          ch, b, d, static_cast<int>(e[kReadMin]), static_cast<int>(e[kReadMax]))};
  if (e[kWriteMin] > e[kWriteMax])
    return StepFailure{"D_S15", StrFormat("     Duty_%dCH_%d Bank_%d Die_%d : Write_Min : %d  > Write_Max : %d !!", v,
                                          ch, b, d, static_cast<int>(e[kWriteMin]), static_cast<int>(e[kWriteMax]))};
  const std::int64_t readWidth = std::int64_t{e[kReadMax]} - e[kReadMin];
  if (readWidth < minWidth)
    return StepFailure{"D_S14", StrFormat("     Duty_%d CH_%d Bank_%d Die_%d : Read Win = %d  < %d !!", v, ch, b, d,
                                          static_cast<int>(readWidth), minWidth)};
  const std::int64_t writeWidth = std::int64_t{e[kWriteMax]} - e[kWriteMin];
  if (writeWidth < minWidth)
    return StepFailure{"D_S14", StrFormat("     Duty_%d CH_%d Bank_%d Die_%d : Write Win = %d  < %d !!", v, ch, b, d,
                                          static_cast<int>(writeWidth), minWidth)};
  return std::nullopt;
}

namespace {

// Bit number of the n-th set bit (n from 0), if the mask has that many.
std::optional<int> NthSetBit(std::uint32_t mask, std::uint32_t n) {
  for (int bit = 0; bit < 32; ++bit) {
    if ((mask >> bit & 1u) == 0) continue;
    if (n-- == 0) return bit;
  }
  return std::nullopt;
}

}  // namespace

std::string FailCeText(const std::array<std::array<std::uint8_t, kScanBanks>, kScanChannels>& failCe,
                       std::uint32_t mapping0, std::uint32_t mapping1) {
  std::string text;
  for (std::uint32_t ch = 0; ch < kScanChannels; ++ch) {
    for (std::uint32_t b = 0; b < kScanBanks; ++b) {
      if (failCe[ch][b] == 0) continue;
      const std::optional<int> bit = NthSetBit(ch == 0 ? mapping0 : mapping1, b);
      text += bit ? StrFormat(" CE_%d", *bit + static_cast<int>(8 * ch)) : std::string(" CE_?");
    }
  }
  return text;
}

std::string FailCeList(std::uint32_t errorInfo) {
  if (errorInfo == 0) return {};
  std::string text = " Fail CE: ";
  for (int n = 0; n < 32; ++n)
    if (errorInfo >> n & 1u) text += StrFormat("%d,", n);
  return text;
}

std::string FailCeNames(std::uint32_t errorInfo, const std::function<std::string(std::uint16_t)>& nameOf) {
  std::vector<std::string> names;
  for (int n = 0; n < 32; ++n) {
    if ((errorInfo >> n & 1u) == 0) continue;
    std::string name = nameOf(static_cast<std::uint16_t>(n));
    // A CE without a board name still shows, as an empty name.
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
  }
  if (names.empty()) return {};
  std::string text = "[" + names[0];
  for (std::size_t i = 1; i < names.size(); ++i) text += "," + names[i];
  return text + "]";
}

}  // namespace kx

namespace {

constexpr int kApKeyDelayMs = 300;
constexpr std::uint8_t kRegPointerLow = 0x00;
constexpr std::uint8_t kRegPointerHigh = 0x33;
constexpr std::uint8_t kRegWidth = 4;
constexpr std::uint32_t kDutyRegisters[] = {0x04002180, 0x04002184};
constexpr std::uint32_t kDutyBits = 0x00000F00;
constexpr std::uint8_t kAllChannels = 0xFF;
constexpr std::size_t kSysInfoBytes[] = {244, 245, 328, 329};

int ReadOption(const char* key, int defaultValue) {
  return kx::ReadProfileInt("Options", key, defaultValue, kx::SettingIniPath().c_str());
}

}  // namespace

bool CPortDevice::AccessRegister(int mode, std::uint32_t address, std::uint32_t value, std::uint8_t width) {
  if (mode == 0) {
    kx::BuildRegisterDescriptor(m_RegBuffer.data(), address, value);
    if (!SetApKeyWithRetry(true, kApKeyDelayMs)) return false;
    if (!m_Command->Write4ByteReg(m_RegBuffer.data(), width)) {
      Fail("I_x33", "Failed! Write4ByteReg command Failed !!", true);
      return false;
    }
    return true;
  }
  if (mode != 1) return true;
  std::uint8_t sector[512];
  kx::BuildRegisterDescriptor(sector, address, 0);
  if (!SetApKeyWithRetry(true, kApKeyDelayMs)) return false;
  if (!m_Command->DirectWriteSRAM(sector, 1, kRegPointerLow, kRegPointerHigh)) {
    Fail("I_x33", "Failed! DirectWriteSRAM command Failed !!", true);
    return false;
  }
  if (!SetApKeyWithRetry(true, kApKeyDelayMs)) return false;
  std::memset(m_RegBuffer.data(), 0, 512);
  if (!m_Command->Read4ByteReg(m_RegBuffer.data(), width)) {
    Fail("I_x33", "Failed! Read4ByteReg command Failed !!", true);
    return false;
  }
  return true;
}

bool CPortDevice::ReadSystemInfoBytes() {
  std::memset(m_IoBufferB, 0, 1024);
  if (!SetApKeyWithRetry(true, kApKeyDelayMs)) return false;
  if (!m_Command->GetSystemInfo(m_IoBufferB, 1)) {
    Fail("I_x08", "Issue GetSystemInfo Command Failed.", false);
    return false;
  }
  m_SysInfo244 = m_IoBufferB[kSysInfoBytes[0]];
  m_SysInfo245 = m_IoBufferB[kSysInfoBytes[1]];
  m_Mapping0 = m_IoBufferB[kSysInfoBytes[2]];
  m_Mapping1 = m_IoBufferB[kSysInfoBytes[3]];
  return true;
}

bool CPortDevice::BuildScanParameters(std::uint8_t* block) {
  const std::int32_t flashInterface = SelectFlashInterface(0);
  WriteReport(StrFormat("FLH_IF=%d", flashInterface), true);
  const std::int32_t clockLevel = SelectFlashClock(0);
  // Judged on the selected values, before any setting replaces them.
  if (clockLevel > 5 && flashInterface == 1) {
    Fail("S_xMC", StrFormat("Flash Clock > 100MHz, Must use Toggle2 to run !!!, set FLH_Interface=%d", flashInterface),
         true);
    return false;
  }
  WriteReport(StrFormat("Flh_Clk=%d", clockLevel), true);
  kx::BuildPadAndDriveBlock(block, static_cast<std::uint8_t>(flashInterface), static_cast<std::uint8_t>(clockLevel));
  for (std::size_t i = 0; i < kx::kPadOptionKeys.size(); ++i) {
    const int value = ReadOption(kx::kPadOptionKeys[i], 0);
    if (value != 0) block[i] = static_cast<std::uint8_t>(value);
  }
  const std::string ini = kx::SettingIniPath();
  const std::string ldpc = kx::TrimBlanks(kx::ReadProfileText("Options", "Scan_LDPC_Error_Bit", ini.c_str(), 10));
  if (const auto bits = kx::ParseHexSetting(ldpc, 8)) kx::StoreLe16(block + 18, static_cast<std::uint16_t>(*bits));
  for (int i = 0; i < 512; ++i) {
    const std::string key = StrFormat("Byte_%d", i);
    const std::string text = kx::TrimBlanks(kx::ReadProfileText("Scan_SDLL_Para", key.c_str(), ini.c_str(), 5));
    if (const auto byte = kx::ParseHexSetting(text, 2)) block[i] = static_cast<std::uint8_t>(*byte);
  }
  WriteReport(StrFormat("LDPC Error Bit : 0x%02X%02X ", block[19], block[18]), true);
  return true;
}

bool CPortDevice::SendScanParameters(const std::uint8_t* block) {
  if (!SetApKeyWithRetry(true, kApKeyDelayMs)) return false;
  if (m_Command->Vender_InitialPadAndDrive(block, 0)) return true;
  if (CheckSystemInfo()) {
    Fail("I_x101", "Issue Vender_InitialPadAndDrive Command Failed !!!", true);
    return false;
  }
  const std::string names = kx::FailCeNames(m_ErrorInfo, [](std::uint16_t ce) { return kx::GetFlashMapCe(ce); });
  Fail("I_x101",
       StrFormat("Issue Vender_InitialPadAndDrive Command Failed !!! %s", kx::FailCeList(m_ErrorInfo).c_str()) + names,
       true);
  return false;
}

bool CPortDevice::ReadScanRegisters() {
  std::vector<std::uint32_t> addresses = {0x04009800, 0x04009A00};
  for (std::uint32_t ch = 0; ch < m_ChannelCount; ++ch) {
    addresses.push_back(0x04009820 + 4 * ch);
    addresses.push_back(0x04009A20 + 4 * ch);
  }
  for (std::uint32_t address : addresses)
    if (!AccessRegister(1, address, 0, kRegWidth)) return false;
  return true;
}

bool CPortDevice::WriteScanData(const kx::ScanGeometry& g, std::uint8_t sectors) {
  const std::uint32_t seed = m_ScanRandomSeed != 0 ? m_ScanRandomSeed
                                                   : static_cast<std::uint32_t>(platform::Clock().WallMs()) ^
                                                         (static_cast<std::uint32_t>(m_Slot) << 16);
  std::mt19937 random(seed);
  std::generate_n(m_IoBufferA, std::size_t{sectors} * 512, [&] { return static_cast<std::uint8_t>(random()); });
  for (std::uint32_t ch = 0; ch < g.channels; ++ch) {
    for (std::uint32_t b = 0; b < g.cesPerChannel; ++b) {
      if ((m_CeMap >> (b + 8 * ch) & 1u) == 0) continue;
      for (std::uint32_t d = 0; d < g.diesPerCe; ++d) {
        if (!SetApKeyWithRetry(true, kApKeyDelayMs)) return false;
        if (!m_Command->CACHE_WRITE_FLASH(m_IoBufferA, static_cast<std::uint8_t>(ch), static_cast<std::uint8_t>(b),
                                          static_cast<std::uint8_t>(d), sectors)) {
          Fail("T_x17", "Issue CACHE_WRITE_FLASH Command Failed !!!", true);
          return false;
        }
      }
    }
  }
  return true;
}

bool CPortDevice::SetDutyRegisters(std::uint32_t duty) {
  for (std::uint32_t address : kDutyRegisters) {
    if (!AccessRegister(1, address, 0, kRegWidth)) return false;
    const std::uint32_t value = (kx::LoadLe32(m_RegBuffer.data() + 4) & ~kDutyBits) | ((duty << 8) & kDutyBits);
    if (!AccessRegister(0, address, value, kRegWidth)) return false;
  }
  return true;
}

bool CPortDevice::ScanDuty(const kx::ScanGeometry& g, std::uint32_t v, std::uint8_t sectors, bool& outOfRange,
                           kx::ScanReply& last) {
  const int duty = static_cast<int>(v);
  for (std::uint32_t b = 0; b < g.cesPerChannel; ++b) {
    for (std::uint32_t d = 0; d < g.diesPerCe; ++d) {
      const int bank = static_cast<int>(b), die = static_cast<int>(d);
      if (!SetApKeyWithRetry(true, kApKeyDelayMs)) {
        WriteReport("Scan Window APKey Fail", true);
        WriteFailReport();
        return false;
      }
      if (!m_Command->Scan_SDLL(m_IoBufferA, kAllChannels, static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(d),
                                sectors)) {
        WriteReport(StrFormat("Scan_SDLL Command Abort!!.Duty:%d Bank:%d  Die:%d", duty, bank, die), true);
        m_WindowFailedDuty[v] = 1;
        continue;
      }
      if (!SetApKeyWithRetry(true, kApKeyDelayMs)) return false;
      if (!m_Command->DirectReadSRAM(m_IoBufferB, 1, 0, 0)) {
        Fail("I_S21", "Issue DirectReadSRAM Command Failed !!!", true);
        return false;
      }
      last = kx::DecodeScanReply(m_IoBufferB);
      for (std::uint32_t ch = 0; ch < kx::kScanChannels; ++ch) {
        for (int k = 0; k < 4; ++k) {
          if (!last.missing[ch][k]) continue;
          m_WindowFailedDuty[v] = 1;
          m_WindowFailCe[ch][b] = 1;
          m_ErrorMessage = kx::EdgeNotFoundText(ch, k, b, d);
          WriteReport(m_ErrorMessage, true);
        }
      }
      WriteReport(StrFormat("Duty : %d Bank : %d  Die : %d", duty, bank, die), true);
      for (std::uint32_t ch = 0; ch < kx::kScanChannels; ++ch) {
        const auto& e = last.edges[ch];
        // With one channel the CH1 edges are printed but have no room in the table.
        if (ch < g.channels)
          for (int k = 0; k < 4; ++k) m_WindowEdges[v * kx::kEdgesPerDuty + kx::EdgeIndex(g, ch, b, d, k)] = e[k];
        WriteReport(StrFormat("CH %d Read-Min : %d Read-Max : %d Write-Min : %d Write-Max : %d (Range R=%d/W=%d)",
                              static_cast<int>(ch), e[kx::kReadMin], e[kx::kReadMax], e[kx::kWriteMin],
                              e[kx::kWriteMax], e[kx::kReadMax] - e[kx::kReadMin], e[kx::kWriteMax] - e[kx::kWriteMin]),
                    true);
        const bool readOut = e[kx::kReadMin] > kx::kReadEdgeLimit || e[kx::kReadMax] > kx::kReadEdgeLimit;
        if (readOut && (ch == 0 || m_FlashCount != 1)) outOfRange = true;
      }
    }
  }
  return true;
}

bool CPortDevice::FailNoWindow() {
  WriteReport(StrFormat("Mapping0:%2X Mapping1:%2X", m_Mapping0, m_Mapping1), true);
  for (int ch = 0; ch < 2; ++ch)
    for (int b = 0; b < 8; ++b) WriteReport(StrFormat("FailCE[%d][%d]= %d", ch, b, m_WindowFailCe[ch][b]), true);
  const std::string ces = kx::FailCeText(m_WindowFailCe, m_Mapping0, m_Mapping1);
  Fail("I_x96", StrFormat("Issue Can Not Find Window!!! %s", ces.c_str()), true);
  return false;
}

void CPortDevice::ChooseWindowDuties(const kx::ScanGeometry& g, int firstIndex, int endIndex) {
  std::vector<kx::DutyWidth> first, last;
  kx::CommonWindow summary0, summaryLast;
  bool summaryFound = false;
  for (int i = firstIndex; i < endIndex && g.channels >= 2; ++i) {
    const std::uint32_t v = kx::kDutyTable[static_cast<std::size_t>(i)];
    if (m_WindowFailedDuty[v] != 0) continue;
    const std::uint32_t* edges = m_WindowEdges.data() + v * kx::kEdgesPerDuty;
    for (std::uint32_t ch = 0; ch < g.channels; ++ch) {
      const kx::CommonWindow w = kx::FindCommonWindow(edges, g, ch);
      m_WindowReadCentre[v][ch] = (w.readStart + w.readEnd) / 2;
      m_WindowWriteCentre[v][ch] = (w.writeStart + w.writeEnd) / 2;
      if (ch == 0) {
        first.push_back({v, kx::WindowWidth(w.readStart, w.readEnd)});
        summary0 = w;
      }
      if (ch == g.channels - 1) {
        last.push_back({v, kx::WindowWidth(w.readStart, w.readEnd)});
        summaryLast = w;
      }
    }
    summaryFound = true;
  }
  m_WindowDuty = {kx::ChooseWidestDuty(first), kx::ChooseWidestDuty(last)};
  auto span = [&](std::uint32_t start, std::uint32_t end) {
    return summaryFound ? static_cast<int>(kx::WindowSpan(start, end)) : 0;
  };
  m_ExtraResultText =
      StrFormat("CH0sw:R=%d/W=%d*CH1sw:R=%d/W=%d", span(summary0.readStart, summary0.readEnd),
                span(summary0.writeStart, summary0.writeEnd), span(summaryLast.readStart, summaryLast.readEnd),
                span(summaryLast.writeStart, summaryLast.writeEnd));
}

bool CPortDevice::JudgeWindowDuties(const kx::ScanGeometry& g, const kx::ScanReply& last, int minWidth) {
  // CH0, then the last channel; with one channel CH0 is judged twice.
  for (std::size_t slot = 0; slot < 2; ++slot) {
    const std::uint32_t ch = slot == 0 ? 0 : g.channels - 1;
    const std::uint32_t v = m_WindowDuty[slot];
    m_ReadWindowOffset[slot] = kx::SignMagnitude(std::int64_t{m_WindowReadCentre[v][ch]} - last.readRef[ch]);
    m_WriteWindowOffset[slot] = kx::SignMagnitude(std::int64_t{m_WindowWriteCentre[v][ch]} - last.writeRef[ch]);
    for (std::uint32_t b = 0; b < g.cesPerChannel; ++b) {
      if ((m_CeMap >> (b + 8 * ch) & 1u) == 0) continue;
      for (std::uint32_t d = 0; d < g.diesPerCe; ++d) {
        const std::uint32_t* e = m_WindowEdges.data() + v * kx::kEdgesPerDuty + kx::EdgeIndex(g, ch, b, d, 0);
        if (const auto failure = kx::JudgeDie(v, ch, b, d, e, minWidth)) {
          Fail(failure->code.c_str(), failure->message, true);
          return false;
        }
      }
    }
  }
  return true;
}

bool CPortDevice::ScanWindow() {
  WriteReport("Scan Window:", true);
  const win::DWORD start = win::GetTickCount();
  if (!CheckSystemInfo()) return false;
  if (m_bKX7410 == 0 && m_bIcFamily2 == 0) WriteReport("Error IC Ver", true);
  const std::optional<kx::ScanGeometry> geometry = kx::MakeScanGeometry(m_FlashCount, m_ChannelCount, m_DiePerFlash);
  if (!geometry) {
    Fail("F_x09",
         StrFormat("Scan Window - Flash geometry beyond the scan tables (CE=%d CH=%u Die=%u, at most 2 CH, 8 CE per "
                   "CH, 128 dies) !!!",
                   m_FlashCount, m_ChannelCount, m_DiePerFlash),
         true);
    return false;
  }
  const kx::ScanGeometry& g = *geometry;

  std::uint8_t block[kx::kPadBlockSize];
  if (!BuildScanParameters(block) || !SendScanParameters(block) || !ReadScanRegisters()) return false;

  m_WindowEdges.assign(kx::kDutyCount * kx::kEdgesPerDuty, kx::kClearedEdge);
  m_WindowReadCentre = {};
  m_WindowWriteCentre = {};
  m_WindowFailedDuty = {};
  m_WindowFailCe = {};

  const std::uint8_t sectors = kx::ScanWriteSectors(m_SysInfo28, kIoBufferASize);
  if (!WriteScanData(g, sectors)) return false;

  int minWidth = ReadOption("Scan_Window_Criteria", 0);
  if (minWidth == 0) minWidth = kx::kDefaultWindowCriteria;
  const kx::DutyRange range = kx::ClampDutyRange(ReadOption("Start_REB_Duty", 0), ReadOption("End_REB_Duty", 0));
  bool outOfRange = false;
  kx::ScanReply last;
  for (int i = range.first; i < range.end; ++i) {
    const std::uint32_t v = kx::kDutyTable[static_cast<std::size_t>(i)];
    if (!SetDutyRegisters(v) || !ScanDuty(g, v, sectors, outOfRange, last)) return false;
  }
  if (outOfRange) {
    Fail("F_x09", "Scan Window - Flash Timing fail!!!", true);
    return false;
  }
  if (!ReadSystemInfoBytes()) {
    WriteFailReport();
    return false;
  }
  for (std::uint32_t v = 0; v < kx::kDutyCount; ++v)
    if (m_WindowFailedDuty[v] != 0) WriteReport(StrFormat("Fail Duty : %d", static_cast<int>(v)), true);
  if (std::all_of(m_WindowFailedDuty.begin(), m_WindowFailedDuty.end(), [](std::uint8_t f) { return f != 0; }))
    return FailNoWindow();

  ChooseWindowDuties(g, range.first, range.end);
  if (!JudgeWindowDuties(g, last, minWidth)) return false;

  const win::DWORD end = win::GetTickCount();
  m_ClockStart = static_cast<std::int32_t>(start);
  m_ClockNow = static_cast<std::int32_t>(end);
  m_ElapsedSec = static_cast<double>(end - start) / 1000.0;
  WriteReport(StrFormat("Scan Window Process OK- Total take %.3f sec.", m_ElapsedSec), false);
  return true;
}
