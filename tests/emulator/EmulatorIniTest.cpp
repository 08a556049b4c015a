// Building a site from Emulator.ini.
#include <filesystem>
#include <fstream>

#include "emulator/EmulatorIni.h"
#include "tests/emulator/SiteTestUtil.h"

namespace emu::test {
namespace {

namespace fs = std::filesystem;

class IniTest : public ::testing::Test {
 protected:
  platform::ScopedClock clock_{platform::MakeVirtualClock()};
  fs::path dir_ =
      fs::temp_directory_path() / ("kxemu_ini_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                   "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Write(const std::string& text) {
    const fs::path p = dir_ / "Emulator.ini";
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }
};

// Bridges and ports on 24 slots, one slot empty. The fault keys' rules are
// probed in EveryKeyReachesTheBuiltSite; front ends carrying them out, in FaultsTest.
TEST_F(IniTest, TwentyFourSlotsOfBridgesAndPortsWithAnEmptySlot) {
  const std::string path = Write(
      "; production line 3\r\n[Site]\r\nMode = Bridge, SATA\r\nSlots = 24\r\n[slot.5]\r\nEmpty = 1\r\n"
      "[Slot.7]\r\nCode = boot\r\n");
  std::string err;
  auto site = LoadEmulatorIni(path, &err);
  ASSERT_TRUE(site) << err;
  const auto bridges = site->Listing(false), ports = site->Listing(true);
  ASSERT_EQ(bridges.size(), 24u);
  ASSERT_EQ(ports.size(), 24u);
  EXPECT_EQ(bridges[4].path, Site::BridgePath(5));  // a bridge stays listed with its slot empty
  EXPECT_EQ(ports[4].path, "NULL");                 // a SATA port without a drive has no device
  EXPECT_EQ(ports[23].path, Site::SataPath(24));
  EXPECT_EQ(site->GetDrive(7)->Config().initialCode, RunningCode::Boot);
}

// Testers bring bridges beside them; ports come only with "sata" in the mode.
TEST_F(IniTest, TesterModeHasNoPorts) {
  auto site = LoadEmulatorIni(Write("[Site]\nMode=tester\nSlots=3\n"), nullptr);
  ASSERT_TRUE(site);
  EXPECT_EQ(site->Listing(true).size(), 0u);
}

TEST_F(IniTest, ReadWithTheProfileRules) {
  // Byte-order mark, CR LF, a comment after a section header, names in any case,
  // quotes removed and blanks inside them kept.
  auto site = LoadEmulatorIni(Write("\xEF\xBB\xBF; line 3\r\n[SITE] ; the site\r\nslots = 2\r\n"
                                    "mode = 'sata'\r\n# note\r\n[drive]\r\nMODEL = \"  KX QUOTED  \"\r\n"
                                    "[Slot.2]   \r\nserial=\"SN\"\r\n"),
                              nullptr);
  ASSERT_TRUE(site);
  EXPECT_EQ(site->Listing(true).size(), 2u);
  EXPECT_EQ(site->Listing(false).size(), 0u);
  EXPECT_EQ(site->GetDrive(1)->Config().model, "  KX QUOTED  ");
  EXPECT_EQ(site->GetDrive(2)->Config().serial, "SN0002");
}

TEST_F(IniTest, BadInputsAreRefusedNamingTheirKey) {
  const struct {
    const char* text;
    const char* message;
  } bad[] = {
      {"[Site]\nSlots=0x-1\n", "[Site] Slots: \"0x-1\" is not a number from 1 to 48"},
      {"[Site]\nSlots=+3\n", "[Site] Slots: \"+3\" is not a number from 1 to 48"},
      {"[Site]\nSlots=2\n[Slot.1]\nBootDelayMs=0x 5\n",
       "[Slot.1] BootDelayMs: \"0x 5\" is not a number from 0 to 600000"},
      {"[Site]\nSlots=2\n[Drive]\nFuseWord1=18446744073709551615\n",
       "[Drive] FuseWord1: \"18446744073709551615\" is not a number from 0 to 4294967295"},
      {"[Site]\nSlots=2\n[Drive]\nCapacitySectors=18446744073709551616\n",
       "[Drive] CapacitySectors: \"18446744073709551616\" is not a number from 1 to 281474976710655"},
      {"[Site]\nSlots=2\n[Slot.2]\nVolume=E\nLockRefused=-1.05\n",
       "[Slot.2] LockRefused: \"-1.05\" is not a number from -1 to 1000000"},
      {"[Site]\nSlots=2\n[Drive]\nModel=KX\x01\n", "[Drive] Model: \"KX\\x01\" is not 1 to 40 printable characters"},
      {"[Site]\nSlots=2\n[Drive]\nModle=KX\n", "[Drive] Modle: unknown key"},
      {"[Site]\nSlots=2\n[Drive]\nMo\x02"
       "del=KX\n",
       "[Drive] Mo\\x02del: unknown key"},
      {"[Site]\nSlots=2\n[Drive]\nVolume=E\n", "[Drive] Volume: unknown key"},
      {"[Site]\nSlots=2\n[Slot.3]\nModel=KX\n", "[Slot.3]: the site has 2 slots"},
      {"[Site]\nSlots=2\n[Slot.02]\n", "[Slot.02]: unknown section (Site, Drive, Tester or Slot.1 to Slot.2)"},
      {"[Site]\nSlots=2\n[Slot.1]\nEmpty=1\n[SLOT.1]\nEmpty=0\n",
       "[SLOT.1] appears twice; the keys of the second would be ignored"},
      {"[Site]\nSlots=2\n[Slot.1]\nKeyRefused=-1\nkeyrefused=0\n",
       "[Slot.1] keyrefused appears twice; the second would be ignored"},
      {"[Site]\nSlots 2\n", "line 2: \"Slots 2\" is neither a section, a key nor a comment"},
      {"Slots=2\n[Site]\n", "line 1: \"Slots=2\" stands before any section"},
      {"[Site]\nMode=usb\n", "[Site] Mode: \"usb\" is not bridge, tester or sata"},
      {"[Site]\nMode=tester\nSlots=10\nFirstPhysicalDrive=95\n",
       "[Site] FirstPhysicalDrive: testers run past PhysicalDrive99"},
      {"[Site]\nSlots=2\nCdRom=X,1\n", "[Site] CdRom: \"1\" is not a free letter D to Z"},
      {"[Site]\nSlots=2\n[Slot.1]\nAbort=1, Command=0x25, Sub=0x52\n",
       "[Slot.1] Abort Sub: \"0x52\" needs Command 0x21 or 0x31 (vendor sub-commands ride on them)"},
      {"[Site]\nSlots=2\n[Slot.1]\nAbort=1, Cmd=0x25\n",
       "[Slot.1] Abort: \"Cmd=0x25\" is not a field Name=value (Command, Sub, Skip)"},
      {"[Site]\nSlots=2\n[Slot.1]\nWrongVerdict=1, Skip=-2\n",
       "[Slot.1] WrongVerdict Skip: \"-2\" is not a number from 0 to 1000000"},
      {"[Site]\nSlots=2\n[Slot.1]\nNoAnswer=1, Value=0x7F\n", "[Slot.1] NoAnswer Value: \"0x7F\" is not 0x00 or 0xFF"},
      {"[Site]\nSlots=2\n[Slot.1]\nFault.1=OsError, Bytes=3\n",
       "[Slot.1] Fault.1 Bytes: \"3\" applies to ShortTransfer only"},
      {"[Site]\nSlots=2\n[Slot.1]\nFault.1=Explode\n",
       "[Slot.1] Fault.1: \"Explode\" is not OsError, CheckCondition, ShortTransfer, IgnoreCkCond, Delay, Gone or "
       "HotRemove"},
      {"[Site]\nSlots=2\n[Slot.1]\nFault.1=OsError, On=usb\n",
       "[Slot.1] Fault.1 On: \"usb\" is not tester, bridge or sata"},
      {"[Site]\nSlots=2\n[Slot.1]\nFault.1=Gone\nFault.01=Gone\n",
       "[Slot.1] Fault.01: \"01\" numbers a rule another Fault key numbers"},
      {"[Site]\nSlots=2\n[Slot.1]\nLockRefused=1\n", "[Slot.1] LockRefused: \"1\" needs a Volume in the slot"},
      {"[Site]\nSlots=2\n[Slot.1]\nEmpty=1\nVolume=E\n", "[Slot.1] Volume: \"E\" stands in an empty slot"},
      {"[Site]\nSlots=2\n[Slot.1]\nVolume=E\n[Slot.2]\nVolume=e:\n", "[Slot.2] Volume: \"E\" is taken by another slot"},
      {"[Site]\nSlots=2\n[Slot.1]\nShort33V=sometimes\n",
       "[Slot.1] Short33V: \"sometimes\" is not none, first or both"},
      {"[Site]\nSlots=2\n[Slot.1]\nCode=rom\n", "[Slot.1] Code: \"rom\" is not boot, mcode, mp or rdt"},
      {"[Site]\nSlots=2\n[Drive]\nPlanesPerDie=3\n", "[Drive] PlanesPerDie: \"3\" is not 1, 2 or 4"},
      {"[Site]\nSlots=2\n[Slot.1]\nPageSizeKb=6\n", "[Slot.1] PageSizeKb: \"6\" is not 2, 4, 8 or 16"},
      {"[Site]\nSlots=2\n[Drive]\nCesPerChannel=8\nDiesPerCe=16\n",
       "[Drive] Channels x CesPerChannel x DiesPerCe: more than 128 dies"},
      {"[Site]\nSlots=2\n[Drive]\nBlocksPerPlane=16384\nPlanesPerDie=4\n",
       "[Drive] BlocksPerPlane x PlanesPerDie: more than 32768 blocks per die"},
      {"[Site]\nSlots=2\n[Drive]\nDiesPerCe=4\nDiesPerGroup=3\n",
       "[Drive] DiesPerGroup: \"3\" is not 0 or a divisor of DiesPerCe (4) below it"},
      {"[Site]\nSlots=2\n[Drive]\nMissingCes=1\nFactoryBadBlocks=0:0:0:5, 1:0:0:0\n",
       "[Drive] FactoryBadBlocks: \"1:0:0:0\" is not a block of this drive's flash"},
      {"[Site]\nSlots=2\n[Drive]\nFlashId=2C 84\n",
       "[Drive] FlashId: \"2C 84\" is not 7 bytes of two hexadecimal digits"},
      {"[Site]\nSlots=2\n[Drive]\nCesPerChannel=2\nFlashId.2=2C 84 64 3C A5 08 04\n",
       "[Drive] FlashId.2: \"2\" is not a CE of this drive (channel * 8 + bank)"},
      {"[Site]\nSlots=2\n[Drive]\nScanFaults=16:NoEdge\n", "[Drive] ScanFaults: \"16\" is not a number from 0 to 15"},
      {"[Site]\nSlots=2\n[Drive]\nCapacityGB=256\nCapacitySectors=1000\n",
       "[Drive] CapacityGB and CapacitySectors: give one of them"},
      {"[Site]\nSlots=2\n[Drive]\nCapacitySectors=1000\nMediumErrors=999, 1000\n",
       "[Drive] MediumErrors: \"1000\" is not a number from 0 to 999"},
      {"[Site]\nSlots=2\n[Drive]\nDramMb=768\n", "[Drive] DramMb: \"768\" is not a power of two"},
      {"[Site]\nSlots=2\n[Drive]\nRdtFwVersion=R12\n", "[Drive] RdtFwVersion: \"R12\" is not 4 printable characters"},
      {"[Site]\nSlots=2\n[Drive]\nFlashCodeFile=/nonexistent/kx.bin\n",
       "[Drive] FlashCodeFile: \"/nonexistent/kx.bin\" cannot be read"},
      {"[Site]\nSlots=2\n[Tester]\nFirmware=3.5G\n",
       "[Tester] Firmware: \"3.5G\" is not major.minor (0-255, then one or two hexadecimal digits)"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.text);
    std::string err;
    EXPECT_FALSE(LoadEmulatorIni(Write(b.text), &err));
    EXPECT_EQ(err, b.message);
  }
}

TEST_F(IniTest, AFileWithoutASiteIsRefused) {
  std::string err;
  const std::string missing = (dir_ / "missing.ini").string();
  EXPECT_FALSE(LoadEmulatorIni(missing, &err));
  EXPECT_EQ(err, "cannot be opened");  // the caller names the file
  const std::string path = Write("[Drive]\nModel=x\n");
  EXPECT_FALSE(LoadEmulatorIni(path, &err));
  EXPECT_EQ(err, "no [Site] section");
}

// Every key, each with a value other than its default, found again on the built site.
TEST_F(IniTest, EveryKeyReachesTheBuiltSite) {
  std::vector<std::uint8_t> code(16384 + 512);
  for (std::size_t i = 0; i < code.size(); ++i) code[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const fs::path codePath = dir_ / "mp.bin";
  std::ofstream(codePath, std::ios::binary)
      .write(reinterpret_cast<const char*>(code.data()), static_cast<std::streamsize>(code.size()));
  auto site = LoadEmulatorIni(
      Write("[Site] ; line 7 training site\n"
            "Mode = tester, sata\nSlots = 4\nFirstPhysicalDrive = 10\nCdRom = Y, Z:\n"
            "[Drive]\n"
            "Model = KX50 SATA SSD 1TB\nFlashFirmwareModel = KX50 FLASH MODEL\nSerial = LINE7\n"
            "FirmwareRevision = QVF20002\nRdtFirmwareName = RDT00202\nRdtFwVersion = R24B\n"
            "BootCodeName = QVR 2.00\nMcodeName = QVBM 0.9\nCapacitySectors = 0x200000\nWWN = 0x5000C50000001000\n"
            "Channels = 2\nCesPerChannel = 2\nDiesPerCe = 4\nPlanesPerDie = 4\nBlocksPerPlane = 512\n"
            "PagesPerBlock = 128\nPageSizeKb = 8\nDiesPerGroup = 2\n"
            "FlashId = 98 3C 98 B3 76 72 08\nFlashId.8 = 45 3C 98 B3 76 72 09\nMissingCes = 1\n"
            "FactoryBadBlocks = 0:0:1:17, 9:3:3:511\nMaxBadPerPlane = 12\nScanFaults = 1:NoEdge, 15:CommandFails\n"
            "Code = mp\nFlashCodeFile = \"" +
            codePath.string() +
            "\"\nRdtDone = 0\nRdtRunMs = 5000\n"
            "BootDelayMs = 700\nProgramFlashMs = 2100\nEraseMs = 3100\nPreFormatMs = 1100\n"
            "DramMb = 1024\nCacheWriteSectors = 64\nTemperatureC = 55\nControllerVersion = 2\n"
            "FuseWord1 = 0x00010001\nFuseWord2 = 0x00ABCDEF\nFuseWord3 = 0x00020000\nSystemInfo.0x100 = 01 10\n"
            "PoweredOn = 1\nSmartExceeded = 1\n"
            "[Tester]\n"
            "Kind = 2\nOutputVoltage = 2\nFirmware = 3.0A\nCalibration = 0x0022\nCalibrated = 0\n"
            "CardCurrent = 900\nMaxCurrent = 1400\nDetectMs = 250\nVendorId = KXTEST\nProductId = SATA3-TESTER\n"
            "VendorTag = ACME01\nName = LINE7-TST.\nId1 = 0x1111\nId2 = 0x2222\nUsbGen = 2\nSataGen = 1\n"
            "SataPowerOn = 0\nPageSlot = 9\nPresentWithoutDrive = 0\nAtaPassThrough = 0\nTesterCapable = 1\n"
            "CurrentInvalid = 1\n"
            "[Slot.1]\n"
            "Volume = E:\nOpenRefused = 1\nLockRefused = -1\nUnlockRefused = 2\nDismountRefused = 3\n"
            "DeviceNumberRefused = 4\nDeleteLayoutRefused = 5\n"
            "Abort = 2, Command=0x21, Sub=0xA8, Skip=1\nKeyRefused = -1\nNoAnswer = 2, Value=0xFF\n"
            "ErrorStateOnce = 1\nMediumErrors = 100, 0x200\n"
            "CardAbsent = 1\nDetectTimeout = 1\nPowerFailures = 3\nShort5V = first\nShort33V = both\n"
            "AdjustVoltageReply = 7\nFailNext = 2\nFailError = 1117\n"
            "[Slot.2]\n"
            "CapacityGB = 256\nCode = rdt\nRdtDone = 1\nCurrentInvalid = 0\n"
            "AbortEvery = 3, Command=0xE5\nTimeOut = 1, Command=0xE7, Skip=2\nHotRemove = 1, Command=0xE0\n"
            "PowerCycle = 1, Command=0xE1, Skip=1\nWrongVerdict = 1, Sub=0xA8, Skip=1\nKeyNotEnabled = 1\n"
            "BusyMs = 5000\n"
            "Fault.1 = CheckCondition, On=sata, Ata=0xEC, SenseKey=3, Asc=0x11, Ascq=1, Fixed=1, Skip=1, Count=2\n"
            "Fault.2 = ShortTransfer, On=bridge, Opcode=0x85, Bytes=256, Every=2, Count=0\n"
            "Fault.3 = Delay, On=tester, Ioctl=0x4D014, Sub=0x71, Features=0x52, DelayMs=40000\n"
            "Fault.4 = OsError, On=tester, Sub=0x48, Error=121\n"
            "Fault.5 = IgnoreCkCond, On=bridge, Opcode=0xA1\n"
            "Fault.6 = Gone, On=sata, Ata=0xE7\n"
            "Fault.7 = HotRemove, On=tester, Sub=0x84\n"
            "[Slot.3]\nPoweredOn = 0\nNeverReady = 1\nKind = 1\nFailEvery = 2\nSerial =\n"
            "[Slot.4]\nEmpty = 1\n"),
      nullptr);
  ASSERT_TRUE(site);

  // [Site]
  EXPECT_NE(site->Tester(10), nullptr);
  EXPECT_EQ(site->Tester(13)->Slot(), 4);
  EXPECT_EQ(site->Tester(14), nullptr);
  EXPECT_EQ(site->Listing(true).size(), 4u);  // slot 4 is empty and listed all the same
  EXPECT_EQ(site->Volume('Y').letter, 'Y');
  EXPECT_EQ(site->Volume('Z').letter, 'Z');

  // [Drive], as slot 1 carries it.
  ASSERT_TRUE(site->GetDrive(1));
  const DriveConfig& c = site->GetDrive(1)->Config();
  EXPECT_EQ(c.model, "KX50 SATA SSD 1TB");
  EXPECT_EQ(c.flashFirmwareModel, "KX50 FLASH MODEL");
  EXPECT_EQ(c.serial, "LINE70001");
  EXPECT_EQ(c.firmwareRevision, "QVF20002");
  EXPECT_EQ(c.rdtFirmwareName, "RDT00202");
  EXPECT_EQ(c.rdtFwVersion, "R24B");
  EXPECT_EQ(c.bootCodeName, "QVR 2.00");
  EXPECT_EQ(c.mcodeName, "QVBM 0.9");
  EXPECT_EQ(c.capacitySectors, 0x200000u);
  EXPECT_EQ(c.wwn, 0x5000C50000001001u);
  EXPECT_EQ(c.channels, 2u);
  EXPECT_EQ(c.cesPerChannel, 2u);
  EXPECT_EQ(c.diesPerCe, 4u);
  EXPECT_EQ(c.planesPerDie, 4u);
  EXPECT_EQ(c.blocksPerPlane, 512u);
  EXPECT_EQ(c.pagesPerBlock, 128u);
  EXPECT_EQ(c.pageSizeKb, 8u);
  EXPECT_EQ(c.diesPerGroup, 2u);
  EXPECT_EQ(c.flashId, (std::array<std::uint8_t, 7>{0x98, 0x3C, 0x98, 0xB3, 0x76, 0x72, 0x08}));
  EXPECT_EQ(c.flashIdPerCe.size(), 1u);
  EXPECT_EQ(c.flashIdPerCe.at(8), (std::array<std::uint8_t, 7>{0x45, 0x3C, 0x98, 0xB3, 0x76, 0x72, 0x09}));
  EXPECT_EQ(c.missingCes, std::vector<std::uint32_t>{1});
  EXPECT_EQ(c.factoryBadBlocks, (std::vector<FlashBlockAddress>{{0, 0, 1, 17}, {9, 3, 3, 511}}));
  EXPECT_EQ(c.maxBadPerPlane, 12u);
  EXPECT_EQ(c.scanFaults, (std::map<std::uint32_t, ScanFault>{{1, ScanFault::NoEdge}, {15, ScanFault::CommandFails}}));
  EXPECT_EQ(c.initialCode, RunningCode::RomMp);
  EXPECT_EQ(c.flashCode, code);
  EXPECT_FALSE(c.rdtDone);
  EXPECT_EQ(c.rdtRunMs, 5000u);
  EXPECT_EQ(c.bootDelayMs, 700u);
  EXPECT_EQ(c.programFlashMs, 2100u);
  EXPECT_EQ(c.eraseMs, 3100u);
  EXPECT_EQ(c.preFormatMs, 1100u);
  EXPECT_EQ(c.dramLog2Mb, 10);
  EXPECT_EQ(c.cacheWriteSectors, 64u);
  EXPECT_EQ(c.temperatureC, 55);
  EXPECT_EQ(c.controllerVersion, 2);
  EXPECT_EQ(c.fuseWord1, 0x00010001u);
  EXPECT_EQ(c.fuseWord2, 0x00ABCDEFu);
  EXPECT_EQ(c.fuseWord3, 0x00020000u);
  EXPECT_EQ(site->GetDrive(1)->SystemInfo()[0x100], 0x01);
  EXPECT_EQ(site->GetDrive(1)->SystemInfo()[0x101], 0x10);
  EXPECT_TRUE(site->GetDrive(1)->Powered());
  EXPECT_TRUE(site->GetDrive(1)->Faults().SmartThresholdExceeded());
  EXPECT_TRUE(site->GetDrive(2)->Faults().SmartThresholdExceeded());

  // Slot 2 overrides the capacity and the running code.
  const DriveConfig& c2 = site->GetDrive(2)->Config();
  EXPECT_EQ(c2.capacitySectors, 500118192u);
  EXPECT_EQ(c2.initialCode, RunningCode::RomRdt);
  EXPECT_TRUE(c2.rdtDone);
  EXPECT_EQ(c2.serial, "LINE70002");
  EXPECT_FALSE(site->GetDrive(3)->Powered());
  EXPECT_EQ(site->GetDrive(3)->Config().serial, "");  // no slot digits after an empty one
  EXPECT_EQ(site->GetDrive(4), nullptr);

  // [Tester]: boards and bridges carry the same identity; slot 3 its own kind.
  const TesterInfo& t = site->Tester(10)->Info();
  EXPECT_EQ(t.kind, 2);
  EXPECT_EQ(t.outputVoltage, 2);
  EXPECT_EQ(t.fwMajor, 3);
  EXPECT_EQ(t.fwMinor, 0x0A);
  EXPECT_EQ(t.calibration, 0x0022);
  EXPECT_FALSE(t.calibrated);
  EXPECT_EQ(t.cardCurrent, 900);
  EXPECT_EQ(t.maxCurrent, 1400);
  EXPECT_EQ(t.detectMs, 250u);
  EXPECT_EQ(t.vendorId, "KXTEST");
  EXPECT_EQ(t.productId, "SATA3-TESTER");
  EXPECT_EQ(t.vendorTag, "ACME01");
  EXPECT_EQ(t.name, "LINE7-TST.");
  EXPECT_EQ(t.id1, 0x1111);
  EXPECT_EQ(t.id2, 0x2222);
  EXPECT_EQ(t.usbGen, 2);
  EXPECT_EQ(t.sataGen, 1);
  EXPECT_EQ(t.sataPowerOn, 0);
  EXPECT_EQ(t.pageSlot, 9);
  EXPECT_EQ(site->Bridge(1)->Info().name, "LINE7-TST.");
  EXPECT_EQ(site->Tester(12)->Info().kind, 1);
  EXPECT_FALSE(site->Bridge(1)->presentWithoutDrive);
  EXPECT_FALSE(site->SataPort(1)->ataPassThrough);
  EXPECT_TRUE(site->SataPort(1)->testerCapable);

  // Card faults: [Tester] for every slot, slot 1's own, slot 2's override.
  const TesterFaults f1 = site->GetTesterFaults(1);
  EXPECT_TRUE(f1.cardAbsent);
  EXPECT_TRUE(f1.detectTimesOut);
  EXPECT_EQ(f1.powerCommandFailures, 3);
  EXPECT_EQ(f1.short5V, ShortFault::FirstTest);
  EXPECT_EQ(f1.short33V, ShortFault::BothTests);
  EXPECT_EQ(f1.adjustVoltageReply, 7);
  EXPECT_TRUE(f1.currentInvalid);
  EXPECT_FALSE(site->GetTesterFaults(2).currentInvalid);

  // Volume of slot 1.
  const VolumeSpec v = site->Volume('E');
  EXPECT_EQ(v.slot, 1);
  EXPECT_EQ(v.faults.open, 1);
  EXPECT_EQ(v.faults.lock, -1);
  EXPECT_EQ(v.faults.unlock, 2);
  EXPECT_EQ(v.faults.dismount, 3);
  EXPECT_EQ(v.faults.deviceNumber, 4);
  EXPECT_EQ(v.faults.deleteLayout, 5);

  // Drive faults, as the drives take them command by command.
  auto req = [](std::uint8_t command, std::uint8_t features = 0) {
    AtaRequest r;
    r.command = command;
    r.features = features;
    return r;
  };
  using V = DriveFaults::Verdict;
  auto verdicts = [](DriveFaults& f, const AtaRequest& r, int n) {
    std::vector<V> out;
    for (int i = 0; i < n; ++i) out.push_back(f.Take(r));
    return out;
  };
  const std::uint64_t now = platform::Clock().NowMs();
  DriveFaults& d1 = site->GetDrive(1)->Faults();
  EXPECT_EQ(verdicts(d1, req(0x21, 0xA8), 4), (std::vector<V>{V::None, V::Abort, V::Abort, V::None}));
  EXPECT_EQ(d1.TakeKeyVerdict(), 1);
  EXPECT_EQ(d1.TakeKeyVerdict(), 1);
  std::vector<std::optional<std::uint8_t>> states;
  for (int i = 0; i < 4; ++i) states.push_back(d1.TakeCardStateOverride(now));
  EXPECT_EQ(states, (std::vector<std::optional<std::uint8_t>>{0xFF, 0xFF, 0x51, std::nullopt}));
  EXPECT_TRUE(d1.MediumErrorIn(100, 1));
  EXPECT_TRUE(d1.MediumErrorIn(0x200, 1));
  EXPECT_FALSE(d1.MediumErrorIn(101, 0x200 - 101));

  DriveFaults& d2 = site->GetDrive(2)->Faults();
  EXPECT_EQ(verdicts(d2, req(0xE5), 3), (std::vector<V>{V::None, V::None, V::Abort}));
  EXPECT_EQ(verdicts(d2, req(0xE7), 4), (std::vector<V>{V::None, V::None, V::TimeOut, V::None}));
  EXPECT_EQ(verdicts(d2, req(0xE0), 1), std::vector<V>{V::Gone});
  EXPECT_EQ(verdicts(d2, req(0xE1), 2), (std::vector<V>{V::None, V::PowerCycle}));
  std::vector<bool> wrong;
  for (int i = 0; i < 3; ++i) {
    d2.Take(req(0x21, 0xA8));
    wrong.push_back(d2.TakeWrongVerdict());
  }
  EXPECT_EQ(wrong, (std::vector<bool>{false, true, false}));
  EXPECT_EQ(d2.TakeKeyVerdict(), 2);
  EXPECT_TRUE(d2.BusyNow(now + 4999));
  EXPECT_FALSE(d2.BusyNow(now + 5000));
  EXPECT_TRUE(site->GetDrive(3)->Faults().BusyNow(now + 1000000000));

  // Transport faults, as the front ends match requests.
  auto probe = [](FrontEnd* fe, win::DWORD ioctl, int opcode, int sub, int ata, int features) {
    FaultProbe p;
    p.ioctl = ioctl;
    p.opcode = opcode;
    p.subcode = sub;
    p.ataCommand = ata;
    p.features = features;
    return fe->GetFaults().Check(p);
  };
  constexpr win::DWORD kScsi = 0x4D014, kAta = 0x4D030;
  // Slot 1: FailNext/FailError on every front end.
  EXPECT_EQ(probe(site->SataPort(1), kAta, -1, -1, 0xEC, 0).rule.osError, 1117u);
  EXPECT_TRUE(probe(site->SataPort(1), kAta, -1, -1, 0xEC, 0).fired);
  EXPECT_FALSE(probe(site->SataPort(1), kAta, -1, -1, 0xEC, 0).fired);
  EXPECT_TRUE(probe(site->Tester(10), kScsi, 0x12, -1, -1, -1).fired);
  // Slot 3: FailEvery.
  EXPECT_FALSE(probe(site->Bridge(3), kScsi, 0x12, -1, -1, -1).fired);
  EXPECT_TRUE(probe(site->Bridge(3), kScsi, 0x12, -1, -1, -1).fired);
  // Slot 2: the numbered rules, each on its own front end.
  FrontEnd* sata2 = site->SataPort(2);
  EXPECT_FALSE(probe(sata2, kAta, -1, -1, 0xEC, 0).fired);  // skipped
  const FaultHit cc = probe(sata2, kAta, -1, -1, 0xEC, 0);
  EXPECT_EQ(cc.rule.action, FaultAction::CheckCondition);
  EXPECT_EQ(cc.rule.senseKey, 3);
  EXPECT_EQ(cc.rule.asc, 0x11);
  EXPECT_EQ(cc.rule.ascq, 1);
  EXPECT_FALSE(cc.rule.descriptorSense);
  EXPECT_TRUE(probe(sata2, kAta, -1, -1, 0xEC, 0).fired);
  EXPECT_FALSE(probe(sata2, kAta, -1, -1, 0xEC, 0).fired);  // two fired
  EXPECT_EQ(probe(sata2, kAta, -1, -1, 0xE7, 0).rule.action, FaultAction::Gone);
  FrontEnd* bridge2 = site->Bridge(2);
  EXPECT_FALSE(probe(bridge2, kScsi, 0x85, -1, 0xEC, 0).fired);
  const FaultHit st = probe(bridge2, kScsi, 0x85, -1, 0xEC, 0);
  EXPECT_EQ(st.rule.action, FaultAction::ShortTransfer);
  EXPECT_EQ(st.rule.transferBytes, 256u);
  EXPECT_EQ(probe(bridge2, kScsi, 0xA1, -1, 0xEC, 0).rule.action, FaultAction::IgnoreCkCond);
  EXPECT_FALSE(probe(bridge2, kScsi, 0x08, 0x48, 0xEC, -1).fired);  // tester rules stay on the board
  FrontEnd* tester2 = site->Tester(11);
  EXPECT_FALSE(probe(tester2, kScsi, 0x08, 0x71, 0xEC, 0x51).fired);
  const FaultHit delay = probe(tester2, kScsi, 0x08, 0x71, 0xEC, 0x52);
  EXPECT_EQ(delay.rule.action, FaultAction::Delay);
  EXPECT_EQ(delay.rule.delayMs, 40000u);
  const FaultHit os = probe(tester2, kScsi, 0x08, 0x48, 0xEC, -1);
  EXPECT_EQ(os.rule.action, FaultAction::OsError);
  EXPECT_EQ(os.rule.osError, 121u);
  EXPECT_EQ(probe(tester2, kScsi, 0x08, 0x84, -1, -1).rule.action, FaultAction::HotRemove);
}

// Without the file nothing is installed, so that the program turns to real disks.
TEST_F(IniTest, WithoutTheFileNoSiteIsInstalled) {
  const fs::path old = fs::current_path();
  fs::current_path(dir_);
  std::string err;
  EXPECT_FALSE(InstallSiteFromEmulatorIni(&err));
  fs::current_path(old);
  EXPECT_FALSE(Site::Current());
}

}  // namespace
}  // namespace emu::test
