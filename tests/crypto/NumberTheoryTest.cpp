#include "crypto/NumberTheory.h"

#include "crypto/MultiWord.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/err.h>

#include <memory>
#include <random>
#include <vector>

#include "tests/crypto/BigIntTestUtil.h"

using bigtest::FromMpz;
using bigtest::B;
using bigtest::Hex;
using bigtest::Mpz;
using bigtest::RandomBig;
using bigtest::RandomWords;
using bigtest::ToMpz;

namespace {

struct BnDeleter
{
    void operator()(BIGNUM* b) const { BN_free(b); }
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnDeleter>;

BnPtr ToBn(const CBigInteger& x)
{
    BIGNUM* b = nullptr;
    const std::string hex = Hex(x);
    BN_hex2bn(&b, hex.c_str());
    return BnPtr(b);
}

std::string BnHex(const BIGNUM* b)
{
    char* s = BN_bn2hex(b);
    std::string r(s);
    OPENSSL_free(s);
    for (char& c : r)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    const size_t nz = r.find_first_not_of('0');
    return nz == std::string::npos ? "0" : r.substr(nz);
}

TEST(NumberTheoryTest, GcdAndInverseEdges)
{
    EXPECT_EQ(6, CBigInteger::Gcd(B(12), B(18)).ToLong());
    EXPECT_EQ(7, CBigInteger::Gcd(B(0), B(7)).ToLong());
    EXPECT_EQ(7, CBigInteger::Gcd(B(7), B(0)).ToLong());
    EXPECT_EQ(6, CBigInteger::Gcd(B(12), B(-18)).ToLong()); // signs are dropped

    EXPECT_EQ(5, B(3).InverseMod(B(7)).ToLong());
    EXPECT_EQ(0, B(4).InverseMod(B(8)).ToLong());
    EXPECT_EQ(3, B(3).InverseMod(B(8)).ToLong());
    EXPECT_EQ(5, B(10).InverseMod(B(7)).ToLong());
    EXPECT_EQ(2, B(-3).InverseMod(B(7)).ToLong());
    EXPECT_EQ(1, B(1).InverseMod(B(10)).ToLong());
    EXPECT_TRUE(B(0).InverseMod(B(7)).IsZero());
    // Zero and negative moduli give 0.
    EXPECT_TRUE(B(3).InverseMod(B(0)).IsZero());
    EXPECT_TRUE(B(3).InverseMod(B(-7)).IsZero());

    EXPECT_EQ(5u, B(3).InverseModWord(7));
    EXPECT_EQ(0u, B(2).InverseModWord(4));
    EXPECT_EQ(0u, B(0).InverseModWord(5));
    EXPECT_EQ(0u, B(3).InverseModWord(0));
    EXPECT_EQ(1u, B(1).InverseModWord(0xFFFFFFFFu));
}

// Gcd and inverses against GMP, inverses also against OpenSSL's BN.
TEST(NumberTheoryTest, GcdAndInverseMatchGmpAndOpenSsl)
{
    std::mt19937_64 rng(21);
    std::unique_ptr<BN_CTX, BnDeleter> ctx(BN_CTX_new());
    for (uint32_t words = 1; words <= 70; words += (words < 10 ? 1 : 7))
        for (int round = 0; round < 6; ++round) {
            const CBigInteger a = RandomBig(rng, words);
            CBigInteger m = RandomBig(rng, 1 + uint32_t(rng() % (words + 2)));
            if (round % 2 == 0)
                m.SetBit(0); // odd modulus: the almost-inverse path
            if (m.IsZero())
                m = B(97);
            const Mpz ma = ToMpz(a), mm = ToMpz(m);
            Mpz e;
            mpz_gcd(e.get(), ma.get(), mm.get());
            ASSERT_EQ(e.Hex(), Hex(CBigInteger::Gcd(a, m)));
            const int has = mpz_invert(e.get(), ma.get(), mm.get()) && mpz_cmp_ui(mm.get(), 1) != 0;
            const CBigInteger inv = a.InverseMod(m);
            ASSERT_EQ(has ? e.Hex() : "0", Hex(inv)) << words << " " << round;
            ERR_clear_error();
            BnPtr bnInv(BN_mod_inverse(nullptr, ToBn(a).get(), ToBn(m).get(), ctx.get()));
            if (bnInv && !m.IsUnit()) {
                ASSERT_EQ(BnHex(bnInv.get()), Hex(inv));
            }

            const uint32_t wm = uint32_t(rng()) | 1;
            const bool coprime = mpz_gcd_ui(nullptr, ma.get(), wm) == 1 && wm != 1;
            const uint32_t iw = a.InverseModWord(wm);
            ASSERT_EQ(coprime ? 1u : 0u, coprime ? uint32_t((uint64_t(a.ModuloWord(wm)) * iw) % wm) : iw);
        }
    ERR_clear_error();
}

TEST(NumberTheoryTest, ModPowerEdges)
{
    EXPECT_EQ(445, ModPower(B(4), B(13), B(497)).ToLong());
    EXPECT_EQ(445, ModPowerPlain(B(4), B(13), B(497)).ToLong());
    EXPECT_EQ(1, ModPower(B(12345), B(0), B(497)).ToLong());
    EXPECT_EQ(1, ModPowerPlain(B(12345), B(0), B(497)).ToLong());
    EXPECT_EQ(0, ModPower(B(12345), B(0), B(1)).ToLong());
    // An even modulus gives the right value; zero or negative moduli give 0.
    EXPECT_EQ(4, ModPower(B(2), B(10), B(12)).ToLong());
    EXPECT_TRUE(ModPower(B(2), B(10), B(0)).IsZero());
    EXPECT_TRUE(ModPower(B(2), B(10), B(-7)).IsZero());
    EXPECT_TRUE(ModPowerPlain(B(2), B(10), B(0)).IsZero());
    // A negative exponent gives 0 rather than the power of its magnitude.
    EXPECT_TRUE(ModPower(B(2), B(-3), B(7)).IsZero());
    EXPECT_TRUE(ModPowerPlain(B(2), B(-3), B(7)).IsZero());
    // A negative base is reduced first.
    EXPECT_EQ(4, ModPower(B(-3), B(3), B(31)).ToLong());
    // Every bit of an exponent wider than the modulus counts: 3^(2^64 + 1) mod 7.
    const CBigInteger e = CBigInteger::Power2(64) + CBigInteger::One();
    Mpz expect;
    mpz_powm(expect.get(), Mpz(3L).get(), ToMpz(e).get(), Mpz(7L).get());
    EXPECT_BIG_EQ(expect, ModPower(B(3), e, B(7)));
    EXPECT_EQ(25, ModMultiply(B(-5), B(5), B(50)).ToLong());
}

// Modular powers against GMP and OpenSSL's BN_mod_exp on many modulus sizes,
// with exponents below and above the modulus.
TEST(NumberTheoryTest, ModPowerMatchesGmpAndOpenSsl)
{
    std::mt19937_64 rng(23);
    std::unique_ptr<BN_CTX, BnDeleter> ctx(BN_CTX_new());
    for (uint32_t words = 1; words <= 40; words += (words < 9 ? 1 : 5))
        for (int round = 0; round < 4; ++round) {
            CBigInteger m = RandomBig(rng, words);
            m.SetBit(0);
            if (m.IsUnit())
                m = B(101);
            const CBigInteger x = RandomBig(rng, words + uint32_t(rng() % 3), true);
            const CBigInteger e = RandomBig(rng, 1 + uint32_t(rng() % (words + 2)));
            Mpz expect;
            mpz_powm(expect.get(), ToMpz(x).get(), ToMpz(e).get(), ToMpz(m).get());
            ASSERT_EQ(expect.Hex(), Hex(ModPower(x, e, m))) << words << " " << round;
            if (words <= 12) {
                ASSERT_EQ(expect.Hex(), Hex(ModPowerPlain(x, e, m)));
            }
            if (x.NotNegative()) {
                BnPtr r(BN_new());
                ASSERT_EQ(1, BN_mod_exp(r.get(), ToBn(x).get(), ToBn(e).get(), ToBn(m).get(), ctx.get()));
                ASSERT_EQ(BnHex(r.get()), Hex(ModPower(x, e, m)));
            }
        }
    // Even moduli take the plain route.
    for (int round = 0; round < 10; ++round) {
        CBigInteger m = RandomBig(rng, 6) + B(2);
        m.SetBit(0, false);
        const CBigInteger x = RandomBig(rng, 6), e = RandomBig(rng, 3);
        Mpz expect;
        mpz_powm(expect.get(), ToMpz(x).get(), ToMpz(e).get(), ToMpz(m).get());
        ASSERT_EQ(expect.Hex(), Hex(ModPower(x, e, m)));
    }
}

TEST(NumberTheoryTest, MontgomeryForm)
{
    std::mt19937_64 rng(29);
    for (uint32_t words : {1u, 2u, 3u, 8u, 16u, 33u}) {
        CBigInteger m = RandomBig(rng, words);
        m.SetBit(32 * words - 1);
        m.SetBit(0);
        CMontgomeryForm form(m);
        const Mpz mm = ToMpz(m);
        const CBigInteger a = RandomBig(rng, words) % m, b = RandomBig(rng, words) % m;
        const CBigInteger am = form.ToMontgomery(a), bm = form.ToMontgomery(b);
        EXPECT_EQ(Hex(a), Hex(form.FromMontgomery(am)));
        Mpz e;
        mpz_mul(e.get(), ToMpz(a).get(), ToMpz(b).get());
        mpz_mod(e.get(), e.get(), mm.get());
        EXPECT_BIG_EQ(e, form.FromMontgomery(CBigInteger(form.Multiply(am, bm))));
        mpz_mul(e.get(), ToMpz(a).get(), ToMpz(a).get());
        mpz_mod(e.get(), e.get(), mm.get());
        EXPECT_BIG_EQ(e, form.FromMontgomery(CBigInteger(form.Square(am))));
        mpz_sub(e.get(), ToMpz(a).get(), ToMpz(b).get());
        mpz_mod(e.get(), e.get(), mm.get());
        EXPECT_BIG_EQ(e, form.FromMontgomery(CBigInteger(form.Subtract(am, bm))));
        // Mixed sizes take the general subtraction.
        EXPECT_BIG_EQ(e, form.FromMontgomery(CBigInteger(form.Subtract(am, CBigInteger(bm)))));
        // An operand wider than the form is reduced rather than overrunning it.
        const CBigInteger wide = am + m * CBigInteger::Power2(40 * words);
        EXPECT_EQ(Hex(a), Hex(form.FromMontgomery(wide)));
    }
}

TEST(NumberTheoryTest, MontgomeryFormOnBadModuliStaysInBounds)
{
    // Meaningless values, but nothing outside the form is touched (the
    // sanitizer build checks that).
    CMontgomeryForm even(B(1000));
    const CBigInteger a = even.ToMontgomery(B(3));
    EXPECT_LT(CBigInteger(even.Multiply(a, B(5))).WordCount(), 3u);
    CMontgomeryForm zero(B(0));
    EXPECT_TRUE(zero.ToMontgomery(B(3)).IsZero());
    EXPECT_TRUE(CBigInteger(zero.Square(zero.ToMontgomery(B(3)))).IsZero());
}

TEST(NumberTheoryTest, WordKernels)
{
    std::mt19937_64 rng(31);
    EXPECT_EQ(1u, InverseWordModPowerOf2(12345677u) * 12345677u);
    for (uint32_t n : {2u, 4u, 8u, 16u, 32u}) {
        std::vector<uint32_t> a = RandomWords(rng, n);
        a[0] |= 1;
        std::vector<uint32_t> r(n), t(2 * n), p(n), tl(n);
        InverseModPowerOf2(r.data(), t.data(), a.data(), n);
        KaratsubaMultiplyLow(p.data(), tl.data(), r.data(), a.data(), n);
        EXPECT_EQ(1u, p[0]);
        EXPECT_EQ(1u, CountWords(p.data(), n)) << n;

        // X = M * 2^(32n) - 1, the largest input, reduces below M.
        std::vector<uint32_t> m = RandomWords(rng, n);
        m[0] |= 1;
        m[n - 1] |= 0x80000000u;
        std::vector<uint32_t> u(n), x(2 * n, 0), res(n), tr(3 * n);
        InverseModPowerOf2(u.data(), t.data(), m.data(), n);
        std::copy(m.begin(), m.end(), x.begin() + n);
        DecrementWords(x.data(), 2 * n, 1);
        MontgomeryReduce(res.data(), tr.data(), x.data(), m.data(), u.data(), n);
        EXPECT_EQ(-1, CompareWords(res.data(), m.data(), n));
        Mpz e, rinv;
        mpz_ui_pow_ui(rinv.get(), 2, 32 * n);
        mpz_invert(rinv.get(), rinv.get(), bigtest::ToMpz(m.data(), n).get());
        mpz_mul(e.get(), bigtest::ToMpz(x.data(), 2 * n).get(), rinv.get());
        mpz_mod(e.get(), e.get(), bigtest::ToMpz(m.data(), n).get());
        EXPECT_EQ(e.Hex(), bigtest::ToMpz(res.data(), n).Hex());

        // 2^k shifts modulo M, there and back.
        std::vector<uint32_t> v = RandomWords(rng, n);
        v[n - 1] = 0;
        std::vector<uint32_t> up(n), down(n);
        MultiplyByPowerOf2Mod(up.data(), v.data(), 77, m.data(), n);
        Mpz ev;
        mpz_mul_2exp(ev.get(), bigtest::ToMpz(v.data(), n).get(), 77);
        mpz_mod(ev.get(), ev.get(), bigtest::ToMpz(m.data(), n).get());
        EXPECT_EQ(ev.Hex(), bigtest::ToMpz(up.data(), n).Hex());
        DivideByPowerOf2Mod(down.data(), up.data(), 77, m.data(), n);
        mpz_mod(ev.get(), bigtest::ToMpz(v.data(), n).get(), bigtest::ToMpz(m.data(), n).get());
        EXPECT_EQ(ev.Hex(), bigtest::ToMpz(down.data(), n).Hex());
    }
    const uint32_t z[6] = {1, 0, 0, 0, 0, 0};
    EXPECT_EQ(2u, EvenWordCount(z, 6));
}

} // namespace
