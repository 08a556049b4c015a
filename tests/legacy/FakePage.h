// A headless legacy page: a view that records what the page does to its
// controls, services whose message boxes, file dialog, pool and system queries
// tests set, and a waiter that runs a test's step while a pass waits.
#pragma once
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/EngineGlobals.h"
#include "engine/SnScan.h"
#include "legacy/FirstPropertyPage.h"
#include "tests/support/ScratchFolder.h"

namespace kxtest {

class FakeView : public legacy::IFirstPageView {
 public:
  void EnableControl(int id, bool enable) override { enabled[id] = enable; }
  void ShowControl(int id, bool show) override { shown[id] = show; }
  void SetCaption(int id, const std::string& text) override {
    captions[id] = text;
    captionHistory[id].push_back(text);
  }
  void SetButtonIcon(int id, int icon, int align) override {
    icons[id] = icon;
    aligns[id] = align;
  }
  void SetSkin(int id, int bitmap) override { skins[id] = bitmap; }
  bool IsChecked(int id) const override { return checked.count(id) != 0; }
  void SetComboEntries(const std::vector<std::string>& names) override { combo = names; }
  std::string ComboSelection() const override { return selection; }
  void SetTimer(int id, unsigned) override { timers.insert(id); ++timerStarts[id]; }
  void KillTimer(int id) override { timers.erase(id); }
  void Refresh() override { ++refreshes; }
  void PlaceSlots(const legacy::SlotLayout& l) override { layouts.push_back(l); }

  std::map<int, bool> enabled, shown;
  std::map<int, std::string> captions;
  std::map<int, std::vector<std::string>> captionHistory;
  std::map<int, int> icons, aligns, skins, timerStarts;
  std::set<int> checked, timers;
  std::vector<std::string> combo;
  std::string selection;
  std::vector<legacy::SlotLayout> layouts;
  int refreshes = 0;
};

class FakeSystem : public legacy::ISystemInfo {
 public:
  std::string MacWithColons() override { return mac; }
  std::string IpList() override { return ip; }
  std::string ComputerName() override { return name; }
  bool QueryOsVersion(legacy::OsVersionRecord& r) override {
    if (!hasVersion) return false;
    r = version;
    return true;
  }
  std::string CpuBrand() override { return cpu; }
  std::string mac = "00:1A:2B:3C:4D:5E", ip = "10.0.0.7", name = "PC7", cpu = "Emulated CPU";
  bool hasVersion = false;
  legacy::OsVersionRecord version;
};

// The program's tester finder and probes (on the emulated site), with the
// dialogs, the pool, the pump and the system answered by the test.
class FakeServices : public legacy::DefaultFirstPageServices {
 public:
  struct Box {
    std::string text;
    unsigned type;
  };
  int MessageBox(const std::string& text, unsigned type) override {
    boxes.push_back({text, type});
    if (whileBoxShows) whileBoxShows();
    return 1;
  }
  bool ChooseFile(std::string& path) override {
    if (chosen.empty()) return false;
    path = chosen;
    return true;
  }
  bool ScanTesters(std::array<std::int32_t, legacy::kPortCount + 1>& map) override {
    ++scans;
    if (scanFails) return false;
    if (!testers) return DefaultFirstPageServices::ScanTesters(map);
    map = *testers;
    return true;
  }
  legacy::TesterProbe CheckTesterFirmware(int d, int p, const std::string& f) override {
    if (firmwareProbe) return firmwareProbe(d, p);
    return DefaultFirstPageServices::CheckTesterFirmware(d, p, f);
  }
  legacy::TesterProbe ReadTesterInfo(int d, int p, const std::string& f) override {
    if (infoProbe) return infoProbe(d, p);
    return DefaultFirstPageServices::ReadTesterInfo(d, p, f);
  }
  bool CreatePool(CThreadPool& pool, unsigned workers) override {
    poolSizes.push_back(workers);
    return !poolFails && DefaultFirstPageServices::CreatePool(pool, workers);
  }
  // Runs the step once per pump (the page's messages), then waits.
  legacy::WaitEnd PumpUntil(const std::function<bool()>& done) override {
    ++pumps;
    bool quit = false;
    if (duringWait) quit = duringWait(pumps);
    if (quit) return legacy::WaitEnd::Quit;
    return DefaultFirstPageServices::PumpUntil(done);
  }
  void PostQuit() override { ++quitsPosted; }
  legacy::ISystemInfo& System() override { return system; }
  std::uint64_t NowMs() override { return DefaultFirstPageServices::NowMs() + clockOffsetMs; }
  void Pause(unsigned ms) override {
    pauses.push_back(ms);
    DefaultFirstPageServices::Pause(ms);
  }

  std::vector<Box> boxes;
  std::string chosen;
  const std::array<std::int32_t, legacy::kPortCount + 1>* testers = nullptr;
  std::function<legacy::TesterProbe(int, int)> firmwareProbe, infoProbe;
  std::vector<unsigned> poolSizes;
  bool poolFails = false, scanFails = false;
  std::vector<unsigned> pauses;
  std::uint64_t clockOffsetMs = 0;  // added to the clock: a pass that seems to last longer
  std::function<bool(int)> duringWait;  // true: the pump met the quit request
  std::function<void()> whileBoxShows;
  int pumps = 0, scans = 0, quitsPosted = 0;
  FakeSystem system;
};

// The engine's globals a run touches, as at start-up and back afterwards.
struct LegacyGlobalsGuard {
  LegacyGlobalsGuard() { Reset(); }
  ~LegacyGlobalsGuard() { Reset(); }
  static void Reset() {
    for (int i = 0; i < kx::kPortTableSize; ++i) {
      g_PortResult[i] = -1;
      g_PortState[i] = 1;
    }
    g_StopAfterFail = 0;
    g_CardWatch = 0;
    g_RunActive = 0;
    g_SnScanState.question = 0;
    kx::SetWorkOrderPath("");
  }
};

// A page in a scratch folder with a parameter file naming a KX7410.
class PageTest : public DeviceTestEnv {
 protected:
  PageTest() {
    SetIni(".\\param.ini", "Device Info", "ControllerType", "KX7410");
    SetIni(".\\param.ini", "General Info", "WorkingNo", "W01");
  }
  LegacyGlobalsGuard globals_;
  FakeView view_;
  FakeServices services_;
};

}  // namespace kxtest
