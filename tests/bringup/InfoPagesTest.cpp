// Info-code sector bytes as plain values; the info-page, good-card mark,
// ISP-code erase and info-code steps against the emulated drive.
#include <gtest/gtest.h>

#include <optional>
#include <tuple>

#include "bringup/InfoPages.h"
#include "device/PortDevice.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::Has;

std::string Bytes(const std::uint8_t* p, std::size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

TEST(InfoPagesHelpers, InfoCodeStamp) {
  const win::SYSTEMTIME december{2026, 12, 6, 5, 19, 7, 30, 0}, newYear{2030, 1, 4, 31, 23, 59, 0, 0};
  // clang-format off
  const struct { const char* name; win::SYSTEMTIME time; const char *nameBytes, *date; } rows[] = {
      {"0IKLMNOP", december, "3I0LKNMPO\xEE\xEE", "\xC6\x65\x1E"},
      {"ABC", december, "3BA C    \xEE\xEE", "\xC6\x65\x1E"},
      {"ABCDEFGHI", newYear, "3BADCFEHG\xEE\xEE", "\x10\xFF\xEE"}};  // the ninth character is cut
  // clang-format on
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::uint8_t sector[512];
    std::fill(std::begin(sector), std::end(sector), 0xEE);
    kx::StampInfoCode(sector, r.name, r.time);
    EXPECT_EQ(Bytes(sector, 7), "Tavlin\xEE");
    EXPECT_EQ(Bytes(sector + 78, 11), r.nameBytes);
    EXPECT_EQ(Bytes(sector + 505, 5), std::string("\xEE") + r.date + "\xEE");
  }
}

TEST(InfoPagesHelpers, GoodCardMarkRules) {
  // clang-format off
  const struct { std::uint8_t mark; kx::StageNeeds needs; const char* message; } stages[] = {
      {0x05, {true, true, true, true}, "Good Card Mark NOT enable(05), NOT pass QC stage!!"},
      {0x03, {false, true, true, false}, "Good Card Mark NOT enable(03), NOT pass (Self_)BurnIn stage!!"},
      {0x07, {false, false, false, true}, "Good Card Mark NOT enable(07), NOT pass PC BurnIn Test!!"},
      {0x17, {true, true, true, true}, ""}};
  const struct { std::uint8_t mark, b510; bool production; int upLoad, rma; const char *code, *message; } rules[] = {
      {0x23, {}, true, 0, 0, "S_x18", "Have UpLoad Good Mark but don't set RunUpLoad on param.ini file!!"},
      {0x03, 1, true, 0, 0, "S_x23", "Testing sample have do RMA Test!!"},
      {0x23, 1, true, 1, 1, "", ""}, {0x03, 1, false, 0, 0, "", ""}, {0x03, 0xFE, true, 0, 0, "", ""}};
  // clang-format on
  for (const auto& r : stages) EXPECT_EQ(kx::MissingStageMessage(r.mark, r.needs), r.message);
  for (const auto& r : rules) {
    const kx::MarkRuleFault f = kx::QcStationMarkFault(r.mark, r.b510, r.production, r.upLoad, r.rma);
    EXPECT_EQ(f.code + f.message, std::string(r.code) + r.message) << &r - rules;
  }
}

class InfoPages : public kxtest::DeviceTestEnv {
 protected:
  static constexpr const char* kParam = ".\\param.ini";
  static constexpr const char* kReport = "D:\\Log\\D_Reports\\PC_1_Report.txt";
  kxtest::EmulatedStation s{kxtest::Mode::TesterDirect};
  CPortDevice& d = s.Device();
};

