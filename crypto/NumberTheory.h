// Greatest common divisors, modular inverses and modular powers, plain and in
// Montgomery form, with the word-level kernels underneath.
#pragma once

#include "crypto/BigInteger.h"

#include <cstdint>

// Euclid's algorithm; its operations return its own result member.
class CEuclidDomain
{
public:
    // Remainder of Euclidean division, never negative.
    const CBigInteger& Mod(const CBigInteger& a, const CBigInteger& b);
    const CBigInteger& Gcd(const CBigInteger& a, const CBigInteger& b);

private:
    CBigInteger m_result;
};

// Montgomery representation x * 2^(32N) mod m for an odd modulus m, N being
// the modulus's buffer size. Returned references stay valid only until the
// next call on the same form. An even modulus gives meaningless values (the
// callers here never build one) but never touches memory outside the form.
class CMontgomeryForm
{
public:
    explicit CMontgomeryForm(const CBigInteger& modulus);
    ~CMontgomeryForm();
    CMontgomeryForm(const CMontgomeryForm&) = delete;
    CMontgomeryForm& operator=(const CMontgomeryForm&) = delete;

    const CBigInteger& GetModulus() const { return m_modulus; }
    CBigInteger ToMontgomery(const CBigInteger& x) const;
    CBigInteger FromMontgomery(const CBigInteger& a);
    const CBigInteger& Multiply(const CBigInteger& a, const CBigInteger& b);
    const CBigInteger& Square(const CBigInteger& a);
    const CBigInteger& Subtract(const CBigInteger& a, const CBigInteger& b);

private:
    // Operands wider than the form, or negative, are reduced first, so the
    // workspace is never overrun.
    const CBigInteger& Fit(const CBigInteger& x, CBigInteger& reduced) const;
    void Reduce();

    CBigInteger m_result;
    CBigInteger m_result2;
    CBigInteger m_modulus;
    CBigInteger m_inverse;
    uint32_t* m_workspace = nullptr;
};

// (x * y) mod m.
CBigInteger ModMultiply(const CBigInteger& x, const CBigInteger& y, const CBigInteger& m);
// x^e mod m by square and multiply on plain values. 0 for m <= 0 or e < 0.
CBigInteger ModPowerPlain(const CBigInteger& x, const CBigInteger& e, const CBigInteger& m);
// x^e mod m in Montgomery form for odd m (an even m takes the plain route).
// 0 for m <= 0 or e < 0.
CBigInteger ModPower(const CBigInteger& x, const CBigInteger& e, const CBigInteger& m);

// Word-level kernels on arrays of n words.
uint32_t InverseWordModPowerOf2(uint32_t a);
// R = A^-1 mod 2^(32n) for odd A; T has 2n words; n a power of two.
void InverseModPowerOf2(uint32_t* r, uint32_t* t, const uint32_t* a, uint32_t n);
// R = X * 2^(-32n) mod M for X (2n words) below M * 2^(32n), U = M^-1 mod
// 2^(32n); T has 3n words.
void MontgomeryReduce(uint32_t* r, uint32_t* t, const uint32_t* x, const uint32_t* m, const uint32_t* u, uint32_t n);
// Returns k with R*A = 2^k (mod M) for odd M, or 0 with R = 0 when A has no
// inverse. A has na <= n words; T has 4n words.
uint32_t AlmostInverse(uint32_t* r, uint32_t* t, const uint32_t* a, uint32_t na, const uint32_t* m, uint32_t n);
// R = A * 2^(-k) mod M for odd M.
void DivideByPowerOf2Mod(uint32_t* r, const uint32_t* a, uint32_t k, const uint32_t* m, uint32_t n);
// R = A * 2^k mod M.
void MultiplyByPowerOf2Mod(uint32_t* r, const uint32_t* a, uint32_t k, const uint32_t* m, uint32_t n);
// n reduced by 2 while both of the top two words are zero.
uint32_t EvenWordCount(const uint32_t* a, uint32_t n);
void SwapPointers(uint32_t*& p, uint32_t*& q);
