// The firmware download by DOWNLOAD MICROCODE against the emulated drive.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "device/Settings.h"
#include "media/MicroCode.h"
#include "tests/media/FirmwareFiles.h"
#include "tests/support/EmulatedStation.h"

namespace {

using kxtest::Mode;
// Two entries of the drive's BIN type, each image 130 sectors and a partial one: the download takes the last.
const std::vector<std::uint8_t> kContent = kxtest::BuildBinContainer(
    {{"7312", kxtest::NamedImage("QVF1AAAA", 49252)}, {"7312", kxtest::NamedImage("QVF2BBBB", 49252)}});

class MicroCode : public kxtest::DeviceTestEnv {
  void SetUp() override {
    kxtest::InstallBin(kContent);
    SetIni(".\\paramFDB.ini", "Flash Info", "Flh_MPBinType", "7312");
  }
};

TEST(MicroCodeHelpers, PiecesOf128SectorsThenTheRest) {
  using P = kx::MicroCodePiece;
  const std::pair<std::uint32_t, std::vector<P>> rows[] = {
      {131072, {P{0, 128}, P{128, 128}}}, {66000, {P{0, 128}, P{128, 1}}}, {512, {P{0, 1}}}, {0, {}}};
  for (const auto& [length, pieces] : rows) EXPECT_EQ(kx::SplitMicroCode(length), pieces) << length;
}

TEST_F(MicroCode, DownloadsTheLastEntryAndStartsItOnATester) {
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge}) {
    SCOPED_TRACE(static_cast<int>(mode));
    kxtest::EmulatedStation s(mode);
    ASSERT_TRUE(s.Device().DownloadMicroCode());
    std::string pieces;
    for (const auto& e : s.Drive().Trace())
      if (e.request.command == 0x92)
        pieces += std::to_string(e.request.count) + "@" + std::to_string(e.request.lbaMid) + " ";
    EXPECT_EQ(pieces, "128@0 3@128 ");
    EXPECT_TRUE(kxtest::Has(PortReport(), "[ Success ] DownLoadMicroCode OK- Total take "));
    // Behind a bridge the new image waits for a power cycle that the step leaves out.
    ASSERT_TRUE(s.Device().ChkRC(3, 0, false, "", nullptr));
    EXPECT_EQ(s.Device().m_FwRevision, mode == Mode::Bridge ? "QVF10001" : "QVF2BBBB");
  }
}

TEST_F(MicroCode, SecondCandidateIsTheFileNameInTheProgramsFolder) {
  const std::string name = "kxmp_microcode_" + std::to_string(::getpid()) + ".bin";
  const std::filesystem::path copy = std::filesystem::path(kx::GetModuleFolder()) / name;
  struct Remove {
    std::filesystem::path path;
    ~Remove() { std::filesystem::remove(path); }
  } remove{copy};
  std::filesystem::copy_file(Native("C:\\fw\\MP.bin"), copy);
  SetIni(".\\param.ini", "Device Info", "ISP_MPBINCode", "C:\\missing\\" + name);
  kxtest::EmulatedStation s(Mode::Bridge);
  EXPECT_TRUE(s.Device().DownloadMicroCode());
}

TEST_F(MicroCode, EachFailureHasItsCodeMessageAndReport) {
  // A setting changed (when key is set), the DOWNLOAD MICROCODE commands passed before one fails.
  // clang-format off
  const struct { const char *file, *section, *key, *value; std::uint32_t skip; const char *code, *message; } rows[] = {
      {nullptr, nullptr, nullptr, nullptr, 0, "I_F42", "DownLoadMicroCode Failed, loop-0 !!"},
      {nullptr, nullptr, nullptr, nullptr, 1, "I_F42", "DownLoadMicroCode Failed !!"},
      {".\\paramFDB.ini", "Flash Info", "Flh_MPBinType", "7313", 0, "S_F06",
       "BINHeaderCheck: Invalid Header(Don't have 55AA) !!!"},
      {".\\param.ini", "Device Info", "ISP_MPBINCode", "C:\\none.bin", 0, "S_F01",
       "Create MP BIN File handle Failed: INVALID_HANDLE_VALUE."}};
  // clang-format on
  for (const auto& r : rows) {
    SCOPED_TRACE(r.message);
    kxtest::EmulatedStation s(Mode::TesterDirect);
    s.Drive().Faults().FailNext(1, {0x92, {}, r.skip, {}, {}});
    if (r.key) SetIni(r.file, r.section, r.key, r.value);
    kxtest::ExpectFailed(s.Device(), s.Device().DownloadMicroCode(), r.code, r.message);
  }
  kxtest::InstallBin(kContent, "ISP_MPBINCode", true);  // stored plain, read as transformed
  kxtest::EmulatedStation s(Mode::TesterDirect);
  kxtest::ExpectFailed(s.Device(), s.Device().DownloadMicroCode(), "S_F04", "MP Bin Code Fail!");
}

}  // namespace
