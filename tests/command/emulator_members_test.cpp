// Every CDriveCommand member against the emulated drive, in each send mode: a
// bridge, a SATA port with ATA pass-through on a tester's switch board, a plain
// SATA port without ATA pass-through (the tester's 08 F2 forms fail there, as
// on an AHCI port), and a tester board (tester-direct). Each group is an ordered table of one row per member, run
// from a drive state that the group's members need; a row calls the member and
// checks what the drive now holds or answered.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "command/DriveCommand.h"
#include "emulator/Drive.h"
#include "emulator/Site.h"
#include "emulator_site_util.h"
#include "platform/Clock.h"

namespace {

enum class Mode { Bridge, SataPt, SataScsi, TesterDirect };
const char* const kModeNames[] = {"Bridge", "SataPortAtaPassThrough", "SataPortScsi", "TesterDirect"};

constexpr int kSlot = 1;
constexpr int kTesterDrive = 3;

using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + seed * 17 + (i >> 9));
  return b;
}
std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
Bytes Le32Pair(std::uint32_t a, std::uint32_t v) {
  Bytes s(512, 0);
  for (int i = 0; i < 4; ++i) {
    s[i] = static_cast<std::uint8_t>(a >> (8 * i));
    s[4 + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  return s;
}
Bytes Head(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }
std::string AtaText(const std::uint8_t* p, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i + 1 < n; i += 2) s += {static_cast<char>(p[i + 1]), static_cast<char>(p[i])};
  return s.substr(0, s.find_last_not_of(' ') + 1);
}

struct Row {
  const char* member;
  std::function<bool()> call;
  std::function<bool()> check;  // what the drive or the reply must show afterwards
  int sends = 1;                // 0: the member sends nothing in this mode; -1: not counted
};

class EmulatorMembersTest : public ::testing::TestWithParam<Mode> {
 protected:
  // A site whose slot holds a drive running `code`, reached in the test's mode,
  // with IDENTIFY sent (it decides a SATA port's path) and the access key accepted.
  void Start(emu::RunningCode code) {
    emu::DriveConfig cfg;
    cfg.capacitySectors = 1 << 21;
    cfg.blocksPerPlane = 128;
    cfg.bootDelayMs = 0;
    cfg.initialCode = code;
    cfg.factoryBadBlocks = {{0, 0, 1, 5}, {9, 0, 0, 7}};
    drive_ = std::make_shared<emu::Drive>(cfg);
    site_ = emu::Site::Create();
    kx::ClearAtaPassThroughOk();
    const Mode m = GetParam();
    fe_ = m == Mode::Bridge ? site_->AddBridge(kSlot)
          : m == Mode::TesterDirect ? site_->AddTester(kTesterDrive, kSlot)
                                    : site_->AddSataPort(kSlot);
    ASSERT_NE(fe_, nullptr);
    fe_->ataPassThrough = m != Mode::SataScsi;
    fe_->testerCapable = m == Mode::SataPt;
    g_KX_U2A = m != Mode::TesterDirect;
    g_SataPortMode = m == Mode::SataPt || m == Mode::SataScsi;
    const int driveNo = m == Mode::TesterDirect ? kTesterDrive : 1;
    ASSERT_TRUE(site_->SetDrive(kSlot, drive_));
    site_->Install();
    kx::test::PublishListing(*site_, g_SataPortMode != 0);
    cmd_ = std::make_unique<CDriveCommand>(driveNo);
    std::uint8_t id[512];
    ASSERT_TRUE(cmd_->GetIdentify(id));
    ASSERT_EQ(kx::AtaPassThroughOk(driveNo), m == Mode::SataPt);
    ASSERT_EQ(cmd_->SetApKey(true), 1);
  }
  void TearDown() override {
    cmd_.reset();
    if (site_) site_->Uninstall();
    kx::test::ResetCommandGlobals();
  }

  void RunRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.member);
      const std::uint64_t before = fe_->Log().Total();
      EXPECT_TRUE(row.call()) << "last error " << cmd_->m_LastError << ", command " << LastCommand();
      if (row.sends >= 0) {
        EXPECT_EQ(fe_->Log().Total() > before, row.sends == 1);
      }
      if (row.check) {
        EXPECT_TRUE(row.check());
      }
    }
  }
  std::string LastCommand() const {
    std::string s;
    char hex[4];
    for (std::uint8_t b : cmd_->m_Cdb) {
      std::snprintf(hex, sizeof hex, "%02X ", b);
      s += hex;
    }
    return s;
  }
  bool Tester() const { return GetParam() == Mode::TesterDirect; }
  bool Sata() const { return GetParam() == Mode::SataPt || GetParam() == Mode::SataScsi; }
  // Whether the tester's 08 F2 forms sent as they are reach a decoder.
  bool TesterForms() const { return GetParam() != Mode::SataScsi; }
  // The drive's last command, as it arrived.
  emu::TraceEntry LastAtDrive() const {
    const auto t = drive_->Trace();
    return t.empty() ? emu::TraceEntry{} : t.back();
  }

  platform::ScopedClock clock_{platform::MakeVirtualClock(1)};
  std::shared_ptr<emu::Drive> drive_;
  std::shared_ptr<emu::Site> site_;
  emu::FrontEnd* fe_ = nullptr;
  std::unique_ptr<CDriveCommand> cmd_;
  Bytes a_ = Bytes(2048, 0), b_ = Bytes(2048, 0);  // reply buffers
};

