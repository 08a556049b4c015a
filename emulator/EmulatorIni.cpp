// Emulator.ini: the emulated site the program talks to.
//
// Read through the profile calls, with their rules: sections and keys match
// without regard to case, values are trimmed and one pair of surrounding
// quotes is removed, lines starting with ';' or '#' are comments, and text
// after a section header's ']' is ignored. Read strictly besides: an unknown
// section or key, a section or a key named twice (the profile calls would
// keep the first in silence), a line that is neither section, key nor comment,
// and any value out of its range stop the load with a message naming the
// section and key.
//
// Numbers are decimal, or hexadecimal after 0x; '-' only where a key takes -1.
// Texts are printable ASCII. Bytes are two hexadecimal digits each, separated
// by blanks ("2C 84 64 3C A5 08 04"). Lists are separated by commas.
//
//   [Site]
//   Mode = bridge            bridge: a USB-to-SATA bridge per slot (listed by GetDev)
//                            tester: a tester board per slot on \\.\PhysicalDrive(FirstPhysicalDrive+slot-1),
//                                    plus the slot's bridge entry (the volume utilities find disks through it)
//                            sata:   a SATA port per slot (listed by GetDevSata)
//                            Several modes may be given, separated by commas.
//   Slots = 24               slots 1..Slots (at most 48); each holds a drive unless its section says Empty
//   FirstPhysicalDrive = 1   tester mode: physical-drive number of slot 1 (1..99; 0 is the boot disk)
//   CdRom = X                CD-ROM letters (skipped by the volume search), e.g. "X,Y"
//
//   [Drive]                  every slot's drive; [Slot.N] may override any key
//   Model = KX00 SATA SSD 512GB        1-40 characters
//   FlashFirmwareModel = ...           model the flash firmware reports (default: Model)
//   Serial = KX00000000                0-16 characters; the slot number is appended as four digits;
//                                      empty: the drive reports no serial number
//   FirmwareRevision = QVF10001        the MP firmware in flash: name and version (1-8 characters)
//   RdtFirmwareName = RDT00101         name the RDT firmware reports (1-8)
//   RdtFwVersion = R12A                RDT firmware version, 4 characters (the third is the plane digit)
//   BootCodeName = QVR 1.00, McodeName = QVBM 0.6   names of the boot code and the burner (1-8)
//   CapacityGB = 512         IDEMA capacity; CapacitySectors = n sets it exactly (one of the two per section)
//   WWN = 0x5000C50000000000 the slot number is added
//   Channels = 2 (1-2), CesPerChannel = 4 (1-8), DiesPerCe = 1 (1-16), PlanesPerDie = 2 (1, 2, 4),
//   BlocksPerPlane = 1024, PagesPerBlock = 256, PageSizeKb = 16 (2, 4, 8, 16)
//                            at most 128 dies and 32768 blocks per die
//   DiesPerGroup = 0         dies per bad-block table row group: 0, or a divisor of DiesPerCe below it
//   FlashId = 2C 84 64 3C A5 08 04     7 bytes; FlashId.K = ... a different ID on CE K
//   MissingCes = 2, 5        CEs of the grid without flash (CE = channel * 8 + bank)
//   FactoryBadBlocks = ce:die:plane:block, ...  e.g. "0:0:1:17, 9:0:0:3"
//   MarkedBadBlocks = kind:ce:die:plane:block[:causes], ...  later or RDT bad blocks the bad-block
//                            table holds, e.g. "later:0:0:1:17:ep, rdt:9:0:0:3:r"; kind later or rdt;
//                            causes any of r (read), p (program), e (erase), x (RAID read)
//   Preset3rdBbt = 1         the drive holds a 3rd BBT for each populated CE 0-15; without one (0, the
//                            default) its 3rd-BBT read is refused until the host writes a table
//   BadBbtChecksum = 1       the RDT info record's BBT checksum does not match the table
//   MaxBadPerPlane = 0       Vender_MaxBad_PerPlane reply (0: 2% of the blocks per plane)
//   ScanFaults = duty:kind, ...        timing-scan answers by duty 0-15; kind NoEdge, OutOfRange,
//                                      Inverted, CommandFails, NoWriteEdge, InvertedWrite,
//                                      NarrowRead or NarrowWrite
//   ScanDieFaults = duty/channel/bank/die:kind, ...   the same for one die's channel, e.g.
//                                      "9/1/2/0:NarrowRead" (over ScanFaults)
//   Code = mp                boot | mcode | mp | rdt (running code at power-on)
//   FlashCodeFile = .\FW\MP\image.bin  with Code = mp or rdt: the normal code in flash (seed area
//                            first, 16 KiB to 32 MiB), so that a flash verification can pass
//   RdtDone = 1              with Code = rdt: the RDT run is complete; with it, what the RDT left
//                            (its bad-block log lists FactoryBadBlocks and the rdt blocks of MarkedBadBlocks):
//   RdtResultCode = 0x01     its verdict: 0x01 passed, 0x00 not finished, 0x11-0x15 failed
//   RdtTemperatures = 40, 45 one reading an hour, 1-254 each, at most 1000 (default 24 of TemperatureC + hour % 5)
//   RdtSlcLoops = 2, RdtTlcLoops = 2 (0-255), RdtSeconds = 86400   loops run and run time
//   RdtEccBlocks = ce:die:plane:block:bits[:slc], ...   the special log: most bits corrected in a block's page
//   RdtDramErrors = 0x1000, ...   the DRAM log's failing addresses
//   RdtRunMs = 86400000      an RDT run not yet done (RdtDone = 0, or RDT firmware the host programmed)
//                            completes this long after the RDT firmware starts from flash, the drive
//                            staying powered; it then leaves what the Rdt keys above give
//   BootDelayMs = 500, ProgramFlashMs = 2000, EraseMs = 3000, PreFormatMs = 1000
//   DramMb = 512             a power of two; CacheWriteSectors = 32; TemperatureC = 40 (0-255)
//   ControllerVersion = 1    register 0400303Eh (0-255)
//   FuseWord1 = 0x00010000, FuseWord2 = 0x00123456, FuseWord3 = 0   eFuse words as the factory left them
//   SystemInfo.OFFSET = bytes          patch of the system information record (OFFSET 0-511)
//   PoweredOn = 1            0: the card is off when the program starts
//   Drive faults (the drive's own, so they also act behind every front end):
//   NeverReady = 1, ErrorStateOnce = 1, KeyNotEnabled = 1, SmartExceeded = 1
//   KeyRefused = n           access key refused n times (-1 always)
//   NoAnswer = n[, Value=0xFF]          the next n card-state reads give 00h (or FFh); -1 always
//   BusyMs = n               the card reads busy for n ms after the site is built
//   MediumErrors = lba[, lba...]        UNC on reads touching them
//   Command faults, each "n[, Command=op][, Sub=sub][, Skip=k]": the knob acts on commands with
//   ATA opcode op, or vendor sub-command sub (FEATURES of 21h/31h), after k of them passed:
//   Abort = n                ABRT on the next n (-1 always)
//   AbortEvery = n           ABRT on every n-th
//   TimeOut = n              the next n are not answered (-1 always)
//   HotRemove = 1            the drive is pulled during the next one
//   PowerCycle = 1           the next one loses power half-way and the drive boots again
//   WrongVerdict = n         the next n verify-type ones give the wrong verdict (-1 always;
//                            Skip counts verify-type commands)
//
//   [Tester]                 every tester board, bridge and SATA port; [Slot.N] may override
//   Kind = 4                 1..4
//   OutputVoltage = 1        0 old FW, 1 5 V, 2 3.3 V, 3 no card
//   Firmware = 3.05          major.minor (minor as one or two hexadecimal digits)
//   Calibration = 0x0011     "TUCR" reading; Calibrated = 0 drops the mark
//   CardCurrent = 1000, MaxCurrent = 1500   raw readings
//   DetectMs = 0             the tester reports "detecting" this long after power-on
//   VendorId = KXEMU (1-8), ProductId = SATA TESTER-S (1-16), VendorTag = TAVLIN (0-6),
//   Name = KXTEST-S.. (0-10; the slot follows in the page), Id1 = 0x0D7D, Id2 = 0x144F,
//   UsbGen = 3, SataGen = 3, SataPowerOn = 1, PageSlot = 0 (slot written in the page; 0: its own)
//   PresentWithoutDrive = 1  a bridge stays listed with its slot empty
//   AtaPassThrough = 1       a SATA port takes ATA pass-through (else the host falls back to SAT)
//   TesterCapable = 0        1: a SATA port on a tester's switch board, decoding the tester's 08 F2
//                            commands; 0: a plain port, refusing them as an invalid opcode
//   Card faults: CardAbsent = 1, DetectTimeout = 1, PowerFailures = k, CurrentInvalid = 1,
//   Short5V = none|first|both, Short33V = none|first|both, AdjustVoltageReply = n
//
//   [Slot.N]                 N from 1 to Slots: overrides for slot N, and:
//   Empty = 1                no drive in the slot
//   Volume = E               the drive carries volume E:
//   OpenRefused, LockRefused, UnlockRefused, DismountRefused, DeviceNumberRefused,
//   DeleteLayoutRefused = n  the volume's controls refused n times (-1 always); needs Volume
//   FailNext = n, FailEvery = n, FailError = 31     transport faults on the slot's front ends
//   Fault.K = Action[, Field=value...]              transport fault rules, added in K order:
//     Action    OsError, CheckCondition, ShortTransfer, IgnoreCkCond, Delay, Gone or HotRemove
//     On        tester | bridge | sata (default: all the slot's front ends)
//     Ioctl, Opcode, Sub, Ata, Features   what the rule matches: control code (0x4D014 SCSI,
//               0x4D030 ATA pass-through), CDB byte 0, 08 F2 sub-code, ATA command, ATA features
//     Skip, Count (0: every time; default 1), Every
//     Error     OsError: the OS error (default 31)
//     SenseKey, Asc, Ascq, Fixed   CheckCondition: sense (default 04/44/00, descriptor format)
//     Bytes     ShortTransfer: bytes moved;  DelayMs   Delay: platform time taken
#include "emulator/EmulatorIni.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include "emulator/Drive.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace emu {

