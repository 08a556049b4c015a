// AES-128/192/256 (FIPS 197): ECB, CBC and CFB128 behind wrappers that return
// numeric result codes; the cipher core works on an explicit key schedule.
#pragma once

#include <cstdint>

// Expanded round keys. The pointer always refers to this record's own buffer,
// also after a copy.
struct AesKeySchedule
{
    AesKeySchedule() : rounds(0), roundKeys(buffer), buffer{} {}
    AesKeySchedule(const AesKeySchedule& other);
    AesKeySchedule& operator=(const AesKeySchedule& other);

    int32_t rounds;
    uint32_t* roundKeys;
    uint32_t buffer[68]; // the 256-bit expansion computes 64 words
};

// Result codes of the wrappers.
enum AesResult : int32_t
{
    AesOk = 0,
    AesBadArgument = 1,  // mode not 0 or 1; key length not 16, 24 or 32
    AesNullPointer = 2,
    AesCopyFailed = 3,   // kept for callers' tables; memory copies here cannot fail
    AesNoKey = 4,        // EcbProcess, CfbProcess
    AesCbcNoKey = 5,     // CbcProcess
    AesBadLength = 6,    // length or feedback offset out of range
};

// Mode numbers: 0 encrypts, 1 decrypts (the core takes any non-zero value as decrypt).
enum AesMode : int32_t
{
    AesEncrypt = 0,
    AesDecrypt = 1,
};

// Not thread-safe: the wrappers rebuild m_schedule on every call.
class CAesCipher
{
public:
    CAesCipher();
    ~CAesCipher();

    int32_t SetKey(const uint8_t* key, int32_t keyLength);
    int32_t EcbProcess(int32_t mode, const uint8_t* input, uint8_t* output);
    // iv is updated to the last ciphertext block, so a following call continues the chain.
    int32_t CbcProcess(int32_t mode, int32_t length, uint8_t* iv, const uint8_t* input, uint8_t* output);
    // *ivOffset (0..15) and iv carry a partial block over to the next call.
    int32_t CfbProcess(int32_t mode, int32_t length, int32_t* ivOffset, uint8_t* iv,
                       const uint8_t* input, uint8_t* output);

    // Cipher core. A key size other than 128, 192 or 256 bits leaves the schedule unchanged.
    void SetEncryptKey(AesKeySchedule& schedule, const uint8_t* key, int32_t keyBits);
    void SetDecryptKey(AesKeySchedule& schedule, const uint8_t* key, int32_t keyBits);
    void CryptBlock(const AesKeySchedule& schedule, int32_t mode, const uint8_t input[16], uint8_t output[16]) const;
    void CryptCbc(const AesKeySchedule& schedule, int32_t mode, int32_t length, uint8_t iv[16],
                  const uint8_t* input, uint8_t* output) const;
    void CryptCfb128(const AesKeySchedule& schedule, int32_t mode, int32_t length, int32_t* ivOffset,
                     uint8_t iv[16], const uint8_t* input, uint8_t* output) const;

private:
    static uint32_t RotateLeft8(uint32_t x) { return (x << 8) | (x >> 24); }
    static uint8_t XTime(uint8_t x) { return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00)); }
    static uint8_t GfMultiply(uint8_t a, uint8_t b, const uint8_t* power, const uint8_t* logarithm);
    static uint32_t LoadWordLE(const uint8_t* p);
    static void StoreWordLE(uint32_t v, uint8_t* p);
    void GenerateTables();
    void ForwardRound(const uint32_t* rk, uint32_t& x0, uint32_t& x1, uint32_t& x2, uint32_t& x3,
                      uint32_t y0, uint32_t y1, uint32_t y2, uint32_t y3) const;
    void ReverseRound(const uint32_t* rk, uint32_t& x0, uint32_t& x1, uint32_t& x2, uint32_t& x3,
                      uint32_t y0, uint32_t y1, uint32_t y2, uint32_t y3) const;
    int32_t BuildSchedule(int32_t mode);

    uint32_t m_keyLength;
    uint8_t m_key[32];
    AesKeySchedule m_schedule;
    uint8_t m_forwardSbox[256];
    uint32_t m_forwardTables[4][256];
    uint8_t m_reverseSbox[256];
    uint32_t m_reverseTables[4][256];
    uint32_t m_roundConstants[10];
    uint32_t m_tablesReady;
};
