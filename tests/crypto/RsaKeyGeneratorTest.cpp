#include "crypto/RsaKeyGenerator.h"

#include "crypto/NumberTheory.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/crypto/BigIntTestUtil.h"

using namespace bigtest;

namespace {

// Everything a key pair must satisfy, checked with GMP.
void CheckKey(CRsaKeyGenerator& g, uint32_t bits, std::mt19937_64& rng)
{
    const CBigInteger &p = *g.GetPrimeP(), &q = *g.GetPrimeQ(), &n = *g.GetModulus();
    const CBigInteger &d = *g.GetPrivateExponent(), &e = *g.GetPublicExponent();
    const mpz_class mp = ToMpz(p), mq = ToMpz(q), md = ToMpz(d), phi = (mp - 1) * (mq - 1);

    EXPECT_EQ(bits / 2, p.BitCount());
    EXPECT_EQ(bits / 2, q.BitCount());
    EXPECT_NE(0, mpz_probab_prime_p(mp.get_mpz_t(), 30)) << "p prime";
    EXPECT_NE(0, mpz_probab_prime_p(mq.get_mpz_t(), 30)) << "q prime";
    EXPECT_NE(p, q);
    EXPECT_EQ(Hex(mp * mq), Hex(n));
    EXPECT_EQ(1, ToMpz(e) * md % phi) << "e*d mod phi";
    EXPECT_LT(ToMpz(e), phi) << "e below phi";
    // d lies in [2^(bits-2) + 1, n - 2].
    EXPECT_GT(d, CBigInteger::Power2(bits - 2));
    EXPECT_LE(d, n - B(2));
    EXPECT_EQ(1, ToMpz(*g.GetCrtCoefficient()) * mq % mp) << "qInv*q mod p";
    EXPECT_EQ(Hex(md % (mp - 1)), Hex(*g.GetExponentP())) << "d mod (p - 1)";
    EXPECT_EQ(Hex(md % (mq - 1)), Hex(*g.GetExponentQ())) << "d mod (q - 1)";

    // Round trips, directly and through the Chinese-remainder values.
    for (int i = 0; i < 4; ++i) {
        const CBigInteger m = RandomBig(rng, (bits + 31) / 32) % n;
        const CBigInteger c = ModPower(m, e, n);
        EXPECT_EQ(Hex(m), Hex(ModPower(c, d, n))) << "plain round trip";
        const CBigInteger m1 = ModPower(c, *g.GetExponentP(), p);
        const CBigInteger m2 = ModPower(c, *g.GetExponentQ(), q);
        const CBigInteger h = (*g.GetCrtCoefficient() * (m1 - m2)) % p;
        EXPECT_EQ(Hex(m), Hex(m2 + h * q)) << "CRT round trip";
    }
}

TEST(RsaKeyGeneratorTest, RefusedSizesLeaveTheKeyZero)
{
    CRsaKeyGenerator g;
    for (uint32_t bits : {0u, 2u, 4u, 5u, 7u, 63u, 513u}) {
        SCOPED_TRACE(std::to_string(bits) + " bits");
        EXPECT_FALSE(g.Generate(bits));
    }
    EXPECT_TRUE(g.GetModulus()->IsZero());
    EXPECT_TRUE(g.GetPrivateExponent()->IsZero());
}

TEST(RsaKeyGeneratorTest, KeysHaveTheRequiredProperties)
{
    std::mt19937_64 rng(61);
    CRsaKeyGenerator g;
    // 6 bits: the primes come from [5, 7], so p = q must be redrawn until n = 35.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(g.Generate(6));
        EXPECT_EQ(35, g.GetModulus()->ToLong());
        CheckKey(g, 6, rng);
    }
    for (uint32_t bits : {8u, 16u, 62u, 64u, 256u, 512u}) {
        SCOPED_TRACE(std::to_string(bits) + " bits");
        ASSERT_TRUE(g.Generate(bits));
        CheckKey(g, bits, rng);
    }
}

} // namespace
