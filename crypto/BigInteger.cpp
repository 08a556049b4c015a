#include "crypto/BigInteger.h"

#include "crypto/MultiWord.h"

#include <cstdlib>
#include <utility>

namespace
{
// The library has no way to report heap exhaustion; stop rather than write
// through a null buffer.
uint32_t* HeapWords(uint32_t n, bool zeroed)
{
    void* p = zeroed ? std::calloc(n, sizeof(uint32_t)) : std::malloc(size_t(n) * sizeof(uint32_t));
    if (p == nullptr)
        std::abort();
    return static_cast<uint32_t*>(p);
}

// Scratch block freed when it goes out of scope.
class CScratch
{
public:
    explicit CScratch(uint32_t n) : m_words(HeapWords(n, false)) {}
    ~CScratch() { std::free(m_words); }
    CScratch(const CScratch&) = delete;
    CScratch& operator=(const CScratch&) = delete;
    uint32_t* Get() { return m_words; }

private:
    uint32_t* m_words;
};

uint32_t RoundUpEven(uint32_t n)
{
    return n + (n & 1);
}
} // namespace

// ---- buffer ----------------------------------------------------------------

uint32_t CBigInteger::RoundUpSize(uint32_t n)
{
    static const uint32_t kSmall[9] = {2, 2, 2, 4, 4, 8, 8, 8, 8};
    if (n <= 8)
        return kSmall[n];
    if (n <= 16)
        return 16;
    if (n <= 32)
        return 32;
    if (n <= 64)
        return 64;
    if (n > 0x80000000u)
        std::abort();
    return uint32_t(1) << BitLengthOfWord(n - 1);
}

void CBigInteger::Allocate(uint32_t n)
{
    if (n == 0)
        return;
    Release();
    m_words = HeapWords(n, true);
    m_size = n;
}

void CBigInteger::AllocateRaw(uint32_t n)
{
    if (n == 0)
        return;
    Release();
    m_words = HeapWords(n, false);
    m_size = n;
}

void CBigInteger::Grow(uint32_t n)
{
    if (n <= m_size)
        return;
    Resize(n);
}

void CBigInteger::Resize(uint32_t n)
{
    void* p = std::realloc(m_words, size_t(n) * sizeof(uint32_t));
    if (p == nullptr)
        std::abort();
    m_words = static_cast<uint32_t*>(p);
    // Added words are zeroed here too, which keeps the invariant for every caller.
    if (n > m_size)
        SetWords(m_words + m_size, 0, n - m_size);
    m_size = n;
}

void CBigInteger::Release()
{
    std::free(m_words);
    m_words = nullptr;
    m_size = 0;
}

// ---- construction ------------------------------------------------------------

CBigInteger::CBigInteger()
{
    Allocate(2);
}

CBigInteger::CBigInteger(int32_t value)
{
    Allocate(2);
    m_words[0] = value < 0 ? 0u - uint32_t(value) : uint32_t(value);
    m_sign = value < 0 ? 1 : 0;
}

CBigInteger::CBigInteger(uint32_t value, uint32_t wordCount)
{
    Allocate(RoundUpSize(wordCount));
    m_words[0] = value;
}

CBigInteger::CBigInteger(uint32_t sign, uint32_t high, uint32_t low)
{
    Allocate(2);
    m_words[0] = low;
    m_words[1] = high;
    m_sign = sign ? 1 : 0;
}

CBigInteger::CBigInteger(const char* hexText)
{
    Allocate(2);
    ParseHexText(hexText);
}

CBigInteger::CBigInteger(const CBigInteger& other)
{
    Assign(other);
}

CBigInteger::CBigInteger(CBigInteger&& other) noexcept
    : m_words(other.m_words), m_size(other.m_size), m_sign(other.m_sign)
{
    // The source stays a valid zero.
    other.m_words = HeapWords(2, true);
    other.m_size = 2;
    other.m_sign = 0;
}

CBigInteger::~CBigInteger()
{
    Release();
}

