// What the settings page's detect (media/DetectLoad.cpp) decides from the
// station and the tester's card-detect reply.
#pragma once
#include <cstdint>

namespace kx {

// Stations at which a drive found on its flash code is brought back to boot
// code and loaded for the card information: RDT, MP, erase-and-MP, re-RDT,
// sorting MP and sorting RDT (1, 3, 4, 7, 8, 9).
bool DetectReloadsFlashCode(int station);

// A tester's 16-byte card-detect reply with 0xAB 0xCD in bytes 12-13: the
// drive runs its self burn-in code.
bool IsSelfBurnInReply(const std::uint8_t* reply16);

}  // namespace kx
