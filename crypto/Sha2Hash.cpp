#include "crypto/Sha2Hash.h"

#include <cstdio>
#include <cstring>
#include <type_traits>

#include "crypto/ShaCore.h"

namespace {

const uint64_t kSha512K[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL,
};

const uint8_t kSha512Padding[128] = {0x80};

inline uint64_t Rotr64(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

inline uint64_t LoadBE64(const uint8_t* p)
{
    return (uint64_t(p[0]) << 56) | (uint64_t(p[1]) << 48) | (uint64_t(p[2]) << 40) | (uint64_t(p[3]) << 32) |
           (uint64_t(p[4]) << 24) | (uint64_t(p[5]) << 16) | (uint64_t(p[6]) << 8) | uint64_t(p[7]);
}

template <class Word>
void StoreBE(Word v, uint8_t* p)
{
    for (int i = int(sizeof(Word)) - 1; i >= 0; --i) {
        p[i] = uint8_t(v);
        v >>= 8;
    }
}

// Shared update of both context kinds: total counts bytes in two words, low
// first; whole blocks go straight from the input, the tail waits in the buffer.
template <size_t kBlock, class Context, class Process>
void FeedBytes(Context& ctx, const uint8_t* input, int32_t length, Process process)
{
    using Word = std::remove_reference_t<decltype(ctx.total[0])>;
    if (length <= 0)
        return;
    Word n = static_cast<Word>(length);
    Word left = ctx.total[0] & (kBlock - 1);
    const Word fill = kBlock - left;
    ctx.total[0] += n;
    if (ctx.total[0] < n)
        ctx.total[1]++;
    if (left != 0 && n >= fill) {
        std::memcpy(ctx.buffer + left, input, fill);
        process(ctx, ctx.buffer);
        input += fill;
        n -= fill;
        left = 0;
    }
    for (; n >= kBlock; n -= kBlock, input += kBlock)
        process(ctx, input);
    if (n > 0)
        std::memcpy(ctx.buffer + left, input, n);
}

// Shared finish: padding up to the length field, the bit count (two words,
// high first), then the first `words` state words big-endian.
template <size_t kBlock, class Context, class Update>
void FinishDigest(Context& ctx, const uint8_t* padding, Update update, int words, uint8_t* output)
{
    using Word = std::remove_reference_t<decltype(ctx.total[0])>;
    constexpr int kBits = int(sizeof(Word)) * 8;
    constexpr size_t kField = 2 * sizeof(Word);
    uint8_t lengthBlock[kField];
    StoreBE<Word>((ctx.total[0] >> (kBits - 3)) | (ctx.total[1] << 3), lengthBlock);
    StoreBE<Word>(ctx.total[0] << 3, lengthBlock + sizeof(Word));

    const size_t last = static_cast<size_t>(ctx.total[0] & (kBlock - 1));
    const size_t padCount = (last < kBlock - kField) ? (kBlock - kField - last) : (2 * kBlock - kField - last);
    update(ctx, padding, static_cast<int32_t>(padCount));
    update(ctx, lengthBlock, static_cast<int32_t>(kField));
    for (int i = 0; i < words; ++i)
        StoreBE<Word>(ctx.state[i], output + sizeof(Word) * i);
}

} // namespace

CSha2Hash::CSha2Hash() : m_padding{0x80}
{
}

CSha2Hash::~CSha2Hash() = default;

uint32_t CSha2Hash::LoadWordBE(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// ---- SHA-224 / SHA-256 ----

void CSha2Hash::Sha256Process(Sha256Context& ctx, const uint8_t* data)
{
    uint32_t w[16];
    for (int i = 0; i < 16; ++i)
        w[i] = LoadWordBE(data + 4 * i);
    Sha256Compress(ctx.state, w);
}

void CSha2Hash::Sha256Starts(Sha256Context& ctx, int32_t is224) const
{
    static const uint32_t init256[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                        0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};
    static const uint32_t init224[8] = {0xC1059ED8, 0x367CD507, 0x3070DD17, 0xF70E5939,
                                        0xFFC00B31, 0x68581511, 0x64F98FA7, 0xBEFA4FA4};
    ctx.total[0] = 0;
    ctx.total[1] = 0;
    std::memcpy(ctx.state, is224 ? init224 : init256, sizeof ctx.state);
    ctx.is224 = is224;
}

void CSha2Hash::Sha256Update(Sha256Context& ctx, const uint8_t* input, int32_t length) const
{
    FeedBytes<64>(ctx, input, length, Sha256Process);
}

void CSha2Hash::Sha256Finish(Sha256Context& ctx, uint8_t* output) const
{
    auto update = [this](Sha256Context& c, const uint8_t* in, int32_t n) { Sha256Update(c, in, n); };
    FinishDigest<64>(ctx, m_padding, update, ctx.is224 ? 7 : 8, output);
}

void CSha2Hash::Sha256(const uint8_t* input, int32_t length, uint8_t* output, int32_t is224) const
{
    Sha256Context ctx;
    Sha256Starts(ctx, is224);
    Sha256Update(ctx, input, length);
    Sha256Finish(ctx, output);
    ShaWipe(&ctx, sizeof ctx);
}

int32_t CSha2Hash::Sha256File(const char* path, uint8_t* output, int32_t is224) const
{
    std::FILE* file = path ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr)
        return 1;
    Sha256Context ctx;
    Sha256Starts(ctx, is224);
    uint8_t piece[1024];
    size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, file)) > 0)
        Sha256Update(ctx, piece, static_cast<int32_t>(n));
    Sha256Finish(ctx, output);
    ShaWipe(&ctx, sizeof ctx);
    ShaWipe(piece, sizeof piece);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return failed ? 2 : 0;
}

