#include "platform/Profile.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/FileFaults.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/Termination.h"
#include "tests/platform/TempDir.h"

using namespace win;
using kxtest::readRaw;
using kxtest::writeRaw;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

namespace {

class Profile : public ::testing::Test {
 protected:
  kxtest::TempDir dir;
  std::string ini = dir / "test.ini";

  // A read by key into a buffer of `size`; the NUL must follow what is returned.
  std::string get(const char* s, const char* k, const char* def = "", DWORD size = 256) {
    std::vector<char> buf(size + 1, 'X');
    const DWORD n = GetPrivateProfileString(s, k, def, buf.data(), size, ini.c_str());
    EXPECT_EQ(buf[n], '\0');
    return std::string(buf.data(), n);
  }
};

TEST_F(Profile, ReadsMatchNamesWithoutCaseAndTrimBlanksAndOneQuotePair) {
  writeRaw(ini,
           "[General Info]\r\n  TestStation =  MP  \r\nQuoted=\"  spaced  \"\r\nSingle='x'\r\n"
           "Doubled=\"\"x\"\"\r\nUnpaired=\"x\r\nCase=MixedCase\r\n");
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
  EXPECT_FALSE(fs::exists(ini));  // reading never creates
  writeRaw(ini, "[S]\r\nK=1\r\n");
  EXPECT_EQ(get("Other", "K", "d1"), "d1");
  EXPECT_EQ(get("S", "Other", "trailing  "), "trailing");
  EXPECT_EQ(get("S", "Other", nullptr), "");
  EXPECT_EQ(GetPrivateProfileString("S", "Other", "def ", ini), "def");
  EXPECT_EQ(GetPrivateProfileInt("S", "Missing", 30, ini.c_str()), 30u);
}

TEST_F(Profile, ValuesAreCutToSizeMinusOneAndTheCountSaysSo) {
  writeRaw(ini, "[S]\r\nLong=" + std::string(300, 'v') + "\r\nShort=abc\r\n");
  EXPECT_EQ(get("S", "Long", "", 250), std::string(249, 'v'));
  EXPECT_EQ(get("S", "Short", "", 3), "ab");
  EXPECT_EQ(get("S", "Missing", "defaultText", 3), "de");
  EXPECT_EQ(get("S", "Short", "", 1), "");
  EXPECT_EQ(GetPrivateProfileString("S", "Short", "", nullptr, 0, ini.c_str()), 0u);
}

TEST_F(Profile, IntegersTakeTheLeadingDecimalOrHexadecimalNumber) {
  const struct {
    const char* value;
    UINT expected;
  } cases[] = {
      {"42", 42u},      {" -7 ", 0xFFFFFFF9u}, {"12abc", 12u},  {"abc", 0u},       {"", 7u},  // empty: the default
      {"4294967297", 1u},                                                                   // 32-bit wrap
      {"0x1F", 31u},    {"0X1f", 31u},         {"0xfFfF", 65535u}, {"-0x10", 0xFFFFFFF0u}, {"+0x10", 16u},
      {"0x1G", 1u},     {"0x", 0u},            {"0xZ", 0u},     {"010", 10u},      {"\"0x20\"", 32u},
      {"0x100000001", 1u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    writeRaw(ini, std::string("[S]\r\nk=") + c.value + "\r\n");
    EXPECT_EQ(GetPrivateProfileInt("S", "k", 7, ini.c_str()), c.expected);
  }
}

// Every list read at every buffer size: nothing is written past the buffer; a
// list that fits comes whole with its count, one that does not is cut to its
// first size-2 characters and two NULs, and size-2 is returned.
TEST_F(Profile, ListReadsStayInsideTheBufferAtEverySize) {
  writeRaw(ini,
           "[abcde]\r\nalpha=1\r\nbe=22\r\n  loose words  \r\n;c\r\n=no name\r\ngamma = 333\r\n"
           "[xyzxyzxyz]\r\n[]\r\n[q]\r\n");
  const struct {
    const char* what;
    std::function<DWORD(char*, DWORD)> read;
    std::string full;  // each item and its NUL
  } lists[] = {
      {"section names", [&](char* b, DWORD n) { return GetPrivateProfileSectionNames(b, n, ini.c_str()); },
       std::string("abcde\0xyzxyzxyz\0q\0", 18)},
      {"null section",
       [&](char* b, DWORD n) { return GetPrivateProfileString(nullptr, nullptr, "", b, n, ini.c_str()); },
       std::string("abcde\0xyzxyzxyz\0q\0", 18)},
      {"null key", [&](char* b, DWORD n) { return GetPrivateProfileString("ABCDE", nullptr, "", b, n, ini.c_str()); },
       std::string("alpha\0be\0gamma\0", 15)},
      {"section", [&](char* b, DWORD n) { return GetPrivateProfileSection("abcde", b, n, ini.c_str()); },
       std::string("alpha=1\0be=22\0loose words\0=no name\0gamma=333\0", 45)},
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
}

TEST_F(Profile, EmptyListsAndTheVectorConveniences) {
  char buf[4] = {'X', 'X', 'X', 'X'};
  EXPECT_EQ(GetPrivateProfileSectionNames(buf, sizeof buf, ini.c_str()), 0u);  // missing file: a single NUL
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'X');
  writeRaw(ini, "[One]\r\na=1\r\n; note\r\nloose\r\nb=2\r\n[Two]\r\nc=3\r\n[Empty]\r\n");
  std::fill(buf, buf + 4, 'X');
  EXPECT_EQ(GetPrivateProfileString("Empty", nullptr, "", buf, sizeof buf, ini.c_str()), 0u);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], '\0');
  EXPECT_EQ(GetPrivateProfileSectionNames(ini), (Names{"One", "Two", "Empty"}));
  EXPECT_EQ(GetPrivateProfileKeyNames("two", ini), Names{"c"});
  EXPECT_EQ(GetPrivateProfileSection("one", ini), (Names{"a=1", "loose", "b=2"}));
}

