// ISAAC pseudo-random word source (32-bit, 256-word batches).
#pragma once

#include <cstdint>

class CIsaacRandom
{
public:
    // Seeds from the time of day through the C runtime generator (reseeds the
    // process-wide rand() as a side effect).
    CIsaacRandom();

    uint32_t NextWord();

    // Reference initialisation: a non-zero flag takes m_results as the seed.
    void Init(int32_t flag);
    // One batch of 256 results.
    void Generate();

    // Seed byte built from two rand() values: low 8 bits of (r1 * 16) | r2.
    static uint8_t SeedByte(int r1, int r2);

    static constexpr unsigned kSize = 256;

private:
    friend struct IsaacRandomTestAccess;

    uint32_t m_count;
    uint32_t m_results[kSize];
    uint32_t m_memory[kSize];
    uint32_t m_a;
    uint32_t m_b;
    uint32_t m_c;
    uint8_t m_seed[kSize];
};

// The one generator seeded during static initialisation.
extern CIsaacRandom g_IsaacRandom;
