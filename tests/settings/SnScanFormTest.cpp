// The scan dialog's rules: trimmed texts, when OK may close it, where a
// scanner's Enter goes.
#include <gtest/gtest.h>

#include "settings/SnScanForm.h"

namespace {

using kx::SnScanForm;
using Box = SnScanForm::Box;
using Goes = SnScanForm::EnterGoes;

TEST(SnScanForm, TextsOkRulesAndEnterOrder) {
  const struct Row {
    const char* name;
    bool wwnOn;
    const char *serialIn, *wwnIn, *serial, *wwn;
    bool ok;
    Goes enterSerial, enterWwn;
  } rows[] = {
      {"nothing yet", false, "", "", "", "", false, Goes::Stay, Goes::SerialBox},
      {"blanks only", false, " \t\r\n", "", "", "", false, Goes::Stay, Goes::SerialBox},
      {"serial, trimmed", false, "  SN01 \r\n", "", "SN01", "", true, Goes::Confirm, Goes::Confirm},
      {"inner blanks kept", false, " SN 01 ", "", "SN 01", "", true, Goes::Confirm, Goes::Confirm},
      {"wwn off: its text ignored", false, "", "5000C500", "", "", false, Goes::Stay, Goes::SerialBox},
      {"wwn on, serial only", true, "SN01", "", "SN01", "", false, Goes::WwnBox, Goes::Stay},
      {"wwn on, blank wwn", true, "SN01", "  \r\n", "SN01", "", false, Goes::WwnBox, Goes::Stay},
      {"wwn on, wwn only", true, "", "5000C500", "", "5000C500", false, Goes::Stay, Goes::SerialBox},
      {"wwn on, both", true, " SN01", "5000C500 \r", "SN01", "5000C500", true, Goes::Confirm, Goes::Confirm},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SnScanForm form;
    form.SetWwnScanning(r.wwnOn);
    form.SetText(Box::Serial, r.serialIn);
    form.SetText(Box::Wwn, r.wwnIn);
    EXPECT_EQ(form.SerialNumber(), r.serial);
    EXPECT_EQ(form.Wwn(), r.wwn);
    EXPECT_EQ(form.CanConfirm(), r.ok);
    EXPECT_EQ(form.Enter(Box::Serial), r.enterSerial);
    EXPECT_EQ(form.Enter(Box::Wwn), r.enterWwn);
    EXPECT_EQ(form.Confirm(), r.ok ? SnScanForm::kOk : 0);
    EXPECT_EQ(form.Cancel(), SnScanForm::kCancel);
  }
}

}  // namespace
