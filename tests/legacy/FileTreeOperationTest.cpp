#include "legacy/FileTreeOperation.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ErrorText.h"
#include "platform/FileFaults.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/RewriteInPlace.h"

namespace {

// While it lives, the calling thread does without root's override of file
// permissions, so that they bite as they do for any other user.
class PermissionsBite {
 public:
  PermissionsBite() {
    if (::syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct less[2] = {saved_[0], saved_[1]};
    less[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    dropped_ = ::syscall(SYS_capset, &header_, less) == 0;
  }
  ~PermissionsBite() {
    if (dropped_) ::syscall(SYS_capset, &header_, saved_);
  }
  PermissionsBite(const PermissionsBite&) = delete;
  PermissionsBite& operator=(const PermissionsBite&) = delete;

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
  bool dropped_ = false;
};

class FileTree : public kxtest::DeviceTestEnv {
 protected:
  static void Put(const std::string& path, const std::string& data) {
    std::filesystem::create_directories(std::filesystem::path(Native(path)).parent_path());
    ASSERT_EQ(platform::WriteFileBytes(path, data), 0u);
  }
  static bool Exists(const std::string& path) { return platform::FileExists(path); }
  static void ReadOnly(const std::string& path) {
    ASSERT_TRUE(win::SetFileAttributes(path.c_str(), win::FILE_ATTRIBUTE_READONLY));
  }
  static bool IsReadOnly(const std::string& path) {
    return (win::GetFileAttributes(path.c_str()) & win::FILE_ATTRIBUTE_READONLY) != 0;
  }
  static void Link(const std::string& target, const std::string& link) {
    std::filesystem::create_symlink(Native(target), Native(link));
  }
  struct Mount {
    std::string at;
    ~Mount() { ::umount2(at.c_str(), MNT_DETACH); }
  };
  // A tmpfs of `size` mounted at C:\disk while the result lives; null where
  // none can be mounted.
  static std::unique_ptr<Mount> SmallDisk(const std::string& size) {
    if (::geteuid() != 0) return nullptr;
    MakeDirs("C:\\disk");
    const std::string disk = Native("C:\\disk");
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) return nullptr;
    auto mount = std::make_unique<Mount>();
    mount->at = disk;
    return mount;
  }
  // Name -> contents of the entries of a folder.
  static std::map<std::string, std::string> FilesIn(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(Native(folder))) {
      const std::string name = entry.path().filename().string();
      files[name] = ReadAll(folder + "\\" + name);
    }
    return files;
  }
  // The names, or the contents, in order.
  static std::vector<std::string> Sorted(const std::map<std::string, std::string>& files, bool names) {
    std::vector<std::string> out;
    for (const auto& [name, data] : files) out.push_back(names ? name : data);
    std::sort(out.begin(), out.end());
    return out;
  }

  kxtest::ScratchFolder scratch_{"filetree"};
  std::shared_ptr<platform::RecordingMessageBox> box_ = std::make_shared<platform::RecordingMessageBox>();
  platform::ScopedMessageBox scoped_{box_};
  CFileTreeOperation op_;
};

TEST(FileTreeNames, NextCopyName) {
  struct Row {
    const char* path;
    const char* next;
  } rows[] = {
      {"C:\\a\\x.txt", "C:\\a\\Copy of x.txt"},
      {"C:\\a\\Copy of x.txt", "C:\\a\\Copy (1) of x.txt"},
      {"C:\\a\\Copy (1) of x.txt", "C:\\a\\Copy (2) of x.txt"},
      {"C:\\a\\Copy (41) of x", "C:\\a\\Copy (42) of x"},
      {"Copy (x.txt", "Copy of Copy (x.txt"},
      {"Copy x", "Copy (1) of "},                           // shorter than "Copy of ": cut to nothing
      {"Copy of Report (final)", "Copy (1) of "},           // the ")" near the end: nothing read past the name
      {"C:\\Copy (99999999999999999999) of y.bin", "C:\\Copy (2147483647) of y.bin"},
  };
  for (const Row& row : rows) EXPECT_EQ(CFileTreeOperation::NextCopyName(row.path), row.next) << row.path;
}

TEST(FileTreeNames, TreeRelations) {
  EXPECT_EQ(CFileTreeOperation::LastFolderName("C:\\a\\b\\*.*"), "b");
  EXPECT_EQ(CFileTreeOperation::LastFolderName("C:\\*.*"), "");
  EXPECT_TRUE(CFileTreeOperation::IsInsideTree("C:\\a", "C:\\a"));
  EXPECT_TRUE(CFileTreeOperation::IsInsideTree("C:\\a\\b", "C:\\a\\"));
  EXPECT_FALSE(CFileTreeOperation::IsInsideTree("C:\\ab", "C:\\a"));  // a sibling, not below
  CFileTreeOperation op;
  op.LimitSelfCopy("C:\\a", "C:\\ab\\c");
  EXPECT_EQ(op.m_SubfolderBudget, -1);
  op.LimitSelfCopy("C:\\a", "C:\\a\\b");
  EXPECT_EQ(op.m_SubfolderBudget, 1);
}

TEST(FileTreeNames, ErrorTextsComeFromTheSystemMessages) {
  EXPECT_EQ(CFExeption(win::ERROR_FILE_NOT_FOUND).GetErrorText(), "The system cannot find the file specified.\r\n");
  EXPECT_EQ(CFExeption(win::ERROR_FILE_NOT_FOUND).GetErrorCode(), 2u);
  EXPECT_EQ(CFExeption(std::string("Wrong operation")).GetErrorCode(), 0u);
  EXPECT_EQ(win::FormatMessage(4711), "Unknown error 4711.\r\n");
}

TEST_F(FileTree, RepeatedCopiesTakeFreeNames) {
  Put("C:\\a\\x.txt", "x");
  Put("D:\\b\\x.txt", "old");
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(op_.Copy("C:\\a\\x.txt", "D:\\b"));
  EXPECT_EQ(ReadAll("D:\\b\\x.txt"), "old");
  EXPECT_EQ(ReadAll("D:\\b\\Copy of x.txt"), "x");
  EXPECT_EQ(ReadAll("D:\\b\\Copy (1) of x.txt"), "x");
  EXPECT_EQ(ReadAll("D:\\b\\Copy (2) of x.txt"), "x");
}

TEST_F(FileTree, FileOntoFileCopiesBesideItOrReplacesIt) {
  Put("C:\\x.txt", "new");
  Put("C:\\y.txt", "old");
  ASSERT_TRUE(op_.Copy("C:\\x.txt", "C:\\y.txt"));
  EXPECT_EQ(ReadAll("C:\\y.txt"), "old");
  EXPECT_EQ(ReadAll("C:\\Copy of y.txt"), "new");
  op_.m_Overwrite = true;
  ASSERT_TRUE(op_.Copy("C:\\x.txt", "C:\\y.txt"));
  EXPECT_EQ(ReadAll("C:\\y.txt"), "new");
}

TEST_F(FileTree, ATargetThatIsNoReadableFileFailsWithFileExists) {
  Put("C:\\x.txt", "x");
  std::filesystem::create_directories(Native("D:\\b\\x.txt"));
  EXPECT_FALSE(op_.Copy("C:\\x.txt", "D:\\b"));
  EXPECT_EQ(op_.m_ErrorCode, win::ERROR_FILE_EXISTS);
  EXPECT_FALSE(Exists("D:\\b\\Copy of x.txt"));
}

TEST_F(FileTree, FolderCopyCreatesItsNameInTheDestination) {
  Put("C:\\a\\1.txt", "1");
  Put("C:\\a\\s\\2.txt", "2");
  std::filesystem::create_directories(Native("D:\\b"));
  ASSERT_TRUE(op_.Copy("C:\\a", "D:\\b"));
  EXPECT_EQ(ReadAll("D:\\b\\a\\1.txt"), "1");
  EXPECT_EQ(ReadAll("D:\\b\\a\\s\\2.txt"), "2");
  EXPECT_EQ(op_.m_SubfolderBudget, -1);
}

TEST_F(FileTree, OwnFailuresKeepTheirTextAndALaterSuccessLeavesIt) {
  Put("C:\\a\\1.txt", "1");
  Put("C:\\f.txt", "f");
  struct Row {
    const char* source;
    const char* destination;
    const char* text;
  } rows[] = {{"C:\\nothing", "C:\\a", "C:\\nothing not found"},
              {"C:\\a", "C:\\nowhere", "C:\\nowhere not found"},
              {"C:\\a", "C:\\f.txt", "Wrong operation"}};
  for (const Row& row : rows) {
    EXPECT_FALSE(op_.Copy(row.source, row.destination)) << row.text;
    EXPECT_EQ(op_.m_ErrorText, row.text);
    EXPECT_EQ(op_.m_ErrorCode, 0u) << row.text;
  }
  EXPECT_TRUE(op_.Copy("C:\\f.txt", "C:\\a"));
  EXPECT_EQ(op_.m_ErrorText, "Wrong operation");
}

TEST_F(FileTree, CopyIntoTheParentDoesNothing) {
  Put("C:\\a\\b\\1.txt", "1");
  EXPECT_TRUE(op_.Copy("C:\\a\\b", "C:\\a"));
  EXPECT_FALSE(Exists("C:\\a\\b\\b"));
  EXPECT_FALSE(Exists("C:\\a\\b\\Copy of 1.txt"));
}

TEST_F(FileTree, SelfCopyEntersOneSubfolderAndNeverItsOwnOutput) {
  Put("C:\\a\\1.txt", "1");
  Put("C:\\a\\b\\2.txt", "2");
  Put("C:\\a\\b\\c\\3.txt", "3");
  ASSERT_TRUE(op_.Copy("C:\\a", "C:\\a\\b"));
  EXPECT_EQ(ReadAll("C:\\a\\b\\a\\1.txt"), "1");
  EXPECT_EQ(ReadAll("C:\\a\\b\\a\\b\\2.txt"), "2");
  EXPECT_FALSE(Exists("C:\\a\\b\\a\\b\\c"));
  EXPECT_FALSE(Exists("C:\\a\\b\\a\\b\\a"));
}

TEST_F(FileTree, SiblingWithTheSourceAsPrefixIsNoSelfCopy) {
  Put("C:\\a\\s\\1.txt", "1");
  Put("C:\\a\\t\\2.txt", "2");
  std::filesystem::create_directories(Native("C:\\ab"));
  ASSERT_TRUE(op_.Copy("C:\\a", "C:\\ab"));
  EXPECT_EQ(ReadAll("C:\\ab\\a\\s\\1.txt"), "1");
  EXPECT_EQ(ReadAll("C:\\ab\\a\\t\\2.txt"), "2");
}

TEST_F(FileTree, MoveIntoItsOwnSubtreeIsRefusedHoweverItIsSpelled) {
  Put("C:\\a\\b\\1.txt", "1");
  for (const char* destination : {"C:\\a\\b", "c:\\A\\B", "C:/a/b", "C:\\x\\..\\a\\.\\b"}) {
    EXPECT_FALSE(op_.Move("C:\\a", destination)) << destination;
    EXPECT_EQ(op_.m_ErrorText, "Wrong operation") << destination;
    EXPECT_EQ(ReadAll("C:\\a\\b\\1.txt"), "1") << destination;
  }
}

// A destination that leads back into the source through a link is the source
// itself: moving there would delete what was just "copied".
TEST_F(FileTree, MoveThroughALinkIntoTheSourceIsRefused) {
  struct Row {
    const char* folder;  // made in D:\b
    const char* link;
    const char* target;
  } rows[] = {{"D:\\b", "D:\\b\\a", "C:\\a"}, {"D:\\b\\a", "D:\\b\\a\\s", "C:\\a\\s"}};
  for (const Row& row : rows) {
    Put("C:\\a\\1.txt", "1");
    Put("C:\\a\\s\\2.txt", "2");
    MakeDirs(row.folder);
    Link(row.target, row.link);
    for (bool move : {true, false}) {
      EXPECT_FALSE(move ? op_.Move("C:\\a", "D:\\b") : op_.Copy("C:\\a", "D:\\b")) << row.link << move;
      EXPECT_EQ(op_.m_ErrorText, "Wrong operation") << row.link << move;
    }
    // A Move that stopped there has moved what it copied before.
    EXPECT_EQ(ReadAll(Exists("C:\\a\\1.txt") ? "C:\\a\\1.txt" : "D:\\b\\a\\1.txt"), "1") << row.link;
    EXPECT_EQ(ReadAll("C:\\a\\s\\2.txt"), "2") << row.link;
    EXPECT_FALSE(Exists("C:\\a\\Copy of 1.txt")) << row.link;
    EXPECT_FALSE(Exists("C:\\a\\s\\Copy of 2.txt")) << row.link;
    std::filesystem::remove_all(Native("D:\\b"));
  }
}

TEST_F(FileTree, SelfCopyGuardSeesOtherSpellings) {
  Put("C:\\a\\b\\2.txt", "2");
  Put("C:\\a\\b\\c\\3.txt", "3");
  ASSERT_TRUE(op_.Copy("C:\\a", "c:/A\\B"));
  EXPECT_EQ(ReadAll("C:\\a\\b\\a\\b\\2.txt"), "2");
  EXPECT_FALSE(Exists("C:\\a\\b\\a\\b\\a"));
}

// A path that resolves to the root of a drive, or to a folder holding one (the
// drive letters' folders lie below the working folder), is refused before
// anything is touched: every removal outside the test's own files fails and is
// recorded.
TEST_F(FileTree, DeleteMoveAndRenameRefuseRoots) {
  Put("C:\\keep\\1.txt", "1");
  std::mutex mutex;
  std::vector<std::string> touched;
  auto refuse = [&](const std::string& native) {
    std::lock_guard lock(mutex);
    touched.push_back(native);
    return win::ERROR_ACCESS_DENIED;
  };
  platform::SetRemoveFault(refuse);
  platform::SetWriteFault(refuse);
  auto refused = [this](const std::string& root) {
    EXPECT_FALSE(op_.Delete(root)) << root;
    EXPECT_NE(op_.m_ErrorCode, 0u) << root;
    EXPECT_FALSE(op_.Move(root, "D:\\")) << root;
    EXPECT_FALSE(op_.Rename(root, "D:\\moved")) << root;
    EXPECT_NE(op_.m_ErrorCode, 0u) << root;
  };
  for (const char* root : {"", "\\", "/", "C:\\", "c:/", "C:", "C:\\keep\\..", "C:\\..\\..", "\\..", ".."})
    refused(root);
  refused(scratch_.Root().string() + "\\drives");
  refused(scratch_.Root().string());
  // The drive letters' folders in their usual place, below the working folder.
  MakeDirs(".\\drives\\C");
  platform::SetDrivesRoot("drives");
  for (const char* root : {".", ".\\drives\\", "drives"}) refused(root);
  platform::SetDrivesRoot((scratch_.Root() / "drives").string());
  platform::SetRemoveFault({});
  platform::SetWriteFault({});
  EXPECT_TRUE(touched.empty()) << touched.front();
  EXPECT_EQ(ReadAll("C:\\keep\\1.txt"), "1");
  EXPECT_FALSE(Exists("D:\\keep"));
  EXPECT_FALSE(Exists("D:\\moved"));
}

TEST_F(FileTree, MoveOrCopyToAPathThatCannotBeUsedKeepsTheSource) {
  Put("C:\\a\\1.txt", "1");
  Put("C:\\f.txt", "f");
  const std::string tooLong = "D:\\" + std::string(300, 'n');
  for (const std::string& destination : {std::string("\\\\host\\share"), std::string(), std::string("\\\\.\\PhysicalDrive0"), tooLong}) {
    for (const char* source : {"C:\\a", "C:\\f.txt"}) {
      EXPECT_FALSE(op_.Move(source, destination)) << source << " -> " << destination;
      EXPECT_NE(op_.m_ErrorCode, 0u) << source << " -> " << destination;
      EXPECT_FALSE(op_.Copy(source, destination)) << source << " -> " << destination;
    }
  }
  EXPECT_EQ(ReadAll("C:\\a\\1.txt"), "1");
  EXPECT_EQ(ReadAll("C:\\f.txt"), "f");
}

// A Move that fails part-way loses nothing and leaves no file in both trees:
// the sources of what it copied whole go, and a retry continues from there
// without making copies of copies.
TEST_F(FileTree, AMoveThatFailsPartwaySettlesWhatItCopied) {
  const char* files[] = {"1.txt", "2.txt", "s\\3.txt"};
  for (int failing = 1; failing <= 3; ++failing) {
    for (const char* file : files) Put(std::string("C:\\a\\") + file, file);
    MakeDirs("D:\\b");
    int copies = 0;
    platform::SetWriteFault([&copies, failing](const std::string&) {
      return ++copies == failing ? win::ERROR_DISK_FULL : 0u;
    });
    EXPECT_FALSE(op_.Move("C:\\a", "D:\\b")) << failing;
    platform::SetWriteFault({});
    EXPECT_EQ(op_.m_ErrorCode, win::ERROR_DISK_FULL) << failing;
    // The files copied before the failing one are in the target only.
    const auto moved = std::count_if(std::begin(files), std::end(files),
                                     [](const char* file) { return !Exists(std::string("C:\\a\\") + file); });
    EXPECT_EQ(moved, failing - 1) << failing;
    for (const char* file : files) {
      const std::string source = std::string("C:\\a\\") + file, copy = std::string("D:\\b\\a\\") + file;
      EXPECT_NE(Exists(source), Exists(copy)) << failing << " " << file;
      EXPECT_EQ(ReadAll(Exists(source) ? source : copy), file) << failing << " " << file;
    }
    EXPECT_TRUE(op_.Move("C:\\a", "D:\\b")) << failing << ": " << op_.m_ErrorText;
    std::vector<std::string> retried;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Native("D:\\b\\a")))
      if (entry.is_regular_file()) retried.push_back(entry.path().filename().string());
    std::sort(retried.begin(), retried.end());
    EXPECT_EQ(retried, (std::vector<std::string>{"1.txt", "2.txt", "3.txt"})) << failing;
    EXPECT_FALSE(Exists("C:\\a")) << failing;
    std::filesystem::remove_all(Native("D:\\b"));
  }
}

