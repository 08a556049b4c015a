#include "app/LanguageText.h"

#include <iconv.h>

#include "device/Settings.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace app {

const char* CodePageOfLanguageFile(const std::string& path) {
  const auto cut = path.find_last_of("\\/");
  const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
  if (platform::EqualsNoCase(name, "CHS.ini")) return "CP936";
  if (platform::EqualsNoCase(name, "CHT.ini")) return "CP950";
  return "CP1252";
}

namespace {

// The bytes as UTF-8 by the code page; bytes it cannot decode show as '?'.
std::string Decode(const std::string& bytes, const char* codePage) {
  bool ascii = true;
  for (char c : bytes) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return bytes;
  iconv_t cd = iconv_open("UTF-8", codePage);
  if (cd == reinterpret_cast<iconv_t>(-1)) return bytes;
  std::string out;
  char buffer[256];
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  while (inLeft > 0) {
    char* o = buffer;
    std::size_t oLeft = sizeof buffer;
    const std::size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buffer, static_cast<std::size_t>(o - buffer));
    if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
      out += '?';  // a byte the code page cannot decode, or a cut-off pair
      ++in;
      --inLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

bool DoubleByte(const char* codePage) { return std::string(codePage) != "CP1252"; }

}  // namespace

std::string ToDisplayText(const std::string& bytes, const char* codePage) {
  // The RDT progress line writes the degree sign as the code-page-950 pair A2 58
  // followed by 'C', whatever the language: shown as "°C". CR LF is a line break.
  std::string out, part;
  const bool pairs = DoubleByte(codePage);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == 0xA2 && i + 1 < bytes.size() && bytes[i + 1] == 0x58) {
      out += Decode(part, codePage) + "\u00b0C";
      part.clear();
      i += i + 2 < bytes.size() && bytes[i + 2] == 'C' ? 2 : 1;
    } else if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      continue;
    } else {
      part += bytes[i];
      if (pairs && c >= 0x81 && i + 1 < bytes.size()) part += bytes[++i];  // a lead byte takes its trail
    }
  }
  return out + Decode(part, codePage);
}

void ShowBoxTextsInLanguage() {
  platform::SetBoxTextConversion([texts = CLanguageText()](const std::string& bytes) { return texts.Display(bytes); });
}

CLanguageText::CLanguageText() : CLanguageText(kx::GetLanguageIniPath()) {}

CLanguageText::CLanguageText(std::string path) : path_(std::move(path)), codePage_(CodePageOfLanguageFile(path_)) {}

std::string CLanguageText::Raw(const char* section, const char* key, const std::string& fallback) const {
  char buffer[512] = {};
  win::GetPrivateProfileString(section, key, "", buffer, sizeof buffer, path_.c_str());
  return buffer[0] ? std::string(buffer) : fallback;
}

std::string CLanguageText::Text(const char* section, const char* key, const std::string& fallback) const {
  const std::string raw = Raw(section, key, std::string());
  return raw.empty() ? fallback : Display(raw);
}

}  // namespace app
