// Emulator.ini: the emulated site the program talks to.
//
// Sections and keys match without regard to case; values are trimmed, one pair
// of surrounding quotes is removed, and text after ';' at the start of a line is
// a comment. Numbers are decimal, or hexadecimal with 0x.
//
//   [Site]
//   Mode = bridge            bridge: a USB-to-SATA bridge per slot (listed by GetDev)
//                            tester: a tester board per slot on \\.\PhysicalDrive(FirstPhysicalDrive+slot-1),
//                                    plus the slot's bridge entry (the volume utilities find disks through it)
//                            sata:   a SATA port per slot (listed by GetDevSata)
//                            Several modes may be given, separated by commas.
//   Slots = 24               slots 1..Slots (at most 48); each holds a drive unless its section says Empty
//   FirstPhysicalDrive = 1   tester mode: physical-drive number of slot 1 (0..99)
//   CdRom = X                CD-ROM letters (skipped by the volume search), e.g. "X,Y"
//
//   [Drive]                  every slot's drive; [Slot.N] may override any key
//   Model = KX00 SATA SSD 512GB
//   Serial = KX00000000      the slot number is appended as four digits
//   FirmwareRevision = QVF10001
//   CapacityGB = 512         IDEMA capacity; CapacitySectors = n sets it exactly
//   WWN = 0x5000C50000000000 the slot number is added
//   Channels = 2, CesPerChannel = 4, DiesPerCe = 1, PlanesPerDie = 2,
//   BlocksPerPlane = 1024, PagesPerBlock = 256, PageSizeKb = 16
//   Code = mp                boot | mcode | mp | rdt (running code at power-on)
//   RdtDone = 1              with Code = rdt: the RDT run is complete
//   BootDelayMs = 500, ProgramFlashMs = 2000, EraseMs = 3000, PreFormatMs = 1000
//   PoweredOn = 1            the card is powered when the program starts
//
//   [Tester]                 every tester board / bridge; [Slot.N] may override
//   Kind = 4                 1..4
//   OutputVoltage = 1        0 old FW, 1 5 V, 2 3.3 V, 3 no card
//   Firmware = 3.05          major.minor (minor as hexadecimal digits)
//   Calibration = 0x0011     "TUCR" reading; Calibrated = 0 drops the mark
//   CardCurrent = 1000, MaxCurrent = 1500   raw readings
//   DetectMs = 0             the tester reports "detecting" this long after power-on
//   ProductId = SATA TESTER-S, VendorTag = TAVLIN
//
//   [Slot.N]                 overrides for slot N, and its faults:
//   Empty = 1                no drive in the slot
//   Volume = E               the drive carries volume E:
//   CardAbsent = 1, DetectTimeout = 1, PowerFailures = k, CurrentInvalid = 1,
//   Short5V = first|both, Short33V = first|both, AdjustVoltageReply = n
//   NeverReady = 1, NoAnswer = n, ErrorStateOnce = 1, KeyRefused = n (-1 always),
//   KeyNotEnabled = 1, WrongVerdict = n, SmartExceeded = 1, MediumErrors = lba[,lba...]
//   FailNext = n, FailError = 31, FailEvery = n   transport faults on the slot's devices
//   LockRefused = n, DismountRefused = n, UnlockRefused = n, DeleteLayoutRefused = n (-1 always)
#include "emulator/EmulatorIni.h"

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

#include "emulator/Drive.h"
#include "platform/Paths.h"

namespace emu {

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  std::string t = s.substr(b, e - b);
  if (t.size() >= 2 && ((t.front() == '"' && t.back() == '"') || (t.front() == '\'' && t.back() == '\'')))
    t = t.substr(1, t.size() - 2);
  return t;
}

using Section = std::map<std::string, std::string>;  // lower-case key -> value
using Ini = std::map<std::string, Section>;          // lower-case section -> keys

