// What a job writes of its port on the production page: the colour status
// cell, the progress bar and the page's count labels. Workers never touch a
// window; they write these views, whose models below keep the state under a
// lock so that the window thread can show a consistent snapshot at its own
// pace. Tests read the same models back.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// A text window: the count labels (and the base of the status cell).
class ITextWindow {
 public:
  virtual ~ITextWindow() = default;
  virtual void SetWindowText(const std::string& text) = 0;
  // Redraw with background erase.
  virtual void Redraw() = 0;
};

// The port's colour status cell.
class IStatusCell : public ITextWindow {
 public:
  virtual void SetFontSize(int height, int width) = 0;
  // Colours as 0x00BBGGRR values.
  virtual void SetColor(std::uint32_t textColor, std::uint32_t backColor) = 0;
  virtual std::string GetWindowText() const = 0;
  virtual void Clear() = 0;
  // The three texts the per-port result dialog shows, set together.
  virtual void SetKeptTexts(const std::string& stateText, const std::string& errorCode,
                            const std::string& errorMessage) = 0;
  virtual std::string GetStateText() const = 0;
  virtual std::string GetErrorCode() const = 0;
  virtual std::string GetErrorMessage() const = 0;
};

// A progress bar; every step that takes "progress bar, progressSpan" moves one.
class IProgressBar {
 public:
  virtual ~IProgressBar() = default;
  virtual void SetRange(int lower, int upper) = 0;
  virtual void SetPos(int pos) = 0;
  virtual int GetPos() const = 0;
};

namespace kx {

constexpr std::uint32_t Rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return static_cast<std::uint32_t>(r) | static_cast<std::uint32_t>(g) << 8 | static_cast<std::uint32_t>(b) << 16;
}

// Everything a status cell shows and keeps, as one value.
struct StatusCellState {
  std::string text;
  std::uint32_t textColor = 0;
  std::uint32_t backColor = Rgb(255, 255, 255);
  int fontHeight = 0;
  int fontWidth = 0;
  std::string stateText;
  std::string errorCode;
  std::string errorMessage;
  std::uint64_t redraws = 0;
  std::uint64_t changes = 0;  // moves when anything above but redraws changed value
};

class StatusCellModel final : public IStatusCell {
 public:
  void SetWindowText(const std::string& text) override;
  void Redraw() override;
  void SetFontSize(int height, int width) override;
  void SetColor(std::uint32_t textColor, std::uint32_t backColor) override;
  std::string GetWindowText() const override;
  void Clear() override;
  void SetKeptTexts(const std::string& stateText, const std::string& errorCode,
                    const std::string& errorMessage) override;
  std::string GetStateText() const override;
  std::string GetErrorCode() const override;
  std::string GetErrorMessage() const override;
  StatusCellState Snapshot() const;
  // The state's change count, without taking a snapshot.
  std::uint64_t Changes() const { return changes_.load(std::memory_order_acquire); }

 private:
  template <class T>
  void Change(T& field, const T& value);
  mutable std::mutex lock_;
  StatusCellState state_;
  std::atomic<std::uint64_t> changes_{0};
};

class ProgressModel final : public IProgressBar {
 public:
  void SetRange(int lower, int upper) override;
  void SetPos(int pos) override;
  int GetPos() const override;
  int Lower() const;
  int Upper() const;

 private:
  mutable std::mutex lock_;
  int lower_ = 0;
  int upper_ = 100;
  int pos_ = 0;
};

class TextWindowModel final : public ITextWindow {
 public:
  void SetWindowText(const std::string& text) override;
  void Redraw() override;
  std::string Text() const;

 private:
  mutable std::mutex lock_;
  std::string text_;
  std::uint64_t redraws_ = 0;
};

}  // namespace kx
