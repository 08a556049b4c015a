// The RDT-result station run by a port job on a small emulated drive whose RDT run is complete, every step real.
#include <cstring>

#include "engine/PortJob.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/RecordChecks.h"
#include "tests/support/ScratchFolder.h"

namespace {
using kxtest::Has;
using kxtest::Mode;
struct RdtResultProcedure : kxtest::DeviceTestEnv {
  RdtResultProcedure() { kx::SetWorkOrderPath("D:\\Log\\WO_T_1.txt"); }
  ~RdtResultProcedure() override { kx::SetWorkOrderPath(""); }
  void RunJob(Mode mode, std::uint8_t rdtResult = 0x01, bool cardAbsent = false) {
    MakeDirs(".\\Configuration\\System");
    SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "TestStation", "RDTResult");
    emu::DriveConfig c;
    c.initialCode = emu::RunningCode::RomRdt, c.blocksPerPlane = 256, c.rdtRun.resultCode = rdtResult;
    c.markedBadBlocks = {{{.ce = 9, .die = 0, .plane = 0, .block = 7}, emu::MarkKind::Rdt, 0x04}};
    kxtest::EmulatedStation s(mode, 1, c);  // its RDT found one bad block on CE 9
    s.Site().SetTesterFaults(1, {.cardAbsent = cardAbsent});
    RunOn(s);
  }
  // The read-out job on the station's drive as it is now.
  void RunOn(kxtest::EmulatedStation& s) {
    SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "TestStation", "RDTResult");
    std::filesystem::remove_all(Native("C:\\KXMP")), std::filesystem::remove(Native("D:\\Log\\SATA_RecordSN.ini"));
    std::filesystem::remove(Native("D:\\Log\\WO_T_1.txt")), std::filesystem::remove(Native("D:\\Log\\Error_Debug.log"));
    (new CPortJob(10, &locks_, &cell_, nullptr, s.DriveNo(), 1, nullptr, nullptr, "D:\\Log", &result_, nullptr,
                  nullptr))->Run(0);
    for (log_.clear(); const auto& e : std::filesystem::directory_iterator(Native("C:\\KXMP\\Log")))
      log_ += ReadAll("C:\\KXMP\\Log\\" + e.path().filename().string());
  }
  kx::PageLocks locks_;
  kx::StatusCellModel cell_;
  std::string result_, log_;  // log_: the station's copies of the port report
};

TEST_F(RdtResultProcedure, DriveThatRanItsRdtPasses) {
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge, Mode::SataPort}) {
    RunJob(mode);
    EXPECT_EQ(result_ + cell_.GetWindowText().substr(0, 19), "0_00Pass*CE:OB/RB*00: 0");
    EXPECT_TRUE(Has(cell_.GetWindowText(), "*09: 0/ 1 (P: 0)*") && Has(log_, "Read RDT Log, Total take(sec): ") &&
                Has(log_, "[ End ] Time: (") && Has(ReadAll("D:\\Log\\RDT\\KX0000000000000001_RDT.txt"), "Pass"));
    EXPECT_EQ(ReadAll("C:\\KXMP\\Configuration\\Temp\\#1.bin").size(), kx::kBlockRecordSize);
    EXPECT_TRUE(Has(ReadAll("D:\\Log\\WO_T_1.txt"), ",Pass\r\n"));  // no serial number read: no pass record
    EXPECT_FALSE(Has(ReadAll("D:\\Log\\SATA_RecordSN.ini"), "[Port-1 PASS]"));
  }
}

TEST_F(RdtResultProcedure, FailuresEndWithTheirCodeStateAndRecords) {
  const char* const rows[][3] = {{"\x01", "P_A01", ""}, {"\x11", "I_T52", "RDT_RESULT_FLH_TEST_TIME_OUT"},
      {"\x01", "F_T31", "[end]RDT Test Failed, CE9 Die0 Plane0 Bad(1) > Setting Spec.(0)"}, {"\x15", "I_T54",
      "RDT_RESULT_SYS_BlK_ERROR"}, {"\x12", "I_T53", "RDT_RESULT_FLH_TEST_BB_OVER"}, {"\x13", "I_T55",
      "RDT_RESULT_FLH_ID_ERROR"}, {"\x14", "I_T55", "RDT_RESULT_FLH_ID_MISS_ERROR"}};
  for (const auto& [rdt, code, message] : rows) {
    const bool empty = code[0] == 'P', limit = code[3] == '3';  // card absent; RDT limits exceeded
    SetIni(".\\paramFDB.ini", "RDT", "RDT_Plane_MaxBadBlkRatio_KX", limit ? "0.1" : "");
    RunJob(Mode::TesterDirect, static_cast<std::uint8_t>(rdt[0]), empty);
    EXPECT_EQ(result_ + std::to_string(g_PortResult[0]), code + std::to_string(empty ? 4 : 0));
    const std::string shown = (empty ? "" : CPortDevice::FormatErrorCode(code)) + (limit ? "*CE:OB/RB*" : "");
    const std::string block = std::string("Error Message : ") + message;
    EXPECT_EQ(cell_.GetWindowText().substr(0, shown.size()), shown);  // per-CE counts only over the limits
    EXPECT_TRUE(Has(log_, empty ? "Test Station:RDTResult" : block) && Has(ReadAll("D:\\Log\\SATA_RecordSN.ini"),
                "[Port-1 Error]") && (empty || log_.find(block, log_.find(block) + 1) == std::string::npos)) << code;
    EXPECT_TRUE(kxtest::FailureOnRecord(result_, 1, PortReport(), ReadAll("D:\\Log\\Error_Debug.log"),
                                        ReadAll("D:\\Log\\SATA_RecordSN.ini")));
  }
}