Ini parse(std::istream& in) {
  Ini ini;
  Section* cur = nullptr;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string t = trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t.front() == '[' && t.back() == ']') {
      cur = &ini[lower(trim(t.substr(1, t.size() - 2)))];
      continue;
    }
    const auto eq = t.find('=');
    if (eq == std::string::npos || !cur) continue;
    (*cur)[lower(trim(t.substr(0, eq)))] = trim(t.substr(eq + 1));
  }
  return ini;
}

// Looks a key up in the slot's section first, then in the shared one.
class Reader {
 public:
  Reader(const Ini& ini, std::string error) : ini_(ini), error_(std::move(error)) {}
  bool failed() const { return !problem_.empty(); }
  const std::string& problem() const { return problem_; }

  const std::string* find(const std::string& slotSection, const std::string& shared, const std::string& key,
                          std::string* where) const {
    for (const std::string* sec : {&slotSection, &shared}) {
      if (sec->empty()) continue;
      auto s = ini_.find(*sec);
      if (s == ini_.end()) continue;
      auto k = s->second.find(key);
      if (k != s->second.end()) {
        if (where) *where = "[" + *sec + "] " + key;
        return &k->second;
      }
    }
    return nullptr;
  }

  bool number(const std::string& text, long long& out) const {
    if (text.empty()) return false;
    try {
      std::size_t used = 0;
      const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
      const bool neg = !hex && text[0] == '-';
      if (hex) {
        out = static_cast<long long>(std::stoull(text.substr(2), &used, 16));
        used += 2;
      } else if (neg) {
        out = std::stoll(text, &used, 10);
      } else {
        out = static_cast<long long>(std::stoull(text, &used, 10));
      }
      return used == text.size();
    } catch (...) {
      return false;
    }
  }

  template <class T>
  void num(const std::string& slotSec, const std::string& shared, const std::string& key, T& out, long long lo,
           long long hi) {
    std::string where;
    const std::string* v = find(slotSec, shared, key, &where);
    if (!v || failed()) return;
    long long n = 0;
    if (!number(*v, n) || n < lo || n > hi) {
      problem_ = where + ": \"" + *v + "\" is not a number from " + std::to_string(lo) + " to " + std::to_string(hi);
      return;
    }
    out = static_cast<T>(n);
  }

  void text(const std::string& slotSec, const std::string& shared, const std::string& key, std::string& out) {
    if (const std::string* v = find(slotSec, shared, key, nullptr)) out = *v;
  }

  void fail(const std::string& msg) {
    if (problem_.empty()) problem_ = msg;
  }

 private:
  const Ini& ini_;
  std::string error_;
  std::string problem_;
};

