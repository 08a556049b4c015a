// The bad-block table helpers on literal bytes, and the table steps against the
// emulated drive, each failure with its code, message and report lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "device/Format.h"
#include "device/PortDevice.h"
#include "media/BbtTable.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;

TEST(BbtHelpers, ChecksumLengthsAndThirdBbtForms) {
  const char check[] = "123456789";
  EXPECT_EQ(kx::BbtCrc16(reinterpret_cast<const std::uint8_t*>(check), 9), 0xD64E);
  EXPECT_EQ(kx::BbtCrcLength(1024, 9, 2, 16384), 16384u);  // clamped to the table
  EXPECT_EQ(kx::BbtCrcLength(1024, -1, 2, 16384), 0u);
  EXPECT_EQ(kx::Bbt3rdSectorsPerCe(1001), 3u);
  EXPECT_EQ(kx::BbtSelector(9, 2), 3u);
  EXPECT_EQ(kx::BbtSelector(9, 1), 9u);
  EXPECT_EQ(kx::scanrec::LaterOffset(1, 0, 0, 1), 19728u);
  struct Row { std::uint8_t existing, flags, entry; } rows[] = {
      {0x00, 0x00, 0x40}, {0x00, 0x01, 0x84}, {0x00, 0x02, 0x82}, {0x00, 0x04, 0x81}, {0x00, 0x08, 0x84},
      {0x00, 0x0A, 0x82}, {0x00, 0x30, 0x80}, {0x00, 0xC0, 0x80}, {0x02, 0x08, 0x42}};
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "flags " << int(r.flags) << " on " << int(r.existing));
    EXPECT_EQ(kx::Bbt3rdEntry(r.existing, r.flags), r.entry);
  }
  EXPECT_EQ(kx::BbtFlagsFrom3rdEntry(0x47), 0x00);
  EXPECT_EQ(kx::BbtFlagsFrom3rdEntry(0x83), 0x86);
  std::uint8_t sector[512] = {};
  std::memset(sector + 4, 0x40, 500);
  kx::Seal3rdBbtSector(sector, true, 0x12345, 0);
  const std::uint8_t tail[8] = {0x45, 0x23, 0, 0, 0, 0, 0xA0, 0x7E};  // byte sum 312 + 32000 + 104
  EXPECT_EQ(std::memcmp(sector, "KXBS", 4), 0);
  EXPECT_EQ(std::memcmp(sector + 504, tail, 8), 0);
}

class BbtTable : public kxtest::DeviceTestEnv {
 protected:
  static void ExpectFailed(CPortDevice& d, bool result, const char* code, const std::string& message) {
    EXPECT_FALSE(result);
    EXPECT_EQ(d.m_ErrorCode, code);
    EXPECT_EQ(d.m_ErrorMessage, message);
  }
  static emu::DriveConfig Drive(std::uint32_t dies, std::uint32_t blocksPerPlane) {
    emu::DriveConfig c;
    c.diesPerCe = dies;
    c.blocksPerPlane = blocksPerPlane;
    c.factoryBadBlocks = {{.ce = 1, .die = 0, .plane = 1, .block = 5}};
    c.markedBadBlocks = {{{.ce = 9, .die = 0, .plane = 0, .block = 7}, emu::MarkKind::Later, 0x04}};
    c.preset3rdBbt = true;
    return c;
  }
};

TEST_F(BbtTable, ReadsInChunksAndComputesTheChecksum) {
  emu::DriveConfig c = Drive(2, 4800);  // 300 sectors
  c.badBbtChecksum = true;              // the drive stores the complement of the CRC
  EmulatedStation s(Mode::TesterDirect, 1, c);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.CheckSystemInfo());
  d.m_FlashCount = 8;
  kx::BbtParameter param;
  std::uint16_t readSum = 0, rdtSum = 0;
  ASSERT_TRUE(d.ReadRdtInfo(nullptr, &rdtSum));
  ASSERT_TRUE(d.ReadBbt(&param, &readSum));
  EXPECT_EQ(readSum, rdtSum ^ 0xFFFF);
  const auto reads = s.DriveSent(0x21, 0x7F);
  ASSERT_EQ(reads.size(), 5u);  // RDT info, parameter, three body chunks
  EXPECT_EQ(reads[4].request.count, 44);
  EXPECT_EQ(reads[4].request.lbaHigh, 1);  // sector offset 256
  kxtest::ExpectParts(PortReport(), {"   Find RDT Info \r\n", "   RDT_BuildBBT:1 \r\n", "   Find BBT parameter \r\n",
                                     kx::StrFormat("   Read BBT checksum:%x \r\n", readSum)});
}

