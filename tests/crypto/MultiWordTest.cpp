#include "crypto/MultiWord.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/crypto/BigIntTestUtil.h"

using bigtest::Mpz;
using bigtest::RandomWords;
using bigtest::ToMpz;

namespace {

std::string HexOf(const std::vector<uint32_t>& w)
{
    return ToMpz(w.data(), uint32_t(w.size())).Hex();
}

std::string ProductHex(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b)
{
    Mpz p;
    mpz_mul(p.get(), ToMpz(a.data(), uint32_t(a.size())).get(), ToMpz(b.data(), uint32_t(b.size())).get());
    return p.Hex();
}

TEST(MultiWordTest, WordRoutines)
{
    EXPECT_EQ(0u, BitLengthOfWord(0));
    EXPECT_EQ(1u, BitLengthOfWord(1));
    EXPECT_EQ(32u, BitLengthOfWord(0x80000000u));
    EXPECT_EQ(0u, ByteLengthOfWord(0));
    EXPECT_EQ(2u, ByteLengthOfWord(0x100));
    EXPECT_EQ(4u, ByteLengthOfWord(0x01000000));
    EXPECT_EQ(2u, WordsForBits(33));

    uint32_t a[4] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0};
    EXPECT_EQ(0u, IncrementWords(a, 4, 1));
    EXPECT_EQ(0u, a[0]);
    EXPECT_EQ(1u, a[2]);
    EXPECT_EQ(0u, DecrementWords(a, 4, 1));
    EXPECT_EQ(0xFFFFFFFFu, a[1]);
    uint32_t z[2] = {0, 0};
    EXPECT_EQ(1u, DecrementWords(z, 2, 1));
    NegateWords(z, 2); // -(2^64 - 1) = 1
    EXPECT_EQ(1u, z[0]);
    EXPECT_EQ(0u, z[1]);

    uint32_t s[2] = {0x80000001u, 0x80000000u};
    EXPECT_EQ(1u, ShiftLeftBits(s, 2, 1));
    EXPECT_EQ(2u, s[0]);
    EXPECT_EQ(1u, s[1]);
    EXPECT_EQ(0u, ShiftLeftBits(s, 2, 0));
    EXPECT_EQ(0x80000000u, ShiftRightBits(s, 2, 2));
    EXPECT_EQ(0x40000000u, s[0]);
    EXPECT_EQ(0u, s[1]);
    uint32_t w[4] = {1, 2, 3, 4};
    ShiftLeftWords(w, 4, 1);
    EXPECT_EQ((std::vector<uint32_t>{0, 1, 2, 3}), std::vector<uint32_t>(w, w + 4));
    ShiftRightWords(w, 4, 9); // limited to the length
    EXPECT_EQ((std::vector<uint32_t>{0, 0, 0, 0}), std::vector<uint32_t>(w, w + 4));

    uint32_t x[4] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
    uint32_t y[4] = {1, 0, 0, 0};
    uint32_t r[4];
    EXPECT_EQ(1u, AddWords(r, x, y, 4));
    EXPECT_EQ(0u, CountWords(r, 4));
    EXPECT_EQ(1u, SubtractWords(r, y, x, 4));
    EXPECT_EQ(2u, r[0]);
    EXPECT_EQ(-1, CompareWords(y, x, 4));
    uint32_t m[2];
    EXPECT_EQ(0xFFFFFFFEu, MultiplyByWord(m, x, 0xFFFFFFFFu, 2));

    uint32_t bytes[1] = {0x11223344u};
    uint32_t swapped[1];
    CopyWords(swapped, bytes, 1, true);
    EXPECT_EQ(0x44332211u, swapped[0]);
}

TEST(MultiWordTest, DoubleWordDivisionMatchesNative)
{
    std::mt19937_64 rng(7);
    const uint32_t divisors[] = {3, 5, 7, 255, 65535, 65536, 65537, 0x7FFFFFFFu, 0xFFFFFFFFu};
    for (int i = 0; i < 200; ++i) {
        const uint32_t lo = uint32_t(rng()), hi = uint32_t(rng());
        const uint64_t v = (uint64_t(hi) << 32) | lo;
        for (uint32_t d : divisors) {
            EXPECT_EQ(uint32_t(v % d), CDoubleWord(lo, hi) % d);
            if (hi < d) // the quotient fits in a word
            {
                EXPECT_EQ(uint32_t(v / d), CDoubleWord(lo, hi) / d);
            }
        }
    }
    EXPECT_EQ(0u, CDoubleWord(5, 0) / 0);
}

