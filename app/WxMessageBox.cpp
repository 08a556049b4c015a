#include "app/WxMessageBox.h"
#include "settings/SnScanDlg.h"

#include <wx/app.h>
#include <wx/msgdlg.h>
#include <wx/thread.h>

namespace {

int ShowHere(const std::string& text, const std::string& caption, win::UINT type) {
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
  if (type & win::MB_TOPMOST) style |= wxSTAY_ON_TOP;
  std::string shown = text;  // CR LF, as the program's texts break lines, shows as a line break
  for (std::size_t at; (at = shown.find("\r\n")) != std::string::npos;) shown.erase(at, 1);
  wxMessageDialog dialog(nullptr, wxString::FromUTF8(shown), wxString::FromUTF8(caption.empty() ? "kxmp" : caption),
                         style);
  switch (dialog.ShowModal()) {
    case wxID_OK: return win::IDOK;
    case wxID_YES: return win::IDYES;
    case wxID_NO: return win::IDNO;
    default: return win::IDCANCEL;
  }
}

}  // namespace

int CWxMessageBox::Show(const std::string& text, const std::string& caption, win::UINT type) {
  if (wxIsMainThread()) return ShowHere(text, caption, type);
  return kx::WindowCalls().Call([=] { return ShowHere(text, caption, type); }, platform::SafeAnswer(type));
}
