// The window texts of the language file (ENG.ini, CHS.ini or CHT.ini): one
// section per window, keys named after the controls. The files hold bytes of
// their legacy code page; texts are converted only for display.
#pragma once
#include <string>

namespace app {

// "CP936" for CHS.ini, "CP950" for CHT.ini, "CP1252" for any other file.
const char* CodePageOfLanguageFile(const std::string& path);

// The bytes as UTF-8; bytes the code page cannot decode show as '?'. CR LF
// becomes a line feed, and the degree sign of the RDT progress line (code page
// 950's A2 58, then 'C') "°C" under every code page.
std::string ToDisplayText(const std::string& bytes, const char* codePage);

// Every box's text (platform::BoxDisplayText) shown from here on by the code
// page of the language file the settings choose now, as the window's cells
// and labels are.
void ShowBoxTextsInLanguage();

class CLanguageText {
 public:
  // The language file that [General Info] Language or the system language chooses.
  CLanguageText();
  explicit CLanguageText(std::string path);

  const std::string& Path() const { return path_; }
  const char* CodePage() const { return codePage_; }
  // The key's bytes as the file holds them; `fallback` when missing or empty.
  std::string Raw(const char* section, const char* key, const std::string& fallback) const;
  // The same for display; the fallback is already display text.
  std::string Text(const char* section, const char* key, const std::string& fallback) const;
  // Any text of the legacy code page (cell texts, pass texts) for display.
  std::string Display(const std::string& bytes) const { return ToDisplayText(bytes, codePage_); }

 private:
  std::string path_;
  const char* codePage_;
};

}  // namespace app
