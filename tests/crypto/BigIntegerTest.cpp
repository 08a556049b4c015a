#include "crypto/BigInteger.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/crypto/BigIntTestUtil.h"

using namespace bigtest;

namespace {

TEST(BigIntegerTest, SizeLadder)
{
    const uint32_t ladder[][2] = {{0, 2}, {2, 2}, {3, 4}, {5, 8}, {8, 8}, {9, 16}, {17, 32}, {1000, 1024}};
    for (const auto& l : ladder) {
        SCOPED_TRACE(std::to_string(l[0]) + " words");
        EXPECT_EQ(l[1], CBigInteger::RoundUpSize(l[0]));
    }
}

CBigInteger Incremented(CBigInteger x, int times)
{
    for (; times > 0; --times)
        ++x;
    for (; times < 0; ++times)
        --x;
    return x;
}

TEST(BigIntegerTest, ValuesAtTheEdges)
{
    const uint32_t words[3] = {0x04030201u, 0x08070605u, 0};
    CBigInteger swapped, quotient(5), remainder(5);
    swapped.AssignWords(words, 3, true, 1);
    CBigInteger::Divide(remainder, quotient, B(-17), CBigInteger());
    struct Case { const char* name; CBigInteger value; const char* hex; };
    const Case cases[] = {
        {"INT32_MIN", B(INT32_MIN), "-80000000"},
        {"sign, high, low", CBigInteger(1u, 1u, 2u), "-100000002"},
        {"byte-swapped words", swapped, "-506070801020304"},
        {"hex with prefix", CBigInteger("0x1F"), "1f"},
        {"negative hex", CBigInteger("-ff"), "-ff"},
        {"hex with a space", CBigInteger("12 34"), "1234"},
        {"empty hex", CBigInteger(""), "0"},
        {"mixed-case hex over four words", CBigInteger("123456789ABCDEF0123456789abcdef"),
         "123456789abcdef0123456789abcdef"},
        {"2^64 - 1 incremented", Incremented(CBigInteger::Power2(64) - B(1), 1), "10000000000000000"},
        {"0 decremented twice", Incremented(B(0), -2), "-2"},
        {"2^64 decremented", Incremented(CBigInteger::Power2(64), -1), "ffffffffffffffff"},
        {"-2^64 incremented", Incremented(CBigInteger::Power2(64).Negated(), 1), "-ffffffffffffffff"},
        {"negative zero incremented", Incremented(CBigInteger(1u, 0u, 0u), 1), "1"},
        {"2^31 to long", B(CBigInteger::Power2(31).ToLong()), "-1"},
        {"-2^31 to long", B(CBigInteger::Power2(31).Negated().ToLong()), "-80000000"},
        {"2^40 to long", B(CBigInteger::Power2(40).ToLong()), "-1"},
        {"-7 / -2 as an int divisor keeps its sign", B(-7) / -2, "4"},
        {"quotient by zero", quotient, "0"},
        {"remainder by zero", remainder, "0"},
        {"square root of -4", B(-4).SquareRoot(), "0"},
        {"square root of 15", B(15).SquareRoot(), "3"},
        {"inverse of -1", B(-1).MultiplicativeInverse(), "-1"},
        {"inverse of 7", B(7).MultiplicativeInverse(), "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.hex, Hex(c.value));
    }
}

// A zero with sign 1 can be built, and then orders below zero; results never carry it.
TEST(BigIntegerTest, NegativeZero)
{
    const CBigInteger negZero(1u, 0u, 0u);
    EXPECT_TRUE(negZero.IsZero());
    EXPECT_LT(negZero, CBigInteger());
    EXPECT_FALSE(Incremented(B(-1), 1).IsNegative()) << "-1 incremented";
    EXPECT_FALSE((B(-1) >> 3).IsNegative()) << "-1 shifted right";
    EXPECT_FALSE(B(0).Negated().IsNegative()) << "0 negated";
}

// Assigning a value to itself, or its own buffer to it, changes nothing.
TEST(BigIntegerTest, SelfAssignmentKeepsTheValue)
{
    CBigInteger x("-123456789abcdef01");
    const CBigInteger& self = x;  // through a reference, so that no compiler flags the self-assignment
    x = self;
    x.AssignWords(x.Words(), x.Size(), false, 0);
    EXPECT_EQ("-123456789abcdef01", Hex(x));
}

TEST(BigIntegerTest, BitAndByteQueries)
{
    const CBigInteger x("1234567890");
    EXPECT_EQ(5u, x.ByteCount());
    EXPECT_EQ(37u, x.BitCount());
    EXPECT_EQ(0x12u, x.GetByte(4));
    EXPECT_EQ(0u, x.GetByte(400));
    EXPECT_EQ(0x9u, x.GetBits(4, 4));
    CBigInteger s;
    s.SetBit(100);
    EXPECT_EQ(101u, s.BitCount());
    s.SetBit(5000, false); // beyond the buffer: nothing happens
    EXPECT_FALSE(s.GetBit(5000));
}

TEST(BigIntegerTest, WordDivisionByZeroGivesZero)
{
    uint32_t rem = 9;
    CBigInteger q(5);
    CBigInteger::DivideByWord(rem, q, B(17), 0);
    EXPECT_EQ(0u, rem);
    EXPECT_TRUE(q.IsZero());
    EXPECT_EQ(0u, B(17).ModuloWord(0));
}

// Euclidean division: a = q*b + r with 0 <= r < |b|.
mpz_class EuclideanRemainder(const mpz_class& a, const mpz_class& b)
{
    mpz_class r;
    mpz_mod(r.get_mpz_t(), a.get_mpz_t(), b.get_mpz_t());
    return r;
}

// Signed arithmetic, roots, word division and shifts against GMP over sizes on both
// sides of each word-count step and every sign pair.
TEST(BigIntegerTest, ArithmeticMatchesGmp)
{
    std::mt19937_64 rng(5);
    const uint32_t sizes[] = {1, 2, 3, 4, 5, 8, 9, 16, 17, 32, 33, 64, 65, 128, 129};
    for (uint32_t sa : sizes)
        for (uint32_t sb : sizes) {
            const CBigInteger a = RandomBig(rng, sa, true);
            CBigInteger b = RandomBig(rng, sb, true);
            if (b.IsZero())
                b = B(3);
            SCOPED_TRACE("a=" + Hex(a) + " b=" + Hex(b));
            const mpz_class ma = ToMpz(a), mb = ToMpz(b), r = EuclideanRemainder(ma, mb);
            CBigInteger sum = a, difference = a, product = a;
            ASSERT_EQ(Hex(ma + mb), Hex(a + b)) << "a + b";
            ASSERT_EQ(Hex(ma + mb), Hex(sum += b)) << "a += b";
            ASSERT_EQ(Hex(ma - mb), Hex(a - b)) << "a - b";
            ASSERT_EQ(Hex(ma - mb), Hex(difference -= b)) << "a -= b";
            ASSERT_EQ(Hex(ma * mb), Hex(a * b)) << "a * b";
            ASSERT_EQ(Hex(ma * mb), Hex(product *= b)) << "a *= b";
            ASSERT_EQ(Hex(ma * ma), Hex(a.Squared())) << "a squared";
            ASSERT_EQ(Hex(r), Hex(a % b)) << "a % b";
            ASSERT_EQ(Hex((ma - r) / mb), Hex(a / b)) << "a / b";
            ASSERT_EQ((ma > mb) - (ma < mb), CBigInteger::Compare(a, b)) << "compare";
            ASSERT_EQ(Hex(ma > 0 ? mpz_class(sqrt(ma)) : mpz_class(0)), Hex(a.SquareRoot())) << "square root of a";
            if (a.IsPositive()) { // a zero with sign 1 is no square
                ASSERT_EQ(mpz_perfect_square_p(ma.get_mpz_t()) != 0, a.IsSquare()) << "a is a square";
            }
            ASSERT_TRUE(a.Squared().IsSquare()) << "a squared is a square";
            ASSERT_EQ(mpz_divisible_ui_p(ma.get_mpz_t(), 3) != 0, a.IsDivisibleBy3()) << "3 divides a";

            // Words of every route: powers of two, 3 and 5, and the rest.
            for (uint32_t w : {uint32_t(rng()) | 1, 2u, 3u, 5u, 6u, 1u << 20}) {
                uint32_t rem;
                CBigInteger q;
                CBigInteger::DivideByWord(rem, q, a, w);
                const mpz_class mw = w, expected = EuclideanRemainder(ma, mw);
                ASSERT_EQ(expected.get_ui(), rem) << "a mod word " << w;
                ASSERT_EQ(Hex((ma - expected) / mw), Hex(q)) << "a div word " << w;
                ASSERT_EQ(expected.get_ui(), a.ModuloWord(w)) << "a modulo word " << w;
            }

            const uint32_t shift = uint32_t(rng() % 200);
            const mpz_class power = mpz_class(1) << shift, low = EuclideanRemainder(ma, power);
            ASSERT_EQ(Hex(ma << shift), Hex(a << shift)) << "a << " << shift;
            ASSERT_EQ(Hex(ma / power), Hex(a >> shift)) << "a >> " << shift << " acts on the magnitude";
            CBigInteger q, rem;
            CBigInteger::DivideByPowerOf2(rem, q, a, shift);
            ASSERT_EQ(Hex((ma - low) / power), Hex(q)) << "a div 2^" << shift;
            ASSERT_EQ(Hex(low), Hex(rem)) << "a mod 2^" << shift;
        }
}

TEST(BigIntegerTest, AliasedOperands)
{
    const CBigInteger x("123456789abcdef0123456789abcdef");
    const mpz_class mx = ToMpz(x);
    CBigInteger a = x, b = x, c = x;
    EXPECT_EQ(Hex(2 * mx), Hex(a += a));
    EXPECT_TRUE((a -= a).IsZero());
    EXPECT_EQ(Hex(mx * mx), Hex(b *= b));
    EXPECT_TRUE((c %= c).IsZero());
}

} // namespace
