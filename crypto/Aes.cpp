#include "crypto/Aes.h"

#include <cstring>

AesKeySchedule::AesKeySchedule(const AesKeySchedule& other)
    : rounds(other.rounds), roundKeys(buffer)
{
    std::memcpy(buffer, other.buffer, sizeof buffer);
}

AesKeySchedule& AesKeySchedule::operator=(const AesKeySchedule& other)
{
    rounds = other.rounds;
    roundKeys = buffer;
    std::memcpy(buffer, other.buffer, sizeof buffer);
    return *this;
}

CAesCipher::CAesCipher()
    : m_keyLength(0), m_key{}, m_schedule(), m_forwardSbox{}, m_forwardTables{}, m_reverseSbox{},
      m_reverseTables{}, m_roundConstants{}, m_tablesReady(0)
{
}

CAesCipher::~CAesCipher() = default;

uint32_t CAesCipher::LoadWordLE(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void CAesCipher::StoreWordLE(uint32_t v, uint8_t* p)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

uint8_t CAesCipher::GfMultiply(uint8_t a, uint8_t b, const uint8_t* power, const uint8_t* logarithm)
{
    if (a == 0 || b == 0)
        return 0;
    return power[(logarithm[a] + logarithm[b]) % 255];
}

// Tables are computed once per object on its first key schedule rather than stored as constants.
void CAesCipher::GenerateTables()
{
    uint8_t power[256];
    uint8_t logarithm[256] = {};
    uint8_t x = 1;
    for (int i = 0; i < 256; ++i) {
        power[i] = x;
        logarithm[x] = static_cast<uint8_t>(i);
        x = static_cast<uint8_t>(x ^ XTime(x)); // generator 3
    }

    x = 1;
    for (int i = 0; i < 10; ++i) {
        m_roundConstants[i] = x;
        x = XTime(x);
    }

    m_forwardSbox[0x00] = 0x63;
    m_reverseSbox[0x63] = 0x00;
    for (int i = 1; i < 256; ++i) {
        uint8_t inv = power[255 - logarithm[i]];
        uint8_t y = inv;
        uint8_t r = inv;
        for (int k = 0; k < 4; ++k) {
            r = static_cast<uint8_t>((r << 1) | (r >> 7));
            y ^= r;
        }
        y ^= 0x63;
        m_forwardSbox[i] = y;
        m_reverseSbox[y] = static_cast<uint8_t>(i);
    }

    for (int i = 0; i < 256; ++i) {
        uint8_t s = m_forwardSbox[i];
        uint8_t s2 = XTime(s);
        uint32_t w = uint32_t(s2) | (uint32_t(s) << 8) | (uint32_t(s) << 16) | (uint32_t(s2 ^ s) << 24);
        m_forwardTables[0][i] = w;
        m_forwardTables[1][i] = RotateLeft8(w);
        m_forwardTables[2][i] = RotateLeft8(m_forwardTables[1][i]);
        m_forwardTables[3][i] = RotateLeft8(m_forwardTables[2][i]);

        uint8_t r = m_reverseSbox[i];
        w = uint32_t(GfMultiply(0x0E, r, power, logarithm)) |
            (uint32_t(GfMultiply(0x09, r, power, logarithm)) << 8) |
            (uint32_t(GfMultiply(0x0D, r, power, logarithm)) << 16) |
            (uint32_t(GfMultiply(0x0B, r, power, logarithm)) << 24);
        m_reverseTables[0][i] = w;
        m_reverseTables[1][i] = RotateLeft8(w);
        m_reverseTables[2][i] = RotateLeft8(m_reverseTables[1][i]);
        m_reverseTables[3][i] = RotateLeft8(m_reverseTables[2][i]);
    }
}

void CAesCipher::SetEncryptKey(AesKeySchedule& schedule, const uint8_t* key, int32_t keyBits)
{
    int32_t rounds;
    switch (keyBits) {
    case 128: rounds = 10; break;
    case 192: rounds = 12; break;
    case 256: rounds = 14; break;
    default: return;
    }
    if (m_tablesReady == 0) {
        GenerateTables();
        m_tablesReady = 1;
    }
    schedule.rounds = rounds;
    schedule.roundKeys = schedule.buffer;
    uint32_t* rk = schedule.buffer;
    const int words = keyBits / 32;
    for (int i = 0; i < words; ++i)
        rk[i] = LoadWordLE(key + 4 * i);

    const uint8_t* sb = m_forwardSbox;
    auto subRot = [sb](uint32_t w) {
        return uint32_t(sb[(w >> 8) & 0xFF]) | (uint32_t(sb[(w >> 16) & 0xFF]) << 8) |
               (uint32_t(sb[w >> 24]) << 16) | (uint32_t(sb[w & 0xFF]) << 24);
    };
    auto sub = [sb](uint32_t w) {
        return uint32_t(sb[w & 0xFF]) | (uint32_t(sb[(w >> 8) & 0xFF]) << 8) |
               (uint32_t(sb[(w >> 16) & 0xFF]) << 16) | (uint32_t(sb[w >> 24]) << 24);
    };

    if (words == 4) {
        for (int i = 0; i < 10; ++i, rk += 4) {
            rk[4] = rk[0] ^ m_roundConstants[i] ^ subRot(rk[3]);
            rk[5] = rk[1] ^ rk[4];
            rk[6] = rk[2] ^ rk[5];
            rk[7] = rk[3] ^ rk[6];
        }
    } else if (words == 6) {
        for (int i = 0; i < 8; ++i, rk += 6) {
            rk[6] = rk[0] ^ m_roundConstants[i] ^ subRot(rk[5]);
            rk[7] = rk[1] ^ rk[6];
            rk[8] = rk[2] ^ rk[7];
            rk[9] = rk[3] ^ rk[8];
            rk[10] = rk[4] ^ rk[9];
            rk[11] = rk[5] ^ rk[10];
        }
    } else {
        for (int i = 0; i < 7; ++i, rk += 8) {
            rk[8] = rk[0] ^ m_roundConstants[i] ^ subRot(rk[7]);
            rk[9] = rk[1] ^ rk[8];
            rk[10] = rk[2] ^ rk[9];
            rk[11] = rk[3] ^ rk[10];
            rk[12] = rk[4] ^ sub(rk[11]);
            rk[13] = rk[5] ^ rk[12];
            rk[14] = rk[6] ^ rk[13];
            rk[15] = rk[7] ^ rk[14];
        }
    }
}

void CAesCipher::SetDecryptKey(AesKeySchedule& schedule, const uint8_t* key, int32_t keyBits)
{
    if (keyBits != 128 && keyBits != 192 && keyBits != 256)
        return;
    AesKeySchedule forward;
    SetEncryptKey(forward, key, keyBits);

    const int32_t rounds = forward.rounds;
    schedule.rounds = rounds;
    schedule.roundKeys = schedule.buffer;
    uint32_t* rk = schedule.buffer;
    const uint32_t* sk = forward.buffer + rounds * 4;
    for (int j = 0; j < 4; ++j)
        *rk++ = sk[j];
    // Inner round keys pass InvMixColumns (equivalent inverse cipher).
    for (int32_t r = rounds - 1; r > 0; --r) {
        sk = forward.buffer + r * 4;
        for (int j = 0; j < 4; ++j) {
            uint32_t w = sk[j];
            *rk++ = m_reverseTables[0][m_forwardSbox[w & 0xFF]] ^
                    m_reverseTables[1][m_forwardSbox[(w >> 8) & 0xFF]] ^
                    m_reverseTables[2][m_forwardSbox[(w >> 16) & 0xFF]] ^
                    m_reverseTables[3][m_forwardSbox[w >> 24]];
        }
    }
    for (int j = 0; j < 4; ++j)
        *rk++ = forward.buffer[j];

    volatile uint32_t* wipe = forward.buffer;
    for (size_t i = 0; i < sizeof forward.buffer / sizeof forward.buffer[0]; ++i)
        wipe[i] = 0;
}

inline void CAesCipher::ForwardRound(const uint32_t* rk, uint32_t& x0, uint32_t& x1, uint32_t& x2, uint32_t& x3,
                                     uint32_t y0, uint32_t y1, uint32_t y2, uint32_t y3) const
{
    const auto& t = m_forwardTables;
    x0 = rk[0] ^ t[0][y0 & 0xFF] ^ t[1][(y1 >> 8) & 0xFF] ^ t[2][(y2 >> 16) & 0xFF] ^ t[3][y3 >> 24];
    x1 = rk[1] ^ t[0][y1 & 0xFF] ^ t[1][(y2 >> 8) & 0xFF] ^ t[2][(y3 >> 16) & 0xFF] ^ t[3][y0 >> 24];
    x2 = rk[2] ^ t[0][y2 & 0xFF] ^ t[1][(y3 >> 8) & 0xFF] ^ t[2][(y0 >> 16) & 0xFF] ^ t[3][y1 >> 24];
    x3 = rk[3] ^ t[0][y3 & 0xFF] ^ t[1][(y0 >> 8) & 0xFF] ^ t[2][(y1 >> 16) & 0xFF] ^ t[3][y2 >> 24];
}

inline void CAesCipher::ReverseRound(const uint32_t* rk, uint32_t& x0, uint32_t& x1, uint32_t& x2, uint32_t& x3,
                                     uint32_t y0, uint32_t y1, uint32_t y2, uint32_t y3) const
{
    const auto& t = m_reverseTables;
    x0 = rk[0] ^ t[0][y0 & 0xFF] ^ t[1][(y3 >> 8) & 0xFF] ^ t[2][(y2 >> 16) & 0xFF] ^ t[3][y1 >> 24];
    x1 = rk[1] ^ t[0][y1 & 0xFF] ^ t[1][(y0 >> 8) & 0xFF] ^ t[2][(y3 >> 16) & 0xFF] ^ t[3][y2 >> 24];
    x2 = rk[2] ^ t[0][y2 & 0xFF] ^ t[1][(y1 >> 8) & 0xFF] ^ t[2][(y0 >> 16) & 0xFF] ^ t[3][y3 >> 24];
    x3 = rk[3] ^ t[0][y3 & 0xFF] ^ t[1][(y2 >> 8) & 0xFF] ^ t[2][(y1 >> 16) & 0xFF] ^ t[3][y0 >> 24];
}

void CAesCipher::CryptBlock(const AesKeySchedule& schedule, int32_t mode, const uint8_t input[16],
                            uint8_t output[16]) const
{
    const uint32_t* rk = schedule.buffer;
    uint32_t x0 = LoadWordLE(input) ^ rk[0];
    uint32_t x1 = LoadWordLE(input + 4) ^ rk[1];
    uint32_t x2 = LoadWordLE(input + 8) ^ rk[2];
    uint32_t x3 = LoadWordLE(input + 12) ^ rk[3];
    rk += 4;
    uint32_t y0, y1, y2, y3;

    if (mode == AesEncrypt) {
        for (int32_t i = (schedule.rounds >> 1) - 1; i > 0; --i) {
            ForwardRound(rk, y0, y1, y2, y3, x0, x1, x2, x3);
            ForwardRound(rk + 4, x0, x1, x2, x3, y0, y1, y2, y3);
            rk += 8;
        }
        ForwardRound(rk, y0, y1, y2, y3, x0, x1, x2, x3);
        rk += 4;
        const uint8_t* sb = m_forwardSbox;
        x0 = rk[0] ^ uint32_t(sb[y0 & 0xFF]) ^ (uint32_t(sb[(y1 >> 8) & 0xFF]) << 8) ^
             (uint32_t(sb[(y2 >> 16) & 0xFF]) << 16) ^ (uint32_t(sb[y3 >> 24]) << 24);
        x1 = rk[1] ^ uint32_t(sb[y1 & 0xFF]) ^ (uint32_t(sb[(y2 >> 8) & 0xFF]) << 8) ^
             (uint32_t(sb[(y3 >> 16) & 0xFF]) << 16) ^ (uint32_t(sb[y0 >> 24]) << 24);
        x2 = rk[2] ^ uint32_t(sb[y2 & 0xFF]) ^ (uint32_t(sb[(y3 >> 8) & 0xFF]) << 8) ^
             (uint32_t(sb[(y0 >> 16) & 0xFF]) << 16) ^ (uint32_t(sb[y1 >> 24]) << 24);
        x3 = rk[3] ^ uint32_t(sb[y3 & 0xFF]) ^ (uint32_t(sb[(y0 >> 8) & 0xFF]) << 8) ^
             (uint32_t(sb[(y1 >> 16) & 0xFF]) << 16) ^ (uint32_t(sb[y2 >> 24]) << 24);
    } else {
        for (int32_t i = (schedule.rounds >> 1) - 1; i > 0; --i) {
            ReverseRound(rk, y0, y1, y2, y3, x0, x1, x2, x3);
            ReverseRound(rk + 4, x0, x1, x2, x3, y0, y1, y2, y3);
            rk += 8;
        }
        ReverseRound(rk, y0, y1, y2, y3, x0, x1, x2, x3);
        rk += 4;
        const uint8_t* sb = m_reverseSbox;
        x0 = rk[0] ^ uint32_t(sb[y0 & 0xFF]) ^ (uint32_t(sb[(y3 >> 8) & 0xFF]) << 8) ^
             (uint32_t(sb[(y2 >> 16) & 0xFF]) << 16) ^ (uint32_t(sb[y1 >> 24]) << 24);
        x1 = rk[1] ^ uint32_t(sb[y1 & 0xFF]) ^ (uint32_t(sb[(y0 >> 8) & 0xFF]) << 8) ^
             (uint32_t(sb[(y3 >> 16) & 0xFF]) << 16) ^ (uint32_t(sb[y2 >> 24]) << 24);
        x2 = rk[2] ^ uint32_t(sb[y2 & 0xFF]) ^ (uint32_t(sb[(y1 >> 8) & 0xFF]) << 8) ^
             (uint32_t(sb[(y0 >> 16) & 0xFF]) << 16) ^ (uint32_t(sb[y3 >> 24]) << 24);
        x3 = rk[3] ^ uint32_t(sb[y3 & 0xFF]) ^ (uint32_t(sb[(y2 >> 8) & 0xFF]) << 8) ^
             (uint32_t(sb[(y1 >> 16) & 0xFF]) << 16) ^ (uint32_t(sb[y0 >> 24]) << 24);
    }
    StoreWordLE(x0, output);
    StoreWordLE(x1, output + 4);
    StoreWordLE(x2, output + 8);
    StoreWordLE(x3, output + 12);
}

void CAesCipher::CryptCbc(const AesKeySchedule& schedule, int32_t mode, int32_t length, uint8_t iv[16],
                          const uint8_t* input, uint8_t* output) const
{
    // Whole blocks only: a trailing partial block is never read past.
    if (mode == AesEncrypt) {
        for (; length >= 16; length -= 16, input += 16, output += 16) {
            for (int i = 0; i < 16; ++i)
                output[i] = static_cast<uint8_t>(input[i] ^ iv[i]);
            CryptBlock(schedule, mode, output, output);
            std::memcpy(iv, output, 16);
        }
    } else {
        uint8_t kept[16];
        for (; length >= 16; length -= 16, input += 16, output += 16) {
            std::memcpy(kept, input, 16);
            CryptBlock(schedule, mode, input, output);
            for (int i = 0; i < 16; ++i)
                output[i] ^= iv[i];
            std::memcpy(iv, kept, 16);
        }
    }
}

void CAesCipher::CryptCfb128(const AesKeySchedule& schedule, int32_t mode, int32_t length, int32_t* ivOffset,
                             uint8_t iv[16], const uint8_t* input, uint8_t* output) const
{
    int32_t n = *ivOffset;
    if (n < 0 || n > 15)
        return;
    for (int32_t i = 0; i < length; ++i) {
        // The forward cipher serves both directions.
        if (n == 0)
            CryptBlock(schedule, AesEncrypt, iv, iv);
        uint8_t in = input[i];
        uint8_t out = static_cast<uint8_t>(iv[n] ^ in);
        output[i] = out;
        iv[n] = (mode == AesEncrypt) ? out : in;
        n = (n + 1) & 15;
    }
    *ivOffset = n;
}

int32_t CAesCipher::SetKey(const uint8_t* key, int32_t keyLength)
{
    if (keyLength != 16 && keyLength != 24 && keyLength != 32)
        return AesBadArgument;
    if (key == nullptr)
        return AesNullPointer;
    std::memcpy(m_key, key, static_cast<size_t>(keyLength));
    m_keyLength = static_cast<uint32_t>(keyLength);
    return AesOk;
}

// The key is expanded again on every wrapper call; the object keeps no chaining state.
int32_t CAesCipher::BuildSchedule(int32_t mode)
{
    const int32_t bits = static_cast<int32_t>(m_keyLength * 8);
    if (mode == AesEncrypt)
        SetEncryptKey(m_schedule, m_key, bits);
    else
        SetDecryptKey(m_schedule, m_key, bits);
    return AesOk;
}

int32_t CAesCipher::EcbProcess(int32_t mode, const uint8_t* input, uint8_t* output)
{
    if (mode != AesEncrypt && mode != AesDecrypt)
        return AesBadArgument;
    if (m_keyLength == 0)
        return AesNoKey;
    if (input == nullptr || output == nullptr)
        return AesNullPointer;
    BuildSchedule(mode);
    CryptBlock(m_schedule, mode, input, output);
    return AesOk;
}

int32_t CAesCipher::CbcProcess(int32_t mode, int32_t length, uint8_t* iv, const uint8_t* input, uint8_t* output)
{
    if (mode != AesEncrypt && mode != AesDecrypt)
        return AesBadArgument;
    if (m_keyLength == 0)
        return AesCbcNoKey;
    if (input == nullptr || output == nullptr || iv == nullptr)
        return AesNullPointer;
    if (length < 0 || length % 16 != 0)
        return AesBadLength;
    BuildSchedule(mode);
    CryptCbc(m_schedule, mode, length, iv, input, output);
    return AesOk;
}

int32_t CAesCipher::CfbProcess(int32_t mode, int32_t length, int32_t* ivOffset, uint8_t* iv,
                               const uint8_t* input, uint8_t* output)
{
    if (mode != AesEncrypt && mode != AesDecrypt)
        return AesBadArgument;
    if (m_keyLength == 0)
        return AesNoKey;
    if (input == nullptr || output == nullptr || ivOffset == nullptr || iv == nullptr)
        return AesNullPointer;
    if (length < 0 || *ivOffset < 0 || *ivOffset > 15)
        return AesBadLength;
    // Feedback mode decrypts with the encryption schedule too.
    BuildSchedule(AesEncrypt);
    CryptCfb128(m_schedule, mode, length, ivOffset, iv, input, output);
    return AesOk;
}
