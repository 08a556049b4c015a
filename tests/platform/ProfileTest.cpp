#include "platform/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <iterator>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TempDir.h"

using namespace win;
using kxtest::readRaw;
using kxtest::writeRaw;

namespace {

class Profile : public ::testing::Test {
 protected:
  kxtest::TempDir dir;
  std::string ini = dir / "test.ini";

  std::string get(const char* s, const char* k, const char* def = "", DWORD size = 256) {
    std::vector<char> buf(size + 1, 'X');
    const DWORD n = GetPrivateProfileString(s, k, def, buf.data(), size, ini.c_str());
    EXPECT_EQ(buf[n], '\0');
    return std::string(buf.data(), n);
  }
  // The raw double-NUL list, including its NULs.
  std::string list(const char* s, const char* k, DWORD size, DWORD* count) {
    std::vector<char> buf(size, 'X');
    *count = GetPrivateProfileString(s, k, "", buf.data(), size, ini.c_str());
    return std::string(buf.data(), size);
  }
};

TEST_F(Profile, ReadsMatchNamesWithoutCaseAndTrimBlanksAndOneQuotePair) {
  writeRaw(ini,
           "[General Info]\r\n"
           "  TestStation =  MP  \r\n"
           "Quoted=\"  spaced  \"\r\n"
           "Single='x'\r\n"
           "Doubled=\"\"x\"\"\r\n"
           "Unpaired=\"x\r\n"
           "Case=MixedCase\r\n");
  EXPECT_EQ(get("general info", "TESTSTATION"), "MP");
  EXPECT_EQ(get("GENERAL INFO", "quoted"), "  spaced  ");
  EXPECT_EQ(get("General Info", "Single"), "x");
  EXPECT_EQ(get("General Info", "Doubled"), "\"x\"");
  EXPECT_EQ(get("General Info", "Unpaired"), "\"x");
  EXPECT_EQ(get("General Info", "Case"), "MixedCase");
  EXPECT_EQ(GetPrivateProfileString("GENERAL info", "testSTATION", "", ini), "MP");
}

TEST_F(Profile, MissingFileSectionOrKeyGivesTheDefault) {
  EXPECT_EQ(get("S", "K", "dflt"), "dflt");
  EXPECT_FALSE(std::filesystem::exists(ini));  // reading never creates
  writeRaw(ini, "[S]\r\nK=1\r\n");
  EXPECT_EQ(get("Other", "K", "d1"), "d1");
  EXPECT_EQ(get("S", "Other", "d2"), "d2");
  EXPECT_EQ(get("S", "Other", "trailing  "), "trailing");
  EXPECT_EQ(get("S", "Other", nullptr), "");
  EXPECT_EQ(GetPrivateProfileString("S", "Other", "def ", ini), "def");
  EXPECT_EQ(GetPrivateProfileInt("S", "Missing", 30, ini.c_str()), 30u);
  EXPECT_EQ(GetPrivateProfileInt("S", "K", 30, ini.c_str()), 1u);
}

TEST_F(Profile, ValuesAreCutToSizeMinusOneAndTheCountSaysSo) {
  const std::string longValue(300, 'v');
  writeRaw(ini, "[S]\r\nLong=" + longValue + "\r\nShort=abc\r\n");
  char buf[250];
  EXPECT_EQ(GetPrivateProfileString("S", "Long", "", buf, 250, ini.c_str()), 249u);
  EXPECT_EQ(std::string(buf), longValue.substr(0, 249));
  char three[3];
  EXPECT_EQ(GetPrivateProfileString("S", "Short", "", three, 3, ini.c_str()), 2u);
  EXPECT_STREQ(three, "ab");
  EXPECT_EQ(GetPrivateProfileString("S", "Missing", "defaultText", three, 3, ini.c_str()), 2u);
  EXPECT_STREQ(three, "de");
  char one[1] = {'X'};
  EXPECT_EQ(GetPrivateProfileString("S", "Short", "", one, 1, ini.c_str()), 0u);
  EXPECT_EQ(one[0], '\0');
  EXPECT_EQ(GetPrivateProfileString("S", "Short", "", nullptr, 0, ini.c_str()), 0u);
}

TEST_F(Profile, NullKeyListsKeysAndNullSectionListsSectionsDoubleNulTerminated) {
  writeRaw(ini, "[One]\r\na=1\r\n; note\r\nb=2\r\n[Two]\r\nc=3\r\n[Empty]\r\n");
  DWORD n = 0;
  std::string keys = list("one", nullptr, 16, &n);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(keys.substr(0, 5), std::string("a\0b\0\0", 5));
  std::string sections = list(nullptr, nullptr, 32, &n);
  EXPECT_EQ(n, 14u);
  EXPECT_EQ(sections.substr(0, 15), std::string("One\0Two\0Empty\0\0", 15));
  // Too small: cut, two NULs at the end, size-2 returned.
  sections = list(nullptr, nullptr, 7, &n);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(sections, std::string("One\0T\0\0", 7));
  // Nothing to list: two NULs, count 0.
  keys = list("Empty", nullptr, 8, &n);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(keys.substr(0, 2), std::string("\0\0", 2));

  char sec[64];
  EXPECT_EQ(GetPrivateProfileSection("ONE", sec, sizeof sec, ini.c_str()), 8u);
  EXPECT_EQ(std::string(sec, 9), std::string("a=1\0b=2\0\0", 9));
  char names[64];
  EXPECT_EQ(GetPrivateProfileSectionNames(names, sizeof names, ini.c_str()), 14u);
  EXPECT_EQ(GetPrivateProfileSectionNames(ini), (std::vector<std::string>{"One", "Two", "Empty"}));
  EXPECT_EQ(GetPrivateProfileKeyNames("two", ini), (std::vector<std::string>{"c"}));
  EXPECT_EQ(GetPrivateProfileSection("One", ini), (std::vector<std::string>{"a=1", "b=2"}));
}

TEST_F(Profile, IntegersTakeTheLeadingNumber) {
  writeRaw(ini, "[S]\r\nA=42\r\nB= -7 \r\nC=12abc\r\nD=abc\r\nE=\r\nF=4294967297\r\n");
  EXPECT_EQ(GetPrivateProfileInt("S", "A", 5, ini.c_str()), 42u);
  EXPECT_EQ(static_cast<int>(GetPrivateProfileInt("S", "B", 5, ini.c_str())), -7);
  EXPECT_EQ(GetPrivateProfileInt("S", "C", 5, ini.c_str()), 12u);
  EXPECT_EQ(GetPrivateProfileInt("S", "D", 5, ini.c_str()), 0u);
  EXPECT_EQ(GetPrivateProfileInt("S", "E", 5, ini.c_str()), 5u);
  EXPECT_EQ(GetPrivateProfileInt("S", "F", 5, ini.c_str()), 1u);  // 32-bit wrap, no crash
}

TEST_F(Profile, WritingCreatesFileAndSectionWithCrLf) {
  ASSERT_TRUE(WritePrivateProfileString("Base Info", "Checksum", "1234", ini.c_str()));
  EXPECT_EQ(readRaw(ini), "[Base Info]\r\nChecksum=1234\r\n");
  ASSERT_TRUE(WritePrivateProfileString("Results List", "Port1", "PASS", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileString("base info", "CHECKSUM", "99", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileString("Base Info", "Other", "x", ini.c_str()));
  EXPECT_EQ(readRaw(ini), "[Base Info]\r\nChecksum=99\r\nOther=x\r\n[Results List]\r\nPort1=PASS\r\n");
  EXPECT_EQ(get("Base Info", "checksum"), "99");
  EXPECT_TRUE(WritePrivateProfileString(std::string("Results List"), std::string("Port2"), std::string("FAIL"), ini));
  EXPECT_EQ(GetPrivateProfileString("results list", "port2", "", ini), "FAIL");
}

TEST_F(Profile, RewritesKeepCommentsUnknownLinesAndBlankSeparators) {
  writeRaw(ini,
           "; header comment\n"
           "orphan=before any section\n"
           "[A]\n"
           "# note\n"
           "x=1\n"
           "just some words\n"
           "\n"
           "[B]\n"
           "y=2");
  ASSERT_TRUE(WritePrivateProfileString("A", "z", "3", ini.c_str()));
  EXPECT_EQ(readRaw(ini),
            "; header comment\r\n"
            "orphan=before any section\r\n"
            "[A]\r\n"
            "# note\r\n"
            "x=1\r\n"
            "just some words\r\n"
            "z=3\r\n"
            "\r\n"
            "[B]\r\n"
            "y=2\r\n");
  EXPECT_EQ(get("A", "# note", "none"), "none");  // comments are not keys
  EXPECT_EQ(get("A", "orphan", "none"), "none");  // keys before any section belong to none
}

TEST_F(Profile, NullValueDeletesKeyAndNullKeyDeletesSection) {
  writeRaw(ini, "[A]\r\nk=1\r\nK=dup\r\nm=2\r\n[B]\r\nn=3\r\n[a]\r\nq=4\r\n");
  ASSERT_TRUE(WritePrivateProfileString("a", "K", nullptr, ini.c_str()));
  EXPECT_EQ(get("A", "k", "gone"), "gone");
  EXPECT_EQ(get("A", "m"), "2");
  ASSERT_TRUE(WritePrivateProfileString("A", nullptr, nullptr, ini.c_str()));
  EXPECT_EQ(readRaw(ini), "[B]\r\nn=3\r\n");
  // Deleting what is not there leaves a missing file missing.
  const std::string other = dir / "none.ini";
  EXPECT_TRUE(WritePrivateProfileString("S", "k", nullptr, other.c_str()));
  EXPECT_FALSE(std::filesystem::exists(other));
}

TEST_F(Profile, WriteSectionReplacesTheBodyOrDeletesTheSection) {
  writeRaw(ini, "[A]\r\nold=1\r\n; c\r\n\r\n[B]\r\nb=1\r\n");
  ASSERT_TRUE(WritePrivateProfileSection("a", "new=2\0more = 3\0", ini.c_str()));
  EXPECT_EQ(readRaw(ini), "[A]\r\nnew=2\r\nmore = 3\r\n\r\n[B]\r\nb=1\r\n");
  EXPECT_EQ(get("A", "more"), "3");
  ASSERT_TRUE(WritePrivateProfileSection("C", "c=1\0", ini.c_str()));
  EXPECT_EQ(get("C", "c"), "1");
  ASSERT_TRUE(WritePrivateProfileSection("B", nullptr, ini.c_str()));
  EXPECT_EQ(get("B", "b", "gone"), "gone");
  EXPECT_FALSE(WritePrivateProfileSection("A", "[X]\0", ini.c_str()));
}

TEST_F(Profile, LinesStartingWithBracketAreKeysWhenAnEqualsFollowsTheBracket) {
  writeRaw(ini,
           "[Error]\r\n"
           "[2024-05-06 08:09:10]   SlotNo:03   SN:x=S_x01\r\n"
           "[Results List] trailing text\r\n"
           "[05-06~07-08,03]=PASS\r\n");
  EXPECT_EQ(get("Error", "[2024-05-06 08:09:10]   SlotNo:03   SN:x"), "S_x01");
  EXPECT_EQ(get("Results List", "[05-06~07-08,03]"), "PASS");
  DWORD n = 0;
  EXPECT_EQ(list(nullptr, nullptr, 64, &n).substr(0, 20), std::string("Error\0Results List\0\0", 20));

  // Two failures of one slot in the same second replace one key.
  const char* key = "[2024-05-06 08:09:11]   SlotNo:04   SN:y";
  ASSERT_TRUE(WritePrivateProfileString("Error", key, "M_x04", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileString("Error", key, "T_x02", ini.c_str()));
  EXPECT_EQ(GetPrivateProfileKeyNames("Error", ini).size(), 2u);
  EXPECT_EQ(get("Error", key), "T_x02");
}

TEST_F(Profile, BadNamesAndMissingFoldersFailAndLeaveTheFileAlone) {
  writeRaw(ini, "[S]\r\nk=1\r\n");
  const std::string before = readRaw(ini);
  EXPECT_FALSE(WritePrivateProfileString("S", "a=b", "1", ini.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(WritePrivateProfileString("S", "k", "two\r\nlines", ini.c_str()));
  EXPECT_FALSE(WritePrivateProfileString("S]", "k", "1", ini.c_str()));
  EXPECT_FALSE(WritePrivateProfileString("S", ";k", "1", ini.c_str()));
  EXPECT_FALSE(WritePrivateProfileString("S", "[open", "x]y", ini.c_str()));  // would read back as "[open=x]"
  EXPECT_FALSE(WritePrivateProfileString(nullptr, "k", "1", ini.c_str()));
  EXPECT_EQ(readRaw(ini), before);

  const std::string missing = dir / "no/such/folder/x.ini";
  EXPECT_FALSE(WritePrivateProfileString("S", "k", "1", missing.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(std::filesystem::exists(dir / "no"));
  EXPECT_FALSE(WritePrivateProfileString("S", "k", "1", "\\\\.\\PhysicalDrive0"));
}

TEST_F(Profile, AFailedWriteLeavesTheOldFileAndNoTemporaryFile) {
  std::string big = "[S]\r\n";
  for (int i = 0; i < 200; ++i) big += "key" + std::to_string(i) + "=" + std::string(40, 'v') + "\r\n";
  writeRaw(ini, big);
  BOOL ok = TRUE;
  DWORD err = 0;
  {
    kxtest::ScopedFileSizeLimit full(4096);  // the write fails part way, as on a full disk
    ok = WritePrivateProfileString("S", "extra", "1", ini.c_str());
    err = GetLastError();
  }
  EXPECT_FALSE(ok);
  EXPECT_EQ(err, ERROR_DISK_FULL);
  EXPECT_EQ(readRaw(ini), big);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);  // no temporary left
}

TEST_F(Profile, ReadsSeeTheFileAsItIsNow) {
  writeRaw(ini, "[S]\r\nk=1\r\n");
  EXPECT_EQ(get("S", "k"), "1");
  // Rewritten in place within one timestamp step: same size, inode and time.
  struct stat before;
  ASSERT_EQ(::stat(ini.c_str(), &before), 0);
  writeRaw(ini, "[S]\r\nk=2\r\n");
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, ini.c_str(), times, 0), 0);
  EXPECT_EQ(get("S", "k"), "2");
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  EXPECT_EQ(get("S", "k"), "2");  // settled: served from the parsed copy
  writeRaw(ini, "[S]\r\nk=3\r\n");
  EXPECT_EQ(get("S", "k"), "3");
  std::filesystem::remove(ini);
  EXPECT_EQ(get("S", "k", "gone"), "gone");
  ASSERT_TRUE(WritePrivateProfileString("S", "k", "4", ini.c_str()));
  EXPECT_EQ(get("S", "k"), "4");
}

TEST_F(Profile, PathsAreMappedAndKeepTheirPermissions) {
  std::filesystem::create_directories(dir / "Configuration/System");
  writeRaw(dir / "Configuration/System/MPToolSetting.ini", "[General Info]\r\nSlotNumber=16\r\n");
  ::chmod((dir / "Configuration/System/MPToolSetting.ini").c_str(), 0640);
  kxtest::ScopedCwd cwd(dir.path());
  const char* path = ".\\configuration\\SYSTEM\\mptoolsetting.INI";
  EXPECT_EQ(GetPrivateProfileInt("General Info", "SlotNumber", 8, path), 16u);
  ASSERT_TRUE(WritePrivateProfileString("General Info", "SlotNumber", "24", path));
  EXPECT_EQ(GetPrivateProfileInt("General Info", "SlotNumber", 8, ".\\Configuration\\System\\MPToolSetting.ini"), 24u);
  struct stat st;
  ASSERT_EQ(::stat("Configuration/System/MPToolSetting.ini", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// 24 workers write their own keys into one shared log while a reader keeps
// reading it: no key may be lost and the reader may never see a torn file.
TEST_F(Profile, ConcurrentWritersLoseNothingAndReadersNeverSeeATornFile) {
  constexpr int kThreads = 24;
  constexpr int kWrites = 200;
  ASSERT_TRUE(WritePrivateProfileString("Tail", "Present", "1", ini.c_str()));
  // "Data" comes after "Tail", so a cut file would lose it.
  ASSERT_TRUE(WritePrivateProfileString("Data", "seed", "0", ini.c_str()));
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    std::size_t lastCount = 0;
    while (!done.load()) {
      const auto names = GetPrivateProfileSectionNames(ini);
      const auto keys = GetPrivateProfileKeyNames("Data", ini);
      if (GetPrivateProfileString("Tail", "Present", "", ini) != "1" || names.empty() || names.back() != "Data" ||
          keys.size() < lastCount) {
        ++torn;
      }
      lastCount = keys.size();
      ++reads;
    }
  });
  // Half the writers spell the path another way: they must still take the same lock.
  const std::string otherSpelling = dir.path() + "\\\\TEST.INI";
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      const std::string& path = t % 2 ? otherSpelling : ini;
      for (int i = 0; i < kWrites; ++i) {
        const std::string key = "T" + std::to_string(t) + "_K" + std::to_string(i);
        WritePrivateProfileString("Data", key.c_str(), std::to_string(i * t).c_str(), path.c_str());
      }
    });
  }
  for (auto& w : writers) w.join();
  done = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(GetPrivateProfileKeyNames("Data", ini).size(), static_cast<std::size_t>(kThreads * kWrites + 1));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kWrites; i += 37) {
      const std::string key = "T" + std::to_string(t) + "_K" + std::to_string(i);
      EXPECT_EQ(GetPrivateProfileInt("Data", key.c_str(), -1, ini.c_str()), static_cast<UINT>(i * t)) << key;
    }
  }
}

// Writers spelling a file that does not exist yet in different cases must all
// land in one file, as on Windows.
TEST_F(Profile, WritersCreatingOneFileUnderDifferentSpellingsShareIt) {
  constexpr int kThreads = 8;
  for (int round = 0; round < 40; ++round) {
    const std::string name = "new" + std::to_string(round) + ".ini";
    std::atomic<int> ready{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&, t] {
        std::string spelled = name;
        for (std::size_t i = 0; i < spelled.size(); ++i) {
          if ((t >> (i % 3)) & 1) spelled[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(spelled[i])));
        }
        for (++ready; ready.load() < kThreads;) {
        }
        WritePrivateProfileString("S", ("T" + std::to_string(t)).c_str(), "1", (dir / spelled).c_str());
      });
    }
    for (auto& w : writers) w.join();
    ASSERT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), round + 1) << name;
    ASSERT_EQ(GetPrivateProfileKeyNames("S", dir / name).size(), static_cast<std::size_t>(kThreads)) << name;
  }
}

