// Start-up decisions and the language file's texts.
#include <gtest/gtest.h>

#include "app/AppShell.h"
#include "app/LanguageText.h"
#include "command/CommandGlobals.h"
#include "platform/MessageBox.h"
#include "platform/Profile.h"
#include "tests/support/ScratchFolder.h"

namespace {

using app::SheetPage;

struct AppShell : kxtest::DeviceTestEnv {
  AppShell() { MakeDirs(".\\Configuration\\System"); }
};

TEST(PageMask, ParsesHexadecimalWithTheDefaultAndBitZeroForced) {
  const struct {
    const char* text;
    unsigned mask;
  } rows[] = {{"", 0x35}, {"zz", 0x35}, {"0x35", 0x35}, {"3E", 0x3F}, {"0", 0x01}, {"  0x20 ; pages", 0x21}};
  for (const auto& r : rows) EXPECT_EQ(app::ParsePageMask(r.text), r.mask) << r.text;
}

TEST(PageMask, PagesComeInTheSheetsFixedOrder) {
  EXPECT_EQ(app::PagesOfMask(0x35),
            (std::vector<SheetPage>{SheetPage::KXMP, SheetPage::NewSetting, SheetPage::LBResult, SheetPage::DBT}));
}

TEST_F(AppShell, TitleAndSendModeComeFromTheToolSettings) {
  SetIni(app::kToolSettingIni, "General Info", "PortType", "1");
  SetIni(app::kToolSettingIni, "General Info", "BuildVersion", " V3.1 ");
  EXPECT_EQ(app::BuildWindowTitle(), "KX 1 MP Tool V3.1");
  const struct {
    const char* value;
    std::uint8_t u2a;
  } rows[] = {{nullptr, 1}, {"0", 0}, {"7", 1}};
  for (const auto& r : rows) {
    win::WritePrivateProfileString("General Info", "KX_U2A", r.value, app::kToolSettingIni);
    g_KX_U2A = 9;
    app::ReadKxU2A();
    EXPECT_EQ(g_KX_U2A, r.u2a) << (r.value ? r.value : "missing");
  }
}

TEST(LanguageText, TheFilesCodePageDecodesItsBytesForDisplay) {
  const struct {
    const char* file;
    const char* bytes;
    const char* shown;
  } rows[] = {{"CHS.ini", "\xD6\xD0\xCE\xC4", "\xE4\xB8\xAD\xE6\x96\x87"},
              {".\\Configuration\\System\\CHT.ini", "\xA4\xA4\xA4\xE5", "\xE4\xB8\xAD\xE6\x96\x87"},
              {"ENG.ini", "Caf\xE9", "Caf\xC3\xA9"},
              {"CHS.ini", "OK\xD6", "OK?"},  // a lead byte without its pair
              // The RDT line's degree sign under every language; a pair that only ends in A2 is no degree sign.
              {"ENG.ini", "T(\xA2XC):40*", "T(\xC2\xB0" "C):40*"},
              {"CHT.ini", "T(\xA2X):40", "T(\xC2\xB0" "C):40"},
              {"CHS.ini", "\xB0\xA2XC", "\xE9\x98\xBFXC"},
              {"ENG.ini", "Serial Numbers Empty \r\n Port:2", "Serial Numbers Empty \n Port:2"}};
  for (const auto& r : rows)
    EXPECT_EQ(app::ToDisplayText(r.bytes, app::CodePageOfLanguageFile(r.file)), r.shown) << r.file;
}

// A box's text shows by the language file's code page, as the window's own
// texts do; so does its line on standard error when no box is installed.
TEST_F(AppShell, BoxTextsShowByTheLanguageFilesCodePage) {
  const struct {
    const char *language, *bytes, *shown;
  } rows[] = {{"2", "TestStation \xB2\xE2\xCA\xD4", "TestStation \xE6\xB5\x8B\xE8\xAF\x95"},
              {"3", "\xA4\xA4\xA4\xE5", "\xE4\xB8\xAD\xE6\x96\x87"},
              {"1", "Caf\xE9", "Caf\xC3\xA9"}};
  for (const auto& r : rows) {
    SetIni(app::kToolSettingIni, "General Info", "Language", r.language);
    app::ShowBoxTextsInLanguage();
    EXPECT_EQ(platform::BoxDisplayText(r.bytes), r.shown) << r.language;
    testing::internal::CaptureStderr();
    win::MessageBox(nullptr, r.bytes, "kxmp", win::MB_OK);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(r.shown), std::string::npos) << r.language;
  }
  platform::SetBoxTextConversion(nullptr);
}

TEST_F(AppShell, WindowTextsAreKeyedByControlAndTheFileKeepsItsBytes) {
  const char* chs = ".\\Configuration\\System\\CHS.ini";
  SetIni(chs, "CPropertyPage_KXMP", "IDC_BTN_START", "\xBF\xAA\xCA\xBC");
  SetIni(app::kToolSettingIni, "General Info", "Language", "2");
  const app::CLanguageText texts;
  EXPECT_EQ(texts.Path(), chs);
  EXPECT_EQ(texts.Raw("CPropertyPage_KXMP", "IDC_BTN_START", "Start"), "\xBF\xAA\xCA\xBC");
  EXPECT_EQ(texts.Text("CPropertyPage_KXMP", "IDC_BTN_START", "Start"), "\xE5\xBC\x80\xE5\xA7\x8B");
  EXPECT_EQ(texts.Text("CPropertyPage_KXMP", "IDC_BTN_SCAN", "Scan"), "Scan");
}

}  // namespace
