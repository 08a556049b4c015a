// Flash identity steps: VerifyFlashIdWithParam and CheckFlashId (the drive's
// reference flash ID, one GetFlashID per flash number), CheckFlashIdCeMap (the
// per-flash IDs, the scan-all flash-ID table against the reference ID and the
// CE maps), ReadFlashIdTable, ReadAllUniqueIds with ReadUniqueId,
// PrintFlashIdTable, and CheckFlashCount (the system information's flash count
// against the parameter file's). The emulated drive answers their commands in
// emulator/DriveVendor.cpp (vendor reads 14h, 15h, 16h and 28h).
#include "bringup/FlashIdentity.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "command/DriveCommand.h"
#include "device/AppHolders.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/SettingNumbers.h"
#include "device/Settings.h"
#include "device/SharedDump.h"
#include "platform/Clock.h"

using kx::StrFormat;

namespace kx {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hexadecimal digits from the start of the text, up to the first other character.
std::uint32_t ReadHexPrefix(const std::string& text) {
  std::uint32_t value = 0;
  for (char c : text) {
    const int d = HexDigit(c);
    if (d < 0) break;
    value = (value << 4) | static_cast<std::uint32_t>(d);
  }
  return value;
}

std::string WithoutBlanks(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != ' ') out += c;
  return out;
}

std::string Piece(const std::string& text, std::size_t at, std::size_t length) {
  return at < text.size() ? text.substr(at, length) : std::string();
}

bool SameNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::string FormatFlashId(const std::uint8_t* id) {
  return StrFormat("%02x %02x %02x %02x %02x %02x %02x", id[0], id[1], id[2], id[3], id[4], id[5], id[6]);
}

bool IsNoFlashReply(const std::uint8_t* r) {
  return r[0] == 0x00 || (r[1] == 0x00 && r[2] == 0x00 && r[3] == 0x00) ||
         (r[0] == 0xFF && r[2] == 0xFF && r[3] == 0xFF) || (r[0] == r[1] && r[1] == r[2]);
}

bool NormalizeFlashId(std::uint8_t* id, IdPatternForm form) {
  const bool full = form == IdPatternForm::Full;
  if (id[0] != 0x98) return false;
  if ((id[1] == 0xEE || id[1] == 0xDE) && id[2] == 0x95 && id[3] == 0x32 && id[4] == 0x7A && id[5] == 0x55 &&
      (!full || id[6] == 0x0A)) {
    id[1] = 0xEE;
    return true;
  }
  if ((id[1] == 0xE7 || id[1] == 0xD7) && id[2] == 0x94 && id[3] == 0x32 && id[4] == 0x76 && id[5] == 0x55 &&
      (!full || id[6] == 0x0A || id[6] == 0x0C || id[6] == 0x0D)) {
    id[1] = 0xE7;
    return true;
  }
  return false;
}

bool MaskedFlashIdMatch(const std::string& wanted, const std::string& read, const std::string& mask) {
  const std::string w = WithoutBlanks(wanted);
  const std::string r = WithoutBlanks(read);
  struct Part {
    std::size_t at, length;
    const char* format;
  };
  for (const Part& p : {Part{0, 8, "%08x"}, Part{8, 6, "%06x"}}) {
    const std::uint32_t m = ReadHexPrefix(Piece(mask, p.at, p.length));
    const std::string a = StrFormat(p.format, ReadHexPrefix(Piece(w, p.at, p.length)) & m);
    const std::string b = StrFormat(p.format, ReadHexPrefix(Piece(r, p.at, p.length)) & m);
    if (!SameNoCase(a, b)) return false;
  }
  return true;
}

bool IsEmptyScanEntry(const std::uint8_t* e) { return e[0] == e[1] && e[1] == e[2] && e[2] == e[3]; }

void NormalizeScanTable(std::uint8_t* table) {
  for (int ce = 0; ce < kFlashNumbers; ++ce) {
    std::uint8_t& code = table[ce * kScanEntryBytes + 1];
    if (code == 0xEE || code == 0xDE) code = 0xEE;
    if (code == 0xE7 || code == 0xD7) code = 0xE7;
  }
}

bool ReadUiCeMap(std::uint16_t& map, std::string& message) {
  return ReadSettingInt<std::uint16_t>(SettingIniPath(), "Options", "CHCEMap", 0, map, message, true);
}

bool ReadFlashNumberSetting(int& count, std::string& message) {
  std::int64_t value = 0;
  if (!ReadSettingInteger(ParamFdbIniPath(), "Flash Info", "Flh_Number", 0, false, 0, kFlashNumbers, value, message))
    return false;
  count = static_cast<int>(value);
  return true;
}

