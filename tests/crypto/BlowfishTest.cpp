#include "crypto/Blowfish.h"

#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "tests/crypto/HexVectors.h"

using namespace hexvec;

namespace {

std::string Crypt(const std::string& keyHex, const std::string& dataHex, bool encrypt)
{
    const std::vector<uint8_t> key = FromHex(keyHex);
    std::vector<uint8_t> data = FromHex(dataHex);
    const CBlowfishCipher cipher(key.data(), key.size(), CBlowfishBlock());
    if (encrypt)
        cipher.Encrypt(data.data(), data.size(), BlowfishEcb);
    else
        cipher.Decrypt(data.data(), data.size(), BlowfishEcb);
    return ToHex(data);
}

std::string ThrownMessage(const std::function<void()>& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

// The author's published ECB vectors.
TEST(BlowfishCipher, PublishedEcbVectors)
{
    struct Vector { const char* key; const char* plain; const char* cipher; };
    const Vector vectors[] = {
        {"0000000000000000", "0000000000000000", "4ef997456198dd78"},
        {"ffffffffffffffff", "ffffffffffffffff", "51866fd5b85ecb8a"},
        {"3000000000000000", "1000000000000001", "7d856f9a613063f2"},
        {"1111111111111111", "1111111111111111", "2466dd878b963c9d"},
        {"0123456789abcdef", "1111111111111111", "61f9c3802281b096"},
        {"1111111111111111", "0123456789abcdef", "7d0cc630afda1ec7"},
        {"fedcba9876543210", "0123456789abcdef", "0aceab0fc6a0a28d"},
        {"7ca110454a1a6e57", "01a1d6d039776742", "59c68245eb05282b"},
        {"0131d9619dc1376e", "5cd54ca83def57da", "b1b8cc0b250f09a0"},
        {"07a1133e4a0b2686", "0248d43806f67172", "1730e5778bea1da4"},
        {"3849674c2602319e", "51454b582ddf440a", "a25e7856cf2651eb"},
        {"04b915ba43feb5b6", "42fd443059577fa2", "353882b109ce8f1a"},
        {"0113b970fd34f2ce", "059b5e0851cf143a", "48f4d0884c379918"},
        {"0170f175468fb5e6", "0756d8e0774761d2", "432193b78951fc98"},
        {"43297fad38e373fe", "762514b829bf486a", "13f04154d69d1ae5"},
        {"07a7137045da2a16", "3bdd119049372802", "2eedda93ffd39c79"},
        {"04689104c2fd3b2f", "26955f6835af609a", "d887e0393c2da6e3"},
        {"37d06bb516cb7546", "164d5e404f275232", "5f99d04f5b163969"},
        {"1f08260d1ac2465e", "6b056e18759f5cca", "4a057a3b24d3977b"},
        {"584023641aba6176", "004bd6ef09176062", "452031c1e4fada8e"},
        {"025816164629b007", "480d39006ee762f2", "7555ae39f59b87bd"},
        {"49793ebc79b3258f", "437540c8698f3cfa", "53c55f9cb49fc019"},
        {"4fb05e1515ab73a7", "072d43a077075292", "7a8e7bfa937e89a3"},
        {"49e95d6d4ca229bf", "02fe55778117f12a", "cf9c5d7a4986adb5"},
        {"018310dc409b26d6", "1d9d5c5018f728c2", "d1abb290658bc778"},
        {"1c587f1c13924fef", "305532286d6f295a", "55cb3774d13ef201"},
        {"0101010101010101", "0123456789abcdef", "fa34ec4847b268b2"},
        {"1f1f1f1f0e0e0e0e", "0123456789abcdef", "a790795108ea3cae"},
        {"e0fee0fef1fef1fe", "0123456789abcdef", "c39e072d9fac631d"},
        {"0000000000000000", "ffffffffffffffff", "014933e0cdaff6e4"},
        {"ffffffffffffffff", "0000000000000000", "f21e9a77b71c49bc"},
        {"0123456789abcdef", "0000000000000000", "245946885754369a"},
        {"fedcba9876543210", "ffffffffffffffff", "6b5c5a9c5d9e0a5a"},
    };
    for (const Vector& v : vectors) {
        SCOPED_TRACE(std::string("key ") + v.key + " plain " + v.plain);
        EXPECT_EQ(Crypt(v.key, v.plain, true), v.cipher);
        EXPECT_EQ(Crypt(v.key, v.cipher, false), v.plain);
    }
}

// The published variable-key vectors: keys of 1 to 24 bytes, cut from one long key.
TEST(BlowfishCipher, PublishedVariableKeyVectors)
{
    const std::string fullKey = "f0e1d2c3b4a5968778695a4b3c2d1e0f0011223344556677";
    const char* expected[24] = {
        "f9ad597c49db005e", "e91d21c1d961a6d6", "e9c2b70a1bc65cf3", "be1e639408640f05",
        "b39e44481bdb1e6e", "9457aa83b1928c0d", "8bb77032f960629d", "e87a244e2cc85e82",
        "15750e7a4f4ec577", "122ba70b3ab64ae0", "3a833c9affc537f6", "9409da87a90f6bf2",
        "884f80625060b8b4", "1f85031c19e11968", "79d9373a714ca34f", "93142887ee3be15c",
        "03429e838ce2d14b", "a4299e27469ff67b", "afd5aed1c1bc96a8", "10851c0e3858da9f",
        "e6f51ed79b9db21f", "64a6e14afd36b46f", "80c7d7d45a5479ad", "05044b62fa52d080",
    };
    for (size_t n = 1; n <= 24; ++n) {
        SCOPED_TRACE(std::to_string(n) + "-byte key");
        EXPECT_EQ(Crypt(fullKey.substr(0, 2 * n), "fedcba9876543210", true), expected[n - 1]);
    }
}

// Published chaining data: "7654321 Now is the time for " with its NUL, zero padded to 32 bytes.
const char kChainKey[] = "0123456789abcdeff0e1d2c3b4a59687";
const char kChainPlain[] = "37363534333231204e6f77206973207468652074696d6520666f722000000000";

CBlowfishCipher ChainCipher()
{
    const std::vector<uint8_t> key = FromHex(kChainKey);
    return CBlowfishCipher(key.data(), key.size(), CBlowfishBlock(0xfedcba98u, 0x76543210u));
}

// The published CFB vector covers 29 bytes; the mode works on whole groups.
TEST(BlowfishCipher, PublishedChainingVectors)
{
    struct Vector { const char* name; int32_t mode; const char* cipher; };
    const Vector vectors[] = {
        {"cbc", BlowfishCbc, "6b77b4d63006dee605b156e27403979358deb9e7154616d959f1652bd5ff92cc"},
        {"cfb", BlowfishCfb, "e73214a2822139caf26ecf6d2eb9e76e3da3de04d1517200519d57a6c3"},
    };
    const CBlowfishCipher cipher = ChainCipher();
    const std::vector<uint8_t> plain = FromHex(kChainPlain);
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.name);
        std::vector<uint8_t> out(plain.size());
        cipher.Encrypt(plain.data(), out.data(), out.size(), v.mode);
        EXPECT_EQ(ToHex(out).substr(0, std::string(v.cipher).size()), v.cipher);
        cipher.Decrypt(out.data(), out.size(), v.mode);
        EXPECT_EQ(ToHex(out), kChainPlain);
    }
}

