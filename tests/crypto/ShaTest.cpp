#include "crypto/Sha2Hash.h"
#include "crypto/ShaHash.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/crypto/HexVectors.h"

using namespace hexvec;

namespace {

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

const std::string k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k896 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";

std::string OpenSslDigest(const EVP_MD* md, const std::vector<uint8_t>& data)
{
    uint8_t out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, md, nullptr);
    return ToHex(out, len);
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

TEST(ShaHash, Fips180ExamplesInNativeWordOrder)
{
    auto sha = std::make_unique<CShaHash>();
    struct Vector { const char* name; std::string msg; const char* sha1; const char* sha256; };
    const Vector vectors[] = {
        {"empty", "", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"448 bits", k448, "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"million a", std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.name);
        uint8_t d1[20], d256[32];
        ASSERT_FALSE(sha->Sha1(Bytes(v.msg), static_cast<uint32_t>(v.msg.size()), d1));
        EXPECT_EQ(ToHex(d1, 20), SwapWords(v.sha1));
        ASSERT_FALSE(sha->Sha256(Bytes(v.msg), static_cast<uint32_t>(v.msg.size()), d256));
        EXPECT_EQ(ToHex(d256, 32), SwapWords(v.sha256));
    }
}

// Refused before the message is read, so a one-byte buffer is enough.
TEST(ShaHash, RefusesMessagesOf512MiBAndMore)
{
    CShaHash sha;
    uint8_t digest[32];
    std::fill_n(digest, 32, 0xEE);
    const uint8_t one = 0;
    EXPECT_TRUE(sha.Sha1(&one, 1u << 29, digest));
    EXPECT_TRUE(sha.Sha256(&one, 0xFFFFFFFFu, digest));
    EXPECT_EQ(ToHex(digest, 32), std::string(64, 'e'));
}

// Long messages first and short ones after: the message area must follow each length.
TEST(ShaHash, MatchesOpenSslAcrossPaddingBoundaries)
{
    auto sha = std::make_unique<CShaHash>();
    std::mt19937 rng(0x5A1);
    for (size_t len : {5000, 0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 4097}) {
        SCOPED_TRACE(std::to_string(len) + " bytes");
        const std::vector<uint8_t> msg = RandomBytes(rng, len);
        uint8_t d1[20], d256[32];
        ASSERT_FALSE(sha->Sha1(msg.data(), static_cast<uint32_t>(len), d1));
        ASSERT_FALSE(sha->Sha256(msg.data(), static_cast<uint32_t>(len), d256));
        EXPECT_EQ(ToHex(d1, 20), SwapWords(OpenSslDigest(EVP_sha1(), msg)));
        EXPECT_EQ(ToHex(d256, 32), SwapWords(OpenSslDigest(EVP_sha256(), msg)));
    }
}

// One shot, writing exactly the digest's bytes of a larger buffer.
std::string Sha2(const CSha2Hash& h, const std::string& msg, int bits)
{
    uint8_t out[65];
    std::fill_n(out, 65, 0xCC);
    const int32_t length = static_cast<int32_t>(msg.size());
    if (bits <= 256)
        h.Sha256(Bytes(msg), length, out, bits == 224);
    else
        h.Sha512(Bytes(msg), length, out, bits == 384);
    EXPECT_EQ(out[bits / 8], 0xCC) << "written past the digest";
    return ToHex(out, bits / 8);
}

TEST(Sha2Hash, Fips180Examples)
{
    struct Vector { int bits; const char* name; std::string msg; const char* digest; };
    const Vector vectors[] = {
        {224, "empty", "", "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f"},
        {224, "abc", "abc", "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
        {224, "448 bits", k448, "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525"},
        {256, "empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {256, "abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {256, "448 bits", k448, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {384, "empty", "",
         "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b"},
        {384, "abc", "abc",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {384, "896 bits", k896,
         "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
        {512, "empty", "",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {512, "abc", "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {512, "896 bits", k896,
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
    };
    CSha2Hash h;
    for (const Vector& v : vectors) {
        SCOPED_TRACE("SHA-" + std::to_string(v.bits) + " " + v.name);
        EXPECT_EQ(Sha2(h, v.msg, v.bits), v.digest);
    }
}

// Pieces that straddle block ends in every way, for both context kinds.
TEST(Sha2Hash, PiecewiseUpdatesMatchOpenSsl)
{
    CSha2Hash h;
    std::mt19937 rng(0x2222);
    const size_t pieces[] = {1, 63, 64, 65, 0, 127, 128, 129, 7};
    for (size_t len : {0, 1, 55, 56, 57, 63, 64, 65, 111, 112, 113, 127, 128, 129, 1000, 5000}) {
        const std::vector<uint8_t> msg = RandomBytes(rng, len);
        for (int32_t variant : {0, 1}) {
            SCOPED_TRACE(std::to_string(len) + " bytes, variant " + std::to_string(variant));
            Sha256Context c256;
            Sha512Context c512;
            h.Sha256Starts(c256, variant);
            h.Sha512Starts(c512, variant);
            size_t done = 0;
            for (size_t k = 0; done < len; ++k) {
                const size_t piece = std::min(len - done, pieces[k % 9]);
                h.Sha256Update(c256, msg.data() + done, static_cast<int32_t>(piece));
                h.Sha512Update(c512, msg.data() + done, static_cast<int32_t>(piece));
                done += piece;
            }
            h.Sha256Update(c256, msg.data(), -5); // ignored
            uint8_t out256[32], out512[64];
            h.Sha256Finish(c256, out256);
            h.Sha512Finish(c512, out512);
            EXPECT_EQ(ToHex(out256, variant ? 28 : 32), OpenSslDigest(variant ? EVP_sha224() : EVP_sha256(), msg));
            EXPECT_EQ(ToHex(out512, variant ? 48 : 64), OpenSslDigest(variant ? EVP_sha384() : EVP_sha512(), msg));
        }
    }
}

TEST(Sha2Hash, FileHash)
{
    CSha2Hash h;
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kx_sha_file_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "data.bin").string();
    std::mt19937 rng(2500);
    const std::vector<uint8_t> data = RandomBytes(rng, 2500);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), 2500);

    uint8_t out[32];
    EXPECT_EQ(h.Sha256File(path.c_str(), out, 1), 0);
    EXPECT_EQ(ToHex(out, 28), OpenSslDigest(EVP_sha224(), data));
    std::fill_n(out, 32, 0xAB);
    EXPECT_EQ(h.Sha256File((dir / "missing.bin").string().c_str(), out, 0), 1);
    EXPECT_EQ(h.Sha256File(nullptr, out, 0), 1);
    EXPECT_EQ(ToHex(out, 32), ToHex(std::vector<uint8_t>(32, 0xAB))) << "nothing written";
    // A folder opens but cannot be read: a read error, with the digest of nothing written.
    EXPECT_EQ(h.Sha256File(dir.string().c_str(), out, 0), 2);
    EXPECT_EQ(ToHex(out, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    std::filesystem::remove_all(dir);
}

// RFC 4231 test cases 1-4, 6 and 7 (case 5 truncates the output).
TEST(HmacSha256, Rfc4231Vectors)
{
    struct Vector { const char* name; std::string key; std::string data; const char* mac224; const char* mac256; };
    const Vector vectors[] = {
        {"case 1", std::string(20, '\x0b'), "Hi There",
         "896fb1128abbdf196832107cd49df33f47b4b1169912ba4f53684b22",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"case 2", "Jefe", "what do ya want for nothing?",
         "a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {"case 3", std::string(20, '\xaa'), std::string(50, '\xdd'),
         "7fb3cb3588c6c1f6ffa9694d7d6ad2649365b0c1f65d69d1ec8333ea",
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"case 4",
         "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19",
         std::string(50, '\xcd'),
         "6c11506874013cac6a2abc1bb382627cec6a90d86efc012de7afec5a",
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {"case 6", std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "95e9a0db962095adaebe9b2d6f0dbce2d499f112f2d2b7273fa6870e",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {"case 7", std::string(131, '\xaa'),
         "This is a test using a larger than block-size key and a larger than block-size data. "
         "The key needs to be hashed before being used by the HMAC algorithm.",
         "3a854166ac5d9f023f54d517d0b39dbd946770db9c2b95c9f6f565d1",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    CSha2Hash h;
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.name);
        const int32_t keyLength = static_cast<int32_t>(v.key.size());
        const int32_t length = static_cast<int32_t>(v.data.size());
        uint8_t out[32];
        h.HmacSha256(Bytes(v.key), keyLength, Bytes(v.data), length, out, 1);
        EXPECT_EQ(ToHex(out, 28), v.mac224);
        // Streamed in two pieces.
        Sha256Context ctx;
        h.HmacSha256Starts(ctx, Bytes(v.key), keyLength, 0);
        h.HmacSha256Update(ctx, Bytes(v.data), length / 2);
        h.HmacSha256Update(ctx, Bytes(v.data) + length / 2, length - length / 2);
        h.HmacSha256Finish(ctx, out);
        EXPECT_EQ(ToHex(out, 32), v.mac256);
    }
}

// The published keys miss the block size itself, where hashing the key starts.
TEST(HmacSha256, KeysAroundTheBlockSizeMatchOpenSsl)
{
    CSha2Hash h;
    std::mt19937 rng(0x4231);
    const std::vector<uint8_t> data = RandomBytes(rng, 100);
    for (size_t keyLength : {0, 63, 64, 65}) {
        SCOPED_TRACE(std::to_string(keyLength) + "-byte key");
        const std::vector<uint8_t> key = RandomBytes(rng, keyLength);
        uint8_t ours[32], theirs[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        h.HmacSha256(key.data(), static_cast<int32_t>(keyLength), data.data(), 100, ours, 0);
        HMAC(EVP_sha256(), key.data(), static_cast<int>(keyLength), data.data(), data.size(), theirs, &len);
        EXPECT_EQ(ToHex(ours, 32), ToHex(theirs, len));
    }
}

} // namespace
