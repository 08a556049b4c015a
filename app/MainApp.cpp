// Domain headers before the window system's, whose C headers define TRUE and FALSE.
#include "app/AppShell.h"
#include "app/DeviceBackends.h"
#include "app/LanguageText.h"
#include "app/PortMapping.h"
#include "app/WxMessageBox.h"
#include "command/GetDevLibrary.h"
#include "device/AppHolders.h"
#include "platform/Termination.h"
#include "settings/SnScanDlg.h"

#include "app/MainApp.h"
#include "app/PropertyPageKxmp.h"

#include <wx/display.h>
#include <wx/image.h>
#include <wx/notebook.h>
#include <wx/sizer.h>

#include <utility>

CPropertySheetWithLogoDlg::CPropertySheetWithLogoDlg(const std::string& title, unsigned pageMask,
                                                     CProductionPage& logic, std::function<void()> stop)
    : wxFrame(nullptr, wxID_ANY, wxString::FromUTF8(title)), m_Stop(std::move(stop)) {
  // The theme's background without an erase event, whose drawing context asks
  // the theme for fonts and colours at every repaint of a control.
  SetBackgroundStyle(wxBG_STYLE_SYSTEM);
  auto* sheet = new wxNotebook(this, wxID_ANY);
  for (app::SheetPage page : app::PagesOfMask(pageMask)) {
    if (page != app::SheetPage::KXMP) continue;  // the settings and result pages are not part of this build
    m_Production = new CPropertyPage_KXMP(sheet, logic);
    sheet->AddPage(m_Production, "KXMP");
  }
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  sizer->Add(sheet, 1, wxEXPAND);
  SetSizer(sizer);
  Bind(wxEVT_CLOSE_WINDOW, &CPropertySheetWithLogoDlg::OnClose, this);
  if (m_Production) m_Production->OnInitDialog();
  FitToScreen();
  // The page laid out before the first show, so that no control is ever given less than its size.
  if (m_Production) {
    m_Production->SetSize(sheet->GetClientSize());
    m_Production->Layout();
  }
}

void CPropertySheetWithLogoDlg::FitToScreen() {
  // The slot grid at its cells' smallest readable size, or the whole screen.
  // (The sizer's fitting size is already cut to the screen.)
  const wxSize best = ClientToWindowSize(GetSizer()->GetMinSize());
  const int display = wxDisplay::GetFromWindow(this);
  const wxRect area = wxDisplay(display == wxNOT_FOUND ? 0u : static_cast<unsigned>(display)).GetClientArea();
  if (best.x <= area.width && best.y <= area.height) {
    SetSize(best);
    CentreOnScreen();
  } else {
    SetSize(area);
    Maximize();
  }
  Layout();
}

void CPropertySheetWithLogoDlg::OnClose(wxCloseEvent& event) {
  if (event.CanVeto()) {
    // Never destroyed under a box's loop or a wait for a folder's lock (whose
    // action goes on with this window): the close is carried out when they have returned.
    if (CModalBoxes* boxes = CModalBoxes::Current(); boxes && boxes->AnyOpen()) {
      event.Veto();
      // A stop at once: the answer to a box of Start must not start the pass,
      // and a wait for a lock gives way as after a signal.
      if (m_Stop) m_Stop();
      if (!std::exchange(m_CloseAfterBoxes, true)) {
        boxes->AfterBoxes([self = wxWeakRef<CPropertySheetWithLogoDlg>(this)] {
          if (!self) return;
          self->m_CloseAfterBoxes = false;
          self->Close();
        });
      }
      return;
    }
    if (m_Production && !m_Production->CanClose()) {
      event.Veto();
      if (m_Stop) m_Stop();
      return;
    }
  }
  Destroy();
}

// Watched from the first moment: a signal while the window system starts is
// kept, and Open answers it.
CMainApp::CMainApp() { platform::WatchTerminationSignals([this](int) { RequestEnd(); }); }
CMainApp::~CMainApp() { platform::StopWatchingTerminationSignals(); }

bool CMainApp::OnInit() {
  wxInitAllImageHandlers();
  return Open();
}

int CMainApp::OnExit() {
  Shut();
  return wxApp::OnExit();
}

