#include "settings/SnScanForm.h"

#include <cstdio>
#include <memory>

namespace kx {
namespace {

std::string Trimmed(const std::string& text) {
  constexpr char kBlanks[] = " \t\r\n";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

std::string SnScanForm::Title() const { return "Serial Number Scan"; }

std::string SnScanForm::PortText() const {
  char text[32];
  std::snprintf(text, sizeof text, "Port %d", port_);
  return text;
}

void SnScanForm::SetText(Box box, const std::string& text) { (box == Box::Serial ? serial_ : wwn_) = text; }

std::string SnScanForm::SerialNumber() const { return Trimmed(serial_); }

std::string SnScanForm::Wwn() const { return wwnScanning_ ? Trimmed(wwn_) : std::string(); }

bool SnScanForm::CanConfirm() const { return !SerialNumber().empty() && (!wwnScanning_ || !Wwn().empty()); }

SnScanForm::EnterGoes SnScanForm::Enter(Box box) const {
  if (CanConfirm()) return EnterGoes::Confirm;
  if (box == Box::Serial) return SerialNumber().empty() || !wwnScanning_ ? EnterGoes::Stay : EnterGoes::WwnBox;
  return SerialNumber().empty() ? EnterGoes::SerialBox : EnterGoes::Stay;
}

int SnScanForm::Confirm() {
  if (!CanConfirm()) return 0;
  return result_ = kOk;
}

int SnScanForm::Cancel() { return result_ = kCancel; }

int HandedOffSnScanDlg::DoModal() {
  auto form = std::make_shared<SnScanForm>();
  form->SetPortNumber(port_);
  form->SetWwnScanning(g_SnScanState.wwnScanEnabled);
  // The window thread fills the form; its answer, given under the hand-off's
  // lock, hands the form back. On Cancel or close the form is not read.
  const int answer = window_.Call([form, show = show_] { return show(*form); }, SnScanForm::kCancel);
  if (answer != SnScanForm::kOk || form->Result() != SnScanForm::kOk) return SnScanForm::kCancel;
  serial_ = form->SerialNumber();
  wwn_ = form->Wwn();
  return SnScanForm::kOk;
}

}  // namespace kx
