// The application: start-up (send mode, device back end, device-listing
// library), the property sheet with the pages of the page mask, and shut-down.
#pragma once
#include <memory>
#include <string>

// Domain headers before the window system's, whose C headers define TRUE and FALSE.
#include "app/ProductionPage.h"

#include <wx/app.h>
#include <wx/frame.h>

class CPropertyPage_KXMP;

// The main window: a sheet of pages. Only the production page is built here.
class CPropertySheetWithLogoDlg : public wxFrame {
 public:
  CPropertySheetWithLogoDlg(const std::string& title, unsigned pageMask, CProductionPage& logic);
  CPropertyPage_KXMP* ProductionPage() { return m_Production; }

 private:
  void OnClose(wxCloseEvent& event);
  // Opens at the size the slot grid needs when the screen has room, else maximised.
  void FitToScreen();
  CPropertyPage_KXMP* m_Production = nullptr;
};

class CMainApp : public wxApp {
 public:
  bool OnInit() override;
  int OnExit() override;
  // What start-up and shut-down do besides the window system's own: a window
  // test opens and shuts the program several times in one window system.
  bool Open();
  void Shut();

  // A whole copy of the production page's flash-ID mask, for any thread.
  static std::string GetFlashIdMask();
  CPropertySheetWithLogoDlg* Sheet() { return m_Sheet; }

 private:
  // Held for the life of the program; its destructor empties the error-code catalogue.
  std::unique_ptr<CProductionPage> m_Page;
  CPropertySheetWithLogoDlg* m_Sheet = nullptr;
};

wxDECLARE_APP(CMainApp);
