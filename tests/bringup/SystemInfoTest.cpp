// The system-information record's field table, derived values and controller
// error texts as plain values; CheckSystemInfo against the emulated drive.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

#include "bringup/SystemInfo.h"
#include "device/PortDevice.h"
#include "protocol/KxSignatures.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kx::CellPageType;
using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;
using Record = std::array<std::uint8_t, 512>;
using Get = std::function<std::uint32_t(const kx::SystemInfo&)>;

Record With(std::initializer_list<std::pair<int, std::vector<std::uint8_t>>> parts) {
  Record r{};
  for (const auto& [at, bytes] : parts) std::copy(bytes.begin(), bytes.end(), r.begin() + at);
  return r;
}
std::vector<std::uint8_t> Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}
kx::SystemInfo Decode(const Record& r, kx::SystemInfoSettings settings = {}) {
  return kx::DecodeSystemInfo(r.data(), settings);
}

// ---- Plain decoding --------------------------------------------------------------

// One row per field: bytes at an offset of an otherwise zero record, the field's value.
// clang-format off
#define ROW(at, field, want, ...) \
  { #field, at, {__VA_ARGS__}, [](const kx::SystemInfo& s) { return static_cast<std::uint32_t>(s.field); }, want }
// clang-format on

TEST(SystemInfoFields, EachRowReadsItsBytes) {
  const struct {
    const char* name;
    int at;
    std::vector<std::uint8_t> bytes;
    Get get;
    std::uint32_t want;
  } rows[] = {
      // clang-format off
      ROW(0x00, flashCount, 7, 7), ROW(0x02, channelCount, 2, 2), ROW(0x03, ddrShift, 9, 9),
      ROW(0x06, diePerFlash, 4, 4), ROW(0x10, sysInfo10, 0x12345678, 0x78, 0x56, 0x34, 0x12),
      ROW(0x1C, maxBlockPerCe, 2048, 0x00, 0x08, 0, 0), ROW(0x28, sysInfo28, 0x01000020, 32, 0, 0, 1),
      ROW(0xCC, sysInfoCC, 0x1234, 0x34, 0x12), ROW(0xD0, blocksPerPlane, 1000, 0xE8, 0x03, 0, 0),
      ROW(0xD4, capacityUnit, 2048, 0, 0x08, 0, 0), ROW(0xD8, secondBlockCount, 0x04030201, 1, 2, 3, 4),
      ROW(0xDD, notToggleBit, 1, 0x04), ROW(0xDE, toggleBBit, 1, 0x04), ROW(0xE1, toggleAExBit, 1, 0x80),
      ROW(0xE2, roundBit2, 1, 0x04), ROW(0xE2, roundBit4, 1, 0x10), ROW(0xE2, noRoundBit6, 1, 0x40),
      ROW(0xE4, twoPlane, 1, 0x02), ROW(0xE4, twoPlane, 0, 0xFD), ROW(0xE4, page4K, 1, 0x04),
      ROW(0xE4, page8K, 1, 0x08), ROW(0xE5, slcBit, 1, 0x08), ROW(0xE5, mlcBit, 1, 0x10),
      ROW(0xE5, tlcBit, 1, 0x20), ROW(0xE5, page2K, 1, 0x40), ROW(0xE6, flashNotSupported, 1, 0x10),
      ROW(0xE7, page16K, 1, 0x20), ROW(0xE8, fourPlane, 1, 0x80), ROW(0xE8, fourPlane, 0, 0x7F),
      ROW(0xE9, dpsTableFlag, 1, 0x01), ROW(0xFC, errorInfo, 0x80000005, 0x05, 0, 0, 0x80),
      ROW(0x100, errorId, 0x1001, 0x01, 0x10), ROW(0x136, bit136, 1, 0x01),
      ROW(0x138, sysInfo138, 0xDEADBEEF, 0xEF, 0xBE, 0xAD, 0xDE), ROW(0x148, ceMask64Low, 0x0F0F, 0x0F, 0x0F, 0, 0),
      ROW(0x14C, ceMask64High, 0x80000000, 0, 0, 0, 0x80), ROW(0x169, sysInfo169, 6, 6),
      ROW(0x16A, ceMask64Enable, 1, 1), ROW(0x16D, rdtLoops, 3, 3), ROW(0x16E, rdtFastPageLoops, 2, 2),
      ROW(0x1D0, sysInfo1D0, 0xABCD, 0xCD, 0xAB),
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.name << " at " << row.at);
    EXPECT_EQ(row.get(kx::ReadSystemInfoFields(With({{row.at, row.bytes}}).data())), row.want);
  }
}

