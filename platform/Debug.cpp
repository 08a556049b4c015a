#include "platform/Debug.h"

#include <cstdio>
#include <memory>

namespace platform {
namespace {

struct SinkHolder {
  std::mutex mutex;
  std::shared_ptr<DebugSink> sink;
};
SinkHolder& holder() {
  static SinkHolder h;
  return h;
}

}  // namespace

void DebugOutput(std::string_view text) {
  std::shared_ptr<DebugSink> sink;
  {
    auto& h = holder();
    std::lock_guard lock(h.mutex);
    sink = h.sink;
  }
  if (sink && *sink) (*sink)(text);
}

void DebugAlert(std::string_view text) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
  DebugOutput(text);
}

DebugSink SetDebugSink(DebugSink sink) {
  auto& h = holder();
  std::lock_guard lock(h.mutex);
  DebugSink previous = h.sink ? *h.sink : DebugSink();
  h.sink = std::make_shared<DebugSink>(std::move(sink));
  return previous;
}

DebugCapture::DebugCapture() {
  previous_ = SetDebugSink([this](std::string_view text) {
    std::lock_guard lock(mutex_);
    texts_.emplace_back(text);
  });
}

DebugCapture::~DebugCapture() { SetDebugSink(std::move(previous_)); }

std::vector<std::string> DebugCapture::Texts() const {
  std::lock_guard lock(mutex_);
  return texts_;
}

std::string DebugCapture::All() const {
  std::lock_guard lock(mutex_);
  std::string all;
  for (const auto& t : texts_) all += t;
  return all;
}

}  // namespace platform

namespace win {
void OutputDebugString(const char* text) {
  if (text) platform::DebugOutput(text);
}
}  // namespace win
