// The legacy page's keys, run controls, parameter-file choice, serial-number
// range, tester probes and run clock.
#include <cstdlib>
#include <filesystem>

#include "device/Environment.h"
#include "device/Format.h"
#include "device/Settings.h"
#include "legacy/FirstPropertyPage.h"
#include "legacy/LegacyShared.h"
#include "platform/Files.h"
#include "platform/Paths.h"

namespace legacy {

namespace {

constexpr int kRunControls[] = {kIdBadBlock, kIdPretest, kIdQc, kIdInitial, kIdReloadParam, kIdClearRecord,
                                kIdParamCombo};

}  // namespace

bool CFirstPropertyPage::PreTranslateKey(const KeyEvent& event) {
  if (event.type == KeyEvent::KeyDown && event.key == kKeyEscape) return true;
  if (event.type == KeyEvent::KeyUp && event.key == kKeyF8) OnQc();
  if (event.type == KeyEvent::KeyUp && event.key == kKeyF4) OnInitial();
  return false;
}

void CFirstPropertyPage::EnableRunControls() {
  for (int id : kRunControls) m_View->EnableControl(id, true);
  if (m_LockHold == 0) m_View->EnableControl(kIdLock, true);
  OnLock();
  m_View->Refresh();
}

void CFirstPropertyPage::DisableRunControls() {
  for (int id : kRunControls) m_View->EnableControl(id, false);
  m_View->EnableControl(kIdLock, false);
  m_View->Refresh();
}

void CFirstPropertyPage::OnLock() { m_View->EnableControl(kIdParamCombo, !m_View->IsChecked(kIdLock)); }

void CFirstPropertyPage::FillParamFileList() {
  std::vector<std::string> names;
  std::error_code ec;
  bool any = false;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::current_path(ec), ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 4 || !platform::EqualsNoCase(name.substr(name.size() - 4), ".ini") || !entry.is_regular_file())
      continue;
    any = true;
    if (!platform::EqualsNoCase(name, "PARAM.INI")) names.push_back(name);
  }
  m_ParamFiles.clear();
  if (!any) return;  // the combo keeps its entries
  m_ParamFiles = names;
  m_View->SetComboEntries(m_ParamFiles);
}

void CFirstPropertyPage::OnSelchangeParamFile() {
  const std::string chosen = kx::TrimBlanks(m_View->ComboSelection());
  // A failed copy keeps the parameter file the page has.
  if (!ReplaceByCopy(kx::StrFormat(".\\%s", chosen.c_str()), m_ParamPath))
    m_Services.MessageBox("Load file Fail !!!", kMbOk | kMbIconError);
  ShowDeviceInfo();
  PrepareLogFolders();
  m_View->Refresh();
}

void CFirstPropertyPage::ShowSerialRange() {
  const std::string record = kx::StrFormat("%s\\%s", m_LogFolder.c_str(), "SATA_RecordSN.ini");
  const std::string start = kx::TrimBlanks(kx::ReadProfileText("Serial Number", "Start Serial Number", record.c_str(), 25));
  const std::string last = kx::TrimBlanks(kx::ReadProfileText("Serial Number", "Last Serial Number", record.c_str(), 25));
  std::string prefix, end;
  if (!last.empty()) {
    prefix = last.substr(0, 12);
    const std::string tail = last.substr(last.size() > 8 ? last.size() - 8 : 0);
    end = kx::StrFormat("%08d", std::atoi(tail.c_str()) - 1);
  }
  m_SerialRange = kx::StrFormat("%s%s ~ %s", prefix.c_str(), start.c_str(), end.c_str());
  m_View->Refresh();
}

bool CFirstPropertyPage::ProbeTesterFirmware(int driveNo, int port) {
  const TesterProbe probe = m_Services.CheckTesterFirmware(driveNo, port, m_LogFolder);
  m_TesterKinds[static_cast<std::size_t>(port)] = probe.kind;
  if (probe.ok) m_TesterFwText = probe.fwVersion;
  return probe.ok;
}

bool CFirstPropertyPage::ProbeTesterInfo(int driveNo, int port) {
  const TesterProbe probe = m_Services.ReadTesterInfo(driveNo, port, m_LogFolder);
  m_TesterKinds[static_cast<std::size_t>(port)] = probe.kind;
  if (!probe.ok) return false;
  // This device's own version: the major number up to the point.
  kx::TesterFwVersion v;
  if (probe.kind == 4 && kx::ParseTesterFwVersion(probe.fwVersion, v) && v.major >= 3 && v.minor >= 3)
    m_TesterPageBytes[static_cast<std::size_t>(port)] = probe.pageByte256;
  return true;
}

void CFirstPropertyPage::OnTimer(int id) {
  if (id == kTimerRunClock) m_View->SetCaption(kIdTime, RunClockText(m_Services.NowMs() - m_RunStartMs));
}

}  // namespace legacy
