#include "device/SharedDump.h"

#include <map>
#include <memory>
#include <mutex>

#include "platform/Paths.h"

namespace kx {
namespace {

// One lock per file name, found without regard to case as the file system
// layer finds names. Dump names are few, so the locks are kept for the run.
std::mutex& LockFor(const std::string& path) {
  static std::mutex tableLock;
  static std::map<std::string, std::unique_ptr<std::mutex>> locks;
  std::string key = platform::MapPath(path);
  if (key.empty()) key = path;
  for (char& c : key) c = static_cast<char>(platform::FoldCase(c));
  std::lock_guard<std::mutex> guard(tableLock);
  std::unique_ptr<std::mutex>& lock = locks[key];
  if (!lock) lock = std::make_unique<std::mutex>();
  return *lock;
}

}  // namespace

WriteResult WriteSharedDump(const std::string& path, const void* bytes, std::size_t length) {
  std::lock_guard<std::mutex> turn(LockFor(path));
  return WriteWholeFile(path, bytes, length);
}

}  // namespace kx
