#include "crypto/RsaKeyGenerator.h"

#include "crypto/NumberTheory.h"

#include <gtest/gtest.h>

#include <ctime>
#include <random>

#include "tests/crypto/BigIntTestUtil.h"

using bigtest::B;
using bigtest::Hex;
using bigtest::Mpz;
using bigtest::RandomBig;
using bigtest::ToMpz;

namespace {

// Everything a key pair must satisfy, checked with GMP.
void CheckKey(CRsaKeyGenerator& g, uint32_t bits, std::mt19937_64& rng)
{
    const CBigInteger& p = *g.GetPrimeP();
    const CBigInteger& q = *g.GetPrimeQ();
    const CBigInteger& n = *g.GetModulus();
    const CBigInteger& d = *g.GetPrivateExponent();
    const CBigInteger& e = *g.GetPublicExponent();
    const Mpz mp = ToMpz(p), mq = ToMpz(q), mn = ToMpz(n), md = ToMpz(d), me = ToMpz(e);

    EXPECT_EQ(bits / 2, p.BitCount());
    EXPECT_EQ(bits / 2, q.BitCount());
    EXPECT_TRUE(p.IsOdd() && q.IsOdd());
    EXPECT_NE(0, mpz_probab_prime_p(mp.get(), 30));
    EXPECT_NE(0, mpz_probab_prime_p(mq.get(), 30));
    EXPECT_NE(p, q);
    EXPECT_EQ(Hex(p * q), Hex(n));
    EXPECT_TRUE(n.BitCount() == bits || n.BitCount() == bits - 1);

    Mpz phi, pm1, qm1, t;
    mpz_sub_ui(pm1.get(), mp.get(), 1);
    mpz_sub_ui(qm1.get(), mq.get(), 1);
    mpz_mul(phi.get(), pm1.get(), qm1.get());
    mpz_mul(t.get(), me.get(), md.get());
    mpz_mod(t.get(), t.get(), phi.get());
    EXPECT_EQ(0, mpz_cmp_ui(t.get(), 1)) << "e*d mod phi";
    EXPECT_LT(mpz_cmp(me.get(), phi.get()), 0);

    // d lies in [2^(bits-2) + 1, n - 2].
    EXPECT_GT(d, CBigInteger::Power2(bits - 2));
    EXPECT_LE(d, n - B(2));

    mpz_mul(t.get(), ToMpz(*g.GetCrtCoefficient()).get(), mq.get());
    mpz_mod(t.get(), t.get(), mp.get());
    EXPECT_EQ(0, mpz_cmp_ui(t.get(), 1)) << "qInv*q mod p";
    mpz_mod(t.get(), md.get(), pm1.get());
    EXPECT_EQ(t.Hex(), Hex(*g.GetExponentP()));
    mpz_mod(t.get(), md.get(), qm1.get());
    EXPECT_EQ(t.Hex(), Hex(*g.GetExponentQ()));

    // Round trips, directly and through the Chinese-remainder values.
    for (int i = 0; i < 4; ++i) {
        const CBigInteger m = RandomBig(rng, (bits + 31) / 32) % n;
        const CBigInteger c = ModPower(m, e, n);
        EXPECT_EQ(Hex(m), Hex(ModPower(c, d, n)));
        const CBigInteger m1 = ModPower(c, *g.GetExponentP(), p);
        const CBigInteger m2 = ModPower(c, *g.GetExponentQ(), q);
        const CBigInteger h = (*g.GetCrtCoefficient() * (m1 - m2)) % p;
        EXPECT_EQ(Hex(m), Hex(m2 + h * q));
    }
}

TEST(RsaKeyGeneratorTest, FreshObjectReadsZeroAndRefusedSizesChangeNothing)
{
    CRsaKeyGenerator g;
    for (uint32_t bits : {0u, 1u, 2u, 4u, 5u, 7u, 63u, 513u})
        EXPECT_FALSE(g.Generate(bits)) << bits;
    for (CBigInteger* v : {g.GetPublicExponent(), g.GetPrivateExponent(), g.GetModulus(), g.GetPrimeP(),
                           g.GetPrimeQ(), g.GetCrtCoefficient(), g.GetExponentP(), g.GetExponentQ()})
        EXPECT_TRUE(v->IsZero());
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
    for (uint32_t bits : {8u, 10u, 16u, 32u, 62u, 64u, 128u, 256u, 512u}) {
        ASSERT_TRUE(g.Generate(bits));
        CheckKey(g, bits, rng);
    }
    // A second call replaces the key.
    const CBigInteger first = *g.GetModulus();
    ASSERT_TRUE(g.Generate(512));
    EXPECT_NE(first, *g.GetModulus());
    CheckKey(g, 512, rng);
}

TEST(RsaKeyGeneratorTest, SameSecondSameKey)
{
    // Seeding comes from the clock in seconds: two generators made within one
    // second produce the same key.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const time_t before = time(nullptr);
        CRsaKeyGenerator a;
        CRsaKeyGenerator b;
        if (time(nullptr) != before)
            continue;
        ASSERT_TRUE(a.Generate(128));
        ASSERT_TRUE(b.Generate(128));
        EXPECT_EQ(*a.GetModulus(), *b.GetModulus());
        EXPECT_EQ(*a.GetPrivateExponent(), *b.GetPrivateExponent());
        return;
    }
    GTEST_SKIP() << "the clock turned a second each time";
}

} // namespace
