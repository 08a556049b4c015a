// Probable-prime tests, the small-prime sieve and the search for primes.
#pragma once

#include "crypto/BigInteger.h"

#include <cstdint>
#include <vector>

class CIsaacRandom;

// Every prime below this bound is in the small-prime table (3511 primes, 2 to 32719).
constexpr uint32_t kSmallPrimeBound = 32720;
constexpr uint32_t kSmallPrimeCount = 3511;

// Fills the table with the small primes (found by trial division when compiling).
void BuildPrimeTable(std::vector<uint16_t>& table);

// Jacobi symbol (a / b) for odd positive b; 0 for any other b.
int Jacobi(const CBigInteger& a, const CBigInteger& b);
// V_e of the Lucas sequence with parameters (p, 1) modulo odd n; 0 for an
// even or non-positive n.
CBigInteger LucasV(const CBigInteger& e, const CBigInteger& p, const CBigInteger& n);
// One Miller-Rabin trial with base b.
bool IsStrongProbablePrime(const CBigInteger& n, const CBigInteger& b);
bool IsStrongLucasProbablePrime(const CBigInteger& n);
// Below kSmallPrimeBound from the table; otherwise base 3 and the Lucas test.
bool IsPrime(const CBigInteger& n);
// Miller-Rabin with base 2.
bool FastPrimeTest(const CBigInteger& n);
// `rounds` Miller-Rabin trials with random bases.
bool RabinMillerTest(CIsaacRandom& rng, const CBigInteger& n, unsigned rounds);
// IsPrime, one random-base trial, and ten more when level is non-zero.
bool VerifyPrime(CIsaacRandom& rng, const CBigInteger& p, unsigned level);
// True when a prime lies in [p, max] among p, p + 2, ... (p > 2 starts at p | 1);
// p is left on it.
bool FirstPrime(CBigInteger& p, const CBigInteger& max);

// Strikes out, window by window, the entries first + j*step that a table
// prime divides (and, with a non-zero delta, those whose (c - delta) / 2 a
// table prime divides).
class CPrimeSieve
{
public:
    CPrimeSieve(const CBigInteger& first, const CBigInteger& last, const CBigInteger& step, uint32_t delta);
    // The next entry not struck out; false past the last.
    bool NextCandidate(CBigInteger& candidate);

    static constexpr uint32_t kWindow = 32768;

private:
    void DoSieve();
    void SieveSingle(uint32_t p, const CBigInteger& first, const CBigInteger& step, uint32_t inverse);

    std::vector<uint16_t> m_primeTable;
    CBigInteger m_first;
    CBigInteger m_last;
    CBigInteger m_step;
    uint32_t m_delta;
    uint32_t m_next;
    std::vector<uint8_t> m_sieve;
};