// A limit that is no number, or one out of range, fails the read-out with the
// setting's message before any log is read: never F_T31, never a wrapped limit.
TEST_F(RdtResultProcedure, ALimitThatIsNoNumberFailsWithTheSetting) {
  const struct {
    const char *key, *value, *message;
  } rows[] = {
      {"RDT_Plane_MaxBadBlkRatio_KX", "nan",
       "Setting [RDT] RDT_Plane_MaxBadBlkRatio_KX = nan in .\\paramFDB.ini is not a valid number"},
      {"RDT_Plane_MaxBadBlkRatio_KX", "419430400.5",
       "Setting [RDT] RDT_Plane_MaxBadBlkRatio_KX = 419430400.5 in .\\paramFDB.ini is out of range"},
      {"RDT_MaxEraseBadBlkCount", "4294967297",
       "Setting [RDT] RDT_MaxEraseBadBlkCount = 4294967297 in .\\paramFDB.ini is out of range"},
  };
  MakeDirs(".\\Configuration\\System");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.value);
    SetIni(".\\paramFDB.ini", "RDT", r.key, r.value);
    emu::DriveConfig c;
    c.initialCode = emu::RunningCode::RomRdt, c.blocksPerPlane = 256;
    kxtest::EmulatedStation s(Mode::TesterDirect, 1, c);
    RunOn(s);
    SetIni(".\\paramFDB.ini", "RDT", r.key, "");
    EXPECT_EQ(result_, "S_x29");
    EXPECT_EQ(cell_.GetErrorMessage(), r.message);
    EXPECT_TRUE(Has(log_, std::string("Error Message : ") + r.message));
    EXPECT_TRUE(s.DriveSent(0x21, 0x50).empty());  // no RDT log read
  }
}

// A drive on other flash firmware shows its bad-block counts on 8- and 16-slot
// testers; elsewhere, and a drive not on flash code at all, fail.
TEST_F(RdtResultProcedure, DriveNotOnRdtFirmware) {
  using C = emu::RunningCode;
  const std::uint32_t orange = kx::Rgb(255, 165, 0), red = kx::Rgb(255, 0, 0);
  const struct {
    C code;
    const char *slots, *result, *text;
    std::uint32_t back;
  } rows[] = {{C::RomMp, "8", "0_00", "Pass*CE:OB+OLB/RB*", orange},
              {C::RomMp, "16", "0_00", "Pass*", orange},
              {C::RomMp, "24", "I_B67", "", red},
              {C::Boot, "8", "I_B67", "", red}};
  MakeDirs(".\\Configuration\\System");
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.slots) + (r.code == C::Boot ? " boot" : " mp"));
    SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "SlotNumber", r.slots);
    emu::DriveConfig c;
    c.initialCode = r.code, c.blocksPerPlane = 256;
    kxtest::EmulatedStation s(kxtest::Mode::TesterDirect, 1, c);
    RunOn(s);
    const bool pass = std::string(r.result) == "0_00";
    EXPECT_EQ(result_, r.result);
    EXPECT_EQ(cell_.Snapshot().backColor, r.back);
    EXPECT_EQ(cell_.GetWindowText().substr(0, std::strlen(r.text)), r.text);
    EXPECT_EQ(cell_.GetErrorMessage(), pass ? cell_.GetErrorMessage() : "[ChkRC]Not Running on Flash Code now");
    EXPECT_EQ(Has(log_, "Read BBT Info, Total take(sec): ") && Has(log_, "[ End ] Time: ("), pass);
    EXPECT_EQ(s.DriveSent(0x21, 0x50).empty(), true);  // no RDT log read
  }
}
}  // namespace
