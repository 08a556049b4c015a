// Random requests against the drive: every answer keeps the invariant (ERR set
// exactly when an error is reported), never moves more than the host offered,
// and never writes outside the host's buffer.
#include <atomic>
#include <random>
#include <thread>

#include "drive_test_util.h"

namespace emu::test {
namespace {

class DriveFuzz : public DriveTest {};

constexpr std::uint8_t kOpcodes[] = {0x00, 0x20, 0x24, 0x25, 0x27, 0x30, 0x34, 0x35, 0x37, 0x40, 0x42, 0x92,
                                     0xB0, 0xB1, 0xC8, 0xCA, 0xE0, 0xE1, 0xE4, 0xE5, 0xE7, 0xE8, 0xEC, 0xEF,
                                     0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF8, 0xF9, 0xFA, 0xFB, 0x21, 0x31};

void RunFuzz(std::uint32_t seed, RunningCode code, int rounds) {
  Drive d(SmallConfig(code));
  std::mt19937 rng(seed);
  auto byte = [&] { return static_cast<std::uint8_t>(rng()); };
  constexpr std::size_t kGuard = 64;
  for (int i = 0; i < rounds; ++i) {
    switch (rng() % 64) {
      case 0: d.PowerOff(); break;
      case 1: d.PowerOn(); break;
      case 2: d.HardReset(); break;
      case 3: platform::Clock().SleepMs(rng() % 4000); break;
      case 4: d.Faults().FailNext(rng() % 3); break;
      case 5: d.Faults().WrongVerdict(rng() % 2); break;
      case 6: (void)d.CardState(); break;
      default: break;
    }
    AtaRequest r;
    const int shape = static_cast<int>(rng() % 10);
    if (shape < 2) {
      r.command = byte();
    } else {
      r.command = kOpcodes[rng() % std::size(kOpcodes)];
    }
    r.features = (rng() % 2) ? byte() : static_cast<std::uint8_t>(rng() % 4 == 0 ? 0 : byte());
    r.count = static_cast<std::uint8_t>(rng() % 3 == 0 ? byte() : rng() % 5);
    r.lbaLow = byte();
    r.lbaMid = static_cast<std::uint8_t>(rng() % 2 ? byte() : 0);
    r.lbaHigh = static_cast<std::uint8_t>(rng() % 2 ? byte() : 0);
    r.device = static_cast<std::uint8_t>(rng() % 2 ? 0xA0 : byte());
    r.is48 = rng() % 4 == 0;
    r.countExp = static_cast<std::uint8_t>(r.is48 && rng() % 8 == 0 ? byte() : 0);
    r.lbaLowExp = static_cast<std::uint8_t>(r.is48 ? byte() % 2 : 0);
    if (r.is48 && rng() % 8 == 0) {
      r.lbaMidExp = byte();
      r.lbaHighExp = byte();
    }
    r.protocol = static_cast<AtaProtocol>(rng() % 5);
    if (shape == 9) {
      // The access key, so that vendor commands get past the gate.
      const auto& k = kx::kApKeySignature;
      r = AtaRequest{};
      r.count = k[0];
      r.lbaLow = k[1];
      r.lbaMid = k[2];
      r.lbaHigh = k[3];
      r.device = k[4];
      r.command = k[5];
    }
    const std::uint32_t length = static_cast<std::uint32_t>(rng() % 3 == 0 ? rng() % 70000 : (rng() % 5) * 512);
    std::vector<std::uint8_t> buf(length + kGuard, 0xC5);
    for (std::uint32_t j = 0; j < length; ++j) buf[j] = byte();
    const bool nullData = rng() % 16 == 0;
    r.data = nullData ? nullptr : buf.data();
    r.length = length;
    const AtaResponse rsp = d.Execute(r);
    ASSERT_EQ((rsp.status & kStatusErr) != 0, rsp.error != 0) << "command " << int(r.command) << " features " << int(r.features);
    ASSERT_LE(rsp.transferred, length);
    if (nullData) {
      ASSERT_EQ(rsp.transferred, 0u);
    }
    for (std::size_t j = length; j < buf.size(); ++j) ASSERT_EQ(buf[j], 0xC5) << "wrote past the host buffer";
  }
  EXPECT_EQ(d.InvariantViolations(), 0u);
}

TEST_F(DriveFuzz, RandomRequestsOnFlashFirmware) { RunFuzz(1, RunningCode::RomMp, 6000); }
TEST_F(DriveFuzz, RandomRequestsOnBootCode) { RunFuzz(2, RunningCode::Boot, 6000); }
TEST_F(DriveFuzz, RandomRequestsOnTheBurner) { RunFuzz(3, RunningCode::Mcode, 6000); }

// Several hosts on one drive while faults and power change underneath: the
// drive stays consistent and never deadlocks.
TEST_F(DriveFuzz, ConcurrentCommandsFaultsAndPower) {
  Drive d(SmallConfig());
  std::atomic<bool> stop{false};
  std::atomic<int> broken{0};
  std::vector<std::thread> hosts;
  for (int t = 0; t < 4; ++t) {
    hosts.emplace_back([&, t] {
      std::mt19937 rng(100 + t);
      std::vector<std::uint8_t> buf(4096);
      for (int i = 0; i < 3000; ++i) {
        AtaRequest r = Reg(kOpcodes[rng() % std::size(kOpcodes)], static_cast<std::uint8_t>(rng()),
                           static_cast<std::uint8_t>(rng() % 8), static_cast<std::uint8_t>(rng()));
        r.protocol = static_cast<AtaProtocol>(rng() % 5);
        r.data = buf.data();
        r.length = static_cast<std::uint32_t>(rng() % buf.size());
        const AtaResponse rsp = d.Execute(r);
        if (((rsp.status & kStatusErr) != 0) != (rsp.error != 0) || rsp.transferred > r.length) ++broken;
      }
    });
  }
  std::thread chaos([&] {
    std::mt19937 rng(9);
    while (!stop) {
      switch (rng() % 7) {
        case 5: platform::Clock().SleepMs(rng() % 2000); break;
        case 0: d.Faults().FailNext(rng() % 3); break;
        case 1: d.PowerOff(); d.PowerOn(); break;
        case 2: d.HardReset(); break;
        case 3: (void)d.CardState(); break;
        case 4: (void)d.Trace(); break;
        default: d.Faults().Clear(); break;
      }
      std::this_thread::yield();
    }
  });
  for (auto& h : hosts) h.join();
  stop = true;
  chaos.join();
  EXPECT_EQ(broken.load(), 0);
  EXPECT_EQ(d.InvariantViolations(), 0u);
}

// Vendor sub-commands all 256 ways in both directions, with odd lengths.
TEST_F(DriveFuzz, EveryVendorSubCommandWithOddLengths) {
  Drive d(SmallConfig(RunningCode::Mcode));
  std::mt19937 rng(4);
  for (int sub = 0; sub < 256; ++sub) {
    for (std::uint8_t op : {std::uint8_t{0x21}, std::uint8_t{0x31}}) {
      for (std::uint32_t length : {0u, 1u, 511u, 512u, 513u, 4096u}) {
        Key(d);
        AtaRequest r = Reg(op, static_cast<std::uint8_t>(sub), static_cast<std::uint8_t>(rng() % 9),
                           static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()));
        r.protocol = op == 0x21 ? AtaProtocol::PioIn : AtaProtocol::PioOut;
        std::vector<std::uint8_t> buf(length + 16, 0xC5);
        r.data = buf.data();
        r.length = length;
        const AtaResponse rsp = d.Execute(r);
        ASSERT_EQ((rsp.status & kStatusErr) != 0, rsp.error != 0);
        ASSERT_LE(rsp.transferred, length);
        for (std::size_t j = length; j < buf.size(); ++j) ASSERT_EQ(buf[j], 0xC5);
        platform::Clock().SleepMs(10000);  // let any busy state end
      }
    }
  }
  EXPECT_EQ(d.InvariantViolations(), 0u);
  // Every sub-command reached the drive and was answered at the ATA level.
  const auto t = d.Trace();
  EXPECT_EQ(t.size(), 2u * 256 * 6 * 2);
  std::size_t answered = 0;
  for (const TraceEntry& e : t) answered += e.response.transport == TransportError::None ? 1 : 0;
  EXPECT_EQ(answered, t.size());
}

}  // namespace
}  // namespace emu::test