// The mark a station keeps from the drive's byte 511 and the byte a stage
// writes over the drive's block's byte (as read, or 0 after a rebuild).
TEST_F(InfoPages, GoodCardMarkRun) {
  // clang-format off
  const struct { int station; std::uint8_t production; int stage; std::uint8_t read, kept, block, written; } rows[] = {
      {3, 1, 1, 0x12, 0x00, 0x12, 0x13}, {5, 1, 2, 0x12, 0x12, 0x12, 0x12}, {5, 0, 1, 0x12, 0x00, 0x12, 0x12},
      {7, 1, 1, 0x14, 0x04, 0x00, 0x05}, {6, 1, 4, 0x22, 0x22, 0x00, 0x32}, {9, 1, 5, 0x37, 0x05, 0x00, 0x05},
      {8, 1, 3, 0x10, 0x00, 0x00, 0x05}};
  // clang-format on
  for (const auto& r : rows) {
    SCOPED_TRACE(r.station * 10 + r.stage);
    std::vector<std::uint8_t> page = s.Drive().InfoBlockPage(0);
    page[511] = r.read;
    s.Drive().SetInfoBlockPage(0, page);
    std::tie(d.m_Station, d.m_IsProduction) = std::tuple(r.station, r.production);
    ASSERT_TRUE(d.IssueReadInfoPage());
    EXPECT_EQ(d.m_SavedGoodCardMark, r.kept);
    d.m_InfoBlockBuilt = d.m_InfoBlockRead;
    page[511] = r.block;
    s.Drive().SetInfoBlockPage(0, page);
    ASSERT_TRUE(d.WriteGoodCardMark(r.stage));
    EXPECT_EQ(s.Drive().InfoBlockPage(0)[511], r.written);
  }
  EXPECT_TRUE(Has(PortReport(), "[ Success ] GoodCard Mark OK. \r\n"));
  d.m_InfoBlockRead[510] = 1;                                  // RMA-tested, but the QC rules
  EXPECT_TRUE(d.CheckGoodCardMark(true, false, true, false));  // hold only at station 5
  d.m_IsProduction = d.m_RdtFwFlag = 1;
  s.Drive().ClearTrace();
  ASSERT_TRUE(d.IssueReadInfoPage());
  EXPECT_TRUE(s.Drive().Trace().empty());  // the RDT firmware's block is not read
}

TEST_F(InfoPages, PageAndInfoCodeBytes) {
  ASSERT_TRUE(d.GetInfoBlock());
  s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x28});
  EXPECT_FALSE(d.GetInfoBlock());
  EXPECT_EQ(d.m_InfoBlockRead, (std::array<std::uint8_t, 512>{}));  // zeros from a failed read
  const char* toolIni = ".\\Configuration\\System\\MPToolSetting.ini";
  MakeDirs(".\\Configuration\\System");
  SetIni(toolIni, "General Info", "SetCustomFwName", "0");
  SetIni(kParam, "Options", "Set Firmware Name", "0IKLMNOP");
  ASSERT_TRUE(d.UpdateInfoCode());
  EXPECT_EQ(Bytes(s.Drive().InfoCodeSector().data() + 78, 9), "3VQ1F0010");  // the name the drive held
  SetIni(toolIni, "General Info", "SetCustomFwName", "1");
  ASSERT_TRUE(d.UpdateInfoCode());
  const std::array<std::uint8_t, 512> sector = s.Drive().InfoCodeSector();
  EXPECT_EQ(Bytes(sector.data() + 78, 9), "3I0LKNMPO");
  win::SYSTEMTIME now;
  win::GetLocalTime(&now);
  std::uint8_t date[512] = {};
  kx::PutInfoCodeDate(date, now);
  EXPECT_EQ(Bytes(sector.data() + 506, 3), Bytes(date + 506, 3));
  EXPECT_TRUE(d.DumpBufferToFile(date + 506, 3, ".\\dump.bin"));
  EXPECT_EQ(ReadAll(".\\dump.bin"), Bytes(date + 506, 3));
  EXPECT_FALSE(d.DumpBufferToFile(date, 3, ".\\missing\\dump.bin"));
  EXPECT_EQ(d.m_InfoBlockBuilt, sector);
}