TEST_F(Profile, WritingCreatesFileAndSectionWithCrLf) {
  ASSERT_TRUE(WritePrivateProfileString("Base Info", "Checksum", "1234", ini.c_str()));
  EXPECT_EQ(readRaw(ini), "[Base Info]\r\nChecksum=1234\r\n");
  ASSERT_TRUE(WritePrivateProfileString("Results List", "Port1", "PASS", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileString("base info", "CHECKSUM", "99", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileString(std::string("Base Info"), std::string("Other"), std::string("x"), ini));
  EXPECT_EQ(readRaw(ini), "[Base Info]\r\nChecksum=99\r\nOther=x\r\n[Results List]\r\nPort1=PASS\r\n");
}

TEST_F(Profile, RewritesKeepCommentsUnknownLinesAndBlankSeparators) {
  writeRaw(ini, "; header comment\norphan=before any section\n[A]\n# note\nx=1\njust some words\n\n[B]\ny=2");
  ASSERT_TRUE(WritePrivateProfileString("A", "z", "3", ini.c_str()));
  EXPECT_EQ(readRaw(ini),
            "; header comment\r\norphan=before any section\r\n[A]\r\n# note\r\nx=1\r\njust some words\r\nz=3\r\n"
            "\r\n[B]\r\ny=2\r\n");
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
  EXPECT_TRUE(WritePrivateProfileString("S", "k", nullptr, (dir / "none.ini").c_str()));
  EXPECT_FALSE(fs::exists(dir / "none.ini"));
}

TEST_F(Profile, WriteSectionReplacesTheBodyOrDeletesTheSection) {
  writeRaw(ini, "[A]\r\nold=1\r\n; c\r\n\r\n[B]\r\nb=1\r\n");
  ASSERT_TRUE(WritePrivateProfileSection("a", "new=2\0more = 3\0", ini.c_str()));
  EXPECT_EQ(readRaw(ini), "[A]\r\nnew=2\r\nmore = 3\r\n\r\n[B]\r\nb=1\r\n");
  ASSERT_TRUE(WritePrivateProfileSection("C", "c=1\0", ini.c_str()));
  EXPECT_EQ(get("C", "c"), "1");
  ASSERT_TRUE(WritePrivateProfileSection("B", nullptr, ini.c_str()));
  EXPECT_EQ(get("B", "b", "gone"), "gone");
  EXPECT_FALSE(WritePrivateProfileSection("A", "[X]\0", ini.c_str()));
}

TEST_F(Profile, LinesStartingWithBracketAreKeysWhenAnEqualsFollowsTheBracket) {
  writeRaw(ini,
           "[Error]\r\n[2024-05-06 08:09:10]   SlotNo:03   SN:x=S_x01\r\n[Results List] trailing text\r\n"
           "[05-06~07-08,03]=PASS\r\n");
  EXPECT_EQ(get("Error", "[2024-05-06 08:09:10]   SlotNo:03   SN:x"), "S_x01");
  EXPECT_EQ(get("Results List", "[05-06~07-08,03]"), "PASS");
  EXPECT_EQ(GetPrivateProfileSectionNames(ini), (Names{"Error", "Results List"}));
  // Two failures of one slot in the same second replace one key.
  const char* key = "[2024-05-06 08:09:11]   SlotNo:04   SN:y";
  ASSERT_TRUE(WritePrivateProfileString("Error", key, "M_x04", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileString("Error", key, "T_x02", ini.c_str()));
  EXPECT_EQ(GetPrivateProfileKeyNames("Error", ini).size(), 2u);
  EXPECT_EQ(get("Error", key), "T_x02");
}

TEST_F(Profile, BadNamesAndMissingFoldersFailAndLeaveTheFileAlone) {
  writeRaw(ini, "[S]\r\nk=1\r\n");
  EXPECT_FALSE(WritePrivateProfileString("S", "a=b", "1", ini.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(WritePrivateProfileString("S", "k", "two\r\nlines", ini.c_str()));
  EXPECT_FALSE(WritePrivateProfileString("S]", "k", "1", ini.c_str()));
  EXPECT_FALSE(WritePrivateProfileString("S", ";k", "1", ini.c_str()));
  EXPECT_FALSE(WritePrivateProfileString("S", "[open", "x]y", ini.c_str()));  // would read back as "[open=x]"
  EXPECT_FALSE(WritePrivateProfileString(nullptr, "k", "1", ini.c_str()));
  EXPECT_EQ(readRaw(ini), "[S]\r\nk=1\r\n");
  EXPECT_FALSE(WritePrivateProfileString("S", "k", "1", (dir / "no/such/folder/x.ini").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(fs::exists(dir / "no"));
  EXPECT_FALSE(WritePrivateProfileString("S", "k", "1", "\\\\.\\PhysicalDrive0"));
}

// As on a network file system without flock: the write fails rather than go
// ahead unguarded, and so does every write a refused ProfileWriteLock guards.
TEST_F(Profile, AFolderLockThatCannotBeHeldFailsTheWritesItGuards) {
  writeRaw(ini, "[S]\r\nk=1\r\n");
  platform::SetLockFault(
      [](const std::string&, platform::LockStep step) { return step == platform::LockStep::Lock ? ENOLCK : 0; });
  EXPECT_FALSE(WritePrivateProfileString("S", "k", "2", ini.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_LOCK_FAILED);
  {
    platform::ProfileWriteLock lock(ini);
    platform::SetLockFault({});
    EXPECT_EQ(lock.Error(), ERROR_LOCK_FAILED);
    EXPECT_EQ(lock.ErrorText(),
              "the folder " + fs::canonical(dir.path()).string() + " cannot be locked: No locks available");
    EXPECT_FALSE(WritePrivateProfileString("S", "k", "3", ini.c_str()));
  }
  EXPECT_EQ(readRaw(ini), "[S]\r\nk=1\r\n");
  EXPECT_TRUE(WritePrivateProfileString("S", "k", "4", ini.c_str()));
}

// After a termination request a script holding the folder a moment is waited
// for; a wait given up against a script that has let go since does not make a
// wait for a port of the same process holding the folder for a moment give
// way at once. In a child: the request is process-wide and never cleared.
TEST_F(Profile, EachLockWaitAfterATerminationRequestHasItsOwnGrace) {
  const pid_t child = kxtest::forkChild([&] {
    platform::RequestTermination();
    // The script lets go at the wait's second look.
    struct LetGoAtSecondLook final : platform::LockWaitPump {
      int fd = -1, looks = 0;
      void Waiting() override {
        if (++looks == 2) ::close(std::exchange(fd, -1));
      }
      void Ended() override {}
    };
    auto moment = std::make_shared<LetGoAtSecondLook>();
    moment->fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    if (moment->fd < 0 || ::flock(moment->fd, LOCK_EX) != 0) return 3;
    platform::SetLockWaitPump(moment);
    const bool waitedForScript = platform::ProfileWriteLock(ini).Error() == 0;
    platform::SetLockWaitPump(nullptr);
    if (moment->fd >= 0) ::close(moment->fd);
    if (!waitedForScript) return 5;
    const int script = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    if (script < 0 || ::flock(script, LOCK_EX) != 0) return 3;
    const bool gaveWay = platform::ProfileWriteLock(ini).Error() == ERROR_LOCK_FAILED;
    ::close(script);
    std::promise<void> held;
    std::thread port([&held, this] {
      platform::ProfileWriteLock lock(ini);
      held.set_value();
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    });
    held.get_future().wait();
    const bool waited = WritePrivateProfileString("S", "k", "1", ini.c_str());
    port.join();
    return !gaveWay ? 1 : !waited ? 2 : 0;
  });
  EXPECT_EQ(kxtest::waitExit(child), 0) << "1: the wait against the script did not give way; 2: the wait for the "
                                           "port gave way at once; 5: the wait for a script's moment gave way";
}

// Once a wait after a termination request gave way against a script, a later
// wait for the folder is answered at once: refused while the script keeps it,
// held once it let go. A stopped pass's records do not wait a second each.
TEST_F(Profile, AFolderAScriptKeptAfterATerminationRequestIsAnsweredAtOnce) {
  for (const bool letGo : {false, true}) {
    SCOPED_TRACE(letGo ? "the script let go" : "the script keeps it");
    const pid_t child = kxtest::forkChild([&] {
      platform::RequestTermination();
      const int script = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
      if (script < 0 || ::flock(script, LOCK_EX) != 0) return 3;
      if (platform::ProfileWriteLock(ini).Error() != ERROR_LOCK_FAILED) return 1;
      if (letGo) ::close(script);
      const auto start = std::chrono::steady_clock::now();
      const bool held = platform::ProfileWriteLock(ini).Error() == 0;
      if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(400)) return 2;
      return held == letGo ? 0 : 4;
    });
    EXPECT_EQ(kxtest::waitExit(child), 0) << "1: the first wait did not give way; 2: the later wait was not "
                                             "answered at once; 4: it was refused though let go, or held";
  }
}

// A wait after a termination request that gave way says why, not as an
// interrupted call: against a holder outside the process the first after its
// grace and a later one at once; against a port of the process that keeps the
// folder past the limit, that no other process is known to keep it. A write
// that failed in another folder is not told that reason.
TEST_F(Profile, ALockWaitGivenUpAfterATerminationRequestSaysWhy) {
  for (const bool outside : {true, false}) {
    SCOPED_TRACE(outside ? "a script keeps the folder" : "a port keeps it past the limit");
    const pid_t child = kxtest::forkChild([&] {
      platform::RequestTermination();
      std::promise<void> held, letGo;
      std::thread port;
      if (outside) {
        const int script = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
        if (script < 0 || ::flock(script, LOCK_EX) != 0) return 3;
      } else {
        platform::SetInsideHolderLimit(std::chrono::milliseconds(1));
        port = std::thread([&] {
          platform::ProfileWriteLock lock(ini);
          held.set_value();
          letGo.get_future().wait();
        });
        held.get_future().wait();
      }
      const std::string why = outside ? "another process keeps the folder and the program is ending"
                                      : "the program is ending and no other process is known to keep the folder";
      const auto toldSo = [&] { return platform::ProfileWriteLock(ini).ErrorText().ends_with(": " + why); };
      int result = !toldSo() ? 1 : outside && !toldSo() ? 2 : 0;
      fs::create_directory(dir / "other");
      if (result == 0 && platform::LockRefusalReason(ini) != why) result = 4;
      if (result == 0 && !platform::LockRefusalReason(dir / "other/test.ini").empty()) result = 5;
      if (port.joinable()) {
        letGo.set_value();
        port.join();
      }
      return result;
    });
    EXPECT_EQ(kxtest::waitExit(child), 0) << "1: the wait given up after its grace did not say why; 2: the wait "
                                             "given up at once did not; 4: the write's reason is not the wait's; 5: "
                                             "a write in another folder was told it";
  }
}

// The process counts the folder's holders through its ports' and a script's
// turns: before a stop a port hands the folder on to another that waits for
// it; after the stop a script holds the folder and a wait gives way to it;
// the script lets go and a port holds it past the second a holder outside
// gets, and a wait for that port goes on until the port lets go; the script
// holds the folder again, and a wait gives way to the script at once, saying
// so.
TEST_F(Profile, AFoldersHoldersAreCountedThroughAScriptsAndThePortsTurns) {
  const pid_t child = kxtest::forkChild([&] {
    const auto toldOutside = [this] {
      return platform::ProfileWriteLock(ini).ErrorText().ends_with(
          ": another process keeps the folder and the program is ending");
    };
    const auto flocked = [this] {
      const int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
      return fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? fd : -1;
    };
    // The second port lets the first go once it waits for it (its pump runs).
    struct HandOn final : platform::LockWaitPump {
      std::promise<void> waits;
      bool told = false;
      void Waiting() override {
        if (!std::exchange(told, true)) waits.set_value();
      }
      void Ended() override {}
    };
    auto handOn = std::make_shared<HandOn>();
    std::promise<void> firstHolds;
    std::thread first([&] {
      platform::ProfileWriteLock lock(ini);
      firstHolds.set_value();
      handOn->waits.get_future().wait();
    });
    firstHolds.get_future().wait();
    bool handedOn = false;
    std::thread second([&] {
      platform::SetLockWaitPump(handOn);
      handedOn = platform::ProfileWriteLock(ini).Error() == 0;
      platform::SetLockWaitPump(nullptr);
    });
    first.join();
    second.join();
    if (!handedOn) return 5;

    platform::RequestTermination();
    int script = flocked();
    if (script < 0) return 9;
    if (!toldOutside()) return 1;
    ::close(script);
    // Once the given-up wait's own flock has let go, the port's lock is taken at once.
    const int probe = flocked();
    if (probe < 0) return 9;
    ::close(probe);
    // The port lets go once the wait for it has gone on well past that second,
    // or once the wait is over.
    struct LetGoLate final : platform::LockWaitPump {
      std::promise<void> letGo;
      std::optional<std::chrono::steady_clock::time_point> since;
      bool done = false;
      void Waiting() override {
        const auto now = std::chrono::steady_clock::now();
        if (!since) since = now;
        if (now - *since > std::chrono::milliseconds(1500)) Ended();
      }
      void Ended() override {
        if (!std::exchange(done, true)) letGo.set_value();
      }
    };
    auto late = std::make_shared<LetGoLate>();
    std::promise<bool> held;
    std::thread port([&held, this, letGo = late->letGo.get_future()] {
      platform::ProfileWriteLock lock(ini);
      held.set_value(lock.Error() == 0);
      letGo.wait();
    });
    const bool portHeld = held.get_future().get();
    platform::SetLockWaitPump(late);
    const bool waitedForPort = platform::ProfileWriteLock(ini).Error() == 0;
    platform::SetLockWaitPump(nullptr);
    late->Ended();
    port.join();
    if (!portHeld) return 4;
    if (!waitedForPort) return 2;
    script = flocked();
    if (script < 0) return 9;
    const bool scriptToldOutside = toldOutside();
    ::close(script);
    return scriptToldOutside ? 0 : 3;
  });
  EXPECT_EQ(kxtest::waitExit(child), 0)
      << "1: the first wait did not give way to the script; 2: the wait for the port gave way; 3: the wait for the script holding again was not; 4: the port did not get the lock; 5: the "
         "waiting port did not get it from the other";
}

// After a stop, a wait for a port of the process, or for another station,
// that keeps the folder goes on through ten minutes and no longer: on a clock
// that moves 30 s at each look, the holder lets go at 9.5 minutes (the lock
// is got) or at 10.5 (the wait gave way before).
TEST_F(Profile, AWaitAfterAStopForAPortOrAStationGivesWayAfterTenMinutes) {
  for (const bool station : {false, true})
    for (const int letGoAt : {570, 630}) {
      SCOPED_TRACE(std::string(station ? "a station" : "a port") + " lets go at " + std::to_string(letGoAt) + " s");
      const pid_t child = kxtest::forkChild([&] {
        int letGo[2], holds[2];
        if (::pipe(letGo) != 0 || ::pipe(holds) != 0) return 9;
        // Tells 'h' once it holds the folder and 'r' once it let go.
        const auto hold = [this, &letGo, &holds] {
          platform::ProfileWriteLock lock(ini);
          char c = lock.Error() == 0 ? 'h' : 'x';
          if (::write(holds[1], &c, 1) != 1 || ::read(letGo[0], &c, 1) != 1) return 9;
          lock.Release();
          return ::write(holds[1], "r", 1) == 1 ? 0 : 9;
        };
        std::thread port;
        pid_t other = -1;
        if (station) {
          other = kxtest::forkChild(hold);
        } else {
          port = std::thread(hold);
        }
        char held = 0;
        if (::read(holds[0], &held, 1) != 1 || held != 'h') return 8;
        platform::RequestTermination();
        auto looks = std::make_shared<std::atomic<int>>(0);
        const auto start = std::chrono::steady_clock::now();
        platform::SetLockWaitClock([looks, start] { return start + std::chrono::seconds(30) * (*looks)++; });
        struct LetGoAt final : platform::LockWaitPump {
          std::shared_ptr<std::atomic<int>> looks;
          int at = 0, fd = -1, released = -1;
          void Waiting() override {
            // Before the look that would read the time at or past `at`.
            if (fd >= 0 && looks->load() * 30 >= at) Ended();
          }
          void Ended() override {
            char c = 0;
            if (fd >= 0 && (::write(std::exchange(fd, -1), "g", 1) != 1 || ::read(released, &c, 1) != 1 || c != 'r'))
              std::abort();
          }
        };
        auto pump = std::make_shared<LetGoAt>();
        pump->looks = looks;
        pump->at = letGoAt;
        pump->fd = letGo[1];
        pump->released = holds[0];
        platform::SetLockWaitPump(pump);
        const bool got = platform::ProfileWriteLock(ini).Error() == 0;
        platform::SetLockWaitPump(nullptr);
        pump->Ended();
        if (port.joinable()) port.join();
        if (other > 0 && kxtest::waitExit(other) != 0) return 7;
        return got == (letGoAt < 600) ? 0 : 1;
      });
      EXPECT_EQ(kxtest::waitExit(child), 0) << "1: the wait gave way before ten minutes, or went on past them";
    }
}

// Two stations share a folder on a slow disk: each record keeps it about
// 0.3 s and lets it go. One is stopped while the other's ports record; the
// stopped one's ports still wait their turn behind the other station, which
// is no script keeping the folder, and every record of both is written: a
// station known as a process of the program, and one out of the system's
// sight (on another PC) known by the folder changing while it holds it.
// The test reads the file as text, not through the profile calls: their
// watcher thread would make the next round fork from a process with threads.
TEST_F(Profile, AStoppedStationWaitsForAnotherStationRecordingIntoTheFolder) {
  for (const bool outOfSight : {false, true}) {
    SCOPED_TRACE(outOfSight ? "a station out of sight" : "a process of the program");
    constexpr int kPorts = 4, kRecords = 2;
    const auto slowDisk = [this](int signal) {
      auto told = std::make_shared<std::atomic<bool>>(signal < 0);
      platform::SetFlushFault([this, signal, told](const std::string& native) -> DWORD {
        if (fs::path(native).parent_path() != dir.path()) return 0;
        // The first record holds the folder.
        if (!told->exchange(true) && ::write(signal, "h", 1) != 1) return ERROR_GEN_FAILURE;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return 0;
      });
    };
    // Each port's records, a bit for each one not written.
    const auto ports = [this](const char* station, int records) {
      std::atomic<int> lost{0};
      std::vector<std::thread> threads;
      for (int p = 0; p < kPorts; ++p)
        threads.emplace_back([&, p] {
          for (int r = 0; r < records; ++r)
            if (!WritePrivateProfileString(station, ("p" + std::to_string(p) + "r" + std::to_string(r)).c_str(), "1",
                                           ini.c_str()))
              lost |= 1 << (p * records + r);
        });
      for (auto& t : threads) t.join();
      return lost.load();
    };
    int holds[2];
    ASSERT_EQ(::pipe(holds), 0);
    const pid_t recording = kxtest::forkChild([&] {
      ::close(holds[0]);
      if (outOfSight) ::prctl(PR_SET_NAME, "remote");
      slowDisk(holds[1]);
      return ports("Recording", kRecords);
    });
    ::close(holds[1]);
    const pid_t stopped = kxtest::forkChild([&] {
      char c;
      if (::read(holds[0], &c, 1) != 1) return 255;
      platform::RequestTermination();
      // Far above the other station's few seconds, and a holder that does not
      // let go makes the records lost rather than the test hang.
      platform::SetInsideHolderLimit(std::chrono::seconds(60));
      slowDisk(-1);
      return ports("Stopped", kRecords);
    });
    ::close(holds[0]);
    std::string hung;
    EXPECT_EQ(kxtest::waitExitWithin(stopped, std::chrono::seconds(150), hung), 0)
        << "a bit for each record of the stopped station not written " << hung;
    EXPECT_EQ(kxtest::waitExitWithin(recording, std::chrono::seconds(30), hung), 0)
        << "a bit for each record of the recording station not written " << hung;
    const std::string text = readRaw(ini);
    const auto records = [&text](const std::string& station) {
      const auto at = text.find("[" + station + "]\r\n");
      if (at == std::string::npos) return std::size_t{0};
      const auto end = std::min(text.find("\r\n[", at + 1), text.size());
      return static_cast<std::size_t>(std::count(text.begin() + static_cast<long>(at), text.begin() + static_cast<long>(end), '='));
    };
    EXPECT_EQ(records("Stopped"), std::size_t{kPorts * kRecords}) << text;
    EXPECT_EQ(records("Recording"), std::size_t{kPorts * kRecords}) << text;
    fs::remove(ini);
  }
}

// A wait of the thread that set the pump runs it until the lock is got (here
// the pump itself lets the holder go) and tells it once that the wait ended;
// another thread's wait for the same folder only waits.
TEST_F(Profile, AThreadsLockWaitRunsItsPumpAndNoOtherThreads) {
  struct Pump final : platform::LockWaitPump {
    std::atomic<int> holder{-1};
    int waiting = 0;
    int ended = 0;
    std::atomic<int> foreign{0};  // calls on another thread
    std::thread::id owner = std::this_thread::get_id();
    void Waiting() override {
      if (std::this_thread::get_id() != owner) {
        ++foreign;
        return;
      }
      if (++waiting == 5) LetGo();
    }
    void LetGo() {
      if (const int fd = holder.exchange(-1); fd >= 0) ::close(fd);
    }
    void Ended() override { ended += std::this_thread::get_id() == owner ? 1 : 100; }
  };
  auto pump = std::make_shared<Pump>();
  pump->holder = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(pump->holder, LOCK_EX), 0);
  platform::SetLockWaitPump(pump);
  std::thread port([this] { platform::ProfileWriteLock lock(ini); });
  std::this_thread::sleep_for(std::chrono::milliseconds(60));  // the port waits too
  // Let go in any case, so that a pump never run fails the test instead of hanging it.
  std::promise<void> over;
  std::thread later([pump, ended = over.get_future()] {
    ended.wait_for(std::chrono::seconds(3));
    pump->LetGo();
  });
  const win::DWORD error = platform::ProfileWriteLock(ini).Error();
  over.set_value();
  port.join();
  later.join();
  platform::SetLockWaitPump(nullptr);
  EXPECT_EQ(error, 0u);
  EXPECT_GE(pump->waiting, 5);
  EXPECT_EQ(pump->ended, 1);
  EXPECT_EQ(pump->foreign.load(), 0);
}

TEST_F(Profile, OddLinesReadSafelyAndSurviveARewrite) {
  const struct {
    const char* what;
    std::string file;
    const char* section;
    const char* key;
    std::string value;
    std::string afterWrite;  // once "w=1" is written to that section
  } cases[] = {
      {"binary bytes, NULs and no final line end",
       std::string("garbage\x01\xff no equals\n[S]\nk=v\xA1\xF5\n") + std::string(2, '\0') +
           "zero=1\n[unterminated\n=no name\nlast=x",
       "S", "k", "v\xA1\xF5",
       std::string("garbage\x01\xff no equals\r\n[S]\r\nk=v\xA1\xF5\r\n") + std::string(2, '\0') +
           "zero=1\r\n[unterminated\r\n=no name\r\nlast=x\r\nw=1\r\n"},
      {"a byte-order mark and a 100,000-character line",
       "\xEF\xBB\xBF[S]\r\nk=" + std::string(100000, 'h') + "\r\n", "S", "k", std::string(100000, 'h'),
       "\xEF\xBB\xBF[S]\r\nk=" + std::string(100000, 'h') + "\r\nw=1\r\n"},
      {"a lone CR ends a line", "[A]\rk=1\rm=2\r\n[S]\nn=3\r\ro=4", "S", "o", "4",
       "[A]\r\nk=1\r\nm=2\r\n[S]\r\nn=3\r\n\r\no=4\r\nw=1\r\n"},
      {"'#' starts a key, ';' a comment", "[S]\r\n#key = 1\r\n;k=2\r\n", "S", "#key", "1",
       "[S]\r\n#key = 1\r\n;k=2\r\nw=1\r\n"},
      {"keys before any section belong to none", "a=1\nb=2\n", "", "a", "",
       "a=1\r\nb=2\r\n[S]\r\nw=1\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeRaw(ini, c.file);
    EXPECT_EQ(get(c.section, c.key, "", 100001), c.value);
    ASSERT_TRUE(WritePrivateProfileString("S", "w", "1", ini.c_str()));
    EXPECT_EQ(readRaw(ini), c.afterWrite);
  }
}

// A key set in a text (changed in place where every line ends in CR LF) gives
// the bytes a write of the file gives; an added key only where it is missing.
// A key whose name begins with the one written is another key.
TEST_F(Profile, KeysSetInATextMatchTheFileWriteByteForByte) {
  const struct {
    std::string text;
    const char* section;
    const char* key;
    const char* expected = nullptr;  // the text after the write, where it is pinned
  } cases[] = {
      {"[A]\r\nx=1\r\n\r\n \t\r\n[B]\r\ny=2\r\n", "A", "z"},     // before the blank lines after the body
      {"[A]\r\n  X = 1 \r\nx=2\r\n[B]\r\n", "a", "x"},           // the first, in its stored spelling
      {"[A]\r\nx=1\r\n[B]\r\ny=2\r\n[a]\r\nz=3\r\n", "a", "z"},  // the first section of the name only
      {"[A]\r\n", "A", "k"},
      {"\xEF\xBB\xBF[A]\r\nk=1\r\n", "B", "k"},
      {"", "A", "k"},
      {"[A]\r\nk=1\r\n[B]\ny=2\n", "A", "k"},  // a line end to rewrite after the key
      {"[A]\r\nk=1\r\n[B]\r\ny=2\rz=3\r\n", "A", "m"},
      {"[A]\r\nk=1", "A", "m"},
      {"[A]\r\nxy=1\r\n", "A", "x", "[A]\r\nxy=1\r\nx=new\r\n"},
      {"[A]\r\nXY=1\r\nx = 2\r\n", "a", "x", "[A]\r\nXY=1\r\nx=new\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    writeRaw(ini, c.text);
    const bool there = get(c.section, c.key, "\n") != "\n";  // no value holds a line end
    ASSERT_TRUE(WritePrivateProfileString(c.section, c.key, "new", ini.c_str()));
    if (c.expected != nullptr) {
      EXPECT_EQ(readRaw(ini), c.expected);
    }
    std::string set = c.text;
    ASSERT_EQ(platform::SetProfileKey(set, c.section, c.key, "new"), 0u);
    EXPECT_EQ(set, readRaw(ini));
    std::string added = c.text;
    EXPECT_EQ(platform::AddProfileKey(added, c.section, c.key, "new"), there ? ERROR_ALREADY_EXISTS : 0u);
    EXPECT_EQ(added, there ? c.text : set);
  }
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
         fs::rename(dir / "a", dir / "a.old");
         fs::create_directories(dir / "a/b");
         writeRaw(nested, "[S]\r\nk=new\r\n");
         kxtest::ageFile(nested);
         return 0;
       },
       "new"},
  };
  const auto seenOnceReported = [&](const std::string& expected) {
    std::string seen;
    for (int i = 0; i < 10000 && seen != expected; ++i) {  // bounded: the report normally comes within a millisecond
      std::this_thread::sleep_for(std::chrono::milliseconds(i ? 1 : 0));
      seen = GetPrivateProfileString("S", "k", "gone", nested);
    }
    return seen;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir / "a.old");
    fs::create_directories(dir / "a/b");
    // Written by other means than the profile calls, so seen once reported too.
    writeRaw(nested, "[S]\r\nk=old\r\n");
    kxtest::ageFile(nested);
    EXPECT_EQ(seenOnceReported("old"), "old");
    ASSERT_EQ(kxtest::waitExit(kxtest::forkChild(c.change)), 0);
    EXPECT_EQ(seenOnceReported(c.expected), c.expected);
  }
}

TEST_F(Profile, PathsAreMappedFollowTheWorkingFolderAndKeepPermissions) {
  for (const std::string sub : {"one", "two"}) {
    fs::create_directories(dir / (sub + "/Configuration/System"));
    const std::string file = dir / (sub + "/Configuration/System/MPToolSetting.ini");
    writeRaw(file, "[General Info]\r\nSlot=" + sub + "\r\n");
    ::chmod(file.c_str(), 0640);
    kxtest::ageFile(file);
  }
  const char* path = ".\\configuration\\SYSTEM\\mptoolsetting.INI";
  kxtest::ScopedCwd one(dir / "one");
  EXPECT_EQ(GetPrivateProfileString("General Info", "Slot", "", path), "one");
  {
    kxtest::ScopedCwd two(dir / "two");
    EXPECT_EQ(GetPrivateProfileString("General Info", "Slot", "", path), "two");
  }
  ASSERT_TRUE(WritePrivateProfileString("General Info", "Slot", "24", path));
  EXPECT_EQ(GetPrivateProfileString("General Info", "Slot", "", ".\\Configuration\\System\\MPToolSetting.ini"), "24");
  struct stat st;
  ASSERT_EQ(::stat("Configuration/System/MPToolSetting.ini", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// ---------------------------------------------------------------- threads, processes and faults

// Writers spelling the path two ways into one log while a reader keeps reading
// it: no key is lost and the reader never sees a torn file.
TEST_F(Profile, ConcurrentWritersLoseNothingAndReadersNeverSeeATornFile) {
  constexpr int kThreads = 24, kWrites = 200;
  ASSERT_TRUE(WritePrivateProfileString("Tail", "Present", "1", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileString("Data", "seed", "0", ini.c_str()));  // after "Tail": a cut file loses it
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    for (std::size_t seen = 0; !done.load();) {  // a key count going back is a stale read
      const auto names = GetPrivateProfileSectionNames(ini);
      const std::size_t keys = GetPrivateProfileKeyNames("Data", ini).size();
      if (GetPrivateProfileString("Tail", "Present", "", ini) != "1" || names.empty() || names.back() != "Data" ||
          keys < seen)
        ++torn;
      seen = keys;
    }
  });
  const std::string otherSpelling = dir.path() + "\\\\TEST.INI";
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kWrites; ++i) {
        const std::string key = "T" + std::to_string(t) + "_K" + std::to_string(i);
        WritePrivateProfileString("Data", key.c_str(), "1", (t % 2 ? otherSpelling : ini).c_str());
      }
    });
  }
  for (auto& w : writers) w.join();
  done = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(GetPrivateProfileKeyNames("Data", ini).size(), static_cast<std::size_t>(kThreads * kWrites + 1));
}

// Writers spelling a file that does not exist yet in different cases all land
// in one file, as on Windows.
TEST_F(Profile, WritersCreatingOneFileUnderDifferentSpellingsShareIt) {
  constexpr int kThreads = 8;
  for (int round = 0; round < 40; ++round) {
    const std::string name = "new" + std::to_string(round) + ".ini";
    std::atomic<int> ready{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&, t] {
        std::string spelled = name;
        for (std::size_t i = 0; i < spelled.size(); ++i)
          if ((t >> (i % 3)) & 1) spelled[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(spelled[i])));
        for (++ready; ready.load() < kThreads;) {
        }
        WritePrivateProfileString("S", ("T" + std::to_string(t)).c_str(), "1", (dir / spelled).c_str());
      });
    }
    for (auto& w : writers) w.join();
    ASSERT_EQ(kxtest::listNames(dir.path()).size(), static_cast<std::size_t>(round + 1)) << name;
    ASSERT_EQ(GetPrivateProfileKeyNames("S", dir / name).size(), static_cast<std::size_t>(kThreads)) << name;
  }
}

