// The surface tests' plain helpers on literal values, then the tests on the emulated drive.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "device/PortDevice.h"
#include "drivetests/CopyCompare.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;
using Bytes = std::vector<std::uint8_t>;

emu::CommandFilter PioWrites(std::uint32_t skip) {
  emu::CommandFilter f;
  f.opcode = 0x34;
  f.skip = skip;
  return f;
}

emu::DriveConfig Small(std::uint64_t sectors) {
  emu::DriveConfig c;
  c.capacitySectors = sectors;
  return c;
}

class CopyCompare : public kxtest::DeviceTestEnv {};

TEST_F(CopyCompare, SectorsCarryAddressPassAndBodyAndMismatchesSayWhatTheyHold) {
  const kx::TestPattern pass1(1);
  Bytes read(3 * 512);
  pass1.Fill(read.data(), 1, 0x0102030405060708ULL);
  EXPECT_EQ(Bytes(read.begin(), read.begin() + 17),
            (Bytes{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x01, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0xC9}));
  EXPECT_EQ(read[64], 0x39);
  pass1.Fill(read.data(), 3, 5);
  EXPECT_EQ(pass1.FirstMismatch(read.data(), 3, 5), 3u);
  const struct {
    std::function<void(std::uint8_t*)> damage;
    const char* text;
  } rows[] = {
      {[](std::uint8_t* s) { s[64] ^= 0x01; }, "0x6 byte 64: written 0x39, read 0x38"},
      {[&](std::uint8_t* s) { pass1.Fill(s, 1, 9); }, "0x6 holds the data of 0x9"},
      {[](std::uint8_t* s) { kx::TestPattern(2).Fill(s, 1, 6); }, "0x6 holds the data of pass 2, not of pass 1"},
      {[](std::uint8_t* s) { std::fill_n(s, 512, 0); }, "0x6 byte 0: written 0x06, read 0x00"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    Bytes copy = read;
    r.damage(copy.data() + 512);
    EXPECT_EQ(pass1.FirstMismatch(copy.data(), 3, 5), 1u);
    EXPECT_EQ(pass1.Describe(copy.data() + 512, 6), r.text);
  }
}

TEST_F(CopyCompare, BurnInAmountInSectors) {
  const struct {
    double amount;
    bool gb;
    std::uint64_t capacity, sectors;
    bool clamped;
  } rows[] = {{50, false, 1001, 500, false},     {150, false, 1001, 1001, true}, {1, true, 3000000, 2097152, false},
              {2, true, 3000000, 3000000, true}, {1e30, true, 9, 9, true},       {-5, true, 1000, 0, false},
              {NAN, false, 1000, 0, false},      {0.01, false, 1000, 0, false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::to_string(r.amount) + (r.gb ? " GB" : " %"));
    const kx::BurnInSpan span = kx::BurnInSectors(r.amount, r.gb, r.capacity);
    EXPECT_EQ(span.sectors, r.sectors);
    EXPECT_EQ(span.clamped, r.clamped);
  }
}

TEST_F(CopyCompare, AreasCapacityAndProgress) {
  const auto areas = kx::CopyCompareAreas(1000000);
  ASSERT_EQ(areas.size(), 3u);
  EXPECT_EQ(areas[1].first, 467232u);
  EXPECT_EQ(areas[2].first, 934464u);
  EXPECT_EQ(kx::CopyCompareAreas(100000).at(0).sectors, 100000u);
  Bytes id(512, 0);
  id[120] = 0x34, id[121] = 0x12, id[122] = 0x02;  // words 60-61: 0x21234
  id[200] = 0x05, id[204] = 0x01;                  // words 100-103: 0x100000005
  EXPECT_EQ(kx::IdentifyUserSectors(id.data()), 0x21234u);
  id[167] = 0x04;  // word 83 bit 10: 48-bit
  EXPECT_EQ(kx::IdentifyUserSectors(id.data()), 0x100000005u);
  EXPECT_EQ(kx::ProgressRun::PositionAt(10, 40, 1, 3), 20);
  EXPECT_EQ(kx::ProgressRun::PositionAt(10, 40, 5, 3), 40);
  EXPECT_EQ(kx::ProgressRun::PositionAt(40, 10, 1, 3), 40);
}

TEST_F(CopyCompare, DmaAndPioWriteReadCompareAndClear) {
  for (const bool dma : {true, false}) {
    SCOPED_TRACE(dma ? "DMA on a bridge" : "PIO on a tester");
    EmulatedStation s(dma ? Mode::Bridge : Mode::TesterDirect, 1, Small(1 << 20));
    ASSERT_TRUE(dma ? s.Device().CopyCompareTestDma(nullptr, 40) : s.Device().CopyCompareTestPio(nullptr, 40));
    EXPECT_TRUE(Has(PortReport(), dma ? "[ Success ] Copy Compare Test(DMA) OK- Total take "
                                      : "[ Success ] Copy Compare Test(PIO) OK- Total take "));
    std::size_t writes = 0;
    for (const auto& e : s.Drive().Trace()) writes += e.request.command == (dma ? 0x35 : 0x34) ? 1 : 0;
    EXPECT_EQ(writes, 1536u);  // three areas of 65536 sectors, 256 a command, the pattern then zeros
    EXPECT_EQ(s.Drive().ReadMedia(524288, 1), Bytes(512, 0));  // cleared
  }
}

TEST_F(CopyCompare, FailuresTakeTheirCodes) {
  const auto pio = [](CPortDevice& d) { return d.CopyCompareTestPio(nullptr, 40); };
  const auto burnIn = [](float percent) {
    return [percent](CPortDevice& d) { return d.WriteReadBurnIn(nullptr, 40, percent, 0, 1); };
  };
  const struct {
    std::function<bool(CPortDevice&)> run;
    std::function<void(emu::DriveFaults&)> fault;
    const char *code, *message;
  } rows[] = {
      {pio, [](auto& f) { f.FailNext(1, PioWrites(0)); }, "F_K11", "Copy Compare Test(PIO) Write Fail(LBA=0x0)"},
      {pio, [](auto& f) { f.FailNext(1, PioWrites(256)); }, "F_K11", "Copy Compare Test(PIO) Clear Fail(LBA=0x0)"},
      {pio, [](auto& f) { f.AddMediumError(0x80123); }, "F_K12", "Copy Compare Test(PIO) Read Fail(LBA=0x80100)"},
      {pio, [](auto& f) { f.AddSilentCorruption(0xFFF77); }, "F_K13",
       "Copy Compare Test(PIO) Compare Fail(LBA=0xFFF77)"},
      {burnIn(0), [](auto&) {}, "F_K17", "Write-Read BurnIn amount 0.000000 % covers no sector !!!"},
      {burnIn(100), [](auto& f) { f.AddSilentCorruption(0xFFF77); }, "F_K13",
       "Write-Read BurnIn Test Compare Fail(LBA=0xFFF77)"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.message);
    EmulatedStation s(Mode::SataPort, 1, Small(1 << 20));
    r.fault(s.Drive().Faults());
    EXPECT_FALSE(r.run(s.Device()));
    EXPECT_EQ(s.Device().m_ErrorCode, r.code);
    EXPECT_EQ(s.Device().m_ErrorMessage, r.message);
  }
  EXPECT_TRUE(Has(PortReport(), "   0xFFF77 byte 64: written 0x"));
}

TEST_F(CopyCompare, BurnInLoopsOverItsAmount) {
  EmulatedStation s(Mode::Bridge, 1, Small(40000));
  ASSERT_TRUE(s.Device().WriteReadBurnIn(nullptr, 40, 150.0f, 0, 2));
  ASSERT_TRUE(s.Device().WriteReadBurnIn(nullptr, 40, 0.01f, 1, 1));
  kxtest::ExpectParts(PortReport(),
                      {"Write-Read BurnIn amount 150.000000 % is over the drive, test the whole drive(40000 sectors)",
                       "   Do Write-Read BurnIn Test, Loop=1, Percent=100.000000 % \r\n",
                       "   Do Write-Read BurnIn Test, Loop=2, Percent=100.000000 % \r\n",
                       "[ Success ] Write-Read BurnIn Test OK(Loop=2)- Total take ",
                       "   Do Write-Read BurnIn Test, Loop=1, Capacity=0.010000 GB \r\n"});
}

}  // namespace
