#include "platform/Profile.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <cctype>
#include <iterator>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TempDir.h"
#include "platform/Files.h"

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
  EXPECT_EQ(get("A", "# note", "none"), "none");  // a line without '=' is no key
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

TEST_F(Profile, AFileRewrittenInQuickSuccessionIsReadAfreshEveryTime) {
  writeRaw(ini, "[S]\r\nk=1\r\n");
  EXPECT_EQ(get("S", "k"), "1");
  // Rewritten in place within one timestamp step: same size, inode and time.
  struct stat before;
  ASSERT_EQ(::stat(ini.c_str(), &before), 0);
  writeRaw(ini, "[S]\r\nk=2\r\n");
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, ini.c_str(), times, 0), 0);
  EXPECT_EQ(get("S", "k"), "2");
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

// ---------------------------------------------------------------- as Windows answers

TEST_F(Profile, IntegersReadHexadecimalAfter0x) {
  const struct {
    const char* value;
    UINT expected;
  } cases[] = {
      {"0x1F", 31u},        {"0X1f", 31u}, {"0xfFfF", 65535u}, {"-0x10", 0xFFFFFFF0u}, {"+0x10", 16u},
      {"0x1G", 1u},         {"0x", 0u},    {"0xZ", 0u},        {"010", 10u},           {"\"0x20\"", 32u},
      {"0x100000001", 1u},  // 32-bit wrap
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    writeRaw(ini, std::string("[S]\r\nk=") + c.value + "\r\n");
    EXPECT_EQ(GetPrivateProfileInt("S", "k", 7, ini.c_str()), c.expected);
  }
}

TEST_F(Profile, SectionListingGivesLinesWithoutEqualsAsTheyStand) {
  writeRaw(ini, "[S]\r\na=1\r\n  loose words  \r\n; comment\r\n\r\n=no name\r\nb = 2\r\n[T]\r\nc=3\r\n");
  char buf[64];
  EXPECT_EQ(GetPrivateProfileSection("S", buf, sizeof buf, ini.c_str()), 29u);
  EXPECT_EQ(std::string(buf, 30), std::string("a=1\0loose words\0=no name\0b=2\0\0", 30));
  EXPECT_EQ(GetPrivateProfileSection("S", ini), (std::vector<std::string>{"a=1", "loose words", "=no name", "b=2"}));
  EXPECT_EQ(GetPrivateProfileKeyNames("S", ini), (std::vector<std::string>{"a", "b"}));  // key lists keep keys only
}

TEST_F(Profile, ALoneCrEndsALineAsLfAndCrLfDo) {
  writeRaw(ini, "[A]\rk=1\rm=2\r\n[B]\nn=3\r\ro=4");
  EXPECT_EQ(get("A", "k"), "1");
  EXPECT_EQ(get("A", "m"), "2");
  EXPECT_EQ(get("B", "n"), "3");
  EXPECT_EQ(get("B", "o"), "4");
  EXPECT_EQ(GetPrivateProfileSectionNames(ini), (std::vector<std::string>{"A", "B"}));
  ASSERT_TRUE(WritePrivateProfileString("A", "p", "5", ini.c_str()));
  EXPECT_EQ(readRaw(ini), "[A]\r\nk=1\r\nm=2\r\np=5\r\n[B]\r\nn=3\r\n\r\no=4\r\n");
}

TEST_F(Profile, ALineStartingWithHashIsAnOrdinaryKey) {
  writeRaw(ini, "[S]\r\n#key = 1\r\n# words\r\n;k=2\r\n");
  EXPECT_EQ(get("S", "#key"), "1");
  EXPECT_EQ(get("S", ";k", "none"), "none");  // ';' still starts a comment
  EXPECT_EQ(GetPrivateProfileSection("S", ini), (std::vector<std::string>{"#key=1", "# words"}));
  ASSERT_TRUE(WritePrivateProfileString("S", "#new", "2", ini.c_str()));
  EXPECT_EQ(get("S", "#new"), "2");
  EXPECT_EQ(readRaw(ini), "[S]\r\n#key = 1\r\n# words\r\n;k=2\r\n#new=2\r\n");
}

