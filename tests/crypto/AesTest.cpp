#include "crypto/Aes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/crypto/HexVectors.h"

using namespace hexvec;

namespace {

CAesCipher WithKey(const std::string& keyHex)
{
    CAesCipher aes;
    const std::vector<uint8_t> key = FromHex(keyHex);
    EXPECT_EQ(aes.SetKey(key.data(), static_cast<int32_t>(key.size())), AesOk);
    return aes;
}

TEST(AesCipher, Fips197AppendixCBlocks)
{
    struct Vector { const char* name; const char* key; const char* cipher; };
    const Vector vectors[] = {
        {"C.1 AES-128", "000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"C.2 AES-192", "000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"C.3 AES-256", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "8ea2b7ca516745bfeafc49904b496089"},
    };
    const std::vector<uint8_t> plain = FromHex("00112233445566778899aabbccddeeff");
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.name);
        CAesCipher aes = WithKey(v.key);
        uint8_t out[16];
        ASSERT_EQ(aes.EcbProcess(AesEncrypt, plain.data(), out), AesOk);
        EXPECT_EQ(ToHex(out, 16), v.cipher);
        ASSERT_EQ(aes.EcbProcess(AesDecrypt, out, out), AesOk);
        EXPECT_EQ(ToHex(out, 16), ToHex(plain));
    }
}

// SP 800-38A F.2 and F.3.13-18: four blocks, the same plaintext and IV for every key.
const char kSp800Plain[] =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
const char kSp800Iv[] = "000102030405060708090a0b0c0d0e0f";

struct ModeVector { const char* name; const char* key; const char* cbc; const char* cfb; };
const ModeVector kSp800Vectors[] = {
    {"AES-128", "2b7e151628aed2a6abf7158809cf4f3c",
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7",
     "3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b"
     "26751f67a3cbb140b1808cf187a4f4dfc04b05357c5d1c0eeac4c66f9ff7f2e6"},
    {"AES-192", "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
     "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
     "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd",
     "cdc80d6fddf18cab34c25909c99a417467ce7f7f81173621961a2b70171d3d7a"
     "2e1e8a1dd59b88b1c8e60fed1efac4c9c05f9f9ca9834fa042ae8fba584b09ff"},
    {"AES-256", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
     "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b",
     "dc7e84bfda79164b7ecd8486985d386039ffed143b28b1c832113c6331e5407b"
     "df10132415e54b92a13ed0a8267ae2f975a385741ab9cef82031623d55b1e471"},
};

// CBC as one block and then three, the IV left by the first call continuing
// the chain; CFB in pieces that end inside a block, the offset and IV carrying
// the partial block to the next call.
TEST(AesCipher, Sp800_38aVectorsAcrossCalls)
{
    const std::vector<uint8_t> plain = FromHex(kSp800Plain);
    for (const ModeVector& v : kSp800Vectors) {
        SCOPED_TRACE(v.name);
        CAesCipher aes = WithKey(v.key);
        std::vector<uint8_t> iv = FromHex(kSp800Iv), out(64);
        ASSERT_EQ(aes.CbcProcess(AesEncrypt, 16, iv.data(), plain.data(), out.data()), AesOk);
        ASSERT_EQ(aes.CbcProcess(AesEncrypt, 48, iv.data(), plain.data() + 16, out.data() + 16), AesOk);
        EXPECT_EQ(ToHex(out), v.cbc) << "cbc encrypt";
        iv = FromHex(kSp800Iv);
        ASSERT_EQ(aes.CbcProcess(AesDecrypt, 16, iv.data(), out.data(), out.data()), AesOk);
        ASSERT_EQ(aes.CbcProcess(AesDecrypt, 48, iv.data(), out.data() + 16, out.data() + 16), AesOk);
        EXPECT_EQ(ToHex(out), kSp800Plain) << "cbc decrypt";

        iv = FromHex(kSp800Iv);
        int32_t offset = 0, done = 0;
        for (int32_t piece : {5, 11, 0, 20, 28}) {
            ASSERT_EQ(aes.CfbProcess(AesEncrypt, piece, &offset, iv.data(), plain.data() + done, out.data() + done),
                      AesOk);
            done += piece;
            EXPECT_EQ(offset, done % 16) << "cfb offset after " << done << " bytes";
        }
        EXPECT_EQ(ToHex(out), v.cfb) << "cfb encrypt";
        iv = FromHex(kSp800Iv);
        offset = 0;
        ASSERT_EQ(aes.CfbProcess(AesDecrypt, 64, &offset, iv.data(), out.data(), out.data()), AesOk);
        EXPECT_EQ(ToHex(out), kSp800Plain) << "cfb decrypt";
    }
}

