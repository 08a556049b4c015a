// Building the info block (read back through the info-block dump) and the
// post-format check against the emulated drive.
#include "bringup/InfoBlock.h"

#include <array>
#include <cerrno>
#include <filesystem>
#include <functional>

#include "device/PortDevice.h"
#include "platform/FileFaults.h"
#include "platform/FolderLock.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::ExpectParts;
using kxtest::Has;
using kxtest::Mode;
constexpr char kSerial[] = "KXA2405000000000001";
constexpr char kNext[] = "KXA2405000000000002";
constexpr char kReport[] = "D:\\Log\\D_Reports\\PC_1_Report.txt";
constexpr char kSnFile[] = "C:\\SATA_Setting.ini";

class InfoBlock : public kxtest::DeviceTestEnv {
 protected:
  void SetUp() override {
    SetIni(kSnFile, "Global_Setting", "Last SN", kSerial);
    SetIni(".\\param.ini", "Options", "Set Firmware Name", "QVF10001");
    SetIni(".\\param.ini", "General Info", "ModelName", "KX00 SATA SSD 512GB");
    SetIni(".\\param.ini", "Options", "Scan_MaxBadPercent", "5");
    SetIni(".\\paramFDB.ini", "Options", "SetSSDSize", "512");  // 1,000,215,216 sectors, the drive's size
  }
  static std::string SnFolder() { return std::filesystem::canonical(Native("C:\\")).string(); }
  static std::string Counter() { return win::GetPrivateProfileString("Global_Setting", "Last SN", "", kSnFile); }
  static void Formatted(EmulatedStation& s) {  // the drive holds the built block, as the pre-format leaves it
    s.Drive().SetInfoBlockPage(0, {s.Device().m_InfoBlockBuilt.begin(), s.Device().m_InfoBlockBuilt.end()});
  }
  static void ExpectFailed(CPortDevice& d, const char* code, const char* printed, const std::string& message) {
    EXPECT_EQ(d.m_ErrorCode, code);
    EXPECT_EQ(d.m_ErrorMessage, message);
    EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : " + message + " \r\n"));
    EXPECT_TRUE(Has(PortReport(), std::string("Error Code : ") + printed + " \r\n"));
  }
};

TEST_F(InfoBlock, BuiltBlockReadsBackThroughTheDump) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  std::array<std::uint8_t, 64> rdt{'K', 'X', 'R', 'T'};
  rdt[63] = 0x5A;
  ASSERT_TRUE(d.BuildInfoBlock(true, false, rdt.data(), true));
  const std::string dump = Appended(kReport, [&] { d.WriteInfoBlockReport(d.m_InfoBlockBuilt.data()); });
  for (const char* line : {"   u8bTavlinInfoMark : Tavlin\r\n", "   ubSerialNumber : KXA2405000000000001 \r\n",
                           "   ubModelNumber : KX00 SATA SSD 512GB                     \r\n",
                           "   ubFWVersionEnable : 1\r\n", "   ubFWVersion : QVF10001\r\n",
                           "   ulSSDSize_LBA : 3b9e12b0\r\n", "   ubFlashInterface : 3\r\n", "   ubFlashClk : 7\r\n",
                           "   MpInfo.Signature : KXRT\r\n", "   MpInfo.RDT_TotalTime : 5a000000\r\n",
                           "   ubAP_ScanMaxBad : 5\r\n"})
    EXPECT_TRUE(Has(dump, line)) << line;
  EXPECT_EQ(d.m_ConfiguredSerialNumber, kSerial);
  EXPECT_EQ(Counter(), kNext);
  ExpectParts(PortReport(), {"   Serial Number write to infoblock: KXA2405000000000001 \r\n",
                             "   InfoBlock Get Temperature log 64 bytes \r\n"});
  ASSERT_TRUE(d.IssueReadInfoPage());
  ASSERT_TRUE(d.BuildInfoBlock(true, true, rdt.data(), false));  // Keep_Device_Info: the drive's identity
  EXPECT_EQ(d.m_SerialNumber, "KX0000000000000001");
  EXPECT_EQ(kx::InfoBlockValue(d.m_InfoBlockBuilt.data(), kx::GetInfoBlockLayout().wwn), 0x00000001u);
  EXPECT_EQ(Counter(), kNext);
  EXPECT_TRUE(Has(PortReport(), "   InfoBlock Reset Temperature log 64 bytes \r\n"));
}

