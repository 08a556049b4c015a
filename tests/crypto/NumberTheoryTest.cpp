#include "crypto/NumberTheory.h"

#include "crypto/MultiWord.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/crypto/BigIntTestUtil.h"

using namespace bigtest;

namespace {

TEST(NumberTheoryTest, GcdAndInverseEdges)
{
    struct Case { const char* name; CBigInteger value; int32_t expected; };
    const Case cases[] = {
        {"gcd(0, 7)", CBigInteger::Gcd(B(0), B(7)), 7},
        {"gcd(7, 0)", CBigInteger::Gcd(B(7), B(0)), 7},
        {"gcd drops signs", CBigInteger::Gcd(B(12), B(-18)), 6},
        {"negative value", B(-3).InverseMod(B(7)), 2},
        {"zero value", B(0).InverseMod(B(7)), 0},
        {"zero modulus", B(3).InverseMod(B(0)), 0},
        {"negative modulus", B(3).InverseMod(B(-7)), 0},
        {"word: no inverse", int32_t(B(2).InverseModWord(4)), 0},
        {"word: zero modulus", int32_t(B(3).InverseModWord(0)), 0},
        {"word: top modulus", int32_t(B(1).InverseModWord(0xFFFFFFFFu)), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, c.value.ToLong());
    }
}

// Odd moduli take the almost-inverse path, even ones Euclid's.
TEST(NumberTheoryTest, GcdAndInverseMatchGmp)
{
    std::mt19937_64 rng(21);
    for (uint32_t words = 1; words <= 70; words += (words < 10 ? 1 : 7))
        for (int round = 0; round < 6; ++round) {
            const CBigInteger a = RandomBig(rng, words);
            CBigInteger m = RandomBig(rng, 1 + uint32_t(rng() % (words + 2)));
            if (round % 2 == 0)
                m.SetBit(0);
            if (m.IsZero())
                m = B(97);
            SCOPED_TRACE("a=" + Hex(a) + " m=" + Hex(m));
            const mpz_class ma = ToMpz(a), mm = ToMpz(m);
            mpz_class e;
            ASSERT_EQ(Hex(gcd(ma, mm)), Hex(CBigInteger::Gcd(a, m))) << "gcd";
            const bool has = mpz_invert(e.get_mpz_t(), ma.get_mpz_t(), mm.get_mpz_t()) && mm != 1;
            ASSERT_EQ(has ? Hex(e) : "0", Hex(a.InverseMod(m))) << "inverse";

            const uint32_t wm = uint32_t(rng()) | 1;
            const bool hasWord = mpz_invert(e.get_mpz_t(), ma.get_mpz_t(), mpz_class(wm).get_mpz_t()) && wm != 1;
            ASSERT_EQ(hasWord ? e.get_ui() : 0u, a.InverseModWord(wm)) << "inverse modulo " << wm;
        }
}

TEST(NumberTheoryTest, ModPowerEdges)
{
    // 3^(2^64 + 1) mod 7: every bit of an exponent wider than the modulus counts.
    const CBigInteger wide = CBigInteger::Power2(64) + CBigInteger::One();
    struct Case { const char* name; CBigInteger value; int32_t expected; };
    const Case cases[] = {
        {"plain 4^13 mod 497", ModPowerPlain(B(4), B(13), B(497)), 445},
        {"x^0 mod 1", ModPower(B(12345), B(0), B(1)), 0},
        {"zero modulus", ModPower(B(2), B(10), B(0)), 0},
        {"negative modulus", ModPower(B(2), B(10), B(-7)), 0},
        {"plain, zero modulus", ModPowerPlain(B(2), B(10), B(0)), 0},
        {"negative exponent", ModPower(B(2), B(-3), B(7)), 0},
        {"plain, negative exponent", ModPowerPlain(B(2), B(-3), B(7)), 0},
        {"wide exponent", ModPower(B(3), wide, B(7)), 5},
        {"negative factor", ModMultiply(B(-5), B(5), B(50)), 25},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, c.value.ToLong());
    }
}

