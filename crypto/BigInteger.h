// Signed multi-precision integer in sign-magnitude form: 32-bit words, least
// significant first, in a C-heap buffer whose size is always a value of the
// size ladder (2, 4, 8, ... words), so every kernel operand is a power of two.
//
// No exceptions and no error codes. A zero divisor or modulus gives 0 for
// quotient, remainder and inverse rather than a fault.
#pragma once

#include <cstdint>

class CIsaacRandom;

class CBigInteger
{
public:
    CBigInteger();
    CBigInteger(int32_t value);
    CBigInteger(uint32_t value, uint32_t wordCount);
    CBigInteger(uint32_t sign, uint32_t high, uint32_t low);
    explicit CBigInteger(const char* hexText);
    CBigInteger(const CBigInteger& other);
    CBigInteger(CBigInteger&& other) noexcept;
    ~CBigInteger();

    CBigInteger& operator=(const CBigInteger& other);
    CBigInteger& operator=(CBigInteger&& other) noexcept;
    void Assign(const CBigInteger& other);

    static CBigInteger Zero();
    static CBigInteger One();
    static CBigInteger Power2(uint32_t exponent);
    // Does nothing when words is this value's own buffer.
    void AssignWords(const uint32_t* words, uint32_t count, bool byteSwap, uint32_t sign);
    // Hexadecimal only; non-digits are skipped, a leading '-' negates.
    void ParseHexText(const char* text);

    // Size ladder: 2, 2, 2, 4, 4, 8, 8, 8, 8, then the next power of two.
    static uint32_t RoundUpSize(uint32_t n);

    uint32_t WordCount() const;
    uint32_t ByteCount() const;
    uint32_t BitCount() const;
    bool GetBit(uint32_t n) const;
    void SetBit(uint32_t n, bool value = true);
    uint8_t GetByte(uint32_t n) const;
    uint32_t GetBits(uint32_t first, uint32_t count) const;
    bool IsNegative() const { return m_sign == 1; }
    bool NotNegative() const { return m_sign == 0; }
    bool IsZero() const;
    bool NotZero() const { return !IsZero(); }
    bool IsPositive() const { return NotNegative() && NotZero(); }
    bool IsEven() const { return (m_words[0] & 1) == 0; }
    bool IsOdd() const { return !IsEven(); }
    bool IsUnit() const;
    bool IsDivisibleBy3() const;
    bool FitsInLong() const;
    // -1 when the value does not fit in a signed 32-bit word.
    int32_t ToLong() const;

    // Read access to the representation, for the word-level kernels.
    const uint32_t* Words() const { return m_words; }
    uint32_t Size() const { return m_size; }
    uint32_t Sign() const { return m_sign; }

    static int CompareMagnitude(const CBigInteger& a, const CBigInteger& b);
    static int Compare(const CBigInteger& a, const CBigInteger& b);
    friend bool operator==(const CBigInteger& a, const CBigInteger& b) { return Compare(a, b) == 0; }
    friend bool operator!=(const CBigInteger& a, const CBigInteger& b) { return Compare(a, b) != 0; }
    friend bool operator<(const CBigInteger& a, const CBigInteger& b) { return Compare(a, b) < 0; }
    friend bool operator<=(const CBigInteger& a, const CBigInteger& b) { return Compare(a, b) <= 0; }
    friend bool operator>(const CBigInteger& a, const CBigInteger& b) { return Compare(a, b) > 0; }
    friend bool operator>=(const CBigInteger& a, const CBigInteger& b) { return Compare(a, b) >= 0; }

    friend CBigInteger operator+(const CBigInteger& a, const CBigInteger& b);
    friend CBigInteger operator-(const CBigInteger& a, const CBigInteger& b);
    CBigInteger& operator+=(const CBigInteger& other);
    CBigInteger& operator-=(const CBigInteger& other);

    static void Multiply(CBigInteger& product, const CBigInteger& a, const CBigInteger& b);
    friend CBigInteger operator*(const CBigInteger& a, const CBigInteger& b);
    CBigInteger& operator*=(const CBigInteger& other);
    CBigInteger Squared() const;

    // a = q*b + r with 0 <= r < |b| for every sign combination.
    static void Divide(CBigInteger& remainder, CBigInteger& quotient, const CBigInteger& a, const CBigInteger& b);
    // a = q*d + rem with 0 <= rem < d.
    static void DivideByWord(uint32_t& remainder, CBigInteger& quotient, const CBigInteger& a, uint32_t divisor);
    // a = q*2^n + r with 0 <= r < 2^n.
    static void DivideByPowerOf2(CBigInteger& remainder, CBigInteger& quotient, const CBigInteger& a, uint32_t n);
    friend CBigInteger operator/(const CBigInteger& a, const CBigInteger& b);
    friend CBigInteger operator%(const CBigInteger& a, const CBigInteger& b);
    friend CBigInteger operator/(const CBigInteger& a, uint32_t divisor);
    // A plain int divisor is signed: it must not turn into a huge word.
    friend CBigInteger operator/(const CBigInteger& a, int32_t divisor) { return a / CBigInteger(divisor); }
    CBigInteger& operator%=(const CBigInteger& other);
    // The value modulo d, in 0 to d - 1.
    uint32_t ModuloWord(uint32_t divisor) const;

    CBigInteger& operator<<=(uint32_t n);
    CBigInteger& operator>>=(uint32_t n);
    CBigInteger operator<<(uint32_t n) const;
    CBigInteger operator>>(uint32_t n) const;
    CBigInteger& operator++();
    CBigInteger& operator--();

    void Negate();
    CBigInteger Negated() const;
    CBigInteger AbsoluteValue() const;
    CBigInteger SquareRoot() const;
    bool IsSquare() const;
    CBigInteger MultiplicativeInverse() const;
    void Swap(CBigInteger& other);

    // Number theory (NumberTheory.cpp).
    static CBigInteger Gcd(const CBigInteger& a, const CBigInteger& b);
    // Inverse modulo m, or 0 when there is none or m is not positive.
    CBigInteger InverseMod(const CBigInteger& m) const;
    // Inverse modulo a word, or 0 when there is none.
    uint32_t InverseModWord(uint32_t m) const;

    // Random values (Prime.cpp).
    void Randomize(CIsaacRandom& rng, const CBigInteger& min, const CBigInteger& max);
    // kind 0: odd, kind 1: prime.
    bool GenerateRandom(CIsaacRandom& rng, const CBigInteger& min, const CBigInteger& max, int kind);

private:
    friend class CMontgomeryForm;

    void Allocate(uint32_t n);
    void AllocateRaw(uint32_t n);
    void Grow(uint32_t n);
    void Resize(uint32_t n);
    void Release();
    void IncrementMagnitude();

    static void PositiveAdd(CBigInteger& sum, const CBigInteger& a, const CBigInteger& b);
    static void PositiveSubtract(CBigInteger& diff, const CBigInteger& a, const CBigInteger& b);
    static void PositiveMultiply(CBigInteger& product, const CBigInteger& a, const CBigInteger& b);
    static void PositiveDivide(CBigInteger& remainder, CBigInteger& quotient, const CBigInteger& a,
                               const CBigInteger& b);

    uint32_t* m_words = nullptr;
    uint32_t m_size = 0;
    uint32_t m_sign = 0;
};

void SwapBigIntegers(CBigInteger& a, CBigInteger& b);
