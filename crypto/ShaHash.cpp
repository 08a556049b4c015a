#include "crypto/ShaHash.h"

#include "crypto/ShaCore.h"

namespace {

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

} // namespace

void CShaHash::InitSha1()
{
    m_state[0] = 0x67452301;
    m_state[1] = 0xEFCDAB89;
    m_state[2] = 0x98BADCFE;
    m_state[3] = 0x10325476;
    m_state[4] = 0xC3D2E1F0;
}

void CShaHash::InitSha256()
{
    m_state[0] = 0x6A09E667;
    m_state[1] = 0xBB67AE85;
    m_state[2] = 0x3C6EF372;
    m_state[3] = 0xA54FF53A;
    m_state[4] = 0x510E527F;
    m_state[5] = 0x9B05688C;
    m_state[6] = 0x1F83D9AB;
    m_state[7] = 0x5BE0CD19;
}

uint32_t CShaHash::PadMessage(const uint8_t* message, uint32_t length)
{
    // (floor((length + 8) / 64) + 1) blocks: room for 0x80 and the 64-bit bit count.
    const uint32_t blocks = (length + 8) / 64 + 1;
    m_message.assign(static_cast<size_t>(blocks) * 16, 0);
    uint32_t i = 0;
    for (; i + 4 <= length; i += 4)
        m_message[i / 4] = (uint32_t(message[i]) << 24) | (uint32_t(message[i + 1]) << 16) |
                           (uint32_t(message[i + 2]) << 8) | uint32_t(message[i + 3]);
    for (; i < length; ++i)
        m_message[i / 4] |= uint32_t(message[i]) << (24 - 8 * (i % 4));
    m_message[length / 4] |= 0x80u << (24 - 8 * (length % 4));
    // Only the low half of the 64-bit length field is used: the bit count fits 32 bits.
    m_message.back() = length << 3;
    return blocks;
}

// State words stored least significant byte first (the native order of the
// original platform): each 4-byte group is the reverse of the FIPS 180 digest.
void CShaHash::WriteDigest(uint8_t* digest, int words) const
{
    for (int k = 0; k < words; ++k) {
        digest[4 * k] = uint8_t(m_state[k]);
        digest[4 * k + 1] = uint8_t(m_state[k] >> 8);
        digest[4 * k + 2] = uint8_t(m_state[k] >> 16);
        digest[4 * k + 3] = uint8_t(m_state[k] >> 24);
    }
}

#define KX_SHA1_CHOOSE(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define KX_SHA1_PARITY(x, y, z) ((x) ^ (y) ^ (z))
#define KX_SHA1_MAJORITY(x, y, z) (((x) & (y)) | ((z) & ((x) | (y))))
#define KX_SHA1_STEP(a, b, c, d, e, F, k, t)               \
    do {                                                   \
        e += Rotl(a, 5) + F(b, c, d) + (k) + w[t];         \
        b = Rotl(b, 30);                                   \
    } while (0)
#define KX_SHA1_FIVE(t, F, k)                              \
    do {                                                   \
        KX_SHA1_STEP(a, bb, c, d, e, F, k, (t) + 0);       \
        KX_SHA1_STEP(e, a, bb, c, d, F, k, (t) + 1);       \
        KX_SHA1_STEP(d, e, a, bb, c, F, k, (t) + 2);       \
        KX_SHA1_STEP(c, d, e, a, bb, F, k, (t) + 3);       \
        KX_SHA1_STEP(bb, c, d, e, a, F, k, (t) + 4);       \
    } while (0)

bool CShaHash::Sha1(const uint8_t* message, uint32_t length, uint8_t* digest)
{
    if (length >= kMaxLength)
        return true; // refused: true means failure here
    InitSha1();
    const uint32_t blocks = PadMessage(message, length);
    uint32_t w[80];
    for (uint32_t b = 0; b < blocks; ++b) {
        const uint32_t* block = &m_message[static_cast<size_t>(b) * 16];
        for (int t = 0; t < 16; ++t)
            w[t] = block[t];
        for (int t = 16; t < 80; ++t)
            w[t] = Rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
        uint32_t a = m_state[0], bb = m_state[1], c = m_state[2], d = m_state[3], e = m_state[4];
        // The four groups of twenty steps, each with its own function and constant;
        // five steps per pass with the variables renamed instead of moved.
        for (int t = 0; t < 20; t += 5)
            KX_SHA1_FIVE(t, KX_SHA1_CHOOSE, 0x5A827999);
        for (int t = 20; t < 40; t += 5)
            KX_SHA1_FIVE(t, KX_SHA1_PARITY, 0x6ED9EBA1);
        for (int t = 40; t < 60; t += 5)
            KX_SHA1_FIVE(t, KX_SHA1_MAJORITY, 0x8F1BBCDC);
        for (int t = 60; t < 80; t += 5)
            KX_SHA1_FIVE(t, KX_SHA1_PARITY, 0xCA62C1D6);
        m_state[0] += a;
        m_state[1] += bb;
        m_state[2] += c;
        m_state[3] += d;
        m_state[4] += e;
    }
    WriteDigest(digest, 5);
    return false;
}

#undef KX_SHA1_FIVE
#undef KX_SHA1_STEP
#undef KX_SHA1_MAJORITY
#undef KX_SHA1_PARITY
#undef KX_SHA1_CHOOSE

bool CShaHash::Sha256(const uint8_t* message, uint32_t length, uint8_t* digest)
{
    if (length >= kMaxLength)
        return true; // refused: true means failure here
    InitSha256();
    const uint32_t blocks = PadMessage(message, length);
    for (uint32_t b = 0; b < blocks; ++b)
        Sha256Compress(m_state, &m_message[static_cast<size_t>(b) * 16]);
    WriteDigest(digest, 8);
    return false;
}
