#include "crypto/MultiWord.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/crypto/BigIntTestUtil.h"

using namespace bigtest;

namespace {

// What each linear routine carries or shifts out of the top word; a zero word's lengths.
TEST(MultiWordTest, CarriesOutOfTheTopWord)
{
    EXPECT_EQ(0u, BitLengthOfWord(0));
    EXPECT_EQ(0u, ByteLengthOfWord(0));
    const uint32_t ones[2] = {0xFFFFFFFFu, 0xFFFFFFFFu}, one[2] = {1, 0};
    uint32_t r[2], z[2] = {0, 0}, s[2] = {0x80000001u, 0x80000000u};
    EXPECT_EQ(1u, AddWords(r, ones, one, 2));
    EXPECT_EQ(1u, SubtractWords(r, one, ones, 2));
    EXPECT_EQ(1u, DecrementWords(z, 2, 1));
    NegateWords(z, 2); // -(2^64 - 1) wraps to 1
    EXPECT_EQ("1", Hex(std::vector<uint32_t>{z[0], z[1]}));
    EXPECT_EQ(1u, ShiftLeftBits(s, 2, 1));
    EXPECT_EQ(0x80000000u, ShiftRightBits(s, 2, 2));
    EXPECT_EQ(0xFFFFFFFEu, MultiplyByWord(r, ones, 0xFFFFFFFFu, 2));
    uint32_t w[4] = {1, 2, 3, 4}, v[4] = {1, 2, 3, 4};
    ShiftRightWords(w, 4, 9); // limited to the length
    ShiftLeftWords(v, 4, 9);
    EXPECT_EQ(0u, CountWords(w, 4));
    EXPECT_EQ(0u, CountWords(v, 4));
}

// Every product kernel over power-of-two lengths, with random, all-ones,
// sparse and equal-halves operands.
TEST(MultiWordTest, ProductsMatchGmp)
{
    std::mt19937_64 rng(11);
    for (uint32_t n = 2; n <= 256; n *= 2) {
        for (int round = 0; round < 24; ++round) {
            SCOPED_TRACE("n=" + std::to_string(n) + " round " + std::to_string(round));
            std::vector<uint32_t> a = RandomWords(rng, n), b = RandomWords(rng, n);
            if (round % 6 == 1)
                std::copy(a.begin(), a.begin() + n / 2, a.begin() + n / 2); // A0 = A1
            if (round % 6 == 2)
                std::copy(b.begin(), b.begin() + n / 2, b.begin() + n / 2);
            if (round % 6 == 3)
                std::swap(a, b);
            const mpz_class ma = ToMpz(a.data(), n), mb = ToMpz(b.data(), n), p = ma * mb;
            const mpz_class base = mpz_class(1) << (32 * n);
            std::vector<uint32_t> r(2 * n), t(2 * n), lo(n), hi(n);
            KaratsubaMultiply(r.data(), t.data(), a.data(), b.data(), n);
            ASSERT_EQ(Hex(p), Hex(r)) << "product";
            KaratsubaSquare(r.data(), t.data(), a.data(), n);
            ASSERT_EQ(Hex(ma * ma), Hex(r)) << "square";
            KaratsubaMultiplyLow(lo.data(), t.data(), a.data(), b.data(), n);
            ASSERT_EQ(Hex(p % base), Hex(lo)) << "low half";
            KaratsubaMultiplyHigh(hi.data(), t.data(), lo.data(), a.data(), b.data(), n);
            ASSERT_EQ(Hex(p / base), Hex(hi)) << "high half";
        }
    }
}

// Limbs whose doubled cross products fill a column's middle limb: its carry must reach the next column.
TEST(MultiWordTest, SquareCarriesOutOfAFullColumn)
{
    const std::vector<uint32_t> a = {0xFFFFFFFFu, 0x7FFFFFFFu, 0xFFFFFFFFu, 0,
                                     0xFFFFFFFFu, 0xFFFFFFFFu, 0,           0x80000000u};
    std::vector<uint32_t> r(16), t(16);
    KaratsubaSquare(r.data(), t.data(), a.data(), 8);
    EXPECT_EQ(Hex(ToMpz(a.data(), 8) * ToMpz(a.data(), 8)), Hex(r));
}

TEST(MultiWordTest, DigitDivision)
{
    uint32_t a[3] = {5, 0, 1}; // 2^64 + 5
    EXPECT_EQ(2u, DivideThreeByTwo(a, 0, 0x80000000u));
    EXPECT_EQ("5", Hex(std::vector<uint32_t>{a[0], a[1], a[2]}));
    uint32_t t[4];
    // A zero divisor stands for 2^64: the quotient is the high half.
    const CDoubleWord q = DivideFourByTwo(t, CDoubleWord(1, 2), CDoubleWord(3, 4), CDoubleWord(0, 0));
    EXPECT_EQ(0x0000000400000003u, q.Value());
    EXPECT_EQ(0u, CDoubleWord(5, 0) / 0);
}

} // namespace
