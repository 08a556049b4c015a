// The drive's fault knobs, their command filters and skips, and its command trace.
#include <functional>

#include "tests/emulator/DriveTestUtil.h"

namespace emu::test {
namespace {

class DriveFaultKnobs : public DriveTest {
 protected:
  // Outcome letters of a run of commands: O ok, A aborted, T time-out, G gone, F general failure.
  static std::string Outcomes(Drive& d, const std::vector<AtaRequest>& reqs) {
    std::string s;
    for (const AtaRequest& r : reqs) {
      const AtaResponse a = NonData(d, r);
      s += Ok(a)                                    ? 'O'
           : Aborted(a)                             ? 'A'
           : a.transport == TransportError::TimeOut ? 'T'
           : a.transport == TransportError::Gone    ? 'G'
                                                    : 'F';
    }
    return s;
  }
};

TEST_F(DriveFaultKnobs, EachKnobHitsTheCommandsItsFilterAndSkipLeave) {
  const AtaRequest e5 = Reg(0xE5), e7 = Reg(0xE7), read13 = Reg(0x21, 0x13, 1), read15 = Reg(0x21, 0x15, 1);
  const struct {
    const char* knob;
    std::function<void(DriveFaults&)> set;
    std::vector<AtaRequest> commands;
    std::string outcomes;
  } rows[] = {
      {"FailNext(2)", [](DriveFaults& f) { f.FailNext(2); }, {e5, e7, e5}, "AAO"},
      {"FailNext for E7h", [](DriveFaults& f) { f.FailNext(1, CommandFilter{0xE7, {}}); }, {e5, e7, e7}, "OAO"},
      {"FailNext for sub-command 13h", [](DriveFaults& f) { f.FailNext(1, CommandFilter{{}, 0x13}); },
       {read15, read13, read13}, "OAO"},
      {"FailNext for E7h after 2", [](DriveFaults& f) { f.FailNext(2, CommandFilter{0xE7, {}, 2}); },
       {e7, e5, e7, e7, e7, e7}, "OOOAAO"},
      {"TimeOutNext(2)", [](DriveFaults& f) { f.TimeOutNext(2); }, {e5, e5, e5}, "TTO"},
      {"TimeOutNext for E7h after 3", [](DriveFaults& f) { f.TimeOutNext(1, CommandFilter{0xE7, {}, 3}); },
       {e7, e5, e7, e7, e7, e7}, "OOOOTO"},
      {"FailEveryNth(3)", [](DriveFaults& f) { f.FailEveryNth(3); }, {e5, e5, e5, e5, e5, e5}, "OOAOOA"},
      {"FailEveryNth(0) turns it off",
       [](DriveFaults& f) {
         f.FailEveryNth(3);
         f.FailEveryNth(0);
       },
       {e5, e5, e5}, "OOO"},
      {"FailEveryNth(2) for E7h after 1", [](DriveFaults& f) { f.FailEveryNth(2, CommandFilter{0xE7, {}, 1}); },
       {e7, e5, e7, e7, e7, e7}, "OOOAOA"},
      {"HotRemoveOnNext E7h after 3", [](DriveFaults& f) { f.HotRemoveOnNext(CommandFilter{0xE7, {}, 3}); },
       {e7, e5, e7, e7, e7, e7}, "OOOOGG"},
      {"PowerCycleOnNext E7h after 1", [](DriveFaults& f) { f.PowerCycleOnNext(CommandFilter{0xE7, {}, 1}); },
       {e7, e5, e7, e7, e7, e7}, "OOFTTT"},  // then booting
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.knob);
    Drive d(SmallConfig());
    Ready(d);
    row.set(d.Faults());
    EXPECT_EQ(Outcomes(d, row.commands), row.outcomes);
  }
}

TEST_F(DriveFaultKnobs, ClearRestoresHealthAndBusyForHoldsTheCard) {
  Drive d(SmallConfig());
  d.Faults().FailNext(DriveFaults::kForever);
  d.Faults().SetNeverReady(true);
  d.Faults().RefuseAccessKey(DriveFaults::kForever);
  Advance(3600 * 1000);
  EXPECT_EQ(d.CardState(), 0x80);
  d.Faults().Clear();
  EXPECT_EQ(d.CardState(), 0x50);
  EXPECT_TRUE(Ok(Key(d)));
  d.Faults().BusyFor(2000);
  EXPECT_EQ(d.CardState(), 0x80);
  EXPECT_EQ(NonData(d, Reg(0xE5)).transport, TransportError::TimeOut);
  Advance(2000);
  EXPECT_EQ(d.CardState(), 0x50);
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
  SeedAndDescriptor(d, 0, 512);
  ASSERT_TRUE(Ok(VWrite(d, 0x40, 1, Sector(7), 0, 1)));
  d.Faults().WrongVerdict(1);
  EXPECT_NE(Le32(VRead(d, 0x30, 1), 8), 0x55AA55AAu);  // the CRC check
  EXPECT_EQ(Le32(VRead(d, 0x30, 1), 8), 0x55AA55AAu);
  // Erase in polling mode: the erase error byte; in waiting mode: 51h once.
  for (std::uint8_t polling : {1, 0}) {
    SCOPED_TRACE(polling ? "polling" : "waiting");
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

TEST_F(DriveFaultKnobs, WrongVerdictAimedAtOneSubCommandCountsOnlyItsOwnVerdicts) {
  DriveConfig cfg = SmallConfig();
  cfg.flashCode = Pattern(16384 + 65536, 4);
  Drive d(cfg);
  Ready(d);
  const std::uint8_t firstByte = cfg.flashCode[16384];
  // The verdict of the second MaxBad read is wrong; flash read-backs, verify-type
  // too, neither count nor take it.
  d.Faults().WrongVerdict(1, CommandFilter{0x21, 0xA8, 1});
  EXPECT_EQ(VRead(d, 0x31, 128, 0, 0, 1)[0], firstByte);
  EXPECT_EQ(VRead(d, 0xA8, 1)[4], 0x00);
  EXPECT_EQ(VRead(d, 0x31, 128, 0, 0, 1)[0], firstByte);
  EXPECT_EQ(VRead(d, 0xA8, 1)[4], 0xAA);
  EXPECT_EQ(VRead(d, 0xA8, 1)[4], 0x00);
  // Without a filter the next verify-type command of any kind takes it.
  d.Faults().WrongVerdict(1);
  EXPECT_EQ(VRead(d, 0x31, 128, 0, 0, 1)[0], firstByte ^ 0xFF);
  EXPECT_EQ(VRead(d, 0xA8, 1)[4], 0x00);
}

TEST_F(DriveFaultKnobs, HotRemovalAndPowerLossMidCommand) {
  Drive d(SmallConfig());
  d.Faults().HotRemoveOnNext(CommandFilter{0x30, {}});
  EXPECT_EQ(Out(d, Reg(0x30, 0, 1, 0, 0, 0, 0xE0), Sector(1)).transport, TransportError::Gone);
  EXPECT_TRUE(d.Removed());
  EXPECT_EQ(d.CardState(), 0x00);
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
