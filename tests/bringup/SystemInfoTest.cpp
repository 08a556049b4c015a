// The system-information record's field table, derived values and controller
// error texts as plain values; CheckSystemInfo against the emulated drive.
#include "bringup/SystemInfo.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

#include "device/PortDevice.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kx::CellPageType;
using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;
using Record = std::array<std::uint8_t, 512>;

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

// A record with these bytes decodes to this value of the field.
// clang-format off
#define ROW(field, want, ...) \
  {#field, With({__VA_ARGS__}), [](const kx::SystemInfo& s) { return static_cast<std::uint32_t>(s.field); }, want}
// clang-format on

TEST(SystemInfoFields, RecordDecodesToTheseValues) {
  const struct {
    const char* field;
    Record record;
    std::function<std::uint32_t(const kx::SystemInfo&)> get;
    std::uint32_t want;
  } rows[] = {
      // clang-format off
      // Fields kept as read; the rows after them pin the offsets of the others.
      ROW(sysInfo10, 0x12345678, {0x10, {0x78, 0x56, 0x34, 0x12}}), ROW(sysInfo28, 0x01000020, {0x28, {32, 0, 0, 1}}),
      ROW(sysInfoCC, 0x1234, {0xCC, {0x34, 0x12}}), ROW(flashNotSupported, 1, {0xE6, {0x10}}),
      ROW(dpsTableFlag, 1, {0xE9, {0x01}}), ROW(sysInfo138, 0xDEADBEEF, {0x138, {0xEF, 0xBE, 0xAD, 0xDE}}),
      ROW(ceMask64Low, 0x0F0F, {0x148, {0x0F, 0x0F}}), ROW(ceMask64High, 0x80000000, {0x14C, {0, 0, 0, 0x80}}),
      ROW(ceMask64Enable, 1, {0x16A, {1}}), ROW(rdtLoops, 3, {0x16D, {3}}),
      ROW(sysInfo1D0, 0xABCD, {0x1D0, {0xCD, 0xAB}}), ROW(rdtTotalLoops, 300, {0x16D, {200}}, {0x16E, {100}}),
      ROW(dashVersion, 12, {0xC9, {'1', '2'}}), ROW(dashVersion, 1, {0xC9, {'1', 'a'}}),
      ROW(dashVersion, 0, {0xC9, {'a', '1'}}),
      ROW(sysInfoFlag136, 1), ROW(sysInfoFlag136, 0, {0x136, {0x01}}),
      ROW(planeCount, 1), ROW(planeCount, 2, {0xE4, {0x02}}), ROW(planeCount, 4, {0xE4, {0x02}}, {0xE8, {0x80}}),
      ROW(twoPlane, 0, {0xE4, {0xFD}}),
      // Counts read as 0 are taken as 1; sizes saturate.
      ROW(channelCount, 1), ROW(diePerFlash, 1), ROW(totalBlocks, 2048, {0x1C, {0x00, 0x08}}),
      ROW(channelCount, 2, {0x02, {2}}), ROW(diePerFlash, 3, {0x06, {3}}),
      ROW(totalBlocks, 0xFFFFFFFF, {0x00, {8}}, {0x1C, {0xFF, 0xFF, 0xFF, 0xFF}}),
      ROW(ddrSizeMB, 0x80000000, {0x03, {31}}), ROW(ddrSizeMB, 0xFFFFFFFF, {0x03, {32}}),
      // No rounding of the physical size only from bit 6 of 0xE2 with bits 2 and 4 clear.
      ROW(physicalSize, 512, {0xD0, {0xE8, 0x03}}, {0xD4, {0x00, 0x08}}, {0xE2, {0x40}}),
      ROW(physicalSize, 1024, {0xD0, {0xE8, 0x03}}, {0xD4, {0x00, 0x08}}, {0xE2, {0x44}}),
      ROW(physicalSize, 1024, {0xD0, {0xE8, 0x03}}, {0xD4, {0x00, 0x08}}, {0xE2, {0x50}}),
      ROW(physicalSize, 1024, {0xD0, {0xE8, 0x03}}, {0xD4, {0x00, 0x08}}),
      // One cell family, SLC before MLC before TLC.
      ROW(slcFamily, 1, {0xE5, {0x38}}), ROW(mlcFamily, 0, {0xE5, {0x38}}), ROW(mlcFamily, 1, {0xE5, {0x30}}),
      ROW(tlcFamily, 0, {0xE5, {0x30}}), ROW(tlcFamily, 0, {0xE5, {0x28}}), ROW(tlcFamily, 1, {0xE5, {0x20}}),
      // Toggle chain: 0xE1 bit 7 first; 0xDD bit 2 stops 0xDE bit 2.
      ROW(toggleFlagA, 1, {0xE1, {0x80}}), ROW(toggleFlagAEx, 1, {0xE1, {0x80}}),
      ROW(toggleFlagB, 0, {0xDE, {0x04}}, {0xE1, {0x80}}), ROW(toggleFlagB, 0, {0xDD, {0x04}}, {0xDE, {0x04}}),
      ROW(toggleFlagB, 1, {0xDE, {0x04}}), ROW(toggleFlagA, 0, {0xDE, {0x04}}), ROW(toggleFlagB, 0),
      // clang-format on
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.field << " = " << r.want);
    EXPECT_EQ(r.get(Decode(r.record)), r.want);
  }
}

