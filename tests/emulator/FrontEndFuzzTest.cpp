// Random CDBs and task files at every front end: no crash, no write past the
// host's buffer, a well-formed answer every time, and the drive's invariant
// (ERR exactly when an error is reported, a diagnostic's code aside) after every command.
#include <random>

#include "tests/emulator/SiteTestUtil.h"

namespace emu::test {
namespace {

constexpr std::size_t kGuard = 64;

class FuzzTest : public SiteTest {
 protected:
  std::shared_ptr<Drive> drive2_ = std::make_shared<Drive>(SiteDriveConfig());
  void SetUp() override {
    SiteTest::SetUp();
    site_->AddTester(3, 1);
    site_->AddBridge(1);
    site_->AddSataPort(2);
    site_->SetDrive(2, drive2_);
    drive2_->PowerOn();
    for (auto& d : {drive_, drive2_}) d->SetTraceLimit(1 << 20);
    site_->Install();
  }
  void Revive() {
    for (auto& d : {drive_, drive2_}) {
      d->Reinsert();
      d->PowerOn();
      d->Faults().Clear();
    }
    for (FrontEnd* fe : {site_->Tester(3), site_->Bridge(1), site_->SataPort(2)}) fe->SetGone(false);
    site_->SetTesterFaults(1, {});
    Advance(1500);
  }
};

TEST_F(FuzzTest, RandomCdbsAndTaskFilesNeverBreakAFrontEnd) {
  std::mt19937 rng(20261206);
  auto byte = [&] { return static_cast<std::uint8_t>(rng()); };
  const std::uint8_t testerSubs[] = {0xA0, 0x50, 0x71, 0x48, 0x99, 0x90, 0x85, 0x84, 0x00, 0x33};
  const std::uint8_t subCodes[] = {0x00, 0x30, 0x18, 0x20, 0x24, 0x60, 0x05, 0x06, 0x77};
  const std::uint8_t protocols[] = {0, 1, 3, 9, 0x88, 0x89};
  const std::uint32_t lengths[] = {0, 1, 14, 16, 36, 512, 528, 1024, 4096, 8192};
  const std::string paths[] = {"\\\\.\\PhysicalDrive3", Site::BridgePath(1), Site::SataPath(2)};
  std::vector<std::uint8_t> buf(8192 + kGuard);

  for (int i = 0; i < 30000; ++i) {
    if (i % 400 == 0) Revive();
    const std::string& path = paths[rng() % 3];
    const std::uint32_t len = (rng() % 4 == 0) ? rng() % 8193 : lengths[rng() % std::size(lengths)];
    std::fill(buf.begin(), buf.end(), 0xC5);
    if (path == paths[2] && rng() % 2 == 0) {
      win::USHORT flags = static_cast<win::USHORT>(rng() & 0x1F);
      if ((flags & 0x06) == 0x06 && rng() % 4) flags &= ~0x04;
      const std::uint8_t command = byte();
      const auto r = SendAta(path, {byte(), byte(), byte(), byte(), byte(), byte(), command}, flags, buf.data(), len,
                             {byte(), byte(), byte(), byte(), byte(), byte(), byte()});
      if (r.error == 0) {
        ASSERT_LE(r.transferred, len);
        ASSERT_TRUE(ErrorAgreesWithStatus(command, r.regs[6], r.regs[0])) << "iteration " << i;
      }
    } else {
      std::vector<std::uint8_t> cdb(16);
      for (auto& b : cdb) b = (rng() % 3 == 0) ? 0 : byte();
      switch (rng() % 6) {
        case 0:
        case 1:
          cdb[0] = 0x08;
          cdb[1] = 0xF2;
          cdb[2] = testerSubs[rng() % std::size(testerSubs)];
          if (cdb[2] == 0x50) cdb[3] = subCodes[rng() % std::size(subCodes)];
          if (cdb[2] == 0x71 && rng() % 2) cdb[3] = protocols[rng() % std::size(protocols)];
          break;
        case 2: cdb[0] = 0xA1; break;
        case 3: cdb[0] = 0x85; break;
        case 4: cdb[0] = (rng() % 2) ? 0x12 : 0x00; break;
        default: break;
      }
      const auto r = SendScsi(path, cdb, static_cast<std::uint8_t>(rng() % 3), buf.data(), len, 30);
      if (r.error == 0) {
        ASSERT_TRUE(r.status == 0 || r.status == 2) << "iteration " << i;
        ASSERT_LE(r.transferred, len);
        if (r.status == 2) {
          ASSERT_TRUE(!r.sense.empty() && (r.sense[0] == 0x70 || r.sense[0] == 0x72));
        }
      }
    }
    for (std::size_t g = len; g < buf.size(); ++g) ASSERT_EQ(buf[g], 0xC5) << "write past the host's length, " << i;
  }
  for (const auto& d : {drive_, drive2_}) {
    EXPECT_EQ(d->InvariantViolations(), 0u);
    for (const TraceEntry& t : d->Trace()) {
      ASSERT_TRUE(ErrorAgreesWithStatus(t.request.command, t.response.status, t.response.error));
    }
  }
  // The run reached the drives, not only the refusals.
  EXPECT_GT(drive_->Trace().size() + drive2_->Trace().size(), 1000u);
}

}  // namespace
}  // namespace emu::test
