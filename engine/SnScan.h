// The serial-number scan dialog as the scan job sees it, and the scan values it
// shares with the dialog. The settings windows supply the dialog; tests supply
// scripted ones.
#pragma once
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "engine/EngineGlobals.h"

// The modal scan dialog, made with no parent; the job sets its port first.
class CSnScanDlg {
 public:
  virtual ~CSnScanDlg() = default;
  virtual void SetPortNumber(int port) = 0;
  // 1 (OK) when a serial number was scanned.
  virtual int DoModal() = 0;
  virtual std::string GetSerialNumber() const = 0;
  virtual std::string GetWwn() const = 0;
};

namespace kx {

class SnScanState {
 public:
  static constexpr int kAllIn = 2;

  // 2 once every serial number is in.
  std::atomic<int> allScanned{0};
  std::atomic<bool> wwnScanEnabled{false};
  // "All Serial Number have scan?": 0 not asked, 1 asked, 2 declined. The page
  // resets it at each Start; the jobs ask it under lock 3.
  std::atomic<int> question{0};

  void SetSerialNumber(int port, const std::string& text);
  void SetWwn(int port, const std::string& text);
  std::string SerialNumber(int port) const;  // port 1..48; empty outside
  std::string Wwn(int port) const;

  // Makes the dialog the scan job shows; null (the default) makes the job
  // treat the scan as cancelled.
  void SetDialogFactory(std::function<std::unique_ptr<CSnScanDlg>()> factory);
  std::unique_ptr<CSnScanDlg> MakeDialog() const;

 private:
  mutable std::mutex lock_;
  std::array<std::string, kPortTableSize> serials_;
  std::array<std::string, kPortTableSize> wwns_;
  std::function<std::unique_ptr<CSnScanDlg>()> factory_;
};

}  // namespace kx

extern kx::SnScanState g_SnScanState;