// ---- HMAC-SHA-224 / HMAC-SHA-256 ----

void CSha2Hash::HmacSha256Starts(Sha256Context& ctx, const uint8_t* key, int32_t keyLength, int32_t is224) const
{
    uint8_t hashedKey[32];
    if (keyLength > 64) {
        Sha256(key, keyLength, hashedKey, is224);
        keyLength = is224 ? 28 : 32;
        key = hashedKey;
    }
    std::memset(ctx.ipad, 0x36, sizeof ctx.ipad);
    std::memset(ctx.opad, 0x5C, sizeof ctx.opad);
    for (int32_t i = 0; i < keyLength; ++i) {
        ctx.ipad[i] = static_cast<uint8_t>(ctx.ipad[i] ^ key[i]);
        ctx.opad[i] = static_cast<uint8_t>(ctx.opad[i] ^ key[i]);
    }
    Sha256Starts(ctx, is224);
    Sha256Update(ctx, ctx.ipad, 64);
    ShaWipe(hashedKey, sizeof hashedKey);
}

void CSha2Hash::HmacSha256Update(Sha256Context& ctx, const uint8_t* input, int32_t length) const
{
    Sha256Update(ctx, input, length);
}

void CSha2Hash::HmacSha256Finish(Sha256Context& ctx, uint8_t* output) const
{
    const int32_t is224 = ctx.is224;
    const int32_t hashLength = is224 ? 28 : 32;
    uint8_t inner[32];
    Sha256Finish(ctx, inner);
    Sha256Starts(ctx, is224);
    Sha256Update(ctx, ctx.opad, 64);
    Sha256Update(ctx, inner, hashLength);
    Sha256Finish(ctx, output);
    ShaWipe(inner, sizeof inner);
}

void CSha2Hash::HmacSha256(const uint8_t* key, int32_t keyLength, const uint8_t* input, int32_t length,
                           uint8_t* output, int32_t is224) const
{
    Sha256Context ctx;
    HmacSha256Starts(ctx, key, keyLength, is224);
    HmacSha256Update(ctx, input, length);
    HmacSha256Finish(ctx, output);
    ShaWipe(&ctx, sizeof ctx);
}

// ---- SHA-384 / SHA-512 ----

#define KX_SHA512_ROUND(a, b, c, d, e, f, g, h, i, wi)                                                  \
    do {                                                                                                \
        uint64_t t1 = h + (Rotr64(e, 14) ^ Rotr64(e, 18) ^ Rotr64(e, 41)) + (g ^ (e & (f ^ g))) +       \
                      kSha512K[i] + (wi);                                                               \
        uint64_t t2 = (Rotr64(a, 28) ^ Rotr64(a, 34) ^ Rotr64(a, 39)) + ((a & b) | (c & (a | b)));      \
        d += t1;                                                                                        \
        h = t1 + t2;                                                                                    \
    } while (0)

#define KX_SHA512_LOAD(k) w[k]

// Expands schedule word i (the round number modulo 16) in place.
#define KX_SHA512_EXPAND(i)                                                                              \
    (w[(i) & 15] += (Rotr64(w[((i) - 2) & 15], 19) ^ Rotr64(w[((i) - 2) & 15], 61) ^                     \
                     (w[((i) - 2) & 15] >> 6)) +                                                         \
                    w[((i) - 7) & 15] +                                                                  \
                    (Rotr64(w[((i) - 15) & 15], 1) ^ Rotr64(w[((i) - 15) & 15], 8) ^ (w[((i) - 15) & 15] >> 7)))

