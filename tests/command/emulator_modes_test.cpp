// The command layer against the emulated site, in each send mode: a drive behind
// a USB bridge, on a SATA port, and in a tester board's slot (tester-direct).
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "command/DriveCommand.h"
#include "command/GetDevLibrary.h"
#include "command/TesterScanner.h"
#include "command/VolumeUtils.h"
#include "emulator/Drive.h"
#include "emulator/Site.h"
#include "emulator_site_util.h"
#include "platform/Clock.h"

namespace {

enum class Mode { Bridge, SataPort, TesterDirect };

const char* const kModeNames[] = {"Bridge", "SataPort", "TesterDirect"};

constexpr int kSlot = 1;
constexpr int kTesterDrive = 3;

class EmulatorModesTest : public ::testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    emu::DriveConfig cfg;
    cfg.capacitySectors = 1 << 21;
    cfg.blocksPerPlane = 128;
    cfg.bootDelayMs = 0;
    drive_ = std::make_shared<emu::Drive>(cfg);
    site_ = emu::Site::Create();
    kx::ClearAtaPassThroughOk();
    const Mode m = GetParam();
    frontEnd_ = m == Mode::Bridge     ? site_->AddBridge(kSlot)
                : m == Mode::SataPort ? site_->AddSataPort(kSlot)
                                      : site_->AddTester(kTesterDrive, kSlot);
    g_KX_U2A = m != Mode::TesterDirect;
    g_SataPortMode = m == Mode::SataPort;
    driveNo_ = m == Mode::TesterDirect ? kTesterDrive : 1;
    ASSERT_NE(frontEnd_, nullptr);
    ASSERT_TRUE(site_->AddVolume(kSlot, 'E'));
    ASSERT_TRUE(site_->SetDrive(kSlot, drive_));
    site_->Install();
    drive_->PowerOn();
    kx::test::PublishListing(*site_, GetParam() == Mode::SataPort);
    cmd_ = std::make_unique<CDriveCommand>(driveNo_);
  }
  void TearDown() override {
    cmd_.reset();
    site_->Uninstall();
    kx::test::ResetCommandGlobals();
  }

  platform::ScopedClock clock_{platform::MakeVirtualClock(1)};
  std::shared_ptr<emu::Drive> drive_;
  std::shared_ptr<emu::Site> site_;
  emu::FrontEnd* frontEnd_ = nullptr;
  int driveNo_ = 0;
  std::unique_ptr<CDriveCommand> cmd_;
  std::uint8_t id_[512] = {};
};

std::string AtaString(const std::uint8_t* p, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i + 1 < n; i += 2) {
    s += static_cast<char>(p[i + 1]);
    s += static_cast<char>(p[i]);
  }
  return s.substr(0, s.find_last_not_of(' ') + 1);
}

TEST_P(EmulatorModesTest, IdentifyReachesTheDrive) {
  ASSERT_TRUE(cmd_->GetIdentify(id_));
  EXPECT_EQ(AtaString(id_ + 54, 40), drive_->Config().model);
  EXPECT_EQ(AtaString(id_ + 20, 20), drive_->Config().serial);
  EXPECT_EQ(cmd_->m_LastError, 0u);
  EXPECT_EQ(kx::AtaPassThroughOk(driveNo_), GetParam() == Mode::SataPort);
  if (GetParam() == Mode::SataPort) {
    // a port without ATA pass-through falls back to SAT, and says so in its flag
    frontEnd_->ataPassThrough = false;
    std::fill(std::begin(id_), std::end(id_), 0);
    ASSERT_TRUE(cmd_->GetIdentify(id_));
    EXPECT_FALSE(kx::AtaPassThroughOk(driveNo_));
    EXPECT_EQ(AtaString(id_ + 54, 40), drive_->Config().model);
  }
}

TEST_P(EmulatorModesTest, AccessKeyAcceptedAndRefused) {
  ASSERT_TRUE(cmd_->GetIdentify(id_));  // decides the SATA port's path
  EXPECT_EQ(cmd_->SetApKey(true), 1);
  EXPECT_TRUE(drive_->KeyAccepted());

  drive_->PowerOff();
  drive_->PowerOn();
  ASSERT_FALSE(drive_->KeyAccepted());
  drive_->Faults().RefuseAccessKey(emu::DriveFaults::kForever);
  EXPECT_NE(cmd_->SetApKey(true), 1);
  EXPECT_FALSE(drive_->KeyAccepted());
  std::uint8_t sector[512];
  EXPECT_FALSE(cmd_->DirectReadSRAM(sector, 1, 0x00, 0x10));  // the vendor gate stays shut

  if (GetParam() == Mode::TesterDirect) {
    // a key that completes without being enabled: the reply tells
    drive_->Faults().Clear();
    drive_->Faults().SetAccessKeyNotEnabled(true);
    EXPECT_EQ(cmd_->SetApKey(true), 2);
    EXPECT_FALSE(drive_->KeyAccepted());
  }
}

