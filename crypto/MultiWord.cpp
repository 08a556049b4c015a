#include "crypto/MultiWord.h"

#include <cstring>

namespace
{
__extension__ typedef unsigned __int128 uint128_t;

// Two adjacent 32-bit words read and written as one 64-bit limb. The column
// bases work on limbs, so an 8-word product takes 16 limb products.
// Word 0 is the low half: the layout of a 64-bit limb on a little-endian host.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "limb access assumes little-endian words");

inline uint64_t Load64(const uint32_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void Store64(uint32_t* p, uint64_t v)
{
    std::memcpy(p, &v, sizeof v);
}

// Adds the product x*y into the three-limb accumulator (c0, c1, c2).
inline void MultiplyAccumulate(uint64_t& c0, uint64_t& c1, uint64_t& c2, uint64_t x, uint64_t y)
{
    const uint128_t p = uint128_t(x) * y;
    const uint64_t lo = uint64_t(p);
    uint64_t hi = uint64_t(p >> 64);
    c0 += lo;
    hi += c0 < lo;
    c1 += hi;
    c2 += c1 < hi;
}

// Column-wise product of two arrays of L limbs into 2L limbs. Each column
// sums its limb products into a two-limb accumulator plus a carry limb.
template <unsigned L>
inline void CombaLimbs(uint32_t* r, const uint32_t* a, const uint32_t* b)
{
    uint64_t x[L];
    uint64_t y[L];
    for (unsigned i = 0; i < L; ++i)
    {
        x[i] = Load64(a + 2 * i);
        y[i] = Load64(b + 2 * i);
    }
    uint64_t c0 = 0, c1 = 0, c2 = 0;
#pragma GCC unroll 32
    for (unsigned k = 0; k < 2 * L - 1; ++k)
    {
        const unsigned first = k < L ? 0 : k - L + 1;
        const unsigned last = k < L ? k : L - 1;
#pragma GCC unroll 16
        for (unsigned i = first; i <= last; ++i)
        {
            MultiplyAccumulate(c0, c1, c2, x[i], y[k - i]);
        }
        Store64(r + 2 * k, c0);
        c0 = c1;
        c1 = c2;
        c2 = 0;
    }
    Store64(r + 2 * (2 * L - 1), c0);
}

// Low L limbs of the product; the top column is summed modulo 2^64.
template <unsigned L>
inline void CombaLowLimbs(uint32_t* r, const uint32_t* a, const uint32_t* b)
{
    uint64_t x[L];
    uint64_t y[L];
    for (unsigned i = 0; i < L; ++i)
    {
        x[i] = Load64(a + 2 * i);
        y[i] = Load64(b + 2 * i);
    }
    uint64_t c0 = 0, c1 = 0, c2 = 0;
#pragma GCC unroll 16
    for (unsigned k = 0; k + 1 < L; ++k)
    {
#pragma GCC unroll 16
        for (unsigned i = 0; i <= k; ++i)
        {
            MultiplyAccumulate(c0, c1, c2, x[i], y[k - i]);
        }
        Store64(r + 2 * k, c0);
        c0 = c1;
        c1 = c2;
        c2 = 0;
    }
    for (unsigned i = 0; i < L; ++i)
        c0 += x[i] * y[L - 1 - i];
    Store64(r + 2 * (L - 1), c0);
}

// Column-wise square: each cross product is formed once and doubled.
template <unsigned L>
inline void CombaSquareLimbs(uint32_t* r, const uint32_t* a)
{
    uint64_t x[L];
    for (unsigned i = 0; i < L; ++i)
        x[i] = Load64(a + 2 * i);
    uint64_t c0 = 0, c1 = 0, c2 = 0;
#pragma GCC unroll 32
    for (unsigned k = 0; k < 2 * L - 1; ++k)
    {
        uint64_t s0 = 0, s1 = 0, s2 = 0;
        const unsigned first = k < L ? 0 : k - L + 1;
#pragma GCC unroll 16
        for (unsigned i = first; i < k - i; ++i)
        {
            MultiplyAccumulate(s0, s1, s2, x[i], x[k - i]);
        }
        s2 = (s2 << 1) | (s1 >> 63);
        s1 = (s1 << 1) | (s0 >> 63);
        s0 <<= 1;
        if (k % 2 == 0)
        {
            const uint128_t p = uint128_t(x[k / 2]) * x[k / 2];
            const uint128_t t = uint128_t(s0) + uint64_t(p);
            s0 = uint64_t(t);
            const uint128_t u = uint128_t(s1) + uint64_t(p >> 64) + uint64_t(t >> 64);
            s1 = uint64_t(u);
            s2 += uint64_t(u >> 64);
        }
        const uint128_t t = uint128_t(c0) + s0;
        const uint128_t u = uint128_t(c1) + s1 + uint64_t(t >> 64);
        Store64(r + 2 * k, uint64_t(t));
        c0 = uint64_t(u);
        c1 = c2 + s2 + uint64_t(u >> 64);
        c2 = 0;
    }
    Store64(r + 2 * (2 * L - 1), c0);
}

// Adds a signed carry into n words.
inline void AddSignedToWords(uint32_t* a, uint32_t n, int carry)
{
    if (carry >= 0)
        IncrementWords(a, n, uint32_t(carry));
    else
        DecrementWords(a, n, uint32_t(-carry));
}

// Subtractive Karatsuba middle term for halves of h words: T[0..2h) and the
// returned carry together hold (A0 - A1)(B1 - B0). R[0..2h) holds the two
// differences; T + 2h supplies 2h words of scratch.
int MiddleProduct(uint32_t* r, uint32_t* t, const uint32_t* a, const uint32_t* b, uint32_t h)
{
    const uint32_t n = 2 * h;
    const int ca = CompareWords(a, a + h, h);
    const int cb = CompareWords(b, b + h, h);
    switch (3 * ca + cb + 4)
    {
    case 0: // A0 < A1, B0 < B1: both differences wrap into a negative term
        SubtractWords(r, a + h, a, h);
        SubtractWords(r + h, b, b + h, h);
        KaratsubaMultiply(t, t + n, r, r + h, h);
        SubtractWords(t + h, t + h, r, h);
        return -1;
    case 2:
        SubtractWords(r, a + h, a, h);
        SubtractWords(r + h, b, b + h, h);
        KaratsubaMultiply(t, t + n, r, r + h, h);
        return 0;
    case 6:
        SubtractWords(r, a, a + h, h);
        SubtractWords(r + h, b + h, b, h);
        KaratsubaMultiply(t, t + n, r, r + h, h);
        return 0;
    case 8:
        SubtractWords(r, a + h, a, h);
        SubtractWords(r + h, b, b + h, h);
        KaratsubaMultiply(t, t + n, r, r + h, h);
        SubtractWords(t + h, t + h, r + h, h);
        return -1;
    default: // a pair of halves is equal: the middle term is zero
        SetWords(t, 0, n);
        return 0;
    }
}

// R += A*w over n words; returns the word carried out of the top.
uint32_t MultiplyAddByWord(uint32_t* r, const uint32_t* a, uint32_t w, uint32_t n)
{
    uint64_t carry = 0;
    for (uint32_t i = 0; i < n; ++i)
    {
        const uint64_t v = uint64_t(a[i]) * w + r[i] + carry;
        r[i] = uint32_t(v);
        carry = v >> 32;
    }
    return uint32_t(carry);
}

// Subtracts Q*B from R (n + 2 words) and raises the two-word Q until R < B.
void CorrectQuotientDigit(uint32_t* r, uint32_t* t, uint32_t* q, const uint32_t* b, uint32_t n)
{
    t[n] = MultiplyByWord(t, b, q[0], n);
    t[n + 1] = 0;
    if (q[1] != 0)
        t[n + 1] = MultiplyAddByWord(t + 1, b, q[1], n);
    SubtractWords(r, r, t, n + 2);
    while (r[n] != 0 || CompareWords(r, b, n) >= 0)
    {
        r[n] -= SubtractWords(r, r, b, n);
        if (++q[0] == 0)
            ++q[1];
    }
}
} // namespace

unsigned BitLengthOfWord(uint32_t w)
{
    return w == 0 ? 0 : 32 - unsigned(__builtin_clz(w));
}

unsigned ByteLengthOfWord(uint32_t w)
{
    unsigned count = 4;
    while (count > 0 && (w >> (8 * (count - 1))) == 0)
        --count;
    return count;
}

uint32_t CountWords(const uint32_t* a, uint32_t n)
{
    while (n > 0 && a[n - 1] == 0)
        --n;
    return n;
}

void SetWords(uint32_t* r, uint32_t value, uint32_t n)
{
    for (uint32_t i = 0; i < n; ++i)
        r[i] = value;
}

void CopyWords(uint32_t* r, const uint32_t* a, uint32_t n, bool byteSwap)
{
    if (r == a && !byteSwap)
        return;
    for (uint32_t i = 0; i < n; ++i)
        r[i] = byteSwap ? __builtin_bswap32(a[i]) : a[i];
}

int CompareWords(const uint32_t* a, const uint32_t* b, uint32_t n)
{
    while (n > 0)
    {
        --n;
        if (a[n] != b[n])
            return a[n] > b[n] ? 1 : -1;
    }
    return 0;
}

uint32_t AddWords(uint32_t* r, const uint32_t* a, const uint32_t* b, uint32_t n)
{
    uint64_t carry = 0;
    uint32_t i = 0;
    for (; i + 1 < n; i += 2)
    {
        const uint128_t s = uint128_t(Load64(a + i)) + Load64(b + i) + carry;
        Store64(r + i, uint64_t(s));
        carry = uint64_t(s >> 64);
    }
    if (i < n)
    {
        const uint64_t s = uint64_t(a[i]) + b[i] + carry;
        r[i] = uint32_t(s);
        carry = s >> 32;
    }
    return uint32_t(carry);
}

uint32_t SubtractWords(uint32_t* r, const uint32_t* a, const uint32_t* b, uint32_t n)
{
    uint64_t borrow = 0;
    uint32_t i = 0;
    for (; i + 1 < n; i += 2)
    {
        const uint128_t d = uint128_t(Load64(a + i)) - Load64(b + i) - borrow;
        Store64(r + i, uint64_t(d));
        borrow = uint64_t(d >> 64) & 1;
    }
    if (i < n)
    {
        const uint64_t d = uint64_t(a[i]) - b[i] - borrow;
        r[i] = uint32_t(d);
        borrow = (d >> 32) ? 1 : 0;
    }
    return uint32_t(borrow);
}

uint32_t IncrementWords(uint32_t* a, uint32_t n, uint32_t by)
{
    if (n == 0)
        return by != 0;
    const uint32_t old = a[0];
    a[0] += by;
    if (a[0] >= old)
        return 0;
    for (uint32_t i = 1; i < n; ++i)
        if (++a[i] != 0)
            return 0;
    return 1;
}

uint32_t DecrementWords(uint32_t* a, uint32_t n, uint32_t by)
{
    if (n == 0)
        return by != 0;
    const uint32_t old = a[0];
    a[0] -= by;
    if (a[0] <= old)
        return 0;
    for (uint32_t i = 1; i < n; ++i)
        if (a[i]-- != 0)
            return 0;
    return 1;
}

void NegateWords(uint32_t* a, uint32_t n)
{
    DecrementWords(a, n, 1);
    for (uint32_t i = 0; i < n; ++i)
        a[i] = ~a[i];
}

uint32_t ShiftLeftBits(uint32_t* a, uint32_t n, unsigned shift)
{
    if (shift == 0 || n == 0)
        return 0;
    uint32_t carry = 0;
    for (uint32_t i = 0; i < n; ++i)
    {
        const uint32_t w = a[i];
        a[i] = (w << shift) | carry;
        carry = w >> (32 - shift);
    }
    return carry;
}

uint32_t ShiftRightBits(uint32_t* a, uint32_t n, unsigned shift)
{
    if (shift == 0 || n == 0)
        return 0;
    uint32_t carry = 0;
    for (uint32_t i = n; i-- > 0;)
    {
        const uint32_t w = a[i];
        a[i] = (w >> shift) | carry;
        carry = w << (32 - shift);
    }
    return carry;
}

void ShiftLeftWords(uint32_t* a, uint32_t n, uint32_t k)
{
    if (k > n)
        k = n;
    if (k == 0)
        return;
    std::memmove(a + k, a, size_t(n - k) * sizeof(uint32_t));
    SetWords(a, 0, k);
}

void ShiftRightWords(uint32_t* a, uint32_t n, uint32_t k)
{
    if (k > n)
        k = n;
    if (k == 0)
        return;
    std::memmove(a, a + k, size_t(n - k) * sizeof(uint32_t));
    SetWords(a + n - k, 0, k);
}

uint32_t MultiplyByWord(uint32_t* r, const uint32_t* a, uint32_t w, uint32_t n)
{
    uint64_t carry = 0;
    for (uint32_t i = 0; i < n; ++i)
    {
        const uint64_t v = uint64_t(a[i]) * w + carry;
        r[i] = uint32_t(v);
        carry = v >> 32;
    }
    return uint32_t(carry);
}

void KaratsubaMultiply2(uint32_t* r, const uint32_t* a, const uint32_t* b)
{
    const uint128_t p = uint128_t(Load64(a)) * Load64(b);
    Store64(r, uint64_t(p));
    Store64(r + 2, uint64_t(p >> 64));
}

void MultiplyLow2(uint32_t* r, const uint32_t* a, const uint32_t* b)
{
    Store64(r, Load64(a) * Load64(b));
}

void CombaSquare2(uint32_t* r, const uint32_t* a)
{
    KaratsubaMultiply2(r, a, a);
}

void CombaMultiply4(uint32_t* r, const uint32_t* a, const uint32_t* b)
{
    CombaLimbs<2>(r, a, b);
}

void CombaMultiply8(uint32_t* r, const uint32_t* a, const uint32_t* b)
{
    CombaLimbs<4>(r, a, b);
}

void CombaSquare4(uint32_t* r, const uint32_t* a)
{
    CombaSquareLimbs<2>(r, a);
}

void CombaSquare8(uint32_t* r, const uint32_t* a)
{
    CombaSquareLimbs<4>(r, a);
}

void CombaSquare16(uint32_t* r, const uint32_t* a)
{
    CombaSquareLimbs<8>(r, a);
}

void CombaMultiply16(uint32_t* r, const uint32_t* a, const uint32_t* b)
{
    CombaLimbs<8>(r, a, b);
}

void CombaMultiplyLow4(uint32_t* r, const uint32_t* a, const uint32_t* b)
{
    CombaLowLimbs<2>(r, a, b);
}

void CombaMultiplyLow8(uint32_t* r, const uint32_t* a, const uint32_t* b)
{
    CombaLowLimbs<4>(r, a, b);
}

void CombaMultiplyLow16(uint32_t* r, const uint32_t* a, const uint32_t* b)
{
    CombaLowLimbs<8>(r, a, b);
}

void KaratsubaMultiply(uint32_t* r, uint32_t* t, const uint32_t* a, const uint32_t* b, uint32_t n)
{
    if (n == 16 && MultiplyRecursionLimit() >= 16)
        return CombaMultiply16(r, a, b);
    if (n == 8 && MultiplyRecursionLimit() >= 8)
        return CombaMultiply8(r, a, b);
    if (n == 4 && MultiplyRecursionLimit() >= 4)
        return CombaMultiply4(r, a, b);
    if (n == 2)
        return KaratsubaMultiply2(r, a, b);
    const uint32_t h = n / 2;
    int carry = MiddleProduct(r, t, a, b, h);
    KaratsubaMultiply(r, t + n, a, b, h);
    KaratsubaMultiply(r + n, t + n, a + h, b + h, h);
    carry += int(AddWords(t, t, r, n));
    carry += int(AddWords(t, t, r + n, n));
    carry += int(AddWords(r + h, r + h, t, n));
    AddSignedToWords(r + n + h, h, carry);
}

void KaratsubaSquare(uint32_t* r, uint32_t* t, const uint32_t* a, uint32_t n)
{
    if (n == 16 && MultiplyRecursionLimit() >= 16)
        return CombaSquare16(r, a);
    if (n == 8 && MultiplyRecursionLimit() >= 8)
        return CombaSquare8(r, a);
    if (n == 4 && MultiplyRecursionLimit() >= 4)
        return CombaSquare4(r, a);
    if (n == 2)
        return CombaSquare2(r, a);
    const uint32_t h = n / 2;
    KaratsubaSquare(r, t, a, h);
    KaratsubaSquare(r + n, t, a + h, h);
    KaratsubaMultiply(t, t + n, a, a + h, h);
    uint32_t carry = AddWords(r + h, r + h, t, n);
    carry += AddWords(r + h, r + h, t, n);
    IncrementWords(r + n + h, h, carry);
}

void KaratsubaMultiplyLow(uint32_t* r, uint32_t* t, const uint32_t* a, const uint32_t* b, uint32_t n)
{
    if (n == 16 && MultiplyRecursionLimit() >= 16)
        return CombaMultiplyLow16(r, a, b);
    if (n == 8 && MultiplyRecursionLimit() >= 8)
        return CombaMultiplyLow8(r, a, b);
    if (n == 4 && MultiplyRecursionLimit() >= 4)
        return CombaMultiplyLow4(r, a, b);
    if (n == 2)
        return MultiplyLow2(r, a, b);
    const uint32_t h = n / 2;
    KaratsubaMultiply(r, t, a, b, h);
    KaratsubaMultiplyLow(t, t + h, a + h, b, h);
    AddWords(r + h, r + h, t, h);
    KaratsubaMultiplyLow(t, t + h, a, b + h, h);
    AddWords(r + h, r + h, t, h);
}

void KaratsubaMultiplyHigh(uint32_t* r, uint32_t* t, const uint32_t* l, const uint32_t* a, const uint32_t* b,
                           uint32_t n)
{
    if (n == 4)
    {
        CombaMultiply4(t, a, b);
        CopyWords(r, t + 4, 4);
        return;
    }
    if (n == 2)
    {
        KaratsubaMultiply2(t, a, b);
        CopyWords(r, t + 2, 2);
        return;
    }
    const uint32_t h = n / 2;
    int carry = MiddleProduct(r, t, a, b, h);
    KaratsubaMultiply(t + n, r, a + h, b + h, h);
    // The low half of A0*B0 follows from L and the middle term, so A0*B0
    // itself is never formed.
    uint32_t c2 = SubtractWords(r, l + h, l, h);
    c2 += SubtractWords(r, r, t, h);
    const uint32_t wrapped = CompareWords(r, t + n, h) == -1 ? 1 : 0;
    carry += int(wrapped);
    carry += int(IncrementWords(r, h, c2 + wrapped));
    carry += int(AddWords(r, r, t + h, h));
    carry += int(AddWords(r, r, t + n + h, h));
    CopyWords(r + h, t + n + h, h);
    AddSignedToWords(r + h, h, carry);
}

void UnbalancedMultiply(uint32_t* r, uint32_t* t, const uint32_t* a, uint32_t na, const uint32_t* b, uint32_t nb)
{
    if (na == nb)
    {
        if (a == b)
            KaratsubaSquare(r, t, a, na);
        else
            KaratsubaMultiply(r, t, a, b, na);
        return;
    }
    if (na > nb)
        return UnbalancedMultiply(r, t, b, nb, a, na);
    if (na == 2 && a[1] == 0)
    {
        if (a[0] == 0)
            SetWords(r, 0, nb + 2);
        else if (a[0] == 1)
        {
            CopyWords(r, b, nb);
            r[nb] = r[nb + 1] = 0;
        }
        else
        {
            r[nb] = MultiplyByWord(r, b, a[0], nb);
            r[nb + 1] = 0;
        }
        return;
    }
    // Blocks of na words: the even blocks' products go to T, the odd ones
    // straight to R, then the two rows are added.
    KaratsubaMultiply(r, t, a, b, na);
    CopyWords(t + 2 * na, r + na, na);
    for (uint32_t i = 2 * na; i < nb; i += 2 * na)
        KaratsubaMultiply(t + na + i, t, a, b + i, na);
    for (uint32_t i = na; i < nb; i += 2 * na)
        KaratsubaMultiply(r + i, t, a, b + i, na);
    if (AddWords(r + na, r + na, t + 2 * na, nb - na))
        IncrementWords(r + nb, na, 1);
}

uint32_t DivideThreeByTwo(uint32_t* a, uint32_t b0, uint32_t b1)
{
    const uint64_t top = (uint64_t(a[2]) << 32) | a[1];
    uint32_t q = b1 + 1 != 0 ? uint32_t(top / (uint64_t(b1) + 1)) : a[2];
    const uint128_t divisor = (uint128_t(b1) << 32) | b0;
    uint128_t rest = (uint128_t(a[2]) << 64) | (uint128_t(a[1]) << 32) | a[0];
    rest -= uint128_t(q) * divisor;
    // The estimate never exceeds the quotient; raise it.
    while (rest >= divisor)
    {
        rest -= divisor;
        ++q;
    }
    a[0] = uint32_t(rest);
    a[1] = uint32_t(rest >> 32);
    a[2] = uint32_t(rest >> 64);
    return q;
}

CDoubleWord DivideFourByTwo(uint32_t* t, const CDoubleWord& al, const CDoubleWord& ah, const CDoubleWord& b)
{
    if (b.Value() == 0) // the divisor stands for 2^64
        return ah;
    t[0] = al.GetLowHalf();
    t[1] = al.GetHighHalf();
    t[2] = ah.GetLowHalf();
    t[3] = ah.GetHighHalf();
    const uint32_t q1 = DivideThreeByTwo(t + 1, b.GetLowHalf(), b.GetHighHalf());
    const uint32_t q0 = DivideThreeByTwo(t, b.GetLowHalf(), b.GetHighHalf());
    return CDoubleWord(q0, q1);
}

void DivideWords(uint32_t* r, uint32_t* q, uint32_t* t, const uint32_t* a, uint32_t na, const uint32_t* b,
                 uint32_t nb)
{
    uint32_t* ta = t;
    uint32_t* tb = t + na + 2;
    uint32_t* tp = tb + nb;

    // Normalise: the divisor's top bit set, the dividend shifted alike.
    const uint32_t shiftWords = b[nb - 1] == 0 ? 1 : 0;
    tb[0] = tb[nb - 1] = 0;
    CopyWords(tb + shiftWords, b, nb - shiftWords);
    const unsigned shiftBits = 32 - BitLengthOfWord(tb[nb - 1]);
    ShiftLeftBits(tb, nb, shiftBits);

    ta[0] = ta[na] = ta[na + 1] = 0;
    CopyWords(ta + shiftWords, a, na);
    ShiftLeftBits(ta, na + 2, shiftBits);

    if (ta[na + 1] == 0 && ta[na] <= 1)
    {
        q[na - nb] = q[na - nb + 1] = 0;
        while (ta[na] != 0 || CompareWords(ta + na - nb, tb, nb) >= 0)
        {
            ta[na] -= SubtractWords(ta + na - nb, ta + na - nb, tb, nb);
            ++q[na - nb];
        }
    }
    else
    {
        na += 2;
    }

    // Quotient digits are estimated against the divisor's top two words
    // plus one, so they never overshoot and are only corrected upward.
    // All ones plus one wraps to 0, which DivideFourByTwo reads as 2^64.
    const CDoubleWord bt = CDoubleWord(tb[nb - 2], tb[nb - 1]) + 1u;
    uint32_t scratch[4];
    for (int64_t i = int64_t(na) - 2; i >= int64_t(nb); i -= 2)
    {
        const CDoubleWord digit = DivideFourByTwo(scratch, CDoubleWord(ta[i - 2], ta[i - 1]),
                                                  CDoubleWord(ta[i], ta[i + 1]), bt);
        q[i - nb] = digit.GetLowHalf();
        q[i - nb + 1] = digit.GetHighHalf();
        CorrectQuotientDigit(ta + i - nb, tp, q + i - nb, tb, nb);
    }

    CopyWords(r, ta + shiftWords, nb);
    ShiftRightBits(r, nb, shiftBits);
}
