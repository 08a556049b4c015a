// RSA key-pair generator: two random primes, a random private exponent and
// its inverse as the public exponent, and the Chinese-remainder values.
#pragma once

#include "crypto/BigInteger.h"
#include "crypto/Isaac.h"

#include <cstdint>

class CRsaKeyGenerator
{
public:
    CRsaKeyGenerator();
    virtual ~CRsaKeyGenerator();
    CRsaKeyGenerator(const CRsaKeyGenerator&) = delete;
    CRsaKeyGenerator& operator=(const CRsaKeyGenerator&) = delete;

    // bits is the modulus size; false for an odd size or one under 6 bits.
    bool Generate(uint32_t bits);

    CBigInteger* GetPublicExponent() { return &m_publicExponent; }
    CBigInteger* GetPrivateExponent() { return &m_privateExponent; }
    CBigInteger* GetModulus() { return &m_modulus; }
    CBigInteger* GetPrimeP() { return &m_primeP; }
    CBigInteger* GetPrimeQ() { return &m_primeQ; }
    // q^-1 mod p.
    CBigInteger* GetCrtCoefficient() { return &m_crtCoefficient; }
    // d mod (p - 1) and d mod (q - 1).
    CBigInteger* GetExponentP() { return &m_exponentP; }
    CBigInteger* GetExponentQ() { return &m_exponentQ; }

private:
    CIsaacRandom m_rng;
    CBigInteger m_publicExponent;
    CBigInteger m_privateExponent;
    CBigInteger m_modulus;
    CBigInteger m_primeP;
    CBigInteger m_primeQ;
    CBigInteger m_crtCoefficient;
    CBigInteger m_exponentP;
    CBigInteger m_exponentQ;
};
