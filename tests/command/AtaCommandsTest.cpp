// The ATA command set, ISP-code erase and info-code transfer: golden bytes per
// member in every send mode, the identify path and the argument checks.
#include <gtest/gtest.h>

#include "platform/Debug.h"
#include "tests/command/GoldenTable.h"

using kxtest::Bytes;
using kxtest::Call;
using kxtest::Golden;
using kxtest::kLong;
using kxtest::Path;
using kx::kDirIn;
using kx::kDirNone;
using kx::kDirOut;

namespace {

class AtaCommandsTest : public ::testing::Test, public kxtest::Fixture {};

std::vector<std::uint8_t> F(std::initializer_list<int> regs) {
  std::vector<std::uint8_t> v = {0x08, 0xF2, 0x71};
  for (int r : regs) v.push_back(static_cast<std::uint8_t>(r));
  return v;
}
std::vector<std::uint8_t> F48(std::initializer_list<int> regs) {
  std::vector<std::uint8_t> v = {0x08, 0xF2, 0x48};
  for (int r : regs) v.push_back(static_cast<std::uint8_t>(r));
  return v;
}

TEST_F(AtaCommandsTest, GoldenBytesInEveryMode) {
  using C = CDriveCommand;
  const std::vector<Golden> table = {
      {"ReadSectors", [](C& c, auto* b) { return c.ReadSectors(b, 1024, 0x0A123456); },
       F({0x01, 0x20, 0, 2, 0x56, 0x34, 0x12, 0xEA, 2}), kDirIn, 1024, Path::ThreePath},
      {"WriteSectors", [](C& c, auto* b) { return c.WriteSectors(b, 256 * 512, 0x0FFFFFFF); },
       F({0x03, 0x30, 0, 0, 0xFF, 0xFF, 0xFF, 0xEF, 0}), kDirOut, 256 * 512, Path::ThreePath},
      {"ReadDma", [](C& c, auto* b) { return c.ReadDma(b, 512, 7); }, F({0x88, 0xC8, 0, 1, 7, 0, 0, 0xE0, 1}),
       kDirIn, 512, Path::ThreePath, kxtest::kDefault, true},
      {"WriteDma", [](C& c, auto* b) { return c.WriteDma(b, 512, 7); }, F({0x89, 0xCA, 0, 1, 7, 0, 0, 0xE0, 1}),
       kDirOut, 512, Path::ThreePath, kxtest::kDefault, true},
      {"DMA_Read_DDR", [](C& c, auto* b) { return c.DMA_Read_DDR(b, 3, 0x01000010); },
       F({0x88, 0xC8, 0, 3, 0x10, 0, 0, 0xE1, 3}), kDirIn, 1536, Path::ThreePath, kxtest::kDefault, true},
      {"DMA_Write_DDR", [](C& c, auto* b) { return c.DMA_Write_DDR(b, 3, 0x01000010); },
       F({0x89, 0xCA, 0, 3, 0x10, 0, 0, 0xE1, 3}), kDirOut, 1536, Path::ThreePath, kxtest::kDefault, true},
      {"ReadSectorsDma", [](C& c, auto* b) { return c.ReadSectorsDma(b, 2, 0x05000001); },
       F({0x88, 0x20, 0, 2, 1, 0, 0, 0xA5, 2}), kDirIn, 1024, Path::ThreePath},
      {"WriteSectorsDma", [](C& c, auto* b) { return c.WriteSectorsDma(b, 2, 0x05000001); },
       F({0x89, 0x30, 0, 2, 1, 0, 0, 0xA5, 2}), kDirOut, 1024, Path::ThreePath},
      {"FLUSH_CACHE", [](C& c, auto*) { return c.FLUSH_CACHE(); }, F({0, 0xE7, 0, 0, 0, 0, 0, 0xA0, 0}), kDirNone, 0,
       Path::ThreePath},
      {"StandBy_Imd", [](C& c, auto*) { return c.StandBy_Imd(); }, F({0, 0xE0, 0, 0, 0, 0, 0, 0xA0, 0}), kDirNone, 0,
       Path::ThreePath},
      {"SMART_READ_DATA", [](C& c, auto* b) { return c.SMART_READ_DATA(b); },
       F({0x01, 0xB0, 0xD0, 1, 0, 0x4F, 0xC2, 0xA0, 1}), kDirIn, 512, Path::ThreePath},
      {"SMART_Return_Status", [](C& c, auto*) { return c.SMART_Return_Status(); },
       F({0, 0xB0, 0xDA, 0, 0, 0x4F, 0xC2, 0xA0, 0}), kDirNone, 0, Path::ThreePath},
      {"WriteBuffer", [](C& c, auto* b) { return c.WriteBuffer(b); }, F({0x03, 0xE8, 0, 1, 0, 0, 0, 0xA0, 1}),
       kDirOut, 512, Path::ThreePath},
      {"WriteBufferZero", [](C& c, auto*) { return c.WriteBufferZero(); }, F({0x03, 0xE8, 0, 1, 0, 0, 0, 0xA0, 1}),
       kDirOut, 512, Path::ThreePath},
      {"DownLoadMicroCode", [](C& c, auto* b) { return c.DownLoadMicroCode(b, 0x0102, 0x0304); },
       F({0x03, 0x92, 0x03, 0x02, 0x01, 0x04, 0x03, 0xA0, 0x02}), kDirOut, 0x0102 * 512, Path::DirectOnly},
      {"SECURITY_SET_PASSWORD", [](C& c, auto* b) { return c.SECURITY_SET_PASSWORD(b); },
       F({0x03, 0xF1, 0, 1, 0, 0, 0, 0xA0, 1}), kDirOut, 512, Path::DirectOnly},
      {"SecurityUnlock", [](C& c, auto* b) { return c.SecurityUnlock(b); }, F({0x03, 0xF2, 0, 1, 0, 0, 0, 0xA0, 1}),
       kDirOut, 512, Path::DirectOnly},
      {"SECURITY_ERASE_PREPARE", [](C& c, auto*) { return c.SECURITY_ERASE_PREPARE(); },
       F({0, 0xF3, 0, 0, 0, 0, 0, 0xA0, 0}), kDirNone, 0, Path::DirectOnly},
      {"SECURITY_ERASE_UNIT", [](C& c, auto* b) { return c.SECURITY_ERASE_UNIT(b); },
       F({0x09, 0xF4, 0, 1, 0, 0x10, 0, 0xA0, 1}), kDirOut, 512, Path::DirectOnly},
      {"SecurityFreezeLock", [](C& c, auto*) { return c.SecurityFreezeLock(); }, F({0, 0xF5, 0, 0, 0, 0, 0, 0xA0, 0}),
       kDirNone, 0, Path::DirectOnly},
      {"SecurityDisablePassword", [](C& c, auto* b) { return c.SecurityDisablePassword(b); },
       F({0x03, 0xF6, 0, 1, 0, 0, 0, 0xA0, 1}), kDirOut, 512, Path::DirectOnly},
      {"DeviceConfigurationIdentify", [](C& c, auto* b) { return c.DeviceConfigurationIdentify(b); },
       F({0x01, 0xB1, 0xC2, 1, 0, 0, 0, 0xA0, 1}), kDirIn, 512, Path::DirectOnly},
      {"DeviceConfigurationSet", [](C& c, auto* b) { return c.DeviceConfigurationSet(b); },
       F({0x03, 0xB1, 0xC3, 1, 0, 0, 0, 0xA0, 1}), kDirOut, 512, Path::DirectOnly},
      {"READ_NATIVE_MAX_ADDRESS", [](C& c, auto*) { return c.READ_NATIVE_MAX_ADDRESS(); },
       F({0, 0xF8, 0, 0, 0, 0, 0, 0xA0, 0}), kDirNone, 0, Path::Raw},
      {"SET_MAX_ADDRESS volatile", [](C& c, auto*) { return c.SET_MAX_ADDRESS(0x0ABCDEF1, true); },
       F({0, 0xF9, 0, 0x00, 0xF1, 0xDE, 0xBC, 0xEA, 0}), kDirNone, 0, Path::Raw},
      {"SET_MAX_ADDRESS", [](C& c, auto*) { return c.SET_MAX_ADDRESS(0x0ABCDEF1, false); },
       F({0, 0xF9, 0, 0x01, 0xF1, 0xDE, 0xBC, 0xEA, 0}), kDirNone, 0, Path::Raw},
      {"AtaNop", [](C& c, auto*) { return c.AtaNop(); }, F({0, 0, 0, 0, 0, 0, 0, 0, 0}), kDirNone, 0, Path::Raw},
      // 48-bit: the full 16-bit count, LBA lowest byte first
      {"ReadSectorsExt16", [](C& c, auto* b) { return c.ReadSectorsExt16(b, 0x0102, 0x12345678, 0x9ABC); },
       F48({0x24, 0x02, 0x01, 0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A}), kDirIn, 0x0102 * 512, Path::ThreePath,
       kxtest::kDefault, false, true},
      {"WriteSectorsExt16", [](C& c, auto* b) { return c.WriteSectorsExt16(b, 1, 5, 0); },
       F48({0x34, 0x01, 0x00, 0x05}), kDirOut, 512, Path::ThreePath, kxtest::kDefault, false, true},
      {"ReadDmaExt16", [](C& c, auto* b) { return c.ReadDmaExt16(b, 8, 0x12345678, 0); },
       F48({0x25, 0x08, 0x00, 0x78, 0x56, 0x34, 0x12}), kDirIn, 4096, Path::ThreePath, kxtest::kDefault, true, true},
      {"WriteDmaExt16", [](C& c, auto* b) { return c.WriteDmaExt16(b, 8, 0x12345678, 1); },
       F48({0x35, 0x08, 0x00, 0x78, 0x56, 0x34, 0x12, 0x01}), kDirOut, 4096, Path::ThreePath, kxtest::kDefault, true,
       true},
      {"ReadSectorsExt", [](C& c, auto* b) { return c.ReadSectorsExt(b, 300 * 512, 0x100, 0); },
       F48({0x24, 0x2C, 0x01, 0x00, 0x01}), kDirIn, 300 * 512, Path::ThreePath, kxtest::kDefault, false, true},
      {"WriteSectorsExt", [](C& c, auto* b) { return c.WriteSectorsExt(b, 300 * 512, 0x100, 0); },
       F48({0x34, 0x2C, 0x01, 0x00, 0x01}), kDirOut, 300 * 512, Path::ThreePath, kxtest::kDefault, false, true},
      {"ReadDmaExt", [](C& c, auto* b) { return c.ReadDmaExt(b, 1024, 0xFFFFFFFF, 0xFFFF); },
       F48({0x25, 0x02, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), kDirIn, 1024, Path::ThreePath, kxtest::kDefault,
       true, true},
      {"WriteDmaExt", [](C& c, auto* b) { return c.WriteDmaExt(b, 1024, 3, 0); }, F48({0x35, 0x02, 0x00, 0x03}),
       kDirOut, 1024, Path::ThreePath, kxtest::kDefault, true, true},
      // ISP-code erase and info-code transfer
      {"EraseISPCode", [](C& c, auto* b) { return c.EraseISPCode(b); }, F({0x01, 0x21, 0x46, 1, 0, 0, 0, 0xA0, 1}),
       kDirIn, 512, Path::ThreePath},
      {"UpdateInfoCode read", [](C& c, auto* b) { return c.UpdateInfoCode(b, true); },
       F({0x01, 0x21, 0x29, 1, 0, 0, 0, 0xA0, 1}), kDirIn, 512, Path::ThreePath},
      {"UpdateInfoCode write", [](C& c, auto* b) { return c.UpdateInfoCode(b, false); },
       F({0x03, 0x31, 0x29, 1, 1, 0, 0, 0xA0, 1}), kDirOut, 512, Path::ThreePath},
  };
  kxtest::CheckAllModes(*backend, table);
}

TEST_F(AtaCommandsTest, IdentifyDecidesTheAtaPassThroughFlag) {
  platform::DebugCapture debug;
  std::uint8_t buf[512];
  const auto sat = Bytes({0xA1, 0x08, 0x0E, 0x00, 0x01, 0, 0, 0, 0, 0xEC});
  // bridge: SCSI only, flag untouched
  CDriveCommand cmd(2);
  EXPECT_TRUE(cmd.GetIdentify(buf));
  EXPECT_EQ(backend->Requests().back().Cdb(), sat);
  EXPECT_FALSE(kx::AtaPassThroughOk(2));
  EXPECT_EQ(buf[0], 0xA5);

  // SATA port, ATA pass-through works: flag 1, later three-path commands use it
  g_SataPortMode = 1;
  auto n = backend->Requests().size();
  EXPECT_TRUE(cmd.GetIdentify(buf));
  auto r = backend->Requests();
  ASSERT_EQ(r.size(), n + 1);
  EXPECT_TRUE(r.back().IsAta());
  EXPECT_EQ(r.back().apt.CurrentTaskFile[6], 0xEC);
  EXPECT_TRUE(kx::AtaPassThroughOk(2));
  EXPECT_EQ(debug.Texts().back(), "port-2 - 1");
  EXPECT_TRUE(cmd.FLUSH_CACHE());
  EXPECT_TRUE(backend->Requests().back().IsAta());

  // ATA pass-through refused: fall back to SCSI once, flag 0
  backend->script = [](const Call& c, void*) { return c.IsAta() ? win::ERROR_INVALID_FUNCTION : win::DWORD{0}; };
  n = backend->Requests().size();
  EXPECT_TRUE(cmd.GetIdentify(buf));
  r = backend->Requests();
  ASSERT_EQ(r.size(), n + 2);
  EXPECT_TRUE(r[n].IsAta());
  EXPECT_EQ(r[n + 1].Cdb(), sat);
  EXPECT_FALSE(kx::AtaPassThroughOk(2));
  EXPECT_EQ(debug.Texts().back(), "port-2 - 0");
  EXPECT_TRUE(cmd.FLUSH_CACHE());
  EXPECT_TRUE(backend->Requests().back().IsScsi());

  // both refused: FALSE and the flag keeps its value
  kx::SetAtaPassThroughOk(2, true);
  backend->script = [](const Call&, void*) { return win::ERROR_INVALID_FUNCTION; };
  EXPECT_FALSE(cmd.GetIdentify(buf));
  EXPECT_TRUE(kx::AtaPassThroughOk(2));

  // tester-direct: the tester form itself goes to the board
  backend->script = nullptr;
  g_KX_U2A = 0;
  EXPECT_TRUE(cmd.GetIdentify(buf));
  EXPECT_EQ(backend->Requests().back().Cdb(), Bytes({0x08, 0xF2, 0x71, 0x01, 0xEC, 0x00, 0x01, 0, 0, 0, 0, 0x01}));
  EXPECT_EQ(backend->Requests().back().path, "\\\\.\\PhysicalDrive2");
  backend->script = [](const Call&, void*) { return win::ERROR_SEM_TIMEOUT; };
  EXPECT_FALSE(cmd.GetIdentify(buf));
  EXPECT_EQ(cmd.m_LastError, 121u);
}

TEST_F(AtaCommandsTest, ArgumentsOutsideTheRegistersAreRefusedWithoutSending) {
  std::uint8_t buf[512];
  CDriveCommand cmd(1);
  for (bool tester : {false, true}) {
    g_KX_U2A = tester ? 0 : 1;
    EXPECT_FALSE(cmd.ReadSectors(buf, 512, 1u << 28));       // beyond 28 bits
    EXPECT_EQ(cmd.m_LastError, win::ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(cmd.WriteDma(buf, 512, 0xF0000000));
    EXPECT_FALSE(cmd.DMA_Read_DDR(buf, 1, 0x10000000));
    EXPECT_FALSE(cmd.SET_MAX_ADDRESS(0x10000000, false));
    EXPECT_FALSE(cmd.ReadSectors(buf, 257 * 512, 0));        // more than the count byte holds
    EXPECT_FALSE(cmd.ReadSectors(buf, 0, 0));
    EXPECT_FALSE(cmd.ReadSectors(buf, 100, 0));              // not whole sectors
    EXPECT_FALSE(cmd.ReadSectorsDma(buf, 0, 0));
    EXPECT_FALSE(cmd.ReadSectorsExt(buf, 65537u * 512, 0, 0));
    EXPECT_FALSE(cmd.ReadSectorsExt16(buf, 0, 0, 0));
    EXPECT_FALSE(cmd.ReadDmaExt16(buf, 1, 0, 0x10000));      // LBA beyond 48 bits
    EXPECT_FALSE(cmd.WriteBBT(buf, 1, 0, 0x10000u * 512));   // offset beyond 16 bits of sectors
    EXPECT_FALSE(cmd.Write3rdBBT(buf, 1, 0, 0x10000u * 512));
  }
  EXPECT_TRUE(backend->Requests().empty());
  // the refused block is still there for the fail report, without bits 31:28
  EXPECT_TRUE(cmd.SET_MAX_ADDRESS(0x0FFFFFFF, false));
  EXPECT_FALSE(cmd.ReadSectors(buf, 512, 0x1F000000));
  EXPECT_EQ(cmd.m_Cdb[10], 0xEF);
  // the largest counts: 256 sectors as 0 in 28-bit, 65536 as 0 in 48-bit
  std::vector<std::uint8_t> big(65536u * 512);
  EXPECT_TRUE(cmd.ReadSectorsExt(big.data(), 65536u * 512, 0, 0));
  EXPECT_EQ(cmd.m_Cdb[5], 0x00);
  EXPECT_EQ(cmd.m_Cdb[6], 0x00);
  EXPECT_EQ(backend->Requests().back().sptd.DataTransferLength, 65536u * 512);
}

TEST_F(AtaCommandsTest, ScsiInquiryAndSatDeviceReset) {
  std::uint8_t buf[64];
  CDriveCommand cmd(1);
  for (int u2a : {0, 1}) {
    g_KX_U2A = static_cast<std::uint8_t>(u2a);
    backend->calls.clear();
    EXPECT_TRUE(cmd.Inquiry(buf));
    auto r = backend->Requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Cdb(), Bytes({0x12, 0, 0, 0, 0x32}));
    EXPECT_EQ(r[0].sptd.DataTransferLength, 50u);
    EXPECT_EQ(r[0].sptd.DataIn, win::SCSI_IOCTL_DATA_IN);

    // the first reset's failure is not looked at
    int n = 0;
    backend->script = [&n](const Call&, void*) { return n++ == 0 ? win::ERROR_INVALID_FUNCTION : win::DWORD{0}; };
    EXPECT_TRUE(cmd.SatDeviceReset());
    r = backend->Requests();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[1].Cdb(), Bytes({0x85, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0}));
    EXPECT_EQ(r[1].sptd.DataIn, win::SCSI_IOCTL_DATA_UNSPECIFIED);
    EXPECT_EQ(r[2].Cdb(), Bytes({0x85, 0x1E}));
    EXPECT_EQ(r[2].sptd.DataIn, win::SCSI_IOCTL_DATA_OUT);
    EXPECT_EQ(r[2].dataOut, std::vector<std::uint8_t>(50, 0));
    backend->script = [](const Call& c, void*) { return c.Cdb()[1] == 0x1E ? win::ERROR_IO_DEVICE : win::DWORD{0}; };
    EXPECT_FALSE(cmd.SatDeviceReset());
    backend->script = nullptr;
  }
}

}  // namespace
