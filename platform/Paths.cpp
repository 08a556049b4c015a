#include "platform/Paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cctype>
#include <map>
#include <mutex>
#include <vector>

namespace platform {
namespace {

const char* const kDefaultDrivesRoot = "drives";

struct Roots {
  std::mutex mutex;
  std::map<char, std::string> perLetter;
  std::string common = kDefaultDrivesRoot;
  std::atomic<std::uint64_t> generation{1};
};
Roots& roots() {
  static Roots r;
  return r;
}

std::atomic<std::uint64_t> g_workingFolderGeneration{1};

bool exists(const std::string& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

// Name in `dir` that equals `name` without regard to case, or "" when none does.
std::string findNoCase(const std::string& dir, const std::string& name) {
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return {};
  std::string found;
  while (dirent* e = ::readdir(d)) {
    if (EqualsNoCase(e->d_name, name)) {
      found = e->d_name;
      break;
    }
  }
  ::closedir(d);
  return found;
}

std::string join(const std::string& base, const std::string& name) {
  if (base.empty()) return name;
  if (base.back() == '/') return base + name;
  return base + "/" + name;
}

}  // namespace

bool IsDevicePath(std::string_view path) {
  return path.size() >= 4 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/') &&
         (path[2] == '.' || path[2] == '?') && (path[3] == '\\' || path[3] == '/');
}

bool MapPath(std::string_view winPath, std::string& native, win::DWORD* error) {
  auto fail = [&](win::DWORD e) {
    if (error) *error = e;
    native.clear();
    return false;
  };
  if (winPath.empty()) return fail(win::ERROR_INVALID_NAME);
  // "\\.\X:", "\\?\..." and "\\host\share" are not local files.
  if (winPath.size() >= 2 && (winPath[0] == '\\' || winPath[0] == '/') && (winPath[1] == '\\' || winPath[1] == '/'))
    return fail(win::ERROR_INVALID_NAME);
  if (winPath.find('\0') != std::string_view::npos) return fail(win::ERROR_INVALID_NAME);

  std::string base;  // "" = the working folder
  std::string_view rest = winPath;
  bool driveRoot = false;
  if (winPath.size() >= 2 && winPath[1] == ':' && std::isalpha(static_cast<unsigned char>(winPath[0]))) {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(winPath[0])));
    auto& r = roots();
    {
      std::lock_guard lock(r.mutex);
      auto it = r.perLetter.find(letter);
      if (it != r.perLetter.end()) {
        base = it->second;
      } else if (!r.common.empty()) {
        base = join(r.common, std::string(1, letter));
      }
    }
    if (base.empty()) return fail(win::ERROR_PATH_NOT_FOUND);
    rest = winPath.substr(2);
    driveRoot = true;
  } else if (winPath[0] == '/' || winPath[0] == '\\') {
    base = "/";
  }

  std::vector<std::string> parts;
  std::string cur;
  auto take = [&] {
    if (cur.empty() || cur == ".") return;
    // As on Windows, ".." drops the name before it as text, so it never leads
    // back out through a link, nor needs that name to exist. At a drive's root
    // (or "/") it stays there; only a relative path keeps a leading "..".
    if (cur == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
        return;
      }
      if (driveRoot || base == "/") return;
    }
    parts.push_back(cur);
  };
  for (char c : rest) {
    if (c == '\\' || c == '/') {
      take();
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  take();

  std::string out = base;
  bool resolving = true;  // stops at the first component that does not exist
  for (const auto& part : parts) {
    std::string name = part;
    if (resolving && part != "..") {
      if (!exists(join(out, part))) {
        std::string other = findNoCase(out, part);
        if (other.empty()) {
          resolving = false;
        } else {
          name = other;
        }
      }
    }
    out = join(out, name);
  }
  if (out.empty()) out = ".";
  native = std::move(out);
  if (error) *error = win::ERROR_SUCCESS;
  return true;
}

std::string MapPath(std::string_view winPath) {
  std::string out;
  MapPath(winPath, out, nullptr);
  return out;
}

bool ResolvePath(std::string_view winPath, std::string& resolved, win::DWORD* error) {
  std::string native;
  if (!MapPath(winPath, native, error)) return false;
  if (native.front() != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
      if (error) *error = win::ERROR_PATH_NOT_FOUND;
      return false;
    }
    native = join(cwd, native);
  }
  std::string out = "/";
  bool real = true;  // `out` exists; below a missing name the rest is taken as given
  std::size_t start = 1;
  while (start <= native.size()) {
    std::size_t end = native.find('/', start);
    if (end == std::string::npos) end = native.size();
    const std::string part = native.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      const auto slash = out.find_last_of('/');
      out = slash == 0 ? "/" : out.substr(0, slash);
      continue;
    }
    const std::string next = join(out, part);
    char buf[PATH_MAX];
    if (real && ::realpath(next.c_str(), buf) != nullptr) {
      out = buf;
    } else if (real && errno != ENOENT) {
      if (error) *error = errno == ELOOP ? win::ERROR_CANT_RESOLVE_FILENAME : win::ERROR_PATH_NOT_FOUND;
      return false;
    } else {
      real = false;
      out = next;
    }
  }
  resolved = std::move(out);
  if (error) *error = win::ERROR_SUCCESS;
  return true;
}

