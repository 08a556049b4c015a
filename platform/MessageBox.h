// Message boxes. Domain code calls win::MessageBox / win::AfxMessageBox; the
// window layer installs the real box, tests a RecordingMessageBox. With none
// installed the text goes to standard error and the safe answer comes back
// (OK for a plain notice, Cancel or No for a question).
#pragma once
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

namespace win {

constexpr UINT MB_OK = 0x0;
constexpr UINT MB_OKCANCEL = 0x1;
constexpr UINT MB_YESNOCANCEL = 0x3;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONQUESTION = 0x20;
constexpr UINT MB_ICONWARNING = 0x30;
constexpr UINT MB_ICONINFORMATION = 0x40;
constexpr UINT MB_TOPMOST = 0x40000;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

int MessageBox(void* owner, const char* text, const char* caption, UINT type);
int AfxMessageBox(const char* text, UINT type = MB_OK);

}  // namespace win

namespace platform {

class IMessageBox {
 public:
  virtual ~IMessageBox() = default;
  // Shows the text and returns the button chosen (IDOK, IDCANCEL, ...).
  virtual int Show(const std::string& text, const std::string& caption, win::UINT type) = 0;
};

// Process-wide box (nullptr restores the standard-error fallback).
void SetMessageBox(std::shared_ptr<IMessageBox> box);
std::shared_ptr<IMessageBox> GetMessageBox();
// The answer given when nobody can be asked.
int SafeAnswer(win::UINT type);

// Box texts are bytes of the program's code page; whatever shows one (a
// window's box, standard error) shows BoxDisplayText of it, UTF-8 by the
// conversion the window layer sets (until then the bytes as they are).
using BoxTextConversion = std::function<std::string(const std::string&)>;
void SetBoxTextConversion(BoxTextConversion convert);
std::string BoxDisplayText(const std::string& text);

// Records every box shown and answers from a script (then the safe answer).
class RecordingMessageBox final : public IMessageBox {
 public:
  struct Shown {
    std::string text;
    std::string caption;
    win::UINT type = 0;
  };
  int Show(const std::string& text, const std::string& caption, win::UINT type) override;
  void QueueAnswer(int answer);
  std::vector<Shown> History() const;
  std::vector<std::string> Texts() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Shown> shown_;
  std::deque<int> answers_;
};

// Installs a box for the life of the object and restores the previous one.
class ScopedMessageBox {
 public:
  explicit ScopedMessageBox(std::shared_ptr<IMessageBox> box);
  ~ScopedMessageBox();
  ScopedMessageBox(const ScopedMessageBox&) = delete;
  ScopedMessageBox& operator=(const ScopedMessageBox&) = delete;

 private:
  std::shared_ptr<IMessageBox> previous_;
};

}  // namespace platform