std::uint8_t g_Buffer[512];
constexpr std::uint8_t kKey = 0xFA;  // the access key's command
using Step = bool (*)(CPortDevice&);
const Step kReadPage = [](CPortDevice& d) { return d.IssueReadInfoPage(); };
const Step kMark = [](CPortDevice& d) { return d.WriteGoodCardMark(1); };
const Step kUnbuiltMark = [](CPortDevice& d) { return d.m_InfoBlockBuilt.fill(0), d.WriteGoodCardMark(1); };
const Step kPage0 = [](CPortDevice& d) { return d.ReadWriteInfoBlock(g_Buffer, true, 0); };
const Step kPage3 = [](CPortDevice& d) { return d.ReadWriteInfoBlock(g_Buffer, false, 3); };  // over 512 bytes
const Step kInfoBlock = [](CPortDevice& d) { return d.GetInfoBlock(); };
const Step kSmartData = [](CPortDevice& d) { return d.ReadSmartData(g_Buffer); };
const Step kSmartEntry = [](CPortDevice& d) { return d.ReadSmartEntry(g_Buffer); };
const Step kQcMark = [](CPortDevice& d) {  // an RMA-tested drive at the QC station without RMATest
  return d.m_Station = 5, d.m_InfoBlockRead[510] = 1, d.CheckGoodCardMark(false, false, false, false);
};
const Step kErase = [](CPortDevice& d) { return d.EraseISPCode(); };
const Step kInfoCode = [](CPortDevice& d) { return d.UpdateInfoCode(); };

// A step passes, then fails on `count` failures of a command after `skip` of
// them (opcode 0: no fault, the step only fails); `report`: a fail report.
TEST_F(InfoPages, EachStepPassesAndFails) {
  // clang-format off
  const struct {
    std::uint8_t opcode; std::optional<std::uint8_t> sub; std::uint8_t count, skip;
    Step step; const char *code, *message; bool report;
  } rows[] = {
      {kKey, {}, 3, 0, kReadPage, "I_D01", "Issue Set AP key command Fail.", true},
      {0x21, 0x28, 1, 0, kReadPage, "I_D45", "Issue ReadInfoPage Command Failed!!!", true},
      {0, {}, 0, 0, kUnbuiltMark, "I_Q46", "InfoBlock is not built!!", true},
      {kKey, {}, 6, 1, kMark, "I_Q01", "Issue Set AP key command Fail.", true},  // both tries
      {0x31, 0x25, 1, 0, kMark, "I_Q10", "Issue Write Info Block Command Failed.", true},
      {kKey, {}, 3, 2, kMark, "I_Q01", "Issue Set AP key command Fail.", true},  // after the write
      {0x31, 0x25, 1, 0, kPage0, "M_x05", "Issue DirectWriteInfoBlock Command Fail", true},
      {0, {}, 0, 0, kPage3, "M_x05", "Issue DirectReadInfoBlock Command Fail", true},
      {kKey, {}, 3, 0, kInfoBlock, "I_x01", "Issue APKey Command Failed_GetInfoBlock", false},
      {0xB0, {}, 1, 0, kSmartData, "M_x05", "Issue SMART_READ_DATA Command Failed", true},
      {0x21, 0x28, 1, 0, kSmartEntry, "M_x05", "Issue DirectReadInfoBlock Smart Entry Command Failed", true},
      {0, {}, 0, 0, kQcMark, "S_x23", "Testing sample have do RMA Test!!", false},
      {0x21, 0x46, 1, 0, kErase, "M_x04", "Erase ISP Code fail!!!", true},
      {0x21, 0x29, 1, 0, kInfoCode, "M_x04", "Update Info Code - Read fail!!!", true},
      {0x31, 0x29, 1, 0, kInfoCode, "M_x04", "Update Info Code - Write fail!!!", true}};
  // clang-format on
  for (const auto& r : rows) {
    SCOPED_TRACE(&r - rows);
    ASSERT_TRUE(d.IssueReadInfoPage());
    d.m_InfoBlockBuilt = d.m_InfoBlockRead;
    EXPECT_TRUE(r.opcode == 0 || r.step(d));
    d.m_ErrorCode = "M_x05";  // what a step that sets only the message leaves
    s.Drive().Faults().FailNext(r.count, {.opcode = r.opcode, .subCommand = r.sub, .skip = r.skip});
    const std::string report = Appended(kReport, [&] { EXPECT_FALSE(r.step(d)); });
    EXPECT_EQ(d.m_ErrorCode, r.code);
    EXPECT_EQ(d.m_ErrorMessage, r.message);
    EXPECT_EQ(Has(report, std::string("[ Fail ]  Error Message : ") + r.message + " \r\n"), r.report);
  }
  EXPECT_EQ(ReadAll(".\\GInfoB_w.txt").size(), 512u);  // the block the failed write sent
}

}  // namespace
