// The flash-ID mask holder that the production page sets and the port workers
// read.
#include "device/AppHolders.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

class AppHolders : public ::testing::Test {
 protected:
  ~AppHolders() override { kx::SetFlashIdMask(savedMask_); }
  const std::string savedMask_ = kx::GetFlashIdMask();
};

TEST_F(AppHolders, MaskHoldsTheDefaultUntilSet) {
  EXPECT_EQ(kx::GetFlashIdMask(), "FF036F000F3200");
  kx::SetFlashIdMask("");
  EXPECT_EQ(kx::GetFlashIdMask(), "");
}

TEST_F(AppHolders, ReadersDuringChangesGetWholeMasks) {
  const std::string shortMask = "FF036F000F3200";
  const std::string longMask(200, 'F');  // past any small-string buffer
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 24; ++t) {
    readers.emplace_back([&] {
      while (!stop) {
        const std::string m = kx::GetFlashIdMask();
        if (m != shortMask && m != longMask) ++torn;
      }
    });
  }
  for (int i = 0; i < 2000; ++i) kx::SetFlashIdMask(i % 2 ? longMask : shortMask);
  stop = true;
  for (std::thread& r : readers) r.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