CBigInteger& CBigInteger::operator=(const CBigInteger& other)
{
    Assign(other);
    return *this;
}

CBigInteger& CBigInteger::operator=(CBigInteger&& other) noexcept
{
    Swap(other);
    return *this;
}

void CBigInteger::Assign(const CBigInteger& other)
{
    if (this == &other)
        return;
    const uint32_t count = other.WordCount();
    const uint32_t size = RoundUpSize(count);
    if (size == m_size)
    {
        // Same size: the buffer is reused.
        CopyWords(m_words, other.m_words, count);
        SetWords(m_words + count, 0, size - count);
    }
    else
    {
        uint32_t* words = HeapWords(size, true);
        CopyWords(words, other.m_words, count);
        Release();
        m_words = words;
        m_size = size;
    }
    m_sign = other.m_sign;
}

CBigInteger CBigInteger::Zero()
{
    return CBigInteger();
}

CBigInteger CBigInteger::One()
{
    return CBigInteger(1);
}

CBigInteger CBigInteger::Power2(uint32_t exponent)
{
    CBigInteger r(0u, exponent / 32 + 1);
    r.SetBit(exponent);
    return r;
}

void CBigInteger::AssignWords(const uint32_t* words, uint32_t count, bool byteSwap, uint32_t sign)
{
    if (words == m_words)
        return;
    const uint32_t n = CountWords(words, count);
    // Built aside first, so that a source inside this buffer is read before it is freed.
    CBigInteger fresh(0u, n);
    CopyWords(fresh.m_words, words, n, byteSwap);
    fresh.m_sign = sign ? 1 : 0;
    Swap(fresh);
}

void CBigInteger::ParseHexText(const char* text)
{
    // Radix 16 only: every other character is skipped, and '-' counts only first.
    CBigInteger value;
    if (text != nullptr)
    {
        for (const char* p = text; *p != '\0'; ++p)
        {
            unsigned digit;
            if (*p >= '0' && *p <= '9')
                digit = unsigned(*p - '0');
            else if (*p >= 'A' && *p <= 'F')
                digit = unsigned(*p - 'A' + 10);
            else if (*p >= 'a' && *p <= 'f')
                digit = unsigned(*p - 'a' + 10);
            else
                continue; // also the x of a leading 0x
            value <<= 4;
            value.m_words[0] |= digit;
        }
        if (text[0] == '-')
            value.Negate();
    }
    Swap(value);
}

// ---- queries -------------------------------------------------------------------

uint32_t CBigInteger::WordCount() const
{
    return CountWords(m_words, m_size);
}

uint32_t CBigInteger::ByteCount() const
{
    const uint32_t w = WordCount();
    return w == 0 ? 0 : 4 * (w - 1) + ByteLengthOfWord(m_words[w - 1]);
}

uint32_t CBigInteger::BitCount() const
{
    const uint32_t w = WordCount();
    return w == 0 ? 0 : 32 * (w - 1) + BitLengthOfWord(m_words[w - 1]);
}

bool CBigInteger::GetBit(uint32_t n) const
{
    return n / 32 < m_size && ((m_words[n / 32] >> (n % 32)) & 1) != 0;
}

void CBigInteger::SetBit(uint32_t n, bool value)
{
    if (value)
    {
        Grow(RoundUpSize(n / 32 + 1)); // the words for n + 1 bits, without overflow at n = 2^32 - 1
        m_words[n / 32] |= uint32_t(1) << (n % 32);
    }
    else if (n / 32 < m_size)
    {
        m_words[n / 32] &= ~(uint32_t(1) << (n % 32));
    }
}

uint8_t CBigInteger::GetByte(uint32_t n) const
{
    return n / 4 < m_size ? uint8_t(m_words[n / 4] >> (8 * (n % 4))) : 0;
}

uint32_t CBigInteger::GetBits(uint32_t first, uint32_t count) const
{
    uint32_t bits = 0;
    for (uint32_t j = 0; j < count && j < 32; ++j)
        if (GetBit(first + j))
            bits |= uint32_t(1) << j;
    return bits;
}

