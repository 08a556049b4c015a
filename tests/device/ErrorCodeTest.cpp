#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "device/ErrorCode.h"

namespace {

class ErrorCodeCatalogue : public ::testing::Test {
 protected:
  void SetUp() override { FillErrorCodeMap(); }
  void TearDown() override { ClearErrorCodeMap(); }
};

TEST_F(ErrorCodeCatalogue, HoldsEveryRowOnceAndRefillsTheSame) {
  EXPECT_EQ(ErrorCodeMapSize(), 350u);
  FillErrorCodeMap();
  EXPECT_EQ(ErrorCodeMapSize(), 350u);
}

TEST_F(ErrorCodeCatalogue, NumbersFollowPositionWithinCategory) {
  EXPECT_EQ(FormatErrorCodeText("S_x01"), "0x000");
  EXPECT_EQ(FormatErrorCodeText("M_x04"), "0x103");
  EXPECT_EQ(FormatErrorCodeText("H_x10"), "0xB09");
  EXPECT_EQ(FormatErrorCodeText("I_V02"), "0x472");
  EXPECT_EQ(FormatErrorCodeText("T_01"), "0x600");
  EXPECT_EQ(FormatErrorCodeText("T_x06"), "0x605");
  // Digits in a name do not give its number.
  EXPECT_EQ(FormatErrorCodeText("I_x45"), "0x42C");
  EXPECT_EQ(FormatErrorCodeText("I_x78"), "0x44E");
  EXPECT_EQ(FormatErrorCodeText("I_T52"), "0x42A");
  EXPECT_EQ(FormatErrorCodeText("I_x74"), "0x448");
  EXPECT_EQ(FormatErrorCodeText("I_U73"), "0x449");
  EXPECT_EQ(FormatErrorCodeText("D_D01"), "0x512");
  EXPECT_EQ(FormatErrorCodeText("A_L09"), "0x708");
  EXPECT_EQ(FormatErrorCodeText("Z_x01"), "0x800");
  EXPECT_EQ(FormatErrorCodeText("R_x08"), "0xA07");
  EXPECT_EQ(FormatErrorCodeText("P_x19"), "0x212");
  EXPECT_EQ(FormatErrorCodeText("M_T60"), "0x13B");
}

TEST_F(ErrorCodeCatalogue, ExceptionRowsKeepTheirNumbers) {
  EXPECT_EQ(FormatErrorCodeText("S_x28"), "0x01C");
  EXPECT_EQ(FormatErrorCodeText("S_x29"), "0x01B");
  EXPECT_EQ(FormatErrorCodeText("S_x30"), "0x01D");
  EXPECT_EQ(FormatErrorCodeText("F_T10"), "0x331");
  EXPECT_EQ(FormatErrorCodeText("F_T27"), "0x331");
  EXPECT_EQ(FormatErrorCodeText("F_x50"), "0x340");
  EXPECT_EQ(FormatErrorCodeText("F_x49"), "0x330");
}

TEST_F(ErrorCodeCatalogue, UncataloguedCodesFallBackToTheirGeneralRow) {
  EXPECT_EQ(FormatErrorCodeText("I_B65"), "0x440");
  EXPECT_EQ(FormatErrorCodeText("T_A13"), "0x60C");
  EXPECT_EQ(FormatErrorCodeText("S_C01"), "0x000");
  EXPECT_EQ(FormatErrorCodeText("T_X02"), "0x601");  // keys are case-sensitive; 'X' falls back to 'x'
  EXPECT_EQ(FormatErrorCodeText("I_C0Ba"), "0xFFF");
  EXPECT_EQ(FormatErrorCodeText("S_xMA"), "0xFFF");
  EXPECT_EQ(FormatErrorCodeText("H_AF"), "0xFFF");
  EXPECT_EQ(FormatErrorCodeText("S_"), "0xFFF");
}

TEST_F(ErrorCodeCatalogue, TextsThatAreNoCodePassUnchanged) {
  EXPECT_EQ(FormatErrorCodeText("UID_A"), "UID_A");
  EXPECT_EQ(FormatErrorCodeText("UID_F"), "UID_F");
  EXPECT_EQ(FormatErrorCodeText("None"), "None");
  EXPECT_EQ(FormatErrorCodeText(""), "");
  EXPECT_EQ(FormatErrorCodeText("A"), "A");
}

TEST(ErrorCodeCatalogueLifetime, EmptyCatalogueGivesFFF) {
  ClearErrorCodeMap();
  EXPECT_EQ(FormatErrorCodeText("M_x04"), "0xFFF");
  FillErrorCodeMap();
  EXPECT_EQ(FormatErrorCodeText("M_x04"), "0x103");
  ClearErrorCodeMap();
  EXPECT_EQ(ErrorCodeMapSize(), 0u);
  EXPECT_EQ(FormatErrorCodeText("M_x04"), "0xFFF");
}

// Workers print codes while the catalogue is cleared and refilled: every lookup
// sees either the full catalogue or none of it.
TEST(ErrorCodeCatalogueLifetime, LookupsDuringClearSeeWholeStates) {
  FillErrorCodeMap();
  std::vector<std::thread> workers;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([&bad] {
      for (int i = 0; i < 20000; ++i) {
        const std::string s = FormatErrorCodeText("I_B65");
        if (s != "0x440" && s != "0xFFF") ++bad;
      }
    });
  for (int i = 0; i < 200; ++i) {
    ClearErrorCodeMap();
    FillErrorCodeMap();
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(bad.load(), 0);
  ClearErrorCodeMap();
}

}  // namespace