namespace {

using platform::EqualsNoCase;

constexpr std::uint64_t kMaxIniBytes = 1u << 20;
constexpr std::uint64_t kMinFlashCodeBytes = 16384;  // the seed area
constexpr std::uint64_t kMaxFlashCodeBytes = 32u << 20;
constexpr std::uint32_t kMaxCount = 1000000;

// Thrown inside this file only; LoadEmulatorIni turns it into its error text.
struct IniError {
  std::string message;
};

// Names and values as a message shows them: control bytes as \xNN.
std::string Shown(std::string_view s) {
  std::string out;
  for (char ch : s) {
    const auto u = static_cast<unsigned char>(ch);
    if (u < 0x20 || u == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out;
}

std::string_view Trim(std::string_view s) {
  const auto b = s.find_first_not_of(" \t\r\v\f");
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\v\f") - b + 1);
}

std::vector<std::string> SplitList(std::string_view s, char sep = ',') {
  std::vector<std::string> out;
  if (Trim(s).empty()) return out;
  for (;;) {
    const auto at = s.find(sep);
    out.emplace_back(Trim(s.substr(0, at)));
    if (at == std::string_view::npos) break;
    s.remove_prefix(at + 1);
  }
  return out;
}

// Where a value stands: "[Slot.3] Abort" or "[Slot.3] Fault.1 Count".
struct Place {
  std::string section;
  std::string key;
  std::string field;
  std::string Text() const {
    return "[" + Shown(section) + "] " + Shown(key) + (field.empty() ? "" : " " + Shown(field));
  }
  Place Field(std::string name) const { return {section, key, std::move(name)}; }
};

[[noreturn]] void Refuse(const Place& at, std::string_view value, const std::string& why) {
  throw IniError{at.Text() + ": \"" + Shown(value) + "\" " + why};
}

// ---------------------------------------------------------------- values

// Decimal digits, or 0x and hexadecimal digits, with a '-' before decimal
// digits; nothing else (no '+', blanks, fractions), and no overflow.
bool ParseNumber(std::string_view t, bool& negative, std::uint64_t& magnitude) {
  negative = !t.empty() && t[0] == '-';
  if (negative) t.remove_prefix(1);
  unsigned base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    if (negative) return false;
    base = 16;
    t.remove_prefix(2);
  }
  if (t.empty()) return false;
  magnitude = 0;
  for (char ch : t) {
    unsigned d;
    if (ch >= '0' && ch <= '9')
      d = static_cast<unsigned>(ch - '0');
    else if (base == 16 && ch >= 'a' && ch <= 'f')
      d = static_cast<unsigned>(ch - 'a' + 10);
    else if (base == 16 && ch >= 'A' && ch <= 'F')
      d = static_cast<unsigned>(ch - 'A' + 10);
    else
      return false;
    if (magnitude > (std::numeric_limits<std::uint64_t>::max() - d) / base) return false;
    magnitude = magnitude * base + d;
  }
  if (magnitude == 0) negative = false;
  return true;
}

template <class T>
T Number(const Place& at, std::string_view text, std::int64_t lo, std::uint64_t hi) {
  bool negative = false;
  std::uint64_t m = 0;
  const bool ok =
      ParseNumber(text, negative, m) && (negative ? lo < 0 && m - 1 <= static_cast<std::uint64_t>(-(lo + 1))
                                                  : m <= hi && (lo <= 0 || m >= static_cast<std::uint64_t>(lo)));
  if (!ok) Refuse(at, text, "is not a number from " + std::to_string(lo) + " to " + std::to_string(hi));
  return negative ? static_cast<T>(-static_cast<std::int64_t>(m)) : static_cast<T>(m);
}

// -1 ("always") as the knobs' kForever.
std::uint32_t Count(const Place& at, std::string_view text) {
  const auto n = Number<std::int64_t>(at, text, -1, kMaxCount);
  return n < 0 ? DriveFaults::kForever : static_cast<std::uint32_t>(n);
}

bool Flag(const Place& at, std::string_view text) {
  if (text != "0" && text != "1") Refuse(at, text, "is not 0 or 1");
  return text == "1";
}

// "4" or "1 to 40".
std::string Span(std::size_t minLen, std::size_t maxLen) {
  return minLen == maxLen ? std::to_string(minLen) : std::to_string(minLen) + " to " + std::to_string(maxLen);
}

std::string Text(const Place& at, std::string_view text, std::size_t minLen, std::size_t maxLen) {
  const bool printable = std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
  if (!printable || text.size() < minLen || text.size() > maxLen)
    Refuse(at, text, "is not " + Span(minLen, maxLen) + " printable characters");
  return std::string(text);
}

// Blank-separated bytes of two hexadecimal digits each.
std::vector<std::uint8_t> ByteString(const Place& at, std::string_view text, std::size_t minLen, std::size_t maxLen) {
  std::vector<std::uint8_t> out;
  bool ok = true;
  std::size_t i = 0;
  while (ok && i < text.size()) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    bool neg = false;
    std::uint64_t v = 0;
    ok = i + 2 <= text.size() && (i + 2 == text.size() || text[i + 2] == ' ' || text[i + 2] == '\t') &&
         ParseNumber("0x" + std::string(text.substr(i, 2)), neg, v);
    out.push_back(static_cast<std::uint8_t>(v));
    i += 2;
  }
  if (!ok || out.size() < minLen || out.size() > maxLen)
    Refuse(at, text, "is not " + Span(minLen, maxLen) + " bytes of two hexadecimal digits");
  return out;
}

// "head, Name=value, ...": the head and the named fields, each name one of `names`.
struct Fields {
  std::string head;
  std::vector<std::pair<std::string, std::string>> named;
  const std::string* Get(std::string_view name) const {
    for (const auto& f : named)
      if (EqualsNoCase(f.first, name)) return &f.second;
    return nullptr;
  }
};

Fields SplitFields(const Place& at, std::string_view value, std::initializer_list<std::string_view> names) {
  Fields f;
  std::vector<std::string> items = SplitList(value);
  if (items.empty()) Refuse(at, value, "is empty");
  f.head = items[0];
  for (std::size_t i = 1; i < items.size(); ++i) {
    const auto eq = items[i].find('=');
    const std::string name(Trim(std::string_view(items[i]).substr(0, eq)));
    std::string list;
    bool known = false;
    for (std::string_view n : names) {
      list += (list.empty() ? "" : ", ") + std::string(n);
      known = known || EqualsNoCase(n, name);
    }
    if (eq == std::string::npos || !known) Refuse(at, items[i], "is not a field Name=value (" + list + ")");
    if (f.Get(name)) Refuse(at, items[i], "repeats a field");
    f.named.emplace_back(name, Trim(std::string_view(items[i]).substr(eq + 1)));
  }
  return f;
}

// ---------------------------------------------------------------- the file

struct Key {
  std::string name;
  std::string value;
};

struct Section {
  std::string name;
  std::vector<Key> keys;  // file order
  const Key* Find(std::string_view key) const {
    for (const Key& k : keys)
      if (EqualsNoCase(k.name, key)) return &k;
    return nullptr;
  }
};

std::vector<Section> ReadSections(const std::string& path) {
  std::vector<Section> out;
  for (const std::string& name : win::GetPrivateProfileSectionNames(path)) {
    for (const Section& s : out)
      if (EqualsNoCase(s.name, name))
        throw IniError{"[" + Shown(name) + "] appears twice; the keys of the second would be ignored"};
    Section s{name, {}};
    for (const std::string& key : win::GetPrivateProfileKeyNames(name, path)) {
      if (s.Find(key))
        throw IniError{"[" + Shown(name) + "] " + Shown(key) + " appears twice; the second would be ignored"};
      s.keys.push_back({key, win::GetPrivateProfileString(name, key, "", path)});
    }
    out.push_back(std::move(s));
  }
  return out;
}

// Lines the profile calls pass over in silence: text that is neither section,
// key nor comment, and keys standing before any section.
void CheckLines(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  bool inSection = false;
  for (int lineNo = 1; !text.empty(); ++lineNo) {
    const auto nl = text.find('\n');
    const std::string_view t = Trim(text.substr(0, nl));
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    const auto close = t[0] == '[' ? t.find(']') : std::string_view::npos;
    if (close != std::string_view::npos && t.find('=', close) == std::string_view::npos) {
      inSection = true;
      continue;
    }
    const auto eq = t.find('=');
    const std::string where = "line " + std::to_string(lineNo) + ": \"" + Shown(t) + "\" ";
    if (eq == std::string_view::npos || Trim(t.substr(0, eq)).empty())
      throw IniError{where + "is neither a section, a key nor a comment"};
    if (!inSection) throw IniError{where + "stands before any section"};
  }
}

// Keys each section kind takes. A name ending in '.' takes a suffix.
constexpr std::string_view kSiteKeys[] = {"Mode", "Slots", "FirstPhysicalDrive", "CdRom"};
constexpr std::string_view kDriveKeys[] = {
    "Model", "FlashFirmwareModel", "Serial", "FirmwareRevision", "RdtFirmwareName", "RdtFwVersion", "BootCodeName",
    "McodeName", "CapacityGB", "CapacitySectors", "WWN", "Channels", "CesPerChannel", "DiesPerCe", "PlanesPerDie",
    "BlocksPerPlane", "PagesPerBlock", "PageSizeKb", "DiesPerGroup", "FlashId", "FlashId.", "MissingCes",
    "FactoryBadBlocks", "MarkedBadBlocks", "Preset3rdBbt", "BadBbtChecksum", "MaxBadPerPlane", "ScanFaults", "ScanDieFaults", "Code", "FlashCodeFile", "RdtDone",
    "RdtResultCode", "RdtTemperatures", "RdtSlcLoops", "RdtTlcLoops", "RdtSeconds", "RdtEccBlocks", "RdtDramErrors",
    "RdtRunMs",
    "BootDelayMs",
    "ProgramFlashMs", "EraseMs", "PreFormatMs", "DramMb", "CacheWriteSectors", "TemperatureC", "ControllerVersion",
    "FuseWord1", "FuseWord2", "FuseWord3", "SystemInfo.", "PoweredOn",
    // The drive's faults.
    "NeverReady", "ErrorStateOnce", "KeyNotEnabled", "SmartExceeded", "KeyRefused", "NoAnswer", "BusyMs",
    "MediumErrors", "Abort", "AbortEvery", "TimeOut", "HotRemove", "PowerCycle", "WrongVerdict"};
constexpr std::string_view kTesterKeys[] = {
    "Kind", "OutputVoltage", "Firmware", "Calibration", "Calibrated", "CardCurrent", "MaxCurrent", "DetectMs",
    "VendorId", "ProductId", "VendorTag", "Name", "Id1", "Id2", "UsbGen", "SataGen", "SataPowerOn", "PageSlot",
    "PresentWithoutDrive", "AtaPassThrough", "TesterCapable",
    // The card's faults.
    "CardAbsent", "DetectTimeout", "PowerFailures", "CurrentInvalid", "Short5V", "Short33V", "AdjustVoltageReply"};
constexpr std::string_view kSlotKeys[] = {
    "Empty",         "Volume",          "OpenRefused",         "LockRefused",
    "UnlockRefused", "DismountRefused", "DeviceNumberRefused", "DeleteLayoutRefused",
    "FailNext",      "FailEvery",       "FailError",           "Fault."};

bool IsPrefix(std::string_view name) { return !name.empty() && name.back() == '.'; }

// The suffix of `key` after a prefix name ("FlashId.3" -> "3"), or nullopt.
std::optional<std::string_view> Suffix(std::string_view key, std::string_view prefix) {
  if (key.size() <= prefix.size() || !EqualsNoCase(key.substr(0, prefix.size()), prefix)) return std::nullopt;
  return key.substr(prefix.size());
}

void CheckKeys(const Section& s, std::initializer_list<std::span<const std::string_view>> lists) {
  for (const Key& k : s.keys) {
    bool known = false;
    for (const auto& names : lists)
      for (std::string_view n : names)
        known = known || (IsPrefix(n) ? Suffix(k.name, n).has_value() : EqualsNoCase(k.name, n));
    if (!known) throw IniError{"[" + Shown(s.name) + "] " + Shown(k.name) + ": unknown key"};
  }
}

// A slot's section in front of a shared one ([Drive] or [Tester]).
class Layers {
 public:
  Layers(const Section* own, const Section* shared, std::string sharedName)
      : own_(own), shared_(shared), sharedName_(std::move(sharedName)) {}
  const Key* Find(std::string_view key, Place& at) const {
    for (const Section* s : {own_, shared_}) {
      if (!s) continue;
      if (const Key* k = s->Find(key)) {
        at = {s->name, k->name, {}};
        return k;
      }
    }
    return nullptr;
  }
  // Calls use(place, value) for the key, when present.
  template <class Use>
  void With(std::string_view key, Use&& use) const {
    Place at;
    if (const Key* k = Find(key, at)) use(at, k->value);
  }
  // Keys with a suffix, the shared section's first so that the slot's override them.
  template <class Use>
  void EachSuffixed(std::string_view prefix, Use&& use) const {
    for (const Section* s : {shared_, own_}) {
      if (!s) continue;
      for (const Key& k : s->keys)
        if (auto suffix = Suffix(k.name, prefix)) use(Place{s->name, k.name, {}}, *suffix, k.value);
    }
  }
  // The section messages about the whole drive name.
  const std::string& Name() const { return own_ ? own_->name : shared_ ? shared_->name : sharedName_; }
  bool OwnHas(std::string_view key) const { return own_ && own_->Find(key); }

