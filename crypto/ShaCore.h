// SHA-256 compression shared by the whole-message and the streaming hashers.
#pragma once

#include <cstddef>
#include <cstdint>

// One 512-bit block, given as the 16 message words (already in host order).
void Sha256Compress(uint32_t state[8], const uint32_t block[16]);

// Clears memory that held key or message material; not optimised away.
void ShaWipe(void* data, size_t length);
