// Message boxes of the window system for the whole program. A box asked for on
// another thread (a worker's message) is shown on the window thread while the
// asking thread waits for the answer; once the program closes it gets the safe
// answer (Cancel for a question) instead.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/MessageBox.h"

#include <wx/modalhook.h>

class wxDialog;
class wxWindow;

// Every modal box of the program (its message boxes and dialogs) while it is
// open: a window is never destroyed under a box's loop, so a close waits for
// the boxes to return; a termination signal takes them down first. The window
// thread's waits for a folder's lock are held as a box is: while one lasts,
// the window system's own events go on (the window is drawn and a close taken),
// and a close is carried out once it has ended.
class CModalBoxes final : public wxModalDialogHook {
 public:
  // `closeAsked` hears at once of a close the window manager asked of a window
  // under the boxes, which is carried out only after they have returned.
  explicit CModalBoxes(std::function<void(wxWindow*)> closeAsked = {});
  ~CModalBoxes() override;
  CModalBoxes(const CModalBoxes&) = delete;
  CModalBoxes& operator=(const CModalBoxes&) = delete;

  // The instance of the running program, or nullptr.
  static CModalBoxes* Current();
  // A box is open, or the window thread waits for a folder's lock.
  bool AnyOpen() const { return !m_Open.empty() || m_Waiting; }
  // Once refused, no box is shown any more (each gets its safe answer at
  // once); the open ones stay until they are answered.
  void Refuse() { m_Refused = true; }
  bool Refused() const { return m_Refused; }
  // Refuses, and takes the open boxes down, the innermost first.
  void End();
  bool Ended() const { return m_Ended; }
  // Runs on the window thread after the last open box has returned, from the
  // event loop outside it (at the next event when none is open).
  void AfterBoxes(std::function<void()> then);
  // A close the window manager asked of a window while boxes are open (which
  // GTK would drop): carried out as the window's close once they have
  // returned. False for an open box, whose close is its own.
  bool CloseAfterBoxes(wxWindow* window);

 protected:
  int Enter(wxDialog* dialog) override;
  void Exit(wxDialog* dialog) override;

 private:
  class LockWait;
  // A step of the window thread's wait for a folder's lock: the window
  // system's drawing, sizes and closes, and no other event.
  void LetWindowsBreathe();
  void WaitEnded();
  void TakeDownInnermost();
  void RunAfterBoxes();
  // Calls step from the event loop, unless this has gone by then.
  void Later(void (CModalBoxes::*step)());
  std::vector<wxDialog*> m_Open;
  std::vector<std::function<void()>> m_After;
  std::function<void(wxWindow*)> m_CloseAsked;
  bool m_Refused = false;
  bool m_Ended = false;
  bool m_Waiting = false;    // a wait for a folder's lock goes on
  bool m_Breathing = false;  // its events are being handed out
  std::shared_ptr<int> m_Alive = std::make_shared<int>();
};

class CWxMessageBox final : public platform::IMessageBox {
 public:
  int Show(const std::string& text, const std::string& caption, win::UINT type) override;
};

// The boxes of a program that may be asked to end: once `ending` holds, none is
// shown; each text goes to standard error as not shown and gets the safe answer.
class CEndingMessageBox final : public platform::IMessageBox {
 public:
  CEndingMessageBox(std::shared_ptr<platform::IMessageBox> shown, std::function<bool()> ending)
      : m_Shown(std::move(shown)), m_Ending(std::move(ending)) {}
  int Show(const std::string& text, const std::string& caption, win::UINT type) override;

 private:
  std::shared_ptr<platform::IMessageBox> m_Shown;
  std::function<bool()> m_Ending;
};
