#include "platform/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <unordered_map>

#include "platform/Files.h"
#include "platform/Paths.h"

namespace platform {
namespace {

using win::BOOL;
using win::DWORD;
using win::UINT;

// ---------------------------------------------------------------- parsing

constexpr std::string_view kBlanks = " \t\r\v\f";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view trim(std::string_view s) {
  const auto b = s.find_first_not_of(kBlanks);
  if (b == std::string_view::npos) return {};
  const auto e = s.find_last_not_of(kBlanks);
  return s.substr(b, e - b + 1);
}

std::string_view unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) return v.substr(1, v.size() - 2);
  return v;
}

struct NoCaseHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    std::size_t h = 1469598103934665603ull;
    for (char c : s) h = (h ^ FoldCase(c)) * 1099511628211ull;
    return h;
  }
};
struct NoCaseEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return EqualsNoCase(a, b); }
};
template <typename V>
using NoCaseMap = std::unordered_map<std::string_view, V, NoCaseHash, NoCaseEqual>;

enum class LineKind { Blank, Comment, Section, Key, Other };

// A line as it stands (without its line end), a view into its file's storage.
struct Line {
  LineKind kind = LineKind::Blank;
  std::string_view text;
  // Section or key name and key value (trimmed, quotes kept), as places in text.
  std::size_t nameAt = 0, nameLen = 0, valueAt = 0, valueLen = 0;

  std::string_view name() const { return text.substr(nameAt, nameLen); }
  std::string_view value() const { return text.substr(valueAt, valueLen); }
};

Line classify(std::string_view whole) {
  Line line;
  auto place = [&](std::string_view part, std::size_t& at, std::size_t& len) {
    at = part.empty() ? 0 : static_cast<std::size_t>(part.data() - whole.data());
    len = part.size();
  };
  const std::string_view t = trim(whole);
  if (t.empty()) {
    line.kind = LineKind::Blank;
  } else if (t[0] == ';' || t[0] == '#') {
    line.kind = LineKind::Comment;
  } else {
    std::size_t eq = std::string_view::npos;
    const auto close = t[0] == '[' ? t.find(']') : std::string_view::npos;
    if (close != std::string_view::npos) {
      eq = t.find('=', close + 1);
      if (eq == std::string_view::npos) {
        line.kind = LineKind::Section;
        place(trim(t.substr(1, close - 1)), line.nameAt, line.nameLen);
      }
    } else {
      eq = t.find('=');
    }
    if (line.kind != LineKind::Section) {
      const std::string_view name = eq == std::string_view::npos ? std::string_view{} : trim(t.substr(0, eq));
      if (name.empty()) {
        line.kind = LineKind::Other;
      } else {
        line.kind = LineKind::Key;
        place(name, line.nameAt, line.nameLen);
        place(trim(t.substr(eq + 1)), line.valueAt, line.valueLen);
      }
    }
  }
  line.text = whole;
  return line;
}

// Lookup index of a parsed copy kept for reading.
struct Section {
  std::string_view name;
  std::size_t header = 0;  // line index of the header
  std::size_t end = 0;     // one past the last line of its body
  NoCaseMap<std::size_t> keys;  // first line of each key
};

struct IniFile {
  std::list<std::string> storage;  // the file's text and every line added since; nodes never move
  std::string bom;
  std::vector<Line> lines;

  IniFile() = default;
  IniFile(IniFile&&) = default;
  IniFile& operator=(IniFile&&) = default;
  IniFile(const IniFile&) = delete;  // the lines point into storage
  IniFile& operator=(const IniFile&) = delete;

  std::string_view own(std::string text) {
    storage.push_back(std::move(text));
    return storage.back();
  }

  std::vector<Section> sections;  // in file order; lines before the first header belong to none
  NoCaseMap<std::size_t> sectionIndex;  // first section of each name

  void index() {
    sections.clear();
    sectionIndex.clear();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const Line& l = lines[i];
      if (l.kind == LineKind::Section) {
        if (!sections.empty()) sections.back().end = i;
        Section s;
        s.name = l.name();
        s.header = i;
        sectionIndex.try_emplace(s.name, sections.size());
        sections.push_back(std::move(s));
      } else if (l.kind == LineKind::Key && !sections.empty()) {
        sections.back().keys.try_emplace(l.name(), i);
      }
    }
    if (!sections.empty()) sections.back().end = lines.size();
  }

  const Section* findSection(std::string_view name) const {
    auto it = sectionIndex.find(name);
    return it == sectionIndex.end() ? nullptr : &sections[it->second];
  }
  const Line* findKey(std::string_view section, std::string_view key) const {
    const Section* s = findSection(section);
    if (!s) return nullptr;
    auto it = s->keys.find(key);
    return it == s->keys.end() ? nullptr : &lines[it->second];
  }
};

