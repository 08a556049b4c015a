#include "app/WxMessageBox.h"
#include "settings/SnScanDlg.h"

#include <cstdio>
#include <utility>

#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/msgdlg.h>
#include <wx/generic/msgdlgg.h>
#include <wx/thread.h>

namespace {

CModalBoxes* g_Current = nullptr;  // window thread only

int ShowHere(const std::string& text, const std::string& caption, win::UINT type) {
  if (g_Current && g_Current->Ended()) {
    // The program ends: nobody is asked, the text is kept on standard error.
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    return platform::SafeAnswer(type);
  }
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
  std::string shown = text;  // CR LF, as the program's texts break lines, shows as a line break
  for (std::size_t at; (at = shown.find("\r\n")) != std::string::npos;) shown.erase(at, 1);
  // The generic box runs its own loop, which a termination signal can end.
  wxGenericMessageDialog dialog(nullptr, wxString::FromUTF8(shown),
                                wxString::FromUTF8(caption.empty() ? "kxmp" : caption), style);
  if (type & win::MB_TOPMOST) dialog.SetWindowStyleFlag(dialog.GetWindowStyleFlag() | wxSTAY_ON_TOP);
  switch (dialog.ShowModal()) {
    case wxID_OK: return win::IDOK;
    case wxID_YES: return win::IDYES;
    case wxID_NO: return win::IDNO;
    default: return platform::SafeAnswer(type);  // Cancel, or taken down
  }
}

}  // namespace

CModalBoxes::CModalBoxes() {
  Register();
  g_Current = this;
}

CModalBoxes::~CModalBoxes() {
  if (g_Current == this) g_Current = nullptr;
}

CModalBoxes* CModalBoxes::Current() { return g_Current; }

int CModalBoxes::Enter(wxDialog* dialog) {
  if (m_Ended) return wxID_CANCEL;
  m_Open.push_back(dialog);
  return wxID_NONE;
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
  m_Ended = true;
  TakeDownInnermost();
}

void CModalBoxes::TakeDownInnermost() {
  // Only the innermost loop can end: an outer box is taken down when the inner one has returned.
  if (!m_Open.empty() && m_Open.back()->IsModal()) m_Open.back()->EndModal(wxID_CANCEL);
}

void CModalBoxes::AfterBoxes(std::function<void()> then) {
  m_After.push_back(std::move(then));
  if (m_Open.empty()) Later(&CModalBoxes::RunAfterBoxes);
}

void CModalBoxes::RunAfterBoxes() {
  if (!m_Open.empty()) return;  // a box opened meanwhile: its return runs them
  for (auto& then : std::exchange(m_After, {})) then();
}

int CWxMessageBox::Show(const std::string& text, const std::string& caption, win::UINT type) {
  if (wxIsMainThread()) return ShowHere(text, caption, type);
  return kx::WindowCalls().Call([=] { return ShowHere(text, caption, type); }, platform::SafeAnswer(type));
}
