#include "crypto/Aes.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/crypto/HexVectors.h"

using hexvec::FromHex;
using hexvec::ToHex;

namespace {

std::unique_ptr<CAesCipher> WithKey(const std::string& keyHex)
{
    auto aes = std::make_unique<CAesCipher>();
    std::vector<uint8_t> key = FromHex(keyHex);
    EXPECT_EQ(aes->SetKey(key.data(), static_cast<int32_t>(key.size())), AesOk);
    return aes;
}

TEST(AesCipher, Fips197AppendixCBlocks)
{
    struct Vector { const char* key; const char* cipher; };
    const Vector vectors[] = {
        {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"},
    };
    const std::vector<uint8_t> plain = FromHex("00112233445566778899aabbccddeeff");
    for (const Vector& v : vectors) {
        auto aes = WithKey(v.key);
        uint8_t out[16];
        ASSERT_EQ(aes->EcbProcess(AesEncrypt, plain.data(), out), AesOk);
        EXPECT_EQ(ToHex(out, 16), v.cipher);
        uint8_t back[16];
        ASSERT_EQ(aes->EcbProcess(AesDecrypt, out, back), AesOk);
        EXPECT_EQ(ToHex(back, 16), ToHex(plain));
        // In place.
        ASSERT_EQ(aes->EcbProcess(AesEncrypt, back, back), AesOk);
        EXPECT_EQ(ToHex(back, 16), v.cipher);
    }
}

const char kSp800Plain[] =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
const char kSp800Iv[] = "000102030405060708090a0b0c0d0e0f";

struct ModeVector { const char* key; const char* cbc; const char* cfb; };
const ModeVector kSp800Vectors[] = {
    {"2b7e151628aed2a6abf7158809cf4f3c",
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7",
     "3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b"
     "26751f67a3cbb140b1808cf187a4f4dfc04b05357c5d1c0eeac4c66f9ff7f2e6"},
    {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
     "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
     "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd",
     "cdc80d6fddf18cab34c25909c99a417467ce7f7f81173621961a2b70171d3d7a"
     "2e1e8a1dd59b88b1c8e60fed1efac4c9c05f9f9ca9834fa042ae8fba584b09ff"},
    {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
     "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b",
     "dc7e84bfda79164b7ecd8486985d386039ffed143b28b1c832113c6331e5407b"
     "df10132415e54b92a13ed0a8267ae2f975a385741ab9cef82031623d55b1e471"},
};

TEST(AesCipher, Sp800_38aCbcAndCfb128Vectors)
{
    const std::vector<uint8_t> plain = FromHex(kSp800Plain);
    for (const ModeVector& v : kSp800Vectors) {
        auto aes = WithKey(v.key);
        std::vector<uint8_t> iv = FromHex(kSp800Iv);
        std::vector<uint8_t> out(64);
        ASSERT_EQ(aes->CbcProcess(AesEncrypt, 64, iv.data(), plain.data(), out.data()), AesOk);
        EXPECT_EQ(ToHex(out), v.cbc);
        EXPECT_EQ(ToHex(iv), ToHex(out).substr(96)); // iv holds the last ciphertext block
        iv = FromHex(kSp800Iv);
        ASSERT_EQ(aes->CbcProcess(AesDecrypt, 64, iv.data(), out.data(), out.data()), AesOk);
        EXPECT_EQ(out, plain);

        iv = FromHex(kSp800Iv);
        int32_t offset = 0;
        ASSERT_EQ(aes->CfbProcess(AesEncrypt, 64, &offset, iv.data(), plain.data(), out.data()), AesOk);
        EXPECT_EQ(ToHex(out), v.cfb);
        EXPECT_EQ(offset, 0);
        iv = FromHex(kSp800Iv);
        ASSERT_EQ(aes->CfbProcess(AesDecrypt, 64, &offset, iv.data(), out.data(), out.data()), AesOk);
        EXPECT_EQ(out, plain);

        // 5 bytes and then 11, the offset and IV carried over by the caller.
        iv = FromHex(kSp800Iv);
        ASSERT_EQ(aes->CfbProcess(AesEncrypt, 5, &offset, iv.data(), plain.data(), out.data()), AesOk);
        EXPECT_EQ(offset, 5);
        ASSERT_EQ(aes->CfbProcess(AesEncrypt, 11, &offset, iv.data(), plain.data() + 5, out.data() + 5), AesOk);
        EXPECT_EQ(offset, 0);
        EXPECT_EQ(ToHex(out).substr(0, 32), std::string(v.cfb).substr(0, 32));
    }
}

TEST(AesCipher, WrapperResultCodes)
{
    CAesCipher aes;
    uint8_t block[16] = {};
    uint8_t iv[16] = {};
    int32_t offset = 0;
    // Mode is checked first, then the key.
    EXPECT_EQ(aes.EcbProcess(2, block, block), AesBadArgument);
    EXPECT_EQ(aes.CbcProcess(-1, 16, iv, block, block), AesBadArgument);
    EXPECT_EQ(aes.CfbProcess(2, 16, &offset, iv, block, block), AesBadArgument);
    EXPECT_EQ(aes.EcbProcess(AesEncrypt, block, block), AesNoKey);
    EXPECT_EQ(aes.CbcProcess(AesEncrypt, 16, iv, block, block), AesCbcNoKey);
    EXPECT_EQ(aes.CfbProcess(AesEncrypt, 16, &offset, iv, block, block), AesNoKey);

    const std::vector<uint8_t> key16 = FromHex(kSp800Vectors[0].key);
    EXPECT_EQ(aes.SetKey(key16.data(), 20), AesBadArgument);
    EXPECT_EQ(aes.SetKey(nullptr, 16), AesNullPointer);
    EXPECT_EQ(aes.SetKey(nullptr, 15), AesBadArgument); // length before pointer
    EXPECT_EQ(aes.EcbProcess(AesEncrypt, block, block), AesNoKey); // refused keys store nothing
    ASSERT_EQ(aes.SetKey(key16.data(), 16), AesOk);

    EXPECT_EQ(aes.EcbProcess(AesEncrypt, nullptr, block), AesNullPointer);
    EXPECT_EQ(aes.EcbProcess(AesDecrypt, block, nullptr), AesNullPointer);
    EXPECT_EQ(aes.CbcProcess(AesEncrypt, 16, iv, nullptr, block), AesNullPointer);
    EXPECT_EQ(aes.CbcProcess(AesEncrypt, 16, nullptr, block, block), AesNullPointer);
    EXPECT_EQ(aes.CfbProcess(AesEncrypt, 16, nullptr, iv, block, block), AesNullPointer);
    EXPECT_EQ(aes.CfbProcess(AesEncrypt, 16, &offset, nullptr, block, block), AesNullPointer);
    EXPECT_EQ(aes.CfbProcess(AesEncrypt, 16, &offset, iv, block, nullptr), AesNullPointer);

    // Bad lengths and offsets are refused before anything is touched.
    uint8_t before[16];
    std::memcpy(before, block, 16);
    for (int32_t length : {-16, 8, 17, 15})
        EXPECT_EQ(aes.CbcProcess(AesEncrypt, length, iv, block, block), AesBadLength) << length;
    EXPECT_EQ(aes.CfbProcess(AesEncrypt, -1, &offset, iv, block, block), AesBadLength);
    for (int32_t bad : {-1, 16, 1000}) {
        offset = bad;
        EXPECT_EQ(aes.CfbProcess(AesEncrypt, 4, &offset, iv, block, block), AesBadLength);
        EXPECT_EQ(offset, bad);
    }
    EXPECT_EQ(std::memcmp(before, block, 16), 0);
    EXPECT_EQ(std::memcmp(iv, std::vector<uint8_t>(16, 0).data(), 16), 0);

    EXPECT_EQ(aes.CbcProcess(AesEncrypt, 0, iv, block, block), AesOk);
    offset = 3;
    EXPECT_EQ(aes.CfbProcess(AesDecrypt, 0, &offset, iv, block, block), AesOk);
    EXPECT_EQ(offset, 3);

    // A refused key keeps the one before it; a later key replaces it.
    const std::vector<uint8_t> k256 = FromHex(kSp800Vectors[2].key);
    ASSERT_EQ(aes.SetKey(k256.data(), 20), AesBadArgument);
    ASSERT_EQ(aes.EcbProcess(AesEncrypt, FromHex("6bc1bee22e409f96e93d7e117393172a").data(), block), AesOk);
    EXPECT_EQ(ToHex(block, 16), "3ad77bb40d7a3660a89ecaf32466ef97");
    ASSERT_EQ(aes.SetKey(k256.data(), 32), AesOk);
    ASSERT_EQ(aes.EcbProcess(AesEncrypt, FromHex("6bc1bee22e409f96e93d7e117393172a").data(), block), AesOk);
    EXPECT_EQ(ToHex(block, 16), "f3eed1bdb5d2a03c064b5a7e3db181f8");
}

TEST(AesCipher, CoreIgnoresUnsupportedKeySize)
{
    CAesCipher aes;
    AesKeySchedule schedule;
    schedule.buffer[0] = 0x12345678u;
    const std::vector<uint8_t> key(32, 1);
    aes.SetEncryptKey(schedule, key.data(), 160);
    aes.SetDecryptKey(schedule, key.data(), 64);
    EXPECT_EQ(schedule.rounds, 0);
    EXPECT_EQ(schedule.buffer[0], 0x12345678u);
    aes.SetEncryptKey(schedule, key.data(), 192);
    EXPECT_EQ(schedule.rounds, 12);
    AesKeySchedule copy = schedule;
    EXPECT_EQ(copy.roundKeys, copy.buffer);
}

const EVP_CIPHER* OpenSslCipher(size_t keyLength, bool cfb)
{
    switch (keyLength) {
    case 16: return cfb ? EVP_aes_128_cfb128() : EVP_aes_128_cbc();
    case 24: return cfb ? EVP_aes_192_cfb128() : EVP_aes_192_cbc();
    default: return cfb ? EVP_aes_256_cfb128() : EVP_aes_256_cbc();
    }
}

std::vector<uint8_t> OpenSslCrypt(const EVP_CIPHER* cipher, bool encrypt, const std::vector<uint8_t>& key,
                                  const std::vector<uint8_t>& iv, const std::vector<uint8_t>& in)
{
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data(), encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    std::vector<uint8_t> out(in.size() + 32);
    int len = 0, tail = 0;
    EVP_CipherUpdate(ctx.get(), out.data(), &len, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx.get(), out.data() + len, &tail);
    out.resize(static_cast<size_t>(len + tail));
    return out;
}

TEST(AesCipher, MatchesOpenSslOnRandomInputs)
{
    hexvec::TestBytes gen(0xAE5);
    for (int round = 0; round < 150; ++round) {
        const size_t keyLength = 16 + 8 * (round % 3);
        std::vector<uint8_t> key = gen.Bytes(keyLength);
        const std::vector<uint8_t> iv0 = gen.Bytes(16);
        CAesCipher aes;
        ASSERT_EQ(aes.SetKey(key.data(), static_cast<int32_t>(keyLength)), AesOk);

        const size_t blocks = 1 + gen.Next() % 32;
        std::vector<uint8_t> plain = gen.Bytes(16 * blocks);
        std::vector<uint8_t> ours(plain.size());
        std::vector<uint8_t> iv(iv0);
        ASSERT_EQ(aes.CbcProcess(AesEncrypt, static_cast<int32_t>(plain.size()), iv.data(), plain.data(), ours.data()),
                  AesOk);
        ASSERT_EQ(ours, OpenSslCrypt(OpenSslCipher(keyLength, false), true, key, iv0, plain)) << round;
        iv = iv0;
        std::vector<uint8_t> back(ours);
        ASSERT_EQ(aes.CbcProcess(AesDecrypt, static_cast<int32_t>(back.size()), iv.data(), back.data(), back.data()),
                  AesOk);
        ASSERT_EQ(back, plain);

        // Feedback mode over any length, fed in random pieces.
        const size_t length = 1 + gen.Next() % 300;
        std::vector<uint8_t> text = gen.Bytes(length);
        std::vector<uint8_t> cfb(length);
        iv = iv0;
        int32_t offset = 0;
        size_t done = 0;
        while (done < length) {
            size_t piece = std::min<size_t>(length - done, gen.Next() % 40);
            ASSERT_EQ(aes.CfbProcess(AesEncrypt, static_cast<int32_t>(piece), &offset, iv.data(), text.data() + done,
                                     cfb.data() + done), AesOk);
            done += piece;
        }
        ASSERT_EQ(cfb, OpenSslCrypt(OpenSslCipher(keyLength, true), true, key, iv0, text)) << round;
        iv = iv0;
        offset = 0;
        ASSERT_EQ(aes.CfbProcess(AesDecrypt, static_cast<int32_t>(length), &offset, iv.data(), cfb.data(), cfb.data()),
                  AesOk);
        ASSERT_EQ(cfb, text);
    }
}

} // namespace
