// The port job on the emulated tester under virtual time: the dispatch table,
// what Run records for each outcome, the short jobs, and 24 jobs on the pool.
// Procedures are replaced by a recording subclass; none is faked as built.
#include <algorithm>
#include <fstream>
#include <functional>
#include <latch>

#include "device/PortDevice.h"
#include "engine/PortJob.h"
#include "engine/SnScan.h"
#include "platform/Debug.h"
#include "platform/FileFaults.h"
#include "platform/Files.h"
#include "platform/Memory.h"
#include "platform/MessageBox.h"
#include "tests/support/EmulatedSite.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/RecordChecks.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kx::Rgb;
using P = CPortJob::Procedure;

const char kToolIni[] = ".\\Configuration\\System\\MPToolSetting.ini";
const char kWorkOrder[] = "D:\\Log\\WO_T_1.txt";
const char kSummaryCsv[] = "C:\\KXMP\\MPTestSummary\\Summary.csv";

// How a recorded procedure ends, as the station procedures end.
enum class Outcome { Pass, Fail, NoDrive, DetectCard };

struct Script {
  Outcome outcome = Outcome::Pass;
  std::vector<std::string> ran;
  std::string cellOnEntry;
  int runModeOnEntry = 0, phaseOnEntry = 0, runStateOnEntry = 0;
  std::atomic<bool>* uncheck = nullptr;  // a repeat box the procedure unchecks
  std::latch* deleted = nullptr;
  bool destroyed = false;
  const emu::FrontEnd* drive = nullptr;  // the port's device, whose holds the procedure sees
  int holdsOnEntry = -1;
};

class RecordingJob final : public CPortJob {
 public:
  template <class... Args>
  RecordingJob(Script& s, Args&&... args) : CPortJob(std::forward<Args>(args)...), s_(s) {}
  ~RecordingJob() override {
    s_.destroyed = true;
    if (s_.deleted) s_.deleted->count_down();
  }
  std::uint8_t RunMP() override { return Record("RunMP"); }
  std::uint8_t RunQC() override { return Record("RunQC"); }
  std::uint8_t RunEraseAll() override { return Record("RunEraseAll"); }
  std::uint8_t RunRDT() override { return Record("RunRDT"); }
  std::uint8_t Run0MBCheck() override { return Record("Run0MBCheck"); }
  std::uint8_t RunISPOnly() override { return Record("RunISPOnly"); }
  std::uint8_t RunRDTResult() override { return Record("RunRDTResult"); }
  std::uint8_t RunUpdateFW() override { return Record("RunUpdateFW"); }
  std::uint8_t RunRMADebug() override { return Record("RunRMADebug"); }

 private:
  std::uint8_t Record(const char* name) {
    s_.ran.push_back(name);
    s_.cellOnEntry = m_StatusCell ? m_StatusCell->GetWindowText() : "";
    s_.runModeOnEntry = m_Device->m_RunMode;
    s_.phaseOnEntry = g_PortState[m_Slot];
    s_.runStateOnEntry = m_PortStates ? (*m_PortStates)[m_Slot - 1].load() : 0;
    if (s_.uncheck) *s_.uncheck = false;
    if (s_.drive) s_.holdsOnEntry = s_.drive->Holds();
    Outcome o = s_.outcome;
    if (o == Outcome::DetectCard) o = m_Device->DetectCard(2) == 1 ? Outcome::Pass : Outcome::Fail;
    if (o == Outcome::NoDrive) {
      SetPortStatus(4, "", "");
      return 0;
    }
    if (o == Outcome::Pass) {
      *m_ResultCode = "0_00";
      SetPortStatus(1, "PASS", "");
      return 1;
    }
    m_Device->m_ErrorCode = m_FailCode = *m_ResultCode = "M_x04";
    m_Device->m_ErrorMessage = "Write fail";
    SetPortStatus(0, m_FailCode, m_Device->m_ErrorMessage);
    return 0;
  }
  Script& s_;
};

// The shared tables and scan state as a pass starts, put back afterwards.
struct EngineGlobalsGuard {
  EngineGlobalsGuard() { Reset(); }
  ~EngineGlobalsGuard() { Reset(); }
  static void Reset() {
    for (int i = 0; i < kx::kPortTableSize; ++i) {
      g_PortResult[i] = -1;
      g_PortState[i] = 1;
      g_SnScanState.SetSerialNumber(i + 1, "");
      g_SnScanState.SetWwn(i + 1, "");
    }
    g_StopAfterFail = 0;
    g_CardWatch = 0;
    g_SnScanState.allScanned = 0;
    g_SnScanState.question = 0;
    g_SnScanState.wwnScanEnabled = false;
    g_SnScanState.SetDialogFactory(nullptr);
    kx::SetWorkOrderPath("");
  }
};

