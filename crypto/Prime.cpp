#include "crypto/Prime.h"

#include "crypto/Isaac.h"
#include "crypto/MultiWord.h"
#include "crypto/NumberTheory.h"

#include <algorithm>
#include <array>

namespace
{
// Position of the lowest set bit of a non-zero value.
uint32_t LowestSetBit(const CBigInteger& x)
{
    const uint32_t* w = x.Words();
    for (uint32_t i = 0; i < x.Size(); ++i)
        if (w[i] != 0)
            return 32 * i + unsigned(__builtin_ctz(w[i]));
    return 0;
}

// The primes below kSmallPrimeBound by a sieve over the odd numbers, worked
// out once by the compiler, so that no table is built (or guarded) at run
// time. A sieve stays well inside every compiler's constexpr step limit.
constexpr std::array<uint16_t, kSmallPrimeCount> MakePrimeTable()
{
    std::array<bool, kSmallPrimeBound / 2> composite{};  // entry i stands for 2i+1
    std::array<uint16_t, kSmallPrimeCount> table{};
    table[0] = 2;
    size_t count = 1;
    for (uint32_t i = 1; i < composite.size() && count < kSmallPrimeCount; ++i)
    {
        if (composite[i])
            continue;
        const uint32_t p = 2 * i + 1;
        table[count++] = uint16_t(p);
        for (uint32_t m = p * p; m < kSmallPrimeBound; m += 2 * p)
            composite[m / 2] = true;
    }
    return table;
}

constexpr std::array<uint16_t, kSmallPrimeCount> kSmallPrimes = MakePrimeTable();
static_assert(kSmallPrimes[kSmallPrimeCount - 1] == 32719, "the table ends at the last prime below the bound");
} // namespace

void BuildPrimeTable(std::vector<uint16_t>& table)
{
    table.assign(kSmallPrimes.begin(), kSmallPrimes.end());
}

int Jacobi(const CBigInteger& a, const CBigInteger& b)
{
    if (!b.IsPositive() || b.IsEven())
        return 0;
    CBigInteger x = a % b;
    CBigInteger y = b;
    int result = 1;
    while (x.NotZero())
    {
        const uint32_t i = LowestSetBit(x);
        x >>= i;
        const uint32_t y8 = y.ModuloWord(8);
        if ((i & 1) != 0 && (y8 == 3 || y8 == 5))
            result = -result;
        if (x.ModuloWord(4) == 3 && y.ModuloWord(4) == 3)
            result = -result;
        SwapBigIntegers(x, y);
        x %= y;
    }
    return y.IsUnit() ? result : 0;
}

CBigInteger LucasV(const CBigInteger& e, const CBigInteger& p, const CBigInteger& n)
{
    if (e.BitCount() == 0)
        return CBigInteger(2);
    if (!n.IsPositive() || n.IsEven())
        return CBigInteger();
    CMontgomeryForm form(n);
    const CBigInteger p2 = form.ToMontgomery(p % n);
    const CBigInteger two = form.ToMontgomery(CBigInteger(2));
    CBigInteger cur = p2;
    CBigInteger next = form.Subtract(form.Square(p2), two);
    for (uint32_t i = e.BitCount() - 1; i-- > 0;)
    {
        if (e.GetBit(i))
        {
            cur = form.Subtract(form.Multiply(cur, next), p2);
            next = form.Subtract(form.Square(next), two);
        }
        else
        {
            next = form.Subtract(form.Multiply(cur, next), p2);
            cur = form.Subtract(form.Square(cur), two);
        }
    }
    return form.FromMontgomery(cur);
}

bool IsStrongProbablePrime(const CBigInteger& n, const CBigInteger& b)
{
    if (n <= CBigInteger(3))
        return n == CBigInteger(2) || n == CBigInteger(3);
    if (n.IsEven())
        return false;
    if (CBigInteger::Gcd(b, n) > CBigInteger::One())
        return false;
    const CBigInteger nMinus1 = n - CBigInteger::One();
    const uint32_t a = LowestSetBit(nMinus1);
    const CBigInteger m = nMinus1 >> a;
    CBigInteger z = ModPower(b, m, n);
    if (z.IsUnit() || z == nMinus1)
        return true;
    for (uint32_t j = 1; j < a; ++j)
    {
        z = ModMultiply(z, z, n);
        if (z == nMinus1)
            return true;
        if (z.IsUnit())
            return false;
    }
    return false;
}

