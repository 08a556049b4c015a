// Copy, Move and Delete of file trees beside `cp -a` and `rm -r` of the same
// trees in the same run: a chain of folders and one wide folder, each at half
// and full size, so that the growth from doubling shows beside the ratio to
// the system's tools. Run by hand, in Release:
//   build/bench/legacy/kx_legacy_bench [scratch folder]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "legacy/FileTreeOperation.h"
#include "platform/Paths.h"

namespace {

double Seconds(const char* what, const std::function<bool()>& run, const CFileTreeOperation* op = nullptr) {
  const auto start = std::chrono::steady_clock::now();
  if (!run()) {
    std::fprintf(stderr, "%s failed: %s\n", what, op ? op->m_ErrorText.c_str() : "");
    std::exit(1);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Fail(const char* what, const std::string& where) {
  std::perror((std::string(what) + " " + where).c_str());
  std::exit(1);
}

void PutFile(int dir, const char* name) {
  const int fd = ::openat(dir, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail("create", name);
  static const char data[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  if (::write(fd, data, sizeof data - 1) != static_cast<ssize_t>(sizeof data - 1)) Fail("write", name);
  ::close(fd);
}

// `size` folders, one inside the other, with a file in each.
void MakeChain(const std::string& top, int size) {
  std::filesystem::create_directories(top);
  int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; i < size; ++i) {
    PutFile(fd, "f.txt");
    if (::mkdirat(fd, "d", 0755) != 0) Fail("mkdir", top);
    const int sub = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = sub;
  }
  ::close(fd);
}

// One folder of `size` files.
void MakeWide(const std::string& top, int size) {
  std::filesystem::create_directories(top);
  const int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; i < size; ++i) PutFile(fd, ("file" + std::to_string(i) + ".txt").c_str());
  ::close(fd);
}

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

struct Times {
  double copy, move, del, cp, rm;
};

// Each operation and its tool work on like trees: copies of the source that
// `cp -a` made, so that neither meets a tree the other's way of writing left.
Times Measure(const std::string& root, const std::function<void(const std::string&)>& make) {
  const std::string src = root + "/src/tree";
  for (const char* dir : {"/a", "/b", "/c", "/d", "/e"}) std::filesystem::create_directories(root + dir);
  make(src);
  // The operations take the program's own paths: drive B: is the scratch folder.
  platform::SetDriveRoot('B', root);
  CFileTreeOperation op;
  Times t{};
  t.cp = Seconds("cp -a", [&] { return Shell("cp -a '" + src + "' '" + root + "/b/'"); });
  t.copy = Seconds("Copy", [&] { return op.Copy("B:\\src\\tree", "B:\\a"); }, &op);
  t.move = Seconds("Move", [&] { return op.Move("B:\\b\\tree", "B:\\c"); }, &op);
  if (!Shell("cp -a '" + src + "' '" + root + "/d/' && cp -a '" + src + "' '" + root + "/e/' && sync")) Fail("cp -a", src);
  t.rm = Seconds("rm -r", [&] { return Shell("rm -r '" + root + "/d/tree'"); });
  t.del = Seconds("Delete", [&] { return op.Delete("B:\\e\\tree"); }, &op);
  std::filesystem::remove_all(root);
  return t;
}

void Report(const char* tree, int half, const Times& h, const Times& f) {
  auto line = [&](const char* op, double hs, double fs, const char* tool, double ths, double tfs) {
    std::printf("%-5s %-6s %5d -> %5d: %7.3f s -> %7.3f s (x%.2f) | %-5s %7.3f s -> %7.3f s (x%.2f) | ratio %.2f\n",
                tree, op, half, half * 2, hs, fs, fs / hs, tool, ths, tfs, tfs / ths, fs / tfs);
  };
  line("Copy", h.copy, f.copy, "cp -a", h.cp, f.cp);
  line("Move", h.move, f.move, "cp -a", h.cp, f.cp);
  line("Delete", h.del, f.del, "rm -r", h.rm, f.rm);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string base = (argc > 1 ? std::string(argv[1]) : std::filesystem::temp_directory_path().string()) +
                           "/kx-tree-bench-" + std::to_string(::getpid());
  const struct {
    const char* name;
    int size;
    void (*make)(const std::string&, int);
  } trees[] = {{"chain", 1000, MakeChain}, {"wide", 20000, MakeWide}};
  for (const auto& tree : trees) {
    const int half = tree.size / 2;
    const Times h = Measure(base, [&](const std::string& top) { tree.make(top, half); });
    const Times f = Measure(base, [&](const std::string& top) { tree.make(top, tree.size); });
    Report(tree.name, half, h, f);
  }
  return 0;
}
