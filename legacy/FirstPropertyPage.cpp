#include "legacy/FirstPropertyPage.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "device/Environment.h"
#include "device/FileWrites.h"
#include "device/Format.h"
#include "device/ModuleFolder.h"
#include "device/PortDevice.h"
#include "device/Settings.h"
#include "command/CommandGlobals.h"
#include "command/TesterScanner.h"
#include "legacy/LegacyShared.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"

std::atomic<std::int32_t> g_RunActive{0};

namespace legacy {

// ---- default services ----------------------------------------------------------

DefaultFirstPageServices::DefaultFirstPageServices() : m_System(std::make_unique<HostSystemInfo>()) {}
DefaultFirstPageServices::~DefaultFirstPageServices() = default;

int DefaultFirstPageServices::MessageBox(const std::string& text, unsigned type) {
  return win::AfxMessageBox(text.c_str(), type);
}

// No dialog without a window: the window layer supplies one.
bool DefaultFirstPageServices::ChooseFile(std::string&) { return false; }

bool DefaultFirstPageServices::ScanTesters(std::array<std::int32_t, kPortCount + 1>& driveOfPort) {
  CTesterScanner finder;
  const bool found = finder.ScanTesters(0, "");
  for (int p = 0; p <= kPortCount; ++p) driveOfPort[static_cast<std::size_t>(p)] = finder.m_SlotMap[p];
  return found;
}

namespace {

TesterProbe Probe(int driveNo, int port, const std::string& logFolder, bool firmware) {
  CPortDevice device(driveNo, 1, port, logFolder, nullptr, nullptr);
  TesterProbe probe;
  probe.ok = firmware ? device.CheckTesterFwVersion(false) : device.ReadTesterInfo();
  probe.kind = device.m_TesterKind;
  probe.fwVersion = device.m_TesterFwVersion;
  probe.pageByte256 = device.m_TesterUsbGen;
  return probe;
}

}  // namespace

TesterProbe DefaultFirstPageServices::CheckTesterFirmware(int driveNo, int port, const std::string& logFolder) {
  return Probe(driveNo, port, logFolder, true);
}

TesterProbe DefaultFirstPageServices::ReadTesterInfo(int driveNo, int port, const std::string& logFolder) {
  return Probe(driveNo, port, logFolder, false);
}

bool DefaultFirstPageServices::CreatePool(CThreadPool& pool, unsigned workers) {
  return pool.Create(workers, nullptr);
}

WaitEnd DefaultFirstPageServices::PumpUntil(const std::function<bool()>& done) {
  // Waiting for events takes no time of the run's clock.
  while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return WaitEnd::Done;
}

std::uint64_t DefaultFirstPageServices::NowMs() { return platform::Clock().NowMs(); }
void DefaultFirstPageServices::Pause(unsigned ms) { platform::Clock().SleepMs(ms); }

// ---- construction -------------------------------------------------------------------

namespace {

// What a page without its window shows to: nothing.
class DetachedView : public IFirstPageView {
 public:
  void EnableControl(int, bool) override {}
  void ShowControl(int, bool) override {}
  void SetCaption(int, const std::string&) override {}
  void SetButtonIcon(int, int, int) override {}
  void SetSkin(int, int) override {}
  bool IsChecked(int) const override { return false; }
  void SetComboEntries(const std::vector<std::string>&) override {}
  std::string ComboSelection() const override { return ""; }
  void SetTimer(int, unsigned) override {}
  void KillTimer(int) override {}
  void PlaceSlots(const SlotLayout&) override {}
  void Refresh() override {}
};

DetachedView g_DetachedView;

}  // namespace

CFirstPropertyPage::CFirstPropertyPage(IFirstPageView& view, IFirstPageServices& services)
    : m_View(&view), m_Services(services) {
  for (auto& s : m_PortStates) s = 0;
  for (std::size_t i = 0; i < 3; ++i) m_CountBoxes[i] = &m_CountModels[i];
}

void CFirstPropertyPage::LayoutSlots() {
  const SlotLayout layout = legacy::LayoutSlots(kx::ReadProfileInt("General Info", "SlotNumber", 24, kParamIni));
  m_SlotNumber = layout.slotCount;
  m_View->PlaceSlots(layout);
}

CFirstPropertyPage::~CFirstPropertyPage() {
  StopRunClock();
  m_View->KillTimer(1);
}

void CFirstPropertyPage::DetachView() {
  m_View = &g_DetachedView;
  m_Detached = true;
  if (m_RunDepth > 0) EndJobWaits();
}

void CFirstPropertyPage::EndJobWaits() {
  g_CardWatch = 0;
  m_AutoDetectBox = false;
}

// ---- first display and activation ------------------------------------------------

void CFirstPropertyPage::ReadInfoFolder() {
  std::error_code ec;
  // The folder itself, not its "." entry: nothing to cut, and dots ending its name are part of it.
  std::string folder = std::filesystem::current_path(ec).string();
  if (ec || folder.empty()) return;  // nothing found: both stay
  if (folder.back() != '/') folder += '/';
  g_ModuleFolder = folder;
  m_ParamPath = kx::StrFormat("%sparam.INI", folder.c_str());
}

bool CFirstPropertyPage::OnInitDialog() {
  std::error_code ec;
  m_StartFolder = std::filesystem::current_path(ec).string();
  ReadInfoFolder();
  LayoutSlots();

  static constexpr struct {
    int id, icon;
  } kIcons[] = {{kIdReloadParam, 200}, {kIdQc, 141}, {kIdPretest, 194}, {kIdClearRecord, 134},
                {kIdBadBlock, 139},    {kIdInitial, 150}, {kIdTime, 270}};
  for (const auto& b : kIcons) m_View->SetButtonIcon(b.id, b.icon, 1);
  m_View->SetButtonIcon(kIdTime, 270, 0);
  m_View->SetCaption(kIdTime, "");

  m_View->ShowControl(kIdTesterDetect, true);
  m_View->SetSkin(kIdTesterDetect, 269);
  for (int id : {kIdInitial, kIdQc, kIdLoop, kIdAutoDetect}) m_View->ShowControl(id, false);
  ResetSlotCells();

  m_InfoSource = "param.INI";
  m_LogFolder = " ";
  SetWorkingNumber("");

  m_View->ShowControl(kIdStatic1579, false);
  m_LockHold = 0;
  FillParamFileList();
  if (m_ParamFiles.empty()) {
    m_View->ShowControl(kIdLock, false);
    m_View->ShowControl(kIdParamCombo, false);
  }
  m_PortEnabled.fill(1);
  PrepareLogFolders();

  std::string counts[3] = {"0", "0", "0"};
  for (const char* name : {"%s\\Total_Init.log", "%s\\Total_QC.log", "%s\\Total_Debug.log"}) {
    const std::string log = kx::StrFormat(name, m_LogFolder.c_str());
    if (!platform::FileExists(log)) continue;
    const char* keys[3] = {"Total", "Good", "Bad"};
    for (int i = 0; i < 3; ++i) counts[i] = kx::ReadProfileText("Total Results", keys[i], log.c_str(), 255);
    break;
  }
  for (int i = 0; i < 3; ++i) m_CountModels[static_cast<std::size_t>(i)].SetWindowText(counts[i]);

  // The serial-number controls stay hidden; the key is read as the page always did.
  m_ShowSerialRange = 0;
  kx::ReadProfileInt("Options", "AutoIncreseSerialNum", 0, kParamIni);
  m_View->ShowControl(kIdSerialLabel, false);
  m_View->ShowControl(kIdSerialRange, false);

  ShowDeviceInfo();
  m_TesterReady = 1;

  ISystemInfo& system = m_Services.System();
  const std::string mac = GetMacAddress(system);
  kx::WriteProfileText("PC Info", "MAC_Address", mac, kMacFile);
  SetSharedPcText(PcText::Mac, mac);
  SetSharedPcText(PcText::Ip, GetIpAddress(system));
  SetSharedPcText(PcText::Name, system.ComputerName());
  m_View->ShowControl(kIdExtraCell, false);
  SetSharedPcText(PcText::OsName, GetOsName(system));
  SetSharedPcText(PcText::CpuName, system.CpuBrand());
  m_View->ShowControl(kIdExtraCell, false);

  m_RunKind = 0;
  m_View->Refresh();
  return true;
}

void CFirstPropertyPage::OnSetActive() {
  std::error_code ec;
  if (!m_StartFolder.empty()) std::filesystem::current_path(m_StartFolder, ec);
  ReadInfoFolder();
  ShowDeviceInfo();
  RefreshBanner();
  LayoutSlots();
  ShowDeviceInfo();
}

// ---- device information -------------------------------------------------------------

void CFirstPropertyPage::ShowDeviceInfo() {
  m_InfoLines.clear();
  auto text = [](const char* section, const char* key) {
    return kx::TrimBlanks(kx::ReadProfileText(section, key, kParamIni, 255));
  };
  const std::string controller = text("Device Info", "ControllerType");
  std::string workingOrder = WorkingNumber();
  if (workingOrder.empty()) workingOrder = text("General Info", "WorkingNo");
  const std::string model = text("General Info", "ModelName");
  SetSharedModelName(model);
  const std::string makeCode = text("Flash Info", "Flh_MakeCode");
  const std::string number = text("Flash Info", "Flh_Number");
  const std::string type = text("Flash Info", "Flh_Type");
  // Other controllers have no ISP code to show.
  std::string ispCode;
  if (IsKx7410(controller)) {
    ispCode = text("Device Info", "ISP_MPBINCode");
    const std::size_t slash = ispCode.find_last_of('\\');
    if (slash != std::string::npos) ispCode = ispCode.substr(slash + 1);
  }
  const int capacity = kx::ReadProfileInt("Flash Info", "Flh_Capacity", 0, kParamIni);
  const std::string capacityText =
      capacity < 1024 ? kx::StrFormat("%d MB", capacity) : kx::StrFormat("%d GB", capacity / 1024);
  const std::string ddr = text("Options", "DDRSize");
  const std::string flashId = text("Flash Info", "Flh_ID");

  m_InfoLines = {kx::StrFormat("Info Source : %s ", m_InfoSource.c_str()),
                 "(1) Working Order : " + workingOrder,
                 "(2) Controller Type : " + controller,
                 "(3) Model Name : " + model,
                 "(4) ISP_FW Code : " + ispCode,
                 "(5) SSD Total Capacity : " + capacityText,
                 "      DDR Size : " + ddr + " MB",
                 "(6) Flash MakeCode : " + makeCode,
                 "(7) Flash Type : " + type,
                 "(8) Flash Number : " + number,
                 "(9) Flash ID : " + flashId};
  for (std::string& line : m_InfoLines) line += "\n";
  m_View->Refresh();
}

// ---- tester detection ---------------------------------------------------------------

void CFirstPropertyPage::DetectTesters() {
  if (g_KX_U2A != 0) {
    m_View->Refresh();
    return;
  }
  m_TesterFound = 0;
  m_TesterCount = 0;
  m_PortCount = kPortCount;
  for (int p = 1; p <= kPortCount; ++p) m_FwMarks[static_cast<std::size_t>(p)] = 0;

  bool probeFailed = false;
  if (!m_Services.ScanTesters(m_DriveOfPort)) {
    m_Services.MessageBox("Detect SATA Testers failed !!!", kMbOk);
  } else {
    for (int p = 1; p <= m_PortCount; ++p) {
      const int d = m_DriveOfPort[static_cast<std::size_t>(p)];
      m_Markers[static_cast<std::size_t>(p - 1)].clear();
      if (d == 0) continue;
      m_Markers[static_cast<std::size_t>(p - 1)] = kx::StrFormat("%d", p);
      if (!ProbeTesterFirmware(d, p)) {
        m_FwMarks[static_cast<std::size_t>(p)] = 0xF0;
        probeFailed = true;
      }
      if (!ProbeTesterInfo(d, p)) m_InfoMarks[static_cast<std::size_t>(p)] = 0xF0;
      m_TesterFound = 1;
      ++m_TesterCount;
    }
    if (m_TesterCount == 0) m_Services.MessageBox("Detect SATA Testers failed !!!", kMbOk);
  }
  if (probeFailed) {
    for (int p = 1; p <= m_PortCount; ++p) {
      if (m_FwMarks[static_cast<std::size_t>(p)] != 0xF0) continue;
      // The version this port's tester kind needs.
      const kx::TesterFwVersion need = MinimumFwOf(m_TesterKinds[static_cast<std::size_t>(p)]);
      m_Services.MessageBox(kx::StrFormat("Error: T_x08 !\nTesters_%s need update new firmware after V%d.%02x\n",
                                          kx::StrFormat("%d,", p).c_str(), need.major, need.minor),
                            kMbOk);
    }
    m_TesterReady = 0;
  }
  m_View->Refresh();
}

int CFirstPropertyPage::ResetSlotCells() {
  for (int slot = 1; slot <= kPortCount; ++slot) {
    kx::StatusCellModel& cell = Cell(slot);
    cell.SetColor(kx::Rgb(255, 0, 0), kx::Rgb(0, 0, 0));
    cell.SetWindowText(kx::StrFormat(" %d ", slot));
    Progress(slot).SetPos(0);
  }
  return 0;
}

void CFirstPropertyPage::RefreshBanner() {
  m_View->SetSkin(kIdBanner, 268);
  m_View->Refresh();
}

void CFirstPropertyPage::OnClearRecord() {
  ResetSlotCells();
  for (auto& box : m_CountModels) box.SetWindowText("0");
  // Before the first run there is no Total log to clear. The three in one
  // replacement, so that another process's pass never lands between them;
  // only into a log that is there, as zeros alone would make a log without
  // its header (the next pass's totals start a missing one whole).
  if (!m_TotalLogPath.empty()) {
    platform::ProfileWriteLock lock(m_TotalLogPath);
    if (platform::FileExists(m_TotalLogPath))
      kx::UpdateProfileKeys(
          m_TotalLogPath,
          {{"Total Results", "Total", "0", {}}, {"Total Results", "Good", "0", {}}, {"Total Results", "Bad", "0", {}}});
  }
  m_View->Refresh();
}

void CFirstPropertyPage::WriteCardCounts(const std::string& total, const std::string& good, const std::string& bad) {
  if (m_CountFilePath.empty()) return;
  // Replaced whole, in one step: a shorter count must not leave the tail of a
  // longer one, and a kill or another process never meets a half-written file.
  platform::ProfileWriteLock lock(m_CountFilePath);
  // Only an existing file that could be opened for writing.
  const win::DWORD attributes = win::GetFileAttributes(m_CountFilePath.c_str());
  if (lock.Error() != 0 || attributes == win::INVALID_FILE_ATTRIBUTES ||
      (attributes & (win::FILE_ATTRIBUTE_READONLY | win::FILE_ATTRIBUTE_DIRECTORY)) != 0)
    return;
  platform::WriteFileBytes(m_CountFilePath,
                           kx::StrFormat("Total Card :: %s\r\nGood Card  :: %s\r\nBad Card   :: %s\r\n",
                                         total.c_str(), good.c_str(), bad.c_str()));
}

void CFirstPropertyPage::OnReloadParam() {
  std::error_code ec;
  const std::filesystem::path kept = std::filesystem::current_path(ec);
  std::string chosen;
  // The parameter file itself, however spelt, is not copied onto itself.
  if (m_Services.ChooseFile(chosen) && !IsSameFile(chosen, m_ParamPath)) {
    if (ReplaceByCopy(chosen, m_ParamPath))
      m_Services.MessageBox("Load file Success !!!", kMbOk | kMbIconInformation);
    else
      m_Services.MessageBox("Load file Fail !!!", kMbOk | kMbIconError);
  }
  // The serial-number record keeps the last serial number; no record before the log folder is set.
  if (kx::TrimBlanks(m_LogFolder).empty() == false)
    kx::WriteProfileText("Serial Number", "Last Serial Number", "",
                         kx::StrFormat("%s\\%s", m_LogFolder.c_str(), "SATA_RecordSN.ini"));
  if (!kept.empty()) std::filesystem::current_path(kept, ec);
  ShowDeviceInfo();
  m_View->Refresh();
}

void CFirstPropertyPage::OnAutoDetect() {
  m_AutoDetect = m_View->IsChecked(kIdAutoDetect) ? 1 : 0;
  // A quit met in a run's wait has ended the repeat: the box ticked again meanwhile does not restart it.
  m_AutoDetectBox = m_AutoDetect != 0 && !m_QuitMet;
}

// The runs read the Loop box itself and the page keeps no member for it.
void CFirstPropertyPage::OnLoop() {}

void CFirstPropertyPage::WaitWithMessagePump() {
  std::atomic<bool> joined{false};
  const std::size_t unposted = m_Unposted;
  std::thread joiner([this, &joined, unposted] {
    // Destroy abandons what no worker has taken yet: let every worker take its job first.
    while (m_Pool.Queued() > unposted) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_Pool.Destroy();
    joined = true;
    m_Services.WakePump();
  });
  while (m_Services.PumpUntil([&joined] { return joined.load(); }) == WaitEnd::Quit) {
    // The workers still use the locks, cells and codes: the run ends after
    // them, the page's messages going on meanwhile, and the quit goes on when it has.
    m_QuitMet = true;
    EndJobWaits();
  }
  joiner.join();
  if (!m_Detached) m_AutoDetectBox = m_AutoDetect != 0;
}

}  // namespace legacy
