// Conversions between CBigInteger, word arrays and GMP for the differential tests.
#pragma once

#include "crypto/BigInteger.h"

#include <gmpxx.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace bigtest {

inline CBigInteger B(int32_t v) { return CBigInteger(v); }

inline mpz_class ToMpz(const uint32_t* words, uint32_t n)
{
    mpz_class r;
    mpz_import(r.get_mpz_t(), n, -1, sizeof(uint32_t), 0, 0, words);
    return r;
}

inline mpz_class ToMpz(const CBigInteger& x)
{
    const mpz_class r = ToMpz(x.Words(), x.WordCount());
    return x.IsNegative() ? mpz_class(-r) : r;
}

inline CBigInteger FromMpz(const mpz_class& x) { return CBigInteger(x.get_str(16).c_str()); }

inline std::string Hex(const mpz_class& x) { return x.get_str(16); }
inline std::string Hex(const CBigInteger& x) { return Hex(ToMpz(x)); }
inline std::string Hex(const std::vector<uint32_t>& w) { return Hex(ToMpz(w.data(), uint32_t(w.size()))); }

// Words with runs of zeros and ones mixed in, which exercise carries.
inline std::vector<uint32_t> RandomWords(std::mt19937_64& rng, uint32_t n)
{
    std::vector<uint32_t> w(n);
    const unsigned style = unsigned(rng() % 5);
    for (auto& x : w) {
        if (style == 0)
            x = rng() % 8 == 0 ? uint32_t(rng()) : 0xFFFFFFFFu;
        else if (style == 1)
            x = rng() % 4 == 0 ? uint32_t(rng()) : 0;
        else
            x = uint32_t(rng());
    }
    return w;
}

// A random value of up to `words` words (its top may be zero), random sign when asked.
inline CBigInteger RandomBig(std::mt19937_64& rng, uint32_t words, bool allowNegative = false)
{
    std::vector<uint32_t> w = RandomWords(rng, words);
    if (!w.empty() && rng() % 3 == 0)
        w.back() >>= rng() % 32;
    CBigInteger r;
    r.AssignWords(w.data(), words, false, allowNegative && rng() % 2 ? 1 : 0);
    return r;
}

} // namespace bigtest
