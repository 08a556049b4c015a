#include "legacy/TextUtilities.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "platform/Files.h"
#include "tests/support/ScratchFolder.h"

namespace kx {
namespace {

TEST(TextUtilities, GetField) {
  struct Row {
    const char* text;
    int index;
    const char* field;
  } rows[] = {{"a,b,,c", 0, "a"}, {"a,b,,c", 1, "b"},  {"a,b,,c", 2, ""},       {"a,b,,c", 3, "c"},
              {"a,b,,c", 4, ""},  {" a , b ", 1, "b"}, {"no comma", 0, ""},     {"a,b,", 2, ""},
              {"a,b,", 1, "b"},   {"x,y", -1, ""}};
  for (const Row& row : rows) EXPECT_EQ(GetField(row.text, ",", row.index), row.field) << row.text << " " << row.index;
  EXPECT_EQ(GetField("a,b", "", 0), "");
}

std::string Encode(const std::string& bytes) {
  std::vector<char> buffer(4 * ((bytes.size() + 2) / 3) + 1, '#');
  std::memcpy(buffer.data(), bytes.data(), bytes.size());
  Base64EncodeInPlace(buffer.data(), bytes.size());
  return buffer.data();
}

std::string Decode(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  std::size_t length = buffer.size();
  Base64DecodeInPlace(buffer.data(), length);
  EXPECT_LE(length, text.size());
  return std::string(buffer.data(), length);
}

TEST(TextUtilities, Base64RoundTrips) {
  struct Row {
    std::string bytes;
    const char* text;
  } rows[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {std::string("\xff\x00\x80", 3), "/wCA"}};
  for (const Row& row : rows) {
    EXPECT_EQ(Encode(row.bytes), row.text);
    EXPECT_EQ(Decode(row.text), row.bytes) << row.text;
  }
}

TEST(TextUtilities, EncoderTakesInputBeyondTheOldScratch) {
  const std::string big(200000, 'x');
  const std::string text = Encode(big);
  EXPECT_EQ(text.size(), 4 * ((big.size() + 2) / 3));
  EXPECT_EQ(Decode(text), big);
}

TEST(TextUtilities, DecoderStaysWithinTheText) {
  // Lengths that are no multiple of four and more pads than bytes.
  struct Row {
    const char* text;
    std::size_t length;
  } rows[] = {{"Zm9vY", 5}, {"Zg", 2}, {"====", 0}, {"Z===", 0}, {"A", 1}};
  for (const Row& row : rows) {
    std::vector<char> buffer(row.text, row.text + std::strlen(row.text));
    std::size_t length = buffer.size();
    Base64DecodeInPlace(buffer.data(), length);
    EXPECT_EQ(length, row.length) << row.text;
  }
}

class EncodeFile : public kxtest::DeviceTestEnv {
 protected:
  kxtest::ScratchFolder scratch_{"encodefile"};
};

TEST_F(EncodeFile, BlankLinesAreSkippedAndEachLineEndsInCrLf) {
  ASSERT_EQ(platform::WriteFileBytes("C:\\in.txt", "\r\n   \r\n  foo \r\n"), 0u);
  EXPECT_EQ(EncodeTextFile(" C:\\in.txt ", "C:\\out.txt"), "foo");
  EXPECT_EQ(ReadAll("C:\\out.txt"), "Zm9v\r\n");
}

TEST_F(EncodeFile, LongLinesGoInPiecesOf1023) {
  ASSERT_EQ(platform::WriteFileBytes("C:\\in.txt", std::string(1023, 'a') + "bcd\n"), 0u);
  EncodeTextFile("C:\\in.txt", "C:\\out.txt");
  EXPECT_EQ(ReadAll("C:\\out.txt"), Encode(std::string(1023, 'a')) + "\r\n" + Encode("bcd") + "\r\n");
}

TEST_F(EncodeFile, AMissingSourceDeletesNothing) {
  ASSERT_EQ(platform::WriteFileBytes("C:\\out.txt", "keep"), 0u);
  EncodeTextFile("C:\\missing.txt", "C:\\out.txt");
  EXPECT_EQ(ReadAll("C:\\out.txt"), "keep");
}

// A source that is no regular file, or a destination that is none, leaves
// the destination as it was, and nothing waits on a FIFO.
TEST_F(EncodeFile, OnlyRegularFilesAreReadAndReplaced) {
  ASSERT_EQ(platform::WriteFileBytes("C:\\in.txt", "foo\r\n"), 0u);
  MakeDirs("C:\\folder");
  ASSERT_EQ(::mkfifo(Native("C:\\pipe").c_str(), 0644), 0);
  struct Row {
    const char* source;
    const char* destination;
  } rows[] = {{"C:\\folder", "C:\\out.txt"}, {"C:\\pipe", "C:\\out.txt"}, {"C:\\in.txt", "C:\\pipe"}};
  for (const Row& row : rows) {
    ASSERT_EQ(platform::WriteFileBytes("C:\\out.txt", "keep"), 0u);
    EXPECT_EQ(EncodeTextFile(row.source, row.destination), "") << row.source << " " << row.destination;
    EXPECT_EQ(ReadAll("C:\\out.txt"), "keep") << row.source << " " << row.destination;
  }
  struct stat st;
  ASSERT_EQ(::stat(Native("C:\\pipe").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

}  // namespace
}  // namespace kx
