#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "legacy/SnmpValues.h"
#include "legacy/TraceSender.h"
#include "platform/Memory.h"

namespace {

// A viewer that takes one block and confirms it.
class Viewer {
 public:
  Viewer() {
    fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = TraceViewerName();
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0 && ::listen(fd_, 1) == 0;
    if (bound_) thread_ = std::thread([this] { Serve(); });
  }
  ~Viewer() {
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  bool Bound() const { return bound_; }
  void Wait() { thread_.join(); }
  ssize_t received = -1;
  char block[512] = {};

 private:
  void Serve() {
    const int client = ::accept(fd_, nullptr, nullptr);
    if (client < 0) return;
    received = ::recv(client, block, sizeof block, 0);
    const char receipt = 1;
    ::send(client, &receipt, 1, MSG_NOSIGNAL);
    ::close(client);
  }
  int fd_ = -1;
  bool bound_ = false;
  std::thread thread_;
};

class TraceSender : public ::testing::Test {
 protected:
  TraceSender() {
    SetTraceViewerName("kx-trace-test-" + std::to_string(::getpid()) + "-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  ~TraceSender() override { SetTraceViewerName(""); }
};

TEST(TraceSenderName, IsTheViewersClassAndTitle) { EXPECT_EQ(TraceViewerName(), "TMainFrame/TRACE Window"); }

TEST_F(TraceSender, HexArrivesAsOneFullBlock) {
  Viewer viewer;
  ASSERT_TRUE(viewer.Bound());
  SendTraceHex(255);
  viewer.Wait();
  EXPECT_EQ(viewer.received, 255);
  EXPECT_STREQ(viewer.block, "0xff");
}

TEST_F(TraceSender, LongTextIsCutWithItsTerminatorInTheBlock) {
  Viewer viewer;
  ASSERT_TRUE(viewer.Bound());
  const std::string text(300, 'x');
  EXPECT_TRUE(SendTraceBlock(text.c_str()));
  viewer.Wait();
  EXPECT_EQ(viewer.received, 255);
  EXPECT_EQ(std::string(viewer.block), std::string(254, 'x'));
}

TEST_F(TraceSender, WithoutAViewerTheLineIsDropped) { EXPECT_FALSE(SendTraceBlock("nobody")); }

TEST_F(TraceSender, WideTextArrivesAsUtf8) {
  Viewer viewer;
  ASSERT_TRUE(viewer.Bound());
  SendTraceWide(u"Gr\u00fc\u00dfe \u20ac \U0001F600 \xD800!");
  viewer.Wait();
  EXPECT_STREQ(viewer.block, "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80 ?!");
}

TEST_F(TraceSender, WideTextIsCutBetweenCharacters) {
  Viewer viewer;
  ASSERT_TRUE(viewer.Bound());
  const std::u16string text(200, u'\u00e9');  // two bytes each
  SendTraceWide(text.c_str());
  viewer.Wait();
  std::string expected;
  for (int i = 0; i < 127; ++i) expected += "\xC3\xA9";
  EXPECT_EQ(std::string(viewer.block), expected);
}

TEST_F(TraceSender, ANameTooLongForTheAddressIsRefused) {
  SetTraceViewerName(std::string(sizeof(sockaddr_un::sun_path), 'n'));
  EXPECT_FALSE(SendTraceBlock("x"));
}

// A viewer whose queue is full and that never accepts holds the sender no
// longer than the receipt time; without the limit the connection waits for ever.
TEST_F(TraceSender, AViewerThatStopsAcceptingDoesNotHoldTheSender) {
  const int server = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string name = TraceViewerName();
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  ASSERT_EQ(::bind(server, reinterpret_cast<const sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(server, 0), 0);
  std::vector<int> waiting;
  for (int i = 0; i < 8; ++i) {
    const int client = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (::connect(client, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
      ::close(client);
      break;
    }
    waiting.push_back(client);
  }
  EXPECT_FALSE(SendTraceBlock("x"));
  for (int client : waiting) ::close(client);
  ::close(server);
}

AsnObjectIdentifier Oid(std::initializer_list<win::UINT> ids, std::vector<win::UINT>& storage) {
  storage.assign(ids);
  return {static_cast<win::UINT>(storage.size()), storage.data()};
}

TEST(SnmpValues, OidCompareN) {
  std::vector<win::UINT> sa, sb;
  struct Row {
    std::initializer_list<win::UINT> a, b;
    win::UINT n;
    int result;
  } rows[] = {{{1, 3, 6}, {1, 3, 6, 1}, 4, 0},
              {{1, 3, 5}, {1, 3, 6}, 3, -1},
              {{1, 3, 7}, {1, 3, 6}, 3, 1},
              {{1, 9}, {1, 3}, 1, 0},
              {{0x80000000u}, {1}, 1, 1}};  // a signed difference would say -1
  for (const Row& row : rows) {
    const AsnObjectIdentifier a = Oid(row.a, sa), b = Oid(row.b, sb);
    EXPECT_EQ(OidCompareN(&a, &b, row.n), row.result) << row.n;
  }
}

TEST(SnmpValues, CopyAndFree) {
  std::vector<win::UINT> storage;
  const AsnObjectIdentifier source = Oid({1, 3, 6, 1}, storage);
  AsnObjectIdentifier copy;
  ASSERT_EQ(OidCopy(&copy, &source), 1);
  EXPECT_EQ(copy.idLength, 4u);
  EXPECT_EQ(OidCompareN(&copy, &source, 4), 0);
  OidFree(&copy);
  EXPECT_EQ(copy.ids, nullptr);
  EXPECT_EQ(copy.idLength, 0u);
}

TEST(SnmpValues, CopyWithoutMemorySetsLastErrorOne) {
  std::vector<win::UINT> storage;
  const AsnObjectIdentifier source = Oid({1, 3}, storage);
  AsnObjectIdentifier copy{7, nullptr};
  platform::FailNextGlobalAllocation();
  EXPECT_EQ(OidCopy(&copy, &source), 0);
  EXPECT_EQ(win::GetLastError(), 1u);
  EXPECT_EQ(copy.ids, nullptr);
  EXPECT_EQ(copy.idLength, 7u);
}

TEST(SnmpValues, VarBindFreeByType) {
  std::vector<win::UINT> storage;
  const AsnObjectIdentifier name = Oid({1, 3}, storage);
  SnmpVarBind integer;
  ASSERT_EQ(OidCopy(&integer.name, &name), 1);
  integer.value.asnType = ASN_INTEGER;
  integer.value.asnValue.number = 5;
  VarBindFree(&integer);
  EXPECT_EQ(integer.name.ids, nullptr);
  EXPECT_EQ(integer.value.asnType, ASN_NULL);
  EXPECT_EQ(integer.value.asnValue.number, 5);

  win::BYTE bytes[2] = {1, 2};
  SnmpVarBind fixed;
  ASSERT_EQ(OidCopy(&fixed.name, &name), 1);
  fixed.value.asnType = ASN_OCTETSTRING;
  fixed.value.asnValue.string = {bytes, 2, win::FALSE};
  VarBindFree(&fixed);
  EXPECT_EQ(fixed.value.asnValue.string.stream, bytes);  // not ours to free

  SnmpVarBind owned;
  ASSERT_EQ(OidCopy(&owned.name, &name), 1);
  owned.value.asnType = ASN_OBJECTIDENTIFIER;
  ASSERT_EQ(OidCopy(&owned.value.asnValue.object, &name), 1);
  VarBindFree(&owned);
  EXPECT_EQ(owned.value.asnValue.object.ids, nullptr);  // freed (ASan checks the rest)
}

}  // namespace
