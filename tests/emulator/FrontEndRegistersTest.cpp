// The registers a front end loads from its wire form reach the drive as the host
// set them: ATA pass-through task files and SAT ATA PASS-THROUGH (16) and (12),
// all on one SATA port.
#include <functional>
#include <string>

#include "tests/emulator/SiteTestUtil.h"

namespace emu::test {
namespace {

class FrontEndRegisters : public SiteTest {
 protected:
  std::string path_ = Site::SataPath(1);
  void SetUp() override {
    SiteTest::SetUp();
    ASSERT_NE(site_->AddSataPort(1), nullptr);
    site_->Install();
  }
};

// Every register its own value, so a byte loaded from the wrong place shows.
// The command is CHECK POWER MODE, non-data; the SAT (12) form has no previous
// registers.
TEST_F(FrontEndRegisters, EveryRegisterReachesTheDriveAsLoaded) {
  const struct {
    const char* name;
    std::uint8_t AtaRequest::*field;
    std::uint8_t value;
    bool previous;
  } registers[] = {
      {"features", &AtaRequest::features, 0x11, false},
      {"count", &AtaRequest::count, 0x12, false},
      {"LBA low", &AtaRequest::lbaLow, 0x13, false},
      {"LBA mid", &AtaRequest::lbaMid, 0x14, false},
      {"LBA high", &AtaRequest::lbaHigh, 0x15, false},
      {"device", &AtaRequest::device, 0xA6, false},
      {"command", &AtaRequest::command, 0xE5, false},
      {"previous features", &AtaRequest::featuresExp, 0x21, true},
      {"previous count", &AtaRequest::countExp, 0x22, true},
      {"previous LBA low", &AtaRequest::lbaLowExp, 0x23, true},
      {"previous LBA mid", &AtaRequest::lbaMidExp, 0x24, true},
      {"previous LBA high", &AtaRequest::lbaHighExp, 0x25, true},
  };
  const struct {
    const char* name;
    bool is48;
    std::function<void(const std::string&)> send;
  } forms[] = {
      {"task file", true,
       [](const std::string& p) {
         SendAta(p, {0x11, 0x12, 0x13, 0x14, 0x15, 0xA6, 0xE5}, win::ATA_FLAGS_48BIT_COMMAND, nullptr, 0,
                 {0x21, 0x22, 0x23, 0x24, 0x25});
       }},
      {"SAT (16)", true,
       [](const std::string& p) {
         ScsiNone(p, Cdb({0x85, 0x07, 0x00, 0x21, 0x11, 0x22, 0x12, 0x23, 0x13, 0x24, 0x14, 0x25, 0x15, 0xA6, 0xE5}));
       }},
      {"SAT (12)", false,
       [](const std::string& p) {
         ScsiNone(p, Cdb({0xA1, 0x06, 0x00, 0x11, 0x12, 0x13, 0x14, 0x15, 0xA6, 0xE5}));
       }},
  };
  for (const auto& form : forms) {
    drive_->ClearTrace();
    form.send(path_);
    const std::vector<TraceEntry> trace = drive_->Trace();
    ASSERT_EQ(trace.size(), 1u) << form.name;
    const AtaRequest& got = trace.back().request;
    EXPECT_EQ(got.is48, form.is48) << form.name;
    for (const auto& r : registers) {
      SCOPED_TRACE(std::string(form.name) + ", " + r.name);
      EXPECT_EQ(got.*r.field, r.previous && !form.is48 ? 0 : r.value);
    }
  }
}

}  // namespace
}  // namespace emu::test
