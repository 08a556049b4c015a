// The parameter comparison from literal values, then the device checks on the emulated station.
#include "bringup/DeviceChecks.h"

#include <gtest/gtest.h>

#include <functional>

#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

TEST(ParamCompare, FirstDifferingFigure) {
  std::array<std::string, 64> ids;
  ids.fill("00 00 00 00 00 00 00");
  ids[3] = "2c 84 64 3c a5 08 04";
  const kx::DriveFigures drive{.dashVersion = 1, .tlc = true, .flashIds = &ids, .physicalSizeMb = 524288,
                               .ddrSizeMb = 512, .sataGen = 3};
  const struct { std::function<void(kx::ParamFigures&)> change; bool qc; const char* code, *message; } rows[] = {
      {[](auto&) {}, true, "", ""},
      {[](auto& p) { p.dashVersion = "02"; }, true, "P_x06", "Dash Version is not match(Device:01, INI:02)"},
      {[](auto& p) { p.flashType = "MLC"; }, false, "P_x07", "Flash Type is not match(Device:TLC, INI:MLC)"},
      {[](auto& p) { p.makerCode = "98"; }, false, "P_x09",
       "Flash Maker is not match on Flash_Num-3(Device:2C, INI:98)"},
      {[](auto& p) { p.capacityMb = 1048576; }, false, "P_x10",
       "Flash Capacity is small than param.ini setting(Device:524288 MB, INI:1048576 MB)"},
      {[](auto& p) { p.ddrSizeMb = 1024; }, false, "P_x11", "DRAM Size is not match(Device:512 MB, INI:1024 MB)"},
      {[](auto& p) { p.sataSpeed = 2; }, false, "P_x16", "SATA Speed is not match(Device:Gen3, INI:Gen2)"}};
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(i);
    kx::ParamFigures ini{.dashVersion = "01", .flashType = "3D tlc", .makerCode = "0x2C", .capacityMb = 262144,
                         .ddrSizeMb = 512, .sataSpeed = 3};
    rows[i].change(ini);
    const auto f = kx::CompareParamWithDrive(ini, drive, rows[i].qc);
    EXPECT_EQ(f ? f->code : "", rows[i].code);
    EXPECT_EQ(f ? f->message : "", rows[i].message);
  }
}

class DeviceChecks : public kxtest::DeviceTestEnv {
 protected:
  static void ExpectFailed(CPortDevice& d, bool ok, const std::string& code, const std::string& msg, bool rep = true) {
    EXPECT_FALSE(ok);
    EXPECT_EQ(d.m_ErrorCode, code);
    EXPECT_EQ(d.m_ErrorMessage, msg);
    EXPECT_EQ(kxtest::Has(PortReport(), "[ Fail ]  Error Message : " + msg + " \r\n"), rep);
  }
};

TEST_F(DeviceChecks, IoState) {
  const struct { std::function<void(kxtest::EmulatedStation&)> fault; const char* code, *message; } rows[] = {
      {[](auto& s) { s.Drive().Faults().RefuseAccessKey(3); }, "", ""},  // a card-and-tester reset brings the key back
      {[](auto& s) { s.Site().SetDrive(1, nullptr); }, "P_A01", "Tester output voltage: Don't detect card"},
      {[](auto& s) { s.FrontEnd().Info().outputVoltage = 0; s.Site().SetTesterFaults(1, {.cardAbsent = true}); },
       "P_A01", "Power Off fail , Card State Is 0x00(Not detected Device)"},
      {[](auto& s) { s.Site().SetTesterFaults(1, {.detectTimesOut = true}); }, "T_A07",
       "Detect_Device Command-Polling Status Timeout"},
      {[](auto& s) { s.Drive().Faults().NoAnswer(2); }, "I_A24",
       "Power On fail , Card State Is 0x50(Have detected Device)"},
      {[](auto& s) { s.Drive().Faults().RefuseAccessKey(emu::DriveFaults::kForever); }, "I_A01",
       "Issue Set AP key command Fail."}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.message);
    kxtest::EmulatedStation s(kxtest::Mode::TesterDirect);
    r.fault(s);
    CPortDevice& d = s.Device();
    if (*r.code != '\0') {
      ExpectFailed(d, d.CheckIoState(1), r.code, r.message);
    } else {
      ASSERT_TRUE(d.CheckIoState(4));  // the QC mode reads the serial number
      EXPECT_EQ(d.m_TesterOutputVoltage, 1);
      EXPECT_EQ(d.m_SerialNumber, "KX0000000000000001");
      EXPECT_TRUE(kxtest::Has(PortReport(), "[ Success ] Check IO State OK- Total take "));
    }
  }
}

TEST_F(DeviceChecks, FlashNumberAgainstTheParameterFile) {
  kxtest::EmulatedStation s(kxtest::Mode::TesterDirect);
  CPortDevice& d = s.Device();
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_Number", "10");
  ASSERT_TRUE(d.CheckFlashNumber(0, 0, 0, 0));
  EXPECT_EQ(d.m_FlashCount, 8);
  ExpectFailed(d, d.CheckFlashNumber(0, 0, 1, 0), "M_D09",
               "Flash Number(8) < param.ini setting(10) have CE open or put number is uncorrectly!", false);
  s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x14, .skip = 2});
  ExpectFailed(d, d.CheckFlashNumber(0, 0, 1, 0), "I_x09", "Issue GetFlashID Command Failed on Flash_Num-2", false);
}

TEST_F(DeviceChecks, ParametersAndTheRdtInformation) {
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_ID", "2c 84 64 3c a5 08 04");
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_Number", "8");
  SetIni(".\\param.ini", "Device Info", "DashVersion", "01");
  kxtest::EmulatedStation s(kxtest::Mode::TesterDirect);
  CPortDevice& d = s.Device();
  d.m_SerialNumber = "SN/1";
  std::uint8_t rdt[64] = {};
  ASSERT_TRUE(d.VerifyParamWithDevice(4, true, rdt));
  EXPECT_EQ(d.m_PhysicalSize, 524288u);
  EXPECT_EQ(ReadAll(".\\RecordSystemInfoBlock_SN_1.Bin").substr(0, 6), "Tavlin");
  EXPECT_EQ(d.m_CeMap, s.Drive().RdtInfo()[19] | s.Drive().RdtInfo()[20] << 8);
  EXPECT_TRUE(kxtest::Has(PortReport(), "   Copy Temperature log 64 bytes \r\n"));
  s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x28});
  ExpectFailed(d, d.VerifyParamWithDevice(4, true, nullptr), "I_D45", "Issue DirectReadInfoBlock Command Failed!!!");
  SetIni(".\\param.ini", "Options", "DoBurnInTest", "1");
  ExpectFailed(d, d.VerifyParamWithDevice(4, true, nullptr), "P_x02",
               "Good Card Mark NOT enable(01), NOT pass (Self_)BurnIn stage!!");
  s.Drive().SetInfoBlockPage(0, std::vector<std::uint8_t>(512, 0));
  ASSERT_TRUE(d.VerifyParamWithDevice(1, true, rdt));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rdt), 4), "KXRT");
  EXPECT_TRUE(kxtest::Has(PortReport(), "   Read RDT Info from BBT \r\n"));
  s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x7F});
  ASSERT_TRUE(d.VerifyParamWithDevice(1, false, rdt));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rdt), 4), std::string(4, '\0'));
  EXPECT_TRUE(kxtest::Has(PortReport(), "   Reset Temperature log 64 bytes \r\n"));
}

}  // namespace
