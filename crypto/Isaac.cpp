#include "crypto/Isaac.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

inline void Mix(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d,
                uint32_t& e, uint32_t& f, uint32_t& g, uint32_t& h)
{
    a ^= b << 11; d += a; b += c;
    b ^= c >> 2;  e += b; c += d;
    c ^= d << 8;  f += c; d += e;
    d ^= e >> 16; g += d; e += f;
    e ^= f << 10; h += e; f += g;
    f ^= g >> 4;  a += f; g += h;
    g ^= h << 8;  b += g; h += a;
    h ^= a >> 9;  c += h; a += b;
}

} // namespace

// Seeded before main() runs.
CIsaacRandom g_IsaacRandom;

uint8_t CIsaacRandom::SeedByte(int r1, int r2)
{
    // r2 is not cut to four bits: its high nibble is ORed over r1's low nibble.
    return static_cast<uint8_t>(((static_cast<unsigned>(r1 % 256) * 16u) |
                                 static_cast<unsigned>(r2 % 256)) & 0xFFu);
}

CIsaacRandom::CIsaacRandom()
    : m_count(0), m_results{}, m_memory{}, m_a(0), m_b(0), m_c(0), m_seed{}
{
    // Seeding from the time in whole seconds makes the output predictable to
    // anyone who knows when the process started; that is intended.
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    for (unsigned i = 0; i < kSize; ++i) {
        int r1 = std::rand();
        int r2 = std::rand();
        m_seed[i] = SeedByte(r1, r2);
    }
    // The 256 seed bytes fill words 0..63 (little-endian); words 64..255 stay
    // zero in every instance, not only in zero-filled static storage.
    for (unsigned k = 0; k < kSize / 4; ++k) {
        m_results[k] = static_cast<uint32_t>(m_seed[4 * k]) |
                       (static_cast<uint32_t>(m_seed[4 * k + 1]) << 8) |
                       (static_cast<uint32_t>(m_seed[4 * k + 2]) << 16) |
                       (static_cast<uint32_t>(m_seed[4 * k + 3]) << 24);
    }
    Init(1);
}

void CIsaacRandom::Init(int32_t flag)
{
    m_a = m_b = m_c = 0;
    uint32_t a, b, c, d, e, f, g, h;
    a = b = c = d = e = f = g = h = 0x9e3779b9u; // golden ratio
    for (int i = 0; i < 4; ++i)
        Mix(a, b, c, d, e, f, g, h);

    auto pass = [&](const uint32_t* add) {
        for (unsigned i = 0; i < kSize; i += 8) {
            if (add) {
                a += add[i];     b += add[i + 1]; c += add[i + 2]; d += add[i + 3];
                e += add[i + 4]; f += add[i + 5]; g += add[i + 6]; h += add[i + 7];
            }
            Mix(a, b, c, d, e, f, g, h);
            m_memory[i] = a;     m_memory[i + 1] = b; m_memory[i + 2] = c; m_memory[i + 3] = d;
            m_memory[i + 4] = e; m_memory[i + 5] = f; m_memory[i + 6] = g; m_memory[i + 7] = h;
        }
    };
    if (flag) {
        pass(m_results);
        pass(m_memory);
    } else {
        pass(nullptr);
    }
    Generate();
    m_count = kSize;
}

void CIsaacRandom::Generate()
{
    uint32_t* mm = m_memory;
    uint32_t a = m_a;
    uint32_t b = m_b + (++m_c);
    unsigned half = kSize / 2;
    for (unsigned i = 0; i < kSize; ++i) {
        uint32_t x = mm[i];
        switch (i & 3) {
        case 0: a ^= a << 13; break;
        case 1: a ^= a >> 6; break;
        case 2: a ^= a << 2; break;
        default: a ^= a >> 16; break;
        }
        a += mm[(i + half) & (kSize - 1)];
        uint32_t y = mm[(x >> 2) & (kSize - 1)] + a + b;
        mm[i] = y;
        b = mm[(y >> 10) & (kSize - 1)] + x;
        m_results[i] = b;
    }
    m_a = a;
    m_b = b;
}

uint32_t CIsaacRandom::NextWord()
{
    // Batches are handed out from the last word down to word 0.
    if (m_count == 0) {
        Generate();
        m_count = kSize - 1;
        return m_results[kSize - 1];
    }
    --m_count;
    return m_results[m_count];
}
