// Conversions between CBigInteger, word arrays and GMP for the differential tests.
#pragma once

#include "crypto/BigInteger.h"

#include <gmp.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace bigtest {

// RAII mpz_t.
class Mpz
{
public:
    Mpz() { mpz_init(m_value); }
    explicit Mpz(const char* decimal) { mpz_init_set_str(m_value, decimal, 10); }
    explicit Mpz(long v) { mpz_init_set_si(m_value, v); }
    Mpz(const Mpz& o) { mpz_init_set(m_value, o.m_value); }
    Mpz& operator=(const Mpz& o) {
        mpz_set(m_value, o.m_value);
        return *this;
    }
    ~Mpz() { mpz_clear(m_value); }
    mpz_ptr get() { return m_value; }
    mpz_srcptr get() const { return m_value; }
    std::string Hex() const
    {
        char* s = mpz_get_str(nullptr, 16, m_value);
        std::string r(s);
        void (*freeFunc)(void*, size_t);
        mp_get_memory_functions(nullptr, nullptr, &freeFunc);
        freeFunc(s, r.size() + 1);
        return r;
    }

private:
    mpz_t m_value;
};

inline CBigInteger B(int32_t v)
{
    return CBigInteger(v);
}

inline Mpz ToMpz(const CBigInteger& x)
{
    Mpz r;
    mpz_import(r.get(), x.WordCount(), -1, sizeof(uint32_t), 0, 0, x.Words());
    if (x.IsNegative())
        mpz_neg(r.get(), r.get());
    return r;
}

inline CBigInteger FromMpz(const Mpz& x)
{
    size_t count = 0;
    std::vector<uint32_t> words(mpz_size(x.get()) * 2 + 2, 0);
    mpz_export(words.data(), &count, -1, sizeof(uint32_t), 0, 0, x.get());
    CBigInteger r;
    r.AssignWords(words.data(), uint32_t(count), false, mpz_sgn(x.get()) < 0 ? 1 : 0);
    return r;
}

inline std::string Hex(const CBigInteger& x)
{
    return ToMpz(x).Hex();
}

inline Mpz ToMpz(const uint32_t* words, uint32_t n)
{
    Mpz r;
    mpz_import(r.get(), n, -1, sizeof(uint32_t), 0, 0, words);
    return r;
}

// Words with runs of zeros and ones mixed in, which exercise carries.
inline std::vector<uint32_t> RandomWords(std::mt19937_64& rng, uint32_t n)
{
    std::vector<uint32_t> w(n);
    const unsigned style = unsigned(rng() % 5);
    for (auto& x : w) {
        switch (style) {
        case 0:
            x = 0xFFFFFFFFu;
            if (rng() % 8 == 0)
                x = uint32_t(rng());
            break;
        case 1:
            x = rng() % 4 == 0 ? uint32_t(rng()) : 0;
            break;
        default:
            x = uint32_t(rng());
        }
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

#define EXPECT_BIG_EQ(expected_mpz, actual_big) \
    EXPECT_EQ((expected_mpz).Hex(), bigtest::Hex(actual_big))
