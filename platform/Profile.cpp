#include "platform/Profile.h"

#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/ErrorText.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/Paths.h"

namespace platform {
namespace {

using win::BOOL;
using win::DWORD;
using win::UINT;

// ---------------------------------------------------------------- lines

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

std::string folded(std::string_view s) {
  std::string out(s.size(), '\0');
  std::transform(s.begin(), s.end(), out.begin(), [](char c) { return static_cast<char>(FoldCase(c)); });
  return out;
}

struct NoCaseHash {
  std::size_t operator()(std::string_view s) const noexcept {
    std::size_t h = 1469598103934665603ull;
    for (char c : s) h = (h ^ FoldCase(c)) * 1099511628211ull;
    return h;
  }
};
struct NoCaseEqual {
  bool operator()(std::string_view a, std::string_view b) const noexcept { return EqualsNoCase(a, b); }
};

enum class LineKind : std::uint8_t { Blank, Comment, Section, Key, Other };

// One line (without its line end) and, for headers and keys, its parts: views
// into the same text.
struct Line {
  LineKind kind = LineKind::Blank;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // key value, trimmed, quotes kept
};

Line classify(std::string_view raw) {
  Line l;
  const std::string_view t = trim(raw);
  if (t.empty()) return l;
  if (t[0] == ';') {
    l.kind = LineKind::Comment;
    return l;
  }
  std::size_t eq = std::string_view::npos;
  const auto close = t[0] == '[' ? t.find(']') : std::string_view::npos;
  if (close != std::string_view::npos) {
    eq = t.find('=', close + 1);
    if (eq == std::string_view::npos) {
      l.kind = LineKind::Section;
      l.name = trim(t.substr(1, close - 1));
      return l;
    }
  } else {
    eq = t.find('=');
  }
  const std::string_view name = eq == std::string_view::npos ? std::string_view{} : trim(t.substr(0, eq));
  if (name.empty()) {
    l.kind = LineKind::Other;
    return l;
  }
  l.kind = LineKind::Key;
  l.name = name;
  l.value = trim(t.substr(eq + 1));
  return l;
}

// The offset of the first CR or LF at or after `i`, `n` when none: sixteen
// bytes a step where the processor has SSE2 (a result list of 100,000 drives
// is 11 MB, looked through at every record).
std::size_t lineEndAt(const char* base, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i));
    const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
    if (hits != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
  }
#endif
  while (i < n && base[i] != '\n' && base[i] != '\r') ++i;
  return i;
}

// Calls on(line, next) for every line of `text`, where `next` is the offset just
// past the line's end (LF, CR LF or a lone CR); stops when `on` returns false.
template <typename On>
void forEachLine(std::string_view text, On&& on) {
  const char* const base = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t e = lineEndAt(base, i, n);
    std::size_t next = e + 1;
    if (e < n && base[e] == '\r' && next < n && base[next] == '\n') ++next;
    if (!on(text.substr(i, e - i), next > n ? n : next)) return;
    i = next;
  }
}

std::string_view withoutBom(std::string_view text) {
  return text.substr(0, kUtf8Bom.size()) == kUtf8Bom ? text.substr(kUtf8Bom.size()) : text;
}

// ---------------------------------------------------------------- the parsed file

// A file's text and a lookup index over it. Only section headers and keys are
// indexed, and only the first section of each name with the first key of each
// name in it (the ones reads find), so that blank lines, comments and repeated
// sections cost nothing beyond their bytes. Lists walk the text again.
struct IniFile {
  struct Body {
    std::uint32_t ordinal;
    std::size_t begin, end;  // offsets in text() of the lines below the header
  };
  struct KeyRef {
    std::uint32_t section;
    std::string_view name;
  };
  struct KeyRefHash {
    std::size_t operator()(const KeyRef& k) const noexcept {
      return NoCaseHash{}(k.name) ^ (k.section * 0x9E3779B97F4A7C15ull);
    }
  };
  struct KeyRefEqual {
    bool operator()(const KeyRef& a, const KeyRef& b) const noexcept {
      return a.section == b.section && EqualsNoCase(a.name, b.name);
    }
  };

  bool exists = false;
  std::string data;
  std::unordered_map<std::string_view, Body, NoCaseHash, NoCaseEqual> sections;
  std::unordered_map<KeyRef, std::string_view, KeyRefHash, KeyRefEqual> keys;

  IniFile() = default;
  IniFile(const IniFile&) = delete;  // the index points into data
  IniFile& operator=(const IniFile&) = delete;

  std::string_view text() const { return withoutBom(data); }

  void index() {
    constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    const std::string_view t = text();
    Body* open = nullptr;
    std::uint32_t current = kNone;
    std::uint32_t ordinal = 0;
    forEachLine(t, [&](std::string_view raw, std::size_t next) {
      if (raw.empty()) return true;
      const Line l = classify(raw);
      if (l.kind == LineKind::Section) {
        if (open) open->end = static_cast<std::size_t>(raw.data() - t.data());
        auto [it, added] = sections.try_emplace(l.name, Body{ordinal, next, t.size()});
        open = added ? &it->second : nullptr;
        current = added ? ordinal : kNone;
        ++ordinal;
      } else if (l.kind == LineKind::Key && current != kNone) {
        keys.try_emplace(KeyRef{current, l.name}, l.value);
      }
      return true;
    });
  }