TEST(SystemInfoFields, DashVersionVersionAndDate) {
  const struct {
    std::uint8_t c0, c1;
    std::uint32_t want;
  } rows[] = {{'1', '2', 12}, {'0', '7', 7}, {'1', 'a', 1}, {'a', '1', 0}, {' ', '1', 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.c0 << row.c1);
    EXPECT_EQ(kx::ReadSystemInfoFields(With({{0xC9, {row.c0, row.c1}}}).data()).dashVersion, row.want);
  }
  const kx::SystemInfo s = Decode(With({{0x15C, {'1', '2', '7', '3', '2', '0', '2', '4', '0', '1', '0', '1', 'A'}}}));
  EXPECT_EQ(s.fwVersion, "7312");  // bytes 2, 3, 0, 1
  EXPECT_EQ(s.fwBuildDate, "20240101A");
}

TEST(SystemInfoDerived, PlaneCountFourWins) {
  const struct {
    std::uint8_t e4, e8;
    std::uint32_t planes;
  } rows[] = {{0x00, 0x00, 1}, {0x02, 0x00, 2}, {0x00, 0x80, 4}, {0x02, 0x80, 4}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "E4 " << int{row.e4} << " E8 " << int{row.e8});
    EXPECT_EQ(Decode(With({{0xE4, {row.e4}}, {0xE8, {row.e8}}})).planeCount, row.planes);
  }
}

TEST(SystemInfoDerived, PhysicalSizeSnapsWithinTwentyPercent) {
  const struct {
    std::uint32_t mb, want;
  } snaps[] = {{1000, 1024}, {1229, 1229}, {1638, 1638},       {1639, 2048},      {0, 0},
               {1, 1},       {3, 3},       {2516582, 2097152}, {2516583, 2516583}};
  for (const auto& row : snaps) {
    SCOPED_TRACE(row.mb);
    EXPECT_EQ(kx::SnapToPowerOfTwoMb(row.mb), row.want);
  }
  const struct {
    const char* name;
    std::uint32_t blocks, unit;
    bool noRound;
    std::uint32_t want;
  } sizes[] = {{"snapped", 1000, 2048, false, 1024},
               {"no-round rounds B down to 512s", 1000, 2048, true, 512},
               {"no-round keeps B under 512", 300, 2048, true, 300},
               {"a product above 32 bits is not truncated", 65536, 65536, false, 2097152},
               {"saturated", 0xFFFFFFFF, 0xFFFFFFFF, true, 0xFFFFFFFF}};
  for (const auto& row : sizes) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(kx::PhysicalSizeMb(row.blocks, row.unit, row.noRound), row.want);
  }
  // No rounding only from bit 6 of 0xE2 with bits 2 and 4 clear.
  const struct {
    std::uint8_t e2;
    std::uint32_t size;
  } bits[] = {{0x40, 512}, {0x44, 1024}, {0x50, 1024}, {0, 1024}};
  for (const auto& row : bits) {
    SCOPED_TRACE(int{row.e2});
    EXPECT_EQ(Decode(With({{0xD0, Le32(1000)}, {0xD4, Le32(2048)}, {0xE2, {row.e2}}})).physicalSize, row.size);
  }
}

TEST(SystemInfoDerived, DynamicCeCountAndSingleCeCapacity) {
  const Record r = With({{0x00, {8}}, {0xD0, Le32(1000)}, {0xD4, Le32(2048)}, {0xD8, Le32(1000)}});
  const kx::SystemInfo two = Decode(r, {0x00F0, 2, 65536});
  EXPECT_EQ(two.flashCount, 4u);
  EXPECT_EQ(two.physicalSize, 1024u);
  const kx::SystemInfo one = Decode(r, {0x00F0, 1, 65536});
  EXPECT_EQ(one.physicalSize, 262144u);
  EXPECT_EQ(one.secondCapacity, 1000u);  // never snapped
  const kx::SystemInfo noMap = Decode(r, {0, 1, 65536});
  EXPECT_EQ(noMap.flashCount, 8u);
  EXPECT_EQ(noMap.physicalSize, 524288u);
}

