// Dump files that every port writes under one name: whole replacement, and
// writers of one name that never leave a mixed or partial file.
#include "device/SharedDump.h"

#include <atomic>
#include <thread>

#include "tests/support/ScratchFolder.h"

namespace {

class SharedDump : public kxtest::DeviceTestEnv {};

TEST_F(SharedDump, ReplacesTheFileWithTheBytesAsGiven) {
  const std::string bytes("\x00\x01\r\n\xFF", 5);
  ASSERT_EQ(kx::WriteSharedDump(".\\GInfoB_w.txt", "0123456789", 10), kx::WriteResult::Ok);
  ASSERT_EQ(kx::WriteSharedDump(".\\GInfoB_w.txt", bytes.data(), bytes.size()), kx::WriteResult::Ok);
  EXPECT_EQ(ReadAll(".\\GInfoB_w.txt"), bytes);
  EXPECT_EQ(kx::WriteSharedDump(".\\NoSuchFolder\\ScanAllID-0.txt", "x", 1), kx::WriteResult::OpenFailed);
}

TEST_F(SharedDump, TwoWritersOfOneNameLeaveOnlyWholeFiles) {
  const std::string a(1 << 20, 'A');
  const std::string b(300 * 1024, 'B');
  ASSERT_EQ(kx::WriteSharedDump(".\\ISPVerify-R.txt", a.data(), a.size()), kx::WriteResult::Ok);
  std::atomic<int> writersLeft{2};
  std::atomic<int> failedWrites{0};
  auto writer = [&](const std::string& content) {
    for (int i = 0; i < 15; ++i)
      if (kx::WriteSharedDump(".\\ISPVerify-R.txt", content.data(), content.size()) != kx::WriteResult::Ok)
        ++failedWrites;
    --writersLeft;
  };
  std::thread first(writer, std::cref(a));
  std::thread second(writer, std::cref(b));
  int mixedReads = 0;
  for (int reads = 0; writersLeft > 0 || reads == 0; ++reads) {
    const std::string seen = ReadAll(".\\ISPVerify-R.txt");
    if (seen != a && seen != b) ++mixedReads;
  }
  first.join();
  second.join();
  EXPECT_EQ(failedWrites, 0);
  EXPECT_EQ(mixedReads, 0);
  int leftovers = 0;  // temporary files of the writers
  for (const auto& entry : std::filesystem::directory_iterator(root_))
    if (entry.path().filename().string().rfind(".~kx", 0) == 0) ++leftovers;
  EXPECT_EQ(leftovers, 0);
}

}  // namespace