template <typename OnLine>
void splitLines(std::string_view text, std::string& bom, OnLine&& onLine) {
  if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
    bom = std::string(kUtf8Bom);
    text.remove_prefix(kUtf8Bom.size());
  }
  while (!text.empty()) {
    const auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!onLine(line)) return;
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
}

// Lines only: what a write edits.
IniFile parseLines(std::string data) {
  IniFile f;
  const std::string_view text = f.own(std::move(data));
  f.lines.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  splitLines(text, f.bom, [&](std::string_view line) {
    f.lines.push_back(classify(line));
    return true;
  });
  return f;
}

// Lines and lookup index: what reads use.
IniFile parse(std::string data) {
  IniFile f = parseLines(std::move(data));
  f.index();
  return f;
}

std::string serialize(const IniFile& f) {
  std::size_t n = f.bom.size();
  for (const auto& l : f.lines) n += l.text.size() + 2;
  std::string out;
  out.reserve(n);
  out += f.bom;
  for (const auto& l : f.lines) {
    out += l.text;
    out += "\r\n";
  }
  return out;
}

// ---------------------------------------------------------------- reading

std::int64_t mtimeNs(const struct stat& st) {
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

std::int64_t realNowNs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// File timestamps advance in coarse steps, so a file rewritten in place within
// one step can keep its size and time. A copy parsed soon after the file's last
// change is therefore not trusted; it is re-read until the change is this old.
constexpr std::int64_t kSettleNs = 50'000'000;

struct FileKey {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  std::int64_t mtime = 0;
  bool operator==(const FileKey&) const = default;
};
FileKey keyOf(const struct stat& st) { return {st.st_dev, st.st_ino, st.st_size, mtimeNs(st)}; }

// Reads a whole regular file. False when it cannot be read; `missing` tells a
// file that does not exist from one that cannot be read.
bool readWhole(const std::string& path, std::string& data, struct stat& st, bool& missing) {
  missing = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    missing = errno == ENOENT || errno == ENOTDIR;
    return false;
  }
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  data.clear();
  if (ok) {
    data.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    for (;;) {
      if (got == data.size()) data.resize(data.size() + 4096);  // grew since fstat
      const ssize_t r = ::read(fd, data.data() + got, data.size() - got);
      if (r < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      if (r == 0) break;
      got += static_cast<std::size_t>(r);
    }
    data.resize(got);
  }
  ::close(fd);
  return ok;
}

struct CacheEntry {
  std::uint64_t generation = 0;
  std::string mapped;
  FileKey key;
  bool trusted = false;
  std::shared_ptr<const IniFile> file;
};

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

constexpr std::size_t kMaxCachedFiles = 256;

struct Cache {
  std::shared_mutex mutex;
  std::unordered_map<std::string, CacheEntry, StringHash, std::equal_to<>> entries;  // by the caller's path
};
Cache& cache() {
  static Cache c;
  return c;
}

const std::shared_ptr<const IniFile>& emptyFile() {
  static const std::shared_ptr<const IniFile> empty = std::make_shared<const IniFile>();
  return empty;
}

// Runs `use` on the file as it is now. The fast path (the file unchanged since a
// settled parse) costs one lookup and one stat under a shared lock.
template <typename Use>
auto withFile(std::string_view fileName, Use&& use) {
  auto& c = cache();
  const std::uint64_t generation = DriveRootsGeneration();
  std::string mapped;
  {
    std::shared_lock lock(c.mutex);
    auto it = c.entries.find(fileName);
    if (it != c.entries.end() && it->second.generation == generation) {
      struct stat st;
      const CacheEntry& e = it->second;
      if (::stat(e.mapped.c_str(), &st) == 0) {
        if (e.trusted && keyOf(st) == e.key) return use(*e.file);
        mapped = e.mapped;
      }
    }
  }
  if (mapped.empty() && !MapPath(fileName, mapped)) return use(*emptyFile());

  std::string data;
  struct stat st;
  bool missing = false;
  if (!readWhole(mapped, data, st, missing)) return use(*emptyFile());
  auto parsed = std::make_shared<const IniFile>(parse(std::move(data)));
  CacheEntry e;
  e.generation = generation;
  e.mapped = std::move(mapped);
  e.key = keyOf(st);
  e.trusted = realNowNs() - e.key.mtime > kSettleNs;
  e.file = parsed;
  {
    std::unique_lock lock(c.mutex);
    // Log names carry dates and slots, so the set of files read keeps growing
    // over a long run: start afresh rather than keep every file ever read.
    if (c.entries.size() >= kMaxCachedFiles && c.entries.find(fileName) == c.entries.end()) c.entries.clear();
    c.entries.insert_or_assign(std::string(fileName), std::move(e));
  }
  return use(*parsed);
}

// ---------------------------------------------------------------- char-buffer results

DWORD copyString(std::string_view s, char* buf, DWORD size) {
  if (buf == nullptr || size == 0) return 0;
  const std::size_t n = s.size() < size - 1 ? s.size() : size - 1;
  if (n > 0) std::memcpy(buf, s.data(), n);
  buf[n] = '\0';
  return static_cast<DWORD>(n);
}

// NUL-separated list ending in a second NUL. On overflow the list is cut, ends
// in two NULs and size-2 is returned.
DWORD copyList(const std::vector<std::string>& items, char* buf, DWORD size) {
  if (buf == nullptr || size == 0) return 0;
  if (size < 2) {
    buf[0] = '\0';
    return 0;
  }
  std::size_t pos = 0;
  for (const auto& item : items) {
    if (pos + item.size() + 1 > size - 1) {
      const std::size_t room = size - 2 - pos;
      std::memcpy(buf + pos, item.data(), item.size() < room ? item.size() : room);
      buf[size - 2] = '\0';
      buf[size - 1] = '\0';
      return size - 2;
    }
    std::memcpy(buf + pos, item.data(), item.size());
    pos += item.size();
    buf[pos++] = '\0';
  }
  buf[pos] = '\0';
  if (pos == 0 && size > 1) buf[1] = '\0';
  return static_cast<DWORD>(pos);
}

std::vector<std::string> sectionNames(const IniFile& f) {
  std::vector<std::string> out;
  out.reserve(f.sections.size());
  for (const auto& s : f.sections) out.emplace_back(s.name);
  return out;
}

// Key names (or "key=value" entries) of the first section of that name.
std::vector<std::string> sectionKeys(const IniFile& f, std::string_view section, bool withValues) {
  std::vector<std::string> out;
  const Section* s = f.findSection(section);
  if (!s) return out;
  for (std::size_t i = s->header + 1; i < s->end; ++i) {
    const Line& l = f.lines[i];
    if (l.kind != LineKind::Key) continue;
    std::string entry(l.name());
    if (withValues) {
      entry += '=';
      entry += l.value();
    }
    out.push_back(std::move(entry));
  }
  return out;
}

std::string_view lookup(const IniFile& f, std::string_view section, std::string_view key, bool& found) {
  const Line* l = f.findKey(section, key);
  found = l != nullptr;
  return l ? unquote(l->value()) : std::string_view{};
}

UINT parseInt(std::string_view v, int defaultValue) {
  if (v.empty()) return static_cast<UINT>(defaultValue);
  std::size_t i = 0;
  bool negative = false;
  if (v[0] == '-' || v[0] == '+') {
    negative = v[0] == '-';
    ++i;
  }
  std::uint32_t n = 0;  // wraps at 32 bits, as the original does
  for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) n = n * 10u + static_cast<std::uint32_t>(v[i] - '0');
  return negative ? 0u - n : n;
}