  const std::string_view* find(std::string_view section, std::string_view key) const {
    const auto s = sections.find(section);
    if (s == sections.end()) return nullptr;
    const auto k = keys.find(KeyRef{s->second.ordinal, key});
    return k == keys.end() ? nullptr : &k->second;
  }
};

// Section names in file order (a header without a name is not listed).
std::vector<std::string> sectionNames(const IniFile& f) {
  std::vector<std::string> out;
  forEachLine(f.text(), [&](std::string_view raw, std::size_t) {
    const Line l = classify(raw);
    if (l.kind == LineKind::Section && !l.name.empty()) out.emplace_back(l.name);
    return true;
  });
  return out;
}

enum class Listing { KeyNames, Entries };

// Key names, or "key=value" entries and the lines without '=' as they stand, of
// the first section of that name.
std::vector<std::string> sectionLines(const IniFile& f, std::string_view section, Listing what) {
  std::vector<std::string> out;
  const auto s = f.sections.find(section);
  if (s == f.sections.end()) return out;
  const std::string_view body = f.text().substr(s->second.begin, s->second.end - s->second.begin);
  forEachLine(body, [&](std::string_view raw, std::size_t) {
    const Line l = classify(raw);
    if (l.kind == LineKind::Key) {
      std::string entry(l.name);
      if (what == Listing::Entries) {
        entry += '=';
        entry += l.value;
      }
      out.push_back(std::move(entry));
    } else if (l.kind == LineKind::Other && what == Listing::Entries) {
      out.emplace_back(trim(raw));
    }
    return true;
  });
  return out;
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
  if (i + 1 < v.size() && v[i] == '0' && (v[i + 1] == 'x' || v[i + 1] == 'X')) {
    for (i += 2; i < v.size(); ++i) {
      const char c = v[i];
      std::uint32_t d;
      if (c >= '0' && c <= '9') {
        d = static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        d = static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        d = static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        break;
      }
      n = n * 16u + d;
    }
  } else {
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) n = n * 10u + static_cast<std::uint32_t>(v[i] - '0');
  }
  return negative ? 0u - n : n;
}

// ---------------------------------------------------------------- reading files

std::int64_t realNowNs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Reads a whole regular file, with `room` to spare in the buffer. Returns 0 or
// an errno value (EISDIR for what is not a regular file).
int readWhole(const std::string& path, std::string& data, struct stat& st, std::size_t room = 0) {
  // A FIFO is refused below, never waited on.
  const int fd = OpenForReading(path);
  if (fd < 0) return errno;
  int err = 0;
  if (::fstat(fd, &st) != 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = EISDIR;
  }
  data.clear();
  if (err == 0) {
    // A byte of room beyond the size: the end is seen without growing (and copying) the buffer.
    data.reserve(static_cast<std::size_t>(st.st_size) + 1 + room);
    data.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t got = 0;
    for (;;) {
      if (got == data.size()) data.resize(data.size() + data.size() / 2 + 4096);  // grew since fstat
      const ssize_t r = ::read(fd, data.data() + got, data.size() - got);
      if (r < 0) {
        if (errno == EINTR) continue;
        err = errno;
        break;
      }
      if (r == 0) break;
      got += static_cast<std::size_t>(r);
    }
    data.resize(got);
    if (data.capacity() - got > room + 4096) data.shrink_to_fit();  // it grew while read
  }
  ::close(fd);
  return err;
}

bool missingErrno(int err) { return err == ENOENT || err == ENOTDIR; }

// ---------------------------------------------------------------- the cache

// A parsed copy is kept only for files unchanged this long: a file that was
// just written is likely to be written again at once, possibly by this process
// by other means than ours, and the watcher thread may not have taken the
// kernel's report of that yet.
constexpr std::int64_t kSettleNs = 50'000'000;
constexpr std::size_t kMaxCachedFiles = 256;
constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                     IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                     IN_EXCL_UNLINK;

// A name in a watched folder that a parsed copy depends on: the file itself and
// every folder on the way to it.
struct Dependency {
  int wd;
  std::string name;  // folded
};

bool touches(const std::vector<Dependency>& deps, int wd, std::string_view name, bool wholeFolder) {
  for (const auto& d : deps) {
    if (d.wd == wd && (wholeFolder || d.name == name)) return true;
  }
  return false;
}

// A read between watching its path and keeping its copy: a change reported
// meanwhile spoils the copy.
struct Loading {
  std::string canonical;  // folded, "" when the folder is missing
  std::string leaf;       // folded
  std::vector<Dependency> deps;
  bool spoiled = false;
};

struct CacheEntry {
  std::uint64_t workingFolder = 0;
  std::uint64_t driveRoots = 0;
  std::string canonical;
  std::string leaf;
  std::vector<Dependency> deps;
  std::shared_ptr<const IniFile> file;
};

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