TEST_F(FileTree, ASubfolderThatCannotBeListedFailsTheCopyAndKeepsTheSource) {
  Put("C:\\a\\1.txt", "1");
  Put("C:\\a\\s\\2.txt", "2");
  MakeDirs("C:\\a\\empty");
  MakeDirs("D:\\b");
  platform::SetListFault([](const std::string& native) {
    return kxtest::EndsWith(native, "/a/s") ? win::ERROR_ACCESS_DENIED : 0u;
  });
  const bool copied = op_.Copy("C:\\a", "D:\\b");
  const win::DWORD copyCode = op_.m_ErrorCode;
  const bool moved = op_.Move("C:\\a", "D:\\b");
  platform::SetListFault({});
  EXPECT_FALSE(copied);
  EXPECT_EQ(copyCode, win::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(moved);
  EXPECT_EQ(ReadAll("C:\\a\\s\\2.txt"), "2");
  EXPECT_TRUE(op_.Copy("C:\\a\\empty", "D:\\b"));  // an empty folder is no failure
}

// Linux names may hold "\": such a name, joined to its folder, would name a
// file elsewhere ("..\..\keep.txt" in C:\t is C:\keep.txt, and D:\keep.txt as
// a copy's target). Refused before anything is deleted or written.
TEST_F(FileTree, ANameHoldingABackslashIsRefusedBeforeAnythingIsTouched) {
  Put("C:\\keep.txt", "c");
  Put("D:\\keep.txt", "d");
  Put("C:\\t\\1.txt", "1");
  std::ofstream(Native("C:\\t") + "/..\\..\\keep.txt") << "t";
  MakeDirs("D:\\dst");
  op_.m_Overwrite = true;
  const struct {
    const char* operation;
    std::function<bool()> run;
  } rows[] = {{"Delete", [this] { return op_.Delete("C:\\t"); }},
              {"Copy", [this] { return op_.Copy("C:\\t", "D:\\dst"); }},
              {"Move", [this] { return op_.Move("C:\\t", "D:\\dst"); }}};
  for (const auto& row : rows) {
    EXPECT_FALSE(row.run()) << row.operation;
    EXPECT_EQ(op_.m_ErrorText, "\"..\\..\\keep.txt\" in C:\\t: a name cannot hold \\ or /") << row.operation;
    EXPECT_EQ(op_.m_ErrorCode, win::ERROR_INVALID_NAME) << row.operation;
    EXPECT_EQ(ReadAll("C:\\keep.txt"), "c") << row.operation;
    EXPECT_EQ(ReadAll("D:\\keep.txt"), "d") << row.operation;
    EXPECT_EQ(ReadAll("C:\\t\\1.txt"), "1") << row.operation;
    EXPECT_FALSE(Exists("D:\\dst\\t")) << row.operation;
  }
}

// The destination finds names without regard to case, so of two source names
// that differ only in case the second would replace the first.
TEST_F(FileTree, CaseTwinsAreRefusedBeforeAnythingIsCopiedOrDeleted) {
  const struct {
    const char* first;  // made below C:\u
    const char* second;
    const char* text;
  } rows[] = {{"A.txt", "a.txt", "\"A.txt\" and \"a.txt\" in C:\\u differ only in letter case"},
              {"x/Sub/f.txt", "x/sub/f.txt", "\"Sub\" and \"sub\" in C:\\u\\x differ only in letter case"}};
  MakeDirs("D:\\d");
  op_.m_Overwrite = true;
  for (const auto& row : rows) {
    for (const char* name : {row.first, row.second}) {
      const std::filesystem::path file = Native("C:\\u") + "/" + name;
      std::filesystem::create_directories(file.parent_path());
      std::ofstream(file) << name;
    }
    for (bool move : {false, true}) {
      EXPECT_FALSE(move ? op_.Move("C:\\u", "D:\\d") : op_.Copy("C:\\u", "D:\\d")) << row.first << move;
      EXPECT_EQ(op_.m_ErrorText, row.text) << row.first << move;
      EXPECT_FALSE(Exists("D:\\d\\u")) << row.first << move;
    }
    for (const char* name : {row.first, row.second}) {
      EXPECT_TRUE(std::filesystem::exists(Native("C:\\u") + "/" + name)) << name;
    }
    std::filesystem::remove_all(Native("C:\\u"));
  }
}

// A folder that becomes a link to an outside folder while Delete or Move walks
// the tree: the walk keeps to the folder it opened, the swapped entry fails,
// and what the link leads to stays. The swap comes as the folder is listed, or
// as its first file is removed.
TEST_F(FileTree, AFolderSwappedForALinkMidWalkIsNotFollowed) {
  const struct {
    const char* name;
    bool move;
    bool atListing;
  } rows[] = {{"delete, swapped when listed", false, true},
              {"delete, swapped at the first removal", false, false},
              {"move, swapped at the first removal", true, false}};
  for (const auto& row : rows) {
    Put("C:\\out\\1.txt", "o1");
    Put("C:\\out\\2.txt", "o2");
    Put("C:\\t\\sub\\1.txt", "1");
    Put("C:\\t\\sub\\2.txt", "2");
    MakeDirs("D:\\b");
    const std::string sub = Native("C:\\t\\sub");
    bool swapped = false;
    auto swap = [&](const std::string& native) {
      if (!swapped && (row.atListing ? native == sub : native.rfind(sub + "/", 0) == 0)) {
        swapped = true;
        std::filesystem::rename(sub, Native("C:\\away"));
        std::filesystem::create_directory_symlink(Native("C:\\out"), sub);
      }
      return 0u;
    };
    if (row.atListing) {
      platform::SetListFault(swap);
    } else {
      platform::SetRemoveFault(swap);
    }
    const bool done = row.move ? op_.Move("C:\\t", "D:\\b") : op_.Delete("C:\\t");
    platform::SetListFault({});
    platform::SetRemoveFault({});
    EXPECT_TRUE(swapped) << row.name;
    EXPECT_EQ(ReadAll("C:\\out\\1.txt"), "o1") << row.name;
    EXPECT_EQ(ReadAll("C:\\out\\2.txt"), "o2") << row.name;
    if (!row.atListing) {
      EXPECT_FALSE(done) << row.name;
      EXPECT_TRUE(std::filesystem::is_symlink(sub)) << row.name;
    }
    for (const char* path : {"C:\\t", "C:\\away", "C:\\out", "D:\\b"}) std::filesystem::remove_all(Native(path));
  }
}

// With overwriting off, a file that appears at the target between the search
// for a free name and the copy's rename is kept.
TEST_F(FileTree, AFileThatAppearsAtTheTargetMeanwhileIsKept) {
  Put("C:\\a\\x.txt", "x");
  MakeDirs("C:\\l");
  Link("C:\\a\\x.txt", "C:\\l\\x.txt");
  MakeDirs("D:\\b");
  const std::string target = Native("D:\\b\\x.txt");
  platform::SetWriteFault([&target](const std::string& native) {
    if (native == target) std::ofstream(target) << "theirs";
    return 0u;
  });
  for (const char* source : {"C:\\a\\x.txt", "C:\\l\\x.txt"}) {
    std::filesystem::remove(target);
    EXPECT_FALSE(op_.Copy(source, "D:\\b")) << source;
    EXPECT_EQ(op_.m_ErrorCode, win::ERROR_FILE_EXISTS) << source;
    EXPECT_FALSE(std::filesystem::is_symlink(target)) << source;
    EXPECT_EQ(ReadAll("D:\\b\\x.txt"), "theirs") << source;
  }
  platform::SetWriteFault({});
}

TEST_F(FileTree, MovingAFileOntoItselfKeepsIt) {
  Put("C:\\a\\x.txt", "x");
  op_.m_Overwrite = true;
  EXPECT_FALSE(op_.Move("C:\\a\\x.txt", "C:\\a"));
  EXPECT_EQ(op_.m_ErrorCode, win::ERROR_SHARING_VIOLATION);
  EXPECT_EQ(ReadAll("C:\\a\\x.txt"), "x");
}

// Links inside a tree lead out of it: they are deleted, copied and moved as
// links, and what they lead to stays as it was.
TEST_F(FileTree, LinksAreNeverFollowed) {
  Put("C:\\out\\o.txt", "o");
  Put("C:\\out\\r.txt", "r");
  ReadOnly("C:\\out\\r.txt");
  MakeDirs("D:\\b");
  auto tree = [] {
    Put("C:\\t\\1.txt", "1");
    Link("C:\\out", "C:\\t\\dir");
    Link("C:\\out\\r.txt", "C:\\t\\file");
  };
  tree();
  ASSERT_TRUE(op_.Copy("C:\\t", "D:\\b"));
  EXPECT_TRUE(std::filesystem::is_symlink(Native("D:\\b\\t\\dir")));
  EXPECT_TRUE(std::filesystem::is_symlink(Native("D:\\b\\t\\file")));
  ASSERT_TRUE(op_.Delete("C:\\t"));
  EXPECT_FALSE(Exists("C:\\t"));
  tree();
  ASSERT_TRUE(op_.Move("C:\\t", "D:\\"));
  EXPECT_FALSE(Exists("C:\\t"));
  EXPECT_TRUE(std::filesystem::is_symlink(Native("D:\\t\\dir")));
  EXPECT_TRUE(box_->History().empty());
  EXPECT_EQ(ReadAll("C:\\out\\o.txt"), "o");
  EXPECT_EQ(ReadAll("C:\\out\\r.txt"), "r");
  EXPECT_TRUE(IsReadOnly("C:\\out\\r.txt"));
}

// ".." takes back the name before it, as text: it never climbs out of the
// folder a link leads to.
TEST_F(FileTree, DotDotAfterALinkStaysOnThePathAsWritten) {
  Put("C:\\out\\o.txt", "o");
  Put("C:\\out\\sub\\s.txt", "s");
  MakeDirs("D:\\x");
  Link("C:\\out\\sub", "D:\\x\\lnk");
  ASSERT_TRUE(op_.Delete("D:\\x\\lnk\\.."));
  EXPECT_FALSE(Exists("D:\\x"));
  EXPECT_EQ(ReadAll("C:\\out\\o.txt"), "o");
  EXPECT_EQ(ReadAll("C:\\out\\sub\\s.txt"), "s");
}

TEST_F(FileTree, ALinkCopiedOntoWhatItLeadsToLeavesThatFile) {
  Put("C:\\out\\r.txt", "r");
  MakeDirs("C:\\t");
  Link("C:\\out\\r.txt", "C:\\t\\file");
  op_.m_Overwrite = true;
  EXPECT_FALSE(op_.Copy("C:\\t\\file", "C:\\out\\r.txt"));
  EXPECT_EQ(op_.m_ErrorCode, win::ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(std::filesystem::is_symlink(Native("C:\\out\\r.txt")));
  EXPECT_EQ(ReadAll("C:\\out\\r.txt"), "r");
  // Onto another file the link replaces it, and no temporary name is left.
  Put("C:\\out\\o.txt", "o");
  ASSERT_TRUE(op_.Copy("C:\\t\\file", "C:\\out\\o.txt"));
  EXPECT_TRUE(std::filesystem::is_symlink(Native("C:\\out\\o.txt")));
  EXPECT_EQ(ReadAll("C:\\out\\o.txt"), "r");
  std::vector<std::string> names;
  ASSERT_EQ(platform::ListFolder("C:\\out", names), 0u);
  EXPECT_EQ(names.size(), 2u);
}

TEST_F(FileTree, ALoopOfLinksEndsWithItsOwnError) {
  MakeDirs("C:\\t");
  Link("C:\\t\\loop", "C:\\t\\loop");
  MakeDirs("D:\\b");
  EXPECT_FALSE(op_.Copy("C:\\t\\loop\\x", "D:\\b"));
  EXPECT_EQ(op_.m_ErrorCode, win::ERROR_CANT_RESOLVE_FILENAME);
  EXPECT_EQ(op_.m_ErrorText, "The name of the file cannot be resolved by the system.\r\n");
}

TEST_F(FileTree, CopyNameSearchEndsAtTheLastNumber) {
  Put("C:\\x.txt", "x");
  Put("D:\\Copy (2147483647) of y.bin", "y");
  EXPECT_FALSE(op_.Copy("C:\\x.txt", "D:\\Copy (2147483647) of y.bin"));
  EXPECT_EQ(op_.m_ErrorText, "D:\\Copy (2147483647) of y.bin: no free copy name");
  EXPECT_EQ(ReadAll("D:\\Copy (2147483647) of y.bin"), "y");
}

TEST_F(FileTree, AFifoIsRefusedWithoutWaiting) {
  MakeDirs("C:\\a");
  ASSERT_EQ(::mkfifo(Native("C:\\a\\pipe").c_str(), 0644), 0);
  MakeDirs("D:\\b");
  EXPECT_FALSE(op_.Copy("C:\\a", "D:\\b"));
  EXPECT_EQ(op_.m_ErrorCode, win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(op_.m_ErrorText, "C:\\a\\pipe is a named pipe (FIFO), not a file: it is not copied");
}

TEST_F(FileTree, CopyKeepsReadOnlyAndRenameChangesLetterCase) {
  Put("C:\\r.txt", "r");
  ReadOnly("C:\\r.txt");
  ASSERT_TRUE(win::CopyFile("C:\\r.txt", "C:\\s.txt", win::TRUE));
  EXPECT_TRUE(IsReadOnly("C:\\s.txt"));
  ASSERT_TRUE(op_.Rename("C:\\s.txt", "C:\\S.TXT"));
  std::vector<std::string> names;
  ASSERT_EQ(platform::ListFolder("C:\\", names), 0u);
  EXPECT_NE(std::find(names.begin(), names.end(), "S.TXT"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "s.txt"), names.end());
}

TEST_F(FileTree, MoveClearsReadOnlyFilesWithoutAskingAndAsksAgainAfter) {
  Put("C:\\a\\1.txt", "1");
  ReadOnly("C:\\a\\1.txt");
  std::filesystem::create_directories(Native("D:\\b"));
  ASSERT_TRUE(op_.Move("C:\\a", "D:\\b"));
  EXPECT_FALSE(Exists("C:\\a"));
  EXPECT_EQ(ReadAll("D:\\b\\a\\1.txt"), "1");
  EXPECT_TRUE(box_->History().empty());
  EXPECT_TRUE(op_.m_AskIfReadOnly);
}

TEST_F(FileTree, ReadOnlyQuestionYesNoCancel) {
  struct Row {
    int answer;
    bool fileLeft;
    win::DWORD code;
  } rows[] = {{win::IDYES, false, 0}, {win::IDNO, true, 0}, {win::IDCANCEL, true, 0}};
  for (const Row& row : rows) {
    CFileTreeOperation op;
    Put("C:\\t\\s\\r.txt", "r");
    Put("C:\\t\\w.txt", "w");
    ReadOnly("C:\\t\\s\\r.txt");
    box_->QueueAnswer(row.answer);
    EXPECT_TRUE(op.Delete("C:\\t")) << row.answer;
    EXPECT_EQ(Exists("C:\\t\\s\\r.txt"), row.fileLeft) << row.answer;
    EXPECT_EQ(Exists("C:\\t\\s"), row.fileLeft) << row.answer;
    EXPECT_EQ(op.m_ErrorCode, row.code) << row.answer;
    EXPECT_EQ(op.m_Declined, row.fileLeft) << row.answer;
    if (row.fileLeft) {
      ASSERT_TRUE(win::SetFileAttributes("C:\\t\\s\\r.txt", 0));
    }
    std::filesystem::remove_all(Native("C:\\t"));
  }
  const auto shown = box_->History();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].text, "r.txt is read olny. Do you want delete it?");
  EXPECT_EQ(shown[0].caption, "Warning");
  EXPECT_EQ(shown[0].type, win::MB_YESNOCANCEL | win::MB_ICONQUESTION);
}

TEST_F(FileTree, CancelStopsTheWalkWithTheSuccessText) {
  Put("C:\\t\\r.txt", "r");
  ReadOnly("C:\\t\\r.txt");
  box_->QueueAnswer(win::IDCANCEL);
  EXPECT_TRUE(op_.Delete("C:\\t"));
  EXPECT_EQ(op_.m_ErrorText, "The operation completed successfully.\r\n");
}

TEST_F(FileTree, DeletingWhatIsMissingGivesTheNotFoundCode) {
  std::filesystem::create_directories(Native("C:\\a"));
  EXPECT_FALSE(op_.Delete("C:\\a\\gone"));
  EXPECT_EQ(op_.m_ErrorCode, win::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(op_.Delete("C:\\nope\\gone"));
  EXPECT_EQ(op_.m_ErrorCode, win::ERROR_PATH_NOT_FOUND);
}

TEST_F(FileTree, RenameOntoAnExistingPathFails) {
  Put("C:\\x.txt", "x");
  Put("C:\\y.txt", "y");
  EXPECT_FALSE(op_.Rename("C:\\x.txt", "C:\\y.txt"));
  EXPECT_EQ(op_.m_ErrorCode, win::ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(op_.Rename("C:\\x.txt", "C:\\z.txt"));
  EXPECT_EQ(ReadAll("C:\\z.txt"), "x");
}

TEST_F(FileTree, ReadOnlyIsTheOwnerWriteBitEvenForRoot) {
  Put("C:\\r.txt", "r");
  EXPECT_EQ(win::GetFileAttributes("C:\\r.txt") & win::FILE_ATTRIBUTE_READONLY, 0u);
  ReadOnly("C:\\r.txt");
  EXPECT_NE(win::GetFileAttributes("C:\\r.txt") & win::FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_FALSE(win::SetFileAttributes("C:\\none.txt", 0));
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
}

// A link standing in the destination where the copy enters a folder leads
// out of it: the copy stops there, whatever it would write, and nothing the
// link leads to changes.
TEST_F(FileTree, ALinkInTheDestinationIsNeverWrittenThrough) {
  const struct {
    const char* link;   // made in the destination, leading to C:\elsewhere
    const char* named;  // in the failure's text
  } rows[] = {{"D:\\s\\sub", "D:\\s\\sub"}, {"D:\\s", "D:\\s"}};
  for (const auto& row : rows) {
    for (bool overwrite : {false, true}) {
      for (bool move : {false, true}) {
        const std::string name = std::string(row.link) + (overwrite ? " overwrite" : "") + (move ? " move" : "");
        Put("C:\\s\\sub\\f.txt", "new");
        Put("C:\\elsewhere\\f.txt", "theirs");
        MakeDirs("D:\\s");
        std::filesystem::remove(Native(row.link));
        Link("C:\\elsewhere", row.link);
        op_.m_Overwrite = overwrite;
        EXPECT_FALSE(move ? op_.Move("C:\\s", "D:\\") : op_.Copy("C:\\s", "D:\\")) << name;
        EXPECT_EQ(op_.m_ErrorCode, win::ERROR_INVALID_NAME) << name;
        EXPECT_EQ(op_.m_ErrorText, std::string(row.named) + " is a symbolic link: the copy does not write through it")
            << name;
        EXPECT_EQ(ReadAll("C:\\elsewhere\\f.txt"), "theirs") << name;
        EXPECT_FALSE(Exists("C:\\elsewhere\\Copy of f.txt")) << name;
        EXPECT_EQ(ReadAll("C:\\s\\sub\\f.txt"), "new") << name;
        for (const char* path : {"C:\\s", "C:\\elsewhere", "D:\\s"}) std::filesystem::remove_all(Native(path));
      }
    }
  }
}

// A chain of `depth` folders "d" below the folder `top`, the deepest holding
// leaf.txt; made by descriptor, as no path reaches that deep.
void MakeChain(const std::string& top, int depth) {
  int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(::mkdirat(fd, "d", 0755), 0) << i;
    const int sub = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    ASSERT_GE(sub, 0) << i;
    fd = sub;
  }
  const int leaf = ::openat(fd, "leaf.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(::write(leaf, "leaf", 4), 4);
  ::close(leaf);
  ::close(fd);
}

// How deep the chain below `top` goes and what its leaf.txt holds.
std::pair<int, std::string> ReadChain(const std::string& top) {
  int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return {-1, ""};
  int depth = 0;
  for (int sub; (sub = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) >= 0; ++depth) {
    ::close(fd);
    fd = sub;
  }
  char data[16] = {};
  const int leaf = ::openat(fd, "leaf.txt", O_RDONLY | O_CLOEXEC);
  const ssize_t n = leaf < 0 ? 0 : ::read(leaf, data, sizeof data);
  if (leaf >= 0) ::close(leaf);
  ::close(fd);
  return {depth, std::string(data, n > 0 ? static_cast<std::size_t>(n) : 0)};
}

// Depth costs neither stack nor descriptors: a chain deeper than any path,
// with far fewer descriptors allowed than it has folders.
TEST_F(FileTree, ChainsDeeperThanAnyPathAreCopiedMovedAndDeleted) {
  constexpr int kDepth = 20000;
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  const rlimit saved = files;
  files.rlim_cur = std::min<rlim_t>(files.rlim_cur, 256);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);
  MakeDirs("C:\\c");
  MakeDirs("D:\\b");
  const struct {
    const char* name;
    std::function<bool()> run;
    int sourceDepth;  // afterwards; -1: gone
    int targetDepth;
  } rows[] = {{"copy", [this] { return op_.Copy("C:\\c", "D:\\b"); }, kDepth, kDepth},
              {"move", [this] { return op_.Move("C:\\c", "D:\\b"); }, -1, kDepth},
              {"delete", [this] { return op_.Delete("C:\\c"); }, -1, -1}};
  for (const auto& row : rows) {
    if (!Exists("C:\\c")) MakeDirs("C:\\c");
    if (ReadChain(Native("C:\\c")).first == 0) MakeChain(Native("C:\\c"), kDepth);
    EXPECT_TRUE(row.run()) << row.name << ": " << op_.m_ErrorText;
    const auto source = ReadChain(Native("C:\\c"));
    const auto target = ReadChain(Native("D:\\b\\c"));
    EXPECT_EQ(source.first, row.sourceDepth) << row.name;
    EXPECT_EQ(target.first, row.targetDepth) << row.name;
    if (row.targetDepth > 0) {
      EXPECT_EQ(target.second, "leaf") << row.name;
    }
    if (Exists("D:\\b\\c")) {
      EXPECT_TRUE(op_.Delete("D:\\b\\c")) << row.name << ": " << op_.m_ErrorText;
    }
  }
  ::setrlimit(RLIMIT_NOFILE, &saved);
}

// A Move removes from its source only what it copied, as it was then: a file
// a writer adds after the copy listed its folder, a copied file written again,
// or a folder swapped for a link while the copy walks it stays, and the Move
// fails naming it; the copy keeps what it took, but for the copy of a file
// written again, which would hold old data under its name.
TEST_F(FileTree, AMoveLeavesWhatChangedMeanwhileInTheSource) {
  const struct {
    const char* name;
    const char* kept;  // the entry the failure names
    const char* keptData;  // its contents afterwards ("" for a folder)
    bool copied;  // C:\a\1.txt's copy stays
    std::function<void()> arm;
  } rows[] = {
      {"added", "C:\\a\\new.txt", "new", true,
       [] {
         platform::SetWriteFault([](const std::string& native) {
           if (kxtest::EndsWith(native, "/b/a/1.txt")) std::ofstream(Native("C:\\a\\new.txt")) << "new";
           return 0u;
         });
       }},
      {"rewritten", "C:\\a\\1.txt", "rewritten", false,
       [] {
         platform::SetWriteFault([](const std::string& native) {
           if (kxtest::EndsWith(native, "/b/a/1.txt")) std::ofstream(Native("C:\\a\\1.txt")) << "rewritten";
           return 0u;
         });
       }},
      {"swapped for a link", "C:\\a\\s", "", true,
       [] {
         platform::SetListFault([](const std::string& native) {
           if (native == Native("C:\\a\\s") && Exists("D:\\b\\a\\s") && !Exists("C:\\away")) {
             std::filesystem::rename(native, Native("C:\\away"));
             std::filesystem::create_directory_symlink(Native("C:\\out"), native);
           }
           return 0u;
         });
       }},
      // What an earlier Move of the same object copied is nothing this one copied.
      {"moved in from a tree an earlier Move failed in", "C:\\a\\d", "", true,
       [this] {
         Put("C:\\e\\d\\f.txt", "f");
         MakeDirs("D:\\f");
         platform::SetFlushFault([](const std::string& native) {
           return kxtest::EndsWith(native, "/f/e/d") ? win::ERROR_IO_DEVICE : 0u;
         });
         EXPECT_FALSE(op_.Move("C:\\e", "D:\\f"));
         platform::SetFlushFault([](const std::string& native) {
           if (kxtest::EndsWith(native, "/b/a") && Exists("C:\\e\\d"))
             std::filesystem::rename(Native("C:\\e\\d"), Native("C:\\a\\d"));
           return 0u;
         });
       }},
  };
  for (const auto& row : rows) {
    Put("C:\\a\\1.txt", "1");
    Put("C:\\a\\s\\2.txt", "2");
    Put("C:\\out\\o.txt", "o");
    MakeDirs("D:\\b");
    row.arm();
    EXPECT_FALSE(op_.Move("C:\\a", "D:\\b")) << row.name;
    platform::SetWriteFault({});
    platform::SetListFault({});
    platform::SetFlushFault({});
    EXPECT_EQ(op_.m_ErrorText, std::string(row.kept) + " was added or changed during the move and stays where it is")
        << row.name;
    EXPECT_TRUE(Exists(row.kept)) << row.name;
    if (*row.keptData) {
      EXPECT_EQ(ReadAll(row.kept), row.keptData) << row.name;
    }
    EXPECT_EQ(Exists("D:\\b\\a\\1.txt"), row.copied) << row.name;
    EXPECT_FALSE(Exists("D:\\b\\a\\s\\o.txt")) << row.name;
    EXPECT_EQ(ReadAll("C:\\out\\o.txt"), "o") << row.name;
    for (const char* path : {"C:\\a", "C:\\away", "C:\\out", "D:\\b", "C:\\e", "D:\\f"})
      std::filesystem::remove_all(Native(path));
  }
}

// A file declined in one operation passes over no failure of a later one,
// and within a Delete only the folders that hold it.
TEST_F(FileTree, ADeclinedFileExcusesOnlyTheFoldersThatHoldIt) {
  const std::string blocked = Native("C:\\u\\blocked");
  platform::SetRemoveFault([&blocked](const std::string& native) {
    return native == blocked ? win::ERROR_ACCESS_DENIED : 0u;
  });
  const struct {
    const char* name;
    std::function<bool()> run;
  } rows[] = {{"a later Delete", [this] { return op_.Delete("C:\\u"); }},
              {"a later Move", [this] { return op_.Move("C:\\u\\blocked", "D:\\"); }},
              {"the same Delete", [this] { return op_.Delete("C:\\v"); }}};
  for (const auto& row : rows) {
    Put("C:\\v\\keep\\r.txt", "r");
    ReadOnly("C:\\v\\keep\\r.txt");
    Put("C:\\u\\blocked\\1.txt", "1");
    box_->QueueAnswer(win::IDNO);
    if (std::string(row.name) == "the same Delete") {
      // The read-only file moves into whichever of two folders is listed
      // first, the one the walk meets first; the other cannot be removed.
      std::filesystem::rename(Native("C:\\u\\blocked"), Native("C:\\v\\blocked"));
      auto first = std::make_shared<std::string>();
      platform::SetListFault([first](const std::string& native) {
        const bool either = kxtest::EndsWith(native, "/v/keep") || kxtest::EndsWith(native, "/v/blocked");
        if (either && first->empty()) {
          *first = native;
          std::filesystem::rename(Native("C:\\v\\keep\\r.txt"), native + "/r.txt");
        }
        return 0u;
      });
      platform::SetRemoveFault([first](const std::string& native) {
        const bool either = kxtest::EndsWith(native, "/v/keep") || kxtest::EndsWith(native, "/v/blocked");
        return either && native != *first ? win::ERROR_ACCESS_DENIED : 0u;
      });
    } else {
      ASSERT_TRUE(op_.Delete("C:\\v")) << row.name;
      ASSERT_TRUE(Exists("C:\\v\\keep\\r.txt")) << row.name;
    }
    EXPECT_FALSE(row.run()) << row.name;
    platform::SetListFault({});
    EXPECT_EQ(op_.m_ErrorCode, win::ERROR_ACCESS_DENIED) << row.name;
    for (const char* file : {"C:\\v\\keep\\r.txt", "C:\\v\\blocked\\r.txt"}) {
      if (Exists(file)) {
        ASSERT_TRUE(win::SetFileAttributes(file, 0));
      }
    }
    for (const char* path : {"C:\\u", "C:\\v", "D:\\blocked"}) std::filesystem::remove_all(Native(path));
  }
  platform::SetRemoveFault({});
}

// Without the replace flag, a rename keeps a file another writer puts at its
// target after the rename looked there.
TEST_F(FileTree, ARenameKeepsAFileThatAppearsAtItsTargetMeanwhile) {
  Put("C:\\x.txt", "x");
  const std::string target = Native("C:\\y.txt");
  platform::SetRenameFault([&target](const std::string& native) {
    if (native == target) std::ofstream(target) << "theirs";
    return 0u;
  });
  EXPECT_FALSE(op_.Rename("C:\\x.txt", "C:\\y.txt"));
  platform::SetRenameFault({});
  EXPECT_EQ(op_.m_ErrorCode, win::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadAll("C:\\y.txt"), "theirs");
  EXPECT_EQ(ReadAll("C:\\x.txt"), "x");
}

// Copied again with overwriting on, a link replaces the same link, wherever
// it leads.
TEST_F(FileTree, ATreeWithAnAbsoluteLinkIsCopiedAgainOverItself) {
  Put("C:\\out\\o.txt", "o");
  Put("C:\\t\\1.txt", "1");
  std::filesystem::create_symlink(Native("C:\\out\\o.txt"), Native("C:\\t\\abs"));
  MakeDirs("D:\\b");
  op_.m_Overwrite = true;
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(op_.Copy("C:\\t", "D:\\b")) << i << ": " << op_.m_ErrorText;
  // The link alone, onto its own copy.
  EXPECT_TRUE(op_.Copy("C:\\t\\abs", "D:\\b\\t\\abs")) << op_.m_ErrorText;
  EXPECT_TRUE(std::filesystem::is_symlink(Native("D:\\b\\t\\abs")));
  EXPECT_EQ(ReadAll("D:\\b\\t\\abs"), "o");
}

// A Move within one disk needs room for a batch of its files, never for a
// second tree: on a 4 MiB file system, 2.5 MiB move to another folder.
TEST_F(FileTree, AMoveWithinADiskNeedsNoRoomForASecondTree) {
  const auto disk = SmallDisk("4m");
  if (!disk) GTEST_SKIP() << "a tmpfs cannot be mounted (that needs root)";
  const std::string file(256 * 1024, 'x');
  std::vector<std::string> names;
  for (int i = 0; i < 10; ++i) {
    names.push_back((i < 6 ? "" : "old\\") + std::to_string(i) + ".log");
    Put("C:\\disk\\logs\\" + names.back(), file + std::to_string(i));
  }
  MakeDirs("C:\\disk\\archive");
  EXPECT_TRUE(op_.Move("C:\\disk\\logs", "C:\\disk\\archive")) << op_.m_ErrorText;
  for (std::size_t i = 0; i < names.size(); ++i)
    EXPECT_EQ(ReadAll("C:\\disk\\archive\\logs\\" + names[i]), file + std::to_string(i)) << names[i];
  EXPECT_FALSE(Exists("C:\\disk\\logs"));
}

// A file's name stands for it only once its data is on disk, and a Move
// removes a source only once the folder holding its copy is flushed: a flush
// that fails keeps every source it was for, and puts no name on what it did
// not flush.
TEST_F(FileTree, NoSourceGoesAndNoNameStandsBeforeTheFlush) {
  const struct {
    const char* name;
    std::function<bool()> run;
    const char* unflushed;  // the native path whose flush fails
    const char* copy;       // of C:\a\1.txt
  } rows[] = {{"move, folder", [this] { return op_.Move("C:\\a", "D:\\b"); }, "/b/a", "D:\\b\\a\\1.txt"},
              {"move, file", [this] { return op_.Move("C:\\a", "D:\\b"); }, "/b/a/1.txt", "D:\\b\\a\\1.txt"},
              {"copy, file", [this] { return op_.Copy("C:\\a", "D:\\b"); }, "/b/a/1.txt", "D:\\b\\a\\1.txt"},
              {"move of one file, folder", [this] { return op_.Move("C:\\a\\1.txt", "D:\\b"); }, "/b",
               "D:\\b\\1.txt"},
              {"move of one file, file", [this] { return op_.Move("C:\\a\\1.txt", "D:\\b"); }, "/b/1.txt",
               "D:\\b\\1.txt"}};
  for (const auto& row : rows) {
    Put("C:\\a\\1.txt", "1");
    Put("C:\\a\\2.txt", "2");
    MakeDirs("D:\\b");
    const std::string unflushed = row.unflushed;
    platform::SetFlushFault([&unflushed](const std::string& native) {
      return kxtest::EndsWith(native, unflushed) ? win::ERROR_GEN_FAILURE : 0u;
    });
    EXPECT_FALSE(row.run()) << row.name;
    platform::SetFlushFault({});
    EXPECT_EQ(op_.m_ErrorCode, win::ERROR_GEN_FAILURE) << row.name;
    EXPECT_EQ(ReadAll("C:\\a\\1.txt"), "1") << row.name;
    if (kxtest::EndsWith(unflushed, ".txt")) {
      EXPECT_FALSE(Exists(row.copy)) << row.name;
    }
    const std::string copy = row.copy, into = copy.substr(0, copy.rfind('\\'));
    if (std::filesystem::exists(Native(into))) {
      for (const auto& [name, data] : FilesIn(into)) EXPECT_NE(name.rfind(".~kx", 0), 0u) << row.name << ": " << name;
    }
    for (const char* path : {"C:\\a", "D:\\b"}) std::filesystem::remove_all(Native(path));
  }
}

// Copies keep each file's last-write time, and a folder's, as CopyFile does;
// the folders they make take the source folder's permissions.
TEST_F(FileTree, CopiesAndMovesKeepLastWriteTimes) {
  using std::filesystem::last_write_time;
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 20);
  const struct {
    const char* name;
    std::function<bool()> run;
    const char* file;    // the copy of C:\a\s\2.txt
    const char* folder;  // the copy of C:\a, if any
  } rows[] = {{"copy", [this] { return op_.Copy("C:\\a", "D:\\b"); }, "D:\\b\\a\\s\\2.txt", "D:\\b\\a"},
              {"move", [this] { return op_.Move("C:\\a", "D:\\b"); }, "D:\\b\\a\\s\\2.txt", "D:\\b\\a"},
              {"one file", [this] { return op_.Copy("C:\\a\\s\\2.txt", "D:\\b"); }, "D:\\b\\2.txt", nullptr}};
  for (const auto& row : rows) {
    Put("C:\\a\\1.txt", "1");
    Put("C:\\a\\s\\2.txt", "2");
    using std::filesystem::perms;
    std::filesystem::permissions(Native("C:\\a\\s"), perms::owner_all);
    std::filesystem::permissions(Native("C:\\a"), perms::all);  // more than the umask lets mkdir give
    for (const char* path : {"C:\\a\\1.txt", "C:\\a\\s\\2.txt", "C:\\a\\s", "C:\\a"})
      last_write_time(Native(path), old);
    MakeDirs("D:\\b");
    ASSERT_TRUE(row.run()) << row.name << ": " << op_.m_ErrorText;
    EXPECT_EQ(last_write_time(Native(row.file)), old) << row.name;
    if (row.folder) {
      const std::string folder = row.folder;
      EXPECT_EQ(last_write_time(Native(folder + "\\1.txt")), old) << row.name;
      EXPECT_EQ(last_write_time(Native(folder + "\\s")), old) << row.name;
      EXPECT_EQ(last_write_time(Native(folder)), old) << row.name;
      EXPECT_EQ(std::filesystem::status(Native(folder + "\\s")).permissions(), perms::owner_all) << row.name;
      EXPECT_EQ(std::filesystem::status(Native(folder)).permissions(), perms::all) << row.name;
    }
    for (const char* path : {"C:\\a", "D:\\b"}) std::filesystem::remove_all(Native(path));
  }
}

// A failure at a file or folder names it, with the system's reason and code.
TEST_F(FileTree, AFailureAtAFileOrFolderNamesIt) {
  const struct {
    const char* name;
    std::function<bool()> run;
    const char* file;
    const char* refused;  // the native path's end that the faults refuse
  } rows[] = {{"tree copy", [this] { return op_.Copy("C:\\a", "D:\\b"); }, "C:\\a\\s\\2.txt", "/2.txt"},
              {"file copy", [this] { return op_.Copy("C:\\a\\s\\2.txt", "D:\\b"); }, "C:\\a\\s\\2.txt", "/2.txt"},
              {"tree delete", [this] { return op_.Delete("C:\\a"); }, "C:\\a\\s\\2.txt", "/2.txt"},
              {"file delete", [this] { return op_.Delete("C:\\a\\s\\2.txt"); }, "C:\\a\\s\\2.txt", "/2.txt"},
              // A folder its parent will not give up: its contents go, it stays, named.
              {"folder delete", [this] { return op_.Delete("C:\\a"); }, "C:\\a", "/a"},
              {"subfolder delete", [this] { return op_.Delete("C:\\a"); }, "C:\\a\\s", "/a/s"}};
  for (const auto& row : rows) {
    Put("C:\\a\\s\\2.txt", "2");
    MakeDirs("D:\\b");
    const std::string refused = row.refused;
    platform::SetWriteFault([refused](const std::string& native) {
      return kxtest::EndsWith(native, refused) ? win::ERROR_DISK_FULL : 0u;
    });
    platform::SetRemoveFault([refused](const std::string& native) {
      return kxtest::EndsWith(native, refused) ? win::ERROR_ACCESS_DENIED : 0u;
    });
    EXPECT_FALSE(row.run()) << row.name;
    platform::SetWriteFault({});
    platform::SetRemoveFault({});
    EXPECT_EQ(op_.m_ErrorText.rfind(std::string(row.file) + ": ", 0), 0u) << row.name << ": " << op_.m_ErrorText;
    EXPECT_NE(op_.m_ErrorCode, 0u) << row.name;
    std::filesystem::remove_all(Native("D:\\b"));
  }
}

// A folder the walk cannot list is named, with the system's reason.
TEST_F(FileTree, AFolderThatCannotBeListedIsNamed) {
  Put("C:\\t\\s\\1.txt", "1");
  platform::SetListFault([](const std::string& native) {
    return kxtest::EndsWith(native, "/t/s") ? win::ERROR_ACCESS_DENIED : 0u;
  });
  EXPECT_FALSE(op_.Delete("C:\\t"));
  platform::SetListFault({});
  EXPECT_EQ(op_.m_ErrorCode, win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(op_.m_ErrorText, "C:\\t\\s: Access is denied.");
  EXPECT_EQ(ReadAll("C:\\t\\s\\1.txt"), "1");
}

// A target folder that takes no new entry is named, whatever the copy would
// have put in it, never the source.
TEST_F(FileTree, ATargetFolderThatRefusesNewEntriesIsNamed) {
  namespace fs = std::filesystem;
  const struct {
    const char* name;
    std::function<void()> make;  // in C:\a
    const char* readOnly;        // made without write access
    const char* named;
  } rows[] = {
      {"a file", [] { Put("C:\\a\\1.txt", "1"); }, "D:\\b\\a", "D:\\b\\a"},
      {"a link", [] { Link("C:\\out\\o.txt", "C:\\a\\l"); }, "D:\\b\\a", "D:\\b\\a"},
      {"a subfolder", [] { MakeDirs("C:\\a\\s"); }, "D:\\b\\a", "D:\\b\\a"},
      {"the folder itself", [] { Put("C:\\a\\1.txt", "1"); }, "D:\\b", "D:\\b"},
  };
  for (const auto& row : rows) {
    Put("C:\\out\\o.txt", "o");
    MakeDirs("C:\\a");
    row.make();
    MakeDirs(row.readOnly);
    fs::permissions(Native(row.readOnly), fs::perms::owner_read | fs::perms::owner_exec);
    bool copied = false;
    {
      const PermissionsBite bite;
      copied = op_.Copy("C:\\a", "D:\\b");
    }
    fs::permissions(Native(row.readOnly), fs::perms::owner_all);
    EXPECT_FALSE(copied) << row.name;
    EXPECT_EQ(op_.m_ErrorCode, win::ERROR_ACCESS_DENIED) << row.name;
    EXPECT_EQ(op_.m_ErrorText.rfind(std::string(row.named) + ": ", 0), 0u) << row.name << ": " << op_.m_ErrorText;
    for (const char* path : {"C:\\a", "C:\\out", "D:\\b"}) fs::remove_all(Native(path));
  }
}

// With overwriting off, a name a file of the batch waits for is taken: a
// folder holding x.txt and Copy of x.txt, copied or moved where x.txt stands,
// or copied twice into one place, gives every file a free name of its own.
TEST_F(FileTree, NoTwoFilesOfABatchTakeOneCopyName) {
  using Names = std::vector<std::string>;
  const struct {
    const char* name;
    bool clash;  // D:\b\a\x.txt stands before
    std::function<bool()> run;
    Names names, contents;
  } rows[] = {
      {"copy onto x.txt", true, [this] { return op_.Copy("C:\\a", "D:\\b"); },
       {"Copy (1) of x.txt", "Copy of x.txt", "x.txt"}, {"copy", "old", "x"}},
      {"move onto x.txt", true, [this] { return op_.Move("C:\\a", "D:\\b"); },
       {"Copy (1) of x.txt", "Copy of x.txt", "x.txt"}, {"copy", "old", "x"}},
      {"copied twice", false, [this] { return op_.Copy("C:\\a", "D:\\b") && op_.Copy("C:\\a", "D:\\b"); },
       {"Copy (1) of x.txt", "Copy (2) of x.txt", "Copy of x.txt", "x.txt"}, {"copy", "copy", "x", "x"}},
  };
  for (const auto& row : rows) {
    Put("C:\\a\\x.txt", "x");
    Put("C:\\a\\Copy of x.txt", "copy");
    MakeDirs("D:\\b");
    if (row.clash) Put("D:\\b\\a\\x.txt", "old");
    EXPECT_TRUE(row.run()) << row.name << ": " << op_.m_ErrorText;
    const auto files = FilesIn("D:\\b\\a");
    EXPECT_EQ(Sorted(files, true), row.names) << row.name;
    EXPECT_EQ(Sorted(files, false), row.contents) << row.name;
    for (const char* path : {"C:\\a", "D:\\b"}) std::filesystem::remove_all(Native(path));
  }
}

// A file written between its copy and the check that it is unchanged stays
// in the source, and its copy goes from the target: no reader takes old data
// under its name, and the retry moves the current data there.
TEST_F(FileTree, AFileWrittenAfterItsCopyLeavesNoStaleCopy) {
  const struct {
    const char* name;
    const char* source;
    const char* copy;     // of C:\a\1.txt
    const char* flushed;  // the folder flushed once the copy stands
  } rows[] = {{"tree", "C:\\a", "D:\\b\\a\\1.txt", "/b/a"}, {"one file", "C:\\a\\1.txt", "D:\\b\\1.txt", "/b"}};
  for (const auto& row : rows) {
    Put("C:\\a\\1.txt", "old");
    Put("C:\\a\\2.txt", "2");
    MakeDirs("D:\\b");
    const std::string copy = row.copy, flushed = row.flushed;
    platform::SetFlushFault([&copy, &flushed](const std::string& native) {
      if (kxtest::EndsWith(native, flushed) && Exists(copy) && ReadAll("C:\\a\\1.txt") == "old")
        std::ofstream(Native("C:\\a\\1.txt"), std::ios::app) << "+appended";
      return 0u;
    });
    EXPECT_FALSE(op_.Move(row.source, "D:\\b")) << row.name;
    platform::SetFlushFault({});
    EXPECT_EQ(ReadAll("C:\\a\\1.txt"), "old+appended") << row.name;
    EXPECT_FALSE(Exists(row.copy)) << row.name;
    EXPECT_TRUE(op_.Move(row.source, "D:\\b")) << row.name << ": " << op_.m_ErrorText;
    EXPECT_EQ(ReadAll(row.copy), "old+appended") << row.name;
    EXPECT_EQ(FilesIn(std::string(row.copy).substr(0, std::string(row.copy).rfind('\\'))).count("Copy of 1.txt"), 0u)
        << row.name;
    for (const char* path : {"C:\\a", "D:\\b"}) std::filesystem::remove_all(Native(path));
  }
}

// One rule for a file found other than copied once its copy stands, whether
// it is moved on its own or in a tree, onto a free name, over a file
// (overwriting on) or under a "Copy of" name. A regular file written since
// (in place, even keeping its size and last-write time, or another saved over
// it) stays in its source with its stale copy gone; a stale copy that cannot
// be removed fails the Move naming it. A source deleted meanwhile is moved:
// its copy is all that is left of it. A link (dangling or not) in its place
// stays, and so does the copy, which may be all that is left of the data
// copied; as does a source that cannot be looked at. A name of the file
// outside the tree that goes meanwhile excuses no change of it, whenever it goes.
TEST_F(FileTree, AMoveDropsAStaleCopyOnlyWhileItsSourceStandsWithNewerData) {
  namespace fs = std::filesystem;
  const struct {
    const char* name;
    const char* source;
    const char* destination;
    bool overwrite;
    const char* standing;  // a file that stands there before the Move, or null
    const char* copy;      // the copy of C:\a\1.txt
    const char* flushed;   // the folder flushed once the copy stands
  } shapes[] = {
      {"one file", "C:\\a\\1.txt", "D:\\b", false, nullptr, "D:\\b\\1.txt", "/b"},
      {"one file over a file", "C:\\a\\1.txt", "D:\\b\\1.txt", true, "D:\\b\\1.txt", "D:\\b\\1.txt", "/b"},
      {"one file as a copy", "C:\\a\\1.txt", "D:\\b", false, "D:\\b\\1.txt", "D:\\b\\Copy of 1.txt", "/b"},
      {"tree", "C:\\a", "D:\\b", false, nullptr, "D:\\b\\a\\1.txt", "/b/a"},
      {"tree over a file", "C:\\a", "D:\\b", true, "D:\\b\\a\\1.txt", "D:\\b\\a\\1.txt", "/b/a"},
      {"tree as a copy", "C:\\a", "D:\\b", false, "D:\\b\\a\\1.txt", "D:\\b\\a\\Copy of 1.txt", "/b/a"},
  };
  const std::string file = Native("C:\\a\\1.txt");
  const std::string otherName = Native("C:\\out\\1.txt");
  enum class Named { Kept, Copy, Folder };
  const auto linkTo = [&file](const std::string& target) {
    fs::remove(file);
    fs::create_symlink(target, file);
  };
  const struct {
    const char* name;
    std::function<void(const std::string& copy)> make;  // to C:\\a\\1.txt once its copy (native) stands
    bool moved;
    fs::file_type left;    // what stands at C:\\a\\1.txt afterwards
    const char* data;      // its data, for a file
    const char* copyData;  // what the copy holds afterwards; null where it went
    // What the Move's failure names: the source kept, the stale copy it could
    // not remove, or the folder it cannot look into (a tree's, as its walk
    // cannot list it; a file moved alone is kept, as it cannot be looked at).
    Named named = Named::Kept;
    bool twin = false;  // C:\\a\\1.txt has another name, C:\\out\\1.txt, when copied
  } events[] = {
      {"appended to", [&file](const std::string&) { std::ofstream(file, std::ios::app) << "+new"; }, false,
       fs::file_type::regular, "old+new", nullptr},
      {"rewritten in place", [&file](const std::string&) { std::ofstream(file) << "rewritten"; }, false,
       fs::file_type::regular, "rewritten", nullptr},
      {"rewritten keeping its size and last-write time",
       [&file](const std::string&) { kxtest::RewriteKeepingSizeAndTime(file, "new"); }, false, fs::file_type::regular,
       "new", nullptr},
      {"rewritten keeping its size and last-write time as another name of it goes",
       [&](const std::string&) {
         fs::remove(otherName);
         kxtest::RewriteKeepingSizeAndTime(file, "new");
       },
       false, fs::file_type::regular, "new", nullptr, Named::Kept, true},
      // Judged changed in its batch, then judged again by the final walk of a tree.
      {"rewritten keeping its size and last-write time, another name of it going as its stale copy goes",
       [&](const std::string& copy) {
         kxtest::RewriteKeepingSizeAndTime(file, "new");
         platform::SetRemoveFault([copy, otherName](const std::string& native) {
           if (native == copy) fs::remove(otherName);
           return win::DWORD{0};
         });
       },
       false, fs::file_type::regular, "new", nullptr, Named::Kept, true},
      {"appended to, its stale copy not removable",
       [&file](const std::string& copy) {
         std::ofstream(file, std::ios::app) << "+new";
         platform::SetRemoveFault([copy](const std::string& native) {
           return native == copy ? win::ERROR_ACCESS_DENIED : win::DWORD{0};
         });
       },
       false, fs::file_type::regular, "old+new", "old", Named::Copy},
      {"in a folder that cannot be searched",
       [](const std::string&) { fs::permissions(Native("C:\\a"), fs::perms::owner_read | fs::perms::owner_write); },
       false, fs::file_type::regular, "old", "old", Named::Folder},
      // What stands under the copy's name once another writer wrote it is no longer the copy.
      {"written, and its copy too",
       [&file](const std::string& copy) {
         std::ofstream(file, std::ios::app) << "+new";
         std::ofstream(copy) << "theirs";
       },
       false, fs::file_type::regular, "old+new", "theirs"},
      {"deleted", [&file](const std::string&) { fs::remove(file); }, true, fs::file_type::not_found, nullptr, "old"},
      {"replaced by a dangling link", [&](const std::string&) { linkTo(Native("C:\\nowhere")); }, false,
       fs::file_type::symlink, nullptr, "old"},
      {"replaced by a link to a file", [&](const std::string&) { linkTo(Native("C:\\out\\o.txt")); }, false,
       fs::file_type::symlink, nullptr, "old"},
      {"replaced by another file",
       [&file](const std::string&) {
         std::ofstream(file + ".new") << "other";
         fs::rename(file + ".new", file);
       },
       false, fs::file_type::regular, "other", nullptr},
  };
  for (const auto& shape : shapes) {
    for (const auto& event : events) {
      const std::string row = std::string(shape.name) + ", " + event.name;
      Put("C:\\a\\1.txt", "old");
      Put("C:\\a\\2.txt", "2");
      Put("C:\\out\\o.txt", "o");
      MakeDirs("D:\\b");
      if (shape.standing) Put(shape.standing, "before");
      if (event.twin) fs::create_hard_link(file, otherName);
      op_.m_Overwrite = shape.overwrite;
      const std::string copy = shape.copy, flushed = shape.flushed;
      bool made = false;
      platform::SetFlushFault([&](const std::string& native) {
        if (!made && kxtest::EndsWith(native, flushed) && ReadAll(copy) == "old") {
          made = true;
          event.make(Native(copy));
        }
        return 0u;
      });
      bool moved = false;
      {
        const PermissionsBite bite;
        moved = op_.Move(shape.source, shape.destination);
      }
      platform::SetFlushFault({});
      platform::SetRemoveFault({});
      std::error_code ignored;
      fs::permissions(Native("C:\\a"), fs::perms::owner_all, fs::perm_options::add, ignored);
      op_.m_Overwrite = false;
      EXPECT_EQ(moved, event.moved) << row << ": " << op_.m_ErrorText;
      EXPECT_TRUE(made) << row;
      const bool tree = std::string(shape.source) == "C:\\a";
      if (event.named == Named::Copy || (event.named == Named::Folder && tree)) {
        const std::string named = event.named == Named::Copy ? shape.copy : shape.source;
        EXPECT_EQ(op_.m_ErrorText.rfind(named + ": ", 0), 0u) << row << ": " << op_.m_ErrorText;
      } else if (!event.moved) {
        EXPECT_EQ(op_.m_ErrorText, "C:\\a\\1.txt was added or changed during the move and stays where it is") << row;
      }
      EXPECT_EQ(fs::symlink_status(file).type(), event.left) << row;
      if (event.data) {
        EXPECT_EQ(ReadAll("C:\\a\\1.txt"), event.data) << row;
      }
      if (event.copyData) {
        EXPECT_EQ(ReadAll(copy), event.copyData) << row;
      } else {
        EXPECT_FALSE(fs::exists(fs::symlink_status(Native(copy)))) << row;
      }
      if (shape.standing && std::string(shape.standing) != copy) {
        EXPECT_EQ(ReadAll(shape.standing), "before") << row;
      }
      EXPECT_EQ(ReadAll("C:\\out\\o.txt"), "o") << row;
      if (tree) {
        EXPECT_EQ(ReadAll("D:\\b\\a\\2.txt"), "2") << row;
        EXPECT_EQ(Exists("C:\\a"), !event.moved) << row;
      }
      for (const char* path : {"C:\\a", "C:\\out", "D:\\b"}) fs::remove_all(Native(path));
    }
  }
}

// A file moved alone whose folder cannot be opened once its copy stands
// stays with its copy, and the Move names the folder as it was given.
TEST_F(FileTree, AFileMovedAloneNamesItsFolderThatCannotBeOpened) {
  namespace fs = std::filesystem;
  Put("C:\\a\\1.txt", "old");
  MakeDirs("D:\\b");
  platform::SetFlushFault([](const std::string& native) {
    if (kxtest::EndsWith(native, "/b") && Exists("D:\\b\\1.txt"))
      fs::permissions(Native("C:\\a"), fs::perms::owner_write | fs::perms::owner_exec);
    return 0u;
  });
  bool moved = false;
  {
    const PermissionsBite bite;
    moved = op_.Move("C:\\a\\1.txt", "D:\\b");
  }
  platform::SetFlushFault({});
  fs::permissions(Native("C:\\a"), fs::perms::owner_all, fs::perm_options::add);
  EXPECT_FALSE(moved);
  EXPECT_EQ(op_.m_ErrorText.rfind("C:\\a: ", 0), 0u) << op_.m_ErrorText;
  EXPECT_EQ(ReadAll("C:\\a\\1.txt"), "old");
  EXPECT_EQ(ReadAll("D:\\b\\1.txt"), "old");
}

// Two names of one file in a tree are both moved: the removal of the first
// name's source sets the file's change time, which is no write to it.
TEST_F(FileTree, AMoveTakesEveryNameOfAFile) {
  Put("C:\\a\\1.txt", "one");
  std::filesystem::create_hard_link(Native("C:\\a\\1.txt"), Native("C:\\a\\2.txt"));
  MakeDirs("D:\\b");
  EXPECT_TRUE(op_.Move("C:\\a", "D:\\b")) << op_.m_ErrorText;
  EXPECT_FALSE(Exists("C:\\a"));
  EXPECT_EQ(FilesIn("D:\\b\\a"), (std::map<std::string, std::string>{{"1.txt", "one"}, {"2.txt", "one"}}));
}

// A Move killed once it had made a link's copy, before the file the link
// leads to was put in place, leaves that link at the target, and perhaps a
// link or a file under a temporary name: the retry takes the link for its
// copy, sweeps the temporaries and completes. A link of another text there is
// no copy: the Move fails on it and keeps the source link.
TEST_F(FileTree, AMoveRetriedAfterAKillTakesTheLinkItMadeForItsCopy) {
  namespace fs = std::filesystem;
  const struct {
    const char* name;
    const char* source;  // moved into D:\b
    const char* left;    // the link at the target
    const char* text;
    bool moved;
  } rows[] = {{"a tree", "C:\\t", "D:\\b\\t\\l", "data.bin", true},
              {"a link alone", "C:\\t\\l", "D:\\b\\l", "data.bin", true},
              {"a link the Move did not make", "C:\\t", "D:\\b\\t\\l", "other.bin", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Put("C:\\t\\data.bin", "d");
    fs::create_symlink("data.bin", Native("C:\\t\\l"));
    const fs::path at = fs::path(Native(row.left)).parent_path();
    fs::create_directories(at);
    fs::create_symlink(row.text, Native(row.left));
    fs::create_symlink("data.bin", at / ".~kxAb3xY9");
    std::ofstream(at / ".~kxCd4zW8") << "d";
    EXPECT_EQ(op_.Move(row.source, "D:\\b"), row.moved) << op_.m_ErrorText;
    EXPECT_EQ(fs::read_symlink(Native(row.left)), row.text);
    EXPECT_EQ(Exists(row.source), !row.moved);
    if (!row.moved) {
      EXPECT_EQ(op_.m_ErrorCode, win::ERROR_FILE_EXISTS);
      EXPECT_EQ(fs::read_symlink(Native("C:\\t\\l")), "data.bin");
    }
    // Nothing lost, and no temporary left.
    EXPECT_EQ(ReadAll(Exists("C:\\t\\data.bin") ? "C:\\t\\data.bin" : "D:\\b\\t\\data.bin"), "d");
    for (const auto& entry : fs::directory_iterator(at))
      EXPECT_NE(entry.path().filename().string().rfind(".~kx", 0), 0u) << entry.path();
    fs::remove_all(Native("C:\\t"));
    fs::remove_all(Native("D:\\b"));
  }
}

// A Move gives the folders it makes a source folder's read-only mode only
// once their sources are gone: a stale copy can be dropped, and once the
// source can be written a retry moves what stayed, beside what stood in
// both trees (as "Copy of" files). Root, whom the mode does not bar, moves
// such a folder whole, and its copy takes the mode.
TEST_F(FileTree, AMoveOfAReadOnlyFolderLeavesItsCopyOpenToARetry) {
  namespace fs = std::filesystem;
  using Files = std::map<std::string, std::string>;
  const struct {
    const char* name;
    bool written;  // C:\a\1.txt is appended to once its copy stands
    bool declined;  // C:\a\1.txt is read-only and its mark cannot be cleared: the Move leaves it
    bool copyStays;  // D:\\b\\a\\1.txt after the first Move
    Files moved;  // D:\b\a after the retry
  } rows[] = {{"its sources cannot be removed", false, false, true, {{"1.txt", "old"}, {"Copy of 1.txt", "old"}}},
              {"a file written after its copy", true, false, false, {{"1.txt", "old+new"}}},
              {"its removal declined", false, true, true, {{"1.txt", "old"}, {"Copy of 1.txt", "old"}}}};
  const std::string source = Native("C:\\a\\1.txt");
  for (const auto& row : rows) {
    Put("C:\\a\\1.txt", "old");
    MakeDirs("D:\\b");
    if (row.declined) {
      ReadOnly("C:\\a\\1.txt");
      platform::SetRemoveFault([source](const std::string& native) {
        return native == source ? win::ERROR_ACCESS_DENIED : 0u;
      });
    }
    fs::permissions(Native("C:\\a"), fs::perms::owner_read | fs::perms::owner_exec);
    platform::SetFlushFault([&row](const std::string& native) {
      if (row.written && kxtest::EndsWith(native, "/b/a") && Exists("D:\\b\\a\\1.txt") &&
          ReadAll("C:\\a\\1.txt") == "old")
        std::ofstream(Native("C:\\a\\1.txt"), std::ios::app) << "+new";
      return 0u;
    });
    bool first = false, copied = false, retry = false;
    {
      const PermissionsBite bite;
      first = op_.Move("C:\\a", "D:\\b");
      platform::SetFlushFault({});
      platform::SetRemoveFault({});
      copied = Exists("D:\\b\\a\\1.txt");
      fs::permissions(Native("C:\\a"), fs::perms::owner_write, fs::perm_options::add);
      retry = op_.Move("C:\\a", "D:\\b");
    }
    EXPECT_EQ(first, row.declined) << row.name;  // a declined file fails no Move
    EXPECT_EQ(copied, row.copyStays) << row.name;
    EXPECT_TRUE(retry) << row.name << ": " << op_.m_ErrorText;
    EXPECT_FALSE(Exists("C:\\a")) << row.name;
    EXPECT_EQ(FilesIn("D:\\b\\a"), row.moved) << row.name;
    for (const char* path : {"C:\\a", "D:\\b"}) {
      std::error_code ignored;
      fs::permissions(Native(path), fs::perms::owner_all, fs::perm_options::add, ignored);
      fs::remove_all(Native(path));
    }
  }
  if (::geteuid() != 0) return;
  Put("C:\\a\\1.txt", "old");
  MakeDirs("D:\\b");
  fs::permissions(Native("C:\\a"), fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_TRUE(op_.Move("C:\\a", "D:\\b")) << op_.m_ErrorText;
  EXPECT_EQ(fs::status(Native("D:\\b\\a")).permissions(), fs::perms::owner_read | fs::perms::owner_exec);
}

// Copied as root, another user's file or folder becomes root's: it keeps no
// set-user-ID or set-group-ID bit, as cp keeps none; root's own keeps them.
TEST_F(FileTree, SetIdBitsStayOnlyWhereTheOwnerDoes) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  const struct {
    const char* path;  // below C:\a
    bool folder;
    uid_t owner;
    gid_t group;
    mode_t mode, copied;
  } rows[] = {{"prog", false, 4321, 4321, 04755, 0755},
              {"prog in root's group", false, 4321, 0, 06755, 0755},
              {"group", false, 0, 4321, 02755, 0755},
              {"s", true, 0, 4321, 02775, 0775},
              {"own", false, 0, 0, 06755, 06755}};
  for (const char* run : {"copy", "move"}) {
    for (const auto& row : rows) {
      const std::string path = Native(std::string("C:\\a\\") + row.path);
      if (row.folder) {
        MakeDirs(std::string("C:\\a\\") + row.path);
      } else {
        Put(std::string("C:\\a\\") + row.path, "#!/bin/sh\n");
      }
      ASSERT_EQ(::chown(path.c_str(), row.owner, row.group), 0) << row.path;
      ASSERT_EQ(::chmod(path.c_str(), row.mode), 0) << row.path;  // after chown, which clears them
    }
    MakeDirs("D:\\b");
    const bool ok = std::string(run) == "copy" ? op_.Copy("C:\\a", "D:\\b") : op_.Move("C:\\a", "D:\\b");
    ASSERT_TRUE(ok) << run << ": " << op_.m_ErrorText;
    for (const auto& row : rows) {
      struct stat st {};
      ASSERT_EQ(::stat(Native(std::string("D:\\b\\a\\") + row.path).c_str(), &st), 0) << run << " " << row.path;
      EXPECT_EQ(st.st_mode & 07777, row.copied) << run << " " << row.path;
    }
    for (const char* path : {"C:\\a", "D:\\b"}) std::filesystem::remove_all(Native(path));
  }
}

// A file whose data does not all reach the disk never takes its name: on a
// full disk the copy stops at it, and neither Copy nor Move leaves any of it.
TEST_F(FileTree, AFileThatCannotBeFilledNeverTakesItsName) {
  const auto disk = SmallDisk("256k");
  if (!disk) GTEST_SKIP() << "a tmpfs cannot be mounted (that needs root)";
  const std::string big(1024 * 1024, 'b');
  const struct {
    const char* name;
    std::function<bool()> run;
  } rows[] = {{"copy", [this] { return op_.Copy("C:\\a", "C:\\disk"); }},
              {"move", [this] { return op_.Move("C:\\a", "C:\\disk"); }}};
  for (const auto& row : rows) {
    Put("C:\\a\\big.bin", big);
    EXPECT_FALSE(row.run()) << row.name;
    EXPECT_EQ(op_.m_ErrorCode, win::ERROR_DISK_FULL) << row.name;
    EXPECT_FALSE(Exists("C:\\disk\\a\\big.bin")) << row.name;
    EXPECT_EQ(ReadAll("C:\\a\\big.bin").size(), big.size()) << row.name;
    EXPECT_TRUE(FilesIn("C:\\disk\\a").empty()) << row.name;  // nor a temporary file
    std::filesystem::remove_all(Native("C:\\disk\\a"));
  }
}

// A batch holds a bounded number of files, and each one placed lets go of its
// descriptor: 600 empty files copy and move with 256 descriptors allowed.
TEST_F(FileTree, ManyEmptyFilesNeedFewDescriptors) {
  constexpr int kFiles = 600;
  MakeDirs("C:\\w");
  for (int i = 0; i < kFiles; ++i) std::ofstream(Native("C:\\w\\" + std::to_string(i) + ".txt"));
  MakeDirs("D:\\b");
  MakeDirs("D:\\c");
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  const rlimit saved = files;
  files.rlim_cur = std::min<rlim_t>(files.rlim_cur, 256);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);
  const bool copied = op_.Copy("C:\\w", "D:\\b");
  const std::string copyError = op_.m_ErrorText;
  const bool moved = op_.Move("C:\\w", "D:\\c");
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_TRUE(copied) << copyError;
  EXPECT_TRUE(moved) << op_.m_ErrorText;
  EXPECT_EQ(FilesIn("D:\\b\\w").size(), std::size_t{kFiles});
  EXPECT_EQ(FilesIn("D:\\c\\w").size(), std::size_t{kFiles});
}

// The files of a folder copied before the walk enters its subfolder are put
// in place first: a batch belongs to one folder.
TEST_F(FileTree, FilesListedBeforeASubfolderArePlacedBeforeItIsEntered) {
  const struct {
    const char* name;
    std::function<bool()> run;
  } rows[] = {{"copy", [this] { return op_.Copy("C:\\a", "D:\\b"); }},
              {"move", [this] { return op_.Move("C:\\a", "D:\\b"); }}};
  for (const auto& row : rows) {
    Put("C:\\a\\s\\in.txt", "in");
    for (int i = 0; i < 8; ++i) Put("C:\\a\\" + std::to_string(i) + ".txt", std::to_string(i));  // after s
    std::vector<std::string> listed;
    ASSERT_EQ(platform::ListFolder("C:\\a", listed), 0u);
    ASSERT_NE(listed.front(), "s") << "the walk would meet the subfolder first";
    MakeDirs("D:\\b");
    EXPECT_TRUE(row.run()) << row.name << ": " << op_.m_ErrorText;
    EXPECT_EQ(ReadAll("D:\\b\\a\\s\\in.txt"), "in") << row.name;
    EXPECT_EQ(FilesIn("D:\\b\\a").size(), 9u) << row.name;
    for (const char* path : {"C:\\a", "D:\\b"}) std::filesystem::remove_all(Native(path));
  }
}

// A flush that fails names the file it failed for, wherever that stands in
// its batch.
TEST_F(FileTree, AFailedFlushNamesItsFile) {
  for (const char* file : {"1.txt", "2.txt", "3.txt"}) Put(std::string("C:\\a\\") + file, file);
  MakeDirs("D:\\b");
  int flushes = 0;
  std::string failed;
  platform::SetFlushFault([&flushes, &failed](const std::string& native) {
    if (!kxtest::EndsWith(native, ".txt") || ++flushes != 2) return 0u;
    failed = native.substr(native.rfind('/') + 1);
    return win::ERROR_GEN_FAILURE;
  });
  EXPECT_FALSE(op_.Copy("C:\\a", "D:\\b"));
  platform::SetFlushFault({});
  ASSERT_FALSE(failed.empty());
  EXPECT_EQ(op_.m_ErrorText.rfind("C:\\a\\" + failed + ": ", 0), 0u) << op_.m_ErrorText;
}

// A target folder that stood before the copy keeps its own permissions; only
// the folders the copy makes take the source's.
TEST_F(FileTree, AnExistingTargetFolderKeepsItsOwnPermissions) {
  using std::filesystem::perms;
  Put("C:\\a\\s\\1.txt", "1");
  for (const char* folder : {"C:\\a", "C:\\a\\s"}) std::filesystem::permissions(Native(folder), perms::all);
  MakeDirs("D:\\b\\a\\s");
  for (const char* folder : {"D:\\b\\a", "D:\\b\\a\\s"}) std::filesystem::permissions(Native(folder), perms::owner_all);
  ASSERT_TRUE(op_.Copy("C:\\a", "D:\\b")) << op_.m_ErrorText;
  EXPECT_EQ(std::filesystem::status(Native("D:\\b\\a")).permissions(), perms::owner_all);
  EXPECT_EQ(std::filesystem::status(Native("D:\\b\\a\\s")).permissions(), perms::owner_all);
}

}  // namespace