bool IsStrongLucasProbablePrime(const CBigInteger& n)
{
    if (n <= CBigInteger::One())
        return false;
    if (n.IsEven())
        return n == CBigInteger(2);
    // Parameters (b, 1) for b = 3, 5, 7, ...: the first with (b^2 - 4 / n) other than 1.
    CBigInteger b(3);
    int j;
    for (unsigned i = 0;;)
    {
        j = Jacobi(b.Squared() - CBigInteger(4), n);
        if (j != 1)
            break;
        // A square never meets -1; stop searching once that is plain.
        if (++i == 64 && n.IsSquare())
            return false;
        b += CBigInteger::One();
        b += CBigInteger::One();
    }
    if (j == 0)
        return false;
    const CBigInteger nPlus1 = n + CBigInteger::One();
    const uint32_t a = LowestSetBit(nPlus1);
    const CBigInteger m = nPlus1 >> a;
    const CBigInteger two(2);
    const CBigInteger nMinus2 = n - two;
    CBigInteger z = LucasV(m, b, n);
    if (z == two || z == nMinus2)
        return true;
    for (uint32_t k = 1; k < a; ++k)
    {
        z = (z.Squared() - two) % n;
        if (z == nMinus2)
            return true;
        if (z == two)
            return false;
    }
    return false;
}

bool IsPrime(const CBigInteger& n)
{
    if (n < CBigInteger(int32_t(kSmallPrimeBound)))
    {
        if (n.IsNegative())
            return false;
        return std::binary_search(kSmallPrimes.begin(), kSmallPrimes.end(), uint16_t(n.ToLong()));
    }
    // Base 3 and Lucas; the base-2 trial is FastPrimeTest's, which FirstPrime runs first.
    return IsStrongProbablePrime(n, CBigInteger(3)) && IsStrongLucasProbablePrime(n);
}

bool FastPrimeTest(const CBigInteger& n)
{
    return IsStrongProbablePrime(n, CBigInteger(2));
}

bool RabinMillerTest(CIsaacRandom& rng, const CBigInteger& n, unsigned rounds)
{
    if (n <= CBigInteger(3))
        return n == CBigInteger(2) || n == CBigInteger(3);
    const CBigInteger top = n - CBigInteger(2);
    CBigInteger b;
    for (unsigned i = 0; i < rounds; ++i)
    {
        b.Randomize(rng, CBigInteger(2), top);
        if (!IsStrongProbablePrime(n, b))
            return false;
    }
    return true;
}

bool VerifyPrime(CIsaacRandom& rng, const CBigInteger& p, unsigned level)
{
    return IsPrime(p) && RabinMillerTest(rng, p, 1) && (level == 0 || RabinMillerTest(rng, p, 10));
}

bool FirstPrime(CBigInteger& p, const CBigInteger& max)
{
    // An even start above 2 would only meet even candidates.
    if (p > CBigInteger(2))
        p.SetBit(0);
    CPrimeSieve sieve(p, max, CBigInteger(2), 0);
    while (sieve.NextCandidate(p))
        if (FastPrimeTest(p) && IsPrime(p))
            return true;
    return false;
}

// ---- sieve --------------------------------------------------------------------------

CPrimeSieve::CPrimeSieve(const CBigInteger& first, const CBigInteger& last, const CBigInteger& step, uint32_t delta)
    : m_first(first), m_last(last), m_step(step), m_delta(delta), m_next(0)
{
    BuildPrimeTable(m_primeTable);
    DoSieve();
}