// ---------------------------------------------------------------- writing

// One lock per file, by its canonical name folded to one case, so that every
// spelling of one path takes the same lock, even before the file exists.
std::mutex& fileLock(const std::string& canonical) {
  static std::mutex tableMutex;
  static std::unordered_map<std::string, std::unique_ptr<std::mutex>> table;
  std::string folded(canonical.size(), '\0');
  std::transform(canonical.begin(), canonical.end(), folded.begin(), [](char c) { return static_cast<char>(FoldCase(c)); });
  std::lock_guard lock(tableMutex);
  auto& m = table[folded];
  if (!m) m = std::make_unique<std::mutex>();
  return *m;
}

bool validName(std::string_view s) { return s.find_first_of("\r\n") == std::string_view::npos; }
bool validSection(std::string_view s) { return validName(s) && s.find(']') == std::string_view::npos; }
// A key must read back as the same key: no '=', not a comment, and one that
// begins with '[' must hold its own ']' (or a ']' in the value would turn the
// line into a section header).
bool validKey(std::string_view k) {
  k = trim(k);
  return !k.empty() && validName(k) && k.find('=') == std::string_view::npos && k[0] != ';' && k[0] != '#' &&
         (k[0] != '[' || k.find(']') != std::string_view::npos);
}

BOOL fail(DWORD error) {
  win::SetLastError(error);
  return win::FALSE;
}