struct Cache {
  std::shared_mutex mutex;
  std::unordered_map<std::string, CacheEntry, StringHash, std::equal_to<>> entries;  // by the caller's path
  std::vector<Loading*> loading;
  std::unordered_map<int, int> watchUses;  // watch -> dependencies on it
  int inotifyFd = -1;                      // -1 until first needed; -2 when the system has none to give
};

Cache* g_cache = nullptr;

// A child process has no watcher thread, must not read the parent's reports,
// and may have been forked while another thread held the lock: it starts
// afresh and leaves the parent's cache untouched.
void forkChild() {
  if (g_cache->inotifyFd >= 0) ::close(g_cache->inotifyFd);
  g_cache = new Cache;
}

// Never destroyed: the watcher thread may still run while the process exits.
Cache& cache() {
  static const bool made = [] {
    g_cache = new Cache;
    ::pthread_atfork(nullptr, nullptr, forkChild);
    return true;
  }();
  (void)made;
  return *g_cache;
}

// Everything below runs with the cache's lock held exclusively.

void release(Cache& c, const std::vector<Dependency>& deps) {
  for (const auto& d : deps) {
    auto it = c.watchUses.find(d.wd);
    if (it == c.watchUses.end() || --it->second > 0) continue;
    ::inotify_rm_watch(c.inotifyFd, d.wd);
    c.watchUses.erase(it);
  }
}

template <typename Pred>
void forget(Cache& c, Pred&& pred) {
  for (auto it = c.entries.begin(); it != c.entries.end();) {
    if (pred(it->second.deps, it->second.canonical, it->second.leaf)) {
      release(c, it->second.deps);
      it = c.entries.erase(it);
    } else {
      ++it;
    }
  }
  for (Loading* l : c.loading) {
    if (pred(l->deps, l->canonical, l->leaf)) l->spoiled = true;
  }
}

void forgetAll(Cache& c) {
  forget(c, [](const auto&, const auto&, const auto&) { return true; });
}

void takeEvents(Cache& c, const char* buf, std::size_t len) {
  std::size_t at = 0;
  while (at + sizeof(inotify_event) <= len) {
    inotify_event ev;
    std::memcpy(&ev, buf + at, sizeof ev);
    const std::size_t nameAt = at + sizeof ev;
    at = nameAt + ev.len;
    if (at > len) break;
    if (ev.mask & IN_Q_OVERFLOW) {
      forgetAll(c);
      continue;
    }
    const bool wholeFolder = (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) != 0;
    const std::string name = folded(std::string_view(buf + nameAt, ::strnlen(buf + nameAt, ev.len)));
    const int wd = ev.wd;  // the event's struct ends in a flexible array: no lambda may capture it
    forget(c, [&](const std::vector<Dependency>& deps, const std::string&, const std::string&) {
      return touches(deps, wd, name, wholeFolder);
    });
    if (ev.mask & IN_IGNORED) c.watchUses.erase(ev.wd);
  }
}

void watch(int fd) {
  alignas(inotify_event) char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    auto& c = cache();
    std::unique_lock lock(c.mutex);
    if (n <= 0) {
      // No more reports can come: nothing may be kept from now on.
      forgetAll(c);
      if (c.inotifyFd == fd) c.inotifyFd = -2;
      return;
    }
    takeEvents(c, buf, static_cast<std::size_t>(n));
  }
}

bool startWatching(Cache& c) {
  if (c.inotifyFd == -2) return false;
  if (c.inotifyFd >= 0) return true;
  const int fd = ::inotify_init1(IN_CLOEXEC);
  if (fd < 0) {
    c.inotifyFd = -2;
    return false;
  }
  try {
    std::thread(watch, fd).detach();
  } catch (const std::system_error&) {
    ::close(fd);
    c.inotifyFd = -2;
    return false;
  }
  c.inotifyFd = fd;
  return true;
}

// Watches every folder on the way to `mapped`, up to the first name that does
// not exist. False when nothing could be watched.
bool watchPath(Cache& c, const std::string& mapped, std::vector<Dependency>& deps) {
  if (!startWatching(c)) return false;
  std::string folder = mapped[0] == '/' ? "/" : ".";
  std::size_t i = 0;
  while (i < mapped.size()) {
    const std::size_t slash = mapped.find('/', i);
    const std::string_view part = std::string_view(mapped).substr(i, slash == std::string::npos ? slash : slash - i);
    i = slash == std::string::npos ? mapped.size() : slash + 1;
    if (part.empty() || part == ".") continue;
    if (part != "..") {
      const int wd = ::inotify_add_watch(c.inotifyFd, folder.c_str(), kWatchMask);
      if (wd < 0) {
        // The folder is missing: the name before it, already watched, is what will change.
        if (missingErrno(errno) && !deps.empty()) break;
        release(c, deps);
        deps.clear();
        return false;
      }
      ++c.watchUses[wd];
      deps.push_back({wd, folded(part)});
    }
    if (folder.back() != '/') folder += '/';
    folder += part;
  }
  return !deps.empty();
}

