// Golden command recipes: for each member, the tester form it must build, and
// how that form must travel in each send mode. The checker derives the expected
// request of every mode from the recipe and compares it with what the recording
// back end saw.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "command/DriveCommand.h"
#include "tests/command/FakeDevice.h"

namespace kxtest {

enum class Path { ThreePath, DirectOnly, Raw, FourPath };
enum class Mode { TesterDirect, Bridge, SataFlag0, SataFlag1 };

constexpr std::uint32_t kLong = 360;
constexpr std::uint32_t kDefault = 30;

struct Golden {
  std::string name;
  std::function<bool(CDriveCommand&, std::uint8_t*)> call;
  std::vector<std::uint8_t> form;  // tester form, bytes 0..11
  int direction;                   // kx::kDirNone / In / Out
  std::uint32_t length;
  Path path;
  std::uint32_t timeOut = kDefault;
  bool dma = false;
  bool is48 = false;
  // Four-path members in tester-direct mode: data sent and time-out.
  bool testerData = false;
  std::uint32_t testerTimeOut = kDefault;
};

inline const char* ModeName(Mode m) {
  switch (m) {
    case Mode::TesterDirect: return "tester-direct";
    case Mode::Bridge: return "bridge";
    case Mode::SataFlag0: return "SATA port, flag 0";
    case Mode::SataFlag1: return "SATA port, flag 1";
  }
  return "?";
}

inline void SetMode(Mode m, int driveNo) {
  g_KX_U2A = m == Mode::TesterDirect ? 0 : 1;
  g_SataPortMode = (m == Mode::SataFlag0 || m == Mode::SataFlag1) ? 1 : 0;
  kx::ClearAtaPassThroughOk();
  kx::SetAtaPassThroughOk(driveNo, m == Mode::SataFlag1);
}

inline std::vector<std::uint8_t> Translated(std::vector<std::uint8_t> form, int driveNo) {
  form.resize(16, 0);
  CDriveCommand oracle(driveNo);
  oracle.TranslateToSat(form.data());
  return form;
}

// Runs one recipe in one mode and checks the single request it made.
inline void CheckGolden(FakeBackend& backend, const Golden& g, Mode mode, int driveNo, std::uint8_t* buffer) {
  SCOPED_TRACE(g.name + " in " + ModeName(mode));
  SetMode(mode, driveNo);
  const auto before = backend.Requests().size();
  CDriveCommand cmd(driveNo);
  ASSERT_TRUE(g.call(cmd, buffer));
  const auto all = backend.Requests();
  ASSERT_EQ(all.size(), before + 1);
  const Call& c = all.back();
  std::vector<std::uint8_t> form = g.form;
  form.resize(16, 0);

  const bool tester = mode == Mode::TesterDirect;
  const bool ataPt = mode == Mode::SataFlag1 && (g.path == Path::ThreePath || g.path == Path::FourPath);
  if (ataPt) {
    ASSERT_TRUE(c.IsAta());
    const auto sent = Translated(form, driveNo);
    std::vector<std::uint8_t> cur, prev(8, 0);
    if (g.is48) {
      cur = {0, form[4], form[6], form[7], form[8], 0, form[3], 0};
      prev = {0, form[5], form[9], form[10], form[11], 0, form[3], 0};
    } else {
      cur.assign(sent.begin() + 3, sent.begin() + 11);
    }
    EXPECT_EQ(std::vector<std::uint8_t>(c.apt.CurrentTaskFile, c.apt.CurrentTaskFile + 8), cur);
    EXPECT_EQ(std::vector<std::uint8_t>(c.apt.PreviousTaskFile, c.apt.PreviousTaskFile + 8), prev);
    int flags = 0x01;
    if (g.direction == kx::kDirIn) flags |= 0x02;
    if (g.direction == kx::kDirOut) flags |= 0x04;
    if (g.dma && g.direction != kx::kDirNone) flags |= 0x10;
    if (g.is48) flags |= 0x08;
    EXPECT_EQ(c.apt.AtaFlags, flags);
    EXPECT_EQ(c.apt.DataTransferLength, g.length);
    EXPECT_EQ(c.apt.TimeOutValue, g.timeOut);
    EXPECT_EQ(c.apt.DataBuffer == nullptr, g.length == 0);
    EXPECT_EQ(std::vector<std::uint8_t>(cmd.m_Cdb, cmd.m_Cdb + 16), sent);
    return;
  }
  ASSERT_TRUE(c.IsScsi());
  std::vector<std::uint8_t> cdb = form;
  std::uint32_t length = g.length;
  int direction = g.direction;
  std::uint32_t timeOut = g.timeOut;
  switch (g.path) {
    case Path::Raw:
      break;
    case Path::DirectOnly:
    case Path::ThreePath:
      if (!tester) cdb = Translated(form, driveNo);
      break;
    case Path::FourPath:
      cdb = Translated(form, driveNo);
      if (tester) {
        length = g.testerData ? g.length : 0;
        timeOut = g.testerTimeOut;
      }
      break;
  }
  EXPECT_EQ(c.Cdb(), cdb);
  EXPECT_EQ(std::vector<std::uint8_t>(cmd.m_Cdb, cmd.m_Cdb + 16), cdb);
  EXPECT_EQ(c.sptd.DataTransferLength, length);
  const int dataIn = length == 0 ? win::SCSI_IOCTL_DATA_UNSPECIFIED
                                 : direction == kx::kDirIn ? win::SCSI_IOCTL_DATA_IN : win::SCSI_IOCTL_DATA_OUT;
  EXPECT_EQ(c.sptd.DataIn, dataIn);
  EXPECT_EQ(c.sptd.TimeOutValue, timeOut);
  EXPECT_EQ(c.sptd.DataBuffer == nullptr, length == 0);
}

inline void CheckAllModes(FakeBackend& backend, const std::vector<Golden>& table) {
  static std::vector<std::uint8_t> buffer(300 * 1024);
  for (const auto& g : table) {
    for (Mode m : {Mode::TesterDirect, Mode::Bridge, Mode::SataFlag0, Mode::SataFlag1}) {
      CheckGolden(backend, g, m, 2, buffer.data());
    }
  }
}

}  // namespace kxtest
