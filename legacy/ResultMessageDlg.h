// CResultMessageDlg: one slot's report file shown live. A tail thread polls
// the file and posts the new lines to the window thread, which alone touches
// the list.
#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <wx/dialog.h>
#include <wx/listbox.h>

#include "legacy/ResultLogTail.h"

class CResultMessageDlg : public wxDialog {
 public:
  static constexpr int kIdList = 1660;
  static constexpr int kIdOpenFolder = 1272;

  // Built hidden; the caller sets the three members, then runs ShowModal or
  // Create + Show.
  explicit CResultMessageDlg(wxWindow* parent = nullptr);
  ~CResultMessageDlg() override;

  // The modeless window under `parent`.
  bool Create(wxWindow* parent);
  int ShowModal() override;
  bool Show(bool show = true) override;

  int m_TesterNumber = 0;
  std::string m_ReportFile;
  std::string m_ReportFolder;

  wxListBox* LogList() const { return m_LogList; }
  // The caption of a control from the language file ("Unknown" key for any
  // control but the folder button), as the file's bytes; sets it, decoded
  // from the file's code page, when the id is not 0.
  std::string LoadCaption(int id, int unused);

 private:
  void Build(wxWindow* parent);
  void OnInitDialog();
  void OnCancel();
  void OnOpenFolder();
  void OnCharHook(wxKeyEvent& event);
  void ResultLogThread();
  // Ends the tail thread; with `dispatch`, the window thread handles its
  // events meanwhile.
  void StopTail(bool dispatch);
  void Apply(const legacy::TailUpdate& update);

  wxListBox* m_LogList = nullptr;
  bool m_Started = false;
  bool m_Closing = false;
  std::thread m_Thread;
  std::atomic<bool> m_Stop{false};
  std::atomic<bool> m_ThreadEnded{false};
  std::mutex m_WakeLock;
  std::condition_variable m_Wake;
};