bool CBigInteger::IsZero() const
{
    return CountWords(m_words, m_size) == 0;
}

bool CBigInteger::IsUnit() const
{
    // True for -1 as well.
    return WordCount() == 1 && m_words[0] == 1;
}

bool CBigInteger::IsDivisibleBy3() const
{
    // 2^k is 1 modulo 3 for even k and -1 for odd k; 32 is even.
    int64_t count = 0;
    for (uint32_t i = 0; i < m_size; ++i)
        count += __builtin_popcount(m_words[i] & 0x55555555u) - __builtin_popcount(m_words[i] & 0xAAAAAAAAu);
    return count % 3 == 0;
}

bool CBigInteger::FitsInLong() const
{
    if (ByteCount() > 4)
        return false;
    if (NotNegative())
        return m_words[0] < 0x80000000u;
    return m_words[0] >= 1 && m_words[0] <= 0x80000000u;
}

int32_t CBigInteger::ToLong() const
{
    // -1 when the value does not fit; the sieve reads that as a huge unsigned count.
    if (!FitsInLong())
        return -1;
    return NotNegative() ? int32_t(m_words[0]) : int32_t(-int64_t(m_words[0]));
}

// ---- comparison ------------------------------------------------------------------

int CBigInteger::CompareMagnitude(const CBigInteger& a, const CBigInteger& b)
{
    const uint32_t wa = a.WordCount();
    const uint32_t wb = b.WordCount();
    if (wa != wb)
        return wa > wb ? 1 : -1;
    return CompareWords(a.m_words, b.m_words, wa);
}

int CBigInteger::Compare(const CBigInteger& a, const CBigInteger& b)
{
    if (a.NotNegative())
        return b.NotNegative() ? CompareMagnitude(a, b) : 1;
    return b.NotNegative() ? -1 : -CompareMagnitude(a, b);
}

// ---- sum and difference ------------------------------------------------------------

void CBigInteger::PositiveAdd(CBigInteger& sum, const CBigInteger& a, const CBigInteger& b)
{
    const CBigInteger& longer = a.m_size >= b.m_size ? a : b;
    const uint32_t shortSize = a.m_size < b.m_size ? a.m_size : b.m_size;
    const uint32_t longSize = longer.m_size;
    uint32_t carry = AddWords(sum.m_words, a.m_words, b.m_words, shortSize);
    CopyWords(sum.m_words + shortSize, longer.m_words + shortSize, longSize - shortSize);
    carry = IncrementWords(sum.m_words + shortSize, longSize - shortSize, carry);
    if (carry)
    {
        const uint32_t old = sum.m_size;
        sum.Grow(2 * old);
        sum.m_words[old] = 1;
    }
    sum.m_sign = 0;
}

void CBigInteger::PositiveSubtract(CBigInteger& diff, const CBigInteger& a, const CBigInteger& b)
{
    const uint32_t na = RoundUpEven(a.WordCount());
    const uint32_t nb = RoundUpEven(b.WordCount());
    if (na == nb)
    {
        if (CompareWords(a.m_words, b.m_words, na) < 0)
        {
            SubtractWords(diff.m_words, b.m_words, a.m_words, na);
            diff.m_sign = 1;
        }
        else
        {
            SubtractWords(diff.m_words, a.m_words, b.m_words, na);
            diff.m_sign = 0;
        }
    }
    else if (na < nb)
    {
        const uint32_t borrow = SubtractWords(diff.m_words, b.m_words, a.m_words, na);
        CopyWords(diff.m_words + na, b.m_words + na, nb - na);
        DecrementWords(diff.m_words + na, nb - na, borrow);
        diff.m_sign = 1;
    }
    else
    {
        const uint32_t borrow = SubtractWords(diff.m_words, a.m_words, b.m_words, nb);
        CopyWords(diff.m_words + nb, a.m_words + nb, na - nb);
        DecrementWords(diff.m_words + nb, na - nb, borrow);
        diff.m_sign = 0;
    }
}