TEST(SystemInfoDerived, CellAndPageType) {
  using T = CellPageType;
  const struct {
    std::uint8_t e4, e5, e7;
    T want;
  } rows[] = {{0x00, 0x08, 0x00, T::Slc},   {0x00, 0x48, 0x00, T::Slc2K},  {0x04, 0x08, 0x00, T::Slc4K},
              {0x0C, 0x08, 0x00, T::Slc8K}, {0x0C, 0x48, 0x20, T::Slc16K}, {0x00, 0x10, 0x00, T::Mlc},
              {0x00, 0x50, 0x00, T::Mlc2K}, {0x08, 0x10, 0x00, T::Mlc8K},  {0x00, 0x20, 0x20, T::Tlc16K},
              {0x08, 0x20, 0x00, T::Tlc8K}, {0x04, 0x20, 0x00, T::None},   {0x00, 0x40, 0x20, T::None},
              {0x00, 0x38, 0x00, T::Slc}};  // SLC wins over MLC and TLC
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "E4 " << int{row.e4} << " E5 " << int{row.e5} << " E7 " << int{row.e7});
    EXPECT_EQ(Decode(With({{0xE4, {row.e4}}, {0xE5, {row.e5}}, {0xE7, {row.e7}}})).cellPageType, row.want);
  }
  const kx::SystemInfo all = Decode(With({{0xE5, {0x38}}}));
  EXPECT_EQ(all.slcFamily, true);
  EXPECT_EQ(all.mlcFamily, false);
  EXPECT_EQ(all.tlcFamily, false);
  EXPECT_EQ(Decode(With({{0xE5, {0x30}}})).mlcFamily, true);
}

TEST(SystemInfoDerived, ToggleChainFirstMatchWins) {
  const struct {
    std::uint8_t dd, de, e1;
    bool a, aEx, b;
  } rows[] = {{0, 0, 0, false, false, false},
              {0, 0, 0x80, true, true, false},
              {0x04, 0x04, 0x80, true, true, false},
              {0x04, 0x04, 0, false, false, false},
              {0, 0x04, 0, false, false, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "DD " << int{row.dd} << " DE " << int{row.de} << " E1 " << int{row.e1});
    const kx::SystemInfo s = Decode(With({{0xDD, {row.dd}}, {0xDE, {row.de}}, {0xE1, {row.e1}}}));
    EXPECT_EQ(s.toggleFlagA, row.a);
    EXPECT_EQ(s.toggleFlagAEx, row.aEx);
    EXPECT_EQ(s.toggleFlagB, row.b);
  }
}

TEST(SystemInfoDerived, CountsAndShiftsAreGuarded) {
  const kx::SystemInfo zero = Decode(With({{0x1C, Le32(2048)}}));
  EXPECT_EQ(zero.flashCount, 1u);
  EXPECT_EQ(zero.channelCount, 1u);
  EXPECT_EQ(zero.diePerFlash, 1u);
  EXPECT_EQ(zero.totalBlocks, 2048u);
  EXPECT_EQ(zero.guardNotes, (std::vector<std::string>{"SystemInfo Flash count = 0, taken as 1",
                                                       "SystemInfo Channel count = 0, taken as 1",
                                                       "SystemInfo Die per flash = 0, taken as 1"}));
  const kx::SystemInfo huge =
      Decode(With({{0x00, {8}}, {0x02, {2}}, {0x03, {40}}, {0x06, {1}}, {0x169, {32}}, {0x1C, Le32(0xFFFFFFFF)}}));
  EXPECT_EQ(huge.ddrSizeMB, 0xFFFFFFFFu);
  EXPECT_EQ(huge.totalBlocks, 0xFFFFFFFFu);
  EXPECT_EQ(huge.guardNotes, (std::vector<std::string>{"SystemInfo DDR size shift = 40, taken as 4294967295 MB",
                                                       "SystemInfo flash size shift = 32, saturated"}));
  EXPECT_EQ(Decode(With({{0x03, {31}}})).ddrSizeMB, 0x80000000u);
  EXPECT_EQ(kx::SaturatedPowerOfTwo(9), 512u);
}

TEST(SystemInfoDerived, InvertedFlagLoopTotalAndCapacitySetting) {
  EXPECT_EQ(Decode(With({})).sysInfoFlag136, true);
  EXPECT_EQ(Decode(With({{0x136, {0x01}}})).sysInfoFlag136, false);
  EXPECT_EQ(Decode(With({{0x16D, {200}}, {0x16E, {100}}})).rdtTotalLoops, 300u);
  const struct {
    const char* text;
    std::uint32_t want;
  } rows[] = {{"65536", 65536}, {"64GB", 64}, {"", 0}, {"abc", 0}, {"-5", 0}, {"99999999999", 0xFFFFFFFF}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(kx::SettingCapacityValue(row.text), row.want);
  }
}

