#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ErrorText.h"
#include "platform/FileFaults.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "platform/ProgramFolders.h"
#include "tests/platform/TempDir.h"
#include "tests/support/RewriteInPlace.h"

using namespace win;
using kxtest::readRaw;
using kxtest::writeRaw;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

namespace {

class PathMapping : public ::testing::Test {
 protected:
  kxtest::TempDir dir;
  void TearDown() override { platform::ResetDriveRoots(); }
};

TEST_F(PathMapping, RelativeDottedAndDoubledSeparatorsMapAgainstTheWorkingFolder) {
  EXPECT_EQ(platform::MapPath(".\\Configuration\\System\\MPToolSetting.ini"),
            "Configuration/System/MPToolSetting.ini");
  EXPECT_EQ(platform::MapPath("D_Reports\\\\PC_3_Report.txt"), "D_Reports/PC_3_Report.txt");
  EXPECT_EQ(platform::MapPath(".\\"), ".");
  EXPECT_EQ(platform::MapPath(dir.path() + "\\Logs\\\\x.log"), dir.path() + "/Logs/x.log");
  EXPECT_EQ(platform::MapPath(".\\a\\..\\b.ini"), "b.ini");  // "a" need not exist
  EXPECT_EQ(platform::MapPath("..\\a\\..\\..\\b.ini"), "../../b.ini");
}

TEST_F(PathMapping, ExistingNamesAreFoundWithoutRegardToCase) {
  fs::create_directories(dir / "Configuration/System");
  writeRaw(dir / "Configuration/System/paramFDB.ini", "x");
  EXPECT_EQ(platform::MapPath(dir.path() + "\\CONFIGURATION\\system\\PARAMfdb.INI"),
            dir.path() + "/Configuration/System/paramFDB.ini");
  // A missing tail keeps the spelling given, after the part that exists.
  EXPECT_EQ(platform::MapPath(dir.path() + "\\configuration\\New Folder\\File.TXT"),
            dir.path() + "/Configuration/New Folder/File.TXT");
  kxtest::ScopedCwd cwd(dir.path());
  EXPECT_EQ(platform::MapPath(".\\configuration\\SYSTEM\\paramfdb.ini"), "Configuration/System/paramFDB.ini");
}

TEST_F(PathMapping, DriveRootsMapToTheirFolders) {
  kxtest::ScopedCwd cwd(dir.path());  // the default root lies in the working folder
  EXPECT_EQ(platform::MapPath("C:\\MP_SSD_NODE\\AutoMapping.ini"), "drives/C/MP_SSD_NODE/AutoMapping.ini");
  platform::SetDrivesRoot(dir.path());
  EXPECT_EQ(platform::MapPath("d:\\SATA_Setting.ini"), dir.path() + "/D/SATA_Setting.ini");
  platform::SetDriveRoot('c', dir / "cdrive");
  EXPECT_EQ(platform::MapPath("C:\\MP_SSD_NODE\\AutoMapping.ini"), dir.path() + "/cdrive/MP_SSD_NODE/AutoMapping.ini");
  EXPECT_EQ(platform::MapPath("C:"), dir.path() + "/cdrive");
  // ".." never climbs above a drive's root.
  EXPECT_EQ(platform::MapPath("C:\\..\\..\\etc\\x"), dir.path() + "/cdrive/etc/x");
  EXPECT_EQ(platform::MapPath("C:\\a\\..\\..\\b"), dir.path() + "/cdrive/b");
  platform::SetDrivesRoot("");
  std::string out;
  DWORD err = 0;
  EXPECT_FALSE(platform::MapPath("P:\\FailSNLog\\", out, &err));
  EXPECT_EQ(err, ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(platform::MapPath("c:\\x", out, &err));  // its own folder still holds
}

TEST_F(PathMapping, ADriveIsPresentWhenItsFolderExists) {
  platform::SetDrivesRoot(dir / "roots");
  EXPECT_FALSE(CreateDirectory("Q:\\FailSNLog"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  fs::create_directories(dir / "roots/C");
  EXPECT_TRUE(CreateDirectory("C:\\MP_SSD_NODE"));
  EXPECT_TRUE(fs::is_directory(dir / "roots/C/MP_SSD_NODE"));
  EXPECT_FALSE(fs::exists(dir / "roots/Q"));
}

// The working folder, each drive letter's folder that exists and the folders
// the program names, as the system resolves them (E: is a link to a data disk's
// folder; a log folder not made yet is kept as given).
TEST_F(PathMapping, TheProgramsFoldersAreTheWorkingFolderTheDriveLettersAndTheNamedOnes) {
  kxtest::ScopedCwd cwd(dir.path());
  fs::create_directories(dir / "drives/C");
  fs::create_directories(dir / "data");
  fs::create_directory_symlink(dir / "data", dir / "drives/E");
  platform::SetProgramFolderSource([this] { return Names{"e:\\Logs", dir.path() + "/elsewhere/Logs", ""}; });
  const fs::path real = fs::canonical(dir.path());
  EXPECT_EQ(platform::ProgramFolders(), (Names{real, real / "drives/C", real / "data", real / "data/Logs",
                                               real / "elsewhere/Logs"}));
  platform::SetProgramFolderSource(nullptr);
}

TEST_F(PathMapping, DeviceAndNetworkPathsAreNotFiles) {
  std::string out = "unchanged";
  DWORD err = 0;
  for (const char* p : {"\\\\.\\PhysicalDrive3", "\\\\.\\E:", "\\\\?\\usbstor#disk", "\\\\server\\share\\x", ""}) {
    EXPECT_FALSE(platform::MapPath(p, out, &err)) << p;
    EXPECT_EQ(err, ERROR_INVALID_NAME);
    EXPECT_TRUE(out.empty());
  }
  EXPECT_TRUE(platform::IsDevicePath("\\\\.\\PhysicalDrive0"));
  EXPECT_FALSE(platform::IsDevicePath(".\\param.ini"));
  EXPECT_EQ(GetFileAttributes("\\\\.\\PhysicalDrive0"), INVALID_FILE_ATTRIBUTES);
}

class FilesAndFolders : public ::testing::Test {
 protected:
  kxtest::TempDir dir;
};

TEST_F(FilesAndFolders, CreateDirectoryReportsMissingParentAndExistingFolder) {
  const std::string logs = dir.path() + "\\Logs";
  const std::string deep = dir.path() + "\\Logs\\01_EraseAll\\D_Reports";
  EXPECT_FALSE(CreateDirectory(deep.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(CreateDirectory(logs.c_str()));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_FALSE(CreateDirectory(logs.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  // Creating parent first then the child, as callers do on error 3.
  EXPECT_TRUE(CreateDirectory((dir.path() + "\\logs\\01_EraseAll").c_str()));
  EXPECT_TRUE(CreateDirectory((deep + "\\").c_str()));
  EXPECT_TRUE(fs::is_directory(dir / "Logs/01_EraseAll/D_Reports"));
  writeRaw(dir / "afile", "x");
  EXPECT_FALSE(CreateDirectory((dir.path() + "\\afile\\sub").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(CreateDirectory("\\\\.\\PhysicalDrive0"));
}

// A read-only file system is the write-protected media of Windows, not a
// refused permission: the operator is told to look at the disk, not the rights.
TEST(ErrorNumbers, FileFailuresReadAsWindowsNamesThem) {
  const struct {
    int err;
    DWORD error;
    const char* text;
  } rows[] = {{EACCES, ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
              {EROFS, ERROR_WRITE_PROTECT, "The media is write protected.\r\n"},
              {ENOSPC, ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
              {EXDEV, ERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive.\r\n"},
              {EMFILE, ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\r\n"}};
  for (const auto& r : rows) {
    EXPECT_EQ(platform::ErrorFromErrno(r.err), r.error) << r.err;
    EXPECT_EQ(FormatMessage(r.error), r.text) << r.err;
  }
}

TEST_F(FilesAndFolders, CopyReplacesMoveRefusesAndDeleteTellsMissingFromPathNotFound) {
  const std::string a = dir / "a.txt", b = dir / "b.txt", c = dir / "c.txt";
  writeRaw(a, std::string("bytes\r\n\xA1\xF5\0end", 13));
  writeRaw(b, "old");
  EXPECT_TRUE(CopyFile(a.c_str(), b.c_str(), FALSE));
  EXPECT_EQ(readRaw(b), readRaw(a));
  EXPECT_FALSE(CopyFile(a.c_str(), b.c_str(), TRUE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_FALSE(CopyFile((dir / "none").c_str(), c.c_str(), FALSE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(CopyFile(a.c_str(), (dir / "no/such/c.txt").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  EXPECT_FALSE(MoveFile(a.c_str(), b.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(MoveFileEx(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_TRUE(MoveFile(b.c_str(), c.c_str()));
  EXPECT_FALSE(fs::exists(b));

  EXPECT_TRUE(DeleteFile(c.c_str()));
  EXPECT_FALSE(DeleteFile(c.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFile((dir / "no/such/file").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(DeleteFile(dir.path().c_str()));  // a folder is not a file
  EXPECT_EQ(fs::directory_iterator(dir.path()), fs::directory_iterator());  // no temporary left behind
}

TEST_F(FilesAndFolders, FindListsMatchingNamesWithoutDotEntries) {
  fs::create_directories(dir / "sub");
  writeRaw(dir / "One.INI", "1");
  writeRaw(dir / "two.ini", std::string(70000, 'x'));
  writeRaw(dir / "noext", "");
  auto find = [&](const std::string& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATA d;
    HANDLE h = FindFirstFile(pattern.c_str(), &d);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      names.push_back(d.cFileName);
      if (names.back() == "two.ini") {
        EXPECT_EQ(d.nFileSizeLow, 70000u);
      }
      if (names.back() == "sub") {
        EXPECT_EQ(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
      }
    } while (FindNextFile(h, &d));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(h));
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(find(dir.path() + "\\*.*"), (std::vector<std::string>{"One.INI", "noext", "sub", "two.ini"}));
  EXPECT_EQ(find(dir.path() + "\\*.ini"), (std::vector<std::string>{"One.INI", "two.ini"}));
  EXPECT_EQ(find(dir.path() + "\\t?o.*"), (std::vector<std::string>{"two.ini"}));
  WIN32_FIND_DATA d;
  EXPECT_EQ(FindFirstFile((dir.path() + "\\*.xls").c_str(), &d), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(FindFirstFile((dir.path() + "\\missing\\*.*").c_str(), &d), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(FindClose(reinterpret_cast<HANDLE>(0x1234)));
}

TEST_F(FilesAndFolders, WholeFileWritesAreByteExactAndAppendsNeverCreateUnlessAsked) {
  const std::string f = dir / "Report.txt";
  const std::string text("START\r\n\xA1\xF5 raw\n");
  ASSERT_EQ(platform::WriteFileBytes(f, text), 0u);
  EXPECT_EQ(readRaw(f), text);
  std::uint64_t size = 0;
  EXPECT_EQ(platform::GetFileSize(f, size), 0u);
  EXPECT_EQ(size, text.size());
  EXPECT_EQ(platform::AppendFileBytes(f, "END\r\n", false), 0u);
  std::string back;
  EXPECT_EQ(platform::ReadFileBytes(dir.path() + "\\REPORT.TXT", back), 0u);
  EXPECT_EQ(back, text + "END\r\n");

  EXPECT_EQ(platform::AppendFileBytes(dir / "log.txt", "x", false), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(dir / "log.txt"));
  EXPECT_EQ(platform::AppendFileBytes(dir / "log.txt", "x", true), 0u);
  EXPECT_EQ(platform::WriteFileBytes(dir / "missing/r.txt", "x"), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(platform::GetFileSize(dir / "none", size), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(platform::FileExists(dir.path() + "\\LOG.TXT"));
  EXPECT_TRUE(platform::DirectoryExists(dir.path()));
  EXPECT_FALSE(platform::FileExists(dir / "none"));

  std::uint64_t freeBytes = 0, total = 0;
  EXPECT_TRUE(GetDiskFreeSpaceEx(dir.path().c_str(), &freeBytes, &total, nullptr));
  EXPECT_GT(total, 0u);
  EXPECT_LE(freeBytes, total);
  EXPECT_FALSE(GetDiskFreeSpaceEx((dir / "none").c_str(), &freeBytes, nullptr, nullptr));
}

// A file written between its open and the end of its read is reported changed;
// the bytes read are what the file held, never a size taken first.
TEST_F(FilesAndFolders, AReadTellsAFileWrittenWhileItWasRead) {
  const std::string f = dir / "fw.bin";
  const struct {
    std::function<void(const std::string&)> during;
    std::size_t bytes;
    bool changed;
  } rows[] = {
      {[](const std::string&) {}, 200000, false},
      {[](const std::string& p) { fs::resize_file(p, 1000); }, 1000, true},
      {[](const std::string& p) { platform::AppendFileBytes(p, "tail", false); }, 200004, true},
      {[](const std::string& p) { kxtest::RewriteKeepingSizeAndTime(p, std::string(200000, 'b')); }, 200000, true},
      {[](const std::string& p) { platform::WriteFileBytes(p, "x"); }, 200000, false}};  // replaced
  for (const auto& r : rows) {
    writeRaw(f, std::string(200000, 'a'));
    platform::SetReadHook(r.during);
    std::string data;
    bool changed = !r.changed;
    EXPECT_EQ(platform::ReadFileBytes(f, data, UINT64_MAX, &changed), 0u);
    platform::SetReadHook({});
    EXPECT_EQ(data.size(), r.bytes);
    EXPECT_EQ(changed, r.changed) << r.bytes;
  }
  std::string whole;
  EXPECT_EQ(platform::ReadFileBytes(f, whole, 0), ERROR_FILE_TOO_LARGE);  // "x": a byte past the limit
}

// Writes fail part way, as on a full disk: the files stay as they were and no
// temporary file is left.
TEST_F(FilesAndFolders, AFullDiskLeavesFilesAsTheyWere) {
  const std::string f = dir / "Summary.ini";
  const std::string before = "[S]\r\n" + std::string(3000, 'a') + "\r\n";
  writeRaw(f, before);
  DWORD appendErr = 0, writeErr = 0, profileErr = 0;
  BOOL copied = FALSE;
  {
    kxtest::ScopedFileSizeLimit full(4096);
    appendErr = platform::AppendFileBytes(f, std::string(2000, 'b'), false);
    writeErr = platform::WriteFileBytes(f, std::string(5000, 'c'));
    profileErr = WritePrivateProfileString("S", "k", std::string(2000, 'd').c_str(), f.c_str()) ? 0 : GetLastError();
    copied = CopyFile(f.c_str(), (dir / "copy.ini").c_str(), FALSE);
  }
  EXPECT_EQ(appendErr, ERROR_DISK_FULL);
  EXPECT_EQ(writeErr, ERROR_DISK_FULL);
  EXPECT_EQ(profileErr, ERROR_DISK_FULL);
  EXPECT_TRUE(copied);  // 3000 bytes fit
  EXPECT_EQ(readRaw(f), before);
  EXPECT_EQ(kxtest::listNames(dir.path()), (Names{"Summary.ini", "copy.ini"}));
}

// A flush that fails before a file takes its name fails the write: a copy of
// one file, a profile write and a whole-file write each report it, leave the
// old file byte for byte as it was and leave no temporary file behind.
TEST_F(FilesAndFolders, AFailedFlushLeavesTheOldFileAndNoTemporary) {
  const std::string target = dir / "t.ini", source = dir / "s.ini";
  const std::string before = "[S]\r\nk=old\r\n";
  const struct {
    const char* name;
    std::function<BOOL()> write;
  } rows[] = {
      {"copy", [&] { return CopyFile(source.c_str(), target.c_str(), FALSE); }},
      {"profile write", [&] { return WritePrivateProfileString("S", "k", "new", target.c_str()); }},
      {"whole-file write",
       [&] {
         const DWORD err = platform::WriteFileBytes(target, "[S]\r\nk=new\r\n");
         SetLastError(err);
         return err == 0 ? TRUE : FALSE;
       }},
  };
  for (const auto& row : rows) {
    writeRaw(source, "[S]\r\nk=new\r\n");
    writeRaw(target, before);
    platform::ClearProfileCache();
    EXPECT_EQ(GetPrivateProfileString("S", "k", "", target), "old") << row.name;  // now in the cache
    int flushes = 0;
    platform::SetFlushFault([&flushes](const std::string& native) {
      if (!native.ends_with("/t.ini")) return DWORD{0};
      ++flushes;
      return DWORD{ERROR_GEN_FAILURE};
    });
    const BOOL written = row.write();
    const DWORD error = GetLastError();
    platform::SetFlushFault({});
    EXPECT_EQ(flushes, 1) << row.name;
    EXPECT_FALSE(written) << row.name;
    EXPECT_EQ(error, ERROR_GEN_FAILURE) << row.name;
    EXPECT_EQ(readRaw(target), before) << row.name;
    EXPECT_EQ(GetPrivateProfileString("S", "k", "", target), "old") << row.name;
    EXPECT_EQ(kxtest::listNames(dir.path()), (Names{"s.ini", "t.ini"})) << row.name;  // no .~kx temporary
  }
}

// Copied or rewritten as root, another user's set-user-ID program becomes
// root's: it keeps no set-ID bit, even where its group is root's (the owner
// differs though the group does not), as cp keeps none. Root's own file keeps
// its bits.
TEST_F(FilesAndFolders, SetIdBitsStayOnlyWithTheirOwnerAndGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  const struct {
    uid_t owner;
    gid_t group;
    mode_t mode, kept;
  } rows[] = {{4321, 0, 04755, 0755}, {4321, 0, 06755, 0755}, {0, 4321, 02755, 0755}, {0, 0, 06755, 06755}};
  const std::string prog = dir / "prog", copy = dir / "copy";
  const struct {
    const char* name;
    const std::string* made;  // the file whose bits are checked
    std::function<bool()> write;
  } ways[] = {
      {"copy", &copy, [&] { return CopyFile(prog.c_str(), copy.c_str(), TRUE) != FALSE; }},
      {"copy over a file", &copy,
       [&] {
         writeRaw(copy, "root's");
         return CopyFile(prog.c_str(), copy.c_str(), FALSE) != FALSE;
       }},
      {"copy in a walk", &copy,
       [&] {
         platform::OpenFolder folder;
         platform::CopyBatch batch;
         std::size_t placed = 0;
         std::string failed;
         return folder.Open(dir.path()) == 0 && folder.CopyEntry("prog", folder, "copy", false, batch) == 0 &&
                batch.Place(placed, failed) == 0;
       }},
      {"rewrite", &prog, [&] { return platform::WriteFileBytes(prog, "#!/bin/sh\nexit 1\n") == 0; }},
  };
  for (const auto& way : ways) {
    for (const auto& row : rows) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(row.mode));
      const std::string name = std::string(way.name) + ", " + std::to_string(row.owner) + ":" +
                               std::to_string(row.group) + " " + mode;
      writeRaw(prog, "#!/bin/sh\n");
      ASSERT_EQ(::chown(prog.c_str(), row.owner, row.group), 0) << name;
      ASSERT_EQ(::chmod(prog.c_str(), row.mode), 0) << name;  // after chown, which clears them
      ASSERT_TRUE(way.write()) << name;
      struct stat st {};
      ASSERT_EQ(::stat(way.made->c_str(), &st), 0) << name;
      EXPECT_EQ(st.st_mode & 07777, row.kept) << name;
      EXPECT_EQ(st.st_uid, 0u) << name;
      fs::remove(prog);
      fs::remove(copy);
    }
  }
}

TEST_F(FilesAndFolders, AnAppendUndoneOnAFullDiskKeepsOtherThreadsRecords) {
  // Eight threads append 1000-byte records until the disk is "full"; every
  // append that reported success must still be whole in the file afterwards.
  for (int round = 0; round < 20; ++round) {
    const std::string f = dir / ("log" + std::to_string(round) + ".txt");
    writeRaw(f, "");
    std::vector<std::vector<std::string>> written(8);
    {
      kxtest::ScopedFileSizeLimit full(40500);
      std::vector<std::thread> threads;
      for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
          for (int i = 0; i < 20; ++i) {
            std::string rec = "T" + std::to_string(t) + "R" + std::to_string(i) + ":";
            rec.resize(999, static_cast<char>('a' + t));
            rec += '\n';
            if (platform::AppendFileBytes(f, rec, false) == 0) written[t].push_back(rec);
          }
        });
      for (auto& th : threads) th.join();
    }
    const std::string content = readRaw(f);
    ASSERT_EQ(content.size() % 1000, 0u) << "a partial record was left";
    std::size_t total = 0;
    for (const auto& recs : written) {
      total += recs.size();
      for (const auto& r : recs) ASSERT_NE(content.find(r), std::string::npos) << "a reported append was lost";
    }
    ASSERT_EQ(content.size(), total * 1000);
  }
}

TEST_F(FilesAndFolders, NamesTooLongForTheSystemGiveFilenameExcedRange) {
  const std::string longName = dir.path() + "\\" + std::string(300, 'n');
  const std::string underLong = longName + "\\x.ini";
  const std::string a = dir / "a.txt";
  writeRaw(a, "x");
  std::string data;
  std::uint64_t size = 0;
  const struct {
    const char* call;
    std::function<DWORD()> run;
  } calls[] = {
      {"CreateDirectory", [&] { return CreateDirectory(longName.c_str()) ? 0 : GetLastError(); }},
      {"DeleteFile", [&] { return DeleteFile(longName.c_str()) ? 0 : GetLastError(); }},
      {"CopyFile to", [&] { return CopyFile(a.c_str(), longName.c_str(), FALSE) ? 0 : GetLastError(); }},
      {"CopyFile below", [&] { return CopyFile(a.c_str(), underLong.c_str(), FALSE) ? 0 : GetLastError(); }},
      {"MoveFile from", [&] { return MoveFile(longName.c_str(), a.c_str()) ? 0 : GetLastError(); }},
      {"GetFileAttributes",
       [&] { return GetFileAttributes(longName.c_str()) == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0; }},
      {"WriteFileBytes", [&] { return platform::WriteFileBytes(longName, "x"); }},
      {"WriteFileBytes below", [&] { return platform::WriteFileBytes(underLong, "x"); }},
      {"ReadFileBytes", [&] { return platform::ReadFileBytes(longName, data); }},
      {"AppendFileBytes", [&] { return platform::AppendFileBytes(longName, "x", true); }},
      {"GetFileSize", [&] { return platform::GetFileSize(longName, size); }},
      {"WritePrivateProfileString",
       [&] { return WritePrivateProfileString("S", "k", "1", longName.c_str()) ? 0 : GetLastError(); }},
      {"WritePrivateProfileString below",
       [&] { return WritePrivateProfileString("S", "k", "1", underLong.c_str()) ? 0 : GetLastError(); }},
  };
  for (const auto& c : calls) {
    SCOPED_TRACE(c.call);
    EXPECT_EQ(c.run(), ERROR_FILENAME_EXCED_RANGE);
  }
  EXPECT_EQ(kxtest::listNames(dir.path()), std::vector<std::string>{"a.txt"});
}

TEST_F(FilesAndFolders, TheLongestLegalNameIsWritten) {
  const std::string name = std::string(251, 'n') + ".ini";
  const std::string path = dir / name;
  EXPECT_EQ(platform::WriteFileBytes(path, "[S]\r\nk=1\r\n"), 0u);
  EXPECT_TRUE(WritePrivateProfileString("S", "k", "2", path.c_str()));
  EXPECT_EQ(GetPrivateProfileString("S", "k", "", path), "2");
  EXPECT_TRUE(CopyFile(path.c_str(), (dir / (std::string(251, 'c') + ".ini")).c_str(), FALSE));
  EXPECT_EQ(kxtest::listNames(dir.path()), (std::vector<std::string>{std::string(251, 'c') + ".ini", name}));
}

}  // namespace

namespace {

// Another process holds a write lease on a file and gives it back when the
// kernel asks for it (a reader's open breaks the lease).
class LeaseHolder {
 public:
  explicit LeaseHolder(const std::string& native) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    sigset_t io;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::sigprocmask(SIG_BLOCK, &io, nullptr);
      const int fd = ::open(native.c_str(), O_RDONLY);
      const char held = fd >= 0 && ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
      if (::write(ready[1], &held, 1) != 1 || !held) ::_exit(0);
      int sig = 0;
      ::sigwait(&io, &sig);
      ::fcntl(fd, F_SETLEASE, F_UNLCK);
      ::_exit(0);
    }
    ::close(ready[1]);
    if (pid_ > 0 && ::read(ready[0], &held_, 1) != 1) held_ = 0;
    ::close(ready[0]);
  }
  ~LeaseHolder() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  LeaseHolder(const LeaseHolder&) = delete;
  LeaseHolder& operator=(const LeaseHolder&) = delete;
  bool Held() const { return held_ != 0; }

 private:
  pid_t pid_ = -1;
  char held_ = 0;
};

TEST_F(FilesAndFolders, AFileUnderAnotherProcesssWriteLeaseIsReadOnceTheLeaseIsBroken) {
  const std::string file = dir.path() + "\\leased.ini";
  writeRaw(dir / "leased.ini", "[S]\r\nK=v\r\n");
  struct Row {
    const char* read;
    std::function<std::string()> reader;
  } rows[] = {{"[S]\r\nK=v\r\n", [&] {
                 std::string data;
                 return platform::ReadFileBytes(file, data) == 0 ? data : std::string("failed");
               }},
              {"v", [&] { return GetPrivateProfileString("S", "K", "failed", file); }},
              // The copy-name search: a leased name is taken, not free.
              {"taken", [&] { return std::string(platform::OpensForReading(file) ? "taken" : "free"); }}};
  for (const Row& row : rows) {
    platform::ClearProfileCache();
    LeaseHolder lease(dir.path() + "/leased.ini");
    if (!lease.Held()) GTEST_SKIP() << "no write leases on this file system";
    EXPECT_EQ(row.reader(), row.read);
  }
}

}  // namespace
