// The flash-ID mask and working-folder holders that the production page sets
// and the port workers read.
#include "device/AppHolders.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Puts the mask and the working folder back after each test.
class AppHolders : public ::testing::Test {
 protected:
  ~AppHolders() override {
    kx::SetFlashIdMask(savedMask_);
    g_WorkFolder.Set(savedFolder_);
  }
  const std::string savedMask_ = kx::GetFlashIdMask();
  const std::string savedFolder_ = g_WorkFolder.Get();
};

TEST_F(AppHolders, MaskHoldsTheDefaultUntilSet) {
  EXPECT_EQ(kx::GetFlashIdMask(), "FF036F000F3200");
  kx::SetFlashIdMask("");
  EXPECT_EQ(kx::GetFlashIdMask(), "");
}

TEST_F(AppHolders, WorkFolderIsReturnedAsSet) {
  g_WorkFolder.Set("C:\\KXMP\\");
  EXPECT_EQ(g_WorkFolder.Get(), "C:\\KXMP\\");
}

TEST_F(AppHolders, ReadersDuringChangesGetWholeMasks) {
  const std::string longMask(200, 'F');  // past any small-string buffer
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  kx::SetFlashIdMask("FF036F000F3200");
  std::vector<std::thread> readers;
  for (int t = 0; t < 24; ++t) {
    readers.emplace_back([&] {
      while (!stop) {
        const std::string m = kx::GetFlashIdMask();
        if (m != "FF036F000F3200" && m != longMask) ++torn;
      }
    });
  }
  for (int i = 0; i < 2000; ++i) kx::SetFlashIdMask(i % 2 ? longMask : "FF036F000F3200");
  stop = true;
  for (std::thread& r : readers) r.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
