#include "legacy/SummaryPageLogic.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>

#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "tests/support/ScratchFolder.h"

namespace kx {
namespace {

class SummaryPage : public kxtest::DeviceTestEnv {
 protected:
  void Summary(const std::string& results, const std::string& errors) {
    std::filesystem::create_directories(Native(".\\W01_PC7\\MP"));
    SetIni(".\\param.ini", "General Info", "WorkingNo", "W01");
    SetIni(".\\param.ini", "Log Path", "SetLogFolderPath", "D:\\Logs\\");
    std::filesystem::create_directories(Native("D:\\Logs"));
    ASSERT_EQ(platform::WriteFileBytes("D:\\Logs\\_Summary.log",
                                       "[Time]\r\nStart Time=1\r\nEnd Time=2\r\n[Results]\r\n" + results +
                                           "[ErrorList]\r\nErrorCode=count\r\n" + errors),
              0u);
    logic_.Start();
  }
  static std::vector<std::string> Column(const std::vector<SummaryRow>& rows, int which) {
    std::vector<std::string> out;
    for (const SummaryRow& row : rows) out.push_back(which == 0 ? row.name : which == 1 ? row.count : row.rate);
    return out;
  }

  kxtest::ScratchFolder scratch_{"summary"};
  std::shared_ptr<platform::RecordingMessageBox> box_ = std::make_shared<platform::RecordingMessageBox>();
  platform::ScopedMessageBox scoped_{box_};
  CSummaryPageLogic logic_;
};

TEST(SummaryPaths, FromStationWorkingNumberAndLogPath) {
  EXPECT_EQ(CSummaryPageLogic::SummaryPathFor(5, "PC7", "", "W01"), ".\\W01_PC7\\QC\\_Summary.log");
  EXPECT_EQ(CSummaryPageLogic::SummaryPathFor(3, "PC7", "", "W01"), ".\\W01_PC7\\MP\\_Summary.log");
  EXPECT_EQ(CSummaryPageLogic::SummaryPathFor(5, "PC7", "D:\\Logs\\", "W01"), "D:\\Logs\\_Summary.log");
  EXPECT_EQ(CSummaryPageLogic::SummaryPathFor(5, "PC7", "D:\\Logs", "W01"), "D:\\Logs_Summary.log");
}

TEST_F(SummaryPage, CardRates) {
  struct Row {
    const char* results;
    std::vector<std::string> counts, rates;
  } rows[] = {{"Pass=3\r\nTotalErrorCount=1\r\n", {"4", "3", "1"}, {"100%", "75.00%", "25.00%"}},
              {"Pass=5\r\nTotalErrorCount=0\r\n", {"5", "5", "0"}, {"100%", "100.00%", "0.00%"}},
              {"", {"0", "0", "0"}, {"100%", "0.00%", "0.00%"}},
              // No overflow of the total, and a count below 0 is none.
              {"Pass=2147483647\r\nTotalErrorCount=2147483647\r\n",
               {"4294967294", "2147483647", "2147483647"},
               {"100%", "50.00%", "50.00%"}},
              {"Pass=-5\r\nTotalErrorCount=10\r\n", {"10", "0", "10"}, {"100%", "0.00%", "100.00%"}}};
  for (const Row& row : rows) {
    Summary(row.results, "");
    ASSERT_TRUE(logic_.Generate());
    EXPECT_EQ(Column(logic_.Cards(), 0), (std::vector<std::string>{"Total Card", "Total Pass Card", "Total Fail Card"}));
    EXPECT_EQ(Column(logic_.Cards(), 1), row.counts) << row.results;
    EXPECT_EQ(Column(logic_.Cards(), 2), row.rates) << row.results;
  }
}

TEST_F(SummaryPage, ErrorRowsReadThroughTheProfileWithoutTheHeader) {
  Summary("Pass=0\r\nTotalErrorCount=4\r\n", "S_x01=2\r\nABCDEFG=1\r\nT_A13=1\r\n");
  ASSERT_TRUE(logic_.Generate());
  EXPECT_EQ(Column(logic_.Errors(), 0), (std::vector<std::string>{"T_A13", "ABCDEFG", "S_x01"}));
  EXPECT_EQ(Column(logic_.Errors(), 2), (std::vector<std::string>{"25.00%", "25.00%", "50.00%"}));
}

TEST_F(SummaryPage, ANegativeErrorCountShowsAsNone) {
  Summary("Pass=0\r\nTotalErrorCount=4\r\n", "S_x01=-1\r\n");
  ASSERT_TRUE(logic_.Generate());
  EXPECT_EQ(Column(logic_.Errors(), 1), std::vector<std::string>{"0"});
  EXPECT_EQ(Column(logic_.Errors(), 2), std::vector<std::string>{"0.00%"});
}

TEST_F(SummaryPage, AFifoAtTheSummaryPathIsNotWaitedOn) {
  Summary("", "");
  ASSERT_TRUE(std::filesystem::remove(Native("D:\\Logs\\_Summary.log")));
  ASSERT_EQ(::mkfifo(Native("D:\\Logs\\_Summary.log").c_str(), 0644), 0);
  EXPECT_TRUE(logic_.Generate());
  EXPECT_EQ(box_->Texts(), std::vector<std::string>{"Open _Summary.log file Failed!!!"});
}

TEST_F(SummaryPage, NoFailuresGiveZeroRates) {
  Summary("Pass=2\r\nTotalErrorCount=0\r\n", "S_x01=2\r\n");
  ASSERT_TRUE(logic_.Generate());
  EXPECT_EQ(Column(logic_.Errors(), 2), std::vector<std::string>{"0.00%"});
}

TEST_F(SummaryPage, MissingSummarySaysSo) {
  logic_.Start();
  EXPECT_FALSE(logic_.Generate());
  EXPECT_EQ(box_->Texts(), std::vector<std::string>{"Don't found _Summary.log file !!!"});
}

TEST_F(SummaryPage, HeaderReadOutOnlyForKx7410) {
  std::vector<std::uint8_t> image(600, 0);
  const std::uint8_t head[] = {'K', 'X', 0x1D, 0x42, 0, 0, 0, 0x00, 0x01, 0x02, 0x03, 0xAB, 0xCD, 0,
                               0x0A, 0x0B, 0x0C, 0x0D, 0x12, 0x34, 0, 'A', 'B'};
  std::copy(std::begin(head), std::end(head), image.begin());
  const std::uint8_t tail[] = {0x20, 0x14, 0x07, 0x09, 0x13, 0x05, 0x59, 0x55, 0xAA};
  std::copy(std::begin(tail), std::end(tail), image.begin() + 503);
  ASSERT_EQ(platform::WriteFileBytes(".\\mp.bin", std::string(image.begin(), image.end())), 0u);
  SetIni(".\\param.ini", "Device Info", "ISP_MPBINCode", "C:\\gone\\mp.bin");  // found beside the program
  SetIni(".\\param.ini", "Device Info", "ControllerType", "KX7410A");
  logic_.Start();
  EXPECT_EQ(logic_.ReadMpBinHeader(),
            (std::vector<std::string>{"BIN Build Time: 2014-0709-13:05:59\r", "Header Mark: KX\r",
                                      "IC Version: 7490AB\r", "IC Firmware Version: 1d42\r",
                                      "PRAM Code Size= 0x00010203\r", "PRAM Code CHKSUM= abcd\r",
                                      "Flash Code Size= 0x0a0b0c0d\r", "Flash Code CHKSUM= 1234\r",
                                      "Header Mark: 55aa\r"}));
  SetIni(".\\param.ini", "Device Info", "ControllerType", "KX7300");
  logic_.Start();
  EXPECT_TRUE(logic_.ReadMpBinHeader().empty());
  EXPECT_TRUE(box_->Texts().empty());
}

// Bytes this process has read so far, as the system counts them.
std::uint64_t BytesRead() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return 0;
}

TEST_F(SummaryPage, HeaderReadOutReadsOnlyTheHeader) {
  if (BytesRead() == 0) GTEST_SKIP() << "no read accounting";
  std::string image(8 << 20, '\0');
  image[510] = '\x55';
  image[511] = '\xAA';
  ASSERT_EQ(platform::WriteFileBytes(".\\mp.bin", image), 0u);
  SetIni(".\\param.ini", "Device Info", "ISP_MPBINCode", ".\\mp.bin");
  SetIni(".\\param.ini", "Device Info", "ControllerType", "KX7410");
  logic_.Start();
  const std::uint64_t before = BytesRead();
  const auto lines = logic_.ReadMpBinHeader();
  EXPECT_LT(BytesRead() - before, std::uint64_t{1} << 20);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Header Mark: 55aa\r");
}

TEST_F(SummaryPage, SaveNeedsAFolderAndAName) {
  Summary("Pass=1\r\nTotalErrorCount=0\r\n", "");
  ASSERT_TRUE(logic_.Generate());
  EXPECT_FALSE(logic_.CanSave());
  EXPECT_FALSE(logic_.SaveAsText());
  logic_.Choose(logic_.SummaryPath());  // the run's own summary has no name stem
  EXPECT_FALSE(logic_.CanSave());
  ASSERT_EQ(platform::WriteFileBytes("D:\\Logs\\Line2_Summary.xls", "x"), 0u);
  const auto choices = logic_.Choices();
  ASSERT_EQ(choices, (std::vector<std::string>{"D:\\Logs\\_Summary.log", "D:\\Logs\\Line2_Summary.xls"}));
  logic_.Choose(choices[1]);
  ASSERT_TRUE(logic_.SaveAsText());
  EXPECT_EQ(ReadAll("D:\\Logs\\Line2_Summary.log"),
            "Total Card\t1\t100%\r\nTotal Pass Card\t1\t100.00%\r\nTotal Fail Card\t0\t0.00%\r\n");
}

}  // namespace
}  // namespace kx
