// Bin-type markers: the marker in a flash-maker parameter file's name gives
// the bin-type index that picks a row of the flash-type table (media/FlashTypes.h).
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace kx {

constexpr int kBinTypeMarkerCount = 10;
// "_S0_", "_S1_", "_S2_C2_", "_S3_C1_", "_S3_C1S_", "_S3_C2S_", "_S4_", "_S5_", "_S6_", "_S7_".
extern const char* const kBinTypeMarkers[kBinTypeMarkerCount];

// Index of the first marker of the list that occurs in `text` (case-sensitive); 0 for none.
int GetBinTypeIndex(const std::string& text);

// The flash database's entries Flh_0 to Flh_<count-1> that `sections` name
// (case ignored, no leading zeros), visited in number order until `visit`
// returns false: a count beyond the file costs nothing.
void ForEachFlashEntry(const std::vector<std::string>& sections, int count, const std::function<bool(int)>& visit);

}  // namespace kx