bool CanonicalFilePath(const std::string& nativePath, std::string& canonical, win::DWORD* error) {
  auto fail = [&](int err) {
    if (error) *error = err == ENAMETOOLONG ? win::ERROR_FILENAME_EXCED_RANGE : win::ERROR_PATH_NOT_FOUND;
    return false;
  };
  char buf[PATH_MAX];
  const auto slash = nativePath.find_last_of('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : nativePath.substr(0, slash);
  if (::realpath(parent.c_str(), buf) == nullptr) return fail(errno);
  struct stat st;
  if (::stat(buf, &st) != 0) return fail(errno);
  if (!S_ISDIR(st.st_mode)) return fail(ENOTDIR);
  canonical = join(buf, slash == std::string::npos ? nativePath : nativePath.substr(slash + 1));
  return true;
}

bool HoldsDriveRoot(std::string_view winPath) {
  std::string resolved;
  if (!ResolvePath(winPath, resolved)) return false;
  if (resolved == "/") return true;
  struct stat self, parent;
  const auto slash = resolved.find_last_of('/');
  if (::stat(resolved.c_str(), &self) == 0 &&
      ::stat(slash == 0 ? "/" : resolved.substr(0, slash).c_str(), &parent) == 0 && self.st_dev != parent.st_dev)
    return true;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    std::string root;
    if (ResolvePath(std::string(1, letter) + ":\\", root) &&
        (root == resolved || (root.size() > resolved.size() && root.compare(0, resolved.size(), resolved) == 0 &&
                              root[resolved.size()] == '/')))
      return true;
  }
  return false;
}

void SetDriveRoot(char letter, const std::string& folder) {
  if (!std::isalpha(static_cast<unsigned char>(letter))) return;
  const char up = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  auto& r = roots();
  std::lock_guard lock(r.mutex);
  if (folder.empty()) {
    r.perLetter.erase(up);
  } else {
    r.perLetter[up] = folder;
  }
  r.generation.fetch_add(1);
}

void SetDrivesRoot(const std::string& folder) {
  auto& r = roots();
  std::lock_guard lock(r.mutex);
  r.common = folder;
  r.generation.fetch_add(1);
}

void ResetDriveRoots() {
  auto& r = roots();
  std::lock_guard lock(r.mutex);
  r.perLetter.clear();
  r.common = kDefaultDrivesRoot;
  r.generation.fetch_add(1);
}

std::uint64_t DriveRootsGeneration() { return roots().generation.load(); }

std::uint64_t WorkingFolderGeneration() { return g_workingFolderGeneration.load(std::memory_order_acquire); }

}  // namespace platform

// The process's own chdir and fchdir, which the C library and libstdc++ call
// through: a change of working folder is counted here, after the kernel made
// it, so that a reader caching relative paths never keeps using the old folder
// without asking the system on every read.
extern "C" int chdir(const char* path) noexcept {
  const int r = static_cast<int>(::syscall(SYS_chdir, path));
  if (r == 0) platform::g_workingFolderGeneration.fetch_add(1, std::memory_order_acq_rel);
  return r;
}

extern "C" int fchdir(int fd) noexcept {
  const int r = static_cast<int>(::syscall(SYS_fchdir, fd));
  if (r == 0) platform::g_workingFolderGeneration.fetch_add(1, std::memory_order_acq_rel);
  return r;
}