TEST(PortJobDispatch, ModeStationAndOnlyDoIspSelectTheProcedure) {
  struct Row {
    int mode, station;
    bool isp;
    P expected;
  } rows[] = {
      {1, 0, false, P::EraseAll},  {1, 0, true, P::EraseAll},    {1, 1, false, P::RDT},   {1, 2, false, P::RDT},
      {1, 7, false, P::RDT},       {1, 9, true, P::RDT},         {1, 3, false, P::MP},    {1, 5, false, P::MP},
      {1, 5, true, P::ISPOnly},    {1, 8, true, P::ISPOnly},     {1, 10, false, P::MP},   {4, 2, false, P::ZeroMBCheck},
      {4, 5, false, P::QC},        {4, 5, true, P::QC},          {4, 3, false, P::QC},    {4, 6, false, P::UpdateFW},
      {4, 10, false, P::RMADebug}, {10, 2, false, P::RDTResult}, {10, 3, false, P::None}, {10, 0, true, P::None},
      {6, 3, false, P::None},      {7, 3, false, P::None},       {8, 3, false, P::None},  {9, 3, false, P::None},
      {0, 3, false, P::None},      {2, 2, false, P::None},
  };
  for (const Row& r : rows)
    EXPECT_EQ(CPortJob::SelectProcedure(r.mode, r.station, r.isp), r.expected)
        << "mode " << r.mode << " station " << r.station << " OnlyDoISP " << r.isp;
}

// ---- one port on the emulated tester ----

class PortJobRun : public kxtest::DeviceTestEnv {
 protected:
  PortJobRun() {
    for (auto& s : runStates_) s = -1;
    runStates_[0] = 1;
    MakeDirs(".\\Configuration\\System");
    Station("MP");
    kx::SetWorkOrderPath(kWorkOrder);
  }
  static void Station(const char* name) { SetIni(kToolIni, "General Info", "TestStation", name); }
  template <class Job = RecordingJob, class... Lead>
  Job* New(int mode, Lead&&... lead) {
    return new Job(std::forward<Lead>(lead)..., mode, &locks_, &cell_, &progress_, station_->DriveNo(), 1, &repeat_,
                   &labels_, "D:\\Log", &resultCode_, nullptr, &runStates_, kx::RunSummarySources{kToolIni, {}});
  }
  // Runs a recording job to its end (it deletes itself).
  void RunRecorded(int mode) { New(mode, script_)->Run(0); }
  bool Powered() { return station_->Site().Card(1).powered; }
  void PowerOn() { ASSERT_TRUE(station_->Device().SwitchCardPower(1, false, 0, false)); }
  // The last result-list record, "key=record".
  static std::string LastRecord() {
    const auto lines = win::GetPrivateProfileSection("Results List", kWorkOrder);
    return lines.empty() ? std::string() : lines.back();
  }

  EngineGlobalsGuard globals_;
  std::unique_ptr<kxtest::EmulatedStation> station_ =
      std::make_unique<kxtest::EmulatedStation>(kxtest::Mode::TesterDirect);
  std::shared_ptr<platform::RecordingMessageBox> box_ = std::make_shared<platform::RecordingMessageBox>();
  platform::ScopedMessageBox scopedBox_{box_};
  Script script_;
  kx::PageLocks locks_;
  kx::StatusCellModel cell_;
  kx::ProgressModel progress_;
  kx::TextWindowModel total_, good_, bad_;
  std::array<ITextWindow*, 3> labels_{&total_, &good_, &bad_};
  std::string resultCode_ = "H_F8";
  std::atomic<bool> repeat_{false};
  std::array<std::atomic<int>, kx::kPortCount> runStates_;
};

TEST_F(PortJobRun, ConstructionFormatsItsTextsAndReadsTheSettings) {
  SetIni(".\\param.ini", "Options", "DEVSLP_Control", "1");
  Station("QC");
  CPortJob on(1, nullptr, nullptr, nullptr, 3, 7, nullptr, nullptr, "D:\\Log", nullptr, nullptr, nullptr);
  EXPECT_EQ(on.m_SlotText, "7");
  EXPECT_EQ(on.m_VersionText, "V2.0a");
  EXPECT_EQ(on.m_Station, 5);
  EXPECT_EQ(on.m_DevSleep, 1);
  SetIni(".\\param.ini", "Options", "DEVSLP_Control", "2");
  EXPECT_EQ(CPortJob(1, nullptr, nullptr, nullptr, 3, 7, nullptr, nullptr, "", nullptr, nullptr, nullptr).m_DevSleep,
            0);
}

