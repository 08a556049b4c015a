// The production page's logic: first display, Start's checks, log folders and
// totals, the end of a pass, and whole passes on an emulated site.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "app/AppShell.h"
#include "app/ProductionPage.h"
#include "command/CommandGlobals.h"
#include "command/GetDevLibrary.h"
#include "device/AppHolders.h"
#include "device/ErrorCode.h"
#include "device/ModuleFolder.h"
#include "device/PortDevice.h"
#include "emulator/EmulatorIni.h"
#include "engine/SnScan.h"
#include "media/BadBlockScan.h"
#include "platform/FileFaults.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/Identity.h"
#include "platform/MessageBox.h"
#include "platform/Termination.h"
#include "tests/media/FirmwareFiles.h"
#include "tests/platform/TempDir.h"
#include "tests/support/EmulatedSite.h"
#include "tests/support/MpStation.h"
#include "tests/support/RecordChecks.h"

namespace {

using kx::Rgb;
using kxtest::Has;
using Codes = std::array<std::string, CProductionPage::kResultCodes>;

struct ProductionPage : kxtest::DeviceTestEnv {
  ProductionPage() {
    MakeDirs(".\\Configuration\\System");
    SetIni(app::kToolSettingIni, "General Info", "TestStation", "RDT");
    SetIni(".\\param.ini", "General Info", "WorkingNo", "W01");
    SetIni(".\\param.ini", "Log Path", "SetLogFolderPath", "D:\\Logs");
    for (auto& r : g_PortResult) r = -1;
    g_StopAfterFail = 0;
  }
  ~ProductionPage() override {
    for (auto& r : g_PortResult) r = -1;
    g_StopAfterFail = 0;
    kx::SetWorkOrderPath("");
    kx::FillErrorCodeMap();  // the page's destructor empties it; the other tests expect it loaded
  }
  static Codes CodesOf(std::initializer_list<const char*> head) {
    Codes c;
    c.fill("H_F8");
    std::size_t i = 0;
    for (const char* code : head) c[i++] = code;
    return c;
  }
  std::shared_ptr<platform::RecordingMessageBox> box_ = std::make_shared<platform::RecordingMessageBox>();
  platform::ScopedMessageBox scopedBox_{box_};
};

// Each of ports 1..8 reaches its own bay's disk, or none when its bay is `empty`.
void ExpectBays(const CProductionPage& page, bool sata, int empty) {
  for (int port = 1; port <= 8; ++port) {
    SCOPED_TRACE(port);
    if (port == empty) {
      EXPECT_EQ(page.DriveNumber(port), 0);
      continue;
    }
    std::string path;
    EXPECT_TRUE(kx::GetRootDevicePath(page.DriveNumber(port), path));
    EXPECT_EQ(path, sata ? emu::Site::SataPath(port) : emu::Site::BridgePath(port));
  }
}

// A bay's drive out (its SATA port without a drive, or its bridge gone with it)
// or back.
void SetBay(kxtest::EmulatedSite& site, int bay, const std::shared_ptr<emu::Drive>& drive) {
  if (site.GetMode() == kxtest::Mode::SataPort)
    site.Site().SetDrive(bay, drive);
  else
    site.FrontEnd(bay).SetGone(drive == nullptr);
}

TEST(SlotGrid, SlotCountAndLayout) {
  const struct {
    int setting, slots, columns, rows;
  } rows[] = {{8, 8, 4, 2}, {16, 16, 4, 4}, {24, 24, 6, 4}, {12, 8, 4, 2}, {0, 8, 4, 2}};
  for (const auto& r : rows) {
    EXPECT_EQ(CProductionPage::SlotCountOf(r.setting), r.slots) << r.setting;
    EXPECT_EQ(CProductionPage::LayoutOf(r.slots).columns, r.columns) << r.setting;
    EXPECT_EQ(CProductionPage::LayoutOf(r.slots).rows, r.rows) << r.setting;
  }
}

TEST(JobMode, ByStation) {
  const int modes[] = {1, 1, 10, 1, 1, 4, 4, 1, 1, 1, 4};
  for (int station = 0; station <= 10; ++station) EXPECT_EQ(CProductionPage::JobModeOf(station), modes[station]);
}

TEST(EndOfPass, CountsFinishedPortsUpToTheFirstStillTesting) {
  const struct {
    std::vector<int> states;
    int finished;
  } rows[] = {{{1, 0, 4, -1, 1}, 4}, {{1, 2, 0, 1}, 1}, {{-1, -1, 4}, 1}, {{3, 1}, 1}};
  for (const auto& r : rows) {
    for (auto& s : g_PortResult) s = -1;
    for (std::size_t i = 0; i < r.states.size(); ++i) g_PortResult[i] = r.states[i];
    EXPECT_EQ(CProductionPage::CountFinishedPorts(), r.finished) << r.finished;
  }
  for (auto& s : g_PortResult) s = -1;
}

TEST_F(ProductionPage, FirstDisplaySetsPathsModeHoldersAndCatalogue) {
  SetIni(app::kToolSettingIni, "General Info", "PortType", "1");
  SetIni(app::kToolSettingIni, "General Info", "SlotNumber", "16");
  SetIni(app::kToolSettingIni, "General Info", "IniFilePath", "INI_files\\ini_Micron(2C)\\paramFDB.ini");
  MakeDirs(".\\INI_files\\ini_Micron(2C)");
  SetIni(".\\INI_files\\ini_Micron(2C)\\paramFDB.ini", "Flash Info", "Flh_ID", "2c 84");
  SetIni(".\\param.ini", "Options", "FlhIDMask", "FF000000000000");
  g_SettingIniPath.clear();
  kx::SetAtaPassThroughOk(3, true);
  kx::ClearErrorCodeMap();
  {
    CProductionPage page(std::make_unique<CPortMapping>([] {}));
    page.OnInitDialog();
    EXPECT_EQ(g_SettingIniPath, ".\\param.ini");
    EXPECT_EQ(g_ParamFdbIniPath, ".\\paramFDB.ini");
    EXPECT_EQ(g_SataPortMode, 1);
    EXPECT_FALSE(kx::AtaPassThroughOk(3));
    EXPECT_EQ(ReadAll(".\\paramFDB.ini"), ReadAll(".\\INI_files\\ini_Micron(2C)\\paramFDB.ini"));
    EXPECT_EQ(kx::GetFlashIdMask(), "FF000000000000");
    EXPECT_EQ(g_WorkFolder.Get(), ".\\");
    EXPECT_EQ(CPortDevice::FormatErrorCode("M_x04"), "0x103");
    EXPECT_EQ(page.SlotCount(), 16);
  }
  EXPECT_EQ(CPortDevice::FormatErrorCode("M_x04"), "0xFFF");  // the destructor emptied the catalogue
}

TEST_F(ProductionPage, StartRefusesWithoutParameterFileOrBarCodes) {
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  page.OnInitDialog();
  std::string message;
  std::filesystem::remove(Native(".\\param.ini"));
  EXPECT_FALSE(page.OnStart());
  EXPECT_EQ(box_->Texts(), std::vector<std::string>{"Don't found param.ini file !!!"});

  kxtest::EmulatedSite site(3, kxtest::Mode::Bridge);
  SetIni(".\\param.ini", "Options", "DDRSize", "4");
  SetIni(app::kToolSettingIni, "OP Setting", "UseBarCode", "1");
  g_SnScanState.SetSerialNumber(1, "SN0001");
  std::filesystem::remove(Native(".\\PC_MAC_Address.txt"));
  ASSERT_FALSE(page.CheckStart(message));
  EXPECT_EQ(message, "Serial Numbers Empty \r\n Port:2");
  EXPECT_TRUE(Has(ReadAll(".\\PC_MAC_Address.txt"), "[PC Info]\r\nMAC_Address="));
  SetIni(app::kToolSettingIni, "General Info", "TestStation", "QC");  // QC takes no bar codes
  EXPECT_TRUE(page.CheckStart(message));
  g_SnScanState.SetSerialNumber(1, "");
}

TEST_F(ProductionPage, TesterDirectModeSaysWhenTheTesterScanFindsNoBoard) {
  kxtest::SetSendMode(kxtest::Mode::TesterDirect);  // no tester board answers
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  page.OnInitDialog();
  page.OnScan();
  EXPECT_FALSE(page.OnStart());
  EXPECT_EQ(box_->Texts(), (std::vector<std::string>{"Detect SATA Testers failed !!!", "Detect SATA Testers failed !!!"}));
  kxtest::EmulatedSite site(2, kxtest::Mode::TesterDirect);
  page.OnScan();
  EXPECT_EQ(box_->Texts().size(), 2u);
  EXPECT_EQ(page.DriveNumber(2), 2);
}

// Tester sites whose first board has the lowest number Emulator.ini takes, and
// whose boards come after two SCSI disks of the PC's own, up to PhysicalDrive26:
// every board is found and runs, the first and the last. Drive 0 would be the
// computer's boot disk, which the slot map reads as a slot without a board.
TEST_F(ProductionPage, EveryBoardOfATesterSiteRunsTheFirstAndTheLastToo) {
  SetIni(".\\param.ini", "Options", "DDRSize", "4");
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_ID", "2c 84 64 3c a5 08 04");
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_Number", "8");
  kxtest::InstallBin(kxtest::NamedImage("RDT00202", 16384 + 100, true), "ISP_RDTBINCode");
  platform::ScopedClock clock(platform::MakeVirtualClock(1780000000000));
  const auto load = [](const char* first, int slots, std::string* error) {
    std::ofstream(Native(".\\Emulator.ini"), std::ios::binary)
        << "[Site]\nMode = tester\nSlots = " << slots << "\nFirstPhysicalDrive = " << first
        << "\n[Drive]\nCode = mp\nBlocksPerPlane = 64\nDramMb = 4\nEraseMs = 200\nBootDelayMs = 0\n";
    return emu::LoadEmulatorIni(Native(".\\Emulator.ini"), error);
  };
  std::string error;
  EXPECT_FALSE(load("0", 8, &error));
  EXPECT_TRUE(Has(error, "FirstPhysicalDrive")) << error;
  for (const auto& [first, slots] : {std::pair{"1", 8}, std::pair{"3", 24}}) {
    SCOPED_TRACE(first);
    const std::shared_ptr<emu::Site> site = load(first, slots, &error);
    ASSERT_TRUE(site) << error;
    site->Install();
    kxtest::SetSendMode(kxtest::Mode::TesterDirect);
    SetIni(app::kToolSettingIni, "General Info", "SlotNumber", std::to_string(slots).c_str());
    {
      CProductionPage page(std::make_unique<CPortMapping>([] {}));
      page.OnInitDialog();
      ASSERT_TRUE(page.OnStart());
      page.WaitForRunEnd();
      for (int port = 1; port <= slots; ++port) EXPECT_EQ(page.ResultCode(port), "0_00") << port;
      const std::string counts = "Total=" + std::to_string(slots) + "\r\nGood=" + std::to_string(slots) + "\r\n";
      EXPECT_TRUE(Has(ReadAll(page.TotalLogPath()), counts)) << ReadAll(page.TotalLogPath());
      std::filesystem::remove(Native(page.TotalLogPath()));
    }
    site->Uninstall();
  }
}

TEST_F(ProductionPage, ScanThatMapsNoPortSaysSo) {
  CProductionPage page(std::make_unique<CPortMapping>([] {}));  // bridge mode, nothing listed
  page.OnInitDialog();
  page.OnScan();
  EXPECT_EQ(box_->Texts(), std::vector<std::string>{"No drive was found on any of the 8 ports."});
}

// A mapping that a killed process left in another mode or on another site, and
// a restart: start-up and Scan map the ports to the drives present.
TEST_F(ProductionPage, StartUpAndScanMapTheDrivesPresentWhateverMappingAKilledProcessLeft) {
  const struct {
    kxtest::Mode mode;
    const char* portType;
    const char* left;  // port N's node: this and N
  } rows[] = {{kxtest::Mode::SataPort, "1", "kxemu-bridge-0"},
              {kxtest::Mode::Bridge, "0", "kxemu-sata-0"},
              {kxtest::Mode::Bridge, "0", "pci-0000:00:14.0-usb-0:"},
              {kxtest::Mode::SataPort, "1", "pci-0000:00:17.0-ata-"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.left);
    kxtest::EmulatedSite site(3, r.mode);
    SetIni(app::kToolSettingIni, "General Info", "PortType", r.portType);
    const auto leave = [&r] {
      MakeDirs("C:\\MP_SSD_NODE");
      for (int port = 0; port < 3; ++port)
        SetIni(CPortMapping::kMappingIni, ("Port" + std::to_string(port)).c_str(), "PortNode",
               r.left + std::to_string(port + 1));
    };
    leave();
    CProductionPage page(std::make_unique<CPortMapping>([] {}));
    page.OnInitDialog();
    EXPECT_EQ(page.DriveNumber(3), 3);
    leave();
    page.OnScan();
    for (int port = 1; port <= 3; ++port) EXPECT_EQ(page.DriveNumber(port), port) << port;
    EXPECT_EQ(box_->Texts(), std::vector<std::string>{});
  }
}

// Nine disks listed for eight ports: bay 3's drive pulled (with its bridge, or
// from its SATA port) leaves the listing, and Scan leaves port 3 without a
// drive rather than give it bay 9's; put back, it is port 3's again.
TEST_F(ProductionPage, APulledDriveKeepsItsPortThroughScans) {
  for (const auto mode : {kxtest::Mode::Bridge, kxtest::Mode::SataPort}) {
    const bool sata = mode == kxtest::Mode::SataPort;
    SCOPED_TRACE(sata);
    kxtest::EmulatedSite site(9, mode);
    SetIni(app::kToolSettingIni, "General Info", "PortType", sata ? "1" : "0");
    win::DeleteFile(CPortMapping::kMappingIni);
    CProductionPage page(
        std::make_unique<CPortMapping>([&site] { kxtest::ApplySendMode(site.GetMode(), site.Site()); }));
    page.OnInitDialog();
    ExpectBays(page, sata, 0);
    const std::shared_ptr<emu::Drive> drive = site.Site().GetDrive(3);
    for (const bool out : {true, false}) {
      SetBay(site, 3, out ? nullptr : drive);
      page.OnScan();
      ExpectBays(page, sata, out ? 3 : 0);
    }
    EXPECT_EQ(page.DriveNumber(3), 3);
  }
}

// A fresh mapping at start-up with the first, a middle or the last bay empty:
// every other port runs its own bay's drive, and once the bay is filled and
// Scan pressed, so does the bay's port.
TEST_F(ProductionPage, AFreshMappingGivesEachPortItsOwnBayWhicheverBayIsEmpty) {
  for (const auto mode : {kxtest::Mode::Bridge, kxtest::Mode::SataPort}) {
    for (const int empty : {1, 4, 8}) {
      const bool sata = mode == kxtest::Mode::SataPort;
      SCOPED_TRACE(testing::Message() << (sata ? "SATA" : "bridge") << " bay " << empty);
      kxtest::EmulatedSite site(8, mode);
      SetIni(app::kToolSettingIni, "General Info", "PortType", sata ? "1" : "0");
      win::DeleteFile(CPortMapping::kMappingIni);
      const std::shared_ptr<emu::Drive> drive = site.Site().GetDrive(empty);
      SetBay(site, empty, nullptr);
      CProductionPage page(
          std::make_unique<CPortMapping>([&site] { kxtest::ApplySendMode(site.GetMode(), site.Site()); }));
      page.OnInitDialog();
      ExpectBays(page, sata, empty);
      SetBay(site, empty, drive);
      page.OnScan();
      ExpectBays(page, sata, 0);
    }
  }
}

// A node AutoMapping.ini names for two ports: the first keeps the drive, the
// other reaches none; start-up and each Scan name it once, a Start or an
// arrival not at all.
TEST_F(ProductionPage, ANodeTwoPortsNameIsNamedAtStartUpAndScan) {
  kxtest::EmulatedSite site(3, kxtest::Mode::Bridge);
  MakeDirs("C:\\MP_SSD_NODE");
  SetIni(CPortMapping::kMappingIni, "Port0", "PortNode", "kxemu-bridge-02");
  SetIni(CPortMapping::kMappingIni, "Port1", "PortNode", "kxemu-bridge-02");
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  page.OnInitDialog();
  const std::string named =
      "[Port1] PortNode kxemu-bridge-02 in C:\\MP_SSD_NODE\\AutoMapping.ini is port 1's node too: port 2 is not "
      "mapped.";
  EXPECT_EQ(box_->Texts(), std::vector<std::string>{named});
  const int drives[] = {2, 0, 1};
  for (int port = 1; port <= 3; ++port) EXPECT_EQ(page.DriveNumber(port), drives[port - 1]) << port;
  std::string message;
  EXPECT_TRUE(page.CheckStart(message));
  EXPECT_EQ(page.DriveNumber(2), 0);
  page.OnScan();
  EXPECT_EQ(box_->Texts(), (std::vector<std::string>{named, named}));
  EXPECT_EQ(page.DriveNumber(2), 0);
  page.OnDiskChange({platform::DiskChange::Arrival, emu::Site::BridgePath(3)});
  EXPECT_EQ(box_->Texts(), (std::vector<std::string>{named, named}));
}

// A disk change handled before first display has mapped the ports (under a
// box that comes before the mapping) lists nothing: the mapping that follows
// lists after it and maps the disk.
TEST_F(ProductionPage, ADiskChangeBeforeTheStartUpsMappingIsLeftToIt) {
  kxtest::EmulatedSite site(3, kxtest::Mode::Bridge);
  int listings = 0;
  CProductionPage page(std::make_unique<CPortMapping>([&listings] { ++listings; }));
  page.OnDiskChange({platform::DiskChange::Arrival, emu::Site::BridgePath(3)});
  EXPECT_EQ(listings, 0);
  page.OnInitDialog();
  EXPECT_EQ(page.DriveNumber(3), 3);
}

// Named at start-up only: Start does not ask again.
TEST_F(ProductionPage, AnInvalidSlotNumberIsNamedOnceAndThePageShowsEightPorts) {
  const struct {
    const char* setting;
    const char* warning;
  } rows[] = {{"8", ""}, {"16", ""}, {"24", ""}, {"", ""},
              {"12", "[General Info] SlotNumber 12 in .\\Configuration\\System\\MPToolSetting.ini is not 8, 16 or 24: "
                     "the page shows 8 ports."},
              {"48", "[General Info] SlotNumber 48 in .\\Configuration\\System\\MPToolSetting.ini is not 8, 16 or 24: "
                     "the page shows 8 ports."},
              {"0", "[General Info] SlotNumber 0 in .\\Configuration\\System\\MPToolSetting.ini is not 8, 16 or 24: "
                    "the page shows 8 ports."},
              {"abc", "[General Info] SlotNumber abc in .\\Configuration\\System\\MPToolSetting.ini is not 8, 16 or "
                      "24: the page shows 8 ports."}};
  for (const auto& r : rows) {
    SetIni(app::kToolSettingIni, "General Info", "SlotNumber", r.setting);
    EXPECT_EQ(CProductionPage::StartUpWarning(), r.warning) << r.setting;
  }
  SetIni(app::kToolSettingIni, "General Info", "TestStation", "MPP");
  EXPECT_EQ(CProductionPage::StartUpWarning(),
            "[General Info] TestStation MPP in .\\Configuration\\System\\MPToolSetting.ini is no station name: the "
            "RDT station runs.\n[General Info] SlotNumber abc in .\\Configuration\\System\\MPToolSetting.ini is not 8, "
            "16 or 24: the page shows 8 ports.");
  SetIni(app::kToolSettingIni, "General Info", "TestStation", "RDT");
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  page.OnInitDialog();
  EXPECT_EQ(page.SlotCount(), 8);
  ASSERT_TRUE(page.OnStart());
  page.WaitForRunEnd();
  EXPECT_EQ(box_->Texts(), std::vector<std::string>{});
}

TEST_F(ProductionPage, AMissingDriveCIsNamedAtStartUp) {
  const std::string root = Native("C:\\");
  std::filesystem::rename(root, root + ".away");
  EXPECT_EQ(CProductionPage::StartUpWarning(), "C:\\ is missing (no folder " + root +
                                                   "): C:\\MP_SSD_NODE\\AutoMapping.ini and C:\\SATA_Setting.ini "
                                                   "cannot be written.");
  std::filesystem::rename(root + ".away", root);
  EXPECT_EQ(CProductionPage::StartUpWarning(), "");
  // One that cannot be written is named too: a read-only file system, or no write access.
  const bool root_user = ::geteuid() == 0;
  if (root_user && ::mount("tmpfs", root.c_str(), "tmpfs", MS_RDONLY, "size=4k") != 0)
    GTEST_SKIP() << "a read-only tmpfs cannot be mounted";
  namespace fs = std::filesystem;
  if (!root_user) fs::permissions(root, fs::perms::owner_write, fs::perm_options::remove);
  const std::string warning = CProductionPage::StartUpWarning();
  if (root_user) ::umount2(root.c_str(), MNT_DETACH);
  if (!root_user) fs::permissions(root, fs::perms::owner_write, fs::perm_options::add);
  EXPECT_TRUE(kxtest::Has(warning, root) && kxtest::Has(warning, "cannot be written")) << warning;
}

TEST_F(ProductionPage, AMissingOrUnknownStationIsNamedAtStartUpAndAtEachStartAndTheStationIsRdt) {
  const struct {
    const char* station;
    const char* warning;
  } rows[] = {{"RDT", ""},
              {"RDTResult", ""},
              {"", "[General Info] TestStation is not set in .\\Configuration\\System\\MPToolSetting.ini: the "
                   "station is RDT."},
              {"MPP", "[General Info] TestStation MPP in .\\Configuration\\System\\MPToolSetting.ini is no station "
                      "name: the RDT station runs."},
              {"mp", "[General Info] TestStation mp in .\\Configuration\\System\\MPToolSetting.ini is no station "
                     "name: the RDT station runs."},
              {"eraseall", "[General Info] TestStation eraseall in .\\Configuration\\System\\MPToolSetting.ini is no "
                           "station name: the RDT station runs."},
              // Longer than the nine characters the station is read from: the cut text's station runs.
              {"RDTResult2", "[General Info] TestStation RDTResult2 in .\\Configuration\\System\\MPToolSetting.ini is "
                             "no station name: the RDTResult station runs."},
              {"MP       X", "[General Info] TestStation MP       X in .\\Configuration\\System\\MPToolSetting.ini is "
                             "no station name: the MP station runs."}};
  for (const auto& r : rows) {
    SetIni(app::kToolSettingIni, "General Info", "TestStation", r.station);
    EXPECT_EQ(CProductionPage::StartUpWarning(), r.warning) << r.station;
  }
  {
    CProductionPage page(std::make_unique<CPortMapping>([] {}));
    page.OnInitDialog();
    SetIni(app::kToolSettingIni, "General Info", "TestStation", "qc");
    ASSERT_TRUE(page.OnStart());
    page.WaitForRunEnd();
    EXPECT_EQ(box_->Texts(), std::vector<std::string>{"[General Info] TestStation qc in .\\Configuration\\System\\"
                                                      "MPToolSetting.ini is no station name: the RDT station runs."});
  }
  std::filesystem::remove(Native(app::kToolSettingIni));
  EXPECT_EQ(CProductionPage::StartUpWarning(),
            ".\\Configuration\\System\\MPToolSetting.ini is missing: the station is RDT.");
}

// A box that, once shown, asks the page to stop (a termination signal while it is up).
class StoppingBox final : public platform::IMessageBox {
 public:
  explicit StoppingBox(CProductionPage& page) : m_Page(page) {}
  int Show(const std::string& text, const std::string&, win::UINT type) override {
    m_Texts.push_back(text);
    m_Page.RequestStop();
    return platform::SafeAnswer(type);
  }
  std::vector<std::string> m_Texts;

