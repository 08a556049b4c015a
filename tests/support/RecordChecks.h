// Checks on the files a run leaves, for tests that kill, fork or starve the
// writers: INI-form text that reads back whole, a work-order file that is
// exactly what its result-list writes made, and leftover temporary files.
#pragma once
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "device/PortDevice.h"
#include "engine/PortJob.h"
#include "platform/Profile.h"

namespace kxtest {

inline std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (std::size_t e; (e = text.find("\r\n", at)) != std::string::npos; at = e + 2)
    lines.push_back(text.substr(at, e - at));
  if (at < text.size()) lines.push_back(text.substr(at));  // a torn last line
  return lines;
}

// Every line a header, a key, a comment or blank, and the last one whole.
inline bool IniReadsWhole(const std::string& text) {
  if (!text.empty() && (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0)) return false;
  for (const std::string& line : SplitCrLf(text)) {
    const bool header = !line.empty() && line[0] == '[' && line.back() == ']' && line.find('=') == std::string::npos;
    if (!line.empty() && line[0] != ';' && !header && line.find('=') == std::string::npos) return false;
  }
  return true;
}

// Replays the file's result-list writes on the file without them (its records
// and its Checksum line taken out; the file must have held [Base Info] with a
// key and an empty [Results List] before the first write): each record, then
// the checksum over the text it joined. True when that gives the file byte for
// byte: no record lost and every checksum fits the lines it covered.
inline bool ResultListFits(const std::string& text) {
  std::string base;
  std::vector<std::pair<std::string, std::string>> records;
  bool inList = false, inBase = false;
  for (const std::string& line : SplitCrLf(text)) {
    const bool header = !line.empty() && line[0] == '[' && line.find('=') == std::string::npos;
    if (header) {
      inList = line == "[Results List]";
      inBase = line == "[Base Info]";
    } else if (inList && line.find('=') != std::string::npos) {
      const auto eq = line.find('=');
      records.emplace_back(line.substr(0, eq), line.substr(eq + 1));
      continue;
    } else if (inBase && line.rfind("Checksum=", 0) == 0) {
      continue;
    }
    base += line + "\r\n";
  }
  for (const auto& [key, value] : records) {
    platform::SetProfileKey(base, "Results List", key, value);
    char sum[8];
    std::snprintf(sum, sizeof sum, "%04x", CPortJob::TextChecksum(base));
    platform::SetProfileKey(base, "Base Info", "Checksum", sum);
  }
  return base == text;
}

inline std::size_t CountResultRecords(const std::string& text) {
  std::size_t n = 0;
  bool inList = false;
  for (const std::string& line : SplitCrLf(text)) {
    if (!line.empty() && line[0] == '[' && line.find('=') == std::string::npos)
      inList = line == "[Results List]";
    else if (inList && line.find('=') != std::string::npos)
      ++n;
  }
  return n;
}

