// The production page window: Start and Scan, the run clock and counts, and
// the slot grid of colour status cells and progress bars. It shows the models
// of its CProductionPage from its timers; the workers never touch it.
#pragma once
#include <array>
#include <functional>
#include <utility>
#include <vector>

// Domain headers before the window system's, whose C headers define TRUE and FALSE.
#include "app/LanguageText.h"
#include "app/ProductionPage.h"

#include <wx/dialog.h>
#include <wx/panel.h>
#include <wx/stattext.h>
#include <wx/timer.h>
#include <wx/weakref.h>

#include "controls/ColorEdit.h"
#include "controls/GaugeBar.h"
#include "controls/ImageButton.h"
#include "controls/TextLabel.h"

// A notice that does not hold the window: shown without a loop of its own,
// hidden by its OK button, and gone with the window it belongs to.
class CNoticeWindow : public wxDialog {
 public:
  CNoticeWindow(wxWindow* parent, const wxString& text);
  const wxString& Text() const { return m_Text; }

 private:
  wxString m_Text;
};

class CPropertyPage_KXMP : public wxPanel {
 public:
  CPropertyPage_KXMP(wxWindow* parent, CProductionPage& logic);
  ~CPropertyPage_KXMP() override;

  // First display: the disk notifications, the page logic's set-up, the slot
  // grid and the blink timer. A disk change while a start-up box is up is
  // mapped and drawn under it.
  void OnInitDialog();
  void OnStart();
  void OnScan();
  // False while a run is going: the operator is told by a notice that does not
  // hold the window, no further pass starts, and the window closes when the
  // run has ended whether or not the notice was answered. False too for a run
  // that has ended but whose end the run timer has not shown yet: the window
  // closes at its next tick. A warning of the run's end (totals refused, no
  // drive found) is then told as a box that is not shown, the program ending.
  bool CanClose();
  CNoticeWindow* CloseNotice() { return m_CloseNotice.get(); }
  bool CloseWhenRunEnds() const { return m_CloseWhenRunEnds; }
  // True when no run is going and the window shows the last one's end.
  bool RunShown() const { return !m_RunTimer.IsRunning() && !m_Logic.Running(); }

  CColorEdit* Cell(int port) { return m_Cells.at(static_cast<std::size_t>(port - 1)); }
  CGaugeBar* Gauge(int port) { return m_Gauges.at(static_cast<std::size_t>(port - 1)); }
  CProductionPage& Logic() { return m_Logic; }
  // What the labels show: 0 total, 1 good, 2 bad; the yield; the run clock.
  wxString CountShown(int i) const { return m_Counts.at(static_cast<std::size_t>(i))->Text(); }
  wxString YieldShown() const { return m_Yield->Text(); }
  wxString ClockShown() const { return m_Time->Text(); }
  // Test seam: runs after each refresh of the run timer, so that a test can end
  // the run between the refresh and the timer's decision.
  void SetAfterRefresh(std::function<void()> then) { m_AfterRefresh = std::move(then); }

 private:
  void BuildGrid();
  void RefreshSlots();
  void OnBlinkTimer(wxTimerEvent& event);
  void OnRunTimer(wxTimerEvent& event);
  void EnableRunControls(bool enable);

  CProductionPage& m_Logic;
  app::CLanguageText m_Texts;
  CImageButton* m_Start = nullptr;
  CImageButton* m_Scan = nullptr;
  CTextLabel* m_Time = nullptr;
  CTextLabel* m_Station = nullptr;
  std::array<CTextLabel*, 3> m_Counts{};
  CTextLabel* m_Yield = nullptr;
  wxPanel* m_Grid = nullptr;
  std::vector<CColorEdit*> m_Cells;
  std::vector<CGaugeBar*> m_Gauges;
  wxTimer m_BlinkTimer;  // 500 ms: blinking station label
  wxTimer m_RunTimer;    // 1 s: run clock and end of run
  bool m_BlinkOn = false;
  int m_NotifyId = 0;
  bool m_CloseWhenRunEnds = false;
  wxWeakRef<CNoticeWindow> m_CloseNotice;
  std::function<void()> m_AfterRefresh;
};
