#include "device/Format.h"

#include <gtest/gtest.h>

#include "platform/Debug.h"

namespace {

TEST(Format, StrFormatHasNoLengthLimit) {
  EXPECT_EQ(kx::StrFormat("%d-%s", 7, "ok"), "7-ok");
  EXPECT_EQ(kx::StrFormat("%s!", std::string(300, 'x').c_str()), std::string(300, 'x') + "!");
}

TEST(Format, DebugTraceCutsAt259CharactersAndEndsTheLine) {
  platform::DebugCapture capture;
  kx::DebugTrace("port-%d - %s", 3, "ok");
  kx::DebugTrace("%s", std::string(400, 'x').c_str());
  ASSERT_EQ(capture.Texts().size(), 2u);
  EXPECT_EQ(capture.Texts()[0], "port-3 - ok\r\n");
  EXPECT_EQ(capture.Texts()[1], std::string(259, 'x') + "\r\n");
}

}  // namespace