std::string canonicalOf(const std::string& native) {
  std::string canonical;
  return CanonicalFilePath(native, canonical) ? folded(canonical) : std::string();
}

std::string leafOf(const std::string& native) {
  const auto slash = native.find_last_of('/');
  return folded(slash == std::string::npos ? native : native.substr(slash + 1));
}

const std::shared_ptr<const IniFile>& missingFile() {
  static const std::shared_ptr<const IniFile> none = std::make_shared<const IniFile>();
  return none;
}

bool settled(const struct stat& st) {
  const std::int64_t mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return realNowNs() - mtime > kSettleNs;
}

std::shared_ptr<const IniFile> readIni(const std::string& mapped, bool& keepable) {
  auto file = std::make_shared<IniFile>();
  struct stat st;
  file->exists = readWhole(mapped, file->data, st) == 0;
  if (file->exists) file->index();
  keepable = file->exists && settled(st);
  return file;
}

// Reads and parses the file. A settled file is read once more after its path is
// watched, and that copy is kept unless a change was reported meanwhile.
std::shared_ptr<const IniFile> load(std::string_view fileName, std::uint64_t workingFolder, std::uint64_t driveRoots) {
  std::string mapped;
  if (!MapPath(fileName, mapped)) return missingFile();
  bool keepable = false;
  std::shared_ptr<const IniFile> file = readIni(mapped, keepable);
  if (!keepable) return file;

  auto& c = cache();
  Loading loading;
  loading.canonical = canonicalOf(mapped);
  loading.leaf = leafOf(mapped);
  {
    std::unique_lock lock(c.mutex);
    if (!watchPath(c, mapped, loading.deps)) return file;
    c.loading.push_back(&loading);
  }
  file = readIni(mapped, keepable);
  // A name of another case that appeared before the watch could change the mapping.
  std::string again;
  keepable = keepable && MapPath(fileName, again) && again == mapped;
  std::unique_lock lock(c.mutex);
  c.loading.erase(std::find(c.loading.begin(), c.loading.end(), &loading));
  if (!keepable || loading.spoiled || workingFolder != WorkingFolderGeneration() ||
      driveRoots != DriveRootsGeneration()) {
    release(c, loading.deps);
    return file;
  }
  // Log names carry dates and slots, so the set of files read keeps growing
  // over a long run: start afresh rather than keep every file ever read.
  if (c.entries.size() >= kMaxCachedFiles) forgetAll(c);
  auto [it, added] = c.entries.try_emplace(std::string(fileName));
  if (!added) release(c, it->second.deps);
  it->second = CacheEntry{workingFolder, driveRoots, std::move(loading.canonical), std::move(loading.leaf),
                          std::move(loading.deps), file};
  return file;
}

// Runs `use` on the file as it is now. A kept copy costs one lookup under a
// shared lock and no system call. A thread that holds a write lock reads
// afresh: another process's change may be newer than its kernel report.
template <typename Use>
auto withFile(std::string_view fileName, Use&& use) {
  if (HoldsFolderLock()) {
    std::string mapped;
    if (!MapPath(fileName, mapped)) return use(*missingFile());
    bool keepable = false;
    const std::shared_ptr<const IniFile> file = readIni(mapped, keepable);
    return use(*file);
  }
  auto& c = cache();
  const std::uint64_t workingFolder = WorkingFolderGeneration();
  const std::uint64_t driveRoots = DriveRootsGeneration();
  {
    std::shared_lock lock(c.mutex);
    const auto it = c.entries.find(fileName);
    if (it != c.entries.end() && it->second.workingFolder == workingFolder && it->second.driveRoots == driveRoots) {
      return use(*it->second.file);
    }
  }
  const std::shared_ptr<const IniFile> file = load(fileName, workingFolder, driveRoots);
  return use(*file);
}

// ---------------------------------------------------------------- char-buffer results

DWORD copyString(std::string_view s, char* buf, DWORD size) {
  if (buf == nullptr || size == 0) return 0;
  const std::size_t n = s.size() < size - 1 ? s.size() : size - 1;
  if (n > 0) std::memcpy(buf, s.data(), n);
  buf[n] = '\0';
  return static_cast<DWORD>(n);
}

// NUL-separated list ending in a second NUL. When it does not fit, the buffer
// holds its first size-2 characters and two NULs, and size-2 is returned.
DWORD copyList(const std::vector<std::string>& items, char* buf, DWORD size) {
  if (buf == nullptr || size == 0) return 0;
  std::size_t total = 0;  // the items and their NULs
  for (const auto& item : items) total += item.size() + 1;
  if (total + 1 <= size) {
    std::size_t pos = 0;
    for (const auto& item : items) {
      std::memcpy(buf + pos, item.data(), item.size());
      pos += item.size();
      buf[pos++] = '\0';
    }
    buf[pos] = '\0';
    if (pos == 0 && size > 1) buf[1] = '\0';
    return static_cast<DWORD>(pos);
  }
  if (size < 2) {
    buf[0] = '\0';
    return 0;
  }
  const std::size_t room = size - 2;
  std::size_t pos = 0;
  for (const auto& item : items) {
    const std::size_t n = std::min(item.size(), room - pos);
    std::memcpy(buf + pos, item.data(), n);
    pos += n;
    if (pos == room) break;
    buf[pos++] = '\0';
    if (pos == room) break;
  }
  buf[room] = '\0';
  buf[room + 1] = '\0';
  return static_cast<DWORD>(room);
}

