#include "crypto/Prime.h"

#include "crypto/Isaac.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/crypto/BigIntTestUtil.h"

using namespace bigtest;

namespace {

CBigInteger Dec(const char* decimal) { return FromMpz(mpz_class(decimal)); }

TEST(PrimeTest, SmallPrimeTableHoldsThePrimesBelowTheBound)
{
    std::vector<uint16_t> table;
    BuildPrimeTable(table);
    ASSERT_EQ(kSmallPrimeCount, table.size());
    EXPECT_EQ(2, table.front());
    EXPECT_EQ(32719, table.back());
    for (uint16_t p : table)
        ASSERT_NE(0, mpz_probab_prime_p(mpz_class(p).get_mpz_t(), 25)) << p;
}

TEST(PrimeTest, JacobiMatchesGmp)
{
    EXPECT_EQ(0, Jacobi(B(3), B(8))) << "even b";
    EXPECT_EQ(0, Jacobi(B(3), B(-7))) << "negative b";
    std::mt19937_64 rng(41);
    for (uint32_t words = 1; words <= 20; ++words)
        for (int round = 0; round < 8; ++round) {
            const CBigInteger a = RandomBig(rng, 1 + uint32_t(rng() % (words + 1)), true);
            CBigInteger b = RandomBig(rng, words);
            b.SetBit(0);
            SCOPED_TRACE("a=" + Hex(a) + " b=" + Hex(b));
            ASSERT_EQ(mpz_jacobi(ToMpz(a).get_mpz_t(), ToMpz(b).get_mpz_t()), Jacobi(a, b));
        }
}

// V_k = p V_(k-1) - V_(k-2), V_0 = 2, V_1 = p, straight from the recurrence.
TEST(PrimeTest, LucasSequenceFollowsTheRecurrence)
{
    std::mt19937_64 rng(43);
    for (uint32_t words : {1u, 2u, 5u, 16u}) {
        CBigInteger n = RandomBig(rng, words);
        n.SetBit(32 * words - 1);
        n.SetBit(0);
        const mpz_class mn = ToMpz(n);
        const long p = long(3 + rng() % 1000);
        mpz_class v0 = 2, v1 = p;
        ASSERT_EQ(2, LucasV(B(0), B(int32_t(p)), n).ToLong()) << "V_0";
        for (int k = 1; k <= 300; ++k) {
            SCOPED_TRACE("n=" + Hex(n) + " p=" + std::to_string(p) + " k=" + std::to_string(k));
            ASSERT_EQ(Hex(v1), Hex(LucasV(B(k), B(int32_t(p)), n)));
            const mpz_class next = ((p * v1 - v0) % mn + mn) % mn;
            v0 = v1;
            v1 = next;
        }
    }
}

TEST(PrimeTest, SmallValuesAndTableBoundary)
{
    struct Case { int n; bool prime; };
    for (const Case& c : {Case{-7, false}, Case{0, false}, Case{1, false}, Case{2, true}, Case{3, true},
                          Case{4, false}, Case{9, false}, Case{32719, true}, Case{32715, false},
                          Case{32721, false}, Case{32749, true}}) {
        SCOPED_TRACE(c.n);
        EXPECT_EQ(c.prime, IsPrime(B(c.n)));
    }
    EXPECT_FALSE(IsStrongLucasProbablePrime(B(1)));
    EXPECT_TRUE(IsStrongLucasProbablePrime(B(2)));
    // A square of a prime: the parameter search ends on the square check.
    EXPECT_FALSE(IsStrongLucasProbablePrime(B(32749) * B(32749)));
}

TEST(PrimeTest, CarmichaelNumbersAreComposite)
{
    for (const char* c : {"561", "41041", "62745", "63973", "75361", "101101", "126217", "172081", "188461",
                          "252601", "278545", "294409", "314821", "334153", "340561", "399001", "410041",
                          "449065", "488881", "512461", "9999109081", "6553130926753", "1436697831295441"}) {
        SCOPED_TRACE(c);
        EXPECT_FALSE(IsPrime(Dec(c)));
    }
}

// Strong pseudoprimes to bases 2 and 3 (and beyond) pass those trials but not the full tests.
TEST(PrimeTest, StrongPseudoprimesAreComposite)
{
    for (const char* c : {"2047", "1373653", "25326001", "3215031751", "2152302898747", "3474749660383",
                          "341550071728321", "3825123056546413051", "318665857834031151167461",
                          "3317044064679887385961981"}) {
        SCOPED_TRACE(c);
        EXPECT_TRUE(FastPrimeTest(Dec(c))) << "base 2";
        EXPECT_FALSE(IsPrime(Dec(c)));
        EXPECT_FALSE(IsStrongLucasProbablePrime(Dec(c)));
        CIsaacRandom rng;
        EXPECT_FALSE(VerifyPrime(rng, Dec(c), 1));
        EXPECT_FALSE(RabinMillerTest(rng, Dec(c), 20)) << "random bases";
    }
}

TEST(PrimeTest, RabinMillerOnTinyValues)
{
    CIsaacRandom rng;
    EXPECT_TRUE(RabinMillerTest(rng, B(3), 5));
    EXPECT_FALSE(RabinMillerTest(rng, B(4), 5));
}

// Random odd values and primes up to 16 words, as GMP sees them.
TEST(PrimeTest, IsPrimeMatchesGmp)
{
    std::mt19937_64 rng(47);
    for (uint32_t words = 1; words <= 16; ++words)
        for (int round = 0; round < 12; ++round) {
            CBigInteger n = RandomBig(rng, words);
            n.SetBit(0);
            if (round % 3 == 0) {
                mpz_class next;
                mpz_nextprime(next.get_mpz_t(), ToMpz(n).get_mpz_t());
                n = FromMpz(next);
            }
            SCOPED_TRACE(Hex(n));
            const bool expect = mpz_probab_prime_p(ToMpz(n).get_mpz_t(), 30) != 0;
            ASSERT_EQ(expect, IsPrime(n));
            if (expect) {
                EXPECT_TRUE(FastPrimeTest(n));
                CIsaacRandom r;
                EXPECT_TRUE(VerifyPrime(r, n, 1));
            }
        }
}

// An even start moves to the next odd value; a start above the bound finds nothing.
TEST(PrimeTest, FirstPrimeSearch)
{
    struct Case { int start, bound, found; };
    for (const Case& c : {Case{15, 30, 17}, Case{3, 3, 3}, Case{4, 100, 5}, Case{2, 2, 2}, Case{24, 28, 0},
                          Case{105, 99, 0}}) {
        SCOPED_TRACE(std::to_string(c.start) + " to " + std::to_string(c.bound));
        CBigInteger p(c.start);
        ASSERT_EQ(c.found != 0, FirstPrime(p, B(c.bound)));
        if (c.found != 0) {
            EXPECT_EQ(c.found, p.ToLong());
        }
    }
}

// Every candidate the sieve offers is free of table-prime factors, and every
// value it skips has one; two windows are crossed.
TEST(PrimeTest, SieveStrikesExactlyTheMultiples)
{
    std::vector<uint16_t> table;
    BuildPrimeTable(table);
    const CBigInteger first = CBigInteger::Power2(100) + B(1);
    const uint32_t entries = CPrimeSieve::kWindow + 500;
    for (uint32_t delta : {0u, 1u}) {
        SCOPED_TRACE("delta " + std::to_string(delta));
        CPrimeSieve sieve(first, first + B(int32_t(2 * (entries - 1))), B(2), delta);
        const CBigInteger half = (first - CBigInteger(int32_t(delta))) >> 1;
        std::vector<uint32_t> expected, got;
        for (uint32_t j = 0; j < entries; ++j) {
            bool free = true;
            for (size_t i = 0; i < table.size() && free; ++i) {
                free = (first.ModuloWord(table[i]) + 2 * uint64_t(j)) % table[i] != 0;
                // (c - delta) / 2 is sieved by the odd table primes only.
                if (delta != 0 && table[i] != 2)
                    free = free && (half.ModuloWord(table[i]) + uint64_t(j)) % table[i] != 0;
            }
            if (free)
                expected.push_back(j);
        }
        CBigInteger c;
        while (sieve.NextCandidate(c))
            got.push_back(uint32_t(((c - first) >> 1).ToLong()));
        EXPECT_EQ(expected, got);
    }
}

// Draws reach both parts of the range: its ends, or the top bit of a full word,
// or the word above a full one.
TEST(PrimeTest, RandomValuesCoverTheRange)
{
    const CBigInteger p31 = CBigInteger::Power2(31), p64 = CBigInteger::Power2(64);
    struct Range { const char* name; CBigInteger lo, hi, below, above; };
    const Range ranges[] = {
        {"5 to 9", B(5), B(9), B(5), B(9)},
        {"one full word", B(0), CBigInteger(0xFFFFFFFFu, 1u), p31 - B(1), p31},
        {"into a third word", CBigInteger::Power2(63), p64 * B(2) - B(1), p64 - B(1), p64},
    };
    CIsaacRandom rng;
    for (const Range& r : ranges) {
        SCOPED_TRACE(r.name);
        bool sawBelow = false, sawAbove = false;
        CBigInteger x;
        for (int i = 0; i < 400; ++i) {
            x.Randomize(rng, r.lo, r.hi);
            ASSERT_TRUE(x >= r.lo && x <= r.hi) << Hex(x);
            sawBelow |= x <= r.below;
            sawAbove |= x >= r.above;
        }
        EXPECT_TRUE(sawBelow) << "low part reached";
        EXPECT_TRUE(sawAbove) << "high part reached";
    }
}

TEST(PrimeTest, EmptyRangesAndKinds)
{
    CIsaacRandom rng;
    CBigInteger x;
    // An empty range gives 0 at once instead of drawing for ever.
    x.Randomize(rng, B(9), B(5));
    EXPECT_TRUE(x.IsZero());
    x.Randomize(rng, B(-9), B(0));
    EXPECT_TRUE(x.IsZero());
    EXPECT_FALSE(x.GenerateRandom(rng, B(7), B(7), 0)) << "empty range, odd";
    EXPECT_FALSE(x.GenerateRandom(rng, B(1), B(100), 2)) << "unknown kind";
    ASSERT_TRUE(x.GenerateRandom(rng, B(10), B(11), 0));
    EXPECT_EQ(11, x.ToLong()) << "odd value in [10, 11]";
    // No prime in [24, 28]: the 16th attempt finds that out.
    EXPECT_FALSE(x.GenerateRandom(rng, B(24), B(28), 1));
}

} // namespace