// Exponents below and above the modulus; even moduli take the plain route.
TEST(NumberTheoryTest, ModPowerMatchesGmp)
{
    std::mt19937_64 rng(23);
    for (uint32_t words = 1; words <= 40; words += (words < 9 ? 1 : 5))
        for (int round = 0; round < 6; ++round) {
            CBigInteger m = RandomBig(rng, words);
            m.SetBit(0, round < 4);
            if (m <= B(1))
                m = B(102);
            const CBigInteger x = RandomBig(rng, words + uint32_t(rng() % 3), true);
            const CBigInteger e = RandomBig(rng, 1 + uint32_t(rng() % (words + 2)));
            SCOPED_TRACE("x=" + Hex(x) + " e=" + Hex(e) + " m=" + Hex(m));
            mpz_class expect;
            mpz_powm(expect.get_mpz_t(), ToMpz(x).get_mpz_t(), ToMpz(e).get_mpz_t(), ToMpz(m).get_mpz_t());
            ASSERT_EQ(Hex(expect), Hex(ModPower(x, e, m))) << "ModPower";
            if (words <= 12) {
                ASSERT_EQ(Hex(expect), Hex(ModPowerPlain(x, e, m))) << "ModPowerPlain";
            }
        }
}

// Subtract with a plain operand and FromMontgomery of one wider than the form;
// Multiply and Square are pinned through ModPower.
TEST(NumberTheoryTest, MontgomeryFormTakesOperandsOfAnySize)
{
    std::mt19937_64 rng(29);
    for (uint32_t words : {1u, 2u, 3u, 8u, 16u, 33u}) {
        SCOPED_TRACE(std::to_string(words) + " words");
        CBigInteger m = RandomBig(rng, words);
        m.SetBit(32 * words - 1);
        m.SetBit(0);
        CMontgomeryForm form(m);
        const CBigInteger a = RandomBig(rng, words) % m, b = RandomBig(rng, words) % m;
        const CBigInteger am = form.ToMontgomery(a), bm = form.ToMontgomery(b);
        const mpz_class difference = (ToMpz(a) - ToMpz(b) + ToMpz(m)) % ToMpz(m);
        EXPECT_EQ(Hex(difference), Hex(form.FromMontgomery(CBigInteger(form.Subtract(am, bm))))) << "subtract";
        EXPECT_EQ(Hex(difference), Hex(form.FromMontgomery(CBigInteger(form.Subtract(am, CBigInteger(bm))))))
            << "subtract, mixed sizes";
        EXPECT_EQ(Hex(a), Hex(form.FromMontgomery(am + m * CBigInteger::Power2(40 * words)))) << "wide operand";
    }
}

// Meaningless values, but nothing outside the form is touched (the sanitizer build checks that).
TEST(NumberTheoryTest, MontgomeryFormOnBadModuliStaysInBounds)
{
    CMontgomeryForm even(B(1000));
    EXPECT_LT(CBigInteger(even.Multiply(even.ToMontgomery(B(3)), B(5))).WordCount(), 3u);
    CMontgomeryForm zero(B(0));
    EXPECT_TRUE(CBigInteger(zero.Square(zero.ToMontgomery(B(3)))).IsZero());
}

TEST(NumberTheoryTest, PowerOf2ShiftsModulo)
{
    std::mt19937_64 rng(31);
    for (uint32_t n : {2u, 4u, 8u, 16u, 32u}) {
        SCOPED_TRACE(std::to_string(n) + " words");
        std::vector<uint32_t> m = RandomWords(rng, n), v = RandomWords(rng, n), up(n), down(n);
        m[0] |= 1;
        m[n - 1] |= 0x80000000u;
        v[n - 1] = 0;
        const mpz_class mm = ToMpz(m.data(), n), mv = ToMpz(v.data(), n);
        MultiplyByPowerOf2Mod(up.data(), v.data(), 77, m.data(), n);
        EXPECT_EQ(Hex((mv << 77) % mm), Hex(up)) << "times 2^77";
        DivideByPowerOf2Mod(down.data(), up.data(), 77, m.data(), n);
        EXPECT_EQ(Hex(mv % mm), Hex(down)) << "and back";
    }
}

} // namespace