TEST_F(InfoBlock, CheckPassesOnTheFormattedDrive) {
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge}) {
    SCOPED_TRACE(static_cast<int>(mode));
    EmulatedStation s(mode);
    ASSERT_TRUE(s.Device().BuildInfoBlock(true, false, nullptr, false));
    Formatted(s);
    EXPECT_TRUE(s.Device().CheckInfoBlock(false));
    EXPECT_TRUE(Has(PortReport(), "[ Success ] Check InfoBlock progress OK. \r\n"));
    CPortDevice& unbuilt = s.NewDevice();
    EXPECT_FALSE(unbuilt.CheckInfoBlock(true));
    EXPECT_EQ(unbuilt.m_ErrorMessage, "InfoBlock is not built!!");
    EXPECT_FALSE(Has(PortReport(), "InfoBlock is not built!!"));  // without the capacity part the caller reports
  }
}

TEST_F(InfoBlock, FailuresSetCodeMessageAndFailReport) {
  const auto build = [](EmulatedStation& s) { return s.Device().BuildInfoBlock(true, false, nullptr, false); };
  const auto check = [&](EmulatedStation& s) { return build(s) && (Formatted(s), s.Device().CheckInfoBlock(false)); };
  const struct {
    std::function<bool(EmulatedStation&)> run;
    const char* code;
    const char* printed;
    std::string message;
    const char* counter;  // a failed build wastes no number
  } rows[] = {
      {[&](EmulatedStation& s) { return SetIni(kSnFile, "Global_Setting", "Last SN", "KX99999999"), build(s); },
       "S_x13", "0x00C", "Serial Number is used up!!(C:\\SATA_Setting.ini)", "KX99999999"},
      {[&](EmulatedStation& s) {
         platform::SetLockFault([](const std::string& f, platform::LockStep step) {
           return f == SnFolder() && step == platform::LockStep::Lock ? ENOLCK : 0;
         });
         const bool built = build(s);
         platform::SetLockFault({});
         return built;
       },
       "S_x14", "0x00D",
       "Write Serial Number setting fail!!(C:\\SATA_Setting.ini: the folder " + SnFolder() +
           " cannot be locked: No locks available)",
       kSerial},
      {[&](EmulatedStation& s) {  // no drive C:
         const std::string root = SnFolder();
         std::filesystem::rename(root, root + ".away");
         const bool built = build(s);
         std::filesystem::rename(root + ".away", root);
         return built;
       },
       "S_x14", "0x00D",
       "Write Serial Number setting fail!!(C:\\SATA_Setting.ini: OS error 3, The system cannot find the path "
       "specified.)",
       kSerial},
      {[&](EmulatedStation& s) {
         platform::SetWriteFault([](const std::string& path) -> win::DWORD {
           return path.ends_with("SATA_Setting.ini") ? win::ERROR_DISK_FULL : 0;
         });
         const bool built = build(s);
         platform::SetWriteFault({});
         return built;
       },
       "S_x14", "0x00D",
       "Write Serial Number setting fail!!(C:\\SATA_Setting.ini: OS error 112, There is not enough space on the "
       "disk.)",
       kSerial},
      {[&](EmulatedStation& s) { return SetIni(".\\paramFDB.ini", "Options", "SetSSDSize", "4096"), build(s); },
       "S_x15", "0x00E", "InfoBlock capacity is out of range!!(4096 GB)", kSerial},
      {[](EmulatedStation& s) { return s.Device().BuildInfoBlock(true, true, nullptr, false); }, "S_x16", "0x00F",
       "Keep_Device_Info: no info block read from device!!", kSerial},
      {[&](EmulatedStation& s) { return s.Drive().Faults().RefuseAccessKey(3), check(s); }, "I_x01", "0x400",
       "Issue Set AP key command Fail.", kNext},
      {[&](EmulatedStation& s) { return s.Drive().Faults().FailNext(1, {0x21, 0x28, 0}), check(s); }, "I_x45",
       "0x42C", "Issue DirectReadInfoBlock Command Failed!!!", kNext},
      {[&](EmulatedStation& s) { return build(s) && s.Device().CheckInfoBlock(false); }, "I_x47", "0x42E",
       "InfoBlock ubSerialNumber is not match!!(Device:KX0000000000000001, Build:KXA2405000000000001)", kNext},
      {[&](EmulatedStation& s) { return SetIni(".\\paramFDB.ini", "Options", "SetSSDSize", "480"), check(s); },
       "I_x48", "0x42F", "InfoBlock Capacity is not match!!(Device:1000215216, InfoBlock:937703088)", kNext},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.message);
    SetUp();
    EmulatedStation s(Mode::TesterDirect);
    EXPECT_FALSE(r.run(s));
    ExpectFailed(s.Device(), r.code, r.printed, r.message);
    EXPECT_EQ(Counter(), r.counter);
  }
}

}  // namespace