 private:
  CProductionPage& m_Page;
};

// Asked to stop while a box of Start is up (the station warning, or the
// mapping's warning of ports learnt from a listing of real ports of another
// count than the slots): no pass starts, and neither Start nor Scan does
// anything afterwards (no box either).
TEST_F(ProductionPage, AStopDuringAStartBoxStartsNoPassAndNothingAfterIt) {
  const struct {
    const char* box;
    const char* station;
    std::vector<std::pair<std::string, std::string>> atStart;  // the listing at Start, none at start-up
    const char* says;
  } rows[] = {
      {"the station warning", "MPP", {}, "is no station name"},
      {"ports learnt at Start",
       "RDT",
       {{"usb-0:1", "/dev/a"}, {"usb-0:2", "NULL"}, {"usb-0:3", "/dev/c"}},
       " 3 ports for the 8 slots"},
  };
  kxtest::SetSendMode(kxtest::Mode::Bridge);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.box);
    win::DeleteFile(CPortMapping::kMappingIni);
    SetIni(app::kToolSettingIni, "General Info", "TestStation", "RDT");
    bool started = false;
    CProductionPage page(std::make_unique<CPortMapping>(
        [&] {
          kx::WithRootDevice([&](kx::RootDeviceRecord& rec) {
            rec = kx::RootDeviceRecord{};
            const auto& listed = started ? r.atStart : decltype(r.atStart){};
            rec.SetCount(static_cast<std::uint32_t>(listed.size()));
            for (std::size_t i = 0; i < listed.size(); ++i) rec.SetEntry(i, listed[i].first, listed[i].second);
          });
        },
        true));
    page.OnInitDialog();
    SetIni(app::kToolSettingIni, "General Info", "TestStation", r.station);
    auto stopping = std::make_shared<StoppingBox>(page);
    platform::ScopedMessageBox scoped(stopping);
    started = true;
    EXPECT_FALSE(page.OnStart());
    page.WaitForRunEnd();
    EXPECT_EQ(page.ResultCode(1), "H_F8");  // no pass ran
    ASSERT_EQ(stopping->m_Texts.size(), 1u);
    EXPECT_TRUE(Has(stopping->m_Texts[0], r.says)) << stopping->m_Texts[0];
    page.OnScan();
    EXPECT_FALSE(page.OnStart());
    EXPECT_EQ(stopping->m_Texts.size(), 1u);
  }
}