// A failed job on record: its result code is not empty, the report's last fail
// block prints it, the Error log's last entry is the slot's with that code, and
// SATA_RecordSN.ini holds a [Port-<slot> Error] record. The texts are the
// report, the Error log and SATA_RecordSN.ini as the job left them (the two
// logs taken away before the job ran).
inline ::testing::AssertionResult FailureOnRecord(const std::string& resultCode, int slot, const std::string& report,
                                                  const std::string& errorLog, const std::string& recordSn) {
  if (resultCode.empty()) return ::testing::AssertionFailure() << "empty result code";
  const std::string printed = CPortDevice::FormatErrorCode(resultCode);
  const std::string codeLine = "             Error Code : " + printed + " \r\n";
  const std::size_t block = report.rfind("[ Fail ]  Error Message : ");
  const std::size_t end = block == std::string::npos ? block : report.find("\r\n", block);
  if (end == std::string::npos || report.compare(end + 2, codeLine.size(), codeLine) != 0)
    return ::testing::AssertionFailure() << "the last fail block does not print " << printed << ":\n" << report;
  std::string lastEntry;
  bool inList = false;
  for (const std::string& line : SplitCrLf(errorLog)) {
    if (!line.empty() && line[0] == '[' && line.back() == ']' && line.find('=') == std::string::npos)
      inList = line == "[Error List]";
    else if (inList && line.find('=') != std::string::npos)
      lastEntry = line;
  }
  char slotText[16];
  std::snprintf(slotText, sizeof slotText, "   SlotNo:%02d   ", slot);
  const std::size_t eq = lastEntry.find('=');
  const std::size_t value = lastEntry.find_first_not_of(' ', eq + 1);
  if (eq == std::string::npos || lastEntry.find(slotText) > eq || value == std::string::npos ||
      lastEntry.compare(value, printed.size() + 1, printed + ":") != 0)
    return ::testing::AssertionFailure() << "no Error-log entry of " << printed << " last: " << errorLog;
  const std::string section = "[Port-" + std::to_string(slot) + " Error]\r\n";
  const std::size_t at = recordSn.find(section);
  const std::size_t next = at == std::string::npos ? at : recordSn.find("\r\n", at + section.size());
  if (next == std::string::npos ||
      recordSn.substr(at + section.size(), next - at - section.size()).find('=') == std::string::npos)
    return ::testing::AssertionFailure() << "no " << section << "record: " << recordSn;
  return ::testing::AssertionSuccess();
}

// Temporary files of the platform's atomic writes (".~kx" and six characters) below `folder`.
inline std::vector<std::string> TempFilesBelow(const std::filesystem::path& folder) {
  std::vector<std::string> found;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (name.size() == 10 && name.rfind(".~kx", 0) == 0) found.push_back(e.path().string());
  }
  return found;
}

// A writer in a second process, for forced interleavings: the child is forked
// at once and runs `write` when told to go; the parent can then wait until the
// child is blocked on a file lock (the kernel lists it in /proc/locks), with
// no timing involved. The child's exit status is 0 when `write` returned true.
class ForkedWriter {
 public:
  explicit ForkedWriter(const std::function<bool()>& write) {
    if (::pipe(go_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      char c;
      ::close(go_[1]);
      const bool ok = ::read(go_[0], &c, 1) == 1 && write();
      ::_exit(ok ? 0 : 1);
    }
    ::close(go_[0]);
  }
  ~ForkedWriter() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      Finish();
    }
    if (go_[1] >= 0) ::close(go_[1]);
  }
  ForkedWriter(const ForkedWriter&) = delete;
  ForkedWriter& operator=(const ForkedWriter&) = delete;

  bool Started() const { return pid_ > 0; }
  void Go() {
    const char c = 'g';
    if (::write(go_[1], &c, 1) != 1) return;
  }
  // True once the child waits for a lock; false when it finished without.
  bool WaitUntilBlocked() {
    for (;;) {
      if (BlockedInKernel()) return true;
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        status_ = status;
        return false;
      }
      ::sched_yield();
    }
  }
  // True while the child has not ended.
  bool Running() {
    if (reaped_) return false;
    if (::waitpid(pid_, &status_, WNOHANG) != pid_) return true;
    reaped_ = true;
    return false;
  }
  // Finish() for a child that might hang: one still running after `bound` is
  // killed and reported as not exited (-1).
  int Finish(std::chrono::seconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (Running() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (Running()) ::kill(pid_, SIGKILL);
    return Finish();
  }
  void Signal(int signal) const { ::kill(pid_, signal); }
  // The child's exit status (-1 when it did not exit normally).
  int Finish() {
    if (!reaped_) {
      while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
      }
      reaped_ = true;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  bool BlockedInKernel() const {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
      std::istringstream in(line);
      std::string number, arrow, kind, mode, access, pid;
      if (in >> number >> arrow >> kind >> mode >> access >> pid && arrow == "->" && pid == std::to_string(pid_))
        return true;
    }
    return false;
  }

  int go_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

}  // namespace kxtest