TEST(AesCipher, WrapperResultCodes)
{
    const std::vector<uint8_t> key = FromHex(kSp800Vectors[0].key);
    CAesCipher none, keyed = WithKey(kSp800Vectors[0].key);
    uint8_t b[16] = {}, iv[16] = {};
    int32_t offset = 0, badOffset = 16;
    EXPECT_EQ(none.EcbProcess(2, b, b), AesBadArgument) << "ecb: mode before key";
    EXPECT_EQ(none.CbcProcess(-1, 16, iv, b, b), AesBadArgument) << "cbc: mode before key";
    EXPECT_EQ(none.CfbProcess(2, 16, &offset, iv, b, b), AesBadArgument) << "cfb: mode before key";
    EXPECT_EQ(none.EcbProcess(AesEncrypt, b, b), AesNoKey) << "ecb: no key";
    EXPECT_EQ(none.CbcProcess(AesEncrypt, 16, iv, b, b), AesCbcNoKey) << "cbc: no key";
    EXPECT_EQ(none.CfbProcess(AesEncrypt, 16, &offset, iv, b, b), AesNoKey) << "cfb: no key";
    EXPECT_EQ(none.SetKey(key.data(), 20), AesBadArgument) << "key of 20 bytes";
    EXPECT_EQ(none.SetKey(nullptr, 16), AesNullPointer) << "null key";
    EXPECT_EQ(none.SetKey(nullptr, 15), AesBadArgument) << "length before pointer";
    EXPECT_EQ(none.EcbProcess(AesEncrypt, b, b), AesNoKey) << "refused keys store nothing";
    EXPECT_EQ(keyed.EcbProcess(AesEncrypt, nullptr, b), AesNullPointer) << "ecb: null input";
    EXPECT_EQ(keyed.CbcProcess(AesEncrypt, 16, nullptr, b, b), AesNullPointer) << "cbc: null iv";
    EXPECT_EQ(keyed.CfbProcess(AesEncrypt, 16, nullptr, iv, b, b), AesNullPointer) << "cfb: null offset";
    EXPECT_EQ(keyed.CbcProcess(AesEncrypt, 15, iv, b, b), AesBadLength) << "cbc: partial block";
    EXPECT_EQ(keyed.CbcProcess(AesEncrypt, -16, iv, b, b), AesBadLength) << "cbc: negative length";
    EXPECT_EQ(keyed.CfbProcess(AesEncrypt, -1, &offset, iv, b, b), AesBadLength) << "cfb: negative length";
    EXPECT_EQ(keyed.CfbProcess(AesEncrypt, 4, &badOffset, iv, b, b), AesBadLength) << "cfb: offset 16";
    EXPECT_EQ(keyed.CbcProcess(AesEncrypt, 0, iv, b, b), AesOk) << "cbc: nothing to do";
    // Refused calls touch neither the data nor the IV.
    EXPECT_EQ(ToHex(b, 16), std::string(32, '0'));
    EXPECT_EQ(ToHex(iv, 16), std::string(32, '0'));
}

// A refused key leaves the one before it in place (FIPS 197 C.1 and C.3).
TEST(AesCipher, RefusedKeyKeepsThePreviousOne)
{
    CAesCipher aes = WithKey("000102030405060708090a0b0c0d0e0f");
    const std::vector<uint8_t> key256 = FromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const std::vector<uint8_t> plain = FromHex("00112233445566778899aabbccddeeff");
    uint8_t out[16];
    ASSERT_EQ(aes.SetKey(key256.data(), 20), AesBadArgument);
    ASSERT_EQ(aes.EcbProcess(AesEncrypt, plain.data(), out), AesOk);
    EXPECT_EQ(ToHex(out, 16), "69c4e0d86a7b0430d8cdb78070b4c55a");
    ASSERT_EQ(aes.SetKey(key256.data(), 32), AesOk);
    ASSERT_EQ(aes.EcbProcess(AesEncrypt, plain.data(), out), AesOk);
    EXPECT_EQ(ToHex(out, 16), "8ea2b7ca516745bfeafc49904b496089") << "a later key replaces it";
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
}

TEST(AesCipher, CopiedScheduleUsesItsOwnBuffer)
{
    AesKeySchedule schedule;
    const AesKeySchedule copy = schedule;
    EXPECT_EQ(copy.roundKeys, copy.buffer);
}

} // namespace