TEST_F(PortJobRun, RunShowsTestingAndCallsTheSelectedProcedureOnTheDevice) {
  struct Row {
    int mode;
    const char *station, *onlyDoIsp, *expected;
  } rows[] = {
      {1, "EraseAll", "0", "RunEraseAll"}, {1, "QC", "1", "RunISPOnly"},      {1, "QC", "0", "RunMP"},
      {1, "ReRDT", "0", "RunRDT"},         {4, "QC", "0", "RunQC"},           {4, "RDTResult", "0", "Run0MBCheck"},
      {4, "UpdateFW", "0", "RunUpdateFW"}, {4, "RMADBG", "0", "RunRMADebug"}, {10, "0MB", "0", "RunRDTResult"},
  };
  progress_.SetRange(0, 0);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.expected);
    Station(r.station);
    SetIni(".\\param.ini", "Options", "OnlyDoISP", r.onlyDoIsp);
    script_ = {};
    RunRecorded(r.mode);
    EXPECT_EQ(script_.ran, std::vector<std::string>{r.expected});
    EXPECT_EQ(script_.cellOnEntry, "Testing");
    EXPECT_EQ(script_.runModeOnEntry, r.mode);
    EXPECT_TRUE(script_.destroyed);
  }
  EXPECT_EQ(progress_.Upper(), 100);
}

TEST_F(PortJobRun, OutcomeSetsThePhaseTheRecordAndTheCard) {
  struct Row {
    Outcome outcome;
    int phase, result;
    const char *code, *recordTail;
  } rows[] = {{Outcome::Pass, 4, 1, "0_00", ",NoRecord,NoRecord,Pass"},
              {Outcome::Fail, 5, 0, "M_x04", ",Fail,M_x04,Write fail"},
              {Outcome::NoDrive, 1, 4, "W_F02", ",Fail,W_F02,"}};  // a failure that named no code
  for (const Row& r : rows) {
    SCOPED_TRACE(r.code);
    script_ = {};
    script_.outcome = r.outcome;
    script_.drive = &station_->FrontEnd();
    resultCode_ = "H_F8";
    PowerOn();
    for (const char* f : {kWorkOrder, "D:\\Log\\Error_Init.log", "D:\\Log\\SATA_RecordSN.ini"})
      std::filesystem::remove(Native(f));
    MakeDirs("D:\\Log\\D_Reports");
    std::ofstream(Native("D:\\Log\\D_Reports\\PC_1_Report.txt"), std::ios::trunc).put('\n');  // these procedures start none
    RunRecorded(1);
    EXPECT_EQ(g_PortState[1], r.phase);
    EXPECT_EQ(g_PortResult[0], r.result);
    EXPECT_EQ(resultCode_, r.code);
    if (r.result != 1) {  // the procedures write no fail block: the job's ending does
      EXPECT_TRUE(kxtest::FailureOnRecord(resultCode_, 1, PortReport(), ReadAll("D:\\Log\\Error_Init.log"),
                                          ReadAll("D:\\Log\\SATA_RecordSN.ini")));
    }
    EXPECT_TRUE(kxtest::EndsWith(LastRecord(), r.recordTail)) << LastRecord();
    EXPECT_EQ(g_StopAfterFail, 0);
    EXPECT_FALSE(Powered());
    // The drive is the job's own while it runs, and let go as it ends.
    EXPECT_EQ(script_.holdsOnEntry, 1);
    EXPECT_EQ(station_->FrontEnd().Holds(), 0);
  }
}

