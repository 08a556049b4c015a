// Numbers read from settings files as text (limits, percentages, sizes, times)
// are parsed strictly: the whole value must be one number of the wanted kind,
// finite and in range. A value that is not is refused with a message naming the
// file, section, key and value; it is never turned into another number. A
// missing or empty key gives the caller's default.
//
// The integer switches read through the profile call keep that call's own
// parsing (leading digits, "0x" hex); these readers are for the values the
// program takes as text and converts itself.
#pragma once
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace kx {

// The catalogued code a step fails with when one of its settings is refused.
inline constexpr const char* kSettingNumberCode = "S_x29";

enum class NumberProblem { None, NotNumber, NotFinite, NotWhole, OutOfRange, TooLong };

// Blanks around the value are allowed (the profile reader trims them anyway);
// an empty text is NotNumber. Integers are decimal with an optional sign, or,
// with hex set, hexadecimal digits with an optional "0x".
std::optional<std::int64_t> ParseSettingInteger(std::string_view text, bool hex, std::int64_t min, std::int64_t max,
                                                NumberProblem& why);
std::optional<double> ParseSettingReal(std::string_view text, double min, double max, NumberProblem& why);

// "Setting [RDT] RDTLimit = nan in .\paramFDB.ini is not a valid number".
std::string SettingNumberMessage(const std::string& file, const char* section, const char* key,
                                 const std::string& value, NumberProblem why);

// Reads [section] key of file; a missing or empty value gives `fallback`.
// False, with the message, for a value refused, a value longer than 255
// characters included.
bool ReadSettingReal(const std::string& file, const char* section, const char* key, double fallback, double min,
                     double max, double& value, std::string& message);
bool ReadSettingInteger(const std::string& file, const char* section, const char* key, std::int64_t fallback, bool hex,
                        std::int64_t min, std::int64_t max, std::int64_t& value, std::string& message);

// The same into an integer type, within the type's range.
template <class T>
bool ReadSettingInt(const std::string& file, const char* section, const char* key, T fallback, T& value,
                    std::string& message, bool hex = false) {
  static_assert(std::numeric_limits<T>::max() <= std::numeric_limits<std::int64_t>::max(), "read into 64 bits");
  std::int64_t v = 0;
  if (!ReadSettingInteger(file, section, key, fallback, hex, std::numeric_limits<T>::min(),
                          static_cast<std::int64_t>(std::numeric_limits<T>::max()), v, message))
    return false;
  value = static_cast<T>(v);
  return true;
}

}  // namespace kx
