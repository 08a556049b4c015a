// The system-information check `CheckSystemInfo`: it reads the controller's
// 512-byte system-information record, turns a controller-reported error into a
// code, a message and report lines, or else decodes the record into the flash
// geometry, capacity and flag fields of the device and, when asked, dumps it.
// The emulated drive answers GetSystemInfo in emulator/DriveVendor.cpp and
// builds the record in emulator/DriveStores.cpp.
#include "bringup/SystemInfo.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"

using kx::StrFormat;

namespace kx {
namespace {

constexpr std::uint32_t kMax32 = std::numeric_limits<std::uint32_t>::max();

std::uint32_t Saturate32(std::uint64_t v) { return v > kMax32 ? kMax32 : static_cast<std::uint32_t>(v); }

std::uint32_t LittleEndian(const std::uint8_t* p, int width) {
  std::uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// ---- the record's layout ----

enum class Kind : std::uint8_t {
  Value,    // little-endian value of `arg` bytes
  Bit,      // bit `arg` of the byte
  Decimal,  // `arg` characters read as a decimal number (leading digits only)
  Text,     // `arg` characters in order
  Version,  // four characters: bytes 2, 3, 0, 1
};

struct Row {
  int offset;
  Kind kind;
  int arg;
  std::uint32_t SystemInfo::*value;
  bool SystemInfo::*flag;
  std::string SystemInfo::*text;
};

constexpr Row V(int offset, int width, std::uint32_t SystemInfo::*m) {
  return {offset, Kind::Value, width, m, nullptr, nullptr};
}
constexpr Row B(int offset, int bit, bool SystemInfo::*m) { return {offset, Kind::Bit, bit, nullptr, m, nullptr}; }
constexpr Row D(int offset, int chars, std::uint32_t SystemInfo::*m) {
  return {offset, Kind::Decimal, chars, m, nullptr, nullptr};
}
constexpr Row T(int offset, Kind kind, int chars, std::string SystemInfo::*m) {
  return {offset, kind, chars, nullptr, nullptr, m};
}

using S = SystemInfo;
// clang-format off
constexpr Row kRows[] = {
  V(0x00,  1, &S::flashCount),
  V(0x02,  1, &S::channelCount),
  V(0x03,  1, &S::ddrShift),
  V(0x06,  1, &S::diePerFlash),
  V(0x10,  4, &S::sysInfo10),
  V(0x1C,  4, &S::maxBlockPerCe),
  V(0x28,  4, &S::sysInfo28),
  D(0xC9,  2, &S::dashVersion),
  V(0xCC,  2, &S::sysInfoCC),
  V(0xD0,  4, &S::blocksPerPlane),
  V(0xD4,  4, &S::capacityUnit),
  V(0xD8,  4, &S::secondBlockCount),
  B(0xDD,  2, &S::notToggleBit),
  B(0xDE,  2, &S::toggleBBit),
  B(0xE1,  7, &S::toggleAExBit),
  B(0xE2,  2, &S::roundBit2),
  B(0xE2,  4, &S::roundBit4),
  B(0xE2,  6, &S::noRoundBit6),
  B(0xE4,  1, &S::twoPlane),
  B(0xE4,  2, &S::page4K),
  B(0xE4,  3, &S::page8K),
  B(0xE5,  3, &S::slcBit),
  B(0xE5,  4, &S::mlcBit),
  B(0xE5,  5, &S::tlcBit),
  B(0xE5,  6, &S::page2K),
  B(0xE6,  4, &S::flashNotSupported),
  B(0xE7,  5, &S::page16K),
  B(0xE8,  7, &S::fourPlane),
  B(0xE9,  0, &S::dpsTableFlag),
  V(0xFC,  4, &S::errorInfo),
  V(0x100, 2, &S::errorId),
  B(0x136, 0, &S::bit136),
  V(0x138, 4, &S::sysInfo138),
  V(0x148, 4, &S::ceMask64Low),
  V(0x14C, 4, &S::ceMask64High),
  T(0x15C, Kind::Version, 4, &S::fwVersion),
  T(0x160, Kind::Text, 9, &S::fwBuildDate),
  V(0x169, 1, &S::sysInfo169),
  V(0x16A, 1, &S::ceMask64Enable),
  V(0x16D, 1, &S::rdtLoops),
  V(0x16E, 1, &S::rdtFastPageLoops),
  V(0x1D0, 2, &S::sysInfo1D0),
};
// clang-format on

constexpr bool RowsFit() {
  for (const Row& r : kRows) {
    const int bytes = r.kind == Kind::Bit ? 1 : r.arg;
    if (r.offset < 0 || r.offset + bytes > static_cast<int>(kSystemInfoBytes)) return false;
  }
  return true;
}
static_assert(RowsFit(), "every row lies inside the record");

void ReadRow(const Row& r, const std::uint8_t* bytes, SystemInfo& s) {
  const std::uint8_t* p = bytes + r.offset;
  switch (r.kind) {
    case Kind::Value: s.*r.value = LittleEndian(p, r.arg); break;
    case Kind::Bit: s.*r.flag = ((p[0] >> r.arg) & 1) != 0; break;
    case Kind::Decimal: {
      std::uint32_t n = 0;
      for (int i = 0; i < r.arg && IsDigit(static_cast<char>(p[i])); ++i) n = n * 10 + (p[i] - '0');
      s.*r.value = n;
      break;
    }
    case Kind::Text: s.*r.text = std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(r.arg)); break;
    case Kind::Version:
      s.*r.text = {static_cast<char>(p[2]), static_cast<char>(p[3]), static_cast<char>(p[0]), static_cast<char>(p[1])};
      break;
  }
}

// A count that later steps divide by: zero is taken as one, with a note.
void GuardCount(std::uint32_t& count, const char* name, std::vector<std::string>& notes) {
  if (count != 0) return;
  count = 1;
  notes.push_back(StrFormat("SystemInfo %s = 0, taken as 1", name));
}

CellPageType TypeOf(const SystemInfo& s) {
  if (s.slcFamily || s.mlcFamily) {
    const bool slc = s.slcFamily;
    if (s.page16K) return slc ? CellPageType::Slc16K : CellPageType::Mlc16K;
    if (s.page8K) return slc ? CellPageType::Slc8K : CellPageType::Mlc8K;
    if (s.page4K) return slc ? CellPageType::Slc4K : CellPageType::Mlc4K;
    if (s.page2K) return slc ? CellPageType::Slc2K : CellPageType::Mlc2K;
    return slc ? CellPageType::Slc : CellPageType::Mlc;
  }
  if (s.tlcFamily) {
    if (s.page16K) return CellPageType::Tlc16K;
    if (s.page8K) return CellPageType::Tlc8K;
  }
  return CellPageType::None;
}

// ---- controller errors ----

struct ErrorText {
  std::uint32_t id;
  const char* text;
};
constexpr ErrorText kErrorTexts[] = {
    {0x1, "     Code block program with out error, but read empty."},
    {0x2, "     Code block miss."},
    {0x3, "     ID page read uncorrectable."},
    {0x4, "     HW_SET_FLASH_OVERDRIVE_FAIL."},
    {0x5, "     ID page spare mismatch."},
    {0x7, "     Firmware revision incorrect."},
    {0x8, "     ID page CRC error."},
    {0xB, "     Code block read abnormal."},
    {0x10, "     HW_INIT_ERR_PLL_NOT_LOCK"},
    {0x20, "     HW_INIT_ERR_FLASH_IO_POWER_FAIL"},
    {0x100, "     HW_INIT_ERR_FLASH_READY_BUSY"},
    {0x200, "     HW_INIT_ERR_CE0_NOT_EXIST"},
    {0x400, "     HW_INIT_ERR_FLASH_NOT_SUPPORT"},
    {0x1001, "     Erase operation time out."},
    {0x1002, "     Program operation time out."},
    {0x1004, "     Read operation time out."},
    {0x4000, "     HW_INIT_ERR_DDR_COMPARE_FAIL"},
    {0x4001, "     DDR ECC/CRC/UNC error."},
    {0x8000, "     HW_INIT_ERR_DDR_INIT_FAIL."},
};
constexpr const char* kOtherErrorText = "Have Error happened, check Error_ID & Error_Info. !!!";

// DRAM errors whose info is a sub-code; the sub-code's text replaces the ID's.
struct SubCodeText {
  std::uint32_t id;
  std::uint32_t info;
  const char* text;
};
constexpr SubCodeText kSubCodeTexts[] = {
    {0x4001, 1, "     DDR ECC/CRC/UNC error.-ZONE1_DDR_ECC"},
    {0x4001, 2, "     DDR ECC/CRC/UNC error.-ZONE2_DDR_ECC"},
    {0x4001, 4, "     DDR ECC/CRC/UNC error.-ZONE3_DDR_ECC"},
    {0x4001, 8, "     DDR ECC/CRC/UNC error.-ZONE3_INVALID"},
    {0x8000, 1, "     DDR_SIZE_NO_SUPPORT"},
    {0x8000, 2, "     DDR_WRITE_TEST_FAIL"},
    {0x8000, 0xFF, "     DDR_TEST_TIME_OUT"},
};

// Hardware-initialisation and DRAM errors: their info is no CE mask.
constexpr std::uint32_t kNoCeListIds[] = {0x10, 0x20, 0x100, 0x200, 0x400, 0x4000, 0x4001, 0x8000};

std::string ErrorMessage(std::uint32_t id, std::uint32_t info) {
  for (const SubCodeText& t : kSubCodeTexts)
    if (t.id == id && t.info == info) return t.text;
  for (const ErrorText& t : kErrorTexts)
    if (t.id == id) return t.text;
  return kOtherErrorText;
}

}  // namespace

std::uint32_t SaturatedPowerOfTwo(std::uint32_t exponent) {
  return exponent >= 32 ? kMax32 : (std::uint32_t{1} << exponent);
}

std::uint32_t SnapToPowerOfTwoMb(std::uint32_t mb) {
  const double v = mb;
  for (std::uint32_t p = 2; p <= (1u << 21); p <<= 1)
    if (0.8 * p < v && v < 1.2 * p) return p;
  return mb;
}

std::uint32_t PhysicalSizeMb(std::uint32_t blocks, std::uint32_t unit, bool noRound) {
  if (noRound && blocks >= 512) blocks -= blocks % 512;
  const std::uint32_t mb = Saturate32((static_cast<std::uint64_t>(blocks) * unit) >> 11);
  return noRound ? mb : SnapToPowerOfTwoMb(mb);
}

std::uint32_t SettingCapacityValue(const std::string& text) {
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < text.size() && IsDigit(text[i]); ++i)
    n = std::min<std::uint64_t>(n * 10 + (text[i] - '0'), kMax32);
  return static_cast<std::uint32_t>(n);
}

