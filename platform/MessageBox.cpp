#include "platform/MessageBox.h"

#include <cstdio>

namespace platform {
namespace {

std::mutex g_boxMutex;
std::shared_ptr<IMessageBox> g_box;  // guarded by g_boxMutex
std::shared_ptr<const BoxTextConversion> g_convert;  // the same

int show(const char* text, const char* caption, win::UINT type) {
  const std::string t = text ? text : "";
  const std::string c = caption ? caption : "";
  if (auto box = GetMessageBox()) return box->Show(t, c, type);
  std::fprintf(stderr, "[%s] %s\n", BoxDisplayText(c).c_str(), BoxDisplayText(t).c_str());
  return SafeAnswer(type);
}

}  // namespace

void SetMessageBox(std::shared_ptr<IMessageBox> box) {
  std::lock_guard lock(g_boxMutex);
  g_box = std::move(box);
}

std::shared_ptr<IMessageBox> GetMessageBox() {
  std::lock_guard lock(g_boxMutex);
  return g_box;
}

void SetBoxTextConversion(BoxTextConversion convert) {
  auto shared = convert ? std::make_shared<const BoxTextConversion>(std::move(convert)) : nullptr;
  std::lock_guard lock(g_boxMutex);
  g_convert = std::move(shared);
}

std::string BoxDisplayText(const std::string& text) {
  std::shared_ptr<const BoxTextConversion> convert;
  {
    std::lock_guard lock(g_boxMutex);
    convert = g_convert;
  }
  return convert ? (*convert)(text) : text;
}

int SafeAnswer(win::UINT type) {
  switch (type & 0xF) {
    case win::MB_OK: return win::IDOK;
    case win::MB_YESNO: return win::IDNO;
    default: return win::IDCANCEL;
  }
}

int RecordingMessageBox::Show(const std::string& text, const std::string& caption, win::UINT type) {
  std::lock_guard lock(mutex_);
  shown_.push_back({text, caption, type});
  if (answers_.empty()) return SafeAnswer(type);
  const int answer = answers_.front();
  answers_.pop_front();
  return answer;
}

void RecordingMessageBox::QueueAnswer(int answer) {
  std::lock_guard lock(mutex_);
  answers_.push_back(answer);
}

std::vector<RecordingMessageBox::Shown> RecordingMessageBox::History() const {
  std::lock_guard lock(mutex_);
  return shown_;
}

std::vector<std::string> RecordingMessageBox::Texts() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& s : shown_) out.push_back(s.text);
  return out;
}

ScopedMessageBox::ScopedMessageBox(std::shared_ptr<IMessageBox> box) : previous_(GetMessageBox()) {
  SetMessageBox(std::move(box));
}
ScopedMessageBox::~ScopedMessageBox() { SetMessageBox(std::move(previous_)); }

}  // namespace platform

namespace win {

int MessageBox(void*, const char* text, const char* caption, UINT type) { return platform::show(text, caption, type); }
int AfxMessageBox(const char* text, UINT type) { return platform::show(text, "", type); }

}  // namespace win