TEST_P(EmulatorMembersTest, SendPathAndTesterMembers) {
  Start(emu::RunningCode::RomMp);
  CDriveCommand& c = *cmd_;
  const int no = c.m_DriveNo;
  const bool pt = GetParam() == Mode::SataPt;
  std::uint8_t identify[16] = {0x08, 0xF2, 0x71, 0x01, 0xEC, 0x00, 0x01, 0, 0, 0, 0x00, 0x01};
  RunRows({
      {"OpenDrive/CloseDrive", [&] { win::HANDLE h = c.OpenDrive(no); c.CloseDrive(h); return h != win::INVALID_HANDLE_VALUE; },
       nullptr, -1},
      {"SendCdb/TranslateToSat", [&] { if (!Tester()) c.TranslateToSat(identify); return c.SendCdb(no, identify, true, a_.data(), 512, 0) == 0; },
       [&] { return AtaText(a_.data() + 54, 40) == drive_->Config().model; }},
      {"GetLastCommand", [&] { std::uint8_t cdb[16]; std::uint32_t e = 1; c.GetLastCommand(cdb, &e); return e == 0 && std::memcmp(cdb, c.m_Cdb, 16) == 0; },
       nullptr, false},
      // Both ATA pass-through senders work only where the port takes task files.
      {"SendAtaPassThrough", [&] { return (c.SendAtaPassThrough(no, 1, identify, kx::kDirIn, b_.data(), 512, true, false, false, 0) == 0) == pt; },
       [&] { return !pt || Head(b_, 512) == Head(a_, 512); }},
      {"ProbeVendorMode", [&] { return c.ProbeVendorMode(true) == (pt ? 1 : 0); },
       [&] { return pt || c.m_LastError == win::ERROR_INVALID_FUNCTION; }},
      // On a plain SATA port the raw tester members fail; elsewhere they answer.
      {"ReadUSBPage", [&] { return c.ReadUSBPage(a_.data(), 528) == TesterForms(); },
       [&] { return !TesterForms() || (a_[8] == 0x7D && a_[9] == 0x0D && a_[484] == 4); }},
      {"GetTesterFWVersion", [&] { return c.GetTesterFWVersion(a_.data()) == TesterForms(); },
       [&] { return !TesterForms() || (a_[8] == 3 && a_[9] == 5); }},
      {"Power_Ground_Short", [&] { a_[7] = a_[8] = 9; return c.Power_Ground_Short(a_.data(), 16) == TesterForms(); },
       [&] { return !TesterForms() || (a_[7] == 0 && a_[8] == 0); }},
      {"CardDetect", [&] { std::fill(a_.begin(), a_.end(), 0); return c.CardDetect(a_.data(), 16); },
       // a SATA port has no tester: the card detect is the vendor-mode entry
       [&] { return Sata() ? LastAtDrive().request.command == 0xFB && LastAtDrive().response.status == 0x50 : a_[13] == 0x50; }},
      {"PowerResetTester", [&] { return c.PowerResetTester(0) == TesterForms(); },
       [&] { return site_->Card(kSlot).testerResets == (TesterForms() ? 1u : 0u); }},
      {"PowerResetCard", [&] { return c.PowerResetCard(1, 0, 0, false); },
       [&] { return site_->Card(kSlot).powerCycles == (Tester() ? 1u : 0u) && drive_->Powered(); }, Tester()},
      {"SetCardPower", [&] { return c.SetCardPower(1, 0, 1, 0) == TesterForms(); }, [&] { return site_->Card(kSlot).powered; }},
      {"AdjustCardVoltage", [&] { return c.AdjustCardVoltage(3) == TesterForms(); },
       [&] { return site_->Card(kSlot).voltageLevel == (TesterForms() ? 3 : 0); }},
      {"GetMaxCurrent", [&] { return c.GetMaxCurrent(a_.data(), 16) == TesterForms(); },
       [&] { return !TesterForms() || (a_[0] << 8 | a_[1]) == 1500; }},
      {"GetCardCurrent", [&] { return c.GetCardCurrent(a_.data(), 16) == TesterForms(); },
       [&] { return !TesterForms() || (a_[10] << 8 | a_[11]) == 1000; }},
      {"ClearCurrentBuffer", [&] { return c.ClearCurrentBuffer(); },
       [&] { return !Tester() || (c.GetMaxCurrent(a_.data(), 16) && (a_[0] << 8 | a_[1]) == 1000); }, Tester()},
      {"GetICFWName", [&] { return c.GetICFWName(a_.data()) == TesterForms(); },
       [&] { return !TesterForms() || AtaText(a_.data(), 8) == drive_->Config().firmwareRevision; }},
      {"DEVSLP_SET_Feature", [&] { return c.DEVSLP_SET_Feature(true); }, nullptr},
      {"DEVSLP_IO_Control", [&] { return c.DEVSLP_IO_Control(true); }, [&] { return site_->Card(kSlot).devSleep; }},
      {"DisableDEVSLP", [&] { return c.DisableDEVSLP(2); }, [&] { return !site_->Card(kSlot).devSleep && c.FLUSH_CACHE(); }},
      {"TestUnitReady", [&] { return c.TestUnitReady(); }, nullptr},
      {"Inquiry", [&] { return c.Inquiry(a_.data()); },
       [&] { return std::string(a_.begin() + 8, a_.begin() + 13) == (Sata() ? "ATA  " : "KXEMU"); }},
      {"SatDeviceReset", [&] { return c.SetApKey(false) == 1 && c.SatDeviceReset(); }, [&] { return !drive_->KeyAccepted(); }},
  });
}

