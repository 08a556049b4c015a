// The debug-output channel (OutputDebugString). By default the text goes
// nowhere, as on Windows without a debugger; tests capture it.
#pragma once
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace win {
void OutputDebugString(const char* text);
}

namespace platform {

using DebugSink = std::function<void(std::string_view)>;

void DebugOutput(std::string_view text);
// Debug output that must be seen even without a debugger: also written to
// standard error, which needs no disk (a record that could not be written).
void DebugAlert(std::string_view text);
// Installs a sink (empty = discard) and returns the one it replaces.
DebugSink SetDebugSink(DebugSink sink);

// Records every debug text while it lives, then restores the previous sink.
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  std::vector<std::string> Texts() const;
  std::string All() const;  // the texts joined in order

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
  DebugSink previous_;
};

}  // namespace platform
