// eFuse and controller version checks: CheckIcVersion, CheckEfuse and
// CutEfuse. Their register reads and writes go through WriteReg4 and ReadReg4;
// the emulated drive answers them, and DoCut_EFuse, in emulator/DriveVendor.cpp
// (fuse words from emulator/DriveConfig.h).
#include "bringup/Efuse.h"

#include <algorithm>
#include <cctype>

#include "command/DriveCommand.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "platform/Clock.h"

using kx::StrFormat;

namespace kx {

std::uint32_t RegisterReplyValue(const std::uint8_t* reply) {
  return static_cast<std::uint32_t>(reply[4]) | static_cast<std::uint32_t>(reply[5]) << 8 |
         static_cast<std::uint32_t>(reply[6]) << 16 | static_cast<std::uint32_t>(reply[7]) << 24;
}

std::string UartStateLine(std::uint32_t word1) {
  return UartDisabled(word1) ? "    UART : Disable" : "    UART : Enable";
}

std::string JtagStateLine(std::uint32_t word1) {
  return JtagDisabled(word1) ? "    JTAG : Disable" : "    JTAG : Enable";
}

namespace {

std::uint32_t Bits(std::uint32_t word, int first, int count) { return (word >> first) & ((1u << count) - 1); }

}  // namespace

EfuseIdentity DecodeEfuseIdentity(std::uint32_t word1, std::uint32_t word2, std::uint32_t word3) {
  EfuseIdentity id;
  id.trimGoodDie = Bits(word1, 16, 1);
  id.y = Bits(word2, 0, 6);
  id.x = Bits(word2, 6, 7);
  id.waferId = Bits(word2, 13, 5);
  id.lotId4 = Bits(word2, 18, 6);
  id.lotId3 = Bits(word2, 24, 6);
  id.lotId2 = Bits(word2, 30, 2) | Bits(word3, 0, 4) << 2;
  id.lotId1 = Bits(word3, 4, 6);
  return id;
}

std::string ControllerIdLine(const EfuseIdentity& id) {
  return StrFormat("Get Controller ID : %02X_%02X_%02X_%02X_%02X_%02X_%02X", id.y, id.x, id.waferId, id.lotId4,
                   id.lotId3, id.lotId2, id.lotId1);
}

std::string ImplausibleIdentity(const EfuseIdentity& id, std::uint32_t controllerVersion) {
  if (controllerVersion > 1 && id.trimGoodDie != 1) return StrFormat("Trim good die Must be one %02x", id.trimGoodDie);
  const struct {
    std::uint32_t value;
    const char* format;
  } fields[] = {
      {id.y, "Y Coordination Must not be zero %02x"}, {id.x, "X Coordination Must not be zero %02x"},
      {id.waferId, "Wafer ID Must not be zero %02x"}, {id.lotId4, "Lot ID 4 Must not be zero %02x"},
      {id.lotId3, "Lot ID 3 Must not be zero %02x"},  {id.lotId2, "Lot ID 2 Must not be zero %02x"},
      {id.lotId1, "Lot ID 1 Must not be zero %02x"},
  };
  for (const auto& f : fields) {
    if (f.value == 0) return StrFormat(f.format, f.value);
  }
  return {};
}

IcFamily DecodeIcFamily(std::uint32_t word3) {
  IcFamily family;
  switch (Bits(word3, 16, 2)) {
    case 0:
    case 1:
      family.kx7410 = true;
      family.reportLine = "IC Ver: KX7410";
      break;
    case 2:
      family.kx7410 = true;
      family.qm6620 = true;
      family.reportLine = "IC Ver: QM6620";
      break;
    default:
      family.reportLine = StrFormat("IC Ver: unKnown-0x%x", Bits(word3, 16, 8));
      break;
  }
  family.modelName = family.qm6620 ? "QM6620" : family.kx7410 ? "KX7410" : "JW5184";
  return family;
}

bool IcModelMatches(const std::string& name, const std::string& expected) {
  for (std::size_t i = 0; i < 6; ++i) {
    const char a = i < name.size() ? name[i] : '\0';
    const char b = i < expected.size() ? expected[i] : '\0';
    if (std::tolower(static_cast<unsigned char>(a)) != std::tolower(static_cast<unsigned char>(b))) return false;
    if (a == '\0') return true;
  }
  return true;
}

}  // namespace kx