TEST_F(ProductionPage, AnEmptyFlashIdMaskStaysEmptyAndAMissingOneIsTheDefault) {
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  SetIni(".\\param.ini", "Options", "FlhIDMask", "");
  page.OnInitDialog();
  EXPECT_EQ(kx::GetFlashIdMask(), "");
  win::WritePrivateProfileString("Options", "FlhIDMask", nullptr, ".\\param.ini");
  page.OnInitDialog();
  EXPECT_EQ(kx::GetFlashIdMask(), kx::kDefaultFlashIdMask);
}

// The log folder's lock refused (a file system without flock): no header is
// checked or written unguarded, and the refusal is named with its reason.
TEST_F(ProductionPage, StartIsRefusedNamingALogFolderThatCannotBeMade) {
  const struct {
    const char* what;
    std::function<void()> refuse;
    const char *begins, *ends;
  } rows[] = {
      {"a file where the folder should be", [] { std::ofstream(Native("D:\\Logs")); },
       "The log folder D:\\Logs\\W01\\D_Reports\\ cannot be created: OS error ", ""},
      {"the log folder's lock refused",
       [] {
         platform::SetLockFault([](const std::string& folder, platform::LockStep step) {
           return step == platform::LockStep::Lock && kxtest::EndsWith(folder, "/Logs/W01") ? ENOLCK : 0;
         });
       },
       "The log file D:\\Logs\\W01\\Total_Init.log cannot be written: OS error 167, ",
       "/Logs/W01 cannot be locked: No locks available)"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    auto box = std::make_shared<platform::RecordingMessageBox>();
    platform::ScopedMessageBox shown(box);
    CProductionPage page(std::make_unique<CPortMapping>([] {}));
    page.OnInitDialog();
    r.refuse();
    EXPECT_FALSE(page.OnStart());
    platform::SetLockFault({});
    EXPECT_FALSE(page.Running());
    ASSERT_EQ(box->Texts().size(), 1u);
    EXPECT_EQ(box->Texts()[0].rfind(r.begins, 0), 0u) << box->Texts()[0];
    EXPECT_TRUE(kxtest::EndsWith(box->Texts()[0], r.ends)) << box->Texts()[0];
    std::error_code notAFile;
    std::filesystem::remove(Native("D:\\Logs"), notAFile);
  }
}

// A missing log whose header the disk refuses refuses Start, naming the file
// with the system's reason, before a serial number is taken or a port run;
// nothing of the header is left. A configured log folder ending in "\" is
// named without a doubled one.
TEST_F(ProductionPage, StartIsRefusedNamingALogWhoseHeaderCannotBeWritten) {
  kxtest::InstallMpStation();
  SetIni("C:\\SATA_Setting.ini", "Global_Setting", "Last SN", "KXA2405000000000001");
  const std::string serials = ReadAll("C:\\SATA_Setting.ini");
  kxtest::EmulatedSite site(2, kxtest::Mode::Bridge, kxtest::MpDrive());
  const struct {
    const char *log, *configured;
  } rows[] = {{"Total_Init.log", "D:\\Logs\\"}, {"Error_Init.log", "D:\\Logs"}, {"_Summary.log", "D:\\Logs"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.log);
    SetIni(".\\param.ini", "Log Path", "SetLogFolderPath", r.configured);
    const std::string log = std::string("D:\\Logs\\W01\\") + r.log;
    auto box = std::make_shared<platform::RecordingMessageBox>();
    platform::ScopedMessageBox shown(box);
    CProductionPage page(std::make_unique<CPortMapping>([] {}));
    page.OnInitDialog();
    ASSERT_NE(page.DriveNumber(1), 0);
    platform::SetWriteFault([&log](const std::string& path) -> win::DWORD {
      return path == Native(log) ? win::ERROR_DISK_FULL : 0;
    });
    EXPECT_FALSE(page.OnStart());
    page.WaitForRunEnd();
    platform::SetWriteFault({});
    ASSERT_EQ(box->Texts().size(), 1u);
    EXPECT_EQ(box->Texts()[0].rfind("The log file " + log + " cannot be written: OS error 112, ", 0), 0u)
        << box->Texts()[0];
    EXPECT_EQ(box->History()[0].type, win::MB_OK | win::MB_ICONERROR);
    EXPECT_FALSE(Exists(log));
    EXPECT_EQ(ReadAll("C:\\SATA_Setting.ini"), serials);
    for (int port = 1; port <= 2; ++port) {
      EXPECT_EQ(page.ResultCode(port), "H_F8");
      EXPECT_EQ(g_PortResult[static_cast<std::size_t>(port - 1)], -1);
    }
    std::filesystem::remove_all(Native("D:\\Logs"));
  }
}

TEST_F(ProductionPage, NoPassStartsWhileALaterBadReadOutHoldsTheSharedFlag) {
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  page.OnInitDialog();
  struct Flag {
    Flag() { g_LaterBadReadOut = 1; }
    ~Flag() { g_LaterBadReadOut = 0; }
  } readOut;
  EXPECT_FALSE(page.OnStart());
  EXPECT_FALSE(page.Running());
  EXPECT_EQ(box_->Texts(),
            std::vector<std::string>{"A later bad block read-out is going: start the run when it has ended."});
}

TEST_F(ProductionPage, LogFoldersAndTheTotalLogsStationHeader) {
  SetIni(".\\param.ini", "Device Info", "ControllerType", "KX7410-B");
  SetIni(".\\param.ini", "Device Info", "ISP_MPBINCode", "MP.bin");
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  std::string message;
  ASSERT_TRUE(page.PrepareLogFolders(message)) << message;
  EXPECT_EQ(page.LogFolder(), "D:\\Logs\\W01");
  for (const char* sub : {"D_Reports", "Fail_Log", "Current"}) EXPECT_TRUE(Exists("D:\\Logs\\W01\\" + std::string(sub)));
  const std::string total = ReadAll(page.TotalLogPath());
  EXPECT_EQ(page.TotalLogPath(), "D:\\Logs\\W01\\Total_Init.log");
  kxtest::ExpectParts(total, {"TestStation=RDT\r\n", "WorkingNo=W01\r\n", "ISP_MPBINCode=MP.bin\r\n",
                              "MPVersion=2.0a\r\n", "Total=0\r\n"});
  EXPECT_TRUE(Has(ReadAll(page.ErrorLogPath()), "[Year-Month-Day Hour:Min:Sec]   SlotNo:No   SN:xxxxx="));
  EXPECT_TRUE(Has(ReadAll("D:\\Logs\\W01\\_Summary.log"), "ErrorCode=count"));
  EXPECT_TRUE(Has(kx::WorkOrderPath(), "D:\\Logs\\W01\\WO_W01_"));
  EXPECT_TRUE(Has(ReadAll(kx::WorkOrderPath()), "WorkOrder=W01"));
}

TEST_F(ProductionPage, RunTotalsCountPassesAndFailuresAndSkipPortsWithoutDrive) {
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  std::string message;
  ASSERT_TRUE(page.PrepareLogFolders(message)) << message;
  page.WriteRunTotals(CodesOf({"0_00", "H_AF", "M_x04", "0_00", "T_01", "P_A01", "P_x01", "M_x04", "0_00"}));
  page.WriteRunTotals(CodesOf({"0_00", "S_x01"}));
  const std::string total = ReadAll(page.TotalLogPath()), summary = ReadAll("D:\\Logs\\W01\\_Summary.log");
  kxtest::ExpectParts(total, {"Total=6\r\n", "Good=3\r\n", "Bad=3\r\n"});  // port 9 lies beyond the 8 slots
  kxtest::ExpectParts(summary, {"Pass=3\r\n", "TotalErrorCount=3\r\n", "M_x04=2\r\n", "S_x01=1\r\n"});
  EXPECT_EQ(page.CountLabel(0).Text() + "/" + page.CountLabel(1).Text() + "/" + page.CountLabel(2).Text(), "6/3/3");
  EXPECT_EQ(page.YieldText(), "Pass: 3  Fail: 3  Yield: 50.00%");
}

// From start-up the labels count what the work order's Total log of the
// station's kind holds, before any pass of this process has ended.
TEST_F(ProductionPage, CountLabelsShowTheStationsTotalLogFromStartUp) {
  MakeDirs("D:\\Logs\\W01");
  const struct {
    const char* log;
    const char* counts[3];
  } logs[] = {{"D:\\Logs\\W01\\Total_Init.log", {"7", "5", "2"}}, {"D:\\Logs\\W01\\Total_QC.log", {"3", "3", "0"}}};
  for (const auto& log : logs)
    for (int i = 0; i < 3; ++i) SetIni(log.log, "Total Results", std::array{"Total", "Good", "Bad"}[i], log.counts[i]);
  const struct {
    const char *station, *labels;
  } rows[] = {{"RDT", "7/5/2"}, {"QC", "3/3/0"}, {"RDTResult", "0/0/0"}};  // no Total_Debug.log
  for (const auto& r : rows) {
    SetIni(app::kToolSettingIni, "General Info", "TestStation", r.station);
    CProductionPage page(std::make_unique<CPortMapping>([] {}));
    page.OnInitDialog();
    EXPECT_EQ(page.CountLabel(0).Text() + "/" + page.CountLabel(1).Text() + "/" + page.CountLabel(2).Text(), r.labels)
        << r.station;
  }
}

// A log that refuses passes: the labels show what the Total log holds, and the
// run's notice names the file and the OS error once.
TEST_F(ProductionPage, RunTotalsThatALogRefusesAreNamedOnce) {
  const struct {
    const char *refused, *labels;
  } rows[] = {{"Total_Init.log", "1/1/0"}, {"_Summary.log", "5/3/2"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.refused);
    CProductionPage page(std::make_unique<CPortMapping>([] {}));
    for (const char* log : {"D:\\Logs\\W01\\Total_Init.log", "D:\\Logs\\W01\\_Summary.log"})
      std::filesystem::remove(Native(log));
    std::string message;
    ASSERT_TRUE(page.PrepareLogFolders(message)) << message;
    page.WriteRunTotals(CodesOf({"0_00"}));
    platform::SetWriteFault([&r](const std::string& path) -> win::DWORD {
      return kxtest::EndsWith(path, r.refused) ? win::ERROR_DISK_FULL : 0;
    });
    page.WriteRunTotals(CodesOf({"0_00", "M_x04"}));
    page.WriteRunTotals(CodesOf({"0_00", "M_x04"}));
    EXPECT_EQ(page.CountLabel(0).Text() + "/" + page.CountLabel(1).Text() + "/" + page.CountLabel(2).Text(), r.labels);
    bool warning = false;
    EXPECT_EQ(page.TakeNotice(&warning), std::string("The pass is not counted in D:\\Logs\\W01\\") + r.refused +
                                             ": OS error 112, There is not enough space on the disk.");
    EXPECT_TRUE(warning);  // shown as a warning: a headless run ends on it
    platform::SetWriteFault({});
    page.WriteRunTotals(CodesOf({"0_00"}));
    EXPECT_EQ(page.TakeNotice(), "");
  }
}

// A Total log gone during a run whose header the disk then refuses (the
// smaller count write would fit) takes no counts: it stays missing, never a
// log without its header, and the pass is named as not counted in it.
TEST_F(ProductionPage, ATotalLogWhoseHeaderIsRefusedTakesNoCounts) {
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  std::string message;
  ASSERT_TRUE(page.PrepareLogFolders(message)) << message;
  std::filesystem::remove(Native(page.TotalLogPath()));
  int totalWrites = 0;
  platform::SetWriteFault([&totalWrites](const std::string& path) -> win::DWORD {
    return kxtest::EndsWith(path, "Total_Init.log") && ++totalWrites == 1 ? win::ERROR_DISK_FULL : 0;
  });
  page.WriteRunTotals(CodesOf({"0_00", "M_x04"}));
  platform::SetWriteFault({});
  EXPECT_FALSE(std::filesystem::exists(Native(page.TotalLogPath())));
  EXPECT_EQ(page.TakeNotice().rfind("The pass is not counted in D:\\Logs\\W01\\Total_Init.log: OS error 112", 0), 0u);
}

// Two stations' pages share one log folder. The parent stands in for a page
// between its read and its write; the child's pass must be added to the
// parent's, whatever the timing.
TEST_F(ProductionPage, PassTotalsOfTwoProcessesAddUp) {
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  std::string message;
  ASSERT_TRUE(page.PrepareLogFolders(message)) << message;
  kxtest::ForkedWriter child([&page] {
    page.WriteRunTotals(CodesOf({"0_00", "M_x04", "0_00"}));
    return true;
  });
  ASSERT_TRUE(child.Started());
  {
    platform::ProfileWriteLock lock(page.TotalLogPath());
    child.Go();
    ASSERT_TRUE(child.WaitUntilBlocked()) << "the child counted past the lock";
    page.WriteRunTotals(CodesOf({"0_00", "S_x01"}));
  }
  EXPECT_EQ(child.Finish(), 0);
  kxtest::ExpectParts(ReadAll(page.TotalLogPath()), {"Total=5\r\n", "Good=3\r\n", "Bad=2\r\n"});
  kxtest::ExpectParts(ReadAll("D:\\Logs\\W01\\_Summary.log"),
                      {"Pass=3\r\n", "TotalErrorCount=2\r\n", "M_x04=1\r\n", "S_x01=1\r\n"});
}

// A second station prepares the shared log folder while the first, which found
// the logs missing, writes their headers and adds a pass: the second writes
// no header over them.
TEST_F(ProductionPage, LogHeadersGoOnlyIntoMissingLogs) {
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  std::string message;
  ASSERT_TRUE(page.PrepareLogFolders(message)) << message;
  const std::string summary = "D:\\Logs\\W01\\_Summary.log";
  for (const std::string& log : {page.TotalLogPath(), summary}) std::filesystem::remove(Native(log));
  kxtest::ForkedWriter child([&page] {
    std::string message;
    return page.PrepareLogFolders(message);
  });
  ASSERT_TRUE(child.Started());
  {
    platform::ProfileWriteLock lock(page.TotalLogPath());
    child.Go();
    ASSERT_TRUE(child.WaitUntilBlocked()) << "the child wrote past the lock";
    page.WriteRunTotals(CodesOf({"0_00"}));
  }
  EXPECT_EQ(child.Finish(), 0);
  kxtest::ExpectParts(ReadAll(page.TotalLogPath()), {"Total=1\r\n", "Good=1\r\n"});
  kxtest::ExpectParts(ReadAll(summary), {"Pass=1\r\n"});
}

TEST_F(ProductionPage, ScanAndHotPlugShowWhichPortsReachADrive) {
  kxtest::EmulatedSite site(3, kxtest::Mode::Bridge);
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  page.OnInitDialog();
  page.OnScan();
  for (int port = 1; port <= 4; ++port) {
    const kx::StatusCellState cell = page.Cell(port).Snapshot();
    EXPECT_EQ(cell.text, port <= 3 ? std::to_string(port) : "") << port;
    EXPECT_EQ(cell.backColor, port <= 3 ? Rgb(0, 100, 255) : Rgb(255, 255, 255)) << port;
  }
  EXPECT_EQ(page.OnDiskChange({platform::DiskChange::Removal, emu::Site::BridgePath(2)}), std::vector<int>{2});
  EXPECT_EQ(page.DriveNumber(2), 0);
  EXPECT_EQ(page.Cell(2).Snapshot().backColor, Rgb(255, 255, 255));
}

// A station started with no drive in, without the lock, its ports on real
// disks: a USB stick plugged in first lists its root hub's ports, and the
// arrival that learns them warns as start-up does, in its words and its kind
// of box. A removal says nothing; an arrival learning other ports from that
// count again (the stick moved to another controller) names them; one during
// a pass (the first drive into the second hub) says so once the pass has
// ended, not during it.
TEST_F(ProductionPage, AnArrivalThatLearnsPortsByGuessWarnsAsStartUpDoes) {
  kxtest::SetSendMode(kxtest::Mode::Bridge);
  SetIni(app::kToolSettingIni, "General Info", "SlotNumber", "16");
  using Listing = std::vector<std::pair<std::string, std::string>>;
  Listing listed;
  const auto refresh = [&listed] {
    kx::WithRootDevice([&listed](kx::RootDeviceRecord& r) {
      r = kx::RootDeviceRecord{};
      r.SetCount(static_cast<std::uint32_t>(listed.size()));
      for (std::size_t i = 0; i < listed.size(); ++i) r.SetEntry(i, listed[i].first, listed[i].second);
    });
  };
  // Ports of a controller, a disk in `full`.
  const auto ports = [](const std::string& controller, std::vector<std::string> names, const std::string& full) {
    Listing l;
    for (const std::string& n : names) l.push_back({controller + n, n == full ? "/dev/disk/by-diskseq/2" : "NULL"});
    return l;
  };
  const std::string front = "pci-0000:00:14.0-usb-0:", back = "pci-0000:00:1d.0-usb-0:";
  const Listing stickInFront = ports(front, {"1", "2", "3", "4"}, "3");
  const Listing stickInBack = ports(back, {"1", "2", "3", "4"}, "2");
  const Listing driveInHubB = ports(front, {"1", "2.1", "2.2", "2.3", "2.4", "3", "4"}, "2.1");
  // The boxes a start-up on this listing shows.
  const auto startUpSays = [&](const Listing& l) {
    listed = l;
    win::DeleteFile(CPortMapping::kMappingIni);
    auto box = std::make_shared<platform::RecordingMessageBox>();
    platform::ScopedMessageBox scoped(box);
    CProductionPage page(std::make_unique<CPortMapping>(refresh, true));
    page.OnInitDialog();
    win::DeleteFile(CPortMapping::kMappingIni);
    return box->History();
  };
  const auto ofFour = startUpSays(stickInFront), ofSeven = startUpSays(driveInHubB);
  ASSERT_EQ(ofFour.size(), 1u);
  ASSERT_EQ(ofSeven.size(), 1u);
  // A start-up's text, naming other ports.
  const auto naming = [](std::string text, const std::string& learnt, const std::string& ports) {
    const std::size_t at = text.find(learnt);
    return at == std::string::npos ? text : text.replace(at, learnt.size(), ports);
  };

  listed.clear();
  CProductionPage page(std::make_unique<CPortMapping>(refresh, true));
  page.OnInitDialog();
  EXPECT_TRUE(box_->History().empty());
  listed = stickInFront;
  page.OnDiskChange({platform::DiskChange::Arrival, "/dev/disk/by-diskseq/2"});
  ASSERT_EQ(box_->History().size(), 1u);
  EXPECT_EQ(box_->History()[0].text, ofFour[0].text);
  EXPECT_EQ(box_->History()[0].type, ofFour[0].type);
  listed.clear();
  page.OnDiskChange({platform::DiskChange::Removal, "/dev/disk/by-diskseq/2"});
  listed = stickInBack;
  page.OnDiskChange({platform::DiskChange::Arrival, "/dev/disk/by-diskseq/2"});
  EXPECT_EQ(page.DriveNumber(6), 2);  // ports 5-8 learnt the back ports
  ASSERT_EQ(box_->History().size(), 2u);
  EXPECT_EQ(box_->History()[1].text, naming(ofFour[0].text, "ports 1-4", "ports 5-8"));
  listed.clear();
  page.OnDiskChange({platform::DiskChange::Removal, "/dev/disk/by-diskseq/2"});

  std::string message;
  ASSERT_TRUE(page.PrepareLogFolders(message)) << message;
  {
    // The run cannot end while this thread holds the log folder.
    platform::ProfileWriteLock lock(page.TotalLogPath());
    ASSERT_EQ(lock.Error(), 0u);
    ASSERT_TRUE(page.OnStart());
    listed = driveInHubB;
    page.OnDiskChange({platform::DiskChange::Arrival, "/dev/disk/by-diskseq/2"});
    EXPECT_TRUE(page.Running());
    EXPECT_EQ(box_->History().size(), 2u);
  }
  page.WaitForRunEnd();
  EXPECT_FALSE(page.Running());  // ended although its end warned
  EXPECT_EQ(page.DriveNumber(9), 2);
  ASSERT_EQ(box_->History().size(), 3u);
  EXPECT_EQ(box_->History()[2].text, naming(ofSeven[0].text, "ports 1-7", "ports 9-12"));
  EXPECT_EQ(box_->History()[2].type, ofSeven[0].type);
}

TEST(PopoutNotice, NamesTheNextStation) {
  EXPECT_EQ(CProductionPage::NextStationNotice(1), "Next Station: RDTResult");
  EXPECT_EQ(CProductionPage::NextStationNotice(3), "Next Station: QC");
  EXPECT_EQ(CProductionPage::NextStationNotice(5), "");
}

// RDT pre-test on 8 emulated bridge slots, two of them failing, driven from Start.
struct EmulatedPass : ProductionPage {
  EmulatedPass() {
    SetIni(".\\param.ini", "Options", "DDRSize", "4");
    SetIni(".\\paramFDB.ini", "Flash Info", "Flh_ID", "2c 84 64 3c a5 08 04");
    SetIni(".\\paramFDB.ini", "Flash Info", "Flh_Number", "8");
    kxtest::InstallBin(kxtest::NamedImage("RDT00202", 16384 + 100, true), "ISP_RDTBINCode");
    site_.Drive(3).Faults().RefuseAccessKey(emu::DriveFaults::kForever);  // the IC version read fails first
    site_.Drive(6).Faults().FailNext(99, {.subCommand = 0x26});
  }
  static emu::DriveConfig Drive() {
    emu::DriveConfig c;
    c.initialCode = emu::RunningCode::RomMp, c.blocksPerPlane = 64, c.dramLog2Mb = 2, c.eraseMs = 200;
    return c;
  }
  kxtest::EmulatedSite site_{8, kxtest::Mode::Bridge, Drive()};
};

TEST_F(EmulatedPass, StartRunsEveryPortToItsEndingAndTheTotals) {
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  page.OnInitDialog();
  g_SnScanState.question = 1;
  ASSERT_TRUE(page.OnStart());
  EXPECT_EQ(g_SnScanState.question, 0);
  page.WaitForRunEnd();
  EXPECT_FALSE(page.Running());
  EXPECT_TRUE(page.PassFinished());
  for (int port = 1; port <= 8; ++port) {
    SCOPED_TRACE(port);
    const kx::StatusCellState cell = page.Cell(port).Snapshot();
    const bool fails = port == 3 || port == 6;
    EXPECT_EQ(cell.backColor, fails ? Rgb(255, 0, 0) : Rgb(0, 255, 0));
    EXPECT_EQ(page.ResultCode(port), port == 3 ? "I_V01" : port == 6 ? "F_E03" : "0_00");
    if (fails) {
      EXPECT_EQ(cell.text, CPortDevice::FormatErrorCode(page.ResultCode(port)));
    }
  }
  kxtest::ExpectParts(ReadAll(page.TotalLogPath()), {"Total=8\r\n", "Good=6\r\n", "Bad=2\r\n"});
  EXPECT_EQ(page.YieldText(), "Pass: 6  Fail: 2  Yield: 75.00%");
  EXPECT_TRUE(Has(ReadAll(kx::WorkOrderPath()), "Tester_03")) << ReadAll(kx::WorkOrderPath());
}

TEST_F(EmulatedPass, LoopsStopAfterAFailWhenAskedAndPortsWithoutDriveGetNoJob) {
  SetIni(".\\param.ini", "RD Debug", "TestLoop", "3");
  SetIni(".\\param.ini", "RD Debug", "StopIfFail", "1");
  SetIni(app::kToolSettingIni, "OP Setting", "PopoutNotice", "1");
  // Port 8's bridge is listed without a device.
  CProductionPage page(std::make_unique<CPortMapping>([] {
    kx::WithRootDevice([](kx::RootDeviceRecord& r) { r.SetEntry(7, r.Node(7), "NULL"); });
  }));
  page.OnInitDialog();
  ASSERT_TRUE(page.OnStart());
  page.WaitForRunEnd();
  EXPECT_EQ(page.ResultCode(8), "H_AF");
  EXPECT_EQ(page.YieldFail(), 2);  // one pass only: the failures stopped the loop
  EXPECT_EQ(page.YieldPass(), 5);
  bool warning = true;
  EXPECT_EQ(page.TakeNotice(&warning), "Next Station: RDTResult");
  EXPECT_FALSE(warning);  // a plain notice
  EXPECT_EQ(page.TakeNotice(), "");
}

// A close request during an endless loop: the pass going ends the run.
TEST_F(EmulatedPass, AStopRequestEndsTheRunAfterThePassGoing) {
  SetIni(".\\param.ini", "RD Debug", "TestInFinity", "1");
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  page.OnInitDialog();
  ASSERT_TRUE(page.OnStart());
  page.RequestStop();
  page.WaitForRunEnd();
  EXPECT_EQ(page.YieldPass() + page.YieldFail(), 8);
}

// A disk that arrives during a run is mapped, and its port drawn, only once
// the run has ended: a new listing would change the entries the jobs open
// their drives through.
TEST_F(EmulatedPass, ADiskArrivingDuringARunIsMappedAndDrawnOnlyAfterIt) {
  CProductionPage page(
      std::make_unique<CPortMapping>([this] { kxtest::ApplySendMode(site_.GetMode(), site_.Site()); }));
  page.OnInitDialog();
  site_.FrontEnd(3).SetGone(true);
  page.OnScan();
  ASSERT_EQ(page.DriveNumber(3), 0);
  std::string message;
  ASSERT_TRUE(page.PrepareLogFolders(message)) << message;
  {
    // The run cannot end while this thread holds the log folder.
    platform::ProfileWriteLock lock(page.TotalLogPath());
    ASSERT_EQ(lock.Error(), 0u);
    ASSERT_TRUE(page.OnStart());
    site_.FrontEnd(3).SetGone(false);
    EXPECT_EQ(page.OnDiskChange({platform::DiskChange::Arrival, emu::Site::BridgePath(3)}), std::vector<int>{});
    EXPECT_EQ(page.DriveNumber(3), 0);
    std::string path;
    EXPECT_TRUE(kx::GetRootDevicePath(3, path));
    EXPECT_EQ(path, "NULL");
    EXPECT_TRUE(page.Running());
  }
  page.WaitForRunEnd();
  EXPECT_EQ(page.DriveNumber(3), 3);
  EXPECT_EQ(page.ResultCode(3), "H_AF");
  const kx::StatusCellState cell = page.Cell(3).Snapshot();
  EXPECT_EQ(cell.text, "3");
  EXPECT_EQ(cell.backColor, Rgb(0, 100, 255));
}

// An arrival during the first pass of a loop is mapped at the second pass's
// start: a guess that mapping learns is said then, as start-up says it, not
// lost at the run's end. A stop asked while that box is up (a close or a
// signal) starts no further pass. Eight bays on 16 slots, a card reader
// without a card plugged in.
TEST_F(EmulatedPass, AnArrivalDuringALoopsPassWarnsWhenTheNextPassMapsIt) {
  SetIni(".\\param.ini", "RD Debug", "TestLoop", "2");
  SetIni(app::kToolSettingIni, "General Info", "SlotNumber", "16");
  for (const bool stopped : {false, true}) {
    SCOPED_TRACE(stopped ? "a stop while the box is up" : "the box answered");
    win::DeleteFile(CPortMapping::kMappingIni);
    bool reader = false;
    CProductionPage page(std::make_unique<CPortMapping>(
        [this, &reader] {
          kxtest::ApplySendMode(site_.GetMode(), site_.Site());
          if (reader)
            kx::WithRootDevice([](kx::RootDeviceRecord& r) {
              r.SetEntry(r.Count(), "pci-0000:00:14.0-usb-0:5", "NULL");
              r.SetCount(r.Count() + 1);
            });
        },
        true));
    auto box = std::make_shared<platform::RecordingMessageBox>();
    platform::ScopedMessageBox scoped(box);
    page.OnInitDialog();
    ASSERT_EQ(box->Texts().size(), 1u);  // eight ports listed for 16 slots
    auto stopping = std::make_shared<StoppingBox>(page);
    std::optional<platform::ScopedMessageBox> stopsAtTheBox;
    if (stopped) stopsAtTheBox.emplace(stopping);
    std::string message;
    ASSERT_TRUE(page.PrepareLogFolders(message)) << message;
    {
      // The first pass cannot end while this thread holds the log folder.
      platform::ProfileWriteLock lock(page.TotalLogPath());
      ASSERT_EQ(lock.Error(), 0u);
      ASSERT_TRUE(page.OnStart());
      reader = true;
      page.OnDiskChange({platform::DiskChange::Arrival, "/dev/sdq"});
      EXPECT_EQ(box->Texts().size() + stopping->m_Texts.size(), 1u);
    }
    page.WaitForRunEnd();
    EXPECT_EQ(page.YieldPass() + page.YieldFail(), stopped ? 8 : 16);  // one pass or two
    const std::vector<std::string> texts = stopped ? stopping->m_Texts : box->Texts();
    ASSERT_EQ(texts.size(), stopped ? 1u : 2u);
    EXPECT_TRUE(Has(texts.back(), " 9 ports for the 16 slots")) << texts.back();
  }
}

// The MP station on drives that finished RDT: pass texts, codes, totals and the next station.
TEST_F(ProductionPage, MpPassShowsPassTextsCodesAndTheNextStation) {
  kxtest::InstallMpStation();
  SetIni(app::kToolSettingIni, "OP Setting", "PopoutNotice", "1");
  kxtest::EmulatedSite site(8, kxtest::Mode::Bridge, kxtest::MpDrive());
  site.Drive(3).Faults().RefuseAccessKey(emu::DriveFaults::kForever);
  site.Drive(6).Faults().FailPreFormat(0x02, 0x1234);
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  page.OnInitDialog();
  ASSERT_TRUE(page.OnStart());
  page.WaitForRunEnd();
  for (int port = 1; port <= 8; ++port) {
    SCOPED_TRACE(port);
    const std::string code = port == 3 ? "I_V01" : port == 6 ? "F_H07" : "0_00";
    const std::string text = page.Cell(port).Snapshot().text;
    EXPECT_EQ(page.ResultCode(port), code);
    EXPECT_EQ(text.rfind(code == "0_00" ? "Pass*964(1) MB*" : CPortDevice::FormatErrorCode(code) + "*", 0), 0u) << text;
  }
  kxtest::ExpectParts(ReadAll(page.TotalLogPath()), {"TestStation=MP\r\n", "Total=8\r\n", "Good=6\r\n", "Bad=2\r\n"});
  EXPECT_EQ(page.TakeNotice(), "Next Station: QC");
}

// A stop (a close, SIGTERM) as the ports of an MP pass write their records, on
// a log disk whose every flush takes a tenth of a second: the ports queue for
// the log folder's lock well past a second, and each passing drive still gets
// its records and is counted good. In a child: the stop is process-wide.
TEST_F(ProductionPage, AStopAsThePortsRecordOnASlowLogDiskCostsNoGoodDrive) {
  kxtest::InstallMpStation();
  kxtest::EmulatedSite site(8, kxtest::Mode::Bridge, kxtest::MpDrive());
  const std::filesystem::path log = Native("D:\\Logs\\W01");
  const pid_t child = kxtest::forkChild([&log] {
    CProductionPage page(std::make_unique<CPortMapping>([] {}));
    page.OnInitDialog();
    std::atomic<bool> stopped{false};
    platform::SetFlushFault([&](const std::string& native) -> win::DWORD {
      // The first record stops the program; from then on the log disk is slow.
      if (kxtest::EndsWith(native, "/SATA_RecordSN.ini") && !stopped.exchange(true)) platform::RequestTermination();
      const std::filesystem::path path(native);
      if (stopped && (path == log || path.parent_path() == log))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return 0;
    });
    const bool started = page.OnStart();
    page.WaitForRunEnd();
    platform::SetFlushFault({});
    if (!started) return 255;
    int failed = 0;
    for (int port = 1; port <= 8; ++port)
      if (page.ResultCode(port) != "0_00") failed |= 1 << (port - 1);
    return failed;
  });
  EXPECT_EQ(kxtest::waitExit(child), 0) << "a bit for each port that failed; 255: the pass did not start";
  const std::string records = ReadAll("D:\\Logs\\W01\\SATA_RecordSN.ini");
  for (int port = 1; port <= 8; ++port)
    EXPECT_TRUE(Has(records, "[Port-" + std::to_string(port) + " PASS]")) << records;
  std::string list;
  for (const auto& e : std::filesystem::directory_iterator(log))
    if (e.path().filename().string().starts_with("WO_W01_")) list = ReadAll("D:\\Logs\\W01\\" + e.path().filename().string());
  EXPECT_EQ(kxtest::CountOf(list, ",Pass\r\n"), 8u) << list;
  kxtest::ExpectParts(ReadAll("D:\\Logs\\W01\\Total_Init.log"), {"Total=8\r\n", "Good=8\r\n", "Bad=0\r\n"});
}

// A working number or a computer name that cannot be part of the log files'
// names is refused at Start, named with the reason, before a log folder is
// made, a serial number taken or a port run (a pass would end with every
// port's record unwritten); one that can, dots and spaces and all, runs its
// pass into its own folder.
TEST_F(ProductionPage, StartIsRefusedNamingAWorkingNumberThatCannotBePartOfTheLogFilesNames) {
  kxtest::InstallMpStation();
  SetIni("C:\\SATA_Setting.ini", "Global_Setting", "Last SN", "KXA2405000000000001");
  const std::string serials = ReadAll("C:\\SATA_Setting.ini");
  kxtest::EmulatedSite site(2, kxtest::Mode::Bridge, kxtest::MpDrive());
  const struct {
    const char *workingNo, *shown, *why;
    const char* host = nullptr;  // the PC's host name, where the computer name is refused
  } rows[] = {
      {"WO/2024", "WO/2024", "it holds \"/\", which the paths take for a folder separator"},
      {"WO\\2024", "WO\\2024", "it holds \"\\\", which the paths take for a folder separator"},
      {"WO\x01" "2024", "WO\\x012024", "it holds the control character 0x01"},
      {"..", "..", "\"..\" names the folder above, not a name of its own"},
      {"W01", "LINE/07", "it holds \"/\", which the paths take for a folder separator", "LINE/07.factory"},
      {"W01", "LINE\\07", "it holds \"\\\", which the paths take for a folder separator", "LINE\\07"},
  };
  struct RealHostName {
    ~RealHostName() { platform::SetHostNameSource(nullptr); }
  } realHostName;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.shown);
    SetIni(".\\param.ini", "General Info", "WorkingNo", r.workingNo);
    platform::SetHostNameSource(r.host ? platform::HostNameSource([&r] { return std::string(r.host); }) : nullptr);
    auto box = std::make_shared<platform::RecordingMessageBox>();
    platform::ScopedMessageBox shown(box);
    CProductionPage page(std::make_unique<CPortMapping>([] {}));
    page.OnInitDialog();
    ASSERT_NE(page.DriveNumber(1), 0);
    EXPECT_FALSE(page.OnStart());
    EXPECT_FALSE(page.Running());
    if (r.host != nullptr) {
      ASSERT_EQ(box->Texts().size(), 1u);
      EXPECT_TRUE(Has(box->Texts()[0], r.shown)) << box->Texts()[0];
      EXPECT_TRUE(Has(box->Texts()[0], r.why)) << box->Texts()[0];
    } else {
      EXPECT_EQ(box->Texts(), std::vector<std::string>{std::string("[General Info] WorkingNo ") + r.shown +
                                                        " in .\\param.ini cannot be part of the log files' names: " +
                                                        r.why + "."});
    }
    ASSERT_FALSE(box->History().empty());
    EXPECT_EQ(box->History()[0].type, win::MB_OK | win::MB_ICONERROR);
    EXPECT_FALSE(Exists("D:\\Logs"));
    EXPECT_EQ(ReadAll("C:\\SATA_Setting.ini"), serials);
    for (int port = 1; port <= 2; ++port) {
      EXPECT_EQ(page.ResultCode(port), "H_F8");
      EXPECT_EQ(g_PortResult[static_cast<std::size_t>(port - 1)], -1);
    }
  }
  platform::SetHostNameSource(nullptr);
  SetIni(".\\param.ini", "General Info", "WorkingNo", "  WO 2024.05-A_1 ");
  CProductionPage page(std::make_unique<CPortMapping>([] {}));
  page.OnInitDialog();
  ASSERT_TRUE(page.OnStart()) << (box_->Texts().empty() ? "" : box_->Texts()[0]);
  page.WaitForRunEnd();
  EXPECT_EQ(page.ResultCode(1), "0_00");
  EXPECT_EQ(page.ResultCode(2), "0_00");
  EXPECT_EQ(page.LogFolder(), "D:\\Logs\\WO 2024.05-A_1");
  EXPECT_TRUE(Has(kx::WorkOrderPath(), "D:\\Logs\\WO 2024.05-A_1\\WO_WO 2024.05-A_1_")) << kx::WorkOrderPath();
  EXPECT_EQ(kxtest::CountOf(ReadAll(kx::WorkOrderPath()), ",Pass\r\n"), 2u) << ReadAll(kx::WorkOrderPath());
  EXPECT_NE(ReadAll("C:\\SATA_Setting.ini"), serials);
}

}  // namespace