SystemInfo ReadSystemInfoFields(const std::uint8_t* bytes) {
  SystemInfo s;
  for (const Row& r : kRows) ReadRow(r, bytes, s);
  return s;
}

SystemInfo DecodeSystemInfo(const std::uint8_t* bytes, const SystemInfoSettings& settings) {
  SystemInfo s = ReadSystemInfoFields(bytes);
  if (settings.ceMap != 0 && settings.dynamicCe != 0)
    s.flashCount = static_cast<std::uint32_t>(std::popcount(settings.ceMap));
  GuardCount(s.flashCount, "Flash count", s.guardNotes);
  GuardCount(s.channelCount, "Channel count", s.guardNotes);
  GuardCount(s.diePerFlash, "Die per flash", s.guardNotes);

  s.ddrSizeMB = SaturatedPowerOfTwo(s.ddrShift);
  if (s.ddrShift >= 32)
    s.guardNotes.push_back(StrFormat("SystemInfo DDR size shift = %u, taken as %u MB", s.ddrShift, s.ddrSizeMB));
  if (s.sysInfo169 >= 32)
    s.guardNotes.push_back(StrFormat("SystemInfo flash size shift = %u, saturated", s.sysInfo169));

  s.planeCount = s.fourPlane ? 4 : s.twoPlane ? 2 : 1;
  s.totalBlocks = Saturate32(static_cast<std::uint64_t>(s.maxBlockPerCe) * s.flashCount);

  s.capacityNoRound = !s.roundBit2 && !s.roundBit4 && s.noRoundBit6;
  s.physicalSize = PhysicalSizeMb(s.blocksPerPlane, s.capacityUnit, s.capacityNoRound);
  if (settings.dynamicCe == 1)
    s.physicalSize = Saturate32(static_cast<std::uint64_t>(s.flashCount) * settings.singleCeCapacity);
  s.secondCapacity = Saturate32((static_cast<std::uint64_t>(s.secondBlockCount) * s.capacityUnit) >> 11);

  s.slcFamily = s.slcBit;
  s.mlcFamily = !s.slcBit && s.mlcBit;
  s.tlcFamily = !s.slcBit && !s.mlcBit && s.tlcBit;
  s.cellPageType = TypeOf(s);

  if (s.toggleAExBit) {
    s.toggleFlagAEx = true;
    s.toggleFlagA = true;
  } else if (!s.notToggleBit && s.toggleBBit) {
    s.toggleFlagB = true;
  }
  s.sysInfoFlag136 = !s.bit136;
  s.rdtTotalLoops = s.rdtLoops + s.rdtFastPageLoops;
  return s;
}