// Two processes write one INI at once, each also replacing a file of its own in
// the same folder: every key is there, and no write fails because the other's
// cleanup took its temporary file.
TEST_F(Profile, TwoProcessesWritingOneIniLoseNothing) {
  constexpr int kKeys = 400;
  auto writer = [&](int p) {
    return [&, p] {
      int failed = 0;
      for (int i = 0; i < kKeys; ++i) {
        const std::string key = "P" + std::to_string(p) + "_K" + std::to_string(i);
        failed += !WritePrivateProfileString("Data", key.c_str(), "1", ini.c_str());
        failed += platform::WriteFileBytes(dir / ("own" + std::to_string(p) + ".txt"), key) != 0;
      }
      return failed > 0 ? 1 : 0;
    };
  };
  const pid_t a = kxtest::forkChild(writer(0));
  const pid_t b = kxtest::forkChild(writer(1));
  EXPECT_EQ(kxtest::waitExit(a), 0);
  EXPECT_EQ(kxtest::waitExit(b), 0);
  EXPECT_EQ(GetPrivateProfileKeyNames("Data", ini).size(), static_cast<std::size_t>(2 * kKeys));
  EXPECT_EQ(kxtest::listNames(dir.path()), (Names{"own0.txt", "own1.txt", "test.ini"}));
}

