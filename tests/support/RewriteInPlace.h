// A rewrite that only the file's change time gives away: for tests of what
// takes a file for unchanged.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <string>

namespace kxtest {

// Writes `data` over the start of the file at `native`, as many bytes as it
// holds, and sets its last-write time back, as a tool that keeps times does;
// once the clock is past the file's change time, however coarse the clock.
inline void RewriteKeepingSizeAndTime(const std::string& native, const std::string& data) {
  struct stat st {};
  ASSERT_EQ(::stat(native.c_str(), &st), 0);
  ASSERT_EQ(static_cast<std::size_t>(st.st_size), data.size());
  timespec now{};
  do ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  while (now.tv_sec < st.st_ctim.tv_sec || (now.tv_sec == st.st_ctim.tv_sec && now.tv_nsec <= st.st_ctim.tv_nsec));
  const int fd = ::open(native.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::pwrite(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
  const struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
  EXPECT_EQ(::futimens(fd, times), 0);
  ::close(fd);
}

}  // namespace kxtest