// A drive that another program keeps locked past the hold's wait fails its job
// on the cell and on record, and is sent nothing (a repeat cycle's card watch
// aside); a lock let go within the wait only delays the job.
TEST_F(PortJobRun, ADriveThatAnotherProgramHoldsIsSentNothing) {
  const std::uint64_t kForGood = emu::FrontEnd::kHeldForGood;
  for (const bool repeat : {false, true})
    for (const std::uint64_t heldMs : {kForGood, std::uint64_t{3000}}) {
      SCOPED_TRACE(std::string(repeat ? "repeat, held " : "single, held ") + std::to_string(heldMs));
      // A failed repeat cycle then ends the loop, a passed one unchecks the box.
      SetIni(".\\param.ini", "RD Debug", "StopIfFail", repeat ? "1" : "0");
      g_StopAfterFail = 0;
      repeat_ = repeat;
      script_ = {};
      script_.drive = &station_->FrontEnd();
      script_.uncheck = &repeat_;
      resultCode_ = "H_F8";
      for (const char* f : {"D:\\Log\\Error_Init.log", "D:\\Log\\SATA_RecordSN.ini"}) std::filesystem::remove(Native(f));
      PowerOn();
      station_->ClearSent();
      station_->FrontEnd().HoldElsewhere(heldMs);
      RunRecorded(1);
      station_->FrontEnd().HoldElsewhere(0);
      if (heldMs != kForGood) {
        EXPECT_EQ(script_.ran, std::vector<std::string>{"RunMP"});
        EXPECT_EQ(script_.holdsOnEntry, 1);
        EXPECT_EQ(resultCode_, "0_00");
        continue;
      }
      EXPECT_TRUE(script_.ran.empty());
      EXPECT_EQ(resultCode_, CPortJob::kDriveHeldCode);
      EXPECT_TRUE(kxtest::Has(cell_.GetErrorMessage(), "Held by Another Program")) << cell_.GetErrorMessage();
      EXPECT_TRUE(kxtest::Has(PortReport(), "Error Message : " + cell_.GetErrorMessage()));
      EXPECT_TRUE(Powered());
      if (!repeat) {
        EXPECT_TRUE(kxtest::FailureOnRecord(resultCode_, 1, PortReport(), ReadAll("D:\\Log\\Error_Init.log"),
                                            ReadAll("D:\\Log\\SATA_RecordSN.ini")));
        EXPECT_TRUE(station_->Sent().empty());
        EXPECT_TRUE(kxtest::EndsWith(LastRecord(), ",Fail,W_F04," + cell_.GetErrorMessage())) << LastRecord();
      }
    }
}

TEST_F(PortJobRun, StopIfFailStopsAndEveryLaterJobLeavesTheCardPowered) {
  SetIni(".\\param.ini", "RD Debug", "StopIfFail", "1");
  script_.outcome = Outcome::Fail;
  RunRecorded(1);
  EXPECT_EQ(g_StopAfterFail, 1);
  EXPECT_TRUE(Powered());
  script_.outcome = Outcome::Pass;
  RunRecorded(1);
  EXPECT_EQ(g_PortState[1], 4);
  EXPECT_TRUE(Powered());
}

TEST_F(PortJobRun, BridgeModeNeverSwitchesTheCardOff) {
  station_.reset();  // first, so that the clocks it installed are put back in order
  station_ = std::make_unique<kxtest::EmulatedStation>(kxtest::Mode::Bridge);
  ASSERT_EQ(g_KX_U2A, 1);
  RunRecorded(1);
  EXPECT_EQ(g_PortState[1], 4);
  EXPECT_TRUE(Powered());
}

TEST_F(PortJobRun, ResultListAndSummaryCsvByStationAndMode) {
  struct Row {
    int mode;
    const char* station;
    bool resultList, summaryCsv;
  } rows[] = {{1, "EraseAll", false, false}, {1, "MP", true, true}, {4, "MP", true, false}, {1, "QC", true, false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.mode) + r.station);
    std::filesystem::remove(Native(kWorkOrder));
    std::filesystem::remove(Native(kSummaryCsv));
    Station(r.station);
    RunRecorded(r.mode);
    EXPECT_EQ(Exists(kWorkOrder), r.resultList);
    EXPECT_EQ(Exists(kSummaryCsv), r.summaryCsv);
  }
}

TEST_F(PortJobRun, MpStationRunsItsProcedureAndRecordsAnEmptyPort) {
  station_->Site().SetTesterFaults(1, {.cardAbsent = true});
  New<CPortJob>(1)->Run(0);
  EXPECT_EQ(g_PortResult[0], 4);
  EXPECT_EQ(resultCode_, "P_A01");
  EXPECT_TRUE(kxtest::EndsWith(LastRecord(), ",Fail,P_A01,Tester output voltage: Don't detect card")) << LastRecord();
  EXPECT_TRUE(kxtest::Has(PortReport(), "[ Fail ]  Error Message : Tester output voltage: Don't detect card"));
}

TEST_F(PortJobRun, JobWithoutProcedureLeavesThePortIdleAndItsCardAlone) {
  for (int mode : {10, 2}) {
    SCOPED_TRACE(mode);
    g_PortState[1] = 2;
    RunRecorded(mode);
    EXPECT_TRUE(script_.ran.empty());
    EXPECT_EQ(g_PortResult[0], 4);
    EXPECT_EQ(g_PortState[1], 1);
    EXPECT_EQ(resultCode_, "H_F8");
    EXPECT_FALSE(Exists(kWorkOrder));
    EXPECT_TRUE(station_->Sent().empty());
  }
}