TEST(SystemInfoFields, FirmwareVersionDateAndGuardNotes) {
  const kx::SystemInfo s = Decode(With({{0x15C, {'1', '2', '7', '3', '2', '0', '2', '4', '0', '1', '0', '1', 'A'}}}));
  EXPECT_EQ(s.fwVersion, "7312");  // bytes 2, 3, 0, 1
  EXPECT_EQ(s.fwBuildDate, "20240101A");
  EXPECT_EQ(s.guardNotes, (std::vector<std::string>{"SystemInfo Flash count = 0, taken as 1",
                                                    "SystemInfo Channel count = 0, taken as 1",
                                                    "SystemInfo Die per flash = 0, taken as 1"}));
  const kx::SystemInfo huge = Decode(With({{0x00, {8}}, {0x02, {2}}, {0x03, {32}}, {0x06, {1}}, {0x169, {32}}}));
  EXPECT_EQ(huge.guardNotes, (std::vector<std::string>{"SystemInfo DDR size shift = 32, taken as 4294967295 MB",
                                                       "SystemInfo flash size shift = 32, saturated"}));
}

TEST(SystemInfoDerived, CapacitiesSnapWithinTwentyPercentAndSaturate) {
  const std::pair<std::uint32_t, std::uint32_t> snaps[] = {{1, 1},       {1229, 1229},       {1638, 1638},
                                                           {1639, 2048}, {2516582, 2097152}, {2516583, 2516583}};
  for (const auto& [mb, snapped] : snaps) {
    SCOPED_TRACE(mb);
    EXPECT_EQ(kx::SnapToPowerOfTwoMb(mb), snapped);
  }
  EXPECT_EQ(kx::PhysicalSizeMb(1000, 2048, true), 512u);                     // no rounding: B down to 512s
  EXPECT_EQ(kx::PhysicalSizeMb(300, 2048, true), 300u);                      // B under 512 kept
  EXPECT_EQ(kx::PhysicalSizeMb(65536, 65536, false), 2097152u);              // above 32 bits before the shift
  EXPECT_EQ(kx::PhysicalSizeMb(0xFFFFFFFF, 0xFFFFFFFF, true), 0xFFFFFFFFu);  // saturated
  EXPECT_EQ(kx::SettingCapacityValue("64GB"), 64u);
  EXPECT_EQ(kx::SettingCapacityValue("abc"), 0u);
  EXPECT_EQ(kx::SettingCapacityValue("99999999999"), 0xFFFFFFFFu);
  // Dynamic CE: the CE map's count, and for 1 the single-CE capacity.
  const Record r = With({{0x00, {8}}, {0xD0, Le32(1000)}, {0xD4, Le32(2048)}, {0xD8, Le32(1000)}});
  EXPECT_EQ(Decode(r, {0x00F0, 2, 65536}).flashCount, 4u);
  EXPECT_EQ(Decode(r, {0x00F0, 2, 65536}).physicalSize, 1024u);
  EXPECT_EQ(Decode(r, {0x00F0, 1, 65536}).physicalSize, 262144u);
  EXPECT_EQ(Decode(r, {0x00F0, 1, 65536}).secondCapacity, 1000u);  // never snapped
  EXPECT_EQ(Decode(r, {0x0000, 1, 65536}).flashCount, 8u);         // no map: the record's
  EXPECT_EQ(Decode(r, {0xFFFF, 1, 0xFFFFFFFF}).physicalSize, 0xFFFFFFFFu);
}

