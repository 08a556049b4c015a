// Random requests against the drive: every answer keeps the invariant (ERR set
// exactly when an error is reported, a diagnostic's code aside), never moves more than the host offered,
// and never writes outside the host's buffer.
#include <atomic>
#include <random>
#include <thread>

#include "tests/emulator/DriveTestUtil.h"

namespace emu::test {
namespace {

class DriveFuzz : public DriveTest {};

constexpr std::uint8_t kOpcodes[] = {0x00, 0x20, 0x24, 0x25, 0x27, 0x29, 0x30, 0x34, 0x35, 0x37, 0x39, 0x40,
                                     0x42, 0x90, 0x92, 0xB0, 0xB1, 0xC4, 0xC5, 0xC6, 0xC8, 0xCA, 0xE0, 0xE1,
                                     0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xEC, 0xEF, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5,
                                     0xF6, 0xF8, 0xF9, 0xFA, 0xFB, 0x21, 0x31};
constexpr std::size_t kGuard = 64;

// Runs one request on a buffer with a guard behind it; false when an answer is malformed.
::testing::AssertionResult Exercise(Drive& d, AtaRequest r, std::uint32_t length, bool nullData, std::mt19937& rng) {
  Bytes buf(length + kGuard, 0xC5);
  for (std::uint32_t j = 0; j < length; ++j) buf[j] = static_cast<std::uint8_t>(rng());
  r.data = nullData ? nullptr : buf.data();
  r.length = length;
  const AtaResponse rsp = d.Execute(r);
  if (!ErrorAgreesWithStatus(r.command, rsp.status, rsp.error) || rsp.transferred > length ||
      (nullData && rsp.transferred != 0))
    return ::testing::AssertionFailure() << "command " << int(r.command) << " features " << int(r.features);
  for (std::size_t j = length; j < buf.size(); ++j)
    if (buf[j] != 0xC5) return ::testing::AssertionFailure() << "wrote past the host buffer, " << int(r.command);
  return ::testing::AssertionSuccess();
}

TEST_F(DriveFuzz, RandomRequestsInEveryRunningCode) {
  for (RunningCode code : {RunningCode::RomMp, RunningCode::Boot, RunningCode::Mcode}) {
    Drive d(SmallConfig(code));
    std::mt19937 rng(static_cast<std::uint32_t>(code) + 1);
    auto byte = [&] { return static_cast<std::uint8_t>(rng()); };
    for (int i = 0; i < 6000; ++i) {
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
      if (shape == 9) {
        r = KeyRequest();  // so that vendor commands get past the gate
      } else {
        r = Reg(shape < 2 ? byte() : kOpcodes[rng() % std::size(kOpcodes)], rng() % 4 ? byte() : 0,
                static_cast<std::uint8_t>(rng() % 3 == 0 ? byte() : rng() % 5), byte(),
                static_cast<std::uint8_t>(rng() % 2 ? byte() : 0), static_cast<std::uint8_t>(rng() % 2 ? byte() : 0),
                static_cast<std::uint8_t>(rng() % 2 ? 0xA0 : byte()));
        r.is48 = rng() % 4 == 0;
        if (r.is48) {
          r.countExp = static_cast<std::uint8_t>(rng() % 8 == 0 ? byte() : 0);
          r.lbaLowExp = static_cast<std::uint8_t>(byte() % 2);
          if (rng() % 8 == 0) r.lbaMidExp = r.lbaHighExp = byte();
        }
        r.protocol = static_cast<AtaProtocol>(rng() % 5);
      }
      const auto length = static_cast<std::uint32_t>(rng() % 3 == 0 ? rng() % 70000 : (rng() % 5) * 512);
      ASSERT_TRUE(Exercise(d, r, length, rng() % 16 == 0, rng));
    }
    EXPECT_EQ(d.InvariantViolations(), 0u);
  }
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
                           static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                           static_cast<std::uint8_t>(rng()));
        r.protocol = op == 0x21 ? AtaProtocol::PioIn : AtaProtocol::PioOut;
        ASSERT_TRUE(Exercise(d, r, length, false, rng));
        platform::Clock().SleepMs(10000);  // let any busy state end
      }
    }
  }
  EXPECT_EQ(d.InvariantViolations(), 0u);
  // Every sub-command reached the drive and was answered at the ATA level.
  const auto t = d.Trace();
  EXPECT_EQ(t.size(), 2u * 256 * 6 * 2);
  for (const TraceEntry& e : t) ASSERT_EQ(e.response.transport, TransportError::None);
}

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
      for (int i = 0; i < 3000; ++i) {
        AtaRequest r = Reg(kOpcodes[rng() % std::size(kOpcodes)], static_cast<std::uint8_t>(rng()),
                           static_cast<std::uint8_t>(rng() % 8), static_cast<std::uint8_t>(rng()));
        r.protocol = static_cast<AtaProtocol>(rng() % 5);
        if (!Exercise(d, r, static_cast<std::uint32_t>(rng() % 4096), false, rng)) ++broken;
      }
    });
  }
  std::thread chaos([&] {
    std::mt19937 rng(9);
    while (!stop) {
      switch (rng() % 7) {
        case 0: d.Faults().FailNext(rng() % 3); break;
        case 1: d.PowerOff(); d.PowerOn(); break;
        case 2: d.HardReset(); break;
        case 3: (void)d.CardState(); break;
        case 4: (void)d.Trace(); break;
        case 5: platform::Clock().SleepMs(rng() % 2000); break;
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

}  // namespace
}  // namespace emu::test
