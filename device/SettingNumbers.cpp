#include "device/SettingNumbers.h"

#include <charconv>
#include <cmath>

#include "device/Environment.h"
#include "device/Format.h"

namespace kx {
namespace {

std::string_view Trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

const char* Reason(NumberProblem why) {
  switch (why) {
    case NumberProblem::NotWhole: return "is not a whole number";
    case NumberProblem::OutOfRange: return "is out of range";
    case NumberProblem::TooLong: return "is longer than 255 characters";
    default: return "is not a valid number";
  }
}

// The longest value the 256-character read buffer holds.
constexpr std::size_t kMaxValueChars = 255;

// [section] key through `parse`; a missing or empty value gives `fallback`. A
// value longer than the buffer is refused, never cut to the part that fits.
template <class T, class Parse>
bool ReadSetting(const std::string& file, const char* section, const char* key, T fallback, T& value,
                 std::string& message, Parse&& parse) {
  // One character more than the buffer holds tells a longer value apart.
  const std::string text = ReadProfileText(section, key, file.c_str(), kMaxValueChars + 2);
  if (Trimmed(text).empty()) {
    value = fallback;
    return true;
  }
  NumberProblem why = NumberProblem::TooLong;
  std::optional<T> v;
  if (text.size() <= kMaxValueChars) v = parse(text, why);
  if (!v) {
    message = SettingNumberMessage(file, section, key, text, why);
    return false;
  }
  value = *v;
  return true;
}

}  // namespace

std::optional<std::int64_t> ParseSettingInteger(std::string_view text, bool hex, std::int64_t min, std::int64_t max,
                                                NumberProblem& why) {
  text = Trimmed(text);
  bool negative = false;
  if (hex) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  } else if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  // Digits only from here (from_chars takes no sign into an unsigned).
  std::uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, hex ? 16 : 10);
  if (ec == std::errc::invalid_argument) {
    why = NumberProblem::NotNumber;
    return std::nullopt;
  }
  if (end != text.data() + text.size()) {
    why = !hex && (*end == '.' || *end == 'e' || *end == 'E') ? NumberProblem::NotWhole : NumberProblem::NotNumber;
    return std::nullopt;
  }
  // Out of 64 bits, or of [min, max]: compare magnitudes without overflow.
  const bool inRange = ec == std::errc() && (negative ? min < 0 && magnitude <= 0 - static_cast<std::uint64_t>(min)
                                                      : max >= 0 && magnitude <= static_cast<std::uint64_t>(max));
  if (!inRange) {
    why = NumberProblem::OutOfRange;
    return std::nullopt;
  }
  const std::int64_t value = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  if (value < min) {
    why = NumberProblem::OutOfRange;
    return std::nullopt;
  }
  why = NumberProblem::None;
  return value;
}

std::optional<double> ParseSettingReal(std::string_view text, double min, double max, NumberProblem& why) {
  text = Trimmed(text);
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  double value = 0;  // from_chars takes "-" but no second sign, and no hexadecimal here
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc::invalid_argument || end != text.data() + text.size()) {
    why = NumberProblem::NotNumber;
    return std::nullopt;
  }
  if (ec == std::errc::result_out_of_range || !std::isfinite(value)) {
    why = NumberProblem::NotFinite;
    return std::nullopt;
  }
  if (value < min || value > max) {
    why = NumberProblem::OutOfRange;
    return std::nullopt;
  }
  why = NumberProblem::None;
  return value;
}

std::string SettingNumberMessage(const std::string& file, const char* section, const char* key,
                                 const std::string& value, NumberProblem why) {
  return StrFormat("Setting [%s] %s = %s in %s %s", section, key, std::string(Trimmed(value)).c_str(), file.c_str(),
                   Reason(why));
}

bool ReadSettingReal(const std::string& file, const char* section, const char* key, double fallback, double min,
                     double max, double& value, std::string& message) {
  return ReadSetting(file, section, key, fallback, value, message, [&](const std::string& text, NumberProblem& why) {
    return ParseSettingReal(text, min, max, why);
  });
}

bool ReadSettingInteger(const std::string& file, const char* section, const char* key, std::int64_t fallback, bool hex,
                        std::int64_t min, std::int64_t max, std::int64_t& value, std::string& message) {
  return ReadSetting(file, section, key, fallback, value, message, [&](const std::string& text, NumberProblem& why) {
    return ParseSettingInteger(text, hex, min, max, why);
  });
}

}  // namespace kx