TEST(SystemInfoDerived, CellFamilyAndPageType) {
  using T = CellPageType;
  const struct {
    std::uint8_t e4, e5, e7;
    T want;
  } rows[] = {{0x00, 0x08, 0x00, T::Slc},    {0x00, 0x48, 0x00, T::Slc2K},  {0x04, 0x08, 0x00, T::Slc4K},
              {0x0C, 0x08, 0x00, T::Slc8K},  {0x0C, 0x48, 0x20, T::Slc16K}, {0x00, 0x10, 0x00, T::Mlc},
              {0x00, 0x50, 0x00, T::Mlc2K},  {0x04, 0x10, 0x00, T::Mlc4K},  {0x08, 0x10, 0x00, T::Mlc8K},
              {0x00, 0x10, 0x20, T::Mlc16K}, {0x00, 0x20, 0x20, T::Tlc16K}, {0x08, 0x20, 0x00, T::Tlc8K},
              {0x04, 0x20, 0x00, T::None},   {0x00, 0x40, 0x20, T::None},   {0x00, 0x38, 0x00, T::Slc}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "E4 " << int{r.e4} << " E5 " << int{r.e5} << " E7 " << int{r.e7});
    EXPECT_EQ(Decode(With({{0xE4, {r.e4}}, {0xE5, {r.e5}}, {0xE7, {r.e7}}})).cellPageType, r.want);
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
      {0x4, 0x9, 0x0001, true, "     HW_SET_FLASH_OVERDRIVE_FAIL.", "     Fail CE: 0,", "Fail CE: 0,"},
      {0x4001, 0x3, 0x000F, true, "     DDR ECC/CRC/UNC error.", "", ""},
      {0x4001, 0x8, 0x000F, true, "     DDR ECC/CRC/UNC error.-ZONE3_INVALID", "", ""},
      // Errors whose info is no CE mask fail whatever CEs the map holds.
      {0x8000, 0x2, 0x0100, true, "     DDR_WRITE_TEST_FAIL", "", ""},
      {0x10, 0x0, 0x0001, true, "     HW_INIT_ERR_PLL_NOT_LOCK", "", ""},
      {0x6, 0x1, 0x0001, true, "Have Error happened, check Error_ID & Error_Info. !!!", "     Fail CE: 0,", ""}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "ID " << r.id << " info " << r.info << " map " << r.map);
    const kx::ControllerErrorReport e = kx::DescribeControllerError(r.id, r.info, r.map);
    EXPECT_EQ(e.fails, r.fails);
    EXPECT_EQ(e.message, r.message);
    EXPECT_EQ(e.failCeLine, r.failCe);
    EXPECT_EQ(e.statusText, r.status);
    EXPECT_EQ(e.statusFlag, r.status[0] != '\0');
  }
}

// ---- The step against the emulated drive ------------------------------------------

class SystemInfoStep : public kxtest::DeviceTestEnv {};

