#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "device/ErrorCode.h"

namespace {

TEST(ErrorCodeCatalogue, PrintsEachCodeAsItsNumber) {
  kx::FillErrorCodeMap();
  kx::FillErrorCodeMap();  // a second fill gives the same rows
  EXPECT_EQ(kx::ErrorCodeMapSize(), 350u);
  const std::pair<const char*, const char*> cases[] = {
      // By position within the category, whatever the digits in the name say.
      {"S_x01", "0x000"}, {"M_x04", "0x103"}, {"H_x10", "0xB09"}, {"I_V02", "0x472"}, {"T_01", "0x600"},
      {"T_x06", "0x605"}, {"I_x45", "0x42C"}, {"I_x78", "0x44E"}, {"I_T52", "0x42A"}, {"I_x74", "0x448"},
      {"I_U73", "0x449"}, {"D_D01", "0x512"}, {"A_L09", "0x708"}, {"Z_x01", "0x800"}, {"R_x08", "0xA07"},
      {"P_x19", "0x212"}, {"M_T60", "0x13B"}, {"F_x49", "0x330"},
      // The rows that break the rule.
      {"S_x28", "0x01C"}, {"S_x29", "0x01B"}, {"S_x30", "0x01D"}, {"F_T10", "0x331"}, {"F_T27", "0x331"},
      {"F_x50", "0x340"},
      // Not catalogued: the row whose third character is 'x', else 0xFFF.
      {"I_B65", "0x440"}, {"T_A13", "0x60C"}, {"S_C01", "0x000"}, {"T_X02", "0x601"}, {"I_C0Ba", "0xFFF"},
      {"S_xMA", "0xFFF"}, {"H_AF", "0xFFF"}, {"S_", "0xFFF"},
      // No code: unchanged.
      {"UID_A", "UID_A"}, {"UID_F", "UID_F"}, {"None", "None"}, {"", ""}, {"A", "A"}};
  for (const auto& [code, printed] : cases) EXPECT_EQ(kx::FormatErrorCodeText(code), printed) << code;
  kx::ClearErrorCodeMap();
  EXPECT_EQ(kx::ErrorCodeMapSize(), 0u);
  EXPECT_EQ(kx::FormatErrorCodeText("M_x04"), "0xFFF");
}

// Workers print codes while the catalogue is cleared and refilled: every lookup
// sees either the full catalogue or none of it.
TEST(ErrorCodeCatalogue, LookupsDuringClearSeeWholeStates) {
  kx::FillErrorCodeMap();
  std::vector<std::thread> workers;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([&bad] {
      for (int i = 0; i < 20000; ++i) {
        const std::string s = kx::FormatErrorCodeText("I_B65");
        if (s != "0x440" && s != "0xFFF") ++bad;
      }
    });
  for (int i = 0; i < 200; ++i) {
    kx::ClearErrorCodeMap();
    kx::FillErrorCodeMap();
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(bad.load(), 0);
  kx::ClearErrorCodeMap();
}

}  // namespace