#define KX_SHA512_SIXTEEN(i, WORD)                                \
    KX_SHA512_ROUND(a, b, c, d, e, f, g, h, (i) + 0, WORD(0));    \
    KX_SHA512_ROUND(h, a, b, c, d, e, f, g, (i) + 1, WORD(1));    \
    KX_SHA512_ROUND(g, h, a, b, c, d, e, f, (i) + 2, WORD(2));    \
    KX_SHA512_ROUND(f, g, h, a, b, c, d, e, (i) + 3, WORD(3));    \
    KX_SHA512_ROUND(e, f, g, h, a, b, c, d, (i) + 4, WORD(4));    \
    KX_SHA512_ROUND(d, e, f, g, h, a, b, c, (i) + 5, WORD(5));    \
    KX_SHA512_ROUND(c, d, e, f, g, h, a, b, (i) + 6, WORD(6));    \
    KX_SHA512_ROUND(b, c, d, e, f, g, h, a, (i) + 7, WORD(7));    \
    KX_SHA512_ROUND(a, b, c, d, e, f, g, h, (i) + 8, WORD(8));    \
    KX_SHA512_ROUND(h, a, b, c, d, e, f, g, (i) + 9, WORD(9));    \
    KX_SHA512_ROUND(g, h, a, b, c, d, e, f, (i) + 10, WORD(10));  \
    KX_SHA512_ROUND(f, g, h, a, b, c, d, e, (i) + 11, WORD(11));  \
    KX_SHA512_ROUND(e, f, g, h, a, b, c, d, (i) + 12, WORD(12));  \
    KX_SHA512_ROUND(d, e, f, g, h, a, b, c, (i) + 13, WORD(13));  \
    KX_SHA512_ROUND(c, d, e, f, g, h, a, b, (i) + 14, WORD(14));  \
    KX_SHA512_ROUND(b, c, d, e, f, g, h, a, (i) + 15, WORD(15));

// BMI2 (rorx) where the processor has it, chosen once at load time.
__attribute__((target_clones("bmi2", "default")))
void CSha2Hash::Sha512Process(Sha512Context& ctx, const uint8_t* data)
{
    uint64_t w[16];
    for (int i = 0; i < 16; ++i)
        w[i] = LoadBE64(data + 8 * i);
    uint64_t a = ctx.state[0], b = ctx.state[1], c = ctx.state[2], d = ctx.state[3];
    uint64_t e = ctx.state[4], f = ctx.state[5], g = ctx.state[6], h = ctx.state[7];

    KX_SHA512_SIXTEEN(0, KX_SHA512_LOAD);
    for (int i = 16; i < 80; i += 16) {
        KX_SHA512_SIXTEEN(i, KX_SHA512_EXPAND);
    }

    ctx.state[0] += a; ctx.state[1] += b; ctx.state[2] += c; ctx.state[3] += d;
    ctx.state[4] += e; ctx.state[5] += f; ctx.state[6] += g; ctx.state[7] += h;
}

#undef KX_SHA512_ROUND
#undef KX_SHA512_EXPAND
#undef KX_SHA512_LOAD
#undef KX_SHA512_SIXTEEN

void CSha2Hash::Sha512Starts(Sha512Context& ctx, int32_t is384) const
{
    static const uint64_t init512[8] = {0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL,
                                        0xa54ff53a5f1d36f1ULL, 0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL,
                                        0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL};
    static const uint64_t init384[8] = {0xcbbb9d5dc1059ed8ULL, 0x629a292a367cd507ULL, 0x9159015a3070dd17ULL,
                                        0x152fecd8f70e5939ULL, 0x67332667ffc00b31ULL, 0x8eb44a8768581511ULL,
                                        0xdb0c2e0d64f98fa7ULL, 0x47b5481dbefa4fa4ULL};
    ctx.total[0] = 0;
    ctx.total[1] = 0;
    std::memcpy(ctx.state, is384 ? init384 : init512, sizeof ctx.state);
    ctx.is384 = is384;
}

void CSha2Hash::Sha512Update(Sha512Context& ctx, const uint8_t* input, int32_t length) const
{
    FeedBytes<128>(ctx, input, length, Sha512Process);
}

void CSha2Hash::Sha512Finish(Sha512Context& ctx, uint8_t* output) const
{
    auto update = [this](Sha512Context& c, const uint8_t* in, int32_t n) { Sha512Update(c, in, n); };
    FinishDigest<128>(ctx, kSha512Padding, update, ctx.is384 ? 6 : 8, output);
}

void CSha2Hash::Sha512(const uint8_t* input, int32_t length, uint8_t* output, int32_t is384) const
{
    Sha512Context ctx;
    Sha512Starts(ctx, is384);
    Sha512Update(ctx, input, length);
    Sha512Finish(ctx, output);
    ShaWipe(&ctx, sizeof ctx);
}
