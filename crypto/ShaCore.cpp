#include "crypto/ShaCore.h"

namespace {

const uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline uint32_t BigSigma0(uint32_t x) { return Rotr(x, 2) ^ Rotr(x, 13) ^ Rotr(x, 22); }
inline uint32_t BigSigma1(uint32_t x) { return Rotr(x, 6) ^ Rotr(x, 11) ^ Rotr(x, 25); }
inline uint32_t SmallSigma0(uint32_t x) { return Rotr(x, 7) ^ Rotr(x, 18) ^ (x >> 3); }
inline uint32_t SmallSigma1(uint32_t x) { return Rotr(x, 17) ^ Rotr(x, 19) ^ (x >> 10); }
inline uint32_t Choose(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t Majority(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (z & (x | y)); }

} // namespace

// Rounds unrolled sixteen at a time with the variables renamed instead of shifted;
// the message schedule lives in a rolling window of 16 words.
#define KX_SHA256_ROUND(a, b, c, d, e, f, g, h, i, wi)                            \
    do {                                                                          \
        uint32_t t1 = h + BigSigma1(e) + Choose(e, f, g) + kSha256K[i] + (wi);    \
        uint32_t t2 = BigSigma0(a) + Majority(a, b, c);                           \
        d += t1;                                                                  \
        h = t1 + t2;                                                              \
    } while (0)

#define KX_SHA256_LOAD(k) w[k]

// Expands schedule word i (the round number modulo 16) in place.
#define KX_SHA256_EXPAND(i)                                                                 \
    (w[(i) & 15] += SmallSigma1(w[((i) - 2) & 15]) + w[((i) - 7) & 15] + SmallSigma0(w[((i) - 15) & 15]))

#define KX_SHA256_SIXTEEN(i, WORD)                                \
    KX_SHA256_ROUND(a, b, c, d, e, f, g, h, (i) + 0, WORD(0));    \
    KX_SHA256_ROUND(h, a, b, c, d, e, f, g, (i) + 1, WORD(1));    \
    KX_SHA256_ROUND(g, h, a, b, c, d, e, f, (i) + 2, WORD(2));    \
    KX_SHA256_ROUND(f, g, h, a, b, c, d, e, (i) + 3, WORD(3));    \
    KX_SHA256_ROUND(e, f, g, h, a, b, c, d, (i) + 4, WORD(4));    \
    KX_SHA256_ROUND(d, e, f, g, h, a, b, c, (i) + 5, WORD(5));    \
    KX_SHA256_ROUND(c, d, e, f, g, h, a, b, (i) + 6, WORD(6));    \
    KX_SHA256_ROUND(b, c, d, e, f, g, h, a, (i) + 7, WORD(7));    \
    KX_SHA256_ROUND(a, b, c, d, e, f, g, h, (i) + 8, WORD(8));    \
    KX_SHA256_ROUND(h, a, b, c, d, e, f, g, (i) + 9, WORD(9));    \
    KX_SHA256_ROUND(g, h, a, b, c, d, e, f, (i) + 10, WORD(10));  \
    KX_SHA256_ROUND(f, g, h, a, b, c, d, e, (i) + 11, WORD(11));  \
    KX_SHA256_ROUND(e, f, g, h, a, b, c, d, (i) + 12, WORD(12));  \
    KX_SHA256_ROUND(d, e, f, g, h, a, b, c, (i) + 13, WORD(13));  \
    KX_SHA256_ROUND(c, d, e, f, g, h, a, b, (i) + 14, WORD(14));  \
    KX_SHA256_ROUND(b, c, d, e, f, g, h, a, (i) + 15, WORD(15));

// BMI2 (rorx) where the processor has it, chosen once at load time. Kept
// internal: clang 14 gives an external clone set no symbol of the plain name.
__attribute__((target_clones("bmi2", "default")))
static void Sha256CompressClones(uint32_t state[8], const uint32_t block[16])
{
    uint32_t w[16];
    for (int i = 0; i < 16; ++i)
        w[i] = block[i];
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];

    KX_SHA256_SIXTEEN(0, KX_SHA256_LOAD);
    for (int i = 16; i < 64; i += 16) {
        KX_SHA256_SIXTEEN(i, KX_SHA256_EXPAND);
    }

    state[0] += a; state[1] += b; state[2] += c; state[3] += d;
    state[4] += e; state[5] += f; state[6] += g; state[7] += h;
}

void Sha256Compress(uint32_t state[8], const uint32_t block[16])
{
    Sha256CompressClones(state, block);
}

#undef KX_SHA256_ROUND
#undef KX_SHA256_EXPAND
#undef KX_SHA256_LOAD
#undef KX_SHA256_SIXTEEN

void ShaWipe(void* data, size_t length)
{
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    for (size_t i = 0; i < length; ++i)
        p[i] = 0;
}
