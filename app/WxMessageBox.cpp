#include "app/WxMessageBox.h"
#include "platform/FolderLock.h"
#include "platform/LoadedSymbol.h"
#include "settings/SnScanDlg.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/evtloop.h>
#include <wx/msgdlg.h>
#include <wx/generic/msgdlgg.h>
#include <wx/thread.h>
#include <wx/toplevel.h>
#include <wx/weakref.h>

namespace {

CModalBoxes* g_Current = nullptr;  // window thread only

#ifdef __WXGTK__
// GTK drops a window manager's close of a window under a modal box (the box
// holds the grab) before the toolkit sees it, so the close would be lost.
// While boxes are open the window system's events pass through WatchEvent
// first, which hands such a close on to be carried out after the boxes. The
// calls are looked up in the loaded GTK: the toolkit does not offer them.
namespace gtk {

constexpr int kDeleteEvent = 0;  // GDK_DELETE
struct EventHead {               // the first fields of every GdkEvent
  int type;
  void* window;
};
using EventFunc = void (*)(void* event, void* data);

struct Calls {
  void (*setEventHandler)(EventFunc, void*, void (*)(void*)) = nullptr;
  void (*handleEvent)(void*) = nullptr;  // GTK's own handler
  EventFunc gtkHandler = nullptr;         // the same, as GTK installs it (the data unused)
  void* (*windowOf)(void* widget) = nullptr;
  bool Usable() const { return setEventHandler && handleEvent && gtkHandler && windowOf; }
};

const Calls& TheCalls() {
  static const Calls calls = [] {
    Calls c;
    c.setEventHandler =
        reinterpret_cast<decltype(c.setEventHandler)>(platform::LoadedSymbol("gdk_event_handler_set"));
    c.handleEvent = reinterpret_cast<decltype(c.handleEvent)>(platform::LoadedSymbol("gtk_main_do_event"));
    c.gtkHandler = reinterpret_cast<EventFunc>(platform::LoadedSymbol("gtk_main_do_event"));
    c.windowOf = reinterpret_cast<decltype(c.windowOf)>(platform::LoadedSymbol("gtk_widget_get_window"));
    return c;
  }();
  return calls;
}

wxWindow* ProgramWindowOf(void* gdkWindow) {
  for (wxWindow* window : wxTopLevelWindows)
    if (window->GetHandle() && TheCalls().windowOf(window->GetHandle()) == gdkWindow) return window;
  return nullptr;
}

void WatchEvent(void* event, void*) {
  const auto* head = static_cast<const EventHead*>(event);
  if (head->type == kDeleteEvent && g_Current && g_Current->AnyOpen())
    if (wxWindow* window = ProgramWindowOf(head->window); window && g_Current->CloseAfterBoxes(window)) return;
  TheCalls().handleEvent(event);
}

void Watch(bool on) {
  if (TheCalls().Usable())
    TheCalls().setEventHandler(on ? WatchEvent : TheCalls().gtkHandler, nullptr, nullptr);
}

}  // namespace gtk
#endif

// The program ends: nobody is asked, the text is kept on standard error, with
// how the box went (never shown, or taken down).
int Unanswered(const std::string& text, const std::string& caption, win::UINT type, const char* how) {
  std::fprintf(stderr, "[%s] %s (%s: the program ends)\n",
               caption.empty() ? "kxmp" : platform::BoxDisplayText(caption).c_str(),
               platform::BoxDisplayText(text).c_str(), how);
  return platform::SafeAnswer(type);
}
int NotShown(const std::string& text, const std::string& caption, win::UINT type) {
  return Unanswered(text, caption, type, "not shown");
}

int ShowHere(const std::string& text, const std::string& caption, win::UINT type) {
  if (g_Current && g_Current->Refused()) return NotShown(text, caption, type);
  long style = wxCENTRE;
  switch (type & 0xF) {
    case win::MB_OKCANCEL: style |= wxOK | wxCANCEL; break;
    case win::MB_YESNO: style |= wxYES_NO; break;
    case win::MB_YESNOCANCEL: style |= wxYES_NO | wxCANCEL; break;
    default: style |= wxOK; break;
  }
  switch (type & 0xF0) {
    case win::MB_ICONERROR: style |= wxICON_ERROR; break;
    case win::MB_ICONQUESTION: style |= wxICON_QUESTION; break;
    case win::MB_ICONWARNING: style |= wxICON_WARNING; break;
    default: style |= wxICON_INFORMATION; break;
  }
  // The generic box runs its own loop, which a termination signal can end.
  wxGenericMessageDialog dialog(nullptr, wxString::FromUTF8(platform::BoxDisplayText(text)),
                                wxString::FromUTF8(caption.empty() ? "kxmp" : platform::BoxDisplayText(caption)), style);
  if (type & win::MB_TOPMOST) dialog.SetWindowStyleFlag(dialog.GetWindowStyleFlag() | wxSTAY_ON_TOP);
  // Drawn on the screen: from then on someone may have read it.
  bool drawn = false;
  dialog.Bind(wxEVT_PAINT, [&drawn](wxPaintEvent& event) {
    drawn = true;
    event.Skip();
  });
  const int answer = dialog.ShowModal();
  // Taken down by the program's end: told as taken down once it was drawn;
  // refused as it opened, or taken down before it was drawn, it was read by
  // no one.
  if (g_Current && g_Current->Ended())
    return drawn ? Unanswered(text, caption, type, "taken down") : NotShown(text, caption, type);
  switch (answer) {
    case wxID_OK: return win::IDOK;
    case wxID_YES: return win::IDYES;
    case wxID_NO: return win::IDNO;
    default: return platform::SafeAnswer(type);  // Cancel, or taken down
  }
}

}  // namespace