// Reads the file fresh, lets `change` edit it and replaces it atomically when
// `change` reports a change. The whole cycle holds the file's lock.
BOOL modify(const char* fileName, const std::function<bool(IniFile&)>& change) {
  if (fileName == nullptr) return fail(win::ERROR_INVALID_PARAMETER);
  std::string mapped;
  DWORD err = 0;
  if (!MapPath(fileName, mapped, &err)) return fail(err);
  std::string canonical;
  if (!CanonicalFilePath(mapped, canonical)) return fail(win::ERROR_PATH_NOT_FOUND);

  std::lock_guard lock(fileLock(canonical));
  // Another spelling of a missing file may have created it meanwhile: map again
  // under the lock so that both writes land in that one file.
  if (!MapPath(fileName, mapped, &err)) return fail(err);
  if (!CanonicalFilePath(mapped, canonical)) return fail(win::ERROR_PATH_NOT_FOUND);
  std::string data;
  struct stat st;
  bool missing = false;
  if (!readWhole(canonical, data, st, missing) && !missing) return fail(win::ERROR_ACCESS_DENIED);
  IniFile f = parseLines(std::move(data));
  if (!change(f)) {
    win::SetLastError(0);
    return win::TRUE;
  }
  err = ReplaceFileAtomically(canonical, serialize(f));
  if (err != 0) return fail(err);
  win::SetLastError(0);
  return win::TRUE;
}

// Where each section lies: header line and one past its last line.
struct Range {
  std::size_t header;
  std::size_t end;
};
std::vector<Range> sectionsNamed(const IniFile& f, std::string_view section) {
  std::vector<Range> out;
  for (std::size_t i = 0; i < f.lines.size(); ++i) {
    if (f.lines[i].kind != LineKind::Section) continue;
    if (!out.empty() && out.back().end == f.lines.size()) out.back().end = i;
    if (EqualsNoCase(f.lines[i].name(), section)) out.push_back({i, f.lines.size()});
  }
  return out;
}
// The first of them, or false.
bool firstSection(const IniFile& f, std::string_view section, Range& r) {
  for (std::size_t i = 0; i < f.lines.size(); ++i) {
    if (f.lines[i].kind != LineKind::Section || !EqualsNoCase(f.lines[i].name(), section)) continue;
    std::size_t end = i + 1;
    while (end < f.lines.size() && f.lines[end].kind != LineKind::Section) ++end;
    r = {i, end};
    return true;
  }
  return false;
}

// Body lines of a section run up to its last non-blank line; blank lines
// before the next header stay where they are.
std::size_t bodyEnd(const IniFile& f, const Range& r) {
  std::size_t end = r.end;
  while (end > r.header + 1 && f.lines[end - 1].kind == LineKind::Blank) --end;
  return end;
}

std::ptrdiff_t at(std::size_t i) { return static_cast<std::ptrdiff_t>(i); }

void appendSection(IniFile& f, std::string_view section, std::vector<Line> body) {
  f.lines.push_back(classify(f.own("[" + std::string(section) + "]")));
  for (auto& l : body) f.lines.push_back(std::move(l));
}

std::string keyLine(std::string_view key, std::string_view value) {
  std::string s;
  s.reserve(key.size() + 1 + value.size());
  s += key;
  s += '=';
  s += value;
  return s;
}

