#include "app/AppShell.h"

#include <cctype>

#include "command/CommandGlobals.h"
#include "device/Format.h"
#include "device/Settings.h"
#include "platform/Profile.h"

namespace app {

namespace {
constexpr unsigned kDefaultPageMask = 0x35;

std::string ReadToolText(const char* section, const char* key) {
  char buffer[260] = {};
  win::GetPrivateProfileString(section, key, "", buffer, sizeof buffer, kToolSettingIni);
  return kx::TrimBlanks(buffer);
}
}  // namespace

void ReadKxU2A() {
  g_KX_U2A = win::GetPrivateProfileInt("General Info", "KX_U2A", 1, kToolSettingIni) == 0 ? 0 : 1;
}

std::string BuildWindowTitle() {
  return kx::StrFormat("KX %s MP Tool %s", ReadToolText("General Info", "PortType").c_str(),
                       ReadToolText("General Info", "BuildVersion").c_str());
}

unsigned ParsePageMask(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0) i += 2;
  unsigned mask = 0;
  std::size_t digits = 0;
  for (; i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i])) && digits < 8; ++i, ++digits) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    mask = mask << 4 | static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return (digits == 0 ? kDefaultPageMask : mask) | 0x01;
}

unsigned ReadPageMask() { return ParsePageMask(ReadToolText("OP Setting", "SetUIPage")); }

std::vector<SheetPage> PagesOfMask(unsigned mask) {
  std::vector<SheetPage> pages;
  for (const SheetPageEntry& e : kSheetPages)
    if (mask & e.bit) pages.push_back(e.page);
  return pages;
}

}  // namespace app