std::uint64_t idemaSectors(std::uint64_t gb) {
  return gb >= 50 ? 97696368ull + 1953504ull * (gb - 50) : gb * 1000000000ull / 512;
}

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream ss(s);
  std::string item;
  while (std::getline(ss, item, ',')) {
    item = trim(item);
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

bool shortFault(Reader& r, const std::string& sec, const std::string& key, ShortFault& out) {
  std::string v;
  r.text(sec, "", key, v);
  v = lower(v);
  if (v.empty() || v == "none" || v == "0") return true;
  if (v == "first") out = ShortFault::FirstTest;
  else if (v == "both") out = ShortFault::BothTests;
  else {
    r.fail("[" + sec + "] " + key + ": \"" + v + "\" is not none, first or both");
    return false;
  }
  return true;
}

void readDrive(Reader& r, const std::string& sec, int slot, DriveConfig& cfg, bool& poweredOn) {
  const std::string d = "drive";
  r.text(sec, d, "model", cfg.model);
  std::string serial = "KX00000000";
  r.text(sec, d, "serial", serial);
  char digits[16];
  std::snprintf(digits, sizeof digits, "%04d", slot);
  cfg.serial = serial + digits;
  r.text(sec, d, "firmwarerevision", cfg.firmwareRevision);
  std::uint64_t gb = 0;
  r.num(sec, d, "capacitygb", gb, 1, 1000000);
  if (gb) cfg.capacitySectors = idemaSectors(gb);
  r.num(sec, d, "capacitysectors", cfg.capacitySectors, 1, 0xFFFFFFFFFFFFll);
  std::uint64_t wwn = 0x5000C50000000000ull;
  r.num(sec, d, "wwn", wwn, 0, 0x7FFFFFFFFFFFFFFFll);
  cfg.wwn = wwn + static_cast<std::uint64_t>(slot);
  r.num(sec, d, "channels", cfg.channels, 1, kMaxChannels);
  r.num(sec, d, "cesperchannel", cfg.cesPerChannel, 1, kMaxCesPerChannel);
  r.num(sec, d, "diesperce", cfg.diesPerCe, 1, kMaxDiesPerCe);
  r.num(sec, d, "planesperdie", cfg.planesPerDie, 1, 4);
  r.num(sec, d, "blocksperplane", cfg.blocksPerPlane, 1, 65536);
  r.num(sec, d, "pagesperblock", cfg.pagesPerBlock, 1, 4096);
  r.num(sec, d, "pagesizekb", cfg.pageSizeKb, 2, 16);
  // Shapes the controller has; the host's tables hold at most 128 dies and
  // 32,768 blocks per die.
  const std::string where = "[" + (sec.empty() ? d : sec) + "] ";
  if (cfg.planesPerDie == 3) r.fail(where + "PlanesPerDie: 1, 2 or 4");
  if ((cfg.pageSizeKb & (cfg.pageSizeKb - 1)) != 0) r.fail(where + "PageSizeKb: 2, 4, 8 or 16");
  if (cfg.channels * cfg.cesPerChannel * cfg.diesPerCe > kMaxDies) r.fail(where + "more than 128 dies");
  if (cfg.blocksPerPlane * cfg.planesPerDie > kMaxBlocksPerDie) r.fail(where + "more than 32768 blocks per die");
  std::string code;
  r.text(sec, d, "code", code);
  code = lower(code);
  if (code == "boot") cfg.initialCode = RunningCode::Boot;
  else if (code == "mcode") cfg.initialCode = RunningCode::Mcode;
  else if (code == "mp") cfg.initialCode = RunningCode::RomMp;
  else if (code == "rdt") cfg.initialCode = RunningCode::RomRdt;
  else if (!code.empty()) r.fail("[" + (sec.empty() ? d : sec) + "] Code: \"" + code + "\" is not boot, mcode, mp or rdt");
  int rdtDone = cfg.rdtDone ? 1 : 0;
  r.num(sec, d, "rdtdone", rdtDone, 0, 1);
  cfg.rdtDone = rdtDone != 0;
  r.num(sec, d, "bootdelayms", cfg.bootDelayMs, 0, 600000);
  r.num(sec, d, "programflashms", cfg.programFlashMs, 0, 3600000);
  r.num(sec, d, "erasems", cfg.eraseMs, 0, 3600000);
  r.num(sec, d, "preformatms", cfg.preFormatMs, 0, 3600000);
  int powered = 1;
  r.num(sec, d, "poweredon", powered, 0, 1);
  poweredOn = powered != 0;
}

void readTester(Reader& r, const std::string& sec, TesterInfo& t) {
  const std::string s = "tester";
  r.num(sec, s, "kind", t.kind, 1, 4);
  r.num(sec, s, "outputvoltage", t.outputVoltage, 0, 3);
  std::string fw;
  r.text(sec, s, "firmware", fw);
  if (!fw.empty()) {
    const auto dot = fw.find('.');
    long long major = 0, minor = 0;
    if (dot == std::string::npos || !r.number(fw.substr(0, dot), major) || major > 255 ||
        !r.number("0x" + fw.substr(dot + 1), minor) || minor > 255)
      r.fail("[" + (sec.empty() ? s : sec) + "] Firmware: \"" + fw + "\" is not major.minor");
    t.fwMajor = static_cast<std::uint8_t>(major);
    t.fwMinor = static_cast<std::uint8_t>(minor);
  }
  int calibrated = t.calibrated ? 1 : 0;
  r.num(sec, s, "calibrated", calibrated, 0, 1);
  t.calibrated = calibrated != 0;
  r.num(sec, s, "calibration", t.calibration, 0, 0xFFFF);
  r.num(sec, s, "cardcurrent", t.cardCurrent, 0, 0xFFFF);
  r.num(sec, s, "maxcurrent", t.maxCurrent, 0, 0xFFFF);
  r.num(sec, s, "detectms", t.detectMs, 0, 600000);
  r.text(sec, s, "productid", t.productId);
  r.text(sec, s, "vendortag", t.vendorTag);
}

void readFaults(Reader& r, const std::string& sec, Site& site, int slot, Drive* drive) {
  TesterFaults tf;
  int flag = 0;
  r.num(sec, "", "cardabsent", flag, 0, 1);
  tf.cardAbsent = flag != 0;
  flag = 0;
  r.num(sec, "", "detecttimeout", flag, 0, 1);
  tf.detectTimesOut = flag != 0;
  r.num(sec, "", "powerfailures", tf.powerCommandFailures, 0, 1000000);
  flag = 0;
  r.num(sec, "", "currentinvalid", flag, 0, 1);
  tf.currentInvalid = flag != 0;
  r.num(sec, "", "adjustvoltagereply", tf.adjustVoltageReply, 0, 255);
  shortFault(r, sec, "short5v", tf.short5V);
  shortFault(r, sec, "short33v", tf.short33V);
  site.SetTesterFaults(slot, tf);

  if (drive) {
    DriveFaults& df = drive->Faults();
    flag = 0;
    r.num(sec, "", "neverready", flag, 0, 1);
    if (flag) df.SetNeverReady(true);
    std::uint32_t n = 0;
    r.num(sec, "", "noanswer", n, 0, 1000000);
    if (n) df.NoAnswer(n);
    flag = 0;
    r.num(sec, "", "errorstateonce", flag, 0, 1);
    if (flag) df.ErrorStateOnce();
    long long refused = 0;
    r.num(sec, "", "keyrefused", refused, -1, 1000000);
    if (refused) df.RefuseAccessKey(refused < 0 ? DriveFaults::kForever : static_cast<std::uint32_t>(refused));
    flag = 0;
    r.num(sec, "", "keynotenabled", flag, 0, 1);
    if (flag) df.SetAccessKeyNotEnabled(true);
    n = 0;
    r.num(sec, "", "wrongverdict", n, 0, 1000000);
    if (n) df.WrongVerdict(n);
    flag = 0;
    r.num(sec, "", "smartexceeded", flag, 0, 1);
    if (flag) df.SetSmartThresholdExceeded(true);
    std::string lbas;
    r.text(sec, "", "mediumerrors", lbas);
    for (const std::string& item : split(lbas)) {
      long long lba = 0;
      if (!r.number(item, lba) || lba < 0) r.fail("[" + sec + "] MediumErrors: \"" + item + "\" is not an LBA");
      else df.AddMediumError(static_cast<std::uint64_t>(lba));
    }
  }

  std::uint32_t failNext = 0, failEvery = 0;
  win::DWORD failError = win::ERROR_GEN_FAILURE;
  r.num(sec, "", "failnext", failNext, 0, 1000000);
  r.num(sec, "", "failevery", failEvery, 0, 1000000);
  r.num(sec, "", "failerror", failError, 1, 0xFFFF);
  std::vector<FrontEnd*> devices = {site.Bridge(slot), site.SataPort(slot)};
  for (int n = 0; n < 100; ++n)
    if (FrontEnd* t = site.Tester(n); t && t->Slot() == slot) devices.push_back(t);
  for (FrontEnd* fe : devices) {
    if (!fe) continue;
    fe->GetFaults().FailNext(failNext, failError);
    fe->GetFaults().FailEvery(failEvery, failError);
  }
}

}  // namespace