 private:
  const Section* own_;
  const Section* shared_;
  std::string sharedName_;
};

template <class T>
void Num(const Layers& l, std::string_view key, T& out, std::int64_t lo, std::uint64_t hi) {
  l.With(key, [&](const Place& at, const std::string& v) { out = Number<T>(at, v, lo, hi); });
}

void FlagKey(const Layers& l, std::string_view key, bool& out) {
  l.With(key, [&](const Place& at, const std::string& v) { out = Flag(at, v); });
}

void TextKey(const Layers& l, std::string_view key, std::string& out, std::size_t minLen, std::size_t maxLen) {
  l.With(key, [&](const Place& at, const std::string& v) { out = Text(at, v, minLen, maxLen); });
}

// ---------------------------------------------------------------- one slot

struct SlotPlan {
  DriveConfig cfg;
  bool poweredOn = true;
  std::vector<std::function<void(DriveFaults&)>> driveFaults;
  std::map<std::uint32_t, std::uint8_t> systemInfo;  // offset -> byte
  TesterInfo info;
  bool presentWithoutDrive = true, ataPassThrough = true, testerCapable = false;
  TesterFaults testerFaults;
  bool empty = false;
  char volume = 0;
  VolumeFaults volumeFaults;
  std::vector<std::pair<unsigned, FaultRule>> rules;  // front-end kinds (bit per FrontEndKind), rule
};

std::uint64_t IdemaSectors(std::uint64_t gb) {
  return gb >= 50 ? 97696368ull + 1953504ull * (gb - 50) : gb * 1000000000ull / 512;
}

CommandFilter Target(const Place& at, const Fields& f) {
  CommandFilter c;
  if (const std::string* v = f.Get("Command")) c.opcode = Number<std::uint8_t>(at.Field("Command"), *v, 0, 0xFF);
  if (const std::string* v = f.Get("Sub")) {
    c.subCommand = Number<std::uint8_t>(at.Field("Sub"), *v, 0, 0xFF);
    if (c.opcode && *c.opcode != 0x21 && *c.opcode != 0x31)
      Refuse(at.Field("Sub"), *v, "needs Command 0x21 or 0x31 (vendor sub-commands ride on them)");
  }
  if (const std::string* v = f.Get("Skip")) c.skip = Number<std::uint32_t>(at.Field("Skip"), *v, 0, kMaxCount);
  return c;
}

class Loader {
 public:
  explicit Loader(std::vector<Section> sections) : sections_(std::move(sections)) {}

