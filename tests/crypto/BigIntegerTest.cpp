#include "crypto/BigInteger.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/crypto/BigIntTestUtil.h"

using bigtest::FromMpz;
using bigtest::B;
using bigtest::Hex;
using bigtest::Mpz;
using bigtest::RandomBig;
using bigtest::ToMpz;

namespace {

TEST(BigIntegerTest, ConstructionAndBuffers)
{
    EXPECT_EQ(2u, CBigInteger().Size());
    EXPECT_TRUE(CBigInteger().IsZero());
    EXPECT_EQ("-7", Hex(B(-7)));
    EXPECT_EQ("-80000000", Hex(B(INT32_MIN)));
    EXPECT_EQ(8u, CBigInteger(5u, 5u).Size());
    EXPECT_EQ("5", Hex(CBigInteger(5u, 5u)));
    EXPECT_EQ("-100000002", Hex(CBigInteger(1u, 1u, 2u)));

    const uint32_t ladder[][2] = {{0, 2}, {1, 2}, {2, 2}, {3, 4}, {4, 4}, {5, 8}, {8, 8}, {9, 16}, {17, 32},
                                  {33, 64}, {64, 64}, {65, 128}, {129, 256}, {1000, 1024}};
    for (const auto& l : ladder)
        EXPECT_EQ(l[1], CBigInteger::RoundUpSize(l[0])) << l[0];

    const CBigInteger p0 = CBigInteger::Power2(0);
    EXPECT_EQ("1", Hex(p0));
    EXPECT_EQ(2u, p0.Size());
    const CBigInteger p64 = CBigInteger::Power2(64);
    EXPECT_EQ("10000000000000000", Hex(p64));
    EXPECT_EQ(4u, p64.Size());

    // A copy takes the ladder size of the significant words only.
    CBigInteger wide(3u, 60u);
    CBigInteger copy(wide);
    EXPECT_EQ(64u, wide.Size());
    EXPECT_EQ(2u, copy.Size());
    copy = copy; // self-assignment keeps the value
    EXPECT_EQ("3", Hex(copy));

    const uint32_t words[3] = {0x04030201u, 0x08070605u, 0};
    CBigInteger w;
    w.AssignWords(words, 3, true, 1);
    EXPECT_EQ("-506070801020304", Hex(w));
    EXPECT_EQ(2u, w.Size());
    w.AssignWords(w.Words(), 2, false, 0); // its own buffer: nothing happens
    EXPECT_TRUE(w.IsNegative());
}

TEST(BigIntegerTest, HexText)
{
    EXPECT_EQ("10", Hex(CBigInteger("10")));
    EXPECT_EQ("1f", Hex(CBigInteger("0x1F")));
    EXPECT_EQ("-ff", Hex(CBigInteger("-ff")));
    EXPECT_EQ("1234", Hex(CBigInteger("12 34")));
    EXPECT_TRUE(CBigInteger("").IsZero());
    EXPECT_EQ("123456789abcdef0123456789abcdef", Hex(CBigInteger("123456789ABCDEF0123456789abcdef")));
}

TEST(BigIntegerTest, Queries)
{
    const CBigInteger x("1234567890");
    EXPECT_EQ(2u, x.WordCount());
    EXPECT_EQ(5u, x.ByteCount());
    EXPECT_EQ(37u, x.BitCount());
    EXPECT_EQ(0x90u, x.GetByte(0));
    EXPECT_EQ(0x12u, x.GetByte(4));
    EXPECT_EQ(0u, x.GetByte(400));
    EXPECT_FALSE(x.GetBit(4000));
    EXPECT_EQ(0x9u, x.GetBits(4, 4));
    EXPECT_EQ(0u, CBigInteger().BitCount());

    CBigInteger s;
    s.SetBit(100);
    EXPECT_EQ(4u, s.Size());
    EXPECT_EQ(101u, s.BitCount());
    s.SetBit(100, false);
    s.SetBit(5000, false); // beyond the buffer: nothing happens
    EXPECT_TRUE(s.IsZero());

    EXPECT_TRUE(B(-1).IsUnit());
    EXPECT_TRUE(B(1).IsUnit());
    EXPECT_FALSE(B(2).IsUnit());
    EXPECT_TRUE(CBigInteger(1u, 0u, 0u).IsZero()); // a zero with sign 1
    EXPECT_LT(CBigInteger(1u, 0u, 0u), CBigInteger());

    std::mt19937_64 rng(9);
    for (uint32_t words = 1; words < 20; ++words) {
        const CBigInteger x = RandomBig(rng, words, true);
        EXPECT_EQ(mpz_divisible_ui_p(ToMpz(x).get(), 3) != 0, x.IsDivisibleBy3()) << Hex(x);
    }

    EXPECT_EQ(-1, CBigInteger::Power2(31).ToLong());
    EXPECT_EQ(INT32_MIN, CBigInteger::Power2(31).Negated().ToLong());
    EXPECT_EQ(-5, B(-5).ToLong());
    EXPECT_EQ(-1, CBigInteger::Power2(40).ToLong());
    EXPECT_EQ(0x7FFFFFFF, B(0x7FFFFFFF).ToLong());
}

// Every sign combination; the GMP test below covers the word, power-of-two and
// modulo forms on random values.
TEST(BigIntegerTest, SignedDivisionIsEuclidean)
{
    struct Case {
        int a, b, q, r;
    };
    for (const Case& c : {Case{-7, 2, -4, 1}, Case{7, -2, -3, 1}, Case{-7, -2, 4, 1}, Case{7, 2, 3, 1},
                          Case{-6, 3, -2, 0}, Case{-1, 5, -1, 4}}) {
        CBigInteger r, q;
        CBigInteger::Divide(r, q, B(c.a), B(c.b));
        EXPECT_EQ(c.q, q.ToLong()) << c.a << "/" << c.b;
        EXPECT_EQ(c.r, r.ToLong()) << c.a << "%" << c.b;
    }
    uint32_t rem;
    CBigInteger q;
    CBigInteger::DivideByWord(rem, q, B(-7), 2); // the power-of-two route
    EXPECT_EQ(-4, q.ToLong());
    EXPECT_EQ(1u, rem);
    EXPECT_EQ(-1, (B(-1) / 2u).ToLong());
    EXPECT_EQ(-3, (B(-7) >> 1).ToLong()); // shifts act on the magnitude
    EXPECT_EQ(4, (B(-7) / -2).ToLong()); // an int divisor keeps its sign
}

TEST(BigIntegerTest, ZeroDivisorGivesZero)
{
    CBigInteger r(5), q(5);
    CBigInteger::Divide(r, q, B(-17), CBigInteger());
    EXPECT_TRUE(r.IsZero());
    EXPECT_TRUE(q.IsZero());
    uint32_t rem = 9;
    CBigInteger::DivideByWord(rem, q, B(17), 0);
    EXPECT_EQ(0u, rem);
    EXPECT_TRUE(q.IsZero());
    EXPECT_EQ(0u, B(17).ModuloWord(0));
    EXPECT_TRUE((B(17) % CBigInteger()).IsZero());
}

TEST(BigIntegerTest, IncrementDecrementAndZero)
{
    CBigInteger x;
    x.AssignWords(std::vector<uint32_t>{0xFFFFFFFFu, 0xFFFFFFFFu}.data(), 2, false, 0);
    ++x;
    EXPECT_EQ("10000000000000000", Hex(x));
    EXPECT_EQ(4u, x.Size());

    CBigInteger z;
    --z;
    EXPECT_EQ(-1, z.ToLong());
    ++z;
    EXPECT_FALSE(z.IsNegative());
    --z;
    --z;
    EXPECT_EQ(-2, z.ToLong());

    CBigInteger n = B(-1);
    n >>= 3;
    EXPECT_FALSE(n.IsNegative());
    CBigInteger zero;
    zero.Negate();
    EXPECT_FALSE(zero.IsNegative());
    CBigInteger negZero(1u, 0u, 0u);
    ++negZero;
    EXPECT_EQ(1, negZero.ToLong());
}

TEST(BigIntegerTest, RootsAndInverse)
{
    EXPECT_TRUE(B(0).SquareRoot().IsZero());
    EXPECT_TRUE(B(-4).SquareRoot().IsZero());
    EXPECT_EQ(3, B(15).SquareRoot().ToLong());
    EXPECT_EQ(4, B(16).SquareRoot().ToLong());
    EXPECT_TRUE(B(16).IsSquare());
    EXPECT_FALSE(B(15).IsSquare());
    EXPECT_EQ(-1, B(-1).MultiplicativeInverse().ToLong());
    EXPECT_TRUE(B(7).MultiplicativeInverse().IsZero());

    std::mt19937_64 rng(3);
    for (uint32_t words = 1; words < 40; words += 3) {
        const CBigInteger x = RandomBig(rng, words);
        Mpz e;
        mpz_sqrt(e.get(), ToMpz(x).get());
        EXPECT_BIG_EQ(e, x.SquareRoot());
        EXPECT_TRUE(x.Squared().IsSquare());
    }

    CBigInteger a(5), b(9);
    SwapBigIntegers(a, b);
    EXPECT_EQ(9, a.ToLong());
    EXPECT_EQ(5, b.ToLong());
}

// The four signed operations, shifts and word division against GMP, over many
// sizes and sign combinations.
TEST(BigIntegerTest, ArithmeticMatchesGmp)
{
    std::mt19937_64 rng(5);
    const uint32_t sizes[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 48, 64, 65, 100, 128, 129};
    for (uint32_t sa : sizes)
        for (uint32_t sb : sizes) {
            const CBigInteger a = RandomBig(rng, sa, true);
            CBigInteger b = RandomBig(rng, sb, true);
            if (b.IsZero())
                b = B(3);
            const Mpz ma = ToMpz(a), mb = ToMpz(b);
            Mpz e;
            mpz_add(e.get(), ma.get(), mb.get());
            ASSERT_EQ(e.Hex(), Hex(a + b)) << sa << " " << sb;
            mpz_sub(e.get(), ma.get(), mb.get());
            ASSERT_EQ(e.Hex(), Hex(a - b)) << sa << " " << sb;
            mpz_mul(e.get(), ma.get(), mb.get());
            ASSERT_EQ(e.Hex(), Hex(a * b)) << sa << " " << sb;

            CBigInteger acc = a;
            acc += b;
            mpz_add(e.get(), ma.get(), mb.get());
            ASSERT_EQ(e.Hex(), Hex(acc));
            acc -= b;
            acc -= b;
            mpz_sub(e.get(), ma.get(), mb.get());
            ASSERT_EQ(e.Hex(), Hex(acc));
            acc *= b;
            mpz_mul(e.get(), e.get(), mb.get());
            ASSERT_EQ(e.Hex(), Hex(acc));

            // Euclidean: 0 <= r < |b|.
            Mpz er, eq;
            mpz_mod(er.get(), ma.get(), mb.get());
            mpz_sub(eq.get(), ma.get(), er.get());
            mpz_divexact(eq.get(), eq.get(), mb.get());
            CBigInteger r, q;
            CBigInteger::Divide(r, q, a, b);
            ASSERT_EQ(er.Hex(), Hex(r)) << sa << " " << sb;
            ASSERT_EQ(eq.Hex(), Hex(q)) << sa << " " << sb;
            ASSERT_EQ(er.Hex(), Hex(a % b));
            ASSERT_EQ(eq.Hex(), Hex(a / b));

            const uint32_t d = uint32_t(rng()) >> (rng() % 32);
            if (d != 0) {
                uint32_t rem;
                CBigInteger::DivideByWord(rem, q, a, d);
                const unsigned long expectRem = mpz_fdiv_q_ui(eq.get(), ma.get(), d);
                ASSERT_EQ(expectRem, rem) << d;
                ASSERT_EQ(eq.Hex(), Hex(q)) << d;
                ASSERT_EQ(expectRem, a.ModuloWord(d)) << d;
            }
            for (uint32_t d2 : {2u, 3u, 5u, 6u, 1u << 20})
                ASSERT_EQ(mpz_fdiv_ui(ma.get(), d2), a.ModuloWord(d2)) << d2;

            const uint32_t shift = uint32_t(rng() % 200);
            mpz_mul_2exp(e.get(), ma.get(), shift);
            ASSERT_EQ(e.Hex(), Hex(a << shift));
            mpz_tdiv_q_2exp(e.get(), ma.get(), shift); // toward zero
            ASSERT_EQ(e.Hex(), Hex(a >> shift));
            CBigInteger::DivideByPowerOf2(r, q, a, shift);
            mpz_fdiv_q_2exp(eq.get(), ma.get(), shift);
            mpz_fdiv_r_2exp(er.get(), ma.get(), shift);
            ASSERT_EQ(eq.Hex(), Hex(q)) << shift;
            ASSERT_EQ(er.Hex(), Hex(r)) << shift;

            ASSERT_EQ(mpz_cmp(ma.get(), mb.get()) > 0 ? 1 : mpz_cmp(ma.get(), mb.get()) < 0 ? -1 : 0,
                      CBigInteger::Compare(a, b));
            mpz_mul(e.get(), ma.get(), ma.get());
            ASSERT_EQ(e.Hex(), Hex(a.Squared()));
        }
}

TEST(BigIntegerTest, AliasedOperands)
{
    CBigInteger a("123456789abcdef0123456789abcdef");
    const Mpz ma = ToMpz(a);
    Mpz e;
    a += a;
    mpz_mul_ui(e.get(), ma.get(), 2);
    EXPECT_BIG_EQ(e, a);
    a -= a;
    EXPECT_TRUE(a.IsZero());
    EXPECT_FALSE(a.IsNegative());
    CBigInteger b = FromMpz(ma);
    b *= b;
    mpz_mul(e.get(), ma.get(), ma.get());
    EXPECT_BIG_EQ(e, b);
    CBigInteger c = FromMpz(ma);
    c %= c;
    EXPECT_TRUE(c.IsZero());
    CBigInteger d = FromMpz(ma);
    CBigInteger::Divide(d, d, d, B(7)); // remainder and quotient in one object
    EXPECT_LT(d.ToLong(), 7);
}

} // namespace
