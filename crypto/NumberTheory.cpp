#include "crypto/NumberTheory.h"

#include "crypto/MultiWord.h"

#include <cstdlib>
#include <utility>
#include <vector>

// ---- word-level kernels ----------------------------------------------------------

uint32_t InverseWordModPowerOf2(uint32_t a)
{
    // Newton's iteration doubles the correct low bits from 3 (a*a = 1 mod 8).
    uint32_t r = a & 7;
    for (unsigned bits = 3; bits < 32; bits *= 2)
        r = r * (2 - r * a);
    return r;
}

void InverseModPowerOf2(uint32_t* r, uint32_t* t, const uint32_t* a, uint32_t n)
{
    if (n == 2)
    {
        t[0] = InverseWordModPowerOf2(a[0]);
        t[1] = 0;
        MultiplyLow2(t + 2, t, a);
        NegateWords(t + 2, 2);
        IncrementWords(t + 2, 2, 2);
        MultiplyLow2(r, t, t + 2);
        return;
    }
    // R0 = A0^-1 mod X, then R1 = -(carry(R0*A0) + low(R0*A1)) * R0 mod X.
    const uint32_t h = n / 2;
    InverseModPowerOf2(r, t, a, h);
    SetWords(t, 0, h);
    t[0] = 1;
    KaratsubaMultiplyHigh(r + h, t + h, t, r, a, h);
    KaratsubaMultiplyLow(t, t + h, r, a + h, h);
    AddWords(t, r + h, t, h);
    NegateWords(t, h);
    KaratsubaMultiplyLow(r + h, t + h, r, t, h);
}

void MontgomeryReduce(uint32_t* r, uint32_t* t, const uint32_t* x, const uint32_t* m, const uint32_t* u, uint32_t n)
{
    // R*M agrees with X in its low half, so only its high half is formed.
    KaratsubaMultiplyLow(r, t, x, u, n);
    KaratsubaMultiplyHigh(t, t + n, x, r, m, n);
    const uint32_t borrow = SubtractWords(t, x + n, t, n);
    // Add unconditionally and select, so the time does not follow the borrow.
    AddWords(t + n, t, m, n);
    CopyWords(r, borrow ? t + n : t, n);
}

uint32_t EvenWordCount(const uint32_t* a, uint32_t n)
{
    while (n >= 2 && a[n - 1] == 0 && a[n - 2] == 0)
        n -= 2;
    return n;
}

void SwapPointers(uint32_t*& p, uint32_t*& q)
{
    std::swap(p, q);
}

uint32_t AlmostInverse(uint32_t* r, uint32_t* t, const uint32_t* a, uint32_t na, const uint32_t* m, uint32_t n)
{
    uint32_t* b = t;
    uint32_t* c = t + n;
    uint32_t* f = t + 2 * n;
    uint32_t* g = t + 3 * n;
    b[0] = 1;
    CopyWords(f, a, na < n ? na : n);
    CopyWords(g, m, n);
    uint32_t bcLen = 2;
    uint32_t fgLen = EvenWordCount(m, n);
    uint32_t k = 0;
    uint32_t s = 0;
    for (;;)
    {
        while (f[0] == 0)
        {
            if (EvenWordCount(f, fgLen) == 0)
            {
                SetWords(r, 0, n);
                return 0;
            }
            ShiftRightWords(f, fgLen, 1);
            if (c[bcLen - 1] != 0)
                bcLen += 2;
            ShiftLeftWords(c, bcLen, 1);
            k += 32;
        }
        const unsigned i = unsigned(__builtin_ctz(f[0]));
        k += i;
        if ((f[0] >> i) == 1 && f[1] == 0 && EvenWordCount(f, fgLen) == 2)
            break;
        ShiftRightBits(f, fgLen, i);
        const uint32_t out = ShiftLeftBits(c, bcLen, i);
        if (out != 0)
        {
            c[bcLen] = out;
            bcLen += 2;
        }
        if (fgLen >= 2 && f[fgLen - 1] == 0 && f[fgLen - 2] == 0 && g[fgLen - 1] == 0 && g[fgLen - 2] == 0)
            fgLen -= 2;
        if (CompareWords(f, g, fgLen) < 0)
        {
            SwapPointers(f, g);
            SwapPointers(b, c);
            ++s;
        }
        SubtractWords(f, f, g, fgLen);
        if (AddWords(b, b, c, bcLen))
        {
            b[bcLen] = 1;
            bcLen += 2;
        }
    }
    if (s & 1)
        SubtractWords(r, m, b, n);
    else
        CopyWords(r, b, n);
    return k;
}