  const Section* Get(std::string_view name) const {
    for (const Section& s : sections_)
      if (EqualsNoCase(s.name, name)) return &s;
    return nullptr;
  }
  const std::vector<Section>& Sections() const { return sections_; }

  // Everything slot `slot` holds (0: the shared sections alone, to check them).
  SlotPlan ReadSlot(const Section* own, int slot) {
    SlotPlan p;
    const Layers drive(own, Get("Drive"), "Drive");
    const Layers tester(own, Get("Tester"), "Tester");
    const Layers alone(own, nullptr, "");
    if (own) FlagKey(alone, "Empty", p.empty);
    ReadDrive(drive, slot, p);
    ReadDriveFaults(drive, p);
    ReadTester(tester, p);
    if (own) ReadSlotOnly(alone, p);
    return p;
  }

 private:
  void ReadDrive(const Layers& l, int slot, SlotPlan& p) {
    DriveConfig& c = p.cfg;
    TextKey(l, "Model", c.model, 1, 40);
    TextKey(l, "FlashFirmwareModel", c.flashFirmwareModel, 0, 40);
    std::string serial = "KX00000000";
    TextKey(l, "Serial", serial, 0, 16);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", slot);
    c.serial = serial.empty() ? serial : serial + digits;
    TextKey(l, "FirmwareRevision", c.firmwareRevision, 1, 8);
    TextKey(l, "RdtFirmwareName", c.rdtFirmwareName, 1, 8);
    TextKey(l, "RdtFwVersion", c.rdtFwVersion, 4, 4);
    TextKey(l, "BootCodeName", c.bootCodeName, 1, 8);
    TextKey(l, "McodeName", c.mcodeName, 1, 8);

    // Capacity: the nearer section's key holds; one section may not give both.
    Place gbAt, secAt;
    const Key* gb = l.Find("CapacityGB", gbAt);
    const Key* sectors = l.Find("CapacitySectors", secAt);
    if (gb && sectors && gbAt.section == secAt.section)
      throw IniError{"[" + Shown(gbAt.section) + "] CapacityGB and CapacitySectors: give one of them"};
    const bool gbNearer = gb && (!sectors || l.OwnHas(gbAt.key));
    if (gbNearer)
      c.capacitySectors = IdemaSectors(Number<std::uint64_t>(gbAt, gb->value, 1, 1000000));
    else if (sectors)
      c.capacitySectors = Number<std::uint64_t>(secAt, sectors->value, 1, 0xFFFFFFFFFFFFull);

    std::uint64_t wwn = 0x5000C50000000000ull;
    Num(l, "WWN", wwn, 0, std::numeric_limits<std::uint64_t>::max() - kMaxSlots);
    c.wwn = wwn + static_cast<std::uint64_t>(slot);

    Num(l, "Channels", c.channels, 1, kMaxChannels);
    Num(l, "CesPerChannel", c.cesPerChannel, 1, kMaxCesPerChannel);
    Num(l, "DiesPerCe", c.diesPerCe, 1, kMaxDiesPerCe);
    l.With("PlanesPerDie", [&](const Place& at, const std::string& v) {
      c.planesPerDie = Number<std::uint32_t>(at, v, 1, 4);
      if (c.planesPerDie == 3) Refuse(at, v, "is not 1, 2 or 4");
    });
    Num(l, "BlocksPerPlane", c.blocksPerPlane, 1, kMaxBlocksPerDie);
    Num(l, "PagesPerBlock", c.pagesPerBlock, 1, 4096);
    l.With("PageSizeKb", [&](const Place& at, const std::string& v) {
      c.pageSizeKb = Number<std::uint32_t>(at, v, 2, 16);
      if ((c.pageSizeKb & (c.pageSizeKb - 1)) != 0) Refuse(at, v, "is not 2, 4, 8 or 16");
    });
    const std::string whole = "[" + Shown(l.Name()) + "] ";
    if (c.channels * c.cesPerChannel * c.diesPerCe > kMaxDies)
      throw IniError{whole + "Channels x CesPerChannel x DiesPerCe: more than 128 dies"};
    if (c.blocksPerPlane * c.planesPerDie > kMaxBlocksPerDie)
      throw IniError{whole + "BlocksPerPlane x PlanesPerDie: more than 32768 blocks per die"};
    l.With("DiesPerGroup", [&](const Place& at, const std::string& v) {
      c.diesPerGroup = Number<std::uint32_t>(at, v, 0, kMaxDiesPerCe);
      if (c.diesPerGroup != 0 && (c.diesPerGroup >= c.diesPerCe || c.diesPerCe % c.diesPerGroup != 0))
        Refuse(at, v, "is not 0 or a divisor of DiesPerCe (" + std::to_string(c.diesPerCe) + ") below it");
    });

    auto inGrid = [&](std::uint32_t ce) { return (ce >> 3) < c.channels && (ce & 7) < c.cesPerChannel; };
    l.With("FlashId", [&](const Place& at, const std::string& v) {
      const auto b = ByteString(at, v, 7, 7);
      std::copy(b.begin(), b.end(), c.flashId.begin());
    });
    std::set<std::pair<std::string, std::uint32_t>> ids;  // (section, CE): one key each
    l.EachSuffixed("FlashId.", [&](const Place& at, std::string_view suffix, const std::string& v) {
      const auto ce = Number<std::uint32_t>(at, suffix, 0, 15);
      if (!inGrid(ce)) Refuse(at, suffix, "is not a CE of this drive (channel * 8 + bank)");
      if (!ids.emplace(at.section, ce).second) Refuse(at, suffix, "names a CE another FlashId key names");
      const auto b = ByteString(at, v, 7, 7);
      std::copy(b.begin(), b.end(), c.flashIdPerCe[ce].begin());
    });
    l.With("MissingCes", [&](const Place& at, const std::string& v) {
      c.missingCes.clear();
      for (const std::string& item : SplitList(v)) {
        const auto ce = Number<std::uint32_t>(at, item, 0, 15);
        if (!inGrid(ce)) Refuse(at, item, "is not a CE of this drive (channel * 8 + bank)");
        if (std::count(c.missingCes.begin(), c.missingCes.end(), ce)) Refuse(at, item, "is listed twice");
        c.missingCes.push_back(ce);
      }
    });
    l.With("FactoryBadBlocks", [&](const Place& at, const std::string& v) {
      c.factoryBadBlocks.clear();
      for (const std::string& item : SplitList(v)) {
        const auto parts = SplitList(item, ':');
        if (parts.size() != 4) Refuse(at, item, "is not ce:die:plane:block");
        FlashBlockAddress b;
        b.ce = Number<std::uint32_t>(at, parts[0], 0, 15);
        b.die = Number<std::uint32_t>(at, parts[1], 0, kMaxDiesPerCe - 1);
        b.plane = Number<std::uint32_t>(at, parts[2], 0, 3);
        b.block = Number<std::uint32_t>(at, parts[3], 0, kMaxBlocksPerDie - 1);
        const bool present =
            inGrid(b.ce) && std::find(c.missingCes.begin(), c.missingCes.end(), b.ce) == c.missingCes.end();
        if (!present || b.die >= c.diesPerCe || b.plane >= c.planesPerDie || b.block >= c.blocksPerPlane)
          Refuse(at, item, "is not a block of this drive's flash");
        if (std::count(c.factoryBadBlocks.begin(), c.factoryBadBlocks.end(), b)) Refuse(at, item, "is listed twice");
        c.factoryBadBlocks.push_back(b);
      }
    });
    l.With("MarkedBadBlocks", [&](const Place& at, const std::string& v) {
      c.markedBadBlocks.clear();
      for (const std::string& item : SplitList(v)) {
        const auto parts = SplitList(item, ':');
        if (parts.size() != 5 && parts.size() != 6) Refuse(at, item, "is not kind:ce:die:plane:block[:causes]");
        MarkedBadBlock m;
        if (EqualsNoCase(parts[0], "later"))
          m.kind = MarkKind::Later;
        else if (EqualsNoCase(parts[0], "rdt"))
          m.kind = MarkKind::Rdt;
        else
          Refuse(at, item, "is not of kind later or rdt");
        m.at.ce = Number<std::uint32_t>(at, parts[1], 0, 15);
        m.at.die = Number<std::uint32_t>(at, parts[2], 0, kMaxDiesPerCe - 1);
        m.at.plane = Number<std::uint32_t>(at, parts[3], 0, 3);
        m.at.block = Number<std::uint32_t>(at, parts[4], 0, kMaxBlocksPerDie - 1);
        const bool present =
            inGrid(m.at.ce) && std::find(c.missingCes.begin(), c.missingCes.end(), m.at.ce) == c.missingCes.end();
        if (!present || m.at.die >= c.diesPerCe || m.at.plane >= c.planesPerDie || m.at.block >= c.blocksPerPlane)
          Refuse(at, item, "is not a block of this drive's flash");
        for (char cause : parts.size() == 6 ? parts[5] : std::string()) {
          const std::string letters = "rpex";
          const std::size_t bit = letters.find(static_cast<char>(std::tolower(static_cast<unsigned char>(cause))));
          if (bit == std::string::npos) Refuse(at, item, "has a cause that is not r, p, e or x");
          m.causes = static_cast<std::uint8_t>(m.causes | (1u << bit));
        }
        c.markedBadBlocks.push_back(m);
      }
    });
    FlagKey(l, "Preset3rdBbt", c.preset3rdBbt);
    FlagKey(l, "BadBbtChecksum", c.badBbtChecksum);
    Num(l, "MaxBadPerPlane", c.maxBadPerPlane, 0, kMaxBlocksPerDie);
    // Timing-scan fault kinds, by name.
    auto scanFaultKind = [](const Place& at, const std::string& item, const std::string& name) {
      static const std::pair<const char*, ScanFault> kinds[] = {
          {"NoEdge", ScanFault::NoEdge},           {"OutOfRange", ScanFault::OutOfRange},
          {"Inverted", ScanFault::Inverted},       {"CommandFails", ScanFault::CommandFails},
          {"NoWriteEdge", ScanFault::NoWriteEdge}, {"InvertedWrite", ScanFault::InvertedWrite},
          {"NarrowRead", ScanFault::NarrowRead},   {"NarrowWrite", ScanFault::NarrowWrite}};
      const auto* k = std::find_if(std::begin(kinds), std::end(kinds),
                                   [&](const auto& e) { return EqualsNoCase(e.first, name); });
      if (k == std::end(kinds))
        Refuse(at, item,
               "is not NoEdge, OutOfRange, Inverted, CommandFails, NoWriteEdge, InvertedWrite, NarrowRead or "
               "NarrowWrite");
      return k->second;
    };
    l.With("ScanFaults", [&](const Place& at, const std::string& v) {
      c.scanFaults.clear();
      for (const std::string& item : SplitList(v)) {
        const auto parts = SplitList(item, ':');
        if (parts.size() != 2) Refuse(at, item, "is not duty:kind");
        const auto duty = Number<std::uint32_t>(at, parts[0], 0, 15);
        const ScanFault kind = scanFaultKind(at, item, parts[1]);
        if (c.scanFaults.count(duty)) Refuse(at, item, "gives a duty twice");
        c.scanFaults[duty] = kind;
      }
    });
    l.With("ScanDieFaults", [&](const Place& at, const std::string& v) {
      c.scanDieFaults.clear();
      for (const std::string& item : SplitList(v)) {
        const auto parts = SplitList(item, ':');
        if (parts.size() != 2) Refuse(at, item, "is not duty/channel/bank/die:kind");
        const auto where = SplitList(parts[0], '/');
        if (where.size() != 4) Refuse(at, item, "is not duty/channel/bank/die:kind");
        const ScanDieKey key{Number<std::uint32_t>(at, where[0], 0, 15),
                             Number<std::uint32_t>(at, where[1], 0, kMaxChannels - 1),
                             Number<std::uint32_t>(at, where[2], 0, kMaxCesPerChannel - 1),
                             Number<std::uint32_t>(at, where[3], 0, kMaxDiesPerCe - 1)};
        const ScanFault kind = scanFaultKind(at, item, parts[1]);
        if (c.scanDieFaults.count(key)) Refuse(at, item, "gives a die twice");
        c.scanDieFaults[key] = kind;
      }
    });

    l.With("Code", [&](const Place& at, const std::string& v) {
      if (EqualsNoCase(v, "boot"))
        c.initialCode = RunningCode::Boot;
      else if (EqualsNoCase(v, "mcode"))
        c.initialCode = RunningCode::Mcode;
      else if (EqualsNoCase(v, "mp"))
        c.initialCode = RunningCode::RomMp;
      else if (EqualsNoCase(v, "rdt"))
        c.initialCode = RunningCode::RomRdt;
      else
        Refuse(at, v, "is not boot, mcode, mp or rdt");
    });
    l.With("FlashCodeFile", [&](const Place& at, const std::string& v) { c.flashCode = FlashCode(at, v); });
    FlagKey(l, "RdtDone", c.rdtDone);
    // What the RDT left (DriveStores.cpp builds its logs from these).
    RdtRunConfig& run = c.rdtRun;
    Num(l, "RdtResultCode", run.resultCode, 0, 0xFF);
    l.With("RdtTemperatures", [&](const Place& at, const std::string& v) {
      run.temperatures.clear();
      for (const std::string& item : SplitList(v)) run.temperatures.push_back(Number<std::uint8_t>(at, item, 1, 254));
      if (run.temperatures.size() > 1000) Refuse(at, v, "holds more than 1000 readings");
    });
    Num(l, "RdtSlcLoops", run.slcLoops, 0, 255);
    Num(l, "RdtTlcLoops", run.tlcLoops, 0, 255);
    Num(l, "RdtSeconds", run.seconds, 0, 0xFFFFFFFFu);
    l.With("RdtEccBlocks", [&](const Place& at, const std::string& v) {
      run.eccBlocks.clear();
      for (const std::string& item : SplitList(v)) {
        const auto parts = SplitList(item, ':');
        if (parts.size() != 5 && !(parts.size() == 6 && EqualsNoCase(parts[5], "slc")))
          Refuse(at, item, "is not ce:die:plane:block:bits[:slc]");
        RdtEccBlock b{{Number<std::uint32_t>(at, parts[0], 0, 15),
                       Number<std::uint32_t>(at, parts[1], 0, c.diesPerCe - 1),
                       Number<std::uint32_t>(at, parts[2], 0, c.planesPerDie - 1),
                       Number<std::uint32_t>(at, parts[3], 0, c.blocksPerPlane - 1)},
                      Number<std::uint8_t>(at, parts[4], 0, 0xFF), parts.size() == 6};
        if (!inGrid(b.at.ce)) Refuse(at, item, "is not a CE of this drive (channel * 8 + bank)");
        run.eccBlocks.push_back(b);
      }
    });
    l.With("RdtDramErrors", [&](const Place& at, const std::string& v) {
      run.dramErrors.clear();
      for (const std::string& item : SplitList(v))
        run.dramErrors.push_back(Number<std::uint32_t>(at, item, 0, 0xFFFFFFFFu));
    });
    Num(l, "RdtRunMs", c.rdtRunMs, 0, 0xFFFFFFFFu);
    Num(l, "BootDelayMs", c.bootDelayMs, 0, 600000);
    Num(l, "ProgramFlashMs", c.programFlashMs, 0, 3600000);
    Num(l, "EraseMs", c.eraseMs, 0, 3600000);
    Num(l, "PreFormatMs", c.preFormatMs, 0, 3600000);
    l.With("DramMb", [&](const Place& at, const std::string& v) {
      const auto mb = Number<std::uint32_t>(at, v, 1, 65536);
      if ((mb & (mb - 1)) != 0) Refuse(at, v, "is not a power of two");
      c.dramLog2Mb = static_cast<std::uint8_t>(std::countr_zero(mb));
    });
    Num(l, "CacheWriteSectors", c.cacheWriteSectors, 0, 0xFFFFFFFFu);
    Num(l, "TemperatureC", c.temperatureC, 0, 255);
    Num(l, "ControllerVersion", c.controllerVersion, 0, 255);
    Num(l, "FuseWord1", c.fuseWord1, 0, 0xFFFFFFFFu);
    Num(l, "FuseWord2", c.fuseWord2, 0, 0xFFFFFFFFu);
    Num(l, "FuseWord3", c.fuseWord3, 0, 0xFFFFFFFFu);
    std::set<std::pair<std::string, std::uint32_t>> offsets;  // (section, offset): one key each
    l.EachSuffixed("SystemInfo.", [&](const Place& at, std::string_view suffix, const std::string& v) {
      const auto offset = Number<std::uint32_t>(at, suffix, 0, 511);
      if (!offsets.emplace(at.section, offset).second) Refuse(at, suffix, "names an offset another key names");
      const auto bytes = ByteString(at, v, 1, 512 - offset);
      for (std::size_t i = 0; i < bytes.size(); ++i) p.systemInfo[offset + static_cast<std::uint32_t>(i)] = bytes[i];
    });
    FlagKey(l, "PoweredOn", p.poweredOn);
  }