ControllerErrorReport DescribeControllerError(std::uint32_t errorId, std::uint32_t errorInfo, std::uint16_t ceMap) {
  ControllerErrorReport r;
  const bool noCeList = std::find(std::begin(kNoCeListIds), std::end(kNoCeListIds), errorId) != std::end(kNoCeListIds);
  const std::uint32_t failedInMap = errorInfo & ceMap;
  r.fails = errorId != 0 && ceMap != 0 && (failedInMap != 0 || noCeList);
  if (!r.fails) return r;
  r.errorLine = StrFormat("ErrorID=0x%02x, ErrorInfo=0x%04x", errorId, errorInfo);
  r.message = ErrorMessage(errorId, errorInfo);
  if (noCeList) return r;
  r.failCeLine = "     Fail CE: ";
  for (int ce = 0; ce < 32; ++ce)
    if (failedInMap & (1u << ce)) r.failCeLine += StrFormat("%d,", ce);
  if (errorId == 4 && failedInMap != 0) {
    r.statusFlag = true;
    r.statusText = r.failCeLine.substr(r.failCeLine.find_first_not_of(' '));
  }
  return r;
}

}  // namespace kx

// ---- the step ------------------------------------------------------------------

namespace {

// The decoded record into the device's fields.
void Keep(CPortDevice& d, const kx::SystemInfo& s) {
  d.m_FlashCount = static_cast<std::int32_t>(s.flashCount);
  d.m_ChannelCount = s.channelCount;
  d.m_DdrSizeMB = s.ddrSizeMB;
  d.m_DiePerFlash = s.diePerFlash;
  d.m_SysInfo10 = s.sysInfo10;
  d.m_MaxBlockPerCe = s.maxBlockPerCe;
  d.m_TotalBlocks = s.totalBlocks;
  d.m_SysInfo28 = s.sysInfo28;
  d.m_DashVersion = s.dashVersion;
  d.m_SysInfoCC = s.sysInfoCC;
  d.m_BlocksPerPlane = s.blocksPerPlane;
  d.m_CapacityNoRound = s.capacityNoRound;
  d.m_PhysicalSize = s.physicalSize;
  d.m_SecondCapacity = s.secondCapacity;
  d.m_TwoPlaneMode = s.twoPlane ? 1 : 0;
  d.m_FourPlane = s.fourPlane;
  d.m_PlaneCount = s.planeCount;
  d.m_Page2K = s.page2K;
  d.m_Page4K = s.page4K;
  d.m_Page8K = s.page8K;
  d.m_Page16K = s.page16K;
  d.m_IsSlcFlash = s.slcFamily;
  d.m_IsMlcFlash = s.mlcFamily;
  d.m_IsTlcFlash = s.tlcFamily;
  d.m_CellPageType = s.cellPageType;
  d.m_FlashNotSupported = s.flashNotSupported;
  d.m_DpsTableFlag = s.dpsTableFlag;
  d.m_SysInfoFlag136 = s.sysInfoFlag136;
  d.m_SysInfo138 = s.sysInfo138;
  d.m_CeMask64Low = s.ceMask64Low;
  d.m_CeMask64High = s.ceMask64High;
  d.m_FwVersion = s.fwVersion;
  d.m_FwBuildDate = s.fwBuildDate;
  d.m_SysInfo169 = s.sysInfo169;
  d.m_CeMask64Enable = s.ceMask64Enable;
  d.m_RDT_Loops = s.rdtLoops;
  d.m_RDTFastPageLoops = s.rdtFastPageLoops;
  d.m_RdtTotalLoops = s.rdtTotalLoops;
  d.m_SysInfo1D0 = s.sysInfo1D0;
  d.m_ToggleFlagA = s.toggleFlagA;
  d.m_ToggleFlagB = s.toggleFlagB;
  d.m_ToggleFlagAEx = s.toggleFlagAEx;
}

}  // namespace

