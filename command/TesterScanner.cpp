#include "command/TesterScanner.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Profile.h"

namespace {

constexpr std::uint32_t kInquiryLength = 36;
constexpr std::uint32_t kPageLength = 528;
constexpr win::ULONG kTimeOutSec = 10;
constexpr std::uint16_t kTesterId1 = 0x0D7D;
constexpr std::uint16_t kTesterId2 = 0x144F;
// Wire values of the 32-bit buffered request layout.
constexpr win::USHORT kSptLength = 44;
constexpr std::size_t kDataOffset = 80;
constexpr win::ULONG kSenseOffset = 48;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  const auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace

CTesterScanner::CTesterScanner() : m_hDrive(nullptr) {}
CTesterScanner::~CTesterScanner() = default;

win::HANDLE CTesterScanner::OpenDrive(int driveNo) {
  char path[48];
  std::snprintf(path, sizeof path, "\\\\.\\PhysicalDrive%d", driveNo);
  return win::CreateFileA(path, win::GENERIC_READ | win::GENERIC_WRITE, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                          nullptr, win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
}

void CTesterScanner::CloseDrive(win::HANDLE h) { win::CloseHandle(h); }

int CTesterScanner::Request(int driveNo, const std::uint8_t* cdb, std::uint32_t length, bool setDataAlways) {
  m_hDrive = OpenDrive(driveNo);
  if (m_hDrive == win::INVALID_HANDLE_VALUE) {
    m_hDrive = nullptr;
    return static_cast<int>(win::GetLastError());
  }
  m_PtBuffer = win::ScsiPassThroughBlock{};
  auto& s = m_PtBuffer.Spt;
  s.Length = kSptLength;
  s.TargetId = 1;
  s.CdbLength = 16;
  s.SenseInfoLength = win::kSenseLength;
  s.DataIn = win::SCSI_IOCTL_DATA_IN;
  s.DataTransferLength = length;
  s.TimeOutValue = kTimeOutSec;
  s.DataBufferOffset = kDataOffset;
  s.SenseInfoOffset = kSenseOffset;
  std::memcpy(s.Cdb, cdb, 16);
  win::DWORD returned = 0;
  const win::BOOL ok = win::DeviceIoControl(m_hDrive, win::IOCTL_SCSI_PASS_THROUGH, &m_PtBuffer, sizeof m_PtBuffer,
                                            &m_PtBuffer, sizeof m_PtBuffer, &returned, nullptr);
  const win::DWORD error = ok ? 0 : win::GetLastError();
  CloseDrive(m_hDrive);
  m_hDrive = nullptr;
  if (setDataAlways) m_pData = m_PtBuffer.Data;
  if (!ok) return error != 0 ? static_cast<int>(error) : static_cast<int>(win::ERROR_GEN_FAILURE);
  if (m_PtBuffer.Spt.ScsiStatus != 0) return m_PtBuffer.Spt.ScsiStatus;
  m_pData = m_PtBuffer.Data;
  return 0;
}

int CTesterScanner::Inquiry(int driveNo) {
  const std::uint8_t cdb[16] = {0x12, 0x00, 0x00, 0x00, 0x24};
  return Request(driveNo, cdb, kInquiryLength, false);
}

int CTesterScanner::ReadUSBPage(int driveNo) {
  const std::uint8_t cdb[16] = {0x08, 0xF2, 0xA0};
  return Request(driveNo, cdb, kPageLength, true);
}

int CTesterScanner::TestUnitReady(int driveNo) {
  const std::uint8_t cdb[16] = {};
  return Request(driveNo, cdb, 0, false);
}

int CTesterScanner::HexPairToInt(const char* text) {
  if (text == nullptr || text[0] == '\0') return 0;
  const int first = hexDigit(text[0]);
  const int high = first < 0 ? 0 : first;
  if (text[1] == '\0') return high;
  const int second = hexDigit(text[1]);
  if (second < 0) return high;
  return 16 * high + second;
}

// Product identification (inquiry bytes 16 on) of a tester board.
bool CTesterScanner::IsTesterProduct() const {
  const char* product = reinterpret_cast<const char*>(m_PtBuffer.Data + 16);
  return std::memcmp(product, "SATA TESTER-S", 13) == 0 || std::memcmp(product, "SATA3-TESTER", 12) == 0;
}

bool CTesterScanner::ScanTesters(int, const char*) {
  const std::string assign =
      trim(win::GetPrivateProfileString("Options", "Assign_Tester", "", ".\\TesterSetting.ini")).substr(0, 2);
  const bool pinned = !assign.empty();
  const int pinnedSlot = pinned ? std::atoi(assign.c_str()) : 0;

  for (int i = 0; i < kClearedEntries; ++i) m_SlotMap[i] = 0;

  const int drives = std::max(kScannedDrives, platform::HighestPhysicalDrive() + 1);
  bool found = false;
  for (int d = 0; d < drives && !found; ++d) found = Inquiry(d) == 0 && IsTesterProduct();
  if (!found) return false;

  m_TesterIds[0] = kTesterId1;
  m_TesterIds[1] = kTesterId2;
  for (int d = 0; d < drives; ++d) {
    if (Inquiry(d) != 0 || !IsTesterProduct()) continue;
    if (ReadUSBPage(d) != 0) continue;
    const std::uint8_t* page = m_pData;
    const bool tagOk = std::memcmp(page + 196, "TAVLIN", 6) == 0 || std::memcmp(page + 196, "VuZuRo", 6) == 0;
    const bool idsOk = page[8] == (m_TesterIds[0] & 0xFF) && page[9] == (m_TesterIds[0] >> 8) &&
                       page[10] == (m_TesterIds[1] & 0xFF) && page[11] == (m_TesterIds[1] >> 8);
    if (!tagOk || !idsOk) continue;
    const char high[2] = {static_cast<char>(page[118]), '\0'};
    const char low[2] = {static_cast<char>(page[120]), '\0'};
    const auto slot = static_cast<std::uint8_t>(16 * HexPairToInt(high) + HexPairToInt(low));
    if (slot < 1 || slot > kMaxSlot) return false;
    m_SlotMap[slot] = d;
  }

  if (pinned) {
    for (int i = 0; i < kClearedEntries; ++i) {
      if (i != pinnedSlot) m_SlotMap[i] = 0;
    }
  }
  return true;
}