  void ReadDriveFaults(const Layers& l, SlotPlan& p) {
    auto& todo = p.driveFaults;
    auto flag = [&](std::string_view key, void (DriveFaults::*set)(bool)) {
      bool on = false;
      FlagKey(l, key, on);
      if (on) todo.push_back([set](DriveFaults& f) { (f.*set)(true); });
    };
    flag("NeverReady", &DriveFaults::SetNeverReady);
    flag("KeyNotEnabled", &DriveFaults::SetAccessKeyNotEnabled);
    flag("SmartExceeded", &DriveFaults::SetSmartThresholdExceeded);
    bool once = false;
    FlagKey(l, "ErrorStateOnce", once);
    if (once) todo.push_back([](DriveFaults& f) { f.ErrorStateOnce(); });
    l.With("KeyRefused", [&](const Place& at, const std::string& v) {
      const std::uint32_t n = Count(at, v);
      todo.push_back([n](DriveFaults& f) { f.RefuseAccessKey(n); });
    });
    l.With("NoAnswer", [&](const Place& at, const std::string& v) {
      const Fields f = SplitFields(at, v, {"Value"});
      const std::uint32_t n = Count(at, f.head);
      std::uint8_t value = 0;
      if (const std::string* s = f.Get("Value")) {
        value = Number<std::uint8_t>(at.Field("Value"), *s, 0, 0xFF);
        if (value != 0x00 && value != 0xFF) Refuse(at.Field("Value"), *s, "is not 0x00 or 0xFF");
      }
      todo.push_back([n, value](DriveFaults& d) { d.NoAnswer(n, value); });
    });
    l.With("BusyMs", [&](const Place& at, const std::string& v) {
      const auto ms = Number<std::uint32_t>(at, v, 0, 3600000);
      todo.push_back([ms](DriveFaults& f) { f.BusyFor(ms); });
    });
    l.With("MediumErrors", [&](const Place& at, const std::string& v) {
      std::vector<std::uint64_t> lbas;
      for (const std::string& item : SplitList(v)) {
        lbas.push_back(Number<std::uint64_t>(at, item, 0, p.cfg.capacitySectors - 1));
      }
      todo.push_back([lbas](DriveFaults& f) {
        for (std::uint64_t lba : lbas) f.AddMediumError(lba);
      });
    });
    // Command faults: "n, Command=.., Sub=.., Skip=..".
    auto targeted = [&](std::string_view key, std::int64_t lo, std::uint64_t hi,
                        std::function<void(DriveFaults&, std::uint32_t, CommandFilter)> set) {
      l.With(key, [&](const Place& at, const std::string& v) {
        const Fields f = SplitFields(at, v, {"Command", "Sub", "Skip"});
        const auto n = Number<std::int64_t>(at, f.head, lo, hi);
        const std::uint32_t count = n < 0 ? DriveFaults::kForever : static_cast<std::uint32_t>(n);
        const CommandFilter filter = Target(at, f);
        if (count != 0) todo.push_back([set, count, filter](DriveFaults& d) { set(d, count, filter); });
      });
    };
    targeted("Abort", -1, kMaxCount, [](DriveFaults& d, std::uint32_t n, CommandFilter t) { d.FailNext(n, t); });
    targeted("AbortEvery", 0, kMaxCount,
             [](DriveFaults& d, std::uint32_t n, CommandFilter t) { d.FailEveryNth(n, t); });
    targeted("TimeOut", -1, kMaxCount, [](DriveFaults& d, std::uint32_t n, CommandFilter t) { d.TimeOutNext(n, t); });
    targeted("HotRemove", 0, 1, [](DriveFaults& d, std::uint32_t, CommandFilter t) { d.HotRemoveOnNext(t); });
    targeted("PowerCycle", 0, 1, [](DriveFaults& d, std::uint32_t, CommandFilter t) { d.PowerCycleOnNext(t); });
    targeted("WrongVerdict", -1, kMaxCount,
             [](DriveFaults& d, std::uint32_t n, CommandFilter t) { d.WrongVerdict(n, t); });
  }

