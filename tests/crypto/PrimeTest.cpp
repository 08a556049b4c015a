#include "crypto/Prime.h"

#include "crypto/Isaac.h"
#include "crypto/NumberTheory.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <random>
#include <vector>

#include "tests/crypto/BigIntTestUtil.h"

using bigtest::FromMpz;
using bigtest::B;
using bigtest::Hex;
using bigtest::Mpz;
using bigtest::RandomBig;
using bigtest::ToMpz;

namespace {

CBigInteger Dec(const char* decimal)
{
    return FromMpz(Mpz(decimal));
}

TEST(PrimeTest, SmallPrimeTable)
{
    std::vector<uint16_t> table;
    BuildPrimeTable(table);
    ASSERT_EQ(3511u, table.size());
    EXPECT_EQ(2, table[0]);
    EXPECT_EQ(3, table[1]);
    EXPECT_EQ(5, table[2]);
    EXPECT_EQ(32719, table.back());
    for (uint16_t p : table)
        ASSERT_NE(0, mpz_probab_prime_p(Mpz(long(p)).get(), 25)) << p;
}

TEST(PrimeTest, JacobiSymbol)
{
    EXPECT_EQ(1, Jacobi(B(2), B(7)));
    EXPECT_EQ(-1, Jacobi(B(3), B(7)));
    EXPECT_EQ(0, Jacobi(B(7), B(21)));
    EXPECT_EQ(0, Jacobi(B(3), B(8))); // even b
    EXPECT_EQ(0, Jacobi(B(3), B(-7)));
    std::mt19937_64 rng(41);
    for (uint32_t words = 1; words <= 20; ++words)
        for (int round = 0; round < 8; ++round) {
            const CBigInteger a = RandomBig(rng, 1 + uint32_t(rng() % (words + 1)), true);
            CBigInteger b = RandomBig(rng, words);
            b.SetBit(0);
            ASSERT_EQ(mpz_jacobi(ToMpz(a).get(), ToMpz(b).get()), Jacobi(a, b)) << Hex(a) << " " << Hex(b);
        }
}

TEST(PrimeTest, LucasSequence)
{
    EXPECT_EQ(2, LucasV(B(0), B(5), B(101)).ToLong());
    EXPECT_EQ(5, LucasV(B(1), B(5), B(101)).ToLong());
    EXPECT_EQ(4, LucasV(B(1), B(105), B(101)).ToLong());
    std::mt19937_64 rng(43);
    for (uint32_t words : {1u, 2u, 5u, 16u}) {
        CBigInteger n = RandomBig(rng, words);
        n.SetBit(32 * words - 1);
        n.SetBit(0);
        const Mpz mn = ToMpz(n);
        const long p = long(3 + rng() % 1000);
        // V_k = p V_(k-1) - V_(k-2), straight from the recurrence.
        Mpz v0(2L), v1(p), t;
        mpz_mod(v1.get(), v1.get(), mn.get());
        for (int k = 1; k <= 300; ++k) {
            ASSERT_EQ(v1.Hex(), Hex(LucasV(B(k), B(int32_t(p)), n))) << "k=" << k;
            mpz_mul_si(t.get(), v1.get(), p);
            mpz_sub(t.get(), t.get(), v0.get());
            mpz_mod(t.get(), t.get(), mn.get());
            v0 = v1;
            v1 = t;
        }
    }
}

TEST(PrimeTest, ProbablePrimeEdges)
{
    EXPECT_TRUE(IsStrongProbablePrime(B(2), B(5)));
    EXPECT_TRUE(IsStrongProbablePrime(B(3), B(5)));
    EXPECT_FALSE(IsStrongProbablePrime(B(1), B(2)));
    EXPECT_FALSE(IsStrongProbablePrime(B(4), B(3)));
    EXPECT_FALSE(IsStrongProbablePrime(B(9), B(2)));
    EXPECT_TRUE(IsStrongProbablePrime(B(2047), B(2)));
    EXPECT_FALSE(IsStrongProbablePrime(B(15), B(3)));
    EXPECT_FALSE(IsStrongProbablePrime(B(-7), B(3)));

    EXPECT_FALSE(IsPrime(B(2047)));
    for (int p : {2, 3, 5, 7, 32719})
        EXPECT_TRUE(IsPrime(B(p))) << p;
    for (int c : {-7, 0, 1, 4, 9, 561, 32715})
        EXPECT_FALSE(IsPrime(B(c))) << c;
    EXPECT_TRUE(IsPrime(B(32749)));  // first prime above the table
    EXPECT_FALSE(IsPrime(B(32721))); // 3 * 13 * 839

    EXPECT_FALSE(IsStrongLucasProbablePrime(B(1)));
    EXPECT_TRUE(IsStrongLucasProbablePrime(B(2)));
    EXPECT_FALSE(IsStrongLucasProbablePrime(B(4)));
    // A square of a prime: the parameter search ends on the square check.
    EXPECT_FALSE(IsStrongLucasProbablePrime(B(32749) * B(32749)));
}

// Carmichael numbers and strong pseudoprimes to bases 2 and 3 (and beyond)
// pass the base-2 trial but not the full test.
TEST(PrimeTest, KnownCompositesRefused)
{
    const char* carmichael[] = {"41041",  "62745",      "63973",      "75361",   "101101",
                                "126217", "172081",     "188461",     "252601",  "278545",
                                "294409", "314821",     "334153",     "340561",  "399001",
                                "410041", "449065",     "488881",     "512461",  "3215031751",
                                "9999109081", "6553130926753", "1436697831295441"};
    for (const char* c : carmichael)
        EXPECT_FALSE(IsPrime(Dec(c))) << c;

    const char* strong[] = {"1373653",           "25326001",          "3215031751",
                            "2152302898747",     "3474749660383",     "341550071728321",
                            "3825123056546413051", "318665857834031151167461",
                            "3317044064679887385961981"};
    for (const char* c : strong) {
        EXPECT_TRUE(FastPrimeTest(Dec(c))) << c;
        EXPECT_TRUE(IsStrongProbablePrime(Dec(c), B(3))) << c;
        EXPECT_FALSE(IsPrime(Dec(c))) << c;
        EXPECT_FALSE(IsStrongLucasProbablePrime(Dec(c))) << c;
        CIsaacRandom rng;
        EXPECT_FALSE(VerifyPrime(rng, Dec(c), 1)) << c;
    }
}

// IsPrime against GMP and OpenSSL on random odd values and on primes.
TEST(PrimeTest, IsPrimeMatchesGmpAndOpenSsl)
{
    std::mt19937_64 rng(47);
    BN_CTX* ctx = BN_CTX_new();
    int primes = 0;
    for (uint32_t words = 1; words <= 16; ++words)
        for (int round = 0; round < 12; ++round) {
            CBigInteger n = RandomBig(rng, words);
            n.SetBit(0);
            Mpz mn = ToMpz(n);
            if (round % 3 == 0) {
                mpz_nextprime(mn.get(), mn.get());
                n = FromMpz(mn);
            }
            const bool expect = mpz_probab_prime_p(mn.get(), 30) != 0;
            primes += expect;
            ASSERT_EQ(expect, IsPrime(n)) << Hex(n);
            BIGNUM* bn = nullptr;
            BN_hex2bn(&bn, Hex(n).c_str());
            ASSERT_EQ(expect, BN_check_prime(bn, ctx, nullptr) == 1) << Hex(n);
            BN_free(bn);
            if (expect) {
                EXPECT_TRUE(FastPrimeTest(n));
                CIsaacRandom r;
                EXPECT_TRUE(VerifyPrime(r, n, 1));
            }
        }
    BN_CTX_free(ctx);
    EXPECT_GT(primes, 50);
}

TEST(PrimeTest, FirstPrimeSearch)
{
    // start, bound, prime found (0: none). An even start moves to the next odd
    // value; a start above the bound finds nothing.
    const int cases[][3] = {{15, 30, 17}, {3, 3, 3}, {4, 100, 5}, {5, 5, 5}, {2, 2, 2}, {24, 28, 0}, {105, 99, 0}};
    for (const auto& c : cases) {
        CBigInteger p(c[0]);
        EXPECT_EQ(c[2] != 0, FirstPrime(p, B(c[1]))) << c[0];
        EXPECT_TRUE(c[2] == 0 || c[2] == p.ToLong()) << c[0];
    }

    // The first prime at or above a random start, as GMP finds it.
    std::mt19937_64 rng(53);
    for (uint32_t words : {2u, 4u, 9u}) {
        CBigInteger start = RandomBig(rng, words);
        start.SetBit(32 * words - 1);
        Mpz expect;
        mpz_sub_ui(expect.get(), ToMpz(start).get(), 1);
        mpz_nextprime(expect.get(), expect.get());
        CBigInteger q = start;
        ASSERT_TRUE(FirstPrime(q, start + CBigInteger::Power2(20)));
        EXPECT_BIG_EQ(expect, q);
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
        CPrimeSieve sieve(first, first + B(int32_t(2 * (entries - 1))), B(2), delta);
        std::vector<uint32_t> residue(table.size()), halfResidue(table.size());
        const CBigInteger half = (first - CBigInteger(int32_t(delta))) >> 1;
        for (size_t i = 0; i < table.size(); ++i) {
            residue[i] = first.ModuloWord(table[i]);
            halfResidue[i] = half.ModuloWord(table[i]);
        }
        std::vector<uint32_t> expected;
        for (uint32_t j = 0; j < entries; ++j) {
            bool free = true;
            for (size_t i = 0; i < table.size() && free; ++i) {
                free = (residue[i] + 2 * uint64_t(j)) % table[i] != 0;
                // (c - delta) / 2 is sieved by the odd table primes only.
                if (delta != 0 && table[i] != 2)
                    free = free && (halfResidue[i] + uint64_t(j)) % table[i] != 0;
            }
            if (free)
                expected.push_back(j);
        }
        std::vector<uint32_t> got;
        CBigInteger c;
        while (sieve.NextCandidate(c))
            got.push_back(uint32_t(((c - first) >> 1).ToLong()));
        EXPECT_EQ(expected, got) << "delta " << delta;
    }

    // Small values: the candidates are exactly the odd primes, the table
    // primes themselves not struck out.
    CPrimeSieve small(B(3), B(2001), B(2), 0);
    CBigInteger c;
    std::vector<int> got;
    while (small.NextCandidate(c))
        got.push_back(c.ToLong());
    std::vector<int> primes;
    for (uint16_t p : table)
        if (p >= 3 && p <= 2001)
            primes.push_back(p);
    EXPECT_EQ(primes, got);
}

TEST(PrimeTest, RandomValues)
{
    CIsaacRandom rng;
    CBigInteger x;
    // Draw order and masking: words from the bottom, the top word masked.
    const CBigInteger max = CBigInteger::Power2(64) + B(5);
    CIsaacRandom copy = rng;
    x.Randomize(rng, B(0), max);
    CBigInteger expect;
    do {
        uint32_t w[3];
        w[0] = copy.NextWord();
        w[1] = copy.NextWord();
        w[2] = copy.NextWord() & 1;
        expect.AssignWords(w, 3, false, 0);
    } while (expect > max);
    EXPECT_EQ(Hex(expect), Hex(x));

    // At least one draw even when the current value already lies in range.
    copy = rng;
    x = B(3);
    x.Randomize(rng, B(0), B(10));
    uint32_t first;
    do
        first = copy.NextWord() & 15;
    while (first > 10);
    EXPECT_EQ(int32_t(first), x.ToLong());

    // A 32-bit top word is drawn in full.
    copy = rng;
    x.Randomize(rng, B(0), CBigInteger(0xFFFFFFFFu, 1u));
    EXPECT_EQ(Hex(CBigInteger(copy.NextWord(), 1u)), Hex(x));

    bool sawLow = false, sawHigh = false;
    for (int i = 0; i < 200; ++i) {
        x.Randomize(rng, B(5), B(9));
        ASSERT_TRUE(x >= B(5) && x <= B(9));
        sawLow |= x == B(5);
        sawHigh |= x == B(9);
    }
    EXPECT_TRUE(sawLow && sawHigh);
    // An empty range gives 0 at once instead of drawing for ever.
    x.Randomize(rng, B(9), B(5));
    EXPECT_TRUE(x.IsZero());
    x.Randomize(rng, B(-9), B(0));
    EXPECT_TRUE(x.IsZero());

    EXPECT_FALSE(x.GenerateRandom(rng, B(7), B(7), 0));
    EXPECT_FALSE(x.GenerateRandom(rng, B(7), B(7), 1));
    EXPECT_FALSE(x.GenerateRandom(rng, B(1), B(100), 2));
    int failures = 0;
    for (int i = 0; i < 100; ++i) {
        if (x.GenerateRandom(rng, B(10), B(12), 0))
            EXPECT_EQ(11, x.ToLong());
        else
            ++failures; // the draw was 12: odd 13 lies above the range
    }
    EXPECT_GT(failures, 0);
    EXPECT_LT(failures, 100);

    // No prime in [24, 28]: the 16th attempt finds that out.
    EXPECT_FALSE(x.GenerateRandom(rng, B(24), B(28), 1));

    const CBigInteger lo = CBigInteger::Power2(255) + B(1), hi = CBigInteger::Power2(256) - B(1);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(x.GenerateRandom(rng, lo, hi, 1));
        EXPECT_TRUE(x >= lo && x <= hi);
        EXPECT_NE(0, mpz_probab_prime_p(ToMpz(x).get(), 30));
        EXPECT_TRUE(RabinMillerTest(rng, x, 5));
    }
    EXPECT_FALSE(RabinMillerTest(rng, B(1105), 5));
    EXPECT_TRUE(RabinMillerTest(rng, B(3), 5));
    EXPECT_FALSE(RabinMillerTest(rng, B(4), 5));
}

} // namespace
