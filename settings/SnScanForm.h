// The serial-number scan dialog's rules, without a window: the port, the two
// texts as typed or scanned, when OK may close it and where a scanner's Enter
// goes.
#pragma once
#include <functional>
#include <string>

#include "engine/SnScan.h"
#include "settings/WindowHandOff.h"

namespace kx {

class SnScanForm {
 public:
  static constexpr int kOk = 1;
  static constexpr int kCancel = 2;

  enum class Box { Serial, Wwn };
  // What Enter in a box does: nothing yet, focus the other box, or OK.
  enum class EnterGoes { Stay, SerialBox, WwnBox, Confirm };

  void SetPortNumber(int port) { port_ = port; }
  int PortNumber() const { return port_; }
  void SetWwnScanning(bool on) { wwnScanning_ = on; }
  bool WwnScanning() const { return wwnScanning_; }
  std::string Title() const;
  std::string PortText() const;

  void SetText(Box box, const std::string& text);
  // Trimmed of blanks and the scanner's line ends; the WWN is empty while WWN
  // scanning is off.
  std::string SerialNumber() const;
  std::string Wwn() const;

  bool CanConfirm() const;
  EnterGoes Enter(Box box) const;
  // kOk when the texts allow it (else 0: the dialog stays); kCancel always.
  int Confirm();
  int Cancel();
  int Result() const { return result_; }

 private:
  int port_ = 0;
  bool wwnScanning_ = false;
  std::string serial_;
  std::string wwn_;
  int result_ = 0;
};

// The scan dialog as the scan job calls it from its worker thread: DoModal
// shows the window on the window thread and waits; 2 when the program closes
// meanwhile.
class HandedOffSnScanDlg final : public CSnScanDlg {
 public:
  // Shows the form on the window thread until the operator ends it; returns
  // the form's result.
  using ShowOnWindow = std::function<int(SnScanForm&)>;

  HandedOffSnScanDlg(WindowHandOff& window, ShowOnWindow show) : window_(window), show_(std::move(show)) {}
  void SetPortNumber(int port) override { port_ = port; }
  int DoModal() override;
  std::string GetSerialNumber() const override { return serial_; }
  std::string GetWwn() const override { return wwn_; }

 private:
  WindowHandOff& window_;
  ShowOnWindow show_;
  int port_ = 0;
  std::string serial_;
  std::string wwn_;
};

}  // namespace kx