std::string_view defaultOf(std::string_view def) {
  // The default loses its trailing blanks, as on Windows.
  const auto e = def.find_last_not_of(" \t");
  return e == std::string_view::npos ? std::string_view{} : def.substr(0, e + 1);
}

// ---------------------------------------------------------------- writing

// Writes to one file are serialised in the process by one of these, chosen by
// the file's canonical name folded to one case, so that every spelling of one
// path takes the same lock, even before the file exists.
std::mutex& fileLock(const std::string& canonical) {
  static std::array<std::mutex, 64> stripes;
  return stripes[NoCaseHash{}(canonical) % stripes.size()];
}

bool validName(std::string_view s) { return s.find_first_of("\r\n") == std::string_view::npos; }
bool validSection(std::string_view s) { return validName(s) && s.find(']') == std::string_view::npos; }
// A key must read back as the same key: no '=', not a comment, and one that
// begins with '[' must hold its own ']' (or a ']' in the value would turn the
// line into a section header).
bool validKey(std::string_view k) {
  k = trim(k);
  return !k.empty() && validName(k) && k.find('=') == std::string_view::npos && k[0] != ';' &&
         (k[0] != '[' || k.find(']') != std::string_view::npos);
}

BOOL fail(DWORD error) {
  win::SetLastError(error);
  return win::FALSE;
}

struct Change {
  enum Kind { SetKey, DeleteKey, DeleteSection, ReplaceSection } kind;
  std::string_view section;
  std::string_view key;
  std::string_view value;
  std::vector<std::string_view> body;  // ReplaceSection
};

// Applies `change` to the file's text, line by line: one pass finds where the
// first section of that name lies, a second writes every line with CR LF and the
// change in place. False when the file stays as it is.
bool rewrite(std::string_view file, const Change& change, std::string& out) {
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  const std::string_view text = withoutBom(file);
  const std::string_view bom = file.substr(0, file.size() - text.size());

  std::size_t lines = 0, bytes = 0;
  bool found = false, inFirst = false, anySection = false;
  std::size_t header = 0, end = 0, bodyEnd = 0;  // body lines run to the last non-blank one
  std::size_t keyAt = kNone;
  std::string_view storedKey;
  forEachLine(text, [&](std::string_view raw, std::size_t) {
    const std::size_t i = lines++;
    bytes += raw.size() + 2;
    const Line l = classify(raw);
    if (l.kind == LineKind::Section) {
      if (inFirst) end = i;
      inFirst = false;
      if (EqualsNoCase(l.name, change.section)) {
        anySection = true;
        if (!found) {
          found = inFirst = true;
          header = i;
          bodyEnd = i + 1;
        }
      }
    } else if (inFirst) {
      if (l.kind != LineKind::Blank) bodyEnd = i + 1;
      if (l.kind == LineKind::Key && keyAt == kNone && EqualsNoCase(l.name, change.key)) {
        keyAt = i;
        storedKey = l.name;  // the stored spelling of the name stays
      }
    }
    return true;
  });
  if (inFirst) end = lines;
  if (change.kind == Change::DeleteKey && keyAt == kNone) return false;
  if (change.kind == Change::DeleteSection && !anySection) return false;

  std::size_t extra = change.section.size() + change.key.size() + change.value.size() + 8;
  for (auto b : change.body) extra += b.size() + 2;
  out.clear();
  out.reserve(bom.size() + bytes + extra);
  out += bom;
  auto put = [&out](std::string_view a, std::string_view b = {}, std::string_view c = {}) {
    out += a;
    out += b;
    out += c;
    out += "\r\n";
  };
  auto putBody = [&] {
    for (auto b : change.body) put(b);
  };

  std::size_t i = 0;
  bool dropping = false;  // inside a section being deleted
  forEachLine(text, [&](std::string_view raw, std::size_t) {
    const std::size_t at = i++;
    switch (change.kind) {
      case Change::SetKey:
        if (at == keyAt) {
          put(storedKey, "=", change.value);
          return true;
        }
        if (found && keyAt == kNone && at == bodyEnd) put(change.key, "=", change.value);
        break;
      case Change::DeleteKey:
        if (at > header && at < end) {
          const Line l = classify(raw);
          if (l.kind == LineKind::Key && EqualsNoCase(l.name, change.key)) return true;
        }
        break;
      case Change::DeleteSection: {
        const Line l = classify(raw);
        if (l.kind == LineKind::Section) dropping = EqualsNoCase(l.name, change.section);
        if (dropping) return true;
        break;
      }
      case Change::ReplaceSection:
        if (found && at == header + 1) putBody();
        if (found && at > header && at < bodyEnd) return true;
        break;
    }
    put(raw);
    return true;
  });
  if (change.kind == Change::SetKey) {
    if (!found) put("[", change.section, "]");
    if (!found || (keyAt == kNone && bodyEnd == lines)) put(change.key, "=", change.value);
  } else if (change.kind == Change::ReplaceSection) {
    if (!found) put("[", change.section, "]");
    if (!found || header + 1 == lines) putBody();
  }
  return true;
}