void CPrimeSieve::DoSieve()
{
    uint32_t count = 0;
    // A start past the end or a step that does not advance gives an empty window.
    if (m_first <= m_last && m_step.IsPositive())
    {
        // A count that does not fit reads as 4294967295 (ToLong gives -1).
        count = uint32_t(((m_last - m_first) / m_step + CBigInteger::One()).ToLong());
    }
    const uint32_t window = std::min(kWindow, count);
    m_sieve.assign(window, 0);
    if (window == 0)
        return;
    if (m_delta == 0)
    {
        for (uint16_t p : m_primeTable)
            SieveSingle(p, m_first, m_step, m_step.InverseModWord(p));
        return;
    }
    // (c - delta) / 2 is kept free of the odd table primes too (2 divides the step).
    const CBigInteger qFirst = (m_first - CBigInteger(m_delta, 1u)) >> 1;
    const CBigInteger halfStep = m_step >> 1;
    for (uint16_t p : m_primeTable)
    {
        const uint16_t inverse = uint16_t(m_step.InverseModWord(p));
        SieveSingle(p, m_first, m_step, inverse);
        const uint32_t halfInverse = 2u * inverse < p ? 2u * inverse : 2u * inverse - p;
        SieveSingle(p, qFirst, halfStep, halfInverse);
    }
}

void CPrimeSieve::SieveSingle(uint32_t p, const CBigInteger& first, const CBigInteger& step, uint32_t inverse)
{
    if (inverse == 0) // p divides the step
        return;
    uint32_t j = ((p - first.ModuloWord(p)) * inverse) % p;
    // A table prime is never struck out as a multiple of itself.
    if (first.WordCount() <= 1 && first + step * CBigInteger(int32_t(j)) == CBigInteger(int32_t(p)))
        j += p;
    for (; j < m_sieve.size(); j += p)
        m_sieve[j] = 1;
}

bool CPrimeSieve::NextCandidate(CBigInteger& candidate)
{
    for (;;)
    {
        const uint32_t window = uint32_t(m_sieve.size());
        if (window == 0)
            return false;
        while (m_next < window && m_sieve[m_next] != 0)
            ++m_next;
        if (m_next < window)
            break;
        m_first += CBigInteger(int32_t(window)) * m_step;
        if (m_first > m_last)
            return false;
        m_next = 0;
        DoSieve();
    }
    candidate = m_first + m_step * CBigInteger(int32_t(m_next));
    ++m_next;
    return true;
}

// ---- random values ----------------------------------------------------------------------

void CBigInteger::Randomize(CIsaacRandom& rng, const CBigInteger& min, const CBigInteger& max)
{
    const CBigInteger lo(min);
    const CBigInteger hi(max);
    // Without a non-negative value in range, the draw could never end.
    if (hi < One() || lo > hi)
    {
        *this = CBigInteger();
        return;
    }
    const uint32_t w = hi.WordCount();
    const unsigned topBits = BitLengthOfWord(hi.m_words[w - 1]);
    const uint32_t mask = topBits == 32 ? 0xFFFFFFFFu : (uint32_t(1) << topBits) - 1;
    Allocate(RoundUpSize(w));
    m_sign = 0;
    do
    {
        for (uint32_t i = 0; i + 1 < w; ++i)
            m_words[i] = rng.NextWord();
        m_words[w - 1] = rng.NextWord() & mask;
    } while (*this > hi || *this < lo);
}

bool CBigInteger::GenerateRandom(CIsaacRandom& rng, const CBigInteger& min, const CBigInteger& max, int kind)
{
    const CBigInteger lo(min);
    const CBigInteger hi(max);
    if (hi <= lo)
        return false;
    if (kind == 0)
    {
        Randomize(rng, lo, hi);
        SetBit(0);
        return *this <= hi;
    }
    if (kind != 1)
        return false;
    // Each attempt searches only 2 * BitCount(max) above a random start; the
    // 16th first makes sure the range holds a prime at all.
    const CBigInteger span(int32_t(2 * hi.BitCount()));
    for (unsigned attempt = 1;; ++attempt)
    {
        if (attempt == 16)
        {
            CBigInteger probe(lo);
            if (!FirstPrime(probe, hi))
                return false;
        }
        Randomize(rng, lo, hi);
        CBigInteger bound = *this + span;
        if (bound > hi)
            bound = hi;
        if (FirstPrime(*this, bound))
            return true;
    }
}