// ---------------------------------------------------------------- malformed files

TEST_F(Profile, MalformedFilesReadSafelyAndKeepTheirLinesOnRewrite) {
  std::string binary = "garbage\x01\x02\xff\xfe no equals\n[S]\nk=v\xA1\xF5\n";
  binary += std::string("\0\0\0zero bytes=1\n", 16);
  binary += "[unterminated\n=no name\n[S2]\nlast=no newline";
  writeRaw(ini, binary);
  EXPECT_EQ(get("S", "k"), "v\xA1\xF5");  // bytes kept, never transcoded
  EXPECT_EQ(get("S2", "last"), "no newline");
  ASSERT_TRUE(WritePrivateProfileString("S2", "added", "1", ini.c_str()));
  std::string expected = binary;
  std::string crlf;
  for (char c : expected) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  EXPECT_EQ(readRaw(ini), crlf + "\r\nadded=1\r\n");
}

TEST_F(Profile, AHundredThousandCharacterLineAndAByteOrderMarkAreHandled) {
  const std::string huge(100000, 'h');
  writeRaw(ini, "\xEF\xBB\xBF[S]\r\nhuge=" + huge + "\r\n" + huge + "\r\nafter=1");
  EXPECT_EQ(get("S", "huge", "", 100001), huge);
  EXPECT_EQ(get("S", "after"), "1");
  ASSERT_TRUE(WritePrivateProfileString("S", "after", "2", ini.c_str()));
  EXPECT_EQ(readRaw(ini), "\xEF\xBB\xBF[S]\r\nhuge=" + huge + "\r\n" + huge + "\r\nafter=2\r\n");
}

TEST_F(Profile, FileWithoutAnySectionHasNoKeysButKeepsItsLines) {
  writeRaw(ini, "a=1\nb=2\n");
  EXPECT_EQ(get("", "a", "none"), "none");
  EXPECT_TRUE(GetPrivateProfileSectionNames(ini).empty());
  ASSERT_TRUE(WritePrivateProfileString("S", "c", "3", ini.c_str()));
  EXPECT_EQ(readRaw(ini), "a=1\r\nb=2\r\n[S]\r\nc=3\r\n");
}

}  // namespace
