// The report follower of the result dialog without the window: given the
// report file's state and the list's entry count, it says what to do with the
// list. The dialog's tail thread polls it and posts the result to the window.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace legacy {

struct TailFileState {
  bool exists = false;
  std::int64_t writeTime = 0;
  std::uint64_t size = 0;
  bool operator==(const TailFileState&) const = default;
};

// In order: empty the list, append the lines, select the last entry.
struct TailUpdate {
  bool clear = false;
  std::vector<std::string> append;
  bool selectLast = false;
};

class CResultLogTail {
 public:
  // Longest list entry; a longer line gives several entries.
  static constexpr std::size_t kPieceLength = 254;

  // `read` gives the file's bytes, or nothing when it cannot be opened (the
  // next poll tries again). Nothing happens while the file is missing or
  // unchanged since the last read.
  TailUpdate Poll(const TailFileState& state, int listCount,
                  const std::function<std::optional<std::string>()>& read);
  // The same on a file (a Windows path or a native one).
  TailUpdate PollFile(const std::string& path, int listCount);

  // The list entries of a file's bytes: pieces of at most 254 characters,
  // trailing blanks and line ends removed.
  static std::vector<std::string> Entries(const std::string& bytes);

 private:
  std::optional<TailFileState> m_LastSeen;
};

}  // namespace legacy