TEST_P(EmulatorModesTest, VendorWriteAndReadRoundTrip) {
  ASSERT_TRUE(cmd_->GetIdentify(id_));
  ASSERT_EQ(cmd_->SetApKey(false), 1);
  std::vector<std::uint8_t> out(1024), back(1024, 0);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i * 7 + 3);
  ASSERT_TRUE(cmd_->DirectWriteSRAM(out.data(), 2, 0x00, 0x20));
  ASSERT_TRUE(cmd_->DirectReadSRAM(back.data(), 2, 0x00, 0x20));
  EXPECT_EQ(back, out);

  // media through the 48-bit members, whose paths differ most between modes
  std::vector<std::uint8_t> media(4096), mediaBack(4096, 0);
  for (std::size_t i = 0; i < media.size(); ++i) media[i] = static_cast<std::uint8_t>(i ^ 0x3C);
  ASSERT_TRUE(cmd_->WriteSectorsExt(media.data(), 4096, 0x1234, 0));
  ASSERT_TRUE(cmd_->ReadSectorsExt(mediaBack.data(), 4096, 0x1234, 0));
  EXPECT_EQ(mediaBack, media);
  std::fill(mediaBack.begin(), mediaBack.end(), 0);
  ASSERT_TRUE(cmd_->ReadDmaExt16(mediaBack.data(), 8, 0x1234, 0));
  EXPECT_EQ(mediaBack, media);
  EXPECT_EQ(drive_->ReadMedia(0x1234, 8), media);
}

TEST_P(EmulatorModesTest, CommandTimeOutReturns121) {
  ASSERT_TRUE(cmd_->GetIdentify(id_));
  drive_->Faults().TimeOutNext(1);
  EXPECT_FALSE(cmd_->FLUSH_CACHE());
  EXPECT_EQ(cmd_->m_LastError, win::ERROR_SEM_TIMEOUT);

  // a command that takes longer than its time-out on the transport
  emu::FaultRule slow;
  slow.action = emu::FaultAction::Delay;
  slow.delayMs = 31000;  // past the default 30 s
  frontEnd_->GetFaults().Add(slow);
  std::uint8_t sector[512];
  EXPECT_FALSE(cmd_->SMART_READ_DATA(sector));
  EXPECT_EQ(cmd_->m_LastError, win::ERROR_SEM_TIMEOUT);
  EXPECT_TRUE(cmd_->SMART_READ_DATA(sector));
  EXPECT_EQ(cmd_->m_LastError, 0u);
}

TEST_P(EmulatorModesTest, TransientFailuresAreRetriedAndOpenFailuresReported) {
  frontEnd_->GetFaults().FailNext(3, win::ERROR_GEN_FAILURE);
  EXPECT_TRUE(cmd_->GetIdentify(id_));
  frontEnd_->GetFaults().FailNext(10, win::ERROR_GEN_FAILURE);
  EXPECT_FALSE(cmd_->FLUSH_CACHE());
  EXPECT_EQ(cmd_->m_LastError, win::ERROR_GEN_FAILURE);
  frontEnd_->SetGone(true);
  EXPECT_FALSE(cmd_->FLUSH_CACHE());
  EXPECT_EQ(cmd_->SendCdb(driveNo_, cmd_->m_Cdb, false, nullptr, 0, 0), kx::kOpenFailed);
}

TEST_P(EmulatorModesTest, CardDetectAndVolumeLock) {
  ASSERT_TRUE(cmd_->GetIdentify(id_));
  std::uint8_t reply[16] = {};
  ASSERT_TRUE(cmd_->CardDetect(reply, sizeof reply));
  if (GetParam() != Mode::SataPort) {
    EXPECT_EQ(reply[13], 0x50);  // the card state
  }

  CPortVolume volume(driveNo_);
  ASSERT_EQ(volume.LockPortVolume(), 1);
  EXPECT_TRUE(site_->Volume('E').locked);
  EXPECT_EQ(volume.DismountPortVolume(), 1);
  EXPECT_FALSE(site_->Volume('E').locked);
  win::DISK_GEOMETRY_EX g;
  ASSERT_NE(GetPortDiskGeometryEx(driveNo_, &g), 0);
  EXPECT_EQ(g.DiskSize, static_cast<std::int64_t>(drive_->Config().capacitySectors) * 512);
}

TEST_P(EmulatorModesTest, FourPathAndRetryingMembersReachTheDrive) {
  ASSERT_TRUE(cmd_->GetIdentify(id_));
  ASSERT_EQ(cmd_->SetApKey(false), 1);
  EXPECT_TRUE(cmd_->StartStatusPolling());
  std::uint8_t params[512] = {};
  EXPECT_TRUE(cmd_->SetScanBadParameter(params));
  drive_->ClearTrace();
  EXPECT_TRUE(cmd_->JumpToBoot());
  const auto trace = drive_->Trace();
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(trace[0].request.command, 0x31);
  EXPECT_EQ(trace[0].request.features, 0x0F);
}

INSTANTIATE_TEST_SUITE_P(Modes, EmulatorModesTest,
                         ::testing::Values(Mode::Bridge, Mode::SataPort, Mode::TesterDirect),
                         [](const ::testing::TestParamInfo<Mode>& info) {
                           return kModeNames[static_cast<int>(info.param)];
                         });

TEST(EmulatorFinderTest, MapsSlotsFromTheBoardsPages) {
  emu::TesterInfo other;
  other.productId = "SATA3-TESTER";
  other.vendorTag = "VuZuRo";
  emu::TesterInfo foreign;
  foreign.vendorTag = "OTHERS";
  auto site = emu::Site::Create();
  ASSERT_NE(site->AddTester(4, 12), nullptr);
  ASSERT_NE(site->AddTester(6, 7, other), nullptr);
  ASSERT_NE(site->AddTester(8, 9, foreign), nullptr);
  site->Install();
  CTesterScanner scanner;
  ASSERT_TRUE(scanner.ScanTesters());
  EXPECT_EQ(scanner.m_SlotMap[12], 4);
  EXPECT_EQ(scanner.m_SlotMap[7], 6);
  int boards = 0;
  for (int i = 0; i < 25; ++i) boards += scanner.m_SlotMap[i] != 0;
  EXPECT_EQ(boards, 2);
  site->Uninstall();
}

}  // namespace