// Where a key of the first section of a name stands in a text, in offsets into
// the whole text (its BOM included), found in one pass that stops at the key
// or at the end of that section. Up to `scanned` every line ends in CR LF when
// `crlf`.
struct KeyPlace {
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  bool section = false;
  std::size_t keyBegin = kNone, keyEnd = kNone;  // the key's line, without its line end
  std::string_view storedKey, value;             // its name as stored, its value trimmed, quotes kept
  std::size_t bodyEnd = 0;                       // past the line end of the header or the last non-blank body line
  std::size_t scanned = 0;
  bool crlf = true;
};

KeyPlace findKey(std::string_view file, std::string_view section, std::string_view key) {
  KeyPlace p;
  const std::string_view text = withoutBom(file);
  const std::size_t bom = file.size() - text.size();
  p.scanned = bom;
  bool inFirst = false;
  forEachLine(text, [&](std::string_view raw, std::size_t next) {
    const std::size_t begin = bom + static_cast<std::size_t>(raw.data() - text.data());
    // Only a line that may be a header, or may hold the key, is classified: a
    // section of records costs a look at each line's start.
    const std::size_t lead = raw.find_first_not_of(kBlanks);
    bool header = false;
    if (lead != std::string_view::npos && raw[lead] == '[') {
      const std::size_t close = raw.find(']', lead);
      header = close != std::string_view::npos && (close + 1 == raw.size() || raw[close + 1] != '=') &&
               classify(raw).kind == LineKind::Section;
    }
    if (header) {
      if (inFirst) return false;
      if (EqualsNoCase(classify(raw).name, section)) {
        inFirst = p.section = true;
        p.bodyEnd = bom + next;
      }
    } else if (inFirst && lead != std::string_view::npos) {
      p.bodyEnd = bom + next;
      if (p.keyBegin == KeyPlace::kNone && raw.size() - lead >= key.size() &&
          EqualsNoCase(raw.substr(lead, key.size()), key)) {
        const Line l = classify(raw);
        if (l.kind == LineKind::Key && EqualsNoCase(l.name, key)) {
          p.keyBegin = begin;
          p.keyEnd = begin + raw.size();
          p.storedKey = l.name;
          p.value = l.value;
        }
      }
    }
    p.crlf = p.crlf && bom + next == begin + raw.size() + 2;  // a CR LF is the only two-byte line end
    p.scanned = bom + next;
    return p.keyBegin == KeyPlace::kNone;
  });
  return p;
}

// Whether every line of `text` ends in CR LF, the form every rewrite leaves.
bool crlfOnly(std::string_view text) {
  const char* const b = text.data();
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const std::size_t e = lineEndAt(b, i, n);
    if (e + 1 >= n || b[e] != '\r' || b[e + 1] != '\n') return false;
    i = e + 2;
  }
  return true;
}

// A key written as rewrite writes it; or, with `onlyNew`, nothing where the
// section holds the key already (ERROR_ALREADY_EXISTS). A text in rewrite's
// form is changed in place, so that a key costs one pass to find its place
// and no copy of the lines around it; any other text is rewritten whole.
DWORD setKey(std::string& text, std::string_view sectionName, std::string_view keyName, std::string_view value,
             bool onlyNew) {
  const std::string_view section = trim(sectionName);
  const std::string_view key = trim(keyName);
  if (section.empty() || !validSection(section) || !validKey(keyName) || !validName(value))
    return win::ERROR_INVALID_PARAMETER;
  const KeyPlace p = findKey(text, section, key);
  if (onlyNew && p.keyBegin != KeyPlace::kNone) return win::ERROR_ALREADY_EXISTS;
  if (!p.crlf || !crlfOnly(std::string_view(text).substr(p.scanned))) {
    std::string out;
    if (rewrite(text, Change{Change::SetKey, section, key, value, {}}, out)) text = std::move(out);
    return 0;
  }
  std::string line;
  if (p.keyBegin != KeyPlace::kNone) {
    line.append(p.storedKey).append("=").append(value);
    text.replace(p.keyBegin, p.keyEnd - p.keyBegin, line);
  } else if (p.section) {
    line.append(key).append("=").append(value).append("\r\n");
    text.insert(p.bodyEnd, line);
  } else {
    line.append("[").append(section).append("]\r\n").append(key).append("=").append(value).append("\r\n");
    text += line;
  }
  return 0;
}

