#include "device/SettingNumbers.h"

#include <cstdint>

#include "tests/support/ScratchFolder.h"

namespace {

using kx::NumberProblem;
using P = NumberProblem;

TEST(SettingNumbers, IntegersAreWholeValuesInRange) {
  constexpr std::int64_t kIntMin = INT32_MIN, kIntMax = INT32_MAX;
  const struct {
    const char* text;
    bool hex;
    std::int64_t min, max;
    std::int64_t value;  // when accepted
    P why;
  } rows[] = {
      {"12", false, kIntMin, kIntMax, 12, P::None},
      {" 7 ", false, kIntMin, kIntMax, 7, P::None},
      {"+5", false, kIntMin, kIntMax, 5, P::None},
      {"-2147483648", false, kIntMin, kIntMax, INT32_MIN, P::None},
      {"2147483648", false, kIntMin, kIntMax, 0, P::OutOfRange},
      {"-1", false, 0, UINT32_MAX, 0, P::OutOfRange},
      {"4294967295", false, 0, UINT32_MAX, UINT32_MAX, P::None},
      {"99999999999999999999", false, kIntMin, kIntMax, 0, P::OutOfRange},
      {"419430400.5", false, kIntMin, kIntMax, 0, P::NotWhole},
      {"1e3", false, kIntMin, kIntMax, 0, P::NotWhole},
      {"12abc", false, kIntMin, kIntMax, 0, P::NotNumber},
      {"0x1F", false, kIntMin, kIntMax, 0, P::NotNumber},
      {"0x1F", true, 0, 0xFFFF, 0x1F, P::None},
      {"ff", true, 0, 0xFFFF, 0xFF, P::None},
      {"1FFFF", true, 0, 0xFFFF, 0, P::OutOfRange},
      {"-1F", true, 0, 0xFFFF, 0, P::NotNumber},
      {"0x", true, 0, 0xFFFF, 0, P::NotNumber},
      {"nan", false, kIntMin, kIntMax, 0, P::NotNumber},
      {"", false, kIntMin, kIntMax, 0, P::NotNumber},
      {"--5", false, kIntMin, kIntMax, 0, P::NotNumber},
      {"5 5", false, kIntMin, kIntMax, 0, P::NotNumber},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    NumberProblem why = P::None;
    const auto v = kx::ParseSettingInteger(r.text, r.hex, r.min, r.max, why);
    EXPECT_EQ(why, r.why);
    EXPECT_EQ(v.value_or(0), r.value);
  }
}

TEST(SettingNumbers, RealsAreFiniteAndInRange) {
  const struct {
    const char* text;
    double value;
    P why;
  } rows[] = {
      {"2.5", 2.5, P::None},     {" -1 ", -1, P::None},      {"+0.25", 0.25, P::None}, {"1e2", 100, P::None},
      {"nan", 0, P::NotFinite},  {"inf", 0, P::NotFinite},   {"-inf", 0, P::NotFinite}, {"1e999", 0, P::NotFinite},
      {"100.5", 0, P::OutOfRange}, {"419430400.5", 0, P::OutOfRange}, {"-101", 0, P::OutOfRange},
      {"12abc", 0, P::NotNumber}, {"0x1F", 0, P::NotNumber}, {"", 0, P::NotNumber}, {"1,5", 0, P::NotNumber},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    NumberProblem why = P::None;
    const auto v = kx::ParseSettingReal(r.text, -100, 100, why);
    EXPECT_EQ(why, r.why);
    EXPECT_EQ(v.value_or(0), r.value);
  }
}

class SettingNumberReads : public kxtest::DeviceTestEnv {};

TEST_F(SettingNumberReads, MissingOrEmptyGivesTheDefaultAndARefusalNamesTheSetting) {
  const std::string file = ".\\paramFDB.ini";
  std::string message;
  double real = -1;
  EXPECT_TRUE(kx::ReadSettingReal(file, "RDT", "Cycle", 3.5, 0, 100, real, message));
  EXPECT_EQ(real, 3.5);
  SetIni(file.c_str(), "RDT", "Cycle", " ");
  real = -1;
  EXPECT_TRUE(kx::ReadSettingReal(file, "RDT", "Cycle", 3.5, 0, 100, real, message));
  EXPECT_EQ(real, 3.5);

  SetIni(file.c_str(), "RDT", "Cycle", "nan");
  real = 7;
  EXPECT_FALSE(kx::ReadSettingReal(file, "RDT", "Cycle", 3.5, 0, 100, real, message));
  EXPECT_EQ(real, 7);  // untouched
  EXPECT_EQ(message, "Setting [RDT] Cycle = nan in .\\paramFDB.ini is not a valid number");

  std::uint16_t mask = 9;
  SetIni(file.c_str(), "Flash Info", "CeMap", "1FFFF");
  EXPECT_FALSE(kx::ReadSettingInt<std::uint16_t>(file, "Flash Info", "CeMap", 0, mask, message, true));
  EXPECT_EQ(message, "Setting [Flash Info] CeMap = 1FFFF in .\\paramFDB.ini is out of range");
  SetIni(file.c_str(), "Flash Info", "CeMap", "0x00FF");
  ASSERT_TRUE(kx::ReadSettingInt<std::uint16_t>(file, "Flash Info", "CeMap", 0, mask, message, true));
  EXPECT_EQ(mask, 0xFF);
}

}  // namespace