TEST_P(EmulatorMembersTest, AtaMembers) {
  Start(emu::RunningCode::RomMp);
  CDriveCommand& c = *cmd_;
  const Bytes out = Pattern(2048, 1);
  // Each write lands on the media, and its partner reads it back.
  auto media = [&](std::uint64_t lba, std::size_t bytes) {
    return drive_->ReadMedia(lba, static_cast<std::uint32_t>(bytes / 512)) == Head(out, bytes);
  };
  auto readsBack = [&](std::size_t bytes) { return Head(a_, bytes) == Head(out, bytes); };
  Bytes pw(512, 0);
  std::memcpy(pw.data() + 2, "factory-password", 16);
  std::uint32_t newMax = 0;
  RunRows({
      {"GetIdentify", [&] { return c.GetIdentify(a_.data()); }, [&] { return AtaText(a_.data() + 20, 20) == drive_->Config().serial; }},
      {"WriteSectors", [&] { return c.WriteSectors(out.data(), 1024, 100); }, [&] { return media(100, 1024); }},
      {"ReadSectors", [&] { return c.ReadSectors(a_.data(), 1024, 100); }, [&] { return readsBack(1024); }},
      {"WriteDma", [&] { return c.WriteDma(out.data(), 1536, 0x0123456); }, [&] { return media(0x0123456, 1536); }},
      {"ReadDma", [&] { return c.ReadDma(a_.data(), 1536, 0x0123456); }, [&] { return readsBack(1536); }},
      {"DMA_Write_DDR", [&] { return c.DMA_Write_DDR(out.data(), 2, 300); }, [&] { return media(300, 1024); }},
      {"DMA_Read_DDR", [&] { return c.DMA_Read_DDR(a_.data(), 2, 300); }, [&] { return readsBack(1024); }},
      {"WriteSectorsDma", [&] { return c.WriteSectorsDma(out.data(), 3, 400); }, [&] { return media(400, 1536); }},
      {"ReadSectorsDma", [&] { return c.ReadSectorsDma(a_.data(), 3, 400); }, [&] { return readsBack(1536); }},
      {"WriteSectorsExt16", [&] { return c.WriteSectorsExt16(out.data(), 4, 0x1F0000, 0); }, [&] { return media(0x1F0000, 2048); }},
      {"ReadSectorsExt16", [&] { return c.ReadSectorsExt16(a_.data(), 4, 0x1F0000, 0); }, [&] { return readsBack(2048); }},
      {"WriteDmaExt16", [&] { return c.WriteDmaExt16(out.data(), 2, 0x1F1000, 0); }, [&] { return media(0x1F1000, 1024); }},
      {"ReadDmaExt16", [&] { return c.ReadDmaExt16(a_.data(), 2, 0x1F1000, 0); }, [&] { return readsBack(1024); }},
      {"WriteSectorsExt", [&] { return c.WriteSectorsExt(out.data(), 1536, 0x1F2000, 0); }, [&] { return media(0x1F2000, 1536); }},
      {"ReadSectorsExt", [&] { return c.ReadSectorsExt(a_.data(), 1536, 0x1F2000, 0); }, [&] { return readsBack(1536); }},
      {"WriteDmaExt", [&] { return c.WriteDmaExt(out.data(), 512, 0x1F3000, 0); }, [&] { return media(0x1F3000, 512); }},
      {"ReadDmaExt", [&] { return c.ReadDmaExt(a_.data(), 512, 0x1F3000, 0); }, [&] { return readsBack(512); }},
      {"FLUSH_CACHE", [&] { return c.FLUSH_CACHE(); }, [&] { return LastAtDrive().request.command == 0xE7; }},
      {"StandBy_Imd", [&] { return c.StandBy_Imd(); }, [&] { return LastAtDrive().request.command == 0xE0; }},
      {"SMART_READ_DATA", [&] { return c.SMART_READ_DATA(a_.data()); }, [&] { return LastAtDrive().response.transferred == 512; }},
      {"SMART_Return_Status", [&] { return c.SMART_Return_Status(); }, [&] { return LastAtDrive().request.features == 0xDA; }},
      {"WriteBuffer", [&] { return c.WriteBuffer(out.data()); },
       [&] { return LastAtDrive().request.command == 0xE8 && std::memcmp(LastAtDrive().dataHead.data(), out.data(), 16) == 0; }},
      {"WriteBufferZero", [&] { return c.WriteBufferZero(); }, [&] { return LastAtDrive().dataHead == decltype(emu::TraceEntry::dataHead){}; }},
      {"DownLoadMicroCode", [&] { return c.DownLoadMicroCode(out.data(), 2, 0); },
       [&] { return LastAtDrive().request.command == 0x92 && LastAtDrive().response.transferred == 1024; }},
      {"SECURITY_SET_PASSWORD", [&] { return c.SECURITY_SET_PASSWORD(pw.data()); }, [&] { return drive_->SecurityEnabled(); }},
      {"SecurityUnlock", [&] { return c.SecurityUnlock(pw.data()); }, [&] { return !drive_->SecurityLocked(); }},
      {"SecurityDisablePassword", [&] { return c.SecurityDisablePassword(pw.data()); }, [&] { return !drive_->SecurityEnabled(); }},
      {"SECURITY_ERASE_PREPARE", [&] { return c.SECURITY_SET_PASSWORD(pw.data()) && c.SECURITY_ERASE_PREPARE(); }, nullptr},
      {"SECURITY_ERASE_UNIT", [&] { return c.SECURITY_ERASE_UNIT(pw.data()); },
       [&] { return !drive_->SecurityEnabled() && drive_->ReadMedia(100, 1) == Bytes(512, 0); }},
      {"SecurityFreezeLock", [&] { return c.SecurityFreezeLock(); }, [&] { return drive_->SecurityFrozen(); }},
      {"Vendor_UnLock_Forzen", [&] { return c.Vendor_UnLock_Forzen(); }, [&] { return !drive_->SecurityFrozen(); }},
      {"DeviceConfigurationIdentify", [&] { return c.DeviceConfigurationIdentify(a_.data()); }, [&] { return a_[510] == 0xA5; }},
      {"DeviceConfigurationSet", [&] {
         // the largest LBA one million sectors lower, checksum mended
         newMax = static_cast<std::uint32_t>(drive_->Config().capacitySectors - 1000000);
         const std::uint32_t last = newMax - 1;
         a_[6] = static_cast<std::uint8_t>(last), a_[7] = static_cast<std::uint8_t>(last >> 8);
         a_[8] = static_cast<std::uint8_t>(last >> 16), a_[9] = static_cast<std::uint8_t>(last >> 24);
         std::uint8_t sum = 0;
         for (int i = 0; i < 511; ++i) sum = static_cast<std::uint8_t>(sum + a_[i]);
         a_[511] = static_cast<std::uint8_t>(-sum);
         return c.DeviceConfigurationSet(a_.data()); },
       [&] { return drive_->NativeMaxLba() == newMax; }},
      // The raw members below fail on a plain SATA port, as there is no tester to carry them.
      {"READ_NATIVE_MAX_ADDRESS", [&] { return c.READ_NATIVE_MAX_ADDRESS() == TesterForms(); },
       [&] { const auto r = LastAtDrive().response; return !TesterForms() || static_cast<std::uint32_t>(r.lbaLow | r.lbaMid << 8 | r.lbaHigh << 16) == newMax - 1; }},
      {"SET_MAX_ADDRESS", [&] { return c.SET_MAX_ADDRESS(0x0ABCDE, true) == TesterForms(); },
       [&] { return c.GetIdentify(a_.data()) && static_cast<std::uint32_t>(a_[120] | a_[121] << 8 | a_[122] << 16) == (TesterForms() ? 0x0ABCDFu : newMax); }},
      // ATA defines NOP (sub-command 00h) to abort: it reaches the drive and fails.
      {"AtaNop", [&] { return !c.AtaNop(); },
       [&] { return !TesterForms() || (LastAtDrive().request.command == 0x00 && LastAtDrive().response.error == 0x04); }},
  });
}

