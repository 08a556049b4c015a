// Blowfish block cipher: ECB, CBC and 64-bit CFB over whole 8-byte groups.
#pragma once

#include <cstddef>
#include <cstdint>

class CBlowfishBlock
{
public:
    CBlowfishBlock() : m_left(0), m_right(0) {}
    CBlowfishBlock(uint32_t left, uint32_t right) : m_left(left), m_right(right) {}
    CBlowfishBlock(const CBlowfishBlock&) = default;
    CBlowfishBlock& operator=(const CBlowfishBlock&) = default;

    CBlowfishBlock& operator^=(const CBlowfishBlock& other)
    {
        m_left ^= other.m_left;
        m_right ^= other.m_right;
        return *this;
    }

    uint32_t m_left;
    uint32_t m_right;
};

// Bytes 0..3 form m_left and bytes 4..7 m_right, most significant byte first.
void BytesToBlock(const uint8_t* bytes, CBlowfishBlock& block);
void BlockToBytes(const CBlowfishBlock& block, uint8_t* bytes);

// Mode argument: any value other than CBC and CFB means ECB.
enum CBlowfishMode : int32_t
{
    BlowfishEcb = 0,
    BlowfishCbc = 1,
    BlowfishCfb = 2,
};

// Throws std::exception ("Incorrect key length", "Incorrect buffer length");
// immutable after construction, so one object may serve several threads.
class CBlowfishCipher
{
public:
    CBlowfishCipher(const uint8_t* key, size_t keyLength, const CBlowfishBlock& chain);

    void Encrypt(uint8_t* buffer, size_t length, int32_t mode) const;
    void Decrypt(uint8_t* buffer, size_t length, int32_t mode) const;
    void Encrypt(const uint8_t* input, uint8_t* output, size_t length, int32_t mode) const;
    void Decrypt(const uint8_t* input, uint8_t* output, size_t length, int32_t mode) const;

    static constexpr size_t kMaxKeyLength = 56;

private:
    void EncryptBlock(CBlowfishBlock& block) const;
    void DecryptBlock(CBlowfishBlock& block) const;
    uint32_t RoundFunction(uint32_t x) const;

    CBlowfishBlock m_initialChain;
    CBlowfishBlock m_chain;
    uint32_t m_p[18];
    uint32_t m_s[4][256];
};