CeMapScan CompareScanTable(const std::uint8_t* table, const FlashId& reference, std::uint16_t ceMap, bool dynamicCe,
                           const std::string& mask) {
  CeMapScan scan;
  std::uint8_t referenceBytes[kFlashIdBytes];
  for (std::size_t i = 0; i < kFlashIdBytes; ++i) referenceBytes[i] = static_cast<std::uint8_t>(reference[i]);
  for (int ce = 0; ce < kFlashNumbers; ++ce) {
    const std::uint8_t* entry = table + ce * kScanEntryBytes;
    if (IsEmptyScanEntry(entry)) continue;
    // A 16-bit map has no bit for CEs from 16 up.
    if (ceMap != 0 && (ce >= 16 || (ceMap & (1u << ce)) == 0)) continue;
    bool equal = true;
    for (std::size_t i = 0; i < kFlashIdBytes; ++i) equal = equal && entry[i] == reference[i];
    if (!equal && dynamicCe && !mask.empty())
      equal = MaskedFlashIdMatch(FormatFlashId(referenceBytes), FormatFlashId(entry), mask);
    if (equal) {
      ++scan.matched;
      if (ce < 16) scan.foundMask = static_cast<std::uint16_t>(scan.foundMask | (1u << ce));
    } else {
      scan.different.push_back(ce);
    }
  }
  return scan;
}

bool HasUniqueId(const std::uint8_t* e) { return e[0] && e[1] && e[2] && e[3] && e[4]; }

std::string FlashNumberMismatchMessage(int found, int expected) {
  return expected > found
             ? StrFormat("Flash Number(%d) < param.ini setting(%d) have CE open or put number is uncorrectly!", found,
                         expected)
             : StrFormat("Flash Number(%d) > param.ini setting(%d),check ini file setting & sample data.", found,
                         expected);
}

}  // namespace kx

namespace {

bool SkipCheckFlash() {
  return kx::ReadProfileInt("Options", "skip_check_Flash", 0, kx::SettingIniPath().c_str()) == 1;
}

std::string WantedFlashId() {
  std::string id = kx::TrimBlanks(kx::ReadProfileText("Flash Info", "Flh_ID", kx::ParamFdbIniPath().c_str(), 40));
  for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return id;
}

}  // namespace

// ---- Reference flash ID ------------------------------------------------------

bool CPortDevice::FindFlashIdReply(bool compareWithParam, bool skipMaskCompare, const std::string& wanted,
                                   std::uint8_t* reply, bool& found) {
  found = false;
  bool lastTried = false;
  for (int flashNo = 0; flashNo < kx::kFlashNumbers; ++flashNo) {
    if (!SetApKeyWithRetry(true, 300)) return false;
    std::memset(reply, 0, 512);
    if (!m_Command->GetFlashID(reply, static_cast<std::uint8_t>(flashNo))) {
      Fail("I_x09", "Issue GetFlashID Command Failed.", false);
      return false;
    }
    lastTried = false;
    if (kx::IsNoFlashReply(reply)) continue;
    if (!compareWithParam) {
      found = true;
      return true;
    }
    m_FlashIdNormalized = kx::NormalizeFlashId(reply, kx::IdPatternForm::Short) ? 1 : 0;
    lastTried = true;
    if (skipMaskCompare || kx::MaskedFlashIdMatch(wanted, kx::FormatFlashId(reply), kx::GetFlashIdMask())) {
      found = true;
      return true;
    }
  }
  // The search ends on the last flash number; the flag speaks of that reply only.
  if (compareWithParam && !lastTried) m_FlashIdNormalized = 0;
  return true;
}

bool CPortDevice::VerifyFlashIdWithParam(bool compareWithParam, bool skipMaskCompare) {
  const bool skipCheck = SkipCheckFlash();
  const std::string wanted = WantedFlashId();
  std::uint8_t reply[512];
  bool found = false;
  if (!FindFlashIdReply(compareWithParam, skipMaskCompare, wanted, reply, found)) return false;
  if (!found && !skipCheck) {
    Fail("I_x09", "Don't get corrected FlashID.", false);
    return false;
  }
  if (!compareWithParam) m_FlashIdNormalized = kx::NormalizeFlashId(reply, kx::IdPatternForm::Full) ? 1 : 0;
  for (std::size_t i = 0; i < kx::kFlashIdBytes; ++i) m_ExpectedFlashId[i] = reply[i];
  m_FlashIdText = kx::FormatFlashId(reply);
  m_FlashMakerCode = reply[0];
  m_FlashDeviceCode = reply[1];
  WriteReport(m_FlashIdText, true);
  return true;
}

bool CPortDevice::CheckFlashId() {
  const std::string wanted = WantedFlashId();
  std::uint8_t reply[512];
  bool found = false;
  if (!FindFlashIdReply(true, false, wanted, reply, found)) return false;
  for (std::size_t i = 0; i < kx::kFlashIdBytes; ++i) m_ExpectedFlashId[i] = reply[i];
  return true;
}

