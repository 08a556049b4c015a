// SHA-224/256/384/512 over caller-held contexts, one-shot and over a file, and
// HMAC-SHA-224/256. Digests are the FIPS 180 byte strings.
#pragma once

#include <cstdint>

struct Sha256Context
{
    uint32_t total[2];   // bytes fed so far, low word first
    uint32_t state[8];
    uint8_t buffer[64];  // unprocessed tail (total mod 64 bytes valid)
    uint8_t ipad[64];    // HMAC inner pad (key XOR 0x36)
    uint8_t opad[64];    // HMAC outer pad (key XOR 0x5C)
    int32_t is224;
};

struct Sha512Context
{
    uint64_t total[2];
    uint64_t state[8];
    uint8_t buffer[128];
    uint8_t ipad[128];
    uint8_t opad[128];
    int32_t is384;
};

// Holds only read-only data after construction: one object may serve several
// threads, each with its own context.
class CSha2Hash
{
public:
    CSha2Hash();
    ~CSha2Hash();

    void Sha256Starts(Sha256Context& ctx, int32_t is224) const;
    void Sha256Update(Sha256Context& ctx, const uint8_t* input, int32_t length) const;
    void Sha256Finish(Sha256Context& ctx, uint8_t* output) const;
    void Sha256(const uint8_t* input, int32_t length, uint8_t* output, int32_t is224) const;
    // 0 done, 1 cannot open, 2 read error (digest of the bytes read before it is written).
    int32_t Sha256File(const char* path, uint8_t* output, int32_t is224) const;

    void HmacSha256Starts(Sha256Context& ctx, const uint8_t* key, int32_t keyLength, int32_t is224) const;
    void HmacSha256Update(Sha256Context& ctx, const uint8_t* input, int32_t length) const;
    void HmacSha256Finish(Sha256Context& ctx, uint8_t* output) const;
    void HmacSha256(const uint8_t* key, int32_t keyLength, const uint8_t* input, int32_t length,
                    uint8_t* output, int32_t is224) const;

    void Sha512Starts(Sha512Context& ctx, int32_t is384) const;
    void Sha512Update(Sha512Context& ctx, const uint8_t* input, int32_t length) const;
    void Sha512Finish(Sha512Context& ctx, uint8_t* output) const;
    void Sha512(const uint8_t* input, int32_t length, uint8_t* output, int32_t is384) const;

private:
    static void Sha256Process(Sha256Context& ctx, const uint8_t* data);
    static void Sha512Process(Sha512Context& ctx, const uint8_t* data);
    static uint32_t LoadWordBE(const uint8_t* p);

    uint8_t m_padding[64];
};
