// The production page window: Start and Scan, the run clock and counts, and
// the slot grid of colour status cells and progress bars. It shows the models
// of its CProductionPage from its timers; the workers never touch it.
#pragma once
#include <array>
#include <vector>

// Domain headers before the window system's, whose C headers define TRUE and FALSE.
#include "app/LanguageText.h"
#include "app/ProductionPage.h"

#include <wx/gauge.h>
#include <wx/panel.h>
#include <wx/stattext.h>
#include <wx/timer.h>

#include "controls/ColorEdit.h"
#include "controls/ImageButton.h"

class CPropertyPage_KXMP : public wxPanel {
 public:
  CPropertyPage_KXMP(wxWindow* parent, CProductionPage& logic);
  ~CPropertyPage_KXMP() override;

  // First display: the page logic's set-up, the slot grid, the blink timer and
  // the disk notifications.
  void OnInitDialog();
  void OnStart();
  void OnScan();
  // False, after telling the operator, while a run is going.
  bool CanClose();
  // True when no run is going and the window shows the last one's end.
  bool RunShown() const { return !m_RunTimer.IsRunning() && !m_Logic.Running(); }

  CColorEdit* Cell(int port) { return m_Cells.at(static_cast<std::size_t>(port - 1)); }
  CProductionPage& Logic() { return m_Logic; }

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
  wxStaticText* m_Time = nullptr;
  wxStaticText* m_Station = nullptr;
  std::array<wxStaticText*, 3> m_Counts{};
  wxStaticText* m_Yield = nullptr;
  wxPanel* m_Grid = nullptr;
  std::vector<CColorEdit*> m_Cells;
  std::vector<wxGauge*> m_Gauges;
  wxTimer m_BlinkTimer;  // 500 ms: blinking station label and the slot display
  wxTimer m_RunTimer;    // 1 s: run clock and end of run
  bool m_BlinkOn = false;
  int m_NotifyId = 0;
};