// Whether the file holds `text` byte for byte (a missing file holds none).
bool sameAsFile(const std::string& path, std::string_view text) {
  const int fd = OpenForReading(path);
  if (fd < 0) return missingErrno(errno) && text.empty();
  struct stat st;
  bool same = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) == text.size();
  std::array<char, 65536> buf;
  for (std::size_t at = 0; same && at < text.size();) {
    const ssize_t r = ::read(fd, buf.data(), std::min(buf.size(), text.size() - at));
    if (r < 0 && errno == EINTR) continue;
    same = r > 0 && text.compare(at, static_cast<std::size_t>(r), buf.data(), static_cast<std::size_t>(r)) == 0;
    at += r > 0 ? static_cast<std::size_t>(r) : 0;
  }
  ::close(fd);
  return same;
}

// Reads the file fresh, lets `edit` make the new text and replaces the file
// atomically when `edit` returns 0 with a changed text; an error from `edit`
// leaves the file as it was. The whole cycle holds the file's locks.
template <typename Edit>
DWORD modifyWith(const char* fileName, Edit&& edit) {
  if (fileName == nullptr) return win::ERROR_INVALID_PARAMETER;
  std::string mapped;
  DWORD err = 0;
  if (!MapPath(fileName, mapped, &err)) return err;
  std::string canonical;
  if (!CanonicalFilePath(mapped, canonical, &err)) return err;

  // The folder first, as ProfileWriteLock takes it (by the name given, which
  // may pass through a link), then the file.
  FolderLock folderLock(mapped, false);
  if (folderLock.Error() != 0) return folderLock.Error();
  std::lock_guard lock(fileLock(canonical));
  // Another spelling of a missing file may have created it meanwhile: map again
  // under the locks so that both writes land in that one file.
  if (!MapPath(fileName, mapped, &err)) return err;
  if (!CanonicalFilePath(mapped, canonical, &err)) return err;
  // Edited where it was read, with room for a record or a header, so that a
  // large file is neither copied nor moved to grow.
  constexpr std::size_t kEditRoom = 64 * 1024;
  std::string text;
  struct stat st;
  const int readErr = readWhole(canonical, text, st, kEditRoom);
  if (readErr != 0 && !missingErrno(readErr)) {
    return readErr == EISDIR ? win::ERROR_ACCESS_DENIED : ErrorFromErrno(readErr);
  }
  const std::size_t size = text.size();
  err = edit(text);
  // A text of the size read is compared with the file, which the locks keep as it was read.
  if (err != 0 || (text.size() == size && sameAsFile(canonical, text))) return err;
  return ReplaceFileAtomically(canonical, text);
}

BOOL modify(const char* fileName, const Change& change) {
  const DWORD err = modifyWith(fileName, [&change](std::string& text) -> DWORD {
    std::string out;
    if (rewrite(text, change, out)) text = std::move(out);
    return 0;
  });
  win::SetLastError(err);
  return err == 0 ? win::TRUE : win::FALSE;
}

}  // namespace

void ClearProfileCache() {
  auto& c = cache();
  std::unique_lock lock(c.mutex);
  forgetAll(c);
}

void ForgetProfileFile(const std::string& nativePath) {
  auto& c = cache();
  const std::string leaf = leafOf(nativePath);
  {
    std::shared_lock lock(c.mutex);
    const bool named = std::any_of(c.entries.begin(), c.entries.end(), [&](const auto& e) { return e.second.leaf == leaf; }) ||
                       std::any_of(c.loading.begin(), c.loading.end(), [&](const Loading* l) { return l->leaf == leaf; });
    if (!named) return;
  }
  // A copy whose folder was missing when read cannot be told apart by its
  // canonical name: it goes too.
  const std::string canonical = canonicalOf(nativePath);
  std::unique_lock lock(c.mutex);
  forget(c, [&](const std::vector<Dependency>&, const std::string& entryCanonical, const std::string& entryLeaf) {
    return entryLeaf == leaf && (entryCanonical.empty() || canonical.empty() || entryCanonical == canonical);
  });
}

DWORD EditProfileFile(const std::string& fileName, const std::function<DWORD(std::string& text)>& edit) {
  return modifyWith(fileName.c_str(), edit);
}

DWORD SetProfileKey(std::string& text, const std::string& section, const std::string& key, const std::string& value) {
  return setKey(text, section, key, value, false);
}

DWORD AddProfileKey(std::string& text, const std::string& section, const std::string& key, const std::string& value) {
  return setKey(text, section, key, value, true);
}

DWORD DeleteProfileKey(std::string& text, const std::string& section, const std::string& key) {
  const std::string_view s = trim(section);
  const std::string_view k = trim(key);
  if (s.empty() || !validSection(s) || !validKey(key)) return win::ERROR_INVALID_PARAMETER;
  std::string out;
  if (rewrite(text, Change{Change::DeleteKey, s, k, {}, {}}, out)) text = std::move(out);
  return 0;
}

UINT FindProfileInt(const std::string& text, const std::string& section, const std::string& key, int defaultValue) {
  const KeyPlace p = findKey(text, trim(section), trim(key));
  return p.keyBegin != KeyPlace::kNone ? parseInt(unquote(p.value), defaultValue) : static_cast<UINT>(defaultValue);
}