CBigInteger operator+(const CBigInteger& a, const CBigInteger& b)
{
    CBigInteger sum(0u, a.m_size > b.m_size ? a.m_size : b.m_size);
    if (a.NotNegative())
    {
        if (b.NotNegative())
            CBigInteger::PositiveAdd(sum, a, b);
        else
            CBigInteger::PositiveSubtract(sum, a, b);
    }
    else if (b.NotNegative())
    {
        CBigInteger::PositiveSubtract(sum, b, a);
    }
    else
    {
        CBigInteger::PositiveAdd(sum, a, b);
        sum.m_sign = 1;
    }
    return sum;
}

CBigInteger operator-(const CBigInteger& a, const CBigInteger& b)
{
    CBigInteger diff(0u, a.m_size > b.m_size ? a.m_size : b.m_size);
    if (a.NotNegative())
    {
        if (b.NotNegative())
            CBigInteger::PositiveSubtract(diff, a, b);
        else
            CBigInteger::PositiveAdd(diff, a, b);
    }
    else if (b.NotNegative())
    {
        CBigInteger::PositiveAdd(diff, a, b);
        diff.m_sign = 1;
    }
    else
    {
        CBigInteger::PositiveSubtract(diff, b, a);
    }
    return diff;
}

CBigInteger& CBigInteger::operator+=(const CBigInteger& other)
{
    Grow(other.m_size);
    if (NotNegative())
    {
        if (other.NotNegative())
            PositiveAdd(*this, *this, other);
        else
            PositiveSubtract(*this, *this, other);
    }
    else if (other.NotNegative())
    {
        PositiveSubtract(*this, other, *this);
    }
    else
    {
        PositiveAdd(*this, *this, other);
        m_sign = 1;
    }
    return *this;
}

CBigInteger& CBigInteger::operator-=(const CBigInteger& other)
{
    Grow(other.m_size);
    if (NotNegative())
    {
        if (other.NotNegative())
            PositiveSubtract(*this, *this, other);
        else
            PositiveAdd(*this, *this, other);
    }
    else if (other.NotNegative())
    {
        PositiveAdd(*this, *this, other);
        m_sign = 1;
    }
    else
    {
        PositiveSubtract(*this, other, *this);
    }
    return *this;
}

// ---- product -------------------------------------------------------------------------

void CBigInteger::PositiveMultiply(CBigInteger& product, const CBigInteger& a, const CBigInteger& b)
{
    const uint32_t na = RoundUpSize(a.WordCount());
    const uint32_t nb = RoundUpSize(b.WordCount());
    product.Allocate(RoundUpSize(na + nb));
    product.m_sign = 0;
    CScratch scratch(na + nb);
    UnbalancedMultiply(product.m_words, scratch.Get(), a.m_words, na, b.m_words, nb);
}

void CBigInteger::Multiply(CBigInteger& product, const CBigInteger& a, const CBigInteger& b)
{
    CBigInteger result;
    PositiveMultiply(result, a, b);
    if (a.NotNegative() != b.NotNegative())
        result.Negate();
    product.Swap(result);
}

CBigInteger operator*(const CBigInteger& a, const CBigInteger& b)
{
    CBigInteger product;
    CBigInteger::Multiply(product, a, b);
    return product;
}

CBigInteger& CBigInteger::operator*=(const CBigInteger& other)
{
    Multiply(*this, *this, other);
    return *this;
}

CBigInteger CBigInteger::Squared() const
{
    CBigInteger product;
    PositiveMultiply(product, *this, *this);
    return product;
}

// ---- division --------------------------------------------------------------------------

void CBigInteger::PositiveDivide(CBigInteger& remainder, CBigInteger& quotient, const CBigInteger& a,
                                 const CBigInteger& b)
{
    if (b.IsZero())
    {
        remainder = CBigInteger();
        quotient = CBigInteger();
        return;
    }
    if (CompareMagnitude(a, b) < 0)
    {
        remainder = a;
        remainder.m_sign = 0;
        quotient = CBigInteger();
        return;
    }
    const uint32_t na = RoundUpEven(a.WordCount());
    const uint32_t nb = RoundUpEven(b.WordCount());
    remainder.Allocate(RoundUpSize(nb));
    remainder.m_sign = 0;
    quotient.Allocate(RoundUpSize(na - nb + 2));
    quotient.m_sign = 0;
    CScratch scratch(na + 2 * nb + 4);
    DivideWords(remainder.m_words, quotient.m_words, scratch.Get(), a.m_words, na, b.m_words, nb);
}

