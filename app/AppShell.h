// Start-up decisions of the application, without windows: the send mode read
// before the main window exists, the window title and the pages the property
// sheet shows.
#pragma once
#include <string>
#include <vector>

namespace app {

inline constexpr char kToolSettingIni[] = ".\\Configuration\\System\\MPToolSetting.ini";

// [General Info] KX_U2A (default 1; 0 stays 0, anything else becomes 1) into g_KX_U2A.
void ReadKxU2A();

// "KX %s MP Tool %s" of [General Info] PortType and BuildVersion.
std::string BuildWindowTitle();

// The sheet's pages in the order they are added, each with its bit of the mask.
enum class SheetPage { KXMP, ThirdSetting, NewSetting, RDTResult, LBResult, DBT };
struct SheetPageEntry {
  SheetPage page;
  unsigned bit;
  const char* className;
};
inline constexpr SheetPageEntry kSheetPages[] = {
    {SheetPage::KXMP, 0x01, "CPropertyPage_KXMP"},         {SheetPage::ThirdSetting, 0x02, "CThirdPropertyPage"},
    {SheetPage::NewSetting, 0x04, "CPropertyPage_NewSetting"}, {SheetPage::RDTResult, 0x08, "CPropertyPage_RDTResult"},
    {SheetPage::LBResult, 0x10, "CPropertyPage_LBResult"}, {SheetPage::DBT, 0x20, "CPropertyPage_DBT"}};

// [OP Setting] SetUIPage as hexadecimal (default 0x35); bit 0 is always set.
unsigned ReadPageMask();
// Hexadecimal text as the mask reads it: an optional 0x, digits up to the
// first non-digit; empty or no digits gives the default.
unsigned ParsePageMask(const std::string& text);
std::vector<SheetPage> PagesOfMask(unsigned mask);

}  // namespace app