  void ReadTester(const Layers& l, SlotPlan& p) {
    TesterInfo& t = p.info;
    Num(l, "Kind", t.kind, 1, 4);
    Num(l, "OutputVoltage", t.outputVoltage, 0, 3);
    l.With("Firmware", [&](const Place& at, const std::string& v) {
      const auto dot = v.find('.');
      const std::string major = v.substr(0, dot);
      const std::string minor = dot == std::string::npos ? std::string() : v.substr(dot + 1);
      bool neg = false;
      std::uint64_t ma = 0, mi = 0;
      const bool digits = !major.empty() && major.size() <= 3 &&
                          std::all_of(major.begin(), major.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
      if (!digits || !ParseNumber(major, neg, ma) || ma > 255 || minor.empty() || minor.size() > 2 ||
          !std::all_of(minor.begin(), minor.end(),
                       [](char ch) { return std::isxdigit(static_cast<unsigned char>(ch)); }) ||
          !ParseNumber("0x" + minor, neg, mi))
        Refuse(at, v, "is not major.minor (0-255, then one or two hexadecimal digits)");
      t.fwMajor = static_cast<std::uint8_t>(ma);
      t.fwMinor = static_cast<std::uint8_t>(mi);
    });
    FlagKey(l, "Calibrated", t.calibrated);
    Num(l, "Calibration", t.calibration, 0, 0xFFFF);
    Num(l, "CardCurrent", t.cardCurrent, 0, 0xFFFF);
    Num(l, "MaxCurrent", t.maxCurrent, 0, 0xFFFF);
    Num(l, "DetectMs", t.detectMs, 0, 600000);
    TextKey(l, "VendorId", t.vendorId, 1, 8);
    TextKey(l, "ProductId", t.productId, 1, 16);
    TextKey(l, "VendorTag", t.vendorTag, 0, 6);
    TextKey(l, "Name", t.name, 0, 10);
    Num(l, "Id1", t.id1, 0, 0xFFFF);
    Num(l, "Id2", t.id2, 0, 0xFFFF);
    Num(l, "UsbGen", t.usbGen, 0, 255);
    Num(l, "SataGen", t.sataGen, 0, 255);
    Num(l, "SataPowerOn", t.sataPowerOn, 0, 255);
    Num(l, "PageSlot", t.pageSlot, 0, 255);
    FlagKey(l, "PresentWithoutDrive", p.presentWithoutDrive);
    FlagKey(l, "AtaPassThrough", p.ataPassThrough);
    FlagKey(l, "TesterCapable", p.testerCapable);

    TesterFaults& f = p.testerFaults;
    FlagKey(l, "CardAbsent", f.cardAbsent);
    FlagKey(l, "DetectTimeout", f.detectTimesOut);
    Num(l, "PowerFailures", f.powerCommandFailures, 0, kMaxCount);
    FlagKey(l, "CurrentInvalid", f.currentInvalid);
    Num(l, "AdjustVoltageReply", f.adjustVoltageReply, 0, 255);
    auto supply = [&](std::string_view key, ShortFault& out) {
      l.With(key, [&](const Place& at, const std::string& v) {
        if (EqualsNoCase(v, "none") || v == "0")
          out = ShortFault::None;
        else if (EqualsNoCase(v, "first"))
          out = ShortFault::FirstTest;
        else if (EqualsNoCase(v, "both"))
          out = ShortFault::BothTests;
        else
          Refuse(at, v, "is not none, first or both");
      });
    };
    supply("Short5V", f.short5V);
    supply("Short33V", f.short33V);
  }

  void ReadSlotOnly(const Layers& l, SlotPlan& p) {
    l.With("Volume", [&](const Place& at, const std::string& v) {
      const bool letter = (v.size() == 1 || (v.size() == 2 && v[1] == ':')) &&
                          std::toupper(static_cast<unsigned char>(v[0])) >= 'D' &&
                          std::toupper(static_cast<unsigned char>(v[0])) <= 'Z';
      if (!letter) Refuse(at, v, "is not a letter D to Z");
      if (p.empty) Refuse(at, v, "stands in an empty slot");
      p.volume = static_cast<char>(std::toupper(static_cast<unsigned char>(v[0])));
    });
    const std::pair<const char*, int VolumeFaults::*> controls[] = {
        {"OpenRefused", &VolumeFaults::open},
        {"LockRefused", &VolumeFaults::lock},
        {"UnlockRefused", &VolumeFaults::unlock},
        {"DismountRefused", &VolumeFaults::dismount},
        {"DeviceNumberRefused", &VolumeFaults::deviceNumber},
        {"DeleteLayoutRefused", &VolumeFaults::deleteLayout}};
    for (const auto& [key, member] : controls) {
      l.With(key, [&, member = member](const Place& at, const std::string& v) {
        p.volumeFaults.*member = Number<int>(at, v, -1, kMaxCount);
        if (!p.volume) Refuse(at, v, "needs a Volume in the slot");
      });
    }

    std::uint32_t failNext = 0, failEvery = 0;
    win::DWORD failError = win::ERROR_GEN_FAILURE;
    Num(l, "FailNext", failNext, 0, kMaxCount);
    Num(l, "FailEvery", failEvery, 0, kMaxCount);
    Num(l, "FailError", failError, 1, 0xFFFF);
    constexpr unsigned kAll = 7;
    if (failNext) {
      FaultRule r;
      r.osError = failError;
      r.count = failNext;
      p.rules.emplace_back(kAll, r);
    }
    if (failEvery) {
      FaultRule r;
      r.osError = failError;
      r.count = 0;
      r.every = failEvery;
      p.rules.emplace_back(kAll, r);
    }
    std::map<std::uint32_t, std::pair<unsigned, FaultRule>> numbered;
    l.EachSuffixed("Fault.", [&](const Place& at, std::string_view suffix, const std::string& v) {
      const auto k = Number<std::uint32_t>(at, suffix, 0, 999);
      if (numbered.count(k)) Refuse(at, suffix, "numbers a rule another Fault key numbers");
      numbered[k] = ReadRule(at, v);
    });
    for (auto& [k, rule] : numbered) p.rules.push_back(rule);
  }

  static std::pair<unsigned, FaultRule> ReadRule(const Place& at, const std::string& v) {
    const Fields f = SplitFields(at, v,
                                 {"On", "Ioctl", "Opcode", "Sub", "Ata", "Features", "Skip", "Count", "Every", "Error",
                                  "SenseKey", "Asc", "Ascq", "Fixed", "Bytes", "DelayMs"});
    FaultRule r;
    static const std::pair<const char*, FaultAction> actions[] = {{"OsError", FaultAction::OsError},
                                                                  {"CheckCondition", FaultAction::CheckCondition},
                                                                  {"ShortTransfer", FaultAction::ShortTransfer},
                                                                  {"IgnoreCkCond", FaultAction::IgnoreCkCond},
                                                                  {"Delay", FaultAction::Delay},
                                                                  {"Gone", FaultAction::Gone},
                                                                  {"HotRemove", FaultAction::HotRemove}};
    const auto* a = std::find_if(std::begin(actions), std::end(actions),
                                 [&](const auto& e) { return EqualsNoCase(e.first, f.head); });
    if (a == std::end(actions))
      Refuse(at, f.head, "is not OsError, CheckCondition, ShortTransfer, IgnoreCkCond, Delay, Gone or HotRemove");
    r.action = a->second;
    // Fields that only one action reads.
    const std::pair<const char*, FaultAction> own[] = {
        {"Error", FaultAction::OsError},        {"SenseKey", FaultAction::CheckCondition},
        {"Asc", FaultAction::CheckCondition},   {"Ascq", FaultAction::CheckCondition},
        {"Fixed", FaultAction::CheckCondition}, {"Bytes", FaultAction::ShortTransfer},
        {"DelayMs", FaultAction::Delay}};
    for (const auto& [name, action] : own) {
      const std::string* s = f.Get(name);
      if (!s || action == r.action) continue;
      const auto* owner = std::find_if(std::begin(actions), std::end(actions),
                                       [&, action = action](const auto& e) { return e.second == action; });
      Refuse(at.Field(name), *s, std::string("applies to ") + owner->first + " only");
    }

    unsigned on = 7;
    if (const std::string* s = f.Get("On")) {
      if (EqualsNoCase(*s, "tester"))
        on = 1u << static_cast<int>(FrontEndKind::Tester);
      else if (EqualsNoCase(*s, "bridge"))
        on = 1u << static_cast<int>(FrontEndKind::Bridge);
      else if (EqualsNoCase(*s, "sata"))
        on = 1u << static_cast<int>(FrontEndKind::SataPort);
      else
        Refuse(at.Field("On"), *s, "is not tester, bridge or sata");
    }
    auto num = [&](const char* name, auto& out, std::int64_t lo, std::uint64_t hi) {
      if (const std::string* s = f.Get(name))
        out = Number<std::remove_reference_t<decltype(out)>>(at.Field(name), *s, lo, hi);
    };
    num("Ioctl", r.match.ioctl, 0, 0x7FFFFFFF);
    num("Opcode", r.match.opcode, 0, 0xFF);
    num("Sub", r.match.subcode, 0, 0xFF);
    num("Ata", r.match.ataCommand, 0, 0xFF);
    num("Features", r.match.features, 0, 0xFF);
    num("Skip", r.skip, 0, kMaxCount);
    num("Count", r.count, 0, kMaxCount);
    num("Every", r.every, 0, kMaxCount);
    num("Error", r.osError, 1, 0xFFFF);
    num("SenseKey", r.senseKey, 0, 0x0F);
    num("Asc", r.asc, 0, 0xFF);
    num("Ascq", r.ascq, 0, 0xFF);
    if (const std::string* s = f.Get("Fixed")) r.descriptorSense = !Flag(at.Field("Fixed"), *s);
    num("Bytes", r.transferBytes, 0, 0xFFFFFFFFu);
    num("DelayMs", r.delayMs, 0, 3600000);
    return {on, r};
  }

  // The normal code a drive keeps in flash, read once per file.
  std::vector<std::uint8_t> FlashCode(const Place& at, const std::string& winPath) {
    std::string native;
    if (!platform::MapPath(winPath, native)) Refuse(at, winPath, "is not a file path");
    if (auto it = flashCodes_.find(native); it != flashCodes_.end()) return it->second;
    // One read to the end, a byte past the largest size allowed, judged by what it read.
    std::string data;
    bool changed = false;
    const win::DWORD err = platform::ReadFileBytes(winPath, data, kMaxFlashCodeBytes + 1, &changed);
    if (err != 0 && err != win::ERROR_FILE_TOO_LARGE) Refuse(at, winPath, "cannot be read");
    if (changed) Refuse(at, winPath, "changed while it was read");
    if (err != 0) Refuse(at, winPath, "holds more than 32 MiB");
    if (data.size() < kMinFlashCodeBytes)
      Refuse(at, winPath, "holds " + std::to_string(data.size()) + " bytes, not 16 KiB to 32 MiB");
    std::vector<std::uint8_t> bytes(data.begin(), data.end());
    return flashCodes_[native] = std::move(bytes);
  }

  std::vector<Section> sections_;
  std::map<std::string, std::vector<std::uint8_t>> flashCodes_;
};

// "Slot.N" with N in canonical decimal, or 0.
int SlotNumber(std::string_view section) {
  const auto suffix = Suffix(section, "Slot.");
  if (!suffix || suffix->size() > 2 || (*suffix)[0] == '0' ||
      !std::all_of(suffix->begin(), suffix->end(), [](char c) { return c >= '0' && c <= '9'; }))
    return 0;
  return std::stoi(std::string(*suffix));
}

std::shared_ptr<Site> Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw IniError{"cannot be opened"};
  std::string text;
  char buf[4096];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    text.append(buf, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxIniBytes) throw IniError{"larger than 1 MiB"};
  }
  CheckLines(text);
  Loader loader(ReadSections(path));
  const Section* siteSection = loader.Get("Site");
  if (!siteSection) throw IniError{"no [Site] section"};

