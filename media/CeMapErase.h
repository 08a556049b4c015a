// Plain helpers of the CE map selection and the erase-all step: the map choice
// and its record, the dynamic-CE setting's key, the erase time limit, the
// progress steps and the success line of each erase type.
#pragma once
#include <cstdint>
#include <string>

class IProgressBar;

namespace kx {

// The map to use: compare off takes the UI map; on, the AND of two non-zero
// maps, the UI map over a device map of 0, the device map when the UI map is 0.
std::uint16_t ChooseCeMap(std::uint16_t deviceMap, std::uint16_t uiMap, bool compare);
// 512 bytes: the map at 0 (LE16), the dynamic-CE flag at 2, zeros elsewhere.
void BuildCeMapRecord(std::uint8_t* sector512, std::uint16_t map, std::uint8_t dynamicCe);

// The flash parameter file's key of the dynamic-CE setting at a station:
// [RDT] RDT_DynamicCE_En at the RDT stations (1, 7, 9), else
// [Options] AutoCapacity_DynamicCE_En.
struct ProfileKey {
  const char* section;
  const char* key;
};
ProfileKey DynamicCeKey(int station);

// Seconds one erase attempt may take: multiplier by channel count x base by
// physical size; 3200 at station 0 (EraseAll).
std::uint32_t EraseMultiplier(std::uint32_t channelCount);
std::uint32_t EraseBaseSeconds(std::uint32_t physicalMb);
std::uint32_t EraseTimeLimitSec(std::uint32_t physicalMb, std::uint32_t channelCount, int station);
// Whole seconds between progress steps: (m x B / 2) / (span / 5, at least 1), at least 1.
std::uint32_t EraseProgressInterval(std::uint32_t multiplierTimesBase, int span);

// Whether the access key is renewed after an erase of this type.
bool EraseRenewsApKey(std::uint8_t eraseType);
// The success line of the erase type.
std::string EraseSuccessText(std::uint8_t eraseType, double seconds);

// Moves the caller's progress bar by 5 per interval of a wait's whole seconds,
// at most to the span within one wait. The interval counter runs over the
// whole step; the amount added restarts with each wait.
class EraseProgress {
 public:
  EraseProgress(IProgressBar* bar, int span, std::uint32_t intervalSec)
      : bar_(bar), span_(span), interval_(intervalSec) {}
  void StartWait() { added_ = 0; }
  void Advance(std::uint32_t wholeSeconds);

 private:
  IProgressBar* bar_;
  int span_;
  std::uint32_t interval_;
  std::uint32_t step_ = 1;
  int added_ = 0;
};

}  // namespace kx
