// The DRAM test against the DRAM that the emulated drive's code in RAM reaches by DMA.
#include <gtest/gtest.h>

#include "device/PortDevice.h"
#include "drivetests/DramTest.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;

emu::CommandFilter Op(std::uint8_t opcode, std::uint32_t skip) {
  emu::CommandFilter f;
  f.opcode = opcode;
  f.skip = skip;
  return f;
}

class DramTest : public kxtest::DeviceTestEnv {};

// A drive running its code in RAM, with 4 MB of DRAM.
emu::DriveConfig Burner() {
  emu::DriveConfig c;
  c.initialCode = emu::RunningCode::Mcode;
  c.dramLog2Mb = 2;
  return c;
}

TEST_F(DramTest, EveryAddressWrittenReadAndCompared) {
  EmulatedStation s(Mode::TesterDirect, 1, Burner());
  SetIni(".\\param.ini", "Options", "DDRSize", "4");
  kx::ProgressModel bar;
  bar.SetPos(60);
  ASSERT_TRUE(s.Device().TestSdrByDma(&bar, 30, 0));
  EXPECT_EQ(bar.GetPos(), 90);
  EXPECT_EQ(kx::DramTestSectors(0xFFFFFFFFu), 268435456u);  // what a 28-bit address reaches
  EXPECT_TRUE(Has(PortReport(), "[ Success ] DRAM Test OK(4 MB)- Total take "));
  std::size_t writes = 0;
  for (const auto& e : s.Drive().Trace()) writes += e.request.command == 0xCA ? 1 : 0;
  EXPECT_EQ(writes, 32u);                                                   // 8192 sectors, 256 a command
  EXPECT_EQ(s.Drive().ReadMedia(0, 1), std::vector<std::uint8_t>(512, 0));  // the media is untouched
}

TEST_F(DramTest, FailuresNameTheAddress) {
  const struct {
    void (*fault)(emu::DriveFaults&);
    const char* ddrSize;
    const char *code, *message;
  } rows[] = {
      {[](emu::DriveFaults&) {}, "8", "D_S01", "DRAM Size is not match(Device:4 MB, INI:8 MB)"},
      {[](emu::DriveFaults& f) { f.FailNext(1, Op(0xCA, 2)); }, "0", "D_S02", "DMA Write DDR Failed(Address=0x200)"},
      {[](emu::DriveFaults& f) { f.FailNext(1, Op(0xC8, 0)); }, "0", "D_S02", "DMA Read DDR Failed(Address=0x0)"},
      {[](emu::DriveFaults& f) { f.AddDramError(0x1A5); }, "0", "D_S02", "DRAM Compare Failed(Address=0x1A5)"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.message);
    EmulatedStation s(Mode::Bridge, 1, Burner());
    SetIni(".\\param.ini", "Options", "DDRSize", r.ddrSize);
    r.fault(s.Drive().Faults());
    EXPECT_FALSE(s.Device().TestSdrByDma(nullptr, 30, 0));
    EXPECT_EQ(s.Device().m_ErrorCode, r.code);
    EXPECT_EQ(s.Device().m_ErrorMessage, r.message);
    EXPECT_TRUE(Has(PortReport(), std::string("Error Message : ") + r.message));
  }
  EXPECT_TRUE(Has(PortReport(), "   0x1A5 byte 64: written 0x"));  // the bad cell's bit
}

}  // namespace