bool setKey(IniFile& f, std::string_view section, std::string_view key, std::string_view value) {
  Range r;
  if (!firstSection(f, section, r)) {
    std::vector<Line> body;
    body.push_back(classify(f.own(keyLine(key, value))));
    appendSection(f, section, std::move(body));
    return true;
  }
  for (std::size_t i = r.header + 1; i < r.end; ++i) {
    Line& l = f.lines[i];
    if (l.kind == LineKind::Key && EqualsNoCase(l.name(), key)) {
      l = classify(f.own(keyLine(l.name(), value)));  // the stored spelling of the name stays
      return true;
    }
  }
  f.lines.insert(f.lines.begin() + at(bodyEnd(f, r)), classify(f.own(keyLine(key, value))));
  return true;
}

bool deleteKey(IniFile& f, std::string_view section, std::string_view key) {
  Range r;
  if (!firstSection(f, section, r)) return false;
  const auto first = f.lines.begin() + at(r.header + 1);
  const auto last = f.lines.begin() + at(r.end);
  const auto kept = std::remove_if(first, last, [&](const Line& l) {
    return l.kind == LineKind::Key && EqualsNoCase(l.name(), key);
  });
  if (kept == last) return false;
  f.lines.erase(kept, last);
  return true;
}

bool deleteSection(IniFile& f, std::string_view section) {
  const auto ranges = sectionsNamed(f, section);
  for (auto r = ranges.rbegin(); r != ranges.rend(); ++r) {
    f.lines.erase(f.lines.begin() + at(r->header), f.lines.begin() + at(r->end));
  }
  return !ranges.empty();
}

bool replaceSection(IniFile& f, std::string_view section, std::vector<Line> body) {
  Range r;
  if (!firstSection(f, section, r)) {
    appendSection(f, section, std::move(body));
    return true;
  }
  const auto pos = f.lines.erase(f.lines.begin() + at(r.header + 1), f.lines.begin() + at(bodyEnd(f, r)));
  f.lines.insert(pos, std::make_move_iterator(body.begin()), std::make_move_iterator(body.end()));
  return true;
}

}  // namespace

void ClearProfileCache() {
  auto& c = cache();
  std::unique_lock lock(c.mutex);
  c.entries.clear();
}

std::string ReadProfileStringUncached(const std::string& section, const std::string& key,
                                      const std::string& defaultValue, const std::string& fileName) {
  std::string mapped;
  if (!MapPath(fileName, mapped)) return defaultValue;
  std::string data;
  struct stat st;
  bool missing = false;
  if (!readWhole(mapped, data, st, missing)) return defaultValue;
  std::string bom;
  bool inSection = false;
  bool seenSection = false;
  std::string result = defaultValue;
  splitLines(data, bom, [&](std::string_view raw) {
    const Line l = classify(raw);
    if (l.kind == LineKind::Section) {
      if (seenSection) return false;  // only the first section of that name counts
      inSection = EqualsNoCase(l.name(), section);
      seenSection = inSection;
    } else if (inSection && l.kind == LineKind::Key && EqualsNoCase(l.name(), key)) {
      result = std::string(unquote(l.value()));
      return false;
    }
    return true;
  });
  return result;
}

}  // namespace platform

namespace win {

using platform::IniFile;

DWORD GetPrivateProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                              DWORD size, const char* fileName) {
  if (buffer == nullptr || size == 0) return 0;
  if (fileName == nullptr) return platform::copyString({}, buffer, size);
  return platform::withFile(fileName, [&](const IniFile& f) -> DWORD {
    if (section == nullptr) return platform::copyList(platform::sectionNames(f), buffer, size);
    if (key == nullptr) return platform::copyList(platform::sectionKeys(f, section, false), buffer, size);
    bool found = false;
    const std::string_view v = platform::lookup(f, section, key, found);
    if (found) return platform::copyString(v, buffer, size);
    // The default loses its trailing blanks, as on Windows.
    std::string_view def = defaultValue ? std::string_view(defaultValue) : std::string_view{};
    const auto e = def.find_last_not_of(" \t");
    def = e == std::string_view::npos ? std::string_view{} : def.substr(0, e + 1);
    return platform::copyString(def, buffer, size);
  });
}

UINT GetPrivateProfileInt(const char* section, const char* key, int defaultValue, const char* fileName) {
  if (section == nullptr || key == nullptr || fileName == nullptr) return static_cast<UINT>(defaultValue);
  return platform::withFile(fileName, [&](const IniFile& f) {
    bool found = false;
    const std::string_view v = platform::lookup(f, section, key, found);
    return found ? platform::parseInt(v, defaultValue) : static_cast<UINT>(defaultValue);
  });
}

