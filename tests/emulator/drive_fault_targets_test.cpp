// The drive's command knobs aimed at one command after a number of its kind passed.
#include "drive_test_util.h"

namespace emu::test {
namespace {

class DriveFaultTargets : public DriveTest {
 protected:
  // Outcome letters: O ok, A aborted, T time-out, G gone, F general failure.
  static std::string Outcomes(Drive& d, std::initializer_list<AtaRequest> reqs) {
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

TEST_F(DriveFaultTargets, KnobsLetTheirSkipPassFirst) {
  const AtaRequest e5 = Reg(0xE5), e7 = Reg(0xE7);
  const struct {
    const char* knob;
    std::function<void(DriveFaults&)> set;
    std::string outcomes;  // of e7 e5 e7 e7 e7 e7
  } rows[] = {
      {"FailNext",
       [](DriveFaults& f) {
         f.FailNext(2, CommandFilter{0xE7, {}, 2});
       },
       "OOOAAO"},
      {"FailEveryNth",
       [](DriveFaults& f) {
         f.FailEveryNth(2, CommandFilter{0xE7, {}, 1});
       },
       "OOOAOA"},
      {"TimeOutNext",
       [](DriveFaults& f) {
         f.TimeOutNext(1, CommandFilter{0xE7, {}, 3});
       },
       "OOOOTO"},
      {"HotRemoveOnNext",
       [](DriveFaults& f) {
         f.HotRemoveOnNext(CommandFilter{0xE7, {}, 3});
       },
       "OOOOGG"},
      {"PowerCycleOnNext",
       [](DriveFaults& f) {
         f.PowerCycleOnNext(CommandFilter{0xE7, {}, 1});
       },
       "OOFTTT"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.knob);
    Drive d(SmallConfig());
    Ready(d);
    row.set(d.Faults());
    EXPECT_EQ(Outcomes(d, {e7, e5, e7, e7, e7, e7}), row.outcomes);
  }
}

TEST_F(DriveFaultTargets, WrongVerdictAimedAtOneSubCommandCountsOnlyItsOwnVerdicts) {
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

}  // namespace
}  // namespace emu::test
