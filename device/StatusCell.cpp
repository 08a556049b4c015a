#include "device/StatusCell.h"

#include <algorithm>

namespace kx {

// Under the lock: a window that reads the count after a change sees the new state.
template <class T>
void StatusCellModel::Change(T& field, const T& value) {
  if (field == value) return;
  field = value;
  state_.changes = changes_.fetch_add(1, std::memory_order_acq_rel) + 1;
}

void StatusCellModel::SetWindowText(const std::string& text) {
  std::lock_guard<std::mutex> g(lock_);
  Change(state_.text, text);
}

void StatusCellModel::Redraw() {
  std::lock_guard<std::mutex> g(lock_);
  ++state_.redraws;
}

void StatusCellModel::SetFontSize(int height, int width) {
  std::lock_guard<std::mutex> g(lock_);
  Change(state_.fontHeight, height);
  Change(state_.fontWidth, width);
}

void StatusCellModel::SetColor(std::uint32_t textColor, std::uint32_t backColor) {
  std::lock_guard<std::mutex> g(lock_);
  Change(state_.textColor, textColor);
  Change(state_.backColor, backColor);
}

std::string StatusCellModel::GetWindowText() const {
  std::lock_guard<std::mutex> g(lock_);
  return state_.text;
}

void StatusCellModel::Clear() {
  std::lock_guard<std::mutex> g(lock_);
  Change(state_.text, std::string());
}

void StatusCellModel::SetKeptTexts(const std::string& stateText, const std::string& errorCode,
                                   const std::string& errorMessage) {
  std::lock_guard<std::mutex> g(lock_);
  Change(state_.stateText, stateText);
  Change(state_.errorCode, errorCode);
  Change(state_.errorMessage, errorMessage);
}

std::string StatusCellModel::GetStateText() const {
  std::lock_guard<std::mutex> g(lock_);
  return state_.stateText;
}

std::string StatusCellModel::GetErrorCode() const {
  std::lock_guard<std::mutex> g(lock_);
  return state_.errorCode;
}

std::string StatusCellModel::GetErrorMessage() const {
  std::lock_guard<std::mutex> g(lock_);
  return state_.errorMessage;
}

StatusCellState StatusCellModel::Snapshot() const {
  std::lock_guard<std::mutex> g(lock_);
  return state_;
}

void ProgressModel::SetRange(int lower, int upper) {
  std::lock_guard<std::mutex> g(lock_);
  lower_ = lower;
  upper_ = upper;
}

// Like a progress control, a position outside the range is held at its ends.
void ProgressModel::SetPos(int pos) {
  std::lock_guard<std::mutex> g(lock_);
  pos_ = std::clamp(pos, std::min(lower_, upper_), std::max(lower_, upper_));
}

int ProgressModel::GetPos() const {
  std::lock_guard<std::mutex> g(lock_);
  return pos_;
}

int ProgressModel::Lower() const {
  std::lock_guard<std::mutex> g(lock_);
  return lower_;
}

int ProgressModel::Upper() const {
  std::lock_guard<std::mutex> g(lock_);
  return upper_;
}

void TextWindowModel::SetWindowText(const std::string& text) {
  std::lock_guard<std::mutex> g(lock_);
  text_ = text;
}

void TextWindowModel::Redraw() {
  std::lock_guard<std::mutex> g(lock_);
  ++redraws_;
}

std::string TextWindowModel::Text() const {
  std::lock_guard<std::mutex> g(lock_);
  return text_;
}

}  // namespace kx
