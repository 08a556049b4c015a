// Info-block pages, the good-card mark, the ISP-code erase and the info-code
// update: IssueReadInfoPage, WriteGoodCardMark, CheckGoodCardMark,
// ReadWriteInfoBlock, GetInfoBlock, ReadSmartData, ReadSmartEntry,
// DumpBufferToFile, EraseISPCode and UpdateInfoCode. The emulated drive keeps
// the info-block pages, the info-code sector and the ISP code in
// emulator/DriveVendor.cpp (sub-commands 28h, 25h, 29h, 46h) and answers SMART
// READ DATA in emulator/DriveAta.cpp.
#include "bringup/InfoPages.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/FileWrites.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/SharedDump.h"

using kx::StrFormat;

namespace kx {

std::uint8_t GoodCardStageBits(int stage) {
  switch (stage) {
    case 1: return kMarkPreTestInit;
    case 2: return kMarkQc;
    case 3: return kMarkPreTestInit | kMarkBurnIn;
    case 4: return kMarkPcBurnIn;
    default: return 0;
  }
}

std::uint8_t KeptGoodCardMark(std::uint8_t mark, int station) {
  switch (station) {
    case 1:
    case 3:
    case 4:
    case 7:
    case 8:
    case 9: return mark & (kMarkPreTestInit | kMarkBurnIn);
    default: return mark;
  }
}

std::uint8_t MarkedGoodCardByte(std::uint8_t mark, int stage, std::uint32_t keptMark) {
  return static_cast<std::uint8_t>(mark | GoodCardStageBits(stage) | (keptMark & 0xFFu));
}

std::string MissingStageMessage(std::uint8_t mark, const StageNeeds& needs) {
  const struct {
    bool needed;
    std::uint8_t bit;
    const char* format;
  } stages[] = {
      {needs.preTestInit, kMarkPreTestInit, "Good Card Mark NOT enable(%02x), NOT pass PreTest-Init stage!!"},
      {needs.qc, kMarkQc, "Good Card Mark NOT enable(%02x), NOT pass QC stage!!"},
      {needs.burnIn, kMarkBurnIn, "Good Card Mark NOT enable(%02x), NOT pass (Self_)BurnIn stage!!"},
      {needs.pcBurnIn, kMarkPcBurnIn, "Good Card Mark NOT enable(%02x), NOT pass PC BurnIn Test!!"},
  };
  for (const auto& s : stages) {
    if (s.needed && (mark & s.bit) == 0) {
      return StrFormat(s.format, mark);
    }
  }
  return {};
}

MarkRuleFault QcStationMarkFault(std::uint8_t mark, std::uint8_t byte510, bool production, int runUpLoad, int rmaTest) {
  const bool rmaMarked = production && (byte510 & kRmaMarkBit) != 0;
  if ((mark & kMarkUpLoad) != 0 && runUpLoad == 0)
    return {"S_x18", "Have UpLoad Good Mark but don't set RunUpLoad on param.ini file!!"};
  if (rmaTest == 0 && rmaMarked) return {"S_x23", "Testing sample have do RMA Test!!"};
  return {};
}

void PutInfoCodeName(std::uint8_t* sector, const std::string& name) {
  if (name.empty()) return;
  const std::string kept = name.substr(0, kInfoCodeNameChars);
  std::uint8_t* field = sector + kInfoCodeNameByte;
  sector[kInfoCodeNameFlagByte] = '3';
  std::fill(field, field + kInfoCodeNameChars, static_cast<std::uint8_t>(' '));
  for (std::size_t i = 0; i < kept.size(); ++i) field[i ^ 1u] = static_cast<std::uint8_t>(kept[i]);
}

void PutInfoCodeDate(std::uint8_t* sector, const win::SYSTEMTIME& time) {
  std::uint8_t* date = sector + kInfoCodeDateByte;
  date[0] = static_cast<std::uint8_t>((time.wYear % 10) | (time.wMonth & 0x0F) << 4);
  const unsigned word = (time.wDay & 0x1Fu) | (time.wHour & 0x1Fu) << 5 | (time.wMinute & 0x3Fu) << 10;
  date[1] = static_cast<std::uint8_t>(word);
  date[2] = static_cast<std::uint8_t>(word >> 8);
}

void StampInfoCode(std::uint8_t* sector, const std::string& firmwareName, const win::SYSTEMTIME& time) {
  std::memcpy(sector, kInfoCodeVendorMark, sizeof kInfoCodeVendorMark - 1);
  PutInfoCodeName(sector, firmwareName);
  PutInfoCodeDate(sector, time);
}

}  // namespace kx

