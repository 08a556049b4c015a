// Our ciphers and hashes beside OpenSSL's, on the same buffers in the same run.
// Run the OpenSSL side on its table code: OPENSSL_ia32cap="~0x200000200000000:~0x20000000".
#include "crypto/Aes.h"
#include "crypto/Blowfish.h"
#include "crypto/Sha2Hash.h"
#include "crypto/ShaHash.h"

#include <benchmark/benchmark.h>
#include <openssl/blowfish.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

constexpr size_t kBufferSize = 16 * 1024;

std::vector<uint8_t> Filler(size_t n)
{
    std::vector<uint8_t> v(n);
    uint32_t x = 0x12345678u;
    for (auto& b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

const std::vector<uint8_t>& Input()
{
    static const std::vector<uint8_t> input = Filler(kBufferSize);
    return input;
}

const uint8_t kKey[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

void Bytes(benchmark::State& state) { state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBufferSize)); }

// ---- AES-128 CBC ----

void BM_Aes128Cbc_Ours(benchmark::State& state, int32_t mode)
{
    CAesCipher aes;
    aes.SetKey(kKey, 16);
    std::vector<uint8_t> out(kBufferSize);
    uint8_t iv[16] = {};
    for (auto _ : state) {
        aes.CbcProcess(mode, static_cast<int32_t>(kBufferSize), iv, Input().data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    Bytes(state);
}

void BM_Aes128Cbc_OpenSsl(benchmark::State& state, int enc)
{
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    uint8_t iv[16] = {};
    EVP_CipherInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, kKey, iv, enc);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    std::vector<uint8_t> out(kBufferSize + 16);
    int len = 0;
    for (auto _ : state) {
        EVP_CipherUpdate(ctx.get(), out.data(), &len, Input().data(), static_cast<int>(kBufferSize));
        benchmark::DoNotOptimize(out.data());
    }
    Bytes(state);
}

BENCHMARK_CAPTURE(BM_Aes128Cbc_Ours, encrypt, AesEncrypt);
BENCHMARK_CAPTURE(BM_Aes128Cbc_OpenSsl, encrypt, 1);
BENCHMARK_CAPTURE(BM_Aes128Cbc_Ours, decrypt, AesDecrypt);
BENCHMARK_CAPTURE(BM_Aes128Cbc_OpenSsl, decrypt, 0);

void BM_Aes128Cfb_Ours(benchmark::State& state)
{
    CAesCipher aes;
    aes.SetKey(kKey, 16);
    std::vector<uint8_t> out(kBufferSize);
    uint8_t iv[16] = {};
    int32_t offset = 0;
    for (auto _ : state) {
        aes.CfbProcess(AesEncrypt, static_cast<int32_t>(kBufferSize), &offset, iv, Input().data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    Bytes(state);
}

void BM_Aes128Cfb_OpenSsl(benchmark::State& state)
{
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    uint8_t iv[16] = {};
    EVP_CipherInit_ex(ctx.get(), EVP_aes_128_cfb128(), nullptr, kKey, iv, 1);
    std::vector<uint8_t> out(kBufferSize + 16);
    int len = 0;
    for (auto _ : state) {
        EVP_CipherUpdate(ctx.get(), out.data(), &len, Input().data(), static_cast<int>(kBufferSize));
        benchmark::DoNotOptimize(out.data());
    }
    Bytes(state);
}

BENCHMARK(BM_Aes128Cfb_Ours);
BENCHMARK(BM_Aes128Cfb_OpenSsl);

// ---- Blowfish CBC ----

void BM_BlowfishCbc_Ours(benchmark::State& state, bool encrypt)
{
    CBlowfishCipher bf(kKey, 16, CBlowfishBlock(0x01234567u, 0x89abcdefu));
    std::vector<uint8_t> out(kBufferSize);
    for (auto _ : state) {
        if (encrypt)
            bf.Encrypt(Input().data(), out.data(), kBufferSize, BlowfishCbc);
        else
            bf.Decrypt(Input().data(), out.data(), kBufferSize, BlowfishCbc);
        benchmark::DoNotOptimize(out.data());
    }
    Bytes(state);
}

void BM_BlowfishCbc_OpenSsl(benchmark::State& state, bool encrypt)
{
    BF_KEY key;
    BF_set_key(&key, 16, kKey);
    std::vector<uint8_t> out(kBufferSize);
    for (auto _ : state) {
        uint8_t iv[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
        BF_cbc_encrypt(Input().data(), out.data(), static_cast<long>(kBufferSize), &key, iv,
                       encrypt ? BF_ENCRYPT : BF_DECRYPT);
        benchmark::DoNotOptimize(out.data());
    }
    Bytes(state);
}

BENCHMARK_CAPTURE(BM_BlowfishCbc_Ours, encrypt, true);
BENCHMARK_CAPTURE(BM_BlowfishCbc_OpenSsl, encrypt, true);
BENCHMARK_CAPTURE(BM_BlowfishCbc_Ours, decrypt, false);
BENCHMARK_CAPTURE(BM_BlowfishCbc_OpenSsl, decrypt, false);

// ---- hashes ----

// Runs f over the shared input once per iteration.
template <class F>
void HashLoop(benchmark::State& state, F f)
{
    uint8_t out[EVP_MAX_MD_SIZE];
    for (auto _ : state) {
        f(out);
        benchmark::DoNotOptimize(out);
    }
    Bytes(state);
}

void OpenSslDigest(benchmark::State& state, const EVP_MD* md)
{
    HashLoop(state, [md](uint8_t* out) {
        unsigned int len = 0;
        EVP_Digest(Input().data(), kBufferSize, out, &len, md, nullptr);
    });
}

const int32_t kSize32 = static_cast<int32_t>(kBufferSize);

void BM_Sha256_Ours(benchmark::State& state)
{
    CSha2Hash h;
    HashLoop(state, [&h](uint8_t* out) { h.Sha256(Input().data(), kSize32, out, 0); });
}
void BM_Sha256_OpenSsl(benchmark::State& state) { OpenSslDigest(state, EVP_sha256()); }

void BM_Sha512_Ours(benchmark::State& state)
{
    CSha2Hash h;
    HashLoop(state, [&h](uint8_t* out) { h.Sha512(Input().data(), kSize32, out, 0); });
}
void BM_Sha512_OpenSsl(benchmark::State& state) { OpenSslDigest(state, EVP_sha512()); }

void BM_WholeMessageSha256_Ours(benchmark::State& state)
{
    CShaHash h;
    HashLoop(state, [&h](uint8_t* out) { h.Sha256(Input().data(), kBufferSize, out); });
}

void BM_WholeMessageSha1_Ours(benchmark::State& state)
{
    CShaHash h;
    HashLoop(state, [&h](uint8_t* out) { h.Sha1(Input().data(), kBufferSize, out); });
}
void BM_Sha1_OpenSsl(benchmark::State& state) { OpenSslDigest(state, EVP_sha1()); }

void BM_HmacSha256_Ours(benchmark::State& state)
{
    CSha2Hash h;
    HashLoop(state, [&h](uint8_t* out) { h.HmacSha256(kKey, 32, Input().data(), kSize32, out, 0); });
}

void BM_HmacSha256_OpenSsl(benchmark::State& state)
{
    HashLoop(state, [](uint8_t* out) {
        unsigned int len = 0;
        HMAC(EVP_sha256(), kKey, 32, Input().data(), kBufferSize, out, &len);
    });
}

BENCHMARK(BM_Sha256_Ours);
BENCHMARK(BM_Sha256_OpenSsl);
BENCHMARK(BM_WholeMessageSha256_Ours);
BENCHMARK(BM_Sha512_Ours);
BENCHMARK(BM_Sha512_OpenSsl);
BENCHMARK(BM_WholeMessageSha1_Ours);
BENCHMARK(BM_Sha1_OpenSsl);
BENCHMARK(BM_HmacSha256_Ours);
BENCHMARK(BM_HmacSha256_OpenSsl);

} // namespace