bool CPortDevice::CheckSystemInfo() {
  std::uint8_t* reply = m_IoBufferB;
  std::memset(reply, 0, 1024);
  if (!SetApKeyWithRetry(true, 300)) return false;
  if (!m_Command->GetSystemInfo(reply, 1)) {
    Fail("I_x08", "Issue GetSystemInfo Command Failed.", false);
    return false;
  }

  kx::SystemInfoSettings settings;
  settings.ceMap = m_CeMap;
  settings.dynamicCe = kx::ReadProfileInt("Options", "AutoCapacity_DynamicCE_En", 0, kx::ParamFdbIniPath().c_str());
  if (m_CeMap != 0 && settings.dynamicCe != 0) m_FlashCount = std::popcount(m_CeMap);

  const kx::SystemInfo fields = kx::ReadSystemInfoFields(reply);
  m_ErrorInfo = fields.errorInfo;
  m_ErrorID = fields.errorId;
  const kx::ControllerErrorReport error = kx::DescribeControllerError(m_ErrorID, m_ErrorInfo, m_CeMap);
  if (error.fails) {
    WriteReport(error.errorLine, true);
    Fail("I_x08", error.message, false);
    if (!error.failCeLine.empty()) WriteReport(error.failCeLine, true);
    m_StatusExtraFlag = error.statusFlag ? 1 : 0;
    m_StatusExtraText = error.statusText;
    return false;
  }

  if (settings.dynamicCe == 1)
    settings.singleCeCapacity = kx::SettingCapacityValue(
        kx::ReadProfileText("Flash Info", "Flh_SingleCE_Capacity", kx::ParamFdbIniPath().c_str(), 40));
  const kx::SystemInfo info = kx::DecodeSystemInfo(reply, settings);
  for (const std::string& note : info.guardNotes) WriteReport(note, true);
  Keep(*this, info);

  if (kx::ReadProfileInt("Options", "DownLoadInfo", 0, kx::SettingIniPath().c_str()) == 1) {
    const std::string path = StrFormat("%sSystemInfo-%d.bin", m_BinInfoFolder.c_str(), m_Slot);
    if (!SaveBufferToFile(path, reply, static_cast<std::uint32_t>(kx::kSystemInfoBytes))) {
      Fail("A_x08", "Open SystemInfo Save File Failed !!", false);
      return false;
    }
  }
  return true;
}