namespace {

// Every step here sends the access key with its check on and 300 ms between tries.
constexpr int kApKeyRetryDelayMs = 300;
constexpr int kApKeySecondTryDelayMs = 500;
constexpr int kAfterMarkWriteDelayMs = 300;
constexpr int kQcStation = 5;
const char kGoodCardDumpFile[] = ".\\GInfoB_w.txt";

}  // namespace

bool CPortDevice::FailWithFamily(char family) {
  std::replace(m_ErrorCode.begin(), m_ErrorCode.end(), 'x', family);
  WriteFailReport();
  return false;
}

bool CPortDevice::IssueReadInfoPage() {
  m_SavedGoodCardMark = 0;
  if (m_IsProduction && m_RdtFwFlag) return true;  // the RDT firmware's block is not read
  if (!SetApKeyWithRetry(true, kApKeyRetryDelayMs)) return FailWithFamily('D');
  std::array<std::uint8_t, kx::kInfoPageBytes> sector{};
  if (!m_Command->DirectReadInfoBlock(sector.data(), 0)) {
    Fail("I_D45", "Issue ReadInfoPage Command Failed!!!", true);
    return false;
  }
  std::copy(sector.begin(), sector.end(), m_InfoBlockRead.begin());
  const std::uint8_t mark = m_IsProduction ? m_InfoBlockRead[kx::kGoodCardMarkByte] : 0;
  m_SavedGoodCardMark = kx::KeptGoodCardMark(mark, m_Station);
  return true;
}

bool CPortDevice::WriteGoodCardMark(int stage) {
  // The mark goes into the drive's own block as the check reads and verifies
  // it: the block last read may be none at all (a drive started in boot code)
  // or the one the pre-format replaced.
  if (!CheckInfoBlock(true)) return FailWithFamily('Q');
  if (m_IsProduction) {
    std::uint8_t& mark = m_InfoBlockRead[kx::kGoodCardMarkByte];
    mark = kx::MarkedGoodCardByte(mark, stage, m_SavedGoodCardMark);
  }
  const std::array<std::uint8_t, kx::kInfoPageBytes> block = m_InfoBlockRead;
  if (!SetApKeyWithRetry(true, kApKeyRetryDelayMs)) {
    win::Sleep(kApKeySecondTryDelayMs);
    if (!SetApKeyWithRetry(true, kApKeyRetryDelayMs)) return FailWithFamily('Q');
  }
  std::memset(m_IoBufferB, 0, kx::kInfoPageBytes);
  std::memcpy(m_IoBufferB, block.data(), block.size());
  if (!m_Command->DirectWriteInfoBlock(m_IoBufferB, 0)) {
    Fail("I_Q10", "Issue Write Info Block Command Failed.", true);
    // The dump is evidence only: a dump that cannot be written keeps the write's code.
    kx::WriteSharedDump(kGoodCardDumpFile, block.data(), block.size());
    return false;
  }
  win::Sleep(kAfterMarkWriteDelayMs);
  if (!SetApKeyWithRetry(true, kApKeyRetryDelayMs)) return FailWithFamily('Q');
  WriteReport("GoodCard Mark OK.", false);
  return true;
}

bool CPortDevice::CheckGoodCardMark(bool needsPreTestInit, bool needsQc, bool needsBurnIn, bool needsPcBurnIn) {
  const std::uint8_t mark = m_InfoBlockRead[kx::kGoodCardMarkByte];
  const std::string missing = kx::MissingStageMessage(mark, {needsPreTestInit, needsQc, needsBurnIn, needsPcBurnIn});
  if (!missing.empty()) {
    Fail("P_x02", missing, false);
    return false;
  }
  if (m_Station != kQcStation) return true;
  const std::string param = kx::SettingIniPath();
  const kx::MarkRuleFault fault = kx::QcStationMarkFault(mark, m_InfoBlockRead[kx::kRmaMarkByte], m_IsProduction != 0,
                                                         kx::ReadProfileInt("Options", "RunUpLoad", 0, param.c_str()),
                                                         kx::ReadProfileInt("Options", "RMATest", 0, param.c_str()));
  if (fault.code.empty()) return true;
  Fail(fault.code.c_str(), fault.message, false);
  return false;
}