std::string ReadProfileStringUncached(const std::string& section, const std::string& key,
                                      const std::string& defaultValue, const std::string& fileName) {
  std::string mapped;
  if (!MapPath(fileName, mapped)) return defaultValue;
  std::string data;
  struct stat st;
  if (readWhole(mapped, data, st) != 0) return defaultValue;
  bool inSection = false;
  bool seenSection = false;
  std::string result = defaultValue;
  forEachLine(withoutBom(data), [&](std::string_view raw, std::size_t) {
    const Line l = classify(raw);
    if (l.kind == LineKind::Section) {
      if (seenSection) return false;  // only the first section of that name counts
      inSection = EqualsNoCase(l.name, section);
      seenSection = inSection;
    } else if (inSection && l.kind == LineKind::Key && EqualsNoCase(l.name, key)) {
      result = std::string(unquote(l.value));
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
    if (key == nullptr) {
      return platform::copyList(platform::sectionLines(f, section, platform::Listing::KeyNames), buffer, size);
    }
    if (const std::string_view* v = f.find(section, key)) return platform::copyString(platform::unquote(*v), buffer, size);
    return platform::copyString(platform::defaultOf(defaultValue ? defaultValue : ""), buffer, size);
  });
}

UINT GetPrivateProfileInt(const char* section, const char* key, int defaultValue, const char* fileName) {
  if (section == nullptr || key == nullptr || fileName == nullptr) return static_cast<UINT>(defaultValue);
  return platform::withFile(fileName, [&](const IniFile& f) {
    const std::string_view* v = f.find(section, key);
    return v ? platform::parseInt(platform::unquote(*v), defaultValue) : static_cast<UINT>(defaultValue);
  });
}

DWORD GetPrivateProfileSection(const char* section, char* buffer, DWORD size, const char* fileName) {
  if (buffer == nullptr || size == 0) return 0;
  if (section == nullptr || fileName == nullptr) return platform::copyList({}, buffer, size);
  return platform::withFile(fileName, [&](const IniFile& f) {
    return platform::copyList(platform::sectionLines(f, section, platform::Listing::Entries), buffer, size);
  });
}

DWORD GetPrivateProfileSectionNames(char* buffer, DWORD size, const char* fileName) {
  if (buffer == nullptr || size == 0) return 0;
  if (fileName == nullptr) return platform::copyList({}, buffer, size);
  return platform::withFile(fileName, [&](const IniFile& f) -> DWORD {
    if (!f.exists) {
      buffer[0] = '\0';
      return 0;
    }
    return platform::copyList(platform::sectionNames(f), buffer, size);
  });
}

BOOL WritePrivateProfileString(const char* section, const char* key, const char* value, const char* fileName) {
  using platform::Change;
  if (section == nullptr) return platform::fail(ERROR_INVALID_PARAMETER);
  const std::string_view s = platform::trim(section);
  if (s.empty() || !platform::validSection(s)) return platform::fail(ERROR_INVALID_PARAMETER);
  if (key == nullptr) return platform::modify(fileName, Change{Change::DeleteSection, s, {}, {}, {}});
  if (!platform::validKey(key)) return platform::fail(ERROR_INVALID_PARAMETER);
  const std::string_view k = platform::trim(key);
  if (value == nullptr) return platform::modify(fileName, Change{Change::DeleteKey, s, k, {}, {}});
  if (!platform::validName(value)) return platform::fail(ERROR_INVALID_PARAMETER);
  return platform::modify(fileName, Change{Change::SetKey, s, k, value, {}});
}

BOOL WritePrivateProfileSection(const char* section, const char* entries, const char* fileName) {
  using platform::Change;
  if (section == nullptr) return platform::fail(ERROR_INVALID_PARAMETER);
  const std::string_view s = platform::trim(section);
  if (s.empty() || !platform::validSection(s)) return platform::fail(ERROR_INVALID_PARAMETER);
  if (entries == nullptr) return platform::modify(fileName, Change{Change::DeleteSection, s, {}, {}, {}});
  Change change{Change::ReplaceSection, s, {}, {}, {}};
  for (const char* p = entries; *p != '\0'; p += std::strlen(p) + 1) {
    // A header inside the list would split the section: refuse it.
    if (!platform::validName(p) || platform::classify(p).kind == platform::LineKind::Section) {
      return platform::fail(ERROR_INVALID_PARAMETER);
    }
    change.body.emplace_back(p);
  }
  return platform::modify(fileName, change);
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& fileName) {
  return platform::withFile(fileName, [&](const IniFile& f) {
    const std::string_view* v = f.find(section, key);
    return std::string(v ? platform::unquote(*v) : platform::defaultOf(defaultValue));
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
  return platform::withFile(fileName, [&](const IniFile& f) {
    return platform::sectionLines(f, section, platform::Listing::KeyNames);
  });
}

std::vector<std::string> GetPrivateProfileSection(const std::string& section, const std::string& fileName) {
  return platform::withFile(fileName, [&](const IniFile& f) {
    return platform::sectionLines(f, section, platform::Listing::Entries);
  });
}

std::vector<std::string> GetPrivateProfileSectionNames(const std::string& fileName) {
  return platform::withFile(fileName, [&](const IniFile& f) { return platform::sectionNames(f); });
}

}  // namespace win
