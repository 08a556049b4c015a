// Hex helpers for the cipher and hash vector tests.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace hexvec {

inline std::vector<uint8_t> FromHex(const std::string& text)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string ToHex(const uint8_t* data, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

inline std::string ToHex(const std::vector<uint8_t>& data) { return ToHex(data.data(), data.size()); }

// Deterministic filler for the differential tests.
inline std::vector<uint8_t> RandomBytes(std::mt19937& rng, size_t n)
{
    std::vector<uint8_t> out(n);
    for (auto& b : out)
        b = static_cast<uint8_t>(rng());
    return out;
}

} // namespace hexvec
