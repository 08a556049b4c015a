// In-system programming of flash (media/IspFlash.cpp): where the normal code
// stands in the loaded image, how much of it travels after its seed, and when
// the running-code check after programming compares the firmware version.
#pragma once
#include <cstdint>

namespace kx {

// Image offset of the normal code: after the 512-byte header and the PRAM code.
constexpr std::uint32_t FlashCodeOffset(std::uint32_t pramSize) { return 512u + pramSize; }

// Bytes of the normal code that follow its 32-sector seed, in whole sectors:
// ((normalSize / 512) - 32) x 512. A partial last sector is neither sent nor
// compared; a code no longer than its seed has nothing after it.
std::uint32_t FlashCodeAfterSeed(std::uint32_t normalSize);

// Whether the running-code check compares the flash code's version with the
// parameter file: always, except after the RDT image at the RDT, MP, EraseMP,
// ReRDT, SortMP and SortRDT stations (1, 3, 4, 7, 8, 9).
bool ChecksFlashVersion(bool rdtImage, int station);

}  // namespace kx