TEST_P(EmulatorMembersTest, VendorMembersOnFlashFirmware) {
  Start(emu::RunningCode::RomMp);
  CDriveCommand& c = *cmd_;
  const Bytes out = Pattern(2048, 2);
  auto readsBack = [&](std::size_t bytes) { return Head(a_, bytes) == Head(out, bytes); };
  const Bytes reg = Le32Pair(0x04001000, 0x12345678);
  const Bytes regPointer = Le32Pair(0x04001000, 0);
  const auto sys = drive_->SystemInfo();
  RunRows({
      {"DirectWriteSRAM", [&] { return c.DirectWriteSRAM(out.data(), 2, 0x00, 0x20); }, nullptr},
      {"DirectReadSRAM", [&] { return c.DirectReadSRAM(a_.data(), 2, 0x00, 0x20); }, [&] { return readsBack(1024); }},
      {"ISPReadPRAM_DDR", [&] { return c.ISPReadPRAM_DDR(a_.data(), 1, 0x20); }, [&] { return readsBack(512); }},
      {"GetSystemInfo", [&] { return c.GetSystemInfo(a_.data(), 1); }, [&] { return std::equal(sys.begin(), sys.end(), a_.begin()); }},
      {"ScanAllFlashID", [&] { return c.ScanAllFlashID(b_.data()); },
       [&] { return std::equal(b_.begin(), b_.begin() + 7, drive_->Config().flashId.begin()); }},
      {"GetFlashID", [&] { return c.GetFlashID(a_.data(), 9); }, [&] { return std::equal(a_.begin(), a_.begin() + 8, b_.begin() + 72); }},
      {"ReadUniqueID", [&] { return c.ReadUniqueID(a_.data(), 1, 0x0203) && c.ReadUniqueID(b_.data(), 1, 0x0203); },
       [&] { return Head(a_, 512) == Head(b_, 512) && Head(a_, 512) != Bytes(512, 0); }},
      {"DirectWriteInfoBlock", [&] { return c.DirectWriteInfoBlock(out.data(), 3); },
       [&] { return drive_->InfoBlockPage(3) == Head(out, 2048); }},
      {"DirectReadInfoBlock", [&] { return c.DirectReadInfoBlock(a_.data(), 3); }, [&] { return readsBack(1024); }},
      {"UpdateInfoCode (write)", [&] { return c.UpdateInfoCode(const_cast<std::uint8_t*>(out.data()), false); },
       [&] { const auto s = drive_->InfoCodeSector(); return std::equal(s.begin(), s.end(), out.begin()); }},
      {"UpdateInfoCode (read)", [&] { return c.UpdateInfoCode(a_.data(), true); }, [&] { return readsBack(512); }},
      {"Write4ByteReg", [&] { return c.Write4ByteReg(reg.data(), 0); }, [&] { return drive_->Register(0x04001000) == 0x12345678; }},
      {"Read4ByteReg", [&] { return c.DirectWriteSRAM(regPointer.data(), 1, 0x00, 0x33) && c.Read4ByteReg(a_.data(), 0); },
       [&] { return Le32(a_, 0) == 0x04001000 && Le32(a_, 4) == 0x12345678; }},
      {"CACHE_WRITE_FLASH", [&] { return c.CACHE_WRITE_FLASH(out.data(), 1, 2, 0, 2); }, nullptr},
      {"CacheReadFlash", [&] { return c.CacheReadFlash(a_.data(), 1, 2, 0, 2); }, [&] { return readsBack(1024); }},
      {"Get_RDT_BadBlock_Log", [&] { return c.Get_RDT_BadBlock_Log(a_.data(), 0, 0, 1); }, nullptr},
      {"Get_RDT_Temperature_Time_Log", [&] { return c.Get_RDT_Temperature_Time_Log(a_.data(), 0, 0, 1); }, nullptr},
      {"Get_RDT_SDR_Log", [&] { return c.Get_RDT_SDR_Log(a_.data(), 0, 0, 1); }, nullptr},
      {"Get_RDT_BadBlock_SpecialLog", [&] { return c.Get_RDT_BadBlock_SpecialLog(a_.data(), 1, 0); }, nullptr},
      {"VendorRead72", [&] { return c.VendorRead72(a_.data(), 1); }, nullptr},
      // factory bad blocks on CE 0 and CE 9, none grown later
      {"Get_ALLBadBlockCount_perCE", [&] { return c.Get_ALLBadBlockCount_perCE(a_.data()); }, [&] { return a_[0] == 1 && a_[18] == 1; }},
      {"Get_ALLBadBlockAddress_perCE", [&] { return c.Get_ALLBadBlockAddress_perCE(a_.data(), 1); },
       [&] { return a_[0] == 0 && a_[2] == 1 && Le32(a_, 4) == 5 && a_[8] == 9 && Le32(a_, 12) == 7; }},
      {"Get_LaterBadBlockCount_perCE", [&] { return c.Get_LaterBadBlockCount_perCE(a_.data()); }, [&] { return Head(a_, 512) == Bytes(512, 0); }},
      {"Get_LaterBadBlockAddress_perCE", [&] { return c.Get_LaterBadBlockAddress_perCE(a_.data(), 1); }, [&] { return Head(a_, 512) == Bytes(512, 0); }},
      {"Get_EarlyBadBlockCount_perCE", [&] { return c.Get_EarlyBadBlockCount_perCE(a_.data()); }, [&] { return a_[0] == 1 && a_[18] == 1; }},
      {"Get_EarlyBadBlockAddress_perCE", [&] { return c.Get_EarlyBadBlockAddress_perCE(a_.data(), 1); }, [&] { return a_[8] == 9 && Le32(a_, 12) == 7; }},
      {"Get_BurnerEarlyBadCount_perCE", [&] { return c.Get_BurnerEarlyBadCount_perCE(a_.data()); }, [&] { return a_[0] == 1 && a_[18] == 1; }},
      {"Get_BurnerEarlyBadAddress_perCE", [&] { return c.Get_BurnerEarlyBadAddress_perCE(a_.data(), 1); }, [&] { return Le32(a_, 4) == 5; }},
      {"ReadBBT", [&] { return c.ReadBBT(a_.data(), 1, 1, 0); }, [&] { return std::memcmp(a_.data(), "DBTP", 4) == 0; }},
      {"WriteBBT", [&] { return c.WriteBBT(out.data(), 2, 0, 1024); }, [&] { const Bytes t = drive_->BbtBody(); return t.size() >= 2048 && Bytes(t.begin() + 1024, t.begin() + 2048) == Head(out, 1024); }},
      {"ReadBBT (body)", [&] { return c.ReadBBT(a_.data(), 2, 0, 2); }, [&] { return readsBack(1024); }},
      {"Write3rdBBT", [&] { return c.Write3rdBBT(out.data(), 1, 3, 512); }, nullptr},
      {"Read3rdBBT", [&] { return c.Read3rdBBT(a_.data(), 1, 3, 1); }, [&] { return readsBack(512); }},
      {"ReadDebugInfo", [&] { return c.ReadDebugInfo(a_.data(), 1, 1, 0); }, [&] { return Head(a_, 512) == Head(drive_->InfoBlockPage(0), 512); }},
      {"Vender_MaxBad_PerPlane", [&] { return c.Vender_MaxBad_PerPlane(a_.data(), false); }, [&] { return Le32(a_, 0) == 2; }},
      // VendorWrite00, DoCut_EFuse and VendorWriteA3 are raw: a plain SATA port refuses them.
      {"VendorWrite00", [&] { return c.VendorWrite00() == TesterForms(); },
       [&] { return !TesterForms() || LastAtDrive().response.status == 0x50; }},
      {"Reset_Smart", [&] { return c.Reset_Smart(); }, nullptr},
      {"SetCEMap", [&] { const Bytes map = Le32Pair(0x0003, 0); return c.SetCEMap(map.data()); }, [&] { return drive_->SystemInfo()[0] == 2; }},
      {"PreFormat", [&] { return c.PreFormat(out.data(), 0, true); }, nullptr},
      {"ReadPreFormatResult", [&] { return c.ReadPreFormatResult(a_.data()); }, [&] { return a_[0] == 0 && a_[1] == 0x01 && a_[2] == 0x01; }},
      {"DoCut_EFuse", [&] { return c.DoCut_EFuse(0, 0) == TesterForms(); },
       [&] { drive_->SetRegister(0x04002400, 3); return ((drive_->Register(0x04002440) & 0x2) != 0) == TesterForms(); }},
      {"DetectThermalSensor", [&] { return c.DetectThermalSensor(1); }, [&] { return LastAtDrive().request.device == 0xA1; }},
      {"SendScanBadParameter", [&] { return c.SendScanBadParameter(out.data()); }, nullptr},
      {"SetScanBadParameter", [&] { return c.SetScanBadParameter(out.data()); }, nullptr},
      {"VendorWriteA3", [&] { return c.VendorWriteA3() == TesterForms(); }, nullptr},
      {"Vender_InitialPadAndDrive", [&] { return c.Vender_InitialPadAndDrive(out.data(), 0); }, nullptr},
      {"Scan_SDLL", [&] { return c.Scan_SDLL(out.data(), 0, 0, 0, 1); },
       [&] { return c.DirectReadSRAM(a_.data(), 1, 0, 0) && a_[16] == 0x00 && a_[17] == 0x01; }},
      {"StartStatusPolling", [&] { return c.StartStatusPolling(); }, nullptr},
      {"EraseAllBlock", [&] { return c.EraseAllBlock(0x04, true); },
       [&] { return drive_->ReadMedia(0, 1) == Bytes(512, 0) && drive_->EraseErrorByte() == 0; }},
      {"JumpToBoot", [&] { return c.JumpToBoot(); },
       [&] { return drive_->Code() == emu::RunningCode::RomMp && !drive_->KeyAccepted(); }},
      {"SetApKey", [&] { return c.SetApKey(false) == 1; }, [&] { return drive_->KeyAccepted(); }},
      {"EraseISPCode", [&] { return c.EraseISPCode(a_.data()); }, nullptr},
      // with the ISP code gone the card restarts in its boot code
      {"ResetCard", [&] { return c.ResetCard(); }, [&] { return drive_->Code() == emu::RunningCode::Boot; }},
  });
}