TEST_F(PortJobRun, DeviceWithoutPageMemoryFailsThePortWithoutAProcedure) {
  platform::FailNextPageAllocations(1);
  RunRecorded(1);
  EXPECT_TRUE(script_.ran.empty());
  EXPECT_EQ(g_PortResult[0], 0);
  EXPECT_EQ(g_PortState[1], 5);
  EXPECT_EQ(cell_.GetErrorMessage(), "Cannot allocate page memory !");
  EXPECT_EQ(resultCode_, "W_F02");
  EXPECT_EQ(cell_.GetWindowText(), "0xFFF");
  EXPECT_TRUE(kxtest::FailureOnRecord(resultCode_, 1, PortReport(), ReadAll("D:\\Log\\Error_Init.log"),
                                      ReadAll("D:\\Log\\SATA_RecordSN.ini")));
  EXPECT_TRUE(kxtest::EndsWith(LastRecord(), ",Fail,W_F02,Cannot allocate page memory !")) << LastRecord();
  EXPECT_TRUE(station_->Sent().empty());
}

TEST_F(PortJobRun, AbandonShowsTheIdlePortAndOnlyBitZeroFrees) {
  New(1, script_)->Abandon();  // the sanitizer run reports a leak
  EXPECT_EQ(g_PortResult[0], 4);
  EXPECT_TRUE(script_.destroyed);
  EXPECT_TRUE(script_.ran.empty());
  Script kept;
  alignas(RecordingJob) unsigned char storage[sizeof(RecordingJob)];
  (::new (storage) RecordingJob(kept, 1, nullptr, nullptr, nullptr, 3, 1, nullptr, nullptr, "", nullptr, nullptr,
                                nullptr))
      ->DeletingDestructor(0);  // freeing stack storage would abort the sanitizer run
  EXPECT_TRUE(kept.destroyed);
}

TEST_F(PortJobRun, RepeatModeTestsAnInsertedCardAndLogsTheRun) {
  repeat_ = true;
  script_.uncheck = &repeat_;
  RunRecorded(1);
  EXPECT_EQ(script_.ran, std::vector<std::string>{"RunMP"});
  EXPECT_EQ(script_.phaseOnEntry, 2);
  EXPECT_EQ(script_.runStateOnEntry, 2);
  EXPECT_EQ(g_PortState[1], 4);
  EXPECT_EQ(win::GetPrivateProfileString("Total Results", "Good", "", "D:\\Log\\Total_Init.log"), "1");
  EXPECT_EQ(good_.Text(), "1");
  EXPECT_FALSE(Exists(kWorkOrder));
  EXPECT_FALSE(Powered());
}

// The station's clock with a step after every sleep, so that a card is pulled
// or pushed in while a job waits for it, on virtual time.
class HookedClock final : public platform::IClock {
 public:
  HookedClock(platform::IClock& base, std::function<void(std::uint64_t)> afterSleep)
      : base_(base), afterSleep_(std::move(afterSleep)) {}
  std::uint64_t NowMs() override { return base_.NowMs(); }
  void SleepMs(std::uint64_t ms) override {
    base_.SleepMs(ms);
    afterSleep_(base_.NowMs());
  }
  std::int64_t WallMs() override { return base_.WallMs(); }

 private:
  platform::IClock& base_;
  std::function<void(std::uint64_t)> afterSleep_;
};

// A failed run in repeat mode is logged as bad; with StopIfFail the loop ends
// at once and the card stays powered for the engineer.
TEST_F(PortJobRun, RepeatModeLogsAFailedRun) {
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "StopIfFail" : "no stop");
    SetIni(".\\param.ini", "RD Debug", "StopIfFail", stop ? "1" : "0");
    for (const char* f : {"D:\\Log\\Total_Init.log", "D:\\Log\\SATA_RecordSN.ini"}) std::filesystem::remove(Native(f));
    g_StopAfterFail = 0;
    repeat_ = true;
    script_ = {};
    script_.outcome = Outcome::Fail;
    script_.uncheck = stop ? nullptr : &repeat_;
    script_.drive = &station_->FrontEnd();
    PowerOn();
    // A loop that went on after the stop would wait for the card to go: the box is unchecked a minute later.
    const std::uint64_t start = station_->Now();
    platform::ScopedClock hooked(std::make_shared<HookedClock>(platform::Clock(), [&](std::uint64_t now) {
      if (now - start >= 60000) repeat_ = false;
    }));
    RunRecorded(1);
    EXPECT_EQ(script_.ran, std::vector<std::string>{"RunMP"});
    EXPECT_EQ(g_PortState[1], 5);
    EXPECT_EQ(win::GetPrivateProfileString("Total Results", "Bad", "", "D:\\Log\\Total_Init.log"), "1");
    EXPECT_TRUE(kxtest::Has(ReadAll("D:\\Log\\Error_Init.log"), "--M_x04"));
    EXPECT_TRUE(kxtest::Has(ReadAll("D:\\Log\\SATA_RecordSN.ini"), "[Port-1 Error]"));  // the job's fail block
    EXPECT_EQ(g_StopAfterFail, stop ? 1 : 0);
    EXPECT_EQ(repeat_, stop);  // the stop ended the loop, the box still checked
    EXPECT_EQ(Powered(), stop);
    EXPECT_EQ(script_.holdsOnEntry, 1);
    EXPECT_EQ(station_->FrontEnd().Holds(), 0);
  }
}