void DivideByPowerOf2Mod(uint32_t* r, const uint32_t* a, uint32_t k, const uint32_t* m, uint32_t n)
{
    CopyWords(r, a, n);
    while (k-- > 0)
    {
        if (r[0] & 1)
        {
            const uint32_t carry = AddWords(r, r, m, n);
            ShiftRightBits(r, n, 1);
            r[n - 1] |= carry << 31;
        }
        else
        {
            ShiftRightBits(r, n, 1);
        }
    }
}

void MultiplyByPowerOf2Mod(uint32_t* r, const uint32_t* a, uint32_t k, const uint32_t* m, uint32_t n)
{
    CopyWords(r, a, n);
    while (k-- > 0)
    {
        if (ShiftLeftBits(r, n, 1) != 0 || CompareWords(r, m, n) >= 0)
            SubtractWords(r, r, m, n);
    }
}

// ---- greatest common divisor and inverses -------------------------------------------

const CBigInteger& CEuclidDomain::Mod(const CBigInteger& a, const CBigInteger& b)
{
    m_result = a % b;
    return m_result;
}

const CBigInteger& CEuclidDomain::Gcd(const CBigInteger& a, const CBigInteger& b)
{
    // Signs are dropped first, so a negative argument does not stop the loop early.
    CBigInteger g[3] = {b.AbsoluteValue(), a.AbsoluteValue(), CBigInteger()};
    unsigned i0 = 0, i1 = 1, i2 = 2;
    while (g[i1] > 0)
    {
        g[i2] = Mod(g[i0], g[i1]);
        const unsigned old = i0;
        i0 = i1;
        i1 = i2;
        i2 = old;
    }
    m_result = g[i0];
    return m_result;
}

CBigInteger CBigInteger::Gcd(const CBigInteger& a, const CBigInteger& b)
{
    CEuclidDomain domain;
    return domain.Gcd(a, b);
}

CBigInteger CBigInteger::InverseMod(const CBigInteger& m) const
{
    if (!m.IsPositive())
        return CBigInteger();
    if (IsNegative() || CompareMagnitude(*this, m) >= 0)
        return (*this % m).InverseMod(m);
    if (m.IsOdd())
    {
        const uint32_t n = m.m_size;
        std::vector<uint32_t> scratch(4 * size_t(n), 0);
        CBigInteger r(0u, n);
        const uint32_t k = AlmostInverse(r.m_words, scratch.data(), m_words, WordCount(), m.m_words, n);
        DivideByPowerOf2Mod(r.m_words, r.m_words, k, m.m_words, n);
        return r;
    }
    if (IsOdd())
    {
        // Even modulus: from the inverse of m modulo this value.
        if (IsUnit())
            return One();
        const CBigInteger u = m.InverseMod(*this);
        if (u.IsZero())
            return CBigInteger();
        return (m * (*this - u) + One()) / *this;
    }
    return CBigInteger();
}

uint32_t CBigInteger::InverseModWord(uint32_t m) const
{
    if (m == 0)
        return 0;
    uint32_t g0 = m;
    uint32_t g1 = ModuloWord(m);
    uint32_t s0 = 0;
    uint32_t s1 = 1;
    for (;;)
    {
        if (g1 == 0)
            return 0;
        if (g1 == 1)
            return s1;
        s0 += (g0 / g1) * s1;
        g0 %= g1;
        if (g0 == 0)
            return 0;
        if (g0 == 1)
            return m - s0;
        s1 += (g1 / g0) * s0;
        g1 %= g0;
    }
}

// ---- Montgomery form ---------------------------------------------------------------------

CMontgomeryForm::CMontgomeryForm(const CBigInteger& modulus) : m_modulus(modulus)
{
    const uint32_t n = m_modulus.m_size;
    m_result = CBigInteger(0u, n);
    m_inverse = CBigInteger(0u, n);
    m_workspace = static_cast<uint32_t*>(std::calloc(5 * size_t(n), sizeof(uint32_t)));
    if (m_workspace == nullptr)
        std::abort();
    InverseModPowerOf2(m_inverse.m_words, m_workspace, m_modulus.m_words, n);
}

CMontgomeryForm::~CMontgomeryForm()
{
    std::free(m_workspace);
}

const CBigInteger& CMontgomeryForm::Fit(const CBigInteger& x, CBigInteger& reduced) const
{
    if (x.m_size <= m_modulus.m_size && x.NotNegative())
        return x;
    reduced = x % m_modulus;
    return reduced;
}

CBigInteger CMontgomeryForm::ToMontgomery(const CBigInteger& x) const
{
    return (x << (32 * m_modulus.m_size)) % m_modulus;
}

void CMontgomeryForm::Reduce()
{
    const uint32_t n = m_modulus.m_size;
    MontgomeryReduce(m_result.m_words, m_workspace + 2 * n, m_workspace, m_modulus.m_words, m_inverse.m_words, n);
}

