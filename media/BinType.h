// Bin-type markers: the marker in a flash-maker parameter file's name gives
// the bin-type index that picks a row of the flash-type table (media/FlashTypes.h).
#pragma once
#include <string>

namespace kx {

constexpr int kBinTypeMarkerCount = 10;
// "_S0_", "_S1_", "_S2_C2_", "_S3_C1_", "_S3_C1S_", "_S3_C2S_", "_S4_", "_S5_", "_S6_", "_S7_".
extern const char* const kBinTypeMarkers[kBinTypeMarkerCount];

// Index of the first marker of the list that occurs in `text` (case-sensitive); 0 for none.
int GetBinTypeIndex(const std::string& text);

}  // namespace kx