void CBigInteger::Divide(CBigInteger& remainder, CBigInteger& quotient, const CBigInteger& a, const CBigInteger& b)
{
    CBigInteger r;
    CBigInteger q;
    PositiveDivide(r, q, a, b);
    // Euclidean division: the remainder is never negative.
    if (a.IsNegative())
    {
        q.Negate();
        if (r.NotZero())
        {
            --q;
            r = b.AbsoluteValue() - r;
        }
    }
    if (b.IsNegative())
        q.Negate();
    remainder.Swap(r);
    quotient.Swap(q);
}

void CBigInteger::DivideByWord(uint32_t& remainder, CBigInteger& quotient, const CBigInteger& a, uint32_t divisor)
{
    if (divisor == 0)
    {
        remainder = 0;
        quotient = CBigInteger();
        return;
    }
    CBigInteger q;
    uint32_t r = 0;
    if ((divisor & (divisor - 1)) != 0)
    {
        const uint32_t count = a.WordCount();
        q.Allocate(RoundUpSize(count));
        for (uint32_t i = count; i-- > 0;)
        {
            const CDoubleWord d(a.m_words[i], r);
            q.m_words[i] = d / divisor;
            r = d % divisor;
        }
    }
    else
    {
        q = a >> (BitLengthOfWord(divisor) - 1);
        r = a.m_words[0] & (divisor - 1);
    }
    // Euclidean division: the remainder is never negative.
    q.m_sign = a.IsNegative() && q.NotZero() ? 1 : 0;
    if (a.IsNegative() && r != 0)
    {
        --q;
        r = divisor - r;
    }
    remainder = r;
    quotient.Swap(q);
}

void CBigInteger::DivideByPowerOf2(CBigInteger& remainder, CBigInteger& quotient, const CBigInteger& a, uint32_t n)
{
    CBigInteger q = a >> n;
    CBigInteger r;
    const uint32_t count = a.WordCount();
    const uint32_t bitWords = WordsForBits(n);
    if (bitWords > count)
    {
        r.Allocate(RoundUpSize(count));
        CopyWords(r.m_words, a.m_words, RoundUpSize(count));
    }
    else
    {
        r.Allocate(RoundUpSize(bitWords));
        CopyWords(r.m_words, a.m_words, bitWords);
        if (n % 32 != 0)
            r.m_words[bitWords - 1] &= (uint32_t(1) << (n % 32)) - 1;
    }
    r.m_sign = 0;
    // Euclidean division: the remainder is never negative.
    if (a.IsNegative() && r.NotZero())
    {
        --q;
        r = Power2(n) - r;
    }
    remainder.Swap(r);
    quotient.Swap(q);
}

CBigInteger operator/(const CBigInteger& a, const CBigInteger& b)
{
    CBigInteger r;
    CBigInteger q;
    CBigInteger::Divide(r, q, a, b);
    return q;
}

CBigInteger operator%(const CBigInteger& a, const CBigInteger& b)
{
    CBigInteger r;
    CBigInteger q;
    CBigInteger::Divide(r, q, a, b);
    return r;
}

CBigInteger operator/(const CBigInteger& a, uint32_t divisor)
{
    uint32_t r;
    CBigInteger q;
    CBigInteger::DivideByWord(r, q, a, divisor);
    return q;
}

CBigInteger& CBigInteger::operator%=(const CBigInteger& other)
{
    CBigInteger r = *this % other;
    Swap(r);
    return *this;
}