bool CPortDevice::ReadWriteInfoBlock(std::uint8_t* buffer512, bool write, std::uint8_t page) {
  if (!SetApKeyWithRetry(true, kApKeyRetryDelayMs)) return false;
  const char* failMessage =
      write ? "Issue DirectWriteInfoBlock Command Fail" : "Issue DirectReadInfoBlock Command Fail";
  // Page 3 moves 1024 or 2048 bytes, more than the caller's 512: never sent.
  const bool sent = page != 3 && (write ? m_Command->DirectWriteInfoBlock(buffer512, page)
                                        : m_Command->DirectReadInfoBlock(buffer512, page));
  if (!sent) {
    m_ErrorMessage = failMessage;
    WriteFailReport();
    return false;
  }
  return true;
}

bool CPortDevice::ReadInfoBlockIntoCopy() {
  std::memset(m_PageBuffer.data(), 0, kx::kInfoPageBytes);
  const bool read = m_Command->DirectReadInfoBlock(m_PageBuffer.data(), 0);
  std::copy_n(m_PageBuffer.begin(), kx::kInfoPageBytes, m_InfoBlockRead.begin());
  if (!read) {
    m_ErrorMessage = "Issue DirectReadInfoBlock Command Failed";
    WriteFailReport();
  }
  return read;
}

bool CPortDevice::GetInfoBlock() {
  if (!SetApKeyWithRetry(true, kApKeyRetryDelayMs)) {
    m_ErrorMessage = "Issue APKey Command Failed_GetInfoBlock";
    return false;
  }
  return ReadInfoBlockIntoCopy();
}

bool CPortDevice::ReadSmartData(std::uint8_t* buffer512) {
  if (!SetApKeyWithRetry(true, kApKeyRetryDelayMs)) return false;
  if (!ReadInfoBlockIntoCopy()) return false;
  if (!m_Command->SMART_READ_DATA(buffer512)) {
    m_ErrorMessage = "Issue SMART_READ_DATA Command Failed";
    WriteFailReport();
    return false;
  }
  return true;
}

bool CPortDevice::ReadSmartEntry(std::uint8_t* buffer512) {
  if (!SetApKeyWithRetry(true, kApKeyRetryDelayMs)) return false;
  if (!m_Command->DirectReadInfoBlock(buffer512, 1)) {
    m_ErrorMessage = "Issue DirectReadInfoBlock Smart Entry Command Failed";
    WriteFailReport();
    return false;
  }
  return true;
}

bool CPortDevice::DumpBufferToFile(const std::uint8_t* buffer, std::uint32_t length, const std::string& path) {
  if (buffer == nullptr && length != 0) return false;
  return kx::WriteWholeFile(path, buffer, length) == kx::WriteResult::Ok;
}

bool CPortDevice::EraseISPCode() {
  if (!SetApKeyWithRetry(true, kApKeyRetryDelayMs)) return false;
  std::memset(m_PageBuffer.data(), 0, kx::kInfoPageBytes);
  if (!m_Command->EraseISPCode(m_PageBuffer.data())) {
    Fail("M_x04", "Erase ISP Code fail!!!", true);
    return false;
  }
  return true;
}

bool CPortDevice::UpdateInfoCode() {
  if (!SetApKeyWithRetry(true, kApKeyRetryDelayMs)) return false;
  std::memset(m_PageBuffer.data(), 0, kx::kInfoPageBytes);
  if (!m_Command->UpdateInfoCode(m_PageBuffer.data(), true)) {
    Fail("M_x04", "Update Info Code - Read fail!!!", true);
    return false;
  }
  std::copy_n(m_PageBuffer.begin(), kx::kInfoPageBytes, m_InfoBlockBuilt.begin());
  const std::string name = FileFirmwareName("");
  win::SYSTEMTIME now;
  win::GetLocalTime(&now);
  kx::StampInfoCode(m_InfoBlockBuilt.data(), name, now);
  std::memset(m_PageBuffer.data(), 0, kx::kInfoPageBytes);
  std::copy_n(m_InfoBlockBuilt.begin(), kx::kInfoPageBytes, m_PageBuffer.begin());
  if (!SetApKeyWithRetry(true, kApKeyRetryDelayMs)) return false;
  if (!m_Command->UpdateInfoCode(m_PageBuffer.data(), false)) {
    Fail("M_x04", "Update Info Code - Write fail!!!", true);
    return false;
  }
  return true;
}