TEST(SystemInfoErrors, ControllerErrorReports) {
  const struct {
    std::uint32_t id, info;
    std::uint16_t map;
    bool fails;
    const char *message, *failCe, *status;
  } rows[] = {
      {0x1001, 0x5, 0x000F, true, "     Erase operation time out.", "     Fail CE: 0,2,", ""},
      {0x1001, 0x5, 0x000A, false, "", "", ""},
      {0x1001, 0x5, 0x0000, false, "", "", ""},
      {0x0000, 0xF, 0x000F, false, "", "", ""},
      {0x4, 0x3, 0x000F, true, "     HW_SET_FLASH_OVERDRIVE_FAIL.", "     Fail CE: 0,1,", "Fail CE: 0,1,"},
      {0x4, 0x9, 0x0001, true, "     HW_SET_FLASH_OVERDRIVE_FAIL.", "     Fail CE: 0,", "Fail CE: 0,"},
      {0x4001, 0x3, 0x000F, true, "     DDR ECC/CRC/UNC error.", "", ""},
      {0x4001, 0x8, 0x000F, true, "     DDR ECC/CRC/UNC error.-ZONE3_INVALID", "", ""},
      {0x8000, 0xFF, 0x000F, true, "     DDR_TEST_TIME_OUT", "", ""},
      // Errors whose info is no CE mask fail whatever CEs the map holds.
      {0x8000, 0x2, 0x0100, true, "     DDR_WRITE_TEST_FAIL", "", ""},
      {0x10, 0x0, 0x0001, true, "     HW_INIT_ERR_PLL_NOT_LOCK", "", ""},
      {0x6, 0x1, 0x0001, true, "Have Error happened, check Error_ID & Error_Info. !!!", "     Fail CE: 0,", ""}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "ID " << row.id << " info " << row.info << " map " << row.map);
    const kx::ControllerErrorReport r = kx::DescribeControllerError(row.id, row.info, row.map);
    EXPECT_EQ(r.fails, row.fails);
    EXPECT_EQ(r.message, row.message);
    EXPECT_EQ(r.failCeLine, row.failCe);
    EXPECT_EQ(r.statusText, row.status);
    EXPECT_EQ(r.statusFlag, row.status[0] != '\0');
  }
  EXPECT_EQ(kx::DescribeControllerError(0x1001, 5, 0xF).errorLine, "ErrorID=0x1001, ErrorInfo=0x0005");
  EXPECT_EQ(kx::DescribeControllerError(0x10, 0, 1).errorLine, "ErrorID=0x10, ErrorInfo=0x0000");
}

// ---- The step against the emulated drive ------------------------------------------

class SystemInfoStep : public kxtest::DeviceTestEnv {};

TEST_F(SystemInfoStep, DecodesTheDrivesRecordInEveryMode) {
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge, Mode::SataPort}) {
    SCOPED_TRACE(static_cast<int>(mode));
    EmulatedStation s(mode);
    CPortDevice& d = s.Device();
    s.Drive().PatchSystemInfo(0x06, {0});
    s.Drive().ClearTrace();
    ASSERT_TRUE(d.CheckSystemInfo()) << d.m_ErrorMessage;
    const std::vector<emu::TraceEntry> sent = s.Drive().Trace();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].request.command, kx::kApKeySignature[5]);  // the access key first
    EXPECT_EQ(sent[1].request.features, 0x13);
    EXPECT_EQ(d.m_FlashCount, 8);
    EXPECT_EQ(d.m_TotalBlocks, 16384u);
    EXPECT_EQ(d.m_TwoPlaneMode, 1);
    EXPECT_EQ(d.m_PhysicalSize, 524288u);
    EXPECT_EQ(d.m_CellPageType, CellPageType::Tlc16K);
    EXPECT_EQ(d.m_FwVersion, "7312");
    EXPECT_EQ(d.m_DiePerFlash, 1u);
    EXPECT_TRUE(Has(PortReport(), "   SystemInfo Die per flash = 0, taken as 1 \r\n"));
  }
}