// Two 16-byte calls do not continue each other: the second starts again from the chain block.
TEST(BlowfishCipher, ChainRestartsOnEveryCall)
{
    const CBlowfishCipher cipher = ChainCipher();
    const std::vector<uint8_t> plain = FromHex(kChainPlain);
    for (int32_t mode : {int32_t(BlowfishCbc), int32_t(BlowfishCfb)}) {
        SCOPED_TRACE(mode == BlowfishCbc ? "cbc" : "cfb");
        std::vector<uint8_t> halves(plain), tail(plain.begin() + 16, plain.end());
        cipher.Encrypt(halves.data(), 16, mode);
        cipher.Encrypt(halves.data() + 16, 16, mode);
        cipher.Encrypt(tail.data(), tail.size(), mode);
        EXPECT_EQ(ToHex(halves).substr(32), ToHex(tail));
    }
}

TEST(BlowfishCipher, CbcOfOneBlockIsEcbOfBlockXorChain)
{
    const CBlowfishCipher cipher = ChainCipher();
    std::vector<uint8_t> cbc = FromHex("0011223344556677"), xored = FromHex("fecd98ab32015467");
    cipher.Encrypt(cbc.data(), 8, BlowfishCbc);
    cipher.Encrypt(xored.data(), 8, BlowfishEcb);
    EXPECT_EQ(ToHex(cbc), ToHex(xored));
}

TEST(BlowfishCipher, UnknownModeMeansEcb)
{
    const CBlowfishCipher cipher = ChainCipher();
    std::vector<uint8_t> other = FromHex(kChainPlain), ecb = other;
    cipher.Encrypt(other.data(), other.size(), 7);
    cipher.Encrypt(ecb.data(), ecb.size(), BlowfishEcb);
    EXPECT_EQ(ToHex(other), ToHex(ecb));
}

// Bytes past the 56th do not count; the 56th does.
TEST(BlowfishCipher, KeyIsCutAt56Bytes)
{
    std::string key60;
    for (int i = 0; i < 60; ++i)
        key60 += ToHex(std::vector<uint8_t>{uint8_t(7 * i + 1)});
    const std::string plain = "0123456789abcdef";
    EXPECT_EQ(Crypt(key60, plain, true), Crypt(key60.substr(0, 112), plain, true));
    EXPECT_NE(Crypt(key60.substr(0, 112), plain, true), Crypt(key60.substr(0, 110), plain, true));
}

TEST(BlowfishCipher, BadLengthsThrowAndLeaveBuffersUntouched)
{
    EXPECT_EQ(ThrownMessage([] { CBlowfishCipher c(reinterpret_cast<const uint8_t*>("k"), 0, CBlowfishBlock()); }),
              "Incorrect key length");
    const CBlowfishCipher cipher = ChainCipher();
    std::vector<uint8_t> buf(16, 0xAB), out(16, 0xCD);
    for (size_t length : {0, 7, 12}) {
        SCOPED_TRACE("length " + std::to_string(length));
        const char* expected = "Incorrect buffer length";
        EXPECT_EQ(ThrownMessage([&] { cipher.Encrypt(buf.data(), length, BlowfishCbc); }), expected);
        EXPECT_EQ(ThrownMessage([&] { cipher.Decrypt(buf.data(), length, BlowfishCfb); }), expected);
        EXPECT_EQ(ThrownMessage([&] { cipher.Encrypt(buf.data(), out.data(), length, BlowfishEcb); }), expected);
        EXPECT_EQ(ThrownMessage([&] { cipher.Decrypt(buf.data(), out.data(), length, BlowfishCbc); }), expected);
    }
    EXPECT_EQ(buf, std::vector<uint8_t>(16, 0xAB));
    EXPECT_EQ(out, std::vector<uint8_t>(16, 0xCD));
}

} // namespace