// Products of every kernel against GMP over power-of-two lengths, with random,
// all-ones, sparse and equal-halves operands.
TEST(MultiWordTest, ProductsMatchGmp)
{
    std::mt19937_64 rng(11);
    for (uint32_t n = 2; n <= 256; n *= 2) {
        for (int round = 0; round < 24; ++round) {
            std::vector<uint32_t> a = RandomWords(rng, n), b = RandomWords(rng, n);
            if (round % 6 == 1)
                std::copy(a.begin(), a.begin() + n / 2, a.begin() + n / 2); // A0 = A1
            if (round % 6 == 2)
                std::copy(b.begin(), b.begin() + n / 2, b.begin() + n / 2);
            if (round % 6 == 3)
                std::swap(a, b);
            std::vector<uint32_t> r(2 * n), t(2 * n);
            KaratsubaMultiply(r.data(), t.data(), a.data(), b.data(), n);
            const std::string full = ProductHex(a, b);
            ASSERT_EQ(full, HexOf(r)) << "n=" << n << " round=" << round;

            KaratsubaSquare(r.data(), t.data(), a.data(), n);
            ASSERT_EQ(ProductHex(a, a), HexOf(r)) << "square n=" << n;

            Mpz p, low, high;
            mpz_mul(p.get(), ToMpz(a.data(), n).get(), ToMpz(b.data(), n).get());
            mpz_fdiv_r_2exp(low.get(), p.get(), 32 * n);
            mpz_fdiv_q_2exp(high.get(), p.get(), 32 * n);
            std::vector<uint32_t> lo(n), tl(n);
            KaratsubaMultiplyLow(lo.data(), tl.data(), a.data(), b.data(), n);
            ASSERT_EQ(low.Hex(), HexOf(lo)) << "low n=" << n;
            std::vector<uint32_t> hi(n), th(2 * n);
            KaratsubaMultiplyHigh(hi.data(), th.data(), lo.data(), a.data(), b.data(), n);
            ASSERT_EQ(high.Hex(), HexOf(hi)) << "high n=" << n << " round=" << round;
        }
    }
}

TEST(MultiWordTest, UnbalancedProductsMatchGmp)
{
    std::mt19937_64 rng(13);
    for (uint32_t na = 2; na <= 32; na *= 2)
        for (uint32_t nb = na; nb <= 128; nb *= 2)
            for (int round = 0; round < 6; ++round) {
                std::vector<uint32_t> a = RandomWords(rng, na), b = RandomWords(rng, nb);
                if (na == 2 && round < 3)
                    a = {uint32_t(round == 2 ? rng() : round), 0}; // 0, 1 and one other word
                std::vector<uint32_t> r(na + nb), t(na + nb);
                UnbalancedMultiply(r.data(), t.data(), a.data(), na, b.data(), nb);
                ASSERT_EQ(ProductHex(a, b), HexOf(r)) << na << "x" << nb << " round " << round;
                UnbalancedMultiply(r.data(), t.data(), b.data(), nb, a.data(), na);
                ASSERT_EQ(ProductHex(a, b), HexOf(r)) << nb << "x" << na;
            }
}

TEST(MultiWordTest, DivisionMatchesGmp)
{
    std::mt19937_64 rng(17);
    for (uint32_t nb = 2; nb <= 40; nb += 2)
        for (uint32_t na = nb; na <= nb + 40; na += 2)
            for (int round = 0; round < 4; ++round) {
                std::vector<uint32_t> a = RandomWords(rng, na), b = RandomWords(rng, nb);
                if (round == 1)
                    b[nb - 1] = 0; // odd significant length: normalised by a whole word
                if (round == 2)
                    a[na - 1] = 0xFFFFFFFFu; // top words above 1 after normalisation
                if (CountWords(b.data(), nb) == 0 || (b[nb - 1] == 0 && b[nb - 2] == 0))
                    b[nb - 2] = 1 + uint32_t(rng());
                std::vector<uint32_t> r(nb), q(na - nb + 2), t(na + 2 * nb + 4);
                DivideWords(r.data(), q.data(), t.data(), a.data(), na, b.data(), nb);
                Mpz eq, er;
                mpz_fdiv_qr(eq.get(), er.get(), ToMpz(a.data(), na).get(), ToMpz(b.data(), nb).get());
                ASSERT_EQ(eq.Hex(), HexOf(q)) << na << "/" << nb << " round " << round;
                ASSERT_EQ(er.Hex(), HexOf(r)) << na << "/" << nb << " round " << round;
            }
}

TEST(MultiWordTest, DigitDivision)
{
    uint32_t a[3] = {5, 0, 1}; // 2^64 + 5
    EXPECT_EQ(2u, DivideThreeByTwo(a, 0, 0x80000000u));
    EXPECT_EQ(5u, a[0]);
    EXPECT_EQ(0u, a[2]);
    uint32_t t[4];
    // A zero divisor stands for 2^64: the quotient is the high half.
    const CDoubleWord q = DivideFourByTwo(t, CDoubleWord(1, 2), CDoubleWord(3, 4), CDoubleWord(0, 0));
    EXPECT_EQ(3u, q.GetLowHalf());
    EXPECT_EQ(4u, q.GetHighHalf());
}

} // namespace
