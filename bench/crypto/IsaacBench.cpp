#include "crypto/Isaac.h"

#include <benchmark/benchmark.h>

static void BM_IsaacNextWord(benchmark::State& state)
{
    CIsaacRandom rng;
    for (auto _ : state) {
        for (int i = 0; i < 1024; ++i)
            benchmark::DoNotOptimize(rng.NextWord());
    }
    state.SetBytesProcessed(state.iterations() * 1024 * 4);
}
BENCHMARK(BM_IsaacNextWord);

