#include "crypto/RsaKeyGenerator.h"

#include "crypto/Prime.h"

CRsaKeyGenerator::CRsaKeyGenerator() = default;

CRsaKeyGenerator::~CRsaKeyGenerator() = default;

bool CRsaKeyGenerator::Generate(uint32_t bits)
{
    // Below 6 bits the prime range is empty; with an odd size the exponent
    // range can be. Either would draw for ever.
    if (bits < 6 || bits % 2 != 0)
        return false;
    const uint32_t half = bits / 2;
    const CBigInteger one = CBigInteger::One();
    const CBigInteger primeMin = CBigInteger::Power2(half - 1) + one;
    const CBigInteger primeMax = CBigInteger::Power2(half) - one;
    const CBigInteger exponentMin = CBigInteger::Power2(bits - 2) + one;

    CBigInteger p;
    CBigInteger q;
    bool haveP = false;
    bool haveQ = false;
    while (!haveP || !haveQ)
    {
        if (!haveP)
            haveP = p.GenerateRandom(m_rng, primeMin, primeMax, 1) && VerifyPrime(m_rng, p, 3);
        if (!haveQ)
            haveQ = q.GenerateRandom(m_rng, primeMin, primeMax, 1) && VerifyPrime(m_rng, q, 3);
        // p = q would make n a square and phi wrong.
        if (haveP && haveQ && p == q)
            haveQ = false;
    }

    m_primeP = p;
    m_primeQ = q;
    m_modulus = p * q;
    const CBigInteger pMinus1 = p - one;
    const CBigInteger qMinus1 = q - one;
    const CBigInteger phi = qMinus1 * pMinus1;

    // The private exponent is drawn at random above 2^(bits - 2) and the public
    // exponent is its inverse: there is no fixed small public exponent.
    const CBigInteger exponentMax = m_modulus - CBigInteger(2);
    m_privateExponent.Randomize(m_rng, exponentMin, exponentMax);
    while (CBigInteger::Gcd(m_privateExponent, phi) > one)
        m_privateExponent.Randomize(m_rng, exponentMin, exponentMax);

    m_publicExponent = m_privateExponent.InverseMod(phi);
    m_crtCoefficient = q.InverseMod(p);
    m_exponentP = m_privateExponent % pMinus1;
    m_exponentQ = m_privateExponent % qMinus1;
    return true;
}