// A writer stopped part way keeps its temporary file while it lives; killed, it
// leaves the file behind until the folder is next written.
TEST_F(Profile, AWriterKilledMidWriteLeavesNoTemporaryFileOnceTheFolderIsNextWritten) {
  writeRaw(ini, "[S]\r\nk=1\r\n");
  const pid_t child = ::fork();
  if (child == 0) {  // the write passes the file size limit part way and the process stops there
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
  EXPECT_EQ(platform::WriteFileBytes(dir / "other.txt", "x"), 0u);  // leaves the live writer's file alone
  EXPECT_EQ(kxtest::listNames(dir.path()).size(), 3u);
  ::kill(child, SIGKILL);
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WritePrivateProfileString("S", "k", "2", ini.c_str()));
  EXPECT_EQ(kxtest::listNames(dir.path()), (Names{"other.txt", "test.ini"}));
  EXPECT_EQ(readRaw(ini), "[S]\r\nk=2\r\n");
}

// Only a temporary's own shape (".~kx" and six letters or digits) is taken for
// a killed writer's leftover: a user's file of the same length stays.
TEST_F(Profile, OnlyATemporarysShapeIsSweptAsALeftover) {
  writeRaw(dir / ".~kxAb3xY9", "left");
  writeRaw(dir / ".~kx-notes", "mine");
  writeRaw(dir / ".~kx a.b.c", "mine");
  ASSERT_TRUE(WritePrivateProfileString("S", "k", "1", ini.c_str()));
  EXPECT_EQ(kxtest::listNames(dir.path()), (Names{".~kx a.b.c", ".~kx-notes", "test.ini"}));
}

// 20 MB of blank lines, read and rewritten within six times the file's size of
// address space.
TEST_F(Profile, ADegenerateFileCostsASmallMultipleOfItsSize) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves address space beyond any limit";
#else
  constexpr std::size_t kSize = 20u << 20;
  std::string blank;
  for (blank.reserve(kSize + 16); blank.size() < kSize;) blank += "\r\n";
  writeRaw(ini, blank + "[S]\r\nk=1\r\n");
  blank = {};
  const pid_t child = kxtest::forkChild([&] {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    // Six times the file, plus room for a thread's stack and malloc arena (64 MiB
    // each when threads contend): far below the gigabytes the file once cost.
    constexpr rlim_t kThreadRoom = 256u << 20;
    const rlim_t limit =
        static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + 6 * kSize + kThreadRoom;
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