// ---- Flash-ID table and CE map --------------------------------------------------

bool CPortDevice::CheckFlashIdCeMap(bool readInfoBlock, bool compareWithParam, bool useSystemCount) {
  const std::string fdb = kx::ParamFdbIniPath();
  const bool dynamicCe = kx::ReadProfileInt("Options", "AutoCapacity_DynamicCE_En", 0, fdb.c_str()) != 0;
  const bool skipCheck = SkipCheckFlash();
  std::uint16_t ceMap = 0;
  if (std::string message; !kx::ReadUiCeMap(ceMap, message)) {
    Fail(kx::kSettingNumberCode, message, false);
    return false;
  }
  // Refused before the drive is asked, never taken for a lost CE.
  int expectedCount = 0;
  if (std::string message; !useSystemCount && !kx::ReadFlashNumberSetting(expectedCount, message)) {
    Fail(kx::kSettingNumberCode, message, false);
    return false;
  }

  if (!SetApKeyWithRetry(true, 300)) {
    m_ErrorMessage = "GetCardInfomation APKey failed !!!";
    return false;
  }
  if (!CheckIdentify(false) || !VerifyFlashIdWithParam(compareWithParam, false) || !CheckSystemInfo()) return false;
  if (useSystemCount) expectedCount = m_FlashCount;  // as the system information left it

  std::uint8_t sector[512];
  for (int flashNo = 0; flashNo < kx::kFlashNumbers; ++flashNo) {
    if (!SetApKeyWithRetry(true, 300)) return false;
    std::memset(sector, 0, sizeof sector);
    if (!m_Command->GetFlashID(sector, static_cast<std::uint8_t>(flashNo))) {
      Fail("I_x09", StrFormat("Issue GetFlashID Command Failed on Flash_Num-%d", flashNo), false);
      return false;
    }
    const bool repeated = sector[1] == sector[2] && sector[2] == sector[3] && sector[3] == sector[4];
    kx::NormalizeFlashId(sector, kx::IdPatternForm::Full);
    if (repeated) std::memset(sector, 0, 8);
    m_PerFlashIdText[flashNo] = kx::FormatFlashId(sector);
  }

  if (readInfoBlock) {
    if (!SetApKeyWithRetry(true, 300)) return false;
    win::Sleep(50);
    std::memset(sector, 0, sizeof sector);
    if (!m_Command->DirectReadInfoBlock(sector, 0)) {
      Fail("I_x45", "Issue DirectReadInfoBlock Command Failed!!!", false);
      return false;
    }
    std::memcpy(m_InfoBlockRead.data(), sector, m_InfoBlockRead.size());
    return true;
  }

  if (!SetApKeyWithRetry(true, 300)) return false;
  std::memset(sector, 0, sizeof sector);
  if (!m_Command->ScanAllFlashID(sector)) {
    Fail("I_x07", "Issue Scan all Flash ID command Failed!!!", false);
    return false;
  }
  if (m_FlashIdNormalized) kx::NormalizeScanTable(sector);
  std::memcpy(m_ScanAllFlashIdTable.data(), sector, m_ScanAllFlashIdTable.size());

  WriteReport("Scan all ID : ", true);
  for (int ce = 0; ce < 16; ++ce) {
    const std::uint8_t* e = &m_ScanAllFlashIdTable[ce * kx::kScanEntryBytes];
    WriteReport(StrFormat("CE_%02d: %02X %02X %02X %02X %02X %02X %02X %02X", ce, e[0], e[1], e[2], e[3], e[4], e[5],
                          e[6], e[7]),
                true);
  }

  const kx::CeMapScan scan = kx::CompareScanTable(m_ScanAllFlashIdTable.data(), m_ExpectedFlashId, ceMap, dynamicCe,
                                                  kx::GetFlashIdMask());
  if (ceMap != 0 && ceMap != scan.foundMask) {
    Fail("F_x02", StrFormat("Got Different Flash ID CE Map (%X != %x)", ceMap, scan.foundMask), false);
    return false;
  }
  const std::uint16_t boardMap = kx::GetFlashCeTypeMask();
  if (boardMap != 0 && boardMap != scan.foundMask) {
    Fail("F_x02", StrFormat("Got Different Flash ID CE Map from CE Map file(%X != %x)", boardMap, scan.foundMask),
         false);
    return false;
  }
  bool allEqual = scan.different.empty();
  if (!allEqual) {
    WriteReport("   Check Following Flash- Have got Different Flash ID !!!", true);
    m_StatusExtraText += m_StatusExtraText.empty() ? "CE:" : "*CE:";
    for (int ce : scan.different) {
      WriteReport(StrFormat("      CENo: %d - %s", ce,
                            kx::FormatFlashId(&m_ScanAllFlashIdTable[ce * kx::kScanEntryBytes]).c_str()),
                  true);
      m_StatusExtraFlag = 1;
      m_StatusExtraText += StrFormat("%d, ", ce);
    }
    Fail("F_x02", "Got Different Flash ID on SSD sample !!!- (ScanAllID.txt file)", false);
  }
  if (!dynamicCe && scan.matched != expectedCount) {
    Fail("F_x02",
         useSystemCount
             ? StrFormat("Found CE lost on SSD sample(System:%d,Scan:%d) !!!- (Check ScanAllID.txt file)",
                         m_FlashCount, scan.matched)
             : StrFormat("Found CE lost on SSD sample(System:%d,Scan:%d,INI:%d) !!!- (Check ScanAllID.txt file)",
                         m_FlashCount, scan.matched, expectedCount),
         false);
    allEqual = false;
  }
  if (allEqual) return true;

  const std::string dumpName = StrFormat(".\\ScanAllID-%d.txt", m_Slot);
  if (kx::WriteSharedDump(dumpName, m_ScanAllFlashIdTable.data(), m_ScanAllFlashIdTable.size()) !=
      kx::WriteResult::Ok) {
    Fail("A_x08", StrFormat("Open Save %s file failed !!!", dumpName.c_str()), false);
    return false;
  }
  if (!useSystemCount) PrintFlashIdTable();
  return skipCheck;
}

