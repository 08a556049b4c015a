#include "tools/DemoSite.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Paths.h"
#include "tools/BinImages.h"

namespace kxtools {
namespace {

constexpr char kToolSettings[] = R"([General Info]
TestStation=MP
IniFilePath=FT_B0KB_S2_C2_.ini
SlotNumber=8
PortType=0
KX_U2A=1
BuildVersion=V2.0a
Language=1
[OP Setting]
SetUIPage=0x35
PopoutNotice=1
)";

constexpr char kEng[] = R"([CPropertyPage_KXMP]
IDC_BTN_START=Start
IDC_BTN_SCAN=Scan
IDC_STATIC_TIME=Time
IDC_STATIC_TOTAL=Total
IDC_STATIC_GOOD=Good
IDC_STATIC_BAD=Bad
)";

constexpr char kEmulator[] = R"(; Eight USB bridges, each with a 1 GB (IDEMA) KX7410 drive that finished its
; RDT run and still runs the RDT firmware; the MP firmware is in its flash.
[Site]
Mode = bridge
Slots = 8
[Drive]
Code = rdt
RdtDone = 1
FlashCodeFile = .\FW\MP\QVF10001.code
CapacitySectors = 1974672
BlocksPerPlane = 64
DramMb = 4
FuseWord2 = 0x45123456
FuseWord3 = 0x15
EraseMs = 200
; Slot 3 refuses the vendor access key; slot 6 has more bad blocks in one
; plane than MP accepts.
[Slot.3]
KeyRefused = -1
[Slot.6]
FactoryBadBlocks = 2:0:0:1, 2:0:0:2, 2:0:0:3, 2:0:0:4
)";

// The images the stations load; the RDT bin type is that of the flash-type
// table's row that IniFilePath (FT_B0KB_S2) selects.
constexpr char kParam[] = R"([General Info]
WorkingNo=DEMO01
[Device Info]
ISP_MPBINCode=.\FW\MP\QVF10001.bin
ISP_RDTBINCode=.\FW\RDT\RDT00202.bin
[Options]
DDRSize=4
Set Firmware Name=QVF10001
SetSSDSize=1
)";

constexpr char kParamFdb[] = R"([Flash Info]
Flh_ID=2c 84 64 3c a5 08 04
Flh_Number=8
Flh_MPBinType=7312
Flh_RDTBinType=7312
[Options]
SetSSDSize=1
)";

bool Keep(bool keepEdited, const std::string& winPath) {
  return keepEdited && std::filesystem::exists(platform::MapPath(winPath));
}

// INI files as the program writes them: CR LF line ends.
bool WriteIni(bool keepEdited, const std::string& winPath, const std::string& text) {
  if (Keep(keepEdited, winPath)) return true;
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const std::filesystem::path native = platform::MapPath(winPath);
  if (native.has_parent_path()) std::filesystem::create_directories(native.parent_path());
  std::ofstream out(native, std::ios::binary | std::ios::trunc);
  out << crlf;
  return static_cast<bool>(out.flush());
}

void WriteBin(bool keepEdited, const std::string& winPath, const std::vector<std::uint8_t>& bytes) {
  if (!Keep(keepEdited, winPath)) WriteBinFile(winPath, bytes);
}

}  // namespace

bool WriteDemoSite(bool keepEdited) {
  try {
    const std::vector<std::uint8_t>& image = MpImage();
    WriteBin(keepEdited, ".\\FW\\MP\\QVF10001.bin", StoreBin(image));
    WriteBin(keepEdited, ".\\FW\\RDT\\RDT00202.bin",
             StoreBin(NamedImage("RDT00202", 16384 + 100, true)));
    WriteBin(keepEdited, ".\\FW\\MP\\QVF10001.code",
             std::vector<std::uint8_t>(image.begin() + kNormalCodeAt, image.end()));
    return WriteIni(keepEdited, ".\\Configuration\\System\\MPToolSetting.ini", kToolSettings) &&
           WriteIni(keepEdited, ".\\Configuration\\System\\ENG.ini", kEng) &&
           WriteIni(keepEdited, ".\\Configuration\\System\\Emulator.ini", kEmulator) &&
           WriteIni(keepEdited, ".\\param.ini", kParam) && WriteIni(keepEdited, ".\\paramFDB.ini", kParamFdb);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace kxtools