TEST_F(Profile, SectionNamesOfAMissingFileAreASingleNul) {
  char buf[4] = {'X', 'X', 'X', 'X'};
  EXPECT_EQ(GetPrivateProfileSectionNames(buf, sizeof buf, ini.c_str()), 0u);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'X');
}

// Every list read at every buffer size: nothing is written past the buffer; a
// list that fits comes whole with its count, one that does not is cut to its
// first size-2 characters and two NULs, and size-2 is returned.
TEST_F(Profile, ListReadsStayInsideTheBufferAtEverySize) {
  const std::string file =
      "[abcde]\r\nalpha=1\r\nbe=22\r\nno equals here\r\n;c\r\ngamma = 333\r\n"
      "[xyzxyzxyz]\r\n[]\r\n[q]\r\n";
  writeRaw(ini, file);
  using Read = std::function<DWORD(char*, DWORD)>;
  const struct {
    const char* what;
    Read read;
    std::string full;  // each item and its NUL
  } lists[] = {
      {"section names", [&](char* b, DWORD n) { return GetPrivateProfileSectionNames(b, n, ini.c_str()); },
       std::string("abcde\0xyzxyzxyz\0q\0", 18)},
      {"null section", [&](char* b, DWORD n) { return GetPrivateProfileString(nullptr, nullptr, "", b, n, ini.c_str()); },
       std::string("abcde\0xyzxyzxyz\0q\0", 18)},
      {"null key", [&](char* b, DWORD n) { return GetPrivateProfileString("abcde", nullptr, "", b, n, ini.c_str()); },
       std::string("alpha\0be\0gamma\0", 15)},
      {"section", [&](char* b, DWORD n) { return GetPrivateProfileSection("abcde", b, n, ini.c_str()); },
       std::string("alpha=1\0be=22\0no equals here\0gamma=333\0", 39)},
  };
  constexpr std::size_t kGuard = 16;
  for (const auto& l : lists) {
    for (DWORD size = 0; size <= l.full.size() + 2; ++size) {
      SCOPED_TRACE(std::string(l.what) + ", size " + std::to_string(size));
      std::vector<char> buf(size + kGuard, 'G');
      const DWORD n = l.read(buf.data(), size);
      EXPECT_EQ(std::string(buf.data() + size, kGuard), std::string(kGuard, 'G'));
      if (size == 0) {
        EXPECT_EQ(n, 0u);
      } else if (size >= l.full.size() + 1) {
        EXPECT_EQ(n, l.full.size());
        EXPECT_EQ(std::string(buf.data(), l.full.size() + 1), l.full + '\0');
      } else if (size == 1) {
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(buf[0], '\0');
      } else {
        EXPECT_EQ(n, size - 2);
        EXPECT_EQ(std::string(buf.data(), size - 2), l.full.substr(0, size - 2));
        EXPECT_EQ(buf[size - 2], '\0');
        EXPECT_EQ(buf[size - 1], '\0');
      }
    }
  }
  // The case that used to write past the buffer: the first name fills it to size-1.
  writeRaw(ini, "[abcde]\r\n[xyzxyzxyz]\r\n");
  char seven[7 + kGuard];
  std::memset(seven, 'G', sizeof seven);
  EXPECT_EQ(GetPrivateProfileSectionNames(seven, 7, ini.c_str()), 5u);
  EXPECT_EQ(std::string(seven, sizeof seven), std::string("abcde\0\0", 7) + std::string(kGuard, 'G'));
}

// ---------------------------------------------------------------- what reads see

