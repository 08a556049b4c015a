// Texts that the production page owns and the port workers read while they
// run: the flash-ID mask and the working folder. The page sets them on the
// window thread; any number of workers read them at once, each read taking a
// whole copy of its own.
#pragma once
#include <mutex>
#include <string>

namespace kx {

// A text that one thread may replace while others read it.
class SharedText {
 public:
  SharedText() = default;
  explicit SharedText(std::string text) : text_(std::move(text)) {}
  SharedText(const SharedText&) = delete;
  SharedText& operator=(const SharedText&) = delete;

  std::string Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }
  void Set(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    text_ = std::move(text);
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

// The value of [Options] FlhIDMask when the parameter file has none.
inline constexpr char kDefaultFlashIdMask[] = "FF036F000F3200";

// The production page's flash-ID mask field: 14 hexadecimal digits over ID
// bytes 0 to 6, used as it stands; empty when the field is empty. Holds the
// default mask until the page sets it.
std::string GetFlashIdMask();
void SetFlashIdMask(const std::string& mask);

}  // namespace kx

// The program's working folder with a trailing backslash, set by the
// production page each time it becomes the active page; empty until then.
extern kx::SharedText g_WorkFolder;