DWORD GetPrivateProfileSection(const char* section, char* buffer, DWORD size, const char* fileName) {
  if (buffer == nullptr || size == 0) return 0;
  if (section == nullptr || fileName == nullptr) return platform::copyList({}, buffer, size);
  return platform::withFile(fileName, [&](const IniFile& f) {
    return platform::copyList(platform::sectionKeys(f, section, true), buffer, size);
  });
}

DWORD GetPrivateProfileSectionNames(char* buffer, DWORD size, const char* fileName) {
  if (buffer == nullptr || size == 0) return 0;
  if (fileName == nullptr) return platform::copyList({}, buffer, size);
  return platform::withFile(fileName,
                            [&](const IniFile& f) { return platform::copyList(platform::sectionNames(f), buffer, size); });
}

BOOL WritePrivateProfileString(const char* section, const char* key, const char* value, const char* fileName) {
  if (section == nullptr) return platform::fail(ERROR_INVALID_PARAMETER);
  const std::string_view s = platform::trim(section);
  if (s.empty() || !platform::validSection(s)) return platform::fail(ERROR_INVALID_PARAMETER);
  if (key == nullptr) {
    return platform::modify(fileName, [&](IniFile& f) { return platform::deleteSection(f, s); });
  }
  if (!platform::validKey(key)) return platform::fail(ERROR_INVALID_PARAMETER);
  const std::string_view k = platform::trim(key);
  if (value == nullptr) {
    return platform::modify(fileName, [&](IniFile& f) { return platform::deleteKey(f, s, k); });
  }
  if (!platform::validName(value)) return platform::fail(ERROR_INVALID_PARAMETER);
  return platform::modify(fileName, [&](IniFile& f) { return platform::setKey(f, s, k, value); });
}

BOOL WritePrivateProfileSection(const char* section, const char* entries, const char* fileName) {
  if (section == nullptr) return platform::fail(ERROR_INVALID_PARAMETER);
  const std::string_view s = platform::trim(section);
  if (s.empty() || !platform::validSection(s)) return platform::fail(ERROR_INVALID_PARAMETER);
  if (entries == nullptr) {
    return platform::modify(fileName, [&](IniFile& f) { return platform::deleteSection(f, s); });
  }
  std::vector<platform::Line> body;
  for (const char* p = entries; *p != '\0'; p += std::strlen(p) + 1) {
    if (!platform::validName(p)) return platform::fail(ERROR_INVALID_PARAMETER);
    platform::Line l = platform::classify(p);
    // A header inside the list would split the section: refuse it.
    if (l.kind == platform::LineKind::Section) return platform::fail(ERROR_INVALID_PARAMETER);
    body.push_back(std::move(l));
  }
  return platform::modify(fileName, [&](IniFile& f) { return platform::replaceSection(f, s, std::move(body)); });
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& fileName) {
  return platform::withFile(fileName, [&](const IniFile& f) {
    bool found = false;
    const std::string_view v = platform::lookup(f, section, key, found);
    if (found) return std::string(v);
    const auto e = defaultValue.find_last_not_of(" \t");
    return e == std::string::npos ? std::string() : defaultValue.substr(0, e + 1);
  });
}

UINT GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                          const std::string& fileName) {
  return GetPrivateProfileInt(section.c_str(), key.c_str(), defaultValue, fileName.c_str());
}

BOOL WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& fileName) {
  return WritePrivateProfileString(section.c_str(), key.c_str(), value.c_str(), fileName.c_str());
}

std::vector<std::string> GetPrivateProfileKeyNames(const std::string& section, const std::string& fileName) {
  return platform::withFile(fileName, [&](const IniFile& f) { return platform::sectionKeys(f, section, false); });
}

std::vector<std::string> GetPrivateProfileSection(const std::string& section, const std::string& fileName) {
  return platform::withFile(fileName, [&](const IniFile& f) { return platform::sectionKeys(f, section, true); });
}

std::vector<std::string> GetPrivateProfileSectionNames(const std::string& fileName) {
  return platform::withFile(fileName, [&](const IniFile& f) { return platform::sectionNames(f); });
}

}  // namespace win