TEST_F(SystemInfoStep, AccessKeyAndCommandFailures) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  s.Drive().Faults().RefuseAccessKey(emu::DriveFaults::kForever);
  EXPECT_FALSE(d.CheckSystemInfo());
  EXPECT_EQ(d.m_ErrorCode, "I_x01");
  s.Drive().Faults().Clear();
  s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x13});
  EXPECT_FALSE(d.CheckSystemInfo());
  EXPECT_EQ(d.m_ErrorCode, "I_x08");
  EXPECT_EQ(d.m_ErrorMessage, "Issue GetSystemInfo Command Failed.");
  EXPECT_EQ(d.m_ChannelCount, 0u);                // nothing decoded
  EXPECT_FALSE(Has(PortReport(), "Error Code"));  // the caller writes the fail report
}

TEST_F(SystemInfoStep, ControllerErrorOnACeOfTheMap) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.CheckSystemInfo());
  s.Drive().PatchSystemInfo(0x02, {1});
  s.Drive().Faults().SetControllerError(0x1001, 0x5);
  d.m_StatusExtraFlag = 1;
  d.m_CeMap = 0x000F;
  EXPECT_FALSE(d.CheckSystemInfo());
  EXPECT_EQ(d.m_ErrorCode, "I_x08");
  EXPECT_EQ(d.m_ErrorMessage, "     Erase operation time out.");
  EXPECT_EQ(d.m_ErrorID, 0x1001u);
  EXPECT_EQ(d.m_ErrorInfo, 0x5u);
  EXPECT_EQ(d.m_ChannelCount, 2u);  // the record is not decoded
  EXPECT_EQ(d.m_StatusExtraFlag, 0);
  EXPECT_TRUE(Has(PortReport(), "   ErrorID=0x1001, ErrorInfo=0x0005 \r\n"));
  EXPECT_TRUE(Has(PortReport(), "        Fail CE: 0,2, \r\n"));
  d.m_CeMap = 0x000A;
  EXPECT_TRUE(d.CheckSystemInfo());
  EXPECT_EQ(d.m_ChannelCount, 1u);
  s.Drive().Faults().SetControllerError(0x4, 0x3);  // the port cell shows the failed CEs
  d.m_CeMap = 0x000F;
  EXPECT_FALSE(d.CheckSystemInfo());
  EXPECT_EQ(d.m_StatusExtraFlag, 1);
  EXPECT_EQ(d.m_StatusExtraText, "Fail CE: 0,1,");
}

TEST_F(SystemInfoStep, DynamicCe) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  d.m_CeMap = 0x00F0;
  SetIni(".\\paramFDB.ini", "Options", "AutoCapacity_DynamicCE_En", "1");
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_SingleCE_Capacity", "65536");
  ASSERT_TRUE(d.CheckSystemInfo());
  EXPECT_EQ(d.m_FlashCount, 4);
  EXPECT_EQ(d.m_PhysicalSize, 262144u);
  d.m_CeMap = 0x0030;  // the CE-map count is taken on the error path too
  s.Drive().Faults().SetControllerError(0x1001, 0x10);
  EXPECT_FALSE(d.CheckSystemInfo());
  EXPECT_EQ(d.m_FlashCount, 2);
}

TEST_F(SystemInfoStep, DumpFile) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  const std::string dump = "D:\\Log\\BINInfo\\SystemInfo-1.bin";
  SetIni(".\\param.ini", "Options", "DownLoadInfo", "1");
  EXPECT_FALSE(d.CheckSystemInfo());  // no BINInfo folder yet
  EXPECT_EQ(d.m_ErrorCode, "A_x08");
  EXPECT_EQ(d.m_ErrorMessage, "Open SystemInfo Save File Failed !!");
  EXPECT_EQ(d.m_ChannelCount, 2u);  // decoded before the dump
  MakeDirs("D:\\Log\\BINInfo");
  ASSERT_TRUE(d.CheckSystemInfo());
  s.Drive().PatchSystemInfo(0x1D0, {0x55});
  ASSERT_TRUE(d.CheckSystemInfo());  // overwrites the first dump
  const auto record = s.Drive().SystemInfo();
  EXPECT_EQ(ReadAll(dump), std::string(record.begin(), record.end()));
  SetIni(".\\param.ini", "Options", "DownLoadInfo", "2");
  s.Drive().PatchSystemInfo(0x1D0, {0x66});
  ASSERT_TRUE(d.CheckSystemInfo());
  EXPECT_EQ(ReadAll(dump), std::string(record.begin(), record.end()));  // not written again
}

}  // namespace
