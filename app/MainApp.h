// The application: start-up (send mode, device back end, device-listing
// library), the property sheet with the pages of the page mask, and shut-down.
#pragma once
#include <memory>
#include <mutex>
#include <string>

// Domain headers before the window system's, whose C headers define TRUE and FALSE.
#include "app/ProductionPage.h"
#include "platform/MessageBox.h"

#include <wx/app.h>
#include <wx/frame.h>
#include <wx/weakref.h>

class CModalBoxes;
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
  bool m_CloseAfterBoxes = false;
};

class CMainApp : public wxApp {
 public:
  CMainApp();
  ~CMainApp() override;
  bool OnInit() override;
  int OnExit() override;
  // What start-up and shut-down do besides the window system's own: a window
  // test opens and shuts the program several times in one window system.
  bool Open();
  void Shut();
  // The boxes Open installs instead of the window system's (a run with nobody
  // to answer them); nullptr for the window system's.
  void UseMessageBox(std::shared_ptr<platform::IMessageBox> box) { m_BoxOverride = std::move(box); }

  // A whole copy of the production page's flash-ID mask, for any thread.
  static std::string GetFlashIdMask();
  // The main window; nullptr once it has gone.
  CPropertySheetWithLogoDlg* Sheet() { return m_Sheet.get(); }
  // What a termination signal does, from any thread, also during start-up:
  // no pass, Scan or box starts any more, the open boxes are taken down, and
  // the window closes as its close box does (when a run going has ended).
  void RequestEnd();

 private:
  void OnTerminationSignal();

  // Held for the life of the program; its destructor empties the error-code catalogue.
  std::unique_ptr<CProductionPage> m_Page;
  std::mutex m_EndLock;  // the two flags and m_Page's creation, against an end request from another thread
  bool m_Opened = false;
  bool m_EndRequested = false;
  wxWeakRef<CPropertySheetWithLogoDlg> m_Sheet;
  std::unique_ptr<CModalBoxes> m_Boxes;
  std::shared_ptr<platform::IMessageBox> m_BoxOverride;
};

wxDECLARE_APP(CMainApp);
