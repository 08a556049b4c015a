#include "crypto/Sha2Hash.h"
#include "crypto/ShaHash.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/crypto/HexVectors.h"

using hexvec::FromHex;
using hexvec::ToHex;

namespace {

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

const std::string k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k896 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";

std::vector<uint8_t> OpenSslDigest(const EVP_MD* md, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr);
    out.resize(len);
    return out;
}

// The whole-message hasher's output: each 4-byte group of the FIPS digest reversed.
std::string SwapWords(const std::string& hex)
{
    std::vector<uint8_t> b = FromHex(hex);
    for (size_t i = 0; i + 4 <= b.size(); i += 4) {
        std::swap(b[i], b[i + 3]);
        std::swap(b[i + 1], b[i + 2]);
    }
    return ToHex(b);
}

// ---- whole-message SHA-1 / SHA-256 ----

TEST(ShaHash, Fips180ExamplesInNativeWordOrder)
{
    auto sha = std::make_unique<CShaHash>();
    uint8_t d1[20], d256[32];
    struct Vector { std::string msg; const char* sha1; const char* sha256; };
    const Vector vectors[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {k448, "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Vector& v : vectors) {
        EXPECT_FALSE(sha->Sha1(Bytes(v.msg), static_cast<uint32_t>(v.msg.size()), d1));
        EXPECT_EQ(ToHex(d1, 20), SwapWords(v.sha1)) << v.msg.size();
        EXPECT_FALSE(sha->Sha256(Bytes(v.msg), static_cast<uint32_t>(v.msg.size()), d256));
        EXPECT_EQ(ToHex(d256, 32), SwapWords(v.sha256)) << v.msg.size();
    }
    // Read as little-endian words the output is H0..H4: H0 of SHA-1("abc") is 0xa9993e36.
    sha->Sha1(Bytes(std::string("abc")), 3, d1);
    EXPECT_EQ(uint32_t(d1[0]) | uint32_t(d1[1]) << 8 | uint32_t(d1[2]) << 16 | uint32_t(d1[3]) << 24, 0xa9993e36u);
}

TEST(ShaHash, PaddedBlockCounts)
{
    CShaHash sha;
    std::vector<uint8_t> msg(200, 'x');
    for (uint32_t len : {0u, 55u, 56u, 119u, 120u})
        EXPECT_EQ(sha.PadMessage(msg.data(), len), (len + 8) / 64 + 1) << len;
    EXPECT_EQ(sha.PadMessage(msg.data(), 56), 2u);
    EXPECT_FALSE(sha.Placeholder(1, 2));
}

TEST(ShaHash, RefusesMessagesOf512MiBAndMore)
{
    CShaHash sha;
    uint8_t digest[32];
    std::memset(digest, 0xEE, sizeof digest);
    const uint8_t one = 0;
    // Refused before the message is read, so a one-byte buffer is enough.
    EXPECT_TRUE(sha.Sha1(&one, 1u << 29, digest));
    EXPECT_TRUE(sha.Sha256(&one, 0xFFFFFFFFu, digest));
    EXPECT_EQ(ToHex(digest, 32), std::string(64, 'e'));
}

TEST(ShaHash, MatchesOpenSslAcrossPaddingBoundaries)
{
    auto sha = std::make_unique<CShaHash>();
    hexvec::TestBytes gen(0x5A1);
    // Long messages first and short ones after: the message area must follow each length.
    std::vector<size_t> lengths = {5000, 0, 1, 3, 4, 5, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 4097};
    for (int i = 0; i < 40; ++i)
        lengths.push_back(gen.Next() % 3000);
    for (size_t len : lengths) {
        std::vector<uint8_t> msg = gen.Bytes(len);
        uint8_t d1[20], d256[32];
        ASSERT_FALSE(sha->Sha1(msg.data(), static_cast<uint32_t>(len), d1));
        ASSERT_FALSE(sha->Sha256(msg.data(), static_cast<uint32_t>(len), d256));
        EXPECT_EQ(ToHex(d1, 20), SwapWords(ToHex(OpenSslDigest(EVP_sha1(), msg)))) << len;
        EXPECT_EQ(ToHex(d256, 32), SwapWords(ToHex(OpenSslDigest(EVP_sha256(), msg)))) << len;
    }
}

// ---- streaming SHA-2 ----

std::string Sha2(const CSha2Hash& h, const std::string& msg, int bits)
{
    uint8_t out[64];
    switch (bits) {
    case 224: h.Sha256(Bytes(msg), static_cast<int32_t>(msg.size()), out, 1); return ToHex(out, 28);
    case 256: h.Sha256(Bytes(msg), static_cast<int32_t>(msg.size()), out, 0); return ToHex(out, 32);
    case 384: h.Sha512(Bytes(msg), static_cast<int32_t>(msg.size()), out, 1); return ToHex(out, 48);
    default: h.Sha512(Bytes(msg), static_cast<int32_t>(msg.size()), out, 0); return ToHex(out, 64);
    }
}

TEST(Sha2Hash, Fips180Examples)
{
    CSha2Hash h;
    EXPECT_EQ(Sha2(h, "", 224), "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f");
    EXPECT_EQ(Sha2(h, "abc", 224), "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7");
    EXPECT_EQ(Sha2(h, k448, 224), "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525");
    EXPECT_EQ(Sha2(h, "", 256), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha2(h, "abc", 256), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha2(h, k448, 256), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Sha2(h, "", 384),
              "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b");
    EXPECT_EQ(Sha2(h, "abc", 384),
              "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7");
    EXPECT_EQ(Sha2(h, k896, 384),
              "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039");
    EXPECT_EQ(Sha2(h, "", 512),
              "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
              "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");
    EXPECT_EQ(Sha2(h, "abc", 512),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(Sha2(h, k896, 512),
              "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
              "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909");
}

TEST(Sha2Hash, OutputLengthsAreExact)
{
    CSha2Hash h;
    for (int bits : {224, 384, 512}) {
        uint8_t out[65];
        std::memset(out, 0xCC, sizeof out);
        if (bits == 224)
            h.Sha256(Bytes(std::string("abc")), 3, out, 1);
        else
            h.Sha512(Bytes(std::string("abc")), 3, out, bits == 384 ? 1 : 0);
        EXPECT_NE(out[bits / 8 - 1], 0xCC) << bits;
        EXPECT_EQ(out[bits / 8], 0xCC) << bits;
    }
}

TEST(Sha2Hash, PiecewiseUpdatesMatchOneShotAndOpenSsl)
{
    CSha2Hash h;
    hexvec::TestBytes gen(0x2222);
    const size_t pieces[] = {1, 63, 64, 65, 0, 127, 128, 129, 7};
    std::vector<size_t> lengths = {0, 1, 55, 56, 57, 63, 64, 65, 111, 112, 113, 127, 128, 129, 1000, 5000};
    for (int i = 0; i < 30; ++i)
        lengths.push_back(gen.Next() % 4000);
    for (size_t len : lengths) {
        std::vector<uint8_t> msg = gen.Bytes(len);
        for (int32_t variant : {0, 1}) {
            Sha256Context c256;
            Sha512Context c512;
            h.Sha256Starts(c256, variant);
            h.Sha512Starts(c512, variant);
            size_t done = 0;
            for (size_t k = 0; done < len; ++k) {
                size_t piece = std::min(len - done, pieces[k % 9]);
                h.Sha256Update(c256, msg.data() + done, static_cast<int32_t>(piece));
                h.Sha512Update(c512, msg.data() + done, static_cast<int32_t>(piece));
                done += piece;
            }
            h.Sha256Update(c256, msg.data(), -5); // ignored
            uint8_t out256[32], out512[64];
            h.Sha256Finish(c256, out256);
            h.Sha512Finish(c512, out512);
            const EVP_MD* md256 = variant ? EVP_sha224() : EVP_sha256();
            const EVP_MD* md512 = variant ? EVP_sha384() : EVP_sha512();
            EXPECT_EQ(ToHex(out256, variant ? 28 : 32), ToHex(OpenSslDigest(md256, msg))) << len;
            EXPECT_EQ(ToHex(out512, variant ? 48 : 64), ToHex(OpenSslDigest(md512, msg))) << len;
        }
    }
}

TEST(Sha2Hash, FileHash)
{
    CSha2Hash h;
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("kx_sha_file_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "data.bin").string();
    hexvec::TestBytes gen(2500);
    std::vector<uint8_t> data = gen.Bytes(2500);
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
        std::fclose(f);
    }
    uint8_t out[32];
    EXPECT_EQ(h.Sha256File(path.c_str(), out, 0), 0);
    EXPECT_EQ(ToHex(out, 32), ToHex(OpenSslDigest(EVP_sha256(), data)));
    EXPECT_EQ(h.Sha256File(path.c_str(), out, 1), 0);
    EXPECT_EQ(ToHex(out, 28), ToHex(OpenSslDigest(EVP_sha224(), data)));

    std::memset(out, 0xAB, sizeof out);
    EXPECT_EQ(h.Sha256File((dir / "missing.bin").string().c_str(), out, 0), 1);
    EXPECT_EQ(h.Sha256File(nullptr, out, 0), 1);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(out[i], 0xAB);
    // A folder opens but cannot be read: a read error, with the digest of nothing written.
    EXPECT_EQ(h.Sha256File(dir.string().c_str(), out, 0), 2);
    EXPECT_EQ(ToHex(out, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    std::filesystem::remove_all(dir);
}

// ---- HMAC ----

struct HmacVector { std::string key; std::string data; const char* mac224; const char* mac256; };

std::vector<HmacVector> Rfc4231()
{
    auto bin = [](const char* hex) {
        std::vector<uint8_t> b = FromHex(hex);
        return std::string(b.begin(), b.end());
    };
    return {
        {std::string(20, '\x0b'), "Hi There",
         "896fb1128abbdf196832107cd49df33f47b4b1169912ba4f53684b22",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "7fb3cb3588c6c1f6ffa9694d7d6ad2649365b0c1f65d69d1ec8333ea",
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {bin("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::string(50, '\xcd'),
         "6c11506874013cac6a2abc1bb382627cec6a90d86efc012de7afec5a",
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "95e9a0db962095adaebe9b2d6f0dbce2d499f112f2d2b7273fa6870e",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {std::string(131, '\xaa'),
         "This is a test using a larger than block-size key and a larger than block-size data. "
         "The key needs to be hashed before being used by the HMAC algorithm.",
         "3a854166ac5d9f023f54d517d0b39dbd946770db9c2b95c9f6f565d1",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
}

TEST(HmacSha256, Rfc4231Vectors)
{
    CSha2Hash h;
    for (const HmacVector& v : Rfc4231()) {
        uint8_t out[32];
        h.HmacSha256(Bytes(v.key), static_cast<int32_t>(v.key.size()), Bytes(v.data),
                     static_cast<int32_t>(v.data.size()), out, 1);
        EXPECT_EQ(ToHex(out, 28), v.mac224) << v.data;
        h.HmacSha256(Bytes(v.key), static_cast<int32_t>(v.key.size()), Bytes(v.data),
                     static_cast<int32_t>(v.data.size()), out, 0);
        EXPECT_EQ(ToHex(out, 32), v.mac256) << v.data;

        // Streaming in two pieces gives the same.
        Sha256Context ctx;
        h.HmacSha256Starts(ctx, Bytes(v.key), static_cast<int32_t>(v.key.size()), 0);
        const int32_t half = static_cast<int32_t>(v.data.size() / 2);
        h.HmacSha256Update(ctx, Bytes(v.data), half);
        h.HmacSha256Update(ctx, Bytes(v.data) + half, static_cast<int32_t>(v.data.size()) - half);
        h.HmacSha256Finish(ctx, out);
        EXPECT_EQ(ToHex(out, 32), v.mac256);
    }
}

TEST(HmacSha256, KeysAroundTheBlockSizeMatchOpenSsl)
{
    CSha2Hash h;
    hexvec::TestBytes gen(0x4231);
    for (size_t keyLength : {size_t(0), size_t(1), size_t(28), size_t(32), size_t(63), size_t(64), size_t(65),
                             size_t(100), size_t(200)}) {
        std::vector<uint8_t> key = gen.Bytes(keyLength);
        std::vector<uint8_t> data = gen.Bytes(gen.Next() % 500);
        for (int32_t is224 : {0, 1}) {
            uint8_t ours[32];
            h.HmacSha256(key.data(), static_cast<int32_t>(keyLength), data.data(), static_cast<int32_t>(data.size()),
                         ours, is224);
            uint8_t theirs[EVP_MAX_MD_SIZE];
            unsigned int len = 0;
            HMAC(is224 ? EVP_sha224() : EVP_sha256(), key.data(), static_cast<int>(keyLength), data.data(),
                 data.size(), theirs, &len);
            EXPECT_EQ(ToHex(ours, len), ToHex(theirs, len)) << keyLength << " " << is224;
        }
    }
}

} // namespace