// A run in repeat mode that a log refuses (from the moment the file holds
// `after`): a pass fails W_F01 as a lost record does, a failure keeps its code;
// the refused file is named and the labels show what the Total log holds.
TEST_F(PortJobRun, RepeatModeRunThatALogRefuses) {
  const struct {
    const char *refused, *after;
    Outcome outcome;
    const char *code, *cell, *message, *labels;
  } rows[] = {
      {"Total_Init.log", "", Outcome::Pass, "W_F01", "0xFFF*Total_Init.log OS error 112",
       "Record not written: D:\\Log\\Total_Init.log, OS LastError 112", "5/4/1"},
      {"_Summary.log", "", Outcome::Pass, "W_F01", "0xFFF*_Summary.log OS error 112",
       "Record not written: D:\\Log\\_Summary.log, OS LastError 112", "6/5/1"},
      // The fail block's entry is written; the summary's entry after it is refused.
      {"Error_Init.log", "Write fail", Outcome::Fail, "M_x04", "0x103", "Write fail", "6/4/2"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.refused);
    for (const char* f : {"D:\\Log\\Error_Init.log", "D:\\Log\\_Summary.log"}) std::filesystem::remove(Native(f));
    for (const auto& [key, value] : {std::pair{"Total", "5"}, {"Good", "4"}, {"Bad", "1"}})
      SetIni("D:\\Log\\Total_Init.log", "Total Results", key, value);
    repeat_ = true;
    script_ = {};
    script_.outcome = r.outcome;
    script_.uncheck = &repeat_;
    resultCode_ = "H_F8";
    PowerOn();
    platform::DebugCapture debug;
    platform::SetWriteFault([&r](const std::string& path) -> win::DWORD {
      std::ifstream in(path, std::ios::binary);
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      return kxtest::EndsWith(path, r.refused) && kxtest::Has(text, r.after) ? win::ERROR_DISK_FULL : 0;
    });
    RunRecorded(1);
    platform::SetWriteFault({});
    EXPECT_EQ(resultCode_, r.code);
    EXPECT_EQ(g_PortState[1], 5);
    EXPECT_EQ(cell_.GetWindowText(), r.cell);
    EXPECT_EQ(cell_.GetErrorMessage(), r.message);
    EXPECT_EQ(total_.Text() + "/" + good_.Text() + "/" + bad_.Text(), r.labels);
    EXPECT_TRUE(kxtest::Has(debug.All(), std::string("D:\\Log\\") + r.refused + " not written, OS LastError 112"))
        << debug.All();
  }
}

// Without a card the repeat loop shows the port idle and polls until the box is unchecked.
TEST_F(PortJobRun, RepeatModeWaitsForACard) {
  station_->Site().SetTesterFaults(1, {.cardAbsent = true});
  g_PortResult[0] = 1;
  repeat_ = true;
  const std::uint64_t start = station_->Now();
  platform::ScopedClock hooked(std::make_shared<HookedClock>(platform::Clock(), [&](std::uint64_t now) {
    if (now - start >= 10000) repeat_ = false;
  }));
  RunRecorded(1);
  EXPECT_TRUE(script_.ran.empty());
  EXPECT_EQ(g_PortResult[0], 4);
  EXPECT_EQ(g_PortState[1], 1);
  EXPECT_GT(station_->Sent({0x08, 0xF2, 0x50, 0x00, 0x01}).size(), 10u);  // polled all along
}

