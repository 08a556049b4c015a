// Building and checking the info block: BuildInfoBlock, which puts the block
// that the pre-format writes together in m_InfoBlockBuilt (and takes the
// drive's serial number), and CheckInfoBlock, the post-format check of the
// drive's block and logical size. The block read (vendor 21h/28h) and IDENTIFY
// are answered by emulator/DriveVendor.cpp and emulator/DriveAta.cpp.
#include "bringup/InfoBlock.h"

#include <algorithm>
#include <cstring>

#include "bringup/Capacity.h"
#include "bringup/InfoPages.h"
#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/Settings.h"

using kx::StrFormat;

namespace kx {

namespace {

InfoBlockField Spanning(const char* first, const char* next) {
  const InfoBlockField a = FindInfoBlockField(first);
  const InfoBlockField b = FindInfoBlockField(next);
  return {a.offset, a.width != 0 && b.width != 0 && b.offset > a.offset ? b.offset - a.offset : 0};
}

void PutAtaText(std::uint8_t* block, InfoBlockField f, const std::string& text) {
  std::string padded = text.substr(0, static_cast<std::size_t>(f.width));
  padded.resize(static_cast<std::size_t>(f.width), ' ');
  for (int i = 0; i + 1 < f.width; i += 2) {
    block[f.offset + i] = static_cast<std::uint8_t>(padded[i + 1]);
    block[f.offset + i + 1] = static_cast<std::uint8_t>(padded[i]);
  }
}

void PutValue(std::uint8_t* block, InfoBlockField f, std::uint32_t value) {
  for (int i = 0; i < f.width && i < 4; ++i) block[f.offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutBytes(std::uint8_t* block, InfoBlockField f, const std::uint8_t* bytes) {
  std::memcpy(block + f.offset, bytes, static_cast<std::size_t>(f.width));
}

std::string Trimmed(std::string text) {
  const std::size_t end = text.find_last_not_of(std::string(" \0", 2));
  text.erase(end == std::string::npos ? 0 : end + 1);
  return TrimBlanks(text);
}

enum class Show { Plain, Ata, Number };
struct Compared {
  InfoBlockField InfoBlockLayout::*field;
  const char* name;
  Show show;
};
// clang-format off
constexpr Compared kCompared[] = {
  {&InfoBlockLayout::mark, "u8bTavlinInfoMark", Show::Plain},
  {&InfoBlockLayout::serial, "ubSerialNumber", Show::Ata},
  {&InfoBlockLayout::model, "ubModelNumber", Show::Ata},
  {&InfoBlockLayout::firmwareEnable, "ubFWVersionEnable", Show::Number},
  {&InfoBlockLayout::firmwareName, "ubFWVersion", Show::Ata},
  {&InfoBlockLayout::capacity, "ulSSDSize_LBA", Show::Number},
  {&InfoBlockLayout::flashInterface, "ubFlashInterface", Show::Number},
  {&InfoBlockLayout::flashClock, "ubFlashClk", Show::Number},
};
// clang-format on

std::string Shown(const std::uint8_t* block, InfoBlockField f, Show show) {
  switch (show) {
    case Show::Plain:
      return Trimmed(std::string(reinterpret_cast<const char*>(block + f.offset), static_cast<std::size_t>(f.width)));
    case Show::Ata:
      return InfoBlockText(block, f);
    case Show::Number:
      return StrFormat("%u", InfoBlockValue(block, f));
  }
  return {};
}

}  // namespace

const InfoBlockLayout& GetInfoBlockLayout() {
  static const InfoBlockLayout layout = [] {
    InfoBlockLayout l;
    l.mark = FindInfoBlockField("u8bTavlinInfoMark");
    l.serial = FindInfoBlockField("ubSerialNumber");
    l.model = FindInfoBlockField("ubModelNumber");
    l.firmwareEnable = FindInfoBlockField("ubFWVersionEnable");
    l.firmwareName = FindInfoBlockField("ubFWVersion");
    l.ceNumber = FindInfoBlockField("ubCENumber");
    l.wwn = Spanning("uwWWN[0]", "ubFormFactor");
    l.capacity = FindInfoBlockField("ulSSDSize_LBA");
    l.flashInterface = FindInfoBlockField("ubFlashInterface");
    l.flashClock = FindInfoBlockField("ubFlashClk");
    l.temperatureLog = Spanning("MpInfo.Signature", "ubAP_APVer1");
    l.scanMaxBad = FindInfoBlockField("ubAP_ScanMaxBad");
    l.mpVersion = FindInfoBlockField("ubAP_APVer");
    l.date = FindInfoBlockField("ubAP_CurrentDate");
    return l;
  }();
  return layout;
}

void BuildInfoBlockBytes(const InfoBlockContent& c, std::uint8_t* block) {
  const InfoBlockLayout& l = GetInfoBlockLayout();
  std::memset(block, 0, kInfoPageBytes);
  std::memcpy(block + l.mark.offset, kInfoCodeVendorMark,
              std::min<std::size_t>(static_cast<std::size_t>(l.mark.width), std::strlen(kInfoCodeVendorMark)));
  PutAtaText(block, l.serial, c.serialNumber);
  PutAtaText(block, l.model, c.modelName);
  if (!c.firmwareName.empty()) {
    PutValue(block, l.firmwareEnable, kFirmwareNameEnabled);
    PutAtaText(block, l.firmwareName, c.firmwareName);
  }
  PutValue(block, l.ceNumber, c.ceNumber);
  PutValue(block, l.capacity, c.capacitySectors);
  PutValue(block, l.flashInterface, c.flashInterface);
  PutValue(block, l.flashClock, c.flashClock);
  if (c.temperatureLog && l.temperatureLog.width == static_cast<int>(kTemperatureLogBytes))
    PutBytes(block, l.temperatureLog, c.temperatureLog);
  PutValue(block, l.scanMaxBad, c.scanMaxBadPercent);
  if (l.mpVersion.width == static_cast<int>(c.mpVersion.size())) PutBytes(block, l.mpVersion, c.mpVersion.data());
  // The date is packed as in the info-code sector, whose field lies at the same place.
  std::uint8_t stamped[kInfoPageBytes] = {};
  PutInfoCodeDate(stamped, c.date);
  if (l.date.width == 3) PutBytes(block, l.date, stamped + kInfoCodeDateByte);
}

bool HasTemperatureLog(const std::uint8_t* rdtInfo64) {
  return rdtInfo64 && std::memcmp(rdtInfo64, kTemperatureLogSignature, std::strlen(kTemperatureLogSignature)) == 0;
}

bool HasInfoBlockMark(const std::uint8_t* block) {
  return std::memcmp(block + GetInfoBlockLayout().mark.offset, kInfoCodeVendorMark, std::strlen(kInfoCodeVendorMark)) ==
         0;
}

std::string InfoBlockText(const std::uint8_t* block, InfoBlockField f) {
  std::string text;
  for (int i = 0; i + 1 < f.width; i += 2) {
    text += static_cast<char>(block[f.offset + i + 1]);
    text += static_cast<char>(block[f.offset + i]);
  }
  return Trimmed(text);
}

std::uint32_t InfoBlockValue(const std::uint8_t* block, InfoBlockField f) {
  std::uint32_t v = 0;
  for (int i = std::min(f.width, 4) - 1; i >= 0; --i) v = v << 8 | block[f.offset + i];
  return v;
}

void CopyDeviceIdentity(const std::uint8_t* from, std::uint8_t* to) {
  const InfoBlockLayout& l = GetInfoBlockLayout();
  for (InfoBlockField f : {l.serial, l.model, l.firmwareEnable, l.firmwareName, l.wwn})
    PutBytes(to, f, from + f.offset);
}

std::optional<InfoBlockMismatch> FirstInfoBlockMismatch(const std::uint8_t* device, const std::uint8_t* built) {
  const InfoBlockLayout& l = GetInfoBlockLayout();
  for (const Compared& c : kCompared) {
    const InfoBlockField f = l.*(c.field);
    if (std::memcmp(device + f.offset, built + f.offset, static_cast<std::size_t>(f.width)) != 0)
      return InfoBlockMismatch{c.name, Shown(device, f, c.show), Shown(built, f, c.show)};
  }
  return std::nullopt;
}

std::optional<std::uint32_t> InfoBlockCapacitySectors(std::uint32_t gb) {
  if (gb == 0) return 0u;
  const std::uint64_t sectors = IdemaSectors(gb);
  if (sectors > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(sectors);
}

}  // namespace kx

namespace {

constexpr int kApKeyRetryDelayMs = 300;

std::string ParamText(const char* section, const char* key, std::size_t size) {
  return kx::TrimBlanks(kx::ReadProfileText(section, key, kx::SettingIniPath().c_str(), size));
}

std::uint8_t Byte(std::int64_t value) { return static_cast<std::uint8_t>(std::clamp<std::int64_t>(value, 0, 255)); }

// The capacity in GB the drive is given: the bad-block scan's auto capacity
// when that is on and chose one, else SetSSDSize, else the capacity rule.
std::uint32_t CapacityGb(CPortDevice& d) {
  const std::string fdb = kx::ParamFdbIniPath();
  if (kx::ReadProfileInt("Options", "AutoCapacity_Enable", 0, fdb.c_str()) != 0 && d.GetAutoCapacitySize() != 0)
    return d.GetAutoCapacitySize();
  const std::string size = kx::TrimBlanks(kx::ReadProfileText("Options", "SetSSDSize", fdb.c_str(), 20));
  const std::int32_t gb = size.empty() || size == "0" ? d.SelectCapacity() : kx::ReadSignedDecimal(size);
  return gb > 0 ? static_cast<std::uint32_t>(gb) : 0;
}

}  // namespace

bool CPortDevice::BuildInfoBlock(bool takeNewSerial, bool keepDeviceInfo, const std::uint8_t* rdtInfo64,
                                 bool useRdtInfo) {
  if (!m_bKX7410 && !m_bIcFamily2) WriteReport("Error IC Ver", true);
  const std::uint32_t gb = CapacityGb(*this);
  const std::optional<std::uint32_t> sectors = kx::InfoBlockCapacitySectors(gb);
  if (!sectors) {
    Fail("S_x15", StrFormat("InfoBlock capacity is out of range!!(%u GB)", gb), true);
    return false;
  }
  if (keepDeviceInfo && !kx::HasInfoBlockMark(m_InfoBlockRead.data())) {
    Fail("S_x16", "Keep_Device_Info: no info block read from device!!", true);
    return false;
  }

  kx::InfoBlockContent c;
  c.modelName = ParamText("General Info", "ModelName", 41);
  c.firmwareName = FileFirmwareName("");
  c.ceNumber = Byte(m_FlashCount);
  c.capacitySectors = *sectors;
  c.flashInterface = Byte(SelectFlashInterface(0));
  c.flashClock = Byte(SelectFlashClock(0));
  c.scanMaxBadPercent = Byte(kx::ReadProfileInt("Options", "Scan_MaxBadPercent", 0, kx::SettingIniPath().c_str()));
  BuildMpVersionBytes(c.mpVersion.data());
  win::GetLocalTime(&c.date);
  const bool carryLog = useRdtInfo && kx::HasTemperatureLog(rdtInfo64);
  c.temperatureLog = carryLog ? rdtInfo64 : nullptr;

  // The serial number last, so that a failure above wastes no number.
  if (keepDeviceInfo) {
    m_SerialNumber = kx::InfoBlockText(m_InfoBlockRead.data(), kx::GetInfoBlockLayout().serial);
    m_SerialNumBase = m_SerialNumber;
  } else if (takeNewSerial || m_SerialNumBase.empty()) {
    if (!TakeSerialNumber()) {
      WriteFailReport();
      return false;
    }
    WriteReport(StrFormat("Serial Number write to infoblock: %s", m_SerialNumber.c_str()), true);
  } else {
    m_SerialNumber = m_SerialNumBase;
  }
  if (m_SerialNumber.empty()) {
    Fail("S_x21", "Serial Number is empty !!!", true);
    return false;
  }
  c.serialNumber = m_SerialNumber;

  std::array<std::uint8_t, kx::kInfoPageBytes> block{};
  kx::BuildInfoBlockBytes(c, block.data());
  if (keepDeviceInfo) kx::CopyDeviceIdentity(m_InfoBlockRead.data(), block.data());
  m_InfoBlockBuilt = block;
  WriteReport(carryLog ? "InfoBlock Get Temperature log 64 bytes" : "InfoBlock Reset Temperature log 64 bytes", true);
  return true;
}

bool CPortDevice::CheckInfoBlock(bool skipCapacity) {
  // The station procedures check the capacity and expect the fail report;
  // the good-card mark skips it and writes the report with its own letter.
  const bool report = !skipCapacity;
  if (!kx::HasInfoBlockMark(m_InfoBlockBuilt.data())) {
    Fail("I_x46", "InfoBlock is not built!!", report);
    return false;
  }
  if (!SetApKeyWithRetry(true, kApKeyRetryDelayMs)) {
    if (report) WriteFailReport();
    return false;
  }
  std::array<std::uint8_t, kx::kInfoPageBytes> device{};
  if (!m_Command->DirectReadInfoBlock(device.data(), 0)) {
    Fail("I_x45", "Issue DirectReadInfoBlock Command Failed!!!", report);
    return false;
  }
  if (const auto m = kx::FirstInfoBlockMismatch(device.data(), m_InfoBlockBuilt.data())) {
    Fail("I_x47",
         StrFormat("InfoBlock %s is not match!!(Device:%s, Build:%s)", m->field.c_str(), m->device.c_str(),
                   m->built.c_str()),
         report);
    return false;
  }
  m_InfoBlockRead = device;  // the verified block is the drive's block from now on
  if (!skipCapacity) {
    if (!CheckIdentify(false)) {
      WriteFailReport();
      return false;
    }
    const std::uint32_t built = kx::InfoBlockValue(m_InfoBlockBuilt.data(), kx::GetInfoBlockLayout().capacity);
    if (m_LogicalSizeSectors != built) {
      Fail("I_x48",
           StrFormat("InfoBlock Capacity is not match!!(Device:%u, InfoBlock:%u)", m_LogicalSizeSectors, built), true);
      return false;
    }
  }
  WriteReport("Check InfoBlock progress OK.", false);
  return true;
}
