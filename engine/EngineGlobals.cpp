#include "engine/EngineGlobals.h"

#include "engine/SnScan.h"

std::array<std::atomic<int>, kx::kPortTableSize> g_PortResult{};
std::array<std::atomic<int>, kx::kPortTableSize> g_PortState{};
std::atomic<std::uint8_t> g_StopAfterFail{0};
std::atomic<int> g_CardWatch{0};
std::atomic<std::uint8_t> g_TesterNumber{0};
kx::SnScanState g_SnScanState;

namespace kx {
namespace {
std::mutex g_workOrderLock;
std::string g_workOrderPath;
}  // namespace

void SetWorkOrderPath(const std::string& path) {
  std::lock_guard<std::mutex> g(g_workOrderLock);
  g_workOrderPath = path;
}

std::string WorkOrderPath() {
  std::lock_guard<std::mutex> g(g_workOrderLock);
  return g_workOrderPath;
}

namespace {
bool InTable(int port) { return port >= 1 && port <= kPortTableSize; }
}  // namespace

void SnScanState::SetSerialNumber(int port, const std::string& text) {
  std::lock_guard<std::mutex> g(lock_);
  if (InTable(port)) serials_[port - 1] = text;
}

void SnScanState::SetWwn(int port, const std::string& text) {
  std::lock_guard<std::mutex> g(lock_);
  if (InTable(port)) wwns_[port - 1] = text;
}

std::string SnScanState::SerialNumber(int port) const {
  std::lock_guard<std::mutex> g(lock_);
  return InTable(port) ? serials_[port - 1] : std::string();
}

std::string SnScanState::Wwn(int port) const {
  std::lock_guard<std::mutex> g(lock_);
  return InTable(port) ? wwns_[port - 1] : std::string();
}

void SnScanState::SetDialogFactory(std::function<std::unique_ptr<CSnScanDlg>()> factory) {
  std::lock_guard<std::mutex> g(lock_);
  factory_ = std::move(factory);
}

std::unique_ptr<CSnScanDlg> SnScanState::MakeDialog() const {
  std::function<std::unique_ptr<CSnScanDlg>()> factory;
  {
    std::lock_guard<std::mutex> g(lock_);
    factory = factory_;
  }
  return factory ? factory() : nullptr;
}

}  // namespace kx
