#include "device/AppHolders.h"

kx::SharedText g_WorkFolder;

namespace kx {
namespace {

SharedText& FlashIdMask() {
  static SharedText mask{kDefaultFlashIdMask};
  return mask;
}

}  // namespace

std::string GetFlashIdMask() { return FlashIdMask().Get(); }

void SetFlashIdMask(const std::string& mask) { FlashIdMask().Set(mask); }

}  // namespace kx