TEST_F(Profile, ReadsSeeTheProgramsOwnChangesAtOnce) {
  const std::string other = dir / "other.ini";
  const struct {
    const char* how;
    std::function<bool()> change;
    const char* key;
    const char* expected;
  } cases[] = {
      {"WritePrivateProfileString", [&] { return WritePrivateProfileString("S", "k", "new", ini.c_str()) != FALSE; },
       "k", "new"},
      {"WritePrivateProfileSection", [&] { return WritePrivateProfileSection("S", "k=new\0", ini.c_str()) != FALSE; },
       "k", "new"},
      {"WriteFileBytes", [&] { return platform::WriteFileBytes(ini, "[S]\r\nk=new\r\n") == 0; }, "k", "new"},
      {"AppendFileBytes", [&] { return platform::AppendFileBytes(ini, "x=new\r\n", false) == 0; }, "x", "new"},
      {"CopyFile", [&] { return CopyFile(other.c_str(), ini.c_str(), FALSE) != FALSE; }, "k", "new"},
      {"MoveFileEx", [&] { return MoveFileEx(other.c_str(), ini.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE; },
       "k", "new"},
      {"DeleteFile", [&] { return DeleteFile(ini.c_str()) != FALSE; }, "k", "gone"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    writeRaw(ini, "[S]\r\nk=old\r\n");
    writeRaw(other, "[S]\r\nk=new\r\n");
    kxtest::ageFile(ini);  // settled: its parsed copy is kept
    EXPECT_EQ(get("S", "k"), "old");
    ASSERT_TRUE(c.change());
    EXPECT_EQ(get("S", c.key, "gone"), c.expected);
  }
}

// Another process changes a settled file, or a folder on its path: reads see
// it as soon as the watcher has taken the kernel's report.
TEST_F(Profile, ReadsSeeAnotherProcesssChangeOnceTheKernelReportsIt) {
  const std::string nested = dir / "a/b/test.ini";
  const struct {
    const char* what;
    std::function<int()> change;  // runs in the other process
    const char* expected;
  } cases[] = {
      {"rewritten by the profile calls",
       [&] { return WritePrivateProfileString("S", "k", "new", nested.c_str()) ? 0 : 1; }, "new"},
      {"rewritten in place, same size and time",
       [&] {
         const int fd = ::open(nested.c_str(), O_WRONLY);
         const bool ok = fd >= 0 && ::pwrite(fd, "new", 3, 7) == 3;
         ::close(fd);
         kxtest::ageFile(nested);
         return ok ? 0 : 1;
       },
       "new"},
      {"deleted", [&] { return ::unlink(nested.c_str()); }, "gone"},
      {"a folder above it replaced",
       [&] {
         std::filesystem::rename(dir / "a", dir / "a.old");
         std::filesystem::create_directories(dir / "a/b");
         writeRaw(nested, "[S]\r\nk=new\r\n");
         kxtest::ageFile(nested);
         return 0;
       },
       "new"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(dir / "a");
    std::filesystem::remove_all(dir / "a.old");
    std::filesystem::create_directories(dir / "a/b");
    writeRaw(nested, "[S]\r\nk=old\r\n");
    kxtest::ageFile(nested);
    EXPECT_EQ(GetPrivateProfileString("S", "k", "gone", nested), "old");
    ASSERT_EQ(kxtest::waitExit(kxtest::forkChild(c.change)), 0);
    std::string seen;
    for (int i = 0; i < 10000; ++i) {  // bounded: the report normally arrives within a millisecond
      seen = GetPrivateProfileString("S", "k", "gone", nested);
      if (seen == c.expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(seen, c.expected);
  }
}

TEST_F(Profile, ReadsFollowAChangeOfWorkingFolder) {
  std::filesystem::create_directories(dir / "one");
  std::filesystem::create_directories(dir / "two");
  writeRaw(dir / "one/param.ini", "[S]\r\nk=1\r\n");
  writeRaw(dir / "two/param.ini", "[S]\r\nk=2\r\n");
  kxtest::ageFile(dir / "one/param.ini");
  kxtest::ageFile(dir / "two/param.ini");
  kxtest::ScopedCwd one(dir / "one");
  EXPECT_EQ(GetPrivateProfileInt("S", "k", 0, ".\\param.ini"), 1u);
  {
    kxtest::ScopedCwd two(dir / "two");
    EXPECT_EQ(GetPrivateProfileInt("S", "k", 0, ".\\param.ini"), 2u);
  }
  EXPECT_EQ(GetPrivateProfileInt("S", "k", 0, ".\\param.ini"), 1u);
}

// ---------------------------------------------------------------- processes and faults

// Two processes write one INI at once, each also replacing files of its own in
// the same folder meanwhile: every acknowledged key is there, and no write
// fails because another's cleanup took its temporary file.
TEST_F(Profile, TwoProcessesWritingOneIniLoseNothing) {
  constexpr int kKeys = 400;
  auto writer = [&](int p) {
    return [&, p] {
      int failed = 0;
      const std::string own = dir / ("own" + std::to_string(p) + ".txt");
      for (int i = 0; i < kKeys; ++i) {
        const std::string key = "P" + std::to_string(p) + "_K" + std::to_string(i);
        if (!WritePrivateProfileString("Data", key.c_str(), std::to_string(i).c_str(), ini.c_str())) ++failed;
        if (platform::WriteFileBytes(own, key) != 0) ++failed;
      }
      return failed > 0 ? 1 : 0;
    };
  };
  const pid_t a = kxtest::forkChild(writer(0));
  const pid_t b = kxtest::forkChild(writer(1));
  EXPECT_EQ(kxtest::waitExit(a), 0);
  EXPECT_EQ(kxtest::waitExit(b), 0);
  EXPECT_EQ(GetPrivateProfileKeyNames("Data", ini).size(), static_cast<std::size_t>(2 * kKeys));
  for (int p = 0; p < 2; ++p) {
    for (int i = 0; i < kKeys; i += 41) {
      const std::string key = "P" + std::to_string(p) + "_K" + std::to_string(i);
      EXPECT_EQ(GetPrivateProfileInt("Data", key.c_str(), -1, ini.c_str()), static_cast<UINT>(i)) << key;
    }
  }
  EXPECT_EQ(kxtest::listNames(dir.path()), (std::vector<std::string>{"own0.txt", "own1.txt", "test.ini"}));
}

// A writer stopped part way keeps its temporary file while it lives; killed,
// it leaves the file behind until the folder is next written.
TEST_F(Profile, AWriterKilledMidWriteLeavesNoTemporaryFileOnceTheFolderIsNextWritten) {
  writeRaw(ini, "[S]\r\nk=1\r\n");
  const pid_t child = ::fork();
  if (child == 0) {
    // The write passes the file size limit part way and the process stops there.
    struct sigaction stop {};
    stop.sa_handler = [](int) { ::raise(SIGSTOP); };
    ::sigaction(SIGXFSZ, &stop, nullptr);
    const rlimit small{65536, 65536};
    ::setrlimit(RLIMIT_FSIZE, &small);
    WritePrivateProfileString("S", "big", std::string(200000, 'v').c_str(), ini.c_str());
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, WUNTRACED), child);
  ASSERT_TRUE(WIFSTOPPED(status));
  const auto whileStopped = kxtest::listNames(dir.path());
  // A write to another file of the folder leaves the live writer's file alone.
  EXPECT_EQ(platform::WriteFileBytes(dir / "other.txt", "x"), 0u);
  const auto afterOtherWrite = kxtest::listNames(dir.path());
  ::kill(child, SIGKILL);
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WritePrivateProfileString("S", "k", "2", ini.c_str()));

  EXPECT_EQ(whileStopped.size(), 2u);  // test.ini and the writer's temporary file
  EXPECT_EQ(afterOtherWrite.size(), 3u);
  EXPECT_EQ(kxtest::listNames(dir.path()), (std::vector<std::string>{"other.txt", "test.ini"}));
  EXPECT_EQ(readRaw(ini), "[S]\r\nk=2\r\n");
}

// 20 MB of blank lines, read and rewritten within six times the file's size
// of address space (a line index per line used to cost a hundred times it).
TEST_F(Profile, ADegenerateFileCostsASmallMultipleOfItsSize) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves address space beyond any limit";
#else
  constexpr std::size_t kSize = 20u << 20;
  {
    std::string blank;
    blank.reserve(kSize + 32);
    while (blank.size() < kSize) blank += "\r\n";
    blank += "[S]\r\nk=1\r\n";
    writeRaw(ini, blank);
  }
  const pid_t child = kxtest::forkChild([&] {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + 6 * kSize;
    const rlimit as{limit, limit};
    if (::setrlimit(RLIMIT_AS, &as) != 0) return 2;
    const bool ok = GetPrivateProfileString("S", "k", "", ini) == "1" &&
                    WritePrivateProfileString("S", "k2", "2", ini.c_str()) &&
                    GetPrivateProfileInt("S", "k2", 0, ini.c_str()) == 2u;
    return ok ? 0 : 1;
  });
  EXPECT_EQ(kxtest::waitExit(child), 0);
#endif
}

}  // namespace
