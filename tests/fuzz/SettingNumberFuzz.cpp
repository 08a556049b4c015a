// Settings-number parsing on arbitrary text: the first byte picks the kind and
// range, the rest is the value. An accepted value must lie in its range, be
// finite, and an accepted integer must print back to a text read as the same.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "device/SettingNumbers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  kx::NumberProblem why = kx::NumberProblem::None;
  if (mode & 1) {
    const double max = (mode & 2) ? 100 : 1e300, min = (mode & 4) ? -max : 0;
    const auto v = kx::ParseSettingReal(text, min, max, why);
    if (v.has_value() != (why == kx::NumberProblem::None)) std::abort();
    if (v && (!std::isfinite(*v) || *v < min || *v > max)) std::abort();
  } else {
    const bool hex = mode & 2;
    const std::int64_t max = (mode & 4) ? INT32_MAX : 0xFFFF, min = (mode & 8) ? INT32_MIN : 0;
    const auto v = kx::ParseSettingInteger(text, hex, min, max, why);
    if (v.has_value() != (why == kx::NumberProblem::None)) std::abort();
    if (v && (*v < min || *v > max)) std::abort();
    if (v && !hex && kx::ParseSettingInteger(std::to_string(*v), false, min, max, why) != v) std::abort();
  }
  return 0;
}
