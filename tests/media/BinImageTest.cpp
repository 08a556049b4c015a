// BIN readers on literal images; the loader on files, refusing every bad one before any command.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "device/PortDevice.h"
#include "media/BinImage.h"
#include "platform/FileFaults.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "tests/support/BinFixture.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::BuildBinContainer;
using kxtest::BuildBinImage;
using kxtest::PutBe32;
using Bytes = std::vector<std::uint8_t>;
using Change = std::function<void(Bytes&)>;
std::uint32_t Size(const Bytes& b) { return static_cast<std::uint32_t>(b.size()); }

TEST(BinImage, FrameMarks) {
  std::array<std::uint8_t, 4> marks{0x22, 0, 0, 0x58};
  const Bytes framed = {0x22, 0x31, 0x07, 0x31, 0x58}, inner = {0x22, 0x31, 0x32, 0x58}, tiny = {0x22, 0x31, 0x58};
  EXPECT_TRUE(kx::CheckBinFrame(framed.data(), 5, 5, marks));
  EXPECT_EQ(marks[2], 0x31);
  EXPECT_FALSE(kx::CheckBinFrame(framed.data(), 5, 4, marks));  // read count differs from the size
  EXPECT_FALSE(kx::CheckBinFrame(inner.data(), 4, 4, marks));
  EXPECT_FALSE(kx::CheckBinFrame(tiny.data(), 3, 3, marks));
}

// Stored images carry a 32-bit sum: 0xFF bytes that add up to 2^32 + 254 match "0000000000254".
TEST(BinImage, ByteSumWrapsAt32Bits) {
  Bytes content(16843010 + 13, 0xFF);  // 16843010 summed bytes, 255 each
  const auto store = [&content](const char* digits) { std::copy(digits, digits + 13, content.begin() + 35); };
  store("0000000000254");
  EXPECT_EQ(kx::BinContentSum(content), 254u);
  EXPECT_TRUE(kx::BinSumMatches(content));
  store("0004294967550");
  EXPECT_FALSE(kx::BinSumMatches(content));
}