CBigInteger CMontgomeryForm::FromMontgomery(const CBigInteger& a)
{
    CBigInteger reduced;
    const CBigInteger& x = Fit(a, reduced);
    const uint32_t n = m_modulus.m_size;
    CopyWords(m_workspace, x.m_words, x.m_size);
    SetWords(m_workspace + x.m_size, 0, 2 * n - x.m_size);
    Reduce();
    return m_result;
}

const CBigInteger& CMontgomeryForm::Multiply(const CBigInteger& a, const CBigInteger& b)
{
    CBigInteger reducedA;
    CBigInteger reducedB;
    const CBigInteger& x = Fit(a, reducedA);
    const CBigInteger& y = Fit(b, reducedB);
    const uint32_t n = m_modulus.m_size;
    UnbalancedMultiply(m_workspace, m_workspace + 2 * n, x.m_words, x.m_size, y.m_words, y.m_size);
    SetWords(m_workspace + x.m_size + y.m_size, 0, 2 * n - (x.m_size + y.m_size));
    Reduce();
    return m_result;
}

const CBigInteger& CMontgomeryForm::Square(const CBigInteger& a)
{
    CBigInteger reduced;
    const CBigInteger& x = Fit(a, reduced);
    const uint32_t n = m_modulus.m_size;
    KaratsubaSquare(m_workspace, m_workspace + 2 * n, x.m_words, x.m_size);
    SetWords(m_workspace + 2 * x.m_size, 0, 2 * n - 2 * x.m_size);
    Reduce();
    return m_result;
}

const CBigInteger& CMontgomeryForm::Subtract(const CBigInteger& a, const CBigInteger& b)
{
    const uint32_t n = m_modulus.m_size;
    if (a.m_size == n && b.m_size == n && a.NotNegative() && b.NotNegative())
    {
        if (SubtractWords(m_result.m_words, a.m_words, b.m_words, n))
            AddWords(m_result.m_words, m_result.m_words, m_modulus.m_words, n);
        return m_result;
    }
    m_result2 = a - b;
    if (m_result2.IsNegative())
        m_result2 += m_modulus;
    return m_result2;
}

// ---- products and powers ---------------------------------------------------------------------

CBigInteger ModMultiply(const CBigInteger& x, const CBigInteger& y, const CBigInteger& m)
{
    return (x * y) % m;
}

CBigInteger ModPowerPlain(const CBigInteger& x, const CBigInteger& e, const CBigInteger& m)
{
    // No modulus, or a negative exponent (not an inverse power here): 0.
    if (!m.IsPositive() || e.IsNegative())
        return CBigInteger();
    const uint32_t n = e.BitCount();
    if (n == 0)
        return CBigInteger::One() % m;
    CBigInteger r = x % m;
    for (uint32_t i = 0; i + 1 < n; ++i)
    {
        r = r.Squared() % m;
        if (e.GetBit(n - 2 - i))
            r = (r * x) % m;
    }
    return r;
}

CBigInteger ModPower(const CBigInteger& x, const CBigInteger& e, const CBigInteger& m)
{
    if (!m.IsPositive() || e.IsNegative())
        return CBigInteger();
    if (m.IsEven())
        return ModPowerPlain(x, e, m);
    CMontgomeryForm form(m);
    const uint32_t bits = e.BitCount();
    if (bits == 0)
        return CBigInteger::One() % m;
    // Left to right over every bit of the exponent, also those above the
    // modulus's width, in windows of up to `window` bits that end in a set
    // bit; the odd powers x, x^3, ... are formed first.
    const uint32_t window = bits > 512 ? 5 : bits > 128 ? 4 : bits > 24 ? 3 : 1;
    std::vector<CBigInteger> oddPowers(size_t(1) << (window - 1));
    oddPowers[0] = form.ToMontgomery(x);
    if (oddPowers.size() > 1)
    {
        const CBigInteger square = form.Square(oddPowers[0]);
        for (size_t i = 1; i < oddPowers.size(); ++i)
            oddPowers[i] = form.Multiply(oddPowers[i - 1], square);
    }
    CBigInteger acc;
    bool started = false;
    for (int64_t i = int64_t(bits) - 1; i >= 0;)
    {
        if (!e.GetBit(uint32_t(i)))
        {
            acc = form.Square(acc);
            --i;
            continue;
        }
        int64_t low = i - int64_t(window) + 1;
        if (low < 0)
            low = 0;
        while (!e.GetBit(uint32_t(low)))
            ++low;
        const uint32_t length = uint32_t(i - low + 1);
        const uint32_t value = e.GetBits(uint32_t(low), length);
        if (!started)
        {
            acc = oddPowers[value >> 1];
            started = true;
        }
        else
        {
            for (uint32_t k = 0; k < length; ++k)
                acc = form.Square(acc);
            acc = form.Multiply(acc, oddPowers[value >> 1]);
        }
        i = low - 1;
    }
    return form.Multiply(acc, CBigInteger::One());
}
