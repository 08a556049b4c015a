// The serial-number scan dialog's window: modal, with no parent, over
// SnScanForm; and its installation into the scan job's seam.
#pragma once
// Domain headers before the window system's, whose C headers define TRUE and FALSE.
#include "engine/SnScan.h"
#include "settings/SnScanForm.h"
#include "settings/WindowHandOff.h"

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/textctrl.h>

class CSnScanWindow : public wxDialog {
 public:
  explicit CSnScanWindow(const kx::SnScanForm& form);
  const kx::SnScanForm& Form() const { return m_Form; }
  wxTextCtrl* SerialBox() { return m_Serial; }
  wxTextCtrl* WwnBox() { return m_Wwn; }

 private:
  void OnText();
  void OnEnter(kx::SnScanForm::Box box);
  void OnOk();

  kx::SnScanForm m_Form;
  wxTextCtrl* m_Serial = nullptr;
  wxTextCtrl* m_Wwn = nullptr;
  wxButton* m_Ok = nullptr;
};

namespace kx {

// The program's hand-off to its window thread (the application's event queue).
WindowHandOff& WindowCalls();
// Shows the window for the form on this (the window) thread; the form's result.
int ShowScanWindow(SnScanForm& form);
// Start-up: opens the hand-off and gives the scan job this dialog.
void InstallScanDialog();
// Shut-down: answers every waiting worker Cancel and takes the dialog back.
void RemoveScanDialog();

}  // namespace kx
