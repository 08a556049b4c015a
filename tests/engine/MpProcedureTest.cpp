// The MP station run by a port job on an emulated drive, every step real.
#include "engine/PortJob.h"
#include "tests/media/FirmwareFiles.h"
#include "tests/support/EmulatedStation.h"

namespace {
using kxtest::Has;
using kxtest::Mode;
using C = emu::RunningCode;
using Station = kxtest::EmulatedStation;
const std::vector<std::uint8_t> kImage = kxtest::NamedImage("QVF10001", 16384 + 1024);

struct MpProcedure : kxtest::DeviceTestEnv {
  MpProcedure() {
    MakeDirs(".\\Configuration\\System");
    for (auto [file, section, key, value] : std::initializer_list<std::array<const char*, 4>>{
             {".\\Configuration\\System\\MPToolSetting.ini", "General Info", "TestStation", "MP"},
             {".\\Configuration\\System\\MPToolSetting.ini", "General Info", "IniFilePath", "FT_B0KB_S2_C2_.ini"},
             {".\\param.ini", "Options", "DDRSize", "4"},
             {".\\param.ini", "Options", "Set Firmware Name", "QVF10001"},
             {".\\paramFDB.ini", "Flash Info", "Flh_ID", "2c 84 64 3c a5 08 04"},
             {".\\paramFDB.ini", "Flash Info", "Flh_Number", "8"},
             {".\\paramFDB.ini", "Flash Info", "Flh_MPBinType", "7312"},
             {".\\paramFDB.ini", "Options", "SetSSDSize", "1"}})
      SetIni(file, section, key, value);
    kxtest::InstallBin(kImage);
  }
  void RunJob(Mode mode, C code, const std::function<void(Station&)>& fault = {}) {
    emu::DriveConfig c;
    c.initialCode = code, c.blocksPerPlane = 64, c.dramLog2Mb = 2, c.eraseMs = 200, c.capacitySectors = 1974672;
    c.fuseWord2 = 0x45123456, c.fuseWord3 = 0x15;  // a factory die identity: no field zero
    c.flashCode.assign(kImage.begin() + kxtest::kNormalCodeAt, kImage.end());
    station_.reset();
    station_ = std::make_unique<Station>(mode, 1, c);
    if (fault) fault(*station_);
    std::filesystem::remove(Native("D:\\Log\\SATA_RecordSN.ini"));
    result_ = "H_F8";
    (new CPortJob(1, &locks_, &cell_, &progress_, station_->DriveNo(), 1, nullptr, nullptr, "D:\\Log", &result_,
                  nullptr, nullptr))
        ->Run(0);
    EXPECT_TRUE(locks_[2].try_lock());
    locks_[2].unlock();
  }
  static std::string Record() { return ReadAll("D:\\Log\\SATA_RecordSN.ini"); }
  std::unique_ptr<Station> station_;
  kx::PageLocks locks_;
  kx::StatusCellModel cell_;
  kx::ProgressModel progress_;
  std::string result_;
};

TEST_F(MpProcedure, GoodDrivePasses) {
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge, Mode::SataPort}) {
    for (C code : {C::Mcode, C::Boot, C::RomMp, C::RomRdt}) {
      SCOPED_TRACE(static_cast<int>(code));
      SCOPED_TRACE(static_cast<int>(mode));
      // A drive without RDT results has no RDT-built table to check against.
      SetIni(".\\param.ini", "Options", "CheckBBT", code == C::Boot || code == C::Mcode ? "0" : "1");
      RunJob(mode, code);
      printf("MODE %d CODE %d -> %s\n", (int)mode, (int)code, result_.c_str());
      EXPECT_EQ(result_, "0_00") << PortReport();
      EXPECT_EQ(cell_.GetStateText(), "Pass");
      EXPECT_TRUE(Has(PortReport(), "[ End ] Time: (")) << PortReport();
      EXPECT_TRUE(Has(Record(), "[Port-1 PASS]")) << Record();
      EXPECT_EQ(station_->Drive().Code(), C::RomMp);
    }
  }
}
}  // namespace