TEST_F(SystemInfoStep, DecodesTheDrivesRecord) {
  EmulatedStation s(Mode::Bridge);
  CPortDevice& d = s.Device();
  s.Drive().PatchSystemInfo(0x06, {0});
  ASSERT_TRUE(d.CheckSystemInfo()) << d.m_ErrorMessage;
  EXPECT_EQ(d.m_FlashCount, 8);
  EXPECT_EQ(d.m_TotalBlocks, 16384u);
  EXPECT_EQ(d.m_PhysicalSize, 524288u);
  EXPECT_EQ(d.m_CellPageType, CellPageType::Tlc16K);
  EXPECT_EQ(d.m_FwVersion, "7312");
  EXPECT_EQ(d.m_DiePerFlash, 1u);
  EXPECT_TRUE(Has(PortReport(), "   SystemInfo Die per flash = 0, taken as 1 \r\n"));
}

TEST_F(SystemInfoStep, FailuresLeaveTheReportToTheCaller) {
  const struct {
    const char* name;
    std::function<void(EmulatedStation&)> prepare;
    const char *code, *message;
    std::uint32_t channels;  // 0: the record was not decoded
  } rows[] = {{"access key", [](auto& s) { s.Drive().Faults().RefuseAccessKey(emu::DriveFaults::kForever); }, "I_x01",
               "Issue Set AP key command Fail.", 0},
              {"GetSystemInfo", [](auto& s) { s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x13}); },
               "I_x08", "Issue GetSystemInfo Command Failed.", 0},
              {"no dump folder", [](auto&) { SetIni(".\\param.ini", "Options", "DownLoadInfo", "1"); }, "A_x08",
               "Open SystemInfo Save File Failed !!", 2}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EmulatedStation s(Mode::TesterDirect);
    CPortDevice& d = s.Device();
    r.prepare(s);
    bool ok = true;
    const std::string report = Appended("D:\\Log\\D_Reports\\PC_1_Report.txt", [&] { ok = d.CheckSystemInfo(); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(d.m_ErrorCode, r.code);
    EXPECT_EQ(d.m_ErrorMessage, r.message);
    EXPECT_EQ(d.m_ChannelCount, r.channels);
    EXPECT_FALSE(Has(report, "Error Code"));
  }
}

TEST_F(SystemInfoStep, ControllerErrorOnCesOfTheMapWithDynamicCe) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  SetIni(".\\paramFDB.ini", "Options", "AutoCapacity_DynamicCE_En", "1");
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_SingleCE_Capacity", "65536");
  s.Drive().Faults().SetControllerError(0x4, 0x3);
  d.m_CeMap = 0x000F;
  EXPECT_FALSE(d.CheckSystemInfo());
  EXPECT_EQ(d.m_ErrorCode, "I_x08");
  EXPECT_EQ(d.m_ErrorMessage, "     HW_SET_FLASH_OVERDRIVE_FAIL.");
  EXPECT_EQ(d.m_ChannelCount, 0u);  // the record is not decoded
  EXPECT_EQ(d.m_FlashCount, 4);     // but the CE map's count is taken
  EXPECT_TRUE(Has(PortReport(), "   ErrorID=0x04, ErrorInfo=0x0003 \r\n"));
  EXPECT_TRUE(Has(PortReport(), "        Fail CE: 0,1, \r\n"));
  EXPECT_EQ(d.m_StatusExtraFlag, 1);
  EXPECT_EQ(d.m_StatusExtraText, "Fail CE: 0,1,");
  s.Drive().Faults().SetControllerError(0, 0);
  d.m_CeMap = 0x00F0;
  ASSERT_TRUE(d.CheckSystemInfo());
  EXPECT_EQ(d.m_PhysicalSize, 262144u);  // 4 x 65536
}

TEST_F(SystemInfoStep, DumpsTheRecordOnlyForDownLoadInfo1) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  MakeDirs("D:\\Log\\BINInfo");
  SetIni(".\\param.ini", "Options", "DownLoadInfo", "1");
  ASSERT_TRUE(d.CheckSystemInfo());
  const Record record = s.Drive().SystemInfo();
  SetIni(".\\param.ini", "Options", "DownLoadInfo", "2");
  s.Drive().PatchSystemInfo(0x1D0, {0x66});
  ASSERT_TRUE(d.CheckSystemInfo());
  EXPECT_EQ(ReadAll("D:\\Log\\BINInfo\\SystemInfo-1.bin"), std::string(record.begin(), record.end()));
}

}  // namespace