// Boot code -> burner loaded into RAM -> normal code programmed into flash -> flash firmware.
TEST_P(EmulatorMembersTest, IspMembersFromBootCode) {
  Start(emu::RunningCode::Boot);
  CDriveCommand& c = *cmd_;
  const Bytes seed = Pattern(16384, 3), pram = Pattern(2048, 4), icode = Pattern(1024, 5), bin = Pattern(2048, 6);
  const Bytes descriptor = Le32Pair(0x20000000, 2048);
  // The running code's name; a plain SATA port cannot ask for it, so the drive tells.
  auto name = [&] {
    if (!TesterForms()) return AtaText(drive_->FirmwareName().data(), 8);
    return c.GetICFWName(b_.data()) ? AtaText(b_.data(), 8) : std::string("?");
  };
  RunRows({
      {"Vender_Send_Seed", [&] { return c.Vender_Send_Seed(seed.data(), 32); }, nullptr},
      {"ISPProgramPRAM", [&] { return c.DirectWriteSRAM(descriptor.data(), 1, 0, 0) && c.ISPProgramPRAM(pram.data(), 4, true); }, nullptr},
      {"Vender_Check_CRC", [&] { return c.Vender_Check_CRC(a_.data(), 1); }, [&] { return Le32(a_, 8) == 0x55AA55AA; }},
      {"JumpToBoot (burner)", [&] { return c.JumpToBoot(); }, [&] { return name() == drive_->Config().mcodeName; }},
      {"SetApKey", [&] { return c.SetApKey(true) == 1; }, nullptr},
      {"ISPProgramPRAM_ICode", [&] { return c.ISPProgramPRAM_ICode(icode.data(), 2, 1, 0); }, nullptr},
      {"ISPVerifyPRAM_ICode", [&] { return c.ISPVerifyPRAM_ICode(icode.data(), 2, 1); }, nullptr},
      {"Vender_Send_Seed (normal code)", [&] { return c.Vender_Send_Seed(seed.data(), 32); }, nullptr},
      {"Vender_Send_Binfile", [&] { return c.Vender_Send_Binfile(bin.data(), 4, 0, true); }, [&] { return drive_->VerdictLbaHigh() == 0xBB; }},
      {"ISPProgramFlash", [&] { return c.ISPProgramFlash(); }, nullptr},
      {"ISPVerifyFlash", [&] { return c.ISPVerifyFlash(a_.data(), 4, 0, 1); }, [&] { return Head(a_, 2048) == bin; }},
      {"JumpToBoot (flash firmware)", [&] { return c.JumpToBoot(); }, [&] { return name() == drive_->Config().firmwareRevision; }},
  });
}

INSTANTIATE_TEST_SUITE_P(Modes, EmulatorMembersTest,
                         ::testing::Values(Mode::Bridge, Mode::SataPt, Mode::SataScsi, Mode::TesterDirect),
                         [](const ::testing::TestParamInfo<Mode>& info) { return kModeNames[static_cast<int>(info.param)]; });

}  // namespace