  const Layers site(siteSection, nullptr, "");
  bool bridges = false, testers = false, sata = false;
  std::string modeText = "bridge";
  site.With("Mode", [&](const Place&, const std::string& v) { modeText = v; });
  for (const std::string& m : SplitList(modeText)) {
    if (EqualsNoCase(m, "bridge"))
      bridges = true;
    else if (EqualsNoCase(m, "tester"))
      testers = bridges = true;
    else if (EqualsNoCase(m, "sata"))
      sata = true;
    else
      Refuse(Place{siteSection->name, "Mode", {}}, m, "is not bridge, tester or sata");
  }
  if (!bridges && !sata) Refuse(Place{siteSection->name, "Mode", {}}, modeText, "names no front end");
  int slots = 24, firstPhys = 1;
  Num(site, "Slots", slots, 1, kMaxSlots);
  site.With("FirstPhysicalDrive", [&](const Place& at, const std::string& v) {
    firstPhys = Number<int>(at, v, 0, 99);
    // The program reads a slot on drive 0 as one without a board.
    if (firstPhys == 0) Refuse(at, v, "is the computer's boot disk, never a tester board: number the boards from 1");
  });
  if (testers && firstPhys + slots - 1 > 99)
    throw IniError{"[" + Shown(siteSection->name) + "] FirstPhysicalDrive: testers run past PhysicalDrive99"};

