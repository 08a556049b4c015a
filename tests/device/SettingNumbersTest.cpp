#include "device/SettingNumbers.h"

#include <cstdint>

#include "tests/support/ScratchFolder.h"

namespace {

using P = kx::NumberProblem;

TEST(SettingNumbers, IntegersAreWholeValuesInRange) {
  constexpr std::int64_t kMin = INT32_MIN, kMax = INT32_MAX;
  const struct {
    const char* text;
    bool hex;
    std::int64_t min, max, value;  // value when accepted
    P why;
  } rows[] = {
      {" 7 ", false, kMin, kMax, 7, P::None},
      {"+5", false, kMin, kMax, 5, P::None},
      {"-2147483648", false, kMin, kMax, kMin, P::None},
      {"2147483648", false, kMin, kMax, 0, P::OutOfRange},
      {"-1", false, 0, UINT32_MAX, 0, P::OutOfRange},
      {"99999999999999999999", false, kMin, kMax, 0, P::OutOfRange},
      {"419430400.5", false, kMin, kMax, 0, P::NotWhole},
      {"12abc", false, kMin, kMax, 0, P::NotNumber},
      {"0x1F", false, kMin, kMax, 0, P::NotNumber},
      {"0x1F", true, 0, 0xFFFF, 0x1F, P::None},
      {"1FFFF", true, 0, 0xFFFF, 0, P::OutOfRange},
      {"-1F", true, 0, 0xFFFF, 0, P::NotNumber},
      {"nan", false, kMin, kMax, 0, P::NotNumber},
      {"--5", false, kMin, kMax, 0, P::NotNumber},
  };
  for (const auto& r : rows) {
    P why = P::None;
    const auto v = kx::ParseSettingInteger(r.text, r.hex, r.min, r.max, why);
    EXPECT_EQ(why, r.why) << r.text;
    EXPECT_EQ(v.value_or(0), r.value) << r.text;
  }
}

TEST(SettingNumbers, RealsAreFiniteAndInRange) {
  const struct {
    const char* text;
    double value;
    P why;
  } rows[] = {{" -1 ", -1, P::None},       {"+0.25", 0.25, P::None},   {"nan", 0, P::NotFinite},
              {"inf", 0, P::NotFinite},    {"-inf", 0, P::NotFinite},  {"1e999", 0, P::NotFinite},
              {"100.5", 0, P::OutOfRange}, {"12abc", 0, P::NotNumber}, {"", 0, P::NotNumber}};
  for (const auto& r : rows) {
    P why = P::None;
    const auto v = kx::ParseSettingReal(r.text, -100, 100, why);
    EXPECT_EQ(why, r.why) << r.text;
    EXPECT_EQ(v.value_or(0), r.value) << r.text;
  }
}

class SettingNumberReads : public kxtest::DeviceTestEnv {};

TEST_F(SettingNumberReads, MissingOrEmptyGivesTheDefaultAndARefusalNamesTheSetting) {
  const std::string file = ".\\paramFDB.ini";
  std::string message;
  double real = -1;
  SetIni(file.c_str(), "RDT", "Cycle", " ");
  EXPECT_TRUE(kx::ReadSettingReal(file, "RDT", "Cycle", 3.5, 0, 100, real, message));
  EXPECT_EQ(real, 3.5);
  SetIni(file.c_str(), "RDT", "Cycle", "nan");
  EXPECT_FALSE(kx::ReadSettingReal(file, "RDT", "Cycle", 3.5, 0, 100, real, message));
  EXPECT_EQ(message, "Setting [RDT] Cycle = nan in .\\paramFDB.ini is not a valid number");
  std::uint16_t mask = 0;
  SetIni(file.c_str(), "Flash Info", "CeMap", "1FFFF");
  EXPECT_FALSE(kx::ReadSettingInt<std::uint16_t>(file, "Flash Info", "CeMap", 0, mask, message, true));
  EXPECT_EQ(message, "Setting [Flash Info] CeMap = 1FFFF in .\\paramFDB.ini is out of range");
  // The read buffer holds 255 characters: a longer value is refused, never cut.
  int count = 0;
  SetIni(file.c_str(), "Options", "Count", std::string(254, '0') + "8");
  EXPECT_TRUE(kx::ReadSettingInt(file, "Options", "Count", 0, count, message));
  EXPECT_EQ(count, 8);
  const std::string cut = "8" + std::string(254, ' ') + "x";
  SetIni(file.c_str(), "Options", "Count", cut);
  EXPECT_FALSE(kx::ReadSettingInt(file, "Options", "Count", 0, count, message));
  EXPECT_EQ(message, "Setting [Options] Count = " + cut + " in .\\paramFDB.ini is longer than 255 characters");
}

}  // namespace