namespace {

// One fuse that CutEfuse may blow.
struct FuseCut {
  std::uint8_t selector;
  std::uint32_t retryWaitMs;
  const char* announce;
  const char* retry;
  const char* done;
  const char* failMessage;
};

const FuseCut kUartCut = {0, 800, "     Do Cut UART...", "     DoCut_EFuse UART DISABLE Fail -> Rerty",
                          "     UART DISABLE", "issue DoCut_EFuse command failed_UART DISABLE !"};
const FuseCut kJtagCut = {1, 800, "     Do Cut JTAG...", "     DoCut_EFuse JTAG DISABLE Fail -> Rerty",
                          "     JTAG DISABLE", "issue DoCut_EFuse command failed_JTAG DISABLE !"};
const FuseCut kAesCut = {9, 300, "     Do Cut AES...", "     DoCut_EFuse AES Function DISABLE Fail -> Rerty",
                         "     AES DISABLE", "issue DoCut_EFuse command failed_AES Function DISABLE !"};
constexpr int kMaxCutRetries = 3;

// Stores the step's elapsed seconds and clocks.
double Elapsed(CPortDevice& d, win::DWORD start) {
  const win::DWORD end = win::GetTickCount();
  d.m_ClockStart = static_cast<std::int32_t>(start);
  d.m_ClockNow = static_cast<std::int32_t>(end);
  d.m_ElapsedSec = static_cast<double>(end - start) / 1000.0;
  return d.m_ElapsedSec;
}

}  // namespace

bool CPortDevice::FailRegisterAccess() {
  std::replace(m_ErrorCode.begin(), m_ErrorCode.end(), 'x', 'S');
  WriteFailReport();
  return false;
}

bool CPortDevice::ReadRegValue(std::uint32_t address, std::uint8_t width, std::uint32_t& value) {
  if (!ReadReg4(address, width)) return false;
  value = kx::RegisterReplyValue(m_RegBuffer.data());
  return true;
}

bool CPortDevice::CheckIcVersion() {
  const win::DWORD start = win::GetTickCount();
  std::uint32_t word3 = 0;
  if (!WriteReg4(kx::kRegFuseAccess, 3, 4) || !ReadRegValue(kx::kRegFuseWord3, 4, word3)) return FailRegisterAccess();
  const kx::IcFamily family = kx::DecodeIcFamily(word3);
  m_bIcFamily2 = 0;
  m_bKX7410 = family.kx7410 ? 1 : 0;
  m_bQM6620 = family.qm6620 ? 1 : 0;
  WriteReport(family.reportLine, true);
  if (!WriteReg4(kx::kRegFuseAccess, 0, 4)) return FailRegisterAccess();
  // The station sets its own code for another model.
  if (!kx::IcModelMatches(family.modelName, kx::kExpectedIcModel)) return false;
  WriteReport(StrFormat("Check ICVer. OK, Total take %.3f sec.", Elapsed(*this, start)), false);
  return true;
}

