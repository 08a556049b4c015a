// Big-integer arithmetic beside GMP in the same run, and RSA key-pair
// generation. The *VsGmp benchmarks time both sides on the same inputs and
// report ours_us, gmp_us and ratio (our time over GMP's).
#include "crypto/BigInteger.h"
#include "crypto/NumberTheory.h"
#include "crypto/RsaKeyGenerator.h"

#include <benchmark/benchmark.h>
#include <gmp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

CBigInteger RandomValue(std::mt19937_64& rng, uint32_t bits, bool odd)
{
    std::vector<uint32_t> w((bits + 31) / 32);
    for (auto& x : w)
        x = uint32_t(rng());
    CBigInteger r;
    r.AssignWords(w.data(), uint32_t(w.size()), false, 0);
    r.SetBit(bits - 1);
    for (uint32_t b = bits; b < 32 * w.size(); ++b)
        r.SetBit(b, false);
    if (odd)
        r.SetBit(0);
    return r;
}

void ToMpz(mpz_t out, const CBigInteger& x)
{
    mpz_import(out, x.WordCount(), -1, sizeof(uint32_t), 0, 0, x.Words());
}

double Micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

// Runs ours and GMP's alternately and reports both times and their ratio.
template <class Ours, class Theirs>
void Compare(benchmark::State& state, Ours ours, Theirs theirs)
{
    Clock::duration oursTime{}, theirsTime{};
    for (auto _ : state)
    {
        const auto t0 = Clock::now();
        ours();
        const auto t1 = Clock::now();
        theirs();
        const auto t2 = Clock::now();
        oursTime += t1 - t0;
        theirsTime += t2 - t1;
    }
    const double n = double(state.iterations());
    state.counters["ours_us"] = Micros(oursTime) / n;
    state.counters["gmp_us"] = Micros(theirsTime) / n;
    state.counters["ratio"] = Micros(oursTime) / Micros(theirsTime);
}

void BM_ModPowerVsGmp(benchmark::State& state)
{
    const uint32_t bits = uint32_t(state.range(0));
    std::mt19937_64 rng(1);
    const CBigInteger m = RandomValue(rng, bits, true);
    const CBigInteger x = RandomValue(rng, bits - 1, false);
    const CBigInteger e = RandomValue(rng, bits - 1, false);
    mpz_t gm, gx, ge, gr;
    mpz_inits(gm, gx, ge, gr, nullptr);
    ToMpz(gm, m);
    ToMpz(gx, x);
    ToMpz(ge, e);
    Compare(
        state, [&] { benchmark::DoNotOptimize(ModPower(x, e, m)); },
        [&] {
            mpz_powm(gr, gx, ge, gm);
            benchmark::DoNotOptimize(gr);
        });
    mpz_clears(gm, gx, ge, gr, nullptr);
}
BENCHMARK(BM_ModPowerVsGmp)->Arg(512)->Arg(1024)->Arg(2048)->Unit(benchmark::kMicrosecond);

void BM_MultiplyVsGmp(benchmark::State& state)
{
    const uint32_t bits = uint32_t(state.range(0));
    std::mt19937_64 rng(2);
    const CBigInteger a = RandomValue(rng, bits, false), b = RandomValue(rng, bits, false);
    mpz_t ga, gb, gr;
    mpz_inits(ga, gb, gr, nullptr);
    ToMpz(ga, a);
    ToMpz(gb, b);
    Compare(
        state, [&] { benchmark::DoNotOptimize(a * b); },
        [&] {
            mpz_mul(gr, ga, gb);
            benchmark::DoNotOptimize(gr);
        });
    mpz_clears(ga, gb, gr, nullptr);
}
BENCHMARK(BM_MultiplyVsGmp)->Arg(1024)->Arg(4096);

void BM_DivideVsGmp(benchmark::State& state)
{
    std::mt19937_64 rng(3);
    const CBigInteger a = RandomValue(rng, 2048, false), b = RandomValue(rng, 1024, false);
    mpz_t ga, gb, gq, gr;
    mpz_inits(ga, gb, gq, gr, nullptr);
    ToMpz(ga, a);
    ToMpz(gb, b);
    CBigInteger q, r;
    Compare(
        state, [&] { CBigInteger::Divide(r, q, a, b); },
        [&] {
            mpz_fdiv_qr(gq, gr, ga, gb);
            benchmark::DoNotOptimize(gr);
        });
    mpz_clears(ga, gb, gq, gr, nullptr);
}
BENCHMARK(BM_DivideVsGmp);

void BM_InverseModVsGmp(benchmark::State& state)
{
    std::mt19937_64 rng(4);
    const CBigInteger m = RandomValue(rng, 1024, true), a = RandomValue(rng, 1000, false);
    mpz_t gm, ga, gr;
    mpz_inits(gm, ga, gr, nullptr);
    ToMpz(gm, m);
    ToMpz(ga, a);
    Compare(
        state, [&] { benchmark::DoNotOptimize(a.InverseMod(m)); },
        [&] {
            mpz_invert(gr, ga, gm);
            benchmark::DoNotOptimize(gr);
        });
    mpz_clears(gm, ga, gr, nullptr);
}
BENCHMARK(BM_InverseModVsGmp)->Unit(benchmark::kMicrosecond);

// Whole key pairs; median_s is the median over the iterations.
void BM_RsaKeyPair(benchmark::State& state)
{
    CRsaKeyGenerator generator;
    std::vector<double> seconds;
    for (auto _ : state)
    {
        const auto t0 = Clock::now();
        benchmark::DoNotOptimize(generator.Generate(uint32_t(state.range(0))));
        seconds.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    std::sort(seconds.begin(), seconds.end());
    state.counters["median_s"] = seconds[seconds.size() / 2];
    state.counters["max_s"] = seconds.back();
}
BENCHMARK(BM_RsaKeyPair)->Arg(1024)->Iterations(31)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RsaKeyPair)->Arg(2048)->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace
