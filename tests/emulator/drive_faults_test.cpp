// The drive's fault knobs and its command trace.
#include "drive_test_util.h"

namespace emu::test {
namespace {

class DriveFaultKnobs : public DriveTest {
 protected:
  // Outcome letters of a run of commands: O ok, A aborted, T time-out, G gone, F general failure.
  static std::string Outcomes(Drive& d, std::initializer_list<AtaRequest> reqs) {
    std::string s;
    for (const AtaRequest& r : reqs) {
      const AtaResponse a = NonData(d, r);
      s += Ok(a) ? 'O' : Aborted(a) ? 'A' : a.transport == TransportError::TimeOut ? 'T'
           : a.transport == TransportError::Gone ? 'G' : 'F';
    }
    return s;
  }
};

TEST_F(DriveFaultKnobs, FailTimeOutAndEveryNthWithFilters) {
  Drive d(SmallConfig());
  const AtaRequest e5 = Reg(0xE5), e7 = Reg(0xE7);
  d.Faults().FailNext(2);
  EXPECT_EQ(Outcomes(d, {e5, e7, e5}), "AAO");
  d.Faults().FailNext(1, CommandFilter{0xE7, {}});
  EXPECT_EQ(Outcomes(d, {e5, e7, e7}), "OAO");
  d.Faults().TimeOutNext(2);
  EXPECT_EQ(Outcomes(d, {e5, e5, e5}), "TTO");
  d.Faults().FailEveryNth(3);
  EXPECT_EQ(Outcomes(d, {e5, e5, e5, e5, e5, e5}), "OOAOOA");
  d.Faults().FailEveryNth(0);
  EXPECT_EQ(Outcomes(d, {e5, e5, e5}), "OOO");
  ASSERT_TRUE(Ok(Key(d)));
  d.Faults().FailNext(1, CommandFilter{{}, 0x13});
  EXPECT_EQ(Outcomes(d, {Reg(0x21, 0x15, 1), Reg(0x21, 0x13, 1), Reg(0x21, 0x13, 1)}), "OAO");
  // Clear restores health.
  d.Faults().FailNext(DriveFaults::kForever);
  d.Faults().SetNeverReady(true);
  d.Faults().RefuseAccessKey(DriveFaults::kForever);
  d.Faults().Clear();
  EXPECT_EQ(d.CardState(), 0x50);
  EXPECT_TRUE(Ok(Key(d)));
}

TEST_F(DriveFaultKnobs, MediumErrorAtAnLba) {
  Drive d(SmallConfig());
  d.Faults().AddMediumError(100);
  Bytes buf(8 * 512);
  EXPECT_TRUE(Ok(In(d, Reg(0x20, 0, 8, 92, 0, 0, 0xE0), buf)));  // 92..99
  const AtaResponse r = In(d, Reg(0x20, 0, 8, 93, 0, 0, 0xE0), buf);  // 93..100
  EXPECT_TRUE(r.status & kStatusErr);
  EXPECT_EQ(r.error, kErrorUnc);
  d.Faults().ClearMediumErrors();
  EXPECT_TRUE(Ok(In(d, Reg(0x20, 0, 8, 93, 0, 0, 0xE0), buf)));
}

TEST_F(DriveFaultKnobs, WrongVerdictOnVerifyTypeCommands) {
  Drive d(SmallConfig(RunningCode::Boot));
  Ready(d);
  Bytes desc(512, 0);
  desc[5] = 0x02;  // 512 bytes at address 0
  ASSERT_TRUE(Ok(VWrite(d, 0x80, 32, Bytes(16384, 1))));
  ASSERT_TRUE(Ok(VWrite(d, 0x24, 1, desc)));
  ASSERT_TRUE(Ok(VWrite(d, 0x40, 1, Sector(7), 0, 1)));
  d.Faults().WrongVerdict(1);
  EXPECT_NE(Le32(VRead(d, 0x30, 1), 8), 0x55AA55AAu);
  EXPECT_EQ(Le32(VRead(d, 0x30, 1), 8), 0x55AA55AAu);
  // Erase in polling mode: the erase error byte; in waiting mode: 0x51 once.
  for (std::uint8_t polling : {1, 0}) {
    ASSERT_TRUE(Ok(Key(d)));
    d.Faults().WrongVerdict(1);
    ASSERT_TRUE(Ok(VWrite(d, 0x26, 1, Sector(0), polling, 0x20, 0x09)));
    Advance(d.Config().eraseMs);
    EXPECT_EQ(d.CardState(), polling ? 0x50 : 0x51);
    EXPECT_EQ(d.CardState(), 0x50);
    EXPECT_EQ(d.EraseErrorByte() != 0, polling == 1);
  }
  d.Faults().WrongVerdict(1);
  EXPECT_EQ(VRead(d, 0xA8, 1)[4], 0xAA);  // MaxBad: "no usable system unit"
}

TEST_F(DriveFaultKnobs, CardStateKnobs) {
  Drive d(SmallConfig());
  d.Faults().BusyFor(2000);
  EXPECT_EQ(d.CardState(), 0x80);
  EXPECT_EQ(NonData(d, Reg(0xE5)).transport, TransportError::TimeOut);
  Advance(2000);
  EXPECT_EQ(d.CardState(), 0x50);
  d.Faults().SetNeverReady(true);
  Advance(3600 * 1000);
  EXPECT_EQ(d.CardState(), 0x80);
  d.Faults().SetNeverReady(false);
  d.Faults().NoAnswer(2, 0xFF);
  d.Faults().ErrorStateOnce();  // after the no-answer reads
  Ints states;
  for (int i = 0; i < 4; ++i) states.push_back(d.CardState());
  EXPECT_EQ(states, (Ints{0xFF, 0xFF, 0x51, 0x50}));
}

TEST_F(DriveFaultKnobs, HotRemovalAndPowerLossMidCommand) {
  Drive d(SmallConfig());
  d.Faults().HotRemoveOnNext(CommandFilter{0x30, {}});
  EXPECT_TRUE(Ok(NonData(d, Reg(0xE5))));
  EXPECT_EQ(Out(d, Reg(0x30, 0, 1, 0, 0, 0, 0xE0), Sector(1)).transport, TransportError::Gone);
  EXPECT_TRUE(d.Removed());
  EXPECT_EQ(d.CardState(), 0x00);
  EXPECT_EQ(Outcomes(d, {Reg(0xE5)}), "G");
  d.PowerOn();  // a removed drive cannot be powered
  EXPECT_EQ(d.CardState(), 0x00);
  d.Reinsert();
  Ready(d);
  EXPECT_EQ(d.ReadMedia(0, 1), Sector(0));  // the interrupted write never landed

  ASSERT_TRUE(Ok(Out(d, Reg(0x30, 0, 1, 3, 0, 0, 0xE0), Sector(0x21))));
  d.Faults().PowerCycleOnNext();
  EXPECT_EQ(Outcomes(d, {Reg(0xE5)}), "F");
  EXPECT_FALSE(d.KeyAccepted());
  EXPECT_EQ(d.CardState(), 0x80);
  Ready(d);
  EXPECT_EQ(d.ReadMedia(3, 1), Sector(0x21));  // media is not volatile
}

TEST_F(DriveFaultKnobs, TraceRecordsEveryCommandAndItsResult) {
  Drive d(SmallConfig());
  d.ClearTrace();
  ASSERT_TRUE(Ok(Key(d)));
  Bytes marked(512, 0);
  std::copy(kx::kVendorWrite00Marker.begin(), kx::kVendorWrite00Marker.end(), marked.begin());
  ASSERT_TRUE(Ok(VWrite(d, 0x00, 1, marked)));
  EXPECT_TRUE(Aborted(VWrite(d, 0x00, 1, Sector(0))));  // marker missing
  const auto t = d.Trace();
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].request.command, kx::kApKeySignature[5]);
  EXPECT_EQ(t[1].request.length, 512u);
  EXPECT_EQ(t[1].dataHead[0], 'K');
  EXPECT_EQ(t[1].request.data, nullptr);
  EXPECT_TRUE(t[2].response.status & kStatusErr);
  // Past the limit the oldest entries give way, order kept.
  d.SetTraceLimit(2);
  ASSERT_EQ(d.Trace().size(), 2u);
  EXPECT_EQ(d.Trace()[0].request.command, 0x31);
  for (std::uint8_t i = 0; i < 5; ++i) NonData(d, Reg(0xE5, i));
  const auto last = d.Trace();
  ASSERT_EQ(last.size(), 2u);
  EXPECT_EQ(last[0].request.features, 3);
  EXPECT_EQ(last[1].request.features, 4);
}

}  // namespace
}  // namespace emu::test