  // Every section known and within the site; every key known to its section.
  std::vector<const Section*> slotSections(static_cast<std::size_t>(slots) + 1, nullptr);
  for (const Section& s : loader.Sections()) {
    if (EqualsNoCase(s.name, "Site"))
      CheckKeys(s, {kSiteKeys});
    else if (EqualsNoCase(s.name, "Drive"))
      CheckKeys(s, {kDriveKeys});
    else if (EqualsNoCase(s.name, "Tester"))
      CheckKeys(s, {kTesterKeys});
    else if (const int n = SlotNumber(s.name); n >= 1 && n <= slots) {
      CheckKeys(s, {kDriveKeys, kTesterKeys, kSlotKeys});
      slotSections[static_cast<std::size_t>(n)] = &s;
    } else if (n > slots) {
      throw IniError{"[" + Shown(s.name) + "]: the site has " + std::to_string(slots) + " slots"};
    } else {
      throw IniError{"[" + Shown(s.name) + "]: unknown section (Site, Drive, Tester or Slot.1 to Slot." +
                     std::to_string(slots) + ")"};
    }
  }
  // The shared sections on their own, so that a value every slot overrides is still checked.
  loader.ReadSlot(nullptr, 0);

  auto result = Site::Create();
  for (int slot = 1; slot <= slots; ++slot) {
    const Section* own = slotSections[static_cast<std::size_t>(slot)];
    SlotPlan p = loader.ReadSlot(own, slot);
    std::vector<FrontEnd*> ends;
    if (testers) ends.push_back(result->AddTester(firstPhys + slot - 1, slot, p.info));
    if (bridges) ends.push_back(result->AddBridge(slot, p.info));
    if (sata) ends.push_back(result->AddSataPort(slot));
    for (FrontEnd* fe : ends) {
      if (!fe) continue;
      fe->presentWithoutDrive = p.presentWithoutDrive;
      fe->ataPassThrough = p.ataPassThrough;
      fe->testerCapable = p.testerCapable;
      for (const auto& [on, rule] : p.rules)
        if (on & (1u << static_cast<int>(fe->Kind()))) fe->GetFaults().Add(rule);
    }
    result->SetTesterFaults(slot, p.testerFaults);
    if (!p.empty) {
      auto drive = std::make_shared<Drive>(p.cfg);
      for (const auto& [offset, byte] : p.systemInfo) drive->PatchSystemInfo(offset, {byte});
      for (const auto& set : p.driveFaults) set(drive->Faults());
      if (!p.poweredOn) drive->PowerOff();
      result->SetDrive(slot, std::move(drive));
    }
    if (p.volume) {
      if (!result->AddVolume(slot, p.volume))
        Refuse(Place{own->name, "Volume", {}}, std::string(1, p.volume), "is taken by another slot");
      result->SetVolumeFaults(p.volume, p.volumeFaults);
    }
  }
  site.With("CdRom", [&](const Place& at, const std::string& v) {
    for (const std::string& l : SplitList(v)) {
      if (l.empty() || l.size() > 2 || (l.size() == 2 && l[1] != ':') || !result->AddCdRom(l[0]))
        Refuse(at, l, "is not a free letter D to Z");
    }
  });
  return result;
}

}  // namespace

std::shared_ptr<Site> LoadEmulatorIni(const std::string& path, std::string* error) {
  try {
    return Load(path);
  } catch (const IniError& e) {
    if (error) *error = e.message;
    return nullptr;
  }
}

bool InstallSiteFromEmulatorIni(std::string* error) {
  static std::shared_ptr<Site> installed;  // the program's site lives as long as the program
  std::string native;
  if (!platform::MapPath(".\\Configuration\\System\\Emulator.ini", native)) {
    if (error) *error = "its path cannot be mapped";
    return false;
  }
  auto site = LoadEmulatorIni(native, error);
  if (!site) return false;
  site->Install();
  installed = std::move(site);
  return true;
}

}  // namespace emu
