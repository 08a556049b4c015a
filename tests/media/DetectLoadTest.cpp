// The settings page's detect on the emulated drive: when and which MP image it loads, and its message boxes.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "device/PortDevice.h"
#include "platform/MessageBox.h"
#include "protocol/CodeHeader.h"
#include "tests/support/BinFixture.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Mode;
using Code = emu::RunningCode;
using Texts = std::vector<std::string>;
constexpr int kMp = 3, kQc = 5;

emu::DriveConfig Running(Code code, bool selfBurnIn = false) {
  emu::DriveConfig c;
  c.initialCode = code;
  c.selfBurnIn = selfBurnIn;
  return c;
}

// An MP image whose burner calls itself "QVBM 0.8"; its PRAM code sum is wrong, which the detect does not test.
std::vector<std::uint8_t> Image() {
  auto image = kxtest::BuildBinImage({});
  kx::codeheader::Write(image.data() + 512, 16384, "QVBM 0.8", false);
  image[11] ^= 0xFF;
  return image;
}

class DetectLoad : public kxtest::DeviceTestEnv {
 protected:
  // The device the page's detect works on at `station`, its BIN file holding `content`.
  static CPortDevice& Detecting(EmulatedStation& s, int station, const std::vector<std::uint8_t>& content = Image()) {
    kxtest::WriteBinFile("C:\\fw\\MP.bin", kxtest::StoreBin(content));
    CPortDevice& d = s.Device();
    d.m_Station = station;
    d.m_DetectFwPath = "C:\\fw\\MP.bin";
    return d;
  }
  static auto Seeds(EmulatedStation& s) {
    const auto t = s.Drive().Trace();
    return std::count_if(t.begin(), t.end(),
                         [](auto& e) { return e.request.command == 0x31 && e.request.features == 0x80; });
  }
  std::shared_ptr<platform::RecordingMessageBox> boxes_ = std::make_shared<platform::RecordingMessageBox>();
  platform::ScopedMessageBox scoped_{boxes_};
};

TEST_F(DetectLoad, WhenTheImageIsLoaded) {
  const struct {
    const char* name;
    Mode mode;
    Code code;
    int station;
    bool skip;
    Code after;
  } rows[] = {{"boot code", Mode::Bridge, Code::Boot, kQc, false, Code::Mcode},
              {"flash code, MP station", Mode::Bridge, Code::RomMp, kMp, false, Code::Mcode},
              {"flash code, QC station", Mode::Bridge, Code::RomMp, kQc, false, Code::RomMp},
              {"flash code, MP station, skip set", Mode::Bridge, Code::RomMp, kMp, true, Code::RomMp},
              {"tester-direct: a power cycle first, the card off at the end", Mode::TesterDirect, Code::RomMp, kMp,
               false, Code::Mcode}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EmulatedStation s(r.mode, 1, Running(r.code));
    CPortDevice& d = Detecting(s, r.station);
    d.m_SkipForceToBoot = r.skip;
    EXPECT_TRUE(d.LoadPramAndGetCardInfo(true, false, "", false));
    EXPECT_EQ(Seeds(s), r.after == Code::RomMp ? 0 : 1);
    EXPECT_EQ(s.Drive().Code(), r.after);
    EXPECT_EQ(s.Drive().Powered(), r.mode == Mode::Bridge);
  }
  EXPECT_EQ(boxes_->Texts(), Texts{});
}

TEST_F(DetectLoad, FailuresShowTheirBoxes) {
  {
    EmulatedStation s(Mode::Bridge, 1, Running(Code::Boot));
    CPortDevice& d = Detecting(s, kMp);
    d.m_DetectFwPath = "C:\\fw\\none.bin";
    EXPECT_FALSE(d.LoadPramAndGetCardInfo(true, false, "", false));
    EXPECT_EQ(boxes_->Texts(),
              (Texts{"Create MP BIN File handle Failed: INVALID_HANDLE_VALUE.", "ISP Failed.\r\n C:\\fw\\none.bin"}));
    EXPECT_FALSE(kxtest::Has(PortReport(), "[ Fail ]"));
  }
  {
    EmulatedStation s(Mode::Bridge, 1, Running(Code::Boot));
    CPortDevice& d = Detecting(s, kMp);
    d.m_IsProduction = 0;
    EXPECT_FALSE(d.LoadPramAndGetCardInfo(true, false, "", false));
    EXPECT_EQ(Seeds(s), 0);
    EXPECT_EQ(boxes_->Texts().back(), "GetCardInfomation Failed !!!\r\n");
  }
  EmulatedStation burnIn(Mode::TesterDirect, 1, Running(Code::RomMp, true));
  CPortDevice& b = Detecting(burnIn, kMp);
  EXPECT_FALSE(b.LoadPramAndGetCardInfo(true, false, "", false));
  EXPECT_EQ(b.m_ErrorCode, "M_A31");
  EXPECT_EQ(b.m_ErrorMessage, "Device run on Self Burnin Code");
  EXPECT_FALSE(burnIn.Drive().Powered());
}

TEST_F(DetectLoad, TheDrivesFlashIdPicksTheImage) {
  const std::pair<std::array<std::uint8_t, 7>, bool> rows[] = {{emu::DriveConfig{}.flashId, true},
                                                               {{0x98, 0xDE}, false}};
  for (const auto& [tableId, found] : rows) {
    SCOPED_TRACE(found);
    EmulatedStation s(Mode::Bridge, 1, Running(Code::Boot));
    CPortDevice& d = Detecting(s, kMp, kxtest::BuildBinContainer({{"83.2", Image()}}, {{"83.2", tableId}}));
    EXPECT_EQ(d.IspProgramPramForDetect("C:\\fw\\MP.bin", true), found);
    EXPECT_EQ(Seeds(s), found ? 1 : 0);
  }
  EXPECT_EQ(boxes_->Texts(), Texts{"BINHeaderCheck: Invalid Header(Don't have 55AA) !!!"});
}

}  // namespace
