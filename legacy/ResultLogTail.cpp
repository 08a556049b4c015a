#include "legacy/ResultLogTail.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Paths.h"

namespace legacy {

std::vector<std::string> CResultLogTail::Entries(const std::string& bytes) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    const std::string line = bytes.substr(start, end - start);
    std::size_t at = 0;
    do {
      std::string piece = line.substr(at, kPieceLength);
      piece.erase(piece.find_last_not_of(" \t\r\n") + 1);
      entries.push_back(std::move(piece));
      at += kPieceLength;
    } while (at < line.size());
    start = end + 1;
  }
  return entries;
}

TailUpdate CResultLogTail::Poll(const TailFileState& state, int listCount,
                                const std::function<std::optional<std::string>()>& read) {
  TailUpdate update;
  // Size as well as time: a rewrite within one timestamp tick is still seen.
  if (!state.exists || (m_LastSeen && *m_LastSeen == state)) return update;
  const std::optional<std::string> bytes = read();
  if (!bytes) return update;
  m_LastSeen = state;

  // Every entry is counted, empty ones too, so the count matches the list.
  const std::vector<std::string> entries = Entries(*bytes);
  const auto oldCount = static_cast<std::size_t>(std::max(listCount, 0));
  if (entries.size() > oldCount) update.append.assign(entries.begin() + static_cast<std::ptrdiff_t>(oldCount), entries.end());
  // A shorter file empties the list; its next change fills it from the top.
  update.clear = oldCount > entries.size();
  update.selectLast = update.clear ? false : oldCount + update.append.size() > 0;
  return update;
}

TailUpdate CResultLogTail::PollFile(const std::string& path, int listCount) {
  namespace fs = std::filesystem;
  const fs::path native = path.find('\\') != std::string::npos ? fs::path(platform::MapPath(path)) : fs::path(path);
  std::error_code ec;
  TailFileState state;
  const auto time = fs::last_write_time(native, ec);
  if (!ec) {
    const auto size = fs::file_size(native, ec);
    state = {!ec, static_cast<std::int64_t>(time.time_since_epoch().count()), ec ? 0 : size};
  }
  return Poll(state, listCount, [&]() -> std::optional<std::string> {
    std::ifstream in(native, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  });
}

}  // namespace legacy
