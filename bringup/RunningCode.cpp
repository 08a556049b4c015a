// Firmware name and running-code identity: GetFirmwareNameFromBin,
// CheckFirmwareIdentity, BuildMpVersionBytes, IsRunningFlashCode and the
// running-code check ChkRC. The drive's running code and the names it reports
// (IDENTIFY words 23-26 and the firmware-name read) come from the running-code
// state machine of emulator/Drive.cpp and emulator/DriveStores.cpp; the forced
// return to boot code is media/BootJumps.cpp's.
#include "bringup/RunningCode.h"

#include <cctype>
#include <cstring>

#include "bringup/IdentifyChecks.h"
#include "command/CommandGlobals.h"
#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/Settings.h"

using kx::StrFormat;

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool EqualNoCase(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

// Decimal digits from the start of the text (at most nine), 0 when none.
int DecimalPrefix(const std::string& text) {
  int value = 0;
  for (std::size_t i = 0; i < text.size() && i < 9 && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
    value = value * 10 + (text[i] - '0');
  return value;
}

// The text from `pos` on, at most `count` characters; empty past the end.
std::string Piece(const std::string& text, std::size_t pos, std::size_t count = std::string::npos) {
  return pos < text.size() ? text.substr(pos, count) : std::string();
}

std::string TrimLeft(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  return first == std::string::npos ? std::string() : text.substr(first);
}

std::string TrimRight(const std::string& text) {
  const std::size_t last = text.find_last_not_of(" \t");
  return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

const char kToolSettingIni[] = ".\\Configuration\\System\\MPToolSetting.ini";

std::string ParamText(const char* section, const char* key, std::size_t bufferSize) {
  return kx::ReadProfileText(section, key, kx::SettingIniPath().c_str(), bufferSize);
}

std::string ToolText(const char* key) {
  return kx::ReadProfileText("General Info", key, kToolSettingIni, 256);
}

constexpr int kQcStation = 5;

}  // namespace

namespace kx {

std::string BinBaseName(const std::string& path) {
  const std::size_t slash = path.rfind('\\');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = base.rfind('.');
  if (dot != std::string::npos) base.resize(dot);
  return base;
}

int ToolTestNumber(const std::string& buildVersion) {
  std::size_t at = buildVersion.find("_T", 1);
  char end = '_';
  if (at == std::string::npos) {
    at = buildVersion.find("(T", 1);
    end = ')';
  }
  if (at == std::string::npos) return 0;
  std::string rest = buildVersion.substr(at + 2);
  const std::size_t stop = rest.find(end, 1);
  if (stop != std::string::npos) rest.resize(stop);
  return DecimalPrefix(rest);
}

std::string FirmwareNameFromBaseName(const std::string& n, int testNumber) {
  if (n.size() == 21) return std::string("000") + n[15] + n[17] + n[18] + n[19] + n[20];
  if (n.size() != 16) return {};
  std::string name = std::string("0") + n[8] + n.substr(10, 6);
  if (testNumber != 0) name[5] = StrFormat("%x", static_cast<unsigned>(testNumber))[0];
  return name;
}

RunningTag MatchRunningTag(const std::string& name, const std::string& fileFirmwareName,
                           const std::string& expectedName) {
  if (name.size() < 3) return RunningTag::None;
  const std::string tag = Upper(name.substr(0, 3));
  if (tag == "QVR") return RunningTag::Boot;
  if (tag == "QVB") return RunningTag::Mcode;
  if (tag == "QVF") return RunningTag::Flash;
  if (tag == "QVS" || tag == "SBS" || tag == "RBS" || tag == "RDT") return RunningTag::Rdt;
  for (const std::string* other : {&fileFirmwareName, &expectedName})
    if (other->size() >= 3 && Upper(other->substr(0, 3)) == tag) return RunningTag::Flash;
  return RunningTag::None;
}

std::string BootCodeVersionOf(const std::string& name) { return Piece(name, 4); }
std::string McodeVersionOf(const std::string& name) { return Piece(name, 5); }

bool IsControllerModel(const std::string& model) { return model.size() >= 4 && EqualNoCase(model.substr(0, 4), "KX00"); }

std::array<std::uint8_t, 5> MpVersionBytes(const std::string& projectName, const std::string& buildVersion,
                                           const std::string& mpBinPath) {
  std::array<std::uint8_t, 5> b{};
  const std::string project = TrimBlanks(projectName);
  if (EqualNoCase(project, "KX7410L")) b[0] = 1;
  if (EqualNoCase(project, "QM6620")) b[0] = 3;

  const std::string version = TrimBlanks(buildVersion);
  const std::size_t v = version.find('V');
  if (v != std::string::npos) {
    const int digit = v + 1 < version.size() ? version[v + 1] - '0' : 0;
    if (digit >= 1 && digit <= 5) b[0] = static_cast<std::uint8_t>(b[0] | digit << 2);
    if (digit == 4) b[0] = static_cast<std::uint8_t>((b[0] & ~0x03) | 0x02);
    b[1] = static_cast<std::uint8_t>(DecimalPrefix(Piece(version, v + 1, 2)));
    b[2] = static_cast<std::uint8_t>(DecimalPrefix(Piece(version, v + 3, 2)));
  }
  b[3] = static_cast<std::uint8_t>(ToolTestNumber(version));
  if (version.find("IM") != std::string::npos) b[0] = static_cast<std::uint8_t>(b[0] | 0x20);

  // B4: the file name less its last four characters (".bin"); a shorter name has none.
  const std::string path = TrimRight(mpBinPath);
  const std::size_t slash = path.rfind('\\');
  const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
  b[4] = 0xFF;
  if (file.size() >= 4) {
    const std::string base = file.substr(0, file.size() - 4);
    if (base.find("15002") != std::string::npos)
      b[4] = static_cast<std::uint8_t>(DecimalPrefix(base.substr(base.size() - 2)));
  }
  return b;
}

}  // namespace kx

std::string CPortDevice::GetFirmwareNameFromBin(const std::string& binPath) {
  const std::string setName = kx::TrimBlanks(ParamText("Options", "Set Firmware Name", 10));
  if (!setName.empty() && binPath.empty()) return setName;
  std::string file = ParamText("Device Info", "ISP_MPBINCode", 260);
  if (file.empty()) file = binPath;
  if (file.empty()) {
    WriteReport("File Name is not empty!", true);
    return {};
  }
  const std::string base = kx::BinBaseName(file);
  if (base.size() != 16 && base.size() != 21) {
    WriteReport("The format of file Name is not correct!", true);
    return {};
  }
  const int testNumber = base.size() == 16 ? kx::ToolTestNumber(kx::TrimBlanks(ToolText("BuildVersion"))) : 0;
  return kx::FirmwareNameFromBaseName(base, testNumber);
}

std::string CPortDevice::FileFirmwareName(const std::string& pathArgument) {
  std::string name = GetFirmwareNameFromBin(pathArgument);
  if (kx::ReadProfileInt("General Info", "SetCustomFwName", 1, kToolSettingIni) == 0) name.clear();
  return name;
}

CPortDevice::NameRead CPortDevice::ReadRunningName(std::uint8_t* reply512) {
  std::memset(reply512, 0, kx::kIdentifyBytes);
  if (g_KX_U2A != 0) {
    if (!m_Command->GetIdentify(reply512)) return NameRead::IdentifyFailed;
    m_FwRevision = TrimLeft(kx::AtaWordText(reply512, 23, 4));
  } else {
    if (!m_Command->GetICFWName(reply512)) return NameRead::NameFailed;
    m_FwRevision = TrimLeft(kx::AtaWordText(reply512, 0, 4));
  }
  return NameRead::Ok;
}

bool CPortDevice::ApplyRunningTag(const std::string& fileFirmwareName, const std::string& expectedName) {
  const kx::RunningTag tag = kx::MatchRunningTag(m_FwRevision, fileFirmwareName, expectedName);
  switch (tag) {
    case kx::RunningTag::Boot:
      m_BootMode = 1;
      m_BootVersion = kx::BootCodeVersionOf(m_FwRevision);
      break;
    case kx::RunningTag::Mcode:
      mCodeMode = 1;
      m_McodeVersion = kx::McodeVersionOf(m_FwRevision);
      break;
    case kx::RunningTag::Flash:
      m_ROMMode = 1;
      break;
    case kx::RunningTag::Rdt:
      m_ROMMode = 1;
      m_RdtFwFlag = 1;
      break;
    case kx::RunningTag::None:
      return false;
  }
  return true;
}

bool CPortDevice::FillIdentifyBuffer(std::uint8_t* out512, const std::uint8_t* nameReply) {
  // In tester-direct mode the name came from the firmware-name read, which
  // holds no serial number: the caller's identify data needs IDENTIFY itself.
  if (g_KX_U2A != 0) {
    std::memcpy(out512, nameReply, kx::kIdentifyBytes);
    return true;
  }
  std::uint8_t identify[kx::kIdentifyBytes] = {};
  if (!m_Command->GetIdentify(identify)) return false;
  std::memcpy(out512, identify, sizeof identify);
  return true;
}

bool CPortDevice::ChkRC(int mode, std::uint8_t flag, bool writeFailReport, const std::string& expectedName,
                        std::uint8_t* buffer512) {
  m_BootMode = 0;
  mCodeMode = 0;
  m_ROMMode = 0;
  m_RdtFwFlag = 0;
  m_UltraMlc = 0;
  std::uint8_t reply[kx::kIdentifyBytes];
  switch (ReadRunningName(reply)) {
    case NameRead::IdentifyFailed:
      Fail("I_x06", "Issue Identify Command Fail.", writeFailReport);
      return false;
    case NameRead::NameFailed:
      Fail("I_B06", "GetICFWName Command Fail", writeFailReport);
      return false;
    case NameRead::Ok:
      break;
  }
  const std::string fileName = FileFirmwareName(expectedName);
  if (!ApplyRunningTag(fileName, expectedName) && (mode == 3 || mode == 4)) m_ROMMode = 1;
  if (m_IsProduction && m_FwRevision.size() >= 3 && std::toupper(static_cast<unsigned char>(m_FwRevision[2])) == 'U')
    m_UltraMlc = 1;
  if (buffer512 && m_ROMMode && !m_RdtFwFlag && !FillIdentifyBuffer(buffer512, reply)) {
    Fail("I_x06", "Issue Identify Command Fail.", writeFailReport);
    return false;
  }

  if (mode == 0 && !m_BootMode) {
    Fail("I_B65", "[ChkRC]Not Running on Boot Code now", writeFailReport);
    return false;
  }
  if (mode == 1 && !mCodeMode) {
    Fail("I_B66", "[ChkRC]Not Running on mCode now", writeFailReport);
    return false;
  }
  if (mode == 2 && !m_ROMMode) {
    if (m_Station == kQcStation)
      Fail("P_B09", "[ChkRC]Device don't do initial.Not Running on Flash Code now", writeFailReport);
    else
      Fail("I_B67", "[ChkRC]Not Running on Flash Code now", writeFailReport);
    return false;
  }
  // The version the parameter file names is the firmware name it gives; with
  // none set there is nothing to hold the drive against.
  if (flag && !fileName.empty() && kx::TrimBlanks(m_FwRevision) != kx::TrimBlanks(fileName)) {
    Fail("P_B05", "[ChkRC]Flash Code Version Is Not Matched param.ini Setting", writeFailReport);
    return false;
  }
  return true;
}

bool CPortDevice::CheckFirmwareIdentity(int mode, const std::string& expectedName, std::uint8_t* buffer512) {
  const std::string fileName = FileFirmwareName(expectedName);
  std::uint8_t reply[kx::kIdentifyBytes];
  switch (ReadRunningName(reply)) {
    case NameRead::IdentifyFailed:
      m_ErrorMessage = "GetIdentify Command Fail";
      return false;
    case NameRead::NameFailed:
      m_ErrorMessage = "GetICFWName Command Fail";
      return false;
    case NameRead::Ok:
      break;
  }
  m_ROMMode = 0;
  mCodeMode = 0;
  m_BootMode = 0;
  if (!m_IsProduction) {
    m_ErrorMessage = "Controller Type NOT supported by AP.";
    return false;
  }
  m_UltraMlc = 0;
  m_RdtFwFlag = 0;
  if (!ApplyRunningTag(fileName, expectedName)) {
    if (mode != 4) {
      m_ErrorMessage = "Got FW-Name not correctly !!! ";
      return false;
    }
    m_ROMMode = 1;
  }
  if (buffer512 && m_ROMMode && !m_RdtFwFlag && !FillIdentifyBuffer(buffer512, reply)) {
    m_ErrorMessage = "GetIdentify Command Fail";
    return false;
  }

  // At most twice: a drive that is not on boot code gets one forced return.
  for (;;) {
    std::uint8_t identify[kx::kIdentifyBytes] = {};
    if (!m_Command->GetIdentify(identify)) {
      m_ErrorMessage = "Issue Identify Command Failed.";
      return false;
    }
    if (kx::IsControllerModel(kx::TrimBlanks(kx::AtaWordText(identify, 27, 18)))) return true;
    if (m_BootMode) {
      m_ErrorMessage = "Model Name NOT correct on Boot Code !!! ";
      return false;
    }
    const std::string code = m_ErrorCode;  // this check sets no code of its own
    const bool forced = ForceToBootCode();
    m_ErrorCode = code;
    if (!forced) {
      m_ErrorMessage = "Force to Boot Failed.";
      return false;
    }
    m_BootMode = 1;
    m_ROMMode = 0;
    mCodeMode = 0;
    m_RdtFwFlag = 0;
  }
}

void CPortDevice::BuildMpVersionBytes(std::uint8_t* out5) {
  const std::string project = ToolText("MPVerProjectName");
  const std::string version = ToolText("BuildVersion");
  const std::string mpBin = ParamText("Device Info", "ISP_MPBINCode", 260);
  const std::array<std::uint8_t, 5> bytes = kx::MpVersionBytes(project, version, mpBin);
  std::memcpy(out5, bytes.data(), bytes.size());
}

bool CPortDevice::IsRunningFlashCode() {
  m_ROMMode = 0;
  mCodeMode = 0;
  m_BootMode = 0;
  ChkRC(3, 0, true, "", nullptr);
  return m_ROMMode != 0;
}
