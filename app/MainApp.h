// The application: start-up (send mode, device back end, device-listing
// library), the property sheet with the pages of the page mask, and shut-down.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// Domain headers before the window system's, whose C headers define TRUE and FALSE.
#include "app/ProductionPage.h"
#include "platform/MessageBox.h"
#include "platform/StationPc.h"

#include <wx/app.h>
#include <wx/frame.h>
#include <wx/weakref.h>

class CModalBoxes;
class CPropertyPage_KXMP;

// The main window: a sheet of pages. Only the production page is built here.
class CPropertySheetWithLogoDlg : public wxFrame {
 public:
  // `stop`: what a close that cannot be carried out at once (a box is open or
  // a run is going) asks at once: the program's end.
  CPropertySheetWithLogoDlg(const std::string& title, unsigned pageMask, CProductionPage& logic,
                            std::function<void()> stop = {});
  CPropertyPage_KXMP* ProductionPage() { return m_Production; }

 private:
  void OnClose(wxCloseEvent& event);
  // Opens at the size the slot grid needs when the screen has room, else maximised.
  void FitToScreen();
  CPropertyPage_KXMP* m_Production = nullptr;
  std::function<void()> m_Stop;
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
  // How the program was asked to end.
  enum class EndBy {
    Signal,  // a termination signal, or a run nobody can answer: the open boxes are taken down
    Close,   // the main window's close, while it waits (for its boxes or a run): they are answered
  };
  // What a termination signal does, from any thread, also during start-up,
  // and a close of the main window that waits, on the window thread: no pass,
  // Scan or box starts any more, a station's debug repeat and the waits for
  // locks end (platform/Termination.h), and the window closes as its close box
  // does (when the boxes have returned, and a run going has ended).
  void RequestEnd(EndBy by = EndBy::Signal);
  bool EndRequested() const { return m_EndRequested.load(); }

 private:
  void OnTerminationSignal();

  // Held for the life of the program; its destructor empties the error-code catalogue.
  std::unique_ptr<CProductionPage> m_Page;
  std::mutex m_EndLock;  // the two flags and m_Page's creation, against an end request from another thread
  bool m_Opened = false;
  std::atomic<bool> m_EndRequested{false};  // set under m_EndLock; read by the boxes from any thread
  wxWeakRef<CPropertySheetWithLogoDlg> m_Sheet;
  std::unique_ptr<CModalBoxes> m_Boxes;
  std::shared_ptr<platform::IMessageBox> m_BoxOverride;
  // On the PC's disks: this process is the one kxmp there until Shut.
  platform::StationPcLock m_PcLock;
};

wxDECLARE_APP(CMainApp);
