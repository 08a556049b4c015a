// The capacity lists, limit and IDEMA rule as plain values; SelectCapacity and
// the bad-block percentage against settings files on an emulated station.
#include <gtest/gtest.h>

#include "bringup/Capacity.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

const char kFdb[] = ".\\paramFDB.ini", kTool[] = ".\\Configuration\\System\\MPToolSetting.ini";

TEST(CapacityRules, ListsLimitAndIdema) {
  EXPECT_EQ(kx::ParseNumberList("abc,,-5 12x 99999999999"), (std::vector<std::int32_t>{0, -5, 12, 2147483647}));
  EXPECT_EQ(kx::SortedPercentList("10 2 5 300 -1"), (std::vector<std::uint8_t>{2, 5, 10, 44, 255}));
  EXPECT_EQ(kx::RawFlashMb(4194304, 1024), 4294967296u);
  EXPECT_EQ(kx::RawFlashMb(32768, -1), 0u);
  EXPECT_EQ(kx::ChooseCapacity({-1, 240}, {5, 5}, 8589934592, 0), 240u);  // -1 is no capacity, however large G
  const struct { const char* text; std::uint64_t rawMb, limit; } limits[] = {
      {"", 262144, 240}, {"default", 262144, 240}, {"MaxSize", 262144, 256}, {"200", 262144, 200}, {"abc", 1024, 0},
      {"-5", 1024, 0}, {"Default", 262144, 0}, {"", 1048576, 960}, {"", 7168, 0}, {"MaxSize", 4294967296, 4194304}};
  for (const auto& r : limits) EXPECT_EQ(kx::CapacityLimit(r.text, r.rawMb), r.limit) << r.text << ' ' << r.rawMb;
  const struct { std::uint32_t gb; std::uint64_t sectors, mb; } idema[] = {
      {7, 13695696, 6687}, {50, 97696368, 47703}, {120, 234441648, 114473}, {4096, 8001573552, 3907018}};
  for (const auto& r : idema)
    EXPECT_EQ(std::pair(kx::IdemaSectors(r.gb), kx::IdemaMegabytes(r.gb)), std::pair(r.sectors, r.mb)) << r.gb;
}

using Capacity = kxtest::DeviceTestEnv;

// 8 CEs of 32768 MB (256 GB); sizes 480/240/120 pair with the sorted percentages;
// forGb and percent are what GetAutoCapacityMaxBadPercent gives for a capacity.
TEST_F(Capacity, SelectsByLimitAndPercentages) {
  MakeDirs(".\\Configuration\\System");
  SetIni(kFdb, "Flash Info", "Flh_SingleCE_Capacity", "32768");
  SetIni(kFdb, "Options", "AutoCapacity_SizeArray", "120,240,480");
  kxtest::EmulatedStation station(kxtest::Mode::TesterDirect);
  CPortDevice& d = station.Device();
  d.m_FlashCount = 8, d.m_PhysicalSize = 262144;
  const struct { const char *capacity, *percents; int gb, forGb, percent; } rows[] = {
      {"", "10 2 5", 240, 240, 5}, {"MaxSize", "10 2 5", 240, 100, 10}, {"200", "10 2 5", 120, 1000, 2},
      {"100", "10 2 5", 0, 120, 10}, {"", "0 0 10", 120, 480, 0}, {"0", "0 0 10", 240, 0, 10},
      {"abc", "0 0 10", 240, 300, 0}, {"", "5", 0, 100, 5}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << '"' << r.capacity << "\" / " << r.percents);
    SetIni(kFdb, "Options", "AutoCapacity_MaxBadPercent_8CE", r.percents);
    SetIni(kTool, "General Info", "Capacity", r.capacity);
    EXPECT_EQ(d.SelectCapacity(), r.gb);
    EXPECT_EQ(d.GetAutoCapacityMaxBadPercent(static_cast<std::uint32_t>(r.forGb)), r.percent);
  }
  EXPECT_FALSE(kxtest::Has(PortReport(), "PhysicalSize"));
  EXPECT_TRUE(kxtest::Has(PortReport(), "   Select AutoCapacity_MaxBadPercent_8CE \r\n"));
  d.m_AutoCapacitySize = 480;
  EXPECT_EQ(d.GetAutoCapacitySize(), 480u);
  d.m_PhysicalSize = 262100;
  SetIni(kFdb, "Options", "AutoCapacity_SizeArray", "");
  EXPECT_EQ(d.SelectCapacity(), 0);
  EXPECT_EQ(d.GetAutoCapacityMaxBadPercent(100), 0);
  EXPECT_TRUE(kxtest::Has(PortReport(), "   PhysicalSize 262100 != 262144 \r\n"));
}

}  // namespace