// The header check, then the layout check for the image's use, as the loader runs them.
TEST(BinImage, HeaderAndLayoutRules) {
  using enum kx::BinCodeUse;
  const struct {
    const char* name;
    Change change;
    int codeKind;
    bool rdt;
    kx::BinCodeUse use;
    const char* problem;
  } rows[] = {
      {"good", [](Bytes&) {}, 0, false, RamCode, ""},
      {"no 55AA", [](Bytes& b) { b[511] = 0; }, 0, false, RamCode,
       "BINHeaderCheck: Invalid Header(Don't have 55AA) !!!"},
      {"under 512", [](Bytes& b) { b.resize(511); }, 4, false, RamCode,
       "BINHeaderCheck: Invalid Header(Don't have 55AA) !!!"},
      {"not RDT", [](Bytes&) {}, 0, true, RamCode, "BINHeaderCheck: NOT RDT FW.(Byte-97~99) !!!"},
      {"IC type", [](Bytes& b) { b[3] = 0x28; }, 0, false, RamCode,
       "BINHeaderCheck: IC Type on Header NOT correct -(3112) !!!"},
      {"dash lower case", [](Bytes& b) { b[21] = 'q', b[22] = 'v'; }, 0, false, RamCode, ""},
      {"dash", [](Bytes& b) { b[22] = 'W'; }, 0, false, RamCode,
       "BINHeaderCheck: IC dash ver. on Header NOT QV -(QW) !!!"},
      {"sizes one short", [](Bytes& b) { PutBe32(b, 14, 16895); }, 4, false, RamCode,
       "Check File Size NOT matched: 33792 != 16896+16895 !!!\n"},
      {"PRAM sum", [](Bytes& b) { b[11] = b[12] = 0; }, 0, false, RamCode,
       "BINHeaderCheck: PRAM Code CHKSUM NOT matched (0000-c4ae) !!!"},
      {"normal sum", [](Bytes& b) { b[18] = b[19] = 0; }, 1, false, FlashCode,
       "BINHeaderCheck: Normal Code CHKSUM NOT matched (0000-df00) !!!"},
      {"no sum tested", [](Bytes& b) { b[11] = b[12] = b[18] = b[19] = 0; }, 4, false, RamCode, ""},
      {"ICode beyond", [](Bytes& b) { kxtest::PutLe32(b, 512 + 8 * 6 + 4, 1024), kxtest::FixBinSums(b); }, 0, false,
       RamCode, "BIN Section_6 out of PRAM Code: ends at 18432, PRAM Code ends at 17408"},
      {"PRAM under seed", [](Bytes& b) { PutBe32(b, 7, 512), PutBe32(b, 14, 33280); }, 4, false, RamCode,
       "BIN PRAM Code shorter than its Seed: 512 bytes"},
      {"normal under seed", [](Bytes& b) { PutBe32(b, 7, 33280), PutBe32(b, 14, 512); }, 4, false, FlashCode,
       "BIN Normal Code shorter than its Seed: 512 bytes"},
      {"whole image", [](Bytes& b) { PutBe32(b, 7, 33280), PutBe32(b, 14, 512); }, 4, false, WholeImage, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Bytes image = BuildBinImage({});  // 512 + 16,896 PRAM + 16,896 normal
    r.change(image);
    const std::string header = kx::BinHeaderProblem(image.data(), Size(image), r.codeKind, r.rdt);
    EXPECT_EQ(header.empty() ? kx::BinLayoutProblem(image.data(), Size(image), r.use) : header, r.problem);
  }
}

TEST(BinImage, ContainerDirectoryAndFlashTable) {
  const Bytes a = BuildBinImage({}), b = BuildBinImage({.salt = 1});
  const Bytes content = BuildBinContainer({{"8312", a}, {"T3.2", b}, {"8312", b}},
                                          {{"9312", {0x2C, 0xA4, 0x64, 0x54, 0xA9, 0x00, 0x00}}});
  kx::BinContainer c;
  std::string message;
  ASSERT_TRUE(kx::ParseBinContainer(content, c, message));
  EXPECT_EQ(kx::FindBinEntry(c, "8312", false), 0);
  EXPECT_EQ(kx::FindBinEntry(c, "8312", true), 2);
  EXPECT_EQ(kx::FindBinEntry(c, "t3.2", false), -1);  // case matters
  std::size_t begin = 0, length = 0;
  ASSERT_TRUE(kx::BinEntrySpan(c.entries[1], content.size(), begin, length, message));
  EXPECT_EQ(begin, 160u + 34304u);  // head, one flash record, three directory entries, image a
  EXPECT_EQ(length, 34304u);
  EXPECT_EQ(kx::FindFlashTableBinType(c, "2C A4 64 54 A9 00 00"), "9312");
  Bytes bad = content;
  PutBe32(bad, 0, 10000);
  EXPECT_FALSE(kx::ParseBinContainer(bad, c, message));
  EXPECT_EQ(message, "BIN File Directory out of File: 10000 images, 1 flash records, 103072 bytes");
  EXPECT_FALSE(kx::BinEntrySpan({"8312", 40, 0}, content.size(), begin, length, message));
  EXPECT_EQ(message, "BIN Image Entry 8312 out of File: offset 0, size 40, 103072 bytes");
}

TEST(BinImage, SettingsPageChecks) {
  Bytes content = BuildBinContainer({{"8312", BuildBinImage({})}}, {}, "TAVLIN");
  EXPECT_EQ(kx::MpBinVendorProblem(content, "C:\\fw\\MP.bin"), "");
  content[13] = 'm';
  EXPECT_EQ(kx::MpBinVendorProblem(content, "C:\\fw\\MP.bin"),
            "Read MP BIN Code Failed !!!\nMP BIN File: C:\\fw\\MP.bin\nNot Security CTL");
  EXPECT_EQ(kx::UltraMlcProblem(BuildBinImage({.kind = 'U'}).data(), 512), "");
  EXPECT_EQ(kx::UltraMlcProblem(BuildBinImage({}).data(), 512), "Load Bin File NOT UltraMLC FW (M) !!!\n");
}

class BinLoad : public kxtest::DeviceTestEnv {
 protected:
  void UseFile(const Bytes& stored) {
    SetIni(".\\param.ini", "Device Info", "ISP_MPBINCode", " C:\\fw\\MP.bin ");
    kxtest::WriteBinFile("C:\\fw\\MP.bin", stored);
  }
  kxtest::EmulatedStation s_{kxtest::Mode::TesterDirect};
  CPortDevice& d_ = s_.Device();
  kx::BinImage image_;
};

// The device's frame check: its own marks '"' and 'X' from either constructor,
// the inner pair recorded before it is compared.
TEST_F(BinLoad, DeviceFrameCheckUsesItsMarksAndRecordsTheInnerBytes) {
  const struct {
    const char* name;
    Bytes file;
    std::uint32_t read;
    bool framed;
  } rows[] = {
      {"framed", {0x22, 0x31, 0x07, 0x31, 0x58}, 5, true},
      {"short read", {0x22, 0x31, 0x07, 0x31, 0x58}, 4, false},
      {"first mark", {0x23, 0x31, 0x07, 0x31, 0x58}, 5, false},
      {"last mark", {0x22, 0x31, 0x07, 0x31, 0x59}, 5, false},
      {"inner pair", {0x22, 0x31, 0x07, 0x32, 0x58}, 5, false},
  };
  CPortDevice tool(s_.DriveNo(), 1, "", false, false);
  for (CPortDevice* d : {&d_, &tool}) {
    for (const auto& r : rows) {
      SCOPED_TRACE(r.name);
      EXPECT_EQ(d->CheckBinMark(r.file.data(), Size(r.file), r.read), r.framed);
      EXPECT_EQ(d->m_BinMark[1], r.file[1]);
      EXPECT_EQ(d->m_BinMark[2], r.file[3]);
    }
  }
}

TEST_F(BinLoad, FramedTransformedImageAndItsSections) {
  kxtest::BinImageSpec spec;
  spec.sections[0] = {0x20000000, 129 * 512};  // a full chunk and a 1-sector remainder
  spec.sections[2] = {0x20040000, 256 * 512};
  spec.sections[6] = {0x30000000, 3 * 512};
  const Bytes image = BuildBinImage(spec);
  UseFile(kxtest::StoreBin(image, true, true));
  ASSERT_TRUE(d_.LoadBinImage({}, image_));
  EXPECT_EQ(image_.length, 232448u);
  EXPECT_EQ(std::memcmp(d_.m_IoBufferA + 48, image.data() + 48, image.size() - 48), 0);  // 35-47: the sum
  EXPECT_EQ(d_.m_PramCodeSize, 215040u);
  const kx::BinSections& t = image_.sections;
  EXPECT_EQ(t.section[0].length, 66048u);
  EXPECT_EQ(t.section[2].address, 0x20040000u);
  EXPECT_EQ(t.section[2].dataOffset, 82944u);
  EXPECT_EQ(t.section[6].dataOffset, 214016u);
  EXPECT_EQ(t.ramTotal, 197120u);
  EXPECT_TRUE(kxtest::Has(PortReport(), "   C:\\fw\\MP.bin \r\n"));
  EXPECT_TRUE(s_.Sent().empty());
}

TEST_F(BinLoad, BadFilesRefusedBeforeAnyCommand) {
  auto box = std::make_shared<platform::RecordingMessageBox>();
  platform::ScopedMessageBox scoped(box);
  const Bytes mp = BuildBinImage({});
  const Bytes container = BuildBinContainer({{"8312", mp}});
  Bytes outside = container;
  PutBe32(outside, 48 + 12, 1u << 20);  // the entry's offset field
  const struct {
    const char* name;
    std::function<void()> setup;
    kx::BinLoadOptions options;
    const char *code, *message;
  } rows[] = {
      {"no file", [&] { SetIni(".\\param.ini", "Device Info", "ISP_MPBINCode", "C:\\fw\\MP.bin"); }, {}, "S_C01",
       "Create MP BIN File handle Failed: INVALID_HANDLE_VALUE. ErrorCode : 2 \r\n     C:\\fw\\MP.bin\r\n     MP.bin"},
      {"plain file, transform expected", [&] { UseFile(mp); }, {}, "S_C04", "MP Bin Code Fail"},
      {"empty", [&] { UseFile({}); }, {}, "S_C04", "Read MP BIN File fail: Byte=0."},
      {"MP image, RDT wanted", [&] { UseFile(kxtest::StoreBin(mp)); }, {.requireRdt = true}, "S_C06",
       "BINHeaderCheck: NOT RDT FW.(Byte-97~99) !!!"},
      {"no entry of the type", [&] { UseFile(kxtest::StoreBin(container)); }, {}, "S_C06",
       "BINHeaderCheck: Invalid Header(Don't have 55AA) !!!"},
      {"entry outside", [&] {
         UseFile(kxtest::StoreBin(outside));
         SetIni(".\\paramFDB.ini", "Flash Info", "Flh_MPBinType", "8312");
       }, {}, "S_C06", "BIN Image Entry 8312 out of File: offset 1048576, size 34352, 34368 bytes"},
      {"over the buffer", [&] { UseFile(kxtest::StoreBin(BuildBinImage({.normalSize = 2 << 20}))); },
       {.family = 'F'}, "S_F06", "BIN Image too large: 2114560 bytes > 2097152 bytes"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    r.setup();
    EXPECT_FALSE(d_.LoadBinImage(r.options, image_));
    EXPECT_EQ(d_.m_ErrorCode, r.code);
    EXPECT_EQ(d_.m_ErrorMessage, r.message);
  }
  EXPECT_EQ(box->Texts(), std::vector<std::string>{"MP Bin Code Fail"});
  EXPECT_TRUE(kxtest::Has(PortReport(), "   ISPPRAM, retry Create BIN File handle!! \r\n"));
  EXPECT_TRUE(s_.Sent().empty());
}

// A firmware file cut or extended while it is read fails with the header
// check's code; a file shorter than its frame and header claim is judged on
// the bytes it holds. The load never judges a size taken before the read.
TEST_F(BinLoad, AFileWrittenWhileReadOrShortFailsCleanly) {
  const Bytes stored = kxtest::StoreBin(BuildBinImage({.normalSize = 1 << 20}), true, true);
  const struct {
    std::function<void(const std::string&)> during;
    const char* message;
  } rows[] = {
      {[](const std::string& p) { std::filesystem::resize_file(p, 4096); }, "changed while read: 4096 bytes read"},
      {[](const std::string& p) { platform::AppendFileBytes(p, "x", false); }, "changed while read: 1065989 bytes"},
      {[](const std::string& p) { std::filesystem::resize_file(p, 600); }, "Directory out of File: 573681581 images"},
  };
  for (const auto& r : rows) {
    UseFile(stored);
    const bool shortFile = r.message[0] == 'D';  // cut before the read, unframed and untransformed
    SetIni(".\\param.ini", "Device Info", "STR_Bin_En", shortFile ? "1" : "0");
    if (shortFile) r.during(Native("C:\\fw\\MP.bin"));
    platform::SetReadHook(shortFile ? platform::ReadHook() : r.during);
    EXPECT_FALSE(d_.LoadBinImage({}, image_));
    platform::SetReadHook({});
    EXPECT_EQ(d_.m_ErrorCode, "S_C06");
    EXPECT_TRUE(kxtest::Has(d_.m_ErrorMessage, r.message)) << d_.m_ErrorMessage;
  }
  EXPECT_TRUE(s_.Sent().empty());
}

TEST_F(BinLoad, SecondBinTypeByCeLimit) {
  const Bytes first = BuildBinImage({.salt = 1}), second = BuildBinImage({.salt = 2});
  UseFile(kxtest::StoreBin(BuildBinContainer({{"8312", first}, {"9312", second}, {"8312", second}})));
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_MPBinType", "8312");
  SetIni(".\\paramFDB.ini", "Flash Info", "Flash2ndMPBinType", "9312");
  const struct {
    const char* limit;
    int flashCount;
    const char* type;
  } rows[] = {{"2", 3, "9312"}, {"2", 2, "8312"}, {"0", 5, "8312"}, {"17", 20, "8312"}, {"16", 17, "9312"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.limit) + " " + std::to_string(r.flashCount));
    SetIni(".\\paramFDB.ini", "Flash Info", "Flash2ndBinCELimit", r.limit);
    d_.m_FlashCount = r.flashCount;
    ASSERT_TRUE(d_.LoadBinImage({}, image_));
    EXPECT_EQ(image_.binType, r.type);
    EXPECT_EQ(d_.m_IoBufferA[600], (std::string(r.type) == "8312" ? first : second)[600]);  // the first entry
  }
}

TEST_F(BinLoad, SecondCandidateInWorkingFolder) {
  SetIni(".\\param.ini", "Device Info", "ISP_MPBINCode", "C:\\elsewhere\\MP.bin");
  kxtest::WriteBinFile("MP.bin", kxtest::StoreBin(BuildBinImage({})));
  ASSERT_TRUE(d_.LoadBinImage({}, image_));
  EXPECT_EQ(image_.path, "MP.bin");
}

}  // namespace
