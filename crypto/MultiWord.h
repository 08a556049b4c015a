// Unsigned multi-word arithmetic on raw arrays of 32-bit words, least
// significant word first. Nothing here allocates: callers pass every scratch
// area. Product kernels take power-of-two lengths of at least 2 words.
#pragma once

#include <cstdint>

// 64-bit value handled as two 32-bit halves.
class CDoubleWord
{
public:
    CDoubleWord() = default;
    explicit CDoubleWord(uint32_t low) : m_value(low) {}
    CDoubleWord(uint32_t low, uint32_t high) : m_value((uint64_t(high) << 32) | low) {}

    static CDoubleWord Multiply(uint32_t a, uint32_t b) { return FromValue(uint64_t(a) * b); }
    static CDoubleWord MultiplyAndAdd(uint32_t a, uint32_t b, uint32_t c)
    {
        return FromValue(uint64_t(a) * b + c);
    }

    CDoubleWord operator+(uint32_t w) const { return FromValue(m_value + w); }
    CDoubleWord& operator+=(uint32_t w)
    {
        m_value += w;
        return *this;
    }
    CDoubleWord operator-(uint32_t w) const { return FromValue(m_value - w); }
    CDoubleWord operator-(const CDoubleWord& d) const { return FromValue(m_value - d.m_value); }

    uint32_t GetLowHalf() const { return uint32_t(m_value); }
    uint32_t GetHighHalf() const { return uint32_t(m_value >> 32); }
    // After a subtraction from a single word: 1 when it borrowed.
    uint32_t GetHighHalfAsBorrow() const { return 0u - GetHighHalf(); }

    // Native 64-bit division gives the same quotient and remainder as the
    // half-word long division. A zero divisor gives 0.
    uint32_t operator/(uint32_t d) const { return d ? uint32_t(m_value / d) : 0; }
    uint32_t operator%(uint32_t d) const { return d ? uint32_t(m_value % d) : 0; }

    uint64_t Value() const { return m_value; }

private:
    static CDoubleWord FromValue(uint64_t v)
    {
        CDoubleWord d;
        d.m_value = v;
        return d;
    }
    uint64_t m_value = 0;
};

// Linear routines.
unsigned BitLengthOfWord(uint32_t w);
unsigned ByteLengthOfWord(uint32_t w);
inline uint32_t WordsForBits(uint32_t bits) { return uint32_t((uint64_t(bits) + 31) / 32); }
uint32_t CountWords(const uint32_t* a, uint32_t n);
void SetWords(uint32_t* r, uint32_t value, uint32_t n);
void CopyWords(uint32_t* r, const uint32_t* a, uint32_t n, bool byteSwap = false);
int CompareWords(const uint32_t* a, const uint32_t* b, uint32_t n);
uint32_t AddWords(uint32_t* r, const uint32_t* a, const uint32_t* b, uint32_t n);
uint32_t SubtractWords(uint32_t* r, const uint32_t* a, const uint32_t* b, uint32_t n);
uint32_t IncrementWords(uint32_t* a, uint32_t n, uint32_t by = 1);
uint32_t DecrementWords(uint32_t* a, uint32_t n, uint32_t by = 1);
void NegateWords(uint32_t* a, uint32_t n);
uint32_t ShiftLeftBits(uint32_t* a, uint32_t n, unsigned shift);
uint32_t ShiftRightBits(uint32_t* a, uint32_t n, unsigned shift);
void ShiftLeftWords(uint32_t* a, uint32_t n, uint32_t k);
void ShiftRightWords(uint32_t* a, uint32_t n, uint32_t k);
uint32_t MultiplyByWord(uint32_t* r, const uint32_t* a, uint32_t w, uint32_t n);

// Products. R never overlaps the operands; T is scratch.
// Size of the largest column-wise base. On 64-bit limbs a 16-word base beats
// one more Karatsuba level, whose additions cost more than they save.
constexpr unsigned MultiplyRecursionLimit() { return 16; }
void KaratsubaMultiply2(uint32_t* r, const uint32_t* a, const uint32_t* b);
void MultiplyLow2(uint32_t* r, const uint32_t* a, const uint32_t* b);
void CombaSquare2(uint32_t* r, const uint32_t* a);
void CombaMultiply4(uint32_t* r, const uint32_t* a, const uint32_t* b);
void CombaMultiply8(uint32_t* r, const uint32_t* a, const uint32_t* b);
void CombaSquare4(uint32_t* r, const uint32_t* a);
void CombaSquare8(uint32_t* r, const uint32_t* a);
void CombaMultiply16(uint32_t* r, const uint32_t* a, const uint32_t* b);
void CombaSquare16(uint32_t* r, const uint32_t* a);
void CombaMultiplyLow4(uint32_t* r, const uint32_t* a, const uint32_t* b);
void CombaMultiplyLow8(uint32_t* r, const uint32_t* a, const uint32_t* b);
void CombaMultiplyLow16(uint32_t* r, const uint32_t* a, const uint32_t* b);
// R = A*B (2n words); T has 2n words.
void KaratsubaMultiply(uint32_t* r, uint32_t* t, const uint32_t* a, const uint32_t* b, uint32_t n);
// R = A*A (2n words); T has 2n words.
void KaratsubaSquare(uint32_t* r, uint32_t* t, const uint32_t* a, uint32_t n);
// R = A*B mod 2^(32n) (n words); T has n words.
void KaratsubaMultiplyLow(uint32_t* r, uint32_t* t, const uint32_t* a, const uint32_t* b, uint32_t n);
// R = upper n words of A*B given L, its lower n words; T has 2n words.
void KaratsubaMultiplyHigh(uint32_t* r, uint32_t* t, const uint32_t* l, const uint32_t* a, const uint32_t* b,
                           uint32_t n);
// R = A*B (na + nb words); T has na + nb words. One length divides the other.
void UnbalancedMultiply(uint32_t* r, uint32_t* t, const uint32_t* a, uint32_t na, const uint32_t* b, uint32_t nb);

// Division. A (na words, even) by B (nb words, even, non-zero): remainder R
// (nb words) and quotient Q (na - nb + 2 words); T has na + 2*nb + 4 words.
void DivideWords(uint32_t* r, uint32_t* q, uint32_t* t, const uint32_t* a, uint32_t na, const uint32_t* b,
                 uint32_t nb);
// Two-digit quotient of the four digits (Al, Ah) by the two digits B, where
// Ah < B; B = 0 stands for 2^64. T receives the four digits as scratch.
CDoubleWord DivideFourByTwo(uint32_t* t, const CDoubleWord& al, const CDoubleWord& ah, const CDoubleWord& b);
// One-digit quotient of A[0..2] by (B1, B0), A[2..1] < (B1, B0); A keeps the remainder.
uint32_t DivideThreeByTwo(uint32_t* a, uint32_t b0, uint32_t b1);