TEST_F(BbtTable, ReadFailures) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(2, 4800));
  CPortDevice& d = s.Device();
  d.m_ErrorCode = "P_A00";
  s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x7F, .skip = 2});
  ExpectFailed(d, d.ReadBbt(nullptr, nullptr), "P_A00", "Issue Read BBT Command Failed !!!");  // the code stays
  EXPECT_TRUE(d.m_BbtBuffer.empty());
  EXPECT_TRUE(Has(PortReport(), "   Issue Read BBT Command Failed !!! \r\n"));
  EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));
  s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x7F});
  ExpectFailed(d, d.ReadRdtInfo(nullptr, nullptr), "P_A00", "Issue ReadRDTInfo Command Failed !!!");
  s.Drive().Faults().RefuseAccessKey(emu::DriveFaults::kForever);
  ExpectFailed(d, d.ReadBbt(nullptr, nullptr), "I_J01", "Issue Set AP key command Fail.");
  EXPECT_TRUE(Has(PortReport(), "Error Code : 0x400"));
}

TEST_F(BbtTable, MissingSignaturesAreQuiet) {
  emu::DriveConfig boot;
  boot.initialCode = emu::RunningCode::Boot;
  EmulatedStation s(Mode::TesterDirect, 1, boot);
  const std::size_t before = (s.Device(), PortReport().size());
  EXPECT_FALSE(s.Device().ReadBbt(nullptr, nullptr));
  EXPECT_FALSE(s.Device().ReadRdtInfo(nullptr, nullptr));
  EXPECT_EQ(PortReport().size(), before);
}

TEST_F(BbtTable, WritesInPageUnitsThenTheRdtRecord) {
  EmulatedStation s(Mode::Bridge, 1, Drive(1, 2048));
  CPortDevice& d = s.Device();
  d.m_Page8K = true;
  d.m_BlocksPerPlane = 1;
  d.m_FlashCount = 1;
  kx::BbtParameter param;
  param.SetBbtSectors(37);
  std::vector<std::uint8_t> body(37 * 512, 0);
  body[100] = 0x84;
  std::uint16_t sum = 0;
  ASSERT_TRUE(d.WriteBbt(body.data(), nullptr, &param, &sum, 0x07));
  EXPECT_EQ(sum, 0x1E0F);  // CRC of the one covered byte, 0x00
  const auto writes = s.DriveSent(0x31, 0x81);
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[2].request.count, 5);
  EXPECT_EQ(writes[2].request.lbaMid, 32);  // byte offset 16384
  EXPECT_EQ(writes[3].request.lbaMid, 48);  // the RDT record carries 24,576 bytes
  const auto rdt = s.Drive().RdtInfo();
  EXPECT_EQ(std::memcmp(rdt.data(), "KXRT", 4), 0);
  EXPECT_EQ(rdt[27], 0x03);
  EXPECT_EQ(rdt[21] | rdt[22] << 8, sum);
  EXPECT_EQ(rdt[17], 0);  // the drive's record was replaced, not kept
  EXPECT_EQ(s.Drive().BbtBody()[100], 0x84);
  s.Drive().Faults().FailNext(1, {.opcode = 0x31, .subCommand = 0x81, .skip = 3});
  ExpectFailed(d, d.WriteBbt(body.data(), nullptr, &param, nullptr, 0), "F_T32", "Issue Write BBT Command Failed !!!");
  EXPECT_TRUE(Has(PortReport(), "Error Code : 0x31F"));
}