std::shared_ptr<Site> LoadEmulatorIni(const std::string& path, std::string* error) {
  auto fail = [error](const std::string& msg) -> std::shared_ptr<Site> {
    if (error) *error = msg;
    return nullptr;
  };
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail("cannot open " + path);
  const Ini ini = parse(in);
  Reader r(ini, "");
  if (ini.find("site") == ini.end()) return fail(path + ": no [Site] section");

  std::string modeText = "bridge";
  r.text("site", "", "mode", modeText);
  bool bridges = false, testers = false, sata = false;
  for (const std::string& m : split(lower(modeText))) {
    if (m == "bridge") bridges = true;
    else if (m == "tester") testers = bridges = true;
    else if (m == "sata") sata = true;
    else return fail("[Site] Mode: \"" + m + "\" is not bridge, tester or sata");
  }
  int slots = 24, firstPhys = 1;
  r.num("site", "", "slots", slots, 1, kMaxSlots);
  r.num("site", "", "firstphysicaldrive", firstPhys, 0, 99);
  if (r.failed()) return fail(r.problem());
  if (testers && firstPhys + slots - 1 > 99) return fail("[Site] FirstPhysicalDrive: testers run past PhysicalDrive99");

  auto site = Site::Create();
  for (int slot = 1; slot <= slots; ++slot) {
    const std::string sec = "slot." + std::to_string(slot);
    const std::string secOrNone = ini.count(sec) ? sec : std::string();
    TesterInfo info;
    readTester(r, secOrNone, info);
    if (testers) site->AddTester(firstPhys + slot - 1, slot, info);
    if (bridges) site->AddBridge(slot, info);
    if (sata) site->AddSataPort(slot);
    int empty = 0;
    r.num(secOrNone, "", "empty", empty, 0, 1);
    std::shared_ptr<Drive> drive;
    if (!empty) {
      DriveConfig cfg;
      bool poweredOn = true;
      readDrive(r, secOrNone, slot, cfg, poweredOn);
      if (r.failed()) return fail(r.problem());
      drive = std::make_shared<Drive>(cfg);
      if (poweredOn) drive->PowerOn();
      site->SetDrive(slot, drive);
    }
    std::string letter;
    r.text(secOrNone, "", "volume", letter);
    if (!letter.empty() && (letter.size() > 2 || (letter.size() == 2 && letter[1] != ':') ||
                            !site->AddVolume(slot, letter[0])))
      return fail("[" + sec + "] Volume: \"" + letter + "\" is not a free letter D to Z");
    if (!secOrNone.empty()) {
      readFaults(r, sec, *site, slot, drive.get());
      VolumeFaults vf;
      r.num(sec, "", "lockrefused", vf.lock, -1, 1000000);
      r.num(sec, "", "unlockrefused", vf.unlock, -1, 1000000);
      r.num(sec, "", "dismountrefused", vf.dismount, -1, 1000000);
      r.num(sec, "", "deletelayoutrefused", vf.deleteLayout, -1, 1000000);
      if (!letter.empty()) site->SetVolumeFaults(letter[0], vf);
    }
    if (r.failed()) return fail(r.problem());
  }
  std::string cdroms;
  r.text("site", "", "cdrom", cdroms);
  for (const std::string& l : split(cdroms)) {
    if (l.size() > 2 || (l.size() == 2 && l[1] != ':') || !site->AddCdRom(l[0]))
      return fail("[Site] CdRom: \"" + l + "\" is not a free letter D to Z");
  }
  return site;
}

bool InstallSiteFromEmulatorIni(std::string* error) {
  static std::shared_ptr<Site> installed;  // the program's site lives as long as the program
  std::string native;
  if (!platform::MapPath(".\\Configuration\\System\\Emulator.ini", native)) {
    if (error) *error = "cannot map .\\Configuration\\System\\Emulator.ini";
    return false;
  }
  auto site = LoadEmulatorIni(native, error);
  if (!site) return false;
  site->Install();
  installed = std::move(site);
  return true;
}

}  // namespace emu