bool CPortDevice::CheckEfuse(int mode, bool quiet, bool uartMustBeDisabled, bool jtagMustBeDisabled) {
  const win::DWORD start = win::GetTickCount();
  if (!WriteReg4(kx::kRegFuseAccess, 3, 4)) return FailRegisterAccess();
  WriteReport("eFuse Info", false);
  std::uint32_t word1 = 0;
  if (!ReadRegValue(kx::kRegFuseWord1, 4, word1)) return FailRegisterAccess();
  if (!quiet) {
    WriteReport(kx::UartStateLine(word1), true);
    WriteReport(kx::JtagStateLine(word1), true);
  }

  if (mode == 1) {
    // The state check leaves the fuse access open and writes no timing line.
    const struct {
      bool disabled, mustBeDisabled;
      const char *mustDisable, *mustEnable, *pass;
    } checks[] = {
        {kx::UartDisabled(word1), uartMustBeDisabled, "UART Must be Disable", "UART Must be Enable",
         "     Check UART information Pass."},
        {kx::JtagDisabled(word1), jtagMustBeDisabled, "JTAG Must be Disable", "JTAG Must be Enable",
         "     Check JTAG information Pass."},
    };
    for (const auto& c : checks) {
      if (c.disabled != c.mustBeDisabled) {
        Fail("M_D53", c.mustBeDisabled ? c.mustDisable : c.mustEnable, true);
        return false;
      }
      WriteReport(c.pass, true);
    }
    return true;
  }

  std::uint32_t word2 = 0;
  std::uint32_t word3 = 0;
  if (!ReadRegValue(kx::kRegFuseWord1, 4, word1)) return FailRegisterAccess();
  const std::uint32_t trim = kx::DecodeEfuseIdentity(word1, 0, 0).trimGoodDie;
  m_EfuseTrimGoodDie = trim;
  WriteReport(StrFormat("    Trim good die : %02x", trim), true);
  if (!ReadRegValue(kx::kRegFuseWord2, 4, word2) || !ReadRegValue(kx::kRegFuseWord3, 4, word3))
    return FailRegisterAccess();
  const kx::EfuseIdentity id = kx::DecodeEfuseIdentity(word1, word2, word3);
  m_EfuseY = id.y;
  m_EfuseX = id.x;
  m_EfuseWaferId = id.waferId;
  m_EfuseLotId4 = id.lotId4;
  m_EfuseLotId3 = id.lotId3;
  m_EfuseLotId2 = id.lotId2;
  m_EfuseLotId1 = id.lotId1;
  WriteReport(kx::ControllerIdLine(id), true);

  if (!quiet) {
    const struct {
      const char* format;
      std::uint32_t value;
    } lines[] = {{"    Trim good die : %02x", id.trimGoodDie}, {"    Y Coordination : %02x", id.y},
                 {"    X Coordination : %02x", id.x},          {"    Wafer ID : %02x", id.waferId},
                 {"    Lot ID 4 : %02x", id.lotId4},           {"    Lot ID 3 : %02x", id.lotId3},
                 {"    Lot ID 2 : %02x", id.lotId2},           {"    Lot ID 1 : %02x", id.lotId1}};
    for (const auto& l : lines) WriteReport(StrFormat(l.format, l.value), true);
    std::uint32_t version = 0;
    if (!ReadRegValue(kx::kRegControllerVersion, 1, version)) return FailRegisterAccess();
    version &= 0xFF;
    WriteReport(StrFormat("    CTL Version : %02x", version), true);
    const std::string implausible = kx::ImplausibleIdentity(id, version);
    if (!implausible.empty()) {
      Fail("M_D52", implausible, true);
      return false;
    }
    if (!WriteReg4(kx::kRegFuseAccess, 0, 4)) return FailRegisterAccess();
  }
  WriteReport(StrFormat("Check eFuse OK, Total take %.3f sec.", Elapsed(*this, start)), false);
  return true;
}

bool CPortDevice::CutEfuse(bool cutUart, bool cutJtag, bool cutAes) {
  int retries = 0;
  for (;;) {  // one attempt; a failed cut starts a new one after a power reset
    WriteReport("Current eFuse Info:", true);
    bool uartDue = false;
    bool jtagDue = false;
    // The fuse information carries no AES state: an asked AES cut is always due.
    const bool aesDue = m_SwitchBoard != 0 && cutAes;
    if (m_SwitchBoard != 0) {
      std::uint32_t word1 = 0;
      if (!WriteReg4(kx::kRegFuseAccess, 3, 4) || !ReadRegValue(kx::kRegFuseWord1, 4, word1))
        return FailRegisterAccess();
      WriteReport(kx::UartStateLine(word1), true);
      WriteReport(kx::JtagStateLine(word1), true);
      uartDue = cutUart && !kx::UartDisabled(word1);
      jtagDue = cutJtag && !kx::JtagDisabled(word1);
      if (!WriteReg4(kx::kRegFuseAccess, 0, 4)) return FailRegisterAccess();
    }

    const struct {
      bool due;
      const FuseCut& fuse;
    } cuts[] = {{uartDue, kUartCut}, {jtagDue, kJtagCut}, {aesDue, kAesCut}};
    bool retry = false;
    for (const auto& c : cuts) {
      if (!c.due) continue;
      WriteReport(c.fuse.announce, true);
      if (!SetApKeyWithRetry(true, 300)) return false;
      if (m_Command->DoCut_EFuse(c.fuse.selector, 1)) {
        win::Sleep(50);
        WriteReport(c.fuse.done, true);
        continue;
      }
      if (retries >= kMaxCutRetries) {
        Fail("T_x18", c.fuse.failMessage, true);
        return false;
      }
      ++retries;
      WriteReport(c.fuse.retry, true);
      if (!PowerResetCard(true)) return false;
      win::Sleep(c.fuse.retryWaitMs);
      retry = true;
      break;
    }
    if (!retry) break;
  }
  WriteReport("Do Cut_EFuse Pass.", false);
  return true;
}
