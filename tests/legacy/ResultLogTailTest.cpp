// The result dialog's report follower on files.
#include <gtest/gtest.h>

#include <fstream>

#include "legacy/ResultLogTail.h"
#include "tests/support/ScratchFolder.h"

namespace {

using legacy::CResultLogTail;
using legacy::TailUpdate;

// A list box as the dialog keeps it.
struct List {
  std::vector<std::string> entries;
  int selected = -1;
  void Apply(const TailUpdate& u) {
    if (u.clear) entries.clear();
    entries.insert(entries.end(), u.append.begin(), u.append.end());
    if (u.selectLast) selected = static_cast<int>(entries.size()) - 1;
  }
};

std::string Lines(int from, int to) {
  std::string text;
  for (int i = from; i <= to; ++i) text += "line " + std::to_string(i) + "\r\n";
  return text;
}

class ResultLogTailTest : public ::testing::Test {
 protected:
  kxtest::ScratchFolder scratch_{"ResultLogTail"};
  std::filesystem::path file_ = scratch_.Root() / "PC_1_Report.txt";
  CResultLogTail tail_;
  List list_;

  void Write(const std::string& text) { std::ofstream(file_, std::ios::binary | std::ios::trunc) << text; }
  void Poll() { list_.Apply(tail_.PollFile(file_.string(), static_cast<int>(list_.entries.size()))); }
};

TEST_F(ResultLogTailTest, AppendsNewLinesAndSelectsTheLast) {
  Write(Lines(1, 3));
  Poll();
  Write(Lines(1, 5));
  Poll();
  ASSERT_EQ(list_.entries.size(), 5u);
  EXPECT_EQ(list_.entries[3], "line 4");
  EXPECT_EQ(list_.selected, 4);
}

TEST_F(ResultLogTailTest, ShorterFileEmptiesThenRefillsFromTheTop) {
  Write(Lines(1, 10));
  Poll();
  Write(Lines(1, 2));
  Poll();
  EXPECT_TRUE(list_.entries.empty());
  Write(Lines(1, 3));
  Poll();
  EXPECT_EQ(list_.entries, (std::vector<std::string>{"line 1", "line 2", "line 3"}));
}

TEST_F(ResultLogTailTest, MissingFileIsLookedForAgain) {
  Poll();
  EXPECT_TRUE(list_.entries.empty());
  Write("first\n");
  Poll();
  EXPECT_EQ(list_.entries, (std::vector<std::string>{"first"}));
}

TEST_F(ResultLogTailTest, UnchangedFileIsNotReadAgain) {
  Write(Lines(1, 2));
  Poll();
  list_.entries.clear();  // a list that forgot: only a change brings lines back
  Poll();
  EXPECT_TRUE(list_.entries.empty());
}

TEST_F(ResultLogTailTest, EmptyLinesBetweenNewLinesAreKeptAndCounted) {
  Write("a\n");
  Poll();
  Write("a\n\nb\n\nc\n");
  Poll();
  Write("a\n\nb\n\nc\nd\n");
  Poll();
  EXPECT_EQ(list_.entries, (std::vector<std::string>{"a", "", "b", "", "c", "d"}));
}

TEST(ResultLogTailEntries, PiecesAndTrimming) {
  const std::string longLine(300, 'x');
  const auto entries = CResultLogTail::Entries(longLine + "\r\nend  \t\r\n");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].size(), 254u);
  EXPECT_EQ(entries[1].size(), 46u);
  EXPECT_EQ(entries[2], "end");
}

TEST(ResultLogTailPoll, SameTimeOtherSizeIsAChange) {
  CResultLogTail tail;
  const auto a = tail.Poll({true, 7, 4}, 0, [] { return std::optional<std::string>("one\n"); });
  const auto b = tail.Poll({true, 7, 8}, 1, [] { return std::optional<std::string>("one\ntwo\n"); });
  EXPECT_EQ(b.append, (std::vector<std::string>{"two"})) << a.append.size();
}

TEST(ResultLogTailPoll, UnreadableFileIsTriedAgain) {
  CResultLogTail tail;
  tail.Poll({true, 7, 4}, 0, [] { return std::optional<std::string>(); });
  const auto again = tail.Poll({true, 7, 4}, 0, [] { return std::optional<std::string>("one\n"); });
  EXPECT_EQ(again.append, (std::vector<std::string>{"one"}));
}

}  // namespace