// Modes 7 and 9 wait for the tested card to go; 7 then waits for the next one.
// Each row: the port's result, when (seconds into the job, 0 never) the card is
// pulled, a new one pushed in and the card watch ended; the cell when the new
// card came (or at the end) and the cell the job leaves.
TEST_F(PortJobRun, CardWatchJobsFollowRemovalAndTheNextCard) {
  constexpr std::uint32_t kBlack = Rgb(0, 0, 0), kWhite = Rgb(255, 255, 255), kBlue = Rgb(0, 100, 255),
                          kPink = Rgb(255, 100, 100), kGreen = Rgb(0, 128, 0), kGrey = Rgb(128, 128, 128);
  struct Row {
    const char* name;
    int mode, result, pulledAt, pushedAt, watchEndsAt;
    std::uint32_t midText, midBack, endText, endBack;
    const char* endCell;
  } rows[] = {
      {"7, failed port", 7, 0, 5, 10, 0, kBlack, kPink, kWhite, kBlue, " 1 "},
      {"7, passed port", 7, 1, 5, 10, 0, kBlack, kGreen, kWhite, kBlue, " 1 "},
      {"7, idle port", 7, 4, 5, 10, 20, 1, 2, 1, 2, "old"},
      {"7, watch ends with the card in", 7, 1, 0, 0, 5, 1, 2, 1, 2, "old"},
      {"9, passed port", 9, 1, 5, 0, 0, 1, 2, kBlack, kGrey, "old"},
      {"9, failed port", 9, 0, 5, 0, 0, 1, 2, kBlack, kGrey, "old"},
      {"9, idle port", 9, 4, 5, 0, 0, 1, 2, 1, 2, "old"},
      {"9, watch ends with the card in", 9, 1, 0, 0, 5, 1, 2, 1, 2, "old"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto fresh = std::make_shared<emu::Drive>(emu::DriveConfig{});
    station_->Site().SetDrive(1, std::make_shared<emu::Drive>(emu::DriveConfig{}));
    PowerOn();
    cell_.SetColor(1, 2);
    cell_.SetWindowText("old");
    progress_.SetPos(50);
    g_PortResult[0] = r.result;
    g_CardWatch = 1;
    kx::StatusCellState mid = cell_.Snapshot();
    const std::uint64_t start = station_->Now();
    bool pulled = false, pushed = false;
    platform::ScopedClock hooked(std::make_shared<HookedClock>(platform::Clock(), [&](std::uint64_t now) {
      const std::uint64_t s = (now - start) / 1000;
      if (r.pulledAt && !pulled && s >= static_cast<std::uint64_t>(r.pulledAt)) {
        pulled = true;
        station_->Site().SetDrive(1, nullptr);
      }
      if (r.pushedAt && !pushed && s >= static_cast<std::uint64_t>(r.pushedAt)) {
        pushed = true;
        mid = cell_.Snapshot();
        fresh->PowerOn();
        station_->Site().SetDrive(1, fresh);
      }
      if (r.watchEndsAt && s >= static_cast<std::uint64_t>(r.watchEndsAt) && g_CardWatch == 1) {
        if (!pushed) mid = cell_.Snapshot();
        g_CardWatch = 0;
      }
    }));
    station_->ClearSent();
    New<CPortJob>(r.mode)->Run(0);
    EXPECT_EQ(mid.textColor, r.midText);
    EXPECT_EQ(mid.backColor, r.midBack);
    EXPECT_EQ(cell_.Snapshot().textColor, r.endText);
    EXPECT_EQ(cell_.Snapshot().backColor, r.endBack);
    EXPECT_EQ(cell_.Snapshot().text, r.endCell);
    EXPECT_EQ(progress_.GetPos(), r.endBack == kBlue ? 0 : 50);
    EXPECT_EQ(station_->Sent({0x08, 0xF2, 0x84, 0x00}).size(), 1u);  // the card switched off
  }
}

TEST_F(PortJobRun, CardCheckJobMarksANewCardAndARemovedOne) {
  struct Row {
    bool absent;
    int resultBefore, resultAfter;
    std::uint32_t text, back;
    const char* cell;
  } rows[] = {{false, 4, 2, Rgb(255, 255, 255), Rgb(0, 100, 255), "1"},
              {true, 2, 4, Rgb(255, 0, 0), Rgb(0, 0, 0), "old"},
              {false, 1, 1, 1, 2, "old"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.resultBefore);
    station_->Site().SetTesterFaults(1, {});
    PowerOn();  // each job switches the card off
    station_->Site().SetTesterFaults(1, {.cardAbsent = r.absent});
    cell_.SetColor(1, 2);
    cell_.SetWindowText("old");
    progress_.SetPos(50);
    g_PortResult[0] = r.resultBefore;
    New<CPortJob>(6)->Run(0);
    EXPECT_EQ(g_PortResult[0], r.resultAfter);
    EXPECT_EQ(cell_.Snapshot().textColor, r.text);
    EXPECT_EQ(cell_.Snapshot().backColor, r.back);
    EXPECT_EQ(cell_.Snapshot().text, r.cell);
    EXPECT_EQ(progress_.GetPos(), r.resultBefore == 4 ? 0 : 50);
  }
}

class ScriptedScan final : public CSnScanDlg {
 public:
  ScriptedScan(int answer, int* port) : answer_(answer), port_(port) {}
  void SetPortNumber(int port) override { *port_ = port; }
  int DoModal() override { return answer_; }
  std::string GetSerialNumber() const override { return "SN0001"; }
  std::string GetWwn() const override { return "WWN01"; }

 private:
  int answer_;
  int* port_;
};

TEST_F(PortJobRun, SerialScanStoresTheScanOrEndsTheCancelledPort) {
  struct Row {
    const char* name;
    bool dialog;
    int dialogAnswer, boxAnswer, phase, runState, question;
    const char* serial;
    bool powered;
  } rows[] = {{"ok, confirmed", true, 1, win::IDOK, 9, 2, 1, "SN0001", false},
              {"ok, declined", true, 1, win::IDCANCEL, 9, 2, 2, "SN0001", true},
              {"cancel", true, 2, win::IDOK, 10, 3, 0, "", false},
              {"no dialog", false, 1, win::IDOK, 10, 3, 0, "", false}};
  g_SnScanState.wwnScanEnabled = true;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    PowerOn();
    g_SnScanState.question = 0;
    g_SnScanState.SetSerialNumber(1, "OLD");
    runStates_[0] = 1;
    int port = 0;
    g_SnScanState.SetDialogFactory([&r, &port]() -> std::unique_ptr<CSnScanDlg> {
      return r.dialog ? std::make_unique<ScriptedScan>(r.dialogAnswer, &port) : nullptr;
    });
    box_->QueueAnswer(r.boxAnswer);
    New<CPortJob>(8)->Run(0);
    EXPECT_EQ(g_PortState[1], r.phase);
    EXPECT_EQ(runStates_[0], r.runState);
    EXPECT_EQ(g_SnScanState.question, r.question);
    EXPECT_EQ(g_SnScanState.SerialNumber(1), r.serial);
    EXPECT_EQ(Powered(), r.powered);
    EXPECT_EQ(port, r.dialog ? 1 : 0);
  }
  EXPECT_EQ(g_SnScanState.Wwn(1), "WWN01");
  ASSERT_EQ(box_->History().size(), 2u);  // only the confirmed and the declined row asked
  EXPECT_EQ(box_->History()[0].text, "All Serial Number have scan?");
  EXPECT_EQ(box_->History()[0].caption, "Confirm");
  EXPECT_EQ(box_->History()[0].type, win::MB_OKCANCEL | win::MB_ICONQUESTION | win::MB_TOPMOST);
}