bool CPortDevice::ReadFlashIdTable(std::uint8_t* table) {
  if (!SetApKeyWithRetry(true, 300)) return false;
  std::uint8_t sector[512] = {};
  if (!m_Command->ScanAllFlashID(sector)) return false;
  std::memcpy(table, sector, kx::kScanTableBytes);
  return true;
}

bool CPortDevice::ReadAllUniqueIds() {
  if (!SetApKeyWithRetry(true, 300)) return false;
  std::uint8_t sector[512] = {};
  if (!m_Command->ScanAllFlashID(sector)) return false;
  std::memcpy(m_ScanAllFlashIdTable.data(), sector, m_ScanAllFlashIdTable.size());
  bool result = true;
  for (int ce = 0; ce < kx::kFlashNumbers; ++ce) {
    if (!kx::HasUniqueId(&m_ScanAllFlashIdTable[ce * kx::kScanEntryBytes])) continue;
    if (!ReadUniqueId(static_cast<std::uint8_t>(ce), 0)) result = false;
  }
  return result;
}

bool CPortDevice::ReadUniqueId(std::uint8_t ce, std::uint16_t address) {
  if (!m_ToggleFlagA && !m_ToggleFlagB) return true;
  std::memset(m_IoBufferA, 0, 16 * 1024);
  if (!SetApKeyWithRetry(false, 300)) {
    std::replace(m_ErrorCode.begin(), m_ErrorCode.end(), 'x', 'J');
    WriteFailReport();
    return false;
  }
  if (!m_Command->ReadUniqueID(m_IoBufferA, ce, address)) {
    m_ErrorMessage = "Issue ReadUniqueID Command Failed !!!";
    WriteFailReport();
    return false;
  }
  return true;
}

void CPortDevice::PrintFlashIdTable() {
  WriteReport("", true);
  WriteReport("Print ScanAllFlashID Table as following:", true);
  for (int ce = 0; ce < kx::kFlashNumbers; ++ce) {
    const std::uint8_t* e = &m_ScanAllFlashIdTable[ce * kx::kScanEntryBytes];
    WriteReport(StrFormat(" CE_%d: %02x_%02x_%02x_%02x_%02x_%02x_%02x_%02x", ce, e[0], e[1], e[2], e[3], e[4], e[5],
                          e[6], e[7]),
                true);
  }
}

bool CPortDevice::CheckFlashCount() {
  if (SkipCheckFlash()) return true;
  // A tool-page device keeps the flash count it already holds.
  if (m_IsProduction && !CheckSystemInfo()) {
    std::replace(m_ErrorCode.begin(), m_ErrorCode.end(), 'x', 'D');
    WriteFailReport();
    return false;
  }
  int expected = 0;
  if (std::string message; !kx::ReadFlashNumberSetting(expected, message)) {
    Fail(kx::kSettingNumberCode, message, true);
    return false;
  }
  if (expected == m_FlashCount) return true;

  if (!SetApKeyWithRetry(true, 300)) return false;
  std::uint8_t sector[512] = {};
  if (!m_Command->ScanAllFlashID(sector)) {
    Fail("I_D07", "Issue Scan all Flash ID command Failed!!!", true);
    return false;
  }
  std::memcpy(m_ScanAllFlashIdTable.data(), sector, m_ScanAllFlashIdTable.size());
  PrintFlashIdTable();
  Fail("M_D09", kx::FlashNumberMismatchMessage(m_FlashCount, expected), true);
  return false;
}