bool CMainApp::Open() {
  m_Boxes = std::make_unique<CModalBoxes>([this](wxWindow* window) {
    if (window == m_Sheet.get()) RequestEnd(EndBy::Close);
  });
  // Before anything is written or shown: a signal during start-up or its boxes ends the program cleanly.
  platform::WatchTerminationSignals([this](int) { RequestEnd(); });
  bool endRequested = false;
  {
    std::lock_guard guard(m_EndLock);
    m_Opened = true;
    endRequested = m_EndRequested;
  }
  if (endRequested) CallAfter([this] { OnTerminationSignal(); });
  // No box once the end was asked, from start-up on.
  app::ShowBoxTextsInLanguage();
  platform::SetMessageBox(std::make_shared<CEndingMessageBox>(
      m_BoxOverride ? m_BoxOverride : std::make_shared<CWxMessageBox>(), [this] { return EndRequested(); }));
  // No window here handles update-UI events: idle time need not walk every window for them.
  wxUpdateUIEvent::SetMode(wxUPDATE_UI_PROCESS_SPECIFIED);
  app::ReadKxU2A();
  std::string why;
  const app::DeviceBackendChoice backends = app::SelectDeviceBackends(&why, m_PcLock);
  if (backends == app::DeviceBackendChoice::None) {
    win::MessageBox(nullptr, why.c_str(), "Error", win::MB_OK | win::MB_ICONERROR);
    platform::StopWatchingTerminationSignals();  // no shut-down follows a failed start-up
    platform::SetMessageBox(nullptr);
    m_Boxes.reset();
    std::lock_guard guard(m_EndLock);
    m_Opened = m_EndRequested = false;
    return false;
  }
  if (!why.empty()) win::MessageBox(nullptr, why.c_str(), "kxmp", win::MB_OK | win::MB_ICONWARNING);
  CGetDevLibrary::GetInstance();
  kx::InstallScanDialog();
  {
    std::lock_guard guard(m_EndLock);
    // On real disks the listing's order is the machine's, not the station's: learnt ports are warned of.
    m_Page = std::make_unique<CProductionPage>(
        std::make_unique<CPortMapping>(nullptr, backends == app::DeviceBackendChoice::RealDisks));
    if (m_EndRequested) m_Page->RequestStop();
  }
  m_Sheet = new CPropertySheetWithLogoDlg(app::BuildWindowTitle(), app::ReadPageMask(), *m_Page,
                                          [this] { RequestEnd(EndBy::Close); });
  m_Sheet->Show();
  SetTopWindow(m_Sheet);
  return true;
}

void CMainApp::RequestEnd(EndBy by) {
  platform::RequestTermination();
  {
    std::lock_guard guard(m_EndLock);
    m_EndRequested = true;
    if (m_Page) m_Page->RequestStop();  // at once: the window thread may be in Start, between its boxes
    if (!m_Opened) return;              // the window system is still starting: Open answers it
  }
  // A close is carried out by the window itself, once its boxes have been answered.
  if (by == EndBy::Close) {
    if (m_Boxes) m_Boxes->Refuse();
    return;
  }
  CallAfter([this] { OnTerminationSignal(); });
}

void CMainApp::OnTerminationSignal() {
  if (!m_Boxes) return;  // shut meanwhile
  m_Boxes->End();
  // Again at a second signal: a run still going has told its close once and vetoes it.
  m_Boxes->AfterBoxes([this] {
    if (m_Sheet) m_Sheet->Close();
  });
}

void CMainApp::Shut() {
  platform::StopWatchingTerminationSignals();
  kx::RemoveScanDialog();  // a worker waiting on a dialog is answered Cancel before the run is waited for
  DeletePendingObjects();  // a sheet still waiting for deletion uses the page in its destructor
  m_Sheet = nullptr;
  std::unique_ptr<CProductionPage> page;
  {
    std::lock_guard guard(m_EndLock);
    page = std::move(m_Page);
    m_Opened = m_EndRequested = false;
  }
  page.reset();  // outside the lock: it waits for a run, whose workers may ask to end
  m_Boxes.reset();
  delete CGetDevLibrary::GetInstance();
  m_PcLock.Release();
  platform::SetMessageBox(nullptr);
  wxUpdateUIEvent::SetMode(wxUPDATE_UI_PROCESS_ALL);
}

std::string CMainApp::GetFlashIdMask() { return kx::GetFlashIdMask(); }