// ---- a pass of 24 ports on the pool ----

class PortJobPool : public kxtest::DeviceTestEnv {
 protected:
  EngineGlobalsGuard globals_;
};

TEST_F(PortJobPool, TwentyFourJobsOnTheEmulatorReachTheirFinalStates) {
  kxtest::EmulatedSite site(kx::kPortCount);
  site.Site().SetTesterFaults(7, {.cardAbsent = true});
  MakeDirs(".\\Configuration\\System");
  SetIni(kToolIni, "General Info", "TestStation", "MP");
  kx::SetWorkOrderPath(kWorkOrder);
  kx::PageLocks locks;
  std::array<kx::StatusCellModel, kx::kPortCount> cells;
  std::array<std::string, kx::kPortCount> codes;
  std::array<std::atomic<int>, kx::kPortCount> runStates{};
  std::array<Script, kx::kPortCount> scripts;
  std::latch deleted(kx::kPortCount);
  CThreadPool pool;
  ASSERT_TRUE(pool.Create(kx::kPortCount, nullptr));
  for (int slot = 1; slot <= kx::kPortCount; ++slot) {
    Script& s = scripts[slot - 1];
    s.outcome = Outcome::DetectCard;
    s.deleted = &deleted;
    ASSERT_TRUE(pool.Post(new RecordingJob(s, 1, &locks, &cells[slot - 1], nullptr, site.DriveNo(slot), slot, nullptr,
                                           nullptr, "D:\\Log", &codes[slot - 1], nullptr, &runStates)));
  }
  deleted.wait();
  pool.Destroy();
  for (int slot = 1; slot <= kx::kPortCount; ++slot) {
    SCOPED_TRACE(slot);
    EXPECT_EQ(g_PortResult[slot - 1], slot == 7 ? 0 : 1);
    EXPECT_EQ(g_PortState[slot], slot == 7 ? 5 : 4);
  }
  const std::string csv = ReadAll(kSummaryCsv);
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 25);  // the header and one row per port
}

}  // namespace
