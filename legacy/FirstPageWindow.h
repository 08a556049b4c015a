// The legacy production page on the screen. Its logic is CFirstPropertyPage;
// this window is that logic's view: the template's controls built in code, the
// 48 slot sets placed where the logic's layout says, a key filter (Escape
// swallowed, F8 and F4 released start the QC and Initial runs), the run clock
// on timer 2, and the wait for a run's jobs as a nested event loop that the
// join thread ends. Cells, bars and counts show the models the jobs write,
// read on the window thread by a display timer.
//
// Made by dynamic creation (CreateObject, or wxCreateDynamicObject by class
// name) and then Create; no window of the program adds it to a sheet.
#pragma once
#include <array>
#include <functional>
#include <memory>

// Domain headers before the window system's, whose C headers define TRUE and FALSE.
#include "legacy/FirstPropertyPage.h"

#include <wx/event.h>
#include <wx/evtloop.h>
#include <wx/panel.h>
#include <wx/timer.h>

class CColorEdit;
class wxGauge;
class wxTextCtrl;
class wxListBox;
class wxComboBox;

// The page's services on the window system: the open-file dialog, the run
// wait as a nested event loop, the quit request passed to the main loop.
class CFirstPageServicesWx : public legacy::DefaultFirstPageServices {
 public:
  explicit CFirstPageServicesWx(wxWindow* owner) : m_Owner(owner) {}
  bool ChooseFile(std::string& path) override;
  // Runs a nested event loop until WakePump finds `done` holding; Quit when
  // something else (the program's end) left the loop first.
  legacy::WaitEnd PumpUntil(const std::function<bool()>& done) override;
  // Any thread: the window thread ends the loop when `done` holds.
  void WakePump() override;
  // A nested event loop that a timer ends.
  legacy::WaitEnd PauseDispatching(unsigned ms) override;
  void PostQuit() override;

 private:
  wxWindow* m_Owner;  // the file dialog's parent
  // Takes the wake-ups: it lives as long as the services, which a run holds
  // beyond the window's end.
  wxEvtHandler m_Waker;
  wxGUIEventLoop* m_Loop = nullptr;  // the running nested loop, window thread only
  const std::function<bool()>* m_Done = nullptr;
};

class CFirstPageWindow : public wxPanel, public legacy::IFirstPageView {
  wxDECLARE_DYNAMIC_CLASS(CFirstPageWindow);

 public:
  CFirstPageWindow();
  ~CFirstPageWindow() override;
  static CFirstPageWindow* CreateObject() { return new CFirstPageWindow(); }

  // Builds the controls and runs the first display. Without services the
  // window's own (CFirstPageServicesWx) serve.
  bool Create(wxWindow* parent, std::unique_ptr<legacy::IFirstPageServices> services = nullptr);
  // What a sheet calls each time the page becomes the active one.
  void OnSetActive();
  // The slot's report in the result dialog, modally.
  void ShowSlotReport(int slot);

  legacy::CFirstPropertyPage& Logic() { return *m_Core->logic; }
  CColorEdit* SlotCell(int slot) const { return m_Cells.at(static_cast<std::size_t>(slot - 1)); }
  wxGauge* SlotBar(int slot) const { return m_Bars.at(static_cast<std::size_t>(slot - 1)); }
  // Takes the models the jobs write into the cells, bars and count boxes.
  void ShowModels();

  // ---- the view of the page logic ----
  void EnableControl(int id, bool enable) override;
  void ShowControl(int id, bool show) override;
  void SetCaption(int id, const std::string& text) override;
  void SetButtonIcon(int id, int icon, int align) override;
  void SetSkin(int id, int bitmap) override;
  bool IsChecked(int id) const override;
  void SetComboEntries(const std::vector<std::string>& names) override;
  std::string ComboSelection() const override;
  void SetTimer(int id, unsigned periodMs) override;
  void KillTimer(int id) override;
  void PlaceSlots(const legacy::SlotLayout& layout) override;
  void Refresh() override;

 private:
  class KeyFilter;
  // The page logic and its services. A call into the logic holds them, so
  // that a window closed during the call (a run's wait, a message box) leaves
  // them to the call, which then ends and frees them.
  struct Core {
    std::unique_ptr<legacy::IFirstPageServices> services;
    std::unique_ptr<legacy::CFirstPropertyPage> logic;
  };
  void Call(void (legacy::CFirstPropertyPage::*handler)());
  void BuildControls();
  void BuildSlotSets();
  void BindCommands();
  wxTimer* TimerOf(int id);

  std::shared_ptr<Core> m_Core;
  std::unique_ptr<KeyFilter> m_KeyFilter;
  std::array<CColorEdit*, legacy::kSlotSets> m_Cells{};
  std::array<wxGauge*, legacy::kSlotSets> m_Bars{};
  std::array<wxTextCtrl*, legacy::kSlotSets> m_Markers{};
  std::array<wxTextCtrl*, 3> m_Counts{};
  wxListBox* m_InfoList = nullptr;
  wxComboBox* m_ParamCombo = nullptr;
  wxTextCtrl* m_SerialRange = nullptr;
  kx::StatusCellModel m_ExtraCellModel;  // the hidden extra cell shows nothing of a job
  wxTimer m_Timer1{this, 1};
  wxTimer m_RunClock{this, legacy::kTimerRunClock};
  static constexpr int kDisplayTimer = 9;  // the models into the controls
  wxTimer m_Display{this, kDisplayTimer};
};