// The window thread's waits for a folder's lock, as the folder lock tells them.
class CModalBoxes::LockWait final : public platform::LockWaitPump {
 public:
  explicit LockWait(CModalBoxes& boxes) : m_Boxes(boxes) {}
  void Waiting() override { m_Boxes.LetWindowsBreathe(); }
  void Ended() override { m_Boxes.WaitEnded(); }

 private:
  CModalBoxes& m_Boxes;
};

CModalBoxes::CModalBoxes(std::function<void(wxWindow*)> closeAsked) : m_CloseAsked(std::move(closeAsked)) {
  Register();
  g_Current = this;
  platform::SetLockWaitPump(std::make_shared<LockWait>(*this));  // on the window thread
}

CModalBoxes::~CModalBoxes() {
  platform::SetLockWaitPump(nullptr);
  if (g_Current == this) g_Current = nullptr;
#ifdef __WXGTK__
  gtk::Watch(false);
#endif
}

CModalBoxes* CModalBoxes::Current() { return g_Current; }

int CModalBoxes::Enter(wxDialog* dialog) {
  if (m_Refused) return wxID_CANCEL;
  m_Open.push_back(dialog);
#ifdef __WXGTK__
  gtk::Watch(true);  // at each box: the toolkit puts GTK's own handler back after a yield
#endif
  return wxID_NONE;
}

bool CModalBoxes::CloseAfterBoxes(wxWindow* window) {
  if (std::find(m_Open.begin(), m_Open.end(), window) != m_Open.end()) return false;  // a box's own close
  if (m_CloseAsked) m_CloseAsked(window);
  AfterBoxes([target = wxWeakRef<wxWindow>(window)] {
    if (target && !target->IsBeingDeleted()) target->Close();
  });
  return true;
}

void CModalBoxes::Exit(wxDialog* dialog) {
  std::erase(m_Open, dialog);
  // Carried on from the loop outside the box, once its caller has had the answer.
  if (!m_Open.empty()) {
    if (m_Ended) Later(&CModalBoxes::TakeDownInnermost);
  } else if (!m_After.empty()) {
    Later(&CModalBoxes::RunAfterBoxes);
  }
}

void CModalBoxes::Later(void (CModalBoxes::*step)()) {
  if (!wxTheApp) return;
  wxTheApp->CallAfter([this, step, alive = std::weak_ptr<int>(m_Alive)] {
    if (alive.lock()) (this->*step)();
  });
}

void CModalBoxes::End() {
  m_Refused = m_Ended = true;
  TakeDownInnermost();
}

void CModalBoxes::TakeDownInnermost() {
  // Only the innermost loop can end: an outer box is taken down when the inner one has returned.
  if (!m_Open.empty() && m_Open.back()->IsModal()) m_Open.back()->EndModal(wxID_CANCEL);
}

void CModalBoxes::AfterBoxes(std::function<void()> then) {
  m_After.push_back(std::move(then));
  if (!AnyOpen()) Later(&CModalBoxes::RunAfterBoxes);
}

void CModalBoxes::RunAfterBoxes() {
  if (AnyOpen()) return;  // a box opened or a wait began meanwhile: its end runs them
  for (auto& then : std::exchange(m_After, {})) then();
}

void CModalBoxes::LetWindowsBreathe() {
  // A wait in what is handed out here only waits; before the main loop runs
  // (start-up) no window is shown yet.
  wxEventLoopBase* loop = wxEventLoopBase::GetActive();
  if (m_Breathing || !loop || !wxTheApp) return;
  m_Waiting = m_Breathing = true;
  // Neither the input (a second Start or Scan) nor the program's queued calls
  // (a disk change, a signal's end, a box's later step): they may need what
  // the waiting action holds, and come after it.
  wxTheApp->SuspendProcessingOfPendingEvents();
  loop->YieldFor(wxEVT_CATEGORY_UI);
  wxTheApp->ResumeProcessingOfPendingEvents();
  m_Breathing = false;
#ifdef __WXGTK__
  if (!m_Open.empty()) gtk::Watch(true);  // the yield put GTK's own handler back
#endif
}

void CModalBoxes::WaitEnded() {
  if (m_Breathing || !m_Waiting) return;
  m_Waiting = false;
  // A close taken during the wait is carried out from the loop, once the action has returned.
  if (m_Open.empty() && !m_After.empty()) Later(&CModalBoxes::RunAfterBoxes);
}

int CWxMessageBox::Show(const std::string& text, const std::string& caption, win::UINT type) {
  if (wxIsMainThread()) return ShowHere(text, caption, type);
  return kx::WindowCalls().Call([=] { return ShowHere(text, caption, type); }, platform::SafeAnswer(type));
}

int CEndingMessageBox::Show(const std::string& text, const std::string& caption, win::UINT type) {
  if (m_Ending()) return NotShown(text, caption, type);
  return m_Shown->Show(text, caption, type);
}