TEST_F(BbtTable, ThirdBbtRoundTrip) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(1, 1024));
  CPortDevice& d = s.Device();
  kx::BbtParameter param;
  ASSERT_TRUE(d.ReadBbt(&param, nullptr));
  std::vector<std::uint8_t> merged(param.BbtSectors() * 512, 0);
  std::uint32_t bytes = 0;
  ASSERT_TRUE(d.Read3rdBbt(merged.data(), &param, &bytes));
  EXPECT_EQ(bytes, 16u * 5 * 512);
  EXPECT_EQ(merged[5 * 16 + 2 * 2 + 1], 0x80);  // CE 1 = selector 2
  EXPECT_EQ(merged[7 * 16 + 3 * 2], 0x84);      // CE 9 = selector 3, erase fail
  EXPECT_EQ(std::count(merged.begin(), merged.end(), 0), static_cast<long>(merged.size()) - 2);
  ASSERT_TRUE(d.Write3rdBbt(&param));  // from the table read: later bad with the erase cause
  const auto stored = s.Drive().Bbt3rd(3);
  ASSERT_EQ(stored.size(), 10u * 512);
  EXPECT_EQ(stored[4 + 14], 0x81);
  EXPECT_EQ(stored[512 + 4 + 14], 0x7E);  // the complement
  EXPECT_EQ(stored[508], 1);              // one bad block in sector 0
  param.SetChannelModulus(4);  // below the column count: written by column, read by selector
  s.Drive().ClearTrace();
  ASSERT_TRUE(d.Write3rdBbt(&param));
  ASSERT_TRUE(d.Read3rdBbt(nullptr, &param, nullptr));
  std::set<int> columns, selectors;
  for (const auto& e : s.DriveSent(0x31, 0x48)) columns.insert(e.request.lbaLow);
  for (const auto& e : s.DriveSent(0x21, 0x47)) selectors.insert(e.request.lbaLow);
  EXPECT_EQ(columns, (std::set<int>{0, 1, 2, 3}));
  EXPECT_EQ(selectors, (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(BbtTable, ThirdBbtAndDebugFailures) {
  EmulatedStation s(Mode::Bridge, 1, Drive(1, 16384));  // 66 sectors: 128 + 4 physical
  CPortDevice& d = s.Device();
  kx::BbtParameter param;
  ASSERT_TRUE(d.ReadBbt(&param, nullptr));
  s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x47, .skip = 1});
  ExpectFailed(d, d.Read3rdBbt(nullptr, &param, nullptr), "F_x50", "Read 3rd BBT Failed !!!");
  EXPECT_TRUE(Has(PortReport(), "   Issue Read 3rd BBT Command Failed !!! \r\n"));
  EXPECT_FALSE(Has(PortReport(), "Error Code : 0x340"));  // no fail report for the last partial chunk
  s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x47});
  EXPECT_FALSE(d.Read3rdBbt(nullptr, &param, nullptr));
  EXPECT_TRUE(Has(PortReport(), "Error Code : 0x340"));
  s.Drive().Faults().FailNext(1, {.opcode = 0x31, .subCommand = 0x48});
  ExpectFailed(d, d.Write3rdBbt(&param), "F_T32", "Write 3rd BBT Failed !!!");
  std::vector<std::uint8_t> big(4097 * 512);
  ExpectFailed(d, d.Read3rdBbtRaw(big.data(), 4097, 0), "F_T34", "3rd BBT of 4097 sectors exceeds the staging buffer !!!");
  d.ReleaseBbt();
  ExpectFailed(d, d.Write3rdBbt(&param), "F_T34", "BBT is not read or smaller than its parameter !!!");
  ASSERT_TRUE(d.ReadDebugInfo(big.data(), 1, 1));
  EXPECT_EQ(std::memcmp(big.data(), "Tavlin", 6), 0);  // the info block
  s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x83});
  ExpectFailed(d, d.ReadDebugInfo(big.data(), 1, 0), "F_x50", "Issue Read Debug Infomation Command Failed !!!");
  EXPECT_TRUE(Has(PortReport(), "   Issue Read Debug Infomation Command Failed !!! \r\n"));
}

}  // namespace