uint32_t CBigInteger::ModuloWord(uint32_t divisor) const
{
    if (divisor == 0)
        return 0;
    uint32_t r;
    if ((divisor & (divisor - 1)) == 0)
    {
        r = m_words[0] & (divisor - 1);
    }
    else if (divisor > 5)
    {
        r = 0;
        for (uint32_t i = WordCount(); i-- > 0;)
            r = CDoubleWord(m_words[i], r) % divisor;
    }
    else
    {
        // 2^32 is 1 modulo 3 and modulo 5: the word sum has the same residue.
        uint64_t sum = 0;
        for (uint32_t i = 0; i < m_size; ++i)
            sum += m_words[i];
        r = uint32_t(sum % divisor);
    }
    return IsNegative() && r != 0 ? divisor - r : r;
}

// ---- shifts, increment, decrement --------------------------------------------------------

CBigInteger& CBigInteger::operator<<=(uint32_t n)
{
    const uint32_t w = WordCount();
    Grow(RoundUpSize(w + WordsForBits(n)));
    ShiftLeftWords(m_words, w + n / 32, n / 32);
    ShiftLeftBits(m_words + n / 32, w + WordsForBits(n % 32), n % 32);
    return *this;
}

CBigInteger& CBigInteger::operator>>=(uint32_t n)
{
    // Acts on the magnitude: a negative value is rounded toward zero.
    const uint32_t w = WordCount();
    ShiftRightWords(m_words, w, n / 32);
    if (w > n / 32)
        ShiftRightBits(m_words, w - n / 32, n % 32);
    if (IsNegative() && IsZero())
        m_sign = 0;
    return *this;
}

CBigInteger CBigInteger::operator<<(uint32_t n) const
{
    CBigInteger r(*this);
    r <<= n;
    return r;
}

CBigInteger CBigInteger::operator>>(uint32_t n) const
{
    CBigInteger r(*this);
    r >>= n;
    return r;
}

void CBigInteger::IncrementMagnitude()
{
    if (IncrementWords(m_words, m_size, 1))
    {
        const uint32_t old = m_size;
        Grow(2 * old);
        m_words[old] = 1;
    }
}

CBigInteger& CBigInteger::operator++()
{
    if (IsZero())
        m_sign = 0;
    if (NotNegative())
    {
        IncrementMagnitude();
    }
    else
    {
        DecrementWords(m_words, m_size, 1);
        if (IsZero())
            m_sign = 0;
    }
    return *this;
}

CBigInteger& CBigInteger::operator--()
{
    if (IsZero())
        m_sign = 0;
    if (IsNegative())
    {
        IncrementMagnitude();
    }
    else if (DecrementWords(m_words, m_size, 1))
    {
        // The value was 0.
        SetWords(m_words, 0, m_size);
        m_words[0] = 1;
        m_sign = 1;
    }
    return *this;
}

// ---- other operations ----------------------------------------------------------------------

void CBigInteger::Negate()
{
    if (NotZero())
        m_sign ^= 1;
}

CBigInteger CBigInteger::Negated() const
{
    CBigInteger r(*this);
    r.Negate();
    return r;
}

CBigInteger CBigInteger::AbsoluteValue() const
{
    CBigInteger r(*this);
    r.m_sign = 0;
    return r;
}

CBigInteger CBigInteger::SquareRoot() const
{
    if (!IsPositive())
        return CBigInteger();
    // Newton's iteration from a power of two above the root.
    CBigInteger x;
    CBigInteger y = Power2((BitCount() + 1) / 2);
    do
    {
        x = y;
        y = (x + *this / x) >> 1;
    } while (y < x);
    return x;
}

bool CBigInteger::IsSquare() const
{
    return SquareRoot().Squared() == *this;
}

CBigInteger CBigInteger::MultiplicativeInverse() const
{
    return IsUnit() ? *this : CBigInteger();
}

void CBigInteger::Swap(CBigInteger& other)
{
    std::swap(m_words, other.m_words);
    std::swap(m_size, other.m_size);
    std::swap(m_sign, other.m_sign);
}

void SwapBigIntegers(CBigInteger& a, CBigInteger& b)
{
    a.Swap(b);
}
