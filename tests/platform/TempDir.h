// A fresh folder per test, removed afterwards, plus small file helpers.
#pragma once
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kxtest {

class TempDir {
 public:
  // A memory file system when there is one: every INI write flushes the file
  // and its folder, which the concurrency tests would otherwise wait for.
  TempDir() {
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    std::string tmpl = (base / "kxmp-test-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void writeRaw(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string readRaw(const std::string& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

// Names in a folder, sorted.
inline std::vector<std::string> listNames(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Sets a file's times far back, so that it counts as long settled.
inline void ageFile(const std::string& path) {
  const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), old, 0);
}

// Runs `body` in a child process, which ends with the exit status `body` returns.
inline pid_t forkChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

// Exit status of a child that ended normally, else -1.
inline int waitExit(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// What each thread of a process waits in (its kernel wait channel and, where
// the system lets it be read, its kernel stack), for the message about a child
// that hangs.
inline std::string threadStates(pid_t pid) {
  std::string states;
  std::error_code ec;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
    const auto read = [&task](const char* what) {
      std::ifstream in(task.path() / what);
      std::ostringstream text;
      text << in.rdbuf();
      return text.str();
    };
    states += "thread " + task.path().filename().string() + " waits in " + read("wchan") + "\n" + read("stack");
  }
  return states;
}

// Exit status of a child that ends within `bound`. One still running then is
// described in `hung` (threadStates), killed and reported as not exited (-1),
// so that a hang fails its test at once, saying where it hung.
inline int waitExitWithin(pid_t pid, std::chrono::seconds bound, std::string& hung) {
  const auto end = std::chrono::steady_clock::now() + bound;
  int status = 0;
  for (;;) {
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (got < 0) return -1;
    if (std::chrono::steady_clock::now() >= end) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  hung = "still running after " + std::to_string(bound.count()) + " s:\n" + threadStates(pid);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

// Changes the working folder for the life of the object.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedCwd() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
  }

 private:
  std::filesystem::path old_;
};

// Caps the size of files this process may write, so writes fail part way as
// they would on a full disk. SIGXFSZ is ignored meanwhile.
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(rlim_t bytes) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &oldAction_);
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit small = saved_;
    small.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~ScopedFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    sigaction(SIGXFSZ, &oldAction_, nullptr);
  }
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

 private:
  struct sigaction oldAction_ {};
  rlimit saved_{};
};

}  // namespace kxtest
