// Hex helpers for the cipher and hash vector tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hexvec {

inline std::vector<uint8_t> FromHex(const std::string& text)
{
    std::vector<uint8_t> out;
    int high = -1;
    for (char ch : text) {
        int v;
        if (ch >= '0' && ch <= '9') v = ch - '0';
        else if (ch >= 'a' && ch <= 'f') v = ch - 'a' + 10;
        else if (ch >= 'A' && ch <= 'F') v = ch - 'A' + 10;
        else continue; // spaces and line breaks in long vectors
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
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

// Deterministic filler for the differential tests (xorshift).
class TestBytes
{
public:
    explicit TestBytes(uint64_t seed) : m_state(seed ? seed : 1) {}
    uint64_t Next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return m_state;
    }
    std::vector<uint8_t> Bytes(size_t n) {
        std::vector<uint8_t> out(n);
        for (auto& b : out) b = static_cast<uint8_t>(Next() >> 32);
        return out;
    }

private:
    uint64_t m_state;
};

} // namespace hexvec
